// Commands received on a CTRL connection: one text line naming a local node
// (and a vdisk where needed) that makes the daemon announce it at once, or
// asking for the daemon's counters.  Only `counters` writes back to the
// client; the announcing commands' outcome shows in the log and in the
// datagrams sent.
//
//     single_vdisk_ping <node> <vdisk>   SINGLE_VDISK_PING, then AUX_PING
//     ds_ping <node>                     DS_PING
//     vdisk_deleted <node> <vdisk>       VDISK_DELETED, then AUX_PING
//     counters                           the counters (stats.h), then "end"
#pragma once

#include <cstddef>

struct CtrlConn;

// The command a line starts with; CTRL_IGNORED for any other line.
enum CtrlCmdKind {
    CTRL_IGNORED,
    CTRL_SINGLE_VDISK_PING,
    CTRL_DS_PING,
    CTRL_VDISK_DELETED,
    CTRL_COUNTERS,
};

// Results of ctrl_cmd_parse.
enum CtrlParseResult {
    CTRL_OK = 0,              // a command with its arguments, or an ignored line
    CTRL_MALFORMED = -1,      // no newline in the text
    CTRL_MISSING_NODE = -2,   // no blank after the command word
    CTRL_MISSING_VDISK = -3,  // no second blank (vdisk commands)
};

// One parsed line.  The pointers point into the parsed text.
struct CtrlCmd {
    CtrlCmdKind kind;
    const char *line;       // the first line, newline and a CR before it cut off
    const char *nodeuuid;   // node argument (may be empty); "" when missing
    const char *vdiskuuid;  // vdisk argument, to the end of the line; "" when missing
};

// Splits the NUL-terminated `text` (what one read delivered) in place: the
// first line is cut at its newline, the command word is matched
// case-insensitively by its first letters ("single_vdisk_ping", then
// "ds_ping", then "vdisk_deleted", then "counters"), and the arguments are
// split at single blanks (`counters` takes none: the rest of its line is
// not looked at).  Fills *cmd (kind, line and what was found) and returns one of
// CtrlParseResult.
int ctrl_cmd_parse(char *text, CtrlCmd *cmd);

// Interprets the text that one read left in ccp->buf and carries out the
// command, using the controller's message buffer `buf` (`buflen` bytes) and
// the UDP socket `so`.  0 when a command was recognised (whatever its
// outcome) or the line was ignored; -1 for a malformed line or a missing
// argument.  The connection stays open either way.
int handle_ctrl_cmd(CtrlConn *ccp, char *buf, size_t buflen, int so);

// The three actions.  Each finds the local node whose id text equals
// `nodeuuid` (none: nothing happens), reloads it like a ping cycle and sends
// what was asked for; failures end the action quietly (the store logs its
// own errors).
void send_single_vdisk_ping(const char *nodeuuid, const char *vdiskuuid, char *buf,
                            size_t buflen, int so);
void send_ds_ping(const char *nodeuuid, char *buf, size_t buflen, int so);
void send_vdisk_deleted(const char *nodeuuid, const char *vdiskuuid, char *buf, size_t buflen,
                        int so);

// Writes the counters' text (stats_counters_text, built in `buf`) on the
// connection in one non-blocking send: it is small enough for any socket
// buffer, so a send that would block or comes out short means a client
// that does not read, and the rest is dropped with an error line (the
// client sees no "end").  0, or -1 after the error line.
int reply_counters(CtrlConn *ccp, char *buf, size_t buflen);
