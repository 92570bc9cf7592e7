#include "config/SettingsSchema.h"

#include <vector>

#include "config/ConfigFileSupport.h"
#include "config/StrUtility.h"

namespace {

const char kControllerPath[] = "/root/controller";
const char kTrapPath[] = "/root/snmp/trap";
const char kEventsPath[] = "/root/events";
const char kWebhookPath[] = "/root/webhooks/webhook";
const char kScsiGenericPath[] = "/root/scsigeneric";

// Read back with these limits: a longer stored text reads as empty.
const int kAddressBuffer = 32;  // a dotted address needs 16
const int kCommunityBuffer = 64;
const int kBindAddressBuffer = 64;
const int kHashBuffer = 512;
const int kBridgeBuffer = 512;
const int kFormatBuffer = 32;
const int kHooksDirectoryBuffer = 1024;
const int kUrlBuffer = static_cast<int>(SettingsSchema::kMaxUrlLength) + 64;

std::string ReceiverPath(int receiver) { return std::string(kTrapPath) + "/trap" + std::to_string(receiver); }
std::string WebhookPath(unsigned slot) { return kWebhookPath + std::to_string(slot); }
std::string ControllerPath(int index) { return kControllerPath + std::to_string(index); }

}  // namespace

std::string SettingsSchema::ControllerElement(int index) { return "controller" + std::to_string(index); }

bool SettingsSchema::Text(const std::string& path, const char* key, int bufferSize, std::string& text) {
    std::vector<char> buffer(static_cast<size_t>(bufferSize), '\0');
    if (!m_config.GetConfigValue(path.c_str(), key, buffer.data(), bufferSize)) return false;
    buffer.back() = '\0';
    text = buffer.data();
    return true;
}

bool SettingsSchema::Port(const std::string& path, const char* key, uint16_t& value) {
    uint16_t stored = 0;
    if (!m_config.GetConfigValue_U16(path.c_str(), key, stored)) return false;
    value = stored;
    return true;
}

std::string SettingsSchema::Trimmed(const std::string& path, const char* key, int bufferSize) {
    std::string text;
    if (!Text(path, key, bufferSize, text)) return "";
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    StrUtility::trim(buffer.data());
    return buffer.data();
}

bool SettingsSchema::ConfigPort(uint16_t& value) { return Port(kRoot, kConfigPortKey, value); }

bool SettingsSchema::ControllerPort(int index, const char* key, uint16_t& value) {
    return Port(ControllerPath(index), key, value);
}

bool SettingsSchema::SetControllerPort(int index, const char* key, uint16_t value) {
    return m_config.SetConfigValue_U16(ControllerPath(index).c_str(), key, value) != 0;
}

bool SettingsSchema::RelayPort(int index, uint16_t& value) { return ControllerPort(index, kRelayPortKey, value); }

bool SettingsSchema::SetRelayPort(int index, uint16_t value) { return SetControllerPort(index, kRelayPortKey, value); }

bool SettingsSchema::CliPort(int index, uint16_t& value) { return ControllerPort(index, kCliPortKey, value); }

bool SettingsSchema::SetCliPort(int index, uint16_t value) { return SetControllerPort(index, kCliPortKey, value); }

std::string SettingsSchema::BindAddress() {
    std::string address;
    if (!Text(kRoot, kBindAddressKey, kBindAddressBuffer, address)) return "";
    size_t first = address.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return address.substr(first, address.find_last_not_of(" \t\r\n") - first + 1);
}

std::string SettingsSchema::AdminPasswordHash() {
    std::string hash;
    return Text(kRoot, "adminpassword", kHashBuffer, hash) ? hash : "";
}

std::string SettingsSchema::DriverBridgeMode() { return Trimmed(kRoot, "driverbridge", kBridgeBuffer); }

std::string SettingsSchema::ScsiGeneric(const char* key) { return Trimmed(kScsiGenericPath, key, kBridgeBuffer); }

std::string SettingsSchema::ScsiDevice(int index, const char* key) {
    return Trimmed(std::string(kScsiGenericPath) + "/device" + std::to_string(index), key, kBridgeBuffer);
}

bool SettingsSchema::TrapLevels(uint8_t& mask) {
    uint8_t stored = 0;
    if (!m_config.GetConfigValue_U8(kTrapPath, "levelflag", stored)) return false;
    mask = stored;
    return true;
}

bool SettingsSchema::SetTrapLevels(uint8_t mask) {
    return m_config.SetConfigValue_U8(kTrapPath, "levelflag", mask) != 0;
}

bool SettingsSchema::TrapCommunity(std::string& community) {
    return Text(kTrapPath, "community", kCommunityBuffer, community);
}

bool SettingsSchema::SetTrapCommunity(const std::string& community) {
    return m_config.SetConfigValue(kTrapPath, "community", community.c_str()) != 0;
}

bool SettingsSchema::TrapReceiverAddress(int receiver, std::string& address) {
    return Text(ReceiverPath(receiver), "ip", kAddressBuffer, address);
}

bool SettingsSchema::SetTrapReceiverAddress(int receiver, const std::string& address) {
    return m_config.SetConfigValue(ReceiverPath(receiver).c_str(), "ip", address.c_str()) != 0;
}

bool SettingsSchema::TrapReceiverPort(int receiver, uint16_t& port) {
    return Port(ReceiverPath(receiver), "port", port);
}

bool SettingsSchema::SetTrapReceiverPort(int receiver, uint16_t port) {
    return m_config.SetConfigValue_U16(ReceiverPath(receiver).c_str(), "port", port) != 0;
}

uint32_t SettingsSchema::Events(const EventsNumber& number) {
    uint32_t value = 0;
    return m_config.GetConfigValue_U32(kEventsPath, number.key, value) ? value : number.fallback;
}

uint32_t SettingsSchema::EventsPositive(const EventsNumber& number) {
    uint32_t value = 0;
    return m_config.GetConfigValue_U32(kEventsPath, number.key, value) && value > 0 ? value : number.fallback;
}

std::string SettingsSchema::HooksDirectory() {
    std::string directory;
    if (Text(kEventsPath, "hooksdir", kHooksDirectoryBuffer, directory) && !directory.empty()) return directory;
    return kDefaultHooksDirectory;
}

bool SettingsSchema::WebhookUrl(unsigned slot, std::string& url) {
    return Text(WebhookPath(slot), "url", kUrlBuffer, url);
}

bool SettingsSchema::WebhookFormat(unsigned slot, std::string& format) {
    return Text(WebhookPath(slot), "format", kFormatBuffer, format);
}

bool SettingsSchema::SetWebhook(unsigned slot, const std::string& url, const std::string& format) {
    std::string path = WebhookPath(slot);
    return m_config.SetConfigValue(path.c_str(), "url", url.c_str()) &&
           m_config.SetConfigValue(path.c_str(), "format", format.c_str());
}

bool SettingsSchema::ClearWebhook(unsigned slot) {
    return m_config.SetConfigValue(WebhookPath(slot).c_str(), "url", "") != 0;
}
