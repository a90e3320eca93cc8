#include "tools/metrics.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <vector>

#include "io/io.h"
#include "tools/escape.h"

namespace {

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
        samples_ += line + " " + std::to_string(sample) + "\n";
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

std::string render_metrics(const ClusterView &view, const CheckReport &check,
                           const DaemonState &daemon)
{
    Family age("marlo_node_last_ping_age_seconds", "Seconds since the node's last ping.");
    Family node_ds("marlo_node_datastore_info",
                   "The datastore the node is a member of (datastoremember), always 1.");
    Family node_vdisks("marlo_node_vdisks", "Vdisks the node links to.");
    for (const NodeView &n : view.nodes) {
        if (n.lastping.got == Got::Ok)
            age.add("node", n.name, node_silence(view, n));
        if (n.datastore.got == Got::Ok)
            node_ds.add({{"node", n.name}, {"datastore", n.datastore.value}}, 1);
        node_vdisks.add("node", n.name, (long long)n.vdisks.size());
    }

    Family ds_members("marlo_datastore_members", "Member nodes the datastore lists.");
    Family ds_vdisks("marlo_datastore_vdisks", "Vdisks the datastore lists.");
    for (const DatastoreView &d : view.datastores) {
        ds_members.add("datastore", d.uuid, (long long)d.members.size());
        ds_vdisks.add("datastore", d.uuid, (long long)d.vdisks.size());
    }

    Family vd_members("marlo_vdisk_members", "Member nodes in the vdisk's membership.");
    Family vd_frontends("marlo_vdisk_frontends", "Frontends the vdisk's members serve.");
    Family vd_gen("marlo_vdisk_highest_generation",
                  "Highest membership generation applied to the vdisk.");
    for (const VDiskView &v : view.vdisks) {
        long long listed = 0, frontends = 0;
        for (const MemberView &m : v.members) {
            listed += m.listed;
            frontends += (long long)m.frontends.size();
        }
        vd_members.add("vdisk", v.uuid, listed);
        vd_frontends.add("vdisk", v.uuid, frontends);
        if (v.highest_gen.got == Got::Ok)
            vd_gen.add("vdisk", v.uuid, (long long)v.highest_gen.value);
    }

    Family findings("marlo_check_findings",
                    "Inconsistencies of the object database by kind (marloctl check).");
    std::map<std::string, long long> counts;
    for (const Finding &f : check.findings)
        counts[f.kind]++;
    for (const std::string &k : check_kinds())
        findings.add("kind", k, counts[k]);

    Family up("marlo_daemon_up",
              "1 when the process the pid file names runs and answers on the CTRL port, else 0.");
    up.add({}, daemon.up ? 1 : 0);

    std::string out;
    for (const Family *f : {&age, &node_ds, &node_vdisks, &ds_members, &ds_vdisks, &vd_members,
                            &vd_frontends, &vd_gen, &findings, &up})
        out += f->render();
    // The daemon's counters, each its own family: a counter added to the
    // daemon shows here as it is.
    for (const auto &[name, value] : daemon.counters.counters) {
        Family counter("marlo_" + name + "_total",
                       "The daemon's counter " + name + " since it started.", "counter");
        counter.add({}, value);
        out += counter.render();
    }
    return out;
}

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
