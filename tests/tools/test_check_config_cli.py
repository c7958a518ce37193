#!/usr/bin/env python3
"""tavo-check-config as an operator runs it: arguments, directory layouts, output, exit status."""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import unittest

ARGS = None

TAVO = """tavo:
  BootP:
    RxPort: 14102
    TxPort: 14103
  Interfaces:
    - 192.0.2.1
  tftp:
    Port: 69
    AlternativePath: ~
"""

DEVICES = """Devices:
  - 1193046:
      Type: NDX-E1
      IP: 192.0.2.50
  - 1193047:
      Type: NDX-FXS
      IP: {second}
"""

SYSTEM = """Network:
  MediaServerAddress: 192.0.2.1
"""

# file:line:column: message
PROBLEM_LINE = re.compile(r"^(?P<file>[^:]+):(?P<line>\d+):(?P<col>\d+): (?P<msg>.+)$")


def run(*arguments):
    return subprocess.run([ARGS.binary, *arguments], capture_output=True, text=True, timeout=60)


def make_installation(root, second_address, exist_ok=False):
    os.makedirs(os.path.join(root, "config"), exist_ok=exist_ok)
    os.makedirs(os.path.join(root, "data", "am17"), exist_ok=exist_ok)
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
        self.assertIn("Exit status", result.stdout)
        for arguments in (["--no-such-option"], ["-i", "192.0.2.1"], ["-i", "192.0.2.1/33"], ["a", "b"],
                          ["/nonexistent-directory"]):
            with self.subTest(arguments=arguments):
                self.assertEqual(run(*arguments).returncode, 1)

    def test_installations(self):
        """A clean installation exits 0 from either directory; a problem is printed with its
        position and exits 1, silently with -q."""
        with tempfile.TemporaryDirectory() as root:
            make_installation(root, "192.0.2.51")
            for directory in (root, os.path.join(root, "config")):
                with self.subTest(directory=directory):
                    result = run("-i", "192.0.2.1/255.255.255.0", directory)
                    self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                    self.assertIn("no problems found", result.stdout)
            make_installation(root, "192.0.2.50", exist_ok=True)
            result = run("-i", "192.0.2.1/24", root)
            self.assertEqual(result.returncode, 1)
            lines = result.stdout.splitlines()
            self.assertEqual(lines[-1], "1 problem found")
            match = PROBLEM_LINE.match(lines[0])
            self.assertIsNotNone(match, lines[0])
            self.assertEqual(match["file"], os.path.join(root, "config", "devices.yaml"))
            # line 7, column 11: the second board's IP value
            self.assertEqual((match["line"], match["col"]), ("7", "11"))
            self.assertEqual(match["msg"], "board 1193047 has the address 192.0.2.50 of board 1193046")
            quiet = run("-q", "-i", "192.0.2.1/24", root)
            self.assertEqual((quiet.returncode, quiet.stdout + quiet.stderr), (1, ""))

    def test_shipped_examples_pass(self):
        examples = os.path.join(ARGS.source, "packaging", "examples")
        if not os.path.isdir(examples):
            self.skipTest("no shipped examples")
        import yaml
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
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertIn("no problems found", result.stdout)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--source", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
