#include "object/datastore.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "object/attr.h"
#include "object/door.h"
#include "object/layout.h"
#include "object/path.h"
#include "object/store.h"

namespace {

constexpr int UUID_W = layout::row(layout::DATASTORE, "uuid").width;
constexpr int NAME_W = layout::row(layout::DATASTORE, "name").width;
constexpr int DESCR_W = layout::row(layout::DATASTORE, "description").width;

// Writes the seven attributes of the entry in their order.  0, or -1 at the
// first failed write.
int write_ds_attrs(int fd, const char *ds, const DatastoreEntry *dse)
{
    const char *F = "DatastoreCreate";
    if (STORE_ATTR(F, fd, ds, "uuid", "%.*s", UUID_W, dse->uuid) < 0 ||
        STORE_ATTR(F, fd, ds, "name", "%.*s", NAME_W, dse->name) < 0 ||
        STORE_ATTR(F, fd, ds, "description", "%.*s", DESCR_W, dse->description) < 0 ||
        STORE_ATTR(F, fd, ds, "sector_size", "%u", dse->sector_size) < 0 ||
        STORE_ATTR(F, fd, ds, "replicas", "%u", unsigned(dse->replicas)) < 0 ||
        STORE_ATTR(F, fd, ds, "stripes", "%u", unsigned(dse->stripes)) < 0 ||
        STORE_ATTR(F, fd, ds, "overcommit", "%u", unsigned(dse->overcommit)) < 0)
        return -1;
    return 0;
}

// Links hdr->uid into {ds}/members once.  0 when the link is there (made now
// or before), -1 on failure.
int link_member(int dsfd, const char *ds, const char *dsuuid, const Hdr *hdr, bool *linked)
{
    const char *F = "DatastoreCreate";
    UniqueFd members(store_opendirat(dsfd, "members"));
    if (!members)
        return -1;

    char name[16];
    std::snprintf(name, sizeof name, "%u", hdr->uid);
    int found = store_lookup(members.get(), name);
    if (found != 0)
        return found > 0 ? 0 : -1;

    char target[64];
    std::snprintf(target, sizeof target, "../../../Node/%s", name);
    log_info(F, "Update Datastore %s ref Node %s", dsuuid, name);
    log_debug(F, "%s/members/%s [SYMLINK %s]", ds, name, target);
    if (symlinkat(target, members.get(), name) != 0) {
        log_error(F, "symlink(%s/members/%s, %s): %s", ds, name, target, strerror(errno));
        return -1;
    }
    if (linked)
        *linked = true;
    return 0;
}

}  // namespace

int DatastoreCreate(const Hdr *hdr, const DatastoreEntry *dse, bool *linked)
{
    const char *F = "DatastoreCreate";
    char dsuuid[16];
    std::snprintf(dsuuid, sizeof dsuuid, "%.*s", UUID_W, dse->uuid);
    log_info(F, "Create Datastore %s", dsuuid);
    if (ObjectNameCheck(F, "datastore", dsuuid) != 0)
        return -1;

    PathBuf ds;
    if (path_format(ds, "%s/Datastore/%s", cfg_work_directory.c_str(), dsuuid) != 0 ||
        door_mkdir(F, StoreTop::DATASTORE, dsuuid) != 0)
        return -1;
    UniqueFd fd(door_open(F, StoreTop::DATASTORE, dsuuid, O_RDONLY | O_DIRECTORY));
    if (!fd)
        return -1;

    int result = -1;
    if (write_ds_attrs(fd.get(), ds, dse) == 0 && store_mkdirat(F, fd.get(), ds, "vdisks") == 0 &&
        store_mkdirat(F, fd.get(), ds, "members") == 0)
        result = link_member(fd.get(), ds, dsuuid, hdr, linked);
    store_sync_close(F, fd);
    return result;
}

int DatastoreUpdate_UnrefNode(const char *dsuuid, const char *nodeuuid)
{
    const char *F = "DatastoreUpdate_UnrefNode";
    log_info(F, "Update Datastore %s unref Node %s", dsuuid, nodeuuid);
    if (ObjectNameCheck(F, "datastore", dsuuid) != 0 || ObjectNameCheck(F, "node", nodeuuid) != 0)
        return -1;

    PathBuf ds;
    if (path_format(ds, "%s/Datastore/%s", cfg_work_directory.c_str(), dsuuid) != 0)
        return -1;
    const int r = door_open(F, StoreTop::DATASTORE, dsuuid, O_RDONLY | O_DIRECTORY, true);
    if (r == -2) {
        log_info(F, "Delete Datastore %s", dsuuid);  // already gone
        return 0;
    }
    UniqueFd dsfd(r);
    if (!dsfd)
        return -1;
    const int m = store_open(dsfd.get(), "members", O_RDONLY | O_DIRECTORY);
    if (m >= 0) {
        UniqueFd members(m);
        // A directory at the node's name is no link the store made: nothing
        // of the node to remove, and it is left as found (a leave that
        // failed on it would keep the node in the datastore for good).
        if (unlinkat(members.get(), nodeuuid, 0) != 0 && errno != ENOENT && errno != EISDIR) {
            log_error(F, "unlink(%s/members/%s): %s", ds, nodeuuid, strerror(errno));
            return -1;
        }
    } else if (errno != ENOENT) {
        log_error(F, "open(%s/members): %s", ds, strerror(errno));
        return -1;
    }
    if (unlinkat(dsfd.get(), "members", AT_REMOVEDIR) != 0) {
        if (errno == ENOTEMPTY || errno == EEXIST)
            return 0;  // other members remain
        if (errno != ENOENT) {
            log_error(F, "rmdir(%s/members): %s", ds, strerror(errno));
            return -1;
        }
    }
    dsfd.reset();

    // No member left: the datastore goes, its attributes and links with it.
    log_info(F, "Delete Datastore %s", dsuuid);
    const int top = door_top(F, StoreTop::DATASTORE, false);
    if (top < 0 || store_rm_tree(F, top, dsuuid, ds) != 0) {
        log_error(F, "Could not remove %s", ds);
        return -1;
    }
    return 0;
}

int DatastoreUpdate_UnrefNodeElsewhere(const char *keep, const char *nodeuuid)
{
    const char *F = "DatastoreUpdate_UnrefNode";
    const int top = door_open(F, StoreTop::DATASTORE, ".", O_RDONLY | O_DIRECTORY, true);
    if (top == -2)
        return 0;  // no datastore at all
    if (top < 0)
        return -1;
    DirEntries dir(top);
    while (const char *name = dir.next()) {
        char member[64];
        if (std::strcmp(name, keep) == 0 || name[0] == '.' ||
            std::snprintf(member, sizeof member, "%s/members/%s", name, nodeuuid) >=
                int(sizeof member) ||
            door_lookup(StoreTop::DATASTORE, member) <= 0)
            continue;  // only a datastore seen to list the node drops it
        if (DatastoreLockStr(name) != 0)
            return -1;
        const int r = DatastoreUpdate_UnrefNode(name, nodeuuid);
        DatastoreUnlockStr(name);
        if (r != 0)
            return -1;
    }
    if (errno != 0) {
        log_error(F, "readdir(%s/Datastore): %s", cfg_work_directory.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

int DatastoreLoad(const char *dsuuid, DatastoreEntry *dse)
{
    const char *F = "DatastoreLoad";
    log_info(F, "Load Datastore %s", dsuuid);
    std::memset(dse, 0, sizeof *dse);
    if (ObjectNameCheck(F, "datastore", dsuuid) != 0)
        return -1;

    PathBuf ds;
    if (path_format(ds, "%s/Datastore/%s", cfg_work_directory.c_str(), dsuuid) != 0)
        return -1;
    log_debug(F, "%s [OPEN]", ds);
    UniqueFd fd(door_open(F, StoreTop::DATASTORE, dsuuid, O_RDONLY | O_DIRECTORY));
    if (!fd)
        return -1;

    unsigned v = 0;
    if (store_load_text(F, fd.get(), ds, "uuid", dse->uuid, UUID_W, UUID_W) < 0 ||
        store_load_text(F, fd.get(), ds, "name", dse->name, NAME_W, NAME_W) < 0 ||
        store_load_text(F, fd.get(), ds, "description", dse->description, DESCR_W, DESCR_W) < 0)
        return -1;
    if (store_load_u32(F, fd.get(), ds, "sector_size", &v) != 0)
        return -1;
    dse->sector_size = v;
    if (store_load_u32(F, fd.get(), ds, "replicas", &v) != 0)
        return -1;
    dse->replicas = uint16_t(v);
    if (store_load_u32(F, fd.get(), ds, "stripes", &v) != 0)
        return -1;
    dse->stripes = uint16_t(v);
    if (store_load_u32(F, fd.get(), ds, "overcommit", &v) != 0)
        return -1;
    dse->overcommit = uint8_t(v);
    return 0;
}
