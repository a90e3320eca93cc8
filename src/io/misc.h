// Tree removal and signal-safe sleeping.
#pragma once

// Removes the directory dirpath and everything below it, never following
// symbolic links.  0 when removed or when the path does not exist; -1 when the
// path cannot be examined or a removal failed; -2 when it is not a directory.
int rm_fr(const char *dirpath);

// Sleeps ms milliseconds once, with SIGINT, SIGTERM and SIGHUP held back for
// the length of the sleep.  0, or minus the error number of the sleep call
// (-EINTR when another signal cut it short).
int msleep(int ms);
