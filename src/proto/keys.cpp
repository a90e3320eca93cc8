#include "proto/keys.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "daemon/check.h"

namespace {

// What reading a key file needs, in guarded memory: the bytes of the file
// (one more than allowed, so a file grown since fstat is refused too), the
// keys parsed from it, and the key of the line at hand.
struct KeyScratch {
    char text[AUTH_KEY_FILE_MAX + 1];
    AuthKeyRing parsed;
    AuthKey key;
};
struct SodiumFree {
    void operator()(void *p) const { sodium_free(p); }
};

int fail(std::string *error, std::string text)
{
    *error = std::move(text);
    return -1;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// One line (without its newline) into *key.  0, 1 for a line that holds no
// key (blank or a comment), -1 when malformed.
int parse_line(const char *p, const char *end, AuthKey *key)
{
    if (p < end && *p == '#')
        return 1;
    while (p < end && is_blank(*p))
        p++;
    if (p == end)
        return 1;
    uint64_t id = 0;
    const char *digits = p;
    while (p < end && *p >= '0' && *p <= '9' && p - digits < 10)
        id = id * 10 + uint64_t(*p++ - '0');
    if (p == digits || id == 0 || id > UINT32_MAX || p == end || !is_blank(*p))
        return -1;
    while (p < end && is_blank(*p))
        p++;
    const char *hex = p;
    while (p < end && !is_blank(*p))
        p++;
    const char *hex_end = p;
    while (p < end && is_blank(*p))
        p++;
    size_t bin_len = 0;
    if (p != end || hex_end - hex != 2 * AUTH_KEY_LEN ||
        sodium_hex2bin(key->key, sizeof key->key, hex, size_t(hex_end - hex), nullptr, &bin_len,
                       nullptr) != 0 ||
        bin_len != AUTH_KEY_LEN)
        return -1;
    key->id = uint32_t(id);
    return 0;
}

// Parses the len bytes of a key file at sc->text into sc->parsed.  0 with at
// least one key; -1 with *error set to what is wrong and where.
int parse_keys(KeyScratch *sc, size_t len, std::string *error)
{
    AuthKeyRing &parsed = sc->parsed;
    parsed.count = 0;
    const char *p = sc->text, *end = sc->text + len;
    for (int lineno = 1; p < end; lineno++) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        if (nl == nullptr)
            return fail(error, "line " + std::to_string(lineno) + " has no newline");
        const int line = parse_line(p, nl, &sc->key);
        p = nl + 1;
        if (line == 1)
            continue;
        if (line < 0)
            return fail(error, "line " + std::to_string(lineno) +
                                   " is not \"ID KEY\" (a decimal id from 1 to 4294967295 and "
                                   "64 hexadecimal digits)");
        if (auth_key_find(parsed, sc->key.id) != nullptr)
            return fail(error, "line " + std::to_string(lineno) + ": key id " +
                                   std::to_string(sc->key.id) + " given twice");
        if (parsed.count == AUTH_KEYS_MAX)
            return fail(error, "more than " + std::to_string(AUTH_KEYS_MAX) + " keys");
        parsed.keys[parsed.count++] = sc->key;
    }
    return parsed.count == 0 ? fail(error, "no key") : 0;
}

// Checks what fstat says of an open key file.  0, or -1 with *error set.
int check_key_file(const struct stat &st, std::string *error)
{
    if (!S_ISREG(st.st_mode))
        return fail(error, "not a regular file");
    if (st.st_uid != geteuid())
        return fail(error, "owned by uid " + std::to_string(st.st_uid) + ", not by uid " +
                               std::to_string(geteuid()) + " that reads it (chown it)");
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        return fail(error, std::string("mode ") + mode +
                               " lets group or others at the keys (chmod 600 it)");
    }
    if (st.st_size > off_t(AUTH_KEY_FILE_MAX))
        return fail(error, "larger than " + std::to_string(AUTH_KEY_FILE_MAX) + " bytes");
    return 0;
}

// Reads the open key file fd into sc->text.  Its length, or -1 with *error
// set.
ssize_t read_key_file(int fd, KeyScratch *sc, std::string *error)
{
    size_t len = 0;
    while (len < sizeof sc->text) {
        const ssize_t n = read(fd, sc->text + len, sizeof sc->text - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(error, std::string("read(): ") + strerror(errno));
        if (n == 0)
            break;
        len += size_t(n);
    }
    if (len > AUTH_KEY_FILE_MAX)
        return fail(error, "larger than " + std::to_string(AUTH_KEY_FILE_MAX) + " bytes");
    return ssize_t(len);
}

}  // namespace

const AuthKey *auth_key_find(const AuthKeyRing &ring, uint32_t id)
{
    for (int i = 0; i < ring.count; i++)
        if (ring.keys[i].id == id)
            return &ring.keys[i];
    return nullptr;
}

void auth_keys_wipe(AuthKeyRing *ring)
{
    sodium_memzero(ring->keys, sizeof ring->keys);
    ring->count = 0;
}

int auth_keys_load(const char *path, AuthKeyRing *ring, std::string *error)
{
    const std::string where = std::string(path) + ": ";
    if (sodium_init() < 0)
        return fail(error, where + "libsodium cannot be initialised");
    int fd;
    do
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW);
    while (fd < 0 && errno == EINTR);
    if (fd < 0 && errno == ELOOP)
        return fail(error, where + "a symbolic link (name the key file itself)");
    if (fd < 0)
        return fail(error, where + strerror(errno));
    std::unique_ptr<KeyScratch, SodiumFree> sc(
        static_cast<KeyScratch *>(sodium_malloc(sizeof(KeyScratch))));
    struct stat st;
    int rc = 0;
    ssize_t len = -1;
    if (fstat(fd, &st) != 0)
        rc = fail(error, std::string("fstat(): ") + strerror(errno));
    else if (check_key_file(st, error) < 0)
        rc = -1;
    else if (!sc)
        rc = fail(error, strerror(ENOMEM));
    else if ((len = read_key_file(fd, sc.get(), error)) < 0 ||
             parse_keys(sc.get(), size_t(len), error) < 0)
        rc = -1;
    close(fd);
    if (rc < 0)
        return fail(error, where + *error);
    auth_keys_wipe(ring);
    *ring = sc->parsed;
    return 0;
}

void GuardedRingFree::operator()(AuthKeyRing *ring) const
{
    sodium_mprotect_readwrite(ring);
    sodium_free(ring);
}

GuardedRing auth_ring_alloc()
{
    void *p = sodium_malloc(sizeof(AuthKeyRing));
    return GuardedRing(p != nullptr ? new (p) AuthKeyRing : nullptr);
}

size_t auth_key_generate(char (&line)[AUTH_KEY_LINE_MAX + 1])
{
    AuthKey key;
    do
        key.id = randombytes_random();
    while (key.id == 0);
    randombytes_buf(key.key, sizeof key.key);
    char hex[2 * AUTH_KEY_LEN + 1];
    sodium_bin2hex(hex, sizeof hex, key.key, sizeof key.key);
    const int n = std::snprintf(line, sizeof line, "%u %s\n", unsigned(key.id), hex);
    MARLO_ASSERT(n > 0 && size_t(n) <= AUTH_KEY_LINE_MAX);
    sodium_memzero(&key, sizeof key);
    sodium_memzero(hex, sizeof hex);
    return size_t(n);
}
