// Page helpers: how paths are sorted, which index a field name carries,
// allowed names, the name registry, the host address and the page file.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "TestSupport.h"
#include "pages/GlobalMap.h"
#include "pages/PageFile.h"
#include "pages/PageHelpers.h"

namespace {

TEST(GetFileTypeTest, SortsByTheExactTextAfterTheLastDot) {
    const std::pair<const char*, int> cases[] = {
        {"index.htm", 0}, {"controllers.xml", 1}, {"images/a.gif", 2}, {"controllers.xsl", 3},
        {"favicon.ico", 4}, {"a.bmp", 5}, {"a.jpg", 6}, {"events.log", 7}, {"applet.jar", 8},
        {"Main.class", 9},
        // Case matters, the last dot counts, and a dot in a directory is no extension.
        {"index.HTM", 10}, {"a.XSL", 10}, {"a.jpeg", 10}, {"archive.tar.gz", 10},
        {"x.gif.xsl", 3}, {"dir.gif/page", 10}, {"", 10}, {"controllers.cgi", 10},
        {"noextension", 10}, {"trailingdot.", 10},
    };
    for (const auto& c : cases) EXPECT_EQ(c.second, GetFileType(c.first)) << c.first;
}

TEST(GetConIdTest, ReadsTheSuffixAfterTheLastUnderscoreAsHex) {
    EXPECT_EQ(1, GetConId("controller_httpport_1"));
    EXPECT_EQ(10, GetConId("controller_httpport_a"));
    EXPECT_EQ(10, GetConId("controller_httpport_A"));
    EXPECT_EQ(16, GetConId("controller_cliport_10"));
    EXPECT_EQ(3, GetConId("trap_port_3"));
    // Text that is not hexadecimal, an empty suffix and the bare name read as 0.
    EXPECT_EQ(0, GetConId("controller_httpport"));
    EXPECT_EQ(0, GetConId("controller_httpport_"));
    EXPECT_EQ(0, GetConId("controller_httpport_1g"));
    EXPECT_EQ(-1, GetConId("nounderscore"));
    EXPECT_EQ(-1, GetConId(""));
}

TEST(IsValidNameTest, AllowsAsciiLettersDigitsUnderscoreAndDash) {
    EXPECT_TRUE(ISVALIDNAME("ops-team_2"));
    EXPECT_TRUE(ISVALIDNAME(""));
    EXPECT_FALSE(ISVALIDNAME("ops team"));
    EXPECT_FALSE(ISVALIDNAME("a.b"));
    EXPECT_FALSE(ISVALIDNAME("<script>"));
    EXPECT_FALSE(ISVALIDNAME("caf\xc3\xa9"));  // non-ASCII letters are not letters here
    EXPECT_FALSE(ISVALIDNAME("tab\t"));
    EXPECT_FALSE(ISVALIDNAME(nullptr));
}

TEST(AtoiClampedTest, ReadsLeadingNumbersAndNeverWraps) {
    EXPECT_EQ(8080, AtoiClamped("8080"));
    EXPECT_EQ(8080, AtoiClamped("  +8080x"));
    EXPECT_EQ(-12, AtoiClamped("-12"));
    EXPECT_EQ(0, AtoiClamped("abc"));
    EXPECT_EQ(0, AtoiClamped(""));
    EXPECT_EQ(0, AtoiClamped(nullptr));
    // 2^32 + 8296 must not come out as the valid port 8296.
    EXPECT_EQ(INT_MAX, AtoiClamped("4294975592"));
    EXPECT_EQ(INT_MAX, AtoiClamped("99999999999999999999999999"));
    EXPECT_EQ(INT_MIN, AtoiClamped("-99999999999999999999999999"));
}

TEST(GlobalMapTest, RegistersThePageAndActionNames) {
    // The nine original names keep their ids; the two test actions follow, then the events and hooks pages'.
    const char* names[FUNC_ID_COUNT] = {"controllers.cgi", "snmp.cgi",  "email.cgi",
                                        "SetSmtp",         "AddRecipient", "DeleteRecipient",
                                        "ShowEmail",       "ShowSnmp",  "SetSnmp",
                                        "SendTestTrap",    "SendTestMail", "events.cgi",
                                        "ResendEvent",     "SendTestEvent", "hooks.cgi",
                                        "AddWebhook",      "RemoveWebhook"};
    EXPECT_EQ(17u, GlobalMap::FuncNameIdMap.size());
    for (int id = 0; id < FUNC_ID_COUNT; ++id) {
        EXPECT_EQ(id, GlobalMap::GetFuncId(names[id])) << names[id];
        EXPECT_EQ(names[id], GlobalMap::GetFuncName(static_cast<FUNC_ID>(id)));
    }
    EXPECT_TRUE(GlobalMap::bFuncMapInit);
    // Unknown names, other cases and paths with a folder all mean the controllers page.
    EXPECT_EQ(FUNC_CONTROLLERS, GlobalMap::GetFuncId("setsmtp"));
    EXPECT_EQ(FUNC_CONTROLLERS, GlobalMap::GetFuncId("SNMP.cgi"));
    EXPECT_EQ(FUNC_CONTROLLERS, GlobalMap::GetFuncId("x/snmp.cgi"));
    EXPECT_EQ(FUNC_CONTROLLERS, GlobalMap::GetFuncId(""));
    EXPECT_EQ("", GlobalMap::GetFuncName(FUNC_ID_COUNT));
}

TEST(GetHostNameTest, GivesANameAndADottedAddress) {
    std::string name, address;
    GetHostName(name, address);
    EXPECT_FALSE(name.empty());
    in_addr parsed{};
    EXPECT_EQ(1, inet_pton(AF_INET, address.c_str(), &parsed)) << address;
}

class PageFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
        m_oldCwd = cwd;
        ASSERT_EQ(0, chdir(m_dir.path().c_str()));
        m_doc.Parse("<kvo_omx_page title=\"T\"><x>1</x></kvo_omx_page>");
    }
    void TearDown() override { ASSERT_EQ(0, chdir(m_oldCwd.c_str())); }

    size_t FileCount() {
        size_t n = 0;
        for (auto& e : std::filesystem::directory_iterator(m_dir.path())) (void)e, ++n;
        return n;
    }

    kvotest::TempDir m_dir;
    std::string m_oldCwd;
    TiXmlDocument m_doc;
};

TEST_F(PageFileTest, NameKeepsTheDocumentStemAndExtension) {
    int suffix = -1;
    EXPECT_EQ("snmp-XXXXXX.xml", PageFile::NameTemplate("snmp.xml", suffix));
    EXPECT_EQ(4, suffix);
    EXPECT_EQ("page-XXXXXX", PageFile::NameTemplate("page", suffix));
    EXPECT_EQ(0, suffix);
    EXPECT_EQ("a.d/page-XXXXXX", PageFile::NameTemplate("a.d/page", suffix));
    EXPECT_EQ(0, suffix);
}

TEST_F(PageFileTest, WritesTheDocumentAndRemovesItWhenDone) {
    std::string path;
    {
        PageFile file;
        ASSERT_TRUE(file.Write(m_doc, "controllers.xml"));
        path = file.Path();
        EXPECT_EQ(0u, path.rfind("controllers-", 0));
        std::string text = kvotest::ReadFileText(path);
        EXPECT_NE(std::string::npos, text.find("<x>1</x>")) << text;
        struct stat info {};
        ASSERT_EQ(0, lstat(path.c_str(), &info));
        EXPECT_TRUE(S_ISREG(info.st_mode));
        EXPECT_EQ(0644u, info.st_mode & 0777);
    }
    EXPECT_NE(0, access(path.c_str(), F_OK));
    EXPECT_EQ(0u, FileCount());
}

TEST_F(PageFileTest, EachWriteGetsItsOwnFile) {
    PageFile first, second;
    ASSERT_TRUE(first.Write(m_doc, "controllers.xml"));
    ASSERT_TRUE(second.Write(m_doc, "controllers.xml"));
    EXPECT_NE(first.Path(), second.Path());
    EXPECT_EQ(2u, FileCount());
    // Writing again replaces (and removes) the earlier file.
    std::string old = first.Path();
    ASSERT_TRUE(first.Write(m_doc, "controllers.xml"));
    EXPECT_NE(0, access(old.c_str(), F_OK));
    EXPECT_EQ(2u, FileCount());
}

TEST_F(PageFileTest, UnwritableFolderFailsWithoutLeavingAnything) {
    PageFile file;
    EXPECT_FALSE(file.Write(m_doc, "no-such-folder/controllers.xml"));
    EXPECT_TRUE(file.Path().empty());
    EXPECT_EQ(0u, FileCount());
}

}  // namespace
