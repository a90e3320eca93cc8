// marloctl beside a real daemon: status of a store the daemon wrote from
// injected datagrams, CTRL commands and signals arriving at it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

#include "integration/store_seed.h"
#include "integration/udp.h"
#include "tools/ctl.h"

using namespace ctl;
using namespace harness;

namespace {

// A daemon on loopback that announces nothing by itself (ping and heartbeat
// intervals of an hour, no unicast hosts) with every log line captured.
struct Rig {
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    std::string conf;
    std::unique_ptr<Daemon> d;

    explicit Rig(const std::string &local_nodes = "")
    {
        cfg["ping_interval"] = "3600";
        cfg["heartbeat_interval"] = "3600";
        cfg["local_nodes"] = tmp.write_file("local_nodes", local_nodes);
    }
    void start()
    {
        conf = write_config(tmp.path("marlo.conf"), cfg);
        d = std::make_unique<Daemon>(std::vector<std::string>{"-d", "-d", "-C", conf}, tmp);
        ASSERT_TRUE(d->wait_for_line("Waiting...")) << d->text();
    }
    int bind_port() const { return std::stoi(cfg.at("bind_port")); }
    CtlRun ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-C", conf});
        return run_marloctl(args, tmp);
    }
    // Sends the datagrams from peer in order and waits until the daemon has
    // handled all of them.
    void inject(UdpPeer &peer, const std::vector<std::string> &datagrams)
    {
        for (const std::string &dg : datagrams)
            ASSERT_TRUE(peer.send_to("127.0.0.1", bind_port(), dg));
        ASSERT_TRUE(settle(*d, peer, bind_port())) << d->text();
    }
};

TEST(MarloctlDaemon, StatusShowsWhatTheDaemonWroteFromDatagrams)
{
    Rig rig;
    rig.start();
    using namespace seed;
    // Node 201 on 127.0.0.3 and node 202 on 127.0.0.4, both in datastore
    // dsA; vdisk vdA on both, its snapshot snA on node 201.
    const NodeSpec n201{.id = 201, .vendor = "acme", .model = "box-201", .freespace = 4096};
    const NodeSpec n202{.id = 202, .vendor = "acme", .model = "box-202", .freespace = 2048};
    const DatastoreSpec dsA{.uuid = "dsA", .name = "poolA"};
    VDiskSpec vdA{.uuid = "vdA",
                  .name = "diskA",
                  .description = "d",
                  .membership = {201, 202},
                  .memberinfo = {{.node = 201, .gen = 2, .frontends = {"10.0.0.1"}},
                                 {.node = 202, .gen = 2, .frontends = {"10.0.0.2"}}}};
    VDiskSpec snA{.uuid = "snA",
                  .name = "snapA",
                  .snapshot = 1,
                  .parent = "vdA",
                  .snaptime = "15-03-05_07.08.09",
                  .membership = {201},
                  .memberinfo = {{.node = 201, .gen = 2, .frontends = {"10.0.0.9"}}}};
    UdpPeer a("127.0.0.3"), b("127.0.0.4");
    rig.inject(a, {ds_ping_msg(n201, &dsA), aux_ping_msg(n201), ping_msg(n201, {&vdA, &snA})});
    rig.inject(b, {ds_ping_msg(n202, &dsA), ping_msg(n202, {&vdA})});

    const time_t written = time(nullptr);
    CtlRun r = rig.ctl({"status"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto nodes = table_rows(r.out, "Nodes");
    ASSERT_EQ(nodes.size(), 2u) << r.out << rig.d->text();
    // The silence depends on the clock: checked in the JSON below.
    auto without_silence = [](std::vector<std::string> c) {
        if (c.size() > 4)
            c.erase(c.begin() + 4);
        return c;
    };
    EXPECT_EQ(without_silence(cells(nodes[0])),
              (std::vector<std::string>{"201", "127.0.0.3", "v1.8", "acme/box-201", "dsA", "2",
                                        "4096"}))
        << r.out;
    EXPECT_EQ(without_silence(cells(nodes[1])),
              (std::vector<std::string>{"202", "127.0.0.4", "v1.8", "acme/box-202", "dsA", "1",
                                        "2048"}))
        << r.out;
    EXPECT_EQ(table_rows(r.out, "Datastores"),
              (std::vector<std::string>{"dsA   poolA  201,202  snA,vdA"}))
        << r.out;
    EXPECT_EQ(table_rows(r.out, "VDisks"),
              (std::vector<std::string>{
                  "snA   snapA  snapshot:vdA  2    201      201=10.0.0.9               dsA",
                  "vdA   diskA  plain         2    201,202  201=10.0.0.1;202=10.0.0.2  dsA",
              }))
        << r.out;
    EXPECT_TRUE(problem_lines(r.out).empty()) << r.out;

    CtlRun json = rig.ctl({"status", "--json", "--node", "201"});
    ASSERT_EQ(json.status, 0) << json.err;
    Json doc;
    auto err = parse_json(json.out, &doc);
    ASSERT_FALSE(err) << *err << "\n" << json.out;
    ASSERT_EQ(doc["nodes"].items.size(), 1u);
    const Json &n = doc["nodes"][0];
    EXPECT_EQ(n["id"].num(), 201);
    EXPECT_FALSE(n["silent"].b) << json.out;
    EXPECT_GE(n["silence"].num(), 0);
    EXPECT_LE(n["lastping"].num(), written);
    EXPECT_EQ(doc["vdisks"].items.size(), 2u);

    CtlRun graph = rig.ctl({"graph"});
    ASSERT_EQ(graph.status, 0) << graph.err;
    EXPECT_NE(graph.out.find("\"vdisk snA\" -> \"vdisk vdA\" [label=\"snapshot of\", style=dashed];"),
              std::string::npos)
        << graph.out;
    EXPECT_EQ(graph.out.find("(missing)"), std::string::npos) << graph.out;
    if (const std::string dot = which("dot"); !dot.empty()) {
        ToolRun check = run_with_input(dot, {"-Tsvg", "-o/dev/null"}, graph.out, rig.tmp);
        EXPECT_EQ(check.status, 0) << check.err;
    }

    rig.d->signal(SIGTERM);
    EXPECT_EQ(rig.d->wait_exit(), 0);
}

TEST(MarloctlDaemon, CommandsArriveAndRefusalsSendNothing)
{
    Rig rig("12\n4294967295\n");
    Store(rig.tmp.path("DB")).link("Node/12/vdisks/vd01", "../../../VDisk/vd01");
    rig.start();
    const std::string msg = "MSG from CTRL client 127.0.0.1:";

    CtlRun refused = rig.ctl({"vdisk-deleted", "12", "a b"});
    EXPECT_EQ(refused.status, 2) << refused.err;

    struct Sent {
        std::vector<std::string> args;
        const char *logged;  // what the daemon logs after the client's address
    } const sent[] = {
        {{"single-vdisk-ping", "12", "vd01"}, ": SINGLE_VDISK_PING Node=12 VDisk=vd01"},
        {{"ds-ping", "0012"}, ": DS_PING Node=12"},
        {{"vdisk-deleted", "4294967295", "abcdefghijklmn"},
         ": VDISK_DELETED Node=4294967295 VDisk=abcdefghijklmn"},
    };
    for (const Sent &s : sent) {
        CtlRun r = rig.ctl(s.args);
        EXPECT_EQ(r.status, 0) << s.args[0] << ": " << r.err;
        EXPECT_EQ(r.out + r.err, "");
        ASSERT_TRUE(rig.d->wait_for_line(s.logged)) << s.logged << "\n" << rig.d->text();
    }
    // Every connection closes after its one command (the last one after
    // its command's line).
    ASSERT_TRUE(rig.d->wait_for_line("Closing CTRL connection from 127.0.0.1:")) << rig.d->text();
    EXPECT_EQ(rig.d->count_lines("Closing CTRL connection from 127.0.0.1:"), 3u);
    EXPECT_EQ(rig.d->count_lines("Accepted CTRL connection"), 3u) << rig.d->text();
    EXPECT_EQ(rig.d->count_lines(msg), 3u) << rig.d->text();
    EXPECT_EQ(rig.d->count_lines("Missing"), 0u);
    EXPECT_EQ(rig.d->count_lines("Malformed CTRL MSG"), 0u);
}

TEST(MarloctlDaemon, KeygenKeysTheDaemonWhoseRefusalsStatusCounts)
{
    Rig rig;
    // Two keys appended to a new file of mode 0600, which the daemon takes;
    // no configuration needed.
    const std::string keys = rig.tmp.path("keys");
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(run_marloctl({"-C", "/no", "keygen", "--output", keys}, rig.tmp).status, 0);
    struct stat st;
    ASSERT_EQ(stat(keys.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    rig.cfg["auth_mode"] = "require";
    rig.cfg["auth_keys"] = keys;
    rig.start();
    EXPECT_EQ(rig.d->count_lines("Loaded 2 keys"), 1u) << rig.d->text();
    UdpPeer peer("127.0.0.3");
    rig.inject(peer, {seed::aux_ping_msg({.id = 7})});  // unsigned: refused
    CtlRun status = rig.ctl({"status"});
    EXPECT_NE(status.out.find("Authentication (auth_mode require; datagrams received since the "
                              "daemon started)\n"
                              "SIGNED  UNSIGNED  BAD_MAC  UNKNOWN_KEY  REPLAYED  OUTSIDE_WINDOW  "
                              "TABLE_FULL\n"
                              "0       1         0        0            0         0               "
                              "0\n"),
              std::string::npos)
        << status.out;
}

TEST(MarloctlDaemon, ReloadAndPingNowReachTheDaemonThroughItsPidFile)
{
    Rig rig("301\n");
    // Relative to the work directory, where the daemon writes it.
    rig.cfg["pid_file"] = "../marlo.pid";
    // Started through a link of another name, as from a build tree: the
    // daemon is known by its pid file and its CTRL port, not by its name.
    const std::string bin = marlo_bin(), link = rig.tmp.path("marlo-bin");
    ASSERT_EQ(symlink(bin.c_str(), link.c_str()), 0);
    setenv("MARLO_BIN", link.c_str(), 1);
    rig.start();
    setenv("MARLO_BIN", bin.c_str(), 1);
    ASSERT_TRUE(rig.d->wait_for_line("dump_local_nodes(): [1/1] 301", kWait, From::Start))
        << rig.d->text();

    // Node 301's record, as a peer would have announced it: now the daemon
    // can load it for a ping cycle.
    const seed::NodeSpec n301{.id = 301};
    UdpPeer peer("127.0.0.3");
    rig.inject(peer, {seed::ds_ping_msg(n301, nullptr), seed::aux_ping_msg(n301)});
    EXPECT_EQ(rig.d->count_lines("Send AUX_PING 236B from Node 301"), 0u) << rig.d->text();

    CtlRun now = rig.ctl({"ping-now"});
    ASSERT_EQ(now.status, 0) << now.err;
    EXPECT_TRUE(rig.d->wait_for_line("send_pings(): Send AUX_PING 236B from Node 301"))
        << rig.d->text();

    rig.tmp.write_file("local_nodes", "301\n302\n");
    CtlRun reload = rig.ctl({"reload"});
    ASSERT_EQ(reload.status, 0) << reload.err;
    EXPECT_TRUE(rig.d->wait_for_line("dump_local_nodes(): [2/2] 302")) << rig.d->text();

    // A file the daemon would refuse: marloctl says why and signals nothing.
    // Signalled anyway, the daemon keeps its list, and health says so.
    const std::string nodes = rig.tmp.write_file("local_nodes", "301\nx302\n");
    const size_t loads = rig.d->count_lines("load_local_nodes(): Loading");
    CtlRun refused = rig.ctl({"reload"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "marloctl: reload refused, marlo not signalled: local nodes file " +
                               nodes + ": Malformed file " + nodes + "\n");
    rig.d->signal(SIGHUP);
    ASSERT_TRUE(rig.d->wait_for_line("error: load_local_nodes(): Malformed file")) << rig.d->text();
    EXPECT_EQ(rig.d->count_lines("load_local_nodes(): Loading"), loads + 1);
    EXPECT_NE(rig.ctl({"health"}).out.find("WARN   the daemon refused its last reload: it keeps what it read before "
                                           "(local_nodes)"),
              std::string::npos);
    rig.tmp.write_file("local_nodes", "301\n302\n");

    // The pid file outlives the daemon.
    rig.d->signal(SIGTERM);
    ASSERT_EQ(rig.d->wait_exit(), 0);
    CtlRun after = rig.ctl({"reload"});
    EXPECT_EQ(after.status, 1);
    EXPECT_NE(after.err.find("No such process (marlo is not running)"), std::string::npos)
        << after.err;
    EXPECT_EQ(rig.ctl({"status"}).out.rfind("The daemon is down: process ", 0), 0u);
}

}  // namespace
