#include "object/model.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "daemon/syslog.h"

namespace {

// Zero-filled allocation that logs its failure in the allocator's name.
template <typename T>
int alloc_zeroed(std::unique_ptr<T> &out, const char *func, bool list_head)
{
    T *p = new (std::nothrow) T{};
    if (p == nullptr) {
        if (list_head)
            log_error(func, "malloc(%zu): %s", sizeof(T), strerror(ENOMEM));
        else
            log_error(func, "calloc(1, %zu): %s", sizeof(T), strerror(ENOMEM));
        return -1;
    }
    out.reset(p);
    return 0;
}

// Lower bound of uuid in the sorted storage.
VDiskTree::Storage::const_iterator lower(const VDiskTree::Storage &v, const char *uuid)
{
    return std::lower_bound(v.begin(), v.end(), uuid,
                            [](const std::unique_ptr<VDisk> &vd, const char *key) {
                                return std::strcmp(vd->vdiskuuid, key) < 0;
                            });
}

}  // namespace

int HostAlloc(std::unique_ptr<Host> &out) { return alloc_zeroed(out, "HostAlloc", false); }
int HostListAlloc(std::unique_ptr<HostList> &out) { return alloc_zeroed(out, "HostListAlloc", true); }
int NodeAlloc(std::unique_ptr<Node> &out) { return alloc_zeroed(out, "NodeAlloc", false); }
int NodeListAlloc(std::unique_ptr<NodeList> &out) { return alloc_zeroed(out, "NodeListAlloc", true); }
int VDiskAlloc(std::unique_ptr<VDisk> &out) { return alloc_zeroed(out, "VDiskAlloc", false); }
int VDiskTreeAlloc(std::unique_ptr<VDiskTree> &out) { return alloc_zeroed(out, "VDiskTreeAlloc", true); }
int MemberAlloc(std::unique_ptr<Member> &out) { return alloc_zeroed(out, "MemberAlloc", false); }
int FrontendAlloc(std::unique_ptr<Frontend> &out) { return alloc_zeroed(out, "FrontendAlloc", false); }

void HostListFlush(HostList &list) { list.clear(); }
void NodeListFlush(NodeList &list) { list.clear(); }
void MemberListFlush(MemberList &list) { list.clear(); }
void FrontendListFlush(FrontendList &list) { list.clear(); }
void VDiskTreeFlush(VDiskTree &tree) { tree.v_.clear(); }

void VDiskInit(VDisk &vdisk, const VDiskEntry *vde)
{
    if (vde != nullptr)
        std::memcpy(&vdisk.vde, vde, sizeof(VDiskEntry));
    std::snprintf(vdisk.vdiskuuid, sizeof(vdisk.vdiskuuid), "%.*s", int(UUID_LEN), vdisk.vde.uuid);
    if (vdisk.vde.snapshot != 0)
        std::snprintf(vdisk.parentuuid, sizeof(vdisk.parentuuid), "%.*s", int(UUID_LEN),
                      vdisk.vde.description.snap.parent);
}

void MemberInit(Member &member, const MemberEntry *mbe)
{
    if (mbe != nullptr)
        member.mbe.node = mbe->node;
    std::snprintf(member.uuid, sizeof(member.uuid), "%u", member.mbe.node);
}

Member *MemberLookup(const MemberList &list, uint32_t nodeid)
{
    for (const auto &m : list)
        if (m->mbe.node == nodeid)
            return m.get();
    return nullptr;
}

int VDiskCompare(const VDisk &a, const VDisk &b) { return std::strcmp(a.vdiskuuid, b.vdiskuuid); }

VDisk *VDiskTree_RB_INSERT(VDiskTree &tree, std::unique_ptr<VDisk> &vdisk)
{
    auto it = lower(tree.v_, vdisk->vdiskuuid);
    if (it != tree.v_.end() && std::strcmp((*it)->vdiskuuid, vdisk->vdiskuuid) == 0)
        return it->get();
    if (tree.v_.size() == tree.v_.capacity()) {
        const auto at = it - tree.v_.begin();
        if (ListReserve("VDiskTree_RB_INSERT", tree.v_, tree.v_.empty() ? 16 : 2 * tree.v_.size()) != 0)
            return vdisk.get();
        it = tree.v_.begin() + at;
    }
    tree.v_.insert(it, std::move(vdisk));  // room was made: cannot throw
    return nullptr;
}

VDisk *VDiskTree_RB_FIND(const VDiskTree &tree, const char *uuid)
{
    auto it = lower(tree.v_, uuid);
    if (it != tree.v_.end() && std::strcmp((*it)->vdiskuuid, uuid) == 0)
        return it->get();
    return nullptr;
}
