// Descriptor wrappers and whole-buffer transfers, including transfers cut
// into pieces and interrupted by signals.
#include "io/io.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "interrupt.h"

namespace {

struct Pipe {
    Pipe()
    {
        EXPECT_EQ(pipe2(fd, O_CLOEXEC), 0);
    }
    ~Pipe()
    {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
    // Shrinks the pipe to one page; returns its capacity.
    size_t shrink()
    {
        return size_t(fcntl(fd[1], F_SETPIPE_SZ, 4096));
    }
    int fd[2] = {-1, -1};
};

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = char('a' + (i * 7 + i / 251) % 26);
    return s;
}

size_t queued(int fd)
{
    int n = 0;
    ioctl(fd, FIONREAD, &n);
    return size_t(n);
}

// Reader side of an interrupted write into a full one-page pipe.  Per round:
// wait until the pipe is full, interrupt the writer (its call returns the
// part written so far), wait until it blocks again and interrupt it once more
// (that call has written nothing: EINTR).  Then drain the pipe, or stop after
// the first round when drain is false.  Returns everything read.
std::string interrupt_writer(pid_t writer, int rfd, size_t cap, size_t total, bool drain,
                             int sig = SIGUSR1)
{
    std::string got;
    while (got.size() < total) {
        while (queued(rfd) < cap)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (!wait_blocked(writer))
            break;
        signal_thread(writer, sig);
        if (!drain)
            break;
        if (!wait_blocked(writer))
            break;
        signal_thread(writer, sig);
        std::string chunk(cap, '\0');
        ssize_t n = read(rfd, chunk.data(), cap);
        if (n <= 0)
            break;
        got.append(chunk, 0, size_t(n));
    }
    return got;
}

TEST(Descriptors, OpenedDescriptorsAreCloseOnExec)
{
    char dir[] = "/tmp/marlo-io-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/f";
    UniqueFd f(fd_open(file.c_str(), O_RDWR | O_CREAT, 0600));
    ASSERT_TRUE(f);
    EXPECT_TRUE(fcntl(f.get(), F_GETFD) & FD_CLOEXEC);
    UniqueFd d(fd_open(dir, O_RDONLY | O_DIRECTORY));
    ASSERT_TRUE(d);
    UniqueFd g(fd_openat(d.get(), "f", O_RDONLY));
    ASSERT_TRUE(g);
    EXPECT_TRUE(fcntl(g.get(), F_GETFD) & FD_CLOEXEC);

    EXPECT_EQ(fd_truncate(f.get(), 10), 0);
    struct stat st;
    ASSERT_EQ(fstat(f.get(), &st), 0);
    EXPECT_EQ(st.st_size, 10);
    unlink(file.c_str());
    rmdir(dir);
}

TEST(Descriptors, FailuresLogTheCallOperandsAndError)
{
    signal(SIGPIPE, SIG_IGN);
    const int closed = 1000;  // far above anything this test opens
    ASSERT_EQ(fcntl(closed, F_GETFD), -1);
    Pipe p;
    const std::string c = std::to_string(closed);
    char buf[16] = {};
    struct iovec iov[2] = {{buf, 4}, {buf, 6}};

    struct Case {
        std::function<long()> call;
        long result;
        std::string message;
    };
    const Case cases[] = {
        {[] { return fd_open("/nonexistent/x", O_RDONLY); }, -1,
         "error: fd_open(): open(/nonexistent/x): No such file or directory"},
        {[] { return fd_openat(AT_FDCWD, "/nonexistent/y", O_RDONLY); }, -1,
         "error: fd_openat(): openat(/nonexistent/y): No such file or directory"},
        {[&] { return fd_close(closed); }, -1,
         "error: fd_close(): close(" + c + "): Bad file descriptor"},
        {[&] { return fd_truncate(p.fd[1], 5); }, -1,
         "error: fd_truncate(): ftruncate(" + std::to_string(p.fd[1]) + ", 5): Invalid argument"},
        {[&] { return fd_blocking(closed, 0); }, -1,
         "error: fd_blocking(): fcntl(F_GETFL): Bad file descriptor"},
        {[&] { return buf_rx(closed, buf, 4, 1); }, -1,
         "error: buf_rx(): read(4): Bad file descriptor"},
        {[&] { return buf_tx(closed, buf, 5, 1); }, -1,
         "error: buf_tx(): write(5): Bad file descriptor"},
        {[&] { return iov_tx(closed, iov, 2, 1); }, -1,
         "error: iov_tx(): writev(10/2): Bad file descriptor"},
    };
    for (const auto &k : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(k.call(), k.result) << k.message;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(k.message + "\n"), std::string::npos) << err;
    }

    // A reader that went away: the write fails, the process lives on.
    close(p.fd[0]);
    p.fd[0] = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(buf_tx(p.fd[1], buf, 7, 1), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("error: buf_tx(): write(7): Broken pipe"),
              std::string::npos);
    signal(SIGPIPE, SIG_DFL);
}

TEST(Descriptors, BlockingTogglesOnlyNonBlock)
{
    char path[] = "/tmp/marlo-io-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_EQ(fcntl(fd, F_SETFL, O_APPEND), 0);
    EXPECT_EQ(fd_blocking(fd, 0), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_NONBLOCK | O_APPEND), O_NONBLOCK | O_APPEND);
    EXPECT_EQ(fd_blocking(fd, 0), 0);  // already non-blocking: unchanged
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_NONBLOCK | O_APPEND), O_NONBLOCK | O_APPEND);
    EXPECT_EQ(fd_blocking(fd, 1), 0);
    EXPECT_EQ(fcntl(fd, F_GETFL) & (O_NONBLOCK | O_APPEND), O_APPEND);
    EXPECT_EQ(fd_blocking(fd, -3), 0);  // 0 or less: non-blocking
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    close(fd);
}

TEST(BufRx, EndOfFileReturnsZeroWithMissingCount)
{
    struct Case {
        std::string content;
        size_t want;
        std::string message;
    };
    const Case cases[] = {
        {"hello", 8, "error: buf_rx(): read(3): EOF\n"},
        {"", 4, "error: buf_rx(): read(4): EOF\n"},
    };
    for (const auto &k : cases) {
        Pipe p;
        if (!k.content.empty()) {
            ASSERT_EQ(write(p.fd[1], k.content.data(), k.content.size()),
                      ssize_t(k.content.size()));
        }
        close(p.fd[1]);
        p.fd[1] = -1;
        char buf[16];
        testing::internal::CaptureStderr();
        EXPECT_EQ(buf_rx(p.fd[0], buf, k.want, 1), 0);
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(k.message), std::string::npos) << err;
    }
}

TEST(BufRx, CompletesAcrossInterruptionsAndPieces)
{
    CountingHandler usr1(SIGUSR1);
    Pipe p;
    const pid_t me = this_tid();
    std::thread writer([&] {
        wait_blocked(me);
        signal_thread(me, SIGUSR1);  // interrupts the read: repeated
        wait_blocked(me);
        ASSERT_EQ(write(p.fd[1], "abc", 3), 3);
        wait_blocked(me);
        signal_thread(me, SIGUSR1);
        wait_blocked(me);
        ASSERT_EQ(write(p.fd[1], "defghij", 7), 7);
    });
    char buf[10];
    EXPECT_EQ(buf_rx(p.fd[0], buf, sizeof buf, 1), 10);
    writer.join();
    EXPECT_EQ(std::string(buf, 10), "abcdefghij");
    EXPECT_EQ(usr1.count(), 2);
}

TEST(BufRx, InterruptionFailsWithoutNointr)
{
    CountingHandler usr1(SIGUSR1);
    Pipe p;
    const pid_t me = this_tid();
    std::thread sender([&] {
        wait_blocked(me);
        signal_thread(me, SIGUSR1);
    });
    char buf[10];
    testing::internal::CaptureStderr();
    EXPECT_EQ(buf_rx(p.fd[0], buf, sizeof buf, 0), -1);
    std::string err = testing::internal::GetCapturedStderr();
    sender.join();
    EXPECT_NE(err.find("error: buf_rx(): read(10): Interrupted system call\n"), std::string::npos)
        << err;
}

TEST(BufTx, CompletesAcrossPartialWritesAndInterruptions)
{
    CountingHandler usr1(SIGUSR1);
    Pipe p;
    const size_t cap = p.shrink();
    const std::string data = pattern(8 * cap);
    const pid_t me = this_tid();
    std::string got;
    std::thread reader([&] { got = interrupt_writer(me, p.fd[0], cap, data.size(), true); });
    EXPECT_EQ(buf_tx(p.fd[1], data.data(), data.size(), 1), ssize_t(data.size()));
    reader.join();
    EXPECT_TRUE(got == data) << "bytes differ";
    EXPECT_GE(usr1.count(), 14);
}

TEST(BufTx, InterruptionFailsWithoutNointr)
{
    CountingHandler usr1(SIGUSR1);
    Pipe p;
    const size_t cap = p.shrink();
    const std::string data = pattern(8 * cap);
    const pid_t me = this_tid();
    // The first signal ends a write that stored one pipe-full; the second
    // meets a write that stored nothing.
    std::thread reader([&] {
        interrupt_writer(me, p.fd[0], cap, data.size(), false);
        wait_blocked(me);
        signal_thread(me, SIGUSR1);
    });
    testing::internal::CaptureStderr();
    EXPECT_EQ(buf_tx(p.fd[1], data.data(), data.size(), 0), -1);
    std::string err = testing::internal::GetCapturedStderr();
    reader.join();
    EXPECT_NE(err.find("error: buf_tx(): write(" + std::to_string(7 * cap) +
                       "): Interrupted system call\n"),
              std::string::npos)
        << err;
}

TEST(IovTx, ContinuesAfterPartialWrite)
{
    Pipe probe;
    const size_t cap = probe.shrink();
    struct Case {
        const char *name;
        std::vector<size_t> sizes;  // the pipe takes cap bytes before the first stop
        size_t split;               // descriptor in which the first write stopped
        size_t offset;              // bytes of it written by then
    };
    const Case cases[] = {
        {"inside a buffer", {cap - 904, 3000, 2000}, 1, 904},
        {"at a buffer boundary", {1000, cap - 1000, 500, 700}, 2, 0},
        {"after empty buffers", {cap, 0, 0, 300}, 3, 0},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.name);
        CountingHandler usr1(SIGUSR1);
        Pipe p;
        ASSERT_EQ(p.shrink(), cap);
        size_t total = 0;
        for (size_t s : k.sizes)
            total += s;
        const std::string data = pattern(total);
        std::vector<struct iovec> iov;
        size_t at = 0;
        for (size_t s : k.sizes) {
            iov.push_back({const_cast<char *>(data.data()) + at, s});
            at += s;
        }
        const std::vector<struct iovec> before = iov;

        const pid_t me = this_tid();
        std::string got;
        std::thread reader([&] {
            // One interruption once the pipe is full; drain only once the
            // writer waits in its next call, or the interrupted call would
            // go on writing into the room made.
            while (queued(p.fd[0]) < cap)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            wait_blocked(me);
            signal_thread(me, SIGUSR1);
            wait_blocked(me);
            std::string chunk(total, '\0');
            while (got.size() < total) {
                ssize_t n = read(p.fd[0], chunk.data(), chunk.size());
                if (n <= 0)
                    break;
                got.append(chunk, 0, size_t(n));
            }
        });
        testing::internal::CaptureStderr();
        EXPECT_EQ(iov_tx(p.fd[1], iov.data(), int(iov.size()), 1), ssize_t(total));
        std::string err = testing::internal::GetCapturedStderr();
        reader.join();

        EXPECT_TRUE(got == data) << "bytes differ";
        EXPECT_NE(err.find("notice: iov_tx(): PARTIAL writev(): " + std::to_string(cap) + "/" +
                           std::to_string(total) + "\n"),
                  std::string::npos)
            << err;
        // The caller's array was advanced in place: the descriptor in which
        // the write stopped starts after its written part; the others are
        // untouched.
        for (size_t i = 0; i < iov.size(); i++) {
            size_t skip = i == k.split ? k.offset : 0;
            EXPECT_EQ(iov[i].iov_base, static_cast<char *>(before[i].iov_base) + skip) << i;
            EXPECT_EQ(iov[i].iov_len, before[i].iov_len - skip) << i;
        }
    }
}

}  // namespace
