#!/usr/bin/env bash
# The local demo operator: Kamailio as proxy and registrar on 127.0.0.2, sipp as the echo
# number's far end on 127.0.0.3. Everything stays on loopback addresses.
#   tools/demo/operator.sh start [RUNDIR]   starts both in the background
#   tools/demo/operator.sh stop [RUNDIR]    stops them
# Settings come from the environment (defaults are the demo account's).
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
action="${1:-start}"
rundir="${2:-${DEMO_RUNDIR:-/tmp/kyr-demo-operator}}"

: "${DEMO_ACCOUNT:=1001}"
: "${DEMO_KEY:=demo-1001}"
: "${DEMO_DOMAIN:=kyr.voip.test}"
: "${DEMO_SIP_PORT:=5060}"
: "${DEMO_ECHO_NUMBER:=500}"
: "${DEMO_PROXY_IP:=127.0.0.2}"
: "${DEMO_CALLEE_IP:=127.0.0.3}"
: "${DEMO_PHONE_IP:=127.0.0.1}"
: "${DEMO_ECHO_RTP_PORT:=16000}"
# sipp cannot share a port with the phone's wildcard socket, so the echo callee uses its own.
: "${DEMO_CALLEE_PORT:=5062}"
# The echo callee answers G.729; a benchmark of a peer without it swaps in its own scenario.
: "${DEMO_ECHO_SCENARIO:=$here/echo-callee.xml}"

stop() {
  for name in kamailio echo-callee; do
    if [ -f "$rundir/$name.pid" ]; then
      kill "$(cat "$rundir/$name.pid")" 2>/dev/null || true
      rm -f "$rundir/$name.pid"
    fi
  done
}

wait_for_udp_port() {  # address port
  for _ in $(seq 1 100); do
    if ss -Hlun "src $1:$2" 2>/dev/null | grep -q .; then return 0; fi
    sleep 0.1
  done
  return 1
}

start() {
  mkdir -p "$rundir"
  stop
  sed -e "s/@PROXY_IP@/$DEMO_PROXY_IP/g" -e "s/@CALLEE_IP@/$DEMO_CALLEE_IP/g" \
      -e "s/@PHONE_IP@/$DEMO_PHONE_IP/g" -e "s/@SIP_PORT@/$DEMO_SIP_PORT/g" \
      -e "s/@DOMAIN@/$DEMO_DOMAIN/g" -e "s/@ACCOUNT@/$DEMO_ACCOUNT/g" \
      -e "s/@KEY@/$DEMO_KEY/g" -e "s/@ECHO_NUMBER@/$DEMO_ECHO_NUMBER/g" -e "s/@CALLEE_PORT@/$DEMO_CALLEE_PORT/g" \
      "$here/kamailio.cfg.in" > "$rundir/kamailio.cfg"
  kamailio -f "$rundir/kamailio.cfg" -P "$rundir/kamailio.main.pid" -w "$rundir" -E -DD \
    > "$rundir/kamailio.log" 2>&1 &
  echo $! > "$rundir/kamailio.pid"
  sipp -sf "$DEMO_ECHO_SCENARIO" -i "$DEMO_CALLEE_IP" -p "$DEMO_CALLEE_PORT" \
    -mi "$DEMO_CALLEE_IP" -mp "$DEMO_ECHO_RTP_PORT" -rtp_echo -aa -nostdin \
    -cp "${DEMO_CONTROL_PORT:-8888}" -trace_err -error_file "$rundir/echo-callee.errors" \
    > "$rundir/echo-callee.log" 2>&1 &
  echo $! > "$rundir/echo-callee.pid"
  if ! wait_for_udp_port "$DEMO_PROXY_IP" "$DEMO_SIP_PORT"; then
    echo "the demo operator (kamailio) did not start; see $rundir/kamailio.log" >&2
    stop
    exit 1
  fi
  wait_for_udp_port "$DEMO_CALLEE_IP" "$DEMO_CALLEE_PORT" || true
  echo "demo operator: proxy $DEMO_DOMAIN = $DEMO_PROXY_IP:$DEMO_SIP_PORT," \
       "account $DEMO_ACCOUNT, echo number $DEMO_ECHO_NUMBER (logs in $rundir)"
}

case "$action" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop [RUNDIR]" >&2; exit 2 ;;
esac
