// The receive path on the real binary, vdisk messages: PING entries and the
// stale sweep (and everything that suppresses it), SINGLE_VDISK_PING,
// malformed member and frontend records, snapshots at their parents, the
// fence check on a generation rise, VDISK_DELETED, and uuids that cannot name
// an object.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "harness.h"
#include "object/vdisk.h"
#include "proto/records.h"
#include "store_read.h"
#include "store_seed.h"
#include "udp.h"

using namespace harness;
using namespace store_read;
namespace fs = std::filesystem;

namespace {

// Offsets inside one vdisk group (entry, members, frontends).
constexpr size_t kTransactionId = 0;   // VDiskEntry::transaction_id
constexpr size_t kMembers = 121;       // VDiskEntry::members
constexpr size_t kFrontends = 123;     // VDiskEntry::frontends

// A daemon whose fence check appends its arguments to fence.log, with short
// vdisk lock time-outs, and one sender beside it.
struct VDiskRig {
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    std::unique_ptr<Daemon> d;
    std::unique_ptr<UdpPeer> peer;
    std::string work = tmp.path("DB");
    std::string fence_log = tmp.path("fence.log");
    int port = std::stoi(cfg.at("bind_port"));

    VDiskRig()
    {
        cfg["ping_interval"] = "3600";
        cfg["heartbeat_interval"] = "3600";
        cfg["vdisk_lock_timeout_ms"] = "100";
        cfg["fence_check"] = tmp.write_script("fence", "echo \"$@\" >> " + fence_log + "\n");
    }
    void start()
    {
        std::string conf = write_config(tmp.path("marlo.conf"), cfg);
        d = std::make_unique<Daemon>(std::vector<std::string>{"-d", "-d", "-C", conf}, tmp);
        peer = std::make_unique<UdpPeer>("127.0.0.4");
        ASSERT_TRUE(d->wait_for_line("controller_thread_loop")) << d->text();
    }
    // Sends one datagram and waits until the daemon has handled it.
    void apply(const std::string &bytes)
    {
        ASSERT_TRUE(deliver(*d, *peer, port, bytes)) << d->text();
    }
    std::string vdisk(const std::string &uuid) const { return work + "/VDisk/" + uuid; }
    std::string member(const std::string &uuid, uint32_t node) const
    {
        return vdisk(uuid) + "/memberinfo/" + std::to_string(node);
    }
    std::string node_link(uint32_t node, const std::string &uuid) const
    {
        return work + "/Node/" + std::to_string(node) + "/vdisks/" + uuid;
    }
    std::string seqno(const std::string &uuid, uint32_t node) const
    {
        return slurp(member(uuid, node) + "/seqno");
    }
};

using seed::node_spec;
using seed::snapshot_spec;
using seed::vdisk_spec;

// The group that `node` announces for v, with its seqno (and generation)
// changed so that the store shows whether it was applied.
std::string group(const seed::NodeSpec &node, seed::VDiskSpec v, unsigned long long seqno,
                  unsigned gen = 1)
{
    for (auto &mi : v.memberinfo)
        if (mi.node == node.id) {
            mi.seqno = seqno;
            mi.gen = gen;
        }
    return seed::vdisk_group(node, v, node.id);
}

TEST(ReceiveVDisk, PingSweepsOnlyAfterEveryEntryApplied)
{
    VDiskRig rig;
    // Node 31's record references a1, b1, c1 (a snapshot of a1, served by 31
    // alone) and d1 (shared with node 32), all in datastore ds31.
    const auto n31 = node_spec(31, "ds31"), n32 = node_spec(32, "ds31");
    const auto a1 = vdisk_spec("a1", {31}, "ds31"), b1 = vdisk_spec("b1", {31}, "ds31");
    const auto c1 = snapshot_spec("c1", "a1", 31, "ds31");
    const auto d1 = vdisk_spec("d1", {31, 32}, "ds31");
    // Node 33: a3, b3, c3; node 34: a4, b4; both in datastore ds33.
    const auto n33 = node_spec(33, "ds33"), n34 = node_spec(34, "ds33");
    const auto a3 = vdisk_spec("a3", {33}, "ds33"), b3 = vdisk_spec("b3", {33}, "ds33"),
               c3 = vdisk_spec("c3", {33}, "ds33");
    const auto a4 = vdisk_spec("a4", {34}, "ds33"), b4 = vdisk_spec("b4", {34}, "ds33");
    for (const auto *n : {&n31, &n32, &n33, &n34})
        seed::write_node(rig.work, *n);
    seed::write_datastore(rig.work, {.uuid = "ds31", .members = {31, 32}});
    seed::write_datastore(rig.work, {.uuid = "ds33", .members = {33, 34}});
    for (const auto *v : {&a1, &b1, &c1, &d1, &a3, &b3, &c3, &a4, &b4})
        seed::write_vdisk(rig.work, *v);
    ASSERT_TRUE(present(rig.vdisk("a1") + "/snapshots/c1"));
    rig.start();

    // A PING listing a1 and b1 applies them and gives up c1 and d1.
    rig.apply(seed::hdr_bytes(n31, MSG_PING) + group(n31, a1, 501) + group(n31, b1, 502));
    EXPECT_EQ(rig.seqno("a1", 31), "501\n");
    EXPECT_EQ(rig.seqno("b1", 31), "502\n");
    EXPECT_EQ(rig.d->count_lines("notice: controller_thread_loop(): Stale VDisk c1 of member 31"), 1u);
    EXPECT_EQ(rig.d->count_lines("Stale VDisk d1 of member 31"), 1u);
    // c1 had no other member: gone with its links at the parent, the
    // datastore and the node.
    EXPECT_FALSE(present(rig.vdisk("c1")));
    EXPECT_FALSE(present(rig.vdisk("a1") + "/snapshots/c1"));
    EXPECT_FALSE(present(rig.work + "/Datastore/ds31/vdisks/c1"));
    EXPECT_FALSE(present(rig.node_link(31, "c1")));
    // d1 keeps node 32.
    EXPECT_FALSE(present(rig.member("d1", 31)));
    EXPECT_FALSE(present(rig.node_link(31, "d1")));
    EXPECT_TRUE(present(rig.member("d1", 32)));
    EXPECT_TRUE(present(rig.work + "/Datastore/ds31/vdisks/d1"));
    EXPECT_TRUE(present(rig.node_link(32, "d1")));
    EXPECT_EQ(listing(rig.work + "/Node/31/vdisks"), (std::set<std::string>{"a1", "b1"}));

    // Each of these PINGs from node 33 leaves one entry unapplied (or lists
    // one twice), so c3 must survive all of them.
    const std::string h33 = seed::hdr_bytes(n33, MSG_PING);
    // b3's lock is held by another program.
    { std::ofstream("/tmp/VDISK-b3") << "1\n"; }
    rig.apply(h33 + group(n33, a3, 601) + group(n33, b3, 602));
    fs::remove("/tmp/VDISK-b3");
    EXPECT_EQ(rig.seqno("a3", 33), "601\n");
    EXPECT_EQ(rig.seqno("b3", 33), "200\n");
    // a3 twice: both applied, the second reported.
    rig.apply(h33 + group(n33, a3, 611) + group(n33, a3, 612) + group(n33, b3, 613));
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Duplicate VDisk Entry a3"), 1u);
    EXPECT_EQ(rig.seqno("a3", 33), "612\n");
    EXPECT_EQ(rig.seqno("b3", 33), "613\n");
    // Entries whose uuid (or parent) cannot name an object are refused and
    // the walk goes on with the next entry.
    std::string bad = h33 + group(n33, a3, 621);
    for (const char *uuid : {"..", "a/b", ""})
        bad += group(n33, vdisk_spec(uuid, {33}), 1);
    bad += group(n33, snapshot_spec("s3", "../../x", 33), 1);
    // Nor are a snapshot of itself and an entry listing member node 0.
    bad += group(n33, snapshot_spec("t3", "t3", 33), 1);
    bad += group(n33, vdisk_spec("u3", {33, 0}), 1);
    bad += group(n33, b3, 622);
    rig.apply(bad);
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Refusing vdisk name"), 3u)
        << rig.d->text();
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Refusing parent name `../../x'"), 1u);
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Refusing VDisk t3 as a snapshot of itself"), 1u);
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Refusing VDisk u3 with member node 0"), 1u);
    EXPECT_FALSE(present("/tmp/VDISK-t3"));
    EXPECT_FALSE(present(rig.vdisk("t3")));
    EXPECT_FALSE(present(rig.vdisk("u3")));
    EXPECT_EQ(rig.seqno("b3", 33), "622\n");
    EXPECT_FALSE(present(rig.vdisk("s3")));
    EXPECT_FALSE(present(rig.tmp.path("x")));
    EXPECT_EQ(listing(rig.work + "/VDisk"),
              (std::set<std::string>{"a1", "b1", "d1", "a3", "b3", "c3", "a4", "b4"}));
    // A member count that runs past the end: the entries before stay
    // applied, the walk stops.
    std::string y3 = group(n33, vdisk_spec("y3", {33, 35, 36}), 1);
    y3.resize(125 + 2 * 4);
    rig.apply(h33 + group(n33, a3, 631) + y3);
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Malformed packet? #2"), 1u);
    EXPECT_EQ(rig.seqno("a3", 33), "631\n");
    // A frontend count that runs past the end: likewise.
    std::string z3 = group(n33, vdisk_spec("z3", {33}), 1);
    put_le(z3, kFrontends, 2, 2);
    rig.apply(h33 + group(n33, a3, 641) + z3);
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Malformed packet? #3"), 1u);
    EXPECT_EQ(rig.seqno("a3", 33), "641\n");
    EXPECT_FALSE(present(rig.vdisk("y3")));
    EXPECT_FALSE(present(rig.vdisk("z3")));
    EXPECT_TRUE(present(rig.member("c3", 33)));
    EXPECT_EQ(rig.d->count_lines("Stale VDisk c3"), 0u);

    // A PING too short for one entry (331 bytes) gives up everything.
    rig.apply(h33 + std::string(124, '\0'));
    for (const char *uuid : {"a3", "b3", "c3"})
        EXPECT_FALSE(present(rig.vdisk(uuid))) << uuid;
    EXPECT_TRUE(listing(rig.work + "/Node/33/vdisks").empty());

    // SINGLE_VDISK_PING applies its entry and never removes anything, not
    // even when it is too short for one.
    rig.apply(seed::hdr_bytes(n34, MSG_SINGLE_VDISK_PING) + group(n34, a4, 701));
    rig.apply(seed::hdr_bytes(n34, MSG_SINGLE_VDISK_PING) + std::string(124, '\0'));
    EXPECT_EQ(rig.seqno("a4", 34), "701\n");
    EXPECT_EQ(rig.seqno("b4", 34), "200\n");
    // A bare 207-byte PING does.
    rig.apply(seed::hdr_bytes(n34, MSG_PING));
    EXPECT_FALSE(present(rig.vdisk("a4")));
    EXPECT_FALSE(present(rig.vdisk("b4")));
    EXPECT_EQ(listing(rig.work + "/VDisk"), (std::set<std::string>{"a1", "b1", "d1"}));
}

TEST(ReceiveVDisk, SnapshotsFenceCheckAndDeletes)
{
    VDiskRig rig;
    const auto n41 = node_spec(41, "ds41");
    const auto n7 = node_spec(7), n8 = node_spec(8);
    seed::write_node(rig.work, n7);
    seed::write_node(rig.work, n8);
    seed::write_vdisk(rig.work, vdisk_spec("v7", {7, 8}));
    rig.start();

    // Node 41 joins ds41, then announces the new vdisk p4: created, linked
    // to node and datastore, no fence check.
    seed::DatastoreSpec ds41;
    ds41.uuid = "ds41";
    rig.apply(seed::ds_ping_msg(n41, &ds41));
    const auto p4 = vdisk_spec("p4", {41});
    const auto s4 = snapshot_spec("s4", "p4", 41);
    const std::string h41 = seed::hdr_bytes(n41, MSG_PING);
    rig.apply(h41 + group(n41, p4, 1, 1));
    EXPECT_EQ(slurp(rig.vdisk("p4") + "/highest_gen_count"), "1\n");
    EXPECT_EQ(fs::read_symlink(rig.vdisk("p4") + "/datastore").string(), "../../Datastore/ds41");
    EXPECT_TRUE(present(rig.work + "/Datastore/ds41/vdisks/p4"));
    EXPECT_TRUE(present(rig.node_link(41, "p4")));

    // Snapshot s4 outside a transaction: stored and recorded at p4.
    rig.apply(h41 + group(n41, p4, 2, 1) + group(n41, s4, 2, 1));
    EXPECT_EQ(slurp(rig.vdisk("s4") + "/parent"), "p4\n");
    EXPECT_EQ(fs::read_symlink(rig.vdisk("p4") + "/snapshots/s4").string(), "../../../VDisk/s4");
    // Inside a transaction (id 5): only the sender's seqno, no record at p4.
    fs::remove(rig.vdisk("p4") + "/snapshots/s4");
    std::string s4_in_txn = group(n41, s4, 3, 1);
    put_le(s4_in_txn, kTransactionId, 5, 4);
    rig.apply(h41 + group(n41, p4, 3, 1) + s4_in_txn);
    EXPECT_EQ(rig.seqno("s4", 41), "3\n");
    EXPECT_FALSE(present(rig.vdisk("p4") + "/snapshots/s4"));
    rig.apply(h41 + group(n41, p4, 4, 1) + group(n41, s4, 4, 1));
    EXPECT_TRUE(present(rig.vdisk("p4") + "/snapshots/s4"));
    EXPECT_FALSE(present(rig.fence_log));

    // Generation 1 -> 2: the fence check runs once; 2 again: not; 3: again.
    for (unsigned gen : {2u, 2u, 3u})
        rig.apply(h41 + group(n41, p4, 10 + gen, gen) + group(n41, s4, 10 + gen, 1));
    EXPECT_EQ(slurp(rig.fence_log), "uuid=p4 member=41\nuuid=p4 member=41\n");
    EXPECT_EQ(slurp(rig.vdisk("p4") + "/highest_gen_count"), "3\n");

    // VDISK_DELETED of 224 bytes: the node is refreshed, nothing else.
    std::string del45 = seed::vdisk_deleted_msg(node_spec(45), "p4");
    rig.apply(del45.substr(0, 224));
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Malformed packet? #4"), 1u);
    EXPECT_TRUE(present(rig.work + "/Node/45/lastping"));
    EXPECT_TRUE(present(rig.vdisk("p4")));

    // Entry naming node 5 in a header from node 7: node 7 leaves v7.
    std::string del7 = seed::vdisk_deleted_msg(n7, "v7");
    put_le(del7, HDR_LEN, 5, 4);
    rig.apply(del7);
    EXPECT_EQ(rig.d->count_lines(
                  "error: controller_thread_loop(): HASHREQ_VDISK_DELETED 7 != 5, using 7"),
              1u);
    EXPECT_FALSE(present(rig.member("v7", 7)));
    EXPECT_FALSE(present(rig.node_link(7, "v7")));
    EXPECT_TRUE(present(rig.member("v7", 8)));
    // Node 8, the last member, leaves: v7 goes.  A vdisk unknown here only
    // refreshes the node.
    rig.apply(seed::vdisk_deleted_msg(n8, "v7"));
    EXPECT_FALSE(present(rig.vdisk("v7")));
    const size_t locks = rig.d->count_lines("Lock /tmp/NODE-8");
    rig.apply(seed::vdisk_deleted_msg(n8, "nosuch"));
    EXPECT_FALSE(present(rig.vdisk("nosuch")));
    EXPECT_EQ(rig.d->count_lines("Lock /tmp/NODE-8"), locks + 1);  // the refresh alone
    EXPECT_EQ(rig.d->count_lines("unref VDisk nosuch"), 0u);

    // A snapshot's last member leaves: its record at the parent goes too.
    rig.apply(seed::vdisk_deleted_msg(n41, "s4"));
    EXPECT_FALSE(present(rig.vdisk("s4")));
    EXPECT_FALSE(present(rig.vdisk("p4") + "/snapshots/s4"));

    // Uuids that cannot name an object are refused before any lock or load.
    const auto tmp_before = listing("/tmp");
    for (const char *uuid : {"..", "a/b", ""})
        rig.apply(seed::vdisk_deleted_msg(n41, uuid));
    EXPECT_EQ(rig.d->count_lines("error: controller_thread_loop(): Refusing vdisk name"), 3u)
        << rig.d->text();
    EXPECT_EQ(listing("/tmp"), tmp_before);
    EXPECT_EQ(listing(rig.work + "/VDisk"), (std::set<std::string>{"p4"}));
    EXPECT_TRUE(present(rig.member("p4", 41)));
    EXPECT_EQ(listing(rig.work), (std::set<std::string>{"Datastore", "Node", "VDisk", "lock_holder"}));
}

}  // namespace

namespace {

// The fence check on the real loop: a check that leaves a writer behind
// neither holds the loop nor floods the log, and the daemon stops at once;
// a stop during a check is seen at once and waits for it; a check cut
// short (the daemon killed) runs again, once, when the daemon starts; a stop
// during a lock's back-off ends it within a second.
TEST(ReceiveVDisk, FenceCheckNeverHoldsTheLoopAndACheckCutShortRunsAgain)
{
    VDiskRig rig;
    const std::string mode = rig.tmp.path("mode"), long_pid = rig.tmp.path("long.pid");
    rig.cfg["fence_check"] = rig.tmp.write_script(
        "fence", "echo \"$@\" >> " + rig.fence_log + "\ncase $(cat " + mode +
                     ") in writer) yes background & sleep 0.3 ;; long) echo $$ > " + long_pid +
                     "; exec sleep 600 ;; esac\n");
    const auto n41 = node_spec(41, "ds41");
    const auto p5 = vdisk_spec("p5", {41}, "ds41");
    seed::write_node(rig.work, n41);
    seed::write_datastore(rig.work, {.uuid = "ds41", .members = {41}});
    seed::write_vdisk(rig.work, p5);
    const std::string h41 = seed::hdr_bytes(n41, MSG_PING);
    const std::string owed = rig.vdisk("p5") + "/fence_owed";

    std::ofstream(mode) << "writer\n";
    rig.start();
    rig.apply(h41 + group(n41, p5, 2, 2));
    rig.apply(h41 + group(n41, p5, 3, 2));  // the loop serves on
    EXPECT_EQ(rig.seqno("p5", 41), "3\n");
    EXPECT_EQ(rig.d->count_lines("stdout: background"), FENCE_CHECK_MAX_LINES);
    EXPECT_FALSE(present(owed));
    rig.d->signal(SIGTERM);
    EXPECT_EQ(rig.d->wait_exit(std::chrono::seconds(3)), 0) << "SIGTERM while the writer runs";

    std::ofstream(mode) << "long\n";
    rig.start();
    ASSERT_TRUE(rig.peer->send_to("127.0.0.1", rig.port, h41 + group(n41, p5, 4, 3)));
    ASSERT_TRUE(rig.d->wait_for_line("Call ")) << rig.d->text();
    EXPECT_EQ(slurp(owed), "3 41\n");
    rig.d->signal(SIGTERM);
    EXPECT_TRUE(rig.d->wait_for_line("Stop requested: waiting for ")) << rig.d->text();
    EXPECT_FALSE(rig.d->wait_exit(std::chrono::milliseconds(1500))) << "the stop waits";
    rig.d->signal(SIGKILL);  // as the unit's stop time-out does
    rig.d->wait_exit();
    kill(std::stoi(slurp(long_pid)), SIGKILL);

    std::ofstream(mode) << "\n";
    rig.start();
    ASSERT_TRUE(rig.d->wait_for_line(
        "notice: FenceCheck(): Running the fence check owed for VDisk p5 generation 3 by Node 41",
        kWait, From::Start))
        << rig.d->text();
    rig.apply(h41 + group(n41, p5, 5, 3));
    EXPECT_FALSE(present(owed));
    EXPECT_EQ(slurp(rig.fence_log), "uuid=p5 member=41\nuuid=p5 member=41\nuuid=p5 member=41\n");

    // A stop during a lock's back-off (a live holder, a minute's time-out)
    // ends it: nothing of the entry is applied.
    rig.d->signal(SIGTERM);
    rig.d->wait_exit();
    rig.cfg["vdisk_lock_timeout_ms"] = "60000";
    std::ofstream("/tmp/VDISK-p5") << getpid() << "\n";
    rig.start();
    ASSERT_TRUE(rig.peer->send_to("127.0.0.1", rig.port, h41 + group(n41, p5, 6, 4)));
    ASSERT_TRUE(rig.d->wait_for_line("Contention on /tmp/VDISK-p5, sleep 400ms")) << rig.d->text();
    rig.d->signal(SIGTERM);
    EXPECT_EQ(rig.d->wait_exit(std::chrono::seconds(3)), 0) << "SIGTERM during a back-off";
    EXPECT_EQ(rig.d->count_lines("notice: PathLock(): Stop requested: giving up /tmp/VDISK-p5"), 1u);
    EXPECT_EQ(rig.seqno("p5", 41), "5\n");
    unlink("/tmp/VDISK-p5");
}

}  // namespace
