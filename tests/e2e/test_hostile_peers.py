#!/usr/bin/python3
"""Peers that lie: a local user's stand-in for the log server, and forged echo replies to the
address probe. The log server's port is above 1024, so while the real server is down any
local user can take it; its filters must not steer the daemon's logging."""
import os
import struct
import subprocess
import sys
import unittest

import e2e_case as e
from e2e_case import bootp, ts

SERIAL, BOARD, MAC = 1193046, "192.0.2.50", "0A:3D:91:12:34:56"
NOBODY = 65534
LOG_PORT = 14110            # RemoteLogPort's default
INTERNAL_LOG = "klog.log"          # the log framework's own lines
FIRMWARE = "fw_ndx.bin"
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
        """Another user's log server: its filter (every Trace line, 1-byte log files) and its
        reload request are ignored, with one Warning however often the daemon tries again.
        Meanwhile forged echo replies do not make the board's free address look in use. Then
        the filter (with usual file sizes) and reload from root's server: the reload runs and
        Trace lines appear."""
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
        self.assertEqual(self.sb.find_log(
            "Log server on port %d belongs to uid 0, not root" % LOG_PORT, name=INTERNAL_LOG), [])

    def fake_log_server(self, frames, uid=0):
        """The fake server in the daemon's namespaces, as root or as another user."""
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
