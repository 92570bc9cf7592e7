// Tells how many threads of this process are blocked in a given system call,
// so a test can wait for "the other thread is now inside accept()" instead of
// sleeping.
#pragma once

#include <sys/syscall.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "TestSupport.h"

namespace kvotest {

inline int ThreadsInSyscall(long number) {
    int n = 0;
    std::error_code ec;
    for (auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
        std::string call = ReadFileText(task.path().string() + "/syscall");
        if (call.rfind(std::to_string(number) + " ", 0) == 0) ++n;
    }
    return n;
}

inline int ThreadsInAccept() { return ThreadsInSyscall(SYS_accept4); }

}  // namespace kvotest

namespace kvotest {

// Connections waiting in the accept queue of the socket listening on `port`
// (IPv4), or -1 when nothing listens there.
inline int ListenQueueLength(int port) {
    std::string table = ReadFileText("/proc/net/tcp");
    char want[8];
    snprintf(want, sizeof want, ":%04X", port);
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream ss(line);
        std::string sl, local, remote, st, queues;
        ss >> sl >> local >> remote >> st >> queues;
        if (st != "0A" || local.size() < 5 || local.substr(local.size() - 5) != want) continue;
        size_t colon = queues.find(':');
        return colon == std::string::npos ? -1 : static_cast<int>(std::stoul(queues.substr(colon + 1), nullptr, 16));
    }
    return -1;
}

}  // namespace kvotest
