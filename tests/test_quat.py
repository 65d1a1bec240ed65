"""Quat and Vec3d.to_quat against pure-Python models and scipy's rotations."""

import math
import threading
import weakref

import numpy as np
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st
from scipy.spatial.transform import Rotation

from lumora import AngleDegrees, AngleRadians, Quat, Vec3d
from support import agree, bits, doubles, finite, float_text, ieee_div, libm, same_bits

EPS = 2.0**-52
PI = 3.141592653589793


# Pure-Python models, one IEEE operation at a time, components as tuples.
def hamilton(a, b):
    return (
        a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
        a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
        a[0] * b[2] + a[2] * b[0] + a[3] * b[1] - a[1] * b[3],
        a[0] * b[3] + a[3] * b[0] + a[1] * b[2] - a[2] * b[1],
    )


def conjugate(q):
    return (q[0], -q[1], -q[2], -q[3])


def magnitude(q):
    return math.sqrt(((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3])


def rotate(q, v):
    r = hamilton(hamilton(conjugate(q), (0.0, *v)), q)
    return r[1:]


def from_axis_angle(axis, theta):
    h = theta * (-0.5)
    sh, ch = libm(math.sin, h), libm(math.cos, h)
    return (ch, sh * axis[0], sh * axis[1], sh * axis[2])


def to_axis_angle(q):
    w, i, j, k = q
    if abs(w - 1.0) < EPS:
        return (1.0, 0.0, 0.0), 0.0
    a = libm(math.acos, w)
    theta = a + a
    s = libm(math.sin, theta * 0.5)
    return (ieee_div(-i, s), ieee_div(-j, s), ieee_div(-k, s)), theta


def rotation_matrix(q):
    w, i, j, k = q

    def twice(x):
        return x + x

    return [
        [1.0 - twice(j * j + k * k), twice(i * j - w * k), twice(i * k + w * j)],
        [twice(i * j + w * k), 1.0 - twice(i * i + k * k), twice(j * k - w * i)],
        [twice(i * k - w * j), twice(j * k + w * i), 1.0 - twice(i * i + j * j)],
    ]


def near(a, b):
    return all(abs(x - y) < EPS for x, y in zip(a, b))


def parts(q):
    return (q.w, q.i, q.j, q.k)


def vec(v):
    return (v.x, v.y, v.z)


def all_agree(xs, ys):
    return len(xs) == len(ys) and all(agree(x, y) for x, y in zip(xs, ys))


# Special values and overflow, plus the unit range where rotations live and
# rounding differences between groupings show.
quats = st.one_of(
    st.tuples(doubles, doubles, doubles, doubles),
    st.tuples(*[st.floats(min_value=-1.0, max_value=1.0)] * 4),
)
finite_quats = st.tuples(finite, finite, finite, finite)
vectors = st.tuples(doubles, doubles, doubles)
unit_axes = (
    st.tuples(*[st.floats(min_value=-1.0, max_value=1.0)] * 3)
    .filter(lambda a: 1e-3 < math.hypot(*a))
    .map(lambda a: tuple(np.asarray(a) / np.linalg.norm(a)))
)


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


# ---------------------------------------------------------------- values and properties


class TestValues:
    @given(quats)
    def test_construct_and_read_keep_the_bits(self, q):
        assert same_bits(parts(Quat(*q)), q)
        assert same_bits(parts(Quat(w=q[0], i=q[1], j=q[2], k=q[3])), q)

    @given(quats)
    def test_to_vec3d_is_a_tuple_of_the_vector_part(self, q):
        t = Quat(*q).to_vec3d()
        assert type(t) is tuple and same_bits(t, q[1:])

    @given(vectors)
    def test_vec3d_to_quat(self, v):
        q = Vec3d(*v).to_quat()
        assert type(q) is Quat and same_bits(parts(q), (0.0, *v))

    def test_identity(self):
        a, b = Quat.identity(), Quat.identity()
        assert a is not b and same_bits(parts(a), (1.0, 0.0, 0.0, 0.0))

    @pytest.mark.parametrize("name", ["w", "i", "j", "k"])
    def test_setters_convert_and_touch_one_component(self, name):
        q = Quat(1, 2, 3, 4)
        setattr(q, name, Floaty(-0.0))
        expected = {"w": 1.0, "i": 2.0, "j": 3.0, "k": 4.0, name: -0.0}
        assert same_bits(parts(q), [expected[n] for n in "wijk"])
        setattr(q, name, 7)
        assert getattr(q, name) == 7.0 and type(getattr(q, name)) is float

    @pytest.mark.parametrize("name", ["w", "i", "j", "k"])
    def test_failed_set_and_delete_leave_the_value(self, name):
        q = Quat(1, 2, 3, 4)

        class Raises:
            def __float__(self):
                raise ValueError("boom")

        with pytest.raises(TypeError) as info:
            setattr(q, name, "a")
        assert str(info.value) == "argument 'value': must be real number, not str"
        with pytest.raises(ValueError, match="^boom$"):
            setattr(q, name, Raises())
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(q, name)
        assert parts(q) == (1.0, 2.0, 3.0, 4.0)

    def test_setter_converts_before_holding(self):
        q = Quat(1, 2, 3, 4)

        class ReadsReceiver:
            def __float__(self):
                return q.rotate(Vec3d(1, 0, 0)).x

        q.w = ReadsReceiver()
        assert bits(q.w) == bits(rotate((1.0, 2.0, 3.0, 4.0), (1.0, 0.0, 0.0))[0])


# ---------------------------------------------------------------- formulas, bit for bit


class TestFormulas:
    @given(quats)
    def test_conjugate_flips_sign_bits(self, q):
        c = Quat(*q).conjugate()
        assert type(c) is Quat and same_bits(parts(c), conjugate(q))

    @given(quats)
    def test_magnitude_normalize_is_unit(self, q):
        m = magnitude(q)
        p = Quat(*q)
        assert agree(p.magnitude(), m)
        assert all_agree(parts(p.normalize()), [ieee_div(c, m) for c in q])
        assert p.is_unit() is (abs(m - 1.0) < EPS)

    @given(quats, vectors)
    def test_rotate(self, q, v):
        r = Quat(*q).rotate(Vec3d(*v))
        assert type(r) is Vec3d
        assert all_agree(vec(r), rotate(q, v))

    @given(vectors, doubles)
    def test_from_axis_angle(self, axis, theta):
        q = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(theta))
        assert type(q) is Quat
        assert all_agree(parts(q), from_axis_angle(axis, theta))

    @given(quats)
    def test_to_axis_angle(self, q):
        result = Quat(*q).to_axis_angle()
        assert type(result) is tuple and len(result) == 2
        axis, angle = result
        assert type(axis) is Vec3d and type(angle) is AngleRadians
        model_axis, model_angle = to_axis_angle(q)
        assert all_agree((*vec(axis), angle.angle), (*model_axis, model_angle))

    @given(quats)
    def test_rotation_matrix(self, q):
        m = Quat(*q).to_rotation_matrix()
        assert type(m) is list and all(type(row) is list and len(row) == 3 for row in m) and len(m) == 3
        assert all(all_agree(row, model) for row, model in zip(m, rotation_matrix(q)))

    @pytest.mark.parametrize(
        "q,v,expected",
        [
            ((2, 0, 0, 0), (1, 2, 3), (4.0, 8.0, 12.0)),  # scaled by the squared magnitude
            ((1, 0, 0, 0), (1e300, -0.0, 5e-324), (1e300, 0.0, 5e-324)),
            ((0, 0, 0, 0), (1, -2, 3), (0.0, 0.0, 0.0)),
            ((math.inf, 0, 0, 0), (1, 2, 3), (math.nan,) * 3),  # no product is skipped
            ((1, 0, 0, math.nan), (0, 0, 0), (math.nan,) * 3),
            ((1, 0, 0, 0), (math.inf, 0, 0), (math.nan,) * 3),
        ],
    )
    def test_rotate_examples(self, q, v, expected):
        assert all_agree(vec(Quat(*q).rotate(Vec3d(*v))), expected)

    def test_quarter_turn_about_z(self):
        q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians.half_pi())
        assert same_bits(parts(q), (0.7071067811865476, -0.0, -0.0, -0.7071067811865475))
        assert repr(q) == "Quat(0.7071067811865476, -0, -0, -0.7071067811865475)"
        assert same_bits(vec(q.rotate(Vec3d(1, 0, 0))), (2.220446049250313e-16, 1.0, 0.0))
        assert same_bits(vec(q.rotate(Vec3d(0, 1, 0))), (-1.0, 2.220446049250313e-16, 0.0))
        assert repr(q.rotate(Vec3d(1, 0, 0))) == "Vec3d(0.0000000000000002220446049250313, 1, 0)"

    @pytest.mark.parametrize("q,m", [((2, 0, 0, 0), 1.0), ((0, 3, 4, 0), 1.0), ((1, 2, 1, 1), 0.9999999999999998)])
    def test_normalize_examples(self, q, m):
        n = Quat(*q).normalize()
        assert n.magnitude() == m and n.is_unit() is (m == 1.0)

    def test_zero_normalizes_to_nan(self):
        assert repr(Quat(0, 0, 0, 0).normalize()) == "Quat(NaN, NaN, NaN, NaN)"

    @pytest.mark.parametrize(
        "w,unit", [(1.0, True), (1.0 - 2.0**-53, True), (1.0 + 2.0**-52, False), (math.nan, False)]
    )
    def test_is_unit_boundary(self, w, unit):
        assert Quat(w, 0, 0, 0).is_unit() is unit

    @pytest.mark.parametrize("q", [(1, 0, 0, 0), (0, 0, 0, 0), (2, 0, 0, 0)])
    def test_matrix_without_vector_part_is_the_unit_matrix(self, q):
        assert Quat(*q).to_rotation_matrix() == [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]]


# ---------------------------------------------------------------- to_axis_angle returns the axis from_axis_angle takes


class TestAxisAngle:
    def test_round_trip_example(self):
        q = Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(1.0))
        axis, angle = q.to_axis_angle()
        assert same_bits(vec(axis), (0.0, 0.0, 1.0000000000000002))
        assert bits(angle.angle) == bits(0.9999999999999998)

    @given(unit_axes, st.floats(min_value=1e-3, max_value=2 * PI - 1e-3), st.tuples(finite, finite, finite))
    def test_round_trip_rotates_the_same_way(self, axis, theta, v):
        q = Quat.from_axis_angle(Vec3d(*axis), AngleRadians(theta))
        axis2, angle2 = q.to_axis_angle()
        assert np.allclose(vec(axis2), axis, rtol=0, atol=1e-8)
        assert math.isclose(angle2.angle, theta, abs_tol=1e-8)
        back = Quat.from_axis_angle(axis2, angle2)
        assert np.allclose(parts(back), parts(q), rtol=0, atol=1e-8)
        scale = max(1.0, math.hypot(*v))
        assert np.allclose(vec(back.rotate(Vec3d(*v))), vec(q.rotate(Vec3d(*v))), rtol=0, atol=1e-7 * scale)

    @pytest.mark.parametrize(
        "q,axis,angle",
        [
            ((1, 0, 0, 0), (1.0, 0.0, 0.0), 0.0),
            ((1, 5, 5, 5), (1.0, 0.0, 0.0), 0.0),
            ((1 - 2.0**-53, 5, 5, 5), (1.0, 0.0, 0.0), 0.0),
            ((1 + 2.0**-52, 0, 0, 0), (math.nan,) * 3, math.nan),  # |w - 1| = EPS: no identity branch
            ((1 - 2.0**-52, 0, 0, 0), (-0.0, -0.0, -0.0), 2 * math.acos(1 - 2.0**-52)),
            ((0, 1, 0, 0), (-1.0, -0.0, -0.0), PI),
            ((-1, 0, 0, 0), (-0.0, -0.0, -0.0), 2 * PI),
            ((2, 1, 0, 0), (math.nan,) * 3, math.nan),
        ],
    )
    def test_examples(self, q, axis, angle):
        a, theta = Quat(*q).to_axis_angle()
        assert all_agree(vec(a), axis) and agree(theta.angle, angle)

    def test_identity_text(self):
        axis, angle = Quat.identity().to_axis_angle()
        assert (repr(axis), repr(angle)) == ("Vec3d(1, 0, 0)", "0 radians")


# ---------------------------------------------------------------- rotations against scipy


class TestAgainstScipy:
    @given(unit_axes, st.floats(min_value=-10.0, max_value=10.0), st.tuples(finite, finite, finite))
    def test_rotate_matches_rotvec(self, axis, theta, v):
        ours = vec(Quat.from_axis_angle(Vec3d(*axis), AngleRadians(theta)).rotate(Vec3d(*v)))
        theirs = Rotation.from_rotvec(theta * np.asarray(axis)).apply(v)
        assert np.allclose(ours, theirs, rtol=0, atol=1e-14 * max(1.0, math.hypot(*v)))

    @given(st.tuples(*[st.floats(min_value=-1.0, max_value=1.0)] * 4).filter(lambda q: math.hypot(*q) > 1e-3))
    def test_to_axis_angle_matches_as_rotvec(self, raw):
        q = Quat(*raw).normalize()
        w, i, j, k = parts(q)
        # acos(w) is ill-conditioned near +-1: there the stored w alone fixes
        # the angle only to about sqrt(ulp).
        assume(abs(w) < 1.0 - 1e-6)
        # q turns v as conj(q) * v * q: scipy's (scalar-last) quaternion is conj(q).
        rotation = Rotation.from_quat([-i, -j, -k, w])
        axis, angle = q.to_axis_angle()
        rotvec = np.asarray(vec(axis)) * angle.angle
        if w > 0:
            assert np.allclose(rotvec, rotation.as_rotvec(), rtol=0, atol=1e-12)
        else:
            # From half a turn on scipy may answer with the opposite axis and 2pi - angle.
            assert angle.angle >= PI
            assert np.allclose(Rotation.from_rotvec(rotvec).as_matrix(), rotation.as_matrix(), rtol=0, atol=1e-12)
        assert np.allclose(vec(axis), np.asarray(vec(axis)) / np.linalg.norm(vec(axis)), atol=1e-12)

    @given(st.tuples(*[st.floats(min_value=-1.0, max_value=1.0)] * 4).filter(lambda q: math.hypot(*q) > 1e-3))
    def test_matrix_rows_are_rotated_basis_vectors(self, raw):
        q = Quat(*raw).normalize()
        m = q.to_rotation_matrix()
        for row, basis in zip(m, ((1, 0, 0), (0, 1, 0), (0, 0, 1))):
            assert np.allclose(row, vec(q.rotate(Vec3d(*basis))), rtol=0, atol=2e-15)
        w, i, j, k = parts(q)
        assert np.allclose(np.transpose(m), Rotation.from_quat([-i, -j, -k, w]).as_matrix(), rtol=0, atol=4e-15)


# ---------------------------------------------------------------- comparisons, hashing, text


class TestComparisons:
    @given(quats, quats)
    def test_tolerant_equality(self, a, b):
        expected = near(a, b)
        assert (Quat(*a) == Quat(*b)) is expected
        assert (Quat(*a) != Quat(*b)) is (not expected)

    @given(finite_quats, st.integers(0, 3), st.floats(min_value=-1e-17, max_value=1e-17))
    def test_tiny_differences_are_equal(self, q, n, d):
        moved = list(q)
        moved[n] += d
        if abs(moved[n] - q[n]) < EPS:
            assert Quat(*q) == Quat(*moved)

    @pytest.mark.parametrize("n", range(4))
    @pytest.mark.parametrize("other,equal", [(1.0 + 2.0**-52, False), (1.0 - 2.0**-53, True), (1.0 - 2.0**-52, False)])
    def test_tolerance_boundary_in_each_component(self, n, other, equal):
        moved = [1.0] * 4
        moved[n] = other
        assert (Quat(1, 1, 1, 1) == Quat(*moved)) is equal

    @pytest.mark.parametrize(
        "a,b,equal",
        [
            ((0, 0, 0, 0), (1e-17, 0, 0, 0), True),
            ((2, 0, 0, 0), (math.nextafter(2.0, 3.0), 0, 0, 0), False),
            ((1, 0, 0, 0), (1, -0.0, -0.0, -0.0), True),
            ((1, 0, 0, math.nan), (1, 0, 0, math.nan), False),
            ((math.inf, 0, 0, 0), (math.inf, 0, 0, 0), False),
        ],
    )
    def test_examples(self, a, b, equal):
        assert (Quat(*a) == Quat(*b)) is equal and (Quat(*a) != Quat(*b)) is (not equal)

    def test_conjugate_of_identity(self):
        c = Quat.identity().conjugate()
        assert repr(c) == "Quat(1, -0, -0, -0)" and c == Quat.identity()

    def test_nan_quaternion_is_unequal_to_itself(self):
        q = Quat(math.nan, 0, 0, 0)
        assert not (q == q) and q != q

    @pytest.mark.parametrize("other", [(1, 0, 0, 0), Vec3d(1, 0, 0), 1.0, None, AngleRadians(1.0)])
    def test_foreign_operands(self, other):
        q = Quat(1, 0, 0, 0)
        assert (q == other) is False and (q != other) is True
        assert q.__eq__(other) is NotImplemented and q.__ne__(other) is NotImplemented

    @pytest.mark.parametrize("other", [Quat(2, 0, 0, 0), (1, 0, 0, 0), 1.0])
    def test_no_ordering(self, other):
        q = Quat(1, 0, 0, 0)
        for op in ("__lt__", "__le__", "__gt__", "__ge__"):
            assert getattr(q, op)(other) is NotImplemented
        with pytest.raises(TypeError, match="not supported between instances"):
            q < other
        with pytest.raises(TypeError, match="not supported between instances"):
            q >= other

    def test_no_arithmetic(self):
        q = Quat(1, 0, 0, 0)
        for op in (lambda: q + q, lambda: q * q, lambda: q * 2.0, lambda: -q):
            with pytest.raises(TypeError):
                op()

    def test_unhashable(self):
        assert Quat.__hash__ is None
        with pytest.raises(TypeError, match="unhashable"):
            hash(Quat(1, 0, 0, 0))

    @given(quats)
    def test_text_form(self, q):
        text = f"Quat({', '.join(float_text(c) for c in q)})"
        assert repr(Quat(*q)) == text and str(Quat(*q)) == text

    def test_text_examples(self):
        assert repr(Quat.identity()) == "Quat(1, 0, 0, 0)"
        assert repr(Vec3d(1, 2, 3).to_quat()) == "Quat(0, 1, 2, 3)"
        assert repr(Quat(1e21, -2.5, 1e-7, math.inf)) == "Quat(1000000000000000000000, -2.5, 0.0000001, inf)"


# ---------------------------------------------------------------- binding


class TestBinding:
    @pytest.mark.parametrize(
        "args,kwargs,message",
        [
            ((), {}, "Quat.__new__() missing 4 required positional arguments: 'w', 'i', 'j', and 'k'"),
            ((1, 2), {}, "Quat.__new__() missing 2 required positional arguments: 'j' and 'k'"),
            ((1, 2, 3), {}, "Quat.__new__() missing 1 required positional argument: 'k'"),
            ((1, 2, 3, 4, 5), {}, "Quat.__new__() takes 4 positional arguments but 5 were given"),
            ((1, 2, 3, 4), {"w": 1}, "Quat.__new__() got multiple values for argument 'w'"),
            ((1, 2, 3), {"x": 1}, "Quat.__new__() got an unexpected keyword argument 'x'"),
            (("a", "b", 0, 0), {}, "argument 'w': must be real number, not str"),
            ((0, 0, None, 0), {}, "argument 'j': must be real number, not NoneType"),
        ],
    )
    def test_constructor_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            Quat(*args, **kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize(
        "call,message",
        [
            (
                lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), 1.5707963267948966),
                "argument 'angle': 'float' object is not an instance of 'AngleRadians'",
            ),
            (
                lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), AngleDegrees(90)),
                "argument 'angle': 'AngleDegrees' object is not an instance of 'AngleRadians'",
            ),
            # The axis is converted first.
            (
                lambda: Quat.from_axis_angle((0, 0, 1), 1.0),
                "argument 'axis': 'tuple' object is not an instance of 'Vec3d'",
            ),
            (
                lambda: Quat.from_axis_angle(None, AngleRadians(1)),
                "argument 'axis': 'None' is not an instance of 'Vec3d'",
            ),
            (
                lambda: Quat.from_axis_angle(Vec3d(0, 0, 1)),
                "Quat.from_axis_angle() missing 1 required positional argument: 'angle'",
            ),
            (
                lambda: Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(1), 2),
                "Quat.from_axis_angle() takes 2 positional arguments but 3 were given",
            ),
            (
                lambda: Quat(1, 0, 0, 0).rotate((1, 2, 3)),
                "argument 'v': 'tuple' object is not an instance of 'Vec3d'",
            ),
            (
                lambda: Quat(1, 0, 0, 0).rotate(Quat(1, 0, 0, 0)),
                "argument 'v': 'Quat' object is not an instance of 'Vec3d'",
            ),
            (
                lambda: Quat(1, 0, 0, 0).rotate(w=Vec3d(1, 2, 3)),
                "Quat.rotate() got an unexpected keyword argument 'w'",
            ),
        ],
    )
    def test_method_errors(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_keywords(self):
        q = Quat.from_axis_angle(angle=AngleRadians(1.0), axis=Vec3d(0, 0, 1))
        assert parts(q) == parts(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(1.0)))
        assert vec(q.rotate(v=Vec3d(1, 0, 0))) == vec(q.rotate(Vec3d(1, 0, 0)))

    @pytest.mark.parametrize(
        "name", ["to_axis_angle", "to_rotation_matrix", "to_vec3d", "conjugate", "magnitude", "normalize", "is_unit"]
    )
    def test_methods_without_parameters(self, name):
        assert getattr(Quat, name).__text_signature__ == "($self)"
        with pytest.raises(TypeError):
            getattr(Quat(1, 0, 0, 0), name)(1)

    def test_class_shape(self):
        assert (Quat.__module__, Quat.__qualname__, Quat.__text_signature__) == ("builtins", "Quat", "(w, i, j, k)")
        assert Quat.identity.__text_signature__ == "()"
        assert Quat.from_axis_angle.__text_signature__ == "(axis, angle)"
        assert Quat.rotate.__text_signature__ == "($self, v)"
        assert Vec3d.to_quat.__text_signature__ == "($self)"
        with pytest.raises(TypeError):
            type("Sub", (Quat,), {})
        q = Quat(1, 0, 0, 0)
        with pytest.raises(AttributeError):
            q.x = 1
        with pytest.raises(TypeError):
            weakref.ref(q)

    def test_results_are_fresh_objects(self):
        q = Quat(1, 0, 0, 0)
        v = Vec3d(1, 2, 3)
        assert q.rotate(v) is not v and q.normalize() is not q and q.conjugate() is not q
        assert q.to_rotation_matrix() is not q.to_rotation_matrix()

    def test_concurrent_setters_and_rotations(self):
        q = Quat(1.0, 0.0, 0.0, 0.0)
        v = Vec3d(1.0, 2.0, 3.0)
        errors, seen, unexpected = [], [], []

        def write():
            for n in range(200):
                for name in "wijk":
                    while True:
                        try:
                            setattr(q, name, 1.0 if name == "w" else float(n % 2))
                            break
                        except RuntimeError as e:
                            errors.append(str(e))
                        except BaseException as e:
                            unexpected.append(e)
                            return

        def read():
            for _ in range(1000):
                try:
                    seen.append(parts(q.conjugate()))
                    q.rotate(v)
                except RuntimeError as e:
                    errors.append(str(e))
                except BaseException as e:
                    unexpected.append(e)
                    return

        threads = [threading.Thread(target=write) for _ in range(2)] + [threading.Thread(target=read) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert unexpected == []
        assert set(errors) <= {"Already borrowed", "Already mutably borrowed"}
        # Every snapshot is one whole stored value: w is always 1, the rest 0 or 1.
        assert all(s[0] == 1.0 and all(c in (0.0, -0.0, -1.0) for c in s[1:]) for s in seen)
