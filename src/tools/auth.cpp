#include "tools/auth.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "io/io.h"
#include "proto/keys.h"
#include "proto/trailer.h"

int keygen(const std::string &path, std::string *why)
{
    if (trailer_init() < 0) {
        *why = "libsodium cannot be initialised";
        return -1;
    }
    char line[AUTH_KEY_LINE_MAX + 1];
    const size_t len = auth_key_generate(line);
    int rc = 0;
    if (path.empty()) {
        if (std::fputs(line, stdout) == EOF || std::fflush(stdout) != 0) {
            *why = std::string("standard output: ") + strerror(errno);
            rc = -1;
        }
        explicit_bzero(line, sizeof line);
        return rc;
    }
    // Never through a link, never blocking on a FIFO planted at the name.
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    UniqueFd fd(::open(path.c_str(), flags | O_CLOEXEC, 0600));
    struct stat st;
    if (!fd || ::fstat(fd.get(), &st) != 0)
        *why = path + ": " + strerror(errno), rc = -1;
    else if (!S_ISREG(st.st_mode))
        *why = path + ": not a regular file", rc = -1;
    else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        *why = path + ": group or others may use it (chmod 600 it first)", rc = -1;
    else if (buf_tx(fd.get(), line, len, 1) != ssize_t(len) || ::fsync(fd.get()) != 0 ||
             fd.reset() != 0)
        *why = path + ": " + strerror(errno), rc = -1;
    explicit_bzero(line, sizeof line);
    return rc;
}

std::string render_auth(const char *mode, const DaemonState &daemon)
{
    std::string out = "\nAuthentication (auth_mode " + std::string(mode) +
                      "; datagrams received since the daemon started)\n";
    if (!daemon.up)
        return out + "unknown: " + daemon.why + "\n";
    std::string head, row;
    for (const auto &[name, value] : daemon.counters.counters) {
        if (name.rfind("auth_", 0) != 0)
            continue;
        std::string label = name.substr(5), count = std::to_string(value);
        std::transform(label.begin(), label.end(), label.begin(), ::toupper);
        const size_t width = std::max(label.size(), count.size()) + 2;
        head += label + std::string(width - label.size(), ' ');
        row += count + std::string(width - count.size(), ' ');
    }
    auto trim = [](std::string s) { return s.erase(s.find_last_not_of(' ') + 1); };
    return out + trim(head) + "\n" + trim(row) + "\n";
}
