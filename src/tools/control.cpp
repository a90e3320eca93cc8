#include "tools/control.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "controller/ctrl_cmd.h"
#include "controller/peers.h"
#include "controller/state.h"
#include "daemon/config.h"
#include "io/io.h"
#include "object/attr.h"
#include "proto/keys.h"
#include "proto/records.h"
#include "proto/trailer.h"

int node_arg_check(const std::string &text, std::string *canonical, std::string *why)
{
    if (text.empty()) {
        *why = "empty node id";
        return -1;
    }
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            *why = "node id `" + text + "' is not a decimal number";
            return -1;
        }
        v = v * 10 + unsigned(c - '0');
        if (v > UINT32_MAX) {
            *why = "node id `" + text + "' is larger than 4294967295";
            return -1;
        }
    }
    *canonical = std::to_string(v);
    return 0;
}

int uuid_arg_check(const std::string &text, std::string *why)
{
    if (text.empty()) {
        *why = "empty vdisk uuid";
        return -1;
    }
    if (text.size() > UUID_LEN) {
        *why = "vdisk uuid `" + text + "' is longer than 14 characters";
        return -1;
    }
    for (char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            *why = "vdisk uuid `" + text + "' contains a blank";
            return -1;
        }
        if (c < 0x20 || c == 0x7f) {
            *why = "vdisk uuid contains a control character";
            return -1;
        }
    }
    if (text == "." || text == ".." || text.find('/') != std::string::npos) {
        *why = "vdisk uuid `" + text + "' cannot name an object";
        return -1;
    }
    return 0;
}

int ctrl_line_build(const std::string &command, const std::string &node, const std::string &vdisk,
                    std::string *line, std::string *why)
{
    CtrlCmdKind kind;
    if (command == "single-vdisk-ping")
        kind = CTRL_SINGLE_VDISK_PING;
    else if (command == "ds-ping")
        kind = CTRL_DS_PING;
    else if (command == "vdisk-deleted")
        kind = CTRL_VDISK_DELETED;
    else {
        *why = "unknown command `" + command + "'";
        return -1;
    }
    std::string canonical;
    if (node_arg_check(node, &canonical, why) != 0)
        return -1;
    if (kind == CTRL_DS_PING) {
        *line = "ds_ping " + canonical;
    } else {
        if (uuid_arg_check(vdisk, why) != 0)
            return -1;
        *line = (kind == CTRL_SINGLE_VDISK_PING ? "single_vdisk_ping " : "vdisk_deleted ") +
                canonical + " " + vdisk;
    }

    std::vector<char> text(line->begin(), line->end());
    text.push_back('\n');
    text.push_back('\0');
    CtrlCmd cmd;
    const std::string expected_vdisk = kind == CTRL_DS_PING ? "" : vdisk;
    if (ctrl_cmd_parse(text.data(), &cmd) != CTRL_OK || cmd.kind != kind ||
        canonical != cmd.nodeuuid || expected_vdisk != cmd.vdiskuuid) {
        *why = "marlo would misread the line `" + *line + "'";
        return -1;
    }
    return 0;
}

namespace {

// A connected TCP socket to the CTRL port addr:port, or none with *why set.
UniqueFd ctrl_connect(const std::string &addr, int port, std::string *why)
{
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
        *why = "ctrl_address `" + addr + "' is not an IPv4 address";
        return UniqueFd();
    }
    UniqueFd so(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!so) {
        *why = std::string("socket(): ") + strerror(errno);
        return so;
    }
    int r;
    do {
        r = ::connect(so.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        *why = "cannot connect to the CTRL port " + addr + ":" + std::to_string(port) + ": " +
               strerror(errno) + (errno == ECONNREFUSED ? " (is marlo running?)" : "");
        so.reset();
    }
    return so;
}

// Writes line in full.  MSG_NOSIGNAL: a daemon that goes away mid-write is
// an error, not a SIGPIPE.  0; -1 with *why set.
int ctrl_write(int so, const std::string &where, const std::string &line, std::string *why)
{
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::send(so, line.data() + done, line.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *why = "write to the CTRL port " + where + ": " + strerror(errno);
            return -1;
        }
        done += size_t(n);
    }
    return 0;
}

// The daemon writes its counters from its 64 KiB message buffer.
constexpr size_t COUNTERS_REPLY_MAX = 65536;

// A counter's name as the daemon writes it: [a-z][a-z0-9_]*.
bool counter_name(const std::string &name)
{
    if (name.empty() || name[0] < 'a' || name[0] > 'z')
        return false;
    for (char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
            return false;
    return true;
}

// A decimal number of at most 20 digits that fits 64 bits.
bool decimal(const std::string &text, unsigned long long *value)
{
    if (text.empty() || text.size() > 20)
        return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || v > (ULLONG_MAX - unsigned(c - '0')) / 10)
            return false;
        v = v * 10 + unsigned(c - '0');
    }
    *value = v;
    return true;
}

// One line of the reply (without its newline) into *out.
void counters_line(const std::string &line, DaemonCounters *out)
{
    std::vector<std::string> words;
    for (size_t at = 0; at <= line.size();) {
        size_t blank = line.find(' ', at);
        if (blank == std::string::npos)
            blank = line.size();
        words.push_back(line.substr(at, blank - at));
        at = blank + 1;
    }
    unsigned long long value, node;
    if (words.size() == 2 && counter_name(words[0]) && decimal(words[1], &value))
        out->counters.emplace_back(words[0], value);
    else if (words.size() == 2 && words[0] == "reload_refused")
        out->reload_refused = words[1];
    else if (words.size() == 3 && words[0] == "last" && counter_name(words[1]) &&
             decimal(words[2], &value) && value <= LLONG_MAX)
        out->last_rise[words[1]] = (long long)value;
    else if (words.size() >= 3 && words.size() <= 5 && words[0] == "local" &&
             decimal(words[1], &node) && node <= UINT32_MAX && decimal(words[2], &value) &&
             value <= LLONG_MAX) {
        out->local.emplace_back(std::to_string(node), (long long)value);
        if (unsigned long long missed; words.size() >= 4 && decimal(words[3], &missed))
            out->pings_not_sent[std::to_string(node)] = missed;
        if (unsigned long long run; words.size() == 5 && decimal(words[4], &run))
            out->pings_unsent_run[std::to_string(node)] = run;
    }
}

}  // namespace

int ctrl_send(const std::string &addr, int port, const std::string &line, std::string *why)
{
    UniqueFd so = ctrl_connect(addr, port, why);
    if (!so)
        return -1;
    return ctrl_write(so.get(), addr + ":" + std::to_string(port), line, why);
}

int ctrl_counters(const std::string &addr, int port, DaemonCounters *out, std::string *why,
                  int timeout_ms)
{
    const std::string where = addr + ":" + std::to_string(port);
    UniqueFd so = ctrl_connect(addr, port, why);
    if (!so || ctrl_write(so.get(), where, "counters\n", why) != 0)
        return -1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::string text;
    *out = DaemonCounters();
    for (;;) {
        const size_t nl = text.find('\n');
        if (nl != std::string::npos) {
            const std::string line = text.substr(0, nl);
            text.erase(0, nl + 1);
            if (line == "end")
                return 0;
            counters_line(line, out);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd pfd = {so.get(), POLLIN, 0};
        const int r = left.count() > 0 ? ::poll(&pfd, 1, int(left.count())) : 0;
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0) {
            *why = "no answer to `counters' from the CTRL port " + where + " within " +
                   std::to_string(timeout_ms) + " ms (not marlo, or busy?)";
            return -1;
        }
        char buf[4096];
        const ssize_t n = r < 0 ? -1 : ::read(so.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *why = "the CTRL port " + where + " " +
                   (n == 0 ? std::string("closed the connection before the end of the counters")
                           : std::string("read: ") + strerror(errno));
            return -1;
        }
        text.append(buf, size_t(n));
        if (text.size() > COUNTERS_REPLY_MAX) {
            *why = "the CTRL port " + where + " answers `counters' with more than " +
                   std::to_string(COUNTERS_REPLY_MAX) + " bytes: not marlo?";
            return -1;
        }
    }
}

std::string work_path(const std::string &work_directory, const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    return work_directory + "/" + path;
}

namespace {

// Runs the daemon's reader `load` of a list file on the file that `setting`
// names, taken from the work directory as the daemon takes it.  The reader
// replaces its list only when the whole file is good.  0; -1 with *why set
// to the file and what the reader found wrong with it.
int read_list(const char *what, std::string &setting, int (*load)(std::string *),
              std::string *why)
{
    if ((!local_nodes && NodeListAlloc(local_nodes) < 0) ||
        (!unicast_hosts && HostListAlloc(unicast_hosts) < 0)) {
        *why = "out of memory";
        return -1;
    }
    const std::string configured = setting;
    setting = work_path(cfg_work_directory, configured);
    std::string error;
    const int r = load(&error);
    if (r != 0)
        *why = std::string(what) + " " + setting + ": " +
               (error.empty() ? std::string("cannot be read") : error);
    setting = configured;
    return r;
}

}  // namespace

int local_nodes_file(std::vector<std::string> *ids, std::string *why)
{
    const std::string file = work_path(cfg_work_directory, cfg_local_nodes);
    if (UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)); !fd) {
        *why = "local nodes file " + file + ": " + strerror(errno);
        return -1;
    }
    if (read_list("local nodes file", cfg_local_nodes, load_local_nodes, why) != 0)
        return -1;
    for (const auto &node : *local_nodes)
        ids->push_back(node->nodeuuid);
    return 0;
}

int reload_check(std::string *why)
{
    if (read_list("local nodes file", cfg_local_nodes, load_local_nodes, why) != 0 ||
        read_list("unicast hosts file", cfg_unicast_hosts, load_unicast_hosts, why) != 0)
        return -1;
    if (cfg_auth_mode == AUTH_OFF)
        return 0;
    const std::string keys = work_path(cfg_work_directory, cfg_auth_keys);
    // The keys read only to be checked stay in guarded memory, wiped when freed.
    GuardedRing ring = trailer_init() == 0 ? auth_ring_alloc() : nullptr;
    if (!ring) {
        *why = "key file " + keys + ": libsodium cannot be initialised or is out of memory";
        return -1;
    }
    std::string error;
    const int r = auth_keys_load(keys.c_str(), ring.get(), &error);
    if (r != 0)
        *why = "key file " + error;
    return r;
}

std::vector<std::string> local_node_ids(const DaemonState &daemon)
{
    std::vector<std::string> ids;
    std::string why;
    if (daemon.up) {
        for (const auto &[node, sent] : daemon.counters.local)
            ids.push_back(node);
    } else if (local_nodes_file(&ids, &why) != 0) {
        ids.clear();
    }
    return ids;
}

int daemon_pid(const std::string &pid_path, pid_t *out, std::string *why)
{
    // The pid file lies outside the store, often behind /var/run's link: it
    // is opened by its name, without blocking on a FIFO there, and read only
    // when it is a regular file.
    UniqueFd fd(::open(pid_path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        *why = "pid file " + pid_path + ": " + strerror(errno) +
               (errno == ENOENT ? " (is marlo running?)" : "");
        return -1;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = "pid file " + pid_path + " is not a regular file";
        return -1;
    }
    char text[16];
    ssize_t n;
    do
        n = ::read(fd.get(), text, sizeof text);
    while (n < 0 && errno == EINTR);
    if (n <= 0 || size_t(n) == sizeof text || text[n - 1] != '\n') {
        *why = "pid file " + pid_path + " cannot be read (malformed or oversized)";
        return -1;
    }
    const int len = int(n) - 1;
    long long pid = len > 0 ? 0 : -1;
    for (int i = 0; i < len && pid >= 0; i++)
        pid = text[i] >= '0' && text[i] <= '9' ? pid * 10 + (text[i] - '0') : -1;
    // 0 and negative pids would signal process groups or every process.
    if (pid <= 0 || pid > INT_MAX) {
        *why = "pid file " + pid_path + " does not hold a process id";
        return -1;
    }
    if (::kill(pid_t(pid), 0) != 0) {
        *why = "process " + std::to_string(pid) + " from " + pid_path + ": " + strerror(errno) +
               (errno == ESRCH ? " (marlo is not running)" : "");
        return -1;
    }
    *out = pid_t(pid);
    return 0;
}

DaemonState daemon_state()
{
    DaemonState d;
    if (daemon_pid(work_path(cfg_work_directory, cfg_pid_file), &d.pid, &d.why) != 0)
        return d;
    d.up = ctrl_counters(cfg_ctrl_address, cfg_ctrl_port, &d.counters, &d.why) == 0;
    if (!d.up) {
        d.why = "process " + std::to_string(d.pid) + " runs, but " + d.why;
        d.busy = fence_check_running(d.pid, cfg_fence_check, &d.fence);
    }
    return d;
}

int signal_daemon(int sig, std::string *why)
{
    const DaemonState d = daemon_state();
    if (!d.up) {
        *why = d.why;
        return -1;
    }
    if (::kill(d.pid, sig) != 0) {
        *why = "kill(" + std::to_string(d.pid) + "): " + strerror(errno);
        return -1;
    }
    return 0;
}
