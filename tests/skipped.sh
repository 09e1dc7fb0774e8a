#!/bin/sh
# Prints "  NAME: REASON" for every test that ctest's JUnit report (--output-junit) marks as
# skipped, and nothing when none was. The reason is the message of a GoogleTest skip, else the
# line where a script said it skipped, else what ctest recorded.
# usage: tests/skipped.sh REPORT.xml
report=${1:?usage: skipped.sh report.xml}
[ -r "$report" ] || { echo "skipped.sh: cannot read $report" >&2; exit 2; }

awk '
function unescape(s) {
    gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
    gsub(/&apos;/, "\047", s); gsub(/&amp;/, "\\&", s)
    return s
}
function attr(line, name,    m) {
    if (match(line, name "=\"[^\"]*\"") == 0)
        return ""
    return unescape(substr(line, RSTART + length(name) + 2, RLENGTH - length(name) - 3))
}
function report() {
    if (name == "" || !skipped)
        return
    why = gtest != "" ? gtest : said != "" ? said : message
    printf "  %s: %s\n", name, why == "" ? "(no reason given)" : why
}
/<testcase / {
    report()
    name = attr($0, "name"); skipped = 0; gtest = ""; said = ""; message = ""; after = 0
    next
}
/<skipped/ { skipped = 1; message = attr($0, "message"); next }
{
    line = unescape($0)
    sub(/^[ \t]*<system-out>/, "", line)
    sub(/<\/system-out>.*$/, "", line)
    if (after && gtest == "" && line != "") {
        gtest = line
        after = 0
    }
    if (line ~ /: Skipped$/)
        after = 1
    else if (said == "" && tolower(line) ~ /skip/ && line !~ /^\[  SKIPPED \]/)
        said = line
}
END { report() }
' "$report"
