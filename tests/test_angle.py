"""AngleRadians, AngleDegrees and Vec3d.angle_to against pure-Python models."""

import math
import os
import pathlib
import random
import struct
import subprocess
import threading
import weakref

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from lumora import AngleDegrees, AngleRadians, Vec3d
from support import SPECIAL, agree, bits, doubles, finite, float_text, ieee_div, libm, same_bits

PI = 3.141592653589793


def angle_to_model(a, b):
    d = (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]
    ma = math.sqrt((a[0] * a[0] + a[1] * a[1]) + a[2] * a[2])
    mb = math.sqrt((b[0] * b[0] + b[1] * b[1]) + b[2] * b[2])
    r = ieee_div(d, ma * mb)
    if r > 1.0:
        r = 1.0
    elif r < -1.0:
        r = -1.0
    return libm(math.acos, r)


CONSTANTS = [
    ("zero", 0x0000000000000000),
    ("pi", 0x400921FB54442D18),
    ("two_pi", 0x401921FB54442D18),
    ("half_pi", 0x3FF921FB54442D18),
    ("third_pi", 0x3FF0C152382D7365),
    ("quarter_pi", 0x3FE921FB54442D18),
    ("sixth_pi", 0x3FE0C152382D7365),
]

vectors = st.tuples(doubles, doubles, doubles)
finite_vectors = st.tuples(finite, finite, finite)


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 7


# ---------------------------------------------------------------- values


class TestValues:
    @pytest.mark.parametrize("name,pattern", CONSTANTS)
    def test_constants_are_the_stored_patterns(self, name, pattern):
        make = getattr(AngleRadians, name)
        a, b = make(), make()
        assert bits(a.angle) == pattern.to_bytes(8, "little")
        assert a is not b and a == b

    @given(doubles)
    def test_construct_and_read_keep_the_bits(self, x):
        assert same_bits([AngleRadians(x).angle, AngleDegrees(x).angle], [x, x])
        assert same_bits([AngleRadians(angle=x).angle], [x])

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    @pytest.mark.parametrize("arg,expected", [(3, 3.0), (True, 1.0), (Floaty(2.5), 2.5), (Indexy(), 7.0)])
    def test_float_conversion(self, cls, arg, expected):
        value = cls(arg).angle
        assert type(value) is float and value == expected

    def test_no_wrapping(self):
        assert AngleRadians(7.0).angle == 7.0
        assert AngleDegrees(-720.0).angle == -720.0


# ---------------------------------------------------------------- trigonometry


class TestTrigonometry:
    @given(doubles)
    def test_libm_functions(self, x):
        a = AngleRadians(x)
        assert agree(a.sin(), libm(math.sin, x))
        assert agree(a.cos(), libm(math.cos, x))
        assert agree(a.tan(), libm(math.tan, x))

    @given(doubles)
    def test_reciprocals_divide_one_by_libm(self, x):
        a = AngleRadians(x)
        assert agree(a.sec(), ieee_div(1.0, libm(math.cos, x)))
        assert agree(a.csc(), ieee_div(1.0, libm(math.sin, x)))
        assert agree(a.cot(), ieee_div(1.0, libm(math.tan, x)))

    @pytest.mark.parametrize("x", [1.582647713859684, -1.4695858455634698, 2.0145906235192186])
    def test_cot_comes_from_tan(self, x):
        a = AngleRadians(x)
        assert a.cot() == 1.0 / math.tan(x) != math.cos(x) / math.sin(x)
        assert AngleRadians.quarter_pi().cot() == 1.0000000000000002

    @pytest.mark.parametrize(
        "x,method,expected",
        [
            (0.0, "cot", math.inf),
            (-0.0, "cot", -math.inf),
            (0.0, "csc", math.inf),
            (-0.0, "csc", -math.inf),
            (1.5707963267948966, "cos", 6.123233995736766e-17),
            (1.5707963267948966, "sec", 1.633123935319537e16),
        ],
    )
    def test_zero_denominators_and_half_pi(self, x, method, expected):
        assert bits(getattr(AngleRadians(x), method)()) == bits(expected)

    @pytest.mark.parametrize("method", ["sin", "cos", "tan", "sec", "csc", "cot", "to_degrees"])
    def test_methods_take_no_arguments(self, method):
        with pytest.raises(TypeError):
            getattr(AngleRadians(1.0), method)(1)


# ---------------------------------------------------------------- conversion


class TestConversion:
    @given(doubles)
    def test_to_degrees_two_roundings(self, x):
        d = AngleRadians(x).to_degrees()
        assert type(d) is AngleDegrees
        assert agree(d.angle, (x * 180.0) / PI)

    @given(doubles)
    def test_to_radians_two_roundings(self, x):
        r = AngleDegrees(x).to_radians()
        assert type(r) is AngleRadians
        assert agree(r.angle, (x * PI) / 180.0)

    @pytest.mark.parametrize(
        "name,degrees",
        [("pi", 180.0), ("half_pi", 90.0), ("third_pi", 59.99999999999999), ("sixth_pi", 29.999999999999996)],
    )
    def test_constants_to_degrees(self, name, degrees):
        assert bits(getattr(AngleRadians, name)().to_degrees().angle) == bits(degrees)

    @pytest.mark.parametrize(
        "degrees,name", [(180.0, "pi"), (90.0, "half_pi"), (60.0, "third_pi"), (45.0, "quarter_pi"), (30.0, "sixth_pi")]
    )
    def test_degrees_to_constants(self, degrees, name):
        assert bits(AngleDegrees(degrees).to_radians().angle) == bits(getattr(AngleRadians, name)().angle)

    def test_one_radian(self):
        assert AngleRadians(1.0).to_degrees().angle == 57.29577951308232


# ---------------------------------------------------------------- operators


class TestOperators:
    @given(doubles, doubles)
    def test_sum_and_difference(self, x, y):
        assert agree((AngleRadians(x) + AngleRadians(y)).angle, x + y)
        assert agree((AngleRadians(x) - AngleRadians(y)).angle, x - y)

    @given(doubles, doubles)
    def test_scale_and_divide(self, x, s):
        assert agree((AngleRadians(x) * s).angle, x * s)
        assert agree((AngleRadians(x) / s).angle, ieee_div(x, s))

    @given(doubles)
    def test_negation_flips_the_sign_bit_only(self, x):
        flipped = [-x]
        assert same_bits([(-AngleRadians(x)).angle], flipped)
        assert same_bits([(-AngleDegrees(x)).angle], flipped)

    def test_results_are_new_instances(self):
        a, b = AngleRadians(1.0), AngleRadians(2.0)
        for result in (a + b, a - b, a * 1, a / 1, -a):
            assert type(result) is AngleRadians and result is not a and result is not b
        d = AngleDegrees(1.0)
        assert type(-d) is AngleDegrees and -d is not d

    @pytest.mark.parametrize("rhs,expected", [(2, 2.0), (True, 1.0), (Floaty(0.5), 0.5), (Indexy(), 7.0)])
    def test_scalar_conversion(self, rhs, expected):
        assert (AngleRadians(1.0) * rhs).angle == expected
        assert (AngleRadians(7.0) / rhs).angle == 7.0 / expected

    @pytest.mark.parametrize(
        "x,s,expected", [(1.0, 0.0, math.inf), (-1.0, 0.0, -math.inf), (1.0, -0.0, -math.inf), (0.0, 0.0, math.nan)]
    )
    def test_division_by_zero_does_not_raise(self, x, s, expected):
        assert agree((AngleRadians(x) / s).angle, expected)

    @pytest.mark.parametrize(
        "op",
        [
            lambda: 2 * AngleRadians(1.0),
            lambda: 2.0 / AngleRadians(1.0),
            lambda: AngleRadians(1.0) + 1,
            lambda: 1 + AngleRadians(1.0),
            lambda: AngleRadians(1.0) - 1.0,
            lambda: AngleRadians(1.0) * AngleRadians(1.0),
            lambda: AngleRadians(1.0) / AngleRadians(1.0),
            lambda: AngleRadians(1.0) * None,
            lambda: AngleRadians(1.0) + AngleDegrees(1.0),
            lambda: AngleDegrees(1.0) + AngleRadians(1.0),
            lambda: AngleDegrees(1.0) + AngleDegrees(1.0),
            lambda: AngleDegrees(1.0) - AngleDegrees(1.0),
            lambda: AngleDegrees(1.0) * 2,
            lambda: AngleDegrees(1.0) / 2,
        ],
    )
    def test_unsupported_operands_raise_the_interpreters_error(self, op):
        with pytest.raises(TypeError, match="unsupported operand"):
            op()

    def test_no_reflected_forms(self):
        a = AngleRadians(1.0)
        assert a.__rmul__(2) is NotImplemented
        assert a.__rtruediv__(2.0) is NotImplemented
        assert a.__mul__("x") is NotImplemented
        assert a.__add__(1.0) is NotImplemented

    def test_augmented_assignment_rebinds(self):
        a = AngleRadians(1.0)
        b = a
        a += AngleRadians(2.0)
        a *= 2
        assert (a.angle, b.angle) == (6.0, 1.0)

    def test_conversion_error_in_an_operator_becomes_not_implemented(self):
        a = AngleRadians(1.0)

        class Writes:
            def __float__(self):
                a.angle = 5.0  # the operator holds a shared: refused
                return 2.0

        class Raises:
            def __float__(self):
                raise ValueError("boom")

        with pytest.raises(TypeError, match="unsupported operand"):
            a * Writes()
        with pytest.raises(TypeError, match="unsupported operand"):
            a / Raises()
        assert a.angle == 1.0

        class Reads:
            def __float__(self):
                return a.angle + 1.0  # a second shared hold is fine

        assert (a * Reads()).angle == 2.0


# ---------------------------------------------------------------- comparisons


class TestComparisons:
    @given(doubles, doubles)
    def test_exact_ieee_comparisons(self, x, y):
        for cls in (AngleRadians, AngleDegrees):
            a, b = cls(x), cls(y)
            assert (a < b, a <= b, a == b, a != b, a >= b, a > b) == (x < y, x <= y, x == y, x != y, x >= y, x > y)

    def test_no_tolerance_and_signed_zero(self):
        assert AngleRadians(1.0) != AngleRadians(1.0 + 2.0**-52)
        assert AngleDegrees(90.0) != AngleDegrees(90.0000000000001)
        z = AngleRadians.zero()
        assert bits((-z).angle) == bits(-0.0) and -z == z

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_nan_is_unequal_to_itself(self, cls):
        a = cls(math.nan)
        assert not (a == a) and a != a
        assert not (a < a) and not (a >= a)

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    @pytest.mark.parametrize("other", [1, 1.0, "1", None, (1.0,)])
    def test_foreign_operands(self, cls, other):
        a = cls(1.0)
        assert (a == other) is False and (a != other) is True
        for op in ("__lt__", "__le__", "__gt__", "__ge__", "__eq__"):
            assert getattr(a, op)(other) is NotImplemented
        with pytest.raises(TypeError, match="not supported between instances"):
            a < other
        with pytest.raises(TypeError, match="not supported between instances"):
            a >= other

    def test_radians_and_degrees_never_mix(self):
        r, d = AngleRadians(1.0), AngleDegrees(1.0)
        assert (r == d) is False and (d == r) is False and r != d
        with pytest.raises(TypeError):
            r < d

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_not_equal_is_the_negated_full_equality(self, cls):
        class Contrary:
            # Equal, yet also claims to be unequal: != must ask == only.
            def __eq__(self, other):
                return True

            def __ne__(self, other):
                return True

        class Broken:
            def __eq__(self, other):
                raise ValueError("eq")

        class BadTruth:
            def __bool__(self):
                raise ValueError("truth")

        class BadResult:
            def __eq__(self, other):
                return BadTruth()

        a = cls(1.0)
        assert (a != Contrary()) is False
        with pytest.raises(ValueError, match="eq"):
            a != Broken()
        with pytest.raises(ValueError, match="truth"):
            a != BadResult()

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_unhashable(self, cls):
        assert cls.__hash__ is None
        with pytest.raises(TypeError, match="unhashable"):
            hash(cls(1.0))
        with pytest.raises(TypeError):
            {cls(1.0)}


# ---------------------------------------------------------------- text


class TestText:
    @given(doubles)
    def test_text_forms(self, x):
        assert repr(AngleRadians(x)) == float_text(x) + " radians"
        assert repr(AngleDegrees(x)) == float_text(x) + "\u00b0"

    @pytest.mark.parametrize(
        "value,text",
        [
            (AngleRadians(1), "1 radians"),
            (AngleRadians(0.5), "0.5 radians"),
            (AngleRadians(1e16), "10000000000000000 radians"),
            (AngleRadians(1e-7), "0.0000001 radians"),
            (AngleRadians(math.nan), "NaN radians"),
            (AngleRadians(1.0) / 0.0, "inf radians"),
            (AngleDegrees(90), "90°"),
            (AngleDegrees(-0.0), "-0°"),
            (AngleRadians.pi().to_degrees(), "180°"),
        ],
    )
    def test_examples(self, value, text):
        assert repr(value) == text and str(value) == text


# ---------------------------------------------------------------- the angle property and binding


class TestBinding:
    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_argument_binding_errors(self, cls):
        name = cls.__name__
        cases = [
            ((), {}, f"{name}.__new__() missing 1 required positional argument: 'angle'"),
            ((1, 2), {}, f"{name}.__new__() takes 1 positional arguments but 2 were given"),
            ((), {"x": 1}, f"{name}.__new__() got an unexpected keyword argument 'x'"),
            ((1,), {"angle": 2}, f"{name}.__new__() got multiple values for argument 'angle'"),
            (("1",), {}, "argument 'angle': must be real number, not str"),
            ((None,), {}, "argument 'angle': must be real number, not NoneType"),
        ]
        for args, kwargs, message in cases:
            with pytest.raises(TypeError) as info:
                cls(*args, **kwargs)
            assert str(info.value) == message

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_setter(self, cls):
        a = cls(1.0)
        a.angle = 2
        assert a.angle == 2.0 and type(a.angle) is float
        a.angle = Floaty(-0.0)
        assert bits(a.angle) == bits(-0.0)

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_failed_set_and_delete_leave_the_value(self, cls):
        a = cls(1.5)

        class Raises:
            def __float__(self):
                raise ValueError("boom")

        class RaisesTypeError:
            def __float__(self):
                raise TypeError("inner") from KeyError("k")

        with pytest.raises(TypeError) as info:
            a.angle = "a"
        assert str(info.value) == "argument 'value': must be real number, not str"
        with pytest.raises(ValueError, match="^boom$"):
            a.angle = Raises()
        with pytest.raises(TypeError) as info:
            a.angle = RaisesTypeError()
        assert str(info.value) == "argument 'value': inner"
        assert isinstance(info.value.__cause__, KeyError)
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            del a.angle
        assert a.angle == 1.5

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_setter_converts_before_holding(self, cls):
        a = cls(1.0)

        class ReadsReceiver:
            def __float__(self):
                return a.angle + 1.0

        a.angle = ReadsReceiver()
        assert a.angle == 2.0

    @pytest.mark.parametrize("cls", [AngleRadians, AngleDegrees])
    def test_class_shape(self, cls):
        name = cls.__name__
        assert (cls.__module__, cls.__qualname__) == ("builtins", name)
        assert cls.__text_signature__ == "(angle)"
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        a = cls(1.0)
        with pytest.raises(AttributeError):
            a.other = 1
        with pytest.raises(TypeError):
            weakref.ref(a)

    def test_text_signatures(self):
        for name, _ in CONSTANTS:
            assert getattr(AngleRadians, name).__text_signature__ == "()"
        for name in ("sin", "cos", "tan", "sec", "csc", "cot", "to_degrees"):
            assert getattr(AngleRadians, name).__text_signature__ == "($self)"
        assert AngleDegrees.to_radians.__text_signature__ == "($self)"
        assert Vec3d.angle_to.__text_signature__ == "($self, other)"

    def test_degrees_has_no_radians_members(self):
        for name in ("sin", "pi", "zero", "to_degrees", "__add__", "__mul__", "__truediv__"):
            assert not hasattr(AngleDegrees, name)

    def test_concurrent_setters_and_readers(self):
        a = AngleRadians(0.0)
        written = {float(n) for n in range(50)}
        errors, seen, unexpected = [], [], []

        def write():
            for n in range(50):
                while True:
                    try:
                        a.angle = float(n)
                        break
                    except RuntimeError as e:
                        errors.append(str(e))
                    except BaseException as e:
                        unexpected.append(e)
                        return

        def read():
            for _ in range(2000):
                try:
                    seen.append(a.angle)
                    seen.append(float(repr(a).split()[0]))
                except RuntimeError as e:
                    errors.append(str(e))
                except BaseException as e:
                    unexpected.append(e)
                    return

        threads = [threading.Thread(target=write)] + [threading.Thread(target=read) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert unexpected == []
        assert set(errors) <= {"Already borrowed", "Already mutably borrowed"}
        assert set(seen) <= written | {0.0}
        assert a.angle == 49.0


# ---------------------------------------------------------------- Vec3d.angle_to


class TestAngleTo:
    @given(vectors, vectors)
    def test_model(self, a, b):
        r = Vec3d(*a).angle_to(Vec3d(*b))
        assert type(r) is AngleRadians
        assert agree(r.angle, angle_to_model(a, b))

    @given(finite_vectors, finite_vectors)
    def test_symmetric_and_within_range(self, a, b):
        ab = Vec3d(*a).angle_to(Vec3d(*b)).angle
        assert bits(ab) == bits(Vec3d(*b).angle_to(Vec3d(*a)).angle)
        assert math.isnan(ab) or 0.0 <= ab <= PI

    @given(finite_vectors, st.floats(min_value=1e-3, max_value=1e3))
    def test_parallel_vectors_never_give_nan(self, a, scale):
        # The cosine can round past +-1 here; it is clamped, never NaN.
        v = Vec3d(*a)
        assume(v.magnitude() > 1e-100)
        same = v.angle_to(v * scale).angle
        opposite = v.angle_to(v * -scale).angle
        assert 0.0 <= same < 1e-7
        assert PI - 1e-7 < opposite <= PI

    @pytest.mark.parametrize(
        "a,b,expected",
        [
            ((1, 0, 0), (0, 1, 0), 1.5707963267948966),
            ((1, 0, 0), (-1, 0, 0), PI),
            ((1, 2, 3), (1, 2, 3), 0.0),
            # The ratio rounds a hair below 1: a tiny angle, used unchanged.
            ((1, 1, 0), (1, 1, 0), 2.1073424255447017e-08),
            ((0, 0, 0), (1, 0, 0), math.nan),
            ((1, 0, 0), (0, 0, 0), math.nan),
        ],
    )
    def test_examples(self, a, b, expected):
        assert agree(Vec3d(*a).angle_to(other=Vec3d(*b)).angle, expected)

    @pytest.mark.parametrize("sign,expected", [(1.0, 0.0), (-1.0, PI)])
    def test_ratio_past_one_is_clamped(self, sign, expected):
        m = math.sqrt(3.0)
        ratio = sign * 3.0 / (m * m)
        assert abs(ratio) > 1.0  # acos of it unclamped would be NaN
        v = Vec3d(1, 1, 1)
        assert bits(v.angle_to(v * sign).angle) == bits(expected)

    @pytest.mark.parametrize(
        "arg,message",
        [
            ((1.0, 0.0, 0.0), "argument 'other': 'tuple' object is not an instance of 'Vec3d'"),
            (None, "argument 'other': 'None' is not an instance of 'Vec3d'"),
            (AngleRadians(1.0), "argument 'other': 'AngleRadians' object is not an instance of 'Vec3d'"),
        ],
    )
    def test_argument_must_be_a_vector(self, arg, message):
        with pytest.raises(TypeError) as info:
            Vec3d(1, 0, 0).angle_to(arg)
        assert str(info.value) == message


# ---------------------------------------------------------------- the core's text forms, from C++


ROOT = pathlib.Path(__file__).resolve().parent.parent
SUFFIX = {"r": " radians", "d": "\u00b0"}


@pytest.fixture(scope="module")
def core_text(tmp_path_factory):
    """The core's text forms through a small C++ program built against the
    core alone, without Python; it takes (kind, value, decimals, room) cases."""
    exe = tmp_path_factory.mktemp("core") / "angle_text"
    sources = [ROOT / "tests/core/angle_text.cpp", ROOT / "core/src/float_text.cpp"]
    flags = ["-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'core/include'}"]
    subprocess.run([os.environ.get("CXX", "c++"), *flags, *map(str, sources), "-o", str(exe)], check=True)

    def run(cases):
        lines = "".join(f"{kind} {value.hex()} {decimals} {room}\n" for kind, value, decimals, room in cases)
        done = subprocess.run([str(exe)], input=lines, capture_output=True, encoding="utf-8", check=True)
        return done.stdout.splitlines()

    return run


def fixed_text(kind, value, decimals, room):
    number = float_text(value) if math.isnan(value) or math.isinf(value) else format(value, f".{decimals}f")
    text = number + SUFFIX[kind]
    return text if len(text.encode()) <= room else "(none)"


class TestCoreText:
    def test_shortest_forms(self, core_text):
        rng = random.Random(1)
        values = SPECIAL + [rng.uniform(-1e3, 1e3) for _ in range(300)]
        values += [struct.unpack("<d", rng.randbytes(8))[0] for _ in range(300)]
        cases = [(kind, v, -1, 0) for v in values for kind in "rd"]
        assert core_text(cases) == [float_text(v) + SUFFIX[kind] for kind, v, _, _ in cases]

    def test_fixed_forms(self, core_text):
        rng = random.Random(2)
        values = SPECIAL + [rng.uniform(-1e3, 1e3) for _ in range(300)]
        values += [struct.unpack("<d", rng.randbytes(8))[0] for _ in range(300)]
        cases = [(kind, v, rng.randrange(0, 25), rng.choice([10, 16, 40, 400])) for v in values for kind in "rd"]
        # Exact ties round to even; a text that does not fit gives nothing.
        cases += [("r", 0.125, 2, 400), ("r", 0.375, 2, 400), ("d", 2.5, 0, 400), ("d", 3.5, 0, 400)]
        cases += [("r", PI, 2, 400), ("r", PI, 2, 12), ("r", PI, 2, 11), ("d", -0.0, 1, 400), ("d", 90.0, 3, 400)]
        assert core_text(cases) == [fixed_text(*case) for case in cases]

    def test_examples(self, core_text):
        cases = [("r", PI, 2, 400), ("d", -0.0, -1, 0), ("r", 0.125, 2, 400), ("d", 59.99999999999999, 1, 400)]
        assert core_text(cases) == ["3.14 radians", "-0\u00b0", "0.12 radians", "60.0\u00b0"]
