// The one-screen summary of marloctl health: a verdict, then one line per
// kind of problem (how many objects, the first few of them, what to do),
// however large the cluster: 400 silent nodes are one line, not 400.  Each
// problem also stands alone, with its object and file, for -v and --json.
#pragma once

#include <string>
#include <vector>

#include "tools/check.h"
#include "tools/control.h"
#include "tools/status.h"

// Severity follows who can mend a problem.  ERROR: it needs an operator
// (the daemon is down, cannot read, update or announce an object, or the
// store holds what no message rewrites); WARN: the daemon's next messages
// or check --repair mend it, or a node was not heard lately.
enum class HealthLevel { Ok, Warn, Error };

// One problem of one object.
struct HealthProblem {
    std::string kind;     // a row of the health kinds: "node-silent", a check kind, ...
    HealthLevel level = HealthLevel::Warn;
    std::string object;   // "node 1000", "vdisk vd1", "daemon", "store"
    std::string file;     // relative to the work directory, a lock file or ""
    std::string text;     // what is wrong with it
};

// The problems of one kind, as health's one line shows them.
struct HealthGroup {
    std::string kind;
    HealthLevel level = HealthLevel::Warn;  // the worst of its problems
    std::string summary;                    // "14 nodes silent for more than ..."
    std::string todo;                       // what to do about them
    std::vector<const HealthProblem *> problems;
};

struct Health {
    HealthLevel level = HealthLevel::Ok;  // the worst of the problems
    std::vector<HealthProblem> problems;  // errors first, then warnings, each in finding order
};

// "OK", "WARN", "ERROR".
const char *health_word(HealthLevel level);

// What health looks at.  store_error is "" when the work directory was read
// (view and check then hold it), else why it could not be.
struct HealthInput {
    const ClusterView *view;
    const CheckReport *check;
    const DaemonState *daemon;
    std::vector<std::string> local_nodes;
    std::string store_error;
    std::vector<HealthProblem> config;  // what config_health found
};

// The problems of the store, the daemon and this host's nodes (the daemon's
// times of sending stand in for their silence: a host does not hear its own
// nodes).  While the daemon is down this host hears nobody, so nodes are not
// called silent then: the daemon's line says it all.
Health health_of(const HealthInput &in);

// The problems by kind, in the order of health.problems (errors first).
std::vector<HealthGroup> health_groups(const Health &health);

// How many objects a group line names before "...".
inline constexpr size_t HEALTH_NAMED = 3;

// The configuration the daemon runs with (cfg_*): a fence-check program
// that is missing or not executable is an ERROR (it shows only when a
// generation rises, when it matters most); no local node a WARN (the
// daemon announces nothing).
std::vector<HealthProblem> config_health(const std::vector<std::string> &local_nodes);
