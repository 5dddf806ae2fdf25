#!/usr/bin/env bash
# Installs what is missing, builds, starts the local demo operator and then the softphone
# with the demo account. The operator stops when the softphone ends.
# Without a display the softphone runs under Xvfb; DEMO_SECONDS=N ends it after N seconds.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOFTPHONE_WERROR=ON > /dev/null
cmake --build build -j "$(nproc)" --target softphone KYR_Codec demo_provision

: "${DEMO_ACCOUNT:=1001}"
: "${DEMO_KEY:=demo-1001}"
export DEMO_ACCOUNT DEMO_KEY
rundir="$(mktemp -d /tmp/kyr-demo.XXXXXX)"

# The demo account goes into the settings store only when the store has no account yet.
build/bin/demo_provision "$DEMO_ACCOUNT" "$DEMO_KEY" kyr 5060 127.0.0.1

cleanup() {
  bash tools/demo/operator.sh stop "$rundir/operator" || true
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  [ -n "${pulse_started:-}" ] && pulseaudio --kill 2>/dev/null || true
}
trap cleanup EXIT
bash tools/demo/operator.sh start "$rundir/operator"

# A machine without a sound card gets a PulseAudio null sink, so the softphone has devices.
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-/tmp/kyr-pulse-runtime}"
if ! pactl info > /dev/null 2>&1; then
  if bash scripts/start-pulseaudio.sh > "$rundir/pulseaudio.log" 2>&1; then
    pulse_started=1
  fi
fi

if [ -z "${DISPLAY:-}" ]; then
  display=":$((90 + RANDOM % 9))"
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp > "$rundir/xvfb.log" 2>&1 &
  xvfb_pid=$!
  export DISPLAY="$display"
  for _ in $(seq 1 50); do xdpyinfo > /dev/null 2>&1 && break; sleep 0.1; done
  headless=1
fi

echo "starting the softphone (account $DEMO_ACCOUNT); call 500 for the echo number"
LD_PRELOAD=libnss_wrapper.so NSS_WRAPPER_HOSTS="$top/tools/demo/hosts" \
  build/bin/softphone &
phone_pid=$!

if [ -n "${headless:-}" ]; then
  sleep 3
  shot="$rundir/softphone.png"
  if import -display "$DISPLAY" -window root "$shot" 2>/dev/null; then
    echo "no display here: the softphone runs under Xvfb; screenshot written to $shot"
  fi
fi
if [ -n "${DEMO_SECONDS:-}" ]; then
  sleep "$DEMO_SECONDS"
  kill "$phone_pid" 2>/dev/null || true
fi
wait "$phone_pid" || true
