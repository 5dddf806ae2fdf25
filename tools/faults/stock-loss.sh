#!/usr/bin/env bash
# Calls through the stock-routing Kamailio with signalling lost each way between the phone
# and the proxy, the four kinds of call in turn; prints one line per call and a summary.
#   bash tools/faults/stock-loss.sh [--calls N] [--loss RATIO] [--seed S] [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/../.."

calls=100 loss=0.2 seed=1 build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --calls) calls=$2; shift 2 ;;
    --loss) loss=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    *) build=$1; shift ;;
  esac
done
build=$(cd "$build" && pwd)

# Its own network namespace: only loopback, nothing leaves the machine.
unshare -n bash -c '
  ip link set lo up
  cd "$1" && shift && bash ../scripts/with-test-env.sh ./bin/stock_loss_probe "$@"' _ "$build" \
  --calls "$calls" --loss "$loss" --seed "$seed"
