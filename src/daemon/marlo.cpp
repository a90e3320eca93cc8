// The marlo daemon: brings the modules up in a fixed order, enters the work
// directory, detaches, binds its sockets, records its pid, tells whoever
// started it that it serves and runs the controller loop on the main thread
// until a stop is requested.  The only place that decides the exit status: 0
// after an orderly shutdown, 1 for everything else.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "controller/auth.h"
#include "controller/controller.h"
#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/service.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "object/attr.h"

namespace {

[[noreturn]] void usage(const char *prog)
{
    std::fprintf(stderr, "Usage: %s [-dh] [-C config]\n", prog);
    std::exit(1);
}

void parse_options(int argc, char **argv)
{
    opterr = 0;  // the usage line is the only complaint
    int c;
    while ((c = getopt(argc, argv, "dC:hV")) != -1) {
        switch (c) {
        case 'd':
            opt_debug++;
            break;
        case 'C':
            opt_config = optarg;
            break;
        case 'V':  // which release a host runs, for the package and for scripts
            std::printf("marlo %s\n", MARLO_VERSION);
            std::exit(std::fflush(stdout) == 0 ? 0 : 1);
        default:  // -h, an unknown option, -C without its path
            usage(argv[0]);
        }
    }
}

// Creates (last component only) and enters the work directory.  Messages go
// to standard error: the process has not detached yet.  0 or -1.
int enter_work_directory()
{
    const char *dir = cfg_work_directory.c_str();
    if (mkdir(dir, 0777) != 0 && errno != EEXIST) {
        print_error("error: mkdir(%s): %s\n", dir, strerror(errno));
        return -1;
    }
    if (chdir(dir) != 0) {
        print_error("error: chdir(%s): %s\n", dir, strerror(errno));
        return -1;
    }
    // The store builds absolute paths from the work directory and never
    // relies on the current directory: a relative setting, which would now
    // resolve against the work directory itself, becomes the absolute path.
    if (dir[0] != '/') {
        char cwd[4096];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            print_error("error: getcwd(): %s\n", strerror(errno));
            return -1;
        }
        cfg_work_directory = cwd;
    }
    return 0;
}

// Writes "<pid>\n" to the pid file (relative to the work directory), synced
// to disk.  The file is never removed.  0, or -1 after logging the failure.
int write_pid_file()
{
    const int pid = getpid();
    UniqueFd fd(fd_open(cfg_pid_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!fd)
        return -1;
    char pid_file[16];
    const int len = std::snprintf(pid_file, sizeof pid_file, "%d\n", pid);
    MARLO_ASSERT(len >= 1 && len <= 15);
    const ssize_t n = buf_tx(fd.get(), pid_file, size_t(len), 1);
    if (n < 0)
        return -1;
    MARLO_ASSERT(n == len);
    if (fsync(fd.get()) != 0) {
        log_error("main", "fsync(%s): %s", cfg_pid_file.c_str(), strerror(errno));
        return -1;
    }
    return fd.reset() < 0 ? -1 : 0;
}

}  // namespace

int main(int argc, char **argv)
{
    parse_options(argc, argv);

    config_module_setup();
    syslog_module_setup();
    config_load();  // exits with status 1 on any error in the file

    umask(022);
    if (enter_work_directory() < 0)
        return 1;
    // The key file, like the other relative paths, is taken from the work
    // directory; a refused one stops the start here, on standard error.
    std::string auth_error;
    if (auth_setup(&auth_error) < 0) {
        print_error("%s", auth_error.c_str());
        return 1;
    }
    if (service_start() < 0)
        return 1;

    config_dump();
    // The pid file is written once the sockets are bound: a second instance,
    // which cannot bind them, leaves the running one's pid file alone.
    if (controller_module_setup() < 0 || controller_listen() < 0)
        return 1;
    // A run killed while it held locks (SIGKILL, out of memory, abort) left
    // lock files with its pid: they would lock their objects for ever.  Only
    // now that the sockets are bound, so that a second instance started by
    // mistake has failed before it touches another's locks.
    if (lock_holder_update("/tmp") < 0)
        return 1;
    if (write_pid_file() < 0)
        return 1;

    service_ready();
    if (controller_thread_loop() < 0)
        return 1;
    service_stopping();

    controller_module_teardown();
    auth_teardown();
    config_module_teardown();
    syslog_module_teardown();
    return 0;
}
