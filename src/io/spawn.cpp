#include "io/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <memory>

#include "daemon/syslog.h"
#include "io/io.h"
#include "io/misc.h"

namespace {

// Error text for the execve failure in the child: a table lookup, no locale
// and no allocation between fork and exec.
const char *exec_error_text(int err)
{
    const char *text = strerrordesc_np(err);
    return text != nullptr ? text : "Unknown error";
}

// One run's output, shared by its two streams for as long as either is read.
struct RunOutput {
    ProgramOutput output;
    const char *func = "";
    unsigned long lines = 0;
    unsigned long dropped = 0;
    int open = 2;  // streams not yet closed
};

// One output stream of the program: the read end of its pipe (non-blocking)
// and the line gathered so far.
struct Output {
    UniqueFd fd;
    int stream = 0;  // 1 standard output, 2 standard error
    std::shared_ptr<RunOutput> run;
    char line[1024];
    size_t len = 0;

    void pass_line()
    {
        line[len] = '\0';
        len = 0;
        if (run->lines < run->output.max_lines) {
            run->lines++;
            run->output.on_line(stream, line);
        } else {
            run->dropped++;
        }
    }

    // Closes the pipe after passing on a last partial line; the run's drop
    // count goes out with its last stream.
    void close()
    {
        if (!fd)
            return;
        if (len > 0)
            pass_line();
        fd.reset();
        if (--run->open == 0 && run->dropped > 0 && run->output.on_dropped)
            run->output.on_dropped(run->dropped);
    }

    // Reads once and passes on every line completed.  1 after data, 0 when
    // the pipe is empty, -1 when it ended (or failed) and was closed.
    int read_once()
    {
        char buf[4096];
        ssize_t n;
        do {
            n = ::read(fd.get(), buf, sizeof buf);
        } while (n < 0 && errno == EINTR);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return 0;
        if (n < 0)
            log_error(run->func, "read(%d): %s", fd.get(), strerror(errno));
        if (n <= 0) {
            close();
            return -1;
        }
        for (ssize_t i = 0; i < n; i++) {
            if (buf[i] != '\n')
                line[len++] = buf[i];
            if (buf[i] == '\n' || len == sizeof line - 1)
                pass_line();
        }
        return 1;
    }
};

// Pipes of ended programs that a process left behind still holds, oldest
// first.
std::deque<Output> left_behind;

// Keeps `out` open past its program's end, closing the oldest kept beyond
// the bound (and a descriptor select() cannot watch).
void keep(Output &out)
{
    if (out.fd.get() >= FD_SETSIZE) {
        out.close();
        return;
    }
    if (left_behind.size() == size_t(PROGRAM_OUTPUTS_KEPT)) {
        left_behind.front().close();
        left_behind.pop_front();
    }
    left_behind.push_back(std::move(out));
}

// After the program's end: what it wrote is in the pipes already.  Reads
// until they are empty, a pipe buffer's worth at most (a process left
// behind may write as fast as it is read), and keeps what is still open.
void drain_and_keep(Output &out)
{
    for (int i = 0; i < 16 && out.fd && out.read_once() > 0; i++) {
    }
    if (out.fd)
        keep(out);
}

}  // namespace

int program_run(const char *func, const char *prog, char *const argv[], char *const envp[],
                const ProgramOutput &output, int *status)
{
    if (stop_requested())
        return -2;
    auto run = std::make_shared<RunOutput>();
    run->output = output;
    run->func = func;
    Output outs[2];
    UniqueFd writers[2];
    for (int i = 0; i < 2; i++) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) {
            log_error(func, "pipe2(): %s", strerror(errno));
            return -1;
        }
        outs[i].fd.reset(p[0]);
        outs[i].stream = i + 1;
        outs[i].run = run;
        writers[i].reset(p[1]);
        if (fd_blocking(p[0], 0) < 0)
            return -1;
    }

    const pid_t pid = ::fork();
    if (pid < 0) {
        log_error(func, "fork(): %s", strerror(errno));
        return -1;
    }
    if (pid == 0) {
        // The daemon ignores SIGPIPE, and an ignored signal stays ignored
        // across execve: the program starts with the default disposition.
        struct sigaction dfl;
        std::memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        sigemptyset(&dfl.sa_mask);
        ::sigaction(SIGPIPE, &dfl, nullptr);
        // The copies on 1 and 2 stay open across execve, the originals not.
        if (::dup2(writers[0].get(), 1) >= 0 && ::dup2(writers[1].get(), 2) >= 0)
            ::execve(prog, argv, envp);
        log_error(func, "execve(%s): %s", prog, exec_error_text(errno));
        ::_exit(1);
    }
    writers[0].reset();
    writers[1].reset();

    // The program's end is watched on a pidfd: a program may close its
    // output long before it ends, and a process it started in the
    // background may keep the pipes open for ever.  Without one (a kernel
    // before 5.3) the end is looked for once a second.
    // (The system call directly: the C library's header of 2.36 lacks C linkage.)
    UniqueFd ended(int(::syscall(SYS_pidfd_open, pid, 0)));
    if (!ended)
        log_warn(func, "pidfd_open(%d): %s", int(pid), strerror(errno));
    bool reaped = false, told = false;
    for (;;) {
        // A second at most between two looks at the stop flag: a signal
        // between the look and poll() does not interrupt it.
        struct pollfd p[3] = {{outs[0].fd.get(), POLLIN, 0},
                              {outs[1].fd.get(), POLLIN, 0},
                              {ended.get(), POLLIN, 0}};
        const int n = ::poll(p, 3, 1000);
        if (n < 0 && errno != EINTR) {
            log_error(func, "poll(): %s", strerror(errno));
            break;  // the wait below is all that is left
        }
        // A stop waits for the program: cut short, its work would be left
        // half done.  The request is seen now, and acted on when it ends.
        if (stop_requested() && !told) {
            log_notice(func, "Stop requested: waiting for %s (pid %d) to end first", prog, int(pid));
            told = true;
        }
        for (int i = 0; i < 2 && n > 0; i++)
            if (p[i].revents != 0)
                outs[i].read_once();
        if (ended && n > 0 && p[2].revents != 0)
            break;
        if (!ended && ::waitpid(pid, status, WNOHANG) == pid) {
            reaped = true;
            break;
        }
    }
    for (Output &out : outs)
        drain_and_keep(out);
    if (reaped)
        return 0;

    pid_t w;
    do {
        w = ::waitpid(pid, status, 0);
    } while (w < 0 && errno == EINTR);
    if (w < 0) {
        log_error(func, "waitpid(%d): %s", int(pid), strerror(errno));
        return -1;
    }
    return 0;
}

int program_outputs_watch(fd_set *set, int nfds)
{
    for (const Output &out : left_behind) {
        FD_SET(out.fd.get(), set);
        if (out.fd.get() >= nfds)
            nfds = out.fd.get() + 1;
    }
    return nfds;
}

void program_outputs_serve(const fd_set *ready)
{
    for (auto it = left_behind.begin(); it != left_behind.end();) {
        if (FD_ISSET(it->fd.get(), ready) && it->read_once() < 0)
            it = left_behind.erase(it);
        else
            ++it;
    }
}

void program_outputs_close()
{
    for (Output &out : left_behind)
        out.close();
    left_behind.clear();
}
