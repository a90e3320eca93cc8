// Snapshot links at their parents, and a node giving up a vdisk: the member
// goes, and with the last member the vdisk with its links.
#include <filesystem>
#include <string>
#include <vector>

#include "daemon/config.h"
#include "object/model.h"
#include "object/snapshot.h"
#include "store_fixture.h"

namespace {

Hdr hdr_of(uint32_t uid)
{
    Hdr h{};
    h.major = 1;
    h.minor = 8;
    h.uid = uid;
    return h;
}

class RemovalTest : public StoreTest {
protected:
    // A vdisk on disk as the create path leaves it: member directories with
    // their node links, and optionally the datastore link (target given
    // verbatim) and the parent's snapshot link.
    void make_vdisk_tree(const std::string &uuid, const std::vector<int> &members,
                         const char *ds_target = nullptr, const char *parent = nullptr)
    {
        const std::string vd = at("VDisk/" + uuid);
        std::filesystem::create_directories(vd + "/memberinfo");
        write_file(vd + "/uuid", uuid + "\n");
        for (int id : members) {
            const std::string n = std::to_string(id);
            std::filesystem::create_directories(vd + "/memberinfo/" + n);
            write_file(vd + "/memberinfo/" + n + "/seqno", "1\n");
            std::filesystem::create_directories(at("Node/" + n + "/vdisks"));
            make_link("../../../VDisk/" + uuid, at("Node/" + n + "/vdisks/" + uuid));
        }
        if (ds_target != nullptr)
            make_link(ds_target, vd + "/datastore");
        if (parent != nullptr) {
            std::filesystem::create_directories(at(std::string("VDisk/") + parent + "/snapshots"));
            make_link("../../../VDisk/" + uuid,
                      at(std::string("VDisk/") + parent + "/snapshots/" + uuid));
        }
    }
    void make_datastore(const std::string &ds, const std::vector<std::string> &vdisks)
    {
        std::filesystem::create_directories(at("Datastore/" + ds + "/vdisks"));
        for (const std::string &v : vdisks)
            make_link("../../../VDisk/" + v, at("Datastore/" + ds + "/vdisks/" + v));
    }

    // The vdisk as VDiskLoad(NULL, ...) gives it to the removal.
    std::unique_ptr<VDisk> vdisk_of(const char *uuid, const char *parent = nullptr)
    {
        std::unique_ptr<VDisk> v;
        EXPECT_EQ(VDiskAlloc(v), 0);
        set_field(v->vde.uuid, uuid);
        if (parent != nullptr) {
            v->vde.snapshot = 1;
            set_field(v->vde.description.snap.parent, parent);
        }
        VDiskInit(*v, nullptr);
        return v;
    }

    int gone(uint32_t uid, const VDisk &v)
    {
        Hdr h = hdr_of(uid);
        return VDiskGone(&h, &v);
    }
};

TEST_F(RemovalTest, OneOfTwoMembersLeaves)
{
    make_datastore("D1", {"vdtwo"});
    make_vdisk_tree("vdtwo", {5, 6}, "../../Datastore/D1");
    auto v = vdisk_of("vdtwo");
    ASSERT_EQ(gone(5, *v), 0);

    EXPECT_EQ(list_dir(at("VDisk/vdtwo/memberinfo")), std::vector<std::string>{"6"});
    EXPECT_FALSE(exists(at("Node/5/vdisks/vdtwo")));
    EXPECT_TRUE(exists(at("Node/6/vdisks/vdtwo")));
    EXPECT_TRUE(exists(at("VDisk/vdtwo/datastore")));
    EXPECT_TRUE(exists(at("Datastore/D1/vdisks/vdtwo")));
}

TEST_F(RemovalTest, LastMemberRemovesSnapshotWithItsLinks)
{
    make_datastore("D1", {"vdsnap", "vdkeep"});
    make_vdisk_tree("vdbase", {6});
    make_vdisk_tree("vdsnap", {5}, "../../Datastore/D1", "vdbase");
    auto v = vdisk_of("vdsnap", "vdbase");
    ASSERT_EQ(gone(5, *v), 0);

    EXPECT_FALSE(exists(at("VDisk/vdsnap")));
    EXPECT_FALSE(exists(at("Node/5/vdisks/vdsnap")));
    EXPECT_EQ(list_dir(at("Datastore/D1/vdisks")), std::vector<std::string>{"vdkeep"});
    EXPECT_TRUE(list_dir(at("VDisk/vdbase/snapshots")).empty());
    EXPECT_TRUE(exists(at("VDisk/vdbase/memberinfo/6")));
}

TEST_F(RemovalTest, LastMemberOfPlainVDiskByDatastoreLink)
{
    struct Row {
        const char *name;
        const char *uuid;
        const char *ds_target;  // nullptr: no datastore link
        int result;
        bool vdisk_removed;
        const char *log;
    };
    const Row rows[] = {
        {"linked", "vdlinked", "../../Datastore/D1", 0, true, "Delete VDisk vdlinked"},
        {"no link", "vdnolink", nullptr, 0, true, "Delete VDisk vdnolink"},
        {"datastore gone", "vdnods", "../../Datastore/D9", 0, true, "Delete VDisk vdnods"},
        {"malformed", "vdbadlink", "../../Datastore/", -1, false,
         "Malformed symlink " /* path: target */},
        {"no slash", "vdnoslash", "D1", -1, false, "Malformed symlink "},
        {"dot-dot", "vddotdot", "../../Datastore/..", -1, false, "Refusing datastore name `..'"},
    };
    make_datastore("D1", {"vdother"});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        make_datastore("D1", {row.uuid});
        make_vdisk_tree(row.uuid, {5}, row.ds_target);
        auto v = vdisk_of(row.uuid);
        capture_log();
        EXPECT_EQ(gone(5, *v), row.result);
        const std::string log = captured_log();
        EXPECT_NE(log.find(row.log), std::string::npos) << log;
        // A removal that cannot go through removes nothing, the node's link
        // included: the next removal retries.
        EXPECT_EQ(exists(at(std::string("VDisk/") + row.uuid)), !row.vdisk_removed);
        EXPECT_EQ(exists(at(std::string("Node/5/vdisks/") + row.uuid)), !row.vdisk_removed);
        EXPECT_EQ(exists(at(std::string("VDisk/") + row.uuid + "/memberinfo/5")), !row.vdisk_removed);
        // Only a vdisk linked to D1 loses D1's entry.
        const bool linked = row.ds_target != nullptr && std::string(row.ds_target).ends_with("/D1");
        EXPECT_EQ(exists(at(std::string("Datastore/D1/vdisks/") + row.uuid)), !linked);
        EXPECT_TRUE(exists(at("Datastore/D1/vdisks/vdother")));
    }
    EXPECT_NE(link_target(at("VDisk/vdbadlink/datastore")), "");
}

TEST_F(RemovalTest, SecondRemovalFinishesAnInterruptedOne)
{
    // memberinfo/ already gone, the parent's link too.
    make_datastore("D1", {"vdhalf"});
    make_vdisk_tree("vdparent", {6});
    make_vdisk_tree("vdhalf", {}, "../../Datastore/D1");
    std::filesystem::remove(at("VDisk/vdhalf/memberinfo"));
    auto v = vdisk_of("vdhalf", "vdparent");
    ASSERT_EQ(gone(7, *v), 0);
    EXPECT_FALSE(exists(at("VDisk/vdhalf")));
    EXPECT_TRUE(list_dir(at("Datastore/D1/vdisks")).empty());

    // Everything already gone: still a success.
    ASSERT_EQ(gone(7, *v), 0);
}

TEST_F(RemovalTest, LastMemberRemovalIsAllOrNothingAndLeftoversAreFinished)
{
    cfg_vdisk_lock_timeout_ms = 0;
    cfg_datastore_lock_timeout_ms = 0;
    make_datastore("D1", {"vdlast"});
    make_vdisk_tree("vdpar", {6});
    make_vdisk_tree("vdlast", {5}, "../../Datastore/D1", "vdpar");
    write_file(at("VDisk/vdlast/parent"), "vdpar\n");
    auto v = vdisk_of("vdlast", "vdpar");
    const auto before = list_tree(work());

    // Either lock held by another program: nothing is removed.
    for (const char *held : {"/tmp/VDISK-vdpar", "/tmp/DS-D1"}) {
        SCOPED_TRACE(held);
        write_file(held, "1\n");
        EXPECT_EQ(gone(5, *v), -1);
        EXPECT_EQ(list_tree(work()), before);
        std::remove(held);
    }

    // Cut short after memberinfo/ went: the next removal for any node finds
    // the rest, the parent's and the datastore's links included.
    std::filesystem::remove_all(at("VDisk/vdlast/memberinfo"));
    Hdr h = hdr_of(5);
    auto u = vdisk_of("vdlast");
    capture_log();
    EXPECT_EQ(VDiskGone_Leftover(&h, u.get()), 0);
    EXPECT_NE(captured_log().find("Finishing the removal of VDisk vdlast"), std::string::npos);
    EXPECT_FALSE(exists(at("VDisk/vdlast")));
    EXPECT_FALSE(exists(at("Node/5/vdisks/vdlast")));
    EXPECT_TRUE(list_dir(at("VDisk/vdpar/snapshots")).empty());
    EXPECT_TRUE(list_dir(at("Datastore/D1/vdisks")).empty());

    // Cut short before the node's link went: only the link is left to remove.
    make_link("../../../VDisk/vdlast", at("Node/5/vdisks/vdlast"));
    EXPECT_EQ(VDiskGone_Leftover(&h, u.get()), 0);
    EXPECT_FALSE(exists(at("Node/5/vdisks/vdlast")));

    // A vdisk that still has members is never a leftover.
    auto p = vdisk_of("vdpar");
    EXPECT_EQ(VDiskGone_Leftover(&h, p.get()), -1);
    EXPECT_TRUE(exists(at("VDisk/vdpar/memberinfo/6")));
}

TEST_F(RemovalTest, RefusedNamesRemoveNothing)
{
    make_vdisk_tree("vdkept", {5}, nullptr, "vdbase");
    write_file(base() + "/x", "outside\n");
    const std::vector<std::string> before = list_tree(base());

    auto dots = vdisk_of("..");
    capture_log();
    EXPECT_EQ(gone(5, *dots), -1);
    EXPECT_NE(captured_log().find("Refusing vdisk name `..'"), std::string::npos);

    auto climber = vdisk_of("vdkept", "../../x");
    capture_log();
    EXPECT_EQ(gone(5, *climber), -1);
    EXPECT_NE(captured_log().find("Refusing parent name `../../x'"), std::string::npos);
    EXPECT_EQ(ParentUpdate_RefSnapshot(climber.get()), -1);
    EXPECT_EQ(ParentUpdate_UnrefSnapshot(climber.get()), -1);
    EXPECT_EQ(ParentLock(climber.get()), -1);

    EXPECT_EQ(list_tree(base()), before);
}

TEST_F(RemovalTest, OverlongWorkDirectoryIsRefusedBeforeRemoving)
{
    const std::string longwork = base() + "/" + std::string(236 - base().size(), 'w');
    cfg_work_directory = longwork;
    // "{work}/VDisk/vdlong" fits, "{work}/VDisk/vdlong/memberinfo" does not.
    ASSERT_LE((longwork + "/VDisk/vdlong").size(), 255u);
    std::filesystem::create_directories(longwork + "/VDisk/vdlong/memberinfo/5");
    write_file(longwork + "/VDisk/vdlong/memberinfo/5/seqno", "1\n");
    const std::vector<std::string> before = list_tree(base());

    auto v = vdisk_of("vdlong");
    capture_log();
    EXPECT_EQ(gone(5, *v), -1);
    EXPECT_NE(captured_log().find("error: VDiskGone(): Path too long: " + longwork +
                                  "/VDisk/vdlong/memberinfo"),
              std::string::npos);
    EXPECT_EQ(list_tree(base()), before);
}

TEST_F(RemovalTest, SnapshotIsRecordedOnceAtAnExistingParent)
{
    auto v = vdisk_of("vdsnap1", "vdpar");
    // Parent unknown here: nothing is made.
    ASSERT_EQ(ParentUpdate_RefSnapshot(v.get()), 0);
    EXPECT_FALSE(exists(at("VDisk/vdpar")));

    std::filesystem::create_directories(at("VDisk/vdpar/snapshots"));
    ASSERT_EQ(ParentLock(v.get()), 0);
    ASSERT_EQ(ParentUpdate_RefSnapshot(v.get()), 0);
    ASSERT_EQ(ParentUpdate_RefSnapshot(v.get()), 0);
    ParentUnlock(v.get());
    EXPECT_EQ(list_tree(at("VDisk/vdpar/snapshots")),
              std::vector<std::string>{"vdsnap1 -> ../../../VDisk/vdsnap1"});

    ASSERT_EQ(ParentUpdate_UnrefSnapshot(v.get()), 0);
    EXPECT_TRUE(list_dir(at("VDisk/vdpar/snapshots")).empty());
    EXPECT_EQ(ParentUpdate_UnrefSnapshot(v.get()), 0);

    // Without snapshots/ the parent's own `snapshot` file decides: a snapshot
    // has nothing to record, a plain vdisk gets snapshots/ again and the
    // link, one that cannot tell fails the step and changes nothing.
    struct Row {
        const char *snapshot;  // the parent's file; nullptr: none
        int result;
        std::vector<std::string> after;
    } const rows[] = {
        {"1\n", 0, {"snapshot"}},
        {"0\n", 0, {"snapshot", "snapshots/", "snapshots/vdsnap2 -> ../../../VDisk/vdsnap2"}},
        {"", -1, {"snapshot"}},
        {nullptr, -1, {}},
    };
    for (const Row &row : rows) {
        std::filesystem::remove_all(at("VDisk/vdsnappar"));
        std::filesystem::create_directories(at("VDisk/vdsnappar"));
        if (row.snapshot != nullptr)
            write_file(at("VDisk/vdsnappar/snapshot"), row.snapshot);
        auto w = vdisk_of("vdsnap2", "vdsnappar");
        EXPECT_EQ(ParentUpdate_RefSnapshot(w.get()), row.result) << row.snapshot;
        EXPECT_EQ(list_tree(at("VDisk/vdsnappar")), row.after) << row.snapshot;
    }
    write_file(at("VDisk/vdfile"), "");
    auto f = vdisk_of("vdsnap3", "vdfile");
    capture_log();
    EXPECT_EQ(ParentUpdate_RefSnapshot(f.get()), -1);
    EXPECT_NE(captured_log().find("vdfile not a directory!"), std::string::npos);
}

}  // namespace
