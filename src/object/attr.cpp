#include "object/attr.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <algorithm>
#include <string>
#include <string_view>

#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "io/misc.h"
#include "object/door.h"
#include "object/path.h"
#include "object/store.h"

namespace {

// A single-value file holds at most this many bytes, newline included.
constexpr off_t VALUE_MAX = 255;

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using MallocBuf = std::unique_ptr<char, FreeDeleter>;

// What value_read found besides a value (each below 0).  READ_FAILED is a
// read that did not happen (EIO, EACCES, EISDIR, ...), logged where it
// failed; the others are a file that was read and is damaged, not logged
// here.
constexpr int READ_FAILED = -1;
constexpr int VALUE_ABSENT = -2;
constexpr int VALUE_OVERSIZED = -3;
constexpr int VALUE_MALFORMED = -4;

// The steps AttrLoad, StringLoad and AttrProbe share: open dirfd/key, read a
// 1..255-byte value ending in "\n" into buf and replace the newline by NUL.
// One read() of the whole buffer sizes the value too: a 256th byte means the
// file is oversized.  The open goes through the store's door: it never
// follows a link and never blocks (anyone who can write the store can leave
// a FIFO at an attribute's name).  A read of no bytes is trusted only from a
// regular file: a FIFO or a device there is unreadable, never an empty
// value.  The file's size (newline included); 0 for an empty file; one of
// the codes above.  A missing file, and a link at the name, are damage
// (VALUE_ABSENT) when absent_ok; otherwise logged as any failed open.
int value_read(const char *func, int dirfd, const char *key, char (&buf)[VALUE_MAX + 1],
               bool absent_ok = false)
{
    UniqueFd fd(store_open(dirfd, key, O_RDONLY));
    if (!fd) {
        if (absent_ok && (errno == ENOENT || errno == ELOOP))
            return VALUE_ABSENT;
        log_error("fd_openat", "openat(%s): %s", key, strerror(errno));
        return READ_FAILED;
    }
    ssize_t size;
    do
        size = read(fd.get(), buf, sizeof buf);
    while (size < 0 && errno == EINTR);
    if (size < 0) {
        log_error(func, "read(%s): %s", key, strerror(errno));
        return READ_FAILED;
    }
    if (size == 0) {
        struct stat st;
        if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            log_error(func, "%s is no regular file", key);
            return READ_FAILED;
        }
        return 0;
    }
    if (size > VALUE_MAX)
        return VALUE_OVERSIZED;
    if (buf[size - 1] != '\n')
        return VALUE_MALFORMED;
    buf[size - 1] = '\0';
    return int(size);
}

// value_read with the readers' own lines for a damaged file: the size
// (0 for an empty file), or -1.
int value_read_logged(const char *func, int dirfd, const char *key, char (&buf)[VALUE_MAX + 1])
{
    const int size = value_read(func, dirfd, key, buf);
    if (size == VALUE_OVERSIZED)
        log_error(func, "Oversized file %s", key);
    else if (size == VALUE_MALFORMED)
        log_error(func, "Malformed file %s", key);
    return size < 0 ? -1 : size;
}

// Opens dirfd/key for writing, created 0666 and truncated, without ever
// following a link: a symbolic link planted at an attribute's name would
// otherwise turn the write into one outside the work directory.  Such a
// link is removed (the link itself, never its target) and the file created
// anew, exclusively, with a notice line.  A directory at the name fails the
// open (EISDIR) with its error line; nothing is removed on doubt.  The open
// is write-only and cannot block: a FIFO at the name without a reader
// refuses it (ENXIO), and one with a reader is never written as a value
// (the daemon itself never reads through a FIFO).  The descriptor, or -1.
int attr_open_write(int dirfd, const char *key)
{
    const int flags = O_WRONLY | O_CREAT | O_TRUNC;
    const int fd = store_open(dirfd, key, flags, 0666);
    if (fd >= 0)
        return fd;
    // ELOOP: the name is a link, or (a key of several components) a path
    // with too many links; only a name seen to be a link is removed.
    const int err = errno;
    struct stat st;
    if (err != ELOOP || fstatat(dirfd, key, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(st.st_mode)) {
        log_error("fd_openat", "openat(%s): %s", key, strerror(err));
        return -1;
    }
    if (unlinkat(dirfd, key, 0) != 0 && errno != ENOENT) {
        log_error("AttrStore", "unlink(%s): %s", key, strerror(errno));
        return -1;
    }
    log_notice("AttrStore", "Removed the symbolic link at %s; writing the file anew", key);
    const int made = store_open(dirfd, key, (flags & ~O_TRUNC) | O_EXCL, 0666);
    if (made < 0)
        log_error("fd_openat", "openat(%s): %s", key, strerror(errno));
    return made;
}

// AttrStore's body; with `held` the written file stays open in it.
int attr_store_v(int dirfd, const char *key, UniqueFd *held, const char *fmt, va_list ap)
{
    // Single values fit the stack buffer; only a long list is allocated.
    char small[VALUE_MAX + 1];
    MallocBuf big;
    const char *text = small;

    va_list ap2;
    va_copy(ap2, ap);
    int len = std::vsnprintf(small, sizeof small, fmt, ap);
    if (len >= int(sizeof small)) {
        char *p = nullptr;
        len = vasprintf(&p, fmt, ap2);
        if (len >= 0)
            big.reset(p);
        text = p;
    }
    va_end(ap2);
    if (len < 0)
        return -1;
    MARLO_ASSERT(len > 0);

    UniqueFd fd(attr_open_write(dirfd, key));
    if (!fd)
        return -1;
    ssize_t n = buf_tx(fd.get(), text, size_t(len), 1);
    if (held != nullptr && n == len)
        *held = std::move(fd);
    return n == len ? len : -1;
}

}  // namespace

int AttrStore(int dirfd, const char *key, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int r = attr_store_v(dirfd, key, nullptr, fmt, ap);
    va_end(ap);
    return r;
}

int AttrStoreHeld(int dirfd, const char *key, UniqueFd &held, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int r = attr_store_v(dirfd, key, &held, fmt, ap);
    va_end(ap);
    return r;
}

int AttrLoad(int dirfd, const char *key, const char *fmt, ...)
{
    char buf[VALUE_MAX + 1];
    int size = value_read_logged("AttrLoad", dirfd, key, buf);
    if (size == 0)
        log_error("AttrLoad", "Empty file %s", key);
    if (size <= 0)
        return -1;

    va_list ap;
    va_start(ap, fmt);
    int r = std::vsscanf(buf, fmt, ap);
    va_end(ap);
    return r;
}

int StringLoad(int dirfd, const char *key, char *dst, int dst_len)
{
    MARLO_ASSERT(dst_len >= 0 && dst_len <= VALUE_MAX);
    char buf[VALUE_MAX + 1];
    int size = value_read_logged("StringLoad", dirfd, key, buf);
    if (size <= 0)
        return size;  // an empty file is an empty value; dst untouched

    int n = size - 1;
    if (n > dst_len) {
        log_error("StringLoad", "String too long in %s: %s", key, buf);
        return -1;
    }
    std::memset(dst, 0, size_t(dst_len));
    std::memcpy(dst, buf, size_t(n));
    return n;
}

int AttrProbe(int dirfd, const char *key, char (&value)[256])
{
    const int size = value_read("AttrProbe", dirfd, key, value, true);
    if (size > 0)
        return size - 1;
    return size == READ_FAILED ? -1 : ATTR_DAMAGED;
}

long FileLoad(int fd, char **buf, long max_size)
{
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size <= 0)
        return size;  // 0: empty file, nothing allocated
    if (size > max_size)
        return FILE_OVERSIZED;
    MallocBuf data(static_cast<char *>(std::malloc(size_t(size) + 1)));
    if (!data) {
        log_error("FileLoad", "malloc(%zu): %s", size_t(size) + 1, strerror(errno));
        return -1;
    }
    // buf_rx logs a failed read or an early end of file.
    if (lseek(fd, 0, SEEK_SET) < 0 || buf_rx(fd, data.get(), size_t(size), 1) != ssize_t(size))
        return -1;
    data.get()[size] = '\0';
    *buf = data.release();
    return long(size);
}

namespace {

// The text every lock file of this process holds: its pid and a newline.
// Formatted at the first lock, and again in a child after fork() (daemon()
// forks too), never per lock.
struct PidText {
    char text[16];
    int len = 0;
};
PidText lock_pid;

void lock_pid_forget() { lock_pid.len = 0; }

const PidText &lock_pid_text()
{
    if (lock_pid.len == 0) {
        static const bool registered = pthread_atfork(nullptr, nullptr, lock_pid_forget) == 0;
        (void)registered;
        lock_pid.len = std::snprintf(lock_pid.text, sizeof lock_pid.text, "%d\n", int(getpid()));
        MARLO_ASSERT(lock_pid.len > 0 && lock_pid.len < int(sizeof lock_pid.text));
    }
    return lock_pid;
}

// Reads the start of the lock file dirfd/name into buf[0..len).  No hang on
// a file anyone can create: the name is opened without waiting (a FIFO there
// opens at once), a symbolic link is not followed, and only a regular file
// is read.  Anything else at a lock name is a lock of another program.  The
// bytes read (*st filled); -1 with errno set, EINVAL when no regular file.
ssize_t lock_file_read(int dirfd, const char *name, char *buf, size_t len, struct stat *st)
{
    const int fd = openat(dirfd, name, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = -1;
    if (fstat(fd, st) == 0) {
        if (S_ISREG(st->st_mode))
            n = read(fd, buf, len);
        else
            errno = EINVAL;
    }
    const int err = errno;
    close(fd);
    errno = err;
    return n;
}

// Whether the lock file dirfd/name is a regular file holding exactly the pid
// text `pid`; *st is its status when it is.
bool lock_holds(int dirfd, const char *name, const PidText &pid, struct stat *st)
{
    char buf[sizeof pid.text];
    const ssize_t n = lock_file_read(dirfd, name, buf, sizeof buf, st);
    return n == pid.len && std::memcmp(buf, pid.text, size_t(n)) == 0;
}

bool lock_holds(int dirfd, const char *name, const PidText &pid)
{
    struct stat st;
    return lock_holds(dirfd, name, pid, &st);
}

// Lock files this process failed to remove (an I/O error in unlink): still
// its own, so the object stays locked until the file goes.  Each later unlock
// tries them again, and taking such a lock again takes it over.
constexpr size_t UNLOCK_PENDING_MAX = 8;
PathBuf unlock_pending[UNLOCK_PENDING_MAX];
size_t unlock_pending_count = 0;

void unlock_pending_forget(const char *path)
{
    for (size_t i = 0; i < unlock_pending_count; i++) {
        if (std::strcmp(unlock_pending[i], path) == 0) {
            unlock_pending_count--;
            std::memcpy(unlock_pending[i], unlock_pending[unlock_pending_count], PATH_BUF_LEN);
            return;
        }
    }
}

void unlock_pending_add(const char *path)
{
    unlock_pending_forget(path);
    if (unlock_pending_count < UNLOCK_PENDING_MAX &&
        path_format(unlock_pending[unlock_pending_count], "%s", path) == 0)
        unlock_pending_count++;
}

// Writes the pid text into the new lock file and syncs it.  0, -3 (write
// failed) or -4 (fsync failed).
int lock_file_fill(int fd, const char *path, const PidText &pid)
{
    if (buf_tx(fd, pid.text, size_t(pid.len), 1) != pid.len)
        return -3;
    if (fsync(fd) != 0) {
        log_warn("PathLock", "fsync(%s): %s", path, strerror(errno));
        return -4;
    }
    return 0;
}

// How this process gives an unnamed lock file its name, found at its first
// lock: linkat() of the descriptor itself (AT_EMPTY_PATH, open to a process
// with CAP_DAC_READ_SEARCH, the daemon's usual case, and on newer kernels to
// any process for a file it opened), else of the descriptor's link in /proc,
// else none (no capability and no /proc, or no unnamed files in the lock
// directory's file system): the lock file is then created under its name.
// Once found, a lock costs one linkat(); a way that is closed costs one
// failed call, once per process.
enum class Naming { EMPTY_PATH, PROC, BY_NAME };
Naming lock_naming = Naming::EMPTY_PATH;

// The lock file, complete before it has a name: an unnamed file in the lock's
// directory holding the pid, synced.  Linking it to the lock name is then the
// one atomic step, and a lock file is never seen without its holder's pid,
// even when the process dies at any point.  The descriptor, or -2 (open
// failed), -3 (pid write failed), -4 (fsync failed); -1 when the lock file is
// to be created under its name.
int lock_file_unnamed(const char *path, const PidText &pid)
{
    if (lock_naming == Naming::BY_NAME)
        return -1;
    PathBuf dir;
    const char *slash = std::strrchr(path, '/');
    if (slash == nullptr)
        std::strcpy(dir, ".");
    else if (path_format(dir, "%.*s", int(slash == path ? 1 : slash - path), path) != 0)
        return -2;
    int r;
    do {
        r = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        if (errno == EOPNOTSUPP || errno == EISDIR) {
            lock_naming = Naming::BY_NAME;  // the file system has no unnamed files
            return -1;
        }
        log_error("PathLock", "open(%s): %s", path, strerror(errno));
        return -2;
    }
    UniqueFd fd(r);
    const int filled = lock_file_fill(fd.get(), path, pid);
    return filled != 0 ? filled : fd.release();
}

// Links the unnamed file `unnamed` to path the first way open to this
// process.  0; -1 with errno set (EEXIST: the lock is held).  ENOENT although
// the lock's directory holds the unnamed file means that the way is closed:
// the next one is tried, and after the last the lock goes by name (errno
// ENOENT, lock_naming BY_NAME).
int lock_file_name(int unnamed, const char *path)
{
    for (;;) {
        int r;
        if (lock_naming == Naming::EMPTY_PATH) {
            r = linkat(unnamed, "", AT_FDCWD, path, AT_EMPTY_PATH);
        } else {
            char proc[32];
            std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", unnamed);
            r = linkat(AT_FDCWD, proc, AT_FDCWD, path, AT_SYMLINK_FOLLOW);
        }
        if (r == 0 || errno != ENOENT)
            return r;
        if (lock_naming == Naming::EMPTY_PATH) {
            lock_naming = Naming::PROC;
            continue;
        }
        lock_naming = Naming::BY_NAME;
        log_notice("PathLock", "Cannot link unnamed files (no /proc): lock files are created "
                               "under their names");
        errno = ENOENT;
        return -1;
    }
}

// Gives the lock file its name.  0 when named; EEXIST when the lock is held;
// another errno value when the name cannot be made.  `unnamed` is the
// complete unnamed file, or -1: the file is then created under its name
// exclusively, and written and synced there (removed again when that fails).
// A link that fails for another reason than a held lock is retried that way
// too, so that an error is reported only when both fail.
int lock_file_link(const char *path, int unnamed, const PidText &pid, int *result)
{
    *result = 0;
    if (unnamed >= 0 && lock_naming != Naming::BY_NAME) {
        if (lock_file_name(unnamed, path) == 0)
            return 0;
        if (errno == EEXIST || errno == EINTR)
            return errno;
    }
    int r = open(path, O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0666);
    if (r < 0)
        return errno;
    UniqueFd fd(r);
    *result = lock_file_fill(fd.get(), path, pid);
    fd.reset();
    if (*result != 0 && unlink(path) != 0)
        log_warn("PathLock", "unlink(%s): %s", path, strerror(errno));
    return 0;
}

bool lock_kept_reclaim(const char *path);

}  // namespace

int64_t lock_timeouts;

int PathLock(const char *path, int timeout_ms)
{
    log_info("PathLock", "Lock %s", path);
    const PidText &pid = lock_pid_text();

    const int r = lock_file_unnamed(path, pid);
    if (r < -1)
        return r;
    UniqueFd unnamed(r);

    // 64-bit so that doubling past a large timeout cannot overflow.
    long long sleep_ms = 50;
    long long slept_ms = 0;
    bool checked_own = false;
    bool reclaimed = false;
    for (;;) {
        int result;
        const int err = lock_file_link(path, unnamed.get(), pid, &result);
        if (err == 0) {
            unlock_pending_forget(path);  // a file of that name is ours now
            return result;
        }
        if (err == EINTR)
            continue;
        if (err != EEXIST) {
            log_error("PathLock", "open(%s): %s", path, strerror(err));
            return -2;
        }
        if (!checked_own) {
            checked_own = true;
            // A lock file of this process's pid: a lock it never released (its
            // unlink failed).  The daemon never takes the same lock twice, so
            // the file can only be a leftover of its own.  Any other holder's
            // file, and anything but a regular file, is waited out.
            if (lock_holds(AT_FDCWD, path, pid)) {
                log_notice("PathLock", "Taking over %s, left locked by this process", path);
                unlock_pending_forget(path);
                return 0;
            }
        }
        if (timeout_ms <= 0)
            return -1;
        if (slept_ms >= timeout_ms || sleep_ms > timeout_ms) {
            if (!reclaimed && lock_kept_reclaim(path)) {
                reclaimed = true;  // a kept lock whose holder is gone now
                continue;
            }
            lock_timeouts++;
            log_notice("PathLock", "Timed out locking %s", path);
            return -1;
        }
        log_notice("PathLock", "Contention on %s, sleep %dms", path, int(sleep_ms));
        slept_ms += sleep_ms;
        if (msleep_unless_stopped(int(sleep_ms)) != 0) {
            // Given up as at the time-out: the entry is applied again by
            // its next announcement, to the next run.
            log_notice("PathLock", "Stop requested: giving up %s", path);
            return -1;
        }
        sleep_ms *= 2;
    }
}

void PathUnlock(const char *path)
{
    log_info("PathUnlock", "Unlock %s", path);
    if (unlink(path) != 0) {
        log_warn("PathUnlock", "unlink(%s): %s", path, strerror(errno));
        if (errno != ENOENT)
            unlock_pending_add(path);
        return;
    }
    // Earlier failed unlocks, while the file still holds this process's pid
    // (nobody else can have taken a lock whose file never went away).
    const PidText &pid = lock_pid_text();
    for (size_t i = unlock_pending_count; i-- > 0;) {
        PathBuf pending;
        std::memcpy(pending, unlock_pending[i], PATH_BUF_LEN);
        if (lock_holds(AT_FDCWD, pending, pid)) {
            if (unlink(pending) != 0)
                continue;
            log_notice("PathUnlock", "Removed %s, left locked by a failed unlock", pending);
        }
        unlock_pending_forget(pending);
    }
}

namespace {

// The start of process `pid` in nanoseconds of the real-time clock, from its
// start in clock ticks since boot (/proc/PID/stat, field 22) and the boot
// time the clocks give now (what /proc/stat's btime is made of, to the
// nanosecond).  0 and *start_ns set; 1 when no process has that pid (kill()
// says ESRCH) or the one that has it has ended (state Z or X: a zombie its
// parent has not reaped holds no lock and writes nothing); -1 when it cannot
// be told (no /proc).  The roundings (ticks, the order of the clock reads)
// make the start look earlier, never later.
int pid_start_ns(int pid, long long *start_ns)
{
    if (kill(pid, 0) != 0 && errno == ESRCH)
        return 1;
    char path[32], buf[1024];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    const ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return -1;
    buf[n] = '\0';
    // The command name (field 2) may hold blanks and parentheses: the fields
    // after it follow its last ')'.
    const char *p = std::strrchr(buf, ')');
    unsigned long long ticks;
    char state;
    if (p == nullptr || std::sscanf(p + 1,
                                    " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s"
                                    " %*s %*s %*s %*s %llu",
                                    &state, &ticks) != 2)
        return -1;
    if (state == 'Z' || state == 'X')
        return 1;
    const long hz = sysconf(_SC_CLK_TCK);
    struct timespec real, boot;  // real first: the boot time comes out early
    if (hz <= 0 || clock_gettime(CLOCK_REALTIME, &real) != 0 ||
        clock_gettime(CLOCK_BOOTTIME, &boot) != 0)
        return -1;
    const long long ns = 1000000000LL;
    const long long boot_ns = (real.tv_sec - boot.tv_sec) * ns + (real.tv_nsec - boot.tv_nsec);
    *start_ns = boot_ns + (long long)(ticks / (unsigned long long)hz) * ns +
                (long long)(ticks % (unsigned long long)hz) * ns / hz;
    return 0;
}

// The rule for a lock file of a previous run, from what pid_start_ns said of
// its pid (holder, started_ns) and the file's status: whether no process can
// have written the file under that pid.
bool lock_writer_gone(int holder, long long started_ns, const struct stat &st)
{
    const long long written_ns = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
    return holder == 1 || (holder == 0 && started_ns > written_ns + 1000000000LL);
}

// Set at start-up: the previous runs whose lock files were kept.
constexpr size_t KEPT_PIDS_MAX = 8;
int kept_pids[KEPT_PIDS_MAX];
size_t kept_pids_count = 0;

// A lock that timed out on `path`: when its file holds the pid of a previous
// run whose lock files were kept at start-up, the rule is applied again, and
// a file that no living process can have written is removed.  Whether it
// was removed (the lock may be tried again).
bool lock_kept_reclaim(const char *path)
{
    char buf[16];
    struct stat st;
    const ssize_t n = lock_file_read(AT_FDCWD, path, buf, sizeof buf - 1, &st);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    char *end = nullptr;
    const long pid = std::strtol(buf, &end, 10);
    if (end == buf || *end != '\n' ||
        std::find(kept_pids, kept_pids + kept_pids_count, pid) == kept_pids + kept_pids_count)
        return false;
    long long started_ns = 0;
    if (!lock_writer_gone(pid_start_ns(int(pid), &started_ns), started_ns, st) ||
        unlink(path) != 0)
        return false;
    log_notice("PathLock", "Removed %s, a lock left by pid %ld", path, pid);
    return true;
}

}  // namespace

int lock_files_reclaim(const char *dirpath, int stale_pid, int *kept)
{
    static const char F[] = "lock_files_reclaim";
    MARLO_ASSERT(stale_pid > 0);
    if (kept != nullptr)
        *kept = 0;
    DirEntries dir(open(dirpath, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd() < 0) {
        log_error(F, "opendir(%s): %s", dirpath, strerror(errno));
        return -1;
    }
    PidText stale;
    stale.len = std::snprintf(stale.text, sizeof stale.text, "%d\n", stale_pid);
    bool asked = false;  // pid_start_ns(stale_pid), at the first file of that pid
    int holder = 0;
    long long started_ns = 0;
    int removed = 0;
    while (const char *ent = dir.next()) {
        const std::string_view name(ent);
        if (!name.starts_with("NODE-") && !name.starts_with("DS-") && !name.starts_with("VDISK-"))
            continue;
        struct stat st;
        if (!lock_holds(dir.fd(), ent, stale, &st))
            continue;  // another holder's lock stays theirs
        // No destruction on doubt: the file goes only when no process can
        // have written it under that pid: none has the pid, or the one that
        // has it started after the file was last written.  What that process
        // runs proves nothing; a start that cannot be read keeps the file.
        // File times come from a coarse clock and start times are whole
        // ticks: a start less than a second after the write proves nothing.
        if (!asked) {
            holder = pid_start_ns(stale_pid, &started_ns);
            asked = true;
        }
        if (!lock_writer_gone(holder, started_ns, st)) {
            log_notice(F, "Keeping %s/%s: pid %d may have written it", dirpath, ent, stale_pid);
            if (kept != nullptr)
                (*kept)++;
            continue;
        }
        if (unlinkat(dir.fd(), ent, 0) != 0) {
            log_warn(F, "unlink(%s/%s): %s", dirpath, ent, strerror(errno));
            continue;
        }
        log_notice(F, "Removed %s/%s, a lock left by pid %d", dirpath, ent, stale_pid);
        removed++;
    }
    return removed;
}

namespace {

// The pids of the record's text, one "%d\n" line each, into pids[0..max).
// Their number, or -1 when a line is no pid.
int holder_pids(char *text, int *pids, size_t max)
{
    size_t n = 0;
    for (char *line = text; *line != '\0';) {
        char *end = nullptr;
        const long pid = std::strtol(line, &end, 10);
        if (end == line || *end != '\n' || pid <= 0 || pid > INT_MAX)
            return -1;
        if (n < max)
            pids[n++] = int(pid);
        line = end + 1;
    }
    return n == 0 ? -1 : int(n);
}

}  // namespace

int lock_holder_update(const char *lock_dir)
{
    static const char F[] = "lock_holder_update";
    const int work = door_work(F);
    if (work < 0)
        return -1;
    const char *wd = cfg_work_directory.c_str();
    // The previous runs' pids, as their lock files hold them: the last run
    // first, then earlier ones whose lock files it kept.
    char buf[16 * (KEPT_PIDS_MAX + 1)];
    struct stat st;
    const ssize_t n = lock_file_read(work, LOCK_HOLDER_FILE, buf, sizeof buf - 1, &st);
    int previous[KEPT_PIDS_MAX + 1];
    int count = 0;
    if (n >= 0) {
        buf[n] = '\0';
        count = holder_pids(buf, previous, KEPT_PIDS_MAX + 1);
        if (count < 0)
            log_warn(F, "No pid in %s/%s: lock files of the previous run stay", wd,
                     LOCK_HOLDER_FILE);
    } else if (errno != ENOENT) {
        log_warn(F, "read(%s/%s): %s: lock files of the previous run stay", wd, LOCK_HOLDER_FILE,
                 errno == EINVAL ? "No regular file" : strerror(errno));
    }
    kept_pids_count = 0;
    for (int i = 0; i < count; i++) {
        int kept = 0;
        if (previous[i] != int(getpid()) && lock_files_reclaim(lock_dir, previous[i], &kept) >= 0 &&
            kept > 0 && kept_pids_count < KEPT_PIDS_MAX)
            kept_pids[kept_pids_count++] = previous[i];
    }

    // This run's pid, once the previous runs' lock files are gone (those
    // kept stay on record after it): a start cut short before this point
    // leaves the record naming the previous run.  The record is written as
    // a new file and renamed over the name: whatever stands there (a FIFO,
    // a link) is replaced, never opened or followed.  A directory there is
    // an error line; the daemon runs without a record.
    const PidText &pid = lock_pid_text();
    std::string text(pid.text, size_t(pid.len));
    for (size_t i = 0; i < kept_pids_count; i++)
        text += std::to_string(kept_pids[i]) + "\n";
    static const char TMP[] = "lock_holder.new";
    if (unlinkat(work, TMP, 0) != 0 && errno != ENOENT) {
        log_error(F, "unlink(%s/%s): %s", wd, TMP, strerror(errno));
        return 0;
    }
    UniqueFd fd(store_open(work, TMP, O_WRONLY | O_CREAT | O_EXCL, 0644));
    if (!fd) {
        log_error(F, "open(%s/%s): %s", wd, TMP, strerror(errno));
        return -1;
    }
    if (buf_tx(fd.get(), text.data(), text.size(), 1) != ssize_t(text.size()))
        return -1;
    if (fsync(fd.get()) != 0) {
        log_error(F, "fsync(%s/%s): %s", wd, TMP, strerror(errno));
        return -1;
    }
    if (fd.reset() < 0)
        return -1;
    if (renameat(work, TMP, work, LOCK_HOLDER_FILE) != 0) {
        const int err = errno;
        log_error(F, "rename(%s/%s, %s/%s): %s", wd, TMP, wd, LOCK_HOLDER_FILE, strerror(err));
        unlinkat(work, TMP, 0);
        return err == EISDIR || err == ENOTEMPTY || err == EEXIST ? 0 : -1;
    }
    return 0;
}

int ObjectNameCheck(const char *func, const char *what, const char *name)
{
    if (name != nullptr && name[0] != '\0' && std::strcmp(name, ".") != 0 &&
        std::strcmp(name, "..") != 0 && std::strchr(name, '/') == nullptr)
        return 0;
    log_error(func, "Refusing %s name `%s'", what, name != nullptr ? name : "");
    return -1;
}

namespace {

// The datastore uuid of an entry as text: at most 14 characters.
struct DsName {
    char text[16];
    explicit DsName(const DatastoreEntry *dse)
    {
        std::snprintf(text, sizeof text, "%.*s", int(UUID_LEN), dse->uuid);
    }
};

}  // namespace

// Each wrapper composes its lock path; a path that would not fit fails the
// lock with -1 and no message (and makes the unlock do nothing).

int NodeLock(uint32_t nodeid)
{
    PathBuf path;
    if (path_format(path, "/tmp/NODE-%u", nodeid) != 0)
        return -1;
    return PathLock(path, cfg_node_lock_timeout_ms);
}

void NodeUnlock(uint32_t nodeid)
{
    PathBuf path;
    if (path_format(path, "/tmp/NODE-%u", nodeid) == 0)
        PathUnlock(path);
}

int NodeLockStr(const char *nodeuuid)
{
    PathBuf path;
    if (ObjectNameCheck("NodeLockStr", "node", nodeuuid) != 0 ||
        path_format(path, "/tmp/NODE-%s", nodeuuid) != 0)
        return -1;
    return PathLock(path, cfg_node_lock_timeout_ms);
}

void NodeUnlockStr(const char *nodeuuid)
{
    PathBuf path;
    if (ObjectNameCheck("NodeUnlockStr", "node", nodeuuid) == 0 &&
        path_format(path, "/tmp/NODE-%s", nodeuuid) == 0)
        PathUnlock(path);
}

int DatastoreLock(const DatastoreEntry *dse)
{
    DsName ds(dse);
    PathBuf path;
    if (ObjectNameCheck("DatastoreLock", "datastore", ds.text) != 0 ||
        path_format(path, "/tmp/DS-%s", ds.text) != 0)
        return -1;
    return PathLock(path, cfg_datastore_lock_timeout_ms);
}

void DatastoreUnlock(const DatastoreEntry *dse)
{
    DsName ds(dse);
    PathBuf path;
    if (ObjectNameCheck("DatastoreUnlock", "datastore", ds.text) == 0 &&
        path_format(path, "/tmp/DS-%s", ds.text) == 0)
        PathUnlock(path);
}

int DatastoreLockStr(const char *dsuuid)
{
    PathBuf path;
    if (ObjectNameCheck("DatastoreLockStr", "datastore", dsuuid) != 0 ||
        path_format(path, "/tmp/DS-%s", dsuuid) != 0)
        return -1;
    return PathLock(path, cfg_datastore_lock_timeout_ms);
}

void DatastoreUnlockStr(const char *dsuuid)
{
    PathBuf path;
    if (ObjectNameCheck("DatastoreUnlockStr", "datastore", dsuuid) == 0 &&
        path_format(path, "/tmp/DS-%s", dsuuid) == 0)
        PathUnlock(path);
}
