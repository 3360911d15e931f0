#!/usr/bin/env bash
# Stages the Windows install of a MinGW build (cmake/windows-package.cmake)
# and wraps it in a per-user installer made by NSIS (cmake/windows-installer.nsi).
# Usage: scripts/windows-package.sh BUILD_DIR   -> BUILD_DIR/zav-msg-agent-VERSION-setup.exe
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$(cd "${1:?usage: windows-package.sh BUILD_DIR}" && pwd)
command -v makensis >/dev/null || { echo "windows-package: makensis is missing (package nsis)" >&2; exit 1; }
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
STAGE=$BUILD/stage
rm -rf "$STAGE"
cmake --install "$BUILD" --prefix "$STAGE" --strip >/dev/null

# What is installed, file by file: installed by File, removed by Delete, then
# the folders, deepest first.
files=$BUILD/files.nsh unfiles=$BUILD/unfiles.nsh
: >"$files"
: >"$unfiles"
(cd "$STAGE" && find . -type d | sort) | while read -r dir; do
    rel=${dir#./}
    win=${rel//\//\\}
    echo "SetOutPath \"\$INSTDIR${rel:+\\$win}\"" >>"$files"
    (cd "$STAGE/$dir" && find . -maxdepth 1 -type f | sort) | while read -r f; do
        name=${f#./}
        echo "File \"$STAGE/${rel:+$rel/}$name\"" >>"$files"
        echo "Delete \"\$INSTDIR${rel:+\\$win}\\$name\"" >>"$unfiles"
    done
done
(cd "$STAGE" && find . -mindepth 1 -type d | sort -r) | while read -r dir; do
    rel=${dir#./}
    echo "RMDir \"\$INSTDIR\\${rel//\//\\}\"" >>"$unfiles"
done

OUT=$BUILD/zav-msg-agent-$VERSION-setup.exe
makensis -V2 -NOCD -DVERSION="$VERSION" -DSTAGE="$STAGE" -DOUT="$OUT" \
    -X"!addincludedir $BUILD" "$ROOT/cmake/windows-installer.nsi"
echo "windows-package: $OUT ($(du -k "$OUT" | cut -f1) KiB, $(find "$STAGE" -type f | wc -l) files)"
