"""One simulated NDX board booting: BOOTP, TFTP of its firmware and files, time.

Each phase is timed from the start of the boot and recorded in a timeline that the tool
prints as text or JSON.
"""
import dataclasses
import errno
import os
import random
import socket
import time
import zlib

from . import bootp, tftp, timeproto, udp

# Files the daemon generates for the boards; each ends with the big-endian CRC-32 of its text.
GENERATED_FILES = ("system.yaml", "klog.cfg", "replacements.yaml")


def crc_trailer_ok(content):
    """True when the last 4 bytes are the big-endian CRC-32 of everything before them."""
    return len(content) >= 4 and zlib.crc32(content[:-4]).to_bytes(4, "big") == content[-4:]


@dataclasses.dataclass
class Phase:
    name: str
    start_ms: float
    elapsed_ms: float
    ok: bool
    bytes: int = 0
    detail: dict = dataclasses.field(default_factory=dict)
    error: str = ""


@dataclasses.dataclass
class Settings:
    serial: int
    ident: str = bootp.DEFAULT_IDENT
    interface: str = ""             # SO_BINDTODEVICE for the BOOTP sockets
    bind: str = ""                  # local source address of the request
    server: str = "255.255.255.255"
    rx_port: int = 14102            # the server's request port
    tx_port: int = 14103            # where replies come back
    tftp_port: int = 69
    time_port: int = 37
    xid: int = None
    request_file: str = ""          # file field of the request
    firmware: str = ""              # read when the reply names no file
    files: tuple = GENERATED_FILES
    bootp_timeout: float = 10.0
    bootp_retry: float = 2.0        # a board repeats its request this often
    tftp_timeout: float = 3.0
    time_timeout: float = 3.0
    save_dir: str = ""
    do_tftp: bool = True
    do_time: bool = True


def _device_socket(interface, port=0, address=""):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    if interface:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, interface.encode() + b"\0")
    sock.bind((address, port))
    return sock


def wait_reply(sock, mac, xid, deadline):
    """The first reply for this board (op 2, same xid and hardware address), or None."""
    while True:
        got = udp.receive_until(sock, deadline, 2048)
        if got is None:
            return None
        data, sender = got
        try:
            msg = bootp.parse_message(data)
        except ValueError:
            continue
        if msg.op == bootp.OP_REPLY and msg.xid == xid and msg.mac == mac:
            return msg, data, sender


def drain_duplicates(sock, mac, xid, linger):
    """Counts further copies of the reply arriving within linger seconds."""
    count = 0
    deadline = time.monotonic() + linger
    while wait_reply(sock, mac, xid, deadline) is not None:
        count += 1
    return count


class BoardSimulator:
    def __init__(self, settings):
        self.s = settings
        self.mac = bootp.mac_from_serial(settings.serial)
        self.xid = settings.xid if settings.xid is not None else random.getrandbits(32)
        self.timeline = []
        self.reply = None
        self._t0 = None

    def _now_ms(self):
        return (time.monotonic() - self._t0) * 1000.0

    def _record(self, name, start_ms, ok, nbytes=0, detail=None, error=""):
        phase = Phase(name, round(start_ms, 1), round(self._now_ms() - start_ms, 1), ok, nbytes,
                      detail or {}, error)
        self.timeline.append(phase)
        return phase

    def boot(self):
        """Runs every phase; True when the board got its reply and all its files and time."""
        self._t0 = time.monotonic()
        if not self.do_bootp():
            return False
        ok = True
        if self.s.do_tftp:
            ok = self.do_tftp() and ok
        if self.s.do_time:
            ok = self.do_time() and ok
        return ok

    def do_bootp(self):
        s = self.s
        start = self._now_ms()
        request = bootp.build_request(self.mac, self.xid, s.ident, file=s.request_file)
        rx = _device_socket(s.interface, s.tx_port)
        tx = rx if not s.bind else _device_socket(s.interface, 0, s.bind)
        try:
            deadline = time.monotonic() + s.bootp_timeout
            sent = 0
            got = None
            while got is None and time.monotonic() < deadline:
                tx.sendto(request, (s.server, s.rx_port))
                sent += 1
                got = wait_reply(rx, self.mac, self.xid,
                                 min(deadline, time.monotonic() + s.bootp_retry))
            if got is None:
                self._record("bootp", start, False, 0, {"requests": sent},
                             "no reply within %.1f s" % s.bootp_timeout)
                return False
            msg, raw, sender = got
            duplicates = drain_duplicates(rx, self.mac, self.xid, 0.2)
        finally:
            rx.close()
            if tx is not rx:
                tx.close()
        self.reply = msg
        detail = msg.as_dict()
        detail.update({"requests": sent, "from": sender[0], "copies": 1 + duplicates})
        self._record("bootp", start, True, len(raw), detail)
        return True

    def _local_socket(self):
        """A socket on the assigned address, as the booted board would use."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for address in (self.reply.yiaddr, self.s.bind, ""):
            try:
                sock.bind((address, 0))
                return sock
            except OSError as e:
                if e.errno != errno.EADDRNOTAVAIL or address == "":
                    sock.close()
                    raise
        return sock

    def files_to_fetch(self):
        first = self.reply.file_name or self.s.firmware
        names = [first] if first else []
        return names + [f for f in self.s.files if f and f not in names]

    def do_tftp(self):
        ok = True
        server = self.reply.siaddr
        for name in self.files_to_fetch():
            start = self._now_ms()
            sock = self._local_socket()
            try:
                result = tftp.fetch(sock, server, name, port=self.s.tftp_port,
                                    timeout=self.s.tftp_timeout)
            except (tftp.TftpError, tftp.TftpTimeout, OSError) as e:
                self._record("tftp " + name, start, False, error=str(e))
                ok = False
                continue
            finally:
                sock.close()
            detail = {"file": name, "blocks": result.blocks, "server": server}
            good = True
            if os.path.basename(name) in GENERATED_FILES:
                detail["crc_ok"] = good = crc_trailer_ok(result.content)
            if self.s.save_dir:
                path = os.path.join(self.s.save_dir, os.path.basename(name))
                with open(path, "wb") as f:
                    f.write(result.content)
                detail["saved"] = path
            self._record("tftp " + name, start, good, result.size, detail,
                         "" if good else "CRC-32 trailer does not match")
            ok = ok and good
        return ok

    def do_time(self):
        start = self._now_ms()
        sock = self._local_socket()
        try:
            got = timeproto.query(sock, self.reply.siaddr, self.s.time_port, self.s.time_timeout)
        except (OSError, ValueError) as e:
            self._record("time", start, False, error=str(e))
            return False
        finally:
            sock.close()
        if got is None:
            self._record("time", start, False, error="no answer within %.1f s" % self.s.time_timeout)
            return False
        value, answer, _ = got
        unix = timeproto.to_unix(value)
        self._record("time", start, True, len(answer), {
            "value": value, "unix": unix,
            "utc": time.strftime("%Y-%m-%d %H:%M:%S", time.gmtime(unix)),
            "offset_s": unix - int(time.time())})
        return True

    def report(self, booted):
        return {
            "serial": self.s.serial, "mac": bootp.mac_text(self.mac), "xid": self.xid,
            "ident": self.s.ident, "booted": booted,
            "total_ms": round(self._now_ms(), 1) if self._t0 is not None else 0.0,
            "phases": [dataclasses.asdict(p) for p in self.timeline],
        }


def format_report(report):
    """The timeline as a short table for people."""
    lines = ["NDX board %d (%s), identification %r" % (report["serial"], report["mac"],
                                                        report["ident"]),
             "  %-28s %9s %11s %9s  %s" % ("phase", "start ms", "elapsed ms", "bytes", "result")]
    for p in report["phases"]:
        d = p["detail"]
        if not p["ok"]:
            result = "FAILED: " + p["error"]
        elif p["name"] == "bootp":
            result = "address %s/%s from %s, file %r (%d copies)" % (
                d["yiaddr"], d["subnet_mask"], d["siaddr"], d["file"], d["copies"])
        elif p["name"].startswith("tftp"):
            result = "%d block%s" % (d["blocks"], "" if d["blocks"] == 1 else "s") + \
                (", CRC-32 ok" if d.get("crc_ok") else "")
        elif p["name"] == "time":
            result = "%s UTC (%+d s from local clock)" % (d["utc"], d["offset_s"])
        else:
            result = "ok"
        lines.append("  %-28s %9.1f %11.1f %9d  %s" % (p["name"], p["start_ms"], p["elapsed_ms"],
                                                         p["bytes"], result))
    lines.append("%s in %.1f ms" % ("booted" if report["booted"] else "NOT booted",
                                    report["total_ms"]))
    return "\n".join(lines)
