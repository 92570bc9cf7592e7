// End to end: the trap sender's notifications as Debian's snmptrapd decodes them.
#include <gtest/gtest.h>

#include "SnmpTrapdProcess.h"
#include "notify/KvoSnmpTrap.h"

namespace {

using kvotest::SnmpTrapdProcess;

const std::string kUptimePrefix = ".1.3.6.1.2.1.1.3.0 = Timeticks: (";
const std::string kTrapOidLine = ".1.3.6.1.6.3.1.1.4.1.0 = OID: .1.3.6.1.4.1.47321.1.1.0.1";

std::string TextLine(const std::string& text) {
    return ".1.3.6.1.2.1.1.1.0 = STRING: \"" + text + "\"";
}

class SnmpTrapdTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(trapd.Start()) << trapd.Output(); }

    SnmpTrapdProcess trapd;
    KvoSnmpTrap trap;
};

TEST_F(SnmpTrapdTest, ReceivesPublicV2cTrapWithIdentifierAndEventText) {
    ASSERT_EQ(trap.SetTrapTarget(1, "127.0.0.1", trapd.port(), nullptr), 0);
    trap.SetTrapLevel(0x04);
    const std::string text = "At 2026-12-07 21:10:00 Controller 0:\r\n Drive 3 failed";
    trap.SendTextTrap('E', text.c_str());

    ASSERT_TRUE(trapd.WaitForRecords(1)) << trapd.Output();
    auto records = trapd.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].security, "TRAP2, SNMP v2c, community public");
    ASSERT_EQ(records[0].varbinds.size(), 3u) << trapd.Output();
    EXPECT_EQ(records[0].varbinds[0].rfind(kUptimePrefix, 0), 0u) << records[0].varbinds[0];
    EXPECT_EQ(records[0].varbinds[1], kTrapOidLine);
    EXPECT_EQ(records[0].varbinds[2], TextLine(text));
}

TEST_F(SnmpTrapdTest, TwoValidReceiversAroundAnInvalidOneGetOneTrapEachInOrder) {
    ASSERT_EQ(trap.SetTrapTarget(1, "127.0.0.1", trapd.port(), "alpha"), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(trap.SetTrapTarget(2, "", 162, nullptr), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Invalid Address:  \n");
    ASSERT_EQ(trap.SetTrapTarget(3, "127.0.0.1", trapd.port(), "gamma"), 0);
    trap.SetTrapLevel(0x02);
    trap.SendTextTrap('W', "Fan slow");
    trap.SendTextTrap('E', "not enabled");
    trap.SetTrapLevel(0x04);
    testing::internal::CaptureStdout();
    trap.SetTrapTarget(3, "", 0, nullptr);
    testing::internal::GetCapturedStdout();
    trap.SendTextTrap('E', "marker");

    ASSERT_TRUE(trapd.WaitForRecords(3)) << trapd.Output();
    auto records = trapd.Records();
    ASSERT_EQ(records.size(), 3u) << trapd.Output();
    EXPECT_EQ(records[0].security, "TRAP2, SNMP v2c, community alpha");
    EXPECT_EQ(records[1].security, "TRAP2, SNMP v2c, community gamma");
    EXPECT_EQ(records[2].security, "TRAP2, SNMP v2c, community alpha");
    ASSERT_EQ(records[0].varbinds.size(), 3u);
    ASSERT_EQ(records[1].varbinds.size(), 3u);
    ASSERT_EQ(records[2].varbinds.size(), 3u);
    EXPECT_EQ(records[0].varbinds[2], TextLine("Fan slow"));
    EXPECT_EQ(records[1].varbinds[2], TextLine("Fan slow"));
    EXPECT_EQ(records[2].varbinds[2], TextLine("marker"));
}

}  // namespace
