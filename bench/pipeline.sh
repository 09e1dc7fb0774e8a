#!/bin/bash
# Benchmark: the operators' pipeline `sievel ssh-logins.params | sievel-act` into tarrowd on
# 127.0.0.1, measured against `sievel` alone on the same lines in the same run.
#
# usage: bench/pipeline.sh
#   BUILD=dir    build directory (default build)
#   LINES=n      lines of the storm (default 100000, what sievel-act queues by default;
#                every one is a failed login from one of three hosts, so every one is an
#                action line)
#   RUNS=n       interleaved runs of each case (default 3); the best run counts
#   RATE=n       lines a second for the latency case (default 5000), for FED_SECONDS (default 5)
#
# 1. Storm into one board and into two: sievel alone against the whole pipeline with its
#    default options, which ends only when every record is ACKed (sievel-act exits 0, so none
#    was dropped from a full queue; each board's log is counted too). Then into two boards
#    with --spool (each board's queue on disk as well), against the memory queue.
#    Target: at least 50,000 lines a second, with and without the spool.
# 2. Lines fed at RATE: the time from each log line to the ACK of its alert, through a relay
#    in front of tarrowd (tarrow_pipeline_probe). Target: 99 % within 20 ms.
# 3. Memory: sievel-act's peak RSS with its board gone, for the whole storm, with the default
#    queue and a queue a tenth of it: bounded by the queue, not by the input.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
lines=${LINES:-100000}
runs=${RUNS:-3}
rate=${RATE:-5000}
seconds=${FED_SECONDS:-5}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" --target tarrowd sievel sievel-act tarrow_pipeline_probe >/dev/null
. "$top/bench/tarrowd_port.sh"
sievel=$build/filter/sievel
act=$build/tools/sievel-act
params=$top/examples/ssh-logins.params

work=$(mktemp -d /tmp/pipeline-bench-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# Starts a tarrowd in a fresh directory; prints "pid port dir".
start_board() {
    local dir
    dir=$(mktemp -d "$work/board-XXXXXX")
    (cd "$dir" && exec "$build/server/tarrowd" --foreground 0 127.0.0.1 >/dev/null 2>&1) &
    local pid=$!
    pids+=("$pid")
    local port
    port=$(cd "$dir" && tarrowd_port)
    echo "$pid $port $dir"
}

stop_board() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

awk -v n="$lines" 'BEGIN {
    for (i = 0; i < n; i++)
        printf "2026-12-07T10:00:01+0000 web%d sshd[%d]: Failed password for root from " \
               "10.0.%d.%d port %d ssh2\n", i % 3, 800 + i % 50, int(i / 256) % 256, i % 256,
               40000 + i % 20000
}' >"$work/storm.log"
[ "$("$sievel" "$params" <"$work/storm.log" | wc -l)" -eq "$lines" ] ||
    { echo "not every storm line is an action line" >&2; exit 1; }

now() { date +%s.%N; }
# timed NAME COMMAND: one run, its seconds appended to NAME.times; fails when the command does.
timed() {
    local name=$1 t0 t1
    shift
    t0=$(now)
    "$@"
    t1=$(now)
    echo "$t0 $t1" | awk '{ printf "%.4f\n", $2 - $1 }' >>"$work/$name.times"
}
best() { sort -n "$work/$1.times" | head -1; }

sievel_alone() { "$sievel" "$params" <"$work/storm.log" >"$work/alone.out"; }
# pipeline [--spool DIR] BOARD-PORT...: the whole storm onto the boards, every record ACKed.
pipeline() {
    local args=()
    if [ "$1" = --spool ]; then args+=(--spool "$2"); shift 2; fi
    for p in "$@"; do args+=(--board "127.0.0.1:$p"); done
    "$sievel" "$params" <"$work/storm.log" | "$act" "${args[@]}" ||
        { echo "sievel-act did not deliver everything" >&2; exit 1; }
}

echo "storm: $lines failed-login lines from three hosts; best of $runs interleaved runs"
for i in $(seq "$runs"); do
    read -r pid1 port1 dir1 < <(start_board)
    read -r pid2 port2 dir2 < <(start_board)
    read -r pid3 port3 dir3 < <(start_board)
    read -r pid4 port4 dir4 < <(start_board)
    read -r pid5 port5 dir5 < <(start_board)
    timed alone sievel_alone
    timed one pipeline "$port1"
    timed two pipeline "$port2" "$port3"
    timed spool pipeline --spool "$work/spool-$i" "$port4" "$port5"
    # Everything was ACKed: each spool file is back to its 64-byte header.
    for f in "$work/spool-$i"/*.spool; do
        [ "$(stat -c %s "$f")" -eq 64 ] || { echo "$f holds records after the run" >&2; exit 1; }
    done
    for d in "$dir1" "$dir2" "$dir3" "$dir4" "$dir5"; do
        got=$(cat "$d"/log_*.log | grep -c 'AINF: ' || true)
        [ "$got" -eq "$lines" ] || { echo "a board logged $got of $lines alerts" >&2; exit 1; }
    done
    stop_board "$pid1"; stop_board "$pid2"; stop_board "$pid3"
    stop_board "$pid4"; stop_board "$pid5"
done
a=$(best alone); o=$(best one); t=$(best two); s=$(best spool)
awk -v a="$a" -v o="$o" -v t="$t" -v s="$s" -v n="$lines" 'BEGIN {
    printf "  %-34s %7.3f s  %10.0f lines/s\n", "sievel alone", a, n / a;
    printf "  %-34s %7.3f s  %10.0f lines/s  (%.3f of sievel alone)\n",
        "sievel | sievel-act, one board", o, n / o, a / o;
    printf "  %-34s %7.3f s  %10.0f lines/s  (%.3f of sievel alone)\n",
        "sievel | sievel-act, two boards", t, n / t, a / t;
    printf "  %-34s %7.3f s  %10.0f lines/s  (%.3f of the memory queue)\n",
        "two boards, --spool", s, n / s, t / s;
    printf "  target 50000 lines/s: %s\n",
        (n / o >= 50000 && n / t >= 50000 && n / s >= 50000) ? "met" : "MISSED";
}'

echo
echo "fed at $rate lines/s for $seconds s, ACK after its log line (through a relay):"
read -r pid1 port1 dir1 < <(start_board)
"$build/bench/tarrow_pipeline_probe" "$rate" $((rate * seconds)) "$port1" \
    "'$sievel' '$params' | '$act' -p @PORT@ 2>'$work/act.err'" | tee "$work/latency"
stop_board "$pid1"
awk '{ for (i = 1; i < NF; i++) if ($i == "p99") { v = $(i + 1) } }
     END { printf "  target p99 under 20 ms: %s\n", (v != "" && v + 0 < 20) ? "met" : "MISSED" }' \
    "$work/latency"

echo
echo "peak RSS of sievel-act with its board gone (--drain 0, records dropped when full):"
for q in 100000 10000; do
    "$sievel" "$params" <"$work/storm.log" |
        /usr/bin/time -f "%M" -o "$work/rss" "$act" -p 1 --drain 0 --queue "$q" 2>/dev/null || true
    echo "  --queue $q: $(tail -1 "$work/rss") KB ($((q * 234 / 1024)) KB of records)"
done
