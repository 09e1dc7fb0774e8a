#!/usr/bin/env bash
# tarrowc watch, driven in a detached tmux session: an alert raised with flicket appears, `a`
# acknowledges it, its state changes, `q` quits. Every wait is bounded.
# usage: tarrowc_watch.sh TARROWD FLICKET TARROWC     (exit 0 pass, 1 fail, 77 skip)
set -u
tarrowd=$(realpath "$1") flicket=$(realpath "$2") tarrowc=$(realpath "$3")

command -v tmux >/dev/null 2>&1 || { echo "tmux not installed: skipped"; exit 77; }

dir=$(mktemp -d /tmp/tarrowc-watch-XXXXXX)
sock="tarrowc-watch-$$"
server_pid=""
cleanup() {
    tmux -L "$sock" kill-server >/dev/null 2>&1
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null
        wait "$server_pid" 2>/dev/null
    fi
    rm -rf "$dir"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    echo "--- screen ---"
    tmux -L "$sock" capture-pane -p -t watch 2>/dev/null
    echo "--- server log ---"
    cat "$dir"/log_*.log 2>/dev/null
    exit 1
}

screen() { tmux -L "$sock" capture-pane -p -t watch 2>/dev/null; }

# Waits up to $1 tenths of a second for the screen to match the extended regex $2.
wait_screen() {
    local tries=$1 pattern=$2
    for ((i = 0; i < tries; i++)); do
        screen | grep -Eq -- "$pattern" && return 0
        sleep 0.1
    done
    return 1
}

(cd "$dir" && exec "$tarrowd" --foreground 0 127.0.0.1 >/dev/null 2>&1) &
server_pid=$!
port=""
for ((i = 0; i < 50; i++)); do
    port=$(sed -n "s/.*INFO: Server listening on port address '[^']*:\([0-9]*\)'.*/\1/p" \
        "$dir"/log_*.log 2>/dev/null | head -n 1)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || fail "tarrowd did not start"

tmux -L "$sock" -f /dev/null new-session -d -s watch -x 100 -y 24 \
    "$tarrowc -p $port -i 1 watch" || fail "tmux could not start"
wait_screen 50 "no alerts at present" || fail "the empty table was not shown"

"$flicket" "$port" 127.0.0.1 critical WATCHKEY "watched alert" >/dev/null ||
    fail "flicket failed"
wait_screen 50 "WATCHKEY +critical +watched alert" || fail "the alert did not appear"
screen | grep -Eq "1 alert " || fail "the title does not count one alert"

tmux -L "$sock" send-keys -t watch a
wait_screen 50 "WATCHKEY +acked +watched alert" || fail "the alert was not shown acknowledged"
wait_screen 20 "acknowledged .* WATCHKEY" || fail "no acknowledgement message in the status line"
grep -q "AC WATCHKEY       (CONSOLE COMMAND)" "$dir"/log_*.log ||
    fail "the server did not log the acknowledgement"

tmux -L "$sock" send-keys -t watch q
for ((i = 0; i < 50; i++)); do
    tmux -L "$sock" has-session -t watch 2>/dev/null || { echo "PASS"; exit 0; }
    sleep 0.1
done
fail "q did not end the view"
