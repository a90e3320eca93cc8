#include "controller/ctrl_cmd.h"

#include <strings.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "controller/auth.h"
#include "controller/ctrl.h"
#include "controller/send.h"
#include "controller/state.h"
#include "controller/stats.h"
#include "daemon/check.h"
#include "daemon/syslog.h"
#include "object/model.h"
#include "proto/builders.h"

namespace {

// The command words as clients write them (and as the error lines name them).
const char *command_word(CtrlCmdKind kind)
{
    switch (kind) {
    case CTRL_SINGLE_VDISK_PING:
        return "single_vdisk_ping";
    case CTRL_DS_PING:
        return "ds_ping";
    case CTRL_VDISK_DELETED:
        return "vdisk_deleted";
    case CTRL_COUNTERS:
        return "counters";
    case CTRL_IGNORED:
        break;
    }
    return "";
}

// The first local node whose id text is exactly nodeuuid, prepared as for a
// ping cycle and reloaded under its lock with `parts` (LocalNodeParts).  The
// node; nullptr when none is local (silently) or the load failed (the store
// has logged).
Node *local_node_reload(const char *nodeuuid, unsigned parts)
{
    MARLO_ASSERT(local_nodes);
    for (const auto &node : *local_nodes) {
        if (std::strcmp(node->nodeuuid, nodeuuid) != 0)
            continue;
        prepare_node(node.get());
        return local_node_load(node.get(), parts) == 0 ? node.get() : nullptr;
    }
    return nullptr;
}

}  // namespace

int ctrl_cmd_parse(char *text, CtrlCmd *cmd)
{
    *cmd = CtrlCmd{CTRL_IGNORED, text, "", ""};
    char *nl = std::strchr(text, '\n');
    if (nl == nullptr)
        return CTRL_MALFORMED;
    *nl = '\0';
    if (nl > text && nl[-1] == '\r')
        nl[-1] = '\0';

    // Only the word's own letters are compared: anything may follow them.
    if (strncasecmp(text, "single_vdisk_ping", 17) == 0)
        cmd->kind = CTRL_SINGLE_VDISK_PING;
    else if (strncasecmp(text, "ds_ping", 7) == 0)
        cmd->kind = CTRL_DS_PING;
    else if (strncasecmp(text, "vdisk_deleted", 13) == 0)
        cmd->kind = CTRL_VDISK_DELETED;
    else if (strncasecmp(text, "counters", 8) == 0)
        cmd->kind = CTRL_COUNTERS;
    else
        return CTRL_OK;
    if (cmd->kind == CTRL_COUNTERS)
        return CTRL_OK;

    char *blank = std::strchr(text, ' ');
    if (blank == nullptr)
        return CTRL_MISSING_NODE;
    cmd->nodeuuid = blank + 1;
    if (cmd->kind == CTRL_DS_PING)
        return CTRL_OK;  // the node is the rest of the line

    blank = std::strchr(blank + 1, ' ');
    if (blank == nullptr)
        return CTRL_MISSING_VDISK;
    *blank = '\0';
    cmd->vdiskuuid = blank + 1;  // the rest of the line, blanks included
    return CTRL_OK;
}

int handle_ctrl_cmd(CtrlConn *ccp, char *buf, size_t buflen, int so)
{
    static const char F[] = "handle_ctrl_cmd";
    CtrlCmd cmd;
    switch (ctrl_cmd_parse(ccp->buf, &cmd)) {
    case CTRL_MALFORMED:
        log_error(F, "Malformed CTRL MSG %s", ccp->buf);
        return -1;
    case CTRL_MISSING_NODE:
        log_error(F, "Missing Node UUID for CTRL %s", command_word(cmd.kind));
        return -1;
    case CTRL_MISSING_VDISK:
        log_error(F, "Missing VDisk UUID for CTRL %s", command_word(cmd.kind));
        return -1;
    default:
        break;
    }

    switch (cmd.kind) {
    case CTRL_IGNORED:
        log_notice(F, "MSG (ignored) from CTRL client %s:%d: %s", ccp->addr, ccp->port, cmd.line);
        break;
    case CTRL_SINGLE_VDISK_PING:
        log_notice(F, "MSG from CTRL client %s:%d: SINGLE_VDISK_PING Node=%s VDisk=%s", ccp->addr,
                   ccp->port, cmd.nodeuuid, cmd.vdiskuuid);
        send_single_vdisk_ping(cmd.nodeuuid, cmd.vdiskuuid, buf, buflen, so);
        break;
    case CTRL_DS_PING:
        log_notice(F, "MSG from CTRL client %s:%d: DS_PING Node=%s", ccp->addr, ccp->port,
                   cmd.nodeuuid);
        send_ds_ping(cmd.nodeuuid, buf, buflen, so);
        break;
    case CTRL_VDISK_DELETED:
        log_notice(F, "MSG from CTRL client %s:%d: VDISK_DELETED Node=%s VDisk=%s", ccp->addr,
                   ccp->port, cmd.nodeuuid, cmd.vdiskuuid);
        send_vdisk_deleted(cmd.nodeuuid, cmd.vdiskuuid, buf, buflen, so);
        break;
    case CTRL_COUNTERS:
        // Asked every few seconds by monitoring: not worth a notice.
        log_info(F, "MSG from CTRL client %s:%d: COUNTERS", ccp->addr, ccp->port);
        reply_counters(ccp, buf, buflen);
        break;
    }
    return 0;
}

int reply_counters(CtrlConn *ccp, char *buf, size_t buflen)
{
    static const char F[] = "reply_counters";
    const long len = stats_counters_text(buf, buflen);
    if (len < 0) {
        log_error(F, "Counters for CTRL client %s:%d exceed %zu bytes", ccp->addr, ccp->port,
                  buflen);
        return -1;
    }
    ssize_t n;
    do
        n = send(ccp->so.get(), buf, size_t(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        log_error(F, "send(%s:%d): %s", ccp->addr, ccp->port, strerror(errno));
        return -1;
    }
    if (n != len) {
        log_error(F, "send(%s:%d, %ld): %zd", ccp->addr, ccp->port, len, n);
        return -1;
    }
    return 0;
}

void send_single_vdisk_ping(const char *nodeuuid, const char *vdiskuuid, char *buf,
                            size_t buflen, int so)
{
    static const char F[] = "send_single_vdisk_ping";
    // A node in no datastore cannot announce a single vdisk this way.
    Node *node = local_node_reload(nodeuuid, LOAD_DSMEMBER_STRICT | LOAD_VDISKS);
    if (node == nullptr)
        return;
    VDisk *vdisk = VDiskTree_RB_FIND(node->vdisks, vdiskuuid);
    if (vdisk == nullptr || local_vdisk_load(node, vdisk) != 0)
        return;

    size_t len;
    if (build_single_vdisk_ping(node, vdisk, buf, auth_message_room(buflen), &len) != 0) {
        log_error(F, "Oversized SINGLE_VDISK_PING from Node %s VDisk %s", nodeuuid, vdiskuuid);
        return;
    }
    log_info(F, "Send SINGLE_VDISK_PING %zuB from Node %s VDisk %s", len, nodeuuid, vdiskuuid);
    xmit_msg(buf, len, so, STATS_SV_PING);
    xmit_aux_ping(F, node, buf, buflen, so);
}

void send_ds_ping(const char *nodeuuid, char *buf, size_t buflen, int so)
{
    Node *node = local_node_reload(nodeuuid, LOAD_DSMEMBER);
    if (node == nullptr || local_node_load_datastore(node) != 0)
        return;
    xmit_ds_ping("send_ds_ping", node, buf, buflen, so);
}

void send_vdisk_deleted(const char *nodeuuid, const char *vdiskuuid, char *buf, size_t buflen,
                        int so)
{
    static const char F[] = "send_vdisk_deleted";
    Node *node = local_node_reload(nodeuuid, LOAD_NODE);
    if (node == nullptr)
        return;

    // The uuid is announced as given; it names no object here.
    size_t len;
    if (build_vdisk_deleted(node, vdiskuuid, buf, buflen, &len) != 0) {
        log_error(F, "Oversized VDISK_DELETED from Node %s VDisk %s", nodeuuid, vdiskuuid);
        return;
    }
    log_info(F, "Send VDISK_DELETED %zuB from Node %s VDisk %s", len, nodeuuid, vdiskuuid);
    xmit_msg(buf, len, so, STATS_VDISK_DEL);
    xmit_aux_ping(F, node, buf, buflen, so);
}
