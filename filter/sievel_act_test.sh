#!/bin/sh
# Runs sievel-act with fake flicket programs that record their arguments, and checks the calls
# made for raise, cancel and user function lines, retries, sievel's error lines, and which
# flicket is found.
# usage: sievel_act_test.sh path/to/sievel-act
act=${1:?usage: sievel_act_test.sh sievel-act}
case $act in /*) ;; *) act=$(pwd)/$act ;; esac
tmp=$(mktemp -d /tmp/sievel_act_XXXXXX) || exit 1
trap 'rm -rf "$tmp"' EXIT
failures=0
cr=$(printf '\r')
nl='
'

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Each call appends its arguments, one per line in brackets, then a line "--". It prints
# something, which sievel-act must not pass on when the call succeeds. Key FAILKEY always
# fails; key FLAKY fails until it has been tried three times.
mkdir "$tmp/bin" "$tmp/uf" "$tmp/beside"
cat >"$tmp/bin/flicket" <<'EOF'
#!/bin/sh
for a in "$@"; do printf '[%s]\n' "$a"; done >>"$CALLS"
echo -- >>"$CALLS"
echo
for a in "$@"; do
    case $a in
    FAILKEY) echo "Unable to connect to server."; exit 1 ;;
    FLAKY)
        echo x >>"$CALLS.flaky"
        [ "$(wc -l <"$CALLS.flaky")" -ge 3 ] || { echo "try again"; exit 1; }
        ;;
    esac
done
exit 0
EOF
cat >"$tmp/uf/userfunc-2" <<'EOF'
#!/bin/sh
printf 'userfunc-2\n' >>"$CALLS"
for a in "$@"; do printf '[%s]\n' "$a"; done >>"$CALLS"
echo -- >>"$CALLS"
EOF
printf '#!/bin/sh\nexit 0\n' >"$tmp/uf/userfunc-4"    # present but not executable
printf '#!/bin/sh\necho "beside $*" >>"$CALLS"\n' >"$tmp/beside/flicket"
chmod +x "$tmp/bin/flicket" "$tmp/uf/userfunc-2" "$tmp/beside/flicket"
PATH=$tmp/bin:$PATH
SIEVEL_ACT_RETRY_WAITS="0.1 0.1 0.1"
export PATH CALLS="$tmp/calls" SIEVEL_ACT_RETRY_WAITS

# check NAME OPTIONS INPUT EXPECTED-CALLS STATUS STDERR-LINES [STDERR]
check() {
    name=$1 opts=$2 input=$3 want=$4 want_rc=$5 want_err=$6
    : >"$CALLS"
    rm -f "$CALLS.flaky"
    # shellcheck disable=SC2086
    printf '%s' "$input" | sh "$act" $opts >"$tmp/out" 2>"$tmp/err"
    rc=$?
    [ $rc -eq "$want_rc" ] || fail "$name: exit status $rc, wanted $want_rc"
    [ -s "$tmp/out" ] && fail "$name: output on stdout: $(cat "$tmp/out")"
    got=$(cat "$CALLS")
    [ "$got" = "$want" ] || fail "$name: calls
--- got
$got
--- wanted
$want"
    n=$(wc -l <"$tmp/err")
    [ "$n" -eq "$want_err" ] || fail "$name: $n lines on stderr, wanted $want_err: $(cat "$tmp/err")"
    if [ $# -ge 7 ]; then
        printf '%s' "$7" | cmp -s - "$tmp/err" || fail "$name: stderr: $(cat "$tmp/err")"
    fi
}

check "raise with the log's host" "" 'RAISE-ALERT DISKFULL "No space left on device" web1
' '[-H]
[web1]
[9003]
[127.0.0.1]
[critical]
[DISKFULL]
[No space left on device]
--' 0 0

check "quotes and blanks inside the text, empty host, no final newline" "-a ::1 -p 7000" \
'CANCEL-ALERT K1 "he said "stop" now" " 
RAISE-ALERT K2 "" ' '[7000]
[::1]
[harmless]
[K1]
[he said "stop" now" ]
--
[7000]
[::1]
[critical]
[K2]
[]
--' 0 0

check "severity word, CRLF text, backslashes" "-s warning" \
"RAISE-ALERT SEGV \"app[12]: segfault at 0 \\\\n$cr\" db2
" '[-H]
[db2]
[9003]
[127.0.0.1]
[warning]
[SEGV]
[app[12]: segfault at 0 \\n]
--' 0 0

check "malformed action lines are skipped, the rest still handled" "" 'RAISE-ALERT
RAISE-ALERT KEY no quotes host
RAISE-ALERT  "text" host
RAISE-ALERT KEY "unterminated
CANCEL-ALERT OK "back" h
' '[-H]
[h]
[9003]
[127.0.0.1]
[harmless]
[OK]
[back]
--' 0 4

# sievel prints its errors on stdout: they reach stderr unchanged, and the status says so.
err="Error: Empty line in parameter file${nl}Error: config file syntax error (line 4) :   $nl"
check "sievel's error lines" "" "$err" '' 1 2 "$err"
check "lines that are no action lines" "" 'garbage
USERFUNC-9 KEY "text" host

RAISE-ALERT K "t" h
' '[-H]
[h]
[9003]
[127.0.0.1]
[critical]
[K]
[t]
--' 1 3 "garbage${nl}USERFUNC-9 KEY \"text\" host${nl}${nl}"

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
--' 0 2

check "user function without -u" "" 'USERFUNC-2 RUN "x" h
' '' 0 1

one_call() {    # one_call KEY: the calls file of one try for a host-less raise of KEY
    printf '[9003]\n[127.0.0.1]\n[critical]\n[%s]\n[x]\n--' "$1"
}
check "a flicket that fails twice is tried again and succeeds silently" "" \
'RAISE-ALERT FLAKY "x" 
' "$(one_call FLAKY)$nl$(one_call FLAKY)$nl$(one_call FLAKY)" 0 0
check "a flicket that keeps failing: four tries, its output shown, the next line sent" "" \
'RAISE-ALERT FAILKEY "x" 
RAISE-ALERT NEXT "x" 
' "$(one_call FAILKEY)$nl$(one_call FAILKEY)$nl$(one_call FAILKEY)$nl$(one_call FAILKEY)\
$nl$(one_call NEXT)" 0 3 "${nl}Unable to connect to server.${nl}sievel-act: line 1: flicket \
failed (status 1) for key FAILKEY${nl}"

# Which flicket: -f first, then the one beside sievel-act (also through a link to it), then
# the one on PATH.
check "-f names the flicket program" "-f $tmp/bin/flicket" 'RAISE-ALERT K "t" h
' '[-H]
[h]
[9003]
[127.0.0.1]
[critical]
[K]
[t]
--' 0 0
cp "$act" "$tmp/beside/sievel-act"
ln -s "$tmp/beside/sievel-act" "$tmp/uf/linked-act"
ln -s "$tmp/beside/flicket" "$tmp/uf/flicket"    # as in build/bin: links to both
for copy in "$tmp/beside/sievel-act" "$tmp/uf/linked-act"; do
    : >"$CALLS"
    echo 'RAISE-ALERT K "t" h' | "$copy" 2>"$tmp/err"
    [ "$(cat "$CALLS")" = "beside -H h 9003 127.0.0.1 critical K t" ] ||
        fail "$copy did not run the flicket beside it: $(cat "$CALLS" "$tmp/err")"
done
: >"$CALLS"
echo 'RAISE-ALERT K "t" h' | "$tmp/beside/sievel-act" -f "$tmp/bin/flicket" 2>/dev/null
[ "$(head -1 "$CALLS")" = "[-H]" ] || fail "-f lost to the flicket beside: $(cat "$CALLS")"

# A flicket that reads its standard input must not eat the action lines after its own.
cat >"$tmp/bin/greedy" <<'EOF'
#!/bin/sh
cat >/dev/null
echo "$6" >>"$CALLS"
EOF
chmod +x "$tmp/bin/greedy"
check "children do not read the action lines" "-f greedy" 'RAISE-ALERT K1 "t" h
RAISE-ALERT K2 "t" h
' 'K1
K2' 0 0

if sh "$act" -x </dev/null 2>/dev/null; then
    fail "an unknown option is accepted"
fi
out=$(sh "$act" --help </dev/null) || fail "--help: exit status $?"
case $out in "usage: sievel-act "*) ;; *) fail "--help printed: $out" ;; esac
out=$(sh "$act" --version </dev/null) || fail "--version: exit status $?"
[ "$out" = "sievel-act 1.0.2" ] || fail "--version printed: $out"

[ $failures -eq 0 ] || exit 1
echo "sievel-act: all checks passed"
