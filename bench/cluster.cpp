#include "cluster.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "proto/builders.h"
#include "proto/records.h"

namespace {

// Fixed-width text field from a C string (no terminator when it fills).
template <size_t N>
void set_text(char (&field)[N], const char *text)
{
    std::memset(field, 0, N);
    std::memcpy(field, text, std::min(N, std::strlen(text)));
}

void vdisk_uuid(char (&out)[16], unsigned j) { std::snprintf(out, sizeof out, "vd%012u", j); }

void datastore_uuid(char (&out)[16], unsigned d) { std::snprintf(out, sizeof out, "ds%012u", d); }

// The vdisk entry of vdisk j, identical in every member's PING.
VDiskEntry make_entry(const ClusterShape &shape, unsigned j, bool snapshot)
{
    VDiskEntry vde;
    std::memset(&vde, 0, sizeof vde);
    char uuid[16];
    vdisk_uuid(uuid, j);
    set_text(vde.uuid, uuid);
    char text[32];
    std::snprintf(text, sizeof text, "%02u", unsigned(shape.generation % 100));
    std::memcpy(vde.name.old_mshipgencnt, text, 2);
    std::snprintf(text, sizeof text, "disk-%u", j);
    set_text(vde.name.name, text);
    mshipgencnt_set(vde, shape.generation);
    vde.sector_size = 512;
    vde.numkeys = 1000 + j;
    vde.sectors = 2097152;
    vde.seqno = 77;
    if (snapshot) {
        vde.snapshot = 1;
        vde.description.snap.y = 24;
        vde.description.snap.m = 5;
        vde.description.snap.d = 17;
        vde.description.snap.H = 12;
        vde.description.snap.M = 30;
        vde.description.snap.S = 0;
        char parent[16];
        vdisk_uuid(parent, j - 1);
        set_text(vde.description.snap.parent, parent);
    } else {
        std::snprintf(text, sizeof text, "bench vdisk %u", j);
        set_text(vde.description.descr, text);
    }
    vde.status = 1;
    vde.port = uint16_t(7000 + j % 1000);
    vde.replicas = uint16_t(shape.members);
    vde.st_mem = 1;
    vde.st_mems = uint8_t(shape.members);
    vde.st_size = 4;
    vde.members = uint16_t(shape.members);
    vde.frontends = uint16_t(shape.frontends);
    return vde;
}

}  // namespace

void bench_fill_hdr(Hdr &hdr, uint32_t uid)
{
    std::memset(&hdr, 0, sizeof hdr);
    hdr.major = 1;
    hdr.minor = 8;
    hdr.nodestatus = 0;
    hdr.uid = uid;
    set_text(hdr.vendor, "BENCH");
    set_text(hdr.model, "LOADGEN-NODE");
    hdr.revision.freespace = 123456;
    hdr.revision.utilization = 42;
    set_text(hdr.revision.rev, "1.8.0");
    char text[64];
    std::snprintf(text, sizeof text, "SN-%010u", uid);
    set_text(hdr.serial, text);
    std::snprintf(text, sizeof text, "0:0:%u:0", uid % 64);
    set_text(hdr.hbtl, text);
    hdr.size = 1u << 30;
    hdr.performance = 3;
    hdr.hostid = uint16_t(uid);
}

std::string bench_marker_aux_ping(uint32_t uid, uint32_t value)
{
    std::unique_ptr<Node> node(new Node{});
    bench_fill_hdr(node->hdr, uid);
    node->aux.memavail = value;
    node->aux.memtotal = value;
    std::string buf(HDR_LEN + 64, '\0');
    size_t len = 0;
    build_aux_ping(node.get(), buf.data(), buf.size(), &len);
    buf.resize(len);
    return buf;
}

bool Cluster::build(const ClusterShape &shape, std::string *error)
{
    shape_ = shape;
    if (shape.nodes == 0 || shape.members == 0 || shape.members > shape.nodes || shape.nodes_per_ds == 0) {
        *error = "need nodes >= members >= 1 and nodes_per_ds >= 1";
        return false;
    }
    nodes_.clear();
    msgs_.clear();
    for (unsigned i = 0; i < shape.nodes; i++) {
        auto node = std::make_unique<Node>();
        node->nodeid = shape.first_uid + i;
        std::snprintf(node->nodeuuid, sizeof node->nodeuuid, "%u", node->nodeid);
        bench_fill_hdr(node->hdr, node->nodeid);
        datastore_uuid(node->dsuuid, i / shape.nodes_per_ds);
        set_text(node->dse.uuid, node->dsuuid);
        set_text(node->dse.name, "bench-pool");
        set_text(node->dse.description, "load generator datastore");
        node->dse.sector_size = 512;
        node->dse.replicas = uint16_t(shape.members);
        node->dse.stripes = 4;
        node->dse.overcommit = 1;
        node->aux.length = sizeof(AuxPingData);
        node->aux.allocatedspace = 1000 + i;
        node->aux.curvdisks = 0;
        node->aux.curvdisksforctrl = 0;
        node->aux.maxvdisksforctrl = 1024;
        node->aux.memtotal = 64u << 20;
        node->aux.memavail = 32u << 20;
        nodes_.push_back(std::move(node));
    }

    // Member slot s = j * M + k of vdisk j belongs to node s mod N: every
    // node is a member of V * M / N vdisks (one more for the first ones when
    // that does not divide), never twice of the same vdisk since M <= N.
    // Snapshots: about one vdisk in snap_every, chosen by a hash of its
    // number so that every node's PING carries its share; the parent (the
    // vdisk before) is always a plain vdisk.
    bool prev_snapshot = true;
    for (unsigned j = 0; j < shape.vdisks; j++) {
        bool snapshot = shape.snap_every > 1 && !prev_snapshot &&
                        ((j * 2654435761u) >> 16) % shape.snap_every == 0;
        prev_snapshot = snapshot;
        VDiskEntry vde = make_entry(shape, j, snapshot);
        for (unsigned k = 0; k < shape.members; k++) {
            Node &owner = *nodes_[(size_t(j) * shape.members + k) % shape.nodes];
            std::unique_ptr<VDisk> vd;
            if (VDiskAlloc(vd) < 0) {
                *error = "out of memory";
                return false;
            }
            VDiskInit(*vd, &vde);
            for (unsigned m = 0; m < shape.members; m++) {
                std::unique_ptr<Member> mb;
                if (MemberAlloc(mb) < 0) {
                    *error = "out of memory";
                    return false;
                }
                MemberEntry mbe{shape.first_uid + uint32_t((size_t(j) * shape.members + m) % shape.nodes)};
                MemberInit(*mb, &mbe);
                vd->members.push_back(std::move(mb));
            }
            for (unsigned f = 0; f < shape.frontends; f++) {
                std::unique_ptr<Frontend> fe;
                if (FrontendAlloc(fe) < 0) {
                    *error = "out of memory";
                    return false;
                }
                // 10.(j/256 % 256).(j % 256).(f + 1): first octet most significant.
                uint32_t a = (10u << 24) | ((j / 256 % 256) << 16) | ((j % 256) << 8) | (f + 1);
                fe->fee.node = a;
                std::snprintf(fe->ipaddr, sizeof fe->ipaddr, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255,
                              (a >> 8) & 255, a & 255);
                vd->frontends.push_back(std::move(fe));
            }
            vd->members_count = int(vd->members.size());
            vd->frontends_count = int(vd->frontends.size());
            VDiskTree_RB_INSERT(owner.vdisks, vd);
        }
    }

    std::vector<char> buf(MSG_BUF_LEN);
    for (auto &node : nodes_) {
        node->aux.curvdisks = uint32_t(node->vdisks.size());
        NodeMessages m;
        m.uid = node->nodeid;
        size_t len = 0;
        build_ds_ping(node.get(), buf.data(), buf.size(), &len);
        m.ds_ping.assign(buf.data(), len);
        build_aux_ping(node.get(), buf.data(), buf.size(), &len);
        m.aux_ping.assign(buf.data(), len);
        build_heartbeat(node.get(), buf.data(), buf.size(), &len);
        m.heartbeat.assign(buf.data(), len);
        if (build_vdisk_ping(node.get(), buf.data(), buf.size(), &len) < 0) {
            *error = "PING of node " + std::string(node->nodeuuid) + " exceeds the message buffer";
            return false;
        }
        // The largest UDP payload over IPv4.
        if (len > 65507) {
            *error = "PING of node " + std::string(node->nodeuuid) + " (" + std::to_string(len) +
                     " bytes) exceeds the UDP limit of 65507 bytes";
            return false;
        }
        m.ping.assign(buf.data(), len);
        m.ping_entries = unsigned(node->vdisks.size());
        msgs_.push_back(std::move(m));
    }
    return true;
}
