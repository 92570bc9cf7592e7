#include <gtest/gtest.h>

#include <csignal>
#include <climits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HttpDate.h"
#include "TestSupport.h"
#include "server/GenericServer.h"
#include "server/SocketClient.h"
#include "server/SocketCommAgent.h"
#include "http/HttpResponser.h"
#include "http/HttpResponsor.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char kNotFoundBody[] = "<html>not found</html>";
const char kNotImplementedBody[] = "<html>not implemented</html>";

// A configuration server on a free loopback port serving files from a scratch
// web root. The error pages are found relative to the working directory, so
// the fixture runs the test inside its scratch directory.
class HttpServerTest : public testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd_ = cwd;
        std::filesystem::create_directories(dir_.path() + "/root/sub");
        std::filesystem::create_directories(dir_.path() + "/HTML");
        kvotest::WriteFileText(dir_.file("HTML/fnf.html"), kNotFoundBody);
        kvotest::WriteFileText(dir_.file("HTML/mna.html"), kNotImplementedBody);
        ASSERT_EQ(chdir(dir_.path().c_str()), 0);
    }

    void TearDown() override {
        if (server_) {
            server_->ShutDown();
            server_.reset();
        }
        ASSERT_EQ(chdir(oldCwd_.c_str()), 0);
    }

    void Start(int requestTimeoutUs = HttpResponser::kDefaultRequestTimeoutUs) {
        auto responser = std::make_unique<HttpResponser>();
        responser->SetRootFolder((dir_.path() + "/root/").c_str());
        responser->SetRequestTimeout(requestTimeoutUs);
        responser->SetSendTimeout(sendTimeoutUs_);
        port_ = kvotest::FreeTcpPort();
        server_ = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(port_, 0),
                                                  std::move(responser), 0, 0);
        ASSERT_EQ(server_->Run(), 0);
    }

    void Put(const std::string& name, const std::string& bytes) {
        kvotest::WriteFileText(dir_.file("root/" + name), bytes);
    }

    int Connect() {
        int fd = kvotest::ConnectLoopback(port_);
        EXPECT_GE(fd, 0);
        fds_.push_back(fd);
        return fd;
    }

    static void Write(int fd, const std::string& bytes) {
        ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }

    // One full response: the header up to its blank line, then Content-Length bytes.
    static std::string ReadResponse(int fd, std::chrono::milliseconds limit = 10s) {
        std::string got;
        auto end = Clock::now() + limit;
        size_t want = std::string::npos;
        char buf[8192];
        while (got.size() < want && Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            got.append(buf, static_cast<size_t>(n));
            size_t blank = got.find("\r\n\r\n");
            if (blank == std::string::npos) continue;
            size_t field = got.find("\r\nContent-Length: ");
            if (field != std::string::npos && field < blank)
                want = blank + 4 + std::stoul(got.substr(field + 18));
        }
        return got;
    }

    // True when the peer ends the connection (FIN or reset) within `limit`.
    static bool ClosedWithin(int fd, std::chrono::milliseconds limit, std::string* rest = nullptr) {
        auto end = Clock::now() + limit;
        char buf[8192];
        while (Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0) return true;
            if (rest) rest->append(buf, static_cast<size_t>(n));
        }
        return false;
    }

    static std::string Body(const std::string& response) {
        size_t blank = response.find("\r\n\r\n");
        return blank == std::string::npos ? "" : response.substr(blank + 4);
    }

    static std::string Get(const std::string& path, bool keepAlive = false) {
        return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" +
               (keepAlive ? "Connection: Keep-Alive\r\n" : "") + "\r\n";
    }

    ~HttpServerTest() override {
        for (int fd : fds_) close(fd);
    }

    kvotest::TempDir dir_;
    std::string oldCwd_;
    int port_ = 0;
    int sendTimeoutUs_ = HttpResponsor::kDefaultSendTimeoutUs;
    std::unique_ptr<GenericServer> server_;
    std::vector<int> fds_;
};

TEST_F(HttpServerTest, AnswersWithTheExactHeaderAndClosesWithoutKeepAlive) {
    Start();
    Put("page.html", "hello");
    int fd = Connect();
    Write(fd, Get("/page.html"));
    std::string response = ReadResponse(fd);
    const std::string before = "HTTP/1.0 200 OK\r\nDate: ";
    const std::string after =
        "\r\nServer: Velmora Diskhelm WebServer/0.1b\r\n"
        "Accept-Ranges: bytes\r\n"
        "Content-Length: 5\r\n"
        "Connection: close\r\n"
        "Content-Type: text/html\r\n"
        "\r\n"
        "hello";
    ASSERT_GT(response.size(), before.size() + after.size()) << response;
    EXPECT_EQ(response.substr(0, before.size()), before);
    EXPECT_EQ(response.substr(response.size() - after.size()), after);
    EXPECT_TRUE(kvotest::LooksLikeHttpDate(
        response.substr(before.size(), response.size() - before.size() - after.size())))
        << response;
    EXPECT_TRUE(ClosedWithin(fd, 5s));
}

TEST_F(HttpServerTest, KeepAliveAnswersTheNextRequestOnTheSameConnection) {
    Start();
    Put("a.xsl", "<xsl/>");
    Put("sub/b.txt", "bee");
    int fd = Connect();
    Write(fd, Get("/a.xsl", true));
    std::string first = ReadResponse(fd);
    EXPECT_NE(first.find("Connection: Keep-Alive\r\nContent-Type: application/xml\r\n\r\n<xsl/>"),
              std::string::npos) << first;
    EXPECT_FALSE(ClosedWithin(fd, 100ms));
    // a POST whose form is ignored by the default handling, still a file
    Write(fd, "POST /sub/b.txt?x=1 HTTP/1.1\r\nKeep-Alive: 300\r\nContent-Length: 3\r\n\r\nk=v");
    std::string second = ReadResponse(fd);
    EXPECT_NE(second.find("Connection: Keep-Alive\r\nContent-Type: text/plain\r\n\r\nbee"),
              std::string::npos) << second;
    Write(fd, Get("/a.xsl"));
    std::string third = ReadResponse(fd);
    EXPECT_NE(third.find("Connection: close\r\n"), std::string::npos) << third;
    EXPECT_TRUE(ClosedWithin(fd, 5s));
}

TEST_F(HttpServerTest, MissingEmptyAndFolderPathsGetTheNotFoundPage) {
    Start();
    Put("empty.html", "");
    for (const char* path : {"/missing.html", "/empty.html", "/", "/sub"}) {
        int fd = Connect();
        Write(fd, Get(path, true));
        std::string response = ReadResponse(fd);
        EXPECT_EQ(response.rfind("HTTP/1.0 404 Resource not found\r\n", 0), 0u) << path;
        EXPECT_NE(response.find("Content-Length: 22\r\nConnection: close\r\nContent-Type: text/html\r\n\r\n"),
                  std::string::npos) << response;
        EXPECT_EQ(Body(response), kNotFoundBody);
        EXPECT_TRUE(ClosedWithin(fd, 5s)) << path;
    }
}

TEST_F(HttpServerTest, PathsLeavingTheRootGetTheNotFoundPage) {
    Start();
    kvotest::WriteFileText(dir_.file("secret.txt"), "secret");
    Put("sub/ok.txt", "ok");
    for (const char* path : {"/../secret.txt", "/sub/../../secret.txt", "/%2e%2e/secret.txt",
                             "/sub/%2E%2E/%2e%2e/secret.txt", "/..%2fsecret.txt"}) {
        int fd = Connect();
        Write(fd, Get(path));
        std::string response = ReadResponse(fd);
        EXPECT_EQ(response.rfind("HTTP/1.0 404 Resource not found\r\n", 0), 0u) << path;
        EXPECT_EQ(Body(response), kNotFoundBody) << path;
    }
    // a dotted name that stays inside is still served
    int fd = Connect();
    Write(fd, Get("/sub/./ok.txt"));
    EXPECT_EQ(Body(ReadResponse(fd)), "ok");
}

TEST_F(HttpServerTest, OtherMethodsGetNotImplementedAndTheConnectionEnds) {
    Start();
    Put("x.html", "x");
    for (const char* request : {"PUT /x.html HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n",
                                "DELETE /x.html HTTP/1.0\r\n\r\n"}) {
        int fd = Connect();
        Write(fd, request);
        std::string response = ReadResponse(fd);
        EXPECT_EQ(response.rfind("HTTP/1.0 501 Not Implemented\r\n", 0), 0u) << response;
        EXPECT_NE(response.find("Connection: close\r\n"), std::string::npos);
        EXPECT_EQ(Body(response), kNotImplementedBody);
        EXPECT_TRUE(ClosedWithin(fd, 5s));
    }
}

TEST_F(HttpServerTest, MissingErrorPageSendsNothingAndEndsTheConnection) {
    Start();
    std::filesystem::remove(dir_.file("HTML/fnf.html"));
    int fd = Connect();
    Write(fd, Get("/missing.html", true));
    std::string rest;
    EXPECT_TRUE(ClosedWithin(fd, 5s, &rest));
    EXPECT_EQ(rest, "");
}

TEST_F(HttpServerTest, MalformedRequestEndsTheConnectionWithoutAnswer) {
    Start();
    int fd = Connect();
    Write(fd, "GET /x.html\r\n\r\n");
    std::string rest;
    EXPECT_TRUE(ClosedWithin(fd, 5s, &rest));
    EXPECT_EQ(rest, "");
}

TEST_F(HttpServerTest, ContentTypesFollowTheExactExtension) {
    Start();
    struct Case {
        const char* name;
        const char* type;
    } cases[] = {{"a.html", "text/html"}, {"b.HTML", ""}, {"c.arj", "application/x-arj"},
                 {"d.rtf", "application/rtf"}, {"e.ico", ""}, {"noext", ""}};
    for (const Case& c : cases) {
        Put(c.name, "z");
        int fd = Connect();
        Write(fd, Get(std::string("/") + c.name));
        std::string response = ReadResponse(fd);
        EXPECT_NE(response.find(std::string("\r\nContent-Type: ") + c.type + "\r\n\r\nz"), std::string::npos)
            << response;
    }
}

TEST_F(HttpServerTest, FileOfExactlyTheFirstBufferIsSentWhole) {
    Start();
    std::string bytes(15360, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i % 251);
    Put("big.bin", bytes);
    int fd = Connect();
    Write(fd, Get("/big.bin"));
    std::string response = ReadResponse(fd);
    EXPECT_NE(response.find("Content-Length: 15360\r\n"), std::string::npos);
    EXPECT_NE(response.find("Content-Type: application/octet-stream\r\n"), std::string::npos);
    EXPECT_TRUE(Body(response) == bytes);
}

TEST_F(HttpServerTest, RequestArrivingInPiecesIsAnsweredOnce) {
    Start();
    Put("p.txt", "pieces");
    int fd = Connect();
    std::string request = Get("/p.txt");
    for (char c : request) {
        Write(fd, std::string(1, c));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(Body(ReadResponse(fd)), "pieces");
}

TEST_F(HttpServerTest, OversizedRequestEndsTheConnectionWithoutAnswer) {
    Start();
    Put("p.txt", "small");
    // just under the cap a request is still answered
    std::string under = "GET /p.txt HTTP/1.0\r\n";
    while (under.size() < HttpResponser::kMaxRequestBytes - 40) under += "X-Pad: 0123456789\r\n";
    under += "\r\n";
    ASSERT_LE(under.size(), HttpResponser::kMaxRequestBytes);
    int fd = Connect();
    Write(fd, under);
    EXPECT_EQ(Body(ReadResponse(fd)), "small");

    // a request that never ends is cut off once it passes the cap, long before the time bound
    int big = Connect();
    std::string pad = "GET /p.txt HTTP/1.0\r\n";
    while (pad.size() < HttpResponser::kMaxRequestBytes + 4096) pad += "X-Pad: 0123456789\r\n";
    send(big, pad.data(), pad.size(), MSG_NOSIGNAL);
    std::string rest;
    auto start = Clock::now();
    EXPECT_TRUE(ClosedWithin(big, 10s, &rest));
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(rest, "");
}

TEST_F(HttpServerTest, IdleConnectionsLoseTheirSlotsAfterTheRequestBound) {
    Start(300 * 1000);
    Put("p.txt", "sixth");
    std::vector<int> idle;
    // The bound runs from each connection's start, and a slot is free the
    // moment its connection ends: count from before the five connect.
    auto start = Clock::now();
    for (int i = 0; i < 5; ++i) idle.push_back(Connect());
    ASSERT_TRUE(kvotest::WaitUntil([&] { return server_->GetClientCount() == 5; }, 5s));
    int sixth = Connect();
    Write(sixth, Get("/p.txt"));
    EXPECT_EQ(Body(ReadResponse(sixth, 10s)), "sixth");
    // it had to wait for the bound: no slot was free before
    EXPECT_GE(Clock::now() - start, 250ms);
    for (int fd : idle) EXPECT_TRUE(ClosedWithin(fd, 5s));
}

TEST_F(HttpServerTest, DribblingClientIsCutOffAtTheBound) {
    Start(400 * 1000);
    int fd = Connect();
    auto start = Clock::now();
    std::string request = "GET /p.txt HTTP/1.0\r\nX-Slow: " + std::string(200, 'a');
    bool closed = false;
    for (char c : request) {
        if (send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
            closed = true;
            break;
        }
        if (ClosedWithin(fd, 20ms)) {
            closed = true;
            break;
        }
    }
    EXPECT_TRUE(closed || ClosedWithin(fd, 5s));
    EXPECT_GE(Clock::now() - start, 350ms);
    EXPECT_LT(Clock::now() - start, 4s);
}

TEST_F(HttpServerTest, ClientThatNeverReadsCannotHoldUpOtherResponses) {
    sendTimeoutUs_ = 300 * 1000;
    Start();
    // more than the socket buffers can take in flight (the send buffer grows to 4 MiB)
    const size_t hugeSize = 8u << 20;
    Put("huge.bin", std::string(hugeSize, 'h'));
    Put("small.txt", "quick");

    int stuck = socket(AF_INET, SOCK_STREAM, 0);
    fds_.push_back(stuck);
    int small = 4096;
    setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(stuck, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    Write(stuck, Get("/huge.bin", true));
    // let the server block in its send while holding the file lock
    std::this_thread::sleep_for(100ms);

    int other = Connect();
    auto start = Clock::now();
    Write(other, Get("/small.txt"));
    // generous for sanitizer builds; without the bound it would never come
    EXPECT_EQ(Body(ReadResponse(other, 30s)), "quick");
    EXPECT_LT(Clock::now() - start, 30s);

    // the stuck connection was cut: it ends before the whole file arrived
    std::string got;
    EXPECT_TRUE(ClosedWithin(stuck, 20s, &got));
    EXPECT_LT(got.size(), hugeSize);
}

TEST(HttpResponserPeek, CanProcessLooksAtTheFirstFourBytesOnly) {
    int port = kvotest::FreeTcpPort();
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 8), 0);
    HttpResponser responser;
    EXPECT_FALSE(responser.CanProcess(nullptr));
    struct Case {
        std::string bytes;
        bool expect;
    } cases[] = {{"GET /", true}, {"POST /", true}, {"HEAD /", false}, {"GE", false},
                 {"get /", false}, {"PUT /", false}};
    for (const Case& c : cases) {
        int peer = kvotest::ConnectLoopback(port);
        ASSERT_GE(peer, 0);
        int fd = accept(listener, nullptr, nullptr);
        ASSERT_GE(fd, 0);
        send(peer, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL);
        SocketClient client(fd, "127.0.0.1");
        char head[8] = {0};
        // wait until the bytes are there, then ask
        ASSERT_GT(client.PeekBuf(head, static_cast<int>(c.bytes.size()), 2000000), 0);
        EXPECT_EQ(responser.CanProcess(&client), c.expect) << c.bytes;
        // nothing was consumed
        char again[8] = {0};
        EXPECT_EQ(client.ReceiveBuf(again, 8, 1000000), static_cast<int>(c.bytes.size()));
        close(peer);
    }
    close(listener);
}

}  // namespace
