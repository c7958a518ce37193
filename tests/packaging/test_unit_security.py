#!/usr/bin/python3
"""The systemd unit: systemd's own exposure rating stays at or below 2.5, and the unit verifies
cleanly apart from the programs it runs, which are not installed where the tests run."""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
UNIT = os.path.join(ROOT, "packaging", "systemd", "tavo.service")
BINARIES = ("/usr/sbin/tavo", "/usr/bin/tavo-check-config")
LIMIT = 2.5


def analyze(*args):
    return subprocess.run(["systemd-analyze"] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True, timeout=60)


class Unit(unittest.TestCase):
    def test_exposure_at_most_limit(self):
        r = analyze("security", "--offline=true", UNIT)
        m = re.search(r"Overall exposure level for tavo\.service: (\d+\.\d+)", r.stdout)
        self.assertIsNotNone(m, r.stdout)
        self.assertLessEqual(float(m.group(1)), LIMIT, r.stdout)

    def test_verifies_cleanly(self):
        """The unit as installed, with the programs' paths pointing at an executable that
        exists; any message is a fault. Man pages are not installed here either."""
        with open(UNIT) as f:
            text = f.read()
        for binary in BINARIES:
            self.assertIn(binary + " ", text)
            text = text.replace(binary + " ", shutil.which("true") + " ")
        work = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, work)
        copy = os.path.join(work, "tavo.service")
        with open(copy, "w") as f:
            f.write(text)
        r = analyze("verify", "--man=no", copy)
        self.assertEqual((r.returncode, r.stdout), (0, ""))


if __name__ == "__main__":
    unittest.main()
