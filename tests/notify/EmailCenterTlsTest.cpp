// Connection security in the e-mail file: a file written before it existed loads
// and sends as before, the elements appear only once TLS is chosen, and event
// mails go through the postfix test peer with the security the file names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "config/ConfigTestSupport.h"
#include "mail/Base64.h"
#include "mail/PostfixPeer.h"
#include "notify/EmailCenter.h"

namespace {

using kvotest::ReadFileText;
using kvotest::WriteFileText;

class EmailCenterTls : public ::testing::Test {
protected:
    void SetUp() override {
        center.SetLogImp(&log);
        path = dir.file("kvoomxemail.conf");
        center.InitEmailCenter(path);
    }
    void TearDown() override {
        for (auto& id : held) peer.Delete(id);
    }

    bool LoadPeer(bool tls) {
        std::string why;
        bool ok = peer.Load(&why) && (!tls || peer.LoadTls(&why));
        if (!ok) skipWhy = why;
        return ok;
    }

    // The file exactly as versions without connection security wrote it.
    std::string OldFile(int port, const std::string& token) {
        char password[128] = {};
        Base64::Base64Encode(password, peer.password.data(), static_cast<int>(peer.password.size()));
        return "<?xml version=\"1.0\" ?>\n<root>\n"
               "    <byAuthType>0</byAuthType>\n    <byAuth>1</byAuth>\n"
               "    <szLoginName>" + peer.user + "</szLoginName>\n"
               "    <szMailFrom>raid@sender.example</szMailFrom>\n"
               "    <szPassword>" + std::string(password) + "</szPassword>\n"
               "    <szSMTPServer>127.0.0.1</szSMTPServer>\n"
               "    <uPort>" + std::to_string(port) + "</uPort>\n"
               "    <Rcpt>\n        <recipient>\n            <byLevel>7</byLevel>\n"
               "            <szMailAddress>" + peer.Address(token) + "</szMailAddress>\n"
               "            <szName>Ops</szName>\n        </recipient>\n    </Rcpt>\n</root>\n";
    }

    std::string HeldText(const std::string& token) {
        auto mail = peer.FindHeld(token);
        if (!mail) return std::string();
        held.push_back(mail->id);
        return mail->text;
    }

    kvotest::TempDir dir;
    std::string path;
    kvotest::CapturedLog log;
    EmailCenter center;
    kvotest::PostfixPeer peer;
    std::vector<std::string> held;
    std::string skipWhy;
};

TEST_F(EmailCenterTls, FileWrittenBeforeTlsLoadsAndSendsAsBefore) {
    if (!LoadPeer(false)) GTEST_SKIP() << "postfix test peer unavailable: " << skipWhy;
    std::string token = kvotest::UniqueToken("oldfile");
    WriteFileText(path, OldFile(peer.port, token));
    SMTP_SERVER_INFO info;
    info.bySecurity = 9;  // overwritten by what the file says: nothing
    info.byTlsFlags = 9;
    ASSERT_TRUE(center.GetSMTPServer(&info));
    EXPECT_EQ(SMTP_SECURITY_NONE, info.bySecurity);
    EXPECT_EQ(0, info.byTlsFlags);

    center.EventArrived('E', ("Volume failed " + token).c_str());
    std::string text = HeldText(token);
    EXPECT_NE(text.find("with ESMTPA"), std::string::npos) << text;  // logged in, plain text
    EXPECT_EQ(0, log.Count(LOG_ERROR, "not delivered"));
}

TEST_F(EmailCenterTls, SecurityElementsAppearOnlyOnceChosen) {
    SMTP_SERVER_INFO info;
    snprintf(info.szSMTPServer, sizeof info.szSMTPServer, "mail.example.com");
    info.uPort = 587;
    ASSERT_TRUE(center.SetSMTPServer(&info));
    std::string plain = ReadFileText(path);
    EXPECT_EQ(plain.find("bySecurity"), std::string::npos) << plain;
    EXPECT_EQ(plain.find("byTlsFlags"), std::string::npos) << plain;

    info.bySecurity = SMTP_SECURITY_STARTTLS;
    info.byTlsFlags = SMTP_TLS_NO_VERIFY;
    ASSERT_TRUE(center.SetSMTPServer(&info));
    std::string secured = ReadFileText(path);
    EXPECT_NE(secured.find("    <uPort>587</uPort>\n    <bySecurity>1</bySecurity>\n    <byTlsFlags>1</byTlsFlags>\n"),
              std::string::npos)
        << secured;
    SMTP_SERVER_INFO back;
    ASSERT_TRUE(center.GetSMTPServer(&back));
    EXPECT_EQ(SMTP_SECURITY_STARTTLS, back.bySecurity);
    EXPECT_EQ(SMTP_TLS_NO_VERIFY, back.byTlsFlags);

    // Back to plain text with the check on: the elements stay and say so.
    info.bySecurity = SMTP_SECURITY_NONE;
    info.byTlsFlags = 0;
    ASSERT_TRUE(center.SetSMTPServer(&info));
    EXPECT_NE(ReadFileText(path).find("<bySecurity>0</bySecurity>\n    <byTlsFlags>0</byTlsFlags>"), std::string::npos);
    ASSERT_TRUE(center.GetSMTPServer(&back));
    EXPECT_EQ(SMTP_SECURITY_NONE, back.bySecurity);
    EXPECT_EQ(0, back.byTlsFlags);
}

TEST_F(EmailCenterTls, EventMailUsesTheFilesSecurityAndLogsTlsFailures) {
    if (!LoadPeer(true)) GTEST_SKIP() << "postfix TLS test peer unavailable: " << skipWhy;
    std::string token = kvotest::UniqueToken("filetls");
    WriteFileText(path, OldFile(peer.starttlsPort, token));
    SMTP_SERVER_INFO info;
    ASSERT_TRUE(center.GetSMTPServer(&info));

    // The system's authorities do not know the test authority: refused, and the log says why.
    info.bySecurity = SMTP_SECURITY_STARTTLS;
    ASSERT_TRUE(center.SetSMTPServer(&info));
    center.EventArrived('E', ("refused " + token).c_str());
    EXPECT_EQ(1, log.Count(LOG_ERROR, "the server's certificate was not accepted: unable to get local issuer"));

    // With the check off (a local relay with its own certificate) the mail goes out over TLS.
    info.byTlsFlags = SMTP_TLS_NO_VERIFY;
    ASSERT_TRUE(center.SetSMTPServer(&info));
    center.EventArrived('E', ("accepted " + token).c_str());
    std::string text = HeldText("accepted " + token);
    EXPECT_NE(text.find("with ESMTPSA"), std::string::npos) << text;  // TLS and login
    EXPECT_FALSE(peer.AnyHeldWith("refused " + token));
}

}  // namespace
