#include <gtest/gtest.h>

#include "object/model.h"

TEST(VDiskTree, RefusesDuplicateKeyAndKeepsFirst)
{
    VDiskTree tree;
    std::unique_ptr<VDisk> a, b;
    ASSERT_EQ(VDiskAlloc(a), 0);
    ASSERT_EQ(VDiskAlloc(b), 0);
    std::snprintf(a->vdiskuuid, sizeof a->vdiskuuid, "x1");
    std::snprintf(b->vdiskuuid, sizeof b->vdiskuuid, "x1");
    VDisk *first = a.get();
    EXPECT_EQ(VDiskTree_RB_INSERT(tree, a), nullptr);
    EXPECT_EQ(VDiskTree_RB_INSERT(tree, b), first);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(tree.size(), 1u);
}
