// Applying the node messages: HEARTBEAT, AUX_PING, DS_PING, and the log line
// for any type this daemon does not know.  The node's own record is updated
// under its node lock, the datastore under the datastore lock, never both at
// once; the datastore side changes first whether the node joins or leaves.
#include <cstdio>

#include "controller/rx.h"
#include "daemon/syslog.h"
#include "object/attr.h"
#include "object/datastore.h"
#include "object/node.h"
#include "proto/msg.h"

namespace {

// The node joins the datastore of the entry: the datastore links the node,
// then the node records the datastore.
void rx_ds_join(const RxMsg &msg, const DatastoreEntry *dse)
{
    dse_dump(dse);
    if (DatastoreLock(dse) < 0)
        return;
    int rc = DatastoreCreate(msg.hdr, dse);
    DatastoreUnlock(dse);
    if (rc < 0)
        return;
    if (NodeLock(msg.hdr->uid) < 0)
        return;
    NodeUpdate_RefDatastore(msg.hdr, dse);
    NodeUnlock(msg.hdr->uid);
}

// The node belongs to no datastore any more: the datastore it recorded drops
// it (and goes when it was the last member), then the node's record drops
// the reference.  A node that recorded none is left as it is.
void rx_ds_leave(const RxMsg &msg)
{
    char nodeuuid[16];
    std::snprintf(nodeuuid, sizeof(nodeuuid), "%u", msg.hdr->uid);
    char dsuuid[16];
    if (NodeLock(msg.hdr->uid) < 0)
        return;
    int rc = NodeLoad_DSMember(nodeuuid, dsuuid, sizeof(dsuuid));
    NodeUnlock(msg.hdr->uid);
    if (rc < 0)
        return;
    if (dsuuid[0] != '\0') {
        if (DatastoreLockStr(dsuuid) < 0)
            return;
        rc = DatastoreUpdate_UnrefNode(dsuuid, nodeuuid);
        DatastoreUnlockStr(dsuuid);
        if (rc < 0)
            return;
    }
    if (NodeLock(msg.hdr->uid) < 0)
        return;
    NodeUpdate_UnrefDatastore(msg.hdr);
    NodeUnlock(msg.hdr->uid);
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
    if (rx_node_create(msg) != 0)
        return;
    if (static_cast<size_t>(msg.r) >= DS_PING_LEN)
        rx_ds_join(msg, rx_record<DatastoreEntry>(msg, HDR_LEN));
    else
        rx_ds_leave(msg);
}

void rx_unknown(const RxMsg &msg)
{
    log_error(RX_FUNC, "Received unknown header type %u", unsigned(msg.hdr->type));
    hdr_dump(msg.hdr);
}
