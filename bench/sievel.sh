#!/bin/sh
# Benchmark: sievel against grep -F with the same 50 fixed texts on the same input of 200+ MB.
#
# usage: bench/sievel.sh [log-directory]
#   log-directory  *.log files to build the input from; by default ../shared/corpus beside the
#                  repository when it is there, else syslog-like lines made here.
#   SIEVEL=path    the sievel binary (default build/filter/sievel)
#   RUNS=n         interleaved runs of each program (default 3); the best run counts
#   SIZE_MB=n      input size (default 200)
#
# Two cases: the texts are chosen so that about 1 to 3 % of the lines match (action lines to a
# file, grep's matching lines to a file), and every line matches, where sievel flushes its
# action lines before each read of input and grep runs with --line-buffered. Targets: sievel
# at least 3 times as fast as grep in the first case, at least as fast in the second. Only
# lines shorter than 255 bytes are used, so that both programs see the same lines and their
# match counts can be compared.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
sievel=${SIEVEL:-$root/build/filter/sievel}
runs=${RUNS:-3}
size_mb=${SIZE_MB:-200}
logdir=${1:-}
if [ -z "$logdir" ] && ls "$root"/../shared/corpus/*.log >/dev/null 2>&1; then
    logdir=$root/../shared/corpus
fi
[ -x "$sievel" ] || { echo "no sievel at $sievel: build it first, or set SIEVEL" >&2; exit 1; }

tmp=$(mktemp -d /tmp/sievel_bench_XXXXXX)
trap 'rm -rf "$tmp"' EXIT

# One sample of lines: the logs as they are (each file ends with a newline here), or made up.
if [ -n "$logdir" ]; then
    echo "input from $logdir"
    for f in "$logdir"/*.log; do
        awk 'length($0) < 255' "$f"
    done >"$tmp/sample"
else
    echo "input: generated syslog-like lines"
    awk 'BEGIN {
        srand(7);
        split("web1 web2 db1 db2 cache1 mail1 gw1", host, " ");
        split("sshd[%d]: Accepted publickey for deploy from 10.0.%d.%d port %d ssh2|" \
              "sshd[%d]: Failed password for invalid user admin from 203.0.%d.%d port %d ssh2|" \
              "CRON[%d]: (root) CMD (run-parts /etc/cron.hourly) %d %d %d|" \
              "kernel: [%d.%d] EXT4-fs (sda%d): mounted filesystem with ordered data mode %d|" \
              "kernel: [%d.%d] app[%d]: segfault at 0 ip 00007f%d error 4 in libc.so.6|" \
              "postfix/smtpd[%d]: connect from unknown[192.0.2.%d] %d %d|" \
              "systemd[1]: Started Session %d of user %d. %d %d|" \
              "kernel: [%d.%d] Out of memory: Killed process %d (java) total-vm:%dkB|" \
              "dhclient[%d]: DHCPACK of 10.1.%d.%d from 10.1.0.%d|" \
              "kernel: [%d.%d] blk_update_request: I/O error, dev sdb, sector %d op %d", \
              msg, "|");
        split("Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec", mon, " ");
        for (i = 0; i < 100000; i++) {
            m = i < 96000 ? 1 + int(rand() * 3) : 1 + int(rand() * 10);
            if (m == 2 && rand() < 0.6) m = 7;
            printf "%s %2d %02d:%02d:%02d %s ", mon[1 + int(rand() * 12)], 1 + int(rand() * 28),
                int(rand() * 24), int(rand() * 60), int(rand() * 60), host[1 + int(rand() * 7)];
            printf msg[m] "\n", int(rand() * 99999), int(rand() * 255), int(rand() * 255),
                int(rand() * 65535);
        }
    }' >"$tmp/sample"
fi

# Fifty fixed texts from the sample: runs of two to five words, kept when the text catches a
# few lines on its own and the set stays under about 2 % of all lines.
sample_lines=$(wc -l <"$tmp/sample")
awk 'BEGIN { srand(11) }
    { line[NR] = $0 }
    END {
        for (k = 0; k < 4000; k++) {
            n = split(line[1 + int(rand() * NR)], w, " ");
            if (n < 4) continue;
            first = 2 + int(rand() * (n - 2)); len = 2 + int(rand() * 4);
            t = w[first];
            for (j = first + 1; j < first + len && j <= n; j++) t = t " " w[j];
            gsub(/\r/, "", t);
            if (length(t) >= 10 && length(t) <= 50 && !(t in seen)) { seen[t] = 1; print t }
        }
    }' "$tmp/sample" >"$tmp/candidates"
: >"$tmp/texts"
kept=0
while IFS= read -r t && [ $kept -lt 50 ]; do
    one=$(grep -c -F -e "$t" "$tmp/sample" || true)
    # A text must catch something, but no more than 0.15 % of the lines by itself.
    [ "$one" -gt 0 ] && [ $((one * 10000)) -le $((sample_lines * 15)) ] || continue
    cp "$tmp/texts" "$tmp/try"
    printf '%s\n' "$t" >>"$tmp/try"
    all=$(grep -c -F -f "$tmp/try" "$tmp/sample" || true)
    [ $((all * 100)) -le $((sample_lines * 2)) ] || continue
    mv "$tmp/try" "$tmp/texts"
    kept=$((kept + 1))
done <"$tmp/candidates"
[ "$kept" -eq 50 ] || { echo "only $kept usable texts found in the sample" >&2; exit 1; }
awk '{ printf "A B%02d 0 %s\n", NR, $0 }' "$tmp/texts" >"$tmp/params"

# The input: copies of the sample up to the size asked for.
target=$((size_mb * 1024 * 1024))
: >"$tmp/input"
while [ "$(wc -c <"$tmp/input")" -lt "$target" ]; do
    cat "$tmp/sample" >>"$tmp/input"
done
lines=$(wc -l <"$tmp/input")
bytes=$(wc -c <"$tmp/input")

now() { date +%s.%N; }

# run NAME COMMAND...: one timed run, seconds appended to $tmp/NAME.times, output in
# $tmp/NAME.out (never /dev/null: grep stops at the first match when it writes there).
run() {
    name=$1
    shift
    t0=$(now)
    "$@" >"$tmp/$name.out"
    t1=$(now)
    echo "$t0 $t1" | awk '{ printf "%.4f\n", $2 - $1 }' >>"$tmp/$name.times"
}

best() { sort -n "$tmp/$1.times" | head -1; }

# report A B: rates of both and the ratio, from the best runs.
report() {
    a=$(best "$1")
    b=$(best "$2")
    awk -v a="$a" -v b="$b" -v l="$lines" -v by="$bytes" -v na="$1" -v nb="$2" 'BEGIN {
        printf "  %-22s %7.3f s  %12.0f lines/s  %7.1f MB/s\n", na, a, l / a, by / a / 1048576;
        printf "  %-22s %7.3f s  %12.0f lines/s  %7.1f MB/s\n", nb, b, l / b, by / b / 1048576;
        printf "  sievel is %.2f times as fast as grep\n", b / a;
    }'
}

echo "input: $lines lines, $((bytes / 1048576)) MB; 50 texts; best of $runs interleaved runs"

# Case 1: a few percent of the lines match.
i=0
while [ $i -lt "$runs" ]; do
    run sievel "$sievel" "$tmp/params" <"$tmp/input"
    run grep grep -F -f "$tmp/texts" "$tmp/input"
    i=$((i + 1))
done
s_count=$(wc -l <"$tmp/sievel.out")
g_count=$(wc -l <"$tmp/grep.out")
echo
echo "1. few lines match: sievel $s_count action lines, grep $g_count lines" \
     "($(awk -v m="$g_count" -v l="$lines" 'BEGIN { printf "%.2f", 100 * m / l }') %)"
[ "$s_count" -eq "$g_count" ] || echo "  WARNING: the match counts differ"
report sievel grep

# Case 2: every line matches; sievel flushes before each read, grep after each line. A text
# that every input line holds goes last, so each line also meets the 49 before it.
head -49 "$tmp/texts" >"$tmp/texts2"
common=$(awk '{ for (i = 1; i <= NF; i++) c[$i]++ }
    END { for (w in c) if (c[w] == NR) { print w; exit } }' "$tmp/sample")
if [ -z "$common" ]; then
    common=": "
    grep -F -e "$common" "$tmp/input" >"$tmp/input2"
    mv "$tmp/input2" "$tmp/input"
    lines=$(wc -l <"$tmp/input")
    bytes=$(wc -c <"$tmp/input")
fi
printf '%s\n' "$common" >>"$tmp/texts2"
awk '{ printf "A B%02d 0 %s\n", NR, $0 }' "$tmp/texts2" >"$tmp/params2"
rm -f "$tmp"/*.times
i=0
while [ $i -lt "$runs" ]; do
    run sievel_all "$sievel" "$tmp/params2" <"$tmp/input"
    run grep_line_buffered grep --line-buffered -F -f "$tmp/texts2" "$tmp/input"
    i=$((i + 1))
done
echo
echo "2. every line matches (last text \"$common\"): $lines lines, $((bytes / 1048576)) MB," \
     "sievel $(wc -l <"$tmp/sievel_all.out") action lines, grep $(wc -l <"$tmp/grep_line_buffered.out")"
report sievel_all grep_line_buffered
