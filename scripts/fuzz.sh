#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang under libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer (in build/fuzz, beside the
# other builds), then runs them.
#
#   fuzz.sh [seconds [target...]]
#       Each target (every one by default) for `seconds` (30 by default),
#       one after another, reading its stored corpus fuzz/corpus/<target>
#       first, so that a regression on a known input fails the run. New
#       inputs go to build/fuzz/corpus/<target>; an input that fails is left
#       in build/fuzz/crashes/ and fails the run. Prints one line per target:
#       executions, edges covered, inputs in the corpus.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=debian.sh
. "$root/scripts/debian.sh"
log() { printf 'fuzz: %s\n' "$*" >&2; }

seconds=${1:-30}
[ $# -gt 0 ] && shift

tools=$("$root/scripts/bootstrap.sh")
tools_bin=$(dirname "$tools")
# clang and its runtime, libFuzzer's included.
ensure_packages clang libclang-rt-dev

dir=$root/build/fuzz
mkdir -p "$dir/corpus" "$dir/crashes" "$dir/logs"
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# One build at a time, when runs start side by side.
(
  flock 9
  "$tools_bin/cmake" -S "$root" -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools_bin/ninja" \
    -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE="$tools" \
    -DLUMORA_FUZZ=ON -DCMAKE_CXX_FLAGS="$flags" >"$dir/configure.log" \
    || { cat "$dir/configure.log" >&2; exit 1; }
  "$tools_bin/cmake" --build "$dir" --target fuzz >&2
) 9>"$dir.lock"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$root"/fuzz/*.cpp "$root"/fuzz/*.py; do
    name=$(basename "$f")
    targets+=("${name%.*}")
  done
fi

# Each target on one thread: the pool's own splitting is tested elsewhere,
# and the machine is shared.
export RAYON_NUM_THREADS=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for t in "${targets[@]}"; do
  bin=$dir/fuzz/fuzz_$t
  [ -x "$bin" ] || { log "no target named $t"; exit 2; }
  options=(-max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$dir/crashes/$t-")
  [ -f "$root/fuzz/$t.dict" ] && options+=(-dict="$root/fuzz/$t.dict")
  # The interpreter frees not every object at exit, and the leak checker
  # cannot see its heap: the drivers in Python run without it (the leak
  # loops of the test suite cover the module's references).
  leaks=1
  [ -f "$root/fuzz/$t.py" ] && leaks=0
  mkdir -p "$dir/corpus/$t" "$root/fuzz/corpus/$t"
  status=0
  ASAN_OPTIONS=detect_leaks=$leaks "$bin" "${options[@]}" -detect_leaks=$leaks "$dir/corpus/$t" "$root/fuzz/corpus/$t" \
    >"$dir/logs/$t.log" 2>&1 || status=$?
  # Neither is there when an input of the stored corpus fails.
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/logs/$t.log" | tail -n 1)
  edges=$(grep -oE 'cov: [0-9]+' "$dir/logs/$t.log" | tail -n 1 | cut -d' ' -f2 || true)
  inputs=$(find "$dir/corpus/$t" "$root/fuzz/corpus/$t" -type f | wc -l)
  if [ $status -eq 0 ]; then
    log "$t: ${runs:-?} executions, ${edges:-?} edges, $inputs inputs in ${seconds} s"
  else
    tail -n 60 "$dir/logs/$t.log" >&2
    log "$t FAILED (exit $status); log in $dir/logs/$t.log, input in $dir/crashes/"
    failed+=("$t")
  fi
done
[ ${#failed[@]} -eq 0 ] || { log "failed: ${failed[*]}"; exit 1; }
