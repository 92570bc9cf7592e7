// Slots of the configuration server's kind of connection (an HTTP exchange
// whose send thread only waits for the receive side): a finished exchange
// frees its slot at once and the accept loop is woken, so a sixth browser
// waiting behind five that just left is served without delay.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"
#include "http/HttpResponser.h"

namespace {

using namespace std::chrono;

const std::string kGet = "GET /page.xml HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";

// One whole answer (head and a body of Content-Length bytes) within 5 s.
bool Answered(int fd) {
    std::string in;
    auto end = steady_clock::now() + seconds(5);
    char buf[4096];
    while (steady_clock::now() < end) {
        size_t head = in.find("\r\n\r\n");
        size_t at = in.find("Content-Length: ");
        if (head != std::string::npos && at != std::string::npos &&
            in.size() >= head + 4 + std::stoul(in.substr(at + 16)))
            return in.compare(0, 12, "HTTP/1.0 200") == 0;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return false;
        in.append(buf, static_cast<size_t>(n));
    }
    return false;
}

TEST(SlotReuse, SlotsOfFinishedExchangesAreFreeAtOnce) {
    signal(SIGPIPE, SIG_IGN);
    kvotest::TempDir root;
    kvotest::WriteFileText(root.file("page.xml"), "<page/>\n");
    auto responser = std::make_unique<HttpResponser>();
    responser->SetRootFolder((root.path() + "/").c_str());
    int port = kvotest::FreeTcpPort();
    GenericServer server(std::make_unique<SocketCommAgent>(port, 0), std::move(responser), 0, 0);
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, server.Run());

    for (int round = 0; round < 3; ++round) {
        std::vector<int> fds;
        for (int i = 0; i < 5; ++i) {
            fds.push_back(kvotest::ConnectLoopback(port));
            ASSERT_GE(fds.back(), 0);
            ASSERT_EQ(static_cast<ssize_t>(kGet.size()), send(fds.back(), kGet.data(), kGet.size(), 0));
            ASSERT_TRUE(Answered(fds.back()));
        }
        int sixth = kvotest::ConnectLoopback(port);
        ASSERT_GE(sixth, 0);
        ASSERT_EQ(static_cast<ssize_t>(kGet.size()), send(sixth, kGet.data(), kGet.size(), 0));
        auto left = steady_clock::now();
        for (int fd : fds) close(fd);
        EXPECT_TRUE(Answered(sixth));
        // The send threads used to notice the end only at their next 1-second step.
        EXPECT_LT(steady_clock::now() - left, milliseconds(250)) << "round " << round;
        close(sixth);
        ASSERT_TRUE(kvotest::WaitUntil([&] { return server.GetClientCount() == 0; }));
    }
    server.ShutDown();
    testing::internal::GetCapturedStdout();
}

}  // namespace
