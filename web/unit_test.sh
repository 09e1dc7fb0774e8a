#!/bin/sh
# The example unit of tarrow-web passes `systemd-analyze verify` and scores an exposure of at
# most 2.0 in `systemd-analyze security`. Exit 77 where systemd-analyze is missing.
#   unit_test.sh UNIT-FILE TARROW-WEB MAN-PAGE
unit=$1 program=$2 page=$3
command -v systemd-analyze >/dev/null 2>&1 || { echo "SKIP: systemd-analyze is missing"; exit 77; }
dir=$(mktemp -d /tmp/tarrow-web-unit-XXXXXX)
trap 'rm -rf "$dir"' EXIT
# The unit names the installed program; point it at the built one so verify can find it.
sed "s|/usr/local/sbin/tarrow-web|$program|g" "$unit" > "$dir/tarrow-web.service"
# verify also looks up the man page the unit documents itself with.
mkdir -p "$dir/man/man8" && cp "$page" "$dir/man/man8/"
export MANPATH="$dir/man"
fail=0
if out=$(systemd-analyze verify "$dir/tarrow-web.service" 2>&1) && [ -z "$out" ]; then
    echo "ok    systemd-analyze verify"
else
    echo "FAIL  systemd-analyze verify:"; echo "$out"; fail=1
fi
out=$(systemd-analyze security --offline=true --threshold=20 "$dir/tarrow-web.service" 2>&1)
score=$(printf '%s\n' "$out" | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
if [ -z "$score" ]; then
    echo "FAIL  systemd-analyze security gave no score:"; echo "$out"; fail=1
elif awk -v s="$score" 'BEGIN { exit !(s <= 2.0) }'; then
    echo "ok    exposure $score (at most 2.0)"
else
    echo "FAIL  exposure $score is above 2.0:"; printf '%s\n' "$out" | grep -v '^  ✓'; fail=1
fi
exit $fail
