#!/bin/sh
# Runs ctest in a build directory and ends with the tests that were skipped and why. A skip
# fails the run where CI=true: there every tool a test needs is installed, so a skipped test
# means a missing install step, not a test that may be left out.
# usage: tests/run-tests.sh BUILD-DIR [CTEST-ARGUMENT...]
build=${1:?usage: run-tests.sh build-dir [ctest-argument...]}
shift
here=$(cd "$(dirname "$0")" && pwd)
report=ctest-report.xml

cd "$build" || exit 1
rm -f "$report"
ctest --output-on-failure --no-tests=error --output-junit "$report" "$@"
status=$?
[ -f "$report" ] || exit $status

"$here/skipped.sh" "$report" >skipped.txt
if [ -s skipped.txt ]; then
    echo
    echo "Skipped, and why:"
    cat skipped.txt
    if [ "${CI:-}" = true ]; then
        echo "CI=true: a skipped test fails the run; tools/install-deps --strict installs what" \
             "the tests need"
        [ $status -eq 0 ] && status=1
    fi
fi
exit $status
