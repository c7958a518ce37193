#!/usr/bin/python3
"""The boot service as a whole: a board boots end to end with the board simulator, and a stop
ends running transfers cleanly. (The restart on an address change is the privilege test's.)"""
import os
import threading
import unittest

import e2e_case as e
from e2e_case import board, tftp

SERIAL, BOARD, MAC = 1193046, "192.0.2.50", "0A:3D:91:12:34:56"
FIRMWARE = "fw_ndx.bin"
DEVICES = [dict(serial=SERIAL, IP=BOARD, Firmware=FIRMWARE, SetNewFirmware=True)]


class Boot(unittest.TestCase):
    """One daemon; the stop comes last."""

    @classmethod
    def setUpClass(cls):
        cls.sb, cls.board = e.serving(cls, DEVICES, files={FIRMWARE: 100000, "big.bin": 33 * 1024 * 1024})

    def test_board_boots(self):
        """Reply, firmware, the three generated files and the time, with the notifier lines of
        the General trace."""
        sb, board_ns = self.sb, self.board
        mark = sb.log_mark()
        status, report = e.simulate(self, board_ns, SERIAL)
        self.assertEqual(status, 0, report)
        self.assertTrue(report["booted"])
        names = [p["name"] for p in report["phases"]]
        self.assertEqual(names, ["bootp", "tftp " + FIRMWARE] + ["tftp " + f for f in board.GENERATED_FILES] + ["time"])
        phases = {p["name"]: p for p in report["phases"]}
        self.assertEqual((phases["bootp"]["detail"]["yiaddr"], phases["bootp"]["detail"]["file"]), (BOARD, FIRMWARE))
        self.assertEqual(phases["tftp " + FIRMWARE]["bytes"], 100000)
        for f in board.GENERATED_FILES:
            self.assertTrue(phases["tftp " + f]["detail"]["crc_ok"], f)
        self.assertEqual(phases["time"]["bytes"], 4)
        boot_phases = [l.text for l in sb.log_lines()[mark:] if "boot phase" in l.text]
        self.assertEqual(boot_phases, ["Client %s boot phase: %d" % (MAC, n) for n in (0, 1)])
        sb.wait_log("Client %s tftp phase: 02 " % BOARD, start=mark, count=4)
        expected = []
        for name in (FIRMWARE,) + board.GENERATED_FILES:
            expected += [("00", ""), ("01", e.FIRMWARE_DIR_TEXT + name), ("02", "")]
        self.assertEqual(e.tftp_phase_lines(sb, BOARD, mark), expected)

    def test_stop_cancels_a_running_transfer(self):
        """`tavo stop` while a 33 MiB file is read: the board receives ERROR 0 "Operation
        cancelled", the daemon exits 0 within 3 seconds and removes its pid file."""
        sb, board_ns, pid = self.sb, self.board, self.sb.read_pid_file()
        running = threading.Event()
        outcome = {}

        def read():
            try:
                tftp.fetch(e.board_socket(self, board_ns, BOARD), e.HOST, "big.bin", timeout=5,
                           sink=lambda payload: None, on_block=lambda n: n == 200 and running.set())
                outcome["error"] = None
            except tftp.TftpError as err:
                outcome["error"] = (err.code, err.message)
            except Exception as err:  # reported below
                outcome["error"] = err

        reader = threading.Thread(target=read)
        reader.start()
        self.assertTrue(running.wait(30), "transfer did not start")
        mark = sb.log_mark()
        r = sb.tavo("stop")
        self.assertEqual(r.status, 0, r)
        self.assertEqual(sb.wait_exit(pid, timeout=3.0), 0)
        reader.join(15)
        self.assertEqual(outcome.get("error"), (0, "Operation cancelled"))
        self.assertFalse(os.path.exists(sb.pid_file))
        sb.wait_log("Client %s tftp phase: 12 " % BOARD, start=mark, timeout=1)


if __name__ == "__main__":
    e.main()
