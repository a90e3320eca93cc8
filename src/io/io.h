// Checked wrappers over descriptor system calls.  Each logs exactly one line
// when it fails (naming the call, its operands and the system's error text)
// and returns a negative value; callers never log a wrapped failure again.
// Every descriptor the daemon opens is close-on-exec: fd_open and fd_openat
// add O_CLOEXEC themselves.
#pragma once

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <utility>

// open(2); EINTR is retried with a warning.  The descriptor, or -1.
int fd_open(const char *path, int flags, mode_t mode = 0);
// openat(2) relative to dirfd; as fd_open.
int fd_openat(int dirfd, const char *path, int flags, mode_t mode = 0);
// close(2); fd must be >= 0 (asserted).  0 or -1.
int fd_close(int fd);
// ftruncate(2) to length.  0 or -1.
int fd_truncate(int fd, uint64_t length);
// Sets (blocking <= 0) or clears (blocking > 0) O_NONBLOCK, keeping the other
// status flags.  0; -1 when F_GETFL fails; -2 when F_SETFL fails.
int fd_blocking(int fd, int blocking);

// Reads exactly len bytes.  len; 0 at end of file (even after a partial read);
// -1 on error.  nointr > 0 repeats interrupted reads silently.
ssize_t buf_rx(int fd, void *buf, size_t len, int nointr);
// Writes exactly len (> 0, asserted) bytes.  len, or -1.
ssize_t buf_tx(int fd, const void *buf, size_t len, int nointr);
// Writes the whole gathered data of iov[0..iovcnt); the array is advanced in
// place after partial writes.  The total length, or -1.
ssize_t iov_tx(int fd, struct iovec *iov, int iovcnt, int nointr);

// Owns one descriptor and closes it (through fd_close) on every path.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept
    {
        reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (if any) and takes fd.  The close result,
    // 0 when nothing was held.
    int reset(int fd = -1)
    {
        int r = 0;
        if (fd_ >= 0)
            r = fd_close(fd_);
        fd_ = fd;
        return r;
    }

private:
    int fd_ = -1;
};
