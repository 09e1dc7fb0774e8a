#!/bin/sh
# Runs the sievel binary as a pipeline would: command line errors, parameter file errors with
# their exact output, action lines, the last line without newline, flushing, and --check.
# usage: sievel_cli_test.sh path/to/sievel
sievel=${1:?usage: sievel_cli_test.sh sievel}
case $sievel in /*) ;; *) sievel=$(pwd)/$sievel ;; esac
tmp=$(mktemp -d /tmp/sievel_cli_XXXXXX) || exit 1
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
cd "$tmp" || exit 1
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect NAME STATUS STDOUT STDERR -- runs "$@" after the four, input from ./in.
expect() {
    name=$1 want_rc=$2 want_out=$3 want_err=$4
    shift 4
    "$@" <in >out 2>err
    rc=$?
    printf '%s' "$want_out" >want_out
    printf '%s' "$want_err" >want_err
    [ $rc -eq "$want_rc" ] || fail "$name: status $rc, wanted $want_rc"
    cmp -s out want_out || fail "$name: stdout differs: $(od -c out | head -20)"
    cmp -s err want_err || fail "$name: stderr differs: $(od -c err | head -20)"
}

nl='
'
: >in
expect "no argument" 1 "Error: missing parameters !${nl}Syntax: tail -f <log-to-parse> | \
sievel <config-file-name> [<logdataoffset>] | processing script${nl}" "" "$sievel"
expect "missing file" 1 "" "Error: Unable to open file nosuch${nl}: No such file or directory${nl}" \
    "$sievel" nosuch
mkdir adir
expect "directory" 1 "" "Error: Unable to read file adir${nl}: Is a directory${nl}" "$sievel" adir
expect "version" 0 "sievel 1.0.2${nl}" "" "$sievel" --version
"$sievel" --help >out 2>&1 && grep -q '^usage: sievel paramfile' out || fail "--help"

# A syntax error stops the run before any input is read.
printf 'USEHOSTNAME=5\n# fine\nA DISK 0 full\n  \nA K 0 x\n' >bad.params
echo "disk full" >in
expect "syntax error" 1 "Error: Empty line in parameter file${nl}Error: config file syntax error \
(line 4) :   ${nl}" "" "$sievel" bad.params
printf 'A K 0 x\nQ K 0 y' >badlast.params
expect "error in a last line without newline" 1 "Error: Invalid action code, must be A or X. \
Code in file was Q${nl}Error: config file syntax error (line 2) : Q K 0 y${nl}" "" \
    "$sievel" badlast.params

# Entries in table order; the last parameter line and the last input line lack their newline.
# The fourth input line is 471 characters: "No space left" straddles the cut after 255 and is
# found in neither piece, "segfault" is found in the second.
printf 'USEHOSTNAME=5\nA DISKFULL 16 No space left\nX DISKFULL 16 space freed\n3 SEGV 0 segfault' \
    >good.params
z250=$(printf '%0250d' 0)
z200=$(printf '%0200d' 0)
printf '%s\n' \
    "Jun  4 10:00:01 web1 kernel: No space left on /var, space freed soon" \
    "Jun  4 10:00:02 web1 app: nothing to see" \
    "Jun 14 10:00:03 web2 cron: space freed" \
    "${z250}No space left${z200}segfault" >in
printf 'Jun  4 10:00:04 db1 app[7]: segfault "at" 0' >>in
expect "action lines" 0 "RAISE-ALERT DISKFULL \"web1 kernel: No space left on /var, space freed \
soon\" web1${nl}CANCEL-ALERT DISKFULL \"web2 cron: space freed\" cron:${nl}USERFUNC-3 SEGV \
\"ace left${z200}segfault\" ${nl}USERFUNC-3 SEGV \"Jun  4 10:00:04 db1 app[7]: segfault \"at\" \
0\" db1${nl}" "" "$sievel" good.params 16 --help

: >empty.params
expect "empty parameter file" 0 "" "" "$sievel" empty.params

# Every action line is flushed while the input stays open.
mkfifo fifo
"$sievel" good.params <fifo >live 2>&1 &
pid=$!
exec 9>fifo
echo "Jun  4 10:00:01 web1 app: segfault" >&9
i=0
while [ $i -lt 50 ] && ! grep -q SEGV live; do
    sleep 0.1
    i=$((i + 1))
done
grep -q '^USERFUNC-3 SEGV "Jun  4 10:00:01 web1 app: segfault" web1$' live ||
    fail "action line not flushed before the input ended: $(cat live)"
exec 9>&-
wait "$pid"
rc=$?
pid=
[ $rc -eq 0 ] || fail "live run: status $rc"

# --check: the loading as a run, then what each entry catches in a log.
: >in
expect "check without log" 0 "good.params: 3 entries, USEHOSTNAME 5${nl}" "" \
    "$sievel" --check good.params
printf 'USEHOSTNAME=-1\n' >neg.params
expect "check, negative USEHOSTNAME" 0 \
    "neg.params: 0 entries, USEHOSTNAME -1 (no host extraction)${nl}" "" "$sievel" --check neg.params
printf 'a segfault\nfree\nsegfault again\nNo space left\nnothing' >log
row() { printf '%2d %c %-14s %8d lines' "$@"; }
expect "check with log" 0 "good.params: 3 entries, USEHOSTNAME 5${nl}$(row 1 A DISKFULL 1), first \
at line 4: No space left${nl}    line 4: host \"\" text \"\"${nl}$(row 2 X DISKFULL 0)${nl}$(row 3 3 \
SEGV 2), first at line 1: a segfault${nl}    line 1: host \"\" text \"a segfault\"${nl}    line 3: \
host \"\" text \"segfault again\"${nl}2 of 5 lines matched nothing${nl}" "" \
    "$sievel" --check good.params log
expect "check, syntax error" 1 "Error: Empty line in parameter file${nl}Error: config file syntax \
error (line 4) :   ${nl}" "" "$sievel" --check bad.params log
expect "check, missing log" 1 "good.params: 3 entries, USEHOSTNAME 5${nl}" "Error: Unable to open \
file nolog${nl}: No such file or directory${nl}" "$sievel" --check good.params nolog

# A parameter file with CRLF line ends matches as the same file with LF ends, and --check
# says how many lines had a carriage return.
printf 'USEHOSTNAME=2\r\n# ssh\r\nA SSHFAIL 25 Failed password\r\n' >crlf.params
printf '2026-12-07T10:00:01+0000 web3 sshd[9]: Failed password for root\n' >in
expect "CRLF parameter file" 0 "RAISE-ALERT SSHFAIL \"web3 sshd[9]: Failed password for root\" \
web3${nl}" "" "$sievel" crlf.params
expect "check, CRLF parameter file" 0 "crlf.params: 1 entries, USEHOSTNAME 2${nl}3 lines ended \
with a carriage return (CRLF line ends); it was removed${nl}" "" "$sievel" --check crlf.params

# --check shows the host and text each caught line's alert would get: with a traditional time
# stamp, field 2 is the day, and that shows.
printf '%s\n' '2026-12-07T10:00:01+0000 web3 sshd[9]: Failed password for root' \
    'Dec 07 10:00:02 web4 sshd[9]: Failed password for "x" y' >log
expect "check shows host and text" 0 "crlf.params: 1 entries, USEHOSTNAME 2${nl}3 lines ended \
with a carriage return (CRLF line ends); it was removed${nl}$(row 1 A SSHFAIL 2), first at line 1: \
2026-12-07T10:00:01+0000 web3 sshd[9]: Failed password for root${nl}    line 1: host \"web3\" \
text \"web3 sshd[9]: Failed password for root\"${nl}    line 2: host \"07\" text \"[9]: Failed \
password for \"x\" y\"${nl}0 of 2 lines matched nothing${nl}" "" "$sievel" --check crlf.params log

[ $failures -eq 0 ] || exit 1
echo "sievel: all checks passed"
