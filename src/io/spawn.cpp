#include "io/spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "daemon/syslog.h"
#include "io/io.h"

namespace {

// Error text for the execve failure in the child: a table lookup, no locale
// and no allocation between fork and exec.
const char *exec_error_text(int err)
{
    const char *text = strerrordesc_np(err);
    return text != nullptr ? text : "Unknown error";
}

// One output stream of the program: the read end of its pipe and the line
// gathered so far.
struct Output {
    UniqueFd fd;
    int stream = 0;  // 1 standard output, 2 standard error
    char line[1024];
    size_t len = 0;
};

void pass_line(Output &out, const ProgramLine &on_line)
{
    out.line[out.len] = '\0';
    on_line(out.stream, out.line);
    out.len = 0;
}

// Reads once from a pipe that poll() reported ready and passes on every line
// completed.  At the end of the output, or on a read error, the pipe is
// closed and a last partial line passed on.
void read_output(const char *func, Output &out, const ProgramLine &on_line)
{
    char buf[4096];
    ssize_t n;
    do {
        n = ::read(out.fd.get(), buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        log_error(func, "read(%d): %s", out.fd.get(), strerror(errno));
    if (n <= 0) {
        if (out.len > 0)
            pass_line(out, on_line);
        out.fd.reset();
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        if (buf[i] != '\n')
            out.line[out.len++] = buf[i];
        if (buf[i] == '\n' || out.len == sizeof out.line - 1)
            pass_line(out, on_line);
    }
}

}  // namespace

int program_run(const char *func, const char *prog, char *const argv[], char *const envp[],
                const ProgramLine &on_line, int *status)
{
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
        writers[i].reset(p[1]);
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

    // The program's end is watched on a pidfd: a process it started in the
    // background may keep the pipes open for ever.  Without one (a kernel
    // before 5.3) the wait ends with the output.
    // (The system call directly: the C library's header of 2.36 lacks C linkage.)
    UniqueFd ended(int(::syscall(SYS_pidfd_open, pid, 0)));
    if (!ended)
        log_warn(func, "pidfd_open(%d): %s", int(pid), strerror(errno));
    // Until the program ends, then only what the pipes still hold.
    int timeout = -1;
    while (outs[0].fd || outs[1].fd) {
        struct pollfd p[3] = {{outs[0].fd.get(), POLLIN, 0},
                              {outs[1].fd.get(), POLLIN, 0},
                              {timeout < 0 ? ended.get() : -1, POLLIN, 0}};
        const int n = ::poll(p, 3, timeout);
        if (n < 0 && errno == EINTR)
            continue;  // SIGHUP, SIGUSR1: the program is waited for all the same
        if (n < 0)
            log_error(func, "poll(): %s", strerror(errno));
        if (n <= 0)
            break;
        for (int i = 0; i < 2; i++)
            if (p[i].revents != 0)
                read_output(func, outs[i], on_line);
        if (p[2].revents != 0)
            timeout = 0;
    }
    for (Output &out : outs)
        if (out.len > 0)
            pass_line(out, on_line);

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
