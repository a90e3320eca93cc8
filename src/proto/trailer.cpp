#include "proto/trailer.h"

#include <sodium.h>

#include <cstring>

#include "daemon/check.h"

static_assert(sizeof(AuthTrailer::mac) == crypto_generichash_BYTES);
static_assert(AUTH_KEY_LEN == crypto_generichash_KEYBYTES);

namespace {

// The MAC over msg and the trailer's fields before the MAC.
void trailer_mac(const AuthKey &key, const void *msg, size_t len, const AuthTrailer &t,
                 uint8_t mac[crypto_generichash_BYTES])
{
    crypto_generichash_state st;
    int rc = crypto_generichash_init(&st, key.key, sizeof key.key, crypto_generichash_BYTES);
    rc |= crypto_generichash_update(&st, static_cast<const uint8_t *>(msg), len);
    rc |= crypto_generichash_update(&st, reinterpret_cast<const uint8_t *>(&t),
                                    offsetof(AuthTrailer, mac));
    rc |= crypto_generichash_final(&st, mac, crypto_generichash_BYTES);
    MARLO_ASSERT(rc == 0);  // fails only for lengths outside the library's limits
}

}  // namespace

int trailer_init() { return sodium_init() < 0 ? -1 : 0; }

void trailer_sign(const AuthKey &key, uint64_t counter, int64_t time, const void *msg,
                  size_t len, AuthTrailer *t)
{
    std::memcpy(t->magic, AUTH_MAGIC, sizeof t->magic);
    t->key_id = key.id;
    t->counter = counter;
    t->time = time;
    trailer_mac(key, msg, len, *t, t->mac);
}

int trailer_verify(const AuthKeyRing &ring, const void *buf, size_t r, AuthTrailer *t)
{
    if (r < sizeof(Hdr) + sizeof(AuthTrailer))
        return TRAILER_MISSING;
    const size_t len = r - sizeof(AuthTrailer);
    const auto *bytes = static_cast<const uint8_t *>(buf);
    if (std::memcmp(bytes + len, AUTH_MAGIC, sizeof AUTH_MAGIC) != 0)
        return TRAILER_MISSING;
    std::memcpy(t, bytes + len, sizeof *t);
    const AuthKey *key = auth_key_find(ring, t->key_id);
    if (key == nullptr)
        return TRAILER_UNKNOWN_KEY;
    uint8_t mac[crypto_generichash_BYTES];
    trailer_mac(*key, buf, len, *t, mac);
    return crypto_verify_32(mac, t->mac) == 0 ? TRAILER_VALID : TRAILER_BAD_MAC;
}
