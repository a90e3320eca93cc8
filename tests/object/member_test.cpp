// Member info and membership: the membership list file, and the member
// directory's links to its node and datastore.
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "daemon/config.h"
#include "object/member.h"
#include "object/model.h"
#include "store_fixture.h"

namespace {

class MemberStoreTest : public StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        vdiskpath_ = at("VDisk/vdm");
        std::filesystem::create_directories(vdiskpath_ + "/memberinfo/5");
        vdiskfd_ = open(vdiskpath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(vdiskfd_, 0);
        mbfd_ = open((vdiskpath_ + "/memberinfo/5").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(mbfd_, 0);
        ASSERT_EQ(VDiskAlloc(vdisk_), 0);
        set_field(vdisk_->vde.uuid, "vdm");
        VDiskInit(*vdisk_, nullptr);
    }
    void TearDown() override
    {
        close(mbfd_);
        close(vdiskfd_);
        StoreTest::TearDown();
    }

    void add_member(uint32_t id)
    {
        std::unique_ptr<Member> m;
        ASSERT_EQ(MemberAlloc(m), 0);
        m->mbe.node = id;
        MemberInit(*m, nullptr);
        vdisk_->members.push_back(std::move(m));
    }
    void add_frontend(const char *ip)
    {
        std::unique_ptr<Frontend> f;
        ASSERT_EQ(FrontendAlloc(f), 0);
        std::snprintf(f->ipaddr, sizeof f->ipaddr, "%s", ip);
        vdisk_->frontends.push_back(std::move(f));
    }
    int create_member() { return MemberinfoCreate(vdisk_.get(), vdiskpath_.c_str(), vdiskfd_, "5", mbfd_); }

    std::string vdiskpath_;
    int vdiskfd_ = -1;
    int mbfd_ = -1;
    std::unique_ptr<VDisk> vdisk_;
};

TEST_F(MemberStoreTest, MembershipStoreWritesMembersInListOrder)
{
    add_member(3);
    add_member(7);
    ASSERT_EQ(MembershipStore(vdisk_.get(), vdiskpath_.c_str(), vdiskfd_), 0);
    EXPECT_EQ(file_content(vdiskpath_ + "/membership"), "3\n7\n");

    vdisk_->members.clear();
    ASSERT_EQ(MembershipStore(vdisk_.get(), vdiskpath_.c_str(), vdiskfd_), 0);
    EXPECT_EQ(file_content(vdiskpath_ + "/membership"), "3\n7\n");
}

TEST_F(MemberStoreTest, MembershipLoadReadsOneNodeIdPerLine)
{
    struct Row {
        const char *name;
        const char *content;
        int result;
        std::vector<uint32_t> nodes;
        int count;  // -5: left untouched
    };
    const Row rows[] = {
        {"two members", "3\n7\n", 0, {3, 7}, 2},
        {"text after the digits", "12abc\n", 0, {12}, 1},
        {"largest id", "4294967295\n", 0, {4294967295u}, 1},
        {"empty file", "", 0, {}, -5},
        {"node zero", "3\n0\n", -1, {}, -5},
        {"unterminated", "3\n7", -1, {}, -5},
        {"empty line", "\n5\n", -1, {}, -5},
        {"not a number", "three\n", -1, {}, -5},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        write_file(vdiskpath_ + "/membership", row.content);
        MemberList list;
        int count = -5;
        capture_log();
        EXPECT_EQ(MembershipLoad(&list, &count, vdiskpath_.c_str(), vdiskfd_), row.result);
        const std::string log = captured_log();
        EXPECT_EQ(count, row.count);
        ASSERT_EQ(list.size(), row.nodes.size());
        for (size_t i = 0; i < list.size(); i++) {
            EXPECT_EQ(uint32_t(list[i]->mbe.node), row.nodes[i]);
            EXPECT_EQ(std::string(list[i]->uuid), std::to_string(row.nodes[i]));
        }
        if (row.result != 0) {
            EXPECT_NE(log.find("error: MembershipLoad(): Malformed file " + vdiskpath_ + "/membership"),
                      std::string::npos)
                << log;
        }
    }
}

TEST_F(MemberStoreTest, DatastoreSideNeedsTheNodesDatastoreRecord)
{
    std::filesystem::create_directories(at("Node/5/vdisks"));
    add_frontend("10.1.2.3");

    // No datastoremember at all: failure after the node link was made.
    EXPECT_EQ(create_member(), -1);
    EXPECT_EQ(link_target(at("Node/5/vdisks/vdm")), "../../../VDisk/vdm");
    EXPECT_FALSE(exists(vdiskpath_ + "/datastore"));

    // A datastore name that would lead elsewhere is refused.
    write_file(at("Node/5/datastoremember"), "..\n");
    capture_log();
    EXPECT_EQ(create_member(), -1);
    EXPECT_NE(captured_log().find("Refusing datastore name `..'"), std::string::npos);
    EXPECT_FALSE(exists(vdiskpath_ + "/datastore"));

    // Once the vdisk has a datastore link, no member changes it.
    std::filesystem::create_directories(at("Datastore/D7/vdisks"));
    write_file(at("Node/5/datastoremember"), "D7\n");
    ASSERT_EQ(create_member(), 0);
    EXPECT_EQ(link_target(vdiskpath_ + "/datastore"), "../../Datastore/D7");
    EXPECT_EQ(link_target(at("Datastore/D7/vdisks/vdm")), "../../../VDisk/vdm");
    std::filesystem::create_directories(at("Datastore/D8/vdisks"));
    write_file(at("Node/5/datastoremember"), "D8\n");
    ASSERT_EQ(create_member(), 0);
    EXPECT_EQ(link_target(vdiskpath_ + "/datastore"), "../../Datastore/D7");
    EXPECT_TRUE(list_dir(at("Datastore/D8/vdisks")).empty());
}

TEST_F(MemberStoreTest, DeletingAMemberThatIsNotThereSucceeds)
{
    std::filesystem::create_directories(at("Node/9/vdisks"));
    EXPECT_EQ(MemberinfoDelete(vdisk_.get(), "9"), 0);
    EXPECT_EQ(list_dir(vdiskpath_ + "/memberinfo"), std::vector<std::string>{"5"});
}

}  // namespace
