// The trap MIB as SNMP managers use it: smilint finds no fault at level 3, and
// snmptrapd with the MIB loaded names the service's trap, also one the running
// service sends for a controller's event with the community set on its SNMP page.
// Debian ships no IETF MIBs in main, so the standard modules it imports come from
// stand-ins here.
#include <gtest/gtest.h>

#include "PeerProcess.h"
#include "SimulatorProcess.h"
#include "SnmpTrapdProcess.h"
#include "notify/KvoSnmpTrap.h"
#include "server/ServiceProcess.h"

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

TEST(TrapMibTest, TheServiceTrapOfAControllerEventIsNamedAndCarriesThePageCommunity) {
    kvotest::SnmpTrapdProcess trapd;
    trapd.LoadMibs(kStandInDir + ":" + kMibDir, "SNMPv2-MIB:VELMORA-KVOOMX-MIB");
    ASSERT_TRUE(trapd.Start()) << trapd.Output();
    kvotest::SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    kvotest::ServiceProcess svc;
    svc.UseDriverDir(sim.dir());
    char conf[256];
    std::snprintf(conf, sizeof conf,
                  "<root>\n<configport>%x</configport>\n"
                  "<controller0><httpport>0</httpport><cliport>0</cliport></controller0>\n"
                  "<events><sweeppause>1f4</sweeppause></events>\n</root>\n",  // sweeps 500 ms apart
                  svc.port());
    kvotest::WriteFileText(svc.home() + "/kvoomxsvr.conf", conf);
    svc.Start({"-NODAEMON"});
    ASSERT_TRUE(kvotest::WaitUntil([&] { return svc.PortAccepts(); }, std::chrono::seconds(15))) << svc.Output();

    kvotest::HttpAnswer saved = kvotest::HttpRequest(
        svc.port(), "POST", "/snmp.cgi",
        "func=SetSnmp&trap_client_1=127.0.0.1&trap_port_1=" + std::to_string(trapd.port()) +
            "&check_warn=on&trap_community=noc-42",
        "Content-Type: application/x-www-form-urlencoded\r\n");
    ASSERT_EQ(200, saved.status) << saved.body;
    ASSERT_EQ("ok", sim.Command("event 0 W now Fan 1 failed on the MIB check"));

    ASSERT_TRUE(trapd.WaitForRecords(1, std::chrono::seconds(30))) << trapd.Output() << svc.Output();
    auto record = trapd.Records().at(0);
    EXPECT_EQ("TRAP2, SNMP v2c, community noc-42", record.security);
    ASSERT_EQ(3u, record.varbinds.size()) << trapd.Output();
    EXPECT_EQ("SNMPv2-MIB::snmpTrapOID.0 = OID: VELMORA-KVOOMX-MIB::kvoomxControllerEvent", record.varbinds[1]);
    EXPECT_NE(std::string::npos, record.varbinds[2].find("Fan 1 failed on the MIB check")) << record.varbinds[2];
    kill(svc.pid(), SIGTERM);
    EXPECT_EQ(0, svc.WaitExit()) << svc.Output();
}

}  // namespace
