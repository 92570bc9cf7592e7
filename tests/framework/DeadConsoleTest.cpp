// The service with standard output a pipe whose reader has gone: console lines
// are dropped, the SIGPIPE handler does not raise itself again, the
// configuration page still answers and SIGTERM still ends the process.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>
#include <fstream>
#include <sstream>
#include <string>

#include "TestSupport.h"

extern char** environ;

namespace {

using namespace std::chrono;
using kvotest::WaitUntil;

// utime + stime of a process, in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

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

TEST(DeadConsole, LinesAreDroppedAndTheServiceKeepsServing) {
    kvotest::TempDir home;
    int port = kvotest::FreeTcpPort();
    std::filesystem::create_directories(home.path() + "/driver");
    std::filesystem::create_directories(home.path() + "/webguiroot");
    std::filesystem::create_directories(home.path() + "/HTML");
    kvotest::WriteFileText(home.file("HTML/fnf.html"), "<html>not here</html>");
    char conf[128];
    snprintf(conf, sizeof conf, "<root>\n    <configport>%x</configport>\n</root>\n", port);
    kvotest::WriteFileText(home.file("kvoomxsvr.conf"), conf);

    std::string exe = std::string(KVO_BIN_DIR) + "/kvoomxsvr";
    std::string homeVar = "KVOOMX_HOME=" + home.path();
    std::string driverVar = "KVOOMX_DRIVER_DIR=" + home.path() + "/driver";
    std::string timingsVar = "KVOOMX_TEST_TIMINGS=startpause=0";
    std::vector<char*> envp{homeVar.data(), driverVar.data(), timingsVar.data(), nullptr};
    std::string option = "-NODAEMON";
    std::vector<char*> argv{exe.data(), option.data(), nullptr};
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t pid = fork();
    if (pid == 0) {
        chdir(home.path().c_str());
        dup2(out[1], 1);
        execve(exe.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(out[1]);

    // Read until the start-up line, then the reader goes away.
    std::string seen;
    std::string want = "Configuration server runs on port " + std::to_string(port) + "\n";
    ASSERT_TRUE(WaitUntil([&] {
        char buf[256];
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 50) == 1) {
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n > 0) seen.append(buf, static_cast<size_t>(n));
        }
        return seen.find(want) != std::string::npos;
    }, seconds(15))) << seen;
    close(out[0]);

    // A client makes a console line ("m_instanceIDs"), a signal the handler's line.
    // The start-up line comes before the servers listen: wait for the first answer.
    std::string answer;
    ASSERT_TRUE(WaitUntil([&] {
        answer = Get(port, "/xsl/missing.xsl");
        return !answer.empty();
    }, seconds(15)));
    kill(pid, SIGPIPE);
    kill(pid, SIGPIPE);
    answer = Get(port, "/xsl/missing.xsl");
    EXPECT_EQ(answer.rfind("HTTP/1.0 404", 0), 0u) << answer;
    EXPECT_NE(answer.find("not here"), std::string::npos) << answer;

    // No thread spins on the dead console.
    long before = CpuTicks(pid);
    std::this_thread::sleep_for(seconds(1));
    long spent = CpuTicks(pid) - before;
    EXPECT_LT(spent, sysconf(_SC_CLK_TCK) / 2) << "ticks in 1 s: " << spent;
    EXPECT_EQ(Get(port, "/xsl/missing.xsl").rfind("HTTP/1.0 404", 0), 0u);

    kill(pid, SIGTERM);
    int status = -1;
    bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, seconds(20));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(ended) << "still running 20 s after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
