"""The worker pool across fork(): a child forked after the pool started has
none of its threads."""

import os
import subprocess
import sys


def test_child_forked_after_the_pool_started_gets_the_same_results():
    # Deliberate: the child runs its loops on the calling thread; left to the
    # parent's pool it would wait forever for threads that do not exist.
    code = """
import os, warnings
from lumora import Vec3d, VecList
warnings.simplefilter("ignore", DeprecationWarning)
v = VecList([Vec3d(i, 1.0, -0.5 * i) for i in range(200_000)])
expected = repr(v.normalize()), v.minimum_distance_to(Vec3d(7.0, 0.0, 0.0), 16)
pid = os.fork()
if pid == 0:
    got = repr(v.normalize()), v.minimum_distance_to(Vec3d(7.0, 0.0, 0.0), 16)
    os._exit(0 if got == expected else 3)
_, status = os.waitpid(pid, 0)
raise SystemExit(os.waitstatus_to_exitcode(status))
"""
    env = {k: v for k, v in os.environ.items() if k != "RAYON_NUM_THREADS"}
    assert subprocess.run([sys.executable, "-c", code], env=env, timeout=120).returncode == 0


def test_child_of_a_process_without_a_pool_makes_its_own():
    code = """
import os, warnings
from lumora import Vec3d, VecList
warnings.simplefilter("ignore", DeprecationWarning)
v = VecList([Vec3d(i, 1.0, 2.0) for i in range(200_000)])
pid = os.fork()
if pid == 0:
    v.normalize()
    os._exit(0 if len(os.listdir("/proc/self/task")) > 1 else 3)
_, status = os.waitpid(pid, 0)
raise SystemExit(os.waitstatus_to_exitcode(status))
"""
    env = dict(os.environ, RAYON_NUM_THREADS="2")
    assert subprocess.run([sys.executable, "-c", code], env=env, timeout=120).returncode == 0
