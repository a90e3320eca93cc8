#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "object/model.h"
#include "proto/builders.h"
#include "proto/records.h"

namespace {

// A local node at version 1.8 with a header, datastore and statistics, and a
// 64 KiB message buffer prefilled with junk so stale bytes would show.
class BuildersTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(NodeAlloc(node), 0);
        node->hdr.major = 1;
        node->hdr.minor = 8;
        node->hdr.type = 99;  // every builder overwrites it
        node->hdr.uid = 12;
        node->nodeid = 12;
        std::snprintf(node->nodeuuid, sizeof node->nodeuuid, "12");
        std::memcpy(node->hdr.vendor, "acme", 4);
        buf.assign(MSG_BUF_LEN, char(0xAA));
    }

    // Adds a vdisk with `members` member ids 1.. and `frontends` addresses;
    // the entry's counts match the lists.
    VDisk *add_vdisk(const char *uuid, uint16_t snapshot, int members = 0, int frontends = 0)
    {
        std::unique_ptr<VDisk> vd;
        EXPECT_EQ(VDiskAlloc(vd), 0);
        std::memcpy(vd->vde.uuid, uuid, strnlen(uuid, UUID_LEN));
        vd->vde.snapshot = snapshot;
        if (snapshot != 0)
            std::memcpy(vd->vde.description.snap.parent, "base", 4);
        for (int i = 0; i < members; i++) {
            std::unique_ptr<Member> m;
            EXPECT_EQ(MemberAlloc(m), 0);
            m->mbe.node = uint32_t(i + 1);
            vd->members.push_back(std::move(m));
        }
        for (int i = 0; i < frontends; i++) {
            std::unique_ptr<Frontend> f;
            EXPECT_EQ(FrontendAlloc(f), 0);
            f->fee.node = 0x0A000001u + uint32_t(i);  // 10.0.0.1, ...
            vd->frontends.push_back(std::move(f));
        }
        vd->vde.members = uint16_t(members);
        vd->vde.frontends = uint16_t(frontends);
        VDiskInit(*vd, nullptr);
        VDisk *raw = vd.get();
        EXPECT_EQ(VDiskTree_RB_INSERT(node->vdisks, vd), nullptr);
        return raw;
    }

    std::vector<uint8_t> bytes(size_t off, size_t n) const
    {
        return std::vector<uint8_t>(buf.begin() + long(off), buf.begin() + long(off + n));
    }
    // Every byte from `off` to the end of the buffer is zero.
    bool zero_from(size_t off) const
    {
        for (size_t i = off; i < buf.size(); i++)
            if (buf[i] != 0)
                return false;
        return true;
    }
    uint8_t type() const { return uint8_t(buf[2]); }

    std::unique_ptr<Node> node;
    std::vector<char> buf;
    size_t len = 12345;  // sentinel: builders set it only on success
};

using B = std::vector<uint8_t>;

TEST_F(BuildersTest, HeartbeatIsTheHeaderWithItsType)
{
    ASSERT_EQ(build_heartbeat(node.get(), buf.data(), buf.size(), &len), 0);
    EXPECT_EQ(len, 207u);
    EXPECT_EQ(bytes(0, 8), (B{0x01, 0x08, 0x20, 0x00, 0x0C, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bytes(8, 4), (B{'a', 'c', 'm', 'e'}));
    EXPECT_TRUE(zero_from(207));
}

TEST_F(BuildersTest, BackupChannelAddressTravelsInReverseOctets)
{
    node->hdr.nodestatus = 1;
    node->hdr.size = (192u << 24) | (168u << 16) | (1u << 8) | 2u;  // 192.168.1.2
    ASSERT_EQ(build_heartbeat(node.get(), buf.data(), buf.size(), &len), 0);
    EXPECT_EQ(bytes(200, 4), (B{0x02, 0x01, 0xA8, 0xC0}));
    EXPECT_EQ(buf[3], 1);
}

TEST_F(BuildersTest, AuxPingHasGapAndFixedLength)
{
    node->aux.length = 999;
    node->aux.memavail = 0x01020304;
    ASSERT_EQ(build_aux_ping(node.get(), buf.data(), buf.size(), &len), 0);
    EXPECT_EQ(len, 236u);
    EXPECT_EQ(type(), 35);
    EXPECT_EQ(buf[207], 0);
    EXPECT_EQ(bytes(208, 4), (B{0x1C, 0, 0, 0}));
    EXPECT_EQ(bytes(232, 4), (B{0x04, 0x03, 0x02, 0x01}));
    EXPECT_TRUE(zero_from(236));
    EXPECT_EQ(uint32_t(node->aux.length), 999u);  // the node's record is not touched
}

TEST_F(BuildersTest, DsPingCarriesEntryOnlyForNodeInDatastore)
{
    testing::internal::CaptureStderr();
    ASSERT_EQ(build_ds_ping(node.get(), buf.data(), buf.size(), &len), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(len, 207u);
    EXPECT_EQ(type(), 16);
    EXPECT_NE(log.find("debug: build_ds_ping(): APPEND Datastore Ping header 207 bytes\n"),
              std::string::npos);
    EXPECT_EQ(log.find("Datastore Ping entry"), std::string::npos);
    EXPECT_TRUE(zero_from(207));

    std::snprintf(node->dsuuid, sizeof node->dsuuid, "ds1");
    std::memcpy(node->dse.uuid, "ds1", 3);
    node->dse.overcommit = 7;
    testing::internal::CaptureStderr();
    ASSERT_EQ(build_ds_ping(node.get(), buf.data(), buf.size(), &len), 0);
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(len, 294u);
    EXPECT_EQ(bytes(207, 4), (B{'d', 's', '1', 0}));
    EXPECT_EQ(buf[293], 7);
    EXPECT_NE(log.find("debug: build_ds_ping(): APPEND Datastore Ping entry 87 bytes\n"),
              std::string::npos);
}

TEST_F(BuildersTest, PingWithoutVdisksIsTheHeader)
{
    ASSERT_EQ(build_vdisk_ping(node.get(), buf.data(), buf.size(), &len), 0);
    EXPECT_EQ(len, 207u);
    EXPECT_EQ(type(), 4);
    EXPECT_TRUE(zero_from(207));
}

// Plain vdisks first, then snapshots, each run in uuid order; each group is
// entry, members, frontends, and the next entry follows directly.
TEST_F(BuildersTest, PingOrdersPlainThenSnapshotsAndPacksGroups)
{
    add_vdisk("d", 0);
    add_vdisk("c", 1);
    add_vdisk("b", 0, 2, 1);
    add_vdisk("a", 2);
    testing::internal::CaptureStderr();
    ASSERT_EQ(build_vdisk_ping(node.get(), buf.data(), buf.size(), &len), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(len, 207u + 137u + 3 * 125u);

    // b: entry at 207, members 1 and 2 at 332 and 336, frontend 10.0.0.1 at 340.
    EXPECT_EQ(bytes(207 + 4, 2), (B{'b', 0}));
    EXPECT_EQ(bytes(207 + 121, 4), (B{2, 0, 1, 0}));
    EXPECT_EQ(bytes(332, 8), (B{1, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(bytes(340, 4), (B{0x01, 0x00, 0x00, 0x0A}));
    const size_t next[] = {344, 344 + 125, 344 + 250};
    const char want[] = {'d', 'a', 'c'};
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(buf[next[i] + 4], want[i]) << "entry " << i;
    EXPECT_TRUE(zero_from(len));

    const char *lines[] = {
        "build_vdisk_ping(): APPEND VDisk Ping header 207 bytes\n",
        "build_vdisk_ping(): APPEND Plain VDisk entry 125 bytes\n",
        "build_vdisk_ping(): APPEND Plain Member entry 4 bytes\n",
        "build_vdisk_ping(): APPEND Plain Member entry 4 bytes\n",
        "build_vdisk_ping(): APPEND Plain Frontend entry 4 bytes\n",
        "build_vdisk_ping(): APPEND Plain VDisk entry 125 bytes\n",
        "build_vdisk_ping(): APPEND Snapshot VDisk entry 125 bytes\n",
        "build_vdisk_ping(): APPEND Snapshot VDisk entry 125 bytes\n",
    };
    size_t at = 0;
    for (const char *line : lines) {
        at = log.find(std::string("debug: ") + line, at);
        ASSERT_NE(at, std::string::npos) << "missing in order: " << line;
        at++;
    }
}

TEST_F(BuildersTest, GenerationTravelsInBothFields)
{
    VDisk *vd = add_vdisk("g", 0);
    std::memcpy(vd->vde.name.old_mshipgencnt, "07", 2);
    mshipgencnt_set(vd->vde, 7);
    EXPECT_EQ(mshipgencnt_get(vd->vde), 7u);
    ASSERT_EQ(build_vdisk_ping(node.get(), buf.data(), buf.size(), &len), 0);
    EXPECT_EQ(bytes(207 + 18, 2), (B{'0', '7'}));
    EXPECT_EQ(bytes(207 + 48, 2), (B{0x00, 0x07}));

    mshipgencnt_set(vd->vde, 0x1234);
    EXPECT_EQ(mshipgencnt_get(vd->vde), 0x1234u);
    EXPECT_EQ(std::memcmp(&vd->vde.name.mshipgencnt, "\x12\x34", 2), 0);
}

TEST(VersionRule, MshipgencntFromVersionOneEight)
{
    struct {
        uint8_t major, minor;
        bool has;
    } cases[] = {{0, 9, false}, {1, 0, false}, {1, 7, false}, {1, 8, true}, {1, 9, true}, {2, 0, true}};
    for (const auto &c : cases)
        EXPECT_EQ(version_has_mshipgencnt(c.major, c.minor), c.has) << int(c.major) << "." << int(c.minor);
}

TEST_F(BuildersTest, PingCopiesCountsAsLoaded)
{
    VDisk *vd = add_vdisk("x", 0, 1, 0);
    vd->vde.members = 5;
    vd->vde.frontends = 3;
    ASSERT_EQ(build_vdisk_ping(node.get(), buf.data(), buf.size(), &len), 0);
    EXPECT_EQ(len, 207u + 125u + 4u);
    EXPECT_EQ(bytes(207 + 121, 4), (B{5, 0, 3, 0}));
    EXPECT_EQ(unsigned(vd->vde.members), 5u);
}

// The message may end exactly at the buffer's end; a record that would end
// one byte or more beyond it abandons the whole message.
TEST_F(BuildersTest, PingRespectsBufferLimit)
{
    struct Case {
        std::vector<int> members;  // per vdisk, in uuid order
        int frontends_last;        // frontends of the last vdisk
        int result;
        size_t len;
    } cases[] = {
        {{16301}, 0, 0, 65536},         // member ends at 65536
        {{16300}, 1, 0, 65536},         // frontend ends at 65536
        {{16301}, 1, -1, 0},            // frontend would end at 65540
        {{16269, 1}, 0, -1, 0},         // member would end at 65537
        {{16270, 0}, 0, -1, 0},         // entry would end at 65537
        {{16269, 0}, 0, 0, 65533},
    };
    for (const auto &c : cases) {
        VDiskTreeFlush(node->vdisks);
        for (size_t i = 0; i < c.members.size(); i++) {
            bool last = i + 1 == c.members.size();
            add_vdisk(std::string(1, char('a' + i)).c_str(), 0, c.members[i], last ? c.frontends_last : 0);
        }
        len = 12345;
        testing::internal::CaptureStderr();
        int rc = build_vdisk_ping(node.get(), buf.data(), buf.size(), &len);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, c.result) << "members " << c.members[0];
        EXPECT_EQ(len, c.result == 0 ? c.len : 12345u) << "members " << c.members[0];
    }
}

TEST_F(BuildersTest, SingleVdiskPing)
{
    VDisk *vd = add_vdisk("s1", 1, 1, 1);
    testing::internal::CaptureStderr();
    ASSERT_EQ(build_single_vdisk_ping(node.get(), vd, buf.data(), buf.size(), &len), 0);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(len, 207u + 125u + 8u);
    EXPECT_EQ(type(), 33);
    EXPECT_EQ(bytes(207 + 4, 3), (B{'s', '1', 0}));
    EXPECT_EQ(bytes(332, 8), (B{1, 0, 0, 0, 0x01, 0x00, 0x00, 0x0A}));
    EXPECT_TRUE(zero_from(len));
    EXPECT_NE(log.find("debug: build_single_vdisk_ping(): APPEND Single VDisk Ping header 207 bytes\n"),
              std::string::npos);
    EXPECT_NE(log.find("build_single_vdisk_ping(): APPEND Single Snapshot VDisk entry 125 bytes\n"),
              std::string::npos);
    EXPECT_NE(log.find("build_single_vdisk_ping(): APPEND Snapshot Frontend entry 4 bytes\n"),
              std::string::npos);

    // 16301 members end exactly at 65536; one more does not fit.
    VDisk *big = add_vdisk("s2", 0, 16301);
    testing::internal::CaptureStderr();
    EXPECT_EQ(build_single_vdisk_ping(node.get(), big, buf.data(), buf.size(), &len), 0);
    EXPECT_EQ(len, 65536u);
    std::unique_ptr<Member> m;
    ASSERT_EQ(MemberAlloc(m), 0);
    big->members.push_back(std::move(m));
    len = 12345;
    EXPECT_EQ(build_single_vdisk_ping(node.get(), big, buf.data(), buf.size(), &len), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(len, 12345u);
}

TEST_F(BuildersTest, VdiskDeletedUuidWidth)
{
    struct {
        const char *uuid;
        int result;
    } cases[] = {{"ab", 0}, {"abcdefghijklmn", 0}, {"abcdefghijklmno", -1}};
    for (const auto &c : cases) {
        len = 12345;
        buf.assign(MSG_BUF_LEN, char(0xAA));
        testing::internal::CaptureStderr();
        int rc = build_vdisk_deleted(node.get(), c.uuid, buf.data(), buf.size(), &len);
        std::string log = testing::internal::GetCapturedStderr();
        ASSERT_EQ(rc, c.result) << c.uuid;
        EXPECT_NE(log.find("debug: build_vdisk_deleted(): APPEND VDisk Deleted header 207 bytes\n"),
                  std::string::npos);
        if (rc != 0) {
            EXPECT_EQ(len, 12345u);
            EXPECT_EQ(log.find("Deleted entry"), std::string::npos);
            continue;
        }
        EXPECT_EQ(len, 225u);
        EXPECT_EQ(type(), 34);
        EXPECT_EQ(bytes(207, 4), (B{12, 0, 0, 0}));
        std::string field(buf.data() + 211, 14);
        std::string want(c.uuid);
        want.resize(14, '\0');  // zero-padded, no terminator when full
        EXPECT_EQ(field, want);
        EXPECT_TRUE(zero_from(225));
        EXPECT_NE(log.find("debug: build_vdisk_deleted(): APPEND VDisk Deleted entry 18 bytes\n"),
                  std::string::npos);
    }
}

}  // namespace
