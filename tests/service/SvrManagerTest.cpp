// The server manager against the simulator: ports read from (and defaults
// written to) the settings file under KVOOMX_HOME, the start-up lines, which
// servers exist, and that running servers relay and stop again.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>

#include "SimulatorProcess.h"
#include "TestSupport.h"
#include "controller/RelayTestSupport.h"
#include "controller/kvoIO.h"
#include "service/ServiceMain.h"
#include "service/SvrManager.h"

constexpr size_t kConfigServers = 1;

namespace {

using kvotest::SimulatorProcess;
using namespace relaytest;

std::string Hex(int value) {
    char text[16];
    snprintf(text, sizeof text, "%x", value);
    return text;
}

// Text between <key> and </key>, or "" when the element is absent.
std::string ElementText(const std::string& xml, const std::string& element) {
    std::smatch m;
    if (!std::regex_search(xml, m, std::regex("<" + element + ">\\s*([^<]*?)\\s*</" + element + ">")))
        return "";
    return m[1];
}

std::string ControllerBlock(const std::string& xml, int index) {
    std::string tag = "controller" + std::to_string(index);
    size_t from = xml.find("<" + tag + ">");
    size_t to = xml.find("</" + tag + ">");
    if (from == std::string::npos || to == std::string::npos) return "";
    return xml.substr(from, to - from);
}

class FiveControllerManager : public SvrManager {
protected:
    unsigned int ControllerCount() override { return 5; }
};

class SvrManagerTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("KVOOMX_HOME", home.path().c_str(), 1); }
    void TearDown() override { kvoIO::GetInstance()->terminate(); }

    void UseSimulator(int controllers) {
        sim = std::make_unique<SimulatorProcess>(controllers);
        ASSERT_TRUE(sim->ok()) << sim->Log();
        sim->ExportDriverDir();
        kvoIO::GetInstance()->initialize();
        ASSERT_EQ(static_cast<unsigned>(controllers), kvoIO::GetInstance()->getControllerCount());
    }

    void WriteConfig(const std::string& body) {
        kvotest::WriteFileText(home.file("kvoomxsvr.conf"), "<root>\n" + body + "</root>\n");
    }

    // The store is process-wide: make it read this test's file afresh.
    void LoadStore() {
        SvrManager::m_configFile.Initialize(SvrManager::ConfigFilePath().c_str());
        SvrManager::m_configFile.LoadFile();
    }

    std::string InitializeAndCapture(SvrManager& manager, int& result) {
        LoadStore();
        testing::internal::CaptureStdout();
        result = manager.initialize();
        return testing::internal::GetCapturedStdout();
    }

    std::string ConfigText() { return kvotest::ReadFileText(home.file("kvoomxsvr.conf")); }

    kvotest::TempDir home;
    std::unique_ptr<SimulatorProcess> sim;
};

TEST_F(SvrManagerTest, StateUnderKvoomxHomeStaticFilesThereOrInstalled) {
    EXPECT_EQ(home.path() + "/kvoomxsvr.conf", SvrManager::ConfigFilePath());
    EXPECT_EQ(home.path() + "/kvoomxemail.conf", SvrManager::EmailFilePath());
    EXPECT_EQ(home.path() + "/kvoomxevents.db", SvrManager::LedgerFilePath());
    // A state folder without a web root: the installed, read-only one.
    EXPECT_EQ("/usr/share/kvoomx/webguiroot/", SvrManager::WebRootPath());
    // Everything in one folder (make run, the tests): the web root there.
    std::filesystem::create_directories(home.file("webguiroot"));
    EXPECT_EQ(home.path() + "/webguiroot/", SvrManager::WebRootPath());
    EXPECT_EQ(home.path() + "/", SvrManager::StaticFolder());
    unsetenv("KVOOMX_HOME");
    EXPECT_EQ("/var/lib/kvoomx/kvoomxsvr.conf", SvrManager::ConfigFilePath());
    EXPECT_EQ("/var/lib/kvoomx/kvoomxemail.conf", SvrManager::EmailFilePath());
    EXPECT_EQ("/var/lib/kvoomx/kvoomxevents.db", SvrManager::LedgerFilePath());
}

TEST_F(SvrManagerTest, FirstStartWithTwoControllersWritesTheirPortDefaultsButNoConfigPort) {
    UseSimulator(2);
    SvrManager manager;
    int result = -2;
    std::string out = InitializeAndCapture(manager, result);
    EXPECT_EQ(0, result);
    EXPECT_EQ(7402, SettingServerPort);
    EXPECT_NE(std::string::npos,
              out.find("Configuration server runs on port 7402\n"
                       "Find 2 controller(s)\n"
                       "Controller0 WEB GUI runs on port 7412\n"
                       "Controller1 WEB GUI runs on port 7422\n"))
        << out;
    EXPECT_EQ(kConfigServers + 2, manager.ServerCount());

    std::string xml = ConfigText();
    EXPECT_EQ("1cf4", ElementText(ControllerBlock(xml, 0), "httpport")) << xml;
    EXPECT_EQ("1cf6", ElementText(ControllerBlock(xml, 0), "cliport")) << xml;
    EXPECT_EQ("1cfe", ElementText(ControllerBlock(xml, 1), "httpport")) << xml;
    EXPECT_EQ("1d00", ElementText(ControllerBlock(xml, 1), "cliport")) << xml;
    EXPECT_EQ(std::string::npos, xml.find("configport")) << xml;
    EXPECT_EQ(std::string::npos, xml.find("controller2")) << xml;
}

TEST_F(SvrManagerTest, StoredPortsAreReadAsHexAndKept) {
    UseSimulator(1);
    WriteConfig("<configport>2328</configport>\n"
                "<controller0><httpport>1F90</httpport><cliport>1f91</cliport></controller0>\n");
    SvrManager manager;
    int result = -2;
    std::string out = InitializeAndCapture(manager, result);
    EXPECT_EQ(0, result);
    EXPECT_EQ(9000, SettingServerPort);
    EXPECT_EQ(9000, manager.GetSerConfig());
    EXPECT_NE(std::string::npos, out.find("Configuration server runs on port 9000\n")) << out;
    EXPECT_NE(std::string::npos, out.find("Controller0 WEB GUI runs on port 8080\n")) << out;
    unsigned short http = 0, cli = 0;
    EXPECT_TRUE(manager.GetConfig(0, http, cli));
    EXPECT_EQ(8080, http);
    EXPECT_EQ(8081, cli);
    // Nothing was missing, so nothing was rewritten.
    EXPECT_NE(std::string::npos, ConfigText().find("1F90"));
}

TEST_F(SvrManagerTest, RelayPortZeroOr65535OpensNoServerButIsAnnounced) {
    UseSimulator(2);
    WriteConfig("<controller0><httpport>0</httpport></controller0>\n"
                "<controller1><httpport>ffff</httpport></controller1>\n");
    SvrManager manager;
    int result = -2;
    std::string out = InitializeAndCapture(manager, result);
    EXPECT_EQ(0, result);
    EXPECT_NE(std::string::npos, out.find("Controller0 WEB GUI runs on port 0\n")) << out;
    EXPECT_NE(std::string::npos, out.find("Controller1 WEB GUI runs on port 65535\n")) << out;
    EXPECT_EQ(kConfigServers, manager.ServerCount());
    // The missing command-line ports were still filled in.
    std::string xml = ConfigText();
    EXPECT_EQ("1cf6", ElementText(ControllerBlock(xml, 0), "cliport")) << xml;
    EXPECT_EQ("1d00", ElementText(ControllerBlock(xml, 1), "cliport")) << xml;
    EXPECT_EQ("0", ElementText(ControllerBlock(xml, 0), "httpport")) << xml;
}

TEST_F(SvrManagerTest, MoreThanFourControllersCreateNoRelayAndNoCountLine) {
    UseSimulator(1);
    FiveControllerManager manager;
    int result = 0;
    std::string out = InitializeAndCapture(manager, result);
    EXPECT_EQ(-1, result);
    EXPECT_NE(std::string::npos, out.find("Configuration server runs on port 7402\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("Find ")) << out;
    EXPECT_EQ(std::string::npos, out.find("WEB GUI")) << out;
    EXPECT_EQ(kConfigServers, manager.ServerCount());
    EXPECT_EQ(std::string::npos, ConfigText().find("controller")) << ConfigText();
}

TEST_F(SvrManagerTest, NoControllerLeavesOnlyTheConfigurationServer) {
    kvotest::TempDir emptyDriverDir;
    setenv("KVOOMX_DRIVER_DIR", emptyDriverDir.path().c_str(), 1);
    kvoIO::GetInstance()->initialize();
    SvrManager manager;
    int result = -2;
    std::string out = InitializeAndCapture(manager, result);
    EXPECT_EQ(0, result);
    EXPECT_NE(std::string::npos, out.find("Find 0 controller(s)\n")) << out;
    EXPECT_EQ(std::string::npos, out.find("WEB GUI")) << out;
    EXPECT_EQ(kConfigServers, manager.ServerCount());
}

TEST_F(SvrManagerTest, RunRelaysEachControllerAndTerminateStopsEveryServer) {
    UseSimulator(2);
    int configPort = kvotest::FreeTcpPort();
    int port0 = kvotest::FreeTcpPort();
    int port1 = kvotest::FreeTcpPort();
    ASSERT_NE(port0, port1);
    WriteConfig("<configport>" + Hex(configPort) + "</configport>\n"
                "<controller0><httpport>" + Hex(port0) + "</httpport></controller0>\n"
                "<controller1><httpport>" + Hex(port1) + "</httpport></controller1>\n");
    std::filesystem::copy(std::string(KVO_SOURCE_DIR) + "/share/webguiroot", home.file("webguiroot"),
                          std::filesystem::copy_options::recursive);
    SvrManager manager;
    int result = -2;
    InitializeAndCapture(manager, result);
    ASSERT_EQ(0, result);
    ASSERT_EQ(0, manager.run());

    // Each relay port reaches its own controller.
    int fd0 = kvotest::ConnectLoopback(port0);
    int fd1 = kvotest::ConnectLoopback(port1);
    ASSERT_GE(fd0, 0);
    ASSERT_GE(fd1, 0);
    ASSERT_TRUE(SendAll(fd0, Get("/")));
    ASSERT_TRUE(SendAll(fd1, Get("/")));
    HttpAnswer a0 = ReadHttpAnswer(fd0), a1 = ReadHttpAnswer(fd1);
    EXPECT_EQ(200, a0.status());
    EXPECT_EQ(200, a1.status());
    EXPECT_NE(std::string::npos, a0.body.find("QZQRMController #0"));
    EXPECT_NE(std::string::npos, a1.body.find("QZQRMController #1"));
    auto controllersSeen = [&](int controller) {
        return !sim->Transcript([&](const TranscriptEntry& e) {
                        return e.controller == controller && e.buffer == KVO_WEB_BUFFER;
                    }).empty();
    };
    EXPECT_TRUE(controllersSeen(0));
    EXPECT_TRUE(controllersSeen(1));
    // The configuration server serves the web root.
    int cfd = kvotest::ConnectLoopback(configPort);
    ASSERT_GE(cfd, 0);
    ASSERT_TRUE(SendAll(cfd, "GET /common.xsl HTTP/1.0\r\n\r\n"));
    std::string page = kvotest::ReadAll(cfd, std::chrono::seconds(5));
    close(cfd);
    EXPECT_EQ(0u, page.find("HTTP/1.0 200")) << page.substr(0, 200);

    // fd0 stays open: terminate shuts it down, and the firmware hears of it.
    close(fd1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, manager.terminate());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0u, manager.ServerCount());
    EXPECT_TRUE(WaitForClose(fd0, std::chrono::seconds(2)));
    close(fd0);
    EXPECT_LT(kvotest::ConnectLoopback(port0), 0);
    EXPECT_LT(kvotest::ConnectLoopback(port1), 0);
    size_t shutdowns = 0;
    for (size_t at = out.find("Server is shutting down..."); at != std::string::npos;
         at = out.find("Server is shutting down...", at + 1))
        ++shutdowns;
    EXPECT_EQ(kConfigServers + 2, shutdowns) << out;
    auto disconnects = sim->Transcript([](const TranscriptEntry& e) {
        return e.op == "write" && e.buffer == KVO_WEB_BUFFER && e.data == kDisconnectBytes;
    });
    EXPECT_EQ(2u, disconnects.size());
    // A second terminate finds nothing left to stop.
    EXPECT_EQ(0, manager.terminate());
}

// Without the test variable the standard timings hold; with it only the
// well-formed names change, and nothing else.
TEST(ServiceOptions, TestTimingsShortenOnlyWhatTheyName) {
    using std::chrono::milliseconds;
    for (const char* unset : {static_cast<const char*>(nullptr), "", "startpause", "startpause=-5,rescan=1x"}) {
        ServiceOptions standard = KvoServiceOptions(unset);
        EXPECT_EQ(milliseconds(2000), standard.startPause) << (unset ? unset : "(null)");
        EXPECT_EQ(milliseconds(5000), standard.manager.rescanInterval);
        EXPECT_EQ(1000, standard.manager.configServer.shutdownRoundMs);
        EXPECT_EQ(milliseconds(10000), standard.manager.mail.waitBound);
    }
    ServiceOptions shortened = KvoServiceOptions("startpause=0,rescan=250,unknown=7,shutdownround=100,mailwait=1500");
    EXPECT_EQ(milliseconds(0), shortened.startPause);
    EXPECT_EQ(milliseconds(250), shortened.manager.rescanInterval);
    EXPECT_EQ(100, shortened.manager.configServer.shutdownRoundMs);
    EXPECT_EQ(100, shortened.manager.relayServer.shutdownRoundMs);
    EXPECT_EQ(milliseconds(1500), shortened.manager.mail.waitBound);
    EXPECT_EQ(milliseconds(120000), shortened.manager.mail.dialogueBound);
    EXPECT_EQ(20000, shortened.manager.relay.sliceUs);
}

}  // namespace
