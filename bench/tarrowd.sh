#!/bin/sh
# Starts tarrowd in a temporary directory on 127.0.0.1 and drives it with tarrow_load.
#   bench/tarrowd.sh [connections [records-per-connection]]
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
dir=$(mktemp -d /tmp/tarrowd-bench-XXXXXX)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$dir"' EXIT
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
"$build/bench/tarrow_load" "$port" "${1:-8}" "${2:-20000}"
echo "log: $(cat log_*.log | wc -c) bytes"
