// The Wireshark dissector (contrib/wireshark/marlo.lua) run by tshark:
//   - over the daemon's own traffic, captured on loopback while it sends a
//     ping cycle, heartbeats, and on CTRL commands a SINGLE_VDISK_PING and a
//     VDISK_DELETED, each followed by an AUX_PING: every decoded field must
//     be what the test laid out in the object store;
//   - over datagrams the test writes into a capture file itself, which the
//     daemon never sends: counts that overrun the datagram, short records,
//     trailing bytes, unused types.
// Both skip, saying why, when tshark is not installed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ctrl_client.h"
#include "harness.h"
#include "store_seed.h"
#include "udp.h"

extern char **environ;

using namespace harness;

namespace {

// ---- running tshark --------------------------------------------------------

std::string find_in_path(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string p = (dir.empty() ? "." : dir) + "/" + name;
        if (::access(p.c_str(), X_OK) == 0)
            return p;
    }
    return "";
}

// The dissector beside the sources: $MARLO_DISSECTOR, else found from this
// file's place in the tree (tests/integration/ -> contrib/wireshark/).
std::string dissector_path()
{
    if (const char *env = std::getenv("MARLO_DISSECTOR"); env != nullptr && *env != '\0')
        return env;
    namespace fs = std::filesystem;
    return (fs::path(__FILE__).parent_path().parent_path().parent_path() / "contrib" /
            "wireshark" / "marlo.lua")
        .string();
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// A child process with standard output and error in files, leading a
// process group of its own: tshark captures through a dumpcap process that
// it starts, and a test that ends early must stop both.
class Child {
public:
    Child(const std::vector<std::string> &argv, const std::string &out, const std::string &err)
    {
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
        posix_spawnattr_setpgroup(&attr, 0);
        if (::posix_spawn(&pid_, argv[0].c_str(), &fa, &attr, args.data(), environ) != 0)
            pid_ = -1;
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&fa);
    }
    // Kills the whole group, which may outlive its leader.
    ~Child()
    {
        if (pid_ <= 0)
            return;
        ::kill(-pid_, SIGKILL);
        if (running())
            wait(kWait);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() const { return pid_ > 0; }
    bool running() { return pid_ > 0 && !status_ && !poll(); }
    void signal(int sig) const { ::kill(pid_, sig); }
    // Exit status (128 + signal when killed), or nullopt after timeout.
    std::optional<int> wait(std::chrono::milliseconds timeout)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (pid_ > 0 && !status_ && !poll() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return status_;
    }

private:
    bool poll()
    {
        int st;
        if (::waitpid(pid_, &st, WNOHANG) != pid_)
            return false;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
};

// Every field a test compares, in the order tshark prints them.
const std::vector<std::string> kFields = {
    "marlo.hdr.major", "marlo.hdr.minor", "marlo.hdr.type", "marlo.hdr.nodestatus",
    "marlo.hdr.uid", "marlo.hdr.vendor", "marlo.hdr.model", "marlo.hdr.revision.freespace",
    "marlo.hdr.revision.utilization", "marlo.hdr.revision.rev", "marlo.hdr.serial",
    "marlo.hdr.hbtl", "marlo.hdr.size", "marlo.hdr.backup_channel", "marlo.hdr.performance",
    "marlo.hdr.hostid", "marlo.hdr.version",
    "marlo.aux.gap", "marlo.aux.length", "marlo.aux.allocatedspace", "marlo.aux.curvdisks",
    "marlo.aux.curvdisksforctrl", "marlo.aux.maxvdisksforctrl", "marlo.aux.memtotal",
    "marlo.aux.memavail",
    "marlo.ds.uuid", "marlo.ds.name", "marlo.ds.description", "marlo.ds.sector_size",
    "marlo.ds.replicas", "marlo.ds.stripes", "marlo.ds.overcommit",
    "marlo.vdisk.transaction_id", "marlo.vdisk.uuid", "marlo.vdisk.old_mshipgencnt",
    "marlo.vdisk.name", "marlo.vdisk.mshipgencnt", "marlo.vdisk.generation",
    "marlo.vdisk.sector_size", "marlo.vdisk.numkeys", "marlo.vdisk.sectors", "marlo.vdisk.seqno",
    "marlo.vdisk.description", "marlo.vdisk.snap.y", "marlo.vdisk.snap.m", "marlo.vdisk.snap.d",
    "marlo.vdisk.snap.H", "marlo.vdisk.snap.M", "marlo.vdisk.snap.S", "marlo.vdisk.snap.parent",
    "marlo.vdisk.snap.time", "marlo.vdisk.status", "marlo.vdisk.port", "marlo.vdisk.replicas",
    "marlo.vdisk.st_mem", "marlo.vdisk.st_mems", "marlo.vdisk.st_size", "marlo.vdisk.snapshot",
    "marlo.vdisk.members", "marlo.vdisk.frontends",
    "marlo.member.node", "marlo.frontend.addr", "marlo.deleted.node", "marlo.deleted.uuid",
    "marlo.trailing", "marlo.body", "_ws.expert.message", "marlo.auth.key_id",
    "marlo.auth.counter", "marlo.auth.time", "marlo.auth.mac",
};

// Field -> value; repeated occurrences joined with '|'.
using Fields = std::map<std::string, std::string>;

// One decoded datagram: where it went and its fields.
struct Row {
    std::string src, dst;
    Fields fields;
};

// Decodes a capture with the dissector; the rows of every datagram tshark
// gave to it.  `port_args` selects how the port reaches the dissector.
// nullopt when tshark failed (its error in *err).
std::optional<std::vector<Row>> decode(const std::string &tshark, const std::string &pcap,
                                       const std::vector<std::string> &port_args,
                                       const TempDir &tmp, std::string *err)
{
    std::vector<std::string> argv = {tshark, "-n", "-X", "lua_script:" + dissector_path(), "-r",
                                     pcap};
    argv.insert(argv.end(), port_args.begin(), port_args.end());
    for (const char *a : {"-Y", "marlo", "-T", "fields", "-E", "separator=/t", "-E",
                          "occurrence=a", "-E", "aggregator=|", "-e", "ip.src", "-e", "ip.dst"})
        argv.push_back(a);
    for (const auto &f : kFields) {
        argv.push_back("-e");
        argv.push_back(f);
    }
    const std::string out = tmp.path("decode.out"), errp = tmp.path("decode.err");
    Child c(argv, out, errp);
    if (!c.started() || c.wait(kWait) != 0) {
        *err = "tshark -r failed: " + read_file(errp);
        return std::nullopt;
    }
    std::vector<Row> rows;
    std::istringstream lines(read_file(out));
    std::string line;
    while (std::getline(lines, line)) {
        std::vector<std::string> cols;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '\t'))
            cols.push_back(cell);
        cols.resize(2 + kFields.size());
        Row r{cols[0], cols[1], {}};
        for (size_t i = 0; i < kFields.size(); i++)
            r.fields[kFields[i]] = cols[2 + i];
        rows.push_back(r);
    }
    return rows;
}

// "" when every field of kFields has the expected value (absent from
// `want`: empty); otherwise the differences, one per line.
std::string fields_diff(const Fields &got, const Fields &want)
{
    std::string diff;
    for (const auto &name : kFields) {
        const auto g = got.find(name);
        const auto w = want.find(name);
        const std::string gv = g == got.end() ? "" : g->second;
        const std::string wv = w == want.end() ? "" : w->second;
        if (gv != wv)
            diff += "  " + name + ": got \"" + gv + "\", want \"" + wv + "\"\n";
    }
    return diff;
}

// Appends one occurrence of a field.
void add(Fields &f, const std::string &name, const std::string &value)
{
    std::string &v = f[name];
    v += (v.empty() ? "" : "|") + value;
}

void add(Fields &f, const std::string &name, unsigned long long value)
{
    add(f, name, std::to_string(value));
}

// ---- what the seeded objects decode to -------------------------------------

Fields hdr_fields(const seed::NodeSpec &n, unsigned type)
{
    unsigned major = 0, minor = 0;
    EXPECT_EQ(std::sscanf(n.version.c_str(), "v%u.%u", &major, &minor), 2);
    Fields f;
    add(f, "marlo.hdr.major", major);
    add(f, "marlo.hdr.minor", minor);
    add(f, "marlo.hdr.type", type);
    add(f, "marlo.hdr.nodestatus", n.nodestatus);
    add(f, "marlo.hdr.uid", n.id);
    add(f, "marlo.hdr.vendor", n.vendor);
    add(f, "marlo.hdr.model", n.model);
    add(f, "marlo.hdr.revision.freespace", n.freespace);
    add(f, "marlo.hdr.revision.utilization", n.utilization);
    add(f, "marlo.hdr.revision.rev", n.revision);
    add(f, "marlo.hdr.serial", n.serial);
    add(f, "marlo.hdr.hbtl", n.hbtl);
    if (n.nodestatus == 1) {
        in_addr a{};
        EXPECT_EQ(::inet_pton(AF_INET, n.backupchannel.c_str(), &a), 1);
        add(f, "marlo.hdr.size", ntohl(a.s_addr));
        add(f, "marlo.hdr.backup_channel", n.backupchannel);
    } else {
        add(f, "marlo.hdr.size", n.size);
    }
    add(f, "marlo.hdr.performance", n.performance);
    add(f, "marlo.hdr.hostid", n.hostid);
    add(f, "marlo.hdr.version", n.version);
    return f;
}

// One vdisk group as node n announces it.
void add_vdisk_group(Fields &f, const seed::NodeSpec &n, const seed::VDiskSpec &vd)
{
    const seed::MemberInfoSpec *mi = nullptr;
    for (const auto &m : vd.memberinfo)
        if (m.node == n.id)
            mi = &m;
    ASSERT_NE(mi, nullptr) << vd.uuid;
    const bool big_gen = n.version >= "v1.8";  // the test's versions: v1.7, v1.8
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02u", mi->gen % 100);
    add(f, "marlo.vdisk.transaction_id", 0);
    add(f, "marlo.vdisk.uuid", vd.uuid);
    add(f, "marlo.vdisk.old_mshipgencnt", digits);
    add(f, "marlo.vdisk.name", vd.name);
    add(f, "marlo.vdisk.mshipgencnt", big_gen ? mi->gen : 0);
    add(f, "marlo.vdisk.generation", big_gen ? mi->gen : mi->gen % 100);
    add(f, "marlo.vdisk.sector_size", vd.sector_size);
    add(f, "marlo.vdisk.numkeys", mi->numkeys);
    add(f, "marlo.vdisk.sectors", vd.sectors);
    add(f, "marlo.vdisk.seqno", mi->seqno);
    if (vd.snapshot == 0) {
        add(f, "marlo.vdisk.description", vd.description);
    } else {
        unsigned y, m, d, H, M, S;
        ASSERT_EQ(std::sscanf(vd.snaptime.c_str(), "%u-%u-%u_%u.%u.%u", &y, &m, &d, &H, &M, &S),
                  6);
        add(f, "marlo.vdisk.snap.y", y);
        add(f, "marlo.vdisk.snap.m", m);
        add(f, "marlo.vdisk.snap.d", d);
        add(f, "marlo.vdisk.snap.H", H);
        add(f, "marlo.vdisk.snap.M", M);
        add(f, "marlo.vdisk.snap.S", S);
        add(f, "marlo.vdisk.snap.parent", vd.parent);
        add(f, "marlo.vdisk.snap.time", vd.snaptime);
    }
    add(f, "marlo.vdisk.status", mi->status);
    add(f, "marlo.vdisk.port", mi->port);
    add(f, "marlo.vdisk.replicas", vd.replicas);
    add(f, "marlo.vdisk.st_mem", mi->st_mem);
    add(f, "marlo.vdisk.st_mems", vd.st_mems);
    add(f, "marlo.vdisk.st_size", vd.st_size);
    add(f, "marlo.vdisk.snapshot", vd.snapshot);
    add(f, "marlo.vdisk.members", vd.membership.size());
    add(f, "marlo.vdisk.frontends", mi->frontends.size());
    for (uint32_t m : vd.membership)
        add(f, "marlo.member.node", m);
    for (const auto &fe : mi->frontends)
        add(f, "marlo.frontend.addr", fe);
}

Fields ping_fields(const seed::NodeSpec &n, unsigned type,
                   const std::vector<const seed::VDiskSpec *> &vdisks)
{
    Fields f = hdr_fields(n, type);
    for (const auto *vd : vdisks)
        add_vdisk_group(f, n, *vd);
    return f;
}

Fields ds_ping_fields(const seed::NodeSpec &n, const seed::DatastoreSpec *ds)
{
    Fields f = hdr_fields(n, 16);
    if (ds == nullptr) {
        add(f, "_ws.expert.message", "Header only: node in no datastore");
        return f;
    }
    add(f, "marlo.ds.uuid", ds->uuid);
    add(f, "marlo.ds.name", ds->name);
    add(f, "marlo.ds.description", ds->description);
    add(f, "marlo.ds.sector_size", ds->sector_size);
    add(f, "marlo.ds.replicas", ds->replicas);
    add(f, "marlo.ds.stripes", ds->stripes);
    add(f, "marlo.ds.overcommit", ds->overcommit);
    return f;
}

Fields aux_ping_fields(const seed::NodeSpec &n)
{
    Fields f = hdr_fields(n, 35);
    add(f, "marlo.aux.gap", "0x00");
    add(f, "marlo.aux.length", 28);
    add(f, "marlo.aux.allocatedspace", n.allocatedspace);
    add(f, "marlo.aux.curvdisks", n.curvdisks);
    add(f, "marlo.aux.curvdisksforctrl", n.curvdisksforctrl);
    add(f, "marlo.aux.maxvdisksforctrl", n.maxvdisksforctrl);
    add(f, "marlo.aux.memtotal", n.memtotal);
    add(f, "marlo.aux.memavail", n.memavail);
    return f;
}

Fields vdisk_deleted_fields(const seed::NodeSpec &n, const std::string &uuid)
{
    Fields f = hdr_fields(n, 34);
    add(f, "marlo.deleted.node", n.id);
    add(f, "marlo.deleted.uuid", uuid);
    return f;
}

// Decodes the capture again and again until `done` holds for its rows.
std::optional<std::vector<Row>> decode_until(
    const std::string &tshark, const std::string &pcap, const std::vector<std::string> &port_args,
    const TempDir &tmp, const std::function<bool(const std::vector<Row> &)> &done)
{
    const auto end = std::chrono::steady_clock::now() + kWait;
    while (std::chrono::steady_clock::now() < end) {
        std::string err;
        // A capture still being written may end inside a packet; tshark then
        // fails, and the next round reads further.
        if (auto rows = decode(tshark, pcap, port_args, tmp, &err); rows && done(*rows))
            return rows;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return std::nullopt;
}

bool has_type(const std::vector<Row> &rows, const std::string &type, const std::string &uid)
{
    for (const Row &r : rows)
        if (r.fields.at("marlo.hdr.type") == type && r.fields.at("marlo.hdr.uid") == uid)
            return true;
    return false;
}

std::string describe(const Row &r)
{
    return r.src + " -> " + r.dst + " type " + r.fields.at("marlo.hdr.type") + " node " +
           r.fields.at("marlo.hdr.uid");
}

TEST(Dissector, DecodesEveryFieldOfTheDaemonsOwnTraffic)
{
    const std::string tshark = find_in_path("tshark");
    if (tshark.empty())
        GTEST_SKIP() << "tshark is not installed (Debian package tshark); dissector not tested";
    ASSERT_EQ(::access(dissector_path().c_str(), R_OK), 0) << dissector_path();

    TempDir tmp;
    Settings cfg = test_settings(tmp);
    cfg["ping_interval"] = "3600";  // the cycle under test is the one SIGUSR1 asks for
    cfg["heartbeat_interval"] = "1";
    cfg["stats_interval"] = "3600";
    const int port = std::stoi(cfg["bind_port"]);
    const std::string work = tmp.path("DB");

    // Values chosen so that a field read with the wrong width, offset or
    // byte order shows: 16-, 32- and 64-bit numbers with more than one
    // significant byte, generations above 255, addresses with distinct
    // octets.  Node 302 runs version 1.7 (two-digit generation only), node
    // 303 is in no datastore and carries a backup channel in `size`.
    const seed::NodeSpec n301{.id = 301, .vendor = "Varn", .model = "VS-301",
                              .freespace = 70000, .utilization = 259, .revision = "rev-301",
                              .serial = "SER-0301", .hbtl = "1:0:3:1", .size = 66000,
                              .performance = 201, .hostid = 513, .allocatedspace = 70001,
                              .curvdisks = 258, .curvdisksforctrl = 3, .maxvdisksforctrl = 1027,
                              .memtotal = 16777217, .memavail = 65537,
                              .datastore = "ds-alpha"};
    const seed::NodeSpec n302{.id = 302, .version = "v1.7", .model = "VS-302",
                              .serial = "SER-0302", .hostid = 772, .datastore = "ds-alpha"};
    const seed::NodeSpec n303{.id = 70000, .nodestatus = 1, .backupchannel = "192.0.2.7",
                              .model = "VS-303", .serial = "SER-0303", .hostid = 1030};
    const seed::DatastoreSpec ds{.uuid = "ds-alpha", .name = "pool-a",
                                 .description = "alpha pool", .sector_size = 4096,
                                 .replicas = 258, .stripes = 1025, .overcommit = 3,
                                 .members = {301, 302}};
    const seed::VDiskSpec vd01{
        .uuid = "vd01", .name = "disk-one", .sector_size = 4096, .sectors = 7000000002ull,
        .replicas = 515, .st_mems = 2, .st_size = 1028, .description = "first disk",
        .membership = {301, 70000},
        .memberinfo = {{.node = 301, .gen = 300, .numkeys = 5000000000ull,
                        .seqno = 6000000001ull, .status = 2, .port = 3260, .st_mem = 1,
                        .frontends = {"198.51.100.1", "203.0.113.45"}}},
        .datastore = "ds-alpha"};
    const seed::VDiskSpec vd01s{
        .uuid = "vd01-snap-0001", .name = "disk-one-snap", .snapshot = 1,
        .parent = "vd01", .snaptime = "24-05-17_13.45.59", .membership = {301},
        .memberinfo = {{.node = 301, .gen = 258, .frontends = {"198.51.100.9"}}},
        .datastore = "ds-alpha"};
    const seed::VDiskSpec vd02{
        .uuid = "vd02", .name = "disk-two", .description = "old node",
        .membership = {302},
        .memberinfo = {{.node = 302, .gen = 7, .frontends = {"203.0.113.2"}}},
        .datastore = "ds-alpha"};
    seed::write_node(work, n301);
    seed::write_node(work, n302);
    seed::write_node(work, n303);
    seed::write_datastore(work, ds);
    seed::write_vdisk(work, vd01);
    seed::write_vdisk(work, vd01s);
    seed::write_vdisk(work, vd02);
    tmp.write_file("local_nodes", "301\n302\n70000\n");
    tmp.write_file("unicast_hosts", "127.0.0.2\n");

    // The daemon's datagrams go to this peer (not back to the daemon).
    UdpPeer peer("127.0.0.2", port);
    Daemon d({"-d", "-d", "-C", write_config(tmp.path("marlo.conf"), cfg)}, tmp);
    ASSERT_TRUE(d.wait_for_line("Waiting...")) << d.text();

    const std::string pcap = tmp.path("marlo.pcapng");
    Child capture({tshark, "-n", "-i", "lo", "-f", "udp port " + std::to_string(port), "-w",
                   pcap},
                  tmp.path("capture.out"), tmp.path("capture.err"));
    ASSERT_TRUE(capture.started());
    const auto capture_end = std::chrono::steady_clock::now() + kWait;
    while (read_file(tmp.path("capture.err")).find("Capturing on") == std::string::npos) {
        if (!capture.running()) {
            const std::string why = read_file(tmp.path("capture.err"));
            if (why.find("ermission") != std::string::npos)
                GTEST_SKIP() << "tshark may not capture here: " << why;
            FAIL() << "tshark capture ended: " << why;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), capture_end) << "tshark did not start";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }

    const std::vector<std::string> decode_as = {"-d", "udp.port==" + std::to_string(port) +
                                                          ",marlo"};
    // The capture is live once a heartbeat lands in it.
    ASSERT_TRUE(decode_until(tshark, pcap, decode_as, tmp, [](const std::vector<Row> &rows) {
        return has_type(rows, "32", "70000");
    })) << read_file(tmp.path("capture.err"));

    // A ping cycle, then the two CTRL commands, each followed by an AUX_PING.
    d.mark();
    ASSERT_EQ(d.signal(SIGUSR1), 0);
    ASSERT_TRUE(d.wait_for_line("Send PING 207B from Node 70000")) << d.text();
    CtrlClient client(std::stoi(cfg["ctrl_port"]));
    ASSERT_FALSE(client.peer().empty());
    ASSERT_TRUE(client.write("single_vdisk_ping 301 vd01\n"));
    ASSERT_TRUE(d.wait_for_line("Send SINGLE_VDISK_PING")) << d.text();
    ASSERT_TRUE(d.wait_for_line("Send AUX_PING")) << d.text();
    ASSERT_TRUE(client.write("vdisk_deleted 301 vd-gone-000042\n"));
    ASSERT_TRUE(d.wait_for_line("Send VDISK_DELETED")) << d.text();
    ASSERT_TRUE(d.wait_for_line("Send AUX_PING")) << d.text();

    // Every datagram is in the file once an AUX_PING follows the VDISK_DELETED.
    auto complete = [](const std::vector<Row> &rows) {
        bool deleted = false;
        for (const Row &r : rows) {
            if (r.fields.at("marlo.hdr.type") == "34")
                deleted = true;
            else if (deleted && r.fields.at("marlo.hdr.type") == "35")
                return true;
        }
        return false;
    };
    ASSERT_TRUE(decode_until(tshark, pcap, decode_as, tmp, complete));
    capture.signal(SIGTERM);
    ASSERT_TRUE(capture.wait(kWait).has_value());
    std::string err;
    const auto rows = decode(tshark, pcap, decode_as, tmp, &err);
    ASSERT_TRUE(rows) << err;

    // What each node may send, by type and node id.
    const std::map<std::pair<std::string, std::string>, Fields> expected = {
        {{"16", "301"}, ds_ping_fields(n301, &ds)},
        {{"16", "302"}, ds_ping_fields(n302, &ds)},
        {{"16", "70000"}, ds_ping_fields(n303, nullptr)},
        {{"35", "301"}, aux_ping_fields(n301)},
        {{"35", "302"}, aux_ping_fields(n302)},
        {{"35", "70000"}, aux_ping_fields(n303)},
        // Plain vdisks first, then snapshots.
        {{"4", "301"}, ping_fields(n301, 4, {&vd01, &vd01s})},
        {{"4", "302"}, ping_fields(n302, 4, {&vd02})},
        {{"4", "70000"}, ping_fields(n303, 4, {})},
        {{"32", "301"}, hdr_fields(n301, 32)},
        {{"32", "302"}, hdr_fields(n302, 32)},
        {{"32", "70000"}, hdr_fields(n303, 32)},
        {{"33", "301"}, ping_fields(n301, 33, {&vd01})},
        {{"34", "301"}, vdisk_deleted_fields(n301, "vd-gone-000042")},
    };
    std::set<std::pair<std::string, std::string>> seen;
    for (const Row &r : *rows) {
        SCOPED_TRACE(describe(r));
        EXPECT_EQ(r.dst, "127.0.0.2");
        const auto key = std::make_pair(r.fields.at("marlo.hdr.type"), r.fields.at("marlo.hdr.uid"));
        const auto e = expected.find(key);
        if (e == expected.end()) {
            ADD_FAILURE() << "not a datagram the daemon sends here";
            continue;
        }
        seen.insert(key);
        EXPECT_EQ(fields_diff(r.fields, e->second), "");
    }
    for (const auto &[key, fields] : expected)
        EXPECT_TRUE(seen.count(key)) << "no type " << key.first << " from node " << key.second
                                     << " captured";
}

// ---- datagrams the daemon never sends ---------------------------------------

// A classic capture file of raw IPv4 packets, each datagram from
// 127.0.0.3:40000 to 127.0.0.1:port.
std::string pcap_file(const std::vector<std::string> &datagrams, int port)
{
    auto le32 = [](uint32_t v) { return std::string(reinterpret_cast<const char *>(&v), 4); };
    auto le16 = [](uint16_t v) { return std::string(reinterpret_cast<const char *>(&v), 2); };
    auto be16 = [](uint16_t v) {
        return std::string{char(v >> 8), char(v & 0xff)};
    };
    std::string out = le32(0xa1b2c3d4) + le16(2) + le16(4) + le32(0) + le32(0) + le32(65535) +
                      le32(228);  // LINKTYPE_IPV4
    uint32_t ts = 0;
    for (const std::string &d : datagrams) {
        const std::string udp = be16(40000) + be16(uint16_t(port)) +
                                be16(uint16_t(8 + d.size())) + be16(0) + d;
        std::string ip = {0x45, 0};
        ip += be16(uint16_t(20 + udp.size())) + be16(0) + be16(0);
        ip += {64, 17, 0, 0, 127, 0, 0, 3, 127, 0, 0, 1};
        ip += udp;
        out += le32(ts++) + le32(0) + le32(uint32_t(ip.size())) + le32(uint32_t(ip.size())) + ip;
    }
    return out;
}

TEST(Dissector, FlagsDatagramsReceiversRefuse)
{
    const std::string tshark = find_in_path("tshark");
    if (tshark.empty())
        GTEST_SKIP() << "tshark is not installed (Debian package tshark); dissector not tested";

    // A PING of node 777 (version 1.8) with one vdisk entry whose counts say
    // `members` and `frontends`, cut to `len` bytes.
    auto ping = [](size_t members, size_t frontends, size_t len) {
        std::string d = make_datagram(4, 207 + 125 + 4 * (members + frontends), 777);
        d[0] = 1;
        d[1] = 8;
        std::memcpy(&d[207 + 4], "vd-x", 4);
        put_le(d, 207 + 121, members, 2);
        put_le(d, 207 + 123, frontends, 2);
        for (size_t i = 0; i < members + frontends; i++)
            put_le(d, 332 + 4 * i, 0x0a000001 + i, 4);
        d.resize(len);
        return d;
    };
    auto sized = [](uint8_t type, size_t len) {
        std::string d = make_datagram(type, len, 777);
        if (len >= 2) {
            d[0] = 1;
            d[1] = 8;
        }
        return d;
    };
    std::string aux_bad_length = sized(35, 236);
    put_le(aux_bad_length, 208, 27, 4);
    std::string deleted_other_node = sized(34, 225);
    put_le(deleted_other_node, 207, 778, 4);
    std::string signed_ds_ping = sized(16, 207) + "\xa5MA\x01" + std::string(52, '\x11');
    put_le(signed_ds_ping, 223, 1700000000, 8);  // the time; key id, counter, MAC all 0x11
    std::string old_digits = ping(0, 0, 332);
    old_digits[1] = 7;  // version 1.7: the generation is the two digits
    old_digits[207 + 18] = 'x';
    old_digits[207 + 19] = '7';

    struct Case {
        const char *what;
        std::string datagram;
        Fields want;  // checked fields only
    };
    const Case cases[] = {
        {"member records past the end", ping(3, 0, 207 + 125 + 8),
         {{"_ws.expert.message", "3 member records announced, the datagram ends at byte 340"},
          {"marlo.member.node", "167772161|167772162"}}},
        {"frontend records past the end", ping(1, 2, 207 + 125 + 8),
         {{"_ws.expert.message", "2 frontend records announced, the datagram ends at byte 340"},
          {"marlo.member.node", "167772161"},
          {"marlo.frontend.addr", "10.0.0.2"}}},
        {"counts that fit", ping(1, 2, 207 + 125 + 12),
         {{"_ws.expert.message", ""}, {"marlo.frontend.addr", "10.0.0.2|10.0.0.3"}}},
        {"a partial entry after the last group", ping(0, 0, 332 + 124),
         {{"_ws.expert.message", "124 bytes after the last whole entry: receivers ignore them"},
          {"marlo.vdisk.uuid", "vd-x"}}},
        {"shorter than a header", sized(16, 206),
         {{"_ws.expert.message", "A header needs 207 bytes, the datagram has 206: receivers drop it"},
          {"marlo.hdr.uid", "777"}, {"marlo.hdr.hostid", ""}}},
        {"single vdisk ping without an entry", sized(33, 331),
         {{"_ws.expert.message",
           "A SINGLE_VDISK_PING entry needs 332 bytes, the datagram has 331: receivers drop "
           "it"}}},
        {"short AUX_PING", sized(35, 235),
         {{"_ws.expert.message", "An AUX_PING needs 236 bytes, the datagram has 235: receivers drop it"},
          {"marlo.aux.length", ""}}},
        {"AUX_PING length field other than 28", aux_bad_length,
         {{"_ws.expert.message", "AuxPingData length is not 28"}, {"marlo.aux.length", "27"}}},
        {"short VDISK_DELETED", sized(34, 224),
         {{"_ws.expert.message",
           "A VDISK_DELETED needs 225 bytes, the datagram has 224: receivers drop it"}}},
        {"VDISK_DELETED about another node", deleted_other_node,
         {{"_ws.expert.message", "Deleted-entry node differs from the header's node id"},
          {"marlo.deleted.node", "778"}}},
        {"DS_PING without a whole entry", sized(16, 250),
         {{"_ws.expert.message", "Header only: node in no datastore|Bytes after the last record"},
          {"marlo.ds.uuid", ""}}},
        {"DS_PING with an authentication trailer", signed_ds_ping,
         {{"_ws.expert.message", "Header only: node in no datastore"}, {"marlo.trailing", ""},
          {"marlo.auth.key_id", "286331153"}, {"marlo.auth.counter", "1229782938247303441"},
          {"marlo.auth.time", "1700000000"}, {"marlo.auth.mac", std::string(64, '1')}}},
        {"HEARTBEAT with a tail", sized(32, 210),
         {{"_ws.expert.message", "Bytes after the last record"}, {"marlo.trailing", "000000"}}},
        {"an unused type", sized(7, 211),
         {{"_ws.expert.message", "Message type neither sent nor accepted"},
          {"marlo.hdr.type", "7"}, {"marlo.body", "00000000"}}},
        {"two-digit generation that is not two digits", old_digits,
         {{"_ws.expert.message", "Two-digit generation is not two decimal digits"},
          {"marlo.vdisk.old_mshipgencnt", "x7"}, {"marlo.vdisk.generation", ""}}},
    };
    std::vector<std::string> datagrams;
    for (const Case &c : cases)
        datagrams.push_back(c.datagram);

    TempDir tmp;
    const int port = 18123;  // any: the preference names it
    tmp.write_file("crafted.pcap", pcap_file(datagrams, port));
    std::string err;
    const auto rows = decode(tshark, tmp.path("crafted.pcap"),
                             {"-o", "marlo.udp_port:" + std::to_string(port)}, tmp, &err);
    ASSERT_TRUE(rows) << err;
    ASSERT_EQ(rows->size(), std::size(cases));
    for (size_t i = 0; i < rows->size(); i++) {
        SCOPED_TRACE(cases[i].what);
        for (const auto &[name, value] : cases[i].want)
            EXPECT_EQ((*rows)[i].fields.at(name), value) << name;
    }
}

}  // namespace
