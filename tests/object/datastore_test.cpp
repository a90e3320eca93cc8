// Datastore records: membership life cycle, load, and names refused as paths.
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "object/attr.h"
#include "object/datastore.h"
#include "object/node.h"
#include "store_fixture.h"

namespace {

Hdr ds_ping(uint32_t uid)
{
    Hdr h{};
    h.type = MSG_DS_PING;
    h.uid = uid;
    return h;
}

DatastoreEntry entry(const char *uuid, const char *name = "pool")
{
    DatastoreEntry e{};
    set_field(e.uuid, uuid);
    set_field(e.name, name);
    set_field(e.description, "fast disks");
    e.sector_size = 4096;
    e.replicas = 3;
    e.stripes = 8;
    e.overcommit = 2;
    return e;
}

class DatastoreTest : public StoreTest {
protected:
    std::string ds(const std::string &uuid) const { return at("Datastore/" + uuid); }
};

TEST_F(DatastoreTest, MembershipLifeCycle)
{
    DatastoreEntry e = entry("LIFE");
    Hdr n5 = ds_ping(5), n6 = ds_ping(6);

    capture_log();
    ASSERT_EQ(DatastoreCreate(&n5, &e), 0);
    std::string log = captured_log();
    EXPECT_EQ(list_tree(work()),
              (std::vector<std::string>{"Datastore/", "Datastore/LIFE/", "Datastore/LIFE/description",
                                        "Datastore/LIFE/members/",
                                        "Datastore/LIFE/members/5 -> ../../../Node/5",
                                        "Datastore/LIFE/name", "Datastore/LIFE/overcommit",
                                        "Datastore/LIFE/replicas", "Datastore/LIFE/sector_size",
                                        "Datastore/LIFE/stripes", "Datastore/LIFE/uuid",
                                        "Datastore/LIFE/vdisks/"}));
    const struct {
        const char *key, *content;
    } attrs[] = {{"uuid", "LIFE\n"},      {"name", "pool\n"},    {"description", "fast disks\n"},
                 {"sector_size", "4096\n"}, {"replicas", "3\n"}, {"stripes", "8\n"},
                 {"overcommit", "2\n"}};
    for (const auto &a : attrs)
        EXPECT_EQ(file_content(ds("LIFE") + "/" + a.key), a.content) << a.key;
    EXPECT_NE(log.find("info: DatastoreCreate(): Update Datastore LIFE ref Node 5"), std::string::npos);
    EXPECT_NE(log.find("debug: DatastoreCreate(): " + ds("LIFE") +
                       "/members/5 [SYMLINK ../../../Node/5]"),
              std::string::npos)
        << log;

    // Again from node 5: attributes rewritten, the link left alone.
    e = entry("LIFE", "renamed");
    capture_log();
    ASSERT_EQ(DatastoreCreate(&n5, &e), 0);
    log = captured_log();
    EXPECT_EQ(file_content(ds("LIFE") + "/name"), "renamed\n");
    EXPECT_EQ(log.find("ref Node"), std::string::npos) << log;

    ASSERT_EQ(DatastoreCreate(&n6, &e), 0);
    EXPECT_EQ(list_dir(ds("LIFE") + "/members"), (std::vector<std::string>{"5", "6"}));
    EXPECT_EQ(link_target(ds("LIFE") + "/members/6"), "../../../Node/6");
    make_link("../../../VDisk/vd1", ds("LIFE") + "/vdisks/vd1");

    // One of two members leaves: the datastore stays.
    ASSERT_EQ(DatastoreUpdate_UnrefNode("LIFE", "5"), 0);
    EXPECT_EQ(list_dir(ds("LIFE") + "/members"), std::vector<std::string>{"6"});
    EXPECT_TRUE(exists(ds("LIFE") + "/uuid"));

    // The last one leaves: everything goes, vdisk links included.
    capture_log();
    ASSERT_EQ(DatastoreUpdate_UnrefNode("LIFE", "6"), 0);
    log = captured_log();
    EXPECT_NE(log.find("info: DatastoreUpdate_UnrefNode(): Delete Datastore LIFE"), std::string::npos);
    EXPECT_EQ(list_tree(work()), std::vector<std::string>{"Datastore/"});

    // Leaving a datastore that is gone already succeeds.
    capture_log();
    EXPECT_EQ(DatastoreUpdate_UnrefNode("LIFE", "6"), 0);
    log = captured_log();
    EXPECT_EQ(log.find("error"), std::string::npos) << log;
}

TEST_F(DatastoreTest, MemberSlotTakenByOtherEntryIsLeftAlone)
{
    DatastoreEntry e = entry("SLOT");
    Hdr n7 = ds_ping(7);
    ASSERT_EQ(DatastoreCreate(&n7, &e), 0);
    ASSERT_EQ(unlink((ds("SLOT") + "/members/7").c_str()), 0);
    write_file(ds("SLOT") + "/members/7", "not a link\n");
    ASSERT_EQ(DatastoreCreate(&n7, &e), 0);
    EXPECT_EQ(file_content(ds("SLOT") + "/members/7"), "not a link\n");
    // A directory there: the node still leaves, and the directory stays.
    ASSERT_EQ(mkdir((ds("SLOT") + "/members/8").c_str(), 0755), 0);
    EXPECT_EQ(DatastoreUpdate_UnrefNode("SLOT", "8"), 0);
    struct stat st;
    EXPECT_TRUE(stat((ds("SLOT") + "/members/8").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

TEST_F(DatastoreTest, FullWidthUuidRoundTrip)
{
    DatastoreEntry e = entry("ABCDEFGHIJKLMN", "NAME-FILLS-ALL-THIRTY-TWO-BYTES!");
    Hdr n8 = ds_ping(8);
    ASSERT_EQ(DatastoreCreate(&n8, &e), 0);
    EXPECT_EQ(list_dir(at("Datastore")), std::vector<std::string>{"ABCDEFGHIJKLMN"});
    EXPECT_EQ(file_content(ds("ABCDEFGHIJKLMN") + "/name"), "NAME-FILLS-ALL-THIRTY-TWO-BYTES!\n");

    DatastoreEntry loaded;
    std::memset(&loaded, 0xff, sizeof loaded);
    ASSERT_EQ(DatastoreLoad("ABCDEFGHIJKLMN", &loaded), 0);
    EXPECT_EQ(std::memcmp(&loaded, &e, sizeof e), 0);
}

TEST_F(DatastoreTest, LoadKeepsLowBits)
{
    DatastoreEntry e = entry("BITS");
    Hdr n9 = ds_ping(9);
    ASSERT_EQ(DatastoreCreate(&n9, &e), 0);
    write_file(ds("BITS") + "/replicas", "65537\n");
    write_file(ds("BITS") + "/stripes", "65538\n");
    write_file(ds("BITS") + "/overcommit", "263\n");
    DatastoreEntry loaded{};
    ASSERT_EQ(DatastoreLoad("BITS", &loaded), 0);
    EXPECT_EQ(loaded.replicas, 1);
    EXPECT_EQ(loaded.stripes, 2);
    EXPECT_EQ(loaded.overcommit, 7);
}

TEST_F(DatastoreTest, LoadStopsAtFirstMissingAttribute)
{
    DatastoreEntry e = entry("PART");
    Hdr n10 = ds_ping(10);
    ASSERT_EQ(DatastoreCreate(&n10, &e), 0);
    ASSERT_EQ(unlink((ds("PART") + "/stripes").c_str()), 0);
    DatastoreEntry loaded{};
    capture_log();
    EXPECT_EQ(DatastoreLoad("PART", &loaded), -1);
    std::string log = captured_log();
    EXPECT_NE(log.find("error: DatastoreLoad(): Failed to load " + ds("PART") + "/stripes: -1"),
              std::string::npos)
        << log;
    EXPECT_EQ(loaded.replicas, 3);  // loaded before the failure
    EXPECT_EQ(loaded.overcommit, 0);

    capture_log();
    EXPECT_EQ(DatastoreLoad("NONE", &loaded), -1);
    EXPECT_NE(captured_log().find("open(" + ds("NONE") + "): No such file"), std::string::npos);
}

TEST_F(DatastoreTest, RefusedNamesTouchNothing)
{
    // A populated store, and a datastore with a member, that an unchecked
    // name would reach: ".." names the Datastore directory's parent (the
    // whole work directory), "../../x" lands beside the work directory.
    Hdr n11 = ds_ping(11);
    ASSERT_EQ(NodeCreate(&n11, "10.0.0.1"), 0);
    DatastoreEntry keep = entry("KEEP");
    ASSERT_EQ(DatastoreCreate(&n11, &keep), 0);
    ASSERT_EQ(mkdir(at("Datastore/a").c_str(), 0755), 0);
    const std::vector<std::string> base_before = list_tree(base());
    const std::vector<std::string> tmp_before = list_dir("/tmp");

    for (const char *name : {"", ".", "..", "a/b", "../../x"}) {
        SCOPED_TRACE(name);
        DatastoreEntry e = entry(name);
        DatastoreEntry loaded{};
        capture_log();
        EXPECT_EQ(DatastoreCreate(&n11, &e), -1);
        EXPECT_EQ(NodeUpdate_RefDatastore(&n11, &e), -1);
        EXPECT_EQ(DatastoreUpdate_UnrefNode(name, "11"), -1);
        EXPECT_EQ(DatastoreUpdate_UnrefNode("KEEP", name), -1);
        EXPECT_EQ(DatastoreLoad(name, &loaded), -1);
        std::string log = captured_log();
        EXPECT_EQ(count_of(log, "Refusing"), 5) << log;
        EXPECT_NE(log.find("error: DatastoreCreate(): Refusing datastore name `" + std::string(name) +
                           "'"),
                  std::string::npos)
            << log;
        EXPECT_NE(log.find("error: DatastoreUpdate_UnrefNode(): Refusing node name `" +
                           std::string(name) + "'"),
                  std::string::npos)
            << log;
        EXPECT_EQ(list_tree(base()), base_before);
        EXPECT_EQ(list_dir("/tmp"), tmp_before);
    }
}

}  // namespace
