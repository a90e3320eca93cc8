// Lays out an object store on disk the way the host's storage programs leave
// it, by writing the files directly (never through the daemon's own object
// functions), and computes the records a daemon announcing those objects
// must send.
//
//     seed::NodeSpec n{.id = 301, .datastore = "ds-alpha"};
//     seed::VDiskSpec vd01{.uuid = "vd01", .membership = {301},
//                          .memberinfo = {{.node = 301, .frontends = {"10.0.0.1"}}},
//                          .datastore = "ds-alpha"};
//     seed::write_node(work, n);
//     seed::write_datastore(work, {.uuid = "ds-alpha", .members = {301}});
//     seed::write_vdisk(work, vd01);
//     std::string expected = seed::ping_msg(n, {&vd01});
//
// Every function writes below `work` (the daemon's work directory) and
// throws std::runtime_error when the file system refuses; directories are
// created as needed, existing files are replaced.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace seed {

// Node/{id}/: the 17 attributes a node's first announcement leaves, its six
// statistics, vdisks/ and, when `datastore` is set, datastoremember.
struct NodeSpec {
    uint32_t id = 0;
    std::string version = "v1.8";
    unsigned nodestatus = 0;
    std::string backupchannel = "0.0.0.0";  // dotted quad; the address when nodestatus is 1
    std::string vendor = "Varn";
    std::string model = "VS-1";
    unsigned freespace = 1000;
    unsigned utilization = 20;
    std::string revision = "rev-3";
    std::string serial = "SN-0001";
    std::string hbtl = "0:0:1:0";
    unsigned size = 4096;  // stored as 0 when nodestatus is 1
    unsigned performance = 7;
    unsigned hostid = 513;
    // Statistics.
    unsigned allocatedspace = 11, curvdisks = 12, curvdisksforctrl = 13, maxvdisksforctrl = 14;
    unsigned memtotal = 15, memavail = 16;
    std::string datastore{};  // datastoremember; empty: no such file
};

// Datastore/{uuid}/: seven attributes, members/ with one link per member,
// vdisks/ (its links are made by write_vdisk).
struct DatastoreSpec {
    std::string uuid{};
    std::string name = "pool";
    std::string description = "seeded pool";
    unsigned sector_size = 512;
    unsigned replicas = 2, stripes = 4, overcommit = 1;
    std::vector<uint32_t> members{};
};

// VDisk/{uuid}/memberinfo/{node}/: one member's own view of the vdisk.  The
// frontend file is always written (empty without frontends), and so is the
// nodestatus link.
struct MemberInfoSpec {
    uint32_t node = 0;
    unsigned gen = 1;  // membership_gen_count
    unsigned long long numkeys = 100, seqno = 200;
    unsigned status = 1, port = 3260, st_mem = 1;
    unsigned snap_limit = 10;  // plain vdisks only
    std::vector<std::string> frontends{};  // dotted quads, in file order
};

// VDisk/{uuid}/ with its attributes, membership file and member directories;
// plus the links Node/{m}/vdisks/{uuid} for every memberinfo node, the
// datastore link pair when `datastore` is set, and for a snapshot the link in
// the parent's snapshots/ when the parent exists.
struct VDiskSpec {
    std::string uuid{};
    std::string name = "disk";
    unsigned sector_size = 512;
    unsigned long long sectors = 2048;
    unsigned replicas = 2, st_mems = 1, st_size = 64;
    unsigned snapshot = 0;  // not 0: a snapshot of `parent`
    std::string description{};  // plain vdisks
    std::string parent{};  // snapshots
    std::string snaptime{};  // snapshots: "yy-mm-dd_HH.MM.SS"
    unsigned highest_gen_count = 1;
    std::vector<uint32_t> membership{};  // lines of the membership file
    std::vector<MemberInfoSpec> memberinfo{};  // one directory each
    std::string datastore{};  // empty: no datastore links
};

// Specs of ordinary objects, for tests that need a few.
// Node `id`, a member of datastore `ds` unless it is empty.
NodeSpec node_spec(uint32_t id, const std::string &ds = "");
// A plain vdisk served by `members`, each with the one frontend 10.0.0.1, in
// datastore `ds` unless it is empty.
VDiskSpec vdisk_spec(const std::string &uuid, std::vector<uint32_t> members,
                     const std::string &ds = "");
// A snapshot of `parent` served by `member`.
VDiskSpec snapshot_spec(const std::string &uuid, const std::string &parent, uint32_t member,
                        const std::string &ds = "");

void write_node(const std::string &work, const NodeSpec &node);
void write_datastore(const std::string &work, const DatastoreSpec &ds);
void write_vdisk(const std::string &work, const VDiskSpec &vd);

// Replaces one attribute file with value + "\n" (for changing a seeded
// object, e.g. {work}/Node/301 and "vendor").
void write_attr(const std::string &dir, const std::string &key, const std::string &value);
// Replaces it with content as it stands (a damaged record: no newline, too long).
void write_raw(const std::string &dir, const std::string &key, const std::string &content);

// What a daemon hosting the seeded node sends.  Field by field from the
// specs, at the wire offsets; no code of the daemon is used.
std::string hdr_bytes(const NodeSpec &node, uint8_t type);  // 207 bytes
std::string dse_bytes(const DatastoreSpec &ds);  // 87 bytes
// One vdisk group as announced by member `as_member` of node version
// `node.version`: entry, member records, frontend records.
std::string vdisk_group(const NodeSpec &node, const VDiskSpec &vd, uint32_t as_member);

std::string ds_ping_msg(const NodeSpec &node, const DatastoreSpec *ds);  // ds null: 207 bytes
std::string aux_ping_msg(const NodeSpec &node);  // 236 bytes
// The vdisks in the order the PING must carry them.
std::string ping_msg(const NodeSpec &node, const std::vector<const VDiskSpec *> &vdisks);
std::string single_vdisk_ping_msg(const NodeSpec &node, const VDiskSpec &vd);
std::string vdisk_deleted_msg(const NodeSpec &node, const std::string &uuid);  // <= 14 chars

// Checking what was sent.  "" when the messages are equal; otherwise the
// lengths and the first offset where they differ, for a failure message.
std::string msg_diff(const std::string &got, const std::string &want);
// Label -> long (since start) counter of the last "TX: ..." statistics line
// among log_lines; empty when there is none.
std::map<std::string, long long> tx_counts(const std::vector<std::string> &log_lines);

}  // namespace seed
