#!/usr/bin/python3
"""The Debian package under a real systemd: Debian 12 booted by systemd-nspawn on a tree
debootstrapped once into the build directory, the package installed with apt, the control socket's
group, a simulated board booted against the service over a veth, restart, stop, a broken
configuration, the watchdog, a reload, remove and purge.
Needs the package in <build>/deb (`make test-systemd` builds it)."""
import argparse
import ctypes
import glob
import json
import os
import re
import signal
import subprocess
import sys
import time
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
import tavo_sandbox as ts  # noqa: E402

SIMULATOR = os.path.join(ROOT, "tools", "ndx-board-sim")
PREFIX = "tavosd"                   # container, cgroups and board namespace: PREFIX<pid>[b]
TREE_PACKAGES = ["systemd", "systemd-sysv", "dbus", "iproute2"]
CGROUPS = [h for h in ("/sys/fs/cgroup/systemd", "/sys/fs/cgroup/unified") if os.path.isdir(h)]
HOST, BOARD, SERIAL = "192.0.2.1", "192.0.2.50", 1193046
CONFIG = "/etc/varnel/config/"
FIRMWARE = "/etc/varnel/data/am17/ndx_v2.bin"
PR_SET_PDEATHSIG = 1
# A local log server that asks every daemon connecting to it for a configuration reload.
LOG_SERVER = ("import socket\nserver, kept = socket.create_server(('127.0.0.1', 14110)), []\nwhile True:\n"
              "    kept.append(server.accept()[0])\n    kept[-1].sendall(bytes.fromhex('0400000001000000'))\n")
ARGS = CONTAINER = None


def depends(deb):
    """The package's dependencies as names: the container cannot download them."""
    text = ts.run(["dpkg-deb", "-f", deb, "Depends"]).stdout.decode()
    return [re.split(r"[\s(:]", d.split("|")[0].strip())[0] for d in text.split(",") if d.strip()]


def remove_tree(path):
    # debootstrap mounts /proc and more into the tree it makes: never delete through a mount.
    with open("/proc/self/mountinfo") as mounts:
        if any(m.split()[4].startswith(path + "/") for m in mounts):
            raise RuntimeError("%s has mounts under it" % path)
    ts.run(["rm", "-rf", "--one-file-system", path], timeout=300)


def debian_tree(build, deb):
    """Debian 12 minbase with systemd and what the package needs, made once per build tree and
    again when the package's dependencies change."""
    tree, stamp = os.path.join(build, "systemd-root"), os.path.join(build, "systemd-root.packages")
    packages = ",".join(sorted(set(TREE_PACKAGES + depends(deb))))
    if os.path.isfile(stamp) and open(stamp).read() == packages:
        return tree
    for path in (stamp, tree):   # the stamp is written last: a tree without it is incomplete
        remove_tree(path)
    with open(os.path.join(build, "debootstrap.log"), "w") as log:
        made = subprocess.run(["nice", "-n", "19", "debootstrap", "--variant=minbase", "--include=" + packages,
                               "bookworm", tree], stdout=log, stderr=subprocess.STDOUT, timeout=1800)
    if made.returncode != 0:
        raise RuntimeError("debootstrap failed (%d), see %s" % (made.returncode, log.name))
    with open(os.path.join(tree, "etc", "hostname"), "w") as out:
        out.write("tavo-test\n")   # else the machine's name is copied in
    with open(stamp, "w") as out:
        out.write(packages)
    return tree


def owner_gone(name, suffix=""):
    m = re.fullmatch(re.escape(PREFIX) + r"(\d+)" + suffix, name)
    return bool(m) and int(m.group(1)) != os.getpid() and not ts.pid_alive(int(m.group(1)))


def remove_cgroup(path):
    """Innermost first, once the container's processes have gone (nspawn ends them)."""
    def removed():
        try:
            for directory, _, _ in os.walk(path, topdown=False):
                os.rmdir(directory)
            return True
        except OSError:
            return False
    ts.wait_until(removed, 60, "cgroup %s to empty" % path, interval=0.1)


def cleanup_leftovers():
    """What a killed earlier run left: its board namespace and its cgroups."""
    for name in ts.run(["ip", "netns", "list"], check=False).stdout.decode().split():
        if owner_gone(name, "b"):
            ts.run(["ip", "netns", "del", name], check=False)
    for hierarchy in CGROUPS:
        for name in os.listdir(hierarchy):
            if owner_gone(name):
                remove_cgroup(os.path.join(hierarchy, name))


class Container:
    """Debian booted with systemd as PID 1, and a board namespace joined to it by a veth: the
    container's end holds the host address, the board's end the board's address. Nothing of
    it is in the machine's own network namespace."""

    def __init__(self):
        self.name, self.nspawn, self.halted = PREFIX + str(os.getpid()), None, None
        self.board, self.cgroups = self.name + "b", [os.path.join(h, self.name) for h in CGROUPS]

    def boot(self, tree, debs, work):
        for cgroup in self.cgroups:
            os.makedirs(cgroup, exist_ok=True)
        libc = ctypes.CDLL(None)

        def enter():   # in the child: nspawn in cgroups of its own, halting when the test dies
            for cgroup in self.cgroups:
                with open(os.path.join(cgroup, "cgroup.procs"), "w") as procs:
                    procs.write(str(os.getpid()))
            libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM, 0, 0, 0)

        # This machine's PID 1 is not systemd, hence the cgroups above and no registration.
        with open(os.path.join(work, "console.log"), "wb") as console:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "-q", "-D", tree, "-M", self.name, "-b", "--console=pipe", "--register=no",
                 "--keep-unit", "--private-network", "--volatile=overlay", "--bind-ro=%s:/debs" % debs],
                stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT, preexec_fn=enter)
        self.leader = ts.wait_until(self._leader, 60, "the container's systemd")
        # Until systemd listens on its bus, systemctl fails at once.
        ts.wait_until(lambda: self.sh("systemctl is-system-running --wait", timeout=180).stdout.strip()
                      in ("running", "degraded"), 180, "the container's boot", interval=0.1)
        ts.run(["ip", "netns", "add", self.board])
        ts.ip(self.board, "link add eth0 type veth peer name board0 netns %d" % self.leader,
              "address add %s/24 dev eth0" % BOARD, "link set eth0 up", "link set lo up")
        # The board keeps quiet to the daemon's ping: its address is free to hand out.
        ts.run(["ip", "netns", "exec", self.board, "sysctl", "-qw", "net.ipv4.icmp_echo_ignore_all=1"])
        self.sh("ip address add %s/24 dev board0 && ip link set board0 up" % HOST, check=True)

    def _leader(self):
        if self.nspawn.poll() is not None:
            raise RuntimeError("systemd-nspawn ended with %d" % self.nspawn.returncode)
        return int(ts.run(["pgrep", "-P", str(self.nspawn.pid), "-x", "systemd"], check=False).stdout or 0)

    def sh(self, command, check=False, timeout=60, input=None):
        """A shell command inside the container, with its environment rather than ours."""
        done = subprocess.run(["nsenter", "-t", str(self.leader), "-a", "env", "-i", "PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                               "LC_ALL=C", "DEBIAN_FRONTEND=noninteractive", "sh", "-c", command],
                              input=input, capture_output=True, timeout=timeout, text=not isinstance(input, bytes))
        if check and done.returncode != 0:
            raise AssertionError("%r: %d\n%s%s" % (command, done.returncode, done.stdout, done.stderr))
        return done

    def write(self, path, content):
        self.sh("cat > " + path, check=True, input=content)

    def cursor(self):
        return re.search(r"-- cursor: (\S+)", self.sh("journalctl -n 0 --show-cursor").stdout).group(1)

    def journal(self, cursor, until):
        """The journal's lines after the cursor, once one matches `until`. Not `-u tavo`: a line
        the daemon logs just before it exits loses its unit when journald looks the sender up
        too late."""
        def lines():
            text = self.sh("journalctl --no-pager -o short --after-cursor='%s'" % cursor).stdout
            return text if re.search(until, text) else None
        return ts.wait_until(lines, 30, "%r in the journal" % until, interval=0.1)

    def service_pid(self):
        """The daemon's pid once it runs: systemd's main pid, written to the pid file."""
        def agreed():
            main = self.sh("systemctl show -P MainPID tavo").stdout.strip()
            written = self.sh("cat /run/tavo.pid").stdout.strip()
            return int(main) if main not in ("", "0") and main == written else None
        return ts.wait_until(agreed, 30, "the pid file to hold the service's main pid", interval=0.1)

    def close(self):
        """Halts the container and removes the board namespace and the cgroups: the halt's
        status, None after the first call."""
        if self.halted is not None:
            return None
        if self.nspawn and self.nspawn.poll() is None:
            self.nspawn.send_signal(signal.SIGTERM)   # nspawn asks systemd to power off
            try:
                self.nspawn.wait(timeout=120)
            except subprocess.TimeoutExpired:
                self.nspawn.send_signal(signal.SIGTERM)   # a second one ends the container at once
                self.nspawn.wait(timeout=30)
        self.halted = self.nspawn.returncode if self.nspawn else -1
        ts.run(["ip", "netns", "del", self.board], check=False)
        for cgroup in self.cgroups:
            remove_cgroup(cgroup)
        return self.halted


class Service(unittest.TestCase):
    """Steps in order on one container, each leaving what the next one starts from."""

    def setUp(self):
        self.c = CONTAINER

    def assertOutput(self, command, expected, message=None):
        self.assertEqual(self.c.sh(command).stdout.strip(), expected, message)

    def test_1_install_starts_the_service(self):
        installed = self.c.sh("apt-get install -y --no-install-recommends /debs/" + os.path.basename(ARGS.deb), timeout=300)
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        self.assertOutput("systemctl is-active tavo", "active")
        self.c.service_pid()
        shown = dict(l.split("=", 1) for l in self.c.sh("systemctl show -p Type,StatusText tavo").stdout.splitlines())
        self.assertEqual(shown["Type"], "notify")
        self.assertRegex(shown["StatusText"], r"^\d+ boards booted, \d+ booting, \d+ failing; .* interfaces served$")
        rating = self.c.sh("systemd-analyze security --no-pager tavo.service").stdout.strip().splitlines()
        print("\n" + rating[-1], file=sys.stderr)

    def test_1b_control_socket_answers_root_and_the_group_only(self):
        """The socket is the group's though the unit gives no CAP_CHOWN. A member is answered;
        anyone else cannot reach it; a session still holding the group after its user left it
        reaches it but is refused by the daemon, which asks the account's groups."""
        self.assertOutput("stat -c '%a %U %G' /run/tavo /run/tavo/control", "750 root tavo\n660 root tavo")
        self.c.sh("useradd -G tavo member && useradd stranger", check=True)
        gid, uid = (self.c.sh(c, check=True).stdout.strip() for c in ("getent group tavo | cut -d: -f3", "id -u stranger"))
        for command, status, answer in (("runuser -u member -- tavoctl status", 0, r"servers +bootp up, tftp up, time up"),
                                        ("runuser -u stranger -- tavoctl status", 69, r"Permission denied"),
                                        ("setpriv --reuid=stranger --regid=stranger --groups=%s tavoctl status" % gid,
                                         1, r"not allowed")):
            done = self.c.sh(command)
            self.assertEqual(done.returncode, status, command + "\n" + done.stdout + done.stderr)
            self.assertRegex(done.stdout + done.stderr, answer, command)
        refused = r"\nW\|.* Control request refused: uid %s pid \d+ is neither root nor in group tavo\n" % uid
        ts.wait_until(lambda: re.search(refused, self.c.sh("cat /var/log/varnel/tavo.log").stdout), 10,
                      "the refusal in tavo.log", interval=0.1)

    def test_2_board_boots_from_the_service(self):
        """The operator's configuration for a board on the new link, the service restarted;
        the simulator, from the board's namespace, gets its address and every file."""
        firmware = os.urandom(70000)
        self.c.write(CONFIG + "devices.yaml", ts.devices_yaml([dict(serial=SERIAL, IP=BOARD, Firmware="ndx_v2.bin",
                                                                     SetNewFirmware=True)]))
        self.c.write(CONFIG + "tavo.yaml", ts.tavo_yaml(interfaces=[HOST]) + "  Metrics: {HttpPort: 9712}\n")
        self.c.write(FIRMWARE, firmware)
        cursor = self.c.cursor()
        self.c.sh("systemctl restart tavo", check=True)
        self.c.journal(cursor, r"tavo\[%d\]: Service up and running" % self.c.service_pid())

        saved = os.path.join(ARGS.work, "board")
        os.makedirs(saved)
        before = int(time.time())
        sim = ts.run(["ip", "netns", "exec", self.c.board, SIMULATOR, "--serial", str(SERIAL), "--interface", "eth0",
                      "--json", "--save", saved], check=False, timeout=120)
        after = int(time.time())
        self.assertEqual(sim.returncode, 0, sim.stdout.decode() + sim.stderr.decode())
        phases = {p["name"]: p["detail"] for p in json.loads(sim.stdout)["phases"]}
        reply = phases["bootp"]
        self.assertEqual((reply["yiaddr"], reply["siaddr"], reply["file"], reply["subnet_mask"]),
                         (BOARD, HOST, "ndx_v2.bin", "255.255.255.0"))
        with open(os.path.join(saved, "ndx_v2.bin"), "rb") as got:
            self.assertEqual(got.read(), firmware)
        self.assertEqual([phases["tftp " + name]["crc_ok"] for name in ("system.yaml", "klog.cfg", "replacements.yaml")],
                         [True] * 3)
        # Seconds since 1900, less the kernel's timezone offset: none is set on these machines.
        self.assertTrue(before + 2208988800 <= phases["time"]["value"] <= after + 2208988800, (before, phases["time"]))
        # The board's counts reach `systemctl status` with the daemon's next status line.
        status = lambda: re.search(r'Status: "1 boards booted, 0 booting, 0 failing; 4 transfers completed, 0 failed; '
                                   r'1 interfaces served"', self.c.sh("systemctl status --no-pager tavo").stdout)
        ts.wait_until(status, 15, "the board's counts in systemctl status", interval=0.5)
        # The operator's views under the hardened unit: the board's row, and the metrics module loaded.
        row = json.loads(self.c.sh("tavoctl boards --json", check=True).stdout)["boards"][0]
        self.assertEqual((row["serial"], row["phase"], row["boots"]), (SERIAL, "time-answered", 1))
        scrape = "import urllib.request as u; print(u.urlopen('http://127.0.0.1:9712/metrics').read().decode())"
        self.assertIn("\ntavo_time_answered_total 1\n", self.c.sh("python3 -c \"%s\"" % scrape, check=True).stdout)

    def test_3_restart_and_stop_follow_the_pid_file(self):
        first, cursor = self.c.service_pid(), self.c.cursor()
        self.c.sh("systemctl restart tavo", check=True)
        # No waiting: the restart returns only once the daemon has said its servers are up.
        status = json.loads(self.c.sh("tavoctl status --json", check=True).stdout)
        self.assertEqual(status["servers"], {"bootp": True, "tftp": True, "time": True})
        bound = {line.split()[3].rsplit(":", 1)[1] for line in self.c.sh("ss -Hnul", check=True).stdout.splitlines()}
        self.assertLessEqual({"14102", "69", "37"}, bound)
        second = self.c.service_pid()
        self.assertNotEqual(first, second)
        self.c.sh("systemctl stop tavo", check=True)
        self.assertOutput("systemctl is-active tavo", "inactive")
        self.assertOutput("ls /run/tavo.pid", "", "pid file left after the stop")

        journal = self.c.journal(cursor, r"tavo\[%d\]: Exiting at stop request(?s:.*)Stopped tavo\.service" % second)
        self.assertEqual(re.findall(r"systemd\[1\]: (\w+) tavo\.service", journal),
                         ["Stopping", "Stopped", "Starting", "Started", "Stopping", "Stopped"], journal)
        self.assertEqual(journal.count("tavo.service: Deactivated successfully"), 2, journal)
        for pid, line in ((first, "Exiting at stop request"), (second, "Service up and running"),
                          (second, "Exiting at stop request")):
            self.assertIn("tavo[%d]: %s" % (pid, line), journal)

    def test_4_broken_configuration_fails_the_start(self):
        good = self.c.sh("cat %sdevices.yaml" % CONFIG, check=True).stdout
        broken = good.replace("IP: %s\n" % BOARD, "IP: %s: x\n" % BOARD)   # a colon too many
        line = broken.splitlines().index("      IP: %s: x" % BOARD) + 1
        self.c.write(CONFIG + "devices.yaml", broken)
        cursor = self.c.cursor()
        self.assertNotEqual(self.c.sh("systemctl start tavo").returncode, 0)
        self.assertOutput("systemctl is-active tavo", "failed")
        journal = self.c.journal(cursor, r"Failed to start tavo\.service")
        self.assertRegex(journal, r"tavo-check-config\[\d+\]: %sdevices\.yaml:%d:\d+: \S" % (CONFIG, line))
        self.assertNotRegex(journal, r" tavo\[\d+\]: ")   # the daemon never ran

        self.c.write(CONFIG + "devices.yaml", good)
        self.c.sh("systemctl start tavo", check=True)
        self.c.service_pid()

    def test_4b_watchdog_restarts_a_stalled_daemon(self):
        """A daemon whose loops stop turning stops pinging: systemd kills it and starts another."""
        self.c.sh("mkdir -p /etc/systemd/system/tavo.service.d", check=True)
        self.c.write("/etc/systemd/system/tavo.service.d/watchdog.conf", "[Service]\nWatchdogSec=5s\n")
        self.c.sh("systemctl daemon-reload && systemctl restart tavo", check=True)
        stalled = self.c.service_pid()
        # Pinged while its loops turn (systemd notes each ping's time), then stopped outright.
        pinged = lambda: self.c.sh("systemctl show -P WatchdogTimestampMonotonic tavo").stdout.strip()
        first = pinged()
        ts.wait_until(lambda: pinged() != first, 10, "a watchdog ping", interval=0.5)
        self.c.sh("kill -STOP %d" % stalled, check=True)
        ts.wait_until(lambda: self.c.service_pid() != stalled, 15, "a new main pid after the watchdog's kill",
                      interval=0.5)
        self.c.sh("rm /etc/systemd/system/tavo.service.d/watchdog.conf && systemctl daemon-reload", check=True)

    def test_4c_reload_pass_is_announced(self):
        """A reload request from the local log server: systemd sees the service reloading, then
        running again, the same process throughout (systemd logs its state changes at debug)."""
        pid = self.c.service_pid()
        self.c.write("/root/logserver.py", LOG_SERVER)
        self.c.sh("systemd-analyze log-level debug", check=True)
        cursor = self.c.cursor()
        try:
            self.c.sh("systemd-run -q -u tavo-logserver python3 /root/logserver.py", check=True)
            journal = self.c.journal(cursor, r"tavo\.service: Changed reload -> running")
        finally:
            self.c.sh("systemctl stop tavo-logserver; systemd-analyze log-level info")
        self.assertRegex(journal, r"tavo\.service: Changed running -> reload\n(?s:.*)Changed reload -> running")
        self.assertEqual(self.c.service_pid(), pid)

    def test_5_remove_keeps_the_configuration_and_purge_only_the_operators_files(self):
        self.c.write(CONFIG + "site-notes.txt", "rack 4, slot 2\n")   # the operator's, no conffile
        changed = {name: self.c.sh("cat " + CONFIG + name, check=True).stdout for name in ("devices.yaml", "tavo.yaml")}
        removed = self.c.sh("apt-get remove -y tavo", timeout=300)
        self.assertEqual(removed.returncode, 0, removed.stdout + removed.stderr)
        self.assertOutput("cat /proc/[0-9]*/comm | grep -cx tavo", "0", "daemon left running")
        # The unit and programs go; the configuration, changed or not, and the logs stay.
        self.assertOutput("ls -d /lib/systemd/system/tavo.service /usr/sbin/tavo /var/log/varnel %s* 2>/dev/null" % CONFIG,
                          "\n".join([CONFIG + n for n in ("devices.yaml", "klog.cfg", "site-notes.txt", "system.yaml",
                                                          "tavo.yaml")] + ["/var/log/varnel"]))
        for name, text in changed.items():
            self.assertEqual(self.c.sh("cat " + CONFIG + name).stdout, text)

        purged = self.c.sh("apt-get purge -y tavo", timeout=300)
        self.assertEqual(purged.returncode, 0, purged.stdout + purged.stderr)
        # dpkg takes every configuration file it installed, changed or not, the postrm what the
        # service made; the operator's own files stay.
        self.assertOutput("find /etc/varnel -type f | sort; ls -d /var/log/varnel /var/lib/tavo "
                          "/lib/systemd/system/tavo.service /etc/systemd/system/*/tavo.service 2>/dev/null",
                          "%ssite-notes.txt\n%s" % (CONFIG, FIRMWARE))

    def test_6_container_halts_cleanly(self):
        self.assertEqual(self.c.close(), 0)
        self.assertEqual([c for c in self.c.cgroups if os.path.exists(c)], [])
        self.assertNotIn(self.c.board, ts.run(["ip", "netns", "list"]).stdout.decode().split())


def main():
    global ARGS, CONTAINER
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    ARGS, rest = parser.parse_known_args()
    ARGS.deb, = glob.glob(os.path.join(ARGS.build, "deb", "tavo_*.deb")) or \
        sys.exit("no package in %s/deb: make test-systemd builds it" % ARGS.build)
    # A stop by ctest's time limit still halts the container and removes what the test made.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    cleanup_leftovers()
    tree = debian_tree(ARGS.build, ARGS.deb)
    ARGS.work = os.path.join(ARGS.build, "systemd-test")   # the console and the board's files stay
    ts.run(["rm", "-rf", ARGS.work])
    os.makedirs(ARGS.work)
    CONTAINER = Container()
    try:
        CONTAINER.boot(tree, os.path.dirname(ARGS.deb), ARGS.work)
        result = unittest.main(argv=sys.argv[:1] + rest, exit=False, failfast=True, verbosity=2).result
    finally:
        CONTAINER.close()
    sys.exit(not result.wasSuccessful())


if __name__ == "__main__":
    main()
