// The service loads its trap receivers at start-up, right after the configuration
// port and before the configuration server starts.
#include <gtest/gtest.h>

#include "server/ServiceProcess.h"

namespace {

TEST(ServiceTrapStartup, ReceiversAreLoadedBeforeTheConfigurationServer) {
    kvotest::ServiceProcess svc;
    char conf[512];
    std::snprintf(conf, sizeof conf,
                  "<root>\n    <configport>%x</configport>\n"
                  "    <snmp>\n        <trap>\n            <levelflag>7</levelflag>\n"
                  "            <trap1>\n                <ip>127.0.0.1</ip>\n"
                  "                <port>a2</port>\n            </trap1>\n"
                  "        </trap>\n    </snmp>\n</root>\n",
                  svc.port());
    kvotest::WriteFileText(svc.home() + "/kvoomxsvr.conf", conf);
    svc.Start({"-NODAEMON"});
    ASSERT_TRUE(kvotest::WaitUntil([&] { return svc.OutputHas("Configuration server runs on port"); },
                                   std::chrono::seconds(15)))
        << svc.Output();
    const std::string out = svc.Output();
    const std::string trapLines =
        "Set trap client 127.0.0.1 162\r\n"
        "Set trap client  0\r\nInvalid Address:  \n"
        "Set trap client  0\r\nInvalid Address:  \n";
    size_t at = out.find(trapLines);
    EXPECT_NE(at, std::string::npos) << out;
    EXPECT_LT(at, out.find("Configuration server runs on port")) << out;
    kill(svc.pid(), SIGTERM);
    EXPECT_EQ(svc.WaitExit(), 0) << svc.Output();
}

}  // namespace
