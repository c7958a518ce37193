"""The boards' time request: 4 bytes to UDP port 37, answered by the RFC 868 32-bit value."""
import struct
import time

from . import udp

# Seconds from 1900-01-01 to 1970-01-01.
RFC868_OFFSET = 2208988800
REQUEST = bytes(4)  # the content is not looked at, only the length


def decode(answer):
    """Seconds since 1900 of a 4-byte answer; ValueError for any other length."""
    if len(answer) != 4:
        raise ValueError("time answer of %d bytes" % len(answer))
    return struct.unpack("!I", answer)[0]


def to_unix(value):
    """Unix seconds of an RFC 868 value (the 32-bit value wraps in 2036)."""
    return (value - RFC868_OFFSET) % (1 << 32)


def query(sock, server, port=37, timeout=3.0, payload=REQUEST):
    """Sends one request and returns (value, answer bytes, elapsed seconds), or None on timeout."""
    start = time.monotonic()
    sock.sendto(payload, (server, port))
    deadline = start + timeout
    while True:
        got = udp.receive_until(sock, deadline, 1536)
        if got is None:
            return None
        answer, sender = got
        if sender[0] != server:
            continue
        return decode(answer), answer, time.monotonic() - start
