#!/usr/bin/env python3
"""tavo-check-config as an operator runs it: arguments, directory layouts, output, exit status."""
import argparse
import os
import subprocess
import sys
import tempfile
import unittest

ARGS = None
TAVO = "tavo:\n  BootP: {RxPort: 14102, TxPort: 14103}\n  Interfaces: [192.0.2.1]\n  tftp: {Port: 69}\n"
DEVICES = """Devices:
  - 1193046:
      Type: NDX-E1
      IP: 192.0.2.50
  - 1193047:
      Type: NDX-FXS
      IP: {second}
"""
SYSTEM = "Network:\n  MediaServerAddress: 192.0.2.1\n"


def run(*arguments, user=()):
    return subprocess.run([*user, ARGS.binary, *arguments], capture_output=True, text=True, timeout=60)


def write_installation(root, second_address):
    for directory in ("config", "data/am17"):
        os.makedirs(os.path.join(root, directory), exist_ok=True)
    files = {"tavo.yaml": TAVO, "devices.yaml": DEVICES.format(second=second_address), "system.yaml": SYSTEM}
    for name, text in files.items():
        with open(os.path.join(root, "config", name), "w") as out:
            out.write(text)


class CheckConfigCli(unittest.TestCase):
    def test_command_lines(self):
        """--help exits 0; a wrong command line exits 1."""
        result = run("--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn("Usage: tavo-check-config", result.stdout)
        for arguments in (["--no-such-option"], ["-i", "192.0.2.1"], ["-i", "192.0.2.1/33"], ["a", "b"],
                          ["/nonexistent-directory"], ["--no-host", "-i", "192.0.2.1/24", "."]):
            with self.subTest(arguments=arguments):
                self.assertEqual(run(*arguments).returncode, 1)

    def test_installations(self):
        """A clean installation exits 0 from either directory, naming its configuration
        directory; a problem is printed as file:line:column: message and exits 1, silently
        with -q."""
        with tempfile.TemporaryDirectory() as root:
            write_installation(root, "192.0.2.51")
            for directory in (root, os.path.join(root, "config")):
                result = run("-i", "192.0.2.1/255.255.255.0", directory)
                self.assertEqual((result.returncode, result.stdout), (0, "%s/config: no problems found\n" % root),
                                 result.stderr)
            write_installation(root, "192.0.2.50")
            result = run("-i", "192.0.2.1/24", root)
            # line 7, column 11: the second board's IP value
            self.assertEqual((result.returncode, result.stdout.splitlines()), (1, [
                "%s/config/devices.yaml:7:11: board 1193047 has the address 192.0.2.50 of board 1193046" % root,
                "1 problem found"]))
            quiet = run("-q", "-i", "192.0.2.1/24", root)
            self.assertEqual((quiet.returncode, quiet.stdout + quiet.stderr), (1, ""))

    def test_unprivileged_without_a_writable_log_directory(self):
        """An operator's account with the log directory the package makes (root's, 0750), and
        root with a read-only one: the checker comes to its verdict and writes no log."""
        os.makedirs("/var/log/varnel", mode=0o750, exist_ok=True)
        logs = lambda: {entry.name: entry.stat().st_size for entry in os.scandir("/var/log/varnel")}
        before = logs()
        accounts = [["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"],
                    ["unshare", "--mount", "--propagation", "private", "sh", "-c",
                     'mount -o ro -t tmpfs tmpfs /var/log/varnel && exec "$0" "$@"']]
        with tempfile.TemporaryDirectory() as root:
            os.chmod(root, 0o755)
            write_installation(root, "192.0.2.50")
            for account in accounts:
                with self.subTest(account=account[0]):
                    # --no-host: this sandbox has no interface to serve
                    result = run("--no-host", root, user=account)
                    # A coverage build's counters belong to root: only their complaints may show.
                    errors = [line for line in result.stderr.splitlines() if not line.startswith("profiling:")]
                    self.assertEqual((result.returncode, result.stdout.splitlines()[-1:], errors),
                                     (1, ["1 problem found"], []))
        self.assertEqual(logs(), before)

    def test_shipped_examples_pass(self):
        import yaml
        examples = os.path.join(ARGS.source, "packaging", "examples")
        # No image is shipped: stand one in for every file the examples name, read here
        # independently of the checker.
        with open(os.path.join(examples, "devices.yaml")) as f:
            devices = yaml.safe_load(f)["Devices"]
        with open(os.path.join(examples, "tavo.yaml")) as f:
            service = yaml.safe_load(f)["tavo"]
        names = {board.get("Firmware") for entry in devices for board in entry.values()
                 if board.get("SetNewFirmware")}
        names |= {target for entry in service.get("Firmwares") or [] for target in entry.values()}
        with tempfile.TemporaryDirectory() as firmware:
            for name in names:
                with open(os.path.join(firmware, name), "wb") as out:
                    out.write(b"image")
            # The examples are written for a host on 192.0.2.1/24.
            result = run("-i", "192.0.2.1/24", "-f", firmware, examples)
        self.assertEqual((result.returncode, result.stdout), (0, examples + ": no problems found\n"), result.stderr)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--source", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
