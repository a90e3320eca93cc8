// Whether the object database is whole: every inconsistency between the
// objects' directories, their attribute files, the links that tie them
// together and the lock files in /tmp, each with its kind, the objects and
// the files involved.  Reading takes no lock, like status: a state caught in
// the middle of an update by the daemon or another program is read again
// before it counts.
//
// States the daemon makes in its normal work are not inconsistencies: a
// member without frontends has no node link; `membership` may list members
// that have not announced yet; a snapshot announced before its parent is not
// recorded at the parent until its next entry; a sender outside the member
// list may have a member directory; a node that has not sent its statistics
// yet lacks their files.  A vdisk's `datastore` link to a datastore deleted
// with its last member is a dangling link: while it holds the name, the
// vdisk is never linked to its members' next datastore.
//
// Nothing is taken as absent that was not read as absent: a link counts as
// dangling only when following it ends in ENOENT, and any other error
// (EACCES, EIO, ELOOP) while reading an entry, a directory or what a link
// names is an `unreadable` finding of its own.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>
#include <vector>

// The kinds, in the order marloctl(8) documents them.
namespace kind {
inline constexpr const char *VDISK_WITHOUT_MEMBERINFO = "vdisk-without-memberinfo";
inline constexpr const char *VDISK_WITHOUT_MEMBERS = "vdisk-without-members";
inline constexpr const char *MEMBER_WITHOUT_NODE_LINK = "member-without-node-link";
inline constexpr const char *NODE_LINK_WITHOUT_MEMBER = "node-link-without-member";
inline constexpr const char *DANGLING_LINK = "dangling-link";
inline constexpr const char *DATASTORE_MEMBER_UNLISTED = "datastore-member-unlisted";
inline constexpr const char *DATASTORE_LISTS_NONMEMBER = "datastore-lists-nonmember";
inline constexpr const char *NODE_IN_SEVERAL_DATASTORES = "node-in-several-datastores";
inline constexpr const char *BAD_ATTRIBUTE = "bad-attribute";
inline constexpr const char *STALE_LOCK = "stale-lock";
inline constexpr const char *LOCK_WITHOUT_PID = "lock-without-pid";
inline constexpr const char *LOCK_HELD_LONG = "lock-held-long";
inline constexpr const char *BROKEN_LINK_PAIR = "broken-link-pair";
inline constexpr const char *MISSING_ATTRIBUTE = "missing-attribute";
inline constexpr const char *LOCK_NOT_REGULAR = "lock-not-regular";
inline constexpr const char *BAD_LINK = "bad-link";
inline constexpr const char *STRAY_ENTRY = "stray-entry";
inline constexpr const char *UNREADABLE = "unreadable";
}  // namespace kind

// Every kind above, in that order.
const std::vector<std::string> &check_kinds();

// A lock file older than this, whose holder runs, is reported as held too
// long: the daemon holds a lock for one store operation, and no lock
// time-out can be set above 60 s.
inline constexpr long long LOCK_LONG_SECONDS = 60;

// One inconsistency.
struct Finding {
    std::string kind;
    std::vector<std::string> objects;  // "node 5", "datastore ds1", "vdisk vd1"
    std::vector<std::string> files;    // relative to the work directory; lock files absolute
    std::string what;
    // The objects by name, for repairs ("" when not involved).  For a link,
    // `node`, `datastore` or `vdisk` names the object that holds it and
    // files[0] is the link; for a vdisk without memberinfo/ or members,
    // `node` is a node that links it (if any).
    std::string node, datastore, vdisk;
    std::string target;  // the object a link names, or the member of a vdisk
};

// Whether the kind is an error an operator must act on (the daemon cannot
// update or announce an object, or marloctl cannot read it), rather than
// an inconsistency that the daemon's next messages or a repair mend.
bool kind_is_error(const std::string &kind);

// What tells one finding from another in two scans: its kind and files.
std::string finding_key(const Finding &f);

enum class Holder { Running, Gone, Unknown };

// One lock file in /tmp.
struct LockView {
    std::string path;    // "/tmp/VDISK-vd1"
    std::string object;  // "vdisk vd1"
    bool has_pid = false;
    long pid = 0;
    Holder holder = Holder::Unknown;  // Unknown: no pid in the file
    long long age = 0;   // seconds since it was written
};

struct CheckReport {
    std::string work_directory;
    pid_t daemon_pid = 0;  // the running daemon (0: none): its locks are named so
    time_t now = 0;
    std::vector<Finding> findings;  // in scan order: nodes, datastores, vdisks, locks
    std::vector<LockView> locks;    // every lock file, by path
};

// What a check looks at.
struct CheckScope {
    std::string work_directory;
    std::string lock_dir = "/tmp";
    pid_t daemon_pid = 0;                 // the running daemon's pid, 0 when none
    std::vector<std::string> local_nodes;  // this host's nodes: their statistics files are needed
};

// Reads the work directory and the lock directory once.  0; -1 with *error
// set when the work directory cannot be opened.
int check_scan(const CheckScope &scope, CheckReport *report, std::string *error);

// check_scan, and when it finds anything, a second scan after reread_ms:
// only what both find counts (the report is the second scan's).
int check_store(const CheckScope &scope, CheckReport *report, std::string *error,
                int reread_ms = 200);


