#include "tools/health.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "daemon/config.h"

namespace {

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

// What a finding means to the operator, one or more lines.
void finding_lines(const Finding &f, const ClusterView &view, const std::set<std::string> &local,
                   std::vector<HealthLine> *out)
{
    const HealthLevel level = kind_is_error(f.kind) ? HealthLevel::Error : HealthLevel::Warn;
    const std::string &file = f.files[0];
    const std::string &object = f.objects[0];
    std::string text;
    if (f.kind == kind::MISSING_ATTRIBUTE || f.kind == kind::BAD_ATTRIBUTE) {
        const std::string problem =
            file + (f.kind == kind::MISSING_ATTRIBUTE ? " is missing" : " is " + f.what);
        const std::vector<std::string> nodes = blocked_nodes(view, subject(object), local);
        for (const std::string &n : nodes)
            out->push_back({level, "node " + n + " cannot announce: " + problem});
        if (!nodes.empty())
            return;
        text = object + " cannot be loaded: " + problem;
    } else if (f.kind == kind::LOCK_NOT_REGULAR) {
        text = file + " " + f.what;
    } else if (f.kind == kind::STALE_LOCK) {
        text = file + " is " + f.what + ": " + object +
               " cannot be updated until it goes (marloctl check --repair --stale-locks)";
    } else if (f.kind == kind::LOCK_HELD_LONG || f.kind == kind::LOCK_WITHOUT_PID) {
        text = file + " " + f.what + ": " + object + " cannot be updated";
    } else if (f.kind == kind::UNREADABLE) {
        text = file + " cannot be read: " + f.what;
    } else {
        const bool repairable = f.kind != kind::BAD_LINK && f.kind != kind::STRAY_ENTRY &&
                                f.kind != kind::NODE_IN_SEVERAL_DATASTORES;
        text = f.kind + ": " + f.what + " (" + file + "; " +
               (repairable ? "marloctl check --repair mends it" : "see marloctl check") + ")";
    }
    out->push_back({level, text});
}

// While the daemon's last reload refused a file, it runs on what it read
// before: the file on disk is not what it uses, and the next restart would
// meet the same file.
void reload_line(const DaemonState &daemon, std::vector<HealthLine> *out)
{
    if (daemon.up && !daemon.counters.reload_refused.empty())
        out->push_back({HealthLevel::Warn,
                        "the daemon refused its last reload (" + daemon.counters.reload_refused +
                            "): it keeps what it read before (its log at err says why; "
                            "mend the file, then marloctl reload)"});
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

std::vector<HealthLine> config_health(const std::vector<std::string> &local_nodes)
{
    std::vector<HealthLine> lines;
    // The daemon runs the program from its work directory.
    const std::string prog = work_path(cfg_work_directory, cfg_fence_check);
    struct stat st;
    if (::stat(prog.c_str(), &st) != 0)
        lines.push_back({HealthLevel::Error, "the fence-check program " + prog + " cannot be run: " +
                                                 strerror(errno) + " (fence_check)"});
    else if (!S_ISREG(st.st_mode) || ::access(prog.c_str(), X_OK) != 0)
        lines.push_back({HealthLevel::Error, "the fence-check program " + prog +
                                                 " cannot be run: not an executable file "
                                                 "(fence_check)"});
    if (local_nodes.empty())
        lines.push_back({HealthLevel::Warn, "no local nodes: the daemon announces nothing "
                                            "(local_nodes " + cfg_local_nodes + ")"});
    return lines;
}

Health health_of(const ClusterView &view, const CheckReport &check, const DaemonState &daemon,
                 const std::vector<std::string> &local_nodes,
                 const std::vector<HealthLine> &config)
{
    const std::set<std::string> local(local_nodes.begin(), local_nodes.end());
    const long long limit = 3LL * view.heartbeat_interval;
    std::vector<HealthLine> lines = config;
    if (daemon.busy)
        lines.push_back({HealthLevel::Warn, "busy: fence check for vdisk " + daemon.fence.vdisk +
                                                " running for " +
                                                std::to_string(daemon.fence.seconds) + " s"});
    else if (!daemon.up)
        lines.push_back({HealthLevel::Error, "the daemon is down: " + daemon.why});
    for (const auto &[node, sent] : daemon.counters.local) {
        if (sent == 0)
            lines.push_back({HealthLevel::Error,
                             "node " + node + " cannot announce: the daemon has sent nothing of it"});
        else if (view.now - sent > limit)
            lines.push_back({HealthLevel::Error, "node " + node +
                                                     " cannot announce: the daemon sent nothing "
                                                     "of it for " +
                                                     std::to_string(view.now - sent) + "s"});
    }
    reload_line(daemon, &lines);
    for (const Finding &f : check.findings)
        finding_lines(f, view, local, &lines);
    for (const NodeView &n : view.nodes)
        if (!local.count(n.name) && node_silent(view, n))
            lines.push_back({HealthLevel::Warn, "node " + n.name + " not heard for " +
                                                    std::to_string(node_silence(view, n)) +
                                                    "s (more than three heartbeat intervals)"});

    Health h;
    std::stable_sort(lines.begin(), lines.end(), [](const HealthLine &a, const HealthLine &b) {
        return int(a.level) > int(b.level);
    });
    // A problem met twice (one file in several findings) is said once.
    for (const HealthLine &l : lines)
        if (std::none_of(h.lines.begin(), h.lines.end(),
                         [&](const HealthLine &o) { return o.text == l.text; }))
            h.lines.push_back(l);
    for (const HealthLine &l : h.lines)
        h.level = std::max(h.level, l.level);
    return h;
}
