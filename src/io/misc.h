// Tree removal, signal-safe sleeping and the daemon's stop request.
#pragma once

#include <signal.h>

// Removes the directory dirpath and everything below it, never following
// symbolic links.  0 when removed or when the path does not exist; -1 when the
// path cannot be examined or a removal failed; -2 when it is not a directory.
int rm_fr(const char *dirpath);

// Sleeps ms milliseconds once, with SIGINT, SIGTERM and SIGHUP held back for
// the length of the sleep.  0, or minus the error number of the sleep call
// (-EINTR when another signal cut it short).
int msleep(int ms);

// The flag that ends the daemon's waits early (its stop request); nullptr:
// none.  Whether it is set now.
void stop_flag_watch(const volatile sig_atomic_t *flag);
bool stop_requested();

// msleep in slices of at most a second, looking at the stop flag before
// each, so that a stop signal (held back while a slice lasts) ends the sleep
// within a second.  0 after the whole sleep; 1 when a stop was requested.
int msleep_unless_stopped(int ms);
