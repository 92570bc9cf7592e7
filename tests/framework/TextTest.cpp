// The shared text helpers at the edges their callers rely on: hex digits next to
// the digit ranges, blank-only text, and line breaks at the end of a text.
#include <gtest/gtest.h>

#include "framework/Text.h"

namespace {

TEST(Text, HexDigitsOfEitherCaseAndNothingBesideTheRanges) {
    EXPECT_EQ(Text::HexDigitValue('0'), 0);
    EXPECT_EQ(Text::HexDigitValue('9'), 9);
    EXPECT_EQ(Text::HexDigitValue('a'), 10);
    EXPECT_EQ(Text::HexDigitValue('F'), 15);
    for (char c : {'/', ':', '@', 'G', '`', 'g', ' ', '\0', '\xff'})
        EXPECT_EQ(Text::HexDigitValue(c), -1) << static_cast<int>(c);
    const unsigned char bytes[] = {0x00, 0x9f, 0xa0, 0xff};
    EXPECT_EQ(Text::LowerHex(bytes, sizeof bytes), "009fa0ff");
}

TEST(Text, TrimAndLowerKeepTheInside) {
    EXPECT_EQ(Text::Trim(" \t\r\n"), "");
    EXPECT_EQ(Text::Trim("\r\n a b \t"), "a b");
    EXPECT_EQ(Text::Trim("\ta\t", " "), "\ta\t");
    EXPECT_EQ(Text::Lower("Basic ÄB"), "basic Äb");
}

TEST(Text, OneLineJoinsLinesAndDropsTheLastBreak) {
    EXPECT_EQ(Text::OneLine("550 no\r\n550 such user\r\n", "; "), "550 no; 550 such user");
    EXPECT_EQ(Text::OneLine("a\n\nb", " / "), "a /  / b");
    EXPECT_EQ(Text::OneLine("\n", "; "), "");
}

}  // namespace
