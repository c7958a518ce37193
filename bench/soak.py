#!/usr/bin/python3
"""Soak: the real daemon under steady load while faults keep arriving, watched for crashes,
leaks and wrong bytes.

Load: 64 boards (one namespace, one address each) read files by TFTP in a loop, in worker
processes so that the clients keep up with the server; one more board reads a large file and
has its link taken down in the middle of a transfer; a storm of BOOTP requests for the 64
boards. Faults: a host address added and removed every 10 s (each change restarts the
servers), a configuration reload every 5 s from a local log server that is killed and
started again every 30 s, the board link cut.

Every fetched file is compared with the bytes the daemon should serve. A failed transfer is
expected when the restart cancelled it ("Operation cancelled") or when it belonged to the
board whose link was down; anything else counts as unexpected. The run fails (exit 1) on a
daemon that died, an unexpected failure, a wrong byte, or daemon RSS, descriptors or threads
growing from the first quarter of the run to the last (peaks, after a short warm-up)
beyond the tolerance printed, or staying above their idle start once the load is gone.

    bench/soak.py --tavo build/tavo [--minutes 10]
"""
import argparse
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(ROOT, "tools"))

from ndxsim import bootp, tftp  # noqa: E402

HOST = "192.0.2.1"
FLAP_ADDRESS = "198.51.100.1/24"     # added and removed on a second bridge
BOARDS = ["192.0.2.%d" % (20 + i) for i in range(64)]
VICTIM = "192.0.2.90"
STORM = "192.0.2.95"
LOG_SERVER_PORT = 14110              # the daemon's default RemoteLogPort
WORKERS = 4                          # client processes for the 64 boards
FILES = (("fw_soak.bin", 300000),    # ends with a short block
         ("fw_even.bin", 65536))     # a multiple of 512: ends with an empty block
GENERATED = ("system.yaml", "klog.cfg", "replacements.yaml")
BIG = ("fw_big.bin", 4 << 20)
CUT_SECONDS = 20                     # longer than the board's own retries (5 x 3 s)
DEAD_GRACE = 45                      # the daemon holds the dead board's transfer for up to
                                     # 6 x 6 s unless a restart cancels it first
# Growth allowed from the first quarter's peak to the last quarter's. Descriptors and threads
# follow the running transfers, which every restart cancels, so an average moves with the
# restarts; the peak is the full load of 64 transfers in both quarters. A leak per transfer,
# restart or reload grows far past these.
TOLERANCE = {"rss_kib": (8192, 0.25), "fds": (8, 0.25), "threads": (8, 0.25)}
IDLE_SLACK = 4                       # descriptors/threads above the idle start once idle again


# --- worker processes (run inside a board namespace) -------------------------------------------

def worker(args):
    """Fetches files in a loop from each address until the deadline; one JSON line per
    transfer on stdout."""
    expected = {}
    for item in args.files.split(","):
        name, path = item.split("=", 1)
        with open(path, "rb") as f:
            expected[name] = f.read()
    names = list(expected)
    out_lock = threading.Lock()

    def say(record):
        with out_lock:
            sys.stdout.write(json.dumps(record) + "\n")
            sys.stdout.flush()

    def loop(address, k):
        while time.monotonic() < args.until:
            name = names[k % len(names)]
            k += 1
            sock = tftp.udp_socket(address)
            t0 = time.monotonic()
            record = {"addr": address, "file": name, "t0": t0}
            progress = [0]

            def on_block(n):
                progress[0] = n
                if args.midway and n == 200:
                    say({"midway": address, "t": time.monotonic()})
            try:
                got = tftp.fetch(sock, args.server, name, timeout=3.0, retries=5,
                                 on_block=on_block).content
                record["ok"] = True
                record["size"] = len(got)
                if got != expected[name]:
                    record["ok"] = False
                    record["cause"] = "wrong bytes"
                    size = min(len(got), len(expected[name]))
                    record["at"] = next((i for i in range(size) if got[i] != expected[name][i]),
                                        size)
                    record["expected_size"] = len(expected[name])
            except tftp.TftpError as e:
                record["ok"] = False
                record["cause"] = "error"
                record["code"], record["message"] = e.code, e.message
            except tftp.TftpTimeout:
                record["ok"] = False
                record["cause"] = "timeout"
            except OSError as e:
                record["ok"] = False
                record["cause"] = "socket: %s" % e.strerror
            finally:
                sock.close()
            record["t1"] = time.monotonic()
            if record.get("cause", "").startswith("socket") and progress[0] == 0:
                # The request never left: a board whose link is down only tries again.
                time.sleep(0.5)
                continue
            say(record)

    threads = [threading.Thread(target=loop, args=(a, i)) for i, a in
               enumerate(args.addresses.split(","))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def log_server(args):
    """The local log server: accepts the daemon's channel and sends it a configuration
    reload message every interval seconds; prints one line per message sent."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", args.port))
    listener.listen(4)
    clients = []
    next_reload = time.monotonic() + args.interval
    reload_frame = b"\x04\x00\x00\x00" b"\x01\x00\x00\x00"   # frame size 4, message type 1
    print("listening", flush=True)
    while True:
        ready, _, _ = select.select([listener] + clients, [], [],
                                    max(0.0, next_reload - time.monotonic()))
        for s in ready:
            if s is listener:
                c, _ = listener.accept()
                clients.append(c)
                print("connected", flush=True)
            else:
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    clients.remove(s)
                    s.close()
        if time.monotonic() >= next_reload:
            next_reload += args.interval
            for c in list(clients):
                try:
                    c.sendall(reload_frame)
                    print("reload", flush=True)
                except OSError:
                    clients.remove(c)
                    c.close()


# --- the run -----------------------------------------------------------------------------------

def proc_figures(pid):
    """(RSS KiB, open descriptors, threads) of a live process, None when it is gone."""
    try:
        with open("/proc/%d/status" % pid) as f:
            status = dict(line.split(":", 1) for line in f if ":" in line)
        if status.get("State", "").strip().startswith("Z"):
            return None
        fds = len(os.listdir("/proc/%d/fd" % pid))
        return {"rss_kib": int(status["VmRSS"].split()[0]), "fds": fds,
                "threads": int(status["Threads"])}
    except (OSError, KeyError, ValueError):
        return None


class Soak:
    def __init__(self, ts, tavo, minutes):
        self.ts = ts
        self.minutes = minutes
        self.stop = threading.Event()
        self.lock = threading.Lock()
        self.completed = 0
        self.bytes = 0
        self.expected = {"cancelled by a restart": 0, "timed out by a dead board": 0}
        self.unexpected = {}
        self.unexpected_examples = []
        self.wrong = []
        self.pending_victim = []        # victim failures, classified once the cuts are known
        self.cuts = []                  # (down, up) monotonic times
        self.midway = threading.Event()
        self.log_connected = threading.Event()
        self.bootp_sent = 0
        self.bootp_replies = set()
        self.bootp_copies = 0
        self.address_changes = 0
        self.reloads_sent = 0
        self.log_server_restarts = 0
        self.samples = []
        self.crashed = None
        self.worker_failures = []
        self.sb = ts.Sandbox(tavo, prefix="tavosoak")

    # setup
    def prepare(self):
        ts, sb = self.ts, self.sb
        self.flap_net = sb.add_network(None)
        self.fleet = sb.add_board([])
        self.fleet.add_addresses(["%s/24" % a for a in BOARDS])
        self.victim = sb.add_board(["%s/24" % VICTIM])
        self.storm = sb.add_board(["%s/24" % STORM])
        devices = [dict(serial=10000 + i, IP=a) for i, a in enumerate(BOARDS)]
        devices.append(dict(serial=20000, IP=VICTIM))
        # The general Trace lines only: per-block lines of 64 looping boards would fill the disk.
        klog = ts.klog_cfg(trace=False).replace("General=false", "General=true")
        ts.standard_setup(sb, devices, klog=klog)
        for name, size in FILES + (BIG,):
            sb.write_sized_firmware(name, size)

    def start_daemon(self):
        self.log_server = self.start_log_server()
        self.pid = self.sb.start_and_wait_up(servers=True, timeout=15)
        # The generated files as the daemon wrote them at start: every later copy must match.
        self.expect_dir = os.path.join(self.sb.root, "expected")
        os.makedirs(self.expect_dir)
        for name in GENERATED:
            with open(os.path.join(self.sb.firmware_dir, name), "rb") as f, \
                    open(os.path.join(self.expect_dir, name), "wb") as g:
                g.write(f.read())

    def file_args(self, names):
        paths = []
        for name in names:
            folder = self.expect_dir if name in GENERATED else self.sb.firmware_dir
            paths.append("%s=%s" % (name, os.path.join(folder, name)))
        return ",".join(paths)

    def spawn_worker(self, board, addresses, names, midway=False):
        cmd = [sys.executable, os.path.abspath(__file__), "--worker", "--server", HOST,
               "--addresses", ",".join(addresses), "--files", self.file_args(names),
               "--until", "%.3f" % self.until]
        if midway:
            cmd.append("--midway")
        p = board.popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        p.errors = b""
        p.readers = [threading.Thread(target=self.read_worker, args=(p,), daemon=True),
                     threading.Thread(target=self.read_errors, args=(p,), daemon=True)]
        for t in p.readers:
            t.start()
        return p

    @staticmethod
    def read_errors(p):
        for line in p.stderr:
            p.errors = (p.errors + line)[-2000:]

    def read_worker(self, p):
        for line in p.stdout:
            r = json.loads(line)
            if "midway" in r:
                self.midway.set()
                continue
            with self.lock:
                if r["ok"]:
                    self.completed += 1
                    self.bytes += r["size"]
                elif r["cause"] == "wrong bytes":
                    self.wrong.append(r)
                elif r["cause"] == "error" and (r["code"], r["message"]) == \
                        (0, "Operation cancelled"):
                    self.expected["cancelled by a restart"] += 1
                elif r["addr"] == VICTIM:
                    self.pending_victim.append(r)
                else:
                    self.count_unexpected(r)

    def count_unexpected(self, r):
        cause = r["cause"]
        if cause == "error":
            cause = "TFTP error %d %r" % (r["code"], r["message"])
        elif cause == "timeout":
            cause = "timeout on a live board"
        self.unexpected[cause] = self.unexpected.get(cause, 0) + 1
        if len(self.unexpected_examples) < 5:
            self.unexpected_examples.append("%s %s at %.1f-%.1f s: %s" % (
                r["addr"], r["file"], r["t0"] - self.t_start, r["t1"] - self.t_start, cause))

    # fault and load threads
    def flap_addresses(self):
        remove = "addr del %s dev %s" % (FLAP_ADDRESS, self.sb.networks[self.flap_net])
        present = False
        while not self.stop.wait(10):
            if present:
                self.ts.ip(self.sb.host_ns, remove)
            else:
                self.sb.add_host_address(FLAP_ADDRESS, network=self.flap_net)
            present = not present
            self.address_changes += 1
        if present:
            self.ts.ip(self.sb.host_ns, remove)
            self.address_changes += 1

    def start_log_server(self):
        p = subprocess.Popen(["ip", "netns", "exec", self.sb.host_ns, sys.executable,
                              os.path.abspath(__file__), "--log-server", "--port",
                              str(LOG_SERVER_PORT), "--interval", "5"],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if p.stdout.readline().strip() != b"listening":
            raise RuntimeError("log server did not start")

        def read():
            for line in p.stdout:
                if line.strip() == b"reload":
                    with self.lock:
                        self.reloads_sent += 1
                elif line.strip() == b"connected":
                    self.log_connected.set()
        threading.Thread(target=read, daemon=True).start()
        return p

    def run_log_server(self):
        """Every 5 s a reload (the daemon reads tavo.yaml again, written anew here); every
        30 s the server is killed and started again 3 s later."""
        tavo_yaml = self.ts.tavo_yaml()
        p = self.log_server
        ticks = 0
        while not self.stop.wait(5):
            self.sb.write_config("tavo.yaml", tavo_yaml)
            ticks += 1
            if ticks % 6 == 0:
                os.kill(p.pid, signal.SIGKILL)
                p.wait()
                if self.stop.wait(3):
                    return
                p = self.start_log_server()
                self.log_server_restarts += 1
        os.kill(p.pid, signal.SIGKILL)
        p.wait()

    def bootp_storm(self):
        """Requests for the 64 boards at about 40 per second; counts the replies (one per
        request answered; further copies on other interfaces are counted apart)."""
        sock = self.storm.socket(bind=("", 14103), reuse=True, broadcast=True, device=True)
        macs = [bootp.mac_from_serial(10000 + i) for i in range(len(BOARDS))]
        xid = 0x50AC0000
        sent = {}
        next_send = time.monotonic()
        try:
            while not self.stop.is_set():
                now = time.monotonic()
                if now >= next_send:
                    mac = macs[xid % len(macs)]
                    sock.sendto(bootp.build_request(mac, xid), ("255.255.255.255", 14102))
                    sent[xid] = mac
                    xid += 1
                    self.bootp_sent += 1
                    next_send = now + 0.025
                ready, _, _ = select.select([sock], [], [], max(0.0, next_send - now))
                if ready:
                    data = sock.recv(2048)
                    try:
                        m = bootp.parse_message(data)
                    except ValueError:
                        continue
                    if m.op == bootp.OP_REPLY and sent.get(m.xid) == m.mac:
                        if m.xid in self.bootp_replies:
                            self.bootp_copies += 1
                        else:
                            self.bootp_replies.add(m.xid)
        finally:
            sock.close()

    def cut_victim_link(self, at):
        """At each time in at (seconds into the run), once the victim is in the middle of a
        transfer, its link goes down for CUT_SECONDS."""
        for when in at:
            if self.stop.wait(max(0.0, self.t_start + when - time.monotonic())):
                return
            self.midway.clear()
            if not self.midway.wait(30):
                continue
            down = time.monotonic()   # before the command: the board may notice first
            self.victim.exec(["ip", "link", "set", "eth0", "down"])
            self.stop.wait(CUT_SECONDS)
            self.victim.exec(["ip", "link", "set", "eth0", "up"])
            self.cuts.append((down, time.monotonic()))

    def sample(self):
        while True:
            figures = proc_figures(self.pid)
            if figures is None:
                self.crashed = "daemon %d gone at %.0f s" % (self.pid,
                                                              time.monotonic() - self.t_start)
                self.stop.set()
                return
            self.samples.append((time.monotonic(), figures))
            if self.stop.wait(2):
                return

    # the whole run
    def run(self):
        self.prepare()
        self.start_daemon()
        if not self.log_connected.wait(15):
            raise RuntimeError("the daemon did not connect to the log server")
        self.idle_start = self.wait_idle(None, 5)
        self.t_start = time.monotonic()
        self.until = self.t_start + self.minutes * 60
        reload_mark = self.sb.log_mark("tavo.basekit.log")
        log_mark = self.sb.log_mark()

        workers = []
        per = len(BOARDS) // WORKERS
        generic = [n for n, _ in FILES] + list(GENERATED)
        for w in range(WORKERS):
            workers.append(self.spawn_worker(self.fleet, BOARDS[w * per:(w + 1) * per], generic))
        workers.append(self.spawn_worker(self.victim, [VICTIM], [BIG[0]], midway=True))
        cut_times = [self.minutes * 60 * f for f in (0.3, 0.65)] if self.minutes >= 4 else \
            [self.minutes * 60 * 0.3]
        threads = [threading.Thread(target=f, args=a) for f, a in
                   ((self.flap_addresses, ()), (self.run_log_server, ()),
                    (self.bootp_storm, ()), (self.cut_victim_link, (cut_times,)),
                    (self.sample, ()))]
        for t in threads:
            t.start()
        try:
            self.stop.wait(max(0.0, self.until - time.monotonic()))
        finally:
            self.stop.set()
            for t in threads:
                t.join(60)
            for p in workers:
                try:
                    p.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
                for t in p.readers:
                    t.join(5)
                if p.returncode != 0:
                    self.worker_failures.append("client process %s ended with %d: %s" % (
                        p.args[p.args.index("--addresses") + 1].split(",")[0], p.returncode,
                        p.errors.decode(errors="replace").strip()[-500:]))
        self.t_end = time.monotonic()
        with self.lock:
            for r in self.pending_victim:
                if r["cause"] in ("timeout", "error") or r["cause"].startswith("socket"):
                    if any(r["t1"] >= down and r["t0"] <= up + DEAD_GRACE
                           for down, up in self.cuts):
                        self.expected["timed out by a dead board"] += 1
                        continue
                self.count_unexpected(r)
        self.reloads_done = len(self.sb.find_log("Configurations reloaded.",
                                                 name="tavo.basekit.log", start=reload_mark))
        self.restarts = len(self.sb.find_log("IP Address table changed..", start=log_mark))
        self.ack_timeouts = len(self.sb.find_log(
            re.compile(r"^Timed out waiting ack from "), start=log_mark))
        self.idle_end = self.wait_idle(self.idle_start, 40) if not self.crashed else None
        status = None
        if not self.crashed:
            _, status = self.sb.stop(self.pid, timeout=20)
        return self.report(status)

    def wait_idle(self, target, timeout):
        """The daemon's figures once its descriptor and thread counts come down to target's
        (or stop moving, for the first reading), within timeout seconds."""
        deadline = time.monotonic() + timeout
        last = proc_figures(self.pid)
        while time.monotonic() < deadline and last is not None:
            time.sleep(1)
            now = proc_figures(self.pid)
            if now is None:
                return None
            if target is None and (now["fds"], now["threads"]) == (last["fds"], last["threads"]):
                return now
            if target is not None and now["fds"] <= target["fds"] and \
                    now["threads"] <= target["threads"]:
                return now
            last = now
        return last

    def report(self, exit_status):
        failures = []
        if self.crashed:
            failures.append(self.crashed)
        elif exit_status != 0:
            failures.append("daemon exit status %s at stop" % exit_status)
        n_unexpected = sum(self.unexpected.values())
        if n_unexpected:
            failures.append("%d unexpected transfer failures" % n_unexpected)
        if self.wrong:
            failures.append("%d transfers with wrong bytes" % len(self.wrong))
        if self.completed == 0:
            failures.append("no transfer completed")
        failures += self.worker_failures

        out = []
        out.append("soak: %.1f min, daemon pid %d" % ((self.t_end - self.t_start) / 60, self.pid))
        out.append("transfers completed: %d (%.1f MiB)" % (self.completed, self.bytes / 1048576))
        out.append("transfers failed, expected: cancelled by a restart %d, timed out by a dead "
                   "board %d" % (self.expected["cancelled by a restart"],
                                 self.expected["timed out by a dead board"]))
        out.append("transfers failed, unexpected: %d%s" % (
            n_unexpected, "".join("\n  %s: %d" % kv for kv in sorted(self.unexpected.items()))))
        out += ["  e.g. " + x for x in self.unexpected_examples]
        for r in self.wrong[:5]:
            out.append("  wrong bytes: %s %s at offset %d (got %d bytes, expected %d)" % (
                r["addr"], r["file"], r["at"], r["size"], r["expected_size"]))
        out.append("bootp: %d requests, %d replies (%d extra copies)" % (
            self.bootp_sent, len(self.bootp_replies), self.bootp_copies))
        out.append("faults: %d address changes (%d restarts seen), %d reloads sent (%d done), "
                   "%d log server restarts, %d link cuts (%d daemon ack time-outs)" % (
                       self.address_changes, self.restarts, self.reloads_sent, self.reloads_done,
                       self.log_server_restarts, len(self.cuts), self.ack_timeouts))

        # The first seconds only show the boards coming up to full load, not a trend.
        warmup = min(30.0, max(10.0, 0.1 * (self.t_end - self.t_start)))
        load = [f for t, f in self.samples if t >= self.t_start + warmup]
        quarter = max(1, len(load) // 4)
        first, last = load[:quarter], load[-quarter:]
        # A quarter shorter than two address changes may hold nothing but a restart's dip.
        judged = len(load) >= 4 and (self.t_end - self.t_start - warmup) / 4 >= 20
        if not judged:
            out.append("(run too short to judge a trend: the peaks are shown, not checked)")
        out.append("%-8s %10s %10s %14s %14s %s" % ("daemon", "idle start", "idle end",
                                                   "1st qtr peak", "last qtr peak",
                                                   "allowed growth"))
        for key in ("rss_kib", "fds", "threads"):
            start = self.idle_start[key] if self.idle_start else None
            end = self.idle_end[key] if self.idle_end else None
            if load:
                q1 = max(f[key] for f in first)
                q4 = max(f[key] for f in last)
                absolute, relative = TOLERANCE[key]
                allowed = max(absolute, relative * q1)
                if judged and q4 - q1 > allowed:
                    failures.append("%s grew from %g to %g (allowed %g)" % (key, q1, q4, allowed))
            else:
                q1 = q4 = allowed = float("nan")
            out.append("%-8s %10s %10s %14g %14g %g" % (key, start, end, q1, q4, allowed))
            if key != "rss_kib" and start is not None and end is not None and \
                    end > start + IDLE_SLACK:
                failures.append("%s idle at %d after the run, %d before" % (key, end, start))
        if failures:
            # The sandbox goes away with the run: keep the daemon's logs and core files.
            keep = "/tmp/tavosoak-evidence.%d" % os.getpid()
            for part in ("log", "vartmp"):
                shutil.copytree(os.path.join(self.sb.root, part), os.path.join(keep, part),
                                symlinks=True, dirs_exist_ok=True)
            out.append("logs and core files kept in %s" % keep)
        out.append("result: %s" % ("FAIL: " + "; ".join(failures) if failures else "PASS"))
        print("\n".join(out), flush=True)
        return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tavo", help="the daemon binary (default: TAVO_BIN)")
    parser.add_argument("--minutes", type=float, default=10.0)
    # internal roles, started by the run itself
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--log-server", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--server", help=argparse.SUPPRESS)
    parser.add_argument("--addresses", help=argparse.SUPPRESS)
    parser.add_argument("--files", help=argparse.SUPPRESS)
    parser.add_argument("--until", type=float, help=argparse.SUPPRESS)
    parser.add_argument("--midway", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--interval", type=float, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args)
    if args.log_server:
        return log_server(args)

    import tavo_sandbox as ts
    tavo = args.tavo or os.environ.get("TAVO_BIN")
    if not tavo:
        parser.error("--tavo PATH (or TAVO_BIN) is needed")
    soak = Soak(ts, tavo, args.minutes)
    try:
        status = soak.run()
    finally:
        soak.sb.close()
    sys.exit(status)


if __name__ == "__main__":
    main()
