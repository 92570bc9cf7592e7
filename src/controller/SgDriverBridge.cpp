#include "controller/SgDriverBridge.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <vector>
#include <utility>

#include "framework/Console.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kRequestHeader = sizeof(_KVO_SCSI_PASSTHROUGH_IN);
constexpr uint32_t kReplyHeader = sizeof(_KVO_SCSI_PASSTHROUGH_OUT);
constexpr uint8_t kStatusMask = 0x7E;
constexpr uint16_t kDriverStatusMask = 0x0F;
constexpr uint16_t kDriverSense = 0x08;  // sense data came along: not a failure by itself
// The longest read handed to the device (the callers ask at most 2048).
constexpr uint32_t kMaxReadLength = 65536;

std::string TrimRight(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

std::string ReadAttribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return TrimRight(line);
}

bool EqualNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// Empty pattern matches anything; "ABC*" matches every value starting with ABC.
bool FieldMatches(const std::string& pattern, const std::string& value) {
    std::string p = TrimRight(pattern);
    if (p.empty()) return true;
    if (p.back() == '*') {
        p.pop_back();
        return value.size() >= p.size() && EqualNoCase(p, value.substr(0, p.size()));
    }
    return EqualNoCase(p, TrimRight(value));
}

const char* OperationName(uint8_t op) {
    switch (op) {
        case KVO_OP_WRITE_BUFFER: return "WRITE BUFFER";
        case KVO_OP_READ_BUFFER: return "READ BUFFER";
        default: return "command";
    }
}

const char* SenseKeyName(unsigned key) {
    static const char* const names[16] = {
        "NO SENSE",      "RECOVERED ERROR", "NOT READY",       "MEDIUM ERROR",
        "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION",  "DATA PROTECT",
        "BLANK CHECK",   "VENDOR SPECIFIC", "COPY ABORTED",    "ABORTED COMMAND",
        "RESERVED",      "VOLUME OVERFLOW", "MISCOMPARE",      "COMPLETED"};
    return names[key & 0x0F];
}

const char* HostStatusName(unsigned status) {
    switch (status) {
        case 0x01: return "no connection";
        case 0x02: return "bus busy";
        case 0x03: return "time-out";
        case 0x04: return "bad target";
        case 0x05: return "aborted";
        case 0x06: return "parity error";
        case 0x07: return "host adapter error";
        case 0x08: return "bus reset";
        default: return "host error";
    }
}

const char* ScsiStatusName(unsigned status) {
    switch (status) {
        case 0x02: return "CHECK CONDITION";
        case 0x08: return "BUSY";
        case 0x18: return "RESERVATION CONFLICT";
        case 0x28: return "TASK SET FULL";
        case 0x40: return "TASK ABORTED";
        default: return "status";
    }
}

// Errors after which the node is no longer the device that was opened.
bool MeansDeviceGone(int error) {
    return error == ENODEV || error == ENXIO || error == EBADF || error == ENOENT;
}

// Why a completed SG_IO failed, or empty when it did not.
std::string FailureReason(const sg_io_hdr_t& io, const uint8_t* sense) {
    char text[160];
    std::string reason;
    if (io.host_status != 0) {
        std::snprintf(text, sizeof text, "host status 0x%02x (%s)", io.host_status,
                      HostStatusName(io.host_status));
        reason = text;
    }
    const unsigned driver = io.driver_status & kDriverStatusMask;
    if (driver != 0 && driver != kDriverSense) {
        std::snprintf(text, sizeof text, "driver status 0x%02x", io.driver_status);
        reason += (reason.empty() ? "" : ", ") + std::string(text);
    }
    const unsigned status = io.status & kStatusMask;
    if (status != 0) {
        std::snprintf(text, sizeof text, "%s (0x%02x)", ScsiStatusName(status), io.status);
        reason += (reason.empty() ? "" : ", ") + std::string(text);
    }
    if (reason.empty() && (io.info & SG_INFO_OK_MASK) != SG_INFO_OK) reason = "sg driver reports an error";
    if (!reason.empty()) {
        std::string senseText = SgDriverBridge::DescribeSense(sense, io.sb_len_wr);
        if (!senseText.empty()) reason += ", " + senseText;
    }
    return reason;
}

bool ParseHctl(const std::string& text, SgDevice& device) {
    char tail;
    return std::sscanf(text.c_str(), "%d:%d:%d:%d%c", &device.host, &device.channel, &device.target,
                       &device.lun, &tail) == 4;
}

}  // namespace

std::vector<SgDeviceIdentifier> SgBridgeOptions::DefaultIdentifiers() {
    // The family's pass-through device answers INQUIRY as a processor or as a
    // storage array controller; its RAID volumes (disks) are never matched.
    return {{"VELMORA", "", 0x03, ""}, {"VELMORA", "", 0x0C, ""}};
}

SgDriverBridge::SgDriverBridge(SgBridgeOptions options) : m_options(std::move(options)) {}

std::string SgDriverBridge::DescribeSense(const uint8_t* sense, unsigned length) {
    if (!sense || length < 3) return "";
    const uint8_t code = sense[0] & 0x7F;
    unsigned key, asc = 0, ascq = 0;
    bool haveAsc;
    if (code == 0x72 || code == 0x73) {  // descriptor format
        key = sense[1] & 0x0F;
        asc = sense[2];
        ascq = length > 3 ? sense[3] : 0;
        haveAsc = true;
    } else if (code == 0x70 || code == 0x71) {  // fixed format
        key = sense[2] & 0x0F;
        haveAsc = length >= 14;
        if (haveAsc) {
            asc = sense[12];
            ascq = sense[13];
        }
    } else {
        return "";
    }
    char text[96];
    if (haveAsc)
        std::snprintf(text, sizeof text, "sense key 0x%x (%s), ASC/ASCQ 0x%02x/0x%02x", key,
                      SenseKeyName(key), asc, ascq);
    else
        std::snprintf(text, sizeof text, "sense key 0x%x (%s)", key, SenseKeyName(key));
    return text;
}

std::vector<SgDevice> SgDriverBridge::ListDevices() const {
    std::vector<SgDevice> devices;
    const fs::path root(m_options.sysfsRoot);
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(root / "class" / "scsi_generic", ec)) {
        SgDevice d;
        d.name = entry.path().filename().string();
        const fs::path device = entry.path() / "device";
        std::error_code linkError;
        const fs::path target = fs::canonical(device, linkError);
        if (linkError || !ParseHctl(target.filename().string(), d)) continue;
        d.vendor = ReadAttribute(device / "vendor");
        d.model = ReadAttribute(device / "model");
        const std::string type = ReadAttribute(device / "type");
        d.type = type.empty() ? -1 : std::atoi(type.c_str());
        d.procName = ReadAttribute(root / "class" / "scsi_host" /
                                   ("host" + std::to_string(d.host)) / "proc_name");
        d.node = m_options.deviceDirectory + "/" + d.name;
        devices.push_back(std::move(d));
    }
    std::sort(devices.begin(), devices.end(), [](const SgDevice& a, const SgDevice& b) {
        return std::tie(a.host, a.channel, a.target, a.lun, a.name) <
               std::tie(b.host, b.channel, b.target, b.lun, b.name);
    });
    return devices;
}

bool SgDriverBridge::Matches(const SgDevice& device) const {
    for (const SgDeviceIdentifier& id : m_options.identifiers) {
        if (id.vendor.empty() && id.model.empty() && id.type < 0 && id.procName.empty()) continue;
        if (FieldMatches(id.vendor, device.vendor) && FieldMatches(id.model, device.model) &&
            (id.type < 0 || id.type == device.type) && FieldMatches(id.procName, device.procName))
            return true;
    }
    return false;
}

std::vector<SgDevice> SgDriverBridge::FindControllers() const {
    std::vector<SgDevice> found;
    for (SgDevice& d : ListDevices())
        if (Matches(d)) found.push_back(std::move(d));
    return found;
}

bool SgDriverBridge::OpenService(const char* className, int index, uint32_t& handle) {
    if (!className || index < 0 || m_options.className != className) return false;
    std::vector<SgDevice> controllers = FindControllers();
    if (static_cast<size_t>(index) >= controllers.size()) return false;
    const SgDevice& d = controllers[static_cast<size_t>(index)];
    int fd = open(d.node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        Console::PrintLevel(Console::kError, "Cannot open %s (%s %s, %d:%d:%d:%d): %s\n",
                            d.node.c_str(), d.vendor.c_str(), d.model.c_str(), d.host, d.channel,
                            d.target, d.lun, std::strerror(errno));
        return false;
    }
    // A node that is not a SCSI generic device (a wrong device directory) is
    // refused here rather than sent commands.
    int version = 0;
    if (ioctl(fd, SG_GET_VERSION_NUM, &version) != 0) {
        Console::PrintLevel(Console::kError, "%s is not a SCSI generic device: %s\n", d.node.c_str(),
                            std::strerror(errno));
        close(fd);
        return false;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_open[static_cast<uint32_t>(fd)] = OpenDevice{d.name, false};
    handle = static_cast<uint32_t>(fd);
    return true;
}

void SgDriverBridge::CloseService(uint32_t handle) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_open.erase(handle);
    }
    close(static_cast<int>(handle));
}

std::string SgDriverBridge::NameOf(uint32_t handle) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_open.find(handle);
    return it == m_open.end() ? std::string() : it->second.name;
}

void SgDriverBridge::MarkGone(uint32_t handle) {
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_open.find(handle);
    if (it != m_open.end()) it->second.gone = true;
}

// There is no driver client to open or close; a node that has failed as gone
// refuses selector 0, so the driver port reopens it (and finds it again once
// the device is back).
int32_t SgDriverBridge::CallScalar(uint32_t handle, uint32_t selector) {
    if (selector == KVO_SELECTOR_CLIENT_CLOSE) return 0;
    if (selector != KVO_SELECTOR_CLIENT_OPEN) return kUnsupported;
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_open.find(handle);
    if (it == m_open.end()) return kTransportFailure;
    return it->second.gone ? kDeviceGone : 0;
}

int32_t SgDriverBridge::CallStructure(uint32_t handle, const _IOCTL_PARAM_IN& in,
                                      _IOCTL_PARAM_OUT& out) {
    if (in.uInputLength > KVO_IOCTL_DATA_SIZE) return kBadArgument;
    // The driver's probe fails on these controllers, which is what keeps them.
    if (in.uControlCode != KVO_CTL_SCSI_PASSTHROUGH) return kUnsupported;
    const std::string name = NameOf(handle);
    if (name.empty()) return kTransportFailure;
    return PassThrough(static_cast<int>(handle), name, in, out);
}

int32_t SgDriverBridge::PassThrough(int fd, const std::string& name, const _IOCTL_PARAM_IN& in,
                                    _IOCTL_PARAM_OUT& out) {
    if (in.uInputLength < kRequestHeader) return kBadArgument;
    _KVO_SCSI_PASSTHROUGH_IN header;
    std::memcpy(&header, in.byInput, sizeof header);
    const bool write = header.direction == KVO_DIRECTION_WRITE;
    if ((!write && header.direction != KVO_DIRECTION_READ) || header.cdbLength < 6 ||
        header.cdbLength > sizeof header.cdb)
        return kBadArgument;
    const uint32_t area = std::min<uint32_t>(in.uOutputLength, KVO_IOCTL_DATA_SIZE);
    if (area < kReplyHeader) return kBadArgument;

    // The reply is built aside so that a failed call leaves `out` untouched.
    // A read gets a buffer as long as it asks for, so the device never
    // overruns it (the poller asks 2048 bytes into a 2040-byte reply area);
    // what does not fit the reply area is not handed back, as with the driver.
    _IOCTL_PARAM_OUT reply{};
    const uint32_t room = area - kReplyHeader;
    uint32_t length;
    if (write)
        length = in.uInputLength - kRequestHeader;
    else
        length = std::min<uint32_t>(header.dataLength, kMaxReadLength);
    std::vector<uint8_t> data(std::max<uint32_t>(length, 1));
    if (write) std::memcpy(data.data(), in.byInput + kRequestHeader, length);
    uint8_t sense[kSenseMax] = {};
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.dxfer_direction = length == 0 ? SG_DXFER_NONE : write ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
    io.cmd_len = header.cdbLength;
    io.cmdp = header.cdb;
    io.dxfer_len = length;
    io.dxferp = data.data();
    io.mx_sb_len = sizeof sense;
    io.sbp = sense;
    io.timeout = static_cast<unsigned int>(m_options.callTimeoutMs);

    int rc;
    do {
        rc = ioctl(fd, SG_IO, &io);
    } while (rc < 0 && errno == EINTR);
    const char* op = OperationName(header.cdb[0]);
    if (rc < 0) {
        const int error = errno;
        Console::PrintLevel(Console::kError, "SCSI generic %s: %s failed: SG_IO: %s\n", name.c_str(),
                            op, std::strerror(error));
        if (MeansDeviceGone(error)) MarkGone(static_cast<uint32_t>(fd));
        return kTransportFailure;
    }
    const std::string reason = FailureReason(io, sense);
    if (!reason.empty()) {
        Console::PrintLevel(Console::kError, "SCSI generic %s: %s failed: %s\n", name.c_str(), op,
                            reason.c_str());
        return kDeviceError;
    }
    const uint32_t resid = io.resid < 0 ? 0 : std::min<uint32_t>(static_cast<uint32_t>(io.resid), length);
    const uint32_t moved = length - resid;
    if (write && moved != length)
        Console::PrintLevel(Console::kWarning, "SCSI generic %s: %s moved %u of %u bytes\n",
                            name.c_str(), op, moved, length);

    const uint32_t delivered = write ? moved : std::min(moved, room);
    if (!write && delivered > 0) std::memcpy(reply.byOutput + kReplyHeader, data.data(), delivered);
    _KVO_SCSI_PASSTHROUGH_OUT replyHeader{};
    replyHeader.status = io.status;
    replyHeader.dataLength = delivered;
    std::memcpy(reply.byOutput, &replyHeader, sizeof replyHeader);
    reply.uBytesReturned = kReplyHeader + (write ? 0 : delivered);
    std::memcpy(&out, &reply, sizeof reply);
    return 0;
}
