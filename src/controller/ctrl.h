// Control (CTRL) connections: local tools connect to the TCP control port and
// write one-line text commands.  The loop accepts at most one connection per
// pass and reads each readable connection once per pass; what a command does
// is up to handle_ctrl_cmd (ctrl_cmd.h).
#pragma once

#include <sys/select.h>

#include <cstddef>
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

// Accepts one connection on the listening socket `ctrlso` and appends it to
// `ccl` (non-blocking, logged).  0 when a connection was added; -1 when none
// was (allocation, accept or fcntl failure, or a descriptor too large for
// the select() set; each logged).
int ctrl_conn_accept(int ctrlso, CtrlConnList &ccl);
// Reads once from every connection of `ccl` whose socket is in `ready` and
// hands the text to handle_ctrl_cmd with the message buffer and the UDP
// socket; a connection at end of file or with a read error is closed and
// dropped.  The number of connections dropped.
int ctrl_conns_serve(CtrlConnList &ccl, const fd_set *ready, char *buf, size_t buflen, int so);
