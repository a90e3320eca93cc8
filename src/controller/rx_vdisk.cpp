// Applying the vdisk messages: PING and SINGLE_VDISK_PING (vdisk entries,
// each followed by its member and frontend records) and VDISK_DELETED.
//
// Each entry becomes a VDisk that is applied under its own lock and then
// listed in the scratch tree vdt.  A PING describes every vdisk of its node,
// so when all of its entries were applied, the vdisks the node's record still
// references but the PING no longer lists are given up (the stale sweep).  A
// PING that was only partly understood never removes anything.  Locks are
// taken one at a time: node, then each vdisk, then a snapshot's parent.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "controller/rx.h"
#include "daemon/syslog.h"
#include "object/attr.h"
#include "object/model.h"
#include "object/node.h"
#include "object/snapshot.h"
#include "object/vdisk.h"
#include "proto/msg.h"

namespace {

// Builds the VDisk of the entry at `pos` (the caller has checked that the
// entry itself fits) with its member and frontend records, and stores the
// position of the following entry in *next.  0, or -1 when a member or
// frontend record does not end within the datagram or an allocation failed
// (logged); `vdisk` then holds what was built, for the caller to release.
int rx_vdisk_build(const RxMsg &msg, size_t pos, std::unique_ptr<VDisk> &vdisk, size_t *next)
{
    const size_t end = static_cast<size_t>(msg.r);
    const VDiskEntry *vde = rx_record<VDiskEntry>(msg, pos);
    vde_dump(vde);
    if (VDiskAlloc(vdisk) != 0)
        return -1;
    VDiskInit(*vdisk, vde);

    size_t at = pos + sizeof(VDiskEntry);
    // One allocation per list, bounded by what the datagram can hold, so a
    // forged count cannot ask for more.
    const size_t room = (end - at) / sizeof(MemberEntry);
    const size_t members = std::min<size_t>(vdisk->vde.members, room);
    if (ListReserve(RX_FUNC, vdisk->members, members) != 0 ||
        ListReserve(RX_FUNC, vdisk->frontends,
                    std::min<size_t>(vdisk->vde.frontends, room - members)) != 0)
        return -1;
    for (unsigned k = 0; k < vdisk->vde.members; k++, at += sizeof(MemberEntry)) {
        if (at + sizeof(MemberEntry) > end) {
            log_error(RX_FUNC, "Malformed packet? #2");
            return -1;
        }
        const MemberEntry *mbe = rx_record<MemberEntry>(msg, at);
        mbe_dump(mbe);
        std::unique_ptr<Member> member;
        if (MemberAlloc(member) != 0)
            return -1;
        MemberInit(*member, mbe);
        if (ListAppend(RX_FUNC, vdisk->members, member) != 0)
            return -1;
    }
    for (unsigned k = 0; k < vdisk->vde.frontends; k++, at += sizeof(FrontendEntry)) {
        if (at + sizeof(FrontendEntry) > end) {
            log_error(RX_FUNC, "Malformed packet? #3");
            return -1;
        }
        const FrontendEntry *fee = rx_record<FrontendEntry>(msg, at);
        fee_dump(fee);
        std::unique_ptr<Frontend> frontend;
        if (FrontendAlloc(frontend) != 0)
            return -1;
        std::memcpy(&frontend->fee, fee, sizeof(FrontendEntry));
        struct in_addr addr;
        addr.s_addr = htonl(frontend->fee.node);
        if (inet_ntop(AF_INET, &addr, frontend->ipaddr, sizeof(frontend->ipaddr)) == nullptr) {
            log_error(RX_FUNC, "inet_ntop(): %s", strerror(errno));
            return -1;
        }
        if (ListAppend(RX_FUNC, vdisk->frontends, frontend) != 0)
            return -1;
    }
    *next = at;
    return 0;
}

// Checks what an entry would write into the store before anything is
// locked or written.  The vdisk's uuid, and a snapshot's parent uuid, name
// directories and lock files: an empty name, "." or "..", or one with a "/"
// would lead outside the store.  A snapshot of itself would wait for its own
// lock whenever it is removed.  A member id 0 names no node and would make the
// vdisk's membership unreadable for every member.  0 when the entry may be
// applied; -1 after the refusal line.
int rx_vdisk_check(const VDisk &vdisk)
{
    if (ObjectNameCheck(RX_FUNC, "vdisk", vdisk.vdiskuuid) != 0)
        return -1;
    if (vdisk.vde.snapshot != 0) {
        if (ObjectNameCheck(RX_FUNC, "parent", vdisk.parentuuid) != 0)
            return -1;
        if (std::strcmp(vdisk.parentuuid, vdisk.vdiskuuid) == 0) {
            log_error(RX_FUNC, "Refusing VDisk %s as a snapshot of itself", vdisk.vdiskuuid);
            return -1;
        }
    }
    if (MemberLookup(vdisk.members, 0) != nullptr) {
        log_error(RX_FUNC, "Refusing VDisk %s with member node 0", vdisk.vdiskuuid);
        return -1;
    }
    return 0;
}

// Applies one built entry: VDiskCreate under the vdisk's lock, then for a
// snapshot outside a transaction its link at the parent under the parent's
// lock, then lists the vdisk in vdt (which takes it over).  0 when listed;
// -1 when the entry was refused, not applied, or is a duplicate (applied to
// the store all the same).
int rx_vdisk_apply(const RxMsg &msg, std::unique_ptr<VDisk> &vdisk)
{
    if (rx_vdisk_check(*vdisk) != 0)
        return -1;
    if (VDiskLock(vdisk.get()) < 0)
        return -1;
    int rc = VDiskCreate(msg.hdr, vdisk.get());
    VDiskUnlock(vdisk.get());
    if (rc < 0)
        return -1;

    if (vdisk->vde.snapshot != 0 && vdisk->vde.transaction_id == 0) {
        if (ParentLock(vdisk.get()) < 0)
            return -1;
        rc = ParentUpdate_RefSnapshot(vdisk.get());
        ParentUnlock(vdisk.get());
        if (rc < 0)
            return -1;
    }

    const VDisk *self = vdisk.get();
    const VDisk *present = VDiskTree_RB_INSERT(msg.vdt, vdisk);
    if (present == self)
        return -1;  // no memory to list it (logged)
    if (present != nullptr) {
        log_error(RX_FUNC, "Duplicate VDisk Entry %s", vdisk->vdiskuuid);
        return -1;
    }
    return 0;
}

// Walks the entries from offset 207 on; bytes after the last whole entry are
// ignored.  The number of entries not applied, or -1 when the walk ended
// early (malformed records, no memory): the entries before stay applied.
int rx_vdisk_walk(const RxMsg &msg)
{
    const size_t end = static_cast<size_t>(msg.r);
    int failed = 0;
    for (size_t pos = HDR_LEN; pos + sizeof(VDiskEntry) <= end;) {
        std::unique_ptr<VDisk> vdisk;
        size_t next;
        if (rx_vdisk_build(msg, pos, vdisk, &next) != 0)
            return -1;
        if (rx_vdisk_apply(msg, vdisk) != 0)
            failed++;
        pos = next;
    }
    return failed;
}

// Node hdr->uid no longer serves the vdisk (named by vdiskuuid): under the
// vdisk's lock it is loaded and, when it exists here, given up.  One that does
// not load may be what a removal cut short left behind: that removal is
// finished.
void rx_vdisk_gone(const Hdr *hdr, VDisk *vdisk)
{
    if (VDiskLock(vdisk) < 0)
        return;
    if (VDiskLoad(nullptr, vdisk) == 0)
        VDiskGone(hdr, vdisk);
    else
        VDiskGone_Leftover(hdr, vdisk);
    VDiskUnlock(vdisk);
}

// Gives up every vdisk that the node's record references and vdt does not
// list, in uuid order.
void rx_stale_sweep(const RxMsg &msg)
{
    const Hdr *hdr = msg.hdr;
    VDiskTree oldvdt;
    if (NodeLock(hdr->uid) < 0)
        return;
    int rc = NodeLoad_VDisks(hdr->uid, oldvdt);
    NodeUnlock(hdr->uid);
    if (rc < 0)
        return;
    for (const auto &vdisk : oldvdt) {
        if (VDiskTree_RB_FIND(msg.vdt, vdisk->vdiskuuid) != nullptr)
            continue;
        log_notice(RX_FUNC, "Stale VDisk %s of member %u", vdisk->vdiskuuid, hdr->uid);
        rx_vdisk_gone(hdr, vdisk.get());
    }
    VDiskTreeFlush(oldvdt);
}

// PING and SINGLE_VDISK_PING share one procedure; only a complete PING
// (every entry applied, or no entry at all) sweeps.
void rx_vdisk_ping(const RxMsg &msg, bool sweep)
{
    if (rx_node_create(msg) != 0)
        return;
    int failed = rx_vdisk_walk(msg);
    if (sweep && failed == 0)
        rx_stale_sweep(msg);
}

}  // namespace

void rx_ping(const RxMsg &msg) { rx_vdisk_ping(msg, true); }

void rx_single_vdisk_ping(const RxMsg &msg) { rx_vdisk_ping(msg, false); }

void rx_vdisk_deleted(const RxMsg &msg)
{
    const Hdr *hdr = msg.hdr;
    if (rx_node_create(msg) != 0)
        return;
    if (static_cast<size_t>(msg.r) < VDISK_DELETED_LEN) {
        log_error(RX_FUNC, "Malformed packet? #4");
        return;
    }
    VDiskDeleteEntry vdde;
    std::memcpy(&vdde, msg.buf + HDR_LEN, sizeof(vdde));
    if (vdde.node != hdr->uid)
        log_error(RX_FUNC, "HASHREQ_VDISK_DELETED %u != %u, using %u", hdr->uid, vdde.node,
                  hdr->uid);

    std::unique_ptr<VDisk> vdisk;
    if (VDiskAlloc(vdisk) != 0)
        return;
    std::memcpy(vdisk->vde.uuid, vdde.uuid, sizeof(vdde.uuid));
    VDiskInit(*vdisk, nullptr);
    if (ObjectNameCheck(RX_FUNC, "vdisk", vdisk->vdiskuuid) != 0)
        return;
    rx_vdisk_gone(hdr, vdisk.get());
}
