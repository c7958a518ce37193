#!/usr/bin/python3
"""What the board simulator's boots against the daemon (which prove its request and its
decoding: the daemon's reply echoes the request's fields byte for byte) cannot show: the
serial rule at its edges, its TFTP client against a scripted server (duplicates, strangers,
the block-number wrap), the CRC trailer check."""
import os
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from ndxsim import board, bootp, tftp  # noqa: E402


class BootpLayout(unittest.TestCase):
    def test_serial_and_mac(self):
        """Serial <-> hardware address, both ways, at the edges of the 24-bit range; other
        prefixes are no board; the big-endian CRC-32 trailer of the generated files."""
        for serial, text in [(1193046, "0A:3D:91:12:34:56"), (1, "0A:3D:91:00:00:01"),
                             (42, "0A:3D:91:00:00:2A"), (16777215, "0A:3D:91:FF:FF:FF")]:
            self.assertEqual(bootp.mac_text(bootp.mac_from_serial(serial)), text)
            self.assertEqual(bootp.serial_from_mac(bootp.parse_mac(text)), serial)
        for other in ("00:11:22:33:44:55", "0A:3D:92:00:00:01"):
            self.assertEqual(bootp.serial_from_mac(bootp.parse_mac(other)), 0)
        self.assertEqual(bootp.parse_mac("0a3d91123456"), b"\x0a\x3d\x91\x12\x34\x56")
        for bad in (-1, 16777216):
            self.assertRaises(ValueError, bootp.mac_from_serial, bad)
        self.assertTrue(board.crc_trailer_ok(b"abc\x35\x24\x41\xc2"))
        for bad in (b"abc\xc2\x41\x24\x35", b"abd\x35\x24\x41\xc2", b"ab"):   # little-endian, changed, short
            self.assertFalse(board.crc_trailer_ok(bad), bad)


def expect_ack(sock, block):
    packet, _ = sock.recvfrom(600)
    assert packet == tftp.ack(block), (packet, block)


class TftpClient(unittest.TestCase):
    def fetch(self, name, script, **kw):
        """The simulator's client against a loopback server that plays script(sock, client)
        after the request; returns (request, result)."""
        listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        listen.bind(("127.0.0.1", 0))
        self.addCleanup(listen.close)
        outcome = {}

        def serve():
            try:
                listen.settimeout(5)
                outcome["request"], client = listen.recvfrom(600)
                with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                    s.bind(("127.0.0.1", 0))
                    s.settimeout(5)
                    script(s, client)
            except Exception as e:  # reported below
                outcome["error"] = e

        server = threading.Thread(target=serve)
        server.start()
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as c:
                c.bind(("127.0.0.1", 0))
                result = tftp.fetch(c, "127.0.0.1", name, port=listen.getsockname()[1], timeout=2, **kw)
        finally:
            server.join(10)
        if "error" in outcome:
            raise outcome["error"]
        return outcome["request"], result

    def test_duplicates_and_strangers_do_not_advance(self):
        """A repeated block is acknowledged again but stored once; a packet from another
        port is ignored; the short block ends the transfer."""
        def script(s, client):
            s.sendto(tftp.data(1, b"a" * 512), client)
            expect_ack(s, 1)
            s.sendto(tftp.data(1, b"a" * 512), client)        # retransmission
            expect_ack(s, 1)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as other:
                other.bind(("127.0.0.1", 0))
                other.sendto(tftp.data(2, b"evil"), client)   # another transfer id
            s.sendto(tftp.data(2, b"bc"), client)
            expect_ack(s, 2)

        request, result = self.fetch("f", script)
        self.assertEqual((request, result.content, result.blocks),
                         (b"\x00\x01f\x00octet\x00", b"a" * 512 + b"bc", 2))

    def test_block_numbers_wrap(self):
        """After block 65535 comes block 0; the client keeps going (65537 blocks), and a file
        of a multiple of 512 bytes ends with an empty block."""
        total = 65537

        def script(s, client):
            for n in range(1, total + 1):
                s.sendto(tftp.data(n, b"" if n == total else b"\x5a" * 512), client)
                expect_ack(s, n)

        _, result = self.fetch("big", script, sink=lambda payload: None)
        self.assertEqual((result.blocks, result.size, result.wrapped), (total, 65536 * 512, True))


if __name__ == "__main__":
    unittest.main()
