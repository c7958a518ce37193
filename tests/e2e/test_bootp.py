#!/usr/bin/python3
"""BOOTP against the running daemon: reply bytes on two networks, phases, the address probe,
silent drops, other servers' replies, the request-thread bound. (Which board gets which reply,
and each refusal's line, are unit tables.)"""
import re
import unittest

import e2e_case as e
from e2e_case import bootp, ts

SERIAL_A, IP_A = 1193046, "192.0.2.50"      # 0A:3D:91:12:34:56, new firmware named in the reply
SERIAL_B, IP_B = 42, "192.0.2.51"
SERIAL_INUSE, IP_INUSE = 77, "192.0.2.52"   # its address answers pings
SERIAL_OLD, SERIAL_NEW, IP_OLD = 300, 301, "192.0.2.53"
SERIAL_FAR, IP_FAR = 600, "203.0.113.5"     # on no served subnet
SERIAL_EDIT = 45
SERIAL_OTHER_TYPE = 700

DEVICES = [
    dict(serial=SERIAL_A, IP=IP_A, Firmware="fw_a.bin", SetNewFirmware=True),
    dict(serial=SERIAL_B, IP=IP_B, Firmware="fw_b.bin", SetNewFirmware=False),
    dict(serial=SERIAL_INUSE, IP=IP_INUSE),
    dict(serial=SERIAL_OLD, IP=IP_OLD, Replacer=SERIAL_NEW, Firmware="old.bin", SetNewFirmware=True),
    dict(serial=SERIAL_FAR, IP=IP_FAR),
    dict(serial=SERIAL_EDIT, IP="192.0.2.57"),
    dict(serial=SERIAL_OTHER_TYPE, IP="192.0.2.59", Type="XYZ"),
]


def mac(serial):
    return bootp.mac_from_serial(serial)


class Bootp(unittest.TestCase):
    """One daemon serving two networks: 192.0.2.0/24 (br0) and 198.51.100.0/24 (br1)."""

    @classmethod
    def setUpClass(cls):
        cls.sb = sb = e.new_sandbox(cls, host_networks=("192.0.2.1/24", "198.51.100.1/24"))
        cls.b0 = sb.add_board(["192.0.2.50/24", "192.0.2.51/24", "192.0.2.53/24", "192.0.2.58/24"])
        cls.inuse = sb.add_board(["%s/24" % IP_INUSE], answer_ping=True)
        cls.b2 = sb.add_board(["198.51.100.50/24"], network=1)
        ts.standard_setup(sb, DEVICES)
        sb.start_and_wait_up(servers=True)

    def exchange(self, serial, xid, board=None, **request):   # the first reply's bytes or None
        p = e.BootpPeer(self, board or self.b0)
        p.send(bootp.build_request(mac(serial), xid, **request))
        got = p.replies(xid, mac(serial), timeout=3)
        return got[0][0] if got else None

    def refused(self, serial, xid, text):
        """Sends one request that must get no reply, only the line text; returns its level."""
        p, mark = e.BootpPeer(self, self.b0), self.sb.log_mark()
        p.send(bootp.build_request(mac(serial), xid))
        line = self.sb.wait_log(text, logger="BOOTP", start=mark)[0]
        self.assertEqual(p.replies(xid, mac(serial), timeout=0.3), [])
        return line.level

    def test_reply_bytes(self):
        """Every field of the 247-byte reply, on both networks, as often as the rules say."""
        near, far = e.BootpPeer(self, self.b0), e.BootpPeer(self, self.b2)
        xid = 0x12345678
        request = bootp.build_message(op=1, hops=2, xid=xid, secs=3, flags=0x8000,
                                      ciaddr="192.0.2.200", giaddr="198.51.100.9",
                                      chaddr=mac(SERIAL_A) + b"\x01\x02", file=b"old",
                                      sname=b"who", vendor=bootp.vendor_area(bootp.DEFAULT_IDENT))
        mark = self.sb.log_mark()
        near.send(request)
        expected = (
            b"\x02"                         # op: reply
            b"\x01\x06\x02"                 # htype, hlen, hops as received
            b"\x12\x34\x56\x78"             # xid as received
            b"\x00\x03\x80\x00"             # secs, flags as received
            b"\x00\x00\x00\x00"             # ciaddr 0.0.0.0
            b"\xc0\x00\x02\x32"             # yiaddr: the board's address 192.0.2.50
            b"\xc0\x00\x02\x01"             # siaddr: the host on the board's subnet
            b"\xc6\x33\x64\x09"             # giaddr as received
            + mac(SERIAL_A) + b"\x01\x02" + bytes(8)     # chaddr as received (16 bytes)
            + bytes(64)                     # sname all zero
            + b"fw_a.bin\x00".ljust(128, b"\x00")        # configured firmware, NUL-terminated
            + b"\x63\x82\x53\x63"           # cookie as received
            + b"\x01\x04\xff\xff\xff\x00"   # subnet mask of the chosen interface
            + b"\xff")                      # end
        self.assertEqual(len(expected), 247)
        # The chosen interface's broadcast once, then each interface's broadcast once.
        got_near = near.replies(xid, mac(SERIAL_A), timeout=3, count=2, linger=0.5)
        # A copy for the far side would have come during the near side's linger.
        got_far = far.replies(xid, mac(SERIAL_A), timeout=3, count=1, linger=0.01)
        self.assertEqual([d for d, _ in got_near], [expected, expected])
        self.assertEqual([d for d, _ in got_far], [expected])
        self.assertEqual({s for _, s in got_near}, {(e.HOST, 14102)})
        self.assertEqual({s for _, s in got_far}, {(e.HOST2, 14102)})

        self.sb.wait_log("Starting NDX serial %d with IP %s" % (SERIAL_A, IP_A), level="I",
                         logger="BOOTP", start=mark)
        phases = self.sb.wait_log(re.compile("^Client 0A:3D:91:12:34:56 boot phase: "),
                                  start=mark, count=2)
        self.assertEqual([l.text[-1] for l in phases], ["0", "1"])
        self.assertEqual(self.sb.find_log(re.compile("BOOTP conflict|BOOTP server\\["), start=mark),
                         [], "the daemon's own reply was taken for another server's")

    def test_replacement_and_devices_edit(self):
        """A replacement board takes the configured place, with a Warning; an edit of
        devices.yaml applies to the next request."""
        mark = self.sb.log_mark()
        m = bootp.parse_message(self.exchange(SERIAL_NEW, 9))
        self.assertEqual((m.yiaddr, m.file_name, m.mac), (IP_OLD, "old.bin", mac(SERIAL_NEW)))
        self.sb.wait_log("Device 301 is replacing device 300, be sure device 300 is turned off",
                         level="W", logger="BOOTP", start=mark)
        edited = [dict(d, IP="192.0.2.58") if d["serial"] == SERIAL_EDIT else d for d in DEVICES]
        self.addCleanup(self.sb.write_config, "devices.yaml", ts.devices_yaml(DEVICES))
        self.sb.write_config("devices.yaml", ts.devices_yaml(edited))
        self.assertEqual(bootp.parse_message(self.exchange(SERIAL_EDIT, 10)).yiaddr, "192.0.2.58")

    def test_address_in_use_and_no_interface(self):
        """An address that answers pings gets no reply: an Error first, Notice lines after;
        once free the board boots. A board on no served subnet gets no reply, with an Error."""
        text = "Could not start NDX serial %d: IP address %s is being used" % (SERIAL_INUSE, IP_INUSE)
        self.assertEqual([self.refused(SERIAL_INUSE, xid, text) for xid in (20, 21)], ["E", "N"])
        self.inuse.answer_ping(False)
        try:
            self.assertIsNotNone(self.exchange(SERIAL_INUSE, 22))
        finally:
            self.inuse.answer_ping(True)
        self.assertEqual(self.refused(SERIAL_FAR, 30, "Could not find a suitable interface to send address %s"
                                      % IP_FAR), "E")

    def test_silent_drops(self):
        """Datagrams the server must ignore without a reply and without a log line."""
        good = bootp.build_request(mac(SERIAL_B), 0, bootp.DEFAULT_IDENT)

        def patched(offset, value):
            return good[:offset] + value + good[offset + len(value):]

        cases = [  # name, datagram, destination port
            ("unknown board", bootp.build_request(mac(999), 0), 14102),
            ("not an NDX type", bootp.build_request(mac(SERIAL_OTHER_TYPE), 0), 14102),
            ("239 bytes", good[:239], 14102),
            ("hlen 16", patched(2, b"\x10"), 14102),
            ("op 3", patched(0, b"\x03"), 14102),
            ("wrong cookie", patched(236, b"\x63\x82\x53\x64"), 14102),
            ("request on the reply port", good, 14103),
            ("2000 bytes", b"\x63" * 2000, 14102),
        ]
        p = e.BootpPeer(self, self.b0)
        mark = self.sb.log_mark()
        for _, datagram, port in cases:
            p.send(datagram, ("255.255.255.255", port))
        # A good request sent after them: once it is answered, the others have been handled.
        p.send(bootp.build_request(mac(SERIAL_B), 999, bootp.DEFAULT_IDENT))
        self.assertTrue(p.replies(999, mac(SERIAL_B), timeout=3))
        stray = []   # replies (op 2) to anything else; our own broadcasts come back too
        e.receive_one(p.sock, 0.3, lambda data, _: data[:1] == b"\x02" and data[4:8] != bytes([0, 0, 3, 231])
                      and stray.append(data))
        self.assertEqual(stray, [])
        own = re.compile("NDX serial %d |Client 0A:3D:91:00:00:2A boot phase" % SERIAL_B)
        others = [l.raw for l in self.sb.log_lines()[mark:]
                  if l.name == "BOOTP" or "boot phase" in l.text]
        self.assertEqual([l for l in others if not own.search(l)], [])

    def test_other_servers_replies(self):
        """Replies from another host are reported."""
        cases = [  # serial, port, expected level, text
            (SERIAL_A, 14103, "W", "BOOTP conflict, another server[192.0.2.99] sent a reply to "
                                   "board %d!" % SERIAL_A),
            (4242, 14103, "N", "BOOTP server[192.0.2.99] sent a reply to board 4242"),
        ]
        p = e.BootpPeer(self, self.b0)
        for serial, port, level, text in cases:
            with self.subTest(serial=serial, port=port):
                mark = self.sb.log_mark()
                reply = bootp.build_message(op=2, xid=77, yiaddr="192.0.2.98", siaddr="192.0.2.99",
                                            chaddr=mac(serial))
                p.send(reply, ("255.255.255.255", port))
                self.sb.wait_log(text, level=level, logger="BOOTP", start=mark)

    def test_no_metrics_listener_without_its_key(self):
        """No Metrics section in tavo.yaml: the daemon listens on no TCP port."""
        self.assertEqual(self.sb.host(["ss", "-Htln"]).stdout, b"")


class ThreadBound(unittest.TestCase):
    def test_eleventh_request_is_dropped(self):
        """With one interface, 10 requests in their address probe occupy every request
        thread; the 11th is dropped with a Warning."""
        devices = [dict(serial=100 + i, IP="192.0.2.%d" % (60 + i)) for i in range(11)]
        sb, b = e.serving(self, devices)
        p = e.BootpPeer(self, b)
        mark = sb.log_mark()
        for d in devices:
            p.send(bootp.build_request(mac(d["serial"]), d["serial"]))
        sb.wait_log("Could not process request, max thread count reached (10/10)", level="W",
                    logger="BOOTP", start=mark)
        answered = set()

        def reply(data, sender):
            m = bootp.parse_message(data)
            answered.add(m.xid)
            return len(answered) == 10

        e.receive_one(p.sock, 5, reply)
        self.assertEqual(len(answered), 10, answered)


if __name__ == "__main__":
    e.main()
