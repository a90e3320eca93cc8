// VDisk records: one directory VDisk/{uuid}/ per vdisk.  A received entry
// creates the vdisk or updates it by membership generation (running the
// fence-check program when the generation rises); a local node's vdisk is
// loaded back from the same files to be announced.
#include "object/vdisk.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "io/spawn.h"
#include "object/attr.h"
#include "object/member.h"
#include "object/path.h"
#include "object/store.h"

namespace {

// "{work}/VDisk/{uuid}".  0, or -1 after the error line when the work
// directory is too long for the path buffer.
int vdisk_path(const char *func, PathBuf &path, const char *vdiskuuid)
{
    if (path_format(path, "%s/VDisk/%s", cfg_work_directory.c_str(), vdiskuuid) == 0)
        return 0;
    log_error(func, "Path too long: %s/VDisk/%s", cfg_work_directory.c_str(), vdiskuuid);
    return -1;
}

// The create branch of VDiskCreate: the vdisk directory and its memberinfo
// were just made.  With `rebuild` the vdisk existed but was found incomplete
// or damaged (a create or a write cut short): it is written anew from the
// entry the same way, over what is there, and members the entry no longer
// lists lose their directories as in an update.  0 or -1.
int vdisk_create_new(const Hdr *hdr, VDisk *vdisk, const char *vdiskpath, const char *nodeuuid,
                     int vdiskfd, int mbtopfd, bool rebuild = false)
{
    static const char F[] = "VDiskCreate";
    const VDiskEntry &vde = vdisk->vde;
    const int uuid_w = int(sizeof vde.uuid);
    const int name_w = int(sizeof vde.name.name);

    log_info(F, "Create VDisk %s by Node %s", vdisk->vdiskuuid, nodeuuid);

    if (STORE_ATTR(F, vdiskfd, vdiskpath, "uuid", "%.*s", uuid_w, vde.uuid) < 0 ||
        STORE_ATTR(F, vdiskfd, vdiskpath, "name", "%.*s", name_w, vde.name.name) < 0 ||
        STORE_ATTR(F, vdiskfd, vdiskpath, "sector_size", "%u", unsigned(vde.sector_size)) < 0 ||
        STORE_ATTR(F, vdiskfd, vdiskpath, "sectors", "%llu", (unsigned long long)vde.sectors) < 0 ||
        STORE_ATTR(F, vdiskfd, vdiskpath, "replicas", "%u", unsigned(vde.replicas)) < 0 ||
        STORE_ATTR(F, vdiskfd, vdiskpath, "st_mems", "%u", unsigned(vde.st_mems)) < 0 ||
        STORE_ATTR(F, vdiskfd, vdiskpath, "st_size", "%u", unsigned(vde.st_size)) < 0 ||
        STORE_ATTR(F, vdiskfd, vdiskpath, "snapshot", "%u", unsigned(vde.snapshot)) < 0)
        return -1;

    if (vde.snapshot != 0) {
        const SnapInfo &snap = vde.description.snap;
        if (STORE_ATTR(F, vdiskfd, vdiskpath, "parent", "%.*s", int(sizeof snap.parent),
                       snap.parent) < 0 ||
            STORE_ATTR(F, vdiskfd, vdiskpath, "snaptime", "%02d-%02d-%02d_%02d.%02d.%02d",
                       int(snap.y), int(snap.m), int(snap.d), int(snap.H), int(snap.M),
                       int(snap.S)) < 0)
            return -1;
    } else {
        if (store_mkdirat(F, vdiskfd, vdiskpath, "snapshots", rebuild) != 0 ||
            STORE_ATTR(F, vdiskfd, vdiskpath, "description", "%.*s",
                       int(sizeof vde.description.descr), vde.description.descr) < 0)
            return -1;
    }

    if (STORE_ATTR(F, vdiskfd, vdiskpath, "highest_gen_count", "%u",
                   unsigned(mshipgencnt_get(vde))) < 0)
        return -1;
    MemberList previous;
    if (rebuild)
        (void)MembershipLoad(&previous, nullptr, vdiskpath, vdiskfd);
    if (MembershipStore(vdisk, vdiskpath, vdiskfd) != 0)
        return -1;
    for (const auto &m : previous)
        if (MemberLookup(vdisk->members, m->mbe.node) == nullptr)
            (void)MemberinfoDelete(vdisk, m->uuid);

    // Only a listed member gets its member directory from a new vdisk.
    if (MemberLookup(vdisk->members, hdr->uid) == nullptr)
        return 0;
    log_debug(F, "%s/memberinfo/%s [MKDIR]", vdiskpath, nodeuuid);
    if (::mkdirat(mbtopfd, nodeuuid, 0777) != 0 && !(rebuild && errno == EEXIST)) {
        log_error(F, "mkdir(%s/memberinfo/%s): %s", vdiskpath, nodeuuid, strerror(errno));
        return -1;
    }
    UniqueFd mbfd(store_opendirat(mbtopfd, nodeuuid));
    if (!mbfd)
        return -1;
    return MemberinfoCreate(vdisk, vdiskpath, vdiskfd, nodeuuid, mbfd.get()) != 0 ? -1 : 0;
}

// Reads one "%u" (resp. "%llu") member attribute that must convert exactly
// one value, with the member's debug or error line.  0 or -1.
int member_load_u32(int mbfd, const char *vdiskpath, const char *nodeuuid, const char *key,
                    unsigned *value)
{
    static const char F[] = "VDiskLoad";
    int r = AttrLoad(mbfd, key, "%u", value);
    if (r != 1) {
        log_error(F, "Failed to load %s/memberinfo/%s/%s: %d", vdiskpath, nodeuuid, key, r);
        return -1;
    }
    log_debug(F, "%s/memberinfo/%s/%s=%u", vdiskpath, nodeuuid, key, *value);
    return 0;
}

int member_load_u64(int mbfd, const char *vdiskpath, const char *nodeuuid, const char *key,
                    unsigned long long *value)
{
    static const char F[] = "VDiskLoad";
    int r = AttrLoad(mbfd, key, "%llu", value);
    if (r != 1) {
        log_error(F, "Failed to load %s/memberinfo/%s/%s: %d", vdiskpath, nodeuuid, key, r);
        return -1;
    }
    log_debug(F, "%s/memberinfo/%s/%s=%llu", vdiskpath, nodeuuid, key, *value);
    return 0;
}

// The vdisk-level files, from uuid to parent or description.  0 or -1.
int vdisk_load_attrs(VDisk *vdisk, const char *vdiskpath, int vdiskfd)
{
    static const char F[] = "VDiskLoad";
    VDiskEntry &vde = vdisk->vde;

    // Written only by other programs on this host, inside a transaction.
    int found = store_lookup(vdiskfd, "transaction_id");
    if (found < 0) {
        log_error(F, "lstat(%s/transaction_id): %s", vdiskpath, strerror(errno));
        return -1;
    }
    if (found > 0) {
        unsigned tid;
        if (store_load_u32(F, vdiskfd, vdiskpath, "transaction_id", &tid) != 0)
            return -1;
        vde.transaction_id = tid;
    }

    if (store_load_text(F, vdiskfd, vdiskpath, "uuid", vde.uuid, int(sizeof vde.uuid),
                        int(sizeof vde.uuid)) < 0 ||
        store_load_text(F, vdiskfd, vdiskpath, "name", vde.name.name, int(sizeof vde.name.name),
                        int(sizeof vde.name.name)) < 0)
        return -1;

    unsigned sector_size, replicas, st_mems, st_size, snapshot;
    unsigned long long sectors;
    if (store_load_u32(F, vdiskfd, vdiskpath, "sector_size", &sector_size) != 0)
        return -1;
    vde.sector_size = sector_size;
    int r = AttrLoad(vdiskfd, "sectors", "%llu", &sectors);
    if (r != 1) {
        log_error(F, "Failed to load %s/sectors: %d", vdiskpath, r);
        return -1;
    }
    log_debug(F, "%s/sectors=%llu", vdiskpath, sectors);
    vde.sectors = sectors;
    if (store_load_u32(F, vdiskfd, vdiskpath, "replicas", &replicas) != 0)
        return -1;
    vde.replicas = uint16_t(replicas);
    if (store_load_u32(F, vdiskfd, vdiskpath, "st_mems", &st_mems) != 0)
        return -1;
    vde.st_mems = uint8_t(st_mems);
    if (store_load_u32(F, vdiskfd, vdiskpath, "st_size", &st_size) != 0)
        return -1;
    vde.st_size = uint16_t(st_size);
    if (store_load_u32(F, vdiskfd, vdiskpath, "snapshot", &snapshot) != 0)
        return -1;
    vde.snapshot = uint16_t(snapshot);

    if (vde.snapshot == 0) {
        char *descr = vde.description.descr;
        const int w = int(sizeof vde.description.descr);
        return store_load_text(F, vdiskfd, vdiskpath, "description", descr, w, w) < 0 ? -1 : 0;
    }

    SnapInfo &snap = vde.description.snap;
    char snaptime[32] = {};
    r = StringLoad(vdiskfd, "snaptime", snaptime, int(sizeof snaptime) - 1);
    if (r < 0) {
        log_error(F, "Failed to load %s/snaptime: %d", vdiskpath, r);
        return -1;
    }
    int y, m, d, H, M, S;
    if (std::sscanf(snaptime, "%d-%d-%d_%d.%d.%d", &y, &m, &d, &H, &M, &S) < 6) {
        log_error(F, "Malformed %s/snaptime: %s", vdiskpath, snaptime);
        return -1;
    }
    snap.y = uint8_t(y);
    snap.m = uint8_t(m);
    snap.d = uint16_t(d);
    snap.H = uint8_t(H);
    snap.M = uint8_t(M);
    snap.S = uint8_t(S);
    log_debug(F, "%s/snaptime=%02d-%02d-%02d_%02d.%02d.%02d", vdiskpath, int(snap.y), int(snap.m),
              int(snap.d), int(snap.H), int(snap.M), int(snap.S));

    const int pw = int(sizeof snap.parent);
    r = StringLoad(vdiskfd, "parent", snap.parent, pw);
    if (r < 0) {
        log_error(F, "Failed to load %s/parent: %d", vdiskpath, r);
        return -1;
    }
    log_debug(F, "%s/parent=%.*s", vdiskpath, pw, snap.parent);
    std::snprintf(vdisk->parentuuid, sizeof vdisk->parentuuid, "%.*s", pw, snap.parent);
    // The parent names a directory and a lock of its own: an empty or
    // path-like parent is refused rather than carried on, and so is the
    // vdisk itself, whose removal would wait for its own lock.
    if (ObjectNameCheck(F, "parent", vdisk->parentuuid) != 0)
        return -1;
    if (std::strcmp(vdisk->parentuuid, vdisk->vdiskuuid) == 0) {
        log_error(F, "Refusing VDisk %s as a snapshot of itself", vdisk->vdiskuuid);
        return -1;
    }
    return 0;
}

// The member's own files, the member list and its frontends.  0 or -1.
int vdisk_load_member(const Node *node, VDisk *vdisk, const char *vdiskpath, int vdiskfd)
{
    static const char F[] = "VDiskLoad";
    VDiskEntry &vde = vdisk->vde;
    const char *nodeuuid = node->nodeuuid;

    log_debug(F, "%s/memberinfo [OPEN]", vdiskpath);
    UniqueFd mbtopfd(store_opendirat(vdiskfd, "memberinfo"));
    if (!mbtopfd)
        return -1;
    log_debug(F, "%s/memberinfo/%s [OPEN]", vdiskpath, nodeuuid);
    UniqueFd mbfd(store_opendirat(mbtopfd.get(), nodeuuid));
    if (!mbfd)
        return -1;

    unsigned long long numkeys, seqno;
    unsigned status, port, st_mem, gen;
    if (member_load_u64(mbfd.get(), vdiskpath, nodeuuid, "numkeys", &numkeys) != 0)
        return -1;
    vde.numkeys = numkeys;
    if (member_load_u64(mbfd.get(), vdiskpath, nodeuuid, "seqno", &seqno) != 0)
        return -1;
    vde.seqno = seqno;
    if (member_load_u32(mbfd.get(), vdiskpath, nodeuuid, "status", &status) != 0)
        return -1;
    vde.status = uint8_t(status);
    if (member_load_u32(mbfd.get(), vdiskpath, nodeuuid, "port", &port) != 0)
        return -1;
    vde.port = uint16_t(port);
    if (member_load_u32(mbfd.get(), vdiskpath, nodeuuid, "st_mem", &st_mem) != 0)
        return -1;
    vde.st_mem = uint8_t(st_mem);

    // membership_gen_count: old nodes read two digits, newer ones also the
    // big-endian field.
    int r = AttrLoad(mbfd.get(), "membership_gen_count", "%u", &gen);
    if (r != 1) {
        log_error(F, "Failed to load %s/memberinfo/%s/membership_gen_count: %d", vdiskpath,
                  nodeuuid, r);
        return -1;
    }
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02u", gen % 100);
    std::memcpy(vde.name.old_mshipgencnt, digits, sizeof vde.name.old_mshipgencnt);
    if (version_has_mshipgencnt(node->hdr.major, node->hdr.minor))
        mshipgencnt_set(vde, uint16_t(gen));
    log_debug(F, "%s/memberinfo/%s/membership_gen_count=%u", vdiskpath, nodeuuid, gen);

    if (MembershipLoad(&vdisk->members, &vdisk->members_count, vdiskpath, vdiskfd) != 0)
        return -1;
    vde.members = uint16_t(vdisk->members_count);
    if (FrontendsLoad(&vdisk->frontends, &vdisk->frontends_count, vdiskpath, nodeuuid,
                      mbfd.get()) != 0)
        return -1;
    vde.frontends = uint16_t(vdisk->frontends_count);
    return 0;
}

}  // namespace

int VDiskLock(const VDisk *vdisk)
{
    if (ObjectNameCheck("VDiskLock", "vdisk", vdisk->vdiskuuid) != 0)
        return -1;
    PathBuf path;
    if (path_format(path, "/tmp/VDISK-%s", vdisk->vdiskuuid) != 0)
        return -1;
    return PathLock(path, cfg_vdisk_lock_timeout_ms);
}

void VDiskUnlock(const VDisk *vdisk)
{
    if (ObjectNameCheck("VDiskUnlock", "vdisk", vdisk->vdiskuuid) != 0)
        return;
    PathBuf path;
    if (path_format(path, "/tmp/VDISK-%s", vdisk->vdiskuuid) != 0)
        return;
    PathUnlock(path);
}

int VDiskCreate(const Hdr *hdr, VDisk *vdisk)
{
    static const char F[] = "VDiskCreate";
    VDiskEntry &vde = vdisk->vde;

    // The uuid names the directory; a snapshot's parent later names the
    // parent's directory and lock.  Neither may lead anywhere else.
    if (ObjectNameCheck(F, "vdisk", vdisk->vdiskuuid) != 0)
        return -1;
    if (vde.snapshot != 0 && ObjectNameCheck(F, "parent", vdisk->parentuuid) != 0)
        return -1;

    // Senders before 1.8 carry the generation only as two ASCII digits.
    if (!version_has_mshipgencnt(hdr->major, hdr->minor)) {
        const int tens = int((signed char)vde.name.old_mshipgencnt[0]) - '0';
        const int ones = int((signed char)vde.name.old_mshipgencnt[1]) - '0';
        mshipgencnt_set(vde, uint16_t(tens * 10 + ones));
    }

    PathBuf vdiskpath;
    if (vdisk_path(F, vdiskpath, vdisk->vdiskuuid) != 0)
        return -1;
    PathBuf topdir;
    const int fits = path_format(topdir, "%s/VDisk", cfg_work_directory.c_str());
    MARLO_ASSERT(fits == 0);  // shorter than vdiskpath
    if (store_mkdir(F, topdir) != 0)
        return -1;

    log_debug(F, "%s/VDisk/%s [STAT]", cfg_work_directory.c_str(), vdisk->vdiskuuid);
    struct stat st;
    bool exists = true;
    UniqueFd vdiskfd;
    if (::lstat(vdiskpath, &st) != 0) {
        if (errno != ENOENT) {
            log_error(F, "lstat(%s): %s", vdiskpath, strerror(errno));
            return -1;
        }
        // An entry sent inside a transaction never creates a vdisk.
        if (vde.transaction_id != 0)
            return 0;
        exists = false;
        if (store_mkdir(F, vdiskpath, false) != 0)
            return -1;
    }
    // An update without members would delete every member's data while the
    // membership file still lists them.
    if (exists && vde.transaction_id == 0 && vdisk->members.empty()) {
        log_error(F, "Refusing VDisk %s update without members", vdisk->vdiskuuid);
        return -1;
    }
    vdiskfd.reset(store_opendir(vdiskpath));
    if (!vdiskfd)
        return -1;

    char nodeuuid[16];
    std::snprintf(nodeuuid, sizeof nodeuuid, "%u", unsigned(hdr->uid));
    int result = -1;
    // A vdisk without memberinfo/ was left by a create or a removal cut
    // short: the entry writes it anew (one inside a transaction creates
    // nothing, here as for a new vdisk).
    bool rebuild = false;
    int mbtop = exists ? store_openat_opt(vdiskfd.get(), "memberinfo", O_RDONLY | O_DIRECTORY)
                       : -2;
    if (exists && mbtop == -2) {
        if (vde.transaction_id != 0) {
            store_sync_close(F, vdiskfd);
            return 0;
        }
        log_notice(F, "Rebuilding VDisk %s without memberinfo", vdisk->vdiskuuid);
        rebuild = true;
    }
    if (mbtop == -2 && store_mkdirat(F, vdiskfd.get(), vdiskpath, "memberinfo", rebuild) == 0)
        mbtop = store_opendirat(vdiskfd.get(), "memberinfo");
    UniqueFd mbtopfd(mbtop >= 0 ? mbtop : -1);
    if (mbtopfd) {
        if (exists && !rebuild)
            result = VDiskUpdate(hdr, vdisk, vdiskpath, nodeuuid, vdiskfd.get(), mbtopfd.get());
        else
            result = vdisk_create_new(hdr, vdisk, vdiskpath, nodeuuid, vdiskfd.get(),
                                      mbtopfd.get(), rebuild);
    }
    mbtopfd.reset();
    store_sync_close(F, vdiskfd);
    return result;
}

int VDiskUpdate(const Hdr *hdr, VDisk *vdisk, const char *vdiskpath, const char *nodeuuid,
                int vdiskfd, int mbtopfd)
{
    static const char F[] = "VDiskUpdate";
    const VDiskEntry &vde = vdisk->vde;
    (void)hdr;

    log_info(F, "Update VDisk %s by Node %s", vdisk->vdiskuuid, nodeuuid);
    MemberList previous;
    UniqueFd mbfd;

    const int found = store_lookup(mbtopfd, nodeuuid);
    if (found < 0) {
        log_error(F, "lstat(%s/memberinfo/%s): %s", vdiskpath, nodeuuid, strerror(errno));
        return -1;
    }
    const bool existed = found > 0;
    if (existed) {
        mbfd.reset(store_opendirat(mbtopfd, nodeuuid));
        if (!mbfd)
            return -1;
        const unsigned long long seqno = vde.seqno;
        log_debug(F, "%s/memberinfo/%s/seqno=%llu", vdiskpath, nodeuuid, seqno);
        if (AttrStore(mbfd.get(), "seqno", "%llu\n", seqno) < 0)
            return -1;
    }

    // Inside a transaction only the sender's seqno is refreshed.
    if (vde.transaction_id != 0)
        return 0;

    // A generation that cannot be read (a write or a create cut short) is
    // written anew from this entry, with the rest of the vdisk.
    unsigned highest;
    int r = AttrLoad(vdiskfd, "highest_gen_count", "%u", &highest);
    if (r != 1) {
        log_error(F, "Failed to load %s/highest_gen_count: %d", vdiskpath, r);
        log_notice(F, "Rebuilding VDisk %s by Node %s", vdisk->vdiskuuid, nodeuuid);
        mbfd.reset();
        return vdisk_create_new(hdr, vdisk, vdiskpath, nodeuuid, vdiskfd, mbtopfd, true);
    }
    log_debug(F, "%s/highest_gen_count=%u", vdiskpath, highest);

    // A stale generation changes nothing more.
    const unsigned gen = mshipgencnt_get(vde);
    if (gen < highest)
        return 0;

    // Unlike a new vdisk, an existing one takes member data from any sender.
    if (!existed) {
        log_debug(F, "%s/memberinfo/%s [MKDIR]", vdiskpath, nodeuuid);
        if (::mkdirat(mbtopfd, nodeuuid, 0777) != 0) {
            log_error(F, "mkdir(%s/memberinfo/%s): %s", vdiskpath, nodeuuid, strerror(errno));
            return -1;
        }
        mbfd.reset(store_opendirat(mbtopfd, nodeuuid));
        if (!mbfd)
            return -1;
    }
    if (MemberinfoCreate(vdisk, vdiskpath, vdiskfd, nodeuuid, mbfd.get()) != 0)
        return -1;
    mbfd.reset();

    if (STORE_ATTR(F, vdiskfd, vdiskpath, "sectors", "%llu", (unsigned long long)vde.sectors) < 0)
        return -1;

    // A membership file that cannot be read leaves no one to remove.
    (void)MembershipLoad(&previous, nullptr, vdiskpath, vdiskfd);
    if (MembershipStore(vdisk, vdiskpath, vdiskfd) != 0)
        return -1;
    for (const auto &m : previous)
        if (MemberLookup(vdisk->members, m->mbe.node) == nullptr)
            (void)MemberinfoDelete(vdisk, m->uuid);

    // Same generation: member data refreshed, no fence check.
    if (highest >= gen)
        return 0;
    if (STORE_ATTR(F, vdiskfd, vdiskpath, "highest_gen_count", "%u", gen) < 0)
        return -1;
    return FenceCheck(vdisk, nodeuuid);
}

int FenceCheck(const VDisk *vdisk, const char *nodeuuid)
{
    static const char F[] = "FenceCheck";
    char uuidarg[32];
    char memberarg[32];
    std::snprintf(uuidarg, sizeof uuidarg, "uuid=%s", vdisk->vdiskuuid);
    std::snprintf(memberarg, sizeof memberarg, "member=%s", nodeuuid);
    const char *prog = cfg_fence_check.c_str();
    char *const argv[] = {const_cast<char *>(prog), uuidarg, memberarg, nullptr};
    char *const envp[] = {nullptr};

    log_info(F, "Call %s %s %s", prog, uuidarg, memberarg);
    // The program's output goes to the log, a line each.
    int status;
    const int r = program_run(
        F, prog, argv, envp,
        [&](int stream, const char *line) {
            if (stream == 1)
                log_info(F, "%s %s %s stdout: %s", prog, uuidarg, memberarg, line);
            else
                log_warn(F, "%s %s %s stderr: %s", prog, uuidarg, memberarg, line);
        },
        &status);
    if (r < 0)
        return -1;
    log_info(F, "Return %s %s %s", prog, uuidarg, memberarg);
    // Shown to the administrator; nothing here depends on it.
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        log_notice(F, "%s %s %s exited with status %d", prog, uuidarg, memberarg,
                   WEXITSTATUS(status));
    else if (WIFSIGNALED(status))
        log_notice(F, "%s %s %s killed by signal %d (%s)", prog, uuidarg, memberarg,
                   WTERMSIG(status), strsignal(WTERMSIG(status)));
    return 0;
}

int VDiskLoad(const Node *node, VDisk *vdisk)
{
    static const char F[] = "VDiskLoad";
    log_info(F, "Load VDisk %s by Node %s", vdisk->vdiskuuid,
             node != nullptr ? node->nodeuuid : "NONE");

    std::memset(&vdisk->vde, 0, sizeof vdisk->vde);
    MARLO_ASSERT(vdisk->parentuuid[0] == '\0');
    MARLO_ASSERT(vdisk->members.empty() && vdisk->frontends.empty());
    // The uuid comes from a link name or a notice: it must name one entry.
    if (ObjectNameCheck(F, "vdisk", vdisk->vdiskuuid) != 0)
        return -1;

    PathBuf vdiskpath;
    if (vdisk_path(F, vdiskpath, vdisk->vdiskuuid) != 0)
        return -1;
    log_debug(F, "%s [OPEN]", vdiskpath);
    UniqueFd vdiskfd(store_opendir(vdiskpath));
    if (!vdiskfd)
        return -1;

    if (vdisk_load_attrs(vdisk, vdiskpath, vdiskfd.get()) != 0)
        return -1;
    if (node == nullptr)
        return 0;
    return vdisk_load_member(node, vdisk, vdiskpath, vdiskfd.get());
}

int FrontendsLoad(FrontendList *frontends, int *frontends_count, const char *vdiskpath,
                  const char *nodeuuid, int mbfd)
{
    static const char F[] = "FrontendsLoad";
    MARLO_ASSERT(frontends->empty());

    // A member without frontends has no frontend file.
    ListFile list;
    const int loaded = list.load(mbfd, "frontend", true);
    if (loaded == ListFile::MALFORMED)
        log_error(F, "Malformed file %s/memberinfo/%s/frontend", vdiskpath, nodeuuid);
    if (loaded != 0)
        return -1;
    if (list.empty())
        return 0;

    if (ListReserve(F, *frontends, list.lines_left()) != 0)
        return -1;
    int count = 0;
    for (char *line = list.next(); line != nullptr; line = list.next()) {
        std::unique_ptr<Frontend> fe;
        if (FrontendAlloc(fe) != 0 || ListAppend(F, *frontends, fe) != 0) {
            FrontendListFlush(*frontends);
            return -1;
        }
        Frontend &front = *frontends->back();
        count++;

        struct in_addr addr;
        const int r = ::inet_pton(AF_INET, line, &addr);
        if (r != 1) {
            log_error(F, "inet_pton(%s): %d", line, r);
            FrontendListFlush(*frontends);
            return -1;
        }
        front.fee.node = ntohl(addr.s_addr);
        if (::inet_ntop(AF_INET, &addr, front.ipaddr, sizeof front.ipaddr) == nullptr) {
            log_error(F, "inet_ntop(): %s", strerror(errno));
            FrontendListFlush(*frontends);
            return -1;
        }
        // Only the canonical dotted quad is accepted: what is announced is
        // exactly what the file says.
        if (std::strcmp(line, front.ipaddr) != 0) {
            log_error(F, "IP Conversion failure: %s vs %s", line, front.ipaddr);
            FrontendListFlush(*frontends);
            return -1;
        }
        log_debug(F, "%s/memberinfo/%s/frontend=%s [%d]", vdiskpath, nodeuuid, front.ipaddr,
                  count);
    }
    *frontends_count = count;
    return 0;
}
