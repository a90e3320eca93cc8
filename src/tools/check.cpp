// The store check: one pass over Node/, Datastore/ and VDisk/ collects what
// each object holds (its attribute files judged on the way), then the rules
// compare the objects with each other; a pass over the lock directory judges
// the lock files.  The reading is as close to the floor as the kernel
// allows: each directory is opened once and listed, the listing gives each
// entry's type (no stat), and each attribute file is opened once, by the
// daemon's own reader (nothing but a regular file is opened, and through the
// door, so a FIFO cannot block the check): a value counts as damaged exactly
// when the daemon would fail to read it, and only then is the file looked at
// again to say why.  A link is read and followed once.  A link's
// target text is compared with the form the store writes before what it
// names is looked at, and every entry of an object's directory must be one
// the store makes there.
#include "tools/check.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <thread>

#include "daemon/check.h"
#include "io/io.h"
#include "object/attr.h"
#include "object/door.h"
#include "object/layout.h"
#include "object/member.h"
#include "object/model.h"
#include "object/store.h"
#include "object/vdisk.h"
#include "proto/records.h"

namespace {

constexpr off_t VALUE_MAX = 255;

using layout::Entry;
using layout::Form;
using layout::Need;
using Table = std::span<const Entry>;

// Through the store's door: a link at any component is never followed.
int open_dir(int dirfd, const char *name)
{
    return store_open(dirfd, name, O_RDONLY | O_DIRECTORY);
}

// One directory entry: its type without following links; for a link its
// target text and what following it gives (0, or the errno).
struct Ent {
    std::string name;
    mode_t type = 0;  // S_IFMT bits; 0 when they could not be had
    int lstat_errno = 0;
    std::string target;
    int follow_errno = 0;
    bool is_link() const { return type == S_IFLNK; }
    bool is_dir() const { return type == S_IFDIR; }
};

mode_t mode_of(unsigned char d_type)
{
    switch (d_type) {
    case DT_REG: return S_IFREG;
    case DT_DIR: return S_IFDIR;
    case DT_LNK: return S_IFLNK;
    case DT_FIFO: return S_IFIFO;
    case DT_SOCK: return S_IFSOCK;
    case DT_CHR: return S_IFCHR;
    case DT_BLK: return S_IFBLK;
    }
    return 0;
}

// A directory opened once and listed; its descriptor stays open for the
// reads of its entries.
class Dir {
public:
    Dir(int dirfd, const char *name) : dir_(open_dir(dirfd, name)), err_(dir_.fd() < 0 ? errno : 0)
    {
        if (err_ == 0)
            err_ = list();
    }
    int fd() const { return dir_.fd(); }
    // 0, or the errno of opening or reading it (ENOENT: it does not exist).
    int err() const { return err_; }
    // The entries in byte order ("." and ".." left out).
    const std::vector<Ent> &ents() const { return ents_; }
    const Ent *find(const char *name) const
    {
        auto it = std::lower_bound(ents_.begin(), ents_.end(), name,
                                   [](const Ent &e, const char *n) { return e.name < n; });
        return it != ents_.end() && it->name == name ? &*it : nullptr;
    }

private:
    int list();

    DirEntries dir_;
    int err_;
    std::vector<Ent> ents_;
};

int Dir::list()
{
    const int fd = dir_.fd();
    errno = 0;
    while (const char *name = dir_.next()) {
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        Ent e;
        e.name = name;
        e.type = mode_of(dir_.type());
        struct stat st;
        if (e.type == 0) {
            // The file system does not say: one look without following.
            if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                e.type = st.st_mode & S_IFMT;
            else
                e.lstat_errno = errno;
        }
        if (e.is_link()) {
            char buf[PATH_MAX];
            const ssize_t n = ::readlinkat(fd, name, buf, sizeof buf);
            if (n >= 0)
                e.target.assign(buf, size_t(n));
            e.follow_errno = ::fstatat(fd, name, &st, 0) == 0 ? 0 : errno;
        }
        ents_.push_back(std::move(e));
        errno = 0;
    }
    if (errno != 0)
        return errno;
    std::sort(ents_.begin(), ents_.end(), [](const Ent &a, const Ent &b) { return a.name < b.name; });
    return 0;
}

const char *type_words(mode_t type);

// The top directory and the object a link of the store leads into: the
// first two components after its "../" steps ("Node" and "11" for
// "../../../Node/11/status").
std::pair<std::string, std::string> object_of(const std::string &target)
{
    size_t from = 0;
    while (target.compare(from, 3, "../") == 0)
        from += 3;
    const size_t slash = target.find('/', from);
    const size_t end = slash == std::string::npos ? slash : target.find('/', slash + 1);
    return {target.substr(from, slash - from),
            slash == std::string::npos ? "" : target.substr(slash + 1, end - slash - 1)};
}

// A node id as the store names nodes: canonical decimal, 32 bits.
bool node_name(const std::string &name)
{
    if (name.empty() || name.size() > 10 || (name[0] == '0' && name.size() > 1))
        return false;
    for (char c : name)
        if (c < '0' || c > '9')
            return false;
    return std::stoull(name) <= UINT32_MAX;
}

// A datastore or vdisk uuid as the store names them.
bool uuid_name(const std::string &name)
{
    return !name.empty() && name.size() <= UUID_LEN && name != "." && name != ".." &&
           name.find('/') == std::string::npos;
}

// What a link in the store leads to (Unreadable also when its form is
// wrong: that link has its own finding, and no other is drawn from it).
enum class Leads { Object, Nowhere, Unreadable };

// What the check gathers while it reads.  A map of links holds the links
// whose form is right, by name.
struct NodeScan {
    bool ds_known = false;  // datastoremember read (absent counts as read: no datastore)
    std::string datastore;  // "" when in none
    bool vdisks_read = false;
    std::map<std::string, Leads> vdisks;  // links in vdisks/
};

struct MemberScan {
    bool has_frontends = false;  // a non-empty frontend file
};

struct VDiskScan {
    int memberinfo_errno = 0;  // listing memberinfo/: 0, ENOENT or another error
    std::map<std::string, MemberScan> members;  // directories in memberinfo/
    size_t listed = 0;  // lines in membership (0 when absent or unreadable)
    std::map<std::string, Leads> snapshots;  // links in snapshots/
    int datastore_errno = ENOENT;  // reading the datastore link: 0, ENOENT, other
    std::string datastore;         // the datastore it names, when read
};

struct DatastoreScan {
    bool members_read = false, vdisks_read = false;
    std::map<std::string, Leads> members;  // links in members/
    std::map<std::string, Leads> vdisks;   // links in vdisks/
};

class Scanner {
public:
    Scanner(const CheckScope &scope, CheckReport *report)
        : work_(scope.work_directory),
          local_(scope.local_nodes.begin(), scope.local_nodes.end()),
          report_(report)
    {
    }

    int run(std::string *error);

private:
    void add(Finding f) { report_->findings.push_back(std::move(f)); }
    void finding(const char *kind, const std::string &object, const std::string &file,
                 const std::string &what)
    {
        Finding f;
        f.kind = kind;
        f.objects = {object};
        f.files = {file};
        f.what = what;
        add(std::move(f));
    }
    void unreadable(const std::string &object, const std::string &file, int err)
    {
        finding(kind::UNREADABLE, object, file, strerror(err));
    }

    // What an attribute file holds, as its reader gives it.
    struct Value {
        unsigned long long number = 0;
        std::string text;
        size_t items = 0;  // lines of a list file
    };
    // Judges one attribute file of the object listed as d (rel: its path
    // relative to the work directory).  False when the file is absent or
    // damaged; a damaged one is a finding of the object `object`.  When it
    // was read, *value holds what it says.
    bool attribute(const Dir &d, const std::string &rel, const std::string &object,
                   const Entry &key, Value *value = nullptr);
    // Judges each attribute file of the table in order; the values read,
    // by name.
    std::map<std::string, Value> attributes(const Dir &d, const std::string &rel,
                                            const std::string &object, Table table)
    {
        std::map<std::string, Value> values;
        for (const Entry &key : table) {
            Value v;
            if (key.form != Form::Links && key.form != Form::Link &&
                attribute(d, rel, object, key, &v))
                values[key.name] = std::move(v);
        }
        return values;
    }
    // Reports each entry of the table that `need` needs and that is not
    // among the entries.
    void needs(const std::vector<Ent> &ents, const std::string &rel, const std::string &object,
               Table table, Need need);
    // Reports the entries of an object directory that the store does not
    // make there (no row of its table).
    void strays(const std::vector<Ent> &ents, const std::string &rel, const std::string &object,
                Table table);
    // Reads the links of dirfd/sub (rel: its path), each of which must be
    // named as `valid_name` accepts and read `prefix` followed by its name.
    // The links by name, with what they lead to (Unreadable also for a link
    // of the wrong form: a finding of `object`); entries that are no link
    // are findings and left out.  *read: whether sub was listed.
    std::map<std::string, Leads> links(int dirfd, const char *sub, const std::string &rel,
                                       const std::string &object,
                                       bool (*valid_name)(const std::string &),
                                       const std::string &prefix, bool *read = nullptr);
    // One link whose target text must be `want`.
    Leads link(const Ent &e, const std::string &file, const std::string &object,
               const std::string &want);
    // A finding when the subdirectory `sub` cannot be read or is no
    // directory (ENOENT is no finding: the result says it).  Its err().
    int subdir(const Dir &d, const char *sub, const std::string &rel, const std::string &object);

    void scan_node(int top, const std::string &name);
    void scan_datastore(int top, const std::string &uuid);
    void scan_vdisk(int top, const std::string &uuid);
    void scan_member(int mbtop, const std::string &rel, const std::string &object,
                     const std::string &node, VDiskScan &v);
    void judge();
    void judge_vdisks();

    std::string work_;
    std::set<std::string> local_;
    CheckReport *report_;
    std::map<std::string, NodeScan> nodes_;
    std::map<std::string, DatastoreScan> datastores_;
    std::map<std::string, VDiskScan> vdisks_;
    // The top directories present but unreadable or no directory, and the
    // entries of top directories that are no directory ("Node/11"):
    // nothing behind them is known, so no rule draws on their absence.
    std::set<std::string> broken_;
    bool unknown(const std::string &top, const std::string &name) const
    {
        return broken_.count(top) || broken_.count(top + "/" + name);
    }
};

bool Scanner::attribute(const Dir &d, const std::string &rel, const std::string &object,
                        const Entry &key, Value *value)
{
    MARLO_ASSERT(key.form != Form::Links && key.form != Form::Link);
    const std::string file = rel + "/" + key.name;
    const auto bad = [&](const std::string &what) {
        finding(kind::BAD_ATTRIBUTE, object, file, what);
        return false;
    };
    const Ent *e = d.find(key.name);
    if (e == nullptr)
        return false;
    if (e->type == 0) {
        unreadable(object, file, e->lstat_errno);
        return false;
    }
    // A link at an attribute's name the daemon replaces by the file (its
    // write never follows it); anything else there it cannot mend.
    if (e->is_link())
        return bad("a symbolic link");
    if (e->type != S_IFREG)
        return bad("not a regular file");
    const int dirfd = d.fd();
    Value v;
    bool read = false, empty_text = false;
    switch (key.form) {
    case Form::Number:
        read = AttrLoad(dirfd, key.name, "%llu", &v.number) == 1;
        if (read && v.number > key.max)
            return bad("out of range (above " + std::to_string(key.max) + ")");
        break;
    case Form::Text: {
        char buf[VALUE_MAX + 1];
        const int n = StringLoad(dirfd, key.name, buf, key.width);
        // 0: an empty value, or an empty file, which the look below tells.
        read = n > 0;
        empty_text = n == 0;
        if (read)
            v.text.assign(buf, size_t(n));
        break;
    }
    case Form::Members: {
        MemberList members;
        read = MembershipLoad(&members, nullptr, (work_ + "/" + rel).c_str(), dirfd) == 0;
        v.items = members.size();
        break;
    }
    case Form::Frontends: {
        FrontendList frontends;
        int count = 0;
        const std::string node = rel.substr(rel.rfind('/') + 1);
        read = FrontendsLoad(&frontends, &count, (work_ + "/" + rel).c_str(), node.c_str(),
                             dirfd) == 0;
        v.items = frontends.size();
        break;
    }
    case Form::Links:
    case Form::Link: break;  // no attribute file (asserted above)
    }
    if (read) {
        if (value)
            *value = std::move(v);
        return true;
    }
    // The reader refused it: one look at the file says why.  A file that
    // cannot be opened is no malformed value.
    struct stat st;
    UniqueFd fd(store_open(dirfd, key.name, O_RDONLY));
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        unreadable(object, file, errno);
        return false;
    }
    const bool list = key.form == Form::Members || key.form == Form::Frontends;
    if (!S_ISREG(st.st_mode))
        return bad("not a regular file");
    if (empty_text && st.st_size > 0) {
        if (value)
            *value = std::move(v);
        return true;
    }
    if (st.st_size > (list ? LIST_FILE_MAX : VALUE_MAX))
        return bad("oversized (" + std::to_string(st.st_size) + " bytes)");
    if (st.st_size == 0 && !list)
        return bad("empty");
    switch (key.form) {
    case Form::Number: return bad("malformed (not a number and a newline)");
    case Form::Text:
        return bad(st.st_size - 1 > key.width
                       ? "longer than " + std::to_string(key.width) + " characters"
                       : std::string("malformed (no newline at the end)"));
    case Form::Members: return bad("malformed (a line that is not a node id)");
    case Form::Frontends: return bad("malformed (a line that is not an IPv4 address)");
    case Form::Links:
    case Form::Link: break;
    }
    return false;
}

void Scanner::needs(const std::vector<Ent> &ents, const std::string &rel,
                    const std::string &object, Table table, Need need)
{
    for (const Entry &key : table)
        if (key.need == need && !std::any_of(ents.begin(), ents.end(),
                                             [&](const Ent &e) { return e.name == key.name; }))
            finding(kind::MISSING_ATTRIBUTE, object, rel + "/" + key.name, "missing");
}

void Scanner::strays(const std::vector<Ent> &ents, const std::string &rel,
                     const std::string &object, Table table)
{
    for (const Ent &e : ents)
        if (std::none_of(table.begin(), table.end(),
                         [&](const Entry &key) { return e.name == key.name; }))
            finding(kind::STRAY_ENTRY, object, rel + "/" + e.name,
                    "not an entry the store makes here");
}

int Scanner::subdir(const Dir &d, const char *sub, const std::string &rel,
                    const std::string &object)
{
    const int err = d.err();
    if (err == ENOTDIR)
        finding(kind::STRAY_ENTRY, object, rel + "/" + sub, "not a directory");
    else if (err != 0 && err != ENOENT)
        unreadable(object, rel + "/" + sub, err);
    return err;
}

Leads Scanner::link(const Ent &e, const std::string &file, const std::string &object,
                    const std::string &want)
{
    if (e.target != want) {
        finding(kind::BAD_LINK, object, file,
                "points to `" + e.target + "', not `" + want + "' as the store writes it" +
                    (e.target.empty() || e.target[0] == '/' ? " (it leaves the store)" : ""));
        return Leads::Unreadable;
    }
    // Behind a directory of the store that is no directory nothing is
    // known: that entry is the one finding, not each link into it.
    if (const auto [top, name] = object_of(want); unknown(top, name))
        return Leads::Unreadable;
    if (e.follow_errno == 0)
        return Leads::Object;
    if (e.follow_errno == ENOENT)
        return Leads::Nowhere;
    unreadable(object, file, e.follow_errno);
    return Leads::Unreadable;
}

std::map<std::string, Leads> Scanner::links(int dirfd, const char *sub, const std::string &rel,
                                            const std::string &object,
                                            bool (*valid_name)(const std::string &),
                                            const std::string &prefix, bool *read)
{
    std::map<std::string, Leads> out;
    const Dir d(dirfd, sub);
    const std::string dir = rel + "/" + sub;
    const int err = subdir(d, sub, rel, object);
    if (read)
        *read = err == 0;
    for (const Ent &e : d.ents()) {
        const std::string file = dir + "/" + e.name;
        if (!e.is_link() || !valid_name(e.name)) {
            finding(kind::STRAY_ENTRY, object, file,
                    !e.is_link() ? "not a link" : "its name names no object");
            continue;
        }
        // A link of the wrong form, or one that cannot be followed, is
        // reported as such and still counts as there: the pair or listing it
        // stands for is not missing as well.
        out[e.name] = link(e, file, object, prefix + e.name);
    }
    return out;
}

Finding link_finding(const std::string &file, const std::string &what)
{
    Finding f;
    f.kind = kind::DANGLING_LINK;
    f.files = {file};
    f.what = what;
    return f;
}

void Scanner::scan_node(int top, const std::string &name)
{
    const std::string rel = "Node/" + name;
    const std::string object = "node " + name;
    const Dir d(top, name.c_str());
    if (d.err() != 0)
        return unreadable(object, rel, d.err());
    const std::vector<Ent> &ents = d.ents();
    NodeScan &n = nodes_[name];
    const auto values = attributes(d, rel, object, layout::NODE);
    needs(ents, rel, object, layout::NODE, Need::Always);
    // Nodes need their statistics files only once they announce from here.
    if (local_.count(name))
        needs(ents, rel, object, layout::NODE, Need::Local);
    strays(ents, rel, object, layout::NODE);
    // What the datastore member lists are compared with.
    const auto dsm = values.find("datastoremember");
    if (!d.find("datastoremember")) {
        n.ds_known = true;
    } else if (dsm != values.end()) {
        n.ds_known = true;
        n.datastore = dsm->second.text;
    }
    n.vdisks = links(d.fd(), "vdisks", rel, object, uuid_name, "../../../VDisk/",
                     &n.vdisks_read);
}

void Scanner::scan_datastore(int top, const std::string &uuid)
{
    const std::string rel = "Datastore/" + uuid;
    const std::string object = "datastore " + uuid;
    const Dir dir(top, uuid.c_str());
    if (dir.err() != 0)
        return unreadable(object, rel, dir.err());
    DatastoreScan &d = datastores_[uuid];
    attributes(dir, rel, object, layout::DATASTORE);
    needs(dir.ents(), rel, object, layout::DATASTORE, Need::Always);
    strays(dir.ents(), rel, object, layout::DATASTORE);
    d.members = links(dir.fd(), "members", rel, object, node_name, "../../../Node/",
                      &d.members_read);
    d.vdisks = links(dir.fd(), "vdisks", rel, object, uuid_name, "../../../VDisk/",
                     &d.vdisks_read);
}

void Scanner::scan_member(int mbtop, const std::string &rel, const std::string &object,
                          const std::string &node, VDiskScan &v)
{
    const std::string mrel = rel + "/memberinfo/" + node;
    const std::string mobject = object + " member " + node;
    const Dir d(mbtop, node.c_str());
    if (d.err() != 0)
        return unreadable(mobject, mrel, d.err());
    const std::vector<Ent> &ents = d.ents();
    MemberScan &m = v.members[node];
    const auto values = attributes(d, mrel, mobject, layout::MEMBER);
    needs(ents, mrel, mobject, layout::MEMBER, Need::Always);
    strays(ents, mrel, mobject, layout::MEMBER);
    const auto frontends = values.find("frontend");
    m.has_frontends = frontends != values.end() && frontends->second.items > 0;
    for (const Ent &e : ents) {
        if (e.name != "nodestatus")
            continue;
        const std::string file = mrel + "/nodestatus";
        if (!e.is_link()) {
            finding(kind::STRAY_ENTRY, mobject, file, "not a link");
        } else if (link(e, file, mobject, "../../../../Node/" + node + "/status") ==
                   Leads::Nowhere) {
            Finding f;
            f.kind = kind::DANGLING_LINK;
            f.objects = {object, "node " + node};
            f.files = {file};
            f.what = "names the status of node " + node + ", which does not exist";
            f.vdisk = rel.substr(std::strlen("VDisk/"));
            f.node = node;
            add(std::move(f));
        }
    }
}

void Scanner::scan_vdisk(int top, const std::string &uuid)
{
    const std::string rel = "VDisk/" + uuid;
    const std::string object = "vdisk " + uuid;
    const Dir d(top, uuid.c_str());
    if (d.err() != 0)
        return unreadable(object, rel, d.err());
    const std::vector<Ent> &ents = d.ents();
    VDiskScan &v = vdisks_[uuid];
    // Each file is read once: `snapshot` says which files the vdisk needs
    // besides.
    const auto values = attributes(d, rel, object, layout::VDISK);
    const auto snapshot = values.find("snapshot");
    const auto membership = values.find("membership");
    if (membership != values.end())
        v.listed = membership->second.items;
    needs(ents, rel, object, layout::VDISK, Need::Always);
    if (snapshot != values.end())
        needs(ents, rel, object, layout::VDISK,
              snapshot->second.number != 0 ? Need::Snapshot : Need::Plain);
    strays(ents, rel, object, layout::VDISK);
    v.snapshots = links(d.fd(), "snapshots", rel, object, uuid_name, "../../../VDisk/");

    for (const Ent &e : ents) {
        if (e.name != "datastore")
            continue;
        const std::string file = rel + "/datastore";
        const size_t slash = e.target.rfind('/');
        const std::string ds = slash == std::string::npos ? "" : e.target.substr(slash + 1);
        if (!e.is_link()) {
            finding(kind::STRAY_ENTRY, object, file, "not a link");
            v.datastore_errno = EINVAL;
        } else if (!uuid_name(ds)) {
            finding(kind::BAD_LINK, object, file,
                    "points to `" + e.target +
                        "', not `../../Datastore/UUID' as the store writes it");
            v.datastore_errno = EINVAL;
        } else {
            const Leads l = link(e, file, object, "../../Datastore/" + ds);
            v.datastore_errno = l == Leads::Unreadable ? EINVAL : 0;
            v.datastore = ds;
            // The datastore went with its last member.  While the link
            // holds the name, no entry links the vdisk to its members'
            // next datastore.
            if (l == Leads::Nowhere) {
                Finding f = link_finding(file, "names datastore " + ds + ", which does not exist");
                f.objects = {object, "datastore " + ds};
                f.vdisk = uuid;
                add(std::move(f));
            }
        }
    }

    const Dir infos(d.fd(), "memberinfo");
    v.memberinfo_errno = subdir(infos, "memberinfo", rel, object);
    if (!infos.ents().empty())
        needs(ents, rel, object, layout::VDISK, Need::Members);
    for (const Ent &e : infos.ents()) {
        if (!e.is_dir() || !node_name(e.name)) {
            finding(kind::STRAY_ENTRY, object, rel + "/memberinfo/" + e.name,
                    !e.is_dir() ? "not a directory" : "its name is no node id");
            continue;
        }
        scan_member(infos.fd(), rel, object, e.name, v);
    }
}

void Scanner::judge()
{
    // Nodes: their links to vdisks.
    for (const auto &[name, n] : nodes_) {
        for (const auto &[uuid, leads] : n.vdisks) {
            if (leads == Leads::Unreadable)
                continue;
            const std::string file = "Node/" + name + "/vdisks/" + uuid;
            Finding f;
            if (leads == Leads::Nowhere) {
                f = link_finding(file, "names vdisk " + uuid + ", which does not exist");
            } else {
                auto v = vdisks_.find(uuid);
                // A vdisk without memberinfo/ is reported as such.
                if (v == vdisks_.end() || v->second.memberinfo_errno != 0 ||
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
        for (const auto &[node, leads] : d.members) {
            listed_by[node].push_back(uuid);
            if (leads == Leads::Unreadable)
                continue;
            const std::string file = "Datastore/" + uuid + "/members/" + node;
            Finding f;
            if (leads == Leads::Nowhere) {
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
        for (const auto &[vdisk, leads] : d.vdisks) {
            if (leads == Leads::Unreadable)
                continue;
            Finding f;
            const std::string file = "Datastore/" + uuid + "/vdisks/" + vdisk;
            if (leads == Leads::Nowhere) {
                f = link_finding(file, "names vdisk " + vdisk + ", which does not exist");
            } else {
                // The datastore's half of the pair is made first: without
                // the vdisk's half the next entry of the vdisk makes it.
                auto v = vdisks_.find(vdisk);
                if (v == vdisks_.end() || v->second.datastore_errno != ENOENT)
                    continue;
                f.kind = kind::BROKEN_LINK_PAIR;
                f.files = {file, "VDisk/" + vdisk + "/datastore"};
                f.what = "datastore " + uuid + " lists vdisk " + vdisk +
                         ", which has no datastore link";
                f.vdisk = vdisk;
            }
            f.objects = {"datastore " + uuid, "vdisk " + vdisk};
            f.datastore = uuid;
            f.target = vdisk;
            add(std::move(f));
        }
    }
    for (const auto &[name, n] : nodes_) {
        if (!n.datastore.empty()) {
            auto d = datastores_.find(n.datastore);
            if (d == datastores_.end() ? !unknown("Datastore", n.datastore)
                                       : d->second.members_read && !d->second.members.count(name)) {
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
    judge_vdisks();
}

// VDisks: memberinfo/, member directories against node links, the
// datastore link against the datastore's, the snapshot links.
void Scanner::judge_vdisks()
{
    std::map<std::string, std::vector<std::string>> linked_by;  // vdisk -> nodes linking it
    for (const auto &[name, n] : nodes_)
        for (const auto &link : n.vdisks)
            linked_by[link.first].push_back(name);
    for (const auto &[uuid, v] : vdisks_) {
        const std::string rel = "VDisk/" + uuid;
        const std::string object = "vdisk " + uuid;
        // Without member directories a vdisk is left over when nobody is in
        // its membership either, or when no node links it (its last
        // member's removal went as far as the directory): no member's entry
        // rebuilds it then.
        const std::vector<std::string> &by = linked_by[uuid];
        if (v.memberinfo_errno == ENOENT ||
            (v.memberinfo_errno == 0 && v.members.empty() &&
             (v.listed == 0 || (by.empty() && !broken_.count("Node"))))) {
            const bool without = v.memberinfo_errno == ENOENT;
            Finding f;
            f.kind = without ? kind::VDISK_WITHOUT_MEMBERINFO : kind::VDISK_WITHOUT_MEMBERS;
            f.objects = {object};
            f.files = {rel + "/memberinfo"};
            f.what = without        ? "memberinfo/ is missing"
                     : v.listed == 0 ? "no member directory and no member in membership"
                                     : "no member directory";
            if (by.empty()) {
                f.what += "; no node links it";
            } else {
                std::string list;
                for (const std::string &n : by)
                    list += (list.empty() ? "" : ", ") + n;
                f.what += "; linked by node" + std::string(by.size() > 1 ? "s " : " ") + list;
                f.node = by.front();
            }
            f.vdisk = uuid;
            add(std::move(f));
        }
        for (const auto &[node, m] : v.members) {
            const std::string mrel = rel + "/memberinfo/" + node;
            auto n = nodes_.find(node);
            if (m.has_frontends &&
                (n == nodes_.end() ? !unknown("Node", node)
                                   : n->second.vdisks_read && !n->second.vdisks.count(uuid))) {
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
        }
        if (v.datastore_errno == 0) {
            auto d = datastores_.find(v.datastore);
            if (d != datastores_.end() && d->second.vdisks_read && !d->second.vdisks.count(uuid)) {
                Finding f;
                f.kind = kind::BROKEN_LINK_PAIR;
                f.objects = {object, "datastore " + v.datastore};
                f.files = {rel + "/datastore", "Datastore/" + v.datastore + "/vdisks/" + uuid};
                f.what = "vdisk " + uuid + " names datastore " + v.datastore +
                         ", which does not list it";
                f.vdisk = uuid;
                f.datastore = v.datastore;
                add(std::move(f));
            }
        }
        for (const auto &[snap, leads] : v.snapshots) {
            if (leads != Leads::Nowhere)
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
    UniqueFd work(store_open_work(work_.c_str()));
    if (!work) {
        *error = "work directory " + work_ + ": " + strerror(errno);
        return -1;
    }
    struct Top {
        const char *name;
        const char *object;
        bool (*valid_name)(const std::string &);
        void (Scanner::*scan)(int, const std::string &);
    } const tops[] = {{"Node", "node ", node_name, &Scanner::scan_node},
                      {"Datastore", "datastore ", uuid_name, &Scanner::scan_datastore},
                      {"VDisk", "vdisk ", uuid_name, &Scanner::scan_vdisk}};
    std::optional<Dir> dirs[std::size(tops)];
    for (size_t i = 0; i < std::size(tops); i++) {
        const char *name = tops[i].name;
        const int err = dirs[i].emplace(work.get(), name).err();
        if (err == 0 || err == ENOENT)
            continue;
        broken_.insert(name);
        struct stat st;
        const bool odd = (err == ENOTDIR || err == ELOOP) &&
                         ::fstatat(work.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0;
        finding(kind::UNREADABLE, name, name,
                odd ? std::string("not a directory: ") + type_words(st.st_mode & S_IFMT)
                    : strerror(err));
    }
    for (size_t i = 0; i < std::size(tops); i++)
        for (const Ent &e : dirs[i]->ents())
            if (!e.is_dir())
                broken_.insert(std::string(tops[i].name) + "/" + e.name);
    for (size_t i = 0; i < std::size(tops); i++) {
        const Top &t = tops[i];
        for (const Ent &e : dirs[i]->ents()) {
            const std::string rel = std::string(t.name) + "/" + e.name;
            if (!e.is_dir() || !t.valid_name(e.name))
                finding(kind::STRAY_ENTRY, t.object + e.name, rel,
                        !e.is_dir() ? std::string("not a directory") +
                                          (e.is_link() ? ": a link to `" + e.target + "'" : "")
                                    : "its name names no object");
            else
                (this->*t.scan)(dirs[i]->fd(), e.name);
        }
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

// What a file type is, in words.
const char *type_words(mode_t type)
{
    switch (type) {
    case S_IFREG: return "a file";
    case S_IFDIR: return "a directory";
    case S_IFLNK: return "a symbolic link";
    case S_IFIFO: return "a FIFO";
    case S_IFSOCK: return "a socket";
    case S_IFCHR: return "a character device";
    case S_IFBLK: return "a block device";
    }
    return "not a regular file";
}

void scan_locks(const CheckScope &scope, CheckReport *report)
{
    const Dir dir(AT_FDCWD, scope.lock_dir.c_str());
    if (dir.err() != 0)
        return;
    for (const Ent &e : dir.ents()) {
        LockView l;
        l.object = lock_object(e.name);
        if (l.object.empty())
            continue;
        l.path = scope.lock_dir + "/" + e.name;
        Finding f;
        f.objects = {l.object};
        f.files = {l.path};
        if (e.type != S_IFREG) {
            // The daemon takes anything else at a lock name for a lock held
            // by another program: the object cannot be updated until it goes.
            f.kind = kind::LOCK_NOT_REGULAR;
            f.what = e.type == 0 ? std::string(strerror(e.lstat_errno))
                                 : std::string("is ") + type_words(e.type) + ": " + l.object +
                                       " cannot be updated";
            report->findings.push_back(std::move(f));
            continue;
        }
        struct stat st;
        if (::fstatat(dir.fd(), e.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        l.age = std::max<long long>(0, (long long)report->now - (long long)st.st_mtime);
        l.has_pid = read_pid(dir.fd(), e.name.c_str(), &l.pid);
        if (l.has_pid)
            l.holder = ::kill(pid_t(l.pid), 0) == 0 || errno != ESRCH ? Holder::Running
                                                                      : Holder::Gone;
        const std::string age = "; written " + std::to_string(l.age) + "s ago";
        const bool daemon = l.has_pid && scope.daemon_pid != 0 && l.pid == scope.daemon_pid;
        if (!l.has_pid) {
            f.kind = kind::LOCK_WITHOUT_PID;
            f.what = "holds no process id" + age;
        } else if (l.holder == Holder::Gone) {
            f.kind = kind::STALE_LOCK;
            f.what = "held by pid " + std::to_string(l.pid) + ", which does not exist" + age;
        } else if (l.age > LOCK_LONG_SECONDS) {
            f.kind = kind::LOCK_HELD_LONG;
            f.what = (daemon ? "held by the daemon itself (pid " + std::to_string(l.pid) +
                                   "): it waits for a fence check or another lock, or leaked it"
                             : "held by running pid " + std::to_string(l.pid)) +
                     age;
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
        kind::BROKEN_LINK_PAIR,         kind::MISSING_ATTRIBUTE,
        kind::LOCK_NOT_REGULAR,         kind::BAD_LINK,
        kind::STRAY_ENTRY,              kind::UNREADABLE,
    };
    return kinds;
}

bool kind_is_error(const std::string &k)
{
    return k == kind::BAD_ATTRIBUTE || k == kind::MISSING_ATTRIBUTE || k == kind::STALE_LOCK ||
           k == kind::LOCK_WITHOUT_PID || k == kind::LOCK_HELD_LONG ||
           k == kind::LOCK_NOT_REGULAR || k == kind::UNREADABLE || k == kind::BAD_LINK;
}

int check_scan(const CheckScope &scope, CheckReport *report, std::string *error)
{
    *report = CheckReport();
    report->work_directory = scope.work_directory;
    report->daemon_pid = scope.daemon_pid;
    report->now = ::time(nullptr);
    if (Scanner(scope, report).run(error) != 0)
        return -1;
    scan_locks(scope, report);
    return 0;
}

int check_store(const CheckScope &scope, CheckReport *report, std::string *error, int reread_ms)
{
    if (check_scan(scope, report, error) != 0)
        return -1;
    if (report->findings.empty())
        return 0;
    std::set<std::string> first;
    for (const Finding &f : report->findings)
        first.insert(finding_key(f));
    std::this_thread::sleep_for(std::chrono::milliseconds(reread_ms));
    if (check_scan(scope, report, error) != 0)
        return -1;
    auto &found = report->findings;
    found.erase(std::remove_if(found.begin(), found.end(),
                               [&](const Finding &f) { return !first.count(finding_key(f)); }),
                found.end());
    return 0;
}
