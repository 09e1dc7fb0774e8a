#!/bin/sh
# The suite of `make test` run RUNS times in a row while a second copy of it runs beside it,
# RUNS times too, as on a machine loaded by other work. Prints how long it took and every
# test that failed in any run; exits 1 when one did.
# usage: tests/stress.sh BUILD-DIR [RUNS]     (BUILD-DIR: a built build-test/)
build=$(cd "${1:?usage: stress.sh build-dir [runs]}" && pwd) || exit 1
runs=${2:-3}
jobs=$(nproc 2>/dev/null || echo 2)
out=$build/stress
rm -rf "$out"
mkdir -p "$out/beside" || exit 1

# The copy beside runs the same tests from a tree of its own ctest files, so that the two
# ctest runs keep apart logs; the tests themselves work in temporary directories.
(cd "$build" && find . -name CTestTestfile.cmake | tar -cf - -T -) | tar -xf - -C "$out/beside"

# suite NAME DIR: the suite RUNS times in DIR, each run's output in $out/NAME-N.log.
suite() {
    i=1
    while [ "$i" -le "$runs" ]; do
        run_start=$(date +%s)
        (cd "$2" && ctest -j "$jobs" -LE build --timeout 300) >"$out/$1-$i.log" 2>&1
        echo "$1 run $i: exit $?, $(($(date +%s) - run_start)) s" >>"$out/summary"
        i=$((i + 1))
    done
}

start=$(date +%s)
suite beside "$out/beside" &
beside=$!
suite suite "$build"
wait "$beside"
took=$(($(date +%s) - start))

cat "$out/summary"
failed=$(sed -n '/The following tests FAILED:/,/^Errors while running/p' "$out"/*.log |
    grep -E '^[[:space:]]+[0-9]+ - ' | sed 's/^[[:space:]]*[0-9]* - //' | sort | uniq -c)
skipped=$(grep -l '(Skipped)' "$out"/*.log 2>/dev/null)
echo "stress: $runs runs, each with a copy beside it, in $took s"
if [ -n "$skipped" ]; then
    echo "stress: tests were skipped in: $skipped"
fi
if [ -n "$failed" ]; then
    echo "stress: failures (count, test):"
    echo "$failed"
    echo "stress: the logs are in $out"
    exit 1
fi
echo "stress: no failures"
