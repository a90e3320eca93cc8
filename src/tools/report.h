// The three renderings of a ClusterView: tables for the operator, one JSON
// document for scripts, a Graphviz DOT graph.
//
// Table marks: "-" a file that does not exist (or no value), "?" a file that
// is present but unreadable (listed under "Problems"), "!" after a name: the
// object it names does not exist, "*" after a silence: longer than three
// heartbeat intervals.
#pragma once

#include <string>

#include "tools/check.h"
#include "tools/health.h"
#include "tools/status.h"

// Nodes, datastores and vdisks as aligned tables, then the problems found.
std::string render_table(const ClusterView &view);
// The same content as one JSON object (values that could not be read are
// null; each object lists its problems).
std::string render_json(const ClusterView &view);
// Nodes, datastores and vdisks with their relations as a DOT digraph.
// Objects that are referred to but do not exist are drawn dashed in red.
std::string render_dot(const ClusterView &view);

// The findings of a check as a table, the lock files as another, then one
// line with the number of inconsistencies by kind (or that there is none).
std::string render_check_table(const CheckReport &report);
// The same as one JSON object: findings, locks and the count of each kind.
std::string render_check_json(const CheckReport &report);

// The health summary: the verdict with the number of errors and warnings on
// the first line, then one line per kind of problem with its level (and,
// with `every`, one line per object under it).
std::string render_health(const Health &health, bool every);
// The same as one JSON object: "status" and "problems" (kind, severity,
// object, file and text of each).
std::string render_health_json(const Health &health);
