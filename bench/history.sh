#!/bin/sh
# Benchmark: tarrow-history scanning 200+ MB of tarrowd logs, against grep -c of the same
# files in the same run.
#
# usage: bench/history.sh
#   HISTORY=path   the tarrow-history binary (default build/history/tarrow-history)
#   RUNS=n         interleaved runs of each program (default 3); the best run counts
#   SIZE_MB=n      size of the logs (default 240)
#   FULL_MB=n      size of the logs of a full table (default 1024; 0 leaves that case out)
#
# The logs are made here: two hours of a busy board (alerts raised, replaced, cleared and
# acknowledged for 60 alerts of 12 hosts, console commands, an acknowledgement with a note
# now and then, start-up and warning lines), copied into daily files up to the size asked
# for. Three cases: the timeline of one alert (every line parsed and replayed, a few printed),
# the board at the end of the last file, and the same from gzip-compressed files. Target: at
# least 200 MB a second for the plain files; grep -c of a text that every event line holds
# (after gzip -dc for the compressed files) gives the scale of the machine in the same run.
# A fourth case is a table full of criticals for the whole of FULL_MB, most raises waiting in
# the overflow file: the peak memory (maximum resident set, from /usr/bin/time) of every case
# is printed, with a target of at most 64 MB.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
history=${HISTORY:-$root/build/history/tarrow-history}
runs=${RUNS:-3}
size_mb=${SIZE_MB:-240}
full_mb=${FULL_MB:-1024}
[ -x "$history" ] || { echo "no tarrow-history at $history: build it first, or set HISTORY" >&2; exit 1; }

tmp=$(mktemp -d /tmp/history_bench_XXXXXX)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/logs"

awk 'BEGIN {
    srand(5);
    split("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec", mon, " ");
    split("AC AC AC AW AW IO AK AK AK AK KA LO", type, " ");
    for (s = 0; s < 7200; s++) {
        stamp = sprintf("Mon Dec  7 %02d:%02d:%02d 2026", 8 + int(s / 3600), int(s / 60) % 60, s % 60);
        n = 8 + int(rand() * 8);
        for (i = 0; i < n; i++) {
            h = sprintf("web%02d", int(rand() * 12));
            k = sprintf("CHECK%d", int(rand() * 5));
            r = rand();
            dt = sprintf("20261207 %02d:%02d", 8 + int(s / 3600), int(s / 60) % 60);
            if (r < 0.86) {
                t = type[1 + int(rand() * 12)];
                printf "%s AINF: %-15s %s %s %-14s Y %s on %s, value %d over the limit \n",
                    stamp, h, dt, t, k, k, h, int(rand() * 100000);
            } else if (r < 0.92) {
                printf "%s AINF: %-15s %s %s %-14s (CONSOLE COMMAND)\n", stamp, h, dt,
                    rand() < 0.5 ? "AC" : "AD", k;
            } else if (r < 0.95) {
                printf "%s AINF: Acknowledged %-15s %-14s AC by ops%d until never: swap at %d\n",
                    stamp, h, k, int(rand() * 9), int(rand() * 24);
            } else if (r < 0.99) {
                printf "%s WARN: message not found to delete, requested from %s\n", stamp, h;
            } else {
                printf "%s INFO: Server listening on port address %s\n", stamp, "127.0.0.1:9003";
            }
        }
    }
}' >"$tmp/sample"

# Daily files in DIR of about MB megabytes each made of copies of SAMPLE, up to BYTES in all
# (with "cap", a file also stops before it would pass BYTES); sets bytes to what they hold.
# Their lines keep the sample's date, before every file's name: the board is asked for at
# the end of the month, after all of them.
#   fill_days DIR SAMPLE MB BYTES [cap]
fill_days() {
    local day=1 f
    bytes=0
    while [ "$bytes" -lt "$4" ]; do
        f=$1/log_202612$(printf %02d $day).log
        : >"$f"
        while [ "$(wc -c <"$f")" -lt $(($3 * 1024 * 1024)) ] &&
            { [ "${5:-}" != cap ] || [ $((bytes + $(wc -c <"$f"))) -lt "$4" ]; }; do
            cat "$2" >>"$f"
        done
        bytes=$((bytes + $(wc -c <"$f")))
        day=$((day + 1))
    done
}

fill_days "$tmp/logs" "$tmp/sample" 40 $((size_mb * 1024 * 1024))
lines=$(cat "$tmp"/logs/*.log | wc -l)

now() { date +%s.%N; }

# run NAME COMMAND...: one timed run, seconds appended to $tmp/NAME.times, output in
# $tmp/NAME.out; for tarrow-history the peak memory in KB appended to $tmp/NAME.kb where
# /usr/bin/time is.
run() {
    name=$1
    shift
    t0=$(now)
    if [ "$1" = "$history" ] && [ -x /usr/bin/time ]; then
        /usr/bin/time -f %M -o "$tmp/$name.kb1" "$@" >"$tmp/$name.out" 2>"$tmp/$name.err"
        tail -1 "$tmp/$name.kb1" >>"$tmp/$name.kb"
    else
        "$@" >"$tmp/$name.out" 2>"$tmp/$name.err"
    fi
    t1=$(now)
    echo "$t0 $t1" | awk '{ printf "%.4f\n", $2 - $1 }' >>"$tmp/$name.times"
}

best() { sort -n "$tmp/$1.times" | head -1; }

# The highest peak of a program's runs, in MB.
peak() {
    if [ -s "$tmp/$1.kb" ]; then
        sort -n "$tmp/$1.kb" | tail -1 | awk '{ printf "%.1f MB", $1 / 1024 }'
    else
        echo "unknown (no /usr/bin/time)"
    fi
}

report() {
    a=$(best "$1")
    b=$(best "$2")
    awk -v a="$a" -v b="$b" -v l="$lines" -v by="$bytes" -v na="$1" -v nb="$2" 'BEGIN {
        printf "  %-22s %7.3f s  %12.0f lines/s  %7.1f MB/s\n", na, a, l / a, by / a / 1048576;
        printf "  %-22s %7.3f s  %12.0f lines/s  %7.1f MB/s\n", nb, b, l / b, by / b / 1048576;
        printf "  tarrow-history takes %.2f times as long as grep -c\n", a / b;
    }'
}

echo "input: $lines lines, $((bytes / 1048576)) MB in $((day - 1)) daily files; best of $runs interleaved runs"
i=0
while [ $i -lt "$runs" ]; do
    run timeline "$history" -d "$tmp/logs" --host web03 --key CHECK2
    run board "$history" -d "$tmp/logs" --at "2026-12-31 23:59:59"
    run grep grep -c AINF "$tmp"/logs/*.log
    i=$((i + 1))
done
echo
echo "1. timeline of one alert: $(wc -l <"$tmp/timeline.out") events printed"
report timeline grep
echo "  peak memory of tarrow-history: $(peak timeline)"
echo
echo "2. the board at the end: $(head -1 "$tmp/board.out")"
report board grep
echo "  peak memory of tarrow-history: $(peak board)"

# 3. The same logs gzip-compressed, against zcat piped into grep -c.
mkdir "$tmp/gz"
for f in "$tmp"/logs/*.log; do
    gzip -1 -c "$f" >"$tmp/gz/$(basename "$f").gz"
done
zgrep_c() { gzip -dc "$@" | grep -c AINF; }
rm -f "$tmp"/*.times
i=0
while [ $i -lt "$runs" ]; do
    run board_gz "$history" -d "$tmp/gz" --at "2026-12-31 23:59:59"
    run zcat_grep zgrep_c "$tmp"/gz/*.gz
    i=$((i + 1))
done
echo
echo "3. the board at the end, from $(($(cat "$tmp"/gz/*.gz | wc -c) / 1048576)) MB of" \
     "gzip files (rates of the uncompressed size)"
report board_gz zcat_grep
echo "  peak memory of tarrow-history: $(peak board_gz)"
cmp -s "$tmp/board.out" "$tmp/board_gz.out" || echo "  WARNING: the boards differ"
# 4. A table of 50 criticals that never frees a slot: raises of 450 other alerts wait in
#    the overflow file, clears of them wait behind them, all of FULL_MB long.
if [ "$full_mb" -gt 0 ]; then
    rm -rf "$tmp/logs" "$tmp/gz" "$tmp"/*.times "$tmp"/*.kb
    mkdir "$tmp/full"
    awk 'BEGIN {
        srand(7);
        for (s = 0; s < 3600; s++) {
            stamp = sprintf("Mon Dec  7 %02d:%02d:%02d 2026", 8 + int(s / 3600), int(s / 60) % 60, s % 60);
            dt = sprintf("20261207 %02d:%02d", 8 + int(s / 3600), int(s / 60) % 60);
            for (i = 0; i < 60; i++) {
                if (s == 0 && i < 50) { h = sprintf("db%02d", i); k = "RAID"; t = "AC"; }
                else {
                    h = sprintf("web%03d", int(rand() * 450)); k = sprintf("CHECK%d", int(rand() * 2));
                    r = rand(); t = r < 0.75 ? "AC" : r < 0.95 ? "AK" : "KA";
                }
                printf "%s AINF: %-15s %s %s %-14s Y %s on %s, value %d over the limit \n",
                    stamp, h, dt, t, k, k, h, int(rand() * 100000);
            }
        }
    }' >"$tmp/full_sample"
    fill_days "$tmp/full" "$tmp/full_sample" 64 $((full_mb * 1024 * 1024)) cap
    lines=$(cat "$tmp"/full/*.log | wc -l)
    i=0
    while [ $i -lt "$runs" ]; do
        run full "$history" -d "$tmp/full" --at "2026-12-31 23:59:59" --host db00
        run full_grep grep -c AINF "$tmp"/full/*.log
        i=$((i + 1))
    done
    echo
    echo "4. the board of one host at the end of $((bytes / 1048576)) MB of a full table:" \
         "$(head -1 "$tmp/full.out"), $(grep -c . "$tmp/full.out") lines printed"
    report full full_grep
    echo "  peak memory of tarrow-history: $(peak full) (target: at most 64 MB)"
fi
if [ -s "$tmp/timeline.err" ]; then
    echo
    echo "stderr of tarrow-history: $(cat "$tmp/timeline.err")"
fi
