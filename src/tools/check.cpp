// The store check: one pass over Node/, Datastore/ and VDisk/ collects what
// each object holds (its attribute files judged on the way), then the rules
// compare the objects with each other; a pass over the lock directory judges
// the lock files.  Attribute files are examined with fstatat before any
// reader opens them (nothing but a regular file is opened, so a FIFO cannot
// block the check) and then read with the daemon's own readers, so a value
// counts as damaged exactly when the daemon would fail to read it.
#include "tools/check.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "io/io.h"
#include "object/attr.h"
#include "object/member.h"
#include "object/model.h"
#include "object/store.h"
#include "object/vdisk.h"

namespace {

constexpr off_t VALUE_MAX = 255;
constexpr off_t LIST_MAX = off_t(1) << 20;

// How an attribute is read back.
enum class Val { Number, Text, Membership, Frontend };

struct Key {
    const char *name;
    Val val;
    int cap = 0;  // Text: the reader's capacity
};

// The attributes each kind of object holds, with their readers.
const Key NODE_KEYS[] = {
    {"version", Val::Text, 7},        {"uuid", Val::Number},
    {"status", Val::Number},          {"nodestatus", Val::Number},
    {"vendor", Val::Text, 32},        {"model", Val::Text, 32},
    {"freespace", Val::Number},       {"utilization", Val::Number},
    {"revision", Val::Text, 24},      {"serial", Val::Text, 64},
    {"hbtl", Val::Text, 32},          {"performance", Val::Number},
    {"hostid", Val::Number},          {"size", Val::Number},
    {"backupchannel", Val::Text, 15}, {"ipaddr", Val::Text, 15},
    {"lastping", Val::Number},        {"allocatedspace", Val::Number},
    {"curvdisks", Val::Number},       {"curvdisksforctrl", Val::Number},
    {"maxvdisksforctrl", Val::Number}, {"memtotal", Val::Number},
    {"memavail", Val::Number},
};
// Read on its own: what the datastore member lists are compared with.
const Key DATASTOREMEMBER = {"datastoremember", Val::Text, 14};
const Key DATASTORE_KEYS[] = {
    {"uuid", Val::Text, 14},        {"name", Val::Text, 32},   {"description", Val::Text, 32},
    {"sector_size", Val::Number},   {"replicas", Val::Number}, {"stripes", Val::Number},
    {"overcommit", Val::Number},
};
const Key VDISK_KEYS[] = {
    {"uuid", Val::Text, 14},         {"name", Val::Text, 28},
    {"sector_size", Val::Number},    {"sectors", Val::Number},
    {"replicas", Val::Number},       {"st_mems", Val::Number},
    {"st_size", Val::Number},        {"snapshot", Val::Number},
    {"parent", Val::Text, 14},       {"snaptime", Val::Text, 31},
    {"description", Val::Text, 32},  {"highest_gen_count", Val::Number},
    {"transaction_id", Val::Number},
};
const Key MEMBERSHIP = {"membership", Val::Membership};
const Key MEMBER_KEYS[] = {
    {"membership_gen_count", Val::Number}, {"numkeys", Val::Number}, {"seqno", Val::Number},
    {"status", Val::Number},               {"port", Val::Number},    {"st_mem", Val::Number},
    {"snap_limit", Val::Number},
};
const Key FRONTEND = {"frontend", Val::Frontend};

int open_dir(int dirfd, const char *name)
{
    return ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// One directory entry: its type without following links, and for a link
// whether it leads to something.
struct Ent {
    std::string name;
    mode_t type = 0;  // S_IFMT bits of lstat; 0 when that failed
    bool resolves = false;
    bool is_link() const { return type == S_IFLNK; }
    bool is_dir() const { return type == S_IFDIR; }
};

// The entries of dirfd/sub in byte order ("." and ".." left out).  False
// when sub is not an openable directory.
bool list_dir(int dirfd, const char *sub, std::vector<Ent> *out)
{
    const int fd = open_dir(dirfd, sub);
    if (fd < 0)
        return false;
    UniqueDir dir(::fdopendir(fd));
    if (!dir) {
        ::close(fd);
        return false;
    }
    while (struct dirent *d = ::readdir(dir.get())) {
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0)
            continue;
        Ent e;
        e.name = d->d_name;
        struct stat st;
        if (::fstatat(fd, d->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            e.type = st.st_mode & S_IFMT;
        e.resolves = e.is_link() && ::fstatat(fd, d->d_name, &st, 0) == 0;
        out->push_back(std::move(e));
    }
    std::sort(out->begin(), out->end(), [](const Ent &a, const Ent &b) { return a.name < b.name; });
    return true;
}

// The links in dirfd/sub by name, with whether each resolves; other entries
// are left out (they name nothing).
std::map<std::string, bool> list_links(int dirfd, const char *sub)
{
    std::vector<Ent> ents;
    list_dir(dirfd, sub, &ents);
    std::map<std::string, bool> links;
    for (const Ent &e : ents)
        if (e.is_link())
            links[e.name] = e.resolves;
    return links;
}

// What the check gathers while it reads.
struct NodeScan {
    bool ds_known = false;  // datastoremember read (absent counts as read: no datastore)
    std::string datastore;  // "" when in none
    std::map<std::string, bool> vdisks;  // links in vdisks/
};

struct MemberScan {
    bool has_frontends = false;  // a non-empty frontend file
    bool has_nodestatus = false;
    bool nodestatus_resolves = false;
};

struct VDiskScan {
    bool has_memberinfo = false;
    std::map<std::string, MemberScan> members;  // directories in memberinfo/
    size_t listed = 0;  // lines in membership (0 when absent or unreadable)
    std::map<std::string, bool> snapshots;  // links in snapshots/
};

struct DatastoreScan {
    std::map<std::string, bool> members;  // links in members/
    std::map<std::string, bool> vdisks;   // links in vdisks/
};

class Scanner {
public:
    Scanner(std::string work, CheckReport *report) : work_(std::move(work)), report_(report) {}

    int run(std::string *error);

private:
    void add(Finding f) { report_->findings.push_back(std::move(f)); }

    // Judges one attribute file of the object open as dirfd (rel: its path
    // relative to the work directory).  False when the file is absent or
    // damaged; a damaged one is a finding of the object `object`.  For a
    // list file, *items is set to its number of lines.
    bool attribute(int dirfd, const std::string &rel, const std::string &object, const Key &key,
                   size_t *items = nullptr);
    void attributes(int dirfd, const std::string &rel, const std::string &object,
                    const Key *keys, size_t n)
    {
        for (size_t i = 0; i < n; i++)
            attribute(dirfd, rel, object, keys[i]);
    }

    void scan_node(int top, const std::string &name);
    void scan_datastore(int top, const std::string &uuid);
    void scan_vdisk(int top, const std::string &uuid);
    void judge();

    std::string work_;
    CheckReport *report_;
    std::map<std::string, NodeScan> nodes_;
    std::map<std::string, DatastoreScan> datastores_;
    std::map<std::string, VDiskScan> vdisks_;
};

bool Scanner::attribute(int dirfd, const std::string &rel, const std::string &object,
                        const Key &key, size_t *items)
{
    const std::string file = rel + "/" + key.name;
    const auto bad = [&](const std::string &what) {
        Finding f;
        f.kind = kind::BAD_ATTRIBUTE;
        f.objects = {object};
        f.files = {file};
        f.what = what;
        add(std::move(f));
        return false;
    };
    struct stat st;
    if (::fstatat(dirfd, key.name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? false : bad(strerror(errno));
    if (!S_ISREG(st.st_mode))
        return bad("not a regular file");
    const bool list = key.val == Val::Membership || key.val == Val::Frontend;
    if (st.st_size > (list ? LIST_MAX : VALUE_MAX))
        return bad("oversized (" + std::to_string(st.st_size) + " bytes)");
    if (st.st_size == 0 && !list)
        return bad("empty");
    const std::string path = work_ + "/" + rel;
    switch (key.val) {
    case Val::Number: {
        unsigned long long n;
        if (AttrLoad(dirfd, key.name, "%llu", &n) != 1)
            return bad("malformed (not a number and a newline)");
        return true;
    }
    case Val::Text: {
        char buf[VALUE_MAX + 1];
        if (StringLoad(dirfd, key.name, buf, key.cap) < 0)
            return bad(st.st_size - 1 > key.cap
                           ? "longer than " + std::to_string(key.cap) + " characters"
                           : std::string("malformed (no newline at the end)"));
        return true;
    }
    case Val::Membership: {
        MemberList members;
        if (MembershipLoad(&members, nullptr, path.c_str(), dirfd) != 0)
            return bad("malformed (a line that is not a node id)");
        if (items)
            *items = members.size();
        return true;
    }
    case Val::Frontend: {
        FrontendList frontends;
        int count = 0;
        const std::string node = rel.substr(rel.rfind('/') + 1);
        if (FrontendsLoad(&frontends, &count, path.c_str(), node.c_str(), dirfd) != 0)
            return bad("malformed (a line that is not an IPv4 address)");
        if (items)
            *items = frontends.size();
        return true;
    }
    }
    return true;
}

void Scanner::scan_node(int top, const std::string &name)
{
    UniqueFd fd(open_dir(top, name.c_str()));
    if (!fd)
        return;
    const std::string rel = "Node/" + name;
    const std::string object = "node " + name;
    NodeScan &n = nodes_[name];
    attributes(fd.get(), rel, object, NODE_KEYS, std::size(NODE_KEYS));
    const Key &dsm = DATASTOREMEMBER;
    struct stat st;
    if (::fstatat(fd.get(), dsm.name, &st, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
        n.ds_known = true;
    } else if (attribute(fd.get(), rel, object, dsm)) {
        char ds[16] = {};
        if (StringLoad(fd.get(), dsm.name, ds, dsm.cap) >= 0) {
            n.ds_known = true;
            n.datastore = ds;
        }
    }
    n.vdisks = list_links(fd.get(), "vdisks");
}

void Scanner::scan_datastore(int top, const std::string &uuid)
{
    UniqueFd fd(open_dir(top, uuid.c_str()));
    if (!fd)
        return;
    DatastoreScan &d = datastores_[uuid];
    attributes(fd.get(), "Datastore/" + uuid, "datastore " + uuid, DATASTORE_KEYS,
               std::size(DATASTORE_KEYS));
    d.members = list_links(fd.get(), "members");
    d.vdisks = list_links(fd.get(), "vdisks");
}

void Scanner::scan_vdisk(int top, const std::string &uuid)
{
    UniqueFd fd(open_dir(top, uuid.c_str()));
    if (!fd)
        return;
    const std::string rel = "VDisk/" + uuid;
    const std::string object = "vdisk " + uuid;
    VDiskScan &v = vdisks_[uuid];
    attributes(fd.get(), rel, object, VDISK_KEYS, std::size(VDISK_KEYS));
    attribute(fd.get(), rel, object, MEMBERSHIP, &v.listed);
    v.snapshots = list_links(fd.get(), "snapshots");

    std::vector<Ent> infos;
    v.has_memberinfo = list_dir(fd.get(), "memberinfo", &infos);
    UniqueFd mbtop(open_dir(fd.get(), "memberinfo"));
    for (const Ent &e : infos) {
        if (!e.is_dir())
            continue;
        MemberScan &m = v.members[e.name];
        UniqueFd mfd(open_dir(mbtop.get(), e.name.c_str()));
        if (!mfd)
            continue;
        const std::string mrel = rel + "/memberinfo/" + e.name;
        const std::string mobject = object + " member " + e.name;
        attributes(mfd.get(), mrel, mobject, MEMBER_KEYS, std::size(MEMBER_KEYS));
        size_t frontends = 0;
        m.has_frontends = attribute(mfd.get(), mrel, mobject, FRONTEND, &frontends) && frontends > 0;
        struct stat st;
        m.has_nodestatus = ::fstatat(mfd.get(), "nodestatus", &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                           S_ISLNK(st.st_mode);
        m.nodestatus_resolves = m.has_nodestatus && ::fstatat(mfd.get(), "nodestatus", &st, 0) == 0;
    }
}

Finding link_finding(const std::string &file, const std::string &what)
{
    Finding f;
    f.kind = kind::DANGLING_LINK;
    f.files = {file};
    f.what = what;
    return f;
}

void Scanner::judge()
{
    // Nodes: their links to vdisks.
    for (const auto &[name, n] : nodes_) {
        for (const auto &[uuid, resolves] : n.vdisks) {
            const std::string file = "Node/" + name + "/vdisks/" + uuid;
            Finding f;
            if (!resolves) {
                f = link_finding(file, "names vdisk " + uuid + ", which does not exist");
            } else {
                auto v = vdisks_.find(uuid);
                // A vdisk without memberinfo/ is reported as such.
                if (v == vdisks_.end() || !v->second.has_memberinfo ||
                    v->second.members.count(name))
                    continue;
                f.kind = kind::NODE_LINK_WITHOUT_MEMBER;
                f.files = {file, "VDisk/" + uuid + "/memberinfo/" + name};
                f.what = "node " + name + " links vdisk " + uuid +
                         ", which has no member directory for it";
            }
            f.objects = {"node " + name, "vdisk " + uuid};
            f.node = name;
            f.vdisk = uuid;
            add(std::move(f));
        }
    }

    // Datastores: their links, and their member lists against each node's
    // datastoremember.
    std::map<std::string, std::vector<std::string>> listed_by;  // node -> datastores
    for (const auto &[uuid, d] : datastores_) {
        for (const auto &[node, resolves] : d.members) {
            listed_by[node].push_back(uuid);
            const std::string file = "Datastore/" + uuid + "/members/" + node;
            Finding f;
            if (!resolves) {
                f = link_finding(file, "names node " + node + ", which does not exist");
            } else {
                auto n = nodes_.find(node);
                if (n == nodes_.end() || !n->second.ds_known || n->second.datastore == uuid)
                    continue;
                f.kind = kind::DATASTORE_LISTS_NONMEMBER;
                f.files = {file, "Node/" + node + "/datastoremember"};
                f.what = "datastore " + uuid + " lists node " + node + ", whose datastoremember " +
                         (n->second.datastore.empty() ? std::string("is absent")
                                                      : "names " + n->second.datastore);
            }
            f.objects = {"datastore " + uuid, "node " + node};
            f.datastore = uuid;
            f.node = node;
            add(std::move(f));
        }
        for (const auto &[vdisk, resolves] : d.vdisks) {
            if (resolves)
                continue;
            Finding f = link_finding("Datastore/" + uuid + "/vdisks/" + vdisk,
                                     "names vdisk " + vdisk + ", which does not exist");
            f.objects = {"datastore " + uuid, "vdisk " + vdisk};
            f.datastore = uuid;
            f.target = vdisk;
            add(std::move(f));
        }
    }
    for (const auto &[name, n] : nodes_) {
        if (!n.datastore.empty()) {
            auto d = datastores_.find(n.datastore);
            if (d == datastores_.end() || !d->second.members.count(name)) {
                Finding f;
                f.kind = kind::DATASTORE_MEMBER_UNLISTED;
                f.objects = {"node " + name, "datastore " + n.datastore};
                f.files = {"Node/" + name + "/datastoremember",
                           "Datastore/" + n.datastore + "/members/" + name};
                f.what = d == datastores_.end()
                             ? "node " + name + " names datastore " + n.datastore +
                                   ", which does not exist"
                             : "node " + name + " names datastore " + n.datastore +
                                   ", which does not list it";
                f.node = name;
                f.datastore = n.datastore;
                add(std::move(f));
            }
        }
        auto l = listed_by.find(name);
        if (l != listed_by.end() && l->second.size() > 1) {
            Finding f;
            f.kind = kind::NODE_IN_SEVERAL_DATASTORES;
            f.objects = {"node " + name};
            std::string list;
            for (const std::string &d : l->second) {
                f.objects.push_back("datastore " + d);
                f.files.push_back("Datastore/" + d + "/members/" + name);
                list += (list.empty() ? "" : ", ") + d;
            }
            f.what = "node " + name + " is listed by the datastores " + list;
            f.node = name;
            add(std::move(f));
        }
    }

    // VDisks: memberinfo/, member directories against node links, the
    // member's nodestatus link, the snapshot links.
    std::map<std::string, std::string> linked_by;  // vdisk -> the first node linking it
    for (const auto &[name, n] : nodes_)
        for (const auto &link : n.vdisks)
            linked_by.emplace(link.first, name);
    for (const auto &[uuid, v] : vdisks_) {
        const std::string rel = "VDisk/" + uuid;
        const std::string object = "vdisk " + uuid;
        if (!v.has_memberinfo || (v.members.empty() && v.listed == 0)) {
            Finding f;
            f.kind = v.has_memberinfo ? kind::VDISK_WITHOUT_MEMBERS : kind::VDISK_WITHOUT_MEMBERINFO;
            f.objects = {object};
            f.files = {rel + "/memberinfo"};
            f.what = v.has_memberinfo ? "no member directory and no member in membership"
                                      : "memberinfo/ is missing";
            f.vdisk = uuid;
            if (auto l = linked_by.find(uuid); l != linked_by.end())
                f.node = l->second;
            add(std::move(f));
        }
        for (const auto &[node, m] : v.members) {
            const std::string mrel = rel + "/memberinfo/" + node;
            auto n = nodes_.find(node);
            if (m.has_frontends && (n == nodes_.end() || !n->second.vdisks.count(uuid))) {
                Finding f;
                f.kind = kind::MEMBER_WITHOUT_NODE_LINK;
                f.objects = {object, "node " + node};
                f.files = {mrel + "/frontend", "Node/" + node + "/vdisks/" + uuid};
                f.what = "member " + node + " serves frontends but node " + node +
                         (n == nodes_.end() ? " does not exist" : " does not link the vdisk");
                f.vdisk = uuid;
                f.node = node;
                add(std::move(f));
            }
            if (m.has_nodestatus && !m.nodestatus_resolves) {
                Finding f = link_finding(mrel + "/nodestatus",
                                         "names the status of node " + node +
                                             ", which does not exist");
                f.objects = {object, "node " + node};
                f.vdisk = uuid;
                f.node = node;
                add(std::move(f));
            }
        }
        for (const auto &[snap, resolves] : v.snapshots) {
            if (resolves)
                continue;
            Finding f = link_finding(rel + "/snapshots/" + snap,
                                     "names snapshot " + snap + ", which does not exist");
            f.objects = {object, "vdisk " + snap};
            f.vdisk = uuid;
            f.target = snap;
            add(std::move(f));
        }
    }
}

int Scanner::run(std::string *error)
{
    UniqueFd work(open_dir(AT_FDCWD, work_.c_str()));
    if (!work) {
        *error = "work directory " + work_ + ": " + strerror(errno);
        return -1;
    }
    struct Top {
        const char *name;
        void (Scanner::*scan)(int, const std::string &);
    } const tops[] = {{"Node", &Scanner::scan_node},
                      {"Datastore", &Scanner::scan_datastore},
                      {"VDisk", &Scanner::scan_vdisk}};
    for (const Top &t : tops) {
        UniqueFd top(open_dir(work.get(), t.name));
        std::vector<Ent> ents;
        if (top)
            list_dir(top.get(), ".", &ents);
        for (const Ent &e : ents)
            if (e.is_dir())
                (this->*t.scan)(top.get(), e.name);
    }
    judge();
    return 0;
}

// The object a lock file names, or "" when it is no lock file of the store.
std::string lock_object(const std::string &name)
{
    static const std::pair<const char *, const char *> families[] = {
        {"NODE-", "node "}, {"DS-", "datastore "}, {"VDISK-", "vdisk "}};
    for (const auto &[prefix, object] : families) {
        const size_t n = std::strlen(prefix);
        if (name.size() > n && name.compare(0, n, prefix) == 0)
            return object + name.substr(n);
    }
    return "";
}

// The pid text of a lock file ("%d\n"); false when it holds none.
bool read_pid(int dirfd, const char *name, long *pid)
{
    UniqueFd fd(::openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return false;
    char buf[32];
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 2 || n > 16 || buf[n - 1] != '\n')
        return false;
    long v = 0;
    for (ssize_t i = 0; i < n - 1; i++) {
        if (buf[i] < '0' || buf[i] > '9')
            return false;
        v = v * 10 + (buf[i] - '0');
    }
    *pid = v;
    return v > 0;
}

void scan_locks(const std::string &lock_dir, CheckReport *report)
{
    std::vector<Ent> ents;
    UniqueFd dir(open_dir(AT_FDCWD, lock_dir.c_str()));
    if (!dir || !list_dir(dir.get(), ".", &ents))
        return;
    for (const Ent &e : ents) {
        LockView l;
        l.object = lock_object(e.name);
        struct stat st;
        if (l.object.empty() || e.type != S_IFREG ||
            ::fstatat(dir.get(), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        l.path = lock_dir + "/" + e.name;
        l.age = std::max<long long>(0, (long long)report->now - (long long)st.st_mtime);
        l.has_pid = read_pid(dir.get(), e.name.c_str(), &l.pid);
        if (l.has_pid)
            l.holder = ::kill(pid_t(l.pid), 0) == 0 || errno != ESRCH ? Holder::Running
                                                                      : Holder::Gone;
        Finding f;
        f.objects = {l.object};
        f.files = {l.path};
        const std::string age = "; written " + std::to_string(l.age) + "s ago";
        if (!l.has_pid) {
            f.kind = kind::LOCK_WITHOUT_PID;
            f.what = "holds no process id" + age;
        } else if (l.holder == Holder::Gone) {
            f.kind = kind::STALE_LOCK;
            f.what = "held by pid " + std::to_string(l.pid) + ", which does not exist" + age;
        } else if (l.age > LOCK_LONG_SECONDS) {
            f.kind = kind::LOCK_HELD_LONG;
            f.what = "held by running pid " + std::to_string(l.pid) + age;
        }
        if (!f.kind.empty())
            report->findings.push_back(std::move(f));
        report->locks.push_back(std::move(l));
    }
}

}  // namespace

std::string finding_key(const Finding &f)
{
    std::string key = f.kind;
    for (const std::string &file : f.files)
        key += "\n" + file;
    return key;
}

const std::vector<std::string> &check_kinds()
{
    static const std::vector<std::string> kinds = {
        kind::VDISK_WITHOUT_MEMBERINFO, kind::VDISK_WITHOUT_MEMBERS,
        kind::MEMBER_WITHOUT_NODE_LINK, kind::NODE_LINK_WITHOUT_MEMBER,
        kind::DANGLING_LINK,            kind::DATASTORE_MEMBER_UNLISTED,
        kind::DATASTORE_LISTS_NONMEMBER, kind::NODE_IN_SEVERAL_DATASTORES,
        kind::BAD_ATTRIBUTE,            kind::STALE_LOCK,
        kind::LOCK_WITHOUT_PID,         kind::LOCK_HELD_LONG,
    };
    return kinds;
}

int check_scan(const std::string &work_directory, const std::string &lock_dir,
               CheckReport *report, std::string *error)
{
    *report = CheckReport();
    report->work_directory = work_directory;
    report->now = ::time(nullptr);
    if (Scanner(work_directory, report).run(error) != 0)
        return -1;
    scan_locks(lock_dir, report);
    return 0;
}

int check_store(const std::string &work_directory, const std::string &lock_dir,
                CheckReport *report, std::string *error, int reread_ms)
{
    if (check_scan(work_directory, lock_dir, report, error) != 0)
        return -1;
    if (report->findings.empty())
        return 0;
    std::set<std::string> first;
    for (const Finding &f : report->findings)
        first.insert(finding_key(f));
    std::this_thread::sleep_for(std::chrono::milliseconds(reread_ms));
    if (check_scan(work_directory, lock_dir, report, error) != 0)
        return -1;
    auto &found = report->findings;
    found.erase(std::remove_if(found.begin(), found.end(),
                               [&](const Finding &f) { return !first.count(finding_key(f)); }),
                found.end());
    return 0;
}
