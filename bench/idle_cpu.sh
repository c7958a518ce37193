#!/bin/bash
# What the daemon costs while nothing happens: CPU time, wake-ups per second and memory over a
# quiet period, with 300 boards in devices.yaml and two served interfaces, after the servers are up.
# Runs the given tavo binary in debug mode inside a private network and mount namespace
# (tests/support/sandbox_run), on veth pairs with TEST-NET addresses.
#
#   bench/idle_cpu.sh TAVO-BINARY [SECONDS]      (SECONDS=60 by default)
#
# CPU is utime + stime from /proc/PID/stat; wake-ups are the voluntary and involuntary context
# switches of every thread (/proc/PID/task/*/status), which count each time a thread was put
# to sleep or preempted, i.e. once per wake-up. Threads that come and go during the period
# (none should) are reported. Prints figures, asserts nothing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/bench/daemon_setup.sh"
: "${1:?usage: $0 TAVO-BINARY [SECONDS]}"
enter_sandbox "$0" "$(readlink -f "$1")" "${2:-60}"
tavo=$1 seconds=$2

for n in 0 1; do
    ip link add ti$n type veth peer name tj$n
    ip link set tj$n up
    ip link set ti$n up
done
ip addr add 192.0.2.1/24 brd + dev ti0
ip addr add 198.51.100.1/24 brd + dev ti1

write_board_config 192.0.2.1 198.51.100.1

start_debug_daemon "$tavo" 2
sleep 2   # the start's own work (settle pauses, first log lines) is not idle time

PYTHONPATH="$root/bench" python3 - "$daemon" "$seconds" <<'EOF'
import glob, sys, time
from procstat import cpu_seconds, memory_kib

pid, seconds = int(sys.argv[1]), float(sys.argv[2])


def cpu():
    return cpu_seconds(pid)


def switches():
    """{thread id: context switches so far}"""
    seen = {}
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        try:
            with open(status) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
        except FileNotFoundError:   # the thread ended meanwhile
            continue
        tid = int(status.split("/")[4])
        seen[tid] = int(fields["voluntary_ctxt_switches"]) + int(fields["nonvoluntary_ctxt_switches"])
    return seen


cpu_before, before, start = cpu(), switches(), time.monotonic()
time.sleep(seconds)
cpu_after, after, elapsed = cpu(), switches(), time.monotonic() - start
common = before.keys() & after.keys()
per_thread = sorted(((after[t] - before[t]) / elapsed for t in common), reverse=True)
print("idle %.0f s, %d threads: CPU %.3f s (%.3f %% of one core), %.1f wake-ups/s"
      % (elapsed, len(common), cpu_after - cpu_before, 100 * (cpu_after - cpu_before) / elapsed,
         sum(per_thread)))
print("wake-ups/s per thread, busiest first: " + ", ".join("%.1f" % w for w in per_thread))
memory = memory_kib(pid)
print("memory: RSS %.1f MiB, PSS %.1f MiB, peak RSS %.1f MiB"
      % (memory["VmRSS"] / 1024, memory["Pss"] / 1024, memory["VmHWM"] / 1024))
if before.keys() != after.keys():
    print("threads started %d, ended %d during the period"
          % (len(after.keys() - before.keys()), len(before.keys() - after.keys())))
EOF
exec 3>&-
