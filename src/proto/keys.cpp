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

// A key file is a few lines; anything larger is not one.
constexpr off_t KEY_FILE_MAX = 16384;

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

int auth_keys_parse(const char *text, size_t len, AuthKeyRing *ring, std::string *error)
{
    AuthKeyRing parsed;
    const char *p = text, *end = text + len;
    int rc = 0;
    for (int lineno = 1; p < end && rc == 0; lineno++) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        if (nl == nullptr) {
            rc = fail(error, "line " + std::to_string(lineno) + " has no newline");
            break;
        }
        AuthKey key;
        const int line = parse_line(p, nl, &key);
        p = nl + 1;
        if (line == 1)
            continue;
        if (line < 0)
            rc = fail(error, "line " + std::to_string(lineno) +
                                 " is not \"ID KEY\" (a decimal id from 1 to 4294967295 and "
                                 "64 hexadecimal digits)");
        else if (auth_key_find(parsed, key.id) != nullptr)
            rc = fail(error, "line " + std::to_string(lineno) + ": key id " +
                                 std::to_string(key.id) + " given twice");
        else if (parsed.count == AUTH_KEYS_MAX)
            rc = fail(error, "more than " + std::to_string(AUTH_KEYS_MAX) + " keys");
        else
            parsed.keys[parsed.count++] = key;
        sodium_memzero(&key, sizeof key);
    }
    if (rc == 0 && parsed.count == 0)
        rc = fail(error, "no key");
    if (rc == 0) {
        auth_keys_wipe(ring);
        *ring = parsed;
    }
    auth_keys_wipe(&parsed);
    return rc;
}

int auth_keys_load(const char *path, AuthKeyRing *ring, std::string *error)
{
    const std::string where = std::string(path) + ": ";
    int fd;
    do
        fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return fail(error, where + strerror(errno));
    struct stat st;
    int rc = 0;
    if (fstat(fd, &st) != 0)
        rc = fail(error, where + "fstat(): " + strerror(errno));
    else if (!S_ISREG(st.st_mode))
        rc = fail(error, where + "not a regular file");
    else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(st.st_mode & 07777));
        rc = fail(error, where + "mode " + mode +
                             " lets group or others at the keys (chmod 600 it)");
    } else if (st.st_size > KEY_FILE_MAX)
        rc = fail(error, where + "larger than " + std::to_string(KEY_FILE_MAX) + " bytes");
    if (rc < 0) {
        close(fd);
        return rc;
    }
    std::unique_ptr<char[]> text(new (std::nothrow) char[KEY_FILE_MAX + 1]);
    if (!text) {
        close(fd);
        return fail(error, where + strerror(ENOMEM));
    }
    // One byte more than allowed: a file grown since fstat is refused too.
    size_t len = 0;
    while (rc == 0 && len <= size_t(KEY_FILE_MAX)) {
        const ssize_t n = read(fd, text.get() + len, size_t(KEY_FILE_MAX) + 1 - len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            rc = fail(error, where + "read(): " + strerror(errno));
        if (n <= 0)
            break;
        len += size_t(n);
    }
    close(fd);
    if (rc == 0 && len > size_t(KEY_FILE_MAX))
        rc = fail(error, where + "larger than " + std::to_string(KEY_FILE_MAX) + " bytes");
    if (rc == 0 && auth_keys_parse(text.get(), len, ring, error) < 0)
        rc = fail(error, where + *error);
    sodium_memzero(text.get(), KEY_FILE_MAX + 1);
    return rc;
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
