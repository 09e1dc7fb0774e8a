#!/bin/bash
# Measures what --sync costs: tarrowd --keep-table --sync against tarrowd --keep-table under
# the pipelined load (4 connections, 32 ACKs in flight on each) and the single load (one ACK
# in flight), the two runs of each load interleaved in every round; prints the medians, their
# ratio, and the syncs per record of a --sync run (counted by the power-cut recorder).
#   bench/sync.sh       ROUNDS (default 5), BUILD (default build) from the environment
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
rounds=${ROUNDS:-5}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" --target tarrowd tarrow_load >/dev/null
recorder=""
if cmake --build "$build" --target powercut_recorder >/dev/null 2>&1; then
    recorder=$(find "$build" -name libpowercut_recorder.so | head -n 1)
fi
. "$top/bench/tarrowd_port.sh"

work=$(mktemp -d /tmp/tarrowd-sync-XXXXXX)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# load name, records per run
loads=("pipelined 20000" "single 2000")

# Starts tarrowd (--keep-table, plus --sync for the kind sync) in a fresh directory; sets
# server_pid and port. Extra arguments are environment entries for the server.
start_server() {
    local kind=$1 dir opts="--keep-table"
    shift
    [ "$kind" = sync ] && opts="--keep-table --sync"
    dir=$(mktemp -d "$work/run-XXXXXX")
    cd "$dir"
    env "$@" "$build/server/tarrowd" --foreground $opts 0 127.0.0.1 >/dev/null 2>&1 &
    server_pid=$!
    port=$(tarrowd_port)
    cd "$work"
}

stop_server() {
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
}

timed_run() {
    start_server "$1"
    "$build/bench/tarrow_load" "$port" "$2" "$3" | awk '{print $2}'
    stop_server
}

median() {
    sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'
}

echo "tarrowd --sync against tarrowd: $rounds rounds, interleaved, medians" >&2
for ((r = 1; r <= rounds; r++)); do
    for entry in "${loads[@]}"; do
        set -- $entry
        if ((r % 2)); then kinds="plain sync"; else kinds="sync plain"; fi
        for kind in $kinds; do
            timed_run "$kind" "$1" "$2" >>"$work/$1.$kind"
        done
    done
    echo "round $r: $(for e in "${loads[@]}"; do set -- $e
        printf '%s sync %s plain %s  ' "$1" "$(tail -n 1 "$work/$1.sync")" \
            "$(tail -n 1 "$work/$1.plain")"; done)" >&2
done

printf "%-10s %12s %12s %7s %14s\n" load "--sync" plain ratio "syncs/record"
for entry in "${loads[@]}"; do
    set -- $entry
    load=$1 count=$2
    s=$(median <"$work/$load.sync")
    p=$(median <"$work/$load.plain")
    per="-"
    if [ -n "$recorder" ]; then
        rm -f "$work/ops"
        start_server sync "LD_PRELOAD=$recorder" "POWERCUT_LOG=$work/ops"
        "$build/bench/tarrow_load" "$port" "$load" "$count" >/dev/null
        stop_server
        per=$(awk -v n="$count" '/^[SD]/ {s++} END {printf "%.4f", s / n}' "$work/ops")
    fi
    printf "%-10s %10.0f/s %10.0f/s %7.3f %14s\n" "$load" "$s" "$p" \
        "$(awk -v a="$s" -v b="$p" 'BEGIN {print a / b}')" "$per"
done
