// IPv4 socket set-up: the cluster's UDP socket and its multicast options, and
// the local TCP control port.  Every socket is close-on-exec; a helper that
// fails after creating a socket closes it again.
#pragma once

#include <netinet/in.h>

// Address of the interface named `interface` (first 15 characters).  0 or -1.
int get_interface_addr(const char *interface, struct sockaddr_in *if_addr);
// Receive buffer open_socket asks for: a ping interval's worth of datagrams
// from a large cluster.
inline constexpr int RCVBUF_WANT = 4 << 20;
// UDP socket with SO_REUSEADDR and a receive buffer of RCVBUF_WANT (or the
// system maximum when unprivileged and that is lower; a refusal only warns),
// bound to bind_addr (AF_INET, asserted).  The socket, or -1.
int open_socket(const struct sockaddr_in *bind_addr);
// Multicast loopback off; outgoing multicast through if_addr.  0 or -1.
int set_mcast_socket(int so, const struct sockaddr_in *if_addr);
// Joins the group given as dotted text on if_addr.  0 or -1.
int add_mcast_membership(int so, const char *mcast_addr, const struct sockaddr_in *if_addr);
// Listening TCP socket on addr:port; backlog <= 0 means 128.  Socket or -1.
int tcp_listen(const char *addr, int port, int backlog);
// Accepts one connection; the peer's dotted address goes to inet_addr (16
// bytes) and its port (host order) to *inet_port.  TCP_NODELAY is set.
// The connected socket, or -1.
int tcp_accept(int so, char *inet_addr, int *inet_port);

// Socket-option setters: 0 or -1.
int so_buf(int so, int tx, int kb);
int so_lowat(int so, int tx, int bytes);
int so_timeo(int so, int tx, int timeout);
int so_linger(int so, int onoff, int linger);
// Keep-alive with idle time, interval and count: 0, or -1..-4 naming the step.
int tcp_keepalive(int so, int idle, int interval, int count);
