// The one way into the store, for the daemon and for marloctl alike.  The
// work directory and its three top directories (VDisk/, Node/, Datastore/)
// are opened once and held; every other access is relative to a held
// directory descriptor, so no store path is ever resolved by name from "/".
// Every open carries O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC, and a name of
// several components is resolved without following a link at any of them:
// a link planted anywhere in the store never redirects a read or a write,
// and a FIFO or a device node never blocks one.  Writes open O_WRONLY.
#pragma once

#include <sys/types.h>

enum class StoreTop { VDISK, NODE, DATASTORE };

// "VDisk", "Node", "Datastore".
const char *store_top_name(StoreTop top);

// openat() of rel below dirfd with O_NOFOLLOW, O_NONBLOCK and O_CLOEXEC
// added, never following a link at any component of rel; no message.  flags
// must not hold O_RDWR (asserted).  The descriptor, or -1 with errno set
// (ELOOP for a link at any component).
int store_open(int dirfd, const char *rel, int flags, mode_t mode = 0);

// Opens the work directory named by path, as the configuration names it:
// the administrator's path may pass through links (/var/run, a mount point
// of its own), but a link at the work directory's own name is never
// followed.  The descriptor, or -1 with errno set; no message.
int store_open_work(const char *path);
// The held descriptor of the top directory, opened (and, when `create`,
// made) at its first use.  A link or anything but a directory there is
// never followed.  The descriptor (the door keeps it); -2 when the top
// directory is missing and not to be made (no message); -1 after the error
// line.
int door_top(const char *func, StoreTop top, bool create);
// The held descriptor of the work directory itself (for the daemon's own
// files there), opened at its first use; never through a link.  The
// descriptor (the door keeps it), or -1 after the error line.
int door_work(const char *func);
// Opens rel (an object's name, "name/sub" for a directory in it) below the
// top directory with store_open.  The descriptor; -2 when it is missing and
// missing_ok (no message); -1 after "open(<work>/<top>/<rel>): <error>",
// errno kept.
int door_open(const char *func, StoreTop top, const char *rel, int flags,
              bool missing_ok = false);
// Makes the object directory top/name (mode 0777) after the debug line
// "<work>/<top>/<name> [MKDIR]"; an existing entry is fine when exist_ok.
// 0, or -1 after the error line.
int door_mkdir(const char *func, StoreTop top, const char *name, bool exist_ok = true);
// Looks rel up below the top directory without following its last
// component: 1 present, 0 absent, -1 any other failure (errno set; no
// message).  Reads no content, so a link at an inner component may lead the
// look-up astray but never a read or a write.
int door_lookup(StoreTop top, const char *rel);
// Forgets the held descriptors: the next access opens them again.
void door_close();

// Removes dirfd/name and everything below it, never following a link (a
// link is removed, not its target) and never leaving the file system.
// `shown` is the entry's path for the debug and error lines.  0 when removed
// or absent; -1 after the error line.
int store_rm_tree(const char *func, int dirfd, const char *name, const char *shown);
