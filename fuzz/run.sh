#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan + UBSan) in build-fuzz and runs
# each of them, one after the other, from its seed corpus in fuzz/corpus/.
#
#   fuzz/run.sh [short|long] [target...]
#
#   short (default)  each target for FUZZ_SECONDS seconds (default 20; the test script, and so CI, sets 10)
#   long             each target for FUZZ_RUNS executions (default 10000000),
#                    or FUZZ_MAX_SECONDS seconds if that is set and comes first;
#                    without allocation stacks in reports (replay to see them)
#   target           json_text client_text client_args message_json push_answer
#                    pipe_command safe_text text_layout page_frame push_query
#                    push_campaign
#                    (default: every target the build has)
#
# FUZZ_MAX_LEN caps the input size (default 65536 bytes).
#
# New inputs go to build-fuzz/corpus/<target> (not into the repository); a
# crash, leak, timeout or broken invariant leaves its input in
# build-fuzz/findings/ and makes the script exit with status 1. Figures of each
# run are appended to build-fuzz/fuzz-summary.txt.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
MODE=${1:-short}
[ $# -gt 0 ] && shift
BUILD=${FUZZ_BUILD_DIR:-$ROOT/build-fuzz}
JOBS=${JOBS:-2}
SECONDS_EACH=${FUZZ_SECONDS:-20}
RUNS=${FUZZ_RUNS:-10000000}
MAX_LEN=${FUZZ_MAX_LEN:-65536}
ALL=(json_text client_text client_args message_json push_answer pipe_command safe_text
     text_layout page_frame push_query push_campaign)

case $MODE in
short) LIMIT=(-max_total_time="$SECONDS_EACH") ;;
long)
    LIMIT=(-runs="$RUNS")
    [ -n "${FUZZ_MAX_SECONDS:-}" ] && LIMIT+=(-max_total_time="$FUZZ_MAX_SECONDS")
    ;;
*) echo "usage: $0 [short|long] [target...]" >&2; exit 2 ;;
esac

launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
mkdir -p "$BUILD"
if ! CC=clang-14 CXX=clang++-14 cmake -S "$ROOT" -B "$BUILD" -G Ninja "${launcher[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZAV_FUZZ=ON -DBUILD_TESTING=OFF \
    -DZAV_BUILD_TOOLS=OFF -DZAV_BUILD_BENCH=OFF >"$BUILD/configure.log" 2>&1; then
    cat "$BUILD/configure.log"
    exit 1
fi

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    known=$(ninja -C "$BUILD" -t targets all 2>/dev/null)
    for t in "${ALL[@]}"; do
        grep -q "^fuzz/fuzz_$t:" <<<"$known" && targets+=("$t")
    done
fi
build_targets=()
for t in "${targets[@]}"; do build_targets+=("fuzz_$t"); done
cmake --build "$BUILD" -j "$JOBS" --target "${build_targets[@]}" || exit 1

export LSAN_OPTIONS="suppressions=$ROOT/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS="detect_leaks=1"
# Long runs record no allocation stacks: that makes Qt-heavy targets about
# 2.5 times faster, and errors and leaks are still detected. To see the
# stacks of a finding, replay its input: build-fuzz/fuzz/fuzz_<target> <file>
# A smaller quarantine keeps the allocator from slowing down over millions of
# runs (freed blocks are still poisoned until 16 MB of later frees push them out).
[ "$MODE" = long ] && ASAN_OPTIONS+=":malloc_context_size=0:quarantine_size_mb=16"
mkdir -p "$BUILD/findings" "$BUILD/logs"
status=0
for t in "${targets[@]}"; do
    work="$BUILD/corpus/$t"
    mkdir -p "$work"
    dict=()
    [ -f "$ROOT/fuzz/$t.dict" ] && dict=(-dict="$ROOT/fuzz/$t.dict")
    log="$BUILD/logs/$t-$MODE.log"
    echo "=== fuzz $t ($MODE: ${LIMIT[*]})"
    start=$(date +%s)
    "$BUILD/fuzz/fuzz_$t" "${LIMIT[@]}" "${dict[@]}" -print_final_stats=1 -timeout=10 \
        -rss_limit_mb=4096 -max_len="$MAX_LEN" -artifact_prefix="$BUILD/findings/$t-" \
        "$work" "$ROOT/fuzz/corpus/$t" >"$log" 2>&1
    rc=$?
    secs=$(($(date +%s) - start))
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    last=$(grep -E '^#[0-9]+' "$log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9a-zA-Z]*\).*/\1/p' <<<"$last")
    line="$(date -u +%FT%TZ) $t mode=$MODE rc=$rc execs=${execs:-?} exec/s=${rate:-?} time=${secs}s cov=${cov:-?} ft=${ft:-?} corpus=${corp:-?}"
    echo "$line" | tee -a "$BUILD/fuzz-summary.txt"
    if [ $rc -ne 0 ]; then
        status=1
        echo "--- finding in $t (log: $log):"
        grep -E 'ERROR|invariant broken|SUMMARY|Test unit written' "$log" | head -20
    fi
done
exit $status
