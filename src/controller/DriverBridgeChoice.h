// DriverBridgeChoice: picks the process's driver bridge at every controller
// scan: the socket bridge when $KVOOMX_DRIVER_DIR holds driver sockets, else the
// SCSI generic one, unless the settings force either. Owns the bridge it
// installs (DriverBridge::SetCurrent): SCSI generic, or sockets with a call
// timeout of their own; otherwise the platform's socket bridge is used. Owned by kvoIO; called on the
// main thread while no driver port is open.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "controller/SgDriverBridge.h"

// The `driverbridge` and `scsigeneric` settings. A plain value.
struct DriverBridgeSettings {
    enum class Mode { Auto, Socket, ScsiGeneric };
    Mode mode = Mode::Auto;
    std::string sysfsRoot = "/sys";
    std::string deviceDirectory = "/dev";
    // Added to the built-in identifiers.
    std::vector<SgDeviceIdentifier> extraIdentifiers;
    int callTimeoutMs = UnixDriverBridge::kDefaultCallTimeoutMs;
};

class DriverBridgeChoice {
public:
    DriverBridgeChoice() = default;
    ~DriverBridgeChoice();
    DriverBridgeChoice(const DriverBridgeChoice&) = delete;
    DriverBridgeChoice& operator=(const DriverBridgeChoice&) = delete;

    // Installs the bridge `settings` call for; returns the start-up lines that
    // say which bridge it is and, for SCSI generic, which devices it found.
    std::string Apply(const DriverBridgeSettings& settings);

    // True when `dir` holds a socket of a class in the driver class table.
    static bool HoldsDriverSockets(const std::string& dir);
    static std::string DescribeDevice(const SgDevice& device);

private:
    std::unique_ptr<SgDriverBridge> m_sg;
    // The socket bridge, when the call timeout is not the platform bridge's.
    std::unique_ptr<UnixDriverBridge> m_sockets;
};
