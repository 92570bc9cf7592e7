#include "http/HttpParser.h"

#include <cctype>
#include <cstddef>
#include <utility>
#include <vector>

#include "framework/Text.h"

namespace {

const char kBlankLine[] = "\r\n\r\n";

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Leading decimal digits; anything else (sign, blank, letters) reads as 0.
// Clamped so that an absurd length can never wrap around.
size_t DecimalPrefix(const std::string& text) {
    const size_t limit = static_cast<size_t>(1) << 40;
    size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = value * 10 + static_cast<size_t>(c - '0');
        if (value > limit) return limit;
    }
    return value;
}

// Splits at `separator` (runs give no empty items) and stores decoded
// name=value pairs; items without "=" are skipped.
void ParsePairs(const std::string& data, char separator, bool upperNames,
                std::map<std::string, std::string>& target) {
    size_t pos = 0;
    while (pos <= data.size()) {
        size_t end = data.find(separator, pos);
        if (end == std::string::npos) end = data.size();
        if (end > pos) {
            std::string item = data.substr(pos, end - pos);
            size_t eq = item.find('=');
            if (eq != std::string::npos) {
                std::string name = item.substr(0, eq);
                std::string value = item.substr(eq + 1);
                HttpParser::URLDecode(name);
                HttpParser::URLDecode(value);
                if (upperNames) {
                    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
                }
                target[name] = value;
            }
        }
        pos = end + 1;
    }
}

}  // namespace

HttpParser::HttpParser() : m_parsed(false), m_method(METHOD_GET), m_keepAlive(false) { Clear(); }

void HttpParser::Clear() {
    m_parsed = false;
    m_values.clear();
    m_cookies.clear();
}

int HttpParser::Parse(std::string text) {
    m_parsed = false;
    size_t space = text.find(' ');
    if (space == std::string::npos) return PARSE_INCOMPLETE;
    std::string method = text.substr(0, space);
    std::string headers;
    int result;
    if (method == "GET") {
        result = ParseGet(text, headers);
    } else if (method == "POST") {
        result = ParsePost(text, headers);
    } else {
        m_method = METHOD_OTHER;
        return PARSE_DONE;
    }
    if (result != PARSE_DONE) return result;
    Complete(headers);
    return PARSE_DONE;
}

int HttpParser::ParseGet(const std::string& text, std::string& headers) {
    if (!EndsWith(text, kBlankLine)) return PARSE_INCOMPLETE;
    size_t first = text.find(' ');
    size_t second = text.find(' ', first + 1);
    if (second == std::string::npos) return PARSE_MALFORMED;
    m_uri = text.substr(first + 1, second - first - 1);
    SplitTarget(m_uri);
    m_method = METHOD_GET;
    headers = text;
    return PARSE_DONE;
}

// The text is trimmed before the blank line is searched, so a POST whose last
// bytes are the blank line itself stays incomplete until its body arrives.
int HttpParser::ParsePost(std::string& text, std::string& headers) {
    text = Text::Trim(text, " \r\n");
    size_t first = text.find(' ');
    if (first == std::string::npos) return PARSE_MALFORMED;
    size_t second = text.find(' ', first + 1);
    if (second == std::string::npos) return PARSE_MALFORMED;
    SplitTarget(text.substr(first + 1, second - first - 1));

    size_t blank = text.find(kBlankLine);
    if (blank == std::string::npos) return PARSE_INCOMPLETE;
    headers = text.substr(0, blank + 4);

    std::string lengthText;
    if (!ParseHttpLine(headers, "Content-Length", lengthText)) return PARSE_MALFORMED;
    size_t length = DecimalPrefix(lengthText);
    if (length == 0) {
        if (text.size() != headers.size()) return PARSE_MALFORMED;
    } else {
        if (text.size() - headers.size() != length) return PARSE_MALFORMED;
        m_body = text.substr(headers.size());
        ParseRequestData(m_body, m_values);
    }
    m_method = METHOD_POST;
    return PARSE_DONE;
}

void HttpParser::SplitTarget(const std::string& target) {
    size_t query = target.find('?');
    if (query == std::string::npos) {
        m_path = target;
        return;
    }
    m_path = target.substr(0, query);
    ParseRequestData(target.substr(query + 1), m_values);
}

void HttpParser::Complete(const std::string& headers) {
    URLDecode(m_path);
    ParseHttpLine(headers, "User-Agent", m_userAgent);
    ParseHttpLine(headers, "Host", m_host);
    URLDecode(m_userAgent);
    ParseHttpLine(headers, "Cookie", m_cookie);
    ParseCookieData(m_cookie, m_cookies);
    ReadOptionalHeaders(headers);
    m_keepAlive = headers.find("\nConnection: Keep-Alive") != std::string::npos ||
                  headers.find("\nKeep-Alive:") != std::string::npos;
    m_parsed = true;
}

void HttpParser::ReadOptionalHeaders(const std::string& headers) {
    const std::pair<const char*, std::string*> fields[] = {
        {"Accept", &m_accept}, {"Origin", &m_origin}, {"Referer", &m_referer},
        {"Sec-Fetch-Site", &m_secFetchSite}, {"Authorization", &m_authorization},
    };
    for (const auto& field : fields) {
        field.second->clear();
        ParseHttpLine(headers, field.first, *field.second);
    }
}

bool HttpParser::GetValue(const std::string& name, std::string& value) const {
    auto it = m_values.find(name);
    if (it == m_values.end()) return false;
    value = it->second;
    return true;
}

bool HttpParser::GetCookieValue(const std::string& name, std::string& value) const {
    auto it = m_cookies.find(name);
    if (it == m_cookies.end()) return false;
    value = it->second;
    return true;
}

// Leaves `value` untouched when the header is missing or its line never ends.
bool HttpParser::ParseHttpLine(const std::string& headers, const std::string& name,
                               std::string& value) {
    std::string key = "\r\n" + name + ": ";
    size_t start = headers.find(key);
    if (start == std::string::npos) return false;
    start += key.size();
    size_t end = headers.find("\r\n", start);
    if (end == std::string::npos) return false;
    value = headers.substr(start, end - start);
    return true;
}

void HttpParser::ParseRequestData(const std::string& data, std::map<std::string, std::string>& target) {
    if (data.empty()) return;
    ParsePairs(data, '&', false, target);
}

void HttpParser::ParseCookieData(const std::string& data, std::map<std::string, std::string>& target) {
    if (data.empty()) return;
    ParsePairs(data, ';', true, target);
}

void HttpParser::URLDecode(char* text) {
    if (!text) return;
    for (char* p = text; *p; ++p) {
        if (*p == '+') *p = ' ';
    }
    char* out = text;
    const char* in = text;
    while (*in) {
        if (*in != '%') {
            *out++ = *in++;
            continue;
        }
        if (Text::HexDigitValue(in[1]) >= 0 && Text::HexDigitValue(in[2]) >= 0) {
            char byte = static_cast<char>(Text::HexDigitValue(in[1]) * 16 + Text::HexDigitValue(in[2]));
            if (byte != '<' && byte != '>') *out++ = byte;
            in += 3;
        } else {
            ++in;
        }
    }
    *out = '\0';
}

void HttpParser::URLDecode(std::string& text) {
    std::vector<char> copy(text.begin(), text.end());
    copy.push_back('\0');
    URLDecode(copy.data());
    text = copy.data();
}
