#!/usr/bin/python3
"""The daemon's life cycle as an operator sees it: command words, pid file, system-log lines,
exit statuses, signals, start failures."""
import os
import re
import shutil
import signal
import socket
import subprocess
import unittest

import e2e_case as e
from e2e_case import ts

PID_FILE = "/var/run/tavo.pid"   # the path as the daemon names it in its messages
LOG_EMERG, LOG_INFO, LOG_NOTICE, LOG_WARNING = 0, 6, 5, 4
DEAD_PID = 4194305               # above any pid_max: never a /proc entry
STARTED, STOPPED = "Starting tavo.... OK\n", "Stopping tavo.... OK\n"
DEVICES = [dict(serial=1193046, IP="192.0.2.50")]


class Service(unittest.TestCase):
    """One sandbox; each case starts from the standard files, no pid file and no daemon."""

    @classmethod
    def setUpClass(cls):
        cls.sb, cls.board = e.serving(cls, DEVICES, start=False)
        cls.tavo_bin = cls.sb.tavo_bin

    def setUp(self):
        ts.standard_setup(self.sb, DEVICES)
        if os.path.exists(self.sb.pid_file):
            os.unlink(self.sb.pid_file)
        self.sb.tavo_bin, self.sb.daemon_pids = self.tavo_bin, set()

    def assertStopped(self, pid, status):
        self.assertEqual(status, 0)
        self.assertFalse(os.path.exists(self.sb.pid_file), "pid file left behind")
        self.assertFalse(ts.pid_alive(pid))

    def test_start_and_stop(self):
        """start (also the default without a word, here over a crash's pid file naming another
        program, which `stop` refuses without signalling) forks a daemon that writes its pid
        file; a second start is refused before forking; stop ends it with the pid file gone."""
        # SIGTERM blocked: a signal sent stays pending where the test can see it.
        other = subprocess.Popen(["sleep", "300"],
                                 preexec_fn=lambda: signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM}))
        self.addCleanup(other.wait, timeout=10)
        self.addCleanup(other.kill)
        for args in (("start",), ()):
            with self.subTest(args=args):
                if not args:
                    with open(self.sb.pid_file, "w") as f:
                        f.write("%d\n" % other.pid)
                    r = self.sb.tavo("stop")
                    self.assertEqual((r.status, r.stdout, r.stderr), (75, "Stopping tavo.... FAIL\n",
                                     "ERROR: Unable to open pid file '%s': (3) No such process.\n" % PID_FILE))
                    with open("/proc/%d/status" % other.pid) as f:
                        pending = [int(l.split()[1], 16) for l in f if l.startswith(("SigPnd", "ShdPnd"))]
                    self.assertFalse(any(mask & 1 << (signal.SIGTERM - 1) for mask in pending), "signalled")
                mark = self.sb.syslog.count()
                r = self.sb.tavo(*args)
                self.assertEqual((r.status, r.stdout, r.stderr), (0, STARTED, ""))
                # Until the detached copy writes its own pid, a stale file holds the other one.
                pid = ts.wait_until(lambda: self.sb.read_pid_file() not in (None, other.pid)
                                    and self.sb.read_pid_file(), 10, "pid file")
                self.sb.daemon_pids.add(pid)
                self.assertEqual(self.sb.read_file(self.sb.pid_file), b"%d\n" % pid)
                starting = self.sb.syslog.wait_for("Starting service...", timeout=5, start=mark)
                up = self.sb.syslog.wait_for("Service up and running.", timeout=10, start=mark)
                # LOCAL5: PRI = 21 * 8 + priority; identity tavo with the daemon's pid
                self.assertEqual((starting.pri, starting.ident, starting.pid), (168 + LOG_INFO, "tavo", pid))
                self.assertEqual((up.pri, up.pid), (168 + LOG_NOTICE, pid))

                r = self.sb.tavo("start")
                self.assertEqual((r.status, r.stderr), (75, 'ERROR: pid file %s already exists, use "tavo '
                                                            'stop" (or delete the file).\n' % PID_FILE))
                self.assertEqual((self.sb.daemon_pids, self.sb.read_pid_file()), ({pid}, pid))

                r = self.sb.tavo("stop")
                self.assertEqual((r.status, r.stdout, r.stderr), (0, STOPPED, ""))
                self.assertStopped(pid, self.sb.wait_exit(pid, timeout=10))
                bye = self.sb.syslog.wait_for("Exiting at stop request...", timeout=5, start=mark)
                self.assertEqual((bye.pri, bye.pid), (168 + LOG_NOTICE, pid))
        self.assertIsNone(other.poll())

    def test_stops(self):
        """`tavo stop` (SIGTERM) after an upgrade replaced the program under the running daemon
        (its /proc exe link then reads "... (deleted)", the new file has another inode) and
        SIGINT: each ends the daemon cleanly. Here no configured interface is on the host:
        every server fails to start, and the service still comes up."""
        self.sb.write_config("tavo.yaml", ts.tavo_yaml(interfaces=["198.51.100.77"]))
        installed = os.path.join(self.sb.root, "tavo")
        shutil.copy2(self.sb.tavo_bin, installed)
        self.sb.tavo_bin = installed
        for sig in (None, signal.SIGINT):
            with self.subTest(signal=sig):
                mark, log_mark = self.sb.syslog.count(), self.sb.log_mark()
                pid = self.sb.start_and_wait_up()
                for text in ("Failed to start BootServer", "Failed to start TFTP Server", "Failed to start TimeServer"):
                    self.sb.wait_log(text, level="E", logger="General", timeout=5, start=log_mark)
                if sig is None:
                    shutil.copy2(installed, installed + ".new")
                    os.replace(installed + ".new", installed)
                    r, status = self.sb.stop(pid)
                    self.assertEqual((r.status, r.stdout), (0, STOPPED), r)
                else:
                    os.kill(pid, sig)
                    status = self.sb.wait_exit(pid, timeout=10)
                self.assertStopped(pid, status)
                self.sb.syslog.wait_for("Exiting at stop request...", timeout=5, start=mark)

    def test_systemd_notifications(self):
        """With NOTIFY_SOCKET set, nofork says READY=1 (with a status line) once the servers
        answer, pings the watchdog at half of WATCHDOG_USEC while its loops turn, and says
        STOPPING=1 at the stop."""
        path = os.path.join(self.sb.root, "notify")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(path)
        sock.settimeout(10)
        p = self.sb.popen_tavo("nofork", env=dict(os.environ, NOTIFY_SOCKET=path, WATCHDOG_USEC="2000000"))
        self.addCleanup(p.wait, timeout=10)
        ready = sock.recv(4096).decode().split("\n")
        # The time server starts last: its answer shows every server up.
        s = e.board_socket(self, self.board, "192.0.2.50")
        self.assertEqual(len(e.timeproto.query(s, e.HOST, 37, timeout=3)[1]), 4)
        self.assertEqual(ready, ["READY=1", "STATUS=0 boards booted, 0 booting, 0 failing; 0 transfers "
                                            "completed, 0 failed; 1 interfaces served"])
        for _ in range(3):
            self.assertEqual(sock.recv(4096), b"WATCHDOG=1")
        os.kill(p.pid, signal.SIGTERM)
        while sock.recv(4096) != b"STOPPING=1":
            pass
        self.assertEqual(self.sb.wait_exit(p.pid, timeout=10), 0)

    def test_commands_without_daemon(self):
        """Only the first word counts, anything unknown is a usage error. stop with no pid file,
        a dead pid, or content that names no process: FAIL with the right line, and for an
        oversized file an Emergency line in the system log."""
        for args in (("stop2",), ("restart", "start"), ("",)):
            r = self.sb.tavo(*args)
            self.assertEqual((r.status, r.stderr), (64, "Usage: %s <start|stop|debug>\n" % self.sb.tavo_bin), args)
        opening = r"ERROR: Unable to open pid file '%s': " % re.escape(PID_FILE)
        cannot_open, no_such = opening + r"\(\d+\) .*\.\n", opening + r"\(2\) No such file or directory\.\n"
        cannot_read = r"ERROR: Unable to read pid file '%s': \(\d+\) [^\n]*\.$" % re.escape(PID_FILE)  # no line end
        cases = [  # pid file content (None: no file), status, stderr pattern, system-log line
            (None, 75, no_such, None),
            ("%d\n" % DEAD_PID, 75, no_such, None),   # no /proc entry for it
            ("", 75, cannot_open, None),
            ("123456789012\n", 75, cannot_open, "Buffer overflow, reading pidfile."),
            # /proc/ and /proc/self exist, so these pass the liveness check but hold no pid
            ("0", 74, cannot_read, None),   # no line end: the pid's last digit is taken for one
            ("self\n", 74, cannot_read, None),
        ]
        for content, status, stderr, logged in cases:
            with self.subTest(content=content):
                if content is not None:
                    with open(self.sb.pid_file, "w") as f:
                        f.write(content)
                mark = self.sb.syslog.count()
                r = self.sb.tavo("stop")
                self.assertEqual((r.status, r.stdout), (status, "Stopping tavo.... FAIL\n"), r)
                self.assertRegex(r.stderr, "^" + stderr)
                if logged:
                    self.assertEqual(self.sb.syslog.wait_for(logged, timeout=5, start=mark).pri, 168 + LOG_EMERG)

    def test_debug_runs_until_enter_or_end_of_input(self):
        mark = self.sb.syslog.count()
        r = self.sb.tavo("debug", stdin=b"", timeout=30)
        self.assertEqual((r.status, r.stdout), (0, "Press <ENTER> to stop tavo..."), r)
        self.sb.syslog.wait_for("Exiting at stop request...", timeout=5, start=mark)
        self.assertNotIn("Service up and running.", self.sb.syslog.texts()[mark:])
        self.assertFalse(os.path.exists(self.sb.pid_file))

        mark, log_mark = self.sb.syslog.count(), self.sb.log_mark()
        p = self.sb.popen_tavo("debug", stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.sb.syslog.wait_for("Starting service...", timeout=10, start=mark)
        self.sb.wait_log("Starting TimeServer...", timeout=10, start=log_mark)
        self.assertEqual(self.sb.read_pid_file(), p.pid)
        self.assertIsNone(p.poll())
        p.stdin.write(b"\n")
        p.stdin.flush()
        self.assertEqual(self.sb.wait_exit(p.pid, timeout=10), 0)
        self.assertEqual(p.stdout.read(), b"Press <ENTER> to stop tavo...")
        self.sb.syslog.wait_for("Exiting at stop request...", timeout=5, start=mark)
        self.assertFalse(os.path.exists(self.sb.pid_file))

    def test_start_failures(self):
        """The detached copy exits 70 with the reason in the system log, which `start` reports
        as status 75 unless it has said OK already (without system.yaml the failure comes after
        the BOOTP server's start). In the foreground nothing the start began runs on into the
        exit, where a sanitizer build would report it."""
        cases = [  # file, content (None: removed), reason pattern, fails late
            ("tavo.yaml", None, re.escape("Could not open file[/etc/varnel//config/tavo.yaml](tavo.yaml:tavo)"), False),
            ("tavo.yaml", "other:\n  x: 1\n",
             re.escape("Could not find document 'tavo' in file 'tavo.yaml'(tavo.yaml:tavo)"), False),
            ("system.yaml", None,
             re.escape("Could not open file[/etc/varnel//config/system.yaml]") + r"\(system\.yaml:\w+\)", True),
        ]
        for name, content, reason, late in cases:
            with self.subTest(file=name, content=content):
                ts.standard_setup(self.sb, DEVICES)
                if content is None:
                    os.unlink(os.path.join(self.sb.config_dir, name))
                else:
                    self.sb.write_config(name, content)
                mark = self.sb.syslog.count()
                r = self.sb.tavo("start")
                m = self.sb.syslog.wait_for(re.compile("^Unable to start: " + reason + "$"), timeout=10, start=mark)
                self.assertEqual(m.priority, LOG_WARNING)
                # Normally an early failure comes within the start command's 250 ms and the
                # command reports it; a slow machine (or a sanitizer build) lets the command
                # say OK first, and the copy's own exit status tells the failure.
                if r.status == 0 or late:
                    self.assertEqual((r.status, r.stdout), (0, STARTED))
                    self.assertEqual(self.sb.wait_exit(m.pid, timeout=10), 70)
                else:
                    self.assertEqual((r.status, r.stdout, r.stderr), (75, "Starting tavo.... FAIL\n",
                                     "ERROR: Premature child[%d] process exit with code 70.\n" % m.pid))
                self.assertFalse(os.path.exists(self.sb.pid_file))
                r = self.sb.tavo("nofork", timeout=20)
                self.assertEqual((r.status, r.stdout, r.stderr), (70, "", ""), r)
                self.assertFalse(os.path.exists(self.sb.pid_file))
                self.assertNotIn("Service up and running.", self.sb.syslog.texts()[mark:])


if __name__ == "__main__":
    e.main()
