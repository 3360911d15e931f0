#!/usr/bin/env bash
# The agent on Windows, checked under wine. Builds what it needs once and
# caches it (Qt 5.15.8 and jansson for MinGW-w64 from Debian's sources,
# scripts/windows-deps.sh: about 30 minutes on 2 cores the first time), then
# the agent, libzavmsg and zav-msgctl with MinGW-w64 and their installer
# (scripts/windows-package.sh), and checks in a wine prefix of its own, on a
# private Xvfb:
#   - the platform interface (tests/platform/windows_check.c): processes,
#     their start times, the pipe's name, claim and access;
#   - the installer, silent and per user; the agent it installed: the first
#     copy becomes the agent, a second copy hands its host over and exits 0;
#     zav-msgctl.exe speaks the pipe (Hello, REGISTER, PopupMessage,
#     MessageCount, GetMessage); a popup appears where and as large as the
#     message asks (screenshot in BUILD_DIR/windows-shots); the session's
#     end stops the agent;
#   - the checks' agent (the same main, polling a zav-push-dev on this
#     machine's loopback, checking its hosts every 2 s) shows one message as
#     a popup and queues another for a "customize" host, and ends within an
#     interval once its hosts have ended;
#   - the uninstaller leaves nothing.
# One line per check, the last one "N passed, M failed"; exits non-zero when
# anything failed or could not run. ZAV_REFRESH_SHOTS=1 also copies the
# screenshot to docs/screenshots/windows/.
#
# Usage: scripts/windows-check.sh [BUILD_DIR]   (default build-windows)
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${1:-build-windows}
mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)
LOG=$BUILD/windows-check.log
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
JOBS=${JOBS:-$(nproc)}
: >"$LOG"
passed=0
failed=0
say() { echo "$*" | tee -a "$LOG"; }
check() { # ok(0/1) what
    if [ "$1" = 0 ]; then
        passed=$((passed + 1))
        say "ok - $2"
    else
        failed=$((failed + 1))
        say "FAILED - $2"
    fi
}
finish() {
    say "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit $?
}
give_up() {
    failed=$((failed + 1))
    say "FAILED - $*"
    finish
}
for tool in x86_64-w64-mingw32-gcc-posix cmake ninja makensis Xvfb xwininfo import convert \
    curl python3 "$WINE"; do
    command -v "$tool" >/dev/null || give_up "$tool is missing (scripts/install-deps.sh)"
done

# 1. What the Windows build links, built once per machine.
echo "=== [windows] Qt and jansson for MinGW-w64 (cached after the first run)"
bash scripts/windows-deps.sh || give_up "Qt or jansson for Windows could not be built"
eval "$(bash scripts/windows-deps.sh --print-prefixes)"

# 2. The agent, libzavmsg and zav-msgctl; the checks' agent polls a port of
#    this run's own.
free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
PUSH_PORT=$(free_port)
echo "=== [windows] build"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_PREFIX_PATH="$QT;$JANSSON" \
    -DZAV_WINE_PUSH_PORT="$PUSH_PORT" >"$BUILD/configure.log" 2>&1 \
    || { tail -30 "$BUILD/configure.log"; give_up "the Windows build could not be configured"; }
cmake --build "$BUILD" -j "$JOBS" >"$BUILD/build.log" 2>&1 \
    || { grep -E 'error|Error' "$BUILD/build.log" | head -30; give_up "the Windows build failed ($BUILD/build.log)"; }
x86_64-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -O2 -static -Isrc/platform \
    -o "$BUILD/windows-check.exe" tests/platform/windows_check.c src/platform/platform_win.c \
    && x86_64-w64-mingw32-gcc -std=c11 -Wall -Wextra -Werror -O2 -static \
        -o "$BUILD/host-stub.exe" tests/platform/host_stub.c \
    || give_up "the platform checks did not build"
echo "=== [windows] installer"
bash scripts/windows-package.sh "$BUILD" | tee "$BUILD/package.log" || give_up "no installer"
SETUP=$(ls "$BUILD"/zav-msg-agent-*-setup.exe)

# 3. A wine prefix and an X display of this run's own.
export WINEPREFIX=$BUILD/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
WORK=$(mktemp -d)
PIDS=()
cleanup() {
    local p
    for p in "${PIDS[@]}" $(cat "$WORK/hosts" 2>/dev/null); do kill "$p" 2>/dev/null; done
    "$WINESERVER" -k 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$WORK/display" 2>/dev/null &
PIDS+=($!)
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=":$(cat "$WORK/display")"
wait_for() { # seconds, command...: true once the command succeeds
    local until=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $until ] || return 1
        sleep 0.2
    done
}
win() { timeout 120 "$WINE" "$@"; } # a Windows program, output with CRs removed by callers

echo "=== [windows] the platform interface"
win "$BUILD/windows-check.exe" 2>"$WORK/wine.err" | tr -d '\r' >"$WORK/platform.log"
while read -r line; do
    case "$line" in
    "ok - "*) check 0 "platform: ${line#ok - }" ;;
    "FAILED - "*) check 1 "platform: ${line#FAILED - }" ;;
    esac
done <"$WORK/platform.log"
grep -q '^[0-9]* passed, 0 failed$' "$WORK/platform.log" || check 1 "platform: the checks ran to their end"
# The first program of a new prefix also set the prefix up (wineboot, its
# services): let all of that end before the agent's checks begin.
timeout 60 "$WINESERVER" -w 2>/dev/null

# 4. The installer, silent, for this user.
echo "=== [windows] install and run"
USER_DIR=$(ls -d "$WINEPREFIX"/drive_c/users/*/ 2>/dev/null | grep -v Public | head -1)
win "$SETUP" /S 2>>"$WORK/wine.err"
check $? "the installer ends with 0 (/S)"
timeout 60 "$WINESERVER" -w 2>/dev/null
APPDIR_UNIX=$(ls -d "$WINEPREFIX"/drive_c/users/*/AppData/Local/Programs/zav-msg-agent 2>/dev/null | head -1)
AGENT='C:\users\'"$(basename "$USER_DIR")"'\AppData\Local\Programs\zav-msg-agent\zav-msg-agent.exe'
MSGCTL=${AGENT%zav-msg-agent.exe}zav-msgctl.exe
[ -n "$APPDIR_UNIX" ] && [ -f "$APPDIR_UNIX/zav-msg-agent.exe" ] && [ -f "$APPDIR_UNIX/zav-msgctl.exe" ] \
    && [ -f "$APPDIR_UNIX/libzavmsg.dll" ] && [ -f "$APPDIR_UNIX/lib/libzavmsg.dll.a" ] \
    && [ -f "$APPDIR_UNIX/include/zavmsg.h" ] && [ -f "$APPDIR_UNIX/platforms/qwindows.dll" ]
check $? "it installs the agent, zav-msgctl, libzavmsg with its import library and header, and Qt under the user's AppData"
win reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\zav-msg-agent' 2>/dev/null \
    | tr -d '\r' | grep -q 'UninstallString'
check $? "and registers its uninstaller for this user (HKCU)"

: >"$BUILD/msgctl.log"
host() { # seconds: starts a stand-in host; prints its Windows process id
    local out=$WORK/host.$RANDOM
    "$WINE" "$BUILD/host-stub.exe" "$1" >"$out" 2>/dev/null &
    echo $! >>"$WORK/hosts" # run in a subshell: the caller's PIDS would not see it
    wait_for 20 test -s "$out"
    tr -d '\r\n' <"$out"
}
ctl() { # zav-msgctl.exe ARGS: its output; every call also in BUILD_DIR/msgctl.log
    local out code
    out=$(
        win "$MSGCTL" "$@" 2>&1 | tr -d '\r'
        exit "${PIPESTATUS[0]}"
    )
    code=$?
    printf '%s zav-msgctl %s -> exit %s: %s\n' "$(date +%T.%3N)" "$*" "$code" "$out" >>"$BUILD/msgctl.log"
    printf '%s' "$out"
    return "$code"
}

H1=$(host 600)
AGENT_LOG=$BUILD/agent.log
"$WINE" "$AGENT" -pid "$H1" -product WINCHECK -mac 00-11-22-33-44-55 -handle auto 2>"$AGENT_LOG" &
AGENT_UNIX=$!
PIDS+=($AGENT_UNIX)
wait_for 30 grep -q "ipc server started" "$AGENT_LOG"
check $? "the first copy becomes the agent and listens on its pipe"
grep -q 'zav_msg_ipc_pipe-S-1-' "$AGENT_LOG"
check $? "its pipe's name holds the user's SID"
out=$(ctl hello)
[ $? -eq 0 ] && [ "$out" = "OK" ]
check $? "zav-msgctl.exe hello: OK"
H2=$(host 600)
SECOND_LOG=$WORK/second.log
start=$(date +%s%3N)
win "$AGENT" -pid "$H2" -product WINCHECK -mac 00-11-22-33-44-55 -handle customize 2>"$SECOND_LOG"
code=$?
took=$(($(date +%s%3N) - start))
cp "$SECOND_LOG" "$BUILD/second.log"
[ $code -eq 0 ] && grep -q "the instance is about to exit as it already started." "$SECOND_LOG" \
    && grep -q 'Server reply: "OK"' "$SECOND_LOG"
check $? "a second copy hands its host over and exits 0 (in $took ms)"
out=$(ctl count "$H2")
[ $? -eq 0 ] && [ "$out" = "0" ]
check $? "MessageCount of the handed-over customize host: 0"
out=$(ctl register -pid 4242 -product P2 -mac 00-11-22-33-44-55 -handle customize)
[ $? -eq 0 ] && [ "$out" = "OK" ] && grep -q 'REGISTER:{' "$AGENT_LOG"
check $? "REGISTER over the pipe: OK"
out=$(ctl get "$H2")
[ $? -eq 0 ] && [ "$out" = "[]" ]
check $? "GetMessage of a host with none queued: []"
out=$(ctl raw Bogus)
[ $? -eq 4 ]
check $? "an unknown command: ERROR: can not hanlde command (exit 4)"

# A popup of 400 x 220 at the bottom right: its window, once slid in, rests
# in the corner of the screen's available area.
out=$(ctl popup --title 'Update ready' --summary 'Version 2.4 is out: <b>faster sync</b>.' \
    --author 'Cloud Drive' --setting width=400 --setting height=220 \
    --setting position='bottom right' --action 1,Install,https://example.org/install)
[ $? -eq 0 ] && [ "$out" = "OK" ]
check $? "PopupMessage over the pipe: OK"
popup_geometry() { # the popup's window "WxH+X+Y", from the X server
    xwininfo -root -tree 2>/dev/null | grep -E '"消息框"|zav-msg-agent' \
        | grep -oE '[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+' | head -1
}
at_rest() { [ "$(popup_geometry)" = "$1" ]; }
wait_for 15 at_rest "400x220+880+804"
check $? "the popup window rests at the bottom right, 400 x 220 (got $(popup_geometry))"
mkdir -p "$BUILD/windows-shots"
SHOT=$BUILD/windows-shots/popup.png
sleep 0.5
import -window root -crop 560x300+720+724 +repage "$SHOT" 2>/dev/null
blue=$(convert "$SHOT" -crop 1x1+200+100 -format '%[fx:int(255*b)] %[fx:int(255*r)]' info: 2>/dev/null)
[ "${blue%% *}" -gt 150 ] 2>/dev/null && [ "${blue##* }" -lt 120 ]
check $? "the screenshot shows the popup's blue strip ($SHOT)"
if [ "${ZAV_REFRESH_SHOTS:-0}" = 1 ]; then
    mkdir -p "$ROOT/docs/screenshots/windows"
    cp "$SHOT" "$ROOT/docs/screenshots/windows/popup.png"
fi

# A page message: no page view on Windows, so a text popup with its title
# and a button that opens the page in the browser.
out=$(ctl popup --title 'News' --page https://example.org/news)
[ $? -eq 0 ] && [ "$out" = "OK" ] \
    && wait_for 10 grep -q "page popup shown as a text popup with a link" "$AGENT_LOG"
check $? "a page message becomes a text popup with a link and a button, and the log says why"

# The session's end: the system asks every program's windows; the agent
# agrees and quits in order.
win wineboot --end-session >/dev/null 2>&1
wait_for 20 sh -c "! kill -0 $AGENT_UNIX"
ended=$?
wait "$AGENT_UNIX" 2>/dev/null
code=$?
[ $ended -eq 0 ] && [ $code -eq 0 ] && grep -q "the session ends now: exiting" "$AGENT_LOG"
check $? "the session's end ends the agent, exit 0"

# 5. Polling and the process watch, with the checks' agent.
echo "=== [windows] polling and the process watch"
cp "$BUILD/src/zav-msg-agent-check.exe" "$APPDIR_UNIX/"
CHECK_AGENT=${AGENT%zav-msg-agent.exe}zav-msg-agent-check.exe
PUSHDEV=$(command -v zav-push-dev || true)
[ -x "${ZAV_PUSH_DEV:-}" ] && PUSHDEV=$ZAV_PUSH_DEV
cat >"$WORK/messages.json" <<'JSON'
[{"to":{"mac":"00-11-22-33-44-66","product":"AUTO"},"message":{"uuid":"w1","messageForm":"Text","title":"From the push service","summary":"Polled under wine.","authorName":"Push","settings":{"width":"360","height":"200","position":"top left"}}},
 {"to":{"mac":"00-11-22-33-44-66","product":"CUST"},"message":{"uuid":"w2","messageForm":"Text","title":"Queued","summary":"For the host to fetch."}}]
JSON
if [ -z "$PUSHDEV" ]; then
    check 1 "zav-push-dev for the polling checks (set ZAV_PUSH_DEV)"
else
    "$PUSHDEV" --listen "127.0.0.1:$PUSH_PORT" --messages "$WORK/messages.json" >"$WORK/push.log" 2>&1 &
    PIDS+=($!)
    wait_for 10 grep -q listening "$WORK/push.log"
    H3=$(host 25)
    H4=$(host 25)
    CHECK_LOG=$BUILD/check-agent.log
    "$WINE" "$CHECK_AGENT" -pid "$H3" -product AUTO -mac 00-11-22-33-44-66 -handle auto 2>"$CHECK_LOG" &
    CHECK_UNIX=$!
    PIDS+=($CHECK_UNIX)
    wait_for 30 grep -q "ipc server started" "$CHECK_LOG"
    check $? "the checks' agent starts, polling 127.0.0.1:$PUSH_PORT"
    ctl register -pid "$H4" -product CUST -mac 00-11-22-33-44-66 -handle customize >/dev/null
    at_rest_top() { [ "$(popup_geometry)" = "360x200+0+0" ]; }
    wait_for 20 at_rest_top
    check $? "a message polled from the push service pops up where it asks (got $(popup_geometry))"
    queued() { [ "$(ctl count "$H4")" = "1" ]; }
    wait_for 20 queued
    check $? "a message for a customize host is queued: MessageCount 1"
    out=$(ctl get "$H4")
    echo "$out" | grep -q '"title": "Queued"'
    check $? "GetMessage hands it over as JSON"
    # Both hosts end 25 s after they started; the watch looks every 2 s.
    wait_for 40 sh -c "! kill -0 $CHECK_UNIX"
    ended=$?
    [ $ended -eq 0 ] && grep -q "remove process" "$CHECK_LOG"
    check $? "the agent ends once its hosts have ended"
    gone=$(grep -c 'remove process , pid=' "$CHECK_LOG")
    [ "$gone" -ge 2 ]
    check $? "the watch removed both ended hosts ($gone)"
    rm -f "$APPDIR_UNIX/zav-msg-agent-check.exe"
fi

# 6. The uninstaller leaves nothing.
echo "=== [windows] uninstall"
for p in $(cat "$WORK/hosts" 2>/dev/null); do kill "$p" 2>/dev/null; done
timeout 30 "$WINESERVER" -w 2>/dev/null
win "${AGENT%zav-msg-agent.exe}uninstall.exe" /S 2>>"$WORK/wine.err"
# NSIS's uninstaller copies itself away and runs from there: wait for it.
wait_for 30 sh -c "[ ! -e '$APPDIR_UNIX' ]"
check $? "the uninstaller removes the install folder"
! win reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\zav-msg-agent' >/dev/null 2>&1 \
    && ! win reg query 'HKCU\Software\zav-msg-agent' >/dev/null 2>&1
check $? "and its registry keys"
finish
