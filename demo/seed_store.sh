#!/bin/sh
# Lays out the demo's local node 101 in the object store, as the host's
# storage programs would, before the daemon starts:
#
#     demo/seed_store.sh demo/run/DB
#
# Node 101 (version 1.8) belongs to datastore ds-demo and is a member of two
# vdisks, vd-demo-1 (shared with node 102, which is not running) and
# vd-demo-2, and of vd-demo-1-s1, a snapshot of vd-demo-1.  With 127.0.0.1 in
# the unicast hosts file the daemon announces node 101 to itself and applies
# what it hears to the same store.  Objects of a previous run are replaced.
set -eu

DB=${1:?usage: seed_store.sh <work directory>}
NODE=101
DS=ds-demo

# attr <dir> <key> <value>: one value and a newline.
attr() { printf '%s\n' "$3" >"$1/$2"; }
# link <target> <path>: a relative symbolic link, replacing an old one.
link() { ln -sfn "$1" "$2"; }

rm -rf "$DB/Node/$NODE" "$DB/Datastore/$DS" \
    "$DB/VDisk/vd-demo-1" "$DB/VDisk/vd-demo-2" "$DB/VDisk/vd-demo-1-s1"

# Node/101: the attributes of its announcements and its statistics.
N="$DB/Node/$NODE"
mkdir -p "$N/vdisks"
attr "$N" version v1.8
attr "$N" uuid "$NODE"
attr "$N" status 1
attr "$N" nodestatus 0
attr "$N" vendor Varnholt
attr "$N" model "VS-100 demo"
attr "$N" freespace 750000
attr "$N" utilization 25
attr "$N" revision 1.8.0
attr "$N" serial VH-DEMO-0101
attr "$N" hbtl 0:0:1:0
attr "$N" performance 5
attr "$N" hostid 1
attr "$N" size 1000000
attr "$N" backupchannel 0.0.0.0
attr "$N" ipaddr 127.0.0.1
attr "$N" lastping "$(date +%s)"
attr "$N" allocatedspace 250000
attr "$N" curvdisks 3
attr "$N" curvdisksforctrl 3
attr "$N" maxvdisksforctrl 64
attr "$N" memtotal 16384
attr "$N" memavail 12288
attr "$N" datastoremember "$DS"

# Datastore/ds-demo with node 101 as its member.
D="$DB/Datastore/$DS"
mkdir -p "$D/members" "$D/vdisks"
attr "$D" uuid "$DS"
attr "$D" name "demo pool"
attr "$D" description "seeded for the demo"
attr "$D" sector_size 512
attr "$D" replicas 2
attr "$D" stripes 4
attr "$D" overcommit 1
link "../../../Node/$NODE" "$D/members/$NODE"

# vdisk <uuid> <name> <sectors> <members> <frontends> [<parent> <snaptime>]:
# VDisk/<uuid> with node 101's member directory and the links from node 101,
# from the datastore and, for a snapshot, from its parent.
vdisk() {
    V="$DB/VDisk/$1"
    mkdir -p "$V/memberinfo/$NODE"
    attr "$V" uuid "$1"
    attr "$V" name "$2"
    attr "$V" sector_size 512
    attr "$V" sectors "$3"
    attr "$V" replicas 2
    attr "$V" st_mems 1
    attr "$V" st_size 64
    if [ $# -ge 7 ]; then
        attr "$V" snapshot 1
        attr "$V" parent "$6"
        attr "$V" snaptime "$7"
        link "../../../VDisk/$1" "$DB/VDisk/$6/snapshots/$1"
    else
        attr "$V" snapshot 0
        mkdir -p "$V/snapshots"
        attr "$V" description "demo disk $2"
    fi
    attr "$V" highest_gen_count 3
    printf '%s\n' $4 >"$V/membership"

    M="$V/memberinfo/$NODE"
    attr "$M" membership_gen_count 3
    attr "$M" numkeys 1024
    attr "$M" seqno 42
    attr "$M" status 1
    attr "$M" port 3260
    attr "$M" st_mem 1
    [ $# -ge 7 ] || attr "$M" snap_limit 10
    printf '%s\n' $5 >"$M/frontend"
    link "../../../../Node/$NODE/status" "$M/nodestatus"

    link "../../Datastore/$DS" "$V/datastore"
    link "../../../VDisk/$1" "$D/vdisks/$1"
    link "../../../VDisk/$1" "$N/vdisks/$1"
}

vdisk vd-demo-1 "first disk" 2097152 "101 102" "10.0.0.1 10.0.0.2"
vdisk vd-demo-2 "second disk" 1048576 "101" "10.0.0.1"
vdisk vd-demo-1-s1 "first disk snap" 2097152 "101" "10.0.0.1" vd-demo-1 26-01-15_12.30.00

echo "seeded node $NODE, datastore $DS and three vdisks in $DB"
