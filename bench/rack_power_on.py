#!/usr/bin/python3
"""A rack powered on at once: N simulated boards boot against the real daemon together.

Boards (default 200) sit on two networks, half on each, every one with its address in
devices.yaml and a 1 MiB firmware named in its BOOTP reply. At the same instant each board
broadcasts its BOOTP request and repeats it every --bootp-interval seconds (2 s, the board
simulator's interval; the boards of a rack powered together repeat in step) until its reply
comes. It then reads its firmware, system.yaml, klog.cfg and replacements.yaml by TFTP from
its own address (lock-step, a request or ACK repeated after 3 s without progress, five
times, as the simulator does) and asks for the time. A board whose transfer fails starts
over with BOOTP. The boards are driven by one event loop per network, in that network's
namespace, with the simulator's packet code (tools/ndxsim).

While the rack boots, the daemon's boards table is polled on its control socket (boards json)
for each board's phases as the daemon saw them: --svg draws them as a timeline.

Reported: time until the last board has everything, the median and p99 per board, what was
dropped and why (the daemon's counters before and after: request-thread bound, transfer limit,
busy board and any other drop), the requests the boards had to repeat, the daemon's CPU and
memory, what the polling cost it (its CPU per answer, measured after the run), and the bound:
the earliest each board could have been done under the daemon's rules (20 BOOTP request
threads on two interfaces, each held 500 ms by the address probe of a board that does not
answer it; at most 64 transfers) given the moments its requests really went out, plus the
time one board alone takes from its reply to its last answer, measured first. Prints
figures, asserts nothing.

    bench/rack_power_on.py --tavo build/tavo [--boards 200] [--json run.json] [--svg timeline.svg]
"""
import argparse
import heapq
import json
import os
import resource
import selectors
import socket
import statistics
import subprocess
import sys
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(ROOT, "tools"))
sys.path.insert(0, HERE)

from ndxsim import board as ndxboard, bootp, tftp, timeproto  # noqa: E402
import rack_timeline  # noqa: E402

NETWORKS = (("192.0.2", "192.0.2.1/24"), ("198.51.100", "198.51.100.1/24"))
FIRMWARE = "rack.bin"
REQUEST_THREADS_PER_INTERFACE = 10
PROBE_SECONDS = 0.5
TRANSFER_LIMIT = 64
TFTP_TIMEOUT = 3.0
TFTP_RETRIES = 5
DROPS = (("request-thread bound", "bootp-dropped-max-threads"), ("transfer limit", "tftp-refused-limit"),
         ("busy board", "tftp-refused-busy"))
CALIBRATION_POLLS = 300


# --- one network's boards, run inside its namespace ----------------------------------------

class RackBoard:
    def __init__(self, serial, address, files, firmware_crc):
        self.serial, self.address = serial, address
        self.mac = bootp.mac_from_serial(serial)
        self.xid = serial
        self.files, self.firmware_crc = files, firmware_crc
        self.sock = None
        self.requests, self.replies, self.transfers = [], [], []
        self.restarts = 0
        self.time_answer = self.done = None
        self.phase, self.timer = "bootp", 0
        self.server = None


class Rack:
    def __init__(self, config):
        self.c = config
        self.selector = selectors.DefaultSelector()
        self.timers, self.sequence = [], 0
        self.bootp_sock = ndxboard._device_socket("eth0", 14103)
        self.bootp_sock.setblocking(False)
        self.selector.register(self.bootp_sock, selectors.EVENT_READ, None)
        files = [FIRMWARE] + list(ndxboard.GENERATED_FILES)
        self.boards = {}
        for serial, address in config["boards"]:
            b = RackBoard(serial, address, files, config["firmware_crc"])
            self.boards[b.mac] = b
        self.pending = len(self.boards)

    def new_socket(self, b):
        """A fresh port for every transfer and time request, as the boards' TFTP client takes."""
        if b.sock is not None:
            self.selector.unregister(b.sock)
            b.sock.close()
        b.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        b.sock.bind((b.address, 0))
        b.sock.setblocking(False)
        self.selector.register(b.sock, selectors.EVENT_READ, b)

    def at(self, when, board, action):
        self.sequence += 1
        board.timer = self.sequence
        heapq.heappush(self.timers, (when, self.sequence, board, action))

    def now(self):
        return time.monotonic() - self.go

    # BOOTP
    def send_request(self, b):
        b.phase = "bootp"
        b.requests.append(self.now())
        self.bootp_sock.sendto(bootp.build_request(b.mac, b.xid), ("255.255.255.255", 14102))
        self.at(time.monotonic() + self.c["bootp_interval"], b, self.send_request)

    def on_bootp(self, data):
        try:
            msg = bootp.parse_message(data)
        except ValueError:
            return
        b = self.boards.get(msg.mac)
        if b is None or msg.op != bootp.OP_REPLY or msg.xid != b.xid or b.phase != "bootp":
            return      # another network's board, or a copy of a reply already taken
        b.replies.append(self.now())
        b.server = msg.siaddr
        if msg.file_name != FIRMWARE:
            b.transfers.append({"file": msg.file_name, "error": "reply names %r" % msg.file_name})
            self.finish(b)
            return
        self.start_file(b, 0)

    # TFTP
    def start_file(self, b, index):
        b.phase, b.index = "tftp", index
        self.new_socket(b)
        b.expected, b.crc, b.size = 1, 0, 0
        b.peer = None
        b.current = {"file": b.files[index], "start": self.now(), "requests": 0, "repeats": 0}
        b.transfers.append(b.current)
        b.last = tftp.request(b.files[index])
        b.tries = 0
        self.resend(b, first=True)

    def resend(self, b, first=False):
        if not first:
            b.tries += 1
            if b.tries > TFTP_RETRIES:
                return self.fail(b, "no answer after %d tries" % b.tries)
            b.current["repeats"] += 1
        if b.peer is None:
            b.current["requests"] += 1
        b.sock.sendto(b.last, b.peer or (b.server, 69))
        self.at(time.monotonic() + TFTP_TIMEOUT, b, self.resend)

    def on_tftp(self, b, packet, sender):
        if sender[0] != b.server or (b.peer is not None and sender != b.peer):
            return
        try:
            p = tftp.parse(packet)
        except ValueError:
            return
        if p.opcode == tftp.ERROR:
            return self.fail(b, "TFTP error %d: %s" % (p.code, p.message))
        if p.opcode != tftp.DATA or (b.peer is None and p.block != 1):
            return
        if p.block != b.expected:
            if p.block == (b.expected - 1) & 0xFFFF:
                b.sock.sendto(tftp.ack(p.block), b.peer)
            return
        b.peer = sender
        b.size += len(p.payload)
        b.crc = zlib.crc32(p.payload, b.crc)
        if b.index > 0:
            b.content = (b.content if p.block > 1 else b"") + p.payload
        b.last = tftp.ack(p.block)
        b.sock.sendto(b.last, b.peer)
        b.tries = 0
        b.expected = (b.expected + 1) & 0xFFFF
        if len(p.payload) == tftp.BLOCK_SIZE:
            self.at(time.monotonic() + TFTP_TIMEOUT, b, self.resend)
            return
        b.current.update(end=self.now(), bytes=b.size)
        good = (b.crc == b.firmware_crc) if b.index == 0 else ndxboard.crc_trailer_ok(b.content)
        if not good:
            return self.fail(b, "wrong content")
        if b.index + 1 < len(b.files):
            self.start_file(b, b.index + 1)
        else:
            self.ask_time(b)

    # time
    def ask_time(self, b):
        b.phase, b.tries = "time", 0
        self.new_socket(b)
        b.time_start = self.now()
        self.time_again(b, first=True)

    def time_again(self, b, first=False):
        if not first:
            b.tries += 1
            if b.tries > TFTP_RETRIES:
                return self.fail(b, "no time answer")
        b.sock.sendto(timeproto.REQUEST, (b.server, 37))
        self.at(time.monotonic() + TFTP_TIMEOUT, b, self.time_again)

    def on_time(self, b, packet, sender):
        if sender != (b.server, 37) or len(packet) != 4:
            return
        b.time_answer = [b.time_start, self.now()]
        self.finish(b)

    def fail(self, b, error):
        b.current["error"] = error
        b.restarts += 1
        if b.restarts > 3:
            return self.finish(b)
        self.send_request(b)    # a board whose boot failed starts over

    def finish(self, b):
        b.phase, b.done = "done", self.now()
        b.timer = 0
        self.pending -= 1

    def run(self, go, limit):
        self.go = go
        while time.monotonic() < go:
            time.sleep(max(0.0, min(0.05, go - time.monotonic())))
        for b in self.boards.values():
            self.send_request(b)
        end = go + limit
        while self.pending and time.monotonic() < end:
            timeout = max(0.0, (self.timers[0][0] if self.timers else end) - time.monotonic())
            for key, _ in self.selector.select(min(timeout, end - time.monotonic())):
                b, sock = key.data, key.fileobj
                while b is None or b.sock is sock:    # a finished transfer's socket is closed
                    try:
                        packet, sender = sock.recvfrom(2048)
                    except BlockingIOError:
                        break
                    if b is None:
                        self.on_bootp(packet)
                    elif b.phase == "tftp":
                        self.on_tftp(b, packet, sender)
                    elif b.phase == "time":
                        self.on_time(b, packet, sender)
            now = time.monotonic()
            while self.timers and self.timers[0][0] <= now:
                _, sequence, b, action = heapq.heappop(self.timers)
                if sequence == b.timer:
                    action(b)

    def report(self):
        usage = resource.getrusage(resource.RUSAGE_SELF)
        return {"cpu": usage.ru_utime + usage.ru_stime, "boards": [
            {"serial": b.serial, "address": b.address, "requests": b.requests, "replies": b.replies,
             "transfers": b.transfers, "time": b.time_answer, "done": b.done, "restarts": b.restarts}
            for b in self.boards.values()]}


def worker():
    config = json.loads(sys.stdin.readline())
    rack = Rack(config)
    print("ready", flush=True)
    go = float(sys.stdin.readline())
    rack.run(go, config["limit"])
    print(json.dumps(rack.report()), flush=True)


# --- the run ---------------------------------------------------------------------------------

def bound(boards, single, slots):
    """Earliest moment each board could be done under the rules, given its request times."""
    threads, answered = [], {}
    for t, serial in sorted((t, b["serial"]) for b in boards for t in b["requests"]):
        while threads and threads[0] <= t:
            heapq.heappop(threads)
        if len(threads) < slots:        # a request beyond the bound is dropped, as the daemon does
            heapq.heappush(threads, t + PROBE_SECONDS)
            answered.setdefault(serial, t + PROBE_SECONDS)
    transfers, done = [], {}
    for t, serial in sorted((t, s) for s, t in answered.items()):
        while transfers and transfers[0] <= t:
            heapq.heappop(transfers)
        start = t if len(transfers) < TRANSFER_LIMIT else heapq.heappop(transfers)
        heapq.heappush(transfers, start + single)
        done[serial] = start + single
    return done


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def memory(pid):
    with open("/proc/%d/status" % pid) as f:
        fields = dict(line.split(":", 1) for line in f)
    return {k: int(fields[k].split()[0]) / 1024.0 for k in ("VmRSS", "VmHWM")}


def daemon_cpu(pid):
    from procstat import cpu_seconds
    return cpu_seconds(pid)


class Run:
    def __init__(self, ts, args):
        self.ts, self.a = ts, args
        self.sb = ts.Sandbox(args.tavo, prefix="tavorack")

    def prepare(self):
        ts, sb, a = self.ts, self.sb, self.a
        sb.add_network(NETWORKS[1][1])
        per = (a.boards + 1) // 2
        self.groups, devices = [], []
        for n, (prefix, _) in enumerate(NETWORKS):
            count = min(per, a.boards - n * per)
            members = [(10000 * (n + 1) + i, "%s.%d" % (prefix, 10 + i)) for i in range(count)]
            board = sb.add_board(["%s/24" % m[1] for m in members], network=n)
            self.groups.append((board, members))
            devices += [dict(serial=s, IP=ip, Firmware=FIRMWARE, SetNewFirmware=True) for s, ip in members]
        ts.standard_setup(sb, devices, interfaces=[NETWORKS[0][0] + ".1", NETWORKS[1][0] + ".1"],
                          klog=ts.klog_cfg(trace=a.trace))
        path = sb.write_sized_firmware(FIRMWARE, a.firmware_size)
        with open(path, "rb") as f:
            self.firmware_crc = zlib.crc32(f.read())
        self.pid = sb.start_and_wait_up(timeout=15)
        self.control = os.path.join(sb.root, "run", "tavo", "control")
        ts.wait_until(self.servers_up, 15, "the daemon's servers up")

    def servers_up(self):
        try:
            return all(json.loads(rack_timeline.ask(self.control, "status json"))["servers"].values())
        except (OSError, RuntimeError):
            return False    # its control socket is not listening yet

    def boot(self, groups, limit, poller=None):
        """Runs one event loop per network with the given boards; their reports, merged. A
        poller (go -> started BoardsPoller) watches the daemon meanwhile."""
        workers = []
        for board, members in groups:
            p = board.popen([sys.executable, os.path.abspath(__file__), "--worker"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            p.stdin.write(json.dumps({"boards": members, "firmware_crc": self.firmware_crc,
                                      "bootp_interval": self.a.bootp_interval, "limit": limit}) + "\n")
            p.stdin.flush()
            workers.append(p)
        for p in workers:
            if p.stdout.readline().strip() != "ready":
                raise RuntimeError("a board loop did not start")
        go = time.monotonic() + 0.2
        for p in workers:
            p.stdin.write("%.6f\n" % go)
            p.stdin.flush()
        self.poller = poller and poller(go)
        boards, cpu = [], 0.0
        try:
            for p in workers:
                out, _ = p.communicate(timeout=limit + 30)
                report = json.loads(out)
                boards += report["boards"]
                cpu += report["cpu"]
        finally:
            if self.poller:
                self.poller.stop()
        return boards, cpu

    def poll(self, go):
        poller = rack_timeline.BoardsPoller(self.control, self.a.poll_interval, go, go + self.a.limit + 30)
        poller.start()
        return poller

    def poll_cost(self):
        """Daemon CPU seconds per boards json answer, its table as full as the storm left it."""
        before = daemon_cpu(self.pid)
        for _ in range(CALIBRATION_POLLS):
            rack_timeline.ask(self.control, "boards json")
        return (daemon_cpu(self.pid) - before) / CALIBRATION_POLLS

    def run(self):
        a = self.a
        self.prepare()
        # One board alone first, three times: from its reply to its time answer, the median is
        # the single-board figure of the bound.
        first_board, first_members = self.groups[0]
        singles = []
        for _ in range(3):
            alone, _ = self.boot([(first_board, first_members[:1])], 60)
            if alone[0]["done"] is None or not alone[0]["replies"] or alone[0]["restarts"]:
                raise RuntimeError("a single board did not boot: %r" % alone[0])
            singles.append(alone[0]["done"] - alone[0]["replies"][0])
        single = statistics.median(singles)
        time.sleep(1)   # its transfer threads end; the idle figures follow
        idle = memory(self.pid)
        counters_before = rack_timeline.counters(self.control)
        cpu_before = daemon_cpu(self.pid)
        boards, client_cpu = self.boot(self.groups, a.limit, self.poll if a.poll_interval > 0 else None)
        daemon_seconds = daemon_cpu(self.pid) - cpu_before
        loaded = memory(self.pid)
        time.sleep(2)
        after = memory(self.pid)
        counters = rack_timeline.counters(self.control)
        counters = {k: v - counters_before.get(k, 0) for k, v in counters.items()}
        self.report(boards, single, idle, loaded, after, daemon_seconds, client_cpu, counters)

    def report(self, boards, single, idle, loaded, after, daemon_seconds, client_cpu, counters):
        a = self.a
        done = [b["done"] for b in boards if b["done"] is not None and b["time"]]
        failed = [b for b in boards if not (b["done"] is not None and b["time"])]
        limits = bound(boards, single, REQUEST_THREADS_PER_INTERFACE * len(NETWORKS))
        last_bound = max(limits.values()) if limits else float("nan")
        requests = sum(len(b["requests"]) for b in boards)
        transfers = [t for b in boards for t in b["transfers"]]
        repeated_requests = sum(t.get("requests", 1) - 1 for t in transfers)
        repeats = sum(t.get("repeats", 0) for t in transfers)
        print("rack power-on: %d boards on %d networks, firmware %d KiB, BOOTP repeated every %.1f s, "
              "TFTP/time repeated after %.0f s" % (a.boards, len(NETWORKS), a.firmware_size // 1024,
                                                    a.bootp_interval, TFTP_TIMEOUT))
        if done:
            print("  booted %d/%d; last board done at %.2f s; per board median %.2f s, p99 %.2f s"
                  % (len(done), len(boards), max(done), statistics.median(done), percentile(done, 99)))
        print("  bound under the rules for these request times: last board %.2f s (one board alone: "
              "%.3f s from its reply to the time); measured/bound %.2f"
              % (last_bound, single, (max(done) / last_bound) if done else float("nan")))
        replied = [b["replies"][0] for b in boards if b["replies"]]
        if replied:
            print("  BOOTP: %d requests for %d boards; last reply at %.2f s" % (requests, len(boards), max(replied)))
        print("  TFTP: %d transfers, %d read requests repeated (no answer within %.0f s), %d ACKs repeated"
              % (len(transfers), repeated_requests, TFTP_TIMEOUT, repeats - repeated_requests))
        print("  dropped by the daemon, as its counters moved during the run:")
        named = dict(DROPS)
        others = sorted(k for k, v in counters.items() if v and k not in named.values() and (
            k.startswith(("bootp-dropped-", "tftp-refused-")) or k == "tftp-transfers-failed"))
        for cause, name in DROPS + tuple((k, k) for k in others):
            print("    %-32s %5d" % (cause, counters.get(name, 0)))
        print("    log lines suppressed by the budgets: %d" % counters.get("log-lines-suppressed", 0))
        print("  daemon CPU %.2f s; board loops CPU %.2f s" % (daemon_seconds, client_cpu))
        timeline = self.timeline(daemon_seconds)
        print("  daemon memory: idle before %.1f MiB, at the end of the storm %.1f MiB, 2 s later %.1f MiB, "
              "peak since start %.1f MiB" % (idle["VmRSS"], loaded["VmRSS"], after["VmRSS"], loaded["VmHWM"]))
        for b in failed[:5]:
            print("  not booted: %d %s restarts %d last %r" % (b["serial"], b["address"], b["restarts"],
                                                               b["transfers"][-1:] or b["replies"]))
        if a.json:
            with open(a.json, "w") as f:
                json.dump({"boards": boards, "bound": limits, "single": single, "counters": counters,
                           "daemon_timeline": timeline, "daemon_phases": self.poller and self.poller.phases,
                           "daemon_boards_last_polled": self.poller and self.poller.last_answer}, f)
            print("  boards' reports and the daemon's timeline: %s" % a.json)
        if a.svg and timeline:
            title = ("rack power-on: %d/%d boards booted, last at %.2f s, p50 %.2f s (%d KiB firmware, "
                     "2 networks)" % (len(done), len(boards), max(done, default=float("nan")),
                                      statistics.median(done) if done else float("nan"), a.firmware_size // 1024))
            rack_timeline.write_svg(a.svg, timeline, title)
            print("  timeline drawn: %s (%d KiB)" % (a.svg, os.path.getsize(a.svg) // 1024))

    def timeline(self, daemon_seconds):
        """The daemon's phases per board as intervals of phase groups, and what the polls cost it."""
        p = self.poller
        if p is None:
            return None
        if not p.polls:
            print("  the daemon's view: none, boards json answered none of %d polls" % p.failures)
            return None
        rows = rack_timeline.intervals(p.phases, FIRMWARE, p.last_poll)
        booted = [t for t in map(rack_timeline.booted_at, rows.values()) if t is not None]
        per_poll = self.poll_cost()
        print("  the daemon's view (%d polls of boards json every %.0f ms, %d failed, answers up to %d KiB): "
              "%d boards seen, %d with their time answered (last at %.2f s), %d counted a boot"
              % (p.polls, 1000 * self.a.poll_interval, p.failures, p.answer_bytes // 1024, len(rows),
                 len(booted), max(booted, default=float("nan")), p.boots()))
        print("  polling cost: %.2f ms daemon CPU per answer (%d more asked after the run), %.2f s of the "
              "run's %.2f s (%.1f %%)" % (1000 * per_poll, CALIBRATION_POLLS, per_poll * p.polls, daemon_seconds,
                                         100 * per_poll * p.polls / max(daemon_seconds, 1e-9)))
        return {str(s): r for s, r in rows.items()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tavo", help="the daemon binary (default: TAVO_BIN)")
    parser.add_argument("--boards", type=int, default=200)
    parser.add_argument("--firmware-size", type=int, default=1 << 20)
    parser.add_argument("--bootp-interval", type=float, default=ndxboard.Settings.bootp_retry)
    parser.add_argument("--limit", type=float, default=240.0, help="seconds before the boards give up")
    parser.add_argument("--json", help="write every board's report and the daemon's timeline here")
    parser.add_argument("--svg", help="draw the daemon's timeline of the boot here")
    parser.add_argument("--poll-interval", type=float, default=0.15,
                        help="seconds between boards json polls (0: none, no timeline)")
    parser.add_argument("--trace", action="store_true",
                        help="the daemon writes its Trace lines (their cost shows in its CPU)")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker()
    import tavo_sandbox as ts
    args.tavo = args.tavo or os.environ.get("TAVO_BIN")
    if not args.tavo:
        parser.error("--tavo PATH (or TAVO_BIN) is needed")
    if not 1 <= args.boards <= 400:
        parser.error("--boards: 1 to 400")
    if args.svg and args.poll_interval <= 0:
        parser.error("--svg needs the polling (--poll-interval above 0)")
    run = Run(ts, args)
    try:
        run.run()
    finally:
        run.sb.close()


if __name__ == "__main__":
    main()
