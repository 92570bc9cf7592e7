// Test peer: Debian's snmptrapd in the foreground on a free 127.0.0.1 UDP port, with
// its own configuration file and persistent directory in a scratch folder (nothing of
// the host's SNMP set-up is read or written). Each received notification is printed
// as one record "TRAP|<security>|<varbinds separated by tabs>|END" that tests parse.
// The daemon runs under `timeout`, so it ends by itself even if a test crashes.
// Without MIBs every identifier prints numerically; LoadMibs names them instead.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "TestSupport.h"

extern char** environ;

namespace kvotest {

struct TrapdRecord {
    std::string security;               // e.g. "TRAP2, SNMP v2c, community public"
    std::vector<std::string> varbinds;  // e.g. ".1.3.6.1.2.1.1.1.0 = STRING: \"text\""
};

class SnmpTrapdProcess {
public:
    SnmpTrapdProcess() {
        std::filesystem::create_directories(dir_.file("persist"));
        WriteFileText(dir_.file("snmptrapd.conf"),
                      "disableAuthorization yes\n"
                      "[snmp] persistentDir " + dir_.file("persist") + "\n");
    }
    ~SnmpTrapdProcess() { Stop(); }
    SnmpTrapdProcess(const SnmpTrapdProcess&) = delete;
    SnmpTrapdProcess& operator=(const SnmpTrapdProcess&) = delete;

    // Starts the daemon and waits until it listens; retries a few ports in case
    // another process takes the free one first.
    bool Start() {
        for (int attempt = 0; attempt < 3; ++attempt) {
            port_ = static_cast<unsigned short>(FreeUdpPort());
            if (Spawn() && WaitUntil([&] { return Output().find("NET-SNMP version") != std::string::npos; },
                                     std::chrono::seconds(10)))
                return true;
            Stop();
        }
        return false;
    }

    // Before Start: load `modules` (":"-separated) from the directories `mibPath`
    // and print identifiers by name.
    void LoadMibs(const std::string& mibPath, const std::string& modules) {
        mibPath_ = mibPath;
        mibModules_ = modules;
    }

    unsigned short port() const { return port_; }
    std::string Output() const { return ReadFileText(dir_.file("trapd.out")); }
    const TempDir& dir() const { return dir_; }

    std::vector<TrapdRecord> Records() const {
        std::vector<TrapdRecord> records;
        std::string out = Output();
        for (size_t at = out.find("TRAP|"); at != std::string::npos; at = out.find("TRAP|", at)) {
            size_t end = out.find("|END\n", at);
            if (end == std::string::npos) break;
            std::string body = out.substr(at + 5, end - at - 5);
            TrapdRecord r;
            size_t bar = body.find('|');
            r.security = body.substr(0, bar);
            std::string rest = bar == std::string::npos ? "" : body.substr(bar + 1);
            size_t start = 0;
            for (size_t tab; (tab = rest.find('\t', start)) != std::string::npos; start = tab + 1)
                r.varbinds.push_back(rest.substr(start, tab - start));
            r.varbinds.push_back(rest.substr(start));
            records.push_back(r);
            at = end;
        }
        return records;
    }

    bool WaitForRecords(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(10)) const {
        return WaitUntil([&] { return Records().size() >= count; }, limit);
    }

    void Stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        bool ended = WaitUntil([&] { return waitpid(pid_, nullptr, WNOHANG) == pid_; },
                               std::chrono::seconds(5));
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    bool Spawn() {
        std::string listen = "udp:127.0.0.1:" + std::to_string(port_);
        std::string conf = dir_.file("snmptrapd.conf");
        std::vector<std::string> args = {"/usr/bin/timeout", "60", "/usr/sbin/snmptrapd",
                                         "-f", "-Lo", "-C", "-c", conf, "-n", "-m", mibModules_, "-M",
                                         mibPath_.empty() ? dir_.path() : mibPath_};
        if (mibPath_.empty()) args.push_back("-On");
        for (const char* a : {"-F", "TRAP|%P|%V\t%v|END\n"}) args.push_back(a);
        args.push_back(listen);
        std::vector<std::string> env = {"SNMP_PERSISTENT_DIR=" + dir_.file("persist"),
                                        "SNMPCONFPATH=" + dir_.path(), "HOME=" + dir_.path(),
                                        "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        std::string out = dir_.file("trapd.out");
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = -1;
        int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return false;
        pid_ = pid;
        return true;
    }

    TempDir dir_;
    unsigned short port_ = 0;
    pid_t pid_ = -1;
    std::string mibPath_;
    std::string mibModules_;
};

}  // namespace kvotest
