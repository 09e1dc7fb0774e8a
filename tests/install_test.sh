#!/bin/sh
# What an install and the Debian packages hold: every program built, the manual pages with a
# fixed date, the documents, the examples, and units that name the installed programs and that
# systemd-analyze passes and rates safe; lintian accepts the packages without hardening tags,
# and they install, upgrade and remove cleanly in a scratch root.
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

has_program() {
    for prog in $programs; do [ "$prog" = "$1" ] && return 0; done
    return 1
}
programs="$*"

# expect_files LIST PREFIX UNITDIR: every file an install must hold is in LIST (one path a line).
expect_files() {
    list=$1 p=$2 units=$3
    want="$p/sbin/tarrowd $p/share/man/man8/tarrowd.8.gz $p/bin/sievel-act
        $p/share/man/man1/sievel-act.1.gz $units/tarrowd.service"
    for prog in $programs; do
        [ "$prog" = tarrowd ] && continue
        if [ "$prog" = tarrow-web ]; then
            want="$want $p/sbin/$prog $p/share/man/man8/$prog.8.gz"
            continue
        fi
        want="$want $p/bin/$prog $p/share/man/man1/$prog.1.gz"
    done
    for pkg in tarrow tarrow-sender; do
        for doc in README.md LICENSE copyright changelog.gz; do
            want="$want $p/share/doc/$pkg/$doc"
        done
    done
    for ex in disk-full disk-io oom-killer segfaults ssh-logins; do
        want="$want $p/share/doc/tarrow-sender/examples/$ex.params"
    done
    if has_program tarrow-bridge; then
        want="$want $units/tarrow-bridge.service $p/share/doc/tarrow/examples/alertmanager.yml"
    fi
    has_program tarrow-web && want="$want $units/tarrow-web.service"
    for f in $want; do
        grep -qx "$f" "$list" || fail "$f is not installed"
    done
}

# check_unit FILE PROGRAM: the unit starts this program, documents itself and reloads with
# SIGHUP; systemd-analyze, when there, passes it and rates it 2.0 or lower.
check_unit() {
    unit=$1 program=$2
    grep -q "^ExecStart=$program " "$unit" ||
        fail "$unit does not start $program: $(grep ^ExecStart "$unit")"
    case $unit in
    */tarrowd.service)
        grep -q "^ExecStart=$program --foreground --keep-table.* --log-keep-days 90 --sync 9003 127.0.0.1\$" \
            "$unit" || fail "the unit does not keep the table and expire logs" ;;
    esac
    grep -q '^Documentation=man:' "$unit" || fail "$unit has no Documentation="
    grep -q '^ExecReload=/bin/kill -HUP \$MAINPID$' "$unit" || fail "$unit has no ExecReload="
    command -v systemd-analyze >/dev/null 2>&1 || { echo "no systemd-analyze: unit not checked"; return; }
    [ -x "$program" ] || return    # inside the package: verify needs the binary in place
    # verify looks up the pages Documentation= names: those of this install.
    MANPATH=$(dirname "$(dirname "$program")")/share/man \
        systemd-analyze verify "$unit" >"$tmp/verify" 2>&1 || fail "verify: $(cat "$tmp/verify")"
    systemd-analyze security --offline=true "$unit" >"$tmp/security" 2>&1
    level=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$tmp/security")
    echo "systemd-analyze security $(basename "$unit"): $level"
    [ -n "$level" ] && awk -v l="$level" 'BEGIN { exit !(l <= 2.0) }' ||
        fail "exposure level ${level:-unknown}: $(tail -3 "$tmp/security")"
}

# scratch_root SERVER-DEB SENDER-DEB: both packages install, upgrade and remove in an empty
# root with dpkg --root; the maintainer scripts, run against a stand-in systemctl, reload
# systemd and start nothing on the first install, restart the services on an upgrade and stop
# them on removal.
scratch_root() {
    server=$1 sender=$2
    if [ "$(id -u)" -ne 0 ]; then
        echo "not root: the install in a scratch root is not tried"
        return
    fi
    root=$tmp/root
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/run/systemd/system" \
        "$tmp/fakebin"
    : >"$root/var/lib/dpkg/status"
    calls=$tmp/systemctl.calls
    for tool in systemctl deb-systemd-invoke; do
        printf '#!/bin/sh\necho "$*" >>%s\n' "$calls" >"$tmp/fakebin/$tool"
        chmod +x "$tmp/fakebin/$tool"
    done
    dpkg_root() {
        PATH=$tmp/fakebin:$PATH dpkg --root="$root" --force-script-chrootless --force-depends \
            --force-not-root "$@" >>"$tmp/dpkg.log" 2>&1
    }

    : >"$calls"
    dpkg_root -i "$server" "$sender" || fail "first install: $(tail -5 "$tmp/dpkg.log")"
    [ -x "$root/usr/sbin/tarrowd" ] && [ -x "$root/usr/bin/flicket" ] ||
        fail "first install left no programs"
    [ -f "$root/lib/systemd/system/tarrowd.service" ] || fail "no unit in /lib/systemd/system"
    grep -q 'daemon-reload' "$calls" || fail "first install did not reload systemd"
    grep -Eq 'start|restart' "$calls" && fail "first install started a service: $(cat "$calls")"

    # The same packages with a higher version: an upgrade.
    for deb in "$server" "$sender"; do
        dpkg-deb -R "$deb" "$tmp/repack" || fail "unpack $deb"
        sed -i 's/^Version: .*/&+up1/' "$tmp/repack/DEBIAN/control"
        dpkg-deb -b "$tmp/repack" "$tmp/$(basename "$deb" .deb)+up1.deb" >/dev/null ||
            fail "repack $deb"
        rm -rf "$tmp/repack"
    done
    : >"$calls"
    dpkg_root -i "$tmp"/*+up1.deb || fail "upgrade: $(tail -5 "$tmp/dpkg.log")"
    grep -q 'try-restart tarrowd.service' "$calls" ||
        fail "an upgrade did not restart tarrowd: $(cat "$calls")"

    : >"$calls"
    dpkg_root -r tarrow tarrow-sender || fail "remove: $(tail -5 "$tmp/dpkg.log")"
    grep -q 'stop tarrowd.service' "$calls" || fail "removal did not stop tarrowd: $(cat "$calls")"
    dpkg_root -P tarrow tarrow-sender || fail "purge: $(tail -5 "$tmp/dpkg.log")"
    left=$(cd "$root" && find . -path ./var -prune -o -path ./run -prune -o -type f -print)
    [ -z "$left" ] || fail "files left after purge: $left"
    echo "scratch root: install, upgrade, remove and purge passed"
}

case $mode in
install)
    prefix=$tmp/usr
    cmake --install "$build" --prefix "$prefix" >"$tmp/log" 2>&1 || fail "install: $(cat "$tmp/log")"
    find "$prefix" -type f -o -type l | sort >"$tmp/files"
    expect_files "$tmp/files" "$prefix" "$prefix/lib/systemd/system"
    for page in "$prefix"/share/man/*/*.gz; do
        gzip -dc "$page" | grep -q '^\.Dd [A-Z][a-z]* [0-9][0-9]*, [0-9]\{4\}$' ||
            fail "$page carries no fixed date"
    done
    check_unit "$prefix/lib/systemd/system/tarrowd.service" "$prefix/sbin/tarrowd"
    has_program tarrow-bridge &&
        check_unit "$prefix/lib/systemd/system/tarrow-bridge.service" "$prefix/bin/tarrow-bridge"
    has_program tarrow-web &&
        check_unit "$prefix/lib/systemd/system/tarrow-web.service" "$prefix/sbin/tarrow-web"
    # The installed sievel-act runs and says what it could not deliver.
    out=$(echo 'RAISE-ALERT K "t" h' | "$prefix/bin/sievel-act" -p 1 --drain 0 2>&1)
    case $out in *"1 records not delivered"*) ;; *) fail "installed sievel-act: $out" ;; esac
    ;;
package)
    command -v dpkg-deb >/dev/null 2>&1 || { echo "no dpkg-deb: skipped"; exit 77; }
    cpack --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/log" 2>&1 ||
        { fail "cpack: $(cat "$tmp/log")"; exit 1; }
    server=$(ls "$tmp"/pkg/tarrow_*.deb) sender=$(ls "$tmp"/pkg/tarrow-sender_*.deb) ||
        { fail "two packages expected: $(ls "$tmp/pkg")"; exit 1; }
    for deb in "$server" "$sender"; do
        dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|'
    done | sort >"$tmp/files"
    expect_files "$tmp/files" /usr /lib/systemd/system
    dpkg-deb --fsys-tarfile "$server" | tar -xf - -C "$tmp" ./lib/systemd/system
    check_unit "$tmp/lib/systemd/system/tarrowd.service" /usr/sbin/tarrowd
    # A host that only sends pulls in neither curl nor ncurses, and gets no server.
    dpkg-deb -f "$sender" Depends | grep -q 'libc6' || fail "tarrow-sender: no dependency on libc6"
    dpkg-deb -f "$sender" Depends | grep -Eq 'curl|ncurses|tinfo' &&
        fail "tarrow-sender depends on $(dpkg-deb -f "$sender" Depends)"
    dpkg-deb -c "$sender" | grep -Eq 'tarrowd|tarrowc|tarrow-bridge|systemd' &&
        fail "tarrow-sender holds a server part"
    dpkg-deb -f "$server" Recommends | grep -q 'tarrow-sender' ||
        fail "tarrow does not recommend tarrow-sender"
    # The descriptions name every program built, and every path a manual page names under
    # /usr/share/doc or /lib/systemd is installed by the package of that page (a host with
    # only tarrow-sender has no tarrow examples).
    for prog in $programs; do
        dpkg-deb -f "$server" Description | grep -qw -- "$prog" ||
            fail "the description of tarrow does not name $prog"
    done
    for deb in "$server" "$sender"; do
        own=$tmp/own/$(basename "$deb")
        mkdir -p "$own"
        dpkg-deb -c "$deb" | awk '{ print $NF }' | sed 's|^\./|/|' >"$own.files"
        dpkg-deb --fsys-tarfile "$deb" | tar -xf - -C "$own" ./usr/share/man
        for page in "$own"/usr/share/man/man*/*.gz; do
            gzip -dc "$page" |
                grep -Eo '/(usr/share/doc|lib/systemd)/[A-Za-z0-9_./-]*[A-Za-z0-9]' |
                while read -r path; do
                    grep -qx "$path" "$own.files" || grep -q "^$path/" "$own.files" ||
                        echo "$(basename "$page") names $path, not in $(basename "$deb")"
                done
        done
    done >"$tmp/paths"
    [ -s "$tmp/paths" ] && fail "$(cat "$tmp/paths")"
    if command -v lintian >/dev/null 2>&1; then
        lintian "$server" "$sender" >"$tmp/lintian" 2>&1
        cat "$tmp/lintian"
        grep '^E:' "$tmp/lintian" && fail "lintian reports errors"
        grep 'hardening' "$tmp/lintian" && fail "lintian reports hardening tags"
    else
        echo "no lintian: packages not checked by it"
    fi
    scratch_root "$server" "$sender"
    ;;
*)
    fail "unknown mode $mode"
    ;;
esac

[ $failures -eq 0 ] || exit 1
echo "$mode: all checks passed"
