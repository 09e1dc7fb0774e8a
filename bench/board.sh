#!/bin/bash
# A board of 10,000 open alerts against one of 50, interleaved in each of ROUNDS rounds
# (default 5), medians printed:
#   - pipelined clears and raises of random identities (32 in flight, every one ACKed):
#     the rate with 10,000 open must be at least 0.8 times the rate with 50;
#   - a whole listing (SA, paged) of 10,000 alerts: server CPU per listing, target < 20 ms;
#   - a summary (SS): server CPU per request, target < 50 us;
#   - VmHWM of the server with 10,000 alerts: target at most 2 MB + 300 bytes per slot;
#   - acknowledging 20,000 alerts on a board of 100,000 against 20,000 on one of 20,000:
#     server CPU per acknowledge, target at most 5 us at 100,000;
#   - tarrowc list --json of 10,000 acknowledged alerts against 10,000 unacknowledged ones:
#     wall time, target at most 1.3 times.
# Server CPU comes from /proc/PID/schedstat. BUILD names the build directory.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
rounds=${ROUNDS:-5}
seconds=${SECONDS_PER_RUN:-2}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" --target tarrowd tarrow_board_bench tarrowc >/dev/null
bench=$build/bench/tarrow_board_bench

work=$(mktemp -d /tmp/tarrow-board-bench-XXXXXX)
server_pid=""
cleanup() {
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Starts tarrowd with a table of $1 slots in a fresh directory; sets server_pid and port.
start_server() {
    local dir
    dir=$(mktemp -d "$work/run-XXXXXX")
    (cd "$dir" && exec "$build/server/tarrowd" --table-size "$1" --foreground 0 127.0.0.1 \
        >/dev/null 2>&1) &
    server_pid=$!
    port=""
    for _ in $(seq 200); do
        port=$(sed -n "s/.*listening on port address '127.0.0.1:\([0-9]*\)'.*/\1/p" \
            "$dir"/*.log 2>/dev/null | head -n 1)
        [ -n "$port" ] && return 0
        sleep 0.02
    done
    echo "tarrowd did not start" >&2
    exit 1
}

stop_server() {
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
}

cpu_ns() { awk '{print $1}' "/proc/$server_pid/schedstat"; }

median() { sort -n | awk '{v[NR]=$1} END {print v[int((NR + 1) / 2)]}'; }

rate50=(); rate10k=(); list_ms=(); summary_us=(); hwm=(); ack_us=(); ack_ref_us=(); json=()

# Seconds that tarrowc list --json takes against the running server, best of 3.
json_time() {
    local best=""
    for _ in 1 2 3; do
        local t0 t1
        t0=$(date +%s%N)
        "$build/console/tarrowc" -p "$port" list --json >/dev/null
        t1=$(date +%s%N)
        local t=$(( t1 - t0 ))
        [ -z "$best" ] || [ "$t" -lt "$best" ] && best=$t
    done
    echo "$best"
}
for r in $(seq "$rounds"); do
    for size in 50 10000; do
        start_server "$size"
        "$bench" fill "$port" "$size"
        rate=$("$bench" churn "$port" "$size" "$seconds" | awk '{print $2}')
        if [ "$size" = 50 ]; then
            rate50+=("$rate")
        else
            rate10k+=("$rate")
            before=$(cpu_ns)
            rows=$("$bench" list "$port" 20 | awk '{print $2}')
            [ "$rows" = 10000 ] || { echo "listing saw $rows rows, not 10000" >&2; exit 1; }
            after=$(cpu_ns)
            list_ms+=("$(awk -v d=$((after - before)) 'BEGIN {printf "%.2f", d / 20 / 1e6}')")
            before=$(cpu_ns)
            "$bench" summary "$port" 2000
            after=$(cpu_ns)
            summary_us+=("$(awk -v d=$((after - before)) 'BEGIN {printf "%.1f", d / 2000 / 1e3}')")
            hwm+=("$(awk '/^VmHWM/ {print $2}' "/proc/$server_pid/status")")
        fi
        stop_server
    done
done

for r in $(seq "$rounds"); do
    for size in 20000 100000; do
        start_server "$size"
        "$bench" fill "$port" "$size"
        before=$(cpu_ns)
        "$bench" ack "$port" 20000
        after=$(cpu_ns)
        us=$(awk -v d=$((after - before)) 'BEGIN {printf "%.2f", d / 20000 / 1e3}')
        if [ "$size" = 100000 ]; then ack_us+=("$us"); else ack_ref_us+=("$us"); fi
        stop_server
    done
    start_server 10000
    "$bench" fill "$port" 10000
    plain=$(json_time)
    "$bench" ack "$port" 10000
    acked=$(json_time)
    json+=("$(awk -v a="$acked" -v p="$plain" 'BEGIN {printf "%.3f", a / p}')")
    stop_server
done

med() { printf '%s\n' "$@" | median; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / b}'; }

m50=$(med "${rate50[@]}")
m10k=$(med "${rate10k[@]}")
echo "churn, records/s (median of $rounds): 50 open $m50, 10000 open $m10k," \
     "ratio $(ratio "$m10k" "$m50") (target >= 0.80)"
echo "whole listing of 10000, server CPU per listing: $(med "${list_ms[@]}") ms (target < 20 ms)"
echo "summary, server CPU per request: $(med "${summary_us[@]}") us (target < 50 us)"
echo "VmHWM with 10000 alerts: $(med "${hwm[@]}") kB," \
     "limit $(( (2 * 1024 * 1024 + 300 * 10000) / 1024 )) kB"
a=$(med "${ack_us[@]}")
ar=$(med "${ack_ref_us[@]}")
echo "acknowledge, server CPU each: board of 100000 $a us, of 20000 $ar us," \
     "ratio $(ratio "$a" "$ar") (target <= 5 us)"
echo "tarrowc list --json, 10000 acknowledged / 10000 not: $(med "${json[@]}") (target <= 1.30)"
