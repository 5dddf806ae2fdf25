#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# Two builds: the normal one (build/), then an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the core and its tests (build-asan/). --quick skips the second.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSOFTPHONE_WERROR=ON
cmake --build build -j "$jobs"
(cd build && bash ../scripts/with-test-env.sh ctest --output-on-failure)

if [ "${1:-}" != "--quick" ]; then
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DSOFTPHONE_GUI=OFF -DSOFTPHONE_WERROR=ON \
    -DSOFTPHONE_SANITIZE=address,undefined
  cmake --build build-asan -j "$jobs"
  # The calls through the stock-routing Kamailio wait on sipp with wall-clock bounds that a
  # sanitized debug build on a loaded machine can miss, and the share of voice played over a
  # faulty network depends on the audio threads keeping the sound card's pace; they run in
  # the normal build above (the voice path itself is sanitized by the other media tests).
  (cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     bash ../scripts/with-test-env.sh ctest --output-on-failure \
       -E 'StockProxyCall|CallsOverFaultyNetwork\.LossAndJitter')
fi
