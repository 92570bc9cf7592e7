// The event ledger on a real SQLite file: what survives a reopen, a damaged
// file set aside, the bound kept with delivered events pruned first, and a
// writer killed with SIGKILL in the middle of a burst.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"
#include "ledger/EventLedger.h"

namespace {

LedgerEvent MakeEvent(const std::string& text, std::vector<std::string> targets, int64_t received = 0) {
    LedgerEvent e;
    e.received = received ? received : EventLedger::NowMs();
    e.controller = 1;
    e.level = 'W';
    e.eventTime = "2009-03-07 14:05:09";
    e.text = text;
    e.message = "At 2009-03-07 14:05:09 Controller 2:\r\n " + text;
    e.traps = {"127.0.0.1:162", "127.0.0.1:1162"};
    for (auto& t : targets) {
        LedgerDelivery d;
        d.kind = "mail";
        d.target = t;
        d.nextAttempt = e.received;
        e.deliveries.push_back(d);
    }
    return e;
}

std::string JournalMode(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr);
    std::string mode = sqlite3_step(s) == SQLITE_ROW ? reinterpret_cast<const char*>(sqlite3_column_text(s, 0)) : "";
    sqlite3_finalize(s);
    sqlite3_close(db);
    return mode;
}

TEST(EventLedger, EventsAndDeliveriesSurviveAReopenInAPrivateWalFile) {
    kvotest::TempDir dir;
    const std::string path = dir.file("events.db");
    int64_t id = 0;
    {
        EventLedger ledger;
        ASSERT_TRUE(ledger.Open(path));
        LedgerEvent e = MakeEvent("Fan 2 failure", {"a@example.com", "b@example.com"});
        id = ledger.Record(e);
        ASSERT_GT(id, 0);
        auto due = ledger.Due(EventLedger::NowMs());
        ASSERT_EQ(2u, due.size());
        due[0].status = DeliveryStatus::Sent;
        due[0].attempts = 1;
        due[1].attempts = 1;
        due[1].nextAttempt = EventLedger::NowMs() + 60000;
        due[1].lastReason = "421 try later";
        ledger.Update(due);
    }
    struct stat st {};
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    EXPECT_EQ("wal", JournalMode(path));

    EventLedger again;
    ASSERT_TRUE(again.Open(path));
    auto e = again.Event(id);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ("Fan 2 failure", e->text);
    EXPECT_EQ("At 2009-03-07 14:05:09 Controller 2:\r\n Fan 2 failure", e->message);
    EXPECT_EQ((std::vector<std::string>{"127.0.0.1:162", "127.0.0.1:1162"}), e->traps);
    ASSERT_EQ(2u, e->deliveries.size());
    EXPECT_EQ(DeliveryStatus::Sent, e->deliveries[0].status);
    EXPECT_EQ(DeliveryStatus::Pending, e->deliveries[1].status);
    EXPECT_EQ("421 try later", e->deliveries[1].lastReason);
    EXPECT_TRUE(again.Due(EventLedger::NowMs()).empty()) << "the retry is not due yet";
    // A restart makes what is pending due at once; only the unsent one.
    again.AllPendingDueAt(EventLedger::NowMs());
    auto due = again.Due(EventLedger::NowMs());
    ASSERT_EQ(1u, due.size());
    EXPECT_EQ("b@example.com", due[0].target);

    // Send again: only the one not sent; once all are sent, all of them.
    EXPECT_EQ(1, again.Resend(id, EventLedger::NowMs()));
    due[0].status = DeliveryStatus::Sent;
    again.Update(due);
    EXPECT_EQ(2, again.Resend(id, EventLedger::NowMs()));
    EXPECT_EQ(0, again.Resend(id + 100, EventLedger::NowMs()));
}

TEST(EventLedger, ADamagedFileIsSetAsideAndANewLedgerStarted) {
    kvotest::TempDir dir;
    const std::string path = dir.file("events.db");
    std::string junk = "SQLite format 3";
    junk.push_back('\0');
    junk += std::string(4096, 'x');
    kvotest::WriteFileText(path, junk);

    testing::internal::CaptureStdout();
    EventLedger ledger;
    bool onDisk = ledger.Open(path);
    std::string console = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(onDisk) << console;
    EXPECT_FALSE(ledger.InMemory());
    ASSERT_FALSE(ledger.SetAsidePath().empty());
    EXPECT_EQ(junk, kvotest::ReadFileText(ledger.SetAsidePath())) << "kept as it was";
    EXPECT_NE(std::string::npos, console.find("set aside as " + ledger.SetAsidePath())) << console;
    LedgerEvent e = MakeEvent("after the damage", {});
    EXPECT_GT(ledger.Record(e), 0);
    EXPECT_EQ(1u, ledger.EventCount());
}

TEST(EventLedger, AnUnusableFolderFallsBackToMemoryAndStillRecords) {
    kvotest::TempDir dir;
    testing::internal::CaptureStdout();
    EventLedger ledger;
    bool onDisk = ledger.Open(dir.file("missing-folder/events.db"));
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(onDisk);
    EXPECT_TRUE(ledger.InMemory());
    EXPECT_NE(std::string::npos, console.find("kept in memory")) << console;
    LedgerEvent e = MakeEvent("in memory", {"a@example.com"});
    EXPECT_GT(ledger.Record(e), 0);
    EXPECT_EQ(1u, ledger.Due(EventLedger::NowMs()).size());
}

TEST(EventLedger, TheBoundDropsTooOldThenDeliveredBeforePending) {
    kvotest::TempDir dir;
    LedgerLimits limits;
    limits.maxEvents = 3;
    limits.maxAge = std::chrono::hours(1);
    limits.pruneEvery = 1;
    EventLedger ledger(limits);
    ASSERT_TRUE(ledger.Open(dir.file("events.db")));
    int64_t now = EventLedger::NowMs();
    LedgerEvent old = MakeEvent("too old", {"x@example.com"}, now - 2 * 3600 * 1000);
    ledger.Record(old);
    LedgerEvent pending = MakeEvent("pending", {"p@example.com"});
    ledger.Record(pending);
    std::vector<int64_t> done;
    for (int i = 0; i < 3; ++i) {
        LedgerEvent e = MakeEvent("delivered " + std::to_string(i), {});
        done.push_back(ledger.Record(e));
    }
    // Four recent events for three places: the oldest delivered one goes, the
    // older pending one stays; the one past the age went whatever its state.
    EXPECT_EQ(3u, ledger.EventCount());
    EXPECT_FALSE(ledger.Event(old.id).has_value());
    EXPECT_TRUE(ledger.Event(pending.id).has_value());
    EXPECT_FALSE(ledger.Event(done[0]).has_value());
    EXPECT_TRUE(ledger.Event(done[2]).has_value());
    auto due = ledger.Due(now + 1000);
    ASSERT_EQ(1u, due.size()) << "deliveries of pruned events go with them";
    EXPECT_EQ("p@example.com", due[0].target);
}

// A child records events as fast as it can and reports each id on a pipe; it
// is killed with SIGKILL mid-burst. Every reported event must be there whole.
TEST(EventLedger, KilledMidBurstLosesNoCommittedEventAndHalfWritesNone) {
    kvotest::TempDir dir;
    const std::string path = dir.file("events.db");
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        EventLedger ledger;
        if (!ledger.Open(path)) _exit(2);
        for (int i = 0;; ++i) {
            LedgerEvent e = MakeEvent("burst " + std::to_string(i), {"a@example.com", "b@example.com", "c@x.org"});
            int64_t id = ledger.Record(e);
            if (write(fds[1], &id, sizeof id) != sizeof id) _exit(3);
        }
    }
    close(fds[1]);
    int64_t last = 0, id = 0;
    int reported = 0;
    while (reported < 200 && read(fds[0], &id, sizeof id) == sizeof id) {
        last = id;
        ++reported;
    }
    kill(child, SIGKILL);
    while (read(fds[0], &id, sizeof id) == sizeof id) last = id;
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_EQ(200, reported);

    EventLedger ledger;
    ASSERT_TRUE(ledger.Open(path));
    EXPECT_TRUE(ledger.SetAsidePath().empty()) << "the file after the kill is sound";
    size_t count = ledger.EventCount();
    EXPECT_GE(count, static_cast<size_t>(last)) << "every committed event is there";
    for (const auto& e : ledger.Recent(0, count)) {
        ASSERT_EQ(3u, e.deliveries.size()) << "event " << e.id << " is whole";
        EXPECT_EQ("burst " + std::to_string(e.id - 1), e.text);
    }
}

}  // namespace
