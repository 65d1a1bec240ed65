"""Quat against pure-Python models, bit for bit, and against scipy's rotations."""

import math

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from scipy.spatial.transform import Rotation

from lumora import AngleRadians, Quat, Vec3d
from support import (EPS, PI, any_bits, check_formula, doubles, finite_vectors, hamilton, ieee_div, libm,
                     quat_magnitude, quats, same, tup, unit, vectors)  # fmt: skip

S = st.tuples
unit_axes = st.tuples(unit, unit, unit).filter(lambda a: 1e-3 < math.hypot(*a))
unit_axes = unit_axes.map(lambda a: tuple(np.divide(a, math.hypot(*a))))
rotations = st.tuples(unit, unit, unit, unit).filter(lambda q: math.hypot(*q) > 1e-3).map(lambda q: Quat(*q).normalize())


def conjugate(q):
    return (q[0], -q[1], -q[2], -q[3])


def rotate(q, v):
    return Vec3d(*hamilton(hamilton(conjugate(q), (0.0, *v)), q)[1:])


def from_axis_angle(axis, theta):
    h = theta * (-0.5)
    sh, ch = libm(math.sin, h), libm(math.cos, h)
    return Quat(ch, sh * axis[0], sh * axis[1], sh * axis[2])


def to_axis_angle(q):
    w, i, j, k = q
    if abs(w - 1.0) < EPS:
        return Vec3d(1.0, 0.0, 0.0), AngleRadians(0.0)
    a = libm(math.acos, w)
    theta = a + a
    s = libm(math.sin, theta * 0.5)
    return Vec3d(ieee_div(-i, s), ieee_div(-j, s), ieee_div(-k, s)), AngleRadians(theta)


def rotation_matrix(q):
    w, i, j, k = q
    return [
        [1.0 - 2.0 * (j * j + k * k), 2.0 * (i * j - w * k), 2.0 * (i * k + w * j)],
        [2.0 * (i * j + w * k), 1.0 - 2.0 * (i * i + k * k), 2.0 * (j * k - w * i)],
        [2.0 * (i * k - w * j), 2.0 * (j * k + w * i), 1.0 - 2.0 * (i * i + j * j)],
    ]


def near(a, b):
    return all(abs(x - y) < EPS for x, y in zip(a, b))


def parts(q):
    return (q.w, q.i, q.j, q.k)


def read_back(q):
    p = Quat(0, 0, 0, 0)
    p.w, p.i, p.j, p.k = q
    return parts(Quat(*q)), parts(Quat(w=q[0], i=q[1], j=q[2], k=q[3])), parts(p), Quat(*q).to_vec3d()


FORMULAS = {
    "read_back": (S(S(*[any_bits] * 4)), read_back, lambda q: (q, q, q, q[1:]), 100, True),
    "conjugate": (S(quats), lambda q: Quat(*q).conjugate(), lambda q: Quat(*conjugate(q)), 100, True),
    "magnitude": (S(quats), lambda q: Quat(*q).magnitude(), quat_magnitude),
    "normalize": (S(quats), lambda q: Quat(*q).normalize(),
                  lambda q: Quat(*(ieee_div(c, quat_magnitude(q)) for c in q))),  # fmt: skip
    "is_unit": (S(quats), lambda q: Quat(*q).is_unit(), lambda q: abs(quat_magnitude(q) - 1.0) < EPS),
    "rotate": (S(quats, vectors), lambda q, v: Quat(*q).rotate(Vec3d(*v)), rotate),
    "from_axis_angle": (S(vectors, doubles), lambda a, t: Quat.from_axis_angle(Vec3d(*a), AngleRadians(t)), from_axis_angle),
    "to_axis_angle": (S(quats), lambda q: Quat(*q).to_axis_angle(), to_axis_angle),
    "to_rotation_matrix": (S(quats), lambda q: Quat(*q).to_rotation_matrix(), rotation_matrix),
    "equality": (S(quats, quats), lambda a, b: (Quat(*a) == Quat(*b), Quat(*a) != Quat(*b)),
                 lambda a, b: (near(a, b), not near(a, b))),  # fmt: skip
}


@pytest.mark.parametrize("name", FORMULAS)
def test_formula(name):
    check_formula(*FORMULAS[name])


NAN3 = (math.nan,) * 3


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("Quat(2, 0, 0, 0).rotate(Vec3d(1, 2, 3))", Vec3d(4, 8, 12)),  # scaled by the squared magnitude
        ("Quat(1, 0, 0, 0).rotate(Vec3d(1e300, -0.0, 5e-324))", Vec3d(1e300, 0, 5e-324)),
        ("Quat(0, 0, 0, 0).rotate(Vec3d(1, -2, 3))", Vec3d(0, 0, 0)),
        ("Quat(math.inf, 0, 0, 0).rotate(Vec3d(1, 2, 3))", Vec3d(*NAN3)),  # no product is skipped
        ("Quat(1, 0, 0, math.nan).rotate(Vec3d(0, 0, 0))", Vec3d(*NAN3)),
        ("Quat(1, 0, 0, 0).rotate(Vec3d(math.inf, 0, 0))", Vec3d(*NAN3)),
        ("quarter_turn", Quat(0.7071067811865476, -0.0, -0.0, -0.7071067811865475)),
        ("[quarter_turn.rotate(Vec3d.i()), quarter_turn.rotate(Vec3d.j())]",
         [Vec3d(2.220446049250313e-16, 1, 0), Vec3d(-1, 2.220446049250313e-16, 0)]),
        ("[Quat(*q).normalize().magnitude() for q in [(2, 0, 0, 0), (0, 3, 4, 0), (1, 2, 1, 1)]]",
         [1.0, 1.0, 0.9999999999999998]),
        ("Quat(0, 0, 0, 0).normalize()", Quat(math.nan, math.nan, math.nan, math.nan)),
        ("[Quat(w, 0, 0, 0).is_unit() for w in [1.0, 1 - 2**-53, 1 + 2**-52, math.nan]]", [True, True, False, False]),
        ("[Quat(*q).to_rotation_matrix() for q in [(1, 0, 0, 0), (0, 0, 0, 0), (2, 0, 0, 0)]]",
         [[[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]] * 3),
        ("Quat.identity().conjugate()", Quat(1, -0.0, -0.0, -0.0)),
        ("Quat.identity().conjugate() == Quat.identity()", True),
        # Deliberate: to_axis_angle gives the axis with the sign from_axis_angle takes.
        ("Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(1.0)).to_axis_angle()",
         (Vec3d(0, 0, 1.0000000000000002), AngleRadians(0.9999999999999998))),
        ("[Quat(*q).to_axis_angle() for q in [(1, 0, 0, 0), (1, 5, 5, 5), (1 - 2**-53, 5, 5, 5)]]",
         [(Vec3d(1, 0, 0), AngleRadians(0))] * 3),
        ("Quat(1 + 2**-52, 0, 0, 0).to_axis_angle()", (Vec3d(*NAN3), AngleRadians(math.nan))),  # |w - 1| = EPS: computed
        ("Quat(1 - 2**-52, 0, 0, 0).to_axis_angle()", (Vec3d(-0.0, -0.0, -0.0), AngleRadians(2 * math.acos(1 - 2**-52)))),
        ("Quat(0, 1, 0, 0).to_axis_angle()", (Vec3d(-1, -0.0, -0.0), AngleRadians(PI))),
        ("Quat(-1, 0, 0, 0).to_axis_angle()", (Vec3d(-0.0, -0.0, -0.0), AngleRadians(2 * PI))),
        ("Quat(2, 1, 0, 0).to_axis_angle()", (Vec3d(*NAN3), AngleRadians(math.nan))),
    ],
)  # fmt: skip
def test_examples(expr, expected):
    quarter_turn = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
    assert same(eval(expr, globals(), {"quarter_turn": quarter_turn}), expected)


@pytest.mark.parametrize("n", range(4))
@pytest.mark.parametrize(
    "a, b, equal",
    [
        ((1, 0, 0, 0), (1 + 2.0**-52, 0, 0, 0), False),  # a difference of exactly EPS
        ((1, 0, 0, 0), (1 - 2.0**-53, 0, 0, 0), True),
        ((1, 0, 0, 0), (1 - 2.0**-52, 0, 0, 0), False),
        ((0, 0, 0, 0), (1e-17, 0, 0, 0), True),
        ((2, 0, 0, 0), (math.nextafter(2.0, 3.0), 0, 0, 0), False),
        ((1, 0, 0, 0), (1, -0.0, -0.0, -0.0), True),
        ((1, 0, 0, math.nan), (1, 0, 0, math.nan), False),
        ((math.inf, 0, 0, 0), (math.inf, 0, 0, 0), False),
    ],
)
def test_equality_examples_in_each_component(a, b, equal, n):
    a, b = Quat(*a[n:], *a[:n]), Quat(*b[n:], *b[:n])
    assert (a == b) is equal and (a != b) is (not equal)


# ---------------------------------------------------------------- rotations, geometrically


@given(unit_axes, st.floats(min_value=1e-3, max_value=2 * PI - 1e-3), finite_vectors)
def test_axis_angle_round_trip_rotates_the_same_way(axis, theta, v):
    # Deliberate: the axis comes back with the sign from_axis_angle takes.
    q = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(theta))
    axis2, angle2 = q.to_axis_angle()
    assert np.allclose(tup(axis2), axis, rtol=0, atol=1e-8) and math.isclose(angle2.angle, theta, abs_tol=1e-8)
    back = Quat.from_axis_angle(axis2, angle2)
    assert np.allclose(parts(back), parts(q), rtol=0, atol=1e-8)
    scale = max(1.0, math.hypot(*v))
    assert np.allclose(tup(back.rotate(Vec3d(*v))), tup(q.rotate(Vec3d(*v))), rtol=0, atol=1e-7 * scale)


# ---------------------------------------------------------------- rotations against scipy


def scipy_rotation(q):
    """q turns v as conj(q) * v * q: scipy's (scalar-last) quaternion is conj(q)."""
    return Rotation.from_quat([-q.i, -q.j, -q.k, q.w])


@given(unit_axes, st.floats(min_value=-10.0, max_value=10.0), finite_vectors)
def test_rotate_matches_scipy_rotvec(axis, theta, v):
    ours = tup(Quat.from_axis_angle(Vec3d(*axis), AngleRadians(theta)).rotate(Vec3d(*v)))
    theirs = Rotation.from_rotvec(theta * np.asarray(axis)).apply(v)
    assert np.allclose(ours, theirs, rtol=0, atol=1e-14 * max(1.0, math.hypot(*v)))


@given(rotations)
def test_to_axis_angle_matches_scipy_rotvec(q):
    # acos(w) is ill-conditioned near +-1: there the stored w alone fixes the
    # angle only to about sqrt(ulp), and the axis, divided by sin(acos(w)), to
    # about ulp / (1 - w^2).
    assume(abs(q.w) < 1.0 - 1e-6)
    tol = 1e-12 + 2e-15 / (1.0 - q.w * q.w)
    axis, angle = q.to_axis_angle()
    rotvec = np.asarray(tup(axis)) * angle.angle
    if q.w > 0:
        assert np.allclose(rotvec, scipy_rotation(q).as_rotvec(), rtol=0, atol=tol)
    else:
        # From half a turn on scipy may answer with the opposite axis and 2pi - angle.
        assert angle.angle >= PI
        assert np.allclose(Rotation.from_rotvec(rotvec).as_matrix(), scipy_rotation(q).as_matrix(), rtol=0, atol=tol)
    assert math.isclose(np.linalg.norm(tup(axis)), 1.0, abs_tol=tol)


@given(rotations)
def test_matrix_rows_are_rotated_basis_vectors(q):
    m = q.to_rotation_matrix()
    for row, basis in zip(m, (Vec3d.i(), Vec3d.j(), Vec3d.k())):
        assert np.allclose(row, tup(q.rotate(basis)), rtol=0, atol=2e-15)
    assert np.allclose(np.transpose(m), scipy_rotation(q).as_matrix(), rtol=0, atol=4e-15)
