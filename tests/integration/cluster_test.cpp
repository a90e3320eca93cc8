// Three hosts on one machine, each running the daemon in its own network
// namespace (one veth port on a shared bridge) and its own mount namespace
// with a private /tmp, announcing their stores to each other by multicast.
// Every store starts as the host's storage programs lay it out: its own node,
// one datastore common to all three, two vdisks that all three serve (each
// host holding only its own member info), a vdisk private to host 1 and a
// snapshot (on host 1) of the first shared vdisk.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "harness.h"
#include "netns.h"
#include "proto/trailer.h"
#include "store_seed.h"

using namespace harness;
namespace fs = std::filesystem;

namespace {

constexpr size_t kHosts = 3;
constexpr std::array<uint32_t, kHosts> kNode = {9101, 9102, 9103};
const std::string kDatastore = "h9-ds";
const std::string kSharedA = "h9-shared-a";
const std::string kSharedB = "h9-shared-b";
const std::string kPrivate = "h9-private";
const std::string kSnap = "h9-snap-a";
const std::string kGroup = "239.192.9.1";
constexpr int kPort = 8000;
constexpr int kCtrlPort = 31337;

// Time allowed for the cluster to settle: many ping intervals, plenty for
// sanitizer builds.
constexpr std::chrono::milliseconds kSettle = 30s;

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool present(const std::string &path)
{
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

std::string link_target(const std::string &path)
{
    std::error_code ec;
    auto t = fs::read_symlink(path, ec);
    return ec ? "" : t.string();
}

// Polls check (empty result: done) until it is done or timeout passes; the
// last result, empty when done.
std::string poll(const std::function<std::string()> &check,
                 std::chrono::milliseconds timeout = kSettle)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::string missing = check();
        if (missing.empty() || std::chrono::steady_clock::now() >= deadline)
            return missing;
        std::this_thread::sleep_for(100ms);
    }
}

// A directory outside /tmp, which every host covers with its own tmpfs.
std::string base_parent() { return fs::is_directory("/dev/shm") ? "/dev/shm" : "/var/tmp"; }

class Cluster : public testing::Test {
protected:
    struct Host {
        std::string dir;   // the host's files
        std::string work;  // its daemon's work directory
        std::string conf;
        Settings cfg;
        seed::NodeSpec node;
        std::unique_ptr<Daemon> d;
    };

    void SetUp() override
    {
        if (std::string why = netns_unavailable(); !why.empty())
            GTEST_SKIP() << why;
        net_ = std::make_unique<TestNet>(kHosts);
        tmp_ = std::make_unique<TempDir>(base_parent());
        fence_ = tmp_->write_script("fencecheck", "exit 0\n");
        for (size_t h = 0; h < kHosts; h++) {
            seed_host(h);
            start(h);
        }
        for (size_t h = 0; h < kHosts; h++)
            ASSERT_TRUE(hosts_[h].d->wait_for_line("JOIN MULTICAST " + kGroup + "@" + addr(h)))
                << tail(h);
    }

    void TearDown() override
    {
        for (auto &h : hosts_)
            h.d.reset();
        if (net_) {
            EXPECT_EQ(net_->teardown(), "");
        }
    }

    const std::string &addr(size_t h) const { return net_->host(h).addr; }
    Daemon &daemon(size_t h) { return *hosts_[h].d; }
    std::string node_dir(size_t h, size_t of) const
    {
        return hosts_[h].work + "/Node/" + std::to_string(kNode[of]);
    }
    std::string vdisk_dir(size_t h, const std::string &uuid) const
    {
        return hosts_[h].work + "/VDisk/" + uuid;
    }
    std::string ds_dir(size_t h) const { return hosts_[h].work + "/Datastore/" + kDatastore; }

    // A shared vdisk as host h keeps it: full membership, its own member info.
    seed::VDiskSpec shared(size_t h, const std::string &uuid) const
    {
        return {.uuid = uuid,
                .description = "shared",
                .membership = {kNode[0], kNode[1], kNode[2]},
                .memberinfo = {{.node = kNode[h], .frontends = {addr(h)}}},
                .datastore = kDatastore};
    }

    void seed_host(size_t h)
    {
        Host &host = hosts_[h];
        host.dir = tmp_->path("h" + std::to_string(h + 1));
        host.work = host.dir + "/DB";
        fs::create_directories(host.work);
        host.node = {.id = kNode[h],
                     .vendor = "Varn-h" + std::to_string(h + 1),
                     .serial = "SN-" + std::to_string(kNode[h]),
                     .datastore = kDatastore};
        seed::write_node(host.work, host.node);
        seed::write_datastore(host.work, {.uuid = kDatastore, .members = {kNode[h]}});
        seed::write_vdisk(host.work, shared(h, kSharedA));
        seed::write_vdisk(host.work, shared(h, kSharedB));
        if (h == 0) {
            seed::write_vdisk(host.work,
                              {.uuid = kPrivate,
                               .description = "private",
                               .membership = {kNode[0]},
                               .memberinfo = {{.node = kNode[0], .frontends = {addr(0)}}},
                               .datastore = kDatastore});
            seed::write_vdisk(host.work,
                              {.uuid = kSnap,
                               .snapshot = 1,
                               .parent = kSharedA,
                               .snaptime = "24-05-06_07.08.09",
                               .membership = {kNode[0]},
                               .memberinfo = {{.node = kNode[0], .frontends = {addr(0)}}},
                               .datastore = kDatastore});
        }
        std::ofstream(host.dir + "/local_nodes") << kNode[h] << "\n";
        std::ofstream(host.dir + "/unicast_hosts") << "";
        Settings cfg{
            {"work_directory", host.work},
            {"pid_file", host.dir + "/marlo.pid"},
            {"local_nodes", host.dir + "/local_nodes"},
            {"unicast_mode", "0"},
            {"unicast_hosts", host.dir + "/unicast_hosts"},
            {"bind_interface", net_->host(h).ifname},
            {"bind_port", std::to_string(kPort)},
            {"multicast_address", kGroup},
            {"ctrl_address", "127.0.0.1"},
            {"ctrl_port", std::to_string(kCtrlPort)},
            {"node_lock_timeout_ms", "200"},
            {"datastore_lock_timeout_ms", "200"},
            {"vdisk_lock_timeout_ms", "200"},
            {"fence_check", fence_},
            {"ping_interval", "1"},
            {"heartbeat_interval", "1"},
            {"stats_interval", "3600"},
        };
        if (auth_[h] != "off") {
            cfg["auth_mode"] = auth_[h];
            cfg["auth_keys"] = write_keys(h, kKey1);
        }
        host.cfg = cfg;
        host.conf = write_config(host.dir + "/marlo.conf", cfg);
    }

    // Replaces host h's key file (mode 0600) with `lines`; its path.
    std::string write_keys(size_t h, const std::string &lines) const
    {
        const std::string path = hosts_[h].dir + "/auth_keys";
        std::ofstream(path) << lines;
        fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
        return path;
    }


    void start(size_t h)
    {
        hosts_[h].d = std::make_unique<Daemon>(
            std::vector<std::string>{"-d", "-d", "-C", hosts_[h].conf}, *tmp_, net_->enter(h));
    }

    // The last lines of host h's log, for failure messages.
    std::string tail(size_t h, size_t n = 40) const
    {
        auto ls = hosts_[h].d->lines();
        std::string out = "--- host " + std::to_string(h + 1) + " log tail";
        if (auto st = hosts_[h].d->wait_exit(0ms))
            out += " (ended with status " + std::to_string(*st) + ")";
        out += ":\n";
        for (size_t i = ls.size() > n ? ls.size() - n : 0; i < ls.size(); i++)
            out += ls[i] + "\n";
        return out;
    }
    std::string tails() const
    {
        std::string out;
        for (size_t h = 0; h < kHosts; h++)
            if (hosts_[h].d)
                out += tail(h);
        return out;
    }

    // A daemon that ended although the test still needs it, or empty.
    std::string ended() const
    {
        for (size_t h = 0; h < kHosts; h++)
            if (hosts_[h].d && hosts_[h].d->wait_exit(0ms))
                return "host " + std::to_string(h + 1) + "'s daemon ended";
        return "";
    }

    // poll(check), given up when a daemon ends: what is still missing, or
    // which daemon ended; empty when check is satisfied.
    std::string settle(const std::function<std::string()> &check) const
    {
        std::string last;
        poll([&]() -> std::string {
            last = ended();
            if (!last.empty())
                return "";
            last = check();
            return last;
        });
        return last;
    }

    // What host h still lacks of the other hosts' announcements; empty when
    // it holds all of it.
    std::string missing_on(size_t h) const
    {
        const std::string where = "host " + std::to_string(h + 1) + ": ";
        const std::string all = "9101\n9102\n9103\n";
        for (size_t o = 0; o < kHosts; o++) {
            const std::string node = std::to_string(kNode[o]);
            if (!present(ds_dir(h) + "/members/" + node))
                return where + "datastore member " + node;
            if (o == h)
                continue;
            if (slurp(node_dir(h, o) + "/ipaddr") != addr(o) + "\n")
                return where + "Node/" + node + "/ipaddr " + addr(o);
            if (slurp(node_dir(h, o) + "/vendor") != hosts_[o].node.vendor + "\n")
                return where + "Node/" + node + "/vendor";
            if (slurp(node_dir(h, o) + "/datastoremember") != kDatastore + "\n")
                return where + "Node/" + node + "/datastoremember";
            for (const auto &uuid : {kSharedA, kSharedB}) {
                const std::string mi = vdisk_dir(h, uuid) + "/memberinfo/" + node;
                if (slurp(mi + "/frontend") != addr(o) + "\n")
                    return where + uuid + " member info of " + node;
                if (link_target(node_dir(h, o) + "/vdisks/" + uuid) != "../../../VDisk/" + uuid)
                    return where + "Node/" + node + "/vdisks/" + uuid;
            }
        }
        for (const auto &uuid : {kSharedA, kSharedB})
            if (slurp(vdisk_dir(h, uuid) + "/membership") != all)
                return where + uuid + " membership";
        if (slurp(vdisk_dir(h, kSnap) + "/parent") != kSharedA + "\n")
            return where + "snapshot " + kSnap;
        if (link_target(vdisk_dir(h, kSharedA) + "/snapshots/" + kSnap) != "../../../VDisk/" + kSnap)
            return where + "snapshot link at " + kSharedA;
        if (h != 0 && !present(vdisk_dir(h, kPrivate) + "/memberinfo/9101/frontend"))
            return where + "private vdisk " + kPrivate;
        return "";
    }

    std::string missing_anywhere() const
    {
        for (size_t h = 0; h < kHosts; h++)
            if (std::string m = missing_on(h); !m.empty())
                return m;
        return "";
    }

    // Host h's record of the time it last heard from node `of`; 0 if none.
    unsigned long lastping(size_t h, size_t of) const
    {
        std::string v = slurp(node_dir(h, of) + "/lastping");
        return v.empty() ? 0 : std::stoul(v);
    }

    // Waits until host h has heard from node `of` at or after time t.
    std::string heard_since(size_t h, size_t of, unsigned long t) const
    {
        return settle([&]() -> std::string {
            if (lastping(h, of) >= t)
                return "";
            return "host " + std::to_string(h + 1) + " has not heard from " +
                   std::to_string(kNode[of]) + " since " + std::to_string(t);
        });
    }

    // Writes a command to host h's control port.
    bool ctrl(size_t h, const std::string &line) const { return net_->send_tcp(h, kCtrlPort, line); }

    // Line of host h's log for a datagram of len bytes from host `from`.
    std::string recv_line(size_t from, size_t len) const
    {
        return "recvfrom(" + addr(from) + ":" + std::to_string(kPort) + "): " + std::to_string(len);
    }

    // Waits until host h has applied every datagram that it had received
    // when called: the next datagram it takes is only taken after that.
    bool drain(size_t h)
    {
        daemon(h).mark();
        return daemon(h).wait_for_line("recvfrom(");
    }

    std::unique_ptr<TestNet> net_;
    std::unique_ptr<TempDir> tmp_;
    std::string fence_;
    std::array<Host, kHosts> hosts_;
    // Each host's auth_mode; a host that is not off starts with key 1.
    std::array<std::string, kHosts> auth_ = {"off", "off", "off"};
    const std::string kKey1 = "1 " + std::string(64, 'c') + "\n";
    const std::string kKey2 = "2 " + std::string(64, 'd') + "\n";
};

TEST_F(Cluster, EveryHostLearnsTheOtherNodesAndTheirVDisks)
{
    std::string missing = settle([&] { return missing_anywhere(); });
    ASSERT_EQ(missing, "") << tails();

    for (size_t h = 0; h < kHosts; h++) {
        // Datagrams reach the other hosts only: none comes back to its sender.
        EXPECT_EQ(daemon(h).count_lines("recvfrom(" + addr(h) + ":"), 0u) << tail(h);
        // The other nodes' member info sits beside the host's own.
        for (const auto &uuid : {kSharedA, kSharedB})
            EXPECT_EQ(slurp(vdisk_dir(h, uuid) + "/memberinfo/" + std::to_string(kNode[h]) +
                            "/frontend"),
                      addr(h) + "\n");
    }
    // What hosts 2 and 3 learnt only from host 1.
    for (size_t h : {1, 2}) {
        EXPECT_EQ(slurp(vdisk_dir(h, kPrivate) + "/membership"), "9101\n");
        EXPECT_EQ(link_target(ds_dir(h) + "/vdisks/" + kPrivate), "../../../VDisk/" + kPrivate);
        EXPECT_EQ(slurp(vdisk_dir(h, kSnap) + "/snaptime"), "24-05-06_07.08.09\n");
        EXPECT_FALSE(present(vdisk_dir(h, kPrivate) + "/memberinfo/" + std::to_string(kNode[h])));
    }
}

TEST_F(Cluster, VDisksThatANodeGivesUpLeaveTheOtherHosts)
{
    ASSERT_EQ(settle([&] { return missing_anywhere(); }), "") << tails();

    // Host 1's storage program deletes the private vdisk from its store,
    // under the vdisk's lock, and asks for an announcement at once.
    {
        HostLock lock(daemon(0).pid(), "VDISK-" + kPrivate);
        fs::remove(node_dir(0, 0) + "/vdisks/" + kPrivate);
        fs::remove(ds_dir(0) + "/vdisks/" + kPrivate);
        fs::remove_all(vdisk_dir(0, kPrivate));
    }
    ASSERT_EQ(daemon(0).signal(SIGUSR1), 0);
    for (size_t h : {1, 2}) {
        ASSERT_TRUE(daemon(h).wait_for_line("Stale VDisk " + kPrivate + " of member 9101", kSettle))
            << tail(h);
        std::string left = settle([&]() -> std::string {
            for (const std::string &p : {vdisk_dir(h, kPrivate), ds_dir(h) + "/vdisks/" + kPrivate,
                                         node_dir(h, 0) + "/vdisks/" + kPrivate})
                if (present(p))
                    return p;
            return "";
        });
        ASSERT_EQ(left, "") << tail(h);
        // The vdisks that host 1 still serves stay.
        EXPECT_TRUE(present(vdisk_dir(h, kSharedA) + "/memberinfo/9101")) << tail(h);
        EXPECT_TRUE(present(vdisk_dir(h, kSnap) + "/memberinfo/9101")) << tail(h);
    }

    // Host 2 gives up shared vdisk B.  Its storage program holds the vdisk's
    // lock throughout, so host 2 sends no PING meanwhile (it would list B):
    // what hosts 1 and 3 do comes from the VDISK_DELETED alone.
    HostLock lock(daemon(1).pid(), "VDISK-" + kSharedB);
    daemon(1).mark();
    ASSERT_TRUE(daemon(1).wait_for_line("not sent due to VDisk " + kSharedB, kSettle)) << tail(1);
    for (size_t h : {0, 2})
        daemon(h).mark();
    ASSERT_TRUE(ctrl(1, "vdisk_deleted 9102 " + kSharedB + "\n"));
    for (size_t h : {0, 2}) {
        ASSERT_TRUE(daemon(h).wait_for_line(recv_line(1, 225), kSettle)) << tail(h);
        std::string left = settle([&]() -> std::string {
            for (const std::string &p :
                 {vdisk_dir(h, kSharedB) + "/memberinfo/9102", node_dir(h, 1) + "/vdisks/" + kSharedB})
                if (present(p))
                    return p;
            return "";
        });
        ASSERT_EQ(left, "") << tail(h);
        // The vdisk stays with its other members.
        EXPECT_TRUE(present(vdisk_dir(h, kSharedB) + "/memberinfo/9101")) << tail(h);
        EXPECT_TRUE(present(vdisk_dir(h, kSharedB) + "/memberinfo/9103")) << tail(h);
        EXPECT_EQ(daemon(h).count_lines("Stale VDisk " + kSharedB), 0u) << tail(h);
    }

    // Then it removes its own member data and lets go: its PINGs, now
    // without B, leave the other hosts as they are.
    fs::remove(node_dir(1, 1) + "/vdisks/" + kSharedB);
    fs::remove_all(vdisk_dir(1, kSharedB) + "/memberinfo/9102");
    lock.release();
    seed::VDiskSpec a = shared(1, kSharedA);
    const size_t ping_len = seed::ping_msg(hosts_[1].node, {&a}).size();
    for (size_t h : {0, 2}) {
        daemon(h).mark();
        ASSERT_TRUE(daemon(h).wait_for_line(recv_line(1, ping_len), kSettle)) << tail(h);
        ASSERT_TRUE(drain(h)) << tail(h);
        EXPECT_FALSE(present(vdisk_dir(h, kSharedB) + "/memberinfo/9102")) << tail(h);
        EXPECT_TRUE(present(vdisk_dir(h, kSharedA) + "/memberinfo/9102")) << tail(h);
        EXPECT_EQ(daemon(h).count_lines("Stale VDisk " + kSharedB), 0u) << tail(h);
    }
}

TEST_F(Cluster, AKilledHostFallsSilentAndRejoinsOnRestart)
{
    ASSERT_EQ(settle([&] { return missing_anywhere(); }), "") << tails();

    const unsigned long killed = std::time(nullptr);
    ASSERT_EQ(daemon(2).signal(SIGKILL), 0);
    ASSERT_EQ(daemon(2).wait_exit(), 128 + SIGKILL);
    hosts_[2].d.reset();

    // Once hosts 1 and 2 have heard each other two seconds after the kill,
    // everything host 3 sent before it has been applied.
    ASSERT_EQ(heard_since(0, 1, killed + 2), "") << tails();
    ASSERT_EQ(heard_since(1, 0, killed + 2), "") << tails();
    const unsigned long silent_on_1 = lastping(0, 2), silent_on_2 = lastping(1, 2);
    ASSERT_GT(silent_on_1, 0u);
    ASSERT_GT(silent_on_2, 0u);

    ASSERT_EQ(heard_since(0, 1, killed + 4), "") << tails();
    ASSERT_EQ(heard_since(1, 0, killed + 4), "") << tails();
    EXPECT_EQ(lastping(0, 2), silent_on_1);
    EXPECT_EQ(lastping(1, 2), silent_on_2);
    EXPECT_EQ(daemon(0).wait_exit(0ms), std::nullopt) << tail(0);
    EXPECT_EQ(daemon(1).wait_exit(0ms), std::nullopt) << tail(1);

    // Restarted on the same store (and a fresh /tmp), host 3 is heard again
    // everywhere and hears the others.
    start(2);
    ASSERT_TRUE(daemon(2).wait_for_line("JOIN MULTICAST " + kGroup + "@" + addr(2))) << tail(2);
    const unsigned long restarted = std::time(nullptr);
    EXPECT_EQ(heard_since(0, 2, restarted), "") << tails();
    EXPECT_EQ(heard_since(1, 2, restarted), "") << tails();
    EXPECT_EQ(heard_since(2, 0, restarted), "") << tails();
    EXPECT_EQ(heard_since(2, 1, restarted), "") << tails();
    EXPECT_EQ(settle([&] { return missing_anywhere(); }), "") << tails();
}

// Host 1 runs without authentication, hosts 2 and 3 sign.
class SigningCluster : public Cluster {
protected:
    SigningCluster() { auth_ = {"off", "sign", "sign"}; }
};

TEST_F(SigningCluster, UnsignedHostIsRefusedOnceSigningIsRequiredAndKeysRotateWithoutLoss)
{
    // Signing hosts apply host 1's unsigned datagrams; host 1 applies
    // theirs, trailer and all, as any datagram: the same picture everywhere.
    ASSERT_EQ(settle([&] { return missing_anywhere(); }), "") << tails();
    for (size_t h : {1, 2}) {
        EXPECT_GT(daemon(0).count_lines(recv_line(h, 294 + sizeof(AuthTrailer))), 0u) << tail(0);
        EXPECT_EQ(daemon(h).count_lines("Applying DS_PING from " + addr(3 - h)), 0u) << tail(h);
    }
    EXPECT_EQ(daemon(0).count_lines("Malformed"), 0u) << tail(0);

    // Requiring it, hosts 2 and 3 refuse everything of host 1 and still hear
    // each other; host 1 still applies theirs.
    for (size_t h : {1, 2}) {
        ASSERT_EQ(daemon(h).signal(SIGTERM), 0);
        ASSERT_EQ(daemon(h).wait_exit(), 0) << tail(h);
        hosts_[h].cfg["auth_mode"] = "require";
        write_config(hosts_[h].conf, hosts_[h].cfg);
        start(h);
    }
    const unsigned long restarted = std::time(nullptr);
    for (auto [h, of] : {std::pair<size_t, size_t>{0, 1}, {0, 2}, {1, 2}, {2, 1}})
        ASSERT_EQ(heard_since(h, of, restarted + 3), "") << tails();
    for (size_t h : {1, 2}) {
        EXPECT_LE(lastping(h, 0), restarted) << tail(h);
        // (Whichever of host 1's messages the rate-limited notices name.)
        EXPECT_TRUE(daemon(h).wait_for_line(" from " + addr(0) + ":8000 of Node 9101: unsigned",
                                            kWait, From::Start))
            << tail(h);
        EXPECT_EQ(daemon(h).count_lines("Applying "), 0u) << tail(h);
    }

    // The key rotates in three steps, each a reload of host 2, then of host
    // 3, as an operator goes: each reloaded host is heard by the others, and
    // hears its peer, before the next one reloads.
    const std::pair<std::string, std::string> steps[] = {
        {kKey1 + kKey2, "Loaded 2 keys from "},  // accept the new key everywhere
        {kKey2 + kKey1, "signing with key 2"},   // sign with it everywhere
        {kKey2, "Loaded 1 keys from "},          // forget the old one
    };
    for (const auto &[keys, loaded] : steps) {
        for (size_t h : {1, 2}) {
            SCOPED_TRACE(loaded + " on host " + std::to_string(h + 1));
            daemon(h).mark();
            write_keys(h, keys);
            ASSERT_EQ(daemon(h).signal(SIGHUP), 0);
            ASSERT_TRUE(daemon(h).wait_for_line(loaded)) << tail(h);
            const unsigned long reloaded = std::time(nullptr);
            for (auto [to, of] : {std::pair<size_t, size_t>{0, h}, {3 - h, h}, {h, 3 - h}})
                ASSERT_EQ(heard_since(to, of, reloaded + 1), "") << tails();
        }
    }
    // No signed datagram was refused (each kind of refusal logs its first).
    for (size_t h : {1, 2})
        for (const char *refusal : {"bad MAC", "unknown key", "replayed", "outside "})
            EXPECT_EQ(daemon(h).count_lines(refusal), 0u) << tail(h);
    EXPECT_EQ(missing_on(0), "") << tails();
}

// The network goes with its owner, also when a test fails half-way.
TEST(TestNetLib, TeardownRemovesEveryNamespaceEvenOnException)
{
    if (std::string why = netns_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    std::vector<std::string> names;
    try {
        TestNet net(2);
        names = net.namespaces();
        for (const auto &n : names) {
            ASSERT_TRUE(present("/run/netns/" + n)) << n;
        }
        CmdResult r = net.exec(1, {"ip", "-4", "addr", "show", "dev", net.host(1).ifname});
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_NE(r.output.find(net.host(1).addr + "/24"), std::string::npos) << r.output;
        throw std::runtime_error("test failed half-way");
    } catch (const std::runtime_error &) {
    }
    ASSERT_EQ(names.size(), 3u);
    std::string list = run_cmd({"ip", "netns", "list"}).output;
    for (const auto &n : names) {
        EXPECT_FALSE(present("/run/netns/" + n)) << n;
        EXPECT_EQ(list.find(n), std::string::npos) << list;
    }
}

}  // namespace
