#include "daemon/service.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "daemon/config.h"
#include "daemon/syslog.h"

namespace {

// The detached daemon has not told the starting process yet.
bool starting = false;

// The starting process: the detached daemon's standard error is the pipe
// `fd`, and a NUL byte on it (never part of a log line) says that the
// daemon serves.  The end of the pipe without it means the daemon ended:
// what it wrote goes to this standard error, and its exit status (1 when a
// signal ended it) becomes this process's.
[[noreturn]] void starter_wait(pid_t child, int fd)
{
    std::string said;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (std::memchr(buf, '\0', size_t(n)) != nullptr)
            ::_exit(0);
        said.append(buf, size_t(n));
    }
    std::fwrite(said.data(), 1, said.size(), stderr);
    int status = 0;
    pid_t w;
    do {
        w = ::waitpid(child, &status, 0);
    } while (w < 0 && errno == EINTR);
    if (w < 0)
        print_error("error: waitpid(%d): %s\n", int(child), strerror(errno));
    else if (WIFSIGNALED(status))
        print_error("error: the daemon was killed by signal %d (%s) before it served\n",
                    WTERMSIG(status), strsignal(WTERMSIG(status)));
    else if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        ::_exit(WEXITSTATUS(status));
    ::_exit(1);
}

// Sends msg to the service manager's socket NOTIFY_SOCKET (a path, or an
// abstract name written with a leading '@'); nothing when it is not set.
void service_notify(const char *msg)
{
    static const char F[] = "service_notify";
    const char *name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || name[0] == '\0')
        return;
    struct sockaddr_un sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    const size_t len = std::strlen(name);
    if ((name[0] != '/' && name[0] != '@') || len >= sizeof sa.sun_path) {
        log_error(F, "Unusable NOTIFY_SOCKET %s", name);
        return;
    }
    std::memcpy(sa.sun_path, name, len);
    if (name[0] == '@')
        sa.sun_path[0] = '\0';  // an abstract name has no terminating NUL
    const socklen_t salen = socklen_t(offsetof(struct sockaddr_un, sun_path) + len);

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        log_error(F, "socket(): %s", strerror(errno));
        return;
    }
    ssize_t n;
    do {
        n = ::sendto(fd, msg, std::strlen(msg), MSG_NOSIGNAL, (struct sockaddr *)&sa, salen);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        log_error(F, "sendto(%s): %s", name, strerror(errno));
    ::close(fd);
}

}  // namespace

int service_start()
{
    const char *notify = std::getenv("NOTIFY_SOCKET");
    if (opt_debug > 0 || (notify != nullptr && notify[0] != '\0'))
        return 0;

    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        print_error("error: pipe2(): %s\n", strerror(errno));
        return -1;
    }
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0) {
        print_error("error: open(/dev/null): %s\n", strerror(errno));
        return -1;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        print_error("error: fork(): %s\n", strerror(errno));
        return -1;
    }
    if (pid > 0) {
        ::close(p[1]);
        starter_wait(pid, p[0]);
    }

    ::close(p[0]);
    ::setsid();  // a new session, away from the starter's terminal
    if (::dup2(null, 0) < 0 || ::dup2(null, 1) < 0 || ::dup2(p[1], 2) < 0) {
        print_error("error: dup2(): %s\n", strerror(errno));
        return -1;
    }
    ::close(null);
    ::close(p[1]);
    // A starter that is gone (interrupted) must not end the start.
    ::signal(SIGPIPE, SIG_IGN);
    starting = true;
    syslog_copy_stderr = true;
    syslog_module_setup();
    return 0;
}

void service_ready()
{
    if (starting) {
        starting = false;
        syslog_copy_stderr = false;
        syslog_module_setup();
        (void)!::write(2, "", 1);
        ::dup2(0, 2);  // /dev/null from here on
    }
    char msg[64];
    std::snprintf(msg, sizeof msg, "READY=1\nMAINPID=%d", int(::getpid()));
    service_notify(msg);
}

void service_stopping() { service_notify("STOPPING=1"); }
