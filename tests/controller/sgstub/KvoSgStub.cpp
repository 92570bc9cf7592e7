// libkvosgstub: stands in for the kernel's sg driver in tests. Preloaded (or
// linked) into a process, it takes over open, ioctl(SG_IO) and close on device
// nodes named sg* that are Unix sockets (kvoctlsim's SCSI-target mode creates
// them) and carries each SG_IO to the simulator as one command message; every
// other path and descriptor goes to the C library untouched. A completion that
// does not come within the SG_IO time-out ends the call as the kernel does
// (host status time-out); the late completion is dropped by its sequence number.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <scsi/sg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "ScsiTargetWire.h"

namespace {

using OpenFn = int (*)(const char*, int, ...);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

constexpr int kSgVersion = 30536;
constexpr unsigned kDefaultTimeoutMs = 60000;
constexpr size_t kMaxTransfer = 1 << 16;

struct Node {
    uint32_t nextSequence = 1;
};

std::mutex g_lock;
std::unordered_map<int, Node>& Nodes() {
    static auto* nodes = new std::unordered_map<int, Node>();  // never freed: used until exit
    return *nodes;
}
std::atomic<int> g_nodeCount{0};

template <typename Fn>
Fn Real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

bool IsStubNode(const char* path) {
    if (!path) return false;
    const char* base = std::strrchr(path, '/');
    base = base ? base + 1 : path;
    struct stat st;
    return std::strncmp(base, "sg", 2) == 0 && stat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

int OpenNode(const char* path, int flags) {
    if ((flags & O_ACCMODE) != O_RDWR && (flags & O_ACCMODE) != O_RDONLY) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_un addr{};
    if (std::strlen(path) >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | ((flags & O_CLOEXEC) ? SOCK_CLOEXEC : 0), 0);
    if (fd < 0) return -1;
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int error = errno == ECONNREFUSED ? ENXIO : errno;  // a node without a device behind it
        Real<CloseFn>("close")(fd);
        errno = error;
        return -1;
    }
    std::lock_guard<std::mutex> guard(g_lock);
    Nodes()[fd] = Node{};
    ++g_nodeCount;
    return fd;
}

bool IsOpenNode(int fd, uint32_t* sequence) {
    if (g_nodeCount.load() == 0) return false;
    std::lock_guard<std::mutex> guard(g_lock);
    auto it = Nodes().find(fd);
    if (it == Nodes().end()) return false;
    if (sequence) *sequence = it->second.nextSequence++;
    return true;
}

long long MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start).count();
}

void Complete(sg_io_hdr_t& io, const _KVO_SG_TARGET_REPLY& done, const uint8_t* dataIn,
              size_t dataInSize) {
    io.status = done.byStatus;
    io.masked_status = static_cast<unsigned char>((done.byStatus >> 1) & 0x7F);
    io.host_status = done.wHostStatus;
    io.driver_status = done.wDriverStatus;
    io.resid = done.nResid;
    io.sb_len_wr = 0;
    if (done.bySenseLength > 0 && io.sbp && io.mx_sb_len > 0) {
        size_t n = std::min<size_t>({done.bySenseLength, io.mx_sb_len, sizeof done.sense});
        std::memcpy(io.sbp, done.sense, n);
        io.sb_len_wr = static_cast<unsigned char>(n);
        if (done.byStatus == KVO_SCSI_STATUS_CHECK_CONDITION) io.driver_status |= 0x08;  // DRIVER_SENSE
    }
    if (io.dxfer_direction == SG_DXFER_FROM_DEV && io.dxferp)
        std::memcpy(io.dxferp, dataIn, std::min<size_t>(dataInSize, io.dxfer_len));
    const bool ok = io.status == 0 && io.host_status == 0 && (io.driver_status & 0x07) == 0;
    io.info = ok ? SG_INFO_OK : SG_INFO_CHECK;
}

int SgIo(int fd, uint32_t sequence, sg_io_hdr_t* io) {
    if (!io || io->interface_id != 'S' || io->cmd_len > 16 || !io->cmdp || io->iovec_count != 0 ||
        io->dxfer_len > kMaxTransfer || (io->dxfer_len > 0 && !io->dxferp)) {
        errno = EINVAL;
        return -1;
    }
    const auto start = std::chrono::steady_clock::now();
    _KVO_SG_TARGET_REQUEST request{};
    request.uSequence = sequence;
    request.nDirection = io->dxfer_direction;
    request.uTransferLength = io->dxfer_len;
    request.byCdbLength = io->cmd_len;
    std::memcpy(request.cdb, io->cmdp, io->cmd_len);
    iovec parts[2] = {{&request, sizeof request}, {io->dxferp, 0}};
    if (io->dxfer_direction == SG_DXFER_TO_DEV) parts[1].iov_len = io->dxfer_len;
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = 2;
    if (sendmsg(fd, &msg, MSG_NOSIGNAL) < 0) {
        errno = ENODEV;
        return -1;
    }
    const unsigned timeout = io->timeout ? io->timeout : kDefaultTimeoutMs;
    static thread_local uint8_t buffer[sizeof(_KVO_SG_TARGET_REPLY) + kMaxTransfer];
    for (;;) {
        long long left = static_cast<long long>(timeout) - MsSince(start);
        pollfd p{fd, POLLIN, 0};
        int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {  // the command timed out; its completion, if any, is dropped later
            _KVO_SG_TARGET_REPLY done{};
            done.wHostStatus = KVO_HOST_TIME_OUT;
            done.nResid = static_cast<int32_t>(io->dxfer_len);
            Complete(*io, done, nullptr, 0);
            io->duration = static_cast<unsigned>(MsSince(start));
            return 0;
        }
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {  // the device went away
            errno = ENODEV;
            return -1;
        }
        if (static_cast<size_t>(n) < sizeof(_KVO_SG_TARGET_REPLY)) continue;
        _KVO_SG_TARGET_REPLY done;
        std::memcpy(&done, buffer, sizeof done);
        if (done.uSequence != sequence) continue;
        Complete(*io, done, buffer + sizeof done, static_cast<size_t>(n) - sizeof done);
        io->duration = static_cast<unsigned>(MsSince(start));
        return 0;
    }
}

int OpenAny(const char* name, const char* path, int flags, va_list args) {
    mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    if (IsStubNode(path)) return OpenNode(path, flags);
    return Real<OpenFn>(name)(path, flags, mode);
}

}  // namespace

extern "C" {

// Tests ask for this to make sure the stand-in is in place.
int kvo_sgstub_present(void) { return 1; }

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = OpenAny("open", path, flags, args);
    va_end(args);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    int fd = OpenAny("open64", path, flags, args);
    va_end(args);
    return fd;
}

int ioctl(int fd, unsigned long request, ...) __THROW {
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    uint32_t sequence = 0;
    if (!IsOpenNode(fd, request == SG_IO ? &sequence : nullptr))
        return Real<IoctlFn>("ioctl")(fd, request, argument);
    if (request == SG_IO) return SgIo(fd, sequence, static_cast<sg_io_hdr_t*>(argument));
    if (request == SG_GET_VERSION_NUM && argument) {
        *static_cast<int*>(argument) = kSgVersion;
        return 0;
    }
    errno = ENOTTY;
    return -1;
}

int close(int fd) {
    if (g_nodeCount.load() > 0) {
        std::lock_guard<std::mutex> guard(g_lock);
        if (Nodes().erase(fd) > 0) --g_nodeCount;
    }
    return Real<CloseFn>("close")(fd);
}

}  // extern "C"
