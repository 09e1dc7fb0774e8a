#!/bin/sh
# Starts tarrowd in a temporary directory on 127.0.0.1 and runs tarrow_hostile against it: a
# probe's ACK latency alone and under hostile clients, then whether the table stayed intact.
#   bench/hostile.sh [seconds-per-phase [rounds]]     (KEEP=file keeps a copy of the log)
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
. "$top/bench/tarrowd_port.sh"
dir=$(mktemp -d /tmp/tarrowd-hostile-XXXXXX)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; [ -n "${KEEP:-}" ] && cp log_*.log "$KEEP"; rm -rf "$dir"' EXIT
cd "$dir"
"$build/server/tarrowd" --foreground 0 127.0.0.1 >/dev/null 2>&1 &
pid=$!
port=$(tarrowd_port) || exit 1
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
