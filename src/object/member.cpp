// Member info and membership: each member's own view of a vdisk in
// VDisk/{uuid}/memberinfo/{nodeid}/, the member list in VDisk/{uuid}/membership,
// and the relative links that tie a vdisk to its nodes and its datastore.
// Everything here runs under the vdisk lock; the node lock and the datastore
// lock are taken one after the other, never together.
#include "object/member.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "object/attr.h"
#include "object/door.h"
#include "object/node.h"
#include "object/path.h"
#include "object/store.h"
#include "object/vdisk.h"

namespace {

// Link targets are short relative paths: "../../../VDisk/%s" and the like.
constexpr size_t LINK_BUF_LEN = 64;
// One "%s\n" line of a list file: a node id or a dotted quad fits in 16 bytes.
constexpr size_t LIST_LINE_LEN = 16;

// A list file's text: LIST_LINE_LEN bytes per item plus the terminator.
// nullptr after logging the allocation failure.
std::unique_ptr<char[]> list_buf_alloc(const char *func, size_t items, size_t *len)
{
    *len = LIST_LINE_LEN * items + 1;
    std::unique_ptr<char[]> buf(new (std::nothrow) char[*len]);
    if (!buf)
        log_error(func, "malloc(%zu): %s", *len, strerror(ENOMEM));
    return buf;
}

// Appends "%s\n" of `item` at buf + *off; a line longer than its share of the
// buffer is a programming error.
void list_buf_add(char *buf, size_t len, size_t *off, const char *item)
{
    MARLO_ASSERT(*off < len);
    int n = std::snprintf(buf + *off, len - *off, "%s\n", item);
    MARLO_ASSERT(n > 0 && size_t(n) <= LIST_LINE_LEN && size_t(n) < len - *off);
    *off += size_t(n);
}

// Makes {top}/{owner}/vdisks/{vdiskuuid} -> "../../../VDisk/{vdiskuuid}"
// unless an entry of that name exists (whatever it points at).  The vdisks
// directories of a node and of a datastore are alike.  0 or -1.
int vdisk_link_ref(const char *func, StoreTop top, const char *owner, const char *vdiskuuid)
{
    PathBuf rel, vdisksdir;
    if (path_format(rel, "%s/vdisks", owner) != 0 ||
        path_format(vdisksdir, "%s/%s/%s", cfg_work_directory.c_str(), store_top_name(top),
                    rel) != 0)
        return -1;
    UniqueFd dirfd(door_open(func, top, rel, O_RDONLY | O_DIRECTORY));
    if (!dirfd)
        return -1;
    int found = store_lookup(dirfd.get(), vdiskuuid);
    if (found != 0)
        return found > 0 ? 0 : -1;
    char target[LINK_BUF_LEN];
    int n = std::snprintf(target, sizeof target, "../../../VDisk/%s", vdiskuuid);
    if (n < 0 || size_t(n) >= sizeof target)
        return -1;
    log_debug(func, "%s/%s [SYMLINK %s]", vdisksdir, vdiskuuid, target);
    if (::symlinkat(target, dirfd.get(), vdiskuuid) != 0) {
        log_error(func, "symlink(%s/%s, %s): %s", vdisksdir, vdiskuuid, target, strerror(errno));
        return -1;
    }
    return 0;
}

// Writes the member's frontend file: one dotted quad per line, list order.
int frontend_store(const VDisk *vdisk, const char *vdiskpath, const char *nodeuuid, int mbfd)
{
    static const char F[] = "MemberinfoCreate";
    size_t len;
    std::unique_ptr<char[]> buf = list_buf_alloc(F, vdisk->frontends.size(), &len);
    if (!buf)
        return -1;
    size_t off = 0;
    buf[0] = '\0';
    for (const auto &fe : vdisk->frontends) {
        MARLO_ASSERT(std::memchr(fe->ipaddr, '\0', sizeof fe->ipaddr) != nullptr);
        list_buf_add(buf.get(), len, &off, fe->ipaddr);
    }
    log_debug(F, "%s/memberinfo/%s/frontend", vdiskpath, nodeuuid);
    return AttrStore(mbfd, "frontend", "%s", buf.get()) < 0 ? -1 : 0;
}

// The member directory's link to its node's status file, made once.
int nodestatus_link(const char *vdiskpath, const char *nodeuuid, int mbfd)
{
    static const char F[] = "MemberinfoCreate";
    int found = store_lookup(mbfd, "nodestatus");
    if (found != 0)
        return found > 0 ? 0 : -1;
    char target[LINK_BUF_LEN];
    int n = std::snprintf(target, sizeof target, "../../../../Node/%s/status", nodeuuid);
    if (n < 0 || size_t(n) >= sizeof target)
        return -1;
    log_debug(F, "%s/memberinfo/%s/nodestatus [SYMLINK %s]", vdiskpath, nodeuuid, target);
    if (::symlinkat(target, mbfd, "nodestatus") != 0) {
        log_error(F, "symlink(%s/memberinfo/%s/nodestatus, %s): %s", vdiskpath, nodeuuid, target,
                  strerror(errno));
        return -1;
    }
    return 0;
}

// The datastore the vdisk's `datastore` link names, into dsuuid.  1 when the
// link is there and names a datastore; 2 when it is there and names none;
// 0 when there is no link (ENOENT); -1 when it cannot be read (logged).
int vdisk_datastore_link(int vdiskfd, const char *vdiskpath, char (&dsuuid)[LINK_BUF_LEN])
{
    static const char F[] = "MemberinfoCreate";
    char target[LINK_BUF_LEN] = {};
    if (::readlinkat(vdiskfd, "datastore", target, sizeof target - 1) < 0) {
        if (errno == ENOENT)
            return 0;
        log_error(F, "readlink(%s/datastore): %s", vdiskpath, strerror(errno));
        return -1;
    }
    // A target that names no datastore is left as it is, as any link there
    // always was (the operator tool reports it).
    const char *slash = std::strrchr(target, '/');
    const char *name = slash != nullptr ? slash + 1 : target;
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
        return 2;
    std::snprintf(dsuuid, sizeof dsuuid, "%s", name);
    return 1;
}

// Makes sure of Datastore/{dsuuid}/vdisks/{vdiskuuid} for a vdisk whose own
// `datastore` link names dsuuid.  The look-up is the one call this costs
// while the pair is whole; only a missing link takes the datastore's lock to
// make it.  A datastore that is not here (its last member left) has nothing
// to link: its members' pings make it again, and the next entry then makes
// the link.  0 or -1.
int datastore_pair_ensure(const char *dsuuid, const char *vdiskuuid)
{
    static const char F[] = "DatastoreUpdate_RefVDisk";
    PathBuf vdisks, entry;
    if (path_format(vdisks, "%s/vdisks", dsuuid) != 0 ||
        path_format(entry, "%s/%s", vdisks, vdiskuuid) != 0)
        return -1;
    int found = door_lookup(StoreTop::DATASTORE, entry);
    if (found > 0)
        return 0;
    if (found < 0) {
        log_error(F, "lstat(%s/Datastore/%s): %s", cfg_work_directory.c_str(), entry,
                  strerror(errno));
        return -1;
    }
    if (DatastoreLockStr(dsuuid) != 0)
        return -1;
    int r = 0;
    found = door_lookup(StoreTop::DATASTORE, vdisks);
    if (found > 0) {
        log_notice(F, "Restoring the link of Datastore %s to VDisk %s", dsuuid, vdiskuuid);
        r = DatastoreUpdate_RefVDisk(dsuuid, vdiskuuid);
    } else if (found < 0) {
        log_error(F, "lstat(%s/Datastore/%s): %s", cfg_work_directory.c_str(), vdisks,
                  strerror(errno));
        r = -1;
    }
    DatastoreUnlockStr(dsuuid);
    return r;
}

}  // namespace

int MemberinfoCreate(VDisk *vdisk, const char *vdiskpath, int vdiskfd, const char *nodeuuid,
                     int mbfd)
{
    static const char F[] = "MemberinfoCreate";
    const VDiskEntry &vde = vdisk->vde;

    log_info(F, "Update VDisk %s add Member %s", vdisk->vdiskuuid, nodeuuid);

    const unsigned gen = mshipgencnt_get(vde);
    const unsigned long long numkeys = vde.numkeys;
    const unsigned long long seqno = vde.seqno;
    const unsigned status = vde.status;
    const unsigned port = vde.port;
    const unsigned st_mem = vde.st_mem;

    log_debug(F, "%s/memberinfo/%s/membership_gen_count=%u", vdiskpath, nodeuuid, gen);
    if (AttrStore(mbfd, "membership_gen_count", "%u\n", gen) < 0)
        return -1;
    log_debug(F, "%s/memberinfo/%s/numkeys=%llu", vdiskpath, nodeuuid, numkeys);
    if (AttrStore(mbfd, "numkeys", "%llu\n", numkeys) < 0)
        return -1;
    log_debug(F, "%s/memberinfo/%s/seqno=%llu", vdiskpath, nodeuuid, seqno);
    if (AttrStore(mbfd, "seqno", "%llu\n", seqno) < 0)
        return -1;
    log_debug(F, "%s/memberinfo/%s/status=%u", vdiskpath, nodeuuid, status);
    if (AttrStore(mbfd, "status", "%u\n", status) < 0)
        return -1;
    log_debug(F, "%s/memberinfo/%s/port=%u", vdiskpath, nodeuuid, port);
    if (AttrStore(mbfd, "port", "%u\n", port) < 0)
        return -1;
    log_debug(F, "%s/memberinfo/%s/st_mem=%u", vdiskpath, nodeuuid, st_mem);
    if (AttrStore(mbfd, "st_mem", "%u\n", st_mem) < 0)
        return -1;

    // Plain vdisks only; the limit is this system's own, not the sender's.
    if (vde.snapshot == 0) {
        const int snap_limit = 10;
        log_debug(F, "%s/memberinfo/%s/snap_limit=%d", vdiskpath, nodeuuid, snap_limit);
        if (AttrStore(mbfd, "snap_limit", "%d\n", snap_limit) < 0)
            return -1;
    }

    // A member without frontends has no frontend file (one whose frontends
    // are all gone loses the file that lists them) and gets no links.
    if (vdisk->frontends.empty()) {
        log_debug(F, "%s/memberinfo/%s/frontend [UNLINK]", vdiskpath, nodeuuid);
        if (::unlinkat(mbfd, "frontend", 0) != 0 && errno != ENOENT) {
            log_error(F, "unlink(%s/memberinfo/%s/frontend): %s", vdiskpath, nodeuuid,
                      strerror(errno));
            return -1;
        }
        return 0;
    }

    if (frontend_store(vdisk, vdiskpath, nodeuuid, mbfd) != 0)
        return -1;
    if (nodestatus_link(vdiskpath, nodeuuid, mbfd) != 0)
        return -1;

    // The vdisk's `datastore` link and the datastore's link to the vdisk are
    // a pair.  The vdisk's own link is made last and marks the pair as made;
    // whenever an entry finds it, the datastore's link is made sure of too,
    // so that the next entry restores a pair that anything broke (the
    // datastore removed and made anew by its members' pings, a removal cut
    // short between the two links).
    char linked[LINK_BUF_LEN];
    const int found = vdisk_datastore_link(vdiskfd, vdiskpath, linked);
    if (found < 0)
        return -1;

    if (NodeLockStr(nodeuuid) != 0)
        return -1;
    if (NodeUpdate_RefVDisk(nodeuuid, vdisk->vdiskuuid) != 0) {
        NodeUnlockStr(nodeuuid);
        return -1;
    }
    if (found > 0) {
        NodeUnlockStr(nodeuuid);
        // The datastore's side is looked at only for a doubted vdisk.
        return found == 1 && VDiskDoubted(vdisk->vdiskuuid)
                   ? datastore_pair_ensure(linked, vdisk->vdiskuuid)
                   : 0;
    }
    char dsuuid[16];
    if (NodeLoad_DSMember(nodeuuid, dsuuid, sizeof dsuuid) != 0) {
        NodeUnlockStr(nodeuuid);
        return -1;
    }
    NodeUnlockStr(nodeuuid);

    if (dsuuid[0] == '\0')
        return 0;
    // The name comes from a file other programs write too: it becomes a path
    // component and a lock name only when it names a single entry.
    if (ObjectNameCheck(F, "datastore", dsuuid) != 0)
        return -1;

    char target[LINK_BUF_LEN];
    int n = std::snprintf(target, sizeof target, "../../Datastore/%s", dsuuid);
    if (n < 0 || size_t(n) >= sizeof target)
        return -1;

    // The datastore's link first: the vdisk's own link marks the pair as
    // made, so a failure or a crash in between leaves the vdisk without it,
    // and the next entry makes both.
    if (DatastoreLockStr(dsuuid) != 0)
        return -1;
    int r = DatastoreUpdate_RefVDisk(dsuuid, vdisk->vdiskuuid);
    DatastoreUnlockStr(dsuuid);
    if (r != 0)
        return -1;
    log_debug(F, "%s/datastore [SYMLINK %s]", vdiskpath, target);
    if (::symlinkat(target, vdiskfd, "datastore") != 0) {
        log_error(F, "symlink(%s/datastore, %s): %s", vdiskpath, target, strerror(errno));
        return -1;
    }
    return 0;
}

int NodeUpdate_RefVDisk(const char *nodeuuid, const char *vdiskuuid)
{
    static const char F[] = "NodeUpdate_RefVDisk";
    log_info(F, "Update Node %s ref VDisk %s", nodeuuid, vdiskuuid);
    return vdisk_link_ref(F, StoreTop::NODE, nodeuuid, vdiskuuid);
}

int DatastoreUpdate_RefVDisk(const char *dsuuid, const char *vdiskuuid)
{
    static const char F[] = "DatastoreUpdate_RefVDisk";
    log_info(F, "Update Datastore %s ref VDisk %s", dsuuid, vdiskuuid);
    return vdisk_link_ref(F, StoreTop::DATASTORE, dsuuid, vdiskuuid);
}

int MemberinfoDelete(const VDisk *vdisk, const char *nodeuuid)
{
    static const char F[] = "MemberinfoDelete";
    log_info(F, "Update VDisk %s delete Member %s", vdisk->vdiskuuid, nodeuuid);
    PathBuf rel, path;
    if (path_format(rel, "%s/memberinfo", vdisk->vdiskuuid) != 0 ||
        path_format(path, "%s/VDisk/%s/%s", cfg_work_directory.c_str(), rel, nodeuuid) != 0)
        return -1;
    const int r = door_open(F, StoreTop::VDISK, rel, O_RDONLY | O_DIRECTORY, true);
    UniqueFd mbtop(r >= 0 ? r : -1);
    if (r == -1 || (mbtop && store_rm_tree(F, mbtop.get(), nodeuuid, path) != 0)) {
        log_error(F, "Could not remove %s", path);
        return -1;
    }
    return NodeUpdate_UnrefVDisk(nodeuuid, vdisk->vdiskuuid);
}

int NodeUpdate_UnrefVDisk(const char *nodeuuid, const char *vdiskuuid)
{
    static const char F[] = "NodeUpdate_UnrefVDisk";
    log_info(F, "Update Node %s unref VDisk %s", nodeuuid, vdiskuuid);
    if (NodeLockStr(nodeuuid) != 0)
        return -1;
    int r = -1;
    PathBuf rel, path;
    if (path_format(rel, "%s/vdisks", nodeuuid) == 0 &&
        path_format(path, "%s/Node/%s/%s", cfg_work_directory.c_str(), rel, vdiskuuid) == 0) {
        r = door_open(F, StoreTop::NODE, rel, O_RDONLY | O_DIRECTORY, true);
        UniqueFd dir(r >= 0 ? r : -1);
        r = r == -2 ? 0 : r;  // no node directory, no link
        if (dir) {
            log_debug(F, "%s [UNLINK]", path);
            r = 0;
            if (::unlinkat(dir.get(), vdiskuuid, 0) != 0 && errno != ENOENT) {
                log_error(F, "unlink(%s): %s", path, strerror(errno));
                r = -1;
            }
        }
    }
    NodeUnlockStr(nodeuuid);
    return r;
}

int MembershipStore(VDisk *vdisk, const char *vdiskpath, int vdiskfd)
{
    static const char F[] = "MembershipStore";
    // An empty list leaves the file as it is.
    if (vdisk->members.empty())
        return 0;
    size_t len;
    std::unique_ptr<char[]> buf = list_buf_alloc(F, vdisk->members.size(), &len);
    if (!buf)
        return -1;
    size_t off = 0;
    for (const auto &m : vdisk->members) {
        char id[LIST_LINE_LEN];
        std::snprintf(id, sizeof id, "%u", unsigned(m->mbe.node));
        list_buf_add(buf.get(), len, &off, id);
    }
    log_debug(F, "%s/membership", vdiskpath);
    return AttrStore(vdiskfd, "membership", "%s", buf.get()) < 0 ? -1 : 0;
}

int MemberinfoMembers(MemberList *members, const char *vdiskpath, int mbtopfd, const char *except)
{
    static const char F[] = "MemberinfoMembers";
    MARLO_ASSERT(members->empty());
    DirEntries dir(::openat(mbtopfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd() < 0) {
        log_error(F, "open(%s/memberinfo): %s", vdiskpath, strerror(errno));
        return -1;
    }
    for (;;) {
        const char *name = dir.next();
        if (name == nullptr) {
            if (errno == 0)
                return 0;
            log_error(F, "readdir_r(%s/memberinfo): %d", vdiskpath, errno);
            MemberListFlush(*members);
            return -1;
        }
        // Only names that are node ids name members.
        char *end;
        const unsigned long id = std::strtoul(name, &end, 10);
        if (name[0] < '1' || name[0] > '9' || *end != '\0' || id > UINT32_MAX ||
            (except != nullptr && std::strcmp(name, except) == 0))
            continue;
        std::unique_ptr<Member> m;
        if (MemberAlloc(m) != 0 || ListAppend(F, *members, m) != 0) {
            MemberListFlush(*members);
            return -1;
        }
        members->back()->mbe.node = uint32_t(id);
        MemberInit(*members->back(), nullptr);
    }
}

int MembershipLoad(MemberList *members, int *members_count, const char *vdiskpath, int vdiskfd)
{
    static const char F[] = "MembershipLoad";
    MARLO_ASSERT(members->empty());

    ListFile list;
    const int loaded = list.load(vdiskfd, "membership");
    if (loaded == ListFile::MALFORMED)
        log_error(F, "Malformed file %s/membership", vdiskpath);
    if (loaded != 0)
        return -1;
    if (list.empty())
        return 0;

    if (ListReserve(F, *members, list.lines_left()) != 0)
        return -1;
    int count = 0;
    for (char *line = list.next(); line != nullptr; line = list.next()) {
        std::unique_ptr<Member> m;
        if (MemberAlloc(m) != 0 || ListAppend(F, *members, m) != 0) {
            MemberListFlush(*members);
            return -1;
        }
        Member &member = *members->back();
        count++;
        // Leading digits count; whatever follows them on the line is ignored.
        member.mbe.node = uint32_t(std::strtoul(line, nullptr, 10));
        if (member.mbe.node == 0) {
            log_error(F, "Malformed file %s/membership", vdiskpath);
            MemberListFlush(*members);
            return -1;
        }
        MemberInit(member, nullptr);
        log_debug(F, "%s/membership=%s [%d]", vdiskpath, member.uuid, count);
    }
    if (members_count != nullptr)
        *members_count = count;
    return 0;
}
