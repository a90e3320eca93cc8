// Arguments of the CTRL commands: what the daemon would misread is refused.
// The check kinds, each documented.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "tools/check.h"
#include "tools/control.h"

namespace {

struct NodeCase {
    const char *in;
    const char *canonical;  // nullptr: refused
    const char *why;        // part of the refusal
};

TEST(NodeArgCheck, AcceptsDecimal32BitIdsInTheDaemonsForm)
{
    const NodeCase cases[] = {
        {"7", "7", nullptr},
        {"007", "7", nullptr},
        {"0", "0", nullptr},
        {"4294967295", "4294967295", nullptr},
        {"4294967296", nullptr, "larger than 4294967295"},
        {"99999999999999999999999", nullptr, "larger than 4294967295"},
        {"", nullptr, "empty"},
        {"-1", nullptr, "not a decimal number"},
        {"+1", nullptr, "not a decimal number"},
        {"1 2", nullptr, "not a decimal number"},
        {"12a", nullptr, "not a decimal number"},
        {"0x10", nullptr, "not a decimal number"},
    };
    for (const NodeCase &c : cases) {
        std::string canonical, why;
        int r = node_arg_check(c.in, &canonical, &why);
        if (c.canonical) {
            EXPECT_EQ(r, 0) << c.in << ": " << why;
            EXPECT_EQ(canonical, c.canonical) << c.in;
        } else {
            EXPECT_EQ(r, -1) << c.in;
            EXPECT_NE(why.find(c.why), std::string::npos) << c.in << ": " << why;
        }
    }
}

TEST(UuidArgCheck, RefusesWhatTheCommandLineOrTheStoreWouldMisread)
{
    const std::pair<std::string, const char *> cases[] = {
        {"vd01", nullptr},
        {"abcdefghijklmn", nullptr},  // 14 characters
        {"a.b-c_d", nullptr},
        {"-vd", nullptr},
        {"abcdefghijklmno", "longer than 14"},
        {"a b", "blank"},
        {" vd01", "blank"},
        {"vd01 ", "blank"},
        {"a\tb", "control"},
        {"a\nb", "control"},
        {"a\rb", "control"},
        {"", "empty"},
        {".", "cannot name an object"},
        {"..", "cannot name an object"},
        {"a/b", "cannot name an object"},
    };
    for (const auto &[in, refusal] : cases) {
        std::string why;
        int r = uuid_arg_check(in, &why);
        if (refusal == nullptr) {
            EXPECT_EQ(r, 0) << "`" << in << "': " << why;
        } else {
            EXPECT_EQ(r, -1) << "`" << in << "'";
            EXPECT_NE(why.find(refusal), std::string::npos) << "`" << in << "': " << why;
        }
    }
}

TEST(PidFilePath, RelativePathsAreTakenFromTheWorkDirectory)
{
    EXPECT_EQ(work_path("/srv/DB", "/run/marlo.pid"), "/run/marlo.pid");
    EXPECT_EQ(work_path("/srv/DB", "../marlo.pid"), "/srv/DB/../marlo.pid");
    EXPECT_EQ(work_path("demo/run/DB", "marlo.pid"), "demo/run/DB/marlo.pid");
}

}  // namespace

namespace {

TEST(CtrlLineBuild, ComposesLinesTheDaemonReadsBackAsMeant)
{
    struct Case {
        const char *command, *node, *vdisk;
        const char *line;  // nullptr: refused
    } const cases[] = {
        {"single-vdisk-ping", "12", "vd01", "single_vdisk_ping 12 vd01"},
        {"ds-ping", "0012", "", "ds_ping 12"},
        {"vdisk-deleted", "4294967295", "abcdefghijklmn", "vdisk_deleted 4294967295 abcdefghijklmn"},
        {"vdisk-deleted", "12", "a b", nullptr},
        {"single-vdisk-ping", "12", "", nullptr},
        {"ds-ping", "1 2", "", nullptr},
        {"status", "12", "", nullptr},
    };
    for (const Case &c : cases) {
        std::string line, why;
        int r = ctrl_line_build(c.command, c.node, c.vdisk, &line, &why);
        if (c.line) {
            EXPECT_EQ(r, 0) << c.command << " " << c.node << ": " << why;
            EXPECT_EQ(line, c.line);
        } else {
            EXPECT_EQ(r, -1) << c.command << " " << c.node << " `" << c.vdisk << "'";
            EXPECT_FALSE(why.empty());
        }
    }
}

}  // namespace

namespace {

// marloctl(8) gives every kind of check its own entry under CHECK KINDS.
TEST(CheckKinds, EachHasItsEntryInTheManualPage)
{
    std::ifstream in(std::string(MARLO_SOURCE_DIR) + "/man/marloctl.8");
    const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string kinds = page.substr(page.find(".SH CHECK KINDS"));
    for (std::string k : check_kinds()) {
        for (size_t at = 0; (at = k.find('-', at)) != std::string::npos; at += 2)
            k.replace(at, 1, "\\-");
        EXPECT_NE(kinds.find(".TP\n.B " + k + "\n"), std::string::npos) << k;
    }
}

}  // namespace
