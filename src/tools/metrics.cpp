#include "tools/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <set>
#include <vector>

#include "io/io.h"
#include "tools/escape.h"

namespace {

double now_seconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

std::string sample_text(int v) { return std::to_string(v); }
std::string sample_text(long long v) { return std::to_string(v); }
std::string sample_text(unsigned long long v) { return std::to_string(v); }
std::string sample_text(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

// One metric family: its samples in the order added, written after its
// HELP and TYPE lines.
class Family {
public:
    Family(std::string name, std::string help, const char *type = "gauge")
        : name_(std::move(name)), help_(std::move(help)), type_(type)
    {
    }

    void add(const std::string &label, const std::string &value, long long sample)
    {
        add({{label, value}}, sample);
    }
    template <typename Sample>
    void add(const std::vector<std::pair<std::string, std::string>> &labels, Sample sample)
    {
        std::string line = name_;
        if (!labels.empty()) {
            line += "{";
            for (size_t i = 0; i < labels.size(); i++)
                line += (i ? "," : "") + labels[i].first + "=\"" + label_value(labels[i].second) +
                        "\"";
            line += "}";
        }
        samples_ += line + " " + sample_text(sample) + "\n";
    }
    std::string render() const
    {
        return "# HELP " + name_ + " " + help_ + "\n# TYPE " + name_ + " " + type_ + "\n" +
               samples_;
    }

private:
    // A label value: UTF-8, with backslash, double quote and line feed
    // escaped as the format requires.
    static std::string label_value(const std::string &text)
    {
        std::string out;
        for (char c : utf8_clean(text)) {
            if (c == '\\' || c == '"')
                out += '\\';
            if (c == '\n') {
                out += "\\n";
                continue;
            }
            out += c;
        }
        return out;
    }

    std::string name_, help_, samples_;
    const char *type_;
};

}  // namespace

namespace {

std::string render_check(const CheckReport &check, const MetricsRun &run)
{
    std::string out;
    if (run.store_readable) {
        Family findings("marlo_check_findings",
                        "Inconsistencies of the object database by kind (marloctl check).");
        std::map<std::string, long long> counts;
        for (const Finding &f : check.findings)
            counts[f.kind]++;
        for (const std::string &k : check_kinds())
            findings.add("kind", k, counts[k]);
        out += findings.render();
    }
    Family last_run("marlo_check_last_run_timestamp_seconds",
                    "When the check of these findings began, seconds since the epoch.");
    last_run.add({}, run.started);
    Family duration("marlo_check_run_duration_seconds", "How long the check took.");
    duration.add({}, std::max(0.0, now_seconds() - run.started));
    return out + last_run.render() + duration.render();
}

}  // namespace

std::string render_metrics(const ClusterView &view, const CheckReport &check,
                           const DaemonState &daemon, const MetricsRun &run)
{
    if (run.check)
        return render_check(check, run);
    const std::set<std::string> local(run.local_nodes.begin(), run.local_nodes.end());
    std::map<std::string, long long> sent;
    for (const auto &[node, when] : daemon.counters.local)
        sent[node] = when;

    Family lastping("marlo_node_last_ping_timestamp_seconds",
                    "When this host last heard the node (its lastping), seconds since the epoch.");
    Family last_sent("marlo_node_last_sent_timestamp_seconds",
                     "When the daemon last sent a datagram of this host's node, seconds since the "
                     "epoch (a host does not hear its own nodes).");
    Family node_ds("marlo_node_datastore_info",
                   "The datastore the node is a member of (datastoremember), always 1.");
    Family node_vdisks("marlo_node_vdisks", "Vdisks the node links to.");
    Family nodes("marlo_nodes",
                 "Nodes by state: silent when unheard (and, for this host's, unsent) for more "
                 "than three heartbeat intervals.");
    long long alive = 0, silent = 0;
    for (const NodeView &n : view.nodes) {
        const std::string is_local = local.count(n.name) ? "true" : "false";
        const std::vector<std::pair<std::string, std::string>> labels = {{"node", n.name},
                                                                         {"local", is_local}};
        long long heard = n.lastping.got == Got::Ok ? (long long)n.lastping.value : 0;
        if (n.lastping.got == Got::Ok)
            lastping.add(labels, heard);
        if (auto s = sent.find(n.name); s != sent.end() && s->second != 0) {
            last_sent.add("node", n.name, s->second);
            heard = std::max(heard, s->second);
        }
        (heard != 0 && view.now - heard <= 3LL * view.heartbeat_interval ? alive : silent)++;
        if (n.datastore.got == Got::Ok)
            node_ds.add({{"node", n.name}, {"local", is_local}, {"datastore", n.datastore.value}},
                        1);
        node_vdisks.add(labels, (long long)n.vdisks.size());
    }
    nodes.add("state", "alive", alive);
    nodes.add("state", "silent", silent);

    Family ds_members("marlo_datastore_members", "Member nodes the datastore lists.");
    Family ds_vdisks("marlo_datastore_vdisks", "Vdisks the datastore lists.");
    for (const DatastoreView &d : view.datastores) {
        ds_members.add("datastore", d.uuid, (long long)d.members.size());
        ds_vdisks.add("datastore", d.uuid, (long long)d.vdisks.size());
    }
    Family datastores("marlo_datastores", "Datastores in the store.");
    datastores.add({}, (long long)view.datastores.size());

    Family vd_members("marlo_vdisk_members", "Member nodes in the vdisk's membership.");
    Family vd_frontends("marlo_vdisk_frontends", "Frontends the vdisk's members serve.");
    Family vd_gen("marlo_vdisk_highest_generation",
                  "Highest membership generation applied to the vdisk.");
    Family vdisks("marlo_vdisks",
                  "Vdisks by kind (plain or snapshot) and whether any member serves a frontend.");
    std::map<std::pair<std::string, std::string>, long long> by_state;
    for (const VDiskView &v : view.vdisks) {
        long long listed = 0, frontends = 0;
        for (const MemberView &m : v.members) {
            listed += m.listed;
            frontends += (long long)m.frontends.size();
        }
        const std::string kind = v.snapshot.got != Got::Ok ? "unknown"
                                 : v.snapshot.value != 0   ? "snapshot"
                                                           : "plain";
        by_state[{kind, frontends > 0 ? "true" : "false"}]++;
        if (!run.per_vdisk)
            continue;
        vd_members.add("vdisk", v.uuid, listed);
        vd_frontends.add("vdisk", v.uuid, frontends);
        if (v.highest_gen.got == Got::Ok)
            vd_gen.add("vdisk", v.uuid, (long long)v.highest_gen.value);
    }
    for (const char *kind : {"plain", "snapshot"})
        for (const char *served : {"true", "false"})
            by_state[{kind, served}] += 0;
    for (const auto &[state, count] : by_state)
        vdisks.add({{"kind", state.first}, {"served", state.second}}, count);

    Family readable("marlo_store_readable",
                    "1 when the work directory could be read, else 0 (the store's series "
                    "then say nothing).");
    readable.add({}, run.store_readable ? 1LL : 0LL);
    Family not_sent("marlo_node_pings_not_sent_total",
                    "Ping cycles that could not send this host's node's PING (a vdisk or the "
                    "node's record could not be loaded), since the daemon started.",
                    "counter");
    for (const auto &[node, missed] : daemon.counters.pings_not_sent)
        not_sent.add({{"node", node}}, (long long)missed);

    Family up("marlo_daemon_up",
              "1 when the process the pid file names runs and answers on the CTRL port, or "
              "waits for a fence check; else 0.");
    up.add({}, daemon.up || daemon.busy ? 1LL : 0LL);
    Family fence("marlo_fence_check_running_seconds",
                 "How long the fence check the daemon waits for has run; 0 when none.");
    fence.add({}, daemon.busy ? daemon.fence.seconds : 0LL);

    std::string out;
    for (const Family *f : {&lastping, &last_sent, &node_ds, &node_vdisks, &nodes, &ds_members,
                            &ds_vdisks, &datastores, &vdisks, &readable, &up, &fence,
                            &not_sent})
        out += f->render();
    if (run.per_vdisk)
        for (const Family *f : {&vd_members, &vd_frontends, &vd_gen})
            out += f->render();
    // The daemon's counters, each its own family: a counter added to the
    // daemon shows here as it is.
    for (const auto &[name, value] : daemon.counters.counters) {
        Family counter("marlo_" + name + "_total",
                       "The daemon's counter " + name + " since it started.", "counter");
        counter.add({}, value);
        out += counter.render();
    }
    Family last_run("marlo_metrics_last_run_timestamp_seconds",
                    "When this exposition was made, seconds since the epoch: a file served "
                    "unchanged grows old.");
    last_run.add({}, run.started);
    Family duration("marlo_metrics_run_duration_seconds",
                    "How long making this exposition took.");
    duration.add({}, std::max(0.0, now_seconds() - run.started));
    return out + last_run.render() + duration.render();
}

double metrics_clock() { return now_seconds(); }

int write_file_atomically(const std::string &path, const std::string &text, std::string *why)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // A name the collector skips (it reads *.prom only) while it is written.
    std::string tmp = dir + "/." + base + ".XXXXXX";
    UniqueFd fd(::mkostemp(tmp.data(), O_CLOEXEC));
    if (!fd) {
        *why = tmp + ": " + strerror(errno);
        return -1;
    }
    const auto failed = [&](const char *what) {
        *why = std::string(what) + "(" + tmp + "): " + strerror(errno);
        ::unlink(tmp.c_str());
        return -1;
    };
    if (::fchmod(fd.get(), 0644) != 0)
        return failed("fchmod");
    if (buf_tx(fd.get(), text.data(), text.size(), 1) != ssize_t(text.size()))
        return failed("write");
    if (::fsync(fd.get()) != 0)
        return failed("fsync");
    if (::close(fd.release()) != 0)
        return failed("close");
    if (::rename(tmp.c_str(), path.c_str()) != 0)
        return failed("rename");
    return 0;
}
