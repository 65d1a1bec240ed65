#!/usr/bin/env bash
# Prepares everything the build and the tests need, and prints the path of the
# virtual environment's interpreter on its last line of output.
#
# 1. Find a free-threaded CPython >= 3.13 ($PYTHON, python3.14t, python3.13t,
#    or one built earlier into the per-user cache); otherwise build CPython
#    3.13 with --disable-gil from Debian's source package into that cache.
# 2. Install the Debian packages the build needs when they are missing.
# 3. Make the project's virtual environment with the build and test tools.
#
# Idempotent: when everything is in place it only checks and returns.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${LUMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumora}
prefix=$cache/cpython-3.13t
venv=${LUMORA_VENV:-$root/.venv}

log() { printf 'bootstrap: %s\n' "$*" >&2; }

is_free_threaded() {
  "$1" - <<'PY' >/dev/null 2>&1
import sys, sysconfig
ok = sys.version_info >= (3, 13) and sysconfig.get_config_var("Py_GIL_DISABLED") == 1
raise SystemExit(0 if ok else 1)
PY
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"
  elif command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then sudo "$@"
  else
    log "need root to run: $*"
    log "install these Debian packages by hand and run again: ${missing[*]}"
    exit 1
  fi
}

apt_updated=0
ensure_packages() {
  missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  log "installing Debian packages: ${missing[*]}"
  if [ $apt_updated -eq 0 ]; then as_root apt-get update -qq; apt_updated=1; fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
}

find_python() {
  local c
  for c in "${PYTHON:-}" python3.14t python3.13t "$prefix/bin/python3.13t"; do
    [ -n "$c" ] || continue
    c=$(command -v "$c" 2>/dev/null) || continue
    if is_free_threaded "$c"; then echo "$c"; return 0; fi
  done
  return 1
}

# The archive address the system's own apt sources use, so the private
# configuration reaches the same mirror (or proxy) as apt itself.
debian_mirror() {
  local m
  m=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null \
    | sed -nE -e 's/^URIs:[[:space:]]*//p' -e 's/^deb[[:space:]]+(\[[^]]*\][[:space:]]+)?//p' \
    | grep -oE '^https?://[^ ]+' | grep -v security | head -n 1 || true)
  echo "${m:-http://deb.debian.org/debian}"
}

build_python() {
  ensure_packages build-essential dpkg-dev xz-utils pkg-config libssl-dev zlib1g-dev \
    libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev uuid-dev gpgv
  local work=$cache/build
  rm -rf "$work"
  mkdir -p "$work/apt/lists/partial" "$work/apt/archives/partial" "$work/src"
  local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
  printf 'deb-src [signed-by=%s] %s trixie main\n' "$keyring" "$(debian_mirror)" >"$work/apt/sources.list"
  local opts=(
    -o "Dir::Etc::SourceList=$work/apt/sources.list"
    -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State::Lists=$work/apt/lists"
    -o "Dir::Cache=$work/apt"
    -o "Dir::Cache::Archives=$work/apt/archives"
    -o "APT::Sandbox::User=root"
  )
  log "fetching the python3.13 source package (Debian trixie)"
  apt-get "${opts[@]}" update -qq >&2
  (cd "$work/src" && apt-get "${opts[@]}" source --download-only python3.13 >&2)
  local orig
  orig=$(ls "$work/src"/python3.13_*.orig.tar.xz | head -n 1)
  tar -C "$work/src" -xJf "$orig"
  local dir
  dir=$(find "$work/src" -maxdepth 1 -type d -name 'Python-3.13*' | head -n 1)
  log "building CPython from $(basename "$dir") with --disable-gil into $prefix (a few minutes)"
  (cd "$dir" && ./configure --disable-gil --prefix="$prefix" --with-ensurepip=install >"$work/configure.log" 2>&1 \
    && make -j"$(nproc)" >"$work/make.log" 2>&1 \
    && make install >"$work/install.log" 2>&1) || {
      log "CPython build failed; logs in $work"; exit 1; }
  rm -rf "$dir"
}

python=$(find_python) || { build_python; python=$(find_python); }
log "free-threaded interpreter: $python"

ensure_packages g++ libtbb-dev

# The stamp records what the environment was made from, so a new interpreter
# or a changed list of tools makes it again.
stamp=$venv/.lumora-tools
requirements=$root/scripts/requirements-dev.txt
want="$python $(sha256sum "$requirements" | cut -d' ' -f1)"
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
  log "making the virtual environment $venv"
  rm -rf "$venv"
  "$python" -m venv "$venv"
  # Binary wheels only: a source build of a tool may need a network this
  # machine does not have.
  "$venv/bin/python" -m pip install -q --only-binary=:all: -r "$requirements" >&2
  echo "$want" >"$stamp"
fi
echo "$venv/bin/python"
