// A test peer program (prometheus, alertmanager, a hook receiver) run as a
// child under `timeout`, so it ends by itself even if a test crashes; its
// output goes to a log file. Plus a minimal HTTP/1.0 client for loopback peers.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace kvotest {

class PeerProcess {
public:
    PeerProcess() = default;
    ~PeerProcess() { Stop(); }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // Starts `args` (args[0] an absolute path) with output into `log`, bounded
    // to `seconds`; false when it could not be started.
    bool Start(const std::vector<std::string>& args, const std::string& log, int seconds = 120) {
        std::vector<std::string> all = {"/usr/bin/timeout", std::to_string(seconds)};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        log_ = log;
        if (rc != 0) pid_ = -1;
        return rc == 0;
    }

    std::string Log() const { return ReadFileText(log_); }

    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        if (!WaitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; }, std::chrono::seconds(10))) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    std::string log_;
};

struct HttpAnswer {
    int status = 0;  // 0: no answer
    std::string head;
    std::string body;
};

// One request to 127.0.0.1:port over HTTP/1.0; `extra` is zero or more header lines.
inline HttpAnswer HttpRequest(int port, const std::string& method, const std::string& path,
                              const std::string& body = "", const std::string& extra = "") {
    HttpAnswer answer;
    int fd = ConnectLoopback(port);
    if (fd < 0) return answer;
    std::string request = method + " " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\n" + extra;
    if (!body.empty() || method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "\r\n" + body;
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string all = ReadAll(fd);
    close(fd);
    size_t end = all.find("\r\n\r\n");
    if (all.compare(0, 5, "HTTP/") != 0 || all.size() < 12 || end == std::string::npos) return answer;
    answer.status = std::atoi(all.c_str() + 9);
    answer.head = all.substr(0, end);
    answer.body = all.substr(end + 4);
    return answer;
}

inline HttpAnswer HttpGet(int port, const std::string& path) { return HttpRequest(port, "GET", path); }

// The value of one sample line of a Prometheus exposition (`series` with its
// labels), or -1 when it is absent.
inline double SampleValue(const std::string& exposition, const std::string& series) {
    size_t at = exposition.find("\n" + series + " ");
    if (at == std::string::npos) return -1;
    return std::atof(exposition.c_str() + at + series.size() + 2);
}

// Standard output and error of a shell command, and its exit status (as system()).
inline std::string RunCommand(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return "popen failed";
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    status = pclose(pipe);
    return out;
}

}  // namespace kvotest
