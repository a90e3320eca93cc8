#include "object/store.h"

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "daemon/check.h"
#include "object/door.h"

int store_mkdirat(const char *func, int dirfd, const char *dirpath, const char *name,
                  bool exist_ok)
{
    log_debug(func, "%s/%s [MKDIR]", dirpath, name);
    if (mkdirat(dirfd, name, 0777) == 0 || (exist_ok && errno == EEXIST))
        return 0;
    log_error(func, "mkdir(%s/%s): %s", dirpath, name, strerror(errno));
    return -1;
}

// Directories below an object's are never reached through a link either:
// every write below them stays inside the work directory.
int store_opendirat(int dirfd, const char *name)
{
    const int fd = store_open(dirfd, name, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        log_error("fd_openat", "openat(%s): %s", name, strerror(errno));
    return fd;
}

int store_openat_opt(int dirfd, const char *name, int flags)
{
    const int fd = store_open(dirfd, name, flags);
    if (fd >= 0)
        return fd;
    if (errno == ENOENT)
        return -2;
    log_error("fd_openat", "openat(%s): %s", name, strerror(errno));
    return -1;
}

void store_sync_close(const char *func, UniqueFd &dir)
{
    if (fsync(dir.get()) != 0)
        log_warn(func, "fsync(%d): %s", dir.get(), strerror(errno));
    dir.reset();
}

int store_lookup(int dirfd, const char *name)
{
    struct stat st;
    if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
        return 1;
    return errno == ENOENT ? 0 : -1;
}

const char *DirEntries::next()
{
    if (pos_ >= end_) {
        ssize_t n = getdents64(fd_.get(), buf_, sizeof buf_);
        if (n <= 0) {
            if (n == 0)
                errno = 0;
            return nullptr;
        }
        pos_ = 0;
        end_ = size_t(n);
    }
    const auto *ent = reinterpret_cast<const struct dirent64 *>(buf_ + pos_);
    pos_ += ent->d_reclen;
    return ent->d_name;
}

int store_load_u32(const char *func, int dirfd, const char *dirpath, const char *key,
                   unsigned *value)
{
    int r = AttrLoad(dirfd, key, "%u", value);
    if (r != 1) {
        log_error(func, "Failed to load %s/%s: %d", dirpath, key, r);
        return -1;
    }
    log_debug(func, "%s/%s=%u", dirpath, key, *value);
    return 0;
}

int store_load_text(const char *func, int dirfd, const char *dirpath, const char *key,
                    char *dst, int cap, int width)
{
    int r = StringLoad(dirfd, key, dst, cap);
    if (r < 0) {
        log_error(func, "Failed to load %s/%s: %d", dirpath, key, r);
        return -1;
    }
    log_debug(func, "%s/%s=%.*s (%d)", dirpath, key, width, dst, r);
    return r;
}

int ListFile::load(int dirfd, const char *name, bool missing_is_empty)
{
    // Through the door: never a link, never blocking on a FIFO.
    UniqueFd fd(store_open(dirfd, name, O_RDONLY));
    if (!fd) {
        if (missing_is_empty && errno == ENOENT)
            return 0;
        log_error("fd_openat", "openat(%s): %s", name, strerror(errno));
        return -1;
    }
    char *raw = nullptr;
    const long size = FileLoad(fd.get(), &raw, LIST_FILE_MAX);
    text_.reset(raw);
    if (size == FILE_OVERSIZED)
        return MALFORMED;
    if (size <= 0) {
        // No bytes (or no size) is an empty list only from a regular file.
        struct stat st;
        if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            log_error("ListFile", "%s is no regular file", name);
            return -1;
        }
        return size < 0 ? -1 : 0;
    }
    if (raw[size - 1] != '\n')
        return MALFORMED;
    line_ = raw;
    end_ = raw + size;
    return 0;
}

size_t ListFile::lines_left() const
{
    return line_ == nullptr ? 0 : size_t(std::count(line_, end_, '\n'));
}

char *ListFile::next()
{
    if (line_ == end_)
        return nullptr;
    char *nl = static_cast<char *>(std::memchr(line_, '\n', size_t(end_ - line_)));
    MARLO_ASSERT(nl != nullptr);  // the last byte is a newline
    *nl = '\0';
    char *line = line_;
    line_ = nl + 1;
    return line;
}
