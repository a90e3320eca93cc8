// The daemon's log: one syslog call per message, in one form:
//
//     "<level>: <operation>(): <text>"
//
// Call sites read as level, operation, text:
//
//     log_error("fd_open", "open(%s): %s", path, strerror(errno));
//
// The macros paste the level word and the "%s(): " prefix onto the literal
// format, so the compiler checks every placeholder against its argument
// (glibc declares syslog() with the printf format attribute).  Every format
// ends in a final "%s" that receives an empty string.
#pragma once

#include <syslog.h>

// The priorities the log passes on: the mask syslog_module_setup() gives
// setlogmask().  A line outside it is dropped before its arguments are even
// evaluated, so debug lines cost nothing when debug is off.
extern int syslog_mask;
inline bool log_enabled(int prio) { return (syslog_mask & LOG_MASK(prio)) != 0; }

#define MARLO_LOG(prio, word, func, fmt, ...)                                          \
    (log_enabled(prio) ? ::syslog(prio, word ": %s(): " fmt "%s", func __VA_OPT__(, ) __VA_ARGS__, "") \
                       : void())

#define log_error(func, fmt, ...) MARLO_LOG(LOG_ERR, "error", func, fmt __VA_OPT__(, ) __VA_ARGS__)
#define log_warn(func, fmt, ...) MARLO_LOG(LOG_WARNING, "warn", func, fmt __VA_OPT__(, ) __VA_ARGS__)
#define log_notice(func, fmt, ...) MARLO_LOG(LOG_NOTICE, "notice", func, fmt __VA_OPT__(, ) __VA_ARGS__)
#define log_info(func, fmt, ...) MARLO_LOG(LOG_INFO, "info", func, fmt __VA_OPT__(, ) __VA_ARGS__)
#define log_debug(func, fmt, ...) MARLO_LOG(LOG_DEBUG, "debug", func, fmt __VA_OPT__(, ) __VA_ARGS__)

// Opens (or reopens) the log with the configured identity, facility and
// priority mask; -d (or syslog_copy_stderr) copies lines to standard error,
// -d -d lifts the mask.
void syslog_module_setup();
// Copy lines to standard error without -d: set while the detached daemon
// starts, whose standard error then goes to the waiting starter.
extern bool syslog_copy_stderr;
// Writes an error message (with its newline) to standard error, where the
// messages before the log matters go.  Under a service manager that connects
// standard error to the journal (JOURNAL_STREAM names it) the message gets
// the prefix "<3>", so that the journal files it at err priority instead of
// the stream's default info.
void print_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Closes the log; asserts that it is open.
void syslog_module_teardown();
extern int syslog_module_initialized;
