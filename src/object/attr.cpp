#include "object/attr.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "io/misc.h"
#include "object/path.h"

namespace {

// A single-value file holds at most this many bytes, newline included.
constexpr off_t VALUE_MAX = 255;

struct FreeDeleter {
    void operator()(char *p) const { std::free(p); }
};
using MallocBuf = std::unique_ptr<char, FreeDeleter>;

// The open file's size, found by seeking to its end.  -1 on failure, logged
// as "lseek(<key>)" under func unless func is null.
off_t seek_size(int fd, const char *func, const char *key)
{
    off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0 && func != nullptr)
        log_error(func, "lseek(%s): %s", key, strerror(errno));
    return size;
}

// Seeks back to the start and reads exactly size bytes into buf.  0, or -1
// (buf_rx logs a failed read or an early end of file).
int read_from_start(int fd, char *buf, size_t size, const char *func, const char *key)
{
    if (lseek(fd, 0, SEEK_SET) < 0) {
        if (func != nullptr)
            log_error(func, "lseek(%s): %s", key, strerror(errno));
        return -1;
    }
    return buf_rx(fd, buf, size, 1) == ssize_t(size) ? 0 : -1;
}

// The steps AttrLoad and StringLoad share: open dirfd/key, read a 1..255-byte
// value ending in "\n" into buf and replace the newline by NUL.  One read()
// of the whole buffer sizes the value too: a 256th byte means the file is
// oversized.  The file's size (newline included); 0 for an empty file
// (nothing logged); -1 on failure (logged).
int value_read(const char *func, int dirfd, const char *key, char (&buf)[VALUE_MAX + 1])
{
    UniqueFd fd(fd_openat(dirfd, key, O_RDONLY));
    if (!fd)
        return -1;
    ssize_t size;
    do
        size = read(fd.get(), buf, sizeof buf);
    while (size < 0 && errno == EINTR);
    if (size < 0) {
        log_error(func, "read(%s): %s", key, strerror(errno));
        return -1;
    }
    if (size == 0)
        return 0;
    if (size > VALUE_MAX) {
        log_error(func, "Oversized file %s", key);
        return -1;
    }
    if (buf[size - 1] != '\n') {
        log_error(func, "Malformed file %s", key);
        return -1;
    }
    buf[size - 1] = '\0';
    return int(size);
}

}  // namespace

int AttrStore(int dirfd, const char *key, const char *fmt, ...)
{
    // Single values fit the stack buffer; only a long list is allocated.
    char small[VALUE_MAX + 1];
    MallocBuf big;
    const char *text = small;

    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int len = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
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

    UniqueFd fd(fd_openat(dirfd, key, O_RDWR | O_CREAT | O_TRUNC, 0666));
    if (!fd)
        return -1;
    ssize_t n = buf_tx(fd.get(), text, size_t(len), 1);
    fd.reset();
    return n == len ? len : -1;
}

int AttrLoad(int dirfd, const char *key, const char *fmt, ...)
{
    char buf[VALUE_MAX + 1];
    int size = value_read("AttrLoad", dirfd, key, buf);
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
    int size = value_read("StringLoad", dirfd, key, buf);
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

long FileLoad(int fd, char **buf)
{
    off_t size = seek_size(fd, nullptr, nullptr);
    if (size <= 0)
        return size;  // 0: empty file, nothing allocated
    MallocBuf data(static_cast<char *>(std::malloc(size_t(size) + 1)));
    if (!data) {
        log_error("FileLoad", "malloc(%zu): %s", size_t(size) + 1, strerror(errno));
        return -1;
    }
    if (read_from_start(fd, data.get(), size_t(size), nullptr, nullptr) != 0)
        return -1;
    data.get()[size] = '\0';
    *buf = data.release();
    return long(size);
}

int PathLock(const char *path, int timeout_ms)
{
    log_info("PathLock", "Lock %s", path);
    char pid[16];
    int pid_len = std::snprintf(pid, sizeof pid, "%d\n", int(getpid()));

    // 64-bit so that doubling past a large timeout cannot overflow.
    long long sleep_ms = 50;
    long long slept_ms = 0;
    UniqueFd fd;
    for (;;) {
        int r = open(path, O_RDWR | O_CREAT | O_EXCL | O_TRUNC | O_CLOEXEC, 0666);
        if (r >= 0) {
            fd.reset(r);
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno != EEXIST) {
            log_error("PathLock", "open(%s): %s", path, strerror(errno));
            return -2;
        }
        if (timeout_ms <= 0)
            return -1;
        if (slept_ms >= timeout_ms || sleep_ms > timeout_ms) {
            log_notice("PathLock", "Timed out locking %s", path);
            return -1;
        }
        log_notice("PathLock", "Contention on %s, sleep %dms", path, int(sleep_ms));
        slept_ms += sleep_ms;
        msleep(int(sleep_ms));
        sleep_ms *= 2;
    }

    // A lock file that cannot be completed is removed again: left in place
    // it would lock the object until someone removed it by hand.
    int result = 0;
    if (buf_tx(fd.get(), pid, size_t(pid_len), 1) != pid_len) {
        result = -3;
    } else if (fsync(fd.get()) != 0) {
        log_warn("PathLock", "fsync(%s): %s", path, strerror(errno));
        result = -4;
    }
    fd.reset();
    if (result != 0 && unlink(path) != 0)
        log_warn("PathLock", "unlink(%s): %s", path, strerror(errno));
    return result;
}

void PathUnlock(const char *path)
{
    log_info("PathUnlock", "Unlock %s", path);
    if (unlink(path) != 0)
        log_warn("PathUnlock", "unlink(%s): %s", path, strerror(errno));
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
