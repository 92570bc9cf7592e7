#include "server/SocketCommAgent.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/SocketClient.h"

namespace {

// Errors that belong to one aborted connection, not to the listening socket
// (see accept(2)): the agent keeps listening.
bool IsTransientAcceptError(int err) {
    switch (err) {
    case EINTR: case ECONNABORTED: case EPROTO: case ENETDOWN: case ENOPROTOOPT:
    case EHOSTDOWN: case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
    case EAGAIN:
        return true;
    default:
        return false;
    }
}

}  // namespace

SocketCommAgent::SocketCommAgent(int port, int anyAddress)
    : m_socket(-1), m_port(port), m_anyAddress(anyAddress), m_status(0),
      m_accepting(false), m_closeDeferred(false), m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

SocketCommAgent::~SocketCommAgent() {
    if (m_status == 1) Close();
    std::lock_guard<KvoLock> guard(m_lock);
    if (m_socket != -1 && !m_accepting) {
        close(m_socket);
        m_socket = -1;
    }
    if (m_wakeFd != -1) close(m_wakeFd);
}

int SocketCommAgent::StartListening() {
    std::lock_guard<KvoLock> guard(m_lock);
    m_socket = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        m_socket = -1;
        ShowMessage(LOG_ERROR, "Function socket() failed.");
        return -1;
    }
    int on = 1;
    setsockopt(m_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(m_port & 0xFFFF));
    addr.sin_addr.s_addr = m_anyAddress ? htonl(INADDR_ANY) : inet_addr("127.0.0.1");
    // A chosen address that does not work is an error, never a fall-back to another.
    if (!m_bindAddress.empty() && inet_pton(AF_INET, m_bindAddress.c_str(), &addr.sin_addr) != 1) {
        ShowMessage(LOG_ERROR, "bind error: \"%s\" is not an IPv4 address, not listening on port %d",
                    m_bindAddress.c_str(), m_port & 0xFFFF);
        CloseSocketLocked();
        return -1;
    }
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int err = errno;
        char where[INET_ADDRSTRLEN] = {0};
        inet_ntop(AF_INET, &addr.sin_addr, where, sizeof where);
        ShowMessage(LOG_ERROR, "bind error");
        ShowMessage(LOG_ERROR, "cannot listen on %s port %d: %s", where, m_port & 0xFFFF, strerror(err));
        CloseSocketLocked();
        return -1;
    }
    if (listen(m_socket, 8) != 0) {
        ShowMessage(LOG_ERROR, "listen error: %s", strerror(errno));
        CloseSocketLocked();
        return -1;
    }
    m_status = 1;
    return 0;
}

int SocketCommAgent::Accept(Client** client) { return AcceptImp(client, false, -1); }

int SocketCommAgent::AcceptOrWake(Client** client, int timeoutUs) { return AcceptImp(client, true, timeoutUs); }

void SocketCommAgent::WakeAccept() {
    if (m_wakeFd == -1) return;
    uint64_t one = 1;
    if (write(m_wakeFd, &one, sizeof one) < 0) {
        // The counter is already far from zero: a wake-up is pending.
    }
}

bool SocketCommAgent::WaitForConnectionOrWake(int fd, int timeoutUs) {
    pollfd p[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
    timespec limit{timeoutUs / 1000000, (timeoutUs % 1000000) * 1000L};
    int rc = ppoll(p, m_wakeFd == -1 ? 1 : 2, timeoutUs < 0 ? nullptr : &limit, nullptr);
    if (rc > 0 && p[1].revents) {
        uint64_t count;
        if (read(m_wakeFd, &count, sizeof count) < 0) {
            // Drained by an earlier read.
        }
    }
    return rc > 0 && p[0].revents;
}

int SocketCommAgent::AcceptImp(Client** client, bool wakeable, int timeoutUs) {
    *client = nullptr;
    int fd;
    {
        std::lock_guard<KvoLock> guard(m_lock);
        if (m_socket == -1 || m_status == 0) return -1;
        fd = m_socket;
        m_accepting = true;
    }
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int conn = -1;
    int err = EAGAIN;
    if (!wakeable) {
        conn = accept4(fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        err = errno;
    } else if (WaitForConnectionOrWake(fd, timeoutUs)) {
        // Never block here: the connection may have gone again since the wait.
        int flags = fcntl(fd, F_GETFL, 0);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        conn = accept4(fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        err = errno;
        fcntl(fd, F_SETFL, flags);
    }
    bool closedOnPurpose = false;
    {
        std::lock_guard<KvoLock> guard(m_lock);
        m_accepting = false;
        if (m_closeDeferred) {
            // Close ran while we were inside accept(): the descriptor is ours to free.
            if (conn >= 0) close(conn);
            CloseSocketLocked();
            conn = -1;
            closedOnPurpose = true;
        } else if (conn < 0 && m_status == 0) {
            closedOnPurpose = true;
        }
    }
    // A stop is not a failure: Close has said so already.
    if (closedOnPurpose) return -1;
    if (conn < 0) {
        if (IsTransientAcceptError(err) && m_status == 1) return 0;
        ShowMessage(LOG_ERROR, "SocketCommAgent::Accept failed: %s", strerror(err));
        Close();
        return -1;
    }
    // Answers go out as whole sends; without this the last segment of a
    // multi-segment answer waits for the browser's delayed ACK.
    int on = 1;
    setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    auto* accepted = new SocketClient(conn, text);  // handed to the caller, who owns it
    accepted->SetLogImp(m_logImp);
    *client = accepted;
    return 0;
}

void SocketCommAgent::CloseSocketLocked() {
    if (m_socket != -1) close(m_socket);
    m_socket = -1;
    m_closeDeferred = false;
}

int SocketCommAgent::Close() {
    // The line is written under the lock so that it always comes before the
    // failure the woken accept thread reports.
    std::lock_guard<KvoLock> guard(m_lock);
    if (m_status == 1) {
        // shutdown wakes an accept() blocked on another thread; the number is
        // only released once nobody can still pass it to accept().
        shutdown(m_socket, SHUT_RDWR);
        m_status = 0;
        if (m_accepting) m_closeDeferred = true;
        else CloseSocketLocked();
        WakeAccept();
    }
    ShowMessage(LOG_INFO, "SocketCommAgent closed.");
    return 0;
}

int SocketCommAgent::GetStatus() { return m_status; }

int SocketCommAgent::SetNonblocking(int fd, bool on, Log* log) {
    int flags = fcntl(fd, F_GETFL, 0);
    const char* failure = nullptr;
    if (flags < 0) failure = "ioctlsocket(FIONBIO)";
    else if (on && fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) failure = "fcntl(F_SETFL, O_NONBLOCK)";
    else if (!on && fcntl(fd, F_SETFL, 0) < 0) failure = "fcntl(F_SETFL, 0)";
    if (!failure) return 1;
    if (log) log->ShowMessage(LOG_ERROR, "%s", failure);
    return 0;
}
