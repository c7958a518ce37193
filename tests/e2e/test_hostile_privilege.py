#!/usr/bin/python3
"""Least privilege: every thread of the running service holds only the capabilities the
servers need, with no-new-privileges set, and the daemon still boots boards, probes with its
raw socket, runs its server threads in real time and serves again after an address change
(with the configuration it has loaded), stopping cleanly during the next one."""
import os
import unittest

import e2e_case as e
from e2e_case import board, ts

SERIAL, BOARD = 1193046, "192.0.2.50"
SERIAL2, BOARD2 = 500, "198.51.100.50"
FIRMWARE = "fw_ndx.bin"
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
    """The capability names of the systemd unit's CapabilityBoundingSet=."""
    with open(UNIT) as f:
        for line in f:
            if line.startswith("CapabilityBoundingSet="):
                return line.split("=", 1)[1].split()
    return []


def task_status(pid, tid):
    """The capability sets (in hexadecimal) and the no-new-privileges flag of one thread."""
    fields = {}
    with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb", "NoNewPrivs"):
                fields[key] = hex(int(value, 16)) if key.startswith("Cap") else int(value)
    return fields


def task_policy(pid, tid):
    """The scheduling policy of one thread (field 41 of its stat line)."""
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

if __name__ == "__main__":
    e.main()
