#!/usr/bin/env bash
# Prepares everything the build and the tests need for one interpreter, and
# prints the path of its virtual environment's interpreter on its last line of
# output.
#
# LUMORA_PY picks the interpreter: 3.13, 3.14 or 3.15, free-threaded, or
# 3.13-gil, the default build of 3.13 (with the global interpreter lock).
# Unset, it is 3.14, or the version and build of $PYTHON when that is given;
# when 3.14 can be neither found nor fetched the others are tried, newest
# first, with a warning.
#
# 1. Find that CPython ($PYTHON, python3.Xt on the PATH for a free-threaded
#    one, or one built earlier into the per-user cache); otherwise build it
#    from Debian's source package into the cache, with --disable-gil for a
#    free-threaded one. The cache has one directory per version and build,
#    named like the interpreter: cpython-3.13t, cpython-3.13.
# 2. Install the Debian packages the build needs when they are missing.
# 3. Make that interpreter's virtual environment with the build and test tools:
#    .venv for the default, .venv-3.Xt (or .venv-3.13 for the default build)
#    for another one chosen by name.
#
# Idempotent: when everything is in place it only checks and returns.
# Exits with 3 when the interpreter can be neither found nor fetched here.
set -euo pipefail

default_version=3.14
fallback_versions="3.15 3.13"

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=debian.sh
. "$root/scripts/debian.sh"
cache=${LUMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumora}

log() { printf 'bootstrap: %s\n' "$*" >&2; }

# In the functions below, $1 is a version (3.13) and $2 its build: "t" for
# the free-threaded one, empty for the default build; "$1$2" names it.

# Whether $1 is a CPython of the version $2 and the build $3.
is_build() {
  "$1" - "$2" "$3" <<'PY' >/dev/null 2>&1
import sys, sysconfig
ok = (
    "%d.%d" % sys.version_info[:2] == sys.argv[1]
    and bool(sysconfig.get_config_var("Py_GIL_DISABLED")) == (sys.argv[2] == "t")
)
raise SystemExit(0 if ok else 1)
PY
}

# Prints the interpreter of the version $1 and the build $2 found on the
# machine. The default build is not taken from the PATH: there python3.X is
# the system's or a version manager's, usually without its headers, and
# built otherwise than the free-threaded one it is compared with.
find_python() {
  local c candidates=("${PYTHON:-}")
  [ "$2" = t ] && candidates+=("python${1}t")
  candidates+=("$cache/cpython-$1$2/bin/python$1$2")
  for c in "${candidates[@]}"; do
    [ -n "$c" ] || continue
    c=$(command -v "$c" 2>/dev/null) || continue
    if is_build "$c" "$1" "$2"; then echo "$c"; return 0; fi
  done
  return 1
}

# Sets up the work directory for CPython $1$2 and a private apt configuration
# for its source package. Each version and build has a work directory of its
# own, so builds of different ones (or other builds in the cache) never wipe
# each other's.
prepare_build() {
  local suite=unstable
  # trixie has 3.13; later versions are only in unstable.
  [ "$1" = 3.13 ] && suite=trixie
  ensure_packages "${cpython_build_packages[@]}"
  work=$cache/build-$1$2
  rm -rf "$work"
  log "fetching the python$1 source package (Debian $suite)"
  private_apt "$work" "$suite"
}

# Builds CPython $1$2 from the fetched source into the cache, with
# --disable-gil for the free-threaded build.
build_python() {
  local prefix=$cache/cpython-$1$2 orig dir free=
  [ "$2" = t ] && free=--disable-gil
  orig=$(ls "$work/src/python${1}_"*.orig.tar.xz)
  tar -C "$work/src" -xJf "$orig"
  dir=$(find "$work/src" -maxdepth 1 -type d -name "Python-$1*" | head -n 1)
  log "building CPython from $(basename "$dir") ${free:+with $free }into $prefix (a few minutes)"
  local start=$SECONDS
  (cd "$dir" && ./configure ${free:+"$free"} --prefix="$prefix" --with-ensurepip=install >"$work/configure.log" 2>&1 \
    && make -j"$(nproc)" >"$work/make.log" 2>&1 \
    && make install >"$work/install.log" 2>&1) || {
      log "CPython build failed; logs in $work"; exit 1; }
  log "built $(basename "$dir") in $((SECONDS - start)) s"
  rm -rf "$dir"
}

if [ -n "${LUMORA_PY:-}" ]; then
  candidates=$LUMORA_PY
elif [ -n "${PYTHON:-}" ]; then
  candidates=$("$PYTHON" -c 'import sys, sysconfig
print("%d.%d" % sys.version_info[:2] + ("" if sysconfig.get_config_var("Py_GIL_DISABLED") else "-gil"))')
else
  candidates="$default_version $fallback_versions"
fi
case $candidates in
  3.13 | 3.14 | 3.15 | 3.13-gil | "$default_version $fallback_versions") ;;
  *) log "CPython $candidates asked for (LUMORA_PY or PYTHON): expected 3.13, 3.14, 3.15 or 3.13-gil"; exit 2 ;;
esac
mkdir -p "$cache"
python=
for name in $candidates; do
  version=${name%-gil}
  build=t
  [ "$name" = "$version" ] || build=
  # Runs started side by side wait for one build of an interpreter rather
  # than racing to make the same directory.
  exec 8>"$cache/cpython-$version$build.lock"
  flock 8
  python=$(find_python "$version" "$build") || python=
  # A source package the archive did not serve is not asked for again for a
  # day: asking costs most of a minute, and a run calls this many times.
  unserved=$cache/cpython-$version$build.unserved
  if [ -z "$python" ] && [ -n "$(find "$unserved" -mmin -1440 2>/dev/null)" ]; then
    log "python$version: Debian's archive served no source package here today (delete $unserved to ask again)"
  elif [ -z "$python" ]; then
    prepare_build "$version" "$build"
    if fetch_source "python$version"; then
      rm -f "$unserved"
      build_python "$version" "$build"
      python=$(find_python "$version" "$build")
    else
      rm -rf "$work"
      touch "$unserved"
    fi
  fi
  exec 8>&-
  [ -z "$python" ] || break
done
if [ -z "$python" ]; then
  log "no CPython $candidates could be found or fetched"
  exit 3
fi
if [ "$name" != "${candidates%% *}" ]; then
  log "WARNING: CPython ${candidates%% *} could not be had here; using $name"
fi
if [ "$build" = t ]; then
  log "free-threaded interpreter: $python"
else
  log "interpreter (default build, with the GIL): $python"
fi

if [ -z "${LUMORA_PY:-}" ] || [ "$LUMORA_PY" = "$default_version" ]; then
  venv=${LUMORA_VENV:-$root/.venv}
else
  venv=${LUMORA_VENV:-$root/.venv-$version$build}
fi

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
  # machine does not have. The requirements name the few small C packages
  # that build from source instead.
  "$venv/bin/python" -m pip install -q --only-binary=:all: -r "$requirements" >&2
  echo "$want" >"$stamp"
fi
echo "$venv/bin/python"
