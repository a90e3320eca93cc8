#!/usr/bin/env bash
# Runs the daemon benchmarks and prints one table.
#
#     bench/run.sh [--quick] [--out DIR] [--long N] [--no-micro] [--auth MODE]
#
# For each scenario the load generator (bench/loadgen.cpp) starts a fresh
# daemon on a fresh store, populates a cluster and measures the scenario's
# traffic three times: plain (messages/s, entries/s, RSS, CPU time), under
# `strace -c -f` (system calls per message by kind) and, on tmpfs, under
# `valgrind --tool=callgrind` (user-space instructions per message).  Every
# scenario runs with the store and lock files on tmpfs and on the real disk
# (the file system of --out).  A long run of the cluster's traffic mix
# (at least 1,000,000 datagrams) shows whether RSS stays flat.  From the
# figures it derives the largest cluster one daemon keeps up with at the
# default intervals.  Benchmarks measure; nothing here fails on a time.
#
#   --quick      shorter runs (about a minute in all; the long run is skipped
#                unless --long is given)
#   --out DIR    raw results, logs and profiles (default: build-bench/bench-out)
#   --long N     datagrams of the long run (default 1000000; 0 skips it)
#   --auth MODE  the daemon's auth_mode (off, sign or require; default off):
#                with sign or require every datagram sent carries a valid
#                trailer, and the daemon signs what it sends
#   --no-micro   skip the Google Benchmark micro-benchmarks
#
# Environment: BUILD_DIR (default build-bench), the Release build used.
# Needs root (private mount namespaces for tmpfs and the log sink) and
# installs what it misses with apt-get: cmake g++ make libsodium-dev strace valgrind
# libgtest-dev libbenchmark-dev.
set -euo pipefail
cd "$(dirname "$0")/.."

QUICK=0
OUT=
LONG=1000000
LONG_SET=0
MICRO=1
AUTH=off
while [ $# -gt 0 ]; do
    case "$1" in
    --quick) QUICK=1 ;;
    --out) OUT=$2; shift ;;
    --long) LONG=$2; LONG_SET=1; shift ;;
    --no-micro) MICRO=0 ;;
    --auth) AUTH=$2; shift ;;
    *) echo "usage: $0 [--quick] [--out DIR] [--long N] [--no-micro] [--auth MODE]" >&2; exit 2 ;;
    esac
    shift
done
[ "$QUICK" = 1 ] && [ "$LONG_SET" = 0 ] && LONG=0

if [ "$(id -u)" -ne 0 ]; then
    echo "bench/run.sh needs root (mount namespaces)" >&2
    exit 1
fi

PACKAGES=(cmake g++ make libsodium-dev nlohmann-json3-dev strace valgrind libgtest-dev libbenchmark-dev)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi

BUILD=${BUILD_DIR:-build-bench}
OUT=${OUT:-$BUILD/bench-out}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DMARLO_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
targets=(marlo marlo-loadgen bench_cluster_test)
[ "$MICRO" = 1 ] && targets+=(marlo-micro)
cmake --build "$BUILD" -j"$(nproc)" --target "${targets[@]}" >/dev/null
# The generator must send what real peers send before its figures mean
# anything.
"$BUILD/bench/bench_cluster_test" --gtest_brief=1 >&2

mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
RESULTS=$OUT/results.txt
: >"$RESULTS"
MARLO=$BUILD/marlo
LOADGEN=$BUILD/bench/marlo-loadgen

# name | generator arguments | measured datagrams: plain, strace, callgrind
# | cap in seconds of the plain run.  Every scenario runs at the default
# syslog_priority (info); the *-notice ones show what the per-object info
# lines cost.
if [ "$QUICK" = 1 ]; then
    SCENARIOS=(
        "hb|--scenario hb --nodes 100|5000|500|300|5"
        "aux|--scenario aux --nodes 100|5000|500|300|5"
        "ds|--scenario ds --nodes 100|3000|300|200|5"
        "ping-1|--scenario ping --nodes 12 --vdisks-per-node 1 --snap-every 10|1000|100|50|5"
        "ping-50|--scenario ping --nodes 12 --vdisks-per-node 50 --snap-every 10|40|5|2|5"
        "ping-400|--scenario ping --nodes 12 --vdisks-per-node 400 --snap-every 10|6|2|1|5"
        "cycle-400|--scenario cycle --nodes 3 --vdisks-per-node 400 --snap-every 10|6|2|1|5"
        "hb-notice|--scenario hb --nodes 100 --priority notice|5000|500|300|5"
        "ping-50-notice|--scenario ping --nodes 12 --vdisks-per-node 50 --snap-every 10 --priority notice|40|5|2|5"
    )
else
    SCENARIOS=(
        "hb|--scenario hb --nodes 100|50000|3000|1000|20"
        "aux|--scenario aux --nodes 100|50000|3000|1000|20"
        "ds|--scenario ds --nodes 100|30000|2000|500|20"
        "ping-1|--scenario ping --nodes 12 --vdisks-per-node 1 --snap-every 10|10000|500|200|20"
        "ping-50|--scenario ping --nodes 12 --vdisks-per-node 50 --snap-every 10|400|24|6|20"
        "ping-400|--scenario ping --nodes 12 --vdisks-per-node 400 --snap-every 10|60|6|2|20"
        "cycle-400|--scenario cycle --nodes 3 --vdisks-per-node 400 --snap-every 10|60|6|2|20"
        "hb-notice|--scenario hb --nodes 100 --priority notice|50000|3000|1000|20"
        "ping-50-notice|--scenario ping --nodes 12 --vdisks-per-node 50 --snap-every 10 --priority notice|400|24|6|20"
    )
fi

# run NAME STORE TOOL COUNT SECONDS ARGS...: one generator run; its RESULT
# line goes to $RESULTS with the scenario's name in front.
run() {
    local name=$1 store=$2 tool=$3 count=$4 secs=$5
    shift 5
    local dir=$OUT/$name-$store-$tool
    rm -rf "$dir"
    echo "== $name on $store ($tool, $count)" >&2
    local line
    if line=$("$LOADGEN" --marlo "$MARLO" --run-dir "$dir" --store "$store" --tool "$tool" \
        --count "$count" --seconds "$secs" --auth "$AUTH" "$@" 2>"$dir.err" | grep '^RESULT '); then
        echo "name=$name ${line#RESULT }" >>"$RESULTS"
    else
        echo "   failed; see $dir.err" >&2
    fi
    # The generator's own remarks (daemon warnings and errors) on screen.
    grep -v '^\[.*\] \(daemon [0-9]\|populated\)' "$dir.err" >&2 || true
    # A store on disk can take hundreds of megabytes; the figures are kept.
    rm -rf "$dir/store" "$dir/locks"
}

for store in tmpfs disk; do
    for s in "${SCENARIOS[@]}"; do
        IFS='|' read -r name args n_plain n_strace n_cg cap <<<"$s"
        # shellcheck disable=SC2086  # args is a list of words
        run "$name" "$store" none "$n_plain" "$cap" $args
        # shellcheck disable=SC2086
        run "$name" "$store" strace "$n_strace" 600 $args
        if [ "$store" = tmpfs ]; then
            # shellcheck disable=SC2086
            run "$name" "$store" callgrind "$n_cg" 600 $args
        fi
    done
done

if [ "$LONG" -gt 0 ]; then
    run long-mix tmpfs none "$LONG" 3600 --scenario mix --nodes 100 --vdisks-per-node 1 --snap-every 10
fi

echo
bench/table.sh "$RESULTS"

if [ "$MICRO" = 1 ] && [ -x "$BUILD/bench/marlo-micro" ]; then
    echo
    echo "Micro-benchmarks (builders, datagram walk, authentication trailer):"
    "$BUILD/bench/marlo-micro" --benchmark_min_time=0.2 2>/dev/null | tee "$OUT/micro.txt"
fi
