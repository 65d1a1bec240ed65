"""lumora.cloud against plain oracles of its definitions: voxel means exactly
(fractions), outlier masks from the stated statistics, normals against
numpy.linalg.eigh per neighbourhood; the index's bounded nearest search
against a scan; the same bits at any pool size; refusals that write nothing."""

import json
import math
import os
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest

from lumora import PointIndex, Vec3d, VecList
from lumora.cloud import normals, radius_inliers, statistical_inliers, voxel_down_sample
from support import bits

INF, NAN = math.inf, math.nan


def scene(rng, n):
    """Points on two planes, a sphere and a noisy blob, with duplicates and
    points on voxel boundaries."""
    t = rng.uniform(-1, 1, (n, 2))
    parts = [
        np.c_[t[: n // 4], np.zeros(n // 4)],
        np.c_[np.zeros(n // 4), t[n // 4 : n // 2]],
        rng.normal(0, 1, (n // 4, 3)),
    ]
    sphere = parts[2] / np.linalg.norm(parts[2], axis=1, keepdims=True) + 3
    blob = rng.normal(-2, 0.3, (n - 3 * (n // 4), 3))
    p = np.concatenate([parts[0], parts[1], sphere, blob]) + rng.normal(0, 1e-3, (n, 3))
    p[:: n // 10] = np.round(p[:: n // 10] * 8) / 8  # on the boundaries of 1/8 voxels
    p[1 :: n // 10] = p[0 :: n // 10][: len(p[1 :: n // 10])]  # duplicates
    return p


def scan_d2(points, q):
    """Squared distances as the core computes them, left to right."""
    with np.errstate(invalid="ignore"):
        d = points - q
    return d[:, 0] * d[:, 0] + d[:, 1] * d[:, 1] + d[:, 2] * d[:, 2]


def nearest_first(points, i):
    """Positions by squared distance from point i, then position."""
    return np.lexsort((np.arange(len(points)), scan_d2(points, points[i])))


# ---------------------------------------------------------------- voxels


def rounded_mean(values):
    """The correctly rounded sum divided once; a sum beyond the doubles is
    rounded at a scale 2^64 lower, divided and scaled back."""
    total = sum(map(Fraction, values))
    try:
        return float(total) / len(values)
    except OverflowError:
        return float(total / 2**64) / len(values) * 2.0**64


def voxel_oracle(points, size):
    groups = {}
    for i, p in enumerate(points.tolist()):
        cell = [math.floor(c / size) if math.isfinite(c / size) else None for c in p]
        if None not in cell:
            groups.setdefault(tuple(cell), []).append(i)
    cells = sorted(groups)
    means = [[rounded_mean([points[i, a] for i in groups[c]]) for a in range(3)] for c in cells]
    inverse = [-1] * len(points)
    for row, c in enumerate(cells):
        for i in groups[c]:
            inverse[i] = row
    return means, inverse


@pytest.mark.parametrize("size", [0.125, 0.3, 7.0, 1e-300])
def test_voxel_means_are_exact_and_in_voxel_order(size):
    rng = np.random.default_rng(5)
    points = scene(rng, 3000)
    points[7] = [NAN, 0, 0]
    points[8] = [0, INF, 0]
    points[9] = [1.5e308, -1e300, 5e-324]  # a sum that overflows on the way, and keys too wide to pack
    points[10] = [1.5e308, -1e300, 0]
    # One axis alone wider than a key holds, the others in one cell (found by
    # fuzzing: the two voxels were once taken as one).
    one_wide_axis = np.array([[-9.18e71, 1e-300, 0.5], [-3.9e-250, 2, 1], [5.0, 2.5, 0.75]])
    for few in (one_wide_axis, points[11:], points):
        got, inverse = voxel_down_sample(few, size, return_inverse=True)
        means, want_inverse = voxel_oracle(few, size)
        assert [bits(c) for v in got for c in v] == [bits(c) for m in means for c in m]
        assert inverse == want_inverse
    # The order of the input changes nothing; a VecList is read as a buffer.
    shuffled = rng.permutation(len(points))
    again, moved = voxel_down_sample(VecList.from_buffer(points[shuffled]), size, return_inverse=True)
    assert np.asarray(again).tobytes() == np.asarray(got).tobytes()
    assert moved == [inverse[i] for i in shuffled]


def test_voxel_refusals():
    for size in (0.0, -1.0, NAN, INF):
        with pytest.raises(ValueError, match="argument 'size'"):
            voxel_down_sample(np.zeros((3, 3)), size)
    with pytest.raises(ValueError):
        voxel_down_sample(np.zeros((3, 2)), 1.0)
    assert len(voxel_down_sample(np.zeros((0, 3)), 1.0)) == 0
    # Points none of which has a voxel (found by fuzzing under the sanitizer:
    # the span of no cells was converted to an integer).
    none, rows = voxel_down_sample(np.array([[NAN, 0, 0], [0, -INF, 1]]), 1.0, return_inverse=True)
    assert (len(none), rows) == (0, [-1, -1])


# ---------------------------------------------------------------- outliers


def test_statistical_inliers_follow_the_stated_statistics():
    rng = np.random.default_rng(8)
    points = scene(rng, 700)
    points[3] = [NAN, 1, 1]
    index = PointIndex(points)
    for k, ratio in [(1, 1.0), (6, 0.5), (20, 2.0), (45, 1.0), (698, -0.5)]:
        mean_d = []
        for i in range(len(points)):
            if not np.isfinite(points[i]).all():
                mean_d.append(NAN)
                continue
            order = [j for j in nearest_first(points, i).tolist()]
            order.remove(i)  # self, among any equals, is excluded once
            d = np.sqrt(scan_d2(points, points[i])[order[:k]])
            total = 0.0
            for x in d.tolist():
                total += x
            mean_d.append(total / k)
        finite = [d for d in mean_d if math.isfinite(d)]
        mean = rounded_mean(finite)
        var = float(sum(Fraction((d - mean) * (d - mean)) for d in finite)) / (len(finite) - 1)
        threshold = mean + ratio * math.sqrt(var)
        want = [math.isfinite(d) and d <= threshold for d in mean_d]
        assert statistical_inliers(index, k, ratio) == want, k
        out = np.ones(len(points), bool)
        assert statistical_inliers(index, k, ratio, out=out) is out and out.tolist() == want


def test_radius_inliers_count_other_points():
    rng = np.random.default_rng(9)
    points = np.round(scene(rng, 600) * 4) / 4  # exact ties at the radius
    points[5] = [NAN, 0, 0]
    points[6] = [INF, 0, 0]
    index = PointIndex(points)
    for radius, least in [(0.25, 1), (0.5, 4), (0.0, 1), (-1.0, 0), (INF, 599)]:
        want = []
        for i in range(len(points)):
            d = np.sqrt(scan_d2(points, points[i]))
            within = np.flatnonzero(d <= radius)
            want.append(bool(len(within[within != i]) >= least))
        assert radius_inliers(index, radius, least) == want, radius


# ---------------------------------------------------------------- normals


def test_normals_fit_the_neighbourhoods():
    rng = np.random.default_rng(10)
    points = scene(rng, 1500)
    index = PointIndex(points)
    sensor = Vec3d(0.5, 9, -4)
    for k in (3, 8, 20):
        got = np.asarray(normals(index, k))
        toward = np.asarray(normals(index, k, toward=sensor))
        checked = 0
        for i in range(len(points)):
            near = points[nearest_first(points, i)[:k]]
            values, vectors = np.linalg.eigh(np.cov(near.T, bias=True))
            n = got[i]
            if values[1] <= values[2] * 2.0**-32:
                assert n.tolist() == [0.0, 0.0, 0.0]
                continue
            assert abs(np.linalg.norm(n) - 1) < 1e-12
            assert n[np.argmax(np.abs(n))] > 0  # the sign rule
            if values[1] - values[0] > 1e-6 * values[2]:  # a well-defined plane
                assert abs(abs(n @ vectors[:, 0]) - 1) < 1e-9, (i, k)
                checked += 1
            t = toward[i]
            assert (t == n).all() or (t == -n).all()
            assert t @ (np.array([sensor.x, sensor.y, sensor.z]) - points[i]) >= 0
        assert checked > len(points) // 2


def test_normals_of_degenerate_neighbourhoods():
    line = np.c_[np.arange(10.0), 2 * np.arange(10.0), np.full(10, 1e6)]
    assert np.asarray(normals(PointIndex(line), 4)).tolist() == [[0.0, 0.0, 0.0]] * 10
    pair = np.array([[1.0, 2, 3]] * 5 + [[1.0, 2, 4]] * 5)
    assert np.asarray(normals(PointIndex(pair), 7)).tolist() == [[0.0, 0.0, 0.0]] * 10
    # A point that is not finite, or a neighbourhood reaching one, has no normal.
    square = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0], [NAN, 0, 0]])
    got = np.asarray(normals(PointIndex(square), 4))
    assert got[:4].tolist() == [[0.0, 0.0, 1.0]] * 4 and np.isnan(got[4]).all()
    assert np.isnan(np.asarray(normals(PointIndex(square), 5))).all()


def test_each_point_takes_its_k_nearest_answer_ties_and_all():
    """A point's normal is fitted to exactly its k_nearest_each answer, in
    that order, whichever of equally distant points it keeps: on a grid full
    of ties, the normal of point i is the same bits as that of the same point
    in an index of its neighbourhood alone, whose own order is the same."""
    rng = np.random.default_rng(12)
    points = np.c_[rng.integers(0, 16, (700, 2)), rng.integers(0, 3, 700) * 0.5].astype(float)
    points[[10, 11]] = [[INF, 0, 0], [NAN, 1, 1]]
    index = PointIndex(points)
    for k in (3, 8, 21, 45):
        got = np.asarray(normals(index, k))
        near = np.asarray(index.k_nearest_each(points, k)[0])
        checked = 0
        for i in np.flatnonzero(np.isfinite(points).all(axis=1)).tolist():
            if i not in near[i]:
                continue  # k duplicates of it come first
            hood = points[near[i]]
            own = np.asarray(normals(PointIndex(hood), k))[near[i].tolist().index(i)]
            assert got[i].tobytes() == own.tobytes(), (k, i)
            checked += got[i].any()
        assert checked > len(points) // 8, k


# ---------------------------------------------------------------- the index


def test_bounded_nearest_is_the_scans_within_the_bound():
    rng = np.random.default_rng(12)
    points = np.round(scene(rng, 800) * 8) / 8
    points[4] = [INF, 0, 0]
    index = PointIndex(points)
    queries = np.concatenate([rng.uniform(-3, 4, (300, 3)), points[:50], [[NAN, 0, 0], [INF, 0, 0]]])
    assert np.asarray(index.points()).tobytes() == points.tobytes()
    for bound in (0.0, 0.125, 0.3, 2.0, INF):
        pos, dist = index.nearest_each(queries, max_distance=bound)
        for q, p, d in zip(queries, pos, dist):
            d2 = scan_d2(points, q)
            ok = np.flatnonzero(np.sqrt(d2) <= bound)
            if len(ok) == 0:
                assert (p, d) == (-1, INF)
            else:
                best = ok[np.lexsort((ok, d2[ok]))[0]]
                assert (p, bits(d)) == (best, bits(math.sqrt(d2[best])))
    assert PointIndex(np.zeros((0, 3))).nearest_each(queries[:2], max_distance=1.0) == ([-1, -1], [INF, INF])


# ---------------------------------------------------------------- refusals


def test_refusals_write_nothing():
    index = PointIndex(scene(np.random.default_rng(1), 100))
    mask = np.ones(100, bool)
    normal_out = np.full((100, 3), 7.0)
    pos, dist = np.full(3, 7), np.full(3, 7.0)
    calls = [
        (lambda: statistical_inliers(index, 0, 1.0, out=mask), "argument 'k'"),
        (lambda: statistical_inliers(index, 100, 1.0, out=mask), "argument 'k'"),
        (lambda: statistical_inliers(index, 5, NAN, out=mask), "argument 'std_ratio': a finite ratio is required"),
        (lambda: statistical_inliers(index, 5, INF, out=mask), "argument 'std_ratio': .* not inf"),
        (lambda: statistical_inliers(index, 5, -INF, out=mask), "argument 'std_ratio'"),
        (lambda: statistical_inliers(index, 5, 1.0, out=mask[:99]), "out"),
        (lambda: radius_inliers(index, NAN, 2, out=mask), "argument 'radius'"),
        (lambda: normals(index, 2, out=normal_out), "argument 'k'"),
        (lambda: normals(index, 101, out=normal_out), "argument 'k'"),
        (lambda: normals(index, 5, out=normal_out[:, :2]), "out"),
        (lambda: normals(index, 5, toward=Vec3d(0, INF, 0), out=normal_out), "argument 'toward': a point with finite"),
        (lambda: normals(index, 5, toward=Vec3d(0, 0, NAN), out=normal_out), "argument 'toward'"),
        (lambda: index.nearest_each(np.zeros((3, 3)), max_distance=-1.0, indices=pos, distances=dist), "max_distance"),
        (lambda: index.nearest_each(np.zeros((3, 3)), max_distance=NAN, indices=pos, distances=dist), "max_distance"),
    ]
    for call, name in calls:
        with pytest.raises(ValueError, match=name):
            call()
    assert mask.all() and (normal_out == 7.0).all() and (pos == 7).all() and (dist == 7.0).all()
    with pytest.raises(TypeError):
        normals(index, 5, toward=(1, 2, 3))


# ---------------------------------------------------------------- pool sizes

RESULTS = """
import hashlib, json
import numpy as np
from lumora import PointIndex, Vec3d
from lumora.cloud import normals, radius_inliers, statistical_inliers, voxel_down_sample
rng = np.random.default_rng(4)
points = np.concatenate([rng.normal(0, 1, (40_000, 3)), np.round(rng.uniform(-2, 2, (20_000, 3)), 1)])
points[::4999] = np.nan
index = PointIndex(points)
h = lambda x: hashlib.sha256(np.asarray(x).tobytes()).hexdigest()
v, inverse = voxel_down_sample(points, 0.05, return_inverse=True)
print(json.dumps([h(v), h(inverse), h(statistical_inliers(index, 20, 1.0)),
                  h(radius_inliers(index, 0.05, 3)), h(normals(index, 20, toward=Vec3d(0, 0, 9))),
                  h(index.nearest_each(points[::3] + 0.01, max_distance=0.02))]))
"""


def test_the_same_bits_at_any_pool_size():
    def run(threads):
        env = {**{k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}, "RAYON_NUM_THREADS": threads}
        done = subprocess.run([sys.executable, "-c", RESULTS], env=env, capture_output=True, text=True, check=True)
        return json.loads(done.stdout)

    one = run("1")
    assert run("2") == one and run("7") == one
    assert len(set(one)) == len(one)
