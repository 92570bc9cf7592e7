// A controller's driver that goes away and comes back, and one that answers
// too late: the port resumes service on its own (bounded back-off), and a
// late reply never pairs with the next call (the bridge ends the connection
// and the port's reset rules reconnect it).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "SimulatorProcess.h"
#include "controller/DriverPort.h"
#include "controller/UnixDriverBridge.h"
#include "controller/kvoIO.h"

namespace {

using kvotest::SimulatorProcess;
using ::testing::HasSubstr;
using Clock = std::chrono::steady_clock;

std::string StopCapture() {
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

// True once the simulator holds back no reply of controller 0 any more.
bool NothingHeld(const SimulatorProcess& sim) {
    return sim.Command("stats 0").find(" held=0") != std::string::npos;
}

size_t ReadsOf(const SimulatorProcess& sim, unsigned connection) {
    return sim.Transcript([&](const kvotest::TranscriptEntry& e) {
               return e.op == "read" && e.connection == connection;
           }).size();
}

class DriverRecoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(sim.ok()) << sim.Log();
        sim.ExportDriverDir();
        io = kvoIO::GetInstance();
        io->initialize();
        ASSERT_EQ(1u, io->getControllerCount());
    }
    void TearDown() override {
        io->terminate();
        DriverBridge::SetCurrent(nullptr);
    }

    SimulatorProcess sim{1};
    kvoIO* io = nullptr;
    char buf[2016];
    // A socket bridge with short calls, installed by a test; outlives TearDown.
    std::unique_ptr<UnixDriverBridge> shortCalls;
};

// Used to stay dead until the service restarted: kvoIO never called an
// unconnected port again.
TEST_F(DriverRecoveryTest, PortWhoseResetFailedServesAgainOnceTheDriverIsBack) {
    ASSERT_EQ(0, io->readIO(0, 2, 3, buf, sizeof buf));
    sim.Kill();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-1, io->readIO(0, 2, 3, buf, sizeof buf));
    // Calls during the back-off fail without reaching for the driver.
    for (int i = 0; i < 50; ++i) io->readIO(0, 2, 3, buf, sizeof buf);
    std::string out = StopCapture();
    EXPECT_THAT(out, HasSubstr("Failed to reset driver port.\n"));
    EXPECT_FALSE(_get_port(0)->IsConnected());

    ASSERT_TRUE(sim.Start()) << sim.Log();
    auto back = Clock::now();
    ::testing::internal::CaptureStdout();
    bool served = kvotest::WaitUntil([&] { return io->readIO(0, 2, 3, buf, sizeof buf) == 0; },
                                     std::chrono::seconds(5));
    double resumedMs = std::chrono::duration<double, std::milli>(Clock::now() - back).count();
    StopCapture();
    ASSERT_TRUE(served);
    EXPECT_LT(resumedMs, 2500.0);  // at most one back-off step of 2 s
    std::printf("relay port resumed %.0f ms after the driver came back\n", resumedMs);
    EXPECT_EQ(16, io->writeIO(0, 2, 3, "Socket connect!", 16));
}

// A reply to selector 1 held back past the time-out used to be taken as the
// next call's selector-0 answer; every call after that was one reply behind
// and failed, with no reset. Selector 1's reply is read behind the next
// call's message: still missing after the time-out, that call's connection
// is reset instead.
TEST_F(DriverRecoveryTest, LateDriverReplyNeverAnswersTheNextCall) {
    shortCalls = std::make_unique<UnixDriverBridge>(200);
    DriverBridge::SetCurrent(shortCalls.get());
    ASSERT_TRUE(_get_port(0)->Reset());  // a connection with the short time-out
    ASSERT_EQ("ok", sim.Command("hold 0 600 1"));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(0, io->readIO(0, 2, 9, buf, sizeof buf));  // selector 1's result is not used

    EXPECT_EQ(16, io->writeIO(0, 2, 9, "Socket connect!", 16));
    // The late reply goes out (or the connection is gone) meanwhile.
    ASSERT_TRUE(kvotest::WaitUntil([&] { return NothingHeld(sim); }));
    for (int i = 0; i < 5; ++i) EXPECT_EQ(0, io->readIO(0, 2, 9, buf, sizeof buf));
    std::string out = StopCapture();
    EXPECT_THAT(out, HasSubstr("DriverClientOpen failed code = ffffffff. Class QZQRMController[0]"));
    EXPECT_THAT(out, ::testing::Not(HasSubstr("Failed to reset driver port.")));
    EXPECT_EQ(6u, ReadsOf(sim, 9));

    // A held reply to the transfer itself fails that one call only.
    ASSERT_EQ("ok", sim.Command("hold 0 600 2"));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-1, io->readIO(0, 2, 9, buf, sizeof buf));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return NothingHeld(sim); }));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, io->readIO(0, 2, 9, buf, sizeof buf));
    StopCapture();
}

// Selector 1's result is never used, so a transfer does not sleep through its
// round trip: the call is over while the driver still holds that reply, and
// the next call reads it behind its own message, one reply per request.
TEST_F(DriverRecoveryTest, TransferDoesNotAwaitTheClientCloseReply) {
    ASSERT_EQ("ok", sim.Command("hold 0 3000 1"));
    EXPECT_EQ(0, io->readIO(0, 2, 9, buf, sizeof buf));
    EXPECT_THAT(sim.Command("stats 0"), HasSubstr(" held=1"));

    EXPECT_EQ(16, io->writeIO(0, 2, 9, "Socket connect!", 16));
    EXPECT_TRUE(NothingHeld(sim));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(0, io->readIO(0, 2, 9, buf, sizeof buf));
    EXPECT_EQ(4u, ReadsOf(sim, 9));
}

}  // namespace
