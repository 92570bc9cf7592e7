#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ServiceProcess.h"
#include "service/ServiceMain.h"

namespace {

using namespace std::chrono;
using kvotest::ServiceProcess;
using kvotest::WaitUntil;

int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string LinkTarget(const std::string& path) {
    char buf[512];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// The kvoomxsvr process whose environment names this KVOOMX_HOME; 0 if none.
pid_t FindServiceByHome(const std::string& home) {
    const std::string want = "KVOOMX_HOME=" + home;
    DIR* proc = opendir("/proc");
    if (!proc) return 0;
    pid_t found = 0;
    while (dirent* d = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(atoi(d->d_name));
        if (pid <= 0) continue;
        std::string base = std::string("/proc/") + d->d_name;
        if (LinkTarget(base + "/exe").find("kvoomxsvr") == std::string::npos) continue;
        std::string env = kvotest::ReadFileText(base + "/environ");
        std::istringstream parts(env);
        std::string item;
        while (std::getline(parts, item, '\0'))
            if (item == want) found = pid;
    }
    closedir(proc);
    return found;
}

// Gone or a zombie waiting for its new parent to reap it.
bool ProcessEnded(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return true;
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    return close == std::string::npos || line.size() < close + 3 || line[close + 2] == 'Z';
}

TEST(ForegroundOption, NineCharactersAnyCase) {
    auto fg = [](std::vector<const char*> args) {
        std::vector<char*> argv;
        for (auto* a : args) argv.push_back(const_cast<char*>(a));
        return KvoIsForegroundMode(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_TRUE(fg({"kvoomxsvr", "-NODAEMON"}));
    EXPECT_TRUE(fg({"kvoomxsvr", "-nodaemon"}));
    EXPECT_TRUE(fg({"kvoomxsvr", "-NoDaemonAndMore", "x"}));
    EXPECT_FALSE(fg({"kvoomxsvr", "-NODAEMO"}));
    EXPECT_FALSE(fg({"kvoomxsvr", "NODAEMON"}));
    EXPECT_FALSE(fg({"kvoomxsvr", ""}));
    EXPECT_FALSE(fg({"kvoomxsvr"}));
}

// Answers that end the command at once: nothing listens and no daemon stays behind.
TEST(Service, CommandLineAnswersStartNothing) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string says;
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, "Usage: kvoomxsvr [-NODAEMON"},
        {{"--version"}, 0, "kvoomxsvr 1.0.0\n"},
        {{"-NODEAMON"}, 2, "kvoomxsvr: unknown option \"-NODEAMON\"\nUsage: "},
        {{"-NODAEMO"}, 2, "unknown option \"-NODAEMO\""},
        {{"-NODAEMON", "ignored"}, 2, "unknown option \"ignored\""},
    };
    std::vector<std::unique_ptr<ServiceProcess>> services;
    for (const auto& c : cases) {
        services.push_back(std::make_unique<ServiceProcess>());
        services.back()->Start(c.args);
    }
    for (size_t i = 0; i < cases.size(); ++i) {
        ServiceProcess& svc = *services[i];
        EXPECT_EQ(svc.WaitExit(seconds(10)), cases[i].status) << cases[i].args[0];
        EXPECT_TRUE(WaitUntil([&] { return svc.OutputClosed(); }, seconds(5)));
        EXPECT_TRUE(svc.OutputHas(cases[i].says)) << svc.Output();
        EXPECT_EQ(FindServiceByHome(svc.home()), 0) << cases[i].args[0];
    }
    // Well past the start-up pause (none here) of a service that had started:
    // still nothing listens.
    std::this_thread::sleep_for(milliseconds(500));
    for (auto& svc : services) EXPECT_FALSE(svc->PortAccepts());
}

TEST(Service, CheckConfigReportsProblemsAndStartsNothing) {
    ServiceProcess good, broken;
    for (ServiceProcess* svc : {&good, &broken}) {
        std::filesystem::create_directories(svc->home() + "/webguiroot/xsl");
        std::filesystem::create_directories(svc->home() + "/HTML");
        kvotest::WriteFileText(svc->home() + "/HTML/fnf.html", "404");
        kvotest::WriteFileText(svc->home() + "/HTML/mna.html", "501");
    }
    kvotest::WriteFileText(broken.home() + "/kvoomxsvr.conf",
                           "<root><bindaddress>localhost</bindaddress><controller1><httpport>7412"
                           "x</httpport></controller1><webhooks><webhook1><url>ftp://u:s3cret@x/</url></webhook1></webhooks></root>\n");
    kvotest::WriteFileText(broken.home() + "/kvoomxemail.conf", "<root><uPort>25");
    good.Start({"--check-config"});
    broken.Start({"--check-config"});
    EXPECT_EQ(good.WaitExit(), 0) << good.Output();
    EXPECT_EQ(broken.WaitExit(), 1) << broken.Output();
    EXPECT_TRUE(WaitUntil([&] { return good.OutputClosed() && broken.OutputClosed(); }, seconds(5)));
    EXPECT_TRUE(good.OutputHas("configuration OK")) << good.Output();
    std::string out = broken.Output();
    EXPECT_EQ(CountOf(out, "problem: "), 4) << out;
    EXPECT_EQ(CountOf(out, "webhooks/webhook1/url cannot be used: the URL must begin with http"), 1) << out;
    EXPECT_EQ(CountOf(out, "s3cret"), 0) << out;
    EXPECT_EQ(CountOf(out, "bindaddress \"localhost\" is not an IPv4 address"), 1) << out;
    EXPECT_EQ(CountOf(out, "controller1/httpport \"7412x\" is not a hexadecimal port"), 1) << out;
    EXPECT_EQ(CountOf(out, "kvoomxemail.conf: not readable XML"), 1) << out;
    // Nothing was written: no settings file appeared, the broken ones are as they were.
    EXPECT_FALSE(std::filesystem::exists(good.home() + "/kvoomxemail.conf"));
    EXPECT_EQ(kvotest::ReadFileText(broken.home() + "/kvoomxemail.conf"), "<root><uPort>25");
}

TEST(Service, ForegroundLifecycleAndSignals) {
    ServiceProcess svc;
    svc.UseTimings("");  // the standard start-up pause
    svc.Start({"-NODAEMON"});
    // Nothing listens during the first two seconds.
    std::this_thread::sleep_for(milliseconds(800));
    if (svc.SinceStart() < milliseconds(1900)) {
        EXPECT_FALSE(svc.PortAccepts());
    }
    ASSERT_TRUE(WaitUntil([&] { return svc.PortAccepts(); }, seconds(15))) << svc.Output();
    EXPECT_GE(svc.SinceStart(), seconds(2));
    std::string line = "Configuration server runs on port " + std::to_string(svc.port()) + "\n";
    EXPECT_TRUE(WaitUntil([&] { return svc.OutputHas(line); }, seconds(5))) << svc.Output();

    // SIGPIPE is caught and reported; the service keeps serving.
    kill(svc.pid(), SIGPIPE);
    bool reported = WaitUntil([&] { return svc.OutputHas("Handle SIGPIPE\n"); }, seconds(5));
    if (!reported) {
        int status = svc.WaitExit(milliseconds(500));
        FAIL() << "no SIGPIPE line; exit " << status << "\n" << svc.Output();
    }
    EXPECT_TRUE(svc.Alive());
    EXPECT_TRUE(svc.PortAccepts());

    // A connected client makes the shutdown wait; a second SIGTERM meanwhile is ignored.
    // The two PortAccepts connections above took IDs too and are gone at once
    // (their slots free immediately): wait for this client's, the third ID
    // line, so it is being registered before the shutdown.
    int client = kvotest::ConnectLoopback(svc.port());
    ASSERT_GE(client, 0);
    ASSERT_TRUE(WaitUntil([&] { return CountOf(svc.Output(), "m_instanceIDs ") >= 3; }, seconds(5)));
    kill(svc.pid(), SIGTERM);
    ASSERT_TRUE(WaitUntil([&] { return svc.OutputHas("Server is shutting down..."); }, seconds(5)));
    kill(svc.pid(), SIGTERM);
    EXPECT_EQ(svc.WaitExit(), 0) << svc.Output();
    std::string out = svc.Output();
    EXPECT_EQ(CountOf(out, "Server is shutting down..."), 1) << out;
    size_t down = out.find("Information: Server is shutting down...\n");
    size_t wait = out.find("wait ");
    ASSERT_NE(wait, std::string::npos) << out;
    EXPECT_LT(down, wait);
    EXPECT_EQ(kvotest::ReadAll(client, seconds(2)), "");  // shut down by the service
    close(client);
    EXPECT_FALSE(svc.PortAccepts());
}

TEST(Service, OptionVariantsRunInTheForeground) {
    ServiceProcess lower, longer;
    lower.Start({"-nodaemon"});
    longer.Start({"--verbose", "-NoDaemonPlease"});
    for (ServiceProcess* svc : {&lower, &longer}) {
        ASSERT_TRUE(WaitUntil([&] { return svc->OutputHas("Configuration server runs on port"); }, seconds(15)))
            << svc->Output();
        EXPECT_TRUE(WaitUntil([&] { return svc->PortAccepts(); }, seconds(5)));
        EXPECT_TRUE(svc->Alive());
    }
    kill(lower.pid(), SIGINT);
    kill(longer.pid(), SIGTERM);
    auto start = steady_clock::now();
    EXPECT_EQ(lower.WaitExit(), 0);
    EXPECT_EQ(longer.WaitExit(), 0);
    EXPECT_LT(steady_clock::now() - start, seconds(5));
}

TEST(Service, DaemonModeReturnsAtOnceAndRunsDetached) {
    ServiceProcess none, cut;
    none.Start({});
    cut.Start({"--verbose"});
    for (ServiceProcess* svc : {&none, &cut}) {
        EXPECT_EQ(svc->WaitExit(seconds(5)), 0);
        EXPECT_LT(svc->SinceStart(), milliseconds(1900));
    }
    for (ServiceProcess* svc : {&none, &cut}) {
        pid_t daemon = 0;
        // The grandchild, once it has detached from the caller's descriptors.
        ASSERT_TRUE(WaitUntil([&] {
            daemon = FindServiceByHome(svc->home());
            return daemon != 0 && LinkTarget("/proc/" + std::to_string(daemon) + "/fd/2") == "/dev/null";
        }, seconds(5)));
        EXPECT_NE(daemon, svc->pid());
        std::string base = "/proc/" + std::to_string(daemon);
        EXPECT_EQ(LinkTarget(base + "/fd/0"), "/dev/null");
        EXPECT_EQ(LinkTarget(base + "/fd/1"), "/dev/null");
        EXPECT_EQ(LinkTarget(base + "/fd/2"), "/dev/null");
        EXPECT_EQ(LinkTarget(base + "/cwd"), "/");
        EXPECT_NE(getsid(daemon), getsid(0));  // a session of its own
        EXPECT_TRUE(WaitUntil([&] { return svc->PortAccepts(); }, seconds(15)));
        // Nothing reached the terminal it was started from.
        EXPECT_TRUE(WaitUntil([&] { return svc->OutputClosed(); }, seconds(5)));
        EXPECT_EQ(svc->Output(), "");
        kill(daemon, SIGTERM);
        EXPECT_TRUE(WaitUntil([&] { return ProcessEnded(daemon); }, seconds(10)));
        EXPECT_FALSE(svc->PortAccepts());
    }
}

}  // namespace
