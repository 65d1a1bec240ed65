"""Smoke test of an installed lumora, run from outside the source tree."""

import os
import sys
import sysconfig

import lumora
from lumora import VecList, Vec3d

# The module needs no global lock: the free-threaded build keeps it off.
free_threaded = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
assert sys._is_gil_enabled() is not free_threaded, "importing lumora turned the GIL on"
v = Vec3d(1, 2, 3)
assert repr(v.cross(Vec3d(0, 1, 0)) * 2.0) == "Vec3d(-6, 0, 2)"
assert lumora.__file__.startswith(sys.prefix), lumora.__file__
# Long enough for the worker pool to split the search.
points = VecList([Vec3d(i, 0, 0) for i in range(100_000)])
index, distance = points.minimum_distance_to(Vec3d(12345.25, 0, 0), 1)
assert (index, distance) == (12345, 0.25), (index, distance)

# The typed stubs travel with the module.
stubs = os.path.join(os.path.dirname(lumora.__file__), "lumora-stubs")
assert all(os.path.isfile(os.path.join(stubs, name)) for name in ("__init__.pyi", "geometry.pyi")), stubs

# The oneTBB runtime, outside the manylinux set, must be the copy the wheel
# carries, never the build machine's.
carried = os.path.join(os.path.dirname(lumora.__file__), "lumora.libs") + os.sep
with open("/proc/self/maps") as maps:
    loaded = {line.split()[-1] for line in maps if "libtbb" in line}
assert loaded and all(path.startswith(carried) for path in loaded), loaded
print("install smoke test passed:", lumora.__file__, *sorted(loaded))
