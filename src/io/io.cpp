// Checked descriptor wrappers: one log line per failure, a negative result,
// interrupted calls repeated (with a warning for the single calls, silently
// for the whole-buffer transfers when asked to).
#include "io/io.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "daemon/check.h"
#include "daemon/syslog.h"

int fd_open(const char *path, int flags, mode_t mode)
{
    for (;;) {
        int fd = ::open(path, flags | O_CLOEXEC, mode);
        if (fd >= 0)
            return fd;
        if (errno == EINTR) {
            log_warn("fd_open", "open(%s): %s", path, strerror(errno));
            continue;
        }
        log_error("fd_open", "open(%s): %s", path, strerror(errno));
        return -1;
    }
}

int fd_openat(int dirfd, const char *path, int flags, mode_t mode)
{
    for (;;) {
        int fd = ::openat(dirfd, path, flags | O_CLOEXEC, mode);
        if (fd >= 0)
            return fd;
        if (errno == EINTR) {
            log_warn("fd_openat", "openat(%s): %s", path, strerror(errno));
            continue;
        }
        log_error("fd_openat", "openat(%s): %s", path, strerror(errno));
        return -1;
    }
}

int fd_close(int fd)
{
    MARLO_ASSERT(fd >= 0);
    if (::close(fd) == 0)
        return 0;
    // Linux releases the descriptor before close() can be interrupted: it is
    // closed, and a second close() could only fail or hit a descriptor
    // opened meanwhile.
    if (errno == EINTR) {
        log_warn("fd_close", "close(%d): %s", fd, strerror(errno));
        return 0;
    }
    log_error("fd_close", "close(%d): %s", fd, strerror(errno));
    return -1;
}

int fd_truncate(int fd, uint64_t length)
{
    for (;;) {
        if (::ftruncate(fd, off_t(length)) == 0)
            return 0;
        if (errno == EINTR) {
            log_warn("fd_truncate", "ftruncate(%d, %llu): %s", fd, (unsigned long long)length,
                     strerror(errno));
            continue;
        }
        log_error("fd_truncate", "ftruncate(%d, %llu): %s", fd, (unsigned long long)length,
                  strerror(errno));
        return -1;
    }
}

int fd_blocking(int fd, int blocking)
{
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        log_error("fd_blocking", "fcntl(F_GETFL): %s", strerror(errno));
        return -1;
    }
    if (blocking > 0)
        flags &= ~O_NONBLOCK;
    else
        flags |= O_NONBLOCK;
    if (::fcntl(fd, F_SETFL, flags) < 0) {
        log_error("fd_blocking", "fcntl(F_SETFL): %s", strerror(errno));
        return -2;
    }
    return 0;
}

ssize_t buf_rx(int fd, void *buf, size_t len, int nointr)
{
    auto *p = static_cast<char *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::read(fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR && nointr > 0)
                continue;
            log_error("buf_rx", "read(%zu): %s", len - done, strerror(errno));
            return -1;
        }
        if (n == 0) {
            log_error("buf_rx", "read(%zu): EOF", len - done);
            return 0;
        }
        done += size_t(n);
        MARLO_ASSERT(done <= len);
    }
    return ssize_t(len);
}

ssize_t buf_tx(int fd, const void *buf, size_t len, int nointr)
{
    MARLO_ASSERT(len > 0);
    const auto *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::write(fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR && nointr > 0)
                continue;
            log_error("buf_tx", "write(%zu): %s", len - done, strerror(errno));
            return -1;
        }
        MARLO_ASSERT(n != 0);
        done += size_t(n);
        MARLO_ASSERT(done <= len);
    }
    return ssize_t(len);
}

ssize_t iov_tx(int fd, struct iovec *iov, int iovcnt, int nointr)
{
    MARLO_ASSERT(iovcnt > 0);
    size_t total = 0;
    for (int i = 0; i < iovcnt; i++)
        total += iov[i].iov_len;

    size_t done = 0;
    while (done < total) {
        const size_t outstanding = total - done;
        ssize_t n = ::writev(fd, iov, iovcnt);
        if (n < 0) {
            if (errno == EINTR && nointr > 0)
                continue;
            log_error("iov_tx", "writev(%zu/%d): %s", outstanding, iovcnt, strerror(errno));
            return -1;
        }
        MARLO_ASSERT(n != 0);
        done += size_t(n);
        MARLO_ASSERT(done <= total);
        if (done == total)
            break;
        log_notice("iov_tx", "PARTIAL writev(): %zd/%zu", n, outstanding);

        // Drop the descriptors written completely; advance into the first
        // one that was written only in part (possibly not at all).
        size_t sum = 0;
        while (sum + iov->iov_len <= size_t(n)) {
            sum += iov->iov_len;
            iov++;
            iovcnt--;
            MARLO_ASSERT(iovcnt > 0);
        }
        const size_t part = size_t(n) - sum;
        iov->iov_base = static_cast<char *>(iov->iov_base) + part;
        iov->iov_len -= part;
    }
    return ssize_t(total);
}
