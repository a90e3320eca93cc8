#include "tools/health.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "daemon/config.h"

namespace {

// How long the kernel's drops on the receive socket are worth a warning.
constexpr long long SOCKET_DROPS_RECENT = 3600;

// A kind of problem as health's line names it: one such object, several
// (nullptr: there is only ever one, the host's, and the line says what is
// wrong with it), and what to do.  A new kind of problem is a row here and
// the call that adds its problems in health_of.
struct KindRow {
    const char *kind;
    const char *one, *many;
    const char *todo;
};
const KindRow KINDS[] = {
    {"store-unreadable", "the store cannot be read", nullptr,
     "check work_directory in the configuration and its permissions"},
    {"daemon-down", "the daemon is down", nullptr, "systemctl status marlo; its log says why"},
    {"busy", "busy", nullptr,
     "wait for the check to end (a restart would kill it); its lines are in the daemon's log"},
    {"fence-check-program", "the fence-check program cannot be run", nullptr,
     "set fence_check to an executable program, then restart the daemon"},
    {"no-local-nodes", "no local nodes", nullptr,
     "list this host's nodes in the local nodes file, then marloctl reload"},
    {"reload-refused", "the daemon refused its last reload", nullptr,
     "mend the file (the daemon's log at err says why), then marloctl reload"},
    {"node-not-announced", "local node is not announced", "local nodes are not announced",
     "the daemon's log says why (a lock, a load or a send that failed)"},
    {"node-cannot-announce", "local node cannot announce", "local nodes cannot announce",
     "mend the file named (marloctl health -v): no message rewrites it"},
    {"ping-not-sent", "local node's PING could not be sent", "local nodes' PINGs could not be sent",
     "the daemon's log names the vdisk (\"PING from Node N not sent\"); marloctl check"},
    {"socket-drops", "the daemon missed datagrams", nullptr,
     "raise net.core.rmem_max, or lengthen ping_interval (README: Operations)"},
    {"node-silent", "node silent for more than three heartbeat intervals",
     "nodes silent for more than three heartbeat intervals",
     "see the runbook in README: a node gone silent"},
};

const KindRow *kind_row(const std::string &kind)
{
    for (const KindRow &r : KINDS)
        if (kind == r.kind)
            return &r;
    return nullptr;
}

// The object a finding is about, split: "vdisk vd1 member 5" gives
// ("vdisk", "vd1", "5").
struct Subject {
    std::string type, name, member;
};

Subject subject(const std::string &object)
{
    Subject s;
    const size_t blank = object.find(' ');
    s.type = object.substr(0, blank);
    if (blank == std::string::npos)
        return s;
    s.name = object.substr(blank + 1);
    if (const size_t m = s.name.find(" member "); m != std::string::npos) {
        s.member = s.name.substr(m + 8);
        s.name.resize(m);
    }
    return s;
}

// The local nodes an attribute problem keeps from announcing.
std::vector<std::string> blocked_nodes(const ClusterView &view, const Subject &s,
                                       const std::set<std::string> &local)
{
    std::vector<std::string> out;
    if (s.type == "node" || !s.member.empty()) {
        const std::string &node = s.member.empty() ? s.name : s.member;
        if (local.count(node))
            out.push_back(node);
    } else if (s.type == "vdisk") {
        for (const VDiskView &v : view.vdisks)
            if (v.uuid == s.name)
                for (const MemberView &m : v.members)
                    if (local.count(m.node))
                        out.push_back(m.node);
    } else if (s.type == "datastore") {
        for (const NodeView &n : view.nodes)
            if (local.count(n.name) && n.datastore.got == Got::Ok && n.datastore.value == s.name)
                out.push_back(n.name);
    }
    return out;
}

bool repairable(const std::string &k)
{
    return !kind_is_error(k) && k != kind::STRAY_ENTRY && k != kind::NODE_IN_SEVERAL_DATASTORES;
}

// The problems a finding stands for.  An attribute that keeps a local node
// from announcing is that node's problem; elsewhere the object's next
// announcement rewrites a damaged value, unless it is no file at all (a
// FIFO, a directory), which no message replaces.
void finding_problems(const Finding &f, const ClusterView &view, const std::set<std::string> &local,
                      std::vector<HealthProblem> *out)
{
    HealthProblem p{f.kind, kind_is_error(f.kind) ? HealthLevel::Error : HealthLevel::Warn,
                    f.objects[0], f.files[0], f.what};
    if (f.kind == kind::MISSING_ATTRIBUTE || f.kind == kind::BAD_ATTRIBUTE) {
        const std::string problem = f.files[0] + " is " + f.what;
        const std::vector<std::string> nodes = blocked_nodes(view, subject(f.objects[0]), local);
        for (const std::string &n : nodes)
            out->push_back({"node-cannot-announce", HealthLevel::Error, "node " + n, f.files[0],
                            problem});
        if (!nodes.empty())
            return;
        p.text = "cannot be loaded: " + problem;
        p.level = f.what == "not a regular file" ? HealthLevel::Error : HealthLevel::Warn;
    }
    out->push_back(std::move(p));
}

// The first few of a group's objects; with `bare`, "node 1000" as "1000"
// (the line has named their type).
std::string named_objects(const std::vector<std::string> &objects, bool bare)
{
    std::string out;
    for (size_t i = 0; i < objects.size() && i < HEALTH_NAMED; i++)
        out += (i ? ", " : "") + objects[i].substr(bare ? objects[i].find(' ') + 1 : 0);
    if (objects.size() > HEALTH_NAMED)
        out += ", ... (marloctl health -v lists all)";
    return out;
}

// What to do about a group of check findings.
std::string todo(const HealthGroup &g)
{
    if (g.kind == kind::STALE_LOCK)
        return "marloctl check --repair --stale-locks";
    if (g.kind == kind::BAD_ATTRIBUTE || g.kind == kind::MISSING_ATTRIBUTE)
        return g.level == HealthLevel::Warn
                   ? "the object's next announcement rewrites it"
                   : "remove it by hand (marloctl health -v names it); the object's next "
                     "announcement writes the value";
    return repairable(g.kind) ? "marloctl check --repair mends it" : "see marloctl check";
}

}  // namespace

const char *health_word(HealthLevel level)
{
    switch (level) {
    case HealthLevel::Ok: return "OK";
    case HealthLevel::Warn: return "WARN";
    case HealthLevel::Error: return "ERROR";
    }
    return "ERROR";
}

std::vector<HealthProblem> config_health(const std::vector<std::string> &local_nodes)
{
    std::vector<HealthProblem> found;
    // The daemon runs the program from its work directory.
    const std::string prog = work_path(cfg_work_directory, cfg_fence_check);
    struct stat st;
    if (::stat(prog.c_str(), &st) != 0)
        found.push_back({"fence-check-program", HealthLevel::Error, "daemon", prog,
                         prog + ": " + strerror(errno) + " (fence_check)"});
    else if (!S_ISREG(st.st_mode) || ::access(prog.c_str(), X_OK) != 0)
        found.push_back({"fence-check-program", HealthLevel::Error, "daemon", prog,
                         prog + ": not an executable file (fence_check)"});
    if (local_nodes.empty())
        found.push_back({"no-local-nodes", HealthLevel::Warn, "daemon", cfg_local_nodes,
                         "the daemon announces nothing (local_nodes " + cfg_local_nodes + ")"});
    return found;
}

Health health_of(const HealthInput &in)
{
    const ClusterView &view = *in.view;
    const DaemonState &daemon = *in.daemon;
    const std::set<std::string> local(in.local_nodes.begin(), in.local_nodes.end());
    const long long limit = 3LL * view.heartbeat_interval;
    std::vector<HealthProblem> found = in.config;
    if (!in.store_error.empty())
        found.push_back({"store-unreadable", HealthLevel::Error, "store", "", in.store_error});
    if (daemon.busy)
        found.push_back({"busy", HealthLevel::Warn, "daemon", "",
                         "fence check for vdisk " + daemon.fence.vdisk + " running for " +
                             std::to_string(daemon.fence.seconds) + " s"});
    else if (!daemon.up)
        found.push_back({"daemon-down", HealthLevel::Error, "daemon", "", daemon.why});
    if (daemon.up && !daemon.counters.reload_refused.empty())
        found.push_back({"reload-refused", HealthLevel::Warn, "daemon", "",
                         "it keeps what it read before (" + daemon.counters.reload_refused + ")"});
    for (const auto &[node, sent] : daemon.counters.local) {
        if (sent == 0)
            found.push_back({"node-not-announced", HealthLevel::Error, "node " + node, "",
                             "the daemon has sent nothing of it"});
        else if (view.now - sent > limit)
            found.push_back({"node-not-announced", HealthLevel::Error, "node " + node, "",
                             "the daemon sent nothing of it for " +
                                 std::to_string(view.now - sent) + "s"});
    }
    // A PING that could not go out before the node's record existed, at the
    // first cycle, is history once one goes out: only a run that lasts counts.
    for (const auto &[node, run] : daemon.counters.pings_unsent_run)
        if (run != 0)
            found.push_back({"ping-not-sent", HealthLevel::Warn, "node " + node, "",
                             "the last " + std::to_string(run) +
                                 " ping cycles could not send its PING"});
    // Drops matter while recent: an hour after the last, health is clear
    // again (the counter and its series keep them).
    for (const auto &[name, value] : daemon.counters.counters) {
        if (name != "rx_socket_drops" || value == 0)
            continue;
        const auto last = daemon.counters.last_rise.find(name);
        const long long ago = last != daemon.counters.last_rise.end() ? view.now - last->second : 0;
        if (ago < SOCKET_DROPS_RECENT)
            found.push_back({"socket-drops", HealthLevel::Warn, "daemon", "",
                             "the kernel dropped " + std::to_string(value) +
                                 " datagrams on the receive socket since the daemon started, the "
                                 "last " + std::to_string(std::max(ago, 0LL)) +
                                 "s ago: its queue was full"});
    }
    for (const Finding &f : in.check->findings)
        finding_problems(f, view, local, &found);
    if (daemon.up)
        for (const NodeView &n : view.nodes)
            if (!local.count(n.name) && node_silent(view, n))
                found.push_back({"node-silent", HealthLevel::Warn, "node " + n.name, "",
                                 "not heard for " + std::to_string(node_silence(view, n)) + "s"});

    Health h;
    std::stable_sort(found.begin(), found.end(), [](const HealthProblem &a, const HealthProblem &b) {
        return int(a.level) > int(b.level);
    });
    // A problem met twice (one file in several findings) is said once.
    for (HealthProblem &p : found)
        if (std::none_of(h.problems.begin(), h.problems.end(), [&](const HealthProblem &o) {
                return o.kind == p.kind && o.object == p.object && o.text == p.text;
            }))
            h.problems.push_back(std::move(p));
    for (const HealthProblem &p : h.problems)
        h.level = std::max(h.level, p.level);
    return h;
}

std::vector<HealthGroup> health_groups(const Health &health)
{
    std::vector<HealthGroup> groups;
    std::map<std::string, size_t> at;  // kind and level -> index in groups
    for (const HealthProblem &p : health.problems) {
        const std::string key = p.kind + "\n" + health_word(p.level);
        auto [it, added] = at.emplace(key, groups.size());
        if (added) {
            HealthGroup g;
            g.kind = p.kind;
            g.level = p.level;
            groups.push_back(std::move(g));
        }
        groups[it->second].problems.push_back(&p);
    }
    for (HealthGroup &g : groups) {
        // One object may have several problems of a kind (two files).
        std::vector<std::string> objects;
        for (const HealthProblem *p : g.problems)
            if (std::find(objects.begin(), objects.end(), p->object) == objects.end())
                objects.push_back(p->object);
        const size_t n = objects.size();
        std::string what;
        if (const KindRow *r = kind_row(g.kind); r && !r->many) {
            g.summary = std::string(r->one) + ": " + g.problems[0]->text;
            g.todo = r->todo;
            continue;
        } else if (r) {
            what = std::to_string(n) + " " + (n == 1 ? r->one : r->many);
            g.todo = r->todo;
        } else {
            what = g.kind + " in " + std::to_string(n) + (n == 1 ? " object" : " objects");
            g.todo = todo(g);
        }
        g.summary = what + ": " + named_objects(objects, kind_row(g.kind) != nullptr);
        // One problem: what it is fits the line.
        if (g.problems.size() == 1 && !g.problems[0]->text.empty())
            g.summary += " (" + g.problems[0]->text + ")";
    }
    return groups;
}
