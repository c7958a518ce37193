"""Runs the real tavo binary in namespaces of its own, with simulated boards around it.

A host netns <prefix><pid>s<n>h holds bridge br0 (192.0.2.1/24, more on request) and a private
mount namespace kept by a "keeper" process, where /etc/varnel, /dev/log, /var/log, /var/tmp and
/run lead to <root>/varnel, devlog (our socket), log, vartmp and run. Each board is a netns
...b<i> with eth0 on a bridge. So the daemon's files are plain files under <root> for the test.
Every wait takes a deadline; nothing sleeps a fixed time.
"""
import collections
import ctypes
import itertools
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time

PR_SET_CHILD_SUBREAPER = 36
CLONE_NEWNET = 0x40000000
DEFAULT_PREFIX = "tavoe2e"

_libc = ctypes.CDLL(None, use_errno=True)
_counter = itertools.count(1)


def become_subreaper():
    """Orphans of our children (the copy `tavo start` forks) come to us instead of to PID 1,
    which on these machines never reaps them: a zombie keeps its /proc entry, which the pid
    file check would take for a running daemon."""
    if _libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        e = ctypes.get_errno()
        raise OSError(e, "prctl(PR_SET_CHILD_SUBREAPER): " + os.strerror(e))


def run(cmd, check=True, timeout=30, **kw):
    p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=timeout, **kw)
    if check and p.returncode != 0:
        raise RuntimeError("%s failed (%d): %r %r" % (" ".join(cmd), p.returncode, p.stdout, p.stderr))
    return p


def ip(netns, *commands):
    run(["ip", "-n", netns, "-batch", "-"], input="".join(c + "\n" for c in commands).encode())


def wait_until(predicate, timeout, what, interval=0.02):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise TimeoutError("waited %.1f s for %s" % (timeout, what))
        time.sleep(interval)


def wait_packet(sock, timeout, accept=lambda data, sender: True):   # (data, sender) or None
    deadline = time.monotonic() + timeout
    while select.select([sock], [], [], max(0, deadline - time.monotonic()))[0]:
        data, sender = sock.recvfrom(65536)
        if accept(data, sender):
            return data, sender
    return None


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        pass
    return True


def netns_socket(netns, family=socket.AF_INET, type=socket.SOCK_DGRAM, proto=0):
    """A socket created inside a named network namespace; setns changes only the calling
    thread's namespace, so a short-lived thread does it."""
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


# --- system log -------------------------------------------------------------------------------

_SYSLOG_RE = re.compile(r"^<(\d+)>(?:\w{3} [ \d]\d \d\d:\d\d:\d\d )?([^\[: ]+)(?:\[(\d+)\])?: ?(.*)$",
                        re.S)


class SyslogMessage:
    def __init__(self, raw):
        self.raw, m = raw, _SYSLOG_RE.match(raw)
        pri, self.ident, pid, self.text = m.groups() if m else ("", None, "", raw)
        self.pri, self.pid = int(pri) if pri else None, int(pid) if pid else None
        self.priority = self.pri & 7 if pri else None


class SyslogCapture:   # a Unix datagram socket standing in for /dev/log: a datagram a message

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.sock.bind(path)
        self.sock.settimeout(0.2)
        os.chmod(path, 0o666)
        self.messages, self._stop = [], False
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def _loop(self):
        while not self._stop:
            try:
                self.messages.append(SyslogMessage(self.sock.recv(65536).decode(errors="replace").rstrip("\n\0")))
            except socket.timeout:
                continue
            except OSError:
                return

    def wait_for(self, text, timeout=10.0, start=0):
        try:
            return wait_until(lambda: next((m for m in self.messages[start:] if _matches(text, m.text)), None),
                              timeout, "system-log message %r" % (text,))
        except TimeoutError as e:
            raise TimeoutError("%s; got %r" % (e, [m.raw for m in self.messages])) from None

    def texts(self):
        return [m.text for m in self.messages]

    def count(self):
        return len(self.messages)

    def close(self):
        self._stop = True
        self._thread.join(timeout=2)
        self.sock.close()


def _matches(want, text):   # a text to equal or a compiled regular expression to find
    return want.search(text) if hasattr(want, "search") else text == want


# --- log files --------------------------------------------------------------------------------

LOG_LINE_RE = re.compile(r"^([EWINT])\|(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d\.\d{3})\|([^|]*)\| (.*)$")


class LogLine:
    """One line of a daemon log file: "L|dd/mm/yyyy hh:mm:ss.mmm|NAME    | text"."""

    def __init__(self, raw):
        self.raw, m = raw, LOG_LINE_RE.match(raw)
        self.level, _, self.name, self.text = m.groups() if m else (None, None, None, raw)
        self.name = self.name and self.name.rstrip()


class Board:
    def __init__(self, netns):
        self.netns, self.interface = netns, "eth0"

    def exec(self, cmd, **kw):
        return run(["ip", "netns", "exec", self.netns] + list(cmd), **kw)

    def popen(self, cmd, **kw):
        return subprocess.Popen(["ip", "netns", "exec", self.netns] + list(cmd), **kw)

    def answer_ping(self, answer):
        self.exec(["sysctl", "-q", "-w", "net.ipv4.icmp_echo_ignore_all=%d" % (0 if answer else 1)])

    def add_addresses(self, cidrs):
        ip(self.netns, *("addr add %s brd + dev %s" % (c, self.interface) for c in cidrs))

    def socket(self, bind=None, broadcast=False, reuse=False, device=False):
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


Result = collections.namedtuple("Result", "status stdout stderr")


# The keeper holds the host namespace's private mount namespace: it prepares the mounts,
# says "ready" and waits for the end of its standard input (our pipe, also closed if we die).
_KEEPER = r"""
set -eu
R=$1
farm() {  # farm DIR SKIP: tmpfs over DIR with symlinks to the real entries (one ln for all)
    dir=$1 real="$R/.real$1"
    mount --rbind "$dir" "$real"
    mount -t tmpfs -o mode=0755 tavo-sandbox "$dir"
    find "$real" -mindepth 1 -maxdepth 1 -exec ln -s -t "$dir" {} +
    rm -f "$dir/$2"
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
        self.tavo_bin = os.path.abspath(tavo)
        if not os.access(self.tavo_bin, os.X_OK):
            raise FileNotFoundError("tavo binary not found: %s" % self.tavo_bin)
        become_subreaper()
        cleanup_leftovers(prefix)
        n = next(_counter)
        self.prefix, self.name = prefix, "%s%ds%d" % (prefix, os.getpid(), n)
        self.host_ns = self.name + "h"
        self.boards, self.networks, self._procs, self.daemon_pids = [], [], [], set()
        self.keeper = self.syslog = None
        self._closed = False
        self.root = tempfile.mkdtemp(prefix=self.name + ".", dir="/tmp")
        try:
            for d in ("varnel/config", "varnel/data/am17", "log/varnel", "vartmp", "run",
                      ".real/etc", ".real/dev"):
                os.makedirs(os.path.join(self.root, d))
            run(["ip", "netns", "add", self.host_ns])
            ip(self.host_ns, "link set lo up")
            for cidr in host_networks:
                self.add_network(cidr)
            self.syslog = SyslogCapture(os.path.join(self.root, "devlog"))
            self._start_keeper()
        except BaseException:
            self.close()
            raise

    config_dir = property(lambda self: os.path.join(self.root, "varnel", "config"))
    firmware_dir = property(lambda self: os.path.join(self.root, "varnel", "data", "am17"))
    log_dir = property(lambda self: os.path.join(self.root, "log", "varnel"))
    pid_file = property(lambda self: os.path.join(self.root, "run", "tavo.pid"))
    core_dir = property(lambda self: os.path.join(self.root, "vartmp", "varnel", "tavo"))

    # network
    def host(self, cmd, **kw):
        return run(self.host_cmd(cmd), **kw)

    def host_cmd(self, cmd):   # the host namespaces: network and mount
        return ["nsenter", "-t", str(self.keeper.pid), "-m", "-n", "--"] + list(cmd)

    def add_network(self, cidr=None):
        bridge = "br%d" % len(self.networks)
        ip(self.host_ns, "link add %s type bridge forward_delay 0" % bridge, "link set %s up" % bridge)
        self.networks.append(bridge)
        if cidr:
            self.add_host_address(cidr, len(self.networks) - 1)
        return len(self.networks) - 1

    def add_host_address(self, cidr, network=0):
        # With its broadcast address ("brd +"), as the usual tools give it.
        ip(self.host_ns, "addr add %s brd + dev %s" % (cidr, self.networks[network]))

    def add_board(self, addresses=("192.0.2.50/24",), network=0, answer_ping=False):
        i = len(self.boards)
        board = Board("%sb%d" % (self.name, i))
        run(["ip", "netns", "add", board.netns])
        self.boards.append(board)
        ip(self.host_ns, "link add vb%d type veth peer name eth0 netns %s" % (i, board.netns),
           "link set vb%d master %s up" % (i, self.networks[network]))
        ip(board.netns, "link set lo up", "link set eth0 up")
        board.add_addresses(addresses)
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
        """A file in /etc/varnel/config, renamed into place: a running daemon reads the devices
        file for every request and must never see half of it."""
        path = os.path.join(self.config_dir, name)
        with open(path + ".new", "w") as f:
            f.write(text)
        os.replace(path + ".new", path)
        return path

    def write_firmware(self, name, content):
        path = os.path.join(self.firmware_dir, name)
        with open(path, "wb") as f:
            f.write(content)
        return path

    def write_sized_firmware(self, name, size):
        """A firmware file of size patterned bytes, each 64 KiB piece shifted against the
        previous one so that misplaced blocks show."""
        pattern = bytes((i * 7 + i // 256) & 0xFF for i in range(65536 + 13))
        with open(os.path.join(self.firmware_dir, name), "wb") as f:
            for k, at in enumerate(range(0, size, 65536)):
                f.write(pattern[k % 13:k % 13 + min(size - at, 65536)])
        return f.name

    def read_file(self, path):
        with open(path, "rb") as f:
            return f.read()

    # processes
    def tavo(self, *args, stdin=b"", timeout=30, wrapper=()):
        p = subprocess.run(self._tavo_cmd(args, wrapper), input=stdin, capture_output=True, timeout=timeout)
        self._note_adopted()
        return Result(p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace"))

    def _tavo_cmd(self, args, wrapper=()):
        return self.host_cmd(list(wrapper) + [self.tavo_bin] + list(args))

    def popen_tavo(self, *args, **kw):
        """tavo as a child we hold (debug mode: stdin=PIPE keeps it running until closed)."""
        p = subprocess.Popen(self._tavo_cmd(args), **kw)
        self._procs.append(p)
        self.daemon_pids.add(p.pid)
        return p

    def _note_adopted(self):
        """Records orphans we adopted (the detached daemon) that live in the host namespace."""
        me, host = os.getpid(), os.stat("/run/netns/" + self.host_ns).st_ino
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, ValueError, IndexError):
                continue
            pid = int(entry)
            if ppid != me or pid in {p.pid for p in self._procs} or (self.keeper and pid == self.keeper.pid):
                continue
            try:
                if os.stat("/proc/%d/ns/net" % pid).st_ino == host:
                    self.daemon_pids.add(pid)
            except OSError:
                pass

    def read_pid_file(self):
        try:
            text = self.read_file(self.pid_file)
        except FileNotFoundError:
            return None
        return int(text) if text.strip().isdigit() else None

    def start_and_wait_up(self, servers=False, timeout=10, wrapper=()):
        """`tavo start` (behind a wrapper command), then waits for the service and, with servers,
        its last server (the time server); returns the detached daemon's pid."""
        mark, log_mark = self.syslog.count(), self.log_mark()
        r = self.tavo("start", wrapper=wrapper)
        if r.status != 0 or "OK" not in r.stdout:
            raise AssertionError("tavo start failed: %r; syslog %r" % (r, self.syslog.texts()))
        pid = wait_until(self.read_pid_file, 5, "pid file " + self.pid_file)
        self.daemon_pids.add(pid)
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
        pid = pid or self.read_pid_file()
        r = self.tavo("stop")
        status = self.wait_exit(pid, timeout) if pid else None
        return r, status

    # logs
    def log_path(self, name="tavo.log"):
        return os.path.join(self.log_dir, name)

    def log_lines(self, name="tavo.log"):
        try:
            text = self.read_file(self.log_path(name)).decode("utf-8", errors="replace")
        except FileNotFoundError:
            return []
        return [LogLine(line) for line in text.split("\n") if line]

    def find_log(self, text, name="tavo.log", level=None, logger=None, start=0):
        return [line for line in self.log_lines(name)[start:] if _matches(text, line.text) and
                level in (None, line.level) and logger in (None, line.name)]

    def wait_log(self, text, name="tavo.log", level=None, logger=None, start=0, timeout=10.0,
                 count=1):
        def found():
            hits = self.find_log(text, name, level, logger, start)
            return hits if len(hits) >= count else None
        try:
            return wait_until(found, timeout, "log line %r in %s" % (text, name))
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
        try:
            self._note_adopted()
        except OSError:
            pass
        for netns in [self.host_ns] + [b.netns for b in self.boards]:
            kill_netns_processes(netns, exclude={self.keeper.pid} if self.keeper else set())
        for pid in list(self.daemon_pids):
            try:
                self.wait_exit(pid, timeout=5)
            except TimeoutError:
                pass
        # communicate() closes our ends of the pipes; the keeper ends with its standard input.
        for p in self._procs + ([self.keeper] if self.keeper else []):
            try:
                p.kill() if p is not self.keeper else None
                p.communicate(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.communicate()
        for b in self.boards:
            run(["ip", "netns", "del", b.netns], check=False)
        run(["ip", "netns", "del", self.host_ns], check=False)
        if self.syslog is not None:
            self.syslog.close()
        remove_root(self.root)


    # `with Sandbox(...) as sb:` (the demo) cleans up however the block ends.
    __enter__ = lambda self: self
    __exit__ = lambda self, *exc: self.close()

def kill_netns_processes(netns, exclude=()):
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
    for d in (os.path.join(real, "etc"), os.path.join(real, "dev"), real):
        try:
            os.rmdir(d)   # fails on a mount point still in use, and then nothing is deleted
        except FileNotFoundError:
            pass
    shutil.rmtree(root, ignore_errors=True)


def cleanup_leftovers(prefix=DEFAULT_PREFIX):
    """Removes namespaces and directories of an earlier run (same prefix, process gone)."""
    pattern = re.compile("^" + re.escape(prefix) + r"(\d+)s\d+")

    def dead(name):
        m = pattern.match(name)
        return m and int(m.group(1)) != os.getpid() and not pid_alive(int(m.group(1)))

    for name in run(["ip", "netns", "list"], check=False).stdout.decode().split():
        if dead(name):
            kill_netns_processes(name)
            run(["ip", "netns", "del", name], check=False)
    for entry in os.listdir("/tmp"):
        path = os.path.join("/tmp", entry)
        # Never touch a directory whose .real mount points are not empty here.
        if "." in entry and dead(entry) and all(not os.listdir(os.path.join(path, ".real", d)) for d in
                                                ("etc", "dev") if os.path.isdir(os.path.join(path, ".real", d))):
            remove_root(path)


# --- configuration texts ----------------------------------------------------------------------

def tavo_yaml(interfaces=(), alternative_path="~", firmwares=()):
    return ("tavo:\n  BootP: {RxPort: 14102, TxPort: 14103}\n  Interfaces: [%s]\n"
            "  tftp: {Port: 69, AlternativePath: %s}\n" % (", ".join(interfaces), alternative_path)
            + ("  Firmwares:\n" if firmwares else "") + "".join("    - %s: %s\n" % kv for kv in firmwares))


def devices_yaml(boards):
    """boards: dicts with serial, IP and optionally Type, Replacer, Firmware, SetNewFirmware."""
    text = "Devices:\n"
    for b in boards:
        text += "  - %d:\n      Type: %s\n" % (b["serial"], b.get("Type", "NDX_V2"))
        for key in ("IP", "Replacer", "Firmware", "SetNewFirmware"):
            if key in b:
                value = b[key] if not isinstance(b[key], bool) else ("true" if b[key] else "false")
                text += "      %s: %s\n" % (key, value)
    return text


SYSTEM_YAML = ("Network:\n  LocalAudioInterface: eth0\n  LocalAudioPort: 14200\n"
               "  MediaServerAddress: 192.0.2.10\n  MediaServerPort: 14102\n  SignalingServerAddress: ~\n"
               "  SignalingServerPort: 14101\n  T8WServerAddress: 192.0.2.11\n  T8WServerPort: 14123\n"
               "  T8WQueryPort: 14130\n  T8WSnmpPort: 14161\n  ConnectionTimeout: 60000\n")


def klog_cfg(trace=True):   # the TAVO loggers' Trace lines on, or named but off
    return ("[KLogger]\nFullLog=false\n\n[TAVO]\nValue=true\n%s\n[Config]\nValue=false\n"
            % "".join("%s=%s\n" % (name, str(trace).lower()) for name in ("General", "BOOTP", "TFTP", "Time")))


def standard_setup(sb, boards, interfaces=(), firmwares=(), klog=None, system=None):
    sb.write_config("tavo.yaml", tavo_yaml(interfaces=interfaces, firmwares=firmwares))
    sb.write_config("devices.yaml", devices_yaml(boards))
    sb.write_config("system.yaml", system if system is not None else SYSTEM_YAML)
    sb.write_config("klog.cfg", klog if klog is not None else klog_cfg())

