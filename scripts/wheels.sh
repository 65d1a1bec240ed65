#!/usr/bin/env bash
# Builds one wheel per interpreter into dist/, repaired so that the shared
# libraries it needs outside the manylinux set (the oneTBB runtime) travel
# inside it, under the manylinux tag this machine's glibc allows.
#
# LUMORA_WHEEL_PYS lists the interpreters as LUMORA_PY names them (default:
# 3.13 3.13-gil 3.14 3.15; 3.13-gil is the default build, whose wheel is
# cp313-cp313 beside the free-threaded cp313-cp313t). One that can be
# neither found nor fetched here is left out with a warning; the script then
# exits with 3 once the others are built.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
mkdir -p dist build/wheels
missing=()
for name in ${LUMORA_WHEEL_PYS:-3.13 3.13-gil 3.14 3.15}; do
  status=0
  python=$(LUMORA_PY=$name scripts/bootstrap.sh) || status=$?
  if [ $status -eq 3 ]; then
    missing+=("$name")
    continue
  fi
  [ $status -eq 0 ] || exit $status
  venv=${python%/bin/python}
  raw=build/wheels/$name
  rm -rf "$raw"
  # The interpreter's own tools build it (no isolated build environment to
  # fetch), in the same build directory as the development installs.
  (
    flock 9
    "$python" -m pip wheel -q --no-deps --no-build-isolation -w "$raw" . 2> >(grep -v '^WARNING: Location' >&2) >&2
  ) 9>"$venv/.build-lock"
  # The interpreter and ABI tags: cp313-cp313t, or cp313-cp313 for the default build.
  tags=$("$python" -c 'import sys, sysconfig
tag = "cp%d%d" % sys.version_info[:2]
print(tag + "-" + tag + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
  rm -f dist/lumora-*-"$tags"-*.whl
  PATH=$venv/bin:$PATH "$venv/bin/auditwheel" repair -w dist "$raw"/lumora-*.whl >&2
done
ls dist/lumora-*.whl
if [ ${#missing[@]} -gt 0 ]; then
  echo "wheels: no wheel for CPython ${missing[*]}: the interpreter could not be had here" >&2
  exit 3
fi
