#include "controller/peers.h"

#include <arpa/inet.h>

#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "controller/state.h"
#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/netlib.h"

namespace {

struct FileCloser {
    void operator()(FILE *fp) const { std::fclose(fp); }
};

// One list file, read entry line by entry line.  Every failure is logged
// under the name of the operation that reads the file, and its text kept in
// *why when the caller asked for it.
class ListFile {
public:
    ListFile(const char *func, const char *path, std::string *why)
        : func_(func), path_(path), why_(why)
    {
    }

    // Logs the "Loading" line and opens the file.  0, or -1 (logged).
    int open()
    {
        log_notice(func_, "Loading %s", path_);
        fp_.reset(std::fopen(path_, "re"));
        if (!fp_)
            return error("fopen(%s): %s", path_, strerror(errno));
        return 0;
    }

    // The next line that is neither empty nor a comment, without its
    // newline, in *line.  1; 0 at end of file; -1 on a read error or a line
    // without newline (too long, or an unterminated last line), logged.
    int next(const char **line)
    {
        for (;;) {
            if (std::fgets(buf_, sizeof(buf_), fp_.get()) == nullptr) {
                if (std::ferror(fp_.get()))
                    return error("Error reading %s", path_);
                return 0;
            }
            char *nl = std::strchr(buf_, '\n');
            if (nl == nullptr)
                return malformed();
            *nl = '\0';
            if (buf_[0] == '\0' || buf_[0] == '#')
                continue;
            *line = buf_;
            return 1;
        }
    }

    // Logs the malformed-file line for a bad entry; -1.
    int malformed() { return error("Malformed file %s", path_); }

    // Logs an error line about the file at err; -1.
    __attribute__((format(printf, 2, 3))) int error(const char *fmt, ...)
    {
        char text[512];
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(text, sizeof text, fmt, ap);
        va_end(ap);
        log_error(func_, "%s", text);
        if (why_ != nullptr)
            *why_ = text;
        return -1;
    }

private:
    const char *func_;
    const char *path_;
    std::string *why_;
    std::unique_ptr<FILE, FileCloser> fp_;
    char buf_[256];
};

// The node id at the start of `line`: optional leading white space, then
// decimal digits; whatever follows them is ignored.  0 with the id in *id;
// -1 when there are no digits, or the number is 0 or beyond 32 bits (a sign
// is not a digit, so "-1" does not wrap around to 4294967295 either).
int parse_node_id(const char *line, uint32_t *id)
{
    const char *p = line;
    while (std::isspace(static_cast<unsigned char>(*p)))
        p++;
    if (!std::isdigit(static_cast<unsigned char>(*p)))
        return -1;
    errno = 0;
    unsigned long long v = std::strtoull(p, nullptr, 10);
    if (errno == ERANGE || v == 0 || v > UINT32_MAX)
        return -1;
    *id = static_cast<uint32_t>(v);
    return 0;
}

// Fills `host` from the address text and the daemon's bind_port.  0; -1 when
// the text is longer than 15 characters or inet_aton refuses it (the caller
// logs the line, which is then also what `ipaddr` would hold).
int host_init(Host &host, const char *text)
{
    if (std::strlen(text) >= sizeof(host.ipaddr))
        return -1;
    std::strcpy(host.ipaddr, text);
    std::memset(&host.sa, 0, sizeof(host.sa));
    host.sa.sin_family = AF_INET;
    if (inet_aton(host.ipaddr, &host.sa.sin_addr) == 0)
        return -1;
    host.sa.sin_port = htons(static_cast<uint16_t>(cfg_bind_port));
    return 0;
}

}  // namespace

int load_local_nodes(std::string *why)
{
    static const char func[] = "load_local_nodes";
    MARLO_ASSERT(local_nodes);
    ListFile file(func, cfg_local_nodes.c_str(), why);
    if (file.open() < 0)
        return -1;
    std::unique_ptr<NodeList> list;
    if (NodeListAlloc(list) < 0)
        return -1;

    // Any early return abandons the new list and keeps the old one.
    const char *line = nullptr;
    int r;
    while ((r = file.next(&line)) > 0) {
        uint32_t id = 0;
        if (parse_node_id(line, &id) < 0)
            return file.malformed();
        std::unique_ptr<Node> node;
        if (NodeAlloc(node) < 0)
            return -1;
        std::snprintf(node->nodeuuid, sizeof(node->nodeuuid), "%u", id);
        node->nodeid = id;
        log_debug(func, "LOCAL_NODE: %u (%s)", id, line);
        if (ListAppend(func, *list, node) != 0)
            return -1;
    }
    if (r < 0)
        return -1;
    local_nodes = std::move(list);
    return 0;
}

void dump_local_nodes()
{
    MARLO_ASSERT(local_nodes);
    int n = static_cast<int>(local_nodes->size());
    int i = 0;
    for (const auto &node : *local_nodes)
        log_notice("dump_local_nodes", "[%d/%d] %u", ++i, n, node->nodeid);
}

int load_unicast_hosts(std::string *why)
{
    static const char func[] = "load_unicast_hosts";
    MARLO_ASSERT(unicast_hosts);
    ListFile file(func, cfg_unicast_hosts.c_str(), why);
    if (file.open() < 0)
        return -1;
    std::unique_ptr<HostList> list;
    if (HostListAlloc(list) < 0)
        return -1;

    const char *line = nullptr;
    int r;
    while ((r = file.next(&line)) > 0) {
        std::unique_ptr<Host> host;
        if (HostAlloc(host) < 0)
            return -1;
        if (host_init(*host, line) < 0)
            return file.error("Malformed unicast address: %s", line);
        log_debug(func, "UNICAST_HOST: %s:%u (%s)", host->ipaddr, unsigned(cfg_bind_port), line);
        if (ListAppend(func, *list, host) != 0)
            return -1;
    }
    if (r < 0)
        return -1;
    unicast_hosts = std::move(list);
    return 0;
}

void dump_unicast_hosts()
{
    MARLO_ASSERT(unicast_hosts);
    int n = static_cast<int>(unicast_hosts->size());
    int i = 0;
    for (const auto &host : *unicast_hosts)
        log_notice("dump_unicast_hosts", "[%d/%d] %s", ++i, n, host->ipaddr);
}

int parse_mcast_groups()
{
    static const char func[] = "parse_mcast_groups";
    MARLO_ASSERT(multicast_groups);
    std::unique_ptr<char, decltype(&std::free)> copy(strdup(cfg_multicast_address.c_str()),
                                                     &std::free);
    if (!copy) {
        log_error(func, "strdup(%s): %s", cfg_multicast_address.c_str(), strerror(errno));
        return -1;
    }
    char *save = nullptr;
    for (char *tok = strtok_r(copy.get(), ", ", &save); tok != nullptr;
         tok = strtok_r(nullptr, ", ", &save)) {
        std::unique_ptr<Host> host;
        if (HostAlloc(host) < 0)
            return -1;
        if (host_init(*host, tok) < 0) {
            log_error(func, "Malformed multicast address: %s", tok);
            return -1;
        }
        log_debug(func, "MULTICAST_GROUP: %s:%u (%s)", host->ipaddr, unsigned(cfg_bind_port), tok);
        if (ListAppend(func, *multicast_groups, host) != 0)
            return -1;
    }
    return 0;
}

int join_mcast_groups(int so, const struct sockaddr_in *if_addr)
{
    MARLO_ASSERT(multicast_groups);
    if (set_mcast_socket(so, if_addr) < 0)
        return -1;
    for (const auto &group : *multicast_groups)
        if (add_mcast_membership(so, group->ipaddr, if_addr) < 0)
            return -1;
    return 0;
}
