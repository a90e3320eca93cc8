// Ping and heartbeat cycles.  Each local node is wiped and read back from
// the object store before every announcement, one lock at a time (node, then
// datastore, then each vdisk), so that what is sent is what the store holds
// at that moment; a lock or load that fails costs only the messages that
// depend on it.
#include "controller/send.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "controller/auth.h"
#include "controller/state.h"
#include "controller/stats.h"
#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "object/attr.h"
#include "object/datastore.h"
#include "object/model.h"
#include "object/node.h"
#include "object/vdisk.h"
#include "proto/builders.h"

void prepare_node(Node *node)
{
    std::memset(&node->hdr, 0, sizeof node->hdr);
    std::memset(&node->dse, 0, sizeof node->dse);
    std::memset(&node->aux, 0, sizeof node->aux);
    node->dsuuid[0] = '\0';
    VDiskTreeFlush(node->vdisks);
}

int local_node_load(Node *node, unsigned parts)
{
    if (NodeLock(node->nodeid) < 0)
        return -1;
    int r = NodeLoad(node);
    bool ds_unknown = false;
    if (r == 0 && (parts & (LOAD_DSMEMBER | LOAD_DSMEMBER_STRICT)) != 0) {
        int ds = NodeLoad_DSMember(node->nodeuuid, node->dsuuid, int(sizeof node->dsuuid));
        if (ds < 0 && (parts & LOAD_DSMEMBER_STRICT) != 0)
            r = -1;
        // A membership that exists but cannot be read is not "no datastore":
        // announcing it as such would make every peer drop the node from its
        // datastore.
        ds_unknown = ds < -1;
    }
    if (r == 0 && (parts & LOAD_VDISKS) != 0)
        r = NodeLoad_VDisks(node->nodeid, node->vdisks);
    NodeUnlock(node->nodeid);
    if (r < 0)
        return -1;
    return ds_unknown ? LOAD_DS_UNKNOWN : 0;
}

int local_node_load_datastore(Node *node)
{
    if (node->dsuuid[0] == '\0')
        return 0;
    if (DatastoreLockStr(node->dsuuid) < 0)
        return -1;
    int r = DatastoreLoad(node->dsuuid, &node->dse);
    DatastoreUnlockStr(node->dsuuid);
    return r < 0 ? -1 : 0;
}

int local_vdisk_load(Node *node, VDisk *vdisk)
{
    if (VDiskLock(vdisk) < 0)
        return -1;
    int r = VDiskLoad(node, vdisk);
    VDiskUnlock(vdisk);
    return r < 0 ? -1 : 0;
}

int xmit_ds_ping(const char *func, const Node *node, char *buf, size_t buflen, int so)
{
    size_t len;
    if (build_ds_ping(node, buf, buflen, &len) != 0) {
        log_error(func, "Oversized DS_PING from Node %s Datastore %s", node->nodeuuid,
                  node->dsuuid);
        return -1;
    }
    log_info(func, "Send DS_PING %zuB from Node %s Datastore %s", len, node->nodeuuid,
             node->dsuuid);
    xmit_msg(buf, len, so, STATS_DS_PING);
    return 0;
}

int xmit_aux_ping(const char *func, const Node *node, char *buf, size_t buflen, int so)
{
    size_t len;
    if (build_aux_ping(node, buf, buflen, &len) != 0) {
        log_error(func, "Oversized AUX_PING from Node %s", node->nodeuuid);
        return -1;
    }
    log_info(func, "Send AUX_PING %zuB from Node %s", len, node->nodeuuid);
    xmit_msg(buf, len, so, STATS_AUX_PING);
    return 0;
}

namespace {

// One node's share of a ping cycle.  Whether its PING went out.
bool ping_node(Node *node, char *buf, size_t buflen, int so)
{
    static const char F[] = "send_pings";
    prepare_node(node);
    const int loaded = local_node_load(node, LOAD_DSMEMBER | LOAD_VDISKS);
    if (loaded < 0)
        return false;

    // Without its datastore the node still announces a header-only DS_PING;
    // with a datastore (or a membership) that cannot be read it announces
    // none this cycle.
    const bool ds_loaded = loaded == 0 && local_node_load_datastore(node) == 0;
    if (node->dsuuid[0] == '\0' && !node->vdisks.empty())
        log_error(F, "Local node %s not part of any data store but references vdisks!?",
                  node->nodeuuid);
    if (ds_loaded && xmit_ds_ping(F, node, buf, buflen, so) != 0)
        return false;
    xmit_aux_ping(F, node, buf, buflen, so);

    for (const auto &vdisk : node->vdisks) {
        if (local_vdisk_load(node, vdisk.get()) != 0) {
            log_error(F, "PING from Node %s not sent due to VDisk %s error", node->nodeuuid,
                      vdisk->vdiskuuid);
            return false;
        }
    }
    // Signed, a PING leaves room for its trailer in the largest datagram.
    size_t len;
    if (build_vdisk_ping(node, buf, auth_message_room(buflen), &len) != 0) {
        log_error(F, "Oversized PING from Node %s", node->nodeuuid);
        return false;
    }
    log_info(F, "Send PING %zuB from Node %s", len, node->nodeuuid);
    xmit_msg(buf, len, so, STATS_PING);
    return true;
}

}  // namespace

void send_pings(char *buf, size_t buflen, int so)
{
    MARLO_ASSERT(local_nodes);
    // A node whose PING stays unsent keeps its times fresh by its other
    // messages: only this count tells that its vdisks go unannounced.
    for (const auto &node : *local_nodes)
        stats_ping_cycle(node->nodeid, ping_node(node.get(), buf, buflen, so));
}

void send_heartbeats(char *buf, size_t buflen, int so)
{
    MARLO_ASSERT(local_nodes);
    for (const auto &np : *local_nodes) {
        Node *node = np.get();
        prepare_node(node);
        if (local_node_load(node, LOAD_NODE) != 0)
            continue;
        size_t len;
        int built = build_heartbeat(node, buf, buflen, &len);
        MARLO_ASSERT(built == 0);  // a header always fits the message buffer
        log_info("send_heartbeats", "Send HEARTBEAT %zuB from Node %s", len, node->nodeuuid);
        xmit_msg(buf, len, so, STATS_HEARTBEAT);
    }
}

int xmit_msg(const char *buf, size_t msglen, int so, int idx)
{
    static const char F[] = "xmit_msg";
    const std::unique_ptr<HostList> &targets = cfg_unicast_mode != 0 ? unicast_hosts
                                                                     : multicast_groups;
    MARLO_ASSERT(targets);
    MARLO_ASSERT(msglen >= sizeof(Hdr));  // every message starts with its sender's header
    // A signed message takes its trailer as a second piece of the same
    // datagram: one MAC for every target, and no room needed after the
    // message in the buffer.
    const bool sign = auth_signing();
    AuthTrailer trailer;
    struct iovec iov[2] = {{const_cast<char *>(buf), msglen}, {&trailer, sizeof trailer}};
    if (sign)
        auth_sign(buf, msglen, &trailer);
    const char *call = sign ? "sendmsg" : "sendto";
    const size_t len = sign ? msglen + sizeof trailer : msglen;
    int result = 0;
    bool delivered = false;
    for (const auto &host : *targets) {
        const auto *to = reinterpret_cast<const struct sockaddr *>(&host->sa);
        const unsigned port = ntohs(host->sa.sin_port);
        struct msghdr mh = {};
        mh.msg_name = const_cast<struct sockaddr *>(to);
        mh.msg_namelen = sizeof host->sa;
        mh.msg_iov = iov;
        mh.msg_iovlen = 2;
        ssize_t n;
        do
            n = sign ? sendmsg(so, &mh, 0) : sendto(so, buf, msglen, 0, to, sizeof host->sa);
        while (n < 0 && errno == EINTR);

        if (n < 0) {
            log_error(F, "%s(%s:%u, %zu): %s", call, host->ipaddr, port, len, strerror(errno));
            stats_tx_failed++;
            result = -1;
            continue;
        }
        if (size_t(n) != len) {
            log_error(F, "%s(%s:%u, %zu): %zd", call, host->ipaddr, port, len, n);
            stats_tx_failed++;
            result = -1;
            continue;
        }
        log_debug(F, "%s(%s:%u, %zu): %zd", call, host->ipaddr, port, len, n);
        stats_tx_long[STATS_ALL]++;
        stats_tx_short[STATS_ALL]++;
        if (idx >= STATS_PING && idx <= STATS_HEARTBEAT) {
            stats_tx_long[idx]++;
            stats_tx_short[idx]++;
        }
        delivered = true;
    }
    if (delivered)
        stats_sent(reinterpret_cast<const Hdr *>(buf)->uid, time(nullptr));
    return result;
}
