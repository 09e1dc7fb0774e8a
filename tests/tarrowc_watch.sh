#!/usr/bin/env bash
# tarrowc watch, driven in a detached 80x24 tmux session: 31 alerts, every one reachable with
# PgDn and End, the header's counts, a cut text with its mark, stand-ins for control bytes, a
# filter, a sort, the help overlay, a new critical alert marked, details, acknowledge with a
# note, un-acknowledge; then a board shrunk and emptied under sorted, filtered and scrolled
# views (K, another console, a restart), which the view survives; quit. Every wait is bounded.
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
keys() { tmux -L "$sock" send-keys -t watch "$@"; }

# Every wait below is on what the screen shows, up to a deadline: $1 tenths of a second, times
# slow, so that it holds on a machine loaded to twice its cores. A pass waits no longer for it.
slow=5
now_ms() { date +%s%3N; }

# Waits until the screen matches the extended regex $2 (until it no longer does, with $3 = !).
wait_screen() {
    local tries=$(($1 * slow)) pattern=$2 want=${3:-}
    local end=$(($(now_ms) + tries * 100)) i
    for ((i = 0; i < tries; i++)); do
        if screen | grep -Eq -- "$pattern"; then
            [ -z "$want" ] && return 0
        else
            [ -n "$want" ] && return 0
        fi
        [ "$(now_ms)" -ge "$end" ] && return 1
        sleep 0.1
    done
    return 1
}
wait_gone() { wait_screen "$1" "$2" !; }

# Waits until line $2 of the screen matches $3.
wait_line() {
    local tries=$(($1 * slow)) line=$2 pattern=$3
    local end=$(($(now_ms) + tries * 100)) i
    for ((i = 0; i < tries; i++)); do
        screen | sed -n "${line}p" | grep -Eq -- "$pattern" && return 0
        [ "$(now_ms)" -ge "$end" ] && return 1
        sleep 0.1
    done
    return 1
}

# Waits until the screen differs from $2.
wait_changed() {
    local tries=$(($1 * slow)) before=$2
    local end=$(($(now_ms) + tries * 100)) i
    for ((i = 0; i < tries; i++)); do
        [ "$(screen)" != "$before" ] && return 0
        [ "$(now_ms)" -ge "$end" ] && return 1
        sleep 0.1
    done
    return 1
}

raise() { "$flicket" "$port" 127.0.0.1 "$@" >/dev/null || fail "flicket $*"; }

(cd "$dir" && exec "$tarrowd" --foreground 0 127.0.0.1 >/dev/null 2>&1) &
server_pid=$!
port=""
for ((i = 0; i < 50 * slow; i++)); do
    port=$(sed -n "s/.*INFO: Server listening on port address '[^']*:\([0-9]*\)'.*/\1/p" \
        "$dir"/log_*.log 2>/dev/null | head -n 1)
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || fail "tarrowd did not start"

tmux -L "$sock" -f /dev/null new-session -d -s watch -x 80 -y 24 \
    "LC_ALL=C.UTF-8 $tarrowc -p $port -i 1 watch" || fail "tmux could not start"
wait_screen 50 "no alerts at present" || fail "the empty table was not shown"

# 30 alerts with texts too long for the screen, and one whose text holds ESC with a colour,
# an OSC window title, BEL, CR, backspace and the C1 byte CSI.
crit=0 warn=0 info=0
for ((i = 1; i <= 30; i++)); do
    k=$(printf 'KEY%02d' "$i")
    if ((i % 3 == 0)); then sev=warning; warn=$((warn + 1))
    elif ((i % 5 == 0)); then sev=info; info=$((info + 1))
    else sev=critical; crit=$((crit + 1)); fi
    raise "$sev" "$k" "load average high on svc$i, over the limit for the last ten minutes"
done
raise critical CTRL $'\e[31m\e]0;owned\a\a\rX\b\x9b2J'
crit=$((crit + 1))
wait_screen 50 "^ 31\+0 \| crit $crit\+0 \| warn $warn\+0 \| info $info\+0 \| acked 0 +127\.0\.0\.1:$port " ||
    fail "the header does not count 31 alerts by state"

# The cut text ends in its mark; the stand-ins show and nothing reached the terminal raw.
screen | grep -Eq "KEY01 +critical +load average high on svc1, over t…$" ||
    fail "no cut text with its mark"
seen=$(screen)
keys NPage
wait_changed 20 "$seen" || fail "PgDn did not move the view"
seen+=$(screen)
keys End
wait_screen 20 "CTRL +critical +\^\[\[31m\^\[\]0;owned\^G\^G\^MX\^H\\\\x9b2J$" ||
    fail "the control bytes do not show as stand-ins"
seen+=$(screen)
n=$(grep -Eo "KEY[0-9]{2}|CTRL" <<<"$seen" | sort -u | wc -l)
[ "$n" -eq 31 ] || fail "only $n of 31 alerts were reachable with PgDn and End"
[ "$(tmux -L "$sock" display-message -p -t watch '#{pane_title}')" != owned ] ||
    fail "an alert's text changed the window title"

# A filter on host, key and text; Esc clears it.
keys /
keys -l svc7,
wait_gone 20 "KEY01 " || fail "the filter kept an alert that does not match"
keys Enter
wait_screen 20 "showing 1 of 31" || fail "the filter did not narrow the list"
screen | grep -Eq "KEY07 " || fail "the filter lost the matching alert"
keys Escape
wait_gone 20 "showing 1 of 31" || fail "Esc did not clear the filter"

# Sort by severity: criticals first, information alerts last.
keys s Home
wait_screen 20 "sort: severity" || fail "s did not sort by severity"
screen | sed -n 3p | grep -q critical || fail "severity order does not start with a critical"
keys End
wait_line 20 23 " info " || fail "severity order does not end with info"
keys s s s Home
wait_screen 20 "sort: table" || fail "s did not cycle back to table order"

# The help overlay names the keys; any key closes it.
keys '?'
wait_screen 20 "hide or show acknowledged" || fail "no help overlay"
keys x
wait_gone 20 "hide or show acknowledged" || fail "the help overlay did not close"

# A watch started on a board of critical alerts marks none of them new; a new critical alert
# is marked until it is selected.
tmux -L "$sock" kill-session -t watch
tmux -L "$sock" -f /dev/null new-session -d -s watch -x 80 -y 24 \
    "LC_ALL=C.UTF-8 $tarrowc -p $port -i 1 watch" || fail "tmux could not start again"
wait_screen 50 "^ 31\+0 " || fail "the watch started again did not list the board"
! screen | grep -q "new critical" || fail "the first listing marked its critical alerts new"
keys Home
raise critical NEWONE "just now"
wait_screen 30 "^ 32\+0 " || fail "the new alert did not arrive"
screen | grep -Eq "(^|[^0-9])1 new critical" ||
    fail "the status line does not count the one new critical alert"
keys NPage
wait_screen 20 "^\* +[0-9]+[smhd] .*NEWONE +critical" || fail "a new critical alert was not marked"
keys End
wait_gone 20 "^\* +[0-9]+[smhd] .*NEWONE" || fail "the mark stayed on the selected alert"

# Details as labelled fields, the whole text.
keys Home Enter
wait_screen 20 "^ Text +load average high on svc1, over the limit for the last ten" ||
    fail "the details view does not show the whole text"
screen | grep -Eq "^ Persistent +yes" || fail "the details view has no Persistent field"
keys x

# Acknowledge the first alert with a note: the row names who, the details say the rest.
keys Home a
wait_screen 20 "note for the ack" || fail "a did not ask for a note"
keys "disk swap" Enter
wait_screen 20 "ack expires after" || fail "a did not ask for a duration"
keys Enter
wait_screen 50 "KEY01 +ack crit +\[[^]]+\] load average" ||
    fail "the alert was not shown acknowledged with who"
wait_screen 20 "acknowledged .* KEY01" || fail "no acknowledgement message in the status line"
wait_screen 20 "\| acked 1 " || fail "the header does not count the acknowledged alert"
grep -Eq "AINF: Acknowledged [^ ]+ +KEY01 +AC by [^ ]+ until never: disk swap$" "$dir"/log_*.log ||
    fail "the server did not log the acknowledgement"
keys Home Enter
wait_screen 20 "^ State +acknowledged critical" || fail "the details lost the severity"
screen | grep -Eq "^ Note +disk swap" || fail "the details do not show the note"
keys x

# Un-acknowledge it, then acknowledge it again with no note.
keys Home u
wait_screen 50 "KEY01 +critical" || fail "u did not return the alert to critical"
wait_screen 20 "\| acked 0 " || fail "the header still counts an acknowledged alert"
keys Home a Enter Enter
wait_screen 50 "KEY01 +ack crit" || fail "an empty note did not acknowledge"

# The rest shrinks and empties the board under the view, with the selection away from the
# first row, in sorted and filtered views; the view must stay up and say so.
alive() { tmux -L "$sock" has-session -t watch 2>/dev/null || fail "tarrowc ended: $*"; }
host=$("$tarrowc" -p "$port" list --tsv | head -n 1 | cut -f 2)
[ -n "$host" ] || fail "no host name in the listing"

# K in a view sorted by severity and filtered counts what goes in table order.
keys s
wait_screen 20 "sort: severity" || fail "s did not sort by severity"
keys /
keys -l KEY2
keys Enter End K
wait_screen 20 "delete 25 alerts, from $host KEY01 to $host KEY25\? \(y/n\)" ||
    fail "K did not count the alerts it deletes in table order"
keys n
wait_gone 20 "delete 25 alerts" || fail "n did not dismiss the question"
screen | grep -q "^ 32+0 " || fail "n deleted alerts"
keys K
wait_screen 20 "delete 25 alerts" || fail "K did not ask again"
keys y
wait_screen 30 "^ 7\+0 " || { alive "after K shrank the board"; fail "K did not delete 25"; }
screen | grep -Eq "KEY29 +critical" || fail "the shrunk filtered view lost KEY29"

# Emptied by another console while the last row of a sorted view is selected.
keys Escape End
wait_screen 20 "NEWONE" || fail "Esc did not clear the filter"
"$tarrowc" -p "$port" delete-through "$host" NEWONE >/dev/null || fail "delete-through failed"
wait_screen 30 "no alerts at present" || { alive "when the board emptied"; fail "no empty board"; }
screen | grep -q "^ 0+0 " || fail "the header does not count 0 alerts"

# K on the last alert of the table empties the board from the view itself.
keys s s s
wait_screen 20 "sort: table" || fail "s did not cycle back to table order"
raise critical A1 one
raise warning A2 two
raise info A3 three
wait_screen 30 "^ 3\+0 " || fail "three new alerts did not arrive"
keys End K
wait_screen 20 "delete 3 alerts, from $host A1 to $host A3\?" || fail "K did not count 3"
keys y
wait_screen 30 "no alerts at present" || { alive "after K emptied the board"; fail "K left alerts"; }

# A restart without a saved table empties the board under a view sorted by host and
# scrolled to its end; the view says the server was lost, then shows the empty board.
for ((i = 1; i <= 30; i++)); do raise critical "R$i" "before the restart"; done
wait_screen 30 "^ 30\+0 " || fail "the alerts before the restart did not arrive"
keys s s s End
wait_screen 20 "sort: host" || fail "s did not sort by host"
kill "$server_pid"
wait "$server_pid" 2>/dev/null
server_pid=""
wait_screen 30 "server lost" || { alive "when the server stopped"; fail "no lost server"; }
(cd "$dir" && exec "$tarrowd" --foreground "$port" 127.0.0.1 >/dev/null 2>&1) &
server_pid=$!
wait_screen 50 "no alerts at present" || { alive "after the restart"; fail "no empty board"; }
raise critical AFTER "after the restart"
wait_screen 30 "AFTER +critical" || { alive "after a new alert"; fail "the new board not shown"; }

# A full board with criticals waiting behind it: the header still fits 80 columns with the
# waiting counts and the address; sorted by severity, the board's critical comes first and
# the waiting criticals next, before any warning.
for ((i = 1; i <= 49; i++)); do raise warning "$(printf 'W%02d' "$i")" "warning $i"; done
for ((i = 1; i <= 3; i++)); do raise critical "C$i" "waiting critical $i"; done
wait_screen 50 "^ 50\+3 \| crit 1\+3 \| warn 49\+0 \| info 0\+0 \| acked 0 +127\.0\.0\.1:$port " ||
    fail "the header does not show the waiting counts within 80 columns"
keys s s Home
wait_screen 20 "sort: severity" || fail "s did not sort by severity"
screen | sed -n 3p | grep -Eq "AFTER +critical" || fail "the board's critical is not first"
screen | sed -n 4,6p | grep -Ec " C[123] " | grep -q 3 ||
    fail "the waiting criticals do not follow the board's critical"

# a asks for a note, then a duration; the acknowledgement expires.
keys Home a
wait_screen 20 "note for the ack" || fail "a did not ask for a note"
keys "until fixed" Enter
wait_screen 20 "ack expires after" || fail "a did not ask for a duration"
keys 2x Enter
wait_screen 20 "not a duration" || fail "a took a bad duration"
keys BSpace BSpace 2h Enter
wait_screen 50 "AFTER +ack crit" || fail "the acknowledgement with a duration did not arrive"
grep -Eq "AINF: Acknowledged [^ ]+ +AFTER +AC by [^ ]+ until [0-9]{8} [0-9:]{8}: until fixed$" \
    "$dir"/log_*.log || fail "the acknowledgement has no expiry"

keys q
for ((i = 0; i < 50 * slow; i++)); do
    tmux -L "$sock" has-session -t watch 2>/dev/null || { echo "PASS"; exit 0; }
    sleep 0.1
done
fail "q did not end the view"
