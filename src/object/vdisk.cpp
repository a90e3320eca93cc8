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

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>

#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "io/spawn.h"
#include "object/attr.h"
#include "object/door.h"
#include "object/layout.h"
#include "object/member.h"
#include "object/path.h"
#include "object/store.h"

namespace {

// Healing on evidence.  The attributes of a vdisk that no update needs, and
// its link pair with its datastore, are made sure of only where there is a
// reason to doubt them: once per vdisk after the daemon starts, after its
// load failed, after a rebuild.  A vdisk found sound is trusted until then;
// the set is bounded (past its size a vdisk is simply probed each time).
constexpr size_t TRUSTED_MAX = 65536;
std::unordered_set<std::string> trusted;

void vdisk_trust(const char *vdiskuuid)
{
    if (trusted.size() < TRUSTED_MAX)
        trusted.emplace(vdiskuuid);
}

// The largest generation the store's rows accept (16 bits).
constexpr unsigned GEN_MAX = unsigned(layout::row(layout::VDISK, "highest_gen_count").max);
static_assert(GEN_MAX == layout::row(layout::MEMBER, "membership_gen_count").max);

// A membership generation as the store keeps it: a decimal number of at
// most 16 bits (leading blanks and anything after the digits aside, as the
// scanner reads it).  False for anything else, a number out of range
// included: such a file is malformed, never a generation.
bool generation_parse(const char *text, unsigned *value)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p < '0' || *p > '9')
        return false;
    unsigned long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + unsigned(*p - '0');
        if (v > GEN_MAX)
            return false;
    }
    *value = unsigned(v);
    return true;
}

// "{work}/VDisk/{uuid}".  0, or -1 after the error line when the work
// directory is too long for the path buffer.
int vdisk_path(const char *func, PathBuf &path, const char *vdiskuuid)
{
    if (path_format(path, "%s/VDisk/%s", cfg_work_directory.c_str(), vdiskuuid) == 0)
        return 0;
    log_error(func, "Path too long: %s/VDisk/%s", cfg_work_directory.c_str(), vdiskuuid);
    return -1;
}

// The vdisk-level attributes, in the order a new vdisk writes them: the
// first rows of the vdisk's layout, each of which VDiskLoad needs (for a
// snapshot, or a plain vdisk, or both, as its row says).
enum class VAttr { UUID, NAME, SECTOR_SIZE, SECTORS, REPLICAS, ST_MEMS, ST_SIZE, SNAPSHOT,
                   PARENT, SNAPTIME, DESCRIPTION };
constexpr VAttr kVAttrs[] = {VAttr::UUID,     VAttr::NAME,    VAttr::SECTOR_SIZE,
                             VAttr::SECTORS,  VAttr::REPLICAS, VAttr::ST_MEMS,
                             VAttr::ST_SIZE,  VAttr::SNAPSHOT, VAttr::PARENT,
                             VAttr::SNAPTIME, VAttr::DESCRIPTION};

constexpr const layout::Entry &vattr_row(VAttr a) { return layout::VDISK[int(a)]; }

consteval bool vattrs_are_the_first_rows()
{
    const std::string_view names[] = {"uuid",     "name",    "sector_size", "sectors",
                                      "replicas", "st_mems", "st_size",     "snapshot",
                                      "parent",   "snaptime", "description"};
    for (VAttr a : kVAttrs)
        if (names[int(a)] != vattr_row(a).name || vattr_row(a).need == layout::Need::None ||
            vattr_row(a).need == layout::Need::Members)
            return false;
    return true;
}
static_assert(vattrs_are_the_first_rows());

bool vattr_applies(VAttr a, bool snapshot)
{
    switch (vattr_row(a).need) {
    case layout::Need::Snapshot: return snapshot;
    case layout::Need::Plain: return !snapshot;
    default: return true;
    }
}

// Writes attribute `a` from the entry, with its debug line under func.  0 or -1.
int vattr_store(const char *func, int fd, const char *path, const VDiskEntry &vde, VAttr a)
{
    const char *F = func;
    const SnapInfo &snap = vde.description.snap;
    int r = -1;
    switch (a) {
    case VAttr::UUID:
        r = STORE_ATTR(F, fd, path, "uuid", "%.*s", int(sizeof vde.uuid), vde.uuid);
        break;
    case VAttr::NAME:
        r = STORE_ATTR(F, fd, path, "name", "%.*s", int(sizeof vde.name.name), vde.name.name);
        break;
    case VAttr::SECTOR_SIZE:
        r = STORE_ATTR(F, fd, path, "sector_size", "%u", unsigned(vde.sector_size));
        break;
    case VAttr::SECTORS:
        r = STORE_ATTR(F, fd, path, "sectors", "%llu", (unsigned long long)vde.sectors);
        break;
    case VAttr::REPLICAS:
        r = STORE_ATTR(F, fd, path, "replicas", "%u", unsigned(vde.replicas));
        break;
    case VAttr::ST_MEMS:
        r = STORE_ATTR(F, fd, path, "st_mems", "%u", unsigned(vde.st_mems));
        break;
    case VAttr::ST_SIZE:
        r = STORE_ATTR(F, fd, path, "st_size", "%u", unsigned(vde.st_size));
        break;
    case VAttr::SNAPSHOT:
        r = STORE_ATTR(F, fd, path, "snapshot", "%u", unsigned(vde.snapshot));
        break;
    case VAttr::PARENT:
        r = STORE_ATTR(F, fd, path, "parent", "%.*s", int(sizeof snap.parent), snap.parent);
        break;
    case VAttr::SNAPTIME:
        r = STORE_ATTR(F, fd, path, "snaptime", "%02d-%02d-%02d_%02d.%02d.%02d", int(snap.y),
                       int(snap.m), int(snap.d), int(snap.H), int(snap.M), int(snap.S));
        break;
    case VAttr::DESCRIPTION:
        r = STORE_ATTR(F, fd, path, "description", "%.*s", int(sizeof vde.description.descr),
                       vde.description.descr);
        break;
    }
    return r < 0 ? -1 : 0;
}

const char *vattr_key(VAttr a)
{
    return vattr_row(a).name;
}

// Whether `text` (a value read whole, newline dropped) is what VDiskLoad
// accepts for attribute `a`.  *number receives a numeric value.
bool vattr_valid(VAttr a, const char *text, int len, const VDisk *vdisk, unsigned *number)
{
    unsigned long long big;
    int y, m, d, H, M, S;
    if (vattr_row(a).form == layout::Form::Text && len > vattr_row(a).width)
        return false;
    switch (a) {
    case VAttr::PARENT:
        return len > 0 && std::strchr(text, '/') == nullptr && std::strcmp(text, ".") != 0 &&
               std::strcmp(text, "..") != 0 && std::strcmp(text, vdisk->vdiskuuid) != 0;
    case VAttr::UUID:
    case VAttr::NAME:
    case VAttr::DESCRIPTION:
        return true;
    case VAttr::SECTORS:
        return std::sscanf(text, "%llu", &big) == 1;
    case VAttr::SNAPTIME:
        return std::sscanf(text, "%d-%d-%d_%d.%d.%d", &y, &m, &d, &H, &M, &S) == 6;
    default:
        return std::sscanf(text, "%u", number) == 1;
    }
}

// "The next message repairs" for every attribute VDiskLoad needs: an entry
// that finds one absent, empty, malformed or a link (a create or a write cut
// short, or another program's doing) writes it anew from the entry, with a
// notice line, so that the vdisk loads and is announced again.  One that
// cannot be read (a FIFO, a directory, EIO) is left as it is, with its error
// line: nothing is rewritten on doubt, and the entry, which needs none of
// these values, goes on.  A plain vdisk's `snapshots/` is made again too
// when `rebuild` (the vdisk was found damaged).  0; 1 when an attribute
// could not be read; -1 when a write failed.
int vdisk_attrs_repair(const VDisk *vdisk, const char *vdiskpath, int vdiskfd, bool rebuild)
{
    static const char F[] = "VDiskUpdate";
    bool snapshot = vdisk->vde.snapshot != 0;
    int result = 0;
    for (VAttr a : kVAttrs) {
        // What every update writes anyway is not probed.
        if (!vattr_applies(a, snapshot) || vattr_row(a).every_update)
            continue;
        char text[256];
        unsigned number = 0;
        const int len = AttrProbe(vdiskfd, vattr_key(a), text);
        if (len == -1) {
            result = 1;
            continue;
        }
        if (len >= 0 && vattr_valid(a, text, len, vdisk, &number)) {
            if (a == VAttr::SNAPSHOT)
                snapshot = number != 0;  // what VDiskLoad will go by
            continue;
        }
        log_notice(F, "Rewriting %s/%s from the entry", vdiskpath, vattr_key(a));
        if (vattr_store(F, vdiskfd, vdiskpath, vdisk->vde, a) != 0)
            return -1;
        if (a == VAttr::SNAPSHOT)
            snapshot = vdisk->vde.snapshot != 0;
    }
    if (rebuild && !snapshot && store_mkdirat(F, vdiskfd, vdiskpath, "snapshots") != 0)
        return -1;
    return result;
}

// The create branch of VDiskCreate: the vdisk directory and its memberinfo
// were just made.  0 or -1.
int vdisk_create_new(const Hdr *hdr, VDisk *vdisk, const char *vdiskpath, const char *nodeuuid,
                     int vdiskfd, int mbtopfd)
{
    static const char F[] = "VDiskCreate";
    const VDiskEntry &vde = vdisk->vde;

    log_info(F, "Create VDisk %s by Node %s", vdisk->vdiskuuid, nodeuuid);
    for (VAttr a : kVAttrs) {
        if (!vattr_applies(a, vde.snapshot != 0))
            continue;
        if (a == VAttr::DESCRIPTION && store_mkdirat(F, vdiskfd, vdiskpath, "snapshots", false) != 0)
            return -1;
        if (vattr_store(F, vdiskfd, vdiskpath, vde, a) != 0)
            return -1;
    }
    if (STORE_ATTR(F, vdiskfd, vdiskpath, "highest_gen_count", "%u",
                   unsigned(mshipgencnt_get(vde))) < 0)
        return -1;
    if (MembershipStore(vdisk, vdiskpath, vdiskfd) != 0)
        return -1;

    // Only a listed member gets its member directory from a new vdisk.
    if (MemberLookup(vdisk->members, hdr->uid) == nullptr) {
        vdisk_trust(vdisk->vdiskuuid);  // every attribute written just now
        return 0;
    }
    log_debug(F, "%s/memberinfo/%s [MKDIR]", vdiskpath, nodeuuid);
    if (::mkdirat(mbtopfd, nodeuuid, 0777) != 0) {
        log_error(F, "mkdir(%s/memberinfo/%s): %s", vdiskpath, nodeuuid, strerror(errno));
        return -1;
    }
    UniqueFd mbfd(store_opendirat(mbtopfd, nodeuuid));
    if (!mbfd)
        return -1;
    if (MemberinfoCreate(vdisk, vdiskpath, vdiskfd, nodeuuid, mbfd.get()) != 0)
        return -1;
    vdisk_trust(vdisk->vdiskuuid);  // every attribute written just now
    return 0;
}

// The vdisk's generation as an update meets it.
struct Generation {
    unsigned highest = 0;  // the generation applied so far
    bool rebuilt = false;  // highest_gen_count was damaged: it must be written
    char owed[16] = "";    // a fence check that may never have run, for this member
};

// Reads highest_gen_count.  A file that is absent, empty or malformed (its
// write or the create cut short) is rebuilt; one that cannot be read fails
// the entry (EIO is no evidence of anything).  The rebuilt generation never
// lowers the vdisk's: it is the highest of the members' membership_gen_count
// (and the entry's, by the caller's comparison).  A rise writes the
// sender's membership_gen_count before highest_gen_count, and runs the
// fence check only after it, so a damaged highest_gen_count may hide a rise
// whose check never ran: the check is owed for the highest generation the
// members show (an extra check is harmless; a missed one is not), unless
// the entry rises above it and brings its own.  0 or -1.
int vdisk_generation(const VDisk *vdisk, const char *vdiskpath, const char *nodeuuid, int vdiskfd,
                     int mbtopfd, Generation &g)
{
    static const char F[] = "VDiskUpdate";
    char text[256];
    const int len = AttrProbe(vdiskfd, "highest_gen_count", text);
    if (len == -1) {
        log_error(F, "Failed to load %s/highest_gen_count: %d", vdiskpath, len);
        return -1;
    }
    if (len >= 0 && generation_parse(text, &g.highest)) {
        log_debug(F, "%s/highest_gen_count=%u", vdiskpath, g.highest);
        return 0;
    }

    const unsigned gen = mshipgencnt_get(vdisk->vde);
    g.rebuilt = true;
    g.highest = gen;  // no member shows one: the entry's, and nothing owed
    MemberList members;
    if (MemberinfoMembers(&members, vdiskpath, mbtopfd, nullptr) != 0)
        return -1;
    bool shown = false;
    for (const auto &m : members) {
        char key[64];
        std::snprintf(key, sizeof key, "%s/membership_gen_count", m->uuid);
        unsigned v;
        const int r = AttrProbe(mbtopfd, key, text);
        if (r == -1)
            return -1;
        if (r < 0 || !generation_parse(text, &v))
            continue;  // a damaged member file shows nothing
        if (!shown || v > g.highest || (v == g.highest && std::strcmp(m->uuid, nodeuuid) == 0)) {
            if (!shown || v > g.highest)
                g.highest = v;
            std::snprintf(g.owed, sizeof g.owed, "%s", m->uuid);
        }
        shown = true;
    }
    if (gen > g.highest)
        g.owed[0] = '\0';
    log_notice(F, "Rebuilding VDisk %s generation %u from its members", vdisk->vdiskuuid,
               std::max(g.highest, gen));
    return 0;
}

// The record of a fence check owed: "<generation> <member>" in the vdisk's
// `fence_owed`, written before the raised generation and removed once the
// check has returned.  A check cut short (the daemon killed or stopped
// while it ran, fork or wait failing) leaves it; the daemon's start and
// the next entry for the vdisk run the check again, so that every raised
// generation has its check at least once.
const char FENCE_OWED[] = "fence_owed";

// Records this process left behind since its start (checks that failed, or
// owed ones it could not run): while there are any, every update looks
// for its vdisk's record; otherwise none does (a record is only ever left
// by a check cut short, which the start-up scan finds).
long fence_owed_left;

// Runs `member`'s check and removes the record once it returned.  0, or -1
// (the record stays; the caller counts it as left).
int fence_check_settle(const VDisk *vdisk, const char *vdiskpath, int vdiskfd, const char *member)
{
    static const char F[] = "FenceCheck";
    if (FenceCheck(vdisk, member) != 0)
        return -1;
    log_debug(F, "%s/%s [UNLINK]", vdiskpath, FENCE_OWED);
    if (::unlinkat(vdiskfd, FENCE_OWED, 0) != 0 && errno != ENOENT) {
        log_error(F, "unlink(%s/%s): %s", vdiskpath, FENCE_OWED, strerror(errno));
        return -1;
    }
    return 0;
}

// Runs the check that the vdisk's record says is owed, if any, with a
// notice.  1 when one was owed and ran, 0 when none was owed (a damaged
// record, its write cut short before the generation it announces was
// written, owes nothing: that rise comes again with its own record), -1
// when the record cannot be read or the check failed (the record stays).
int fence_owed_run(const VDisk *vdisk, const char *vdiskpath, int vdiskfd)
{
    static const char F[] = "FenceCheck";
    char text[256];
    const int len = AttrProbe(vdiskfd, FENCE_OWED, text);
    if (len == -1)
        return -1;
    unsigned gen;
    char member[16];
    if (len < 0 || std::sscanf(text, "%u %15[0-9]", &gen, member) != 2)
        return 0;
    log_notice(F, "Running the fence check owed for VDisk %s generation %u by Node %s",
               vdisk->vdiskuuid, gen, member);
    fence_checks_rerun++;
    return fence_check_settle(vdisk, vdiskpath, vdiskfd, member) == 0 ? 1 : -1;
}

// Writes highest_gen_count = value and runs the fence check for `member`
// (when given) before the file is closed, the check recorded as owed
// before, and synced: a fault before the record leaves the old generation
// (the next entry rises again), one after it leaves the record, and the
// check runs again.  0 or -1.
int vdisk_generation_store(const VDisk *vdisk, const char *vdiskpath, int vdiskfd, unsigned value,
                           const char *member)
{
    static const char F[] = "VDiskUpdate";
    const bool check = member != nullptr && member[0] != '\0';
    if (check) {
        // On disk, name and content, before the raised generation can be:
        // a host that lost its power in between would find the generation
        // raised and no check owed.  Two fsyncs, on a rise only.
        log_debug(F, "%s/%s=%u %s", vdiskpath, FENCE_OWED, value, member);
        UniqueFd owed;
        if (AttrStoreHeld(vdiskfd, FENCE_OWED, owed, "%u %s\n", value, member) < 0)
            return -1;
        if (fsync(owed.get()) != 0) {
            log_error(F, "fsync(%s/%s): %s", vdiskpath, FENCE_OWED, strerror(errno));
            return -1;
        }
        if (fsync(vdiskfd) != 0) {
            log_error(F, "fsync(%s): %s", vdiskpath, strerror(errno));
            return -1;
        }
    }
    log_debug(F, "%s/highest_gen_count=%u", vdiskpath, value);
    UniqueFd held;
    if (AttrStoreHeld(vdiskfd, "highest_gen_count", held, "%u\n", value) < 0)
        return -1;
    if (check && fence_check_settle(vdisk, vdiskpath, vdiskfd, member) != 0) {
        fence_owed_left++;
        return -1;
    }
    return 0;
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
    if (r == 1 && gen > GEN_MAX) {
        log_error(F, "Malformed file %s/memberinfo/%s/membership_gen_count", vdiskpath, nodeuuid);
        return -1;
    }
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
    if (door_top(F, StoreTop::VDISK, true) < 0)
        return -1;

    log_debug(F, "%s/VDisk/%s [STAT]", cfg_work_directory.c_str(), vdisk->vdiskuuid);
    bool exists = true;
    UniqueFd vdiskfd;
    const int found = door_lookup(StoreTop::VDISK, vdisk->vdiskuuid);
    if (found <= 0) {
        if (found < 0) {
            log_error(F, "lstat(%s): %s", vdiskpath, strerror(errno));
            return -1;
        }
        // An entry sent inside a transaction never creates a vdisk.
        if (vde.transaction_id != 0)
            return 0;
        exists = false;
        if (door_mkdir(F, StoreTop::VDISK, vdisk->vdiskuuid, false) != 0)
            return -1;
    }
    // An update without members would delete every member's data while the
    // membership file still lists them.
    if (exists && vde.transaction_id == 0 && vdisk->members.empty()) {
        log_error(F, "Refusing VDisk %s update without members", vdisk->vdiskuuid);
        return -1;
    }
    vdiskfd.reset(door_open(F, StoreTop::VDISK, vdisk->vdiskuuid, O_RDONLY | O_DIRECTORY));
    if (!vdiskfd)
        return -1;

    char nodeuuid[16];
    std::snprintf(nodeuuid, sizeof nodeuuid, "%u", unsigned(hdr->uid));
    int result = -1;
    // A vdisk without memberinfo/ (ENOENT: nothing else counts) was left by a
    // create or a removal cut short: the entry makes it anew and applies
    // itself as an update, which makes sure of every attribute (one inside a
    // transaction creates nothing, here as for a new vdisk).
    bool rebuild = false;
    int mbtop = exists ? store_openat_opt(vdiskfd.get(), "memberinfo",
                                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW)
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
        if (exists)
            result = VDiskUpdate(hdr, vdisk, vdiskpath, nodeuuid, vdiskfd.get(), mbtopfd.get(),
                                 rebuild);
        else
            result = vdisk_create_new(hdr, vdisk, vdiskpath, nodeuuid, vdiskfd.get(),
                                      mbtopfd.get());
    }
    mbtopfd.reset();
    store_sync_close(F, vdiskfd);
    return result;
}

int VDiskUpdate(const Hdr *hdr, VDisk *vdisk, const char *vdiskpath, const char *nodeuuid,
                int vdiskfd, int mbtopfd, bool rebuild)
{
    static const char F[] = "VDiskUpdate";
    const VDiskEntry &vde = vdisk->vde;
    (void)hdr;

    log_info(F, "Update VDisk %s by Node %s", vdisk->vdiskuuid, nodeuuid);
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

    // A check owed from before runs first, once.
    if (fence_owed_left > 0) {
        const int owed = fence_owed_run(vdisk, vdiskpath, vdiskfd);
        if (owed < 0)
            return -1;
        if (owed > 0)
            fence_owed_left--;
    }

    Generation g;
    if (vdisk_generation(vdisk, vdiskpath, nodeuuid, vdiskfd, mbtopfd, g) != 0)
        return -1;

    // A stale generation changes nothing more (a rebuilt one is written back,
    // never lowered).
    const unsigned gen = mshipgencnt_get(vde);
    if (gen < g.highest)
        return g.rebuilt ? vdisk_generation_store(vdisk, vdiskpath, vdiskfd, g.highest, g.owed)
                         : 0;

    const bool doubted = rebuild || g.rebuilt || VDiskDoubted(vdisk->vdiskuuid);
    const int probed = doubted ? vdisk_attrs_repair(vdisk, vdiskpath, vdiskfd, rebuild || g.rebuilt)
                               : 0;
    if (probed < 0)
        return -1;

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

    // The previous members are those `membership` lists; when it is empty or
    // cannot be read (its write cut short), those with a directory in
    // memberinfo/, the sender aside.  Members the entry no longer lists go
    // before the new list is written: while one is not removed completely
    // the file still names it, and the next entry removes it again.
    MemberList previous;
    if (MembershipLoad(&previous, nullptr, vdiskpath, vdiskfd) != 0 || previous.empty()) {
        MemberListFlush(previous);
        if (MemberinfoMembers(&previous, vdiskpath, mbtopfd, nodeuuid) != 0)
            return -1;
    }
    for (const auto &m : previous)
        if (MemberLookup(vdisk->members, m->mbe.node) == nullptr &&
            MemberinfoDelete(vdisk, m->uuid) != 0)
            return -1;
    if (MembershipStore(vdisk, vdiskpath, vdiskfd) != 0)
        return -1;

    // Same generation: member data refreshed, no fence check (unless a
    // rebuilt generation owes one).
    int r;
    if (gen <= g.highest)
        r = g.rebuilt ? vdisk_generation_store(vdisk, vdiskpath, vdiskfd, g.highest, g.owed) : 0;
    else
        r = vdisk_generation_store(vdisk, vdiskpath, vdiskfd, gen, nodeuuid);
    if (r == 0 && doubted && probed == 0)
        vdisk_trust(vdisk->vdiskuuid);
    return r;
}

int64_t fence_check_runs;
int64_t fence_check_failures;
int64_t fence_checks_rerun;

int VDiskFenceOwedScan()
{
    static const char F[] = "FenceCheck";
    const int fd = door_open(F, StoreTop::VDISK, ".", O_RDONLY | O_DIRECTORY, true);
    if (fd == -2)
        return 0;  // no vdisk yet
    if (fd < 0)
        return -1;
    DirEntries dir(fd);
    int run = 0;
    errno = 0;
    while (const char *name = dir.next()) {
        char key[256];
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            std::snprintf(key, sizeof key, "%s/%s", name, FENCE_OWED) >= int(sizeof key) ||
            store_lookup(dir.fd(), key) != 1)
            continue;
        std::unique_ptr<VDisk> vdisk;
        if (VDiskAlloc(vdisk) != 0)
            return -1;
        std::snprintf(vdisk->vdiskuuid, sizeof vdisk->vdiskuuid, "%s", name);
        PathBuf vdiskpath;
        if (std::strlen(name) >= sizeof vdisk->vdiskuuid || vdisk_path(F, vdiskpath, name) != 0 ||
            VDiskLock(vdisk.get()) != 0) {
            fence_owed_left++;  // an entry for the vdisk runs it
            continue;
        }
        UniqueFd vdiskfd(store_opendirat(dir.fd(), name));
        const int owed = vdiskfd ? fence_owed_run(vdisk.get(), vdiskpath, vdiskfd.get()) : -1;
        VDiskUnlock(vdisk.get());
        if (owed < 0)
            fence_owed_left++;
        run += owed > 0;
        errno = 0;
    }
    if (errno != 0) {
        log_error(F, "readdir(%s/VDisk): %s", cfg_work_directory.c_str(), strerror(errno));
        return -1;
    }
    return run;
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
    // The program's output goes to the log, a line each, also what a process
    // it leaves behind writes later (read by the daemon's loop), up to a
    // bound per run.
    const std::string who = std::string(prog) + " " + uuidarg + " " + memberarg;
    ProgramOutput output;
    output.max_lines = FENCE_CHECK_MAX_LINES;
    output.on_line = [who](int stream, const char *line) {
        if (stream == 1)
            log_info(F, "%s stdout: %s", who.c_str(), line);
        else
            log_warn(F, "%s stderr: %s", who.c_str(), line);
    };
    output.on_dropped = [who](unsigned long dropped) {
        log_notice(F, "%s: %lu more lines of output not logged", who.c_str(), dropped);
    };
    int status;
    const int r = program_run(F, prog, argv, envp, output, &status);
    if (r == -2) {
        log_notice(F, "%s not started: the daemon stops; the check is owed", who.c_str());
        return -1;
    }
    fence_check_runs++;
    if (r < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        fence_check_failures++;
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
    UniqueFd vdiskfd(door_open(F, StoreTop::VDISK, vdisk->vdiskuuid, O_RDONLY | O_DIRECTORY));
    if (!vdiskfd)
        return -1;

    int r = vdisk_load_attrs(vdisk, vdiskpath, vdiskfd.get());
    if (r == 0 && node != nullptr)
        r = vdisk_load_member(node, vdisk, vdiskpath, vdiskfd.get());
    // A vdisk that does not load is doubted: the next entry for it makes
    // sure of every attribute and of its link pair.
    if (r != 0)
        VDiskDoubt(vdisk->vdiskuuid);
    return r;
}

bool VDiskDoubted(const char *vdiskuuid) { return !trusted.contains(vdiskuuid); }

void VDiskDoubt(const char *vdiskuuid) { trusted.erase(vdiskuuid); }

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
