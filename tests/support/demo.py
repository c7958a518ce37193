#!/usr/bin/python3
"""make demo: one NDX board boots from the tavo daemon, in a sandbox.

The shipped example configuration, the first example board booted by the simulator, its
timeline and the daemon's lines about it. Exit status 0 only when the board booted.
"""
import argparse
import json
import os
import re
import sys

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(ROOT, "tools"))

import tavo_sandbox as ts  # noqa: E402
from ndxsim import board, bootp  # noqa: E402

EXAMPLES = os.path.join(ROOT, "packaging", "examples")
SIMULATOR = os.path.join(ROOT, "tools", "ndx-board-sim")
FIRMWARE_SIZE = 256 * 1024


def find_tavo(build):   # a CMake build records the binary in tavo-path.txt
    try:
        with open(os.path.join(build, "tavo-path.txt")) as f:
            return f.read().strip()
    except FileNotFoundError:
        raise SystemExit("no tavo built in %s: build first" % build)


def first_board(path):   # the first example board given a new firmware
    with open(path) as f:
        for entry in yaml.safe_load(f)["Devices"]:
            for serial, b in entry.items():
                if b.get("IP") and b.get("Firmware") and b.get("SetNewFirmware"):
                    return serial, b["IP"], b["Firmware"]
    raise SystemExit("no board with SetNewFirmware in " + path)


def say(text=""):
    print(text, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="CMake build directory")
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("the demo creates network namespaces: run it as root")
    tavo = find_tavo(args.build)
    serial, address, firmware = first_board(os.path.join(EXAMPLES, "devices.yaml"))
    mac = bootp.mac_text(bootp.mac_from_serial(serial))

    say("== tavo demo: board %d (%s) boots from the daemon, in a sandbox ==" % (serial, mac))
    with ts.Sandbox(tavo, prefix="tavodemo") as sb:
        sim_board = sb.add_board(["%s/24" % address])
        for name in ("tavo.yaml", "devices.yaml", "system.yaml", "klog.cfg"):
            with open(os.path.join(EXAMPLES, name)) as f:
                sb.write_config(name, f.read())
        sb.write_sized_firmware(firmware, FIRMWARE_SIZE)
        say("host 192.0.2.1/24 on br0, board namespace with %s; firmware %s of %d bytes"
            % (address, firmware, FIRMWARE_SIZE))

        pid = sb.start_and_wait_up(servers=True)   # raises with tavo's output if it fails
        say("$ tavo start\nStarting tavo.... OK\nsystem log: " + " / ".join(sb.syslog.texts()))
        mark = sb.log_mark()

        say("\n$ ndx-board-sim --serial %d --interface eth0   (in the board's namespace)" % serial)
        sim = sim_board.exec([SIMULATOR, "--serial", str(serial), "--interface", "eth0", "--json"],
                             check=False, timeout=60)
        try:
            report = json.loads(sim.stdout)
            say(board.format_report(report))
        except ValueError:
            say("simulator failed: %s" % sim.stderr.decode(errors="replace"))
            report = {"booted": False}
        booted = report["booted"]

        # The daemon's own lines about this board: its serial, hardware address or address.
        mine = re.compile(r"\b(%d|%s|%s)\b" % (serial, re.escape(mac), re.escape(address)))
        if booted:
            sb.wait_log("Client %s tftp phase: 02 " % address, start=mark,
                        count=1 + len(board.GENERATED_FILES), timeout=5)
        say("\ndaemon log lines for this board (/var/log/varnel/tavo.log):")
        for line in sb.log_lines()[mark:]:
            if mine.search(line.text):
                say("  " + line.raw)

        # What an operator sees of it: the daemon's own table of its boards.
        table = sb.host([os.path.join(os.path.dirname(tavo), "tavoctl"), "boards"], check=False)
        say("\n$ tavoctl boards\n" + (table.stdout + table.stderr).decode(errors="replace").rstrip())

        r, status = sb.stop(pid, timeout=10)
        say("\n$ tavo stop\n" + r.stdout.rstrip() + r.stderr.rstrip())
        say("daemon exited with status %s; system log: %s" % (status, sb.syslog.texts()[-1]))
    say("\n%s" % ("Board booted." if booted else "Board did NOT boot."))
    return 0 if booted and status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
