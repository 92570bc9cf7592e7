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

TEST_F(EmailPageTlsTest, AbsentSecurityFieldsKeepTheStoredValuesByteForByte) {
    std::string ca = Dir().file("mail-ca.pem");
    kvotest::WriteFileText(ca, "-----BEGIN CERTIFICATE-----\n");
    ASSERT_TRUE(SetSmtp("&security=tls&tlsverify=off&cafile=" + ca).Errors().empty());
    const std::string before = kvotest::ReadFileText(EmailPath());
    EXPECT_NE(std::string::npos, before.find("<szCAFile>" + ca + "</szCAFile>")) << before;
    // A script or an old cached page without the fields must not turn TLS off.
    PageDoc page = SetSmtp("");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_EQ(before, kvotest::ReadFileText(EmailPath()));
    EXPECT_EQ(ca, page.Text("setting/smtp/cafile"));

    // An empty file name goes back to the system's store; a file that can't be
    // read, or a relative name, is refused and changes nothing.
    for (const std::string& bad : {Dir().file("no-such-ca.pem"), std::string("mail-ca.pem"), Dir().path()}) {
        page = SetSmtp("&cafile=" + bad);
        ASSERT_EQ(1u, page.Errors().size()) << bad;
        EXPECT_EQ(0u, page.Errors()[0].find("The trusted authority file " + bad + " cannot be used (")) << page.Errors()[0];
        EXPECT_EQ(before, kvotest::ReadFileText(EmailPath())) << bad;
    }
    ASSERT_TRUE(SetSmtp("&cafile=").Errors().empty());
    EXPECT_STREQ("", Stored().szCAFile);
    EXPECT_EQ(SMTP_SECURITY_TLS, Stored().bySecurity);
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
    // Long enough for a server that never greets (2 s here) on a loaded machine.
    PageDoc TestMail(const std::string& to) {
        return Post("/email.cgi", "func=SendTestMail&testaddr=" + to, std::chrono::seconds(40));
    }
    kvotest::PostfixPeer peer;
};

TEST_F(EmailPageTlsMailTest, TestMailTellsWhyTlsFailedAndGoesOutWithTheCheckOff) {
    std::string to = peer.Address(kvotest::UniqueToken("pages-tls"));
    const std::string notSent = "Test mail to " + to + " not sent: ";

    // This system's authorities don't know the test authority.
    ASSERT_TRUE(Account(peer.starttlsPort, "&security=starttls").Errors().empty());
    PageDoc page = TestMail(to);
    EXPECT_EQ(std::vector<std::string>{notSent + "the server's certificate was not accepted: "
                                                 "unable to get local issuer certificate. If the mail server's "
                                                 "certificate comes from your organisation's own certificate "
                                                 "authority, name that authority's certificate file under "
                                                 "\"Trusted authority file\"."},
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

TEST_F(EmailPageTlsMailTest, PrivateAuthorityFileIsUsedAndMismatchedEncryptionIsExplained) {
    std::string to = peer.Address(kvotest::UniqueToken("pages-ca"));
    // The test authority named on the page: the certificate is checked and accepted.
    ASSERT_TRUE(Account(peer.starttlsPort, "&security=starttls&tlsverify=on&cafile=" + peer.caFile).Errors().empty());
    PageDoc page = TestMail(to);
    EXPECT_TRUE(page.Errors().empty()) << page.Errors().at(0);
    auto mail = peer.FindHeld(to);
    ASSERT_TRUE(mail.has_value());
    peer.Delete(mail->id);

    // TLS from the start on the STARTTLS port: the page suggests STARTTLS.
    ASSERT_TRUE(Account(peer.starttlsPort, "&security=tls").Errors().empty());
    page = TestMail(to);
    ASSERT_EQ(1u, page.Errors().size()) << page.body;
    EXPECT_NE(std::string::npos, page.Errors()[0].find("wrong version number")) << page.Errors()[0];
    EXPECT_NE(std::string::npos, page.Errors()[0].find("choose \"STARTTLS\"")) << page.Errors()[0];

    // Plain text on the TLS port: no greeting ever comes; the page suggests TLS.
    ASSERT_TRUE(Account(peer.tlsPort, "&security=none").Errors().empty());
    page = TestMail(to);
    ASSERT_EQ(1u, page.Errors().size());
    EXPECT_NE(std::string::npos, page.Errors()[0].find("choose \"TLS from the start\"")) << page.Errors()[0];
    EXPECT_FALSE(peer.AnyHeldWith(to));
}

}  // namespace
