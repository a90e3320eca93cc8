// The cluster benchmark's fast variant (bench/scale.cpp, `marlo-scale
// --fast`): six daemons, each in its own network namespace, live through one
// event of every kind (cold start, a node joining with new vdisks, a vdisk
// deleted and a member leaving one, a host killed and restarted, a host cut
// off and back).  After each, every store must show the result, and the
// kernel must have dropped no datagram in any host's namespace.  The
// benchmark reads the stores itself; here only its RESULT lines are judged.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <string>

#include "harness.h"
#include "netns.h"

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

}  // namespace
