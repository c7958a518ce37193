#!/usr/bin/python3
"""The boot service as a whole: a board boots end to end with the board simulator, the
servers restart on an address change, and a stop ends running transfers cleanly."""
import os
import threading
import unittest

import e2e_case as e
from e2e_case import board, tftp, ts

SERIAL, BOARD, MAC = 1193046, "192.0.2.50", "0A:3D:91:12:34:56"
SERIAL2, BOARD2 = 500, "198.51.100.50"
FIRMWARE = "fw_ndx.bin"
DEVICES = [dict(serial=SERIAL, IP=BOARD, Firmware=FIRMWARE, SetNewFirmware=True),
           dict(serial=SERIAL2, IP=BOARD2, Firmware=FIRMWARE, SetNewFirmware=True)]


class BootCase(unittest.TestCase):
    def setUp(self):
        self.sb = e.new_sandbox(self)
        self.board = self.sb.add_board(["%s/24" % BOARD])
        ts.standard_setup(self.sb, DEVICES)
        self.firmware = self.sb.read_file(self.sb.write_sized_firmware(FIRMWARE, 100000))

    def start(self):
        return self.sb.start_and_wait_up(servers=True)


class EndToEnd(BootCase):
    def test_board_boots(self):
        """Reply, firmware, the three generated files and the time, with the notifier lines of
        the General trace."""
        self.start()
        mark = self.sb.log_mark()
        status, report = e.simulate(self, self.board, SERIAL)
        self.assertEqual(status, 0, report)
        self.assertTrue(report["booted"])
        names = [p["name"] for p in report["phases"]]
        self.assertEqual(names, ["bootp", "tftp " + FIRMWARE] +
                         ["tftp " + f for f in board.GENERATED_FILES] + ["time"])
        phases = {p["name"]: p for p in report["phases"]}
        self.assertEqual(phases["bootp"]["detail"]["yiaddr"], BOARD)
        self.assertEqual(phases["bootp"]["detail"]["file"], FIRMWARE)
        self.assertEqual(phases["tftp " + FIRMWARE]["bytes"], len(self.firmware))
        for f in board.GENERATED_FILES:
            self.assertTrue(phases["tftp " + f]["detail"]["crc_ok"], f)
        self.assertEqual(phases["time"]["bytes"], 4)

        self.assertEqual(e.boot_phase_lines(self.sb, MAC, mark), ["0", "1"])
        self.sb.wait_log("Client %s tftp phase: 02 " % BOARD, start=mark, count=4)
        expected = []
        for name in (FIRMWARE,) + board.GENERATED_FILES:
            expected += [("00", ""), ("01", e.FIRMWARE_DIR_TEXT + name), ("02", "")]
        self.assertEqual(e.tftp_phase_lines(self.sb, BOARD, mark), expected)


class AddressChange(BootCase):
    def setUp(self):
        super().setUp()
        self.net2 = self.sb.add_network(None)   # the host has no address there yet
        self.board2 = self.sb.add_board(["%s/24" % BOARD2], network=self.net2)

    def test_new_address_restarts_the_servers(self):
        """The servers restart on the new address set with the configuration already loaded
        (the file now names only the first address: it is not read again), and a board on the
        new subnet boots; a stop in the middle of the next restart ends the daemon cleanly."""
        pid = self.start()
        self.sb.write_config("tavo.yaml", ts.tavo_yaml(interfaces=[e.HOST]))
        mark = self.sb.log_mark()
        self.sb.add_host_address("198.51.100.1/24", network=self.net2)
        self.sb.wait_log("IP Address table changed..", level="N", logger="General", start=mark)
        for text in ("Starting BootServer...", "Starting TFTP Server...", "Starting TimeServer..."):
            self.sb.wait_log(text, level="T", logger="General", start=mark)
        self.sb.wait_log("Listening on 198.51.100.1:37", logger="Time", start=mark)
        status, report = e.simulate(self, self.board2, SERIAL2)
        self.assertEqual(status, 0, report)
        self.assertEqual(report["phases"][0]["detail"]["siaddr"], e.HOST2)
        mark = self.sb.log_mark()
        self.sb.add_host_address("198.51.100.2/24", network=self.net2)
        self.sb.wait_log("IP Address table changed..", start=mark)
        r, status = self.sb.stop(pid, timeout=15)
        self.assertEqual((r.status, status), (0, 0))
        self.assertFalse(os.path.exists(self.sb.pid_file))
        self.sb.syslog.wait_for("Exiting at stop request...", timeout=5)


class StopDuringTransfer(BootCase):
    def test_stop_cancels_a_running_transfer(self):
        """`tavo stop` while a 33 MiB file is read: the board receives ERROR 0 "Operation
        cancelled", the daemon exits 0 within 3 seconds and removes its pid file."""
        self.sb.write_sized_firmware("big.bin", 33 * 1024 * 1024)
        pid = self.start()
        running = threading.Event()
        outcome = {}

        def read():
            s = self.board.socket(bind=(BOARD, 0))
            try:
                tftp.fetch(s, e.HOST, "big.bin", timeout=5, sink=lambda payload: None,
                           on_block=lambda n: n == 200 and running.set())
                outcome["error"] = None
            except tftp.TftpError as err:
                outcome["error"] = (err.code, err.message)
            except Exception as err:  # reported below
                outcome["error"] = err
            finally:
                s.close()

        reader = threading.Thread(target=read)
        reader.start()
        self.assertTrue(running.wait(30), "transfer did not start")
        mark = self.sb.log_mark()
        r = self.sb.tavo("stop")
        self.assertEqual(r.status, 0, r)
        self.assertEqual(self.sb.wait_exit(pid, timeout=3.0), 0)
        reader.join(15)
        self.assertEqual(outcome.get("error"), (0, "Operation cancelled"))
        self.assertFalse(os.path.exists(self.sb.pid_file))
        self.sb.wait_log("Client %s tftp phase: 12 " % BOARD, start=mark, timeout=1)


if __name__ == "__main__":
    e.main()
