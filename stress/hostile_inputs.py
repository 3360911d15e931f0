#!/usr/bin/env python3
"""Hostile inputs against the real agent, one case after the other, with what
the agent did. Prints a Markdown table (input | what the agent did | kept).

usage: ZAV_AGENT=build/src/zav-msg-agent stress/hostile_inputs.py [--pipe [ROUNDS] [--no-popup]]

Three agents run side by side, each with its own pipe directory and a
different "mac", all polling the push service built into them
(http://127.0.0.1:8360/push by default), which this script plays: it tells
each agent by its mac what to answer. Agent A gets the pipe cases and the big
answers, then a 903 to an unreachable URL; agent B a 903 to a server that
accepts connections and never answers; agent C a 903 to a malformed URL.
Takes about 3 minutes (the first poll comes 60 s after start, the process
watch checks at 120 s).

With --pipe, one agent gets only the nine pipe cases, ROUNDS times (1 by
default), and its RSS is printed before and after each round, once the
agent has been idle for 3 s: what the pipe leaves behind. One case shows a
popup, which stays open (offscreen nobody closes it), so the first round
includes what a first popup costs; --no-popup leaves that case out."""
import json, os, socket, subprocess, sys, tempfile, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlparse, parse_qs

AGENT = os.environ.get("ZAV_AGENT", "build-stress/src/zav-msg-agent")
PORT = int(os.environ.get("ZAV_PUSH_PORT", "8360"))
rows = []


def row(what, did, kept):
    rows.append((what, did, kept))
    print(f"  {what}: {did} / {kept}", flush=True)


# ---- the push service: per mac, a list of answers to serve in order -------
answers = {}      # mac -> list of (detect-or-message, body bytes)
served = {}       # mac -> count of requests
lock = threading.Lock()


class Service(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *a):
        pass

    def do_GET(self):
        q = parse_qs(urlparse(self.path).query)
        mac = q.get("mac", [""])[0]
        product = q.get("product", [""])[0]
        with lock:
            if answers.get(product):
                mac = product  # answers meant for one product of that mac
            served[mac] = served.get(mac, 0) + 1
            todo = answers.get(mac, [])
            body = todo.pop(0) if todo else b'{"code":800,"data":0}'
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


def give(mac, *bodies):
    with lock:
        answers.setdefault(mac, []).extend(
            b if isinstance(b, bytes) else b.encode() for b in bodies)


def wait_served(mac, timeout=60):
    end = time.time() + timeout
    while time.time() < end:
        with lock:
            if not answers.get(mac):
                return True
        time.sleep(0.2)
    return False


# ---- agents --------------------------------------------------------------
class Agent:
    def __init__(self, mac):
        self.dir = tempfile.mkdtemp(prefix="zav-hostile-")
        self.pipe = os.path.join(self.dir, "zav_msg_ipc_pipe")
        self.host = subprocess.Popen(["sleep", "100000"])
        env = dict(os.environ, XDG_RUNTIME_DIR=self.dir, QT_QPA_PLATFORM="offscreen",
                   DBUS_SESSION_BUS_ADDRESS="disabled:")
        self.log = open(os.path.join(self.dir, "agent.log"), "wb")
        self.proc = subprocess.Popen([AGENT, "-pid", str(self.host.pid), "-product", "P",
                                      "-mac", mac, "-handle", "auto"],
                                     env=env, stdout=self.log, stderr=self.log)
        for _ in range(100):
            if os.path.exists(self.pipe):
                break
            time.sleep(0.1)

    def connect(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.connect(self.pipe)
        return s

    def cmd(self, data, timeout=10, json_reply=False):
        s = self.connect()
        s.settimeout(timeout)
        s.sendall(data if isinstance(data, bytes) else data.encode())
        reply = b""
        end = time.time() + timeout
        while time.time() < end:
            try:
                chunk = s.recv(1 << 20)
            except socket.timeout:
                break
            if not chunk:
                break
            reply += chunk
            if not json_reply:
                break
            if not reply.endswith(b"]") and reply != b"0":
                continue
            try:
                json.loads(reply.decode("utf-8"))
                break
            except ValueError:
                if reply == b"0":
                    break
        s.close()
        return reply

    def alive(self):
        return self.proc.poll() is None and self.cmd("Hello") == b"OK"

    def rss_mb(self):
        return self.status_mb("VmRSS:")

    def status_mb(self, key):
        with open(f"/proc/{self.proc.pid}/status") as f:
            for line in f:
                if line.startswith(key):
                    return int(line.split()[1]) / 1024
        return -1

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
        self.host.kill()
        self.log.close()


def pipe_cases(a, popup=True):
    """The nine pipe cases, one after the other, on agent a (eight without
    the one that shows a popup)."""
    r = a.cmd(b"GetMessage:\xff\xfe\xc0\x80")
    row("invalid UTF-8 command (`GetMessage:` + FF FE C0 80)", f"replied {r!r}", "pool unchanged, agent serving")
    r = a.cmd(b"Hel\x00lo")
    r2 = a.cmd(b'REGISTER:{"pid":"77\x0077","product":"P","mac":"M"}')
    r3 = a.cmd(b"GetMessage:77\x0077", json_reply=True)
    row("NUL bytes (`Hel\\0lo`; a pid holding NUL)", f"replied {r!r}; REGISTER {r2!r}; GetMessage {r3!r}",
        "NUL kept as a character of the pid; exact-text match")
    before = a.rss_mb()
    s = a.connect()
    s.settimeout(30)
    t = time.time()
    s.sendall(b"x" * (10 * 1024 * 1024))
    got = b""
    try:
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            got += chunk
            if len(got) >= len(b"ERROR: can not hanlde command") and time.time() - t > 3:
                break
    except socket.timeout:
        pass
    s.close()
    n = got.count(b"ERROR: can not hanlde command")
    row("10 MB in one burst (`x` * 10 MiB)",
        f"{n} error replies (one per read), RSS {before:.1f} -> {a.rss_mb():.1f} MB",
        f"alive: {a.alive()}")
    s = a.connect()
    s.sendall(b'REGISTER:{"pid":"88","product"')
    s.close()
    time.sleep(0.5)
    r = a.cmd("GetMessage:88", json_reply=True)
    row("half a command, then disconnect", f"the half was one command: REGISTER with bad JSON -> client with empty pid; GetMessage:88 -> {r!r}",
        f"alive: {a.alive()}")
    socks, oks = [], 0
    for _ in range(200):
        try:
            x = a.connect()
            x.sendall(b"Hello")
            socks.append(x)
        except OSError:
            pass
    for x in socks:
        x.settimeout(10)
        try:
            oks += x.recv(16) == b"OK"
        except OSError:
            pass
        x.close()
    row("200 connections at once, each `Hello`", f"{len(socks)} connected, {oks} answered OK", f"alive: {a.alive()}")
    idle = a.connect()
    time.sleep(3)
    r = a.cmd("Hello")
    row("a peer that never sends (held 3 s)", f"other peers served meanwhile: Hello -> {r!r}", "connection left open until the peer closes it")
    before = a.rss_mb()
    deaf = a.connect()
    deaf.setblocking(False)
    sent = 0
    t = time.time()
    while time.time() - t < 5:
        try:
            deaf.send(b"Hello")
            sent += 1
        except BlockingIOError:
            time.sleep(0.01)
        time.sleep(0.0005)
    r = a.cmd("Hello")
    grown = a.rss_mb() - before
    deaf.close()
    idle.close()
    time.sleep(1)
    row("a peer that sends and never reads (5 s of `Hello`)",
        f"{sent} sends accepted; others still served (Hello -> {r!r}); RSS +{grown:.1f} MB while it lasted",
        f"after it closed: RSS {a.rss_mb():.1f} MB, alive {a.alive()}")
    bad = b'{"uid":"\xff","mac":"\xfe","product":"\xc0\x80","ukey":"\xed\xa0\x80","productVersion":"\xff","purchase":"\xff","pid":"\xff\xfe","handle":"\xff","properties":"\xff=\xfe"}'
    r = a.cmd(b"REGISTER:" + bad)
    r2 = a.cmd(b"GetMessage:\xef\xbf\xbd\xef\xbf\xbd", json_reply=True)
    row("invalid UTF-8 in every field of a client text", f"REGISTER -> {r!r}; the pid became U+FFFD U+FFFD: GetMessage -> {r2!r}", "each bad byte replaced by U+FFFD")
    if not popup:
        return
    r = a.cmd(b'PopupMessage:{"messageFrom":"\xff","title":"\xff\xfe","summary":"\xc0\x80","url":"\xff","authorName":"\xed\xa0\x80","settings":[{"key":"\xff","value":"\xfe"}],"actions":[{"id":"\xff","action":"\xfe","url":"\xc0"}]}')
    row("invalid UTF-8 in every field of a pipe popup", f"replied {r!r}, popup shown with U+FFFD", f"alive: {a.alive()}")


def pipe_drift(rounds, popup):
    a = Agent("MA")
    time.sleep(2)
    start = a.rss_mb()

    def rss(when):
        anon, files = (a.status_mb(k) for k in ("RssAnon:", "RssFile:"))
        print(f"RSS idle {when}: {a.rss_mb():.1f} MB ({a.rss_mb() - start:+.1f} MB; "
              f"anonymous {anon:.1f} MB, files {files:.1f} MB)", flush=True)

    rss("before the pipe cases")
    try:
        for n in range(1, rounds + 1):
            pipe_cases(a, popup)
            time.sleep(3)  # freed memory goes back to the system after 1 s idle
            rss(f"after round {n}")
    finally:
        a.stop()


def main():
    for attempt in range(60):  # the port may be busy for a moment
        try:
            server = ThreadingHTTPServer(("127.0.0.1", PORT), Service)
            break
        except OSError:
            time.sleep(1)
    else:
        sys.exit(f"port {PORT} stays busy")
    threading.Thread(target=server.serve_forever, daemon=True).start()
    # The server that accepts and never answers.
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(50)
    silent_port = silent.getsockname()[1]
    accepted = []
    threading.Thread(target=lambda: [accepted.append(silent.accept()) for _ in iter(int, 1)],
                     daemon=True).start()

    for mac in ("MA", "MB", "MC"):
        give(mac, '{"code":902,"data":1}')
    a, b, c = Agent("MA"), Agent("MB"), Agent("MC")
    t0 = time.time()
    print("agents started; pipe cases on agent A", flush=True)

    # ---- pid reuse (checked after the watch ran at 120 s) ----
    # The watch only sees whether a pid is alive: a client whose pid now
    # belongs to another process stays. Pid 1 stands for "reused by another
    # process"; a killed host is the control.
    a.cmd('REGISTER:{"pid":"1","product":"PR","mac":"MR","handle":"customize"}')
    gone = subprocess.Popen(["sleep", "100000"])
    a.cmd(f'REGISTER:{{"pid":"{gone.pid}","product":"PG","mac":"MG","handle":"customize"}}')
    gone.kill()
    gone.wait()
    pipe_cases(a)

    # ---- push-service cases: a customize client on agent A ----
    host = subprocess.Popen(["sleep", "100000"])
    a.cmd(f'REGISTER:{{"pid":"{host.pid}","product":"PX","mac":"MA","handle":"customize"}}')
    print("waiting for the first poll (60 s after start)", flush=True)
    wait_served("MA", 90)
    big = "y" * (50 * 1024 * 1024)
    give("PX", json.dumps({"code": 801, "data": [{"uuid": "big", "summary": big}]}))
    before = a.rss_mb()
    t = time.time()
    wait_served("PX", 120)
    for _ in range(60):  # parsing 50 MB takes a while
        r = a.cmd(f"MessageCount:{host.pid}")
        if r != b"0":
            break
        time.sleep(1)
    took = time.time() - t
    peak = a.rss_mb()
    d = a.cmd(f"GetMessage:{host.pid}", timeout=60, json_reply=True)
    row("push answer of 50 MB (an 801 whose summary is 50 MiB)",
        f"queued after {took:.0f} s: MessageCount -> {r!r}; GetMessage reply {len(d)/1e6:.1f} MB; RSS {before:.0f} -> {peak:.0f} MB",
        f"RSS after the drain {a.rss_mb():.0f} MB, alive {a.alive()}")
    many = [{"uuid": f"m{i}", "title": f"t{i}", "settings": {"position": "right"},
             "actions": [{"id": f"a{i}", "action": "Open", "url": ""}]} for i in range(10000)]
    give("PX", json.dumps({"code": 801, "data": many}))
    wait_served("PX", 120)
    time.sleep(3)
    r = a.cmd(f"MessageCount:{host.pid}")
    t = time.time()
    d = a.cmd(f"GetMessage:{host.pid}", timeout=60, json_reply=True)
    took = time.time() - t
    ids = [m["uuid"] for m in json.loads(d)] if d.startswith(b"[") else []
    row("801 list of 10,000 messages for a customize host",
        f"MessageCount -> {r!r}; GetMessage -> {len(ids)} messages in order: {ids == [m['uuid'] for m in many]}, {len(d)/1e6:.1f} MB in {took:.2f} s",
        f"queue empty after: MessageCount -> {a.cmd(f'MessageCount:{host.pid}')!r}")
    give("PX", b'{"code":801,"data":[{"uuid":"\xff","messageForm":"\xfe","title":"\xc0\x80","summary":"\xed\xa0\x80","url":"\xff","authorName":"\xff","settings":{"\xff":"\xfe"},"actions":[{"id":"\xff","action":"\xfe","url":"\xc0"}]}]}')
    wait_served("PX", 120)
    time.sleep(3)
    d = a.cmd(f"GetMessage:{host.pid}", json_reply=True)
    row("invalid UTF-8 in every text field of an 801 message", f"GetMessage -> {d[:120]!r}", "bad bytes as U+FFFD, message delivered")

    # ---- 903 cases ----
    give("MA", '{"code":903,"data":"http://127.0.0.1:1/push"}')
    give("MB", f'{{"code":903,"data":"http://127.0.0.1:{silent_port}/push"}}')
    give("MC", '{"code":903,"data":"::not a url\\u0000"}')
    for m in ("MA", "MB", "MC"):
        wait_served(m, 120)
    polls = dict(served)
    time.sleep(10)
    row("903 to an unreachable URL (http://127.0.0.1:1/push)",
        f"later requests fail (connection refused), nothing delivered; requests to the old service after it: {served['MA'] - polls['MA']}",
        f"alive: {a.alive()}, RSS {a.rss_mb():.0f} MB")
    row("903 to a malformed URL (`::not a url` + NUL)",
        f"requests fail at once; requests to the old service after it: {served['MC'] - polls['MC']}",
        f"alive: {c.alive()}, RSS {c.rss_mb():.0f} MB")
    rss_b = b.rss_mb()
    row("push service that accepts connections and never answers (10 s)",
        f"{len(accepted)} connections accepted and left hanging; pipe still served: {b.alive()}",
        f"RSS {rss_b:.0f} MB")

    while time.time() - t0 < 135:
        time.sleep(1)
    r1 = a.cmd("GetMessage:1", json_reply=True)
    r2 = a.cmd(f"GetMessage:{gone.pid}", json_reply=True)
    row("host pid reused by another process (client registered with pid 1)",
        f"after the 120 s check: pid 1 client {'still pooled' if r1 != b'0' else 'removed'} (GetMessage -> {r1!r}); "
        f"the ended host's client {'removed' if r2 == b'0' else 'still pooled'} ({r2!r})",
        "a reused pid keeps its client until that process ends too")

    for ag in (a, b, c):
        ag.stop()
    host.kill()
    server.shutdown()
    sanitizer = []
    for ag in (a, b, c):
        log = open(os.path.join(ag.dir, "agent.log"), "rb").read()
        for marker in (b"ERROR: AddressSanitizer", b"ERROR: LeakSanitizer", b"runtime error:"):
            if marker in log:
                sanitizer.append((ag.dir, marker))
    print("\n| Input | What the agent did | What was kept |\n|---|---|---|")
    for what, did, kept in rows:
        print(f"| {what} | {did} | {kept} |".replace("\n", " "))
    print(f"\nsanitizer reports: {sanitizer or 'none'}; exit codes: {[ag.proc.returncode for ag in (a, b, c)]}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--pipe"]:
        rounds = [int(x) for x in sys.argv[2:] if x.isdigit()]
        pipe_drift(rounds[0] if rounds else 1, "--no-popup" not in sys.argv)
    else:
        main()
