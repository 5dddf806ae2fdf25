#!/usr/bin/env bash
# Has the demo operator call the softphone: sipp places the call through the demo proxy to
# the demo account and echoes the softphone's voice back once it is answered.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
: "${DEMO_ACCOUNT:=1001}"
exec sipp -sf "$top/tools/demo/call-phone.xml" -s "$DEMO_ACCOUNT" -i 127.0.0.3 -p 5070 \
  -mi 127.0.0.3 -mp 16100 -rtp_echo -m 1 -nostdin -cp 8890 127.0.0.2:5060
