#!/usr/bin/env bash
# Runs the cluster benchmark (bench/scale.cpp) for several cluster sizes and
# one unicast run, and writes the table, the CSV and the plots.
#
#     bench/cluster.sh [--hosts "8 16 32 64"] [--unicast H] [--out DIR] [--results DIR]
#                      [-- marlo-scale options...]
#
# Each run starts H real daemons, each in its own network namespace on one
# bridge with its own /tmp and store on tmpfs, and times how their stores
# converge after a cold start, a node joining, a vdisk deleted, a member
# leaving, a host killed and restarted and a host cut off (see
# bench/scale.cpp).  The ping interval grows with the cluster so that the
# machine is not the bottleneck of the steady traffic; times are reported in
# seconds and in ping intervals.  Benchmarks measure; nothing here fails on
# a time (a run whose stores do not converge is reported as such).
#
#   --hosts LIST    cluster sizes in multicast mode (default "8 16 32 64")
#   --unicast H     size of the unicast run, every host listing every other
#                   (default 32; 0 skips it)
#   --out DIR       raw results and logs (default: build-bench/cluster-out)
#   --results DIR   cluster.csv, cluster-convergence.svg, cluster-cpu.svg and
#                   cluster-table.md (default: bench/results, shown by README)
#
# Environment: BUILD_DIR (default build-bench), the Release build used.
# Needs root (network and mount namespaces; a 64-host run keeps about 8 GiB
# of stores on tmpfs) and installs what it misses with apt-get: cmake g++
# make nlohmann-json3-dev iproute2 gnuplot-nox.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

HOSTS="8 16 32 64"
UNICAST=32
OUT=
RESULTS=bench/results
while [ $# -gt 0 ]; do
    case "$1" in
    --hosts) HOSTS=$2; shift ;;
    --unicast) UNICAST=$2; shift ;;
    --out) OUT=$2; shift ;;
    --results) RESULTS=$2; shift ;;
    --) shift; break ;;
    *) echo "usage: $0 [--hosts LIST] [--unicast H] [--out DIR] [--results DIR] [-- marlo-scale options]" >&2
       exit 2 ;;
    esac
    shift
done

if [ "$(id -u)" -ne 0 ]; then
    echo "bench/cluster.sh needs root (network and mount namespaces)" >&2
    exit 1
fi
install_missing_packages cmake g++ make libsodium-dev nlohmann-json3-dev iproute2 gnuplot-nox

BUILD=${BUILD_DIR:-build-bench}
OUT=${OUT:-$BUILD/cluster-out}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DMARLO_BENCH=ON -DBUILD_TESTING=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" --target marlo marlo-scale >/dev/null
mkdir -p "$OUT" "$RESULTS"
OUT=$(cd "$OUT" && pwd)
RAW=$OUT/results.txt
: >"$RAW"
commit=$(git describe --always --dirty 2>/dev/null || echo unknown)

# run NAME ARGS...: one benchmark run; its RESULT lines go to $RAW.
run() {
    local name=$1
    shift
    echo "== $name ($*)" >&2
    # The stores live on a tmpfs inside the run's own mount namespace: they
    # are gone when it ends, whatever the outcome.
    "$BUILD/bench/marlo-scale" --marlo "$BUILD/marlo" --run-dir "$OUT/run" "$@" \
        2> >(tee "$OUT/$name.err" >&2) | grep '^RESULT ' >>"$RAW" ||
        echo "   $name did not converge everywhere; see $OUT/$name.err" >&2
}

for h in $HOSTS; do
    run "multicast-$h" --hosts "$h" "$@"
done
if [ "$UNICAST" -gt 0 ]; then
    run "unicast-$UNICAST" --hosts "$UNICAST" --unicast "$@"
fi

# The CSV: one row per scenario and run, the same columns for all.
COLUMNS_CSV=mode,hosts,local,nodes,vdisks,per_node,datastores,ping_s,hb_s,rcvbuf,scenario,converged,secs,intervals,median_s,rx,drops,rcvbuf_errors,backlog_drops,contention,queue_peak_kb,cpu_s_per_interval,cpu_max_s_per_interval,machine_load,rx_per_daemon_per_interval,rss_kb,hwm_kb,stores_mb,from_start_s
awk -v cols="$COLUMNS_CSV" -v commit="$commit" '
BEGIN { n = split(cols, c, ","); printf "commit"; for (i = 1; i <= n; i++) printf ",%s", c[i]; print "" }
{
    delete kv
    for (i = 2; i <= NF; i++) { eq = index($i, "="); kv[substr($i, 1, eq - 1)] = substr($i, eq + 1) }
    printf "%s", commit
    for (i = 1; i <= n; i++) printf ",%s", kv[c[i]]
    print ""
}' "$RAW" >"$RESULTS/cluster.csv"

# The table: one row per run.
awk -F, '
NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
function v(name) { return $col[name] }
function t(s,    x) { x = v("secs"); return v("converged") == 1 ? sprintf("%.1f (%.2f)", x, v("intervals")) : sprintf("> %.0f (no)", x) }
{
    key = v("mode") " " v("hosts")
    if (!(key in seen)) { seen[key] = 1; order[++runs] = key }
    s = v("scenario")
    cell[key, s] = t(s)
    head[key] = sprintf("| %s | %s | %s / %s | %s / %s", v("mode"), v("hosts"), v("nodes"), v("vdisks"), v("ping_s"), v("hb_s"))
    drops[key] += v("drops"); backlog[key] += v("backlog_drops"); contention[key] += v("contention")
    if (v("queue_peak_kb") + 0 > qpeak[key] + 0) qpeak[key] = v("queue_peak_kb")
    if (v("rcvbuf") != "") buf[key] = int(v("rcvbuf") / 1024)
    if (s == "steady") { cpu[key] = sprintf("%.3f / %.3f", v("cpu_s_per_interval"), v("cpu_max_s_per_interval")); load[key] = sprintf("%.0f %%", 100 * v("machine_load")); rx[key] = sprintf("%.0f", v("rx_per_daemon_per_interval")) }
    if (s == "final") { rss[key] = v("hwm_kb"); stores[key] = v("stores_mb") }
}
END {
    print "| mode | hosts | nodes / vdisks | ping / heartbeat s | cold | join | delete | leave | kill (silent) | rejoin | partition | CPU s per daemon per ping, mean / max | machine load | datagrams per daemon per ping | RSS KiB | receive queue peak / buffer KiB | drops (kernel) | backlog drops | contention lines |"
    print "|---|---:|---|---|---|---|---|---|---|---|---|---|---:|---:|---:|---|---:|---:|---:|"
    for (r = 1; r <= runs; r++) {
        k = order[r]
        printf "%s", head[k]
        split("cold join delete leave kill rejoin partition", sc, " ")
        for (i = 1; i <= 7; i++) printf " | %s", ((k, sc[i]) in cell) ? cell[k, sc[i]] : "-"
        printf " | %s | %s | %s | %s | %d / %d | %d | %d | %d |\n", cpu[k], load[k], rx[k], rss[k], qpeak[k], buf[k], drops[k], backlog[k], contention[k]
    }
}' "$RESULTS/cluster.csv" >"$RESULTS/cluster-table.md"

# The plots, from the multicast runs; the unicast run as single points.
for s in cold join delete leave rejoin partition; do
    awk -F, -v s="$s" 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
        $col["scenario"] == s && $col["mode"] == "multicast" { print $col["hosts"], $col["secs"], $col["ping_s"] }' \
        "$RESULTS/cluster.csv" | sort -n >"$OUT/plot-$s.dat"
    awk -F, -v s="$s" 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
        $col["scenario"] == s && $col["mode"] == "unicast" { print $col["hosts"], $col["secs"] }' \
        "$RESULTS/cluster.csv" | sort -n >"$OUT/plot-unicast-$s.dat"
done
awk -F, 'NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
    $col["scenario"] == "steady" { print $col["mode"], $col["hosts"], $col["cpu_s_per_interval"], $col["cpu_max_s_per_interval"], $col["ping_s"], $col["machine_load"] }' \
    "$RESULTS/cluster.csv" | sort -k2n >"$OUT/plot-cpu.dat"

gnuplot <<EOF
set terminal svg size 960,480 dynamic font "sans,12"
set datafile missing "?"
set key outside right top
set grid
set logscale x 2
set xlabel "hosts (daemons), 2 nodes each"

set output "$RESULTS/cluster-convergence.svg"
set title "Convergence after each event ($commit)"
set logscale y 10
set ylabel "seconds until every store shows it"
plot "$OUT/plot-cold.dat" using 1:2 with linespoints title "cold start (forced ping cycle)", \
     "$OUT/plot-join.dat" using 1:2 with linespoints title "node joins (SIGHUP)", \
     "$OUT/plot-delete.dat" using 1:2 with linespoints title "vdisk deleted", \
     "$OUT/plot-leave.dat" using 1:2 with linespoints title "member leaves (stale sweep)", \
     "$OUT/plot-rejoin.dat" using 1:2 with linespoints title "killed host restarted", \
     "$OUT/plot-partition.dat" using 1:2 with linespoints title "link back after partition", \
     "$OUT/plot-cold.dat" using 1:3 with lines dashtype 2 lc "black" title "ping interval", \
     "$OUT/plot-cold.dat" using 1:(2*\$3) with lines dashtype 3 lc "black" title "two ping intervals", \
     "$OUT/plot-unicast-cold.dat" using 1:2 with points pt 7 ps 1.5 title "cold start, unicast"

set output "$RESULTS/cluster-cpu.svg"
set title "CPU time per daemon per ping interval, steady state ($commit)"
unset logscale y
set ylabel "CPU seconds per daemon per ping interval"
set y2label "ping interval, s"
set y2tics
set ytics nomirror
plot "< grep ^multicast $OUT/plot-cpu.dat" using 2:3 with linespoints title "mean", \
     "< grep ^multicast $OUT/plot-cpu.dat" using 2:4 with linespoints title "busiest daemon", \
     "< grep ^unicast $OUT/plot-cpu.dat" using 2:3 with points pt 7 ps 1.5 title "mean, unicast", \
     "< grep ^multicast $OUT/plot-cpu.dat" using 2:5 axes x1y2 with lines dashtype 2 lc "black" title "ping interval (right)"
EOF

echo
echo "Daemon: $commit; raw results in $RAW; table, CSV and plots in $RESULTS/"
cat "$RESULTS/cluster-table.md"
