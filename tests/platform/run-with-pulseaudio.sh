#!/usr/bin/env bash
# Runs a command beside a private PulseAudio daemon whose only sink is a null sink at 8000 Hz
# mono, its monitor the default source: what is played comes back as capture, without a sound
# card. If the daemon cannot start, the command still runs (and its tests skip).
set -u
export XDG_RUNTIME_DIR="$(mktemp -d /tmp/softphone-pulse.XXXXXX)"
unset PULSE_SERVER
wait_for() { for _ in $(seq 50); do "$@" >/dev/null 2>&1 && return; sleep 0.1; done; }
gone() { ! pulseaudio --check; }
# The daemon leaves asynchronously: its folder goes once it is gone.
trap 'pulseaudio --kill >/dev/null 2>&1; wait_for gone; rm -rf "$XDG_RUNTIME_DIR"' EXIT
if pulseaudio -D --exit-idle-time=-1 >/dev/null 2>&1 && wait_for pactl info; then
  pactl load-module module-null-sink sink_name=vsink rate=8000 channels=1 >/dev/null
  pactl set-default-sink vsink
  pactl set-default-source vsink.monitor
fi
# ALSA's PulseAudio plugin keeps allocations it never frees and is unloaded by then, so
# LeakSanitizer can neither free nor name them; memory errors are still reported.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
"$@"
