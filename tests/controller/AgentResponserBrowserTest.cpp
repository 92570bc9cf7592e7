// A real browser (headless chromium) loads the simulated controller's web UI
// through a relay port: page, stylesheet and images all travel through the
// relay. The screenshot is kept under the build tree as an artefact.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <memory>
#include <string>

#include "RelayTestSupport.h"
#include "SimulatorBridge.h"
#include "controller/AgentResponser.h"
#include "controller/kvoIO.h"
#include "server/GenericServer.h"
#include "server/SocketCommAgent.h"

namespace {

using namespace relaytest;
using kvotest::SimulatorProcess;

const char* kChromium = "/usr/bin/chromium";

std::string ArtefactDir() {
    std::string dir = std::filesystem::path(KVO_TEST_TMP).parent_path() / "artefacts";
    std::filesystem::create_directories(dir);
    return dir;
}

// Runs chromium headless with a fresh profile; its exit status, or -1.
int RunChromium(const std::string& profile, const std::string& screenshot, const std::string& url,
                const std::string& logFile) {
    std::string command = std::string("timeout -k 5 90 ") + kChromium +
                          " --headless --no-sandbox --disable-gpu --no-first-run"
                          " --disable-background-networking --disable-component-update --disable-sync"
                          " --hide-scrollbars --window-size=1024,768 --user-data-dir='" + profile +
                          "' --screenshot='" + screenshot + "' '" + url + "' >'" + logFile + "' 2>&1";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool FirmwareSawRequestFor(const SimulatorProcess& sim, const std::string& path) {
    std::string line = "GET " + path + " HTTP/1.1\r\n";
    return !sim.Transcript([&](const TranscriptEntry& e) {
                   return e.op == "write" && e.buffer == KVO_WEB_BUFFER &&
                          e.data.find(line) != std::string::npos;
               }).empty();
}

TEST(AgentResponserBrowserTest, ChromiumLoadsTheControllerUiWithStylesheetAndImages) {
    if (!std::filesystem::exists(kChromium)) GTEST_SKIP() << "chromium is not installed";
    SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    ASSERT_EQ(1u, ConnectKvoIO(sim));
    int port = kvotest::FreeTcpPort();
    auto server = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(port, 0),
                                                  std::make_unique<AgentResponser>(1), 0, KVO_WEB_BUFFER);
    ASSERT_EQ(0, server->Run());

    kvotest::TempDir profile;
    const std::string name = sim.scsiTarget() ? "/relay-controller-ui-sg" : "/relay-controller-ui";
    std::string screenshot = ArtefactDir() + name + ".png";
    std::string log = ArtefactDir() + name + ".chromium.log";
    std::filesystem::remove(screenshot);
    int status = RunChromium(profile.path(), screenshot, "http://127.0.0.1:" + std::to_string(port) + "/", log);
    EXPECT_EQ(0, status) << kvotest::ReadFileText(log);

    // The screenshot is a real PNG of a rendered page, not an error tab.
    ASSERT_TRUE(std::filesystem::exists(screenshot)) << kvotest::ReadFileText(log);
    std::string png = kvotest::ReadFileText(screenshot);
    EXPECT_EQ(std::string("\x89PNG\r\n\x1a\n", 8), png.substr(0, 8));
    EXPECT_GT(png.size(), 10000u);

    EXPECT_TRUE(FirmwareSawRequestFor(sim, "/"));
    EXPECT_TRUE(FirmwareSawRequestFor(sim, "/style.css"));
    EXPECT_TRUE(FirmwareSawRequestFor(sim, "/images/logo.svg"));
    EXPECT_TRUE(FirmwareSawRequestFor(sim, "/images/ok.png"));

    server->ShutDown();
    server.reset();
    DisconnectKvoIO();
}

}  // namespace
