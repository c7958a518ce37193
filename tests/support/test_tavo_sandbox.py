#!/usr/bin/python3
"""The sandbox's clean-up, which no end-to-end test looks at: close() leaves no namespace,
directory or process behind, and leftovers of a dead run are removed."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tavo_sandbox as ts  # noqa: E402


def netns_list():
    return subprocess.run(["ip", "netns", "list"], stdout=subprocess.PIPE).stdout.decode()


class Cleanup(unittest.TestCase):
    def test_close_removes_everything(self):
        sb = ts.Sandbox("/bin/sh")   # /bin/sh takes the daemon's place
        sb.add_board()
        names = [sb.host_ns] + [b.netns for b in sb.boards]
        # exec: the process we hold is the sleeper itself, so no grandchild can outlive the
        # kill with ctest's output pipe open; its output goes nowhere for the same reason.
        sleeper = sb.popen_tavo("-c", "exec sleep 600", stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        sb.close()
        for n in names:
            self.assertNotIn(n, netns_list())
        self.assertFalse(os.path.exists(sb.root))
        self.assertFalse(os.path.exists("/etc/varnel"), "created on the machine itself")
        self.assertIsNotNone(sleeper.returncode)
        self.assertFalse(ts.pid_alive(sleeper.pid))

    def test_leftovers_of_a_dead_run_are_removed(self):
        dead = subprocess.Popen(["true"])
        dead.wait()
        name = "%s%ds1" % (ts.DEFAULT_PREFIX, dead.pid)
        subprocess.run(["ip", "netns", "add", name + "h"], check=True)
        root = "/tmp/%s.left" % name
        os.makedirs(os.path.join(root, ".real", "etc"))
        ts.cleanup_leftovers()
        self.assertNotIn(name + "h", netns_list())
        self.assertFalse(os.path.exists(root))


if __name__ == "__main__":
    unittest.main()
