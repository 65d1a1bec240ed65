"""The spatial index against scipy's cKDTree on the same points in one run:
building, nearest, 8- and 20-nearest for a batch of queries, radius
queries, the memory an index takes per point, and the point-cloud job a
user runs (centre, rotate and translate as one rigid motion, bounding box,
nearest queries, radius, filter, back to numpy) against the same job in
numpy and scipy.

Ratios are measured in one run: `python bench/bench_index.py`. Run it with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, which slow numpy here.
"""

import ctypes
import gc

import numpy as np
from scipy.spatial import cKDTree

from lumora import AngleRadians, PointIndex, Quat, RigidTransform, Vec3d, VecList
from timing import best_seconds, interpreter, sizes_argument, table

SIZES = [1_000_000]
QUERIES = 100_000
BALL_QUERIES = 10_000
JOB_QUERIES = 1_000

# (operation, lumora statement, scipy statement, goal as the least
# scipy/lumora ratio)
ROWS = [
    ("build", "PointIndex(a)", "cKDTree(a)", 2.0),
    ("nearest_each k=1", "index.nearest_each(qs, indices=i1, distances=d1)", "tree.query(qs, workers=-1)", 2.0),
    ("k_nearest_each k=8", "index.k_nearest_each(qs, 8, indices=i8, distances=d8)", "tree.query(qs, 8, workers=-1)",
     2.0),
    ("k_nearest_each k=20", "index.k_nearest_each(qs, 20, indices=i20, distances=d20)",
     "tree.query(qs, 20, workers=-1)", 2.0),
    ("within_each 10^4", "index.within_each(bs, r)", "tree.query_ball_point(bs, r, workers=-1)", 1.5),
]  # fmt: skip

# The job, each side as its users would write it.
LUMORA_JOB = """
v = VecList.from_buffer(a)
v.transform(RigidTransform(q, t) * RigidTransform(Quat.identity(), -v.mean()))
lo, hi = v.bounds()
index = PointIndex(v)
near, dist = index.nearest_each(jq)
around = index.within(t, r_job)
kept = np.asarray(v.take(around))
"""
SCIPY_JOB = """
b = a - a.mean(axis=0)
b = b @ m
b = b + tn
lo, hi = b.min(axis=0), b.max(axis=0)
tree = cKDTree(b)
dist, near = tree.query(jq, workers=-1)
around = tree.query_ball_point(tn, r_job)
kept = b[around]
"""


def clouds(n, rng):
    """A uniform cloud and one of Gaussian blobs, with queries drawn the same way."""
    uniform = lambda m: rng.uniform(0.0, 1.0, (m, 3))
    centres = rng.uniform(0.0, 1.0, (32, 3))
    blobs = lambda m: centres[rng.integers(0, 32, m)] + rng.normal(0.0, 0.02, (m, 3))
    return {"uniform": uniform, "blobs": blobs}


def native_heap():
    """Bytes in use in the C heap, by the allocator's own count."""

    class Mallinfo2(ctypes.Structure):
        _fields_ = [(f, ctypes.c_size_t) for f in
                    ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")]  # fmt: skip

    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = Mallinfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def bytes_per_point(a):
    gc.collect()
    before = native_heap()
    index = PointIndex(a)
    grown = native_heap() - before
    del index
    return grown / len(a)


def main():
    sizes = sizes_argument(__doc__, SIZES)
    print(f"{interpreter()}, numpy {np.__version__}")
    table(("operation", 20), ("cloud", 9), ("n", 9), ("lumora ms", 12), ("scipy ms", 12), ("scipy/lumora", 14),
          ("goal", 8))  # fmt: skip
    rng = np.random.default_rng(7)
    for n in sizes:
        for name, draw in clouds(n, rng).items():
            a, qs = draw(n), draw(QUERIES)
            env = {"np": np, "PointIndex": PointIndex, "cKDTree": cKDTree, "a": a, "qs": qs, "bs": qs[:BALL_QUERIES],
                   "index": PointIndex(a), "tree": cKDTree(a),
                   "i1": np.empty(QUERIES, np.int64), "d1": np.empty(QUERIES),
                   "i8": np.empty((QUERIES, 8), np.int64), "d8": np.empty((QUERIES, 8)),
                   "i20": np.empty((QUERIES, 20), np.int64), "d20": np.empty((QUERIES, 20)),
                   # about 30 points around each query
                   "r": (30 / (4 / 3 * np.pi * n)) ** (1 / 3) if name == "uniform" else 0.003}  # fmt: skip
            for row, ours, theirs, goal in ROWS:
                t_ours, t_theirs = best_seconds(ours, env, 2.0), best_seconds(theirs, env, 2.0)
                ratio = t_theirs / t_ours
                verdict = "met" if ratio >= goal else "missed"
                print(f"{row:<20}{name:>9}{n:>9}{t_ours * 1e3:>12.2f}{t_theirs * 1e3:>12.2f}{ratio:>13.2f}x"
                      f"{goal:>7.2f}x {verdict}")  # fmt: skip
            per_point = bytes_per_point(a)
            verdict = "met" if per_point <= 48 else "missed"
            print(f"{'bytes per point':<20}{name:>9}{n:>9}{per_point:>12.1f}{'':>12}{'':>14}{'<= 48':>8} {verdict}")
        # The job, on a cloud of blobs.
        a = clouds(n, rng)["blobs"](n)
        turn = Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(0.3))
        env = {"np": np, "VecList": VecList, "PointIndex": PointIndex, "Vec3d": Vec3d, "cKDTree": cKDTree, "a": a,
               "Quat": Quat, "RigidTransform": RigidTransform,
               "q": turn, "m": np.array(turn.to_rotation_matrix()), "t": Vec3d(1.0, -2.0, 0.5),
               "tn": np.array([1.0, -2.0, 0.5]), "jq": rng.uniform(-1.0, 1.0, (JOB_QUERIES, 3)), "r_job": 0.05}
        t_ours, t_theirs = best_seconds(LUMORA_JOB, env, 2.0), best_seconds(SCIPY_JOB, env, 2.0)
        ratio = t_theirs / t_ours
        verdict = "met" if ratio >= 1.0 else "missed"
        print(f"{'point-cloud job':<20}{'blobs':>9}{n:>9}{t_ours * 1e3:>12.2f}{t_theirs * 1e3:>12.2f}{ratio:>13.2f}x"
              f"{1.0:>7.2f}x {verdict}")  # fmt: skip


if __name__ == "__main__":
    main()
