// The cluster's wire records.  Every datagram starts with a Hdr; the records
// are packed (no padding, fields at odd offsets) and their integers are
// little-endian, the byte order of the cluster's hosts, so records are copied
// between datagram and memory byte for byte.  The one exception is the
// membership generation VDiskEntry::name.mshipgencnt, which is big-endian and
// is only ever touched through mshipgencnt_get() / mshipgencnt_set().
#pragma once

#include <arpa/inet.h>

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little,
              "records travel in host byte order: little-endian hosts only");

// Message type codes that are built and accepted.
enum MsgType : uint8_t {
    MSG_PING = 4,
    MSG_DS_PING = 16,
    MSG_HEARTBEAT = 32,
    MSG_SINGLE_VDISK_PING = 33,
    MSG_VDISK_DELETED = 34,
    MSG_AUX_PING = 35,
};

// Size limits.
inline constexpr size_t MSG_BUF_LEN = 65536;  // build and receive buffer
inline constexpr size_t UUID_LEN = 14;        // datastore and vdisk uuids

#pragma pack(push, 1)

struct Revision {
    uint32_t freespace;
    uint32_t utilization;
    char rev[24];
};

struct Hdr {
    uint8_t major;
    uint8_t minor;
    uint8_t type;
    uint8_t nodestatus;  // 1: `size` holds the backup-channel address
    uint32_t uid;        // node id of the node the message describes
    char vendor[32];
    char model[32];
    Revision revision;
    char serial[64];
    char hbtl[32];
    uint32_t size;
    uint8_t performance;
    uint16_t hostid;
};

struct AuxPingData {
    uint32_t length;  // always 28 on the wire
    uint32_t allocatedspace;
    uint32_t curvdisks;
    uint32_t curvdisksforctrl;
    uint32_t maxvdisksforctrl;
    uint32_t memtotal;
    uint32_t memavail;
};

struct DatastoreEntry {
    char uuid[14];
    char name[32];
    char description[32];
    uint32_t sector_size;
    uint16_t replicas;
    uint16_t stripes;
    uint8_t overcommit;
};

struct VDiskName {
    char old_mshipgencnt[2];  // generation mod 100, two ASCII digits
    char name[28];
    uint16_t mshipgencnt;     // generation, BIG-endian
};

struct SnapInfo {
    uint8_t y;
    uint8_t m;
    uint16_t d;
    uint8_t H;
    uint8_t M;
    uint8_t S;
    char parent[14];  // uuid of the parent vdisk
};

union VDiskDescription {
    char descr[32];  // plain vdisk (snapshot == 0)
    SnapInfo snap;   // snapshot (snapshot != 0)
};

struct VDiskEntry {
    uint32_t transaction_id;
    char uuid[14];
    VDiskName name;
    uint32_t sector_size;
    uint64_t numkeys;
    uint64_t sectors;
    uint64_t seqno;
    VDiskDescription description;
    uint8_t status;
    uint16_t port;
    uint16_t replicas;
    uint8_t st_mem;
    uint8_t st_mems;
    uint16_t st_size;
    uint16_t snapshot;   // not 0: snapshot of description.snap.parent
    uint16_t members;    // MemberEntry records that follow
    uint16_t frontends;  // FrontendEntry records that follow the members
};

struct VDiskDeleteEntry {
    uint32_t node;
    char uuid[14];
};

struct MemberEntry {
    uint32_t node;  // member node id
};

struct FrontendEntry {
    uint32_t node;  // IPv4 address, first octet most significant
};

#pragma pack(pop)

// Layout checks: sizes and every field's offset.
static_assert(sizeof(Revision) == 32);
static_assert(sizeof(Hdr) == 207);
static_assert(offsetof(Hdr, major) == 0 && offsetof(Hdr, minor) == 1);
static_assert(offsetof(Hdr, type) == 2 && offsetof(Hdr, nodestatus) == 3);
static_assert(offsetof(Hdr, uid) == 4 && offsetof(Hdr, vendor) == 8);
static_assert(offsetof(Hdr, model) == 40 && offsetof(Hdr, revision) == 72);
static_assert(offsetof(Hdr, revision) + offsetof(Revision, utilization) == 76);
static_assert(offsetof(Hdr, revision) + offsetof(Revision, rev) == 80);
static_assert(offsetof(Hdr, serial) == 104 && offsetof(Hdr, hbtl) == 168);
static_assert(offsetof(Hdr, size) == 200 && offsetof(Hdr, performance) == 204);
static_assert(offsetof(Hdr, hostid) == 205);

static_assert(sizeof(AuxPingData) == 28);
static_assert(offsetof(AuxPingData, allocatedspace) == 4 && offsetof(AuxPingData, curvdisks) == 8);
static_assert(offsetof(AuxPingData, curvdisksforctrl) == 12);
static_assert(offsetof(AuxPingData, maxvdisksforctrl) == 16);
static_assert(offsetof(AuxPingData, memtotal) == 20 && offsetof(AuxPingData, memavail) == 24);

static_assert(sizeof(DatastoreEntry) == 87);
static_assert(offsetof(DatastoreEntry, name) == 14 && offsetof(DatastoreEntry, description) == 46);
static_assert(offsetof(DatastoreEntry, sector_size) == 78 && offsetof(DatastoreEntry, replicas) == 82);
static_assert(offsetof(DatastoreEntry, stripes) == 84 && offsetof(DatastoreEntry, overcommit) == 86);

static_assert(sizeof(VDiskName) == 32 && sizeof(SnapInfo) == 21 && sizeof(VDiskDescription) == 32);
static_assert(sizeof(VDiskEntry) == 125);
static_assert(offsetof(VDiskEntry, uuid) == 4 && offsetof(VDiskEntry, name) == 18);
static_assert(offsetof(VDiskEntry, name) + offsetof(VDiskName, name) == 20);
static_assert(offsetof(VDiskEntry, name) + offsetof(VDiskName, mshipgencnt) == 48);
static_assert(offsetof(VDiskEntry, sector_size) == 50 && offsetof(VDiskEntry, numkeys) == 54);
static_assert(offsetof(VDiskEntry, sectors) == 62 && offsetof(VDiskEntry, seqno) == 70);
static_assert(offsetof(VDiskEntry, description) == 78);
static_assert(offsetof(VDiskEntry, description) + offsetof(SnapInfo, d) == 80);
static_assert(offsetof(VDiskEntry, description) + offsetof(SnapInfo, H) == 82);
static_assert(offsetof(VDiskEntry, description) + offsetof(SnapInfo, S) == 84);
static_assert(offsetof(VDiskEntry, description) + offsetof(SnapInfo, parent) == 85);
static_assert(offsetof(VDiskEntry, status) == 110 && offsetof(VDiskEntry, port) == 111);
static_assert(offsetof(VDiskEntry, replicas) == 113 && offsetof(VDiskEntry, st_mem) == 115);
static_assert(offsetof(VDiskEntry, st_mems) == 116 && offsetof(VDiskEntry, st_size) == 117);
static_assert(offsetof(VDiskEntry, snapshot) == 119 && offsetof(VDiskEntry, members) == 121);
static_assert(offsetof(VDiskEntry, frontends) == 123);

static_assert(sizeof(VDiskDeleteEntry) == 18 && offsetof(VDiskDeleteEntry, uuid) == 4);
static_assert(sizeof(MemberEntry) == 4 && sizeof(FrontendEntry) == 4);

// Message layout offsets and sizes.
inline constexpr size_t HDR_LEN = sizeof(Hdr);                              // 207
inline constexpr size_t AUX_PING_LEN = HDR_LEN + 1 + sizeof(AuxPingData);   // 236, gap at 207
inline constexpr size_t DS_PING_LEN = HDR_LEN + sizeof(DatastoreEntry);     // 294
inline constexpr size_t VDISK_DELETED_LEN = HDR_LEN + sizeof(VDiskDeleteEntry);  // 225
static_assert(AUX_PING_LEN == 236 && DS_PING_LEN == 294 && VDISK_DELETED_LEN == 225);

// The big-endian membership generation, in host order.
inline uint16_t mshipgencnt_get(const VDiskEntry &vde) { return ntohs(vde.name.mshipgencnt); }
inline void mshipgencnt_set(VDiskEntry &vde, uint16_t gen) { vde.name.mshipgencnt = htons(gen); }

// A node of version 1.8 or later carries the generation in mshipgencnt;
// older ones only as the two digits of old_mshipgencnt.
inline bool version_has_mshipgencnt(uint8_t major, uint8_t minor)
{
    return major > 1 || (major == 1 && minor >= 8);
}
