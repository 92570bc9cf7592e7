#include "service/ConfigCheck.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <tinyxml.h>

#include "config/EmailSettingsSchema.h"
#include "config/SettingsSchema.h"
#include "notify/WebhookChannel.h"
#include "service/SvrManager.h"

namespace {

std::string TextOf(const TiXmlElement* parent, const char* key, bool& present) {
    const TiXmlElement* element = parent ? parent->FirstChildElement(key) : nullptr;
    present = element != nullptr;
    const char* text = element ? element->GetText() : nullptr;
    std::string value = text ? text : "";
    size_t first = value.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return value.substr(first, value.find_last_not_of(" \t\r\n") - first + 1);
}

bool IsHexNumber(const std::string& text, unsigned long limit, unsigned long& value) {
    if (text.empty() || text.size() > 8 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    value = std::stoul(text, nullptr, 16);
    return value <= limit;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsReadableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), R_OK) == 0;
}

}  // namespace

bool ConfigCheck::Run(FILE* out) {
    m_out = out;
    CheckSettingsFile(SvrManager::ConfigFilePath());
    CheckEmailFile(SvrManager::EmailFilePath());
    CheckStaticFiles();
    for (const auto& problem : m_problems) fprintf(out, "problem: %s\n", problem.c_str());
    if (m_problems.empty()) fprintf(out, "configuration OK\n");
    fflush(out);
    return m_problems.empty();
}

const TiXmlElement* ConfigCheck::LoadRoot(const std::string& path, TiXmlDocument& doc) {
    FILE* out = m_out;
    if (access(path.c_str(), F_OK) != 0) {
        fprintf(out, "%s: not there yet; the service creates it with defaults\n", path.c_str());
        return nullptr;
    }
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) {
        Problem(path + ": cannot be read: " + std::strerror(errno));
        return nullptr;
    }
    bool parsed = doc.LoadFile(file);
    fclose(file);
    if (!parsed) {
        Problem(path + ": not readable XML: " + doc.ErrorDesc() + " (line " +
                std::to_string(doc.ErrorRow()) + ")");
        return nullptr;
    }
    const TiXmlElement* root = doc.RootElement();
    if (!root || std::strcmp(root->Value(), SettingsSchema::kRoot) != 0) {
        Problem(path + ": its top element is not <root>");
        return nullptr;
    }
    fprintf(out, "%s: read\n", path.c_str());
    return root;
}

void ConfigCheck::CheckHexPort(const std::string& path, const TiXmlElement* parent, const char* key,
                               const std::string& where) {
    bool present = false;
    std::string text = TextOf(parent, key, present);
    unsigned long value = 0;
    if (present && !IsHexNumber(text, 0xFFFF, value))
        Problem(path + ": " + where + key + " \"" + text + "\" is not a hexadecimal port (0 to ffff)");
}

void ConfigCheck::CheckSettingsFile(const std::string& path) {
    TiXmlDocument doc;
    const TiXmlElement* root = LoadRoot(path, doc);
    if (!root) return;
    CheckHexPort(path, root, SettingsSchema::kConfigPortKey, "");
    for (int i = 0; i < SettingsSchema::kMaxControllers; ++i) {
        std::string name = SettingsSchema::ControllerElement(i);
        const TiXmlElement* controller = root->FirstChildElement(name.c_str());
        CheckHexPort(path, controller, SettingsSchema::kRelayPortKey, name + "/");
        CheckHexPort(path, controller, SettingsSchema::kCliPortKey, name + "/");
    }
    bool present = false;
    std::string address = TextOf(root, SettingsSchema::kBindAddressKey, present);
    in_addr parsed{};
    if (!address.empty() && inet_pton(AF_INET, address.c_str(), &parsed) != 1)
        Problem(path + ": " + SettingsSchema::kBindAddressKey + " \"" + address + "\" is not an IPv4 address");
    CheckWebhooks(path, root->FirstChildElement(SettingsSchema::kWebhooksElement));
}

// Named by element only: a URL may carry a login or a token.
void ConfigCheck::CheckWebhooks(const std::string& path, const TiXmlElement* webhooks) {
    for (const TiXmlElement* hook = webhooks ? webhooks->FirstChildElement() : nullptr; hook;
         hook = hook->NextSiblingElement()) {
        bool present = false;
        WebhookSettings settings;
        settings.url = TextOf(hook, "url", present);
        std::string format = TextOf(hook, "format", present);
        std::string where = path + ": webhooks/" + hook->ValueStr();
        if (present && !format.empty() && !WebhookChannel::FormatByName(format, settings.format))
            Problem(where + "/format \"" + format + "\" is neither generic nor alertmanager");
        std::string problem = settings.url.empty() ? "" : WebhookChannel(settings).UrlProblem();
        if (!problem.empty()) Problem(where + "/url cannot be used: " + problem);
    }
}

void ConfigCheck::CheckEmailFile(const std::string& path) {
    TiXmlDocument doc;
    const TiXmlElement* root = LoadRoot(path, doc);
    if (!root) return;
    bool present = false;
    std::string port = TextOf(root, EmailSettingsSchema::kPort, present);
    if (present && !port.empty() &&
        (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
         std::stoul(port) < EmailSettingsSchema::kLowestPort || std::stoul(port) > EmailSettingsSchema::kHighestPort))
        Problem(path + ": " + EmailSettingsSchema::kPort + " \"" + port + "\" is not a port (1 to 65535)");
}

void ConfigCheck::CheckStaticFiles() {
    std::string webRoot = SvrManager::WebRootPath();
    if (!IsDirectory(webRoot + "xsl"))
        Problem(webRoot + ": no web root here (its xsl/ folder is missing)");
    else
        fprintf(m_out, "%s: web root\n", webRoot.c_str());
    std::string pages = SvrManager::StaticFolder() + "HTML/";
    for (const char* page : {"fnf.html", "mna.html"})
        if (!IsReadableFile(pages + page) && !IsReadableFile(std::string("HTML/") + page))
            Problem(pages + page + ": error page missing");
}
