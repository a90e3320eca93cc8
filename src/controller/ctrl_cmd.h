// Commands received on a CTRL connection.
#pragma once

#include <cstddef>

struct CtrlConn;

// Interprets the text that one read left in ccp->buf, using the controller's
// message buffer `buf` (`buflen` bytes) and the UDP socket `so` for whatever
// it sends.  0 when the text was handled or ignored; -1 for a malformed line
// or a missing argument.  The connection stays open either way.
int handle_ctrl_cmd(CtrlConn *ccp, char *buf, size_t buflen, int so);
