// Snapshot links at their parents (VDisk/{parent}/snapshots/{uuid}) and the
// removal of a member from a vdisk, which removes the vdisk with its links
// when no member is left.
#include "object/snapshot.h"

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
#include "io/misc.h"
#include "object/attr.h"
#include "object/member.h"
#include "object/path.h"
#include "object/store.h"

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
    struct stat st;
    if (::lstat(parentpath, &st) != 0) {
        // A parent this host has not heard of yet: the snapshot's next entry
        // tries again.
        if (errno == ENOENT)
            return 0;
        log_error(F, "lstat(%s): %s", parentpath, strerror(errno));
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        log_error(F, "%s not a directory!", parentpath);
        return -1;
    }

    UniqueFd parentfd(store_opendir(parentpath));
    if (!parentfd)
        return -1;
    // A parent that is itself a snapshot has no snapshots directory.
    UniqueFd snapfd(store_opendirat(parentfd.get(), "snapshots"));
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
    PathBuf path;
    if (path_format(path, "%s/VDisk/%s/snapshots/%s", cfg_work_directory.c_str(),
                    vdisk->parentuuid, vdisk->vdiskuuid) != 0)
        return -1;
    log_info(F, "Update VDisk %s unref Snapshot %s", vdisk->parentuuid, vdisk->vdiskuuid);
    if (::unlink(path) != 0 && errno != ENOENT) {
        log_error(F, "unlink(%s): %s", path, strerror(errno));
        return -1;
    }
    return 0;
}

int VDiskGone(const Hdr *hdr, const VDisk *vdisk)
{
    static const char F[] = "VDiskGone";
    const char *work = cfg_work_directory.c_str();

    // Every name and path is checked before anything is removed.
    if (ObjectNameCheck(F, "vdisk", vdisk->vdiskuuid) != 0)
        return -1;
    if (vdisk->vde.snapshot != 0 && ObjectNameCheck(F, "parent", vdisk->parentuuid) != 0)
        return -1;
    PathBuf vdiskpath;
    PathBuf mbtoppath;
    if (path_format(mbtoppath, "%s/VDisk/%s/memberinfo", work, vdisk->vdiskuuid) != 0) {
        log_error(F, "Path too long: %s/VDisk/%s/memberinfo", work, vdisk->vdiskuuid);
        return -1;
    }
    const int fits = path_format(vdiskpath, "%s/VDisk/%s", work, vdisk->vdiskuuid);
    MARLO_ASSERT(fits == 0);  // shorter than mbtoppath

    char nodeuuid[16];
    std::snprintf(nodeuuid, sizeof nodeuuid, "%u", unsigned(hdr->uid));
    if (MemberinfoDelete(vdisk, nodeuuid) != 0)
        return -1;

    // memberinfo/ goes only when it is empty: other members keep the vdisk.
    // A missing one was removed by an earlier, interrupted removal.
    if (::rmdir(mbtoppath) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST)
            return 0;
        if (errno != ENOENT) {
            log_error(F, "rmdir(%s): %s", mbtoppath, strerror(errno));
            return -1;
        }
    }

    if (vdisk->vde.snapshot != 0) {
        if (ParentLock(vdisk) != 0)
            return -1;
        const int r = ParentUpdate_UnrefSnapshot(vdisk);
        ParentUnlock(vdisk);
        if (r != 0)
            return -1;
    }

    if (DatastoreUpdate_UnrefVDisk(vdisk->vdiskuuid) != 0)
        return -1;

    log_info(F, "Delete VDisk %s", vdisk->vdiskuuid);
    const int r = rm_fr(vdiskpath);
    if (r != 0) {
        log_error(F, "Could not remove %s", vdiskpath);
        return r;
    }
    return 0;
}

int DatastoreUpdate_UnrefVDisk(const char *vdiskuuid)
{
    static const char F[] = "DatastoreUpdate_UnrefVDisk";
    const char *work = cfg_work_directory.c_str();

    PathBuf linkpath;
    if (path_format(linkpath, "%s/VDisk/%s/datastore", work, vdiskuuid) != 0)
        return -1;
    char target[LINK_BUF_LEN] = {};
    if (::readlink(linkpath, target, sizeof target - 1) < 0) {
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
    const char *dsuuid = slash + 1;
    if (ObjectNameCheck(F, "datastore", dsuuid) != 0)
        return -1;

    PathBuf entry;
    if (path_format(entry, "%s/Datastore/%s/vdisks/%s", work, dsuuid, vdiskuuid) != 0)
        return -1;
    if (DatastoreLockStr(dsuuid) != 0)
        return -1;
    log_info(F, "Update Datastore %s unref VDisk %s", dsuuid, vdiskuuid);
    int r = 0;
    if (::unlink(entry) != 0 && errno != ENOENT) {
        log_error(F, "unlink(%s): %s", entry, strerror(errno));
        r = -1;
    }
    DatastoreUnlockStr(dsuuid);
    return r;
}
