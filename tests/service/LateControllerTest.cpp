// A service started before the controllers' driver: it says that it found none,
// looks again, and once the driver's services appear it opens the relay and
// serves the controller's web interface through it.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "SimulatorProcess.h"
#include "TestSupport.h"
#include "server/ServiceProcess.h"

namespace {

using namespace std::chrono;
using kvotest::WaitUntil;

TEST(LateController, RelayStartsOnceTheDriverAppears) {
    kvotest::ServiceProcess service;
    int relay = kvotest::FreeTcpPort();
    char conf[200];
    snprintf(conf, sizeof conf,
             "<root>\n    <configport>%x</configport>\n    <controller0>\n        <httpport>%x</httpport>\n"
             "    </controller0>\n</root>\n",
             service.port(), relay);
    kvotest::WriteFileText(service.home() + "/kvoomxsvr.conf", conf);
    // The driver folder the service looks in exists, empty, until the simulator is linked in.
    std::string driverDir = service.home() + "/late-driver";
    service.UseDriverDir(driverDir);
    service.UseTimings("startpause=0,rescan=500");  // looks again every 500 ms instead of 5 s
    service.Start({"-NODAEMON"});
    ASSERT_TRUE(WaitUntil([&] { return service.OutputHas("No controller found: looking again every"); },
                          seconds(20)))
        << service.Output();
    EXPECT_TRUE(service.OutputHas("Find 0 controller(s)\n"));
    EXPECT_FALSE(kvotest::ConnectLoopback(relay) >= 0);

    kvotest::SimulatorProcess sim(1);
    ASSERT_TRUE(sim.ok()) << sim.Log();
    std::filesystem::create_directory_symlink(sim.dir(), driverDir);
    std::string relayLine = "Controller0 WEB GUI runs on port " + std::to_string(relay) + "\n";
    ASSERT_TRUE(WaitUntil([&] { return service.OutputHas(relayLine); }, seconds(30)))
        << service.Output();
    EXPECT_TRUE(service.OutputHas("Find 1 controller(s) after start: relays and event polling start\n"));

    int fd = -1;
    ASSERT_TRUE(WaitUntil([&] { return (fd = kvotest::ConnectLoopback(relay)) >= 0; }, seconds(10)));
    std::string request = "GET / HTTP/1.0\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    // The firmware's answer, up to the end of its header (the connection may stay open).
    std::string answer;
    WaitUntil([&] {
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) answer.append(buf, static_cast<size_t>(n));
        return n == 0 || answer.find("\r\n\r\n") != std::string::npos;
    }, seconds(15));
    close(fd);
    EXPECT_EQ(answer.rfind("HTTP/1.", 0), 0u) << answer;

    kill(service.pid(), SIGTERM);
    EXPECT_EQ(service.WaitExit(), 0) << service.Output();
}

}  // namespace
