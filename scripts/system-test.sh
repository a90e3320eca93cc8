#!/usr/bin/env bash
# The Debian package under a real systemd, driven as an administrator would:
# a Debian bookworm root made with mmdebstrap (from Debian's archive as apt is
# configured on this machine; kept as a tarball under $SYSTEST_DIR between
# runs) is booted with systemd-nspawn on a private network, joined by a veth
# pair to a network namespace that stands for a peer host, and driven with
# nsenter.  Steps and what each asserts:
#
#   install    apt install of the .deb: nothing enabled, nothing running
#   enable     configure, systemctl enable --now: active; the node's DS_PING,
#              AUX_PING, PING and HEARTBEAT heard in the peer namespace
#   no-iface   systemctl start naming a missing interface fails, no "Started"
#   reload     systemctl reload picks up a new local node (same main pid)
#   fence      a generation rise runs the fence check under the hardening:
#              its output and exit status in the journal
#   kill       kill -9 of the main pid while the fence check holds a vdisk's
#              lock: restarted, and the restarted daemon removes that lock
#   owed       the check the kill cut short runs again after the restart;
#              marloctl health and status --json during it say busy, not down
#   metrics    marlo-metrics.timer and prometheus-node-exporter: marlo_
#              series at :9100/metrics, scraped from the peer
#   upgrade    to the same package with a higher version: running with a new
#              main pid, the timer active
#   remove     daemon and timer stopped, the metrics file gone
#   purge      only what debian/README.Debian says stays (/var/lib/marlo)
#   previous   the previous release's package (built from its commit, kept
#              as $SYSTEST_DIR/marlo_<commit>.deb), configured by editing its
#              files, signing with a key file, upgraded by apt-get install -y
#              without a terminal: no question, the edits kept, running anew
#              on the new binary
#   bad-keys   a reload with a broken key file fails without signalling and
#              the daemon goes on signing with the old keys; a SIGHUP sent
#              anyway is refused by the daemon: err in the journal, counted,
#              health warns until a good reload
#   purge-all  purge of the configured host: /etc/marlo with its key file
#              gone, no dpkg warning, /var/lib/marlo kept
#
#     scripts/system-test.sh
#
# Needs root; skips (exit 0, saying why) where systemd-nspawn cannot boot a
# container, fails on anything else.  The package is build-deb/marlo_*.deb
# (scripts/package-check.sh makes it, and is run first when it is missing).
# Optional environment: SYSTEST_DIR (default build-systest).
set -euo pipefail
cd "$(dirname "$0")/.."
REPO=$PWD
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

skip() {
    echo "system-test: SKIPPED: $*"
    exit 0
}
[ "$(id -u)" -eq 0 ] || skip "needs root (systemd-nspawn, network namespaces)"
install_missing_packages mmdebstrap systemd-container iproute2 procps tshark curl

DIR=${SYSTEST_DIR:-$REPO/build-systest}
mkdir -p "$DIR"
shopt -s nullglob
debs=("$REPO"/build-deb/marlo_*.deb)
if [ ${#debs[@]} -ne 1 ]; then
    scripts/package-check.sh
    debs=("$REPO"/build-deb/marlo_*.deb)
fi
DEB=${debs[0]}
VERSION=$(dpkg-deb -f "$DEB" Version)

# The previous release, whose hosts this one upgrades: its package is built
# once from its commit and kept beside the cached root.
PREVIOUS=1f7c40b
PREVIOUS_DEB=$DIR/marlo_$PREVIOUS.deb
if [ ! -f "$PREVIOUS_DEB" ]; then
    echo "=== the previous release's package, from commit $PREVIOUS"
    rm -rf "$DIR/previous"
    mkdir -p "$DIR/previous/marlo"
    # (A shallow clone lacks the commit: its history is fetched first.)
    git -C "$REPO" cat-file -e "$PREVIOUS^{commit}" 2>/dev/null ||
        git -C "$REPO" fetch -q --unshallow || true
    git -C "$REPO" archive "$PREVIOUS" | tar -x -C "$DIR/previous/marlo"
    (cd "$DIR/previous/marlo" && dpkg-buildpackage -us -uc -b) >"$DIR/previous/build.log" 2>&1 || {
        tail -20 "$DIR/previous/build.log" >&2
        echo "system-test: FAILED: the package of commit $PREVIOUS does not build" >&2
        exit 1
    }
    mv "$DIR"/previous/marlo_*.deb "$DIR/previous/marlo.deb"
    mv -T "$DIR/previous/marlo.deb" "$PREVIOUS_DEB"
    rm -rf "$DIR/previous"
fi

# The container's packages beyond the minimal base, the package's own
# dependencies included (the container installs it without a network); the
# cached root is named after the list, so a changed list makes a new one.
deps=$(dpkg-deb -f "$DEB" Depends | sed -e 's/([^)]*)//g' -e 's/|[^,]*//g' -e 's/[[:space:]]//g')
INCLUDE=systemd,systemd-sysv,dbus,iproute2,prometheus-node-exporter${deps:+,$deps}
ROOT_TAR=$DIR/bookworm-$(printf '%s' "$INCLUDE" | md5sum | cut -c1-8).tar
if [ ! -f "$ROOT_TAR" ]; then
    echo "=== mmdebstrap bookworm root (cached as $ROOT_TAR)"
    sources=()
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -s "$f" ] && sources+=("$f")
    done
    # (mmdebstrap takes the format from the name's extension.)
    mmdebstrap --variant=minbase --include="$INCLUDE" bookworm "$DIR/partial.tar" "${sources[@]}"
    mv -T "$DIR/partial.tar" "$ROOT_TAR"
fi
# The container's root lies in memory: the daemon's store and the journal
# sync often, and other work on this machine's disk must not slow them.
ROOT=$DIR/root
! mountpoint -q "$ROOT" || umount "$ROOT"  # left by an interrupted run
rm -rf "$ROOT"
mkdir -p "$ROOT"
mount -t tmpfs -o size=2g,mode=755 marlo-systest "$ROOT"

NS=marlo-peer-$$
NSPAWN=
CAPTURE=
cleanup() {
    [ -z "$CAPTURE" ] || kill "$CAPTURE" 2>/dev/null || true
    if [ -n "$NSPAWN" ] && kill -0 "$NSPAWN" 2>/dev/null; then
        kill -TERM "$NSPAWN"  # a clean shutdown of the container
        for _ in $(seq 100); do kill -0 "$NSPAWN" 2>/dev/null || break; sleep 0.2; done
        kill -KILL "$NSPAWN" 2>/dev/null || true
    fi
    ip netns del "$NS" 2>/dev/null || true
    umount -l "$ROOT" 2>/dev/null || true
}
trap cleanup EXIT
tar -xf "$ROOT_TAR" -C "$ROOT"

echo "=== boot"
systemd-nspawn -q -D "$ROOT" -M marlo-systest --boot --register=no --keep-unit --private-network \
    --console=pipe </dev/null >"$DIR/console.log" 2>&1 &
NSPAWN=$!
LEADER=
for _ in $(seq 100); do
    LEADER=$(ps --ppid "$NSPAWN" -o pid= | tr -d " " || true)
    [ -n "$LEADER" ] && [ -S "/proc/$LEADER/root/run/systemd/private" ] && break
    kill -0 "$NSPAWN" 2>/dev/null || skip "systemd-nspawn cannot boot a container here: $(tail -n 3 "$DIR/console.log")"
    sleep 0.2
done
[ -n "$LEADER" ] || skip "systemd-nspawn started no container: $(tail -n 3 "$DIR/console.log")"
# In the container, with its mounts, processes and network.
C() { nsenter -t "$LEADER" -m -u -i -n -p -- "$@"; }
state=$(C timeout 60 systemctl is-system-running --wait || true)
case "$state" in
running | degraded) ;;
*) skip "the container's systemd did not come up ($state): $(tail -n 3 "$DIR/console.log")" ;;
esac

# The peer host: 10.77.0.2 on peer0, the container 10.77.0.1 on eth0.
ip netns add "$NS"
ip link add eth0 netns "$LEADER" type veth peer name peer0 netns "$NS"
nsenter -t "$LEADER" -n ip addr add 10.77.0.1/24 dev eth0
nsenter -t "$LEADER" -n ip link set eth0 up
ip -n "$NS" addr add 10.77.0.2/24 dev peer0
ip -n "$NS" link set peer0 up
P() { ip netns exec "$NS" "$@"; }

checks=0
fail() {
    echo "system-test: FAILED: $*" >&2
    C journalctl -n 60 --no-pager >&2 || true
    exit 1
}
pass() {
    checks=$((checks + 1))
    echo "system-test: ok: $*"
}
# wait_for SECONDS WHAT COMMAND...: until the command succeeds.
wait_for() {
    local secs=$1 what=$2
    shift 2
    for _ in $(seq $((secs * 5))); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.2
    done
    fail "$what (waited ${secs}s)"
}
# The daemon's log and systemd's lines on its unit since the last mark,
# messages only.  (By identifier, not by unit: journald cannot tell the unit
# of a process that has ended by the time it reads the message, as a start
# that fails does.)
CURSOR=
mark() {
    CURSOR=$(C journalctl -n 1 --show-cursor -q -o cat --no-pager | sed -n 's/^-- cursor: //p')
    MARK_TIME=$(date +%s)
}
since_mark() {
    C journalctl --after-cursor="$CURSOR" -o cat --no-pager -q SYSLOG_IDENTIFIER=marlo + UNIT=marlo.service
}
# (grep reads to the end: an early exit with -q would fail the pipeline by
# SIGPIPE under pipefail whenever the journal is long.)
journal_has() { since_mark | grep -F -- "$1" >/dev/null; }
# Each text first appears in the journal in the order given.
journal_in_order() {
    since_mark | awk -v a="$1" -v b="$2" -v c="$3" 'index($0, a) && !i { i = NR }
        index($0, b) && !j { j = NR } index($0, c) && !k { k = NR }
        END { exit !(i && i < j && j < k) }'
}
main_pid() { C systemctl show -p MainPID --value marlo; }
# is VERB UNIT STATE: systemctl VERB UNIT prints STATE.
is() { [ "$(C systemctl "$1" "$2" 2>/dev/null)" = "$3" ]; }
# Active with a main pid other than $1.
running_anew() {
    local pid
    pid=$(main_pid) && [ "$pid" != 0 ] && [ "$pid" != "$1" ] && is is-active marlo active
}
# The file exists in the container.
exists() { C test -e "$1"; }
conf() { printf '%s\n' "$@" >>"$ROOT/etc/marlo/marlo.conf"; }

echo "=== install"
cp "$DEB" "$ROOT/root/"
C apt-get install -y -q "/root/$(basename "$DEB")" >"$DIR/apt.log" 2>&1 || fail "apt install: $(tail -5 "$DIR/apt.log")"
for u in marlo.service marlo-metrics.timer; do
    is is-enabled "$u" disabled || fail "$u is $(C systemctl is-enabled $u) after install"
    is is-active "$u" inactive || fail "$u is $(C systemctl is-active $u) after install"
done
pass "install: nothing enabled, nothing running"

echo "=== configure and enable"
# Node 101 with its datastore and vdisks, as the host's storage programs lay
# it out; unicast to the peer and to this host itself, so that the daemon
# applies its own announcements too.
demo/seed_store.sh "$ROOT/var/lib/marlo"
echo 101 >"$ROOT/etc/marlo/local_nodes"
printf '10.77.0.1\n10.77.0.2\n' >"$ROOT/etc/marlo/unicast_hosts"
# The fence check says what it was asked, holds the vdisk's lock while
# /tmp/fence-hold names seconds, and tries to write where the unit's
# hardening allows no writes.
install -m 755 /dev/stdin "$ROOT/usr/local/sbin/fence-check" <<'EOF'
#!/bin/sh
PATH=/usr/sbin:/usr/bin:/sbin:/bin
echo "fencing $1 $2"
if [ -s /tmp/fence-hold ]; then sleep "$(cat /tmp/fence-hold)"; fi
touch /usr/local/sbin/fence-probe
EOF
conf unicast_mode=1 fence_check=/usr/local/sbin/fence-check ping_interval=5 heartbeat_interval=2
# Captured by dumpcap itself: tshark, asked to stop, may wait for its dumpcap
# for ever.
ip netns exec "$NS" dumpcap -q -i peer0 -f "udp port 8000" -a duration:300 -w "$DIR/peer.pcapng" \
    2>"$DIR/dumpcap.log" &
CAPTURE=$!
wait_for 20 "the peer's capture to start" test -s "$DIR/peer.pcapng"
C systemctl enable --now marlo || fail "systemctl enable --now marlo"
is is-active marlo active || fail "marlo is not active after enable --now"
heard() {
    local types
    types=$(tshark -r "$DIR/peer.pcapng" -X lua_script:contrib/wireshark/marlo.lua \
        -Y "marlo.hdr.uid == 101" -T fields -e marlo.hdr.type 2>/dev/null | sort -un | tr '\n' ' ')
    [ "$types" = "4 16 32 35 " ]
}
wait_for 20 "PING (4), DS_PING (16), HEARTBEAT (32) and AUX_PING (35) of node 101 at the peer" heard
kill "$CAPTURE"
wait "$CAPTURE" || true
CAPTURE=
pass "enable --now: active; DS_PING, AUX_PING, PING and HEARTBEAT of node 101 heard at the peer"

echo "=== a missing interface"
C systemctl stop marlo
mark
conf bind_interface=eth9
out=$(C systemctl start marlo 2>&1) && fail "systemctl start succeeded without eth9: $out"
wait_for 10 "the daemon's error in the journal" journal_has "get_interface_addr(): ioctl(SIOCGIFADDR): No such device"
! journal_has "Started marlo" || fail "the journal says Started: $(since_mark)"
sed -i '/^bind_interface=eth9$/d' "$ROOT/etc/marlo/marlo.conf"
C systemctl restart marlo || fail "systemctl restart marlo after the interface fix"
pass "start with a missing interface fails (\"${out%%$'\n'*}\"), no \"Started\""

echo "=== reload"
mark
pid=$(main_pid)
echo 102 >>"$ROOT/etc/marlo/local_nodes"
C systemctl reload marlo || fail "systemctl reload marlo"
wait_for 10 "the new local node in the journal" journal_has "dump_local_nodes(): [2/2] 102"
[ "$(main_pid)" = "$pid" ] || fail "reload changed the main pid"
pass "reload: local node 102 taken, same main pid $pid"

# raise_generation N: the host's storage programs raise vd-demo-1's
# generation; the daemon announces it at once (marloctl ping-now) and
# applies its own PING.
raise_generation() {
    echo "$1" >"$ROOT/var/lib/marlo/VDisk/vd-demo-1/memberinfo/101/membership_gen_count"
    C marloctl -C /etc/marlo/marlo.conf ping-now
}

echo "=== fence check"
mark
raise_generation 4
F="FenceCheck(): /usr/local/sbin/fence-check uuid=vd-demo-1 member=101"
wait_for 30 "the fence check's exit status in the journal" journal_has "notice: $F exited with status 1"
for line in "info: FenceCheck(): Call /usr/local/sbin/fence-check uuid=vd-demo-1 member=101" \
    "info: $F stdout: fencing uuid=vd-demo-1 member=101" \
    "warn: $F stderr: touch: cannot touch '/usr/local/sbin/fence-probe': Read-only file system"; do
    journal_has "$line" || fail "no \"$line\" in: $(since_mark)"
done
pass "a generation rise runs the fence check, read-only outside the unit's paths; its output and status logged"

echo "=== kill -9 during a fence check"
mark
C sh -c 'echo 20 >/tmp/fence-hold'
raise_generation 5
wait_for 30 "a fence check" journal_has "Call /usr/local/sbin/fence-check uuid=vd-demo-1"
exists /tmp/VDISK-vd-demo-1 || fail "no lock of vd-demo-1 during its fence check"
killed=$(main_pid)
C sh -c "kill -9 $killed"  # (a minimal system has no /bin/kill)
wait_for 40 "a restart after kill -9" running_anew "$killed"
# (The restarted daemon takes that lock again at once, to run the check
# the kill cut short: the file must not carry the killed pid.)
C grep -qx "$killed" /tmp/VDISK-vd-demo-1 && fail "the killed run's lock /tmp/VDISK-vd-demo-1 is still there"
pass "kill -9 of $killed holding vd-demo-1's lock: restarted as $(main_pid), the lock removed"

# The check the kill above cut short was owed: the restarted daemon runs it
# again (it holds as long), and while it runs the daemon is busy, not down.
fence_owed_step() {
    echo "=== the fence check cut short runs again; busy is not down"
    wait_for 30 "the owed check run again" journal_has \
        "notice: FenceCheck(): Running the fence check owed for VDisk vd-demo-1 generation 5 by Node 101"
    local health
    health=$(C marloctl -C /etc/marlo/marlo.conf health || true)
    case "$health" in
    *"busy: fence check for vdisk vd-demo-1 running for "*) ;;
    *) fail "health during the check: $health" ;;
    esac
    case "$health" in *"is down"*) fail "health says down during the check: $health" ;; esac
    C marloctl -C /etc/marlo/marlo.conf status --json |
        grep -F '"daemon_busy": "fence check for vdisk vd-demo-1 member 101 running for ' >/dev/null ||
        fail "status --json during the check: $(C marloctl -C /etc/marlo/marlo.conf status --json | grep daemon_)"
    C sh -c ': >/tmp/fence-hold'
    wait_for 30 "the owed check's return" journal_has "info: FenceCheck(): Return /usr/local/sbin/fence-check uuid=vd-demo-1 member=101"
    exists /var/lib/marlo/VDisk/vd-demo-1/fence_owed && fail "the owed record is still there"
    pass "the check cut short ran again after the restart; health and status said busy meanwhile"
}
fence_owed_step

echo "=== metrics"
mark
C systemctl enable --now marlo-metrics.timer || fail "enable --now marlo-metrics.timer"
C systemctl start marlo-metrics.service || fail "marlo-metrics.service"
metrics_log=$(C journalctl --after-cursor="$CURSOR" -o cat --no-pager -q _SYSTEMD_UNIT=marlo-metrics.service + UNIT=marlo-metrics.service)
[ -z "$metrics_log" ] || fail "marlo-metrics.service logged on success: $metrics_log"
scrape() { P curl -sf http://10.77.0.1:9100/metrics | grep '^marlo_' >/dev/null; }
wait_for 20 "marlo_ series at the node exporter" scrape
pass "marlo_ series at 10.77.0.1:9100/metrics ($(P curl -sf http://10.77.0.1:9100/metrics | grep -c '^marlo_') lines); the run logged nothing"

echo "=== upgrade"
# The same package with a higher version, as a rebuild would make it.
rm -rf "$DIR/next"
dpkg-deb -R "$DEB" "$DIR/next"
version=$(sed -n 's/^Version: //p' "$DIR/next/DEBIAN/control")
sed -i "s/^Version: .*/Version: $version+systest1/" "$DIR/next/DEBIAN/control"
dpkg-deb -b "$DIR/next" "$ROOT/root/next.deb" >/dev/null
# Upgraded while a fence check runs: the restart waits for it.
C sh -c 'echo 8 >/tmp/fence-hold'
mark
raise_generation 6
wait_for 30 "a fence check" journal_has "Call /usr/local/sbin/fence-check uuid=vd-demo-1"
before=$(main_pid)
C apt-get install -y -q /root/next.deb >"$DIR/apt.log" 2>&1 || fail "apt install next.deb: $(tail -5 "$DIR/apt.log")"
[ "$(C dpkg-query -W -f '${Version}' marlo)" = "$version+systest1" ] || fail "not upgraded"
wait_for 20 "marlo active with a new main pid" running_anew "$before"
is is-active marlo-metrics.timer active || fail "marlo-metrics.timer not active after the upgrade"
journal_in_order "Stopping marlo.service" "notice: $F exited with status 1" "Stopped marlo.service" ||
    fail "the stop did not wait for the fence check to end: $(since_mark)"
! journal_has "killed by signal" || fail "the upgrade killed the fence check: $(since_mark)"
pass "upgrade to $version+systest1 during a fence check, which ended first: running as $(main_pid) (was $before), timer active"

echo "=== remove"
C apt-get remove -y -q marlo >"$DIR/apt.log" 2>&1 || fail "apt remove: $(tail -5 "$DIR/apt.log")"
is is-active marlo inactive || fail "marlo is $(C systemctl is-active marlo) after remove"
is is-active marlo-metrics.timer inactive || fail "the timer is $(C systemctl is-active marlo-metrics.timer) after remove"
C sh -c 'for p in /proc/[0-9]*; do readlink "$p/exe"; done' | grep /usr/sbin/marlo >/dev/null &&
    fail "a marlo process runs after remove"
[ ! -e "$ROOT/var/lib/prometheus/node-exporter/marlo.prom" ] || fail "marlo.prom left after remove"
pass "remove: daemon and timer stopped, metrics file gone"

echo "=== purge"
rm -f "$ROOT"/root/*.deb
C apt-get purge -y -q marlo >"$DIR/apt.log" 2>&1 || fail "apt purge: $(tail -5 "$DIR/apt.log")"
[ -d "$ROOT/var/lib/marlo/Node/101" ] || fail "purge removed /var/lib/marlo"
left=$(C sh -c 'find / /run /tmp -xdev \( -path /var/lib/marlo -prune \) -o \( -name "*marlo*" -o -name "NODE-*" -o -name "DS-*" -o -name "VDISK-*" \) -print' | sort -u)
[ -z "$left" ] || fail "left after purge: $left"
units=$(C systemctl list-units --all --plain --no-legend 'marlo*')
[ -z "$units" ] || fail "units left after purge: $units"
pass "purge: /var/lib/marlo kept, nothing else left"

# The configured host of the previous release: its /etc/marlo edited in
# place (its files were conffiles then), signing with a key file, node 101
# of the store that purge kept.
step_previous() {
    echo "=== upgrade from the previous release, edited configuration, no terminal"
    C rm -f /tmp/fence-hold
    cp "$PREVIOUS_DEB" "$ROOT/root/previous.deb"
    cp "$DEB" "$ROOT/root/"
    C apt-get install -y -q /root/previous.deb >"$DIR/apt.log" 2>&1 ||
        fail "apt install of the previous release: $(tail -5 "$DIR/apt.log")"
    echo 101 >"$ROOT/etc/marlo/local_nodes"
    printf '10.77.0.1\n10.77.0.2\n' >"$ROOT/etc/marlo/unicast_hosts"
    sed -i 's/^#unicast_mode=0$/unicast_mode=1/' "$ROOT/etc/marlo/marlo.conf"
    # (At info the daemon, which applies its own announcements too, logs
    # faster than the journal's rate limit lets a unit log.)
    conf fence_check=/usr/local/sbin/fence-check ping_interval=5 heartbeat_interval=2 \
        syslog_priority=notice auth_mode=require auth_keys=/etc/marlo/auth_keys
    C marloctl keygen --output /etc/marlo/auth_keys || fail "marloctl keygen"
    C systemctl enable --now marlo || fail "systemctl enable --now marlo (previous release)"
    edited=$(cd "$ROOT/etc/marlo" && md5sum marlo.conf local_nodes unicast_hosts auth_keys)
    before=$(main_pid)
    # As unattended-upgrades runs it: no terminal, nothing on standard input.
    C setsid apt-get install -y -q "/root/$(basename "$DEB")" </dev/null >"$DIR/apt.log" 2>&1 ||
        fail "apt-get install -y of $VERSION over the previous release: $(tail -5 "$DIR/apt.log")"
    ! grep -i 'conffile' "$DIR/apt.log" || fail "dpkg spoke of a conffile: $(cat "$DIR/apt.log")"
    [ "$(C dpkg-query -W -f '${Status} ${Version}' marlo)" = "install ok installed $VERSION" ] ||
        fail "after the upgrade: $(C dpkg-query -W -f '${Status} ${Version}' marlo)"
    [ "$(cd "$ROOT/etc/marlo" && md5sum marlo.conf local_nodes unicast_hosts auth_keys)" = "$edited" ] ||
        fail "the upgrade changed the host's files: $(cd "$ROOT/etc/marlo" && md5sum *)"
    wait_for 30 "marlo active with a new main pid" running_anew "$before"
    [ "$(C readlink "/proc/$(main_pid)/exe")" = /usr/sbin/marlo ] ||
        fail "the daemon runs $(C readlink "/proc/$(main_pid)/exe")"
    [ "$(C marlo -V)" = "marlo $VERSION" ] || fail "marlo -V: $(C marlo -V)"
    pass "apt-get install -y without a terminal from the previous release: no question, edits kept, running as $(main_pid) (was $before) on marlo $VERSION"
}

# The daemon's count of its own datagrams taken with a valid trailer (it
# sends to itself too).
signed() { C marloctl -C /etc/marlo/marlo.conf metrics | sed -n 's/^marlo_auth_signed_total \([0-9]*\)$/\1/p'; }
signed_above() { [ "$(signed)" -gt "$1" ]; }
# (health exits 1 unless OK: only grep's status counts.)
health_has() { { C marloctl -C /etc/marlo/marlo.conf health || true; } | grep -F -- "$1" >/dev/null; }
health_without() { ! health_has "$1"; }
# What marloctl wrote to the journal (as the unit's ExecReload) since the
# mark's second, in journalctl's output form $2 (default cat), holds the
# text.  (By identifier: marloctl has ended before journald could look up
# its unit.  By time: after a cursor, journalctl skips entries that a match
# leaves out when the cursor's entry does not match.)
marloctl_said() {
    C journalctl --since="@$MARK_TIME" -o "${2:-cat}" --no-pager -q SYSLOG_IDENTIFIER=marloctl |
        grep -F -e "$1" -e PRIORITY=
}
# The journal since the mark's second holds the text at priority err or above.
err_has() { C journalctl -p err --since="@$MARK_TIME" -o cat --no-pager -q | grep -F -- "$1" >/dev/null; }

step_bad_keys() {
    echo "=== reload with a broken key file"
    mark
    pid=$(main_pid)
    cp -p "$ROOT/etc/marlo/auth_keys" "$DIR/auth_keys.good"
    echo "1 not-a-key" >"$ROOT/etc/marlo/auth_keys"
    out=$(C systemctl reload marlo 2>&1) && fail "systemctl reload succeeded with a broken key file"
    reason="marloctl: reload refused, marlo not signalled: key file /etc/marlo/auth_keys: "
    wait_for 10 "marloctl's reason in the journal" marloctl_said "$reason"
    err_has "$reason" || fail "marloctl's reason is not at err: $(marloctl_said "$reason" -o verbose)"
    ! journal_has "auth_reload()" || fail "the daemon was signalled: $(since_mark)"
    [ "$(main_pid)" = "$pid" ] && is is-active marlo active || fail "the refused reload stopped the daemon"
    n=$(signed)
    wait_for 20 "the daemon's own datagrams, signed with the old key, taken" signed_above "$n"
    pass "systemctl reload fails (\"${out%%$'\n'*}\"), nothing signalled; still signing with the old keys"

    mark
    C systemctl kill -s HUP --kill-who=main marlo
    wait_for 10 "the daemon's refusal at err" err_has "error: auth_reload(): key file /etc/marlo/auth_keys: "
    C marloctl -C /etc/marlo/marlo.conf metrics | grep -x 'marlo_reload_failures_total 1' >/dev/null ||
        fail "reload_failures is not 1: $(C marloctl -C /etc/marlo/marlo.conf metrics | grep reload)"
    health_has "WARN   the daemon refused its last reload: it keeps what it read before (auth_keys)" ||
        fail "health: $(C marloctl -C /etc/marlo/marlo.conf health)"
    n=$(signed)
    wait_for 20 "signed datagrams after the refused SIGHUP" signed_above "$n"
    cp -p "$DIR/auth_keys.good" "$ROOT/etc/marlo/auth_keys"
    C systemctl reload marlo || fail "systemctl reload with the key file mended"
    wait_for 10 "health without the refused reload" health_without "refused its last reload"
    pass "SIGHUP with the broken key file: refused at err, counted, health warned until the mended reload"
}

step_purge_all() {
    echo "=== purge of the configured host"
    C apt-get purge -y -q marlo >"$DIR/apt.log" 2>&1 || fail "apt purge: $(tail -5 "$DIR/apt.log")"
    ! grep -i 'warning' "$DIR/apt.log" || fail "purge warned: $(cat "$DIR/apt.log")"
    [ -d "$ROOT/var/lib/marlo/Node/101" ] || fail "purge removed /var/lib/marlo"
    ! exists /etc/marlo || fail "left after purge: $(C find /etc/marlo)"
    rm -f "$ROOT"/root/*.deb
    left=$(C sh -c 'find / /run /tmp -xdev \( -path /var/lib/marlo -prune \) -o \( -name "*marlo*" -o -name "NODE-*" -o -name "DS-*" -o -name "VDISK-*" \) -print' | sort -u)
    [ -z "$left" ] || fail "left after purge: $left"
    pass "purge: /etc/marlo and its key file gone without a warning, /var/lib/marlo kept"
}

step_previous
step_bad_keys
step_purge_all

echo "system-test: all $checks checks passed"
