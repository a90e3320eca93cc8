// Datagram authentication (auth_mode sign or require): the key ring read
// from auth_keys, the trailer appended to every datagram sent, and the check
// of every datagram received before anything of it is applied.
//
// A received trailer is valid when its MAC matches under a key of the ring,
// its time lies within auth_window seconds of this host's clock, and its
// counter is new for the pair of sender (the header's node id) and key: above
// the highest seen, or one of the 64 below it not seen yet, so that a
// datagram overtaken on the way still counts.  A pair is live while its
// newest accepted time is within the window; a live pair is never forgotten,
// since a replay of it could pass.  The table of pairs grows with the
// cluster up to AUTH_PAIRS_MAX live pairs; when that many are live a new
// pair is refused (require) or applied (sign), and counted as table full.
// Only a datagram whose MAC verified reaches the table, so only a key
// holder can fill it.  A sender's counter starts from its clock at start-up
// (in microseconds), so a restarted sender is accepted at once; a receiver
// that restarts has forgotten the counters, so a replay within the window
// can pass once after its start.
//
// The keys are kept in memory that is locked against swapping, left out of
// core dumps, read-only between loads and wiped when the daemon stops.
//
// In sign mode every datagram is still applied; in require mode one without
// a valid trailer is refused.  Either way it is counted (stats.h) and logged
// at notice, at most AUTH_NOTICES_PER_MINUTE lines a minute for each kind of
// failure.  With auth_mode off none of this runs: nothing is read, appended
// or counted.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "daemon/config.h"
#include "proto/trailer.h"

// The live (sender, key) pairs kept at most: 37,000 nodes (the largest
// cluster one daemon keeps up with) signing with two keys each while a key
// is rotated, with room to spare; 4 MiB of table when full.
inline constexpr size_t AUTH_PAIRS_MAX = 98304;
inline constexpr int AUTH_NOTICES_PER_MINUTE = 10;

// At start-up, before the process detaches: with auth_mode sign or require,
// prepares the library, reads the key file and starts the send counter from
// the clock.  0; -1 with *error set to a complete message (the key file
// refused, or no key in it).  Does nothing with auth_mode off.
int auth_setup(std::string *error);
// On SIGHUP: reads the key file again.  A file that cannot be used is
// logged and leaves the keys in force.  0 (also with auth_mode off, when
// nothing is read), or -1 when the file was refused.
int auth_reload();
// At the stop: wipes and frees the keys and the table of pairs.
void auth_teardown();

// Whether every datagram sent carries a trailer.
inline bool auth_signing() { return cfg_auth_mode != AUTH_OFF; }
// The room a builder may fill in a buffer of buflen bytes: all of it
// without signing; with signing at most what leaves room for the trailer in
// the largest UDP datagram.
inline size_t auth_message_room(size_t buflen)
{
    return auth_signing() && buflen > AUTH_SIGNED_MSG_MAX ? AUTH_SIGNED_MSG_MAX : buflen;
}
// The trailer for the len bytes of msg: signed with the first key, the next
// counter value, the clock now.  Asserts that signing is on.
void auth_sign(const char *msg, size_t len, AuthTrailer *t);

// Checks the r bytes received at buf (at least a header) from ipaddr:port,
// counting and logging as above.  The number of bytes to apply (the message
// without its trailer when the trailer verified, all r otherwise), or -1
// when the datagram is refused.
ssize_t auth_receive(const char *buf, ssize_t r, const char *ipaddr, int port);
