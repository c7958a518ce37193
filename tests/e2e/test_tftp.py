#!/usr/bin/python3
"""TFTP against the running daemon with real clients (curl, atftp, tftp-hpa) and a raw client:
files byte for byte, the phases, the silent refusals, and the alternative path (the transfer
rules themselves are unit tables)."""
import os
import shutil
import tempfile
import unittest

import e2e_case as e
from e2e_case import tftp, ts

BOARD = "192.0.2.50"       # a configured board's address
STRANGER = "192.0.2.60"    # in no devices list
SIZES = {"size_0.bin": 0, "size_511.bin": 511, "size_512.bin": 512, "size_1024.bin": 1024,
         "size_1m.bin": 1 << 20}

CLIENTS = {  # name -> command reading NAME into OUT ("-" for standard output) from the host
    "curl": lambda name, out: (["curl", "--tftp-no-options", "-sS", "tftp://%s/%s" % (e.HOST, name)],
                               "-"),
    "atftp": lambda name, out: (["atftp", "--get", "-r", name, "-l", out, e.HOST], out),
    "tftp-hpa": lambda name, out: (["tftp", "-m", "binary", e.HOST, "-c", "get", name, out], out),
}


class TftpCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = sb = e.new_sandbox(cls)
        cls.board = sb.add_board(["%s/24" % BOARD])
        cls.stranger = sb.add_board(["%s/24" % STRANGER])
        ts.standard_setup(sb, [dict(serial=1193046, IP=BOARD)],
                          firmwares=[("boot.bin", "fw_v2.bin"), ("evil.bin", "../etc/passwd")])
        cls.content = {name: sb.read_file(sb.write_sized_firmware(name, size))
                       for name, size in SIZES.items()}
        cls.content["fw_v2.bin"] = b"version two\n" * 100
        cls.content["sub/img.bin"] = b"in a subdirectory"
        for name in ("fw_v2.bin", "sub/img.bin"):
            sb.write_firmware(name, cls.content[name])
        sb.start_and_wait_up(servers=True)

    def socket(self, board=None, address=BOARD):
        return e.board_socket(self, board or self.board, address)

    def fetch(self, name, **kw):
        return e.fetch(self, self.board, BOARD, name, **kw)

    def assertNothing(self, sock, seconds=0.5):
        self.assertIsNone(e.receive_one(sock, seconds), "the server answered")


class Clients(TftpCase):
    def test_real_clients_read_every_size(self):
        """Each client gets each file byte for byte, and the phases are 00, 01 (path), 02."""
        out_dir = tempfile.mkdtemp(prefix="tavoe2e-tftp.")
        self.addCleanup(shutil.rmtree, out_dir)
        for client, command in CLIENTS.items():
            for name in SIZES:
                with self.subTest(client=client, file=name):
                    out = os.path.join(out_dir, "%s.%s" % (client, name))
                    cmd, target = command(name, out)
                    mark = self.sb.log_mark()
                    r = e.run_in(self.board, cmd, timeout=60)
                    self.assertEqual(r.returncode, 0, r.stderr)
                    got = r.stdout if target == "-" else self.sb.read_file(out)
                    self.assertEqual(len(got), SIZES[name])
                    self.assertTrue(got == self.content[name], "content differs")
                    self.sb.wait_log("Client %s tftp phase: 02 " % BOARD, start=mark)
                    self.assertEqual(e.tftp_phase_lines(self.sb, BOARD, mark),
                                     [("00", ""), ("01", e.FIRMWARE_DIR_TEXT + name), ("02", "")])


class Refusals(TftpCase):
    def test_silent_refusals(self):
        """Requests refused without any packet, each with its log line and phase (which requests
        are refused is a unit table; the lines are only seen here)."""
        cases = [  # sender, packet, log level, log text, phase (None: no phase line)
            (BOARD, tftp.request("x", "octet", tftp.WRQ), "I",
             "Invalid tftp request [2] from %s" % BOARD, None),
            (BOARD, tftp.request("size_511.bin", "netascii"), "T",
             "RequestMode 'netascii' is not supported. Only 'octet' is supported (%s)" % BOARD, "05"),
            (BOARD, tftp.request("../x"), "W", "Malicious firmware request: '../x'", "05"),
            (BOARD, tftp.request("evil.bin"), "W", "Malicious firmware request: '../etc/passwd'", "05"),
            (STRANGER, tftp.request("size_511.bin"), "N",
             "Machine requesting file is not in list (%s)" % STRANGER, None),
        ]
        for sender, packet, level, text, phase in cases:
            with self.subTest(text=text):
                s = self.socket(self.board if sender == BOARD else self.stranger, sender)
                mark = self.sb.log_mark()
                s.sendto(packet, (e.HOST, 69))
                self.sb.wait_log(text, level=level, logger="TFTP", start=mark)
                if phase:
                    self.sb.wait_log("Client %s tftp phase: %s " % (BOARD, phase), start=mark)
                self.assertNothing(s)
        # The board was left idle: its next request is served.
        self.assertEqual(self.fetch("size_511.bin"), self.content["size_511.bin"])


class AlternativePath(unittest.TestCase):
    def test_files_copied_and_nothing_served(self):
        """With AlternativePath the firmware directory, generated files included, is copied
        there (parents created) and no TFTP port is opened."""
        sb = e.new_sandbox(self)
        board = sb.add_board(["%s/24" % BOARD])
        ts.standard_setup(sb, [dict(serial=1193046, IP=BOARD)])
        sb.write_config("tavo.yaml", ts.tavo_yaml(alternative_path="/var/tmp/alt/deep/dir"))
        sb.write_firmware("fw.bin", b"firmware image")
        sb.start_and_wait_up(servers=True)
        sb.wait_log("Alternative service may be running with path: /var/tmp/alt/deep/dir",
                    level="I", logger="TFTP", timeout=10)
        copied = os.path.join(sb.root, "vartmp", "alt", "deep", "dir")
        for name in ("fw.bin", "system.yaml", "klog.cfg", "replacements.yaml"):
            with self.subTest(name):
                self.assertEqual(sb.read_file(os.path.join(copied, name)),
                                 sb.read_file(os.path.join(sb.firmware_dir, name)))
        listening = sb.host(["ss", "-H", "-l", "-u", "-n"]).stdout.decode()
        self.assertNotRegex(listening, r":69\s")
        s = board.socket(bind=(BOARD, 0))
        self.addCleanup(s.close)
        s.sendto(tftp.request("fw.bin"), (e.HOST, 69))
        self.assertIsNone(e.receive_one(s, 1.0))


if __name__ == "__main__":
    e.main()
