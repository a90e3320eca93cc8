// In-memory objects: the local nodes with their datastore, statistics and
// vdisks, the vdisks carried by one message with their members and frontends,
// and the peer addresses the daemon sends to.  Ownership is expressed in the
// types: every container holds std::unique_ptr elements, so releasing a
// container releases everything reachable from it, exactly once.
#pragma once

#include <netinet/in.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "daemon/syslog.h"
#include "proto/records.h"

// One peer address: a unicast host or a multicast group.
struct Host {
    char ipaddr[16];        // dotted-quad text as written
    struct sockaddr_in sa;  // address and port datagrams go to
};
using HostList = std::vector<std::unique_ptr<Host>>;

// One member node of a vdisk.
struct Member {
    MemberEntry mbe;  // mbe.node: the member's node id
    char uuid[16];    // mbe.node as unsigned decimal text
};
using MemberList = std::vector<std::unique_ptr<Member>>;

// One frontend of a vdisk.
struct Frontend {
    FrontendEntry fee;  // IPv4 address, first octet most significant
    char ipaddr[16];    // the same address as dotted-quad text
};
using FrontendList = std::vector<std::unique_ptr<Frontend>>;

// One virtual disk, with the entry exactly as carried in messages.
struct VDisk {
    VDiskEntry vde;
    char vdiskuuid[16];   // vde.uuid as text: the tree key
    char parentuuid[16];  // snapshots: vde.description.snap.parent as text
    MemberList members;
    int members_count;    // set when loaded from disk; 0 for received vdisks
    FrontendList frontends;
    int frontends_count;  // likewise
};

// Vdisks ordered by vdiskuuid in byte order (as strcmp).  Insertion refuses a
// duplicate key.  Iteration (begin/end) walks in ascending key order.
class VDiskTree {
public:
    using Storage = std::vector<std::unique_ptr<VDisk>>;
    Storage::const_iterator begin() const { return v_.begin(); }
    Storage::const_iterator end() const { return v_.end(); }
    bool empty() const { return v_.empty(); }
    size_t size() const { return v_.size(); }

private:
    friend VDisk *VDiskTree_RB_INSERT(VDiskTree &, std::unique_ptr<VDisk> &);
    friend VDisk *VDiskTree_RB_FIND(const VDiskTree &, const char *);
    friend void VDiskTreeFlush(VDiskTree &);
    Storage v_;  // sorted; keeps its capacity across flushes
};

// One node, as announced in its pings.
struct Node {
    Hdr hdr;
    DatastoreEntry dse;  // all zero when the node is in no datastore
    AuxPingData aux;
    char nodeuuid[16];   // nodeid as unsigned decimal text
    char dsuuid[16];     // the node's datastore uuid, empty when none
    uint32_t nodeid;
    VDiskTree vdisks;
};
using NodeList = std::vector<std::unique_ptr<Node>>;

// Allocation: store a new zero-filled object (empty lists and trees) in `out`
// and return 0; on failure log the calloc/malloc line and return -1, leaving
// `out` unchanged.
int HostAlloc(std::unique_ptr<Host> &out);
int HostListAlloc(std::unique_ptr<HostList> &out);
int NodeAlloc(std::unique_ptr<Node> &out);
int NodeListAlloc(std::unique_ptr<NodeList> &out);
int VDiskAlloc(std::unique_ptr<VDisk> &out);
int VDiskTreeAlloc(std::unique_ptr<VDiskTree> &out);
int MemberAlloc(std::unique_ptr<Member> &out);
int FrontendAlloc(std::unique_ptr<Frontend> &out);

// Flush: empty a container, releasing everything it owns.  Counts kept
// elsewhere (members_count, frontends_count) are not touched.
void HostListFlush(HostList &list);
void NodeListFlush(NodeList &list);
void MemberListFlush(MemberList &list);
void FrontendListFlush(FrontendList &list);
void VDiskTreeFlush(VDiskTree &tree);

// Copies *vde (when given) into vdisk.vde, then derives vdiskuuid and, for a
// snapshot, parentuuid (each at most 14 characters).
void VDiskInit(VDisk &vdisk, const VDiskEntry *vde);
// Copies mbe->node (when given), then sets uuid to "%u" of mbe.node.
void MemberInit(Member &member, const MemberEntry *mbe);
// First member whose mbe.node is nodeid, or nullptr.
Member *MemberLookup(const MemberList &list, uint32_t nodeid);
// strcmp of the two vdiskuuid texts.
int VDiskCompare(const VDisk &a, const VDisk &b);

// Inserts vdisk: nullptr when added (ownership moves into the tree); the
// element already present when the key exists, or vdisk itself when no memory
// was left for it (logged); in both cases vdisk stays with the caller.
VDisk *VDiskTree_RB_INSERT(VDiskTree &tree, std::unique_ptr<VDisk> &vdisk);

// Growing a list never throws out of the store or the receive path: an
// allocation failure is logged under func like any other ("malloc(<size>):
// <error>") and the operation fails.  0 or -1.
template <typename List>
int ListReserve(const char *func, List &list, size_t n) noexcept
{
    try {
        list.reserve(n);
        return 0;
    } catch (const std::bad_alloc &) {
    } catch (const std::length_error &) {
    }
    log_error(func, "malloc(%zu): %s", n * sizeof(typename List::value_type), strerror(ENOMEM));
    return -1;
}
// Appends item (moved in on success; left with the caller on failure).
template <typename List, typename Item>
int ListAppend(const char *func, List &list, Item &item) noexcept
{
    if (list.size() == list.capacity() &&
        ListReserve(func, list, list.empty() ? 4 : 2 * list.size()) != 0)
        return -1;
    list.push_back(std::move(item));  // room was made: cannot throw
    return 0;
}
// The vdisk whose vdiskuuid equals uuid, or nullptr.
VDisk *VDiskTree_RB_FIND(const VDiskTree &tree, const char *uuid);
