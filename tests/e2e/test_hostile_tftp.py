#!/usr/bin/python3
"""The TFTP server against hostile input: links out of the firmware directory, control
characters in requested names, a spoofed request to a closed port, and the alternative-path
copy meeting links and modes."""
import os
import stat
import unittest

import e2e_case as e
from e2e_case import tftp, ts

BOARD = "192.0.2.50"
# One configured board address per case, so that a case that leaves its board busy (as they
# all do before the hardening) cannot spoil the next.
LINKS, NAMES, SPOOFED = BOARD, "192.0.2.51", "192.0.2.52"
NOT_FOUND = b"\x00\x05\x00\x01File not found\x00"   # ERROR, code 1, text, NUL
FIRMWARE = b"firmware image, served from inside\n" * 40
SECRET = b"root's secret, mode 0600\n"
FORGED = "W|01/01/2000 00:00:00.000|TFTP    | forged line"


def plant_outside(sb):   # a 0600 file outside the firmware directory; returns its directory
    outside = os.path.join(sb.root, "outside")
    os.makedirs(outside)
    secret = os.path.join(outside, "secret.bin")
    with open(secret, "wb") as f:
        f.write(SECRET)
    os.chmod(secret, 0o600)
    return outside


class HostileTftp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        addresses = (LINKS, NAMES, SPOOFED)
        cls.sb, cls.board = e.serving(cls, [dict(serial=1193046 + i, IP=a) for i, a in enumerate(addresses)],
                                      addresses, files={"fw.bin": FIRMWARE}, start=False)
        sb = cls.sb
        outside = plant_outside(sb)
        os.makedirs(os.path.join(sb.firmware_dir, "sub"))
        links = {"secret.bin": os.path.join(outside, "secret.bin"),   # a file outside
                 "outdir": outside,                                   # a directory outside
                 "inside.bin": "fw.bin",                              # stays inside
                 "sub/up.bin": "../fw.bin"}                           # inside, through ".."
        for name, target in links.items():
            os.symlink(target, os.path.join(sb.firmware_dir, name))
        sb.start_and_wait_up(servers=True)

    def socket(self, address):
        return e.board_socket(self, self.board, address)

    def first_answer(self, address, name):
        """The first packet the server sends for a read request (asked up to three times, as
        a board does while the server still has it busy), or None."""
        s = self.socket(address)
        for _ in range(3):
            s.sendto(tftp.request(name), (e.HOST, 69))
            got = e.receive_one(s, 1.0)
            if got is not None:
                return got[0]
        return None

    def test_links(self):
        """Links that lead out of the firmware directory are not served; links inside are."""
        refused = ["secret.bin", "outdir/secret.bin", "outdir"]
        for name in refused:
            with self.subTest(name=name):
                self.assertEqual(self.first_answer(LINKS, name), NOT_FOUND)
        for name in ("inside.bin", "sub/up.bin"):
            with self.subTest(name=name):
                got = tftp.fetch(self.socket(LINKS), e.HOST, name, timeout=1.0, retries=3)
                self.assertTrue(got.content == FIRMWARE, "content differs")

    def test_control_characters_in_names(self):
        """A name from the wire cannot write a line of its own into tavo.log: control
        characters are escaped, and so is the backslash, so an escape cannot be forged."""
        cases = [  # requested name, as the not-found warning shows it
            ("nl\n" + FORGED, "nl\\x0a" + FORGED),
            ("bs\\x0a" + FORGED, "bs\\x5cx0a" + FORGED),
        ]
        for name, shown in cases:
            with self.subTest(shown=shown):
                mark = self.sb.log_mark()
                self.assertEqual(self.first_answer(NAMES, name), NOT_FOUND)
                self.sb.wait_log("Client %s file [%s%s] not found!" % (NAMES, e.FIRMWARE_DIR_TEXT, shown),
                                 level="W", logger="TFTP", start=mark)
        raw = self.sb.read_file(self.sb.log_path())
        self.assertNotIn(b"\n" + FORGED.encode(), raw)   # in whichever line the name shows

    def test_spoofed_request_to_a_closed_port(self):
        """A request in the board's name from a port that is closed ends at the board's ICMP
        answer, so the board's own request is served within one of its retransmissions."""
        mark = self.sb.log_mark()
        spoof = self.socket(SPOOFED)
        # Connected to port 69, this socket takes nothing from the transfer's port: the DATA
        # block meets a closed port whenever it comes.
        spoof.connect((e.HOST, 69))
        spoof.send(tftp.request("fw.bin"))
        self.sb.wait_log("Client %s tftp phase: 01 %sfw.bin" % (SPOOFED, e.FIRMWARE_DIR_TEXT), start=mark)
        got = tftp.fetch(self.socket(SPOOFED), e.HOST, "fw.bin", timeout=1.0, retries=2)   # 3 s at most
        self.assertTrue(got.content == FIRMWARE, "content differs")
        self.sb.wait_log("Client %s error sending data to socket [111]" % SPOOFED, level="E",
                         logger="TFTP", start=mark)   # ECONNREFUSED


class HostileCopy(unittest.TestCase):
    def test_alternative_path_copy(self):
        """With AlternativePath the firmware directory, generated files included, is copied
        there for another TFTP service and no TFTP port is opened. The copy takes only regular
        files inside, keeps each file's bytes and mode and replaces a link planted in the
        destination instead of writing through it. (Creating the path is a unit test's.)"""
        sb = e.new_sandbox(self)
        ts.standard_setup(sb, [dict(serial=1193046, IP=BOARD)])
        sb.write_config("tavo.yaml", ts.tavo_yaml(alternative_path="/var/tmp/alt"))
        outside = plant_outside(sb)
        victim = os.path.join(outside, "victim.bin")
        with open(victim, "wb") as f:
            f.write(b"not to be overwritten")
        modes = {"fw.bin": 0o600, "tool.bin": 0o755, "planted.bin": 0o640}
        for name, mode in modes.items():
            os.chmod(sb.write_firmware(name, FIRMWARE), mode)
        os.symlink(os.path.join(outside, "secret.bin"), os.path.join(sb.firmware_dir, "secret.bin"))
        os.symlink("fw.bin", os.path.join(sb.firmware_dir, "inside.bin"))
        copied = os.path.join(sb.root, "vartmp", "alt")
        os.makedirs(copied)
        os.symlink(victim, os.path.join(copied, "planted.bin"))

        sb.start_and_wait_up(servers=True)
        sb.wait_log("Alternative service may be running with path: /var/tmp/alt", level="I",
                    logger="TFTP", timeout=10)
        sb.wait_log("Fail on reading file (secret.bin)", level="W", logger="TFTP")
        expected = dict(modes, **{"inside.bin": 0o600, "system.yaml": 0o644, "klog.cfg": 0o644,
                                  "replacements.yaml": 0o644})
        for name, mode in expected.items():
            with self.subTest(name=name):
                info = os.lstat(os.path.join(copied, name))
                self.assertTrue(stat.S_ISREG(info.st_mode))
                self.assertEqual(oct(stat.S_IMODE(info.st_mode)), oct(mode))
                self.assertTrue(sb.read_file(os.path.join(copied, name)) ==
                                sb.read_file(os.path.join(sb.firmware_dir, name)), "content differs")
        self.assertFalse(os.path.lexists(os.path.join(copied, "secret.bin")))
        self.assertEqual(sb.read_file(victim), b"not to be overwritten")
        self.assertNotRegex(sb.host(["ss", "-H", "-l", "-u", "-n"]).stdout.decode(), r":69\s")


if __name__ == "__main__":
    e.main()
