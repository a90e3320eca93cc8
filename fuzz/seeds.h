// Seed inputs for the fuzz targets, made by the daemon's own message
// builders (datagrams) or written out as a client or an operator would
// (control lines, configuration files).  The corpus generator writes them
// to files; the receive and control targets also apply the datagrams to
// every fresh store, so that each input meets objects to update and remove.
#pragma once

#include <string>
#include <vector>

struct Seed {
    std::string name;   // file name in the corpus
    std::string bytes;  // the input
};

// Valid datagrams of all six types from nodes 101 (version 1.8, in
// datastore "ds-fuzz-01") and 102 (version 1.7, backup channel, no
// datastore): pings with plain vdisks, snapshots, a transaction entry, a
// raised generation, a duplicate entry; heartbeats, statistics, datastore
// joins and leaves, single vdisk pings and vdisk-deleted notices.  Built in
// the order that, applied to an empty store, creates, updates and removes.
// Then copies of some named "*-signed" with a trailer made with the receive
// target's key (FUZZ_KEY_LINE, which the target's key file holds).
// Last come copies of some of them named "*-fd-pressure-<n>" with one more
// byte that makes the receive target leave only n descriptors to spare.
std::vector<Seed> receive_seeds();
inline constexpr char FUZZ_KEY_LINE[] =
    "9 4242424242424242424242424242424242424242424242424242424242424242\n";

// Control lines: each command with and without its arguments, in other
// cases, with CR LF, several lines, no newline, ignored lines, and some
// with a last byte that puts the control target under descriptor pressure.
// Node 101 and 102 are the local nodes of the control target.
std::vector<Seed> ctrl_seeds();

// Configuration files: every key with a valid value, quoted values,
// comments, blank lines, and lines each reader rule refuses.
std::vector<Seed> config_seeds();
