// State the controller's files share: the signal flags, the three peer lists
// and the traffic counters.  Everything here lives for the whole process and
// is touched by the controller thread only (the signal handlers only store 1
// into the flags).
#pragma once

#include <signal.h>

#include <cstdint>
#include <memory>

#include "object/model.h"

// Set by the signal handlers, read and cleared by the loop.
extern volatile sig_atomic_t do_exit;      // SIGINT, SIGTERM: leave the loop
extern volatile sig_atomic_t do_reload;    // SIGHUP: re-read both list files
extern volatile sig_atomic_t force_pings;  // SIGUSR1: ping cycle on the next pass

// Owned by the controller from set-up to teardown; they always exist while
// the module is initialised.
extern std::unique_ptr<NodeList> local_nodes;       // nodes hosted here, file order
extern std::unique_ptr<HostList> unicast_hosts;     // unicast targets, file order
extern std::unique_ptr<HostList> multicast_groups;  // joined groups, list order

// Traffic counters: "long" since start, "short" since the last report.  The
// same slot index in both arrays; see stats.h for the slot names.
inline constexpr int STATS_RX_SLOTS = 8;
inline constexpr int STATS_TX_SLOTS = 7;
extern int64_t stats_rx_long[STATS_RX_SLOTS];
extern int64_t stats_rx_short[STATS_RX_SLOTS];
extern int64_t stats_tx_long[STATS_TX_SLOTS];
extern int64_t stats_tx_short[STATS_TX_SLOTS];
