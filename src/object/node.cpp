#include "object/node.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "object/attr.h"
#include "object/door.h"
#include "object/layout.h"
#include "object/path.h"
#include "object/store.h"

namespace {

// Field widths of the node's fixed-width texts, as the layout has them.
constexpr int VENDOR_W = layout::row(layout::NODE, "vendor").width;
constexpr int MODEL_W = layout::row(layout::NODE, "model").width;
constexpr int REV_W = layout::row(layout::NODE, "revision").width;
constexpr int SERIAL_W = layout::row(layout::NODE, "serial").width;
constexpr int HBTL_W = layout::row(layout::NODE, "hbtl").width;

// Node/{nodeid} under the work directory.  0, or -1 when too long.
int node_path(PathBuf &path, uint32_t nodeid)
{
    return path_format(path, "%s/Node/%u", cfg_work_directory.c_str(), nodeid);
}

// Opens Node/{nodeuuid} (or a directory `rel` in it, "{nodeuuid}/vdisks")
// through the door.  The descriptor; -2 when it is missing and missing_ok
// (no message); -1 after the error line.
int node_open(const char *func, const char *rel, bool missing_ok = false)
{
    return door_open(func, StoreTop::NODE, rel, O_RDONLY | O_DIRECTORY, missing_ok);
}

// Opens the existing directory of node `nodeid` (its path left in `path`)
// for an update that must not create it: a missing directory fails without
// a message.  The descriptor, or -1 (also when the path is too long).
int open_existing_node(const char *func, PathBuf &path, uint32_t nodeid)
{
    char name[16];
    std::snprintf(name, sizeof name, "%u", nodeid);
    if (node_path(path, nodeid) != 0)
        return -1;
    const int fd = node_open(func, name, true);
    return fd >= 0 ? fd : -1;
}

// Writes NodeCreate's attributes in their order.  0, or -1 at the first
// failure (the failing step has logged).
int write_node_attrs(int fd, const char *node, const Hdr *hdr, const char *ipaddr)
{
    const char *F = "NodeCreate";
    if (STORE_ATTR(F, fd, node, "version", "v%u.%u", unsigned(hdr->major), unsigned(hdr->minor)) < 0 ||
        STORE_ATTR(F, fd, node, "uuid", "%u", hdr->uid) < 0 ||
        STORE_ATTR(F, fd, node, "status", "%d", 1) < 0 ||
        STORE_ATTR(F, fd, node, "nodestatus", "%u", unsigned(hdr->nodestatus)) < 0 ||
        STORE_ATTR(F, fd, node, "vendor", "%.*s", VENDOR_W, hdr->vendor) < 0 ||
        STORE_ATTR(F, fd, node, "model", "%.*s", MODEL_W, hdr->model) < 0 ||
        STORE_ATTR(F, fd, node, "freespace", "%u", hdr->revision.freespace) < 0 ||
        STORE_ATTR(F, fd, node, "utilization", "%u", hdr->revision.utilization) < 0 ||
        STORE_ATTR(F, fd, node, "revision", "%.*s", REV_W, hdr->revision.rev) < 0 ||
        STORE_ATTR(F, fd, node, "serial", "%.*s", SERIAL_W, hdr->serial) < 0 ||
        STORE_ATTR(F, fd, node, "hbtl", "%.*s", HBTL_W, hdr->hbtl) < 0 ||
        STORE_ATTR(F, fd, node, "performance", "%u", unsigned(hdr->performance)) < 0 ||
        STORE_ATTR(F, fd, node, "hostid", "%u", unsigned(hdr->hostid)) < 0)
        return -1;

    // With nodestatus 1 the size field carries the backup channel's address
    // (host order); the size is then recorded as 0.
    uint32_t size = hdr->size;
    char backup[16] = "0.0.0.0";
    if (hdr->nodestatus == 1) {
        struct in_addr addr;
        addr.s_addr = htonl(hdr->size);
        if (inet_ntop(AF_INET, &addr, backup, sizeof backup) == nullptr) {
            log_error(F, "inet_ntop(): %s", strerror(errno));
            return -1;
        }
        size = 0;
    }
    if (STORE_ATTR(F, fd, node, "size", "%u", size) < 0 ||
        STORE_ATTR(F, fd, node, "backupchannel", "%s", backup) < 0 ||
        STORE_ATTR(F, fd, node, "ipaddr", "%s", ipaddr) < 0 ||
        STORE_ATTR(F, fd, node, "lastping", "%lu", (unsigned long)time(nullptr)) < 0)
        return -1;
    return 0;
}

}  // namespace

int NodeCreate(const Hdr *hdr, const char *ipaddr)
{
    const char *F = "NodeCreate";
    log_info(F, "Create Node %u", hdr->uid);
    MARLO_ASSERT(hdr->type == MSG_PING || hdr->type == MSG_DS_PING ||
                 hdr->type == MSG_SINGLE_VDISK_PING || hdr->type == MSG_VDISK_DELETED ||
                 hdr->type == MSG_AUX_PING);

    PathBuf node;
    char name[16];
    std::snprintf(name, sizeof name, "%u", hdr->uid);
    if (node_path(node, hdr->uid) != 0 || door_mkdir(F, StoreTop::NODE, name) != 0)
        return -1;
    UniqueFd fd(node_open(F, name));
    if (!fd)
        return -1;

    int result = -1;
    if (store_mkdirat(F, fd.get(), node, "vdisks") == 0)
        result = write_node_attrs(fd.get(), node, hdr, ipaddr);
    store_sync_close(F, fd);
    return result;
}

int NodeUpdate_AuxPing(const Hdr *hdr, const AuxPingData *aux)
{
    const char *F = "NodeUpdate_AuxPing";
    log_info(F, "Update Node %u", hdr->uid);
    MARLO_ASSERT(hdr->type == MSG_AUX_PING);

    PathBuf node;
    UniqueFd fd(open_existing_node(F, node, hdr->uid));
    if (!fd)
        return -1;

    int result = 0;
    if (STORE_ATTR(F, fd.get(), node, "allocatedspace", "%u", aux->allocatedspace) < 0 ||
        STORE_ATTR(F, fd.get(), node, "curvdisks", "%u", aux->curvdisks) < 0 ||
        STORE_ATTR(F, fd.get(), node, "curvdisksforctrl", "%u", aux->curvdisksforctrl) < 0 ||
        STORE_ATTR(F, fd.get(), node, "maxvdisksforctrl", "%u", aux->maxvdisksforctrl) < 0 ||
        STORE_ATTR(F, fd.get(), node, "memtotal", "%u", aux->memtotal) < 0 ||
        STORE_ATTR(F, fd.get(), node, "memavail", "%u", aux->memavail) < 0)
        result = -1;
    store_sync_close(F, fd);
    return result;
}

int NodeUpdate_RefDatastore(const Hdr *hdr, const DatastoreEntry *dse)
{
    const char *F = "NodeUpdate_RefDatastore";
    log_info(F, "Update Node %u set datastoremember=%.*s", hdr->uid, int(UUID_LEN), dse->uuid);
    MARLO_ASSERT(hdr->type == MSG_DS_PING);

    // The value becomes a path component when the membership is undone.
    char dsuuid[16];
    std::snprintf(dsuuid, sizeof dsuuid, "%.*s", int(UUID_LEN), dse->uuid);
    if (ObjectNameCheck(F, "datastore", dsuuid) != 0)
        return -1;

    PathBuf node;
    char name[16];
    std::snprintf(name, sizeof name, "%u", hdr->uid);
    if (node_path(node, hdr->uid) != 0)
        return -1;
    UniqueFd fd(node_open(F, name));
    if (!fd)
        return -1;
    int result = STORE_ATTR(F, fd.get(), node, "datastoremember", "%s", dsuuid) < 0 ? -1 : 0;
    store_sync_close(F, fd);
    return result;
}

int NodeUpdate_UnrefDatastore(const Hdr *hdr)
{
    const char *F = "NodeUpdate_UnrefDatastore";
    log_info(F, "Update Node %u remove datastoremember", hdr->uid);
    MARLO_ASSERT(hdr->type == MSG_DS_PING);

    PathBuf node;
    char name[16];
    std::snprintf(name, sizeof name, "%u", hdr->uid);
    if (node_path(node, hdr->uid) != 0)
        return -1;
    const int r = node_open(F, name, true);
    if (r == -2)
        return 0;  // no node, no reference
    UniqueFd fd(r);
    if (!fd)
        return -1;
    log_debug(F, "%s/datastoremember [UNLINK]", node);
    if (unlinkat(fd.get(), "datastoremember", 0) == 0 || errno == ENOENT)
        return 0;
    log_error(F, "unlink(%s/datastoremember): %s", node, strerror(errno));
    return -1;
}

int NodeUpdate_HEARTBEAT(const Hdr *hdr)
{
    const char *F = "NodeUpdate_HEARTBEAT";
    unsigned long now = (unsigned long)time(nullptr);
    log_info(F, "Update Node %u set lastping=%lu", hdr->uid, now);
    MARLO_ASSERT(hdr->type == MSG_HEARTBEAT);

    PathBuf node;
    UniqueFd fd(open_existing_node(F, node, hdr->uid));
    if (!fd)
        return -1;
    int result = STORE_ATTR(F, fd.get(), node, "lastping", "%lu", now) < 0 ? -1 : 0;
    store_sync_close(F, fd);
    return result;
}

namespace {

// NodeLoad's steps after the directory is open; -1 at the first failure
// (logged), the fields loaded before it keep their values.
int load_node_attrs(int fd, const char *node, Node *np)
{
    const char *F = "NodeLoad";
    Hdr &hdr = np->hdr;
    unsigned v = 0;

    char version[8] = {};
    int r = StringLoad(fd, "version", version, int(sizeof version) - 1);
    if (r < 0) {
        log_error(F, "Failed to load %s/version: %d", node, r);
        return -1;
    }
    int major = 0, minor = 0;
    if (std::sscanf(version, "v%d.%d", &major, &minor) != 2) {
        log_error(F, "Malformed %s/version: %s", node, version);
        return -1;
    }
    hdr.major = uint8_t(major);
    hdr.minor = uint8_t(minor);
    log_debug(F, "%s/version=v%d.%d", node, major, minor);

    if (store_load_u32(F, fd, node, "nodestatus", &v) != 0)
        return -1;
    hdr.nodestatus = uint8_t(v);
    hdr.uid = np->nodeid;

    if (store_load_text(F, fd, node, "vendor", hdr.vendor, VENDOR_W, VENDOR_W) < 0 ||
        store_load_text(F, fd, node, "model", hdr.model, MODEL_W, MODEL_W) < 0)
        return -1;
    if (store_load_u32(F, fd, node, "freespace", &v) != 0)
        return -1;
    hdr.revision.freespace = v;
    if (store_load_u32(F, fd, node, "utilization", &v) != 0)
        return -1;
    hdr.revision.utilization = v;
    if (store_load_text(F, fd, node, "revision", hdr.revision.rev, REV_W, REV_W) < 0 ||
        store_load_text(F, fd, node, "serial", hdr.serial, SERIAL_W, SERIAL_W) < 0 ||
        store_load_text(F, fd, node, "hbtl", hdr.hbtl, HBTL_W, HBTL_W) < 0)
        return -1;

    unsigned size = 0;
    char backup[16] = {};
    if (store_load_u32(F, fd, node, "size", &size) != 0 ||
        store_load_text(F, fd, node, "backupchannel", backup, int(sizeof backup) - 1,
                        int(sizeof backup)) < 0)
        return -1;
    if (hdr.nodestatus == 1) {
        struct in_addr addr;
        r = inet_pton(AF_INET, backup, &addr);
        if (r != 1) {
            log_error(F, "inet_pton(%s): %d", backup, r);
            return -1;
        }
        hdr.size = ntohl(addr.s_addr);
    } else {
        hdr.size = size;
    }

    if (store_load_u32(F, fd, node, "performance", &v) != 0)
        return -1;
    hdr.performance = uint8_t(v);
    if (store_load_u32(F, fd, node, "hostid", &v) != 0)
        return -1;
    hdr.hostid = uint16_t(v);

    // The record is packed: its fields are written by offset, never through
    // a pointer that would claim a 4-byte alignment they do not have.
    struct {
        const char *key;
        size_t offset;
    } const stats[] = {
        {"allocatedspace", offsetof(AuxPingData, allocatedspace)},
        {"curvdisks", offsetof(AuxPingData, curvdisks)},
        {"curvdisksforctrl", offsetof(AuxPingData, curvdisksforctrl)},
        {"maxvdisksforctrl", offsetof(AuxPingData, maxvdisksforctrl)},
        {"memtotal", offsetof(AuxPingData, memtotal)},
        {"memavail", offsetof(AuxPingData, memavail)},
    };
    for (const auto &s : stats) {
        if (store_load_u32(F, fd, node, s.key, &v) != 0)
            return -1;
        std::memcpy(reinterpret_cast<char *>(&np->aux) + s.offset, &v, sizeof v);
    }
    return 0;
}

}  // namespace

int NodeLoad(Node *np)
{
    log_info("NodeLoad", "Load Node %u", np->nodeid);
    PathBuf node;
    char name[16];
    std::snprintf(name, sizeof name, "%u", np->nodeid);
    if (node_path(node, np->nodeid) != 0)
        return -1;
    UniqueFd fd(node_open("NodeLoad", name));
    if (!fd)
        return -1;
    std::memset(&np->hdr, 0, sizeof np->hdr);
    return load_node_attrs(fd.get(), node, np);
}

int NodeLoad_DSMember(const char *nodeuuid, char *dsuuid, int ds_len, bool *damaged)
{
    const char *F = "NodeLoad_DSMember";
    MARLO_ASSERT(ds_len >= 1 && ds_len <= int(PATH_BUF_LEN));

    PathBuf node;
    if (path_format(node, "%s/Node/%s", cfg_work_directory.c_str(), nodeuuid) != 0)
        return -1;
    UniqueFd fd(node_open(F, nodeuuid));
    if (!fd)
        return -2;
    if (store_lookup(fd.get(), "datastoremember") == 0)
        return -1;  // the node belongs to no datastore

    std::memset(dsuuid, 0, size_t(ds_len));
    int r = StringLoad(fd.get(), "datastoremember", dsuuid, ds_len - 1);
    if (r < 0) {
        log_error(F, "Failed to load %s/datastoremember: %d", node, r);
        // Read again only to tell a damaged file (one that reads but holds no
        // value that fits) from one that cannot be read now.
        char text[256];
        if (damaged != nullptr) {
            const int len = AttrProbe(fd.get(), "datastoremember", text);
            *damaged = len == ATTR_DAMAGED || len > ds_len - 1;
        }
        return -2;
    }
    log_debug(F, "%s/datastoremember=%s", node, dsuuid);
    log_info(F, "Load Node %s datastoremember=%s", nodeuuid, dsuuid);
    return 0;
}

int NodeLoad_VDisks(uint32_t nodeid, VDiskTree &tree)
{
    const char *F = "NodeLoad_VDisks";
    MARLO_ASSERT(tree.empty());

    PathBuf dirpath;
    char rel[32];
    std::snprintf(rel, sizeof rel, "%u/vdisks", nodeid);
    if (path_format(dirpath, "%s/Node/%s", cfg_work_directory.c_str(), rel) != 0)
        return -1;
    const int r = node_open(F, rel, true);
    if (r == -2)
        log_error(F, "opendir(%s): %s", dirpath, strerror(ENOENT));
    DirEntries dir(r >= 0 ? r : -1);
    if (dir.fd() < 0)
        return -1;

    for (;;) {
        const char *name = dir.next();
        if (name == nullptr) {
            if (errno == 0)
                return 0;
            log_error(F, "readdir_r(%s): %d", dirpath, errno);
            VDiskTreeFlush(tree);
            return -1;
        }

        // The list is announced as the node's complete set of vdisks, and
        // peers give up every vdisk it does not name: it is complete or not
        // loaded at all.  Entries are examined relative to the directory, so
        // the length of the work directory never matters; a link removed
        // meanwhile is no longer the node's; any other failure fails the
        // whole load.
        struct stat st;
        if (fstatat(dir.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            const int err = errno;
            if (err == ENOENT)
                continue;
            log_error(F, "lstat(%s/%s): %s", dirpath, name, strerror(err));
            VDiskTreeFlush(tree);
            return -1;
        }
        if (!S_ISLNK(st.st_mode))
            continue;
        size_t len = std::strlen(name);
        if (len > UUID_LEN) {
            log_error(F, "Malformed symlink %s/%s", dirpath, name);
            continue;
        }

        std::unique_ptr<VDisk> vdisk;
        if (VDiskAlloc(vdisk) != 0) {
            VDiskTreeFlush(tree);
            return -1;
        }
        std::memcpy(vdisk->vdiskuuid, name, len + 1);
        const VDisk *self = vdisk.get();
        const VDisk *present = VDiskTree_RB_INSERT(tree, vdisk);
        if (present == self) {
            VDiskTreeFlush(tree);  // no memory: an incomplete list is no list
            return -1;
        }
        if (present != nullptr)
            log_error(F, "Duplicate VDisk Link %s/%s", dirpath, name);
        else
            log_info(F, "Load Node %u attach VDisk %s", nodeid, name);
    }
}
