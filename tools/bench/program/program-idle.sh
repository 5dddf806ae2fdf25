#!/usr/bin/env bash
# The real program's idle cost and memory: the built softphone registered to the local demo
# operator, left alone for IDLE_SECONDS, then in a call to the echo number for CALL_SECONDS.
# Prints, from /proc, the CPU time of the whole process (utime + stime of /proc/PID/stat) and
# of each of its threads (schedstat run time and stat ticks) as % of one core, each thread's
# wake-ups per second, and VmRSS idle and in the call.
#   program-idle.sh BUILD_BIN_DIR [SOURCE_DIR]
# Environment: IDLE_SECONDS (60), CALL_SECONDS (20), SOFTPHONE_QPA (xcb under Xvfb, or
# offscreen; a call needs xcb, to click Dial).
set -euo pipefail
bin="$(cd "$1" && pwd)"
src="$(cd "${2:-$(dirname "$0")/../../..}" && pwd)"
idle_seconds="${IDLE_SECONDS:-60}"
call_seconds="${CALL_SECONDS:-20}"
qpa="${SOFTPHONE_QPA:-xcb}"

work="$(mktemp -d /tmp/kyr-perf-idle.XXXXXX)"
export XDG_CONFIG_HOME="$work/config"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# Ports of their own, so a demo or a test running on this machine is not disturbed.
export DEMO_SIP_PORT=27060 DEMO_CALLEE_PORT=27062 DEMO_ECHO_RTP_PORT=28000 DEMO_CONTROL_PORT=8897

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  bash "$src/tools/demo/operator.sh" stop "$work/operator" > /dev/null 2>&1 || true
  if [ -f "$XDG_RUNTIME_DIR/pulse/pid" ]; then kill "$(cat "$XDG_RUNTIME_DIR/pulse/pid")" 2>/dev/null || true; fi
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
wait_for() {  # seconds command...
  local seconds=$1; shift
  for _ in $(seq 1 $((seconds * 10))); do "$@" && return 0; sleep 0.1; done
  return 1
}

bash "$src/scripts/start-pulseaudio.sh" > /dev/null || fail "PulseAudio did not start"
"$bin/demo_provision" 1001 demo-1001 kyr "$DEMO_SIP_PORT" 127.0.0.1 > /dev/null
bash "$src/tools/demo/operator.sh" start "$work/operator" > /dev/null

if [ "$qpa" = xcb ]; then
  display=":$((140 + RANDOM % 40))"
  Xvfb "$display" -screen 0 800x600x24 -nolisten tcp > /dev/null 2>&1 &
  pids+=($!)
  export DISPLAY="$display"
  wait_for 10 xdpyinfo > /dev/null 2>&1 || fail "Xvfb did not start"
fi
QT_QPA_PLATFORM="$qpa" LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS="$src/tools/demo/hosts" \
  "$bin/softphone" > "$work/softphone.log" 2>&1 &
phone=$!
pids+=("$phone")

registered() { grep -q "account 1001 registered" "$work/operator/kamailio.log"; }
wait_for 15 registered || fail "the softphone did not register with the demo operator"
# The window's start-up pause and the first paint are over well before this.
sleep 5

# One line per thread: tid name run_ns ticks voluntary_switches
snapshot() {
  local task
  for task in /proc/"$phone"/task/*; do
    local tid=${task##*/} name ticks run switches
    name=$(tr ' ' '_' < "$task/comm")
    ticks=$(sed 's/.*) //' "$task/stat" | awk '{print $12 + $13}')
    run=$(awk '{print $1}' "$task/schedstat")
    switches=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$task/status")
    echo "$tid $name $run $ticks $switches"
  done
}
process_ticks() { sed 's/.*) //' /proc/"$phone"/stat | awk '{print $12 + $13}'; }
rss() { awk '/^VmRSS/ {print $2 " " $3}' /proc/"$phone"/status; }
hz=$(getconf CLK_TCK)

# Prints the process's and each thread's share of one core between two snapshots.
report() {  # title seconds before_file after_file ticks_before ticks_after
  echo "$1 (${2} s, process $phone):"
  awk -v s="$2" -v hz="$hz" -v t0="$5" -v t1="$6" '
    NR == FNR { run[$1] = $3; ticks[$1] = $4; sw[$1] = $5; next }
    ($1 in run) {
      r = ($3 - run[$1]) / 1e9 / s * 100; k = ($4 - ticks[$1]) / hz / s * 100
      w = ($5 - sw[$1]) / s
      note = (w > 150 && w < 210) ? "  <- 5 ms loop: call manager" : ""
      printf "  thread %-7s %-16s %7.3f %% (schedstat) %6.2f %% (ticks) %7.1f wake-ups/s%s\n", $1, $2, r, k, w, note
      total += r
    }
    END {
      printf "  all threads           %7.3f %% of one core (schedstat sum)\n", total
      printf "  process /proc/PID/stat utime+stime: %.3f %% of one core\n", (t1 - t0) / hz / s * 100
    }' "$3" "$4"
}

snapshot > "$work/idle.0"; t0=$(process_ticks)
sleep "$idle_seconds"
snapshot > "$work/idle.1"; t1=$(process_ticks)
report "idle, registered" "$idle_seconds" "$work/idle.0" "$work/idle.1" "$t0" "$t1"
echo "VmRSS idle: $(rss)"

if [ "$qpa" != xcb ] || [ "$call_seconds" -le 0 ]; then
  exit 0
fi
window=""
find_window() { window=$(xdotool search --onlyvisible --name '^SoftPhone$' 2>/dev/null | tail -n 1); [ -n "$window" ]; }
wait_for 10 find_window || fail "no SoftPhone window"
click() { xdotool mousemove --window "$window" "$1" "$2" click 1; }
click 150 85            # the number field
xdotool type --delay 50 500
click 360 93            # Dial
calling() { grep -q "INVITE from 1001 to the echo number" "$work/operator/kamailio.log"; }
wait_for 10 calling || fail "no INVITE reached the demo operator"
# Answered at once by the echo callee; give the audio streams their warm-up.
sleep 5
snapshot > "$work/call.0"; t0=$(process_ticks)
sleep "$call_seconds"
snapshot > "$work/call.1"; t1=$(process_ticks)
report "in a call to the echo number" "$call_seconds" "$work/call.0" "$work/call.1" "$t0" "$t1"
echo "VmRSS in the call: $(rss); peak $(awk '/^VmHWM/ {print $2 " " $3}' /proc/"$phone"/status)"
click 465 93            # hang up
hung_up() { grep -q "BYE from 1001 to the echo number" "$work/operator/kamailio.log"; }
wait_for 10 hung_up || fail "hang-up sent no BYE"
