#!/usr/bin/python3
"""A local user against the service host: a permissive umask at the start, links and
directories planted where the daemon makes its core directory and writes its logs. The planted
links belong to another user, as a real attacker's would (the sandbox runs as root). (A pid
file naming somebody else's process is the service test's.)"""
import os
import re
import shutil
import stat
import unittest

import e2e_case as e
from e2e_case import ts

NOBODY = 65534
LOG_WARNING = 4
# Small files rotate into old/ during the start already.
ROTATING_KLOG = "MaxLogFileSize=300\n" + ts.klog_cfg()
DEVICES = [dict(serial=1193046, IP="192.0.2.50")]


def remove(path):
    if os.path.islink(path) or os.path.isfile(path):
        os.unlink(path)
    elif os.path.isdir(path):
        shutil.rmtree(path)


class HostileLocal(unittest.TestCase):
    """One sandbox; each case starts from the standard files and nothing planted."""

    @classmethod
    def setUpClass(cls):
        cls.sb, _ = e.serving(cls, DEVICES, start=False)
        cls.elsewhere = os.path.join(cls.sb.root, "elsewhere")   # where the user points

    def setUp(self):
        ts.standard_setup(self.sb, DEVICES)
        remove(os.path.join(self.sb.root, "vartmp", "varnel"))

    def plant_link(self, path, target):
        os.symlink(target, path)
        os.lchown(path, NOBODY, NOBODY)

    def test_umask_000_at_start(self):
        """Started from a shell with umask 000, no log file or directory is writable by group
        or others (old/ and its rotated files included), and the pid file keeps mode 0644."""
        shutil.rmtree(self.sb.log_dir)   # the daemon makes it itself
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
                remove(self.elsewhere)
                os.makedirs(self.elsewhere)
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
        """Links planted there are not written through: tavo.log (reported as a file that cannot be
        opened), the directory check's scratch file, old/ (tavo.log then keeps growing)."""
        self.sb.write_config("klog.cfg", ROTATING_KLOG)
        cases = [  # links planted together (name: a directory behind it), what the daemon reports
            ({"tavo.log": False}, "fopen(3) failed: (40) Too many levels of symbolic links. "
                                  "Log tavo disabled by 30 seconds."),
            ({"WriteTest.tmp": False, "old": True}, None),
        ]
        for links, reported in cases:
            with self.subTest(links=sorted(links)):
                for entry in os.listdir(self.sb.log_dir):
                    remove(os.path.join(self.sb.log_dir, entry))
                # Beside the log directory, on its mount: a move into old/ could reach them.
                victims = {name: os.path.join(os.path.dirname(self.sb.log_dir), "victim-" + name) for name in links}
                for name, directory in links.items():
                    remove(victims[name])
                    if directory:
                        os.mkdir(victims[name])
                    else:
                        with open(victims[name], "wb") as f:
                            f.write(b"precious\n")
                    self.plant_link(os.path.join(self.sb.log_dir, name), "../victim-" + name)
                mark = self.sb.syslog.count()
                # The lines of the stop find tavo.log over the limit: a rotation is due.
                _, status = self.sb.stop(self.sb.start_and_wait_up())
                self.assertEqual(status, 0)
                for name, directory in links.items():
                    if directory:
                        self.assertEqual(os.listdir(victims[name]), [])
                        self.assertGreater(os.path.getsize(self.sb.log_path()), 300, "no rotation due")
                    else:
                        self.assertEqual(self.sb.read_file(victims[name]), b"precious\n")
                if reported:
                    self.sb.syslog.wait_for(reported, timeout=5, start=mark)
    def test_control_socket_group(self):
        """Members of the group tavo reach the control socket and other users do not; a daemon
        without CAP_CHOWN cannot give the group, so the socket stays root's alone."""
        group = os.path.join(self.sb.root, "group")
        with open("/etc/group") as system, open(group, "w") as copy:
            copy.write(system.read() + "tavo:x:4242:nobody\n")
        self.sb.host(["mount", "--bind", group, "/etc/group"])
        status = [os.path.join(os.path.dirname(e.TAVO), "tavoctl"), "status"]
        users = [["setpriv", "--reuid=%s" % u, "--regid=%s" % g, "--init-groups"]
                 for u, g in (("nobody", "nogroup"), ("daemon", "daemon"))]
        for wrapper, mode, gid, member in [((), 0o660, 4242, 0), (("setpriv", "--bounding-set=-chown"), 0o600, 0, 69)]:
            with self.subTest(wrapper=wrapper):
                pid = self.sb.start_and_wait_up(servers=True, wrapper=wrapper)
                st = os.stat(os.path.join(self.sb.root, "run", "tavo", "control"))
                self.assertEqual((stat.S_IMODE(st.st_mode), st.st_gid), (mode, gid))
                self.assertEqual([self.sb.host(u + status, check=False).returncode for u in users], [member, 69])
                self.assertEqual(self.sb.stop(pid)[1], 0)


if __name__ == "__main__":
    e.main()
