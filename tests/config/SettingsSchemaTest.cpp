#include <gtest/gtest.h>

#include <string>

#include "ConfigTestSupport.h"
#include "TestSupport.h"
#include "config/ConfigFileSupport.h"
#include "config/EventLevels.h"
#include "config/SettingsSchema.h"

namespace {

using kvotest::ReadFileText;
using kvotest::WriteFileText;

// A hand-edited file: what is stored wins, what is not gets the one default.
TEST(SettingsSchema, StoredValuesWinAndMissingOnesGetTheirDefault) {
    kvotest::TempDir dir;
    std::string file = dir.file("kvoomxsvr.conf");
    WriteFileText(file,
                  "<root><configport>1d00</configport>"
                  "<controller1><httpport>2000</httpport></controller1>"
                  "<bindaddress>  127.0.0.1 </bindaddress>"
                  "<snmp><trap><trap2><ip>127.0.0.1</ip></trap2>"
                  "<trap3><ip>" + std::string(40, '1') + "</ip><port>a2</port></trap3></trap></snmp>"
                  "<events><firstretry>0</firstretry><webhookbound>0</webhookbound></events></root>\n");
    ConfigFileSupport config;
    config.Initialize(file.c_str());
    SettingsSchema settings(config);

    uint16_t port = 1;
    EXPECT_TRUE(settings.ConfigPort(port));
    EXPECT_EQ(port, 0x1d00);
    EXPECT_TRUE(settings.RelayPort(1, port));
    EXPECT_EQ(port, 0x2000);
    port = 1;
    EXPECT_FALSE(settings.CliPort(1, port));
    EXPECT_EQ(port, 1);  // left for the caller's default
    EXPECT_EQ(SettingsSchema::DefaultRelayPort(2), 7432);
    EXPECT_EQ(SettingsSchema::DefaultCliPort(2), 7434);
    EXPECT_FALSE(SettingsSchema::IsRelayPort(65535));
    EXPECT_FALSE(SettingsSchema::IsRelayPort(0));
    EXPECT_EQ(settings.BindAddress(), "127.0.0.1");
    EXPECT_EQ(settings.AdminPasswordHash(), "");

    // A receiver without a port has none: nothing is sent there.
    std::string address;
    EXPECT_TRUE(settings.TrapReceiverAddress(2, address));
    EXPECT_EQ(address, "127.0.0.1");
    port = SettingsSchema::kTrapPortUnset;
    EXPECT_FALSE(settings.TrapReceiverPort(2, port));
    EXPECT_EQ(port, 0);
    // An address too long for any IPv4 text reads as empty, never cut.
    EXPECT_TRUE(settings.TrapReceiverAddress(3, address));
    EXPECT_EQ(address, "");
    uint8_t levels = SettingsSchema::kDefaultTrapLevels;
    EXPECT_FALSE(settings.TrapLevels(levels));
    EXPECT_EQ(levels, 0);

    // A stored 0 is a value for the delivery timings, but unset for the bounds.
    EXPECT_EQ(settings.Events(SettingsSchema::kFirstRetry), 0u);
    EXPECT_EQ(settings.Events(SettingsSchema::kMaxRetry), 3600u);
    EXPECT_EQ(settings.EventsPositive(SettingsSchema::kWebhookBound), 10u);
    EXPECT_EQ(settings.HooksDirectory(), "/etc/kvoomx/hooks.d");
}

TEST(SettingsSchema, WritesLandWhereTheReadersLook) {
    kvotest::TempDir dir;
    std::string file = dir.file("kvoomxsvr.conf");
    {
        ConfigFileSupport config;
        config.Initialize(file.c_str());
        SettingsSchema settings(config);
        EXPECT_TRUE(settings.SetRelayPort(0, 7412));
        EXPECT_TRUE(settings.SetTrapReceiverPort(1, 162));
        EXPECT_TRUE(settings.SetTrapLevels(EventLevels::kWarning | EventLevels::kError));
        EXPECT_TRUE(settings.SetWebhook(2, "http://127.0.0.1:9/x", "generic"));
        EXPECT_TRUE(settings.ClearWebhook(2));
    }
    std::string text = ReadFileText(file);
    EXPECT_NE(text.find("<controller0>\n        <httpport>1cf4</httpport>"), std::string::npos) << text;
    EXPECT_NE(text.find("<trap1>\n                <port>a2</port>"), std::string::npos) << text;
    EXPECT_NE(text.find("<levelflag>6</levelflag>"), std::string::npos) << text;
    EXPECT_NE(text.find("<webhook2>\n            <url />\n            <format>generic</format>"),
              std::string::npos)
        << text;
}

// A hand-edited comment in front of a setting's text must not become its value.
TEST(SettingsFile, StoredTextGoesInFrontOfAHandEditedComment) {
    kvotest::TempDir dir;
    std::string file = dir.file("kvoomxsvr.conf");
    WriteFileText(file, "<root><bindaddress><!-- was 10.0.0.1 -->10.0.0.1</bindaddress></root>\n");
    ConfigFileSupport config;
    config.Initialize(file.c_str());
    ASSERT_EQ(config.SetConfigValue("root", "bindaddress", "127.0.0.1"), 1);
    EXPECT_EQ(SettingsSchema(config).BindAddress(), "127.0.0.1");
    ConfigFileSupport reread;
    reread.Initialize(file.c_str());
    EXPECT_EQ(SettingsSchema(reread).BindAddress(), "127.0.0.1");
    EXPECT_NE(ReadFileText(file).find("<!-- was 10.0.0.1 -->"), std::string::npos);  // the comment stays
}

// Traps go out for the three known letters only; mail counts anything else as
// information.
TEST(EventLevels, UnknownLetterIsNoTrapLevelButAnInformationMail) {
    EXPECT_EQ(EventLevels::BitOf('W'), EventLevels::kWarning);
    EXPECT_EQ(EventLevels::BitOf('X'), 0);
    EXPECT_EQ(EventLevels::BitOrInformation('X'), EventLevels::kInformation);
    EXPECT_STREQ(EventLevels::ElementOf('X'), "information");
    EXPECT_EQ(EventLevels::Titles(EventLevels::kInformation | EventLevels::kError), "Information, Error");
}

}  // namespace
