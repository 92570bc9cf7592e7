// The e-mail file as the pages and the poller see it through EmailCenter:
// tree and element order, recipients, password encoding, mode, and files
// written by hand (unparseable, oversized values, elements where text belongs).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "config/ConfigTestSupport.h"
#include "notify/EmailCenter.h"

namespace {

using kvotest::ReadFileText;
using kvotest::WriteFileText;

_MAIL_RECIPIENT_INFO Recipient(const char* address, const char* name, uint8_t level) {
    _MAIL_RECIPIENT_INFO r;
    snprintf(r.szMailAddress, sizeof r.szMailAddress, "%s", address);
    snprintf(r.szName, sizeof r.szName, "%s", name);
    r.byLevel = level;
    return r;
}

std::vector<std::string> Addresses(EmailCenter& center) {
    std::vector<_MAIL_RECIPIENT_INFO> list;
    center.EnumRcpt(list);
    std::vector<std::string> out;
    for (const auto& r : list) out.push_back(r.szMailAddress);
    return out;
}

mode_t ModeOf(const std::string& path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

struct Center {
    explicit Center(const std::string& file) : path(file) {
        center.SetLogImp(&log);
        center.InitEmailCenter(file);
    }
    std::string path;
    kvotest::CapturedLog log;
    EmailCenter center;
};

TEST(EmailCenterFile, NoFileThenFirstWritesCreatePrivateFileInDescribedOrder) {
    kvotest::TempDir dir;
    Center c(dir.file("kvoomxemail.conf"));
    SMTP_SERVER_INFO info;
    EXPECT_FALSE(c.center.GetSMTPServer(&info));
    std::vector<_MAIL_RECIPIENT_INFO> list;
    EXPECT_FALSE(c.center.EnumRcpt(list));

    snprintf(info.szSMTPServer, sizeof info.szSMTPServer, "mail.example.com");
    info.uPort = 2525;
    info.byAuth = 1;
    snprintf(info.szLoginName, sizeof info.szLoginName, "ops");
    snprintf(info.szPassword, sizeof info.szPassword, "p=w\xc3\xa9\xff=");
    snprintf(info.szMailFrom, sizeof info.szMailFrom, "raid@example.com");
    ASSERT_TRUE(c.center.SetSMTPServer(&info));
    EXPECT_EQ(0600u, ModeOf(c.path)) << "the file holds the SMTP password";
    _MAIL_RECIPIENT_INFO ops = Recipient("ops@example.com", "Ops", 0x06);
    ASSERT_TRUE(c.center.EditRcpt(&ops, RCPT_EDIT_ADD));
    EXPECT_EQ(ReadFileText(c.path),
              "<root>\n"
              "    <byAuthType>0</byAuthType>\n"
              "    <byAuth>1</byAuth>\n"
              "    <szLoginName>ops</szLoginName>\n"
              "    <szMailFrom>raid@example.com</szMailFrom>\n"
              "    <szPassword>cD13w6n/PQ==</szPassword>\n"
              "    <szSMTPServer>mail.example.com</szSMTPServer>\n"
              "    <uPort>2525</uPort>\n"
              "    <Rcpt>\n"
              "        <recipient>\n"
              "            <byLevel>6</byLevel>\n"
              "            <szMailAddress>ops@example.com</szMailAddress>\n"
              "            <szName>Ops</szName>\n"
              "        </recipient>\n"
              "    </Rcpt>\n"
              "</root>\n");

    SMTP_SERVER_INFO back;
    ASSERT_TRUE(c.center.GetSMTPServer(&back));
    EXPECT_STREQ("p=w\xc3\xa9\xff=", back.szPassword) << "'=' and non-ASCII bytes round-trip";
    EXPECT_EQ(2525, back.uPort);
    EXPECT_EQ(1, back.byAuth);
    EXPECT_STREQ("mail.example.com", back.szSMTPServer);
    EXPECT_STREQ("ops", back.szLoginName);
    EXPECT_STREQ("raid@example.com", back.szMailFrom);

    // A second save updates in place and keeps a mode the administrator chose.
    ASSERT_EQ(0, chmod(c.path.c_str(), 0640));
    info.uPort = 25;
    ASSERT_TRUE(c.center.SetSMTPServer(&info));
    EXPECT_EQ(0640u, ModeOf(c.path));
    ASSERT_TRUE(c.center.GetSMTPServer(&back));
    EXPECT_EQ(25, back.uPort);
    EXPECT_EQ(std::vector<std::string>{"ops@example.com"}, Addresses(c.center));
    EXPECT_EQ(1u, kvotest::DirectoryEntries(dir.path()).size()) << "no temporary file left behind";
}

TEST(EmailCenterFile, RecipientRulesAddDeleteModify) {
    kvotest::TempDir dir;
    Center c(dir.file("kvoomxemail.conf"));
    WriteFileText(c.path,
                  "<?xml version=\"1.0\" ?>\n"
                  "<root>\n"
                  "    <Rcpt>\n"
                  "        <recipient><szMailAddress>a@x</szMailAddress><szName>A1</szName></recipient>\n"
                  "        <!-- hand note -->\n"
                  "        <recipient><byLevel>4</byLevel><szMailAddress>a@x</szMailAddress><szName>A2</szName></recipient>\n"
                  "    </Rcpt>\n"
                  "    <keep>unknown settings stay</keep>\n"
                  "</root>\n");
    std::vector<_MAIL_RECIPIENT_INFO> list;
    ASSERT_TRUE(c.center.EnumRcpt(list));
    ASSERT_EQ(3u, list.size());
    EXPECT_EQ(0x01, list[0].byLevel) << "no byLevel: information only";
    EXPECT_STREQ("", list[1].szMailAddress) << "the comment is listed too";
    EXPECT_EQ(0x01, list[1].byLevel);
    EXPECT_EQ(0x04, list[2].byLevel);

    _MAIL_RECIPIENT_INFO dup = Recipient("a@x", "again", 1);
    EXPECT_FALSE(c.center.EditRcpt(&dup, RCPT_EDIT_ADD));
    _MAIL_RECIPIENT_INFO upper = Recipient("A@x", "upper", 1);
    EXPECT_TRUE(c.center.EditRcpt(&upper, RCPT_EDIT_ADD)) << "the key is case-sensitive";

    // Modify changes the levels of the recipient with that exact address only.
    _MAIL_RECIPIENT_INFO levels = Recipient("A@x", "ignored", 6);
    ASSERT_TRUE(c.center.EditRcpt(&levels, RCPT_EDIT_MODIFY));
    list.clear();
    ASSERT_TRUE(c.center.EnumRcpt(list));
    ASSERT_EQ(4u, list.size());
    EXPECT_EQ(0x06, list[3].byLevel);
    EXPECT_STREQ("upper", list[3].szName) << "the name stays";
    EXPECT_EQ(0x01, list[0].byLevel) << "a@x is another address";

    std::string before = ReadFileText(c.path);
    _MAIL_RECIPIENT_INFO nobody = Recipient("nobody@x", "", 1);
    EXPECT_FALSE(c.center.EditRcpt(&nobody, RCPT_EDIT_MODIFY));
    EXPECT_EQ(before, ReadFileText(c.path)) << "modify of an unknown address leaves the file byte-identical";
    EXPECT_FALSE(c.center.EditRcpt(&nobody, RCPT_EDIT_DELETE));
    EXPECT_EQ(before, ReadFileText(c.path));

    ASSERT_TRUE(c.center.EditRcpt(&dup, RCPT_EDIT_DELETE));
    list.clear();
    ASSERT_TRUE(c.center.EnumRcpt(list));
    ASSERT_EQ(3u, list.size());
    EXPECT_STREQ("A2", list[1].szName) << "only the first of the duplicates is removed";
    EXPECT_NE(std::string::npos, ReadFileText(c.path).find("<keep>unknown settings stay</keep>"));
    EXPECT_NE(std::string::npos, ReadFileText(c.path).find("<!-- hand note -->"));
}

TEST(EmailCenterFile, HandEditedValuesAreBoundedAndBadPasswordReadsEmpty) {
    kvotest::TempDir dir;
    Center c(dir.file("kvoomxemail.conf"));
    std::string longText(300, 'x');
    WriteFileText(c.path, "<root><szSMTPServer>" + longText + "</szSMTPServer><szLoginName>" +
                              longText + "</szLoginName><uPort>junk</uPort><byAuth>258</byAuth>"
                              "<szPassword>not*base64</szPassword><Rcpt><recipient><szMailAddress>" +
                              longText + "</szMailAddress><szName>" + longText +
                              "</szName><byLevel>x</byLevel></recipient></Rcpt></root>");
    SMTP_SERVER_INFO info;
    ASSERT_TRUE(c.center.GetSMTPServer(&info));
    EXPECT_EQ(std::string(63, 'x'), info.szSMTPServer);
    EXPECT_EQ(std::string(63, 'x'), info.szLoginName);
    EXPECT_EQ(0, info.uPort);
    EXPECT_EQ(2, info.byAuth) << "kept to 8 bits";
    EXPECT_STREQ("", info.szPassword);
    std::vector<_MAIL_RECIPIENT_INFO> list;
    ASSERT_TRUE(c.center.EnumRcpt(list));
    ASSERT_EQ(1u, list.size());
    EXPECT_EQ(std::string(127, 'x'), list[0].szMailAddress);
    EXPECT_EQ(std::string(63, 'x'), list[0].szName);
    EXPECT_EQ(0, list[0].byLevel);

    // A password whose Base64 decodes to more than the field holds reads as empty.
    WriteFileText(c.path, "<root><szPassword>" + std::string(120, 'Q') + "</szPassword></root>");
    ASSERT_TRUE(c.center.GetSMTPServer(&info));
    EXPECT_STREQ("", info.szPassword);
}

TEST(EmailCenterFile, ElementHoldingElementsIsNotRenamed) {
    kvotest::TempDir dir;
    Center c(dir.file("kvoomxemail.conf"));
    const std::string text = "<root>\n    <szLoginName>\n        <inner>1</inner>\n    </szLoginName>\n</root>\n";
    WriteFileText(c.path, text);
    SMTP_SERVER_INFO info;
    snprintf(info.szLoginName, sizeof info.szLoginName, "ops");
    EXPECT_FALSE(c.center.SetSMTPServer(&info));
    EXPECT_EQ(text, ReadFileText(c.path));
    EXPECT_EQ(1, c.log.Count(LOG_ERROR, "szLoginName"));
}

TEST(EmailCenterFile, UnparseableFileIsSetAsideBeforeFirstWrite) {
    kvotest::TempDir dir;
    Center c(dir.file("kvoomxemail.conf"));
    const std::string broken = "<root><Rcpt><recipient><szMailAddress>a@x</szMailAddress></Rcpt>";
    WriteFileText(c.path, broken);
    std::vector<_MAIL_RECIPIENT_INFO> list;
    EXPECT_FALSE(c.center.EnumRcpt(list));
    _MAIL_RECIPIENT_INFO r = Recipient("b@x", "B", 1);
    ASSERT_TRUE(c.center.EditRcpt(&r, RCPT_EDIT_ADD));
    EXPECT_EQ(std::vector<std::string>{"b@x"}, Addresses(c.center));

    std::vector<std::string> aside;
    for (const auto& name : kvotest::DirectoryEntries(dir.path()))
        if (name.rfind("kvoomxemail.conf.unreadable-", 0) == 0) aside.push_back(name);
    ASSERT_EQ(1u, aside.size());
    EXPECT_EQ(broken, ReadFileText(dir.file(aside[0])));
    EXPECT_EQ(1, c.log.Count(LOG_WARNING, "kept as"));
}

// The file size limit stands in for a full disk (and binds root too).
TEST(EmailCenterFile, FullDiskLeavesOldFileIntact) {
    kvotest::TempDir dir;
    Center c(dir.file("kvoomxemail.conf"));
    _MAIL_RECIPIENT_INFO a = Recipient("a@x", "A", 1);
    ASSERT_TRUE(c.center.EditRcpt(&a, RCPT_EDIT_ADD));
    const std::string before = ReadFileText(c.path);

    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previous);
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = before.size() + 20;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    _MAIL_RECIPIENT_INFO b = Recipient(std::string(100, 'b').c_str(), "B", 1);
    bool saved_ok = c.center.EditRcpt(&b, RCPT_EDIT_ADD);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &previous, nullptr);

    EXPECT_FALSE(saved_ok) << "a failed save is not reported as success";
    EXPECT_EQ(before, ReadFileText(c.path));
    EXPECT_EQ(1, c.log.Count(LOG_ERROR, "not saved"));
    EXPECT_EQ(1u, kvotest::DirectoryEntries(dir.path()).size()) << "temporary file removed";
}

// The poller reads without a lock while a page saves: it must always see a
// whole file, never half of one (which would drop an event's mail).
TEST(EmailCenterFile, ReaderNeverSeesHalfAFileWhileWritersSave) {
    kvotest::TempDir dir;
    Center writer(dir.file("kvoomxemail.conf"));
    SMTP_SERVER_INFO info;
    snprintf(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
    ASSERT_TRUE(writer.center.SetSMTPServer(&info));
    _MAIL_RECIPIENT_INFO keep = Recipient("keep@x", "Keep", 7);
    ASSERT_TRUE(writer.center.EditRcpt(&keep, RCPT_EDIT_ADD));

    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    std::thread reader([&] {
        EmailCenter& poller = writer.center;  // one center, as the service shares it
        while (!done) {
            std::vector<_MAIL_RECIPIENT_INFO> list;
            SMTP_SERVER_INFO seen;
            if (!poller.EnumRcpt(list) || list.empty() || std::string(list[0].szMailAddress) != "keep@x" ||
                !poller.GetSMTPServer(&seen))
                ++torn;
            ++reads;
        }
    });
    for (int i = 0; i < 60; ++i) {
        _MAIL_RECIPIENT_INFO r = Recipient(("r" + std::to_string(i) + "@x").c_str(), "R", 1);
        EXPECT_TRUE(writer.center.EditRcpt(&r, RCPT_EDIT_ADD));
        info.uPort = static_cast<uint16_t>(i);
        EXPECT_TRUE(writer.center.SetSMTPServer(&info));
        if (i % 2) {
            EXPECT_TRUE(writer.center.EditRcpt(&r, RCPT_EDIT_DELETE));
        }
    }
    done = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(0, torn.load()) << "of " << reads.load() << " reads";
}

// A file the service may not read is not empty: no write may replace it.
TEST(EmailCenterFile, FileThatCannotBeReadIsNeverReplaced) {
    kvotest::TempDir dir;
    const std::string file = dir.file("kvoomxemail.conf");
    const std::string text = "<root><Rcpt><recipient><szMailAddress>a@x</szMailAddress></recipient></Rcpt></root>";
    WriteFileText(file, text);
    ASSERT_EQ(0, chmod(file.c_str(), 0200));
    auto scenario = [&]() -> std::string {
        Center c(file);
        _MAIL_RECIPIENT_INFO b = Recipient("b@x", "B", 1);
        if (c.center.EditRcpt(&b, RCPT_EDIT_ADD)) return "write reported as saved";
        SMTP_SERVER_INFO info;
        if (c.center.SetSMTPServer(&info)) return "settings reported as saved";
        if (c.log.Count(LOG_ERROR, "cannot be read") != 2) return "not logged";
        return "";
    };
    std::string answer;
    if (geteuid() != 0) {
        answer = scenario();
    } else {
        // Root reads anything: run it as nobody.
        ASSERT_EQ(0, chown(dir.path().c_str(), 65534, 65534));
        ASSERT_EQ(0, chown(file.c_str(), 65534, 65534));
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(fds[0]);
            std::string error = (setgid(65534) != 0 || setuid(65534) != 0) ? "cannot become nobody" : scenario();
            if (error.empty()) error = "ok";
            if (write(fds[1], error.data(), error.size()) < 0) { /* parent sees nothing */ }
            _exit(0);
        }
        close(fds[1]);
        char buffer[256] = {};
        ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
        close(fds[0]);
        waitpid(child, nullptr, 0);
        answer = n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "no answer";
        if (answer == "ok") answer.clear();
    }
    EXPECT_EQ("", answer);
    ASSERT_EQ(0, chmod(file.c_str(), 0600));
    EXPECT_EQ(text, ReadFileText(file));
    EXPECT_EQ(1u, kvotest::DirectoryEntries(dir.path()).size());
}

TEST(EmailCenterFile, EmptyPathRefusesEverything) {
    EmailCenter center;
    SMTP_SERVER_INFO info;
    _MAIL_RECIPIENT_INFO r = Recipient("a@x", "", 1);
    std::vector<_MAIL_RECIPIENT_INFO> list;
    EXPECT_FALSE(center.GetSMTPServer(&info));
    EXPECT_FALSE(center.SetSMTPServer(&info));
    EXPECT_FALSE(center.EnumRcpt(list));
    EXPECT_FALSE(center.EditRcpt(&r, RCPT_EDIT_ADD));
    center.EventArrived('E', "nothing happens");
}

TEST(EmailCenterFile, SubjectAndLevels) {
    EXPECT_EQ("velmora tech raid system information (from inbound 10.1.2.3)",
              EmailCenter::EventSubject("10.1.2.3"));
    EXPECT_EQ("velmora tech raid system information (from inbound)", EmailCenter::EventSubject(""));
    EXPECT_EQ(0x04, EmailCenter::MailLevel('E'));
    EXPECT_EQ(0x02, EmailCenter::MailLevel('W'));
    EXPECT_EQ(0x01, EmailCenter::MailLevel('I'));
    EXPECT_EQ(0x01, EmailCenter::MailLevel('X'));
}

}  // namespace
