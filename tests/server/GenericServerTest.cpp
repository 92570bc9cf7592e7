#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EchoResponser.h"
#include "ThreadProbe.h"
#include "TestSupport.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"

namespace {

using namespace std::chrono;
using kvotest::EchoResponser;
using kvotest::ResponderProbe;

struct TestServer {
    int port = kvotest::FreeTcpPort();
    std::shared_ptr<ResponderProbe> probe = std::make_shared<ResponderProbe>();
    std::unique_ptr<GenericServer> server;

    explicit TestServer(unsigned char controller = 0, unsigned int channel = 0) {
        signal(SIGPIPE, SIG_IGN);
        server = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(port, 0),
                                                 std::make_unique<EchoResponser>(probe), controller, channel);
    }
    ~TestServer() {
        testing::internal::CaptureStdout();
        server.reset();
        testing::internal::GetCapturedStdout();
    }
};

bool Echoes(int fd, const std::string& text) {
    if (send(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) return false;
    std::string got;
    char buf[256];
    auto end = steady_clock::now() + seconds(10);
    while (got.size() < text.size() && steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        got.append(buf, static_cast<size_t>(n));
    }
    return got == text;
}

int CountOf(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(InstanceIDs, RiseAcrossServersAndWrapAfter63) {
    testing::internal::CaptureStdout();
    TestServer a, b;
    ASSERT_EQ(a.server->Run(), 0);
    ASSERT_EQ(b.server->Run(), 0);
    int fa = kvotest::ConnectLoopback(a.port);
    ASSERT_TRUE(Echoes(fa, "1"));
    int first = a.probe->lastId;
    close(fa);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return a.server->GetClientCount() == 0; }));
    // The freed ID is not taken again: the search goes on upwards, across servers.
    int fb = kvotest::ConnectLoopback(b.port);
    ASSERT_TRUE(Echoes(fb, "2"));
    EXPECT_EQ(b.probe->lastId, first % 63 + 1);
    int fa2 = kvotest::ConnectLoopback(a.port);
    ASSERT_TRUE(Echoes(fa2, "3"));
    EXPECT_EQ(a.probe->lastId, (first + 1) % 63 + 1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("m_instanceIDs " + std::to_string(first) + "\r\n"), std::string::npos) << out;
    close(fb);
    close(fa2);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return b.server->GetClientCount() == 0 && a.server->GetClientCount() == 0; }));

    // Walk the search up to 63, then it starts again at 1.
    testing::internal::CaptureStdout();
    unsigned char id = 0;
    do {
        id = GenericServer::GetOrReturnInstanceID(0);
        ASSERT_NE(id, 0);
        GenericServer::GetOrReturnInstanceID(id);
    } while (id != 63);
    EXPECT_EQ(GenericServer::GetOrReturnInstanceID(0), 1);
    // All taken: 0 and no announcement; then the one freed ID is found.
    std::vector<unsigned char> taken{1};
    for (int i = 0; i < 62; ++i) taken.push_back(GenericServer::GetOrReturnInstanceID(0));
    EXPECT_EQ(taken.back(), 63);
    std::string before = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenericServer::GetOrReturnInstanceID(0), 0);
    EXPECT_EQ(GenericServer::GetOrReturnInstanceID(17), 17);
    EXPECT_EQ(GenericServer::GetOrReturnInstanceID(0), 17);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "m_instanceIDs 17\r\n");
    for (unsigned char t : taken) GenericServer::GetOrReturnInstanceID(t);
}

TEST(GenericServer, CopiesControllerAndChannelIntoTheRecord) {
    struct Capture : EchoResponser {
        std::atomic<int> controller{-1};
        std::atomic<unsigned> channel{0};
        int Receive(Client* c, _CLIENT_PARAMS* p) override {
            controller = p->nController;
            channel = p->uChannel;
            return EchoResponser::Receive(c, p);
        }
    };
    int port = kvotest::FreeTcpPort();
    auto responder = std::make_unique<Capture>();
    Capture* seen = responder.get();
    testing::internal::CaptureStdout();
    {
        GenericServer server(std::make_unique<SocketCommAgent>(port, 0), std::move(responder), 3, 2);
        ASSERT_EQ(server.Run(), 0);
        EXPECT_TRUE(server.IsRunning());
        int fd = kvotest::ConnectLoopback(port);
        ASSERT_TRUE(Echoes(fd, "x"));
        EXPECT_EQ(seen->controller, 3);
        EXPECT_EQ(seen->channel, 2u);
        close(fd);
        ServerStatisticsTag st;
        st.nValues[2] = 9;
        EXPECT_EQ(server.GetStatistics(st), 0);
        EXPECT_EQ(st.nValues[2], 0u);
    }
    testing::internal::GetCapturedStdout();
}

TEST(GenericServer, SixthConnectionWaitsForAFreeSlot) {
    testing::internal::CaptureStdout();
    TestServer s;
    ASSERT_EQ(s.server->Run(), 0);
    std::vector<int> fds;
    for (int i = 0; i < 5; ++i) {
        fds.push_back(kvotest::ConnectLoopback(s.port));
        ASSERT_TRUE(Echoes(fds.back(), "a"));
    }
    EXPECT_EQ(s.server->GetClientCount(), 5u);
    int sixth = kvotest::ConnectLoopback(s.port);  // completes in the backlog
    ASSERT_GE(sixth, 0);
    ASSERT_EQ(send(sixth, "six", 3, 0), 3);
    // Not served while five are connected.
    EXPECT_EQ(kvotest::ReadAll(sixth, milliseconds(400)), "");
    auto freed = steady_clock::now();
    close(fds[0]);
    std::string got = kvotest::ReadAll(sixth, milliseconds(300));
    for (int i = 0; i < 50 && got.empty(); ++i) got += kvotest::ReadAll(sixth, milliseconds(100));
    EXPECT_EQ(got, "six");
    EXPECT_LT(steady_clock::now() - freed, seconds(2));
    for (size_t i = 1; i < fds.size(); ++i) close(fds[i]);
    close(sixth);
    EXPECT_TRUE(kvotest::WaitUntil([&] { return s.server->GetClientCount() == 0; }));
    testing::internal::GetCapturedStdout();
}

// True when the peer has closed (or reset) the connection within `limit`.
bool ClosedWithin(int fd, milliseconds limit) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return false;
    char c;
    return recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

// Every instance ID is held (as by connections of other servers still
// tidying up) and more browsers come than slots and backlog hold: none is
// closed unread; each is served in turn, oldest first, once IDs and slots free.
TEST(GenericServer, ConnectionsWaitForAnInstanceIDAndASlotInsteadOfBeingClosed) {
    testing::internal::CaptureStdout();
    std::vector<unsigned char> held;
    for (unsigned char id; (id = GenericServer::GetOrReturnInstanceID(0)) != 0;) held.push_back(id);
    TestServer s;
    ASSERT_EQ(s.server->Run(), 0);
    std::vector<int> fds;
    for (int i = 0; i < 14; ++i) {
        fds.push_back(kvotest::ConnectLoopback(s.port));
        ASSERT_GE(fds.back(), 0);
        std::string text = "browser " + std::to_string(i);
        ASSERT_EQ(send(fds.back(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    }
    bool closedWithoutID = ClosedWithin(fds[0], milliseconds(300));
    for (unsigned char id : held) GenericServer::GetOrReturnInstanceID(id);

    std::vector<std::string> got(fds.size());
    for (size_t i = 0; i < fds.size(); ++i) {
        std::string want = "browser " + std::to_string(i);
        for (int tries = 0; tries < 100 && got[i].size() < want.size(); ++tries)
            got[i] += kvotest::ReadAll(fds[i], milliseconds(100));
        close(fds[i]);  // makes room for the next one
    }
    EXPECT_TRUE(kvotest::WaitUntil([&] { return s.server->GetClientCount() == 0; }));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(closedWithoutID);
    for (size_t i = 0; i < fds.size(); ++i) EXPECT_EQ(got[i], "browser " + std::to_string(i));
    EXPECT_GE(held.size(), 50u);
}

TEST(GenericServer, ShutDownWithoutClients) {
    auto probe = std::make_shared<ResponderProbe>();
    int port = kvotest::FreeTcpPort();
    auto server = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(port, 0),
                                                  std::make_unique<EchoResponser>(probe), 0, 0);
    testing::internal::CaptureStdout();
    int run = server->Run();
    // The failure line below comes from an accept thread woken out of accept().
    bool inAccept = kvotest::WaitUntil([] { return kvotest::ThreadsInAccept() == 1; });
    auto start = steady_clock::now();
    server->ShutDown();
    auto took = steady_clock::now() - start;
    bool running = server->IsRunning();
    server->ShutDown();  // a second one does nothing
    server.reset();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(run, 0);
    EXPECT_TRUE(inAccept);
    EXPECT_LT(took, seconds(1));
    EXPECT_FALSE(running);
    EXPECT_EQ(probe->destroyed, 1);
    EXPECT_EQ(out,
              "Information: Server is shutting down...\n"
              "Information: SocketCommAgent closed.\n");
    EXPECT_EQ(kvotest::ConnectLoopback(port), -1);
}

TEST(GenericServer, ShutDownWithAConnectedClientWaitsForIt) {
    testing::internal::CaptureStdout();
    TestServer s;
    ASSERT_EQ(s.server->Run(), 0);
    int fd = kvotest::ConnectLoopback(s.port);
    ASSERT_TRUE(Echoes(fd, "hi"));
    s.server->ShutDown();
    EXPECT_EQ(s.server->GetClientCount(), 0u);
    EXPECT_EQ(s.probe->finished, 2);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(CountOf(out, "wait "), 1) << out;
    EXPECT_NE(out.find("wait 6\n"), std::string::npos) << out;
    EXPECT_EQ(kvotest::ReadAll(fd, seconds(2)), "");  // connection was shut down
    close(fd);
}

TEST(GenericServer, ShutDownGivesUpOnAStuckClientAndLateThreadsStaySafe) {
    testing::internal::CaptureStdout();
    auto probe = std::make_shared<ResponderProbe>();
    probe->holdForever = true;
    int port = kvotest::FreeTcpPort();
    ServerOptions options;
    options.shutdownRoundMs = 200;  // six rounds, each waited out in full
    auto server = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(port, 0),
                                                  std::make_unique<EchoResponser>(probe), 0, 0, options);
    ASSERT_EQ(server->Run(), 0);
    int fd = kvotest::ConnectLoopback(port);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return server->GetClientCount() == 1 && probe->receiveCalls == 1; }));
    auto start = steady_clock::now();
    server->ShutDown();
    auto took = steady_clock::now() - start;
    EXPECT_EQ(server->GetClientCount(), 1u);  // still registered
    server.reset();
    // The responder lives on with its threads.
    EXPECT_EQ(probe->destroyed, 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(took, milliseconds(6 * 200 - 20));
    EXPECT_LT(took, seconds(4));
    EXPECT_NE(out.find("wait 6\nwait 5\nwait 4\nwait 3\nwait 2\nwait 1\n"), std::string::npos) << out;
    EXPECT_EQ(CountOf(out, "wait "), 6);

    // Now the late threads finish: they release their client and, the last
    // one, the responder, without touching the deleted server.
    int id = probe->lastId;
    probe->release = true;
    EXPECT_TRUE(kvotest::WaitUntil([&] { return probe->destroyed == 1; }));
    EXPECT_EQ(probe->finished, 2);
    testing::internal::CaptureStdout();
    EXPECT_EQ(GenericServer::GetOrReturnInstanceID(static_cast<unsigned char>(id)), id);
    testing::internal::GetCapturedStdout();
    close(fd);
}

TEST(GenericServer, ClientThatThrowsIsStillReleased) {
    testing::internal::CaptureStdout();
    TestServer s;
    s.probe->throwInReceive = true;
    ASSERT_EQ(s.server->Run(), 0);
    int fd = kvotest::ConnectLoopback(s.port);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return s.probe->receiveCalls == 1; }));
    EXPECT_TRUE(kvotest::WaitUntil([&] { return s.server->GetClientCount() == 0; }));
    EXPECT_EQ(kvotest::ReadAll(fd, seconds(2)), "");  // closed by the release
    close(fd);
    testing::internal::GetCapturedStdout();
}

TEST(GenericServer, PartnerLateForTheLaunchIsNotLeftWaiting) {
    // The receive side ends before the send side has looked at nState once.
    struct QuickReceive : EchoResponser {
        using EchoResponser::EchoResponser;
        int Receive(Client*, _CLIENT_PARAMS* p) override {
            AwaitLaunch(p);
            return 0;
        }
        int Send(Client* c, _CLIENT_PARAMS* p) override {
            usleep(100000);
            return EchoResponser::Send(c, p);
        }
    };
    testing::internal::CaptureStdout();
    auto probe = std::make_shared<ResponderProbe>();
    int port = kvotest::FreeTcpPort();
    GenericServer server(std::make_unique<SocketCommAgent>(port, 0), std::make_unique<QuickReceive>(probe), 0, 0);
    ASSERT_EQ(server.Run(), 0);
    int fd = kvotest::ConnectLoopback(port);
    EXPECT_TRUE(kvotest::WaitUntil([&] { return probe->finished == 1; }, seconds(5)));
    EXPECT_TRUE(kvotest::WaitUntil([&] { return server.GetClientCount() == 0; }, seconds(5)));
    close(fd);
    server.ShutDown();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(CountOf(out, "wait "), 0) << out;
}

TEST(GenericServer, RunFailsWhenThePortIsTaken) {
    TestServer first;
    testing::internal::CaptureStdout();
    ASSERT_EQ(first.server->Run(), 0);
    GenericServer second(std::make_unique<SocketCommAgent>(first.port, 1), std::make_unique<EchoResponser>(), 0, 0);
    EXPECT_EQ(second.Run(), -1);
    EXPECT_EQ(second.BlockRun(), -1);
    EXPECT_FALSE(second.IsRunning());
    std::string out = testing::internal::GetCapturedStdout();
    std::string why = "Error      : cannot listen on 0.0.0.0 port " + std::to_string(first.port) +
                      ": Address already in use\n";
    EXPECT_EQ(out,
              "Error      : bind error\n" + why +
              "Error      : Failed to start listening\n"
              "Error      : bind error\n" + why +
              "Error      : Failed to start listening\n\n");
}

TEST(GenericServer, BlockRunServesUntilShutDown) {
    testing::internal::CaptureStdout();
    TestServer s;
    int result = 1;
    std::thread runner([&] { result = s.server->BlockRun(); });
    ASSERT_TRUE(kvotest::WaitUntil([&] { return s.server->IsRunning(); }));
    int fd = kvotest::ConnectLoopback(s.port);
    EXPECT_TRUE(Echoes(fd, "blocking"));
    close(fd);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return s.server->GetClientCount() == 0; }));
    s.server->ShutDown();
    runner.join();
    EXPECT_EQ(result, 0);
    testing::internal::GetCapturedStdout();
}

TEST(GenericServer, SetLogImpReachesTransportAndResponder) {
    struct Counter : LogImp {
        std::atomic<int> lines{0};
        int ClearLog() override { return 1; }
        int LogMessage(int, const char*) override { ++lines; return 1; }
        int ShowMessage(int l, const char* t) override { return LogMessage(l, t); }
    } counter;
    TestServer s;
    s.server->SetLogImp(&counter);
    ASSERT_EQ(s.server->Run(), 0);
    ASSERT_TRUE(kvotest::WaitUntil([] { return kvotest::ThreadsInAccept() == 1; }));
    testing::internal::CaptureStdout();
    s.server->ShutDown();
    std::string out = testing::internal::GetCapturedStdout();
    // Shutting down, closed (a stop is no failure): none on standard output.
    EXPECT_EQ(counter.lines, 2);
    EXPECT_EQ(out, "");
}

}  // namespace
