// The receive path: one datagram from the UDP socket, checked, counted and
// handed to the handler of its message type.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstddef>

class VDiskTree;

// Results of receive_msg, telling the loop how its pass goes on.
enum RxResult {
    RX_HANDLED = 0,   // handled (whatever the handler's outcome) or refused
                      // by authentication: go on
    RX_DROPPED = -1,  // too short or unformattable source: end the pass
    RX_FAILED = -2,   // the receive itself failed: leave the loop
};

// Receives one datagram into `buf` (`buflen` bytes) from `so`, retrying an
// interrupted receive.  A datagram shorter than a header is dropped; with
// auth_mode sign or require its trailer is checked (auth.h) and, in require
// mode, a datagram without a valid one refused; any other is counted under
// ALL and its type and dispatched without its trailer.  `vdt` is the
// loop's scratch tree for vdisk messages; it is empty again on return.
// One of RxResult; every failure is logged.
int receive_msg(char *buf, size_t buflen, int so, VDiskTree &vdt);

// Everything after the receive itself, for a datagram of `r` bytes at the
// start of `buf` from `from`: the same checks, counting, dispatch and
// clean-up as receive_msg (which calls it).  RX_HANDLED or RX_DROPPED; never
// RX_FAILED.  Every read of the datagram stays within its r bytes.
int apply_datagram(char *buf, ssize_t r, const struct sockaddr_in *from, VDiskTree &vdt);
