// Repairing what a check found, where that is safe: through the daemon's own
// store operations, under the same lock files, in the same lock order (the
// vdisk lock before a node or datastore lock, never a node and a datastore
// lock together) and with the same time-outs (the configuration's).  Each
// repair first looks again, under its locks, whether the finding still holds.
//
// Removed is only what a removal cut short leaves, on positive evidence: a
// link whose target is gone (ENOENT), a node's link to a vdisk that has no
// member directory for the node (the member directory went first), a vdisk
// directory with neither memberinfo/ (or an empty one) nor any node link to
// it.  A vdisk some node still links is left to that node's next entry,
// which rebuilds it; a datastore is never removed, so a datastore's last
// member stays listed.  Made: a member's missing node link, the missing half
// of a vdisk/datastore link pair, a datastore's missing member link.  Lock
// files only with stale_locks, and only when their holder provably does not
// exist on this host.  Attribute files, unreadable entries, links of a form
// the store does not write and stray entries are left, each named with why.
#pragma once

#include <string>
#include <vector>

#include "tools/check.h"

struct RepairOptions {
    bool stale_locks = false;
    // Say what would be repaired ("would repair: ..."), take no lock and
    // change nothing.
    bool dry_run = false;
};

// One line per repair made ("repaired: ..."), skipped now ("skipped: ..."
// with the reason, for example a lock that could not be taken) or never
// made by marloctl ("left: ..." with why).
struct RepairLog {
    std::vector<std::string> lines;
    int changes = 0;          // repairs made, or that a dry run would make
    std::vector<std::string> changed;  // their findings' keys
    int stale_locks_left = 0;  // stale locks left for want of stale_locks
};

// Repairs the findings of one check.  Findings whose key is in *tried are
// not tried again; every finding tried is added to it.
void repair_findings(const CheckReport &report, const RepairOptions &options,
                     std::vector<std::string> *tried, RepairLog *log);

// Retiring node `node` (canonical decimal), gone for good: its record
// Node/{node} is removed, so that no host reports it silent any more.  Only
// when it is not one of this host's local nodes, its `lastping` was read and
// is older than silent_for seconds, and nothing lists it: no datastore's
// members/, no vdisk's memberinfo/ or membership, none of its own links
// (datastoremember, vdisks/).  Everything is read again under the node's
// lock (the daemon's), and then the record goes.  Nothing else links a node.
struct RetireOptions {
    bool dry_run = false;       // say what would be removed, take no lock
    long long silent_for = 0;   // seconds
    std::vector<std::string> local_nodes;
};
// 0 when retired (or, in a dry run, retirable) or when the node has no
// record; 1 when refused.  *said: the line that says which and why.
int retire_node(const std::string &node, const RetireOptions &options, std::string *said);
