// DriverPort: one open connection to one controller's driver service, offering
// DeviceIoControl (control code + input bytes in, output bytes back). Ports are
// created and owned by the active-port table below (ActiveDriverPort /
// ClearActivePorts), built on the main thread before other threads start.
// DeviceIoControl may be called from any thread; m_portLock serialises it.
// A port that lost its connection is tried again on later calls, no sooner
// than its back-off (100 ms doubling to 2 s) allows, so service resumes on its
// own once the driver is back.
#pragma once

#include <atomic>
#include <cstdint>

#include "IoctlParams.h"
#include "KvoLock.h"

// One row of the driver class table.
struct _DRIVER_PARAM {
    char* className;          // null ends the table
    int32_t bufferEndian;     // 0 no conversion, 1 little-endian, 2 big-endian
    bool onePortPerClass;     // only instance 0 of the class is used
};

// Start-up values of row 0 of the class table.
extern int32_t BufferEndian;
extern bool isonePortPerClass;

class DriverPort {
public:
    static _DRIVER_PARAM supportDrivers[5];
    static constexpr int kMaxActivePorts = 4;

    DriverPort(_DRIVER_PARAM* row, int index);
    ~DriverPort();
    DriverPort(const DriverPort&) = delete;
    DriverPort& operator=(const DriverPort&) = delete;

    bool Open();
    void Close();
    bool Reset();
    // 0 on success, -1 on failure. `inputLength` above 2048 is refused; at most
    // 2048 bytes are ever copied to `output`; it is untouched when the driver
    // returns 0 bytes.
    int DeviceIoControl(unsigned int controlCode, const void* input, unsigned int inputLength,
                        void* output, unsigned int outputLength, unsigned int* bytesReturned);

    bool IsConnected() const { return m_connected; }
    // Connected, or unconnected with the back-off after its last failed
    // reconnect over: the next call may try to reconnect.
    bool IsCallable() const;
    bool SwapsBytes() const { return m_swapBytes; }
    int Index() const { return m_index; }
    const char* ClassName() const { return m_className; }

private:
    // A failed reconnect or reset: wait longer before the next attempt.
    void NoteReconnectFailure();
    void NoteConnected();

    bool CallOnce(unsigned int controlCode, const void* input, unsigned int inputLength,
                  void* output, unsigned int outputLength, unsigned int* bytesReturned);

    KvoLock m_portLock;
    uint32_t m_connect = 0;
    char m_className[128];
    int32_t m_index;
    std::atomic<bool> m_connected{false};  // read by kvoIO without the lock
    bool m_swapBytes = false;
    _DRIVER_PARAM m_param{};
    // Reconnect back-off: steady-clock time (ns) before which an unconnected
    // port is not tried again, and the current step (ms, 0 after a success).
    std::atomic<long long> m_retryAtNs{0};
    long long m_backoffMs = 0;
};

bool ConnectToDataPort(const char* className, unsigned int& connect, int index);
bool _issupport_get_info(DriverPort* port);
void ActiveDriverPort(_DRIVER_PARAM* rows, int rowCount, bool keep);
void ClearActivePorts();
DriverPort* _get_port(int index);
int _get_port_count();
