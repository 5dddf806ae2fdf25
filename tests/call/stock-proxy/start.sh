#!/usr/bin/env bash
# Runs the stock proxy in the foreground (it replaces this shell, so the caller's pid is
# Kamailio's):  start.sh RUNDIR FAR_PORT [FAR_NUMBER]
# It listens on 127.0.0.2:5060 and sends the far-end number to sipp on 127.0.0.3:FAR_PORT;
# the account is 1001 with the key "secret".
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
rundir="$1"
mkdir -p "$rundir"
sed -e "s/@PROXY_IP@/127.0.0.2/g" -e "s/@SIP_PORT@/5060/g" -e "s/@FAR_IP@/127.0.0.3/g" \
    -e "s/@FAR_PORT@/$2/g" -e "s/@FAR_NUMBER@/${3:-4321}/g" -e "s/@REALM@/stock.test/g" \
    -e "s/@ACCOUNT@/1001/g" -e "s/@PASSWORD@/secret/g" \
    "$here/kamailio.cfg.in" > "$rundir/kamailio.cfg"
# A pid file left by a run that was killed would stop this one from starting.
rm -f "$rundir/kamailio.pid"
exec kamailio -f "$rundir/kamailio.cfg" -P "$rundir/kamailio.pid" -w "$rundir" -E -DD
