// marlo-loadgen: plays a cluster at a real marlo daemon over loopback and
// measures how fast the daemon applies what it hears.
//
//     marlo-loadgen --marlo build/marlo --run-dir bench-out/hb --store tmpfs
//                   --scenario hb --nodes 100 --count 20000
//
// One run: enter a private mount namespace (store and lock directory on the
// medium under test, /dev/log read by this program), start the daemon on a
// fresh store, populate the cluster (every node's DS_PING, AUX_PING and PING
// once), bring it to a steady state, then send the measured traffic and wait
// until the daemon has applied all of it.  The daemon handles one datagram
// per loop pass; datagrams are sent either as fast as it drains them (the
// socket's receive queue, read from /proc/net/udp, is kept below the buffer
// size, so nothing is dropped) or at a fixed rate.  "Applied" is observed in
// the store: after the traffic comes an AUX_PING of a marker node whose
// memavail carries a sequence number, and the daemon applies datagrams in
// order.  Drops are read from /proc/net/udp and cross-checked against the
// daemon's RX statistics line.
//
// The result is one line on stdout, "RESULT key=value ...", read by
// bench/run.sh.  Progress goes to stderr.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cluster.h"
#include "probe.h"
#include "proto/trailer.h"
#include "sandbox.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0)
{
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void sleep_us(long us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

[[noreturn]] void die(const std::string &msg)
{
    std::fprintf(stderr, "marlo-loadgen: %s\n", msg.c_str());
    std::exit(2);
}

// Node id of the marker node; no cluster node uses it.
constexpr uint32_t MARKER_UID = 4000000000u;

struct Options {
    std::string marlo;
    std::string run_dir;
    std::string store = "tmpfs";  // tmpfs | disk
    std::string scenario = "hb";  // hb | aux | ds | ping | mix | cycle
    std::string tool = "none";    // none | strace | callgrind
    std::string priority = "info";
    std::string auth = "off";  // the daemon's auth_mode; sign/require: every datagram signed
    ClusterShape shape;
    unsigned vdisks_per_node = 0;  // when set, V = ceil(P * N / M)
    uint64_t count = 10000;        // measured datagrams (cycle: ping cycles)
    double max_seconds = 0;        // cap on the measured phase; 0: none
    double rate = 0;               // datagrams per second; 0: as fast as drained
    unsigned steady_rounds = 1;    // rounds of the scenario's traffic before measuring
    bool sandbox = true;
    bool save_log = false;
};

void usage()
{
    std::fprintf(stderr,
                 "usage: marlo-loadgen --marlo BIN --run-dir DIR [options]\n"
                 "  --store tmpfs|disk        medium of the object store and lock files (tmpfs)\n"
                 "  --scenario S              hb, aux, ds, ping, mix (a cluster's real traffic mix),\n"
                 "                            cycle (the daemon's own ping cycle of node 0)\n"
                 "  --nodes N --vdisks V | --vdisks-per-node P\n"
                 "  --members M --frontends F --snap-every K --nodes-per-ds D\n"
                 "  --count C                 measured datagrams (cycle: ping cycles)\n"
                 "  --seconds S               stop sending after S seconds\n"
                 "  --rate R                  datagrams per second (default: as fast as drained)\n"
                 "  --steady-rounds R         rounds of the traffic before measuring (1)\n"
                 "  --tool none|strace|trace|callgrind\n"
                 "                            strace: system calls counted (strace -c -f);\n"
                 "                            trace: every call in DIR/strace.txt\n"
                 "  --priority P              the daemon's syslog_priority (info)\n"
                 "  --auth off|sign|require   the daemon's auth_mode (off); when not off, every\n"
                 "                            datagram sent carries a valid trailer\n"
                 "  --save-log                keep every log line in DIR/daemon.log\n"
                 "  --no-sandbox              run in the current mount namespace (no log sink)\n");
    std::exit(2);
}

Options parse(int argc, char **argv)
{
    Options o;
    enum { MARLO = 1000, RUNDIR, STORE, SCEN, TOOL, PRIO, AUTH, NODES, VDISKS, VPN, MEMBERS, FRONTENDS,
           SNAP, NPD, COUNT, SECONDS, RATE, STEADY, NOSANDBOX, SAVELOG };
    static const struct option longopts[] = {
        {"marlo", 1, nullptr, MARLO},         {"run-dir", 1, nullptr, RUNDIR},
        {"store", 1, nullptr, STORE},         {"scenario", 1, nullptr, SCEN},
        {"tool", 1, nullptr, TOOL},           {"priority", 1, nullptr, PRIO},
        {"auth", 1, nullptr, AUTH},
        {"nodes", 1, nullptr, NODES},         {"vdisks", 1, nullptr, VDISKS},
        {"vdisks-per-node", 1, nullptr, VPN}, {"members", 1, nullptr, MEMBERS},
        {"frontends", 1, nullptr, FRONTENDS}, {"snap-every", 1, nullptr, SNAP},
        {"nodes-per-ds", 1, nullptr, NPD},    {"count", 1, nullptr, COUNT},
        {"seconds", 1, nullptr, SECONDS},     {"rate", 1, nullptr, RATE},
        {"steady-rounds", 1, nullptr, STEADY}, {"no-sandbox", 0, nullptr, NOSANDBOX},
        {"save-log", 0, nullptr, SAVELOG},    {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
        switch (c) {
        case MARLO: o.marlo = optarg; break;
        case RUNDIR: o.run_dir = optarg; break;
        case STORE: o.store = optarg; break;
        case SCEN: o.scenario = optarg; break;
        case TOOL: o.tool = optarg; break;
        case PRIO: o.priority = optarg; break;
        case AUTH: o.auth = optarg; break;
        case NODES: o.shape.nodes = unsigned(std::stoul(optarg)); break;
        case VDISKS: o.shape.vdisks = unsigned(std::stoul(optarg)); break;
        case VPN: o.vdisks_per_node = unsigned(std::stoul(optarg)); break;
        case MEMBERS: o.shape.members = unsigned(std::stoul(optarg)); break;
        case FRONTENDS: o.shape.frontends = unsigned(std::stoul(optarg)); break;
        case SNAP: o.shape.snap_every = unsigned(std::stoul(optarg)); break;
        case NPD: o.shape.nodes_per_ds = unsigned(std::stoul(optarg)); break;
        case COUNT: o.count = std::stoull(optarg); break;
        case SECONDS: o.max_seconds = std::stod(optarg); break;
        case RATE: o.rate = std::stod(optarg); break;
        case STEADY: o.steady_rounds = unsigned(std::stoul(optarg)); break;
        case NOSANDBOX: o.sandbox = false; break;
        case SAVELOG: o.save_log = true; break;
        default: usage();
        }
    }
    if (o.marlo.empty() || o.run_dir.empty())
        usage();
    if (o.store != "tmpfs" && o.store != "disk")
        die("--store must be tmpfs or disk");
    if (o.tool != "none" && o.tool != "strace" && o.tool != "trace" && o.tool != "callgrind")
        die("--tool must be none, strace, trace or callgrind");
    static const char *scenarios[] = {"hb", "aux", "ds", "ping", "mix", "cycle"};
    bool known = false;
    for (const char *s : scenarios)
        known = known || o.scenario == s;
    if (!known)
        die("unknown scenario " + o.scenario);
    if (o.vdisks_per_node > 0)
        o.shape.vdisks = unsigned((uint64_t(o.vdisks_per_node) * o.shape.nodes + o.shape.members - 1) /
                                 o.shape.members);
    return o;
}

std::string absolute(const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        die("getcwd failed");
    return std::string(cwd) + "/" + path;
}

void write_file(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::trunc);
    out << text;
    if (!out)
        die("cannot write " + path);
}

// What the kernel charges a socket's receive queue for one datagram of `len`
// bytes over loopback: measured once per length on a socket of our own.
class Truesize {
public:
    Truesize()
    {
        so_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 4 << 20;
        setsockopt(so_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        std::memset(&sa_, 0, sizeof sa_);
        sa_.sin_family = AF_INET;
        socklen_t sl = sizeof sa_;
        if (bind(so_, reinterpret_cast<struct sockaddr *>(&sa_), sizeof sa_) < 0 ||
            getsockname(so_, reinterpret_cast<struct sockaddr *>(&sa_), &sl) < 0)
            die("truesize socket");
        sa_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Truesize() { close(so_); }

    uint64_t of(size_t len)
    {
        for (const auto &[l, t] : known_)
            if (l == len)
                return t;
        std::string probe(len, 'x');
        uint64_t t = 2 * len + 2048;  // fallback: a generous guess
        if (sendto(so_, probe.data(), len, 0, reinterpret_cast<struct sockaddr *>(&sa_), sizeof sa_) ==
            ssize_t(len)) {
            UdpQueue q;
            for (int i = 0; i < 100; i++) {
                if (udp_queue(ntohs(sa_.sin_port), &q) && q.rx_bytes > 0) {
                    t = q.rx_bytes;
                    break;
                }
                sleep_us(100);
            }
            static char sink[65536];
            recv(so_, sink, sizeof sink, 0);
        }
        known_.emplace_back(len, t);
        return t;
    }

private:
    int so_ = -1;
    struct sockaddr_in sa_;
    std::vector<std::pair<size_t, uint64_t>> known_;
};

// Sends datagrams to the daemon, keeping its receive queue below its buffer.
class Sender {
public:
    // /proc/net/udp shows the queue less what the socket has consumed but
    // not yet given back (up to a quarter of the buffer), while the kernel
    // drops by the full charge: stay below 60 % of the buffer.
    Sender(int port, size_t rcvbuf) : port_(port), limit_(rcvbuf * 6 / 10)
    {
        so_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int size = 4 << 20;
        setsockopt(so_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        std::memset(&dst_, 0, sizeof dst_);
        dst_.sin_family = AF_INET;
        dst_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        dst_.sin_port = htons(uint16_t(port));
    }
    ~Sender() { close(so_); }

    // As fast as the daemon drains: waits while the queue would overflow.
    // The queue is read back whenever the sum of what was sent since the
    // last reading could reach the limit.
    void send_drained(const std::string &msg)
    {
        const uint64_t cost = truesize_.of(msg.size() + (signing_ ? sizeof(AuthTrailer) : 0)) + 256;
        long backoff = 20;
        while (queue_ + cost > limit_) {
            uint64_t before = queue_;
            poll_queue();
            if (queue_ == 0 || queue_ + cost <= limit_)
                break;
            backoff = queue_ < before ? 20 : std::min(backoff * 2, 2000L);
            sleep_us(backoff);
        }
        raw_send(msg);
        queue_ += cost;
    }

    // From now on every datagram of at least a header carries a trailer made
    // with key, as a signing peer's do.
    void sign_with(const AuthKey &key)
    {
        key_ = key;
        signing_ = true;
    }

    // Without looking at the queue (rate mode, wake-ups).
    void raw_send(const std::string &plain)
    {
        std::string signed_msg;
        if (signing_ && plain.size() >= sizeof(Hdr)) {
            AuthTrailer t;
            trailer_sign(key_, ++counter_, time(nullptr), plain.data(), plain.size(), &t);
            signed_msg = plain + std::string(reinterpret_cast<const char *>(&t), sizeof t);
        }
        const std::string &msg = signed_msg.empty() ? plain : signed_msg;
        for (;;) {
            ssize_t n = sendto(so_, msg.data(), msg.size(), 0,
                               reinterpret_cast<const struct sockaddr *>(&dst_), sizeof dst_);
            if (n == ssize_t(msg.size()))
                break;
            if (n < 0 && (errno == EINTR || errno == ENOBUFS || errno == EAGAIN || errno == ECONNREFUSED)) {
                sleep_us(100);
                continue;
            }
            die("sendto: " + std::string(n < 0 ? strerror(errno) : "short send"));
        }
        sent_++;
        if (msg.size() >= sizeof(Hdr))
            sent_counted_++;
    }

    // Reads the queue; records the largest seen.
    UdpQueue poll_queue()
    {
        UdpQueue q;
        if (udp_queue(port_, &q)) {
            queue_ = q.rx_bytes;
            max_queue_ = std::max(max_queue_, q.rx_bytes);
        }
        return q;
    }

    uint64_t sent() const { return sent_; }
    uint64_t sent_counted() const { return sent_counted_; }  // the daemon counts these
    uint64_t max_queue() const { return max_queue_; }
    void reset_max_queue() { max_queue_ = 0; }

private:
    int so_ = -1;
    int port_;
    uint64_t limit_;
    struct sockaddr_in dst_;
    uint64_t queue_ = 0;
    uint64_t max_queue_ = 0;
    uint64_t sent_ = 0;
    uint64_t sent_counted_ = 0;
    Truesize truesize_;
    bool signing_ = false;
    AuthKey key_{};
    uint64_t counter_ = 0;
};

// The running daemon and everything around it.
struct Bench {
    Options o;
    Cluster cluster;
    LogSink sink;
    std::string dir;        // run directory
    std::string db;         // work_directory
    int port = 0;
    pid_t pid = -1;         // the daemon
    std::unique_ptr<Sender> tx;
    uint32_t marker_seq = 0;
    int capture = -1;       // cycle scenario: receives the daemon's pings
    Clock::time_point started;  // when the daemon was started
};

std::string marker_path(const Bench &b) { return b.db + "/Node/" + std::to_string(MARKER_UID) + "/memavail"; }

bool daemon_alive(const Bench &b) { return b.pid > 0 && kill(b.pid, 0) == 0; }

// Sends the marker and waits until the daemon has applied it, and so
// everything sent before it.  Seconds waited after the marker was sent.
double sync_applied(Bench &b, const char *what)
{
    uint32_t seq = ++b.marker_seq;
    b.tx->send_drained(bench_marker_aux_ping(MARKER_UID, seq));
    auto t0 = Clock::now();
    const std::string path = marker_path(b);
    char buf[32];
    long delay = 20;
    for (;;) {
        FILE *fp = std::fopen(path.c_str(), "re");
        if (fp != nullptr) {
            size_t n = std::fread(buf, 1, sizeof buf - 1, fp);
            std::fclose(fp);
            buf[n] = '\0';
            if (n > 0 && buf[n - 1] == '\n' && std::strtoul(buf, nullptr, 10) == seq)
                return seconds_since(t0);
        }
        if (!daemon_alive(b))
            die(std::string("daemon died while waiting for ") + what);
        if (seconds_since(t0) > 3600)
            die(std::string("timed out waiting for ") + what);
        sleep_us(delay);
        delay = std::min(delay * 2, 5000L);
    }
}

// A datagram of an unknown type (7): the daemon counts it, logs it and
// dumps its header, which under callgrind starts a new profile part.  The
// cycle scenario then waits for the PING of that pass.
void send_window_mark(Bench &b)
{
    std::string mark(sizeof(Hdr), '\0');
    Hdr hdr;
    bench_fill_hdr(hdr, MARKER_UID);
    hdr.type = 7;
    std::memcpy(mark.data(), &hdr, sizeof hdr);
    b.tx->send_drained(mark);
}

void write_config(Bench &b)
{
    const Options &o = b.o;
    bool cycle = o.scenario == "cycle";
    std::ostringstream c;
    c << "syslog_ident=marlo-bench\n"
      << "syslog_facility=daemon\n"
      << "syslog_priority=" << o.priority << "\n"
      << "work_directory=" << b.db << "\n"
      << "pid_file=" << b.dir << "/marlo.pid\n"
      << "local_nodes=" << b.dir << "/local_nodes\n"
      << "unicast_mode=1\n"
      << "unicast_hosts=" << b.dir << "/unicast_hosts\n"
      << "bind_interface=lo\n"
      << "bind_port=" << b.port << "\n"
      << "ctrl_address=127.0.0.1\n"
      << "ctrl_port=" << free_udp_port() << "\n"
      << "fence_check=/bin/true\n"
      << "ping_interval=" << (cycle ? 0 : 90) << "\n"
      << "heartbeat_interval=" << (cycle ? 3600 : 30) << "\n"
      << "stats_interval=1\n";
    if (o.auth != "off") {
        // The bench key: 32 bytes of 0x42, id 9.
        const std::string keys = b.dir + "/auth_keys";
        std::string line = "9 ";
        while (line.size() < 66)
            line += "42";
        write_file(keys, line + "\n");
        chmod(keys.c_str(), 0600);
        c << "auth_mode=" << o.auth << "\nauth_keys=" << keys << "\n";
    }
    write_file(b.dir + "/marlo.conf", c.str());
    // The cycle scenario: node 0 is local and its pings go to 127.0.0.2,
    // where this program listens on the daemon's port.
    write_file(b.dir + "/local_nodes", cycle ? std::to_string(b.cluster.messages()[0].uid) + "\n" : "");
    write_file(b.dir + "/unicast_hosts", cycle ? "127.0.0.2\n" : "");
}

void start_daemon(Bench &b)
{
    std::vector<std::string> argv;
    if (b.o.tool == "callgrind")
        // A dump each time a datagram of unknown type is dumped: the
        // measured window lies between two such datagrams (dump 2).
        argv = {"valgrind", "--tool=callgrind", "--dump-before=hdr_dump*",
                "--callgrind-out-file=" + b.dir + "/callgrind.out.%p"};
    argv.push_back(b.o.marlo);
    argv.push_back("-C");
    argv.push_back(b.dir + "/marlo.conf");
    std::string pidfile = b.dir + "/marlo.pid";
    unlink(pidfile.c_str());
    b.started = Clock::now();
    pid_t launcher = spawn(argv, b.dir, b.dir + "/daemon.out");
    if (launcher < 0)
        die("cannot start the daemon");
    // The daemon detaches: the launcher exits once the child runs.
    if (wait_pid(launcher, 120000) != 0)
        die("daemon start failed; see " + b.dir + "/daemon.out");
    auto t0 = Clock::now();
    for (;;) {
        std::ifstream in(pidfile);
        long pid = 0;
        if (in >> pid && pid > 0) {
            b.pid = pid_t(pid);
            break;
        }
        if (seconds_since(t0) > 120)
            die("no pid file");
        sleep_us(10000);
    }
    UdpQueue q;
    while (!udp_queue(b.port, &q)) {
        if (!daemon_alive(b) || seconds_since(t0) > 120)
            die("daemon did not bind its port");
        sleep_us(10000);
    }
}

int stop_daemon(Bench &b)
{
    kill(b.pid, SIGTERM);
    int status = wait_pid(b.pid, 300000);
    b.pid = -1;
    return status;
}

// The i-th datagram of the measured traffic, and its vdisk entries.
const std::string &traffic(const Bench &b, uint64_t i, unsigned *entries)
{
    const auto &m = b.cluster.messages();
    const uint64_t n = m.size();
    *entries = 0;
    const std::string &s = b.o.scenario;
    if (s == "hb")
        return m[i % n].heartbeat;
    if (s == "aux")
        return m[i % n].aux_ping;
    if (s == "ds")
        return m[i % n].ds_ping;
    if (s == "ping") {
        *entries = m[i % n].ping_entries;
        return m[i % n].ping;
    }
    // mix: one ping period (90 s at the default intervals) of the whole
    // cluster: per node a DS_PING, AUX_PING, PING and HEARTBEAT, then two
    // more heartbeat rounds (heartbeats every 30 s).
    uint64_t k = i % (6 * n);
    if (k < 4 * n) {
        const NodeMessages &nm = m[k / 4];
        switch (k % 4) {
        case 0: return nm.ds_ping;
        case 1: return nm.aux_ping;
        case 2: *entries = nm.ping_entries; return nm.ping;
        default: return nm.heartbeat;
        }
    }
    return m[(k - 4 * n) % n].heartbeat;
}

uint64_t round_length(const Bench &b)
{
    return b.o.scenario == "mix" ? 6 * b.cluster.messages().size() : b.cluster.messages().size();
}

// Every node announces itself once, as after a daemon restart in a running
// cluster: the store then holds every node, datastore and vdisk.
double populate(Bench &b)
{
    auto t0 = Clock::now();
    for (const auto &m : b.cluster.messages()) {
        b.tx->send_drained(m.ds_ping);
        b.tx->send_drained(m.aux_ping);
        b.tx->send_drained(m.ping);
    }
    sync_applied(b, "population");
    return seconds_since(t0);
}

struct Window {
    Clock::time_point t0;
    Memory mem0, mem1;
    CpuTime cpu0, cpu1;
    uint64_t lines0 = 0, lines1 = 0;
    uint64_t drops0 = 0, drops1 = 0;
    uint64_t msgs = 0, entries = 0;
    double secs = 0;
    double tail = 0;  // time from the last send until applied (rate mode: lag)
};

void window_open(Bench &b, Window &w)
{
    w.mem0 = proc_memory(b.pid);
    w.cpu0 = proc_cpu(b.pid);
    w.lines0 = b.sink.lines();
    w.drops0 = b.tx->poll_queue().drops;
    b.tx->reset_max_queue();
    w.t0 = Clock::now();
}

void window_close(Bench &b, Window &w)
{
    w.secs = seconds_since(w.t0);
    w.mem1 = proc_memory(b.pid);
    w.cpu1 = proc_cpu(b.pid);
    w.lines1 = b.sink.lines();
    w.drops1 = b.tx->poll_queue().drops;
}

// The measured traffic of the datagram scenarios.
void run_traffic(Bench &b, Window &w)
{
    const Options &o = b.o;
    unsigned entries = 0;
    uint64_t i = 0;
    auto start = Clock::now();
    for (; i < o.count; i++) {
        if (o.max_seconds > 0 && (i & 15) == 0 && seconds_since(start) > o.max_seconds)
            break;
        const std::string &msg = traffic(b, i, &entries);
        if (o.rate > 0) {
            auto due = start + std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(double(i) / o.rate));
            std::this_thread::sleep_until(due);
            b.tx->raw_send(msg);
            if ((i & 63) == 0)
                b.tx->poll_queue();
        } else {
            b.tx->send_drained(msg);
        }
        w.msgs++;
        w.entries += entries;
    }
    if (o.tool == "callgrind")
        send_window_mark(b);
    w.tail = sync_applied(b, "the measured traffic");
}

// Waits for the next PING from the daemon's ping cycle; the number of PINGs
// that arrived (a stats pass may add one).
uint64_t await_ping(Bench &b)
{
    static char buf[65536];
    auto t0 = Clock::now();
    uint64_t pings = 0;
    while (pings == 0) {
        struct timeval tv = {1, 0};
        fd_set rd;
        FD_ZERO(&rd);
        FD_SET(b.capture, &rd);
        if (select(b.capture + 1, &rd, nullptr, nullptr, &tv) > 0) {
            ssize_t n;
            while ((n = recv(b.capture, buf, sizeof buf, MSG_DONTWAIT)) > 0)
                if (size_t(n) >= sizeof(Hdr) && uint8_t(buf[2]) == MSG_PING)
                    pings++;
        }
        if (!daemon_alive(b))
            die("daemon died during the ping cycles");
        if (seconds_since(t0) > 600)
            die("no PING from the daemon's ping cycle");
    }
    return pings;
}

// The cycle scenario: each wake-up datagram (one byte, dropped by the daemon
// as malformed) gives the daemon a loop pass, and with ping_interval 0 every
// pass runs a ping cycle of the local node; its PING arrives here.  Under
// callgrind the window runs from the pass of one unknown-type datagram to
// the pass of the next, whose cycle belongs to the window.
void run_cycles(Bench &b, Window &w, uint64_t count)
{
    const unsigned entries = b.cluster.messages()[0].ping_entries;
    const std::string wake(1, '\0');
    const bool marks = b.o.tool == "callgrind";
    if (marks) {
        send_window_mark(b);
        await_ping(b);
    }
    auto start = Clock::now();
    uint64_t cycles = 0;
    while (cycles < count && !(b.o.max_seconds > 0 && seconds_since(start) > b.o.max_seconds)) {
        b.tx->raw_send(wake);
        cycles += await_ping(b);
    }
    if (marks) {
        send_window_mark(b);
        cycles += await_ping(b);
    }
    w.msgs = cycles;
    w.entries = cycles * entries;
}

int open_capture(int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int size = 8 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    struct sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(0x7f000002);  // 127.0.0.2
    sa.sin_port = htons(uint16_t(port));
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0)
        die(std::string("bind 127.0.0.2: ") + strerror(errno));
    return fd;
}

void drain(int fd)
{
    static char buf[65536];
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

int main(int argc, char **argv)
{
    Bench b;
    b.o = parse(argc, argv);
    const Options &o = b.o;
    // The builders trace every record at debug level: keep this process's
    // own log quiet (a masked line costs nothing).
    setlogmask(LOG_UPTO(LOG_ERR));
    signal(SIGPIPE, SIG_IGN);
    prctl(PR_SET_CHILD_SUBREAPER, 1);

    b.dir = absolute(o.run_dir);
    b.o.marlo = absolute(o.marlo);
    std::string err;
    if (o.sandbox) {
        if (sandbox_enter(b.dir, o.store == "tmpfs", &err) < 0)
            die("sandbox: " + err);
        if (b.sink.start("/dev/log", &err) < 0)
            die("log sink: " + err);
        if (o.save_log)
            b.sink.save_to(b.dir + "/daemon.log");
    } else {
        mkdir(b.dir.c_str(), 0755);
        mkdir((b.dir + "/store").c_str(), 0755);
    }
    b.db = b.dir + "/store/DB";

    if (!b.cluster.build(o.shape, &err))
        die("cluster: " + err);
    b.port = free_udp_port();
    if (o.scenario == "cycle")
        b.capture = open_capture(b.port);
    write_config(b);
    start_daemon(b);
    std::fprintf(stderr, "[%s/%s] daemon %d on port %d; %u nodes, %u vdisks (%zu per node)\n",
                 o.scenario.c_str(), o.store.c_str(), int(b.pid), b.port, o.shape.nodes, o.shape.vdisks,
                 b.cluster.vdisks_of(0));

    // Kernel's charge limit for the daemon's queue: what it reported, else
    // the system default.
    size_t rcvbuf = 212992;
    for (int i = 0; i < 100 && b.sink.rcvbuf() == 0 && o.sandbox; i++)
        sleep_us(10000);
    if (b.sink.rcvbuf() > 0)
        rcvbuf = size_t(b.sink.rcvbuf());
    b.tx = std::make_unique<Sender>(b.port, rcvbuf);
    if (o.auth != "off") {
        AuthKey key{9, {}};
        std::memset(key.key, 0x42, sizeof key.key);
        if (trailer_init() < 0)
            die("libsodium cannot be initialised");
        b.tx->sign_with(key);
    }

    double t_populate = populate(b);
    // The cycle scenario's daemon tried to announce its local node before
    // the node existed; those complaints are expected.
    if (o.scenario == "cycle")
        b.sink.clear_problems();
    std::fprintf(stderr, "[%s/%s] populated in %.2f s\n", o.scenario.c_str(), o.store.c_str(), t_populate);
    // Steady state: the measured traffic's first rounds (the ping scenarios'
    // first rounds turn created vdisks into updated ones).
    if (o.scenario != "cycle") {
        unsigned e;
        for (uint64_t i = 0; i < o.steady_rounds * round_length(b); i++)
            b.tx->send_drained(traffic(b, i, &e));
        sync_applied(b, "steady state");
    } else {
        // A few cycles to settle, then nothing pending on the capture socket.
        const std::string wake(1, '\0');
        for (int i = 0; i < 3; i++) {
            b.tx->raw_send(wake);
            await_ping(b);
        }
        drain(b.capture);
    }

    StraceCount strace;
    if ((o.tool == "strace" || o.tool == "trace") &&
        strace.attach(b.pid, b.dir + "/strace.txt", b.dir + "/strace.out", o.tool == "trace") < 0)
        die("strace attach failed");
    if (o.tool == "callgrind" && o.scenario != "cycle")
        send_window_mark(b);

    Window w;
    window_open(b, w);
    if (o.scenario == "cycle")
        run_cycles(b, w, o.count);
    else
        run_traffic(b, w);
    window_close(b, w);

    if ((o.tool == "strace" || o.tool == "trace") && strace.detach() < 0)
        die("strace detach failed");

    // The daemon's own count of what it received, from its statistics line
    // (one a second, the first 8 s after start).
    int64_t rx_missing = -1;
    if (o.sandbox) {
        auto t0 = Clock::now();
        double wait = std::max(3.0, 10.0 - seconds_since(b.started));
        while (b.sink.rx_all_long() < int64_t(b.tx->sent_counted()) && seconds_since(t0) < wait)
            sleep_us(20000);
        if (b.sink.rx_all_long() >= 0)
            rx_missing = int64_t(b.tx->sent_counted()) - b.sink.rx_all_long();
    }
    pid_t daemon_pid = b.pid;
    int status = stop_daemon(b);

    long long ir = -1, allocs = -1;
    if (o.tool == "callgrind") {
        const std::string part = b.dir + "/callgrind.out." + std::to_string(daemon_pid) + ".2";
        ir = callgrind_total(part);
        // Every heap allocation, operator new included, ends in one of these.
        allocs = callgrind_calls(part, {"malloc", "calloc", "realloc"});
    }

    const double msgs = double(std::max<uint64_t>(w.msgs, 1));
    std::printf("RESULT scenario=%s store=%s tool=%s nodes=%u vdisks=%u members=%u frontends=%u "
                "per_node=%zu msgs=%llu entries=%llu secs=%.4f msgs_s=%.1f entries_s=%.1f "
                "tail_s=%.4f drops=%llu rx_missing=%lld max_queue=%llu rss0_kb=%ld rss1_kb=%ld "
                "hwm_kb=%ld user_s=%.2f sys_s=%.2f log_per_msg=%.2f populate_s=%.2f exit=%d",
                o.scenario.c_str(), o.store.c_str(), o.tool.c_str(), o.shape.nodes, o.shape.vdisks,
                o.shape.members, o.shape.frontends, b.cluster.vdisks_of(0),
                (unsigned long long)w.msgs, (unsigned long long)w.entries, w.secs, double(w.msgs) / w.secs,
                double(w.entries) / w.secs, w.tail, (unsigned long long)(w.drops1 - w.drops0),
                (long long)rx_missing, (unsigned long long)b.tx->max_queue(), w.mem0.rss_kb,
                w.mem1.rss_kb, w.mem1.hwm_kb, w.cpu1.user - w.cpu0.user, w.cpu1.sys - w.cpu0.sys,
                double(w.lines1 - w.lines0) / msgs, t_populate, status);
    if (o.tool == "strace") {
        std::printf(" syscalls_per_msg=%.2f syscalls=", double(strace.total) / msgs);
        // By descending count: "name:calls/msg[:errors/msg],..."
        std::vector<std::pair<std::string, std::pair<uint64_t, uint64_t>>> v(strace.calls.begin(),
                                                                              strace.calls.end());
        std::sort(v.begin(), v.end(), [](const auto &a, const auto &c) { return a.second.first > c.second.first; });
        const char *sep = "";
        for (const auto &[name, ce] : v) {
            std::printf("%s%s:%.2f", sep, name.c_str(), double(ce.first) / msgs);
            if (ce.second > 0)
                std::printf(":%.2f", double(ce.second) / msgs);
            sep = ",";
        }
    }
    if (o.tool == "callgrind")
        std::printf(" ir_per_msg=%.0f allocs_per_msg=%.2f", ir < 0 ? -1.0 : double(ir) / msgs,
                    allocs < 0 ? -1.0 : double(allocs) / msgs);
    std::printf("\n");
    // Warnings and errors of the daemon, each text once (the cycle
    // scenario's one-byte wake-ups are dropped as malformed by design).
    std::set<std::string> seen;
    for (const auto &p : b.sink.problems()) {
        const char *text = std::strstr(p.c_str(), "]: ");
        std::string t = text != nullptr ? text + 3 : p;
        if (o.scenario == "cycle" && t.find("Malformed packet? #1") != std::string::npos)
            continue;
        // The callgrind window marks.
        if (o.tool == "callgrind" && t.find("Received unknown header type 7") != std::string::npos)
            continue;
        if (seen.insert(t).second)
            std::fprintf(stderr, "[%s/%s] daemon said: %s\n", o.scenario.c_str(), o.store.c_str(), t.c_str());
    }
    b.sink.stop();
    if (b.capture >= 0)
        close(b.capture);
    return status == 0 ? 0 : 1;
}
