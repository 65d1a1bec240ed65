"""Bulk operations of VecList next to numpy doing the same work on an (n, 3)
float64 array; where lumora returns a Python list, numpy's result is turned
into one with .tolist(); the `out=` rows write into an array instead, against
numpy's fastest array-returning form. Streaming operations are also set against a plain
copy of the same bytes, and the pool's two threads against one.

Ratios are measured in one run: `python bench/bench_bulk.py`. Run it with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, which slow numpy here.
"""

import json
import os
import subprocess
import sys

import numpy as np

from lumora import AngleRadians, Quat, Vec3d, VecList
from timing import best_seconds, interpreter, sizes_argument, table

SIZES = [100, 10_000, 1_000_000]

# (operation, lumora statement, numpy statement, streaming?)
ROWS = [
    ("a + o", "v + o", "a + ao", True),
    ("a * s", "v * 1.5", "a * 1.5", True),
    ("a / s", "v / 1.5", "a / 1.5", True),
    ("collapse(1)", "v.collapse(1)", "c = a.copy(); c[:, 1] = 0.0", True),
    ("cross", "v.cross(o)", "np.cross(a, ao)", False),
    ("normalize", "v.normalize()", "a / np.linalg.norm(a, axis=1)[:, None]", False),
    ("rotate", "v.rotate(q)", "a @ m", False),
    ("dot", "v.dot(o)", "(a @ ao).tolist()", False),
    ("magnitude", "v.magnitude()", "np.linalg.norm(a, axis=1).tolist()", False),
    ("distance_to", "v.distance_to(o)", "np.linalg.norm(a - ao, axis=1).tolist()", False),
    ("distance_squared", "v.distance_squared(o)", "((a - ao) ** 2).sum(axis=1).tolist()", False),
    # The same results written into an array of the caller's (out=), against
    # numpy's fastest array-returning form.
    ("dot out=", "v.dot(o, out=d)", "a @ ao", False),
    ("magnitude out=", "v.magnitude(out=d)", "np.sqrt(np.einsum('ij,ij->i', a, a))", False),
    ("distance_to out=", "v.distance_to(o, out=d)", "t = a - ao; np.sqrt(np.einsum('ij,ij->i', t, t))", False),
    ("distance_squared out=", "v.distance_squared(o, out=d)", "t = a - ao; np.einsum('ij,ij->i', t, t)", False),
    ("search stride 1", "v.minimum_distance_to(o, 1)", "((a - ao) ** 2).sum(axis=1).argmin()", False),
    ("search stride 16", "v.minimum_distance_to(o, 16)", "((a - ao) ** 2).sum(axis=1).argmin()", False),
]


def environment(n):
    rng = np.random.default_rng(7)
    a = rng.normal(size=(n, 3)).cumsum(axis=0)
    q = Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(0.001))
    m = np.array(q.to_rotation_matrix())
    return {
        "np": np,
        "a": a,
        "ao": np.array([0.5, -0.25, 2.0]),
        "m": m,
        "copy_into": np.empty_like(a),
        "d": np.empty(n),
        "v": VecList([Vec3d(*p) for p in a.tolist()]),
        "o": Vec3d(0.5, -0.25, 2.0),
        "q": q,
    }


def thread_scaling(names, n):
    """Seconds per call of each row with the pool's default size and with one
    thread, each in a process of its own (the size is fixed when the pool is
    made)."""
    out = {}
    for label, threads in (("default", None), ("one", "1")):
        env = dict(os.environ)
        env.pop("RAYON_NUM_THREADS", None)
        if threads:
            env["RAYON_NUM_THREADS"] = threads
        code = f"import json, bench_bulk as b; e = b.environment({n}); " + (
            f"print(json.dumps({{r[0]: b.best_seconds(r[1], e) for r in b.ROWS if r[0] in {names!r}}}))"
        )
        res = subprocess.run([sys.executable, "-c", code], env=env, cwd=os.path.dirname(__file__),
                             capture_output=True, text=True, check=True)  # fmt: skip
        out[label] = json.loads(res.stdout)
    return out


def main():
    sizes = sizes_argument(__doc__, SIZES)
    print(f"{interpreter()}, numpy {np.__version__}")
    table(("operation", 22), ("n", 9), ("lumora us", 12), ("numpy us", 12), ("numpy/lumora", 14), ("vs copy", 9))
    for n in sizes:
        env = environment(n)
        t_copy = best_seconds("np.copyto(copy_into, a)", env)
        for name, ours, theirs, streaming in ROWS:
            t_ours = best_seconds(ours, env)
            t_theirs = best_seconds(theirs, env)
            line = f"{name:<22}{n:>9}{t_ours * 1e6:>12.1f}{t_theirs * 1e6:>12.1f}{t_theirs / t_ours:>13.1f}x"
            if streaming:
                line += f"{t_ours / t_copy:>8.2f}x"
            print(line)
        print(f"{'(copy of a)':<22}{n:>9}{t_copy * 1e6:>12.1f}")
    n = max(sizes)
    scaling = thread_scaling(["rotate", "normalize"], n)
    for name in ("rotate", "normalize"):
        one, default = scaling["one"][name], scaling["default"][name]
        print(f"{name} at n = {n}: one thread {one * 1e6:.1f} us, default pool {default * 1e6:.1f} us, "
              f"speed-up {one / default:.2f}x")  # fmt: skip


if __name__ == "__main__":
    main()
