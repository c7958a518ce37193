"""A TFTP read client as the boards use it: RFC 1350, mode octet, 512-byte blocks, no options.

Block numbers are 16 bits wide and wrap from 65535 to 0, so files of more than 65535 blocks
can be read.
"""
import dataclasses
import socket
import struct
import time

from . import udp

RRQ, WRQ, DATA, ACK, ERROR = 1, 2, 3, 4, 5
BLOCK_SIZE = 512


class TftpError(Exception):
    """The server sent an ERROR packet."""

    def __init__(self, code, message):
        super().__init__("TFTP error %d: %s" % (code, message))
        self.code = code
        self.message = message


class TftpTimeout(Exception):
    """No answer after the allowed retransmissions."""


def request(name, mode="octet", opcode=RRQ):
    """A read (or write) request: opcode, name, NUL, mode, NUL."""
    enc = lambda s: s.encode("latin-1") if isinstance(s, str) else bytes(s)
    return struct.pack("!H", opcode) + enc(name) + b"\0" + enc(mode) + b"\0"


def ack(block):
    return struct.pack("!HH", ACK, block & 0xFFFF)


def data(block, payload):
    return struct.pack("!HH", DATA, block & 0xFFFF) + bytes(payload)


def error(code, message):
    return struct.pack("!HH", ERROR, code) + message.encode("latin-1") + b"\0"


@dataclasses.dataclass
class Packet:
    opcode: int
    block: int = 0          # DATA, ACK
    payload: bytes = b""    # DATA
    code: int = 0           # ERROR
    message: str = ""       # ERROR


def parse(packet):
    """Decodes DATA, ACK and ERROR packets; ValueError for anything else."""
    if len(packet) < 4:
        raise ValueError("TFTP packet of %d bytes" % len(packet))
    opcode, second = struct.unpack_from("!HH", packet)
    if opcode == DATA:
        if len(packet) > 4 + BLOCK_SIZE:
            raise ValueError("DATA packet of %d bytes" % len(packet))
        return Packet(DATA, block=second, payload=bytes(packet[4:]))
    if opcode == ACK:
        if len(packet) != 4:
            raise ValueError("ACK packet of %d bytes" % len(packet))
        return Packet(ACK, block=second)
    if opcode == ERROR:
        text = bytes(packet[4:])
        if not text.endswith(b"\0"):
            raise ValueError("ERROR message without NUL")
        return Packet(ERROR, code=second, message=text[:-1].decode("latin-1"))
    raise ValueError("unexpected TFTP opcode %d" % opcode)


@dataclasses.dataclass
class Result:
    size: int
    blocks: int             # DATA packets accepted, the final short one included
    elapsed: float          # seconds from the request to the last ACK
    content: bytes = None   # when no sink was given
    server_port: int = 0    # the transfer's own port on the server
    wrapped: bool = False   # block numbers went past 65535



def fetch(sock, server, name, port=69, mode="octet", sink=None, timeout=3.0, retries=5,
          on_block=None):
    """Reads one file from server:port through sock (already bound to the board's address).

    sink, when given, receives each payload (a file object's write); otherwise the content is
    returned in the result. on_block(count) runs after each accepted block. Retransmits the
    request or the last ACK after timeout seconds without progress, at most retries times.
    """
    start = time.monotonic()
    last_sent = request(name, mode)
    sock.sendto(last_sent, (server, port))
    chunks = [] if sink is None else None
    peer = None
    expected = 1
    blocks = size = 0
    wrapped = False
    attempts = 0
    deadline = time.monotonic() + timeout
    while True:
        got = udp.receive_until(sock, deadline)
        if got is None:
            attempts += 1
            if attempts > retries:
                raise TftpTimeout("no answer from %s for %r after %d tries" % (server, name, attempts))
            sock.sendto(last_sent, peer or (server, port))
            deadline = time.monotonic() + timeout
            continue
        packet, sender = got
        if sender[0] != server or (peer is not None and sender != peer):
            continue  # not our transfer
        try:
            p = parse(packet)
        except ValueError:
            continue
        if p.opcode == ERROR:
            raise TftpError(p.code, p.message)
        if p.opcode != DATA:
            continue
        if peer is None:
            if p.block != 1:
                continue
            peer = sender
        if p.block == expected:
            if chunks is None:
                sink(p.payload)
            else:
                chunks.append(p.payload)
            blocks += 1
            size += len(p.payload)
            last_sent = ack(p.block)
            sock.sendto(last_sent, peer)
            attempts = 0
            deadline = time.monotonic() + timeout
            if on_block is not None:
                on_block(blocks)
            if len(p.payload) < BLOCK_SIZE:
                return Result(size, blocks, time.monotonic() - start,
                              None if chunks is None else b"".join(chunks), peer[1], wrapped)
            expected = (expected + 1) & 0xFFFF
            if expected == 0:
                wrapped = True
        elif p.block == (expected - 1) & 0xFFFF:
            sock.sendto(ack(p.block), peer)  # our ACK was lost: acknowledge again


def udp_socket(bind_address="", port=0):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((bind_address, port))
    return sock
