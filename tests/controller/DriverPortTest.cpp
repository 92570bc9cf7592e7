// Driver port against the simulator: the class-table search, the keep rule,
// selector-0 failures with their resets, reconnects, the copy limits, byte
// swapping, and a simulator that dies or restarts while the service runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "SimulatorProcess.h"
#include "controller/DriverBridge.h"
#include "controller/DriverPort.h"
#include "framework/Console.h"
#include "controller/UnixDriverBridge.h"
#include "controller/kvoIO.h"

namespace {

using kvotest::SimulatorProcess;
using ::testing::HasSubstr;

SimulatorProcess::Options Sim(int controllers, const std::string& classes = "") {
    SimulatorProcess::Options o;
    o.controllers = controllers;
    o.className = classes;
    return o;
}

// The number after `key=` in a "stats" answer.
int Stat(SimulatorProcess& sim, int controller, const std::string& key) {
    std::string answer = sim.Command("stats " + std::to_string(controller));
    size_t at = answer.find(key + "=");
    return at == std::string::npos ? -1 : std::stoi(answer.substr(at + key.size() + 1));
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

std::string StopCapture() {
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
}

int Probe(DriverPort* port) {
    uint8_t out[4];
    return port->DeviceIoControl(0, nullptr, 0, out, 4, nullptr);
}

class DriverPortTest : public ::testing::Test {
protected:
    // The channel's first use builds the table (and, with no driver sockets
    // yet, picks the SCSI generic bridge); get that out of the way so the
    // tests' own tables stand, on the socket bridge.
    void SetUp() override {
        kvoIO::GetInstance();
        DriverBridge::SetCurrent(nullptr);
    }
    void TearDown() override { ClearActivePorts(); }
};

TEST_F(DriverPortTest, SearchUsesInstancesOfTheFirstRowThatYieldsPortsOnly) {
    // Row 0's placeholder matches nothing; rows 1, 2 and 3 have three services each.
    SimulatorProcess sim(Sim(3, "QZQRMController,QRMController,KVOQRMController"));
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    ActiveDriverPort(nullptr, 0, false);
    ASSERT_EQ(3, _get_port_count());
    for (int i = 0; i < 3; ++i) {
        ASSERT_NE(nullptr, _get_port(i));
        EXPECT_EQ(i, _get_port(i)->Index());
        EXPECT_STREQ("QZQRMController", _get_port(i)->ClassName());
        EXPECT_FALSE(_get_port(i)->SwapsBytes());
        EXPECT_EQ(1, Stat(sim, i, "opens"));
    }
    EXPECT_EQ(nullptr, _get_port(3));
    for (int i = 3; i < 9; ++i) EXPECT_EQ(0, Stat(sim, i, "opens")) << "rows 2-3 were looked at";
    EXPECT_EQ(nullptr, _get_port(4));
    EXPECT_EQ(nullptr, _get_port(-1));
}

TEST_F(DriverPortTest, LaterRowIsUsedWhenEarlierRowsHaveNoServices) {
    SimulatorProcess sim(Sim(2, "KVOQRMController"));
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    ActiveDriverPort(nullptr, 0, false);
    ASSERT_EQ(2, _get_port_count());
    EXPECT_STREQ("KVOQRMController", _get_port(1)->ClassName());
}

TEST_F(DriverPortTest, TableStopsAtFourAndNeverOpensTheFifthInstance) {
    SimulatorProcess sim(5);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    ActiveDriverPort(nullptr, 0, false);
    EXPECT_EQ(4, _get_port_count());
    EXPECT_EQ(1, Stat(sim, 3, "opens"));
    EXPECT_EQ(0, Stat(sim, 4, "opens"));
}

TEST_F(DriverPortTest, OnePortPerClassRowYieldsOnlyInstanceZero) {
    SimulatorProcess sim(Sim(3, "RowZeroClass"));
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    // Row 0 is the installation's slot: its name buffer is writable, and it
    // defaults to one port per class.
    char saved[35];
    std::memcpy(saved, DriverPort::supportDrivers[0].className, sizeof saved);
    EXPECT_STREQ("usr_config_file_defined_class_name", saved);
    EXPECT_TRUE(DriverPort::supportDrivers[0].onePortPerClass);
    std::snprintf(DriverPort::supportDrivers[0].className, 35, "RowZeroClass");
    ActiveDriverPort(nullptr, 0, false);
    std::memcpy(DriverPort::supportDrivers[0].className, saved, sizeof saved);
    EXPECT_EQ(1, _get_port_count());
    EXPECT_EQ(0, _get_port(0)->Index());
    EXPECT_EQ(0, Stat(sim, 1, "opens"));

    char name[] = "RowZeroClass";
    _DRIVER_PARAM rows[] = {{name, 1, false}, {nullptr, 0, false}};
    ActiveDriverPort(rows, 1, false);
    EXPECT_EQ(3, _get_port_count());
}

TEST_F(DriverPortTest, KeepFlagSelectsPortsByTheirProbe) {
    SimulatorProcess sim(3);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    ASSERT_EQ("ok", sim.Command("probe 1 ok"));
    // The channel's call keeps the ports whose probe fails.
    ActiveDriverPort(nullptr, 0, false);
    ASSERT_EQ(2, _get_port_count());
    EXPECT_EQ(0, _get_port(0)->Index());
    EXPECT_EQ(2, _get_port(1)->Index());
    EXPECT_FALSE(_issupport_get_info(_get_port(0)));

    ActiveDriverPort(nullptr, 0, true);
    ASSERT_EQ(1, _get_port_count());
    EXPECT_EQ(1, _get_port(0)->Index());
    EXPECT_TRUE(_issupport_get_info(_get_port(0)));

    ClearActivePorts();
    EXPECT_EQ(0, _get_port_count());
    EXPECT_EQ(nullptr, _get_port(0));
}

TEST_F(DriverPortTest, FourSelectorZeroFailuresGiveFourLinesThreeResetsAndAReconnect) {
    SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    ActiveDriverPort(nullptr, 0, false);
    DriverPort* port = _get_port(0);
    ASSERT_NE(nullptr, port);
    ASSERT_EQ("ok", sim.Command("fail-open 0 4"));

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-1, Probe(port));
    std::string out = StopCapture();
    EXPECT_EQ(4u, Count(out, "DriverClientOpen failed code = e00002bc. Class QZQRMController[0]\n"))
        << out;
    EXPECT_FALSE(port->IsConnected());
    EXPECT_EQ(4, Stat(sim, 0, "opens"));  // the first connection and three resets
    EXPECT_EQ(4, Stat(sim, 0, "failed_opens"));

    // The channel does not call the driver on an unconnected port...
    char buf[16];
    EXPECT_EQ(-1, kvoIO::GetInstance()->readIO(0, 2, 1, buf, sizeof buf));
    EXPECT_EQ(4, Stat(sim, 0, "opens"));
    // ...but the port's next call reconnects first and goes through.
    ASSERT_EQ("ok", sim.Command("probe 0 ok"));
    EXPECT_EQ(0, Probe(port));
    EXPECT_TRUE(port->IsConnected());
    EXPECT_EQ(5, Stat(sim, 0, "opens"));
}

TEST_F(DriverPortTest, ReopeningAndResettingKeepOneConnectionToTheService) {
    SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    ActiveDriverPort(nullptr, 0, false);
    DriverPort* port = _get_port(0);
    ASSERT_NE(nullptr, port);
    EXPECT_TRUE(port->Open());
    EXPECT_TRUE(port->Reset());
    EXPECT_TRUE(port->Open());
    EXPECT_TRUE(kvotest::WaitUntil([&] { return Stat(sim, 0, "live") == 1; }));
    EXPECT_EQ(4, Stat(sim, 0, "opens"));
    port->Close();
    EXPECT_FALSE(port->IsConnected());
    EXPECT_TRUE(kvotest::WaitUntil([&] { return Stat(sim, 0, "live") == 0; }));
    ClearActivePorts();
}

TEST_F(DriverPortTest, SelectorZeroFailureRecoveredByAReset) {
    SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    kvoIO* io = kvoIO::GetInstance();
    io->initialize();
    int opens = Stat(sim, 0, "opens");
    ASSERT_EQ("ok", sim.Command("fail-open 0 2"));
    Console::SetTraceLines(true);  // the service's --verbose
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(16, io->writeIO(0, 2, 3, "Socket connect!", 16));
    std::string out = StopCapture();
    Console::SetTraceLines(false);
    EXPECT_EQ(2u, Count(out, "DriverClientOpen failed code"));
    EXPECT_THAT(out, HasSubstr("DevIOCtl success 16\n"));
    EXPECT_EQ(opens + 2, Stat(sim, 0, "opens"));
}

TEST_F(DriverPortTest, OversizedInputIsRefusedAndOutputCopiesStopAt2048Bytes) {
    SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    ASSERT_EQ("ok", sim.Command("probe 0 ok"));
    ActiveDriverPort(nullptr, 0, true);
    DriverPort* port = _get_port(0);
    ASSERT_NE(nullptr, port);
    int callsBefore = Stat(sim, 0, "calls");
    static uint8_t big[4096];
    EXPECT_EQ(-1, port->DeviceIoControl(0, big, 2049, big, 4, nullptr));
    EXPECT_EQ(callsBefore, Stat(sim, 0, "calls"));

    uint8_t out[2056];
    std::memset(out, 0xAA, sizeof out);
    unsigned int returned = 0;
    EXPECT_EQ(0, port->DeviceIoControl(0, nullptr, 0, out, sizeof out, &returned));
    EXPECT_EQ(4u, returned);
    for (size_t i = 2048; i < sizeof out; ++i) ASSERT_EQ(0xAA, out[i]) << "byte " << i;

    // A reply with 0 bytes returned succeeds and leaves output and count alone.
    ASSERT_EQ("ok", sim.Command("zero-returned 0"));
    std::memset(out, 0x55, sizeof out);
    returned = 77;
    EXPECT_EQ(0, port->DeviceIoControl(0, nullptr, 0, out, 4, &returned));
    EXPECT_EQ(77u, returned);
    EXPECT_EQ(0x55, out[0]);
}

TEST_F(DriverPortTest, BigEndianRowSwapsTheLengthFieldsButNotTheCommandBlock) {
    SimulatorProcess::Options o = Sim(1, "BigEndianController");
    o.bigEndian = true;
    SimulatorProcess sim(o);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    char name[] = "BigEndianController";
    _DRIVER_PARAM little[] = {{name, 1, false}, {nullptr, 0, false}};
    ActiveDriverPort(little, 1, false);
    ASSERT_EQ(1, _get_port_count());
    EXPECT_FALSE(_get_port(0)->SwapsBytes());

    _DRIVER_PARAM big[] = {{name, 2, false}, {nullptr, 0, false}};
    ActiveDriverPort(big, 1, false);
    ASSERT_EQ(1, _get_port_count());
    EXPECT_TRUE(_get_port(0)->SwapsBytes());
    kvoIO* io = kvoIO::GetInstance();
    EXPECT_EQ(16, io->writeIO(0, 2, 7, "Socket connect!", 16));
    const std::string request = "GET /bench/10 HTTP/1.1\r\n\r\n";
    EXPECT_EQ(static_cast<int>(request.size()),
              io->writeIO(0, 2, 7, request.data(), static_cast<unsigned>(request.size())));
    auto writes = sim.Transcript([](const kvotest::TranscriptEntry& e) { return e.op == "write"; });
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ("00000010", writes[0].dataLengthBytes);
    EXPECT_EQ("3b000207000000001000", writes[0].cdb);
    char buf[2016];
    int n = 0;
    ASSERT_TRUE(kvotest::WaitUntil([&] { return (n = io->readIO(0, 2, 7, buf, sizeof buf)) != 0; }));
    EXPECT_GT(n, 10);
    EXPECT_EQ(0, std::strncmp(buf, "HTTP/1.1 200 OK", 15));
}

TEST_F(DriverPortTest, ReplyClaimingMoreThanAskedIsCutToTheAskedLength) {
    SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    kvoIO* io = kvoIO::GetInstance();
    io->initialize();
    ASSERT_EQ(16, io->writeIO(0, 2, 2, "Socket connect!", 16));
    const std::string request = "GET /bench/4000 HTTP/1.1\r\n\r\n";
    ASSERT_EQ(static_cast<int>(request.size()),
              io->writeIO(0, 2, 2, request.data(), static_cast<unsigned>(request.size())));
    ASSERT_EQ("ok", sim.Command("overlong 0"));
    char buf[32];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(16, io->readIO(0, 2, 2, buf, 16));
    EXPECT_EQ(0, std::strncmp(buf, "HTTP/1.1 200 OK\r", 16));
    for (size_t i = 16; i < sizeof buf; ++i) ASSERT_EQ('#', buf[i]);
    EXPECT_EQ(4096u + 16u, sim.Transcript().back().moved);

    // 0 bytes returned: 0 delivered, the buffer untouched.
    ASSERT_EQ("ok", sim.Command("zero-returned 0"));
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(0, io->readIO(0, 2, 2, buf, 16));
    EXPECT_EQ('#', buf[0]);
    // An oversized write never reaches the driver.
    static char big[2100];
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-1, io->writeIO(0, 2, 2, big, 2021));
    EXPECT_THAT(StopCapture(), HasSubstr("DevIOCtl failed 59\n"));
}

TEST_F(DriverPortTest, SimulatorRestartMidRunIsBridgedByOneReset) {
    SimulatorProcess sim(2);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    kvoIO* io = kvoIO::GetInstance();
    io->initialize();
    ASSERT_EQ(2u, io->getControllerCount());
    char buf[2016];
    ASSERT_EQ(0, io->readIO(1, 2, 4, buf, sizeof buf));

    sim.Stop();
    ASSERT_TRUE(sim.Start()) << sim.Log();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(16, io->writeIO(1, 2, 4, "Socket connect!", 16));
    std::string out = StopCapture();
    EXPECT_EQ(1u, Count(out, "DriverClientOpen failed code = ffffffff. Class QZQRMController[1]"))
        << out;
    EXPECT_EQ(0, io->readIO(1, 2, 4, buf, sizeof buf));
    EXPECT_EQ(0, io->readIO(0, 2, 4, buf, sizeof buf));
}

TEST_F(DriverPortTest, SimulatorKilledDuringATransferFailsTheCallThenReconnects) {
    SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    sim.ExportDriverDir();
    kvoIO* io = kvoIO::GetInstance();
    io->initialize();
    DriverPort* port = _get_port(0);
    ASSERT_NE(nullptr, port);

    // Freeze the simulator so the transfer is in flight when it dies.
    ASSERT_EQ(0, kill(sim.pid(), SIGSTOP));
    ::testing::internal::CaptureStdout();
    int result = 0;
    char buf[2016];
    std::thread transfer([&] { result = io->readIO(0, 2, 1, buf, sizeof buf); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block in the call
    sim.Kill();
    transfer.join();
    EXPECT_EQ(-1, result);
    // With the simulator gone the reset cannot reconnect: the port is closed.
    std::string out = StopCapture();
    EXPECT_THAT(out, HasSubstr("DriverClientOpen failed code = ffffffff. Class QZQRMController[0]"));
    EXPECT_THAT(out, HasSubstr("Failed to reset driver port.\n"));
    EXPECT_FALSE(port->IsConnected());
    EXPECT_EQ(-1, io->readIO(0, 2, 1, buf, sizeof buf));
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(-1, Probe(port));
    EXPECT_THAT(StopCapture(), HasSubstr("Failed to reconnect to QZQRMController[0].\n"));

    ASSERT_TRUE(sim.Start()) << sim.Log();
    ASSERT_EQ("ok", sim.Command("probe 0 ok"));
    EXPECT_EQ(0, Probe(port));
    EXPECT_TRUE(port->IsConnected());
    EXPECT_EQ(16, io->writeIO(0, 2, 1, "Socket connect!", 16));
}

}  // namespace

namespace {

// A driver service that exists but cannot be opened (here: nobody accepts on
// it) is reported with its path and the system's reason, once, however often
// the port tries again.
TEST(DriverServiceOpen, FailureIsReportedOnceWithPathAndReason) {
    kvotest::TempDir dir;
    std::string path = dir.path() + "/QZQRMController.0";
    int unlistened = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(unlistened, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    setenv("KVOOMX_DRIVER_DIR", dir.path().c_str(), 1);

    UnixDriverBridge bridge;
    uint32_t handle = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_FALSE(bridge.OpenService("QZQRMController", 0, handle));
    EXPECT_FALSE(bridge.OpenService("QZQRMController", 0, handle));
    std::string out = StopCapture();
    unsetenv("KVOOMX_DRIVER_DIR");
    close(unlistened);
    EXPECT_EQ(out, "Cannot open driver service " + path + ": Connection refused\n");
}

// The service's own user where the driver admits root alone: it says so.
TEST(DriverServiceOpen, PermissionDeniedIsReportedForAnUnprivilegedUser) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    kvotest::TempDir dir;
    chmod(dir.path().c_str(), 0755);
    std::string path = dir.path() + "/QZQRMController.0";
    int service = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(service, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(service, 1), 0);
    chmod(path.c_str(), 0600);  // root's alone
    int out[2];  // a socket pair, so that kvotest::ReadAll can read it
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        setenv("KVOOMX_DRIVER_DIR", dir.path().c_str(), 1);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
        UnixDriverBridge bridge;
        uint32_t handle = 0;
        _exit(bridge.OpenService("QZQRMController", 0, handle) ? 1 : 0);
    }
    close(out[1]);
    std::string text = kvotest::ReadAll(out[0], std::chrono::seconds(10));
    close(out[0]);
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(service);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(text, "Cannot open driver service " + path + ": Permission denied\n");
}

}  // namespace
