// Replays the seed corpora and every input the fuzzers found (kept in
// fuzz/regressions/<target>/) through the fuzz entry points, in the normal
// build and the sanitizer build alike.  An input that breaks an invariant
// aborts the test program; a sanitizer report fails it.  The seeds are also
// checked for what makes them worth starting from: the datagrams are
// accepted without an error (but for those sent under descriptor pressure) and
// drive the store through creation, update, fence check and removal; the
// control lines reach every send action; the full configuration file is read to
// its end.
#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "daemon/config.h"
#include "entries.h"
#include "fuzz_store.h"
#include "seeds.h"

namespace fs = std::filesystem;

namespace {

// The files kept for target, in name order.
std::vector<Seed> regressions(const std::string &target)
{
    std::vector<Seed> out;
    fs::path dir = fs::path(MARLO_FUZZ_REGRESSIONS) / target;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file())
            continue;
        std::ifstream in(it->path(), std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        out.push_back({it->path().filename().string(), bytes.str()});
    }
    std::sort(out.begin(), out.end(), [](const Seed &a, const Seed &b) { return a.name < b.name; });
    return out;
}

template <typename Fn> void run(const Seed &s, Fn one)
{
    SCOPED_TRACE(s.name);
    one(reinterpret_cast<const uint8_t *>(s.bytes.data()), s.bytes.size());
}

std::vector<std::string> lines_with(const std::string &text, const std::string &needle)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (line.find(needle) != std::string::npos)
            out.push_back(line);
    return out;
}

bool contains(const std::string &text, const std::string &needle)
{
    return text.find(needle) != std::string::npos;
}

// Capturing the log puts a file into /tmp, so here only lock files left in
// /tmp count (the fuzzers, alone in a private /tmp, count every entry).
bool strict_tmp() { return false; }

}  // namespace

TEST(FuzzReplay, ReceiveSeedsApplyWithoutErrorsAndReachEveryStoreStep)
{
    fuzz_receive_init(strict_tmp());
    fuzz_store_clear();  // set-up applied the first seeds already
    std::vector<Seed> seeds = receive_seeds();
    testing::internal::CaptureStderr();
    for (const Seed &s : seeds)
        if (!contains(s.name, "fd-pressure")) {
            EXPECT_LT(uint8_t(s.bytes.back()), 0xf8) << s.name << " asks for descriptor pressure";
            run(s, fuzz_receive_one);
        }
    std::string log = testing::internal::GetCapturedStderr();
    // Under descriptor pressure steps fail with errors; the target checks
    // that nothing is left open or behind.
    for (const Seed &s : seeds)
        if (contains(s.name, "fd-pressure"))
            run(s, fuzz_receive_one);

    // Only the two seeds that are meant to be refused leave an error.
    for (const std::string &line : lines_with(log, "error: ")) {
        EXPECT_TRUE(contains(line, "Duplicate VDisk Entry vd-a") ||
                    contains(line, "Received unknown header type 7"))
            << line;
    }
    for (const char *step :
         {"Create Datastore ds-fuzz-01", "Create VDisk vd-a by Node 101",
          "Update VDisk vd-a by Node 102", "Update VDisk vd-a ref Snapshot sn-a",
          "Call /bin/true uuid=vd-a member=101", "Update VDisk vd-a delete Member 102",
          "Stale VDisk vd-b of member 101", "Delete VDisk vd-a", "Create VDisk vd-fourteen-ch",
          "Delete Datastore ds-fuzz-01"})
        EXPECT_TRUE(contains(log, step)) << "no line with: " << step;
}

TEST(FuzzReplay, ReceiveRegressions)
{
    fuzz_receive_init(strict_tmp());
    for (const Seed &s : regressions("receive"))
        run(s, fuzz_receive_one);
}

TEST(FuzzReplay, CtrlSeedsReachEverySendAction)
{
    fuzz_ctrl_init(strict_tmp());
    testing::internal::CaptureStderr();
    for (const Seed &s : ctrl_seeds())
        run(s, fuzz_ctrl_one);
    std::string log = testing::internal::GetCapturedStderr();
    for (const char *step :
         {"Send SINGLE_VDISK_PING 340B from Node 101 VDisk vd-a", "Send DS_PING 294B from Node 101",
          "Send DS_PING 207B from Node 102", "Send VDISK_DELETED 225B from Node 101 VDisk vd-a",
          "Oversized VDISK_DELETED from Node 101", "Missing VDisk UUID for CTRL vdisk_deleted",
          "Malformed CTRL MSG ds_ping 101", "MSG (ignored) from CTRL client"})
        EXPECT_TRUE(contains(log, step)) << "no line with: " << step;
}

TEST(FuzzReplay, CtrlRegressions)
{
    fuzz_ctrl_init(strict_tmp());
    for (const Seed &s : regressions("ctrl"))
        run(s, fuzz_ctrl_one);
}

TEST(FuzzReplay, ConfigSeedsAndRegressions)
{
    fuzz_config_init();
    std::vector<Seed> seeds = config_seeds();
    ASSERT_EQ(seeds.front().name, "all-keys");
    run(seeds.front(), fuzz_config_one);
    // Read to its last line: the settings of the first and last lines hold.
    EXPECT_EQ(cfg_syslog_facility, LOG_LOCAL3);
    EXPECT_EQ(cfg_stats_interval, 86400);
    for (const Seed &s : seeds)
        run(s, fuzz_config_one);
    for (const Seed &s : regressions("config"))
        run(s, fuzz_config_one);
}
