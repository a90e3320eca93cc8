// The key file's lines: what gives a key ring and what is refused, and where.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "proto/keys.h"

namespace {

TEST(AuthKeys, ParsesKeyFileLines)
{
    const std::string k(64, 'a'), K = "0123456789ABCDEFabcdef" + std::string(42, '0');
    std::string nine;
    for (int id = 1; id <= 9; id++)
        nine += std::to_string(id) + " " + k + "\n";
    // The text, then the ring's ids in order or the start of the error.
    const std::pair<std::string, std::string> cases[] = {
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
    for (const auto &[text, want] : cases) {
        AuthKeyRing ring;
        std::string got;
        if (auth_keys_parse(text.data(), text.size(), &ring, &got) < 0)
            got = got.substr(0, want.size());
        for (int i = 0; i < ring.count; i++)
            got += (i ? " " : "") + std::to_string(ring.keys[i].id);
        EXPECT_EQ(got, want) << text;
    }
}

}  // namespace
