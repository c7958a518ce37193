#!/bin/bash
# Side-by-side TFTP benchmark: this server (bench host running KTFTPServer) against tftpd-hpa's
# in.tftpd and atftpd, one after the other on the same address and port, with the same clients and files,
# inside a private network and mount namespace (tests/support/sandbox_run) with TEST-NET
# addresses on lo. Prints figures, asserts nothing.
#
#   bench/tftp_side_by_side.sh [BUILD-DIR]      (RUNS=5 by default; needs tftpd-hpa, atftpd, curl, atftp;
#                                               `make bench` installs them)
#   BASELINE=OTHER-BUILD-DIR bench/...          adds "tavo-base", the bench host of another build
#                                               (an earlier commit), to compare a change in one run
#
# Scenarios: one 16 MiB file by curl --tftp-no-options and by atftp; 64 boards (64 source
# addresses) fetching a 1 MiB file at once with curl. Servers: "tavo" as the daemon runs it
# (threads at real-time FIFO priority 1), "tavo-other" the same program without the right to
# real-time scheduling (its threads then run at the default policy), "hpa" and "atftpd". Per
# scenario and server: median wall time over the runs, the ratio of each peer's time to the
# server's (above 1: faster than that peer), server CPU seconds (forked processes included), the
# peak RSS of its largest process, and failed runs. atftp cannot choose its source address and
# this server answers one transfer per board address, so the 64-board case uses curl only. Then the UDP round trip of a 516-byte datagram and
# its 4-byte answer, and our single-transfer throughput as a fraction of 512 bytes per round trip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
if [ "${TAVO_SANDBOXED:-}" != 1 ]; then
    exec "$root/tests/support/sandbox_run" "$0" "$build"
fi
runs=${RUNS:-5}
host=192.0.2.1
firmware=/etc/varnel/data/am17
work=/tmp/bench
mkdir -p "$work"
# The two peers conflict as Debian packages: `make bench-deps` installs tftpd-hpa and unpacks
# atftpd into the build tree.
hpa_tftpd=${HPA_TFTPD:-$(command -v in.tftpd || true)}
"$hpa_tftpd" -V 2>&1 | grep -q tftp-hpa || { echo "no tftpd-hpa server (in.tftpd): run make bench-deps" >&2; exit 1; }
atftpd=${ATFTPD:-$build/peers/usr/sbin/atftpd}
[ -x "$atftpd" ] || { echo "no atftpd at $atftpd: run make bench-deps" >&2; exit 1; }

ip addr add $host/32 dev lo
for i in $(seq 100 163); do ip addr add 192.0.2.$i/32 dev lo; done
{
    echo "Devices:"
    echo "  - 1: {Type: NDX, IP: $host}" # atftp cannot choose its source: it sends from $host
    for i in $(seq 100 163); do echo "  - $((1000 + i)): {Type: NDX, IP: 192.0.2.$i}"; done
} > /etc/varnel/config/devices.yaml
printf 'tavo:\n  tftp:\n    Port: 69\n' > /etc/varnel/config/tavo.yaml
printf 'Network: {}\n' > /etc/varnel/config/system.yaml
head -c $((16 << 20)) /dev/urandom > $firmware/big16.bin
head -c $((1 << 20)) /dev/urandom > $firmware/mib.bin

now() { date +%s.%N; }

# The server and every process it forks (tftpd-hpa forks one per transfer) in one accounting
# group, so their CPU time is counted whether or not anybody waits for them.
cpu_group=/sys/fs/cgroup/cpuacct/tavo-bench-$$
mkdir "$cpu_group"
trap 'rmdir "$cpu_group" 2>/dev/null || true' EXIT
trap 'exit 1' INT TERM
# Run as "sh -c ... &" (not as a shell function) so that $! is the server's own process.
join_cpu_group='echo $$ > "$0/cgroup.procs" && exec "$@"'

server_pid=
servers="tavo tavo-other hpa atftpd"
baseline=
if [ -n "${BASELINE:-}" ]; then
    baseline=$(cd "$BASELINE" && pwd)/tavo_tftp_bench_host
    [ -x "$baseline" ] || { echo "no bench host at $baseline" >&2; exit 1; }
    servers="tavo tavo-base tavo-other hpa atftpd"
fi

start_server() { # $1: tavo | tavo-base | tavo-other | hpa | atftpd
    rm -f $work/server.time $work/server.out
    echo 0 > $cpu_group/cpuacct.usage
    if [ "$1" = tavo ] || [ "$1" = tavo-other ] || [ "$1" = tavo-base ]; then
        local limit=() host_program=$build/tavo_tftp_bench_host
        [ "$1" = tavo-other ] && limit=(setpriv --inh-caps=-sys_nice --bounding-set=-sys_nice)
        [ "$1" = tavo-base ] && host_program=$baseline
        rm -f $work/control && mkfifo $work/control
        sh -c "$join_cpu_group" $cpu_group /usr/bin/time -f "%M" -o $work/server.time "${limit[@]}" \
            "$host_program" $host 69 \
            < $work/control > $work/server.out 2>&1 &
        server_pid=$!
        exec 9> $work/control
        for _ in $(seq 200); do grep -q ready $work/server.out 2>/dev/null && return; sleep 0.05; done
    else
        local command=("$hpa_tftpd" --foreground --address $host:69 --user root --secure $firmware)
        [ "$1" = atftpd ] && command=("$atftpd" --daemon --no-fork --port 69 --bind-address $host --user root.root
                                      --logfile /dev/null --maxthread 100 $firmware)
        sh -c "$join_cpu_group" $cpu_group /usr/bin/time -f "%M" -o $work/server.time \
            "${command[@]}" > $work/server.out 2>&1 &
        server_pid=$!
        for _ in $(seq 200); do ss -lun | grep -q "$host:69 " && return; sleep 0.05; done
    fi
    echo "server $1 did not start" >&2; cat $work/server.out >&2; exit 1
}

stop_server() { # leaves "cpu-seconds peak-rss-kib" in $work/usage
    if pgrep -P $server_pid -x 'in.tftpd|atftpd' > $work/child; then # started by time, not by us
        kill -TERM "$(cat $work/child)"
    else
        exec 9>&-
    fi
    wait $server_pid || true
    # time's last line (a line about the terminating signal may come first): the peak RSS
    # of the largest single process
    echo "$(awk '{ printf "%.2f", $1 / 1e9 }' $cpu_group/cpuacct.usage) $(tail -1 $work/server.time)" > $work/usage
}

single_curl() {
    curl -s --tftp-no-options --interface 192.0.2.100 -o $work/out.bin tftp://$host/big16.bin
    cmp -s $work/out.bin $firmware/big16.bin
}
single_atftp() {
    atftp --get -r big16.bin -l $work/out.bin $host > /dev/null 2>&1
    cmp -s $work/out.bin $firmware/big16.bin
}
concurrent_curl() {
    local pids=() i
    for i in $(seq 100 163); do
        curl -s --tftp-no-options --interface 192.0.2.$i -o $work/c$i.bin tftp://$host/mib.bin &
        pids+=($!)
    done
    for i in "${pids[@]}"; do wait "$i"; done
    for i in $(seq 100 163); do cmp -s $work/c$i.bin $firmware/mib.bin; done
}

results=$work/results
: > $results
for run in $(seq "$runs"); do
    for scenario in single_curl single_atftp concurrent_curl; do
        for server in $servers; do
            start_server $server
            start=$(now)
            if $scenario; then ok=ok; else ok=FAILED; fi
            end=$(now)
            stop_server
            echo "$scenario $server $(echo "$end - $start" | bc -l) $(cat $work/usage) $ok" >> $results
        done
    done
done

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
field() { awk -v s="$1" -v v="$2" -v f="$3" '$1 == s && $2 == v { print $f }' $results; }

echo "per run: scenario server seconds cpu_s rss_kib result"
cat $results
echo
mib_of() { case $1 in concurrent_curl) echo 64 ;; *) echo 16 ;; esac; }
echo "runs: $runs (medians; CPU = server seconds, forked processes included; RSS = peak of its largest process)"
printf "%-16s %-11s %9s %11s %11s %8s %10s %8s %7s\n" scenario server seconds hpa/server atftpd/srv cpu_s cpu_ms/MiB rss_MiB failed
for scenario in single_curl single_atftp concurrent_curl; do
    hpa=$(field $scenario hpa 3 | median)
    atftpd=$(field $scenario atftpd 3 | median)
    for server in $servers; do
        time_s=$(field $scenario $server 3 | median)
        cpu=$(field $scenario $server 4 | median)
        printf "%-16s %-11s %9.3f %11.2f %11.2f %8.2f %10.1f %8.1f %7d\n" $scenario $server "$time_s" \
            "$(echo "$hpa / $time_s" | bc -l)" "$(echo "$atftpd / $time_s" | bc -l)" "$cpu" \
            "$(echo "$cpu * 1000 / $(mib_of $scenario)" | bc -l)" \
            "$(echo "$(field $scenario $server 5 | sort -g | tail -1) / 1024" | bc -l)" \
            "$(awk -v s=$scenario -v v=$server '$1 == s && $2 == v && $6 != "ok"' $results | wc -l)"
    done
done
# The ratios the performance goals are stated in, all from this run: CPU per MiB against the
# better peer, the 64-board time against atftpd's, and the peak RSS with 64 transfers against atftpd's.
echo
for scenario in single_curl single_atftp concurrent_curl; do
    ours=$(field $scenario tavo 4 | median)
    best=$( (field $scenario hpa 4 | median; field $scenario atftpd 4 | median) | sort -g | head -1)
    echo "$scenario: CPU per MiB, tavo / better peer = $(echo "$ours / $best" | bc -l | xargs printf %.2f)"
done
echo "concurrent_curl: atftpd time / tavo time = $(echo "$(field concurrent_curl atftpd 3 | median) / $(field concurrent_curl tavo 3 | median)" | bc -l | xargs printf %.2f)"
echo "concurrent_curl: peak RSS tavo / atftpd = $(echo "$(field concurrent_curl tavo 5 | sort -g | tail -1) / $(field concurrent_curl atftpd 5 | sort -g | tail -1)" | bc -l | xargs printf %.2f)"

read -r rtt_median rtt_mean < <("$build/tavo_udp_round_trip" $host 192.0.2.100 20000)
ours=$(field single_curl tavo 3 | median)
blocks=$(((16 << 20) / 512 + 1))
echo "UDP round trip, 516-byte datagram and 4-byte answer: median ${rtt_median} us, mean ${rtt_mean} us"
echo "16 MiB lock-step ceiling at the median round trip: $(echo "$blocks * $rtt_median / 1000000" | bc -l | xargs printf %.3f) s"
echo "ours (curl, 16 MiB) as a fraction of 512 B per round trip: $(echo "$blocks * $rtt_median / 1000000 / $ours" | bc -l | xargs printf %.2f)"
