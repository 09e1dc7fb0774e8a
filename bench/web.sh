#!/bin/sh
# Figures of tarrow-web in headless Chromium, all on 127.0.0.1: rendering 5,000 alerts, a
# /metrics scrape, and CPU and memory with ten browsers open (see bench/README.md).
#   bench/web.sh [seconds-per-phase]
# Exit 77 where chromium, chromedriver or python3-selenium is missing.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
[ -x /usr/lib/chromium/chromium ] && [ -x /usr/bin/chromedriver ] ||
    { echo "chromium or chromedriver is missing" >&2; exit 77; }
cmake --build "$build" --target tarrowd flicket tarrow-web >/dev/null
exec /usr/bin/python3 "$top/bench/web.py" "$build/server/tarrowd" "$build/tools/flicket" \
    "$build/web/tarrow-web" "$@"
