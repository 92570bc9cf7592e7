// The driver bridge settings as an administrator writes them in kvoomxsvr.conf:
// forcing a bridge, another sysfs root and device directory, added identifiers,
// and values that cannot be used (reported, ignored, never fatal).
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "config/ConfigFileSupport.h"
#include "service/DriverBridgeConfig.h"

namespace {

DriverBridgeSettings ReadFrom(const std::string& xml, std::string& printed) {
    kvotest::TempDir dir;
    kvotest::WriteFileText(dir.file("kvoomxsvr.conf"), xml);
    ConfigFileSupport config;
    config.Initialize(dir.file("kvoomxsvr.conf").c_str());
    testing::internal::CaptureStdout();
    DriverBridgeSettings settings = ReadDriverBridgeSettings(config);
    printed = testing::internal::GetCapturedStdout();
    return settings;
}

TEST(DriverBridgeConfig, SettingsForceTheBridgeAndAddIdentifiers) {
    std::string printed;
    DriverBridgeSettings none = ReadFrom("<root><configport>1cf2</configport></root>", printed);
    EXPECT_EQ(DriverBridgeSettings::Mode::Auto, none.mode);
    EXPECT_EQ("/sys", none.sysfsRoot);
    EXPECT_EQ("/dev", none.deviceDirectory);
    EXPECT_TRUE(none.extraIdentifiers.empty());
    EXPECT_EQ("", printed);

    DriverBridgeSettings s = ReadFrom(
        "<root><driverbridge> sg </driverbridge><scsigeneric><sysfs>/tmp/s/sys</sysfs>"
        "<devdir>/tmp/s/dev</devdir>"
        "<device0><vendor>ACME</vendor><model>RAID-X*</model><type>c</type></device0>"
        "<device1><type>zz</type><vendor>BAD</vendor></device1>"
        "<device7><procname>acmeraid</procname></device7>"
        "</scsigeneric></root>",
        printed);
    EXPECT_EQ(DriverBridgeSettings::Mode::ScsiGeneric, s.mode);
    EXPECT_EQ("/tmp/s/sys", s.sysfsRoot);
    EXPECT_EQ("/tmp/s/dev", s.deviceDirectory);
    ASSERT_EQ(2u, s.extraIdentifiers.size());
    EXPECT_EQ("ACME", s.extraIdentifiers[0].vendor);
    EXPECT_EQ("RAID-X*", s.extraIdentifiers[0].model);
    EXPECT_EQ(12, s.extraIdentifiers[0].type);
    EXPECT_EQ("acmeraid", s.extraIdentifiers[1].procName);
    EXPECT_EQ(-1, s.extraIdentifiers[1].type);
    EXPECT_NE(std::string::npos, printed.find("scsigeneric/device1: type \"zz\" is not a device type")) << printed;

    EXPECT_EQ(DriverBridgeSettings::Mode::Socket,
              ReadFrom("<root><driverbridge>socket</driverbridge></root>", printed).mode);
    EXPECT_EQ(DriverBridgeSettings::Mode::Auto,
              ReadFrom("<root><driverbridge>scsi</driverbridge></root>", printed).mode);
    EXPECT_NE(std::string::npos, printed.find("driverbridge \"scsi\" is not auto, socket or sg")) << printed;
}

}  // namespace
