#!/usr/bin/env bash
# Prepares a machine for building and testing quorvane, skipping what is already
# there: Debian packages, the .venv virtualenv (on Python 3.13 when the machine
# has one, else the newest 3.12 or 3.11, with that interpreter's headers), its
# pip packages, and the extension built into the virtualenv. Safe to run as root
# without a terminal.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VENV="$ROOT/.venv"
export DEBIAN_FRONTEND=noninteractive PIP_DISABLE_PIP_VERSION_CHECK=1

log() { printf '[bootstrap] %s\n' "$*" >&2; }

apt_packages=(g++ libpcre2-dev libtbb-dev rapidjson-dev libabsl-dev
  libgtest-dev ninja-build cmake xz-utils clang libclang-rt-dev)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

apt_updated=""
apt_update() {
  [ -n "$apt_updated" ] && return 0
  as_root apt-get update -qq >&2
  apt_updated=1
}

apt_install() {
  apt_update
  as_root apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

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
  log "installing Debian packages: ${missing[*]}"
  apt_install "${missing[@]}"
}

# Whether "$1" runs and is Python 3.11 or newer.
usable_python() {
  "$1" -c 'import sys; assert sys.version_info >= (3, 11)' >/dev/null 2>&1
}

# Python 3.13 from PATH when it really runs (a pyenv shim may not), else from
# pyenv's versions, else Debian's (installed when Debian has it, as on Debian
# 13); otherwise the newest of 3.12 and 3.11 found, else Debian's python3
# (3.11 on Debian 12).
find_python() {
  local c
  for c in python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    if command -v "$c" >/dev/null 2>&1 && usable_python "$c"; then
      command -v "$c"; return 0
    fi
  done
  local root
  root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
  for c in $(ls -d "$root"/versions/3.13.*/bin/python3.13 2>/dev/null | sort -V -r); do
    usable_python "$c" && { echo "$c"; return 0; }
  done
  if command -v apt-get >/dev/null; then
    apt_update
    if apt-cache show python3.13 >/dev/null 2>&1; then
      log "installing python3.13 from Debian"
      apt_install python3.13
      echo /usr/bin/python3.13; return 0
    fi
  fi
  for c in python3.12 python3.11 python3; do
    if command -v "$c" >/dev/null 2>&1 && usable_python "$c"; then
      command -v "$c"; return 0
    fi
  done
  if command -v apt-get >/dev/null; then
    log "installing python3 from Debian"
    apt_install python3
    usable_python /usr/bin/python3 && { echo /usr/bin/python3; return 0; }
  fi
  log "no Python 3.11 or newer found"; return 1
}

# Makes sure the interpreter "$1" can build the extension and make a
# virtualenv: its headers (Python.h) and, for Debian's interpreters, the venv
# module with ensurepip. Debian ships both apart from the interpreter, as
# python3.X-dev and python3.X-venv; any other Python brings its own.
ensure_python_parts() {
  local py=$1 info base version include
  info=$("$py" -c 'import sys, sysconfig, os
print(os.path.realpath(getattr(sys, "_base_executable", sys.executable)))
print("%d.%d" % sys.version_info[:2])
print(sysconfig.get_path("include"))')
  { read -r base; read -r version; read -r include; } <<< "$info"
  local need=()
  [ -f "$include/Python.h" ] || need+=("python$version-dev")
  "$py" -c 'import ensurepip, venv' >/dev/null 2>&1 || need+=("python$version-venv")
  [ ${#need[@]} -eq 0 ] && return 0
  if [[ $base == /usr/bin/* ]] && command -v apt-get >/dev/null; then
    log "installing ${need[*]} for $base"
    apt_install "${need[@]}"
    return 0
  fi
  log "$base has no headers ($include/Python.h) or no venv module: install it in full"
  return 1
}

ensure_venv() {
  if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys' 2>/dev/null; then
    local py; py=$(find_python)
    ensure_python_parts "$py"
    log "creating virtualenv with $py ($("$py" -V 2>&1))"
    rm -rf "$VENV"
    "$py" -m venv "$VENV"
  else
    ensure_python_parts "$VENV/bin/python"  # headers may have gone since
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
  (cd "$ROOT" && git ls-files -co --exclude-standard -- src python cmake CMakeLists.txt pyproject.toml \
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
