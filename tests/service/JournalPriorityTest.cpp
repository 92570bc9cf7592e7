// The service as its unit starts it (-NODAEMON --journal): every line on
// standard output begins with its syslog priority as the journal reads it,
// events by their level, log lines without the level words, transfer trace
// lines only with --verbose, and a clean stop without error lines.
#include <signal.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "SimulatorProcess.h"
#include "TestSupport.h"
#include "server/ServiceProcess.h"

namespace {

using namespace std::chrono;
using kvotest::WaitUntil;

class JournalPriorityTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sim.ok()) << m_sim.Log();
        // Queued before the start: the poller's first sweep finds them.
        ASSERT_EQ("ok", m_sim.Command("event 0 E now Disk 3 failed"));
        ASSERT_EQ("ok", m_sim.Command("event 0 W now Fan slow"));
        m_service.UseDriverDir(m_sim.dir());
        // Sweeps 500 ms apart instead of 10 s.
        char conf[300];
        snprintf(conf, sizeof conf,
                 "<root>\n    <configport>%x</configport>\n    <controller0>\n"
                 "        <httpport>%x</httpport>\n    </controller0>\n"
                 "    <events>\n        <sweeppause>1f4</sweeppause>\n    </events>\n</root>\n",
                 m_service.port(), kvotest::FreeTcpPort());
        kvotest::WriteFileText(m_service.home() + "/kvoomxsvr.conf", conf);
    }

    // Every line of the output, each checked to carry a "<N>" prefix.
    std::vector<std::string> Lines() {
        std::vector<std::string> lines;
        std::istringstream in(m_service.Output());
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    bool HasLine(const std::string& line) {
        for (const auto& l : Lines())
            if (l == line || l == line + "\r") return true;
        return false;
    }

    void StopCleanly() {
        kill(m_service.pid(), SIGTERM);
        EXPECT_EQ(m_service.WaitExit(), 0) << m_service.Output();
        EXPECT_TRUE(WaitUntil([&] { return m_service.OutputClosed(); }, seconds(5)));
    }

    kvotest::SimulatorProcess m_sim{1};
    kvotest::ServiceProcess m_service;
};

TEST_F(JournalPriorityTest, EveryLineCarriesItsPriority) {
    m_service.Start({"-NODAEMON", "--journal"});
    // One event a sweep: the second comes with the sweep after the first.
    ASSERT_TRUE(WaitUntil([&] { return HasLine("<4>Get event: Fan slow"); }, seconds(40)))
        << m_service.Output();
    // A relay connection: a log line of the server framework.
    int fd = kvotest::ConnectLoopback(m_service.port());
    ASSERT_GE(fd, 0);
    close(fd);
    StopCleanly();

    EXPECT_TRUE(HasLine("<6>Configuration server runs on port " + std::to_string(m_service.port())));
    EXPECT_TRUE(HasLine("<3>Get event: Disk 3 failed")) << m_service.Output();
    EXPECT_TRUE(HasLine("<6>Server is shutting down...")) << m_service.Output();
    for (const auto& line : Lines()) {
        if (line == "Handle SIGPIPE") continue;  // from a signal handler, as is
        bool prefixed = line.size() > 3 && line[0] == '<' && line[1] >= '0' && line[1] <= '7' && line[2] == '>';
        EXPECT_TRUE(prefixed) << "[" << line << "]";
        EXPECT_EQ(line.find("Information:"), std::string::npos) << line;
        EXPECT_EQ(line.find("Error      :"), std::string::npos) << line;
        // A clean stop reports no errors; the only error here is the failed disk.
        if (line.rfind("<3>", 0) == 0) {
            EXPECT_EQ(line, "<3>Get event: Disk 3 failed");
        }
    }
    EXPECT_FALSE(m_service.OutputHas("DevIOCtl success"));
}

TEST_F(JournalPriorityTest, TransferTraceOnlyWhenAskedAndUnchangedOnTheConsole) {
    m_service.Start({"-NODAEMON", "--verbose"});
    ASSERT_TRUE(WaitUntil([&] { return m_service.OutputHas("Get event: Disk 3 failed"); }, seconds(30)))
        << m_service.Output();
    StopCleanly();
    EXPECT_TRUE(m_service.OutputHas("\nDevIOCtl success ")) << m_service.Output();
    EXPECT_TRUE(m_service.OutputHas("Information: Server is shutting down...\n"));
    EXPECT_FALSE(m_service.OutputHas("<7>"));
}

}  // namespace
