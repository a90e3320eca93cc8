// Traffic statistics: the receive and send counters (state.h), the periodic
// report that prints and restarts the short counters, and the counters the
// CTRL command `counters` reports (ctrl_cmd.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

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
    AUTH_REPLAYED,         // valid MAC, a counter seen or below the sender's window
    AUTH_OUTSIDE_WINDOW,   // valid MAC, time further than auth_window from ours
    AUTH_TABLE_FULL,       // valid MAC, a new sender while the replay table is full
    AUTH_SLOTS,
};

// Counted since the start, outside the slots: datagrams dropped before their
// type was looked at (shorter than a header, a source address that could
// not be shown), and sends that failed or were short (one per target).
extern int64_t stats_rx_dropped;
extern int64_t stats_tx_failed;
// Datagrams the kernel dropped on the receive socket (its queue was full),
// as the socket reported them at the last statistics interval.
extern int64_t stats_rx_socket_drops;
// Ping cycles in which a local node's PING could not be sent (its record,
// a vdisk of it or the message could not be made), all nodes together.
extern int64_t stats_pings_not_sent;

// Zeroes every receive and authentication counter, long and short, and the
// counters above (the send counters start at zero with the process).
void stats_rx_reset();
// Adds 1 to receive slot `slot` (0 to 7, asserted) in both arrays.
void stats_rx_add(int slot);
// Adds 1 to authentication slot `slot` (asserted).
void stats_auth_add(int slot);
// Reads the kernel's count of datagrams dropped on socket `so` into
// stats_rx_socket_drops (one getsockopt); a rise since the last reading is
// a warning line, and its time the counters' "last rx_socket_drops" line.
// A socket that cannot say is a warning and keeps the count.
void stats_socket_drops(int so);
// Logs the RX and TX lines (short/long per slot) and zeroes the short
// counters after each line.
void stats();

// Records the outcome of a reload of the list and key files: `refused` names
// the settings of the files it refused, comma-separated ("local_nodes,
// auth_keys"), empty when it took every one.  A refused reload is counted
// (reload_failures) and its names reported until the next reload.
void stats_reload(const std::string &refused);

// Records that node `nodeid` was announced at `when` (a datagram of it went
// out).  A node seen for the first time takes one list entry; when no memory
// is left for it, the failure is logged and the time is not kept.
void stats_sent(uint32_t nodeid, time_t when);
// The time node `nodeid` was last announced; 0 when never.
time_t stats_last_sent(uint32_t nodeid);
// Records whether a ping cycle sent node `nodeid`'s PING: one not sent is
// counted, in all and for the node, and in the node's run of cycles in a row
// without it, which a PING sent ends.
void stats_ping_cycle(uint32_t nodeid, bool ping_sent);


// The reply to `counters`: one "NAME VALUE\n" line per counter of the table
// in stats.cpp (values since the daemon started), one "local NODE
// LAST_SENT PINGS_NOT_SENT UNSENT_RUN\n" line per local node (its id, the time
// of its last sent datagram in seconds since the epoch, 0 when none, the ping
// cycles that could not send its PING, and how many of the last ones in a
// row did not), a "reload_refused NAMES\n" line while the
// last reload was refused (NAMES as given to stats_reload), then "end\n".  Written
// into buf; the length, or -1 when it does not fit `buflen` bytes.
long stats_counters_text(char *buf, size_t buflen);
