// The whole service with its event ledger: kvoomxsvr on the simulator, traps to
// snmptrapd, mail to postfix through a forwarder of the test's own that plays a
// stopped mail server; a dripping mail server; a pulled controller. Timings
// (sweep pause, first retry, mail bound) are shortened in kvoomxsvr.conf.
// GCC 12 warns falsely inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>

#include "RecordText.h"
#include "PeerProcess.h"
#include "SimulatorProcess.h"
#include "SnmpTrapdProcess.h"
#include "TcpForwarder.h"
#include "mail/PostfixPeer.h"
#include "notify/EmailCenter.h"
#include "server/ServiceProcess.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// kvoomxsvr.conf with no relays, one trap receiver for every level, and short timings.
void WriteServiceConfig(kvotest::ServiceProcess& svc, int trapPort, int mailBoundSeconds = 120) {
    char conf[2048];
    std::snprintf(conf, sizeof conf,
                  "<root>\n<configport>%x</configport>\n"
                  "<controller0><httpport>0</httpport><cliport>0</cliport></controller0>\n"
                  "<controller1><httpport>0</httpport><cliport>0</cliport></controller1>\n"
                  "<snmp><trap><levelflag>7</levelflag><trap1><ip>127.0.0.1</ip><port>%x</port></trap1></trap></snmp>\n"
                  "<events><sweeppause>12c</sweeppause><firstretry>1</firstretry><maxretry>2</maxretry>"
                  "<silentvisits>3</silentvisits><mailbound>%x</mailbound></events>\n</root>\n",
                  svc.port(), trapPort, mailBoundSeconds);
    kvotest::WriteFileText(svc.home() + "/kvoomxsvr.conf", conf);
}

void WriteMailConfig(const std::string& home, int port, const std::vector<std::string>& recipients,
                     const kvotest::PostfixPeer* login) {
    EmailCenter setup;
    setup.InitEmailCenter(home + "/kvoomxemail.conf");
    SMTP_SERVER_INFO info;
    CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
    info.uPort = static_cast<uint16_t>(port);
    if (login) {
        info.byAuth = SMTP_AUTH_LOGIN;
        CopyField(info.szLoginName, sizeof info.szLoginName, login->user);
        CopyField(info.szPassword, sizeof info.szPassword, login->password);
    }
    CopyField(info.szMailFrom, sizeof info.szMailFrom, "raid-monitor@sender.example");
    ASSERT_TRUE(setup.SetSMTPServer(&info));
    for (const auto& address : recipients) {
        _MAIL_RECIPIENT_INFO r;
        CopyField(r.szMailAddress, sizeof r.szMailAddress, address);
        CopyField(r.szName, sizeof r.szName, "Ops");
        r.byLevel = 0x07;
        ASSERT_TRUE(setup.EditRcpt(&r, RCPT_EDIT_ADD));
    }
}

// One HTTP/1.0 request to the configuration server; the whole answer.
std::string Http(int port, const std::string& request, std::chrono::milliseconds limit = 10s) {
    int fd = kvotest::ConnectLoopback(port);
    if (fd < 0) return "";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer = kvotest::ReadAll(fd, limit);
    close(fd);
    return answer;
}

std::string EventsPage(int port) { return Http(port, "GET /events.cgi HTTP/1.0\r\n\r\n"); }

std::string Post(int port, const std::string& path, const std::string& body, std::chrono::milliseconds limit = 10s) {
    return Http(port,
                "POST /" + path + " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body,
                limit);
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

double Metric(int port, const std::string& series) {
    return kvotest::SampleValue(kvotest::HttpGet(port, "/metrics").body, series);
}
const std::string kMailRetrying = "kvoomx_deliveries_total{kind=\"mail\",result=\"retrying\"}";
const std::string kMailSent = "kvoomx_deliveries_total{kind=\"mail\",result=\"sent\"}";
const std::string kQueuePending = "kvoomx_delivery_queue_pending";
const std::string kQueueAge = "kvoomx_delivery_queue_oldest_age_seconds";

class ServiceLedger : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ok()) << sim.Log();
        ASSERT_TRUE(trapd.Start()) << trapd.Output();
    }

    void Start(kvotest::ServiceProcess& svc) {
        svc.UseDriverDir(sim.dir());
        svc.Start({"-NODAEMON"});
        ASSERT_TRUE(kvotest::WaitUntil([&] { return svc.PortAccepts(); }, 15s)) << svc.Output();
    }

    void Stop(kvotest::ServiceProcess& svc) {
        kill(svc.pid(), SIGTERM);
        EXPECT_EQ(0, svc.WaitExit(15s)) << svc.Output();
        EXPECT_FALSE(Has(svc.Output(), "Sanitizer")) << svc.Output();
    }

    bool TrapWith(const std::string& text) { return Has(trapd.Output(), text); }

    kvotest::SimulatorProcess sim{2};
    kvotest::SnmpTrapdProcess trapd;
};

TEST_F(ServiceLedger, MailPendingWhileTheServerIsDownArrivesAfterARetryAndAfterARestartOnce) {
    kvotest::PostfixPeer peer;
    std::string why;
    ASSERT_TRUE(peer.Load(&why)) << "postfix test peer unavailable: " << why;
    kvotest::TcpForwarder smtp(peer.port);  // closed: a stopped mail server
    const std::string token = kvotest::UniqueToken("ledger");
    kvotest::ServiceProcess svc;
    WriteServiceConfig(svc, trapd.port());
    WriteMailConfig(svc.home(), smtp.port(), {peer.Address(token)}, &peer);

    // First event: the trap goes at once, the mail waits with its reason.
    ASSERT_EQ("ok", sim.Command("event 0 E now " + token + " first"));
    Start(svc);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return TrapWith(token + " first"); }, 15s)) << trapd.Output();
    std::string page;
    const std::string refused = "no connection to 127.0.0.1:" + std::to_string(smtp.port());
    ASSERT_TRUE(kvotest::WaitUntil([&] { return Has(page = EventsPage(svc.port()), refused); }, 10s)) << page;
    EXPECT_TRUE(Has(page, "status=\"retry\"")) << page;
    EXPECT_TRUE(Has(page, token + " first")) << page;
    EXPECT_TRUE(kvotest::WaitUntil([&] {
        return Has(svc.Output(), "not delivered yet through 127.0.0.1:" + std::to_string(smtp.port()));
    })) << svc.Output();
    // Monitoring sees the failed attempt and the waiting mail.
    EXPECT_GE(Metric(svc.port(), kMailRetrying), 1);
    EXPECT_EQ(0, Metric(svc.port(), kMailSent));
    EXPECT_EQ(1, Metric(svc.port(), kQueuePending));
    EXPECT_GT(Metric(svc.port(), kQueueAge), 0);

    // The server is back: the next retry delivers it.
    ASSERT_TRUE(smtp.Open());
    auto first = peer.FindHeld(token + " first");
    ASSERT_TRUE(first.has_value()) << svc.Output();
    peer.Delete(first->id);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return Has(page = EventsPage(svc.port()), "status=\"sent\""); })) << page;
    EXPECT_TRUE(kvotest::WaitUntil([&] { return Metric(svc.port(), kMailSent) == 1; })) << svc.Output();
    EXPECT_EQ(0, Metric(svc.port(), kQueuePending));
    EXPECT_EQ(0, Metric(svc.port(), kQueueAge));

    // Second event while the server is down again; the service stops before it
    // could deliver, and delivers it once after the restart.
    smtp.Close();
    ASSERT_EQ("ok", sim.Command("event 1 W now " + token + " second"));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return TrapWith(token + " second"); }, 15s)) << trapd.Output();
    ASSERT_TRUE(kvotest::WaitUntil([&] {
        page = EventsPage(svc.port());
        return Has(page, token + " second") && Has(page, "status=\"retry\"");
    })) << page;
    Stop(svc);
    int connectionsBefore = smtp.Connections();
    ASSERT_TRUE(smtp.Open());
    Start(svc);
    auto second = peer.FindHeld(token + " second");
    ASSERT_TRUE(second.has_value()) << svc.Output();
    peer.Delete(second->id);
    ASSERT_TRUE(kvotest::WaitUntil([&] {
        page = EventsPage(svc.port());
        return !Has(page, "status=\"retry\"");
    })) << page;
    EXPECT_EQ(connectionsBefore + 1, smtp.Connections()) << "delivered once, after the restart";
    EXPECT_FALSE(peer.AnyHeldWith(token)) << "no duplicate";
    Stop(svc);
}

// A mail server that greets one byte per second and never finishes.
class DrippingServer {
public:
    DrippingServer() : listener_(kvotest::ListenLoopback(8, port_)) {
        thread_ = std::thread([this] {
            std::vector<int> clients;
            while (!stop_) {
                pollfd p{listener_, POLLIN, 0};
                if (poll(&p, 1, 1000) > 0) {
                    int c = accept(listener_, nullptr, nullptr);
                    if (c >= 0) clients.push_back(c), ++connections_;
                }
                for (int c : clients) send(c, "x", 1, MSG_NOSIGNAL);
            }
            for (int c : clients) close(c);
        });
    }
    ~DrippingServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    int port() const { return port_; }
    int connections() const { return connections_; }

private:
    int port_ = 0;
    int listener_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
};

TEST_F(ServiceLedger, ADrippingMailServerHoldsUpNeitherTrapsNorPages) {
    DrippingServer drip;
    const std::string token = kvotest::UniqueToken("drip");
    kvotest::ServiceProcess svc;
    // 3 s per reply instead of 10 s: the test mail gives up sooner, the event
    // mail still runs into its 2 s bound first.
    svc.UseTimings("startpause=0,mailwait=3000");
    WriteServiceConfig(svc, trapd.port(), 2);
    WriteMailConfig(svc.home(), drip.port(), {"ops@example.com"}, nullptr);
    Start(svc);

    ASSERT_EQ("ok", sim.Command("event 0 E now " + token + " on the first"));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return drip.connections() == 1; }, 15s)) << svc.Output();
    // The delivery is held by the dripping server; the poller goes on.
    auto queued = Clock::now();
    ASSERT_EQ("ok", sim.Command("event 1 E now " + token + " on the second"));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return TrapWith(token + " on the second"); }, 10s)) << trapd.Output();
    EXPECT_LT(Clock::now() - queued, 3s) << "within about one sweep";

    // A test mail to the same server: other pages answer meanwhile.
    auto testMail = std::async(std::launch::async, [&] {
        return Post(svc.port(), "email.cgi", "func=SendTestMail&testaddr=ops%40example.com", 30s);
    });
    ASSERT_TRUE(kvotest::WaitUntil([&] { return drip.connections() >= 2; }, 10s));
    auto asked = Clock::now();
    std::string page = EventsPage(svc.port());
    EXPECT_LT(Clock::now() - asked, 2s);
    EXPECT_TRUE(Has(page, token + " on the second")) << page;
    std::string controllers = Http(svc.port(), "GET /controllers.cgi HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(Has(controllers, "200 OK")) << controllers;
    EXPECT_LT(Clock::now() - asked, 3s);

    // The event mail fails within its 2 s bound, with the reason logged.
    ASSERT_TRUE(kvotest::WaitUntil([&] { return Has(svc.Output(), "the delivery took longer than 2 s"); }, 15s))
        << svc.Output();
    EXPECT_TRUE(Has(testMail.get(), "not sent")) << "the test mail failed too";
    Stop(svc);
}

TEST_F(ServiceLedger, APulledControllerRaisesAnEventAndItsReturnAnother) {
    kvotest::ServiceProcess svc;
    WriteServiceConfig(svc, trapd.port());
    Start(svc);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return Has(EventsPage(svc.port()), "answering=\"1\""); }, 10s));

    auto pulled = Clock::now();
    ASSERT_EQ("ok", sim.Command("pull 1"));
    // Three failed visits at 0.3 s apart: well within 10 s.
    ASSERT_TRUE(kvotest::WaitUntil([&] { return TrapWith("Controller 2: does not answer since"); }, 10s))
        << trapd.Output() << svc.Output();
    std::printf("pulled controller reported after %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - pulled).count()));
    std::string page = EventsPage(svc.port());
    EXPECT_TRUE(Has(page, "<controller number=\"2\" answering=\"0\"")) << page;
    EXPECT_TRUE(Has(page, "<controller number=\"1\" answering=\"1\"")) << page;

    ASSERT_EQ("ok", sim.Command("plug 1"));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return TrapWith("Controller 2: answers again"); }, 10s)) << trapd.Output();
    EXPECT_EQ(2u, trapd.Records().size()) << "one event each way";

    // The test event goes through the same path: a trap marked as a test.
    std::string answer = Post(svc.port(), "events.cgi", "func=SendTestEvent&level=W");
    EXPECT_TRUE(Has(answer, "Test event")) << answer;
    ASSERT_TRUE(kvotest::WaitUntil([&] { return TrapWith("TEST: a test event of level warning"); }, 10s))
        << trapd.Output();
    page = EventsPage(svc.port());
    EXPECT_TRUE(Has(page, "TEST: a test event of level warning")) << page;
    Stop(svc);
}

}  // namespace
