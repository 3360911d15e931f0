#!/usr/bin/env python3
"""The agent at its limits: simultaneous starts, no display, descriptor
exhaustion, huge queues, a never-read stderr, reused pids and memory after
hostile pipe bursts. Prints one line of figures per case.

usage: scripts/agent-limits.py AGENT MSGCTL CASE...
  CASE: race30 race100 headless fds fds-hard fds-taken queue200k queue1m stderr pids bursts

As root it runs in private network and pid namespaces (unshare), so that its
push service on the agent's built-in port (127.0.0.1:8360) meets no other
one and a pid can be handed out again on purpose; otherwise the pid-reuse
case is skipped and the queue cases need port 8360 free."""
import json, os, resource, signal, socket, subprocess, sys, tempfile, threading, time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

AGENT, MSGCTL = (os.path.abspath(p) for p in sys.argv[1:3])
CASES = sys.argv[3:]
PORT = 8360
HOLD = ["sleep", "100000"]


def env(**extra):
    e = {k: v for k, v in os.environ.items()
         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    e.update(DBUS_SESSION_BUS_ADDRESS="disabled:", QT_XCB_GL_INTEGRATION="none")
    e.update(extra)
    return e


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return -1.0


class Pipe:
    """A private runtime directory and the agent's socket in it."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="zav-limits-")
        self.path = os.path.join(self.dir, "zav_msg_ipc_pipe")
        self.procs = []

    def start(self, pid, *more, platform="offscreen", stderr=None, limit=None, extra=None):
        e = env(XDG_RUNTIME_DIR=self.dir, **(extra or {}))
        if platform:
            e["QT_QPA_PLATFORM"] = platform
        pre = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, limit)) if limit else None
        p = subprocess.Popen([AGENT, "-pid", str(pid), "-product", "P", "-mac", "M", *more],
                             env=e, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                             stderr=stderr if stderr is not None else subprocess.DEVNULL,
                             preexec_fn=pre)
        self.procs.append(p)
        return p

    def wait_listening(self, timeout=20):
        end = time.time() + timeout
        while time.time() < end:
            if self.cmd(b"Hello", timeout=1) == b"OK":
                return True
            time.sleep(0.05)
        return False

    def cmd(self, data, timeout=5):
        try:
            s = connect(self.path, timeout)
            s.settimeout(timeout)
            s.sendall(data)
            reply = s.recv(1 << 16)
            s.close()
            return reply
        except OSError:
            return None

    def registered(self, pid):
        return self.cmd(f"GetMessage:{pid}".encode()) == b"[]"

    def stop(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()


def connect(path, timeout=5):
    """A connection that waits while the agent's backlog is full."""
    end = time.time() + timeout
    while True:
        s = socket.socket(socket.AF_UNIX)
        s.setblocking(False)  # a full backlog gives EAGAIN at once
        try:
            s.connect(path)
            s.setblocking(True)
            return s
        except BlockingIOError:
            s.close()
            if time.time() > end:
                raise
            time.sleep(0.01)


def hosts(n):
    return [subprocess.Popen(HOLD) for _ in range(n)]


def kill_all(procs):
    for p in procs:
        p.kill()
        p.wait()


# ---- simultaneous starts ------------------------------------------------
def race(n):
    pipe, hs = Pipe(), hosts(n)
    fifo = os.path.join(pipe.dir, "go")
    os.mkfifo(fifo)
    e = env(XDG_RUNTIME_DIR=pipe.dir, QT_QPA_PLATFORM="offscreen")
    copies = [subprocess.Popen(["sh", "-c", 'read x < "$0"; exec "$@"', fifo, AGENT, "-pid",
                                str(h.pid), "-product", "P", "-mac", "M", "-handle", "customize"],
                               env=e, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
              for h in hs]
    time.sleep(1)  # every copy waits on the fifo
    t = time.time()
    with open(fifo, "w") as f:  # one open releases them all
        f.write("go\n")
    end = t + 30
    while time.time() < end and sum(c.poll() is None for c in copies) > 1:
        time.sleep(0.2)
    time.sleep(2)
    running = sum(c.poll() is None for c in copies)
    codes = sorted({c.returncode for c in copies if c.poll() is not None})
    reg = sum(pipe.registered(h.pid) for h in hs)
    print(f"race{n}: {running} agents running after {time.time() - t:.1f} s; "
          f"{reg} of {n} clients registered with the listening agent; exit codes of the rest {codes}")
    pipe.procs = copies
    pipe.stop()
    kill_all(hs)


# ---- no display ---------------------------------------------------------
def headless():
    out = []
    for label, extra in (("no DISPLAY", {}), ("DISPLAY=:77 (nothing there)", {"DISPLAY": ":77"})):
        pipe, (h1, h2) = Pipe(), hosts(2)
        e = env(XDG_RUNTIME_DIR=pipe.dir, **extra)
        r = subprocess.run([AGENT, "-pid", "1"], env=e, capture_output=True, timeout=30)
        log = open(os.path.join(pipe.dir, "first.log"), "wb")
        first = pipe.start(h1.pid, platform=None, extra=extra, stderr=log)
        up = pipe.wait_listening(10)
        second = subprocess.run([AGENT, "-pid", str(h2.pid), "-product", "P", "-mac", "M"],
                                env=e, capture_output=True, timeout=30)
        text = open(os.path.join(pipe.dir, "first.log"), "rb").read()
        out.append(f"{label}: missing options -> exit {r.returncode}; first copy "
                   f"{'serving' if up and first.poll() is None else f'exit {first.poll()}'}"
                   f"{' (log says popups cannot be shown)' if b'popups cannot be shown' in text else ''}; "
                   f"later copy -> exit {second.returncode}, registered {pipe.registered(h2.pid)}")
        pipe.stop()
        kill_all([h1, h2])
    print("headless: " + " | ".join(out))


# ---- descriptors --------------------------------------------------------
def fds(hard, taken=False):
    soft_hard = (1024, 1024 if hard else resource.getrlimit(resource.RLIMIT_NOFILE)[1])
    pipe, (h,) = Pipe(), hosts(1)
    agent = pipe.start(h.pid, limit=soft_hard)
    pipe.wait_listening()
    label = f"fds (soft 1024, hard {soft_hard[1]})"
    if taken:  # as if the rest of the agent had taken all but 20 descriptors
        n = len(os.listdir(f"/proc/{agent.pid}/fd")) + 20
        resource.prlimit(agent.pid, resource.RLIMIT_NOFILE, (n, n))
        label = f"fds-taken (limit lowered to {n} while it runs)"
    conns, refused = [], 0
    for _ in range(1100):
        try:
            conns.append(connect(pipe.path, 2))
        except OSError:
            refused += 1
    time.sleep(2)
    closed_at_once = 0
    for s in conns:
        s.setblocking(False)
        try:
            closed_at_once += s.recv(1) == b""
        except BlockingIOError:
            pass
        except OSError:
            closed_at_once += 1
    exists = os.path.exists(pipe.path)
    hello = pipe.cmd(b"Hello")
    for s in conns:
        s.close()
    time.sleep(1)
    hello_after = pipe.cmd(b"Hello")
    h2 = hosts(1)[0]
    second = pipe.start(h2.pid)
    time.sleep(3)
    print(f"{label}: {len(conns)} of 1100 connected "
          f"({closed_at_once} closed at once by the agent, {refused} not connected); during the "
          f"flood socket file {'there' if exists else 'gone'}, Hello -> {hello!r}; after it Hello -> "
          f"{hello_after!r}; next start {'runs as a second agent' if second.poll() is None else f'exits {second.returncode}'}"
          f"{', registered' if pipe.registered(h2.pid) else ''}; first agent alive {agent.poll() is None}")
    pipe.stop()
    kill_all([h, h2])


# ---- huge queues --------------------------------------------------------
class Service(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    todo = 0
    batch = 50000
    first = True

    def log_message(self, *a):
        pass

    def do_GET(self):
        cls = type(self)
        if self.path.startswith("/push/channel/polling/message"):
            n = min(cls.batch, cls.todo)
            body = json.dumps({"code": 801, "data": [
                {"uuid": f"m{cls.todo - i}", "title": "t", "summary": "s"} for i in range(n)]})
            cls.todo -= n
        elif cls.first:
            cls.first = False
            body = '{"code":902,"data":1}'
        else:
            body = json.dumps({"code": 800, "data": 1 if cls.todo else 0})
        data = body.encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)


def fill(pipe, pid, n):
    Service.todo = n
    start = time.time()
    while time.time() - start < 600:
        c = pipe.cmd(f"MessageCount:{pid}".encode())
        if Service.todo == 0 and c and int(c) > 0:
            time.sleep(3)  # the last batch settles
            return int(pipe.cmd(f"MessageCount:{pid}".encode()))
        time.sleep(1)
    return -1


def queue(n):
    Service.first = True
    server = ThreadingHTTPServer(("127.0.0.1", PORT), Service)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    pipe, (h,) = Pipe(), hosts(1)
    agent = pipe.start(h.pid, "-handle", "customize")
    pipe.wait_listening()
    idle = rss_mb(agent.pid)
    count = fill(pipe, h.pid, n)
    full = rss_mb(agent.pid)
    # Drain with zav-msgctl while another peer says Hello every 50 ms.
    worst, stop = [0.0], threading.Event()

    def hello():
        while not stop.is_set():
            t = time.time()
            pipe.cmd(b"Hello", timeout=30)
            worst[0] = max(worst[0], time.time() - t)
            time.sleep(0.05)

    th = threading.Thread(target=hello)
    th.start()
    t = time.time()
    got = subprocess.run([MSGCTL, "--timeout", "2000", "get", "--raw", str(h.pid)],
                         capture_output=True, env=env(XDG_RUNTIME_DIR=pipe.dir), timeout=300)
    took = time.time() - t
    stop.set()
    th.join()
    try:
        whole = len(json.loads(got.stdout))
    except ValueError:
        whole = None
    # A peer that asks for the queue and goes away before reading.
    fill(pipe, h.pid, min(n, 10000))
    s = connect(pipe.path)
    s.sendall(f"GetMessage:{h.pid}".encode())
    s.close()
    time.sleep(2)
    left = pipe.cmd(f"MessageCount:{h.pid}".encode())
    print(f"queue{n}: queued {count}, RSS {idle:.0f} -> {full:.0f} MB; zav-msgctl get: exit "
          f"{got.returncode}, {len(got.stdout) / 1e6:.1f} MB printed, "
          f"{'complete: ' + str(whole) + ' messages' if whole is not None else 'incomplete'}, "
          f"{took:.1f} s; another peer's Hello meanwhile: worst {worst[0] * 1000:.0f} ms; "
          f"a peer that gives up leaves MessageCount {left!r} (was {min(n, 10000)})")
    pipe.stop()
    kill_all([h])
    server.shutdown()
    server.server_close()


# ---- a never-read stderr ------------------------------------------------
def stderr():
    pipe, (h,) = Pipe(), hosts(1)
    r, w = os.pipe()
    agent = pipe.start(h.pid, stderr=w)
    os.close(w)
    pipe.wait_listening()
    answered, t = 0, time.time()
    for _ in range(20000):
        if pipe.cmd(b"Hello", timeout=2) != b"OK":
            break
        answered += 1
    blocked = answered < 20000
    # Read the stderr pipe again: the agent catches up and reports its drops.
    data = b""
    os.set_blocking(r, False)
    end = time.time() + 3
    while time.time() < end:
        try:
            chunk = os.read(r, 1 << 16)
            data += chunk
        except BlockingIOError:
            time.sleep(0.1)
    after = pipe.cmd(b"Hello")
    dropped = [l for l in data.split(b"\n") if b"dropped" in l]
    print(f"stderr: {answered} of 20000 Hello answered while stderr was not read "
          f"({'agent blocked' if blocked else 'never blocked'}); after reading: Hello -> {after!r}; "
          f"{dropped[0].decode(errors='replace') if dropped else 'no drop count'}")
    os.close(r)
    pipe.stop()
    kill_all([h])


# ---- reused and zombie pids ---------------------------------------------
def pids():
    pipe, (h,) = Pipe(), hosts(1)
    # The test build's watch checks every 2 s; the real one every 120 s.
    agent = pipe.start(h.pid)
    pipe.wait_listening()
    zombie = subprocess.Popen(["true"])  # not reaped: a zombie until we wait for it
    time.sleep(0.5)
    reused = subprocess.Popen(HOLD)
    pid = reused.pid
    pipe.cmd(f'REGISTER:{{"pid":"{pid}","product":"P","mac":"M"}}'.encode())
    pipe.cmd(f'REGISTER:{{"pid":"{zombie.pid}","product":"P","mac":"M"}}'.encode())
    reused.kill()
    reused.wait()
    time.sleep(0.1)  # start times count hundredths of a second
    again = None
    if os.geteuid() == 0:
        for _ in range(5):
            with open("/proc/sys/kernel/ns_last_pid", "w") as f:
                f.write(str(pid - 1))
            again = subprocess.Popen(HOLD)
            if again.pid == pid:
                break
            again.kill()
            again.wait()
            again = None
    t = time.time()
    end = t + 150
    while time.time() < end and (pipe.registered(zombie.pid) or (again and pipe.registered(pid))):
        time.sleep(1)
    print(f"pids: after {time.time() - t:.0f} s: zombie host's client "
          f"{'still pooled' if pipe.registered(zombie.pid) else 'removed'}; client of a pid handed "
          f"to another process "
          f"{('still pooled' if pipe.registered(pid) else 'removed') if again else '(not tried: pid not reused)'}")
    zombie.wait()
    if again:
        kill_all([again])
    pipe.stop()
    kill_all([h])


# ---- memory after hostile bursts ----------------------------------------
def bursts():
    pipe, (h,) = Pipe(), hosts(1)
    agent = pipe.start(h.pid)
    pipe.wait_listening()
    time.sleep(2)
    before = rss_mb(agent.pid)
    s = connect(pipe.path)
    s.settimeout(30)
    s.sendall(b"x" * (10 << 20))
    time.sleep(3)
    s.close()
    silent = []
    for _ in range(200):
        c = connect(pipe.path)
        silent.append(c)
    deaf = []
    for _ in range(20):
        c = connect(pipe.path)
        c.setblocking(False)
        deaf.append(c)
    t = time.time()
    while time.time() - t < 5:
        for c in deaf:
            try:
                c.send(b"Hello")
            except BlockingIOError:
                pass
    peak = rss_mb(agent.pid)
    for c in silent + deaf:
        c.close()
    time.sleep(5)
    after = rss_mb(agent.pid)
    print(f"bursts: RSS before {before:.1f} MB, during {peak:.1f} MB, idle after {after:.1f} MB "
          f"({after - before:+.1f} MB); Hello -> {pipe.cmd(b'Hello')!r}")
    pipe.stop()
    kill_all([h])


def main():
    if os.geteuid() == 0 and not os.environ.get("ZAV_LIMITS_NS"):
        os.environ["ZAV_LIMITS_NS"] = "1"
        os.execvp("unshare", ["unshare", "--net", "--pid", "--fork", "--mount-proc",
                              sys.executable, *sys.argv])
    if os.environ.get("ZAV_LIMITS_NS"):
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        signal.signal(signal.SIGCHLD, signal.SIG_DFL)
    cases = {"race30": lambda: race(30), "race100": lambda: race(100), "headless": headless,
             "fds": lambda: fds(False), "fds-hard": lambda: fds(True),
             "fds-taken": lambda: fds(True, taken=True),
             "queue200k": lambda: queue(200000), "queue1m": lambda: queue(1000000),
             "stderr": stderr, "pids": pids, "bursts": bursts}
    for c in CASES:
        cases[c]()
        sys.stdout.flush()


if __name__ == "__main__":
    main()
