#!/usr/bin/python3
"""The time service: the boards' 4-byte request, what is ignored, and rdate's empty datagram."""
import ctypes
import re
import time
import unittest

import e2e_case as e
from e2e_case import timeproto, ts

BOARD = "192.0.2.50"
STRANGER = "192.0.2.60"


class Timeval(ctypes.Structure):
    _fields_ = [("tv_sec", ctypes.c_long), ("tv_usec", ctypes.c_long)]


class Timezone(ctypes.Structure):
    _fields_ = [("tz_minuteswest", ctypes.c_int), ("tz_dsttime", ctypes.c_int)]


def kernel_timezone_offset():
    """The kernel's timezone in seconds west, as gettimeofday reports it to the daemon."""
    tv, tz = Timeval(), Timezone()
    ctypes.CDLL(None).gettimeofday(ctypes.byref(tv), ctypes.byref(tz))
    return tz.tz_minuteswest * 60


class TimeService(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = sb = e.new_sandbox(cls)
        cls.board = sb.add_board(["%s/24" % BOARD])
        cls.stranger = sb.add_board(["%s/24" % STRANGER])
        ts.standard_setup(sb, [dict(serial=1193046, IP=BOARD)])
        sb.start_and_wait_up(servers=True)

    def socket(self, board=None, address=BOARD):
        s = (board or self.board).socket(bind=(address, 0))
        self.addCleanup(s.close)
        return s

    def test_board_gets_the_time(self):
        """4 bytes, big-endian seconds since 1900 less the kernel's timezone offset, sent back
        to the port the request came from."""
        s = self.socket()
        before = int(time.time())
        got = timeproto.query(s, e.HOST, 37, timeout=3)
        after = int(time.time())
        self.assertIsNotNone(got)
        value, answer, _ = got
        self.assertEqual(len(answer), 4)
        shift = 2208988800 - kernel_timezone_offset()
        self.assertGreaterEqual(value, before + shift)
        self.assertLessEqual(value, after + shift)

    def test_wrong_sizes_and_unknown_senders_are_ignored(self):
        """Empty and 5-byte datagrams and a stranger's request get nothing, silently: the first
        answer is the one for the 4-byte request sent after them."""
        mark = self.sb.log_mark()
        s, strange = self.socket(), self.socket(self.stranger, STRANGER)
        strange.sendto(b"\x00" * 4, (e.HOST, 37))
        for payload in (b"", b"\x00" * 5, b"\x00" * 4):
            s.sendto(payload, (e.HOST, 37))
        first = e.receive_one(s, 3)
        self.assertIsNotNone(first)
        self.assertEqual(len(first[0]), 4)
        self.assertIsNone(e.receive_one(s, 0.5), "a wrong-sized datagram was answered")
        self.assertIsNone(e.receive_one(strange, 0.1))
        self.assertEqual(self.sb.find_log(re.compile(re.escape(STRANGER)), start=mark), [])

    def test_rdate_empty_datagram_gets_no_answer(self):
        """rdate -u sends an empty datagram, which the service ignores by design."""
        r = e.run_in(self.board, ["timeout", "5", "rdate", "-u", "-p", e.HOST], timeout=30)
        self.assertNotEqual(r.returncode, 0, r.stdout)


if __name__ == "__main__":
    e.main()
