// Traffic statistics: the receive and send counters (state.h) and the
// periodic report that prints and restarts the short counters.
#pragma once

// Counter slots, the same in the receive and the send arrays (the send
// arrays have no UNKNOWN slot).
enum StatsSlot {
    STATS_ALL = 0,
    STATS_PING = 1,
    STATS_DS_PING = 2,
    STATS_AUX_PING = 3,
    STATS_SV_PING = 4,
    STATS_VDISK_DEL = 5,
    STATS_HEARTBEAT = 6,
    STATS_UNKNOWN = 7,
};

// Authentication counters (auth.h): received datagrams by what their
// trailer proved.
enum AuthSlot {
    AUTH_SIGNED = 0,       // valid: key, MAC, time and counter
    AUTH_UNSIGNED,         // no trailer
    AUTH_BAD_MAC,          // a known key id, a MAC that does not match
    AUTH_UNKNOWN_KEY,      // a key id not in the key file
    AUTH_REPLAYED,         // valid MAC, counter not above the sender's highest
    AUTH_OUTSIDE_WINDOW,   // valid MAC, time further than auth_window from ours
    AUTH_SLOTS,
};

// Zeroes every receive counter, long and short (the send counters start at
// zero with the process).
void stats_rx_reset();
// Adds 1 to receive slot `slot` (0 to 7, asserted) in both arrays.
void stats_rx_add(int slot);
// Adds 1 to authentication slot `slot` (asserted).
void stats_auth_add(int slot);
// Logs the RX and TX lines (short/long per slot) and zeroes the short
// counters after each line.
void stats();
