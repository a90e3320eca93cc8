// Talking to a running daemon: one command line on its CTRL port, or a
// signal to the pid in its pid file.  Failures come back as a message for
// the operator, never as a log line.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/busy.h"

// Checks a node id argument: decimal digits only, at most 4294967295.  The
// daemon compares node ids as text, so the id is rewritten in the form it
// uses ("007" becomes "7").  0 with *canonical set; -1 with *why set.
int node_arg_check(const std::string &text, std::string *canonical, std::string *why);
// Checks a vdisk uuid argument as the daemon reads it from a command line
// (arguments end at a blank, a line at a newline) and as the store names
// objects: 1 to 14 characters, no blank or other control or white-space
// character, not "." or "..", no "/".  0; -1 with *why set.
int uuid_arg_check(const std::string &text, std::string *why);

// The CTRL command line (without its newline) for the operator command
// "single-vdisk-ping", "ds-ping" or "vdisk-deleted" with its arguments
// (vdisk ignored for ds-ping).  The arguments are checked as above, and the
// line is read back with the daemon's own parser, which must find exactly
// this command and these arguments.  0 with *line set; -1 with *why set.
int ctrl_line_build(const std::string &command, const std::string &node, const std::string &vdisk,
                    std::string *line, std::string *why);

// Connects to addr:port over TCP and writes `line` (which ends in "\n") in
// full, then closes the connection.  0; -1 with *why set ("connection
// refused" and the like).
int ctrl_send(const std::string &addr, int port, const std::string &line, std::string *why);

// What the daemon's `counters` command reports.
struct DaemonCounters {
    // "NAME VALUE" lines in the daemon's order: counts since it started.
    std::vector<std::pair<std::string, unsigned long long>> counters;
    // "local NODE LAST_SENT [PINGS_NOT_SENT [UNSENT_RUN]]" lines: this host's nodes and
    // when the daemon last sent a datagram of each (seconds since the
    // epoch; 0: never).
    std::vector<std::pair<std::string, long long>> local;
    // "reload_refused NAMES": the settings whose files the daemon's last
    // reload refused (comma-separated); empty when it took them all.
    std::string reload_refused;
    // The ping cycles that could not send each local node's PING (absent
    // from a daemon that does not count them).
    std::map<std::string, unsigned long long> pings_not_sent;
    // Of those, the last ones in a row: 0 once a PING of the node went out.
    std::map<std::string, unsigned long long> pings_unsent_run;
    // "last COUNTER TIME": when a counter last rose (seconds since the
    // epoch), for those whose rises matter while recent.
    std::map<std::string, long long> last_rise;
};
// How long the reply to `counters` is waited for: the daemon answers
// between two datagrams, but a lock wait or a fence check may hold it up.
inline constexpr int COUNTERS_TIMEOUT_MS = 5000;
// Sends `counters` on the CTRL port at addr:port and reads the reply up to
// its "end" line, within timeout_ms.  Lines of another shape are skipped
// (a later daemon may add some).  0 with *out set; -1 with *why set (no
// connection, no complete reply in time).
int ctrl_counters(const std::string &addr, int port, DaemonCounters *out, std::string *why,
                  int timeout_ms = COUNTERS_TIMEOUT_MS);

// A configured path as the daemon resolves it: a relative one is taken from
// the work directory.
std::string work_path(const std::string &work_directory, const std::string &path);

// The node ids of the configured local nodes file (cfg_local_nodes), read
// by the daemon's own reader, in file order.  0; -1 with *why set when the
// file cannot be read or has a malformed line.
int local_nodes_file(std::vector<std::string> *ids, std::string *why);

// What the daemon would refuse on a reload (SIGHUP), read with its own
// readers: the local nodes and unicast hosts files, and with auth_mode sign
// or require the key file.  0 when it would take them all; -1 with *why set
// to the first file refused and why.
int reload_check(std::string *why);

// Reads the pid file ("<pid>\n") and checks that the process exists.  0
// with *pid set; -1 with *why set.
int daemon_pid(const std::string &pid_path, pid_t *pid, std::string *why);

// Whether the daemon runs: the process the pid file names exists and the
// CTRL port answers `counters` (the daemon never removes its pid file, so
// after a stop the pid may belong to another program, whatever its name).
// A daemon that runs but does not answer because it waits for a fence
// check is busy, not down.
struct DaemonState {
    bool up = false;
    pid_t pid = 0;
    DaemonCounters counters;  // when up
    std::string why;          // when not up: what failed
    bool busy = false;        // not up, waiting for `fence`
    FenceCheckRun fence;
};
// Looks at the daemon of the configuration read (cfg_*).
DaemonState daemon_state();
// This host's nodes: the daemon's list when it runs, else the file's (an
// unreadable file gives none).
std::vector<std::string> local_node_ids(const DaemonState &daemon);
// daemon_state, then sends sig to the daemon's pid.  0; -1 with *why set.
int signal_daemon(int sig, std::string *why);
