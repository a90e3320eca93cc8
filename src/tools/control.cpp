#include "tools/control.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "controller/ctrl_cmd.h"
#include "io/io.h"
#include "object/attr.h"
#include "proto/records.h"

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

int ctrl_send(const std::string &addr, int port, const std::string &line, std::string *why)
{
    const std::string where = addr + ":" + std::to_string(port);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, addr.c_str(), &sa.sin_addr) != 1) {
        *why = "ctrl_address `" + addr + "' is not an IPv4 address";
        return -1;
    }
    UniqueFd so(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!so) {
        *why = std::string("socket(): ") + strerror(errno);
        return -1;
    }
    int r;
    do {
        r = ::connect(so.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        *why = "cannot connect to the CTRL port " + where + ": " + strerror(errno) +
               (errno == ECONNREFUSED ? " (is marlo running?)" : "");
        return -1;
    }
    // MSG_NOSIGNAL: a daemon that goes away mid-write is an error, not a
    // SIGPIPE.
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::send(so.get(), line.data() + done, line.size() - done, MSG_NOSIGNAL);
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

std::string pid_file_path(const std::string &work_directory, const std::string &pid_file)
{
    if (!pid_file.empty() && pid_file[0] == '/')
        return pid_file;
    return work_directory + "/" + pid_file;
}

namespace {

// The process's command name from /proc ("" when it cannot be read).
std::string command_name(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/comm";
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        return "";
    char buf[64];
    ssize_t n = ::read(fd.get(), buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    std::string name(buf, size_t(n));
    if (!name.empty() && name.back() == '\n')
        name.pop_back();
    return name;
}

}  // namespace

int daemon_pid(const std::string &pid_path, pid_t *out, std::string *why)
{
    // Only a regular file is opened: a FIFO in its place would block.
    struct stat st;
    if (::stat(pid_path.c_str(), &st) != 0) {
        *why = "pid file " + pid_path + ": " + strerror(errno) +
               (errno == ENOENT ? " (is marlo running?)" : "");
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *why = "pid file " + pid_path + " is not a regular file";
        return -1;
    }
    char text[16];
    int len = StringLoad(AT_FDCWD, pid_path.c_str(), text, int(sizeof text) - 1);
    if (len < 0) {
        *why = "pid file " + pid_path + " cannot be read (malformed or oversized)";
        return -1;
    }
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
    const std::string name = command_name(pid_t(pid));
    if (!name.empty() && name != "marlo") {
        *why = "process " + std::to_string(pid) + " from " + pid_path + " is `" + name +
               "', not marlo (stale pid file?)";
        return -1;
    }
    *out = pid_t(pid);
    return 0;
}

int signal_daemon(const std::string &pid_path, int sig, std::string *why)
{
    pid_t pid;
    if (daemon_pid(pid_path, &pid, why) != 0)
        return -1;
    if (::kill(pid, sig) != 0) {
        *why = "kill(" + std::to_string(pid) + "): " + strerror(errno);
        return -1;
    }
    return 0;
}
