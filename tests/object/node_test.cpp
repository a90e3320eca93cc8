// Node records: Node/{nodeid}/ written from pings and loaded back.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "object/model.h"
#include "object/node.h"
#include "store_fixture.h"

namespace {

// A ping header with every field set; text fields are cut at their first NUL
// or run to full width.
Hdr ping_hdr(uint32_t uid, uint8_t type = MSG_PING)
{
    Hdr h{};
    h.major = 1;
    h.minor = 8;
    h.type = type;
    h.nodestatus = 3;
    h.uid = uid;
    set_field(h.vendor, "VENDOR-FILLS-ALL-THIRTY-TWO-BYTE");  // 32, no NUL
    set_field(h.model, "M-1");
    h.revision.freespace = 4000000000u;
    h.revision.utilization = 77;
    set_field(h.revision.rev, "rev-2.4.1");
    set_field(h.serial, "SER123");
    set_field(h.hbtl, "1:0:2:3");
    h.size = 4096;
    h.performance = 200;
    h.hostid = 65000;
    return h;
}

AuxPingData aux_data()
{
    AuxPingData a{};
    a.length = 28;
    a.allocatedspace = 11;
    a.curvdisks = 12;
    a.curvdisksforctrl = 13;
    a.maxvdisksforctrl = 14;
    a.memtotal = 15;
    a.memavail = 16;
    return a;
}

class NodeTest : public StoreTest {
protected:
    std::string node(uint32_t id) const { return at("Node/" + std::to_string(id)); }
};

TEST_F(NodeTest, CreateWritesDirectoriesAndSeventeenAttributes)
{
    Hdr h = ping_hdr(12);
    // Text after the first NUL is not part of the value.
    std::memcpy(h.serial + 7, "junk", 4);
    time_t before = time(nullptr);
    capture_log();
    ASSERT_EQ(NodeCreate(&h, "10.1.2.3"), 0);
    std::string log = captured_log();
    time_t after = time(nullptr);

    const std::vector<std::string> files = {
        "backupchannel", "freespace", "hbtl", "hostid", "ipaddr", "lastping",
        "model", "nodestatus", "performance", "revision", "serial", "size",
        "status", "utilization", "uuid", "vdisks/", "vendor", "version"};
    std::vector<std::string> expect_tree = {"Node/", "Node/12/"};
    for (const auto &f : files)
        expect_tree.push_back("Node/12/" + f);
    EXPECT_EQ(list_tree(work()), expect_tree);

    const struct {
        const char *key;
        const char *content;
    } attrs[] = {
        {"version", "v1.8\n"},
        {"uuid", "12\n"},
        {"status", "1\n"},
        {"nodestatus", "3\n"},
        {"vendor", "VENDOR-FILLS-ALL-THIRTY-TWO-BYTE\n"},
        {"model", "M-1\n"},
        {"freespace", "4000000000\n"},
        {"utilization", "77\n"},
        {"revision", "rev-2.4.1\n"},
        {"serial", "SER123\n"},
        {"hbtl", "1:0:2:3\n"},
        {"performance", "200\n"},
        {"hostid", "65000\n"},
        {"size", "4096\n"},
        {"backupchannel", "0.0.0.0\n"},
        {"ipaddr", "10.1.2.3\n"},
    };
    for (const auto &a : attrs)
        EXPECT_EQ(file_content(node(12) + "/" + a.key), a.content) << a.key;
    unsigned long lastping = std::stoul(file_content(node(12) + "/lastping").value_or("0"));
    EXPECT_GE(lastping, (unsigned long)before);
    EXPECT_LE(lastping, (unsigned long)after);

    EXPECT_NE(log.find("info: NodeCreate(): Create Node 12"), std::string::npos);
    EXPECT_NE(log.find("debug: NodeCreate(): " + work() + "/Node [MKDIR]"), std::string::npos);
    EXPECT_NE(log.find("debug: NodeCreate(): " + node(12) + "/vdisks [MKDIR]"), std::string::npos);
    EXPECT_NE(log.find("debug: NodeCreate(): " + node(12) + "/vendor=VENDOR-FILLS-ALL-THIRTY-TWO-BYTE\n"),
              std::string::npos)
        << log;
}

TEST_F(NodeTest, BackupChannelRoundTrip)
{
    Hdr h = ping_hdr(13);
    h.nodestatus = 1;
    h.size = 0xC0A80102;  // 192.168.1.2 as a host-order integer
    ASSERT_EQ(NodeCreate(&h, "10.0.0.1"), 0);
    EXPECT_EQ(file_content(node(13) + "/size"), "0\n");
    EXPECT_EQ(file_content(node(13) + "/backupchannel"), "192.168.1.2\n");

    Hdr ah = h;
    ah.type = MSG_AUX_PING;
    AuxPingData aux = aux_data();
    ASSERT_EQ(NodeUpdate_AuxPing(&ah, &aux), 0);

    auto np = std::make_unique<Node>();
    np->nodeid = 13;
    np->hdr.type = 99;  // a load clears the header
    ASSERT_EQ(NodeLoad(np.get()), 0);
    Hdr expect = h;
    expect.type = 0;
    EXPECT_EQ(uint32_t(np->hdr.size), 0xC0A80102u);
    EXPECT_EQ(std::memcmp(&np->hdr, &expect, sizeof expect), 0);
    EXPECT_EQ(uint32_t(np->aux.memavail), 16u);
    EXPECT_EQ(uint32_t(np->aux.allocatedspace), 11u);
    EXPECT_EQ(uint32_t(np->aux.length), 0u);  // never stored
}

TEST_F(NodeTest, SecondPingRewritesButRemovesNothing)
{
    Hdr h = ping_hdr(15, MSG_AUX_PING);
    ASSERT_EQ(NodeCreate(&h, "10.0.0.1"), 0);
    AuxPingData aux = aux_data();
    ASSERT_EQ(NodeUpdate_AuxPing(&h, &aux), 0);
    Hdr ds = h;
    ds.type = MSG_DS_PING;
    DatastoreEntry dse{};
    set_field(dse.uuid, "DS15");
    ASSERT_EQ(NodeUpdate_RefDatastore(&ds, &dse), 0);
    make_link("../../../VDisk/vd1", node(15) + "/vdisks/vd1");
    write_file(node(15) + "/lastping", "0\n");

    set_field(h.vendor, "OTHER");
    h.type = MSG_PING;
    ASSERT_EQ(NodeCreate(&h, "10.0.0.2"), 0);
    EXPECT_EQ(file_content(node(15) + "/vendor"), "OTHER\n");
    EXPECT_EQ(file_content(node(15) + "/ipaddr"), "10.0.0.2\n");
    EXPECT_NE(file_content(node(15) + "/lastping"), "0\n");
    EXPECT_EQ(file_content(node(15) + "/datastoremember"), "DS15\n");
    EXPECT_EQ(file_content(node(15) + "/memavail"), "16\n");
    EXPECT_EQ(link_target(node(15) + "/vdisks/vd1"), "../../../VDisk/vd1");
}

TEST_F(NodeTest, UpdatesOfUnknownNodeFailQuietly)
{
    Hdr hb = ping_hdr(16, MSG_HEARTBEAT);
    Hdr ah = ping_hdr(16, MSG_AUX_PING);
    AuxPingData aux = aux_data();
    capture_log();
    EXPECT_EQ(NodeUpdate_HEARTBEAT(&hb), -1);
    EXPECT_EQ(NodeUpdate_AuxPing(&ah, &aux), -1);
    std::string log = captured_log();
    EXPECT_EQ(log.find("error"), std::string::npos) << log;
    EXPECT_EQ(list_tree(work()), std::vector<std::string>{});

    // A datastore reference for such a node reports the open failure.
    Hdr ds = ping_hdr(16, MSG_DS_PING);
    DatastoreEntry dse{};
    set_field(dse.uuid, "DS16");
    capture_log();
    EXPECT_EQ(NodeUpdate_RefDatastore(&ds, &dse), -1);
    log = captured_log();
    EXPECT_NE(log.find("open(" + node(16) + "): No such file or directory"), std::string::npos) << log;
    EXPECT_EQ(list_tree(work()), std::vector<std::string>{});
}

TEST_F(NodeTest, HeartbeatWritesLastping)
{
    Hdr h = ping_hdr(17);
    ASSERT_EQ(NodeCreate(&h, "10.0.0.1"), 0);
    write_file(node(17) + "/lastping", "0\n");
    Hdr hb = ping_hdr(17, MSG_HEARTBEAT);
    time_t before = time(nullptr);
    ASSERT_EQ(NodeUpdate_HEARTBEAT(&hb), 0);
    unsigned long lastping = std::stoul(file_content(node(17) + "/lastping").value_or("0"));
    EXPECT_GE(lastping, (unsigned long)before);
}

TEST_F(NodeTest, DatastoreMembership)
{
    Hdr h = ping_hdr(18, MSG_DS_PING);
    ASSERT_EQ(NodeCreate(&h, "10.0.0.1"), 0);
    char dsuuid[16];

    // Not a member: -1 without a message.
    capture_log();
    EXPECT_EQ(NodeLoad_DSMember("18", dsuuid, sizeof dsuuid), -1);
    EXPECT_EQ(captured_log().find("error"), std::string::npos);

    DatastoreEntry dse{};
    set_field(dse.uuid, "ABCDEFGHIJKLMN");  // 14 characters, no NUL
    set_field(dse.name, "name follows");
    ASSERT_EQ(NodeUpdate_RefDatastore(&h, &dse), 0);
    EXPECT_EQ(file_content(node(18) + "/datastoremember"), "ABCDEFGHIJKLMN\n");
    std::memset(dsuuid, '#', sizeof dsuuid);
    ASSERT_EQ(NodeLoad_DSMember("18", dsuuid, sizeof dsuuid), 0);
    EXPECT_EQ(std::string(dsuuid, sizeof dsuuid), std::string("ABCDEFGHIJKLMN\0\0", 16));

    // An empty file is an empty uuid.
    write_file(node(18) + "/datastoremember", "");
    ASSERT_EQ(NodeLoad_DSMember("18", dsuuid, sizeof dsuuid), 0);
    EXPECT_STREQ(dsuuid, "");

    ASSERT_EQ(NodeUpdate_UnrefDatastore(&h), 0);
    EXPECT_FALSE(exists(node(18) + "/datastoremember"));
    EXPECT_EQ(NodeUpdate_UnrefDatastore(&h), 0);  // already gone
}

TEST_F(NodeTest, LoadFailsOnMissingMemavailAfterEarlierFields)
{
    Hdr h = ping_hdr(19, MSG_AUX_PING);
    ASSERT_EQ(NodeCreate(&h, "10.0.0.1"), 0);
    AuxPingData aux = aux_data();
    ASSERT_EQ(NodeUpdate_AuxPing(&h, &aux), 0);
    ASSERT_EQ(unlink((node(19) + "/memavail").c_str()), 0);

    auto np = std::make_unique<Node>();
    np->nodeid = 19;
    capture_log();
    EXPECT_EQ(NodeLoad(np.get()), -1);
    std::string log = captured_log();
    EXPECT_NE(log.find("error: NodeLoad(): Failed to load " + node(19) + "/memavail: -1"),
              std::string::npos)
        << log;
    EXPECT_EQ(uint32_t(np->hdr.size), 4096u);  // nodestatus 3: the size as stored
    EXPECT_EQ(uint16_t(np->hdr.hostid), 65000);
    EXPECT_EQ(std::string(np->hdr.serial), "SER123");
    EXPECT_EQ(uint32_t(np->aux.memtotal), 15u);
    EXPECT_EQ(uint32_t(np->aux.memavail), 0u);
}

TEST_F(NodeTest, VersionTexts)
{
    Hdr h = ping_hdr(20, MSG_AUX_PING);
    ASSERT_EQ(NodeCreate(&h, "10.0.0.1"), 0);
    AuxPingData aux = aux_data();
    ASSERT_EQ(NodeUpdate_AuxPing(&h, &aux), 0);

    const std::string failed = "error: NodeLoad(): Failed to load " + node(20) + "/version: -1";
    const struct {
        const char *content;
        int result;
        int major, minor;
        std::vector<std::string> log;
    } cases[] = {
        {"v1.8\n", 0, 1, 8, {}},
        {"v2.10\n", 0, 2, 10, {}},
        {"v258.3\n", 0, 2, 3, {}},  // low 8 bits
        {"v100.200\n", -1, 0, 0, {"String too long in version: v100.200", failed}},
        {"1.8\n", -1, 0, 0, {"error: NodeLoad(): Malformed " + node(20) + "/version: 1.8"}},
        {"v3\n", -1, 0, 0, {"error: NodeLoad(): Malformed " + node(20) + "/version: v3"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content);
        write_file(node(20) + "/version", c.content);
        auto np = std::make_unique<Node>();
        np->nodeid = 20;
        capture_log();
        EXPECT_EQ(NodeLoad(np.get()), c.result);
        std::string log = captured_log();
        if (c.result == 0) {
            EXPECT_EQ(np->hdr.major, c.major);
            EXPECT_EQ(np->hdr.minor, c.minor);
            EXPECT_EQ(log.find("error"), std::string::npos) << log;
        }
        for (const auto &line : c.log)
            EXPECT_NE(log.find(line), std::string::npos) << line << " in " << log;
    }
}

TEST_F(NodeTest, LoadVDisksTakesShortLinksOnly)
{
    Hdr h = ping_hdr(21);
    ASSERT_EQ(NodeCreate(&h, "10.0.0.1"), 0);
    const std::string vd = node(21) + "/vdisks/";
    write_file(vd + "plain", "x\n");
    ASSERT_EQ(mkdir((vd + "subdir").c_str(), 0755), 0);
    make_link("../../../VDisk/ABCDEFGHIJKLMNO", vd + "ABCDEFGHIJKLMNO");  // 15 characters
    make_link("../../../VDisk/ABCDEFGHIJKLMN", vd + "ABCDEFGHIJKLMN");    // 14
    make_link("../../../VDisk/b", vd + "b");
    make_link("dangling-is-fine", vd + "a");

    VDiskTree tree;
    capture_log();
    ASSERT_EQ(NodeLoad_VDisks(21, tree), 0);
    std::string log = captured_log();
    std::vector<std::string> names;
    for (const auto &v : tree)
        names.push_back(v->vdiskuuid);
    EXPECT_EQ(names, (std::vector<std::string>{"ABCDEFGHIJKLMN", "a", "b"}));
    EXPECT_NE(log.find("error: NodeLoad_VDisks(): Malformed symlink " + vd + "ABCDEFGHIJKLMNO"),
              std::string::npos)
        << log;
    EXPECT_EQ(count_of(log, "error"), 1) << log;
    EXPECT_NE(log.find("info: NodeLoad_VDisks(): Load Node 21 attach VDisk a"), std::string::npos);

    VDiskTree none;
    capture_log();
    EXPECT_EQ(NodeLoad_VDisks(22, none), -1);
    EXPECT_NE(captured_log().find("opendir(" + node(22) + "/vdisks): No such file"), std::string::npos);
    EXPECT_TRUE(none.empty());
}

TEST_F(NodeTest, PathLimitOf255Characters)
{
    // A work directory whose Node/12 path has exactly 255 characters works;
    // one more character refuses the node without creating anything.
    const std::string fixed = base() + "/" + "/Node/12";
    for (size_t extra : {0, 1}) {
        SCOPED_TRACE(extra);
        const std::string wd = base() + "/" + std::string(255 - fixed.size() + extra, 'w');
        ASSERT_EQ(mkdir(wd.c_str(), 0755), 0);
        cfg_work_directory = wd;
        ASSERT_EQ((wd + "/Node/12").size(), 255 + extra);
        Hdr h = ping_hdr(12);
        EXPECT_EQ(NodeCreate(&h, "10.0.0.1"), extra == 0 ? 0 : -1);
        EXPECT_EQ(exists(wd + "/Node/12/version"), extra == 0);
        EXPECT_EQ(exists(wd + "/Node"), extra == 0);
    }
}

TEST_F(NodeTest, LoadVDisksKeepsEntriesWhosePathIsOverlong)
{
    // The vdisk itself may be loadable although Node/23/vdisks/{uuid} does
    // not fit a path: the announced list must still name it.
    const std::string fixed = base() + "/" + "/Node/23/vdisks/";
    const std::string wd = base() + "/" + std::string(250 - fixed.size(), 'w');
    ASSERT_EQ(mkdir(wd.c_str(), 0755), 0);
    cfg_work_directory = wd;
    Hdr h = ping_hdr(23);
    ASSERT_EQ(NodeCreate(&h, "10.0.0.1"), 0);
    make_link("x", wd + "/Node/23/vdisks/abcdefgh");  // 258 characters in all
    make_link("x", wd + "/Node/23/vdisks/ab");        // 252: fits
    VDiskTree tree;
    capture_log();
    EXPECT_EQ(NodeLoad_VDisks(23, tree), 0);
    std::string log = captured_log();
    EXPECT_EQ(count_of(log, "error"), 0) << log;
    ASSERT_EQ(tree.size(), 2u);
    EXPECT_NE(VDiskTree_RB_FIND(tree, "abcdefgh"), nullptr);
    EXPECT_NE(VDiskTree_RB_FIND(tree, "ab"), nullptr);
}

}  // namespace
