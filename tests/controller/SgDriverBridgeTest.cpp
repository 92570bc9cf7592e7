// The SCSI generic bridge: finding the controllers in a prepared sysfs tree,
// and transfers over the sg stand-in to kvoctlsim's SCSI-target mode, with the
// failures a real device can show (check condition, time-out, short transfer,
// a node that vanishes while in use). Transcripts match the socket bridge's.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "RelayTestSupport.h"
#include "ScsiTargetWire.h"
#include "SimulatorBridge.h"
#include "controller/SgDriverBridge.h"
#include "controller/kvoIO.h"

namespace {

namespace fs = std::filesystem;
using namespace relaytest;
using kvotest::SimulatorProcess;

// A sysfs tree as the kernel lays it out, with devices in any order of names.
class SysfsTree {
public:
    void Add(const std::string& name, const std::string& hctl, const std::string& vendor,
             const std::string& model, int type, const std::string& procName) {
        const std::string host = hctl.substr(0, hctl.find(':'));
        const fs::path dir = sys() / "devices" / ("host" + host) / hctl;
        const fs::path entry = sys() / "class" / "scsi_generic" / name;
        const fs::path hostEntry = sys() / "class" / "scsi_host" / ("host" + host);
        fs::create_directories(dir);
        fs::create_directories(entry);
        fs::create_directories(hostEntry);
        fs::create_directory_symlink(fs::relative(dir, entry), entry / "device");
        kvotest::WriteFileText(dir / "vendor", vendor + "\n");
        kvotest::WriteFileText(dir / "model", model + "\n");
        kvotest::WriteFileText(dir / "type", std::to_string(type) + "\n");
        kvotest::WriteFileText(hostEntry / "proc_name", procName + "\n");
    }
    fs::path sys() const { return fs::path(m_dir.path()) / "sys"; }
    std::string dev() const { return m_dir.path() + "/dev"; }

private:
    kvotest::TempDir m_dir;
};

std::vector<std::string> Names(const std::vector<SgDevice>& devices) {
    std::vector<std::string> names;
    for (const auto& d : devices) names.push_back(d.name);
    return names;
}

TEST(SgDriverBridgeTest, FindsTheControllersByIdentifierInHostChannelTargetLunOrder) {
    SysfsTree tree;
    tree.Add("sg0", "0:0:0:0", "ATA     ", "SAMSUNG SSD     ", 0, "ahci");
    tree.Add("sg10", "2:0:0:0", "VELMORA ", "ARC-1886        ", 3, "kvoqrm");
    tree.Add("sg2", "1:0:1:0", "Velmora ", "ARC-1883        ", 12, "kvoqrm");
    tree.Add("sg3", "1:0:0:1", "VELMORA ", "Volume Data     ", 0, "kvoqrm");  // a RAID volume
    tree.Add("sg4", "3:0:0:0", "ACME    ", "RAID-X 9000     ", 3, "acmeraid");

    SgBridgeOptions options;
    options.sysfsRoot = tree.sys().string();
    options.deviceDirectory = tree.dev();
    SgDriverBridge builtIn(options);
    EXPECT_EQ((std::vector<std::string>{"sg0", "sg3", "sg2", "sg10", "sg4"}), Names(builtIn.ListDevices()));
    EXPECT_EQ((std::vector<std::string>{"sg2", "sg10"}), Names(builtIn.FindControllers()));

    // An administrator's identifier adds a model; a driver name alone also works.
    options.identifiers.push_back({"acme", "RAID-X*", -1, ""});
    EXPECT_EQ((std::vector<std::string>{"sg2", "sg10", "sg4"}), Names(SgDriverBridge(options).FindControllers()));
    options.identifiers = {{"", "", 3, "acmeraid"}};
    EXPECT_EQ((std::vector<std::string>{"sg4"}), Names(SgDriverBridge(options).FindControllers()));
    options.identifiers = {{"ACME", "RAID-X", -1, ""}};  // no '*': the whole model must match
    EXPECT_TRUE(SgDriverBridge(options).FindControllers().empty());

    // The start-up lines name the bridge and each controller; the node that
    // does not exist is reported with its name and the reason.
    DriverBridgeSettings settings;
    settings.mode = DriverBridgeSettings::Mode::ScsiGeneric;
    settings.sysfsRoot = tree.sys().string();
    settings.deviceDirectory = tree.dev();
    DriverBridgeChoice choice;
    std::string report = choice.Apply(settings);
    EXPECT_NE(std::string::npos, report.find("Driver bridge: SCSI generic, sysfs " + settings.sysfsRoot)) << report;
    size_t first = report.find("controller " + tree.dev() + "/sg2 (1:0:1:0): Velmora ARC-1883, type 12, driver kvoqrm\n");
    size_t second = report.find("controller " + tree.dev() + "/sg10 (2:0:0:0): VELMORA ARC-1886, type 3");
    EXPECT_NE(std::string::npos, first) << report;
    EXPECT_LT(first, second) << report;
    EXPECT_EQ(std::string::npos, report.find("sg4")) << report;

    testing::internal::CaptureStdout();
    uint32_t handle = 0;
    EXPECT_FALSE(DriverBridge::Current().OpenService("QZQRMController", 0, handle));
    EXPECT_FALSE(DriverBridge::Current().OpenService("QRMController", 0, handle));  // another class
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              printed.find("Cannot open " + tree.dev() + "/sg2 (Velmora ARC-1883, 1:0:1:0): No such file or directory"))
        << printed;

    // A node that is there but no SCSI generic device is refused with that reason.
    fs::create_directories(tree.dev());
    kvotest::WriteFileText(tree.dev() + "/sg2", "not a device");
    printed.clear();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(DriverBridge::Current().OpenService("QZQRMController", 0, handle));
    printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, printed.find(tree.dev() + "/sg2 is not a SCSI generic device: ")) << printed;

    // Nothing matches: the lines say so and how many devices there were.
    settings.sysfsRoot = tree.sys().string() + "-missing";
    report = choice.Apply(settings);
    EXPECT_NE(std::string::npos, report.find("No SCSI generic device matches the controller identifiers (0 device(s)"))
        << report;
}

TEST(SgDriverBridgeTest, SocketsInTheDriverDirectoryChooseTheSocketBridgeUnlessTheSettingSaysOtherwise) {
    SimulatorProcess::Options driverMode;
    driverMode.controllers = 1;
    driverMode.scsiTarget = false;
    SimulatorProcess sim(driverMode);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    kvotest::TempDir empty;
    DriverBridgeChoice choice;
    DriverBridgeSettings settings;

    setenv("KVOOMX_DRIVER_DIR", sim.dir().c_str(), 1);
    EXPECT_EQ("Driver bridge: driver sockets in " + sim.dir() + "\n", choice.Apply(settings));
    EXPECT_EQ(nullptr, dynamic_cast<SgDriverBridge*>(&DriverBridge::Current()));
    settings.mode = DriverBridgeSettings::Mode::ScsiGeneric;
    EXPECT_EQ(0u, choice.Apply(settings).find("Driver bridge: SCSI generic, sysfs /sys, nodes in /dev, set by driverbridge\n"));
    EXPECT_NE(nullptr, dynamic_cast<SgDriverBridge*>(&DriverBridge::Current()));

    setenv("KVOOMX_DRIVER_DIR", empty.path().c_str(), 1);  // the control socket alone is no driver
    settings.mode = DriverBridgeSettings::Mode::Auto;
    EXPECT_NE(std::string::npos, choice.Apply(settings).find(", no driver sockets in " + empty.path() + "\n"));
    EXPECT_NE(nullptr, dynamic_cast<SgDriverBridge*>(&DriverBridge::Current()));
    settings.mode = DriverBridgeSettings::Mode::Socket;
    EXPECT_EQ("Driver bridge: driver sockets in " + empty.path() + ", set by driverbridge\n", choice.Apply(settings));
    EXPECT_EQ(nullptr, dynamic_cast<SgDriverBridge*>(&DriverBridge::Current()));
    unsetenv("KVOOMX_DRIVER_DIR");
}

TEST(SgDriverBridgeTest, SenseDataIsDescribedInBothFormats) {
    uint8_t fixed[18];
    KvoFillFixedSense(fixed, 0x5, 0x24, 0x00);
    EXPECT_EQ("sense key 0x5 (ILLEGAL REQUEST), ASC/ASCQ 0x24/0x00", SgDriverBridge::DescribeSense(fixed, 18));
    EXPECT_EQ("sense key 0x5 (ILLEGAL REQUEST)", SgDriverBridge::DescribeSense(fixed, 8));
    const uint8_t descriptor[8] = {0x72, 0x06, 0x29, 0x01, 0, 0, 0, 0};
    EXPECT_EQ("sense key 0x6 (UNIT ATTENTION), ASC/ASCQ 0x29/0x01", SgDriverBridge::DescribeSense(descriptor, 8));
    EXPECT_EQ("", SgDriverBridge::DescribeSense(descriptor, 0));
}

// One controller in SCSI-target mode, kvoIO on it through the SCSI generic bridge.
class SgTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        SimulatorProcess::Options options;
        options.controllers = 1;
        options.scsiTarget = true;
        sim = std::make_unique<SimulatorProcess>(options);
        ASSERT_TRUE(sim->ok()) << sim->Log();
        DriverBridgeSettings settings = BridgeSettingsFor(*sim);
        settings.callTimeoutMs = 300;
        ASSERT_EQ(1u, ConnectKvoIO(*sim, settings));
    }
    void TearDown() override {
        DisconnectKvoIO();
        sim.reset();
    }

    int Write(unsigned connection, const std::string& data) {
        return kvoIO::GetInstance()->writeIO(0, KVO_WEB_BUFFER, static_cast<unsigned char>(connection),
                                             data.data(), static_cast<unsigned>(data.size()));
    }
    // Reads until a whole answer with a body has come (bounded); "" when it did not.
    std::string ReadAnswer(unsigned connection) {
        std::string in;
        kvotest::WaitUntil([&] {
            char block[2016];
            int n = kvoIO::GetInstance()->readIO(0, KVO_WEB_BUFFER, static_cast<unsigned char>(connection),
                                                 block, sizeof block);
            if (n > 0) in.append(block, static_cast<size_t>(n));
            size_t end = in.find("\r\n\r\n");
            size_t at = in.find("Content-Length: ");
            return end != std::string::npos && at != std::string::npos &&
                   in.size() >= end + 4 + std::stoul(in.substr(at + 16));
        });
        return in;
    }
    std::string Printed(const std::function<void()>& action) {
        testing::internal::CaptureStdout();
        action();
        return testing::internal::GetCapturedStdout();
    }

    std::unique_ptr<SimulatorProcess> sim;
};

TEST_F(SgTransferTest, CheckConditionFailsOneCallWithTheSenseInTheLog) {
    EXPECT_EQ("error: sense takes KEY ASC ASCQ in hex", sim->Command("sense 0 5 24"));
    EXPECT_EQ("error: the sense key is 0 to f", sim->Command("sense 0 1f 0 0"));
    EXPECT_EQ("error: device node of controller 0 is there", sim->Command("appear 0"));
    ASSERT_EQ("ok", sim->Command("sense 0 5 24 0"));
    std::string printed = Printed([&] { EXPECT_EQ(-1, Write(1, kConnectBytes)); });
    EXPECT_NE(std::string::npos,
              printed.find("SCSI generic sg1: WRITE BUFFER failed: CHECK CONDITION (0x02), sense key 0x5 "
                           "(ILLEGAL REQUEST), ASC/ASCQ 0x24/0x00\n"))
        << printed;
    EXPECT_EQ(16, Write(1, kConnectBytes));  // the device itself is fine
    ASSERT_EQ(static_cast<int>(Get("/bench/10").size()), Write(1, Get("/bench/10")));
    EXPECT_NE(std::string::npos, ReadAnswer(1).find("\r\n\r\nabcdefghij"));
    // A pulled controller: no connection to the target.
    ASSERT_EQ("ok", sim->Command("pull 0"));
    printed = Printed([&] { EXPECT_EQ(-1, Write(1, kDisconnectBytes)); });
    EXPECT_NE(std::string::npos, printed.find("failed: host status 0x01 (no connection)")) << printed;
}

TEST_F(SgTransferTest, TimedOutCommandFailsAndItsLateCompletionIsNotTakenForTheNext) {
    ASSERT_EQ(16, Write(2, kConnectBytes));
    ASSERT_EQ("ok", sim->Command("hold 0 1500"));
    std::string request = Get("/bench/100");
    std::string printed = Printed([&] { EXPECT_EQ(-1, Write(2, request)); });
    EXPECT_NE(std::string::npos, printed.find("SCSI generic sg1: WRITE BUFFER failed: host status 0x03 (time-out)"))
        << printed;
    // The firmware took the request. Once its completion has come (late), the
    // next commands get their own answers, never the late one.
    ASSERT_TRUE(kvotest::WaitUntil([&] { return sim->Command("stats 0").find(" held=0") != std::string::npos; }));
    std::string answer = ReadAnswer(2);
    ASSERT_NE(std::string::npos, answer.find("\r\n\r\n")) << answer;
    EXPECT_EQ(100u, answer.size() - answer.find("\r\n\r\n") - 4);
    EXPECT_EQ(19, Write(2, kDisconnectBytes));
}

TEST_F(SgTransferTest, ShortWriteReportsTheBytesMovedAndWarns) {
    ASSERT_EQ(16, Write(3, kConnectBytes));
    ASSERT_EQ("ok", sim->Command("short 0"));
    const std::string request = Get("/");
    const int half = static_cast<int>(request.size() / 2);
    std::string printed = Printed([&] { EXPECT_EQ(half, Write(3, request)); });
    EXPECT_NE(std::string::npos, printed.find("SCSI generic sg1: WRITE BUFFER moved " + std::to_string(half) + " of " +
                                              std::to_string(request.size()) + " bytes"))
        << printed;
    auto writes = WebEntries(*sim, 3, "write");
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(request.size(), writes[1].asked);
    EXPECT_EQ(static_cast<uint32_t>(half), writes[1].moved);
}

TEST_F(SgTransferTest, NodeThatVanishesInUseFailsUntilItIsBackThenServesAgain) {
    ASSERT_EQ(16, Write(4, kConnectBytes));
    ASSERT_EQ("ok", sim->Command("vanish 0"));
    std::string printed = Printed([&] {
        EXPECT_EQ(-1, Write(4, Get("/")));
        EXPECT_EQ(-1, Write(4, Get("/")));  // the port reopens the node: it is gone
    });
    EXPECT_NE(std::string::npos, printed.find("SCSI generic sg1: WRITE BUFFER failed: SG_IO: No such device"))
        << printed;
    EXPECT_NE(std::string::npos, printed.find("Cannot open " + sim->deviceDirectory() + "/sg1")) << printed;

    ASSERT_EQ("ok", sim->Command("appear 0"));
    ASSERT_TRUE(kvotest::WaitUntil([&] { return Write(5, kConnectBytes) == 16; }, std::chrono::seconds(10)));
    ASSERT_EQ(static_cast<int>(Get("/bench/5").size()), Write(5, Get("/bench/5")));
    EXPECT_NE(std::string::npos, ReadAnswer(5).find("\r\n\r\nabcde"));
}

// The same transfers through each bridge reach the firmware as the same transcript.
std::string TranscriptOf(bool scsiTarget) {
    SimulatorProcess::Options options;
    options.controllers = 1;
    options.scsiTarget = scsiTarget;
    SimulatorProcess sim(options);
    if (!sim.ok() || ConnectKvoIO(sim) != 1) return "no controller";
    kvoIO& io = *kvoIO::GetInstance();
    char block[2016];
    std::string request = Get("/overview.html") + Get("/bench/3000", false);
    std::string in;
    io.writeIO(0, KVO_WEB_BUFFER, 7, kConnectBytes.data(), 16);
    io.readIO(0, KVO_WEB_BUFFER, 7, block, sizeof block);
    io.writeIO(0, KVO_WEB_BUFFER, 7, request.data(), static_cast<unsigned>(request.size()));
    for (int n; (n = io.readIO(0, KVO_WEB_BUFFER, 7, block, sizeof block)) > 0;) in.append(block, static_cast<size_t>(n));
    io.writeIO(0, KVO_WEB_BUFFER, 7, kDisconnectBytes.data(), 19);
    // The event poller's read: 2048 asked, a reply area of 2056 (8 more than the driver's).
    char eventArea[2048];
    if (io.readIO(0, KVO_EVENT_BUFFER, KVO_EVENT_CONNECTION, eventArea, sizeof eventArea) != 0) return "event read failed";
    DisconnectKvoIO();
    if (in.find("abcdefghij") == std::string::npos) return "no answer";
    return kvotest::ReadFileText(sim.transcriptPath());
}

TEST(SgDriverBridgeTest, TranscriptMatchesTheSocketBridgeForTheSameTraffic) {
    const std::string sockets = TranscriptOf(false);
    const std::string scsi = TranscriptOf(true);
    ASSERT_GT(sockets.size(), 1000u) << sockets;
    EXPECT_EQ(sockets, scsi);
}

}  // namespace
