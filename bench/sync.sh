#!/bin/bash
# What --sync costs and how full its flushes are. Measures the disk's flush time F here (a
# 234-byte write and an fdatasync in the working directory, median of 200, the better of an
# append and a write into zero-filled room) and the round trip r of one record without
# --sync; then for N = 1, 8, 32 and 128 records in flight (N
# connections up to 32, the rest pipelined on them) runs tarrowd --keep-table --sync and
# tarrowd --keep-table, interleaved in each round, and prints the medians of ACKs/s, the p50
# and p99 ACK latency, the records per flush (the server's own figures) and the ratio of the
# rate to N/(F + r). Targets: at N = 128 at least 0.8 N records per flush; at N = 1 at least
# 0.85/F ACKs/s. Last, the server CPU per change with 100,000 alerts open under --sync
# (target at most 1 ms).
#   bench/sync.sh       ROUNDS (default 3), BUILD (default build) from the environment
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
rounds=${ROUNDS:-3}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" --target tarrowd tarrow_load tarrow_board_bench tarrowc >/dev/null
. "$top/bench/tarrowd_port.sh"

work=$(mktemp -d /tmp/tarrowd-sync-XXXXXX)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Starts tarrowd with the given options in a fresh directory; sets server_pid and port.
start_server() {
    local dir
    dir=$(mktemp -d "$work/run-XXXXXX")
    cd "$dir"
    "$build/server/tarrowd" --foreground "$@" 0 127.0.0.1 >/dev/null 2>&1 &
    server_pid=$!
    port=$(tarrowd_port)
    cd "$work"
}

stop_server() {
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
}

figure() { "$build/console/tarrowc" -p "$port" stats | awk -v n="$1" '$1 == n {print $2}'; }

median() {
    sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

# F: the median of 200 fdatasyncs of a 234-byte write, both appended to a growing file and
# written over a zero-filled one (as tarrowd's journal is); the smaller is taken.
read -r append_us flush_us < <(cd "$work" && python3 - <<'EOF'
import os, time
def probe(name, ahead):
    fd = os.open(name, os.O_WRONLY | os.O_CREAT, 0o644)
    if ahead:
        os.write(fd, bytes(1 << 20))
        os.fsync(fd)
    t = []
    for i in range(200):
        s = time.perf_counter()
        os.pwrite(fd, b"x" * 234, i * 234)
        os.fdatasync(fd)
        t.append(time.perf_counter() - s)
    os.close(fd)
    t.sort()
    return round(t[len(t) // 2] * 1e6)
a, o = probe("probe-append", False), probe("probe-ahead", True)
print(a, min(a, o))
EOF
)
start_server --keep-table
rt_us=$("$build/bench/tarrow_load" "$port" flight 1 4000 | awk '{print $4}')
stop_server
echo "disk flush F = $flush_us us (appending: $append_us us), round trip r = $rt_us us (medians)" >&2

printf "%5s %10s %10s %9s %9s %10s %8s %8s\n" N "sync/s" "plain/s" "p50 us" "p99 us" \
    "rec/flush" "/ N" "/ ideal"
for n in 1 8 32 128; do
    count=$(( n == 1 ? 1000 : 200 * n ))
    : >"$work/s" >"$work/p" >"$work/p50" >"$work/p99" >"$work/rpf"
    for ((r = 1; r <= rounds; r++)); do
        for kind in sync plain; do
            if [ "$kind" = sync ]; then start_server --keep-table --sync; else start_server --keep-table; fi
            out=$("$build/bench/tarrow_load" "$port" flight "$n" "$count")
            if [ "$kind" = sync ]; then
                echo "$out" | awk '{print $2}' >>"$work/s"
                echo "$out" | awk '{print $4}' >>"$work/p50"
                echo "$out" | awk '{print $6}' >>"$work/p99"
                f=$(figure sync_flushes); rec=$(figure sync_flush_records)
                awk -v f="$f" -v r="$rec" 'BEGIN {printf "%.2f\n", (f > 0 ? r / f : 0)}' >>"$work/rpf"
            else
                echo "$out" | awk '{print $2}' >>"$work/p"
            fi
            stop_server
        done
    done
    s=$(median <"$work/s"); p=$(median <"$work/p"); rpf=$(median <"$work/rpf")
    printf "%5d %10.0f %10.0f %9.0f %9.0f %10.2f %8.2f %8.2f\n" "$n" "$s" "$p" \
        "$(median <"$work/p50")" "$(median <"$work/p99")" "$rpf" \
        "$(awk -v a="$rpf" -v n="$n" 'BEGIN {print a / n}')" \
        "$(awk -v s="$s" -v n="$n" -v f="$flush_us" -v r="$rt_us" 'BEGIN {print s / (n * 1e6 / (f + r))}')"
done
echo "targets: rec/flush / N >= 0.80 at N = 128; at N = 1, sync/s >= 0.85 / F =" \
    "$(awk -v f="$flush_us" 'BEGIN {printf "%.0f", 0.85e6 / f}')/s"

# A change with 100,000 alerts open under --sync: server CPU per record of a churn.
start_server --keep-table --sync --table-size 100000
"$build/bench/tarrow_board_bench" fill "$port" 100000
before=$(awk '{print $1}' "/proc/$server_pid/schedstat")
t0=$(date +%s%N)
rate=$("$build/bench/tarrow_board_bench" churn "$port" 100000 3 | awk '{print $2}')
t1=$(date +%s%N)
after=$(awk '{print $1}' "/proc/$server_pid/schedstat")
stop_server
echo "with 100000 alerts open, --sync: $rate records/s, server CPU per change" \
    "$(awk -v d=$((after - before)) -v r="$rate" -v t=$((t1 - t0)) \
        'BEGIN {printf "%.1f", d / 1e3 / (r * t / 1e9)}') us (target <= 1000 us)"
