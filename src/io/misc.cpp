// Tree removal, sleeping with the stop and reload signals held back, and
// the stop request.
#include "io/misc.h"

#include <errno.h>
#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "daemon/check.h"
#include "daemon/syslog.h"

namespace {

const volatile sig_atomic_t *stop_flag = nullptr;

// Per-entry step of rm_fr: files and links are unlinked, directories removed
// once their contents are gone.  The call's result (0 or -1); -1 at once for
// an entry that could not be read or examined, which stops the walk.
int rm_fn(const char *fpath, const struct stat *, int typeflag, struct FTW *)
{
    int r;
    switch (typeflag) {
    case FTW_F:
    case FTW_SL:
    case FTW_SLN:
        r = ::unlink(fpath);
        log_debug("rm_fn", "unlink(%s): %d", fpath, r);
        return r;
    case FTW_DP:
        r = ::rmdir(fpath);
        log_debug("rm_fn", "rmdir(%s): %d", fpath, r);
        return r;
    default:
        return -1;
    }
}

}  // namespace

int rm_fr(const char *dirpath)
{
    struct stat st;
    if (::lstat(dirpath, &st) != 0) {
        if (errno == ENOENT)
            return 0;
        log_error("rm_fr", "lstat(%s): %s", dirpath, strerror(errno));
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        log_error("rm_fr", "%s not a directory!", dirpath);
        return -2;
    }
    return ::nftw(dirpath, rm_fn, 256, FTW_PHYS | FTW_MOUNT | FTW_DEPTH);
}

int msleep(int ms)
{
    sigset_t hold, saved;
    int rc = sigemptyset(&hold);
    rc |= sigaddset(&hold, SIGINT);
    rc |= sigaddset(&hold, SIGTERM);
    rc |= sigaddset(&hold, SIGHUP);
    MARLO_ASSERT(rc == 0);
    rc = sigprocmask(SIG_BLOCK, &hold, &saved);
    MARLO_ASSERT(rc == 0);

    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = long(ms % 1000) * 1000000L;
    int r = ::nanosleep(&ts, nullptr);
    int err = errno;

    // A stop or reload signal that came during the sleep is delivered here.
    rc = sigprocmask(SIG_SETMASK, &saved, nullptr);
    MARLO_ASSERT(rc == 0);
    return r == 0 ? 0 : -err;
}

void stop_flag_watch(const volatile sig_atomic_t *flag) { stop_flag = flag; }

bool stop_requested() { return stop_flag != nullptr && *stop_flag != 0; }

int msleep_unless_stopped(int ms)
{
    for (int left = ms; left > 0; left -= 1000) {
        if (stop_requested())
            return 1;
        msleep(std::min(left, 1000));
    }
    return stop_requested() ? 1 : 0;
}
