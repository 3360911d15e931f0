#!/usr/bin/env bash
# Installs what is needed, builds the agent twice (a normal build and an
# AddressSanitizer + UndefinedBehaviorSanitizer build) and runs every test of
# both through CTest; checks the packages, the platform interface's Windows
# side under wine, and fuzzes. Exits non-zero if any build or test fails.
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

bash scripts/install-deps.sh || exit 1

status=0
summary="[deps] installed ($SECONDS s)"$'\n'
stage_start=$SECONDS
lap() { # sets took to how long the stage since the last call took
    took="($((SECONDS - stage_start)) s)"
    stage_start=$SECONDS
}
run_build() { # name, extra cmake args...
    local name=$1; shift
    local dir="$ROOT/build-$name"
    echo "=== [$name] configure and build"
    cmake -S "$ROOT" -B "$dir" -G Ninja "$@" >"$dir.configure.log" 2>&1 \
        || { cat "$dir.configure.log"; status=1; lap; summary+="[$name] configure FAILED $took"$'\n'; return; }
    if ! cmake --build "$dir" -j "$JOBS"; then
        status=1; lap; summary+="[$name] build FAILED $took"$'\n'; return
    fi
    echo "=== [$name] tests"
    local log="$dir/ctest.log"
    (cd "$dir" && ctest --output-on-failure -j "$JOBS" ${CTEST_ARGS:-}) 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    [ "$rc" -eq 0 ] || status=1
    lap
    summary+="[$name] $(grep -E 'tests passed|tests failed' "$log" | tail -1) $took"$'\n'
}

mkdir -p "$ROOT/build-release" "$ROOT/build-asan"
run_build release -DCMAKE_BUILD_TYPE=RelWithDebInfo
if bash scripts/package-check.sh "$ROOT/build-release"; then lap; summary+="[package] .deb OK $took"$'\n'
else lap; status=1; summary+="[package] .deb check FAILED $took"$'\n'; fi
# The same messages on X11, on sway's layer shell and through a notification
# service; screenshots in the build directory.
if bash scripts/desktop-check.sh "$ROOT/build-release" | tee "$ROOT/build-release/desktop-check.log"; then
    lap; summary+="[desktop] $(tail -1 "$ROOT/build-release/desktop-check.log") $took"$'\n'
else lap; status=1; summary+="[desktop] $(tail -1 "$ROOT/build-release/desktop-check.log") FAILED $took"$'\n'; fi
run_build asan -DCMAKE_BUILD_TYPE=Debug -DZAV_SANITIZE=ON -DZAV_BUILD_BENCH=OFF

# The agent built for Windows (MinGW-w64, with a Qt for Windows built from
# Debian's source once per machine: about 30 minutes the first time, then
# cached) and its installer, run under wine.
if ZAV_PUSH_DEV="$ROOT/build-release/tools/zav-push-dev/zav-push-dev" \
    bash scripts/windows-check.sh "$ROOT/build-windows"; then
    lap; summary+="[windows] $(tail -1 "$ROOT/build-windows/windows-check.log" | tr -d '\r') $took"$'\n'
else lap; status=1; summary+="[windows] FAILED (build-windows/windows-check.log) $took"$'\n'; fi

# libFuzzer targets (clang, ASan+UBSan), FUZZ_SECONDS each (10 here; long
# runs are fuzz/run.sh long); any finding fails the run.
if FUZZ_SECONDS=${FUZZ_SECONDS:-10} bash fuzz/run.sh short; then lap; summary+="[fuzz] no findings $took"$'\n'
else lap; status=1; summary+="[fuzz] FAILED (build-fuzz/logs, build-fuzz/findings) $took"$'\n'; fi

echo
echo "=== Summary (${SECONDS} s in all)"
printf '%s' "$summary"
exit $status
