// The store's state for monitoring: the Prometheus text exposition format
// (version 0.0.4), as the node exporter's textfile collector reads it from
// a *.prom file.  Every metric is a gauge named marlo_..., in base units;
// the only label values are the objects' own ids and the check kinds.
#pragma once

#include <string>

#include "tools/check.h"
#include "tools/status.h"

// The exposition of the view (nodes, datastores, vdisks), of the count of
// each kind of the check and of whether the daemon runs (daemon_up).
std::string render_metrics(const ClusterView &view, const CheckReport &check, bool daemon_up);

// Replaces the file at path with text as the textfile collector needs it:
// written whole to a temporary file in the same directory, mode 0644,
// synced, then renamed over path (a reader sees the old file or the new one,
// never a part).  0; -1 with *why set (the temporary file removed).
int write_file_atomically(const std::string &path, const std::string &text, std::string *why);
