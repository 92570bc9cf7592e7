#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ConfigTestSupport.h"
#include "TestSupport.h"
#include "config/ConfigFileSupport.h"

namespace {

using kvotest::ReadFileText;
using kvotest::WriteFileText;

using kvotest::Store;

std::string GetText(ConfigFileSupport& config, const char* path, const char* key) {
    char buffer[256];
    if (!config.GetConfigValue(path, key, buffer, sizeof buffer)) return "<missing>";
    return buffer;
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::string> EntriesStartingWith(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> hits;
    for (const auto& name : kvotest::DirectoryEntries(dir)) {
        if (name.compare(0, prefix.size(), prefix) == 0) hits.push_back(name);
    }
    return hits;
}

const char kOneValue[] = "<root>\n    <a>1</a>\n</root>\n";

TEST(ConfigFileFaults, FileReplacedByDirectoryKeepsValueUntilSavingWorksAgain) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    Store s(file);
    ASSERT_EQ(s.config.SetConfigValue("/root", "a", "1"), 1);
    ASSERT_EQ(ReadFileText(file), kOneValue);

    ASSERT_EQ(rename(file.c_str(), dir.file("moved").c_str()), 0);
    ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
    EXPECT_EQ(s.config.SetConfigValue("/root", "b", "2"), 1) << "the value is in memory";
    EXPECT_EQ(GetText(s.config, "/root", "b"), "2");
    EXPECT_EQ(s.log.Count(LOG_ERROR, "not saved"), 1);
    EXPECT_EQ(s.config.SyncFile(), 0) << "still dirty, and the retry fails too";
    EXPECT_TRUE(IsDirectory(file));
    EXPECT_EQ(kvotest::DirectoryEntries(dir.path()).size(), 2u) << "no temporary file left behind";

    ASSERT_EQ(rmdir(file.c_str()), 0);
    EXPECT_EQ(s.config.SyncFile(), 1);
    EXPECT_EQ(ReadFileText(file), "<root>\n    <a>1</a>\n    <b>2</b>\n</root>\n");
    EXPECT_EQ(s.log.Count(LOG_INFO, "saved again"), 1);
    EXPECT_EQ(s.config.SyncFile(), 1) << "nothing left to save";
}

// What the child writes before it ends (bounded: the child ends by itself).
std::string ReadPipe(int fd) {
    std::string text;
    char buffer[256];
    pollfd p{fd, POLLIN, 0};
    while (poll(&p, 1, 20000) > 0) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// The read-only directory scenarios; each returns what went wrong, empty when fine.

// File and directory read-only: nothing can be written, the old file stays whole.
std::string ReadOnlyDirectoryScenario(const std::string& dirPath) {
    std::string file = dirPath + "/c.conf";
    Store s(file);
    if (s.config.SetConfigValue("/root", "a", "1") != 1) return "first write refused";
    if (chmod(file.c_str(), 0444) != 0 || chmod(dirPath.c_str(), 0555) != 0) return "chmod failed";
    int result = s.config.SetConfigValue("/root", "b", "2");
    std::string oldText = ReadFileText(file);
    int errors = s.log.Count(LOG_ERROR, "not saved");
    if (chmod(dirPath.c_str(), 0755) != 0 || chmod(file.c_str(), 0644) != 0) return "chmod back failed";
    if (result != 1) return "write refused while the directory was read-only";
    if (errors != 1) return "failed save not logged";
    if (oldText != kOneValue) return "old file changed: " + oldText;
    if (s.config.SetConfigValue("/root", "c", "3") != 1) return "write refused after repair";
    std::string text = ReadFileText(file);
    if (text != "<root>\n    <a>1</a>\n    <b>2</b>\n    <c>3</c>\n</root>\n") return "after repair: " + text;
    return "";
}

// A writable file in a read-only directory (prepared by root for the service):
// no temporary file can be made, so the file is rewritten in place, warned once.
std::string WritableFileInReadOnlyDirectoryScenario(const std::string& dirPath) {
    std::string file = dirPath + "/c.conf";
    Store s(file);
    if (s.config.SetConfigValue("/root", "a", "1") != 1) return "first write refused";
    if (chmod(file.c_str(), 0640) != 0 || chmod(dirPath.c_str(), 0555) != 0) return "chmod failed";
    int first = s.config.SetConfigValue("/root", "b", "2");
    int second = s.config.SetConfigValue("/root", "b", "");
    std::string text = ReadFileText(file);
    struct stat st {};
    stat(file.c_str(), &st);
    size_t entries = kvotest::DirectoryEntries(dirPath).size();
    if (chmod(dirPath.c_str(), 0755) != 0) return "chmod back failed";
    if (first != 1 || second != 1) return "write refused";
    if (text != "<root>\n    <a>1</a>\n    <b />\n</root>\n") return "file not rewritten: " + text;
    if ((st.st_mode & 07777) != 0640) return "mode changed";
    if (entries != 1) return "another file appeared";
    if (s.log.Count(LOG_ERROR, "not saved") != 0) return "save reported as failed";
    if (s.log.Count(LOG_WARNING, "in place") != 1) return "in-place save not warned exactly once";
    return "";
}

// Runs `scenario` on a fresh directory as a user the permissions bind (root
// writes into read-only directories, so then as nobody in a child process).
std::string AsUnprivilegedUser(std::string (*scenario)(const std::string&)) {
    kvotest::TempDir dir;
    if (geteuid() != 0) return scenario(dir.path());
    if (chown(dir.path().c_str(), 65534, 65534) != 0) return "chown failed";
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "pipe failed";
    pid_t child = fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        close(pipeFds[0]);
        std::string error;
        if (setgid(65534) != 0 || setuid(65534) != 0) error = "cannot become nobody";
        else error = scenario(dir.path());
        if (error.empty()) error = "ok";
        if (write(pipeFds[1], error.data(), error.size()) < 0) { /* parent sees nothing */ }
        _exit(0);
    }
    close(pipeFds[1]);
    std::string answer = ReadPipe(pipeFds[0]);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return answer == "ok" ? "" : answer;
}

TEST(ConfigFileFaults, ReadOnlyDirectoryAndFileLeaveOldFileIntact) {
    EXPECT_EQ(AsUnprivilegedUser(ReadOnlyDirectoryScenario), "");
}

TEST(ConfigFileFaults, WritableFileInReadOnlyDirectoryIsSavedInPlace) {
    EXPECT_EQ(AsUnprivilegedUser(WritableFileInReadOnlyDirectoryScenario), "");
}

// A write that runs out of space half-way must leave the old file whole.
// The file size limit stands in for a full disk and also binds root.
TEST(ConfigFileFaults, WriteFailingMidFileLeavesOldFileIntact) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    Store s(file);
    ASSERT_EQ(s.config.SetConfigValue("/root", "a", "1"), 1);

    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string big(1000, 'z');
    int result = s.config.SetConfigValue("/root", "big", big.c_str());
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_EQ(result, 1);
    EXPECT_EQ(ReadFileText(file), kOneValue);
    EXPECT_EQ(s.log.Count(LOG_ERROR, "cannot write"), 1);
    EXPECT_EQ(kvotest::DirectoryEntries(dir.path()).size(), 1u) << "temporary file removed";

    EXPECT_EQ(s.config.SyncFile(), 1);
    EXPECT_EQ(ReadFileText(file), "<root>\n    <a>1</a>\n    <big>" + big + "</big>\n</root>\n");
}

TEST(ConfigFileFaults, PendingChangeIsSavedWhenTheStoreIsDestroyed) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    {
        Store s(file);
        ASSERT_EQ(mkdir(file.c_str(), 0755), 0);
        EXPECT_EQ(s.config.SetConfigValue("/root", "a", "1"), 1);
        EXPECT_TRUE(IsDirectory(file));
        ASSERT_EQ(rmdir(file.c_str()), 0);
    }
    EXPECT_EQ(ReadFileText(file), kOneValue);
}

TEST(ConfigFileFaults, UnparseableFileIsKeptAsideBeforeFirstWrite) {
    kvotest::TempDir dir;
    std::string file = dir.file("kvoomxsvr.conf");
    const std::string broken = "<root><controller0><httpport>1cf4</httpport></controller0>";
    WriteFileText(file, broken);
    Store s(file);

    uint16_t port = 1;
    EXPECT_EQ(s.config.GetConfigValue_U16("/root/controller0", "httpport", port), 0)
        << "an unparseable file counts as empty";
    EXPECT_EQ(port, 0);
    EXPECT_EQ(s.log.Count(LOG_WARNING, "cannot be read"), 1);
    EXPECT_EQ(ReadFileText(file), broken) << "reading never changes the file";

    EXPECT_EQ(s.config.SetConfigValue_U16("/root/controller0", "httpport", 8000), 1);
    auto aside = EntriesStartingWith(dir.path(), "kvoomxsvr.conf.unreadable-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(ReadFileText(dir.file(aside[0])), broken);
    EXPECT_EQ(s.log.Count(LOG_WARNING, "kept as /"), 1);
    EXPECT_EQ(ReadFileText(file),
              "<root>\n    <controller0>\n        <httpport>1f40</httpport>\n    </controller0>\n</root>\n");

    // Only the file read at start-up is kept aside, once.
    s.config.SetConfigValue_U16("/root/controller0", "cliport", 8002);
    EXPECT_EQ(EntriesStartingWith(dir.path(), "kvoomxsvr.conf.unreadable-").size(), 1u);
}

TEST(ConfigFileFaults, TextWithoutElementsIsKeptAsideButBlankFileIsNot) {
    kvotest::TempDir dir;
    {
        std::string file = dir.file("text.conf");
        WriteFileText(file, "configport=7402\n");
        Store s(file);
        s.config.SetConfigValue("/root", "a", "1");
        auto aside = EntriesStartingWith(dir.path(), "text.conf.unreadable-");
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(ReadFileText(dir.file(aside[0])), "configport=7402\n");
    }
    {
        std::string file = dir.file("blank.conf");
        WriteFileText(file, " \n\n");
        Store s(file);
        s.config.SetConfigValue("/root", "a", "1");
        EXPECT_TRUE(EntriesStartingWith(dir.path(), "blank.conf.unreadable-").empty());
        EXPECT_EQ(s.log.Size(), 0u);
        EXPECT_EQ(ReadFileText(file), kOneValue);
    }
}

// Many threads at once, starting before the file was ever read: every value
// written must be readable at once and be in the file afterwards.
TEST(ConfigFileConcurrency, ParallelWritersAndReadersLoseNothing) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    WriteFileText(file, "<root><configport>2328</configport></root>");
    const int kThreads = 8, kKeys = 25;
    std::atomic<int> mismatches{0};
    std::atomic<bool> go{false};
    {
        Store s(file);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                while (!go) std::this_thread::yield();
                std::string path = "/root/thread" + std::to_string(t);
                uint16_t port = 0;
                if (!s.config.GetConfigValue_U16("/root", "configport", port) || port != 9000) ++mismatches;
                for (int k = 0; k < kKeys; ++k) {
                    std::string key = "key" + std::to_string(k);
                    uint32_t value = static_cast<uint32_t>(t * 1000 + k);
                    if (s.config.SetConfigValue_U32(path.c_str(), key.c_str(), value) != 1) ++mismatches;
                    uint32_t back = 0;
                    if (!s.config.GetConfigValue_U32(path.c_str(), key.c_str(), back) || back != value) {
                        ++mismatches;
                    }
                    char names[512];
                    if (!s.config.GetConfigValue("/root", nullptr, names, sizeof names)) ++mismatches;
                }
            });
        }
        go = true;
        for (auto& thread : threads) thread.join();
        EXPECT_EQ(s.log.Size(), 0u);
    }
    EXPECT_EQ(mismatches.load(), 0);

    ConfigFileSupport reread;
    reread.Initialize(file.c_str());
    ASSERT_EQ(reread.LoadFile(), 1) << "the file must parse";
    uint16_t port = 0;
    EXPECT_EQ(reread.GetConfigValue_U16("/root", "configport", port), 1);
    EXPECT_EQ(port, 9000);
    for (int t = 0; t < kThreads; ++t) {
        std::string path = "/root/thread" + std::to_string(t);
        for (int k = 0; k < kKeys; ++k) {
            uint32_t value = 0;
            EXPECT_EQ(reread.GetConfigValue_U32(path.c_str(), ("key" + std::to_string(k)).c_str(), value), 1);
            EXPECT_EQ(value, static_cast<uint32_t>(t * 1000 + k));
        }
    }
    EXPECT_EQ(kvotest::DirectoryEntries(dir.path()).size(), 1u) << "no temporary files left";
}

}  // namespace
