#!/usr/bin/env bash
# The whole road of a message, on this machine: installs the packages, builds,
# starts the development push service with a sample message and the agent for
# a sample host, shows one popup at once over the pipe, and then lets the
# agent's first polls bring the service's messages (a popup for the "auto"
# host, a queue for a "customize" host, read with zav-msgctl).
# Without $DISPLAY everything runs on a private Xvfb and screenshots of the
# popups are saved.
# Every process it starts is ended at the end or on Ctrl-C.
#
# Environment: ZAV_DEMO_PORT (push service port, default 8360),
# ZAV_DEMO_SHOT (screenshot file prefix, default build-demo/demo-screenshot),
# JOBS (build jobs).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build-demo
PORT=${ZAV_DEMO_PORT:-8360}
SHOT=${ZAV_DEMO_SHOT:-$BUILD/demo-screenshot}
JOBS=${JOBS:-$(nproc)}

say() { printf '\n== %s\n' "$*"; }

bash scripts/install-deps.sh

say "building in $BUILD"
mkdir -p "$BUILD"
WORK_LOG=$BUILD/demo-configure.log
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBUILD_TESTING=OFF -DZAV_BUILD_BENCH=OFF \
    -DPUSH_BASE_URL="http://127.0.0.1:$PORT/push" >"$WORK_LOG" 2>&1 \
    || { cat "$WORK_LOG"; exit 1; }
cmake --build "$BUILD" -j "$JOBS" --target zav-msg-agent zav-msgctl zav-push-dev
AGENT=$BUILD/src/zav-msg-agent
MSGCTL=$BUILD/tools/zav-msgctl/zav-msgctl
PUSHDEV=$BUILD/tools/zav-push-dev/zav-push-dev

# Everything the demo starts, ended in reverse order on exit.
PIDS=()
WORK=$(mktemp -d /tmp/zav-demo.XXXXXX)
cleanup() {
    trap - EXIT INT TERM
    local i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        kill "${PIDS[i]}" 2>/dev/null || true
    done
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do
        wait "${PIDS[i]}" 2>/dev/null || true
    done
    rm -rf "$WORK"
    echo "demo: every process it started has ended"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A private pipe directory: the demo never meets another agent of this user.
export XDG_RUNTIME_DIR=$WORK/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
export DBUS_SESSION_BUS_ADDRESS=disabled:

HEADLESS=0
if [ -z "${DISPLAY:-}" ]; then
    HEADLESS=1
    say "no display: starting Xvfb"
    exec 3>"$WORK/display"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
    PIDS+=($!)
    exec 3>&-
    for _ in $(seq 100); do
        [ -s "$WORK/display" ] && break
        sleep 0.1
    done
    export DISPLAY=":$(cat "$WORK/display")"
    export QT_XCB_GL_INTEGRATION=none
    if command -v xcompmgr >/dev/null; then
        xcompmgr >/dev/null 2>&1 &
        PIDS+=($!)
    fi
    echo "Xvfb on $DISPLAY"
fi
shot() { # name: saves a screenshot of the popups on the screen (headless only)
    [ "$HEADLESS" = 1 ] || return 0
    sleep 1 # the popup slides in within 200 ms
    # The bounding box of every popup (window title 消息框), with a margin.
    local left=100000 top=100000 right=0 bottom=0 w X Y WIDTH HEIGHT m=12
    for w in $(xdotool search --onlyvisible --name '消息框' 2>/dev/null || true); do
        eval "$(xdotool getwindowgeometry --shell "$w")"
        ((X < left)) && left=$X
        ((Y < top)) && top=$Y
        ((X + WIDTH > right)) && right=$((X + WIDTH))
        ((Y + HEIGHT > bottom)) && bottom=$((Y + HEIGHT))
    done
    if ((right == 0)); then
        echo "no popup on the screen: nothing to save for $1"
        return 0
    fi
    left=$((left > m ? left - m : 0))
    top=$((top > m ? top - m : 0))
    import -window root -crop $((right + m - left))x$((bottom + m - top))+$left+$top +repage \
        "$SHOT-$1.png"
    echo "screenshot saved: $SHOT-$1.png"
}

# The sample message's button points at the push service: at this demo's port.
SAMPLES=$WORK/sample-messages.json
sed "s|127\.0\.0\.1:8360|127.0.0.1:$PORT|g" tools/zav-push-dev/sample-messages.json >"$SAMPLES"
say "starting zav-push-dev on 127.0.0.1:$PORT with tools/zav-push-dev/sample-messages.json"
"$PUSHDEV" --listen "127.0.0.1:$PORT" --messages "$SAMPLES" >"$WORK/push.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do
    grep -q "listening on" "$WORK/push.log" && break
    sleep 0.1
done
grep -q "listening on" "$WORK/push.log" || { cat "$WORK/push.log"; exit 1; }

# Two sample hosts: plain processes whose pids the agent watches.
sleep 100000 &
HOST1=$!
PIDS+=($HOST1)
sleep 100000 &
HOST2=$!
PIDS+=($HOST2)
MAC=00-1A-2B-3C-4D-5E

say "starting the agent for host $HOST1 (product DEMO, handle auto)"
"$AGENT" -pid "$HOST1" -product DEMO -mac "$MAC" -uid demo-user -productversion 1.0 \
    -purchase 1 2>"$WORK/agent.log" &
PIDS+=($!)
STARTED=$(date +%s)
for _ in $(seq 50); do
    "$MSGCTL" hello >/dev/null 2>&1 && break
    sleep 0.1
done
"$MSGCTL" hello

say "one popup at once, over the pipe: zav-msgctl popup"
"$MSGCTL" popup --title "Hello from zav-msgctl" \
    --summary "Shown at once over the agent's pipe. The push service's message follows with the first poll." \
    --author demo --setting position=right \
    --action "demo-1,Open,http://127.0.0.1:$PORT/admin/actions"
shot pipe

say "registering host $HOST2 with handle customize: zav-msgctl register"
"$MSGCTL" register -pid "$HOST2" -product DEMO2 -mac "$MAC" -handle customize
curl -s -X POST "http://127.0.0.1:$PORT/admin/messages" -H 'Content-Type: application/json' \
    -d '{"to":{"mac":"'"$MAC"'","product":"DEMO2"},"message":{"uuid":"queued-1","messageForm":"Text","title":"For the host itself","summary":"Fetched with zav-msgctl get"}}'

wait_for_fetch() { # product, deadline in seconds after the agent's start
    while ! grep -aqE "/message\?.*product=$1( |&)" "$WORK/push.log"; do
        [ $(($(date +%s) - STARTED)) -lt "$2" ] || { echo "no fetch for $1 in time"; return 1; }
        sleep 1
    done
}

say "the agent polls one host per tick, the first tick 60 s after it started:"
echo "   ~60 s: host $HOST1 (auto) gets the sample message as a popup"
echo "  ~120 s: host $HOST2 (customize) gets its messages queued"
echo "waiting (Ctrl-C ends the demo)..."
wait_for_fetch DEMO 90
grep -aE "product=DEMO( |&)" "$WORK/push.log" | sed 's/^/  push service: /'
shot poll

wait_for_fetch DEMO2 150
grep -aE "product=DEMO2( |&)" "$WORK/push.log" | sed 's/^/  push service: /'
sleep 1
say "host $HOST2's queue: zav-msgctl count, then zav-msgctl get (which drains it)"
"$MSGCTL" count "$HOST2"
"$MSGCTL" get "$HOST2"
"$MSGCTL" count "$HOST2"

say "agent log: $(grep -c 'request:' "$WORK/agent.log") requests sent"
grep -E "request:|receive:" "$WORK/agent.log" | cut -c1-160 | sed 's/^/  /'
if [ "$HEADLESS" = 0 ] && [ -t 0 ]; then
    read -r -p "Press Enter to end the demo (the popups close with it). " _
fi
