#!/bin/sh
# skipped.sh on a ctest JUnit report: each skipped test once with its reason (a GoogleTest
# skip's message, a script's own words, else what ctest recorded), entities decoded, and
# nothing of the tests that ran, even where their output speaks of skipping.
# usage: skipped_test.sh source-dir
src=${1:?usage: skipped_test.sh source-dir}
tmp=$(mktemp -d /tmp/tarrow_skipped_XXXXXX) || exit 1
trap 'rm -rf "$tmp"' EXIT

cat >"$tmp/report.xml" <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<testsuite name="t" tests="5" failures="0" disabled="0" skipped="3">
	<testcase name="ha.two_boards" classname="ha.two_boards" time="0.1" status="notrun">
		<skipped message="SKIP_REGULAR_EXPRESSION_MATCHED"/>
		<system-out>Running main() from gtest_main.cc
[ RUN      ] ha.two_boards
/src/tests/ha_test.cc:191: Skipped
prometheus-alertmanager is not installed: two &lt;boards&gt; &amp; more not tested

[  SKIPPED ] ha.two_boards (0 ms)
</system-out>
	</testcase>
	<testcase name="ran" classname="ran" time="0.1" status="run">
		<system-out>SKIP: nothing, this one ran
</system-out>
	</testcase>
	<testcase name="watch" classname="watch" time="0.1" status="notrun">
		<skipped message="SKIP_RETURN_CODE=77"/>
		<system-out>starting
tmux not installed: skipped
</system-out>
	</testcase>
	<testcase name="silent" classname="silent" time="0.1" status="notrun">
		<skipped message="SKIP_RETURN_CODE=77"/>
	</testcase>
	<testcase name="failed" classname="failed" time="0.1" status="fail">
		<failure message="Failed"/>
		<system-out>FAIL: skipped a step
</system-out>
	</testcase>
</testsuite>
XML
cat >"$tmp/want" <<'WANT'
  ha.two_boards: prometheus-alertmanager is not installed: two <boards> & more not tested
  watch: tmux not installed: skipped
  silent: SKIP_RETURN_CODE=77
WANT
sh "$src/tests/skipped.sh" "$tmp/report.xml" >"$tmp/got" 2>&1 || { cat "$tmp/got"; exit 1; }
if ! cmp -s "$tmp/want" "$tmp/got"; then
    echo "FAIL: skipped.sh printed:"
    cat "$tmp/got"
    echo "instead of:"
    cat "$tmp/want"
    exit 1
fi
# A report with no skipped test prints nothing.
grep -v 'notrun\|<skipped' "$tmp/report.xml" >"$tmp/none.xml"
[ -z "$(sh "$src/tests/skipped.sh" "$tmp/none.xml")" ] || { echo "FAIL: a skip made up"; exit 1; }
echo "skipped: all checks passed"
