// SocketCommAgent: a listening TCP/IPv4 endpoint that yields SocketClients.
// Owned by its GenericServer. Accept runs on the accept thread; Close may come
// from any other thread and makes a pending Accept fail; WakeAccept from any
// thread (an eventfd). `m_lock` guards the listening descriptor's life so a
// closing Close never frees a number Accept still uses.
#pragma once

#include <atomic>
#include <string>

#include "CommAgent.h"
#include "KvoLock.h"

class SocketCommAgent : public CommAgent {
public:
    // anyAddress non-zero: all interfaces; 0: 127.0.0.1 only.
    SocketCommAgent(int port, int anyAddress);
    ~SocketCommAgent() override;

    // Listen on this IPv4 address only (dotted text) instead of the address
    // chosen by anyAddress; empty keeps that choice. Call before StartListening.
    void SetBindAddress(const std::string& address) { m_bindAddress = address; }

    int StartListening() override;
    int Accept(Client** client) override;
    int AcceptOrWake(Client** client, int timeoutUs) override;
    void WakeAccept() override;
    int Close() override;
    int GetStatus() override;

    // Switches a descriptor's non-blocking mode; 1 done, 0 failed (logged to `log`).
    static int SetNonblocking(int fd, bool on, Log* log);

private:
    int AcceptImp(Client** client, bool wakeable, int timeoutUs);
    // Waits until a connection is pending, WakeAccept is called or timeoutUs
    // passes; true for a connection (or a closed socket) to accept now.
    bool WaitForConnectionOrWake(int fd, int timeoutUs);
    void CloseSocketLocked();

    int m_socket;
    int m_port;
    int m_anyAddress;
    std::atomic<int> m_status;
    KvoLock m_lock;
    bool m_accepting;     // an accept() is using m_socket right now
    bool m_closeDeferred; // Close ran during that accept(): the accept side closes
    std::string m_bindAddress;
    int m_wakeFd;         // eventfd written by WakeAccept; -1 when none could be made
};
