#!/usr/bin/env bash
# The built program against the local demo operator, under Xvfb, as a user would run it:
# it registers (seen from the operator's side), a call to the echo number carries G.729
# voice both ways, and the hang-up button ends it with a BYE.
#   demo_call_test.sh BUILD_BIN_DIR SOURCE_DIR
set -euo pipefail
bin="$1"
src="$2"

source "$src/tools/demo/demo-session.sh"
demo_session_begin kyr-demo-test 25060 25062 26000 8895

wait_slowly_for() {  # seconds command...: for checks that take a while themselves
  local seconds=$1; shift
  for _ in $(seq 1 "$seconds"); do "$@" && return 0; sleep 1; done
  return 1
}

demo_start_operator

tshark -i lo -f "udp and host 127.0.0.3" -w "$work/call.pcap" > /dev/null 2>&1 &
pids+=($!)
wait_for 20 test -s "$work/call.pcap" || fail "tshark did not start"

demo_start_xvfb 40
demo_start_phone xcb
echo "registered with the demo operator"

demo_find_window  # shown once its start-up pause is over: it takes input at once
demo_dial_echo_number

rtp_both_ways() {
  local to from
  to=$(tshark -r "$work/call.pcap" -Y "udp.dstport == $DEMO_ECHO_RTP_PORT && udp.length == 40" 2>/dev/null | wc -l)
  from=$(tshark -r "$work/call.pcap" -Y "udp.srcport == $DEMO_ECHO_RTP_PORT && udp.length == 40" 2>/dev/null | wc -l)
  [ "$to" -ge 50 ] && [ "$from" -ge 50 ]
}
wait_slowly_for 20 rtp_both_ways || fail "no G.729 voice both ways with the echo number"
echo "voice flows both ways with the echo number"

demo_hang_up
echo "hang-up sent BYE"
echo "1 passed, 0 failed"
