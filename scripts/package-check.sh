#!/usr/bin/env bash
# Builds the Debian package from a build directory (cpack -G DEB), installs it
# with apt-get, checks that the installed agent starts and answers "Hello" on
# its pipe, prints the package's installed size and removes the package again.
#
# Usage: scripts/package-check.sh BUILD_DIR
# Needs root or sudo. Exits non-zero if any step fails.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1/CPackConfig.cmake" ]; then
    echo "usage: $0 BUILD_DIR   (a configured and built build directory)" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
PKG=zav-msg-agent
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }

echo "=== [package] cpack -G DEB in $BUILD"
rm -f "$BUILD"/${PKG}_*.deb
(cd "$BUILD" && cpack -G DEB >"$BUILD/cpack.log" 2>&1) || { cat "$BUILD/cpack.log"; exit 1; }
DEB=$(ls "$BUILD"/${PKG}_*.deb | head -1)
echo "package: $DEB ($(du -k "$DEB" | cut -f1) KiB)"
dpkg-deb -f "$DEB" Package Version Depends Recommends

if dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -q "install ok installed"; then
    echo "package-check: $PKG is already installed here; it will be replaced and removed" >&2
fi

WORK=$(mktemp -d)
chmod 700 "$WORK"
AGENT_PID=""
HOST_PID=""
cleanup() {
    set +e
    for pid in $AGENT_PID $HOST_PID; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if dpkg-query -W -f='${Status}' "$PKG" 2>/dev/null | grep -q "install ok installed"; then
        echo "=== [package] removing $PKG"
        apt_get remove -y -qq "$PKG" >/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

echo "=== [package] installing"
apt_get install -y -qq --no-install-recommends "$DEB" >"$WORK/apt.log" 2>&1 \
    || { cat "$WORK/apt.log"; exit 1; }
dpkg -L "$PKG" | grep -E '/(zav-msg-agent|zav-msgctl|zav-push-dev|libzavpageview\.so)$' || true
AGENT=$(dpkg -L "$PKG" | grep -E '/bin/zav-msg-agent$' | head -1)
MSGCTL=$(dpkg -L "$PKG" | grep -E '/bin/zav-msgctl$' | head -1 || true)
[ -x "$AGENT" ] || { echo "package-check: the agent was not installed" >&2; exit 1; }

echo "=== [package] starting the installed agent"
# A host of its own, and a private runtime directory for the pipe.
sleep 300 &
HOST_PID=$!
export XDG_RUNTIME_DIR="$WORK"
export QT_QPA_PLATFORM=offscreen
export DBUS_SESSION_BUS_ADDRESS=disabled:
"$AGENT" -pid "$HOST_PID" -product PKGCHECK -mac 00-00-00-00-00-00 -handle customize \
    2>"$WORK/agent.log" &
AGENT_PID=$!

answered=""
for _ in $(seq 1 100); do
    kill -0 "$AGENT_PID" 2>/dev/null || break
    if [ -n "$MSGCTL" ]; then
        if reply=$("$MSGCTL" hello 2>/dev/null) && [ "$reply" = "OK" ]; then
            answered="zav-msgctl hello: $reply"
            break
        fi
    elif grep -q "server : ipc server started" "$WORK/agent.log"; then
        # Without the tool: a second copy of the agent probes with "Hello" and,
        # answered, hands its client over and leaves with 0.
        if timeout 20 "$AGENT" -pid 1 -product PKGCHECK -mac 00 2>"$WORK/second.log" &&
            grep -q "the instance is about to exit as it already started." "$WORK/second.log"; then
            answered="a second copy was answered and handed over"
        fi
        break
    fi
    sleep 0.2
done
if [ -z "$answered" ] || ! grep -q 'receive command: "Hello"' "$WORK/agent.log"; then
    echo "package-check: the installed agent did not answer \"Hello\"" >&2
    cat "$WORK/agent.log" >&2
    exit 1
fi
echo "installed agent answered: $answered"

SIZE_KIB=$(dpkg-query -W -f='${Installed-Size}' "$PKG")
echo "installed size: ${SIZE_KIB} KiB (package $PKG $(dpkg-query -W -f='${Version}' "$PKG"))"
echo "=== [package] OK"
