"""Per-call cost of the scalar operations, next to the same work with the
builtin complex type (a C type built into the interpreter: the floor) and
with numpy 3-element arrays (what Python users reach for today); and the
rotation operations next to scipy's Rotation doing the same on one rotation.

Ratios are measured in one run: `python bench/bench_scalar.py`.
"""

import argparse
import cmath
import timeit

import numpy as np

from scipy.spatial.transform import Rotation, Slerp

from lumora import AngleRadians, Quat, Vec3d
from timing import interpreter, table

SETUP = {
    "lumora": "v = Vec3d(1.0, 2.0, 3.0); w = Vec3d(4.0, 5.0, 6.0)",
    "complex": "c = complex(1.0, 2.0); d = complex(4.0, 5.0)",
    "numpy": "a = np.array([1.0, 2.0, 3.0]); b = np.array([4.0, 5.0, 6.0])",
}

# (operation, lumora statement, comparable complex statement, numpy statement).
# Methods are compared with method calls on complex, operators with operators.
ROWS = [
    ("construct", "Vec3d(1, 2, 3)", "complex(1, 2)", "np.array([1.0, 2.0, 3.0])"),
    ("v + w", "v + w", "c + d", "a + b"),
    ("v * 2.0", "v * 2.0", "c * 2.0", "a * 2.0"),
    ("v.magnitude()", "v.magnitude()", "c.conjugate()", "np.linalg.norm(a)"),
    ("v.dot(w)", "v.dot(w)", "c.__mul__(d)", "a.dot(b)"),
    ("v.cross(w)", "v.cross(w)", "c.__mul__(d)", "np.cross(a, b)"),
    ("v[0]", "v[0]", "c.real", "a[0]"),
    ("v.x", "v.x", "c.real", "a[0]"),
    ("hash(v)", "hash(v)", "hash(c)", "hash(a.tobytes())"),
    ("repr(v)", "repr(v)", "repr(c)", "repr(a)"),
]

EXTRA_SETUP = (
    "q = Quat.from_axis_angle(Vec3d(0.0, 0.0, 1.0), AngleRadians(0.5)); "
    "p = Quat.from_axis_angle(Vec3d(0.6, 0.0, 0.8), AngleRadians(1.25)); "
    "axis = Vec3d(0.0, 0.0, 1.0); r = AngleRadians(0.5); s = AngleRadians(0.25); "
    "m = np.array([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])"
)
EXTRA_ROWS = [
    # A 2-D rotation with complex numbers; numpy applies a rotation matrix.
    ("Quat.rotate", "q.rotate(v)", "c * d * c.conjugate()", "m @ a"),
    # Both a cosine and a sine of one angle, made into a value.
    ("Quat.from_axis_angle", "Quat.from_axis_angle(axis, r)", "cmath.rect(1.0, 0.5)", None),
    ("AngleRadians.sin", "r.sin()", "c.conjugate()", None),
    ("angle +", "r + s", "c + d", None),
    # Composing two rotations, next to the product of two complex numbers.
    ("Quat a * b", "q * p", "c * d", None),
]

ROTATION_SETUP = (
    "rq = Rotation.from_rotvec([0.0, 0.0, 0.5]); rp = Rotation.from_rotvec([0.75, 0.0, 1.0]); "
    "ends = Rotation.concatenate([rq, rp]); times = [0.0, 1.0]; "
    "rows = q.to_rotation_matrix(); cols = [list(c) for c in zip(*rows)]; mr = np.array(rows); mc = mr.T"
)
# (operation, lumora statement, scipy statement). scipy interpolates through
# a Slerp object made from both ends, as slerp takes both ends per call; its
# matrices map column vectors, ours have the images as rows: each side gets
# the same rotation in its own convention.
ROTATION_ROWS = [
    ("a * b", "q * p", "rq * rp"),
    ("inverse", "q.inverse()", "rq.inv()"),
    ("slerp", "q.slerp(p, 0.3)", "Slerp(times, ends)(0.3)"),
    ("from_rotation_matrix", "Quat.from_rotation_matrix(mr)", "Rotation.from_matrix(mc)"),
    ("  from nested lists", "Quat.from_rotation_matrix(rows)", "Rotation.from_matrix(cols)"),
]


def per_call_ns(stmt, setup, number):
    env = {"Vec3d": Vec3d, "Quat": Quat, "AngleRadians": AngleRadians, "np": np, "cmath": cmath,
           "Rotation": Rotation, "Slerp": Slerp}  # fmt: skip
    best = min(timeit.repeat(stmt, setup, number=number, repeat=7, globals=env))
    return best / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--number", type=int, default=200_000, help="calls per timing")
    args = parser.parse_args()
    n = args.number
    setup = "; ".join(SETUP.values()) + "; " + EXTRA_SETUP
    print(f"{interpreter()}, numpy {np.__version__}")
    table(("operation", 22), ("lumora ns", 10), ("complex ns", 12), ("ratio", 8), ("numpy ns", 10), ("numpy/lumora", 14))
    for name, ours, floor, numpy_stmt in ROWS + EXTRA_ROWS:
        t_ours = per_call_ns(ours, setup, n)
        t_floor = per_call_ns(floor, setup, n)
        line = f"{name:<22}{t_ours:>10.1f}{t_floor:>12.1f}{t_ours / t_floor:>8.2f}"
        if numpy_stmt:
            t_numpy = per_call_ns(numpy_stmt, setup, n)
            line += f"{t_numpy:>10.1f}{t_numpy / t_ours:>13.1f}x"
        print(line)
    setup += "; " + ROTATION_SETUP
    print()
    table(("rotation", 22), ("lumora ns", 10), ("scipy ns", 12), ("scipy/lumora", 14))
    for name, ours, theirs in ROTATION_ROWS:
        t_ours = per_call_ns(ours, setup, n)
        # scipy's calls take microseconds: fewer of them measure as well.
        t_theirs = per_call_ns(theirs, setup, max(n // 50, 1))
        print(f"{name:<22}{t_ours:>10.1f}{t_theirs:>12.1f}{t_theirs / t_ours:>13.1f}x")


if __name__ == "__main__":
    main()
