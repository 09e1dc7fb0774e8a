#!/bin/bash
# CPU time of tarrow-bridge syncing a full board (50 alerts) into a real Alertmanager, all on
# 127.0.0.1. Every text is longer than a listing line carries, so each alert also costs a
# details request; ten alerts are acknowledged, so the bridge also lists silences.
#   bench/bridge.sh [runs]
# Each run is one `tarrow-bridge --once` (start-up and the take-up of earlier alerts included,
# so an upper bound of a sync in a running bridge), interleaved with `tarrow-bridge --version`
# as the reference for starting the process. Then a running bridge syncs every second for
# SECONDS_RUN (default 10) seconds, and its CPU time a sync is read from /proc.
# Exit 77 where prometheus-alertmanager is missing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
. "$top/bench/tarrowd_port.sh"
runs=${1:-20}
bridge=$build/bridge/tarrow-bridge
command -v prometheus-alertmanager >/dev/null || { echo "prometheus-alertmanager is missing" >&2; exit 77; }
command -v curl >/dev/null || { echo "curl is missing" >&2; exit 77; }

dir=$(mktemp -d /tmp/tarrow-bridge-bench-XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$dir"
}
trap cleanup EXIT
cd "$dir"

"$build/server/tarrowd" --foreground 0 127.0.0.1 >/dev/null 2>&1 &
pids+=($!)
port=$(tarrowd_port) || exit 1

printf 'route:\n  receiver: none\nreceivers:\n- name: none\n' > am.yml
url=
for _ in 1 2 3; do
    amport=$((20000 + RANDOM % 40000))
    prometheus-alertmanager --config.file=am.yml --storage.path="$dir/am" \
        --web.listen-address=127.0.0.1:$amport --cluster.listen-address= >am.log 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        if curl -sf "http://127.0.0.1:$amport/-/ready" >/dev/null; then url=http://127.0.0.1:$amport; break; fi
        kill -0 "${pids[-1]}" 2>/dev/null || break
        sleep 0.1
    done
    [ -n "$url" ] && break
done
[ -n "$url" ] || { echo "alertmanager did not start" >&2; cat am.log >&2; exit 1; }

text=$(printf 'disk usage above threshold on a volume that matters, %.0s' 1 2)
for i in $(seq -w 1 50); do
    "$build/tools/flicket" "$port" 127.0.0.1 critical "KEY$i" "$i $text" >/dev/null
done
host=$(hostname | cut -c1-15)
if [ -x "$build/console/tarrowc" ]; then
    for i in $(seq -w 1 10); do "$build/console/tarrowc" -p "$port" ack "$host" "KEY$i" >/dev/null; done
fi
args=(-p "$port" --alertmanager "$url" --once)
"$bridge" "${args[@]}" 2>/dev/null     # first sync: fires 50 alerts, makes 10 silences

# Sets now_us to the CPU time (user + system) of this shell's children so far, in microseconds.
# Only builtins here: a child started to measure would be counted in the next interval.
to_us() {   # adds a time such as 0m0.012s to now_us
    local m=${1%%m*} sec=${1#*m}; sec=${sec%s}
    local whole=${sec%.*} frac=${sec#*.}000000
    now_us=$(( now_us + (10#$m * 60 + 10#$whole) * 1000000 + 10#${frac:0:6} ))
}
cpu() {
    times >times.txt
    local u s
    { read -r _ _; read -r u s; } <times.txt
    now_us=0; to_us "$u"; to_us "$s"
}
ref=0 sync=0
for _ in $(seq "$runs"); do
    cpu; a=$now_us
    "$bridge" --version >/dev/null
    cpu; b=$now_us
    "$bridge" "${args[@]}" 2>>bridge.err || { echo "a sync failed:" >&2; cat bridge.err >&2; exit 1; }
    cpu; c=$now_us
    ref=$((ref + b - a)); sync=$((sync + c - b))
done
echo "alerts on the board: $(curl -s "$url/api/v2/alerts" | grep -o '"alertname"' | wc -l), runs: $runs"
awk -v r="$ref" -v s="$sync" -v n="$runs" 'BEGIN {
    printf "tarrow-bridge --version: %.1f ms CPU a run\n", r / n / 1000
    printf "tarrow-bridge --once:    %.1f ms CPU a run (ratio %.1f)\n", s / n / 1000, (r > 0 ? s / r : 0)
}'
if command -v strace >/dev/null; then
    posts=$(strace -f -e trace=sendto,write,sendmsg -s 32 "$bridge" "${args[@]}" 2>&1 | grep -c 'POST /api/v2/alerts' || true)
    echo "alert posts in one sync to one Alertmanager: $posts"
fi

# A running bridge: CPU ticks after its first sync and SECONDS syncs later.
secs=${SECONDS_RUN:-10}
"$bridge" -p "$port" --alertmanager "$url" -i 1 2>>bridge.err &
bp=$!
pids+=($bp)
sleep 1.5
t1=$(awk '{ print $14 + $15 }' /proc/$bp/stat)
sleep "$secs"
t2=$(awk '{ print $14 + $15 }' /proc/$bp/stat)
kill "$bp"
awk -v t="$((t2 - t1))" -v n="$secs" -v hz="$(getconf CLK_TCK)" \
    'BEGIN { printf "running bridge:          %.1f ms CPU a sync (%d syncs)\n", t * 1000 / hz / n, n }'
