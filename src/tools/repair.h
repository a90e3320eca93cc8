// Repairing what a check found, where that is safe: through the daemon's own
// store operations, under the same lock files, in the same lock order (the
// vdisk lock before a node or datastore lock, never a node and a datastore
// lock together) and with the same time-outs (the configuration's).  Each
// repair first looks again, under its locks, whether the finding still holds.
//
// Repaired: links whose target is gone; half-done vdisk removals (a vdisk
// without memberinfo/ or without members, a node's link to a vdisk without
// its member directory: finished as the daemon's removal finishes them); a
// member serving frontends without its node's link (the link is made); the
// datastore member lists (made to agree with each node's datastoremember,
// which is what the node last announced).  Lock files only with
// stale_locks, and only when their holder provably does not exist on this
// host.  Attribute files are left to the object's next announcement.
#pragma once

#include <string>
#include <vector>

#include "tools/check.h"

struct RepairOptions {
    bool stale_locks = false;
};

// One line per repair made ("repaired: ...") or skipped ("skipped: ..." with
// the reason, for example a lock that could not be taken).
struct RepairLog {
    std::vector<std::string> lines;
    int changes = 0;
};

// Repairs the findings of one check.  Findings whose key is in *tried are
// not tried again; every finding tried is added to it.
void repair_findings(const CheckReport &report, const RepairOptions &options,
                     std::vector<std::string> *tried, RepairLog *log);
