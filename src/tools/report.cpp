#include "tools/report.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "tools/escape.h"

namespace {

// ---- tables ----

const char *const MARK_MISSING = "-";
const char *const MARK_BAD = "?";

std::string cell(const TextValue &v)
{
    switch (v.got) {
    case Got::Ok: return cell_text(v.value);
    case Got::Missing: return MARK_MISSING;
    case Got::Bad: return MARK_BAD;
    }
    return MARK_BAD;
}

std::string cell(const NumberValue &v)
{
    switch (v.got) {
    case Got::Ok: return std::to_string(v.value);
    case Got::Missing: return MARK_MISSING;
    case Got::Bad: return MARK_BAD;
    }
    return MARK_BAD;
}

// A reference: its name, with "!" when the object does not exist.
std::string cell(const TextValue &v, bool present)
{
    std::string c = cell(v);
    return v.got == Got::Ok && !present ? c + "!" : c;
}

std::string ref_list(Got got, const std::vector<Ref> &refs)
{
    if (got == Got::Missing)
        return MARK_MISSING;
    if (got == Got::Bad)
        return MARK_BAD;
    if (refs.empty())
        return "none";
    std::string out;
    for (const Ref &r : refs)
        out += (out.empty() ? "" : ",") + cell_text(r.name) + (r.present ? "" : "!");
    return out;
}

std::string silence_cell(const ClusterView &view, const NodeView &n)
{
    if (n.lastping.got != Got::Ok)
        return cell(n.lastping);
    return std::to_string(node_silence(view, n)) + "s" + (node_silent(view, n) ? "*" : "");
}

std::string vdisk_count_cell(const NodeView &n)
{
    if (n.vdisks_got != Got::Ok)
        return n.vdisks_got == Got::Missing ? MARK_MISSING : MARK_BAD;
    bool dangling = std::any_of(n.vdisks.begin(), n.vdisks.end(),
                                [](const Ref &r) { return !r.present; });
    return std::to_string(n.vdisks.size()) + (dangling ? "!" : "");
}

std::string kind_cell(const VDiskView &v)
{
    if (v.snapshot.got != Got::Ok)
        return cell(v.snapshot);
    if (v.snapshot.value == 0)
        return "plain";
    return "snapshot:" + cell(v.parent, v.parent_present);
}

std::string members_cell(const VDiskView &v)
{
    if (v.membership_got != Got::Ok)
        return v.membership_got == Got::Missing ? MARK_MISSING : MARK_BAD;
    std::string out;
    for (const MemberView &m : v.members)
        if (m.listed)
            out += (out.empty() ? "" : ",") + cell_text(m.node) + (m.node_present ? "" : "!");
    return out.empty() ? "none" : out;
}

std::string frontends_cell(const VDiskView &v)
{
    std::string out;
    for (const MemberView &m : v.members) {
        std::string fe;
        if (m.frontends_got == Got::Missing)
            fe = MARK_MISSING;
        else if (m.frontends_got == Got::Bad)
            fe = MARK_BAD;
        else if (m.frontends.empty())
            fe = "none";
        for (const std::string &a : m.frontends)
            fe += (fe.empty() ? "" : ",") + cell_text(a);
        out += (out.empty() ? "" : ";") + cell_text(m.node) + "=" + fe;
    }
    return out.empty() ? "none" : out;
}

// Columns separated by two blanks, each as wide as its widest cell; the last
// column is not padded.
class Table {
public:
    explicit Table(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
    void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    bool empty() const { return rows_.size() == 1; }
    std::string render() const
    {
        std::vector<size_t> width(rows_[0].size(), 0);
        for (const auto &row : rows_)
            for (size_t i = 0; i < row.size(); i++)
                width[i] = std::max(width[i], row[i].size());
        std::string out;
        for (const auto &row : rows_) {
            std::string line;
            for (size_t i = 0; i < row.size(); i++) {
                line += row[i];
                if (i + 1 < row.size())
                    line += std::string(width[i] - row[i].size() + 2, ' ');
            }
            out += line + "\n";
        }
        return out;
    }

private:
    std::vector<std::vector<std::string>> rows_;
};

std::string section(const std::string &title, const Table &table)
{
    return title + "\n" + (table.empty() ? std::string("(none)\n") : table.render());
}

void add_problems(std::vector<Problem> &all, const std::vector<Problem> &some)
{
    all.insert(all.end(), some.begin(), some.end());
}

// ---- JSON ----

using nlohmann::ordered_json;

ordered_json jtext(const TextValue &v) { return v.got == Got::Ok ? ordered_json(v.value) : ordered_json(); }

ordered_json jnum(const NumberValue &v)
{
    return v.got == Got::Ok ? ordered_json(v.value) : ordered_json();
}

// A value that is null unless `known`.
template <class T>
ordered_json jif(bool known, const T &value)
{
    return known ? ordered_json(value) : ordered_json();
}

ordered_json jproblems(const std::vector<Problem> &problems)
{
    ordered_json items = ordered_json::array();
    for (const Problem &p : problems)
        items.push_back({{"file", p.path}, {"problem", p.what}});
    return items;
}

ordered_json jrefs(Got got, const std::vector<Ref> &refs, const char *key)
{
    if (got != Got::Ok)
        return ordered_json();
    ordered_json items = ordered_json::array();
    for (const Ref &r : refs)
        items.push_back({{key, r.name}, {"present", r.present}});
    return items;
}

ordered_json jnode(const ClusterView &view, const NodeView &n)
{
    const bool lp = n.lastping.got == Got::Ok;
    return {
        {"id", jif(n.id_ok, n.id)},
        {"name", n.name},
        {"address", jtext(n.ipaddr)},
        {"version", jtext(n.version)},
        {"vendor", jtext(n.vendor)},
        {"model", jtext(n.model)},
        {"lastping", jnum(n.lastping)},
        {"silence", jif(lp, lp ? node_silence(view, n) : 0)},
        {"silent", jif(lp, lp && node_silent(view, n))},
        {"datastore", jtext(n.datastore)},
        {"datastore_present", jif(n.datastore.got == Got::Ok, n.datastore_present)},
        {"vdisks", jrefs(n.vdisks_got, n.vdisks, "uuid")},
        {"freespace", jnum(n.freespace)},
        {"problems", jproblems(n.problems)},
    };
}

ordered_json jdatastore(const DatastoreView &d)
{
    return {
        {"uuid", d.uuid},
        {"name", jtext(d.name)},
        {"members", jrefs(d.members_got, d.members, "node")},
        {"vdisks", jrefs(d.vdisks_got, d.vdisks, "uuid")},
        {"problems", jproblems(d.problems)},
    };
}

ordered_json jvdisk(const VDiskView &v)
{
    const bool snap = v.snapshot.got == Got::Ok;
    const bool parent = snap && v.snapshot.value != 0 && v.parent.got == Got::Ok;
    ordered_json members = ordered_json::array();
    for (const MemberView &m : v.members)
        members.push_back({{"node", m.node},
                           {"listed", m.listed},
                           {"node_present", m.node_present},
                           {"frontends", jif(m.frontends_got == Got::Ok, m.frontends)}});
    return {
        {"uuid", v.uuid},
        {"name", jtext(v.name)},
        {"snapshot", jif(snap, snap && v.snapshot.value != 0)},
        {"parent", jif(parent, v.parent.value)},
        {"parent_present", jif(parent, v.parent_present)},
        {"highest_gen_count", jnum(v.highest_gen)},
        {"membership_readable", v.membership_got == Got::Ok},
        {"members", std::move(members)},
        {"datastore", jtext(v.datastore)},
        {"datastore_present", jif(v.datastore.got == Got::Ok, v.datastore_present)},
        {"problems", jproblems(v.problems)},
    };
}

// A JSON document as text: two-blank indentation, and bytes that are not
// valid UTF-8 (text from the store is any bytes) replaced by U+FFFD.
std::string json_text(const ordered_json &doc)
{
    return doc.dump(2, ' ', false, ordered_json::error_handler_t::replace) + "\n";
}

// ---- DOT ----

class Dot {
public:
    explicit Dot(const ClusterView &view) : view_(view) {}

    std::string render()
    {
        for (const NodeView &n : view_.nodes)
            drawn_.insert(node_id(n.name));
        for (const DatastoreView &d : view_.datastores)
            drawn_.insert(ds_id(d.uuid));
        for (const VDiskView &v : view_.vdisks)
            drawn_.insert(vdisk_id(v.uuid));

        for (const NodeView &n : view_.nodes)
            shape(node_id(n.name), "box",
                  dot_label("node " + n.name, text(n.ipaddr), text(n.vendor) + "/" + text(n.model)),
                  !n.problems.empty());
        for (const DatastoreView &d : view_.datastores)
            shape(ds_id(d.uuid), "cylinder", dot_label("datastore " + d.uuid, text(d.name)),
                  !d.problems.empty());
        for (const VDiskView &v : view_.vdisks) {
            std::string gen = v.highest_gen.got == Got::Ok
                                  ? "generation " + std::to_string(v.highest_gen.value)
                                  : "";
            shape(vdisk_id(v.uuid), "ellipse", dot_label("vdisk " + v.uuid, text(v.name), gen),
                  !v.problems.empty());
        }

        for (const NodeView &n : view_.nodes) {
            if (n.datastore.got == Got::Ok)
                edge(node_id(n.name), ds_id(n.datastore.value), n.datastore_present, "member of");
            for (const Ref &r : n.vdisks)
                edge(node_id(n.name), vdisk_id(r.name), r.present, "serves");
        }
        for (const DatastoreView &d : view_.datastores) {
            for (const Ref &r : d.members)
                edge(node_id(r.name), ds_id(d.uuid), r.present, "member of", true);
            for (const Ref &r : d.vdisks)
                edge(vdisk_id(r.name), ds_id(d.uuid), r.present, "stored in", true);
        }
        for (const VDiskView &v : view_.vdisks) {
            for (const MemberView &m : v.members)
                if (m.listed)
                    edge(node_id(m.node), vdisk_id(v.uuid), m.node_present, "serves", true);
            if (v.datastore.got == Got::Ok)
                edge(vdisk_id(v.uuid), ds_id(v.datastore.value), v.datastore_present,
                     "stored in");
            if (v.snapshot.got == Got::Ok && v.snapshot.value != 0 && v.parent.got == Got::Ok)
                edge(vdisk_id(v.uuid), vdisk_id(v.parent.value), v.parent_present,
                     "snapshot of", false, "dashed");
        }
        return "digraph marlo {\n"
               "  graph [rankdir=LR];\n"
               "  node [fontsize=10];\n"
               "  edge [fontsize=8];\n" +
               out_ + "}\n";
    }

private:
    static std::string node_id(const std::string &name) { return "node " + name; }
    static std::string ds_id(const std::string &uuid) { return "datastore " + uuid; }
    static std::string vdisk_id(const std::string &uuid) { return "vdisk " + uuid; }
    static std::string text(const TextValue &v) { return v.got == Got::Ok ? v.value : cell(v); }

    void shape(const std::string &id, const char *kind, const std::string &label, bool problems)
    {
        out_ += "  " + dot_quote(id) + " [shape=" + kind + ", label=" + label +
                (problems ? ", color=orange" : "") + "];\n";
    }

    // An edge from -> to.  The far end `target` (to, or from when reverse)
    // must be drawn: present objects that the filter left out are skipped;
    // missing objects are drawn once as dashed red placeholders.  An edge
    // seen from both ends is drawn once.
    void edge(const std::string &from, const std::string &to, bool present, const char *label,
              bool reverse = false, const char *style = nullptr)
    {
        const std::string &target = reverse ? from : to;
        if (!drawn_.count(target)) {
            if (present)
                return;
            out_ += "  " + dot_quote(target) + " [label=" + dot_label(target, "(missing)") +
                    ", style=dashed, color=red];\n";
            drawn_.insert(target);
        }
        if (!edges_.insert(from + "\n" + to + "\n" + label).second)
            return;
        out_ += "  " + dot_quote(from) + " -> " + dot_quote(to) + " [label=" +
                dot_quote(label) + (style ? std::string(", style=") + style : "") + "];\n";
    }

    const ClusterView &view_;
    std::set<std::string> drawn_;
    std::set<std::string> edges_;
    std::string out_;
};

const char *holder_text(Holder h)
{
    switch (h) {
    case Holder::Running: return "running";
    case Holder::Gone: return "gone";
    case Holder::Unknown: return "unknown";
    }
    return "unknown";
}

std::string joined(const std::vector<std::string> &items)
{
    std::string out;
    for (const std::string &i : items)
        out += (out.empty() ? "" : ", ") + cell_text(i);
    return out;
}

}  // namespace

std::string render_table(const ClusterView &view)
{
    Table nodes({"ID", "ADDRESS", "VERSION", "VENDOR/MODEL", "LASTPING", "DATASTORE", "VDISKS",
                 "FREESPACE"});
    for (const NodeView &n : view.nodes)
        nodes.add({cell_text(n.name), cell(n.ipaddr), cell(n.version),
                   cell(n.vendor) + "/" + cell(n.model), silence_cell(view, n),
                   cell(n.datastore, n.datastore_present), vdisk_count_cell(n),
                   cell(n.freespace)});

    Table datastores({"UUID", "NAME", "MEMBERS", "VDISKS"});
    for (const DatastoreView &d : view.datastores)
        datastores.add({cell_text(d.uuid), cell(d.name), ref_list(d.members_got, d.members),
                        ref_list(d.vdisks_got, d.vdisks)});

    Table vdisks({"UUID", "NAME", "KIND", "GEN", "MEMBERS", "FRONTENDS", "DATASTORE"});
    for (const VDiskView &v : view.vdisks)
        vdisks.add({cell_text(v.uuid), cell(v.name), kind_cell(v), cell(v.highest_gen),
                    members_cell(v), frontends_cell(v), cell(v.datastore, v.datastore_present)});

    const long long limit = 3LL * view.heartbeat_interval;
    std::string out;
    if (view.daemon_known && !view.daemon_busy.empty())
        out += "The daemon is busy: " + cell_text(view.daemon_busy) +
               "; it answers when the check returns.\n\n";
    else if (view.daemon_known && !view.daemon_up)
        out += "The daemon is down: " + cell_text(view.daemon_why) +
               "\nWhat follows is the store as it was left.\n\n";
    out += section("Nodes (LASTPING: seconds since; * over " + std::to_string(limit) +
                                  "s, three heartbeat intervals)",
                              nodes);
    out += "\n" + section("Datastores", datastores);
    out += "\n" + section("VDisks", vdisks);

    std::vector<Problem> problems = view.problems;
    for (const NodeView &n : view.nodes)
        add_problems(problems, n.problems);
    for (const DatastoreView &d : view.datastores)
        add_problems(problems, d.problems);
    for (const VDiskView &v : view.vdisks)
        add_problems(problems, v.problems);
    if (!problems.empty()) {
        out += "\nProblems\n";
        for (const Problem &p : problems)
            out += cell_text(p.path) + ": " + cell_text(p.what) + "\n";
    }
    out += "\nMarks: - missing, ? unreadable (see Problems), ! names a missing object\n";
    return out;
}

std::string render_json(const ClusterView &view)
{
    ordered_json nodes = ordered_json::array(), datastores = ordered_json::array(),
                 vdisks = ordered_json::array();
    for (const NodeView &n : view.nodes)
        nodes.push_back(jnode(view, n));
    for (const DatastoreView &d : view.datastores)
        datastores.push_back(jdatastore(d));
    for (const VDiskView &v : view.vdisks)
        vdisks.push_back(jvdisk(v));
    return json_text({
        {"work_directory", view.work_directory},
        {"time", view.now},
        {"heartbeat_interval", view.heartbeat_interval},
        {"daemon_up", view.daemon_known ? ordered_json(view.daemon_up) : ordered_json()},
        {"daemon_busy",
         view.daemon_busy.empty() ? ordered_json() : ordered_json(view.daemon_busy)},
        {"nodes", std::move(nodes)},
        {"datastores", std::move(datastores)},
        {"vdisks", std::move(vdisks)},
        {"problems", jproblems(view.problems)},
    });
}

std::string render_dot(const ClusterView &view) { return Dot(view).render(); }

std::string render_check_table(const CheckReport &report)
{
    Table findings({"KIND", "OBJECTS", "FILES", "WHAT"});
    std::map<std::string, size_t> counts;
    for (const Finding &f : report.findings) {
        findings.add({f.kind, joined(f.objects), joined(f.files), cell_text(f.what)});
        counts[f.kind]++;
    }
    Table locks({"FILE", "PID", "HOLDER", "AGE"});
    for (const LockView &l : report.locks)
        locks.add({cell_text(l.path), l.has_pid ? std::to_string(l.pid) : MARK_MISSING,
                   holder_text(l.holder), std::to_string(l.age) + "s"});
    std::string out = section("Findings", findings) + "\n" + section("Locks", locks) + "\n";
    if (report.findings.empty())
        return out + "No inconsistencies in " + cell_text(report.work_directory) + "\n";
    std::string by_kind;
    for (const std::string &k : check_kinds())
        if (counts[k] != 0)
            by_kind += (by_kind.empty() ? "" : ", ") + std::to_string(counts[k]) + " " + k;
    return out + std::to_string(report.findings.size()) + " inconsistenc" +
           (report.findings.size() == 1 ? "y" : "ies") + ": " + by_kind + "\n";
}

std::string render_check_json(const CheckReport &report)
{
    ordered_json doc;
    doc["work_directory"] = report.work_directory;
    doc["time"] = report.now;
    doc["clean"] = report.findings.empty();
    ordered_json counts = ordered_json::object();
    for (const std::string &k : check_kinds())
        counts[k] = 0;
    ordered_json findings = ordered_json::array();
    for (const Finding &f : report.findings) {
        findings.push_back(
            {{"kind", f.kind}, {"objects", f.objects}, {"files", f.files}, {"what", f.what}});
        counts[f.kind] = counts[f.kind].get<int>() + 1;
    }
    ordered_json locks = ordered_json::array();
    for (const LockView &l : report.locks)
        locks.push_back({{"file", l.path},
                         {"object", l.object},
                         {"pid", l.has_pid ? ordered_json(l.pid) : ordered_json()},
                         {"holder", holder_text(l.holder)},
                         {"age", l.age}});
    doc["findings"] = std::move(findings);
    doc["locks"] = std::move(locks);
    doc["counts"] = std::move(counts);
    return json_text(doc);
}

std::string render_health(const Health &health, bool every)
{
    size_t errors = 0, warnings = 0;
    for (const HealthProblem &p : health.problems)
        (p.level == HealthLevel::Error ? errors : warnings)++;
    std::string out = health_word(health.level);
    if (health.level == HealthLevel::Ok)
        out += ": nothing to act on\n";
    else
        out += ": " + std::to_string(errors) + (errors == 1 ? " error, " : " errors, ") +
               std::to_string(warnings) + (warnings == 1 ? " warning\n" : " warnings\n");
    for (const HealthGroup &g : health_groups(health)) {
        out += std::string(health_word(g.level)) + (g.level == HealthLevel::Warn ? "   " : "  ") +
               cell_text(g.summary) + "; to do: " + g.todo + "\n";
        if (every)
            for (const HealthProblem *p : g.problems)
                out += "       " + cell_text(p->object + ": " + p->text) +
                       (p->file.empty() ? "" : " (" + cell_text(p->file) + ")") + "\n";
    }
    return out;
}

std::string render_health_json(const Health &health)
{
    ordered_json problems = ordered_json::array();
    for (const HealthProblem &p : health.problems)
        problems.push_back({{"kind", p.kind},
                            {"severity", health_word(p.level)},
                            {"object", p.object},
                            {"file", p.file},
                            {"text", p.text}});
    return json_text({{"status", health_word(health.level)}, {"problems", std::move(problems)}});
}
