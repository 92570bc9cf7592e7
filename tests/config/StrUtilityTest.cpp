#include <gtest/gtest.h>

#include <cstring>

#include "config/StrUtility.h"

TEST(StrUtility, IntFromHexStrReadsEitherCaseAndRejectsAnyOtherCharacter) {
    EXPECT_EQ(StrUtility::IntFromHexStr("1cf4"), 7412);
    EXPECT_EQ(StrUtility::IntFromHexStr("1CF4"), 7412);
    EXPECT_EQ(StrUtility::IntFromHexStr("0"), 0);
    EXPECT_EQ(static_cast<unsigned int>(StrUtility::IntFromHexStr("ffffffff")), 0xffffffffu);
    EXPECT_EQ(StrUtility::IntFromHexStr("12g4"), 0);
    EXPECT_EQ(StrUtility::IntFromHexStr("0x1f"), 0);
    EXPECT_EQ(StrUtility::IntFromHexStr(" 1f"), 0);
    EXPECT_EQ(StrUtility::IntFromHexStr(""), 0);
    EXPECT_EQ(StrUtility::IntFromHexStr(nullptr), 0);
}

TEST(StrUtility, IntFromDecStrReadsOnlyWholeDecimalText) {
    EXPECT_EQ(StrUtility::IntFromDecStr("7412"), 7412u);
    EXPECT_EQ(StrUtility::IntFromDecStr("4294967295"), 4294967295u);
    EXPECT_EQ(StrUtility::IntFromDecStr("12a3"), 0u);
    EXPECT_EQ(StrUtility::IntFromDecStr("-1"), 0u);
    EXPECT_EQ(StrUtility::IntFromDecStr(" 12"), 0u);
    EXPECT_EQ(StrUtility::IntFromDecStr(""), 0u);
    EXPECT_EQ(StrUtility::IntFromDecStr(nullptr), 0u);
}

TEST(StrUtility, TrimRemovesSpacesAndLineEndsButKeepsTabs) {
    char text[32];
    strcpy(text, "  value 1 \r\n");
    StrUtility::trim(text);
    EXPECT_STREQ(text, "value 1");

    strcpy(text, "\t x\t\n");
    StrUtility::trim(text);
    EXPECT_STREQ(text, "\t x\t");

    strcpy(text, " \r\n \n");
    StrUtility::trim(text);
    EXPECT_STREQ(text, "");

    strcpy(text, "bare");
    StrUtility::trim(text);
    EXPECT_STREQ(text, "bare");

    StrUtility::trim(nullptr);  // must not crash
}
