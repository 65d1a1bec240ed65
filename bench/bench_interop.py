"""The borders with numpy, on the same (n, 3) float64 data: a list made from
an array, an array viewing a list, results written into an array (`out=`),
pickling, and the whole job a user runs (points in from numpy, rotated,
searched, and handed back to numpy) against the same job in numpy.

Ratios are measured in one run: `python bench/bench_interop.py`. Run it with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, which slow numpy here.
"""

import pickle

import numpy as np

from lumora import AngleRadians, Quat, Vec3d, VecList
from timing import best_seconds, interpreter, sizes_argument, table

SIZES = [100, 10_000, 1_000_000]

# (operation, lumora statement, numpy statements (the fastest counts), goal
# as the least numpy/lumora ratio, the size the goal is for)
ROWS = [
    ("from_buffer", "VecList.from_buffer(a)", ["a.copy()"], 1 / 1.5, None),
    ("distance_to out=", "v.distance_to(o, out=d)",
     ["np.linalg.norm(a - ao, axis=1)", "np.sqrt(((a - ao) ** 2).sum(1))",
      "t = a - ao; np.sqrt(np.einsum('ij,ij->i', t, t))"], 5.0, 1_000_000),
    ("dot out=", "v.dot(o, out=d)", ["a @ ao"], 1.0, None),
    ("distance_squared out=", "v.distance_squared(o, out=d)",
     ["t = a - ao; np.einsum('ij,ij->i', t, t)", "((a - ao) ** 2).sum(1)"], 1.0, None),
    ("magnitude out=", "v.magnitude(out=d)", ["np.linalg.norm(a, axis=1)", "np.sqrt(np.einsum('ij,ij->i', a, a))"],
     1.0, None),
    ("is_unit out=", "v.is_unit(out=b)", ["np.abs(np.sqrt(np.einsum('ij,ij->i', a, a)) - 1.0) < 2**-52"], 1.0, None),
    ("pickle protocol 5", "pickle.loads(pickle.dumps(v, protocol=5))", ["pickle.loads(pickle.dumps(a, protocol=5))"],
     1 / 2, None),
    ("end to end", "w = VecList.from_buffer(a); w.rotate(q); i, dist = w.minimum_distance_to(o, 1); r = np.asarray(w)",
     ["r = a @ m; d2 = ((r - ao) ** 2).sum(1); i = d2.argmin(); dist = np.sqrt(d2[i])"], 2.0, 1_000_000),
]  # fmt: skip


def environment(n):
    rng = np.random.default_rng(7)
    a = rng.normal(size=(n, 3)).cumsum(axis=0)
    q = Quat.from_axis_angle(Vec3d(0.0, 0.6, 0.8), AngleRadians(0.001))
    return {
        "np": np,
        "pickle": pickle,
        "VecList": VecList,
        "a": a,
        "ao": np.array([0.5, -0.25, 2.0]),
        "m": np.array(q.to_rotation_matrix()),
        "d": np.empty(n),
        "b": np.empty(n, bool),
        "v": VecList.from_buffer(a),
        "o": Vec3d(0.5, -0.25, 2.0),
        "q": q,
    }


def main():
    sizes = sizes_argument(__doc__, SIZES)
    print(f"{interpreter()}, numpy {np.__version__}")
    table(("operation", 23), ("n", 9), ("lumora us", 12), ("numpy us", 12), ("numpy/lumora", 14), ("goal", 8))
    views, ours = {}, {}
    for n in sizes:
        env = environment(n)
        for name, statement, theirs, goal, at in ROWS:
            t_ours = ours[name, n] = best_seconds(statement, env)
            t_theirs = min(best_seconds(s, env) for s in theirs)
            ratio = t_theirs / t_ours
            judged = at is None or n == at
            verdict = ("met" if ratio >= goal else "missed") if judged else ""
            print(f"{name:<23}{n:>9}{t_ours * 1e6:>12.2f}{t_theirs * 1e6:>12.2f}{ratio:>13.2f}x"
                  f"{goal:>7.2f}x {verdict}")  # fmt: skip
        views[n] = best_seconds("np.asarray(v)", env)
        print(f"{'np.asarray(list)':<23}{n:>9}{views[n] * 1e6:>12.2f}")
    small, large = min(views), max(views)
    # The same bytes in and out, and less arithmetic.
    dot, squared = ours["dot out=", large], ours["distance_squared out=", large]
    print(f"dot out= at n = {large} takes {dot / squared:.2f}x the time of distance_squared out= (goal: at most 1)")
    print(f"np.asarray(list) at n = {large} takes {views[large] / views[small]:.2f}x its time at n = {small} "
          f"(goal: constant)")  # fmt: skip


if __name__ == "__main__":
    main()
