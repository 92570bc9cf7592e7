#include "service/DriverBridgeConfig.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "config/SettingsSchema.h"
#include "config/StrUtility.h"
#include "server/Console.h"

namespace {

bool IsHex(const std::string& text) {
    if (text.empty() || text.size() > 2) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

void ReadIdentifiers(SettingsSchema& config, DriverBridgeSettings& settings) {
    for (int i = 0; i < SettingsSchema::kMaxDeviceIdentifiers; ++i) {
        SgDeviceIdentifier id;
        id.vendor = config.ScsiDevice(i, "vendor");
        id.model = config.ScsiDevice(i, "model");
        id.procName = config.ScsiDevice(i, "procname");
        const std::string type = config.ScsiDevice(i, "type");
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

DriverBridgeSettings ReadDriverBridgeSettings(ConfigFileSupport& file) {
    SettingsSchema config(file);
    DriverBridgeSettings settings;
    const std::string mode = config.DriverBridgeMode();
    if (mode == "socket")
        settings.mode = DriverBridgeSettings::Mode::Socket;
    else if (mode == "sg")
        settings.mode = DriverBridgeSettings::Mode::ScsiGeneric;
    else if (!mode.empty() && mode != "auto")
        Console::PrintLevel(Console::kWarning,
                            "driverbridge \"%s\" is not auto, socket or sg: choosing by itself\n",
                            mode.c_str());
    const std::string sysfs = config.ScsiGeneric("sysfs");
    if (!sysfs.empty()) settings.sysfsRoot = sysfs;
    const std::string devdir = config.ScsiGeneric("devdir");
    if (!devdir.empty()) settings.deviceDirectory = devdir;
    ReadIdentifiers(config, settings);
    return settings;
}
