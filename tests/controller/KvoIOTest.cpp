// kvoIO's pass-through records as they reach the simulated firmware: command
// blocks, request and reply sizes, byte order, and the copy limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "SimulatorProcess.h"
#include "controller/DriverPort.h"
#include "controller/kvoIO.h"

namespace {

using kvotest::SimulatorProcess;
using kvotest::TranscriptEntry;

const char kConnect[] = "Socket connect!";

class KvoIOTest : public ::testing::Test {
protected:
    void Use(SimulatorProcess& sim) {
        ASSERT_TRUE(sim.ok()) << sim.Log();
        sim.ExportDriverDir();
        io = kvoIO::GetInstance();
        io->initialize();
    }
    void TearDown() override { kvoIO::GetInstance()->terminate(); }

    kvoIO* io = nullptr;
};

TEST_F(KvoIOTest, SixteenByteWriteAndFullBlockReadCarryTheExactCommandBlocks) {
    SimulatorProcess sim(1);
    Use(sim);
    ASSERT_EQ(1u, io->getControllerCount());
    ASSERT_EQ(16, io->writeIO(0, 2, 7, kConnect, 16));
    const char sixteen[] = "0123456789abcdef";
    EXPECT_EQ(16, io->writeIO(0, 2, 7, sixteen, 16));
    char buf[2016];
    EXPECT_EQ(0, io->readIO(0, 2, 7, buf, sizeof buf));

    auto entries = sim.Transcript();
    ASSERT_EQ(3u, entries.size());
    const TranscriptEntry& write = entries[1];
    EXPECT_EQ("write", write.op);
    EXPECT_EQ("3b000207000000001000", write.cdb);
    EXPECT_EQ(44u, write.requestBytes);
    EXPECT_EQ(8u, write.replyBytes);
    EXPECT_EQ("10000000", write.dataLengthBytes);  // host (little-endian) order
    EXPECT_EQ(16u, write.asked);
    EXPECT_EQ(std::string(sixteen, 16), write.data);
    const TranscriptEntry& read = entries[2];
    EXPECT_EQ("read", read.op);
    EXPECT_EQ("3c00020700000007e000", read.cdb);
    EXPECT_EQ(28u, read.requestBytes);
    EXPECT_EQ(2024u, read.replyBytes);
    EXPECT_EQ(2u, read.buffer);
    EXPECT_EQ(7u, read.connection);
}

TEST_F(KvoIOTest, IndexWithoutPortFailsWithoutTouchingTheDriver) {
    SimulatorProcess sim(1);
    Use(sim);
    char buf[16] = {};
    EXPECT_EQ(-1, io->writeIO(4, 2, 1, buf, 16));
    EXPECT_EQ(-1, io->writeIO(1, 2, 1, buf, 16));
    EXPECT_EQ(-1, io->readIO(1, 2, 1, buf, 16));
    EXPECT_EQ(-1, io->readIO(0xFFFFFFFFu, 2, 1, buf, 16));
    EXPECT_TRUE(sim.Transcript().empty());
}

}  // namespace

namespace {

TEST(SimulatorProcessTest, BadOptionsFailFastWithTheReasonInTheLog) {
    kvotest::SimulatorProcess::Options o;
    o.extraArgs = {"--events-every", "soon"};
    auto start = std::chrono::steady_clock::now();
    kvotest::SimulatorProcess sim(o);
    EXPECT_FALSE(sim.ok());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(std::string::npos, sim.Log().find("--events-every takes"));
}

}  // namespace
