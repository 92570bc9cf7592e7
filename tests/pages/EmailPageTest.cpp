// The e-mail page over real sockets: the SMTP account and the recipients kept
// by the e-mail center, the refusals and their messages, and the test mail
// through the postfix test peer (accepted, refused login, nobody listening).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>
#include <libxml/parser.h>

#include "PageServerFixture.h"
#include "mail/PostfixPeer.h"

namespace {

using kvotest::PageDoc;

const char kParameterError[] = "Parameter error.";
const char kPortMessage[] = "Port number should be in the range 1 to 65535.";
const char kNameMessage[] = "Name can only contain ''-'',''_'',letters and numbers.";

class EmailPageTest : public kvotest::PageServerFixture {
protected:
    static PageDoc Act(const std::string& func, const std::string& fields) {
        return Post("/email.cgi", "func=" + func + (fields.empty() ? "" : "&" + fields));
    }
    static PageDoc SetSmtp(const std::string& fields) { return Act("SetSmtp", fields); }
    static SMTP_SERVER_INFO Stored() {
        SMTP_SERVER_INFO info;
        EXPECT_TRUE(Email().GetSMTPServer(&info));
        return info;
    }
    // The listed recipients as "address name mask" lines.
    static std::vector<std::string> Listed() {
        std::vector<_MAIL_RECIPIENT_INFO> list;
        Email().EnumRcpt(list);
        std::vector<std::string> out;
        for (const auto& r : list)
            out.push_back(std::string(r.szMailAddress) + " " + r.szName + " " + std::to_string(r.byLevel));
        return out;
    }
    static std::vector<std::string> Shown(const PageDoc& page) {
        std::vector<std::string> out;
        for (const TiXmlElement* r = page.Nth(page.At("setting/recipients"), "recipient", 0); r;
             r = r->NextSiblingElement("recipient"))
            out.push_back(PageDoc::LeafText(r, "email") + " " + PageDoc::LeafText(r, "name"));
        return out;
    }
    static const char* kAccount;
};

const char* EmailPageTest::kAccount = "smtpadd=mail.example.org&fromadd=raid%40example.org&lognamedd=raid&passdd=s3cr%3Dt";

TEST_F(EmailPageTest, WithoutAFileThereIsNoAccountAndNoRecipient) {
    PageDoc page = Get("/email.cgi");
    ASSERT_TRUE(page.ok());
    EXPECT_EQ("EMAIL Management", page.Title());
    EXPECT_TRUE(page.Has("setting"));
    EXPECT_FALSE(page.Has("setting/smtp"));
    EXPECT_TRUE(page.Has("setting/recipients"));
    EXPECT_TRUE(Shown(page).empty());
    // An action of the other page only shows this one; nothing is stored anywhere.
    page = Post("/email.cgi", "func=SetSnmp&trap_port_1=162&trap_client_1=10.0.0.5&check_info=on");
    EXPECT_EQ("EMAIL Management", page.Title());
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_EQ("<missing>", StoredText("/root/snmp/trap/trap1", "ip"));
}

TEST_F(EmailPageTest, AccountIsStoredAndShownWithoutItsPassword) {
    PageDoc page = SetSmtp(std::string(kAccount) + "&port=587&enable=on");
    EXPECT_TRUE(page.Errors().empty());
    const TiXmlElement* smtp = page.At("setting/smtp");
    ASSERT_NE(nullptr, smtp) << page.body;
    EXPECT_STREQ("1", smtp->Attribute("enabled"));
    EXPECT_EQ("mail.example.org", page.Text("setting/smtp/server"));
    EXPECT_EQ("raid@example.org", page.Text("setting/smtp/from"));
    EXPECT_EQ("raid", page.Text("setting/smtp/logname"));
    EXPECT_EQ("587", page.Text("setting/smtp/port"));
    EXPECT_EQ(std::string::npos, page.body.find("s3cr")) << page.body;
    EXPECT_EQ(std::string::npos, page.body.find("czNjcj10")) << "nor its Base64";
    SMTP_SERVER_INFO info = Stored();
    EXPECT_STREQ("s3cr=t", info.szPassword);
    EXPECT_EQ(SMTP_AUTH_LOGIN, info.byAuth);
    EXPECT_EQ(0, info.byAuthType);

    // Without "enable" notification is off; without a login name no login.
    page = SetSmtp("smtpadd=mail.example.org&fromadd=raid%40example.org&lognamedd=&passdd=");
    EXPECT_STREQ("0", page.At("setting/smtp")->Attribute("enabled"));
    EXPECT_EQ(SMTP_AUTH_DISABLED, Stored().byAuth);
    EXPECT_EQ("587", page.Text("setting/smtp/port")) << "an absent port keeps the stored one";
    EXPECT_EQ(std::vector<std::string>{"The mail server settings were saved."}, page.Messages("info"));
}

TEST_F(EmailPageTest, PortAndLengthRefusalsStoreNothing) {
    SetSmtp(std::string(kAccount) + "&port=25&enable=on");
    for (const char* port : {"0", "abc", "65536", "2.7e4", "-25", "4295032831", "99999999999999999999"}) {
        PageDoc page = SetSmtp(std::string("smtpadd=other.example.org&fromadd=a%40b&lognamedd=&passdd=&port=") + port);
        EXPECT_EQ(std::vector<std::string>{kPortMessage}, page.Errors()) << port;
        EXPECT_STREQ("mail.example.org", Stored().szSMTPServer) << port;
    }
    PageDoc page = SetSmtp(std::string(kAccount) + "&port=65535");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_EQ(65535, Stored().uPort);
    // An empty port is a bad port like any other: a mail to port 0 never leaves.
    page = SetSmtp(std::string(kAccount) + "&port=");
    EXPECT_EQ(std::vector<std::string>{kPortMessage}, page.Errors());
    EXPECT_EQ(65535, Stored().uPort);

    std::string sixtyThree(63, 'm'), sixtyFour(64, 'm');
    std::string address63 = std::string(61, 'm') + "@x";
    for (const std::string& fields : {"smtpadd=" + sixtyFour + "&fromadd=a&lognamedd=&passdd=",
                                      "smtpadd=a&fromadd=" + sixtyFour + "&lognamedd=&passdd=",
                                      std::string("smtpadd=a&fromadd=a%40b&lognamedd=")}) {
        page = SetSmtp(fields);
        EXPECT_EQ(std::vector<std::string>{kParameterError}, page.Errors()) << fields;
        EXPECT_STREQ("mail.example.org", Stored().szSMTPServer);
    }
    page = SetSmtp("smtpadd=" + sixtyThree + "&fromadd=" + address63 + "&lognamedd=&passdd=");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_EQ(sixtyThree, Stored().szSMTPServer);
}

TEST_F(EmailPageTest, RecipientsAreAddedWithTheirLevelsAndRefusedClearly) {
    PageDoc page = Act("AddRecipient", "email=ops%40example.org&name=%20%20ops-team%20&check_warn=on&check_error=on");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_EQ(std::vector<std::string>{"ops@example.org ops-team"}, Shown(page));
    const TiXmlElement* shown = page.Nth(page.At("setting/recipients"), "recipient", 0);
    EXPECT_EQ(nullptr, shown->FirstChildElement("information"));
    EXPECT_NE(nullptr, shown->FirstChildElement("warning"));
    EXPECT_NE(nullptr, shown->FirstChildElement("error"));
    EXPECT_NE(std::string::npos, page.body.find("<warning> Warning</warning>"));

    struct Case {
        const char* fields;
        const char* message;
    } cases[] = {
        {"email=x%40example.org&name=ops%20team&check_info=on", kNameMessage},
        {"email=x%40example.org&name=ops", kParameterError},                     // no level
        {"email=&name=empty&check_info=on", kParameterError},                    // no address
        {"name=noaddress&check_info=on", kParameterError},
        {"email=ops%40example.org&name=again&check_info=on",
         "Failed to add new recipient. ops@example.org is already listed."},
        // Another letter case is the same mailbox: it would get every mail twice.
        {"email=OPS%40Example.org&name=&check_info=on",
         "Failed to add new recipient. OPS@Example.org is already listed as ops@example.org."},
    };
    for (const auto& c : cases) {
        page = Act("AddRecipient", c.fields);
        EXPECT_EQ(std::vector<std::string>{c.message}, page.Errors()) << c.fields;
        EXPECT_TRUE(page.Messages("info").empty()) << c.fields;
    }
    EXPECT_EQ(std::vector<std::string>{"ops@example.org ops-team 6"}, Listed());
}

// What libxml2 (the browsers' and the service's XSLT reader) says of a text.
bool WellFormed(const std::string& text) {
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "page.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (doc) xmlFreeDoc(doc);
    return doc != nullptr;
}

// A control character or bytes that are not UTF-8 could be written to no XML
// file: refused where they enter, naming the field; the file and the page stay
// readable by any XML reader.
TEST_F(EmailPageTest, TextThatXmlCannotCarryIsRefusedNamingTheField) {
    SetSmtp(std::string(kAccount) + "&port=25&enable=on");
    const std::string tail = " holds a character that cannot be stored (a control character or text that is not UTF-8).";
    struct Case {
        const char* func;
        const char* fields;
        const char* field;
    } cases[] = {
        {"SetSmtp", "smtpadd=mail%01example&fromadd=a%40b&lognamedd=&passdd=", "SMTP server"},
        {"SetSmtp", "smtpadd=mail.example&fromadd=a%C0%AF%40b&lognamedd=&passdd=", "Sender address"},
        {"SetSmtp", "smtpadd=mail.example&fromadd=a%40b&lognamedd=r%EFs&passdd=", "Login name"},
        {"AddRecipient", "email=ops%1B%40example.org&name=ops&check_info=on", "E-mail address"},
    };
    for (const auto& c : cases) {
        PageDoc page = Act(c.func, c.fields);
        EXPECT_EQ(std::vector<std::string>{c.field + tail}, page.Errors()) << c.fields;
        EXPECT_TRUE(WellFormed(page.body)) << c.fields;
    }
    EXPECT_STREQ("mail.example.org", Stored().szSMTPServer);
    EXPECT_TRUE(Listed().empty());
    EXPECT_TRUE(WellFormed(kvotest::ReadFileText(EmailPath())));
    // A password is stored in Base64: any byte is fine there.
    EXPECT_TRUE(SetSmtp("smtpadd=mail.example.org&fromadd=a%40b&lognamedd=raid&passdd=p%01w%FF").Errors().empty());
    EXPECT_STREQ("p\x01w\xff", Stored().szPassword);
    // What the page shows of the request itself (a typed address, the Host) is
    // dropped from it instead.
    EXPECT_TRUE(WellFormed(Act("DeleteRecipient", "check_1=x%01y%FE").body));
    EXPECT_TRUE(WellFormed(Exchange("GET /snmp.cgi HTTP/1.0\r\nHost: 10.1.2.3\x01\xff:7402\r\n\r\n")));
}

TEST_F(EmailPageTest, DeleteStopsAtTheFirstUnknownAddress) {
    for (const char* who : {"a", "b", "c"})
        Act("AddRecipient", std::string("email=") + who + "%40example.org&name=" + who + "&check_error=on");
    // Fields are taken in name order: check_1 (a) goes, check_2 is unknown and
    // stops the visit, so check_3 (c) stays.
    PageDoc page = Act("DeleteRecipient", "check_1=a%40example.org&check_2=zz%40example.org&check_3=c%40example.org");
    EXPECT_EQ(std::vector<std::string>{"Failed to delete recipient 'zz@example.org'."}, page.Errors());
    EXPECT_EQ((std::vector<std::string>{"b@example.org b", "c@example.org c"}), Shown(page));
    page = Act("DeleteRecipient", "check_1=" + std::string(128, 'x'));
    EXPECT_EQ(std::vector<std::string>{kParameterError}, page.Errors());
    page = Act("DeleteRecipient", "");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_EQ(2u, Listed().size());
}

TEST_F(EmailPageTest, StoredPasswordIsKeptUnlessRetypedOrCleared) {
    ASSERT_TRUE(SetSmtp(std::string(kAccount) + "&port=587&enable=on").Errors().empty());
    // Changing only the sender, with the password field left empty as the page shows it.
    PageDoc page = SetSmtp("smtpadd=mail.example.org&fromadd=alerts%40example.org&lognamedd=raid&passdd=&port=587&enable=on");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_STREQ("s3cr=t", Stored().szPassword);
    EXPECT_STREQ("alerts@example.org", Stored().szMailFrom);
    EXPECT_STREQ("stored", page.At("setting/smtp")->Attribute("password"));

    // Too long for the field: refused, never cut; the file stays byte for byte.
    const std::string before = kvotest::ReadFileText(EmailPath());
    std::string pasted(69, 'k');
    page = SetSmtp("smtpadd=mail.example.org&fromadd=a%40b.org&lognamedd=raid&passdd=" + pasted + "&port=587");
    ASSERT_EQ(1u, page.Errors().size());
    EXPECT_NE(std::string::npos, page.Errors()[0].find("longer than 63 characters")) << page.Errors()[0];
    EXPECT_EQ(before, kvotest::ReadFileText(EmailPath()));
    EXPECT_EQ(std::string::npos, page.body.find(pasted)) << "a typed password is never shown";

    // "<" and ">" are kept in a password (other fields lose them in decoding).
    ASSERT_TRUE(SetSmtp("smtpadd=mail.example.org&fromadd=a%40b.org&lognamedd=raid&passdd=%3Cp%3Ew%3E+" +
                        std::string(57, 'x') + "&port=587").Errors().empty());
    EXPECT_EQ("<p>w> " + std::string(57, 'x'), std::string(Stored().szPassword));

    // Only the explicit control clears it.
    page = SetSmtp("smtpadd=mail.example.org&fromadd=a%40b.org&lognamedd=raid&passdd=&clearpass=on&port=587");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_STREQ("", Stored().szPassword);
    EXPECT_STREQ("none", page.At("setting/smtp")->Attribute("password"));
}

TEST_F(EmailPageTest, RefusedFormsKeepWhatWasTypedAndAddressesMustBeDeliverable) {
    const char kAddressMessage[] = "Invalid e-mail address.";
    ASSERT_TRUE(SetSmtp(std::string(kAccount) + "&port=25").Errors().empty());
    const std::string before = kvotest::ReadFileText(EmailPath());
    for (const char* from : {"raid%20ops%40example.org", "raid%40example.org%0D%0ARCPT%20TO%3A%3Cx%40y%3E",
                             "raid.example.org", "raid%40ops%40example.org", "%40example.org", "raid%40", "raid%09%40x"}) {
        PageDoc page = SetSmtp(std::string("smtpadd=new.example.org&lognamedd=raid&passdd=secret&port=2525&fromadd=") + from);
        EXPECT_EQ(std::vector<std::string>{kAddressMessage}, page.Errors()) << from;
        EXPECT_EQ(before, kvotest::ReadFileText(EmailPath())) << from;
        // The form shows what was typed, never the password.
        const TiXmlElement* typed = page.At("typed");
        ASSERT_NE(nullptr, typed) << from;
        EXPECT_STREQ("SetSmtp", typed->Attribute("form"));
        EXPECT_NE(std::string::npos, page.body.find("<field name=\"smtpadd\">new.example.org</field>")) << page.body;
        EXPECT_NE(std::string::npos, page.body.find("<field name=\"port\">2525</field>"));
        EXPECT_EQ(std::string::npos, page.body.find("secret"));
    }
    for (const char* email : {"ops%20team%40example.org", "ops%40example.org%0D%0A", "ops", "a%40b%40c"}) {
        PageDoc page = Act("AddRecipient", std::string("email=") + email + "&name=ops&check_error=on");
        EXPECT_EQ(std::vector<std::string>{kAddressMessage}, page.Errors()) << email;
        EXPECT_NE(std::string::npos, page.body.find("<field name=\"name\">ops</field>")) << page.body;
        EXPECT_STREQ("AddRecipient", page.At("typed")->Attribute("form"));
    }
    EXPECT_TRUE(Listed().empty());
    PageDoc page = Act("SendTestMail", "testaddr=a%20b%40example.org");
    EXPECT_EQ(std::vector<std::string>{kAddressMessage}, page.Errors());
}

TEST_F(EmailPageTest, EverySaveAddAndDeleteSaysWhatItDid) {
    PageDoc page = Act("AddRecipient", "email=a%40example.org&name=a&check_error=on");
    EXPECT_EQ(std::vector<std::string>{"Recipient a@example.org was added."}, page.Messages("info"));
    EXPECT_FALSE(page.Has("typed"));
    Act("AddRecipient", "email=b%40example.org&name=b&check_error=on");
    Act("AddRecipient", "email=c%40example.org&name=c&check_error=on");
    page = Act("DeleteRecipient", "check_1=a%40example.org&check_3=c%40example.org");
    EXPECT_EQ(std::vector<std::string>{"Deleted recipients a@example.org, c@example.org."}, page.Messages("info"));
    page = Act("DeleteRecipient", "check_1=b%40example.org");
    EXPECT_EQ(std::vector<std::string>{"Deleted recipient b@example.org."}, page.Messages("info"));
    EXPECT_TRUE(Listed().empty());
}

TEST_F(EmailPageTest, RecipientLevelsAreChangedInPlace) {
    Act("AddRecipient", "email=a%40example.org&name=first&check_error=on");
    Act("AddRecipient", "email=b%40example.org&name=second&check_info=on");
    PageDoc page = Act("SetRecipientLevels", "email=a%40example.org&check_info=on&check_warn=on");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_EQ(std::vector<std::string>{"a@example.org now gets mails of level Information, Warning."},
              page.Messages("info"));
    EXPECT_EQ((std::vector<std::string>{"a@example.org first 3", "b@example.org second 1"}), Listed())
        << "same place, same name";

    const std::string before = kvotest::ReadFileText(EmailPath());
    page = Act("SetRecipientLevels", "email=a%40example.org");
    ASSERT_EQ(1u, page.Errors().size());
    EXPECT_EQ(0u, page.Errors()[0].find("Choose at least one level for a@example.org")) << page.Errors()[0];
    page = Act("SetRecipientLevels", "email=z%40example.org&check_info=on");
    EXPECT_EQ(std::vector<std::string>{"Failed to change the levels of recipient 'z@example.org': it is not listed."},
              page.Errors());
    EXPECT_EQ(before, kvotest::ReadFileText(EmailPath()));
}

TEST_F(EmailPageTest, FailedSaveIsExplainedKeptAndSavedWithTheNextChange) {
    // The file's place is taken by a directory: nothing can be saved there.
    ASSERT_EQ(0, mkdir(EmailPath().c_str(), 0755));
    PageDoc page = SetSmtp(std::string(kAccount) + "&port=25&enable=on");
    ASSERT_EQ(1u, page.Errors().size());
    EXPECT_EQ(0u, page.Errors()[0].find("The settings could not be saved (")) << page.Errors()[0];
    EXPECT_TRUE(page.Messages("info").empty());
    EXPECT_EQ("mail.example.org", page.Text("setting/smtp/server")) << "the change is kept";
    EXPECT_TRUE(page.Messages("warn").empty()) << page.Messages("warn").at(0);

    ASSERT_EQ(0, rmdir(EmailPath().c_str()));
    page = Act("AddRecipient", "email=ops%40example.org&name=ops&check_error=on");
    EXPECT_TRUE(page.Errors().empty()) << page.Errors().at(0);
    const std::string saved = kvotest::ReadFileText(EmailPath());
    EXPECT_NE(std::string::npos, saved.find("<szSMTPServer>mail.example.org</szSMTPServer>")) << saved;
    EXPECT_NE(std::string::npos, saved.find("<szMailAddress>ops@example.org</szMailAddress>")) << saved;
}

TEST_F(EmailPageTest, UnreadableFileIsKeptAsideAndThePageSaysSo) {
    const std::string typo = "<root><byAuth>1</byAuth><Rcpt><recipient><szMailAddress>a@x.org</szMailAddress>"
                             "</recipient><recipient><szMailAddress>b@x.org</szMailAdress></recipient></Rcpt></root>\n";
    kvotest::WriteFileText(EmailPath(), typo);
    PageDoc page = Get("/email.cgi");
    ASSERT_EQ(1u, page.Messages("warn").size());
    EXPECT_EQ(0u, page.Messages("warn")[0].find("The e-mail settings file cannot be read")) << page.Messages("warn")[0];

    page = Act("AddRecipient", "email=c%40x.org&name=c&check_error=on");
    ASSERT_EQ(1u, page.Messages("warn").size()) << page.body;
    const std::string warning = page.Messages("warn")[0];
    const std::string prefix = "The e-mail settings file could not be read; it was kept as ";
    ASSERT_EQ(0u, warning.find(prefix)) << warning;
    const std::string keptAs = warning.substr(prefix.size(), warning.find(". The recipients") - prefix.size());
    EXPECT_EQ(0u, keptAs.find(EmailPath() + ".unreadable-")) << keptAs;
    EXPECT_EQ(typo, kvotest::ReadFileText(keptAs)) << "the administrator's text is kept whole";
    EXPECT_NE(std::string::npos, warning.find("The recipients it held must be added again.")) << warning;
    EXPECT_EQ(std::vector<std::string>{"c@x.org c 4"}, Listed());
    std::remove(keptAs.c_str());
}

class EmailTestMailTest : public EmailPageTest {
protected:
    void SetUp() override {
        EmailPageTest::SetUp();
        std::string why;
        if (!peer.Load(&why)) GTEST_SKIP() << "postfix test peer unavailable: " << why;
    }
    std::string Account(const std::string& password, int port) {
        return "smtpadd=127.0.0.1&fromadd=" + peer.Address("raid") + "&lognamedd=" + peer.user +
               "&passdd=" + password + "&port=" + std::to_string(port) + "&enable=on";
    }
    kvotest::PostfixPeer peer;
};

TEST_F(EmailTestMailTest, TestMailReachesThePeerAndThePageSaysSo) {
    PageDoc page = Act("SendTestMail", "testaddr=" + peer.Address("x"));
    EXPECT_EQ(std::vector<std::string>{"No test mail sent: no mail server is set up yet."}, page.Errors());

    ASSERT_TRUE(SetSmtp(Account(peer.password, peer.port)).Errors().empty());
    std::string listed = peer.Address(kvotest::UniqueToken("pages-listed"));
    Act("AddRecipient", "email=" + listed + "&name=night-shift&check_error=on");
    page = Act("SendTestMail", "testrcpt=" + listed);
    EXPECT_TRUE(page.Errors().empty()) << page.Errors().at(0);
    std::string expected = "Test mail sent to " + listed + " through 127.0.0.1:" + std::to_string(peer.port) + ".";
    EXPECT_EQ(std::vector<std::string>{expected}, page.Messages("info"));
    auto mail = peer.FindHeld(listed);
    ASSERT_TRUE(mail.has_value());
    EXPECT_NE(std::string::npos, mail->text.find("This is a test mail.")) << mail->text;
    EXPECT_NE(std::string::npos, mail->text.find("night-shift <" + listed + ">")) << mail->text;
    peer.Delete(mail->id);
    EXPECT_EQ(std::vector<std::string>{listed + " night-shift 4"}, Listed()) << "the stored levels are unchanged";

    // A typed address wins over the chosen one.
    std::string typed = peer.Address(kvotest::UniqueToken("pages-typed"));
    page = Act("SendTestMail", "testrcpt=" + listed + "&testaddr=" + typed);
    EXPECT_EQ(1u, page.Messages("info").size());
    mail = peer.FindHeld(typed);
    ASSERT_TRUE(mail.has_value());
    peer.Delete(mail->id);
}

TEST_F(EmailTestMailTest, RefusedLoginAndNoServerAreExplainedOnThePage) {
    ASSERT_TRUE(SetSmtp(Account("wrong-" + peer.password, peer.port)).Errors().empty());
    std::string to = peer.Address(kvotest::UniqueToken("pages-refused"));
    PageDoc page = Act("SendTestMail", "testaddr=" + to);
    ASSERT_EQ(1u, page.Errors().size());
    std::string error = page.Errors()[0];
    EXPECT_EQ(0u, error.find("Test mail to " + to + " not sent: the server refused the login: \"535")) << error;
    EXPECT_NE(std::string::npos, error.find("authentication failed")) << error;
    EXPECT_FALSE(peer.AnyHeldWith(to));

    int closed = kvotest::FreeTcpPort();
    ASSERT_TRUE(SetSmtp(Account(peer.password, closed)).Errors().empty());
    page = Act("SendTestMail", "testaddr=" + to);
    ASSERT_EQ(1u, page.Errors().size());
    EXPECT_EQ("Test mail to " + to + " not sent: cannot connect to 127.0.0.1:" + std::to_string(closed) +
                  " (Connection refused).",
              page.Errors()[0]);
}

}  // namespace
