#!/usr/bin/env bash
# This program beside baresip, measured in one run on the same machine and sound server: the
# local demo operator (Kamailio, a sipp echo number, a PulseAudio null sink), then each
# program in turn registered as the demo account, left idle for IDLE_SECONDS and in a call to
# the echo number for CALL_SECONDS. Prints one table: idle CPU, in-call CPU (whole process,
# every thread's run time from /proc/PID/task/*/schedstat, as % of one core), idle resident
# memory, and the time from the answer (the 200 OK reaching the program) to its first RTP
# packet, read from a capture on the loopback interface.
#   compare-baresip.sh BUILD_BIN_DIR [SOURCE_DIR]
# Environment: IDLE_SECONDS (30), CALL_SECONDS (30). Installs baresip-core if it is missing.
set -euo pipefail
bin="$(cd "$1" && pwd)"
src="$(cd "${2:-$(dirname "$0")/../../..}" && pwd)"
idle_seconds="${IDLE_SECONDS:-30}"
call_seconds="${CALL_SECONDS:-30}"

if ! command -v baresip > /dev/null; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get install -y --no-install-recommends baresip-core > /dev/null
fi

source "$src/tools/demo/demo-session.sh"
demo_session_begin kyr-bench-peer 27070 27072 28010 8898
baresip_port=27074
echo_rtp_port=$DEMO_ECHO_RTP_PORT

# Run time of every thread in ns, one "tid ns" line each; threads that start between two
# snapshots count whole, so none is missed.
thread_times() { for t in /proc/"$1"/task/*; do echo "${t##*/} $(cut -d' ' -f1 "$t/schedstat")"; done; }
cpu_share() {  # pid seconds: prints the process's share of one core over the next seconds
  local before="$work/cpu.0" after="$work/cpu.1"
  thread_times "$1" > "$before"; sleep "$2"; thread_times "$1" > "$after"
  awk -v s="$2" 'NR == FNR { t[$1] = $2; next } { sum += $2 - t[$1] }
                 END { printf "%.3f", sum / 1e9 / s * 100 }' "$before" "$after"
}
rss_mb() { awk '/^VmRSS/ { printf "%.1f", $2 / 1024 }' /proc/"$1"/status; }

registrations() { grep -c "account 1001 registered" "$work/operator/kamailio.log" || true; }

capture_start() {
  capture="$work/$1.pcapng"
  dumpcap -q -i lo -f udp -w "$capture" > /dev/null 2>&1 &
  capture_pid=$!
  wait_for 10 test -s "$capture" || fail "dumpcap did not start"
}
capture_stop() { kill "$capture_pid"; wait "$capture_pid" 2>/dev/null || true; }

# Milliseconds from the first 200 OK to the INVITE reaching 127.0.0.1 to the first RTP packet
# from 127.0.0.1 to the echo number.
answer_to_first_rtp_ms() {
  local decode=(-d "udp.port==$DEMO_SIP_PORT,sip" -d "udp.port==$baresip_port,sip")
  local answer rtp
  answer=$(tshark -r "$capture" "${decode[@]}" -T fields -e frame.time_epoch \
    -Y 'ip.dst == 127.0.0.1 && sip.Status-Code == 200 && sip.CSeq.method == "INVITE"' | head -n 1)
  rtp=$(tshark -r "$capture" -T fields -e frame.time_epoch \
    -Y "ip.src == 127.0.0.1 && udp.dstport == $echo_rtp_port" | head -n 1)
  if [ -z "$answer" ] || [ -z "$rtp" ]; then echo "n/a"; return; fi
  awk -v a="$answer" -v r="$rtp" 'BEGIN { printf "%.0f", (r - a) * 1000 }'
}

# measure NAME PID DIAL HANG_UP: fills NAME's row of the table.
declare -A idle_cpu call_cpu idle_rss first_rtp
measure() {
  local name=$1 pid=$2
  sleep 5  # start-up and the first paint are over well before this
  idle_cpu[$name]=$(cpu_share "$pid" "$idle_seconds")
  idle_rss[$name]=$(rss_mb "$pid")
  capture_start "$name"
  "$3"
  sleep 5  # the echo number answers after 1.5 s; the audio streams warm up
  call_cpu[$name]=$(cpu_share "$pid" "$call_seconds")
  "$4"
  capture_stop
  first_rtp[$name]=$(answer_to_first_rtp_ms)
}

demo_start_operator
demo_start_xvfb 180

# This program, as a user runs it: clicks on its window under Xvfb.
demo_start_phone xcb
demo_find_window
measure softphone "$phone" demo_dial_echo_number demo_hang_up
kill "$phone"; wait "$phone" 2>/dev/null || true

# baresip has no G.729: the echo number answers it with G.711 instead.
sed -e 's|RTP/AVP 18|RTP/AVP 0|' -e 's|a=rtpmap:18 G729/8000|a=rtpmap:0 PCMU/8000|' \
    -e '/a=fmtp:18/d' "$src/tools/demo/echo-callee.xml" > "$work/echo-callee-pcmu.xml"
bash "$src/tools/demo/operator.sh" stop "$work/operator" > /dev/null
DEMO_ECHO_SCENARIO="$work/echo-callee-pcmu.xml" \
  bash "$src/tools/demo/operator.sh" start "$work/operator" > /dev/null

mkdir -p "$work/baresip"
cat > "$work/baresip/config" << EOF
sip_listen 127.0.0.1:$baresip_port
audio_player portaudio,default
audio_source portaudio,default
audio_alert portaudio,default
module_path /usr/lib/baresip/modules
module stdio.so
module menu.so
module account.so
module g711.so
module portaudio.so
EOF
echo "<sip:1001@kyr.voip.test>;auth_pass=demo-1001;outbound=\"sip:127.0.0.2:$DEMO_SIP_PORT\"" \
  > "$work/baresip/accounts"
mkfifo "$work/baresip/commands"
baresip -f "$work/baresip" < "$work/baresip/commands" > "$work/baresip.log" 2>&1 &
peer=$!
pids+=("$peer")
exec 3> "$work/baresip/commands"
peer_registered() { [ "$(registrations)" -ge 1 ]; }
wait_for 15 peer_registered || fail "baresip did not register with the demo operator"
peer_dial() { echo "/dial sip:500@kyr.voip.test" >&3; }
peer_hang_up() { echo "/hangup" >&3; sleep 1; }
measure baresip "$peer" peer_dial peer_hang_up
echo "/quit" >&3

printf '\n%-34s %18s %20s\n' "same machine, same run" "softphone (G.729)" "baresip 1.0 (G.711)"
row() { printf '%-34s %18s %20s\n' "$1" "$2" "$3"; }
row "idle CPU, % of one core" "${idle_cpu[softphone]}" "${idle_cpu[baresip]}"
row "in-call CPU, % of one core" "${call_cpu[softphone]}" "${call_cpu[baresip]}"
row "idle resident memory, MB" "${idle_rss[softphone]}" "${idle_rss[baresip]}"
row "answer to first RTP packet, ms" "${first_rtp[softphone]}" "${first_rtp[baresip]}"
echo "(idle ${idle_seconds} s, call ${call_seconds} s to the echo number)"
