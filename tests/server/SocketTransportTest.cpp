#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "ThreadProbe.h"
#include "server/SocketClient.h"
#include "server/SocketCommAgent.h"

namespace {

using namespace std::chrono;

// A listening agent on a free loopback port and one accepted connection.
struct Pair {
    int port = kvotest::FreeTcpPort();
    SocketCommAgent agent{port, 0};
    int peer = -1;                       // the test's end
    std::unique_ptr<Client> served;      // the agent's end

    Pair() {
        signal(SIGPIPE, SIG_IGN);
        EXPECT_EQ(agent.StartListening(), 0);
        peer = kvotest::ConnectLoopback(port);
        Client* c = nullptr;
        EXPECT_EQ(agent.Accept(&c), 0);
        served.reset(c);
    }
    ~Pair() {
        if (peer >= 0) close(peer);
        testing::internal::CaptureStdout();
        served.reset();
        agent.Close();
        testing::internal::GetCapturedStdout();
    }
};

// The local address /proc/net/tcp shows for a listening port ("0100007F" etc.).
std::string ListeningAddress(int port) {
    std::ifstream in("/proc/net/tcp");
    std::string line;
    char want[8];
    snprintf(want, sizeof want, ":%04X", port);
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        std::string sl, local, remote, st;
        ss >> sl >> local >> remote >> st;
        if (st == "0A" && local.size() > 5 && local.substr(local.size() - 5) == want)
            return local.substr(0, local.size() - 5);
    }
    return "";
}

TEST(SocketTransport, ReceiveResultsAndTimeouts) {
    Pair p;
    ASSERT_TRUE(p.served);
    char buf[16];
    // Time-out 0 with nothing queued returns at once.
    auto start = steady_clock::now();
    EXPECT_EQ(p.served->ReceiveBuf(buf, sizeof buf, 0), CLIENT_ERR_TIMEOUT);
    EXPECT_EQ(p.served->ReceiveBuf(buf, sizeof buf, 50000), CLIENT_ERR_TIMEOUT);
    EXPECT_LT(steady_clock::now() - start, seconds(2));
    EXPECT_GE(steady_clock::now() - start, milliseconds(45));

    ASSERT_EQ(send(p.peer, "hello", 5, 0), 5);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return p.served->PeekBuf(buf, 3, 0) == 3; }));
    EXPECT_EQ(std::string(buf, 3), "hel");
    EXPECT_EQ(p.served->ReceiveBuf(buf, sizeof buf, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");

    close(p.peer);
    p.peer = -1;
    EXPECT_EQ(p.served->ReceiveBuf(buf, sizeof buf, -1), CLIENT_ERR_BROKEN);
    EXPECT_EQ(p.served->ReceiveBuf(buf, sizeof buf, 0), CLIENT_ERR_BROKEN);
    EXPECT_EQ(p.served->Close(), 0);
    EXPECT_EQ(p.served->ReceiveBuf(buf, sizeof buf, -1), 0);
    EXPECT_EQ(p.served->PeekBuf(buf, sizeof buf, -1), 0);
    EXPECT_EQ(p.served->Close(), 2);
    EXPECT_EQ(p.served->Close(), 3);
    EXPECT_EQ(p.served->GetStatus(), 0);
}

TEST(SocketTransport, SendResults) {
    Pair p;
    EXPECT_EQ(p.served->SendBuf("x", 0, -1), -1);
    EXPECT_EQ(p.served->SendBuf("abc", 3, -1), 3);
    EXPECT_EQ(kvotest::ReadAll(p.peer, milliseconds(200)), "abc");
    // A large buffer goes out in one call while the peer reads it.
    std::string big(1 << 20, 'z');
    std::string got;
    std::thread reader([&] { got = kvotest::ReadAll(p.peer, seconds(10)); });
    EXPECT_EQ(p.served->SendBuf(big.data(), static_cast<int>(big.size()), -1), static_cast<int>(big.size()));
    p.served->Shutdown();
    reader.join();
    EXPECT_EQ(got.size(), big.size());
    p.served->Close();
    EXPECT_EQ(p.served->SendBuf("abc", 3, -1), 0);
}

TEST(SocketTransport, SendToVanishedPeerFails) {
    Pair p;
    close(p.peer);
    p.peer = -1;
    std::string chunk(64 * 1024, 'a');
    int result = 0;
    // The first sends may still be queued; soon one reports the broken pipe.
    for (int i = 0; i < 50 && result != -1; ++i)
        result = p.served->SendBuf(chunk.data(), static_cast<int>(chunk.size()), 1000000);
    EXPECT_EQ(result, -1);
}

TEST(SocketTransport, ShutdownWakesBlockedReceive) {
    Pair p;
    int result = 1;
    std::thread t([&] {
        char buf[8];
        result = p.served->ReceiveBuf(buf, sizeof buf, -1);
    });
    EXPECT_TRUE(kvotest::WaitUntil([] { return kvotest::ThreadsInSyscall(SYS_ppoll) == 1; }));
    EXPECT_EQ(p.served->Shutdown(), 0);
    t.join();
    EXPECT_EQ(result, CLIENT_ERR_BROKEN);
    EXPECT_EQ(p.served->GetStatus(), 1);  // shut down, still open
}

TEST(SocketTransport, ToStringAndStatistics) {
    Pair p;
    auto* sc = dynamic_cast<SocketClient*>(p.served.get());
    ASSERT_NE(sc, nullptr);
    std::string s = sc->ToString();
    EXPECT_EQ(s.rfind("Socket Client(127.0.0.1 : ", 0), 0u) << s;
    char hex[16];
    // The descriptor appears in lower-case hex without prefix.
    int fd = -1;
    ASSERT_EQ(sscanf(s.c_str(), "Socket Client(127.0.0.1 : %x)", reinterpret_cast<unsigned*>(&fd)), 1);
    snprintf(hex, sizeof hex, "%x)", fd);
    EXPECT_NE(s.find(hex), std::string::npos);
    EXPECT_EQ(s.find("0x"), std::string::npos);
    ClientStatisticsTag st;
    EXPECT_EQ(sc->GetStatistics(st), 0);
    EXPECT_EQ(st.first, 2000.0);
    EXPECT_EQ(st.second, 1000.0);

    testing::internal::CaptureStdout();
    int code = static_cast<int>(0xC0000002u);
    EXPECT_EQ(sc->WhenBroken(code), code);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Error      : Socket Client(127.0.0.1 : "), std::string::npos) << out;
    EXPECT_NE(out.find(") Broken with error code c0000002\n"), std::string::npos) << out;
    EXPECT_EQ(sc->GetStatus(), 0);
}

// Answers are sent whole, so Nagle's algorithm only ever delays the last
// segment of a multi-segment answer until the browser's delayed ACK (40 ms).
TEST(SocketTransport, AcceptedConnectionsSendWithoutNagle) {
    Pair p;
    ASSERT_NE(p.served, nullptr);
    unsigned fd = 0;
    ASSERT_EQ(sscanf(p.served->ToString().c_str(), "Socket Client(127.0.0.1 : %x)", &fd), 1);
    int on = 0;
    socklen_t len = sizeof on;
    ASSERT_EQ(getsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &on, &len), 0);
    EXPECT_NE(on, 0);
}

TEST(SocketTransport, DescriptorAboveSelectLimitIsSafe) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 2100 && lim.rlim_max >= 2100) {
        lim.rlim_cur = 2100;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur < 2100) GTEST_SKIP() << "descriptor limit too low";
    Pair p;
    int fd = kvotest::ConnectLoopback(p.port);
    Client* raw = nullptr;
    ASSERT_EQ(p.agent.Accept(&raw), 0);
    std::unique_ptr<Client> accepted(raw);
    // Move our end of the second connection above 1023.
    int high = dup2(fd, 2000);
    ASSERT_EQ(high, 2000);
    close(fd);
    SocketClient client(high, "127.0.0.1");
    char buf[8];
    EXPECT_EQ(client.ReceiveBuf(buf, sizeof buf, 20000), CLIENT_ERR_TIMEOUT);
    EXPECT_EQ(accepted->SendBuf("hi", 2, -1), 2);
    EXPECT_EQ(client.ReceiveBuf(buf, sizeof buf, 2000000), 2);
    EXPECT_EQ(client.SendBuf("yo", 2, 2000000), 2);
    EXPECT_EQ(accepted->ReceiveBuf(buf, sizeof buf, 2000000), 2);
    EXPECT_EQ(client.Close(), 0);
}

TEST(SocketTransport, OutgoingConnections) {
    signal(SIGPIPE, SIG_IGN);
    int port = kvotest::FreeTcpPort();
    SocketCommAgent agent(port, 1);
    ASSERT_EQ(agent.StartListening(), 0);

    SocketClient out("127.0.0.1", static_cast<unsigned short>(port), AF_INET);
    ASSERT_EQ(out.GetStatus(), 1);
    EXPECT_EQ(out.ToString().rfind("Socket Client(127.0.0.1 : ", 0), 0u);
    Client* raw = nullptr;
    ASSERT_EQ(agent.Accept(&raw), 0);
    std::unique_ptr<Client> in(raw);
    EXPECT_EQ(out.SendBuf("ping", 4, -1), 4);
    char buf[8];
    EXPECT_EQ(in->ReceiveBuf(buf, sizeof buf, 2000000), 4);

    SocketClient timed("localhost", static_cast<unsigned short>(port), AF_INET, 500000);
    EXPECT_EQ(timed.GetStatus(), 1);

    SocketClient unresolved("no-such-host.invalid", 25, AF_INET, 500000);
    EXPECT_EQ(unresolved.GetStatus(), 0);

    int closedPort = kvotest::FreeTcpPort();
    SocketClient refused("127.0.0.1", static_cast<unsigned short>(closedPort), AF_INET);
    EXPECT_EQ(refused.GetStatus(), 0);
    EXPECT_EQ(refused.Close(), 2);  // the failed connect already closed it once
    SocketClient refusedTimed("127.0.0.1", static_cast<unsigned short>(closedPort), AF_INET, 500000);
    EXPECT_EQ(refusedTimed.GetStatus(), 0);

    testing::internal::CaptureStdout();
    agent.Close();
    testing::internal::GetCapturedStdout();
}

TEST(SocketTransport, ConnectTimeoutBoundsAStalledConnect) {
    // A listener that never accepts, with its backlog full: further SYNs are dropped.
    int lfd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(lfd, 0), 0);
    socklen_t len = sizeof a;
    getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    unsigned short port = ntohs(a.sin_port);
    std::vector<std::unique_ptr<SocketClient>> fill;
    bool stalled = false;
    for (int i = 0; i < 8 && !stalled; ++i) {
        auto start = steady_clock::now();
        auto c = std::make_unique<SocketClient>("127.0.0.1", port, AF_INET, 300000);
        auto took = steady_clock::now() - start;
        if (c->GetStatus() == 0) {
            stalled = true;
            EXPECT_GE(took, milliseconds(250));
            EXPECT_LT(took, seconds(3));
        }
        fill.push_back(std::move(c));
    }
    close(lfd);
    EXPECT_TRUE(stalled) << "the backlog never filled";
}

TEST(SocketCommAgent, ListeningAddressAndErrors) {
    int port = kvotest::FreeTcpPort();
    testing::internal::CaptureStdout();
    {
        SocketCommAgent loopOnly(port, 0);
        ASSERT_EQ(loopOnly.StartListening(), 0);
        EXPECT_EQ(loopOnly.GetStatus(), 1);
        EXPECT_EQ(ListeningAddress(port), "0100007F");

        SocketCommAgent taken(port, 1);
        EXPECT_EQ(taken.StartListening(), -1);
        EXPECT_EQ(taken.GetStatus(), 0);
        Client* c = reinterpret_cast<Client*>(1);
        EXPECT_EQ(taken.Accept(&c), -1);
        EXPECT_EQ(c, nullptr);
    }
    SocketCommAgent all(port, 1);
    ASSERT_EQ(all.StartListening(), 0);
    EXPECT_EQ(ListeningAddress(port), "00000000");
    EXPECT_EQ(all.Close(), 0);
    EXPECT_EQ(all.Close(), 0);
    Client* c = nullptr;
    EXPECT_EQ(all.Accept(&c), -1);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Error      : bind error\n"
              "Error      : cannot listen on 0.0.0.0 port " + std::to_string(port) +
                  ": Address already in use\n"
              "Information: SocketCommAgent closed.\n"  // destructor of the loopback agent
              "Information: SocketCommAgent closed.\n"
              "Information: SocketCommAgent closed.\n");
    // Closed means the port is free again.
    EXPECT_EQ(ListeningAddress(port), "");
}

TEST(SocketCommAgent, CloseWakesPendingAccept) {
    int port = kvotest::FreeTcpPort();
    SocketCommAgent agent(port, 1);
    ASSERT_EQ(agent.StartListening(), 0);
    testing::internal::CaptureStdout();
    int result = 0;
    std::thread t([&] {
        Client* c = nullptr;
        result = agent.Accept(&c);
    });
    EXPECT_TRUE(kvotest::WaitUntil([] { return kvotest::ThreadsInAccept() == 1; }));
    agent.Close();
    t.join();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(out,
              "Information: SocketCommAgent closed.\n");
    EXPECT_EQ(kvotest::ConnectLoopback(port), -1);
}

TEST(SocketCommAgent, SetNonblocking) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    EXPECT_EQ(SocketCommAgent::SetNonblocking(fds[0], true, nullptr), 1);
    EXPECT_TRUE(fcntl(fds[0], F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(SocketCommAgent::SetNonblocking(fds[0], false, nullptr), 1);
    EXPECT_FALSE(fcntl(fds[0], F_GETFL) & O_NONBLOCK);
    close(fds[0]);
    close(fds[1]);
    Log log;
    testing::internal::CaptureStdout();
    EXPECT_EQ(SocketCommAgent::SetNonblocking(-1, true, &log), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error      : ioctlsocket(FIONBIO)\n");
}

}  // namespace
