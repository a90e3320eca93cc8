// The one-screen summary of marloctl health: one overall level, then one
// line per problem in the words an operator acts on ("node 101 cannot
// announce: VDisk/rv-2/name is missing", "the daemon is down: ...").
#pragma once

#include <string>
#include <vector>

#include "tools/check.h"
#include "tools/control.h"
#include "tools/status.h"

// ERROR: the daemon cannot do its work for some object (it is down, cannot
// read, update or announce it); WARN: an inconsistency the daemon's next
// messages or check --repair mend, or a node not heard lately.
enum class HealthLevel { Ok, Warn, Error };

struct HealthLine {
    HealthLevel level;
    std::string text;
};

struct Health {
    HealthLevel level = HealthLevel::Ok;  // the worst of the lines
    std::vector<HealthLine> lines;        // errors first, then warnings, each in check order
};

// "OK", "WARN", "ERROR".
const char *health_word(HealthLevel level);

// The summary of a check, the store as read, the daemon's state and this
// host's nodes (the daemon's times of sending stand in for their silence:
// a host does not hear its own nodes).
// `config`: what config_health found.
Health health_of(const ClusterView &view, const CheckReport &check, const DaemonState &daemon,
                 const std::vector<std::string> &local_nodes,
                 const std::vector<HealthLine> &config = {});

// The configuration the daemon runs with (cfg_*): a fence-check program
// that is missing or not executable is an ERROR (it shows only when a
// generation rises, when it matters most); no local node a WARN (the
// daemon announces nothing).
std::vector<HealthLine> config_health(const std::vector<std::string> &local_nodes);
