#!/bin/sh
# Runs each fuzz target for FUZZ_SECONDS (default 60) from its seed corpus in fuzz/corpus/.
#   fuzz/run.sh BUILD_DIR [target...]
# New inputs are kept in BUILD_DIR/corpus/<target>; a crash or a broken invariant leaves its
# input in BUILD_DIR/artifacts/<target>/ and makes the run fail (after every target ran).
set -u
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd) || exit 1
shift
seconds=${FUZZ_SECONDS:-60}
# By default every target the configuration built (fuzz/targets.txt lists them: those of a
# part whose libraries are missing are left out).
targets=${*:-$(cat "$build/fuzz/targets.txt")}
failed=
for t in $targets; do
    bin=$build/fuzz/$t
    [ -x "$bin" ] || { echo "fuzz: $bin not built" >&2; failed="$failed $t"; continue; }
    seeds=$top/fuzz/corpus/${t#fuzz_}
    work=$build/corpus/$t
    out=$build/artifacts/$t
    mkdir -p "$work" "$out"
    set -- -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$out/"
    case $t in
    fuzz_sievel) set -- "$@" -max_len=2048 -dict="$top/fuzz/sievel.dict" ;;
    fuzz_console_reply) set -- "$@" -max_len=70000 ;;
    fuzz_overflow) set -- "$@" -max_len=30000 ;;
    fuzz_table_file) set -- "$@" -max_len=23900 ;;   # 50 alerts, 50 acks, the state
    fuzz_server_input) set -- "$@" -max_len=20000 ;;
    fuzz_filter_expr) set -- "$@" -max_len=600 ;;
    fuzz_journal) set -- "$@" -max_len=30000 ;;    # a full table, then journal entries
    fuzz_logline) set -- "$@" -max_len=4096 ;;
    fuzz_action_line) set -- "$@" -max_len=4096 ;;
    fuzz_bridge_json) set -- "$@" -max_len=8192 ;;
    fuzz_web_request) set -- "$@" -max_len=4096 ;;
    esac
    echo "fuzz: $t for ${seconds}s"
    if "$bin" "$@" "$work" "$seeds" >"$out.log" 2>&1; then
        grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$out.log" | tr '\n' ' '
        echo
    else
        tail -n 40 "$out.log"
        echo "fuzz: $t FAILED; reproducer: $(ls -t "$out"/crash-* "$out"/leak-* "$out"/timeout-* "$out"/oom-* 2>/dev/null | head -n 1)"
        echo "      replay with: $bin <reproducer>"
        failed="$failed $t"
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz: failed:$failed"
    exit 1
fi
