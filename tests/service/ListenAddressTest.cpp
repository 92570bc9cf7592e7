// The service process with the optional root settings `bindaddress` and
// `adminpassword`: every server listens only on the chosen address, an
// address that can't be used is reported and nothing listens elsewhere, and
// a stored password hash makes the pages ask for it (and is never printed).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "SimulatorProcess.h"
#include "TestSupport.h"
#include "server/ServiceProcess.h"

namespace {

bool Accepts(const char* address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

std::string Hex(int value) {
    char text[16];
    snprintf(text, sizeof text, "%x", value);
    return text;
}

class ListenAddressTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_sim.ok()) << m_sim.Log();
        // The service looks for its driver in $KVOOMX_HOME/driver here.
        std::filesystem::remove_all(m_service.home() + "/driver");
        std::filesystem::create_directory_symlink(m_sim.dir(), m_service.home() + "/driver");
        m_relay0 = kvotest::FreeTcpPort();
        m_relay1 = kvotest::FreeTcpPort();
    }

    void StartWith(const std::string& extra) {
        kvotest::WriteFileText(
            m_service.home() + "/kvoomxsvr.conf",
            "<root>\n    <configport>" + Hex(m_service.port()) + "</configport>\n" + extra +
                "    <controller0>\n        <httpport>" + Hex(m_relay0) + "</httpport>\n"
                "        <cliport>1</cliport>\n    </controller0>\n"
                "    <controller1>\n        <httpport>" + Hex(m_relay1) + "</httpport>\n"
                "        <cliport>2</cliport>\n    </controller1>\n</root>\n");
        m_service.Start({"-NODAEMON"});
    }

    bool AllPortsAccept(const char* address) {
        return Accepts(address, m_service.port()) && Accepts(address, m_relay0) &&
               Accepts(address, m_relay1);
    }

    kvotest::SimulatorProcess m_sim{2};
    kvotest::ServiceProcess m_service;
    int m_relay0 = 0;
    int m_relay1 = 0;
};

TEST_F(ListenAddressTest, WithoutTheSettingEveryInterfaceAnswers) {
    StartWith("");
    ASSERT_TRUE(kvotest::WaitUntil([&] { return AllPortsAccept("127.0.0.1"); }))
        << m_service.Output();
    EXPECT_TRUE(AllPortsAccept("127.0.0.2"));
}

TEST_F(ListenAddressTest, LoopbackAddressKeepsEveryPortOffOtherAddresses) {
    StartWith("    <bindaddress>127.0.0.1</bindaddress>\n");
    ASSERT_TRUE(kvotest::WaitUntil([&] { return AllPortsAccept("127.0.0.1"); }))
        << m_service.Output();
    // The line may follow the first accepted connection on a loaded machine.
    EXPECT_TRUE(kvotest::WaitUntil([&] { return m_service.OutputHas("Servers listen on 127.0.0.1 only"); }))
        << m_service.Output();
    EXPECT_FALSE(Accepts("127.0.0.2", m_service.port()));
    EXPECT_FALSE(Accepts("127.0.0.2", m_relay0));
    EXPECT_FALSE(Accepts("127.0.0.2", m_relay1));
}

TEST_F(ListenAddressTest, AddressThatCannotBeUsedIsReportedAndNothingListens) {
    // 192.0.2.1 is a documentation address that no interface here carries.
    StartWith("    <bindaddress>192.0.2.1</bindaddress>\n");
    std::string line = "cannot listen on 192.0.2.1 port " + std::to_string(m_service.port());
    ASSERT_TRUE(kvotest::WaitUntil([&] { return m_service.OutputHas(line); }))
        << m_service.Output();
    // The relay's line follows the configuration server's.
    EXPECT_TRUE(kvotest::WaitUntil(
        [&] { return m_service.OutputHas("cannot listen on 192.0.2.1 port " + std::to_string(m_relay0)); }))
        << m_service.Output();
    EXPECT_FALSE(Accepts("127.0.0.1", m_service.port()));
    EXPECT_FALSE(Accepts("127.0.0.1", m_relay0));
    // A service that cannot serve does not stay up looking healthy.
    EXPECT_EQ(m_service.WaitExit(), 1) << m_service.Output();
    EXPECT_TRUE(m_service.OutputHas("kvoomxsvr stops: ")) << m_service.Output();
}

TEST_F(ListenAddressTest, TextThatIsNoAddressIsReported) {
    StartWith("    <bindaddress>localhost</bindaddress>\n");
    ASSERT_TRUE(kvotest::WaitUntil(
        [&] { return m_service.OutputHas("\"localhost\" is not an IPv4 address"); }))
        << m_service.Output();
    EXPECT_FALSE(Accepts("127.0.0.1", m_service.port()));
    EXPECT_EQ(m_service.WaitExit(), 1) << m_service.Output();
}

TEST_F(ListenAddressTest, StoredPasswordHashMakesThePagesAskAndIsNeverPrinted) {
    std::string hash;
    if (FILE* pipe = popen("mkpasswd -m yescrypt 'service secret'", "r")) {
        char text[256] = {0};
        if (fgets(text, sizeof text, pipe)) hash = text;
        pclose(pipe);
    }
    while (!hash.empty() && hash.back() == '\n') hash.pop_back();
    ASSERT_EQ(0u, hash.find("$y$")) << "mkpasswd (Debian package whois) made: " << hash;
    StartWith("    <adminpassword>" + hash + "</adminpassword>\n");
    ASSERT_TRUE(kvotest::WaitUntil([&] { return m_service.PortAccepts(); })) << m_service.Output();
    int fd = kvotest::ConnectLoopback(m_service.port());
    std::string request = "GET /controllers.cgi HTTP/1.0\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer = kvotest::ReadAll(fd);
    close(fd);
    EXPECT_EQ(0u, answer.find("HTTP/1.0 401 Unauthorized\r\n")) << answer;
    EXPECT_TRUE(m_service.OutputHas("Configuration pages ask for the administrator password"));
    EXPECT_FALSE(m_service.OutputHas("$y$")) << m_service.Output();
}

}  // namespace
