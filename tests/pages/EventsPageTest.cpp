// The events page over real sockets: its XML and its rendering for browsers
// (each mail's fate in words, the trap receivers, the empty state, paging), the
// "send again" and test-event actions, and the cross-site refusal they share
// with every other form.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ledger/DeliveryQueue.h"
#include "ledger/EventLedger.h"
#include "notify/EmailCenter.h"
#include "notify/EventDispatcher.h"
#include "notify/KvoSnmpTrap.h"
#include "pages/WebServerFixture.h"

namespace {

using kvotest::HttpAnswer;

class EventsPageTest : public kvotest::WebServerFixture {
protected:
    void SetUp() override {
        WebServerFixture::SetUp();
        ledger = std::make_shared<EventLedger>();
        ASSERT_TRUE(ledger->Open(m_tmp.file("events.db")));
        mail.InitEmailCenter(m_tmp.file("kvoomxemail.conf"));
        dispatcher = std::make_shared<EventDispatcher>(trap, mail, ledger, nullptr);
        StartServer().m_pEvents = dispatcher;
    }

    int64_t Record(const std::string& text, const std::vector<std::pair<std::string, DeliveryStatus>>& mails) {
        LedgerEvent e;
        e.received = EventLedger::NowMs();
        e.controller = 1;
        e.level = 'E';
        e.eventTime = "2009-03-07 14:05:09";
        e.text = text;
        e.message = EventDispatcher::ComposeMessage(e.eventTime, 1, text);
        e.traps = {"127.0.0.1:162"};
        for (const auto& m : mails) {
            LedgerDelivery d;
            d.kind = "mail";
            d.target = m.first;
            d.nextAttempt = e.received;
            e.deliveries.push_back(d);
        }
        int64_t id = ledger->Record(e);
        auto stored = *ledger->Event(id);
        for (size_t i = 0; i < mails.size(); ++i) {
            stored.deliveries[i].status = mails[i].second;
            stored.deliveries[i].attempts = 1;
            stored.deliveries[i].lastReason = mails[i].second == DeliveryStatus::Sent ? "" : "421 4.3.2 busy";
            if (mails[i].second == DeliveryStatus::Failed) stored.deliveries[i].lastReason = "550 5.1.1 unknown";
        }
        ledger->Update(stored.deliveries);
        return id;
    }

    HttpAnswer Browse(const std::string& target) {
        return Get(target, std::string("Accept: ") + kvotest::kBrowserAccept + "\r\n");
    }
    HttpAnswer Act(const std::string& body) {
        return Post("/events.cgi", body, "Origin: " + Origin() + "\r\n");
    }

    KvoSnmpTrap trap;  // no receivers
    EmailCenter mail;
    std::shared_ptr<EventLedger> ledger;
    std::shared_ptr<EventDispatcher> dispatcher;
};

TEST_F(EventsPageTest, EachMailsFateAndTheTrapsAreShownNewestFirst) {
    HttpAnswer empty = Browse("/events.cgi");
    EXPECT_EQ("HTTP/1.0 200 OK", empty.status);
    EXPECT_NE(std::string::npos, empty.body.find("No events have been recorded yet.")) << empty.body;

    Record("Fan 2 failure", {{"a@example.com", DeliveryStatus::Sent},
                             {"b@example.com", DeliveryStatus::Pending},
                             {"c@example.com", DeliveryStatus::Failed}});
    Record("Drive 3 failed", {});
    // A webhook's fate reads like a mail's, without the URL's login or query.
    LedgerEvent hooked;
    hooked.received = EventLedger::NowMs();
    hooked.text = "Battery low";
    LedgerDelivery webhook;
    webhook.kind = "webhook";
    webhook.target = "generic http://ops:pw@127.0.0.1:8080/in?token=abc";
    hooked.deliveries.push_back(webhook);
    auto stored = *ledger->Event(ledger->Record(hooked));
    stored.deliveries[0].status = DeliveryStatus::Failed;
    stored.deliveries[0].lastReason = "the server answered 404";
    ledger->Update(stored.deliveries);
    HttpAnswer page = Browse("/events.cgi");
    const std::string& html = page.body;
    EXPECT_NE(std::string::npos, html.find("a@example.com: sent")) << html;
    size_t retry = html.find("b@example.com: will retry at ");
    ASSERT_NE(std::string::npos, retry) << html;
    EXPECT_NE(std::string::npos, html.find(" (421 4.3.2 busy)", retry));
    EXPECT_NE(std::string::npos, html.find("c@example.com: failed (550 5.1.1 unknown)")) << html;
    EXPECT_NE(std::string::npos, html.find("127.0.0.1:162"));
    EXPECT_LT(html.find("Drive 3 failed"), html.find("Fan 2 failure")) << "newest first";
    EXPECT_NE(std::string::npos, html.find("No mail"));
    EXPECT_NE(std::string::npos, html.find("Webhook http://127.0.0.1:8080/in (generic): failed (the server answered 404)"))
        << html;
    EXPECT_EQ(std::string::npos, html.find("token=abc"));
    EXPECT_EQ(std::string::npos, html.find("ops:pw"));
    // Every page links to the events page.
    for (const char* other : {"/controllers.cgi", "/snmp.cgi", "/email.cgi"})
        EXPECT_NE(std::string::npos, Browse(other).body.find("href=\"events.cgi\"")) << other;
}

TEST_F(EventsPageTest, LongHistoriesArePaged) {
    for (int i = 0; i < 60; ++i) Record("event " + std::to_string(i), {});
    std::string first = Get("/events.cgi").body;
    EXPECT_NE(std::string::npos, first.find("total=\"60\" offset=\"0\""));
    EXPECT_NE(std::string::npos, first.find("<text>event 59</text>"));
    EXPECT_EQ(std::string::npos, first.find("<text>event 9</text>")) << "only 50 on a page";
    EXPECT_NE(std::string::npos, Browse("/events.cgi").body.find("href=\"events.cgi?offset=50\""));
    std::string second = Get("/events.cgi?offset=50").body;
    EXPECT_NE(std::string::npos, second.find("<text>event 9</text>"));
    EXPECT_EQ(std::string::npos, second.find("<text>event 10</text>"));
    EXPECT_NE(std::string::npos, Browse("/events.cgi?offset=50").body.find("href=\"events.cgi?offset=0\""));
    EXPECT_NE(std::string::npos, Get("/events.cgi?offset=junk").body.find("offset=\"0\""));
}

TEST_F(EventsPageTest, SendAgainAndTestEventsAreFormsLikeTheOthers) {
    int64_t id = Record("Fan 2 failure", {{"a@example.com", DeliveryStatus::Sent},
                                          {"c@example.com", DeliveryStatus::Failed}});
    std::string body = "func=ResendEvent&event=" + std::to_string(id);
    HttpAnswer refused = Post("/events.cgi", body, "Origin: http://evil.example\r\n");
    EXPECT_EQ("HTTP/1.0 403 Forbidden", refused.status);
    EXPECT_EQ(DeliveryStatus::Failed, ledger->Event(id)->deliveries[1].status) << "nothing changed";

    HttpAnswer resent = Act(body);
    EXPECT_NE(std::string::npos, resent.body.find("are sent again now")) << resent.body;
    auto event = ledger->Event(id);
    EXPECT_EQ(DeliveryStatus::Sent, event->deliveries[0].status) << "the accepted one is not mailed again";
    EXPECT_EQ(DeliveryStatus::Pending, event->deliveries[1].status);
    EXPECT_NE(std::string::npos, Act("func=ResendEvent&event=999").body.find("No such event"));

    testing::internal::CaptureStdout();
    HttpAnswer test = Act("func=SendTestEvent&level=W");
    testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, test.body.find("Test event ")) << test.body;
    auto newest = ledger->Recent(0, 1);
    ASSERT_EQ(1u, newest.size());
    EXPECT_EQ('W', newest[0].level);
    EXPECT_EQ(0u, newest[0].text.find("TEST: "));
    EXPECT_NE(std::string::npos, Act("func=SendTestEvent&level=X").body.find("Choose the level"));
}

}  // namespace
