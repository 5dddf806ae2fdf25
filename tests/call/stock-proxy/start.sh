#!/usr/bin/env bash
# start.sh RUNDIR FAR_PORT [FAR_PREFIX]: the stock proxy in the foreground (it replaces this
# shell, so the caller's pid is Kamailio's) on 127.0.0.2:5060, sending numbers starting with
# FAR_PREFIX (50) to sipp on 127.0.0.3:FAR_PORT; the account is 1001 with the key "secret".
set -euo pipefail
mkdir -p "$1"
sed -e "s/@PROXY_IP@/127.0.0.2/g" -e "s/@SIP_PORT@/5060/g" -e "s/@FAR_IP@/127.0.0.3/g" \
    -e "s/@FAR_PORT@/$2/g" -e "s/@FAR_NUMBER@/${3:-50}/g" -e "s/@REALM@/stock.test/g" \
    -e "s/@ACCOUNT@/1001/g" -e "s/@PASSWORD@/secret/g" \
    "$(dirname "$0")/kamailio.cfg.in" > "$1/kamailio.cfg"
rm -f "$1/kamailio.pid"  # one left by a killed run would stop this one from starting
exec kamailio -f "$1/kamailio.cfg" -P "$1/kamailio.pid" -w "$1" -E -DD
