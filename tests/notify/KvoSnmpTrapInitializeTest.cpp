// Start-up of the trap sender from the main configuration file.
#include <gtest/gtest.h>

#include <cstdio>

#include "TestSupport.h"
#include "TrapListener.h"
#include "config/ConfigFileSupport.h"
#include "notify/KvoSnmpTrap.h"

namespace {

std::string Hex(unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", value);
    return buf;
}

std::string TrapConfig(const std::string& level, const std::string& ip1, unsigned port1,
                       const std::string& ip3, unsigned port3) {
    return "<root>\n"
           "    <snmp>\n"
           "        <trap>\n"
           "            <levelflag>" + level + "</levelflag>\n"
           "            <trap1>\n"
           "                <ip>" + ip1 + "</ip>\n"
           "                <port>" + Hex(port1) + "</port>\n"
           "            </trap1>\n"
           "            <trap2>\n"
           "                <ip></ip>\n"
           "                <port>a2</port>\n"
           "            </trap2>\n"
           "            <trap3>\n"
           "                <ip>" + ip3 + "</ip>\n"
           "                <port>" + Hex(port3) + "</port>\n"
           "            </trap3>\n"
           "        </trap>\n"
           "    </snmp>\n"
           "</root>\n";
}

TEST(KvoSnmpTrapInitialize, LoadsMaskAndReceiversWithTheirConsoleLines) {
    kvotest::TempDir dir;
    kvotest::TrapListener one, three;
    std::string file = dir.file("kvoomxsvr.conf");
    kvotest::WriteFileText(file, TrapConfig("4", "127.0.0.1", one.port(), "127.0.0.1", three.port()));
    ConfigFileSupport config;
    config.Initialize(file.c_str());

    KvoSnmpTrap trap;
    testing::internal::CaptureStdout();
    EXPECT_EQ(trap.Initialize(config), 0);  // the last receiver's result
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Set trap client 127.0.0.1 " + std::to_string(one.port()) + "\r\n"
              "Set trap client  162\r\n"
              "Invalid Address:  \n"
              "Set trap client 127.0.0.1 " + std::to_string(three.port()) + "\r\n");
    EXPECT_EQ(trap.GetTrapLevel(), 0x04);

    trap.SendTextTrap('W', "masked");
    trap.SendTextTrap('E', "configured");
    for (auto* l : {&one, &three}) {
        auto got = l->Receive();
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->Text(), "configured");
        EXPECT_EQ(got->community, "public");
    }
}

TEST(KvoSnmpTrapInitialize, MissingFileLeavesEverythingOff) {
    kvotest::TempDir dir;
    std::string file = dir.file("absent.conf");
    ConfigFileSupport config;
    config.Initialize(file.c_str());

    KvoSnmpTrap trap;
    trap.SetTrapLevel(0x07);
    testing::internal::CaptureStdout();
    EXPECT_EQ(trap.Initialize(config), -1);
    const std::string unset = "Set trap client  0\r\nInvalid Address:  \n";
    EXPECT_EQ(testing::internal::GetCapturedStdout(), unset + unset + unset);
    EXPECT_EQ(trap.GetTrapLevel(), 0);
    EXPECT_FALSE(std::filesystem::exists(file));  // reading never creates the file
}

}  // namespace
