#!/usr/bin/env bash
# Builds the Debian packages from a build directory (cpack -G DEB: zav-msg-agent,
# zav-push-dev, libzavmsg1 and libzavmsg-dev), runs lintian on them and fails
# on any error or warning, installs them with apt-get, checks that the
# installed agent answers "Hello" on its pipe and shows a page popup through
# its page view program (a page of the installed push service) without mapping
# the web engine itself, that every installed program has its manual page,
# that zav-msgctl links no Qt, that a C host built with pkg-config against
# libzavmsg-dev talks to the agent and that the push service starts, prints
# the installed sizes and removes the packages again.
#
# Usage: scripts/package-check.sh BUILD_DIR
# Needs root or sudo, and lintian. Exits non-zero if any step fails.
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1/CPackConfig.cmake" ]; then
    echo "usage: $0 BUILD_DIR   (a configured and built build directory)" >&2
    exit 2
fi
BUILD=$(cd "$1" && pwd)
PKGS=(zav-msg-agent zav-push-dev zav-push libzavmsg1 libzavmsg-dev)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    SUDO="sudo"
fi
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

echo "=== [package] cpack -G DEB in $BUILD"
rm -f "$BUILD"/zav-*.deb
(cd "$BUILD" && cpack -G DEB >"$BUILD/cpack.log" 2>&1) || { cat "$BUILD/cpack.log"; exit 1; }
DEBS=()
for pkg in "${PKGS[@]}"; do
    deb=$(ls "$BUILD"/"${pkg}"_*.deb 2>/dev/null | head -1)
    [ -n "$deb" ] || { echo "package-check: no package $pkg was made" >&2; exit 1; }
    DEBS+=("$deb")
    echo "package: $deb ($(du -k "$deb" | cut -f1) KiB)"
    dpkg-deb -f "$deb" Package Version Depends Recommends Suggests
done

echo "=== [package] lintian"
command -v lintian >/dev/null || { echo "package-check: lintian is missing" >&2; exit 1; }
# Root is warned about on stderr, which is no finding.
if ! lintian --no-cfg --fail-on error,warning "${DEBS[@]}" 2>"$BUILD/lintian.err"; then
    grep -v 'running with root privileges' "$BUILD/lintian.err" >&2 || true
    echo "package-check: lintian found errors or warnings" >&2
    exit 1
fi
echo "lintian: no error, no warning"

for pkg in "${PKGS[@]}"; do
    if installed "$pkg"; then
        echo "package-check: $pkg is already installed here; it will be replaced and removed" >&2
    fi
done

WORK=$(mktemp -d)
chmod 700 "$WORK"
AGENT_PID=""
HOST_PID=""
PUSH_PID=""
cleanup() {
    set +e
    for pid in $AGENT_PID $HOST_PID $PUSH_PID; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for pkg in "${PKGS[@]}"; do
        if installed "$pkg"; then
            echo "=== [package] removing $pkg"
            apt_get remove -y -qq "$pkg" >/dev/null || true
        fi
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

echo "=== [package] installing"
apt_get install -y -qq --no-install-recommends "${DEBS[@]}" >"$WORK/apt.log" 2>&1 \
    || { cat "$WORK/apt.log"; exit 1; }
for prog in zav-msg-agent zav-msgctl zav-push-dev zav-push; do
    [ -x "/usr/bin/$prog" ] || { echo "package-check: /usr/bin/$prog is missing" >&2; exit 1; }
    [ -f "/usr/share/man/man1/$prog.1.gz" ] \
        || { echo "package-check: no manual page for $prog" >&2; exit 1; }
done
/usr/bin/zav-push-dev --version
# The installed push service on a store of its own: it answers a detect.
/usr/bin/zav-push serve --db "sqlite:$WORK/push.db" --listen 127.0.0.1:0 \
    --admin-listen 127.0.0.1:0 >"$WORK/zav-push.out" 2>&1 &
PUSH_PID=$!
for _ in $(seq 1 50); do grep -q listening "$WORK/zav-push.out" && break; sleep 0.1; done
detect=$(sed -n 's|.*listening on \(http://[^,]*\),.*|\1/channel/polling/detect?mac=M\&product=P|p' \
    "$WORK/zav-push.out")
if ! curl -sf "$detect" | grep -q '"code":901'; then
    echo "package-check: the installed zav-push did not answer a detect ($detect)" >&2
    cat "$WORK/zav-push.out" >&2
    exit 1
fi
echo "installed zav-push answered a detect"
kill "$PUSH_PID"
wait "$PUSH_PID" 2>/dev/null || true
PUSH_PID=""

echo "=== [package] starting the installed agent"
# A host of its own, and a private runtime directory for the pipe.
sleep 300 &
HOST_PID=$!
export XDG_RUNTIME_DIR="$WORK"
export QT_QPA_PLATFORM=offscreen
export DBUS_SESSION_BUS_ADDRESS=disabled:
/usr/bin/zav-msg-agent -pid "$HOST_PID" -product PKGCHECK -mac 00-00-00-00-00-00 \
    -handle customize 2>"$WORK/agent.log" &
AGENT_PID=$!

answered=""
for _ in $(seq 1 100); do
    kill -0 "$AGENT_PID" 2>/dev/null || break
    if reply=$(/usr/bin/zav-msgctl hello 2>/dev/null) && [ "$reply" = "OK" ]; then
        answered="zav-msgctl hello: $reply"
        break
    fi
    sleep 0.2
done
# The agent's log reaches its file a moment after the reply may have.
logged=""
for _ in $(seq 1 20); do
    grep -q 'receive command: "Hello"' "$WORK/agent.log" && { logged=1; break; }
    sleep 0.1
done
if [ -z "$answered" ] || [ -z "$logged" ]; then
    echo "package-check: the installed agent did not answer \"Hello\"" >&2
    cat "$WORK/agent.log" >&2
    exit 1
fi
echo "installed agent answered: $answered"

# A page popup: the agent starts its page view program from the install, which
# loads a page of the installed push service; the agent maps no web engine.
/usr/bin/zav-push-dev --listen 127.0.0.1:0 >"$WORK/push.out" 2>&1 &
PUSH_PID=$!
for _ in $(seq 1 50); do grep -q listening "$WORK/push.out" && break; sleep 0.1; done
page=$(sed -n 's|.*listening on \(http://[^/]*\)/push.*|\1/admin/queues|p' "$WORK/push.out")
/usr/bin/zav-msgctl popup --title 'Package check' --page "$page" >/dev/null
for _ in $(seq 1 150); do
    grep -aqE 'page loaded|page could not be shown|page view not available' "$WORK/agent.log" && break
    sleep 0.2
done
grep -a 'page view started' "$WORK/agent.log" | sed 's/^.*page view started/installed agent: page view started/'
if ! grep -aq 'page loaded: ok' "$WORK/agent.log"; then
    echo "package-check: the installed agent did not show the page $page" >&2
    grep -a 'page' "$WORK/agent.log" >&2 || true
    exit 1
fi
if grep -q 'libQt5Web' "/proc/$AGENT_PID/maps"; then
    echo "package-check: the installed agent mapped the web engine" >&2
    exit 1
fi
echo "installed agent: page loaded by its page view; no web engine in the agent"

# The host library as a host product uses it: found by pkg-config, linked,
# loaded from the install.
if ldd /usr/bin/zav-msgctl | grep -q 'libQt'; then
    echo "package-check: zav-msgctl links Qt" >&2
    exit 1
fi
cat >"$WORK/host.c" <<'HOST'
#include <stdio.h>
#include <zavmsg.h>
int main(void)
{
    zavmsg* agent = NULL;
    const struct zavmsg_host host = {"1", "P", "M", NULL, NULL, NULL, "customize", NULL};
    unsigned long count = 1;
    int status = zavmsg_connect(&agent, NULL, 2000);
    if (status == ZAVMSG_OK && (status = zavmsg_register(agent, &host)) == ZAVMSG_OK) {
        status = zavmsg_count(agent, "1", &count);
    }
    printf("%s%lu\n", status == ZAVMSG_OK ? "host registered, messages queued: " : "", count);
    if (status != ZAVMSG_OK) {
        fprintf(stderr, "%s\n", agent != NULL ? zavmsg_error(agent) : "no memory");
    }
    zavmsg_close(agent);
    return status;
}
HOST
# shellcheck disable=SC2046 # pkg-config's words are the compiler's arguments
cc -Wall -Werror -o "$WORK/host" "$WORK/host.c" $(pkg-config --cflags --libs zavmsg)
# Read whole first: grep -q ending early would make ldd fail on a closed pipe.
ldd "$WORK/host" >"$WORK/host.ldd"
grep -Eq "=> /(usr/)?lib/[^ ]*/libzavmsg.so.1 " "$WORK/host.ldd" \
    || { echo "package-check: the host does not load the installed libzavmsg" >&2; exit 1; }
"$WORK/host"

for pkg in "${PKGS[@]}"; do
    echo "installed size: $(dpkg-query -W -f='${Installed-Size}' "$pkg") KiB" \
        "(package $pkg $(dpkg-query -W -f='${Version}' "$pkg"))"
done
echo "=== [package] OK"
