// Module set-up and teardown, signal flags and the loop itself.  One pass:
// check the flags, reload the lists, wait, run the timers, read what fence
// checks left behind write, receive one datagram, serve the CTRL
// connections, accept one new connection.
#include "controller/controller.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>

#include "controller/auth.h"
#include "controller/ctrl.h"
#include "controller/peers.h"
#include "controller/receive.h"
#include "controller/send.h"
#include "controller/state.h"
#include "controller/stats.h"
#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "io/io.h"
#include "io/misc.h"
#include "io/netlib.h"
#include "io/spawn.h"
#include "object/vdisk.h"
#include "proto/records.h"

int controller_module_initialized = 0;

volatile sig_atomic_t do_exit = 0;
volatile sig_atomic_t do_reload = 1;
volatile sig_atomic_t force_pings = 1;

std::unique_ptr<NodeList> local_nodes;
std::unique_ptr<HostList> unicast_hosts;
std::unique_ptr<HostList> multicast_groups;

namespace {

const char LOOP[] = "controller_thread_loop";

// Wall-clock times (seconds) of the last cycle of each timer.
time_t ping_ts;
time_t heartbeat_ts;
time_t stats_ts;

// Signal handlers: they only raise a flag.
void sigint(int) { do_exit = 1; }
void sighup(int) { do_reload = 1; }
void sigusr1(int) { force_pings = 1; }

// Installs `handler` for `sig` with an empty mask and no flags, so that a
// signal interrupts select() instead of restarting it.
void install_signal(int sig, void (*handler)(int))
{
    struct sigaction sa;
    std::memset(&sa, 0, sizeof(sa));
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    int rc = sigaction(sig, &sa, nullptr);
    MARLO_ASSERT(rc == 0);
}

// What one run of the loop owns; released in reverse order on every return.
struct LoopRun {
    std::unique_ptr<char[]> buf;  // message buffer: every datagram in or out
    size_t buflen = MSG_BUF_LEN;
    struct sockaddr_in if_addr {};
    UniqueFd so;      // UDP cluster socket
    UniqueFd ctrlso;  // listening CTRL socket
    CtrlConnList ccl;
    CtrlAdmission admit;  // bound on connections; accepting paused or not
    fd_set fds;       // master read set
    int nfds = 0;     // highest descriptor in fds plus one
    VDiskTree vdt;    // scratch tree of the receive path
};

// Rebuilds the master read set from the two sockets and every connection
// (ctrlso -1: the listening socket is not watched).
void update_fds(fd_set *fds, int *nfds, int so, int ctrlso, const CtrlConnList &ccl)
{
    FD_ZERO(fds);
    int max = -1;
    auto add = [&](int fd) {
        MARLO_ASSERT(fd >= 0 && fd < FD_SETSIZE);
        FD_SET(fd, fds);
        if (fd > max)
            max = fd;
    };
    add(so);
    if (ctrlso >= 0)
        add(ctrlso);
    for (const auto &ccp : ccl)
        add(ccp->so.get());
    *nfds = max + 1;
}

void update_fds(LoopRun &run)
{
    update_fds(&run.fds, &run.nfds, run.so.get(), run.admit.paused() ? -1 : run.ctrlso.get(),
               run.ccl);
}

// Joins the configured multicast groups on the UDP socket.  0 or -1 (logged).
int start_multicast(LoopRun &run)
{
    if (parse_mcast_groups() < 0)
        return -1;
    if (multicast_groups->empty()) {
        log_error(LOOP, "Multicast groups missing");
        return -1;
    }
    return join_mcast_groups(run.so.get(), &run.if_addr);
}

// The loop's state from controller_listen() until the loop returns.
LoopRun loop_state;

// Allocates the buffer and opens the sockets.  0, or -1 (logged).
int loop_start(LoopRun &run)
{
    run.buf.reset(new (std::nothrow) char[run.buflen]);
    if (!run.buf) {
        log_error(LOOP, "malloc(%zu): %s", run.buflen, strerror(ENOMEM));
        return -1;
    }
    if (get_interface_addr(cfg_bind_interface.c_str(), &run.if_addr) < 0)
        return -1;

    struct sockaddr_in bind_addr;
    std::memset(&bind_addr, 0, sizeof(bind_addr));
    bind_addr.sin_family = AF_INET;
    bind_addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bind_addr.sin_port = htons(static_cast<uint16_t>(cfg_bind_port));
    run.so.reset(open_socket(&bind_addr));
    if (!run.so)
        return -1;

    run.ctrlso.reset(tcp_listen(cfg_ctrl_address.c_str(), cfg_ctrl_port, 128));
    if (!run.ctrlso || fd_blocking(run.ctrlso.get(), 0) < 0)
        return -1;

    // Both sockets are watched by select(); a process started with a
    // thousand descriptors open cannot run the loop.
    if (run.so.get() >= FD_SETSIZE || run.ctrlso.get() >= FD_SETSIZE) {
        log_error(LOOP, "socket descriptors %d, %d beyond select() limit %d", run.so.get(),
                  run.ctrlso.get(), FD_SETSIZE);
        return -1;
    }
    if (cfg_unicast_mode == 0 && start_multicast(run) < 0)
        return -1;

    run.admit = ctrl_admission(std::max(run.so.get(), run.ctrlso.get()));
    update_fds(run);
    return 0;
}

// Closes every connection and both sockets and frees the buffer.
void loop_exit(LoopRun &run)
{
    if (!run.vdt.empty())
        VDiskTreeFlush(run.vdt);
    CtrlConnListFlush(run.ccl);
    program_outputs_close();
    run.ctrlso.reset();
    run.so.reset();
    run.buf.reset();
}

// Re-reads both list files and the key file.  The flag is cleared first, so
// that a SIGHUP arriving while the files are read causes one more reload.  A
// file refused (its reader logged why) leaves what was read before in force;
// the reload is then counted as refused, naming the settings of those files.
void reload_lists()
{
    do_reload = 0;
    std::string refused;
    auto refuse = [&](const char *setting) {
        refused += (refused.empty() ? "" : ",") + std::string(setting);
    };
    if (load_local_nodes() < 0)
        refuse("local_nodes");
    dump_local_nodes();
    if (load_unicast_hosts() < 0)
        refuse("unicast_hosts");
    dump_unicast_hosts();
    if (auth_reload() < 0)
        refuse("auth_keys");
    stats_reload(refused);
}

// Waits at most one second for a readable descriptor (the master set and
// the output pipes fence checks left behind).  The select() result: the
// number ready, 0 on time-out, -1 on failure (logged unless EINTR).
int wait_readable(const LoopRun &run, fd_set *ready)
{
    *ready = run.fds;
    const int nfds = program_outputs_watch(ready, run.nfds);
    struct timeval tv = {1, 0};
    int n = select(nfds, ready, nullptr, nullptr, &tv);
    if (n < 0 && errno != EINTR)
        log_error(LOOP, "select(): %s", strerror(errno));
    return n;
}

// Statistics, pings, heartbeats: each runs when its interval has passed since
// the end of its last cycle (pings also when forced).  force_pings is cleared
// before the cycle, so that a SIGUSR1 during it asks for another one.
void run_timers(LoopRun &run)
{
    if (time(nullptr) >= stats_ts + cfg_stats_interval) {
        stats_socket_drops(run.so.get());
        stats();
        stats_ts = time(nullptr);
    }
    if (force_pings || time(nullptr) >= ping_ts + cfg_ping_interval) {
        force_pings = 0;
        send_pings(run.buf.get(), run.buflen, run.so.get());
        ping_ts = time(nullptr);
    }
    if (time(nullptr) >= heartbeat_ts + cfg_heartbeat_interval) {
        send_heartbeats(run.buf.get(), run.buflen, run.so.get());
        heartbeat_ts = time(nullptr);
    }
}

}  // namespace

int controller_module_setup()
{
    MARLO_ASSERT(!controller_module_initialized);
    MARLO_ASSERT(!local_nodes && !unicast_hosts && !multicast_groups);

    if (NodeListAlloc(local_nodes) < 0)
        return -1;
    if (HostListAlloc(unicast_hosts) < 0) {
        local_nodes.reset();
        return -2;
    }
    if (HostListAlloc(multicast_groups) < 0) {
        unicast_hosts.reset();
        local_nodes.reset();
        return -3;
    }

    // The flags start as the first pass needs them: load the lists, ping.
    do_exit = 0;
    do_reload = 1;
    force_pings = 1;
    install_signal(SIGPIPE, SIG_IGN);
    install_signal(SIGINT, sigint);
    install_signal(SIGTERM, sigint);
    install_signal(SIGHUP, sighup);
    install_signal(SIGUSR1, sigusr1);
    // A stop requested while a fence check runs is seen (logged) at once,
    // and one during a lock's back-off ends it.
    stop_flag_watch(&do_exit);

    stats_rx_reset();

    time_t now = time(nullptr);
    ping_ts = now;
    heartbeat_ts = now + 3;
    stats_ts = now + 7;

    controller_module_initialized = 1;
    return 0;
}

int controller_listen()
{
    MARLO_ASSERT(controller_module_initialized);
    MARLO_ASSERT(!loop_state.so && !loop_state.ctrlso);
    if (loop_start(loop_state) < 0) {
        loop_exit(loop_state);
        return -1;
    }
    return 0;
}

int controller_thread_loop()
{
    MARLO_ASSERT(controller_module_initialized);
    LoopRun &run = loop_state;
    MARLO_ASSERT(run.so && run.ctrlso);

    // Checks a killed or stopped run of the daemon owed.
    VDiskFenceOwedScan();
    for (;;) {
        if (do_exit) {
            log_notice(LOOP, "Exit...");
            break;
        }
        if (do_reload)
            reload_lists();
        if (ctrl_accept_resume(run.admit, false))
            update_fds(run);

        fd_set ready;
        int n = wait_readable(run, &ready);
        if (n < 0)
            continue;
        run_timers(run);
        if (n == 0) {
            log_debug(LOOP, "Waiting...");
            continue;
        }
        program_outputs_serve(&ready);

        if (FD_ISSET(run.so.get(), &ready)) {
            int rx = receive_msg(run.buf.get(), run.buflen, run.so.get(), run.vdt);
            if (rx == RX_FAILED)
                break;  // an orderly stop: result 0
            if (rx == RX_DROPPED)
                continue;
        }
        if (ctrl_conns_serve(run.ccl, &ready, run.buf.get(), run.buflen, run.so.get()) > 0) {
            ctrl_accept_resume(run.admit, true);
            update_fds(run);
        }
        if (FD_ISSET(run.ctrlso.get(), &ready) &&
            ctrl_conn_accept(run.ctrlso.get(), run.ccl, run.admit) != -1)
            update_fds(run);
    }
    loop_exit(run);
    return 0;
}

void controller_module_teardown()
{
    MARLO_ASSERT(controller_module_initialized);
    log_notice("controller_module_teardown", "Starting shutdown sequence...");
    MARLO_ASSERT(multicast_groups && unicast_hosts && local_nodes);
    multicast_groups.reset();
    unicast_hosts.reset();
    local_nodes.reset();
    stop_flag_watch(nullptr);
    controller_module_initialized = 0;
    log_notice("controller_module_teardown", "Shutdown sequence finished!");
}
