#!/usr/bin/env bash
# Builds every libFuzzer target (*_fuzzer) with clang and runs each for SECONDS (default 60)
# from its seed corpus tools/fuzz/<name without _fuzzer>/corpus. The corpus is copied to a
# temporary folder first, so new inputs found by a run never land in the source tree.
# Fails when a fuzzer crashes or a sanitizer reports anything.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
build=${root}/build-fuzz

# Every library is instrumented for coverage and the sanitizers; only the fuzz targets link
# libFuzzer's main.
CC=clang CXX=clang++ cmake -S "$root" -B "$build" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSOFTPHONE_FUZZ=ON -DSOFTPHONE_GUI=OFF -DSOFTPHONE_TESTS=OFF -DSOFTPHONE_WERROR=ON \
  -DSOFTPHONE_SANITIZE=address,undefined \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link \
  -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link

targets=$(cmake --build "$build" --target help | sed -n 's/^\.\.\. \([A-Za-z0-9_]*_fuzzer\)\b.*/\1/p' | sort -u)
if [ -z "$targets" ]; then
  echo "fuzz.sh: no *_fuzzer targets found" >&2
  exit 1
fi
# shellcheck disable=SC2086
cmake --build "$build" -j "$(nproc)" --target $targets

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

failed=0
for fuzzer in "$build"/bin/*_fuzzer; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  seeds=${root}/tools/fuzz/${name%_fuzzer}/corpus
  corpus=${work}/${name}/corpus
  artifacts=${work}/${name}/artifacts/
  mkdir -p "$corpus" "$artifacts"
  if [ -d "$seeds" ]; then
    cp -r "$seeds"/. "$corpus"/
  else
    echo "fuzz.sh: $name has no seed corpus at $seeds; starting empty" >&2
  fi
  echo "== $name for ${seconds}s"
  if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$artifacts" "$corpus" 2>"${work}/${name}.log"; then
    tail -n 60 "${work}/${name}.log" >&2
    mkdir -p "${build}/fuzz-artifacts/${name}"
    cp -r "$artifacts"/. "${build}/fuzz-artifacts/${name}/" 2>/dev/null || true
    echo "fuzz.sh: $name FAILED (inputs kept in ${build}/fuzz-artifacts/${name})" >&2
    failed=1
    continue
  fi
  if grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|UndefinedBehaviorSanitizer)|runtime error:' \
       "${work}/${name}.log"; then
    grep -E -A20 'ERROR:|runtime error:' "${work}/${name}.log" | head -n 60 >&2
    echo "fuzz.sh: $name reported a sanitizer error" >&2
    failed=1
    continue
  fi
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::new_units_added)' \
    "${work}/${name}.log" || true
  echo "== $name passed"
done
exit "$failed"
