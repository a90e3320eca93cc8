#include "controller/auth.h"

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include "controller/rx.h"
#include "controller/stats.h"
#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "proto/msg.h"

namespace {

// The keys, in guarded memory (keys.h); keys[0] signs.
GuardedRing ring;
uint64_t send_counter;   // the last counter value sent

// The replay state of one (sender, key) pair: the highest counter accepted,
// which of the 64 counters below it were accepted, and the newest time
// accepted.  Time 0 marks a free slot (no valid datagram carries it).
struct Seen {
    uint32_t uid;
    uint32_t key_id;
    uint64_t counter;
    uint64_t below;  // bit i: counter - 1 - i was accepted
    int64_t time;
};

// An open-addressing table (linear probing) over the whole pair, from a
// hash seeded at start-up.  It holds at most three quarters of its slots,
// so a probe ends soon at a free slot; when that is reached, it is rebuilt
// without the pairs that have left the window, at twice the size of the
// live ones (at least SEEN_SLOTS_MIN, at most SEEN_SLOTS_MAX).  A pair that
// has left the window stays in its slot until then, and is taken over when
// its sender comes back.
constexpr size_t SEEN_SLOTS_MIN = 1024;
constexpr size_t SEEN_SLOTS_MAX = 131072;
static_assert(AUTH_PAIRS_MAX == SEEN_SLOTS_MAX / 4 * 3);
struct SeenTable {
    std::unique_ptr<Seen[]> slots;
    size_t size = 0;  // a power of two, or 0 before the first pair
    size_t used = 0;  // slots taken, live or not
    uint64_t seed = 0;
    // While the table is full of live pairs: the time its oldest pair
    // leaves the window; no rebuild can make room before it.
    time_t full_until = 0;
};
SeenTable seen;

size_t seen_limit(size_t size) { return size / 4 * 3; }

size_t seen_hash(uint32_t uid, uint32_t key_id)
{
    uint64_t x = (uint64_t(uid) << 32 | key_id) ^ seen.seed;
    x = (x ^ (x >> 33)) * 0xff51afd7ed558ccdull;
    x = (x ^ (x >> 33)) * 0xc4ceb9fe1a85ec53ull;
    return size_t(x ^ (x >> 33));
}

// The pair's slot, or the free slot where it goes.  The table has a free
// slot whenever it has any.
Seen *seen_find(uint32_t uid, uint32_t key_id)
{
    MARLO_ASSERT(seen.used < seen.size);
    for (size_t i = seen_hash(uid, key_id);; i++) {
        Seen *s = &seen.slots[i & (seen.size - 1)];
        if (s->time == 0 || (s->uid == uid && s->key_id == key_id))
            return s;
    }
}

// Rebuilds the table without the pairs that have left the window, with
// room for one more pair.  false when the live pairs fill AUTH_PAIRS_MAX
// or no memory is left (the table stays as it was).
bool seen_make_room(time_t now)
{
    size_t live = 0;
    time_t oldest = now;
    for (size_t i = 0; i < seen.size; i++) {
        const Seen &s = seen.slots[i];
        if (s.time != 0 && s.time >= now - cfg_auth_window) {
            live++;
            oldest = std::min(oldest, time_t(s.time));
        }
    }
    if (live >= AUTH_PAIRS_MAX) {
        seen.full_until = oldest + cfg_auth_window + 1;
        return false;
    }
    size_t size = SEEN_SLOTS_MIN;
    while (size < SEEN_SLOTS_MAX && size < 2 * (live + 1))
        size *= 2;
    std::unique_ptr<Seen[]> slots(new (std::nothrow) Seen[size]());
    if (!slots) {
        log_error(RX_FUNC, "malloc(%zu): %s", size * sizeof(Seen), strerror(ENOMEM));
        return false;
    }
    SeenTable old = std::move(seen);
    seen.slots = std::move(slots);
    seen.size = size;
    seen.used = live;
    seen.seed = old.seed;
    for (size_t i = 0; i < old.size; i++) {
        const Seen &s = old.slots[i];
        if (s.time != 0 && s.time >= now - cfg_auth_window)
            *seen_find(s.uid, s.key_id) = s;
    }
    return true;
}

// Takes counter c into the pair's window: true when it is above the
// highest, or one of the 64 below it not taken yet.
bool window_take(Seen *s, uint64_t c)
{
    if (c > s->counter) {
        const uint64_t up = c - s->counter;  // the old highest is up below the new
        s->below = up < 64 ? s->below << up | 1ull << (up - 1) : up == 64 ? 1ull << 63 : 0;
        s->counter = c;
        return true;
    }
    const uint64_t down = s->counter - c;
    if (down == 0 || down > 64 || (s->below >> (down - 1) & 1) != 0)
        return false;
    s->below |= 1ull << (down - 1);
    return true;
}

// What a verified trailer says about freshness: AUTH_SIGNED (and the
// counter recorded), AUTH_REPLAYED, AUTH_OUTSIDE_WINDOW or AUTH_TABLE_FULL.
// Once a pair's newest time has left the window, every datagram it accepted
// has too, so its counters no longer matter (a sender whose clock was set
// back across a restart is accepted again).
int auth_fresh(uint32_t uid, const AuthTrailer &t, time_t now)
{
    if (t.time < now - cfg_auth_window || t.time > now + cfg_auth_window)
        return AUTH_OUTSIDE_WINDOW;
    Seen *s = seen.size != 0 ? seen_find(uid, t.key_id) : nullptr;
    if (s != nullptr && s->time >= now - cfg_auth_window) {
        if (!window_take(s, t.counter))
            return AUTH_REPLAYED;
        s->time = std::max(s->time, t.time);
        return AUTH_SIGNED;
    }
    if (s == nullptr || s->time == 0) {  // a new pair takes a slot
        if (seen.used + 1 > seen_limit(seen.size)) {
            if (now < seen.full_until || !seen_make_room(now))
                return AUTH_TABLE_FULL;
            s = seen_find(uid, t.key_id);
        }
        seen.used++;
    }
    *s = Seen{uid, t.key_id, t.counter, 0, t.time};
    return AUTH_SIGNED;
}

// Logs one notice about a datagram that did not verify, at most
// AUTH_NOTICES_PER_MINUTE a minute for each kind of failure, so that a flood
// of one kind (the unsigned datagrams of a host not yet signing) hides no
// other; the first line of a kind in a new minute says how many of that kind
// the last one left out.
void auth_notice(int slot, const Hdr *hdr, const AuthTrailer &t, const char *ipaddr, int port,
                 time_t now)
{
    static time_t minute[AUTH_SLOTS];
    static int lines[AUTH_SLOTS];
    static long left_out[AUTH_SLOTS];
    if (now - minute[slot] >= 60) {
        minute[slot] = now;
        lines[slot] = 0;
    }
    if (lines[slot] == AUTH_NOTICES_PER_MINUTE) {
        left_out[slot]++;
        return;
    }
    lines[slot]++;
    const char *action = cfg_auth_mode == AUTH_REQUIRE ? "Refused" : "Applying";
    char why[96];
    switch (slot) {
    case AUTH_UNSIGNED: std::snprintf(why, sizeof why, "unsigned"); break;
    case AUTH_UNKNOWN_KEY: std::snprintf(why, sizeof why, "unknown key %u", t.key_id); break;
    case AUTH_BAD_MAC: std::snprintf(why, sizeof why, "bad MAC (key %u)", t.key_id); break;
    case AUTH_REPLAYED:
        std::snprintf(why, sizeof why, "replayed (key %u, counter %llu)", t.key_id,
                      (unsigned long long)t.counter);
        break;
    case AUTH_TABLE_FULL:
        std::snprintf(why, sizeof why, "a new sender, and %zu live senders fill the table (key %u)",
                      AUTH_PAIRS_MAX, t.key_id);
        break;
    default:
        std::snprintf(why, sizeof why, "time %lld outside %d s of %lld (key %u)",
                      (long long)t.time, cfg_auth_window, (long long)now, t.key_id);
    }
    char more[64] = "";
    if (left_out[slot] > 0)
        std::snprintf(more, sizeof more, " (%ld more in the last minute not logged)",
                      left_out[slot]);
    left_out[slot] = 0;
    // The type table names AUX_PING's code UNKNOWN, as every code above 34.
    const char *type = hdr->type == MSG_AUX_PING ? "AUX_PING" : msg_type(hdr);
    log_notice(RX_FUNC, "%s %s from %s:%d of Node %u: %s%s", action, type, ipaddr, port, hdr->uid,
               why, more);
}

// Reads the key file into the ring, which is writable only meanwhile.
int ring_load(std::string *error)
{
    sodium_mprotect_readwrite(ring.get());
    const int rc = auth_keys_load(cfg_auth_keys.c_str(), ring.get(), error);
    sodium_mprotect_readonly(ring.get());
    return rc;
}

}  // namespace

int auth_setup(std::string *error)
{
    if (cfg_auth_mode == AUTH_OFF)
        return 0;
    if (trailer_init() < 0) {
        *error = "error: auth_setup(): libsodium cannot be initialised\n";
        return -1;
    }
    ring = auth_ring_alloc();
    if (!ring) {
        *error = std::string("error: auth_setup(): sodium_malloc(): ") + strerror(ENOMEM) + "\n";
        return -1;
    }
    if (ring_load(error) < 0) {
        *error = "error: auth_setup(): key file " + *error + "\n";
        return -1;
    }
    randombytes_buf(&seen.seed, sizeof seen.seed);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    send_counter = uint64_t(ts.tv_sec) * 1000000u + uint64_t(ts.tv_nsec / 1000);
    return 0;
}

int auth_reload()
{
    if (cfg_auth_mode == AUTH_OFF)
        return 0;
    std::string error;
    if (ring_load(&error) < 0) {
        log_error("auth_reload", "key file %s; keeping the %d keys in force", error.c_str(),
                  ring->count);
        return -1;
    }
    log_notice("auth_reload", "Loaded %d keys from %s, signing with key %u", ring->count,
               cfg_auth_keys.c_str(), ring->keys[0].id);
    return 0;
}

void auth_teardown()
{
    ring.reset();
    seen = SeenTable{};
}

void auth_sign(const char *msg, size_t len, AuthTrailer *t)
{
    MARLO_ASSERT(auth_signing() && ring && ring->count > 0);
    trailer_sign(ring->keys[0], ++send_counter, time(nullptr), msg, len, t);
}

ssize_t auth_receive(const char *buf, ssize_t r, const char *ipaddr, int port)
{
    MARLO_ASSERT(r >= ssize_t(sizeof(Hdr)));
    AuthTrailer t{};
    const int verified = trailer_verify(*ring, buf, size_t(r), &t);
    const auto *hdr = reinterpret_cast<const Hdr *>(buf);
    const time_t now = time(nullptr);
    int slot;
    switch (verified) {
    case TRAILER_VALID: slot = auth_fresh(hdr->uid, t, now); break;
    case TRAILER_UNKNOWN_KEY: slot = AUTH_UNKNOWN_KEY; break;
    case TRAILER_BAD_MAC: slot = AUTH_BAD_MAC; break;
    default: slot = AUTH_UNSIGNED;
    }
    stats_auth_add(slot);
    if (slot != AUTH_SIGNED) {
        auth_notice(slot, hdr, t, ipaddr, port, now);
        if (cfg_auth_mode == AUTH_REQUIRE)
            return -1;
    }
    return verified == TRAILER_VALID ? r - ssize_t(sizeof(AuthTrailer)) : r;
}
