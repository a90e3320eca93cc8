// The controller loop on the real binary: signals, list reloads, timers,
// statistics, CTRL connections and the multicast start.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <memory>
#include <regex>

#include "ctrl_client.h"
#include "harness.h"
#include "proto/records.h"
#include "udp.h"

using namespace harness;

namespace {

// A daemon in unicast mode on loopback with every log line on stderr.  The
// ping and heartbeat timers are slowed down to keep the log readable.
struct Rig {
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    std::unique_ptr<Daemon> d;

    Rig()
    {
        cfg["ping_interval"] = "3600";
        cfg["heartbeat_interval"] = "3600";
    }
    void start()
    {
        std::string conf = write_config(tmp.path("marlo.conf"), cfg);
        d = std::make_unique<Daemon>(std::vector<std::string>{"-d", "-d", "-C", conf}, tmp);
    }
    int port(const char *key) const { return std::stoi(cfg.at(key)); }
    // Lines from index `from` on that contain needle, in order.
    std::vector<std::string> grep(size_t from, const std::string &needle) const
    {
        std::vector<std::string> out;
        auto ls = d->lines();
        for (size_t i = from; i < ls.size(); i++)
            if (ls[i].find(needle) != std::string::npos)
                out.push_back(ls[i].substr(ls[i].find(needle) + needle.size()));
        return out;
    }
};

// Label -> (short, long) of one "RX: ..." or "TX: ..." statistics line.
std::map<std::string, std::pair<long long, long long>> parse_stats(const std::string &line)
{
    std::map<std::string, std::pair<long long, long long>> out;
    static const std::regex pair_re("([A-Z_]+)=([0-9]+)/([0-9]+)");
    for (std::sregex_iterator it(line.begin(), line.end(), pair_re), end; it != end; ++it)
        out[(*it)[1]] = {std::stoll((*it)[2]), std::stoll((*it)[3])};
    return out;
}

}  // namespace

TEST(ControllerLoop, SigtermEndsLoopClosingConnectionsThenShutsDown)
{
    Rig run;
    run.start();
    ASSERT_TRUE(run.d->wait_for_line("Waiting...")) << run.d->text();
    CtrlClient client(run.port("ctrl_port"));
    ASSERT_FALSE(client.peer().empty());
    ASSERT_TRUE(run.d->wait_for_line("Accepted CTRL connection from " + client.peer()));

    run.d->signal(SIGTERM);
    EXPECT_EQ(run.d->wait_exit(), 0) << run.d->text();
    // In this order, after the connection was accepted.
    const std::string in_order[] = {"controller_thread_loop(): Exit...",
                                    "Closing CTRL connection from " + client.peer(),
                                    "Starting shutdown sequence...", "Shutdown sequence finished!"};
    for (const auto &needle : in_order)
        EXPECT_TRUE(run.d->wait_for_line(needle, 0ms)) << needle << "\n" << run.d->text();
}

TEST(ControllerLoop, SighupReloadsBothListsAndMalformedFilesKeepTheirList)
{
    Rig run;
    run.tmp.write_file("local_nodes", "3\n1\n2\n");
    run.tmp.write_file("unicast_hosts", "127.0.0.2\n");
    run.start();
    ASSERT_TRUE(run.d->wait_for_line("dump_unicast_hosts(): [1/1] 127.0.0.2")) << run.d->text();
    EXPECT_EQ(run.grep(0, "dump_local_nodes(): "),
              (std::vector<std::string>{"[1/3] 3", "[2/3] 1", "[3/3] 2"}));

    // Both files replaced.
    run.tmp.write_file("local_nodes", "5\n# spare\n\n9\n");
    run.tmp.write_file("unicast_hosts", "127.0.0.2\n127.0.0.4\n");
    size_t base = run.d->lines().size();
    run.d->signal(SIGHUP);
    ASSERT_TRUE(run.d->wait_for_line("dump_unicast_hosts(): [2/2] 127.0.0.4")) << run.d->text();
    EXPECT_EQ(run.grep(base, "dump_local_nodes(): "),
              (std::vector<std::string>{"[1/2] 5", "[2/2] 9"}));
    // One signal, one reload: the next pass waits instead of loading again.
    ASSERT_TRUE(run.d->wait_for_line("Waiting..."));
    EXPECT_EQ(run.grep(0, "Loading " + run.cfg["local_nodes"]).size(), 2u);
    EXPECT_EQ(run.grep(0, "Loading " + run.cfg["unicast_hosts"]).size(), 2u);

    // A last line without newline spoils the whole node file; a bad address
    // the host file.  Both lists stay as they were.
    run.tmp.write_file("local_nodes", "7\n8");
    run.tmp.write_file("unicast_hosts", "127.0.0.2\n300.1.2.3\n");
    base = run.d->lines().size();
    run.d->signal(SIGHUP);
    ASSERT_TRUE(run.d->wait_for_line("dump_unicast_hosts(): [2/2] 127.0.0.4")) << run.d->text();
    EXPECT_EQ(run.grep(base, "error: load_local_nodes(): "),
              std::vector<std::string>(1, "Malformed file " + run.cfg["local_nodes"]));
    EXPECT_EQ(run.grep(base, "error: load_unicast_hosts(): "),
              std::vector<std::string>(1, "Malformed unicast address: 300.1.2.3"));
    EXPECT_EQ(run.grep(base, "dump_local_nodes(): "),
              (std::vector<std::string>{"[1/2] 5", "[2/2] 9"}));
    EXPECT_EQ(run.grep(base, "dump_unicast_hosts(): "),
              (std::vector<std::string>{"[1/2] 127.0.0.2", "[2/2] 127.0.0.4"}));

    // The refused reload is counted and named until a reload takes every file.
    CtrlClient ctrl(run.port("ctrl_port"));
    ASSERT_TRUE(ctrl.write("counters\n"));
    std::string counters = ctrl.read_through("end");
    EXPECT_NE(counters.find("\nreload_failures 1\n"), std::string::npos) << counters;
    EXPECT_NE(counters.find("\nreload_refused local_nodes,unicast_hosts\nend\n"), std::string::npos)
        << counters;
    run.tmp.write_file("local_nodes", "7\n");
    run.tmp.write_file("unicast_hosts", "127.0.0.2\n");
    run.d->signal(SIGHUP);
    ASSERT_TRUE(run.d->wait_for_line("dump_unicast_hosts(): [1/1] 127.0.0.2")) << run.d->text();
    ASSERT_TRUE(ctrl.write("counters\n"));
    counters = ctrl.read_through("end");
    EXPECT_NE(counters.find("\nreload_failures 1\n"), std::string::npos) << counters;
    EXPECT_EQ(counters.find("reload_refused"), std::string::npos) << counters;

    run.d->signal(SIGTERM);
    EXPECT_EQ(run.d->wait_exit(), 0);
}

TEST(ControllerLoop, Sigusr1ForcesAPingCycleBeforeTheIntervalEnds)
{
    Rig run;  // ping_interval 3600: only the first cycle is due
    // A local node without a directory: every ping cycle tries to load it once.
    run.tmp.write_file("local_nodes", "77\n");
    const std::string cycle = "NodeLoad(): Load Node 77";
    run.start();
    ASSERT_TRUE(run.d->wait_for_line(cycle)) << run.d->text();
    ASSERT_TRUE(run.d->wait_for_line("Waiting..."));
    EXPECT_EQ(run.d->count_lines(cycle), 1u);

    run.d->signal(SIGUSR1);
    ASSERT_TRUE(run.d->wait_for_line(cycle)) << run.d->text();
    EXPECT_EQ(run.d->count_lines(cycle), 2u);
    run.d->signal(SIGTERM);
    EXPECT_EQ(run.d->wait_exit(), 0);
}

TEST(ControllerLoop, StatisticsShowShortAndLongCountsAndRestartTheShortOnes)
{
    Rig run;
    run.cfg["stats_interval"] = "1";
    run.start();
    // The first report comes 7 s + stats_interval after set-up.
    ASSERT_TRUE(run.d->wait_for_line("stats(): RX: ")) << run.d->text();

    UdpPeer sender("127.0.0.3");
    const int port = run.port("bind_port");
    ASSERT_TRUE(sender.send_to("127.0.0.1", port, make_datagram(MSG_HEARTBEAT, 206, 12)));
    ASSERT_TRUE(run.d->wait_for_line("Malformed packet? #1")) << run.d->text();
    struct {
        uint8_t type;
        size_t len;
    } sent[] = {{MSG_HEARTBEAT, 207}, {MSG_HEARTBEAT, 207}, {7, 207}, {MSG_PING, 400}};
    for (auto s : sent) {
        ASSERT_TRUE(sender.send_to("127.0.0.1", port, make_datagram(s.type, s.len, 12)));
        ASSERT_TRUE(run.d->wait_for_line(sender.recvfrom_line(s.len))) << run.d->text();
    }
    // Timers run before the receive step: the next report has seen them all.
    ASSERT_TRUE(run.d->wait_for_line("stats(): RX: "));
    ASSERT_TRUE(run.d->wait_for_line("stats(): RX: "));  // and one more after it

    auto reports = run.grep(0, "stats(): RX: ");
    ASSERT_GE(reports.size(), 3u);
    auto total = parse_stats(reports[reports.size() - 2]);
    ASSERT_EQ(total.size(), 8u) << reports.back();
    std::map<std::string, long long> expect_long = {{"ALL", 4}, {"PING", 1}, {"HEARTBEAT", 2},
                                                    {"UNKNOWN", 1}};
    for (const auto &[label, pair] : total)
        EXPECT_EQ(pair.second, expect_long[label]) << label << " in " << reports.back();
    // The short counts of all reports add up to the long ones.
    std::map<std::string, long long> sums;
    for (size_t i = 0; i + 1 < reports.size(); i++)
        for (const auto &[label, pair] : parse_stats(reports[i]))
            sums[label] += pair.first;
    for (const auto &[label, pair] : total)
        EXPECT_EQ(sums[label], pair.second) << label;
    // Nothing arrived since: the last report starts again from zero.
    for (const auto &[label, pair] : parse_stats(reports.back()))
        EXPECT_EQ(pair, std::make_pair(0LL, total[label].second)) << label;

    auto tx = run.grep(0, "stats(): TX: ");
    ASSERT_FALSE(tx.empty());
    EXPECT_EQ(parse_stats(tx.back()).size(), 7u) << tx.back();
    run.d->signal(SIGTERM);
    EXPECT_EQ(run.d->wait_exit(), 0);
}

TEST(ControllerLoop, CtrlConnectionsAreReadInBoundedPiecesUntilTheyClose)
{
    Rig run;
    run.start();
    ASSERT_TRUE(run.d->wait_for_line("Waiting...")) << run.d->text();
    CtrlClient a(run.port("ctrl_port")), b(run.port("ctrl_port"));
    ASSERT_FALSE(a.peer().empty());
    ASSERT_FALSE(b.peer().empty());
    ASSERT_TRUE(run.d->wait_for_line("Accepted CTRL connection from " + a.peer(), kWait, From::Start));
    ASSERT_TRUE(run.d->wait_for_line("Accepted CTRL connection from " + b.peer(), kWait, From::Start));

    // Lines that are no command are logged as ignored, text without a
    // newline as malformed.
    const std::string from_a = "MSG (ignored) from CTRL client " + a.peer() + ": ";
    const std::string from_b = "Malformed CTRL MSG ";
    ASSERT_TRUE(a.write("hello\n"));
    ASSERT_TRUE(run.d->wait_for_line(from_a + "hello")) << run.d->text();

    // 2000 bytes arrive in reads of at most 1023 bytes each.
    ASSERT_TRUE(b.write(std::string(2000, 'x')));
    size_t total = 0, pieces = 0;
    while (total < 2000 && run.d->wait_for_line(from_b)) {
        auto got = run.grep(0, from_b);
        total = pieces = 0;
        for (const auto &piece : got) {
            EXPECT_LE(piece.size(), 1023u);
            total += piece.size();
            pieces++;
        }
    }
    EXPECT_EQ(total, 2000u);
    EXPECT_GE(pieces, 2u);

    a.close();
    ASSERT_TRUE(run.d->wait_for_line("EOF from CTRL client " + a.peer())) << run.d->text();
    ASSERT_TRUE(run.d->wait_for_line("Closing CTRL connection from " + a.peer()));
    // b is still in the read set after a left it.
    ASSERT_TRUE(b.write("still here\n"));
    ASSERT_TRUE(run.d->wait_for_line("MSG (ignored) from CTRL client " + b.peer() + ": still here"))
        << run.d->text();

    run.d->signal(SIGTERM);
    EXPECT_EQ(run.d->wait_exit(), 0);
    EXPECT_EQ(run.d->count_lines("Closing CTRL connection from " + a.peer()), 1u);
    EXPECT_EQ(run.d->count_lines("Closing CTRL connection from " + b.peer()), 1u);
}

TEST(ControllerStart, MulticastModeJoinsEveryGroupInOrder)
{
    Rig run;
    run.cfg["unicast_mode"] = "0";
    run.cfg["multicast_address"] = ",224.1.2.3,, 224.1.2.4 ";
    run.start();
    ASSERT_TRUE(run.d->wait_for_line("JOIN MULTICAST 224.1.2.3@127.0.0.1")) << run.d->text();
    ASSERT_TRUE(run.d->wait_for_line("JOIN MULTICAST 224.1.2.4@127.0.0.1")) << run.d->text();
    ASSERT_TRUE(run.d->wait_for_line("Waiting..."));
    run.d->signal(SIGTERM);
    EXPECT_EQ(run.d->wait_exit(), 0);
}

TEST(ControllerStart, BadMulticastListStopsTheStart)
{
    struct {
        const char *address;
        const char *error;
    } cases[] = {
        {"", "controller_thread_loop(): Multicast groups missing"},
        {" , ,", "controller_thread_loop(): Multicast groups missing"},
        {"224.1.2.3, 127.0.0.5", "setsockopt(IP_ADD_MEMBERSHIP)"},
        {"224.1.2.300", "parse_mcast_groups(): Malformed multicast address: 224.1.2.300"},
        {"224.1.2.3,2240.100.200.300", "Malformed multicast address: 2240.100.200.300"},
    };
    for (const auto &c : cases) {
        Rig run;
        run.cfg["unicast_mode"] = "0";
        run.cfg["multicast_address"] = c.address;
        std::string conf = write_config(run.tmp.path("marlo.conf"), run.cfg);
        RunResult r = run_and_wait({"-d", "-d", "-C", conf}, run.tmp);
        EXPECT_EQ(r.status, 1) << c.address << "\n" << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << c.address << "\n" << r.err;
        EXPECT_EQ(r.err.find("Waiting..."), std::string::npos) << c.address;
    }
}

TEST(UdpPeer, SharesTheDaemonPortOnASecondLoopbackAddress)
{
    Rig run;
    run.start();
    ASSERT_TRUE(run.d->wait_for_line("Waiting...")) << run.d->text();
    const int port = run.port("bind_port");
    UdpPeer peer("127.0.0.2", port);
    UdpPeer sender("127.0.0.3");

    ASSERT_TRUE(sender.send_to("127.0.0.2", port, make_datagram(MSG_HEARTBEAT, 207, 5)));
    auto got = peer.receive();
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->bytes, make_datagram(MSG_HEARTBEAT, 207, 5));
    EXPECT_EQ(got->from_addr, "127.0.0.3");
    EXPECT_EQ(got->from_port, sender.port());

    // The daemon still gets what is sent to its own address, and only that.
    ASSERT_TRUE(sender.send_to("127.0.0.1", port, make_datagram(MSG_HEARTBEAT, 208, 5)));
    ASSERT_TRUE(run.d->wait_for_line(sender.recvfrom_line(208))) << run.d->text();
    EXPECT_EQ(run.d->count_lines(sender.recvfrom_line(207)), 0u);
    run.d->signal(SIGTERM);
    EXPECT_EQ(run.d->wait_exit(), 0);
}
