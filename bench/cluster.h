// A synthetic cluster for load generation: N nodes, each in a datastore,
// V vdisks of M members and F frontends (about one in k a snapshot of the
// vdisk before it), and the datagrams each node announces about itself.  The
// datagrams are laid out by the daemon's own builders from the daemon's own
// in-memory objects, so they are byte for byte what a real peer sends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "object/model.h"

struct ClusterShape {
    unsigned nodes = 8;          // N
    unsigned vdisks = 0;         // V, in the whole cluster
    unsigned members = 3;        // M, members per vdisk (at most N)
    unsigned frontends = 2;      // F, frontends per vdisk
    unsigned snap_every = 0;     // about 1 in k vdisks a snapshot of the one before; 0: none
    unsigned nodes_per_ds = 4;   // nodes sharing one datastore
    uint32_t first_uid = 1000;   // node ids first_uid .. first_uid + N - 1
    uint16_t generation = 1;     // membership generation of every vdisk
};

// The datagrams one node sends, in the order of one ping cycle, plus its
// heartbeat.
struct NodeMessages {
    uint32_t uid = 0;
    std::string ds_ping;
    std::string aux_ping;
    std::string ping;
    std::string heartbeat;
    unsigned ping_entries = 0;  // vdisk entries in `ping`
};

class Cluster {
public:
    // Builds every node with its vdisks and lays out its messages.  true, or
    // false when the shape is impossible or a PING would not fit one
    // datagram (why in *error).
    bool build(const ClusterShape &shape, std::string *error);

    const ClusterShape &shape() const { return shape_; }
    const std::vector<NodeMessages> &messages() const { return msgs_; }
    // The in-memory node (header, datastore, statistics, vdisk tree).
    const Node &node(size_t i) const { return *nodes_[i]; }
    // Vdisks in which node i is a member.
    size_t vdisks_of(size_t i) const { return nodes_[i]->vdisks.size(); }

private:
    ClusterShape shape_;
    std::vector<std::unique_ptr<Node>> nodes_;
    std::vector<NodeMessages> msgs_;
};

// Fills a node header as a peer of version 1.8 would announce it.
void bench_fill_hdr(Hdr &hdr, uint32_t uid);

// An AUX_PING from node `uid` whose memavail carries `value`: the store's
// Node/{uid}/memavail then reads back `value` once the daemon applied it.
std::string bench_marker_aux_ping(uint32_t uid, uint32_t value);
