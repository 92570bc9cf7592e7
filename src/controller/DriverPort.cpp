#include "controller/DriverPort.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "controller/DriverBridge.h"
#include "framework/Console.h"

int32_t BufferEndian = 0;
bool isonePortPerClass = true;

namespace {

// Row 0's name slot, for a class name supplied by an installation.
char g_userClassName[35] = "usr_config_file_defined_class_name";
char g_qzqrmClass[] = "QZQRMController";
char g_qrmClass[] = "QRMController";
char g_kvoqrmClass[] = "KVOQRMController";

// A port is stored before the count that covers it is published, so readers on
// other threads (pages, a late re-scan) see only complete entries.
DriverPort* _activePorts[DriverPort::kMaxActivePorts] = {};
std::atomic<int32_t> _activePortCount{0};

constexpr int kResetsPerCall = 3;
constexpr long long kFirstBackoffMs = 100;
constexpr long long kMaxBackoffMs = 2000;

long long NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch()).count();
}

bool HostIsLittleEndian() {
    const uint16_t probe = 1;
    uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

}  // namespace

_DRIVER_PARAM DriverPort::supportDrivers[5] = {
    {g_userClassName, BufferEndian, isonePortPerClass},
    {g_qzqrmClass, 1, false},
    {g_qrmClass, 1, false},
    {g_kvoqrmClass, 1, false},
    {nullptr, 0, false},
};

bool ConnectToDataPort(const char* className, unsigned int& connect, int index) {
    uint32_t handle = 0;
    if (!DriverBridge::Current().OpenService(className, index, handle)) return false;
    connect = handle;
    return true;
}

DriverPort::DriverPort(_DRIVER_PARAM* row, int index) : m_index(index) {
    std::snprintf(m_className, sizeof m_className, "%s", row->className ? row->className : "");
    if (row->onePortPerClass && index != 0) return;
    bool little = HostIsLittleEndian();
    m_swapBytes = little ? row->bufferEndian == 2 : row->bufferEndian == 1;
    m_param = *row;
    m_connected = ConnectToDataPort(m_param.className, m_connect, m_index);
}

DriverPort::~DriverPort() { Close(); }

bool DriverPort::Open() {
    std::lock_guard<KvoLock> guard(m_portLock);
    // Opening over a live connection would leak it.
    if (m_connected) DriverBridge::Current().CloseService(m_connect);
    m_connected = m_param.className && ConnectToDataPort(m_param.className, m_connect, m_index);
    return m_connected;
}

void DriverPort::Close() {
    std::lock_guard<KvoLock> guard(m_portLock);
    if (m_connected) DriverBridge::Current().CloseService(m_connect);
    m_connected = false;
}

bool DriverPort::IsCallable() const { return m_connected || NowNs() >= m_retryAtNs.load(); }

void DriverPort::NoteReconnectFailure() {
    m_backoffMs = m_backoffMs == 0 ? kFirstBackoffMs : std::min(m_backoffMs * 2, kMaxBackoffMs);
    m_retryAtNs = NowNs() + m_backoffMs * 1000000;
}

void DriverPort::NoteConnected() {
    m_backoffMs = 0;
    m_retryAtNs = 0;
}

bool DriverPort::Reset() {
    std::lock_guard<KvoLock> guard(m_portLock);
    Close();
    return Open();
}

int DriverPort::DeviceIoControl(unsigned int controlCode, const void* input,
                                unsigned int inputLength, void* output,
                                unsigned int outputLength, unsigned int* bytesReturned) {
    std::lock_guard<KvoLock> guard(m_portLock);
    if (inputLength > KVO_IOCTL_DATA_SIZE || (inputLength > 0 && !input)) return -1;
    if (!m_connected) {
        if (!ConnectToDataPort(m_className, m_connect, m_index)) {
            Console::PrintLevel(Console::kError, "Failed to reconnect to %s[%d].\n", m_className, m_index);
            NoteReconnectFailure();
            return -1;
        }
        m_connected = true;
        NoteConnected();
    }
    DriverBridge& bridge = DriverBridge::Current();
    int resetsLeft = kResetsPerCall;
    for (;;) {
        int32_t r = bridge.CallScalar(m_connect, KVO_SELECTOR_CLIENT_OPEN);
        if (r == 0) break;
        Console::PrintLevel(Console::kError, "DriverClientOpen failed code = %x. Class %s[%d]\n",
                            static_cast<unsigned int>(r), m_className, m_index);
        if (resetsLeft == 0) {
            Close();
            NoteReconnectFailure();
            return -1;
        }
        --resetsLeft;
        if (!Reset()) {
            Console::PrintLevel(Console::kError, "Failed to reset driver port.\n");
            NoteReconnectFailure();
            return -1;
        }
    }
    return CallOnce(controlCode, input, inputLength, output, outputLength, bytesReturned) ? 0 : -1;
}

bool DriverPort::CallOnce(unsigned int controlCode, const void* input, unsigned int inputLength,
                          void* output, unsigned int outputLength, unsigned int* bytesReturned) {
    DriverBridge& bridge = DriverBridge::Current();
    _IOCTL_PARAM_IN request{};
    request.uControlCode = controlCode;
    if (inputLength > 0) std::memcpy(request.byInput, input, inputLength);
    request.uInputLength = inputLength;
    request.uOutputLength = outputLength;
    _IOCTL_PARAM_OUT reply{};
    int32_t r = bridge.CallStructure(m_connect, request, reply);
    bridge.CallScalar(m_connect, KVO_SELECTOR_CLIENT_CLOSE);
    if (r != 0) return false;
    if (reply.uBytesReturned != 0) {
        unsigned int count = outputLength < KVO_IOCTL_DATA_SIZE ? outputLength : KVO_IOCTL_DATA_SIZE;
        if (output && count > 0) std::memcpy(output, reply.byOutput, count);
        if (bytesReturned) *bytesReturned = reply.uBytesReturned;
    }
    return true;
}

bool _issupport_get_info(DriverPort* port) {
    if (!port) return false;
    uint8_t info[4] = {};
    return port->DeviceIoControl(KVO_CTL_GET_INFO, nullptr, 0, info, sizeof info, nullptr) == 0;
}

void ClearActivePorts() {
    _activePortCount = 0;
    for (DriverPort*& port : _activePorts) {
        delete port;
        port = nullptr;
    }
}

void ActiveDriverPort(_DRIVER_PARAM* rows, int rowCount, bool keep) {
    ClearActivePorts();
    if (!rows) {
        rows = DriverPort::supportDrivers;
        rowCount = 4;
    }
    for (int r = 0; r < rowCount && rows[r].className; ++r) {
        for (int index = 0;; ++index) {
            auto* port = new DriverPort(&rows[r], index);  // owned by the table once kept
            if (!port->IsConnected()) {
                delete port;
                break;
            }
            if (_issupport_get_info(port) == keep) {
                int32_t n = _activePortCount.load();
                _activePorts[n] = port;
                _activePortCount.store(n + 1);
                if (n + 1 == DriverPort::kMaxActivePorts) return;
            } else {
                delete port;
            }
        }
        if (_activePortCount > 0) return;
    }
}

DriverPort* _get_port(int index) {
    if (index < 0 || index >= _activePortCount.load()) return nullptr;
    return _activePorts[index];
}

int _get_port_count() { return _activePortCount; }
