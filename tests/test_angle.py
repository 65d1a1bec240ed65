"""AngleRadians, AngleDegrees and Vec3d.angle_to against pure-Python models,
bit for bit, and the core's angle text forms through a C++ program."""

import math
import random
import struct

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from lumora import AngleDegrees as D
from lumora import AngleRadians as R
from lumora import Vec3d
from support import (PI, SPECIAL, any_bits, bits, build_core, check_formula, dot, doubles, finite, finite_vectors,
                     float_text, ieee_div, libm, magnitude, same)  # fmt: skip

S = st.tuples
vectors = st.tuples(doubles, doubles, doubles)


def angle_to(a, b):
    r = ieee_div(dot(a, b), magnitude(a) * magnitude(b))
    return R(libm(math.acos, min(max(r, -1.0), 1.0) if not math.isnan(r) else r))


def comparisons(a, b):
    return (a < b, a <= b, a == b, a != b, a >= b, a > b)


FORMULAS = {
    "read_back": (S(any_bits), lambda x: (R(x).angle, D(x).angle, R(angle=x).angle), lambda x: (x, x, x), 100, True),
    "neg": (S(any_bits), lambda x: (-R(x), -D(x)), lambda x: (R(-x), D(-x)), 100, True),
    "sin": (S(doubles), lambda x: R(x).sin(), lambda x: libm(math.sin, x)),
    "cos": (S(doubles), lambda x: R(x).cos(), lambda x: libm(math.cos, x)),
    "tan": (S(doubles), lambda x: R(x).tan(), lambda x: libm(math.tan, x)),
    "sec": (S(doubles), lambda x: R(x).sec(), lambda x: ieee_div(1.0, libm(math.cos, x))),
    "csc": (S(doubles), lambda x: R(x).csc(), lambda x: ieee_div(1.0, libm(math.sin, x))),
    "cot": (S(doubles), lambda x: R(x).cot(), lambda x: ieee_div(1.0, libm(math.tan, x))),
    "to_degrees": (S(doubles), lambda x: R(x).to_degrees(), lambda x: D((x * 180.0) / PI)),
    "to_radians": (S(doubles), lambda x: D(x).to_radians(), lambda x: R((x * PI) / 180.0)),
    "add": (S(doubles, doubles), lambda x, y: R(x) + R(y), lambda x, y: R(x + y)),
    "sub": (S(doubles, doubles), lambda x, y: R(x) - R(y), lambda x, y: R(x - y)),
    "mul": (S(doubles, doubles), lambda x, s: R(x) * s, lambda x, s: R(x * s)),
    "div": (S(doubles, doubles), lambda x, s: R(x) / s, lambda x, s: R(ieee_div(x, s))),
    "compare": (S(doubles, doubles), lambda x, y: [comparisons(c(x), c(y)) for c in (R, D)],
                lambda x, y: [comparisons(x, y)] * 2),  # fmt: skip
    "angle_to": (S(vectors, vectors), lambda a, b: Vec3d(*a).angle_to(Vec3d(*b)), angle_to),
}


@pytest.mark.parametrize("name", FORMULAS)
def test_formula(name):
    check_formula(*FORMULAS[name])


CONSTANTS = "[R.zero(), R.pi(), R.two_pi(), R.half_pi(), R.third_pi(), R.quarter_pi(), R.sixth_pi()]"
DEGREES = (0, 180, 360, 90, 60, 45, 30)


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("[R(z).cot() for z in (0.0, -0.0)] + [R(z).csc() for z in (0.0, -0.0)]", [math.inf, -math.inf] * 2),
        ("(R.half_pi().cos(), R.half_pi().sec())", (6.123233995736766e-17, 1.633123935319537e16)),
        # The constants are what their degrees convert to.
        (CONSTANTS, [R((d * math.pi) / 180) for d in DEGREES]),
        (CONSTANTS, [D(d).to_radians() for d in DEGREES]),
        ("R.quarter_pi().cot()", 1.0000000000000002),  # from tan, not cos / sin
        ("[R(x).cot() == 1 / math.tan(x) != math.cos(x) / math.sin(x) for x in [1.582647713859684]]", [True]),
        ("[R.pi().to_degrees(), R.third_pi().to_degrees(), R.sixth_pi().to_degrees(), R(1.0).to_degrees()]",
         [D(180.0), D(59.99999999999999), D(29.999999999999996), D(57.29577951308232)]),
        ("[R(1.0) / 0.0, R(-1.0) / 0.0, R(1.0) / -0.0, R(0.0) / 0.0]",
         [R(math.inf), R(-math.inf), R(-math.inf), R(math.nan)]),
        ("(R(7.0), D(-720.0))", (R(7.0), D(-720.0))),  # never wrapped
        ("(R(1.0) == R(1.0 + 2**-52), D(90.0) == D(90.0000000000001), -R.zero() == R.zero())", (False, False, True)),
        ("[comparisons(*[c(math.nan)] * 2) for c in (R, D)]", [(False, False, False, True, False, False)] * 2),
        ("[Vec3d.i().angle_to(Vec3d(*b)) for b in [(0, 1, 0), (-1, 0, 0), (0, 0, 0)]]", [R(PI / 2), R(PI), R(math.nan)]),
        ("[Vec3d(*a).angle_to(Vec3d(*a)) for a in [(1, 2, 3), (0, 0, 0)]]", [R(0.0), R(math.nan)]),
        ("Vec3d(1, 1, 0).angle_to(Vec3d(1, 1, 0))", R(2.1073424255447017e-08)),  # the ratio rounds a hair below 1
        # Deliberate: 3 / (sqrt 3)^2 rounds past 1, and is clamped.
        ("[Vec3d(1, 1, 1).angle_to(Vec3d(s, s, s)) for s in (1, -1)]", [R(0.0), R(PI)]),
    ],
)  # fmt: skip
def test_examples(expr, expected):
    assert same(eval(expr), expected)


# ---------------------------------------------------------------- Vec3d.angle_to


@given(finite_vectors, finite_vectors)
def test_angle_to_is_symmetric_and_within_range(a, b):
    ab = Vec3d(*a).angle_to(Vec3d(*b)).angle
    assert bits(ab) == bits(Vec3d(*b).angle_to(Vec3d(*a)).angle)
    assert math.isnan(ab) or 0.0 <= ab <= PI


@given(finite_vectors, st.floats(min_value=1e-3, max_value=1e3))
def test_angle_to_parallel_vectors_never_gives_nan(a, scale):
    # Deliberate: the cosine can round past +-1 here; it is clamped, never NaN.
    v = Vec3d(*a)
    assume(v.magnitude() > 1e-100)
    assert 0.0 <= v.angle_to(v * scale).angle < 1e-7
    assert PI - 1e-7 < v.angle_to(v * -scale).angle <= PI


# ---------------------------------------------------------------- the core's text forms, from C++

SUFFIX = {"r": " radians", "d": "\u00b0"}


@pytest.fixture(scope="module")
def core_text(tmp_path_factory):
    """The core's text forms for (kind, value, decimals, room) cases; decimals
    -1 is the shortest form."""
    run = build_core(tmp_path_factory, "angle_text", "core/src/float_text.cpp")
    return lambda cases: run("".join(f"{k} {v.hex()} {d} {room}\n" for k, v, d, room in cases)).splitlines()


def expected_text(kind, value, decimals, room):
    if decimals < 0 or math.isnan(value) or math.isinf(value):
        number = float_text(value)
    else:
        number = format(value, f".{decimals}f")
    text = number + SUFFIX[kind]
    return text if decimals < 0 or len(text.encode()) <= room else "(none)"


def test_core_text_forms(core_text):
    rng = random.Random(1)
    values = SPECIAL + [rng.uniform(-1e3, 1e3) for _ in range(300)]
    values += [struct.unpack("<d", rng.randbytes(8))[0] for _ in range(300)]
    cases = [(kind, v, -1, 0) for v in values for kind in "rd"]
    cases += [(kind, v, rng.randrange(0, 25), rng.choice([10, 16, 40, 400])) for v in values for kind in "rd"]
    # Exact ties round to even; a text that does not fit gives nothing.
    cases += [("r", 0.125, 2, 400), ("r", 0.375, 2, 400), ("d", 2.5, 0, 400), ("d", 3.5, 0, 400)]
    cases += [("r", PI, 2, 400), ("r", PI, 2, 12), ("r", PI, 2, 11), ("d", -0.0, 1, 400), ("d", 90.0, 3, 400)]
    assert core_text(cases) == [expected_text(*case) for case in cases]
    examples = [("r", PI, 2, 400), ("d", -0.0, -1, 0), ("r", 0.125, 2, 400), ("d", 59.99999999999999, 1, 400)]
    assert core_text(examples) == ["3.14 radians", "-0\u00b0", "0.12 radians", "60.0\u00b0"]
