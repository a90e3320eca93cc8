#include "controller/ctrl.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "controller/ctrl_cmd.h"
#include "daemon/syslog.h"
#include "io/netlib.h"

int CtrlConnAlloc(std::unique_ptr<CtrlConn> &out)
{
    CtrlConn *ccp = new (std::nothrow) CtrlConn{};
    if (ccp == nullptr) {
        log_error("CtrlConnAlloc", "calloc(1, %zu): %s", sizeof(CtrlConn), strerror(ENOMEM));
        return -1;
    }
    out.reset(ccp);
    return 0;
}

void CtrlConnFree(std::unique_ptr<CtrlConn> ccp)
{
    if (ccp->so) {
        log_notice("CtrlConnFree", "Closing CTRL connection from %s:%d", ccp->addr, ccp->port);
        ccp->so.reset();
    }
}

void CtrlConnListFlush(CtrlConnList &ccl)
{
    while (!ccl.empty()) {
        std::unique_ptr<CtrlConn> ccp = std::move(ccl.front());
        ccl.pop_front();
        CtrlConnFree(std::move(ccp));
    }
}

int ctrl_conn_accept(int ctrlso, CtrlConnList &ccl)
{
    std::unique_ptr<CtrlConn> ccp;
    if (CtrlConnAlloc(ccp) < 0)
        return -1;
    int fd = tcp_accept(ctrlso, ccp->addr, &ccp->port);
    if (fd < 0) {
        CtrlConnFree(std::move(ccp));
        return -1;
    }
    ccp->so.reset(fd);
    // select() cannot watch a descriptor beyond its set.
    if (fd >= FD_SETSIZE) {
        log_error("controller_thread_loop",
                  "CTRL connection from %s:%d refused: descriptor %d beyond select() limit",
                  ccp->addr, ccp->port, fd);
        CtrlConnFree(std::move(ccp));
        return -1;
    }
    if (fd_blocking(fd, 0) < 0) {
        CtrlConnFree(std::move(ccp));
        return -1;
    }
    log_notice("controller_thread_loop", "Accepted CTRL connection from %s:%d", ccp->addr,
               ccp->port);
    ccl.push_back(std::move(ccp));
    return 0;
}

int ctrl_conns_serve(CtrlConnList &ccl, const fd_set *ready, char *buf, size_t buflen, int so)
{
    int dropped = 0;
    for (auto it = ccl.begin(); it != ccl.end();) {
        CtrlConn *ccp = it->get();
        if (!FD_ISSET(ccp->so.get(), ready)) {
            ++it;
            continue;
        }
        ssize_t n;
        do
            n = read(ccp->so.get(), ccp->buf, sizeof(ccp->buf) - 1);
        while (n < 0 && errno == EINTR);

        if (n > 0) {
            ccp->buf[n] = '\0';
            handle_ctrl_cmd(ccp, buf, buflen, so);
            ++it;
            continue;
        }
        if (n == 0)
            log_notice("controller_thread_loop", "EOF from CTRL client %s:%d", ccp->addr,
                       ccp->port);
        else
            log_error("controller_thread_loop", "read(%s:%d): %s", ccp->addr, ccp->port,
                      strerror(errno));
        std::unique_ptr<CtrlConn> gone = std::move(*it);
        it = ccl.erase(it);
        CtrlConnFree(std::move(gone));
        dropped++;
    }
    return dropped;
}
