#include "store_seed.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "udp.h"

namespace seed {

namespace fs = std::filesystem;

namespace {

void mkdirs(const std::string &dir)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        throw std::runtime_error("seed: mkdir " + dir + ": " + ec.message());
}

void put_file(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out)
        throw std::runtime_error("seed: cannot write " + path);
}

// A relative link path -> target (an existing one is replaced).
void symlink_to(const std::string &target, const std::string &path)
{
    std::error_code ec;
    fs::remove(path, ec);
    fs::create_symlink(target, path, ec);
    if (ec)
        throw std::runtime_error("seed: symlink " + path + ": " + ec.message());
}

std::string lines(const std::vector<std::string> &items)
{
    std::string text;
    for (const auto &item : items)
        text += item + "\n";
    return text;
}

std::string u(unsigned long long v) { return std::to_string(v); }

// The IPv4 address a.b.c.d as the wire number a*2^24 + b*2^16 + c*2^8 + d.
uint32_t ip_number(const std::string &dotted)
{
    unsigned a, b, c, d;
    if (std::sscanf(dotted.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d) != 4)
        throw std::runtime_error("seed: bad address " + dotted);
    return a << 24 | b << 16 | c << 8 | d;
}

using harness::put_le;

// Zero-padded text at a byte offset, cut at the field's width.
void put_text(std::string &msg, size_t off, const std::string &text, size_t width)
{
    std::memcpy(&msg[off], text.data(), std::min(text.size(), width));
}

}  // namespace

NodeSpec node_spec(uint32_t id, const std::string &ds)
{
    NodeSpec n;
    n.id = id;
    n.datastore = ds;
    return n;
}

VDiskSpec vdisk_spec(const std::string &uuid, std::vector<uint32_t> members, const std::string &ds)
{
    VDiskSpec v;
    v.uuid = uuid;
    v.description = "plain";
    v.membership = members;
    v.datastore = ds;
    for (uint32_t m : members)
        v.memberinfo.push_back({.node = m, .frontends = {"10.0.0.1"}});
    return v;
}

VDiskSpec snapshot_spec(const std::string &uuid, const std::string &parent, uint32_t member,
                        const std::string &ds)
{
    VDiskSpec v = vdisk_spec(uuid, {member}, ds);
    v.snapshot = 1;
    v.parent = parent;
    v.snaptime = "15-03-05_07.08.09";
    return v;
}

void write_attr(const std::string &dir, const std::string &key, const std::string &value)
{
    put_file(dir + "/" + key, value + "\n");
}

void write_raw(const std::string &dir, const std::string &key, const std::string &content)
{
    put_file(dir + "/" + key, content);
}

void write_node(const std::string &work, const NodeSpec &n)
{
    const std::string dir = work + "/Node/" + u(n.id);
    mkdirs(dir + "/vdisks");
    const bool backup = n.nodestatus == 1;
    const std::pair<const char *, std::string> attrs[] = {
        {"version", n.version},
        {"uuid", u(n.id)},
        {"status", "1"},
        {"nodestatus", u(n.nodestatus)},
        {"vendor", n.vendor},
        {"model", n.model},
        {"freespace", u(n.freespace)},
        {"utilization", u(n.utilization)},
        {"revision", n.revision},
        {"serial", n.serial},
        {"hbtl", n.hbtl},
        {"performance", u(n.performance)},
        {"hostid", u(n.hostid)},
        {"size", backup ? "0" : u(n.size)},
        {"backupchannel", backup ? n.backupchannel : "0.0.0.0"},
        {"ipaddr", "127.0.0.1"},
        {"lastping", "1700000000"},
        {"allocatedspace", u(n.allocatedspace)},
        {"curvdisks", u(n.curvdisks)},
        {"curvdisksforctrl", u(n.curvdisksforctrl)},
        {"maxvdisksforctrl", u(n.maxvdisksforctrl)},
        {"memtotal", u(n.memtotal)},
        {"memavail", u(n.memavail)},
    };
    for (const auto &[key, value] : attrs)
        write_attr(dir, key, value);
    if (!n.datastore.empty())
        write_attr(dir, "datastoremember", n.datastore);
}

void write_datastore(const std::string &work, const DatastoreSpec &ds)
{
    const std::string dir = work + "/Datastore/" + ds.uuid;
    mkdirs(dir + "/members");
    mkdirs(dir + "/vdisks");
    write_attr(dir, "uuid", ds.uuid);
    write_attr(dir, "name", ds.name);
    write_attr(dir, "description", ds.description);
    write_attr(dir, "sector_size", u(ds.sector_size));
    write_attr(dir, "replicas", u(ds.replicas));
    write_attr(dir, "stripes", u(ds.stripes));
    write_attr(dir, "overcommit", u(ds.overcommit));
    for (uint32_t m : ds.members)
        symlink_to("../../../Node/" + u(m), dir + "/members/" + u(m));
}

void write_vdisk(const std::string &work, const VDiskSpec &vd)
{
    const std::string dir = work + "/VDisk/" + vd.uuid;
    mkdirs(dir + "/memberinfo");
    write_attr(dir, "uuid", vd.uuid);
    write_attr(dir, "name", vd.name);
    write_attr(dir, "sector_size", u(vd.sector_size));
    write_attr(dir, "sectors", u(vd.sectors));
    write_attr(dir, "replicas", u(vd.replicas));
    write_attr(dir, "st_mems", u(vd.st_mems));
    write_attr(dir, "st_size", u(vd.st_size));
    write_attr(dir, "snapshot", u(vd.snapshot));
    if (vd.snapshot != 0) {
        write_attr(dir, "parent", vd.parent);
        write_attr(dir, "snaptime", vd.snaptime);
        const std::string at_parent = work + "/VDisk/" + vd.parent + "/snapshots";
        if (fs::is_directory(at_parent))
            symlink_to("../../../VDisk/" + vd.uuid, at_parent + "/" + vd.uuid);
    } else {
        mkdirs(dir + "/snapshots");
        write_attr(dir, "description", vd.description);
    }
    write_attr(dir, "highest_gen_count", u(vd.highest_gen_count));
    std::vector<std::string> ids;
    for (uint32_t m : vd.membership)
        ids.push_back(u(m));
    put_file(dir + "/membership", lines(ids));

    for (const MemberInfoSpec &mi : vd.memberinfo) {
        const std::string mdir = dir + "/memberinfo/" + u(mi.node);
        mkdirs(mdir);
        write_attr(mdir, "membership_gen_count", u(mi.gen));
        write_attr(mdir, "numkeys", u(mi.numkeys));
        write_attr(mdir, "seqno", u(mi.seqno));
        write_attr(mdir, "status", u(mi.status));
        write_attr(mdir, "port", u(mi.port));
        write_attr(mdir, "st_mem", u(mi.st_mem));
        if (vd.snapshot == 0)
            write_attr(mdir, "snap_limit", u(mi.snap_limit));
        put_file(mdir + "/frontend", lines(mi.frontends));
        symlink_to("../../../../Node/" + u(mi.node) + "/status", mdir + "/nodestatus");

        const std::string node_vdisks = work + "/Node/" + u(mi.node) + "/vdisks";
        mkdirs(node_vdisks);
        symlink_to("../../../VDisk/" + vd.uuid, node_vdisks + "/" + vd.uuid);
    }

    if (!vd.datastore.empty()) {
        symlink_to("../../Datastore/" + vd.datastore, dir + "/datastore");
        mkdirs(work + "/Datastore/" + vd.datastore + "/vdisks");
        symlink_to("../../../VDisk/" + vd.uuid,
             work + "/Datastore/" + vd.datastore + "/vdisks/" + vd.uuid);
    }
}

std::string hdr_bytes(const NodeSpec &n, uint8_t type)
{
    unsigned major, minor;
    if (std::sscanf(n.version.c_str(), "v%u.%u", &major, &minor) != 2)
        throw std::runtime_error("seed: bad version " + n.version);
    std::string h(207, '\0');
    h[0] = char(major);
    h[1] = char(minor);
    h[2] = char(type);
    h[3] = char(n.nodestatus);
    put_le(h, 4, n.id, 4);
    put_text(h, 8, n.vendor, 32);
    put_text(h, 40, n.model, 32);
    put_le(h, 72, n.freespace, 4);
    put_le(h, 76, n.utilization, 4);
    put_text(h, 80, n.revision, 24);
    put_text(h, 104, n.serial, 64);
    put_text(h, 168, n.hbtl, 32);
    put_le(h, 200, n.nodestatus == 1 ? ip_number(n.backupchannel) : n.size, 4);
    put_le(h, 204, n.performance, 1);
    put_le(h, 205, n.hostid, 2);
    return h;
}

std::string dse_bytes(const DatastoreSpec &ds)
{
    std::string e(87, '\0');
    put_text(e, 0, ds.uuid, 14);
    put_text(e, 14, ds.name, 32);
    put_text(e, 46, ds.description, 32);
    put_le(e, 78, ds.sector_size, 4);
    put_le(e, 82, ds.replicas, 2);
    put_le(e, 84, ds.stripes, 2);
    put_le(e, 86, ds.overcommit, 1);
    return e;
}

std::string vdisk_group(const NodeSpec &node, const VDiskSpec &vd, uint32_t as_member)
{
    const MemberInfoSpec *mi = nullptr;
    for (const auto &m : vd.memberinfo)
        if (m.node == as_member)
            mi = &m;
    if (mi == nullptr)
        throw std::runtime_error("seed: " + vd.uuid + " has no member " + u(as_member));
    const std::string h = hdr_bytes(node, 0);
    const unsigned major = uint8_t(h[0]), minor = uint8_t(h[1]);
    const bool big_gen = major > 1 || (major == 1 && minor >= 8);

    std::string e(125, '\0');
    put_text(e, 4, vd.uuid, 14);
    e[18] = char('0' + mi->gen % 100 / 10);
    e[19] = char('0' + mi->gen % 10);
    put_text(e, 20, vd.name, 28);
    if (big_gen) {
        e[48] = char((mi->gen >> 8) & 0xff);  // big-endian
        e[49] = char(mi->gen & 0xff);
    }
    put_le(e, 50, vd.sector_size, 4);
    put_le(e, 54, mi->numkeys, 8);
    put_le(e, 62, vd.sectors, 8);
    put_le(e, 70, mi->seqno, 8);
    if (vd.snapshot == 0) {
        put_text(e, 78, vd.description, 32);
    } else {
        int y, m, d, H, M, S;
        if (std::sscanf(vd.snaptime.c_str(), "%d-%d-%d_%d.%d.%d", &y, &m, &d, &H, &M, &S) != 6)
            throw std::runtime_error("seed: bad snaptime " + vd.snaptime);
        put_le(e, 78, unsigned(y), 1);
        put_le(e, 79, unsigned(m), 1);
        put_le(e, 80, unsigned(d), 2);
        put_le(e, 82, unsigned(H), 1);
        put_le(e, 83, unsigned(M), 1);
        put_le(e, 84, unsigned(S), 1);
        put_text(e, 85, vd.parent, 14);
    }
    put_le(e, 110, mi->status, 1);
    put_le(e, 111, mi->port, 2);
    put_le(e, 113, vd.replicas, 2);
    put_le(e, 115, mi->st_mem, 1);
    put_le(e, 116, vd.st_mems, 1);
    put_le(e, 117, vd.st_size, 2);
    put_le(e, 119, vd.snapshot, 2);
    put_le(e, 121, vd.membership.size(), 2);
    put_le(e, 123, mi->frontends.size(), 2);

    for (uint32_t m : vd.membership) {
        std::string rec(4, '\0');
        put_le(rec, 0, m, 4);
        e += rec;
    }
    for (const auto &f : mi->frontends) {
        std::string rec(4, '\0');
        put_le(rec, 0, ip_number(f), 4);
        e += rec;
    }
    return e;
}

std::string ds_ping_msg(const NodeSpec &node, const DatastoreSpec *ds)
{
    std::string m = hdr_bytes(node, 16);
    if (ds != nullptr)
        m += dse_bytes(*ds);
    return m;
}

std::string aux_ping_msg(const NodeSpec &n)
{
    std::string m = hdr_bytes(n, 35) + std::string(29, '\0');
    const unsigned fields[] = {28, n.allocatedspace, n.curvdisks, n.curvdisksforctrl,
                               n.maxvdisksforctrl, n.memtotal, n.memavail};
    for (size_t i = 0; i < 7; i++)
        put_le(m, 208 + 4 * i, fields[i], 4);
    return m;
}

std::string ping_msg(const NodeSpec &node, const std::vector<const VDiskSpec *> &vdisks)
{
    std::string m = hdr_bytes(node, 4);
    for (const VDiskSpec *vd : vdisks)
        m += vdisk_group(node, *vd, node.id);
    return m;
}

std::string single_vdisk_ping_msg(const NodeSpec &node, const VDiskSpec &vd)
{
    return hdr_bytes(node, 33) + vdisk_group(node, vd, node.id);
}

std::string vdisk_deleted_msg(const NodeSpec &node, const std::string &uuid)
{
    std::string m = hdr_bytes(node, 34) + std::string(18, '\0');
    put_le(m, 207, node.id, 4);
    put_text(m, 211, uuid, 14);
    return m;
}

std::string msg_diff(const std::string &got, const std::string &want)
{
    if (got == want)
        return "";
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        i++;
    char text[128];
    std::snprintf(text, sizeof text,
                  "lengths %zu/%zu, first difference at offset %zu: %02x vs %02x", got.size(),
                  want.size(), i, i < got.size() ? unsigned(uint8_t(got[i])) : 0u,
                  i < want.size() ? unsigned(uint8_t(want[i])) : 0u);
    return text;
}

std::map<std::string, long long> tx_counts(const std::vector<std::string> &log_lines)
{
    static const std::regex pair_re("([A-Z_]+)=([0-9]+)/([0-9]+)");
    std::map<std::string, long long> out;
    for (auto line = log_lines.rbegin(); line != log_lines.rend(); ++line) {
        if (line->find("stats(): TX: ") == std::string::npos)
            continue;
        for (std::sregex_iterator it(line->begin(), line->end(), pair_re), end; it != end; ++it)
            out[(*it)[1]] = std::stoll((*it)[3]);
        break;
    }
    return out;
}

}  // namespace seed
