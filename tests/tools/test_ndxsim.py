#!/usr/bin/python3
"""The board simulator's wire formats against bytes typed from RFC 951/1497, 1350 and 868."""
import os
import socket
import sys
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from ndxsim import board, bootp, tftp, timeproto  # noqa: E402


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

    def test_long_identification_extends_the_vendor_area(self):
        """An identification longer than the 64-byte area still travels whole."""
        ident = "NDX_V2-Modular_TLQ 12 80-880 0-4ac0 0-240 0-200 0-400 0-4c00"
        got = bootp.build_request(bootp.mac_from_serial(1), 1, ident)
        self.assertEqual(got[236:240], bytes([99, 130, 83, 99]))
        self.assertEqual(got[240], 43)
        self.assertEqual(got[241], len(ident))
        self.assertEqual(got[242:242 + len(ident)], ident.encode())
        self.assertEqual(got[242 + len(ident)], 255)
        self.assertEqual(len(got), 242 + len(ident) + 1)

    def test_reply_decoding(self):
        """A 247-byte reply typed by hand decodes into every field."""
        reply = (b"\x02\x01\x06\x00" b"\xde\xad\xbe\xef" b"\x00\x03" b"\x80\x00"
                 b"\x00\x00\x00\x00"      # ciaddr
                 b"\xc0\x00\x02\x32"      # yiaddr 192.0.2.50
                 b"\xc0\x00\x02\x01"      # siaddr 192.0.2.1
                 b"\xc6\x33\x64\x09"      # giaddr 198.51.100.9
                 b"\x0a\x3d\x91\x00\x00\x2a" + bytes(10) + bytes(64) +
                 b"fw.bin\x00".ljust(128, b"\x00") +
                 b"\x63\x82\x53\x63" b"\x01\x04\xff\xff\xff\x00" b"\xff")
        self.assertEqual(len(reply), 247)
        m = bootp.parse_message(reply)
        self.assertEqual((m.op, m.htype, m.hlen, m.hops, m.xid, m.secs, m.flags),
                         (2, 1, 6, 0, 0xDEADBEEF, 3, 0x8000))
        self.assertEqual((m.ciaddr, m.yiaddr, m.siaddr, m.giaddr),
                         ("0.0.0.0", "192.0.2.50", "192.0.2.1", "198.51.100.9"))
        self.assertEqual(bootp.mac_text(m.mac), "0A:3D:91:00:00:2A")
        self.assertEqual(m.file_name, "fw.bin")
        self.assertEqual(m.subnet_mask, "255.255.255.0")
        self.assertEqual(m.options(), [(1, b"\xff\xff\xff\x00")])
        self.assertEqual(m.length, 247)

    def test_short_message_is_rejected(self):
        with self.assertRaises(ValueError):
            bootp.parse_message(bytes(239))

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

    def test_options(self):
        cases = [  # vendor area after the cookie, expected options (None: rejected)
            (b"\xff", []),
            (b"\x00\x00\x2b\x02ab\xff", [(43, b"ab")]),       # pads skipped
            (b"\x2b\x00\x01\x04\x01\x02\x03\x04", [(43, b""), (1, b"\x01\x02\x03\x04")]),
            (b"\x2b\x05abc", None),                            # runs past the end
            (b"\x2b", None),                                   # no length
        ]
        for vendor, expected in cases:
            with self.subTest(vendor=vendor):
                if expected is None:
                    with self.assertRaises(ValueError):
                        bootp.parse_options(vendor)
                else:
                    self.assertEqual(bootp.parse_options(vendor), expected)


class TftpLayout(unittest.TestCase):
    def test_packets(self):
        cases = [  # built, expected bytes
            (tftp.request("fw.bin"), b"\x00\x01fw.bin\x00octet\x00"),
            (tftp.request("x", "netascii", tftp.WRQ), b"\x00\x02x\x00netascii\x00"),
            (tftp.ack(1), b"\x00\x04\x00\x01"),
            (tftp.ack(65536), b"\x00\x04\x00\x00"),             # 16-bit block numbers
            (tftp.data(65535, b"ab"), b"\x00\x03\xff\xffab"),
            (tftp.error(1, "File not found"), b"\x00\x05\x00\x01File not found\x00"),
        ]
        for built, expected in cases:
            with self.subTest(expected=expected):
                self.assertEqual(built, expected)

    def test_parse(self):
        self.assertEqual(tftp.parse(b"\x00\x03\x00\x02" + b"x" * 512),
                         tftp.Packet(tftp.DATA, block=2, payload=b"x" * 512))
        self.assertEqual(tftp.parse(b"\x00\x05\x00\x00Operation cancelled\x00"),
                         tftp.Packet(tftp.ERROR, code=0, message="Operation cancelled"))
        for bad in (b"\x00\x03\x00", b"\x00\x04\x00\x01\x00", b"\x00\x05\x00\x01no-nul",
                    b"\x00\x03\x00\x01" + bytes(513), b"\x00\x09\x00\x00"):
            with self.subTest(bad=bad[:8]):
                with self.assertRaises(ValueError):
                    tftp.parse(bad)


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

    def test_multiple_of_512_ends_with_empty_block(self):
        def script(s, client):
            s.sendto(tftp.data(1, b"z" * 512), client)
            expect_ack(s, 1)
            s.sendto(tftp.data(2, b""), client)
            expect_ack(s, 2)

        server = ScriptedServer(script)
        result = tftp.fetch(self.client(), "127.0.0.1", "f", port=server.port, timeout=2)
        server.join()
        self.assertEqual((result.size, result.blocks), (512, 2))

    def test_block_numbers_wrap(self):
        """After block 65535 comes block 0; the client keeps going (65537 blocks)."""
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


class TimeAndFiles(unittest.TestCase):
    def test_time_values(self):
        cases = [  # answer bytes, seconds since 1900, Unix seconds
            (b"\x83\xaa\x7e\x80", 2208988800, 0),              # 1970-01-01 00:00:00
            (b"\x83\xaa\x7e\x81", 2208988801, 1),
            (b"\xe9\x1c\x0f\x80", 0xE91C0F80, 0xE91C0F80 - 2208988800),
        ]
        for answer, value, unix in cases:
            with self.subTest(answer=answer):
                self.assertEqual(timeproto.decode(answer), value)
                self.assertEqual(timeproto.to_unix(value), unix)
        for bad in (b"", b"\x00" * 5):
            with self.assertRaises(ValueError):
                timeproto.decode(bad)

    def test_crc_trailer(self):
        """The generated files end with the big-endian CRC-32 of their text."""
        self.assertTrue(board.crc_trailer_ok(b"abc\x35\x24\x41\xc2"))
        self.assertFalse(board.crc_trailer_ok(b"abc\xc2\x41\x24\x35"))  # little-endian
        self.assertFalse(board.crc_trailer_ok(b"abd\x35\x24\x41\xc2"))
        self.assertFalse(board.crc_trailer_ok(b"ab"))


if __name__ == "__main__":
    unittest.main()
