#!/usr/bin/python3
"""The two TFTP cases that take real time, run side by side: a file of more than 65535 blocks
read by curl, and one retransmission."""
import filecmp
import os
import subprocess
import time
import unittest

import e2e_case as e
from e2e_case import tftp

BOARD, SLOW = "192.0.2.50", "192.0.2.51"
BIG = 33 * 1024 * 1024 + 100    # 67585 blocks: the block number wraps past 65535 once


class SlowTransfers(unittest.TestCase):
    def test_big_file_and_one_retransmission(self):
        """curl reads the big file whole while a block left unacknowledged to another board
        comes again, the same bytes, some 6 to 8 s later; that transfer then goes on (the rest
        of the timing rules are unit tables on a driven tick)."""
        sb, board = e.serving(self, [dict(serial=1193046, IP=BOARD), dict(serial=1193047, IP=SLOW)],
                              (BOARD, SLOW), files={"big.bin": BIG, "f.bin": 700})
        out = os.path.join(sb.root, "big.out")
        curl = board.popen(["curl", "--tftp-no-options", "-sS", "--interface", BOARD, "-o", out,
                            "tftp://%s/big.bin" % e.HOST], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.addCleanup(lambda: curl.poll() is None and curl.kill())

        s = e.board_socket(self, board, SLOW)
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

        _, err = curl.communicate(timeout=400)
        self.assertEqual(curl.returncode, 0, err)
        self.assertEqual(os.path.getsize(out), BIG)
        self.assertTrue(filecmp.cmp(out, os.path.join(sb.firmware_dir, "big.bin"), shallow=False),
                        "content differs")
        for address in (BOARD, SLOW):
            sb.wait_log("Client %s tftp phase: 02 " % address)
            self.assertEqual([p for p, _ in e.tftp_phase_lines(sb, address)], ["00", "01", "02"])


if __name__ == "__main__":
    e.main()
