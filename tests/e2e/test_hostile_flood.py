#!/usr/bin/python3
"""Floods from hosts the configuration does not know: read requests to port 69 from an unknown
address, BOOTP requests with bad identification strings under many serials, forged replies on
the reply port. Each may add only a little to tavo.log and messages.log, reports what it kept
back in a summary line, and a configured board boots normally meanwhile."""
import os
import re
import threading
import time
import unittest

import e2e_case as e
from e2e_case import bootp, tftp

SERIAL, BOARD = 1193046, "192.0.2.50"
ATTACKER = "192.0.2.99"
FIRMWARE = "fw_ndx.bin"
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


# name, destination, datagram builder, logger of the summary, source it names
CASES = [
    ("bootp_bad_identification", ("255.255.255.255", 14102), bad_identification, "BOOTP", None),
    ("bootp_forged_replies", ("255.255.255.255", 14103), forged_reply, "BOOTP", "198.51.100.7"),
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

    def udp_delivered(self):
        """Datagrams the host namespace's kernel handed to a socket (Udp InDatagrams)."""
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
        pid, summarised = None, set()
        for name, destination, build, logger, source in CASES:
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

if __name__ == "__main__":
    e.main()
