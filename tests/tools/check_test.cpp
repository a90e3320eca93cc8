// marloctl check on a store written by the real daemon: clean as written,
// each kind of damage found as its kind, the daemon's own normal states never
// reported.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <set>

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
        {"datastore deleted with its last member: vdisks keep their link", [&] {
             db.remove("Datastore/dsA");
             db.remove("Node/201/datastoremember");
             db.remove("Node/202/datastoremember");
         }, {}},
        {"young lock of a running process",
         [] { Store("/tmp").file("VDISK-vdA", std::to_string(getpid()) + "\n"); }, {}},
        // Damage.
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
          "missing-attribute", "missing-attribute"},
         false},
        {"datastore lost its link to a vdisk that names it",
         [&] { db.remove("Datastore/dsA/vdisks/vdA"); }, {"broken-link-pair"}},
        {"vdisk lost its link to the datastore that lists it",
         [&] { db.remove("VDisk/vdA/datastore"); }, {"broken-link-pair"}},
        {"attribute file missing", [&] { db.remove("VDisk/vdA/uuid"); }, {"missing-attribute"},
         false},
        {"links of a form the store does not write", [&] {
             db.link("Node/203/vdisks/vdX", "/etc");
             db.remove("Datastore/dsA/members/202");
             db.link("Datastore/dsA/members/202", "202");
             db.remove("VDisk/vdA/memberinfo/202/nodestatus");
             db.link("VDisk/vdA/memberinfo/202/nodestatus", "../../../../Node/88888/status");
         }, {"bad-link", "bad-link", "bad-link", "datastore-member-unlisted"}, false},
        {"entries the store does not make", [&] {
             db.file("Node/201/junk", "x\n");
             db.link("VDisk/evil", "/tmp");
             db.link("Datastore/dsA/members/abc", "../../../Node/abc");
         }, {"stray-entry", "stray-entry", "stray-entry"}, false},
        // Following a link that loops is no proof that its target is gone.
        {"links to a vdisk that cannot be read", [&] {
             db.remove("VDisk/snA");
             db.link("VDisk/snA", "snA");
         }, {"stray-entry", "unreadable", "unreadable", "unreadable"}, false},
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
        if (!row.repaired) {
            // What the repair must not touch stays as found.
            EXPECT_EQ(check(rig).kinds, row.kinds) << row.what;
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
    // looks again under it.  Made whole meanwhile (the member directory
    // back), the vdisk is left as it is.
    Settings patient = rig.cfg;
    patient["vdisk_lock_timeout_ms"] = "20000";
    const std::string conf = write_config(rig.tmp.path("patient.conf"), patient);
    struct Wait {
        bool mended;
        const char *said;
    } const waits[] = {
        {false, "repaired: node-link-without-member Node/202/vdisks/vdA: "
                "removed node 202 from vdisk vdA"},
        {true, "skipped: node-link-without-member Node/202/vdisks/vdA: no longer so"},
    };
    for (const Wait &w : waits) {
        Store("/tmp").file("VDISK-vdA", std::to_string(holder) + "\n");
        Store(rig.db()).remove("Node/202/vdisks/vdA");
        Store(rig.db()).link("Node/202/vdisks/vdA", "../../../VDisk/vdA");
        const pid_t releaser = fork();
        if (releaser == 0) {
            usleep(500 * 1000);
            if (w.mended)
                mkdir((rig.db() + "/VDisk/vdA/memberinfo/202").c_str(), 0777);
            unlink("/tmp/VDISK-vdA");
            _exit(0);
        }
        CtlRun waited = run_marloctl({"-C", conf, "check", "--repair"}, rig.tmp);
        waitpid(releaser, nullptr, 0);
        EXPECT_NE(waited.out.find(w.said), std::string::npos) << waited.out;
        EXPECT_EQ(fs::is_symlink(rig.db() + "/Node/202/vdisks/vdA"), w.mended) << waited.out;
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
        {[&] { db.remove("VDisk/vdA/name"); }, "ERROR  node 201 cannot announce: VDisk/vdA/name is missing"},
        {[] { Store("/tmp").link("NODE-201", "/nonexistent"); },
         "ERROR  /tmp/NODE-201 is a symbolic link: node 201 cannot be updated"},
        {[&] { db.remove("Node/202/vdisks/vdA"); },
         "WARN   member-without-node-link: member 202 serves frontends but node 202 does not "
         "link the vdisk (VDisk/vdA/memberinfo/202/frontend; marloctl check --repair mends it)"},
    };
    for (const Row &row : rows) {
        SetUp();
        row.damage();
        CtlRun r = rig.ctl({"health"});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_EQ(r.out.rfind("ERROR\n", 0), 0u) << r.out;
        EXPECT_NE(("\n" + r.out).find("\n" + row.line), std::string::npos) << row.line << "\n" << r.out;
        Json doc;
        CtlRun json = rig.ctl({"health", "--json"});
        ASSERT_FALSE(parse_json(json.out, &doc)) << json.out;
        EXPECT_EQ(doc["status"].text, "ERROR") << json.out;
    }
    rig.tmp.write_file("local_nodes", "");
}

}  // namespace
