// The whole service with webhooks and command hooks: kvoomxsvr on the simulator
// posts an event to a private Alertmanager and to a receiver that fails its
// first calls (retried through the delivery queue), and runs the hooks of its
// hooks directory, one that records its environment and one that hangs.
// GCC 12 warns falsely inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "PeerProcess.h"
#include "SimulatorProcess.h"
#include "mail/PostfixPeer.h"
#include "server/ServiceProcess.h"

namespace {

using namespace std::chrono_literals;

const std::string kReceiver = std::string(KVO_SOURCE_DIR) + "/tests/notify/tool/webhook_receiver.py";

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string Http(int port, const std::string& request) {
    int fd = kvotest::ConnectLoopback(port);
    if (fd < 0) return "";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer = kvotest::ReadAll(fd, 10s);
    close(fd);
    return answer;
}

std::string Page(int port, const std::string& page) { return Http(port, "GET /" + page + " HTTP/1.0\r\n\r\n"); }

std::string Post(int port, const std::string& page, const std::string& body) {
    return Http(port, "POST /" + page + " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                      "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
}

// kvoomxsvr.conf without relays, with quick retries and short call bounds.
void WriteServiceConfig(kvotest::ServiceProcess& svc, const std::string& hooksDir) {
    char conf[2048];
    std::snprintf(conf, sizeof conf,
                  "<root>\n<configport>%x</configport>\n"
                  "<controller0><httpport>0</httpport><cliport>0</cliport></controller0>\n"
                  "<controller1><httpport>0</httpport><cliport>0</cliport></controller1>\n"
                  "<events><sweeppause>12c</sweeppause><firstretry>1</firstretry><maxretry>1</maxretry>"
                  "<webhookbound>5</webhookbound><hookbound>1</hookbound><hooksdir>%s</hooksdir></events>\n"
                  "</root>\n",
                  svc.port(), hooksDir.c_str());
    kvotest::WriteFileText(svc.home() + "/kvoomxsvr.conf", conf);
}

void WriteHook(const std::string& path, const std::string& script) {
    kvotest::WriteFileText(path, script);
    chmod(path.c_str(), 0755);
}

class ServiceHooks : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.ok()) << sim.Log(); }

    void Start() {
        svc.UseDriverDir(sim.dir());
        svc.Start({"-NODAEMON"});
        ASSERT_TRUE(kvotest::WaitUntil([&] { return svc.PortAccepts(); }, 15s)) << svc.Output();
    }

    void TearDown() override {
        kill(svc.pid(), SIGTERM);
        EXPECT_EQ(0, svc.WaitExit(15s)) << svc.Output();
        EXPECT_FALSE(Has(svc.Output(), "Sanitizer")) << svc.Output();
    }

    kvotest::SimulatorProcess sim{1};
    kvotest::TempDir hooks;
    kvotest::ServiceProcess svc;
};

TEST_F(ServiceHooks, WebhooksFromTheHooksPageGetTheEventAlertmanagerListsItAFailingOneIsRetried) {
    kvotest::TempDir dir;
    int amPort = kvotest::FreeTcpPort();
    kvotest::WriteFileText(dir.file("am.yml"), "route:\n  receiver: nowhere\nreceivers:\n  - name: nowhere\n");
    kvotest::PeerProcess alertmanager;
    ASSERT_TRUE(alertmanager.Start({"/usr/bin/prometheus-alertmanager", "--config.file=" + dir.file("am.yml"),
                                    "--storage.path=" + dir.file("data"),
                                    "--web.listen-address=127.0.0.1:" + std::to_string(amPort),
                                    "--cluster.listen-address="},
                                   dir.file("am.log")));
    int rxPort = kvotest::FreeTcpPort();
    kvotest::PeerProcess receiver;
    ASSERT_TRUE(receiver.Start({"/usr/bin/python3", kReceiver, "--port", std::to_string(rxPort), "--record",
                                dir.file("rx.jsonl"), "--fail-first", "2", "--fail-status", "503"},
                               dir.file("rx.log")));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return kvotest::HttpGet(amPort, "/-/ready").status == 200; }, 60s))
        << alertmanager.Log();
    ASSERT_TRUE(kvotest::WaitUntil([&] { return kvotest::HttpGet(rxPort, "/").status > 0; }, 20s)) << receiver.Log();

    WriteServiceConfig(svc, hooks.path());
    chmod((svc.home() + "/kvoomxsvr.conf").c_str(), 0600);
    Start();
    // The URL carries a login and a token: neither may show on a page or in the log.
    std::string page = Post(svc.port(), "hooks.cgi",
                            "func=AddWebhook&webhook_format=generic&webhook_url=http%3A%2F%2Fops%3As3cretpw%40127.0.0.1%3A" +
                                std::to_string(rxPort) + "%2Fin%3Ftoken%3Dt0ken42");
    EXPECT_TRUE(Has(page, "The webhook was added")) << page;
    page = Post(svc.port(), "hooks.cgi",
                "func=AddWebhook&webhook_format=alertmanager&webhook_url=http%3A%2F%2F127.0.0.1%3A" +
                    std::to_string(amPort));
    EXPECT_TRUE(Has(page, "The webhook was added")) << page;
    page = Post(svc.port(), "hooks.cgi", "func=AddWebhook&webhook_format=generic&webhook_url=ftp%3A%2F%2Fx");
    EXPECT_TRUE(Has(page, "The webhook URL cannot be used: the URL must begin with http")) << page;
    page = Page(svc.port(), "hooks.cgi");
    EXPECT_TRUE(Has(page, "http://127.0.0.1:" + std::to_string(rxPort) + "/in<")) << page;
    EXPECT_FALSE(Has(page, "s3cretpw") || Has(page, "t0ken42")) << page;
    struct stat st {};
    ASSERT_EQ(0, stat((svc.home() + "/kvoomxsvr.conf").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777) << "the settings file holding the token stays owner-only";

    const std::string token = kvotest::UniqueToken("hook");
    ASSERT_EQ("ok", sim.Command("event 0 E now " + token));
    std::string alerts;
    EXPECT_TRUE(kvotest::WaitUntil([&] {
        alerts = kvotest::HttpGet(amPort, "/api/v2/alerts").body;
        return Has(alerts, token);
    }, 30s)) << alerts << svc.Output();
    for (const char* label : {"\"alertname\":\"KvoomxControllerEvent\"", "\"severity\":\"critical\"",
                              "\"controller\":\"1\""})
        EXPECT_TRUE(Has(alerts, label)) << label << " in " << alerts;

    // Two 503s, each retried after the back-off, then delivered; the page tells.
    ASSERT_TRUE(kvotest::WaitUntil([&] {
        page = Page(svc.port(), "events.cgi");
        return Has(page, "kind=\"webhook\" status=\"sent\" attempts=\"3\"");
    }, 30s)) << page << svc.Output();
    EXPECT_TRUE(Has(page, "the server answered 200: &quot;stored / event 3&quot;")) << page;
    EXPECT_TRUE(Has(svc.Output(), "the server answered 503")) << svc.Output();
    EXPECT_FALSE(Has(svc.Output() + page, "s3cretpw") || Has(svc.Output() + page, "t0ken42")) << svc.Output();
    std::string requests = kvotest::ReadFileText(dir.file("rx.jsonl"));
    EXPECT_TRUE(Has(requests, "\"path\": \"/in?token=t0ken42\"")) << requests;
    EXPECT_TRUE(Has(requests, "\\\"controller\\\":1,\\\"level\\\":\\\"error\\\"")) << requests;
}

TEST_F(ServiceHooks, HooksRunWithTheEventInTheirEnvironmentAndOneThatHangsIsKilledAtItsBound) {
    const std::string envFile = hooks.file("env.out");
    WriteHook(hooks.file("10-record"), "#!/bin/sh\nenv > " + envFile + ".tmp && mv " + envFile + ".tmp " +
                                           envFile + "\necho recorded\n");
    WriteHook(hooks.file("20-hang"), "#!/bin/sh\necho waiting\nexec sleep 600\n");
    WriteServiceConfig(svc, hooks.path());
    Start();
    std::string page = Page(svc.port(), "hooks.cgi");
    EXPECT_TRUE(Has(page, hooks.file("10-record")) && Has(page, hooks.file("20-hang"))) << page;

    // The events page's test event reaches the hooks like a controller's.
    page = Post(svc.port(), "events.cgi", "func=SendTestEvent&level=W");
    ASSERT_TRUE(Has(page, "Test event")) << page;
    ASSERT_TRUE(kvotest::WaitUntil([&] { return !kvotest::ReadFileText(envFile).empty(); }, 20s)) << svc.Output();
    std::string env = kvotest::ReadFileText(envFile);
    for (const char* line : {"KVOOMX_LEVEL=warning\n", "KVOOMX_LEVEL_CODE=W\n", "KVOOMX_CONTROLLER=0\n",
                             "KVOOMX_TEXT=TEST: a test event of level warning"})
        EXPECT_TRUE(Has(env, line)) << line << " in " << env;
    EXPECT_FALSE(Has(env, "KVOOMX_HOME=")) << "nothing of the service's own environment: " << env;

    ASSERT_TRUE(kvotest::WaitUntil([&] {
        page = Page(svc.port(), "events.cgi");
        return Has(page, "kind=\"hook\" status=\"failed\"");
    }, 20s)) << page << svc.Output();
    EXPECT_TRUE(Has(page, "no end within 1000 ms") && Has(page, "killed: &quot;waiting&quot;")) << page;
    EXPECT_TRUE(Has(page, "kind=\"hook\" status=\"sent\"")) << page;
    EXPECT_TRUE(Has(page, "exit status 0: &quot;recorded&quot;")) << page;

    // A controller's event: the controller as the pages number it.
    std::remove(envFile.c_str());
    const std::string token = kvotest::UniqueToken("hook");
    ASSERT_EQ("ok", sim.Command("event 0 E now " + token));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return Has(kvotest::ReadFileText(envFile), token); }, 20s)) << svc.Output();
    env = kvotest::ReadFileText(envFile);
    EXPECT_TRUE(Has(env, "KVOOMX_CONTROLLER=1\n") && Has(env, "KVOOMX_LEVEL=error\n")) << env;
}

}  // namespace
