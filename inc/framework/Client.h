// Client: one connected byte stream with time-outs (microseconds, -1 = no limit).
// Owned by whoever accepted or created it (the GenericServer for served clients).
// Receive and send may run on two threads at once; Close is internally locked.
#pragma once

#include <cstdint>
#include <string>

#include "Log.h"

// Receive results below 1 end a connection; both codes are negative as int32.
constexpr int CLIENT_ERR_TIMEOUT = static_cast<int>(0xC0000001u);
constexpr int CLIENT_ERR_BROKEN = static_cast<int>(0xC0000002u);

struct ClientStatisticsTag {
    double first = 0;
    double second = 0;
};

class Client : public Log {
public:
    virtual int PeekBuf(char* buffer, int size, int timeout) = 0;
    virtual int ReceiveBuf(char* buffer, int size, int timeout) = 0;
    virtual int SendBuf(const char* data, int length, int timeout) = 0;
    virtual int GetStatus() = 0;
    virtual int GetStatistics(ClientStatisticsTag& stats) = 0;
    virtual int Shutdown() { return 0; }
    virtual int Close() = 0;
    virtual int WhenBroken(int code) = 0;
    virtual std::string ToString() { return "Untitled Client"; }
    // Milliseconds since bytes last moved either way; -1 when not tracked.
    // The server closes the longest-idle client when another waits for a slot.
    virtual long long IdleMilliseconds() { return -1; }
    ~Client() override = default;
};
