// The load generator's cluster: the datagrams it sends must be what a real
// peer sends, or the benchmark measures something else.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "cluster.h"
#include "proto/records.h"

namespace {

struct Walked {
    unsigned entries = 0;
    unsigned snapshots = 0;
    std::set<std::string> uuids;
    std::map<std::string, std::string> parent_of;
    bool fits = true;
};

// Walks a PING as a receiver does, by the counts in each entry.
Walked walk(const std::string &ping)
{
    Walked w;
    size_t pos = sizeof(Hdr);
    while (pos + sizeof(VDiskEntry) <= ping.size()) {
        VDiskEntry vde;
        std::memcpy(&vde, ping.data() + pos, sizeof vde);
        std::string uuid(vde.uuid, strnlen(vde.uuid, sizeof vde.uuid));
        w.uuids.insert(uuid);
        w.entries++;
        if (vde.snapshot != 0) {
            w.snapshots++;
            w.parent_of[uuid] = std::string(vde.description.snap.parent,
                                            strnlen(vde.description.snap.parent, 14));
        }
        pos += sizeof(VDiskEntry) + 4 * (size_t(vde.members) + vde.frontends);
    }
    w.fits = pos == ping.size();
    return w;
}

TEST(BenchCluster, EveryNodeAnnouncesItsShareOfVdisksOnce)
{
    struct Case {
        unsigned nodes, vdisks, members, frontends, snap_every;
    };
    for (const Case &c : {Case{12, 1600, 3, 2, 10}, Case{10, 34, 3, 2, 0}, Case{3, 400, 3, 1, 10}}) {
        ClusterShape shape;
        shape.nodes = c.nodes;
        shape.vdisks = c.vdisks;
        shape.members = c.members;
        shape.frontends = c.frontends;
        shape.snap_every = c.snap_every;
        Cluster cluster;
        std::string err;
        ASSERT_TRUE(cluster.build(shape, &err)) << err;
        ASSERT_EQ(cluster.messages().size(), c.nodes);

        std::map<std::string, unsigned> members_seen;
        unsigned snapshots = 0, entries = 0;
        std::set<std::string> all;
        for (size_t i = 0; i < c.nodes; i++) {
            const NodeMessages &m = cluster.messages()[i];
            Walked w = walk(m.ping);
            EXPECT_TRUE(w.fits) << "node " << i << ": the counts do not describe the datagram";
            EXPECT_EQ(w.entries, m.ping_entries);
            EXPECT_EQ(w.uuids.size(), w.entries) << "node " << i << " lists a vdisk twice";
            const unsigned share = c.vdisks * c.members / c.nodes;
            EXPECT_GE(w.entries, share);
            EXPECT_LE(w.entries, share + 1);
            for (const auto &u : w.uuids)
                members_seen[u]++;
            for (const auto &[snap, parent] : w.parent_of) {
                all.insert(parent);
                EXPECT_LT(parent, snap);
            }
            snapshots += w.snapshots;
            entries += w.entries;
            // The other messages of the node, with their fixed sizes and types.
            EXPECT_EQ(m.ds_ping.size(), DS_PING_LEN);
            EXPECT_EQ(uint8_t(m.ds_ping[2]), MSG_DS_PING);
            EXPECT_EQ(m.aux_ping.size(), AUX_PING_LEN);
            EXPECT_EQ(uint8_t(m.aux_ping[2]), MSG_AUX_PING);
            EXPECT_EQ(m.heartbeat.size(), HDR_LEN);
            EXPECT_EQ(uint8_t(m.heartbeat[2]), MSG_HEARTBEAT);
            EXPECT_EQ(uint8_t(m.ping[2]), MSG_PING);
        }
        EXPECT_EQ(members_seen.size(), c.vdisks);
        for (const auto &[u, n] : members_seen)
            EXPECT_EQ(n, c.members) << u;
        // Parents are plain vdisks; snapshots are about one in snap_every.
        std::set<std::string> snaps;
        for (size_t i = 0; i < c.nodes; i++)
            for (const auto &sp : walk(cluster.messages()[i].ping).parent_of)
                snaps.insert(sp.first);
        for (const auto &parent : all)
            EXPECT_EQ(snaps.count(parent), 0u) << parent << " is a snapshot and a parent";
        if (c.snap_every == 0) {
            EXPECT_EQ(snapshots, 0u);
        } else {
            EXPECT_GT(snapshots * c.snap_every, entries / 2);
            EXPECT_LT(snapshots * c.snap_every, entries * 2);
        }
    }
}

TEST(BenchCluster, RefusesImpossibleClusters)
{
    Cluster cluster;
    std::string err;
    ClusterShape more_members_than_nodes;
    more_members_than_nodes.nodes = 2;
    more_members_than_nodes.members = 3;
    EXPECT_FALSE(cluster.build(more_members_than_nodes, &err));

    ClusterShape beyond_buffer;  // 500 entries of 145 bytes: no 64 KiB message
    beyond_buffer.nodes = 3;
    beyond_buffer.vdisks = 500;
    EXPECT_FALSE(cluster.build(beyond_buffer, &err));
    EXPECT_NE(err.find("message buffer"), std::string::npos) << err;

    ClusterShape beyond_udp;  // 207 + 416 * 157 = 65519 bytes: built, but no datagram
    beyond_udp.nodes = 3;
    beyond_udp.vdisks = 416;
    beyond_udp.frontends = 5;
    EXPECT_FALSE(cluster.build(beyond_udp, &err));
    EXPECT_NE(err.find("65507"), std::string::npos) << err;
}

TEST(BenchCluster, MarkerCarriesItsValueWhereTheStoreWritesMemavail)
{
    std::string m = bench_marker_aux_ping(4000000000u, 123456789u);
    ASSERT_EQ(m.size(), AUX_PING_LEN);
    EXPECT_EQ(uint8_t(m[2]), MSG_AUX_PING);
    AuxPingData aux;
    std::memcpy(&aux, m.data() + HDR_LEN + 1, sizeof aux);
    EXPECT_EQ(aux.memavail, 123456789u);
    EXPECT_EQ(aux.length, sizeof(AuxPingData));
    Hdr hdr;
    std::memcpy(&hdr, m.data(), sizeof hdr);
    EXPECT_EQ(hdr.uid, 4000000000u);
}

}  // namespace
