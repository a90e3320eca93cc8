// Reading the object database for the operator: every value on its own,
// relative to open directory descriptors, without locks.  The daemon's own
// list readers (MembershipLoad, FrontendsLoad) and value readers (AttrLoad,
// StringLoad) parse the files, opening each once through the store's door
// (never following a link, never blocking on a FIFO, never reading a value
// past its largest size); a single value they refuse is then examined with
// fstatat, so that a missing file is told apart from a damaged one.  A list
// file is examined first, so that a huge one is never read whole.
#include "tools/status.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>

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

// Largest single-value file (newline included), as the value readers accept.
constexpr off_t VALUE_MAX = 255;
// Largest list file (membership, frontend) read: far beyond any real list.
constexpr off_t LIST_MAX = off_t(1) << 20;

// One open object directory: its descriptor, its path relative to the work
// directory (for problems) and the list problems go to.
struct ObjDir {
    UniqueFd fd;
    std::string rel;
    std::vector<Problem> *problems;

    void problem(const std::string &key, const std::string &what) const
    {
        problems->push_back({key.empty() ? rel : rel + "/" + key, what});
    }
};

// Opens dirfd/name as a directory through the store's door (never through
// a link) without a log line (a missing directory is an ordinary answer
// here).  The descriptor, or -1 with errno set.
int open_dir(int dirfd, const char *name)
{
    return store_open(dirfd, name, O_RDONLY | O_DIRECTORY);
}

// Why an object directory could not be opened.
std::string open_error(int err)
{
    return err == ENOTDIR || err == ELOOP ? std::string("not a directory")
                                          : std::string(strerror(err));
}

// Examines dirfd/key before a reader opens it: Ok for a regular file of at
// most max bytes (its size in *size), Missing when absent, Bad otherwise
// (a link included: the readers never follow one) with the reason in *what.
Got examine(int dirfd, const char *key, off_t max, off_t *size, std::string *what)
{
    struct stat st;
    if (::fstatat(dirfd, key, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT)
            return Got::Missing;
        *what = strerror(errno);
        return Got::Bad;
    }
    if (!S_ISREG(st.st_mode)) {
        *what = "not a regular file";
        return Got::Bad;
    }
    if (st.st_size > max) {
        *what = "oversized (" + std::to_string(st.st_size) + " bytes)";
        return Got::Bad;
    }
    *size = st.st_size;
    return Got::Ok;
}

// A single value is followed by its newline, so an empty value file was
// caught half-written or broken; an empty list file is an empty list.
Got examine_value(const ObjDir &d, const char *key, off_t max, off_t *size, bool list = false)
{
    std::string what;
    Got got = examine(d.fd.get(), key, max, size, &what);
    if (got == Got::Ok && *size == 0 && !list) {
        what = "empty";
        got = Got::Bad;
    }
    if (got == Got::Bad)
        d.problem(key, what);
    return got;
}

// The readers open each file once; only a value they refuse is looked at
// again, to say why (absent, not a file, empty, oversized, malformed).
// The text value of the layout's row `key`, read up to its width.
TextValue read_text(const ObjDir &d, const layout::Entry &row)
{
    const char *const key = row.name;
    const int cap = row.width;
    TextValue v;
    char buf[VALUE_MAX + 1];
    const int r = StringLoad(d.fd.get(), key, buf, cap);
    if (r > 0) {
        v.got = Got::Ok;
        v.value.assign(buf, size_t(r));
        return v;
    }
    // 0: an empty value, or an empty file, which the look tells.
    off_t size = 0;
    v.got = examine_value(d, key, VALUE_MAX, &size);
    if (v.got == Got::Ok && r < 0) {
        v.got = Got::Bad;
        d.problem(key, size - 1 > cap ? "longer than " + std::to_string(cap) + " characters"
                                      : std::string("malformed"));
    }
    return v;
}

NumberValue read_number(const ObjDir &d, const char *key)
{
    NumberValue v;
    if (AttrLoad(d.fd.get(), key, "%llu", &v.value) == 1) {
        v.got = Got::Ok;
        return v;
    }
    off_t size = 0;
    v.got = examine_value(d, key, VALUE_MAX, &size);
    if (v.got == Got::Ok) {
        v.got = Got::Bad;
        d.problem(key, "malformed");
    }
    v.value = 0;
    return v;
}

// A name that may stand for an object directory: what ObjectNameCheck
// accepts, tested without its log line.
bool object_name_ok(const std::string &name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Whether topfd/name is an object directory (topfd -1: the top directory
// itself is missing, so nothing is present).
bool present(int topfd, const std::string &name)
{
    struct stat st;
    return topfd >= 0 && object_name_ok(name) &&
           ::fstatat(topfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

struct Entry {
    std::string name;
    bool is_dir = false;
    bool is_link = false;
};

// The entries of the open directory dirfd/name (without "." and ".."), in
// byte order.  Missing when there is no such directory; Bad (with a problem
// under key) when it cannot be opened or read.
Got list_entries(const ObjDir &d, const char *key, std::vector<Entry> *out)
{
    int fd = open_dir(d.fd.get(), key);
    if (fd < 0) {
        if (errno == ENOENT)
            return Got::Missing;
        d.problem(key, open_error(errno));
        return Got::Bad;
    }
    UniqueDir dir(::fdopendir(fd));
    if (!dir) {
        d.problem(key, strerror(errno));
        ::close(fd);
        return Got::Bad;
    }
    for (;;) {
        errno = 0;
        struct dirent *ent = ::readdir(dir.get());
        if (ent == nullptr) {
            if (errno != 0) {
                d.problem(key, strerror(errno));
                return Got::Bad;
            }
            break;
        }
        if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0)
            continue;
        Entry e;
        e.name = ent->d_name;
        struct stat st;
        if (ent->d_type != DT_UNKNOWN) {
            e.is_dir = ent->d_type == DT_DIR;
            e.is_link = ent->d_type == DT_LNK;
        } else if (::fstatat(::dirfd(dir.get()), ent->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            e.is_dir = S_ISDIR(st.st_mode);
            e.is_link = S_ISLNK(st.st_mode);
        }
        out->push_back(std::move(e));
    }
    std::sort(out->begin(), out->end(),
              [](const Entry &a, const Entry &b) { return a.name < b.name; });
    return Got::Ok;
}

// The links of dirfd/key as references to objects under topfd; entries that
// are not symbolic links, or whose names cannot name an object, are
// problems.
Got read_links(const ObjDir &d, const char *key, int topfd, size_t max_name,
               std::vector<Ref> *out)
{
    std::vector<Entry> entries;
    Got got = list_entries(d, key, &entries);
    for (const Entry &e : entries) {
        const std::string rel = std::string(key) + "/" + e.name;
        if (!e.is_link)
            d.problem(rel, "not a symbolic link");
        else if (e.name.size() > max_name)
            d.problem(rel, "name longer than " + std::to_string(max_name) + " characters");
        else
            out->push_back({e.name, present(topfd, e.name)});
    }
    return got;
}

// Node id in canonical decimal ("%u" of a 32-bit number, no leading zero).
bool parse_node_name(const std::string &name, uint32_t *id)
{
    if (name.empty() || name.size() > 10 || (name.size() > 1 && name[0] == '0'))
        return false;
    unsigned long long v = 0;
    for (char c : name) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + unsigned(c - '0');
    }
    if (v > UINT32_MAX)
        return false;
    *id = uint32_t(v);
    return true;
}

// The top directories of the database, each -1 when missing.
struct Tops {
    int node = -1;
    int datastore = -1;
    int vdisk = -1;
};

NodeView read_node(int nodetop, const std::string &name, const Tops &tops)
{
    NodeView n;
    n.name = name;
    n.id_ok = parse_node_name(name, &n.id);
    const int fd = open_dir(nodetop, name.c_str());
    const int err = errno;
    ObjDir d{UniqueFd(fd), "Node/" + name, &n.problems};
    if (!n.id_ok)
        d.problem("", "not a node id");
    if (!d.fd) {
        d.problem("", open_error(err));
        return n;
    }
    n.ipaddr = read_text(d, layout::row(layout::NODE, "ipaddr"));
    n.version = read_text(d, layout::row(layout::NODE, "version"));
    n.vendor = read_text(d, layout::row(layout::NODE, "vendor"));
    n.model = read_text(d, layout::row(layout::NODE, "model"));
    n.lastping = read_number(d, "lastping");
    n.freespace = read_number(d, "freespace");
    n.datastore = read_text(d, layout::row(layout::NODE, "datastoremember"));
    // An empty datastoremember names no datastore.
    if (n.datastore.got == Got::Ok && n.datastore.value.empty())
        n.datastore.got = Got::Missing;
    if (n.datastore.got == Got::Ok)
        n.datastore_present = present(tops.datastore, n.datastore.value);
    n.vdisks_got = read_links(d, "vdisks", tops.vdisk, UUID_LEN, &n.vdisks);
    return n;
}

DatastoreView read_datastore(int dstop, const std::string &uuid, const Tops &tops)
{
    DatastoreView ds;
    ds.uuid = uuid;
    const int fd = open_dir(dstop, uuid.c_str());
    const int err = errno;
    ObjDir d{UniqueFd(fd), "Datastore/" + uuid, &ds.problems};
    if (uuid.size() > UUID_LEN)
        d.problem("", "name longer than 14 characters");
    if (!d.fd) {
        d.problem("", open_error(err));
        return ds;
    }
    ds.name = read_text(d, layout::row(layout::DATASTORE, "name"));
    ds.members_got = read_links(d, "members", tops.node, 10, &ds.members);
    ds.vdisks_got = read_links(d, "vdisks", tops.vdisk, UUID_LEN, &ds.vdisks);
    return ds;
}

// The datastore named by the vdisk's `datastore` link: the part of its
// target after the last slash.
TextValue read_datastore_link(const ObjDir &d)
{
    TextValue v;
    char target[64] = {};
    ssize_t n = ::readlinkat(d.fd.get(), "datastore", target, sizeof target - 1);
    if (n < 0) {
        if (errno == ENOENT)
            return v;
        v.got = Got::Bad;
        d.problem("datastore", errno == EINVAL ? std::string("not a symbolic link")
                                               : strerror(errno));
        return v;
    }
    const char *slash = std::strrchr(target, '/');
    if (slash == nullptr || !object_name_ok(slash + 1)) {
        v.got = Got::Bad;
        d.problem("datastore", "malformed link target `" + std::string(target) + "'");
        return v;
    }
    v.got = Got::Ok;
    v.value = slash + 1;
    return v;
}

// The member's frontends from memberinfo/{node}/frontend.
void read_frontends(const ObjDir &d, int mbtop, const std::string &vdiskpath, MemberView *m)
{
    const int fd = object_name_ok(m->node) ? open_dir(mbtop, m->node.c_str()) : -1;
    const int err = fd < 0 && !object_name_ok(m->node) ? ENOENT : errno;
    ObjDir md{UniqueFd(fd), d.rel + "/memberinfo/" + m->node, d.problems};
    if (!md.fd) {
        if (err != ENOENT)
            md.problem("", open_error(err));
        m->frontends_got = err == ENOENT ? Got::Missing : Got::Bad;
        return;
    }
    // A member without frontends has no frontend file.
    off_t size = 0;
    m->frontends_got = examine_value(md, "frontend", LIST_MAX, &size, true);
    if (m->frontends_got == Got::Missing)
        m->frontends_got = Got::Ok;
    if (m->frontends_got != Got::Ok)
        return;
    FrontendList list;
    int count = 0;
    if (FrontendsLoad(&list, &count, vdiskpath.c_str(), m->node.c_str(), md.fd.get()) != 0) {
        m->frontends_got = Got::Bad;
        md.problem("frontend", "malformed");
        return;
    }
    for (const auto &f : list)
        m->frontends.push_back(f->ipaddr);
}

VDiskView read_vdisk(int vdtop, const std::string &uuid, const Tops &tops,
                     const std::string &work_directory)
{
    VDiskView v;
    v.uuid = uuid;
    const int fd = open_dir(vdtop, uuid.c_str());
    const int err = errno;
    ObjDir d{UniqueFd(fd), "VDisk/" + uuid, &v.problems};
    if (uuid.size() > UUID_LEN)
        d.problem("", "name longer than 14 characters");
    if (!d.fd) {
        d.problem("", open_error(err));
        return v;
    }
    // The list readers name the vdisk by its path in their log lines.
    const std::string vdiskpath = work_directory + "/" + d.rel;

    v.name = read_text(d, layout::row(layout::VDISK, "name"));
    v.snapshot = read_number(d, "snapshot");
    if (v.snapshot.got == Got::Ok && v.snapshot.value != 0) {
        v.parent = read_text(d, layout::row(layout::VDISK, "parent"));
        if (v.parent.got == Got::Ok)
            v.parent_present = present(tops.vdisk, v.parent.value);
    }
    v.highest_gen = read_number(d, "highest_gen_count");

    off_t size = 0;
    v.membership_got = examine_value(d, "membership", LIST_MAX, &size, true);
    if (v.membership_got == Got::Ok) {
        MemberList list;
        if (MembershipLoad(&list, nullptr, vdiskpath.c_str(), d.fd.get()) != 0) {
            v.membership_got = Got::Bad;
            d.problem("membership", "malformed");
        }
        for (const auto &m : list) {
            MemberView mv;
            mv.node = m->uuid;
            mv.listed = true;
            v.members.push_back(std::move(mv));
        }
    }

    // Members with data of their own but missing from the list.
    std::vector<Entry> infos;
    list_entries(d, "memberinfo", &infos);
    for (const Entry &e : infos) {
        auto listed = [&](const MemberView &m) { return m.node == e.name; };
        if (std::none_of(v.members.begin(), v.members.end(), listed)) {
            MemberView mv;
            mv.node = e.name;
            v.members.push_back(std::move(mv));
        }
    }
    UniqueFd mbtop(open_dir(d.fd.get(), "memberinfo"));
    for (MemberView &m : v.members) {
        m.node_present = present(tops.node, m.node);
        if (mbtop)
            read_frontends(d, mbtop.get(), vdiskpath, &m);
    }

    v.datastore = read_datastore_link(d);
    if (v.datastore.got == Got::Ok)
        v.datastore_present = present(tops.datastore, v.datastore.value);
    return v;
}

// Opens one top directory (Node, Datastore, VDisk).  A missing one is an
// empty table; anything else wrong with it is a problem of the view.
UniqueFd open_top(int workfd, const char *name, std::vector<Problem> *problems)
{
    UniqueFd fd(open_dir(workfd, name));
    if (!fd && errno != ENOENT)
        problems->push_back({name, open_error(errno)});
    return fd;
}

// The object directories under an open top directory, by name; other
// entries are problems (a link there is none of the store's objects, and
// following it would read outside the store).
std::vector<std::string> object_names(int topfd, const char *top, std::vector<Problem> *problems)
{
    std::vector<std::string> names;
    if (topfd < 0)
        return names;
    ObjDir d{UniqueFd(open_dir(topfd, ".")), top, problems};
    std::vector<Entry> entries;
    if (d.fd)
        list_entries(d, ".", &entries);
    for (const Entry &e : entries) {
        if (e.is_dir)
            names.push_back(e.name);
        else
            problems->push_back({std::string(top) + "/" + e.name,
                                 e.is_link ? "a link, not a directory" : "not a directory"});
    }
    return names;
}

}  // namespace

int status_read(const std::string &work_directory, ClusterView *view, std::string *error)
{
    view->work_directory = work_directory;
    view->now = ::time(nullptr);
    UniqueFd work(store_open_work(work_directory.c_str()));
    if (!work) {
        *error = "work directory " + work_directory + ": " + strerror(errno);
        return -1;
    }
    UniqueFd nodes = open_top(work.get(), "Node", &view->problems);
    UniqueFd datastores = open_top(work.get(), "Datastore", &view->problems);
    UniqueFd vdisks = open_top(work.get(), "VDisk", &view->problems);
    const Tops tops{nodes.get(), datastores.get(), vdisks.get()};

    for (const std::string &name : object_names(tops.node, "Node", &view->problems))
        view->nodes.push_back(read_node(tops.node, name, tops));
    std::stable_sort(view->nodes.begin(), view->nodes.end(),
                     [](const NodeView &a, const NodeView &b) {
                         if (a.id_ok != b.id_ok)
                             return a.id_ok;
                         return a.id_ok ? a.id < b.id : a.name < b.name;
                     });
    for (const std::string &uuid : object_names(tops.datastore, "Datastore", &view->problems))
        view->datastores.push_back(read_datastore(tops.datastore, uuid, tops));
    for (const std::string &uuid : object_names(tops.vdisk, "VDisk", &view->problems))
        view->vdisks.push_back(read_vdisk(tops.vdisk, uuid, tops, work_directory));
    return 0;
}

namespace {

template <class T, class Keep>
void keep_if(std::vector<T> &v, Keep keep)
{
    v.erase(std::remove_if(v.begin(), v.end(), [&](const T &x) { return !keep(x); }), v.end());
}

bool has_ref(const std::vector<Ref> &refs, const std::string &name)
{
    return std::any_of(refs.begin(), refs.end(), [&](const Ref &r) { return r.name == name; });
}

bool has_member(const VDiskView &v, const std::string &node)
{
    return std::any_of(v.members.begin(), v.members.end(),
                       [&](const MemberView &m) { return m.node == node; });
}

}  // namespace

int status_filter(ClusterView *view, const StatusFilter &filter)
{
    const NodeView *node = nullptr;
    const VDiskView *vdisk = nullptr;
    if (filter.by_node) {
        for (const NodeView &n : view->nodes)
            if (n.id_ok && n.id == filter.node)
                node = &n;
        if (node == nullptr)
            return -1;
    }
    if (filter.by_vdisk) {
        for (const VDiskView &v : view->vdisks)
            if (v.uuid == filter.vdisk)
                vdisk = &v;
        if (vdisk == nullptr)
            return -1;
    }

    // Decide everything from the unfiltered view, then cut.
    std::set<std::string> nodes, datastores, vdisks;
    const auto select = [&](bool by_node) {
        std::set<std::string> n, d, v;
        if (by_node) {
            n.insert(node->name);
            if (node->datastore.got == Got::Ok)
                d.insert(node->datastore.value);
            for (const DatastoreView &ds : view->datastores)
                if (has_ref(ds.members, node->name))
                    d.insert(ds.uuid);
            for (const VDiskView &vd : view->vdisks)
                if (has_member(vd, node->name) || has_ref(node->vdisks, vd.uuid))
                    v.insert(vd.uuid);
        } else {
            v.insert(vdisk->uuid);
            for (const MemberView &m : vdisk->members)
                n.insert(m.node);
            if (vdisk->datastore.got == Got::Ok)
                d.insert(vdisk->datastore.value);
        }
        return std::array<std::set<std::string>, 3>{n, d, v};
    };
    const auto intersect = [](std::set<std::string> &a, const std::set<std::string> &b) {
        std::set<std::string> both;
        for (const auto &x : a)
            if (b.count(x))
                both.insert(x);
        a.swap(both);
    };
    if (node == nullptr && vdisk == nullptr)
        return 0;
    auto first = select(node != nullptr);
    nodes = first[0];
    datastores = first[1];
    vdisks = first[2];
    if (node != nullptr && vdisk != nullptr) {
        auto second = select(false);
        intersect(nodes, second[0]);
        intersect(datastores, second[1]);
        intersect(vdisks, second[2]);
    }
    keep_if(view->nodes, [&](const NodeView &n) { return nodes.count(n.name) != 0; });
    keep_if(view->datastores,
            [&](const DatastoreView &d) { return datastores.count(d.uuid) != 0; });
    keep_if(view->vdisks, [&](const VDiskView &v) { return vdisks.count(v.uuid) != 0; });
    return 0;
}

long long node_silence(const ClusterView &view, const NodeView &node)
{
    return (long long)view.now - (long long)node.lastping.value;
}

bool node_silent(const ClusterView &view, const NodeView &node)
{
    return node.lastping.got == Got::Ok &&
           node_silence(view, node) > 3LL * (long long)view.heartbeat_interval;
}
