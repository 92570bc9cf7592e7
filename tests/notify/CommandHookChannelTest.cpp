// Command hooks as real programs: the event's fields arrive in the environment
// (and only they), the exit status and first lines are kept, a hook that hangs
// is killed with everything it started, and the directory listing picks hooks.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <string>

#include "TestSupport.h"
#include "notify/CommandHookChannel.h"

namespace {

using namespace std::chrono_literals;

ChannelEvent SampleEvent() {
    ChannelEvent event;
    event.id = "ev-7";
    event.host = "raidhost-1";
    event.controller = 3;
    event.level = 'E';
    event.time = 1765188245;
    event.text = "Drive 4 failed; $(touch /tmp/never) `id` \"quoted\"";
    return event;
}

std::string Script(const kvotest::TempDir& dir, const std::string& name, const std::string& body) {
    std::string path = dir.file(name);
    kvotest::WriteFileText(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
    return path;
}

TEST(CommandHookChannel, HookGetsTheEventInItsEnvironmentAndNothingElse) {
    kvotest::TempDir dir;
    std::string hook = Script(dir, "10-record", "env | sort > \"$0.env\"\necho first line\necho second line\n"
                                                "echo third >&2\necho 4\necho 5\necho 6\n");
    setenv("KVO_SECRET_OF_THE_SERVICE", "hidden", 1);
    ChannelOutcome outcome = CommandHookChannel(hook).Deliver(SampleEvent());
    unsetenv("KVO_SECRET_OF_THE_SERVICE");

    EXPECT_EQ(ChannelOutcome::SENT, outcome.kind) << outcome.reason;
    EXPECT_EQ(0, outcome.exitStatus);
    EXPECT_EQ("first line\nsecond line\nthird\n4\n5", outcome.output);
    std::string env = kvotest::ReadFileText(hook + ".env");
    for (const char* line : {"KVOOMX_EVENT_ID=ev-7\n", "KVOOMX_HOST=raidhost-1\n", "KVOOMX_CONTROLLER=3\n",
                             "KVOOMX_LEVEL=error\n", "KVOOMX_LEVEL_CODE=E\n",
                             "KVOOMX_TIME=2025-12-08T10:04:05Z\n",
                             "KVOOMX_TEXT=Drive 4 failed; $(touch /tmp/never) `id` \"quoted\"\n"})
        EXPECT_NE(std::string::npos, env.find(line)) << line << " in\n" << env;
    EXPECT_EQ(std::string::npos, env.find("KVO_SECRET_OF_THE_SERVICE")) << env;
}

TEST(CommandHookChannel, ExitStatusDecidesTheOutcome) {
    kvotest::TempDir dir;
    ChannelOutcome failed = CommandHookChannel(Script(dir, "fail", "echo disk full\nexit 3\n")).Deliver(SampleEvent());
    EXPECT_EQ(ChannelOutcome::FAILED, failed.kind);
    EXPECT_EQ(3, failed.exitStatus);
    EXPECT_EQ("the hook failed: exit status 3", failed.reason);
    EXPECT_EQ("disk full", failed.output);

    ChannelOutcome later = CommandHookChannel(Script(dir, "later", "exit 75\n")).Deliver(SampleEvent());
    EXPECT_EQ(ChannelOutcome::RETRY, later.kind);
    EXPECT_EQ(75, later.exitStatus);

    // A file that is no program: the exec fails in the child.
    std::string text = dir.file("not-a-program");
    kvotest::WriteFileText(text, "\x7f\x45garbage");
    chmod(text.c_str(), 0755);
    ChannelOutcome broken = CommandHookChannel(text).Deliver(SampleEvent());
    EXPECT_EQ(ChannelOutcome::FAILED, broken.kind);
    EXPECT_EQ(127, broken.exitStatus);
}

TEST(CommandHookChannel, HangingHookIsKilledWithWhatItStartedAtTheBound) {
    kvotest::TempDir dir;
    std::string hook = Script(dir, "hang", "sleep 300 &\necho $! > \"$0.child\"\necho waiting\nsleep 300\n");
    auto start = std::chrono::steady_clock::now();
    ChannelOutcome outcome = CommandHookChannel(hook, 500ms).Deliver(SampleEvent());
    auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(ChannelOutcome::FAILED, outcome.kind);
    EXPECT_EQ("no end within 500 ms: the hook's process group was killed", outcome.reason);
    EXPECT_EQ(-1, outcome.exitStatus);
    EXPECT_EQ("waiting", outcome.output);
    EXPECT_LT(spent, 10s);  // generous: the bound is 0.5 s
    // The background sleep went with it.
    pid_t child = std::atoi(kvotest::ReadFileText(hook + ".child").c_str());
    ASSERT_GT(child, 0);
    EXPECT_TRUE(kvotest::WaitUntil([&] { return kill(child, 0) != 0; }, 10s)) << "pid " << child;

    // One that closes its output first is killed at the bound too, not awaited.
    std::string quiet = Script(dir, "quiet", "exec >/dev/null 2>&1\nsleep 300\n");
    auto done = std::make_shared<std::promise<ChannelOutcome>>();
    std::thread([quiet, done] { done->set_value(CommandHookChannel(quiet, 500ms).Deliver(SampleEvent())); }).detach();
    auto ended = done->get_future();
    ASSERT_EQ(std::future_status::ready, ended.wait_for(30s)) << "the hook's end was awaited past its bound";
    EXPECT_EQ("no end within 500 ms: the hook's process group was killed", ended.get().reason);
}

TEST(CommandHookChannel, ListingTakesExecutablesByNameAndSkipsTheRest) {
    kvotest::TempDir dir;
    Script(dir, "20-page", "exit 0\n");
    Script(dir, "10-mail", "exit 0\n");
    Script(dir, ".hidden", "exit 0\n");
    Script(dir, "10-mail~", "exit 0\n");
    Script(dir, "30-old.dpkg-old", "exit 0\n");
    kvotest::WriteFileText(dir.file("README"), "not executable\n");
    std::filesystem::create_directories(dir.file("subdir"));
    EXPECT_EQ((std::vector<std::string>{dir.file("10-mail"), dir.file("20-page")}),
              CommandHookChannel::ListHooks(dir.path()));
    EXPECT_TRUE(CommandHookChannel::ListHooks(dir.file("missing")).empty());
}

}  // namespace
