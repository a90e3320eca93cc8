// The receive path on the real binary, node messages: the length checks, the
// receive counters, HEARTBEAT, AUX_PING, DS_PING (joining and leaving a
// datastore, refused datastore names) and unknown types.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>

#include "ctrl_client.h"
#include "harness.h"
#include "proto/records.h"
#include "proto/trailer.h"
#include "store_read.h"
#include "store_seed.h"
#include "udp.h"

using namespace harness;
using namespace store_read;
namespace fs = std::filesystem;

namespace {

// Long (since start) receive counters of the last "RX:" report, by label.
std::map<std::string, long long> rx_totals(const std::string &line)
{
    std::map<std::string, long long> totals;
    static const std::regex pair(R"(([A-Z_]+)=(\d+)/(\d+))");
    for (std::sregex_iterator it(line.begin(), line.end(), pair), end; it != end; ++it)
        totals[(*it)[1]] = std::stoll((*it)[3]);
    return totals;
}

// A daemon in unicast mode that sends nothing (no local nodes, no hosts),
// reporting its counters on every pass, and one sender beside it.
struct NodeRig {
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    std::unique_ptr<Daemon> d;
    std::unique_ptr<UdpPeer> peer;
    std::string work = tmp.path("DB");
    int port = std::stoi(cfg.at("bind_port"));

    // `extra` settings over the rig's; `keys`, when given, becomes the
    // auth_keys file (mode 0600).
    explicit NodeRig(const Settings &extra = {}, const std::string &keys = "")
    {
        cfg["ping_interval"] = "3600";
        cfg["heartbeat_interval"] = "3600";
        cfg["stats_interval"] = "0";
        for (const auto &[key, value] : extra)
            cfg[key] = value;
        if (!keys.empty()) {
            cfg["auth_keys"] = tmp.write_file("auth_keys", keys);
            chmod(cfg["auth_keys"].c_str(), 0600);
        }
        std::string conf = write_config(tmp.path("marlo.conf"), cfg);
        d = std::make_unique<Daemon>(std::vector<std::string>{"-d", "-d", "-C", conf}, tmp);
        peer = std::make_unique<UdpPeer>("127.0.0.3");
    }
    // Sends one datagram and waits until the daemon has handled it.
    void apply(const std::string &bytes)
    {
        ASSERT_TRUE(deliver(*d, *peer, port, bytes)) << d->text();
    }
    std::string node(uint32_t id) const { return work + "/Node/" + std::to_string(id); }
    // Index of the first captured line from `from` on containing needle, or -1.
    long line_of(const std::string &needle, long from = 0) const
    {
        auto ls = d->lines();
        for (size_t i = size_t(from); i < ls.size(); i++)
            if (ls[i].find(needle) != std::string::npos)
                return long(i);
        return -1;
    }
};

seed::NodeSpec node_spec(uint32_t id)
{
    seed::NodeSpec n;
    n.id = id;
    n.allocatedspace = 101, n.curvdisks = 102, n.curvdisksforctrl = 103;
    n.maxvdisksforctrl = 104, n.memtotal = 105, n.memavail = 106;
    return n;
}

TEST(ReceiveNode, LengthChecksHeartbeatAuxPingAndCounters)
{
    NodeRig rig;
    ASSERT_TRUE(rig.d->wait_for_line("controller_thread_loop")) << rig.d->text();

    // 206 bytes: dropped before it is counted (settle() sends such a datagram
    // after every case, so the final counters also prove that none counted).
    ASSERT_TRUE(rig.peer->send_to("127.0.0.1", rig.port, make_datagram(MSG_HEARTBEAT, 206, 11)));
    ASSERT_TRUE(rig.d->wait_for_line("error: controller_thread_loop(): Malformed packet? #1"));

    // A HEARTBEAT from a node without a record creates nothing.
    rig.apply(seed::hdr_bytes(node_spec(11), MSG_HEARTBEAT));
    EXPECT_FALSE(present(rig.node(11)));

    // AUX_PING: 235 bytes are counted but refused before any store operation.
    std::string aux = seed::aux_ping_msg(node_spec(12));
    ASSERT_EQ(aux.size(), 236u);
    rig.apply(aux.substr(0, 235));
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Malformed Node Ping?"), 1u);
    EXPECT_FALSE(present(rig.node(12)));

    // 236 bytes: the node and its six statistics.
    rig.apply(aux);
    const std::map<std::string, std::string> stats{
        {"allocatedspace", "101\n"}, {"curvdisks", "102\n"}, {"curvdisksforctrl", "103\n"},
        {"maxvdisksforctrl", "104\n"}, {"memtotal", "105\n"}, {"memavail", "106\n"}};
    for (const auto &[key, value] : stats)
        EXPECT_EQ(slurp(rig.node(12) + "/" + key), value) << key;
    EXPECT_EQ(slurp(rig.node(12) + "/ipaddr"), "127.0.0.3\n");

    // A 207-byte HEARTBEAT from the known node rewrites its lastping (and
    // nothing is read beyond the header of a longer one).
    seed::write_attr(rig.node(12), "lastping", "1");
    rig.apply(seed::hdr_bytes(node_spec(12), MSG_HEARTBEAT));
    EXPECT_GT(std::stoll(slurp(rig.node(12) + "/lastping")), 1);
    seed::write_attr(rig.node(12), "lastping", "1");
    rig.apply(seed::hdr_bytes(node_spec(12), MSG_HEARTBEAT) + std::string(3, 'x'));
    EXPECT_GT(std::stoll(slurp(rig.node(12) + "/lastping")), 1);

    // Unknown types: counted under UNKNOWN, logged and dumped.
    rig.apply(make_datagram(7, 207, 17));
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Received unknown header type 7"), 1u);
    rig.apply(make_datagram(200, 300, 17));
    EXPECT_EQ(rig.d->count_lines("Received unknown header type 200"), 1u);
    EXPECT_EQ(rig.d->count_lines("type=200 [UNKNOWN]"), 1u);
    EXPECT_FALSE(present(rig.node(17)));

    // The next report counts exactly the datagrams of at least 207 bytes.
    ASSERT_TRUE(rig.d->wait_for_line("RX: ALL=")) << rig.d->text();
    auto ls = rig.d->lines();
    std::string report;
    for (const auto &l : ls)
        if (l.find("RX: ALL=") != std::string::npos)
            report = l;
    auto totals = rx_totals(report);
    EXPECT_EQ(totals["ALL"], 7) << report;
    EXPECT_EQ(totals["HEARTBEAT"], 3) << report;
    EXPECT_EQ(totals["AUX_PING"], 2) << report;
    EXPECT_EQ(totals["UNKNOWN"], 2) << report;
    EXPECT_EQ(totals["PING"] + totals["DS_PING"] + totals["SV_PING"] + totals["VDISK_DEL"], 0)
        << report;
}

TEST(ReceiveNode, DsPingJoinsAndLeavesDatastoresDatastoreSideFirst)
{
    NodeRig rig;
    ASSERT_TRUE(rig.d->wait_for_line("controller_thread_loop")) << rig.d->text();
    seed::DatastoreSpec ds;
    ds.uuid = "dsX";
    const std::string dsdir = rig.work + "/Datastore/dsX";

    // 294 bytes from two nodes: node, datastore with a member link each, and
    // the node's datastoremember.
    for (uint32_t id : {13u, 14u}) {
        std::string msg = seed::ds_ping_msg(node_spec(id), &ds);
        ASSERT_EQ(msg.size(), 294u);
        rig.apply(msg);
        EXPECT_EQ(slurp(rig.node(id) + "/datastoremember"), "dsX\n") << id;
        EXPECT_EQ(fs::read_symlink(dsdir + "/members/" + std::to_string(id)).string(),
                  "../../../Node/" + std::to_string(id));
    }
    EXPECT_EQ(slurp(dsdir + "/uuid"), "dsX\n");
    EXPECT_EQ(slurp(dsdir + "/name"), "pool\n");

    // Again for the datastore it is in: two rounds of the node's lock, the
    // record read inside the first.  A record naming no valid datastore, or
    // a damaged one, leaves nothing and is overwritten.
    const size_t locks = rig.d->count_lines("Lock /tmp/NODE-13");
    const long from = long(rig.d->lines().size());
    rig.apply(seed::ds_ping_msg(node_spec(13), &ds));
    EXPECT_EQ(rig.d->count_lines("Lock /tmp/NODE-13"), locks + 2) << rig.d->text();
    const long lock = rig.line_of("Lock /tmp/NODE-13", from);
    const long read = rig.line_of("Load Node 13 datastoremember=dsX", from);
    EXPECT_TRUE(lock < read && read < rig.line_of("Unlock /tmp/NODE-13", from)) << rig.d->text();
    for (const char *bad : {"..\n", "../x\n", "\n", "dsX", "dsX-0123456789abc\n"}) {
        seed::write_raw(rig.node(13), "datastoremember", bad);
        rig.apply(seed::ds_ping_msg(node_spec(13), &ds));
        EXPECT_EQ(slurp(rig.node(13) + "/datastoremember"), "dsX\n") << bad;
    }

    // 207 bytes: node 13 leaves; the datastore drops it before the node drops
    // its reference; node 14 keeps the datastore alive.
    rig.apply(seed::ds_ping_msg(node_spec(13), nullptr));
    EXPECT_FALSE(present(rig.node(13) + "/datastoremember"));
    EXPECT_FALSE(present(dsdir + "/members/13"));
    EXPECT_TRUE(present(dsdir + "/members/14"));
    long ds_side = rig.line_of("Update Datastore dsX unref Node 13");
    long node_side = rig.line_of("Update Node 13 remove datastoremember");
    ASSERT_GE(ds_side, 0) << rig.d->text();
    EXPECT_LT(ds_side, node_side);

    // The last member moves straight to dsY: it leaves dsX first, which goes.
    seed::DatastoreSpec dsy;
    dsy.uuid = "dsY";
    rig.apply(seed::ds_ping_msg(node_spec(14), &dsy));
    EXPECT_EQ(slurp(rig.node(14) + "/datastoremember"), "dsY\n");
    EXPECT_FALSE(present(dsdir));
    EXPECT_TRUE(present(rig.work + "/Datastore/dsY/members/14"));
    EXPECT_LT(rig.line_of("Delete Datastore dsX"), rig.line_of("Create Datastore dsY"));
    // Joining, too, the datastore lists the node before the node names it.
    EXPECT_LT(rig.line_of("Update Datastore dsY ref Node 14"),
              rig.line_of("Update Node 14 set datastoremember=dsY"));

    // The last member leaves: the datastore goes.
    rig.apply(seed::ds_ping_msg(node_spec(14), nullptr));
    EXPECT_FALSE(present(rig.node(14) + "/datastoremember"));
    EXPECT_FALSE(present(rig.work + "/Datastore/dsY"));
    EXPECT_TRUE(present(rig.node(14)));

    // A node that belonged to no datastore is only created.
    rig.apply(seed::ds_ping_msg(node_spec(15), nullptr));
    EXPECT_TRUE(present(rig.node(15) + "/lastping"));
    EXPECT_FALSE(present(rig.node(15) + "/datastoremember"));

    // A join cut short (dsZ lists node 15, whose record was never written):
    // the node's next DS_PING, for dsW, takes it out of dsZ's list; dsZ
    // stays for node 16.
    seed::DatastoreSpec dsz, dsw;
    dsz.uuid = "dsZ";
    dsw.uuid = "dsW";
    rig.apply(seed::ds_ping_msg(node_spec(16), &dsz));
    rig.apply(seed::ds_ping_msg(node_spec(15), &dsz));
    fs::remove(rig.node(15) + "/datastoremember");
    rig.apply(seed::ds_ping_msg(node_spec(15), &dsw));
    EXPECT_FALSE(present(rig.work + "/Datastore/dsZ/members/15"));
    EXPECT_TRUE(present(rig.work + "/Datastore/dsZ/members/16"));
    EXPECT_EQ(slurp(rig.node(15) + "/datastoremember"), "dsW\n");
    // A move cut short before the record (dsZ lists node 15, whose record
    // still names dsW, which no longer lists it): dsW announced again takes
    // the node out of dsZ.
    fs::create_symlink("../../../Node/15", rig.work + "/Datastore/dsZ/members/15");
    fs::remove(rig.work + "/Datastore/dsW/members/15");
    rig.apply(seed::ds_ping_msg(node_spec(15), &dsw));
    EXPECT_FALSE(present(rig.work + "/Datastore/dsZ/members/15"));
    EXPECT_TRUE(present(rig.work + "/Datastore/dsW/members/15"));

    // A move whose join fails after the old datastore went (a directory at
    // an attribute of the new one): the record names no datastore.
    seed::DatastoreSpec dsu;
    dsu.uuid = "dsU";
    rig.apply(seed::ds_ping_msg(node_spec(17), &dsz));
    fs::create_directories(rig.work + "/Datastore/dsU/description");
    rig.apply(seed::ds_ping_msg(node_spec(17), &dsu));
    EXPECT_FALSE(present(rig.work + "/Datastore/dsZ/members/17"));
    EXPECT_FALSE(present(rig.node(17) + "/datastoremember"));
}

TEST(ReceiveNode, DsPingRefusesDatastoreNamesOutsideTheStore)
{
    NodeRig rig;
    ASSERT_TRUE(rig.d->wait_for_line("controller_thread_loop")) << rig.d->text();
    fs::create_directory(rig.tmp.path("canary"));
    const auto tmp_before = listing("/tmp");

    for (const char *uuid : {"../../x", "..", "../../canary/x", ""}) {
        SCOPED_TRACE(uuid);
        seed::DatastoreSpec ds;
        ds.uuid = uuid;
        rig.apply(seed::ds_ping_msg(node_spec(16), &ds));
        EXPECT_TRUE(present(rig.node(16) + "/lastping"));
        EXPECT_FALSE(present(rig.node(16) + "/datastoremember"));
    }
    EXPECT_EQ(rig.d->count_lines("Refusing datastore name"), 4u) << rig.d->text();
    EXPECT_FALSE(present(rig.tmp.path("x")));
    EXPECT_TRUE(listing(rig.tmp.path("canary")).empty());
    EXPECT_EQ(listing(rig.work), (std::set<std::string>{"Node", "lock_holder"}));
    EXPECT_EQ(listing("/tmp"), tmp_before);
}

// Every way a datagram can fail authentication, against a daemon that
// requires it (nothing of the datagram reaches the store) and one that only
// signs (everything is applied); in both the right counter moves.
TEST(ReceiveNode, AuthenticationRefusesOrCountsEachBadTrailer)
{
    ASSERT_EQ(trailer_init(), 0);
    AuthKey key{5, {}}, wrong{5, {}}, unknown{99, {}};
    std::fill(std::begin(key.key), std::end(key.key), 0x5a);
    std::fill(std::begin(wrong.key), std::end(wrong.key), 0x5b);
    std::string key_line = "5 ";
    while (key_line.size() < 66)
        key_line += "5a";  // the key's bytes as 64 hexadecimal digits
    uint64_t counter = 1000;
    // The message and its trailer by key k, its time `skew` seconds off now,
    // with the next counter or counter c.
    auto signed_msg = [&](const std::string &msg, const AuthKey &k, int64_t skew = 0,
                          uint64_t c = 0) {
        AuthTrailer tr;
        trailer_sign(k, c != 0 ? c : ++counter, time(nullptr) + skew, msg.data(), msg.size(), &tr);
        return msg + std::string(reinterpret_cast<const char *>(&tr), sizeof tr);
    };
    // The case's datagram d of message m, then the datagrams applied (and
    // counted signed) before it.
    using Before = std::function<std::vector<std::string>(const std::string &m,
                                                          const std::string &d)>;
    struct Case {
        const char *what;
        std::function<std::string(const std::string &msg)> make;
        const char *counter;
        Before before = {};
    };
    // Before d: m signed with d's counter moved by each of `offsets`, in order.
    auto around = [&](std::vector<int64_t> offsets) -> Before {
        return [&, offsets](const std::string &m, const std::string &d) {
            std::vector<std::string> out;
            for (int64_t o : offsets)
                out.push_back(o == 0 ? d : signed_msg(m, key, 0, counter + uint64_t(o)));
            return out;
        };
    };
    // 17 senders whose node ids differ from the case's only above bit 16
    // (host << 16 | n), after d.
    auto crowd = [&](const std::string &, const std::string &d) {
        std::vector<std::string> out{d};
        const uint32_t id = reinterpret_cast<const Hdr *>(d.data())->uid;
        for (uint32_t host = 1; host <= 17; host++)
            out.push_back(signed_msg(seed::aux_ping_msg(node_spec(host << 16 | id)), key));
        return out;
    };
    // Edits of a validly signed datagram d of message m.
    auto edit = [&](std::function<void(std::string &d, size_t msglen)> change) {
        return [&, change](const std::string &m) {
            std::string d = signed_msg(m, key);
            change(d, m.size());
            return d;
        };
    };
    const Case cases[] = {
        {"valid", [&](auto &m) { return signed_msg(m, key); }, "signed"},
        {"unsigned", [&](auto &m) { return m; }, "unsigned"},
        {"forged", edit([](auto &d, size_t n) { d.replace(n + 24, 32, 32, '\0'); }), "bad_mac"},
        {"wrong key", [&](auto &m) { return signed_msg(m, wrong); }, "bad_mac"},
        {"unknown key id", [&](auto &m) { return signed_msg(m, unknown); }, "unknown_key"},
        {"header byte flipped", edit([](auto &d, size_t) { d[40] ^= 1; }), "bad_mac"},
        {"body byte flipped", edit([](auto &d, size_t) { d[220] ^= 1; }), "bad_mac"},
        {"counter flipped", edit([](auto &d, size_t n) { d[n + 8] ^= 1; }), "bad_mac"},
        {"trailer cut short", edit([](auto &d, size_t) { d.pop_back(); }), "unsigned"},
        {"tag's last byte flipped", edit([](auto &d, size_t n) { d[n + 55] ^= 1; }), "bad_mac"},
        {"replayed", [&](auto &m) { return signed_msg(m, key); }, "replayed", around({0})},
        {"later one replayed", [&](auto &m) { return signed_msg(m, key); }, "replayed",
         around({-1, 0})},
        {"replayed behind 17 colliding senders", [&](auto &m) { return signed_msg(m, key); },
         "replayed", crowd},
        {"overtaken", [&](auto &m) { return signed_msg(m, key); }, "signed", around({1})},
        {"overtaken, replayed", [&](auto &m) { return signed_msg(m, key); }, "replayed",
         around({1, 0})},
        {"64 below the highest", [&](auto &m) { return signed_msg(m, key); }, "signed",
         around({64})},
        {"65 below the highest", [&](auto &m) { return signed_msg(m, key); }, "replayed",
         around({65})},
        {"too old", [&](auto &m) { return signed_msg(m, key, -40); }, "outside_window"},
        {"too new", [&](auto &m) { return signed_msg(m, key, 40); }, "outside_window"},
    };
    for (const char *mode : {"require", "sign"}) {
        SCOPED_TRACE(mode);
        NodeRig rig({{"auth_mode", mode}}, key_line + "\n");
        ASSERT_TRUE(rig.d->wait_for_line("Loaded 1 keys")) << rig.d->text();
        CtrlClient ctrl(std::stoi(rig.cfg.at("ctrl_port")));
        std::map<std::string, long long> want;
        uint32_t id = 100;
        for (const auto &c : cases) {
            SCOPED_TRACE(c.what);
            const std::string lastping = rig.node(++id) + "/lastping";
            const std::string datagram = c.make(seed::aux_ping_msg(node_spec(id)));
            if (c.before) {
                for (const std::string &b : c.before(seed::aux_ping_msg(node_spec(id)), datagram)) {
                    rig.apply(b);
                    want["signed"]++;
                }
                seed::write_attr(rig.node(id), "lastping", "1");
            }
            const std::string before = slurp(lastping);
            rig.apply(datagram);
            want[c.counter]++;
            const bool applied = std::string(mode) == "sign" || std::string(c.counter) == "signed";
            EXPECT_EQ(slurp(lastping) != before, applied) << slurp(lastping);
            std::string rows;  // the counters as the control port reports them
            for (const char *n : {"signed", "unsigned", "bad_mac", "unknown_key", "replayed",
                                  "outside_window", "table_full"})
                rows += "auth_" + std::string(n) + " " + std::to_string(want[n]) + "\n";
            ASSERT_TRUE(ctrl.write("counters\n"));
            EXPECT_NE(ctrl.read_through("end").find(rows), std::string::npos) << rows;
        }
    }
}

}  // namespace
