#!/usr/bin/python3
"""The two TFTP cases that take real time: a file of more than 65535 blocks read by curl, and
one retransmission."""
import os
import time
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
        self.sb.start_and_wait_up(servers=True)

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

    def test_one_real_retransmission(self):
        """A block left unacknowledged comes again, the same bytes, some 6 to 8 s later; the
        transfer then goes on (the rest of the timing rules are unit tables on a driven tick)."""
        self.sb.write_sized_firmware("f.bin", 700)
        self.start()
        s = self.board.socket(bind=(BOARD, 0))
        self.addCleanup(s.close)
        mark = self.sb.log_mark()
        s.sendto(tftp.request("f.bin"), (e.HOST, 69))
        first, peer = e.receive_one(s, 3)
        sent = time.monotonic()
        again = e.receive_one(s, 12)
        self.assertIsNotNone(again, "block 1 was not sent again")
        self.assertEqual(again[0], first)
        self.assertGreater(time.monotonic() - sent, 5.5)
        s.sendto(tftp.ack(1), peer)
        last = tftp.parse(e.receive_one(s, 3)[0])
        self.assertEqual((last.block, len(last.payload)), (2, 188))
        s.sendto(tftp.ack(2), peer)
        self.sb.wait_log("Client %s tftp phase: 02 " % BOARD, start=mark)
        phases = [p for p, _ in e.tftp_phase_lines(self.sb, BOARD, mark)]
        self.assertEqual(phases, ["00", "01", "02"])

if __name__ == "__main__":
    e.main()
