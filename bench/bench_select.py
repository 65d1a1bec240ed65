"""Selections and reductions of a list against numpy on the same (n, 3)
float64 data: picking elements by position (random positions, and every
other one by a range) and by a mask, the correctly rounded sum and mean
against numpy's pairwise ones, and the bounding box.

Ratios are measured in one run: `python bench/bench_select.py`. Run it with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, which slow numpy here.
"""

import numpy as np

from lumora import VecList
from timing import best_seconds, interpreter, sizes_argument, table

SIZES = [100, 10_000, 1_000_000]
GOAL_AT = 1_000_000

# (operation, lumora statement, numpy statement, goal as the least
# numpy/lumora ratio at GOAL_AT)
ROWS = [
    ("take random", "v.take(idx)", "a[idx]", 1.0),
    ("take range step 2", "v.take(range(0, n, 2))", "a[::2].copy()", 1.0),
    ("compress half", "v.compress(mask)", "a[mask]", 1.0),
    ("sum", "v.sum()", "a.sum(axis=0)", 1.0),
    ("mean", "v.mean()", "a.mean(axis=0)", 1.0),
    ("bounds", "v.bounds()", "(a.min(axis=0), a.max(axis=0))", 3.0),
]


def environment(n):
    rng = np.random.default_rng(7)
    a = rng.normal(size=(n, 3)) * np.exp2(rng.integers(-20, 20, size=(n, 3)))
    return {
        "np": np,
        "a": a,
        "v": VecList.from_buffer(a),
        "n": n,
        "idx": rng.integers(0, n, size=n),
        "mask": rng.random(n) < 0.5,
    }


def main():
    sizes = sizes_argument(__doc__, SIZES)
    print(f"{interpreter()}, numpy {np.__version__}")
    table(("operation", 18), ("n", 9), ("lumora us", 11), ("numpy us", 11), ("numpy/lumora", 13), ("goal", 7))
    for n in sizes:
        env = environment(n)
        for name, ours, theirs, goal in ROWS:
            t_ours = best_seconds(ours, env)
            t_theirs = best_seconds(theirs, env)
            ratio = t_theirs / t_ours
            verdict = ("met" if ratio >= goal else "missed") if n == GOAL_AT else ""
            print(f"{name:<18}{n:>9}{t_ours * 1e6:>11.1f}{t_theirs * 1e6:>11.1f}{ratio:>12.2f}x"
                  f"{goal:>6.1f}x {verdict}")  # fmt: skip


if __name__ == "__main__":
    main()
