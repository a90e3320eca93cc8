// Cluster keys and the key file that holds them.
//
// Key file format: one key per line, "ID KEY": the key's id in decimal (1 to
// 4294967295, unique in the file), blanks, and the 32-byte key as 64
// hexadecimal digits; blanks around them are allowed.  Blank lines and lines
// starting with '#' are skipped.  The first key signs; every key is accepted
// for verification.  The file must be a regular file that neither group nor
// others may read or write (mode 0600 or 0400).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr size_t AUTH_KEY_LEN = 32;
inline constexpr int AUTH_KEYS_MAX = 8;
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

// Parses the len bytes of a key file at text into *ring (replaced whole).
// 0 with at least one key; -1 with *error set to what is wrong and where (the
// line number, never key material).
int auth_keys_parse(const char *text, size_t len, AuthKeyRing *ring, std::string *error);

// Reads the key file at path into *ring: opened without blocking on a
// special file, refused unless it is a regular file of mode 0600 or
// stricter, then parsed.  0, or -1 with *error set (*ring unchanged).  The
// bytes read are wiped before return.
int auth_keys_load(const char *path, AuthKeyRing *ring, std::string *error);

// Wipes the ring's key material and empties it.
void auth_keys_wipe(AuthKeyRing *ring);

// Writes a new key with a random id as one key-file line ("ID KEY\n", at
// most AUTH_KEY_LINE_MAX bytes and a terminating NUL) into line.  The length
// of the line.  Needs trailer_init() first.
size_t auth_key_generate(char (&line)[AUTH_KEY_LINE_MAX + 1]);
