#!/usr/bin/env python3
"""`cmake --install` with DESTDIR and the Debian package: what lands where, the operator's
configuration kept, the systemd unit and its check before start, man pages that render, and
what a purge removes. Runs in the sandbox: /etc/varnel, /var/log and /var/tmp are its own."""
import argparse
import glob
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ARGS = None

# Paths every installation has, relative to the root, and the shipped example configuration.
EXPECTED = [
    "usr/sbin/tavo",
    "usr/bin/tavo-check-config",
    "usr/bin/tavoctl",
    "usr/share/man/man1/tavoctl.1.gz",
    "usr/share/man/man8/tavo.8.gz",
    "usr/share/man/man1/tavo-check-config.1.gz",
    "usr/share/man/man1/ndx-board-sim.1.gz",
    "usr/lib/systemd/system/tavo.service",
    "etc/varnel/config",
    "etc/varnel/data/am17",
    "usr/bin/ndx-board-sim",
    "usr/lib/tavo/ndxsim/__init__.py",
    "usr/lib/tavo/ndxsim/bootp.py",
]
EXAMPLES = ["devices.yaml", "klog.cfg", "system.yaml", "tavo.yaml"]
# What the daemon writes into the firmware directory for the boards.
GENERATED = ["system.yaml", "klog.cfg", "replacements.yaml"]
# Section headings of each man page.
SECTIONS = {"usr/share/man/man8/tavo.8.gz": ["NAME", "COMMANDS", "FILES", "LOG FILES", "KLOG.CFG", "SIGNALS",
                                             "EXIT STATUS"],
            "usr/share/man/man1/tavo-check-config.1.gz": ["NAME"],
            "usr/share/man/man1/ndx-board-sim.1.gz": ["NAME", "EXIT STATUS"]}


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
        for expected in ("Type=notify", "ExecStart=/usr/sbin/tavo nofork", "WantedBy=multi-user.target"):
            self.assertIn(expected, lines)
        # The installed simulator finds its modules.
        result = subprocess.run([os.path.join(self.root, "usr/bin/ndx-board-sim"), "--help"],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("usage", result.stdout.lower())

    def test_unit_checks_the_configuration_before_start(self):
        """The unit's own pre-start command, run on the installed programs: the shipped
        configuration passes it on this host without interfaces or firmware; a broken
        devices.yaml fails it with the position in its output (the journal's line)."""
        with open(os.path.join(self.root, "usr/lib/systemd/system/tavo.service")) as unit:
            (command,) = [line.strip().split("=", 1)[1] for line in unit if line.startswith("ExecStartPre=")]
        program, *arguments = command.split()
        for name in EXAMPLES:
            shutil.copy(os.path.join(self.root, "etc/varnel/config", name), "/etc/varnel/config")
        check = lambda: subprocess.run([self.root + program, *arguments], capture_output=True, text=True, timeout=60)
        result = check()
        self.assertEqual((result.returncode, result.stdout), (0, "/etc/varnel/config: no problems found\n"))
        with open("/etc/varnel/config/devices.yaml", "a") as out:
            out.write("  - 1193049: [not, a, map]\n")
        result = check()
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stdout, r"(?m)^/etc/varnel/config/devices\.yaml:\d+:\d+: ")

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
    def test_purge_takes_what_the_service_made_and_keeps_the_operators_files(self):
        """debian/tavo.postrm purge, after dpkg has taken the configuration files it installed.
        /var/lib is a tmpfs of a mount namespace of the script's own."""
        made = ["/var/log/varnel/tavo.log", "/var/log/varnel/old/tavo.20261201-000000.log",
                "/var/tmp/varnel/tavo/core.1"] + ["/etc/varnel/data/am17/" + name for name in GENERATED]
        kept = ["/etc/varnel/data/am17/ndx_v2.bin", "/etc/varnel/config/devices.yaml.orig"]
        for path in made + kept:
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "w").close()
        purge = ("mount -t tmpfs tmpfs /var/lib && mkdir -p /var/lib/tavo/core && touch /var/lib/tavo/core/core.2 && "
                 "sh %s/debian/tavo.postrm purge && ! test -e /var/lib/tavo" % ARGS.source)
        result = subprocess.run(["unshare", "--mount", "--propagation", "private", "sh", "-c", purge],
                                capture_output=True, text=True, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([p for p in made + ["/var/log/varnel", "/var/tmp/varnel"] if os.path.lexists(p)], [])
        self.assertEqual([path for path in kept if not os.path.isfile(path)], [])

    def test_deb_holds_the_installation_and_starts_its_unit(self):
        """The package `make package` left in the build directory."""
        debs = glob.glob(os.path.join(ARGS.build, "deb", "tavo_*.deb"))
        if not debs:
            self.skipTest("no package: make package builds it")
        deb = lambda option, *more: subprocess.run(["dpkg-deb", option, debs[0], *more],
                                                   capture_output=True, text=True, check=True).stdout
        paths = {line.split()[-1].rstrip("/").removeprefix("./") for line in deb("-c").splitlines()}
        # Debian 12's debhelper enables the units under /lib/systemd/system only.
        expected = [p.replace("usr/lib/systemd", "lib/systemd") for p in EXPECTED]
        for path in expected + ["etc/varnel/config/" + name for name in EXAMPLES]:
            self.assertIn(path, paths)
        self.assertFalse([p for p in paths if p.startswith(("usr/local", "tmp", "work", "usr/lib/systemd"))])
        self.assertEqual(sorted(deb("-I", "conffiles").split()), ["/etc/varnel/config/" + name for name in EXAMPLES])
        self.assertIn("deb-systemd-invoke $_dh_action 'tavo.service'", deb("-I", "postinst"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
