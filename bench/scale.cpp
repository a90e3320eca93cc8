// marlo-scale: a cluster of H real daemons on one machine, each in its own
// network namespace on one bridge (the cluster test's TestNet) with its own
// /tmp and its own store on tmpfs, and how long the stores take to converge
// after each of a few events.
//
//     marlo-scale --hosts 16 --run-dir /var/tmp/scale    # as root
//
// The cluster: L local nodes per host, each in one of a few datastores, V
// vdisk memberships per node, vdisks of 3 members on 3 different hosts,
// about one in ten a snapshot (bench/scale_layout.h).  Each host's store
// starts with its own objects only.  Scenarios, in this order, each timed
// from the event until every host's store shows its result (read from the
// stores from outside, never from the daemons' logs):
//
//   cold       all daemons started, then one forced ping cycle (SIGUSR1 to
//              each): every host knows every node, datastore and vdisk with
//              its members;
//   steady     (no event) CPU time, datagrams and drops per daemon over a
//              few quiet ping intervals;
//   join       a host's local nodes file gains a node, with vdisks shared
//              with nodes of two other hosts, whose storage programs announce
//              them (single_vdisk_ping); SIGHUP: the node and its vdisks
//              everywhere;
//   delete     a vdisk deleted on its members' hosts (vdisk_deleted): gone
//              everywhere;
//   leave      at the same time a member leaves another vdisk (its host's
//              next PING lacks it; the stale sweep): its member data gone
//              everywhere;
//   kill       a host's daemon killed (SIGKILL): every other host sees its
//              nodes silent (lastping older than three heartbeat intervals);
//   rejoin     it restarts: its nodes heard everywhere again, and it hears
//              every other node;
//   partition  a host's link down for three ping intervals: once it is up,
//              the host is heard everywhere again and hears everyone;
//   final      every store holds the whole cluster, snapshot links included.
//
// One line per scenario on stdout, "RESULT key=value ...", read by
// bench/cluster.sh and the test suite; progress on stderr.  Per scenario:
// the convergence time (seconds and ping intervals, slowest and median
// host), datagrams received and dropped in the hosts' namespaces (the
// kernel's UDP and IP reassembly counters), drops at the machine's input
// backlog, lock contention lines and the largest receive queue seen while
// polling; the steady line has CPU time per daemon per ping interval; the
// final one RSS.  The exit status is 0 when
// every scenario converged.
#include <getopt.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "netns.h"
#include "probe.h"
#include "sandbox.h"
#include "scale_layout.h"
#include "scale_watch.h"
#include "store_seed.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

volatile sig_atomic_t stop_requested = 0;
void on_stop(int) { stop_requested = 1; }

constexpr int kPort = 8000;       // bind_port as shipped
constexpr int kCtrlPort = 31337;  // ctrl_port as shipped

// What one received vdisk entry costs a daemon in CPU seconds, with its
// share of the other datagrams, at syslog priority info with the store on
// tmpfs (the steady line of a 16-host run), and the share of the machine
// that the cluster's traffic may take when the ping interval is chosen
// automatically.
constexpr double kEntryCost = 0.0003;
constexpr double kLoadShare = 0.25;

struct Options {
    std::string marlo;
    std::string run_dir = "/var/tmp/marlo-scale";
    ScaleShape shape;
    int ping = 0;       // 0: chosen from the cluster's size
    int heartbeat = 0;  // 0: a third of ping
    bool unicast = false;
    std::string priority = "info";
    std::set<std::string> scenarios = {"cold", "join", "delete", "kill", "partition"};
    double steady = 2;     // ping intervals of the steady window
    double timeout = 10;   // ping intervals a scenario may take
    double partition = 3;  // ping intervals the link stays down
    bool daemon_log = false;  // keep each daemon's standard error (else /dev/null)
};

[[noreturn]] void usage()
{
    std::fprintf(stderr,
                 "usage: marlo-scale [options]   (as root)\n"
                 "  --hosts H              daemons, each in its own network namespace (8)\n"
                 "  --local L              nodes per host (2)\n"
                 "  --vdisks-per-node V    vdisk memberships per node (20)\n"
                 "  --datastores D         datastores (4)\n"
                 "  --ping S --heartbeat S intervals (default: ping from the cluster's size,\n"
                 "                         at least 6 s; heartbeat a third of it)\n"
                 "  --unicast              unicast mode, every host listing every other\n"
                 "  --priority P           the daemons' syslog_priority (info)\n"
                 "  --scenarios LIST       of cold,join,delete,kill,partition (all; cold always)\n"
                 "  --steady N             ping intervals of the steady window (2)\n"
                 "  --timeout N            ping intervals a scenario may take (10)\n"
                 "  --daemon-log           keep each daemon's standard error (a copy of its log)\n"
                 "                         in its host directory, shown when a daemon ends\n"
                 "  --fast                 the test suite's variant: 6 hosts, 6 vdisks per node,\n"
                 "                         ping 2 s, heartbeat 1 s, steady window 1 interval,\n"
                 "                         --daemon-log\n"
                 "  --marlo BIN            the daemon (default: marlo beside bench/)\n"
                 "  --run-dir DIR          outside /tmp (/var/tmp/marlo-scale)\n");
    std::exit(2);
}

Options parse(int argc, char **argv)
{
    Options o;
    enum { HOSTS = 1000, LOCAL, VPN, DS, PING, HB, UNICAST, PRIO, SCEN, STEADY, TIMEOUT, FAST, MARLO, RUNDIR,
           DLOG };
    static const struct option longopts[] = {
        {"hosts", 1, nullptr, HOSTS},       {"local", 1, nullptr, LOCAL},
        {"vdisks-per-node", 1, nullptr, VPN}, {"datastores", 1, nullptr, DS},
        {"ping", 1, nullptr, PING},         {"heartbeat", 1, nullptr, HB},
        {"unicast", 0, nullptr, UNICAST},   {"priority", 1, nullptr, PRIO},
        {"scenarios", 1, nullptr, SCEN},    {"steady", 1, nullptr, STEADY},
        {"timeout", 1, nullptr, TIMEOUT},   {"fast", 0, nullptr, FAST},
        {"marlo", 1, nullptr, MARLO},       {"run-dir", 1, nullptr, RUNDIR},
        {"daemon-log", 0, nullptr, DLOG},   {nullptr, 0, nullptr, 0}};
    bool hosts_set = false, vpn_set = false;
    int c;
    try {
        while ((c = getopt_long(argc, argv, "", longopts, nullptr)) != -1) {
            switch (c) {
            case HOSTS: o.shape.hosts = unsigned(std::stoul(optarg)); hosts_set = true; break;
            case LOCAL: o.shape.local = unsigned(std::stoul(optarg)); break;
            case VPN: o.shape.vdisks_per_node = unsigned(std::stoul(optarg)); vpn_set = true; break;
            case DS: o.shape.datastores = unsigned(std::stoul(optarg)); break;
            case PING: o.ping = std::stoi(optarg); break;
            case HB: o.heartbeat = std::stoi(optarg); break;
            case UNICAST: o.unicast = true; break;
            case PRIO: o.priority = optarg; break;
            case SCEN: {
                o.scenarios = {"cold"};
                std::istringstream in(optarg);
                for (std::string s; std::getline(in, s, ',');)
                    o.scenarios.insert(s);
                break;
            }
            case STEADY: o.steady = std::stod(optarg); break;
            case TIMEOUT: o.timeout = std::stod(optarg); break;
            case FAST:
                if (!hosts_set)
                    o.shape.hosts = 6;
                if (!vpn_set)
                    o.shape.vdisks_per_node = 6;
                o.ping = o.ping > 0 ? o.ping : 2;
                o.heartbeat = o.heartbeat > 0 ? o.heartbeat : 1;
                o.steady = 1;
                o.daemon_log = true;
                break;
            case DLOG: o.daemon_log = true; break;
            case MARLO: o.marlo = optarg; break;
            case RUNDIR: o.run_dir = optarg; break;
            default: usage();
            }
        }
    } catch (const std::exception &) {
        usage();
    }
    if (optind != argc)
        usage();
    for (const auto &s : o.scenarios)
        if (s != "cold" && s != "join" && s != "delete" && s != "kill" && s != "partition")
            usage();
    return o;
}

double since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Sleeps, giving up when a stop was asked for.
void pause_for(double secs)
{
    auto end = Clock::now() + std::chrono::duration<double>(secs);
    while (Clock::now() < end) {
        if (stop_requested)
            throw std::runtime_error("stopped");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// Kernel counters of all hosts together; lock contention lines.
struct Counters {
    uint64_t rx = 0, drops = 0, rcvbuf_errors = 0, backlog_drops = 0, contention = 0;
};

struct Host {
    std::string dir, work, conf, local_nodes;
    std::unique_ptr<harness::Daemon> d;
    NetCounters net;  // last read
};

class Bench {
public:
    explicit Bench(const Options &o) : o_(o) {}
    int run();

private:
    void start(size_t h);
    void await_bound(const std::vector<size_t> &hosts);
    std::string work(size_t h) const { return hosts_[h].work; }
    pid_t pid(size_t h) const { return hosts_[h].d ? hosts_[h].d->pid() : -1; }
    Counters sample();
    // A step of a storage program on host h under the lock file `lock`
    // (waited for while the daemon holds it).
    void locked(size_t h, const std::string &lock, const std::function<void()> &step);
    // Throws when a daemon has ended, with the end of its log when kept.
    void check_daemons();
    Converged watch(Watch &w, Clock::time_point t0);
    void report(const std::string &scenario, const Converged &c, const Counters &before,
                const std::string &extra = "");

    // Conditions under which host x's nodes have been heard on every other
    // host since wall-clock time t, and every other node on host x.
    void expect_heard_again(Watch &w, size_t x, long long t) const;

    void cold();
    void steady();
    void join();
    void remove();
    void kill();
    void partition();
    void final();

    Options o_;
    ScaleLayout layout_;
    StoreModel model_;
    LogSink sink_;
    std::unique_ptr<harness::TestNet> net_;
    std::unique_ptr<harness::TempDir> root_;
    std::vector<Host> hosts_;
    double ping_ = 0, hb_ = 0;
    std::string common_;  // the fields every RESULT line starts with
    bool all_converged_ = true;
    uint64_t queue_peak_ = 0;  // largest receive queue seen while watching, bytes
};

void Bench::start(size_t h)
{
    const std::string capture = o_.daemon_log ? hosts_[h].dir + "/stderr.log" : "/dev/null";
    hosts_[h].d = std::make_unique<harness::Daemon>(std::vector<std::string>{"-d", "-C", hosts_[h].conf},
                                                    *root_, net_->enter(h), capture);
}

// Whether the namespace of process pid has joined the shipped multicast
// group (224.123.123.123; /proc/net/igmp prints it as a little-endian
// number in hexadecimal).
bool joined(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/igmp");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text.find("7B7B7BE0") != std::string::npos;
}

void Bench::await_bound(const std::vector<size_t> &hosts)
{
    auto t0 = Clock::now();
    for (size_t h : hosts) {
        UdpQueue q;
        while (!udp_queue(kPort, &q, pid(h)) || (!o_.unicast && !joined(pid(h)))) {
            check_daemons();
            if (stop_requested || since(t0) > 120)
                throw std::runtime_error("daemon of host " + std::to_string(h + 1) + " did not bind its port");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
}

void Bench::check_daemons()
{
    for (size_t h = 0; h < hosts_.size(); h++) {
        harness::Daemon *d = hosts_[h].d.get();
        std::optional<int> status = d ? d->wait_exit(std::chrono::milliseconds(0)) : std::nullopt;
        if (!status)
            continue;
        std::string what = "the daemon of host " + std::to_string(h + 1) + " ended with status " +
                           std::to_string(*status);
        auto lines = d->lines();
        for (size_t i = lines.size() > 20 ? lines.size() - 20 : 0; i < lines.size(); i++)
            what += "\n  " + lines[i];
        throw std::runtime_error(what);
    }
}

Counters Bench::sample()
{
    Counters c;
    for (Host &h : hosts_) {
        NetCounters n;
        if (h.d && net_counters(h.d->pid(), &n))
            h.net = n;  // a dead daemon's namespace keeps its last reading
        c.rx += h.net.udp_in;
        c.drops += h.net.udp_in_errors + h.net.reasm_fails;
        c.rcvbuf_errors += h.net.rcvbuf_errors;
    }
    c.backlog_drops = softnet_drops();
    for (const auto &[ident, t] : sink_.tallies())
        c.contention += t.contention;
    return c;
}

void Bench::locked(size_t h, const std::string &lock, const std::function<void()> &step)
{
    auto t0 = Clock::now();
    std::unique_ptr<harness::HostLock> held;
    while (!held) {
        try {
            held = std::make_unique<harness::HostLock>(pid(h), lock);
        } catch (const std::runtime_error &) {
            if (since(t0) > 30)
                throw;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    step();
}

Converged Bench::watch(Watch &w, Clock::time_point t0)
{
    // Poll often for short intervals, less often when every pass reads a
    // large cluster.
    auto period = std::chrono::milliseconds(std::clamp(int(ping_ * 20), 50, 500));
    return w.run(t0, o_.timeout * ping_, period, [this] {
        check_daemons();
        for (const Host &h : hosts_) {
            UdpQueue q;
            if (h.d && udp_queue(kPort, &q, h.d->pid()))
                queue_peak_ = std::max(queue_peak_, q.rx_bytes);
        }
        return stop_requested != 0;
    });
}

void Bench::report(const std::string &scenario, const Converged &c, const Counters &before,
                   const std::string &extra)
{
    Counters now = sample();
    all_converged_ = all_converged_ && c.all;
    std::printf("RESULT %s scenario=%s converged=%d secs=%.2f intervals=%.2f median_s=%.2f rx=%llu "
                "drops=%llu rcvbuf_errors=%llu backlog_drops=%llu contention=%llu queue_peak_kb=%llu%s%s\n",
                common_.c_str(), scenario.c_str(), c.all ? 1 : 0, c.secs, c.secs / ping_, c.median(),
                (unsigned long long)(now.rx - before.rx), (unsigned long long)(now.drops - before.drops),
                (unsigned long long)(now.rcvbuf_errors - before.rcvbuf_errors),
                (unsigned long long)(now.backlog_drops - before.backlog_drops),
                (unsigned long long)(now.contention - before.contention),
                (unsigned long long)(queue_peak_ / 1024), extra.empty() ? "" : " ", extra.c_str());
    queue_peak_ = 0;
    std::fflush(stdout);
    std::fprintf(stderr, "[scale] %s: %s in %.2f s (%.2f ping intervals)%s\n", scenario.c_str(),
                 c.all ? "converged" : "NOT converged", c.secs, c.secs / ping_,
                 c.all ? "" : ("; still missing: " + c.missing).c_str());
}

// Every daemon started on its own store, then one forced ping cycle.
void Bench::cold()
{
    Counters before = sample();
    auto started = Clock::now();
    std::vector<size_t> all;
    for (size_t h = 0; h < hosts_.size(); h++) {
        start(h);
        all.push_back(h);
    }
    Watch w(hosts_.size());
    for (size_t h = 0; h < hosts_.size(); h++)
        model_.expect(w, h, work(h), false);
    // Each daemon pinged once at its start, heard only by those already up
    // (and regular cycles may have passed); now every one listens.
    await_bound(all);
    auto t0 = Clock::now();
    for (size_t h = 0; h < hosts_.size(); h++)
        hosts_[h].d->signal(SIGUSR1);
    Converged c = watch(w, t0);
    // The receive buffer the daemons were granted, from their log.
    common_ += " rcvbuf=" + std::to_string(sink_.rcvbuf());
    char extra[64];
    std::snprintf(extra, sizeof extra, "from_start_s=%.2f", since(started));
    report("cold", c, before, extra);
}

// Quiet ping intervals: what each daemon costs.
void Bench::steady()
{
    if (o_.steady <= 0)
        return;
    Counters before = sample();
    std::vector<CpuTime> cpu0;
    for (size_t h = 0; h < hosts_.size(); h++)
        cpu0.push_back(proc_cpu(pid(h)));
    auto t0 = Clock::now();
    pause_for(o_.steady * ping_);
    const double secs = since(t0), intervals = secs / ping_;
    double sum = 0, max = 0;
    for (size_t h = 0; h < hosts_.size(); h++) {
        CpuTime t = proc_cpu(pid(h));
        double used = (t.user - cpu0[h].user) + (t.sys - cpu0[h].sys);
        sum += used;
        max = std::max(max, used);
    }
    Counters now = sample();
    const double n = double(hosts_.size());
    Converged c;
    c.all = true;
    c.per_host.assign(hosts_.size(), 0);
    char extra[256];
    std::snprintf(extra, sizeof extra,
                  "cpu_s_per_interval=%.3f cpu_max_s_per_interval=%.3f machine_load=%.3f "
                  "rx_per_daemon_per_interval=%.1f",
                  sum / n / intervals, max / intervals, sum / secs / double(std::thread::hardware_concurrency()),
                  double(now.rx - before.rx) / n / intervals);
    report("steady", c, before, extra);
}

// A node joins the first host with vdisks shared with nodes of two other
// hosts.
void Bench::join()
{
    const size_t H = hosts_.size(), hj = 0;
    const size_t first = layout_.local(hj).front();
    const uint32_t joiner = layout_.node_id(layout_.nodes() - 1) + 1;
    const std::string ds = layout_.datastore_of(first);
    seed::NodeSpec node = layout_.node_spec(first);
    node.id = joiner;
    node.serial = "SN-" + std::to_string(joiner);

    // Vdisk k: the joiner and one node each of hosts hj+1+k and hj+2+k.
    struct NewVDisk {
        seed::VDiskSpec vdisk;
        std::vector<std::pair<size_t, uint32_t>> others;  // host, node
    };
    std::vector<NewVDisk> vds;
    const unsigned count = std::min(o_.shape.vdisks_per_node, 250u);
    for (unsigned k = 0; k < count; k++) {
        NewVDisk v;
        char uuid[16];
        std::snprintf(uuid, sizeof uuid, "vj%012u", k);
        v.vdisk.uuid = uuid;
        v.vdisk.name = "joined-" + std::to_string(k);
        v.vdisk.description = "joined with node " + std::to_string(joiner);
        v.vdisk.replicas = 3;
        v.vdisk.st_mems = 3;
        v.vdisk.datastore = ds;
        v.vdisk.membership = {joiner};
        for (size_t step : {size_t(1), size_t(2)}) {
            const size_t host = (hj + 1 + (k + step - 1) % (H - 1)) % H;
            const uint32_t id = layout_.node_id(layout_.local(host)[k % o_.shape.local]);
            v.others.emplace_back(host, id);
            v.vdisk.membership.push_back(id);
        }
        vds.push_back(std::move(v));
    }
    auto spec_for = [](const seed::VDiskSpec &base, uint32_t member, unsigned k) {
        seed::VDiskSpec s = base;
        s.memberinfo = {{.node = member,
                         .frontends = {"10.250." + std::to_string(k) + ".1",
                                       "10.250." + std::to_string(k) + ".2"}}};
        return s;
    };

    // The storage programs write their stores first.
    seed::write_node(work(hj), node);
    locked(hj, "DS-" + ds, [&] { seed::write_datastore(work(hj), layout_.datastore_spec(first, {joiner})); });
    for (unsigned k = 0; k < vds.size(); k++) {
        locked(hj, "VDISK-" + vds[k].vdisk.uuid,
               [&] { seed::write_vdisk(work(hj), spec_for(vds[k].vdisk, joiner, k)); });
        for (const auto &[host, id] : vds[k].others)
            locked(host, "VDISK-" + vds[k].vdisk.uuid,
                   [&] { seed::write_vdisk(work(host), spec_for(vds[k].vdisk, id, k)); });
    }

    // The model: the node and its vdisks everywhere.
    StoreModel added;
    added.node_ds[joiner] = ds;
    for (unsigned k = 0; k < vds.size(); k++) {
        VDiskModel &m = added.vdisks[vds[k].vdisk.uuid];
        m.membership = vds[k].vdisk.membership;
        for (uint32_t id : m.membership)
            m.members[id] = spec_for(vds[k].vdisk, id, k).memberinfo.front().frontends;
    }
    Watch w(H);
    for (size_t h = 0; h < H; h++)
        added.expect(w, h, work(h), false);

    Counters before = sample();
    auto t0 = Clock::now();
    std::ofstream(hosts_[hj].local_nodes, std::ios::app) << joiner << "\n";
    hosts_[hj].d->signal(SIGHUP);
    for (const auto &v : vds)
        for (const auto &[host, id] : v.others)
            net_->send_tcp(host, kCtrlPort, "single_vdisk_ping " + std::to_string(id) + " " + v.vdisk.uuid + "\n");
    Converged c = watch(w, t0);
    report("join", c, before, "vdisks=" + std::to_string(vds.size()));
    model_.node_ds.merge(added.node_ds);
    model_.vdisks.merge(added.vdisks);
}

// A vdisk deleted on all its members' hosts, and at the same time a member
// leaving another vdisk.
void Bench::remove()
{
    const size_t H = hosts_.size();
    const std::string gone = layout_.plain_vdisk({});
    const std::string left = layout_.plain_vdisk({gone});
    if (gone.empty() || left.empty())
        throw std::runtime_error("no plain vdisks to delete");
    const std::vector<uint32_t> members = model_.vdisks.at(gone).membership;
    const uint32_t leaver = model_.vdisks.at(left).membership.front();
    std::set<std::string> datastores;
    for (const auto &[id, ds] : model_.node_ds)
        datastores.insert(ds);

    // The storage programs drop their member data.
    auto drop = [&](uint32_t id, const std::string &uuid) {
        const size_t h = layout_.host_of(layout_.index_of(id));
        locked(h, "VDISK-" + uuid, [&] {
            fs::remove_all(work(h) + "/VDisk/" + uuid + "/memberinfo/" + std::to_string(id));
            fs::remove(work(h) + "/Node/" + std::to_string(id) + "/vdisks/" + uuid);
        });
    };
    for (uint32_t id : members)
        drop(id, gone);
    drop(leaver, left);

    // Hosts 0..H-1 for the deletion, H..2H-1 for the member that left.
    Watch w(2 * H);
    for (size_t h = 0; h < H; h++) {
        w.add(h, Expect::absent(work(h) + "/VDisk/" + gone));
        for (uint32_t id : members)
            w.add(h, Expect::absent(work(h) + "/Node/" + std::to_string(id) + "/vdisks/" + gone));
        for (const auto &ds : datastores)
            w.add(h, Expect::absent(work(h) + "/Datastore/" + ds + "/vdisks/" + gone));
        const std::string node = std::to_string(leaver);
        w.add(H + h, Expect::absent(work(h) + "/VDisk/" + left + "/memberinfo/" + node));
        w.add(H + h, Expect::absent(work(h) + "/Node/" + node + "/vdisks/" + left));
        for (uint32_t id : model_.vdisks.at(left).membership)
            if (id != leaver)
                w.add(H + h, Expect::present(work(h) + "/VDisk/" + left + "/memberinfo/" +
                                             std::to_string(id) + "/frontend"));
    }

    Counters before = sample();
    auto t0 = Clock::now();
    for (uint32_t id : members)
        net_->send_tcp(layout_.host_of(layout_.index_of(id)), kCtrlPort,
                       "vdisk_deleted " + std::to_string(id) + " " + gone + "\n");
    Converged both = watch(w, t0);
    auto part = [&](size_t from) {
        Converged c;
        c.all = true;
        c.per_host.assign(both.per_host.begin() + long(from), both.per_host.begin() + long(from + H));
        for (double s : c.per_host) {
            c.all = c.all && s >= 0;
            c.secs = std::max(c.secs, s);
        }
        if (!c.all) {
            c.secs = both.secs;
            c.missing = both.missing;
        }
        return c;
    };
    report("delete", part(0), before);
    report("leave", part(H), before);
    model_.vdisks.erase(gone);
    model_.vdisks.at(left).members.erase(leaver);
}

// The last host's daemon killed, then restarted on the same store.
void Bench::kill()
{
    const size_t H = hosts_.size(), hk = H - 1;

    Counters before = sample();
    Watch silent(H - 1);
    for (size_t h = 0; h + 1 < H; h++)
        for (size_t i : layout_.local(hk))
            silent.add(h, Expect::silent(work(h) + "/Node/" + std::to_string(layout_.node_id(i)) + "/lastping",
                                         3 * (long long)hb_));
    auto t0 = Clock::now();
    hosts_[hk].d->signal(SIGKILL);
    hosts_[hk].d->wait_exit();
    hosts_[hk].d.reset();
    report("kill", watch(silent, t0), before);

    before = sample();
    Watch back(H);
    expect_heard_again(back, hk, std::time(nullptr));
    t0 = Clock::now();
    start(hk);
    Converged c = watch(back, t0);
    report("rejoin", c, before);
}

void Bench::expect_heard_again(Watch &w, size_t x, long long t) const
{
    std::set<uint32_t> own;
    for (size_t i : layout_.local(x))
        own.insert(layout_.node_id(i));
    for (size_t h = 0; h < hosts_.size(); h++)
        for (const auto &[id, ds] : model_.node_ds)
            if ((h == x) != (own.count(id) != 0))
                w.add(h, Expect::since(work(h) + "/Node/" + std::to_string(id) + "/lastping", t));
}

// The second host's link down for a few ping intervals, then up again.
void Bench::partition()
{
    const size_t hp = 1;
    Counters before = sample();
    net_->set_link(hp, false);
    pause_for(o_.partition * ping_);
    Watch back(hosts_.size());
    expect_heard_again(back, hp, std::time(nullptr));
    auto t0 = Clock::now();
    net_->set_link(hp, true);
    Converged c = watch(back, t0);
    char extra[64];
    std::snprintf(extra, sizeof extra, "down_s=%.0f", o_.partition * ping_);
    report("partition", c, before, extra);
}

// Every store holds the whole cluster as it stands after the scenarios.
void Bench::final()
{
    Counters before = sample();
    Watch w(hosts_.size());
    for (size_t h = 0; h < hosts_.size(); h++)
        model_.expect(w, h, work(h), true);
    Converged c = watch(w, Clock::now());
    long rss = 0, hwm = 0;
    for (size_t h = 0; h < hosts_.size(); h++) {
        Memory m = proc_memory(pid(h));
        rss = std::max(rss, m.rss_kb);
        hwm = std::max(hwm, m.hwm_kb);
    }
    struct statvfs st;
    double store_mb = 0;
    if (::statvfs((o_.run_dir + "/store").c_str(), &st) == 0)
        store_mb = double(st.f_blocks - st.f_bfree) * double(st.f_frsize) / 1048576.0;
    char extra[128];
    std::snprintf(extra, sizeof extra, "rss_kb=%ld hwm_kb=%ld stores_mb=%.0f", rss, hwm, store_mb);
    report("final", c, before, extra);
}

int Bench::run()
{
    std::string err;
    if (!layout_.build(o_.shape, &err))
        throw std::runtime_error("cluster: " + err);
    model_ = layout_.model();
    const size_t H = o_.shape.hosts;
    if (o_.ping > 0) {
        ping_ = o_.ping;
    } else {
        // Every daemon applies every other node's PING once per interval.
        const double work = double(H) * double(layout_.nodes() - o_.shape.local) * o_.shape.vdisks_per_node *
                            kEntryCost;
        ping_ = std::max(6.0, std::ceil(work / (kLoadShare * std::thread::hardware_concurrency())));
    }
    hb_ = o_.heartbeat > 0 ? o_.heartbeat : std::max(1.0, std::round(ping_ / 3));

    if (sandbox_enter(o_.run_dir, true, &err) < 0)
        throw std::runtime_error("sandbox: " + err);
    if (sink_.start("/dev/log", &err) < 0)
        throw std::runtime_error("log sink: " + err);
    net_ = std::make_unique<harness::TestNet>(H);
    root_ = std::make_unique<harness::TempDir>(o_.run_dir + "/store");
    hosts_.resize(H);
    for (size_t h = 0; h < H; h++) {
        Host &host = hosts_[h];
        host.dir = root_->path("h" + std::to_string(h + 1));
        host.work = host.dir + "/DB";
        fs::create_directories(host.work);
        layout_.seed(h, host.work);
        host.local_nodes = host.dir + "/local_nodes";
        std::ofstream nodes(host.local_nodes);
        for (size_t i : layout_.local(h))
            nodes << layout_.node_id(i) << "\n";
        // Unicast: every other host.
        std::ofstream peers(host.dir + "/unicast_hosts");
        for (size_t p = 0; p < H && o_.unicast; p++)
            if (p != h)
                peers << net_->host(p).addr << "\n";
        host.conf = harness::write_config(
            host.dir + "/marlo.conf",
            {{"syslog_ident", "marlo-h" + std::to_string(h + 1)},
             {"syslog_priority", o_.priority},
             {"pid_file", host.dir + "/marlo.pid"},
             {"work_directory", host.work},
             {"local_nodes", host.local_nodes},
             {"unicast_mode", o_.unicast ? "1" : "0"},
             {"unicast_hosts", host.dir + "/unicast_hosts"},
             {"bind_interface", net_->host(h).ifname},
             {"bind_port", std::to_string(kPort)},
             {"ctrl_port", std::to_string(kCtrlPort)},
             {"fence_check", "/bin/true"},
             {"ping_interval", std::to_string(int(ping_))},
             {"heartbeat_interval", std::to_string(int(hb_))}});
    }
    char common[256];
    std::snprintf(common, sizeof common,
                  "mode=%s hosts=%zu local=%u nodes=%zu vdisks=%zu per_node=%u datastores=%u ping_s=%.0f hb_s=%.0f",
                  o_.unicast ? "unicast" : "multicast", H, o_.shape.local, layout_.nodes(), layout_.vdisk_count(),
                  o_.shape.vdisks_per_node, o_.shape.datastores, ping_, hb_);
    common_ = common;
    std::fprintf(stderr, "[scale] %s\n", common);

    cold();
    steady();
    if (o_.scenarios.count("join"))
        join();
    if (o_.scenarios.count("delete"))
        remove();
    if (o_.scenarios.count("kill"))
        kill();
    if (o_.scenarios.count("partition"))
        partition();
    final();

    for (auto &h : hosts_) {
        if (h.d) {
            h.d->signal(SIGTERM);
            h.d->wait_exit();
        }
    }
    sink_.stop();
    return all_converged_ ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    Options o = parse(argc, argv);
    if (geteuid() != 0) {
        std::fprintf(stderr, "marlo-scale: needs root (network and mount namespaces)\n");
        return 2;
    }
    if (o.marlo.empty())
        o.marlo = harness::marlo_bin();  // $MARLO_BIN, else marlo in the build tree
    ::setenv("MARLO_BIN", fs::absolute(o.marlo).c_str(), 1);
    o.run_dir = fs::absolute(o.run_dir).string();
    signal(SIGINT, on_stop);
    signal(SIGTERM, on_stop);
    signal(SIGPIPE, SIG_IGN);
    try {
        Bench b(o);
        return b.run();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "marlo-scale: %s\n", e.what());
        return 2;
    }
}
