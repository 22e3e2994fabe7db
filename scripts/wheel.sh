#!/usr/bin/env bash
# Builds a self-contained manylinux wheel of quorvane for the interpreter of
# .venv and prints its path as the last line.
#
# PCRE2 is linked from Debian's static archive; oneTBB comes from PyPI's
# tbb-devel, built for an older glibc than Debian's (the release Debian 12
# ships, 2021.8: later ones start more worker threads than a sized pool has,
# 15 for a pool of 8, which the pool tests refuse); `auditwheel repair` then
# copies the shared libraries left (oneTBB, abseil's small hash libraries) in, so
# that the extension needs nothing outside it but glibc, libstdc++, libgcc and
# libm. The build tools live in a virtualenv of their own (build/wheel/env),
# away from .venv, whose extension is built against Debian's oneTBB.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
OUT=$ROOT/build/wheel
ENV=$OUT/env
export PIP_DISABLE_PIP_VERSION_CHECK=1

log() { printf '[wheel] %s\n' "$*" >&2; }

base_python() {
  "$ROOT/.venv/bin/python" -c 'import sys; print(sys._base_executable)'
}

ensure_env() {
  local req="$ROOT/scripts/requirements-wheel.txt" stamp="$ENV/.requirements.sha"
  local want; want=$( (sha256sum "$req"; base_python) | sha256sum | cut -d' ' -f1)
  [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && return 0
  log "preparing the build tools in $ENV"
  rm -rf "$ENV"
  "$(base_python)" -m venv "$ENV"
  "$ENV/bin/python" -m pip install -q -r "$req" >&2
  echo "$want" > "$stamp"
}

ensure_env
export PATH="$ENV/bin:$PATH"
rm -rf "$OUT/raw" "$OUT/dist"
log "building"
(cd "$ROOT" && CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)} \
  "$ENV/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$OUT/raw" \
    -C build-dir="$OUT/{wheel_tag}" \
    -C cmake.define.QUORVANE_WHEEL=ON \
    -C cmake.define.QUORVANE_TBB_PREFIX="$ENV" \
    . >&2)
raw=$(ls "$OUT"/raw/quorvane-*.whl)
log "repairing $(basename "$raw")"
# auditwheel finds oneTBB through the library path; the lowest manylinux tag
# that the wheel satisfies is chosen.
LD_LIBRARY_PATH="$ENV/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" \
  "$ENV/bin/auditwheel" repair --strip -w "$OUT/dist" "$raw" >&2
ls "$OUT"/dist/quorvane-*.whl
