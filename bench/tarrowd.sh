#!/bin/bash
# Measures tarrowd against a minimal reference server (bench/reference.cc) under five loads,
# the two runs of each load interleaved in every round, and prints the medians.
#   bench/tarrowd.sh            ROUNDS (default 5), BUILD (default build) and LOADS (default
#                               all five) from the environment
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
rounds=${ROUNDS:-5}
[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" >/dev/null
cmake --build "$build" --target tarrowd tarrow_load tarrow_reference >/dev/null

work=$(mktemp -d /tmp/tarrowd-bench-XXXXXX)
server_pid=""
perf_pid=""
cleanup() {
    [ -n "$perf_pid" ] && kill "$perf_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# load name, records (or listings) per run; LOADS="stream connect" runs only those
loads=()
for entry in "stream 100000" "pipelined 40000" "single 10000" "connect 2000" "listing 2000"; do
    case " ${LOADS:-${entry%% *}} " in *" ${entry%% *} "*) loads+=("$entry") ;; esac
done

# Starts a server of the kind in a fresh directory; sets server_pid and port.
start_server() {
    local kind=$1 dir
    dir=$(mktemp -d "$work/run-XXXXXX")
    if [ "$kind" = tarrowd ]; then
        (cd "$dir" && exec "$build/server/tarrowd" --foreground 0 127.0.0.1 >/dev/null 2>&1) &
    else
        (cd "$dir" && exec "$build/bench/tarrow_reference" 0 127.0.0.1 >/dev/null 2>&1) &
    fi
    server_pid=$!
    port=""
    for _ in $(seq 200); do
        port=$(sed -n "s/.*listening on port address '127.0.0.1:\([0-9]*\)'.*/\1/p" \
            "$dir"/*.log 2>/dev/null | head -n 1)
        [ -n "$port" ] && return 0
        sleep 0.02
    done
    echo "$kind did not start" >&2
    exit 1
}

stop_server() {
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=""
}

# One timed run: prints "value cpu_ns vmhwm_kb".
timed_run() {
    local kind=$1 load=$2 count=$3 value cpu hwm
    start_server "$kind"
    value=$("$build/bench/tarrow_load" "$port" "$load" "$count" | awk '{print $2}')
    cpu=$(awk '{print $1}' "/proc/$server_pid/schedstat")
    hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$server_pid/status")
    stop_server
    echo "$value $cpu $hwm"
}

# One run counted with perf (not timed): prints the server's system calls during the load.
counted_run() {
    local kind=$1 load=$2 count=$3 out="$work/perf.txt"
    start_server "$kind"
    perf stat -e raw_syscalls:sys_enter -x, -o "$out" -p "$server_pid" 2>/dev/null &
    perf_pid=$!
    sleep 0.3
    "$build/bench/tarrow_load" "$port" "$load" "$count" >/dev/null
    kill -INT "$perf_pid" 2>/dev/null || true
    wait "$perf_pid" 2>/dev/null || true
    perf_pid=""
    stop_server
    awk -F, '/raw_syscalls/ {print $1}' "$out" 2>/dev/null | head -n 1
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

echo "tarrowd against the reference server: $rounds rounds, interleaved, medians" >&2
for ((r = 1; r <= rounds; r++)); do
    for entry in "${loads[@]}"; do
        set -- $entry
        # Alternate which server goes first, so neither always meets a warmer machine.
        if ((r % 2)); then kinds="tarrowd reference"; else kinds="reference tarrowd"; fi
        for kind in $kinds; do
            timed_run "$kind" "$1" "$2" >>"$work/$1.$kind"
        done
    done
    echo "round $r done" >&2
done

syscalls_ok=1
command -v perf >/dev/null 2>&1 || syscalls_ok=0
printf "%-10s %12s %12s %7s %15s %17s\n" load tarrowd reference ratio "CPU us/rec t/r" \
    "syscalls/rec t/r"
for entry in "${loads[@]}"; do
    set -- $entry
    load=$1 count=$2
    t=$(awk '{print $1}' "$work/$load.tarrowd" | median)
    ref=$(awk '{print $1}' "$work/$load.reference" | median)
    tc=$(awk -v n="$count" '{print $2 / 1000 / n}' "$work/$load.tarrowd" | median)
    rc=$(awk -v n="$count" '{print $2 / 1000 / n}' "$work/$load.reference" | median)
    ts="-" rs="-"
    if [ "$syscalls_ok" = 1 ]; then
        n=$(counted_run tarrowd "$load" "$count")
        [ -n "$n" ] && ts=$(awk -v s="$n" -v c="$count" 'BEGIN {printf "%.3f", s / c}')
        n=$(counted_run reference "$load" "$count")
        [ -n "$n" ] && rs=$(awk -v s="$n" -v c="$count" 'BEGIN {printf "%.3f", s / c}')
    fi
    if [ "$load" = listing ]; then
        printf "%-10s %9.1f us %9.1f us %7.2f %7.1f/%-7.1f %8s/%-8s (latency; per listing)\n" \
            "$load" "$t" "$ref" "$(awk -v a="$t" -v b="$ref" 'BEGIN {print a / b}')" \
            "$tc" "$rc" "$ts" "$rs"
    else
        printf "%-10s %10.0f/s %10.0f/s %7.2f %7.2f/%-7.2f %8s/%-8s\n" "$load" "$t" "$ref" \
            "$(awk -v a="$t" -v b="$ref" 'BEGIN {print a / b}')" "$tc" "$rc" "$ts" "$rs"
    fi
done
if [ -f "$work/stream.tarrowd" ]; then
    hwm_t=$(awk '{print $3}' "$work/stream.tarrowd" | sort -n | tail -n 1)
    hwm_r=$(awk '{print $3}' "$work/stream.reference" | sort -n | tail -n 1)
    echo "VmHWM after 100000 stream records: tarrowd $hwm_t kB, reference $hwm_r kB"
fi
