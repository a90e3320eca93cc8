// Announcing the local nodes: the ping and heartbeat cycles, the transmit
// step that delivers one message to every target, and the steps that the
// cycles share with the CTRL commands (ctrl_cmd.cpp): preparing a node,
// loading it under its lock, and sending its DS_PING and AUX_PING.
#pragma once

#include <cstddef>

struct Node;
struct VDisk;

// One ping cycle over all local nodes (DS_PING, AUX_PING and PING per node),
// built in `buf` (`buflen` bytes) and sent on the UDP socket `so`.
void send_pings(char *buf, size_t buflen, int so);
// One heartbeat cycle over all local nodes, as send_pings.
void send_heartbeats(char *buf, size_t buflen, int so);
// Sends the first `msglen` bytes of `buf` on `so` to every target (the
// unicast hosts in unicast mode, the multicast groups otherwise), with its
// authentication trailer after it when signing (auth.h), counting
// every complete send under ALL and under statistics slot `idx` (1 to 6).
// 0 when every send was complete (also when there is no target); -1 when at
// least one failed or was short (each logged).
int xmit_msg(const char *buf, size_t msglen, int so, int idx);

// Wipes what the last cycle loaded: hdr, dse and aux zeroed, dsuuid
// emptied, the vdisks tree flushed.
void prepare_node(Node *node);

// What local_node_load reads besides the header and statistics.
enum LocalNodeParts : unsigned {
    LOAD_NODE = 0,                 // NodeLoad only
    LOAD_DSMEMBER = 1u << 0,       // NodeLoad_DSMember; a failure leaves dsuuid empty
    LOAD_DSMEMBER_STRICT = 1u << 1,  // NodeLoad_DSMember; a failure fails the load
    LOAD_VDISKS = 1u << 2,         // NodeLoad_VDisks (uuids only)
};
// Under the node's lock: NodeLoad, then the parts asked for in this order.
// 0; LOAD_DS_UNKNOWN when, with LOAD_DSMEMBER, the node has a datastore
// membership that could not be read (dsuuid is then empty, but the node is
// not known to be in no datastore); -1 when the lock or a required load
// failed (logged by the store).
inline constexpr int LOAD_DS_UNKNOWN = 1;
int local_node_load(Node *node, unsigned parts);
// Under the datastore's lock: DatastoreLoad of node->dsuuid into node->dse.
// 0 (also when dsuuid is empty: nothing to load), or -1 when the lock or the
// load failed.
int local_node_load_datastore(Node *node);
// Under the vdisk's lock: VDiskLoad(node, vdisk).  0 or -1.
int local_vdisk_load(Node *node, VDisk *vdisk);

// Build and send the node's DS_PING (statistics slot 2) or AUX_PING (slot
// 3), logging under `func` the "Send ..." line or the "Oversized ..." error.
// 0 when the message was built (whatever the sends did), -1 when not.
int xmit_ds_ping(const char *func, const Node *node, char *buf, size_t buflen, int so);
int xmit_aux_ping(const char *func, const Node *node, char *buf, size_t buflen, int so);
