// Message type names and the debug dumps of received records.  Every dump
// line is one log_debug call; text fields print with their full width as
// precision, since a full field carries no terminating NUL.
#include "proto/msg.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>

#include "daemon/syslog.h"

const char *const Msg_Types[MSG_TYPES_COUNT] = {
    "READ_REQ",
    "WRITE_REQ",
    "READ_RSP",
    "WRITE_RSP",
    "PING",
    "INFO_REQ",
    "INFO_RSP",
    "HASH_BROADCAST",
    "CREATE_REQ",
    "ACTIVATE_REQ",
    "DEACTIVATE_REQ",
    "DELETE_REQ",
    "SNAPSHOT_REQ",
    "SESSION_PING",
    "ACTIVATE_HEAD_REQ",
    "DEACTIVATE_HEAD_REQ",
    "DS_PING",
    "DSCREATE_REQ",
    "DSDELETE_REQ",
    "UPDATE_REQ",
    "START_VDISK_TXN_REQ",
    "END_VDISK_TXN_REQ",
    "FAIL_VDISK_TXN_REQ",
    "GET_VDISK_INFO_REQ",
    "ENABLE_VDISK_SYNC_MASTER",
    "ENABLE_VDISK_SYNC_SLAVE",
    "DISABLE_VDISK_SYNC",
    "PAUSE_VDISK_HEAD_REQ",
    "UNPAUSE_VDISK_HEAD_REQ",
    "SET_SEQNO",
    "SET_NODEMEMS",
    "SET_VDISK_SIZE",
    "HEARTBEAT",
    "SINGLE_VDISK_PING",
    "VDISK_DELETED",
    "UNKNOWN",  // also the name of every code above 35
};

namespace {

// Width of a fixed text field, as the precision of "%.*s".
template <size_t N>
constexpr int width(const char (&)[N])
{
    return int(N);
}

}  // namespace

const char *msg_type(const Hdr *hdr)
{
    if (hdr->type < MSG_TYPES_COUNT - 1)
        return Msg_Types[hdr->type];
    return Msg_Types[MSG_TYPES_COUNT - 1];
}

void hdr_dump(const Hdr *hdr)
{
    static const char fn[] = "hdr_dump";
    log_debug(fn, "major=%u", unsigned(hdr->major));
    log_debug(fn, "minor=%u", unsigned(hdr->minor));
    log_debug(fn, "type=%u [%s]", unsigned(hdr->type), msg_type(hdr));
    log_debug(fn, "nodestatus=%u", unsigned(hdr->nodestatus));
    log_debug(fn, "uid=%u", unsigned(hdr->uid));
    log_debug(fn, "vendor=%.*s", width(hdr->vendor), hdr->vendor);
    log_debug(fn, "model=%.*s", width(hdr->model), hdr->model);
    log_debug(fn, "revision.freespace=%u", unsigned(hdr->revision.freespace));
    log_debug(fn, "revision.utilization=%u", unsigned(hdr->revision.utilization));
    log_debug(fn, "revision.rev=%.*s", width(hdr->revision.rev), hdr->revision.rev);
    log_debug(fn, "serial=%.*s", width(hdr->serial), hdr->serial);
    log_debug(fn, "hbtl=%.*s", width(hdr->hbtl), hdr->hbtl);
    log_debug(fn, "size=%u", unsigned(hdr->size));
    log_debug(fn, "performance=%u", unsigned(hdr->performance));
    log_debug(fn, "hostid=%u", unsigned(hdr->hostid));
}

void dse_dump(const DatastoreEntry *dse)
{
    static const char fn[] = "dse_dump";
    log_debug(fn, "uuid=%.*s", width(dse->uuid), dse->uuid);
    log_debug(fn, "name=%.*s", width(dse->name), dse->name);
    log_debug(fn, "description=%.*s", width(dse->description), dse->description);
    log_debug(fn, "sector_size=%d", int(dse->sector_size));
    log_debug(fn, "replicas=%u", unsigned(dse->replicas));
    log_debug(fn, "stripes=%u", unsigned(dse->stripes));
    log_debug(fn, "overcommit=%u", unsigned(dse->overcommit));
}

void vde_dump(const VDiskEntry *vde)
{
    static const char fn[] = "vde_dump";
    log_debug(fn, "transaction_id=%u", unsigned(vde->transaction_id));
    log_debug(fn, "uuid=%.*s", width(vde->uuid), vde->uuid);
    log_debug(fn, "membership_gen_count=%u", unsigned(mshipgencnt_get(*vde)));
    log_debug(fn, "name=%.*s", width(vde->name.name), vde->name.name);
    log_debug(fn, "sector_size=%u", unsigned(vde->sector_size));
    log_debug(fn, "numkeys=%llu", static_cast<unsigned long long>(vde->numkeys));
    log_debug(fn, "sectors=%llu", static_cast<unsigned long long>(vde->sectors));
    log_debug(fn, "seqno=%llu", static_cast<unsigned long long>(vde->seqno));
    log_debug(fn, "snapshot=%u", unsigned(vde->snapshot));
    if (vde->snapshot != 0) {
        const SnapInfo &snap = vde->description.snap;
        log_debug(fn, "parent=%.*s", width(snap.parent), snap.parent);
        log_debug(fn, "snaptime=%02d-%02d-%02d_%02d.%02d.%02d", int(snap.y), int(snap.m),
                  int(snap.d), int(snap.H), int(snap.M), int(snap.S));
    } else {
        log_debug(fn, "description=%.*s", width(vde->description.descr), vde->description.descr);
    }
    log_debug(fn, "status=%u", unsigned(vde->status));
    log_debug(fn, "port=%u", unsigned(vde->port));
    log_debug(fn, "replicas=%u", unsigned(vde->replicas));
    log_debug(fn, "st_mem=%u", unsigned(vde->st_mem));
    log_debug(fn, "st_mems=%u", unsigned(vde->st_mems));
    log_debug(fn, "st_size=%u", unsigned(vde->st_size));
    log_debug(fn, "members=%u", unsigned(vde->members));
    log_debug(fn, "frontends=%u", unsigned(vde->frontends));
}

void mbe_dump(const MemberEntry *mbe)
{
    log_debug("mbe_dump", "node=%u", unsigned(mbe->node));
}

void fee_dump(const FrontendEntry *fee)
{
    if (!log_enabled(LOG_DEBUG))
        return;  // the address text is made only for the debug line
    // The record holds the address with the first octet most significant;
    // htonl() puts that octet first in memory, as inet_ntop() expects.
    struct in_addr addr;
    addr.s_addr = htonl(fee->node);
    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &addr, text, sizeof(text)) == nullptr) {
        log_error("fee_dump", "inet_ntop(): %s", strerror(errno));
        return;
    }
    log_debug("fee_dump", "node=%s", text);
}
