#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "proto/msg.h"

namespace {

// The texts of the debug lines that `fn` logged, without the prefix.
std::vector<std::string> lines_of(const std::string &log, const std::string &fn)
{
    const std::string tag = "debug: " + fn + "(): ";
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = log.find(tag, at)) != std::string::npos) {
        at += tag.size();
        size_t end = log.find('\n', at);
        out.push_back(log.substr(at, end - at));
        at = end;
    }
    return out;
}

TEST(MsgType, NamesCodesAndUnknownAbove34)
{
    struct {
        unsigned code;
        const char *name;
    } cases[] = {{0, "READ_REQ"},  {4, "PING"},         {16, "DS_PING"},
                 {32, "HEARTBEAT"}, {33, "SINGLE_VDISK_PING"}, {34, "VDISK_DELETED"},
                 {35, "UNKNOWN"},   {36, "UNKNOWN"},      {200, "UNKNOWN"},
                 {255, "UNKNOWN"}};
    Hdr hdr{};
    for (const auto &c : cases) {
        hdr.type = uint8_t(c.code);
        EXPECT_STREQ(msg_type(&hdr), c.name) << c.code;
    }
    EXPECT_STREQ(Msg_Types[24], "ENABLE_VDISK_SYNC_MASTER");
    EXPECT_STREQ(Msg_Types[31], "SET_VDISK_SIZE");
}

TEST(Dump, HeaderFieldsInOrderWithBoundedText)
{
    Hdr hdr{};
    hdr.major = 1;
    hdr.minor = 8;
    hdr.type = 35;
    hdr.uid = 4294967295u;
    std::memset(hdr.vendor, 'v', sizeof hdr.vendor);  // full width, no NUL
    std::memset(hdr.model, 'm', sizeof hdr.model);
    std::memcpy(hdr.serial, "SN1", 3);
    hdr.size = 0xC0A80102;
    hdr.hostid = 65535;
    testing::internal::CaptureStderr();
    hdr_dump(&hdr);
    auto got = lines_of(testing::internal::GetCapturedStderr(), "hdr_dump");
    std::vector<std::string> want = {
        "major=1", "minor=8", "type=35 [UNKNOWN]", "nodestatus=0", "uid=4294967295",
        "vendor=" + std::string(32, 'v'), "model=" + std::string(32, 'm'),
        "revision.freespace=0", "revision.utilization=0", "revision.rev=", "serial=SN1", "hbtl=",
        "size=3232235778", "performance=0", "hostid=65535",
    };
    EXPECT_EQ(got, want);
}

TEST(Dump, DatastoreEntry)
{
    DatastoreEntry dse{};
    std::memcpy(dse.uuid, "abcdefghijklmn", 14);  // followed directly by name
    std::memcpy(dse.name, "pool", 4);
    dse.sector_size = 0xFFFFFFFF;  // printed signed
    dse.replicas = 3;
    testing::internal::CaptureStderr();
    dse_dump(&dse);
    auto got = lines_of(testing::internal::GetCapturedStderr(), "dse_dump");
    std::vector<std::string> want = {"uuid=abcdefghijklmn", "name=pool", "description=", "sector_size=-1",
                                     "replicas=3", "stripes=0", "overcommit=0"};
    EXPECT_EQ(got, want);
}

TEST(Dump, VdiskEntryPlainAndSnapshot)
{
    VDiskEntry vde{};
    vde.transaction_id = 9;
    std::memcpy(vde.uuid, "v1", 2);
    std::memcpy(vde.name.old_mshipgencnt, "23", 2);
    mshipgencnt_set(vde, 123);
    std::memcpy(vde.name.name, "disk", 4);
    vde.numkeys = 1ull << 40;
    vde.sectors = 18446744073709551615ull;
    std::memcpy(vde.description.descr, "hello", 5);
    vde.port = 3260;
    vde.members = 2;
    vde.frontends = 1;
    const std::vector<std::string> head = {
        "transaction_id=9", "uuid=v1", "membership_gen_count=123", "name=disk", "sector_size=0",
        "numkeys=1099511627776", "sectors=18446744073709551615", "seqno=0",
    };
    const std::vector<std::string> tail = {"status=0", "port=3260", "replicas=0", "st_mem=0",
                                           "st_mems=0", "st_size=0", "members=2", "frontends=1"};

    testing::internal::CaptureStderr();
    vde_dump(&vde);
    auto got = lines_of(testing::internal::GetCapturedStderr(), "vde_dump");
    auto want = head;
    want.push_back("snapshot=0");
    want.push_back("description=hello");
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(got, want);

    vde.snapshot = 1;
    std::memset(&vde.description, 0, sizeof vde.description);
    vde.description.snap = SnapInfo{24, 3, 7, 9, 5, 0, {}};
    std::memcpy(vde.description.snap.parent, "parentuuid1234", 14);
    std::memset(vde.description.descr + 21, 'x', 11);  // after the parent field
    testing::internal::CaptureStderr();
    vde_dump(&vde);
    got = lines_of(testing::internal::GetCapturedStderr(), "vde_dump");
    want = head;
    want.push_back("snapshot=1");
    want.push_back("parent=parentuuid1234");
    want.push_back("snaptime=24-03-07_09.05.00");
    want.insert(want.end(), tail.begin(), tail.end());
    EXPECT_EQ(got, want);
}

TEST(Dump, MemberAndFrontend)
{
    MemberEntry mbe{4000000000u};
    FrontendEntry fee{(10u << 24) | 1u};
    FrontendEntry fee2{0xFFFFFFFFu};
    testing::internal::CaptureStderr();
    mbe_dump(&mbe);
    fee_dump(&fee);
    fee_dump(&fee2);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines_of(log, "mbe_dump"), std::vector<std::string>{"node=4000000000"});
    EXPECT_EQ(lines_of(log, "fee_dump"), (std::vector<std::string>{"node=10.0.0.1", "node=255.255.255.255"}));
}

}  // namespace
