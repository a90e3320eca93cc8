-- Wireshark dissector for marlo's cluster announcements (UDP).
--
-- Every datagram starts with a 207-byte header describing one storage node;
-- its type byte says what follows.  Six types are sent and understood:
-- PING (4), DS_PING (16), HEARTBEAT (32), SINGLE_VDISK_PING (33),
-- VDISK_DELETED (34) and AUX_PING (35).  All integers are little-endian
-- except the vdisk entry's membership generation count (big-endian); IPv4
-- addresses (the backup channel in the header when nodestatus is 1, and the
-- frontend records) are 32-bit numbers with the first octet most
-- significant, stored little-endian like every other integer.
--
-- A daemon with auth_mode sign or require appends a 56-byte authentication
-- trailer to every datagram: the magic A5 4D 41 01, the key id, the
-- sender's counter and time (seconds since the epoch), and a 32-byte MAC
-- over everything before it.  The trailer is shown (marlo.auth.*), not
-- verified: that needs the cluster's key.
--
-- Use:
--     wireshark -X lua_script:contrib/wireshark/marlo.lua
--     tshark -X lua_script:contrib/wireshark/marlo.lua -r capture.pcap -V
-- or copy this file into the personal Lua plugins folder
-- (~/.local/lib/wireshark/plugins/).  The dissector is registered on UDP
-- port 8000, the daemon's default bind_port.  For another port set the
-- preference (-o marlo.udp_port:18000) or use Decode As
-- (-d udp.port==18000,marlo).
--
-- Display filters: marlo.hdr.type == 4, marlo.hdr.uid == 301,
-- marlo.vdisk.uuid == "vd01", marlo.frontend.addr == 198.51.100.1,
-- _ws.expert.group == "Malformed" for datagrams that receivers refuse.

local marlo = Proto("marlo", "marlo cluster announcement")

local HDR_LEN = 207
local AUX_LEN = 28
local AUX_OFF = 208          -- AUX_PING: one zero byte after the header
local DSE_LEN = 87
local VDE_LEN = 125
local VDDE_LEN = 18
local REC_LEN = 4            -- member and frontend records
local DEFAULT_PORT = 8000
local TRAILER_LEN = 56
local TRAILER_MAGIC = "\xa5MA\x01"

local MSG_PING = 4
local MSG_DS_PING = 16
local MSG_HEARTBEAT = 32
local MSG_SINGLE_VDISK_PING = 33
local MSG_VDISK_DELETED = 34
local MSG_AUX_PING = 35

-- The type-code table, indexed by code; every code from 35 up is named
-- UNKNOWN there, and code 35 carries the AUX_PING.
local TYPE_NAMES = {
    [0] = "READ_REQ", "WRITE_REQ", "READ_RSP", "WRITE_RSP", "PING", "INFO_REQ",
    "INFO_RSP", "HASH_BROADCAST", "CREATE_REQ", "ACTIVATE_REQ", "DEACTIVATE_REQ",
    "DELETE_REQ", "SNAPSHOT_REQ", "SESSION_PING", "ACTIVATE_HEAD_REQ",
    "DEACTIVATE_HEAD_REQ", "DS_PING", "DSCREATE_REQ", "DSDELETE_REQ", "UPDATE_REQ",
    "START_VDISK_TXN_REQ", "END_VDISK_TXN_REQ", "FAIL_VDISK_TXN_REQ",
    "GET_VDISK_INFO_REQ", "ENABLE_VDISK_SYNC_MASTER", "ENABLE_VDISK_SYNC_SLAVE",
    "DISABLE_VDISK_SYNC", "PAUSE_VDISK_HEAD_REQ", "UNPAUSE_VDISK_HEAD_REQ",
    "SET_SEQNO", "SET_NODEMEMS", "SET_VDISK_SIZE", "HEARTBEAT", "SINGLE_VDISK_PING",
    "VDISK_DELETED",
}
local type_vals = {}
for code = 0, 255 do
    type_vals[code] = TYPE_NAMES[code] or "UNKNOWN"
end
type_vals[MSG_AUX_PING] = "UNKNOWN (AUX_PING)"

-- Name of a message for the Info column.
local function message_name(code)
    if code == MSG_AUX_PING then
        return "AUX_PING"
    end
    return type_vals[code]
end

-- Text fields are fixed-width and zero-padded, without terminator when the
-- value fills the field; add_text() shows them up to the first NUL.
local function text_field(abbr, name, desc)
    return ProtoField.string(abbr, name, base.ASCII, desc)
end

local f = {
    -- Hdr
    major = ProtoField.uint8("marlo.hdr.major", "Version major", base.DEC),
    minor = ProtoField.uint8("marlo.hdr.minor", "Version minor", base.DEC),
    type = ProtoField.uint8("marlo.hdr.type", "Type", base.DEC, type_vals),
    nodestatus = ProtoField.uint8("marlo.hdr.nodestatus", "Node status", base.DEC, nil, nil,
        "1: size carries the backup-channel address"),
    uid = ProtoField.uint32("marlo.hdr.uid", "Node id", base.DEC),
    vendor = text_field("marlo.hdr.vendor", "Vendor"),
    model = text_field("marlo.hdr.model", "Model"),
    revision = ProtoField.bytes("marlo.hdr.revision", "Revision", base.NONE),
    freespace = ProtoField.uint32("marlo.hdr.revision.freespace", "Free space", base.DEC),
    utilization = ProtoField.uint32("marlo.hdr.revision.utilization", "Utilization", base.DEC),
    rev = text_field("marlo.hdr.revision.rev", "Revision text"),
    serial = text_field("marlo.hdr.serial", "Serial"),
    hbtl = text_field("marlo.hdr.hbtl", "HBTL"),
    size = ProtoField.uint32("marlo.hdr.size", "Size", base.DEC),
    backup = ProtoField.ipv4("marlo.hdr.backup_channel", "Backup channel",
        "size read as an IPv4 address (nodestatus 1)"),
    performance = ProtoField.uint8("marlo.hdr.performance", "Performance", base.DEC),
    hostid = ProtoField.uint16("marlo.hdr.hostid", "Host id", base.DEC),
    version = ProtoField.string("marlo.hdr.version", "Version", base.ASCII),

    -- AuxPingData, after one zero byte
    aux_gap = ProtoField.uint8("marlo.aux.gap", "Gap byte", base.HEX),
    aux_length = ProtoField.uint32("marlo.aux.length", "Length", base.DEC),
    allocatedspace = ProtoField.uint32("marlo.aux.allocatedspace", "Allocated space", base.DEC),
    curvdisks = ProtoField.uint32("marlo.aux.curvdisks", "Current vdisks", base.DEC),
    curvdisksforctrl = ProtoField.uint32("marlo.aux.curvdisksforctrl",
        "Current vdisks for controller", base.DEC),
    maxvdisksforctrl = ProtoField.uint32("marlo.aux.maxvdisksforctrl",
        "Maximum vdisks for controller", base.DEC),
    memtotal = ProtoField.uint32("marlo.aux.memtotal", "Memory total", base.DEC),
    memavail = ProtoField.uint32("marlo.aux.memavail", "Memory available", base.DEC),

    -- DatastoreEntry
    ds_uuid = text_field("marlo.ds.uuid", "Datastore uuid"),
    ds_name = text_field("marlo.ds.name", "Name"),
    ds_description = text_field("marlo.ds.description", "Description"),
    ds_sector_size = ProtoField.uint32("marlo.ds.sector_size", "Sector size", base.DEC),
    ds_replicas = ProtoField.uint16("marlo.ds.replicas", "Replicas", base.DEC),
    ds_stripes = ProtoField.uint16("marlo.ds.stripes", "Stripes", base.DEC),
    ds_overcommit = ProtoField.uint8("marlo.ds.overcommit", "Overcommit", base.DEC),

    -- VDiskEntry
    vd_transaction_id = ProtoField.uint32("marlo.vdisk.transaction_id", "Transaction id",
        base.DEC),
    vd_uuid = text_field("marlo.vdisk.uuid", "VDisk uuid"),
    vd_old_gen = ProtoField.string("marlo.vdisk.old_mshipgencnt",
        "Membership generation (two digits)", base.ASCII),
    vd_name = text_field("marlo.vdisk.name", "Name"),
    vd_gen = ProtoField.uint16("marlo.vdisk.mshipgencnt",
        "Membership generation (big-endian)", base.DEC),
    vd_generation = ProtoField.uint16("marlo.vdisk.generation", "Membership generation",
        base.DEC, nil, nil, "as a receiver takes it: big-endian field from version 1.8 on, "
        .. "the two digits before"),
    vd_sector_size = ProtoField.uint32("marlo.vdisk.sector_size", "Sector size", base.DEC),
    vd_numkeys = ProtoField.uint64("marlo.vdisk.numkeys", "Number of keys", base.DEC),
    vd_sectors = ProtoField.uint64("marlo.vdisk.sectors", "Sectors", base.DEC),
    vd_seqno = ProtoField.uint64("marlo.vdisk.seqno", "Sequence number", base.DEC),
    vd_description = text_field("marlo.vdisk.description", "Description"),
    vd_snap = ProtoField.bytes("marlo.vdisk.snap", "Snapshot", base.NONE),
    snap_y = ProtoField.uint8("marlo.vdisk.snap.y", "Year", base.DEC),
    snap_m = ProtoField.uint8("marlo.vdisk.snap.m", "Month", base.DEC),
    snap_d = ProtoField.uint16("marlo.vdisk.snap.d", "Day", base.DEC),
    snap_H = ProtoField.uint8("marlo.vdisk.snap.H", "Hour", base.DEC),
    snap_M = ProtoField.uint8("marlo.vdisk.snap.M", "Minute", base.DEC),
    snap_S = ProtoField.uint8("marlo.vdisk.snap.S", "Second", base.DEC),
    snap_parent = text_field("marlo.vdisk.snap.parent", "Parent uuid"),
    snap_time = ProtoField.string("marlo.vdisk.snap.time", "Snapshot time", base.ASCII),
    vd_status = ProtoField.uint8("marlo.vdisk.status", "Status", base.DEC),
    vd_port = ProtoField.uint16("marlo.vdisk.port", "Port", base.DEC),
    vd_replicas = ProtoField.uint16("marlo.vdisk.replicas", "Replicas", base.DEC),
    vd_st_mem = ProtoField.uint8("marlo.vdisk.st_mem", "st_mem", base.DEC),
    vd_st_mems = ProtoField.uint8("marlo.vdisk.st_mems", "st_mems", base.DEC),
    vd_st_size = ProtoField.uint16("marlo.vdisk.st_size", "st_size", base.DEC),
    vd_snapshot = ProtoField.uint16("marlo.vdisk.snapshot", "Snapshot flag", base.DEC),
    vd_members = ProtoField.uint16("marlo.vdisk.members", "Member records", base.DEC),
    vd_frontends = ProtoField.uint16("marlo.vdisk.frontends", "Frontend records", base.DEC),

    -- MemberEntry, FrontendEntry
    member = ProtoField.uint32("marlo.member.node", "Member node", base.DEC),
    frontend = ProtoField.ipv4("marlo.frontend.addr", "Frontend"),

    -- VDiskDeleteEntry
    del_node = ProtoField.uint32("marlo.deleted.node", "Node id", base.DEC),
    del_uuid = text_field("marlo.deleted.uuid", "VDisk uuid"),

    -- Authentication trailer
    auth_magic = ProtoField.bytes("marlo.auth.magic", "Magic", base.NONE),
    auth_key_id = ProtoField.uint32("marlo.auth.key_id", "Key id", base.DEC),
    auth_counter = ProtoField.uint64("marlo.auth.counter", "Sender counter", base.DEC),
    auth_time = ProtoField.int64("marlo.auth.time", "Sender time", base.DEC),
    auth_mac = ProtoField.bytes("marlo.auth.mac", "MAC (not verified)", base.NONE),

    trailing = ProtoField.bytes("marlo.trailing", "Trailing bytes", base.NONE),
    body = ProtoField.bytes("marlo.body", "Body", base.NONE),
}

local field_list = {}
for _, field in pairs(f) do
    field_list[#field_list + 1] = field
end
marlo.fields = field_list

local ex = {
    short = ProtoExpert.new("marlo.short", "Datagram too short for its type",
        expert.group.MALFORMED, expert.severity.ERROR),
    overrun = ProtoExpert.new("marlo.overrun", "Record counts overrun the datagram",
        expert.group.MALFORMED, expert.severity.ERROR),
    trailing = ProtoExpert.new("marlo.trailing.expert", "Bytes after the last record",
        expert.group.PROTOCOL, expert.severity.WARN),
    unused_type = ProtoExpert.new("marlo.unused_type", "Message type neither sent nor accepted",
        expert.group.UNDECODED, expert.severity.WARN),
    no_datastore = ProtoExpert.new("marlo.no_datastore", "Header only: node in no datastore",
        expert.group.COMMENTS_GROUP, expert.severity.NOTE),
    aux_length = ProtoExpert.new("marlo.aux.bad_length", "AuxPingData length is not 28",
        expert.group.PROTOCOL, expert.severity.WARN),
    bad_digits = ProtoExpert.new("marlo.vdisk.bad_digits",
        "Two-digit generation is not two decimal digits", expert.group.PROTOCOL,
        expert.severity.WARN),
    node_mismatch = ProtoExpert.new("marlo.deleted.node_mismatch",
        "Deleted-entry node differs from the header's node id", expert.group.PROTOCOL,
        expert.severity.WARN),
}
marlo.experts = { ex.short, ex.overrun, ex.trailing, ex.unused_type, ex.no_datastore,
    ex.aux_length, ex.bad_digits, ex.node_mismatch }

-- Fixed-width text up to its first NUL.
local function text_of(range)
    local s = range:raw()
    local nul = s:find("\0", 1, true)
    if nul then
        s = s:sub(1, nul - 1)
    end
    return s
end

-- Adds a text field over its whole width, valued up to its first NUL.
local function add_text(tree, field, range)
    return tree:add(field, range, text_of(range))
end

-- Adds the header fields that lie inside the datagram; returns the node id
-- and version (nil when the datagram is shorter than those fields).
local function dissect_hdr(tvb, tree, len)
    local t = tree:add(marlo, tvb(0, math.min(len, HDR_LEN)), "Header")
    local function fits(off, width)
        return off + width <= len
    end
    if fits(0, 1) then t:add(f.major, tvb(0, 1)) end
    if fits(1, 1) then t:add(f.minor, tvb(1, 1)) end
    if fits(2, 1) then t:add(f.type, tvb(2, 1)) end
    if fits(3, 1) then t:add(f.nodestatus, tvb(3, 1)) end
    if fits(4, 4) then t:add_le(f.uid, tvb(4, 4)) end
    if fits(8, 32) then add_text(t, f.vendor, tvb(8, 32)) end
    if fits(40, 32) then add_text(t, f.model, tvb(40, 32)) end
    if fits(72, 32) then
        local r = t:add(f.revision, tvb(72, 32))
        r:add_le(f.freespace, tvb(72, 4))
        r:add_le(f.utilization, tvb(76, 4))
        add_text(r, f.rev, tvb(80, 24))
        r:set_text("Revision: " .. text_of(tvb(80, 24)))
    end
    if fits(104, 64) then add_text(t, f.serial, tvb(104, 64)) end
    if fits(168, 32) then add_text(t, f.hbtl, tvb(168, 32)) end
    if fits(200, 4) then
        t:add_le(f.size, tvb(200, 4))
        if tvb(3, 1):uint() == 1 then
            t:add_le(f.backup, tvb(200, 4))
        end
    end
    if fits(204, 1) then t:add(f.performance, tvb(204, 1)) end
    if fits(205, 2) then t:add_le(f.hostid, tvb(205, 2)) end
    if len < 2 then
        return nil, nil, nil
    end
    local major, minor = tvb(0, 1):uint(), tvb(1, 1):uint()
    t:add(f.version, tvb(0, 2), string.format("v%d.%d", major, minor)):set_generated()
    local uid = fits(4, 4) and tvb(4, 4):le_uint() or nil
    return uid, major, minor
end

-- One vdisk group at off: the entry, its member and frontend records.
-- Returns the offset after the group, or nil when the counts overrun the
-- datagram (flagged; receivers refuse the rest of such a datagram).
local function dissect_vdisk_group(tvb, tree, off, len, big_gen)
    local e = tvb(off, VDE_LEN)
    local snapshot = tvb(off + 119, 2):le_uint()
    local members = tvb(off + 121, 2):le_uint()
    local frontends = tvb(off + 123, 2):le_uint()
    local group_len = VDE_LEN + REC_LEN * (members + frontends)
    local avail = math.min(group_len, len - off)
    local uuid = text_of(tvb(off + 4, 14))
    local kind = snapshot ~= 0 and "Snapshot" or "Plain"
    local g = tree:add(marlo, tvb(off, avail),
        string.format("VDisk %s (%s), %d members, %d frontends", uuid, kind, members, frontends))

    local t = g:add(marlo, e, "VDisk entry")
    t:add_le(f.vd_transaction_id, tvb(off, 4))
    add_text(t, f.vd_uuid, tvb(off + 4, 14))
    t:add(f.vd_old_gen, tvb(off + 18, 2))
    add_text(t, f.vd_name, tvb(off + 20, 28))
    t:add(f.vd_gen, tvb(off + 48, 2))
    local d1, d2 = tvb(off + 18, 1):uint(), tvb(off + 19, 1):uint()
    local digits_ok = d1 >= 0x30 and d1 <= 0x39 and d2 >= 0x30 and d2 <= 0x39
    if big_gen then
        t:add(f.vd_generation, tvb(off + 48, 2)):set_generated()
    elseif digits_ok then
        t:add(f.vd_generation, tvb(off + 18, 2), (d1 - 0x30) * 10 + (d2 - 0x30)):set_generated()
    end
    if not big_gen and not digits_ok then
        t:add_proto_expert_info(ex.bad_digits)
    end
    t:add_le(f.vd_sector_size, tvb(off + 50, 4))
    t:add_le(f.vd_numkeys, tvb(off + 54, 8))
    t:add_le(f.vd_sectors, tvb(off + 62, 8))
    t:add_le(f.vd_seqno, tvb(off + 70, 8))
    if snapshot ~= 0 then
        local s = t:add(f.vd_snap, tvb(off + 78, 32))
        s:add(f.snap_y, tvb(off + 78, 1))
        s:add(f.snap_m, tvb(off + 79, 1))
        s:add_le(f.snap_d, tvb(off + 80, 2))
        s:add(f.snap_H, tvb(off + 82, 1))
        s:add(f.snap_M, tvb(off + 83, 1))
        s:add(f.snap_S, tvb(off + 84, 1))
        add_text(s, f.snap_parent, tvb(off + 85, 14))
        local when = string.format("%02d-%02d-%02d_%02d.%02d.%02d", tvb(off + 78, 1):uint(),
            tvb(off + 79, 1):uint(), tvb(off + 80, 2):le_uint(), tvb(off + 82, 1):uint(),
            tvb(off + 83, 1):uint(), tvb(off + 84, 1):uint())
        s:add(f.snap_time, tvb(off + 78, 7), when):set_generated()
        s:set_text(string.format("Snapshot of %s taken %s", text_of(tvb(off + 85, 14)), when))
    else
        add_text(t, f.vd_description, tvb(off + 78, 32))
    end
    t:add(f.vd_status, tvb(off + 110, 1))
    t:add_le(f.vd_port, tvb(off + 111, 2))
    t:add_le(f.vd_replicas, tvb(off + 113, 2))
    t:add(f.vd_st_mem, tvb(off + 115, 1))
    t:add(f.vd_st_mems, tvb(off + 116, 1))
    t:add_le(f.vd_st_size, tvb(off + 117, 2))
    t:add_le(f.vd_snapshot, tvb(off + 119, 2))
    local mi = t:add_le(f.vd_members, tvb(off + 121, 2))
    local fi = t:add_le(f.vd_frontends, tvb(off + 123, 2))

    local pos = off + VDE_LEN
    for _ = 1, members do
        if pos + REC_LEN > len then
            mi:add_proto_expert_info(ex.overrun, string.format(
                "%d member records announced, the datagram ends at byte %d", members, len))
            return nil
        end
        g:add_le(f.member, tvb(pos, REC_LEN))
        pos = pos + REC_LEN
    end
    for _ = 1, frontends do
        if pos + REC_LEN > len then
            fi:add_proto_expert_info(ex.overrun, string.format(
                "%d frontend records announced, the datagram ends at byte %d", frontends, len))
            return nil
        end
        g:add_le(f.frontend, tvb(pos, REC_LEN))
        pos = pos + REC_LEN
    end
    return pos
end

-- PING and SINGLE_VDISK_PING: groups while a whole entry fits, as a
-- receiver walks them.  Returns the number of groups and whether the counts
-- overran.
local function dissect_vdisk_groups(tvb, tree, len, big_gen)
    local off = HDR_LEN
    local n = 0
    while off + VDE_LEN <= len do
        local next_off = dissect_vdisk_group(tvb, tree, off, len, big_gen)
        n = n + 1
        if next_off == nil then
            return n, true
        end
        off = next_off
    end
    if off < len then
        local t = tree:add(f.trailing, tvb(off, len - off))
        t:add_proto_expert_info(ex.trailing, string.format(
            "%d bytes after the last whole entry: receivers ignore them", len - off))
    end
    return n, false
end

local function add_trailing(tvb, tree, off, len)
    if off < len then
        local t = tree:add(f.trailing, tvb(off, len - off))
        t:add_proto_expert_info(ex.trailing)
    end
end

-- The authentication trailer at the end of a datagram of len bytes, when
-- there is one after a whole header: its fields in the tree, and the length
-- of the message before it (len when there is none).
local function dissect_trailer(tvb, tree, len)
    local off = len - TRAILER_LEN
    if off < HDR_LEN or tvb(off, 4):raw() ~= TRAILER_MAGIC then
        return len
    end
    local t = tree:add(marlo, tvb(off, TRAILER_LEN), "Authentication trailer")
    t:add(f.auth_magic, tvb(off, 4))
    t:add_le(f.auth_key_id, tvb(off + 4, 4))
    t:add_le(f.auth_counter, tvb(off + 8, 8))
    local ti = t:add_le(f.auth_time, tvb(off + 16, 8))
    local when = os.date("! (%Y-%m-%d %H:%M:%S UTC)", tvb(off + 16, 8):le_int64():tonumber())
    if when then
        ti:append_text(when)
    end
    t:add(f.auth_mac, tvb(off + 24, 32))
    return off
end

local function too_short(tree, what, need, len)
    tree:add_proto_expert_info(ex.short, string.format(
        "%s needs %d bytes, the datagram has %d: receivers drop it", what, need, len))
end

function marlo.dissector(tvb, pinfo, tree)
    local len = tvb:len()
    if len == 0 then
        return 0
    end
    pinfo.cols.protocol = "MARLO"
    local root = tree:add(marlo, tvb(0, len))
    local uid, major, minor = dissect_hdr(tvb, root, len)
    if len < HDR_LEN then
        too_short(root, "A header", HDR_LEN, len)
        pinfo.cols.info = string.format("Short datagram (%d bytes)", len)
        return len
    end
    local code = tvb(2, 1):uint()
    local name = message_name(code)
    local big_gen = major > 1 or (major == 1 and minor >= 8)
    local info = string.format("%s node %d v%d.%d", name, uid, major, minor)
    root:append_text(string.format(", %s, node %d", name, uid))
    -- The message is what comes before a trailer.
    local signed_len = len
    len = dissect_trailer(tvb, root, len)
    if len < signed_len then
        info = info .. string.format(" [signed, key %d]", tvb(len + 4, 4):le_uint())
    end

    if code == MSG_SINGLE_VDISK_PING and len < HDR_LEN + VDE_LEN then
        too_short(root, "A SINGLE_VDISK_PING entry", HDR_LEN + VDE_LEN, len)
        info = info .. " [short]"
    elseif code == MSG_PING or code == MSG_SINGLE_VDISK_PING then
        local n, overrun = dissect_vdisk_groups(tvb, root, len, big_gen)
        info = info .. string.format(", %d vdisk%s", n, n == 1 and "" or "s")
        if overrun then
            info = info .. " [counts overrun]"
        end
    elseif code == MSG_DS_PING then
        if len >= HDR_LEN + DSE_LEN then
            local off = HDR_LEN
            local t = root:add(marlo, tvb(off, DSE_LEN), "Datastore entry")
            add_text(t, f.ds_uuid, tvb(off, 14))
            add_text(t, f.ds_name, tvb(off + 14, 32))
            add_text(t, f.ds_description, tvb(off + 46, 32))
            t:add_le(f.ds_sector_size, tvb(off + 78, 4))
            t:add_le(f.ds_replicas, tvb(off + 82, 2))
            t:add_le(f.ds_stripes, tvb(off + 84, 2))
            t:add(f.ds_overcommit, tvb(off + 86, 1))
            info = info .. ", datastore " .. text_of(tvb(off, 14))
            add_trailing(tvb, root, off + DSE_LEN, len)
        else
            root:add_proto_expert_info(ex.no_datastore)
            info = info .. ", no datastore"
            add_trailing(tvb, root, HDR_LEN, len)
        end
    elseif code == MSG_AUX_PING then
        if len < AUX_OFF + AUX_LEN then
            too_short(root, "An AUX_PING", AUX_OFF + AUX_LEN, len)
            info = info .. " [short]"
        else
            root:add(f.aux_gap, tvb(HDR_LEN, 1))
            local off = AUX_OFF
            local t = root:add(marlo, tvb(off, AUX_LEN), "Statistics")
            local li = t:add_le(f.aux_length, tvb(off, 4))
            if tvb(off, 4):le_uint() ~= AUX_LEN then
                li:add_proto_expert_info(ex.aux_length)
            end
            t:add_le(f.allocatedspace, tvb(off + 4, 4))
            t:add_le(f.curvdisks, tvb(off + 8, 4))
            t:add_le(f.curvdisksforctrl, tvb(off + 12, 4))
            t:add_le(f.maxvdisksforctrl, tvb(off + 16, 4))
            t:add_le(f.memtotal, tvb(off + 20, 4))
            t:add_le(f.memavail, tvb(off + 24, 4))
            add_trailing(tvb, root, off + AUX_LEN, len)
        end
    elseif code == MSG_HEARTBEAT then
        add_trailing(tvb, root, HDR_LEN, len)
    elseif code == MSG_VDISK_DELETED then
        if len < HDR_LEN + VDDE_LEN then
            too_short(root, "A VDISK_DELETED", HDR_LEN + VDDE_LEN, len)
            info = info .. " [short]"
        else
            local off = HDR_LEN
            local t = root:add(marlo, tvb(off, VDDE_LEN), "Deleted vdisk")
            local ni = t:add_le(f.del_node, tvb(off, 4))
            if tvb(off, 4):le_uint() ~= uid then
                ni:add_proto_expert_info(ex.node_mismatch)
            end
            add_text(t, f.del_uuid, tvb(off + 4, 14))
            info = info .. ", vdisk " .. text_of(tvb(off + 4, 14))
            add_trailing(tvb, root, off + VDDE_LEN, len)
        end
    else
        root:add_proto_expert_info(ex.unused_type)
        if len > HDR_LEN then
            root:add(f.body, tvb(HDR_LEN, len - HDR_LEN))
        end
    end
    pinfo.cols.info = info
    return len
end

-- Port registration: the preference, and Decode As for any other port.
marlo.prefs.udp_port = Pref.uint("UDP port", DEFAULT_PORT, "the daemons' bind_port")
local udp_table = DissectorTable.get("udp.port")
local registered_port = DEFAULT_PORT
udp_table:add(registered_port, marlo)

function marlo.prefs_changed()
    if marlo.prefs.udp_port ~= registered_port then
        if registered_port ~= 0 then
            udp_table:remove(registered_port, marlo)
        end
        registered_port = marlo.prefs.udp_port
        if registered_port ~= 0 then
            udp_table:add(registered_port, marlo)
        end
    end
end
