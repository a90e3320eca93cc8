// The key file's lines: what gives a key ring and what is refused, and where.
#include <gtest/gtest.h>

#include <string>

#include "proto/keys.h"

namespace {

TEST(AuthKeys, ParsesKeyFileLines)
{
    const std::string k(64, 'a'), K = "0123456789ABCDEFabcdef" + std::string(42, '0');
    std::string nine;
    for (int id = 1; id <= 9; id++)
        nine += std::to_string(id) + " " + k + "\n";
    struct Case {
        std::string text;
        std::string ids_or_error;  // the ring's ids in order, or the error
    };
    const Case cases[] = {
        {"7 " + k + "\n", "7"},
        {"# old\n\n \t\n  4294967295\t" + K + " \n7 " + k + "\n", "4294967295 7"},
        {"", "no key"},
        {"# none\n", "no key"},
        {"7 " + k, "line 1 has no newline"},
        {"0 " + k + "\n", "line 1 is"},
        {"4294967296 " + k + "\n", "line 1 is"},
        {"#\n7 " + k.substr(1) + "\n", "line 2 is"},
        {"7 " + k + "a\n", "line 1 is"},
        {"7 " + k.substr(2) + "zz\n", "line 1 is"},
        {"7 " + k + " x\n", "line 1 is"},
        {"7 " + k + "\n7 " + K + "\n", "line 2: key id 7 given twice"},
        {nine, "more than 8 keys"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        AuthKeyRing ring;
        std::string error;
        if (auth_keys_parse(c.text.data(), c.text.size(), &ring, &error) < 0) {
            EXPECT_EQ(error.rfind(c.ids_or_error, 0), 0u) << error;
            EXPECT_EQ(ring.count, 0);
            continue;
        }
        std::string ids;
        for (int i = 0; i < ring.count; i++)
            ids += (i ? " " : "") + std::to_string(ring.keys[i].id);
        EXPECT_EQ(ids, c.ids_or_error);
    }
}

}  // namespace
