"""The spatial index against the scan of every point: every query, single
and batched, over clouds made to break a tree (ties, duplicates, lines,
NaN and infinite points, overflowing distances), at sizes around the leaf
and beyond; the same answers at any pool size, from many threads at once,
and after pickling."""

import copy
import hashlib
import json
import math
import os
import pickle
import subprocess
import sys
import threading

import numpy as np
import pytest

from lumora import PointIndex, Vec3d, VecList
from support import build_core, hammer, same

INF, NAN = math.inf, math.nan


def cloud(kind, n, rng):
    """n points of one kind, as an (n, 3) array."""
    if kind == "uniform":
        return rng.uniform(-1, 1, (n, 3))
    if kind == "clustered":
        centres = rng.uniform(-100, 100, (5, 3))
        return centres[rng.integers(0, 5, n)] + rng.normal(0, 0.5, (n, 3))
    if kind == "grid":  # exact ties everywhere, 3-4-5 distances among them
        return rng.integers(-4, 5, (n, 3)).astype(float)
    if kind == "duplicated":
        return rng.uniform(-1, 1, (3, 3))[rng.integers(0, 3, n)]
    if kind == "collinear":
        t = rng.integers(-50, 50, n).astype(float)
        return np.stack([t, 2 * t, -t], axis=1)
    # special: finite points beside NaN, -NaN and infinite components, and
    # ones far enough out that their squared distances overflow to inf
    p = rng.integers(-3, 4, (n, 3)).astype(float)
    specials = np.array([NAN, -NAN, INF, -INF, 1e300, -1e300, 5e-324, 0.0, -0.0])
    mask = rng.random((n, 3)) < 0.15
    p[mask] = rng.choice(specials, mask.sum())
    return p


KINDS = ["uniform", "clustered", "grid", "duplicated", "collinear", "special"]
SIZES = [0, 1, 2, 11, 12, 13, 24, 25, 1000]


def queries_for(points, rng, m):
    """Queries near and far, on points, and with NaN and infinite components."""
    n = len(points)
    lo, hi = (points[np.isfinite(points)].min(), points[np.isfinite(points)].max()) if np.isfinite(points).any() else (-1, 1)
    q = rng.uniform(lo - 1, hi + 1, (m, 3))
    if n:
        on = rng.integers(0, n, m // 4)
        q[: len(on)] = points[on]
    q[-3:] = [[NAN, 0, 0], [INF, 1, 2], [0, -INF, 0]]
    q[-4] = [1e300, 0, 0]
    if np.isfinite(points).all() and n and np.abs(points).max() < 100:
        q[-5] = np.round(q[-5])  # integer queries on the grid meet 3-4-5 distances
    return q


def scan_order(d2):
    """Positions by squared distance, then position, every NaN last."""
    nan = np.isnan(d2)
    return np.lexsort((np.arange(len(d2)), np.where(nan, 0.0, d2), nan))


RADII = [0.0, -0.0, -1.0, 5.0, INF, 1e-300, 0.3]


def check_against_scan(points, queries, rng):
    vl = VecList.from_buffer(points)
    index = PointIndex(points)
    n = len(points)
    assert len(index) == n
    singles = {"nearest": [], "k": {}, "within": {}}
    ks = sorted({0, 1, 2, 8, 13} | ({n, n + 5} if n <= 1000 else set()))
    for row in queries:
        q = Vec3d(*row)
        d2 = np.array(vl.distance_squared(q))
        dist = np.array(vl.distance_to(q))
        order = scan_order(d2)
        if n:
            got = index.nearest(q)
            assert same(got, vl.minimum_distance_to(q, 1), exact=True), (row, got)
            singles["nearest"].append(got)
        else:
            with pytest.raises(ValueError, match="nearest\\(\\) arg is an empty PointIndex"):
                index.nearest(q)
        for k in ks:
            got = index.k_nearest(q, k)
            want = [(int(i), math.sqrt(d2[i])) for i in order[:k]]
            assert same(got, want), (row, k, got, want)
            singles["k"].setdefault(k, []).append(got)
        # A point exactly at the radius is in; so is a 3-4-5 point at 5.
        finite = dist[~np.isnan(dist)]
        for j, r in enumerate(RADII + list(rng.choice(finite, min(2, len(finite))))):
            got = index.within(q, r)
            assert got == [int(i) for i in np.flatnonzero(dist <= r)], (row, r)
            singles["within"].setdefault(j, []).append(got)
    return index, singles


def check_batches(index, queries, singles):
    """Each batch gives the single calls' answers, as lists and into buffers,
    for queries as a VecList, an array and a strided view."""
    m, n = len(queries), len(index)
    for qs in (queries, VecList.from_buffer(queries), np.asfortranarray(queries), queries.ravel()):
        if n:
            pos, dist = index.nearest_each(qs)
            assert same(list(zip(pos, dist)), singles["nearest"], exact=True)
            out = np.full(m, -7, np.int64), np.full(m, 7.0)
            back = index.nearest_each(qs, indices=out[0], distances=out[1])
            assert back[0] is out[0] and back[1] is out[1]
            assert out[0].tolist() == pos and same(out[1].tolist(), dist, exact=True)
        for k, rows in singles["k"].items():
            pos, dist = index.k_nearest_each(qs, k)
            assert same([list(zip(p, d)) for p, d in zip(pos, dist)], rows, exact=True)
            out = np.full((m, min(k, n)), -7, np.int64)
            _, listed = index.k_nearest_each(qs, k, indices=out)
            assert out.tolist() == pos and same(listed, dist, exact=True)
        for r, rows in zip(RADII, singles["within"].values()):
            assert index.within_each(qs, r) == rows


@pytest.mark.parametrize("kind", KINDS)
def test_every_answer_is_the_scans(kind):
    rng = np.random.default_rng(list(map(ord, kind)))
    for n in SIZES:
        points = cloud(kind, n, rng)
        queries = queries_for(points, rng, 24)
        index, singles = check_against_scan(points, queries, rng)
        check_batches(index, queries, singles)


@pytest.mark.parametrize("kind", ["clustered", "grid", "special"])
def test_large_clouds(kind):
    rng = np.random.default_rng(7)
    points = cloud(kind, 10**5, rng)
    queries = queries_for(points, rng, 12)
    index, singles = check_against_scan(points, queries, rng)
    check_batches(index, queries, singles)


# ---------------------------------------------------------------- pool sizes

RESULTS = """
import hashlib, json, sys
import numpy as np
from lumora import PointIndex, Vec3d
rng = np.random.default_rng(3)
points = rng.integers(-30, 30, (60_000, 3)).astype(float)  # ties everywhere
points[::997] = np.nan
queries = rng.uniform(-31, 31, (3000, 3))
index = PointIndex(points)
h = lambda x: hashlib.sha256(repr(x).encode()).hexdigest()
out = {
    "nearest": h(index.nearest_each(queries)),
    "k": h(index.k_nearest_each(queries, 9)),
    "k20": h(index.k_nearest_each(queries, 20)),
    "within": h(index.within_each(queries, 2.5)),
}
if sys.argv[1] == "single":
    out["nearest"] = h(tuple(map(list, zip(*[index.nearest(Vec3d(*q)) for q in queries]))))
    rows = [index.k_nearest(Vec3d(*q), 9) for q in queries]
    out["k"] = h(([[i for i, _ in r] for r in rows], [[d for _, d in r] for r in rows]))
    rows = [index.k_nearest(Vec3d(*q), 20) for q in queries]
    out["k20"] = h(([[i for i, _ in r] for r in rows], [[d for _, d in r] for r in rows]))
    out["within"] = h([index.within(Vec3d(*q), 2.5) for q in queries])
print(json.dumps(out))
"""


def pool_results(mode, threads):
    env = {**{k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}, "RAYON_NUM_THREADS": threads}
    run = subprocess.run([sys.executable, "-c", RESULTS, mode], env=env, capture_output=True, text=True, check=True)
    return json.loads(run.stdout)


def test_batches_and_builds_do_not_depend_on_the_pool_size():
    reference = pool_results("single", "1")
    for threads in ("1", "2", "8"):
        assert pool_results("batch", threads) == reference, threads


# ---------------------------------------------------------------- threads


def test_threads_query_one_index_while_others_build():
    rng = np.random.default_rng(11)
    points = cloud("clustered", 20_000, rng)
    shared = PointIndex(points)
    queries = [Vec3d(*q) for q in queries_for(points, rng, 50)]
    expected = [shared.k_nearest(q, 5) for q in queries]
    source = VecList.from_buffer(points)
    counts = [0, 0]

    def query():
        assert same([shared.k_nearest(q, 5) for q in queries], expected, exact=True)
        counts[0] += 1

    def build():
        fresh = PointIndex(source)  # read under the list's shared hold
        assert len(fresh) >= len(points) and fresh.nearest(queries[0]) == shared.nearest(queries[0])
        counts[1] += 1

    def grow():
        source.append(Vec3d(1e6, 1e6, 1e6))  # refused while a build reads the list

    seen = hammer(1.5, query, query, build, build, grow)
    # No query is refused: the index has no guard; only the list's are met.
    assert set(seen) <= {"Already borrowed", "Already mutably borrowed"} and counts[0] > 0 and counts[1] > 0


# ---------------------------------------------------------------- pickling, input


def test_pickles_and_copies_answer_the_same():
    rng = np.random.default_rng(5)
    points = cloud("special", 500, rng)
    index = PointIndex(points)
    queries = queries_for(points, rng, 10)
    answers = lambda ix: [ix.k_nearest(Vec3d(*q), 500) for q in queries]
    want = answers(index)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        twin = pickle.loads(pickle.dumps(index, protocol=protocol))
        assert type(twin) is PointIndex and same(answers(twin), want, exact=True)
    for make in (copy.copy, copy.deepcopy):
        assert same(answers(make(index)), want, exact=True)
    # Protocol 5 hands the points out of band, in their given order.
    buffers = []
    data = pickle.dumps(index, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and len(data) < 200
    assert bytes(buffers[0].raw()) == points.tobytes()
    assert same(answers(pickle.loads(data, buffers=buffers)), want, exact=True)


def test_bad_input_is_refused_and_writes_nothing():
    points = np.arange(12.0).reshape(4, 3)
    index = PointIndex(points)
    points[0] = 100.0  # a snapshot: later changes are not seen
    assert index.nearest(Vec3d(0, 1, 2)) == (0, 0.0)
    for bad, error, text in [
        ("abc", TypeError, "argument 'points'"),
        (np.zeros((4, 3), np.float32), TypeError, "argument 'points': a buffer of doubles"),
        (np.zeros((4, 2)), ValueError, "argument 'points': a buffer shaped \\(n, 3\\)"),
        ([Vec3d(1, 2, 3)], TypeError, "argument 'points'"),
    ]:
        with pytest.raises(error, match=text):
            PointIndex(bad)
        with pytest.raises(error, match=text.replace("points", "queries")):
            index.nearest_each(bad)
    q = Vec3d(0, 0, 0)
    with pytest.raises(OverflowError):
        index.k_nearest(q, -1)
    with pytest.raises(ValueError, match="argument 'radius': the radius is NaN"):
        index.within(q, NAN)
    with pytest.raises(ValueError, match="argument 'radius': the radius is NaN"):
        index.within_each(points, NAN)
    with pytest.raises(ValueError, match="nearest_each\\(\\) arg is an empty PointIndex"):
        PointIndex(np.zeros((0, 3))).nearest_each(points)
    assert PointIndex(np.zeros((0, 3))).nearest_each(np.zeros((0, 3))) == ([], [])
    # Each refused buffer, beside a good one that must stay unwritten.
    good_i, good_d = np.full(4, -1, np.int64), np.full(4, -1.0)
    for kwargs, error in [
        ({"indices": np.zeros(4, np.int32), "distances": good_d}, TypeError),
        ({"indices": good_i, "distances": np.zeros(5)}, ValueError),
        ({"indices": good_i, "distances": np.zeros((4, 1))}, ValueError),
        ({"indices": good_i, "distances": np.frombuffer(bytes(32))}, (TypeError, ValueError, BufferError)),
        ({"indices": np.zeros(8, np.int64)[::2], "distances": good_d}, ValueError),
    ]:
        with pytest.raises(error):
            index.nearest_each(points, **kwargs)
        assert (good_i == -1).all() and (good_d == -1.0).all()
    with pytest.raises(ValueError, match="argument 'distances': a buffer of shape \\(4, 2\\) is required, not \\(4, 3\\)"):
        index.k_nearest_each(points, 2, indices=np.zeros((4, 2), np.int64), distances=np.zeros((4, 3)))


# ---------------------------------------------------------------- the core alone


def test_core_tree_with_wide_positions(tmp_path_factory):
    # Beyond 2^32 points the positions are 64 bits wide: the same code, too
    # large to reach from here, so the core's tree is built both ways on the
    # same points and must answer as the module does. So must the walk over
    # every point of it, and over every point as any query, with its loops
    # over one point at a time and over eight, only one of which the module
    # runs on a given processor.
    run = build_core(tmp_path_factory, "point_index")
    rng = np.random.default_rng(9)
    bits = lambda a: a.view(np.uint64).tolist()
    for kind in KINDS:
        points = cloud(kind, 300, rng)
        queries = queries_for(points, rng, 20)
        index = PointIndex(points)
        text = f"{len(points)}\n" + "".join(f"{x} {y} {z}\n" for x, y, z in bits(points))
        asked = np.hstack([queries, np.full((20, 1), 1.5)])
        text += "".join(f"{x} {y} {z} {r}\n" for x, y, z, r in bits(asked))
        lines = iter(run(text).splitlines())
        for x, y, z in queries:
            q = Vec3d(x, y, z)
            want = [f"{i}:{np.float64(d).view(np.uint64)}" for i, d in index.k_nearest(q, 7)]
            within = list(map(str, index.within(q, 1.5)))
            for width in ("32", "64"):
                assert next(lines).split() == [width, *want], (kind, width)
                assert next(lines).split() == [width, *within], (kind, width)
        walked = {}
        for line in lines:
            label, position, *near = line.split()
            walked.setdefault(label, {})[int(position)] = near
        finite = np.flatnonzero(np.isfinite(points).all(axis=1)).tolist()
        assert sorted(walked) == ["32n", "32nq", "32w", "32wq", "64n", "64nq", "64w", "64wq"], kind
        for label, answers in walked.items():
            k, asked = (12, list(range(len(points)))) if label.endswith("q") else (7, finite)
            assert sorted(answers) == asked, (kind, label)
            for i in asked[:: max(1, len(asked) // 60)]:
                want = [f"{j}:{np.float64(d).view(np.uint64)}" for j, d in index.k_nearest(Vec3d(*points[i]), k)]
                assert answers[i] == want, (kind, label, i)
            assert answers == walked[label[:2] + "n" + label[3:]], (kind, label)
