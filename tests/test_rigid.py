"""Rigid motions: every member against its stated formula, bit for bit, over
generated motions; their meaning against scipy's; the fit of paired points
against the SVD recipe, unchanged by the pool size or the pairs' order; the
exact sums beneath it against correctly rounded sums of hostile data."""

import copy
import json
import math
import os
import pickle
import random
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest
from scipy.spatial.transform import Rotation

from lumora import AngleRadians, Quat, RigidTransform, Vec3d, VecList
from support import bits, build_core, same


def motions(rng, n):
    """Motions made from unnormalised quaternions, some of them negative-w."""
    return [RigidTransform(Quat(*rng.normal(size=4) * rng.uniform(0.1, 10)), Vec3d(*rng.normal(size=3) * 50))
            for _ in range(n)]  # fmt: skip


def rows(m):
    return [[bits(x) for x in row] for row in m]


def test_members_follow_their_formulas_bit_for_bit():
    rng = np.random.default_rng(1)
    for a, b in zip(motions(rng, 300), motions(rng, 300)):
        q, t = a.rotation, a.translation
        v = Vec3d(*rng.normal(size=3) * 100)
        assert same(a.apply(v), q.rotate(v) + t, exact=True)
        ab = a * b
        assert same(ab.rotation, (q * b.rotation).normalize(), exact=True)
        assert same(ab.translation, q.rotate(b.translation) + t, exact=True)
        back = q.inverse()
        assert same(a.inverse().rotation, back, exact=True)
        assert same(a.inverse().translation, -back.rotate(t), exact=True)
        s = float(rng.uniform(-0.5, 1.5))
        mid = a.interpolate(b, s)
        assert same(mid.rotation, q.slerp(b.rotation, s), exact=True)
        assert same(mid.translation, Vec3d(*[x * (1 - s) + y * s for x, y in zip(t, b.translation)]), exact=True)
        assert a.interpolate(b, 0) == a and a.interpolate(b, 1) == b
        m = a.to_matrix()
        assert rows(m[:3]) == rows([r + [0.0] for r in q.to_rotation_matrix()])
        assert rows(m[3:]) == rows([[t.x, t.y, t.z, 1.0]])
        assert rows(a.to_matrix(columns=True)) == rows(np.array(m).T.tolist())
        for columns in (False, True):  # the rotation within rounding, the translation exactly
            back = RigidTransform.from_matrix(a.to_matrix(columns=columns), columns=columns)
            assert np.allclose(back.rotation.to_rotation_matrix(), q.to_rotation_matrix(), rtol=0, atol=1e-14)
            assert same(back.translation, t, exact=True)
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            back = pickle.loads(pickle.dumps(a, protocol))
            assert back is not a and same(back, a, exact=True)
        assert same(copy.deepcopy(a), a, exact=True)
        assert same(eval(repr(a)), a, exact=True)


def test_the_constructor_normalises_and_refuses_quaternions_without_a_direction():
    m = RigidTransform(Quat(0, 0, 3, 4), Vec3d(1, 2, 3))
    assert same(m.rotation, Quat(0, 0, 3, 4).normalize(), exact=True)
    assert m == RigidTransform(Quat(0, 0, -0.6, -0.8), Vec3d(1, 2, 3))  # -q is the same rotation
    # An unpickled state is made as the constructor makes it: normalised, or refused alike.
    restore = RigidTransform.__reduce__(m)[0]
    assert same(restore("RigidTransform", struct.pack("<7d", 0, 0, 3, 4, 1, 2, 3)), m, exact=True)
    # A magnitude whose square underflows or overflows still has its direction.
    for scale in (5e-324, 3e-162, 1e-155, 1e200, 1.7e308):
        for make in (lambda: RigidTransform(Quat(0, 0, 3 * scale, 4 * scale), Vec3d(1, 2, 3)),
                     lambda: restore("RigidTransform", struct.pack("<7d", 0, 0, 3 * scale, 4 * scale, 1, 2, 3))):  # fmt: skip
            if not math.isfinite(4 * scale):
                continue
            r = make().rotation
            assert abs(r.magnitude() - 1) < 1e-15 and abs(r.j * 4 - r.k * 3) < 1e-15 and r.k > 0, (scale, r)
    for q in [Quat(0, 0, 0, 0), Quat(math.nan, 0, 0, 1), Quat(math.inf, 0, 0, 0)]:
        for make in (lambda: RigidTransform(q, Vec3d(0, 0, 0)),
                     lambda: restore("RigidTransform", struct.pack("<7d", q.w, q.i, q.j, q.k, 0, 0, 0))):  # fmt: skip
            with pytest.raises(ValueError, match="argument 'rotation': a quaternion of finite, non-zero magnitude"):
                make()
    for other in (Quat.identity(), Vec3d(0, 0, 0), 2):
        with pytest.raises(TypeError):
            m * other
        with pytest.raises(TypeError):
            other * m


def test_meaning_and_matrices_agree_with_scipy():
    rng = np.random.default_rng(2)
    r = Rotation.random(50, random_state=3)
    t = rng.normal(size=(50, 3))
    pts = rng.normal(size=(50, 3))
    for i in range(50):
        ours = RigidTransform.from_matrix(np.block([[r[i].as_matrix(), t[i][:, None]], [np.zeros(3), 1]]),
                                          columns=True)  # fmt: skip
        assert np.allclose(list(ours.apply(Vec3d(*pts[i]))), r[i].apply(pts[i]) + t[i], atol=1e-12)
        quat = Quat.from_rotation_matrix(r[i].as_matrix(), columns=True)
        assert np.allclose(quat.to_rotation_matrix(columns=True), r[i].as_matrix(), atol=1e-12)
        assert np.allclose(list(quat.rotate(Vec3d(*pts[i]))), r[i].apply(pts[i]), atol=1e-12)
        j = (i + 1) % 50
        other = RigidTransform(Quat.from_rotation_matrix(r[j].as_matrix(), columns=True), Vec3d(*t[j]))
        both = (ours * other).apply(Vec3d(*pts[i]))
        assert np.allclose(list(both), r[i].apply(r[j].apply(pts[i]) + t[j]) + t[i], atol=1e-12)


def test_motions_and_the_fit_agree_with_scipys_types():
    pytest.importorskip("scipy", minversion="1.16")  # the version that has RigidTransform
    from scipy.spatial.transform import RigidTransform as Theirs

    def theirs(ms):  # rotate is conj(q) v q: scipy's rotation by (-i, -j, -k, w), scalar last
        quats = [[-m.rotation.i, -m.rotation.j, -m.rotation.k, m.rotation.w] for m in ms]
        return Theirs.from_components([list(m.translation) for m in ms], Rotation.from_quat(quats))

    def agree(got, want, scale):  # to 1e-12 of the magnitudes involved
        return np.all(np.abs(np.asarray(got) - want) <= 1e-12 * scale)

    rng = np.random.default_rng(8)
    a, b = motions(rng, 500), motions(rng, 500)
    ta, tb = theirs(a), theirs(b)
    v = rng.normal(size=(500, 3)) * 100
    moved = [list(m.apply(Vec3d(*p))) for m, p in zip(a, v)]
    size = 1 + np.linalg.norm(v, axis=1) + np.linalg.norm(ta.translation, axis=1)
    assert agree(moved, ta.apply(v), size[:, None])
    pairs = [(a, ta), ([x * y for x, y in zip(a, b)], ta * tb), ([x.inverse() for x in a], ta.inv())]
    for ours, want in pairs:
        m = np.array([x.to_matrix(columns=True) for x in ours])
        w = want.as_matrix()
        assert agree(m[:, :3, :3], w[:, :3, :3], 1)
        assert agree(m[:, :, 3], w[:, :, 3], 1 + np.linalg.norm(w[:, :3, 3], axis=1)[:, None])
        assert (m[:, 3] == [0, 0, 0, 1]).all()
    for case in range(40):  # the fit: align_vectors about the centroids, on noisy pairs
        n = int(rng.integers(4, 400))
        s = rng.normal(size=(n, 3)) * rng.uniform(0.5, 10, 3) + rng.normal(size=3) * 100
        t = Rotation.random(rng=rng).apply(s) + rng.normal(size=3) * 10 + rng.normal(scale=0.05, size=s.shape)
        w = rng.uniform(0.1, 3, n) if case % 2 else np.ones(n)
        fit, rms = RigidTransform.align(s, t, weights=w if case % 2 else None)
        cs, ct = np.average(s, axis=0, weights=w), np.average(t, axis=0, weights=w)
        r, rssd = Rotation.align_vectors(t - ct, s - cs, weights=w)
        assert np.allclose(fit.rotation.to_rotation_matrix(columns=True), r.as_matrix(), rtol=0, atol=1e-9)
        assert np.allclose(list(fit.translation), ct - r.apply(cs), rtol=0, atol=1e-9 * (1 + np.abs(s).max()))
        assert math.isclose(rms, rssd / math.sqrt(w.sum()), rel_tol=1e-9)


def test_from_matrix_says_why_it_refuses():
    turn = RigidTransform(Quat.from_axis_angle(Vec3d(1, 2, 3), AngleRadians(0.7)), Vec3d(4, 5, 6))
    rows_, cols = turn.to_matrix(), turn.to_matrix(columns=True)
    cases = [
        (cols, {}, "row-vector convention: .*pass columns=True"),
        (rows_, {"columns": True}, "column-vector convention: .*pass columns=False"),
        ([r[:3] + [0.5] for r in rows_], {}, "its last column is not \\(0, 0, 0, 1\\)$"),
        ([[-x for x in r[:3]] + [r[3]] for r in rows_[:3]] + [rows_[3]], {}, "a reflection"),
        ([[2 * x for x in r[:3]] + [r[3]] for r in rows_[:3]] + [rows_[3]], {}, "not orthonormal"),
        (rows_[:3], {}, "argument 'matrix': expected 4 rows, got 3"),
        ([r[:3] for r in rows_], {}, "argument 'matrix': row 0: expected 4 items, got 3"),
    ]
    for m, kw, message in cases:
        with pytest.raises(ValueError, match=message):
            RigidTransform.from_matrix(m, **kw)
    with pytest.raises(TypeError, match="argument 'matrix'"):
        RigidTransform.from_matrix([["a"] * 4] * 4)


def kabsch(s, t, w):
    cs, ct = np.average(s, axis=0, weights=w), np.average(t, axis=0, weights=w)
    u, _, vt = np.linalg.svd((w[:, None] * (s - cs)).T @ (t - ct))
    r = vt.T @ np.diag([1, 1, np.sign(np.linalg.det(vt.T @ u.T))]) @ u.T
    return r, ct - r @ cs


@pytest.mark.parametrize("shape", ["cloud", "far", "flat", "line"])
def test_align_agrees_with_the_svd_recipe_and_ignores_order(shape):
    rng = np.random.default_rng(4)
    n = 2000
    s = rng.normal(size=(n, 3)) * [3, 2, 1]
    if shape == "far":
        s += 1e4
    elif shape == "flat":
        s[:, 2] = 0
    elif shape == "line":
        s = np.outer(rng.normal(size=n), [1, 2, 3])
    r = Rotation.random(random_state=5)
    t = r.apply(s) + [1, -2, 3] + rng.normal(scale=1e-3, size=s.shape)
    w = rng.uniform(0.5, 2, n)
    fit, rms = RigidTransform.align(s, t, weights=w)
    moved = VecList.from_buffer(s)
    kept = moved.copy()
    moved.transform(fit)
    assert np.asarray(kept).tobytes() == s.tobytes()  # the copy's own elements, unmoved
    residual = np.sqrt(np.sum(w * np.sum((np.asarray(moved) - t) ** 2, axis=1)) / np.sum(w))
    assert math.isclose(rms, residual, rel_tol=1e-9)
    if shape != "line":  # a line leaves the turn about itself free
        rk, tk = kabsch(s, t, w)
        assert np.allclose(fit.rotation.to_rotation_matrix(columns=True), rk, atol=1e-9)
        assert np.allclose(list(fit.translation), tk, atol=1e-9 * (1 + np.abs(s).max()))
    order = rng.permutation(n)
    shuffled = RigidTransform.align(s[order], VecList.from_buffer(t[order]), weights=w[order])
    assert same(shuffled, (fit, rms), exact=True)


def test_align_refuses_what_has_no_fit():
    p = VecList([Vec3d(0, 0, 0), Vec3d(1, 0, 0)])
    cases = [
        ((p, VecList([Vec3d(0, 0, 0)])), {}, "argument 'target': 2 points, one per source point, are required, not 1"),
        ((VecList.empty(), VecList.empty()), {}, "at least one pair"),
        ((p, p), {"weights": np.array([1.0])}, "argument 'weights': 2 weights"),
        ((p, p), {"weights": np.array([1.0, -1.0])}, "weight 1 is negative or not finite: -1"),
        ((p, p), {"weights": np.array([math.nan, 1.0])}, "weight 0 is negative or not finite"),
        ((p, p), {"weights": np.zeros(2)}, "the weights sum to zero"),
        ((VecList([Vec3d(math.inf, 0, 0)]), VecList([Vec3d(0, 0, 0)])), {}, "argument 'source': a point is not finite"),
    ]
    for args, kw, message in cases:
        with pytest.raises(ValueError, match=message):
            RigidTransform.align(*args, **kw)
    one = RigidTransform.align(VecList([Vec3d(1, 2, 3)] * 3), VecList([Vec3d(0, 0, 1)] * 3))
    assert same(one, (RigidTransform(Quat.identity(), Vec3d(-1, -2, -2)), 0.0), exact=True)


RESULTS = """
import hashlib, json
import numpy as np
from lumora import Quat, RigidTransform, Vec3d, VecList
rng = np.random.default_rng(6)
s = rng.normal(size=(300_000, 3)) * 7
t = s @ np.linalg.qr(rng.normal(size=(3, 3)))[0] + rng.normal(scale=0.01, size=s.shape)
fit, rms = RigidTransform.align(s, t, weights=rng.uniform(0, 1, len(s)))
moved = VecList.from_buffer(s)
moved.transform(fit)
print(json.dumps([repr(fit), rms.hex(), hashlib.sha256(np.asarray(moved).tobytes()).hexdigest()]))
"""


def test_fit_and_transform_do_not_depend_on_the_pool_size():
    def run(threads):
        env = {**{k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}, "RAYON_NUM_THREADS": threads}
        out = subprocess.run([sys.executable, "-c", RESULTS], env=env, capture_output=True, text=True, check=True)
        return json.loads(out.stdout)

    assert run("1") == run("2") == run("7")


def test_threads_share_one_motion_and_move_their_own_lists():
    turn = RigidTransform(Quat.from_axis_angle(Vec3d(0, 1, 0), AngleRadians(0.3)), Vec3d(1, 2, 3))
    start = [Vec3d(i, -i, 0.5 * i) for i in range(5000)]
    expected = [turn.apply(turn.apply(v)) for v in start]
    failures = []

    def work():
        for _ in range(5):
            vl = VecList(start)
            vl.transform(turn)
            vl.transform(turn)
            if not same(list(vl), expected, exact=True):
                failures.append(1)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not failures


HOSTILE = [0.0, -0.0, 1.0, -1.0, 1e-300, 5e-324, -5e-324, 2.0**-1022, 1e300, -1e300, 1.7e308, 1e16, 1.0 + 2**-52, 3.0]


def test_exact_sums_round_once_whatever_the_data(tmp_path_factory):
    run = build_core(tmp_path_factory, "exact_sums")
    rnd = random.Random(7)
    cases = []
    for _ in range(400):
        n = rnd.choice([1, 3, 64, 65, 200, 1000])
        scale = 10.0 ** rnd.randint(-300, 300)
        kind = rnd.random()
        xs = [rnd.gauss(0, 1) * scale for _ in range(n)]
        if kind < 0.5:  # values beside the hostile ones, in any place
            for _ in range(rnd.randint(1, 5)):
                xs[rnd.randrange(n)] = rnd.choice(HOSTILE) * rnd.choice([1, scale])
        if kind < 0.1:
            xs[rnd.randrange(n)] = rnd.choice([math.inf, -math.inf, math.nan])
        cases.append(xs)
    text = "".join(f"{len(xs)} {' '.join(struct.pack('<d', x).hex() for x in xs)}\n" for xs in cases)
    for xs, line in zip(cases, run(text).splitlines()):
        exact, fast, wide = (struct.unpack("<d", bytes.fromhex(h))[0] for h in line.split())
        assert bits(fast) == bits(exact) and bits(wide) == bits(exact), xs
        if all(map(math.isfinite, xs)):
            try:
                assert bits(exact) == bits(math.fsum(xs) + 0.0), xs
            except OverflowError:
                assert math.isinf(exact)
