"""The container side of VecList next to what Python users do today:
construction from a list of Vec3d against numpy.array of the same points as
tuples, to_array() against numpy's tolist() on an (n, 3) array, repr against
joining the reprs of the points, iteration against iterating a Python list of
Vec3d, and the fixed cost of a bulk call on a short list.

Ratios are measured in one run: `python bench/bench_veclist.py`. Run it with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, which slow numpy here.
"""


import numpy as np

from lumora import Vec3d, VecList
from timing import best_seconds, interpreter, sizes_argument, table

SIZES = [100, 10_000, 1_000_000]

# (operation, lumora statement, what users do today)
ROWS = [
    ("construct", "VecList(points)", "np.array(tuples)"),
    ("to_array()", "v.to_array()", "a.tolist()"),
    ("repr", "repr(v)", "'\\n'.join(map(repr, points))"),
    ("iterate", "for p in v: pass", "for p in points: pass"),
]


def environment(n):
    rng = np.random.default_rng(3)
    a = rng.normal(size=(n, 3)) * 100.0
    tuples = [tuple(p) for p in a.tolist()]
    points = [Vec3d(*p) for p in tuples]
    return {"np": np, "VecList": VecList, "a": a, "tuples": tuples, "points": points, "v": VecList(points),
            "o": Vec3d(1.0, 2.0, 3.0)}  # fmt: skip


def main():
    sizes = sizes_argument(__doc__, SIZES)
    print(f"{interpreter()}, numpy {np.__version__}")
    table(("operation", 14), ("n", 9), ("lumora us", 12), ("today us", 12), ("today/lumora", 14))
    for n in sizes:
        env = environment(n)
        for name, ours, theirs in ROWS:
            t_ours, t_theirs = best_seconds(ours, env), best_seconds(theirs, env)
            print(f"{name:<14}{n:>9}{t_ours * 1e6:>12.1f}{t_theirs * 1e6:>12.1f}{t_theirs / t_ours:>13.1f}x")
    env = environment(100)
    for stmt in ("v * 2.0", "v.dot(o)", "v.minimum_distance_to(o, 4)"):
        print(f"fixed cost of {stmt} at n = 100: {best_seconds(stmt, env) * 1e6:.2f} us")


if __name__ == "__main__":
    main()
