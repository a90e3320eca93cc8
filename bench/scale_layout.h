// The cluster of the scale benchmark: H hosts with L local nodes each, laid
// out by the load generator's cluster model (bench/cluster.h) and written
// into each host's store as the host's storage programs leave it
// (tests/integration/store_seed.h), and what every host's store holds once
// the daemons have told each other everything.
//
// Node i (id first_uid + i) lives on host i mod H, so the 3 members of a
// vdisk (consecutive nodes of the model) lie on 3 different hosts.  Each
// host's store starts with its own nodes, their datastores and their vdisks
// with the full member list but only the local member's member data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cluster.h"
#include "scale_watch.h"
#include "store_seed.h"

struct ScaleShape {
    unsigned hosts = 8;            // H
    unsigned local = 2;            // L, nodes per host
    unsigned vdisks_per_node = 20;  // memberships per node
    unsigned datastores = 4;       // the nodes are spread over this many
    unsigned snap_every = 10;      // about 1 in k vdisks a snapshot
};

// What a converged store shows of one vdisk.
struct VDiskModel {
    std::vector<uint32_t> membership;                      // the membership file
    std::map<uint32_t, std::vector<std::string>> members;  // member data: node -> frontends
    std::string parent;                                    // snapshots
};

// What every converged store shows.
struct StoreModel {
    std::map<uint32_t, std::string> node_ds;  // node -> its datastore
    std::map<std::string, VDiskModel> vdisks;

    // Conditions under which the store at `work` shows all of it: every
    // node with its datastore and a member link there, every vdisk with its
    // member list, each member's frontends and the member's link to it, the
    // parent of every snapshot and, with `snapshot_links`, the link to it
    // kept by its parent.
    void expect(Watch &w, size_t host, const std::string &work, bool snapshot_links) const;
};

class ScaleLayout {
public:
    // false when the shape is impossible (why in *error).
    bool build(const ScaleShape &shape, std::string *error);

    const ScaleShape &shape() const { return shape_; }
    size_t nodes() const { return cluster_.messages().size(); }
    uint32_t node_id(size_t i) const { return cluster_.node(i).nodeid; }
    size_t host_of(size_t i) const { return i % shape_.hosts; }
    // Node indexes of host h.
    std::vector<size_t> local(size_t h) const;
    std::string datastore_of(size_t i) const { return cluster_.node(i).dsuuid; }
    // Vdisks in the cluster as laid out (before any scenario).
    size_t vdisk_count() const { return model_.vdisks.size(); }
    // The store every host shows after the cold start.
    const StoreModel &model() const { return model_; }

    // Writes host h's store below `work`: its nodes, their datastores, their
    // vdisks (the local member's data only).
    void seed(size_t h, const std::string &work) const;

    // What node i's host writes for it, as seeds.
    seed::NodeSpec node_spec(size_t i) const;
    seed::DatastoreSpec datastore_spec(size_t i, std::vector<uint32_t> members) const;

    // A plain vdisk that no snapshot names as parent, other than the ones in
    // `taken`; its uuid, or "" when there is none.
    std::string plain_vdisk(const std::set<std::string> &taken) const;
    // Node index of node id `id`.
    size_t index_of(uint32_t id) const { return id - cluster_.shape().first_uid; }

private:
    seed::VDiskSpec vdisk_spec(const VDisk &vd, size_t member) const;

    ScaleShape shape_;
    Cluster cluster_;
    StoreModel model_;
};
