// SgDriverBridge: the driver bridge over the kernel's SCSI generic driver. The
// controllers' pass-through devices are found in sysfs (class scsi_generic),
// matched against a list of identifiers and ordered by host, channel, target,
// lun; opening one opens its /dev/sgN node, and each control code 59 call
// becomes one SG_IO. Created and owned by the bridge choice (kvoIO); any thread
// may call it (the driver port serialises calls per handle); m_lock guards the
// table of open handles.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "ScsiPassThrough.h"
#include "controller/DriverBridge.h"
#include "controller/UnixDriverBridge.h"

// One identifier: every field given must match (vendor and model compared
// without case and trailing blanks, a trailing '*' matches any rest).
struct SgDeviceIdentifier {
    std::string vendor;     // empty = any
    std::string model;      // empty = any
    int type = -1;          // SCSI peripheral device type, -1 = any
    std::string procName;   // the host adapter's driver name, empty = any
};

// A scsi_generic device as sysfs describes it.
struct SgDevice {
    std::string name;       // "sg3"
    std::string node;       // device directory + "/" + name
    int host = 0, channel = 0, target = 0, lun = 0;
    std::string vendor, model, procName;
    int type = -1;
};

struct SgBridgeOptions {
    std::string sysfsRoot = "/sys";
    std::string deviceDirectory = "/dev";
    std::vector<SgDeviceIdentifier> identifiers = DefaultIdentifiers();
    // SG_IO time-out; the same bound as the socket bridge's calls.
    int callTimeoutMs = UnixDriverBridge::kDefaultCallTimeoutMs;
    // The driver class the devices are published under (row of the class table).
    std::string className = "QZQRMController";

    static std::vector<SgDeviceIdentifier> DefaultIdentifiers();
};

class SgDriverBridge : public DriverBridge {
public:
    static constexpr int32_t kTransportFailure = -1;
    static constexpr int32_t kDeviceError = static_cast<int32_t>(0xE00002BC);
    static constexpr int32_t kDeviceGone = static_cast<int32_t>(0xE00002C0);
    static constexpr int32_t kUnsupported = static_cast<int32_t>(0xE00002C7);
    static constexpr int32_t kBadArgument = static_cast<int32_t>(0xE00002C2);
    static constexpr uint8_t kSenseMax = 32;

    explicit SgDriverBridge(SgBridgeOptions options = SgBridgeOptions());
    ~SgDriverBridge() override = default;
    SgDriverBridge(const SgDriverBridge&) = delete;
    SgDriverBridge& operator=(const SgDriverBridge&) = delete;

    bool OpenService(const char* className, int index, uint32_t& handle) override;
    void CloseService(uint32_t handle) override;
    int32_t CallScalar(uint32_t handle, uint32_t selector) override;
    int32_t CallStructure(uint32_t handle, const _IOCTL_PARAM_IN& in,
                          _IOCTL_PARAM_OUT& out) override;

    // Every scsi_generic device in sysfs, in host, channel, target, lun order.
    std::vector<SgDevice> ListDevices() const;
    // The controllers among them.
    std::vector<SgDevice> FindControllers() const;
    bool Matches(const SgDevice& device) const;
    const SgBridgeOptions& Options() const { return m_options; }

    // "sense key 0x5 (ILLEGAL REQUEST), ASC/ASCQ 0x24/0x00"; empty when no sense.
    static std::string DescribeSense(const uint8_t* sense, unsigned length);

private:
    struct OpenDevice {
        std::string name;
        bool gone = false;  // the node failed with "no such device": reopen it
    };

    int32_t PassThrough(int fd, const std::string& name, const _IOCTL_PARAM_IN& in,
                        _IOCTL_PARAM_OUT& out);
    void MarkGone(uint32_t handle);
    std::string NameOf(uint32_t handle);

    SgBridgeOptions m_options;
    std::mutex m_lock;
    std::unordered_map<uint32_t, OpenDevice> m_open;
};
