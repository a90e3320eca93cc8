#include "controller/stats.h"

#include "controller/state.h"
#include "daemon/check.h"
#include "daemon/config.h"
#include "daemon/syslog.h"

int64_t stats_rx_long[STATS_RX_SLOTS];
int64_t stats_rx_short[STATS_RX_SLOTS];
int64_t stats_tx_long[STATS_TX_SLOTS];
int64_t stats_tx_short[STATS_TX_SLOTS];

namespace {
int64_t stats_auth_long[AUTH_SLOTS];
int64_t stats_auth_short[AUTH_SLOTS];
}  // namespace

void stats_rx_reset()
{
    for (int i = 0; i < STATS_RX_SLOTS; i++)
        stats_rx_long[i] = stats_rx_short[i] = 0;
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
               "UNKNOWN_KEY=%lld/%lld REPLAYED=%lld/%lld OUTSIDE_WINDOW=%lld/%lld",
               AU(0), AU(1), AU(2), AU(3), AU(4), AU(5));
#undef AU
    for (auto &c : stats_auth_short)
        c = 0;
}
