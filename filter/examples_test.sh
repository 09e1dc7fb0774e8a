#!/bin/sh
# Runs every entry of every sample parameter file on log lines in the time stamp formats the
# file names: as it stands on ISO 8601 lines (journalctl -o short-iso, "+00:00" zones), with
# offset 32 on rsyslog's RFC 3339 lines, and adapted as it says to traditional syslog lines
# of days 1 to 9 and 10 to 31. Each line must give its entry's action with the right host.
# usage: examples_test.sh path/to/sievel examples-directory
sievel=${1:?usage: examples_test.sh sievel examples-dir}
examples=${2:?usage: examples_test.sh sievel examples-dir}
tmp=$(mktemp -d /tmp/sievel_examples_XXXXXX) || exit 1
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# run NAME PARAMS STAMP-PREFIX HOST [SED-EXPRESSION]: one line per entry, the expected action
# lines beside them, compared as a whole. A raise carries its key's severity from the KEY
# line; a key whose text is the first line's raises once per run, until a cancel.
run() {
    name=$1 params=$2 stamp=$3 host=$4 squeeze=${5:-}
    : >"$tmp/in"
    : >"$tmp/want"
    : >"$tmp/raised"
    grep -v -e '^#' -e '^USEHOSTNAME=' -e '^KEY ' "$params" | while read -r code key offset text; do
        line="prog[7]: $text, more"
        printf '%s %s %s\n' "$stamp" "$host" "$line" >>"$tmp/in"
        sev=
        case $code in
        A*) action=RAISE-ALERT
            sev=$(sed -n "s/^KEY $key .*severity=\([a-z]*\).*/ \1/p" "$params")
            if grep -q "^KEY $key .*text=first" "$params"; then
                grep -qx "$key" "$tmp/raised" && continue
                echo "$key" >>"$tmp/raised"
            fi ;;
        X*) action=CANCEL-ALERT
            sed -i "/^$key\$/d" "$tmp/raised" ;;
        *) action=USERFUNC-$(printf '%.1s' "$code") ;;
        esac
        printf '%s %s "%s %s" %s%s\n' "$action" "$key" "$host" "$line" "$host" "$sev" >>"$tmp/want"
    done
    if [ -n "$squeeze" ]; then
        sed "$squeeze" "$tmp/in" | "$sievel" "$params" >"$tmp/out" 2>&1
    else
        "$sievel" "$params" <"$tmp/in" >"$tmp/out" 2>&1
    fi
    cmp -s "$tmp/out" "$tmp/want" || fail "$name: $(diff "$tmp/want" "$tmp/out")"
}

n=0
for f in "$examples"/*.params; do
    b=$(basename "$f")
    grep -q '^USEHOSTNAME=2$' "$f" || fail "$b: not set up for ISO time stamps"
    run "$b, journalctl" "$f" 2026-12-07T10:00:01+0000 web1
    run "$b, +01:00 zone" "$f" 2026-12-07T10:00:01+01:00 web-2.example
    sed 's/^\([^#][^ ]* [^ ]*\) 25 /\1 32 /' "$f" >"$tmp/rsyslog.params"
    run "$b, rsyslog RFC 3339" "$tmp/rsyslog.params" 2026-12-07T10:00:01.123456+00:00 db3

    # The file's own advice for traditional stamps: its sed expression, field 4, offset 15.
    squeeze=$(sed -n "s/.*sed -u '\([^']*\)'.*/\1/p" "$f" | head -1)
    [ -n "$squeeze" ] || fail "$b: no advice for traditional time stamps"
    sed -e 's/^USEHOSTNAME=2$/USEHOSTNAME=4/' -e 's/^\([^#][^ ]* [^ ]*\) 25 /\1 15 /' "$f" \
        >"$tmp/trad.params"
    run "$b, traditional, day 7" "$tmp/trad.params" "Dec  7 10:00:01" mail1 "$squeeze"
    run "$b, traditional, day 17" "$tmp/trad.params" "Dec 17 10:00:01" mail2 "$squeeze"
    n=$((n + 1))
done
[ $n -ge 5 ] || fail "only $n sample files in $examples"

[ $failures -eq 0 ] || exit 1
echo "examples: all checks passed"
