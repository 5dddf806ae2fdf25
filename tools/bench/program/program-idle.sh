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

source "$src/tools/demo/demo-session.sh"
demo_session_begin kyr-perf-idle 27060 27062 28000 8897
demo_start_operator
if [ "$qpa" = xcb ]; then
  demo_start_xvfb 140
fi
demo_start_phone "$qpa"
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
demo_find_window
demo_dial_echo_number
# Answered at once by the echo callee; give the audio streams their warm-up.
sleep 5
snapshot > "$work/call.0"; t0=$(process_ticks)
sleep "$call_seconds"
snapshot > "$work/call.1"; t1=$(process_ticks)
report "in a call to the echo number" "$call_seconds" "$work/call.0" "$work/call.1" "$t0" "$t1"
echo "VmRSS in the call: $(rss); peak $(awk '/^VmHWM/ {print $2 " " $3}' /proc/"$phone"/status)"
demo_hang_up
