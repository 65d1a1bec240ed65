"""Registration: one iteration of each variant against a numpy oracle of the
same pairs, recovery of known motions from several starts, the same pose at
any pool size, the evaluation against scipy's bounded search, refusals."""

import json
import math
import os
import pickle
import struct
import subprocess
import sys

import numpy as np
import pytest
from scipy.spatial import cKDTree
from scipy.spatial.transform import Rotation

from lumora import AngleRadians, PointIndex, Quat, RigidTransform, Vec3d, VecList
from lumora.cloud import evaluate, icp, normals


def scene(n, rng, noise=0.002):
    """Three planes meeting in a corner and a sphere: every motion is pinned."""
    k = n // 4
    u = rng.uniform(0, 1, (3 * k, 2))
    planes = [np.c_[u[:k], np.zeros(k)], np.c_[np.zeros(k), u[k:2 * k]], np.c_[u[2 * k:, 0], np.zeros(k), u[2 * k:, 1]]]
    d = rng.normal(size=(n - 3 * k, 3))
    sphere = 0.2 * d / np.linalg.norm(d, axis=1)[:, None] + [0.6, 0.6, 0.4]
    return np.concatenate(planes + [sphere]) + rng.normal(0, noise, (n, 3))


def as_matrix(m):
    return np.array(m.to_matrix(columns=True))


def moved(points, m):
    return points @ as_matrix(m)[:3, :3].T + as_matrix(m)[:3, 3]


def one_step_oracle(source, target, target_normals, start, max_distance):
    """The increment numpy computes from the pairs of `start`, composed on it."""
    p = moved(source, start)
    d, j = cKDTree(target).query(p, distance_upper_bound=max_distance)
    paired = np.isfinite(d)
    p, q = p[paired], target[j[paired]]
    if target_normals is None:
        cp, cq = p.mean(0), q.mean(0)
        u, _, vt = np.linalg.svd((p - cp).T @ (q - cq))
        r = vt.T @ np.diag([1, 1, np.sign(np.linalg.det(vt.T @ u.T))]) @ u.T
        inc = np.eye(4)
        inc[:3, :3], inc[:3, 3] = r, cq - r @ cp
    else:
        n = target_normals[j[paired]]
        jac = np.c_[np.cross(p, n), n]
        res = np.einsum("ij,ij->i", p - q, n)
        x = np.linalg.solve(jac.T @ jac, -jac.T @ res)
        inc = np.eye(4)
        inc[:3, :3], inc[:3, 3] = Rotation.from_rotvec(x[:3]).as_matrix(), x[3:]
    return inc @ as_matrix(start)


@pytest.mark.parametrize("plane", [False, True])
def test_each_iteration_is_the_least_squares_step_of_its_pairs(plane):
    rng = np.random.default_rng(1)
    target = scene(4000, rng)
    index = PointIndex(target)
    tn = np.asarray(normals(index, 12)) if plane else None
    source = scene(3000, rng)
    for start_angle, axis in [(3, (0, 0, 1)), (6, (1, 1, 0)), (9, (1, -2, 0.5))]:
        start = RigidTransform(Quat.from_axis_angle(Vec3d(*axis).normalize(), AngleRadians(math.radians(start_angle))),
                               Vec3d(0.02, -0.01, 0.03))  # fmt: skip
        got = icp(source, index, 0.08, init=start, target_normals=tn, iterations=1, tolerance=0.0)
        assert got.iterations == 1
        assert np.allclose(as_matrix(got.transform), one_step_oracle(source, target, tn, start, 0.08), atol=1e-9)


@pytest.mark.parametrize("plane", [False, True])
def test_every_iteration_pairs_as_a_fresh_start_does(plane):
    """Later iterations keep a partner without a search where it provably
    stays the nearest: each is the same bits as one iteration started from
    the motion before it, and the last pairing is that of evaluate."""
    rng = np.random.default_rng(5)
    target = scene(6000, rng)
    index = PointIndex(target)
    tn = normals(index, 12) if plane else None
    turn = RigidTransform(Quat.from_axis_angle(Vec3d(1, 2, 3).normalize(), AngleRadians(math.radians(8))),
                          Vec3d(0.03, 0.01, -0.02))  # fmt: skip
    source = VecList.from_buffer(scene(4000, rng))
    source.transform(turn)
    before = RigidTransform.identity()
    for k in range(1, 13):
        run = icp(source, index, 0.15, target_normals=tn, iterations=k, tolerance=0.0)
        if run.iterations < k:
            break
        fresh = icp(source, index, 0.15, init=before, target_normals=tn, iterations=1, tolerance=0.0)
        assert run.transform == fresh.transform, k
        assert (run.fitness, run.rmse) == evaluate(source, index, 0.15, transform=run.transform)
        before = run.transform
    assert k > 6


@pytest.mark.parametrize("plane", [False, True])
def test_known_motions_are_recovered_from_several_starts(plane):
    rng = np.random.default_rng(2)
    target = scene(20_000, rng)
    index = PointIndex(target)
    tn = normals(index, 20) if plane else None
    for trial in range(3):
        truth = RigidTransform(Quat(*rng.normal(size=4)), Vec3d(*rng.normal(0, 0.03, 3)))
        angle = math.radians(rng.uniform(5, 12))
        truth = RigidTransform(Quat.from_axis_angle(Vec3d(*rng.normal(size=3)).normalize(), AngleRadians(angle)),
                               truth.translation)  # fmt: skip
        source = VecList.from_buffer(scene(15_000, rng))
        source.transform(truth.inverse())
        found = icp(source, index, 0.1, target_normals=tn, iterations=60)
        error = found.transform.inverse() * truth
        assert math.degrees(2 * math.acos(min(1.0, abs(error.rotation.w)))) < 0.05 * (1 if plane else 4)
        assert error.translation.magnitude() < 0.002 * (1 if plane else 4)
        assert found.fitness > 0.95 and found.rmse < 0.01 and (found.converged or not plane)
        fitness, rmse = evaluate(source, index, 0.1, transform=found.transform)
        assert (fitness, rmse) == (found.fitness, found.rmse)


def test_evaluate_is_the_bounded_pairing():
    rng = np.random.default_rng(3)
    target = rng.uniform(0, 1, (3000, 3))
    source = rng.uniform(0, 1.2, (2000, 3))
    motion = RigidTransform(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.1)), Vec3d(0.05, 0, 0))
    d, _ = cKDTree(target).query(moved(source, motion), distance_upper_bound=0.04)
    fitness, rmse = evaluate(source, PointIndex(target), 0.04, transform=motion)
    assert fitness == np.isfinite(d).sum() / len(source)
    assert math.isclose(rmse, math.sqrt(np.mean(d[np.isfinite(d)] ** 2)), rel_tol=1e-12)
    assert evaluate(source, PointIndex(target), 1e-9) == (0.0, 0.0)
    nothing = icp(source, PointIndex(target), 1e-9)
    assert (nothing.iterations, nothing.converged, nothing.fitness) == (0, False, 0.0)


RUN = """
import json, sys
import numpy as np
from lumora import PointIndex, Quat, RigidTransform, Vec3d, VecList
from lumora.cloud import icp, normals
rng = np.random.default_rng(4)
def corner(n):
    u = rng.uniform(0, 1, (n, 2))
    z = np.zeros((n, 1))
    return np.concatenate([np.c_[u, z], np.c_[z, u], np.c_[u[:, :1], z, u[:, 1:]]]) + rng.normal(0, 0.002, (3 * n, 3))
index = PointIndex(corner(20_000))
source = VecList.from_buffer(corner(15_000))
source.transform(RigidTransform(Quat(0.99, 0.05, -0.08, 0.03), Vec3d(0.03, 0.01, -0.02)))
plane = icp(source, index, 0.1, target_normals=normals(index, 10), iterations=8, tolerance=0.0)
point = icp(source, index, 0.1, iterations=8, tolerance=0.0)
print(json.dumps([repr(plane), repr(point)]))
"""


def test_the_same_pose_at_any_pool_size():
    def run(threads):
        env = {**{k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}, "RAYON_NUM_THREADS": threads}
        out = subprocess.run([sys.executable, "-c", RUN], env=env, capture_output=True, text=True, check=True)
        return json.loads(out.stdout)

    assert run("1") == run("2") == run("7")


def test_refusals_and_the_result():
    rng = np.random.default_rng(5)
    index = PointIndex(scene(400, rng))
    source = scene(300, rng)
    cases = [
        ((source, index, 0.0), {}, "argument 'max_distance': a positive finite distance is required, not 0"),
        ((source, index, math.inf), {}, "argument 'max_distance'"),
        ((source, index, math.nan), {}, "argument 'max_distance'"),
        ((source, index, 0.1), {"target_normals": VecList([Vec3d(0, 0, 1)])}, "400 normals, one per target point"),
        ((source, index, 0.1), {"iterations": 0}, "argument 'iterations': at least 1"),
        ((source, index, 0.1), {"tolerance": -1.0}, "argument 'tolerance'"),
        ((VecList.empty(), index, 0.1), {}, "argument 'source': no points"),
        ((source, PointIndex(VecList.empty()), 0.1), {}, "argument 'target': an empty PointIndex"),
    ]
    for args, kw, message in cases:
        with pytest.raises(ValueError, match=message):
            icp(*args, **kw)
        if not kw:  # the arguments evaluate shares, refused alike
            with pytest.raises(ValueError, match=message):
                evaluate(*args)
    with pytest.raises(TypeError, match="argument 'init'"):
        icp(source, index, 0.1, init=Quat.identity())
    r = icp(source, index, 0.1, iterations=2)
    assert r.iterations <= 2 and 0 < r.fitness <= 1
    back = pickle.loads(pickle.dumps(r))
    assert repr(back) == repr(r) and repr(r).startswith("IcpResult(transform=RigidTransform(Quat(")
    assert f"iterations={r.iterations}, converged={r.converged})" in repr(r)
    with pytest.raises(ValueError, match="not the bytes of an IcpResult"):
        type(r).__reduce__(r)[0]("IcpResult", bytes(88))
    state = struct.pack("<9d2Q", 0, 0, 3, 4, 1, 2, 3, 0.5, 0.1, 2, 1)  # a rotation stored normalised
    made = type(r).__reduce__(r)[0]("IcpResult", state).transform
    assert repr(made) == repr(RigidTransform(Quat(0, 0, 3, 4), Vec3d(1, 2, 3)))
