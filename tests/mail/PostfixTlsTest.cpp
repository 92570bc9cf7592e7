// The SMTP client over TLS against postfix: STARTTLS and TLS from the start with
// a certificate from the set-up's test authority, and listeners whose
// certificate comes from an untrusted authority or names another host.
// GCC 12 warns falsely inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "RecordText.h"
#include "PostfixPeer.h"
#include "ScriptedSmtpServer.h"
#include "TestSupport.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpDeadline.h"
#include "mail/SmtpReply.h"
#include "mail/TlsClient.h"
#include "server/SocketClient.h"

namespace {

using kvotest::PostfixPeer;
using kvotest::UniqueToken;

_MAIL_RECIPIENT_INFO Recipient(const std::string& address) {
    _MAIL_RECIPIENT_INFO r;
    CopyField(r.szMailAddress, sizeof r.szMailAddress, address);
    CopyField(r.szName, sizeof r.szName, "Ops");
    r.byLevel = 0x07;
    return r;
}

_MAIL_CONTENT Mail(const std::string& subject, const std::string& body) {
    _MAIL_CONTENT m;
    m.byMailLevel = 0x04;
    m.strSubject = subject;
    m.strBody = body;
    return m;
}

std::string BodyOf(const std::string& text) {
    auto at = text.find("\n\n");
    return at == std::string::npos ? std::string() : text.substr(at + 2);
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class PostfixTlsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why;
        if (!peer.Load(&why) || !peer.LoadTls(&why)) GTEST_SKIP() << "postfix TLS test peer unavailable: " << why;
    }

    void TearDown() override {
        for (auto& id : held) peer.Delete(id);
    }

    SMTP_SERVER_INFO Account(int port, uint8_t security, const std::string& host = "127.0.0.1",
                             const std::string& password = "") {
        SMTP_SERVER_INFO info;
        CopyField(info.szSMTPServer, sizeof info.szSMTPServer, host);
        info.uPort = static_cast<uint16_t>(port);
        CopyField(info.szMailFrom, sizeof info.szMailFrom, "raid-monitor@sender.example");
        info.byAuth = SMTP_AUTH_LOGIN;
        CopyField(info.szLoginName, sizeof info.szLoginName, peer.user);
        CopyField(info.szPassword, sizeof info.szPassword, password.empty() ? peer.password : password);
        info.bySecurity = security;
        return info;
    }

    // Sends one mail carrying `token`; the client trusts the test authority.
    int Send(SMTP_SERVER_INFO info, const std::string& token, std::string* reason = nullptr,
             const SmtpOptions& options = SmtpOptions()) {
        GenSMTP smtp(info, options);
        smtp.SetTrustedAuthorities(peer.caFile);
        std::vector<_MAIL_RECIPIENT_INFO> list{Recipient(peer.Address("ops"))};
        _MAIL_CONTENT mail = Mail("TLS " + token, "Volume failed " + token);
        int result = smtp.SendMail(list, 1, &mail);
        if (reason) *reason = smtp.GetFailureReason();
        return result;
    }

    void ExpectHeld(const std::string& token) {
        auto mail = peer.FindHeld(token);
        if (!mail) {
            ADD_FAILURE() << "no held mail carries " << token;
            return;
        }
        held.push_back(mail->id);
    }

    PostfixPeer peer;
    std::vector<std::string> held;
};

// A connection secured by hand (STARTTLS or TLS from the start) and greeted with
// EHLO over TLS; the flags tell what the server offers there.
struct SecuredSession {
    SecuredSession(int port, bool starttls, const std::string& caFile) {
        auto socket = std::make_unique<SocketClient>("127.0.0.1", static_cast<unsigned short>(port), AF_INET,
                                                     SmtpDeadline::WaitBoundUs());
        if (socket->GetStatus() != 1) return;
        std::unique_ptr<Client> stream = std::move(socket);
        if (starttls) {
            SmtpReply ehlo;
            if (!CheckCommandResponse(stream.get(), 220) || !SendSmtpText(stream.get(), "EHLO tester.example\r\n") ||
                !ehlo.ReadFrom(stream.get()))
                return;
            authBeforeTls = Contains(ehlo.Text(), "AUTH");
            if (!SendSmtpText(stream.get(), "STARTTLS\r\n") || !CheckCommandResponse(stream.get(), 220)) return;
        }
        tls = std::make_unique<TlsClient>(std::move(stream));
        TlsSettings settings;
        settings.host = "127.0.0.1";
        settings.caFile = caFile;
        if (!tls->Handshake(settings)) return;
        if (!starttls && !CheckCommandResponse(tls.get(), 220)) return;
        ok = SendSmtpText(tls.get(), "EHLO tester.example\r\n") &&
             GetLoginType(tls.get(), 250, &plain, &login, &cram, &digest);
    }
    std::unique_ptr<TlsClient> tls;
    bool ok = false, authBeforeTls = false, plain = false, login = false, cram = false, digest = false;
};

TEST_F(PostfixTlsTest, EveryMechanismOverStartTlsAndOverTls) {
    using Exchange = int (*)(Client*, SMTP_SERVER_INFO*);
    const std::pair<const char*, Exchange> mechanisms[] = {
        {"LOGIN", AuthLOGIN}, {"CRAM-MD5", AuthCRAM_MD5}, {"PLAIN", AuthPLAIN}, {"DIGEST-MD5", AuthDIGEST_MD5}};
    for (bool starttls : {true, false}) {
        for (const auto& [name, exchange] : mechanisms) {
            SCOPED_TRACE(std::string(starttls ? "STARTTLS " : "TLS ") + name);
            SecuredSession session(starttls ? peer.starttlsPort : peer.tlsPort, starttls, peer.caFile);
            ASSERT_TRUE(session.ok);
            EXPECT_FALSE(session.authBeforeTls);  // the server keeps logins for TLS
            EXPECT_TRUE(session.plain && session.login && session.cram && session.digest);
            EXPECT_GE(session.tls->Version(), std::string("TLSv1.2"));

            SMTP_SERVER_INFO wrong = Account(0, SMTP_SECURITY_NONE, "127.0.0.1", peer.password + "x");
            EXPECT_EQ(exchange(session.tls.get(), &wrong), SMTP_ERR_AUTH_FAILED);
            SMTP_SERVER_INFO right = Account(0, SMTP_SECURITY_NONE);
            EXPECT_EQ(exchange(session.tls.get(), &right), 0);
            ASSERT_TRUE(SendSmtpText(session.tls.get(), "AUTH PLAIN AAAA\r\n"));
            EXPECT_TRUE(CheckCommandResponse(session.tls.get(), 503));  // already authenticated
        }
    }
}

TEST_F(PostfixTlsTest, MailArrivesIntactOverStartTlsAndOverTls) {
    for (bool starttls : {true, false}) {
        SCOPED_TRACE(starttls ? "STARTTLS" : "TLS");
        std::string token = UniqueToken(starttls ? "starttls" : "tls");
        SMTP_SERVER_INFO info = Account(starttls ? peer.starttlsPort : peer.tlsPort,
                                        starttls ? SMTP_SECURITY_STARTTLS : SMTP_SECURITY_TLS);
        GenSMTP smtp(info);
        smtp.SetTrustedAuthorities(peer.caFile);
        std::vector<_MAIL_RECIPIENT_INFO> list{Recipient(peer.Address("ops"))};
        std::string body = ".first\n.\nafter a lone dot\r\nlast line " + token;
        _MAIL_CONTENT mail = Mail("Controller error " + token, body);
        ASSERT_EQ(smtp.SendMail(list, 1, &mail), 0) << smtp.GetFailureReason();
        EXPECT_EQ(smtp.GetFailureReason(), "");

        auto found = peer.FindHeld(token);
        ASSERT_TRUE(found.has_value());
        held.push_back(found->id);
        EXPECT_TRUE(Contains(found->text, "with ESMTPSA")) << found->text;  // over TLS and logged in
        EXPECT_TRUE(Contains(found->text, "Subject: Controller error " + token));
        EXPECT_EQ(BodyOf(found->text), ".first\n.\nafter a lone dot\nlast line " + token + "\n");
    }
}

TEST_F(PostfixTlsTest, LoginWithoutAccountStillUsesTls) {
    // No login name: the dialogue after STARTTLS greets with EHLO again and sends.
    std::string token = UniqueToken("nologin");
    SMTP_SERVER_INFO info = Account(peer.starttlsPort, SMTP_SECURITY_STARTTLS);
    info.byAuth = 0;
    info.szLoginName[0] = '\0';
    ASSERT_EQ(Send(info, token), 0);
    auto found = peer.FindHeld(token);
    ASSERT_TRUE(found.has_value());
    held.push_back(found->id);
    EXPECT_TRUE(Contains(found->text, "with ESMTPS ")) << found->text;  // TLS, no login
}

TEST_F(PostfixTlsTest, CertificateChecksRefuseAndNothingIsSent) {
    struct Case {
        const char* name;
        int port;
        uint8_t security;
        std::string host;
        bool systemAuthorities;
        std::string why;
    };
    const Case cases[] = {
        {"untrusted authority", peer.untrustedPort, SMTP_SECURITY_STARTTLS, "127.0.0.1", false,
         "unable to get local issuer certificate"},
        {"certificate for another host, by address", peer.wrongHostPort, SMTP_SECURITY_TLS, "127.0.0.1", false,
         "IP address mismatch"},
        {"certificate for another host, by name", peer.wrongHostPort, SMTP_SECURITY_TLS, "localhost", false,
         "hostname mismatch"},
        {"the system's authorities do not know the test authority", peer.tlsPort, SMTP_SECURITY_TLS, "localhost",
         true, "unable to get local issuer certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string token = UniqueToken("refused");
        GenSMTP smtp(Account(c.port, c.security, c.host));
        if (!c.systemAuthorities) smtp.SetTrustedAuthorities(peer.caFile);
        std::vector<_MAIL_RECIPIENT_INFO> list{Recipient(peer.Address("ops"))};
        _MAIL_CONTENT mail = Mail(token, token);
        EXPECT_EQ(smtp.SendMail(list, 1, &mail), SMTP_ERR_TLS_CERTIFICATE);
        EXPECT_EQ(smtp.GetFailureReason(), "the server's certificate was not accepted: " + c.why);

        // With the check off the same servers take the mail.
        std::string accepted = UniqueToken("unchecked");
        SMTP_SERVER_INFO unchecked = Account(c.port, c.security, c.host);
        unchecked.byTlsFlags = SMTP_TLS_NO_VERIFY;
        std::string reason;
        EXPECT_EQ(Send(unchecked, accepted, &reason), 0) << reason;
        ExpectHeld(accepted);
        EXPECT_FALSE(peer.AnyHeldWith(token));
    }
}

TEST_F(PostfixTlsTest, StartTlsRequiredButNotOfferedFailsBeforeAnyPassword) {
    std::string token = UniqueToken("nostarttls");
    std::string reason;
    EXPECT_EQ(Send(Account(peer.port, SMTP_SECURITY_STARTTLS), token, &reason), SMTP_ERR_STARTTLS);
    EXPECT_EQ(reason, "the server does not offer STARTTLS; no login and no mail were sent");

    // TLS from the start against a plain-text server: the handshake fails at once.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(Account(peer.port, SMTP_SECURITY_TLS), token, &reason), SMTP_ERR_TLS);
    EXPECT_LT(SecondsSince(start), 5.0);
    EXPECT_EQ(reason.rfind("TLS with the server failed: ", 0), 0u) << reason;
    EXPECT_FALSE(peer.AnyHeldWith(token));
}

TEST_F(PostfixTlsTest, TestSmtpServerShakesHandsFirstWhenTlsIsAskedFor) {
    GenSMTP secured(Account(peer.tlsPort, SMTP_SECURITY_TLS));
    secured.SetTrustedAuthorities(peer.caFile);
    EXPECT_TRUE(secured.TestSmtpServer("127.0.0.1", static_cast<unsigned short>(peer.tlsPort)));
    EXPECT_EQ(secured.GetFailureReason(), "");
    EXPECT_FALSE(secured.TestSmtpServer("127.0.0.1", static_cast<unsigned short>(peer.wrongHostPort)));
    EXPECT_EQ(secured.GetFailureReason(), "the server's certificate was not accepted: IP address mismatch");
}

// Passes a client's bytes on to 127.0.0.1:upstream whole, but only the first
// `limit` bytes of the server's answer back, then holds still: a server that
// stalls in the middle of the TLS handshake.
class StallingRelay {
public:
    StallingRelay(int upstream, size_t limit) : m_upstream(upstream), m_limit(limit) {
        m_listener = kvotest::ListenLoopback(1, m_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~StallingRelay() {
        m_stop = true;
        m_thread.join();
        close(m_listener);
    }
    int Port() const { return m_port; }
    size_t Passed() const { return m_passed; }

private:
    void Run() {
        pollfd p{m_listener, POLLIN, 0};
        if (poll(&p, 1, 15000) <= 0) return;
        int client = accept(m_listener, nullptr, nullptr);
        int server = kvotest::ConnectLoopback(m_upstream);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        char buffer[16384];
        while (client >= 0 && server >= 0 && !m_stop && std::chrono::steady_clock::now() < end) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (poll(fds, 2, 100) <= 0) continue;
            if (fds[0].revents) {
                ssize_t n = recv(client, buffer, sizeof buffer, 0);
                if (n <= 0) break;  // the client gave up
                send(server, buffer, static_cast<size_t>(n), MSG_NOSIGNAL);
            }
            if (fds[1].revents) {
                ssize_t n = recv(server, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                size_t pass = std::min(static_cast<size_t>(n), m_limit - m_passed);
                if (pass) send(client, buffer, pass, MSG_NOSIGNAL);
                m_passed += pass;
            }
        }
        if (client >= 0) close(client);
        if (server >= 0) close(server);
    }

    int m_upstream;
    size_t m_limit;
    std::atomic<size_t> m_passed{0};
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

TEST_F(PostfixTlsTest, HandshakeStalledHalfwayFailsWithinTheBound) {
    // The server's first flight is cut after 60 bytes: the ServerHello has begun.
    StallingRelay relay(peer.tlsPort, 60);
    std::string token = UniqueToken("stalled");
    std::string reason;
    SmtpOptions options;
    options.waitBound = std::chrono::seconds(2);  // 10 s by default
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Send(Account(relay.Port(), SMTP_SECURITY_TLS), token, &reason, options), SMTP_ERR_TLS);
    double seconds = SecondsSince(start);
    EXPECT_EQ(relay.Passed(), 60u);
    EXPECT_GE(seconds, 1.9);
    EXPECT_LT(seconds, 5.0);
    EXPECT_EQ(reason, "TLS with the server failed: no answer from the server within 2 s during the TLS handshake");
}

}  // namespace
