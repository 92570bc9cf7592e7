// The SMTP client against a scripted stand-in, for what a real server cannot be
// made to show: replies split across segments, chosen refusals at every step,
// malformed challenges, a server that never answers, an unreachable one.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "RecordText.h"
#include "ScriptedSmtpServer.h"
#include "TestSupport.h"
#include "mail/Base64.h"
#include "mail/CMd5A.h"
#include "mail/GenSMTP.h"
#include "mail/SmtpAuth.h"
#include "mail/SmtpReply.h"
#include "server/SocketClient.h"

namespace {

using kvotest::ScriptedConnection;
using kvotest::ScriptedSmtpServer;

SMTP_SERVER_INFO Account(int port, const std::string& user = "", const std::string& password = "") {
    SMTP_SERVER_INFO info;
    CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
    info.uPort = static_cast<uint16_t>(port);
    CopyField(info.szMailFrom, sizeof info.szMailFrom, "monitor@raid.example");
    CopyField(info.szLoginName, sizeof info.szLoginName, user);
    CopyField(info.szPassword, sizeof info.szPassword, password);
    return info;
}

std::vector<_MAIL_RECIPIENT_INFO> OneRecipient(uint8_t level = 0x01) {
    _MAIL_RECIPIENT_INFO r;
    CopyField(r.szMailAddress, sizeof r.szMailAddress, "admin@raid.example");
    CopyField(r.szName, sizeof r.szName, "Admin");
    r.byLevel = level;
    return {r};
}

_MAIL_CONTENT Mail(const std::string& body = "event text") {
    _MAIL_CONTENT m;
    m.byMailLevel = 0x01;
    m.strSubject = "subject";
    m.strBody = body;
    return m;
}

std::string Decode64(const std::string& text) {
    char out[1024];
    int n = Base64::Base64Decode(out, text.c_str(), sizeof out - 1);
    return n < 0 ? "<bad base64>" : std::string(out, static_cast<size_t>(n));
}

bool Starts(const std::string& line, const char* prefix) { return line.rfind(prefix, 0) == 0; }

// A willing server: 250 to everything, 354 to DATA.
std::string Willing(const std::string& line) {
    if (line == "<data>") return "250 queued\r\n";
    if (Starts(line, "DATA")) return "354 go on\r\n";
    return "250 ok\r\n";
}

// Commands only (no line ends), in order, as the client sent them.
std::vector<std::string> Commands(ScriptedSmtpServer& server) {
    std::vector<std::string> out;
    for (auto line : server.Lines()) {
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        out.push_back(line);
    }
    return out;
}

TEST(ScriptedDialogueTest, SplitGreetingAndSplitEhloReplyAreReadWhole) {
    ScriptedSmtpServer server([](ScriptedConnection& c) {
        c.SendInPieces({"220-fake.example ESMTP\r\n22", "0-second line\r\n", "220 last line\r\n"});
        c.ReadLine();  // EHLO
        c.SendInPieces({"250-fake.example\r\n", "250-SIZE 1000000\r\n250-8BIT", "MIME\r\n", "250 AUTH PLAIN\r\n"});
        c.Serve([](const std::string& line) {
            if (Starts(line, "AUTH PLAIN ")) return std::string("235 ok\r\n");
            return Willing(line);
        });
    });
    GenSMTP smtp(Account(server.Port(), "user", "pw"));
    _MAIL_CONTENT mail = Mail();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), 0);
    server.Join();
    auto commands = Commands(server);
    ASSERT_GE(commands.size(), 3u);
    EXPECT_TRUE(Starts(commands[0], "EHLO "));
    EXPECT_EQ(commands[1], "AUTH PLAIN " + std::string("dXNlcgB1c2VyAHB3"));  // user\0user\0pw
    EXPECT_EQ(commands[2], "MAIL FROM:<monitor@raid.example>");
    EXPECT_EQ(commands.back(), "QUIT");
}

TEST(ScriptedDialogueTest, LoginRefusedThenPlainOnTheSameConnection) {
    ScriptedSmtpServer server([](ScriptedConnection& c) {
        c.Send("220 fake\r\n");
        c.ReadLine();
        c.Send("250-fake\r\n250 AUTH LOGIN PLAIN\r\n");
        c.Serve([](const std::string& line) {
            if (line == "AUTH LOGIN\r\n") return std::string("334 VXNlcm5hbWU6\r\n");
            if (line == "dXNlcg==\r\n") return std::string("334 UGFzc3dvcmQ6\r\n");
            if (line == "cHc=\r\n") return std::string("535 no\r\n");
            if (Starts(line, "AUTH PLAIN ")) return std::string("235 ok\r\n");
            return Willing(line);
        });
    });
    GenSMTP smtp(Account(server.Port(), "user", "pw"));
    _MAIL_CONTENT mail = Mail();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), 0);
    server.Join();
    auto commands = Commands(server);
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(commands[1], "AUTH LOGIN");
    EXPECT_EQ(commands[2], "dXNlcg==");
    EXPECT_EQ(commands[3], "cHc=");
    EXPECT_EQ(commands[4], "AUTH PLAIN dXNlcgB1c2VyAHB3");
    EXPECT_EQ(commands[5], "MAIL FROM:<monitor@raid.example>");
}

TEST(ScriptedDialogueTest, NoMatchingRecipientSendsOnlyQuit) {
    ScriptedSmtpServer server([](ScriptedConnection& c) { c.Send("220 fake\r\n"); });
    GenSMTP smtp(Account(server.Port(), "user", "pw"));
    _MAIL_CONTENT mail = Mail();
    mail.byMailLevel = 0x04;
    EXPECT_EQ(smtp.SendMail(OneRecipient(0x03), 1, &mail), 0);
    server.Join();
    EXPECT_EQ(Commands(server), std::vector<std::string>{"QUIT"});
}

TEST(ScriptedDialogueTest, EhloWithoutMechanismsWhileLoginIsSet) {
    ScriptedSmtpServer server([](ScriptedConnection& c) {
        c.Send("220 fake\r\n");
        c.ReadLine();
        c.Send("250-fake\r\n250 SIZE 1000\r\n");
    });
    GenSMTP smtp(Account(server.Port(), "user", "pw"));
    _MAIL_CONTENT mail = Mail();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), -1);
    server.Join();
    auto commands = Commands(server);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_TRUE(Starts(commands[0], "EHLO "));
    EXPECT_EQ(commands[1], "QUIT");
}

// Each step refused in turn gives that step's code, and QUIT still goes out.
TEST(ScriptedDialogueTest, EachRefusedStepGivesItsCode) {
    struct Case {
        const char* name;
        std::string user;
        std::map<std::string, std::string> refusals;  // command prefix -> reply
        int expected;
    };
    const Case cases[] = {
        {"greeting", "", {{"<greeting>", "554 go away\r\n"}}, SMTP_ERR_GREETING},
        {"helo", "", {{"HELO", "500 what\r\n"}}, SMTP_ERR_HELO},
        {"ehlo", "user", {{"EHLO", "500 what\r\n"}}, SMTP_ERR_EHLO},
        {"auth start", "user", {{"AUTH LOGIN", "504 not now\r\n"}}, SMTP_ERR_AUTH_START},
        {"auth user", "user", {{"dXNlcg==", "535 who\r\n"}}, SMTP_ERR_AUTH_USER},
        {"auth password", "user", {{"cHc=", "535 no\r\n"}}, SMTP_ERR_AUTH_FAILED},
        {"mail from", "", {{"MAIL FROM", "550 no\r\n"}}, SMTP_ERR_MAIL_FROM},
        {"recipient 251 counts as refused", "", {{"RCPT TO", "251 forwarded\r\n"}}, SMTP_ERR_NO_RECIPIENT},
        {"data", "", {{"DATA", "554 no\r\n"}}, SMTP_ERR_DATA},
        {"message", "", {{"<data>", "554 rejected\r\n"}}, SMTP_ERR_SEND},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        auto refusals = test.refusals;
        ScriptedSmtpServer server([refusals](ScriptedConnection& c) {
            auto answer = [&](const std::string& line) {
                for (const auto& [prefix, reply] : refusals)
                    if (Starts(line, prefix.c_str())) return reply;
                if (Starts(line, "EHLO")) return std::string("250-fake\r\n250 AUTH LOGIN\r\n");
                if (line == "AUTH LOGIN\r\n" || line == "dXNlcg==\r\n") return std::string("334 more\r\n");
                if (line == "cHc=\r\n") return std::string("235 ok\r\n");
                return Willing(line);
            };
            c.Send(answer("<greeting>").rfind("554", 0) == 0 ? answer("<greeting>") : "220 fake\r\n");
            c.Serve(answer);
        });
        GenSMTP smtp(Account(server.Port(), test.user, "pw"));
        _MAIL_CONTENT mail = Mail();
        EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), test.expected);
        server.Join();
        auto commands = Commands(server);
        ASSERT_FALSE(commands.empty());
        EXPECT_EQ(commands.back(), "QUIT");
    }
}

TEST(ScriptedDialogueTest, DataIsDotStuffedWithCrLfAndHeadersStayOneLine) {
    ScriptedSmtpServer server([](ScriptedConnection& c) {
        c.Send("220 fake\r\n");
        c.Serve(Willing);
    });
    GenSMTP smtp(Account(server.Port()));
    auto list = OneRecipient();
    CopyField(list[0].szName, sizeof list[0].szName, "Evil\r\n.\r\nRSET");
    _MAIL_CONTENT mail = Mail(".start\n.\nmiddle\r\n\n..\rend");
    mail.strSubject = "line\r\nBcc: someone@else.example";
    EXPECT_EQ(smtp.SendMail(list, 1, &mail), 0);
    server.Join();
    std::string data = server.Data();
    auto bodyAt = data.find("\r\n\r\n");
    ASSERT_NE(bodyAt, std::string::npos) << data;
    EXPECT_EQ(data.substr(bodyAt + 4), "..start\r\n..\r\nmiddle\r\n\r\n...\r\nend\r\n.\r\n");
    std::string headers = data.substr(0, bodyAt + 2);
    EXPECT_NE(headers.find("To: Evil  .  RSET <admin@raid.example>\r\n"), std::string::npos) << headers;
    EXPECT_NE(headers.find("Subject: line  Bcc: someone@else.example\r\n"), std::string::npos) << headers;
    // Every line end of the whole message is CR LF.
    for (size_t i = 0; i < data.size(); i++) {
        if (data[i] != '\n') continue;
        ASSERT_TRUE(i > 0 && data[i - 1] == '\r') << "bare LF at " << i;
    }
}

TEST(ScriptedDialogueTest, CramMd5AnswersTheRfcChallenge) {
    ScriptedSmtpServer server([](ScriptedConnection& c) {
        c.Send("220 fake\r\n");
        c.ReadLine();
        c.Send("250-fake\r\n250 AUTH CRAM-MD5\r\n");
        c.Serve([](const std::string& line) {
            if (line == "AUTH CRAM-MD5\r\n")
                return std::string("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n");
            if (line == "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n") return std::string("235 ok\r\n");
            return Willing(line);
        });
    });
    GenSMTP smtp(Account(server.Port(), "tim", "tanstaaftanstaaf"));
    _MAIL_CONTENT mail = Mail();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), 0);
}

TEST(ScriptedDialogueTest, UndecodableChallengeIsCancelledAndTheNextMechanismTried) {
    ScriptedSmtpServer server([](ScriptedConnection& c) {
        c.Send("220 fake\r\n");
        c.ReadLine();
        c.Send("250-fake\r\n250 AUTH CRAM-MD5 PLAIN\r\n");
        c.Serve([](const std::string& line) {
            if (line == "AUTH CRAM-MD5\r\n") return std::string("334 not*base64\r\n");
            if (line == "*\r\n") return std::string("501 cancelled\r\n");
            if (Starts(line, "AUTH PLAIN ")) return std::string("235 ok\r\n");
            return Willing(line);
        });
    });
    GenSMTP smtp(Account(server.Port(), "user", "pw"));
    _MAIL_CONTENT mail = Mail();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), 0);
    server.Join();
    auto commands = Commands(server);
    ASSERT_GE(commands.size(), 4u);
    EXPECT_EQ(commands[1], "AUTH CRAM-MD5");
    EXPECT_EQ(commands[2], "*");
    EXPECT_TRUE(Starts(commands[3], "AUTH PLAIN "));
}

// A challenge without realm and with the nonce last: both go out empty, and the
// response is computed over those empty values.
TEST(ScriptedDialogueTest, DigestMd5WithoutRealmAndWithTheNonceLast) {
    std::string challenge = "qop=\"auth\",charset=utf-8,nonce=\"abc\"";
    char encoded[256];
    Base64::Base64Encode(encoded, challenge.data(), static_cast<int>(challenge.size()));
    std::string sent;
    ScriptedSmtpServer server([&](ScriptedConnection& c) {
        c.Send("220 fake\r\n");
        c.ReadLine();
        c.Send("250-fake\r\n250 AUTH DIGEST-MD5\r\n");
        c.Serve([&](const std::string& line) {
            if (line == "AUTH DIGEST-MD5\r\n") return "334 " + std::string(encoded) + "\r\n";
            if (Starts(line, "AUTH")) return std::string("504 no\r\n");
            if (line == "\r\n") return std::string("235 ok\r\n");
            if (sent.empty()) {
                sent = Decode64(line);
                return std::string("334 cnNwYXV0aD0x\r\n");
            }
            return Willing(line);
        });
    });
    GenSMTP smtp(Account(server.Port(), "chris", "secret"));
    _MAIL_CONTENT mail = Mail();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), 0);
    server.Join();

    CMd5A md5;
    char secret[16];
    std::memcpy(secret, md5.MDHexString("chris::secret"), 16);
    char response[33];
    digest_md5_hmac(response, secret, "", 1, "", DIGEST_MD5_QOP_AUTH, nullptr, "smtp/127.0.0.1", 0,
                    DIGEST_MD5_CIPHER_RC4, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(sent,
              "username=\"chris\",realm=\"\",nonce=\"\",cnonce=\"\",nc=00000001,qop=auth,cipher=\"rc4\","
              "charset=utf-8,digest-uri=\"smtp/127.0.0.1\",response=" +
                  std::string(response));
}

// The single-wait bound the bound tests run with (10 s by default).
SmtpOptions ShortWaits() {
    SmtpOptions options;
    options.waitBound = std::chrono::seconds(1);
    return options;
}

TEST(ScriptedDialogueTest, ServerThatNeverAnswersFailsWithinTheBound) {
    ScriptedSmtpServer server([](ScriptedConnection&) {});  // accepts, then only listens
    GenSMTP smtp(Account(server.Port()), ShortWaits());
    _MAIL_CONTENT mail = Mail();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), SMTP_ERR_GREETING);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.95);
    EXPECT_LT(seconds, 4.0);
}

TEST(ScriptedDialogueTest, UnreachableServerFailsWithinTheBound) {
    // A listener whose accept queue is full drops new handshakes, like an
    // unreachable host: the connect would otherwise hang for minutes.
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    socklen_t len = sizeof a;
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    std::vector<int> fillers;
    for (int i = 0; i < 4; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        fillers.push_back(fd);
    }
    GenSMTP smtp(Account(ntohs(a.sin_port)), ShortWaits());
    _MAIL_CONTENT mail = Mail();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), -1);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.95);
    EXPECT_LT(seconds, 4.0);
    EXPECT_FALSE(smtp.TestSmtpServer("127.0.0.1", ntohs(a.sin_port)));
    for (int fd : fillers) close(fd);
    close(listener);
}

TEST(ScriptedDialogueTest, TestSmtpServerWantsA220Greeting) {
    ScriptedSmtpServer refusing([](ScriptedConnection& c) { c.Send("554 no service\r\n"); });
    GenSMTP smtp;
    EXPECT_FALSE(smtp.TestSmtpServer("127.0.0.1", static_cast<unsigned short>(refusing.Port())));
    ScriptedSmtpServer greeting([](ScriptedConnection& c) { c.Send("220 fake\r\n"); });
    EXPECT_TRUE(smtp.TestSmtpServer("127.0.0.1", static_cast<unsigned short>(greeting.Port())));
    greeting.Join();
    EXPECT_EQ(Commands(greeting), std::vector<std::string>{"QUIT"});
}

// A challenge too long for the reply buffer still started the exchange: the
// client cancels it with "*" before anything else, so the server never takes
// the next command (or QUIT) for the answer.
TEST(ScriptedDialogueTest, TooLongChallengeIsCancelledBeforeTheNextCommand) {
    const std::string longChallenge = "334 " + std::string(1100, 'A') + "\r\n";
    for (const char* mechanism : {"CRAM-MD5", "DIGEST-MD5"}) {
        SCOPED_TRACE(mechanism);
        const std::string command = std::string("AUTH ") + mechanism + "\r\n";
        ScriptedSmtpServer server([&](ScriptedConnection& c) {
            c.Send("220 fake\r\n");
            c.ReadLine();
            c.Send(std::string("250-fake\r\n250 AUTH PLAIN ") + mechanism + "\r\n");
            bool cancelled = false;
            c.Serve([&](const std::string& line) {
                if (line == command) return longChallenge;
                if (line == "*\r\n") {
                    cancelled = true;
                    return std::string("501 cancelled\r\n");
                }
                // PLAIN only counts once the abandoned exchange is closed.
                if (Starts(line, "AUTH PLAIN ")) return std::string(cancelled ? "235 ok\r\n" : "535 no\r\n");
                return Willing(line);
            });
        });
        GenSMTP smtp(Account(server.Port(), "user", "pw"));
        _MAIL_CONTENT mail = Mail();
        // CRAM-MD5 is tried before PLAIN, which then succeeds; DIGEST-MD5 comes
        // after a refused PLAIN and its code is the result.
        bool cramFirst = std::string(mechanism) == "CRAM-MD5";
        EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), cramFirst ? 0 : SMTP_ERR_AUTH_START);
        server.Join();
        auto commands = Commands(server);
        auto at = std::find(commands.begin(), commands.end(), std::string("AUTH ") + mechanism);
        ASSERT_NE(at, commands.end());
        ASSERT_NE(at + 1, commands.end());
        EXPECT_EQ(*(at + 1), "*");
    }
}

// A challenge cut off by the server (no line end) far beyond the reply buffer:
// this killed the process before. Each mechanism fails with its code.
TEST(ScriptedDialogueTest, CutOffOverlongChallengeFailsTheLoginWithoutHarm) {
    for (const char* mechanism : {"CRAM-MD5", "DIGEST-MD5"}) {
        SCOPED_TRACE(mechanism);
        ScriptedSmtpServer server([&](ScriptedConnection& c) {
            c.Send("220 fake\r\n");
            c.ReadLine();
            c.Send(std::string("250-fake\r\n250 AUTH ") + mechanism + "\r\n");
            c.ReadLine();  // AUTH
            c.Send("334 " + std::string(3000, 'A'));
            c.Hangup();
        });
        GenSMTP smtp(Account(server.Port(), "user", "pw"));
        _MAIL_CONTENT mail = Mail();
        EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), SMTP_ERR_AUTH_START);
        EXPECT_EQ(smtp.GetFailureReason(), "the server refused to start the login");
        server.Join();
        EXPECT_EQ(Commands(server).back(), std::string("AUTH ") + mechanism);
    }
}

// A 334 where the exchange should have ended leaves the server waiting for a
// response: the client gives the exchange up with "*" before its next command.
TEST(ScriptedDialogueTest, ChallengeInsteadOfTheOutcomeIsCancelled) {
    ScriptedSmtpServer server([](ScriptedConnection& c) {
        c.Send("220 fake\r\n");
        c.ReadLine();
        c.Send("250-fake\r\n250 AUTH LOGIN PLAIN\r\n");
        c.Serve([](const std::string& line) {
            if (line == "AUTH LOGIN\r\n" || line == "dXNlcg==\r\n" || line == "cHc=\r\n")
                return std::string("334 UGFzc3dvcmQ6\r\n");
            if (line == "*\r\n") return std::string("501 cancelled\r\n");
            if (Starts(line, "AUTH PLAIN ")) return std::string("235 ok\r\n");
            return Willing(line);
        });
    });
    GenSMTP smtp(Account(server.Port(), "user", "pw"));
    _MAIL_CONTENT mail = Mail();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), 0);
    server.Join();
    auto commands = Commands(server);
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(commands[1], "AUTH LOGIN");
    EXPECT_EQ(commands[3], "cHc=");
    EXPECT_EQ(commands[4], "*");
    EXPECT_TRUE(Starts(commands[5], "AUTH PLAIN "));
}

// STARTTLS asked for: a server that does not offer it, or refuses it, gets
// nothing but EHLO (and STARTTLS) in plain text, never a login.
TEST(ScriptedDialogueTest, StartTlsNotOfferedOrRefusedSendsNoLogin) {
    for (bool offered : {false, true}) {
        SCOPED_TRACE(offered ? "refused" : "not offered");
        ScriptedSmtpServer server([&](ScriptedConnection& c) {
            c.Send("220 fake\r\n");
            c.ReadLine();
            c.Send(offered ? "250-fake\r\n250-AUTH PLAIN LOGIN\r\n250 STARTTLS\r\n"
                           : "250-fake\r\n250-AUTH PLAIN LOGIN\r\n250 8BITMIME\r\n");
            c.Serve([](const std::string& line) {
                if (line == "STARTTLS\r\n") return std::string("454 TLS not available\r\n");
                return Willing(line);
            });
        });
        SMTP_SERVER_INFO info = Account(server.Port(), "user", "pw");
        info.bySecurity = SMTP_SECURITY_STARTTLS;
        GenSMTP smtp(info);
        _MAIL_CONTENT mail = Mail();
        EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), SMTP_ERR_STARTTLS);
        EXPECT_NE(smtp.GetFailureReason().find(offered ? "refused STARTTLS" : "does not offer STARTTLS"),
                  std::string::npos);
        server.Join();
        auto commands = Commands(server);
        ASSERT_GE(commands.size(), 2u);
        EXPECT_TRUE(Starts(commands[0], "EHLO "));
        std::vector<std::string> rest(commands.begin() + 1, commands.end());
        std::vector<std::string> expected{"QUIT"};
        if (offered) expected.insert(expected.begin(), "STARTTLS");
        EXPECT_EQ(rest, expected);
    }
}

// A server that answers STARTTLS with 220 and then says nothing more: the
// handshake gives up within the bound and nothing follows in plain text.
TEST(ScriptedDialogueTest, SilentServerAfterStartTlsFailsWithinTheBound) {
    ScriptedSmtpServer server([](ScriptedConnection& c) {
        c.Send("220 fake\r\n");
        c.ReadLine();
        c.Send("250-fake\r\n250 STARTTLS\r\n");
        c.ReadLine();
        c.Send("220 go ahead\r\n");
    });
    SMTP_SERVER_INFO info = Account(server.Port(), "user", "pw");
    info.bySecurity = SMTP_SECURITY_STARTTLS;
    GenSMTP smtp(info, ShortWaits());
    _MAIL_CONTENT mail = Mail();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(smtp.SendMail(OneRecipient(), 1, &mail), SMTP_ERR_TLS);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.95);
    EXPECT_LT(seconds, 4.0);
    server.Join();
    // After STARTTLS only the client's TLS hello went out, never a text line.
    auto commands = Commands(server);
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[1], "STARTTLS");
    for (size_t i = 2; i < commands.size(); i++) EXPECT_EQ(commands[i].find("QUIT"), std::string::npos);
}

}  // namespace

namespace {

// Replies read with the reply reader directly over a connection.
class ReplyReaderTest : public ::testing::Test {
protected:
    void Connect(ScriptedSmtpServer& server) {
        client = std::make_unique<SocketClient>("127.0.0.1", static_cast<unsigned short>(server.Port()), AF_INET,
                                                2000000);
        ASSERT_EQ(client->GetStatus(), 1);
    }
    std::unique_ptr<SocketClient> client;
};

TEST_F(ReplyReaderTest, TwoRepliesInOneSegmentAreReadOneByOne) {
    ScriptedSmtpServer server([](ScriptedConnection& c) { c.Send("250-first\r\n250 done\r\n354 go on\r\n"); });
    Connect(server);
    SmtpReply reply;
    ASSERT_TRUE(reply.ReadFrom(client.get()));
    EXPECT_EQ(reply.Code(), 250);
    EXPECT_EQ(reply.Text(), "250-first\r\n250 done\r\n");
    EXPECT_TRUE(CheckCommandResponse(client.get(), 354));
    client->Close();
}

TEST_F(ReplyReaderTest, ReplyCutOffByTheServerHasNoCode) {
    ScriptedSmtpServer server([](ScriptedConnection& c) { 
        c.Send("250-first\r\n250-sec");
        c.Hangup();
    });
    Connect(server);
    server.Join();  // the server has closed
    SmtpReply reply;
    EXPECT_FALSE(reply.ReadFrom(client.get()));
    EXPECT_EQ(reply.Code(), 0);
    EXPECT_EQ(reply.Text(), "250-first\r\n250-sec");
}

TEST_F(ReplyReaderTest, EndlessReplyIsCutAtTheLimit) {
    ScriptedSmtpServer server([](ScriptedConnection& c) {
        std::string line = "250-" + std::string(1000, 'x') + "\r\n";
        for (size_t sent = 0; sent <= SmtpReply::kMaxBytes + line.size(); sent += line.size()) c.Send(line);
    });
    Connect(server);
    SmtpReply reply;
    EXPECT_FALSE(reply.ReadFrom(client.get()));
    EXPECT_EQ(reply.Code(), 0);
    client->Close();
}

TEST_F(ReplyReaderTest, BareCodeLineEndsTheReply) {
    ScriptedSmtpServer server([](ScriptedConnection& c) { c.Send("220\r\n"); });
    Connect(server);
    EXPECT_TRUE(CheckCommandResponse(client.get(), 220));
    client->Close();
}

}  // namespace
