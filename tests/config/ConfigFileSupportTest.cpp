#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "ConfigTestSupport.h"
#include "TestSupport.h"
#include "config/ConfigFileSupport.h"

namespace {

using kvotest::ReadFileText;
using kvotest::WriteFileText;

using kvotest::Store;

std::string GetText(ConfigFileSupport& config, const char* path, const char* key, int size = 64) {
    std::string buffer(static_cast<size_t>(size), 'x');
    if (!config.GetConfigValue(path, key, buffer.data(), size)) return "<missing>";
    return std::string(buffer.c_str());
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

TEST(ConfigFileSupport, MissingFileReadsAsZeroAndFirstWriteCreatesExactText) {
    kvotest::TempDir dir;
    std::string file = dir.file("kvoomxsvr.conf");
    Store s(file);

    uint16_t port = 99;
    EXPECT_EQ(s.config.GetConfigValue_U16("/root", "configport", port), 0);
    EXPECT_EQ(port, 0);
    EXPECT_FALSE(Exists(file)) << "reading must not create the file";
    EXPECT_EQ(s.log.Size(), 0u) << "a missing file is normal on first start";

    EXPECT_EQ(s.config.SetConfigValue_U16("/root/controller0", "httpport", 7412), 1);
    EXPECT_EQ(ReadFileText(file),
              "<root>\n"
              "    <controller0>\n"
              "        <httpport>1cf4</httpport>\n"
              "    </controller0>\n"
              "</root>\n");
    EXPECT_EQ(s.config.GetConfigValue_U16("/root/controller0", "httpport", port), 1);
    EXPECT_EQ(port, 7412);
}

TEST(ConfigFileSupport, FileIsReadOnFirstUseNotAtInitialize) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    Store s(file);
    WriteFileText(file, "<root><configport>2328</configport></root>");
    uint16_t port = 0;
    EXPECT_EQ(s.config.GetConfigValue_U16("/root", "configport", port), 1);
    EXPECT_EQ(port, 9000);

    // Later changes by hand are not seen, and the next write replaces them.
    WriteFileText(file, "<root><configport>1</configport><extra>1</extra></root>");
    EXPECT_EQ(s.config.GetConfigValue_U16("/root", "configport", port), 1);
    EXPECT_EQ(port, 9000);
    s.config.SetConfigValue("/root", "name", "a");
    EXPECT_EQ(ReadFileText(file), "<root>\n    <configport>2328</configport>\n    <name>a</name>\n</root>\n");
}

TEST(ConfigFileSupport, RewritingAKeyReplacesItsTextAndKeepsFirstWriteOrder) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    Store s(file);
    s.config.SetConfigValue_U16("/root/controller0", "httpport", 7412);
    s.config.SetConfigValue_U16("/root/controller0", "cliport", 7414);
    s.config.SetConfigValue_U16("/root/controller0", "httpport", 8080);
    EXPECT_EQ(ReadFileText(file),
              "<root>\n"
              "    <controller0>\n"
              "        <httpport>1f90</httpport>\n"
              "        <cliport>1cf6</cliport>\n"
              "    </controller0>\n"
              "</root>\n");
}

TEST(ConfigFileSupport, NumbersReadBackFromHandWrittenText) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    WriteFileText(file,
                  "<root><controller0><httpport>1CF4</httpport><cliport>12g4</cliport>"
                  "<long>1234567890</long><wide>12345</wide><byte>1ff</byte><max>ffffffff</max>"
                  "</controller0></root>");
    Store s(file);
    uint16_t u16 = 1;
    EXPECT_EQ(s.config.GetConfigValue_U16("/root/controller0", "httpport", u16), 1);
    EXPECT_EQ(u16, 7412);
    u16 = 1;
    EXPECT_EQ(s.config.GetConfigValue_U16("/root/controller0", "cliport", u16), 1);
    EXPECT_EQ(u16, 0) << "non-hex text reads as 0 with result 1";
    uint32_t u32 = 1;
    EXPECT_EQ(s.config.GetConfigValue_U32("/root/controller0", "long", u32), 1);
    EXPECT_EQ(u32, 0u) << "more than 9 characters do not fit the read buffer";
    EXPECT_EQ(s.config.GetConfigValue_U16("/root/controller0", "wide", u16), 1);
    EXPECT_EQ(u16, 0x2345);
    uint8_t u8 = 0;
    EXPECT_EQ(s.config.GetConfigValue_U8("/root/controller0", "byte", u8), 1);
    EXPECT_EQ(u8, 0xff);
    EXPECT_EQ(s.config.GetConfigValue_U32("/root/controller0", "max", u32), 1);
    EXPECT_EQ(u32, 0xffffffffu);
    u8 = 5;
    EXPECT_EQ(s.config.GetConfigValue_U8("/root/controller0", "none", u8), 0);
    EXPECT_EQ(u8, 0);

    s.config.SetConfigValue_U32("/root", "n", 0xABCDEF01u);
    s.config.SetConfigValue_U8("/root", "b", 0x0A);
    EXPECT_NE(ReadFileText(file).find("<n>abcdef01</n>"), std::string::npos);
    EXPECT_NE(ReadFileText(file).find("<b>a</b>"), std::string::npos);
}

TEST(ConfigFileSupport, SpacesParenthesesAndSeparatorsAddressTheSameElements) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    Store s(file);
    EXPECT_EQ(s.config.SetConfigValue("/root/Port (A)", "my key", "v1"), 1);
    EXPECT_EQ(GetText(s.config, "/root/Port (A)", "my key"), "v1");
    EXPECT_EQ(GetText(s.config, "/root/Port__A_", "my_key"), "v1");

    EXPECT_EQ(s.config.SetConfigValue("\\root\\controller1", "httpport", "1d08"), 1);
    EXPECT_EQ(GetText(s.config, "//root//controller1/", "httpport"), "1d08");
    EXPECT_EQ(GetText(s.config, "root\\/controller1", "httpport"), "1d08");
    EXPECT_EQ(ReadFileText(file),
              "<root>\n"
              "    <Port__A_>\n"
              "        <my_key>v1</my_key>\n"
              "    </Port__A_>\n"
              "    <controller1>\n"
              "        <httpport>1d08</httpport>\n"
              "    </controller1>\n"
              "</root>\n");
}

TEST(ConfigFileSupport, ReadBufferRulesAndChildNameList) {
    kvotest::TempDir dir;
    Store s(dir.file("c.conf"));
    s.config.SetConfigValue_U8("/root/snmp/trap", "levelflag", 7);
    s.config.SetConfigValue("/root/snmp/trap/trap1", "ip", "127.0.0.1");
    s.config.SetConfigValue("/root/snmp/trap/trap2", "ip", "");
    s.config.SetConfigValue("/root/snmp/trap/trap3", "ip", "");

    char list[40];
    memset(list, 'x', sizeof list);
    ASSERT_EQ(s.config.GetConfigValue("/root/snmp", "trap", list, sizeof list), 1);
    EXPECT_EQ(std::string(list, 29), std::string("levelflag\0trap1\0trap2\0trap3\0\0", 29));

    // Only whole names fit; the list stops at the first that does not.
    char small[14];
    ASSERT_EQ(s.config.GetConfigValue("/root/snmp", "trap", small, sizeof small), 1);
    EXPECT_EQ(std::string(small, 14), std::string("levelflag\0\0\0\0\0", 14));

    // A value too big for the buffer gives the empty text, still with result 1.
    char tiny[5];
    memset(tiny, 'x', sizeof tiny);
    EXPECT_EQ(s.config.GetConfigValue("/root/snmp/trap/trap1", "ip", tiny, sizeof tiny), 1);
    EXPECT_EQ(std::string(tiny, 5), std::string(5, '\0'));
    EXPECT_EQ(s.config.GetConfigValue("/root/snmp/trap/trap1", "ip", tiny, 1), 0);

    // A missing element leaves the buffer untouched.
    memset(tiny, 'x', sizeof tiny);
    EXPECT_EQ(s.config.GetConfigValue("/root/snmp/trap/trap9", "ip", tiny, sizeof tiny), 0);
    EXPECT_EQ(std::string(tiny, 5), "xxxxx");

    // The null key addresses the path alone; the empty text reads back empty.
    EXPECT_EQ(GetText(s.config, "/root/snmp/trap/trap1/ip", nullptr), "127.0.0.1");
    EXPECT_EQ(GetText(s.config, "/root/snmp/trap/trap2", "ip"), "");
    EXPECT_EQ(s.config.GetConfigValue(nullptr, "ip", tiny, sizeof tiny), 0);
    EXPECT_EQ(s.config.GetConfigValue("/root", "ip", nullptr, 5), 0);
}

TEST(ConfigFileSupport, OverLongPathsAndUnusableArgumentsAreRefusedWithoutChange) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    Store s(file);
    std::string path = "/root/" + std::string(94, 'p');  // 100 characters
    std::string key28(28, 'k'), key29(29, 'k');

    EXPECT_EQ(s.config.SetConfigValue(path.c_str(), key29.c_str(), "v"), 0);
    EXPECT_FALSE(Exists(file));
    EXPECT_EQ(s.config.SetConfigValue(path.c_str(), key28.c_str(), "v"), 1);
    EXPECT_EQ(GetText(s.config, path.c_str(), key28.c_str()), "v");
    char buffer[8];
    EXPECT_EQ(s.config.GetConfigValue(path.c_str(), key29.c_str(), buffer, sizeof buffer), 0);
    std::string joined = path + "/" + key28;
    EXPECT_EQ(GetText(s.config, joined.c_str(), nullptr), "<missing>") << "129 characters";

    std::string before = ReadFileText(file);
    EXPECT_EQ(s.config.SetConfigValue(nullptr, "k", "v"), 0);
    EXPECT_EQ(s.config.SetConfigValue("/root", nullptr, "v"), 0);
    EXPECT_EQ(s.config.SetConfigValue("/root", "k", nullptr), 0);
    // Names the XML reader could not read back would spoil the whole file.
    EXPECT_EQ(s.config.SetConfigValue("/root/1st", "k", "v"), 0);
    EXPECT_EQ(s.config.SetConfigValue("/root", "a<b", "v"), 0);
    EXPECT_EQ(s.config.SetConfigValue("/", "", "v"), 0);
    // Text would overwrite the names of the settings below this element.
    EXPECT_EQ(s.config.SetConfigValue("/", "root", "v"), 0);
    EXPECT_EQ(ReadFileText(file), before);
}

TEST(ConfigFileSupport, TextWithMarkupSurvivesAReload) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    {
        Store s(file);
        s.config.SetConfigValue("/root/mail", "from", "a<b>&\"c\" 'd'");
    }
    Store s(file);
    EXPECT_EQ(GetText(s.config, "/root/mail", "from"), "a<b>&\"c\" 'd'");
    EXPECT_EQ(s.config.LoadFile(), 1);
}

TEST(ConfigFileSupport, ByteStringsAreUpperCaseHexPairs) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    Store s(file);
    const unsigned char key[4] = {0x00, 0xAB, 0x7F, 0x10};
    EXPECT_EQ(s.config.SetConfigValue_bytes("/root", "key", key, 4), 1);
    EXPECT_NE(ReadFileText(file).find("<key>00AB7F10</key>"), std::string::npos);
    unsigned char back[4] = {1, 1, 1, 1};
    EXPECT_EQ(s.config.GetConfigValue_bytes("/root", "key", back, 4), 1);
    EXPECT_EQ(memcmp(back, key, 4), 0);

    // Lower-case digits and missing characters count as 0.
    s.config.SetConfigValue("/root", "odd", "ab1");
    unsigned char odd[3] = {9, 9, 9};
    EXPECT_EQ(s.config.GetConfigValue_bytes("/root", "odd", odd, 3), 1);
    EXPECT_EQ(odd[0], 0x00);
    EXPECT_EQ(odd[1], 0x10);
    EXPECT_EQ(odd[2], 0x00);

    unsigned char none[2] = {9, 9};
    EXPECT_EQ(s.config.GetConfigValue_bytes("/root", "none", none, 2), 0);
    EXPECT_EQ(none[0], 0);
    EXPECT_EQ(none[1], 0);
    EXPECT_EQ(s.config.SetConfigValue_bytes("/root", "k", nullptr, 2), 0);
}

TEST(ConfigFileSupport, SaveKeepsPermissionsAndSymbolicLink) {
    kvotest::TempDir dir;
    std::string real = dir.file("real.conf");
    std::string link = dir.file("kvoomxsvr.conf");
    WriteFileText(real, "<root><a>1</a></root>");
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    Store s(link);
    EXPECT_EQ(s.config.SetConfigValue("/root", "b", "2"), 1);
    struct stat st;
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFileText(real), "<root>\n    <a>1</a>\n    <b>2</b>\n</root>\n");
    EXPECT_EQ(kvotest::DirectoryEntries(dir.path()).size(), 2u) << "no temporary file left behind";
}

}  // namespace

// A hand-edited file with text XML 1.0 cannot carry: what is valid loads, the
// rest is dropped with one warning, and the next save writes a file that
// reads back to the same values. Such a value is never taken from a caller.
TEST(ConfigFileSupport, TextXmlCannotCarryIsDroppedOnReadAndRefusedOnWrite) {
    kvotest::TempDir dir;
    std::string file = dir.file("kvoomxsvr.conf");
    kvotest::WriteFileText(file, "<?xml version=\"1.0\" ?>\n<root><configport>1cf2</configport>"
                                 "<bindaddress>127.0.0.1&#x01;</bindaddress><x\xc3\x97>1</x\xc3\x97>"
                                 "<snmp><trap><trap1><ip>10.0.0.\xff" "5</ip></trap1></trap></snmp></root>\n");
    kvotest::Store s(file);
    char text[64];
    ASSERT_EQ(1, s.config.GetConfigValue("root", "bindaddress", text, sizeof text));
    EXPECT_STREQ("127.0.0.1", text);
    ASSERT_EQ(1, s.config.GetConfigValue("root/snmp/trap/trap1", "ip", text, sizeof text));
    EXPECT_STREQ("10.0.0.5", text);
    EXPECT_EQ(1, s.log.Count(LOG_WARNING, "3 characters or entries that XML 1.0 does not allow were dropped"));

    EXPECT_EQ(0, s.config.SetConfigValue("root", "bindaddress", "10.0.0.1\x01"));
    EXPECT_EQ(0, s.config.SetConfigValue("root", "bindaddress", "caf\xe9"));
    ASSERT_EQ(1, s.config.SetConfigValue("root", "adminpassword", "  two   words  "));
    ASSERT_EQ(1, s.config.GetConfigValue("root", "adminpassword", text, sizeof text));
    EXPECT_STREQ("two words", text);  // as the file gives it back
    EXPECT_EQ("<?xml version=\"1.0\" ?>\n<root>\n    <configport>1cf2</configport>\n"
              "    <bindaddress>127.0.0.1</bindaddress>\n    <snmp>\n        <trap>\n            <trap1>\n"
              "                <ip>10.0.0.5</ip>\n            </trap1>\n        </trap>\n    </snmp>\n"
              "    <adminpassword>two words</adminpassword>\n</root>\n",
              kvotest::ReadFileText(file));
}
