// Observing a running daemon from outside: its socket queue, memory and CPU
// time from /proc, its system calls through strace and its instructions
// through callgrind, and starting and stopping it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// Receive queue of the UDP socket bound to 0.0.0.0:port (bytes charged to
// the socket, datagrams included with their overhead) and the datagrams the
// kernel dropped on it; with `pid`, in the network namespace of that
// process.  false when no such socket exists.
struct UdpQueue {
    uint64_t rx_bytes = 0;
    uint64_t drops = 0;
};
bool udp_queue(int port, UdpQueue *out, pid_t pid = 0);

// Counters of the network namespace in which process `pid` lives
// (/proc/<pid>/net/snmp): UDP datagrams delivered to sockets, UDP datagrams
// dropped on receipt (InErrors: full receive buffers, RcvbufErrors, and
// other errors) and IP datagrams whose fragments could not be put together
// (ReasmFails).  false when unreadable.
struct NetCounters {
    uint64_t udp_in = 0;
    uint64_t udp_in_errors = 0;
    uint64_t rcvbuf_errors = 0;
    uint64_t reasm_fails = 0;
};
bool net_counters(pid_t pid, NetCounters *out);
// Packets dropped because a CPU's input backlog was full, all CPUs together
// (/proc/net/softnet_stat; machine-wide, whatever the namespace).
uint64_t softnet_drops();

// VmRSS and VmHWM of a process, in KiB (0 when unreadable).
struct Memory {
    long rss_kb = 0;
    long hwm_kb = 0;
};
Memory proc_memory(pid_t pid);

// User and system CPU time of a process, in seconds.
struct CpuTime {
    double user = 0;
    double sys = 0;
};
CpuTime proc_cpu(pid_t pid);

// A UDP port free on 127.0.0.1 at the time of the call.
int free_udp_port();

// Runs argv in the background with stdout and stderr going to `log_path`
// (appended); cwd `dir`.  The child's pid, or -1.
pid_t spawn(const std::vector<std::string> &argv, const std::string &dir, const std::string &log_path);
// Waits for any process (child or, with the subreaper flag set, orphaned
// descendant) `pid` to end, up to timeout_ms.  Exit status, 128+signal, or
// -1 on time-out.
int wait_pid(pid_t pid, int timeout_ms);

// "strace -c -f" attached to a running process.
class StraceCount {
public:
    // Attaches and returns once the process is traced.  0 or -1.  With
    // `full`, strace writes every call instead of the summary (nothing is
    // counted then).
    int attach(pid_t pid, const std::string &out_path, const std::string &log_path, bool full = false);
    // Detaches, letting strace write its summary; parses it.  0 or -1.
    int detach();
    // calls and errors per system call name, and the totals.
    std::map<std::string, std::pair<uint64_t, uint64_t>> calls;
    uint64_t total = 0;

private:
    pid_t strace_ = -1;
    std::string out_;
};

// Total instructions ("totals:" line) of a callgrind output file, or -1.
long long callgrind_total(const std::string &path);
// Calls made to any of the functions `names` (exact names as callgrind
// writes them) in a callgrind output file, or -1 when unreadable.
long long callgrind_calls(const std::string &path, const std::vector<std::string> &names);
