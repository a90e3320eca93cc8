#include "scale_layout.h"

#include <cstdio>
#include <cstring>

namespace {

// A fixed-width text field of a record, up to its first zero byte.
template <size_t N>
std::string text(const char (&field)[N])
{
    return std::string(field, strnlen(field, N));
}

std::string lines(const std::vector<std::string> &items)
{
    std::string s;
    for (const auto &i : items)
        s += i + "\n";
    return s;
}

std::vector<std::string> frontends_of(const VDisk &vd)
{
    std::vector<std::string> out;
    for (const auto &fe : vd.frontends)
        out.push_back(fe->ipaddr);
    return out;
}

}  // namespace

void StoreModel::expect(Watch &w, size_t host, const std::string &work, bool snapshot_links) const
{
    for (const auto &[id, ds] : node_ds) {
        const std::string node = std::to_string(id);
        w.add(host, Expect::content(work + "/Node/" + node + "/datastoremember", ds + "\n"));
        w.add(host, Expect::present(work + "/Datastore/" + ds + "/members/" + node));
    }
    for (const auto &[uuid, vd] : vdisks) {
        const std::string dir = work + "/VDisk/" + uuid;
        std::vector<std::string> ids;
        for (uint32_t m : vd.membership)
            ids.push_back(std::to_string(m));
        w.add(host, Expect::content(dir + "/membership", lines(ids)));
        for (const auto &[m, frontends] : vd.members) {
            const std::string node = std::to_string(m);
            w.add(host, Expect::content(dir + "/memberinfo/" + node + "/frontend", lines(frontends)));
            w.add(host, Expect::present(work + "/Node/" + node + "/vdisks/" + uuid));
        }
        if (!vd.parent.empty()) {
            w.add(host, Expect::content(dir + "/parent", vd.parent + "\n"));
            if (snapshot_links)
                w.add(host, Expect::present(work + "/VDisk/" + vd.parent + "/snapshots/" + uuid));
        }
    }
}

bool ScaleLayout::build(const ScaleShape &shape, std::string *error)
{
    shape_ = shape;
    if (shape.hosts < 3 || shape.local < 1 || shape.datastores < 1) {
        *error = "need at least 3 hosts (a vdisk's 3 members on different hosts), 1 node per host "
                 "and 1 datastore";
        return false;
    }
    ClusterShape cs;
    cs.nodes = shape.hosts * shape.local;
    cs.members = 3;
    cs.frontends = 2;
    cs.vdisks = (shape.vdisks_per_node * cs.nodes + cs.members - 1) / cs.members;
    cs.snap_every = shape.snap_every;
    cs.nodes_per_ds = (cs.nodes + shape.datastores - 1) / shape.datastores;
    if (!cluster_.build(cs, error))
        return false;

    model_ = {};
    for (size_t i = 0; i < nodes(); i++) {
        const Node &node = cluster_.node(i);
        model_.node_ds[node.nodeid] = node.dsuuid;
        for (const auto &vd : node.vdisks) {
            VDiskModel &m = model_.vdisks[vd->vdiskuuid];
            if (m.membership.empty())
                for (const auto &mb : vd->members)
                    m.membership.push_back(mb->mbe.node);
            m.members[node.nodeid] = frontends_of(*vd);
            if (vd->vde.snapshot != 0)
                m.parent = vd->parentuuid;
        }
    }
    return true;
}

std::vector<size_t> ScaleLayout::local(size_t h) const
{
    std::vector<size_t> out;
    for (size_t i = h; i < nodes(); i += shape_.hosts)
        out.push_back(i);
    return out;
}

seed::NodeSpec ScaleLayout::node_spec(size_t i) const
{
    const Node &n = cluster_.node(i);
    const Hdr &h = n.hdr;
    seed::NodeSpec s;
    s.id = n.nodeid;
    char version[16];
    std::snprintf(version, sizeof version, "v%u.%u", unsigned(h.major), unsigned(h.minor));
    s.version = version;
    s.nodestatus = h.nodestatus;
    s.vendor = text(h.vendor);
    s.model = text(h.model);
    s.freespace = h.revision.freespace;
    s.utilization = h.revision.utilization;
    s.revision = text(h.revision.rev);
    s.serial = text(h.serial);
    s.hbtl = text(h.hbtl);
    s.size = h.size;
    s.performance = h.performance;
    s.hostid = h.hostid;
    s.allocatedspace = n.aux.allocatedspace;
    s.curvdisks = n.aux.curvdisks;
    s.curvdisksforctrl = n.aux.curvdisksforctrl;
    s.maxvdisksforctrl = n.aux.maxvdisksforctrl;
    s.memtotal = n.aux.memtotal;
    s.memavail = n.aux.memavail;
    s.datastore = n.dsuuid;
    return s;
}

seed::DatastoreSpec ScaleLayout::datastore_spec(size_t i, std::vector<uint32_t> members) const
{
    const DatastoreEntry &e = cluster_.node(i).dse;
    seed::DatastoreSpec s;
    s.uuid = text(e.uuid);
    s.name = text(e.name);
    s.description = text(e.description);
    s.sector_size = e.sector_size;
    s.replicas = e.replicas;
    s.stripes = e.stripes;
    s.overcommit = e.overcommit;
    s.members = std::move(members);
    return s;
}

seed::VDiskSpec ScaleLayout::vdisk_spec(const VDisk &vd, size_t member) const
{
    const VDiskEntry &e = vd.vde;
    seed::VDiskSpec s;
    s.uuid = vd.vdiskuuid;
    s.name = text(e.name.name);
    s.sector_size = e.sector_size;
    s.sectors = e.sectors;
    s.replicas = e.replicas;
    s.st_mems = e.st_mems;
    s.st_size = e.st_size;
    s.snapshot = e.snapshot;
    if (e.snapshot != 0) {
        const SnapInfo &t = e.description.snap;
        char when[32];
        std::snprintf(when, sizeof when, "%02d-%02d-%02d_%02d.%02d.%02d", t.y, t.m, t.d, t.H, t.M, t.S);
        s.parent = vd.parentuuid;
        s.snaptime = when;
    } else {
        s.description = text(e.description.descr);
    }
    s.highest_gen_count = mshipgencnt_get(e);
    for (const auto &mb : vd.members)
        s.membership.push_back(mb->mbe.node);
    seed::MemberInfoSpec mi;
    mi.node = node_id(member);
    mi.gen = s.highest_gen_count;
    mi.numkeys = e.numkeys;
    mi.seqno = e.seqno;
    mi.status = e.status;
    mi.port = e.port;
    mi.st_mem = e.st_mem;
    mi.frontends = frontends_of(vd);
    s.memberinfo = {mi};
    s.datastore = datastore_of(member);
    return s;
}

void ScaleLayout::seed(size_t h, const std::string &work) const
{
    std::map<std::string, std::vector<uint32_t>> ds_members;
    std::map<std::string, size_t> ds_node;
    for (size_t i : local(h)) {
        seed::write_node(work, node_spec(i));
        ds_members[datastore_of(i)].push_back(node_id(i));
        ds_node[datastore_of(i)] = i;
    }
    for (const auto &[ds, members] : ds_members)
        seed::write_datastore(work, datastore_spec(ds_node[ds], members));
    // In uuid order: a snapshot's parent (the vdisk before it) comes first,
    // so a snapshot is linked at a parent of this host.
    for (size_t i : local(h))
        for (const auto &vd : cluster_.node(i).vdisks)
            seed::write_vdisk(work, vdisk_spec(*vd, i));
}

std::string ScaleLayout::plain_vdisk(const std::set<std::string> &taken) const
{
    std::set<std::string> parents;
    for (const auto &[uuid, vd] : model_.vdisks)
        if (!vd.parent.empty())
            parents.insert(vd.parent);
    for (const auto &[uuid, vd] : model_.vdisks)
        if (vd.parent.empty() && !parents.count(uuid) && !taken.count(uuid))
            return uuid;
    return "";
}
