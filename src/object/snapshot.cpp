// Snapshot links at their parents (VDisk/{parent}/snapshots/{uuid}) and the
// removal of a member from a vdisk, which removes the vdisk with its links
// when no member is left.
#include "object/snapshot.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "object/attr.h"
#include "object/door.h"
#include "object/member.h"
#include "object/path.h"
#include "object/store.h"
#include "object/vdisk.h"

namespace {

// Link targets are short relative paths.
constexpr size_t LINK_BUF_LEN = 64;

// "/tmp/VDISK-{parent}".  0, or -1 when the parent's name is refused or does
// not fit.
int parent_lock_path(const char *func, PathBuf &path, const VDisk *vdisk)
{
    MARLO_ASSERT(vdisk->vde.snapshot != 0);
    if (ObjectNameCheck(func, "parent", vdisk->parentuuid) != 0)
        return -1;
    return path_format(path, "/tmp/VDISK-%s", vdisk->parentuuid);
}

}  // namespace

int ParentLock(const VDisk *vdisk)
{
    PathBuf path;
    if (parent_lock_path("ParentLock", path, vdisk) != 0)
        return -1;
    return PathLock(path, cfg_vdisk_lock_timeout_ms);
}

void ParentUnlock(const VDisk *vdisk)
{
    PathBuf path;
    if (parent_lock_path("ParentUnlock", path, vdisk) != 0)
        return;
    PathUnlock(path);
}

int ParentUpdate_RefSnapshot(const VDisk *vdisk)
{
    static const char F[] = "ParentUpdate_RefSnapshot";
    const char *work = cfg_work_directory.c_str();
    if (ObjectNameCheck(F, "parent", vdisk->parentuuid) != 0 ||
        ObjectNameCheck(F, "vdisk", vdisk->vdiskuuid) != 0)
        return -1;

    log_debug(F, "%s/VDisk/%s [STAT]", work, vdisk->parentuuid);
    PathBuf parentpath;
    if (path_format(parentpath, "%s/VDisk/%s", work, vdisk->parentuuid) != 0)
        return -1;
    // A parent this host has not heard of yet: the snapshot's next entry
    // tries again.  Anything but a directory there (a link included) fails.
    const int parent = door_open(F, StoreTop::VDISK, vdisk->parentuuid, O_RDONLY | O_DIRECTORY,
                                 true);
    if (parent == -2)
        return 0;
    UniqueFd parentfd(parent);
    if (!parentfd)
        return -1;
    int snapdir = store_openat_opt(parentfd.get(), "snapshots",
                                   O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (snapdir == -2) {
        // Only a parent whose own `snapshot` file says it is a snapshot has
        // no snapshots directory: there is nothing to record, and the entry
        // stands as applied.  A plain parent lost it (a create cut short, or
        // another program): it is made again.  A parent that cannot tell
        // fails the step, for the next entry to retry.
        char text[256];
        unsigned snapshot;
        const int len = AttrProbe(parentfd.get(), "snapshot", text);
        if (len < 0 || std::sscanf(text, "%u", &snapshot) != 1) {
            log_error(F, "Failed to load %s/snapshot: %d", parentpath, len);
            return -1;
        }
        if (snapshot != 0)
            return 0;
        log_notice(F, "Recreating %s/snapshots", parentpath);
        if (store_mkdirat(F, parentfd.get(), parentpath, "snapshots") != 0)
            return -1;
        snapdir = store_opendirat(parentfd.get(), "snapshots");
    }
    UniqueFd snapfd(snapdir);
    if (!snapfd)
        return -1;

    const int found = store_lookup(snapfd.get(), vdisk->vdiskuuid);
    if (found != 0)
        return found > 0 ? 0 : -1;
    char target[LINK_BUF_LEN];
    const int n = std::snprintf(target, sizeof target, "../../../VDisk/%s", vdisk->vdiskuuid);
    if (n < 0 || size_t(n) >= sizeof target)
        return -1;
    log_info(F, "Update VDisk %s ref Snapshot %s", vdisk->parentuuid, vdisk->vdiskuuid);
    log_debug(F, "%s/snapshots/%s [SYMLINK %s]", parentpath, vdisk->vdiskuuid, target);
    if (::symlinkat(target, snapfd.get(), vdisk->vdiskuuid) != 0) {
        log_error(F, "symlink(%s/snapshots/%s, %s): %s", parentpath, vdisk->vdiskuuid, target,
                  strerror(errno));
        return -1;
    }
    return 0;
}

int ParentUpdate_UnrefSnapshot(const VDisk *vdisk)
{
    static const char F[] = "ParentUpdate_UnrefSnapshot";
    if (ObjectNameCheck(F, "parent", vdisk->parentuuid) != 0 ||
        ObjectNameCheck(F, "vdisk", vdisk->vdiskuuid) != 0)
        return -1;
    PathBuf rel, path;
    if (path_format(rel, "%s/snapshots", vdisk->parentuuid) != 0 ||
        path_format(path, "%s/VDisk/%s/%s", cfg_work_directory.c_str(), rel, vdisk->vdiskuuid) != 0)
        return -1;
    log_info(F, "Update VDisk %s unref Snapshot %s", vdisk->parentuuid, vdisk->vdiskuuid);
    const int r = door_open(F, StoreTop::VDISK, rel, O_RDONLY | O_DIRECTORY, true);
    if (r == -2)
        return 0;  // no snapshots directory, no link
    UniqueFd dir(r);
    if (!dir)
        return -1;
    if (::unlinkat(dir.get(), vdisk->vdiskuuid, 0) != 0 && errno != ENOENT) {
        log_error(F, "unlink(%s): %s", path, strerror(errno));
        return -1;
    }
    return 0;
}

namespace {

// Whether memberinfo/ holds a member other than nodeuuid.  1 yes; 0 no, also
// when memberinfo/ is gone (a removal cut short: no member is left); -1 when
// it cannot be read (logged).
int other_members(const char *vdiskuuid, const char *mbtoppath, const char *nodeuuid)
{
    PathBuf rel;
    if (path_format(rel, "%s/memberinfo", vdiskuuid) != 0)
        return -1;
    const int r = door_open("VDiskGone", StoreTop::VDISK, rel, O_RDONLY | O_DIRECTORY, true);
    if (r == -2)
        return 0;
    DirEntries dir(r >= 0 ? r : -1);
    if (dir.fd() < 0)
        return -1;
    for (;;) {
        const char *name = dir.next();
        if (name == nullptr) {
            if (errno == 0)
                return 0;
            log_error("VDiskGone", "readdir_r(%s): %d", mbtoppath, errno);
            return -1;
        }
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 &&
            std::strcmp(name, nodeuuid) != 0)
            return 1;
    }
}

// The datastore the vdisk's `datastore` link names, into dsuuid (empty when
// the vdisk has no link).  0, or -1 when the link cannot be read or names no
// datastore (logged).
int vdisk_datastore(const char *vdiskuuid, char (&dsuuid)[LINK_BUF_LEN])
{
    static const char F[] = "DatastoreUpdate_UnrefVDisk";
    dsuuid[0] = '\0';
    PathBuf linkpath;
    if (path_format(linkpath, "%s/VDisk/%s/datastore", cfg_work_directory.c_str(), vdiskuuid) != 0)
        return -1;
    const int r = door_open(F, StoreTop::VDISK, vdiskuuid, O_RDONLY | O_DIRECTORY, true);
    if (r == -2)
        return 0;  // no vdisk, no link
    UniqueFd vdiskfd(r);
    if (!vdiskfd)
        return -1;
    char target[LINK_BUF_LEN] = {};
    if (::readlinkat(vdiskfd.get(), "datastore", target, sizeof target - 1) < 0) {
        if (errno == ENOENT)
            return 0;  // never linked to a datastore
        log_error(F, "readlink(%s): %s", linkpath, strerror(errno));
        return -1;
    }
    // "../../Datastore/{dsuuid}": the datastore is the last component.
    const char *slash = std::strrchr(target, '/');
    if (slash == nullptr || slash[1] == '\0') {
        log_error(F, "Malformed symlink %s: %s", linkpath, target);
        return -1;
    }
    if (ObjectNameCheck(F, "datastore", slash + 1) != 0)
        return -1;
    std::strcpy(dsuuid, slash + 1);
    return 0;
}

// The last member is gone: the vdisk goes with its link at the parent and
// the datastore's link.  Both locks are taken before anything is removed;
// when either cannot be had nothing changes, and the node's link to the vdisk
// stays for the next removal to retry.  Then the links go, then memberinfo/
// (so a vdisk directory without it is known to be a removal cut short), the
// vdisk directory, and last the node's link: a removal cut short at any step
// is found again and finished by the next one.
int vdisk_remove(const VDisk *vdisk, const char *nodeuuid, const char *vdiskpath,
                 const char *mbtoppath)
{
    static const char F[] = "VDiskGone";
    char dsuuid[LINK_BUF_LEN];
    if (vdisk_datastore(vdisk->vdiskuuid, dsuuid) != 0)
        return -1;
    const bool snapshot = vdisk->vde.snapshot != 0;
    if (snapshot && ParentLock(vdisk) != 0)
        return -1;
    if (dsuuid[0] != '\0' && DatastoreLockStr(dsuuid) != 0) {
        if (snapshot)
            ParentUnlock(vdisk);
        return -1;
    }
    int r = snapshot ? ParentUpdate_UnrefSnapshot(vdisk) : 0;
    if (r == 0 && dsuuid[0] != '\0')
        r = DatastoreUpdate_UnrefVDisk(dsuuid, vdisk->vdiskuuid);
    if (dsuuid[0] != '\0')
        DatastoreUnlockStr(dsuuid);
    if (snapshot)
        ParentUnlock(vdisk);
    if (r != 0)
        return -1;

    log_info(F, "Delete VDisk %s", vdisk->vdiskuuid);
    const int top = door_top(F, StoreTop::VDISK, false);
    if (top == -2)
        return NodeUpdate_UnrefVDisk(nodeuuid, vdisk->vdiskuuid);
    if (top < 0)
        return -1;
    const int opened = door_open(F, StoreTop::VDISK, vdisk->vdiskuuid, O_RDONLY | O_DIRECTORY,
                                 true);
    UniqueFd vdiskfd(opened >= 0 ? opened : -1);
    if (opened == -1 ||
        (vdiskfd && store_rm_tree(F, vdiskfd.get(), "memberinfo", mbtoppath) != 0)) {
        log_error(F, "Could not remove %s", mbtoppath);
        return -1;
    }
    vdiskfd.reset();
    VDiskDoubt(vdisk->vdiskuuid);
    if (store_rm_tree(F, top, vdisk->vdiskuuid, vdiskpath) != 0) {
        log_error(F, "Could not remove %s", vdiskpath);
        return -1;
    }
    return NodeUpdate_UnrefVDisk(nodeuuid, vdisk->vdiskuuid);
}

// What every removal works with: the vdisk's directory and memberinfo paths
// and the leaving node's id text.  The vdisk's name is checked first.  0, or
// -1 after the error line (a refused name, a work directory too long).
struct Gone {
    PathBuf vdiskpath;
    PathBuf mbtoppath;
    char nodeuuid[16];
};

int gone_init(const Hdr *hdr, const VDisk *vdisk, Gone &g)
{
    static const char F[] = "VDiskGone";
    const char *work = cfg_work_directory.c_str();
    if (ObjectNameCheck(F, "vdisk", vdisk->vdiskuuid) != 0)
        return -1;
    if (path_format(g.mbtoppath, "%s/VDisk/%s/memberinfo", work, vdisk->vdiskuuid) != 0) {
        log_error(F, "Path too long: %s/VDisk/%s/memberinfo", work, vdisk->vdiskuuid);
        return -1;
    }
    const int fits = path_format(g.vdiskpath, "%s/VDisk/%s", work, vdisk->vdiskuuid);
    MARLO_ASSERT(fits == 0);  // shorter than mbtoppath
    std::snprintf(g.nodeuuid, sizeof g.nodeuuid, "%u", unsigned(hdr->uid));
    return 0;
}

}  // namespace

int VDiskGone(const Hdr *hdr, const VDisk *vdisk)
{
    static const char F[] = "VDiskGone";

    // Every name and path is checked before anything is removed.
    Gone g;
    if (gone_init(hdr, vdisk, g) != 0)
        return -1;
    if (vdisk->vde.snapshot != 0 && ObjectNameCheck(F, "parent", vdisk->parentuuid) != 0)
        return -1;

    // Other members keep the vdisk: only this member's directory and link go.
    const int others = other_members(vdisk->vdiskuuid, g.mbtoppath, g.nodeuuid);
    if (others < 0)
        return -1;
    if (others > 0)
        return MemberinfoDelete(vdisk, g.nodeuuid);
    return vdisk_remove(vdisk, g.nodeuuid, g.vdiskpath, g.mbtoppath);
}

int VDiskGone_Leftover(const Hdr *hdr, VDisk *vdisk)
{
    static const char F[] = "VDiskGone";
    Gone g;
    if (gone_init(hdr, vdisk, g) != 0)
        return -1;

    const int dir = door_open(F, StoreTop::VDISK, vdisk->vdiskuuid, O_RDONLY | O_DIRECTORY, true);
    if (dir == -1)
        return -1;
    if (dir == -2) {
        // The vdisk is gone; the node's link to it may be all that is left.
        // A vdisk this host never knew (a VDISK_DELETED for it) changes
        // nothing: the node's lock is taken only for a link that is there.
        PathBuf link;
        if (path_format(link, "%s/vdisks/%s", g.nodeuuid, vdisk->vdiskuuid) == 0 &&
            door_lookup(StoreTop::NODE, link) == 0)
            return 0;
        return NodeUpdate_UnrefVDisk(g.nodeuuid, vdisk->vdiskuuid);
    }
    UniqueFd vdiskfd(dir);
    const int members = store_lookup(vdiskfd.get(), "memberinfo");
    if (members != 0)
        return -1;  // a vdisk with members that cannot be loaded: its load has said why

    // A removal cut short after memberinfo/ went: what it names is known
    // from the files still there.  A snapshot is known by its parent file.
    log_notice(F, "Finishing the removal of VDisk %s", vdisk->vdiskuuid);
    vdisk->vde.snapshot = 0;
    vdisk->parentuuid[0] = '\0';
    if (store_lookup(vdiskfd.get(), "parent") > 0) {
        char parent[UUID_LEN + 1] = {};
        if (StringLoad(vdiskfd.get(), "parent", parent, int(UUID_LEN)) > 0 &&
            ObjectNameCheck(F, "parent", parent) == 0 &&
            std::strcmp(parent, vdisk->vdiskuuid) != 0) {
            vdisk->vde.snapshot = 1;
            std::strcpy(vdisk->parentuuid, parent);
        }
    }
    vdiskfd.reset();
    return vdisk_remove(vdisk, g.nodeuuid, g.vdiskpath, g.mbtoppath);
}

int DatastoreUpdate_UnrefVDisk(const char *dsuuid, const char *vdiskuuid)
{
    static const char F[] = "DatastoreUpdate_UnrefVDisk";
    PathBuf rel, entry;
    if (path_format(rel, "%s/vdisks", dsuuid) != 0 ||
        path_format(entry, "%s/Datastore/%s/%s", cfg_work_directory.c_str(), rel, vdiskuuid) != 0)
        return -1;
    log_info(F, "Update Datastore %s unref VDisk %s", dsuuid, vdiskuuid);
    const int r = door_open(F, StoreTop::DATASTORE, rel, O_RDONLY | O_DIRECTORY, true);
    if (r == -2)
        return 0;  // no datastore, no link
    UniqueFd dir(r);
    if (!dir)
        return -1;
    if (::unlinkat(dir.get(), vdiskuuid, 0) != 0 && errno != ENOENT) {
        log_error(F, "unlink(%s): %s", entry, strerror(errno));
        return -1;
    }
    return 0;
}
