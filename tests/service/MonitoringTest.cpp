// The service as a fleet's monitoring sees it: /healthz following the polls and
// the listening servers, /metrics counting polls, events, deliveries, relay bytes
// and page answers (checked by promtool), and a private Prometheus scraping it.
#include <gtest/gtest.h>

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>

#include "PeerProcess.h"
#include "SimulatorProcess.h"
#include "server/ServiceProcess.h"

namespace {

using namespace std::chrono_literals;
using kvotest::HttpGet;
using kvotest::SampleValue;

// One HTTP answer with its Content-Length body (the firmware keeps the connection).
std::string ReadWholeAnswer(int fd) {
    std::string answer;
    char block[4096];
    auto complete = [&] {
        size_t end = answer.find("\r\n\r\n");
        size_t length = answer.find("Content-Length: ");
        return end != std::string::npos && length != std::string::npos && length < end &&
               answer.size() >= end + 4 + std::strtoul(answer.c_str() + length + 16, nullptr, 10);
    };
    while (!complete()) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 10000) <= 0) break;
        ssize_t n = recv(fd, block, sizeof block, 0);
        if (n <= 0) break;
        answer.append(block, static_cast<size_t>(n));
    }
    return answer;
}

// Sweeps 500 ms apart instead of 10 s.
std::string Conf(int configPort, int relayPort) {
    char conf[512];
    std::snprintf(conf, sizeof conf,
                  "<root>\n    <configport>%x</configport>\n"
                  "    <controller0>\n        <httpport>%x</httpport>\n        <cliport>0</cliport>\n    </controller0>\n"
                  "    <controller1>\n        <httpport>0</httpport>\n        <cliport>0</cliport>\n    </controller1>\n"
                  "    <events>\n        <sweeppause>1f4</sweeppause>\n    </events>\n"
                  "</root>\n",
                  configPort, relayPort);
    return conf;
}

class Monitoring : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ok()) << sim.Log();
        svc.UseDriverDir(sim.dir());
        kvotest::WriteFileText(svc.home() + "/kvoomxsvr.conf", Conf(svc.port(), relayPort));
        // The installed error pages, for the 404 answer.
        std::filesystem::copy(std::string(KVO_SOURCE_DIR) + "/share/HTML", svc.home() + "/HTML");
    }

    void StartService() {
        svc.Start({"-NODAEMON"});
        ASSERT_TRUE(kvotest::WaitUntil([&] { return svc.PortAccepts(); }, 30s)) << svc.Output();
    }

    kvotest::SimulatorProcess sim{2};
    kvotest::ServiceProcess svc;
    int relayPort = kvotest::FreeTcpPort();
};

TEST_F(Monitoring, HealthAndMetricsFollowPollsEventsRelayAndPages) {
    ASSERT_EQ("ok", sim.Command("event 0 W now Fan 1 failed"));
    StartService();

    // Healthy once every controller has answered a poll.
    kvotest::HttpAnswer health;
    ASSERT_TRUE(kvotest::WaitUntil([&] { return (health = HttpGet(svc.port(), "/healthz")).status == 200; }, 30s))
        << health.status << " " << health.body << svc.Output();
    EXPECT_EQ("ok: servers listening, 2 controller(s) answered their last poll\n", health.body);

    // Relay traffic, a page and a missing file, then the counters.
    int fd = kvotest::ConnectLoopback(relayPort);
    ASSERT_GE(fd, 0);
    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string page = ReadWholeAnswer(fd);
    close(fd);
    ASSERT_NE(std::string::npos, page.find("HTTP/1.")) << page;
    EXPECT_EQ(404, HttpGet(svc.port(), "/missing.gif").status);

    std::string metrics;
    ASSERT_TRUE(kvotest::WaitUntil([&] {
        metrics = HttpGet(svc.port(), "/metrics").body;
        return SampleValue(metrics, "kvoomx_events_total{controller=\"0\",level=\"warning\"}") == 1 &&
               SampleValue(metrics, "kvoomx_relay_connections{controller=\"0\"}") == 0;
    }, 30s)) << metrics;
    EXPECT_EQ(2, SampleValue(metrics, "kvoomx_controllers"));
    EXPECT_EQ(1, SampleValue(metrics, "kvoomx_build_info{version=\"1.0.0\"}"));
    EXPECT_GE(SampleValue(metrics, "kvoomx_controller_polls_total{controller=\"1\",result=\"ok\"}"), 1);
    EXPECT_EQ(0, SampleValue(metrics, "kvoomx_controller_polls_total{controller=\"1\",result=\"failed\"}"));
    EXPECT_EQ(1, SampleValue(metrics, "kvoomx_controller_up{controller=\"1\"}"));
    double age = SampleValue(metrics, "kvoomx_controller_last_successful_poll_age_seconds{controller=\"0\"}");
    EXPECT_GE(age, 0);
    EXPECT_LT(age, 60);
    EXPECT_EQ(0, SampleValue(metrics, "kvoomx_events_total{controller=\"0\",level=\"error\"}"));
    EXPECT_EQ(static_cast<double>(request.size()),
              SampleValue(metrics, "kvoomx_relay_bytes_total{controller=\"0\",direction=\"from_browser\"}"));
    EXPECT_EQ(static_cast<double>(page.size()),
              SampleValue(metrics, "kvoomx_relay_bytes_total{controller=\"0\",direction=\"to_browser\"}"));
    EXPECT_GE(SampleValue(metrics, "kvoomx_http_requests_total{code=\"200\"}"), 1);
    EXPECT_EQ(1, SampleValue(metrics, "kvoomx_http_requests_total{code=\"404\"}"));

    // promtool finds nothing to object to in the exposition.
    kvotest::TempDir dir;
    kvotest::WriteFileText(dir.file("metrics.txt"), metrics);
    int status = -1;
    std::string lint = kvotest::RunCommand("promtool check metrics < " + dir.file("metrics.txt"), status);
    EXPECT_EQ(0, status) << lint;
    EXPECT_EQ("", lint);

    // A pulled controller: the probe fails and names it.
    ASSERT_EQ("ok", sim.Command("pull 1").substr(0, 2));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return (health = HttpGet(svc.port(), "/healthz")).status == 503; }, 40s))
        << health.body;
    EXPECT_EQ("controller 1 did not answer its last poll\n", health.body);
    metrics = HttpGet(svc.port(), "/metrics").body;
    EXPECT_GE(SampleValue(metrics, "kvoomx_controller_polls_total{controller=\"1\",result=\"failed\"}"), 1);
    EXPECT_EQ(0, SampleValue(metrics, "kvoomx_controller_up{controller=\"1\"}"));
}

TEST_F(Monitoring, PrivatePrometheusScrapesTheService) {
    StartService();
    kvotest::TempDir dir;
    int promPort = kvotest::FreeTcpPort();
    kvotest::WriteFileText(dir.file("prometheus.yml"),
                           "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                           "scrape_configs:\n  - job_name: kvoomx\n    static_configs:\n"
                           "      - targets: ['127.0.0.1:" + std::to_string(svc.port()) + "']\n");
    kvotest::PeerProcess prometheus;
    ASSERT_TRUE(prometheus.Start({"/usr/bin/prometheus", "--config.file=" + dir.file("prometheus.yml"),
                                  "--storage.tsdb.path=" + dir.file("data"),
                                  "--web.listen-address=127.0.0.1:" + std::to_string(promPort)},
                                 dir.file("prometheus.log")));

    // Queried back through its HTTP API: the target is up and the series carry our labels.
    std::string answer;
    auto query = [&](const std::string& expr) {
        answer = HttpGet(promPort, "/api/v1/query?query=" + expr).body;
        return answer;
    };
    ASSERT_TRUE(kvotest::WaitUntil([&] { return query("up").find("\"value\":[") != std::string::npos &&
                                                answer.find("\"1\"]") != std::string::npos; }, 60s))
        << answer << prometheus.Log();
    ASSERT_TRUE(kvotest::WaitUntil([&] {
        return query("kvoomx_controller_up").find("\"controller\":\"1\"") != std::string::npos &&
               answer.find("\"controller\":\"0\"") != std::string::npos;
    }, 60s)) << answer;
    EXPECT_TRUE(std::regex_search(query("kvoomx_controllers"), std::regex("\"value\":\\[[0-9.]+,\"2\"\\]")))
        << answer;
    EXPECT_NE(std::string::npos, query("kvoomx_build_info").find("\"version\":\"1.0.0\"")) << answer;
    // The delivery families: the mail kind's outcomes from the start, and the empty queue.
    EXPECT_TRUE(kvotest::WaitUntil([&] {
        return query("count%28kvoomx_deliveries_total%7Bkind%3D%22mail%22%7D%29").find(",\"3\"]") != std::string::npos;
    }, 30s)) << answer;
    EXPECT_TRUE(std::regex_search(query("kvoomx_delivery_queue_pending"), std::regex("\"value\":\\[[0-9.]+,\"0\"\\]")))
        << answer;
    EXPECT_TRUE(std::regex_search(query("kvoomx_delivery_queue_oldest_age_seconds"),
                                  std::regex("\"value\":\\[[0-9.]+,\"0\"\\]")))
        << answer;
}

}  // namespace
