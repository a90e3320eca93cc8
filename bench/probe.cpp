#include "probe.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

bool udp_queue(int port, UdpQueue *out, pid_t pid)
{
    const std::string path = pid > 0 ? "/proc/" + std::to_string(pid) + "/net/udp" : "/proc/net/udp";
    FILE *fp = std::fopen(path.c_str(), "re");
    if (fp == nullptr)
        return false;
    char line[512];
    bool found = false;
    char want[32];
    std::snprintf(want, sizeof want, "00000000:%04X", unsigned(port));
    while (std::fgets(line, sizeof line, fp) != nullptr) {
        //  sl local rem st tx:rx tr:when retrnsmt uid timeout inode ref pointer drops
        char local[64], rem[64], st[8], txrx[64], trw[64], retr[16];
        unsigned long long drops = 0;
        unsigned uid = 0, timeout = 0, ref = 0;
        unsigned long inode = 0;
        char pointer[32];
        int n = std::sscanf(line, " %*[^:]: %63s %63s %7s %63s %63s %15s %u %u %lu %u %31s %llu",
                            local, rem, st, txrx, trw, retr, &uid, &timeout, &inode, &ref, pointer,
                            &drops);
        if (n < 12 || std::strcmp(local, want) != 0)
            continue;
        const char *colon = std::strchr(txrx, ':');
        out->rx_bytes = colon ? std::strtoull(colon + 1, nullptr, 16) : 0;
        out->drops = drops;
        found = true;
        break;
    }
    std::fclose(fp);
    return found;
}

namespace {

// The "Name: field field ..." and "Name: value value ..." line pair of
// /proc/net/snmp for `name`, as field -> value.
std::map<std::string, uint64_t> snmp_group(const std::string &text, const std::string &name)
{
    std::map<std::string, uint64_t> out;
    std::istringstream in(text);
    std::string fields, values;
    while (std::getline(in, fields)) {
        if (fields.rfind(name + ": ", 0) != 0 || !std::getline(in, values))
            continue;
        std::istringstream f(fields.substr(name.size() + 2)), v(values.substr(name.size() + 2));
        std::string key;
        uint64_t value;
        while (f >> key && v >> value)
            out[key] = value;
        break;
    }
    return out;
}

}  // namespace

bool net_counters(pid_t pid, NetCounters *out)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/snmp");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    auto ip = snmp_group(text, "Ip"), udp = snmp_group(text, "Udp");
    if (ip.empty() || udp.empty())
        return false;
    out->udp_in = udp["InDatagrams"];
    out->udp_in_errors = udp["InErrors"];
    out->rcvbuf_errors = udp["RcvbufErrors"];
    out->reasm_fails = ip["ReasmFails"];
    return true;
}

uint64_t softnet_drops()
{
    std::ifstream in("/proc/net/softnet_stat");
    std::string line;
    uint64_t drops = 0;
    // One line per CPU in hexadecimal: processed, dropped, ...
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string processed, dropped;
        if (ls >> processed >> dropped)
            drops += std::stoull(dropped, nullptr, 16);
    }
    return drops;
}

Memory proc_memory(pid_t pid)
{
    Memory m;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long value;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        if (!(ls >> key >> value))
            continue;
        if (key == "VmRSS:")
            m.rss_kb = value;
        else if (key == "VmHWM:")
            m.hwm_kb = value;
    }
    return m;
}

CpuTime proc_cpu(pid_t pid)
{
    CpuTime t;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the parenthesised command name; utime and stime are the
    // 14th and 15th fields of the line.
    size_t close = all.rfind(')');
    if (close == std::string::npos)
        return t;
    std::istringstream rest(all.substr(close + 2));
    std::string f;
    unsigned long long ut = 0, st = 0;
    for (int i = 3; i <= 15 && rest >> f; i++) {
        if (i == 14)
            ut = std::stoull(f);
        if (i == 15)
            st = std::stoull(f);
    }
    double hz = double(sysconf(_SC_CLK_TCK));
    t.user = double(ut) / hz;
    t.sys = double(st) / hz;
    return t;
}

int free_udp_port()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    int port = -1;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&sa), &len) == 0)
        port = ntohs(sa.sin_port);
    close(fd);
    return port;
}

pid_t spawn(const std::vector<std::string> &argv, const std::string &dir, const std::string &log_path)
{
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int out = open(log_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int in = open("/dev/null", O_RDONLY);
    if (out >= 0) {
        dup2(out, 1);
        dup2(out, 2);
    }
    if (in >= 0)
        dup2(in, 0);
    if (!dir.empty() && chdir(dir.c_str()) != 0)
        _exit(126);
    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    std::fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

int wait_pid(pid_t pid, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0)
            return -1;
        if (std::chrono::steady_clock::now() > end)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

namespace {

// TracerPid of a process, or -1.
long tracer_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("TracerPid:", 0) == 0)
            return std::stol(line.substr(10));
    return -1;
}

}  // namespace

int StraceCount::attach(pid_t pid, const std::string &out_path, const std::string &log_path, bool full)
{
    out_ = out_path;
    std::vector<std::string> argv = {"strace", full ? "-tt" : "-c", "-f", "-q", "-o", out_path,
                                     "-p", std::to_string(pid)};
    if (full)
        argv.insert(argv.begin() + 2, {"-s", "96", "-yy"});
    strace_ = spawn(argv, "", log_path);
    if (strace_ < 0)
        return -1;
    for (int i = 0; i < 1000; i++) {
        if (tracer_of(pid) > 0)
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

int StraceCount::detach()
{
    if (strace_ < 0)
        return -1;
    kill(strace_, SIGINT);
    if (wait_pid(strace_, 30000) < 0)
        return -1;
    strace_ = -1;
    std::ifstream in(out_);
    std::string line;
    calls.clear();
    total = 0;
    bool table = false;
    while (std::getline(in, line)) {
        if (line.rfind("------", 0) == 0) {
            table = !table;  // the table lies between the two rulers
            continue;
        }
        if (!table)
            continue;
        std::istringstream ls(line);
        std::vector<std::string> tok;
        std::string t;
        while (ls >> t)
            tok.push_back(t);
        // % time, seconds, usecs/call, calls, [errors], name
        if (tok.size() < 5)
            continue;
        uint64_t c = std::stoull(tok[3]);
        uint64_t e = tok.size() >= 6 ? std::stoull(tok[4]) : 0;
        calls[tok.back()] = {c, e};
        total += c;
    }
    return 0;
}

long long callgrind_total(const std::string &path)
{
    std::ifstream in(path);
    std::string line;
    long long total = -1;
    while (std::getline(in, line)) {
        if (line.rfind("totals:", 0) == 0)
            total = std::stoll(line.substr(7));
        else if (line.rfind("summary:", 0) == 0 && total < 0)
            total = std::stoll(line.substr(8));
    }
    return total;
}

long long callgrind_calls(const std::string &path, const std::vector<std::string> &names)
{
    std::ifstream in(path);
    if (!in)
        return -1;
    // Names are compressed: "cfn=(12) malloc" the first time, "cfn=(12)"
    // after; each call site follows its cfn= line with "calls=N ...".
    std::map<std::string, std::string> name_of;
    bool counting = false;
    long long total = 0;
    std::string line;
    while (std::getline(in, line)) {
        bool callee = line.rfind("cfn=(", 0) == 0;
        if (callee || line.rfind("fn=(", 0) == 0) {
            size_t open = line.find('('), close = line.find(')');
            std::string id = line.substr(open + 1, close - open - 1);
            if (close + 2 <= line.size())
                name_of[id] = line.substr(close + 2);
            counting = false;
            if (callee)
                for (const auto &n : names)
                    counting = counting || name_of[id] == n;
            continue;
        }
        if (counting && line.rfind("calls=", 0) == 0) {
            total += std::stoll(line.substr(6));
            counting = false;
        }
    }
    return total;
}
