// The sender must leave the host's SNMP set-up alone: no configuration or MIB files
// read, no persistent state written. A fresh process sends one trap while inotify
// watches the directories the library would use (pointed at scratch folders).
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/wait.h>

#include "TestSupport.h"
#include "TrapListener.h"

extern char** environ;

namespace {

TEST(SnmpLibrarySetup, SendingReadsNoConfigurationAndWritesNoState) {
    kvotest::TempDir dir;
    const std::vector<std::string> watched = {dir.file("conf"), dir.file("persist"),
                                              dir.file("mibs"), dir.file("home"),
                                              dir.file("home/.snmp")};
    for (const auto& d : watched) std::filesystem::create_directories(d);
    kvotest::WriteFileText(dir.file("conf/snmp.conf"), "defCommunity other\n");
    kvotest::WriteFileText(dir.file("conf/kvo_trap_once.conf"), "defCommunity other\n");
    kvotest::WriteFileText(dir.file("home/.snmp/snmp.conf"), "defCommunity other\n");
    kvotest::WriteFileText(dir.file("mibs/KVO-TEST-MIB.txt"), "KVO-TEST-MIB DEFINITIONS ::= BEGIN END\n");

    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    for (const auto& d : watched)
        ASSERT_GE(inotify_add_watch(fd, d.c_str(), IN_ALL_EVENTS & ~IN_CLOSE_NOWRITE), 0) << d;

    kvotest::TrapListener listener;
    std::string port = std::to_string(listener.port());
    std::vector<std::string> args = {KVO_TRAP_ONCE, "127.0.0.1", port, "setup check"};
    std::vector<std::string> env = {"SNMPCONFPATH=" + dir.file("conf"),
                                    "SNMP_PERSISTENT_DIR=" + dir.file("persist"),
                                    "MIBDIRS=" + dir.file("mibs"), "MIBS=ALL",
                                    "HOME=" + dir.file("home")};
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()), 0);
    int status = -1;
    ASSERT_TRUE(kvotest::WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);

    auto got = listener.Receive();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->Text(), "setup check");
    EXPECT_EQ(got->community, "public");  // the defCommunity lines were not read

    alignas(inotify_event) char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    std::string touched;
    for (ssize_t off = 0; n > 0 && off < n;) {
        auto* ev = reinterpret_cast<inotify_event*>(buf + off);
        touched += std::string(ev->len ? ev->name : "(dir)") + " mask " + std::to_string(ev->mask) + "; ";
        off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
    close(fd);
    EXPECT_EQ(touched, "");
}

}  // namespace
