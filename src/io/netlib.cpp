// IPv4 socket set-up: the UDP socket with its multicast options, the TCP
// control port and a few option setters.  A helper that fails after creating
// a socket closes it again (the UniqueFd goes out of scope).
#include "io/netlib.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>

#include "daemon/check.h"
#include "daemon/syslog.h"
#include "io/io.h"

int get_interface_addr(const char *interface, struct sockaddr_in *if_addr)
{
    UniqueFd so(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!so) {
        log_error("get_interface_addr", "socket(): %s", strerror(errno));
        return -1;
    }
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    static_assert(IFNAMSIZ == 16);
    std::strncpy(ifr.ifr_name, interface, IFNAMSIZ - 1);  // first 15 characters
    ifr.ifr_addr.sa_family = AF_INET;
    if (::ioctl(so.get(), SIOCGIFADDR, &ifr) < 0) {
        log_error("get_interface_addr", "ioctl(SIOCGIFADDR): %s", strerror(errno));
        return -1;
    }
    so.reset();
    static_assert(sizeof(*if_addr) == sizeof(ifr.ifr_addr));
    std::memcpy(if_addr, &ifr.ifr_addr, sizeof(*if_addr));
    return 0;
}

int open_socket(const struct sockaddr_in *bind_addr)
{
    MARLO_ASSERT(bind_addr->sin_family == AF_INET);
    UniqueFd so(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!so) {
        log_error("open_socket", "socket(): %s", strerror(errno));
        return -1;
    }
    int on = 1;
    if (::setsockopt(so.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
        log_error("open_socket", "setsockopt(SO_REUSEADDR): %s", strerror(errno));
        return -1;
    }

    // Pings of a whole cluster arrive together once per interval; the
    // default receive queue (net.core.rmem_default, about 200 KiB) holds
    // only a few large ones.  SO_RCVBUFFORCE passes the system maximum when
    // privileged; otherwise the kernel caps SO_RCVBUF at net.core.rmem_max.
    // The line below reports what was granted.
    int want = RCVBUF_WANT;
    if (::setsockopt(so.get(), SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) < 0 &&
        ::setsockopt(so.get(), SOL_SOCKET, SO_RCVBUF, &want, sizeof want) < 0)
        log_warn("open_socket", "setsockopt(SO_RCVBUF, %d): %s", want, strerror(errno));

    int rcvbuf = -1, sndbuf = -1;
    socklen_t optlen = sizeof rcvbuf;
    if (::getsockopt(so.get(), SOL_SOCKET, SO_RCVBUF, &rcvbuf, &optlen) < 0) {
        log_error("open_socket", "getsockopt(SO_RCVBUF): %s", strerror(errno));
        rcvbuf = -1;
    }
    optlen = sizeof sndbuf;
    if (::getsockopt(so.get(), SOL_SOCKET, SO_SNDBUF, &sndbuf, &optlen) < 0) {
        log_error("open_socket", "getsockopt(SO_SNDBUF): %s", strerror(errno));
        sndbuf = -1;
    }

    char addr[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &bind_addr->sin_addr, addr, sizeof addr)) {
        log_error("open_socket", "inet_ntop(): %s", strerror(errno));
        return -1;
    }
    const int port = ntohs(bind_addr->sin_port);
    if (::bind(so.get(), reinterpret_cast<const struct sockaddr *>(bind_addr), sizeof *bind_addr) <
        0) {
        log_error("open_socket", "bind(%s:%d): %s", addr, port, strerror(errno));
        return -1;
    }
    log_notice("open_socket", "BIND UDP %s:%d RCVBUF=%d SNDBUF=%d", addr, port, rcvbuf, sndbuf);
    return so.release();
}

int set_mcast_socket(int so, const struct sockaddr_in *if_addr)
{
    unsigned char loop = 0;
    if (::setsockopt(so, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0) {
        log_error("set_mcast_socket", "setsockopt(IP_MULTICAST_LOOP): %s", strerror(errno));
        return -1;
    }
    if (::setsockopt(so, IPPROTO_IP, IP_MULTICAST_IF, &if_addr->sin_addr,
                     sizeof if_addr->sin_addr) < 0) {
        log_error("set_mcast_socket", "setsockopt(IP_MULTICAST_IF): %s", strerror(errno));
        return -1;
    }
    return 0;
}

int add_mcast_membership(int so, const char *mcast_addr, const struct sockaddr_in *if_addr)
{
    struct ip_mreq mreq;
    std::memset(&mreq, 0, sizeof mreq);
    // The controller validates the group text before joining; refuse bad
    // text here too rather than joining whatever it converts to.
    if (::inet_aton(mcast_addr, &mreq.imr_multiaddr) == 0) {
        log_error("add_mcast_membership", "inet_aton(%s): failed", mcast_addr);
        return -1;
    }
    mreq.imr_interface = if_addr->sin_addr;
    if (::setsockopt(so, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
        log_error("add_mcast_membership", "setsockopt(IP_ADD_MEMBERSHIP): %s", strerror(errno));
        return -1;
    }
    char group[INET_ADDRSTRLEN], iface[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &mreq.imr_multiaddr, group, sizeof group) ||
        !::inet_ntop(AF_INET, &mreq.imr_interface, iface, sizeof iface)) {
        log_error("add_mcast_membership", "inet_ntop(): %s", strerror(errno));
        return -1;
    }
    log_notice("add_mcast_membership", "JOIN MULTICAST %s@%s", group, iface);
    return 0;
}

int tcp_listen(const char *addr, int port, int backlog)
{
    UniqueFd so(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!so) {
        log_error("tcp_listen", "socket(): %s", strerror(errno));
        return -1;
    }
    int on = 1;
    if (::setsockopt(so.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0) {
        log_error("tcp_listen", "setsockopt(SO_REUSEADDR): %s", strerror(errno));
        return -1;
    }
    struct sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    if (::inet_aton(addr, &sa.sin_addr) == 0) {
        log_error("tcp_listen", "inet_aton(%s): failed", addr);
        return -1;
    }
    sa.sin_port = htons(uint16_t(port));
    if (::bind(so.get(), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0) {
        log_error("tcp_listen", "bind(%s:%d): %s", addr, port, strerror(errno));
        return -1;
    }
    if (::listen(so.get(), backlog > 0 ? backlog : 128) < 0) {
        log_error("tcp_listen", "listen(): %s", strerror(errno));
        return -1;
    }
    return so.release();
}

int tcp_accept(int so, char *inet_addr, int *inet_port)
{
    struct sockaddr_in peer;
    socklen_t peerlen;
    int fd;
    for (;;) {
        peerlen = sizeof peer;
        fd = ::accept4(so, reinterpret_cast<struct sockaddr *>(&peer), &peerlen, SOCK_CLOEXEC);
        if (fd >= 0)
            break;
        if (errno == EINTR) {
            log_warn("tcp_accept", "accept(): %s", strerror(errno));
            continue;
        }
        log_error("tcp_accept", "accept(): %s", strerror(errno));
        return -1;
    }
    UniqueFd conn(fd);
    if (!::inet_ntop(AF_INET, &peer.sin_addr, inet_addr, INET_ADDRSTRLEN)) {
        log_error("tcp_accept", "inet_ntop(): %s", strerror(errno));
        return -1;
    }
    *inet_port = ntohs(peer.sin_port);
    int on = 1;
    if (::setsockopt(conn.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) < 0) {
        log_error("tcp_accept", "setsockopt(TCP_NODELAY): %s", strerror(errno));
        return -1;
    }
    return conn.release();
}

int so_buf(int so, int tx, int kb)
{
    int bytes = int(unsigned(kb) * 1024u);  // no caller passes more than a few MB
    if (::setsockopt(so, SOL_SOCKET, tx > 0 ? SO_SNDBUF : SO_RCVBUF, &bytes, sizeof bytes) < 0) {
        log_error("so_buf", "setsockopt(SO_%sBUF, %d): %s", tx > 0 ? "SND" : "RCV", bytes,
                  strerror(errno));
        return -1;
    }
    return 0;
}

int so_lowat(int so, int tx, int bytes)
{
    if (::setsockopt(so, SOL_SOCKET, tx > 0 ? SO_SNDLOWAT : SO_RCVLOWAT, &bytes, sizeof bytes) <
        0) {
        log_error("so_lowat", "setsockopt(SO_%sLOWAT, %d): %s", tx > 0 ? "SND" : "RCV", bytes,
                  strerror(errno));
        return -1;
    }
    return 0;
}

int so_timeo(int so, int tx, int timeout)
{
    struct timeval tv;
    tv.tv_sec = timeout;
    tv.tv_usec = 0;
    if (::setsockopt(so, SOL_SOCKET, tx > 0 ? SO_SNDTIMEO : SO_RCVTIMEO, &tv, sizeof tv) < 0) {
        log_error("so_timeo", "setsockopt(SO_%sTIMEO, %d): %s", tx > 0 ? "SND" : "RCV", timeout,
                  strerror(errno));
        return -1;
    }
    return 0;
}

int so_linger(int so, int onoff, int linger)
{
    struct linger l;
    l.l_onoff = onoff;
    l.l_linger = linger;
    if (::setsockopt(so, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0) {
        log_error("so_linger", "setsockopt(SO_LINGER, %d, %d): %s", onoff, linger,
                  strerror(errno));
        return -1;
    }
    return 0;
}

int tcp_keepalive(int so, int idle, int interval, int count)
{
    int on = 1;
    if (::setsockopt(so, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) < 0) {
        log_error("tcp_keepalive", "setsockopt(SO_KEEPALIVE): %s", strerror(errno));
        return -1;
    }
    if (::setsockopt(so, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) < 0) {
        log_error("tcp_keepalive", "setsockopt(TCP_KEEPIDLE): %s", strerror(errno));
        return -2;
    }
    if (::setsockopt(so, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) < 0) {
        log_error("tcp_keepalive", "setsockopt(TCP_KEEPINTVL): %s", strerror(errno));
        return -3;
    }
    if (::setsockopt(so, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) < 0) {
        log_error("tcp_keepalive", "setsockopt(TCP_KEEPCNT): %s", strerror(errno));
        return -4;
    }
    return 0;
}
