#!/usr/bin/python3
"""The sandbox's own plumbing, with generic tools in place of the daemon: what a process
started through it sees, system-log capture, board networking, orphans and clean-up."""
import os
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tavo_sandbox as ts  # noqa: E402


class SandboxPlumbing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # /bin/sh takes the daemon's place: sb.tavo("-c", script) runs script in the sandbox.
        cls.sb = ts.Sandbox("/bin/sh")
        cls.b0 = cls.sb.add_board(["192.0.2.50/24"])
        cls.b1 = cls.sb.add_board(["192.0.2.51/24", "192.0.2.52/24"])

    @classmethod
    def tearDownClass(cls):
        cls.sb.close()

    def test_fixed_paths_are_the_sandbox_files(self):
        """/etc/varnel, /var/log/varnel, /var/run, /var/tmp seen inside are our directories,
        and the rest of /etc is still there."""
        self.sb.write_config("tavo.yaml", "tavo: {}\n")
        r = self.sb.tavo("-c", "cat /etc/varnel//config/tavo.yaml; echo x > /var/run/tavo.pid; "
                         "echo y > /var/log/varnel/t.log; mkdir -p /var/tmp/varnel/tavo; "
                         "test -d /etc/varnel/data/am17 && test -r /etc/passwd && echo ok")
        self.assertEqual(r.stdout, "tavo: {}\nok\n", r)
        self.assertEqual(self.sb.read_file(self.sb.pid_file), b"x\n")
        self.assertEqual(self.sb.read_file(self.sb.log_path("t.log")), b"y\n")
        self.assertTrue(os.path.isdir(self.sb.core_dir))
        self.assertFalse(os.path.exists("/etc/varnel"), "created on the machine itself")

    def test_system_log_capture(self):
        """A LOCAL5 message sent to /dev/log inside arrives parsed."""
        mark = self.sb.syslog.count()
        self.sb.tavo("-c", "logger -p local5.notice -t tavo --id=4242 'Service up and running.'")
        m = self.sb.syslog.wait_for("Service up and running.", timeout=5, start=mark)
        self.assertEqual((m.pri, m.facility, m.priority, m.ident, m.pid),
                         (173, ts.LOCAL5, 5, "tavo", 4242))

    def test_broadcast_reaches_every_board(self):
        receivers = [self.b0.socket(bind=("", 14103), reuse=True),
                     self.b1.socket(bind=("", 14103), reuse=True)]
        sender = self.sb.host_socket()
        sender.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        sender.sendto(b"reply", ("192.0.2.255", 14103))
        for r in receivers:
            r.settimeout(5)
            self.assertEqual(r.recvfrom(64), (b"reply", ("192.0.2.1", sender.getsockname()[1])))
            r.close()
        sender.close()

    def test_board_limited_broadcast_reaches_host(self):
        """A board's request to 255.255.255.255 leaves through its device and reaches the host."""
        host = self.sb.host_socket(bind=("", 14102))
        board = self.b1.socket(bind=("", 14103), reuse=True, broadcast=True, device=True)
        board.sendto(b"request", ("255.255.255.255", 14102))
        host.settimeout(5)
        data, sender = host.recvfrom(64)
        self.assertEqual((data, sender[1]), (b"request", 14103))
        self.assertIn(sender[0], ("192.0.2.51", "192.0.2.52"))
        host.close()
        board.close()

    def test_ping_answer_is_switchable(self):
        self.assertTrue(self.b0.pings("192.0.2.1"))
        self.assertFalse(self.b0.pings("192.0.2.51", timeout=0.5))
        self.b1.answer_ping(True)
        try:
            self.assertTrue(self.b0.pings("192.0.2.52"))
        finally:
            self.b1.answer_ping(False)

    def test_orphans_are_adopted_and_reaped(self):
        """A grandchild left behind by a command (as `tavo start` leaves the daemon) becomes
        ours, and its exit status can be collected."""
        r = self.sb.tavo("-c", "mkfifo /run/fifo; (sh -c 'read x </run/fifo; exit 7' & ) >/dev/null 2>&1")
        self.assertEqual(r.status, 0)
        orphans = [p for p in self.sb.daemon_pids if ts.process_state(p) not in (None, "Z")]
        self.assertEqual(len(orphans), 1, self.sb.daemon_pids)
        with open(os.path.join(self.sb.root, "run", "fifo"), "w") as f:
            f.write("go\n")
        self.assertEqual(self.sb.wait_exit(orphans[0], timeout=5), 7)
        self.assertIsNone(ts.process_state(orphans[0]))


class Cleanup(unittest.TestCase):
    def test_close_removes_everything(self):
        sb = ts.Sandbox("/bin/sh")
        sb.add_board()
        names = [sb.host_ns] + [b.netns for b in sb.boards]
        # exec: the process we hold is the sleeper itself, so no grandchild can outlive the
        # kill with ctest's output pipe open; its output goes nowhere for the same reason.
        sleeper = sb.popen_tavo("-c", "exec sleep 600", stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        sb.close()
        listed = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE).stdout.decode()
        for n in names:
            self.assertNotIn(n, listed)
        self.assertFalse(os.path.exists(sb.root))
        self.assertIsNotNone(sleeper.returncode)
        self.assertFalse(ts.pid_alive(sleeper.pid))

    def test_leftovers_of_a_dead_run_are_removed(self):
        """Namespaces and directories named after a process that is gone are cleaned up."""
        dead = subprocess.Popen(["true"])
        dead.wait()
        name = "%s%ds1" % (ts.DEFAULT_PREFIX, dead.pid)
        subprocess.run(["ip", "netns", "add", name + "h"], check=True)
        root = "/tmp/%s.left" % name
        os.makedirs(os.path.join(root, ".real", "etc"))
        ts.cleanup_leftovers()
        listed = subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE).stdout.decode()
        self.assertNotIn(name + "h", listed)
        self.assertFalse(os.path.exists(root))


if __name__ == "__main__":
    unittest.main()
