// The CTRL command syntax: a line to a command word and its arguments.
#include "controller/ctrl_cmd.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct ParseCase {
    std::string text;
    int result;
    CtrlCmdKind kind;
    std::string line, node, vdisk;
};

const ParseCase kCases[] = {
    // Commands with their arguments; CRLF and capitals are the same command.
    {"single_vdisk_ping 12 vd01\r\n", CTRL_OK, CTRL_SINGLE_VDISK_PING, "single_vdisk_ping 12",
     "12", "vd01"},
    {"SINGLE_VDISK_PING 12 vd01\n", CTRL_OK, CTRL_SINGLE_VDISK_PING, "SINGLE_VDISK_PING 12", "12",
     "vd01"},
    {"ds_ping 12\n", CTRL_OK, CTRL_DS_PING, "ds_ping 12", "12", ""},
    {"Vdisk_Deleted 12 abcdefghijklmn\n", CTRL_OK, CTRL_VDISK_DELETED, "Vdisk_Deleted 12", "12",
     "abcdefghijklmn"},
    // The vdisk is the rest of the line; the ds_ping node likewise.
    {"single_vdisk_ping 12 vd01 x\n", CTRL_OK, CTRL_SINGLE_VDISK_PING, "single_vdisk_ping 12",
     "12", "vd01 x"},
    {"ds_ping 12 13\n", CTRL_OK, CTRL_DS_PING, "ds_ping 12 13", "12 13", ""},
    // Only the word's letters are compared: anything may follow them.
    {"DS_PINGER 7\n", CTRL_OK, CTRL_DS_PING, "DS_PINGER 7", "7", ""},
    {"single_vdisk_pings 7 v\n", CTRL_OK, CTRL_SINGLE_VDISK_PING, "single_vdisk_pings 7", "7",
     "v"},
    // Empty arguments: two blanks in a row, a blank at the end.
    {"vdisk_deleted  v\n", CTRL_OK, CTRL_VDISK_DELETED, "vdisk_deleted ", "", "v"},
    {"single_vdisk_ping 12 \n", CTRL_OK, CTRL_SINGLE_VDISK_PING, "single_vdisk_ping 12", "12",
     ""},
    {"ds_ping \n", CTRL_OK, CTRL_DS_PING, "ds_ping ", "", ""},
    // Only blanks separate: a tab is part of the word.
    {"ds_ping\t12\n", CTRL_MISSING_NODE, CTRL_DS_PING, "ds_ping\t12", "", ""},
    // Missing arguments.
    {"single_vdisk_ping\n", CTRL_MISSING_NODE, CTRL_SINGLE_VDISK_PING, "single_vdisk_ping", "",
     ""},
    {"single_vdisk_ping 12\n", CTRL_MISSING_VDISK, CTRL_SINGLE_VDISK_PING, "single_vdisk_ping 12",
     "12", ""},
    {"vdisk_deleted 12\r\n", CTRL_MISSING_VDISK, CTRL_VDISK_DELETED, "vdisk_deleted 12", "12", ""},
    {"ds_ping\n", CTRL_MISSING_NODE, CTRL_DS_PING, "ds_ping", "", ""},
    // counters takes no argument: the rest of its line is not looked at.
    {"counters\n", CTRL_OK, CTRL_COUNTERS, "counters", "", ""},
    {"COUNTERS all\r\n", CTRL_OK, CTRL_COUNTERS, "COUNTERS all", "", ""},
    {"counter\n", CTRL_OK, CTRL_IGNORED, "counter", "", ""},
    // Ignored lines, a leading blank and shortened words included.
    {"status\n", CTRL_OK, CTRL_IGNORED, "status", "", ""},
    {" ds_ping 12\n", CTRL_OK, CTRL_IGNORED, " ds_ping 12", "", ""},
    {"ds_pin 12\n", CTRL_OK, CTRL_IGNORED, "ds_pin 12", "", ""},
    {"\n", CTRL_OK, CTRL_IGNORED, "", "", ""},
    // Only the first line counts; a CR elsewhere stays.
    {"ds_ping 12\nds_ping 13\n", CTRL_OK, CTRL_DS_PING, "ds_ping 12", "12", ""},
    {"ds_ping 1\r2\n", CTRL_OK, CTRL_DS_PING, "ds_ping 1\r2", "1\r2", ""},
    // No newline at all.
    {"ds_ping 12", CTRL_MALFORMED, CTRL_IGNORED, "ds_ping 12", "", ""},
    {"", CTRL_MALFORMED, CTRL_IGNORED, "", "", ""},
};

TEST(CtrlCmdParse, SplitsTheFirstLineIntoCommandAndArguments)
{
    for (const auto &c : kCases) {
        SCOPED_TRACE("text: \"" + c.text + "\"");
        std::string text = c.text;  // parsed in place
        CtrlCmd cmd;
        EXPECT_EQ(ctrl_cmd_parse(text.data(), &cmd), c.result);
        EXPECT_EQ(cmd.kind, c.kind);
        EXPECT_EQ(std::string(cmd.line), c.line);
        EXPECT_EQ(std::string(cmd.nodeuuid), c.node);
        EXPECT_EQ(std::string(cmd.vdiskuuid), c.vdisk);
    }
}

TEST(CtrlCmdParse, MalformedTextIsLeftAsReceived)
{
    // The error line quotes the text as it came.
    std::string text = "single_vdisk_ping 1 2";
    CtrlCmd cmd;
    ASSERT_EQ(ctrl_cmd_parse(text.data(), &cmd), CTRL_MALFORMED);
    EXPECT_EQ(text, "single_vdisk_ping 1 2");
}

}  // namespace
