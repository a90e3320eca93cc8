#include "controller/receive.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "controller/stats.h"
#include "daemon/syslog.h"
#include "object/model.h"
#include "proto/msg.h"
#include "proto/records.h"

static_assert(sizeof(Hdr) == 207, "every datagram starts with a 207-byte header");

namespace {

// One received datagram, as every handler sees it.
struct RxMsg {
    const char *buf;     // the datagram, at the start of the message buffer
    ssize_t r;           // its length: at least sizeof(Hdr)
    const Hdr *hdr;      // the header at offset 0
    const char *ipaddr;  // source address as dotted text
    int port;            // source port, host order
    VDiskTree &vdt;      // scratch tree for the vdisk messages
};

using RxHandler = void (*)(const RxMsg &msg);

// PLACEHOLDER: no message is applied to the object store yet.  Every type
// reaches this line through its own handler below, so that each handler can
// be filled in on its own.
void rx_not_applied(const RxMsg &msg)
{
    log_debug("controller_thread_loop", "placeholder: %s (type %u, %zd bytes) from %s not applied",
              msg_type(msg.hdr), unsigned(msg.hdr->type), msg.r, msg.ipaddr);
}

// One handler per message type (PLACEHOLDERS).
void rx_ping(const RxMsg &msg) { rx_not_applied(msg); }
void rx_single_vdisk_ping(const RxMsg &msg) { rx_not_applied(msg); }
void rx_vdisk_deleted(const RxMsg &msg) { rx_not_applied(msg); }
void rx_heartbeat(const RxMsg &msg) { rx_not_applied(msg); }
void rx_ds_ping(const RxMsg &msg) { rx_not_applied(msg); }
void rx_aux_ping(const RxMsg &msg) { rx_not_applied(msg); }
void rx_unknown(const RxMsg &msg) { rx_not_applied(msg); }

// Where a message type goes: its counter slot and its handler.
struct RxRoute {
    int slot;
    RxHandler handler;
};

RxRoute rx_route(uint8_t type)
{
    switch (type) {
    case MSG_PING: return {STATS_PING, rx_ping};
    case MSG_SINGLE_VDISK_PING: return {STATS_SV_PING, rx_single_vdisk_ping};
    case MSG_VDISK_DELETED: return {STATS_VDISK_DEL, rx_vdisk_deleted};
    case MSG_HEARTBEAT: return {STATS_HEARTBEAT, rx_heartbeat};
    case MSG_DS_PING: return {STATS_DS_PING, rx_ds_ping};
    case MSG_AUX_PING: return {STATS_AUX_PING, rx_aux_ping};
    default: return {STATS_UNKNOWN, rx_unknown};
    }
}

// Counts the datagram under its type, before anything of its body is
// looked at, and runs the type's handler.
void rx_dispatch(const RxMsg &msg)
{
    RxRoute route = rx_route(msg.hdr->type);
    stats_rx_add(route.slot);
    route.handler(msg);
}

}  // namespace

int receive_msg(char *buf, size_t buflen, int so, VDiskTree &vdt)
{
    static const char func[] = "controller_thread_loop";
    struct sockaddr_in from;
    socklen_t fromlen;
    ssize_t r;
    do {
        fromlen = sizeof(from);
        r = recvfrom(so, buf, buflen, 0, reinterpret_cast<struct sockaddr *>(&from), &fromlen);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        log_error(func, "recvfrom(): %s", strerror(errno));
        return RX_FAILED;
    }
    if (static_cast<size_t>(r) < sizeof(Hdr)) {
        log_error(func, "Malformed packet? #1");
        return RX_DROPPED;
    }
    char ipaddr[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &from.sin_addr, ipaddr, sizeof(ipaddr)) == nullptr) {
        log_error(func, "inet_ntop(): %s", strerror(errno));
        return RX_DROPPED;
    }
    int port = ntohs(from.sin_port);
    log_debug(func, "recvfrom(%s:%d): %zd", ipaddr, port, r);

    stats_rx_add(STATS_ALL);
    RxMsg msg{buf, r, reinterpret_cast<const Hdr *>(buf), ipaddr, port, vdt};
    rx_dispatch(msg);
    VDiskTreeFlush(vdt);
    return RX_HANDLED;
}
