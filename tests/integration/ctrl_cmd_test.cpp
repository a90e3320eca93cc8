// CTRL commands on the real binary: one client writes command after command
// on one connection; a peer on 127.0.0.2 captures what each one sends.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>
#include <memory>
#include <sstream>

#include "ctrl_client.h"
#include "harness.h"
#include "store_seed.h"
#include "udp.h"

using namespace harness;

namespace {

TEST(CtrlCommands, EachCommandSendsWhatItNamesAndNothingElse)
{
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    cfg["ping_interval"] = "3600";
    cfg["heartbeat_interval"] = "3600";
    cfg["stats_interval"] = "0";
    const std::string work = tmp.path("DB");

    // Node 401 in a datastore with one vdisk; node 402 in none, with one.
    const seed::NodeSpec n401{.id = 401, .serial = "SER-401", .datastore = "ds-401"};
    const seed::NodeSpec n402{.id = 402, .version = "v1.7"};
    const seed::DatastoreSpec ds{.uuid = "ds-401", .members = {401}};
    const seed::VDiskSpec vd01{.uuid = "vd01", .description = "ctrl disk", .membership = {401, 9},
                               .memberinfo = {{.node = 401, .gen = 4, .frontends = {"10.4.0.1"}}},
                               .datastore = "ds-401"};
    const seed::VDiskSpec vd02{.uuid = "vd02", .membership = {402},
                               .memberinfo = {{.node = 402}}};
    seed::write_node(work, n401);
    seed::write_node(work, n402);
    seed::write_datastore(work, ds);
    seed::write_vdisk(work, vd01);
    seed::write_vdisk(work, vd02);
    tmp.write_file("local_nodes", "401\n402\n");
    tmp.write_file("unicast_hosts", "127.0.0.2\n");

    UdpPeer peer("127.0.0.2", std::stoi(cfg["bind_port"]));
    std::string conf = write_config(tmp.path("marlo.conf"), cfg);
    Daemon d({"-d", "-d", "-C", conf}, tmp);
    ASSERT_TRUE(d.wait_for_line("Waiting...")) << d.text();
    std::map<int, long long> received;  // per message type, for the counters
    for (const auto &m : peer.drain())
        received[uint8_t(m[2])]++;

    CtrlClient client(std::stoi(cfg["ctrl_port"]));
    ASSERT_FALSE(client.peer().empty());
    ASSERT_TRUE(d.wait_for_line("Accepted CTRL connection from " + client.peer()));
    const std::string from = "from CTRL client " + client.peer() + ": ";

    const std::string svp = seed::single_vdisk_ping_msg(n401, vd01);
    const std::string aux401 = seed::aux_ping_msg(n401);
    struct Case {
        std::string text;
        std::string line;  // logged for it
        std::vector<std::string> sent;
    };
    const Case cases[] = {
        {"single_vdisk_ping 401 vd01\r\n",
         "notice: handle_ctrl_cmd(): MSG " + from + "SINGLE_VDISK_PING Node=401 VDisk=vd01",
         {svp, aux401}},
        {"SINGLE_VDISK_PING 401 vd01\n", "SINGLE_VDISK_PING Node=401 VDisk=vd01", {svp, aux401}},
        {"single_vdisk_ping 401\n",
         "error: handle_ctrl_cmd(): Missing VDisk UUID for CTRL single_vdisk_ping", {}},
        {"single_vdisk_ping\n",
         "error: handle_ctrl_cmd(): Missing Node UUID for CTRL single_vdisk_ping", {}},
        {"single_vdisk_ping 401 vd01 x\n", "SINGLE_VDISK_PING Node=401 VDisk=vd01 x", {}},
        // A node in no datastore cannot announce a single vdisk.
        {"single_vdisk_ping 402 vd02\n", "SINGLE_VDISK_PING Node=402 VDisk=vd02", {}},
        {"ds_ping 402\n", "notice: handle_ctrl_cmd(): MSG " + from + "DS_PING Node=402",
         {seed::ds_ping_msg(n402, nullptr)}},
        {"ds_ping 401\n", "DS_PING Node=401", {seed::ds_ping_msg(n401, &ds)}},
        {"ds_ping\n", "error: handle_ctrl_cmd(): Missing Node UUID for CTRL ds_ping", {}},
        {"vdisk_deleted 401 abcdefghijklmno\n",
         "error: send_vdisk_deleted(): Oversized VDISK_DELETED from Node 401 VDisk abcdefghijklmno",
         {}},
        {"vdisk_deleted 401 abcdefghijklmn\n",
         "notice: handle_ctrl_cmd(): MSG " + from + "VDISK_DELETED Node=401 VDisk=abcdefghijklmn",
         {seed::vdisk_deleted_msg(n401, "abcdefghijklmn"), aux401}},
        {"vdisk_deleted 401\n",
         "error: handle_ctrl_cmd(): Missing VDisk UUID for CTRL vdisk_deleted", {}},
        {"status\n", "notice: handle_ctrl_cmd(): MSG (ignored) " + from + "status", {}},
        {" ds_ping 401\n", "MSG (ignored) " + from + " ds_ping 401", {}},
        {"ds_ping 401", "error: handle_ctrl_cmd(): Malformed CTRL MSG ds_ping 401", {}},
        {"ds_ping 402\nds_ping 401\n", "DS_PING Node=402", {seed::ds_ping_msg(n402, nullptr)}},
        {"ds_ping 999\n", "DS_PING Node=999", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("command \"" + c.text + "\"");
        ASSERT_TRUE(client.write(c.text));
        ASSERT_TRUE(d.wait_for_line(c.line)) << d.text();
        // The command is carried out in the pass that read it; the next idle
        // pass comes after it.
        ASSERT_TRUE(d.wait_for_line("Waiting..."));
        auto got = peer.drain();
        ASSERT_EQ(got.size(), c.sent.size());
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(seed::msg_diff(got[i], c.sent[i]), "") << "datagram " << i;
            received[uint8_t(got[i][2])]++;
        }
    }

    // A node that is not local: the accepted line and nothing after it but
    // the loop's own lines.
    auto ls = d.lines();
    size_t i = 0;
    while (i < ls.size() && ls[i].find("DS_PING Node=999") == std::string::npos)
        i++;
    for (i++; i < ls.size() && ls[i].find("Waiting...") == std::string::npos; i++)
        EXPECT_NE(ls[i].find("stats(): "), std::string::npos) << ls[i];

    // Nothing was written back for these commands, and the connection is
    // still open.
    EXPECT_FALSE(client.readable());
    EXPECT_EQ(d.count_lines("EOF from CTRL client"), 0u);

    // The counters saw every datagram under its kind.
    d.mark();
    ASSERT_TRUE(d.wait_for_line("stats(): TX: "));
    const std::map<std::string, long long> want = {
        {"ALL", received[4] + received[16] + received[35] + received[33] + received[34]},
        {"PING", received[4]},         {"DS_PING", received[16]},     {"AUX_PING", received[35]},
        {"SV_PING", received[33]},     {"VDISK_DEL", received[34]},   {"HEARTBEAT", 0}};
    EXPECT_EQ(received[33], 2);
    EXPECT_EQ(received[34], 1);
    EXPECT_EQ(seed::tx_counts(d.lines()), want);

    // `counters` answers on the connection with the same counts since the
    // start, each local node's last sending time, then "end".
    const time_t before = time(nullptr);
    ASSERT_TRUE(client.write("counters\n"));
    const std::string reply = client.read_through("end");
    std::map<std::string, long long> got;
    std::istringstream lines(reply);
    // "NAME VALUE", "local NODE LAST_SENT PINGS_NOT_SENT UNSENT_RUN", "end".
    for (std::string line; std::getline(lines, line) && line != "end";) {
        std::istringstream words(line);
        std::string name, value, missed;
        words >> name;
        if (name == "local" && words >> value)
            name += " " + value;
        words >> value >> missed;
        got[name] = std::stoll(value);
        if (!missed.empty())
            got["missed " + name] = std::stoll(missed);
    }
    for (const auto &[type, name] : std::map<std::string, std::string>{
             {"ALL", "tx_datagrams"}, {"PING", "tx_ping"}, {"DS_PING", "tx_ds_ping"},
             {"AUX_PING", "tx_aux_ping"}, {"SV_PING", "tx_single_vdisk_ping"},
             {"VDISK_DEL", "tx_vdisk_deleted"}, {"HEARTBEAT", "tx_heartbeat"}})
        EXPECT_EQ(got[name], want.at(type)) << name << "\n" << reply;
    EXPECT_EQ(got["rx_datagrams"], 0) << reply;
    EXPECT_EQ(got["tx_failed"], 0) << reply;
    for (const char *node : {"local 401", "local 402"}) {
        EXPECT_GT(got[node], before - 60) << node << "\n" << reply;
        EXPECT_LE(got[node], before) << node << "\n" << reply;
        EXPECT_EQ(got["missed " + std::string(node)], 0) << node << "\n" << reply;
    }
    EXPECT_EQ(reply.substr(reply.size() - 4), "end\n") << reply;

    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(), 0);
}

}  // namespace
