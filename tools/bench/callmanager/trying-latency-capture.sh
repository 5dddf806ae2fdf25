#!/usr/bin/env bash
# The delay from an INVITE on the wire to the phone's 100 Trying on the wire, from capture
# timestamps on the loopback interface (tshark), while trying_latency_bench runs; the
# bench's own figures (steady clock at the sender) are printed as well.
#   trying-latency-capture.sh BUILD_BIN_DIR [SAMPLES]
set -euo pipefail
bin="$(cd "$1" && pwd)"
samples="${2:-1000}"
work="$(mktemp -d /tmp/kyr-perf-trying.XXXXXX)"
capture=""
cleanup() {
  [ -n "$capture" ] && kill "$capture" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

tshark -i lo -f "udp and src host 127.0.0.1 and dst host 127.0.0.1" -w "$work/trying.pcap" \
  > /dev/null 2>&1 &
capture=$!
for _ in $(seq 1 200); do [ -s "$work/trying.pcap" ] && break; sleep 0.1; done
[ -s "$work/trying.pcap" ] || { echo "tshark did not start" >&2; exit 1; }

"$bin/trying_latency_bench" "$samples"
sleep 1
kill "$capture"; wait "$capture" 2>/dev/null || true; capture=""

# SIP is found on any UDP port by tshark's heuristic dissector.
tshark -r "$work/trying.pcap" -Y 'sip.Call-ID contains "trying-bench-"' \
  -T fields -e frame.time_epoch -e sip.Call-ID -e sip.Method -e sip.Status-Code 2>/dev/null |
awk -F'\t' '
  $3 == "INVITE" { sent[$2] = $1 }
  $4 == "100" && ($2 in sent) && !($2 in done) { print ($1 - sent[$2]) * 1000; done[$2] = 1 }
' | sort -n > "$work/delays"
count=$(wc -l < "$work/delays")
[ "$count" -gt 1 ] || { echo "no INVITE and 100 Trying pairs in the capture" >&2; exit 1; }
awk -v n="$count" '
  { d[NR] = $1; sum += $1 }
  END {
    printf "INVITE to 100 Trying on the wire (tshark capture timestamps on lo), %d samples:\n", n
    printf "  min %.3f ms, median %.3f ms, mean %.3f ms, p99 %.3f ms, max %.3f ms\n",
      d[1], d[int((n - 1) * 0.5) + 1], sum / n, d[int((n - 1) * 0.99) + 1], d[n]
  }' "$work/delays"
