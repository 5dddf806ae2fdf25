#!/usr/bin/env bash
# The built program against the local demo operator, under Xvfb, as a user would run it:
# it registers (seen from the operator's side), a call to the echo number carries G.729
# voice both ways, and the hang-up button ends it with a BYE.
#   demo_call_test.sh BUILD_BIN_DIR SOURCE_DIR
set -euo pipefail
bin="$1"
src="$2"

work="$(mktemp -d /tmp/kyr-demo-test.XXXXXX)"
export XDG_CONFIG_HOME="$work/config"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# Ports of their own, so a demo running on this machine is not disturbed.
export DEMO_SIP_PORT=25060 DEMO_CALLEE_PORT=25062 DEMO_ECHO_RTP_PORT=26000 DEMO_CONTROL_PORT=8895

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  bash "$src/tools/demo/operator.sh" stop "$work/operator" || true
  pulseaudio --kill 2> /dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAILED: $*" >&2; tail -n 30 "$work/operator/kamailio.log" >&2 || true; exit 1; }

wait_for() {  # seconds command...
  local seconds=$1; shift
  for _ in $(seq 1 $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}

wait_slowly_for() {  # seconds command...: for checks that take a while themselves
  local seconds=$1; shift
  for _ in $(seq 1 "$seconds"); do "$@" && return 0; sleep 1; done
  return 1
}

# A null sink gives the program real playback and recording devices without a sound card.
bash "$src/scripts/start-pulseaudio.sh" > /dev/null || fail "PulseAudio did not start"

"$bin/demo_provision" 1001 demo-1001 kyr "$DEMO_SIP_PORT" 127.0.0.1 > /dev/null
bash "$src/tools/demo/operator.sh" start "$work/operator" > /dev/null

tshark -i lo -f "udp and host 127.0.0.3" -w "$work/call.pcap" > /dev/null 2>&1 &
pids+=($!)
wait_for 20 test -s "$work/call.pcap" || fail "tshark did not start"

display=":$((40 + RANDOM % 40))"
Xvfb "$display" -screen 0 800x600x24 -nolisten tcp > /dev/null 2>&1 &
pids+=($!)
export DISPLAY="$display"
wait_for 10 xdpyinfo > /dev/null 2>&1 || fail "Xvfb did not start"

QT_QPA_PLATFORM=xcb LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS="$src/tools/demo/hosts" \
  "$bin/softphone" > "$work/softphone.log" 2>&1 &
pids+=($!)

registered() { grep -q "account 1001 registered" "$work/operator/kamailio.log"; }
wait_for 15 registered || fail "the softphone did not register with the demo operator"
echo "registered with the demo operator"

window=""
find_window() { window=$(xdotool search --onlyvisible --name '^SoftPhone$' 2>/dev/null | tail -n 1); [ -n "$window" ]; }
wait_for 10 find_window || fail "no SoftPhone window"
sleep 1.5  # the window's own start-up pause (1 s) ends before the user types

click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
click 150 85            # the number field
xdotool type --delay 50 500
click 360 93            # Dial
calling() { grep -q "INVITE from 1001 to the echo number" "$work/operator/kamailio.log"; }
wait_for 10 calling || fail "no INVITE reached the demo operator"

rtp_both_ways() {
  local to from
  to=$(tshark -r "$work/call.pcap" -Y "udp.dstport == $DEMO_ECHO_RTP_PORT && udp.length == 40" 2>/dev/null | wc -l)
  from=$(tshark -r "$work/call.pcap" -Y "udp.srcport == $DEMO_ECHO_RTP_PORT && udp.length == 40" 2>/dev/null | wc -l)
  [ "$to" -ge 50 ] && [ "$from" -ge 50 ]
}
wait_slowly_for 20 rtp_both_ways || fail "no G.729 voice both ways with the echo number"
echo "voice flows both ways with the echo number"

click 465 93            # hang up
hung_up() { grep -q "BYE from 1001 to the echo number" "$work/operator/kamailio.log"; }
wait_for 10 hung_up || fail "hang-up sent no BYE"
echo "hang-up sent BYE"
echo "1 passed, 0 failed"
