// Small steps shared by the object records: creating and opening object
// directories, syncing them once per batch, looking entries up without
// following links, writing or loading one attribute with its debug line, and
// walking a list file line by line.  `func` is the operation that logs;
// `dirpath` is the directory's path as shown in log lines.
#pragma once

#include <dirent.h>

#include <cstdlib>
#include <memory>

#include "daemon/syslog.h"
#include "io/io.h"
#include "object/attr.h"

// mkdirat(dirfd, name, 0777) after the debug line "<dirpath>/<name> [MKDIR]".
// An existing entry is fine when exist_ok.  0, or -1 after
// "mkdir(<dirpath>/<name>): <error>".
int store_mkdirat(const char *func, int dirfd, const char *dirpath, const char *name,
                  bool exist_ok = true);
// Opens a directory below dirfd read-only through the door (store_open),
// never through a link; a failure is logged as fd_openat's.  The
// descriptor, or -1.
int store_opendirat(int dirfd, const char *name);
// store_open(dirfd, name, flags) for an entry that may be missing: the
// descriptor; -2 without a message when it does not exist; -1 after
// "openat(<name>): <error>" for any other failure.
int store_openat_opt(int dirfd, const char *name, int flags);
// fsyncs the directory (a failure only logs "fsync(<fd>): <error>" at warn
// level) and closes it.  Ends every batch of writes in an object directory.
void store_sync_close(const char *func, UniqueFd &dir);
// Looks name up in dirfd without following links: 1 present (whatever it
// is), 0 absent (ENOENT), -1 any other failure (no message; errno is set).
int store_lookup(int dirfd, const char *name);

// Loads a "%u" attribute that must convert exactly one item.  0 after the
// debug line "<dirpath>/<key>=<value>"; -1 after "Failed to load
// <dirpath>/<key>: <reader result>".
int store_load_u32(const char *func, int dirfd, const char *dirpath, const char *key,
                   unsigned *value);
// Loads a text attribute into dst[0..cap) with StringLoad.  Its length after
// the debug line "<dirpath>/<key>=<value> (<length>)" (value shown with
// precision width); -1 after "Failed to load <dirpath>/<key>: <result>".
int store_load_text(const char *func, int dirfd, const char *dirpath, const char *key,
                    char *dst, int cap, int width);

// Logs "<dirpath>/<key>=<value>" at debug level and writes "<value>\n" to
// dirfd/key; evaluates to AttrStore's result.  key and vfmt are literals, so
// the compiler checks the format against the values.
#define STORE_ATTR(func, dirfd, dirpath, key, vfmt, ...)                   \
    (log_debug(func, "%s/" key "=" vfmt, dirpath __VA_OPT__(, ) __VA_ARGS__), \
     AttrStore(dirfd, key, vfmt "\n" __VA_OPT__(, ) __VA_ARGS__))

// Owns an open directory stream (opendir) and closes it on every path.
struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Reads the entries of a directory opened by the caller (O_DIRECTORY) in
// batches with getdents64().  opendir() would fstat() the directory on every
// opening to size its buffer; this reader costs only the open, the batch
// reads and the close.  The descriptor is closed with the reader.
class DirEntries {
public:
    explicit DirEntries(int fd) : fd_(fd) {}
    int fd() const { return fd_.get(); }
    // The next entry's name ("." and ".." included); nullptr at the end
    // (errno 0) or when a read fails (errno set).
    const char *next();

private:
    UniqueFd fd_;
    size_t pos_ = 0;  // next entry in buf_
    size_t end_ = 0;  // bytes of the last batch
    // As large as the C library's directory stream buffer, so that a
    // directory takes as many reads as before.
    alignas(8) char buf_[32768];
};

// The largest list file a writer makes: a line of at most 16 bytes (a node
// id or a dotted quad and its newline) per item, and at most 65535 items (a
// message's counts are 16-bit).  A larger file is malformed, never read.
inline constexpr long LIST_FILE_MAX = 16L * 65535;

// A list file (membership, frontend) read whole with FileLoad and walked one
// newline-terminated line at a time.  The text is freed with the reader.
class ListFile {
public:
    // load()'s result when the last byte is not a newline, or when the
    // file is larger than LIST_FILE_MAX.
    static constexpr int MALFORMED = -2;

    // Opens `name` below dirfd read-only and reads it whole.  0 (an empty
    // file, or a missing one when missing_is_empty, gives no lines and
    // empty() true); -1 when the open or the read failed (the failing call
    // has logged); MALFORMED when the last byte is not a newline (not logged:
    // the caller names the file in its message).  Anything but a regular
    // file at the name is unreadable (-1), never an empty list.
    int load(int dirfd, const char *name, bool missing_is_empty = false);
    // Whether the loaded file held no bytes at all.
    bool empty() const { return line_ == nullptr; }
    // The number of lines not yet handed out by next().
    size_t lines_left() const;
    // The next line with its newline replaced by a NUL; nullptr after the
    // last one.
    char *next();

private:
    struct FreeText {
        void operator()(char *p) const { std::free(p); }
    };
    std::unique_ptr<char, FreeText> text_;
    char *line_ = nullptr;
    char *end_ = nullptr;
};
