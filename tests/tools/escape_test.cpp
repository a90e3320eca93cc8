// Text from the store made safe for JSON, DOT and table cells.
#include <gtest/gtest.h>

#include "tools/ctl.h"
#include "tools/escape.h"

namespace {

struct QuoteCase {
    const char *name;
    std::string in;
    std::string json;  // json_quote result
};

class JsonQuote : public testing::TestWithParam<QuoteCase> {};

TEST_P(JsonQuote, YieldsValidJsonThatDecodesAsExpected)
{
    const QuoteCase &c = GetParam();
    const std::string quoted = json_quote(c.in);
    EXPECT_EQ(quoted, c.json);
    ctl::Json doc;
    auto err = ctl::parse_json(quoted, &doc);
    ASSERT_FALSE(err) << *err << " in " << quoted;
    EXPECT_EQ(doc.type, ctl::Json::Type::String);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonQuote,
    testing::Values(
        QuoteCase{"Plain", "vd01", "\"vd01\""},
        QuoteCase{"QuoteAndBackslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        QuoteCase{"Controls", std::string("a\nb\tc\x01\x7f", 7), "\"a\\nb\\tc\\u0001\\u007f\""},
        QuoteCase{"ValidUtf8Kept", "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                  "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        QuoteCase{"StrayByte", "a\xff" "b", "\"a\\ufffdb\""},
        QuoteCase{"OverlongForm", "\xc0\xaf", "\"\\ufffd\\ufffd\""},
        QuoteCase{"Surrogate", "\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
        QuoteCase{"TruncatedAtEnd", "x\xe2\x82", "\"x\\ufffd\\ufffd\""},
        QuoteCase{"BeyondUnicode", "\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""}),
    [](const testing::TestParamInfo<QuoteCase> &i) { return std::string(i.param.name); });

TEST(JsonQuote, NulBytesInsideAFieldAreEscaped)
{
    EXPECT_EQ(json_quote(std::string("a\0b", 3)), "\"a\\u0000b\"");
}

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
