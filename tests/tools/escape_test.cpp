// Text from the store made safe as UTF-8, for DOT and for table cells.
#include <gtest/gtest.h>

#include "tools/escape.h"

namespace {

struct CleanCase {
    const char *name;
    std::string in;
    std::string clean;  // utf8_clean result
};

class Utf8Clean : public testing::TestWithParam<CleanCase> {};

TEST_P(Utf8Clean, KeepsValidUtf8AndReplacesEveryOtherByte)
{
    const CleanCase &c = GetParam();
    EXPECT_EQ(utf8_clean(c.in), c.clean);
}

#define FFFD "\xef\xbf\xbd"
INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8Clean,
    testing::Values(
        CleanCase{"Plain", "vd01", "vd01"},
        CleanCase{"QuoteAndBackslash", "a\"b\\c", "a\"b\\c"},
        CleanCase{"ControlsAndNul", std::string("a\nb\tc\x01\x7f\0", 8),
                  std::string("a\nb\tc\x01\x7f\0", 8)},
        CleanCase{"ValidUtf8Kept", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                  "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        CleanCase{"StrayByte", "a\xff" "b", "a" FFFD "b"},
        CleanCase{"OverlongForm", "\xc0\xaf", FFFD FFFD},
        CleanCase{"Surrogate", "\xed\xa0\x80", FFFD FFFD FFFD},
        CleanCase{"TruncatedAtEnd", "x\xe2\x82", "x" FFFD FFFD},
        CleanCase{"BeyondUnicode", "\xf4\x90\x80\x80", FFFD FFFD FFFD FFFD}),
    [](const testing::TestParamInfo<CleanCase> &i) { return std::string(i.param.name); });
#undef FFFD

TEST(DotQuote, EscapesQuotesAndHidesBytesDotCannotShow)
{
    EXPECT_EQ(dot_quote("node 5"), "\"node 5\"");
    EXPECT_EQ(dot_quote("a\"b\\"), "\"a\\\"b\\\\\"");
    EXPECT_EQ(dot_quote("a\nb\xff"), "\"a.b.\"");
    // A trailing backslash must not escape the closing quote.
    EXPECT_EQ(dot_label("x\\", "y"), "\"x\\\\\\ny\"");
    EXPECT_EQ(dot_label("only"), "\"only\"");
}

TEST(CellText, ControlCharactersCannotBreakARow)
{
    EXPECT_EQ(cell_text("a\nb\rc\td"), "a.b.c.d");
    EXPECT_EQ(cell_text("caf\xc3\xa9"), "caf\xc3\xa9");
}

}  // namespace
