"""Composition, inverse, slerp and rotation matrices read in: bit for bit
against pure-Python models of their formulas, and against scipy's rotations
on thousands of random ones."""

import array
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy.spatial.transform import Rotation, Slerp

from lumora import AngleRadians, Quat, Vec3d
from support import (EPS, check_formula, cross, dot, doubles, hamilton, ieee_div, libm, outcome, quat_magnitude, quats,
                     rough, same, tup, unit)  # fmt: skip

S = st.tuples
SLERP_LINEAR_ABOVE = 1.0 - 2.0**-33
NOT_ORTHONORMAL = "matrix is not a rotation: its rows are not orthonormal within 1e-6"
REFLECTION = "matrix is not a rotation: its determinant is -1 (a reflection)"

# ---------------------------------------------------------------- models, one IEEE operation at a time


def qdot(a, b):
    return ((a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]) + a[3] * b[3]


def negated(q):
    return tuple(-c for c in q)


def normalized(q):
    m = quat_magnitude(q)
    return tuple(ieee_div(c, m) for c in q)


def compose(a, b):
    return Quat(*hamilton(b, a))


def inverse(q):
    n = ((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3]
    return Quat(ieee_div(q[0], n), ieee_div(-q[1], n), ieee_div(-q[2], n), ieee_div(-q[3], n))


def slerp(a, b, t):
    d = qdot(a, b)
    if d < 0.0:
        b, d = negated(b), -d

    def blend(wa, wb):
        return tuple(wa * x + wb * y for x, y in zip(a, b))

    if d > SLERP_LINEAR_ABOVE:
        return Quat(*normalized(blend(1.0 - t, t)))
    theta = libm(math.acos, d)
    s = libm(math.sin, theta)
    return Quat(*blend(ieee_div(libm(math.sin, (1.0 - t) * theta), s), ieee_div(libm(math.sin, t * theta), s)))


def from_rotation_matrix(m):
    for r in range(3):
        for c in range(r, 3):
            if not abs(dot(m[r], m[c]) - (1.0 if r == c else 0.0)) < 1e-6:
                raise ValueError(NOT_ORTHONORMAL)
    if not dot(m[0], cross(m[1], m[2])) > 0.0:
        raise ValueError(REFLECTION)
    (m00, m01, m02), (m10, m11, m12), (m20, m21, m22) = m
    t = (m00 + m11) + m22
    if t >= m00 and t >= m11 and t >= m22:
        r = libm(math.sqrt, 1.0 + t)
        s = r + r
        q = (r * 0.5, ieee_div(m21 - m12, s), ieee_div(m02 - m20, s), ieee_div(m10 - m01, s))
    elif m00 >= m11 and m00 >= m22:
        r = libm(math.sqrt, ((1.0 + m00) - m11) - m22)
        s = r + r
        q = (ieee_div(m21 - m12, s), r * 0.5, ieee_div(m01 + m10, s), ieee_div(m02 + m20, s))
    elif m11 >= m22:
        r = libm(math.sqrt, ((1.0 - m00) + m11) - m22)
        s = r + r
        q = (ieee_div(m02 - m20, s), ieee_div(m01 + m10, s), r * 0.5, ieee_div(m12 + m21, s))
    else:
        r = libm(math.sqrt, ((1.0 - m00) - m11) + m22)
        s = r + r
        q = (ieee_div(m10 - m01, s), ieee_div(m02 + m20, s), ieee_div(m12 + m21, s), r * 0.5)
    q = normalized(q)
    return Quat(*(negated(q) if q[0] < 0.0 else q))


# ---------------------------------------------------------------- strategies

unit_quats = S(unit, unit, unit, unit).filter(lambda q: math.hypot(*q) > 1e-3).map(normalized)
# Pairs on both sides of slerp's switch to the linear blend, and of its
# negation: b is a, nudged by up to ~1e-5 per component, and maybe negated.
nudges = st.one_of(st.floats(-2e-5, 2e-5), st.sampled_from([0.0, 1e-10, -3e-6, 5e-324]))
near_pairs = st.builds(
    lambda a, e, flip: (a, normalized(tuple(x * (-1.0 if flip else 1.0) + d for x, d in zip(a, e)))),
    unit_quats, S(nudges, nudges, nudges, nudges), st.booleans())  # fmt: skip
pairs = st.one_of(S(quats, quats), S(unit_quats, unit_quats), near_pairs, unit_quats.map(lambda a: (a, a)))
weights = st.one_of(doubles, st.floats(-0.5, 1.5), st.sampled_from([0.0, 1.0, 0.5]))


def rows(q):
    return Quat(*q).to_rotation_matrix()


def perturbed(m, e):
    return [[x + d for x, d in zip(row, es)] for row, es in zip(m, e)]


entries = st.floats(-2e-6, 2e-6)
noise = S(*[S(entries, entries, entries)] * 3)
# Rotation matrices (each branch is picked by one quarter of them), the same
# within and beyond the tolerance, reflections, matrices of special and
# arbitrary values, and the axis-aligned half turns where the branches tie.
matrices = st.one_of(
    unit_quats.map(rows),
    st.builds(perturbed, unit_quats.map(rows), noise),
    unit_quats.map(lambda q: [[-x for x in row] for row in rows(q)]),
    unit_quats.map(lambda q: [rows(q)[1], rows(q)[0], rows(q)[2]]),
    S(*[S(doubles, doubles, doubles)] * 3),
    S(*[S(rough, rough, rough)] * 3),
    st.sampled_from([(1, 0, 0, 0), (0, 1, 0, 0), (0, 0, 1, 0), (0, 0, 0, 1), (0.5, 0.5, 0.5, 0.5),
                     (0.5, -0.5, 0.5, -0.5), (0, 0.6, 0.8, 0), (0.6, 0, 0, -0.8)]).map(rows),
)  # fmt: skip


def matrix_forms(m):
    """The same matrix as nested lists, as a tuple of tuples and as buffers
    in row-major and in column-major order."""
    m = [[float(x) for x in row] for row in m]
    return [m, tuple(map(tuple, m)), np.array(m), np.asfortranarray(m)]


FORMULAS = {
    "compose": (S(quats, quats), lambda a, b: Quat(*a) * Quat(*b), compose),
    "inverse": (S(quats), lambda q: Quat(*q).inverse(), inverse),
    "slerp": (S(pairs, weights), lambda p, t: Quat(*p[0]).slerp(Quat(*p[1]), t), lambda p, t: slerp(*p, t)),
    "from_rotation_matrix": (S(matrices), lambda m: [outcome(Quat.from_rotation_matrix, [f]) for f in matrix_forms(m)],
                             lambda m: [outcome(from_rotation_matrix, [m])] * 4),
}  # fmt: skip


@pytest.mark.parametrize("name", FORMULAS)
def test_formula(name):
    check_formula(*FORMULAS[name], examples=300)


NAN4 = (math.nan,) * 4
QUARTER = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
EIGHTH = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.quarter_pi())


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("Quat(0, 0, 0, 0).inverse()", Quat(*NAN4)),
        ("Quat(2, 0, 0, 0).inverse()", Quat(0.5, -0.0, -0.0, -0.0)),
        ("Quat(0, 0, 0, 2).inverse()", Quat(0.0, -0.0, -0.0, -0.5)),
        ("Quat(math.inf, 0, 0, 0).inverse()", Quat(math.nan, -0.0, -0.0, -0.0)),
        # Not normalised: the magnitudes multiply.
        ("Quat(2, 0, 0, 0) * Quat(0, 3, 0, 0)", Quat(0, 6, 0, 0)),
        ("Quat(0, 0, 0, 0) * Quat(1, math.inf, 0, 0)", Quat(*NAN4)),
        ("Quat.identity().slerp(QUARTER, math.nan)", Quat(*NAN4)),
        ("Quat(0, 0, 0, 0).slerp(Quat(0, 0, 0, 0), 0.5)", Quat(0, 0, 0, 0)),  # d = 0: the sine weights
        # Axis-aligned half turns, one for each branch, and the tie of all four.
        ("Quat.from_rotation_matrix([[1, 0, 0], [0, 1, 0], [0, 0, 1]])", Quat(1, 0, 0, 0)),
        ("Quat.from_rotation_matrix([[1, 0, 0], [0, -1, 0], [0, 0, -1]])", Quat(0, 1, 0, 0)),
        ("Quat.from_rotation_matrix([[-1, 0, 0], [0, 1, 0], [0, 0, -1]])", Quat(0, 0, 1, 0)),
        ("Quat.from_rotation_matrix([[-1, 0, 0], [0, -1, 0], [0, 0, 1]])", Quat(0, 0, 0, 1)),
        ("Quat.from_rotation_matrix([[0, 0, 1], [1, 0, 0], [0, 1, 0]])", Quat(0.5, 0.5, 0.5, 0.5)),
    ],
)  # fmt: skip
def test_examples(expr, expected):
    assert same(eval(expr), expected)


@pytest.mark.parametrize(
    "expr, expected",
    [
        # The ends, and the half-way point of a quarter turn about z.
        ("[Quat.identity().slerp(QUARTER, t) for t in (0.0, 1.0)]", [Quat.identity(), QUARTER]),
        ("Quat.identity().slerp(QUARTER, 0.5)", EIGHTH),
        ("Quat.identity().slerp(QUARTER, 2.0)", Quat(0.0, 0.0, 0.0, -1.0)),  # extrapolated to a half turn
        # The shorter arc: -QUARTER is the same rotation.
        ("Quat.identity().slerp(Quat(*negated(parts(QUARTER))), 0.5)", EIGHTH),
        ("Quat.identity().slerp(Quat.identity(), 0.25)", Quat.identity()),
        ("Quat.from_rotation_matrix(QUARTER.to_rotation_matrix())", QUARTER),
        ("QUARTER * QUARTER", Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.pi())),
        ("QUARTER * QUARTER.inverse()", Quat.identity()),
    ],
)  # fmt: skip
def test_examples_up_to_rounding(expr, expected):
    assert np.allclose(flat(eval(expr)), flat(expected), rtol=0, atol=2 * EPS)


def flat(r):
    return [c for q in (r if isinstance(r, list) else [r]) for c in parts(q)]


def parts(q):
    return (q.w, q.i, q.j, q.k)


# ---------------------------------------------------------------- against scipy, on thousands of random rotations

COUNT = 2000
TIGHT = 1e-12


def random_rotations(seed, n=COUNT):
    """n rotations as (ours, scipy's), made from the same random axes and angles."""
    rng = np.random.default_rng(seed)
    axes = rng.normal(size=(n, 3))
    axes /= np.linalg.norm(axes, axis=1)[:, None]
    angles = rng.uniform(-2 * math.pi, 2 * math.pi, n)
    ours = [Quat.from_axis_angle(Vec3d(*a), AngleRadians(t)) for a, t in zip(axes, angles)]
    return ours, Rotation.from_rotvec(angles[:, None] * axes)


def random_vectors(seed, n=COUNT):
    return np.random.default_rng(seed).uniform(-1.0, 1.0, size=(n, 3))


def assert_rotate_alike(ours, theirs, vectors):
    got = np.array([tup(q.rotate(Vec3d(*v))) for q, v in zip(ours, vectors)])
    assert np.abs(got - theirs.apply(vectors)).max() < TIGHT


def test_composition_matches_scipy():
    (a, ra), (b, rb) = random_rotations(1), random_rotations(2)
    assert_rotate_alike([x * y for x, y in zip(a, b)], ra * rb, random_vectors(3))


def test_inverse_matches_scipy():
    a, ra = random_rotations(4)
    assert_rotate_alike([x.inverse() for x in a], ra.inv(), random_vectors(5))


def test_slerp_matches_scipy():
    (a, ra), (b, rb) = random_rotations(6), random_rotations(7)
    ts = np.random.default_rng(8).uniform(0.0, 1.0, COUNT)
    # Half a turn apart the shorter arc is undecided; no random pair comes near.
    assert min(abs(qdot(parts(x), parts(y))) for x, y in zip(a, b)) > 1e-6
    ours = [x.slerp(y, t) for x, y, t in zip(a, b, ts)]
    theirs = Rotation.concatenate([Slerp([0, 1], Rotation.concatenate([ra[n], rb[n]]))(t) for n, t in enumerate(ts)])
    assert_rotate_alike(ours, theirs, random_vectors(9))


def test_from_rotation_matrix_matches_scipy():
    # scipy's matrices map column vectors; ours have the images as rows.
    theirs = Rotation.random(COUNT, rng=10)
    ours = [Quat.from_rotation_matrix(m.T) for m in theirs.as_matrix()]
    assert_rotate_alike(ours, Rotation.from_matrix(theirs.as_matrix()), random_vectors(11))
    assert all(q.w >= 0.0 and abs(q.magnitude() - 1.0) < 2 * EPS for q in ours)


# ---------------------------------------------------------------- properties of rotations


@given(unit_quats, unit_quats, unit_quats)
def test_composition_is_associative_and_composes_rotations(a, b, c):
    a, b, c = Quat(*a), Quat(*b), Quat(*c)
    assert np.allclose(parts((a * b) * c), parts(a * (b * c)), rtol=0, atol=4 * EPS)
    v = Vec3d(0.25, -1.0, 0.5)
    assert np.allclose(tup((a * b).rotate(v)), tup(a.rotate(b.rotate(v))), rtol=0, atol=8 * EPS)


@given(unit_quats)
def test_a_rotation_times_its_inverse_is_the_identity(q):
    # Within 2 EPS: for about one random unit q in twelve some component is off by EPS or more.
    q = Quat(*q)
    for product in (q * q.inverse(), q.inverse() * q):
        assert np.allclose(parts(product), (1, 0, 0, 0), rtol=0, atol=2 * EPS)


def shorter_end(a, b):
    return Quat(*b) if qdot(a, b) >= 0 else Quat(*negated(b))


@given(S(unit_quats, unit_quats).filter(lambda p: abs(qdot(*p)) <= SLERP_LINEAR_ABOVE))
def test_slerp_on_the_arc_gives_its_ends_exactly(p):
    a, b, end = Quat(*p[0]), Quat(*p[1]), shorter_end(*p)
    # Equal as numbers: a zero may come back with the other sign.
    assert parts(a.slerp(b, 0.0)) == parts(a) and parts(a.slerp(b, 1.0)) == parts(end)


@given(near_pairs)
def test_slerp_blending_linearly_gives_its_ends_up_to_rounding(p):
    # The blend's normalisation may move a unit end's components by an ulp.
    a, b, end = Quat(*p[0]), Quat(*p[1]), shorter_end(*p)
    assert np.allclose(flat([a.slerp(b, 0.0), a.slerp(b, 1.0)]), flat([a, end]), rtol=0, atol=2 * EPS)


@given(unit_quats)
def test_a_matrix_read_back_rotates_like_its_quaternion(q):
    q = Quat(*q)
    back = Quat.from_rotation_matrix(q.to_rotation_matrix())
    assert back.w >= 0.0 and abs(back.magnitude() - 1.0) < 2 * EPS
    # The same rotation: q or -q.
    assert any(np.allclose(parts(back), p, rtol=0, atol=8 * EPS) for p in (parts(q), negated(parts(q))))


# ---------------------------------------------------------------- at the boundary


def test_only_two_quaternions_multiply():
    q, v = Quat(1, 0, 0, 0), Vec3d(1, 2, 3)
    for product in [lambda: q * 2.0, lambda: 2.0 * q, lambda: q * v, lambda: v * q, lambda: q * None]:
        with pytest.raises(TypeError, match=r"^unsupported operand type\(s\) for \*"):
            product()
    assert q.__mul__(2.0) is NotImplemented and not hasattr(Quat, "__imul__")
    p = q
    q *= Quat(0, 1, 0, 0)  # no in-place form: a new object, the old one unchanged
    assert p is not q and parts(p) == (1, 0, 0, 0) and parts(q) == (0, 1, 0, 0)


IDENTITY_ROWS = [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]


class Number:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize(
    "matrix",
    [
        IDENTITY_ROWS,
        [(1, 0, 0), [0, True, 0], np.array([0, 0, Number(1.0)], dtype=object)],  # the float rule, item by item
        np.eye(3),
        np.eye(3)[::-1, ::-1],  # negative strides
        np.eye(6)[::2, ::2],  # gaps between the items
        np.eye(3, dtype=np.float32),  # not doubles: read as rows of numbers
        np.eye(3).astype(">f8"),  # not in native byte order: likewise
        memoryview(np.eye(3).tobytes()).cast("d", [3, 3]),
    ],
)  # fmt: skip
def test_matrix_arguments_of_every_form(matrix):
    assert same(Quat.from_rotation_matrix(matrix), Quat(1, 0, 0, 0), exact=True)
    assert same(Quat.from_rotation_matrix(matrix=matrix), Quat(1, 0, 0, 0), exact=True)


@pytest.mark.parametrize(
    "matrix, message",
    [
        (5, "'int' object is not a sequence of 3 rows of 3 floats or a buffer of 3x3 doubles"),
        (None, "'NoneType' object is not a sequence of 3 rows of 3 floats or a buffer of 3x3 doubles"),
        ("abc", "'str' object is not a sequence of 3 rows of 3 floats or a buffer of 3x3 doubles"),
        (b"\1\0\0\0\1\0\0\0\1", "'bytes' object is not a sequence of 3 rows of 3 floats or a buffer of 3x3 doubles"),
        ({1, 2, 3}, "'set' object is not a sequence of 3 rows of 3 floats or a buffer of 3x3 doubles"),
        (IDENTITY_ROWS[:2], "expected 3 rows, got 2"),
        (IDENTITY_ROWS * 2, "expected 3 rows, got 6"),
        (np.eye(4), "expected 3 rows, got 4"),
        (array.array("d", [1, 0, 0, 0, 1, 0, 0, 0, 1]), "expected 3 rows, got 9"),
        ([[1, 0, 0], [0, 1], [0, 0, 1]], "row 1: expected 3 items, got 2"),
        (np.zeros((3, 4)), "row 0: expected 3 items, got 4"),
        ([[1, 0, 0], [0, 1, 0], 1.0], "row 2: 'float' object is not a sequence of 3 floats"),
        ([[1, 0, 0], "abc", [0, 0, 1]], "row 1: 'str' object is not a sequence of 3 floats"),
        ([Vec3d(1, 0, 0), Vec3d(0, 1, 0), Vec3d(0, 0, 1)], "row 0: 'Vec3d' object is not a sequence of 3 floats"),
        ([[1, 0, 0], [0, "1", 0], [0, 0, 1]], "row 1, column 1: must be real number, not str"),
        ([[1, 0, 0], [0, 1, 0], [0, 0, None]], "row 2, column 2: must be real number, not NoneType"),
    ],
)  # fmt: skip
def test_matrix_argument_errors_name_the_argument_and_the_place(matrix, message):
    with pytest.raises(TypeError) as caught:
        Quat.from_rotation_matrix(matrix)
    assert str(caught.value) == f"argument 'matrix': {message}"


def test_matrix_item_errors_of_other_kinds_pass_unchanged():
    boom = type("Boom", (), {"__float__": lambda self: 1 / 0})()
    with pytest.raises(ZeroDivisionError):
        Quat.from_rotation_matrix([[1, 0, 0], [0, boom, 0], [0, 0, 1]])
    with pytest.raises(TypeError, match=r"^Quat.from_rotation_matrix\(\) got an unexpected keyword argument 'm'$"):
        Quat.from_rotation_matrix(m=IDENTITY_ROWS)


@pytest.mark.parametrize(
    "matrix, message",
    [
        ([[-1, 0, 0], [0, 1, 0], [0, 0, 1]], REFLECTION),  # a mirror
        ([[0, 1, 0], [1, 0, 0], [0, 0, 1]], REFLECTION),  # two axes swapped
        ([[1, 0.1, 0], [0, 1, 0], [0, 0, 1]], NOT_ORTHONORMAL),  # sheared
        ([[2, 0, 0], [0, 2, 0], [0, 0, 2]], NOT_ORTHONORMAL),  # scaled
        ([[1, 0, 0], [0, 1, 0], [0, 0, 1 + 2e-6]], NOT_ORTHONORMAL),  # just beyond the tolerance
        ([[0, 0, 0]] * 3, NOT_ORTHONORMAL),
        ([[math.nan, 0, 0], [0, 1, 0], [0, 0, 1]], NOT_ORTHONORMAL),
        ([[math.inf, 0, 0], [0, 1, 0], [0, 0, 1]], NOT_ORTHONORMAL),
    ],
)
def test_matrices_that_are_no_rotation_raise_value_error(matrix, message):
    for form in matrix_forms(matrix):
        with pytest.raises(ValueError) as caught:
            Quat.from_rotation_matrix(form)
        assert str(caught.value) == message


def test_a_matrix_within_the_tolerance_gives_a_unit_quaternion():
    q = Quat.from_rotation_matrix([[1, 0, 0], [0, 1, 0], [0, 0, 1 + 4e-7]])
    assert q.w == 1.0 and q.is_unit()
    q = Quat.from_rotation_matrix(np.float32(1 / 3) * np.array([[2, -2, 1], [1, 2, 2], [-2, -1, 2]], np.float32).T)
    assert abs(q.magnitude() - 1.0) < 2 * EPS
