// Name safety on the real binary: every name that reaches a path or a lock
// file from outside (a datagram, a file another program wrote into the
// store, a control line) either names an object inside the work directory
// or is refused.  Uuids "..", ".", "" and ones with a "/" are refused where
// they would be used; a 14-byte uuid without terminator names its object
// with all 14 characters; printf directives in text fields are stored as
// text.  After every case nothing was written beside the work directory (a
// canary directory stays empty), /tmp holds nothing new (every lock was
// released) and the daemon still answers.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>

#include "ctrl_client.h"
#include "harness.h"
#include "store_read.h"
#include "store_seed.h"
#include "udp.h"

using namespace harness;
using namespace store_read;
namespace fs = std::filesystem;

namespace {

// What a daemon may change outside its work directory: nothing.  Taken once
// the daemon runs; compare() names every difference.
struct Outside {
    std::string tmpdir, canary;
    std::set<std::string> beside, in_tmp;

    Outside(const TempDir &tmp, const std::string &canary_dir)
        : tmpdir(tmp.dir()), canary(canary_dir), beside(listing(tmp.dir())), in_tmp(listing("/tmp"))
    {
    }
    std::string compare() const
    {
        std::string diff;
        for (const auto &n : listing(canary))
            diff += "written into the canary: " + n + "\n";
        for (const auto &n : listing(tmpdir))
            if (!beside.count(n))
                diff += "written beside the work directory: " + n + "\n";
        for (const auto &n : listing("/tmp"))
            if (!in_tmp.count(n))
                diff += "left in /tmp: " + n + "\n";
        return diff;
    }
};

// One daemon with node 501 as its local node, a canary directory beside
// the work directory and a sender on 127.0.0.5.
struct NamesRig {
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    std::string work = tmp.path("DB");
    std::string canary = tmp.path("canary");
    int port = std::stoi(cfg.at("bind_port"));
    std::unique_ptr<Daemon> d;
    std::unique_ptr<UdpPeer> peer;
    std::unique_ptr<Outside> outside;

    NamesRig()
    {
        cfg["ping_interval"] = "3600";
        cfg["heartbeat_interval"] = "3600";
        cfg["local_nodes"] = tmp.write_file("local_nodes", "501\n");
        fs::create_directory(canary);
    }
    void start()
    {
        std::string conf = write_config(tmp.path("marlo.conf"), cfg);
        d = std::make_unique<Daemon>(std::vector<std::string>{"-d", "-d", "-C", conf}, tmp);
        peer = std::make_unique<UdpPeer>("127.0.0.5");
        ASSERT_TRUE(d->wait_for_line("Waiting...")) << d->text();
        ASSERT_TRUE(settle(*d, *peer, port)) << d->text();
        outside = std::make_unique<Outside>(tmp, canary);
    }
    // Sends one datagram and waits until the daemon has handled it.
    void apply(const std::string &bytes)
    {
        ASSERT_TRUE(deliver(*d, *peer, port, bytes)) << d->text();
    }
};

seed::NodeSpec node(uint32_t id) { return seed::NodeSpec{.id = id}; }

seed::VDiskSpec plain(const std::string &uuid, uint32_t member)
{
    return seed::VDiskSpec{.uuid = uuid,
                           .description = "plain",
                           .membership = {member},
                           .memberinfo = {{.node = member, .frontends = {"10.5.0.1"}}}};
}

seed::VDiskSpec snapshot(const std::string &uuid, const std::string &parent, uint32_t member)
{
    seed::VDiskSpec v = plain(uuid, member);
    v.description.clear();
    v.snapshot = 1;
    v.parent = parent;
    v.snaptime = "24-01-02_03.04.05";
    return v;
}

}  // namespace

TEST(NameSafety, DatagramNamesThatWouldLeaveTheStoreAreRefused)
{
    NamesRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const seed::NodeSpec n = node(502);
    rig.apply(seed::ds_ping_msg(n, nullptr));  // Node/502 exists before the cases
    const auto objects = [&] {
        return std::make_pair(listing(rig.work + "/VDisk"), listing(rig.work + "/Datastore"));
    };

    struct Case {
        const char *label;
        std::string bytes;
        std::string refusal;
    };
    const auto ds = [](const std::string &uuid) { return seed::DatastoreSpec{.uuid = uuid}; };
    const seed::DatastoreSpec ds_dots = ds(".."), ds_empty = ds(""), ds_up = ds("../canary");
    const seed::VDiskSpec vd_dots = plain("..", 502), vd_dot = plain(".", 502),
                          vd_empty = plain("", 502), vd_slash = plain("a/b", 502),
                          vd_up = plain("../../canary", 502), sv_up = plain("../canary", 502),
                          sn_dots = snapshot("sn-ok", "..", 502),
                          sn_empty = snapshot("sn-ok", "", 502),
                          sn_up = snapshot("sn-ok", "../../canary", 502);
    const Case cases[] = {
        {"PING vdisk ..", seed::ping_msg(n, {&vd_dots}), "Refusing vdisk name `..'"},
        {"PING vdisk .", seed::ping_msg(n, {&vd_dot}), "Refusing vdisk name `.'"},
        {"PING vdisk empty", seed::ping_msg(n, {&vd_empty}), "Refusing vdisk name `'"},
        {"PING vdisk a/b", seed::ping_msg(n, {&vd_slash}), "Refusing vdisk name `a/b'"},
        {"PING vdisk ../../canary", seed::ping_msg(n, {&vd_up}),
         "Refusing vdisk name `../../canary'"},
        {"SINGLE_VDISK_PING ../canary", seed::single_vdisk_ping_msg(n, sv_up),
         "Refusing vdisk name `../canary'"},
        {"snapshot parent ..", seed::ping_msg(n, {&sn_dots}), "Refusing parent name `..'"},
        {"snapshot parent empty", seed::ping_msg(n, {&sn_empty}), "Refusing parent name `'"},
        {"snapshot parent ../../canary", seed::ping_msg(n, {&sn_up}),
         "Refusing parent name `../../canary'"},
        {"DS_PING datastore ..", seed::ds_ping_msg(n, &ds_dots), "Refusing datastore name `..'"},
        {"DS_PING datastore empty", seed::ds_ping_msg(n, &ds_empty), "Refusing datastore name `'"},
        {"DS_PING datastore ../canary", seed::ds_ping_msg(n, &ds_up),
         "Refusing datastore name `../canary'"},
        {"VDISK_DELETED ..", seed::vdisk_deleted_msg(n, ".."), "Refusing vdisk name `..'"},
        {"VDISK_DELETED empty", seed::vdisk_deleted_msg(n, ""), "Refusing vdisk name `'"},
        {"VDISK_DELETED ../../canary", seed::vdisk_deleted_msg(n, "../../canary"),
         "Refusing vdisk name `../../canary'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const auto before = objects();
        const size_t refusals = rig.d->count_lines(c.refusal);
        rig.apply(c.bytes);
        EXPECT_GT(rig.d->count_lines(c.refusal), refusals) << rig.d->text();
        EXPECT_EQ(objects(), before) << "an object appeared or went";
        EXPECT_EQ(rig.outside->compare(), "");
    }
    EXPECT_TRUE(present(rig.work + "/Node/502/uuid"));
}

TEST(NameSafety, FourteenByteNamesWithoutTerminatorNameTheirObjects)
{
    NamesRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const seed::NodeSpec n = node(503);
    const seed::DatastoreSpec ds{.uuid = "ds-fourteen-cc"};
    seed::VDiskSpec vd = plain("abcdefghijklmn", 503);
    seed::VDiskSpec sn = snapshot("snap-fourteen1", "abcdefghijklmn", 503);
    ASSERT_EQ(ds.uuid.size(), 14u);
    ASSERT_EQ(vd.uuid.size(), 14u);
    ASSERT_EQ(sn.uuid.size(), 14u);

    rig.apply(seed::ds_ping_msg(n, &ds));
    rig.apply(seed::ping_msg(n, {&vd, &sn}));
    const std::string ds_dir = rig.work + "/Datastore/ds-fourteen-cc";
    const std::string vd_dir = rig.work + "/VDisk/abcdefghijklmn";
    EXPECT_EQ(slurp(ds_dir + "/uuid"), "ds-fourteen-cc\n");
    EXPECT_EQ(slurp(rig.work + "/Node/503/datastoremember"), "ds-fourteen-cc\n");
    EXPECT_EQ(slurp(vd_dir + "/uuid"), "abcdefghijklmn\n");
    EXPECT_EQ(fs::read_symlink(vd_dir + "/datastore"), "../../Datastore/ds-fourteen-cc");
    EXPECT_TRUE(present(ds_dir + "/vdisks/abcdefghijklmn"));
    EXPECT_TRUE(present(vd_dir + "/snapshots/snap-fourteen1"));
    EXPECT_EQ(slurp(rig.work + "/VDisk/snap-fourteen1/parent"), "abcdefghijklmn\n");
    EXPECT_EQ(listing(rig.work + "/VDisk"),
              (std::set<std::string>{"abcdefghijklmn", "snap-fourteen1"}));
    EXPECT_EQ(rig.outside->compare(), "");

    // Removal by the same names: the snapshot, then the vdisk, and the
    // datastore once the node leaves it.
    rig.apply(seed::vdisk_deleted_msg(n, "snap-fourteen1"));
    EXPECT_FALSE(present(rig.work + "/VDisk/snap-fourteen1"));
    EXPECT_FALSE(present(vd_dir + "/snapshots/snap-fourteen1"));
    rig.apply(seed::vdisk_deleted_msg(n, "abcdefghijklmn"));
    EXPECT_FALSE(present(vd_dir));
    EXPECT_FALSE(present(ds_dir + "/vdisks/abcdefghijklmn"));
    rig.apply(seed::ds_ping_msg(n, nullptr));
    EXPECT_FALSE(present(ds_dir));
    EXPECT_EQ(rig.outside->compare(), "");
}

TEST(NameSafety, PrintfDirectivesInTextFieldsAreStoredAsText)
{
    NamesRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    seed::NodeSpec n = node(504);
    n.vendor = "%s%s%s%s%n%n";
    n.model = "%99999999999d%x";
    n.revision = "%n%p%s";
    n.serial = "%1$s%2$n%*.*s%hhn%ls%%";
    n.hbtl = "%.*s%c%lu";
    seed::DatastoreSpec ds{.uuid = "ds-%s%n", .name = "%n%n%n%n", .description = "%99999d%s"};
    seed::VDiskSpec vd = plain("vd-%n%s", 504);
    vd.name = "%s%n%s%n";
    vd.description = "%x%x%x%n";

    rig.apply(seed::ds_ping_msg(n, &ds));
    rig.apply(seed::aux_ping_msg(n));
    rig.apply(seed::ping_msg(n, {&vd}));
    const std::string node_dir = rig.work + "/Node/504";
    EXPECT_EQ(slurp(node_dir + "/vendor"), n.vendor + "\n");
    EXPECT_EQ(slurp(node_dir + "/model"), n.model + "\n");
    EXPECT_EQ(slurp(node_dir + "/revision"), n.revision + "\n");
    EXPECT_EQ(slurp(node_dir + "/serial"), n.serial + "\n");
    EXPECT_EQ(slurp(node_dir + "/hbtl"), n.hbtl + "\n");
    const std::string ds_dir = rig.work + "/Datastore/ds-%s%n";
    EXPECT_EQ(slurp(ds_dir + "/name"), ds.name + "\n");
    EXPECT_EQ(slurp(ds_dir + "/description"), ds.description + "\n");
    const std::string vd_dir = rig.work + "/VDisk/vd-%n%s";
    EXPECT_EQ(slurp(vd_dir + "/name"), vd.name + "\n");
    EXPECT_EQ(slurp(vd_dir + "/description"), vd.description + "\n");
    EXPECT_EQ(fs::read_symlink(vd_dir + "/datastore"), "../../Datastore/ds-%s%n");

    // The same texts on the control port: logged, matched against nothing.
    CtrlClient ctrl(std::stoi(rig.cfg.at("ctrl_port")));
    ASSERT_TRUE(ctrl.write("ds_ping %s%n%s%n\n"));
    EXPECT_TRUE(rig.d->wait_for_line("DS_PING Node=%s%n%s%n")) << rig.d->text();
    ASSERT_TRUE(ctrl.write("single_vdisk_ping 504 %n%n%s\n"));
    EXPECT_TRUE(rig.d->wait_for_line("SINGLE_VDISK_PING Node=504 VDisk=%n%n%s")) << rig.d->text();
    ASSERT_TRUE(settle(*rig.d, *rig.peer, rig.port));
    EXPECT_EQ(rig.outside->compare(), "");
}

// Files other programs wrote into the store are outside input too: a
// datastore named in a node's record, a vdisk's datastore link, a
// snapshot's parent file.
TEST(NameSafety, StoreNamesThatWouldLeaveTheStoreAreRefused)
{
    NamesRig rig;
    const std::string &work = rig.work;
    seed::write_node(work, {.id = 501, .datastore = ".."});  // the local node
    seed::write_node(work, {.id = 511, .datastore = "../../canary"});
    seed::VDiskSpec bad_ds = plain("vd-badds", 513);
    seed::write_vdisk(work, bad_ds);
    fs::create_directory_symlink("../../Datastore/..", work + "/VDisk/vd-badds/datastore");
    seed::VDiskSpec no_ds = plain("vd-nods", 513);
    seed::write_vdisk(work, no_ds);
    fs::create_directory_symlink("../../Datastore/", work + "/VDisk/vd-nods/datastore");
    seed::VDiskSpec bad_parent = snapshot("sn-badpar", "vd-gone", 514);
    seed::write_vdisk(work, bad_parent);
    seed::write_attr(work + "/VDisk/sn-badpar", "parent", "../../canary");
    seed::VDiskSpec dot_parent = snapshot("sn-dotpar", "vd-gone", 514);
    seed::write_vdisk(work, dot_parent);
    seed::write_attr(work + "/VDisk/sn-dotpar", "parent", "..");
    seed::VDiskSpec self_parent = snapshot("sn-self", "sn-self", 514);
    seed::write_vdisk(work, self_parent);
    ASSERT_NO_FATAL_FAILURE(rig.start());

    struct Case {
        const char *label;
        std::string bytes;
        std::string refusal;
        std::string kept;  // what the refused step leaves in place
    };
    const Case cases[] = {
        {"node leaves datastore ../../canary", seed::ds_ping_msg(node(511), nullptr),
         "Refusing datastore name `../../canary'", work + "/Node/511/datastoremember"},
        {"vdisk datastore link to ..", seed::vdisk_deleted_msg(node(513), "vd-badds"),
         "Refusing datastore name `..'", work + "/VDisk/vd-badds"},
        {"vdisk datastore link without a name", seed::vdisk_deleted_msg(node(513), "vd-nods"),
         "Malformed symlink", work + "/VDisk/vd-nods"},
        {"snapshot parent ../../canary", seed::vdisk_deleted_msg(node(514), "sn-badpar"),
         "Refusing parent name `../../canary'", work + "/VDisk/sn-badpar"},
        {"snapshot parent ..", seed::vdisk_deleted_msg(node(514), "sn-dotpar"),
         "Refusing parent name `..'", work + "/VDisk/sn-dotpar"},
        {"snapshot of itself", seed::vdisk_deleted_msg(node(514), "sn-self"),
         "Refusing VDisk sn-self as a snapshot of itself", work + "/VDisk/sn-self"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.label);
        const size_t refusals = rig.d->count_lines(c.refusal);
        rig.apply(c.bytes);
        EXPECT_GT(rig.d->count_lines(c.refusal), refusals) << rig.d->text();
        EXPECT_TRUE(present(c.kept));
        EXPECT_EQ(rig.outside->compare(), "");
    }

    // The local node's record names datastore "..": its announcement on
    // the control port refuses the name instead of locking /tmp/DS-..
    rig.d->mark();
    CtrlClient ctrl(std::stoi(rig.cfg.at("ctrl_port")));
    ASSERT_TRUE(ctrl.write("ds_ping 501\n"));
    EXPECT_TRUE(rig.d->wait_for_line("Refusing datastore name `..'")) << rig.d->text();
    ASSERT_TRUE(settle(*rig.d, *rig.peer, rig.port));
    EXPECT_EQ(rig.outside->compare(), "");
}
