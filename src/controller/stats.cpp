#include "controller/stats.h"

#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "controller/state.h"
#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"
#include "object/attr.h"
#include "object/vdisk.h"

int64_t stats_rx_long[STATS_RX_SLOTS];
int64_t stats_rx_short[STATS_RX_SLOTS];
int64_t stats_tx_long[STATS_TX_SLOTS];
int64_t stats_tx_short[STATS_TX_SLOTS];
int64_t stats_rx_dropped;
int64_t stats_tx_failed;
int64_t stats_rx_socket_drops;
int64_t stats_pings_not_sent;

namespace {

int64_t stats_auth_long[AUTH_SLOTS];
int64_t stats_auth_short[AUTH_SLOTS];
int64_t stats_reload_failures;
std::string reload_refused;  // what the last reload refused; "" when nothing
time_t socket_drops_rose;    // when stats_rx_socket_drops last rose; 0: never

// The counters `counters` reports, in this order: a counter is a row here.
// Names are lower case, digits and underscores; each counts up from zero
// since the daemon started.
struct CounterRow {
    const char *name;
    const int64_t *value;
};
constexpr CounterRow COUNTERS[] = {
    {"rx_datagrams", &stats_rx_long[STATS_ALL]},
    {"rx_ping", &stats_rx_long[STATS_PING]},
    {"rx_ds_ping", &stats_rx_long[STATS_DS_PING]},
    {"rx_aux_ping", &stats_rx_long[STATS_AUX_PING]},
    {"rx_single_vdisk_ping", &stats_rx_long[STATS_SV_PING]},
    {"rx_vdisk_deleted", &stats_rx_long[STATS_VDISK_DEL]},
    {"rx_heartbeat", &stats_rx_long[STATS_HEARTBEAT]},
    {"rx_unknown", &stats_rx_long[STATS_UNKNOWN]},
    {"rx_dropped", &stats_rx_dropped},
    {"rx_socket_drops", &stats_rx_socket_drops},
    {"tx_datagrams", &stats_tx_long[STATS_ALL]},
    {"tx_ping", &stats_tx_long[STATS_PING]},
    {"tx_ds_ping", &stats_tx_long[STATS_DS_PING]},
    {"tx_aux_ping", &stats_tx_long[STATS_AUX_PING]},
    {"tx_single_vdisk_ping", &stats_tx_long[STATS_SV_PING]},
    {"tx_vdisk_deleted", &stats_tx_long[STATS_VDISK_DEL]},
    {"tx_heartbeat", &stats_tx_long[STATS_HEARTBEAT]},
    {"tx_failed", &stats_tx_failed},
    {"pings_not_sent", &stats_pings_not_sent},
    {"auth_signed", &stats_auth_long[AUTH_SIGNED]},
    {"auth_unsigned", &stats_auth_long[AUTH_UNSIGNED]},
    {"auth_bad_mac", &stats_auth_long[AUTH_BAD_MAC]},
    {"auth_unknown_key", &stats_auth_long[AUTH_UNKNOWN_KEY]},
    {"auth_replayed", &stats_auth_long[AUTH_REPLAYED]},
    {"auth_outside_window", &stats_auth_long[AUTH_OUTSIDE_WINDOW]},
    {"auth_table_full", &stats_auth_long[AUTH_TABLE_FULL]},
    {"lock_timeouts", &lock_timeouts},
    {"fence_checks", &fence_check_runs},
    {"fence_check_failures", &fence_check_failures},
    {"fence_checks_rerun", &fence_checks_rerun},
    {"reload_failures", &stats_reload_failures},
};

// When each node announced from here last sent a datagram.  Kept apart from
// the local node records, which every cycle wipes, and small: one entry per
// node ever announced by this process.
struct Sent {
    uint32_t nodeid;
    time_t when;
    int64_t pings_not_sent;
    int64_t unsent_run;  // cycles in a row that could not send its PING
};
std::vector<Sent> sent;

// Appends the formatted text at buf + *len.  false when it does not fit
// the buffer's `buflen` bytes.
__attribute__((format(printf, 4, 5))) bool append(char *buf, size_t buflen, size_t *len,
                                                  const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(buf + *len, buflen - *len, fmt, ap);
    va_end(ap);
    if (n < 0 || size_t(n) >= buflen - *len)
        return false;
    *len += size_t(n);
    return true;
}

}  // namespace

void stats_rx_reset()
{
    for (int i = 0; i < STATS_RX_SLOTS; i++)
        stats_rx_long[i] = stats_rx_short[i] = 0;
    stats_rx_dropped = stats_tx_failed = stats_reload_failures = 0;
    for (int i = 0; i < AUTH_SLOTS; i++)
        stats_auth_long[i] = stats_auth_short[i] = 0;
}

void stats_rx_add(int slot)
{
    MARLO_ASSERT(slot >= 0 && slot < STATS_RX_SLOTS);
    stats_rx_long[slot]++;
    stats_rx_short[slot]++;
}

void stats_auth_add(int slot)
{
    MARLO_ASSERT(slot >= 0 && slot < AUTH_SLOTS);
    stats_auth_long[slot]++;
    stats_auth_short[slot]++;
}

void stats()
{
    // Each pair: since the last report / since start.
#define RX(i) (long long)stats_rx_short[i], (long long)stats_rx_long[i]
    log_notice("stats",
               "RX: ALL=%lld/%lld PING=%lld/%lld DS_PING=%lld/%lld AUX_PING=%lld/%lld "
               "SV_PING=%lld/%lld VDISK_DEL=%lld/%lld HEARTBEAT=%lld/%lld UNKNOWN=%lld/%lld",
               RX(0), RX(1), RX(2), RX(3), RX(4), RX(5), RX(6), RX(7));
#undef RX
    for (auto &c : stats_rx_short)
        c = 0;

#define TX(i) (long long)stats_tx_short[i], (long long)stats_tx_long[i]
    log_notice("stats",
               "TX: ALL=%lld/%lld PING=%lld/%lld DS_PING=%lld/%lld AUX_PING=%lld/%lld "
               "SV_PING=%lld/%lld VDISK_DEL=%lld/%lld HEARTBEAT=%lld/%lld",
               TX(0), TX(1), TX(2), TX(3), TX(4), TX(5), TX(6));
#undef TX
    for (auto &c : stats_tx_short)
        c = 0;

    if (cfg_auth_mode == AUTH_OFF)
        return;
#define AU(i) (long long)stats_auth_short[i], (long long)stats_auth_long[i]
    log_notice("stats",
               "AUTH: SIGNED=%lld/%lld UNSIGNED=%lld/%lld BAD_MAC=%lld/%lld "
               "UNKNOWN_KEY=%lld/%lld REPLAYED=%lld/%lld OUTSIDE_WINDOW=%lld/%lld "
               "TABLE_FULL=%lld/%lld",
               AU(0), AU(1), AU(2), AU(3), AU(4), AU(5), AU(6));
#undef AU
    for (auto &c : stats_auth_short)
        c = 0;
}

void stats_reload(const std::string &refused)
{
    if (!refused.empty())
        stats_reload_failures++;
    reload_refused = refused;
}

// The entry of node `nodeid`, made when missing; nullptr when no memory
// is left for it (logged).
Sent *sent_entry(uint32_t nodeid)
{
    for (Sent &s : sent)
        if (s.nodeid == nodeid)
            return &s;
    Sent s{nodeid, 0, 0, 0};
    if (ListAppend("stats_sent", sent, s) != 0)
        return nullptr;
    return &sent.back();
}

const Sent *sent_find(uint32_t nodeid)
{
    for (const Sent &s : sent)
        if (s.nodeid == nodeid)
            return &s;
    return nullptr;
}

void stats_sent(uint32_t nodeid, time_t when)
{
    if (Sent *s = sent_entry(nodeid))
        s->when = when;
}

time_t stats_last_sent(uint32_t nodeid)
{
    const Sent *s = sent_find(nodeid);
    return s ? s->when : 0;
}

void stats_ping_cycle(uint32_t nodeid, bool ping_sent)
{
    Sent *s = sent_entry(nodeid);
    if (ping_sent) {
        if (s)
            s->unsent_run = 0;
        return;
    }
    stats_pings_not_sent++;
    if (s) {
        s->pings_not_sent++;
        s->unsent_run++;
    }
}

void stats_socket_drops(int so)
{
    uint32_t mem[SK_MEMINFO_VARS] = {};
    socklen_t len = sizeof mem;
    if (getsockopt(so, SOL_SOCKET, SO_MEMINFO, mem, &len) < 0) {
        log_warn("stats", "getsockopt(SO_MEMINFO): %s", strerror(errno));
        return;
    }
    MARLO_ASSERT(len > SK_MEMINFO_DROPS * sizeof mem[0]);  // the kernel fills what it has
    const int64_t drops = mem[SK_MEMINFO_DROPS];
    if (drops > stats_rx_socket_drops) {
        log_warn("stats",
                 "The kernel dropped %lld datagrams on the receive socket (%lld since start): "
                 "its queue was full",
                 (long long)(drops - stats_rx_socket_drops), (long long)drops);
        socket_drops_rose = time(nullptr);
    }
    stats_rx_socket_drops = drops;
}

long stats_counters_text(char *buf, size_t buflen)
{
    size_t len = 0;
    for (const CounterRow &c : COUNTERS)
        if (!append(buf, buflen, &len, "%s %llu\n", c.name, (unsigned long long)*c.value))
            return -1;
    MARLO_ASSERT(local_nodes);
    for (const auto &node : *local_nodes) {
        const Sent *s = sent_find(node->nodeid);
        if (!append(buf, buflen, &len, "local %s %lld %lld %lld\n", node->nodeuuid,
                    (long long)(s ? s->when : 0), (long long)(s ? s->pings_not_sent : 0),
                    (long long)(s ? s->unsent_run : 0)))
            return -1;
    }
    if (!reload_refused.empty() &&
        !append(buf, buflen, &len, "reload_refused %s\n", reload_refused.c_str()))
        return -1;
    if (socket_drops_rose != 0 &&
        !append(buf, buflen, &len, "last rx_socket_drops %lld\n", (long long)socket_drops_rose))
        return -1;
    if (!append(buf, buflen, &len, "end\n"))
        return -1;
    return long(len);
}
