// Saving a batch of changes once: nothing reaches the file before the batch
// ends, nested batches save at the outermost end, and a failed save is
// reported with its reason, kept in memory and saved by a later batch.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "ConfigTestSupport.h"
#include "TestSupport.h"
#include "config/ConfigSaveBatch.h"

namespace {

using kvotest::ReadFileText;

TEST(ConfigSaveBatch, ChangesReachTheFileTogetherAtTheOutermostEnd) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    kvotest::Store s(file);
    {
        ConfigSaveBatch outer(&s.config);
        s.config.SetConfigValue("/root", "a", "1");
        {
            ConfigSaveBatch inner(&s.config);
            s.config.SetConfigValue_U16("/root/x", "port", 7412);
            EXPECT_TRUE(inner.Commit());
        }
        EXPECT_NE(0, access(file.c_str(), F_OK)) << "saved before the batch ended";
        char text[16];
        ASSERT_EQ(1, s.config.GetConfigValue("/root/x", "port", text, sizeof text));
        EXPECT_STREQ("1cf4", text) << "readers see the change at once";
    }  // the destructor commits
    EXPECT_EQ("<root>\n    <a>1</a>\n    <x>\n        <port>1cf4</port>\n    </x>\n</root>\n", ReadFileText(file));
    EXPECT_FALSE(s.config.LastSaveFailed());

    // Outside any batch every change is saved at once again.
    s.config.SetConfigValue("/root", "a", "2");
    EXPECT_NE(std::string::npos, ReadFileText(file).find("<a>2</a>"));
}

TEST(ConfigSaveBatch, FailedSaveGivesItsReasonAndALaterBatchSavesTheChange) {
    kvotest::TempDir dir;
    std::string file = dir.file("c.conf");
    kvotest::Store s(file);
    ASSERT_EQ(0, mkdir(file.c_str(), 0755));  // the file's place is taken
    ConfigSaveBatch failing(&s.config);
    s.config.SetConfigValue("/root", "a", "1");
    EXPECT_FALSE(failing.Commit());
    EXPECT_NE(std::string::npos, failing.Failure().find("Is a directory")) << failing.Failure();
    EXPECT_FALSE(failing.Commit()) << "a second call gives the same answer";
    std::string reason;
    EXPECT_TRUE(s.config.LastSaveFailed(&reason));
    EXPECT_EQ(failing.Failure(), reason);
    EXPECT_EQ(1, s.log.Count(LOG_ERROR, "not saved"));

    ASSERT_EQ(0, rmdir(file.c_str()));
    ConfigSaveBatch nothingNew(&s.config);  // no change of its own: the pending one is saved
    EXPECT_TRUE(nothingNew.Commit());
    EXPECT_TRUE(nothingNew.Failure().empty());
    EXPECT_FALSE(s.config.LastSaveFailed(&reason));
    EXPECT_EQ("", reason);
    EXPECT_EQ("<root>\n    <a>1</a>\n</root>\n", ReadFileText(file));

    ConfigSaveBatch withoutStore(nullptr);
    EXPECT_TRUE(withoutStore.Commit());
}

}  // namespace
