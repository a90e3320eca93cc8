// The store's state for monitoring: the Prometheus text exposition format
// (version 0.0.4), as the node exporter's textfile collector reads it from
// a *.prom file.  Metrics are named marlo_..., in base units; the daemon's
// counters are counters (marlo_<name>_total), everything else a gauge.  The
// only label values are the objects' own ids and the check kinds.
#pragma once

#include <string>
#include <vector>

#include "tools/check.h"
#include "tools/control.h"
#include "tools/status.h"

struct MetricsRun {
    bool per_vdisk = false;                // a series set per vdisk too
    bool check = false;                    // the check's findings alone
    bool store_readable = true;            // the work directory could be read
    std::vector<std::string> local_nodes;  // this host's nodes
    double started = 0;                    // when the run began, seconds since the epoch
};

// The exposition of the view: per node (labelled local="true" on this
// host's nodes, which also get the time the daemon last sent a datagram of
// them: a host does not hear its own) and per datastore, cluster totals and
// counts by state, per vdisk only with run.per_vdisk; the count of each
// whether the store could be read; whether the daemon runs and every counter
// it reported (each "NAME VALUE" as marlo_NAME_total, whatever its name),
// with the PINGs not sent per local node; when this run began and how long
// it took.  All of it comes from directory listings and a few files per
// object.  With run.check instead: the count of each kind of the check,
// with its own run's time and duration (the check reads every file of the
// store, so it runs on a slower timer into a file of its own).  Times are
// timestamps, never ages, so a file served late says how old it is.
std::string render_metrics(const ClusterView &view, const CheckReport &check,
                           const DaemonState &daemon, const MetricsRun &run);

// Seconds since the epoch, as MetricsRun::started takes them.
double metrics_clock();

// Replaces the file at path with text as the textfile collector needs it:
// written whole to a temporary file in the same directory, mode 0644,
// synced, then renamed over path (a reader sees the old file or the new one,
// never a part).  0; -1 with *why set (the temporary file removed).
int write_file_atomically(const std::string &path, const std::string &text, std::string *why);
