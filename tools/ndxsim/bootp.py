"""BOOTP messages as an NDX board sends and receives them.

Layout of RFC 951 (300-byte message: 236 fixed bytes and a 64-byte vendor area) with the
RFC 1497 magic cookie. The board's identification string travels in vendor option 43; its
hardware address is 0A:3D:91 followed by the 24-bit serial number.
"""
import dataclasses
import socket
import struct

OP_REQUEST = 1
OP_REPLY = 2
HTYPE_ETHERNET = 1
COOKIE = bytes([99, 130, 83, 99])
NDX_OUI = bytes([0x0A, 0x3D, 0x91])
OPTION_SUBNET_MASK = 1
OPTION_VENDOR = 43
OPTION_PAD = 0
OPTION_END = 255

FIXED_LENGTH = 236          # op .. file
VENDOR_LENGTH = 64          # RFC 951 "vend" field
MESSAGE_LENGTH = FIXED_LENGTH + VENDOR_LENGTH

# The fixed part: op htype hlen hops xid secs flags ciaddr yiaddr siaddr giaddr chaddr sname file.
_FIXED = struct.Struct("!BBBBIHH4s4s4s4s16s64s128s")
assert _FIXED.size == FIXED_LENGTH

# A valid second-generation identification: E1 (RJ45), FXS, empty slot.
DEFAULT_IDENT = "NDX_V2-Modular_X 0 0-c80 0-4ac0 0-4c00"


def mac_from_serial(serial):
    """The hardware address of the board with this serial (0 .. 16777215)."""
    if not 0 <= serial <= 0xFFFFFF:
        raise ValueError("serial %d out of range 0..16777215" % serial)
    return NDX_OUI + serial.to_bytes(3, "big")


def serial_from_mac(mac):
    """The serial of an NDX hardware address, 0 for any other address."""
    mac = bytes(mac[:6])
    if len(mac) < 6 or mac[:3] != NDX_OUI:
        return 0
    return int.from_bytes(mac[3:6], "big")


def mac_text(mac, sep=":"):
    """Six upper-case hex pairs, the form the server logs and reports."""
    return sep.join("%02X" % b for b in bytes(mac[:6]))


def parse_mac(text):
    """Accepts 0A:3D:91:12:34:56, 0a-3d-91-12-34-56 or 0a3d91123456."""
    digits = text.replace(":", "").replace("-", "")
    if len(digits) != 12:
        raise ValueError("not a hardware address: %r" % text)
    return bytes.fromhex(digits)


def _addr(text):
    return socket.inet_aton(text)


def vendor_area(ident=None, extra=b"", pad_to=VENDOR_LENGTH):
    """Cookie, option 43 with the identification string (when given), end, zero padding."""
    area = bytearray(COOKIE)
    area += extra
    if ident is not None:
        raw = ident.encode("latin-1") if isinstance(ident, str) else bytes(ident)
        if len(raw) > 255:
            raise ValueError("identification string longer than 255 bytes")
        area += bytes([OPTION_VENDOR, len(raw)]) + raw
    area.append(OPTION_END)
    if len(area) < pad_to:
        area += bytes(pad_to - len(area))
    return bytes(area)


def build_message(op=OP_REQUEST, htype=HTYPE_ETHERNET, hlen=6, hops=0, xid=0, secs=0, flags=0,
                  ciaddr="0.0.0.0", yiaddr="0.0.0.0", siaddr="0.0.0.0", giaddr="0.0.0.0",
                  chaddr=b"", sname=b"", file=b"", vendor=None):
    """Any BOOTP message; vendor is the raw area from offset 236 (cookie included)."""
    if isinstance(file, str):
        file = file.encode("latin-1")
    if isinstance(sname, str):
        sname = sname.encode("latin-1")
    for name, value, size in (("chaddr", chaddr, 16), ("sname", sname, 64), ("file", file, 128)):
        if len(value) > size:
            raise ValueError("%s longer than %d bytes" % (name, size))
    fixed = _FIXED.pack(op, htype, hlen, hops, xid, secs, flags, _addr(ciaddr), _addr(yiaddr),
                        _addr(siaddr), _addr(giaddr), bytes(chaddr).ljust(16, b"\0"),
                        bytes(sname).ljust(64, b"\0"), bytes(file).ljust(128, b"\0"))
    return fixed + (vendor_area() if vendor is None else bytes(vendor))


def build_request(mac, xid, ident=DEFAULT_IDENT, secs=0, flags=0, giaddr="0.0.0.0", file=b""):
    """The request a board broadcasts at power-up."""
    return build_message(op=OP_REQUEST, hlen=6, xid=xid, secs=secs, flags=flags, giaddr=giaddr,
                         chaddr=mac, file=file, vendor=vendor_area(ident))


@dataclasses.dataclass
class Message:
    """A decoded BOOTP message; addresses as dotted quads, the rest as on the wire."""
    op: int
    htype: int
    hlen: int
    hops: int
    xid: int
    secs: int
    flags: int
    ciaddr: str
    yiaddr: str
    siaddr: str
    giaddr: str
    chaddr: bytes
    sname: bytes
    file: bytes
    cookie: bytes
    vendor: bytes          # everything after the cookie
    length: int

    @property
    def mac(self):
        return self.chaddr[:6]

    @property
    def file_name(self):
        return self.file.split(b"\0", 1)[0].decode("latin-1")

    def options(self):
        return parse_options(self.vendor)

    def option(self, code):
        for c, value in self.options():
            if c == code:
                return value
        return None

    @property
    def subnet_mask(self):
        value = self.option(OPTION_SUBNET_MASK)
        return socket.inet_ntoa(value) if value is not None and len(value) == 4 else None

    @property
    def ident(self):
        value = self.option(OPTION_VENDOR)
        return None if value is None else value.decode("latin-1")

    def as_dict(self):
        return {
            "op": self.op, "htype": self.htype, "hlen": self.hlen, "hops": self.hops,
            "xid": self.xid, "secs": self.secs, "flags": self.flags,
            "ciaddr": self.ciaddr, "yiaddr": self.yiaddr, "siaddr": self.siaddr,
            "giaddr": self.giaddr, "chaddr": mac_text(self.chaddr),
            "sname_zero": not any(self.sname), "file": self.file_name,
            "cookie": ".".join(str(b) for b in self.cookie),
            "subnet_mask": self.subnet_mask, "vendor": self.vendor.hex(), "length": self.length,
        }


def parse_message(data):
    """Decodes any datagram of at least 240 bytes; raises ValueError otherwise."""
    data = bytes(data)
    if len(data) < FIXED_LENGTH + 4:
        raise ValueError("BOOTP message of %d bytes, at least 240 needed" % len(data))
    (op, htype, hlen, hops, xid, secs, flags, ciaddr, yiaddr, siaddr, giaddr, chaddr, sname,
     file) = _FIXED.unpack_from(data)
    return Message(op, htype, hlen, hops, xid, secs, flags, socket.inet_ntoa(ciaddr),
                   socket.inet_ntoa(yiaddr), socket.inet_ntoa(siaddr), socket.inet_ntoa(giaddr),
                   chaddr, sname, file, data[236:240], data[240:], len(data))


def parse_options(vendor):
    """(code, value) pairs of a vendor area after the cookie, up to the end option.

    Raises ValueError when an option's length runs past the data.
    """
    result = []
    i = 0
    while i < len(vendor):
        code = vendor[i]
        if code == OPTION_END:
            break
        if code == OPTION_PAD:
            i += 1
            continue
        if i + 1 >= len(vendor):
            raise ValueError("option %d without length" % code)
        length = vendor[i + 1]
        if i + 2 + length > len(vendor):
            raise ValueError("option %d of %d bytes runs past the end" % (code, length))
        result.append((code, bytes(vendor[i + 2:i + 2 + length])))
        i += 2 + length
    return result
