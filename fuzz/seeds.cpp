#include "seeds.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include "daemon/check.h"
#include "object/model.h"
#include "proto/builders.h"
#include "proto/records.h"
#include "proto/trailer.h"

namespace {

void put_text(char *field, size_t width, const char *text)
{
    std::memset(field, 0, width);
    std::memcpy(field, text, strnlen(text, width));
}

std::unique_ptr<Node> make_node(uint32_t id, uint8_t minor, const char *dsuuid)
{
    std::unique_ptr<Node> node;
    MARLO_ASSERT(NodeAlloc(node) == 0);
    node->nodeid = id;
    std::snprintf(node->nodeuuid, sizeof node->nodeuuid, "%u", id);
    Hdr &h = node->hdr;
    h.major = 1;
    h.minor = minor;
    h.uid = id;
    put_text(h.vendor, sizeof h.vendor, "Varn");
    put_text(h.model, sizeof h.model, "VS-1");
    h.revision.freespace = 1000;
    h.revision.utilization = 20;
    put_text(h.revision.rev, sizeof h.revision.rev, "rev-3");
    put_text(h.serial, sizeof h.serial, "SN-0001");
    put_text(h.hbtl, sizeof h.hbtl, "0:0:1:0");
    if (minor < 8) {
        h.nodestatus = 1;     // size carries the backup channel
        h.size = 0x0A000063;  // 10.0.0.99, first octet most significant
    } else {
        h.size = 4096;
    }
    h.performance = 7;
    h.hostid = 513;
    node->aux = AuxPingData{28, 11, 12, 13, 14, 15, 16};
    if (dsuuid) {
        put_text(node->dsuuid, sizeof node->dsuuid, dsuuid);
        DatastoreEntry &d = node->dse;
        put_text(d.uuid, sizeof d.uuid, dsuuid);
        put_text(d.name, sizeof d.name, "pool");
        put_text(d.description, sizeof d.description, "fuzz pool");
        d.sector_size = 512;
        d.replicas = 2;
        d.stripes = 4;
        d.overcommit = 1;
    }
    return node;
}

struct VDiskSpec {
    const char *uuid;
    const char *parent;  // snapshots
    uint16_t gen;
    uint32_t transaction_id;
    std::vector<uint32_t> members;
    std::vector<uint32_t> frontends;  // host-order IPv4
};

std::unique_ptr<VDisk> make_vdisk(const VDiskSpec &s)
{
    std::unique_ptr<VDisk> v;
    MARLO_ASSERT(VDiskAlloc(v) == 0);
    VDiskEntry &e = v->vde;
    e.transaction_id = s.transaction_id;
    put_text(e.uuid, sizeof e.uuid, s.uuid);
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02u", unsigned(s.gen % 100));
    std::memcpy(e.name.old_mshipgencnt, digits, 2);
    put_text(e.name.name, sizeof e.name.name, "disk");
    mshipgencnt_set(e, s.gen);
    e.sector_size = 512;
    e.numkeys = 100;
    e.sectors = 2048;
    e.seqno = 200 + s.gen;
    if (s.parent) {
        e.snapshot = 1;
        SnapInfo &snap = e.description.snap;
        snap.y = 24;
        snap.m = 5;
        snap.d = 17;
        snap.H = 7;
        snap.M = 8;
        snap.S = 9;
        put_text(snap.parent, sizeof snap.parent, s.parent);
    } else {
        put_text(e.description.descr, sizeof e.description.descr, "plain");
    }
    e.status = 1;
    e.port = 3260;
    e.replicas = 2;
    e.st_mem = 1;
    e.st_mems = 1;
    e.st_size = 64;
    e.members = uint16_t(s.members.size());
    e.frontends = uint16_t(s.frontends.size());
    for (uint32_t m : s.members) {
        std::unique_ptr<Member> member;
        MARLO_ASSERT(MemberAlloc(member) == 0);
        member->mbe.node = m;
        MemberInit(*member, nullptr);
        v->members.push_back(std::move(member));
    }
    for (uint32_t f : s.frontends) {
        std::unique_ptr<Frontend> fe;
        MARLO_ASSERT(FrontendAlloc(fe) == 0);
        fe->fee.node = f;
        v->frontends.push_back(std::move(fe));
    }
    VDiskInit(*v, nullptr);
    return v;
}

// Replaces the node's vdisks with the given ones (duplicates kept apart:
// the tree refuses them, so a PING listing one twice is built by hand).
void set_vdisks(Node &node, const std::vector<VDiskSpec> &specs)
{
    VDiskTreeFlush(node.vdisks);
    for (const VDiskSpec &s : specs) {
        std::unique_ptr<VDisk> v = make_vdisk(s);
        MARLO_ASSERT(VDiskTree_RB_INSERT(node.vdisks, v) == nullptr);
    }
}

using Builder = int (*)(const Node *, char *, size_t, size_t *);

std::string build(Builder b, const Node &node)
{
    std::string buf(MSG_BUF_LEN, '\0');
    size_t len = 0;
    MARLO_ASSERT(b(&node, buf.data(), buf.size(), &len) == 0);
    buf.resize(len);
    return buf;
}

std::string build_single(const Node &node, const VDiskSpec &layout)
{
    std::unique_ptr<VDisk> v = make_vdisk(layout);
    std::string buf(MSG_BUF_LEN, '\0');
    size_t len = 0;
    MARLO_ASSERT(build_single_vdisk_ping(&node, v.get(), buf.data(), buf.size(), &len) == 0);
    buf.resize(len);
    return buf;
}

std::string build_deleted(const Node &node, const char *uuid)
{
    std::string buf(MSG_BUF_LEN, '\0');
    size_t len = 0;
    MARLO_ASSERT(build_vdisk_deleted(&node, uuid, buf.data(), buf.size(), &len) == 0);
    buf.resize(len);
    return buf;
}

const uint32_t FE1 = 0x0A000001, FE2 = 0x0A000002,
               FE3 = 0x0A000003;  // 10.0.0.1 ...

}  // namespace

std::vector<Seed> receive_seeds()
{
    std::unique_ptr<Node> n101 = make_node(101, 8, "ds-fuzz-01");
    std::unique_ptr<Node> n102 = make_node(102, 7, nullptr);
    const VDiskSpec vd_a{"vd-a", nullptr, 1, 0, {101, 102}, {FE1, FE2}};
    const VDiskSpec vd_a2{"vd-a", nullptr, 2, 0, {101}, {FE1}};
    const VDiskSpec vd_b{"vd-b", nullptr, 1, 0, {101}, {FE3}};
    const VDiskSpec sn_a{"sn-a", "vd-a", 1, 0, {101}, {FE1}};
    const VDiskSpec sn_t{"sn-t", "vd-a", 1, 5, {101}, {FE1}};
    const VDiskSpec vd_c{"vd-c", nullptr, 3, 0, {101, 102}, {}};  // 14-char uuid below
    const VDiskSpec vd_long{"vd-fourteen-ch", nullptr, 1, 0, {101}, {FE2}};

    std::vector<Seed> s;
    s.push_back({"01-ds-ping-101", build(build_ds_ping, *n101)});
    s.push_back({"02-aux-ping-101", build(build_aux_ping, *n101)});
    set_vdisks(*n101, {vd_a, vd_b, sn_a, vd_long});
    s.push_back({"03-ping-101", build(build_vdisk_ping, *n101)});
    s.push_back({"04-heartbeat-101", build(build_heartbeat, *n101)});
    s.push_back({"05-ds-ping-102-none", build(build_ds_ping, *n102)});
    s.push_back({"06-aux-ping-102", build(build_aux_ping, *n102)});
    set_vdisks(*n102, {vd_a, vd_c});
    s.push_back({"07-ping-102-old-version", build(build_vdisk_ping, *n102)});
    s.push_back({"08-single-vdisk-ping-101-gen2", build_single(*n101, vd_a2)});
    s.push_back({"09-single-vdisk-ping-101-txn", build_single(*n101, sn_t)});
    set_vdisks(*n101, {sn_t});
    s.push_back({"10-ping-101-txn", build(build_vdisk_ping, *n101)});
    // The same entry twice: a tree cannot hold it, so the group is repeated.
    set_vdisks(*n101, {vd_a2});
    std::string dup = build(build_vdisk_ping, *n101);
    dup += dup.substr(HDR_LEN);
    s.push_back({"11-ping-101-duplicate", dup});
    set_vdisks(*n101, {vd_a2, vd_long});
    s.push_back({"12-ping-101-sweep", build(build_vdisk_ping, *n101)});
    s.push_back({"13-vdisk-deleted-101", build_deleted(*n101, "vd-a")});
    set_vdisks(*n102, {});
    s.push_back({"14-ping-102-empty", build(build_vdisk_ping, *n102)});
    s.push_back({"15-vdisk-deleted-102-long", build_deleted(*n102, "vd-fourteen-ch")});
    std::string unknown = build(build_heartbeat, *n101);
    unknown[offsetof(Hdr, type)] = 7;
    s.push_back({"16-unknown-type-7", unknown});
    n101->dsuuid[0] = '\0';
    s.push_back({"17-ds-ping-101-none", build(build_ds_ping, *n101)});

    AuthKey key{9, {}};
    std::memset(key.key, 0x42, sizeof key.key);
    for (size_t seed : {0, 2, 3, 12}) {
        // The MAC ends the datagram: a counter is taken whose MAC does not
        // end in a byte that asks the receive target for descriptor
        // pressure (the counters still rise from seed to seed).
        AuthTrailer t;
        for (uint64_t counter = (seed + 1) << 8;; counter++) {
            trailer_sign(key, counter, time(nullptr), s[seed].bytes.data(), s[seed].bytes.size(),
                         &t);
            if (t.mac[sizeof t.mac - 1] < 0xf8)
                break;
        }
        s.push_back({s[seed].name + "-signed",
                     s[seed].bytes + std::string(reinterpret_cast<const char *>(&t), sizeof t)});
    }

    // The same messages with a last byte that leaves the receive target only
    // a few descriptors (the byte lies past everything the daemon reads).
    const struct {
        size_t seed;
        unsigned char last;
    } pressured[] = {{0, 0xf9}, {2, 0xf8}, {2, 0xfb}, {2, 0xfe}, {6, 0xfa}, {12, 0xfc}};
    for (const auto &p : pressured) {
        char name[64];
        std::snprintf(name, sizeof name, "%s-fd-pressure-%u", s[p.seed].name.c_str(),
                      unsigned(p.last & 7));
        s.push_back({name, s[p.seed].bytes + char(p.last)});
    }
    return s;
}

std::vector<Seed> ctrl_seeds()
{
    return {
        {"single-vdisk-ping", "single_vdisk_ping 101 vd-a\n"},
        {"single-vdisk-ping-crlf", "single_vdisk_ping 101 vd-fourteen-ch\r\n"},
        {"single-vdisk-ping-caps", "SINGLE_VDISK_PING 101 vd-b\n"},
        {"single-vdisk-ping-blank-uuid", "single_vdisk_ping 101 vd-a x\n"},
        {"single-vdisk-ping-no-vdisk", "single_vdisk_ping 101\n"},
        {"single-vdisk-ping-no-node", "single_vdisk_ping\n"},
        {"ds-ping", "ds_ping 101\n"},
        {"ds-ping-none", "ds_ping 102\n"},
        {"ds-ping-suffix", "DS_PINGx 101\n"},
        {"vdisk-deleted", "vdisk_deleted 101 vd-a\n"},
        {"vdisk-deleted-oversized", "vdisk_deleted 101 fifteen-chars-x\n"},
        {"vdisk-deleted-no-vdisk", "vdisk_deleted 102\n"},
        {"ignored", "status\n"},
        {"ignored-leading-blank", " ds_ping 101\n"},
        {"no-newline", "ds_ping 101"},
        {"two-lines", "ds_ping 101\nvdisk_deleted 101 vd-b\n"},
        {"not-local", "ds_ping 4294967295\n"},
        {"single-vdisk-ping-fd-pressure-1", "single_vdisk_ping 101 vd-a\n\xf9"},
        {"single-vdisk-ping-fd-pressure-4", "single_vdisk_ping 101 vd-a\n\xfc"},
        {"ds-ping-fd-pressure-0", "ds_ping 101\n\xf8"},
        {"vdisk-deleted-fd-pressure-2", "vdisk_deleted 101 vd-b\n\xfa"},
    };
}

std::vector<Seed> config_seeds()
{
    return {
        {"all-keys", "syslog_ident=marlo\n"
                     "syslog_facility=LOCAL3\n"
                     "syslog_priority=warning\n"
                     "pid_file=/var/run/marlo.pid\n"
                     "work_directory=/varnholt/DB\n"
                     "local_nodes=/varnholt/local_nodes\n"
                     "unicast_mode=1\n"
                     "unicast_hosts=/varnholt/unicast_hosts\n"
                     "bind_interface=eth0\n"
                     "bind_port=8000\n"
                     "ctrl_address=127.0.0.1\n"
                     "ctrl_port=31337\n"
                     "multicast_address=224.123.123.123,224.1.1.1\n"
                     "node_lock_timeout_ms=750\n"
                     "datastore_lock_timeout_ms=0\n"
                     "vdisk_lock_timeout_ms=60000\n"
                     "fence_check=/usr/harrowgate/fencecheck\n"
                     "ping_interval=90\n"
                     "heartbeat_interval=30\n"
                     "stats_interval=86400\n"},
        {"comments-quotes", "# comment\n"
                            "; another\n"
                            "\n"
                            " \t \n"
                            "  syslog_ident = \"with blank\"  \n"
                            "pid_file=\"\"\n"
                            "fence_check=\"/bin/true\"\n"},
        {"broken-blank-comment", "  # not a comment\n"},
        {"unknown-key", "Bind_port=8000\n"},
        {"out-of-range", "bind_port=65536\n"},
        {"negative", "ping_interval=-1\n"},
        {"text-number", "unicast_mode=abc\n"},
        {"long-interface", "bind_interface=abcdefghijklmnop\n"},
        {"bad-facility", "syslog_facility=nowhere\n"},
        {"no-newline", "bind_port=8000"},
        {"open-quote", "pid_file=\"/run/x\n"},
    };
}
