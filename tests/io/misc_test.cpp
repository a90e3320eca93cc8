// Tree removal and sleeping with stop and reload signals held back.
#include "io/misc.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "interrupt.h"

namespace {

class RmFr : public testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/marlo-rmfr-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        base_ = tmpl;
    }
    void TearDown() override
    {
        umount2(path("tree/mnt").c_str(), MNT_DETACH);
        std::string cmd = "rm -rf '" + base_ + "'";
        EXPECT_EQ(system(cmd.c_str()), 0);
    }
    std::string path(const std::string &rel) const { return base_ + "/" + rel; }
    void file(const std::string &rel) const { std::ofstream(path(rel)) << "x"; }
    void dir(const std::string &rel) const { ASSERT_EQ(mkdir(path(rel).c_str(), 0777), 0); }
    bool exists(const std::string &rel) const
    {
        struct stat st;
        return lstat(path(rel).c_str(), &st) == 0;
    }

    std::string base_;
};

TEST_F(RmFr, RemovesTreeDeepestFirstWithoutFollowingLinks)
{
    dir("outside");
    file("outside/target");
    dir("tree");
    dir("tree/a");
    dir("tree/a/b");
    file("tree/a/b/f");
    file("tree/top");
    ASSERT_EQ(symlink(path("outside").c_str(), path("tree/a/dirlink").c_str()), 0);
    ASSERT_EQ(symlink("../../outside/target", path("tree/a/filelink").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", path("tree/dangling").c_str()), 0);

    testing::internal::CaptureStderr();
    EXPECT_EQ(rm_fr(path("tree").c_str()), 0);
    std::string log = testing::internal::GetCapturedStderr();

    EXPECT_FALSE(exists("tree"));
    EXPECT_TRUE(exists("outside/target"));  // link targets stay
    for (const char *rel : {"tree/a/b/f", "tree/a/dirlink", "tree/a/filelink", "tree/dangling"})
        EXPECT_NE(log.find("debug: rm_fn(): unlink(" + path(rel) + "): 0\n"), std::string::npos)
            << rel << "\n"
            << log;
    size_t b = log.find("rmdir(" + path("tree/a/b") + "): 0");
    size_t a = log.find("rmdir(" + path("tree/a") + "): 0");
    size_t root = log.find("rmdir(" + path("tree") + "): 0");
    ASSERT_NE(root, std::string::npos) << log;
    EXPECT_LT(b, a);
    EXPECT_LT(a, root);
}

TEST_F(RmFr, MissingPathIsRemovedAlreadyAndSilent)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(rm_fr(path("absent").c_str()), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(RmFr, RefusesWhatIsNotADirectory)
{
    file("plain");
    dir("d");
    ASSERT_EQ(symlink(path("d").c_str(), path("dirlink").c_str()), 0);
    struct Case {
        std::string rel;
        int result;
        std::string message;
    };
    const Case cases[] = {
        {"plain", -2, "error: rm_fr(): " + path("plain") + " not a directory!\n"},
        {"dirlink", -2, "error: rm_fr(): " + path("dirlink") + " not a directory!\n"},
        {"plain/below", -1,
         "error: rm_fr(): lstat(" + path("plain/below") + "): Not a directory\n"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(rm_fr(path(c.rel).c_str()), c.result) << c.rel;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
    EXPECT_TRUE(exists("plain"));
    EXPECT_TRUE(exists("dirlink"));
    EXPECT_TRUE(exists("d"));
}

TEST_F(RmFr, StopsAtAnotherFileSystem)
{
    dir("tree");
    dir("tree/mnt");
    if (mount("marlo-rmfr", path("tree/mnt").c_str(), "tmpfs", 0, nullptr) != 0)
        GTEST_SKIP() << "cannot mount here: " << strerror(errno);
    file("tree/mnt/inside");
    testing::internal::CaptureStderr();
    EXPECT_EQ(rm_fr(path("tree").c_str()), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(exists("tree/mnt/inside"));
}

using Clock = std::chrono::steady_clock;

TEST(Msleep, HoldsStopSignalsForTheWholeSleep)
{
    CountingHandler term(SIGTERM);
    const pid_t me = this_tid();
    std::thread sender([&] {
        wait_blocked(me);
        signal_thread(me, SIGTERM);
    });
    const auto start = Clock::now();
    EXPECT_EQ(msleep(500), 0);
    const auto slept = Clock::now() - start;
    sender.join();
    EXPECT_GE(slept, std::chrono::milliseconds(500));
    EXPECT_EQ(term.count(), 1);  // delivered once the mask was restored
}

TEST(Msleep, OtherSignalsCutItShort)
{
    CountingHandler usr1(SIGUSR1);
    const pid_t me = this_tid();
    std::thread sender([&] {
        wait_blocked(me);
        signal_thread(me, SIGUSR1);
    });
    EXPECT_EQ(msleep(60000), -EINTR);
    sender.join();
    EXPECT_EQ(usr1.count(), 1);
    EXPECT_EQ(msleep(-1), -EINVAL);
}

TEST(Msleep, RestoresThePreviousMask)
{
    sigset_t usr2, before, after;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &usr2, &before), 0);
    EXPECT_EQ(msleep(1), 0);
    ASSERT_EQ(sigprocmask(SIG_SETMASK, &before, &after), 0);
    EXPECT_TRUE(sigismember(&after, SIGUSR2));
    EXPECT_FALSE(sigismember(&after, SIGTERM));
    EXPECT_FALSE(sigismember(&after, SIGINT));
    EXPECT_FALSE(sigismember(&after, SIGHUP));
}

}  // namespace
