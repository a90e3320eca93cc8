#include "controller/ctrl.h"

#include <unistd.h>

#include <algorithm>
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

namespace {

const char LOOP[] = "controller_thread_loop";

// Refusal notices: at most one per this many seconds.
constexpr time_t NOTICE_EVERY_S = 60;
// Pauses of accepting double from 1 s up to this.
constexpr int PAUSE_MAX_S = 32;

void accept_pause(CtrlAdmission &adm)
{
    adm.pause_s = adm.pause_s == 0 ? 1 : std::min(2 * adm.pause_s, PAUSE_MAX_S);
    adm.resume_at = time(nullptr) + adm.pause_s;
    log_notice(LOOP, "Not accepting CTRL connections for %ds", adm.pause_s);
}

// Logs the first refusal at once and then at most one line a minute, with
// the number refused in between.
void refusal_notice(CtrlAdmission &adm, const char *addr, int port)
{
    time_t now = time(nullptr);
    if (adm.notice_ts != 0 && now < adm.notice_ts + NOTICE_EVERY_S) {
        adm.refused++;
        return;
    }
    log_notice(LOOP,
               "CTRL connection from %s:%d closed at once: limit of %zu connections reached "
               "(%lu more refused since the last notice)",
               addr, port, adm.limit, adm.refused);
    adm.notice_ts = now;
    adm.refused = 0;
}

}  // namespace

size_t ctrl_conn_limit(rlim_t free_fds)
{
    rlim_t n = std::min<rlim_t>(free_fds, FD_SETSIZE);
    return size_t(n > 2 * CTRL_FD_RESERVE ? n - CTRL_FD_RESERVE : n / 2);
}

CtrlAdmission ctrl_admission(int top_fd)
{
    struct rlimit rl;
    CtrlAdmission adm;
    rlim_t nofile = getrlimit(RLIMIT_NOFILE, &rl) == 0 ? rl.rlim_cur : FD_SETSIZE;
    // Descriptors are handed out lowest first: those up to top_fd are taken.
    nofile = std::min<rlim_t>(nofile, FD_SETSIZE);
    adm.limit = ctrl_conn_limit(nofile > rlim_t(top_fd) + 1 ? nofile - rlim_t(top_fd) - 1 : 0);
    return adm;
}

bool ctrl_accept_resume(CtrlAdmission &adm, bool freed)
{
    if (!adm.paused() || (!freed && time(nullptr) < adm.resume_at))
        return false;
    adm.resume_at = 0;
    return true;
}

int ctrl_conn_accept(int ctrlso, CtrlConnList &ccl, CtrlAdmission &adm)
{
    std::unique_ptr<CtrlConn> ccp;
    if (CtrlConnAlloc(ccp) < 0) {
        accept_pause(adm);
        return CTRL_ACCEPT_PAUSED;
    }
    int fd = tcp_accept(ctrlso, ccp->addr, &ccp->port);
    if (fd < 0) {
        accept_pause(adm);
        return CTRL_ACCEPT_PAUSED;
    }
    adm.pause_s = 0;
    if (ccl.size() >= adm.limit) {
        UniqueFd refused(fd);
        refusal_notice(adm, ccp->addr, ccp->port);
        return -1;
    }
    ccp->so.reset(fd);
    // select() cannot watch a descriptor beyond its set.
    if (fd >= FD_SETSIZE) {
        log_error(LOOP, "CTRL connection from %s:%d refused: descriptor %d beyond select() limit",
                  ccp->addr, ccp->port, fd);
        CtrlConnFree(std::move(ccp));
        return -1;
    }
    if (fd_blocking(fd, 0) < 0) {
        CtrlConnFree(std::move(ccp));
        return -1;
    }
    log_notice(LOOP, "Accepted CTRL connection from %s:%d", ccp->addr, ccp->port);
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
            log_notice(LOOP, "EOF from CTRL client %s:%d", ccp->addr, ccp->port);
        else
            log_error(LOOP, "read(%s:%d): %s", ccp->addr, ccp->port, strerror(errno));
        std::unique_ptr<CtrlConn> gone = std::move(*it);
        it = ccl.erase(it);
        CtrlConnFree(std::move(gone));
        dropped++;
    }
    return dropped;
}
