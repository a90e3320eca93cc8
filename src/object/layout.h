// The store's layout: for each kind of object, every entry its directory
// holds, how it is read, its width or range, which message writes it and
// which loader needs it.  The writers, the loaders' checks, the probe of a
// doubted vdisk, `marloctl check` and `status` all take what they need from
// these tables: an attribute added is one row, and no two places can
// disagree about what is valid.  Rows are in the order the writers write.
#pragma once

#include <climits>
#include <cstdint>
#include <span>
#include <string_view>

#include "proto/records.h"

namespace layout {

// How an entry is read back.
enum class Form {
    Number,     // a decimal number and a newline
    Text,       // at most `width` characters and a newline
    Members,    // the list of member node ids, one a line
    Frontends,  // the list of frontend IPv4 addresses, one a line
    Links,      // a directory of relative links, one per object
    Link,       // one relative link
};

// Which loader needs the entry: a missing one stops the load.
enum class Need {
    None,
    Always,    // the object's loader
    Local,     // a node's, once it announces from this host
    Members,   // a vdisk's, while it has members
    Plain,     // a vdisk's that is no snapshot
    Snapshot,  // a vdisk's that is a snapshot
};

// A membership generation is 16-bit; a larger one is malformed.
inline constexpr unsigned long long GEN_MAX = 65535;

// The messages that write an entry, as a mask of their types.
constexpr uint64_t by(MsgType t) { return uint64_t(1) << t; }
constexpr uint64_t by(MsgType a, MsgType b) { return by(a) | by(b); }

struct Entry {
    const char *name;
    Form form;
    Need need;
    uint64_t writers;
    int width = 0;                        // Text: the most characters
    unsigned long long max = ULLONG_MAX;  // Number: the largest valid value
    bool every_update = false;            // rewritten by every update of the object
};

using enum Form;
using N = Need;
inline constexpr uint64_t PING = by(MSG_PING), DS_PING = by(MSG_DS_PING),
                          AUX_PING = by(MSG_AUX_PING);

inline constexpr Entry NODE[] = {
    {"version", Text, N::Always, PING, 7},
    {"uuid", Number, N::None, PING},
    {"status", Number, N::None, PING},
    {"nodestatus", Number, N::Always, PING},
    {"vendor", Text, N::Always, PING, int(sizeof(Hdr::vendor))},
    {"model", Text, N::Always, PING, int(sizeof(Hdr::model))},
    {"freespace", Number, N::Always, PING},
    {"utilization", Number, N::Always, PING},
    {"revision", Text, N::Always, PING, int(sizeof(Revision::rev))},
    {"serial", Text, N::Always, PING, int(sizeof(Hdr::serial))},
    {"hbtl", Text, N::Always, PING, int(sizeof(Hdr::hbtl))},
    {"performance", Number, N::Always, PING},
    {"hostid", Number, N::Always, PING},
    {"size", Number, N::Always, PING},
    {"backupchannel", Text, N::Always, PING, 15},
    {"ipaddr", Text, N::None, PING, 15},
    {"lastping", Number, N::None, by(MSG_PING, MSG_HEARTBEAT)},
    {"allocatedspace", Number, N::Local, AUX_PING},
    {"curvdisks", Number, N::Local, AUX_PING},
    {"curvdisksforctrl", Number, N::Local, AUX_PING},
    {"maxvdisksforctrl", Number, N::Local, AUX_PING},
    {"memtotal", Number, N::Local, AUX_PING},
    {"memavail", Number, N::Local, AUX_PING},
    {"vdisks", Links, N::None, PING},
    {"datastoremember", Text, N::None, DS_PING, int(UUID_LEN)},
};

// members/ goes first when the last member leaves: without it the
// datastore's removal was cut short.
inline constexpr Entry DATASTORE[] = {
    {"uuid", Text, N::Always, DS_PING, int(UUID_LEN)},
    {"name", Text, N::Always, DS_PING, int(sizeof(DatastoreEntry::name))},
    {"description", Text, N::Always, DS_PING, int(sizeof(DatastoreEntry::description))},
    {"sector_size", Number, N::Always, DS_PING},
    {"replicas", Number, N::Always, DS_PING},
    {"stripes", Number, N::Always, DS_PING},
    {"overcommit", Number, N::Always, DS_PING},
    {"vdisks", Links, N::Always, DS_PING},
    {"members", Links, N::Always, DS_PING},
};

// The first rows are the vdisk-level attributes in the order a new vdisk
// writes them (the vdisk's writer pins that order).
inline constexpr Entry VDISK[] = {
    {"uuid", Text, N::Always, PING, int(UUID_LEN)},
    {"name", Text, N::Always, PING, int(sizeof(VDiskName::name))},
    {"sector_size", Number, N::Always, PING},
    {"sectors", Number, N::Always, PING, 0, ULLONG_MAX, true},
    {"replicas", Number, N::Always, PING},
    {"st_mems", Number, N::Always, PING},
    {"st_size", Number, N::Always, PING},
    {"snapshot", Number, N::Always, PING},
    {"parent", Text, N::Snapshot, PING, int(UUID_LEN)},
    {"snaptime", Text, N::Snapshot, PING, 31},
    {"description", Text, N::Plain, PING, int(sizeof(VDiskDescription::descr))},
    {"highest_gen_count", Number, N::Always, PING, 0, GEN_MAX},
    {"transaction_id", Number, N::None, PING},
    {"fence_owed", Text, N::None, PING, 31},
    {"membership", Members, N::Members, PING},
    {"memberinfo", Links, N::None, PING},
    {"snapshots", Links, N::None, PING},
    {"datastore", Link, N::None, PING},
};

inline constexpr Entry MEMBER[] = {
    {"membership_gen_count", Number, N::Always, PING, 0, GEN_MAX},
    {"numkeys", Number, N::Always, PING},
    {"seqno", Number, N::Always, PING},
    {"status", Number, N::Always, PING},
    {"port", Number, N::Always, PING},
    {"st_mem", Number, N::Always, PING},
    {"snap_limit", Number, N::None, PING},
    {"frontend", Frontends, N::None, PING},
    {"nodestatus", Link, N::None, PING},
};

// Never defined: reached only when a row is missing, which stops the build.
void no_such_row();

// The row named `name`, found as the program is compiled: a name no row has
// does not compile.
consteval const Entry &row(std::span<const Entry> table, std::string_view name)
{
    for (const Entry &e : table)
        if (name == e.name)
            return e;
    no_such_row();
    return table.front();
}

}  // namespace layout
