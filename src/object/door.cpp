#include "object/door.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "object/path.h"
#include "object/store.h"

namespace {

constexpr int OPEN_ALWAYS = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Whether openat2() may be asked (a seccomp filter or an old kernel may say
// ENOSYS or EPERM once; the components are then opened one by one).
bool have_openat2 = true;

// rel opened one component at a time, each without following a link.
int open_walk(int dirfd, const char *rel, int flags, mode_t mode)
{
    UniqueFd held;
    int at = dirfd;
    const char *name = rel;
    for (const char *slash; (slash = std::strchr(name, '/')) != nullptr; name = slash + 1) {
        char part[NAME_MAX + 1];
        const size_t len = size_t(slash - name);
        if (len == 0 || len > NAME_MAX) {
            errno = len == 0 ? ENOENT : ENAMETOOLONG;
            return -1;
        }
        std::memcpy(part, name, len);
        part[len] = '\0';
        const int fd = ::openat(at, part, O_RDONLY | O_DIRECTORY | OPEN_ALWAYS);
        if (fd < 0)
            return -1;
        const int err = errno;
        held.reset(fd);
        errno = err;
        at = fd;
    }
    return ::openat(at, name, flags, mode);
}

// The held descriptors and the work directory they belong to.
struct Door {
    std::string work;
    UniqueFd workfd;
    UniqueFd tops[3];
};
Door door;

const char *const TOP_NAMES[] = {"VDisk", "Node", "Datastore"};

// Whether the held directory fd was removed from the store (an operator's
// reset): its descriptor then leads nowhere, and the door opens it anew.
bool dir_removed(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && st.st_nlink == 0;
}

// The top directory's descriptor after a failure with ENOENT below it: the
// same one, or a new one when the held directory was removed.  -1 when
// nothing changed (errno kept).
int door_reopen(const char *func, StoreTop top, bool create)
{
    const int err = errno;
    UniqueFd &fd = door.tops[int(top)];
    if (err != ENOENT || !fd || !dir_removed(fd.get())) {
        errno = err;
        return -1;
    }
    fd.reset();
    if (door.workfd && dir_removed(door.workfd.get()))
        door.workfd.reset();
    const int r = door_top(func, top, create);
    if (r < 0)
        errno = ENOENT;
    return r;
}

// A work directory other than the held one (a test, marloctl's -C) drops
// every held descriptor.
void door_follow_config()
{
    if (door.work != cfg_work_directory) {
        door_close();
        door.work = cfg_work_directory;
    }
}

// Opens the work directory into door.workfd.  The descriptor, or -1 after the
// error line (errno kept); a missing one without a line when missing_ok.
int work_open(const char *func, bool missing_ok = false)
{
    const int fd = store_open_work(door.work.c_str());
    if (fd < 0) {
        const int err = errno;
        if (!missing_ok || err != ENOENT)
            log_error(func, "open(%s): %s", door.work.c_str(), strerror(err));
        errno = err;
        return -1;
    }
    door.workfd.reset(fd);
    return fd;
}

}  // namespace

int door_work(const char *func)
{
    door_follow_config();
    return door.workfd ? door.workfd.get() : work_open(func);
}

int store_open_work(const char *path)
{
    int fd;
    do
        fd = ::open(path, O_RDONLY | O_DIRECTORY | OPEN_ALWAYS);
    while (fd < 0 && errno == EINTR);
    return fd;
}

const char *store_top_name(StoreTop top) { return TOP_NAMES[int(top)]; }

int store_open(int dirfd, const char *rel, int flags, mode_t mode)
{
    MARLO_ASSERT((flags & O_ACCMODE) != O_RDWR);
    flags |= OPEN_ALWAYS;
    if (std::strchr(rel, '/') == nullptr) {
        int fd;
        do
            fd = ::openat(dirfd, rel, flags, mode);
        while (fd < 0 && errno == EINTR);
        return fd;
    }
    for (;;) {
        if (have_openat2) {
            struct open_how how = {};
            how.flags = uint64_t(flags);
            how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
            how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
            const long fd = syscall(SYS_openat2, dirfd, rel, &how, sizeof how);
            if (fd >= 0)
                return int(fd);
            if (errno == EINTR || errno == EAGAIN)
                continue;
            if (errno != ENOSYS && errno != EPERM)
                return -1;
            have_openat2 = false;
        }
        const int fd = open_walk(dirfd, rel, flags, mode);
        if (fd >= 0 || errno != EINTR)
            return fd;
    }
}

int door_top(const char *func, StoreTop top, bool create)
{
    door_follow_config();
    UniqueFd &held = door.tops[int(top)];
    if (held)
        return held.get();
    // A missing work directory is a missing top directory to a caller that
    // takes that as absent: no error line then.
    if (!door.workfd && work_open(func, !create) < 0)
        return errno == ENOENT && !create ? -2 : -1;
    const char *work = door.work.c_str();
    const char *name = TOP_NAMES[int(top)];
    if (create) {
        log_debug(func, "%s/%s [MKDIR]", work, name);
        if (::mkdirat(door.workfd.get(), name, 0777) != 0 && errno != EEXIST) {
            log_error(func, "mkdir(%s/%s): %s", work, name, strerror(errno));
            return -1;
        }
    }
    const int fd = store_open(door.workfd.get(), name, O_RDONLY | O_DIRECTORY);
    if (fd < 0) {
        if (errno == ENOENT && !create)
            return -2;
        // ELOOP: a link; ENOTDIR: a file.  Neither is followed or replaced.
        if (errno == ELOOP || errno == ENOTDIR)
            log_error(func, "%s/%s is no directory: not used", work, name);
        else
            log_error(func, "open(%s/%s): %s", work, name, strerror(errno));
        return -1;
    }
    held.reset(fd);
    return fd;
}

int door_open(const char *func, StoreTop top, const char *rel, int flags, bool missing_ok)
{
    // "." lists the top directory itself: one removed meanwhile is opened anew.
    if (std::strcmp(rel, ".") == 0 && door.tops[int(top)] &&
        dir_removed(door.tops[int(top)].get()))
        door.tops[int(top)].reset();
    int topfd = door_top(func, top, false);
    if (topfd == -2 && missing_ok)
        return -2;
    if (topfd < 0) {
        if (topfd == -2)
            log_error(func, "open(%s/%s/%s): %s", door.work.c_str(), TOP_NAMES[int(top)], rel,
                      strerror(ENOENT));
        return -1;
    }
    int fd = store_open(topfd, rel, flags);
    if (fd < 0 && (topfd = door_reopen(func, top, false)) >= 0)
        fd = store_open(topfd, rel, flags);
    if (fd >= 0)
        return fd;
    const int err = errno;
    if (err == ENOENT && missing_ok)
        return -2;
    if ((flags & O_DIRECTORY) != 0 && (err == ENOTDIR || err == ELOOP))
        log_error(func, "%s/%s/%s not a directory!", door.work.c_str(), TOP_NAMES[int(top)], rel);
    else
        log_error(func, "open(%s/%s/%s): %s", door.work.c_str(), TOP_NAMES[int(top)], rel,
                  strerror(err));
    errno = err;  // the caller may name it
    return -1;
}

int door_mkdir(const char *func, StoreTop top, const char *name, bool exist_ok)
{
    int topfd = door_top(func, top, true);
    if (topfd < 0)
        return -1;
    const char *work = door.work.c_str();
    const char *topname = TOP_NAMES[int(top)];
    log_debug(func, "%s/%s/%s [MKDIR]", work, topname, name);
    int r = ::mkdirat(topfd, name, 0777);
    if (r != 0 && (topfd = door_reopen(func, top, true)) >= 0)
        r = ::mkdirat(topfd, name, 0777);
    if (r == 0 || (exist_ok && errno == EEXIST))
        return 0;
    log_error(func, "mkdir(%s/%s/%s): %s", work, topname, name, strerror(errno));
    return -1;
}

int door_lookup(StoreTop top, const char *rel)
{
    static const char F[] = "door_lookup";
    int topfd = door_top(F, top, false);
    if (topfd == -2)
        return 0;
    if (topfd < 0)
        return -1;
    int r = store_lookup(topfd, rel);
    if (r == 0) {
        errno = ENOENT;
        if ((topfd = door_reopen(F, top, false)) >= 0)
            r = store_lookup(topfd, rel);
    }
    return r;
}

void door_close()
{
    for (UniqueFd &fd : door.tops)
        fd.reset();
    door.workfd.reset();
    door.work.clear();
}

namespace {

// The removal's depth limit: the store is a few levels deep; anything deeper
// is left for the operator, with its error line.
constexpr int RM_DEPTH_MAX = 16;

// Removes everything in the open directory `owned` (closed on return; shown
// as `shown`): files and links are unlinked, directories on the same file
// system emptied and removed.  0, or -1 after the error line.
int rm_contents(const char *func, int owned, const char *shown, dev_t dev, int depth)
{
    DirEntries entries(owned);
    const int dir = entries.fd();
    struct stat st;
    if (fstat(dir, &st) != 0 || st.st_dev != dev || depth >= RM_DEPTH_MAX) {
        log_error(func, "Not removing %s: %s", shown,
                  st.st_dev != dev ? "another file system" : "too deep");
        return -1;
    }
    while (const char *ent = entries.next()) {
        if (std::strcmp(ent, ".") == 0 || std::strcmp(ent, "..") == 0)
            continue;
        PathBuf sub;
        if (path_format(sub, "%s/%s", shown, ent) != 0)
            std::strcpy(sub, shown);
        log_debug(func, "%s [UNLINK]", sub);
        if (::unlinkat(dir, ent, 0) == 0 || errno == ENOENT)
            continue;
        if (errno != EISDIR) {
            log_error(func, "unlink(%s): %s", sub, strerror(errno));
            return -1;
        }
        UniqueFd subfd(store_open(dir, ent, O_RDONLY | O_DIRECTORY));
        if (!subfd) {
            log_error(func, "open(%s): %s", sub, strerror(errno));
            return -1;
        }
        if (rm_contents(func, subfd.release(), sub, dev, depth + 1) != 0)
            return -1;
        log_debug(func, "%s [RMDIR]", sub);
        if (::unlinkat(dir, ent, AT_REMOVEDIR) != 0 && errno != ENOENT) {
            log_error(func, "rmdir(%s): %s", sub, strerror(errno));
            return -1;
        }
    }
    if (errno != 0) {
        log_error(func, "readdir(%s): %s", shown, strerror(errno));
        return -1;
    }
    return 0;
}

}  // namespace

int store_rm_tree(const char *func, int dirfd, const char *name, const char *shown)
{
    UniqueFd dir(store_open(dirfd, name, O_RDONLY | O_DIRECTORY));
    if (!dir) {
        if (errno == ENOENT)
            return 0;
        if (errno == ENOTDIR || errno == ELOOP)
            log_error(func, "%s not a directory!", shown);
        else
            log_error(func, "open(%s): %s", shown, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(dir.get(), &st) != 0) {
        log_error(func, "fstat(%s): %s", shown, strerror(errno));
        return -1;
    }
    if (rm_contents(func, dir.release(), shown, st.st_dev, 0) != 0)
        return -1;
    log_debug(func, "%s [RMDIR]", shown);
    if (::unlinkat(dirfd, name, AT_REMOVEDIR) == 0 || errno == ENOENT)
        return 0;
    log_error(func, "rmdir(%s): %s", shown, strerror(errno));
    return -1;
}
