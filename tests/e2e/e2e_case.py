"""What the end-to-end tests share: the sandbox, the board simulator's modules, and helpers to
exchange BOOTP, TFTP and time packets from a board's namespace."""
import argparse
import json
import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import tavo_sandbox as ts  # noqa: E402,F401
from ndxsim import board, bootp, tftp, timeproto  # noqa: E402,F401  (re-exported for the tests)

SIMULATOR = os.path.join(ROOT, "tools", "ndx-board-sim")
TAVO = None
HOST = "192.0.2.1"
HOST2 = "198.51.100.1"
FIRMWARE_DIR_TEXT = "/etc/varnel//data/am17/"   # as the daemon spells the path


def main():   # --tavo PATH, the rest for unittest
    global TAVO
    parser = argparse.ArgumentParser()
    parser.add_argument("--tavo", required=True)
    args, rest = parser.parse_known_args()
    TAVO = args.tavo
    unittest.main(argv=sys.argv[:1] + rest)


def new_sandbox(case, **kw):   # closed when the test (or class, for a class) ends
    sb = ts.Sandbox(TAVO, **kw)
    case.addCleanup(sb.close) if isinstance(case, unittest.TestCase) else \
        case.addClassCleanup(sb.close)
    return sb


def serving(case, devices, addresses=("192.0.2.50",), files=(), start=True, **setup):
    """A sandbox with one board holding addresses, the standard configuration (setup: its options),
    firmware files (name -> content or size) and, with start, the daemon up; (sandbox, board)."""
    sb = new_sandbox(case)
    board_ns = sb.add_board(["%s/24" % a for a in addresses])
    ts.standard_setup(sb, devices, **setup)
    for name, content in dict(files).items():
        sb.write_sized_firmware(name, content) if isinstance(content, int) else sb.write_firmware(name, content)
    if start:
        sb.start_and_wait_up(servers=True)
    return sb, board_ns


receive_one = ts.wait_packet   # the first accepted datagram within a timeout, or None


class BootpPeer:
    """A board's BOOTP socket on the reply port, closed when the test ends."""

    def __init__(self, case, board_ns, tx_port=14103):
        self.sock = board_ns.socket(bind=("", tx_port), reuse=True, broadcast=True, device=True)
        case.addCleanup(self.sock.close)

    def send(self, data, dest=("255.255.255.255", 14102)):
        self.sock.sendto(data, dest)

    def replies(self, xid, mac, timeout, count=None, linger=0.0):
        """Replies for (xid, mac): waits up to timeout for count of them (the first one when
        count is None), then linger seconds more for copies that must not come."""
        def mine(data, sender):
            try:
                m = bootp.parse_message(data)
            except ValueError:
                return False
            return m.op == 2 and m.xid == xid and m.mac == mac

        got = []
        deadline = time.monotonic() + timeout
        while len(got) < (count or 1):
            one = receive_one(self.sock, deadline - time.monotonic(), mine)
            if one is None:
                break
            got.append(one)
        until = time.monotonic() + linger
        while linger and (one := receive_one(self.sock, until - time.monotonic(), mine)) is not None:
            got.append(one)
        return got


def simulate(case, board_ns, serial, *extra):   # (exit status, the simulator's JSON report)
    r = board_ns.exec([SIMULATOR, "--serial", str(serial), "--interface", "eth0", "--json"] + list(extra),
                      check=False, timeout=60)
    try:
        return r.returncode, json.loads(r.stdout)
    except ValueError:
        case.fail("simulator output is not JSON: %r %r" % (r.stdout, r.stderr))


def boards(sb):   # `tavoctl boards --json` in the daemon's namespaces: its rows by address
    r = sb.host([os.path.join(os.path.dirname(TAVO), "tavoctl"), "boards", "--json"])
    return {row["address"]: row for row in json.loads(r.stdout)["boards"]}


def board_socket(case, board_ns, address):   # closed when the test ends
    s = board_ns.socket(bind=(address, 0))
    case.addCleanup(s.close)
    return s


def fetch(case, board_ns, address, name, **kw):
    return tftp.fetch(board_socket(case, board_ns, address), HOST, name, **dict(dict(timeout=3), **kw)).content


def tftp_phase_lines(sb, address, start=0):   # (phase, detail) of one board's lines, in order
    prefix = "Client %s tftp phase: " % address
    return [(l.text[len(prefix):len(prefix) + 2], l.text[len(prefix) + 3:])
            for l in sb.log_lines()[start:] if l.text.startswith(prefix)]
