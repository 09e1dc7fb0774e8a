#!/bin/sh
# A machine with only a compiler, CMake and make: with every optional library hidden from
# CMake, the configure succeeds, names what it leaves out and the packages that would bring it
# in, and the programs that need nothing more build.
# usage: configure_test.sh source-dir
src=${1:?usage: configure_test.sh source-dir}
tmp=$(mktemp -d /tmp/tarrow_configure_XXXXXX) || exit 1
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

cmake -S "$src" -B "$tmp/build" -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON -DCMAKE_DISABLE_FIND_PACKAGE_CURL=ON \
    -DCMAKE_DISABLE_FIND_PACKAGE_httplib=ON -DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON >"$tmp/log" 2>&1 ||
    { cat "$tmp/log"; fail "configure failed without the optional libraries"; exit 1; }
for want in "builds: tarrowd flicket quiesk sievel sievel-act\$" \
    "tests: off, install libgtest-dev" \
    "tarrowc: off, install libncurses-dev nlohmann-json3-dev" \
    "tarrow-bridge: off, install libcurl4-openssl-dev nlohmann-json3-dev" \
    "tarrow-history: off, install zlib1g-dev nlohmann-json3-dev"; do
    grep -q "$want" "$tmp/log" || fail "configure did not say: $want"
done
cmake --build "$tmp/build" -j 2 --target programs >"$tmp/build.log" 2>&1 ||
    { tail -30 "$tmp/build.log"; fail "the programs do not build without the optional libraries"; }
for p in tarrowd flicket quiesk sievel sievel-act; do
    [ -x "$tmp/build/bin/$p" ] || fail "no $p in bin/"
done
[ $failures -eq 0 ] || exit 1
echo "configure: all checks passed"
