# Sourced (not run) by scripts that drive the built program against the local demo operator
# as a user would: a private work folder with its own settings and runtime folders, ports of
# its own so that a demo running on this machine is not disturbed, and clean-up on exit.
# The caller sets bin (the built programs) and src (the source tree) first.

# demo_session_begin NAME SIP_PORT CALLEE_PORT ECHO_RTP_PORT CONTROL_PORT
demo_session_begin() {
  work="$(mktemp -d "/tmp/$1.XXXXXX")"
  export XDG_CONFIG_HOME="$work/config"
  export XDG_RUNTIME_DIR="$work/runtime"
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  export DEMO_SIP_PORT="$2" DEMO_CALLEE_PORT="$3" DEMO_ECHO_RTP_PORT="$4" DEMO_CONTROL_PORT="$5"
  pids=()
  trap demo_session_end EXIT
}

demo_session_end() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  bash "$src/tools/demo/operator.sh" stop "$work/operator" > /dev/null 2>&1 || true
  pulseaudio --kill 2> /dev/null || true  # the one of this session's runtime folder
  wait 2>/dev/null || true
  # The daemon leaves asynchronously and writes to its runtime folder on the way out: wait
  # until it is gone, or the folder may still be filling while it is removed.
  for _ in $(seq 50); do
    pulseaudio --check 2> /dev/null || break
    sleep 0.1
  done
  rm -rf "$work" || true
}

fail() { echo "FAILED: $*" >&2; tail -n 30 "$work/operator/kamailio.log" >&2 || true; exit 1; }

wait_for() {  # seconds command...
  local seconds=$1; shift
  for _ in $(seq 1 $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}

# A null sink gives the program real playback and recording devices without a sound card.
demo_start_operator() {
  bash "$src/scripts/start-pulseaudio.sh" > /dev/null || fail "PulseAudio did not start"
  "$bin/demo_provision" 1001 demo-1001 kyr "$DEMO_SIP_PORT" 127.0.0.1 > /dev/null
  bash "$src/tools/demo/operator.sh" start "$work/operator" > /dev/null
}

# demo_start_xvfb FIRST_DISPLAY: a display numbered at random from FIRST_DISPLAY on.
demo_start_xvfb() {
  local display=":$(($1 + RANDOM % 40))"
  Xvfb "$display" -screen 0 800x600x24 -nolisten tcp > /dev/null 2>&1 &
  pids+=($!)
  export DISPLAY="$display"
  wait_for 10 xdpyinfo > /dev/null 2>&1 || fail "Xvfb did not start"
}

# demo_start_phone QPA: the program in the background, its pid in phone; waits until the
# operator has registered it.
demo_start_phone() {
  QT_QPA_PLATFORM="$1" LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS="$src/tools/demo/hosts" \
    "$bin/softphone" > "$work/softphone.log" 2>&1 &
  phone=$!
  pids+=("$phone")
  registered() { grep -q "account 1001 registered" "$work/operator/kamailio.log"; }
  wait_for 15 registered || fail "the softphone did not register with the demo operator"
}

# The window's controls, in window coordinates.
demo_find_window() {
  find_window() {
    window=$(xdotool search --onlyvisible --name '^SoftPhone$' 2>/dev/null | tail -n 1)
    [ -n "$window" ]
  }
  wait_for 10 find_window || fail "no SoftPhone window"
}
demo_click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }

demo_dial_echo_number() {
  demo_click 150 85  # the number field
  xdotool type --delay 50 500
  demo_click 360 93  # Dial
  calling() { grep -q "INVITE from 1001 to the echo number" "$work/operator/kamailio.log"; }
  wait_for 10 calling || fail "no INVITE reached the demo operator"
}

demo_hang_up() {
  demo_click 465 93
  hung_up() { grep -q "BYE from 1001 to the echo number" "$work/operator/kamailio.log"; }
  wait_for 10 hung_up || fail "hang-up sent no BYE"
}
