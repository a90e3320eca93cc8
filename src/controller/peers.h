// Whom the daemon speaks for and whom it speaks to: the local nodes and the
// unicast hosts (each read from a small text file, at start and on every
// reload) and the multicast groups (parsed from the configuration once per
// loop run).  All act on the lists of state.h.
//
// List file format: every line, the last included, ends with a newline and
// holds at most 254 characters before it; empty lines and lines starting
// with '#' are skipped.  A local nodes line starts with a non-zero decimal
// node id (leading blanks allowed, text after the digits ignored); a unicast
// hosts line is one IPv4 address of at most 15 characters.
#pragma once

#include <netinet/in.h>

#include <string>

// Reads the local nodes file.  A clean file replaces local_nodes as a whole;
// any error (logged) leaves the previous list in force.  0, or -1 on an
// error, with *why (when given) set to the logged text.
int load_local_nodes(std::string *why = nullptr);
// Logs "[i/n] id" for every local node, in list order.
void dump_local_nodes();
// Reads the unicast hosts file; replaces unicast_hosts as load_local_nodes
// replaces local_nodes, with the same results.
int load_unicast_hosts(std::string *why = nullptr);
// Logs "[i/n] address" for every unicast host, in list order.
void dump_unicast_hosts();

// Appends the groups of the comma/blank separated multicast_address setting
// to multicast_groups.  0, or -1 on the first bad address (logged; groups
// appended before it stay).
int parse_mcast_groups();
// Prepares `so` for multicast on if_addr and joins every group in list order.
// 0, or -1 on the first failure (logged by the socket helpers).
int join_mcast_groups(int so, const struct sockaddr_in *if_addr);
