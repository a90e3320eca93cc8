// The object store's seam to the file system: one-value attribute files
// relative to an open object directory, whole-file reads for list files,
// lock files in /tmp, and the check that keeps names from a datagram or from
// the store inside the work directory.
#pragma once

#include <climits>
#include <cstdint>

#include "io/io.h"
#include "proto/records.h"

// Writes the formatted text (never empty; ends in "\n") as the whole content
// of dirfd/key (created 0666, truncated).  Never writes through a link: a
// symbolic link at the name is removed (not its target) and the file made
// anew, with a notice line; a directory there fails the write.  Bytes
// written, or -1.
int AttrStore(int dirfd, const char *key, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// AttrStore that leaves the written file open in `held` (on success), for a
// caller whose next step must follow the write with no other file-system
// call in between.
int AttrStoreHeld(int dirfd, const char *key, UniqueFd &held, const char *fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Reads dirfd/key (1..255 bytes ending in "\n") and scans it with fmt.
// The scanner's result (items converted, or -1), or -1 on a read failure.
int AttrLoad(int dirfd, const char *key, const char *fmt, ...)
    __attribute__((format(scanf, 3, 4)));
// Reads dirfd/key into dst[0..dst_len) (dst_len < 256), NUL-filled; a value of
// exactly dst_len characters has no terminator.  The value's length; 0 for an
// empty file (dst untouched); -1 on failure (dst untouched).
int StringLoad(int dirfd, const char *key, char *dst, int dst_len);
// AttrProbe's result for a file that was read and is damaged: absent, empty,
// oversized, or without its final newline.
constexpr int ATTR_DAMAGED = -2;
// Reads dirfd/key like StringLoad, telling a damaged file from one that
// cannot be read.  The value's length (value NUL-terminated, newline
// dropped); ATTR_DAMAGED (no message: the caller says what it does about
// it); -1 when the file cannot be read (EIO, EACCES, EISDIR, ...; logged).
int AttrProbe(int dirfd, const char *key, char (&value)[256]);
// FileLoad's result for a file larger than the caller's max_size.
constexpr long FILE_OVERSIZED = -2;
// Reads the whole open file into a new NUL-terminated buffer that the caller
// frees with free().  The size (0: empty, *buf unchanged); FILE_OVERSIZED
// (nothing read or allocated, no message) when larger than max_size, so that
// a huge or sparse file costs no memory; -1 on failure.
long FileLoad(int fd, char **buf, long max_size = LONG_MAX);

// Takes the lock file `path`, backing off 50, 100, 200 ... ms up to
// timeout_ms.  The file is written (pid and newline) and synced before it gets
// its name, so it never exists without its holder's pid (where the process
// can link an unnamed file: CAP_DAC_READ_SEARCH or /proc; otherwise it is
// created exclusively under its name).  A regular file of this process's own
// pid (an unlock that failed) is taken over; any other file, and anything
// else at the name (a FIFO, a directory, a link), is another program's lock.
// 0 acquired; -1 timed out; -2 open failed; -3 pid write failed; -4 fsync
// failed (on -3 and -4 no lock file is left).
int PathLock(const char *path, int timeout_ms);
// Locks that PathLock gave up on after their time-out, since the daemon started.
extern int64_t lock_timeouts;
// Removes the lock file.
void PathUnlock(const char *path);
// Removes from dirpath the lock files (NODE-*, DS-*, VDISK-*) holding the pid
// stale_pid (> 0) that no process can have written under that pid: no
// process has it, or the one that has it started after the file was last
// written.  One notice line per file removed or kept; files of other holders
// stay.  For the locks a killed run of this daemon left behind.  The number
// removed, or -1.
// *kept (when given) receives the number of files kept.
int lock_files_reclaim(const char *dirpath, int stale_pid, int *kept = nullptr);

// The work directory's record of the pid that this daemon's lock files carry
// (a file of the daemon's own; a service manager may remove the pid file).
inline constexpr char LOCK_HOLDER_FILE[] = "lock_holder";
// At start-up, once the daemon has bound its sockets (a second instance on
// the same configuration fails before this and touches nothing): reclaims in
// lock_dir the lock files of the pid the record names (lock_files_reclaim),
// then records this process's pid, synced.  0, or -1 when the record cannot
// be written (logged).
int lock_holder_update(const char *lock_dir);

// Lock families: "/tmp/NODE-%u", "/tmp/DS-%.*s" (14) and their text forms.
int NodeLock(uint32_t nodeid);
void NodeUnlock(uint32_t nodeid);
int NodeLockStr(const char *nodeuuid);
void NodeUnlockStr(const char *nodeuuid);
int DatastoreLock(const DatastoreEntry *dse);
void DatastoreUnlock(const DatastoreEntry *dse);
int DatastoreLockStr(const char *dsuuid);
void DatastoreUnlockStr(const char *dsuuid);

// A name used as a path component or inside a lock-file name must be
// non-empty, not "." or "..", and free of "/".  Returns 0 when it may be
// used; otherwise logs "error: <func>(): Refusing <what> name `<name>'" and
// returns -1.  Every such use goes through this check.
int ObjectNameCheck(const char *func, const char *what, const char *name);
