// Connection security on the e-mail page over real sockets: the two fields
// stored, shown and defaulting to the safe choice, and the test mail through
// the postfix TLS listeners telling why TLS failed.
#include <string>

#include <gtest/gtest.h>

#include "PageServerFixture.h"
#include "mail/PostfixPeer.h"

namespace {

using kvotest::PageDoc;

class EmailPageTlsTest : public kvotest::PageServerFixture {
protected:
    static PageDoc SetSmtp(const std::string& fields) {
        return Post("/email.cgi", "func=SetSmtp&smtpadd=mail.example.org&fromadd=raid%40example.org&lognamedd="
                                  "raid&passdd=pw&port=587" + fields);
    }
    static SMTP_SERVER_INFO Stored() {
        SMTP_SERVER_INFO info;
        EXPECT_TRUE(Email().GetSMTPServer(&info));
        return info;
    }
};

TEST_F(EmailPageTlsTest, SecurityFieldsAreStoredShownAndAbsentMeansSafe) {
    // A form without the fields (an older page, a script): plain text as before, check on.
    PageDoc page = SetSmtp("");
    ASSERT_TRUE(page.Errors().empty());
    EXPECT_EQ(SMTP_SECURITY_NONE, Stored().bySecurity);
    EXPECT_EQ(0, Stored().byTlsFlags);
    EXPECT_EQ("none", page.Text("setting/smtp/security"));
    EXPECT_EQ("on", page.Text("setting/smtp/tlsverify"));
    EXPECT_EQ(std::string::npos, kvotest::ReadFileText(EmailPath()).find("bySecurity"));

    page = SetSmtp("&security=starttls&tlsverify=off");
    ASSERT_TRUE(page.Errors().empty());
    EXPECT_EQ(SMTP_SECURITY_STARTTLS, Stored().bySecurity);
    EXPECT_EQ(SMTP_TLS_NO_VERIFY, Stored().byTlsFlags);
    EXPECT_EQ("starttls", page.Text("setting/smtp/security"));
    EXPECT_EQ("off", page.Text("setting/smtp/tlsverify"));

    // Any value but "off" keeps the check on.
    page = SetSmtp("&security=tls&tlsverify=yes");
    EXPECT_EQ(SMTP_SECURITY_TLS, Stored().bySecurity);
    EXPECT_EQ(0, Stored().byTlsFlags);
    EXPECT_EQ("tls", Get("/email.cgi").Text("setting/smtp/security"));

    // An unknown mode is refused and nothing changes.
    page = SetSmtp("&security=ssl3&tlsverify=off");
    EXPECT_EQ(std::vector<std::string>{"Parameter error."}, page.Errors());
    EXPECT_EQ(SMTP_SECURITY_TLS, Stored().bySecurity);
    EXPECT_EQ(0, Stored().byTlsFlags);
}

class EmailPageTlsMailTest : public EmailPageTlsTest {
protected:
    void SetUp() override {
        EmailPageTlsTest::SetUp();
        std::string why;
        if (!peer.Load(&why) || !peer.LoadTls(&why)) GTEST_SKIP() << "postfix TLS test peer unavailable: " << why;
    }
    PageDoc Account(int port, const std::string& security) {
        return Post("/email.cgi", "func=SetSmtp&smtpadd=127.0.0.1&fromadd=" + peer.Address("raid") +
                                      "&lognamedd=" + peer.user + "&passdd=" + peer.password +
                                      "&port=" + std::to_string(port) + "&enable=on" + security);
    }
    PageDoc TestMail(const std::string& to) { return Post("/email.cgi", "func=SendTestMail&testaddr=" + to); }
    kvotest::PostfixPeer peer;
};

TEST_F(EmailPageTlsMailTest, TestMailTellsWhyTlsFailedAndGoesOutWithTheCheckOff) {
    std::string to = peer.Address(kvotest::UniqueToken("pages-tls"));
    const std::string notSent = "Test mail to " + to + " not sent: ";

    // This system's authorities don't know the test authority.
    ASSERT_TRUE(Account(peer.starttlsPort, "&security=starttls").Errors().empty());
    PageDoc page = TestMail(to);
    EXPECT_EQ(std::vector<std::string>{notSent + "the server's certificate was not accepted: "
                                                 "unable to get local issuer certificate."},
              page.Errors());

    // STARTTLS asked of a server that doesn't offer it.
    ASSERT_TRUE(Account(peer.port, "&security=starttls").Errors().empty());
    page = TestMail(to);
    EXPECT_EQ(std::vector<std::string>{notSent + "the server does not offer STARTTLS; no login and no mail were sent."},
              page.Errors());
    EXPECT_FALSE(peer.AnyHeldWith(to));

    // A certificate for another name, accepted once the check is off.
    ASSERT_TRUE(Account(peer.wrongHostPort, "&security=tls&tlsverify=off").Errors().empty());
    page = TestMail(to);
    EXPECT_TRUE(page.Errors().empty()) << page.Errors().at(0);
    EXPECT_EQ(1u, page.Messages("info").size());
    auto mail = peer.FindHeld(to);
    ASSERT_TRUE(mail.has_value());
    EXPECT_NE(std::string::npos, mail->text.find("with ESMTPSA")) << mail->text;
    peer.Delete(mail->id);
}

}  // namespace
