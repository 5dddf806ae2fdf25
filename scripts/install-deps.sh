#!/usr/bin/env bash
# Installs the Debian 12 packages the softphone, its tests and its demo need.
# Only what is missing is installed; safe to run again.
set -euo pipefail

packages=(
  build-essential cmake pkg-config clang clang-format
  qt6-base-dev qt6-base-dev-tools libqt6opengl6-dev
  libssl-dev libbcg729-dev portaudio19-dev libpulse-dev libasound2-dev libjack-jackd2-dev libgtest-dev libgmock-dev
  sip-tester kamailio tshark xvfb xauth pulseaudio pulseaudio-utils libnss-wrapper
  sox imagemagick x11-utils xdotool
  libosip2-dev  # the reference the parser benchmark compares against
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  export DEBIAN_FRONTEND=noninteractive
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo_cmd debconf-set-selections
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
