// Each repair takes its locks in the daemon's order, looks again under them
// whether the finding still holds (the daemon may have mended it meanwhile,
// or another program changed it), and then calls the store operation the
// daemon itself would call.
#include "tools/repair.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <set>

#include "daemon/check.h"
#include "daemon/config.h"
#include "io/io.h"
#include "object/attr.h"
#include "object/datastore.h"
#include "object/door.h"
#include "object/member.h"
#include "object/model.h"
#include "object/node.h"
#include "object/snapshot.h"
#include "object/store.h"
#include "object/vdisk.h"

namespace {

// A lock taken by one of the daemon's lock operations, released at the end
// of the scope of its last owner when it was taken.
class Held {
public:
    Held(int result, std::function<void()> release) : result_(result), release_(std::move(release))
    {
    }
    Held(Held &&other) noexcept : result_(other.result_), release_(std::move(other.release_))
    {
        other.result_ = -1;
    }
    ~Held()
    {
        if (result_ == 0)
            release_();
    }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    bool ok() const { return result_ == 0; }
    int result() const { return result_; }

private:
    int result_;
    std::function<void()> release_;
};

std::string path(const std::string &rel) { return cfg_work_directory + "/" + rel; }

// Every look at the store goes through its door: rel ("Top/rest") is
// resolved from the held top directory, never through a link.
constexpr const char *DOOR = "repair";

// rel's top directory, and the rest of rel ("." for the top itself).
StoreTop top_of(const std::string &rel, std::string *rest)
{
    const size_t slash = rel.find('/');
    *rest = slash == std::string::npos ? "." : rel.substr(slash + 1);
    const std::string top = rel.substr(0, slash);
    for (StoreTop t : {StoreTop::VDISK, StoreTop::NODE, StoreTop::DATASTORE})
        if (top == store_top_name(t))
            return t;
    MARLO_ASSERT(!"a store path below a top directory");
    return StoreTop::VDISK;
}

// The directory rel names, opened; -2 when it is missing, -1 (errno set)
// when it cannot be opened.
int open_dir(const std::string &rel)
{
    std::string rest;
    const StoreTop top = top_of(rel, &rest);
    return door_open(DOOR, top, rest.c_str(), O_RDONLY | O_DIRECTORY, true);
}

// fn(dirfd, name) on the directory holding rel's last component; false
// (errno set) when that directory cannot be opened.
bool at_parent(const std::string &rel, const std::function<bool(int, const char *)> &fn)
{
    const size_t slash = rel.rfind('/');
    MARLO_ASSERT(slash != std::string::npos);
    const int fd = open_dir(rel.substr(0, slash));
    if (fd < 0) {
        if (fd == -2)
            errno = ENOENT;
        return false;
    }
    const UniqueFd dir(fd);
    return fn(dir.get(), rel.c_str() + slash + 1);
}

// What the look-up says of rel: 1 present, 0 absent (ENOENT), -1 cannot tell.
int lookup(const std::string &rel)
{
    std::string rest;
    const StoreTop top = top_of(rel, &rest);
    if (rest != ".")
        return door_lookup(top, rest.c_str());
    const int fd = door_top(DOOR, top, false);
    return fd == -2 ? 0 : fd < 0 ? -1 : 1;
}
bool exists(const std::string &rel) { return lookup(rel) == 1; }
bool absent(const std::string &rel) { return lookup(rel) == 0; }
// rel is a link, and what it names does not exist (ENOENT, nothing else).
bool dangles(const std::string &rel)
{
    return at_parent(rel, [](int dir, const char *name) {
        struct stat st;
        return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode) &&
               ::fstatat(dir, name, &st, 0) != 0 && errno == ENOENT;
    });
}
bool is_link(const std::string &rel)
{
    return at_parent(rel, [](int dir, const char *name) {
        struct stat st;
        return ::fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
    });
}
std::string link_target(const std::string &rel)
{
    std::string target;
    at_parent(rel, [&](int dir, const char *name) {
        char buf[PATH_MAX];
        const ssize_t n = ::readlinkat(dir, name, buf, sizeof buf);
        if (n >= 0)
            target.assign(buf, size_t(n));
        return n >= 0;
    });
    return target;
}
bool remove_link(const std::string &rel)
{
    return at_parent(rel, [](int dir, const char *name) { return ::unlinkat(dir, name, 0) == 0; });
}
bool make_link(const std::string &target, const std::string &rel)
{
    return at_parent(rel, [&](int dir, const char *name) {
        return ::symlinkat(target.c_str(), dir, name) == 0;
    });
}
// The entries of the directory rel ("." and ".." left out); false when it
// cannot be read.
bool entries(const std::string &rel, std::vector<std::string> *names)
{
    const int fd = open_dir(rel);
    if (fd == -2)
        errno = ENOENT;
    DirEntries dir(fd < 0 ? -1 : fd);
    if (dir.fd() < 0)
        return false;
    errno = 0;
    while (const char *name = dir.next()) {
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            names->push_back(name);
        errno = 0;
    }
    return errno == 0;
}
// The objects of top (Node, Datastore) with an entry `sub`/name: the nodes
// that link a vdisk, the datastores that list it.  An entry of top that is
// no directory holds nothing (ENOTDIR).  false, with *why naming the file
// and the error, when that cannot be told.
bool holders(const char *top, const std::string &sub, std::vector<std::string> *out,
             std::string *why)
{
    std::vector<std::string> objects;
    if (!entries(top, &objects) && !absent(top)) {
        *why = std::string(top) + ": " + strerror(errno);
        return false;
    }
    for (const std::string &o : objects) {
        const std::string rel = std::string(top) + "/" + o + "/" + sub;
        const int found = lookup(rel);
        if (found == 1) {
            out->push_back(o);
        } else if (found < 0 && errno != ENOTDIR) {
            *why = rel + ": " + strerror(errno);
            return false;
        }
    }
    std::sort(out->begin(), out->end());
    return true;
}

// A vdisk record naming uuid only, as the receive path builds one for a
// removal; nullptr when the daemon could not name such a vdisk.
std::unique_ptr<VDisk> vdisk_named(const std::string &uuid)
{
    std::unique_ptr<VDisk> v;
    if (uuid.empty() || uuid.size() > UUID_LEN || VDiskAlloc(v) != 0)
        return nullptr;
    std::memcpy(v->vdiskuuid, uuid.c_str(), uuid.size() + 1);
    return v;
}

// The header of a message from node `node` (its id in canonical decimal);
// false when the name is no node id.
bool node_hdr(const std::string &node, Hdr *hdr)
{
    *hdr = Hdr{};
    if (node.empty())
        return true;  // no node involved: id 0, which names no node
    char *end = nullptr;
    errno = 0;
    const unsigned long id = std::strtoul(node.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || id > UINT32_MAX || std::to_string(id) != node)
        return false;
    hdr->uid = uint32_t(id);
    return true;
}

// Why marloctl leaves a kind it never repairs.
std::string left_why(const Finding &f)
{
    const std::string &k = f.kind;
    if (k == kind::BAD_ATTRIBUTE && f.what == "not a regular file")
        return "the daemon cannot mend it (it never removes what it cannot read): remove it by "
               "hand once no program uses it, and the next announcement writes the file";
    if (k == kind::BAD_ATTRIBUTE || k == kind::MISSING_ATTRIBUTE) {
        if (f.objects[0].rfind("vdisk ", 0) == 0)
            return "attribute files are the daemon's: the next announcement of the vdisk "
                   "rewrites it";
        return "attribute files are the daemon's: the object's next announcement rewrites it";
    }
    if (k == kind::UNREADABLE)
        return "it cannot be read, so nothing is known of it and nothing is removed (run as "
               "the daemon's user, or mend what keeps it from being read)";
    if (k == kind::BAD_LINK)
        return "the store never makes such a link: remove it by hand once no program uses it "
               "(the daemon makes the link again in the form it writes)";
    if (k == kind::STRAY_ENTRY)
        return "the store never makes it: remove it by hand if no program of the host uses it";
    if (k == kind::LOCK_NOT_REGULAR)
        return "no lock file of the daemon or a storage program: remove it by hand once no "
               "program uses it";
    if (k == kind::LOCK_WITHOUT_PID)
        return "whether its holder lives cannot be told: remove it by hand once no program is "
               "in the middle of an update (fuser)";
    if (k == kind::LOCK_HELD_LONG)
        return "its holder runs: a lock a running process holds is never removed";
    if (k == kind::NODE_IN_SEVERAL_DATASTORES)
        return "mended through its datastore-lists-nonmember findings";
    if (k == kind::STALE_LOCK)
        return "lock files are removed only with --stale-locks";
    return "";
}

class Repairer {
public:
    Repairer(const RepairOptions &options, RepairLog *log) : options_(options), log_(log) {}

    void repair(const Finding &f);

private:
    void line(const char *what, const Finding &f, const std::string &text)
    {
        log_->lines.push_back(std::string(what) + ": " + f.kind + " " + f.files[0] + ": " + text);
    }
    void skip(const Finding &f, const std::string &why) { line("skipped", f, why); }
    // Makes one change: `change` runs unless this is a dry run; its result
    // says whether it was made.
    void make(const Finding &f, const std::string &what, const std::function<bool()> &change)
    {
        if (options_.dry_run) {
            line("would repair", f, what);
        } else if (!change()) {
            return skip(f, "the store operation failed (see marloctl -v)");
        } else {
            line("repaired", f, what);
        }
        log_->changes++;
        log_->changed.push_back(finding_key(f));
    }
    // Takes a lock with one of the daemon's lock operations (none in a dry
    // run).  A lock not had is said with why.
    Held lock(const Finding &f, const std::function<int()> &take, std::function<void()> release,
              const std::string &lockpath, int timeout_ms)
    {
        if (options_.dry_run)
            return Held(0, [] {});
        Held held(take(), std::move(release));
        if (!held.ok())
            skip(f, held.result() == -1 ? lockpath + " is held by another process (waited " +
                                              std::to_string(timeout_ms) + " ms)"
                                        : "could not take " + lockpath);
        return held;
    }
    Held lock_datastore(const Finding &f, const std::string &ds)
    {
        return lock(
            f, [&] { return DatastoreLockStr(ds.c_str()); },
            [ds] { DatastoreUnlockStr(ds.c_str()); }, "/tmp/DS-" + ds,
            cfg_datastore_lock_timeout_ms);
    }
    Held lock_node(const Finding &f, const std::string &node)
    {
        return lock(
            f, [&] { return NodeLockStr(node.c_str()); }, [node] { NodeUnlockStr(node.c_str()); },
            "/tmp/NODE-" + node, cfg_node_lock_timeout_ms);
    }

    // Runs repair(vdisk, hdr) under the lock of vdisk `uuid` (hdr: a message
    // from the finding's node), or says why it cannot.
    void under_vdisk_lock(const Finding &f, const std::string &uuid,
                          const std::function<void(VDisk *, const Hdr &)> &repair);

    void vdisk_leftover(const Finding &f, VDisk *v);
    void node_link_gone(const Finding &f);
    void dangling(const Finding &f);
    void unlink_under_vdisk(const Finding &f, VDisk *v);
    void link_node(const Finding &f);
    void link_pair(const Finding &f);
    void datastore_member(const Finding &f);
    void stale_lock(const Finding &f);

    const RepairOptions &options_;
    RepairLog *log_;
    // Node links a dry run would have removed: a vdisk they alone kept
    // would go in the same run.
    std::set<std::string> unlinked_;
};

void Repairer::under_vdisk_lock(const Finding &f, const std::string &uuid,
                                const std::function<void(VDisk *, const Hdr &)> &repair)
{
    auto v = vdisk_named(uuid);
    Hdr hdr;
    if (!v || !node_hdr(f.node, &hdr))
        return skip(f, "names no object the daemon can lock");
    VDisk *vp = v.get();
    Held held = lock(
        f, [vp] { return VDiskLock(vp); }, [vp] { VDiskUnlock(vp); }, "/tmp/VDISK-" + uuid,
        cfg_vdisk_lock_timeout_ms);
    if (held.ok())
        repair(vp, hdr);
}

// A vdisk directory without memberinfo/, or with an empty one: what a
// removal leaves when it is cut short (membership may still name the last
// member, whose directory went first).  Removed only when
// no node links the vdisk any more: a node that does is still a member, and
// its next entry rebuilds the vdisk.  Looked at again under the vdisk lock,
// under which the daemon links no node to it.
void Repairer::vdisk_leftover(const Finding &f, VDisk *v)
{
    const std::string rel = "VDisk/" + f.vdisk;
    const std::string memberinfo = rel + "/memberinfo";
    const std::string vdisk_text = "vdisk " + f.vdisk;
    const bool without = f.kind == kind::VDISK_WITHOUT_MEMBERINFO;
    std::vector<std::string> names;
    const bool still = exists(rel) && (without ? absent(memberinfo)
                                               : entries(memberinfo, &names) && names.empty());
    if (!still)
        return skip(f, "no longer so");
    std::vector<std::string> linking;
    std::string why;
    if (!holders("Node", "vdisks/" + f.vdisk, &linking, &why))
        return skip(f, "whether a node links " + vdisk_text + " cannot be read: " + why);
    linking.erase(std::remove_if(linking.begin(), linking.end(),
                                 [&](const std::string &n) {
                                     return unlinked_.count("Node/" + n + "/vdisks/" + f.vdisk);
                                 }),
                  linking.end());
    if (!linking.empty())
        return skip(f, "node " + linking.front() + " links " + vdisk_text +
                           ": it is still a member, and its next entry rebuilds the vdisk");
    const Hdr none{};
    if (without)
        return make(f, "finished the removal of " + vdisk_text,
                    [&] { return VDiskGone_Leftover(&none, v) == 0; });
    if (VDiskLoad(nullptr, v) != 0)
        return skip(f, vdisk_text + " does not load; the daemon's next entry for it rebuilds it");
    make(f, "removed " + vdisk_text + ", which has no member and no node link",
         [&] { return VDiskGone(&none, v) == 0; });
}

// A node's link to a vdisk that has no member directory for the node: the
// node's removal from the vdisk went as far as the member directory.  Only
// the link goes (as the removal's last step); the vdisk stays, whatever
// members it has left.
void Repairer::node_link_gone(const Finding &f)
{
    under_vdisk_lock(f, f.vdisk, [&](VDisk *, const Hdr &) {
        const std::string memberinfo = "VDisk/" + f.vdisk + "/memberinfo";
        if (!is_link(f.files[0]) || !exists(memberinfo) || !absent(memberinfo + "/" + f.node))
            return skip(f, "no longer so");
        make(f, "removed node " + f.node + " from vdisk " + f.vdisk, [&] {
            return NodeUpdate_UnrefVDisk(f.node.c_str(), f.vdisk.c_str()) == 0;
        });
        if (options_.dry_run)
            unlinked_.insert(f.files[0]);
    });
}

// Links whose target is gone (ENOENT), each removed under the lock of the
// object that holds it (after the lock of the vdisk it names, which keeps
// that vdisk from being created meanwhile).
void Repairer::dangling(const Finding &f)
{
    const std::string &link = f.files[0];
    if (link.rfind("Node/", 0) == 0) {
        // The vdisk is gone: the removal's last step is left.
        return under_vdisk_lock(f, f.vdisk, [&](VDisk *v, const Hdr &hdr) {
            if (!dangles(link) || !absent("VDisk/" + f.vdisk))
                return skip(f, "no longer so");
            make(f, "removed the link", [&] { return VDiskGone_Leftover(&hdr, v) == 0; });
            if (options_.dry_run)
                unlinked_.insert(link);
        });
    }
    if (!f.datastore.empty() && f.target.empty()) {
        // Datastore/D/members/N: the node does not exist.  Only the link
        // goes, never the datastore, even when it was the last member.
        Held ds = lock_datastore(f, f.datastore);
        if (!ds.ok())
            return;
        if (!dangles(link))
            return skip(f, "no longer so");
        return make(f, "removed the link", [&] { return remove_link(link); });
    }

    // Datastore/D/vdisks/V, VDisk/P/snapshots/S, VDisk/V/memberinfo/N/nodestatus,
    // VDisk/V/datastore.
    const std::string &vdisk = f.target.empty() ? f.vdisk : f.target;
    under_vdisk_lock(f, vdisk, [&](VDisk *v, const Hdr &) { unlink_under_vdisk(f, v); });
}

void Repairer::unlink_under_vdisk(const Finding &f, VDisk *v)
{
    const std::string &link = f.files[0];
    const std::string vdisk = v->vdiskuuid;
    if (!dangles(link))
        return skip(f, "no longer so");

    if (!f.datastore.empty()) {
        Held ds = lock_datastore(f, f.datastore);
        if (!ds.ok())
            return;
        return make(f, "removed the link", [&] {
            return DatastoreUpdate_UnrefVDisk(f.datastore.c_str(), vdisk.c_str()) == 0;
        });
    }
    if (!f.target.empty()) {
        // The snapshot's lock, then its parent's: the order of the removal.
        v->vde.snapshot = 1;
        if (f.vdisk.size() > UUID_LEN)
            return skip(f, "names no object the daemon can lock");
        std::memcpy(v->parentuuid, f.vdisk.c_str(), f.vdisk.size() + 1);
        Held parent = lock(
            f, [v] { return ParentLock(v); }, [v] { ParentUnlock(v); }, "/tmp/VDISK-" + f.vdisk,
            cfg_vdisk_lock_timeout_ms);
        if (!parent.ok())
            return;
        return make(f, "removed the link", [&] { return ParentUpdate_UnrefSnapshot(v) == 0; });
    }
    // The member's nodestatus link, made again by the member's next entry
    // once its node exists; the vdisk's datastore link, made again by its
    // members' next entries to the datastore they are in then.
    make(f, "removed the link", [&] { return remove_link(link); });
}

// A member serving frontends without its node's link to the vdisk: the link
// its update would have made.
void Repairer::link_node(const Finding &f)
{
    under_vdisk_lock(f, f.vdisk, [&](VDisk *, const Hdr &) {
        Held node = lock_node(f, f.node);
        if (!node.ok())
            return;
        if (!exists("Node/" + f.node + "/vdisks"))
            return skip(f, "node " + f.node + " has no record; its next announcement makes it");
        if (!exists("VDisk/" + f.vdisk + "/memberinfo/" + f.node + "/frontend") ||
            !absent(f.files[1]))
            return skip(f, "no longer so");
        make(f, "linked node " + f.node + " to vdisk " + f.vdisk, [&] {
            return NodeUpdate_RefVDisk(f.node.c_str(), f.vdisk.c_str()) == 0;
        });
    });
}

// A vdisk/datastore link pair with one half: the other half is made, in the
// daemon's order (the vdisk lock, then the datastore lock for the
// datastore's link).  The vdisk's own link is made only when exactly one
// datastore lists the vdisk.
void Repairer::link_pair(const Finding &f)
{
    under_vdisk_lock(f, f.vdisk, [&](VDisk *, const Hdr &) {
        const std::string vdisk_link = "VDisk/" + f.vdisk + "/datastore";
        const std::string ds_link = "Datastore/" + f.datastore + "/vdisks/" + f.vdisk;
        if (f.files[0] == vdisk_link) {
            Held ds = lock_datastore(f, f.datastore);
            if (!ds.ok())
                return;
            if (link_target(vdisk_link) != "../../Datastore/" + f.datastore ||
                !exists("Datastore/" + f.datastore + "/vdisks") || !absent(ds_link))
                return skip(f, "no longer so");
            return make(f, "linked vdisk " + f.vdisk + " in datastore " + f.datastore, [&] {
                return DatastoreUpdate_RefVDisk(f.datastore.c_str(), f.vdisk.c_str()) == 0;
            });
        }
        std::vector<std::string> listing;
        std::string why;
        if (!is_link(ds_link) || !absent(vdisk_link) || !exists("VDisk/" + f.vdisk))
            return skip(f, "no longer so");
        if (!holders("Datastore", "vdisks/" + f.vdisk, &listing, &why))
            return skip(f, "which datastores list vdisk " + f.vdisk + " cannot be read: " + why);
        if (listing.size() != 1)
            return skip(f, "more than one datastore lists vdisk " + f.vdisk +
                               ": which one it belongs to is not known");
        const std::string target = "../../Datastore/" + f.datastore;
        make(f, "linked vdisk " + f.vdisk + " to datastore " + f.datastore, [&] {
            return make_link(target, vdisk_link);
        });
    });
}

// A datastore's member list against the node's datastoremember, read under
// the node's lock and then changed under the datastore's (one at a time).
// A member link is removed only while the datastore has other members: a
// datastore is never removed here.
void Repairer::datastore_member(const Finding &f)
{
    Hdr hdr;
    if (!node_hdr(f.node, &hdr) || f.datastore.size() > UUID_LEN)
        return skip(f, "names no object the daemon can lock");
    char named[UUID_LEN + 2] = {};
    int r;
    {
        Held node = lock_node(f, f.node);
        if (!node.ok())
            return;
        r = NodeLoad_DSMember(f.node.c_str(), named, int(sizeof named));
    }
    if (r == -2)
        return skip(f, "node " + f.node + "'s datastoremember cannot be read");
    const bool member = r == 0 && f.datastore == named;
    if (member != (f.kind == kind::DATASTORE_MEMBER_UNLISTED))
        return skip(f, "no longer so");

    Held ds = lock_datastore(f, f.datastore);
    if (!ds.ok())
        return;
    const std::string members = "Datastore/" + f.datastore + "/members";
    if (!member) {
        std::vector<std::string> names;
        if (!is_link(members + "/" + f.node) || !entries(members, &names))
            return skip(f, "no longer so");
        if (names.size() < 2)
            return skip(f, "node " + f.node + " is the last member of datastore " + f.datastore +
                               ": removing it would remove the datastore, which is left to its "
                               "members' datastore pings");
        return make(f, "removed node " + f.node + " from datastore " + f.datastore, [&] {
            return DatastoreUpdate_UnrefNode(f.datastore.c_str(), f.node.c_str()) == 0;
        });
    }
    if (!exists(members))
        return skip(f, "datastore " + f.datastore + " does not exist; node " + f.node +
                           "'s next datastore ping makes it");
    if (!absent(members + "/" + f.node))
        return skip(f, "no longer so");
    const std::string target = "../../../Node/" + f.node;
    make(f, "listed node " + f.node + " in datastore " + f.datastore,
         [&] { return make_link(target, members + "/" + f.node); });
}

// A lock file whose holder provably does not exist: its pid is read again,
// the process looked for again, and the file removed only if it is still
// the one read (a new holder's file under the same name stays).
void Repairer::stale_lock(const Finding &f)
{
    const std::string &lockpath = f.files[0];
    UniqueFd fd(::open(lockpath.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    char buf[32] = {};
    struct stat before, now;
    if (!fd || ::fstat(fd.get(), &before) != 0 || !S_ISREG(before.st_mode) ||
        ::read(fd.get(), buf, sizeof buf - 1) < 2)
        return skip(f, "no longer so");
    char *end = nullptr;
    const long pid = std::strtol(buf, &end, 10);
    if (pid <= 0 || *end != '\n' || end[1] != '\0')
        return skip(f, "no longer so");
    if (::kill(pid_t(pid), 0) == 0 || errno != ESRCH)
        return skip(f, "pid " + std::to_string(pid) + " runs now");
    if (::lstat(lockpath.c_str(), &now) != 0 || now.st_ino != before.st_ino ||
        now.st_dev != before.st_dev)
        return skip(f, "no longer so");
    make(f, "removed the lock of pid " + std::to_string(pid) + ", which does not exist",
         [&] { return ::unlink(lockpath.c_str()) == 0; });
}

void Repairer::repair(const Finding &f)
{
    const std::string &k = f.kind;
    if (k == kind::VDISK_WITHOUT_MEMBERINFO || k == kind::VDISK_WITHOUT_MEMBERS)
        under_vdisk_lock(f, f.vdisk, [&](VDisk *v, const Hdr &) { vdisk_leftover(f, v); });
    else if (k == kind::NODE_LINK_WITHOUT_MEMBER)
        node_link_gone(f);
    else if (k == kind::DANGLING_LINK)
        dangling(f);
    else if (k == kind::MEMBER_WITHOUT_NODE_LINK)
        link_node(f);
    else if (k == kind::BROKEN_LINK_PAIR)
        link_pair(f);
    else if (k == kind::DATASTORE_MEMBER_UNLISTED || k == kind::DATASTORE_LISTS_NONMEMBER)
        datastore_member(f);
    else if (k == kind::STALE_LOCK && options_.stale_locks)
        stale_lock(f);
    else {
        line("left", f, left_why(f));
        if (k == kind::STALE_LOCK)
            log_->stale_locks_left++;
    }
}

}  // namespace

void repair_findings(const CheckReport &report, const RepairOptions &options,
                     std::vector<std::string> *tried, RepairLog *log)
{
    Repairer r(options, log);
    for (const Finding &f : report.findings) {
        const std::string key = finding_key(f);
        if (std::find(tried->begin(), tried->end(), key) != tried->end())
            continue;
        tried->push_back(key);
        r.repair(f);
    }
}

namespace {

// Whether the membership file of vdisk `uuid` names `node`: 1 yes, 0 no
// (absent included), -1 cannot be read.
int membership_names(const std::string &uuid, const std::string &node)
{
    const int opened = door_open(DOOR, StoreTop::VDISK, (uuid + "/membership").c_str(), O_RDONLY, true);
    if (opened < 0)
        return opened == -2 ? 0 : -1;
    const UniqueFd fd(opened);
    std::string text;
    char buf[4096];
    ssize_t n;
    // A list file beyond 1 MiB is damaged (check says so): what it names is
    // doubt, and doubt refuses.
    while ((n = ::read(fd.get(), buf, sizeof buf)) > 0 && text.size() < (1u << 20))
        text.append(buf, size_t(n));
    if (n > 0)
        return -1;
    if (n < 0)
        return -1;
    return ("\n" + text).find("\n" + node + "\n") != std::string::npos ? 1 : 0;
}

// Why node `node` cannot be retired now; "" when it can.  *silence: how
// long it was not heard.
std::string retire_refusal(const std::string &node, const RetireOptions &options,
                           long long *silence)
{
    const std::string rel = "Node/" + node;
    if (std::find(options.local_nodes.begin(), options.local_nodes.end(), node) !=
        options.local_nodes.end())
        return "it is one of this host's local nodes";
    const int opened = open_dir(rel);
    const UniqueFd fd(opened < 0 ? -1 : opened);
    unsigned long long lastping = 0;
    if (!fd || AttrLoad(fd.get(), "lastping", "%llu", &lastping) != 1)
        return rel + "/lastping cannot be read: when it was last heard is not known";
    *silence = (long long)::time(nullptr) - (long long)lastping;
    if (*silence <= options.silent_for)
        return "heard " + std::to_string(*silence) + "s ago, within " +
               std::to_string(options.silent_for) + "s";
    if (const int found = lookup(rel + "/datastoremember"); found != 0)
        return found < 0 ? rel + "/datastoremember: " + strerror(errno)
                         : rel + "/datastoremember names a datastore";
    std::vector<std::string> names;
    if (!entries(rel + "/vdisks", &names) && !absent(rel + "/vdisks"))
        return rel + "/vdisks: " + strerror(errno);
    if (!names.empty())
        return "it links vdisk " + names.front() + " (" + rel + "/vdisks)";
    std::vector<std::string> listing, vdisks;
    std::string why;
    if (!holders("Datastore", "members/" + node, &listing, &why))
        return "which datastores list it cannot be read: " + why;
    if (!listing.empty())
        return "datastore " + listing.front() + " lists it as a member";
    if (!holders("VDisk", "memberinfo/" + node, &listing, &why))
        return "which vdisks it is a member of cannot be read: " + why;
    if (!listing.empty())
        return "vdisk " + listing.front() + " has a member directory for it";
    if (!entries("VDisk", &vdisks) && !absent("VDisk"))
        return std::string("VDisk: ") + strerror(errno);
    for (const std::string &v : vdisks) {
        const int named = membership_names(v, node);
        if (named != 0)
            return named < 0 ? "VDisk/" + v + "/membership cannot be read"
                             : "vdisk " + v + "'s membership lists it";
    }
    return "";
}

}  // namespace

int retire_node(const std::string &node, const RetireOptions &options, std::string *said)
{
    const std::string rel = "Node/" + node;
    const std::string who = "node " + node;
    if (absent(rel)) {
        *said = who + " has no record: nothing to retire";
        return 0;
    }
    long long silence = 0;
    std::string why = retire_refusal(node, options, &silence);
    if (why.empty() && options.dry_run) {
        *said = "would retire " + who + ": removes " + rel + " (not heard for " +
                std::to_string(silence) + "s, listed nowhere)";
        return 0;
    }
    if (!why.empty()) {
        *said = "refused: " + who + ": " + why;
        return 1;
    }
    // Looked at again under the node's lock, under which the daemon neither
    // links nor lists the node.
    if (NodeLockStr(node.c_str()) != 0) {
        *said = "refused: " + who + ": /tmp/NODE-" + node + " is held by another process";
        return 1;
    }
    why = retire_refusal(node, options, &silence);
    const int nodes = why.empty() ? door_top(DOOR, StoreTop::NODE, false) : 0;
    const int removed = !why.empty() ? 0
                        : nodes < 0  ? -1
                                     : store_rm_tree(DOOR, nodes, node.c_str(), path(rel).c_str());
    NodeUnlockStr(node.c_str());
    if (!why.empty() || removed != 0) {
        *said = "refused: " + who + ": " + (why.empty() ? "removing " + rel + " failed (see marloctl -v)" : why);
        return 1;
    }
    *said = "retired " + who + ": removed " + rel + " (not heard for " + std::to_string(silence) + "s)";
    return 0;
}
