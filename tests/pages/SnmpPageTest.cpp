// The SNMP page over real sockets: receivers and level mask stored, shown and
// handed to the trap sender; the refusals and their messages; the test trap
// reaching snmptrapd; a failed save shown on the page; one save per form.
#include <sys/inotify.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "PageServerFixture.h"
#include "notify/SnmpTrapdProcess.h"
#include "pages/PageHelpers.h"
#include "pages/SnmpCommunityField.h"

namespace {

using kvotest::PageDoc;

const char kPortMessage[] = "Port number should be in the range 1 to 65535.";
const char kAddressMessage[] = "Invalid IP address.";

class SnmpPageTest : public kvotest::PageServerFixture {
protected:
    static const TiXmlElement* Client(const PageDoc& page, int id) {
        for (const TiXmlElement* c = page.Nth(page.At("snmp"), "client", 0); c; c = c->NextSiblingElement("client")) {
            int value = 0;
            if (c->QueryIntAttribute("id", &value) == TIXML_SUCCESS && value == id) return c;
        }
        return nullptr;
    }
    static std::string Ip(const PageDoc& page, int id) { return PageDoc::LeafText(Client(page, id), "ip"); }
    static std::string Port(const PageDoc& page, int id) { return PageDoc::LeafText(Client(page, id), "port"); }
    static std::string StoredIp(int n) {
        return StoredText(("/root/snmp/trap/trap" + std::to_string(n)).c_str(), "ip");
    }
    static std::string StoredPort(int n) {
        return StoredText(("/root/snmp/trap/trap" + std::to_string(n)).c_str(), "port");
    }
    static PageDoc SetSnmp(const std::string& fields) { return Post("/snmp.cgi", "func=SetSnmp&" + fields); }
};

TEST_F(SnmpPageTest, FreshFileShowsAndStoresTheDefaults) {
    PageDoc page = Get("/snmp.cgi");
    ASSERT_TRUE(page.ok());
    EXPECT_EQ("SNMP Management", page.Title());
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ("", Ip(page, n)) << n;
        EXPECT_EQ("162", Port(page, n)) << n;
        EXPECT_EQ("", StoredIp(n));
        EXPECT_EQ("a2", StoredPort(n));
    }
    EXPECT_EQ("0", StoredText("/root/snmp/trap", "levelflag"));
    EXPECT_FALSE(page.Has("snmp/information") || page.Has("snmp/warning") || page.Has("snmp/error"));
    EXPECT_FALSE(page.Has("messages"));
    // ShowSnmp and unknown actions only show the page.
    EXPECT_EQ("162", Port(Get("/snmp.cgi?func=ShowSnmp&trap_port_1=99&trap_client_1=1.2.3.4"), 1));
    EXPECT_EQ("a2", StoredPort(1));
}

TEST_F(SnmpPageTest, ReceiverIsStoredShownAndClearedAgain) {
    PageDoc page = SetSnmp("trap_port_1=162&trap_client_1=10.0.0.5&check_info=on&check_error=x");
    EXPECT_EQ("10.0.0.5", Ip(page, 1));
    EXPECT_EQ("162", Port(page, 1));
    EXPECT_EQ("10.0.0.5", StoredIp(1));
    EXPECT_EQ("a2", StoredPort(1));
    EXPECT_TRUE(page.Errors().empty());
    // The level leaves, each text with its leading space, for the checked boxes only.
    EXPECT_NE(std::string::npos, page.body.find("<information> Information</information>")) << page.body;
    EXPECT_FALSE(page.Has("snmp/warning"));
    EXPECT_NE(std::string::npos, page.body.find("<error> Error</error>")) << page.body;
    EXPECT_EQ("5", StoredText("/root/snmp/trap", "levelflag"));
    EXPECT_EQ(0x05, Trap().GetTrapLevel());

    page = SetSnmp("trap_port_1=&trap_client_1=");
    EXPECT_EQ("", Ip(page, 1));
    EXPECT_EQ("0", Port(page, 1));
    EXPECT_EQ("", StoredIp(1));
    // A form without any level box switches every level off.
    EXPECT_EQ("0", StoredText("/root/snmp/trap", "levelflag"));
    EXPECT_EQ(0, Trap().GetTrapLevel());
    EXPECT_FALSE(page.Has("snmp/information"));
}

TEST_F(SnmpPageTest, PortOutOfRangeStopsTheFormButTheLevelsAreStored) {
    PageDoc page = SetSnmp("trap_port_1=1162&trap_client_1=10.0.0.1&trap_port_2=0&trap_client_2=10.0.0.2"
                           "&trap_port_3=3162&trap_client_3=10.0.0.3&check_warn=on");
    EXPECT_EQ(std::vector<std::string>{kPortMessage}, page.Errors());
    EXPECT_EQ("10.0.0.1", StoredIp(1));  // before the refusal: kept
    EXPECT_EQ("", StoredIp(2));          // refused
    EXPECT_EQ("", StoredIp(3));          // after it: not handled
    EXPECT_EQ("2", StoredText("/root/snmp/trap", "levelflag"));

    // The range is what the message says, 1 to 65535. Texts a number field may
    // send, numbers that overflow, and no port for a receiver with an address
    // (it would never get a trap) never pass; the typed values stay in the form.
    for (const char* port : {"65536", "2.7e4", "27417abc", "-1", "4295033018", "99999999999999999999", "", "0"}) {
        page = SetSnmp(std::string("trap_port_1=") + port + "&trap_client_1=10.0.0.9");
        EXPECT_EQ(std::vector<std::string>{kPortMessage}, page.Errors()) << port;
        EXPECT_EQ("10.0.0.1", StoredIp(1)) << port;
        EXPECT_EQ("48a", StoredPort(1)) << port;
        ASSERT_TRUE(page.Has("typed")) << port;
        EXPECT_STREQ("SetSnmp", page.At("typed")->Attribute("form"));
        EXPECT_NE(std::string::npos, page.body.find("<field name=\"trap_client_1\">10.0.0.9</field>")) << page.body;
        EXPECT_TRUE(page.Messages("info").empty());
    }
    page = SetSnmp("trap_port_1=65535&trap_client_1=10.0.0.9");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_EQ("65535", Port(page, 1));
    EXPECT_FALSE(page.Has("typed"));
    EXPECT_EQ(std::vector<std::string>{"The SNMP settings were saved; traps are sent with them from now on."},
              page.Messages("info"));
}

TEST_F(SnmpPageTest, AddressesTheTrapSenderRefusesAreNotStored) {
    SetSnmp("trap_port_2=162&trap_client_2=10.0.0.2");
    // "abc" as described, and the texts four decimal numbers let through but the
    // trap sender refuses: each is refused and the next receiver still stored.
    for (const char* bad : {"abc", "256.1.1.1", "010.0.0.1", "+1.2.3.4", "1.2.3.4x", "1.2.3.4.5",
                            "1.2.3", "1.2.3.0004", "1.2.3.4%20"}) {
        PageDoc page = SetSnmp(std::string("trap_port_2=163&trap_client_2=") + bad +
                               "&trap_port_3=164&trap_client_3=10.0.0.3");
        EXPECT_EQ(std::vector<std::string>{kAddressMessage}, page.Errors()) << bad;
        EXPECT_EQ("10.0.0.2", StoredIp(2)) << bad;
        EXPECT_EQ("a2", StoredPort(2)) << bad;
        EXPECT_EQ("10.0.0.3", Ip(page, 3)) << bad;
        EXPECT_EQ("10.0.0.3", StoredIp(3)) << bad;
    }
}

TEST_F(SnmpPageTest, OnlyReceiversOneToThreeAreHandled) {
    // Suffixes naming no receiver (or one in a way the form never does) used to
    // write trap255 or trap0; the file must not grow.
    PageDoc page = SetSnmp("trap_port_ff=162&trap_client_255=10.0.0.1&trap_port_zz=162&trap_client_0=10.0.0.2"
                           "&trap_port_0=162&trap_port_4=162&trap_client_4=10.0.0.4&trap_port_1_1=99"
                           "&trap_port_=162&trap_port_01=7000&trap_client_1=10.0.0.5");
    EXPECT_TRUE(page.Errors().empty());
    std::string file = kvotest::ReadFileText(ConfigPath());
    for (const char* name : {"trap0", "trap4", "trap255", "trap1_1"})
        EXPECT_EQ(std::string::npos, file.find(std::string("<") + name + ">")) << name << "\n" << file;
    // A leading zero still names receiver 1 exactly.
    EXPECT_EQ("10.0.0.5", StoredIp(1));
    EXPECT_EQ("1b58", StoredPort(1));
    // The address field must be named exactly: trap_client_10 is not receiver 1's.
    page = SetSnmp("trap_port_1=162&trap_client_10=10.9.9.9");
    EXPECT_EQ("10.0.0.5", StoredIp(1));
}

TEST_F(SnmpPageTest, TestTrapReachesEveryReceiverAndThePageNamesThem) {
    kvotest::SnmpTrapdProcess trapd;
    ASSERT_TRUE(trapd.Start()) << trapd.Output();
    PageDoc page = Post("/snmp.cgi", "func=SendTestTrap");
    EXPECT_EQ(1u, page.Errors().size()) << "no receiver yet";
    EXPECT_NE(std::string::npos, page.Errors().at(0).find("no trap receiver")) << page.Errors().at(0);

    std::string port = std::to_string(trapd.port());
    // No level box checked: a test trap goes out all the same.
    SetSnmp("trap_port_1=" + port + "&trap_client_1=127.0.0.1&trap_port_3=" + port +
            "&trap_client_3=127.0.0.1");
    page = Post("/snmp.cgi", "func=SendTestTrap");
    EXPECT_TRUE(page.Errors().empty()) << page.Errors().at(0);
    std::string expected = "Test trap sent to 127.0.0.1:" + port + ", 127.0.0.1:" + port + ".";
    EXPECT_EQ(std::vector<std::string>{expected}, page.Messages("info"));
    EXPECT_EQ("127.0.0.1", Ip(page, 1));  // the page is shown around the message

    ASSERT_TRUE(trapd.WaitForRecords(2)) << trapd.Output();
    std::string host, address;
    GetHostName(host, address);
    for (const auto& record : trapd.Records()) {
        std::string all;
        for (const auto& vb : record.varbinds) all += vb + "\n";
        EXPECT_NE(std::string::npos, all.find("Test trap from the RAID service on host " + host)) << all;
        EXPECT_NE(std::string::npos, all.find(".1.3.6.1.4.1.47321.1.1.0.1")) << all;
    }
}

TEST_F(SnmpPageTest, FailedSaveIsShownOnThePageAndRetriedLater) {
    // The settings file's place is taken by a directory: nothing can be saved.
    ASSERT_EQ(0, mkdir(ConfigPath().c_str(), 0755));
    PageDoc page = SetSnmp("trap_port_1=162&trap_client_1=10.0.0.5");
    EXPECT_EQ("10.0.0.5", Ip(page, 1)) << "the change is kept in memory";
    ASSERT_EQ(1u, page.Errors().size());
    const std::string error = page.Errors()[0];
    EXPECT_EQ(0u, error.find("The settings could not be saved (")) << error;
    EXPECT_NE(std::string::npos, error.find("kvoomxsvr.conf")) << error;
    EXPECT_NE(std::string::npos, error.find("Is a directory")) << error;

    // Once the file can be written again, the next request saves the whole change.
    ASSERT_EQ(0, rmdir(ConfigPath().c_str()));
    page = Get("/snmp.cgi");
    EXPECT_TRUE(page.Errors().empty());
    EXPECT_EQ("10.0.0.5", StoredIp(1));
}

// Counts how often the settings file is replaced while `action` runs.
int SavesDuring(const std::string& file, const std::function<void()>& action) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return -1;
    std::string dir = file.substr(0, file.rfind('/'));
    std::string name = file.substr(file.rfind('/') + 1);
    inotify_add_watch(fd, dir.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    action();
    int saves = 0;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) break;  // the action has answered; events are queued already
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        for (char* at = buffer; at < buffer + n;) {
            auto* event = reinterpret_cast<inotify_event*>(at);
            if ((event->mask & IN_MOVED_TO) && event->len && name == event->name) ++saves;
            at += sizeof(inotify_event) + event->len;
        }
    }
    close(fd);
    return saves;
}

TEST_F(SnmpPageTest, AFormIsSavedOnceWithAllItsFields) {
    Get("/snmp.cgi");  // the defaults are in the file
    int saves = SavesDuring(ConfigPath(), [] {
        SetSnmp("trap_port_1=1162&trap_client_1=10.0.0.1&trap_port_2=2162&trap_client_2=10.0.0.2"
                "&trap_port_3=3162&trap_client_3=10.0.0.3&check_info=on&check_warn=on");
    });
    EXPECT_EQ(1, saves);
    for (int n = 1; n <= 3; ++n) EXPECT_EQ("10.0.0." + std::to_string(n), StoredIp(n));
    EXPECT_EQ("3", StoredText("/root/snmp/trap", "levelflag"));
    // Showing a page whose settings are all stored saves nothing.
    EXPECT_EQ(0, SavesDuring(ConfigPath(), [] { Get("/snmp.cgi"); }));
}

}  // namespace

namespace {

TEST_F(SnmpPageTest, CommunityIsStoredShownAndCarriedByTheNextTrap) {
    EXPECT_EQ("public", kvotest::PageDoc::LeafText(Get("/snmp.cgi").At("snmp"), "community"));
    EXPECT_EQ("<missing>", StoredText("/root/snmp/trap", "community")) << "absent until set";

    kvotest::SnmpTrapdProcess trapd;
    ASSERT_TRUE(trapd.Start()) << trapd.Output();
    std::string port = std::to_string(trapd.port());
    PageDoc page = SetSnmp("trap_port_1=" + port + "&trap_client_1=127.0.0.1&trap_community=n0c-R%26D");
    EXPECT_TRUE(page.Errors().empty()) << page.Errors().at(0);
    EXPECT_EQ("n0c-R&D", kvotest::PageDoc::LeafText(page.At("snmp"), "community"));
    EXPECT_EQ("n0c-R&D", StoredText("/root/snmp/trap", "community"));
    page = Post("/snmp.cgi", "func=SendTestTrap");
    ASSERT_TRUE(trapd.WaitForRecords(1)) << trapd.Output();
    EXPECT_EQ("TRAP2, SNMP v2c, community n0c-R&D", trapd.Records().at(0).security);

    // Refused values change nothing, whatever else the form holds.
    for (const char* bad : {"", "two words", "a23456789012345678901234567890123"}) {
        page = SetSnmp(std::string("check_warn=on&trap_community=") + bad);
        EXPECT_EQ(std::vector<std::string>{SnmpCommunityField::kBadValueMessage}, page.Errors()) << bad;
        EXPECT_EQ("n0c-R&D", StoredText("/root/snmp/trap", "community")) << bad;
        EXPECT_EQ("n0c-R&D", Trap().GetCommunity()) << bad;
        EXPECT_EQ(0x02, Trap().GetTrapLevel());
    }
}

}  // namespace
