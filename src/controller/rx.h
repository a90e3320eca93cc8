// Inside the receive path: one received datagram as every handler sees it,
// and the handlers of the message types.  receive.cpp receives, counts and
// dispatches; rx_node.cpp applies the node messages, rx_vdisk.cpp the vdisk
// messages.  Every line is logged under "controller_thread_loop".
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "object/model.h"
#include "proto/records.h"

// The name the whole receive path logs under.
inline constexpr char RX_FUNC[] = "controller_thread_loop";

// One received datagram.  Every read from `buf` is bounded by `r` before a
// field is touched; the records are packed, so they are read through their
// packed types or copied out.
struct RxMsg {
    const char *buf;     // the datagram, at the start of the message buffer
    ssize_t r;           // its length: at least sizeof(Hdr)
    const Hdr *hdr;      // the header at offset 0
    const char *ipaddr;  // source address as dotted text
    int port;            // source port, host order
    VDiskTree &vdt;      // scratch tree for the vdisk messages, empty on entry
};

// The record at `offset` of the datagram; the caller has checked that it
// ends within r.  Records are packed (alignment 1), so any offset is fine.
template <typename T>
const T *rx_record(const RxMsg &msg, size_t offset)
{
    return reinterpret_cast<const T *>(msg.buf + offset);
}

// Creates or refreshes the sending node's record under its node lock.  0, or
// -1 when the lock or NodeCreate failed (both log their own failures).
int rx_node_create(const RxMsg &msg);

// Node messages (rx_node.cpp).  HEARTBEAT refreshes a known node's lastping;
// AUX_PING (at least 236 bytes) creates or refreshes the node and stores its
// statistics; DS_PING creates or refreshes the node and joins (294 bytes) or
// leaves (shorter) its datastore, the datastore side first; any other type
// is logged and dumped.
void rx_heartbeat(const RxMsg &msg);
void rx_aux_ping(const RxMsg &msg);
void rx_ds_ping(const RxMsg &msg);
void rx_unknown(const RxMsg &msg);

// Vdisk messages (rx_vdisk.cpp).  PING and SINGLE_VDISK_PING create or
// refresh the node and apply every vdisk entry; a PING whose every entry was
// applied then gives up the node's vdisks it no longer lists.  VDISK_DELETED
// creates or refreshes the node and gives up the named vdisk.
void rx_ping(const RxMsg &msg);
void rx_single_vdisk_ping(const RxMsg &msg);
void rx_vdisk_deleted(const RxMsg &msg);
