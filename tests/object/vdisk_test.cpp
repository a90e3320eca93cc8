// VDisk records: creating a vdisk from a received entry, updating it by
// membership generation with the fence check, and loading it back.
#include <arpa/inet.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "daemon/config.h"
#include "object/model.h"
#include "object/vdisk.h"
#include "proto/records.h"
#include "store_fixture.h"

namespace {

Hdr make_hdr(uint32_t uid, uint8_t major = 1, uint8_t minor = 8)
{
    Hdr h{};
    h.major = major;
    h.minor = minor;
    h.type = MSG_PING;
    h.uid = uid;
    return h;
}

// A received vdisk entry as the receive path builds it: a plain vdisk, or a
// snapshot of `parent`.  The counts and the two generation digits match the
// lists and the generation, so a load of what was stored gives back the very
// same entry.
std::unique_ptr<VDisk> make_vdisk(const char *uuid, uint16_t gen, const std::vector<uint32_t> &members,
                                  const std::vector<const char *> &frontends,
                                  const char *parent = nullptr)
{
    std::unique_ptr<VDisk> v;
    EXPECT_EQ(VDiskAlloc(v), 0);
    VDiskEntry &e = v->vde;
    set_field(e.uuid, uuid);
    set_field(e.name.name, (std::string("disk-") + uuid).c_str());
    mshipgencnt_set(e, gen);
    e.name.old_mshipgencnt[0] = char('0' + gen % 100 / 10);
    e.name.old_mshipgencnt[1] = char('0' + gen % 10);
    e.sector_size = 512;
    e.numkeys = 11;
    e.sectors = 2048;
    e.seqno = 22;
    e.status = 1;
    e.port = 3260;
    e.replicas = 2;
    e.st_mem = 5;
    e.st_mems = 3;
    e.st_size = 4;
    if (parent != nullptr) {
        e.snapshot = 1;
        SnapInfo &s = e.description.snap;
        s.y = 15, s.m = 3, s.d = 5, s.H = 7, s.M = 8, s.S = 9;
        set_field(s.parent, parent);
    } else {
        set_field(e.description.descr, "plain disk");
    }
    e.members = uint16_t(members.size());
    e.frontends = uint16_t(frontends.size());
    VDiskInit(*v, nullptr);
    for (uint32_t id : members) {
        std::unique_ptr<Member> m;
        EXPECT_EQ(MemberAlloc(m), 0);
        m->mbe.node = id;
        MemberInit(*m, nullptr);
        v->members.push_back(std::move(m));
    }
    for (const char *ip : frontends) {
        std::unique_ptr<Frontend> f;
        EXPECT_EQ(FrontendAlloc(f), 0);
        struct in_addr a;
        EXPECT_EQ(inet_pton(AF_INET, ip, &a), 1);
        f->fee.node = ntohl(a.s_addr);
        std::snprintf(f->ipaddr, sizeof f->ipaddr, "%s", ip);
        v->frontends.push_back(std::move(f));
    }
    return v;
}

std::vector<std::string> lines_of(const std::optional<std::string> &text)
{
    std::vector<std::string> out;
    if (!text)
        return out;
    size_t start = 0;
    for (size_t nl; (nl = text->find('\n', start)) != std::string::npos; start = nl + 1)
        out.push_back(text->substr(start, nl - start));
    return out;
}

class VDiskStoreTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        fence_log_ = base() + "/fence.log";
        fence_env_ = base() + "/fence.env";
        write_fence("");
    }

    // The fence-check program: records its arguments (one line per run) and
    // its environment; `extra` runs first.
    void write_fence(const std::string &extra)
    {
        const std::string prog = base() + "/fence.sh";
        write_file(prog, "#!/bin/sh\n" + extra + "echo \"$@\" >> " + fence_log_ +
                             "\n/usr/bin/env >> " + fence_env_ + "\n");
        ASSERT_EQ(chmod(prog.c_str(), 0755), 0);
        cfg_fence_check = prog;
    }
    std::vector<std::string> fence_runs() const { return lines_of(file_content(fence_log_)); }
    std::vector<std::string> fence_env() const { return lines_of(file_content(fence_env_)); }

    // Node/{id}/vdisks and the node's datastoremember: empty (no datastore)
    // or ds, with Datastore/{ds}/vdisks.
    void make_node(uint32_t id, const char *ds = nullptr)
    {
        const std::string node = at("Node/" + std::to_string(id));
        std::filesystem::create_directories(node + "/vdisks");
        write_file(node + "/datastoremember", ds != nullptr ? std::string(ds) + "\n" : "");
        if (ds != nullptr)
            std::filesystem::create_directories(at(std::string("Datastore/") + ds + "/vdisks"));
    }

    int apply(uint32_t uid, VDisk &v, uint8_t major = 1, uint8_t minor = 8)
    {
        Hdr h = make_hdr(uid, major, minor);
        return VDiskCreate(&h, &v);
    }

    std::string file(const std::string &rel) const { return file_content(at(rel)).value_or("<none>"); }

    // Path -> content (or link target) of everything below dir.
    std::map<std::string, std::string> snapshot_of(const std::string &dir) const
    {
        std::map<std::string, std::string> m;
        for (const std::string &e : list_tree(dir))
            m[e] = e.back() == '/' || e.find(" -> ") != std::string::npos
                       ? ""
                       : file_content(dir + "/" + e).value_or("<unreadable>");
        return m;
    }

    std::string fence_log_;
    std::string fence_env_;
};

TEST_F(VDiskStoreTest, CreatesPlainVDiskWithMemberDataAndLinks)
{
    make_node(5, "D1");
    make_node(6, "D1");
    auto v = make_vdisk("vdplain", 3, {5, 6}, {"10.0.0.1", "10.0.0.2"});
    ASSERT_EQ(apply(5, *v), 0);

    const std::vector<std::string> expected = {
        "datastore -> ../../Datastore/D1",
        "description",
        "highest_gen_count",
        "memberinfo/",
        "memberinfo/5/",
        "memberinfo/5/frontend",
        "memberinfo/5/membership_gen_count",
        "memberinfo/5/nodestatus -> ../../../../Node/5/status",
        "memberinfo/5/numkeys",
        "memberinfo/5/port",
        "memberinfo/5/seqno",
        "memberinfo/5/snap_limit",
        "memberinfo/5/st_mem",
        "memberinfo/5/status",
        "membership",
        "name",
        "replicas",
        "sector_size",
        "sectors",
        "snapshot",
        "snapshots/",
        "st_mems",
        "st_size",
        "uuid",
    };
    EXPECT_EQ(list_tree(at("VDisk/vdplain")), expected);

    const std::pair<const char *, const char *> files[] = {
        {"uuid", "vdplain\n"},
        {"name", "disk-vdplain\n"},
        {"sector_size", "512\n"},
        {"sectors", "2048\n"},
        {"replicas", "2\n"},
        {"st_mems", "3\n"},
        {"st_size", "4\n"},
        {"snapshot", "0\n"},
        {"description", "plain disk\n"},
        {"highest_gen_count", "3\n"},
        {"membership", "5\n6\n"},
        {"memberinfo/5/membership_gen_count", "3\n"},
        {"memberinfo/5/numkeys", "11\n"},
        {"memberinfo/5/seqno", "22\n"},
        {"memberinfo/5/status", "1\n"},
        {"memberinfo/5/port", "3260\n"},
        {"memberinfo/5/st_mem", "5\n"},
        {"memberinfo/5/snap_limit", "10\n"},
        {"memberinfo/5/frontend", "10.0.0.1\n10.0.0.2\n"},
    };
    for (const auto &[key, value] : files)
        EXPECT_EQ(file(std::string("VDisk/vdplain/") + key), value) << key;

    EXPECT_EQ(link_target(at("Node/5/vdisks/vdplain")), "../../../VDisk/vdplain");
    EXPECT_EQ(link_target(at("Datastore/D1/vdisks/vdplain")), "../../../VDisk/vdplain");
    EXPECT_TRUE(list_dir(at("Node/6/vdisks")).empty());
    EXPECT_TRUE(fence_runs().empty());
}

TEST_F(VDiskStoreTest, CreatesSnapshotWithParentAndSnaptimeInsteadOfDescription)
{
    make_node(5);
    auto v = make_vdisk("vdsnap", 2, {5}, {"10.0.0.9"}, "vdbase");
    ASSERT_EQ(apply(5, *v), 0);

    const std::vector<std::string> expected = {
        "highest_gen_count",
        "memberinfo/",
        "memberinfo/5/",
        "memberinfo/5/frontend",
        "memberinfo/5/membership_gen_count",
        "memberinfo/5/nodestatus -> ../../../../Node/5/status",
        "memberinfo/5/numkeys",
        "memberinfo/5/port",
        "memberinfo/5/seqno",
        "memberinfo/5/st_mem",
        "memberinfo/5/status",
        "membership",
        "name",
        "parent",
        "replicas",
        "sector_size",
        "sectors",
        "snapshot",
        "snaptime",
        "st_mems",
        "st_size",
        "uuid",
    };
    EXPECT_EQ(list_tree(at("VDisk/vdsnap")), expected);
    EXPECT_EQ(file("VDisk/vdsnap/parent"), "vdbase\n");
    EXPECT_EQ(file("VDisk/vdsnap/snaptime"), "15-03-05_07.08.09\n");
    EXPECT_EQ(file("VDisk/vdsnap/snapshot"), "1\n");
    // The node has no datastore: node link, no datastore link.
    EXPECT_EQ(link_target(at("Node/5/vdisks/vdsnap")), "../../../VDisk/vdsnap");
}

TEST_F(VDiskStoreTest, CreateFromSenderOutsideMemberListMakesNoMemberDirectory)
{
    make_node(5, "D2");
    auto v = make_vdisk("vdother", 1, {6, 7}, {"10.0.0.1"});
    ASSERT_EQ(apply(5, *v), 0);

    EXPECT_EQ(file("VDisk/vdother/membership"), "6\n7\n");
    EXPECT_EQ(file("VDisk/vdother/highest_gen_count"), "1\n");
    EXPECT_TRUE(list_dir(at("VDisk/vdother/memberinfo")).empty());
    EXPECT_FALSE(exists(at("VDisk/vdother/datastore")));
    EXPECT_TRUE(list_dir(at("Node/5/vdisks")).empty());
    EXPECT_TRUE(list_dir(at("Datastore/D2/vdisks")).empty());
}

TEST_F(VDiskStoreTest, MemberWithoutFrontendsGetsFilesButNoLinks)
{
    make_node(5, "D3");
    auto v = make_vdisk("vdnofe", 1, {5}, {});
    ASSERT_EQ(apply(5, *v), 0);

    const std::vector<std::string> member = {"membership_gen_count", "numkeys", "port",
                                             "seqno", "snap_limit", "st_mem", "status"};
    EXPECT_EQ(list_dir(at("VDisk/vdnofe/memberinfo/5")), member);
    EXPECT_FALSE(exists(at("VDisk/vdnofe/datastore")));
    EXPECT_TRUE(list_dir(at("Node/5/vdisks")).empty());
    EXPECT_TRUE(list_dir(at("Datastore/D3/vdisks")).empty());
}

// One vdisk per row, created at generation 5 by members 5, 6 and 7 (each
// with its member directory); then node 5 sends generation `gen` with new
// member data, new sectors and member 7 gone.
TEST_F(VDiskStoreTest, AppliesEntriesByGeneration)
{
    struct Row {
        const char *uuid;
        uint16_t gen;
        bool refreshed;  // member files, sectors and membership rewritten
        const char *highest;
        bool fence;
    };
    const Row rows[] = {
        {"vdlower", 4, false, "5\n", false},
        {"vdequal", 5, true, "5\n", false},
        {"vdhigher", 6, true, "6\n", true},
    };
    for (uint32_t id : {5u, 6u, 7u})
        make_node(id);
    setenv("MARLO_TEST_LEAK", "1", 1);

    for (const Row &row : rows) {
        SCOPED_TRACE(row.uuid);
        const std::string vd = std::string("VDisk/") + row.uuid;
        for (uint32_t id : {5u, 6u, 7u}) {
            auto v = make_vdisk(row.uuid, 5, {5, 6, 7}, {"10.0.0.1"});
            ASSERT_EQ(apply(id, *v), 0);
        }
        ASSERT_EQ(list_dir(at(vd + "/memberinfo")), (std::vector<std::string>{"5", "6", "7"}));
        ASSERT_TRUE(fence_runs().empty());

        auto v = make_vdisk(row.uuid, row.gen, {5, 6}, {"10.0.0.1"});
        v->vde.seqno = 99;
        v->vde.numkeys = 77;
        v->vde.sectors = 4096;
        ASSERT_EQ(apply(5, *v), 0);

        EXPECT_EQ(file(vd + "/memberinfo/5/seqno"), "99\n");
        EXPECT_EQ(file(vd + "/memberinfo/5/numkeys"), row.refreshed ? "77\n" : "11\n");
        EXPECT_EQ(file(vd + "/sectors"), row.refreshed ? "4096\n" : "2048\n");
        EXPECT_EQ(file(vd + "/membership"), row.refreshed ? "5\n6\n" : "5\n6\n7\n");
        EXPECT_EQ(exists(at(vd + "/memberinfo/7")), !row.refreshed);
        EXPECT_EQ(exists(at(std::string("Node/7/vdisks/") + row.uuid)), !row.refreshed);
        EXPECT_TRUE(exists(at(vd + "/memberinfo/6")));
        EXPECT_EQ(file(vd + "/highest_gen_count"), row.highest);

        const std::vector<std::string> runs = fence_runs();
        if (row.fence) {
            ASSERT_EQ(runs.size(), 1u);
            EXPECT_EQ(runs[0], std::string("uuid=") + row.uuid + " member=5");
            // An empty environment: only what the shell sets itself.
            ASSERT_FALSE(fence_env().empty());
            for (const std::string &line : fence_env())
                EXPECT_EQ(line.rfind("PWD=", 0), 0u) << line;
        } else {
            EXPECT_TRUE(runs.empty());
        }
        std::remove(fence_log_.c_str());
        std::remove(fence_env_.c_str());
    }
    unsetenv("MARLO_TEST_LEAK");
}

// What a failed write or a create cut short leaves is written anew by the
// next entry, exactly as a clean create of that entry would have it.
TEST_F(VDiskStoreTest, DamagedVDiskIsRebuiltByTheNextEntry)
{
    struct Row {
        const char *name;
        std::function<void(const std::string &vd)> damage;
    };
    const Row rows[] = {
        {"no memberinfo", [](const std::string &vd) { std::filesystem::remove_all(vd + "/memberinfo"); }},
        {"empty generation", [](const std::string &vd) { write_file(vd + "/highest_gen_count", ""); }},
        {"create cut short",
         [](const std::string &vd) {
             for (const char *f : {"highest_gen_count", "membership", "description", "snapshot"})
                 std::filesystem::remove(vd + "/" + f);
             std::filesystem::remove_all(vd + "/memberinfo/5");
         }},
        {"name gone", [](const std::string &vd) { std::filesystem::remove(vd + "/name"); }},
        {"replicas malformed", [](const std::string &vd) { write_file(vd + "/replicas", "x\n"); }},
        // A link at an attribute's name is replaced; its target stays as it was.
        {"link at the generation",
         [](const std::string &vd) {
             write_file(vd + "/../../outside", "2\n");
             std::filesystem::remove(vd + "/highest_gen_count");
             std::filesystem::create_symlink("../../outside", vd + "/highest_gen_count");
         }},
    };
    make_node(5, "D1");
    auto clean = make_vdisk("vdclean", 3, {5}, {"10.0.0.1"});
    ASSERT_EQ(apply(5, *clean), 0);
    const auto want = snapshot_of(at("VDisk/vdclean"));

    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::filesystem::remove_all(at("VDisk/vdclean"));
        auto first = make_vdisk("vdclean", 3, {5}, {"10.0.0.1"});
        ASSERT_EQ(apply(5, *first), 0);
        row.damage(at("VDisk/vdclean"));
        // The evidence that makes the daemon doubt a vdisk: its load fails.
        std::unique_ptr<VDisk> load;
        ASSERT_EQ(VDiskAlloc(load), 0);
        std::strcpy(load->vdiskuuid, "vdclean");
        VDiskLoad(nullptr, load.get());
        auto next = make_vdisk("vdclean", 3, {5}, {"10.0.0.1"});
        capture_log();
        EXPECT_EQ(apply(5, *next), 0);
        const std::string log = captured_log();
        EXPECT_NE(log.find("notice: "), std::string::npos) << log;
        EXPECT_EQ(snapshot_of(at("VDisk/vdclean")), want);
    }
    EXPECT_EQ(file("outside"), "2\n");
}

// A generation that cannot be read fails the entry; a damaged one is rebuilt
// from the members and never lowered; member 7 is only dropped by an entry
// at or above the generation the store shows.  Members 5, 6, 7 at 5; node 5
// sends `gen` listing 5 and 6.
TEST_F(VDiskStoreTest, DamagedGenerationIsNeverLowered)
{
    struct Row {
        const char *uuid;
        bool directory;  // a directory at highest_gen_count, else an empty file
        uint16_t gen;
        int result;
        const char *highest;
        bool keeps7;
        size_t fence;  // a rebuilt generation owes its members' check
    };
    const Row rows[] = {
        {"vdunread", true, 6, -1, nullptr, true, 0},
        {"vddelayed", false, 4, 0, "5\n", true, 1},
        {"vdequal2", false, 5, 0, "5\n", false, 1},
        {"vdrise", false, 6, 0, "6\n", false, 1},
    };
    for (uint32_t id : {5u, 6u, 7u})
        make_node(id);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.uuid);
        const std::string vd = std::string("VDisk/") + row.uuid;
        for (uint32_t id : {5u, 6u, 7u})
            ASSERT_EQ(apply(id, *make_vdisk(row.uuid, 5, {5, 6, 7}, {"10.0.0.1"})), 0);
        std::filesystem::remove(at(vd + "/highest_gen_count"));
        if (row.directory)
            std::filesystem::create_directory(at(vd + "/highest_gen_count"));
        else
            write_file(at(vd + "/highest_gen_count"), "");
        EXPECT_EQ(apply(5, *make_vdisk(row.uuid, row.gen, {5, 6}, {"10.0.0.1"})), row.result);
        if (row.highest != nullptr) {
            EXPECT_EQ(file(vd + "/highest_gen_count"), row.highest);
        }
        EXPECT_EQ(exists(at(vd + "/memberinfo/7")), row.keeps7);
        EXPECT_EQ(exists(at(std::string("Node/7/vdisks/") + row.uuid)), row.keeps7);
        EXPECT_EQ(fence_runs().size(), row.fence);
        std::remove(fence_log_.c_str());
    }
}

// Updates that would leave the store contradicting itself.
TEST_F(VDiskStoreTest, UpdatesLeaveNoStaleMemberData)
{
    make_node(5);
    auto v = make_vdisk("vdfe", 1, {5}, {"10.0.0.1"});
    ASSERT_EQ(apply(5, *v), 0);
    const auto before = snapshot_of(at("VDisk/vdfe"));

    // No members: refused, nothing changes.
    auto none = make_vdisk("vdfe", 2, {}, {"10.0.0.1"});
    capture_log();
    EXPECT_EQ(apply(5, *none), -1);
    EXPECT_NE(captured_log().find("Refusing VDisk vdfe update without members"), std::string::npos);
    EXPECT_EQ(snapshot_of(at("VDisk/vdfe")), before);

    // Frontends down to none: the file that listed them goes.
    auto nofe = make_vdisk("vdfe", 1, {5}, {});
    EXPECT_EQ(apply(5, *nofe), 0);
    EXPECT_FALSE(exists(at("VDisk/vdfe/memberinfo/5/frontend")));
}

TEST_F(VDiskStoreTest, UpdateFromNonMemberCreatesItsMemberDirectory)
{
    make_node(5);
    make_node(8);
    auto v = make_vdisk("vdjoin", 1, {5}, {"10.0.0.1"});
    ASSERT_EQ(apply(5, *v), 0);
    auto w = make_vdisk("vdjoin", 1, {5}, {"10.0.0.1"});
    ASSERT_EQ(apply(8, *w), 0);
    EXPECT_EQ(list_dir(at("VDisk/vdjoin/memberinfo")), (std::vector<std::string>{"5", "8"}));
    EXPECT_EQ(link_target(at("Node/8/vdisks/vdjoin")), "../../../VDisk/vdjoin");
}

TEST_F(VDiskStoreTest, EntryInsideTransactionOnlyRefreshesExistingSeqno)
{
    make_node(5);
    make_node(6);

    auto unknown = make_vdisk("vdtxnew", 1, {5}, {"10.0.0.1"});
    unknown->vde.transaction_id = 7;
    ASSERT_EQ(apply(5, *unknown), 0);
    EXPECT_FALSE(exists(at("VDisk/vdtxnew")));

    auto v = make_vdisk("vdtx", 5, {5, 6}, {"10.0.0.1"});
    ASSERT_EQ(apply(5, *v), 0);
    const auto before = snapshot_of(at("VDisk/vdtx"));

    for (uint32_t sender : {5u, 6u}) {
        auto t = make_vdisk("vdtx", 9, {5}, {"10.0.0.2"});
        t->vde.transaction_id = 7;
        t->vde.seqno = 99;
        t->vde.sectors = 1;
        ASSERT_EQ(apply(sender, *t), 0);
    }
    auto after = snapshot_of(at("VDisk/vdtx"));
    EXPECT_EQ(after["memberinfo/5/seqno"], "99\n");
    after["memberinfo/5/seqno"] = before.at("memberinfo/5/seqno");
    EXPECT_EQ(after, before);  // no memberinfo/6, nothing else changed
    EXPECT_TRUE(fence_runs().empty());
}

TEST_F(VDiskStoreTest, GenerationOfOldSendersComesFromTheTwoDigits)
{
    struct Row {
        const char *uuid;
        uint8_t major, minor;
        const char *digits;
        uint16_t field;
        const char *highest;
    };
    const Row rows[] = {
        {"vdv17", 1, 7, "07", 0x1234, "7\n"},
        {"vdv09", 0, 9, "42", 0, "42\n"},
        {"vdv18", 1, 8, "07", 12, "12\n"},
        {"vdv20", 2, 0, "99", 300, "300\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.uuid);
        auto v = make_vdisk(row.uuid, row.field, {9}, {});
        v->vde.name.old_mshipgencnt[0] = row.digits[0];
        v->vde.name.old_mshipgencnt[1] = row.digits[1];
        ASSERT_EQ(apply(5, *v, row.major, row.minor), 0);
        EXPECT_EQ(file(std::string("VDisk/") + row.uuid + "/highest_gen_count"), row.highest);
    }
}

TEST_F(VDiskStoreTest, LoadGivesBackTheStoredEntry)
{
    make_node(5, "D4");
    make_node(6);
    for (const char *parent : {static_cast<const char *>(nullptr), "vdparent"}) {
        const char *uuid = parent != nullptr ? "vdloadsnap" : "vdloadplain";
        SCOPED_TRACE(uuid);
        auto sent = make_vdisk(uuid, 300, {5, 6}, {"10.0.0.1", "192.168.1.20"}, parent);
        ASSERT_EQ(apply(5, *sent), 0);

        std::unique_ptr<Node> node;
        ASSERT_EQ(NodeAlloc(node), 0);
        node->nodeid = 5;
        std::snprintf(node->nodeuuid, sizeof node->nodeuuid, "5");
        node->hdr = make_hdr(5);
        std::unique_ptr<VDisk> v;
        ASSERT_EQ(VDiskAlloc(v), 0);
        std::snprintf(v->vdiskuuid, sizeof v->vdiskuuid, "%s", uuid);
        ASSERT_EQ(VDiskLoad(node.get(), v.get()), 0);

        EXPECT_EQ(std::memcmp(&v->vde, &sent->vde, sizeof v->vde), 0);
        EXPECT_STREQ(v->parentuuid, parent != nullptr ? parent : "");
        ASSERT_EQ(v->members_count, 2);
        ASSERT_EQ(v->members.size(), 2u);
        EXPECT_EQ(uint32_t(v->members[0]->mbe.node), 5u);
        EXPECT_STREQ(v->members[1]->uuid, "6");
        ASSERT_EQ(v->frontends_count, 2);
        ASSERT_EQ(v->frontends.size(), 2u);
        EXPECT_EQ(uint32_t(v->frontends[0]->fee.node), 0x0A000001u);
        EXPECT_EQ(uint32_t(v->frontends[1]->fee.node), 0xC0A80114u);
        EXPECT_STREQ(v->frontends[1]->ipaddr, "192.168.1.20");

        // Without a node only the vdisk-level files are read.
        std::filesystem::remove_all(at(std::string("VDisk/") + uuid + "/memberinfo"));
        std::unique_ptr<VDisk> bare;
        ASSERT_EQ(VDiskAlloc(bare), 0);
        std::snprintf(bare->vdiskuuid, sizeof bare->vdiskuuid, "%s", uuid);
        ASSERT_EQ(VDiskLoad(nullptr, bare.get()), 0);
        EXPECT_EQ(uint16_t(bare->vde.snapshot), uint16_t(sent->vde.snapshot));
        EXPECT_EQ(uint64_t(bare->vde.sectors), 2048u);
        EXPECT_STREQ(bare->parentuuid, parent != nullptr ? parent : "");
        EXPECT_TRUE(bare->members.empty());
    }
}

class VDiskLoadTest : public VDiskStoreTest {
protected:
    void SetUp() override
    {
        VDiskStoreTest::SetUp();
        make_node(5);
        auto v = make_vdisk("vdl", 3, {5}, {"10.0.0.1"});
        ASSERT_EQ(apply(5, *v), 0);
    }

    int load(uint8_t major, uint8_t minor, std::unique_ptr<VDisk> &v)
    {
        std::unique_ptr<Node> node;
        EXPECT_EQ(NodeAlloc(node), 0);
        node->nodeid = 5;
        std::snprintf(node->nodeuuid, sizeof node->nodeuuid, "5");
        node->hdr = make_hdr(5, major, minor);
        EXPECT_EQ(VDiskAlloc(v), 0);
        std::snprintf(v->vdiskuuid, sizeof v->vdiskuuid, "vdl");
        return VDiskLoad(node.get(), v.get());
    }
};

TEST_F(VDiskLoadTest, GenerationFieldsFollowTheNodeVersion)
{
    struct Row {
        uint8_t major, minor;
        uint16_t field;
    };
    const Row rows[] = {{1, 7, 0}, {0, 20, 0}, {1, 8, 123}, {2, 0, 123}};
    write_file(at("VDisk/vdl/memberinfo/5/membership_gen_count"), "123\n");
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << int(row.major) << "." << int(row.minor));
        std::unique_ptr<VDisk> v;
        ASSERT_EQ(load(row.major, row.minor, v), 0);
        EXPECT_EQ(std::string(v->vde.name.old_mshipgencnt, 2), "23");
        EXPECT_EQ(uint16_t(v->vde.name.mshipgencnt), htons(row.field));
    }
}

TEST_F(VDiskLoadTest, FrontendFileMustHoldCanonicalAddressLines)
{
    struct Row {
        const char *name;
        const char *content;  // nullptr: no file
        int result;
        std::vector<uint32_t> addrs;
        const char *error;
    };
    const Row rows[] = {
        {"two lines", "10.0.0.1\n10.0.0.2\n", 0, {0x0A000001, 0x0A000002}, nullptr},
        {"empty", "", 0, {}, nullptr},
        {"missing: no frontends", nullptr, 0, {}, nullptr},
        {"unterminated", "10.0.0.1\n10.0.0.2", -1, {}, "Malformed file "},
        {"leading zero", "10.0.0.1\n010.0.0.1\n", -1, {}, "FrontendsLoad(): "},
        {"empty line", "10.0.0.1\n\n", -1, {}, "inet_pton()"},
        {"not an address", "frontend\n", -1, {}, "inet_pton(frontend): 0"},
    };
    const std::string path = at("VDisk/vdl/memberinfo/5/frontend");
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.content != nullptr)
            write_file(path, row.content);
        else
            std::remove(path.c_str());
        std::unique_ptr<VDisk> v;
        capture_log();
        const int r = load(1, 8, v);
        const std::string log = captured_log();
        EXPECT_EQ(r, row.result);
        EXPECT_EQ(v->frontends.size(), row.addrs.size());
        for (size_t i = 0; i < row.addrs.size() && i < v->frontends.size(); i++)
            EXPECT_EQ(uint32_t(v->frontends[i]->fee.node), row.addrs[i]);
        if (row.result == 0) {
            EXPECT_EQ(uint16_t(v->vde.frontends), row.addrs.size());
        }
        if (row.error != nullptr) {
            EXPECT_NE(log.find(row.error), std::string::npos) << log;
        }
    }
    // The malformed-file line names the member's file.
    write_file(path, "10.0.0.1");
    std::unique_ptr<VDisk> v;
    capture_log();
    EXPECT_EQ(load(1, 8, v), -1);
    EXPECT_NE(captured_log().find("error: FrontendsLoad(): Malformed file " + work() +
                                  "/VDisk/vdl/memberinfo/5/frontend"),
              std::string::npos);
}

TEST_F(VDiskStoreTest, RefusedNamesLeaveEverythingUntouched)
{
    make_node(5);
    auto base_v = make_vdisk("vdok", 1, {5}, {"10.0.0.1"});
    ASSERT_EQ(apply(5, *base_v), 0);
    write_file(base() + "/x", "outside\n");
    const auto before = snapshot_of(base());

    auto dots = make_vdisk("..", 1, {5}, {"10.0.0.1"});
    capture_log();
    EXPECT_EQ(apply(5, *dots), -1);
    EXPECT_NE(captured_log().find("Refusing vdisk name `..'"), std::string::npos);

    auto climber = make_vdisk("vdclimb", 1, {5}, {"10.0.0.1"}, "../../x");
    capture_log();
    EXPECT_EQ(apply(5, *climber), -1);
    EXPECT_NE(captured_log().find("Refusing parent name `../../x'"), std::string::npos);

    std::unique_ptr<VDisk> load_dots;
    ASSERT_EQ(VDiskAlloc(load_dots), 0);
    std::snprintf(load_dots->vdiskuuid, sizeof load_dots->vdiskuuid, "..");
    EXPECT_EQ(VDiskLoad(nullptr, load_dots.get()), -1);
    EXPECT_EQ(VDiskLock(load_dots.get()), -1);
    EXPECT_EQ(snapshot_of(base()), before);

    // A snapshot whose stored parent would lead out of the store.
    auto snap = make_vdisk("vdsnapbad", 1, {5}, {}, "vdok");
    ASSERT_EQ(apply(5, *snap), 0);
    for (const char *parent : {"../../x", ""}) {
        write_file(at("VDisk/vdsnapbad/parent"), std::string(parent) + (*parent ? "\n" : ""));
        std::unique_ptr<VDisk> v;
        ASSERT_EQ(VDiskAlloc(v), 0);
        std::snprintf(v->vdiskuuid, sizeof v->vdiskuuid, "vdsnapbad");
        capture_log();
        EXPECT_EQ(VDiskLoad(nullptr, v.get()), -1) << parent;
        EXPECT_NE(captured_log().find("Refusing parent name"), std::string::npos);
    }
}

TEST_F(VDiskStoreTest, OverlongWorkDirectoryIsRefusedWithAMessage)
{
    const std::string longwork = base() + "/" + std::string(240 - base().size(), 'w');
    ASSERT_TRUE(std::filesystem::create_directory(longwork));
    cfg_work_directory = longwork;

    auto v = make_vdisk("vdlong1234", 1, {5}, {});
    capture_log();
    EXPECT_EQ(apply(5, *v), -1);
    EXPECT_NE(captured_log().find("error: VDiskCreate(): Path too long: " + longwork +
                                  "/VDisk/vdlong1234"),
              std::string::npos);
    EXPECT_TRUE(list_dir(longwork).empty());

    std::unique_ptr<VDisk> l;
    ASSERT_EQ(VDiskAlloc(l), 0);
    std::snprintf(l->vdiskuuid, sizeof l->vdiskuuid, "vdlong1234");
    capture_log();
    EXPECT_EQ(VDiskLoad(nullptr, l.get()), -1);
    EXPECT_NE(captured_log().find("error: VDiskLoad(): Path too long: "), std::string::npos);
}

// SIGHUP and SIGUSR1 interrupt system calls in the daemon; a fence check
// that is interrupted still waits for its program.
volatile sig_atomic_t signals_seen = 0;
void count_signal(int) { signals_seen = signals_seen + 1; }

TEST_F(VDiskStoreTest, FenceCheckWaitsThroughInterruptingSignals)
{
    struct sigaction sa{}, old{};
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    write_fence("kill -USR1 $PPID\nkill -USR1 $PPID\n");

    auto v = make_vdisk("vdsig", 1, {}, {});
    signals_seen = 0;
    EXPECT_EQ(FenceCheck(v.get(), "42"), 0);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_GE(signals_seen, 1);

    EXPECT_EQ(fence_runs(), std::vector<std::string>{"uuid=vdsig member=42"});
    // The program was reaped: no child is left.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace

namespace {

// Each line of the program's output reaches the log, and after "Return" an
// exit status other than 0 or a signal; none of it changes the result.  A
// process it leaves running with the pipes open does not hold the wait.
TEST_F(VDiskStoreTest, FenceCheckLogsOutputAndExitStatus)
{
    const std::string sleeper = base() + "/sleeper.pid";
    const std::string p = "FenceCheck(): " + base() + "/fence.sh uuid=vdout member=42 ";
    const std::string x1023(1023, 'x'), x977(977, 'x');
    const std::map<std::string, std::vector<std::string>> cases = {
        {"echo one; echo two >&2; exit 3\n",
         {"info: " + p + "stdout: one", "warn: " + p + "stderr: two", "Return ",
          "notice: " + p + "exited with status 3"}},
        {"printf 'a\\n\\nlast'\n", {p + "stdout: a\n", p + "stdout: \n", p + "stdout: last\n"}},
        {"head -c 2000 /dev/zero | tr '\\0' x\n", {p + "stdout: " + x1023 + "\n", p + "stdout: " + x977 + "\n"}},
        {"kill -TERM $$\n", {"Return ", "notice: " + p + "killed by signal 15 (Terminated)"}},
        {"sleep 600 & echo $! > " + sleeper + "\n", {"Return "}},
    };
    for (const auto &[extra, lines] : cases) {
        write_fence(extra);
        auto v = make_vdisk("vdout", 1, {}, {});
        capture_log();
        const int64_t runs = fence_check_runs, failures = fence_check_failures;
        EXPECT_EQ(FenceCheck(v.get(), "42"), 0) << extra;
        const std::string log = captured_log();
        EXPECT_EQ(fence_check_runs - runs, 1);  // a failure is a run that logged a notice
        EXPECT_EQ(fence_check_failures - failures, count_of(log, "notice: ")) << log;
        size_t at = 0;  // the lines of one stream, and Return before the notice, in order
        for (const std::string &line : lines) {
            const size_t found = log.find(line, line.rfind("warn", 0) == 0 ? 0 : at);
            ASSERT_NE(found, std::string::npos) << extra << "no " << line << " in:\n" << log;
            at = line.rfind("warn", 0) == 0 ? at : found;
        }
        EXPECT_EQ(count_of(log, "notice: "), int(lines.back().rfind("notice", 0) == 0)) << log;
    }
    // The background process outlived the wait, and is ended here.
    const pid_t pid = std::stoi(file_content(sleeper).value_or("0"));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, SIGKILL), 0);
}

}  // namespace

namespace {

// The daemon ignores SIGPIPE; the fence-check program must not inherit that.
TEST_F(VDiskStoreTest, FenceCheckProgramStartsWithDefaultSigpipe)
{
    struct sigaction ign{}, old{};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    ASSERT_EQ(sigaction(SIGPIPE, &ign, &old), 0);
    const std::string status = base() + "/fence.sigign";
    write_fence("grep SigIgn /proc/$$/status > " + status + "\n");

    auto v = make_vdisk("vdpipe", 1, {}, {});
    EXPECT_EQ(FenceCheck(v.get(), "42"), 0);
    sigaction(SIGPIPE, &old, nullptr);

    const std::string line = file_content(status).value_or("");  // "SigIgn:\t<hex mask>\n"
    ASSERT_EQ(line.rfind("SigIgn:", 0), 0u) << line;
    const unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
    EXPECT_EQ(ignored & (1ULL << (SIGPIPE - 1)), 0u) << line;
}

}  // namespace
