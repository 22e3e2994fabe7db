#!/usr/bin/env bash
# Builds the extension in a build directory of its own and stages an importable
# package there, for working on the module without installing it:
#   PYTHONPATH=$(scripts/stage.sh build/dev) python -c 'import quorvane'
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$(realpath -m "${1:-$ROOT/build/dev}")
PY=${PYTHON:-$ROOT/.venv/bin/python}
[ -x "$PY" ] || PY=$(cd "$ROOT" && git rev-parse --path-format=absolute --git-common-dir)/../.venv/bin/python
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
  -DQUORVANE_BUILD_EXTENSION=ON -DQUORVANE_BUILD_TESTS=OFF -DPython_EXECUTABLE="$PY" >/dev/null
cmake --build "$BUILD" --target _core >&2
STAGE="$BUILD/stage"
mkdir -p "$STAGE/quorvane"
for f in "$ROOT"/python/quorvane/*.py; do ln -sf "$f" "$STAGE/quorvane/"; done
ln -sf "$BUILD"/_core*.so "$STAGE/quorvane/"
echo "$STAGE"
