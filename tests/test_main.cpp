// Test main shared by every test program.  Lock files live in /tmp, so when
// the tests run as root they move into a private mount namespace with a fresh
// /tmp of their own: nothing they lock or leave there meets another program.
// Without root the tests rely on lock names nothing else uses.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>

namespace {

void private_tmp()
{
    if (geteuid() != 0)
        return;
    if (unshare(CLONE_NEWNS) != 0) {
        std::perror("unshare(CLONE_NEWNS)");
        return;
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("marlo-test-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        std::perror("private /tmp");
}

}  // namespace

int main(int argc, char **argv)
{
    private_tmp();
    // Unit tests read log lines from stderr: copy every priority there.
    openlog("marlo-test", LOG_PERROR | LOG_PID, LOG_DAEMON);
    setlogmask(LOG_UPTO(LOG_DEBUG));
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
