#!/bin/sh
# A machine with only a compiler, CMake and make: with every optional library hidden from
# CMake, the configure succeeds, names what it leaves out and the packages that would bring it
# in, and the programs that need nothing more build. With GoogleTest alone added, the tests of
# what was built build too, and `make run`'s start of the board offers only programs it has.
# usage: configure_test.sh source-dir
src=${1:?usage: configure_test.sh source-dir}
tmp=$(mktemp -d /tmp/tarrow_configure_XXXXXX) || exit 1
board=
cleanup() {
    [ -n "$board" ] && kill "$board" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

hidden="-DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_CURL=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_httplib=ON -DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON"
# shellcheck disable=SC2086
cmake -S "$src" -B "$tmp/bare" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON $hidden >"$tmp/log" 2>&1 ||
    { cat "$tmp/log"; fail "configure failed without the optional libraries"; exit 1; }
for want in "builds: tarrowd flicket quiesk sievel sievel-act\$" \
    "tests: off, install libgtest-dev" \
    "tarrowc: off, install libncurses-dev nlohmann-json3-dev" \
    "tarrow-bridge: off, install libcurl4-openssl-dev nlohmann-json3-dev" \
    "tarrow-history: off, install zlib1g-dev nlohmann-json3-dev"; do
    grep -q "$want" "$tmp/log" || fail "configure did not say: $want"
done

# The same with GoogleTest where it is installed: everything this configuration builds, tests
# included, builds without the libraries that only the left-out programs and their tests use.
# shellcheck disable=SC2086
cmake -S "$src" -B "$tmp/build" $hidden >"$tmp/log" 2>&1 ||
    { cat "$tmp/log"; fail "configure failed with GoogleTest alone"; exit 1; }
cmake --build "$tmp/build" -j 2 >"$tmp/build.log" 2>&1 ||
    { tail -30 "$tmp/build.log"; fail "the build fails without the optional libraries"; }
for p in tarrowd flicket quiesk sievel sievel-act; do
    [ -x "$tmp/build/bin/$p" ] || fail "no $p in bin/"
done
if grep -q "tests: on" "$tmp/log"; then
    [ -x "$tmp/build/tests/blackbox_test" ] || fail "no black-box tests without nlohmann-json"
fi
# A header hidden from CMake may still lie in /usr/include here: what the compiler read says
# whether a file that needs the library was built all the same.
used=$(find "$tmp/build" -name '*.o.d' -exec grep -l 'nlohmann/json\.hpp' {} + 2>/dev/null)
[ -z "$used" ] || fail "built with nlohmann-json hidden, yet reading it: $used"

# `make run` on this build: the board starts and the commands printed name only programs
# that were built, so no tarrowc.
sh "$src/tools/run-board" "$tmp/build/bin" "$tmp/run" 0 127.0.0.1 >"$tmp/run.out" 2>&1 &
board=$!
i=0
while [ $i -lt 100 ] && ! grep -q "quiesk [0-9]" "$tmp/run.out"; do
    sleep 0.1
    i=$((i + 1))
done
port=$(sed -n 's/^ *quiesk \([0-9][0-9]*\) 127\.0\.0\.1.*/\1/p' "$tmp/run.out")
if [ -z "$port" ]; then
    fail "run-board did not start the board: $(cat "$tmp/run.out")"
else
    grep -q "flicket $port 127.0.0.1 " "$tmp/run.out" || fail "run-board named no flicket command"
    grep -q tarrowc "$tmp/run.out" && fail "run-board names tarrowc, which was not built"
    "$tmp/build/bin/quiesk" "$port" 127.0.0.1 >/dev/null 2>&1 ||
        fail "quiesk did not stop the board"
fi
i=0
while [ $i -lt 100 ] && kill -0 "$board" 2>/dev/null; do
    sleep 0.1
    i=$((i + 1))
done
kill -0 "$board" 2>/dev/null && fail "run-board still runs after quiesk"
wait "$board" 2>/dev/null
board=

[ $failures -eq 0 ] || exit 1
echo "configure: all checks passed"
