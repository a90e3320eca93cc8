// marloctl status and graph on object databases laid out by hand: a healthy
// one as the daemon writes it, and the same one damaged in many ways.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <regex>

#include "integration/store_seed.h"
#include "tools/ctl.h"

using namespace ctl;
using namespace harness;

namespace {

// Heartbeat 100 s: silent means over 300 s.  Node 101 last pinged 5000 s
// ago (silent), node 102 20 s ago: both keep their number of digits for
// longer than any run takes.
constexpr int kHeartbeat = 100;
constexpr time_t kOld = 5000;
constexpr time_t kRecent = 20;

class MarloctlStatus : public testing::Test {
protected:
    TempDir tmp;
    Store db{tmp.path("DB")};
    std::string conf;
    time_t seeded = 0;

    void SetUp() override
    {
        Settings cfg = test_settings(tmp);
        cfg["heartbeat_interval"] = std::to_string(kHeartbeat);
        conf = write_config(tmp.path("marlo.conf"), cfg);
    }

    // Two nodes in datastore ds01; plain vdisk vd01 on both (node 102
    // serving no frontend), snapshot sn01 of it on node 101.
    void seed()
    {
        using namespace seed;
        const std::string work = db.root();
        seeded = time(nullptr);
        write_node(work, {.id = 101, .vendor = "acme", .model = "box1", .freespace = 5000,
                          .datastore = "ds01"});
        write_node(work, {.id = 102, .vendor = "acme", .model = "box2", .freespace = 100,
                          .datastore = "ds01"});
        // What only a datagram's sender and arrival tell.
        write_attr(work + "/Node/101", "ipaddr", "10.1.0.1");
        write_attr(work + "/Node/101", "lastping", std::to_string(seeded - kOld));
        write_attr(work + "/Node/102", "ipaddr", "10.1.0.2");
        write_attr(work + "/Node/102", "lastping", std::to_string(seeded - kRecent));
        write_datastore(work, {.uuid = "ds01", .name = "pool1", .members = {101, 102}});
        write_vdisk(work, {.uuid = "vd01",
                           .name = "disk1",
                           .description = "plain disk",
                           .highest_gen_count = 3,
                           .membership = {101, 102},
                           .memberinfo = {{.node = 101, .frontends = {"10.0.0.1", "10.0.0.2"}},
                                          {.node = 102}},
                           .datastore = "ds01"});
        write_vdisk(work, {.uuid = "sn01",
                           .name = "snap1",
                           .snapshot = 1,
                           .parent = "vd01",
                           .snaptime = "15-03-05_07.08.09",
                           .highest_gen_count = 4,
                           .membership = {101},
                           .memberinfo = {{.node = 101, .frontends = {"10.0.0.1"}}},
                           .datastore = "ds01"});
    }

    CtlRun run(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"-C", conf});
        return run_marloctl(args, tmp);
    }

    // The status table, with every LASTPING silence checked against the
    // clock around the run and then written as N...: rows compare exactly.
    struct Tables {
        CtlRun r;
        std::vector<std::string> nodes, datastores, vdisks, problems;
    };
    Tables status(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{"status"};
        args.insert(args.end(), extra.begin(), extra.end());
        const time_t before = time(nullptr);
        Tables t{run(args), {}, {}, {}, {}};
        const time_t after = time(nullptr);
        const std::regex silence(R"(  (-?\d+)s(\*?)  )");
        for (std::string row : table_rows(t.r.out, "Nodes")) {
            std::smatch m;
            if (std::regex_search(row, m, silence)) {
                const long long s = std::stoll(m[1]);
                const std::string id = row.substr(0, row.find(' '));
                const long long lp = id == "101" ? seeded - kOld : seeded - kRecent;
                EXPECT_GE(s, before - lp) << row;
                EXPECT_LE(s, after - lp) << row;
                row.replace(size_t(m.position(1)), size_t(m.length(1)),
                            std::string(size_t(m.length(1)), 'N'));
            }
            t.nodes.push_back(row);
        }
        t.datastores = table_rows(t.r.out, "Datastores");
        t.vdisks = table_rows(t.r.out, "VDisks");
        t.problems = problem_lines(t.r.out);
        return t;
    }

    // The cell of the row whose first cell is `key`, in column `column` of
    // the section's table.
    std::string cell_of(const CtlRun &r, const std::string &section, const std::string &key,
                        const std::string &column)
    {
        const std::vector<std::string> header = cells(table_header(r.out, section));
        const auto col = std::find(header.begin(), header.end(), column);
        if (col == header.end())
            return "<no column " + column + ">";
        for (const std::string &row : table_rows(r.out, section)) {
            const std::vector<std::string> c = cells(row);
            if (!c.empty() && c[0] == key)
                return size_t(col - header.begin()) < c.size() ? c[size_t(col - header.begin())]
                                                             : "<short row>";
        }
        return "<no row " + key + ">";
    }
};

TEST_F(MarloctlStatus, ShowsEveryObjectOfAHealthyStore)
{
    seed();
    Tables t = status();
    ASSERT_EQ(t.r.status, 0) << t.r.err;
    EXPECT_EQ(t.r.err, "");
    EXPECT_NE(t.r.out.find("* over 300s"), std::string::npos) << t.r.out;
    EXPECT_EQ(table_header(t.r.out, "Nodes"),
              "ID   ADDRESS   VERSION  VENDOR/MODEL  LASTPING  DATASTORE  VDISKS  FREESPACE");
    EXPECT_EQ(t.nodes, (std::vector<std::string>{
                           "101  10.1.0.1  v1.8     acme/box1     NNNNs*    ds01       2       5000",
                           "102  10.1.0.2  v1.8     acme/box2     NNs       ds01       1       100",
                       }))
        << t.r.out;
    EXPECT_EQ(t.datastores, (std::vector<std::string>{"ds01  pool1  101,102  sn01,vd01"}))
        << t.r.out;
    EXPECT_EQ(table_header(t.r.out, "VDisks"),
              "UUID  NAME   KIND           GEN  MEMBERS  FRONTENDS                       DATASTORE");
    EXPECT_EQ(t.vdisks, (std::vector<std::string>{
                            "sn01  snap1  snapshot:vd01  4    101      101=10.0.0.1                    ds01",
                            "vd01  disk1  plain          3    101,102  101=10.0.0.1,10.0.0.2;102=none  ds01",
                        }))
        << t.r.out;
    EXPECT_TRUE(t.problems.empty()) << t.r.out;
}

TEST_F(MarloctlStatus, EmptyAndMissingWorkDirectories)
{
    db.dir(".");
    Tables t = status();
    ASSERT_EQ(t.r.status, 0) << t.r.err;
    for (const char *section : {"Nodes", "Datastores", "VDisks"})
        EXPECT_EQ(table_header(t.r.out, section), "") << section << "\n" << t.r.out;
    EXPECT_NE(t.r.out.find("Datastores\n(none)\n"), std::string::npos) << t.r.out;

    std::filesystem::remove_all(tmp.path("DB"));
    CtlRun r = run({"status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("work directory " + tmp.path("DB") + ": No such file or directory"),
              std::string::npos)
        << r.err;
}

// One way of damaging the healthy store, and what status shows for it.
struct Damage {
    const char *name;
    std::function<void(const Store &)> apply;
    const char *section;
    const char *row;      // first cell of the row looked at
    const char *column;
    const char *cell;     // expected content of that cell
    const char *problem;  // expected line under "Problems" (nullptr: none expected)
};

void PrintTo(const Damage &d, std::ostream *os) { *os << d.name; }

std::string many(char c, size_t n) { return std::string(n, c); }

const Damage damages[] = {
    {"EmptyVendor", [](const Store &s) { s.file("Node/101/vendor", ""); }, "Nodes", "101",
     "VENDOR/MODEL", "?/box1", "Node/101/vendor: empty"},
    {"MissingLastping", [](const Store &s) { s.remove("Node/101/lastping"); }, "Nodes", "101",
     "LASTPING", "-", nullptr},
    {"OversizedAddress", [](const Store &s) { s.file("Node/101/ipaddr", many('1', 299) + "\n"); },
     "Nodes", "101", "ADDRESS", "?", "Node/101/ipaddr: oversized (300 bytes)"},
    {"HalfWrittenLastping", [](const Store &s) { s.file("Node/102/lastping", "17"); }, "Nodes",
     "102", "LASTPING", "?", "Node/102/lastping: malformed"},
    {"VendorTooLong", [](const Store &s) { s.file("Node/102/vendor", many('v', 33) + "\n"); },
     "Nodes", "102", "VENDOR/MODEL", "?/box2", "Node/102/vendor: longer than 32 characters"},
    {"FifoInsteadOfAFile", [](const Store &s) {
         s.remove("Node/101/ipaddr");
         ASSERT_EQ(mkfifo((s.root() + "/Node/101/ipaddr").c_str(), 0644), 0);
     },
     "Nodes", "101", "ADDRESS", "?", "Node/101/ipaddr: not a regular file"},
    {"DirectoryInsteadOfAFile", [](const Store &s) {
         s.remove("Node/102/freespace");
         s.dir("Node/102/freespace");
     },
     "Nodes", "102", "FREESPACE", "?", "Node/102/freespace: not a regular file"},
    {"DanglingVDiskLinkOfANode",
     [](const Store &s) { s.link("Node/102/vdisks/ghost", "../../../VDisk/ghost"); }, "Nodes",
     "102", "VDISKS", "2!", nullptr},
    {"NodeInAMissingDatastore", [](const Store &s) { s.file("Node/102/datastoremember", "dsX\n"); },
     "Nodes", "102", "DATASTORE", "dsX!", nullptr},
    {"EmptyDatastoreMember", [](const Store &s) { s.file("Node/102/datastoremember", "\n"); },
     "Nodes", "102", "DATASTORE", "-", nullptr},
    {"NodeVDisksFolderMissing", [](const Store &s) { s.remove("Node/101/vdisks"); }, "Nodes",
     "101", "VDISKS", "-", nullptr},
    {"NodeNameNotAnId", [](const Store &s) { s.dir("Node/abc"); },
     "Nodes", "abc", "ADDRESS", "-", "Node/abc: not a node id"},
    {"StrayFileAmongNodes", [](const Store &s) { s.file("Node/stray", "x\n"); }, "Nodes", "101",
     "ADDRESS", "10.1.0.1", "Node/stray: not a directory"},
    {"DanglingDatastoreMember",
     [](const Store &s) { s.link("Datastore/ds01/members/999", "../../../Node/999"); },
     "Datastores", "ds01", "MEMBERS", "101,102,999!", nullptr},
    {"RegularFileAmongDatastoreLinks",
     [](const Store &s) { s.file("Datastore/ds01/vdisks/junk", "x\n"); }, "Datastores", "ds01",
     "VDISKS", "sn01,vd01", "Datastore/ds01/vdisks/junk: not a symbolic link"},
    {"DatastoreNameMissing", [](const Store &s) { s.remove("Datastore/ds01/name"); }, "Datastores",
     "ds01", "NAME", "-", nullptr},
    {"DatastoreTopIsAFile", [](const Store &s) {
         s.remove("Datastore");
         s.file("Datastore", "x\n");
     },
     "VDisks", "vd01", "DATASTORE", "ds01!", "Datastore: not a directory"},
    {"MalformedMembership", [](const Store &s) { s.file("VDisk/vd01/membership", "101\n0\n"); },
     "VDisks", "vd01", "MEMBERS", "?", "VDisk/vd01/membership: malformed"},
    {"MembershipWithoutFinalNewline",
     [](const Store &s) { s.file("VDisk/vd01/membership", "101\n10"); }, "VDisks", "vd01",
     "FRONTENDS", "101=10.0.0.1,10.0.0.2;102=none", "VDisk/vd01/membership: malformed"},
    {"MissingMembership", [](const Store &s) { s.remove("VDisk/vd01/membership"); }, "VDisks",
     "vd01", "MEMBERS", "-", nullptr},
    {"OversizedMembership",
     [](const Store &s) { s.file("VDisk/vd01/membership", many('7', 2 << 20) + "\n"); },
     "VDisks", "vd01", "MEMBERS", "?", "VDisk/vd01/membership: oversized (2097153 bytes)"},
    {"MemberOfAMissingNode",
     [](const Store &s) { s.file("VDisk/vd01/membership", "101\n102\n103\n"); },
     "VDisks", "vd01", "MEMBERS", "101,102,103!", nullptr},
    {"MalformedFrontend",
     [](const Store &s) { s.file("VDisk/vd01/memberinfo/101/frontend", "10.0.0.1\n10.0.0.256\n"); },
     "VDisks", "vd01", "FRONTENDS", "101=?;102=none",
     "VDisk/vd01/memberinfo/101/frontend: malformed"},
    {"EmptyFrontendListIsNoFrontend",
     [](const Store &s) { s.file("VDisk/vd01/memberinfo/101/frontend", ""); }, "VDisks", "vd01",
     "FRONTENDS", "101=none;102=none", nullptr},
    {"MissingFrontendFileIsNoFrontend",
     [](const Store &s) { s.remove("VDisk/vd01/memberinfo/101/frontend"); }, "VDisks", "vd01",
     "FRONTENDS", "101=none;102=none", nullptr},
    {"MemberWithoutMemberinfo", [](const Store &s) { s.remove("VDisk/vd01/memberinfo/102"); },
     "VDisks", "vd01", "FRONTENDS", "101=10.0.0.1,10.0.0.2;102=-", nullptr},
    {"UnlistedMemberWithData",
     [](const Store &s) { s.file("VDisk/vd01/memberinfo/105/frontend", "10.0.0.5\n"); },
     "VDisks", "vd01", "FRONTENDS", "101=10.0.0.1,10.0.0.2;102=none;105=10.0.0.5", nullptr},
    {"EmptyMembershipIsNoMember", [](const Store &s) { s.file("VDisk/vd01/membership", ""); },
     "VDisks", "vd01", "MEMBERS", "none", nullptr},
    {"DanglingDatastoreLinkOfAVDisk", [](const Store &s) {
         s.remove("VDisk/vd01/datastore");
         s.link("VDisk/vd01/datastore", "../../Datastore/dsGone");
     },
     "VDisks", "vd01", "DATASTORE", "dsGone!", nullptr},
    {"DatastoreLinkWithoutName", [](const Store &s) {
         s.remove("VDisk/vd01/datastore");
         s.link("VDisk/vd01/datastore", "../../Datastore/");
     },
     "VDisks", "vd01", "DATASTORE", "?",
     "VDisk/vd01/datastore: malformed link target `../../Datastore/'"},
    {"DatastoreLinkIsAFile", [](const Store &s) {
         s.remove("VDisk/vd01/datastore");
         s.file("VDisk/vd01/datastore", "ds01\n");
     },
     "VDisks", "vd01", "DATASTORE", "?", "VDisk/vd01/datastore: not a symbolic link"},
    {"SnapshotOfAMissingParent", [](const Store &s) { s.file("VDisk/sn01/parent", "vdX\n"); },
     "VDisks", "sn01", "KIND", "snapshot:vdX!", nullptr},
    {"ParentNameLeavingTheStore",
     [](const Store &s) { s.file("VDisk/sn01/parent", "../../etc\n"); },
     "VDisks", "sn01", "KIND", "snapshot:../../etc!", nullptr},
    {"SnapshotFlagMissing", [](const Store &s) { s.remove("VDisk/sn01/snapshot"); }, "VDisks",
     "sn01", "KIND", "-", nullptr},
    {"EmptyGeneration", [](const Store &s) { s.file("VDisk/vd01/highest_gen_count", ""); },
     "VDisks", "vd01", "GEN", "?", "VDisk/vd01/highest_gen_count: empty"},
    {"VDiskNameTooLong", [](const Store &s) { s.dir("VDisk/abcdefghijklmnop"); }, "VDisks",
     "abcdefghijklmnop", "NAME", "-", "VDisk/abcdefghijklmnop: name longer than 14 characters"},
    {"VDiskIsAFile", [](const Store &s) { s.file("VDisk/vdF", "x\n"); }, "VDisks", "vd01", "GEN",
     "3", "VDisk/vdF: not a directory"},
};

class MarloctlDamagedStore : public MarloctlStatus,
                             public testing::WithParamInterface<Damage> {};

TEST_P(MarloctlDamagedStore, IsShownAsSuchAndStaysValidInEveryForm)
{
    const Damage &d = GetParam();
    seed();
    d.apply(db);
    Tables t = status();
    ASSERT_EQ(t.r.status, 0) << t.r.err;
    EXPECT_EQ(t.r.err, "") << "nothing is logged without -v";
    EXPECT_EQ(cell_of(t.r, d.section, d.row, d.column), d.cell) << t.r.out;
    if (d.problem) {
        EXPECT_NE(std::find(t.problems.begin(), t.problems.end(), d.problem), t.problems.end())
            << "expected the problem line: " << d.problem << "\n" << t.r.out;
    } else {
        EXPECT_TRUE(t.problems.empty()) << t.r.out;
    }

    CtlRun json = run({"status", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    Json doc;
    auto err = parse_json(json.out, &doc);
    EXPECT_FALSE(err) << *err << "\n" << json.out;

    CtlRun graph = run({"graph"});
    ASSERT_EQ(graph.status, 0) << graph.err;
    EXPECT_EQ(graph.out.rfind("digraph marlo {\n", 0), 0u) << graph.out;
    const std::string dot = which("dot");
    if (!dot.empty()) {
        ToolRun check = run_with_input(dot, {"-Tsvg", "-o/dev/null"}, graph.out, tmp);
        EXPECT_EQ(check.status, 0) << check.err << "\n" << graph.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, MarloctlDamagedStore, testing::ValuesIn(damages),
                         [](const testing::TestParamInfo<Damage> &i) {
                             return std::string(i.param.name);
                         });

TEST_F(MarloctlStatus, VerboseShowsWhatTheReadersMet)
{
    seed();
    db.file("Node/101/vendor", "acme");  // no newline
    CtlRun quiet = run({"status"});
    EXPECT_EQ(quiet.err, "");
    CtlRun loud = run({"-v", "status"});
    ASSERT_EQ(loud.status, 0);
    EXPECT_NE(loud.err.find("error: StringLoad(): Malformed file vendor"), std::string::npos)
        << loud.err;
    EXPECT_EQ(loud.out.substr(loud.out.find("Datastores")),
              quiet.out.substr(quiet.out.find("Datastores")));
}

TEST_F(MarloctlStatus, JsonCarriesTheSameContent)
{
    seed();
    db.file("Node/102/vendor", "caf\xc3\xa9 \"x\"\n");
    db.file("Node/102/model", "bad\xff\x01\n");
    db.file("VDisk/vd01/highest_gen_count", "");
    const time_t before = time(nullptr);
    CtlRun r = run({"status", "--json"});
    const time_t after = time(nullptr);
    ASSERT_EQ(r.status, 0) << r.err;
    Json doc;
    auto err = parse_json(r.out, &doc);
    ASSERT_FALSE(err) << *err << "\n" << r.out;
    if (!which("python3").empty()) {
        ToolRun py = run_with_input(which("python3"),
                                    {"-c", "import json,sys; json.load(sys.stdin)"}, r.out, tmp);
        EXPECT_EQ(py.status, 0) << py.err;
    } else {
        std::printf("python3 not installed: second JSON check skipped\n");
    }

    EXPECT_EQ(doc["work_directory"].text, tmp.path("DB"));
    EXPECT_EQ(doc["heartbeat_interval"].num(), kHeartbeat);
    EXPECT_GE(doc["time"].num(), before);
    EXPECT_LE(doc["time"].num(), after);

    const Json &nodes = doc["nodes"];
    ASSERT_EQ(nodes.items.size(), 2u);
    const Json &n101 = nodes[0];
    EXPECT_EQ(n101["id"].num(), 101);
    EXPECT_EQ(n101["address"].text, "10.1.0.1");
    EXPECT_EQ(n101["lastping"].num(), seeded - kOld);
    EXPECT_EQ(n101["silence"].num(), doc["time"].num() - (seeded - kOld));
    EXPECT_TRUE(n101["silent"].b);
    EXPECT_EQ(n101["datastore"].text, "ds01");
    EXPECT_TRUE(n101["datastore_present"].b);
    ASSERT_EQ(n101["vdisks"].items.size(), 2u);
    EXPECT_EQ(n101["vdisks"][0]["uuid"].text, "sn01");
    EXPECT_TRUE(n101["vdisks"][0]["present"].b);
    EXPECT_EQ(n101["freespace"].num(), 5000);
    EXPECT_TRUE(n101["problems"].items.empty());

    const Json &n102 = nodes[1];
    EXPECT_FALSE(n102["silent"].b);
    EXPECT_EQ(n102["vendor"].text, "caf\xc3\xa9 \"x\"");
    EXPECT_EQ(n102["model"].text, "bad\xef\xbf\xbd\x01");
    ASSERT_EQ(n102["vdisks"].items.size(), 1u);
    EXPECT_EQ(n102["vdisks"][0]["uuid"].text, "vd01");

    const Json &ds = doc["datastores"][0];
    EXPECT_EQ(ds["uuid"].text, "ds01");
    EXPECT_EQ(ds["name"].text, "pool1");
    ASSERT_EQ(ds["members"].items.size(), 2u);
    EXPECT_EQ(ds["members"][1]["node"].text, "102");

    const Json &sn = doc["vdisks"][0];
    EXPECT_EQ(sn["uuid"].text, "sn01");
    EXPECT_TRUE(sn["snapshot"].b);
    EXPECT_EQ(sn["parent"].text, "vd01");
    EXPECT_TRUE(sn["parent_present"].b);
    EXPECT_EQ(sn["highest_gen_count"].num(), 4);

    const Json &vd = doc["vdisks"][1];
    EXPECT_FALSE(vd["snapshot"].b);
    EXPECT_TRUE(vd["parent"].is_null());
    EXPECT_TRUE(vd["highest_gen_count"].is_null());
    ASSERT_EQ(vd["problems"].items.size(), 1u);
    EXPECT_EQ(vd["problems"][0]["file"].text, "VDisk/vd01/highest_gen_count");
    EXPECT_EQ(vd["problems"][0]["problem"].text, "empty");
    ASSERT_EQ(vd["members"].items.size(), 2u);
    EXPECT_EQ(vd["members"][0]["node"].text, "101");
    ASSERT_EQ(vd["members"][0]["frontends"].items.size(), 2u);
    EXPECT_EQ(vd["members"][0]["frontends"][1].text, "10.0.0.2");
    EXPECT_EQ(vd["members"][1]["frontends"].type, Json::Type::Array);
    EXPECT_TRUE(vd["members"][1]["frontends"].items.empty());
    EXPECT_EQ(vd["datastore"].text, "ds01");
}

TEST_F(MarloctlStatus, FiltersNarrowToANodeOrAVDisk)
{
    seed();
    Tables byNode = status({"--node", "102"});
    ASSERT_EQ(byNode.r.status, 0) << byNode.r.err;
    ASSERT_EQ(byNode.nodes.size(), 1u) << byNode.r.out;
    EXPECT_EQ(byNode.nodes[0].substr(0, 5), "102  ");
    EXPECT_EQ(byNode.datastores.size(), 1u) << byNode.r.out;
    ASSERT_EQ(byNode.vdisks.size(), 1u) << byNode.r.out;
    EXPECT_EQ(byNode.vdisks[0].substr(0, 6), "vd01  ");

    Tables byVDisk = status({"--vdisk=sn01"});
    ASSERT_EQ(byVDisk.r.status, 0) << byVDisk.r.err;
    ASSERT_EQ(byVDisk.nodes.size(), 1u) << byVDisk.r.out;
    EXPECT_EQ(byVDisk.nodes[0].substr(0, 5), "101  ");
    EXPECT_EQ(byVDisk.datastores, (std::vector<std::string>{"ds01  pool1  101,102  sn01,vd01"}));
    ASSERT_EQ(byVDisk.vdisks.size(), 1u);
    EXPECT_EQ(byVDisk.vdisks[0].substr(0, 6), "sn01  ");

    Tables both = status({"--node=101", "--vdisk", "vd01"});
    ASSERT_EQ(both.r.status, 0) << both.r.err;
    EXPECT_EQ(both.nodes.size(), 1u) << both.r.out;
    EXPECT_EQ(both.vdisks.size(), 1u) << both.r.out;

    CtlRun graph = run({"graph", "--vdisk", "vd01"});
    ASSERT_EQ(graph.status, 0) << graph.err;
    EXPECT_EQ(graph.out.find("sn01"), std::string::npos) << graph.out;
    EXPECT_NE(graph.out.find("\"node 102\" -> \"vdisk vd01\" [label=\"serves\"];"),
              std::string::npos)
        << graph.out;

    CtlRun unknown = run({"status", "--node", "103"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "");
    EXPECT_NE(unknown.err.find("node 103 not found in " + tmp.path("DB")), std::string::npos)
        << unknown.err;
    CtlRun unknownVDisk = run({"graph", "--vdisk", "vdZ"});
    EXPECT_EQ(unknownVDisk.status, 1);
    EXPECT_NE(unknownVDisk.err.find("vdisk vdZ not found"), std::string::npos) << unknownVDisk.err;
}

TEST_F(MarloctlStatus, GraphDrawsObjectsRelationsAndWhatIsMissing)
{
    seed();
    db.link("Node/102/vdisks/ghost", "../../../VDisk/ghost");
    CtlRun r = run({"graph"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string &g = r.out;
    for (const char *line : {
             "  \"node 101\" [shape=box, label=\"node 101\\n10.1.0.1\\nacme/box1\"];\n",
             "  \"datastore ds01\" [shape=cylinder, label=\"datastore ds01\\npool1\"];\n",
             "  \"vdisk vd01\" [shape=ellipse, label=\"vdisk vd01\\ndisk1\\ngeneration 3\"];\n",
             "  \"node 101\" -> \"datastore ds01\" [label=\"member of\"];\n",
             "  \"node 102\" -> \"datastore ds01\" [label=\"member of\"];\n",
             "  \"node 101\" -> \"vdisk sn01\" [label=\"serves\"];\n",
             "  \"vdisk vd01\" -> \"datastore ds01\" [label=\"stored in\"];\n",
             "  \"vdisk sn01\" -> \"vdisk vd01\" [label=\"snapshot of\", style=dashed];\n",
             "  \"vdisk ghost\" [label=\"vdisk ghost\\n(missing)\", style=dashed, color=red];\n",
             "  \"node 102\" -> \"vdisk ghost\" [label=\"serves\"];\n",
         })
        EXPECT_NE(g.find(line), std::string::npos) << line << "in\n" << g;
    // Relations seen from both ends are drawn once.
    const std::string once = "\"node 101\" -> \"datastore ds01\"";
    EXPECT_EQ(g.find(once), g.rfind(once)) << g;
    EXPECT_EQ(g.substr(g.size() - 2), "}\n");

    const std::string dot = which("dot");
    if (dot.empty())
        GTEST_SKIP() << "dot not installed: rendering check skipped";
    ToolRun check = run_with_input(dot, {"-Tsvg", "-o/dev/null"}, g, tmp);
    EXPECT_EQ(check.status, 0) << check.err;
    EXPECT_EQ(check.err, "");
}

}  // namespace
