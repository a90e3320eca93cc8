// Accepting CTRL connections: a descriptor that select() cannot watch is
// refused at once; below the limit the connection joins the list; without a
// descriptor for it, accepting pauses instead of failing on every pass.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "controller/ctrl.h"
#include "io/io.h"
#include "io/netlib.h"

namespace {

// A connected client of the listening socket `lso`; its local port in *port.
UniqueFd connect_client(int lso, int *port)
{
    struct sockaddr_in sa {};
    socklen_t len = sizeof sa;
    EXPECT_EQ(getsockname(lso, reinterpret_cast<sockaddr *>(&sa), &len), 0);
    UniqueFd c(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(connect(c.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
    len = sizeof sa;
    EXPECT_EQ(getsockname(c.get(), reinterpret_cast<sockaddr *>(&sa), &len), 0);
    *port = ntohs(sa.sin_port);
    return c;
}

TEST(CtrlConnAccept, RefusesADescriptorBeyondTheSelectSet)
{
    struct rlimit rl;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &rl), 0);
    if (rl.rlim_max != RLIM_INFINITY && rl.rlim_max < FD_SETSIZE + 16)
        GTEST_SKIP() << "descriptor limit " << rl.rlim_max << " too low";
    const struct rlimit saved = rl;
    if (rl.rlim_cur < FD_SETSIZE + 16) {
        rl.rlim_cur = FD_SETSIZE + 16;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    }

    UniqueFd lso(tcp_listen("127.0.0.1", 0, 0));
    ASSERT_TRUE(lso);
    int port_far = 0, port_near = 0;
    UniqueFd far = connect_client(lso.get(), &port_far);
    UniqueFd near = connect_client(lso.get(), &port_near);

    testing::internal::CaptureStderr();  // opens a file of its own
    // Occupy every descriptor below the limit, so the next accept lands on it.
    std::vector<UniqueFd> filler;
    for (;;) {
        int fd = dup(lso.get());
        ASSERT_GE(fd, 0);
        if (fd >= FD_SETSIZE) {
            close(fd);
            break;
        }
        filler.emplace_back(fd);
    }
    CtrlConnList ccl;
    CtrlAdmission adm;
    adm.limit = 8;
    EXPECT_EQ(ctrl_conn_accept(lso.get(), ccl, adm), -1);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(ccl.empty());
    const std::string peer = "127.0.0.1:" + std::to_string(port_far);
    EXPECT_NE(log.find("CTRL connection from " + peer + " refused: descriptor " +
                       std::to_string(FD_SETSIZE) + " beyond select() limit"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("Closing CTRL connection from " + peer), std::string::npos) << log;
    char c;
    EXPECT_EQ(read(far.get(), &c, 1), 0) << "the refused client sees end of file";

    filler.clear();
    EXPECT_EQ(ctrl_conn_accept(lso.get(), ccl, adm), 0);
    ASSERT_EQ(ccl.size(), 1u);
    EXPECT_LT(ccl.front()->so.get(), FD_SETSIZE);
    EXPECT_EQ(ccl.front()->port, port_near);
    CtrlConnListFlush(ccl);
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

TEST(CtrlConnAccept, OutOfDescriptorsPausesAcceptingUntilAConnectionEnds)
{
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    UniqueFd lso(tcp_listen("127.0.0.1", 0, 0));
    ASSERT_TRUE(lso);
    int port = 0;
    UniqueFd client = connect_client(lso.get(), &port);

    testing::internal::CaptureStderr();  // opens a file of its own
    // The lowest free descriptor becomes the limit: accept() gets EMFILE.
    const int next = dup(lso.get());
    ASSERT_GE(next, 0);
    close(next);
    struct rlimit rl = saved;
    rl.rlim_cur = rlim_t(next);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &rl), 0);
    CtrlConnList ccl;
    CtrlAdmission adm;
    adm.limit = 8;
    EXPECT_EQ(ctrl_conn_accept(lso.get(), ccl, adm), CTRL_ACCEPT_PAUSED);
    EXPECT_TRUE(adm.paused());
    EXPECT_FALSE(ctrl_accept_resume(adm, false)) << "resumed before its second was over";
    EXPECT_EQ(ctrl_conn_accept(lso.get(), ccl, adm), CTRL_ACCEPT_PAUSED);
    EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    std::string log = testing::internal::GetCapturedStderr();
    for (const char *line : {"accept(): Too many open files", "Not accepting CTRL connections for 1s",
                             "Not accepting CTRL connections for 2s"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;

    // A connection closing frees descriptors: accepting resumes at once and
    // takes the client that waited.
    EXPECT_TRUE(ctrl_accept_resume(adm, true));
    EXPECT_FALSE(adm.paused());
    EXPECT_EQ(ctrl_conn_accept(lso.get(), ccl, adm), 0);
    ASSERT_EQ(ccl.size(), 1u);
    EXPECT_EQ(ccl.front()->port, port);
    CtrlConnListFlush(ccl);
}

}  // namespace
