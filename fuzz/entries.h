// The fuzz entry points, shared by the libFuzzer targets (clang) and the
// replay test of the normal build.  Each *_init prepares the process once;
// each *_one runs one input through the daemon's own code and aborts on any
// broken invariant (a crash or sanitizer report ends the run by itself).
//
//     receive  one datagram through apply_datagram, the loop's receive path
//              after recvfrom, against a scratch object store
//     ctrl     one read of a CTRL connection through ctrl_cmd_parse and
//              handle_ctrl_cmd, with local nodes 101 and 102 in the store
//     config   one configuration file through config_read
#pragma once

#include <cstddef>
#include <cstdint>

// Moves the process into a private mount namespace with its own /tmp (root
// only), so that lock files and stray writes are seen by nobody else and
// any new entry there is a finding.  true when /tmp is now private.
bool fuzz_private_tmp();

// strict_tmp: as fuzz_store_setup.
void fuzz_receive_init(bool strict_tmp);
void fuzz_receive_one(const uint8_t *data, size_t size);

void fuzz_ctrl_init(bool strict_tmp);
void fuzz_ctrl_one(const uint8_t *data, size_t size);

void fuzz_config_init();
void fuzz_config_one(const uint8_t *data, size_t size);
