#!/usr/bin/python3
"""The running daemon against hostile hosts and peers, and with least privilege: floods from
unknown hosts, capabilities of every thread across an address change, a local user's stand-in
for the log server (its port is above 1024: any local user can take it while the real server
is down), and forged echo replies to the address probe."""
import os
import re
import struct
import subprocess
import sys
import threading
import time
import unittest

import e2e_case as e
from e2e_case import board, bootp, tftp, ts

SERIAL, BOARD = 1193046, "192.0.2.50"
FIRMWARE = "fw_ndx.bin"
NOBODY = 65534

ATTACKER = "192.0.2.99"
DATAGRAMS = 4000
LOG_GROWTH_LIMIT = 16 * 1024          # tavo.log and messages.log together
MIN_RECEIVED = 1000                   # the flood must reach the daemon to prove anything
SUMMARY = re.compile(r"^\d+ similar lines from (.+) suppressed$")


def bad_identification(i):
    """A request under serial 100000 + i whose identification string no board sends."""
    return bootp.build_request(bootp.mac_from_serial(100000 + i), xid=i, ident="XYZ-%d" % i)


def forged_reply(i):
    """Another "server" answering the configured board (a conflict) and unknown ones."""
    serial = SERIAL if i % 2 == 0 else 200000 + i
    return bootp.build_message(op=bootp.OP_REPLY, xid=i, siaddr="198.51.100.7", yiaddr=BOARD,
                               chaddr=bootp.mac_from_serial(serial))


# name, destination, datagram builder, logger of the summary, source it names (None: any; on a
# slow machine the forged replies' first summary may name a board whose reply met the request
# thread bound, and the next pass is a minute away)
FLOODS = [
    ("bootp_bad_identification", ("255.255.255.255", 14102), bad_identification, "BOOTP", None),
    ("bootp_forged_replies", ("255.255.255.255", 14103), forged_reply, "BOOTP", None),
    ("tftp_unknown_host", (e.HOST, 69), lambda i: tftp.request(FIRMWARE), "TFTP", ATTACKER),
]


class HostileFlood(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb, cls.board = e.serving(cls, [dict(serial=SERIAL, IP=BOARD, Firmware=FIRMWARE, SetNewFirmware=True)],
                                      files={FIRMWARE: 20000}, start=False)
        cls.attacker = cls.sb.add_board(["%s/24" % ATTACKER])

    def log_size(self):
        paths = [self.sb.log_path(name) for name in ("tavo.log", "messages.log")]
        return sum(os.path.getsize(p) for p in paths if os.path.exists(p))

    def udp_delivered(self):   # datagrams the host namespace handed to a socket
        with open("/proc/%d/net/snmp" % self.sb.keeper.pid) as f:   # the keeper's namespace
            rows = [line.split() for line in f if line.startswith("Udp:")]
        return int(rows[1][rows[0].index("InDatagrams")])

    def flood(self, destination, build):
        s = self.attacker.socket(bind=(ATTACKER, 0), broadcast=True, device=True)
        try:
            for i in range(DATAGRAMS):
                s.sendto(build(i), destination)
                if i % 50 == 49:
                    time.sleep(0.02)   # about 2500 a second: the daemon's queue, not ours, is tested
        finally:
            s.close()

    def boot(self):
        """The simulator boots the configured board; like a board, it asks again when no
        reply came. Returns the simulator's report of the last attempt."""
        for _ in range(3):
            status, report = e.simulate(self, self.board, SERIAL, "--timeout", "3")
            if status == 0 and report.get("booted"):
                break
        return report

    def test_floods(self):
        """Each flood adds only a little to the logs, is summarised, and a board boots meanwhile."""
        pid, summarised = None, set()
        for name, destination, build, logger, source in FLOODS:
            with self.subTest(case=name):
                # A server's first summary comes at once, later ones a minute apart: a server
                # that has written one gets a fresh daemon.
                if pid is None or logger in summarised:
                    if pid is not None:
                        self.sb.stop(pid)
                    pid, summarised = self.sb.start_and_wait_up(servers=True), set()
                summarised.add(logger)
                mark = self.sb.log_mark()
                size = self.log_size()
                delivered = self.udp_delivered()
                sender = threading.Thread(target=self.flood, args=(destination, build))
                sender.start()
                try:
                    report = self.boot()
                finally:
                    sender.join(120)
                self.assertTrue(report and report.get("booted"), report)
                names = [p["name"] for p in report["phases"]]
                self.assertIn("tftp " + FIRMWARE, names)

                received = self.udp_delivered() - delivered
                self.assertGreaterEqual(received, MIN_RECEIVED)
                pattern = SUMMARY if source is None else \
                    re.compile(r"^\d+ similar lines from %s suppressed$" % re.escape(source))
                self.sb.wait_log(pattern, logger=logger, start=mark)
                grown = self.log_size() - size
                print("%s: %d datagrams delivered, logs grew by %d bytes" % (name, received, grown))
                self.assertLess(grown, LOG_GROWTH_LIMIT)


SERIAL2, BOARD2 = 500, "198.51.100.50"
UNIT = os.path.join(e.ROOT, "packaging", "systemd", "tavo.service")

# Capability numbers of <linux/capability.h>.
CAP_DAC_OVERRIDE, CAP_NET_BIND_SERVICE, CAP_NET_RAW, CAP_SYS_NICE = 1, 10, 13, 23
# Ports 69 and 37 bound again at every restart; the address probe's raw ICMP socket; the
# server threads' real-time scheduling.
KEPT = 1 << CAP_NET_BIND_SERVICE | 1 << CAP_NET_RAW | 1 << CAP_SYS_NICE
SCHED_FIFO = 1
# One BOOTP server thread, one TFTP and one time thread per interface.
SERVER_THREADS = 3


def unit_bounding_set():
    with open(UNIT) as f:
        for line in f:
            if line.startswith("CapabilityBoundingSet="):
                return line.split("=", 1)[1].split()
    return []


def task_status(pid, tid):
    fields = {}
    with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb", "NoNewPrivs"):
                fields[key] = hex(int(value, 16)) if key.startswith("Cap") else int(value)
    return fields


def task_policy(pid, tid):   # field 41 of the stat line
    with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
        return int(f.read().rsplit(")", 1)[1].split()[38])


class Privilege(unittest.TestCase):
    def setUp(self):
        self.sb, self.board = e.serving(self, [dict(serial=s, IP=a, Firmware=FIRMWARE, SetNewFirmware=True)
                                               for s, a in ((SERIAL, BOARD), (SERIAL2, BOARD2))],
                                        files={FIRMWARE: 20000}, start=False)
        self.net2 = self.sb.add_network(None)   # the host gets its address there later
        self.board2 = self.sb.add_board(["%s/24" % BOARD2], network=self.net2)

    def assertLeastPrivilege(self, pid, bounding):
        """Capabilities belong to each thread: every one of them is checked."""
        expected = dict(CapInh=hex(0), CapPrm=hex(KEPT), CapEff=hex(KEPT), CapBnd=hex(bounding),
                        CapAmb=hex(0), NoNewPrivs=1)
        tids = os.listdir("/proc/%d/task" % pid)
        for tid in tids:
            self.assertEqual(task_status(pid, tid), expected, "thread %s" % tid)
        fifo = [tid for tid in tids if task_policy(pid, tid) == SCHED_FIFO]
        self.assertGreaterEqual(len(fifo), SERVER_THREADS, "real-time server threads")

    def assertBoots(self, board_ns, serial):
        """The whole boot: BOOTP reply after a probe made with the raw socket, firmware and
        generated files by TFTP (their CRC trailers checked), the time."""
        mark = self.sb.log_mark()
        status, report = e.simulate(self, board_ns, serial)
        self.assertEqual(status, 0, report)
        self.assertEqual([p["name"] for p in report["phases"]],
                         ["bootp", "tftp " + FIRMWARE] + ["tftp " + f for f in board.GENERATED_FILES] + ["time"])
        self.assertEqual(self.sb.find_log("Unable to send ping message", start=mark), [])
        return report

    def test_started_as_root(self):
        """`tavo start` as root with every capability: the service drops all but the kept
        ones, from the bounding set too, and keeps to that after a restart."""
        pid = self.sb.start_and_wait_up(servers=True)
        self.assertLeastPrivilege(pid, KEPT)

        # The restart runs on the address poller's thread and starts new server threads, with
        # the configuration already loaded (the file, now naming only the first address, is not
        # read again).
        self.sb.write_config("tavo.yaml", ts.tavo_yaml(interfaces=[e.HOST]))
        mark = self.sb.log_mark()
        self.sb.add_host_address("198.51.100.1/24", network=self.net2)
        self.sb.wait_log("IP Address table changed..", level="N", logger="General", start=mark)
        self.sb.wait_log("Listening on 198.51.100.1:37", logger="Time", start=mark)
        self.sb.wait_log("Listening on 192.0.2.1:37", logger="Time", start=mark)
        self.assertLeastPrivilege(pid, KEPT)
        self.assertEqual(self.assertBoots(self.board2, SERIAL2)["phases"][0]["detail"]["siaddr"], e.HOST2)
        self.assertBoots(self.board, SERIAL)

        # A stop in the middle of the next restart ends the daemon cleanly.
        mark = self.sb.log_mark()
        self.sb.add_host_address("198.51.100.2/24", network=self.net2)
        self.sb.wait_log("IP Address table changed..", start=mark)
        _, status = self.sb.stop(pid, timeout=15)
        self.assertEqual(status, 0)
        self.assertFalse(os.path.exists(self.sb.pid_file), "pid file left behind")

    def test_started_by_a_service_manager(self):
        """As the systemd unit starts it (its bounding set, so no CAP_SETPCAP, and
        no-new-privileges), here with the set widened by an operator: what the service cannot
        drop from the bounding set stays there, unusable; the service boots boards as above."""
        names = unit_bounding_set() + ["CAP_DAC_OVERRIDE"]
        bounding = "-all," + ",".join("+" + n[len("CAP_"):].lower() for n in names)
        pid = self.sb.start_and_wait_up(servers=True, wrapper=["setpriv", "--inh-caps=-all", "--no-new-privs",
                                                              "--bounding-set=" + bounding])
        self.assertLeastPrivilege(pid, KEPT | 1 << CAP_DAC_OVERRIDE)
        self.assertBoots(self.board, SERIAL)
        self.assertEqual(self.sb.stop(pid)[1], 0)


LOG_PORT = 14110            # RemoteLogPort's default
INTERNAL_LOG = "klog.log"          # the log framework's own lines
# Every TAVO option named but off: only a filter from the log server could turn them on.
QUIET_KLOG = ts.klog_cfg(trace=False)

# Serves the given frames to every connection and keeps the connections open.
FAKE_SERVER = r"""
import os, socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[2])))
s.listen(8)
print("listening uid=%d" % os.getuid(), flush=True)
kept = []
while True:
    kept.append(s.accept()[0])
    kept[-1].sendall(bytes.fromhex(sys.argv[1]))
"""


def filter_frame(max_file=104857600, max_total=10737418240):
    """A log filter with every option of every source on and FullLog set."""
    body = struct.pack("<II", 2, 29)                       # type 2: a filter; 29 sources
    body += struct.pack("<IBI", 0xFFFFFFFF, 0, 0) * 29     # options, overwritten, never
    body += struct.pack("<BQQ", 1, max_file, max_total)    # FullLog, both sizes
    return struct.pack("<I", len(body)) + body


RELOAD_FRAME = struct.pack("<II", 4, 1)                    # size 4, type 1: reload


class HostilePeers(unittest.TestCase):
    def test_log_servers_and_forged_echo_replies(self):
        """Another user's log server: its filter (every Trace line, 1-byte log files) and reload
        are ignored, with one Warning however often the daemon tries again; forged echo replies
        meanwhile. Then root's server: the reload runs and Trace lines appear."""
        self.sb, self.board = e.serving(self, [dict(serial=SERIAL, IP=BOARD, Firmware=FIRMWARE)],
                                        files={FIRMWARE: b"firmware"}, start=False, klog=QUIET_KLOG)
        server = self.fake_log_server(filter_frame(max_file=1) + RELOAD_FRAME, uid=NOBODY)
        self.sb.start_and_wait_up()   # the servers' start lines are Trace lines, off here
        self.fetch()
        self.assertEqual([l.raw for l in self.sb.log_lines() if l.level == "T"], [])
        old = os.path.join(self.sb.log_dir, "old")
        self.assertEqual(os.listdir(old) if os.path.isdir(old) else [], [], "files were rotated")
        warning = ("Log server on port %d belongs to uid %d, not root: its filters and reload "
                   "requests are ignored" % (LOG_PORT, NOBODY))
        self.sb.wait_log(warning, name=INTERNAL_LOG, level="W")   # connected and refused

        self.check_forged_echo_replies()

        # Tried again after the retry wait (5 s), not at once and not never.
        self.sb.wait_log("Connecting to log server (attempt 2)", name=INTERNAL_LOG, timeout=15)
        self.assertEqual(len(self.sb.find_log(warning, name=INTERNAL_LOG)), 1)
        config_log = os.path.basename(e.TAVO) + ".basekit.log"   # the configuration reloader's log
        self.assertEqual(self.sb.find_log("Configurations reloaded.", name=config_log), [])

        server.kill()
        server.wait(timeout=5)
        self.fake_log_server(filter_frame() + RELOAD_FRAME)
        self.sb.wait_log("Configurations reloaded.", name=config_log, level="I", timeout=15)
        self.fetch()
        self.sb.wait_log("Request ip=%s file=%s" % (BOARD, FIRMWARE), level="T")

    def fake_log_server(self, frames, uid=0):
        as_user = ["setpriv", "--reuid=%d" % uid, "--regid=%d" % uid, "--clear-groups"] if uid else []
        p = subprocess.Popen(self.sb.host_cmd(as_user + [sys.executable, "-c", FAKE_SERVER, frames.hex(), str(LOG_PORT)]),
                             stdout=subprocess.PIPE)
        self.addCleanup(lambda: p.kill() or p.communicate(timeout=5))
        self.assertEqual(p.stdout.readline(), b"listening uid=%d\n" % uid, "the fake log server did not start")
        return p

    def fetch(self):
        self.assertEqual(e.fetch(self, self.board, BOARD, FIRMWARE), b"firmware")

    def check_forged_echo_replies(self):
        """A forger on the board's address floods echo replies with identifier 0, sequence 0
        and the first values of an unseeded rand(): the probe must not take them for an
        answer, so the board (whose kernel stays silent) gets its reply."""
        forger = self.board.popen([sys.executable, "-c", FORGER, BOARD, e.HOST],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.assertEqual(forger.stdout.readline().strip(), b"forging")
            mark = self.sb.log_mark()
            peer = e.BootpPeer(self, self.board)
            mac = bootp.mac_from_serial(SERIAL)
            peer.send(bootp.build_request(mac, 0x5EED))
            got = peer.replies(0x5EED, mac, timeout=5)
            self.assertEqual(self.sb.find_log("Could not start NDX serial %d: IP address %s is being used"
                                              % (SERIAL, BOARD), start=mark), [])
            self.assertTrue(got, "no BOOTP reply; log: %r" % [l.raw for l in self.sb.log_lines()[mark:]])
        finally:
            forger.kill()
            forger.communicate(timeout=5)


# Echo replies from the board to the daemon's host for 20 s, each with identifier 0, sequence 0
# and, as the first payload word, one of the first values of the C library's unseeded rand().
FORGER = r"""
import ctypes, socket, struct, sys, time
libc = ctypes.CDLL(None)
guesses = [libc.rand() & 0xFFFFFFFF for _ in range(16)]
def checksum(data):
    s = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF
replies = []
for value in guesses:
    body = struct.pack("!BBHHH", 0, 0, 0, 0, 0) + struct.pack("=I", value) + bytes(180)
    replies.append(body[:2] + struct.pack("!H", checksum(body)) + body[4:])
s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
s.bind((sys.argv[1], 0))
print("forging", flush=True)
end = time.monotonic() + 20
while time.monotonic() < end:
    for reply in replies:
        s.sendto(reply, (sys.argv[2], 0))
    time.sleep(0.002)
"""


if __name__ == "__main__":
    e.main()
