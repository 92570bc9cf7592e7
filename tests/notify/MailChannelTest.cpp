// An event through the dispatcher, the ledger, the delivery queue and the mail
// channel to a scripted server that refuses one recipient with 550 and takes
// the other: one mail, the refusal recorded and logged, nothing retried.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "RecordText.h"
#include "TestSupport.h"
#include "config/ConfigTestSupport.h"
#include "ledger/DeliveryQueue.h"
#include "mail/ScriptedSmtpServer.h"
#include "notify/EmailCenter.h"
#include "notify/EventDispatcher.h"
#include "notify/KvoSnmpTrap.h"
#include "notify/MailChannel.h"

namespace {

using namespace std::chrono_literals;

TEST(MailChannel, ARefusedRecipientIsRecordedAndNeverRetriedTheAcceptedOneMailedOnce) {
    kvotest::ScriptedSmtpServer server([](kvotest::ScriptedConnection& c) {
        c.Send("220 scripted\r\n");
        c.Serve([](const std::string& line) -> std::string {
            if (line.rfind("RCPT TO:<gone@example.com>", 0) == 0)
                return "550 5.1.1 <gone@example.com>: Recipient address rejected: User unknown\r\n";
            if (line.rfind("DATA", 0) == 0) return "354 go ahead\r\n";
            if (line == "<data>") return "250 2.0.0 queued\r\n";
            return "250 ok\r\n";
        });
    });
    kvotest::TempDir dir;
    EmailCenter center;
    center.InitEmailCenter(dir.file("kvoomxemail.conf"));
    SMTP_SERVER_INFO info;
    CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
    info.uPort = static_cast<uint16_t>(server.Port());
    CopyField(info.szMailFrom, sizeof info.szMailFrom, "raid@sender.example");
    ASSERT_TRUE(center.SetSMTPServer(&info));
    for (const char* address : {"ops@example.com", "gone@example.com", "info-only@example.com"}) {
        _MAIL_RECIPIENT_INFO r;
        CopyField(r.szMailAddress, sizeof r.szMailAddress, address);
        CopyField(r.szName, sizeof r.szName, "Ops");
        r.byLevel = std::strcmp(address, "info-only@example.com") == 0 ? 0x01 : 0x07;
        ASSERT_TRUE(center.EditRcpt(&r, RCPT_EDIT_ADD));
    }

    auto ledger = std::make_shared<EventLedger>();
    ASSERT_TRUE(ledger->Open(dir.file("events.db")));
    DeliveryOptions options;
    options.firstRetry = 100ms;
    auto queue = std::make_shared<DeliveryQueue>(ledger, options);
    queue->AddChannel(std::make_shared<MailChannel>(center));
    KvoSnmpTrap trap;  // no receivers
    EventDispatcher dispatcher(trap, center, ledger, queue);
    testing::internal::CaptureStdout();
    queue->Start();
    PolledEvent event;
    event.controller = 0;
    event.level = 'E';
    event.eventTime = "2009-03-07 14:05:09";
    event.text = "Drive 3 failed";
    event.message = EventDispatcher::ComposeMessage(event.eventTime, 0, event.text);
    dispatcher.EventArrived(event);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return !ledger->NextDue().has_value(); }, 20s));
    server.Join();
    EXPECT_TRUE(queue->Stop());
    std::string console = testing::internal::GetCapturedStdout();

    auto recorded = ledger->Recent(0, 10);
    ASSERT_EQ(1u, recorded.size());
    EXPECT_EQ("At 2009-03-07 14:05:09 Controller 1:\r\n Drive 3 failed", recorded[0].message);
    ASSERT_EQ(2u, recorded[0].deliveries.size()) << "the information-only recipient has no delivery";
    EXPECT_EQ(DeliveryStatus::Sent, recorded[0].deliveries[0].status);
    EXPECT_EQ(DeliveryStatus::Failed, recorded[0].deliveries[1].status);
    EXPECT_EQ(1, recorded[0].deliveries[1].attempts);
    EXPECT_NE(std::string::npos, recorded[0].deliveries[1].lastReason.find("550 5.1.1 <gone@example.com>"));
    int mails = 0;
    for (const auto& line : server.Lines()) mails += line.rfind("MAIL FROM", 0) == 0;
    EXPECT_EQ(1, mails);
    EXPECT_NE(std::string::npos, server.Data().find("Drive 3 failed"));
    EXPECT_NE(std::string::npos,
              console.find("mail to gone@example.com failed through 127.0.0.1:" + std::to_string(server.Port()) +
                           ": the server refused the recipient: \"550 5.1.1"))
        << console;
}

}  // namespace

namespace {

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST(EventDispatcherMailFile, AMissingEmailFileIsLoggedOncePerChangeNotPerEvent) {
    kvotest::TempDir dir;
    EmailCenter center;
    center.InitEmailCenter(dir.file("kvoomxemail.conf"));
    auto ledger = std::make_shared<EventLedger>();
    ASSERT_TRUE(ledger->Open(dir.file("events.db")));
    KvoSnmpTrap trap;
    EventDispatcher dispatcher(trap, center, ledger, nullptr);
    PolledEvent event;
    event.level = 'E';
    event.text = "Drive 3 failed";
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) dispatcher.EventArrived(event);
    SMTP_SERVER_INFO info;
    CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
    ASSERT_TRUE(center.SetSMTPServer(&info));
    for (int i = 0; i < 3; ++i) dispatcher.EventArrived(event);
    std::string console = testing::internal::GetCapturedStdout();
    EXPECT_EQ(1, Count(console, "Events are not mailed: the e-mail file " + dir.file("kvoomxemail.conf") +
                                    " does not exist"))
        << console;
    EXPECT_EQ(1, Count(console, "can be read again: events are mailed")) << console;
    EXPECT_EQ(6u, ledger->EventCount()) << "every event is recorded, mailed or not";
}

}  // namespace
