#include "sim/Simulator.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sstream>

#include "EventChannelRecords.h"
#include "sim/SgTree.h"

namespace {

constexpr size_t kMaxMessage = 8192;
constexpr size_t kMaxControlLine = 4096;

bool MakeDirectories(const std::string& dir) {
    std::string path;
    std::stringstream parts(dir);
    std::string part;
    if (!dir.empty() && dir[0] == '/') path = "/";
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        path += part + "/";
        if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool ParseUnsigned(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty() || text.size() > 10) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    value = std::stoul(text);
    return value <= max;
}

bool ParseHexByte(const std::string& text, unsigned long& value) {
    if (text.empty() || text.size() > 2) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = std::stoul(text, nullptr, 16);
    return true;
}

uint32_t PackNow() {
    time_t now = time(nullptr);
    tm t{};
    localtime_r(&now, &t);
    return KvoPackEventTime(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                            t.tm_sec);
}

// "now" or YYYY-MM-DDTHH:MM:SS (also with a space instead of the T when quoted
// as one word is not possible, so only the T form is accepted).
bool ParseEventTime(const std::string& text, uint32_t& packed) {
    if (text == "now") {
        packed = PackNow();
        return true;
    }
    int y, mo, d, h, mi, s;
    char tail;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &y, &mo, &d, &h, &mi, &s, &tail) !=
        6)
        return false;
    if (y < 2000 || y > 2031 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        s > 59 || h < 0 || mi < 0 || s < 0)
        return false;
    packed = KvoPackEventTime(y, mo, d, h, mi, s);
    return true;
}

const struct {
    char level;
    const char* text;
} kGeneratedEvents[] = {
    {'I', "Volume 'Data' start checking"},
    {'I', "Volume 'Data' complete checking, no error found"},
    {'W', "Battery backup module: charge level below 80%"},
    {'I', "Battery backup module: fully charged"},
    {'W', "Drive in slot 3: SMART threshold exceeded (reallocated sectors)"},
    {'E', "Drive in slot 6 removed, Raid Set # 001 degraded"},
    {'I', "Drive in slot 6 inserted, rebuilding Raid Set # 001"},
    {'I', "Volume 'System' complete rebuild"},
    {'W', "Controller temperature 62 C above warning threshold"},
    {'I', "Controller temperature back to normal"},
};

}  // namespace

Simulator::Simulator(SimOptions options) : m_options(std::move(options)) {}

Simulator::~Simulator() { CloseAll(); }

int Simulator::Listen(const std::string& path, int type, std::string& error) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        error = "socket path too long: " + path;
        return -1;
    }
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    unlink(path.c_str());  // a socket left over by a killed simulator
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 64) != 0) {
        error = path + ": " + std::strerror(errno);
        close(fd);
        return -1;
    }
    m_paths.push_back(path);
    return fd;
}

bool Simulator::Start(std::string& error) {
    if (!MakeDirectories(m_options.dir)) {
        error = "cannot create " + m_options.dir + ": " + std::strerror(errno);
        return false;
    }
    if (!m_options.transcript.empty() && !m_transcript.Open(m_options.transcript)) {
        error = "cannot open transcript " + m_options.transcript;
        return false;
    }
    if (!m_options.sgDir.empty()) {
        if (!StartScsiTargets(error)) return false;
    } else {
        int number = 0;
        for (const std::string& cls : m_options.classes) {
            for (int k = 0; k < m_options.controllers; ++k) {
                m_controllers.push_back(std::make_unique<SimController>(
                    number, cls, k, m_options.bigEndian, &m_transcript));
                std::string path = m_options.dir + "/" + cls + "." + std::to_string(k);
                int fd = Listen(path, SOCK_SEQPACKET, error);
                if (fd < 0) return false;
                m_endpoints.push_back(std::make_unique<Endpoint>(Kind::Service, fd, number));
                ++number;
            }
        }
    }
    // The control socket comes last: once it exists, every service does.
    int fd = Listen(m_options.dir + "/control", SOCK_STREAM, error);
    if (fd < 0) return false;
    m_endpoints.push_back(std::make_unique<Endpoint>(Kind::ControlListener, fd));
    m_nextEvents = std::chrono::steady_clock::now() + std::chrono::seconds(m_options.eventsEvery);
    return true;
}

std::string Simulator::DeviceNodePath(int controller) const {
    return SgTree::NodePath(m_options.sgDir, controller);
}

bool Simulator::ListenOnDeviceNode(int controller, std::string& error) {
    int fd = Listen(DeviceNodePath(controller), SOCK_SEQPACKET, error);
    if (fd < 0) return false;
    m_endpoints.push_back(std::make_unique<Endpoint>(Kind::ScsiListener, fd, controller));
    return true;
}

// One controller per device node, all of the first class; the sysfs tree
// describes them (and a disk the service must pass over).
bool Simulator::StartScsiTargets(std::string& error) {
    if (!MakeDirectories(m_options.sgDir + "/dev") ||
        !SgTree::Write(m_options.sgDir, m_options.controllers, error)) {
        if (error.empty()) error = "cannot create " + m_options.sgDir + ": " + std::strerror(errno);
        return false;
    }
    for (int k = 0; k < m_options.controllers; ++k) {
        m_controllers.push_back(std::make_unique<SimController>(
            k, m_options.classes.front(), k, m_options.bigEndian, &m_transcript));
        if (!ListenOnDeviceNode(k, error)) return false;
    }
    return true;
}

// The node disappears as a hot-unplugged device's does: open connections are
// cut and opening it fails until "appear".
std::string Simulator::VanishDeviceNode(int controller) {
    bool found = false;
    for (auto& e : m_endpoints) {
        if (e->controller != controller ||
            (e->kind != Kind::ScsiListener && e->kind != Kind::ScsiTarget))
            continue;
        if (e->kind == Kind::ScsiListener) found = true;
        e->closing = true;
        shutdown(e->fd, SHUT_RDWR);
    }
    if (!found) return "error: device node of controller " + std::to_string(controller) + " is not there";
    unlink(DeviceNodePath(controller).c_str());
    return "ok";
}

void Simulator::CloseAll() {
    for (auto& e : m_endpoints) close(e->fd);
    m_endpoints.clear();
    for (const auto& path : m_paths) unlink(path.c_str());
    m_paths.clear();
}

void Simulator::Run(int stopFd) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({stopFd, POLLIN, 0});
        // A connection with a held reply takes no further request until it is out.
        for (auto& e : m_endpoints) fds.push_back({e->fd, static_cast<short>(e->holding ? 0 : POLLIN), 0});
        int timeout = -1;
        if (m_options.eventsEvery > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            m_nextEvents - std::chrono::steady_clock::now()).count();
            timeout = left < 0 ? 0 : static_cast<int>(left);
        }
        int held = NextReleaseMs();
        if (held >= 0 && (timeout < 0 || held < timeout)) timeout = held;
        int n = poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) break;
        if (fds[0].revents) break;
        if (m_options.eventsEvery > 0 && std::chrono::steady_clock::now() >= m_nextEvents) {
            GenerateEvents();
            m_nextEvents += std::chrono::seconds(m_options.eventsEvery);
        }
        // Endpoints added during this pass are served from the next one on.
        size_t count = m_endpoints.size();
        std::vector<bool> drop(count, false);
        ReleaseHeldReplies(drop);
        for (size_t i = 0; i < count && n > 0; ++i) {
            short revents = fds[i + 1].revents;
            if (!revents || drop[i]) continue;
            if (m_endpoints[i]->holding) {
                // The service gave up on the call and closed or shut the connection.
                drop[i] = (revents & (POLLHUP | POLLERR)) != 0;
                continue;
            }
            Endpoint& e = *m_endpoints[i];
            if (e.closing) continue;
            switch (e.kind) {
                case Kind::Service:
                case Kind::ScsiListener:
                case Kind::ControlListener: Accept(e); break;
                case Kind::Driver: drop[i] = !ServeDriver(e); break;
                case Kind::ScsiTarget: drop[i] = !ServeScsiTarget(e); break;
                case Kind::ControlClient: drop[i] = !ServeControl(e); break;
            }
        }
        for (size_t i = m_endpoints.size(); i-- > 0;) {
            if (!m_endpoints[i]->closing && (i >= count || !drop[i])) continue;
            close(m_endpoints[i]->fd);
            m_endpoints.erase(m_endpoints.begin() + static_cast<long>(i));
        }
    }
}

void Simulator::Accept(Endpoint& listener) {
    int fd = accept4(listener.fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;
    if (listener.kind == Kind::Service || listener.kind == Kind::ScsiListener) {
        m_controllers[static_cast<size_t>(listener.controller)]->Stats().opens++;
        m_endpoints.push_back(std::make_unique<Endpoint>(
            listener.kind == Kind::Service ? Kind::Driver : Kind::ScsiTarget, fd,
            listener.controller));
    } else {
        m_endpoints.push_back(std::make_unique<Endpoint>(Kind::ControlClient, fd));
    }
}

bool Simulator::ServeDriver(Endpoint& e) {
    uint8_t message[kMaxMessage];
    ssize_t n = recv(e.fd, message, sizeof message, MSG_TRUNC);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;  // the port closed its connection
    std::vector<uint8_t> reply;
    size_t size = static_cast<size_t>(n);
    if (size > sizeof message) {
        int32_t bad = SimController::kBadArgument;
        reply.assign(reinterpret_cast<uint8_t*>(&bad), reinterpret_cast<uint8_t*>(&bad) + 4);
    } else {
        m_controllers[static_cast<size_t>(e.controller)]->HandleMessage(message, size, e.client,
                                                                       reply);
    }
    uint32_t selector = 0;
    if (size >= sizeof selector && size <= sizeof message) std::memcpy(&selector, message, sizeof selector);
    return ReplyOrHold(e, selector, std::move(reply));
}

bool Simulator::ReplyOrHold(Endpoint& e, uint32_t selector, std::vector<uint8_t> reply) {
    if (unsigned ms = m_controllers[static_cast<size_t>(e.controller)]->TakeHold(selector)) {
        e.heldReply = std::move(reply);
        e.releaseAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        e.holding = true;
        return true;
    }
    return SendDriverReply(e, reply);
}

// A command block counts as a structure call for "hold".
bool Simulator::ServeScsiTarget(Endpoint& e) {
    uint8_t message[kMaxMessage];
    ssize_t n = recv(e.fd, message, sizeof message, MSG_TRUNC);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;
    std::vector<uint8_t> reply;
    size_t size = static_cast<size_t>(n) > sizeof message ? 0 : static_cast<size_t>(n);
    m_controllers[static_cast<size_t>(e.controller)]->HandleScsiCommand(message, size, reply);
    return ReplyOrHold(e, KVO_SELECTOR_STRUCTURE, std::move(reply));
}

// A client that does not take its answers is dropped rather than waited for.
bool Simulator::SendDriverReply(Endpoint& e, const std::vector<uint8_t>& reply) {
    return send(e.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
           static_cast<ssize_t>(reply.size());
}

void Simulator::ReleaseHeldReplies(std::vector<bool>& drop) {
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < drop.size(); ++i) {
        Endpoint& e = *m_endpoints[i];
        if (!e.holding || now < e.releaseAt) continue;
        e.holding = false;
        drop[i] = !SendDriverReply(e, e.heldReply);
        e.heldReply.clear();
    }
}

int Simulator::NextReleaseMs() const {
    int next = -1;
    const auto now = std::chrono::steady_clock::now();
    for (const auto& e : m_endpoints) {
        if (!e->holding) continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(e->releaseAt - now).count() + 1;
        int ms = left < 0 ? 0 : static_cast<int>(left);
        if (next < 0 || ms < next) next = ms;
    }
    return next;
}

bool Simulator::ServeControl(Endpoint& e) {
    char buffer[1024];
    ssize_t n = recv(e.fd, buffer, sizeof buffer, 0);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0) return false;
    e.lineBuffer.append(buffer, static_cast<size_t>(n));
    size_t nl;
    while ((nl = e.lineBuffer.find('\n')) != std::string::npos) {
        std::string line = e.lineBuffer.substr(0, nl);
        e.lineBuffer.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::string answer = Execute(line) + "\n";
        if (send(e.fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
            static_cast<ssize_t>(answer.size()))
            return false;
    }
    if (e.lineBuffer.size() > kMaxControlLine) {
        static const char tooLong[] = "error: line too long\n";
        send(e.fd, tooLong, sizeof tooLong - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        return false;
    }
    return true;
}

void Simulator::GenerateEvents() {
    for (auto& c : m_controllers) {
        const auto& g = kGeneratedEvents[(m_generated + static_cast<unsigned>(c->Number())) %
                                         (sizeof kGeneratedEvents / sizeof kGeneratedEvents[0])];
        SimEvent event;
        event.level = g.level;
        event.packedTime = PackNow();
        event.text = g.text;
        c->Events().Queue(event);
    }
    ++m_generated;
}

SimController* Simulator::ControllerArg(const std::string& text, std::string& error) {
    unsigned long n;
    if (!ParseUnsigned(text, 1000, n) || n >= m_controllers.size()) {
        error = "error: no controller '" + text + "' (0 to " +
                std::to_string(static_cast<long>(m_controllers.size()) - 1) + ")";
        return nullptr;
    }
    return m_controllers[n].get();
}

std::string Simulator::Execute(const std::string& line) {
    std::istringstream in(line);
    std::string command, arg;
    in >> command;
    if (command.empty()) return "error: empty command";
    if (command == "ping") return "ok";
    if (command == "help")
        return "ok commands: ping, event N LEVEL TIME TEXT, bad-event N, silent-events N on|off, "
               "probe N ok|fail, "
               "fail-open N K, refuse-connect N, pull N, plug N, delay N MS, hold N MS [SELECTOR], "
               "zero-returned N, overlong N, stats N, sense N KEY ASC ASCQ, short N, vanish N, "
               "appear N";
    std::string error;
    in >> arg;
    SimController* c = ControllerArg(arg, error);
    if (!c) return error;
    std::string a, b;
    if (command == "event") {
        std::string level, when;
        in >> level >> when;
        std::string text;
        std::getline(in, text);
        text.erase(0, text.find_first_not_of(' '));
        if (level.size() != 1 || (level[0] != 'I' && level[0] != 'W' && level[0] != 'E'))
            return "error: level must be I, W or E";
        SimEvent event;
        event.level = level[0];
        if (!ParseEventTime(when, event.packedTime))
            return "error: time must be now or YYYY-MM-DDTHH:MM:SS (2000 to 2031)";
        if (text.empty()) return "error: missing event text";
        event.text = text;
        c->Events().Queue(event);
        return "ok";
    }
    if (command == "bad-event") {
        SimEvent event;
        event.notAnEvent = true;
        event.text = "not an event";
        c->Events().Queue(event);
        return "ok";
    }
    if (command == "silent-events") {
        in >> a;
        if (a != "on" && a != "off") return "error: silent-events takes on or off";
        c->Events().SetSilent(a == "on");
        return "ok";
    }
    if (command == "probe") {
        in >> a;
        if (a != "ok" && a != "fail") return "error: probe takes ok or fail";
        c->SetProbeSucceeds(a == "ok");
        return "ok";
    }
    if (command == "fail-open") {
        unsigned long k;
        in >> a;
        if (!ParseUnsigned(a, 1000000, k)) return "error: fail-open takes a count";
        c->FailNextOpens(static_cast<unsigned>(k));
        return "ok";
    }
    if (command == "refuse-connect") {
        c->Web().RefuseNextConnect();
        return "ok";
    }
    if (command == "pull" || command == "plug") {
        c->SetPulled(command == "pull");
        return "ok";
    }
    if (command == "delay") {
        unsigned long ms;
        in >> a;
        if (!ParseUnsigned(a, 600000, ms)) return "error: delay takes milliseconds (0 to 600000)";
        c->Web().SetDelay(std::chrono::milliseconds(ms));
        return "ok";
    }
    if (command == "hold") {
        unsigned long ms, selector = 3;
        in >> a >> b;
        if (!ParseUnsigned(a, 600000, ms)) return "error: hold takes milliseconds (0 to 600000)";
        if (!b.empty() && (!ParseUnsigned(b, 2, selector)))
            return "error: hold's selector is 0, 1 or 2";
        c->HoldNextReply(static_cast<unsigned>(ms), selector <= 2 ? static_cast<int>(selector) : -1);
        return "ok";
    }
    if (command == "sense" || command == "short" || command == "vanish" || command == "appear") {
        if (m_options.sgDir.empty()) return "error: " + command + " needs SCSI-target mode (--sg)";
        return ExecuteScsiTargetCommand(command, *c, in);
    }
    if (command == "zero-returned") {
        c->ZeroReturnedNext();
        return "ok";
    }
    if (command == "overlong") {
        c->OverlongNextRead();
        return "ok";
    }
    if (command == "stats") {
        const ControllerStats& s = c->Stats();
        int live = 0, held = 0;
        for (const auto& e : m_endpoints) {
            bool mine = (e->kind == Kind::Driver || e->kind == Kind::ScsiTarget) &&
                        e->controller == c->Number();
            live += mine ? 1 : 0;
            held += mine && e->holding ? 1 : 0;
        }
        return "ok opens=" + std::to_string(s.opens) + " live=" + std::to_string(live) + " calls=" + std::to_string(s.calls) +
               " transfers=" + std::to_string(s.transfers) + " failed_opens=" +
               std::to_string(s.failedOpens) + " web_open=" + std::to_string(c->Web().OpenCount()) +
               " events_queued=" + std::to_string(c->Events().QueuedCount()) +
               " held=" + std::to_string(held) + " web_reads=" + std::to_string(s.webReads) +
               " empty_web_reads=" + std::to_string(s.emptyWebReads);
    }
    return "error: unknown command '" + command + "'";
}

std::string Simulator::ExecuteScsiTargetCommand(const std::string& command, SimController& c,
                                                std::istream& in) {
    if (command == "sense") {
        std::string text[3];
        unsigned long value[3];
        in >> text[0] >> text[1] >> text[2];
        for (int i = 0; i < 3; ++i)
            if (!ParseHexByte(text[i], value[i])) return "error: sense takes KEY ASC ASCQ in hex";
        if (value[0] > 0x0F) return "error: the sense key is 0 to f";
        c.SenseNext(static_cast<uint8_t>(value[0]), static_cast<uint8_t>(value[1]),
                    static_cast<uint8_t>(value[2]));
        return "ok";
    }
    if (command == "short") {
        c.ShortNextWrite();
        return "ok";
    }
    if (command == "vanish") return VanishDeviceNode(c.Number());
    for (const auto& e : m_endpoints)
        if (e->kind == Kind::ScsiListener && e->controller == c.Number() && !e->closing)
            return "error: device node of controller " + std::to_string(c.Number()) + " is there";
    std::string error;
    if (!ListenOnDeviceNode(c.Number(), error)) return "error: " + error;
    return "ok";
}
