#!/usr/bin/env bash
# Shows the same three messages on each kind of Linux desktop the agent knows
# and checks what the user gets there:
#   x11            a private Xvfb: popups as windows at the screen's edge
#   wayland        sway, headless, Wayland only (no XWayland): popups as
#                  layer-shell surfaces (a VNC server's virtual pointer drives
#                  them)
#   notifications  no display for the agent, a private session bus with mako
#                  (drawn by a headless sway): popups as notifications
# The messages: a text with two actions at the bottom right, a centred one
# that closes after 6 s, and a page (bottom right, so above the first).
# Where there is a screen, a screenshot of it goes to SHOTS (default
# BUILD_DIR/desktops/) and the popups' places are measured on it. With
# REFRESH_DOCS=1 the screenshots of the desktops that passed also replace
# the documented ones in docs/screenshots/desktops/; otherwise nothing in the
# checkout is written.
# A push service (zav-push-dev) takes the action reports; an xdg-open first on
# PATH records the URLs the agent opens. Prints one line per desktop and last
# "N passed, M failed"; exits non-zero if any failed.
#
#   bash scripts/desktop-check.sh BUILD_DIR [DESKTOP...]
#   REFRESH_DOCS=1 bash scripts/desktop-check.sh BUILD_DIR [DESKTOP...]
#
# sway refuses to run as root: as root it runs in a user namespace (bwrap).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$(cd "${1:?usage: $0 BUILD_DIR [x11|wayland|notifications]...}" && pwd)
shift
DESKTOPS=("${@:-x11}")
[ $# -gt 0 ] || DESKTOPS=(x11 wayland notifications)
SHOTS=${SHOTS:-$BUILD/desktops}
DOC_SHOTS=$ROOT/docs/screenshots/desktops
declare -A SHOT=([x11]=x11.png [wayland]=wayland-layer-shell.png
                 [notifications]=notification-service.png)
AGENT=$BUILD/src/zav-msg-agent-test
MSGCTL=$BUILD/tools/zav-msgctl/zav-msgctl
PUSHDEV=$BUILD/tools/zav-push-dev/zav-push-dev
PORT=$(sed -n 's/^ZAV_TEST_PUSH_PORT:STRING=//p' "$BUILD/CMakeCache.txt")
for f in "$AGENT" "$MSGCTL" "$PUSHDEV"; do
    [ -x "$f" ] || { echo "desktop-check: build $f first" >&2; exit 2; }
done
for tool in Xvfb xdotool import convert sway grim wayvnc mako makoctl dbus-daemon bwrap curl python3; do
    command -v "$tool" >/dev/null || { echo "desktop-check: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done
mkdir -p "$SHOTS"

WORK=$(mktemp -d)
chmod 700 "$WORK"
PIDS=()
stop_all() {
    local i
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null || true; done
    [ ${#PIDS[@]} -eq 0 ] || wait "${PIDS[@]}" 2>/dev/null
    PIDS=()
}
trap 'stop_all; rm -rf "$WORK"' EXIT
wait_for() { # seconds, command...: true once the command succeeds
    local until=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $until ] || return 1
        sleep 0.1
    done
}
now_ms() { date +%s%3N; }

# What every desktop shares: the page, the push service, the URL recorder.
mkdir -p "$WORK/www" "$WORK/bin"
cat >"$WORK/www/news.html" <<'HTML'
<html><head><meta charset="utf-8"></head>
<body style="background:white;font-family:sans-serif;margin:12px">
<h3 style="color:#0077cc;margin:0 0 8px">Release 2.4</h3>
<p style="font-size:13px;color:#303030">Faster sync, an offline mode and a new look.</p>
</body></html>
HTML
cat >"$WORK/bin/xdg-open" <<SH
#!/bin/sh
echo "\$1" >>"$WORK/opened"
SH
chmod +x "$WORK/bin/xdg-open"
WWW_PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
PAGE="http://127.0.0.1:$WWW_PORT/news.html"
M1='{"authorName":"Cloud Drive","title":"Storage almost full","summary":"9.6 GB of 10 GB used. <b>Upgrade</b> for 1 TB.","settings":[{"key":"position","value":"bottom right"}],"actions":[{"id":"41","action":"Later","url":"https://example.org/later"},{"id":"42","action":"Upgrade","url":"https://example.org/upgrade"}]}'
M2='{"authorName":"Calendar","title":"Meeting in 10 minutes","summary":"Room 3","settings":[{"key":"position","value":"center"},{"key":"timeout","value":"6"}]}'
M3='{"messageFrom":"Url","authorName":"News","title":"Release 2.4","url":"'"$PAGE"'","settings":[{"key":"position","value":"bottom right"}]}'

# Popups on a screenshot: each popup's blue top strip (300 x 24 at scale 1)
# and its white body below; prints "x y w h" of each window (5 pixels of
# shadow around the body), top to bottom, and "buttons x,y ..." (centres of
# the action buttons, left to right) under the popup that has them.
cat >"$WORK/popups.py" <<'PY'
import subprocess, sys
png = sys.argv[1]
ppm = subprocess.check_output(["convert", png, "-depth", "8", "ppm:-"])
magic, w, h, top, px = ppm.split(maxsplit=4)
w, h = int(w), int(h)
def at(x, y):
    i = 3 * (y * w + x)
    return px[i], px[i + 1], px[i + 2]
blue = lambda c: abs(c[0] - 0) < 8 and abs(c[1] - 170) < 8 and abs(c[2] - 255) < 8
seen = bytearray(w * h)
boxes = []
for y in range(0, h):
    row = y * w
    for x in range(0, w):
        if seen[row + x] or not blue(at(x, y)):
            continue
        stack, x0, y0, x1, y1 = [(x, y)], x, y, x, y
        seen[row + x] = 1
        while stack:
            cx, cy = stack.pop()
            x0, y0, x1, y1 = min(x0, cx), min(y0, cy), max(x1, cx), max(y1, cy)
            for nx, ny in ((cx + 1, cy), (cx - 1, cy), (cx, cy + 1), (cx, cy - 1)):
                if 0 <= nx < w and 0 <= ny < h and not seen[ny * w + nx] and blue(at(nx, ny)):
                    seen[ny * w + nx] = 1
                    stack.append((nx, ny))
        boxes.append((x0, y0, x1, y1))
strips = [b for b in boxes if b[2] - b[0] >= 200 and 20 <= b[3] - b[1] + 1 <= 30]
buttons = [b for b in boxes if b not in strips and 15 <= b[3] - b[1] + 1 <= 30]
for x0, y0, x1, y1 in sorted(strips, key=lambda b: b[1]):
    y = y1 + 1
    while y < h and at(x0, y) == (255, 255, 255):
        y += 1
    print(x0 - 5, y0 - 5, x1 - x0 + 11, y - y0 + 10)
    mine = sorted((b for b in buttons if x0 <= b[0] and b[2] <= x1 and y0 < b[1] < y), key=lambda b: b[0])
    if mine:
        print("buttons", " ".join(f"{(b[0] + b[2]) // 2},{(b[1] + b[3]) // 2}" for b in mine))
PY

# A VNC client that only moves the pointer: pointer.py PORT KIND,X,Y...
# (KIND: move, down, drag with the left button held, up).
cat >"$WORK/pointer.py" <<'PY'
import socket, struct, sys, time
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
s.sendall(s.recv(12))                       # protocol version
assert 1 in s.recv(s.recv(1)[0])            # security: none
s.sendall(b"\x01")
assert struct.unpack(">I", s.recv(4))[0] == 0
s.sendall(b"\x01")                          # shared
head = s.recv(24)
s.recv(struct.unpack(">I", head[20:24])[0])  # the desktop's name
for step in sys.argv[2:]:
    kind, x, y = step.split(",")
    s.sendall(struct.pack(">BBHH", 5, kind in ("down", "drag"), int(x), int(y)))
    time.sleep(0.1)
PY

# check_places SHOT W H: the popups rest where the messages asked, clear of
# one another: the text at the bottom right, the page 4 px above it, the
# centred one in the middle. Sets PLACES, and BUTTON (the text popup's
# second action button).
check_places() {
    local shot=$1 W=$2 H=$3
    python3 "$WORK/popups.py" "$shot" >"$WORK/places" || return 1
    PLACES=$(grep -v buttons "$WORK/places" | tr '\n' ';')
    BUTTON=$(grep buttons "$WORK/places" | awk '{print $3}')
    local want
    want=$(printf '%s\n' "$((W - 310)) $((H - 210)) 310 210" "$((W - 310)) $((H - 424)) 310 210" \
        "$(((W - 310) / 2)) $(((H - 210) / 2)) 310 210" | sort -n -k2 | tr '\n' ';')
    [ "$PLACES" = "$want" ] || { echo "  places: $PLACES (wanted $want)"; return 1; }
}

# settled SHOOT FILE: a screenshot once the popups have slid in and the page
# has loaded: three taken while the centred one is still there (0.8 s apart),
# the first whose places are right kept.
settled() {
    local try
    for try in 1 2 3; do
        sleep 0.8
        eval "$1" '"$WORK/settled-$try.png"'
    done
    for try in 1 2 3; do
        if check_places "$WORK/settled-$try.png" 1280 800 >"$WORK/why"; then
            cp "$WORK/settled-$try.png" "$2"
            return 0
        fi
    done
    cp "$WORK/settled-3.png" "$2"
    cat "$WORK/why"
    return 1
}

start_push() {
    "$PUSHDEV" --listen=127.0.0.1:"$PORT" >"$WORK/push.log" 2>&1 &
    PIDS+=($!)
    wait_for 10 curl -sf "http://127.0.0.1:$PORT/admin/actions"
}
reported() { curl -sf "http://127.0.0.1:$PORT/admin/actions" | grep -q "\"id\":\"$1\""; }
opened() { grep -qxF "$1" "$WORK/opened" 2>/dev/null; }

# start_agent DIR ENV...: the agent for a host of its own, with a pipe of its own.
# Its debug lines are written by a thread of their own: a line may reach its
# log after the pipe has answered, so the desktops wait for the lines they read.
start_agent() {
    local dir=$1
    shift
    mkdir -p "$dir" && chmod 700 "$dir"
    sleep 1000 &
    PIDS+=($!)
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u DBUS_SESSION_BUS_ADDRESS \
        XDG_RUNTIME_DIR="$dir" PATH="$WORK/bin:$PATH" QT_XCB_GL_INTEGRATION=none "$@" \
        "$AGENT" -pid "$!" -product CHECK -mac 00-00-00-00-00-00 >"$dir/agent.log" 2>&1 &
    PIDS+=($!)
    XDG_RUNTIME_DIR=$dir wait_for 15 "$MSGCTL" hello
}
send_all() { # DIR: the three messages; SENT is when
    SENT=$(now_ms)
    for m in "$M1" "$M2" "$M3"; do
        XDG_RUNTIME_DIR=$1 "$MSGCTL" raw "PopupMessage:$m" >/dev/null || return 1
    done
}
# watch PROBE: while PROBE tells whether the centred message shows, writes
# when it first showed and when it went, in ms since SENT, to $WORK/watch.
watch() {
    local seen="" until=$((SECONDS + 15))
    while [ $SECONDS -lt $until ]; do
        if "$1"; then
            [ -n "$seen" ] || seen=$(($(now_ms) - SENT))
        elif [ -n "$seen" ]; then
            echo "$seen $(($(now_ms) - SENT))" >"$WORK/watch"
            return
        fi
        sleep 0.05
    done
}
# blue PNG: whether the one pixel of PNG is the popups' top strip's blue.
blue() { [ "$(convert "$1" -depth 8 rgb:- | od -An -tu1 | tr -s ' ')" = " 0 170 255" ]; }
# watched: reads what watch wrote; sets SHOWN_MS and GONE_MS.
watched() {
    wait "$WATCH"
    read -r SHOWN_MS GONE_MS <"$WORK/watch" 2>/dev/null
    [ -n "${GONE_MS:-}" ]
}
CENTRE_X=$(((1280 - 310) / 2 + 6)) CENTRE_Y=$(((800 - 210) / 2 + 6))

# by_hand: what a user does with the pointer, through the desktop's
# functions strip X Y (whether a popup's top strip is at X, Y), press X Y
# and drag X1 Y1 X2 Y2. The text popup rests at the corner (970, 590), the
# page above it (970, 376), BUTTON is the text popup's second button.
# Drags the text popup away (the page slides down to the corner), closes
# the page with its close button and clicks the button of the text popup.
by_hand() {
    local bx=${BUTTON%,*} by=${BUTTON#*,}
    drag 1000 600 700 400
    # (Strips probed off their ends, where another popup's shadow may lie.)
    wait_for 3 strip 730 402 && wait_for 3 strip 1030 602 && ! strip 1030 388 ||
        { echo "the dragged popup is not where it was dropped, or the page did not move in"; return 1; }
    press 1263 607 # the page's close button
    wait_for 3 eval '! strip 1030 602' || { echo "the close button did not close the page"; return 1; }
    press $((bx - 300)) $((by - 200))
    wait_for 3 eval '! strip 730 402' || { echo "the action button did not close its popup"; return 1; }
    wait_for 5 reported 42 || { echo "no action report"; return 1; }
    wait_for 5 opened https://example.org/upgrade || { echo "the action's URL was not opened"; return 1; }
}

# on_screen SHOOT FILE: the three messages on a screen, with the desktop's
# strip, centre, press and drag; the screenshot in FILE.
on_screen() {
    send_all "$dir" || return 1
    watch centre &
    WATCH=$!
    settled "$1" "$2" || return 1
    watched || { echo "the centred popup did not show and close"; return 1; }
    by_hand || return 1
    echo "popups at $PLACES the centred one seen ${SHOWN_MS} ms after sending, gone" \
        "$((GONE_MS - SHOWN_MS)) ms later (timeout 6 s); dragged, closed, action: report 42 and URL opened"
}

start_sway() { # RUNTIME_DIR: a headless sway, Wayland only, 1280 x 800
    local run=$1
    mkdir -p "$run" && chmod 777 "$run" # for the user of the namespace
    printf 'output HEADLESS-1 resolution 1280x800\nxwayland disable\n' >"$run/config"
    local sandbox=()
    [ "$(id -u)" -ne 0 ] || sandbox=(bwrap --dev-bind / / --unshare-user --uid 1000 --gid 1000 --die-with-parent)
    env -i PATH="$PATH" HOME="$run" XDG_RUNTIME_DIR="$run" WLR_BACKENDS=headless \
        WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 "${sandbox[@]}" sway -c "$run/config" \
        >"$run/sway.log" 2>&1 &
    PIDS+=($!)
    wait_for 15 test -S "$run/wayland-1"
}

passed=0
failed=0
result() { # desktop, verdict line (empty: passed)
    if [ -z "$2" ]; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
    fi
}

desktop_x11() {
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$WORK/display" 2>/dev/null &
    PIDS+=($!)
    wait_for 10 test -s "$WORK/display" || { echo "Xvfb did not start"; return 1; }
    local display=":$(cat "$WORK/display")" dir=$WORK/x11
    if command -v xcompmgr >/dev/null; then # blends the translucent shadow
        DISPLAY=$display xcompmgr -n &
        PIDS+=($!)
    fi
    strip() { DISPLAY=$display import -window root -crop "1x1+$1+$2" "$WORK/p.png" && blue "$WORK/p.png"; }
    centre() { strip "$CENTRE_X" "$CENTRE_Y"; }
    press() { DISPLAY=$display xdotool mousemove "$1" "$2" click 1; }
    drag() {
        DISPLAY=$display xdotool mousemove "$1" "$2" mousedown 1 mousemove $((($1 + $3) / 2)) \
            $((($2 + $4) / 2)) mousemove "$3" "$4" mouseup 1
    }
    start_agent "$dir" DISPLAY="$display" || { echo "the agent did not answer"; return 1; }
    # Off the centre (once the agent's connection keeps the server from
    # resetting the pointer there): a popup under the pointer stays.
    DISPLAY=$display xdotool mousemove 0 0
    wait_for 5 grep -q 'platform xcb (DISPLAY=.*popups as windows' "$dir/agent.log" || { echo "not on X11"; return 1; }
    on_screen 'DISPLAY=$display import -window root' "$SHOTS/${SHOT[x11]}"
}

desktop_wayland() {
    local run=$WORK/sway dir=$WORK/wayland
    start_sway "$run" || { echo "sway did not start: $(tail -1 "$run/sway.log")"; return 1; }
    strip() { WAYLAND_DISPLAY=$run/wayland-1 grim -g "$1,$2 1x1" "$WORK/p.png" && blue "$WORK/p.png"; }
    centre() { strip "$CENTRE_X" "$CENTRE_Y"; }
    # Headless sway has no pointer: a VNC server's virtual pointer is one.
    local vnc_port
    vnc_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    WAYLAND_DISPLAY=$run/wayland-1 XDG_RUNTIME_DIR=$run wayvnc 127.0.0.1 "$vnc_port" >"$run/vnc.log" 2>&1 &
    PIDS+=($!)
    pointer() { python3 "$WORK/pointer.py" "$vnc_port" "$@"; }
    press() { pointer "move,$1,$2" "down,$1,$2" "up,$1,$2"; }
    drag() {
        pointer "move,$1,$2" "down,$1,$2" "drag,$((($1 + $3) / 2)),$((($2 + $4) / 2))" \
            "drag,$3,$4" "up,$3,$4"
    }
    start_agent "$dir" WAYLAND_DISPLAY="$run/wayland-1" XDG_SESSION_TYPE=wayland ||
        { echo "the agent did not answer"; return 1; }
    wait_for 5 grep -q 'platform wayland .*layer-shell surfaces' "$dir/agent.log" || { echo "no layer shell: $(grep platform "$dir/agent.log")"; return 1; }
    on_screen 'WAYLAND_DISPLAY=$run/wayland-1 grim' "$SHOTS/${SHOT[wayland]}"
}

desktop_notifications() {
    local run=$WORK/sway-n dir=$WORK/notifications
    start_sway "$run" || { echo "sway did not start"; return 1; }
    dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$WORK/bus" 2>/dev/null &
    PIDS+=($!)
    wait_for 10 test -s "$WORK/bus" || { echo "no session bus"; return 1; }
    local bus
    bus=$(head -1 "$WORK/bus")
    DBUS_SESSION_BUS_ADDRESS=$bus WAYLAND_DISPLAY=$run/wayland-1 XDG_RUNTIME_DIR=$run mako \
        --default-timeout 0 --format '<i>%a</i>\n<b>%s</b>\n%b' >"$run/mako.log" 2>&1 &
    PIDS+=($!)
    list() { DBUS_SESSION_BUS_ADDRESS=$bus makoctl list; }
    wait_for 10 list || { echo "mako did not start"; return 1; }
    start_agent "$dir" DBUS_SESSION_BUS_ADDRESS="$bus" || { echo "the agent did not answer"; return 1; }
    wait_for 5 grep -q 'platform offscreen .*notifications of the desktop' "$dir/agent.log" ||
        { echo "not through the service: $(grep platform "$dir/agent.log")"; return 1; }
    send_all "$dir" || return 1
    centre() { list | grep -q 'Meeting in 10 minutes'; }
    watch centre &
    WATCH=$!
    shown() { list | python3 -c 'import json, sys; print(json.dumps(json.load(sys.stdin)["data"][0]))'; }
    wait_for 5 sh -c "DBUS_SESSION_BUS_ADDRESS=$bus makoctl list | grep -q 'Release 2.4'" ||
        { echo "the notifications did not come"; return 1; }
    WAYLAND_DISPLAY=$run/wayland-1 grim "$SHOTS/${SHOT[notifications]}"
    local ids
    ids=$(shown | python3 -c '
import json, sys
by = {n["summary"]["data"]: n for n in json.load(sys.stdin)}
text, page = by["Storage almost full"], by["Release 2.4"]
assert text["app-name"]["data"] == "Cloud Drive", text
assert sorted(text["actions"]["data"].values()) == ["Later", "Upgrade"], text
assert "<b>Upgrade</b>" in text["body"]["data"], text
assert "Meeting in 10 minutes" in by
assert "default" in page["actions"]["data"], page
key = [k for k, v in text["actions"]["data"].items() if v == "Upgrade"][0]
print(text["id"]["data"], key, page["id"]["data"])') || { echo "not as sent: $(shown)"; return 1; }
    watched || { echo "the timed one did not show and close"; return 1; }
    read -r text key page <<<"$ids"
    DBUS_SESSION_BUS_ADDRESS=$bus makoctl invoke -n "$text" "$key"
    DBUS_SESSION_BUS_ADDRESS=$bus makoctl invoke -n "$page" default
    wait_for 5 reported 42 || { echo "no action report"; return 1; }
    wait_for 5 opened https://example.org/upgrade || { echo "the action's URL was not opened"; return 1; }
    wait_for 5 opened "$PAGE" || { echo "the page was not opened"; return 1; }
    echo "3 notifications as sent; the timed one seen ${SHOWN_MS} ms after sending, gone $((GONE_MS - SHOWN_MS)) ms later (timeout 6 s); action: report 42 and URL opened; page opened"
}

python3 -m http.server "$WWW_PORT" --bind 127.0.0.1 --directory "$WORK/www" >/dev/null 2>&1 &
PIDS+=($!)
start_push && wait_for 10 curl -sf "$PAGE" ||
    { echo "desktop-check: the push service or the web server did not start" >&2; exit 1; }
KEEP=("${PIDS[@]}")
for desktop in "${DESKTOPS[@]}"; do
    PIDS=()
    rm -f "$WORK/opened"
    "desktop_$desktop" >"$WORK/$desktop.out" 2>&1
    status=$?
    stop_all
    line=$(tail -1 "$WORK/$desktop.out")
    if [ "$status" -eq 0 ]; then
        result "$desktop" ""
        echo "[$desktop] passed: $line"
        if [ "${REFRESH_DOCS:-0}" = 1 ]; then
            cp "$SHOTS/${SHOT[$desktop]}" "$DOC_SHOTS/" &&
                echo "    refreshed docs/screenshots/desktops/${SHOT[$desktop]}"
        fi
    else
        result "$desktop" "$line"
        tail -n 20 "$WORK/$desktop.out" | sed 's/^/    /' >&2
        echo "[$desktop] FAILED: $line"
    fi
done
PIDS=("${KEEP[@]}")
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
