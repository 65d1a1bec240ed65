"""The worker pool across fork() (a child forked after the pool started has
none of its threads), and beside other users of oneTBB in the process."""

import os
import pathlib
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


def test_another_onetbb_user_keeps_its_parallelism(tmp_path):
    # oneTBB's thread limit is process-wide and the lowest setting wins: a
    # pool of one thread must not hold another library to two.
    lib = tmp_path / "onetbb_user.so"
    source = pathlib.Path(__file__).with_name("onetbb_user.cpp")
    flags = ["-std=c++20", "-O2", "-shared", "-fPIC", "-Wall", "-Wextra", "-Werror"]
    subprocess.run([os.environ.get("CXX", "c++"), *flags, str(source), "-o", str(lib), "-ltbb"], check=True)
    code = f"""
import ctypes, os
from lumora import Vec3d, VecList
VecList([Vec3d(1.0, 2.0, 3.0)] * 100_000).normalize()
assert len(os.listdir("/proc/self/task")) > 1, "the pool did not start"
print(ctypes.CDLL({str(lib)!r}).peak_parallelism(4))
"""
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True, timeout=120)
    assert out.stdout == "4\n"
