// The whole service with its event notification: kvoomxsvr on the simulator,
// its trap receiver snmptrapd and its SMTP server the postfix test peer; then
// SIGTERM while the poller waits on a controller that never answers.
// GCC 12 warns falsely inside <regex> in sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "RecordText.h"
#include "SimulatorProcess.h"
#include "SnmpTrapdProcess.h"
#include "mail/PostfixPeer.h"
#include "notify/EmailCenter.h"
#include "server/ServiceProcess.h"

namespace {

using namespace std::chrono_literals;

// Event-channel writes to `controller`, each shown by its size ("bye" = disconnect).
std::vector<std::string> ChannelWrites(const kvotest::SimulatorProcess& sim, int controller) {
    std::vector<std::string> out;
    for (const auto& e : sim.Transcript([&](const kvotest::TranscriptEntry& e) {
             return e.controller == controller && e.buffer == 1 && e.connection == 65 && e.op == "write";
         }))
        out.push_back(e.data == "Socket disconnect!" ? "bye" : std::to_string(e.data.size()));
    return out;
}

TEST(ServiceNotify, EventReachesTrapAndMailThenSigtermEndsTheSilentWait) {
    kvotest::PostfixPeer peer;
    std::string why;
    ASSERT_TRUE(peer.Load(&why)) << "postfix test peer unavailable: " << why;
    kvotest::SnmpTrapdProcess trapd;
    ASSERT_TRUE(trapd.Start()) << trapd.Output();
    kvotest::SimulatorProcess sim(2);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    const std::string token = kvotest::UniqueToken("svc");
    ASSERT_EQ("ok", sim.Command("event 0 E 2009-03-07T14:05:09 " + token + " Drive 3 failed"));
    ASSERT_EQ("ok", sim.Command("silent-events 1 on"));

    kvotest::ServiceProcess svc;
    svc.UseDriverDir(sim.dir());
    svc.Preload(sim.PreloadLibrary());
    char conf[2048];
    // Relay ports 0: no relay servers, so nothing collides with other tests.
    std::snprintf(conf, sizeof conf,
                  "<root>\n    <configport>%x</configport>\n"
                  "    <controller0>\n        <httpport>0</httpport>\n        <cliport>0</cliport>\n    </controller0>\n"
                  "    <controller1>\n        <httpport>0</httpport>\n        <cliport>0</cliport>\n    </controller1>\n"
                  "    <snmp>\n        <trap>\n            <levelflag>4</levelflag>\n"
                  "            <trap1>\n                <ip>127.0.0.1</ip>\n"
                  "                <port>%x</port>\n            </trap1>\n"
                  "        </trap>\n    </snmp>\n%s</root>\n",
                  svc.port(), trapd.port(), sim.BridgeSettingsXml().c_str());
    kvotest::WriteFileText(svc.home() + "/kvoomxsvr.conf", conf);
    {
        EmailCenter setup;
        setup.InitEmailCenter(svc.home() + "/kvoomxemail.conf");
        SMTP_SERVER_INFO info;
        CopyField(info.szSMTPServer, sizeof info.szSMTPServer, "127.0.0.1");
        info.uPort = static_cast<uint16_t>(peer.port);
        info.byAuth = SMTP_AUTH_LOGIN;
        CopyField(info.szLoginName, sizeof info.szLoginName, peer.user);
        CopyField(info.szPassword, sizeof info.szPassword, peer.password);
        CopyField(info.szMailFrom, sizeof info.szMailFrom, "raid-monitor@sender.example");
        ASSERT_TRUE(setup.SetSMTPServer(&info));
        _MAIL_RECIPIENT_INFO r;
        CopyField(r.szMailAddress, sizeof r.szMailAddress, peer.Address(token));
        CopyField(r.szName, sizeof r.szName, "Ops");
        r.byLevel = MAIL_LEVEL_ERROR;
        ASSERT_TRUE(setup.EditRcpt(&r, RCPT_EDIT_ADD));
    }

    svc.Start({"-NODAEMON"});
    ASSERT_TRUE(kvotest::WaitUntil([&] { return svc.OutputHas("Get event: " + token + " Drive 3 failed\r\n"); },
                                   15s))
        << svc.Output();
    if (sim.scsiTarget()) {  // the start-up lines name the bridge and the two devices
        EXPECT_TRUE(svc.OutputHas("Driver bridge: SCSI generic")) << svc.Output();
        EXPECT_TRUE(svc.OutputHas("/sg/dev/sg2 (2:0:0:0): VELMORA ARC-SIM, type 3, driver kvoqrm\n")) << svc.Output();
        EXPECT_TRUE(svc.OutputHas("Find 2 controller(s)")) << svc.Output();
    }
    ASSERT_TRUE(trapd.WaitForRecords(1)) << trapd.Output();
    EXPECT_NE(std::string::npos,
              trapd.Output().find("At 2009-03-07 14:05:09 Controller 1:\r\n " + token + " Drive 3 failed"));
    auto mail = peer.FindHeld(token);
    ASSERT_TRUE(mail.has_value());
    peer.Delete(mail->id);
    EXPECT_NE(std::string::npos, mail->text.find("Subject: velmora tech raid system information (from inbound"));

    // The poller now waits on controller 1, which never answers.
    ASSERT_TRUE(kvotest::WaitUntil([&] { return ChannelWrites(sim, 1) == std::vector<std::string>{"156"}; }, 5s));
    auto signalled = std::chrono::steady_clock::now();
    kill(svc.pid(), SIGTERM);
    EXPECT_EQ(0, svc.WaitExit(10s)) << svc.Output();
    auto took = std::chrono::steady_clock::now() - signalled;
    EXPECT_LT(took, 1500ms) << "SIGTERM to exit";
    // The poller ended its wait in order: the silent controller got the disconnect text.
    EXPECT_EQ((std::vector<std::string>{"156", "bye"}), ChannelWrites(sim, 1));
    EXPECT_EQ(std::string::npos, svc.Output().find("Sanitizer")) << svc.Output();
    std::printf("SIGTERM to exit during a silent wait: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
}

}  // namespace
