#!/usr/bin/env bash
# Runs tests against sanitizer builds of the module. Each build has its own
# directory under build/, so the normal build is never touched.
#
#   sanitize.sh address [pytest arguments]
#       AddressSanitizer with UndefinedBehaviorSanitizer. The module is
#       instrumented, the project's free-threaded interpreter is not; the
#       runtime is preloaded. By default the whole suite, then the leak loops
#       and hostile calls again with leak detection at exit (the
#       interpreter's and numpy's own allocations suppressed).
#   sanitize.sh thread [pytest arguments]
#       ThreadSanitizer. Builds a free-threaded interpreter with
#       --with-thread-sanitizer into the per-user cache (once: CPython 3.14
#       from Debian unstable, or 3.13 from trixie where the archive does not
#       serve it; about a quarter of an hour on two busy cores), and the
#       installed oneTBB instrumented from its Debian source package (under
#       a minute), gives the interpreter its own virtual environment, builds
#       the module with -fsanitize=thread against both and runs the tests
#       that start threads.
#
# Any sanitizer report fails the run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=debian.sh
. "$root/scripts/debian.sh"
cache=${LUMORA_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumora}
supp=$root/scripts/sanitizers
mode=${1:-}
[ $# -gt 0 ] && shift
# The property tests take fewer examples under a sanitizer (tests/conftest.py).
export LUMORA_SANITIZER=$mode

# The tests that start threads, by name; not the pool's thread-count rule
# (the sanitizer has a thread of its own), the results' independence of the
# thread count (pure-Python reference loops, far too slow under it) nor the
# pace of a thread during a bulk call (a timing, on a million points).
thread_tests="(thread or being_written) and not thread_count and not threads_or_splits and not runs_during_a_bulk_call"

log() { printf 'sanitize: %s\n' "$*" >&2; }

# The project's interpreter and tools; also installs compilers and libraries.
tools=$("$root/scripts/bootstrap.sh")
tools_bin=$(dirname "$tools")

# build_module <build dir> <python> <compile and link flags> [cmake arguments]
build_module() {
  local dir=$1 python=$2 flags=$3
  shift 3
  "$tools_bin/cmake" -S "$root" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools_bin/ninja" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$python" \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" "$@" >"$dir.configure.log" \
    || { cat "$dir.configure.log" >&2; exit 1; }
  "$tools_bin/cmake" --build "$dir" >&2
}

# run_suite <python> <module dir> <pytest arguments...>: the suite imports
# the instrumented module from the build directory, ahead of the installed
# one.
run_suite() {
  local python=$1 dir=$2
  shift 2
  export PYTHONPATH=$dir${PYTHONPATH:+:$PYTHONPATH}
  "$python" -c 'import sys, lumora; sys.exit(not lumora.__file__.startswith(sys.argv[1]))' "$dir" \
    || { log "the instrumented module was not the one imported"; exit 1; }
  cd "$root"
  local rc=0
  "$python" -m pytest -p no:cacheprovider "$@" || rc=$?
  # Reports are written to files, so that none is lost in pytest's capture
  # or in a child process.
  # (A file may hold only a warning, such as a refused huge allocation that
  # the code handles.)
  local found
  found=$(grep -l -E 'ERROR: |runtime error:|WARNING: ThreadSanitizer' "$reports"/* 2>/dev/null || true)
  if [ -n "$found" ]; then
    cat $found >&2
    log "sanitizer reports above, in: $found"
    exit 1
  fi
  # pytest's 5 means no test ran, which is never a pass here.
  [ $rc -eq 0 ] || { log "pytest exited with $rc"; exit 1; }
}

# A fresh directory for the sanitizers' reports of one run.
reports_in() {
  reports=$1/reports
  rm -rf "$reports"
  mkdir -p "$reports"
}

address() {
  local dir=$root/build/asan
  mkdir -p "$dir"
  log "building the module with AddressSanitizer and UndefinedBehaviorSanitizer in $dir"
  local flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
  build_module "$dir" "$tools" "$flags"
  # The tests build the core's own C++ programs: the compiler runs without
  # the runtime (its leaks at exit are not ours), and the programs are
  # instrumented too.
  mkdir -p "$dir/bin"
  printf '#!/bin/sh\nexec env -u LD_PRELOAD g++ %s "$@"\n' "$flags" >"$dir/bin/c++"
  chmod +x "$dir/bin/c++"
  export CXX=$dir/bin/c++
  # The C++ runtime is preloaded too: the interpreter does not link it, and
  # the sanitizer's exception interceptor must find it when it starts.
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  # The interpreter has no frame pointers: allocation stacks are unwound the
  # slow way, so that reports and suppressions see every frame. A failed
  # allocation returns null as it would without the sanitizer: the code
  # handles that (a length that lies is only a hint).
  reports_in "$dir"
  export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:exitcode=99:strict_string_checks=1:check_initialization_order=1:fast_unwind_on_malloc=0:allocator_may_return_null=1:log_path=$reports/asan
  export LSAN_OPTIONS=suppressions=$supp/lsan.supp:print_suppressions=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan
  if [ $# -gt 0 ]; then
    run_suite "$tools" "$dir" "$@"
    return
  fi
  # The leak checker cannot see the interpreter's object heap, so a vector
  # buffer whose list the interpreter leaves alive at exit (it does not free
  # every object then, and leaves more after threads or many tests have run)
  # reads as a leak. Leaks are checked at the exit of a process whose objects
  # are all gone: the leak loops and the hostile calls, over every entry
  # point; the whole suite runs with every other check.
  ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 run_suite "$tools" "$dir" tests -q
  run_suite "$tools" "$dir" tests/test_leaks.py tests/test_hostile.py -q
}

# ---------------------------------------------------------------- ThreadSanitizer

# The interpreter's version: 3.14 (where ThreadSanitizer support of the
# free-threaded build is mature) from Debian unstable's source package, or
# 3.13 from trixie's when the archive does not serve the former.
tsan_python() {
  local v
  for v in 3.14 3.13; do
    if [ -x "$cache/cpython-${v}t-tsan/bin/python${v}t" ]; then
      echo "$cache/cpython-${v}t-tsan/bin/python${v}t"
      return 0
    fi
  done
  return 1
}

build_tsan_python() {
  local work=$cache/build-tsan version suite
  for version in 3.14 3.13; do
    [ $version = 3.14 ] && suite=unstable || suite=trixie
    log "fetching the python$version source package (Debian $suite)"
    private_apt "$work" $suite
    fetch_source "python$version" && break
    [ $version = 3.13 ] && exit 1
  done
  local prefix=$cache/cpython-${version}t-tsan orig dir
  orig=$(ls "$work/src/python${version}_"*.orig.tar.xz | head -n 1)
  tar -C "$work/src" -xJf "$orig"
  dir=$(find "$work/src" -maxdepth 1 -type d -name "Python-$version*" | head -n 1)
  log "building $(basename "$dir") with --disable-gil --with-thread-sanitizer into $prefix"
  local start=$SECONDS
  # The build runs the new interpreter; what it reports there is the
  # interpreter's own concern, not this project's.
  (cd "$dir" && ./configure --disable-gil --with-thread-sanitizer --with-ensurepip=no --prefix="$prefix" \
      >"$work/configure.log" 2>&1 \
    && TSAN_OPTIONS=report_bugs=0 make -j"$(nproc)" >"$work/make.log" 2>&1 \
    && TSAN_OPTIONS=report_bugs=0 make install >"$work/install.log" 2>&1) \
    || { log "CPython build failed; logs in $work"; exit 1; }
  # The interpreter's developers' list of its own known races, kept beside it.
  cp "$dir/Tools/tsan/suppressions_free_threading.txt" "$prefix/tsan-suppressions.txt"
  rm -rf "$dir"
  log "built the ThreadSanitizer interpreter in $((SECONDS - start)) s"
}

# oneTBB, instrumented, in tbb_prefix: the pool's hand-offs (a job given to
# the workers, a piece stolen, the end of a job) synchronise inside it, and
# the sanitizer sees them only in an instrumented build. Built once from
# Debian's source package of the installed version, with its patches, so it
# is the library the module is built against everywhere else.
tsan_tbb() {
  local package version codename
  package=$(dpkg-query -W -f='${source:Package}' libtbb-dev)
  version=$(dpkg-query -W -f='${source:Version}' libtbb-dev)
  tbb_prefix=$cache/$package-$version-tsan
  [ -f "$tbb_prefix/lib/cmake/TBB/TBBConfig.cmake" ] && return 0
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  log "fetching the $package $version source package (Debian $codename)"
  private_apt "$cache/build-$package-tsan" "$codename" "$codename-updates"
  fetch_source "$package" "$version" || exit 1
  (cd "$work/src" && dpkg-source -x ./*.dsc tree >"$work/unpack.log" 2>&1) \
    || { log "could not unpack $package; log in $work"; exit 1; }
  log "building $package $version with -fsanitize=thread into $tbb_prefix"
  # A minimum policy version lets newer CMake read its older build files.
  "$tools_bin/cmake" -S "$work/src/tree" -B "$work/build" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools_bin/ninja" \
    -DCMAKE_POLICY_VERSION_MINIMUM=3.5 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX="$tbb_prefix" \
    -DTBB_SANITIZE=thread -DTBB_TEST=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF -DTBB_ENABLE_IPO=OFF \
    >"$work/configure.log" 2>&1 \
    && "$tools_bin/cmake" --build "$work/build" >"$work/build.log" 2>&1 \
    && "$tools_bin/cmake" --install "$work/build" >"$work/install.log" 2>&1 \
    || { log "$package build failed; logs in $work"; exit 1; }
  rm -rf "$work"
}

thread() {
  ensure_packages "${cpython_build_packages[@]}"
  # One build of each at a time, when runs start side by side.
  mkdir -p "$cache"
  exec 9>"$cache/tsan.lock"
  flock 9
  local python
  python=$(tsan_python) || { build_tsan_python; python=$(tsan_python); }
  tsan_tbb
  exec 9>&-
  # The interpreter's developers' list of its own known races.
  mkdir -p "$root/build/tsan"
  cp "$(dirname "$(dirname "$python")")/tsan-suppressions.txt" "$root/build/tsan/suppressions.txt"
  # Setting up runs the interpreter too; only the tests' reports count.
  export TSAN_OPTIONS=report_bugs=0
  local venv=$root/build/tsan/venv dir=$root/build/tsan/module
  local want
  want="$python $(grep -E '^(pytest|hypothesis|numpy|scipy)==' "$root/scripts/requirements-dev.txt" | sha256sum | cut -c1-16)"
  if [ "$(cat "$venv/.lumora-tools" 2>/dev/null)" != "$want" ]; then
    log "making the virtual environment $venv"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    grep -E '^(pytest|hypothesis|numpy|scipy)==' "$root/scripts/requirements-dev.txt" >"$venv/requirements.txt"
    "$venv/bin/python" -m pip install -q --only-binary=:all: -r "$venv/requirements.txt" >&2
    echo "$want" >"$venv/.lumora-tools"
  fi
  mkdir -p "$dir"
  log "building the module with ThreadSanitizer in $dir"
  build_module "$dir" "$venv/bin/python" "-fsanitize=thread -fno-omit-frame-pointer" -DTBB_DIR="$tbb_prefix/lib/cmake/TBB"
  # grep reads all of ldd's output: with pipefail, a grep -q that stops at
  # the first match can fail the check by ldd's broken pipe.
  ldd "$dir"/lumora*.so | grep "$tbb_prefix/lib/libtbb" >/dev/null \
    || { log "the module does not load the instrumented oneTBB"; exit 1; }
  reports_in "$root/build/tsan"
  export TSAN_OPTIONS="suppressions=$root/build/tsan/suppressions.txt halt_on_error=0 exitcode=66 second_deadlock_stack=1 log_path=$reports/tsan"
  # The stress harness holds each class for a few seconds here, rather than
  # the suite's fraction of one.
  export LUMORA_STRESS_SECONDS=${LUMORA_STRESS_SECONDS:-3}
  [ $# -gt 0 ] || set -- tests -k "$thread_tests"
  run_suite "$venv/bin/python" "$dir" "$@"
}

case $mode in
  address) address "$@" ;;
  thread) thread "$@" ;;
  *) echo "usage: $0 address|thread [pytest arguments]" >&2; exit 2 ;;
esac
