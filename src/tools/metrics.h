// The store's state for monitoring: the Prometheus text exposition format
// (version 0.0.4), as the node exporter's textfile collector reads it from
// a *.prom file.  Metrics are named marlo_..., in base units; the daemon's
// counters are counters (marlo_<name>_total), everything else a gauge.  The
// only label values are the objects' own ids and the check kinds.
#pragma once

#include <string>

#include "tools/check.h"
#include "tools/control.h"
#include "tools/status.h"

// The exposition of the view (nodes, datastores, vdisks), of the count of
// each kind of the check, of whether the daemon runs and of every counter
// it reported (each "NAME VALUE" as marlo_NAME_total, whatever its name).
std::string render_metrics(const ClusterView &view, const CheckReport &check,
                           const DaemonState &daemon);

// Replaces the file at path with text as the textfile collector needs it:
// written whole to a temporary file in the same directory, mode 0644,
// synced, then renamed over path (a reader sees the old file or the new one,
// never a part).  0; -1 with *why set (the temporary file removed).
int write_file_atomically(const std::string &path, const std::string &text, std::string *why);
