// The web relay between a browser socket and the simulated controller's
// firmware: what reaches the firmware (the simulator's transcript), in which
// blocks and order, and how the read polling behaves when idle.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "RelayServerFixture.h"
#include "controller/AgentResponser.h"
#include "controller/kvoIO.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"

namespace {

using namespace relaytest;
using kvotest::SimulatorProcess;

class AgentResponserTest : public RelayServerFixture {
protected:
    void SetUp() override {
        RelayServerFixture::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(0, server->Run());
    }
};

TEST_F(AgentResponserTest, ConnectMessageFirstThenRequestInOrderedBlocksOfAtMost2016) {
    int fd;
    unsigned conn = OpenBrowser(fd);
    ASSERT_NE(0u, conn);
    // A 5000-byte request: a POST whose body fills it up exactly.
    auto headWith = [](size_t length) {
        return "POST /volumes.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
               std::to_string(length) + "\r\n\r\n";
    };
    std::string head = headWith(5000 - headWith(1000).size());  // same digit count
    std::string body(5000 - head.size(), 'x');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('A' + i % 23);
    std::string request = head + body;
    ASSERT_EQ(5000u, request.size());
    ASSERT_TRUE(SendAll(fd, request));

    HttpAnswer answer = ReadHttpAnswer(fd);
    ASSERT_TRUE(answer.complete);
    EXPECT_EQ(200, answer.status());

    auto writes = WebEntries(*sim, conn, "write");
    ASSERT_GE(writes.size(), 4u);  // connect + at least three blocks
    EXPECT_EQ(kConnectBytes, writes.front().data);
    EXPECT_EQ(16u, writes.front().asked);
    EXPECT_EQ(16u, writes.front().moved);
    auto reads = WebEntries(*sim, conn, "read");
    ASSERT_FALSE(reads.empty());
    size_t blocks = 0;
    for (size_t i = 1; i < writes.size(); ++i) {
        EXPECT_LE(writes[i].asked, 2016u);
        EXPECT_EQ(writes[i].asked, writes[i].moved);
        EXPECT_EQ(writes[i].asked, writes[i].data.size());
        ++blocks;
    }
    EXPECT_GE(blocks, 3u);
    EXPECT_EQ(request, BrowserBytes(writes));
}

TEST_F(AgentResponserTest, AnswerOf3000BytesIsReadAndSentAsSeveralBlocks) {
    int fd;
    unsigned conn = OpenBrowser(fd);
    ASSERT_NE(0u, conn);
    ASSERT_TRUE(SendAll(fd, Get("/bench/3000")));
    HttpAnswer answer = ReadHttpAnswer(fd);
    ASSERT_TRUE(answer.complete);
    ASSERT_EQ(3000u, answer.body.size());
    EXPECT_EQ(std::string("abcdefghij"), answer.body.substr(0, 10));
    EXPECT_EQ('a' + 2999 % 26, answer.body.back());

    size_t dataReads = 0, moved = 0;
    for (const auto& e : WebEntries(*sim, conn, "read")) {
        EXPECT_EQ(2016u, e.asked);
        EXPECT_LE(e.moved, 2016u);
        if (e.moved > 0) ++dataReads;
        moved += e.moved;
    }
    EXPECT_GE(dataReads, 2u);
    EXPECT_EQ(answer.head.size() + answer.body.size(), moved);
    // Counted for /metrics: every byte each way (counted just after each
    // transfer, so awaited), and the connection still open.
    const std::string counts[] = {
        "kvoomx_relay_bytes_total{controller=\"0\",direction=\"from_browser\"} " +
            std::to_string(Get("/bench/3000").size()) + "\n",
        "kvoomx_relay_bytes_total{controller=\"0\",direction=\"to_browser\"} " + std::to_string(moved) + "\n",
        "kvoomx_relay_connections{controller=\"0\"} 1\n"};
    for (const std::string& line : counts)
        EXPECT_TRUE(kvotest::WaitUntil([&] { return metrics.RenderText().find(line) != std::string::npos; }))
            << line << metrics.RenderText();
}

TEST_F(AgentResponserTest, ClosingTheBrowserSendsTheDisconnectMessageExactlyOnce) {
    int fd;
    unsigned conn = OpenBrowser(fd);
    ASSERT_NE(0u, conn);
    ASSERT_TRUE(SendAll(fd, Get("/drives.html")));
    ASSERT_TRUE(ReadHttpAnswer(fd).complete);
    close(fd);
    browsers.clear();

    ASSERT_TRUE(kvotest::WaitUntil([&] { return server->GetClientCount() == 0; }));
    EXPECT_TRUE(kvotest::WaitUntil([&] {
        return metrics.RenderText().find("kvoomx_relay_connections{controller=\"0\"} 0\n") != std::string::npos;
    }));
    auto writes = WebEntries(*sim, conn, "write");
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(1u, CountWrites(writes, kDisconnectBytes));
    EXPECT_EQ(kDisconnectBytes, writes.back().data);
    EXPECT_EQ(19u, writes.back().asked);
    EXPECT_EQ(1u, CountWrites(writes, kConnectBytes));
}

TEST_F(AgentResponserTest, RefusedConnectMessageEndsTheConnectionWithoutDisconnectOrReads) {
    ASSERT_EQ("ok", sim->Command("refuse-connect 0").substr(0, 2));
    int fd;
    unsigned conn = OpenBrowser(fd);
    ASSERT_NE(0u, conn);
    SendAll(fd, Get("/"));  // may already fail: the relay drops the connection at once
    EXPECT_TRUE(WaitForClose(fd, std::chrono::seconds(5)));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return server->GetClientCount() == 0; }));

    auto entries = WebEntries(*sim, conn);
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("write", entries[0].op);
    EXPECT_EQ(kConnectBytes, entries[0].data);
    EXPECT_EQ(0u, entries[0].moved);

    // The next connection is served normally.
    int fd2;
    unsigned conn2 = OpenBrowser(fd2);
    ASSERT_NE(0u, conn2);
    ASSERT_TRUE(SendAll(fd2, Get("/")));
    EXPECT_EQ(200, ReadHttpAnswer(fd2).status());
}

TEST_F(AgentResponserTest, ConcurrentBrowsersUseTheirOwnConnectionBytes) {
    int a, b;
    unsigned connA = OpenBrowser(a);
    unsigned connB = OpenBrowser(b);
    ASSERT_NE(0u, connA);
    ASSERT_NE(0u, connB);
    ASSERT_NE(connA, connB);
    ASSERT_TRUE(SendAll(a, Get("/bench/100000")));
    ASSERT_TRUE(SendAll(b, Get("/raidsets.html")));
    HttpAnswer fromB = ReadHttpAnswer(b);
    HttpAnswer fromA = ReadHttpAnswer(a);
    ASSERT_TRUE(fromA.complete);
    ASSERT_TRUE(fromB.complete);
    EXPECT_EQ(100000u, fromA.body.size());
    EXPECT_NE(std::string::npos, fromB.body.find("<html"));
    EXPECT_EQ(Get("/bench/100000"), BrowserBytes(WebEntries(*sim, connA, "write")));
    EXPECT_EQ(Get("/raidsets.html"), BrowserBytes(WebEntries(*sim, connB, "write")));
}

// Follows the read polling of an idle connection through the whole ramp:
// 61 polls a slice apart, then 2, 3, ... up to 40 slices (880 slices in all,
// 17.6 s with the standard 20 ms), and checks that browser bytes cut the
// slowest wait short. Run on 10 ms slices.
TEST_F(AgentResponserTest, IdleConnectionSlowsTo800MsAndWakesWithinASliceOnBrowserBytes) {
    RelayOptions timings;
    timings.sliceUs = 10000;
    const double sliceMs = timings.sliceUs / 1000.0;
    UseOptions(timings);
    ASSERT_EQ(0, server->Run());
    int fd;
    unsigned conn = OpenBrowser(fd);
    ASSERT_NE(0u, conn);
    ASSERT_TRUE(SendAll(fd, Get("/events.html")));
    ASSERT_TRUE(ReadHttpAnswer(fd).complete);
    auto answered = Clock::now();

    auto emptyReadsSinceAnswer = [&] {
        auto reads = WebEntries(*sim, conn, "read");
        size_t lastData = 0;
        for (size_t i = 0; i < reads.size(); ++i)
            if (reads[i].moved > 0) lastData = i + 1;
        return reads.size() - lastData;
    };
    // Read 101 is the first after the slowest wait.
    ASSERT_TRUE(kvotest::WaitUntil([&] { return emptyReadsSinceAnswer() >= 101; },
                                   std::chrono::seconds(35)));
    double rampMs = std::chrono::duration<double, std::milli>(Clock::now() - answered).count();
    EXPECT_GT(rampMs, 800 * sliceMs);
    EXPECT_LT(rampMs, 1250 * sliceMs);

    // Time the next polls: each is 40 slices after the one before.
    size_t seen = emptyReadsSinceAnswer();
    ASSERT_TRUE(kvotest::WaitUntil([&] { return emptyReadsSinceAnswer() > seen; }, std::chrono::seconds(3)));
    auto polled = Clock::now();
    seen = emptyReadsSinceAnswer();
    ASSERT_TRUE(kvotest::WaitUntil([&] { return emptyReadsSinceAnswer() > seen; }, std::chrono::seconds(3)));
    double gapMs = std::chrono::duration<double, std::milli>(Clock::now() - polled).count();
    EXPECT_GT(gapMs, 35 * sliceMs);
    EXPECT_LT(gapMs, 55 * sliceMs);

    // Right after a poll, a request must not wait out the slowest wait.
    auto sent = Clock::now();
    ASSERT_TRUE(SendAll(fd, Get("/overview.html")));
    HttpAnswer answer = ReadHttpAnswer(fd);
    double latencyMs = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
    ASSERT_TRUE(answer.complete);
    EXPECT_LT(latencyMs, 15 * sliceMs);
}

// An answer not ready at the first read after a request is picked up by the
// quick re-reads within the first slice. The slice is made far longer than
// the test's bound, so only they can have read it; and they stay few.
using AgentResponserQuickReadTest = RelayServerFixture;

TEST_F(AgentResponserQuickReadTest, AnswerALittleLateIsReadWithinTheFirstSlice) {
    RelayOptions timings;
    timings.sliceUs = 60 * 1000 * 1000;
    timings.quickReadFirstUs = 1000;
    timings.quickReadGrowthPercent = 200;
    timings.quickReads = 4;  // 1, 3, 7 and 15 ms after the write
    UseOptions(timings);
    ASSERT_EQ(0, server->Run());
    ASSERT_EQ("ok", sim->Command("delay 0 5").substr(0, 2));

    int fd;
    unsigned conn = OpenBrowser(fd);
    ASSERT_NE(0u, conn);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(SendAll(fd, Get("/bench/100")));
        HttpAnswer answer = ReadHttpAnswer(fd, std::chrono::seconds(20));
        ASSERT_TRUE(answer.complete) << "round " << round;
        EXPECT_EQ(100u, answer.body.size());
    }
    // Per write: the read at once and at most four re-reads come back empty.
    size_t requests = 0, emptySinceWrite = 0, mostEmpty = 0;
    bool answered = false;
    for (const auto& e : WebEntries(*sim, conn)) {
        if (e.op == "write") {
            requests += e.data.rfind("GET ", 0) == 0 ? 1 : 0;
            emptySinceWrite = 0;
            answered = false;
        } else if (e.moved > 0) {
            answered = true;
        } else if (!answered) {
            mostEmpty = std::max(mostEmpty, ++emptySinceWrite);
        }
    }
    EXPECT_EQ(3u, requests);
    EXPECT_LE(mostEmpty, 5u);
}

// A browser that stops taking data is dropped once one send has waited the
// send timeout (8 s by default, 2 s here); the firmware then hears the
// disconnect message.
TEST_F(AgentResponserTest, BrowserThatStopsReadingIsDroppedAfterTheSendTimeout) {
    RelayOptions timings;
    timings.sendTimeoutUs = 2000000;
    UseOptions(timings);
    ASSERT_EQ(0, server->Run());
    int fd;
    unsigned conn = OpenBrowser(fd);
    ASSERT_NE(0u, conn);
    int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    auto sent = Clock::now();
    ASSERT_TRUE(SendAll(fd, Get("/bench/16777216")));
    ASSERT_TRUE(kvotest::WaitUntil(
        [&] { return CountWrites(WebEntries(*sim, conn, "write"), kDisconnectBytes) == 1; },
        std::chrono::seconds(30)));
    double seconds = std::chrono::duration<double>(Clock::now() - sent).count();
    EXPECT_GE(seconds, 2.0);
    EXPECT_TRUE(kvotest::WaitUntil([&] { return server->GetClientCount() == 0; }));
}

}  // namespace
