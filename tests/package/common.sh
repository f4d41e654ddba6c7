# Sourced by the package test's scripts that run inside a private network namespace. Before
# sourcing, a script sets step_prefix (what its step lines say after "== package: "),
# log_glob (the logs whose last lines a failure shows) and log_lines (how many of each).

step() { echo "== package: ${step_prefix}$*"; }
fail() {
    echo "FAILED: $*" >&2
    local log
    for log in $log_glob; do
        [ -f "$log" ] && { echo "--- $log" >&2; tail -n "$log_lines" "$log" >&2; }
    done
    exit 1
}
# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local seconds=$1
    shift
    local end=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$end" ] || return 1
        sleep 0.2
    done
}

ip link set lo up
