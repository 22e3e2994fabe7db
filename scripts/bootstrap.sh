#!/usr/bin/env bash
# Prepares a machine for building and testing quorvane, skipping what is already
# there: Debian packages, the .venv virtualenv on Python 3.13, its pip packages,
# and the extension built into the virtualenv. Safe to run as root without a terminal.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1

log() { printf '[bootstrap] %s\n' "$*" >&2; }

apt_packages=(g++ pkgconf libpcre2-dev libtbb-dev rapidjson-dev libabsl-dev
  libgtest-dev ninja-build cmake xz-utils python3-venv clang libclang-rt-dev)

install_debian_packages() {
  local missing=()
  for p in "${apt_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if ! command -v apt-get >/dev/null; then
    log "missing packages (${missing[*]}) and no apt-get: install them by hand"
    return 1
  fi
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  log "installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Python 3.13 from PATH when it really runs (a pyenv shim may not), else from
# pyenv's versions, else Debian's; older Pythons only as a last resort.
find_python() {
  local c
  for c in python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys, venv' >/dev/null 2>&1; then
      command -v "$c"; return 0
    fi
  done
  local root
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for c in $(ls -d "$root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r); do
    "$c" -c 'import sys, venv' >/dev/null 2>&1 && { echo "$c"; return 0; }
  done
  if command -v apt-get >/dev/null && apt-cache show python3.13-venv >/dev/null 2>&1; then
    log "installing python3.13 from Debian"
    apt-get install -y -qq python3.13 python3.13-venv python3.13-dev >/dev/null
    echo /usr/bin/python3.13; return 0
  fi
  for c in python3.12 python3.11 python3; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; assert sys.version_info >= (3, 11)' 2>/dev/null; then
      log "warning: python3.13 not found; using $("$c" -V 2>&1)"
      command -v "$c"; return 0
    fi
  done
  log "no Python 3.11 or newer found"; return 1
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys' 2>/dev/null; then
    local py; py=$(find_python)
    log "creating virtualenv with $py"
    rm -rf "$VENV"
    "$py" -m venv "$VENV"
  fi
  local req="$ROOT/scripts/requirements-dev.txt" stamp="$VENV/.requirements.sha"
  local want; want=$(sha256sum "$req" | cut -d' ' -f1)
  if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    log "installing pip requirements"
    "$VENV/bin/python" -m pip install -q --upgrade pip
    "$VENV/bin/python" -m pip install -q -r "$req"
    echo "$want" > "$stamp"
  fi
}

source_hash() {
  (cd "$ROOT" && git ls-files -co --exclude-standard -- src python CMakeLists.txt pyproject.toml \
     | grep -v '_test\.cc$' | sort | xargs sha256sum 2>/dev/null | sha256sum | cut -d' ' -f1)
}

build_extension() {
  local stamp="$VENV/.quorvane-build.sha" want; want=$(source_hash)
  if [ "$(cat "$stamp" 2>/dev/null)" = "$want" ] && "$VENV/bin/python" -c 'import quorvane._core' 2>/dev/null; then
    return 0
  fi
  log "building the extension (pip install .)"
  (cd "$ROOT" && "$VENV/bin/python" -m pip install -q --no-build-isolation --no-deps . )
  echo "$want" > "$stamp"
}

install_debian_packages
ensure_venv
export PATH="$VENV/bin:$PATH"
build_extension
