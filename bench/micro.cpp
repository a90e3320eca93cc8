// Micro-benchmarks of the per-message work outside the file system: the six
// builders, the walk that turns a received PING into VDisk objects, and the
// authentication trailer made and checked.
// Log lines are masked as at the default priority (info), so a debug line
// costs only its call.
//
//     build-bench/bench/marlo-micro [--benchmark_filter=Walk]
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <syslog.h>

#include <cstring>
#include <memory>
#include <vector>

#include "cluster.h"
#include "object/model.h"
#include "proto/builders.h"
#include "proto/msg.h"
#include "proto/records.h"
#include "proto/trailer.h"

namespace {

// One cluster per vdisk count: node 0 is a member of `per_node` vdisks.
const Cluster &cluster_with(unsigned per_node)
{
    static std::vector<std::pair<unsigned, std::unique_ptr<Cluster>>> made;
    for (const auto &[n, c] : made)
        if (n == per_node)
            return *c;
    ClusterShape shape;
    shape.nodes = 6;
    shape.members = 3;
    shape.frontends = 2;
    shape.snap_every = 10;
    shape.vdisks = per_node * shape.nodes / shape.members;
    auto c = std::make_unique<Cluster>();
    std::string err;
    if (!c->build(shape, &err))
        std::abort();
    made.emplace_back(per_node, std::move(c));
    return *made.back().second;
}

struct Quiet {
    Quiet() { setlogmask(LOG_UPTO(LOG_INFO)); }
} quiet;

std::vector<char> buffer(MSG_BUF_LEN);

void BM_BuildHeartbeat(benchmark::State &state)
{
    const Node &node = cluster_with(1).node(0);
    size_t len = 0;
    for (auto _ : state) {
        build_heartbeat(&node, buffer.data(), buffer.size(), &len);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_BuildHeartbeat);

void BM_BuildDsPing(benchmark::State &state)
{
    const Node &node = cluster_with(1).node(0);
    size_t len = 0;
    for (auto _ : state) {
        build_ds_ping(&node, buffer.data(), buffer.size(), &len);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_BuildDsPing);

void BM_BuildAuxPing(benchmark::State &state)
{
    const Node &node = cluster_with(1).node(0);
    size_t len = 0;
    for (auto _ : state) {
        build_aux_ping(&node, buffer.data(), buffer.size(), &len);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_BuildAuxPing);

void BM_BuildVDiskDeleted(benchmark::State &state)
{
    const Node &node = cluster_with(1).node(0);
    size_t len = 0;
    for (auto _ : state) {
        build_vdisk_deleted(&node, "vd000000000001", buffer.data(), buffer.size(), &len);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_BuildVDiskDeleted);

void BM_BuildSingleVDiskPing(benchmark::State &state)
{
    const Node &node = cluster_with(1).node(0);
    const VDisk &vdisk = **node.vdisks.begin();
    size_t len = 0;
    for (auto _ : state) {
        build_single_vdisk_ping(&node, &vdisk, buffer.data(), buffer.size(), &len);
        benchmark::DoNotOptimize(buffer.data());
    }
}
BENCHMARK(BM_BuildSingleVDiskPing);

void BM_BuildVDiskPing(benchmark::State &state)
{
    const Node &node = cluster_with(unsigned(state.range(0))).node(0);
    size_t len = 0;
    for (auto _ : state) {
        build_vdisk_ping(&node, buffer.data(), buffer.size(), &len);
        benchmark::DoNotOptimize(buffer.data());
    }
    state.counters["entries"] = double(node.vdisks.size());
    state.counters["bytes"] = double(len);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(node.vdisks.size()));
}
BENCHMARK(BM_BuildVDiskPing)->Arg(1)->Arg(50)->Arg(400);

// The walk over a received PING as the receive path makes it: per entry the
// record dumps (masked), a VDisk with its Member and Frontend objects and the
// frontends' address text, listed in the scratch tree; the tree is emptied
// afterwards.  No file-system work.
void BM_DatagramWalk(benchmark::State &state)
{
    const Cluster &c = cluster_with(unsigned(state.range(0)));
    const std::string &ping = c.messages()[0].ping;
    const char *buf = ping.data();
    const size_t r = ping.size();
    VDiskTree vdt;
    size_t entries = 0;
    for (auto _ : state) {
        entries = 0;
        for (size_t pos = sizeof(Hdr); pos + sizeof(VDiskEntry) <= r;) {
            const auto *vde = reinterpret_cast<const VDiskEntry *>(buf + pos);
            vde_dump(vde);
            std::unique_ptr<VDisk> vdisk;
            VDiskAlloc(vdisk);
            VDiskInit(*vdisk, vde);
            size_t at = pos + sizeof(VDiskEntry);
            for (unsigned k = 0; k < vdisk->vde.members; k++, at += sizeof(MemberEntry)) {
                const auto *mbe = reinterpret_cast<const MemberEntry *>(buf + at);
                mbe_dump(mbe);
                std::unique_ptr<Member> member;
                MemberAlloc(member);
                MemberInit(*member, mbe);
                vdisk->members.push_back(std::move(member));
            }
            for (unsigned k = 0; k < vdisk->vde.frontends; k++, at += sizeof(FrontendEntry)) {
                const auto *fee = reinterpret_cast<const FrontendEntry *>(buf + at);
                fee_dump(fee);
                std::unique_ptr<Frontend> fe;
                FrontendAlloc(fe);
                std::memcpy(&fe->fee, fee, sizeof(FrontendEntry));
                struct in_addr addr;
                addr.s_addr = htonl(fe->fee.node);
                inet_ntop(AF_INET, &addr, fe->ipaddr, sizeof(fe->ipaddr));
                vdisk->frontends.push_back(std::move(fe));
            }
            VDiskTree_RB_INSERT(vdt, vdisk);
            entries++;
            pos = at;
        }
        VDiskTreeFlush(vdt);
    }
    state.counters["entries"] = double(entries);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(entries));
}
BENCHMARK(BM_DatagramWalk)->Arg(1)->Arg(50)->Arg(400);

// What the masked debug dumps of one entry cost on their own (3 members, 2
// frontends): the price of trace lines nobody reads at the default priority.
void BM_MaskedEntryDumps(benchmark::State &state)
{
    const Cluster &c = cluster_with(1);
    const std::string &ping = c.messages()[0].ping;
    const auto *vde = reinterpret_cast<const VDiskEntry *>(ping.data() + sizeof(Hdr));
    const auto *mbe = reinterpret_cast<const MemberEntry *>(ping.data() + sizeof(Hdr) + sizeof(VDiskEntry));
    const auto *fee = reinterpret_cast<const FrontendEntry *>(mbe + vde->members);
    for (auto _ : state) {
        vde_dump(vde);
        for (unsigned k = 0; k < vde->members; k++)
            mbe_dump(mbe + k);
        for (unsigned k = 0; k < vde->frontends; k++)
            fee_dump(fee + k);
    }
}
BENCHMARK(BM_MaskedEntryDumps);

// Signing and checking a message of `range(0)` bytes, as a daemon with
// auth_mode sign or require does once per message sent and per datagram
// received: 207 a HEARTBEAT, 236 an AUX_PING, 294 a DS_PING, then PINGs of
// 1, 50 and 400 vdisks.  The verification includes the lookup of the key.
const AuthKeyRing &bench_ring()
{
    static AuthKeyRing ring;
    if (ring.count == 0) {
        if (trailer_init() < 0)
            std::abort();
        ring.count = 1;
        ring.keys[0].id = 9;
        std::memset(ring.keys[0].key, 0x42, sizeof ring.keys[0].key);
    }
    return ring;
}

void BM_Sign(benchmark::State &state)
{
    const AuthKeyRing &ring = bench_ring();
    const size_t len = size_t(state.range(0));
    AuthTrailer t;
    uint64_t counter = 0;
    for (auto _ : state) {
        trailer_sign(ring.keys[0], ++counter, 1700000000, buffer.data(), len, &t);
        benchmark::DoNotOptimize(t.mac);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(len));
}
BENCHMARK(BM_Sign)->Arg(207)->Arg(236)->Arg(294)->Arg(352)->Arg(7457)->Arg(58207);

void BM_Verify(benchmark::State &state)
{
    const AuthKeyRing &ring = bench_ring();
    const size_t len = size_t(state.range(0));
    std::vector<char> datagram(buffer.begin(), buffer.begin() + long(len));
    AuthTrailer t;
    trailer_sign(ring.keys[0], 1, 1700000000, datagram.data(), len, &t);
    datagram.insert(datagram.end(), reinterpret_cast<char *>(&t),
                    reinterpret_cast<char *>(&t) + sizeof t);
    for (auto _ : state) {
        if (trailer_verify(ring, datagram.data(), datagram.size(), &t) != TRAILER_VALID)
            std::abort();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(len));
}
BENCHMARK(BM_Verify)->Arg(207)->Arg(236)->Arg(294)->Arg(352)->Arg(7457)->Arg(58207);

}  // namespace

BENCHMARK_MAIN();
