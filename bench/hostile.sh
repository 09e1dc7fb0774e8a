#!/bin/sh
# Starts tarrowd in a temporary directory on 127.0.0.1 and runs tarrow_hostile against it: a
# probe's ACK latency alone and under hostile clients, then whether the table stayed intact.
#   bench/hostile.sh [seconds-per-phase [rounds]]     (KEEP=file keeps a copy of the log)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
dir=$(mktemp -d /tmp/tarrowd-hostile-XXXXXX)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; [ -n "${KEEP:-}" ] && cp log_*.log "$KEEP"; rm -rf "$dir"' EXIT
cd "$dir"
"$build/server/tarrowd" --foreground 0 127.0.0.1 >/dev/null 2>&1 &
pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n "s/.*Server listening on port address '127.0.0.1:\([0-9]*\)'.*/\1/p" log_*.log 2>/dev/null || true)
    [ -n "$port" ] && break
    sleep 0.05
done
[ -n "$port" ] || { echo "tarrowd did not start" >&2; exit 1; }
status=0
"$build/bench/tarrow_hostile" "$port" "${1:-3}" "${2:-2}" || status=1
if kill -0 "$pid" 2>/dev/null; then
    echo "server: still running"
else
    echo "server: GONE"
    status=1
fi
echo "log: $(cat log_*.log | wc -c) bytes, $(grep -c WARN log_*.log || true) WARN lines"
exit $status
