#!/usr/bin/env bash
# Starts a PulseAudio daemon with a null sink (8000 Hz mono) as the default playback and
# recording device, for machines without a sound card. Prints the XDG_RUNTIME_DIR to use.
set -euo pipefail
: "${XDG_RUNTIME_DIR:=/tmp/kyr-pulse-runtime}"
export XDG_RUNTIME_DIR
mkdir -p "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
if ! pactl info > /dev/null 2>&1; then
  pulseaudio -D --exit-idle-time=-1 --system=false 2>/dev/null || pulseaudio -D --exit-idle-time=-1
  for _ in $(seq 1 50); do pactl info > /dev/null 2>&1 && break; sleep 0.1; done
fi
pactl list short sinks | grep -q vsink || \
  pactl load-module module-null-sink sink_name=vsink rate=8000 channels=1 > /dev/null
pactl set-default-sink vsink
pactl set-default-source vsink.monitor
echo "$XDG_RUNTIME_DIR"
