// The cluster benchmark's fast variant (bench/scale.cpp, `marlo-scale
// --fast`): six daemons, each in its own network namespace, live through one
// event of every kind (cold start, a node joining with new vdisks, a vdisk
// deleted and a member leaving one, a host killed and restarted, a host cut
// off and back).  After each, every store must show the result, and the
// kernel must have dropped no datagram in any host's namespace.  The
// benchmark reads the stores itself; here its RESULT lines are judged, and
// the yardstick it reads them with is checked against its own seeds.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "harness.h"
#include "netns.h"
#include "scale_layout.h"
#include "scale_watch.h"

using namespace harness;

namespace {

// key -> value of one "RESULT key=value ..." line.
std::map<std::string, std::string> fields(const std::string &line)
{
    std::map<std::string, std::string> out;
    std::istringstream in(line);
    std::string word;
    while (in >> word)
        if (auto eq = word.find('='); eq != std::string::npos)
            out[word.substr(0, eq)] = word.substr(eq + 1);
    return out;
}

TEST(Scale, SixHostsConvergeAfterEveryKindOfEventWithoutDrops)
{
    if (std::string why = netns_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    // Outside /tmp, which the benchmark and each of its hosts replace.
    TempDir tmp("/var/tmp");
    const std::string bench =
        (std::filesystem::path(marlo_bin()).parent_path() / "bench" / "marlo-scale").string();
    CmdResult r = run_cmd({bench, "--fast", "--marlo", marlo_bin(), "--run-dir", tmp.path("run")});

    std::map<std::string, std::map<std::string, std::string>> results;
    std::istringstream out(r.output);
    for (std::string line; std::getline(out, line);)
        if (line.rfind("RESULT ", 0) == 0) {
            auto f = fields(line);
            results[f["scenario"]] = f;
        }
    for (const char *scenario :
         {"cold", "steady", "join", "delete", "leave", "kill", "rejoin", "partition", "final"}) {
        SCOPED_TRACE(scenario);
        ASSERT_TRUE(results.count(scenario)) << r.output;
        const auto &f = results[scenario];
        EXPECT_EQ(f.at("converged"), "1") << r.output;
        EXPECT_EQ(f.at("drops"), "0") << r.output;
    }
    // The counters behind "no drops" were read at all.
    EXPECT_NE(results["cold"]["rx"], "0") << r.output;
    EXPECT_EQ(results["cold"]["hosts"], "6");
    EXPECT_EQ(r.status, 0) << r.output;
}

// What the benchmark calls converged: the stores of all hosts' seeds laid
// over each other hold every member's data, as a store must once every host
// has heard every other; one host's seed alone lacks the other members'.
// A vdisk's 3 members sit on 3 different hosts.  No daemon runs here.
TEST(ScaleLayout, AllHostsSeedsTogetherMeetTheConvergedModelAndOneAloneDoesNot)
{
    ScaleShape shape;
    shape.hosts = 6;
    shape.vdisks_per_node = 6;
    ScaleLayout layout;
    std::string err;
    ASSERT_TRUE(layout.build(shape, &err)) << err;
    ASSERT_EQ(layout.nodes(), 12u);
    ASSERT_EQ(layout.model().vdisks.size(), 24u);
    for (const auto &[uuid, vd] : layout.model().vdisks) {
        std::set<size_t> hosts;
        for (uint32_t m : vd.membership)
            hosts.insert(layout.host_of(layout.index_of(m)));
        EXPECT_EQ(hosts.size(), 3u) << uuid;
        EXPECT_EQ(vd.members.size(), 3u) << uuid;
    }

    TempDir tmp;
    const std::string all = tmp.path("all"), one = tmp.path("one");
    for (size_t h = 0; h < shape.hosts; h++)
        layout.seed(h, all);
    layout.seed(0, one);
    Watch w(2);
    layout.model().expect(w, 0, all, false);
    layout.model().expect(w, 1, one, false);
    Converged c = w.run(std::chrono::steady_clock::now(), 0, 0ms, [] { return false; });
    ASSERT_EQ(c.per_host.size(), 2u);
    EXPECT_GE(c.per_host[0], 0) << c.missing;
    EXPECT_LT(c.per_host[1], 0);
    EXPECT_NE(c.missing.find(one + "/"), std::string::npos) << c.missing;
}

}  // namespace
