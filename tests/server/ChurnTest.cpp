#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EchoResponser.h"
#include "TestSupport.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"

namespace {

using namespace std::chrono;
using kvotest::EchoResponser;
using kvotest::ResponderProbe;

constexpr int kServers = 13;
constexpr int kClients = 63;
constexpr int kRounds = 40;

// One echo exchange on a fresh connection; false when the service dropped it
// (no free slot or ID at that moment) or the exchange failed.
bool EchoOnce(int port, const std::string& text) {
    int fd = kvotest::ConnectLoopback(port);
    if (fd < 0) return false;
    bool ok = send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
    std::string got;
    auto end = steady_clock::now() + seconds(20);
    char buf[256];
    while (ok && got.size() < text.size() && steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) ok = false;
        else got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return ok && got == text;
}

// Connects and resets the connection at once, without a word.
void AbortOnce(int port) {
    int fd = kvotest::ConnectLoopback(port);
    if (fd < 0) return;
    linger l{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close(fd);
}

TEST(Churn, SixtyThreeClientsAcrossServersComeAndGo) {
    signal(SIGPIPE, SIG_IGN);
    testing::internal::CaptureStdout();
    std::vector<int> ports;
    std::vector<std::shared_ptr<ResponderProbe>> probes;
    std::vector<std::unique_ptr<GenericServer>> servers;
    for (int i = 0; i < kServers; ++i) {
        ports.push_back(kvotest::FreeTcpPort());
        probes.push_back(std::make_shared<ResponderProbe>());
        servers.push_back(std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(ports.back(), 0),
                                                          std::make_unique<EchoResponser>(probes.back()),
                                                          static_cast<unsigned char>(i % 4), 2));
        ASSERT_EQ(servers.back()->Run(), 0);
    }

    std::atomic<int> echoed{0}, failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            int port = ports[c % kServers];
            for (int round = 0; round < kRounds; ++round) {
                if (round % 4 == 3) {
                    AbortOnce(port);
                    continue;
                }
                std::string text = "client " + std::to_string(c) + " round " + std::to_string(round);
                int attempts = 0;
                while (!EchoOnce(port, text) && ++attempts < 100) std::this_thread::sleep_for(milliseconds(5));
                if (attempts < 100) ++echoed;
                else ++failures;
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(echoed, kClients * (kRounds - kRounds / 4));

    for (int i = 0; i < kServers; ++i)
        EXPECT_TRUE(kvotest::WaitUntil([&] { return servers[i]->GetClientCount() == 0; }, seconds(20))) << i;
    // Every client thread ran its operation to the end.
    for (auto& probe : probes)
        EXPECT_TRUE(kvotest::WaitUntil([&] { return probe->finished == 2 * probe->receiveCalls; }, seconds(5)));
    for (auto& server : servers) server->ShutDown();
    servers.clear();
    for (auto& probe : probes) EXPECT_EQ(probe->destroyed, 1);

    // Every instance ID came back.
    std::vector<unsigned char> ids;
    for (int i = 0; i < 63; ++i) ids.push_back(GenericServer::GetOrReturnInstanceID(0));
    for (unsigned char id : ids) EXPECT_NE(id, 0);
    EXPECT_EQ(GenericServer::GetOrReturnInstanceID(0), 0);
    for (unsigned char id : ids) GenericServer::GetOrReturnInstanceID(id);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.find("wait "), std::string::npos);
    EXPECT_EQ(out.find("Failed"), std::string::npos);
}

}  // namespace
