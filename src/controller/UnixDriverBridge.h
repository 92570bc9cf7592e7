// UnixDriverBridge: the driver bridge over SOCK_SEQPACKET Unix sockets. A service
// of class C is the socket DIR/C.<k>; services are enumerated by ascending k.
// DIR is $KVOOMX_DRIVER_DIR (default /run/kvoomx/driver), read at every open.
// Keeps only the set of connections owing a selector-1 reply (`m_owedLock`
// guards it); safe from any thread (one connection is used by one caller at a time).
// A call that times out or gets a short or truncated message shuts its
// connection down: a late reply must never be taken as the next call's, and
// every later call fails until the driver port resets the connection.
// Selector 1 returns 0 once its message is out (its result is never used);
// its reply is read behind the connection's next message, before that
// message's own reply, so requests and replies still pair one to one.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <sys/uio.h>

#include "controller/DriverBridge.h"

class UnixDriverBridge : public DriverBridge {
public:
    static constexpr int32_t kTransportFailure = -1;
    static constexpr int kDefaultCallTimeoutMs = 10000;

    // `callTimeoutMs`: how long one call waits for the driver's reply (0 or
    // less: the default).
    explicit UnixDriverBridge(int callTimeoutMs = kDefaultCallTimeoutMs);

    bool OpenService(const char* className, int index, uint32_t& handle) override;
    void CloseService(uint32_t handle) override;
    int32_t CallScalar(uint32_t handle, uint32_t selector) override;
    int32_t CallStructure(uint32_t handle, const _IOCTL_PARAM_IN& in,
                          _IOCTL_PARAM_OUT& out) override;

    static std::string DriverDirectory();
    // Socket paths of the class's services in enumeration order.
    static std::vector<std::string> ListServices(const std::string& dir, const char* className);

private:
    void SetCloseReplyOwed(int fd, bool owed);
    bool TakeCloseReplyOwed(int fd);
    // Ends a connection that can no longer pair requests with replies.
    int32_t Abandon(int fd);
    // Sends one request, then reads an owed selector-1 reply before the
    // request's own; false when either fails.
    bool SendRequest(int fd, iovec* parts, int count);

    // Connections whose selector-1 reply has not been read yet. Nobody uses that
    // result, so the call returns once the message is out; the reply is read
    // behind the connection's next message, by when it has mostly arrived.
    const int m_callTimeoutMs;
    std::mutex m_owedLock;
    std::set<int> m_closeReplyOwed;
};
