// The relay's threads woken instead of sleeping: a request on a kept-alive
// connection is read at once rather than at the next slice, a new connection
// is served without a launch nap; and idle connections do not hold the
// controller's port: the longest-idle one makes room for a waiting browser,
// and a connection idle past the idle limit is closed. The firmware hears
// each closed connection's disconnect message exactly once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "RelayServerFixture.h"
#include "controller/AgentResponser.h"
#include "controller/kvoIO.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"

namespace {

using namespace relaytest;
using kvotest::SimulatorProcess;
using std::chrono::milliseconds;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

using RelaySlotAndWakeTest = RelayServerFixture;

// The send side used to look for the browser's bytes only between 20 ms
// slices (half a slice on average) and nap 100 ms before the connect message.
TEST_F(RelaySlotAndWakeTest, KeptAliveAndNewConnectionsAreAnsweredWellInsideOneSlice) {
    ASSERT_EQ(0, server->Run());
    int fd;
    ASSERT_NE(0u, OpenBrowser(fd));
    ASSERT_TRUE(SendAll(fd, Get("/bench/100")));
    ASSERT_TRUE(ReadHttpAnswer(fd).complete);

    std::vector<double> keptAlive;
    for (int i = 0; i < 15; ++i) {
        auto sent = Clock::now();
        ASSERT_TRUE(SendAll(fd, Get("/bench/100")));
        HttpAnswer answer = ReadHttpAnswer(fd);
        ASSERT_TRUE(answer.complete);
        keptAlive.push_back(MsSince(sent));
    }
    EXPECT_LT(Median(keptAlive), 5.0);

    std::vector<double> fresh;
    for (int i = 0; i < 7; ++i) {
        auto start = Clock::now();
        int c = kvotest::ConnectLoopback(port);
        ASSERT_GE(c, 0);
        ASSERT_TRUE(SendAll(c, Get("/bench/100", false)));
        HttpAnswer answer = ReadHttpAnswer(c);
        fresh.push_back(MsSince(start));
        close(c);
        ASSERT_TRUE(answer.complete);
    }
    EXPECT_LT(Median(fresh), 50.0);
}

// Five idle keep-alive connections used to hold every slot for good.
TEST_F(RelaySlotAndWakeTest, WaitingBrowserGetsTheSlotOfTheLongestIdleConnection) {
    ServerOptions options;
    options.evictIdleMs = 300;
    UseOptions(RelayOptions(), options);
    ASSERT_EQ(0, server->Run());
    std::vector<int> fds(5);
    std::vector<unsigned> conns;
    for (int& fd : fds) {
        conns.push_back(OpenBrowser(fd));
        ASSERT_NE(0u, conns.back());
        ASSERT_TRUE(SendAll(fd, Get("/overview.html")));
        ASSERT_TRUE(ReadHttpAnswer(fd).complete);
    }
    // The third one stays busy: it must not be the one that goes.
    ASSERT_TRUE(SendAll(fds[2], Get("/bench/100")));
    ASSERT_TRUE(ReadHttpAnswer(fds[2]).complete);

    int sixth = kvotest::ConnectLoopback(port);
    ASSERT_GE(sixth, 0);
    browsers.push_back(sixth);
    auto waiting = Clock::now();
    ASSERT_TRUE(SendAll(sixth, Get("/overview.html")));
    HttpAnswer answer = ReadHttpAnswer(sixth, milliseconds(5000));
    double waitedMs = MsSince(waiting);
    ASSERT_TRUE(answer.complete);
    EXPECT_EQ(200, answer.status());
    EXPECT_LT(waitedMs, 3000.0);

    // The first connection (idle longest) was closed, towards both sides once.
    EXPECT_TRUE(WaitForClose(fds[0], milliseconds(2000)));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return CountWrites(WebEntries(*sim, conns[0]), kDisconnectBytes) > 0; }));
    EXPECT_EQ(1u, CountWrites(WebEntries(*sim, conns[0]), kDisconnectBytes));
    EXPECT_EQ(0u, CountWrites(WebEntries(*sim, conns[2]), kDisconnectBytes));
    EXPECT_EQ(5u, server->GetClientCount());
}

TEST_F(RelaySlotAndWakeTest, ConnectionIdlePastTheLimitIsClosedWithOneDisconnect) {
    RelayOptions relay;
    relay.idleLimitMs = 1500;
    UseOptions(relay);
    ASSERT_EQ(0, server->Run());
    int idle, busy;
    unsigned busyConn = OpenBrowser(busy);
    ASSERT_NE(0u, busyConn);
    ASSERT_TRUE(SendAll(busy, Get("/bench/10")));
    ASSERT_TRUE(ReadHttpAnswer(busy).complete);
    unsigned idleConn = OpenBrowser(idle);
    ASSERT_NE(0u, idleConn);
    ASSERT_TRUE(SendAll(idle, Get("/overview.html")));
    ASSERT_TRUE(ReadHttpAnswer(idle).complete);
    auto idleSince = Clock::now();

    // Bytes keep the busy one open past the limit while the idle one goes.
    bool idleClosed = false;
    while (!idleClosed && MsSince(idleSince) < 8000) {
        ASSERT_TRUE(SendAll(busy, Get("/bench/10")));
        ASSERT_TRUE(ReadHttpAnswer(busy).complete);
        idleClosed = WaitForClose(idle, milliseconds(100));
    }
    EXPECT_TRUE(idleClosed);
    EXPECT_GT(MsSince(idleSince), 1000.0);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return CountWrites(WebEntries(*sim, idleConn), kDisconnectBytes) > 0; }));
    EXPECT_EQ(1u, CountWrites(WebEntries(*sim, idleConn), kDisconnectBytes));
    EXPECT_EQ(0u, CountWrites(WebEntries(*sim, busyConn), kDisconnectBytes));
    EXPECT_TRUE(kvotest::WaitUntil([&] { return server->GetClientCount() == 1; }));
}

}  // namespace
