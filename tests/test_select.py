"""Selections and reductions of a list: take and compress against numpy's
indexing on the same data, sum and mean against the exact rational sum
rounded once, bounds against a model of its order, and every result the
same at any pool size."""

import json
import math
import os
import random
import struct
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumora import Vec3d, VecList
from support import HAND_OFF, agree, bits, doubles, tup

MAX = 1.7976931348623157e308
ULP_OF_MAX = 2.0**971


def exact_sum(values):
    """The sum of doubles as IEEE addition would give it with unbounded
    precision and range: NaN and the infinities as addition gives them, else
    the exact rational sum rounded once (beyond the range, to an infinity;
    an exact zero is +0.0)."""
    if any(math.isnan(x) for x in values) or (math.inf in values and -math.inf in values):
        return math.nan
    if math.inf in values or -math.inf in values:
        return math.inf if math.inf in values else -math.inf
    # Every double is an integer multiple of 2^-1074.
    total = Fraction(sum(n * (2**1074 // d) for n, d in (x.as_integer_ratio() for x in values)), 2**1074)
    try:
        return float(total)
    except OverflowError:
        return math.inf if total > 0 else -math.inf


def exact_mean(values):
    """sum / n; where the rounded sum overflows although every term is
    finite, the same division with the range widened (so the rounding is
    the same, and a finite mean comes out finite)."""
    s = exact_sum(values)
    if math.isinf(s) and all(math.isfinite(x) for x in values):
        total = sum(Fraction(x) for x in values)
        return math.ldexp(float(total / 2**64) / len(values), 64)
    return s / len(values)


def exact_bounds(values):
    """Least and greatest non-NaN value, -0.0 counting below +0.0; NaN when
    every value is NaN."""
    numbers = [x for x in values if not math.isnan(x)]
    order = lambda x: (x, math.copysign(1.0, x))  # noqa: E731
    return (min(numbers, key=order), max(numbers, key=order)) if numbers else (math.nan, math.nan)


def columns(points):
    return [[p[c] for p in points] for c in range(3)]


def check_reductions(points):
    v = VecList([Vec3d(*p) for p in points])
    cols = columns(points)
    got_sum = tup(v.sum())
    assert all(map(agree, got_sum, [exact_sum(c) for c in cols])), (got_sum, points)
    if not points:
        with pytest.raises(ValueError, match=r"mean\(\) arg is an empty VecList"):
            v.mean()
        with pytest.raises(ValueError, match=r"bounds\(\) arg is an empty VecList"):
            v.bounds()
        return
    assert all(map(agree, tup(v.mean()), [exact_mean(c) for c in cols]))
    lo, hi = v.bounds()
    want = [exact_bounds(c) for c in cols]
    assert all(map(agree, tup(lo) + tup(hi), [w[0] for w in want] + [w[1] for w in want])), (lo, hi, points)


# Cases where a sum in doubles goes wrong: cancellation, a wide range of
# magnitudes, an overflow that the later terms bring back, subnormals, the
# rounding at the top of the range, and zeros of both signs.
HARD = [
    [1e16, 1.0, -1e16],
    [1e308, 1e308, -1e308],
    [-1e308, -1e308, 1e308, 1e308, 1e308],
    [1e308, 1e-308, 5e-324, -1e308],
    [1.0, 1e100, 1.0, -1e100],
    [5e-324] * 7 + [-2.2250738585072014e-308],
    [2.2250738585072014e-308, -5e-324],
    [MAX, ULP_OF_MAX / 2],  # a tie: to even, which is beyond the range
    [MAX, ULP_OF_MAX / 2, -5e-324],  # just below the tie
    [MAX, MAX, -MAX, -MAX, -MAX],
    [MAX] * 3,  # mean: finite although the sum overflows
    [-MAX] * 2 + [MAX / 3],
    [-0.0, -0.0],
    [0.0, -0.0],
    [math.inf, 1e308, 1e308, -math.inf],
    [math.inf, -1.0, math.nan],
    [1.0, 2.0**-53],  # a tie, to the even 1.0
    [1.0 + 2.0**-52, 2.0**-53, 2.0**-106],
]


def test_reductions_of_hard_cases():
    for column in HARD:
        # The same column in every place, and rotated, so each component
        # meets each case.
        for shift in range(3):
            k = len(column)
            points = [(column[i], column[(i + shift) % k], column[(i + 2 * shift) % k]) for i in range(k)]
            check_reductions(points)
    check_reductions([])
    assert bits(VecList.empty().sum().x) == bits(0.0)


# Values that make an exact sum hard: any double, the hard cases' terms, and
# terms of a few far apart scales with full mantissas.
terms = st.one_of(
    doubles,
    st.sampled_from(sorted({x for c in HARD for x in c}, key=repr)),
    st.tuples(st.integers(-(2**53), 2**53), st.sampled_from([-1074, -1000, -60, 0, 60, 900, 970])).map(
        lambda t: math.ldexp(*t)
    ),
)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(terms, terms, terms), max_size=40))
def test_reductions_of_random_lists(points):
    check_reductions(points)


def test_reductions_of_long_lists():
    """Long enough for the pool and for many carries of the accumulators."""
    r = random.Random(25)
    for n in (HAND_OFF - 1, 3 * HAND_OFF + 5):
        scale = [r.randint(-1074, 960) for _ in range(40)]
        points = [tuple(math.ldexp(r.uniform(-1, 1), r.choice(scale) + 53) for _ in range(3)) for _ in range(n)]
        # A few huge terms that cancel, far above everything else.
        for i in r.sample(range(n), 6):
            points[i] = (MAX, -MAX, MAX if i % 2 else -MAX)
        check_reductions(points)


# ---------------------------------------------------------------- selections

INTEGER_TYPES = [np.int8, np.uint8, np.int16, np.uint16, np.int32, np.uint32, np.int64, np.uint64]


def as_points(v):
    return np.asarray(v).tobytes()


def test_take_and_compress_against_numpy():
    r = np.random.default_rng(25)
    for n in (0, 1, 5, 100, HAND_OFF + 3):
        a = r.normal(size=(n, 3))
        a[r.random(size=(n, 3)) < 0.05] = np.nan
        v = VecList.from_buffer(a)
        idx = r.integers(0, n, size=2 * n + 3) if n else np.zeros(0, np.int64)
        small = idx[idx < 127]
        cases = [idx, idx.tolist(), tuple(small.tolist()), idx[::-3], idx[::2]]
        cases += [small.astype(t) for t in INTEGER_TYPES] + [small.astype(np.int16)[::-1]]
        for ix in cases:
            assert as_points(v.take(ix)) == a[np.asarray(ix, dtype=np.int64)].tobytes()
        for start, stop, step in [(0, n, 1), (0, n, 2), (n - 1, -1, -1), (n - 1, -1, -7), (1, n, 3), (n, n, 1)]:
            assert as_points(v.take(range(start, stop, step))) == a[start : stop if stop >= 0 else None : step].tobytes()
        mask = r.random(n) < 0.5
        wide = np.repeat(mask, 2)[::2]  # strided
        for m in (mask, mask.tolist(), wide, np.ones(n, bool), np.zeros(n, bool)):
            assert as_points(v.compress(m)) == a[np.asarray(m, dtype=bool)].tobytes()
    # numpy's bool scalars are bools.
    assert as_points(VecList([Vec3d(1, 2, 3)] * 2).compress([np.True_, np.False_])) == np.array([[1.0, 2, 3]]).tobytes()


def test_take_refusals():
    v = VecList([Vec3d(i, 0, 0) for i in range(5)])
    refused = {
        IndexError: [[5], [0, 1, 2**63], range(5, 6), range(0, 6), range(0, 2**64), np.array([0, 5]),
                     np.array([5], np.uint64), np.array([255], np.uint8)],
        OverflowError: [[-1], [0, 2**64], [5, -1], range(-1, 2), range(4, -2, -1), range(0, 2**70, 2**66),
                        np.array([0, -1]), np.array([7, -128], np.int8)],
        TypeError: [[1.0], ["0"], "0", 3, None, np.zeros(2), np.zeros(2, bool), [Vec3d(0, 0, 0)]],
        ValueError: [np.zeros((1, 1), np.int64), np.int64(2)],
    }  # fmt: skip
    for error, cases in refused.items():
        for indices in cases:
            with pytest.raises(error) as raised:
                v.take(indices)
            if error is IndexError:
                assert str(raised.value) == "Index out of bounds"
            if error is TypeError:
                assert str(raised.value).startswith("argument 'indices': ")
    # Positions as the unsigned rule reads them; the list itself unchanged.
    assert tup(v.take([True, 4])[1]) == (4.0, 0.0, 0.0) and len(v) == 5
    assert len(VecList.empty().take([])) == 0 and len(VecList.empty().take(range(3, 3))) == 0
    with pytest.raises(IndexError):
        VecList.empty().take(range(1))


def test_compress_refusals():
    v = VecList([Vec3d(i, 0, 0) for i in range(3)])
    with pytest.raises(ValueError, match=r"^argument 'mask': a mask of 3 entries \(one per element\) is required, not 2$"):
        v.compress([True, False])
    with pytest.raises(ValueError, match="a mask of 3 entries"):
        v.compress(np.ones(4, bool))
    for mask, text in [([1, 0, 1], "'int' object is not an instance of 'bool'"),
                       (np.ones(3, np.uint8), "a buffer of bools"), (5, "not an instance of 'Sequence'")]:  # fmt: skip
        with pytest.raises(TypeError, match=text):
            v.compress(mask)
    with pytest.raises(ValueError, match="one-dimensional"):
        v.compress(np.ones((3, 1), bool))


# ---------------------------------------------------------------- pool sizes

RESULTS = """
import hashlib, json, math, random, struct, sys
import numpy as np
from lumora import Vec3d, VecList
r = random.Random(7)
n = int(sys.argv[1])
scales = [r.randint(-1074, 960) for _ in range(30)]
specials = [math.inf, -math.inf, math.nan, -0.0, 0.0]
x = lambda: r.choice(specials) if r.random() < 1e-4 else math.ldexp(r.uniform(-1, 1), r.choice(scales) + 53)
v = VecList([Vec3d(x(), x(), x()) for _ in range(n)])
flat = lambda vs: struct.pack("<6d", *(c for w in vs for c in (w.x, w.y, w.z))).hex()
order = np.random.default_rng(7)
idx, mask = order.integers(0, n, size=n), order.random(n) < 0.5
print(json.dumps({
    "sum mean": flat([v.sum(), v.mean()]),
    "bounds": flat(v.bounds()),
    "take": hashlib.sha256(bytes(v.take(idx))).hexdigest(),
    "take range": hashlib.sha256(bytes(v.take(range(n - 1, -1, -3)))).hexdigest(),
    "compress": hashlib.sha256(bytes(v.compress(mask))).hexdigest(),
}))
"""


def test_same_bits_at_any_pool_size():
    n = 5 * HAND_OFF
    got = {}
    for threads in ("1", "2", "7"):
        env = {**{k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}, "RAYON_NUM_THREADS": threads}
        run = subprocess.run([sys.executable, "-c", RESULTS, str(n)], env=env, capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        got[threads] = json.loads(run.stdout)
    assert got["1"] == got["2"] == got["7"]
