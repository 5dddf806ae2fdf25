#!/usr/bin/env bash
# Runs a command beside a private PulseAudio daemon (scripts/start-pulseaudio.sh: a null sink,
# its monitor the default source), stopped afterwards: what is played comes back as capture,
# without a sound card. If the daemon cannot start, the command still runs (and its tests skip).
set -u
export XDG_RUNTIME_DIR="$(mktemp -d /tmp/softphone-pulse.XXXXXX)"
unset PULSE_SERVER
wait_for() { for _ in $(seq 50); do "$@" >/dev/null 2>&1 && return; sleep 0.1; done; }
gone() { ! pulseaudio --check; }
# The daemon leaves asynchronously: its folder goes once it is gone.
trap 'pulseaudio --kill >/dev/null 2>&1; wait_for gone; rm -rf "$XDG_RUNTIME_DIR"' EXIT
bash "$(dirname "$0")/start-pulseaudio.sh" >/dev/null 2>&1
# ALSA's PulseAudio plugin keeps allocations it never frees and is unloaded by then, so
# LeakSanitizer can neither free nor name them; memory errors are still reported.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
"$@"
