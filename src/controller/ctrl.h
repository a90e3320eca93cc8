// Control (CTRL) connections: local tools connect to the TCP control port and
// write one-line text commands.  The loop accepts at most one connection per
// pass and reads each readable connection once per pass; what a command does
// is up to handle_ctrl_cmd (ctrl_cmd.h).
#pragma once

#include <sys/resource.h>
#include <sys/select.h>

#include <cstddef>
#include <ctime>
#include <list>
#include <memory>

#include "io/io.h"

// One accepted connection.
struct CtrlConn {
    UniqueFd so;     // the connection's socket; none until accepted
    int port;        // client's TCP port
    char addr[16];   // client's IPv4 address as dotted text
    char buf[1024];  // one read: at most 1023 bytes and a zero byte
};
// Open connections in accept order.
using CtrlConnList = std::list<std::unique_ptr<CtrlConn>>;

// Stores a new zeroed connection record (no socket) in `out`.  0, or -1 with
// the calloc line logged.
int CtrlConnAlloc(std::unique_ptr<CtrlConn> &out);
// Logs the closing line and closes the socket if one is open, then releases
// the record.  The caller has already taken it out of its list.
void CtrlConnFree(std::unique_ptr<CtrlConn> ccp);
// Frees every connection in list order (each logging its closing); the list
// is left empty.
void CtrlConnListFlush(CtrlConnList &ccl);

// Who may connect.  Connections are bounded well below the descriptor
// limit, so that clients never take the descriptors the store's locks,
// directories and attribute files and the fence check need.  At the bound a
// new connection is accepted and closed at once rather than the oldest idle
// one dropped: a tool may keep its connection open between commands, and an
// accepted connection is never cut because someone else connects; reaching
// the bound means a misbehaving client, which must not be able to evict the
// others in turn.  When accepting fails (out of descriptors or memory, the
// connection then stays pending and the listening socket readable), the
// loop stops watching the listening socket for a while instead of retrying
// on every pass.
struct CtrlAdmission {
    size_t limit = 0;           // connections open at once, at most
    time_t resume_at = 0;       // accepting paused until then; 0: accepting
    int pause_s = 0;            // length of the current pause
    time_t notice_ts = 0;       // time of the last refusal notice
    unsigned long refused = 0;  // refusals since that notice, not yet logged

    bool paused() const { return resume_at != 0; }
};

// Descriptors kept for everything but CTRL connections: the standard
// streams, the log socket, the UDP and listening sockets, and the few
// descriptors the store holds at once (object directories, an attribute or
// lock file), with room to spare.
inline constexpr rlim_t CTRL_FD_RESERVE = 32;
// The connection bound for `free_fds` descriptors not yet in use out of the
// process's limit: all but CTRL_FD_RESERVE of them, or half of a small
// number.  Never so many that a connection's descriptor would not fit the
// select() set.
size_t ctrl_conn_limit(rlim_t free_fds);
// The admission state at the loop's start: the bound from RLIMIT_NOFILE and
// the highest descriptor open so far (`top_fd`, the loop's last socket).
CtrlAdmission ctrl_admission(int top_fd);
// Ends a pause of accepting once its time has come or when `freed` (a
// connection was closed, so descriptors are back).  true when accepting
// resumes: the read set must then watch the listening socket again.
bool ctrl_accept_resume(CtrlAdmission &adm, bool freed);

// ctrl_conn_accept's result when accepting failed and is paused.
inline constexpr int CTRL_ACCEPT_PAUSED = -2;
// Accepts one connection on the listening socket `ctrlso` and appends it to
// `ccl` (non-blocking, logged).  0 when a connection was added; -1 when none
// was (a connection beyond the bound, refused with a notice at most once a
// minute; a descriptor too large for the select() set or an fcntl failure,
// each logged); CTRL_ACCEPT_PAUSED when allocation or accept failed (logged)
// and `adm` now pauses accepting, from 1 s doubling up to 32 s while the
// failures go on.  0 and CTRL_ACCEPT_PAUSED change the read set.
int ctrl_conn_accept(int ctrlso, CtrlConnList &ccl, CtrlAdmission &adm);
// Reads once from every connection of `ccl` whose socket is in `ready` and
// hands the text to handle_ctrl_cmd with the message buffer and the UDP
// socket; a connection at end of file or with a read error is closed and
// dropped.  The number of connections dropped.
int ctrl_conns_serve(CtrlConnList &ccl, const fd_set *ready, char *buf, size_t buflen, int so);
