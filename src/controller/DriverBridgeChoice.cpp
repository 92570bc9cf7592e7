#include "controller/DriverBridgeChoice.h"

#include <cstdio>

#include "controller/DriverPort.h"
#include "controller/UnixDriverBridge.h"

DriverBridgeChoice::~DriverBridgeChoice() {
    if (m_sg || m_sockets) DriverBridge::SetCurrent(nullptr);
}

bool DriverBridgeChoice::HoldsDriverSockets(const std::string& dir) {
    for (const _DRIVER_PARAM* row = DriverPort::supportDrivers; row->className; ++row)
        if (!UnixDriverBridge::ListServices(dir, row->className).empty()) return true;
    return false;
}

std::string DriverBridgeChoice::DescribeDevice(const SgDevice& d) {
    char text[256];
    std::snprintf(text, sizeof text, "%s (%d:%d:%d:%d): %s %s, type %d, driver %s", d.node.c_str(),
                  d.host, d.channel, d.target, d.lun, d.vendor.c_str(), d.model.c_str(), d.type,
                  d.procName.empty() ? "?" : d.procName.c_str());
    return text;
}

std::string DriverBridgeChoice::Apply(const DriverBridgeSettings& settings) {
    using Mode = DriverBridgeSettings::Mode;
    const std::string dir = UnixDriverBridge::DriverDirectory();
    const bool useSockets = settings.mode == Mode::Socket ||
                            (settings.mode == Mode::Auto && HoldsDriverSockets(dir));
    const char* why = settings.mode == Mode::Auto ? "" : ", set by driverbridge";
    DriverBridge::SetCurrent(nullptr);
    m_sg.reset();
    m_sockets.reset();
    if (useSockets) {
        if (settings.callTimeoutMs != UnixDriverBridge::kDefaultCallTimeoutMs) {
            m_sockets = std::make_unique<UnixDriverBridge>(settings.callTimeoutMs);
            DriverBridge::SetCurrent(m_sockets.get());
        }
        return "Driver bridge: driver sockets in " + dir + why + "\n";
    }

    SgBridgeOptions options;
    options.sysfsRoot = settings.sysfsRoot;
    options.deviceDirectory = settings.deviceDirectory;
    options.callTimeoutMs = settings.callTimeoutMs;
    options.identifiers.insert(options.identifiers.end(), settings.extraIdentifiers.begin(),
                               settings.extraIdentifiers.end());
    m_sg = std::make_unique<SgDriverBridge>(std::move(options));
    DriverBridge::SetCurrent(m_sg.get());

    std::string report = "Driver bridge: SCSI generic, sysfs " + settings.sysfsRoot + ", nodes in " +
                         settings.deviceDirectory +
                         (settings.mode == Mode::Auto ? ", no driver sockets in " + dir : why) + "\n";
    const std::vector<SgDevice> all = m_sg->ListDevices();
    size_t matched = 0;
    for (const SgDevice& d : all) {
        if (!m_sg->Matches(d)) continue;
        report += "SCSI generic controller " + DescribeDevice(d) + "\n";
        ++matched;
    }
    if (matched == 0)
        report += "No SCSI generic device matches the controller identifiers (" +
                  std::to_string(all.size()) + " device(s) in " + settings.sysfsRoot +
                  "/class/scsi_generic)\n";
    return report;
}
