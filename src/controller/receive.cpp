#include "controller/receive.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "controller/auth.h"
#include "controller/rx.h"
#include "controller/stats.h"
#include "daemon/syslog.h"
#include "object/model.h"
#include "proto/records.h"

static_assert(sizeof(Hdr) == 207, "every datagram starts with a 207-byte header");

namespace {

using RxHandler = void (*)(const RxMsg &msg);

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
    struct sockaddr_in from;
    socklen_t fromlen;
    ssize_t r;
    do {
        fromlen = sizeof(from);
        r = recvfrom(so, buf, buflen, 0, reinterpret_cast<struct sockaddr *>(&from), &fromlen);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
        log_error(RX_FUNC, "recvfrom(): %s", strerror(errno));
        return RX_FAILED;
    }
    return apply_datagram(buf, r, &from, vdt);
}

int apply_datagram(char *buf, ssize_t r, const struct sockaddr_in *from, VDiskTree &vdt)
{
    if (r < 0 || static_cast<size_t>(r) < sizeof(Hdr)) {
        log_error(RX_FUNC, "Malformed packet? #1");
        stats_rx_dropped++;
        return RX_DROPPED;
    }
    char ipaddr[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &from->sin_addr, ipaddr, sizeof(ipaddr)) == nullptr) {
        log_error(RX_FUNC, "inet_ntop(): %s", strerror(errno));
        stats_rx_dropped++;
        return RX_DROPPED;
    }
    int port = ntohs(from->sin_port);
    log_debug(RX_FUNC, "recvfrom(%s:%d): %zd", ipaddr, port, r);

    // Authentication comes before anything is counted or applied; what it
    // passes on is the message without its trailer.
    if (cfg_auth_mode != AUTH_OFF) {
        r = auth_receive(buf, r, ipaddr, port);
        if (r < 0)
            return RX_HANDLED;
    }
    stats_rx_add(STATS_ALL);
    RxMsg msg{buf, r, reinterpret_cast<const Hdr *>(buf), ipaddr, port, vdt};
    rx_dispatch(msg);
    // Nothing built from a datagram outlives it.
    VDiskTreeFlush(vdt);
    return RX_HANDLED;
}
