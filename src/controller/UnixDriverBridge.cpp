#include "controller/UnixDriverBridge.h"

#include <dirent.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "framework/Console.h"

namespace {

DriverBridge* g_installed = nullptr;

bool ParseInstance(const char* text, unsigned long& value) {
    if (*text == '\0' || std::strlen(text) > 9) return false;
    for (const char* p = text; *p; ++p)
        if (*p < '0' || *p > '9') return false;
    value = std::strtoul(text, nullptr, 10);
    return true;
}

// A driver call never legitimately takes long; the bound only stops a hung
// peer from holding the port lock for ever.
void SetTimeouts(int fd, int ms) {
    timeval tv{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// The last failure reported per path: a driver that stays away is reported
// once, not at every reconnect attempt or re-scan; a success clears it.
std::mutex g_reportLock;
std::map<std::string, int> g_reportedFailures;

// `what` names the thing at `path` in the line ("driver service", "driver folder").
void NoteResult(const char* what, const std::string& path, int err) {
    std::lock_guard<std::mutex> guard(g_reportLock);
    if (err == 0) {
        g_reportedFailures.erase(path);
        return;
    }
    auto found = g_reportedFailures.find(path);
    if (found != g_reportedFailures.end() && found->second == err) return;
    g_reportedFailures[path] = err;
    Console::PrintLevel(Console::kError, "Cannot open %s %s: %s\n", what, path.c_str(),
                        std::strerror(err));
}

void NoteOpenResult(const std::string& path, int err) { NoteResult("driver service", path, err); }

int ConnectSeqPacket(const std::string& path, int callTimeoutMs) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        NoteOpenResult(path, ENAMETOOLONG);
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        NoteOpenResult(path, errno);
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        NoteOpenResult(path, errno);
        close(fd);
        return -1;
    }
    NoteOpenResult(path, 0);
    SetTimeouts(fd, callTimeoutMs);
    return fd;
}

bool SendMessage(int fd, iovec* parts, int count) {
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = static_cast<size_t>(count);
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += parts[i].iov_len;
    ssize_t n;
    do {
        n = sendmsg(fd, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(total);
}

// Receives one message into `parts`; returns its length, or -1 (error, end,
// or a message larger than the parts).
ssize_t ReceiveMessage(int fd, iovec* parts, int count) {
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = static_cast<size_t>(count);
    ssize_t n;
    do {
        n = recvmsg(fd, &msg, 0);
    } while (n < 0 && errno == EINTR);
    if (n <= 0 || (msg.msg_flags & MSG_TRUNC)) return -1;
    return n;
}

// The connection can no longer be trusted to pair requests with replies (a
// reply may still be on its way): end it for both directions. The descriptor
// stays open until the port closes it.
int32_t ShutDownConnection(int fd) {
    shutdown(fd, SHUT_RDWR);
    return UnixDriverBridge::kTransportFailure;
}

}  // namespace

void UnixDriverBridge::SetCloseReplyOwed(int fd, bool owed) {
    std::lock_guard<std::mutex> guard(m_owedLock);
    if (owed) m_closeReplyOwed.insert(fd);
    else m_closeReplyOwed.erase(fd);
}

bool UnixDriverBridge::TakeCloseReplyOwed(int fd) {
    std::lock_guard<std::mutex> guard(m_owedLock);
    return m_closeReplyOwed.erase(fd) > 0;
}

int32_t UnixDriverBridge::Abandon(int fd) {
    SetCloseReplyOwed(fd, false);
    return ShutDownConnection(fd);
}

bool UnixDriverBridge::SendRequest(int fd, iovec* parts, int count) {
    bool owed = TakeCloseReplyOwed(fd);
    if (!SendMessage(fd, parts, count)) return false;
    if (!owed) return true;
    int32_t ignored = 0;
    iovec in[1] = {{&ignored, sizeof ignored}};
    return ReceiveMessage(fd, in, 1) == static_cast<ssize_t>(sizeof ignored);
}

UnixDriverBridge::UnixDriverBridge(int callTimeoutMs)
    : m_callTimeoutMs(callTimeoutMs > 0 ? callTimeoutMs : kDefaultCallTimeoutMs) {}

DriverBridge& DriverBridge::Current() {
    static UnixDriverBridge platformBridge;
    return g_installed ? *g_installed : platformBridge;
}

void DriverBridge::SetCurrent(DriverBridge* bridge) { g_installed = bridge; }

std::string UnixDriverBridge::DriverDirectory() {
    const char* dir = std::getenv("KVOOMX_DRIVER_DIR");
    return (dir && *dir) ? dir : "/run/kvoomx/driver";
}

std::vector<std::string> UnixDriverBridge::ListServices(const std::string& dir,
                                                        const char* className) {
    std::vector<std::pair<unsigned long, std::string>> found;
    std::string prefix = std::string(className) + ".";
    DIR* d = opendir(dir.c_str());
    NoteResult("driver folder", dir, d ? 0 : errno);
    if (d) {
        while (dirent* e = readdir(d)) {
            unsigned long k;
            if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0 &&
                ParseInstance(e->d_name + prefix.size(), k))
                found.emplace_back(k, dir + "/" + e->d_name);
        }
        closedir(d);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> paths;
    for (auto& f : found) paths.push_back(std::move(f.second));
    return paths;
}

bool UnixDriverBridge::OpenService(const char* className, int index, uint32_t& handle) {
    if (!className || index < 0) return false;
    std::vector<std::string> services = ListServices(DriverDirectory(), className);
    if (static_cast<size_t>(index) >= services.size()) return false;
    int fd = ConnectSeqPacket(services[static_cast<size_t>(index)], m_callTimeoutMs);
    if (fd < 0) return false;
    SetCloseReplyOwed(fd, false);
    handle = static_cast<uint32_t>(fd);
    return true;
}

void UnixDriverBridge::CloseService(uint32_t handle) {
    SetCloseReplyOwed(static_cast<int>(handle), false);
    close(static_cast<int>(handle));
}

int32_t UnixDriverBridge::CallScalar(uint32_t handle, uint32_t selector) {
    int fd = static_cast<int>(handle);
    iovec out[1] = {{&selector, sizeof selector}};
    if (!SendRequest(fd, out, 1)) return Abandon(fd);
    if (selector == KVO_SELECTOR_CLIENT_CLOSE) {
        SetCloseReplyOwed(fd, true);
        return 0;
    }
    int32_t result = 0;
    iovec in[1] = {{&result, sizeof result}};
    if (ReceiveMessage(fd, in, 1) != static_cast<ssize_t>(sizeof result)) return Abandon(fd);
    return result;
}

int32_t UnixDriverBridge::CallStructure(uint32_t handle, const _IOCTL_PARAM_IN& in,
                                        _IOCTL_PARAM_OUT& out) {
    int fd = static_cast<int>(handle);
    uint32_t selector = KVO_SELECTOR_STRUCTURE;
    iovec request[2] = {{&selector, sizeof selector},
                        {const_cast<_IOCTL_PARAM_IN*>(&in), sizeof in}};
    if (!SendRequest(fd, request, 2)) return Abandon(fd);
    // Receive into a scratch reply so a failed call leaves `out` untouched.
    int32_t result = 0;
    _IOCTL_PARAM_OUT reply;
    iovec answer[2] = {{&result, sizeof result}, {&reply, sizeof reply}};
    ssize_t n = ReceiveMessage(fd, answer, 2);
    if (n == static_cast<ssize_t>(sizeof result) && result != 0) return result;
    if (n != static_cast<ssize_t>(sizeof result + sizeof reply)) return Abandon(fd);
    if (result != 0) return result;
    std::memcpy(&out, &reply, sizeof reply);
    return 0;
}
