// The service in daemon mode, as an init script would start it: working
// directory "/", no console. In a private mount namespace whose /dev/log is this
// test's socket, its console lines arrive as syslog records (facility daemon,
// identifier kvoomxsvr, priority by level); a missing file gets the installed
// 404 page, and no page file appears in "/".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "SimulatorProcess.h"
#include "TestSupport.h"

namespace {

using namespace std::chrono;
using kvotest::WaitUntil;

struct SyslogRecord {
    int priority = -1;
    pid_t pid = 0;
    std::string text;
};

// A datagram socket standing in for /dev/log; parses what syslog(3) sends.
class SyslogListener {
public:
    explicit SyslogListener(const std::string& path) : m_path(path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~SyslogListener() {
        close(m_fd);
        unlink(m_path.c_str());
    }
    bool ok() const { return m_bound; }

    // Waits (bounded) for a record whose text contains `what`.
    bool WaitFor(const std::string& what, SyslogRecord& found, milliseconds limit = seconds(15)) {
        return WaitUntil([&] {
            Drain();
            for (const auto& r : m_records)
                if (r.text.find(what) != std::string::npos) {
                    found = r;
                    return true;
                }
            return false;
        }, limit);
    }
    const std::vector<SyslogRecord>& Records() {
        Drain();
        return m_records;
    }
    std::string All() {
        std::string all;
        for (const auto& r : m_records) all += "<" + std::to_string(r.priority) + "> " + r.text + "\n";
        return all;
    }

private:
    void Drain() {
        static const std::regex form(R"(^<(\d+)>.*?kvoomxsvr\[(\d+)\]: (.*)$)");
        char buf[2048];
        pollfd p{m_fd, POLLIN, 0};
        while (poll(&p, 1, 20) == 1) {
            ssize_t n = recv(m_fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            std::string raw(buf, static_cast<size_t>(n));
            std::smatch m;
            SyslogRecord r;
            if (std::regex_match(raw, m, form)) {
                r.priority = std::stoi(m[1]);
                r.pid = static_cast<pid_t>(std::stol(m[2]));
                r.text = m[3];
            } else {
                r.text = raw;
            }
            m_records.push_back(r);
        }
    }

    std::string m_path;
    int m_fd = -1;
    bool m_bound = false;
    std::vector<SyslogRecord> m_records;
};

std::string Get(int port, const std::string& path) {
    int fd = kvotest::ConnectLoopback(port);
    if (fd < 0) return "";
    std::string request = "GET " + path + " HTTP/1.0\r\n\r\n";
    if (write(fd, request.data(), request.size()) < 0) {
    }
    std::string answer = kvotest::ReadAll(fd, seconds(10));
    close(fd);
    return answer;
}

bool ProcessEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!stat || !std::getline(stat, line)) return true;
    size_t close = line.rfind(')');
    return close == std::string::npos || line.size() < close + 3 || line[close + 2] == 'Z';
}

// Names created in "/" while the watch is open.
class RootWatch {
public:
    RootWatch() {
        m_fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_fd >= 0) inotify_add_watch(m_fd, "/", IN_CREATE | IN_MOVED_TO);
    }
    ~RootWatch() { close(m_fd); }
    std::vector<std::string> Created() {
        alignas(inotify_event) char buf[8192];
        ssize_t n;
        while ((n = read(m_fd, buf, sizeof buf)) > 0) {
            for (char* at = buf; at < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(at);
                if (e->len) m_names.emplace_back(e->name);
                at += sizeof(inotify_event) + e->len;
            }
        }
        return m_names;
    }

private:
    int m_fd = -1;
    std::vector<std::string> m_names;
};

// Whether this process may make a private mount namespace (root, and not
// forbidden by a container).
bool CanUnshareMounts() {
    pid_t probe = fork();
    if (probe == 0) _exit(unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    int status = -1;
    return probe > 0 && waitpid(probe, &status, 0) == probe && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

TEST(DaemonMode, SyslogErrorPagesAndNoFilesInRoot) {
    if (geteuid() != 0 || !CanUnshareMounts()) GTEST_SKIP() << "needs a private mount namespace";
    kvotest::SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();

    kvotest::TempDir home;
    int port = kvotest::FreeTcpPort();
    int relayPort = kvotest::FreeTcpPort();
    // A failed disk: logged at error priority by the poller's first sweep.
    ASSERT_EQ("ok", sim.Command("event 0 E now Disk 2 failed"));
    char conf[256];
    snprintf(conf, sizeof conf,
             "<root>\n    <configport>%x</configport>\n    <controller0>\n        <httpport>%x</httpport>\n"
             "        <cliport>%x</cliport>\n    </controller0>\n</root>\n",
             port, relayPort, kvotest::FreeTcpPort());
    kvotest::WriteFileText(home.file("kvoomxsvr.conf"), conf);
    std::filesystem::create_directories(home.path() + "/webguiroot/xsl");
    std::filesystem::create_directories(home.path() + "/HTML");
    kvotest::WriteFileText(home.file("HTML/fnf.html"), "<html>installed 404</html>");
    std::filesystem::create_directories(home.path() + "/olddev");

    SyslogListener syslog(home.file("log.sock"));
    ASSERT_TRUE(syslog.ok());
    RootWatch rootWatch;

    // Everything the child needs is built before fork.
    std::string exe = std::string(KVO_BIN_DIR) + "/kvoomxsvr";
    std::string homeVar = "KVOOMX_HOME=" + home.path();
    std::string driverVar = "KVOOMX_DRIVER_DIR=" + sim.dir();
    std::string timingsVar = "KVOOMX_TEST_TIMINGS=startpause=0";
    std::vector<char*> envp{homeVar.data(), driverVar.data(), timingsVar.data(), nullptr};
    std::vector<char*> argv{exe.data(), nullptr};
    std::string oldDev = home.path() + "/olddev";
    std::string socketPath = home.file("log.sock");
    const char* nodes[] = {"null", "zero", "random", "urandom"};
    std::vector<std::string> sources, targets;
    for (const char* n : nodes) {
        sources.push_back(oldDev + "/" + n);
        targets.push_back(std::string("/dev/") + n);
    }
    pid_t child = fork();
    if (child == 0) {
        // A /dev of its own: the real nodes it needs, and /dev/log = the listener.
        if (unshare(CLONE_NEWNS) != 0) _exit(90);
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(91);
        if (mount("/dev", oldDev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) _exit(92);
        if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) _exit(93);
        for (size_t i = 0; i < sources.size(); ++i) {
            close(open(targets[i].c_str(), O_CREAT | O_WRONLY, 0666));
            if (mount(sources[i].c_str(), targets[i].c_str(), nullptr, MS_BIND, nullptr) != 0) _exit(94);
        }
        close(open("/dev/log", O_CREAT | O_WRONLY, 0666));
        if (mount(socketPath.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) _exit(95);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    // Start-up: information lines; the error event: an error line.
    SyslogRecord startup, errorEvent, count;
    ASSERT_TRUE(syslog.WaitFor("Configuration server runs on port " + std::to_string(port), startup))
        << syslog.All();
    pid_t daemon = startup.pid;
    EXPECT_EQ(startup.priority, 3 * 8 + 6);  // daemon.info
    EXPECT_EQ(startup.text, "Configuration server runs on port " + std::to_string(port));
    ASSERT_TRUE(syslog.WaitFor("Find 1 controller(s)", count)) << syslog.All();
    ASSERT_TRUE(syslog.WaitFor("Get event: Disk 2 failed", errorEvent, seconds(30))) << syslog.All();
    EXPECT_EQ(errorEvent.priority, 3 * 8 + 3);  // daemon.err
    EXPECT_EQ(errorEvent.pid, daemon);
    EXPECT_EQ(errorEvent.text, "Get event: Disk 2 failed");

    char cwd[64] = {0};
    readlink(("/proc/" + std::to_string(daemon) + "/cwd").c_str(), cwd, sizeof cwd - 1);
    EXPECT_STREQ(cwd, "/");

    // The installed error page, though "/" has no HTML/; a page built and sent.
    ASSERT_TRUE(WaitUntil([&] { return kvotest::ConnectLoopback(port) >= 0; }, seconds(10)));
    std::string missing = Get(port, "/xsl/missing.xsl");
    EXPECT_EQ(missing.rfind("HTTP/1.0 404 Resource not found", 0), 0u) << missing;
    EXPECT_NE(missing.find("<html>installed 404</html>"), std::string::npos) << missing;
    std::string page = Get(port, "/controllers.xml");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK", 0), 0u) << page;
    EXPECT_NE(page.find("controllers.xsl"), std::string::npos) << page;
    for (const auto& name : rootWatch.Created())
        EXPECT_EQ(name.find("controllers"), std::string::npos) << "written into /: " << name;

    // The handler's line is deferred out of the signal handler, then sent.
    kill(daemon, SIGPIPE);
    SyslogRecord pipeLine;
    EXPECT_TRUE(syslog.WaitFor("Handle SIGPIPE", pipeLine, seconds(5))) << syslog.All();
    EXPECT_EQ(pipeLine.priority, 3 * 8 + 6);

    kill(daemon, SIGTERM);
    SyslogRecord down;
    EXPECT_TRUE(syslog.WaitFor("Server is shutting down...", down)) << syslog.All();
    // syslog shows the priority: the level word is not repeated in the text.
    EXPECT_EQ(down.text, "Server is shutting down...");
    EXPECT_TRUE(WaitUntil([&] { return ProcessEnded(daemon); }, seconds(20)));
    // A clean stop logs no errors; the one error record is the failed disk's.
    for (const auto& r : syslog.Records()) {
        if (r.priority == 3 * 8 + 3) {
            EXPECT_EQ(r.text, "Get event: Disk 2 failed");
        }
    }
}

}  // namespace
