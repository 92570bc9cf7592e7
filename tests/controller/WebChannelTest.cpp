// The simulator's web channel as the relay sees it through kvoIO: connect
// message, request bytes, the answer in pieces, disconnect.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SimulatorProcess.h"
#include "controller/kvoIO.h"

namespace {

const char kConnect[] = "Socket connect!";
const char kDisconnect[] = "Socket disconnect!";

class WebChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ok()) << sim.Log();
        sim.ExportDriverDir();
        io = kvoIO::GetInstance();
        ASSERT_TRUE(io->initialize());
        ASSERT_EQ(2u, io->getControllerCount());
    }
    void TearDown() override { kvoIO::GetInstance()->terminate(); }

    // Reads the whole answer on (controller, connection) until `complete` holds.
    std::string ReadAnswer(unsigned controller, unsigned char connection, size_t expected) {
        std::string answer;
        kvotest::WaitUntil([&] {
            char buf[2016];
            int n = io->readIO(controller, 2, connection, buf, sizeof buf);
            if (n > 0) answer.append(buf, static_cast<size_t>(n));
            return n < 0 || answer.size() >= expected;
        });
        return answer;
    }

    std::string Fetch(unsigned controller, unsigned char connection, const std::string& request) {
        EXPECT_EQ(16, io->writeIO(controller, 2, connection, kConnect, sizeof kConnect));
        EXPECT_EQ(static_cast<int>(request.size()),
                  io->writeIO(controller, 2, connection, request.data(),
                              static_cast<unsigned>(request.size())));
        std::string head;
        kvotest::WaitUntil([&] {
            char buf[2016];
            int n = io->readIO(controller, 2, connection, buf, sizeof buf);
            if (n > 0) head.append(buf, static_cast<size_t>(n));
            return n < 0 || head.find("\r\n\r\n") != std::string::npos;
        });
        size_t headEnd = head.find("\r\n\r\n");
        if (headEnd == std::string::npos) return head;
        size_t lengthAt = head.find("Content-Length: ");
        size_t total = headEnd + 4 + std::stoul(head.substr(lengthAt + 16));
        if (head.size() < total) head += ReadAnswer(controller, connection, total - head.size());
        EXPECT_EQ(19, io->writeIO(controller, 2, connection, kDisconnect, sizeof kDisconnect));
        return head;
    }

    kvotest::SimulatorProcess sim{2};
    kvoIO* io = nullptr;
};

TEST_F(WebChannelTest, ServesTheManagementPagesStyleAndImages) {
    std::string page = Fetch(0, 1, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(0u, page.find("HTTP/1.1 200 OK\r\n"));
    EXPECT_NE(std::string::npos, page.find("Controller Overview"));
    EXPECT_NE(std::string::npos, page.find("/style.css"));
    for (const char* path : {"/raidsets.html", "/volumes.html", "/drives.html", "/events.html"}) {
        std::string answer = Fetch(1, 5, std::string("GET ") + path + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(0u, answer.find("HTTP/1.1 200 OK")) << path;
        EXPECT_NE(std::string::npos, answer.find("Controller 2")) << path;
    }
    std::string css = Fetch(0, 2, "GET /style.css HTTP/1.1\r\n\r\n");
    EXPECT_NE(std::string::npos, css.find("Content-Type: text/css"));
    std::string png = Fetch(0, 3, "GET /images/ok.png HTTP/1.1\r\n\r\n");
    ASSERT_NE(std::string::npos, png.find("\r\n\r\n"));
    EXPECT_EQ(0, png.compare(png.find("\r\n\r\n") + 4, 8, "\x89PNG\r\n\x1a\n"));
    std::string svg = Fetch(0, 4, "GET /images/logo.svg HTTP/1.1\r\n\r\n");
    EXPECT_NE(std::string::npos, svg.find("<svg"));
    EXPECT_NE(std::string::npos, Fetch(0, 6, "GET /nothing HTTP/1.1\r\n\r\n").find("404 Not Found"));
}

TEST_F(WebChannelTest, BenchAnswersExactlyTheAskedBodyInPiecesOfTheAskedLength) {
    const std::string request = "GET /bench/5000 HTTP/1.1\r\n\r\n";
    ASSERT_EQ(16, io->writeIO(0, 2, 9, kConnect, sizeof kConnect));
    ASSERT_EQ(static_cast<int>(request.size()),
              io->writeIO(0, 2, 9, request.data(), static_cast<unsigned>(request.size())));
    std::string answer;
    ASSERT_TRUE(kvotest::WaitUntil([&] {
        char buf[100];
        int n = io->readIO(0, 2, 9, buf, sizeof buf);
        EXPECT_LE(n, 100);
        if (n > 0) answer.append(buf, static_cast<size_t>(n));
        return answer.find("\r\n\r\n") != std::string::npos &&
               answer.size() - answer.find("\r\n\r\n") - 4 >= 5000;
    }));
    EXPECT_NE(std::string::npos, answer.find("Content-Length: 5000\r\n"));
    EXPECT_EQ(5000u, answer.size() - answer.find("\r\n\r\n") - 4);
    char buf[64];
    EXPECT_EQ(0, io->readIO(0, 2, 9, buf, sizeof buf));  // nothing more is ready
}

}  // namespace
