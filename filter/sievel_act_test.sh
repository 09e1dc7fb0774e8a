#!/bin/sh
# Runs sievel-act with a fake flicket first on PATH that records its arguments, and checks the
# calls made for raise, cancel and user function lines, malformed lines included.
# usage: sievel_act_test.sh path/to/sievel-act
act=${1:?usage: sievel_act_test.sh sievel-act}
case $act in /*) ;; *) act=$(pwd)/$act ;; esac
tmp=$(mktemp -d /tmp/sievel_act_XXXXXX) || exit 1
trap 'rm -rf "$tmp"' EXIT
failures=0
cr=$(printf '\r')

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Each call appends its arguments, one per line in brackets, then a line "--".
mkdir "$tmp/bin" "$tmp/uf"
cat >"$tmp/bin/flicket" <<'EOF'
#!/bin/sh
for a in "$@"; do printf '[%s]\n' "$a"; done >>"$CALLS"
echo -- >>"$CALLS"
case $4 in FAILKEY) exit 1 ;; esac
exit 0
EOF
cat >"$tmp/uf/userfunc-2" <<'EOF'
#!/bin/sh
printf 'userfunc-2\n' >>"$CALLS"
for a in "$@"; do printf '[%s]\n' "$a"; done >>"$CALLS"
echo -- >>"$CALLS"
EOF
printf '#!/bin/sh\nexit 0\n' >"$tmp/uf/userfunc-4"    # present but not executable
chmod +x "$tmp/bin/flicket" "$tmp/uf/userfunc-2"
PATH=$tmp/bin:$PATH
export PATH CALLS="$tmp/calls"

# check NAME OPTIONS INPUT EXPECTED-CALLS STDERR-LINES
check() {
    name=$1 opts=$2 input=$3 want=$4 want_err=$5
    : >"$CALLS"
    # shellcheck disable=SC2086
    printf '%s' "$input" | sh "$act" $opts >"$tmp/out" 2>"$tmp/err"
    rc=$?
    [ $rc -eq 0 ] || fail "$name: exit status $rc"
    got=$(cat "$CALLS")
    [ "$got" = "$want" ] || fail "$name: calls
--- got
$got
--- wanted
$want"
    n=$(wc -l <"$tmp/err")
    [ "$n" -eq "$want_err" ] || fail "$name: $n lines on stderr, wanted $want_err: $(cat "$tmp/err")"
}

check "raise with host" "" 'RAISE-ALERT DISKFULL "No space left on device" web1
' '[9003]
[127.0.0.1]
[critical]
[DISKFULL]
[[web1] No space left on device]
--' 0

check "quotes and blanks inside the text, empty host, no final newline" "-a 10.0.0.5 -p 7000" \
'CANCEL-ALERT K1 "he said "stop" now" " 
RAISE-ALERT K2 "" ' '[7000]
[10.0.0.5]
[harmless]
[K1]
[he said "stop" now" ]
--
[7000]
[10.0.0.5]
[critical]
[K2]
[]
--' 0

check "severity word, CRLF text, backslashes" "-s warning" \
"RAISE-ALERT SEGV \"app[12]: segfault at 0 \\\\n$cr\" db2
" '[9003]
[127.0.0.1]
[warning]
[SEGV]
[[db2] app[12]: segfault at 0 \\n]
--' 0

check "malformed lines are skipped, the rest still handled" "" 'garbage
RAISE-ALERT
RAISE-ALERT KEY no quotes host
RAISE-ALERT  "text" host
RAISE-ALERT KEY "unterminated
FLY-AWAY KEY "text" host
USERFUNC-9 KEY "text" host

CANCEL-ALERT OK "back" h
' '[9003]
[127.0.0.1]
[harmless]
[OK]
[[h] back]
--' 8

check "user functions" "-u $tmp/uf" 'USERFUNC-2 RUN "a "b" c" host9
USERFUNC-4 RUN "x" h
USERFUNC-3 RUN "x" h
USERFUNC-2 RUN "" 
' 'userfunc-2
[RUN]
[a "b" c]
[host9]
--
userfunc-2
[RUN]
[]
[]
--' 2

check "user function without -u" "" 'USERFUNC-2 RUN "x" h
' '' 1

check "a failing flicket is reported and the next line still sent" "" 'RAISE-ALERT FAILKEY "x" 
RAISE-ALERT NEXT "y" 
' '[9003]
[127.0.0.1]
[critical]
[FAILKEY]
[x]
--
[9003]
[127.0.0.1]
[critical]
[NEXT]
[y]
--' 1

check "-f names the flicket program" "-f $tmp/bin/flicket" 'RAISE-ALERT K "t" h
' '[9003]
[127.0.0.1]
[critical]
[K]
[[h] t]
--' 0

# A flicket that reads its standard input must not eat the action lines after its own.
cat >"$tmp/bin/greedy" <<'EOF'
#!/bin/sh
cat >/dev/null
echo "$4" >>"$CALLS"
EOF
chmod +x "$tmp/bin/greedy"
check "children do not read the action lines" "-f greedy" 'RAISE-ALERT K1 "t" h
RAISE-ALERT K2 "t" h
' 'K1
K2' 0

if sh "$act" -x </dev/null 2>/dev/null; then
    fail "an unknown option is accepted"
fi
out=$(sh "$act" --help </dev/null) || fail "--help: exit status $?"
case $out in "usage: sievel-act "*) ;; *) fail "--help printed: $out" ;; esac
out=$(sh "$act" --version </dev/null) || fail "--version: exit status $?"
[ "$out" = "sievel-act 1.0.2" ] || fail "--version printed: $out"

[ $failures -eq 0 ] || exit 1
echo "sievel-act: all checks passed"
