// RelayServerFixture: one simulated controller, kvoIO on it, and a relay server
// (GenericServer with an AgentResponser) on a free port, built but not yet
// running so a test may adjust the responder first. Browsers opened through
// OpenBrowser are closed at tear-down.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "RelayTestSupport.h"
#include "SimulatorBridge.h"
#include "controller/AgentResponser.h"
#include "controller/kvoIO.h"
#include "server/GenericServer.h"
#include "server/MetricsRegistry.h"
#include "server/SocketCommAgent.h"

namespace relaytest {

class RelayServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<kvotest::SimulatorProcess>(1);
        ASSERT_TRUE(sim->ok()) << sim->Log();
        ASSERT_EQ(1u, ConnectKvoIO(*sim));
        port = kvotest::FreeTcpPort();
        auto owned = std::make_unique<AgentResponser>(1);
        responser = owned.get();
        metrics.SetControllersFound(1);
        owned->SetMetrics(&metrics);
        server = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(port, 0),
                                                 std::move(owned), 0, KVO_WEB_BUFFER);
    }

    void TearDown() override {
        for (int fd : browsers) close(fd);
        if (server) server->ShutDown();
        server.reset();
        DisconnectKvoIO();
        sim.reset();
    }

    // Replaces the (not yet running) server with one of other timings.
    void UseOptions(const RelayOptions& relay, const ServerOptions& options = ServerOptions()) {
        auto owned = std::make_unique<AgentResponser>(1, relay);
        responser = owned.get();
        owned->SetMetrics(&metrics);
        server.reset();
        server = std::make_unique<GenericServer>(std::make_unique<SocketCommAgent>(port, 0),
                                                 std::move(owned), 0, KVO_WEB_BUFFER, options);
    }

    // Opens a browser connection and returns its connection byte towards the firmware.
    unsigned OpenBrowser(int& fd) {
        size_t before = CountConnects(*sim);
        fd = kvotest::ConnectLoopback(port);
        if (fd < 0) return 0;
        browsers.push_back(fd);
        return AwaitNewConnection(*sim, before);
    }

    std::unique_ptr<kvotest::SimulatorProcess> sim;
    MetricsRegistry metrics;  // outlives the server, which counts into it
    std::unique_ptr<GenericServer> server;
    AgentResponser* responser = nullptr;  // owned by the server
    std::vector<int> browsers;
    int port = 0;
};

}  // namespace relaytest
