// The SMTP client's bounds against a peer that answers slowly: a reply must
// arrive whole within its bound however it is split, and a live SmtpDeadline
// ends a whole dialogue whose every reply is in time on its own.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "mail/GenSMTP.h"
#include "mail/ScriptedSmtpServer.h"
#include "mail/SmtpDeadline.h"
#include "mail/SmtpReply.h"
#include "server/SocketClient.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(ReplyDeadline, ADrippedReplyGetsNoMoreThanItsBound) {
    kvotest::ScriptedSmtpServer server([](kvotest::ScriptedConnection& c) {
        for (char ch : std::string("220-drip drip")) {
            c.Send(std::string(1, ch));
            std::this_thread::sleep_for(150ms);
        }
    });
    SocketClient client("127.0.0.1", static_cast<unsigned short>(server.Port()), AF_INET, 5000000);
    ASSERT_EQ(1, client.GetStatus());
    SmtpReply reply;
    auto started = Clock::now();
    EXPECT_FALSE(reply.ReadFrom(&client, 1000000));
    auto took = Clock::now() - started;
    EXPECT_EQ(0, reply.Code());
    EXPECT_GE(took, 900ms);
    EXPECT_LT(took, 2s) << "each byte came well within the bound, the reply did not";
    client.Close();
}

TEST(ReplyDeadline, ADeadlineEndsADialogueWhoseRepliesAreEachInTime) {
    kvotest::ScriptedSmtpServer server([](kvotest::ScriptedConnection& c) {
        c.Send("220 slow but steady\r\n");
        c.Serve([](const std::string&) {
            std::this_thread::sleep_for(400ms);
            return std::string("250 ok\r\n");
        });
    });
    SMTP_SERVER_INFO info;
    std::strcpy(info.szSMTPServer, "127.0.0.1");
    info.uPort = static_cast<uint16_t>(server.Port());
    std::strcpy(info.szMailFrom, "raid@sender.example");
    _MAIL_RECIPIENT_INFO r;
    std::strcpy(r.szMailAddress, "ops@example.com");
    r.byLevel = 7;
    _MAIL_CONTENT content;
    content.byMailLevel = 4;
    content.strBody = "body";
    GenSMTP smtp(info);
    auto started = Clock::now();
    int result = 0;
    {
        SmtpDeadline whole(1000ms);
        result = smtp.SendMail({r}, 1, &content);
        EXPECT_TRUE(SmtpDeadline::Expired());
    }
    auto took = Clock::now() - started;
    EXPECT_NE(0, result);
    EXPECT_LT(took, 2s);
    EXPECT_FALSE(SmtpDeadline::Expired()) << "the bound ends with its scope";
}

}  // namespace
