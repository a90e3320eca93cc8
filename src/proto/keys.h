// Cluster keys and the key file that holds them.
//
// Key file format: one key per line, "ID KEY": the key's id in decimal (1 to
// 4294967295, unique in the file), blanks, and the 32-byte key as 64
// hexadecimal digits; blanks around them are allowed.  Blank lines and lines
// starting with '#' are skipped.  The first key signs; every key is accepted
// for verification.  The file must be a regular file owned by the user that
// reads it, that neither group nor others may use (no group or other bits in
// its mode, as 0600 or 0400), named itself rather than by a symbolic link,
// and at most AUTH_KEY_FILE_MAX bytes long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

inline constexpr size_t AUTH_KEY_LEN = 32;
inline constexpr int AUTH_KEYS_MAX = 8;
inline constexpr size_t AUTH_KEY_FILE_MAX = 16384;
// "ID KEY\n" at its longest: ten digits, a blank, 64 digits, the newline.
inline constexpr size_t AUTH_KEY_LINE_MAX = 10 + 1 + 2 * AUTH_KEY_LEN + 1;

struct AuthKey {
    uint32_t id;
    uint8_t key[AUTH_KEY_LEN];
};

// The keys of one key file, in file order: keys[0] signs.
struct AuthKeyRing {
    int count = 0;
    AuthKey keys[AUTH_KEYS_MAX];
};

// The ring's key with that id, or nullptr.
const AuthKey *auth_key_find(const AuthKeyRing &ring, uint32_t id);

// Reads the key file at path into *ring: opened without following a link
// at its name and without blocking on a special file, refused unless it is
// a regular file as the format above says, then parsed.  0, or -1 with
// *error set to what is wrong and where (the path, and the line number for
// a malformed line; never key material), *ring unchanged.  The bytes read
// are kept in guarded memory and wiped before return.
int auth_keys_load(const char *path, AuthKeyRing *ring, std::string *error);

// Wipes the ring's key material and empties it.
void auth_keys_wipe(AuthKeyRing *ring);

// A ring in libsodium's guarded memory: locked against swapping and left
// out of core dumps; the owner makes it read-only between loads.  Freeing
// it wipes it.
struct GuardedRingFree {
    void operator()(AuthKeyRing *ring) const;
};
using GuardedRing = std::unique_ptr<AuthKeyRing, GuardedRingFree>;
// An empty ring, or nullptr when no memory is left.  Needs trailer_init().
GuardedRing auth_ring_alloc();

// Writes a new key with a random id as one key-file line ("ID KEY\n", at
// most AUTH_KEY_LINE_MAX bytes and a terminating NUL) into line.  The length
// of the line.  Needs trailer_init() first.
size_t auth_key_generate(char (&line)[AUTH_KEY_LINE_MAX + 1]);
