"""Smoke test of an installed lumora, run from outside the source tree."""

import os
import sys

import lumora
from lumora import Vec3d

assert not sys._is_gil_enabled(), "importing lumora turned the GIL on"
v = Vec3d(1, 2, 3)
assert repr(v.cross(Vec3d(0, 1, 0)) * 2.0) == "Vec3d(-6, 0, 2)"
assert lumora.__file__.startswith(sys.prefix), lumora.__file__

# A shared library the module needs outside the manylinux set must come from
# the copy the wheel carries, never from the build machine.
carried = os.path.join(os.path.dirname(lumora.__file__), "lumora.libs") + os.sep
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "libtbb" in line}
assert all(path.startswith(carried) for path in loaded), loaded
print("install smoke test passed:", lumora.__file__, *sorted(loaded))
