# Shared by the benchmarks that run the real daemon in a sandbox of their own. Source it first
# thing, then call enter_sandbox "$0" ARGS... before touching the network or /etc/varnel.

# Re-runs the calling script with its arguments in private network and mount namespaces
# (tests/support/sandbox_run); inside them it returns.
enter_sandbox() {
    [ "${TAVO_SANDBOXED:-}" = 1 ] || exec "$(dirname "${BASH_SOURCE[0]}")/../tests/support/sandbox_run" "$@"
}

# The configuration: 300 boards (192.0.2.2-199, 198.51.100.2-103), the given served interface
# addresses, TFTP on port 69.
write_board_config() {
    {
        echo "Devices:"
        for i in $(seq 2 199); do echo "  - $((1000 + i)): {Type: NDX, IP: 192.0.2.$i}"; done
        for i in $(seq 2 103); do echo "  - $((2000 + i)): {Type: NDX, IP: 198.51.100.$i}"; done
    } > /etc/varnel/config/devices.yaml
    local interfaces
    interfaces=$(IFS=,; echo "$*")
    printf 'tavo:\n  Interfaces: [%s]\n  tftp:\n    Port: 69\n' "$interfaces" > /etc/varnel/config/tavo.yaml
    printf 'Network: {}\n' > /etc/varnel/config/system.yaml
}

# Starts TAVO in debug mode, which runs until its standard input ends: a pipe on descriptor 3,
# held open by the calling script. Sets daemon to its pid and returns once SOCKETS sockets
# listen on port 69 (one per served interface).
start_debug_daemon() {
    local tavo=$1 sockets=${2:-1}
    exec 3> >(exec "$tavo" debug >/dev/null 2>&1)
    daemon=$!
    for _ in $(seq 100); do
        [ "$(ss -H -uln 'sport = :69' | wc -l)" -ge "$sockets" ] && return 0
        sleep 0.1
    done
    echo "the daemon did not start" >&2
    return 1
}
