"""Runs the real tavo binary in namespaces of its own, with simulated boards around it.

Layout of one sandbox (names carry the prefix, the test process id and a counter):

  host netns  <p><pid>s<n>h   bridge br0 192.0.2.1/24 (more bridges on request), lo up;
                              a private mount namespace held by a "keeper" process, where
                              /etc (link farm) has /etc/varnel -> <root>/varnel,
                              /dev (link farm) has /dev/log -> <root>/devlog (our socket),
                              /var/log, /var/tmp and /run are <root>/log, vartmp, run.
  board netns <p><pid>s<n>b<i> eth0 on one of the bridges, with its addresses, lo up,
                              ICMP echo ignored unless the board should answer pings.

The daemon's files are therefore plain files under <root> for the test: configuration in
<root>/varnel/config, firmware in <root>/varnel/data/am17, logs in <root>/log/varnel, the pid
file at <root>/run/tavo.pid. Every wait takes a deadline; nothing sleeps a fixed time.
"""
import ctypes
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PR_SET_CHILD_SUBREAPER = 36
CLONE_NEWNET = 0x40000000
LOCAL5 = 21
DEFAULT_PREFIX = "tavoe2e"

_libc = ctypes.CDLL(None, use_errno=True)
_counter = 0
_counter_lock = threading.Lock()


def become_subreaper():
    """Orphans of our children (the copy `tavo start` forks) come to us instead of to PID 1,
    which on these machines never reaps them: a zombie keeps its /proc entry, which the pid
    file check would take for a running daemon."""
    if _libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        e = ctypes.get_errno()
        raise OSError(e, "prctl(PR_SET_CHILD_SUBREAPER): " + os.strerror(e))


def run(cmd, check=True, timeout=30, **kw):
    """Runs a setup command; its output is returned, a failure raises with the output."""
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, **kw)
    if check and p.returncode != 0:
        raise RuntimeError("%s failed (%d): %s%s" % (" ".join(cmd), p.returncode,
                                                     p.stdout.decode(errors="replace"),
                                                     p.stderr.decode(errors="replace")))
    return p


def wait_until(predicate, timeout, what, interval=0.02):
    """Polls predicate until it returns a true value (returned) or the deadline passes."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("waited %.1f s for %s" % (timeout, what))
        time.sleep(interval)


def wait_packet(sock, timeout, accept=lambda data, sender: True):
    """The first datagram on sock that accept() takes, within timeout seconds, as
    (data, sender); None when none came."""
    deadline = time.monotonic() + timeout
    while True:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return None
        ready, _, _ = select.select([sock], [], [], remaining)
        if not ready:
            return None
        data, sender = sock.recvfrom(65536)
        if accept(data, sender):
            return data, sender


def pid_alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def process_state(pid):
    """The state letter of /proc/<pid>/stat ('Z' for a zombie), or None when gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None


def netns_socket(netns, family=socket.AF_INET, type=socket.SOCK_DGRAM, proto=0):
    """A socket created inside a named network namespace (it stays there for its life).

    setns changes only the calling thread's namespace, so a short-lived thread does it."""
    result = {}

    def work():
        try:
            fd = os.open("/run/netns/" + netns, os.O_RDONLY)
            try:
                if _libc.setns(fd, CLONE_NEWNET) != 0:
                    e = ctypes.get_errno()
                    raise OSError(e, "setns(%s): %s" % (netns, os.strerror(e)))
            finally:
                os.close(fd)
            result["sock"] = socket.socket(family, type, proto)
        except BaseException as e:  # handed to the caller
            result["error"] = e

    t = threading.Thread(target=work)
    t.start()
    t.join()
    if "error" in result:
        raise result["error"]
    return result["sock"]


def icmp_echo(netns, address, timeout=1.0):
    """Sends one ICMP echo request from a namespace; True when the answer comes in time."""
    s = netns_socket(netns, socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP)
    try:
        ident = os.getpid() & 0xFFFF
        body = bytearray([8, 0, 0, 0]) + ident.to_bytes(2, "big") + b"\x00\x01" + b"tavo-sandbox"
        total = sum(int.from_bytes(body[i:i + 2], "big") for i in range(0, len(body), 2))
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        body[2:4] = (~total & 0xFFFF).to_bytes(2, "big")
        s.sendto(bytes(body), (address, 0))

        def reply(packet, sender):   # an echo reply (type 0) with our identifier
            icmp = packet[(packet[0] & 0x0F) * 4:]
            return sender[0] == address and icmp[:1] == b"\x00" and icmp[4:6] == body[4:6]

        return wait_packet(s, timeout, reply) is not None
    finally:
        s.close()


# --- system log -------------------------------------------------------------------------------

_SYSLOG_RE = re.compile(r"^<(\d+)>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?([^\[: ]+)(?:\[(\d+)\])?: ?(.*)$",
                        re.S)


class SyslogMessage:
    def __init__(self, raw):
        self.raw = raw
        m = _SYSLOG_RE.match(raw)
        if m:
            pri = int(m.group(1))
            self.priority, self.pri = pri & 7, pri
            self.ident = m.group(2)
            self.pid = int(m.group(3)) if m.group(3) else None
            self.text = m.group(4)
        else:
            self.pri = self.priority = self.pid = None
            self.ident = None
            self.text = raw

    def __repr__(self):
        return "<syslog %r>" % self.raw


class SyslogCapture:
    """A Unix datagram socket standing in for /dev/log; each datagram is one message."""

    def __init__(self, path):
        self.path = path
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        os.chmod(path, 0o666)
        self.messages = []
        self._cond = threading.Condition()
        self._stop = False
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def _loop(self):
        self.sock.settimeout(0.2)
        while not self._stop:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            msg = SyslogMessage(data.decode("utf-8", errors="replace").rstrip("\n\0"))
            with self._cond:
                self.messages.append(msg)
                self._cond.notify_all()

    def wait_for(self, text, timeout=10.0, start=0, priority=None):
        """The first message from index start whose text equals text (or matches a compiled
        regular expression) and, when given, has that priority."""
        deadline = time.monotonic() + timeout
        with self._cond:
            i = start
            while True:
                while i < len(self.messages):
                    m = self.messages[i]
                    i += 1
                    hit = text.search(m.text) if hasattr(text, "search") else m.text == text
                    if hit and (priority is None or m.priority == priority):
                        return m
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise TimeoutError("no system-log message %r within %.1f s; got %r"
                                       % (getattr(text, "pattern", text), timeout,
                                          [m.raw for m in self.messages]))
                self._cond.wait(remaining)

    def texts(self):
        with self._cond:
            return [m.text for m in self.messages]

    def count(self):
        with self._cond:
            return len(self.messages)

    def close(self):
        self._stop = True
        self._thread.join(timeout=2)
        self.sock.close()


# --- log files --------------------------------------------------------------------------------

LOG_LINE_RE = re.compile(r"^([EWINT])\|(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3})\|([^|]*)\| (.*)$")


class LogLine:
    """One line of a daemon log file: "L|dd/mm/yyyy hh:mm:ss.mmm|NAME    | text"."""

    def __init__(self, raw):
        self.raw = raw
        m = LOG_LINE_RE.match(raw)
        if m:
            self.level, self.time, self.name, self.text = m.group(1), m.group(2), \
                m.group(3).rstrip(), m.group(4)
        else:
            self.level = self.time = self.name = None
            self.text = raw

    def __repr__(self):
        return "<log %r>" % self.raw


class Board:
    """One board network namespace: eth0 on a host bridge, its addresses, lo up."""

    def __init__(self, sandbox, netns, network, addresses):
        self.sandbox = sandbox
        self.netns = netns
        self.network = network
        self.addresses = list(addresses)
        self.interface = "eth0"

    @property
    def address(self):
        return self.addresses[0].split("/")[0]

    def exec(self, cmd, **kw):
        return run(["ip", "netns", "exec", self.netns] + list(cmd), **kw)

    def popen(self, cmd, **kw):
        return subprocess.Popen(["ip", "netns", "exec", self.netns] + list(cmd), **kw)

    def answer_ping(self, answer):
        self.exec(["sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=%d" % (0 if answer else 1)])

    def add_addresses(self, cidrs):
        """Many addresses at once (one ip process), for many boards in one namespace."""
        script = "".join("addr add %s brd + dev %s\n" % (c, self.interface) for c in cidrs)
        run(["ip", "-n", self.netns, "-batch", "-"], input=script.encode())
        self.addresses += list(cidrs)

    def pings(self, address, timeout=1.0):
        """True when address answers an ICMP echo sent from this board."""
        return icmp_echo(self.netns, address, timeout)

    def socket(self, bind=None, broadcast=False, reuse=False, device=False):
        """A UDP socket in this board's namespace, optionally bound (address, port)."""
        s = netns_socket(self.netns)
        if reuse:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if broadcast:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        if device:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, self.interface.encode() + b"\0")
        if bind is not None:
            s.bind(bind)
        return s


class Result:
    def __init__(self, status, stdout, stderr):
        self.status, self.stdout, self.stderr = status, stdout, stderr

    def __repr__(self):
        return "<status %s stdout %r stderr %r>" % (self.status, self.stdout, self.stderr)


# The keeper holds the host namespace's private mount namespace: it prepares the mounts,
# says "ready" and waits for the end of its standard input (our pipe, also closed if we die).
_KEEPER = r"""
set -eu
R=$1
farm() {  # farm DIR SKIP: tmpfs over DIR with symlinks to the real entries
    dir=$1 skip=$2 real="$R/.real$1"
    mount --rbind "$dir" "$real"
    mount -t tmpfs -o mode=0755 tavo-sandbox "$dir"
    for e in "$real"/* "$real"/.[!.]*; do
        [ -e "$e" ] || [ -L "$e" ] || continue
        n=${e##*/}
        [ "$n" = "$skip" ] && continue
        ln -s "$e" "$dir/$n"
    done
}
farm /etc varnel
ln -s "$R/varnel" /etc/varnel
farm /dev log
ln -s "$R/devlog" /dev/log
mount --bind "$R/log" /var/log
mount --bind "$R/vartmp" /var/tmp
mount --bind "$R/run" /run
echo ready
exec cat >/dev/null
"""


class Sandbox:
    """Namespaces, files and processes of one run of the daemon; close() undoes all of it."""

    def __init__(self, tavo, prefix=DEFAULT_PREFIX, host_networks=("192.0.2.1/24",)):
        global _counter
        self.tavo_bin = os.path.abspath(tavo)
        if not os.access(self.tavo_bin, os.X_OK):
            raise FileNotFoundError("tavo binary not found: %s" % self.tavo_bin)
        become_subreaper()
        cleanup_leftovers(prefix)
        with _counter_lock:
            _counter += 1
            n = _counter
        self.prefix = prefix
        self.name = "%s%ds%d" % (prefix, os.getpid(), n)
        self.host_ns = self.name + "h"
        self.boards = []
        self.networks = []
        self.keeper = None
        self.syslog = None
        self.daemon_pids = set()
        self._procs = []
        self._closed = False
        self.root = tempfile.mkdtemp(prefix=self.name + ".", dir="/tmp")
        try:
            for d in ("varnel/config", "varnel/data/am17", "log/varnel", "vartmp", "run",
                      ".real/etc", ".real/dev"):
                os.makedirs(os.path.join(self.root, d))
            self._make_host()
            for cidr in host_networks:
                self.add_network(cidr)
            self.syslog = SyslogCapture(os.path.join(self.root, "devlog"))
            self._start_keeper()
        except BaseException:
            self.close()
            raise

    # paths
    @property
    def config_dir(self):
        return os.path.join(self.root, "varnel", "config")

    @property
    def firmware_dir(self):
        return os.path.join(self.root, "varnel", "data", "am17")

    @property
    def log_dir(self):
        return os.path.join(self.root, "log", "varnel")

    @property
    def pid_file(self):
        return os.path.join(self.root, "run", "tavo.pid")

    @property
    def core_dir(self):
        return os.path.join(self.root, "vartmp", "varnel", "tavo")

    # network
    def _make_host(self):
        run(["ip", "netns", "add", self.host_ns])
        self.host(["ip", "link", "set", "lo", "up"], mount=False)

    def host(self, cmd, mount=True, **kw):
        """Runs a command in the host namespaces (network and, once prepared, mount)."""
        if mount and self.keeper is not None:
            return run(["nsenter", "-t", str(self.keeper.pid), "-m", "-n", "--"] + list(cmd), **kw)
        return run(["ip", "netns", "exec", self.host_ns] + list(cmd), **kw)

    def add_network(self, cidr=None):
        """A bridge in the host namespace, with the host address cidr when given.

        Addresses are added with their broadcast address ("brd +"), as the usual network
        configuration tools do; without it the interface reports no broadcast address."""
        bridge = "br%d" % len(self.networks)
        self.host(["ip", "link", "add", bridge, "type", "bridge", "forward_delay", "0"], mount=False)
        self.host(["ip", "link", "set", bridge, "up"], mount=False)
        if cidr:
            self.host(["ip", "addr", "add", cidr, "brd", "+", "dev", bridge], mount=False)
        self.networks.append(bridge)
        return len(self.networks) - 1

    def add_host_address(self, cidr, network=0):
        self.host(["ip", "addr", "add", cidr, "brd", "+", "dev", self.networks[network]],
                  mount=False)

    def add_board(self, addresses=("192.0.2.50/24",), network=0, answer_ping=False):
        i = len(self.boards)
        netns = "%sb%d" % (self.name, i)
        run(["ip", "netns", "add", netns])
        board = Board(self, netns, network, addresses)
        self.boards.append(board)
        port = "vb%d" % i
        self.host(["ip", "link", "add", port, "type", "veth", "peer", "name", "eth0",
                   "netns", netns], mount=False)
        self.host(["ip", "link", "set", port, "master", self.networks[network], "up"], mount=False)
        board.exec(["ip", "link", "set", "lo", "up"])
        for cidr in addresses:
            board.exec(["ip", "addr", "add", cidr, "brd", "+", "dev", "eth0"])
        board.exec(["ip", "link", "set", "eth0", "up"])
        board.answer_ping(answer_ping)
        return board

    # mount namespace
    def _start_keeper(self):
        self.keeper = subprocess.Popen(
            ["ip", "netns", "exec", self.host_ns, "unshare", "--mount", "--propagation",
             "private", "--", "/bin/sh", "-c", _KEEPER, "keeper", self.root],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        line = self.keeper.stdout.readline()
        if line.strip() != b"ready":
            err = self.keeper.stderr.read() if self.keeper.poll() is not None else b""
            raise RuntimeError("sandbox mount setup failed: %r %r" % (line, err))

    # files
    def write_config(self, name, text):
        """A file in /etc/varnel/config (tavo.yaml, devices.yaml, system.yaml, klog.cfg).

        Written beside and renamed into place: a running daemon reads the devices file for
        every request and must never see half of it."""
        path = os.path.join(self.config_dir, name)
        with open(path + ".new", "w") as f:
            f.write(text)
        os.replace(path + ".new", path)
        return path

    def remove_config(self, name):
        os.unlink(os.path.join(self.config_dir, name))

    def write_firmware(self, name, content):
        path = os.path.join(self.firmware_dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def write_sized_firmware(self, name, size):
        """A firmware file of size patterned bytes (each 64 KiB piece shifted against the
        previous one, so misplaced blocks show), written piece by piece."""
        path = os.path.join(self.firmware_dir, name)
        pattern = bytes((i * 7 + i // 256) & 0xFF for i in range(65536 + 13))
        with open(path, "wb") as f:
            left, k = size, 0
            while left:
                piece = pattern[k % 13:k % 13 + min(left, 65536)]
                f.write(piece)
                left -= len(piece)
                k += 1
        return path

    def read_file(self, path):
        with open(path, "rb") as f:
            return f.read()

    # processes
    def tavo(self, *args, stdin=b"", timeout=30):
        """Runs the tavo command with these arguments in the host namespaces."""
        p = subprocess.run(self._tavo_cmd(args), input=stdin, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=timeout)
        self._note_adopted()
        return Result(p.returncode, p.stdout.decode(errors="replace"),
                      p.stderr.decode(errors="replace"))

    def _tavo_cmd(self, args):
        return ["nsenter", "-t", str(self.keeper.pid), "-m", "-n", "--", self.tavo_bin] + list(args)

    def popen_tavo(self, *args, **kw):
        """tavo as a child we hold (debug mode: stdin=PIPE keeps it running until closed)."""
        p = subprocess.Popen(self._tavo_cmd(args), **kw)
        self._procs.append(p)
        self.daemon_pids.add(p.pid)
        return p

    def _note_adopted(self):
        """Records every process that is now our child without being a Popen of ours."""
        me = os.getpid()
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            pid = int(entry)
            if ppid == me and pid not in {p.pid for p in self._procs} and \
                    (self.keeper is None or pid != self.keeper.pid) and self._in_host_ns(pid):
                self.daemon_pids.add(pid)

    def _in_host_ns(self, pid):
        try:
            return os.stat("/proc/%d/ns/net" % pid).st_ino == \
                os.stat("/run/netns/" + self.host_ns).st_ino
        except OSError:
            return False

    def read_pid_file(self):
        try:
            with open(self.pid_file) as f:
                text = f.read()
        except FileNotFoundError:
            return None
        return int(text) if text.strip().isdigit() else None

    def start(self, expect_ok=True):
        """`tavo start`; returns the detached daemon's pid (from the pid file)."""
        r = self.tavo("start")
        if expect_ok and (r.status != 0 or "OK" not in r.stdout):
            raise AssertionError("tavo start failed: %r; syslog %r" % (r, self.syslog.texts()))
        pid = wait_until(self.read_pid_file, 5, "pid file " + self.pid_file)
        self.daemon_pids.add(pid)
        return pid

    def start_and_wait_up(self, servers=False, timeout=10):
        """`tavo start`, then waits for the service to be up and, with servers, for its last
        server (the time server) to start; returns the daemon's pid."""
        mark, log_mark = self.syslog.count(), self.log_mark()
        pid = self.start()
        self.syslog.wait_for("Service up and running.", timeout=timeout, start=mark)
        if servers:
            self.wait_log("Starting TimeServer...", timeout=timeout, start=log_mark)
        return pid

    def wait_exit(self, pid, timeout=10.0):
        """Reaps pid (our child or an orphan adopted by us); returns its exit status
        (negative signal number when killed)."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                got, status = os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                # Not ours: wait until it is gone.
                if not pid_alive(pid):
                    return None
                got = 0
            if got == pid:
                self.daemon_pids.discard(pid)
                for p in self._procs:
                    if p.pid == pid:
                        p.returncode = os.waitstatus_to_exitcode(status)
                return os.waitstatus_to_exitcode(status)
            if time.monotonic() >= deadline:
                raise TimeoutError("process %d still running after %.1f s" % (pid, timeout))
            time.sleep(0.01)

    def stop(self, pid=None, timeout=10.0):
        """`tavo stop`, then waits for the daemon to exit; returns (stop result, exit status)."""
        pid = pid or self.read_pid_file()
        r = self.tavo("stop")
        status = self.wait_exit(pid, timeout) if pid else None
        return r, status

    # logs
    def log_path(self, name="tavo.log"):
        return os.path.join(self.log_dir, name)

    def log_lines(self, name="tavo.log"):
        try:
            with open(self.log_path(name), "rb") as f:
                text = f.read().decode("utf-8", errors="replace")
        except FileNotFoundError:
            return []
        return [LogLine(line) for line in text.split("\n") if line]

    def find_log(self, text, name="tavo.log", level=None, logger=None, start=0):
        """Lines from index start whose text equals text (or matches a compiled regex)."""
        hits = []
        for line in self.log_lines(name)[start:]:
            hit = text.search(line.text) if hasattr(text, "search") else line.text == text
            if hit and (level is None or line.level == level) and \
                    (logger is None or line.name == logger):
                hits.append(line)
        return hits

    def wait_log(self, text, name="tavo.log", level=None, logger=None, start=0, timeout=10.0,
                 count=1):
        """Waits for count matching lines (see find_log) and returns them."""
        def found():
            hits = self.find_log(text, name, level, logger, start)
            return hits if len(hits) >= count else None
        try:
            return wait_until(found, timeout, "log line %r in %s" % (getattr(text, "pattern", text),
                                                                    name))
        except TimeoutError as e:
            tail = [l.raw for l in self.log_lines(name)[-40:]]
            raise TimeoutError("%s; last lines:\n%s" % (e, "\n".join(tail))) from None

    def log_mark(self, name="tavo.log"):
        return len(self.log_lines(name))

    # teardown
    def close(self):
        if self._closed:
            return
        self._closed = True
        self._note_adopted_quietly()
        for netns in [self.host_ns] + [b.netns for b in self.boards]:
            kill_netns_processes(netns, exclude={self.keeper.pid} if self.keeper else set())
        for pid in list(self.daemon_pids):
            try:
                self.wait_exit(pid, timeout=5)
            except TimeoutError:
                pass
        for p in self._procs:
            if p.poll() is None:
                p.kill()
                p.wait(timeout=5)
            for stream in (p.stdin, p.stdout, p.stderr):
                if stream:
                    stream.close()
        if self.keeper is not None:
            try:
                self.keeper.stdin.close()
                self.keeper.wait(timeout=5)
            except (subprocess.TimeoutExpired, OSError):
                self.keeper.kill()
                self.keeper.wait(timeout=5)
            self.keeper.stdout.close()
            self.keeper.stderr.close()
        for b in self.boards:
            run(["ip", "netns", "del", b.netns], check=False)
        run(["ip", "netns", "del", self.host_ns], check=False)
        if self.syslog is not None:
            self.syslog.close()
        remove_root(self.root)

    def _note_adopted_quietly(self):
        try:
            if self.keeper is not None:
                self._note_adopted()
        except OSError:
            pass

    # `with Sandbox(...) as sb:` (the demo) cleans up however the block ends.
    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

def kill_netns_processes(netns, exclude=()):
    """SIGKILL, by pid, every process in a named network namespace."""
    p = run(["ip", "netns", "pids", netns], check=False)
    for word in p.stdout.split():
        pid = int(word)
        if pid in exclude or pid == os.getpid():
            continue
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


def remove_root(root):
    """Deletes a sandbox directory. The mount points under .real are rmdir'ed, never
    recursed into: seen from a namespace where they still carry /etc or /dev, a recursive
    delete would reach the real files."""
    real = os.path.join(root, ".real")
    for d in ("etc", "dev"):
        try:
            os.rmdir(os.path.join(real, d))
        except FileNotFoundError:
            pass
    try:
        os.rmdir(real)
    except FileNotFoundError:
        pass
    shutil.rmtree(root, ignore_errors=True)


def cleanup_leftovers(prefix=DEFAULT_PREFIX):
    """Removes namespaces and directories of an earlier run (same prefix, process gone)."""
    pattern = re.compile("^" + re.escape(prefix) + r"(\d+)s\d+")
    p = run(["ip", "netns", "list"], check=False)
    for line in p.stdout.decode().splitlines():
        name = line.split()[0] if line.split() else ""
        m = pattern.match(name)
        if m and int(m.group(1)) != os.getpid() and not pid_alive(int(m.group(1))):
            kill_netns_processes(name)
            run(["ip", "netns", "del", name], check=False)
    for entry in os.listdir("/tmp"):
        m = pattern.match(entry)
        if m and "." in entry and int(m.group(1)) != os.getpid() and not pid_alive(int(m.group(1))):
            path = os.path.join("/tmp", entry)
            # Never touch a directory whose .real mount points are not empty here.
            if all(not os.listdir(os.path.join(path, ".real", d))
                   for d in ("etc", "dev") if os.path.isdir(os.path.join(path, ".real", d))):
                remove_root(path)


# --- configuration texts ----------------------------------------------------------------------

def tavo_yaml(interfaces=(), rx_port=14102, tx_port=14103, tftp_port=69, alternative_path=None,
              firmwares=()):
    lines = ["tavo:", "  BootP:", "    RxPort: %d" % rx_port, "    TxPort: %d" % tx_port]
    if interfaces:
        lines.append("  Interfaces:")
        lines += ["    - %s" % a for a in interfaces]
    else:
        lines.append("  Interfaces: []")
    lines += ["  tftp:", "    Port: %d" % tftp_port,
              "    AlternativePath: %s" % (alternative_path if alternative_path else "~")]
    if firmwares:
        lines.append("  Firmwares:")
        lines += ["    - %s: %s" % (k, v) for k, v in firmwares]
    return "\n".join(lines) + "\n"


def devices_yaml(boards):
    """boards: iterable of dicts with serial, IP and optionally Type, Replacer, Firmware,
    SetNewFirmware."""
    lines = ["Devices:"]
    for b in boards:
        lines.append("  - %d:" % b["serial"])
        lines.append("      Type: %s" % b.get("Type", "NDX_V2"))
        if "IP" in b:
            lines.append("      IP: %s" % b["IP"])
        for key in ("Replacer", "Firmware"):
            if key in b:
                lines.append("      %s: %s" % (key, b[key]))
        if "SetNewFirmware" in b:
            lines.append("      SetNewFirmware: %s" % ("true" if b["SetNewFirmware"] else "false"))
    return "\n".join(lines) + "\n"


def system_yaml(media="192.0.2.10", signaling="", extra_network=(), internal=None):
    lines = ["Network:",
             "  LocalAudioInterface: eth0",
             "  LocalAudioPort: 14200",
             "  MediaServerAddress: %s" % (media or "~"),
             "  MediaServerPort: 14102",
             "  SignalingServerAddress: %s" % (signaling or "~"),
             "  SignalingServerPort: 14101",
             "  T8WServerAddress: 192.0.2.11",
             "  T8WServerPort: 14123",
             "  T8WQueryPort: 14130",
             "  T8WSnmpPort: 14161",
             "  ConnectionTimeout: 60000"]
    lines += ["  %s: %s" % kv for kv in extra_network]
    if internal:
        lines.append("InternalConfigs:")
        lines += ["  %s: %s" % kv for kv in internal]
    return "\n".join(lines) + "\n"


def klog_cfg(general=True, bootp=True, tftp=True, time_=True, extra=""):
    """Trace lines of the chosen TAVO loggers on."""
    flag = lambda on: "true" if on else "false"
    return ("[KLogger]\nFullLog=false\n\n[TAVO]\nValue=true\nGeneral=%s\nBOOTP=%s\nTFTP=%s\n"
            "Time=%s\n\n[Config]\nValue=false\n%s" % (flag(general), flag(bootp), flag(tftp),
                                                      flag(time_), extra))


def standard_setup(sb, boards, interfaces=(), firmwares=(), klog=None, system=None):
    """Writes the four configuration files for a sandbox."""
    sb.write_config("tavo.yaml", tavo_yaml(interfaces=interfaces, firmwares=firmwares))
    sb.write_config("devices.yaml", devices_yaml(boards))
    sb.write_config("system.yaml", system if system is not None else system_yaml())
    sb.write_config("klog.cfg", klog if klog is not None else klog_cfg())


def tavo_from_argv(argv=None):
    """Takes --tavo PATH out of argv (the rest is for unittest); TAVO_BIN is the fallback."""
    argv = sys.argv if argv is None else argv
    path = os.environ.get("TAVO_BIN")
    if "--tavo" in argv:
        i = argv.index("--tavo")
        path = argv[i + 1]
        del argv[i:i + 2]
    return path
