// Runs build/bin/kvoomxsvr as a child process with its own KVOOMX_HOME (holding
// a configuration file with a free configuration port) and an empty driver
// directory, and collects what it writes to standard output.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace kvotest {

class ServiceProcess {
public:
    ServiceProcess() : port_(FreeTcpPort()) {
        std::filesystem::create_directories(home_.path() + "/webguiroot");
        std::filesystem::create_directories(home_.path() + "/driver");
        char text[128];
        snprintf(text, sizeof text, "<root>\n    <configport>%x</configport>\n</root>\n", port_);
        WriteFileText(home_.file("kvoomxsvr.conf"), text);
    }

    ~ServiceProcess() {
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (reader_.joinable()) reader_.join();
        if (outFd_ >= 0) close(outFd_);
    }

    // Points the service at another driver directory (a simulator's) instead of
    // the empty one. Call before Start.
    void UseDriverDir(const std::string& dir) { driverDir_ = dir; }
    // A library to preload into the service (the sg stand-in); empty = none.
    void Preload(const std::string& library) { preload_ = library; }
    // The service's shortened timings (KVOOMX_TEST_TIMINGS); by default it
    // starts without the start-up pause. Empty: the standard timings.
    void UseTimings(const std::string& timings) { timings_ = timings; }

    // Starts the program with the given arguments (argv[1..]); again after it
    // has exited, with the same home (its output is kept and added to).
    void Start(const std::vector<std::string>& args) {
        if (reader_.joinable()) reader_.join();
        if (outFd_ >= 0) close(outFd_);
        outFd_ = -1;
        exited_ = false;
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            if (strncmp(*e, "KVOOMX_", 7) != 0) env.push_back(*e);
        }
        env.push_back("KVOOMX_HOME=" + home_.path());
        env.push_back("KVOOMX_DRIVER_DIR=" + (driverDir_.empty() ? home_.path() + "/driver" : driverDir_));
        if (!preload_.empty()) env.push_back("LD_PRELOAD=" + preload_);
        if (!timings_.empty()) env.push_back("KVOOMX_TEST_TIMINGS=" + timings_);
        std::string exe = std::string(KVO_BIN_DIR) + "/kvoomxsvr";
        std::vector<std::string> argStrings{exe};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<char*> argv, envp;
        for (auto& a : argStrings) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        started_ = std::chrono::steady_clock::now();
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], 1);
            dup2(fds[1], 2);
            execve(exe.c_str(), argv.data(), envp.data());
            _exit(127);
        }
        close(fds[1]);
        outFd_ = fds[0];
        reader_ = std::thread([this] {
            char buf[1024];
            ssize_t n;
            while ((n = read(outFd_, buf, sizeof buf)) > 0) {
                std::lock_guard<std::mutex> g(lock_);
                out_.append(buf, static_cast<size_t>(n));
            }
            std::lock_guard<std::mutex> g(lock_);
            outClosed_ = true;
        });
    }

    // Waits (bounded) for the child to end; its exit status, or -1.
    int WaitExit(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        int status = 0;
        bool done = WaitUntil([&] {
            pid_t r = waitpid(pid_, &status, WNOHANG);
            return r == pid_;
        }, limit);
        if (!done) return -1;
        exited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }

    bool Alive() { return !exited_ && waitpid(pid_, nullptr, WNOHANG) == 0; }
    std::string Output() {
        std::lock_guard<std::mutex> g(lock_);
        return out_;
    }
    bool OutputClosed() {
        std::lock_guard<std::mutex> g(lock_);
        return outClosed_;
    }
    bool OutputHas(const std::string& text) { return Output().find(text) != std::string::npos; }
    bool PortAccepts() {
        int fd = ConnectLoopback(port_);
        if (fd < 0) return false;
        close(fd);
        return true;
    }
    std::chrono::steady_clock::duration SinceStart() const { return std::chrono::steady_clock::now() - started_; }

    pid_t pid() const { return pid_; }
    int port() const { return port_; }
    const std::string& home() const { return home_.path(); }

private:
    TempDir home_;
    int port_;
    std::string driverDir_;
    std::string preload_;
    std::string timings_ = "startpause=0";
    pid_t pid_ = -1;
    bool exited_ = false;
    int outFd_ = -1;
    std::thread reader_;
    std::mutex lock_;
    std::string out_;
    bool outClosed_ = false;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace kvotest
