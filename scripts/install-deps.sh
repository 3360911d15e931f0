#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages needed to build, run and test the agent.
# Runs apt-get as root, or through sudo otherwise.
set -euo pipefail

PACKAGES=(
    cmake ninja-build g++ pkg-config
    qtbase5-dev qtbase5-dev-tools qtwebengine5-dev libseccomp-dev bubblewrap libxcb-xinput-dev
    liblayershellqtinterface-dev layer-shell-qt qtwayland5 libwayland-dev
    libcpp-httplib-dev libjansson-dev
    xvfb xauth xdotool x11-utils imagemagick xcompmgr
    sway grim wayvnc bubblewrap mako-notifier dbus-daemon curl
    fonts-wqy-microhei
    clang-14 libclang-rt-14-dev libfuzzer-14-dev
    dpkg-dev file help2man perl lintian python3
    g++-mingw-w64-x86-64 wine64 nsis
    libboost-dev libsqlite3-dev libpq-dev libssl-dev postgresql
)
# The push service's benchmark (not run by CI): scripts/install-deps.sh bench
if [ "${1:-}" = bench ]; then
    PACKAGES+=(nginx-core wrk libmicrohttpd-dev)
fi

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
echo "install-deps: installing ${missing[*]}"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
