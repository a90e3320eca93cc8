// Floods on the real binary.  A bounded burst of 50,000 datagrams (random,
// truncated and corrupted ones of every type and length, interleaved with
// valid ones) and a burst of CTRL connections beyond the daemon's
// descriptor limit, with garbage and partial lines.  Afterwards the daemon
// still answers on both ports, applies every valid datagram sent after the
// burst, holds no more descriptors than before, its memory (RSS) is back
// near where it stood after a warm-up of the same mix, nothing was written
// beside its work directory or left in /tmp, and it stops cleanly (in the
// sanitizer build: without a leak report).
//
// Datagrams are paced on the daemon's receive queue, so the kernel's socket
// buffer is not what is measured; datagrams the kernel drops during the
// burst are fine.  Nothing here is timed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "ctrl_client.h"
#include "harness.h"
#include "io/netlib.h"
#include "proto/records.h"
#include "store_read.h"
#include "store_seed.h"
#include "udp.h"

using namespace harness;
using namespace store_read;
namespace fs = std::filesystem;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAsan = true;
#else
constexpr bool kAsan = false;
#endif

constexpr int kBurst = 50000;
constexpr int kWarmUp = 5000;
constexpr int kAfter = 200;        // valid datagrams after the burst
constexpr int kConnections = 150;  // CTRL connections, beyond the limit below
constexpr rlim_t kNoFile = 64;     // the daemon's RLIMIT_NOFILE
constexpr int kIdle = 100;         // idle CTRL connections held open
constexpr uint32_t kBurstNodes = 2000;

// VmRSS of pid in KiB; -1 when unreadable.
long rss_kib(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// CPU time (user and system) the process has used so far.
std::chrono::duration<double> cpu_time(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The fields after the command's closing parenthesis: state is the
    // first, utime and stime the 12th and 13th.
    std::istringstream f(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 0; i < 11; i++)
        f >> field;
    double utime = 0, stime = 0;
    f >> utime >> stime;
    return std::chrono::duration<double>((utime + stime) / double(sysconf(_SC_CLK_TCK)));
}

size_t open_fds(pid_t pid) { return listing("/proc/" + std::to_string(pid) + "/fd").size(); }

// The fields of /proc/net/udp's line for the UDP socket bound to
// 0.0.0.0:port; none when there is no such socket.
std::vector<std::string> udp_socket(int port)
{
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // header
    char want[16];
    std::snprintf(want, sizeof want, "00000000:%04X", port);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::vector<std::string> fields;
        for (std::string field; f >> field;)
            fields.push_back(field);
        if (fields.size() > 4 && fields[1] == want)
            return fields;
    }
    return {};
}

// Bytes waiting in the receive queue of the UDP socket bound to 0.0.0.0:port
// (from /proc/net/udp); 0 when there is none.
long udp_rx_queue(int port)
{
    const std::vector<std::string> f = udp_socket(port);
    if (f.empty())
        return 0;
    const std::string &queues = f[4];  // tx_queue:rx_queue
    return std::strtol(queues.c_str() + queues.find(':') + 1, nullptr, 16);
}

// The kernel's count of datagrams dropped on that socket (the line's last
// field); -1 when there is none.
long udp_drops(int port)
{
    const std::vector<std::string> f = udp_socket(port);
    return f.empty() ? -1 : std::strtol(f.back().c_str(), nullptr, 10);
}

// Waits (at most 5 s, never failing) until the daemon has taken most of
// what is queued for it.
void pace(int port)
{
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (udp_rx_queue(port) > 32 * 1024 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(200us);
}

// The datagram mix of a burst.  Valid messages come from nodes 700..715
// about vdisks fl-00..fl-11 and datastores fds-0..fds-2, so the store stays
// small whatever the burst repeats.
class Mix {
public:
    explicit Mix(unsigned seed) : rng_(seed)
    {
        for (uint32_t id = 700; id < 716; id++) {
            seed::NodeSpec n{.id = id, .version = id % 2 ? "v1.7" : "v1.8"};
            const seed::DatastoreSpec ds{.uuid = "fds-" + std::to_string(id % 3)};
            std::vector<seed::VDiskSpec> vds;
            for (int k = 0; k < 3; k++) {
                char uuid[8];
                std::snprintf(uuid, sizeof uuid, "fl-%02u", (id + k) % 12);
                seed::VDiskSpec v{
                    .uuid = uuid, .description = "flood", .membership = {id, 700 + (id + 1) % 16}};
                v.memberinfo.push_back(
                    {.node = id, .gen = 1 + unsigned(k), .frontends = {"10.7.0.1", "10.7.0.2"}});
                vds.push_back(v);
            }
            valid_.push_back(seed::ds_ping_msg(n, &ds));
            valid_.push_back(seed::ds_ping_msg(n, nullptr));
            valid_.push_back(seed::aux_ping_msg(n));
            valid_.push_back(seed::hdr_bytes(n, MSG_HEARTBEAT));
            valid_.push_back(seed::ping_msg(n, {&vds[0], &vds[1], &vds[2]}));
            valid_.push_back(seed::ping_msg(n, {&vds[0]}));
            valid_.push_back(seed::single_vdisk_ping_msg(n, vds[1]));
            valid_.push_back(seed::vdisk_deleted_msg(n, vds[2].uuid));
        }
    }

    std::string next()
    {
        const int kind = pick(100);
        std::string d = valid_[size_t(pick(int(valid_.size())))];
        if (kind < 5)
            return d;  // valid
        if (kind < 35) {
            d.resize(size_t(pick(int(d.size()))));  // truncated
            return d;
        }
        if (kind < 55) {  // corrupted in place, sometimes in its type
            for (int i = 1 + pick(8); i > 0; i--)
                d[size_t(pick(int(d.size())))] = char(pick(256));
            if (pick(4) == 0)
                d[offsetof(Hdr, type)] = char(pick(256));
            return d;
        }
        // Random bytes of any length, mostly around the record sizes.
        static const int lengths[] = {0, 1, 206, 207, 208, 224, 225, 235, 236, 293, 294, 331, 332};
        size_t len;
        switch (pick(4)) {
        case 0: len = size_t(lengths[pick(int(std::size(lengths)))]); break;
        case 1: len = size_t(pick(HDR_LEN + 1)); break;
        case 2: len = HDR_LEN + size_t(pick(2000)); break;
        default: len = size_t(pick(65508)); break;
        }
        d.assign(len, '\0');
        fill(d);
        if (len > offsetof(Hdr, type)) {
            static const uint8_t types[] = {MSG_PING,          MSG_DS_PING,
                                            MSG_HEARTBEAT,     MSG_SINGLE_VDISK_PING,
                                            MSG_VDISK_DELETED, MSG_AUX_PING};
            if (pick(2) != 0)
                d[offsetof(Hdr, type)] = char(types[pick(6)]);
        }
        if (len >= offsetof(Hdr, uid) + 4 && pick(10) != 0)
            put_le(d, offsetof(Hdr, uid), 700 + uint64_t(pick(16)), 4);
        return d;
    }

    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    // Random bytes over all of d, four at a time.
    void fill(std::string &d)
    {
        for (size_t i = 0; i < d.size(); i += 4) {
            uint32_t w = uint32_t(rng_());
            std::memcpy(&d[i], &w, std::min<size_t>(4, d.size() - i));
        }
    }

private:
    std::mt19937 rng_;
    std::vector<std::string> valid_;
};

// A CTRL client socket, connected without blocking; -1 when the connection
// was not made.
int ctrl_connect(int port)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return -1;
    }
    struct pollfd p = {fd, POLLOUT, 0};
    if (::poll(&p, 1, 1000) != 1 || (p.revents & POLLOUT) == 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// One daemon hosting node 601 (seeded in a datastore), sending to a peer on
// 127.0.0.2, with a canary directory beside its work directory.
struct FloodRig {
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    std::string work = tmp.path("DB");
    std::string canary = tmp.path("canary");
    int port = std::stoi(cfg.at("bind_port"));
    int ctrl_port = std::stoi(cfg.at("ctrl_port"));
    std::unique_ptr<Daemon> d;
    std::unique_ptr<UdpPeer> peer;    // the daemon's unicast host
    std::unique_ptr<UdpPeer> sender;  // the flood's source

    FloodRig()
    {
        cfg["ping_interval"] = "3600";
        cfg["heartbeat_interval"] = "3600";
        cfg["stats_interval"] = "3600";
        cfg["syslog_priority"] = "notice";
        cfg["local_nodes"] = tmp.write_file("local_nodes", "601\n");
        cfg["unicast_hosts"] = tmp.write_file("unicast_hosts", "127.0.0.2\n");
        fs::create_directory(canary);
        seed::write_node(work, {.id = 601, .datastore = "ds-601"});
        seed::write_datastore(work, {.uuid = "ds-601", .members = {601}});
    }

    void start()
    {
        std::string conf = write_config(tmp.path("marlo.conf"), cfg);
        // A small quarantine keeps the sanitizer's delayed frees out of the
        // memory measurement.
        std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
        if (kAsan)
            ::setenv("ASAN_OPTIONS", (asan + ":quarantine_size_mb=1").c_str(), 1);
        peer = std::make_unique<UdpPeer>("127.0.0.2", port);
        sender = std::make_unique<UdpPeer>("127.0.0.3");
        d = std::make_unique<Daemon>(std::vector<std::string>{"-d", "-C", conf}, tmp, [] {
            struct rlimit rl = {kNoFile, kNoFile};
            return ::setrlimit(RLIMIT_NOFILE, &rl) == 0 ? 0 : errno;
        });
        if (kAsan)
            ::setenv("ASAN_OPTIONS", asan.c_str(), 1);
        ASSERT_TRUE(d->wait_for_line("[1/1] 601")) << d->text();
        ASSERT_TRUE(settle(*d, *sender, port)) << d->text();
    }

    void send_burst(Mix &mix, int count)
    {
        for (int i = 0; i < count; i++) {
            sender->send_to("127.0.0.1", port, mix.next());
            if (i % 32 == 31)
                pace(port);
        }
    }

    // Sends AUX_PINGs from `node` until its record exists: once it does,
    // every datagram sent before it has been taken.
    bool drained(uint32_t node)
    {
        const std::string path = work + "/Node/" + std::to_string(node) + "/memavail";
        for (int attempt = 0; attempt < 100; attempt++) {
            sender->send_to("127.0.0.1", port, seed::aux_ping_msg({.id = node}));
            for (int i = 0; i < 20; i++) {
                if (present(path))
                    return true;
                std::this_thread::sleep_for(10ms);
            }
        }
        return false;
    }

    // A fresh CTRL connection asks for node 601's DS_PING; true when the
    // peer receives it.
    bool answers_ctrl()
    {
        peer->drain();
        CtrlClient client(ctrl_port);
        if (client.peer().empty() || !client.write("ds_ping 601\n"))
            return false;
        for (int i = 0; i < 50; i++) {
            auto dg = peer->receive(200ms);
            if (dg && dg->bytes.size() == DS_PING_LEN && uint8_t(dg->bytes[2]) == MSG_DS_PING)
                return true;
        }
        return false;
    }
};

}  // namespace

TEST(Flood, DaemonSurvivesDatagramAndConnectionBurstsWhole)
{
    FloodRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const pid_t pid = rig.d->pid();
    const std::set<std::string> beside = listing(rig.tmp.dir());
    const std::set<std::string> in_tmp = listing("/tmp");
    const long rss_start = rss_kib(pid);

    // Warm-up with the same mix, so that what the daemon keeps for good
    // (buffers, caches, allocator arenas) is in place before measuring.
    Mix warm(1);
    rig.send_burst(warm, kWarmUp);
    ASSERT_TRUE(rig.drained(690)) << rig.d->text();
    const size_t fds_before = open_fds(pid);
    const long rss_before = rss_kib(pid);
    ASSERT_GT(rss_before, 0);

    Mix mix(2);
    rig.send_burst(mix, kBurst);
    ASSERT_TRUE(rig.drained(691)) << "the daemon stopped taking datagrams";

    // Connections beyond the descriptor limit, each with garbage, a partial
    // line, an over-long line or a command, some closed with a reset;
    // datagrams keep arriving meanwhile.
    const std::string garbage[] = {
        "ds_ping 6",                                               // no newline
        "single_vdisk_ping 601 " + std::string(1500, 'A') + "\n",  // beyond one read
        std::string("\0\0\0ds_ping 601\n", 15),
        "\r\n\r\n\n",
        "vdisk_deleted 601 fl-00 and more\n",
        "ds_ping 601\n",
    };
    std::vector<int> conns;
    for (int i = 0; i < kConnections; i++) {
        int fd = ctrl_connect(rig.ctrl_port);
        if (fd < 0)
            continue;
        std::string text = garbage[size_t(i) % std::size(garbage)];
        if (i % 7 == 3) {
            text.assign(size_t(1 + mix.pick(3000)), '\0');
            mix.fill(text);
        }
        (void)!::write(fd, text.data(), text.size());
        conns.push_back(fd);
        rig.sender->send_to("127.0.0.1", rig.port, mix.next());
    }
    EXPECT_GT(conns.size(), size_t(kNoFile)) << "the burst did not pass the descriptor limit";
    // The clients stay until the daemon has reached its bound on connections,
    // which keeps it clear of its descriptor limit.
    EXPECT_TRUE(rig.d->wait_for_line("connections reached", kWait, From::Start))
        << "the daemon never refused a connection";
    EXPECT_EQ(rig.d->count_lines("Too many open files"), 0u) << rig.d->text();
    for (size_t i = 0; i < conns.size(); i++) {
        if (i % 3 == 0) {
            struct linger lg = {1, 0};  // reset instead of an orderly close
            ::setsockopt(conns[i], SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        ::close(conns[i]);
    }

    // Every connection is gone again: the descriptor count comes back.
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (open_fds(pid) > fds_before && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(open_fds(pid), fds_before) << "descriptors still open after the burst";
    ASSERT_TRUE(rig.drained(692)) << rig.d->text();

    // Still answering: a new control connection is served, and every valid
    // datagram sent now is applied.
    EXPECT_TRUE(rig.answers_ctrl()) << "no DS_PING for a CTRL command after the burst";
    const seed::DatastoreSpec post_ds{.uuid = "post-ds"};
    for (int i = 0; i < kAfter; i++) {
        const seed::NodeSpec n{.id = uint32_t(800 + i)};
        rig.sender->send_to("127.0.0.1", rig.port, seed::aux_ping_msg(n));
        if (i % 10 == 0)
            rig.sender->send_to("127.0.0.1", rig.port, seed::ds_ping_msg(n, &post_ds));
        if (i % 20 == 0) {
            seed::VDiskSpec v{
                .uuid = "post-" + std::to_string(i), .description = "after", .membership = {n.id}};
            v.memberinfo.push_back({.node = n.id, .frontends = {"10.8.0.1"}});
            rig.sender->send_to("127.0.0.1", rig.port, seed::ping_msg(n, {&v}));
        }
        pace(rig.port);
    }
    ASSERT_TRUE(rig.drained(693));
    int missing = 0;
    for (int i = 0; i < kAfter; i++) {
        const std::string node = std::to_string(800 + i);
        missing += !present(rig.work + "/Node/" + node + "/memavail");
        if (i % 10 == 0)
            missing += !present(rig.work + "/Datastore/post-ds/members/" + node);
        if (i % 20 == 0)
            missing +=
                !present(rig.work + "/VDisk/post-" + std::to_string(i) + "/memberinfo/" + node);
    }
    EXPECT_EQ(missing, 0) << "valid datagrams sent after the burst were not applied";

    // Memory back near the warm-up level: at most 2 MiB or 20 % above it.
    const long rss_after = rss_kib(pid);
    const long allowance = std::max(2048L, rss_before / 5);
    EXPECT_LE(rss_after, rss_before + allowance)
        << "RSS KiB at start " << rss_start << ", after warm-up " << rss_before << ", after bursts "
        << rss_after;

    // Nothing beside the work directory, nothing left in /tmp.
    EXPECT_TRUE(listing(rig.canary).empty());
    EXPECT_EQ(listing(rig.tmp.dir()), beside);
    EXPECT_EQ(listing("/tmp"), in_tmp);
    for (const auto &name : listing(rig.work))
        EXPECT_TRUE((std::set<std::string>{"Node", "Datastore", "VDisk", "lock_holder"}.count(name))) << name;

    rig.d->signal(SIGTERM);
    EXPECT_EQ(rig.d->wait_exit(60s), 0) << rig.d->text().substr(0, 4000);
}

// Idle clients beyond the bound on CTRL connections: the daemon accepts up
// to its bound and closes the rest at once, never runs out of descriptors
// and stays idle itself (no loop spinning on a pending connection): little
// CPU time and hardly a log line over 3 s, while it still applies a
// datagram and runs a ping cycle.  The CPU bound only tells a spinning loop
// from a waiting one.
TEST(Flood, IdleCtrlConnectionsBeyondTheBoundLeaveTheDaemonIdleAndWorking)
{
    FloodRig rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const pid_t pid = rig.d->pid();
    std::vector<int> conns;
    for (int i = 0; i < kIdle; i++) {
        int fd = ctrl_connect(rig.ctrl_port);
        ASSERT_GE(fd, 0) << "connection " << i;
        conns.push_back(fd);
    }
    // Every client is taken: held open, or closed at once (end of file).
    auto settled = [&] {
        size_t closed = 0;
        for (int fd : conns) {
            struct pollfd p = {fd, POLLIN, 0};
            closed += ::poll(&p, 1, 0) == 1;
        }
        return closed + rig.d->count_lines("Accepted CTRL connection") == conns.size();
    };
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (!settled() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(settled()) << "clients neither held nor closed";
    EXPECT_EQ(rig.d->count_lines("connections reached"), 1u) << rig.d->text();

    rig.peer->drain();
    const size_t lines_before = rig.d->lines().size();
    const auto cpu_before = cpu_time(pid);
    const auto window_end = std::chrono::steady_clock::now() + 3s;
    const seed::DatastoreSpec ds{.uuid = "idle-ds"};
    rig.sender->send_to("127.0.0.1", rig.port, seed::ds_ping_msg({.id = 650}, &ds));
    rig.d->signal(SIGUSR1);
    std::this_thread::sleep_until(window_end);
    const auto cpu = cpu_time(pid) - cpu_before;
    const size_t lines = rig.d->lines().size() - lines_before;

    RecordProperty("cpu_ms", std::to_string(int(cpu.count() * 1000)));
    RecordProperty("log_lines", std::to_string(lines));
    EXPECT_LT(cpu.count(), 0.3) << "CPU seconds in 3 s with idle clients";
    EXPECT_LE(lines, 5u) << rig.d->text().substr(0, 4000);
    EXPECT_TRUE(present(rig.work + "/Datastore/idle-ds/members/650")) << "DS_PING not applied";
    bool pinged = false;
    for (const auto &dg : rig.peer->drain())
        pinged = pinged || (dg.size() > 2 && uint8_t(dg[2]) == MSG_PING);
    EXPECT_TRUE(pinged) << "no PING from the cycle SIGUSR1 asked for";

    for (int fd : conns)
        ::close(fd);
    EXPECT_TRUE(rig.answers_ctrl()) << "no DS_PING for a CTRL command after the clients left";
}

// One ping interval's datagrams of a large cluster arrive together: 2,000
// AUX_PINGs from 2,000 nodes sent without pause all fit the daemon's
// receive buffer and are applied.
TEST(Flood, BurstOfAuxPingsFromTwoThousandNodesIsAppliedWhole)
{
    long rmem_max = 0;
    std::ifstream("/proc/sys/net/core/rmem_max") >> rmem_max;
    if (geteuid() != 0 && rmem_max < RCVBUF_WANT)
        GTEST_SKIP() << "net.core.rmem_max " << rmem_max << ": needs root or 4 MiB";
    FloodRig rig;
    rig.cfg["stats_interval"] = "1";
    ASSERT_NO_FATAL_FAILURE(rig.start());

    std::vector<std::string> burst;
    for (uint32_t i = 0; i < kBurstNodes; i++)
        burst.push_back(seed::aux_ping_msg({.id = 20000 + i}));
    for (const auto &dg : burst)
        ASSERT_TRUE(rig.sender->send_to("127.0.0.1", rig.port, dg));
    ASSERT_TRUE(rig.drained(19999)) << "the daemon stopped taking datagrams";

    uint32_t missing = 0;
    for (uint32_t i = 0; i < kBurstNodes; i++)
        missing += !present(rig.work + "/Node/" + std::to_string(20000 + i) + "/memavail");
    EXPECT_EQ(missing, 0u) << "of " << kBurstNodes << " nodes";

    // Held up while a burst overflows its queue, the daemon then reports
    // what the kernel dropped, as the socket's own count says.
    rig.d->signal(SIGSTOP);
    long dropped = 0;
    for (uint32_t i = 0; i < 50 * kBurstNodes && (dropped = udp_drops(rig.port)) <= 0; i++)
        rig.sender->send_to("127.0.0.1", rig.port, burst[i % kBurstNodes]);
    rig.d->signal(SIGCONT);
    ASSERT_GT(dropped, 0) << "the queue never overflowed";
    EXPECT_TRUE(rig.d->wait_for_line("(" + std::to_string(dropped) + " since start)", kWait,
                                     From::Start))
        << rig.d->text().substr(0, 4000);
    // The counters say when, for health's warning while the drops are recent.
    CtrlClient client(rig.ctrl_port);
    ASSERT_TRUE(client.write("counters\n"));
    const std::string reply = client.read_through("end");
    const std::string line = "\nlast rx_socket_drops ";
    const size_t at = reply.find(line);
    ASSERT_NE(at, std::string::npos) << reply;
    const long long rose = std::stoll(reply.substr(at + line.size()));
    EXPECT_LE(std::llabs(rose - (long long)time(nullptr)), 60) << reply;
}
