#!/bin/bash
# CPU time the daemon spends on a TFTP request it refuses, with 300 boards in devices.yaml:
# requests from an unknown address, requests of a configured board for a missing file (what a
# sender forging a board's address can cause), and requests from a configured board whose
# transfer is running (busy). Runs the given tavo binary in debug mode inside a private network and mount
# namespace (tests/support/sandbox_run), on a veth pair with TEST-NET addresses.
#
#   bench/tftp_refused_cpu.sh TAVO-BINARY [REQUESTS]     (REQUESTS=10000 per kind by default,
#                                                          a tenth of them for the missing file)
#
# The requests go out in batches of 20; the next batch waits until the daemon's port 69 socket
# has nothing queued, so none is lost to a full socket buffer (the kernel's receive-buffer
# error count is checked and reported). CPU is the daemon's utime + stime from /proc/PID/stat
# before and after each kind, divided by the requests; the clock tick (usually 10 ms) bounds the
# resolution, hence the many requests. Prints figures, asserts nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/daemon_setup.sh"
: "${1:?usage: $0 TAVO-BINARY [REQUESTS]}"
enter_sandbox "$0" "$(readlink -f "$1")" "${2:-10000}"
tavo=$1 requests=$2

host=192.0.2.1 board=192.0.2.50 stranger=192.0.2.200
ip link add tb0 type veth peer name tb1
ip link set tb1 up
ip addr add $host/24 brd + dev tb0
ip addr add $board/32 dev tb0
ip addr add $stranger/32 dev tb0
ip link set tb0 up

write_board_config $host
head -c $((1 << 20)) /dev/zero > /etc/varnel/data/am17/fw.bin

start_debug_daemon "$tavo" 1

PYTHONPATH="$root/bench" python3 - "$daemon" "$requests" "$host" "$board" "$stranger" <<'EOF'
import socket, struct, sys, time
from procstat import cpu_seconds

pid, count, host, board, stranger = int(sys.argv[1]), int(sys.argv[2]), *sys.argv[3:]


def cpu():
    return cpu_seconds(pid)


def queued():
    """Bytes waiting in the daemon's socket on 192.0.2.1:69."""
    local = "%08X:%04X" % (struct.unpack("<I", socket.inet_aton(host))[0], 69)
    with open("/proc/net/udp") as f:
        for line in f:
            parts = line.split()
            if parts[1] == local:
                return int(parts[4].split(":")[1], 16)
    return 0


def buffer_errors():
    with open("/proc/net/snmp") as f:
        rows = [line.split() for line in f if line.startswith("Udp:")]
    return int(rows[1][rows[0].index("RcvbufErrors")])


def request(name):
    return b"\x00\x01" + name + b"\x00octet\x00"


def measure(kind, source):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    errors, before = buffer_errors(), cpu()
    for sent in range(count):
        s.sendto(request(b"fw.bin"), (host, 69))
        if sent % 20 == 19:
            deadline = time.monotonic() + 30
            while queued() and time.monotonic() < deadline:
                time.sleep(0.001)
    while queued():
        time.sleep(0.001)
    spent, lost = cpu() - before, buffer_errors() - errors
    s.close()
    print("%-8s %6d requests  %7.3f s CPU  %8.1f us per request  (%d lost to a full buffer)"
          % (kind, count, spent, spent * 1e6 / max(1, count - lost), lost))


def measure_missing(source):
    """Requests of a configured, idle board for a file that is not there: each is accepted and
    answered with an ERROR, one after the other (a request that meets the board still busy with
    the previous one gets no answer and is sent again)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    s.settimeout(0.05)
    before, answered, sent = cpu(), 0, 0
    while answered < count // 10:
        s.sendto(request(b"missing.bin"), (host, 69))
        sent += 1
        try:
            s.recvfrom(600)
            answered += 1
        except socket.timeout:
            pass
    spent = cpu() - before
    s.close()
    print("%-8s %6d requests  %7.3f s CPU  %8.1f us per request  (%d sent again)"
          % ("missing", answered, spent, spent * 1e6 / answered, sent - answered))


measure("unknown", stranger)
measure_missing(board)
# The board's own transfer, never acknowledged, keeps it busy for the whole measurement.
keeper = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
keeper.bind((board, 0))
keeper.settimeout(0.1)
for _ in range(50):   # the board may still be busy with the last missing file for a moment
    keeper.sendto(request(b"fw.bin"), (host, 69))
    try:
        keeper.recvfrom(600)
        break
    except socket.timeout:
        pass
measure("busy", board)
keeper.close()
EOF
exec 3>&-
for _ in $(seq 100); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
