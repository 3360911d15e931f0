#!/usr/bin/env bash
# Builds Qt 5.15.8 for Windows (MinGW-w64, 64-bit) from Debian's own source
# package, with only what the agent needs, and installs it into a cache
# directory outside the checkout. Later runs find the finished install and
# return at once; only the first run on a machine pays for the build
# (about 30 minutes on 2 cores).
#
# Usage: scripts/qt-mingw.sh [--print-prefix]
#   --print-prefix  print the install directory (whether built or not) and exit
# Environment:
#   ZAV_QT_MINGW_CACHE  parent of the install (default ${XDG_CACHE_HOME:-~/.cache})
#   JOBS                parallel jobs (default: the number of processors)
#
# The source comes through apt from the Debian mirror this machine already
# uses: a deb-src entry in a private apt state directory (the system's apt
# configuration is left alone), `apt-get source --download-only`, then
# dpkg-source applies Debian's patches (its security fixes among them).
# Nothing is downloaded from anywhere else.
set -euo pipefail

QT_VERSION=5.15.8
PACKAGE=qtbase-opensource-src
# Only Core, Gui, Widgets, Network and the windows platform plugin (plus the
# image format plugins); TLS through Schannel. The tablet header is not in
# Debian's +dfsg source, hence no tablet events.
CONFIGURE_OPTIONS=(
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -opensource -confirm-license -release -shared -strip
    -nomake examples -nomake tests
    -no-opengl -no-dbus -no-icu -no-feature-vulkan
    -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-pcre -qt-harfbuzz
    -schannel -no-openssl
    -no-sql-sqlite -no-sql-odbc -no-sql-psql -no-sql-mysql
    -no-feature-sql -no-feature-xml -no-feature-testlib -no-feature-concurrent
    -no-feature-printer -no-feature-tabletevent
)
KEY=$(printf '%s\n' "$QT_VERSION" "${CONFIGURE_OPTIONS[@]}" | sha256sum | cut -c1-10)
CACHE=${ZAV_QT_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}}
PREFIX=$CACHE/zav-qt-mingw-$QT_VERSION-$KEY
if [ "${1:-}" = "--print-prefix" ]; then
    echo "$PREFIX"
    exit 0
fi
if [ -f "$PREFIX/.complete" ]; then
    echo "qt-mingw: cached at $PREFIX"
    exit 0
fi

JOBS=${JOBS:-$(nproc)}
for tool in x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix apt-get dpkg-source make perl; do
    command -v "$tool" >/dev/null || { echo "qt-mingw: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done

WORK=$CACHE/zav-qt-mingw-$QT_VERSION-$KEY.work
rm -rf "$WORK"
mkdir -p "$WORK"
start=$SECONDS
log() { echo "qt-mingw: [$((SECONDS - start)) s] $*"; }

# 1. Source through apt, from the mirror of the machine's own deb entry.
mirror_uri() {
    local uri=""
    if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        uri=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
    fi
    if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
        uri=$(awk '$1 == "deb" {for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) {print $i; exit}}' /etc/apt/sources.list)
    fi
    echo "${uri:-http://deb.debian.org/debian}"
}
APT=$WORK/apt
mkdir -p "$APT/parts" "$APT/lists/partial" "$APT/cache/archives/partial"
URI=$(mirror_uri)
SECURITY_URI=${URI%/debian}/debian-security
cat >"$APT/parts/src.sources" <<EOF
Types: deb-src
URIs: $URI
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: $SECURITY_URI
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
APT_OPTS=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$APT/parts"
    -o "Dir::State::Lists=$APT/lists" -o "Dir::Cache=$APT/cache" -o APT::Sandbox::User=root)
log "fetching the $PACKAGE source from $URI"
apt-get "${APT_OPTS[@]}" -qq update
(cd "$WORK" && apt-get "${APT_OPTS[@]}" -qq source --download-only "$PACKAGE")
DSC=$(ls "$WORK"/${PACKAGE}_"$QT_VERSION"+dfsg-*.dsc | sort -V | tail -1)
[ -f "$DSC" ] || { echo "qt-mingw: no $PACKAGE $QT_VERSION source in the archive" >&2; exit 1; }
log "unpacking $(basename "$DSC") with Debian's patches"
(cd "$WORK" && dpkg-source --no-check -x "$DSC" src >/dev/null)

# 2. Tools: Qt wants the posix thread model; Debian names those compilers
#    *-posix. Schannel's link asks for Secur32 and Crypt32 by capitalized
#    names, MinGW's import libraries are lower case.
SHIM=$WORK/shim
mkdir -p "$SHIM/bin" "$SHIM/lib"
for t in gcc g++ cpp gcc-ar gcc-nm gcc-ranlib; do
    ln -sf "/usr/bin/x86_64-w64-mingw32-$t-posix" "$SHIM/bin/x86_64-w64-mingw32-$t"
done
MINGW_LIB=/usr/x86_64-w64-mingw32/lib
ln -sf "$MINGW_LIB/libsecur32.a" "$SHIM/lib/libSecur32.a"
ln -sf "$MINGW_LIB/libcrypt32.a" "$SHIM/lib/libCrypt32.a"
export PATH=$SHIM/bin:$PATH

# 3. Configure, build, install.
mkdir -p "$WORK/build"
cd "$WORK/build"
log "configuring"
"$WORK/src/configure" -prefix "$PREFIX" -L "$SHIM/lib" "${CONFIGURE_OPTIONS[@]}" >"$WORK/configure.log" 2>&1 \
    || { tail -40 "$WORK/configure.log"; echo "qt-mingw: configure failed ($WORK/configure.log)" >&2; exit 1; }
log "building with $JOBS jobs"
make -s -j"$JOBS" >"$WORK/build.log" 2>&1 \
    || { tail -40 "$WORK/build.log"; echo "qt-mingw: build failed ($WORK/build.log)" >&2; exit 1; }
log "installing into $PREFIX"
rm -rf "$PREFIX"
make -s install >"$WORK/install.log" 2>&1 \
    || { tail -40 "$WORK/install.log"; echo "qt-mingw: install failed" >&2; exit 1; }
# The MinGW run-time libraries the Qt DLLs were linked against go with them.
GCC_DIR=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
for dll in "$GCC_DIR/libstdc++-6.dll" "$GCC_DIR/libgcc_s_seh-1.dll" "$MINGW_LIB/libwinpthread-1.dll"; do
    cp "$dll" "$PREFIX/bin/"
done
mkdir -p "$PREFIX/lib/shim"
cp -a "$SHIM/lib/." "$PREFIX/lib/shim/"
printf 'Qt %s for MinGW-w64 from %s\nbuilt in %s s with %s jobs on %s\noptions: %s\n' \
    "$QT_VERSION" "$(basename "$DSC")" "$((SECONDS - start))" "$JOBS" "$(date -u +%F)" \
    "${CONFIGURE_OPTIONS[*]}" >"$PREFIX/.complete"
cd "$CACHE"
rm -rf "$WORK"
log "done: $PREFIX"
