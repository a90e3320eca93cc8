#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "object/model.h"

namespace {

std::unique_ptr<VDisk> vdisk_keyed(const char *uuid)
{
    std::unique_ptr<VDisk> vd;
    EXPECT_EQ(VDiskAlloc(vd), 0);
    std::memcpy(vd->vde.uuid, uuid, strnlen(uuid, UUID_LEN));
    VDiskInit(*vd, nullptr);
    return vd;
}

std::vector<std::string> walk(const VDiskTree &tree)
{
    std::vector<std::string> keys;
    for (const auto &vd : tree)
        keys.push_back(vd->vdiskuuid);
    return keys;
}

TEST(Alloc, RecordsStartZeroFilledAndEmpty)
{
    std::unique_ptr<VDisk> vd;
    ASSERT_EQ(VDiskAlloc(vd), 0);
    EXPECT_TRUE(vd->members.empty() && vd->frontends.empty());
    EXPECT_EQ(vd->members_count + vd->frontends_count, 0);
    EXPECT_EQ(vd->vdiskuuid[0] + vd->parentuuid[0], 0);
    const VDiskEntry zero{};
    EXPECT_EQ(std::memcmp(&vd->vde, &zero, sizeof zero), 0);

    std::unique_ptr<Node> node;
    ASSERT_EQ(NodeAlloc(node), 0);
    EXPECT_TRUE(node->vdisks.empty());
    EXPECT_EQ(node->dsuuid[0] + node->nodeuuid[0], 0);
    EXPECT_EQ(node->hdr.uid + node->nodeid, 0u);
}

// Byte order of the uuid text, whatever the insertion order; finds by key.
TEST(VDiskTree, WalksInByteOrderAndFindsByKey)
{
    const std::vector<std::vector<const char *>> orders = {
        {"b", "a10", "a9"}, {"a9", "a10", "b"}, {"a10", "b", "a9"}};
    for (const auto &order : orders) {
        VDiskTree tree;
        for (const char *uuid : order) {
            auto vd = vdisk_keyed(uuid);
            ASSERT_EQ(VDiskTree_RB_INSERT(tree, vd), nullptr);
            EXPECT_EQ(vd, nullptr);  // ownership moved into the tree
        }
        EXPECT_EQ(walk(tree), (std::vector<std::string>{"a10", "a9", "b"}));
        for (const char *uuid : order) {
            VDisk *found = VDiskTree_RB_FIND(tree, uuid);
            ASSERT_NE(found, nullptr) << uuid;
            EXPECT_STREQ(found->vdiskuuid, uuid);
        }
        EXPECT_EQ(VDiskTree_RB_FIND(tree, "a1"), nullptr);
        EXPECT_EQ(VDiskTree_RB_FIND(tree, "c"), nullptr);
    }
}

TEST(VDiskTree, DuplicateKeyReturnsFirstAndLeavesTreeUnchanged)
{
    VDiskTree tree;
    auto a = vdisk_keyed("x1");
    auto b = vdisk_keyed("x2");
    auto dup = vdisk_keyed("x1");
    a->vde.transaction_id = 1;
    dup->vde.transaction_id = 2;
    VDisk *first = a.get();
    ASSERT_EQ(VDiskTree_RB_INSERT(tree, a), nullptr);
    ASSERT_EQ(VDiskTree_RB_INSERT(tree, b), nullptr);
    EXPECT_EQ(VDiskTree_RB_INSERT(tree, dup), first);
    ASSERT_NE(dup, nullptr);  // still the caller's to release
    EXPECT_EQ(walk(tree), (std::vector<std::string>{"x1", "x2"}));
    EXPECT_EQ(VDiskTree_RB_FIND(tree, "x1"), first);
    EXPECT_EQ(uint32_t(first->vde.transaction_id), 1u);
}

// An allocator that has no memory once `room` elements are used up.
template <typename T>
struct ScarceAlloc {
    using value_type = T;
    static inline size_t room = 0;
    ScarceAlloc() = default;
    template <typename U>
    ScarceAlloc(const ScarceAlloc<U> &) {}
    T *allocate(size_t n)
    {
        if (n > room)
            throw std::bad_alloc();
        return std::allocator<T>().allocate(n);
    }
    void deallocate(T *p, size_t n) { std::allocator<T>().deallocate(p, n); }
    bool operator==(const ScarceAlloc &) const { return true; }
};

TEST(ListGrowth, NoMemoryFailsTheStepAndKeepsTheItem)
{
    using List = std::vector<std::unique_ptr<Member>, ScarceAlloc<std::unique_ptr<Member>>>;
    ScarceAlloc<std::unique_ptr<Member>>::room = 4;
    List list;
    for (int i = 0; i < 4; i++) {
        std::unique_ptr<Member> m;
        ASSERT_EQ(MemberAlloc(m), 0);
        ASSERT_EQ(ListAppend("MembershipLoad", list, m), 0);
        EXPECT_EQ(m, nullptr);
    }
    std::unique_ptr<Member> m;
    ASSERT_EQ(MemberAlloc(m), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(ListAppend("MembershipLoad", list, m), -1);
    EXPECT_EQ(ListReserve("MembershipLoad", list, 100), -1);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(m, nullptr);  // still the caller's
    EXPECT_EQ(list.size(), 4u);
    EXPECT_NE(log.find("error: MembershipLoad(): malloc("), std::string::npos) << log;
}

TEST(VDiskInit, DerivesBoundedKeys)
{
    // A full uuid field is followed directly by non-NUL bytes of the next field.
    VDiskEntry vde{};
    std::memcpy(vde.uuid, "abcdefghijklmn", 14);
    std::memcpy(vde.name.old_mshipgencnt, "07", 2);
    std::memcpy(vde.description.descr, "some description text", 21);

    std::unique_ptr<VDisk> plain;
    ASSERT_EQ(VDiskAlloc(plain), 0);
    VDiskInit(*plain, &vde);
    EXPECT_STREQ(plain->vdiskuuid, "abcdefghijklmn");
    EXPECT_STREQ(plain->parentuuid, "");  // snapshot 0: description is no parent
    EXPECT_EQ(std::memcmp(&plain->vde, &vde, sizeof vde), 0);

    vde.snapshot = 1;
    std::memset(&vde.description, 'z', sizeof vde.description);
    std::memcpy(vde.description.snap.parent, "parentparentpa", 14);
    std::unique_ptr<VDisk> snap;
    ASSERT_EQ(VDiskAlloc(snap), 0);
    VDiskInit(*snap, &vde);
    EXPECT_STREQ(snap->vdiskuuid, "abcdefghijklmn");
    EXPECT_STREQ(snap->parentuuid, "parentparentpa");

    // Without an entry: only vde.uuid was filled (a vdisk-deleted notice).
    std::unique_ptr<VDisk> bare;
    ASSERT_EQ(VDiskAlloc(bare), 0);
    std::memcpy(bare->vde.uuid, "gone", 4);
    VDiskInit(*bare, nullptr);
    EXPECT_STREQ(bare->vdiskuuid, "gone");
    EXPECT_STREQ(bare->parentuuid, "");
}

TEST(Member, InitAndLookup)
{
    struct {
        uint32_t node;
        const char *uuid;
    } cases[] = {{0, "0"}, {12, "12"}, {4294967295u, "4294967295"}};
    for (const auto &c : cases) {
        std::unique_ptr<Member> m;
        ASSERT_EQ(MemberAlloc(m), 0);
        m->mbe.node = c.node;
        MemberInit(*m, nullptr);  // re-derives from its own entry
        EXPECT_STREQ(m->uuid, c.uuid);
        std::unique_ptr<Member> n;
        ASSERT_EQ(MemberAlloc(n), 0);
        MemberEntry mbe{c.node};
        MemberInit(*n, &mbe);
        EXPECT_EQ(uint32_t(n->mbe.node), c.node);
        EXPECT_STREQ(n->uuid, c.uuid);
    }

    MemberList list;
    EXPECT_EQ(MemberLookup(list, 0), nullptr);
    for (uint32_t id : {5u, 7u, 5u}) {
        std::unique_ptr<Member> m;
        ASSERT_EQ(MemberAlloc(m), 0);
        MemberEntry mbe{id};
        MemberInit(*m, &mbe);
        list.push_back(std::move(m));
    }
    EXPECT_EQ(MemberLookup(list, 5), list[0].get());  // the earliest of equals
    EXPECT_EQ(MemberLookup(list, 7), list[1].get());
    EXPECT_EQ(MemberLookup(list, 6), nullptr);
}

// Flushing releases everything reachable (the sanitizer build reports any
// leak) and keeps the container; counts kept elsewhere stay as they were.
TEST(Flush, ReleasesEverythingReachable)
{
    NodeList empty_nodes;
    NodeListFlush(empty_nodes);
    VDiskTree empty_tree;
    VDiskTreeFlush(empty_tree);
    EXPECT_TRUE(empty_nodes.empty() && empty_tree.empty());

    std::unique_ptr<NodeList> nodes;
    ASSERT_EQ(NodeListAlloc(nodes), 0);
    for (int n = 0; n < 3; n++) {
        std::unique_ptr<Node> node;
        ASSERT_EQ(NodeAlloc(node), 0);
        for (const char *uuid : {"v1", "v2"}) {
            auto vd = vdisk_keyed(uuid);
            for (int i = 0; i < 2; i++) {
                std::unique_ptr<Member> m;
                std::unique_ptr<Frontend> f;
                ASSERT_EQ(MemberAlloc(m), 0);
                ASSERT_EQ(FrontendAlloc(f), 0);
                vd->members.push_back(std::move(m));
                vd->frontends.push_back(std::move(f));
            }
            vd->members_count = vd->frontends_count = 2;
            ASSERT_EQ(VDiskTree_RB_INSERT(node->vdisks, vd), nullptr);
        }
        nodes->push_back(std::move(node));
    }
    VDisk *vd = VDiskTree_RB_FIND((*nodes)[0]->vdisks, "v1");
    ASSERT_NE(vd, nullptr);
    MemberListFlush(vd->members);
    FrontendListFlush(vd->frontends);
    EXPECT_TRUE(vd->members.empty() && vd->frontends.empty());
    EXPECT_EQ(vd->members_count, 2);
    EXPECT_EQ(vd->frontends_count, 2);

    VDiskTreeFlush((*nodes)[1]->vdisks);
    EXPECT_TRUE((*nodes)[1]->vdisks.empty());
    NodeListFlush(*nodes);
    EXPECT_TRUE(nodes->empty());

    std::unique_ptr<HostList> hosts;
    ASSERT_EQ(HostListAlloc(hosts), 0);
    std::unique_ptr<Host> h;
    ASSERT_EQ(HostAlloc(h), 0);
    EXPECT_EQ(h->sa.sin_port, 0);
    hosts->push_back(std::move(h));
    HostListFlush(*hosts);
    EXPECT_TRUE(hosts->empty());
}

}  // namespace
