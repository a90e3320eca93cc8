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
#include <cstring>
#include <functional>
#include <memory>

#include "daemon/config.h"
#include "io/io.h"
#include "object/attr.h"
#include "object/datastore.h"
#include "object/member.h"
#include "object/model.h"
#include "object/node.h"
#include "object/snapshot.h"
#include "object/store.h"
#include "object/vdisk.h"

namespace {

// A lock taken by one of the daemon's lock operations, released at the end
// of the scope when it was taken.
class Held {
public:
    Held(int result, std::function<void()> release) : result_(result), release_(std::move(release))
    {
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

// lstat: whether rel exists at all; stat: whether it leads somewhere.
bool exists(const std::string &rel)
{
    struct stat st;
    return ::lstat(path(rel).c_str(), &st) == 0;
}
bool resolves(const std::string &rel)
{
    struct stat st;
    return ::stat(path(rel).c_str(), &st) == 0;
}
bool is_link(const std::string &rel)
{
    struct stat st;
    return ::lstat(path(rel).c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}
bool is_empty_dir(const std::string &rel)
{
    DIR *d = ::opendir(path(rel).c_str());
    if (d == nullptr)
        return false;
    UniqueDir dir(d);
    while (const struct dirent *e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            return false;
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

class Repairer {
public:
    Repairer(const RepairOptions &options, RepairLog *log) : options_(options), log_(log) {}

    void repair(const Finding &f);

private:
    void done(const Finding &f, const std::string &what)
    {
        log_->lines.push_back("repaired: " + f.kind + " " + f.files[0] + ": " + what);
        log_->changes++;
    }
    void skip(const Finding &f, const std::string &why)
    {
        log_->lines.push_back("skipped: " + f.kind + " " + f.files[0] + ": " + why);
    }
    // A lock the repair could not take.
    void busy(const Finding &f, const Held &lock, const std::string &lockpath, int timeout_ms)
    {
        skip(f, lock.result() == -1 ? lockpath + " is held by another process (waited " +
                                          std::to_string(timeout_ms) + " ms)"
                                    : "could not take " + lockpath);
    }
    void gone(const Finding &f, const std::string &what, bool ok)
    {
        if (ok)
            done(f, what);
        else
            skip(f, "the store operation failed (see marloctl -v)");
    }

    // Runs repair(vdisk, hdr) under the lock of vdisk `uuid` (hdr: a message
    // from the finding's node), or says why it cannot.
    void under_vdisk_lock(const Finding &f, const std::string &uuid,
                          const std::function<void(VDisk *, const Hdr &)> &repair);

    void vdisk_removal(const Finding &f);
    void finish_removal(const Finding &f, VDisk *v, const Hdr &hdr);
    void dangling(const Finding &f);
    void unlink_under_vdisk(const Finding &f, VDisk *v);
    void node_link(const Finding &f);
    void link_node(const Finding &f);
    void datastore_member(const Finding &f);
    void stale_lock(const Finding &f);

    const RepairOptions &options_;
    RepairLog *log_;
};

void Repairer::under_vdisk_lock(const Finding &f, const std::string &uuid,
                                const std::function<void(VDisk *, const Hdr &)> &repair)
{
    auto v = vdisk_named(uuid);
    Hdr hdr;
    if (!v || !node_hdr(f.node, &hdr))
        return skip(f, "names no object the daemon can lock");
    Held lock(VDiskLock(v.get()), [&] { VDiskUnlock(v.get()); });
    if (!lock.ok())
        return busy(f, lock, "/tmp/VDISK-" + uuid, cfg_vdisk_lock_timeout_ms);
    repair(v.get(), hdr);
}

// A vdisk without memberinfo/ or without members, a node's link to a vdisk
// that has no member directory for the node, a node's link to a vdisk that
// is gone: each is the rest of a removal, which the daemon's removal
// finishes from where it stopped.
void Repairer::vdisk_removal(const Finding &f)
{
    under_vdisk_lock(f, f.vdisk, [&](VDisk *v, const Hdr &hdr) { finish_removal(f, v, hdr); });
}

void Repairer::finish_removal(const Finding &f, VDisk *v, const Hdr &hdr)
{
    const std::string rel = "VDisk/" + f.vdisk;
    const std::string memberinfo = rel + "/memberinfo";
    const std::string vdisk_text = "vdisk " + f.vdisk;
    if (f.kind == kind::VDISK_WITHOUT_MEMBERINFO || f.kind == kind::DANGLING_LINK) {
        const bool still = f.kind == kind::DANGLING_LINK
                               ? is_link(f.files[0]) && !exists(rel)
                               : exists(rel) && !exists(memberinfo);
        if (!still)
            return skip(f, "no longer so");
        return gone(f,
                    f.kind == kind::DANGLING_LINK ? "removed the link"
                                                  : "finished the removal of " + vdisk_text,
                    VDiskGone_Leftover(&hdr, v) == 0);
    }
    const bool still = f.kind == kind::VDISK_WITHOUT_MEMBERS
                           ? is_empty_dir(memberinfo)
                           : is_link(f.files[0]) && exists(memberinfo) &&
                                 !exists(memberinfo + "/" + f.node);
    if (!still)
        return skip(f, "no longer so");
    if (VDiskLoad(nullptr, v) != 0)
        return skip(f, vdisk_text + " does not load; the daemon's next entry for it rebuilds it");
    const bool ok = VDiskGone(&hdr, v) == 0;
    if (f.kind == kind::VDISK_WITHOUT_MEMBERS)
        return gone(f, "removed " + vdisk_text + ", which has no member", ok);
    gone(f,
         "removed node " + f.node + " from " + vdisk_text +
             (exists(rel) ? "" : ", its last member: the vdisk went with it"),
         ok);
}

// Links whose target is gone, each removed under the lock of the object
// that holds it (after the lock of the vdisk it names, which keeps that
// vdisk from being created meanwhile).
void Repairer::dangling(const Finding &f)
{
    const std::string &link = f.files[0];
    if (link.rfind("Node/", 0) == 0)
        return vdisk_removal(f);

    if (!f.datastore.empty() && f.target.empty()) {
        // Datastore/D/members/N: the node does not exist.
        Held ds(DatastoreLockStr(f.datastore.c_str()),
                [&] { DatastoreUnlockStr(f.datastore.c_str()); });
        if (!ds.ok())
            return busy(f, ds, "/tmp/DS-" + f.datastore, cfg_datastore_lock_timeout_ms);
        if (!is_link(link) || exists("Node/" + f.node))
            return skip(f, "no longer so");
        const bool ok = DatastoreUpdate_UnrefNode(f.datastore.c_str(), f.node.c_str()) == 0;
        return gone(f,
                    exists("Datastore/" + f.datastore)
                        ? "removed the link"
                        : "removed the link and datastore " + f.datastore + ", left without members",
                    ok);
    }

    // Datastore/D/vdisks/V, VDisk/P/snapshots/S, VDisk/V/memberinfo/N/nodestatus.
    const std::string &vdisk = f.target.empty() ? f.vdisk : f.target;
    under_vdisk_lock(f, vdisk, [&](VDisk *v, const Hdr &) { unlink_under_vdisk(f, v); });
}

void Repairer::unlink_under_vdisk(const Finding &f, VDisk *v)
{
    const std::string &link = f.files[0];
    const std::string vdisk = v->vdiskuuid;
    if (!is_link(link) || resolves(link))
        return skip(f, "no longer so");

    if (!f.datastore.empty()) {
        Held ds(DatastoreLockStr(f.datastore.c_str()),
                [&] { DatastoreUnlockStr(f.datastore.c_str()); });
        if (!ds.ok())
            return busy(f, ds, "/tmp/DS-" + f.datastore, cfg_datastore_lock_timeout_ms);
        return gone(f, "removed the link",
                    DatastoreUpdate_UnrefVDisk(f.datastore.c_str(), vdisk.c_str()) == 0);
    }
    if (!f.target.empty()) {
        // The snapshot's lock, then its parent's: the order of the removal.
        v->vde.snapshot = 1;
        if (f.vdisk.size() > UUID_LEN)
            return skip(f, "names no object the daemon can lock");
        std::memcpy(v->parentuuid, f.vdisk.c_str(), f.vdisk.size() + 1);
        Held parent(ParentLock(v), [&] { ParentUnlock(v); });
        if (!parent.ok())
            return busy(f, parent, "/tmp/VDISK-" + f.vdisk, cfg_vdisk_lock_timeout_ms);
        return gone(f, "removed the link", ParentUpdate_UnrefSnapshot(v) == 0);
    }
    // The member's nodestatus link, made again by the member's next entry
    // once its node exists.
    gone(f, "removed the link", ::unlink(path(link).c_str()) == 0);
}

// A member serving frontends without its node's link to the vdisk: the link
// its update would have made.
void Repairer::node_link(const Finding &f)
{
    under_vdisk_lock(f, f.vdisk, [&](VDisk *, const Hdr &) { link_node(f); });
}

void Repairer::link_node(const Finding &f)
{
    Held node(NodeLockStr(f.node.c_str()), [&] { NodeUnlockStr(f.node.c_str()); });
    if (!node.ok())
        return busy(f, node, "/tmp/NODE-" + f.node, cfg_node_lock_timeout_ms);
    if (!exists("Node/" + f.node + "/vdisks"))
        return skip(f, "node " + f.node + " has no record; its next announcement makes it");
    if (!exists("VDisk/" + f.vdisk + "/memberinfo/" + f.node + "/frontend") ||
        exists(f.files[1]))
        return skip(f, "no longer so");
    gone(f, "linked node " + f.node + " to vdisk " + f.vdisk,
         NodeUpdate_RefVDisk(f.node.c_str(), f.vdisk.c_str()) == 0);
}

// A datastore's member list against the node's datastoremember, read under
// the node's lock and then changed under the datastore's (one at a time).
void Repairer::datastore_member(const Finding &f)
{
    Hdr hdr;
    if (!node_hdr(f.node, &hdr) || f.datastore.size() > UUID_LEN)
        return skip(f, "names no object the daemon can lock");
    char named[UUID_LEN + 2] = {};
    int r;
    {
        Held node(NodeLockStr(f.node.c_str()), [&] { NodeUnlockStr(f.node.c_str()); });
        if (!node.ok())
            return busy(f, node, "/tmp/NODE-" + f.node, cfg_node_lock_timeout_ms);
        r = NodeLoad_DSMember(f.node.c_str(), named, int(sizeof named));
    }
    if (r == -2)
        return skip(f, "node " + f.node + "'s datastoremember cannot be read");
    const bool member = r == 0 && f.datastore == named;
    if (member != (f.kind == kind::DATASTORE_MEMBER_UNLISTED))
        return skip(f, "no longer so");

    Held ds(DatastoreLockStr(f.datastore.c_str()), [&] { DatastoreUnlockStr(f.datastore.c_str()); });
    if (!ds.ok())
        return busy(f, ds, "/tmp/DS-" + f.datastore, cfg_datastore_lock_timeout_ms);
    const std::string members = "Datastore/" + f.datastore + "/members";
    if (!member) {
        if (!is_link(members + "/" + f.node))
            return skip(f, "no longer so");
        const bool ok = DatastoreUpdate_UnrefNode(f.datastore.c_str(), f.node.c_str()) == 0;
        return gone(f,
                    "removed node " + f.node + " from datastore " + f.datastore +
                        (exists("Datastore/" + f.datastore) ? "" : ", its last member"),
                    ok);
    }
    if (!exists(members))
        return skip(f, "datastore " + f.datastore + " does not exist; node " + f.node +
                           "'s next datastore ping makes it");
    if (exists(members + "/" + f.node))
        return skip(f, "no longer so");
    const std::string target = "../../../Node/" + f.node;
    gone(f, "listed node " + f.node + " in datastore " + f.datastore,
         ::symlink(target.c_str(), path(members + "/" + f.node).c_str()) == 0);
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
    if (!fd || ::fstat(fd.get(), &before) != 0 || ::read(fd.get(), buf, sizeof buf - 1) < 2)
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
    gone(f, "removed the lock of pid " + std::to_string(pid) + ", which does not exist",
         ::unlink(lockpath.c_str()) == 0);
}

void Repairer::repair(const Finding &f)
{
    if (f.kind == kind::VDISK_WITHOUT_MEMBERINFO || f.kind == kind::VDISK_WITHOUT_MEMBERS ||
        f.kind == kind::NODE_LINK_WITHOUT_MEMBER)
        vdisk_removal(f);
    else if (f.kind == kind::DANGLING_LINK)
        dangling(f);
    else if (f.kind == kind::MEMBER_WITHOUT_NODE_LINK)
        node_link(f);
    else if (f.kind == kind::DATASTORE_MEMBER_UNLISTED || f.kind == kind::DATASTORE_LISTS_NONMEMBER)
        datastore_member(f);
    else if (f.kind == kind::STALE_LOCK && options_.stale_locks)
        stale_lock(f);
    // The other kinds are not repaired here: see the header.
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
