#!/usr/bin/env bash
# Builds what the Windows build of the agent links and Debian has no MinGW
# build of, from Debian's own source packages, into cache directories outside
# the checkout:
#   - jansson 2.14 (libzavmsg's JSON), a static library: seconds;
#   - Qt 5.15.8 (Core, Gui, Widgets, Network, the windows platform plugin and
#     the image format plugins; TLS through Schannel): about 30 minutes on 2
#     cores, the first time on a machine only.
# Later runs find the finished installs and return at once.
#
# Usage: scripts/windows-deps.sh [--print-prefixes]
#   --print-prefixes  print "QT=DIR" and "JANSSON=DIR" (built or not) and exit
# Environment:
#   ZAV_MINGW_CACHE  parent of the installs (default ${XDG_CACHE_HOME:-~/.cache})
#   JOBS             parallel jobs (default: the number of processors)
#
# The sources come through apt from the Debian mirror this machine already
# uses: a deb-src entry in a private apt state directory (the system's apt
# configuration is left alone), `apt-get source --download-only`, then
# dpkg-source applies Debian's patches (its security fixes among them).
# Nothing is downloaded from anywhere else.
set -euo pipefail

QT_VERSION=5.15.8
JANSSON_VERSION=2.14
# Only what the agent needs. The tablet header is not in Debian's +dfsg
# source, hence no tablet events.
QT_OPTIONS=(
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
JANSSON_OPTIONS=(
    -DJANSSON_BUILD_SHARED_LIBS=OFF -DJANSSON_BUILD_DOCS=OFF -DJANSSON_EXAMPLES=OFF
    -DJANSSON_WITHOUT_TESTS=ON -DCMAKE_BUILD_TYPE=Release
    -DCMAKE_POSITION_INDEPENDENT_CODE=ON
)
key() { printf '%s\n' "$@" | sha256sum | cut -c1-10; }
CACHE=${ZAV_MINGW_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}}
QT_PREFIX=$CACHE/zav-qt-mingw-$QT_VERSION-$(key "$QT_VERSION" "${QT_OPTIONS[@]}")
JANSSON_PREFIX=$CACHE/zav-jansson-mingw-$JANSSON_VERSION-$(key "$JANSSON_VERSION" "${JANSSON_OPTIONS[@]}")
if [ "${1:-}" = "--print-prefixes" ]; then
    echo "QT=$QT_PREFIX"
    echo "JANSSON=$JANSSON_PREFIX"
    exit 0
fi
if [ -f "$QT_PREFIX/.complete" ] && [ -f "$JANSSON_PREFIX/.complete" ]; then
    echo "windows-deps: cached: $QT_PREFIX, $JANSSON_PREFIX"
    exit 0
fi

JOBS=${JOBS:-$(nproc)}
for tool in x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix apt-get dpkg-source \
    make cmake perl; do
    command -v "$tool" >/dev/null || { echo "windows-deps: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
start=$SECONDS
log() { echo "windows-deps: [$((SECONDS - start)) s] $*"; }
MINGW_LIB=/usr/x86_64-w64-mingw32/lib

# apt with a deb-src entry of its own, for the mirror of the machine's deb entry.
APT=$CACHE/zav-mingw-apt
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
APT_OPTS=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$APT/parts"
    -o "Dir::State::Lists=$APT/lists" -o "Dir::Cache=$APT/cache" -o APT::Sandbox::User=root)
apt_ready=0
# source PACKAGE VERSION DIR: unpacks Debian's source of PACKAGE (its newest
# revision of VERSION) with its patches into DIR/src.
source_package() {
    local package=$1 version=$2 dir=$3
    if [ "$apt_ready" = 0 ]; then
        local uri
        uri=$(mirror_uri)
        rm -rf "$APT"
        mkdir -p "$APT/parts" "$APT/lists/partial" "$APT/cache/archives/partial"
        cat >"$APT/parts/src.sources" <<EOF
Types: deb-src
URIs: $uri
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: ${uri%/debian}/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
        log "source lists from $uri"
        apt-get "${APT_OPTS[@]}" -qq update
        apt_ready=1
    fi
    log "fetching the $package source"
    (cd "$dir" && apt-get "${APT_OPTS[@]}" -qq source --download-only "$package")
    local dsc
    dsc=$(ls "$dir"/"${package}"_"$version"*.dsc 2>/dev/null | sort -V | tail -1)
    [ -n "$dsc" ] || { echo "windows-deps: no $package $version source in the archive" >&2; exit 1; }
    (cd "$dir" && dpkg-source --no-check -x "$dsc" src >/dev/null)
    basename "$dsc" >"$dir/dsc-name"
}

# Qt wants the posix thread model; Debian names those compilers *-posix.
# Schannel's link asks for Secur32 and Crypt32 by capitalized names, MinGW's
# import libraries are lower case.
make_shim() {
    local shim=$1
    mkdir -p "$shim/bin" "$shim/lib"
    for t in gcc g++ cpp gcc-ar gcc-nm gcc-ranlib; do
        ln -sf "/usr/bin/x86_64-w64-mingw32-$t-posix" "$shim/bin/x86_64-w64-mingw32-$t"
    done
    ln -sf "$MINGW_LIB/libsecur32.a" "$shim/lib/libSecur32.a"
    ln -sf "$MINGW_LIB/libcrypt32.a" "$shim/lib/libCrypt32.a"
}

build_jansson() {
    local work=$JANSSON_PREFIX.work
    rm -rf "$work" "$JANSSON_PREFIX"
    mkdir -p "$work"
    source_package jansson "$JANSSON_VERSION" "$work"
    log "building jansson"
    cmake -S "$work/src" -B "$work/build" -G "Unix Makefiles" \
        -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix \
        -DCMAKE_INSTALL_PREFIX="$JANSSON_PREFIX" "${JANSSON_OPTIONS[@]}" >"$work/configure.log" 2>&1 \
        || { tail -20 "$work/configure.log"; exit 1; }
    make -s -C "$work/build" -j"$JOBS" install >"$work/build.log" 2>&1 \
        || { tail -20 "$work/build.log"; exit 1; }
    printf 'jansson %s for MinGW-w64 from %s\n' "$JANSSON_VERSION" "$(cat "$work/dsc-name")" \
        >"$JANSSON_PREFIX/.complete"
    rm -rf "$work"
}

build_qt() {
    local work=$QT_PREFIX.work
    rm -rf "$work"
    mkdir -p "$work"
    source_package qtbase-opensource-src "$QT_VERSION" "$work"
    make_shim "$work/shim"
    export PATH=$work/shim/bin:$PATH
    mkdir -p "$work/build"
    log "configuring Qt"
    (cd "$work/build" && "$work/src/configure" -prefix "$QT_PREFIX" -L "$work/shim/lib" \
        "${QT_OPTIONS[@]}") >"$work/configure.log" 2>&1 \
        || { tail -40 "$work/configure.log"; echo "windows-deps: Qt's configure failed ($work/configure.log)" >&2; exit 1; }
    log "building Qt with $JOBS jobs (about 30 minutes on 2 cores)"
    make -s -C "$work/build" -j"$JOBS" >"$work/build.log" 2>&1 \
        || { tail -40 "$work/build.log"; echo "windows-deps: Qt's build failed ($work/build.log)" >&2; exit 1; }
    log "installing Qt into $QT_PREFIX"
    rm -rf "$QT_PREFIX"
    make -s -C "$work/build" install >"$work/install.log" 2>&1 \
        || { tail -40 "$work/install.log"; echo "windows-deps: Qt's install failed" >&2; exit 1; }
    finish_qt "$work"
    rm -rf "$work"
}

# The MinGW run-time libraries that the Qt DLLs were linked against go with
# them, and the library shim with the install (the agent links Schannel's
# users through Qt's own link lines).
finish_qt() {
    local work=$1 gcc_dir
    gcc_dir=$(dirname "$(x86_64-w64-mingw32-g++-posix -print-libgcc-file-name)")
    for dll in "$gcc_dir/libstdc++-6.dll" "$gcc_dir/libgcc_s_seh-1.dll" "$MINGW_LIB/libwinpthread-1.dll"; do
        cp "$dll" "$QT_PREFIX/bin/"
    done
    mkdir -p "$QT_PREFIX/lib/shim"
    cp -a "$work/shim/lib/." "$QT_PREFIX/lib/shim/"
    printf 'Qt %s for MinGW-w64 from %s\nbuilt in %s s with %s jobs on %s\noptions: %s\n' \
        "$QT_VERSION" "$(cat "$work/dsc-name" 2>/dev/null || echo qtbase-opensource-src)" \
        "$((SECONDS - start))" "$JOBS" "$(date -u +%F)" "${QT_OPTIONS[*]}" >"$QT_PREFIX/.complete"
}

mkdir -p "$CACHE"
[ -f "$JANSSON_PREFIX/.complete" ] || build_jansson
[ -f "$QT_PREFIX/.complete" ] || build_qt
log "done: $QT_PREFIX, $JANSSON_PREFIX"
