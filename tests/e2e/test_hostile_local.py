#!/usr/bin/python3
"""A local user against the service host: a permissive umask at the start, links and
directories planted where the daemon makes its core directory and writes its logs, a pid file
naming somebody else's process. The planted links belong to another user, as a real attacker's
would (the sandbox runs as root)."""
import os
import re
import shutil
import signal
import stat
import subprocess
import unittest

import e2e_case as e
from e2e_case import ts

PID_FILE = "/var/run/tavo.pid"     # the path as the daemon names it in its messages
NOBODY = 65534
LOG_WARNING = 4
# Small files rotate into old/ during the start already.
ROTATING_KLOG = "MaxLogFileSize=300\n" + ts.klog_cfg()


def remove(path):
    if os.path.islink(path) or os.path.isfile(path):
        os.unlink(path)
    elif os.path.isdir(path):
        shutil.rmtree(path)


class HostileLocal(unittest.TestCase):
    def setUp(self):
        self.sb, _ = e.serving(self, [dict(serial=1193046, IP="192.0.2.50")], start=False)
        self.elsewhere = os.path.join(self.sb.root, "elsewhere")   # where the user points

    def plant_link(self, path, target):
        os.symlink(target, path)
        os.lchown(path, NOBODY, NOBODY)

    def fresh_elsewhere(self):
        remove(self.elsewhere)
        os.makedirs(self.elsewhere)

    def test_umask_000_at_start(self):
        """Started from a shell with umask 000, no log file or directory is writable by group
        or others (old/ and its rotated files included), and the pid file keeps mode 0644."""
        os.rmdir(self.sb.log_dir)       # the daemon makes it itself
        self.sb.write_config("klog.cfg", ROTATING_KLOG)
        saved = os.umask(0)
        try:
            pid = self.sb.start_and_wait_up()
        finally:
            os.umask(saved)
        self.assertEqual(stat.S_IMODE(os.stat(self.sb.pid_file).st_mode), 0o644)
        # The stop's lines find tavo.log over the limit at the latest.
        _, status = self.sb.stop(pid)
        self.assertEqual(status, 0)
        self.assertTrue(os.listdir(os.path.join(self.sb.log_dir, "old")), "nothing rotated")
        paths = [self.sb.log_dir]
        for top, dirs, files in os.walk(self.sb.log_dir):
            paths += [os.path.join(top, name) for name in dirs + files]
        loose = [(p, oct(stat.S_IMODE(os.lstat(p).st_mode))) for p in paths
                 if os.lstat(p).st_mode & 0o022]
        self.assertEqual(loose, [])

    def test_planted_core_directory(self):
        """/var/tmp is everybody's: a link or a directory another user made there never becomes
        the daemon's working directory, where root's core files land; the system log says why."""
        varnel = os.path.join(self.sb.root, "vartmp", "varnel")
        service = os.path.join(varnel, "tavo")

        cases = [  # name, the planted path: a link to elsewhere or (mode, owner) of a directory,
                   # the directories its user controls, the refused path
            ("link_varnel", varnel, "link", [self.elsewhere, os.path.join(self.elsewhere, "tavo")], "/var/tmp/varnel"),
            ("link_service", service, "link", [self.elsewhere], "/var/tmp/varnel/tavo"),
            ("users_varnel", varnel, (0o755, NOBODY), [varnel, service], "/var/tmp/varnel"),
            ("open_service", service, (0o777, 0), [service], "/var/tmp/varnel/tavo"),
        ]
        for name, path, planted, controlled, refused in cases:
            with self.subTest(plant=name):
                remove(varnel)
                self.fresh_elsewhere()
                os.makedirs(os.path.dirname(path), 0o755, exist_ok=True)
                if planted == "link":
                    self.plant_link(path, self.elsewhere)
                else:
                    os.mkdir(path)
                    os.chmod(path, planted[0])
                    os.chown(path, planted[1], planted[1])
                mark = self.sb.syslog.count()
                pid = self.sb.start_and_wait_up()
                try:
                    cwd = os.stat("/proc/%d/cwd" % pid)
                    for own in controlled:
                        if os.path.exists(own):
                            here = os.stat(own)
                            self.assertNotEqual((cwd.st_dev, cwd.st_ino), (here.st_dev, here.st_ino),
                                                "working in " + own)
                    line = self.sb.syslog.wait_for(
                        re.compile("^Core directory %s refused: " % re.escape(refused)), timeout=5, start=mark)
                    self.assertEqual((line.pid, line.priority), (pid, LOG_WARNING))
                finally:
                    _, status = self.sb.stop(pid)
                self.assertEqual(status, 0)

    def test_planted_links_in_the_log_directory(self):
        """Links another user planted where the daemon writes logs are not written through:
        tavo.log (reported as a file that cannot be opened), the directory check's scratch
        file, old/ (tavo.log then keeps growing, as after a failed move)."""
        self.sb.write_config("klog.cfg", ROTATING_KLOG)
        cases = [  # planted name, a directory behind it, what the daemon reports
            ("tavo.log", False, "fopen(3) failed: (40) Too many levels of symbolic links. "
                                "Log tavo disabled by 30 seconds."),
            ("WriteTest.tmp", False, None),
            ("old", True, None),
        ]
        for name, directory, reported in cases:
            with self.subTest(link=name):
                for entry in os.listdir(self.sb.log_dir):
                    remove(os.path.join(self.sb.log_dir, entry))
                # Beside the log directory, on its mount: a move into old/ could reach it.
                victim = os.path.join(os.path.dirname(self.sb.log_dir), "victim")
                remove(victim)
                if directory:
                    os.mkdir(victim)
                else:
                    with open(victim, "wb") as f:
                        f.write(b"precious\n")
                self.plant_link(os.path.join(self.sb.log_dir, name), "../victim")
                mark = self.sb.syslog.count()
                # The lines of the stop find tavo.log over the limit: a rotation is due.
                _, status = self.sb.stop(self.sb.start_and_wait_up())
                self.assertEqual(status, 0)
                if directory:
                    self.assertEqual(os.listdir(victim), [])
                    self.assertGreater(os.path.getsize(self.sb.log_path()), 300, "no rotation due")
                else:
                    self.assertEqual(self.sb.read_file(victim), b"precious\n")
                if reported:
                    self.sb.syslog.wait_for(reported, timeout=5, start=mark)

    def test_pid_file_naming_another_program(self):
        """After a crash the pid in the file may belong to anything: `tavo stop` fails as with
        no instance and does not signal that process, and `tavo start` starts."""
        # SIGTERM blocked: a signal sent stays pending where the test can see it.
        other = subprocess.Popen(
            ["sleep", "300"],
            preexec_fn=lambda: signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM}))
        self.addCleanup(other.wait, timeout=10)
        self.addCleanup(other.kill)
        with open(self.sb.pid_file, "w") as f:
            f.write("%d\n" % other.pid)

        r = self.sb.tavo("stop")
        self.assertEqual((r.status, r.stdout, r.stderr),
                         (75, "Stopping tavo.... FAIL\n",
                          "ERROR: Unable to open pid file '%s': (3) No such process.\n" % PID_FILE))
        with open("/proc/%d/status" % other.pid) as f:
            pending = dict(l.split(":\t", 1) for l in f.read().splitlines() if l.startswith(("SigPnd", "ShdPnd")))
        sigterm = 1 << (signal.SIGTERM - 1)
        self.assertFalse(any(int(mask, 16) & sigterm for mask in pending.values()), "signalled")

        r = self.sb.tavo("start")
        self.assertEqual((r.status, r.stdout, r.stderr), (0, "Starting tavo.... OK\n", ""))
        pid = ts.wait_until(lambda: self.sb.read_pid_file() not in (None, other.pid) and self.sb.read_pid_file(),
                            10, "pid file rewritten")
        self.sb.daemon_pids.add(pid)
        self.sb.syslog.wait_for("Service up and running.", timeout=10)
        _, status = self.sb.stop(pid)
        self.assertEqual(status, 0)
        self.assertIsNone(other.poll())


if __name__ == "__main__":
    e.main()
