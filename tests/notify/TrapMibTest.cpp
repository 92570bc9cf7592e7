// The trap MIB as SNMP managers use it: smilint finds no fault at level 3, and
// snmptrapd with the MIB loaded names the service's trap. Debian ships no IETF
// MIBs in main, so the standard modules it imports come from stand-ins here.
#include <gtest/gtest.h>

#include "PeerProcess.h"
#include "SnmpTrapdProcess.h"
#include "notify/KvoSnmpTrap.h"

namespace {

const std::string kMibDir = std::string(KVO_SOURCE_DIR) + "/share/mibs";
const std::string kMibFile = kMibDir + "/VELMORA-KVOOMX-MIB.txt";
const std::string kStandInDir = std::string(KVO_SOURCE_DIR) + "/tests/notify/mibs";

using kvotest::RunCommand;

TEST(TrapMibTest, SmilintLevelThreeFindsNothing) {
    int status = -1;
    // No system smi.conf: only the stand-ins and the module itself.
    std::string out = RunCommand("SMIPATH=" + kStandInDir + " smilint -c /dev/null -l 3 -s " + kMibFile, status);
    EXPECT_EQ(0, status);
    EXPECT_EQ("", out);
    // A broken module is reported, so the clean result above means something.
    kvotest::TempDir dir;
    std::string broken = kvotest::ReadFileText(kMibFile);
    broken.replace(broken.find("STATUS current"), 14, "STATUS sideways");
    kvotest::WriteFileText(dir.file("VELMORA-KVOOMX-MIB.txt"), broken);
    out = RunCommand("SMIPATH=" + kStandInDir + " smilint -c /dev/null -l 3 " + dir.file("VELMORA-KVOOMX-MIB.txt"), status);
    EXPECT_NE("", out);
}

TEST(TrapMibTest, SnmptrapdWithTheMibShowsTheTrapByName) {
    kvotest::SnmpTrapdProcess trapd;
    trapd.LoadMibs(kStandInDir + ":" + kMibDir, "SNMPv2-MIB:VELMORA-KVOOMX-MIB");
    ASSERT_TRUE(trapd.Start()) << trapd.Output();
    KvoSnmpTrap trap;
    ASSERT_EQ(0, trap.SetTrapTarget(1, "127.0.0.1", trapd.port(), nullptr));
    trap.SetTrapLevel(0x02);
    trap.SendTextTrap('W', "Fan 2 slow");

    ASSERT_TRUE(trapd.WaitForRecords(1)) << trapd.Output();
    auto record = trapd.Records().at(0);
    ASSERT_EQ(3u, record.varbinds.size()) << trapd.Output();
    EXPECT_EQ(0u, record.varbinds[0].find("SNMPv2-MIB::sysUpTime.0 = Timeticks: ")) << record.varbinds[0];
    EXPECT_EQ("SNMPv2-MIB::snmpTrapOID.0 = OID: VELMORA-KVOOMX-MIB::kvoomxControllerEvent",
              record.varbinds[1]);
    EXPECT_EQ("SNMPv2-MIB::sysDescr.0 = STRING: Fan 2 slow", record.varbinds[2]);
    EXPECT_EQ(std::string::npos, trapd.Output().find("Cannot find module")) << trapd.Output();
}

}  // namespace
