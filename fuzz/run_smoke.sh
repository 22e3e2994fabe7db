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
# Fails, rather than passing unfuzzed, when the toolchain is missing (scripts/bootstrap.sh
# installs it).
fail() { echo "fuzz smoke cannot run: $*" >&2; exit 1; }
command -v clang++ >/dev/null || fail "clang++ is missing (Debian: clang)"
mkdir -p "$BUILD"
echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
  clang++ -x c++ -fsanitize=fuzzer -o "$BUILD/probe" - 2>/dev/null ||
  fail "clang++ cannot link libFuzzer (Debian: libclang-rt-dev)"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVANE_FUZZ=ON -DQUORVANE_BUILD_TESTS=OFF >"$BUILD/build.log" 2>&1 &&
  cmake --build "$BUILD" -j "$(nproc)" >>"$BUILD/build.log" 2>&1 ||
  { tail -40 "$BUILD/build.log"; fail "the fuzz targets did not build"; }
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$ROOT/fuzz/ubsan.supp"
export ASAN_OPTIONS="detect_leaks=1"
for src in "$ROOT"/fuzz/*_fuzz.cc; do
  target=$(basename "$src" .cc)
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
