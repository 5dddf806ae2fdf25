#!/usr/bin/env bash
# The long run of calls: 200 calls of every kind against sipp, in the normal build and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build, each printing its thread, descriptor
# and heap figures. Each build has its own directory (build-soak-*).
#   scripts/soak.sh [--tsan] [--calls N]
#     --tsan     also a ThreadSanitizer build
#     --calls N  N calls instead of 200
set -euo pipefail
cd "$(dirname "$0")/.."

calls=200
tsan=0
while [ $# -gt 0 ]; do
  case "$1" in
    --tsan) tsan=1 ;;
    --calls) calls="${2:?--calls needs a number}"; shift ;;
    *) echo "usage: $0 [--tsan] [--calls N]" >&2; exit 2 ;;
  esac
  shift
done

if ! command -v sipp > /dev/null; then
  echo "sipp is missing: run scripts/install-deps.sh first" >&2
  exit 1
fi

jobs=$(nproc)
failed=0

# build_and_soak NAME BUILD_TYPE SANITIZERS [ENVIRONMENT...]
build_and_soak() {
  local name="$1" type="$2" sanitize="$3"
  shift 3
  local dir="build-soak-$name"
  echo "=== $name: building $dir"
  mkdir -p "$dir"
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="$type" -DSOFTPHONE_GUI=OFF -DSOFTPHONE_WERROR=ON \
    -DSOFTPHONE_SANITIZE="$sanitize" > "$dir/soak-configure.log" 2>&1 ||
    { cat "$dir/soak-configure.log"; return 1; }
  cmake --build "$dir" -j "$jobs" --target soak_probe KYR_Codec
  echo "=== $name: $calls calls"
  (cd "$dir" && env "$@" SOFTPHONE_SOAK_CALLS="$calls" \
     bash ../scripts/with-test-env.sh ./bin/soak_probe --gtest_color=no)
}

# Without malloc's per-thread caches the heap figures are exact rather than within a few KB.
build_and_soak release RelWithDebInfo "" GLIBC_TUNABLES=glibc.malloc.tcache_count=0 || failed=1
build_and_soak asan Debug address,undefined \
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 || failed=1
if [ "$tsan" = 1 ]; then
  build_and_soak tsan Debug thread TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ||
    failed=1
fi

if [ "$failed" != 0 ]; then
  echo "=== soak FAILED" >&2
  exit 1
fi
echo "=== soak passed"
