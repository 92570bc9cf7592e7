// The event poller against real peers: the simulator as the controllers,
// snmptrapd for traps and the postfix test peer for mail. What reached the
// firmware is read from the simulator's transcript.
// GCC 12 warns falsely inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <dirent.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "RecordText.h"
#include "SimulatorProcess.h"
#include "SnmpTrapdProcess.h"
#include "config/ConfigTestSupport.h"
#include "controller/kvoIO.h"
#include "mail/PostfixPeer.h"
#include "notify/EmailCenter.h"
#include "notify/KvoSnmpTrap.h"
#include "notify/NotifyManager.h"
#include "pages/PageHelpers.h"

namespace {

using kvotest::TranscriptEntry;
using namespace std::chrono_literals;

std::string TextLine(const std::string& text) { return ".1.3.6.1.2.1.1.1.0 = STRING: \"" + text + "\""; }

_MAIL_RECIPIENT_INFO Recipient(const std::string& address, uint8_t level) {
    _MAIL_RECIPIENT_INFO r;
    CopyField(r.szMailAddress, sizeof r.szMailAddress, address);
    CopyField(r.szName, sizeof r.szName, "Ops");
    r.byLevel = level;
    return r;
}

size_t ThreadCount() {
    size_t n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

// A TCP listener that only counts who connects (an SMTP server that never answers).
class CountingListener {
public:
    CountingListener() {
        int port = 0;
        fd_ = kvotest::ListenLoopback(8, port);
        port_ = static_cast<unsigned short>(port);
    }
    ~CountingListener() { close(fd_); }
    // Accepts (and closes) every pending connection; how many there were.
    int Drain() {
        int n = 0;
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, 0) > 0) {
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) break;
            close(c);
            ++n;
        }
        return n;
    }
    unsigned short port() const { return port_; }

private:
    int fd_ = -1;
    unsigned short port_ = 0;
};

class NotifyManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ok()) << sim.Log();
        sim.ExportDriverDir();
        kvoIO::GetInstance()->initialize();
        ASSERT_EQ(2u, kvoIO::GetInstance()->getControllerCount());
        ASSERT_TRUE(trapd.Start()) << trapd.Output();
        trap.SetTrapLevel(0x07);
        ASSERT_EQ(0, trap.SetTrapTarget(1, "127.0.0.1", trapd.port(), nullptr));
        center.SetLogImp(&log);
        center.InitEmailCenter(dir.file("kvoomxemail.conf"));
        center.SetHostAddressSource([](std::string& address) {
            std::string name;
            return GetHostName(name, address);
        });
        manager = std::make_unique<NotifyManager>(trap, center);
    }

    // Replaces the (not yet running) poller with one of other timings.
    void UseOptions(const NotifyOptions& options) { manager = std::make_unique<NotifyManager>(trap, center, options); }
    static NotifyOptions SweepsApart(std::chrono::milliseconds pause) {
        NotifyOptions options;
        options.sweepPause = pause;
        return options;
    }

    void TearDown() override {
        // Also after a failed assertion: gtest's own report went into the capture.
        std::string captured = ReleaseStdout();
        if (HasFailure()) std::printf("%s", captured.c_str());
        if (manager) {
            EXPECT_TRUE(manager->terminate());
        }
        manager.reset();
        kvoIO::GetInstance()->terminate();
        for (auto& id : held) peer.Delete(id);
    }

    // The poller prints "Get event" lines; tests keep them off the test output.
    void CaptureStdout() {
        testing::internal::CaptureStdout();
        capturing = true;
    }
    std::string ReleaseStdout() {
        if (!capturing) return "";
        capturing = false;
        return testing::internal::GetCapturedStdout();
    }

    bool LoadPeer() {
        std::string why;
        if (peer.Load(&why)) return true;
        ADD_FAILURE() << "postfix test peer unavailable: " << why;
        return false;
    }

    void UseSmtp(unsigned short port, uint8_t byAuth, bool login) {
        SMTP_SERVER_INFO info;
        CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
        info.uPort = port;
        info.byAuth = byAuth;
        CopyField(info.szMailFrom, sizeof info.szMailFrom, "raid-monitor@sender.example");
        if (login) {
            CopyField(info.szLoginName, sizeof info.szLoginName, peer.user);
            CopyField(info.szPassword, sizeof info.szPassword, peer.password);
        }
        ASSERT_TRUE(center.SetSMTPServer(&info));
    }

    // Event-channel writes to `controller`, each shown by its size (18 = disconnect).
    std::vector<std::string> ChannelWrites(int controller) {
        std::vector<std::string> out;
        for (const TranscriptEntry& e : sim.Transcript([&](const TranscriptEntry& e) {
                 return e.controller == controller && e.buffer == 1 && e.connection == 65 && e.op == "write";
             }))
            out.push_back(e.data == "Socket disconnect!" ? "bye" : std::to_string(e.data.size()));
        return out;
    }

    // True once `controller`'s visits so far each ended with the disconnect text.
    bool VisitsEnded(int controller, size_t visits) {
        std::vector<std::string> w = ChannelWrites(controller);
        return static_cast<size_t>(std::count(w.begin(), w.end(), "bye")) >= visits && !w.empty() &&
               w.back() == "bye";
    }

    kvotest::SimulatorProcess sim{2};
    kvotest::SnmpTrapdProcess trapd;
    kvotest::PostfixPeer peer;
    kvotest::TempDir dir;
    kvotest::CapturedLog log;
    KvoSnmpTrap trap;
    EmailCenter center;
    std::unique_ptr<NotifyManager> manager;
    std::vector<std::string> held;
    bool capturing = false;
};

TEST_F(NotifyManagerTest, WarningReachesSnmptrapdAndOnlyMatchingRecipients) {
    if (!LoadPeer()) return;
    const std::string token = kvotest::UniqueToken("notify");
    UseSmtp(static_cast<unsigned short>(peer.port), SMTP_AUTH_LOGIN, true);
    const std::string info = peer.Address(token + "-info"), warn = peer.Address(token + "-warn"),
                      both = peer.Address(token + "-both");
    for (auto r : {Recipient(info, 0x01), Recipient(warn, 0x02), Recipient(both, 0x06)})
        ASSERT_TRUE(center.EditRcpt(&r, RCPT_EDIT_ADD));
    ASSERT_EQ("ok", sim.Command("event 1 W 2009-03-07T14:05:09 " + token + " Fan 2 failure"));

    CaptureStdout();
    manager->Run();
    ASSERT_TRUE(trapd.WaitForRecords(1)) << trapd.Output();
    auto mail = peer.FindHeld(token);
    ASSERT_TRUE(mail.has_value());
    held.push_back(mail->id);
    ASSERT_TRUE(kvotest::WaitUntil([&] { return VisitsEnded(0, 1) && VisitsEnded(1, 1); }));
    const std::string console = ReleaseStdout();

    const std::string text = "At 2009-03-07 14:05:09 Controller 2:\r\n " + token + " Fan 2 failure";
    auto records = trapd.Records();
    ASSERT_EQ(1u, records.size()) << trapd.Output();
    ASSERT_EQ(3u, records[0].varbinds.size());
    EXPECT_EQ(TextLine(text), records[0].varbinds[2]);
    EXPECT_NE(std::string::npos, console.find("Get event: " + token + " Fan 2 failure\r\n")) << console;

    EXPECT_EQ((std::set<std::string>{warn, both}),
              std::set<std::string>(mail->recipients.begin(), mail->recipients.end()));
    std::string name, address;
    bool resolved = GetHostName(name, address);
    EXPECT_NE(std::string::npos, mail->text.find("Subject: " + EmailCenter::EventSubject(resolved ? address : "")))
        << mail->text;
    EXPECT_NE(std::string::npos, mail->text.find(token + " Fan 2 failure")) << mail->text;

    // Both controllers were visited: handshake, request, and the disconnect text.
    EXPECT_EQ((std::vector<std::string>{"156", "100", "bye"}), ChannelWrites(1));
    EXPECT_EQ((std::vector<std::string>{"156", "100", "bye"}), ChannelWrites(0));
    EXPECT_EQ(0, log.Count(LOG_ERROR, "not delivered"));
}

TEST_F(NotifyManagerTest, OneEventPerSweepNonEventsIgnoredPulledControllerSkipped) {
    UseOptions(SweepsApart(200ms));
    ASSERT_EQ("ok", sim.Command("pull 0"));
    ASSERT_EQ("ok", sim.Command("event 1 I 2010-01-02T03:04:05 first"));
    ASSERT_EQ("ok", sim.Command("event 1 E 2031-12-31T23:59:59 second"));
    ASSERT_EQ("ok", sim.Command("bad-event 1"));
    CaptureStdout();
    manager->Run();
    ASSERT_TRUE(trapd.WaitForRecords(2)) << trapd.Output();
    ASSERT_TRUE(kvotest::WaitUntil([&] { return VisitsEnded(1, 4); }));
    const std::string console = ReleaseStdout();

    auto records = trapd.Records();
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ(TextLine("At 2010-01-02 03:04:05 Controller 2:\r\n first"), records[0].varbinds[2]);
    EXPECT_EQ(TextLine("At 2031-12-31 23:59:59 Controller 2:\r\n second"), records[1].varbinds[2]);
    EXPECT_EQ(std::string::npos, console.find("not an event")) << console;
    // Sweeps 1 to 3 fetched first, second (one request per visit, so two
    // consecutive sweeps) and the non-event; each visit ended with the
    // disconnect text; sweep 4 found nothing.
    std::vector<std::string> writes = ChannelWrites(1);
    ASSERT_GE(writes.size(), 12u);
    for (size_t i = 0; i < 12; i += 3)
        EXPECT_EQ((std::vector<std::string>{"156", "100", "bye"}),
                  std::vector<std::string>(writes.begin() + i, writes.begin() + i + 3));
    EXPECT_TRUE(ChannelWrites(0).empty()) << "the pulled controller took nothing";
    EXPECT_EQ(2u, trapd.Records().size()) << "the non-event was dropped";
    EXPECT_THAT(sim.Command("stats 1"), ::testing::HasSubstr("events_queued=0"));
    EXPECT_EQ("ok", sim.Command("plug 0"));
}

class CenterWithoutAddress : public EmailCenter {
protected:
    bool HostAddress(std::string& address) override {
        address = "127.0.0.1";  // what GetHostName leaves behind when it fails
        return false;
    }
};

TEST(EmailCenterMail, HostWithoutAddressAndUnknownLevelLetter) {
    kvotest::PostfixPeer peer;
    std::string why;
    ASSERT_TRUE(peer.Load(&why)) << "postfix test peer unavailable: " << why;
    kvotest::TempDir dir;
    CenterWithoutAddress center;
    center.InitEmailCenter(dir.file("kvoomxemail.conf"));
    const std::string token = kvotest::UniqueToken("noaddr");
    SMTP_SERVER_INFO info;
    CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
    info.uPort = static_cast<uint16_t>(peer.port);
    CopyField(info.szMailFrom, sizeof info.szMailFrom, "raid-monitor@sender.example");
    ASSERT_TRUE(center.SetSMTPServer(&info));
    for (auto r : {Recipient(peer.Address(token + "-info"), 0x01), Recipient(peer.Address(token + "-err"), 0x04)})
        ASSERT_TRUE(center.EditRcpt(&r, RCPT_EDIT_ADD));

    center.EventArrived('X', (token + " level X").c_str());
    auto mail = peer.FindHeld(token);
    ASSERT_TRUE(mail.has_value());
    peer.Delete(mail->id);
    EXPECT_EQ(std::vector<std::string>{peer.Address(token + "-info")}, mail->recipients)
        << "an unknown level letter is mailed as information";
    EXPECT_NE(std::string::npos,
              mail->text.find("Subject: velmora tech raid system information (from inbound)\n"))
        << mail->text;
}

TEST_F(NotifyManagerTest, DisabledNotificationOpensNoConnectionAndFailedDeliveryIsLogged) {
    CountingListener smtp;
    UseSmtp(smtp.port(), 0, false);
    auto r = Recipient("ops@example.com", 0x07);
    ASSERT_TRUE(center.EditRcpt(&r, RCPT_EDIT_ADD));
    UseOptions(SweepsApart(100ms));

    // Enabled: the poller connects (and, unanswered, gives up after 10 s).
    ASSERT_EQ("ok", sim.Command("event 0 E now enabled"));
    CaptureStdout();
    manager->Run();
    ASSERT_TRUE(trapd.WaitForRecords(1)) << trapd.Output();
    int connections = 0;
    ASSERT_TRUE(kvotest::WaitUntil([&] { return (connections += smtp.Drain()) > 0; }, 5s));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return log.Count(LOG_ERROR, "not delivered") == 1; }, 15s));
    EXPECT_EQ(1, log.Count(LOG_ERROR, "SMTP server 127.0.0.1:" + std::to_string(smtp.port())));

    // Disabled (byAuth 2): the event still goes out as a trap, but no mail.
    UseSmtp(smtp.port(), SMTP_AUTH_DISABLED, false);
    size_t before = ChannelWrites(0).size();
    ASSERT_EQ("ok", sim.Command("event 0 E now disabled"));
    ASSERT_TRUE(trapd.WaitForRecords(2)) << trapd.Output();
    ASSERT_TRUE(kvotest::WaitUntil([&] { return ChannelWrites(0).size() >= before + 6; }));
    ReleaseStdout();
    EXPECT_EQ(0, smtp.Drain());
    EXPECT_EQ(1, log.Count(LOG_ERROR, "not delivered"));
}

TEST_F(NotifyManagerTest, SilentControllerIsBoundedAndStopEndsTheWaitAtOnce) {
    NotifyOptions options = SweepsApart(20ms);
    options.replyBound = 500ms;  // 2 s by default
    UseOptions(options);
    ASSERT_EQ("ok", sim.Command("silent-events 0 on"));
    ASSERT_EQ("ok", sim.Command("event 1 W now behind a silent one"));
    CaptureStdout();
    auto started = std::chrono::steady_clock::now();
    manager->Run();
    ASSERT_TRUE(trapd.WaitForRecords(1, 10s)) << trapd.Output();
    auto delivered = std::chrono::steady_clock::now() - started;
    EXPECT_GE(delivered, options.replyBound - 100ms) << "controller 0 was waited on first";
    EXPECT_LT(delivered, options.replyBound + 3s);
    std::vector<std::string> first = ChannelWrites(0);
    first.resize(std::min<size_t>(first.size(), 2));
    ASSERT_EQ((std::vector<std::string>{"156", "bye"}), first) << "the time-out ended with the disconnect text";

    // Stop while the next sweep waits on the silent controller.
    ASSERT_TRUE(kvotest::WaitUntil([&] { return ChannelWrites(0).size() == 3; }));
    auto stopAt = std::chrono::steady_clock::now();
    EXPECT_TRUE(manager->terminate());
    auto stopTook = std::chrono::steady_clock::now() - stopAt;
    ReleaseStdout();
    EXPECT_LT(stopTook, 500ms);
    EXPECT_FALSE(manager->IsRunning());
    EXPECT_EQ((std::vector<std::string>{"156", "bye", "156", "bye"}), ChannelWrites(0));
}

TEST_F(NotifyManagerTest, RunAfterTerminateNeverStartsASecondPoller) {
    size_t threads = ThreadCount();
    manager->Run();
    EXPECT_TRUE(manager->IsRunning());
    EXPECT_EQ(threads + 1, ThreadCount());
    for (int i = 0; i < 5; ++i) {
        manager->Run();
        EXPECT_EQ(threads + 1, ThreadCount());
    }
    EXPECT_TRUE(manager->terminate());
    EXPECT_TRUE(kvotest::WaitUntil([&] { return ThreadCount() == threads; }));
    manager->Run();
    EXPECT_TRUE(manager->IsRunning());
    EXPECT_EQ(threads + 1, ThreadCount());
}

}  // namespace
