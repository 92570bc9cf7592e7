// SimulatorProcess: test fixture that runs build/bin/kvoctlsim as the
// controllers. Starts it on a fresh driver directory with N controllers and a
// transcript, waits (bounded) until its sockets answer, sends control
// commands, reads the transcript, and stops the simulator in its destructor.
// Header-only; use it from one test thread, which must outlive it (the
// simulator is bound to die with the thread that started it).
//
//   kvotest::SimulatorProcess sim(2);          // or SimulatorProcess::Options
//   ASSERT_TRUE(sim.ok()) << sim.Log();
//   sim.ExportDriverDir();                     // KVOOMX_DRIVER_DIR for the service side
//   EXPECT_EQ("ok", sim.Command("event 0 W now Fan failure"));
//   for (const auto& e : sim.Transcript()) ...
//
// With KVO_TEST_BRIDGE=sg in the environment (or Options::scsiTarget) the
// simulator runs in SCSI-target mode: device nodes and a sysfs tree under
// dir()/sg instead of driver sockets; the service side reaches them through
// the SCSI generic bridge and the sg stand-in library.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace kvotest {

// One pass-through transfer as the simulator's firmware saw it.
// True when the test run asks for the SCSI generic bridge (KVO_TEST_BRIDGE=sg).
inline bool ScsiTargetBridgeRequested() {
    const char* bridge = std::getenv("KVO_TEST_BRIDGE");
    return bridge && std::string(bridge) == "sg";
}

struct TranscriptEntry {
    int controller = -1;
    std::string op;              // "write" or "read"
    unsigned buffer = 0;
    unsigned connection = 0;     // the connection byte
    uint32_t asked = 0;          // length in the command block
    uint32_t moved = 0;          // length reported back to the service
    uint32_t requestBytes = 0;   // driver input length (28 + data for writes)
    uint32_t replyBytes = 0;     // driver output length asked for
    std::string cdb;             // first 10 command block bytes, lower-case hex
    std::string dataLengthBytes; // the request header's dataLength bytes as sent, hex
    std::string data;            // decoded write data
};

class SimulatorProcess {
public:
    struct Options {
        int controllers = 2;
        std::string className;          // empty = the simulator's default; "A,B" = two classes
        bool transcript = true;
        int eventsEvery = 0;
        bool bigEndian = false;
        bool scsiTarget = ScsiTargetBridgeRequested();
        std::vector<std::string> extraArgs;
    };

    explicit SimulatorProcess(int controllers = 2) : SimulatorProcess(WithControllers(controllers)) {}
    explicit SimulatorProcess(const Options& options) : m_options(options) {
        MakeDirectory();
        m_ok = Start();
    }
    ~SimulatorProcess() {
        Stop();
        std::error_code ec;
        if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
    }
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    bool ok() const { return m_ok; }
    const std::string& dir() const { return m_dir; }
    std::string transcriptPath() const { return m_dir + "/transcript.jsonl"; }
    std::string logPath() const { return m_dir + "/kvoctlsim.log"; }
    std::string Log() const { return ReadFileText(logPath()); }
    pid_t pid() const { return m_pid; }

    void ExportDriverDir() const { setenv("KVOOMX_DRIVER_DIR", m_dir.c_str(), 1); }

    // SCSI-target mode: the sysfs tree and the directory of the device nodes.
    bool scsiTarget() const { return m_options.scsiTarget; }
    std::string sysfsRoot() const { return m_dir + "/sg/sys"; }
    std::string deviceDirectory() const { return m_dir + "/sg/dev"; }
    // The settings that point a service at this simulator's bridge (empty in
    // driver mode), for its kvoomxsvr.conf under root.
    std::string BridgeSettingsXml() const {
        if (!scsiTarget()) return "";
        return "    <driverbridge>sg</driverbridge>\n    <scsigeneric>\n        <sysfs>" + sysfsRoot() +
               "</sysfs>\n        <devdir>" + deviceDirectory() + "</devdir>\n    </scsigeneric>\n";
    }
    // The sg stand-in a service process must preload (empty in driver mode).
    std::string PreloadLibrary() const {
        return scsiTarget() ? std::string(KVO_BIN_DIR) + "/../lib/libkvosgstub.so" : "";
    }

    // (Re)starts the simulator on the same directory; true once it answers "ping".
    bool Start() {
        if (m_pid > 0) return true;
        std::vector<std::string> args = {std::string(KVO_BIN_DIR) + "/kvoctlsim", "--dir", m_dir,
                                         "--controllers", std::to_string(m_options.controllers)};
        if (!m_options.className.empty()) args.insert(args.end(), {"--class", m_options.className});
        if (m_options.transcript) args.insert(args.end(), {"--transcript", transcriptPath()});
        if (m_options.eventsEvery > 0)
            args.insert(args.end(), {"--events-every", std::to_string(m_options.eventsEvery)});
        if (m_options.bigEndian) args.push_back("--big-endian");
        if (m_options.scsiTarget) args.insert(args.end(), {"--sg", m_dir + "/sg"});
        args.insert(args.end(), m_options.extraArgs.begin(), m_options.extraArgs.end());

        std::string log = logPath();
        pid_t parent = getpid();
        pid_t pid = fork();
        if (pid < 0) return false;
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the test
            if (getppid() != parent) _exit(1);
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        m_pid = pid;
        bool ready = false;
        WaitUntil([&] { return Exited() || (ready = Command("ping") == "ok"); },
                  std::chrono::seconds(10));
        if (!ready) Stop();  // bad options or a missing binary: see Log()
        return ready;
    }

    // SIGTERM and a bounded wait (then SIGKILL); the simulator removes its sockets.
    void Stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        if (!WaitUntil([&] { return Exited(); }, std::chrono::seconds(5))) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

    // SIGKILL: the simulator dies as if pulled mid-transfer; its socket files stay.
    void Kill() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    bool Running() { return m_pid > 0 && !Exited(); }

    // Sends one control line; returns the answer line ("ok ..." or "error: ..."),
    // or "" when the simulator does not answer within 5 s.
    std::string Command(const std::string& line) const {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return "";
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = m_dir + "/control";
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        std::string answer;
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            std::string text = line + "\n";
            if (send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size()))
                answer = ReadLine(fd);
        }
        close(fd);
        return answer;
    }

    std::vector<TranscriptEntry> Transcript() const {
        std::vector<TranscriptEntry> entries;
        std::ifstream in(transcriptPath());
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line.back() != '}') continue;  // a line still being written
            entries.push_back(ParseEntry(line));
        }
        return entries;
    }

    // Transcript entries that match `pred`.
    std::vector<TranscriptEntry> Transcript(
        const std::function<bool(const TranscriptEntry&)>& pred) const {
        std::vector<TranscriptEntry> all = Transcript(), out;
        for (auto& e : all)
            if (pred(e)) out.push_back(std::move(e));
        return out;
    }

    static std::string DecodeBase64(const std::string& text) {
        auto value = [](char c) -> int {
            if (c >= 'A' && c <= 'Z') return c - 'A';
            if (c >= 'a' && c <= 'z') return c - 'a' + 26;
            if (c >= '0' && c <= '9') return c - '0' + 52;
            if (c == '+') return 62;
            if (c == '/') return 63;
            return -1;
        };
        std::string out;
        uint32_t acc = 0;
        int bits = 0;
        for (char c : text) {
            int v = value(c);
            if (v < 0) continue;
            acc = (acc << 6) | static_cast<uint32_t>(v);
            bits += 6;
            if (bits >= 8) {
                bits -= 8;
                out += static_cast<char>((acc >> bits) & 0xFF);
            }
        }
        return out;
    }

private:
    static Options WithControllers(int n) {
        Options o;
        o.controllers = n;
        return o;
    }

    void MakeDirectory() {
        // Unix socket paths are short (108 bytes); fall back to /tmp for deep build trees.
        std::string base = KVO_TEST_TMP;
        if (base.size() > 60) base = "/tmp";
        std::filesystem::create_directories(base);
        std::string tmpl = base + "/sim-XXXXXX";
        char* p = mkdtemp(tmpl.data());
        m_dir = p ? p : "";
    }

    bool Exited() {
        if (m_pid <= 0) return true;
        int status;
        pid_t r = waitpid(m_pid, &status, WNOHANG);
        if (r == m_pid) {
            m_pid = -1;
            return true;
        }
        return false;
    }

    static std::string ReadLine(int fd) {
        std::string line;
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        char c;
        while (std::chrono::steady_clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            ssize_t n = recv(fd, &c, 1, 0);
            if (n <= 0) break;
            if (c == '\n') return line;
            line += c;
        }
        return line;
    }

    static std::string Field(const std::string& line, const char* key) {
        std::string k = std::string("\"") + key + "\":";
        size_t at = line.find(k);
        if (at == std::string::npos) return "";
        at += k.size();
        if (at < line.size() && line[at] == '"') {
            size_t end = line.find('"', at + 1);
            return line.substr(at + 1, end - at - 1);
        }
        size_t end = line.find_first_of(",}", at);
        return line.substr(at, end - at);
    }

    static uint32_t Number(const std::string& line, const char* key) {
        return static_cast<uint32_t>(std::strtoul(Field(line, key).c_str(), nullptr, 10));
    }

    static TranscriptEntry ParseEntry(const std::string& line) {
        TranscriptEntry e;
        e.controller = static_cast<int>(Number(line, "controller"));
        e.op = Field(line, "op");
        e.buffer = Number(line, "buffer");
        e.connection = Number(line, "connection");
        e.asked = Number(line, "asked");
        e.moved = Number(line, "moved");
        e.requestBytes = Number(line, "request_bytes");
        e.replyBytes = Number(line, "reply_bytes");
        e.cdb = Field(line, "cdb");
        e.dataLengthBytes = Field(line, "data_length_bytes");
        e.data = DecodeBase64(Field(line, "data_b64"));
        return e;
    }

    Options m_options;
    std::string m_dir;
    pid_t m_pid = -1;
    bool m_ok = false;
};

}  // namespace kvotest
