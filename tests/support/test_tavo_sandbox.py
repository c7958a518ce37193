#!/usr/bin/python3
"""The sandbox's own plumbing, with generic tools in place of the daemon: that the fixed paths
a process sees are the sandbox's, and that nothing is left behind. (System-log capture, board
networking and the adoption of the detached daemon are exercised by every end-to-end test.)"""
import os
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
