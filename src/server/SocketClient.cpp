#include "server/SocketClient.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Waits until `events` is signalled on fd or timeoutUs (-1: no limit) passes.
// A signal landing meanwhile does not cut the wait short. Returns the revents
// seen, 0 on time-out.
short WaitFor(int fd, short events, long long timeoutUs) {
    using Clock = std::chrono::steady_clock;
    const bool unlimited = timeoutUs < 0;
    const Clock::time_point end = Clock::now() + std::chrono::microseconds(unlimited ? 0 : timeoutUs);
    for (;;) {
        pollfd p{fd, events, 0};
        timespec ts{};
        timespec* limit = nullptr;
        if (!unlimited) {
            long long left = std::chrono::duration_cast<std::chrono::nanoseconds>(end - Clock::now()).count();
            if (left < 0) left = 0;
            ts.tv_sec = static_cast<time_t>(left / 1000000000LL);
            ts.tv_nsec = static_cast<long>(left % 1000000000LL);
            limit = &ts;
        }
        int rc = ppoll(&p, 1, limit, nullptr);
        if (rc > 0) return p.revents;
        if (rc == 0) return 0;
        if (errno != EINTR) return POLLERR;
    }
}

}  // namespace

SocketClient::SocketClient(int fd, const char* peer)
    : m_socket(fd), m_status(1), m_name(peer ? peer : ""), m_closeCount(0) {
    NoteActivity();
}

SocketClient::SocketClient(const char* host, unsigned short port, int family, int connectTimeoutUs)
    : m_socket(-1), m_status(0), m_closeCount(0) {
    NoteActivity();
    if (ConnectTo(host, port, family, connectTimeoutUs)) {
        m_name = host;
        m_closeCount = 0;
    }
}

bool SocketClient::ConnectTo(const char* host, unsigned short port, int family, int connectTimeoutUs) {
    if (!host) return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found) return false;
    sockaddr_in addr{};
    std::memcpy(&addr, found->ai_addr, sizeof addr);
    freeaddrinfo(found);
    addr.sin_family = static_cast<sa_family_t>(family);
    addr.sin_port = htons(port);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    m_socket = fd;
    m_status = 1;

    bool connected;
    if (connectTimeoutUs < 0) {
        connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    } else {
        // Non-blocking connect bounded by poll, then back to a blocking socket.
        int flags = fcntl(fd, F_GETFL, 0);
        fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        if (!connected && errno == EINPROGRESS && (WaitFor(fd, POLLOUT, connectTimeoutUs) & POLLOUT)) {
            int err = 0;
            socklen_t len = sizeof err;
            connected = getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
        fcntl(fd, F_SETFL, flags);
    }
    if (!connected) {
        Close();
        return false;
    }
    return true;
}

SocketClient::~SocketClient() {
    if (m_status == 1) Close();
}

int SocketClient::PeekBuf(char* buffer, int size, int timeout) {
    return ReceiveBufImp(buffer, size, MSG_PEEK, timeout);
}

int SocketClient::ReceiveBuf(char* buffer, int size, int timeout) {
    return ReceiveBufImp(buffer, size, 0, timeout);
}

int SocketClient::ReceiveBufImp(char* buffer, int size, int flags, int timeout) {
    if (m_status == 0) return 0;
    if (WaitFor(m_socket, POLLIN, timeout) == 0) return CLIENT_ERR_TIMEOUT;
    ssize_t n;
    do {
        n = recv(m_socket, buffer, size > 0 ? static_cast<size_t>(size) : 0, flags);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        if (!(flags & MSG_PEEK)) NoteActivity();
        return static_cast<int>(n);
    }
    return CLIENT_ERR_BROKEN;
}

int SocketClient::SendBuf(const char* data, int length, int timeout) {
    if (m_status == 0) return 0;
    if (length <= 0 || !data) return -1;
    // Mostly the socket has room: try at once and wait only when it has not.
    // A broken peer raises SIGPIPE, which the service catches.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::microseconds(timeout < 0 ? 0 : timeout);
    int sent = 0;
    while (sent < length) {
        ssize_t n = send(m_socket, data + sent, static_cast<size_t>(length - sent), MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<int>(n);
            NoteActivity();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
        long long left = -1;
        if (timeout >= 0) {
            left = std::chrono::duration_cast<std::chrono::microseconds>(end - Clock::now()).count();
            if (left <= 0) return -1;
        }
        if (!(WaitFor(m_socket, POLLOUT, left) & POLLOUT)) return -1;
    }
    return length;
}

int SocketClient::GetStatus() { return m_status; }

void SocketClient::NoteActivity() {
    m_lastActivityNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now().time_since_epoch()).count();
}

long long SocketClient::IdleMilliseconds() {
    long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch()).count();
    long long idle = (now - m_lastActivityNs.load()) / 1000000;
    return idle > 0 ? idle : 0;
}

int SocketClient::GetStatistics(ClientStatisticsTag& stats) {
    stats.first = 2000.0;
    stats.second = 1000.0;
    return 0;
}

int SocketClient::Shutdown() {
    if (m_status) shutdown(m_socket, SHUT_RDWR);
    return 0;
}

int SocketClient::Close() {
    std::lock_guard<KvoLock> guard(m_lock);
    ++m_closeCount;
    if (m_status != 0) {
        close(m_socket);
        m_status = 0;
        return 0;
    }
    return m_closeCount;
}

int SocketClient::WhenBroken(int code) {
    Close();
    ShowMessage(LOG_ERROR, "%s Broken with error code %x", ToString().c_str(), static_cast<unsigned>(code));
    return code;
}

std::string SocketClient::ToString() {
    char text[320];
    snprintf(text, sizeof text, "Socket Client(%s : %x)", m_name.c_str(), static_cast<unsigned>(m_socket.load()));
    return text;
}
