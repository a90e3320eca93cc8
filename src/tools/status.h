// The cluster as this host sees it, read from the object database under the
// work directory.  Reading takes no lock and never waits: the daemon and the
// other programs on the host may be rewriting any file meanwhile, so every
// value is read on its own and may come back missing or damaged (a file
// caught half-written, or broken by hand); such values are marked, never
// fatal.  Entries that are not regular files (a FIFO, a device) are not
// opened at all, so nothing can block the reader.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

// How a value was found.
enum class Got {
    Ok,       // read and well-formed
    Missing,  // the file (or link) does not exist
    Bad,      // present but not readable as a value: see the object's problems
};

struct TextValue {
    Got got = Got::Missing;
    std::string value;
};

struct NumberValue {
    Got got = Got::Missing;
    unsigned long long value = 0;
};

// One damaged or unusable entry: its path relative to the work directory
// ("Node/12/vendor") and what is wrong with it.
struct Problem {
    std::string path;
    std::string what;
};

// A reference by name to another object, and whether that object exists.
struct Ref {
    std::string name;
    bool present = false;
};

struct NodeView {
    std::string name;      // directory name under Node/
    bool id_ok = false;    // name is a node id in canonical decimal
    uint32_t id = 0;
    TextValue ipaddr, version, vendor, model;
    NumberValue lastping, freespace;
    TextValue datastore;   // datastoremember; Missing: in no datastore
    bool datastore_present = false;
    Got vdisks_got = Got::Missing;
    std::vector<Ref> vdisks;  // links in vdisks/, by name
    std::vector<Problem> problems;
};

struct DatastoreView {
    std::string uuid;      // directory name under Datastore/
    TextValue name;
    Got members_got = Got::Missing;
    std::vector<Ref> members;  // links in members/ (node ids)
    Got vdisks_got = Got::Missing;
    std::vector<Ref> vdisks;   // links in vdisks/
    std::vector<Problem> problems;
};

// One member of a vdisk with the frontends it serves.
struct MemberView {
    std::string node;          // node id as decimal text
    bool listed = false;       // in the vdisk's membership file
    bool node_present = false; // Node/{node} exists
    Got frontends_got = Got::Missing;  // Missing: no memberinfo or no frontend file
    std::vector<std::string> frontends;
};

struct VDiskView {
    std::string uuid;          // directory name under VDisk/
    TextValue name;
    NumberValue snapshot;      // non-zero: a snapshot of `parent`
    TextValue parent;
    bool parent_present = false;
    NumberValue highest_gen;
    Got membership_got = Got::Missing;
    // Members of the membership file in file order, then members that have
    // a memberinfo/ directory but are not listed, in name order.
    std::vector<MemberView> members;
    TextValue datastore;       // from the `datastore` link's target
    bool datastore_present = false;
    std::vector<Problem> problems;
};

struct ClusterView {
    std::string work_directory;
    time_t now = 0;                // when the reading started
    int heartbeat_interval = 0;    // seconds, from the configuration
    std::vector<NodeView> nodes;            // by node id, then by name
    std::vector<DatastoreView> datastores;  // by uuid (byte order)
    std::vector<VDiskView> vdisks;          // by uuid (byte order)
    std::vector<Problem> problems;          // Node/, Datastore/, VDisk/ themselves
    // Set by the caller: whether the daemon runs, and why not.
    bool daemon_known = false;
    bool daemon_up = false;
    std::string daemon_why;
    std::string daemon_busy;  // a fence check it waits for, in words ("" when none)
};

// Reads the whole object database under work_directory into *view (which
// should be empty).  0; -1 with *error set when the work directory itself
// cannot be opened.  Everything below it is read as well as it can be.
int status_read(const std::string &work_directory, ClusterView *view, std::string *error);

// The part of a view an operator asked for.
struct StatusFilter {
    bool by_node = false;
    uint32_t node = 0;
    bool by_vdisk = false;
    std::string vdisk;
};

// Keeps what concerns the filter: with a node, that node, the datastores it
// is (or claims to be) a member of, and the vdisks it serves or is linked to;
// with a vdisk, that vdisk, its members and its datastore; with both, what
// both keep.  0; -1 when the node or vdisk asked for is not in the database
// (the view is then left as it was).
int status_filter(ClusterView *view, const StatusFilter &filter);

// Seconds since the node's last ping (negative when lastping lies in the
// future); meaningful only when lastping.got is Ok.
long long node_silence(const ClusterView &view, const NodeView &node);
// True when lastping was read and the node has been silent longer than
// three heartbeat intervals.
bool node_silent(const ClusterView &view, const NodeView &node);
