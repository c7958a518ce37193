#!/usr/bin/python3
"""What the board simulator's boots against the daemon cannot show: its request typed byte for
byte from RFC 951/1497, the serial <-> hardware address rule at its edges, and its TFTP client
against a scripted server (duplicates, strangers, the block-number wrap, the CRC trailer check).
Decoding replies, TFTP packets and time answers is proven by the end-to-end boots."""
import os
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from ndxsim import board, bootp, tftp  # noqa: E402


class BootpLayout(unittest.TestCase):
    def test_request_bytes(self):
        """The request of board 0x123456 is the 300-byte RFC 951 message, field by field."""
        got = bootp.build_request(bootp.mac_from_serial(0x123456), 0x01020304, "NDX-1",
                                  secs=7, flags=0x8000)
        expected = (
            b"\x01"                       # op: request
            b"\x01"                       # htype: Ethernet
            b"\x06"                       # hlen
            b"\x00"                       # hops
            b"\x01\x02\x03\x04"           # xid
            b"\x00\x07"                   # secs
            b"\x80\x00"                   # flags
            + bytes(16) +                 # ciaddr, yiaddr, siaddr, giaddr
            b"\x0a\x3d\x91\x12\x34\x56" + bytes(10) +   # chaddr: NDX prefix + serial
            bytes(64) +                   # sname
            bytes(128) +                  # file
            b"\x63\x82\x53\x63"           # cookie 99.130.83.99
            b"\x2b\x05NDX-1"              # option 43, length 5, identification
            b"\xff"                       # end
        )
        expected += bytes(300 - len(expected))  # vendor area padded to 64 bytes
        self.assertEqual(got, expected)

    def test_serial_and_mac(self):
        """Serial <-> hardware address, both ways, with the edges of the 24-bit range."""
        cases = [  # serial, hardware address text
            (1193046, "0A:3D:91:12:34:56"),
            (1, "0A:3D:91:00:00:01"),
            (42, "0A:3D:91:00:00:2A"),
            (16777215, "0A:3D:91:FF:FF:FF"),
        ]
        for serial, text in cases:
            with self.subTest(serial=serial):
                self.assertEqual(bootp.mac_text(bootp.mac_from_serial(serial)), text)
                self.assertEqual(bootp.serial_from_mac(bootp.parse_mac(text)), serial)
        for other in ("00:11:22:33:44:55", "0A:3D:92:00:00:01"):
            self.assertEqual(bootp.serial_from_mac(bootp.parse_mac(other)), 0)
        self.assertEqual(bootp.parse_mac("0a3d91123456"), b"\x0a\x3d\x91\x12\x34\x56")
        for bad in (-1, 16777216):
            with self.assertRaises(ValueError):
                bootp.mac_from_serial(bad)

class ScriptedServer:
    """A TFTP server on loopback that plays a script: f(sock, client) after the request."""

    def __init__(self, script):
        self.listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.listen.bind(("127.0.0.1", 0))
        self.port = self.listen.getsockname()[1]
        self.script = script
        self.error = None
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        try:
            self.listen.settimeout(5)
            self.request, client = self.listen.recvfrom(600)
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind(("127.0.0.1", 0))
                s.settimeout(5)
                self.script(s, client)
        except Exception as e:  # reported by the test
            self.error = e
        finally:
            self.listen.close()

    def join(self):
        self.thread.join(10)
        if self.error:
            raise self.error


def expect_ack(sock, block):
    packet, _ = sock.recvfrom(600)
    assert packet == tftp.ack(block), (packet, block)


class TftpClient(unittest.TestCase):
    def client(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("127.0.0.1", 0))
        self.addCleanup(s.close)
        return s

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

        server = ScriptedServer(script)
        result = tftp.fetch(self.client(), "127.0.0.1", "f", port=server.port, timeout=2)
        server.join()
        self.assertEqual(server.request, b"\x00\x01f\x00octet\x00")
        self.assertEqual(result.content, b"a" * 512 + b"bc")
        self.assertEqual(result.blocks, 2)

    def test_block_numbers_wrap(self):
        """After block 65535 comes block 0; the client keeps going (65537 blocks), and a file
        of a multiple of 512 bytes ends with an empty block."""
        total = 65537

        def script(s, client):
            for n in range(1, total + 1):
                s.sendto(tftp.data(n, b"" if n == total else b"\x5a" * 512), client)
                expect_ack(s, n)

        server = ScriptedServer(script)
        result = tftp.fetch(self.client(), "127.0.0.1", "big", port=server.port, timeout=2,
                            sink=lambda payload: None)
        server.join()
        self.assertEqual((result.blocks, result.size, result.wrapped), (total, 65536 * 512, True))


class Files(unittest.TestCase):
    def test_crc_trailer(self):
        """The generated files end with the big-endian CRC-32 of their text."""
        self.assertTrue(board.crc_trailer_ok(b"abc\x35\x24\x41\xc2"))
        self.assertFalse(board.crc_trailer_ok(b"abc\xc2\x41\x24\x35"))  # little-endian
        self.assertFalse(board.crc_trailer_ok(b"abd\x35\x24\x41\xc2"))
        self.assertFalse(board.crc_trailer_ok(b"ab"))


if __name__ == "__main__":
    unittest.main()
