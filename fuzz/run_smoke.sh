#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each briefly on its seed
# corpus (a smoke test for CI). Longer local runs:
#   fuzz/run_smoke.sh 600       # seconds per target
# Undefined behaviour is fatal; fuzz/ubsan.supp lists the known harmless reports
# from system headers.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SECONDS_EACH=${1:-11}
BUILD="$ROOT/build/fuzz"
command -v clang++ >/dev/null || { echo "clang++ not installed; fuzz smoke skipped"; exit 0; }
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVANE_FUZZ=ON -DQUORVANE_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" >/dev/null
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$ROOT/fuzz/ubsan.supp"
export ASAN_OPTIONS="detect_leaks=1"
for target in load_fuzz encode_fuzz merge_fuzz special_fuzz decode_fuzz; do
  name=${target%_fuzz}
  seeds="$ROOT/fuzz/corpus/$name"
  work="$BUILD/corpus/$name"
  mkdir -p "$work" "$BUILD/artifacts"
  extra=()
  [ -f "$ROOT/fuzz/$name.dict" ] && extra+=("-dict=$ROOT/fuzz/$name.dict")
  out=$("$BUILD/$target" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=4096 \
        -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$name-" "${extra[@]}" \
        "$work" "$seeds" 2>&1) || { echo "$out" | tail -40; echo "$target FAILED"; exit 1; }
  runs=$(echo "$out" | grep -o 'stat::number_of_executed_units: *[0-9]*' | grep -o '[0-9]*$' || echo '?')
  echo "$target: $runs executions, no findings"
done
