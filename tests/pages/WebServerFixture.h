// A configuration server over real loopback TCP for the page tests: the
// shipped web root and error pages copied into a scratch folder, a fresh
// settings file, the shared simulated controllers, and helpers that send one
// raw request and split the answer.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "config/ConfigFileSupport.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"
#include "server/MetricsRegistry.h"
#include "pages/HttpOmxResponser.h"
#include "pages/WebTestSimulator.h"

namespace kvotest {

// What a browser sends when it loads a page.
constexpr const char kBrowserAccept[] =
    "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
    "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7";

struct HttpAnswer {
    std::string raw;
    std::string status;   // the status line
    std::string headers;  // every header line, each ending in CR LF
    std::string body;

    bool HasHeader(const std::string& line) const {
        return headers.find(line + "\r\n") != std::string::npos;
    }
};

inline HttpAnswer SplitAnswer(const std::string& raw) {
    HttpAnswer answer;
    answer.raw = raw;
    size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return answer;
    size_t firstLine = raw.find("\r\n");
    answer.status = raw.substr(0, firstLine);
    answer.headers = raw.substr(firstLine + 2, end + 2 - (firstLine + 2));
    answer.body = raw.substr(end + 4);
    return answer;
}

// Sends one request on a new connection and reads until the server closes.
inline HttpAnswer Exchange(int port, const std::string& request) {
    int fd = ConnectLoopback(port);
    if (fd < 0) return HttpAnswer();
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string raw = ReadAll(fd);
    close(fd);
    return SplitAnswer(raw);
}

class WebServerFixture : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_NE(WebTestSimulator(), nullptr);
        ASSERT_TRUE(WebTestSimulator()->ok()) << WebTestSimulator()->Log();
    }

    void SetUp() override {
        namespace fs = std::filesystem;
        char cwd[4096];
        ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
        m_oldCwd = cwd;
        m_work = m_tmp.path() + "/work";
        fs::create_directories(m_work);
        fs::copy(std::string(KVO_SOURCE_DIR) + "/share/HTML", m_work + "/HTML",
                 fs::copy_options::recursive);
        m_root = m_tmp.path() + "/webguiroot/";
        fs::copy(std::string(KVO_SOURCE_DIR) + "/share/webguiroot", m_root,
                 fs::copy_options::recursive);
        ASSERT_EQ(0, chdir(m_work.c_str()));
        m_configPath = m_tmp.path() + "/kvoomxsvr.conf";
        WriteFileText(m_configPath,
                      "<root>\n    <controller0>\n        <httpport>1cf4</httpport>\n"
                      "        <cliport>1cf6</cliport>\n    </controller0>\n</root>\n");
        m_config.Initialize(m_configPath.c_str());
    }

    void TearDown() override {
        if (m_server) m_server->ShutDown();
        m_server.reset();
        ASSERT_EQ(0, chdir(m_oldCwd.c_str()));
    }

    // Starts the server; `root` replaces the web root when given.
    HttpOmxResponser& StartServer(const std::string& root = "") {
        auto responder = std::make_unique<HttpOmxResponser>();
        responder->SetRootFolder((root.empty() ? m_root : root).c_str());
        responder->m_pConfig = &m_config;
        responder->m_pMetrics = &m_metrics;
        m_responder = responder.get();
        m_port = FreeTcpPort();
        m_server = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(m_port, 0),
                                                   std::move(responder), 0, 0);
        EXPECT_EQ(0, m_server->Run());
        return *m_responder;
    }

    HttpAnswer Get(const std::string& target, const std::string& headers = "") {
        return Exchange(m_port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                    std::to_string(m_port) + "\r\n" + headers + "\r\n");
    }

    HttpAnswer Post(const std::string& target, const std::string& body,
                    const std::string& headers = "") {
        return Exchange(m_port, "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                    std::to_string(m_port) + "\r\n" + headers +
                                    "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
                                    body);
    }

    std::string Origin() const { return "http://127.0.0.1:" + std::to_string(m_port); }
    std::string ConfigText() const { return ReadFileText(m_configPath); }

    TempDir m_tmp;
    std::string m_oldCwd;
    std::string m_work;
    std::string m_root;
    std::string m_configPath;
    ConfigFileSupport m_config;
    MetricsRegistry m_metrics;  // behind /metrics and /healthz
    HttpOmxResponser* m_responder = nullptr;
    std::unique_ptr<GenericServer> m_server;
    int m_port = 0;
};

}  // namespace kvotest
