#!/usr/bin/env bash
# Sets up the interpreter and tools, builds and installs lumora into the
# project's virtual environment, then runs the interpreter with the given
# arguments.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=$("$root/scripts/bootstrap.sh")
# One build at a time per interpreter: runs started side by side share its
# build directory.
(
  flock 9
  "$python" -m pip install -q --no-build-isolation --no-deps "$root" 2> >(grep -v '^WARNING: Location' >&2) >&2
) 9>"${python%/bin/python}/.build-lock" || { echo "run: lumora did not build or install" >&2; exit 1; }
cd "$root"
exec "$python" "$@"
