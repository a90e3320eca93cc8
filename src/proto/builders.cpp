// Builders: each lays out one message about a local node in the caller's
// buffer.  The records are copied byte for byte from the in-memory objects;
// only the header's type, the AUX_PING length and the VDISK_DELETED entry are
// set here.  The buffer is cleared in full first, so no byte of an earlier,
// longer message survives into a shorter one.
#include "proto/builders.h"

#include <cstring>

#include "daemon/check.h"
#include "daemon/syslog.h"
#include "object/model.h"
#include "proto/records.h"

namespace {

// Clears the buffer, copies the node's header and sets its type.
void start_message(const Node *node, uint8_t type, char *buf, size_t buflen)
{
    MARLO_ASSERT(buflen >= HDR_LEN);
    std::memset(buf, 0, buflen);
    std::memcpy(buf, &node->hdr, HDR_LEN);
    buf[offsetof(Hdr, type)] = char(type);
}

const char *vdisk_kind(const VDisk &vdisk) { return vdisk.vde.snapshot != 0 ? "Snapshot" : "Plain"; }

// Appends the vdisk's member records, then its frontend records, at *pos.
// 0, or -1 as soon as a record would end beyond buflen.
int append_members_frontends(const char *fn, const VDisk &vdisk, char *buf, size_t buflen,
                             size_t *pos)
{
    const char *kind = vdisk_kind(vdisk);
    for (const auto &member : vdisk.members) {
        if (*pos + sizeof(MemberEntry) > buflen)
            return -1;
        std::memcpy(buf + *pos, &member->mbe, sizeof(MemberEntry));
        log_debug(fn, "APPEND %s Member entry %zu bytes", kind, sizeof(MemberEntry));
        *pos += sizeof(MemberEntry);
    }
    for (const auto &frontend : vdisk.frontends) {
        if (*pos + sizeof(FrontendEntry) > buflen)
            return -1;
        std::memcpy(buf + *pos, &frontend->fee, sizeof(FrontendEntry));
        log_debug(fn, "APPEND %s Frontend entry %zu bytes", kind, sizeof(FrontendEntry));
        *pos += sizeof(FrontendEntry);
    }
    return 0;
}

// Appends one vdisk group (entry, members, frontends) at *pos: 0 or -1.
int append_vdisk(const char *fn, const VDisk &vdisk, char *buf, size_t buflen, size_t *pos)
{
    if (*pos + sizeof(VDiskEntry) > buflen)
        return -1;
    std::memcpy(buf + *pos, &vdisk.vde, sizeof(VDiskEntry));
    log_debug(fn, "APPEND %s VDisk entry %zu bytes", vdisk_kind(vdisk), sizeof(VDiskEntry));
    *pos += sizeof(VDiskEntry);
    return append_members_frontends(fn, vdisk, buf, buflen, pos);
}

}  // namespace

int build_vdisk_ping(const Node *node, char *buf, size_t buflen, size_t *msglen)
{
    static const char fn[] = "build_vdisk_ping";
    start_message(node, MSG_PING, buf, buflen);
    log_debug(fn, "APPEND VDisk Ping header %zu bytes", HDR_LEN);

    // Plain vdisks first, then snapshots; each run in ascending uuid order.
    size_t pos = HDR_LEN;
    for (int snapshots = 0; snapshots < 2; snapshots++) {
        for (const auto &vdisk : node->vdisks) {
            if ((vdisk->vde.snapshot != 0) != (snapshots != 0))
                continue;
            if (append_vdisk(fn, *vdisk, buf, buflen, &pos) < 0)
                return -1;
        }
    }
    *msglen = pos;
    return 0;
}

int build_single_vdisk_ping(const Node *node, const VDisk *vdisk, char *buf, size_t buflen,
                            size_t *msglen)
{
    static const char fn[] = "build_single_vdisk_ping";
    MARLO_ASSERT(buflen >= HDR_LEN + sizeof(VDiskEntry));
    start_message(node, MSG_SINGLE_VDISK_PING, buf, buflen);
    log_debug(fn, "APPEND Single VDisk Ping header %zu bytes", HDR_LEN);

    std::memcpy(buf + HDR_LEN, &vdisk->vde, sizeof(VDiskEntry));
    log_debug(fn, "APPEND Single %s VDisk entry %zu bytes", vdisk_kind(*vdisk), sizeof(VDiskEntry));
    size_t pos = HDR_LEN + sizeof(VDiskEntry);
    if (append_members_frontends(fn, *vdisk, buf, buflen, &pos) < 0)
        return -1;
    *msglen = pos;
    return 0;
}

int build_ds_ping(const Node *node, char *buf, size_t buflen, size_t *msglen)
{
    static const char fn[] = "build_ds_ping";
    MARLO_ASSERT(buflen >= DS_PING_LEN);
    start_message(node, MSG_DS_PING, buf, buflen);
    log_debug(fn, "APPEND Datastore Ping header %zu bytes", HDR_LEN);

    if (node->dsuuid[0] == '\0') {
        *msglen = HDR_LEN;  // the node is in no datastore
        return 0;
    }
    std::memcpy(buf + HDR_LEN, &node->dse, sizeof(DatastoreEntry));
    log_debug(fn, "APPEND Datastore Ping entry %zu bytes", sizeof(DatastoreEntry));
    *msglen = DS_PING_LEN;
    return 0;
}

int build_aux_ping(const Node *node, char *buf, size_t buflen, size_t *msglen)
{
    static const char fn[] = "build_aux_ping";
    MARLO_ASSERT(buflen >= AUX_PING_LEN);
    start_message(node, MSG_AUX_PING, buf, buflen);
    // The header counts with the zero byte at 207 that precedes the data.
    log_debug(fn, "APPEND Node Ping header %zu bytes", HDR_LEN + 1);

    AuxPingData aux = node->aux;
    aux.length = sizeof(AuxPingData);
    std::memcpy(buf + HDR_LEN + 1, &aux, sizeof(AuxPingData));
    log_debug(fn, "APPEND Node Ping data %zu bytes", sizeof(AuxPingData));
    *msglen = AUX_PING_LEN;
    return 0;
}

int build_heartbeat(const Node *node, char *buf, size_t buflen, size_t *msglen)
{
    static const char fn[] = "build_heartbeat";
    start_message(node, MSG_HEARTBEAT, buf, buflen);
    log_debug(fn, "APPEND Node Heartbeat header %zu bytes", HDR_LEN);
    *msglen = HDR_LEN;
    return 0;
}

int build_vdisk_deleted(const Node *node, const char *vdiskuuid, char *buf, size_t buflen,
                        size_t *msglen)
{
    static const char fn[] = "build_vdisk_deleted";
    MARLO_ASSERT(buflen >= VDISK_DELETED_LEN);
    start_message(node, MSG_VDISK_DELETED, buf, buflen);
    log_debug(fn, "APPEND VDisk Deleted header %zu bytes", HDR_LEN);

    VDiskDeleteEntry vdd;
    std::memset(&vdd, 0, sizeof(vdd));
    vdd.node = node->hdr.uid;
    size_t len = strnlen(vdiskuuid, UUID_LEN + 1);
    if (len > UUID_LEN)
        return -1;
    std::memcpy(vdd.uuid, vdiskuuid, len);
    std::memcpy(buf + HDR_LEN, &vdd, sizeof(vdd));
    log_debug(fn, "APPEND VDisk Deleted entry %zu bytes", sizeof(VDiskDeleteEntry));
    *msglen = VDISK_DELETED_LEN;
    return 0;
}
