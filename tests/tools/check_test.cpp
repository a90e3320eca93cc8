// marloctl check on a store written by the real daemon: clean as written,
// each kind of damage found as its kind, the daemon's own normal states never
// reported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>

#include "tools/cluster_rig.h"
#include "tools/ctl.h"

using namespace ctl;
using namespace harness;
namespace fs = std::filesystem;

namespace {

// The kinds that check --json reports (each once), and its exit status.
struct Kinds {
    std::optional<int> status;
    std::multiset<std::string> kinds;
    std::string out;
};

Kinds check(Rig &rig)
{
    Kinds k;
    CtlRun r = rig.ctl({"check", "--json"});
    k.status = r.status;
    k.out = r.out + r.err;
    Json doc;
    if (auto err = parse_json(r.out, &doc)) {
        k.out += "\n(unparsable: " + *err + ")";
        return k;
    }
    for (const Json &f : doc["findings"].items)
        k.kinds.insert(f["kind"].text);
    return k;
}

// A pid that belonged to a process that has ended.
pid_t dead_pid()
{
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

void age_file(const std::string &path, int seconds)
{
    struct timespec ts[2];
    clock_gettime(CLOCK_REALTIME, &ts[0]);
    ts[0].tv_sec -= seconds;
    ts[1] = ts[0];
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
}

class CheckTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        rig_ = new Rig;
        rig_->start();
        rig_->announce();
        rig_->stop();
        fs::copy(rig_->db(), rig_->tmp.path("pristine"),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
    }
    static void TearDownTestSuite()
    {
        delete rig_;
        rig_ = nullptr;
    }
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "check reads every lock file in /tmp: needs the private /tmp of root";
        fs::remove_all(rig_->db());
        fs::copy(rig_->tmp.path("pristine"), rig_->db(),
                 fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        for (const auto &e : fs::directory_iterator("/tmp"))
            if (e.path().filename().string().find('-') != std::string::npos &&
                !e.is_directory())
                fs::remove(e.path());
    }
    static Rig *rig_;
};
Rig *CheckTest::rig_ = nullptr;

TEST_F(CheckTest, FindsEachKindOfDamageAndNoNormalState)
{
    Rig &rig = *rig_;
    Store db(rig.db());
    struct Row {
        const char *what;
        std::function<void()> damage;
        std::multiset<std::string> kinds;  // empty: a normal state, check is clean
        bool repaired = true;  // check --repair --stale-locks mends it
        // When the repair mends only part: what it leaves, and a line it says.
        std::optional<std::multiset<std::string>> left = std::nullopt;
        const char *said = nullptr;
    } const rows[] = {
        {"as the daemon wrote it", [] {}, {}},
        // States of the daemon's normal work.
        {"member without frontends has no node link",
         [&] { db.remove("VDisk/vdA/memberinfo/201/frontend"); db.remove("Node/201/vdisks/vdA"); },
         {}},
        {"membership lists a node that has not announced",
         [&] { db.file("VDisk/vdA/membership", "201\n202\n204\n"); }, {}},
        {"snapshot not yet recorded at its parent", [&] { db.remove("VDisk/vdA/snapshots/snA"); },
         {}},
        {"young lock of a running process",
         [] { Store("/tmp").file("VDISK-vdA", std::to_string(getpid()) + "\n"); }, {}},
        // Damage.
        // The links hold the name: no entry links the vdisks to dsA anew.
        {"datastore deleted with its last member, vdisks' links left", [&] {
             db.remove("Datastore/dsA");
             db.remove("Node/201/datastoremember");
             db.remove("Node/202/datastoremember");
         }, {"dangling-link", "dangling-link"}},
        // Membership still names 201, whose member directory went first.
        {"snapshot's last member gone but from membership", [&] {
             db.remove("VDisk/snA/memberinfo/201");
             db.remove("Node/201/vdisks/snA");
         }, {"vdisk-without-members"}},
        {"removal cut short beside a stray file under Node/", [&] {
             db.file("Node/junk", "x\n");
             db.remove("VDisk/snA/memberinfo");
             db.remove("Node/201/vdisks/snA");
         }, {"stray-entry", "vdisk-without-memberinfo"}, false, {{"stray-entry"}},
         "repaired: vdisk-without-memberinfo VDisk/snA/memberinfo: finished the removal of vdisk snA"},
        {"a file where a directory of the store should be", [&] {
             db.remove("Node/203/vdisks");
             db.file("Node/203/vdisks", "x\n");
         }, {"stray-entry"}, false},
        {"datastore removal cut short after members/", [&] {
             db.remove("Datastore/dsA/members");
         }, {"missing-attribute"}, false},
        {"no file at an attribute name", [&] {
             db.remove("VDisk/vdA/description");
             mkfifo((rig.db() + "/VDisk/vdA/description").c_str(), 0644);
         }, {"bad-attribute"}, false, std::nullopt, "left: bad-attribute VDisk/vdA/description: the daemon cannot mend it"},
        // Linked by its nodes, the vdisk is theirs to rebuild: never removed.
        {"memberinfo/ gone, nodes still link the vdisk", [&] { db.remove("VDisk/vdA/memberinfo"); },
         {"vdisk-without-memberinfo"}, false},
        {"removal cut short after memberinfo/", [&] {
             db.remove("VDisk/snA/memberinfo");
             db.remove("Node/201/vdisks/snA");
         }, {"vdisk-without-memberinfo"}},
        {"vdisk left with nobody", [&] {
             db.remove("VDisk/snA/memberinfo/201");
             db.remove("VDisk/snA/membership");
         }, {"vdisk-without-members", "node-link-without-member"}},
        {"member with frontends but no node link", [&] { db.remove("Node/202/vdisks/vdA"); },
         {"member-without-node-link"}},
        {"node link without member directory", [&] { db.remove("VDisk/vdA/memberinfo/202"); },
         {"node-link-without-member"}},
        {"vdisk gone, its links left", [&] { db.remove("VDisk/snA"); },
         {"dangling-link", "dangling-link", "dangling-link"}},
        {"member link to a node that does not exist",
         [&] { db.link("Datastore/dsA/members/209", "../../../Node/209"); }, {"dangling-link"}},
        {"nodestatus link to a node that does not exist", [&] { db.remove("Node/202/status"); },
         {"dangling-link"}},
        {"node left, datastore still lists it", [&] { db.remove("Node/202/datastoremember"); },
         {"datastore-lists-nonmember"}},
        {"node joined, datastore does not list it",
         [&] { db.remove("Datastore/dsA/members/202"); }, {"datastore-member-unlisted"}},
        {"node names a datastore that does not exist",
         [&] { db.file("Node/203/datastoremember", "dsZ\n"); }, {"datastore-member-unlisted"},
         false},
        // dsB's only member is not removed: that would remove dsB.
        {"node listed by two datastores",
         [&] { db.link("Datastore/dsB/members/201", "../../../Node/201"); },
         {"datastore-lists-nonmember", "node-in-several-datastores", "missing-attribute",
          "missing-attribute", "missing-attribute", "missing-attribute", "missing-attribute",
          "missing-attribute", "missing-attribute", "missing-attribute"},
         false},
        {"datastore lost its link to a vdisk that names it",
         [&] { db.remove("Datastore/dsA/vdisks/vdA"); }, {"broken-link-pair"}},
        {"vdisk lost its link to the datastore that lists it",
         [&] { db.remove("VDisk/vdA/datastore"); }, {"broken-link-pair"}},
        // One for each loader that needs them: a vdisk's, a snapshot's, a plain
        // vdisk's, a node's, a member's.
        {"attribute files missing", [&] {
             for (const char *f : {"VDisk/vdA/uuid", "VDisk/snA/snaptime", "VDisk/vdA/description",
                                   "Node/201/hbtl", "VDisk/vdA/memberinfo/201/seqno"})
                 db.remove(f);
         }, {"missing-attribute", "missing-attribute", "missing-attribute", "missing-attribute",
             "missing-attribute"}, false},
        {"links of a form the store does not write", [&] {
             db.link("Node/203/vdisks/vdX", "/etc");
             db.remove("Datastore/dsA/members/202");
             db.link("Datastore/dsA/members/202", "202");
             db.remove("VDisk/vdA/memberinfo/202/nodestatus");
             db.link("VDisk/vdA/memberinfo/202/nodestatus", "../../../../Node/88888/status");
         }, {"bad-link", "bad-link", "bad-link"}, false},
        {"entries the store does not make", [&] {
             db.file("Node/201/junk", "x\n");
             db.link("VDisk/evil", "/tmp");
             db.link("Datastore/dsA/members/abc", "../../../Node/abc");
         }, {"stray-entry", "stray-entry", "stray-entry"}, false},
        // Following a link that loops is no proof that its target is gone:
        // the links into it stay, and the entry is the one finding.
        {"links to a vdisk that cannot be read", [&] {
             db.remove("VDisk/snA");
             db.link("VDisk/snA", "snA");
         }, {"stray-entry"}, false},
        // One finding each; nothing is drawn from the links into them.
        {"top directories that are no directory", [&] {
             db.remove("Node");
             mkfifo((rig.db() + "/Node").c_str(), 0644);
             db.remove("Datastore");
             db.link("Datastore", rig.tmp.path("pristine") + "/VDisk/vdA/uuid");
         }, {"unreadable", "unreadable"}, false},
        {"attribute files empty, malformed, oversized", [&] {
             db.file("VDisk/vdA/highest_gen_count", "");
             db.file("Node/201/freespace", "lots\n");
             db.file("VDisk/vdA/name", std::string(300, 'x') + "\n");
             db.file("VDisk/vdA/memberinfo/201/frontend", "10.0.0.01\n");
             db.file("Datastore/dsA/name", "no newline");
         }, {"bad-attribute", "bad-attribute", "bad-attribute", "bad-attribute", "bad-attribute"},
         false},
        {"generations out of their 16-bit range", [&] {
             db.file("VDisk/vdA/highest_gen_count", "70000\n");
             db.file("VDisk/vdA/memberinfo/201/membership_gen_count", "99999999999999999999\n");
         }, {"bad-attribute", "bad-attribute"}, false},
        {"directory at an attribute's name", [&] {
             db.remove("VDisk/vdA/description");
             db.dir("VDisk/vdA/description");
         }, {"bad-attribute"}, false},
        {"lock left by a holder that is gone",
         [&] { Store("/tmp").file("VDISK-vdA", std::to_string(dead_pid()) + "\n"); },
         {"stale-lock"}},
        {"lock name that is not a file", [] { Store("/tmp").link("NODE-201", "/nonexistent"); },
         {"lock-not-regular"}, false},
        {"lock files without pid, held for minutes", [&] {
             Store tmp("/tmp");
             tmp.file("NODE-201", "");
             tmp.file("DS-dsA", std::to_string(getpid()) + "\n");
             age_file("/tmp/DS-dsA", 120);
         }, {"lock-without-pid", "lock-held-long"}, false},
    };
    for (const Row &row : rows) {
        SetUp();
        row.damage();
        Kinds k = check(rig);
        EXPECT_EQ(k.kinds, row.kinds) << row.what << "\n" << k.out;
        EXPECT_EQ(k.status, row.kinds.empty() ? 0 : 1) << row.what << "\n" << k.out;
        if (row.kinds.empty())
            continue;

        // A dry run says what it would do and changes nothing.
        CtlRun dry = rig.ctl({"check", "--repair", "--stale-locks", "--dry-run"});
        EXPECT_EQ(dry.status, row.repaired ? 0 : 1) << row.what << "\n" << dry.out;
        EXPECT_EQ(check(rig).kinds, row.kinds) << row.what << "\n" << dry.out;

        CtlRun repair = rig.ctl({"check", "--repair", "--stale-locks"});
        EXPECT_EQ(repair.status, row.repaired ? 0 : 1) << row.what << "\n" << repair.out;
        if (row.said) {
            EXPECT_NE(repair.out.find(row.said), std::string::npos) << row.what << "\n" << repair.out;
        }
        if (!row.repaired) {
            // What the repair must not touch stays as found; a second run
            // finds nothing more to do, and no finding that is not so.
            EXPECT_EQ(check(rig).kinds, row.left.value_or(row.kinds)) << row.what;
            CtlRun again = rig.ctl({"check", "--repair"});
            EXPECT_NE(again.out.find("\nNothing repaired.\n"), std::string::npos) << row.what;
            EXPECT_EQ(again.out.find("no longer so"), std::string::npos) << row.what << "\n" << again.out;
            continue;
        }
        CtlRun again = rig.ctl({"check", "--repair"});
        EXPECT_EQ(again.status, 0) << row.what << "\n" << again.out;
        EXPECT_EQ(again.out.rfind("Nothing repaired.\n", 0), 0u) << row.what << "\n" << again.out;

        // The cluster goes on: the daemon applies the nodes' next
        // announcements to the repaired store without an error (but the
        // one about each probe datagram with which settle() waits).
        rig.start();
        rig.announce();
        rig.stop();
        std::vector<std::string> errors;
        for (const std::string &line : rig.d->lines())
            if (line.find("error: ") != std::string::npos &&
                line.find("Malformed packet? #1") == std::string::npos)
                errors.push_back(line);
        EXPECT_EQ(errors, std::vector<std::string>{}) << row.what;
        k = check(rig);
        EXPECT_EQ(k.kinds, (std::multiset<std::string>{})) << row.what << "\n" << k.out;
    }
}

TEST_F(CheckTest, RepairWaitsForALockHeldElsewhereAndHonoursIt)
{
    Rig &rig = *rig_;
    Store(rig.db()).remove("VDisk/vdA/memberinfo/202");
    // Another program holds vdA's lock.
    const pid_t holder = fork();
    if (holder == 0) {
        pause();
        _exit(0);
    }
    Store("/tmp").file("VDISK-vdA", std::to_string(holder) + "\n");

    // Held beyond the time-out: the repair says so and changes nothing.
    CtlRun held = rig.ctl({"check", "--repair"});
    EXPECT_EQ(held.status, 1) << held.out;
    EXPECT_NE(held.out.find("skipped: node-link-without-member Node/202/vdisks/vdA: "
                            "/tmp/VDISK-vdA is held by another process (waited 200 ms)"),
              std::string::npos)
        << held.out;
    EXPECT_TRUE(fs::is_symlink(rig.db() + "/Node/202/vdisks/vdA"));

    // Released while the repair waits: the repair takes the lock then, and
    // looks again under it.  Made whole meanwhile, the object is left as it
    // is: one row per repair that looks again under a lock.
    Settings patient = rig.cfg;
    patient["vdisk_lock_timeout_ms"] = "20000";
    patient["node_lock_timeout_ms"] = "20000";
    patient["datastore_lock_timeout_ms"] = "20000";
    const std::string conf = write_config(rig.tmp.path("patient.conf"), patient);
    Store db(rig.db());
    struct Wait {
        const char *lock;                      // held in /tmp until released
        std::function<void()> damage, mend;    // mend: while the repair waits
        const char *said;
        const char *kept;                      // still there afterwards
    } const waits[] = {
        {"VDISK-vdA", [&] { db.remove("VDisk/vdA/memberinfo/202"); }, nullptr,
         "repaired: node-link-without-member Node/202/vdisks/vdA: removed node 202 from vdisk vdA",
         "VDisk/vdA/memberinfo"},
        {"VDISK-vdA", [&] { db.remove("VDisk/vdA/memberinfo/202"); },
         [&] { db.dir("VDisk/vdA/memberinfo/202"); },
         "skipped: node-link-without-member Node/202/vdisks/vdA: no longer so",
         "Node/202/vdisks/vdA"},
        {"VDISK-snA", [&] { db.remove("VDisk/snA/memberinfo"); db.remove("Node/201/vdisks/snA"); },
         [&] { db.dir("VDisk/snA/memberinfo/201"); },
         "skipped: vdisk-without-memberinfo VDisk/snA/memberinfo: no longer so", "VDisk/snA"},
        {"DS-dsA", [&] { db.link("Datastore/dsA/members/209", "../../../Node/209"); },
         [&] { db.dir("Node/209"); },
         "skipped: dangling-link Datastore/dsA/members/209: no longer so",
         "Datastore/dsA/members/209"},
        {"VDISK-vdA", [&] { db.remove("VDisk/vdA/datastore"); },
         [&] { db.link("VDisk/vdA/datastore", "../../Datastore/dsA"); },
         "skipped: broken-link-pair Datastore/dsA/vdisks/vdA: no longer so", "VDisk/vdA/datastore"},
        {"NODE-202", [&] { db.remove("Datastore/dsA/members/202"); },
         [&] { db.link("Datastore/dsA/members/202", "../../../Node/202"); },
         "skipped: datastore-member-unlisted Node/202/datastoremember: no longer so",
         "Datastore/dsA/members/202"},
    };
    for (const Wait &w : waits) {
        SetUp();
        w.damage();
        Store("/tmp").file(w.lock, std::to_string(holder) + "\n");
        const pid_t releaser = fork();
        if (releaser == 0) {
            usleep(500 * 1000);
            if (w.mend)
                w.mend();
            unlink(("/tmp/" + std::string(w.lock)).c_str());
            _exit(0);
        }
        CtlRun waited = run_marloctl({"-C", conf, "check", "--repair"}, rig.tmp);
        waitpid(releaser, nullptr, 0);
        EXPECT_NE(waited.out.find(w.said), std::string::npos) << w.said << "\n" << waited.out;
        EXPECT_TRUE(fs::exists(fs::symlink_status(rig.db() + "/" + w.kept))) << w.said;
    }
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
}

}  // namespace

namespace {

TEST_F(CheckTest, ARemovalThatMeetsALockHeldElsewhereLeavesNothingToReport)
{
    Rig &rig = *rig_;
    rig.start();
    // Another program holds datastore dsA while node 201 drops snapshot
    // snA, its last member: the removal needs that lock and must wait for
    // the next ping.
    Store("/tmp").file("DS-dsA", std::to_string(getpid()) + "\n");
    rig.inject(rig.a, {seed::ping_msg(rig.c.n201, {&rig.c.vdA})});
    ASSERT_TRUE(rig.d->wait_for_line("Timed out locking /tmp/DS-dsA", kWait, From::Start))
        << rig.d->text();
    Kinds k = check(rig);
    EXPECT_EQ(k.kinds, (std::multiset<std::string>{})) << k.out;

    unlink("/tmp/DS-dsA");
    rig.inject(rig.a, {seed::ping_msg(rig.c.n201, {&rig.c.vdA})});
    rig.stop();
    EXPECT_FALSE(fs::exists(rig.db() + "/VDisk/snA")) << rig.d->text();
    k = check(rig);
    EXPECT_EQ(k.kinds, (std::multiset<std::string>{})) << k.out;
}

}  // namespace

namespace {

TEST_F(CheckTest, HealthSaysWhatStopsTheDaemonInAnOperatorsWords)
{
    Rig &rig = *rig_;
    Store db(rig.db());
    rig.tmp.write_file("local_nodes", "201\n");
    struct Row {
        std::function<void()> damage;
        std::string line;  // one line of health's output
    } const rows[] = {
        {[] {}, "ERROR  the daemon is down: process "},
        {[&] { db.remove("VDisk/vdA/name"); },
         "ERROR  1 local node cannot announce: 201 (VDisk/vdA/name is missing)"},
        {[] { Store("/tmp").link("NODE-201", "/nonexistent"); },
         "ERROR  lock-not-regular in 1 object: node 201 (is a symbolic link: node 201 cannot be "
         "updated); to do: see marloctl check"},
        {[&] { db.remove("Node/202/vdisks/vdA"); },
         "WARN   member-without-node-link in 1 object: vdisk vdA (member 202 serves frontends but "
         "node 202 does not link the vdisk); to do: marloctl check --repair mends it"},
        // The configuration the daemon runs with (kept for the rows below).
        {[&] {
             rig.cfg["fence_check"] = rig.tmp.path("fence-missing");
             harness::write_config(rig.conf, rig.cfg);
         },
         "ERROR  the fence-check program cannot be run: " + rig.tmp.path("fence-missing") +
             ": No such file or directory (fence_check)"},
        {[&] { rig.tmp.write_file("local_nodes", ""); },
         "WARN   no local nodes: the daemon announces nothing (local_nodes " +
             rig.cfg.at("local_nodes") + ")"},
        // A remote object's value: its next announcement rewrites it.
        {[&] { db.file("Node/202/vendor", "x"); },
         "WARN   bad-attribute in 1 object: node 202 (cannot be loaded: Node/202/vendor is "
         "malformed (no newline at the end)); to do: the object's next announcement rewrites it"},
        {[&] { fs::rename(rig.db(), rig.tmp.path("gone")); },
         "ERROR  the store cannot be read: work directory "},
    };
    for (const Row &row : rows) {
        SetUp();
        row.damage();
        CtlRun r = rig.ctl({"health"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.out.rfind("ERROR: ", 0), 0u) << r.out;
        EXPECT_NE(("\n" + r.out).find("\n" + row.line), std::string::npos) << row.line << "\n" << r.out;
        Json doc;
        CtlRun json = rig.ctl({"health", "--json"});
        ASSERT_FALSE(parse_json(json.out, &doc)) << json.out;
        EXPECT_EQ(doc["status"].text, "ERROR") << json.out;
        EXPECT_FALSE(doc["problems"].items.empty() || doc["problems"].items[0]["kind"].text.empty())
            << json.out;
    }
    rig.cfg["fence_check"] = "/bin/true";
    harness::write_config(rig.conf, rig.cfg);
    rig.tmp.write_file("local_nodes", "201\n");
    // With the store unreadable, metrics still writes its file and says so.
    const std::string prom = rig.tmp.path("marlo.prom");
    CtlRun metrics = rig.ctl({"metrics", "--output", prom});
    EXPECT_EQ(metrics.status, 1) << metrics.err;
    std::stringstream written;
    written << std::ifstream(prom).rdbuf();
    EXPECT_NE(written.str().find("\nmarlo_store_readable 0\n"), std::string::npos) << written.str();

    // Hundreds of silent nodes are one line; -v names each.
    SetUp();
    for (int id = 1000; id < 1300; id++) {
        const std::string node = "Node/" + std::to_string(id);
        fs::copy(rig.db() + "/Node/203", rig.db() + "/" + node, fs::copy_options::recursive |
                                                                   fs::copy_options::copy_symlinks);
        db.remove(node + "/vdisks/vdA");
        db.file(node + "/lastping", "1\n");
    }
    rig.start();
    CtlRun screen = rig.ctl({"health"});
    CtlRun every = rig.ctl({"health", "-v"});
    rig.stop();
    EXPECT_EQ(screen.status, 1) << screen.out;
    EXPECT_LE(std::count(screen.out.begin(), screen.out.end(), '\n'), 5) << screen.out;
    EXPECT_NE(screen.out.find("WARN   300 nodes silent for more than three heartbeat intervals: "
                              "1000, 1001, 1002, ... (marloctl health -v lists all)"),
              std::string::npos)
        << screen.out;
    size_t named = 0;
    for (size_t at = 0; (at = every.out.find(": not heard for ", at)) != std::string::npos; at++)
        named++;
    EXPECT_EQ(named, 300u) << every.out;
    rig.tmp.write_file("local_nodes", "");
}

}  // namespace

namespace {

TEST_F(CheckTest, RetiresOnlyANodeThatNobodyListsOrHears)
{
    Rig &rig = *rig_;
    Store db(rig.db());
    // Node 203 unheard for long, out of vdA (its member directory gone):
    // only what each row adds keeps it.
    const auto unlisted = [&] {
        db.file("Node/203/lastping", "1\n");
        db.remove("VDisk/vdA/memberinfo/203");
    };
    struct Row {
        std::function<void()> setup;
        const char *said;  // the start of the one line it prints
    } const rows[] = {
        {[] {}, "refused: node 203: heard "},
        {[&] { db.file("Node/203/lastping", "1\n"); },
         "refused: node 203: vdisk vdA has a member directory for it"},
        {[&] { unlisted(); db.link("Node/203/vdisks/snA", "../../../VDisk/snA"); },
         "refused: node 203: it links vdisk snA"},
        {[&] { unlisted(); db.file("VDisk/vdA/membership", "201\n202\n203\n"); },
         "refused: node 203: vdisk vdA's membership lists it"},
        {[&] { unlisted(); db.dir("VDisk/snA/memberinfo/203"); },
         "refused: node 203: vdisk snA has a member directory for it"},
        {[&] { unlisted(); db.link("Datastore/dsA/members/203", "../../../Node/203"); },
         "refused: node 203: datastore dsA lists it as a member"},
        {[&] { unlisted(); db.file("Node/203/datastoremember", "dsA\n"); },
         "refused: node 203: Node/203/datastoremember names a datastore"},
        {unlisted, "retired node 203: removed Node/203"},
    };
    for (const Row &row : rows) {
        SetUp();
        row.setup();
        CtlRun dry = rig.ctl({"retire-node", "203", "--dry-run"});
        CtlRun r = rig.ctl({"retire-node", "203"});
        const bool done = std::string(row.said).rfind("retired", 0) == 0;
        EXPECT_EQ(r.status, done ? 0 : 1) << r.out;
        EXPECT_EQ(r.out.rfind(row.said, 0), 0u) << row.said << "\n" << r.out;
        EXPECT_EQ(dry.status, r.status) << dry.out;
        EXPECT_EQ(fs::exists(rig.db() + "/Node/203"), !done) << r.out;
        if (!done)
            continue;
        EXPECT_EQ(dry.out.rfind("would retire node 203: removes Node/203", 0), 0u) << dry.out;
        CtlRun again = rig.ctl({"retire-node", "203"});
        EXPECT_EQ(again.status, 0);
        EXPECT_EQ(again.out, "node 203 has no record: nothing to retire\n");
        Kinds k = check(rig);
        EXPECT_EQ(k.kinds, (std::multiset<std::string>{})) << k.out;
    }
}

}  // namespace
