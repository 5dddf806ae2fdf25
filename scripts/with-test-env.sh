#!/usr/bin/env bash
# Runs a command with what the tests need around them: the demo operator's host names
# mapped to loopback addresses (libnss-wrapper, no system file is touched) and Qt without
# a display.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
export NSS_WRAPPER_HOSTS="$here/../tools/demo/hosts"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
exec "$@"
