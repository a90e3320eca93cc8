// The authentication trailer: what a daemon that signs appends to every
// datagram it sends, after the message, and how a receiver finds and checks
// it.  The MAC is keyed BLAKE2b (libsodium's crypto_generichash) over the
// whole message and the trailer's fields before the MAC; it is compared in
// constant time.
//
// A receiver without authentication never reads the trailer: it ignores
// bytes after the last record it reads, as long as they cannot be taken for
// one more record.  An entry-less DS_PING (207 bytes) with a trailer must stay
// below the 294 bytes of a DS_PING with a datastore entry, and no PING may
// gain a whole 125-byte vdisk entry: so the trailer is at most 86 bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "proto/keys.h"
#include "proto/records.h"

#pragma pack(push, 1)

struct AuthTrailer {
    uint8_t magic[4];   // AUTH_MAGIC: a trailer follows the message
    uint32_t key_id;    // id of the key the MAC was made with
    uint64_t counter;   // the sender's datagram counter: rises with every datagram
    int64_t time;       // the sender's clock at sending, seconds since the epoch
    uint8_t mac[32];    // keyed BLAKE2b of the message and the four fields above
};

#pragma pack(pop)

inline constexpr uint8_t AUTH_MAGIC[4] = {0xa5, 'M', 'A', 0x01};

static_assert(sizeof(AuthTrailer) <= 86,
              "a trailer of 87 bytes would make an entry-less DS_PING look like one with a "
              "datastore entry to a receiver without authentication");
static_assert(sizeof(AuthTrailer) == 56);

// The longest message that can carry a trailer: an IPv4 UDP datagram holds
// at most 65,507 bytes (65,535 less the IP and UDP headers).
inline constexpr size_t UDP_PAYLOAD_MAX = 65507;
inline constexpr size_t AUTH_SIGNED_MSG_MAX = UDP_PAYLOAD_MAX - sizeof(AuthTrailer);
static_assert(offsetof(AuthTrailer, mac) == 24);

// Prepares libsodium (chooses its fastest implementations); call once before
// any other function here.  0, or -1 when the library cannot be used.
int trailer_init();

// Fills *t for the first len bytes of msg signed with key, with the given
// counter and time.
void trailer_sign(const AuthKey &key, uint64_t counter, int64_t time, const void *msg,
                  size_t len, AuthTrailer *t);

// Results of trailer_verify.
enum TrailerResult {
    TRAILER_VALID = 0,         // made by a key of the ring over these bytes
    TRAILER_MISSING = -1,      // no trailer where one belongs (or no room for one)
    TRAILER_UNKNOWN_KEY = -2,  // a trailer whose key id the ring does not hold
    TRAILER_BAD_MAC = -3,      // a trailer whose MAC does not match the bytes
};

// Checks the trailer in the last sizeof(AuthTrailer) bytes of the r bytes at
// buf, which must leave at least a header before it.  The trailer's fields
// are copied to *t whenever the magic matched.  One of TrailerResult.
int trailer_verify(const AuthKeyRing &ring, const void *buf, size_t r, AuthTrailer *t);
