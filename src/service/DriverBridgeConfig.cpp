#include "service/DriverBridgeConfig.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "config/StrUtility.h"
#include "framework/Console.h"

namespace {

constexpr int kMaxIdentifiers = 16;
constexpr const char* kSgPath = "/root/scsigeneric";

std::string Value(ConfigFileSupport& config, const char* path, const char* key) {
    char text[512] = {0};
    if (!config.GetConfigValue(path, key, text, sizeof text)) return "";
    StrUtility::trim(text);
    return text;
}

bool IsHex(const std::string& text) {
    if (text.empty() || text.size() > 2) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

void ReadIdentifiers(ConfigFileSupport& config, DriverBridgeSettings& settings) {
    for (int i = 0; i < kMaxIdentifiers; ++i) {
        char path[64];
        std::snprintf(path, sizeof path, "%s/device%d", kSgPath, i);
        SgDeviceIdentifier id;
        id.vendor = Value(config, path, "vendor");
        id.model = Value(config, path, "model");
        id.procName = Value(config, path, "procname");
        const std::string type = Value(config, path, "type");
        if (!type.empty()) {
            if (!IsHex(type) || StrUtility::IntFromHexStr(type.c_str()) > 0x1F) {
                Console::PrintLevel(Console::kWarning,
                                    "scsigeneric/device%d: type \"%s\" is not a device type (0 to 1f): "
                                    "identifier ignored\n", i, type.c_str());
                continue;
            }
            id.type = StrUtility::IntFromHexStr(type.c_str());
        }
        if (id.vendor.empty() && id.model.empty() && id.procName.empty() && id.type < 0) continue;
        settings.extraIdentifiers.push_back(id);
    }
}

}  // namespace

DriverBridgeSettings ReadDriverBridgeSettings(ConfigFileSupport& config) {
    DriverBridgeSettings settings;
    const std::string mode = Value(config, "root", "driverbridge");
    if (mode == "socket")
        settings.mode = DriverBridgeSettings::Mode::Socket;
    else if (mode == "sg")
        settings.mode = DriverBridgeSettings::Mode::ScsiGeneric;
    else if (!mode.empty() && mode != "auto")
        Console::PrintLevel(Console::kWarning,
                            "driverbridge \"%s\" is not auto, socket or sg: choosing by itself\n",
                            mode.c_str());
    const std::string sysfs = Value(config, kSgPath, "sysfs");
    if (!sysfs.empty()) settings.sysfsRoot = sysfs;
    const std::string devdir = Value(config, kSgPath, "devdir");
    if (!devdir.empty()) settings.deviceDirectory = devdir;
    ReadIdentifiers(config, settings);
    return settings;
}
