// PLACEHOLDER: the ping and heartbeat cycles and the transmit step are not
// built yet.  Each logs one debug line so that the loop's timers can be
// watched; nothing is loaded, built or sent and no send counter moves.
#include "controller/send.h"

#include "daemon/syslog.h"

void send_pings(char *buf, size_t buflen, int so)
{
    (void)buf;
    (void)buflen;
    log_debug("send_pings", "placeholder: ping cycle on socket %d sends nothing", so);
}

void send_heartbeats(char *buf, size_t buflen, int so)
{
    (void)buf;
    (void)buflen;
    log_debug("send_heartbeats", "placeholder: heartbeat cycle on socket %d sends nothing", so);
}

int xmit_msg(const char *buf, size_t msglen, int so, int idx)
{
    (void)buf;
    log_debug("xmit_msg", "placeholder: %zu bytes (slot %d) on socket %d not sent", msglen, idx,
              so);
    return -1;  // nothing was delivered
}
