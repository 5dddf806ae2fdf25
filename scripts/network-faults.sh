#!/usr/bin/env bash
# Calls over a faulty network: builds the fault probe and prints what the user hears and
# sees under packet loss, jitter, a proxy outage and a silent peer.
#
# Where the kernel offers it, the impairment is netem on the loopback of a namespace of our
# own (needs root, network namespaces and the sch_netem module); otherwise the probe's own
# seeded UDP relay on 127.0.0.1 does the same job in user space.
#
#   scripts/network-faults.sh [--relay] [fault_probe options...]
#     --relay   skip the netem attempt and use the user-space relay
#   BUILD_DIR   build directory (default: build-faults beside this script's repository)
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-faults}
PROBE=$BUILD/bin/fault_probe
WORK=$(mktemp -d)
NS=faults-$$
NS_MADE=0

cleanup() {
    if [ "$NS_MADE" = 1 ]; then
        ip netns del "$NS" 2>/dev/null || true
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT INT TERM

FORCE_RELAY=0
if [ "${1:-}" = "--relay" ]; then
    FORCE_RELAY=1
    shift
fi

if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -DSOFTPHONE_GUI=OFF >/dev/null
fi
cmake --build "$BUILD" -j2 --target fault_probe >/dev/null

# netem settings per case; an empty one runs the case on a clean loopback.
declare -A NETEM=(
    [loss5]="loss 5%"
    [loss20]="loss 20%"
    [jitter50]="delay 60ms 50ms"
    [proxy-outage]=""
    [rtp-stops]=""
)
CASES=(loss5 loss20 jitter50 proxy-outage rtp-stops)

# Sets up the namespace and tries one netem qdisc; on failure REASON says why. Runs in this
# shell (not a subshell) so that the trap knows about the namespace.
REASON=""
netem_available() {
    if [ "$(id -u)" != 0 ]; then
        REASON="not running as root"
        return 1
    fi
    local out
    if ! out=$(ip netns add "$NS" 2>&1); then
        REASON="cannot make a network namespace: $out"
        return 1
    fi
    NS_MADE=1
    if ! out=$(ip netns exec "$NS" ip link set lo up 2>&1); then
        REASON="cannot bring up lo in the namespace: $out"
        return 1
    fi
    if ! out=$(ip netns exec "$NS" tc qdisc add dev lo root netem loss 5% 2>&1); then
        REASON="tc netem refused: ${out//$'\n'/ } (this kernel has no sch_netem)"
        return 1
    fi
    ip netns exec "$NS" tc qdisc del dev lo root 2>/dev/null || true
    return 0
}

run_netem() {
    echo "impairment: tc netem on lo in network namespace $NS (probe talks to the far end directly)"
    local status=0 header=""
    for c in "${CASES[@]}"; do
        ip netns exec "$NS" tc qdisc del dev lo root 2>/dev/null || true
        if [ -n "${NETEM[$c]}" ]; then
            # shellcheck disable=SC2086
            ip netns exec "$NS" tc qdisc add dev lo root netem ${NETEM[$c]}
        fi
        echo "# $c: netem ${NETEM[$c]:-(none)}"
        ip netns exec "$NS" "$PROBE" --direct --workdir "$WORK" --case "$c" $header "$@" ||
            status=1
        header=--no-header
    done
    ip netns exec "$NS" tc qdisc del dev lo root 2>/dev/null || true
    return $status
}

run_relay() {
    echo "impairment: user-space relay on 127.0.0.1 (seeded loss and delay per direction)"
    "$PROBE" --workdir "$WORK" "$@"
}

if [ "$FORCE_RELAY" = 1 ]; then
    run_relay "$@"
elif netem_available; then
    run_netem "$@"
else
    echo "netem path unavailable: $REASON; falling back to the user-space relay"
    run_relay "$@"
fi
