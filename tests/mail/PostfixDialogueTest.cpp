// The SMTP client against a real server: postfix with Cyrus SASL on 127.0.0.1,
// which verifies every mechanism itself and holds each accepted mail.
// GCC 12 warns falsely inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "RecordText.h"
#include "PostfixPeer.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpAuth.h"
#include "server/SocketClient.h"

namespace {

using kvotest::PostfixPeer;
using kvotest::UniqueToken;

_MAIL_RECIPIENT_INFO Recipient(const std::string& address, const std::string& name, uint8_t level) {
    _MAIL_RECIPIENT_INFO r;
    CopyField(r.szMailAddress, sizeof r.szMailAddress, address);
    CopyField(r.szName, sizeof r.szName, name);
    r.byLevel = level;
    return r;
}

_MAIL_CONTENT Mail(uint8_t level, const std::string& subject, const std::string& body) {
    _MAIL_CONTENT m;
    m.byMailLevel = level;
    m.strSubject = subject;
    m.strBody = body;
    return m;
}

// The body of a held mail as postcat shows it: everything after the first empty line.
std::string BodyOf(const std::string& text) {
    auto at = text.find("\n\n");
    return at == std::string::npos ? std::string() : text.substr(at + 2);
}

std::string HeaderLine(const std::string& text, const std::string& name) {
    std::smatch m;
    std::regex re("(^|\n)(" + name + ": [^\n]*)");
    return std::regex_search(text, m, re) ? m[2].str() : std::string();
}

class PostfixDialogueTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!peer.Load(&why)) GTEST_SKIP() << "postfix test peer unavailable: " << why;
    }

    void TearDown() override {
        for (auto& id : held) peer.Delete(id);
    }

    SMTP_SERVER_INFO Account(bool login, const std::string& password) {
        SMTP_SERVER_INFO info;
        CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
        info.uPort = static_cast<uint16_t>(peer.port);
        CopyField(info.szMailFrom, sizeof info.szMailFrom, "raid-monitor@sender.example");
        if (login) {
            info.byAuth = SMTP_AUTH_LOGIN;
            CopyField(info.szLoginName, sizeof info.szLoginName, peer.user);
            CopyField(info.szPassword, sizeof info.szPassword, password);
        }
        return info;
    }

    kvotest::HeldMail ExpectHeld(const std::string& token) {
        auto mail = peer.FindHeld(token);
        if (!mail) {
            ADD_FAILURE() << "no held mail carries " << token;
            return {};
        }
        held.push_back(mail->id);
        return *mail;
    }

    PostfixPeer peer;
    std::vector<std::string> held;
};

// Opens a connection, reads the greeting and sends EHLO; the flags tell what was offered.
struct EhloSession {
    explicit EhloSession(int port) : client("127.0.0.1", static_cast<unsigned short>(port), AF_INET, 10000000) {
        ok = client.GetStatus() == 1 && CheckCommandResponse(&client, 220) &&
             SendSmtpText(&client, "EHLO tester.example\r\n") &&
             GetLoginType(&client, 250, &plain, &login, &cram, &digest);
    }
    SocketClient client;
    bool ok = false, plain = false, login = false, cram = false, digest = false;
};

TEST_F(PostfixDialogueTest, EveryMechanismIsVerifiedByTheServer) {
    using Exchange = int (*)(Client*, SMTP_SERVER_INFO*);
    const std::pair<const char*, Exchange> mechanisms[] = {
        {"LOGIN", AuthLOGIN}, {"CRAM-MD5", AuthCRAM_MD5}, {"PLAIN", AuthPLAIN}, {"DIGEST-MD5", AuthDIGEST_MD5}};
    for (const auto& [name, exchange] : mechanisms) {
        SCOPED_TRACE(name);
        EhloSession session(peer.port);
        ASSERT_TRUE(session.ok);
        EXPECT_TRUE(session.plain && session.login && session.cram && session.digest);

        SMTP_SERVER_INFO wrong = Account(true, peer.password + "x");
        EXPECT_EQ(exchange(&session.client, &wrong), SMTP_ERR_AUTH_FAILED);
        // The refused exchange leaves the dialogue in step: the right password
        // works on the same connection, and the server then counts us as logged in.
        SMTP_SERVER_INFO right = Account(true, peer.password);
        EXPECT_EQ(exchange(&session.client, &right), 0);
        ASSERT_TRUE(SendSmtpText(&session.client, "AUTH PLAIN AAAA\r\n"));
        EXPECT_TRUE(CheckCommandResponse(&session.client, 503));  // already authenticated
    }
}

TEST_F(PostfixDialogueTest, AuthenticatedMailIsDeliveredWithItsHeaders) {
    std::string token = UniqueToken("auth");
    GenSMTP smtp(Account(true, peer.password));
    std::vector<_MAIL_RECIPIENT_INFO> list{Recipient(peer.Address("admin"), "Admin", 0x04)};
    _MAIL_CONTENT mail = Mail(0x04, "Controller error " + token, "Volume failed " + token);
    ASSERT_EQ(smtp.SendMail(list, 1, &mail), 0);

    auto held = ExpectHeld(token);
    EXPECT_NE(held.text.find("with ESMTPA"), std::string::npos) << held.text;  // logged in
    EXPECT_EQ(held.recipients, std::vector<std::string>{peer.Address("admin")});
    EXPECT_EQ(HeaderLine(held.text, "From"), "From: \"raid-monitor@sender.example\"<raid-monitor@sender.example>");
    EXPECT_EQ(HeaderLine(held.text, "To"), "To: Admin <" + peer.Address("admin") + ">");
    EXPECT_EQ(HeaderLine(held.text, "Subject"), "Subject: Controller error " + token);
    EXPECT_EQ(HeaderLine(held.text, "X-Mailer"), "X-Mailer: Velmora-SMTP v1.0");
    EXPECT_TRUE(std::regex_match(HeaderLine(held.text, "Date"),
                                 std::regex("Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] "
                                            "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                            "20[0-9][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [+-][0-9]{4}")))
        << held.text;
    EXPECT_TRUE(std::regex_match(HeaderLine(held.text, "Message-ID"), std::regex("Message-ID: <[^<>@ ]+@[^<>@ ]+>")))
        << held.text;
    EXPECT_EQ(BodyOf(held.text), "Volume failed " + token + "\n");
}

TEST_F(PostfixDialogueTest, HeloPathWithoutLogin) {
    std::string token = UniqueToken("helo");
    GenSMTP smtp(Account(false, ""));
    std::vector<_MAIL_RECIPIENT_INFO> list{Recipient(peer.Address("ops"), "Ops", 0x01)};
    _MAIL_CONTENT mail = Mail(0x01, token, "information");
    ASSERT_EQ(smtp.SendMail(list, 1, &mail), 0);
    auto held = ExpectHeld(token);
    // "with SMTP": greeted by HELO, no ESMTP and no login.
    EXPECT_NE(held.text.find("with SMTP id"), std::string::npos) << held.text;
}

TEST_F(PostfixDialogueTest, LevelMatchingAndRefusedRecipientsStillListedInTo) {
    std::string token = UniqueToken("levels");
    GenSMTP smtp(Account(true, peer.password));
    std::vector<_MAIL_RECIPIENT_INFO> list{
        Recipient(peer.Address("info-only"), "Info", 0x01),
        Recipient("outsider@elsewhere.example", "Outsider", 0x02),  // refused: relaying is denied
        Recipient(peer.Address("warn-err"), "WarnErr", 0x06),
    };
    _MAIL_CONTENT mail = Mail(0x02, token, "warning");
    ASSERT_EQ(smtp.SendMail(list, 1, &mail), 0);
    auto held = ExpectHeld(token);
    EXPECT_EQ(held.recipients, std::vector<std::string>{peer.Address("warn-err")});
    EXPECT_EQ(HeaderLine(held.text, "To"),
              "To: Outsider <outsider@elsewhere.example>,WarnErr <" + peer.Address("warn-err") + ">");
}

TEST_F(PostfixDialogueTest, TestMailUsesTheDefaultSubjectAndSetsTheInformationBit) {
    std::string address = peer.Address(UniqueToken("testmail"));
    GenSMTP smtp(Account(true, peer.password));
    _MAIL_RECIPIENT_INFO recipient = Recipient(address, "Tester", 0x04);
    ASSERT_EQ(smtp.TestMail(&recipient), 0);
    EXPECT_EQ(recipient.byLevel, 0x05);
    auto held = ExpectHeld(address);
    EXPECT_EQ(HeaderLine(held.text, "Subject"), "Subject: velmora tech raid system information");
    EXPECT_EQ(BodyOf(held.text), "This is a test mail.\n");
}

TEST_F(PostfixDialogueTest, DotLinesAndBareLineFeedsArriveIntact) {
    std::string token = UniqueToken("dots");
    GenSMTP smtp(Account(true, peer.password));
    std::vector<_MAIL_RECIPIENT_INFO> list{Recipient(peer.Address("ops"), "Ops", 0x04)};
    std::string body = ".first\n.\nafter a lone dot\r\n..two dots\n.\rlast line " + token;
    _MAIL_CONTENT mail = Mail(0x04, token, body);
    ASSERT_EQ(smtp.SendMail(list, 1, &mail), 0);
    auto held = ExpectHeld(token);
    EXPECT_EQ(BodyOf(held.text), ".first\n.\nafter a lone dot\n..two dots\n.\nlast line " + token + "\n");
}

TEST_F(PostfixDialogueTest, RefusalsGiveTheirStepCodes) {
    std::string token = UniqueToken("refused");
    _MAIL_CONTENT mail = Mail(0x01, token, "x");
    {
        SCOPED_TRACE("every mechanism refuses a wrong password: the last one tried counts");
        GenSMTP smtp(Account(true, "wrong-password"));
        std::vector<_MAIL_RECIPIENT_INFO> list{Recipient(peer.Address("ops"), "Ops", 0x01)};
        EXPECT_EQ(smtp.SendMail(list, 1, &mail), SMTP_ERR_AUTH_FAILED);
    }
    {
        SCOPED_TRACE("no recipient accepted");
        GenSMTP smtp(Account(true, peer.password));
        std::vector<_MAIL_RECIPIENT_INFO> list{Recipient("a@elsewhere.example", "A", 0x01),
                                               Recipient("b@elsewhere.example", "B", 0x01)};
        EXPECT_EQ(smtp.SendMail(list, 1, &mail), SMTP_ERR_NO_RECIPIENT);
    }
    {
        SCOPED_TRACE("sender refused");
        SMTP_SERVER_INFO info = Account(true, peer.password);
        CopyField(info.szMailFrom, sizeof info.szMailFrom, "not an address");
        GenSMTP smtp(info);
        std::vector<_MAIL_RECIPIENT_INFO> list{Recipient(peer.Address("ops"), "Ops", 0x01)};
        EXPECT_EQ(smtp.SendMail(list, 1, &mail), SMTP_ERR_MAIL_FROM);
    }
    EXPECT_FALSE(peer.AnyHeldWith(token));
}

TEST_F(PostfixDialogueTest, TestSmtpServerNeedsAGreeting) {
    GenSMTP smtp;
    EXPECT_TRUE(smtp.TestSmtpServer("127.0.0.1", static_cast<unsigned short>(peer.port)));
    EXPECT_FALSE(smtp.TestSmtpServer("127.0.0.1", static_cast<unsigned short>(kvotest::FreeTcpPort())));
}

}  // namespace
