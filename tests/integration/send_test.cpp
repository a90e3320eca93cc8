// Announcing the local nodes on the real binary: what the ping and heartbeat
// cycles send, byte for byte, from a store laid out by store_seed; what a
// lock or load failure costs; the targets and the transmit counters.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "harness.h"
#include "store_seed.h"
#include "udp.h"

using namespace harness;

namespace {

// A daemon in unicast mode whose first ping cycle is the only one (unless
// forced), with a peer on 127.0.0.2 listening on the daemon's port.
struct SendRig {
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    const std::string work = tmp.path("DB");
    std::unique_ptr<UdpPeer> peer;
    std::unique_ptr<Daemon> d;

    SendRig()
    {
        cfg["ping_interval"] = "3600";
        cfg["heartbeat_interval"] = "3600";
    }
    int port() const { return std::stoi(cfg.at("bind_port")); }
    void start(const std::string &local_nodes, const std::string &hosts = "127.0.0.2\n")
    {
        tmp.write_file("local_nodes", local_nodes);
        tmp.write_file("unicast_hosts", hosts);
        peer = std::make_unique<UdpPeer>("127.0.0.2", port());
        std::string conf = write_config(tmp.path("marlo.conf"), cfg);
        d = std::make_unique<Daemon>(std::vector<std::string>{"-d", "-d", "-C", conf}, tmp);
    }
    // The first "Waiting..." comes after the first pass's timers: the first
    // ping cycle is over and everything it sent is queued at the peers.
    bool first_cycle_done() { return d->wait_for_line("Waiting...", kWait, From::Start); }
};

uint8_t type_of(const std::string &msg) { return uint8_t(msg.at(2)); }
uint32_t uid_of(const std::string &msg)
{
    return uint8_t(msg.at(4)) | uint8_t(msg.at(5)) << 8 | uint8_t(msg.at(6)) << 16 |
           uint32_t(uint8_t(msg.at(7))) << 24;
}

// Takes a lock as another program on the host would: the file exists.
void write_lock(const std::string &path)
{
    std::FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    std::fputs("1\n", f);
    std::fclose(f);
}

std::string hex(const std::string &msg, size_t off, size_t len)
{
    std::string out;
    char b[4];
    for (size_t i = off; i < off + len && i < msg.size(); i++) {
        std::snprintf(b, sizeof b, "%02x", uint8_t(msg[i]));
        out += out.empty() ? b : std::string(" ") + b;
    }
    return out;
}

// Two nodes of different versions sharing a datastore of a full-width uuid:
// node 301 (1.8, backup channel) with two plain vdisks and a snapshot, node
// 302 (1.7) with a vdisk of a full-width uuid and a share of 301's vdisk.
struct Cluster {
    seed::DatastoreSpec ds{.uuid = "ds-alpha-01234", .name = "alpha pool",
                           .description = "first pool", .sector_size = 4096, .replicas = 3,
                           .stripes = 2, .overcommit = 1, .members = {301, 302}};
    seed::NodeSpec n301{.id = 301, .version = "v1.8", .nodestatus = 1,
                        .backupchannel = "192.168.1.2", .vendor = "Varnholt",
                        .serial = "SER-301", .datastore = "ds-alpha-01234"};
    seed::NodeSpec n302{.id = 302, .version = "v1.7", .serial = "SER-302", .size = 77,
                        .memtotal = 4000, .memavail = 3000, .datastore = "ds-alpha-01234"};
    seed::VDiskSpec vd_b{.uuid = "vd-b", .name = "bee", .sectors = 1 << 20,
                         .description = "plain b", .highest_gen_count = 300,
                         .membership = {301, 302},
                         .memberinfo = {{.node = 301, .gen = 300, .numkeys = 5, .seqno = 6,
                                         .frontends = {"10.0.0.1", "10.0.0.2"}},
                                        {.node = 302, .gen = 300, .port = 3261}},
                         .datastore = "ds-alpha-01234"};
    seed::VDiskSpec vd_d{.uuid = "vd-d", .description = "plain d", .highest_gen_count = 7,
                         .membership = {301},
                         .memberinfo = {{.node = 301, .gen = 7}},
                         .datastore = "ds-alpha-01234"};
    seed::VDiskSpec vd_a{.uuid = "vd-a", .snapshot = 1, .parent = "vd-b",
                         .snaptime = "15-03-05_07.08.09", .highest_gen_count = 2,
                         .membership = {301},
                         .memberinfo = {{.node = 301, .gen = 2, .frontends = {"10.0.0.9"}}},
                         .datastore = "ds-alpha-01234"};
    seed::VDiskSpec vd_c{.uuid = "vd-c0123456789", .name = "a name of 28 characters ...",
                         .description = "a description of 32 characters.",
                         .highest_gen_count = 123, .membership = {302, 301},
                         .memberinfo = {{.node = 302, .gen = 123, .frontends = {"172.16.0.1"}}}};

    void write(const std::string &work) const
    {
        seed::write_node(work, n301);
        seed::write_node(work, n302);
        seed::write_datastore(work, ds);
        for (const auto *vd : {&vd_b, &vd_d, &vd_a, &vd_c})
            seed::write_vdisk(work, *vd);
    }
};

TEST(PingCycle, SendsEachNodeAsTheStoreHoldsIt)
{
    SendRig rig;
    Cluster c;
    c.write(rig.work);
    rig.start("301\n302\n");
    ASSERT_TRUE(rig.first_cycle_done()) << rig.d->text();

    // Per node DS_PING, AUX_PING, PING; plain vdisks before snapshots, each
    // run in uuid order; every vdisk as seen by the announcing member.
    const std::string want[] = {
        seed::ds_ping_msg(c.n301, &c.ds),
        seed::aux_ping_msg(c.n301),
        seed::ping_msg(c.n301, {&c.vd_b, &c.vd_d, &c.vd_a}),
        seed::ds_ping_msg(c.n302, &c.ds),
        seed::aux_ping_msg(c.n302),
        seed::ping_msg(c.n302, {&c.vd_b, &c.vd_c}),
    };
    auto got = rig.peer->drain();
    ASSERT_EQ(got.size(), std::size(want)) << rig.d->text();
    for (size_t i = 0; i < got.size(); i++)
        EXPECT_EQ(seed::msg_diff(got[i], want[i]), "") << "datagram " << i;

    // Anchors written out by hand: version, type, status and id of node 301;
    // its backup channel 192.168.1.2 in the size field; the datastore uuid
    // filling its field (the name follows at once); the AUX_PING gap and
    // length.
    EXPECT_EQ(hex(got[0], 0, 8), "01 08 10 01 2d 01 00 00");
    EXPECT_EQ(hex(got[0], 200, 4), "02 01 a8 c0");
    EXPECT_EQ(got[0].substr(207, 24), "ds-alpha-01234alpha pool");
    EXPECT_EQ(hex(got[1], 207, 5), "00 1c 00 00 00");
    // Generation 300 from a 1.8 node: digits "00" and 01 2c big-endian; from
    // the 1.7 node the same vdisk carries only the digits; 123 gives "23".
    EXPECT_EQ(got[2].substr(207 + 4, 4), "vd-b");
    EXPECT_EQ(hex(got[2], 207 + 18, 2) + " " + hex(got[2], 207 + 48, 2), "30 30 01 2c");
    EXPECT_EQ(hex(got[5], 207 + 18, 2) + " " + hex(got[5], 207 + 48, 2), "30 30 00 00");
    const size_t vd_c_at = 207 + 125 + 8;  // after vd-b with its two members
    EXPECT_EQ(got[5].substr(vd_c_at + 4, 14), "vd-c0123456789");
    EXPECT_EQ(hex(got[5], vd_c_at + 18, 2) + " " + hex(got[5], vd_c_at + 48, 2), "32 33 00 00");

    const std::string sends[] = {
        "info: send_pings(): Send DS_PING 294B from Node 301 Datastore ds-alpha-01234",
        "info: send_pings(): Send AUX_PING 236B from Node 301",
        "info: send_pings(): Send PING " + std::to_string(want[2].size()) + "B from Node 301",
        "info: send_pings(): Send DS_PING 294B from Node 302 Datastore ds-alpha-01234",
    };
    for (const auto &line : sends)
        EXPECT_TRUE(rig.d->wait_for_line(line, kWait, From::Start)) << line;
    EXPECT_EQ(rig.d->count_lines("xmit_msg(): sendto(127.0.0.2:" + std::to_string(rig.port())),
              6u);
}

TEST(PingCycle, AFailedLockOrLoadCostsOnlyWhatDependsOnIt)
{
    // Every case runs beside node 310, which is announced in full.
    const seed::NodeSpec healthy{.id = 310, .datastore = "ds-310"};
    const seed::DatastoreSpec healthy_ds{.uuid = "ds-310", .members = {310}};
    const seed::VDiskSpec healthy_vd{.uuid = "vd-310", .membership = {310},
                                     .memberinfo = {{.node = 310}}, .datastore = "ds-310"};

    struct Case {
        const char *name;
        uint32_t node;
        std::function<void(const std::string &work)> seed;
        std::vector<std::string> held_locks;  // lock files taken before the start
        std::vector<int> types;               // what the node sends, in order
        std::string line;                     // logged once
        bool sign = false;                    // with auth_mode=sign
    };
    // Node id's store with one vdisk of `members` members: a PING of
    // 207 + 125 + 4 * members bytes.
    auto ping_of = [](uint32_t id, uint32_t members) {
        return [=](const std::string &w) {
            const std::string ds = "ds-" + std::to_string(id);
            seed::write_node(w, {.id = id, .datastore = ds});
            seed::write_datastore(w, {.uuid = ds, .members = {id}});
            seed::VDiskSpec big{.uuid = "vd-" + std::to_string(id), .memberinfo = {{.node = id}},
                                .datastore = ds};
            for (uint32_t m = 1; m <= members; m++)
                big.membership.push_back(m);
            seed::write_vdisk(w, big);
        };
    };
    const Case cases[] = {
        {"held datastore lock", 311,
         [](const std::string &w) {
             seed::write_node(w, {.id = 311, .datastore = "ds-311"});
             seed::write_datastore(w, {.uuid = "ds-311", .members = {311}});
             seed::write_vdisk(w, {.uuid = "vd-311", .membership = {311},
                                   .memberinfo = {{.node = 311}}, .datastore = "ds-311"});
         },
         {"/tmp/DS-ds-311"}, {35, 4}, "notice: PathLock(): Timed out locking /tmp/DS-ds-311"},
        {"held vdisk lock", 312,
         [](const std::string &w) {
             seed::write_node(w, {.id = 312, .datastore = "ds-312"});
             seed::write_datastore(w, {.uuid = "ds-312", .members = {312}});
             for (const char *uuid : {"vd-312a", "vd-312b"})
                 seed::write_vdisk(w, {.uuid = uuid, .membership = {312},
                                       .memberinfo = {{.node = 312}}, .datastore = "ds-312"});
         },
         {"/tmp/VDISK-vd-312b"}, {16, 35},
         "error: send_pings(): PING from Node 312 not sent due to VDisk vd-312b error"},
        {"unreadable datastore membership", 316,
         [](const std::string &w) {
             seed::write_node(w, {.id = 316, .datastore = "ds-316"});
             seed::write_datastore(w, {.uuid = "ds-316", .members = {316}});
             seed::write_vdisk(w, {.uuid = "vd-316", .membership = {316},
                                   .memberinfo = {{.node = 316}}, .datastore = "ds-316"});
             // 16 characters: more than a datastore uuid can hold.  The node
             // must not be announced as being in no datastore.
             std::ofstream(w + "/Node/316/datastoremember") << "ds-316-too-long!\n";
         },
         {}, {35, 4}, "error: NodeLoad_DSMember(): Failed to load "},
        {"node that fails to load", 313,
         [](const std::string &w) {
             seed::write_node(w, {.id = 313});
             ::unlink((w + "/Node/313/memavail").c_str());
         },
         {}, {}, "error: NodeLoad(): Failed to load " },
        {"oversized PING", 315, ping_of(315, 16400),  // 65,932 bytes
         {}, {16, 35}, "error: send_pings(): Oversized PING from Node 315"},
        // The largest UDP datagram holds 65,507 bytes: unsigned, all of them
        // are the PING; signed, 56 of them are its trailer.
        {"largest PING", 318, ping_of(318, 16293),
         {}, {16, 35, 4}, "info: send_pings(): Send PING 65504B from Node 318"},
        {"largest signed PING", 319, ping_of(319, 16279),
         {}, {16, 35, 4}, "info: send_pings(): Send PING 65448B from Node 319", true},
        {"signed PING a member too large", 314, ping_of(314, 16280),
         {}, {16, 35}, "error: send_pings(): Oversized PING from Node 314", true},
        {"FIFO at the node lock (no hang)", 317,
         [](const std::string &w) {
             seed::write_node(w, {.id = 317});
             ASSERT_EQ(::mkfifo("/tmp/NODE-317", 0666), 0);
         },
         {}, {}, "notice: PathLock(): Timed out locking /tmp/NODE-317"},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SendRig rig;
        seed::write_node(rig.work, healthy);
        seed::write_datastore(rig.work, healthy_ds);
        seed::write_vdisk(rig.work, healthy_vd);
        c.seed(rig.work);
        for (const auto &lock : c.held_locks)
            write_lock(lock);
        if (c.sign) {
            rig.cfg["auth_mode"] = "sign";
            rig.cfg["auth_keys"] =
                rig.tmp.write_file("auth_keys", "1 " + std::string(64, 'a') + "\n");
            chmod(rig.cfg["auth_keys"].c_str(), 0600);
        }
        rig.start(std::to_string(c.node) + "\n310\n");
        ASSERT_TRUE(rig.first_cycle_done()) << rig.d->text();

        std::vector<std::string> mine, other;
        for (auto &m : rig.peer->drain()) {
            if (c.sign)
                m.resize(m.size() - 56);  // the trailer
            (uid_of(m) == c.node ? mine : other).push_back(m);
        }
        std::vector<int> types;
        for (const auto &m : mine)
            types.push_back(type_of(m));
        EXPECT_EQ(types, c.types) << rig.d->text();
        EXPECT_EQ(rig.d->count_lines(c.line), 1u) << c.line << "\n" << rig.d->text();

        // The other node is unaffected, and is announced after this one.
        ASSERT_EQ(other.size(), 3u);
        EXPECT_EQ(seed::msg_diff(other[0], seed::ds_ping_msg(healthy, &healthy_ds)), "");
        EXPECT_EQ(seed::msg_diff(other[1], seed::aux_ping_msg(healthy)), "");
        EXPECT_EQ(seed::msg_diff(other[2], seed::ping_msg(healthy, {&healthy_vd})), "");

        for (const auto &lock : c.held_locks)
            ::unlink(lock.c_str());
    }
    EXPECT_EQ(::unlink("/tmp/NODE-317"), 0);
}

TEST(PingCycle, NodeInNoDatastoreSendsAHeaderOnlyDsPing)
{
    SendRig rig;
    const seed::NodeSpec n{.id = 316, .version = "v2.0"};
    const seed::VDiskSpec vd{.uuid = "vd-316", .membership = {316},
                             .memberinfo = {{.node = 316, .gen = 9, .frontends = {"10.1.2.3"}}}};
    seed::write_node(rig.work, n);
    seed::write_vdisk(rig.work, vd);
    rig.start("316\n");
    ASSERT_TRUE(rig.first_cycle_done()) << rig.d->text();

    auto got = rig.peer->drain();
    ASSERT_EQ(got.size(), 3u) << rig.d->text();
    EXPECT_EQ(seed::msg_diff(got[0], seed::ds_ping_msg(n, nullptr)), "");
    EXPECT_EQ(got[0].size(), 207u);
    EXPECT_EQ(seed::msg_diff(got[1], seed::aux_ping_msg(n)), "");
    EXPECT_EQ(seed::msg_diff(got[2], seed::ping_msg(n, {&vd})), "");
    EXPECT_EQ(rig.d->count_lines("error: send_pings(): Local node 316 not part of any data store"),
              1u);
    EXPECT_EQ(rig.d->count_lines("info: send_pings(): Send DS_PING 207B from Node 316 Datastore "),
              1u);
}

TEST(HeartbeatCycle, SendsTheFreshlyLoadedHeaderOfEveryLoadableNode)
{
    SendRig rig;
    rig.cfg["heartbeat_interval"] = "0";  // every pass, from 3 s after set-up
    seed::NodeSpec n{.id = 320, .nodestatus = 1, .backupchannel = "10.9.8.7"};
    seed::write_node(rig.work, n);
    rig.start("320\n321\n");  // 321 has no directory: no heartbeat for it
    ASSERT_TRUE(rig.d->wait_for_line("Send HEARTBEAT 207B from Node 320")) << rig.d->text();

    // The store changes between two heartbeats: the next one carries it.
    n.vendor = "Renamed";
    seed::write_attr(rig.work + "/Node/320", "vendor", n.vendor);
    rig.d->mark();
    ASSERT_TRUE(rig.d->wait_for_line("Send HEARTBEAT 207B from Node 320"));
    ASSERT_TRUE(rig.d->wait_for_line("Send HEARTBEAT 207B from Node 320"));

    std::vector<std::string> beats;
    for (auto &m : rig.peer->drain())
        if (type_of(m) == 32)
            beats.push_back(m);
    ASSERT_GE(beats.size(), 3u);
    for (const auto &b : beats)
        EXPECT_EQ(uid_of(b), 320u);
    EXPECT_EQ(hex(beats.front(), 0, 8), "01 08 20 01 40 01 00 00");
    EXPECT_EQ(seed::msg_diff(beats.back(), seed::hdr_bytes(n, 32)), "");
    EXPECT_EQ(rig.d->count_lines("Send HEARTBEAT 207B from Node 321"), 0u);
}

TEST(Transmit, EveryTargetGetsEveryDatagramAndCountsArePerDestination)
{
    SendRig rig;
    rig.cfg["stats_interval"] = "0";  // a report on every pass from 7 s after set-up
    const seed::NodeSpec n{.id = 330, .datastore = "ds-330"};
    const seed::DatastoreSpec ds{.uuid = "ds-330", .members = {330}};
    const seed::VDiskSpec vd{.uuid = "vd-330", .membership = {330},
                             .memberinfo = {{.node = 330}}, .datastore = "ds-330"};
    seed::write_node(rig.work, n);
    seed::write_datastore(rig.work, ds);
    seed::write_vdisk(rig.work, vd);
    UdpPeer third("127.0.0.3", rig.port());

    // No target: the cycle runs, nothing is sent, logged by xmit_msg or counted.
    rig.start("330\n", "");
    ASSERT_TRUE(rig.first_cycle_done()) << rig.d->text();
    EXPECT_EQ(rig.d->count_lines("Send PING"), 1u);
    EXPECT_EQ(rig.d->count_lines("xmit_msg()"), 0u);
    ASSERT_TRUE(rig.d->wait_for_line("stats(): TX: ")) << rig.d->text();
    const auto before = seed::tx_counts(rig.d->lines());
    EXPECT_EQ(before.size(), 7u);
    for (const auto &[label, count] : before)
        EXPECT_EQ(count, 0) << label;

    // Three targets, of which the broadcast address refuses every datagram.
    rig.tmp.write_file("unicast_hosts", "127.0.0.2\n255.255.255.255\n127.0.0.3\n");
    rig.d->signal(SIGHUP);
    ASSERT_TRUE(rig.d->wait_for_line("dump_unicast_hosts(): [3/3] 127.0.0.3"));
    rig.d->signal(SIGUSR1);
    ASSERT_TRUE(rig.d->wait_for_line("Send PING")) << rig.d->text();
    ASSERT_TRUE(rig.d->wait_for_line("stats(): TX: "));

    const std::vector<std::string> want = {seed::ds_ping_msg(n, &ds), seed::aux_ping_msg(n),
                                           seed::ping_msg(n, {&vd})};
    EXPECT_EQ(rig.peer->drain(), want);
    EXPECT_EQ(third.drain(), want);
    const std::string port = std::to_string(rig.port());
    for (const auto &m : want)
        EXPECT_EQ(rig.d->count_lines("error: xmit_msg(): sendto(255.255.255.255:" + port + ", " +
                                     std::to_string(m.size()) + "): Permission denied"),
                  1u)
            << rig.d->text();
    const std::map<std::string, long long> counted = {
        {"ALL", 6}, {"PING", 2}, {"DS_PING", 2}, {"AUX_PING", 2},
        {"SV_PING", 0}, {"VDISK_DEL", 0}, {"HEARTBEAT", 0}};
    EXPECT_EQ(seed::tx_counts(rig.d->lines()), counted);

    rig.d->signal(SIGTERM);
    EXPECT_EQ(rig.d->wait_exit(), 0);
}

}  // namespace
