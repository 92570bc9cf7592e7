// SocketClient: one TCP/IPv4 byte stream, either accepted by a SocketCommAgent
// or connected out by the constructor (used by the SMTP client). Owned by
// whoever created it. Receive and send may run on two threads at once; only
// Close takes `m_lock`. Waiting uses poll, so any descriptor number is safe.
#pragma once

#include <atomic>
#include <string>

#include "Client.h"
#include "KvoLock.h"

class SocketClient : public Client {
public:
    // An accepted connection: open, close count 0.
    SocketClient(int fd, const char* peer);
    // Outgoing connection to host:port (family AF_INET). connectTimeoutUs bounds
    // the connect; -1 blocks as long as the system does. Check GetStatus().
    SocketClient(const char* host, unsigned short port, int family, int connectTimeoutUs = -1);
    ~SocketClient() override;

    int PeekBuf(char* buffer, int size, int timeout) override;
    int ReceiveBuf(char* buffer, int size, int timeout) override;
    int SendBuf(const char* data, int length, int timeout) override;
    int GetStatus() override;
    int GetStatistics(ClientStatisticsTag& stats) override;
    int Shutdown() override;
    int Close() override;
    int WhenBroken(int code) override;
    std::string ToString() override;
    long long IdleMilliseconds() override;

    int ReceiveBufImp(char* buffer, int size, int flags, int timeout);

private:
    bool ConnectTo(const char* host, unsigned short port, int family, int connectTimeoutUs);
    void NoteActivity();

    std::atomic<int> m_socket;
    std::atomic<int> m_status;
    std::string m_name;
    KvoLock m_lock;
    int m_closeCount;
    std::atomic<long long> m_lastActivityNs;  // steady clock; set when bytes move
};
