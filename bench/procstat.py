"""What /proc tells about a process, for the benchmarks."""
import os

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """utime + stime of the process so far (the clock tick, usually 10 ms, is the resolution)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def memory_kib(pid):
    """{"VmRSS", "VmHWM", "Pss", ...} of the process in KiB."""
    found = {}
    for name in ("/proc/%d/status" % pid, "/proc/%d/smaps_rollup" % pid):
        with open(name) as f:
            for line in f:
                key, _, value = line.partition(":")
                if value.strip().endswith("kB"):
                    found[key] = int(value.split()[0])
    return found
