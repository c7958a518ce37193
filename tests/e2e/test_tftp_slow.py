#!/usr/bin/python3
"""The two long TFTP cases: a file of more than 65535 blocks read by curl, and a board that
never acknowledges."""
import os
import unittest

import e2e_case as e
from e2e_case import tftp, ts

BOARD = "192.0.2.50"
BIG = 33 * 1024 * 1024 + 100    # 67585 blocks: the block number wraps past 65535 once


class SlowTransfers(unittest.TestCase):
    def setUp(self):
        self.sb = e.new_sandbox(self)
        self.board = self.sb.add_board(["%s/24" % BOARD])
        ts.standard_setup(self.sb, [dict(serial=1193046, IP=BOARD)])

    def start(self):
        e.start_serving(self.sb)

    def test_file_past_the_block_number_wrap(self):
        path = self.sb.write_sized_firmware("big.bin", BIG)
        self.start()
        out = os.path.join(self.sb.root, "big.out")
        mark = self.sb.log_mark()
        r = e.run_in(self.board, ["curl", "--tftp-no-options", "-sS", "-o", out,
                                  "tftp://%s/big.bin" % e.HOST], timeout=400)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.path.getsize(out), BIG)
        with open(out, "rb") as got, open(path, "rb") as want:
            while True:
                a, b = got.read(1 << 20), want.read(1 << 20)
                self.assertTrue(a == b, "content differs near offset %d" % got.tell())
                if not a:
                    break
        self.sb.wait_log("Client %s tftp phase: 02 " % BOARD, start=mark)

    def test_board_that_never_acknowledges(self):
        """Block 1 is sent six times, then ERROR "Timed out waiting ack"; phases 01 and 10."""
        self.sb.write_sized_firmware("f.bin", 2000)
        self.start()
        s = self.board.socket(bind=(BOARD, 0))
        self.addCleanup(s.close)
        mark = self.sb.log_mark()
        s.sendto(tftp.request("f.bin"), (e.HOST, 69))
        packets = []

        def until_error(data, sender):
            packets.append(data)
            return data[:2] == b"\x00\x05"

        self.assertIsNotNone(e.receive_one(s, 90, until_error), packets)
        first = packets[0]
        self.assertEqual(first[:4], b"\x00\x03\x00\x01")
        self.assertEqual(packets[:-1], [first] * 6)
        self.assertEqual(packets[-1], b"\x00\x05\x00\x00Timed out waiting ack\x00")
        self.sb.wait_log("Timed out waiting ack from %s" % BOARD, level="W", logger="TFTP",
                         start=mark)
        phases = [p for p, _ in e.tftp_phase_lines(self.sb, BOARD, mark)]
        self.assertEqual(phases, ["00", "01", "10"])


if __name__ == "__main__":
    e.main()
