#!/usr/bin/env python3
"""`cmake --install` with DESTDIR and the Debian package: what lands where, the operator's
configuration kept, the systemd unit, and man pages that render."""
import argparse
import glob
import gzip
import os
import re
import subprocess
import sys
import tempfile
import unittest

ARGS = None

# Paths every installation has, relative to the root, and the shipped example configuration.
EXPECTED = [
    "usr/sbin/tavo",
    "usr/bin/tavo-check-config",
    "usr/share/man/man8/tavo.8.gz",
    "usr/share/man/man1/tavo-check-config.1.gz",
    "usr/lib/systemd/system/tavo.service",
    "etc/varnel/config",
    "etc/varnel/data/am17",
    "usr/bin/ndx-board-sim",
    "usr/lib/tavo/ndxsim/__init__.py",
    "usr/lib/tavo/ndxsim/bootp.py",
]
EXAMPLES = ["devices.yaml", "klog.cfg", "system.yaml", "tavo.yaml"]
# Section headings of each man page.
SECTIONS = {"usr/share/man/man8/tavo.8.gz": ["NAME", "COMMANDS", "FILES", "LOG FILES", "KLOG.CFG", "SIGNALS",
                                             "EXIT STATUS"],
            "usr/share/man/man1/tavo-check-config.1.gz": ["NAME"]}


def install(destdir):
    env = dict(os.environ, DESTDIR=destdir)
    return subprocess.run(["cmake", "--install", ARGS.build], env=env, capture_output=True, text=True,
                          timeout=300, check=True)


def render(page_gz):
    """The page as man shows it, and groff's warnings."""
    env = dict(os.environ, MANWIDTH="80")
    shown = subprocess.run(["man", "-l", page_gz], env=env, capture_output=True, text=True, timeout=60)
    # without a terminal man still overstrikes bold and underlined text: keep the letters
    shown.stdout = re.sub(r".\x08", "", shown.stdout)
    with gzip.open(page_gz, "rt") as source:
        checked = subprocess.run(["groff", "-man", "-ww", "-z"], input=source.read(), capture_output=True,
                                 text=True, timeout=60)
    return shown, checked


class Install(unittest.TestCase):
    """One installation for every case; only the reinstall case changes it, and it runs last."""

    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="tavo-install-")
        cls.addClassCleanup(subprocess.run, ["rm", "-rf", cls.root])
        install(cls.root)

    def test_everything_lands_under_destdir(self):
        for path in EXPECTED + ["etc/varnel/config/" + name for name in EXAMPLES]:
            self.assertTrue(os.path.lexists(os.path.join(self.root, path)), path)
        self.assertTrue(os.access(os.path.join(self.root, "usr/sbin/tavo"), os.X_OK))
        self.assertFalse(os.path.exists(os.path.join(self.root, "usr/local")))
        with open(os.path.join(self.root, "usr/lib/systemd/system/tavo.service")) as unit:
            lines = [line.strip() for line in unit]
        # systemd runs the service role itself and stops it with SIGTERM, the daemon's stop path.
        for expected in ("Type=exec", "ExecStart=/usr/sbin/tavo nofork", "WantedBy=multi-user.target"):
            self.assertIn(expected, lines)
        # The installed simulator finds its modules.
        result = subprocess.run([os.path.join(self.root, "usr/bin/ndx-board-sim"), "--help"],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("usage", result.stdout.lower())

    def test_z_second_install_keeps_the_operators_configuration(self):
        edited, removed = (os.path.join(self.root, "etc/varnel/config", name) for name in EXAMPLES[:2])
        with open(edited, "w") as out:
            out.write("# the operator's own\n")
        os.unlink(removed)

        install(self.root)

        with open(edited) as text:
            self.assertEqual(text.read(), "# the operator's own\n")
        # a file the operator does not have yet is installed
        self.assertTrue(os.path.isfile(removed))

    def test_man_pages_render_without_warnings(self):
        for page, sections in SECTIONS.items():
            with self.subTest(page=page):
                shown, checked = render(os.path.join(self.root, page))
                self.assertEqual(shown.returncode, 0, shown.stderr)
                self.assertEqual(checked.stderr, "")
                for section in sections:
                    self.assertRegex(shown.stdout, rf"(?m)^{section}$")


class Package(unittest.TestCase):
    def test_deb_holds_the_installation_with_its_configuration_as_conffiles(self):
        with tempfile.TemporaryDirectory(prefix="tavo-package-") as out:
            subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(ARGS.build, "CPackConfig.cmake"),
                            "-B", out], capture_output=True, text=True, timeout=600, check=True)
            debs = glob.glob(os.path.join(out, "*.deb"))
            self.assertEqual(len(debs), 1, os.listdir(out))
            deb = lambda option, *more: subprocess.run(["dpkg-deb", option, debs[0], *more],
                                                       capture_output=True, text=True, check=True).stdout
            paths = {line.split()[-1].rstrip("/").removeprefix("./") for line in deb("-c").splitlines()}
            for path in EXPECTED + ["etc/varnel/config/" + name for name in EXAMPLES]:
                self.assertIn(path, paths)
            # nothing from the build machine's staging or a /usr/local prefix
            self.assertFalse([p for p in paths if p.startswith(("usr/local", "tmp", "work"))])
            self.assertIn("Package: tavo", deb("-f"))
            self.assertIn("/etc/varnel/config/tavo.yaml", deb("-I", "conffiles").split())

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
