// Socket set-up helpers on the loopback interface.
#include "io/netlib.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "io/io.h"

namespace {

// A port free on 127.0.0.1 for the given socket type right now.
int free_port(int type)
{
    UniqueFd s(socket(AF_INET, type | SOCK_CLOEXEC, 0));
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (bind(s.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
        getsockname(s.get(), reinterpret_cast<sockaddr *>(&sa), &len) != 0)
        return -1;
    return ntohs(sa.sin_port);
}

struct sockaddr_in inet(const char *addr, int port)
{
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    inet_aton(addr, &sa.sin_addr);
    sa.sin_port = htons(uint16_t(port));
    return sa;
}

int int_option(int so, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    getsockopt(so, level, name, &v, &len);
    return v;
}

// Runs call with standard error captured; returns the capture.
template <typename F>
std::string logged(F call)
{
    testing::internal::CaptureStderr();
    call();
    return testing::internal::GetCapturedStderr();
}

TEST(Netlib, LoopbackInterfaceAddress)
{
    struct sockaddr_in a {};
    ASSERT_EQ(get_interface_addr("lo", &a), 0);
    EXPECT_EQ(a.sin_family, AF_INET);
    EXPECT_EQ(ntohl(a.sin_addr.s_addr), INADDR_LOOPBACK);

    std::string err = logged([&] { EXPECT_EQ(get_interface_addr("nosuchif0", &a), -1); });
    EXPECT_NE(err.find("error: get_interface_addr(): ioctl(SIOCGIFADDR): No such device\n"),
              std::string::npos)
        << err;
}

TEST(Netlib, UdpSocketIsBoundCloseOnExecAndReported)
{
    const int port = free_port(SOCK_DGRAM);
    const struct sockaddr_in sa = inet("127.0.0.1", port);
    int so = -1;
    std::string err = logged([&] { so = open_socket(&sa); });
    ASSERT_GE(so, 0) << err;
    UniqueFd guard(so);
    EXPECT_TRUE(fcntl(so, F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(int_option(so, SOL_SOCKET, SO_REUSEADDR), 1);
    const std::string bound = "notice: open_socket(): BIND UDP 127.0.0.1:" + std::to_string(port) +
                              " RCVBUF=" + std::to_string(int_option(so, SOL_SOCKET, SO_RCVBUF)) +
                              " SNDBUF=" + std::to_string(int_option(so, SOL_SOCKET, SO_SNDBUF));
    EXPECT_NE(err.find(bound + "\n"), std::string::npos) << err;
    // The kernel reports twice what it grants (bookkeeping included).
    if (geteuid() == 0) {
        EXPECT_GE(int_option(so, SOL_SOCKET, SO_RCVBUF), 2 * RCVBUF_WANT);
    }

    // An address this host does not have.
    const struct sockaddr_in foreign = inet("192.0.2.1", port);
    err = logged([&] { EXPECT_EQ(open_socket(&foreign), -1); });
    EXPECT_NE(err.find("error: open_socket(): bind(192.0.2.1:" + std::to_string(port) +
                       "): Cannot assign requested address\n"),
              std::string::npos)
        << err;
}

TEST(Netlib, MulticastOptionsAndMembership)
{
    struct sockaddr_in lo {};
    ASSERT_EQ(get_interface_addr("lo", &lo), 0);
    const struct sockaddr_in any = inet("0.0.0.0", free_port(SOCK_DGRAM));
    UniqueFd so(open_socket(&any));
    ASSERT_TRUE(so);

    ASSERT_EQ(set_mcast_socket(so.get(), &lo), 0);
    unsigned char loop = 1;
    socklen_t len = sizeof loop;
    ASSERT_EQ(getsockopt(so.get(), IPPROTO_IP, IP_MULTICAST_LOOP, &loop, &len), 0);
    EXPECT_EQ(loop, 0);
    struct in_addr mif {};
    len = sizeof mif;
    ASSERT_EQ(getsockopt(so.get(), IPPROTO_IP, IP_MULTICAST_IF, &mif, &len), 0);
    EXPECT_EQ(mif.s_addr, lo.sin_addr.s_addr);

    std::string err = logged([&] {
        EXPECT_EQ(add_mcast_membership(so.get(), "224.123.123.123", &lo), 0);
    });
    EXPECT_NE(err.find("notice: add_mcast_membership(): JOIN MULTICAST 224.123.123.123@127.0.0.1\n"),
              std::string::npos)
        << err;

    err = logged([&] { EXPECT_EQ(add_mcast_membership(so.get(), "10.1.2.3", &lo), -1); });
    EXPECT_NE(err.find("error: add_mcast_membership(): setsockopt(IP_ADD_MEMBERSHIP): "),
              std::string::npos)
        << err;
    err = logged([&] { EXPECT_EQ(add_mcast_membership(so.get(), "not-an-address", &lo), -1); });
    EXPECT_NE(err.find("error: add_mcast_membership(): inet_aton(not-an-address): failed\n"),
              std::string::npos)
        << err;
}

TEST(Netlib, ListenAndAcceptOnControlPort)
{
    const int port = free_port(SOCK_STREAM);
    UniqueFd ls(tcp_listen("127.0.0.1", port, 0));
    ASSERT_TRUE(ls);
    EXPECT_TRUE(fcntl(ls.get(), F_GETFD) & FD_CLOEXEC);

    // A second listener on the same port fails at bind.
    std::string err = logged([&] { EXPECT_EQ(tcp_listen("127.0.0.1", port, 5), -1); });
    EXPECT_NE(err.find("error: tcp_listen(): bind(127.0.0.1:" + std::to_string(port) +
                       "): Address already in use\n"),
              std::string::npos)
        << err;
    err = logged([&] { EXPECT_EQ(tcp_listen("localhost", port, 5), -1); });
    EXPECT_NE(err.find("error: tcp_listen(): inet_aton(localhost): failed\n"), std::string::npos)
        << err;

    UniqueFd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const struct sockaddr_in sa = inet("127.0.0.1", port);
    ASSERT_EQ(connect(client.get(), reinterpret_cast<const sockaddr *>(&sa), sizeof sa), 0);
    struct sockaddr_in mine {};
    socklen_t len = sizeof mine;
    ASSERT_EQ(getsockname(client.get(), reinterpret_cast<sockaddr *>(&mine), &len), 0);

    char addr[16];
    std::memset(addr, 'x', sizeof addr);
    int peer_port = 0;
    UniqueFd conn(tcp_accept(ls.get(), addr, &peer_port));
    ASSERT_TRUE(conn);
    EXPECT_STREQ(addr, "127.0.0.1");
    EXPECT_EQ(peer_port, ntohs(mine.sin_port));
    EXPECT_EQ(int_option(conn.get(), IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_TRUE(fcntl(conn.get(), F_GETFD) & FD_CLOEXEC);

    // Accepting on a socket that does not listen.
    UniqueFd idle(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    err = logged([&] { EXPECT_EQ(tcp_accept(idle.get(), addr, &peer_port), -1); });
    EXPECT_NE(err.find("error: tcp_accept(): accept(): Invalid argument\n"), std::string::npos)
        << err;
}

TEST(Netlib, OptionSettersReportTheFailedOption)
{
    const int bad = 1000;  // no such descriptor
    UniqueFd udp(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const struct sockaddr_in lo = inet("127.0.0.1", 0);
    struct Case {
        std::function<int()> call;
        int result;
        std::string message;
    };
    const Case cases[] = {
        {[&] { return so_buf(bad, 1, 2); }, -1, "setsockopt(SO_SNDBUF, 2048): "},
        {[&] { return so_buf(bad, 0, 2); }, -1, "setsockopt(SO_RCVBUF, 2048): "},
        {[&] { return so_lowat(bad, 1, 9); }, -1, "setsockopt(SO_SNDLOWAT, 9): "},
        {[&] { return so_timeo(bad, 0, 5); }, -1, "setsockopt(SO_RCVTIMEO, 5): "},
        {[&] { return so_linger(bad, 1, 3); }, -1, "setsockopt(SO_LINGER, 1, 3): "},
        {[&] { return tcp_keepalive(bad, 1, 1, 1); }, -1, "setsockopt(SO_KEEPALIVE): "},
        // A datagram socket takes the switch but has no TCP options.
        {[&] { return tcp_keepalive(udp.get(), 1, 1, 1); }, -2, "setsockopt(TCP_KEEPIDLE): "},
        {[&] { return set_mcast_socket(bad, &lo); }, -1, "setsockopt(IP_MULTICAST_LOOP): "},
    };
    for (const auto &c : cases) {
        std::string err = logged([&] { EXPECT_EQ(c.call(), c.result) << c.message; });
        EXPECT_NE(err.find("(): " + c.message), std::string::npos) << err;
    }
}

}  // namespace
