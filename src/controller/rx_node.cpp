// Applying the node messages: HEARTBEAT, AUX_PING, DS_PING, and the log line
// for any type this daemon does not know.  The node's own record is updated
// under its node lock, the datastore under the datastore lock, never both at
// once.
#include <cstdio>
#include <cstring>

#include "controller/rx.h"
#include "daemon/syslog.h"
#include "object/attr.h"
#include "object/datastore.h"
#include "object/node.h"
#include "proto/msg.h"

namespace {

// The datastore drops node `nodeuuid` (and goes with its last member).  0,
// or -1 when the lock or the step failed.
int rx_ds_unref(const char *dsuuid, const char *nodeuuid)
{
    if (DatastoreLockStr(dsuuid) < 0)
        return -1;
    int rc = DatastoreUpdate_UnrefNode(dsuuid, nodeuuid);
    DatastoreUnlockStr(dsuuid);
    return rc < 0 ? -1 : 0;
}

// The node's record names datastore dse (1), or names none (0).  0 or -1.
int rx_ds_record(const RxMsg &msg, const DatastoreEntry *dse)
{
    if (NodeLock(msg.hdr->uid) < 0)
        return -1;
    int rc = dse != nullptr ? NodeUpdate_RefDatastore(msg.hdr, dse) : NodeUpdate_UnrefDatastore(msg.hdr);
    NodeUnlock(msg.hdr->uid);
    return rc < 0 ? -1 : 0;
}

// The node joins the datastore of the entry.  The datastore side is updated
// before the node side in both directions: leaving, the datastore drops the
// node before the record drops the datastore; joining, the datastore lists
// the node before the record names it.  A record therefore never names a
// datastore that does not list the node, whatever lock times out between
// the steps.  Only a datastore the record names readably and validly, and a
// different one, is left first; a damaged record, or one naming no valid
// datastore, leaves nothing by name (no removal on doubt) and is
// overwritten.  A join cut short (listed, not yet recorded) leaves a node
// without a record: a DS_PING for a node without one also takes the node
// out of every other datastore's list, on the node's own word (it announces
// one datastore).  So does a record that names the announced datastore when
// that datastore did not list the node: a switch cut short after the old
// datastore was left and the new one joined, before the record was
// written, and then the old datastore announced again.  A record in place
// whose datastore lists the node costs nothing more.  A join that fails
// after the old datastore was left drops the record, which would otherwise
// name a datastore that no longer lists the node.
void rx_ds_join(const RxMsg &msg, const DatastoreEntry *dse, const char *member,
                const char *nodeuuid)
{
    dse_dump(dse);
    char dsuuid[16];
    std::snprintf(dsuuid, sizeof(dsuuid), "%.*s", int(UUID_LEN), dse->uuid);
    bool left = false;
    if (std::strcmp(member, dsuuid) != 0) {
        if (member[0] != '\0' && ObjectNameCheck(RX_FUNC, "datastore", member) == 0) {
            if (rx_ds_unref(member, nodeuuid) != 0)
                return;
            left = true;
        }
        if (member[0] == '\0' && DatastoreUpdate_UnrefNodeElsewhere(dsuuid, nodeuuid) != 0)
            return;
    }
    int rc = -1;
    bool linked = false;
    if (DatastoreLock(dse) >= 0) {
        rc = DatastoreCreate(msg.hdr, dse, &linked);
        DatastoreUnlock(dse);
    }
    if (rc == 0 && linked && std::strcmp(member, dsuuid) == 0 &&
        DatastoreUpdate_UnrefNodeElsewhere(dsuuid, nodeuuid) != 0)
        return;
    if (rc == 0)
        rx_ds_record(msg, dse);
    else if (left)
        rx_ds_record(msg, nullptr);
}

}  // namespace

int rx_node_create(const RxMsg &msg)
{
    if (NodeLock(msg.hdr->uid) < 0)
        return -1;
    int rc = NodeCreate(msg.hdr, msg.ipaddr);
    NodeUnlock(msg.hdr->uid);
    return rc < 0 ? -1 : 0;
}

void rx_heartbeat(const RxMsg &msg)
{
    // Only the liveness time of a node that already has a record; the
    // length beyond the header is not looked at.
    if (NodeLock(msg.hdr->uid) < 0)
        return;
    NodeUpdate_HEARTBEAT(msg.hdr);
    NodeUnlock(msg.hdr->uid);
}

void rx_aux_ping(const RxMsg &msg)
{
    // The statistics lie at offset 208, one byte after the header.
    if (static_cast<size_t>(msg.r) < AUX_PING_LEN) {
        log_error(RX_FUNC, "Malformed Node Ping?");
        return;
    }
    if (NodeLock(msg.hdr->uid) < 0)
        return;
    if (NodeCreate(msg.hdr, msg.ipaddr) == 0)
        NodeUpdate_AuxPing(msg.hdr, rx_record<AuxPingData>(msg, HDR_LEN + 1));
    NodeUnlock(msg.hdr->uid);
}

void rx_ds_ping(const RxMsg &msg)
{
    // The node's datastore is read in the same round as the node is created
    // or refreshed: every DS_PING takes the node lock twice (refresh, then
    // the record).
    char nodeuuid[16];
    std::snprintf(nodeuuid, sizeof(nodeuuid), "%u", msg.hdr->uid);
    char member[16] = "";
    if (NodeLock(msg.hdr->uid) < 0)
        return;
    int rc = NodeCreate(msg.hdr, msg.ipaddr);
    bool damaged = false;
    const int loaded =
        rc < 0 ? -1 : NodeLoad_DSMember(nodeuuid, member, sizeof(member), &damaged);
    NodeUnlock(msg.hdr->uid);
    // A record that cannot be read (EIO, ...) says nothing: the step fails
    // and the next DS_PING retries.  A damaged one names no datastore to
    // leave, and is overwritten (join) or removed (leave) as the DS_PING says.
    if (rc < 0 || (loaded == -2 && !damaged))
        return;
    if (loaded == -2)
        member[0] = '\0';
    if (static_cast<size_t>(msg.r) >= DS_PING_LEN)
        rx_ds_join(msg, rx_record<DatastoreEntry>(msg, HDR_LEN), member, nodeuuid);
    else if (loaded != -1 && (member[0] == '\0' || rx_ds_unref(member, nodeuuid) == 0))
        rx_ds_record(msg, nullptr);
}

void rx_unknown(const RxMsg &msg)
{
    log_error(RX_FUNC, "Received unknown header type %u", unsigned(msg.hdr->type));
    hdr_dump(msg.hdr);
}
