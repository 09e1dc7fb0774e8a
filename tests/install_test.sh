#!/bin/sh
# What an install and the Debian package hold: every program built, the manual pages with a
# fixed date, the documents, the examples, and a unit that names the installed tarrowd and
# that systemd-analyze passes and rates safe; lintian accepts the package.
# usage: install_test.sh install|package build-dir program...
# Exits 77 (skipped) when the package tools are missing.
mode=${1:?usage: install_test.sh install|package build-dir program...}
build=${2:?usage: install_test.sh install|package build-dir program...}
shift 2
tmp=$(mktemp -d /tmp/tarrow_install_XXXXXX) || exit 1
trap 'rm -rf "$tmp"' EXIT
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# expect_files LIST PREFIX: every file an install must hold is in LIST (one path a line).
expect_files() {
    list=$1 p=$2
    shift 2
    want="$p/sbin/tarrowd $p/share/man/man8/tarrowd.8.gz $p/bin/sievel-act
        $p/share/man/man1/sievel-act.1.gz $p/share/doc/tarrow/tarrowd.service"
    for prog in "$@"; do
        [ "$prog" = tarrowd ] && continue
        want="$want $p/bin/$prog $p/share/man/man1/$prog.1.gz"
    done
    for doc in README.md LICENSE copyright changelog.gz; do
        want="$want $p/share/doc/tarrow/$doc"
    done
    for ex in disk-full disk-io oom-killer segfaults ssh-logins; do
        want="$want $p/share/doc/tarrow/examples/$ex.params"
    done
    for f in $want; do
        grep -qx "$f" "$list" || fail "$f is not installed"
    done
}

# check_unit FILE TARROWD: the unit starts this tarrowd; systemd-analyze, when there, passes it
# and rates it 2.0 or lower.
check_unit() {
    unit=$1 tarrowd=$2
    grep -q "^ExecStart=$tarrowd --foreground --keep-table --sync 9003 127.0.0.1\$" "$unit" ||
        fail "the unit does not start $tarrowd: $(grep ^ExecStart "$unit")"
    command -v systemd-analyze >/dev/null 2>&1 || { echo "no systemd-analyze: unit not checked"; return; }
    [ -x "$tarrowd" ] || return    # inside the package: verify needs the binary in place
    systemd-analyze verify "$unit" >"$tmp/verify" 2>&1 || fail "verify: $(cat "$tmp/verify")"
    systemd-analyze security --offline=true "$unit" >"$tmp/security" 2>&1
    level=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$tmp/security")
    echo "systemd-analyze security: $level"
    [ -n "$level" ] && awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }' ||
        fail "exposure level ${level:-unknown}: $(tail -3 "$tmp/security")"
}

case $mode in
install)
    prefix=$tmp/usr
    cmake --install "$build" --prefix "$prefix" >"$tmp/log" 2>&1 || fail "install: $(cat "$tmp/log")"
    find "$prefix" -type f -o -type l | sort >"$tmp/files"
    expect_files "$tmp/files" "$prefix" "$@"
    for page in "$prefix"/share/man/*/*.gz; do
        gzip -dc "$page" | grep -q '^\.Dd [A-Z][a-z]* [0-9][0-9]*, [0-9]\{4\}$' ||
            fail "$page carries no fixed date"
    done
    check_unit "$prefix/share/doc/tarrow/tarrowd.service" "$prefix/sbin/tarrowd"
    # The installed sievel-act runs the flicket beside it.
    out=$(echo 'RAISE-ALERT K "t" h' |
          SIEVEL_ACT_RETRY_WAITS=0 PATH=/usr/bin:/bin "$prefix/bin/sievel-act" -p 1 2>&1)
    case $out in *"Unable to connect to server."*) ;; *) fail "installed sievel-act: $out" ;; esac
    ;;
package)
    command -v dpkg-deb >/dev/null 2>&1 || { echo "no dpkg-deb: skipped"; exit 77; }
    cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/log" 2>&1 ||
        { fail "cpack: $(cat "$tmp/log")"; exit 1; }
    deb=$(ls "$tmp"/pkg/*.deb)
    dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|' | sort >"$tmp/files"
    expect_files "$tmp/files" /usr "$@"
    dpkg-deb --fsys-tarfile "$deb" | tar -xf - -C "$tmp" ./usr/share/doc/tarrow/tarrowd.service
    check_unit "$tmp/usr/share/doc/tarrow/tarrowd.service" /usr/sbin/tarrowd
    dpkg-deb -f "$deb" Depends | grep -q 'libc6' || fail "no dependency on libc6"
    if command -v lintian >/dev/null 2>&1; then
        lintian "$deb" >"$tmp/lintian" 2>&1
        grep '^E:' "$tmp/lintian" && fail "lintian reports errors"
        cat "$tmp/lintian"
    else
        echo "no lintian: package not checked by it"
    fi
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac

[ $failures -eq 0 ] || exit 1
echo "$mode: all checks passed"
