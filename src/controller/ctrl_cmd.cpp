// PLACEHOLDER: command parsing and the immediate announcements are not built
// yet.  handle_ctrl_cmd only records what a client wrote, so the connection
// handling around it can already run.
#include "controller/ctrl_cmd.h"

#include "controller/ctrl.h"
#include "daemon/syslog.h"

int handle_ctrl_cmd(CtrlConn *ccp, char *buf, size_t buflen, int so)
{
    (void)buf;
    (void)buflen;
    (void)so;
    log_debug("handle_ctrl_cmd", "placeholder: CTRL text from %s:%d not interpreted: %s",
              ccp->addr, ccp->port, ccp->buf);
    return 0;
}
