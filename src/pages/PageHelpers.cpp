#include "pages/PageHelpers.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <map>

#include "config/StrUtility.h"

namespace {

const std::map<std::string, int>& FileTypes() {
    static const std::map<std::string, int> types = {
        {"htm", FILE_TYPE_HTM}, {"xml", FILE_TYPE_XML}, {"gif", FILE_TYPE_GIF},
        {"xsl", FILE_TYPE_XSL}, {"ico", FILE_TYPE_ICO}, {"bmp", FILE_TYPE_BMP},
        {"jpg", FILE_TYPE_JPG}, {"log", FILE_TYPE_LOG}, {"jar", FILE_TYPE_JAR},
        {"class", FILE_TYPE_CLASS},
    };
    return types;
}

// gethostname's limit on the Mac the service came from.
const size_t kHostNameLimit = 127;

}  // namespace

int GetFileType(const std::string& path) {
    size_t dot = path.rfind('.');
    if (dot == std::string::npos) return FILE_TYPE_OTHER;
    auto it = FileTypes().find(path.substr(dot + 1));
    return it == FileTypes().end() ? FILE_TYPE_OTHER : it->second;
}

int GetConId(const std::string& name) {
    size_t underscore = name.rfind('_');
    if (underscore == std::string::npos) return -1;
    return StrUtility::IntFromHexStr(name.c_str() + underscore + 1);
}

bool GetHostName(std::string& name, std::string& address) {
    name = "localhost";
    address = "127.0.0.1";
    char host[kHostNameLimit + 1] = {};
    if (gethostname(host, kHostNameLimit) != 0) return false;
    host[kHostNameLimit] = '\0';

    // getaddrinfo instead of gethostbyname: pages may be built on several
    // servers' threads at once, and gethostbyname's result is shared.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
    bool resolved = false;
    char dotted[INET_ADDRSTRLEN] = {};
    const auto* inet = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    if (found->ai_addr && inet_ntop(AF_INET, &inet->sin_addr, dotted, sizeof dotted)) {
        name = found->ai_canonname ? found->ai_canonname : host;
        address = dotted;
        resolved = true;
    }
    freeaddrinfo(found);
    return resolved;
}

bool ISVALIDNAME(const char* text) {
    if (!text) return false;
    for (const char* p = text; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool asciiLetterOrDigit = c < 0x80 && std::isalnum(c);
        if (!asciiLetterOrDigit && c != '_' && c != '-') return false;
    }
    return true;
}

int AtoiClamped(const char* text) {
    if (!text) return 0;
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = (*p++ == '-');
    long long value = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 + (*p - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) break;  // clamped below
    }
    if (negative) value = -value;
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}
