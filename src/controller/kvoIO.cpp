#include "controller/kvoIO.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

#include "controller/DriverPort.h"
#include "framework/Console.h"

kvoIO* kvoIO::m_kvoIO = nullptr;
DriverBridgeSettings kvoIO::m_bridgeSettings;

namespace {

constexpr unsigned int kRequestHeader = sizeof(_KVO_SCSI_PASSTHROUGH_IN);
constexpr unsigned int kReplyHeader = sizeof(_KVO_SCSI_PASSTHROUGH_OUT);
// The command block carries the length in 24 bits.
constexpr unsigned int kMaxTransfer = 0xFFFFFF;

DriverPort* ConnectedPort(unsigned int controller) {
    if (controller >= static_cast<unsigned int>(DriverPort::kMaxActivePorts)) return nullptr;
    DriverPort* port = _get_port(static_cast<int>(controller));
    // An unconnected port reconnects inside its next call once its back-off allows.
    return (port && port->IsCallable()) ? port : nullptr;
}

void FillRequest(_KVO_SCSI_PASSTHROUGH_IN& header, uint8_t opCode, uint8_t direction,
                 unsigned int buffer, unsigned char connection, unsigned int length) {
    header.direction = direction;
    header.cdbLength = KVO_CDB_LENGTH;
    KvoFillBufferCdb(header.cdb, opCode, static_cast<uint8_t>(buffer & 0xFF), connection, length);
    header.dataLength = length;
}

}  // namespace

kvoIO::kvoIO() {
    ChooseBridge();
    ActiveDriverPort(nullptr, 0, false);
    m_initialized = true;
}

void kvoIO::SetBridgeSettings(const DriverBridgeSettings& settings) { m_bridgeSettings = settings; }

void kvoIO::ChooseBridge() {
    std::string report = m_bridgeChoice.Apply(m_bridgeSettings);
    if (report != m_bridgeReport) Console::Print("%s", report.c_str());
    m_bridgeReport = std::move(report);
}

kvoIO::~kvoIO() {
    if (m_initialized) ClearActivePorts();
    m_initialized = false;
}

kvoIO* kvoIO::GetInstance() {
    if (!m_kvoIO) m_kvoIO = new kvoIO();  // lives for the whole process
    return m_kvoIO;
}

bool kvoIO::initialize() {
    // The ports close through the bridge that opened them.
    ClearActivePorts();
    ChooseBridge();
    ActiveDriverPort(nullptr, 0, false);
    m_initialized = true;
    return true;
}

unsigned int kvoIO::getControllerCount() { return static_cast<unsigned int>(_get_port_count()); }

unsigned int kvoIO::rescan() {
    if (_get_port_count() > 0) return getControllerCount();
    // No port is open, so the bridge may be chosen anew: sockets that appeared
    // since the start win as they would have then.
    ChooseBridge();
    ActiveDriverPort(nullptr, 0, false);
    return getControllerCount();
}

int kvoIO::terminate() {
    if (m_initialized) ClearActivePorts();
    return 0;
}

void kvoIO::SwapStruct(_KVO_SCSI_PASSTHROUGH_IN* request) {
    request->target = KvoSwap32(request->target);
    request->dataLength = KvoSwap32(request->dataLength);
}

void kvoIO::SwapStruct(_KVO_SCSI_PASSTHROUGH_OUT* reply) {
    reply->dataLength = KvoSwap32(reply->dataLength);
}

int kvoIO::writeIO(unsigned int controller, unsigned int buffer, unsigned char connection,
                   const char* data, unsigned int length) {
    DriverPort* port = ConnectedPort(controller);
    if (!port || length > kMaxTransfer || (length > 0 && !data)) return -1;
    std::vector<uint8_t> request(kRequestHeader + length, 0);
    _KVO_SCSI_PASSTHROUGH_IN header{};
    FillRequest(header, KVO_OP_WRITE_BUFFER, KVO_DIRECTION_WRITE, buffer, connection, length);
    if (port->SwapsBytes()) SwapStruct(&header);
    std::memcpy(request.data(), &header, kRequestHeader);
    if (length > 0) std::memcpy(request.data() + kRequestHeader, data, length);
    _KVO_SCSI_PASSTHROUGH_OUT reply{};
    if (port->DeviceIoControl(KVO_CTL_SCSI_PASSTHROUGH, request.data(),
                              static_cast<unsigned int>(request.size()), &reply, kReplyHeader,
                              nullptr) != 0) {
        Console::PrintLevel(Console::kError, "DevIOCtl failed %d\n", KVO_CTL_SCSI_PASSTHROUGH);
        return -1;
    }
    if (port->SwapsBytes()) SwapStruct(&reply);
    Console::PrintLevel(Console::kTrace, "DevIOCtl success %d\n", static_cast<int>(reply.dataLength));
    return reply.dataLength > INT_MAX ? INT_MAX : static_cast<int>(reply.dataLength);
}

int kvoIO::readIO(unsigned int controller, unsigned int buffer, unsigned char connection,
                  char* data, unsigned int length) {
    DriverPort* port = ConnectedPort(controller);
    if (!port || length > kMaxTransfer || (length > 0 && !data)) return -1;
    _KVO_SCSI_PASSTHROUGH_IN header{};
    FillRequest(header, KVO_OP_READ_BUFFER, KVO_DIRECTION_READ, buffer, connection, length);
    if (port->SwapsBytes()) SwapStruct(&header);
    std::vector<uint8_t> reply(kReplyHeader + length, 0);
    if (port->DeviceIoControl(KVO_CTL_SCSI_PASSTHROUGH, &header, kRequestHeader, reply.data(),
                              static_cast<unsigned int>(reply.size()), nullptr) != 0)
        return -1;
    _KVO_SCSI_PASSTHROUGH_OUT replyHeader;
    std::memcpy(&replyHeader, reply.data(), kReplyHeader);
    if (port->SwapsBytes()) SwapStruct(&replyHeader);
    // Trust the reported count only as far as the caller's buffer (and the
    // driver's output area) reach.
    unsigned int delivered = replyHeader.dataLength;
    if (delivered > length) delivered = length;
    if (delivered > KVO_IOCTL_DATA_SIZE - kReplyHeader) delivered = KVO_IOCTL_DATA_SIZE - kReplyHeader;
    if (delivered > 0) std::memcpy(data, reply.data() + kReplyHeader, delivered);
    return static_cast<int>(delivered);
}
