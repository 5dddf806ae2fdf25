#!/usr/bin/env bash
# Takes docs/screenshot.png: runs the built program on a virtual X display with a settings
# folder of its own (so no real account is shown), waits for its window and photographs it.
#   scripts/screenshot.sh [build-dir]   (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
build="${1:-build}"
program="$root/$build/bin/softphone"
[ -x "$program" ] || { echo "no program at $program: build it first" >&2; exit 1; }
command -v import >/dev/null || { echo "import (imagemagick) is missing: run scripts/install-deps.sh" >&2; exit 1; }

work="$(mktemp -d)"
cleanup() {
  [ -n "${phone_pid:-}" ] && kill "$phone_pid" 2>/dev/null || true
  [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A demo account, so the display shows an account and its start-up lines; its proxy's name is
# not resolvable outside the test setup, so the registration stays pending and nothing leaves
# the machine.
mkdir -p "$work/config/KYRSoftPhone"
cat > "$work/config/KYRSoftPhone/KYRSoftPhone.ini" <<'INI'
[General]
UserAccount=88001234
UserKey=demo
SIPProxyAddress=kyr
SIPProxyPort=45060
LocalIPAddress=127.0.0.1
INI

display=":$(( 90 + RANDOM % 9 ))"
Xvfb "$display" -screen 0 1024x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
  DISPLAY="$display" xwininfo -root >/dev/null 2>&1 && break
  sleep 0.1
done

DISPLAY="$display" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work" \
  QT_QPA_PLATFORM=xcb "$program" >"$work/phone.log" 2>&1 &
phone_pid=$!

# The window appears once its construction (which waits one second) is done.
window=""
for _ in $(seq 100); do
  window="$(DISPLAY="$display" xwininfo -root -tree 2>/dev/null | awk '/"SoftPhone"/ && /593x328/ {print $1; exit}')"
  [ -n "$window" ] && break
  sleep 0.1
done
[ -n "$window" ] || { echo "the window did not appear" >&2; cat "$work/phone.log" >&2; exit 1; }
sleep 0.5  # let it paint once mapped
mkdir -p docs
DISPLAY="$display" import -window "$window" docs/screenshot.png
echo "wrote docs/screenshot.png"
