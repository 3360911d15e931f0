#!/usr/bin/env bash
# Renders each popup form of the agent on a private X server into
# docs/screenshots/, each cropped to its popups: a text popup with buttons, a
# long title with three long action labels, a long HTML summary, a page popup
# and a stack of three at one corner, at scale 1 (NAME.png) and at
# QT_SCALE_FACTOR=2 (NAME@2x.png); and one popup at each position (scale 1).
#   bash scripts/screenshots.sh [BUILD_DIR]      (default: build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${1:-build-release}
AGENT="$BUILD/src/zav-msg-agent"
OUT="$ROOT/docs/screenshots"
[ -x "$AGENT" ] || { echo "screenshots: build the agent first ($AGENT)" >&2; exit 1; }
for tool in Xvfb xdotool import python3; do
    command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (scripts/install-deps.sh)" >&2; exit 1; }
done
mkdir -p "$OUT"

WORK=$(mktemp -d)
chmod 700 "$WORK"
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

export XDG_RUNTIME_DIR="$WORK" QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none
export DBUS_SESSION_BUS_ADDRESS=disabled:

# A page for the page form, on loopback.
mkdir -p "$WORK/www"
cat >"$WORK/www/news.html" <<'HTML'
<html><head><meta charset="utf-8"></head>
<body style="margin:0;font-family:sans-serif;background:#f4f8fb">
<div style="background:linear-gradient(#00aaff,#0088dd);color:white;padding:14px 16px">
<div style="font-size:18px;font-weight:bold">版本 2.4 已发布</div>
<div style="font-size:12px;opacity:.85">Release notes · 2026-12-05</div></div>
<ul style="font-size:13px;line-height:22px;color:#303030;padding-left:30px">
<li>更快的同步 / faster sync</li><li>新的离线模式 / offline mode</li>
<li><a href="https://example.org/notes">完整说明 / full notes</a></li></ul>
</body></html>
HTML
PORT=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 -m http.server "$PORT" --bind 127.0.0.1 --directory "$WORK/www" >/dev/null 2>&1 &
PIDS+=($!)

send() { # JSON object
    python3 - "$WORK/zav_msg_ipc_pipe" "$1" <<'PY'
import socket, sys, time
for _ in range(100):
    try:
        s = socket.socket(socket.AF_UNIX); s.connect(sys.argv[1]); break
    except OSError:
        time.sleep(0.1)
s.sendall(("PopupMessage:" + sys.argv[2]).encode("utf-8"))
print(s.recv(100).decode())
PY
}
popups() { xdotool search --onlyvisible --name '消息框' 2>/dev/null || true; }
geometry() { # window -> "X Y W H"
    eval "$(xdotool getwindowgeometry --shell "$1")"
    echo "$X $Y $WIDTH $HEIGHT"
}
close_all() {
    for _ in $(seq 50); do
        local w; w=$(popups | tail -1)
        [ -n "$w" ] || break
        read -r x y w_ h_ <<<"$(geometry "$w")"
        xdotool mousemove $((x + w_ - 17 * SCALE)) $((y + 17 * SCALE)) click 1
        sleep 0.4 # the others of its stack slide in
    done
    xdotool mousemove 0 0
}
shoot() { # name, settle seconds, JSON...: the popups, cropped to all of them
    local name=$1 settle=$2
    shift 2
    for json in "$@"; do send "$json" >/dev/null; done
    sleep "$settle"
    local x0=100000 y0=100000 x1=0 y1=0
    for w in $(popups); do
        read -r x y w_ h_ <<<"$(geometry "$w")"
        x0=$((x < x0 ? x : x0)) y0=$((y < y0 ? y : y0))
        x1=$((x + w_ > x1 ? x + w_ : x1)) y1=$((y + h_ > y1 ? y + h_ : y1))
    done
    local m=$((12 * SCALE)) file="$OUT/$name$SUFFIX.png"
    import -window root -crop $((x1 - x0 + 2 * m))x$((y1 - y0 + 2 * m))+$((x0 - m))+$((y0 - m)) +repage "$file"
    echo "screenshots: $file ($((x1 - x0))x$((y1 - y0)) at $x0,$y0)"
    close_all
}

# With the compositor running, the translucent shadow band is blended into a
# grey desktop; without it, the band shows black.
for SCALE in 1 2; do
    SUFFIX=$([ "$SCALE" = 1 ] && echo "" || echo "@${SCALE}x")
    Xvfb -displayfd 3 -screen 0 $((1280 * SCALE))x$((800 * SCALE))x24 -wr -nolisten tcp 3>"$WORK/display" 2>/dev/null &
    XVFB=$!
    PIDS+=($XVFB)
    for _ in $(seq 50); do [ -s "$WORK/display" ] && break; sleep 0.1; done
    export DISPLAY=":$(cat "$WORK/display")" QT_SCALE_FACTOR=$SCALE
    COMP=
    if command -v xcompmgr >/dev/null; then
        xcompmgr -n &
        COMP=$!
        PIDS+=($COMP)
    fi
    "$AGENT" -pid $$ -product DEMO -mac 00-00-00-00-00-00 >"$WORK/agent.log" 2>&1 &
    AGENT_PID=$!
    PIDS+=($AGENT_PID)

    shoot text-buttons 0.8 '{"authorName":"云盘助手","title":"您的空间即将用完","summary":"已使用 9.6 GB / 10 GB。升级后可获得 1 TB 空间与更快的同步。","settings":[{"key":"position","value":"center"}],"actions":[{"id":"1","action":"稍后","url":"https://example.org/later"},{"id":"2","action":"立即升级","url":"https://example.org/upgrade"}]}'
    shoot long-labels 0.8 '{"authorName":"Cloud Drive","title":"Your storage is almost full: 9.6 GB of 10 GB are used","summary":"Upgrade to get 1 TB of space and faster sync on every device.","settings":[{"key":"position","value":"center"}],"actions":[{"id":"1","action":"Remind me later","url":""},{"id":"2","action":"Upgrade now","url":""},{"id":"3","action":"Never ask again","url":""}]}'
    shoot long-html 0.8 '{"authorName":"Team Updates","title":"Weekly digest","summary":"<p style=\"color:#303030\">This week in <b>your workspace</b>:</p><ul><li>3 new documents shared with you</li><li>Meeting notes from <i>Monday</i> are ready</li><li>Build <code>2.4.1</code> passed every check</li><li>Two comments wait for your answer</li><li>Storage use is at 62%</li></ul><p><a href=\"https://example.org/digest\">Open the full digest</a></p>","settings":[{"key":"position","value":"center"},{"key":"height","value":"280"},{"key":"width","value":"340"}],"actions":[{"id":"9","action":"Open","url":"https://example.org/digest"}]}'
    shoot page-form 2.5 '{"messageFrom":"Url","authorName":"产品新闻","url":"http://127.0.0.1:'"$PORT"'/news.html","settings":[{"key":"position","value":"center"},{"key":"width","value":"360"},{"key":"height","value":"240"}]}'
    shoot stack 1 \
        '{"authorName":"Build","title":"Build 2.4.1 passed","summary":"Every check passed in 4 min 12 s.","actions":[{"id":"1","action":"Open","url":""}]}' \
        '{"authorName":"Calendar","title":"Team meeting in 10 minutes","summary":"Room 3 or the usual video link.","settings":[{"key":"timeout","value":"60"}]}' \
        '{"authorName":"云盘助手","title":"同步完成","summary":"已同步 128 个文件。","actions":[{"id":"1","action":"查看","url":""}]}'

    if [ "$SCALE" = 1 ]; then # every position at once, on the whole screen
        for pos in "bottom right" "bottom left" "top right" "left top" "center"; do
            send '{"authorName":"Position","title":"'"$pos"'","summary":"position = '"$pos"'","settings":[{"key":"position","value":"'"$pos"'"}],"actions":[{"id":"1","action":"OK","url":""}]}' >/dev/null
        done
        sleep 1
        xdotool mousemove 1279 799
        import -window root -resize 50% "$OUT/positions.png"
        echo "screenshots: $OUT/positions.png"
        close_all
    fi
    kill "$AGENT_PID" ${COMP:+"$COMP"} "$XVFB"
    wait "$AGENT_PID" ${COMP:+"$COMP"} "$XVFB" 2>/dev/null || true
done
