#!/usr/bin/env bash
# Prints the benchmark table from the RESULT lines that bench/run.sh
# collected (one "name=... key=value ..." line per generator run), then the
# largest cluster one daemon keeps up with at the default intervals.
#
#     bench/table.sh bench-out/results.txt
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 RESULTS" >&2; exit 2; }

awk '
function num(x) { return x == "" ? 0 : x + 0 }
function trim(x) { x = sprintf("%.2f", x); sub(/\.?0+$/, "", x); return x }
# "name:calls[:errors],..." -> "name calls, ..." (errors in brackets)
function kinds(s,    n, i, f, out, m, pp) {
    n = split(s, f, ",")
    out = ""
    for (i = 1; i <= n; i++) {
        m = split(f[i], pp, ":")
        if (trim(pp[2]) == "0")
            continue  # marker datagrams of the window, not the scenario
        out = out (out == "" ? "" : ", ") pp[1] " " trim(pp[2]) (m > 2 ? " (" trim(pp[3]) " failed)" : "")
    }
    return out
}
{
    delete kv
    for (i = 1; i <= NF; i++) {
        eq = index($i, "=")
        kv[substr($i, 1, eq - 1)] = substr($i, eq + 1)
    }
    key = kv["name"] SUBSEP kv["store"] SUBSEP kv["tool"]
    for (k in kv)
        R[key, k] = kv[k]
    seen[key] = 1
    if (!(kv["name"] in order_idx)) {
        order_idx[kv["name"]] = ++norder
        order[norder] = kv["name"]
    }
}
END {
    split("tmpfs disk", stores, " ")
    print "| scenario | store | msgs/s | entries/s | syscalls/msg | syscalls per msg by kind | user instr/msg | heap allocs/msg | user/sys CPU | RSS KiB before -> after | drops |"
    print "|---|---|---:|---:|---:|---|---:|---:|---:|---|---:|"
    for (o = 1; o <= norder; o++) {
        name = order[o]
        if (name == "long-mix")
            continue
        for (s = 1; s <= 2; s++) {
            st = stores[s]
            p = name SUBSEP st SUBSEP "none"
            t = name SUBSEP st SUBSEP "strace"
            c = name SUBSEP "tmpfs" SUBSEP "callgrind"
            if (!(p in seen))
                continue
            mps = sprintf("%.1f", R[p, "msgs_s"])
            eps = R[p, "entries"] > 0 ? sprintf("%.0f", R[p, "entries_s"]) : "-"
            sc = (t in seen) ? trim(R[t, "syscalls_per_msg"]) : "n/a"
            sk = (t in seen) ? kinds(R[t, "syscalls"]) : ""
            ir = (c in seen && st == "tmpfs") ? sprintf("%.0f", R[c, "ir_per_msg"]) : (st == "tmpfs" ? "n/a" : "(as tmpfs)")
            al = (c in seen && st == "tmpfs" && R[c, "allocs_per_msg"] != "") ? trim(R[c, "allocs_per_msg"]) : (st == "tmpfs" ? "n/a" : "(as tmpfs)")
            us = num(R[p, "sys_s"]) > 0 ? sprintf("%.0f%%", 100 * R[p, "user_s"] / R[p, "sys_s"]) : "-"
            usr = sprintf("%.2fs/%.2fs (%s)", R[p, "user_s"], R[p, "sys_s"], us)
            rss = R[p, "rss0_kb"] " -> " R[p, "rss1_kb"]
            dr = num(R[p, "drops"]) + num(R[t, "drops"])
            if (num(R[p, "rx_missing"]) > 0)
                dr = dr " (" R[p, "rx_missing"] " not counted)"
            printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", name, st, mps, eps, sc, sk, ir, al, usr, rss, dr
        }
    }
    l = "long-mix" SUBSEP "tmpfs" SUBSEP "none"
    if (l in seen) {
        printf "\nLong run (tmpfs, %d nodes, cluster traffic mix): %d datagrams in %.0f s (%.0f/s), RSS %s KiB before, %s KiB after (peak %s KiB), %s drops.\n",
            R[l, "nodes"], R[l, "msgs"], R[l, "secs"], R[l, "msgs_s"], R[l, "rss0_kb"], R[l, "rss1_kb"], R[l, "hwm_kb"], R[l, "drops"]
    }

    # Capacity at the default intervals: per node every 90 s a DS_PING, an
    # AUX_PING and a PING of P vdisks, and three HEARTBEATs; the daemon has
    # 90 s for all nodes less its own ping cycle.  V = N * P / M vdisks.
    print ""
    print "Largest cluster one daemon keeps up with (default intervals: pings every 90 s, heartbeats every 30 s; 100 % busy):"
    print ""
    print "| store | vdisks per node P | seconds of work per node per 90 s | nodes N | vdisks V (M = 3) | at 50 % load: N | V |"
    print "|---|---:|---:|---:|---:|---:|---:|"
    split("1 50 400", P, " ")
    for (s = 1; s <= 2; s++) {
        st = stores[s]
        hb = "hb" SUBSEP st SUBSEP "none"; ax = "aux" SUBSEP st SUBSEP "none"; ds = "ds" SUBSEP st SUBSEP "none"
        cy = "cycle-400" SUBSEP st SUBSEP "none"
        if (!(hb in seen) || !(ax in seen) || !(ds in seen))
            continue
        tcycle = (cy in seen) ? 1 / R[cy, "msgs_s"] : 0
        for (i = 1; i <= 3; i++) {
            pg = "ping-" P[i] SUBSEP st SUBSEP "none"
            if (!(pg in seen))
                continue
            t = 3 / R[hb, "msgs_s"] + 1 / R[ax, "msgs_s"] + 1 / R[ds, "msgs_s"] + 1 / R[pg, "msgs_s"]
            n = int((90 - tcycle) / t)
            h = int((45 - tcycle) / t)
            printf "| %s | %d | %.4f | %d | %d | %d | %d |\n", st, P[i], t, n, int(n * P[i] / 3), h, int(h * P[i] / 3)
        }
    }
}' "$1"
