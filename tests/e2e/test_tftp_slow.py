#!/usr/bin/python3
"""The two TFTP cases that take real time: a file of more than 65535 blocks read by curl, and
one retransmission."""
import filecmp
import os
import time
import unittest

import e2e_case as e
from e2e_case import tftp

BOARD = "192.0.2.50"
BIG = 33 * 1024 * 1024 + 100    # 67585 blocks: the block number wraps past 65535 once


class SlowTransfers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb, cls.board = e.serving(cls, [dict(serial=1193046, IP=BOARD)], files={"big.bin": BIG, "f.bin": 700})

    def test_file_past_the_block_number_wrap(self):
        out = os.path.join(self.sb.root, "big.out")
        mark = self.sb.log_mark()
        r = e.run_in(self.board, ["curl", "--tftp-no-options", "-sS", "-o", out,
                                  "tftp://%s/big.bin" % e.HOST], timeout=400)
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(os.path.getsize(out), BIG)
        self.assertTrue(filecmp.cmp(out, os.path.join(self.sb.firmware_dir, "big.bin"), shallow=False),
                        "content differs")
        self.sb.wait_log("Client %s tftp phase: 02 " % BOARD, start=mark)

    def test_one_real_retransmission(self):
        """A block left unacknowledged comes again, the same bytes, some 6 to 8 s later; the
        transfer then goes on (the rest of the timing rules are unit tables on a driven tick)."""
        s = e.board_socket(self, self.board, BOARD)
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
