"""Waiting for one datagram with a deadline, shared by the BOOTP, TFTP and time clients."""
import select
import time


def receive_until(sock, deadline, size=65536):
    """The next datagram on sock as (data, sender), or None once time.monotonic() passes deadline."""
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        return None
    ready, _, _ = select.select([sock], [], [], remaining)
    if not ready:
        return None
    return sock.recvfrom(size)
