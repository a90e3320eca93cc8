#include "controller/auth.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "controller/rx.h"
#include "controller/stats.h"
#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "proto/msg.h"

namespace {

AuthKeyRing ring;        // keys[0] signs
uint64_t send_counter;   // the last counter value sent

// The highest counter seen per (sender, key), with the newest time accepted
// from it; time 0 marks a free slot (no valid datagram carries it).  A pair lives in
// one of AUTH_SEEN_PROBES slots from its hash.
constexpr size_t AUTH_SEEN_PROBES = 16;
static_assert((AUTH_SEEN_SLOTS & (AUTH_SEEN_SLOTS - 1)) == 0);
struct Seen {
    uint32_t uid;
    uint32_t key_id;
    uint64_t counter;
    int64_t time;
};
Seen seen[AUTH_SEEN_SLOTS];

// The pair's slot (*found true), or else the slot to take for it: a free
// one, else the one with the oldest time of its probe run.
Seen *seen_slot(uint32_t uid, uint32_t key_id, bool *found)
{
    const size_t h = (uid * 0x9e3779b1u) ^ (key_id * 0x85ebca77u);
    Seen *take = nullptr;
    for (size_t i = 0; i < AUTH_SEEN_PROBES; i++) {
        Seen *s = &seen[(h + i) & (AUTH_SEEN_SLOTS - 1)];
        if (s->time != 0 && s->uid == uid && s->key_id == key_id) {
            *found = true;
            return s;
        }
        if (take == nullptr || s->time < take->time)
            take = s;
    }
    *found = false;
    return take;
}

// What a verified trailer says about freshness: AUTH_SIGNED (and the
// counter recorded), AUTH_REPLAYED or AUTH_OUTSIDE_WINDOW.  A pair keeps the
// newest time it was accepted with; once that has left the window, every
// datagram it accepted has too, so its counter no longer matters (a sender
// whose clock was set back across a restart is accepted again).
int auth_fresh(uint32_t uid, const AuthTrailer &t, time_t now)
{
    if (t.time < now - cfg_auth_window || t.time > now + cfg_auth_window)
        return AUTH_OUTSIDE_WINDOW;
    bool found;
    Seen *s = seen_slot(uid, t.key_id, &found);
    const bool live = s->time >= now - cfg_auth_window;
    if (found && live && t.counter <= s->counter)
        return AUTH_REPLAYED;
    // Another pair's place is taken while it is live only when the table is
    // too small for the cluster: a replay of that sender could pass once.
    static time_t told;
    if (!found && live && now - told >= 60) {
        told = now;
        log_notice(RX_FUNC, "Counter table full: forgetting Node %u key %u to remember Node %u",
                   s->uid, s->key_id, uid);
    }
    *s = Seen{uid, t.key_id, t.counter, found && live ? std::max(s->time, t.time) : t.time};
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

}  // namespace

int auth_setup(std::string *error)
{
    if (cfg_auth_mode == AUTH_OFF)
        return 0;
    if (trailer_init() < 0) {
        *error = "error: auth_setup(): libsodium cannot be initialised\n";
        return -1;
    }
    if (auth_keys_load(cfg_auth_keys.c_str(), &ring, error) < 0) {
        *error = "error: auth_setup(): key file " + *error + "\n";
        return -1;
    }
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
    if (auth_keys_load(cfg_auth_keys.c_str(), &ring, &error) < 0) {
        log_error("auth_reload", "key file %s; keeping the %d keys in force", error.c_str(),
                  ring.count);
        return -1;
    }
    log_notice("auth_reload", "Loaded %d keys from %s, signing with key %u", ring.count,
               cfg_auth_keys.c_str(), ring.keys[0].id);
    return 0;
}

void auth_sign(const char *msg, size_t len, AuthTrailer *t)
{
    MARLO_ASSERT(auth_signing() && ring.count > 0);
    trailer_sign(ring.keys[0], ++send_counter, time(nullptr), msg, len, t);
}

ssize_t auth_receive(const char *buf, ssize_t r, const char *ipaddr, int port)
{
    MARLO_ASSERT(r >= ssize_t(sizeof(Hdr)));
    AuthTrailer t{};
    const int verified = trailer_verify(ring, buf, size_t(r), &t);
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
