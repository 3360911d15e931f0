#!/usr/bin/env bash
# Builds the platform interface's Windows side (src/platform/platform_win.c)
# with MinGW-w64 into a test program and runs it under wine, in a wine prefix
# of its own. The program ends with "N passed, M failed"; so does this script,
# which fails when anything failed or could not run.
#
# Usage: scripts/windows-check.sh [BUILD_DIR]   (default build-windows)
# Needs g++-mingw-w64-x86-64 and wine64 (scripts/install-deps.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build-windows}
CC=x86_64-w64-mingw32-gcc
WINE=/usr/lib/wine/wine64
for tool in "$CC" "$WINE"; do
    command -v "$tool" >/dev/null || { echo "windows-check: $tool is missing" >&2; exit 1; }
done

mkdir -p "$BUILD"
EXE=$BUILD/windows-check.exe
echo "=== [windows] $CC"
"$CC" -std=c11 -Wall -Wextra -Werror -O2 -static -Isrc/platform \
    -o "$EXE" tests/platform/windows_check.c src/platform/platform_win.c

echo "=== [windows] wine"
export WINEPREFIX
WINEPREFIX=$(cd "$BUILD" && pwd)/wineprefix
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# The first run makes the prefix (a few seconds); the wineserver it starts
# is ended with the prefix's own command afterwards.
trap '/usr/lib/wine/wineserver -k 2>/dev/null || true' EXIT
OUT=$BUILD/windows-check.log
set +e
timeout 300 "$WINE" "$EXE" >"$OUT" 2>"$BUILD/wine.err"
rc=$?
set -e
tr -d '\r' <"$OUT"
if ! tail -1 "$OUT" | tr -d '\r' | grep -Eq '^[0-9]+ passed, 0 failed$' || [ "$rc" -ne 0 ]; then
    [ -s "$OUT" ] || { cat "$BUILD/wine.err" >&2; echo "0 passed, 1 failed"; }
    echo "windows-check: FAILED (exit $rc)" >&2
    exit 1
fi
