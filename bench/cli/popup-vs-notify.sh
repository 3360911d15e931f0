#!/usr/bin/env bash
# Start-up cost of the host-side CLI: "zav-msgctl popup" as a whole process,
# against "notify-send" talking to a desktop notification daemon, both
# showing one notification on the same private X server. hyperfine times the
# two commands in one run and prints their ratio.
#
#   bash bench/cli/popup-vs-notify.sh [BUILD_DIR] [hyperfine options...]
#   bash bench/cli/popup-vs-notify.sh BUILD_DIR -- COMMAND...
#
# The second form runs COMMAND in the same set-up instead of hyperfine, with
# MSGCTL naming the zav-msgctl under test (for another timing tool).
#
# BUILD_DIR defaults to build-release. It starts (and ends) its own Xvfb, a
# private D-Bus session bus with dunst (a notification daemon), and the agent
# with a private XDG_RUNTIME_DIR. Needs: xvfb, dbus, libnotify-bin,
# dunst, hyperfine (installed with apt-get when missing).
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build-release}
[ $# -gt 0 ] && shift
AGENT=$BUILD/src/zav-msg-agent
MSGCTL=$BUILD/tools/zav-msgctl/zav-msgctl
for f in "$AGENT" "$MSGCTL"; do
    [ -x "$f" ] || { echo "popup-vs-notify: build $f first" >&2; exit 1; }
done

missing=()
for p in xvfb dbus-daemon libnotify-bin dunst hyperfine; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        "${missing[@]}"
fi

WORK=$(mktemp -d)
chmod 700 "$WORK"
PIDS=()
cleanup() {
    local i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

wait_for() { # description, command...: up to 10 s
    local what=$1
    shift
    for _ in $(seq 100); do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    echo "popup-vs-notify: $what did not come up" >&2
    exit 1
}

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$WORK/display" 2>/dev/null &
PIDS+=($!)
wait_for Xvfb test -s "$WORK/display"
export DISPLAY=":$(cat "$WORK/display")"

dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$WORK/bus" &
PIDS+=($!)
wait_for "the session bus" test -s "$WORK/bus"
DBUS_SESSION_BUS_ADDRESS=$(head -1 "$WORK/bus")
export DBUS_SESSION_BUS_ADDRESS
# Notifications close after a second, so that they do not pile up on the screen.
printf '[urgency_low]\ntimeout = 1\n[urgency_normal]\ntimeout = 1\n' >"$WORK/dunstrc"
dunst -config "$WORK/dunstrc" >"$WORK/daemon.log" 2>&1 &
PIDS+=($!)
wait_for "the notification daemon" sh -c 'dbus-send --session --print-reply \
    --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner \
    string:org.freedesktop.Notifications | grep -q "boolean true"'

export XDG_RUNTIME_DIR=$WORK QT_XCB_GL_INTEGRATION=none
sleep 100000 &
PIDS+=($!)
"$AGENT" -pid "$!" -product BENCH -mac 00-00-00-00-00-00 2>/dev/null &
PIDS+=($!)
wait_for "the agent" "$MSGCTL" hello

export MSGCTL
if [ "${1:-}" = "--" ]; then
    shift
    "$@"
    exit
fi
hyperfine -N --warmup 5 --runs 100 "$@" \
    "$MSGCTL popup --title Update --summary 'Version 2 is out'" \
    "notify-send Update 'Version 2 is out'"
