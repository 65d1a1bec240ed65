"""Vec3d against pure-Python models of its formulas, compared bit for bit."""

import math
import operator
import random
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumora import Vec3d
from support import agree, bits, doubles, finite, ieee_div, libm, same_bits

EPS = 2.0**-52
MASK = 2**64 - 1


def from_bits(n):
    return struct.unpack("<d", n.to_bytes(8, "little"))[0]


def rough_from(seed):
    r = random.Random(seed)
    return math.ldexp(r.uniform(-1.0, 1.0), r.randint(-20, 20))


# Every bit pattern, and NaNs of every sign and payload drawn often.
any_bits = st.one_of(
    doubles,
    st.integers(0, 2**64 - 1).map(from_bits),
    st.tuples(st.booleans(), st.integers(1, 2**52 - 1)).map(lambda t: from_bits(t[0] << 63 | 0x7FF << 52 | t[1])),
)
# Full-mantissa values (drawn from a seed, since hypothesis favours short
# mantissas): sums of their products round, so any reordering shows.
rough = st.integers(0, 2**32).map(rough_from)
vectors = st.one_of(
    st.tuples(doubles, doubles, doubles), st.tuples(finite, finite, finite), st.tuples(rough, rough, rough)
)


# Pure-Python models, one IEEE operation at a time, vectors as tuples.
def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def magnitude(a):
    return libm(math.sqrt, dot(a, a))


def distance_to_line(a, p, q):
    d = sub(q, p)
    t = ieee_div(dot(d, sub(a, p)), dot(d, d))
    f = (p[0] + d[0] * t, p[1] + d[1] * t, p[2] + d[2] * t)
    return magnitude(sub(a, f))


def project_onto_line(a, r, q):
    d = sub(r, q)
    s = ieee_div(dot(d, sub(q, a)), dot(d, d))
    return (q[0] - d[0] * s, q[1] - d[1] * s, q[2] - d[2] * s)


def project_onto_plane(a, n):
    t = dot(a, n)
    return (a[0] - n[0] * t, a[1] - n[1] * t, a[2] - n[2] * t)


def equal(a, b):
    return all(abs(p - q) < EPS for p, q in zip(a, b))


def rotl(x, b):
    return (x << b | x >> (64 - b)) & MASK


def sipround(v0, v1, v2, v3):
    v0 = (v0 + v1) & MASK
    v1 = rotl(v1, 13) ^ v0
    v0 = rotl(v0, 32)
    v2 = (v2 + v3) & MASK
    v3 = rotl(v3, 16) ^ v2
    v0 = (v0 + v3) & MASK
    v3 = rotl(v3, 21) ^ v0
    v2 = (v2 + v1) & MASK
    v1 = rotl(v1, 17) ^ v2
    return v0, v1, rotl(v2, 32), v3


def siphash(data, c=1, d=3, k0=0, k1=0):
    """SipHash-c-d of `data` under the key (k0, k1)."""
    v = (k0 ^ 0x736F6D6570736575, k1 ^ 0x646F72616E646F6D, k0 ^ 0x6C7967656E657261, k1 ^ 0x7465646279746573)
    tail = len(data) % 8
    blocks = [int.from_bytes(data[i : i + 8], "little") for i in range(0, len(data) - tail, 8)]
    blocks.append((len(data) & 0xFF) << 56 | int.from_bytes(data[len(data) - tail :], "little"))
    for m in blocks:
        v = (v[0], v[1], v[2], v[3] ^ m)
        for _ in range(c):
            v = sipround(*v)
        v = (v[0] ^ m, v[1], v[2], v[3])
    v = (v[0], v[1], v[2] ^ 0xFF, v[3])
    for _ in range(d):
        v = sipround(*v)
    return v[0] ^ v[1] ^ v[2] ^ v[3]


def hash_model(a):
    canonical = [0x7FF8000000000000 if math.isnan(x) else int.from_bytes(bits(x + 0.0), "little") for x in a]
    h = siphash(b"".join(w.to_bytes(8, "little") for w in canonical))
    h = h - 2**64 if h >= 2**63 else h
    return -2 if h == -1 else h


def matches(v, model):
    return type(v) is Vec3d and all(agree(x, y) for x, y in zip(v.to_array(), model))


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __index__(self):
        return 2


# ---------------------------------------------------------------- values and access


class TestValues:
    @given(any_bits, any_bits, any_bits)
    def test_components_keep_their_bits(self, x, y, z):
        v = Vec3d(x, y, z)
        assert same_bits([v.x, v.y, v.z], [x, y, z])
        assert same_bits(v.to_array(), [x, y, z])
        assert same_bits([v[0], v[1], v[2]], [x, y, z])
        assert same_bits(list(v), [x, y, z])
        assert same_bits([v[True], v[Indexy()]], [y, z])
        w = Vec3d(0, 0, 0)
        w.x, w.y, w.z = x, y, z
        assert same_bits(w.to_array(), [x, y, z])

    def test_conversions_and_keywords(self):
        v = Vec3d(True, Floaty(2.5), Indexy())
        assert v.to_array() == [1.0, 2.5, 2.0] and all(type(c) is float for c in v.to_array())
        assert Vec3d(z=3, y=2, x=1).to_array() == [1.0, 2.0, 3.0]

    @pytest.mark.parametrize(
        "name,expected", [("zero", [0.0, 0.0, 0.0]), ("i", [1.0, 0.0, 0.0]), ("j", [0.0, 1.0, 0.0]), ("k", [0.0, 0.0, 1.0])]
    )
    def test_named_values(self, name, expected):
        make = getattr(Vec3d, name)
        a, b = make(), make()
        assert same_bits(a.to_array(), expected) and a is not b
        assert make.__text_signature__ == "()"
        with pytest.raises(TypeError):
            make(1)

    def test_every_call_returns_a_new_object(self):
        v, z = Vec3d(1, 0, 0), Vec3d.zero()
        results = [v.normalize(), v * 1, 1 * v, v / 1, v + z, v - z, -v, v.project_onto_plane(z)]
        results.append(Vec3d.new_from_to(z, v))
        assert all(type(r) is Vec3d and r is not v and r is not z for r in results)
        assert len({id(r) for r in results}) == len(results)
        a = v.to_array()
        a[0] = 9.0
        assert v.to_array() is not a and v.x == 1.0

    @pytest.mark.parametrize(
        "index,error,message",
        [
            (3, IndexError, "Index out of bounds"),
            (2**64 - 1, IndexError, "Index out of bounds"),
            (-1, OverflowError, None),
            (2**64, OverflowError, None),
            (1.0, TypeError, "argument 'index': 'float' object cannot be interpreted as an integer"),
            (slice(0, 2), TypeError, "argument 'index': 'slice' object cannot be interpreted as an integer"),
            ("0", TypeError, "argument 'index': 'str' object cannot be interpreted as an integer"),
        ],
    )
    def test_index_errors(self, index, error, message):
        v = Vec3d(1, 2, 3)
        with pytest.raises(error) as info:
            v[index]
        assert type(info.value) is error
        if message is not None:
            assert str(info.value) == message
        v.x = 4.0  # the failed call released its hold
        assert v.to_array() == [4.0, 2.0, 3.0]

    def test_old_sequence_iteration(self):
        v = Vec3d(1, 2, 3)
        a, b, c = v
        assert (a, b, c) == (1.0, 2.0, 3.0)
        it = iter(v)
        assert [next(it), next(it), next(it)] == [1.0, 2.0, 3.0]
        with pytest.raises(StopIteration):
            next(it)
        assert 2.0 in v and 2 in v and 4.0 not in v
        with pytest.raises(TypeError):
            len(v)
        with pytest.raises(TypeError):
            reversed(v)
        assert bool(Vec3d.zero()) is True


# ---------------------------------------------------------------- arithmetic against the models


class TestArithmetic:
    @given(vectors, vectors)
    def test_sum_and_differences(self, a, b):
        va, vb = Vec3d(*a), Vec3d(*b)
        assert matches(va + vb, (a[0] + b[0], a[1] + b[1], a[2] + b[2]))
        assert matches(va - vb, sub(a, b))
        assert matches(Vec3d.new_from_to(va, vb), sub(b, a))

    @given(st.tuples(any_bits, any_bits, any_bits))
    def test_negation_flips_the_sign_bit_only(self, a):
        assert same_bits((-Vec3d(*a)).to_array(), [-a[0], -a[1], -a[2]])

    @given(vectors, doubles)
    def test_scale_and_divide(self, a, s):
        v = Vec3d(*a)
        assert matches(v * s, (a[0] * s, a[1] * s, a[2] * s))
        assert same_bits((s * v).to_array(), (v * s).to_array())
        assert matches(v / s, (ieee_div(a[0], s), ieee_div(a[1], s), ieee_div(a[2], s)))

    @given(vectors, vectors, vectors)
    def test_products(self, a, b, c):
        va, vb, vc = Vec3d(*a), Vec3d(*b), Vec3d(*c)
        assert agree(va.dot(vb), dot(a, b))
        assert matches(va.cross(vb), cross(a, b))
        assert agree(va.scalar_triple_product(vb, vc), dot(a, cross(b, c)))

    @given(vectors)
    def test_magnitude_normalize_is_unit(self, a):
        v = Vec3d(*a)
        m = magnitude(a)
        assert agree(v.magnitude(), m)
        assert matches(v.normalize(), (ieee_div(a[0], m), ieee_div(a[1], m), ieee_div(a[2], m)))
        assert v.is_unit() is (abs(m - 1.0) < EPS)

    @given(vectors, vectors)
    def test_distances(self, a, b):
        va, vb = Vec3d(*a), Vec3d(*b)
        assert agree(va.distance_squared(vb), dot(sub(a, b), sub(a, b)))
        assert agree(va.distance_to(vb), magnitude(sub(a, b)))
        assert agree(vb.distance_to(va), va.distance_to(vb))

    @settings(max_examples=500)  # a reordered sum changes these results only now and then
    @given(vectors, vectors, vectors)
    def test_lines_and_planes(self, a, p, q):
        va, vp, vq = Vec3d(*a), Vec3d(*p), Vec3d(*q)
        assert agree(va.distance_to_line(vp, vq), distance_to_line(a, p, q))
        assert matches(va.project_onto_line(vp, vq), project_onto_line(a, p, q))
        assert matches(va.project_onto_plane(vp), project_onto_plane(a, p))

    @pytest.mark.parametrize(
        "compute,expected",
        [
            (lambda: Vec3d.i().cross(Vec3d.j()), [0.0, 0.0, 1.0]),
            (lambda: Vec3d.j().cross(Vec3d.i()), [0.0, 0.0, -1.0]),
            (lambda: [Vec3d.i().scalar_triple_product(Vec3d.j(), Vec3d.k())], [1.0]),
            (lambda: [Vec3d(0, 1, 0).distance_to_line(Vec3d.zero(), Vec3d.i())], [1.0]),
            (lambda: [Vec3d(0, 1, 0).distance_to_line(Vec3d(5, 0, 0), Vec3d(6, 0, 0))], [1.0]),
            (lambda: [Vec3d(0, 1, 0).distance_to_line(Vec3d.i(), Vec3d.i())], [math.nan]),
            (lambda: Vec3d(2, 3, 0).project_onto_line(Vec3d.i(), Vec3d.zero()), [2.0, 0.0, 0.0]),
            (lambda: Vec3d(2, 3, 0).project_onto_line(Vec3d.i(), Vec3d.i()), [math.nan] * 3),
            (lambda: Vec3d(1, 2, 3).project_onto_plane(Vec3d.k()), [1.0, 2.0, 0.0]),
            (lambda: Vec3d(1, 2, 3).project_onto_plane(Vec3d(0, 0, 2)), [1.0, 2.0, -9.0]),
            (lambda: Vec3d.new_from_to(Vec3d(1, 1, 1), Vec3d(2, 3, 4)), [1.0, 2.0, 3.0]),
            (lambda: [Vec3d(1.4e154, 0, 0).magnitude()], [math.inf]),
        ],
    )
    def test_worked_examples(self, compute, expected):
        result = compute()
        result = list(result) if isinstance(result, Vec3d) else result
        assert len(result) == len(expected) and all(agree(r, e) for r, e in zip(result, expected))

    @pytest.mark.parametrize(
        "v,unit",
        [((1, 0, 0), True), ((0, -1, 0), True), ((0, 0, 1), True), ((1 - 2.0**-53, 0, 0), True),
         ((1 + 2.0**-52, 0, 0), False), ((0, 0, 0), False), ((math.nan, 0, 0), False), ((0, 0, math.inf), False)],
    )  # fmt: skip
    def test_is_unit(self, v, unit):
        assert Vec3d(*v).is_unit() is unit


# ---------------------------------------------------------------- methods: parameter names and order


@pytest.mark.parametrize(
    "name,params",
    [("dot", ("other",)), ("cross", ("other",)), ("distance_to", ("other",)), ("distance_squared", ("other",)),
     ("scalar_triple_product", ("b", "c")), ("distance_to_line", ("a", "b")), ("project_onto_plane", ("normal",)),
     ("project_onto_line", ("line_r", "line_q"))],
)  # fmt: skip
def test_method_parameters(name, params):
    v, args = Vec3d(0.3, -1.7, 2.9), [Vec3d(1.1, 0.2, -0.5), Vec3d(-3.0, 4.5, 0.7)][: len(params)]
    method = getattr(v, name)
    assert getattr(Vec3d, name).__text_signature__ == "($self, " + ", ".join(params) + ")"
    by_position = method(*args)
    by_keyword = method(**dict(reversed(list(zip(params, args)))))
    assert same_bits(*(list(r) if isinstance(r, Vec3d) else [r] for r in (by_position, by_keyword)))
    with pytest.raises(TypeError) as info:
        method(*args[:-1], (1.0, 2.0, 3.0))
    assert str(info.value) == f"argument '{params[-1]}': 'tuple' object is not an instance of 'Vec3d'"
    with pytest.raises(TypeError) as info:
        method(None, *[5] * (len(params) - 1))  # converted in parameter order: the first is reported
    assert str(info.value) == f"argument '{params[0]}': 'None' is not an instance of 'Vec3d'"


# ---------------------------------------------------------------- equality


class TestEquality:
    @given(vectors, vectors)
    def test_model(self, a, b):
        va, vb = Vec3d(*a), Vec3d(*b)
        assert (va == vb) is equal(a, b)
        assert (va != vb) is (not equal(a, b))

    @given(st.integers(0, 2), st.floats(min_value=-8.0, max_value=8.0), st.integers(-6, 6))
    def test_near_the_tolerance(self, i, x, steps):
        # y is x moved by a few ulps, so the difference is exact; for |x|
        # near 1 it straddles EPS, and above 2 no step is within it.
        y = x
        for _ in range(abs(steps)):
            y = math.nextafter(y, math.copysign(math.inf, steps))
        a, b = [0.5, -3.0, 1e-300], [0.5, -3.0, 1e-300]
        a[i], b[i] = x, y
        assert (Vec3d(*a) == Vec3d(*b)) is equal(a, b)

    @pytest.mark.parametrize(
        "a,b,eq",
        [
            ((1e-16, 0, 0), (3e-16, 0, 0), True),
            ((0, 0, 0), (3e-16, 0, 0), False),
            ((1, 0, 0), (1 + 2.0**-52, 0, 0), False),
            ((1, 0, 0), (1 - 2.0**-53, 0, 0), True),
            ((1e20, 0, 0), (1e20 + 16384, 0, 0), False),
            ((math.inf, 0, 0), (math.inf, 0, 0), False),
            ((0, 0, 0), (-0.0, -0.0, -0.0), True),
        ],
    )
    def test_examples(self, a, b, eq):
        assert (Vec3d(*a) == Vec3d(*b)) is eq and (Vec3d(*b) != Vec3d(*a)) is (not eq)

    @pytest.mark.parametrize("other", [(1, 2, 3), [1.0, 2.0, 3.0], 5, None, "Vec3d(1, 2, 3)"])
    def test_foreign_operands(self, other):
        v = Vec3d(1, 2, 3)
        assert (v == other) is False and (v != other) is True
        assert v.__eq__(other) is NotImplemented

    @pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
    def test_no_ordering(self, op):
        v, w = Vec3d(1, 2, 3), Vec3d(2, 3, 4)
        assert getattr(v, f"__{op.__name__}__")(w) is NotImplemented
        with pytest.raises(TypeError, match="not supported between instances"):
            op(v, w)


# ---------------------------------------------------------------- hash


class TestHash:
    def test_oracle_matches_the_published_sip24_vector(self):
        key = bytes(range(16))
        k0, k1 = int.from_bytes(key[:8], "little"), int.from_bytes(key[8:], "little")
        assert siphash(bytes(range(15)), 2, 4, k0, k1) == 0xA129CA6149BE45E5

    @pytest.mark.parametrize(
        "v,unsigned,signed",
        [
            ((0.0, 0.0, 0.0), 0xF9003207CF9E4D4C, -504348149136077492),
            ((-0.0, -0.0, -0.0), 0xF9003207CF9E4D4C, -504348149136077492),
            ((1.0, 0.0, 0.0), 0x794E25BD068FC3A4, 8740965420561843108),
            ((1.0, 2.0, 3.0), 0x30BB88A98FCE01C1, 3511550596308926913),
        ],
    )
    def test_reference_values(self, v, unsigned, signed):
        assert siphash(b"".join(bits(c + 0.0) for c in v)) == unsigned
        assert hash(Vec3d(*v)) == hash_model(v) == signed

    @settings(max_examples=500)
    @given(st.tuples(any_bits, any_bits, any_bits))
    def test_model(self, a):
        assert hash(Vec3d(*a)) == hash_model(a)

    def test_exact_while_equality_is_not(self):
        nan_a, nan_b = from_bits(0x7FF8000000000001), from_bits(0xFFF0000000000002)
        a, b = Vec3d(nan_a, 1, 2), Vec3d(nan_b, 1, 2)
        assert hash(a) == hash(b) == hash(Vec3d(math.nan, 1, 2)) and a != b
        assert len({a, b}) == 2
        near, far = Vec3d(1e-16, 0, 0), Vec3d(3e-16, 0, 0)
        assert near == far and hash(near) != hash(far)


# ---------------------------------------------------------------- operators


class TestOperators:
    @pytest.mark.parametrize("expr", ["v + 1", "1 + v", "v - 1.0", "v * w", "'s' * v", "v * 's'", "2.0 / v", "v / w",
                                      "v + (1.0, 2.0, 3.0)", "v * [2.0]"])  # fmt: skip
    def test_unsupported_operands_raise_the_interpreters_error(self, expr):
        v, w = Vec3d(1, 2, 3), Vec3d(4, 5, 6)
        with pytest.raises(TypeError) as info:
            eval(expr)
        assert "argument" not in str(info.value)
        assert v.to_array() == [1.0, 2.0, 3.0] and w.to_array() == [4.0, 5.0, 6.0]

    @pytest.mark.parametrize("s,expected", [(2, 2.0), (True, 1.0), (Floaty(0.5), 0.5), (Indexy(), 2.0)])
    def test_scalar_conversion(self, s, expected):
        v = Vec3d(1.0, -3.0, 0.0)
        assert (v * s).to_array() == (s * v).to_array() == [expected, -3.0 * expected, 0.0]
        assert (v / s).to_array() == [1.0 / expected, -3.0 / expected, 0.0]

    def test_conversion_error_in_an_operator_becomes_not_implemented(self):
        v = Vec3d(1, 2, 3)

        class Writes:
            def __float__(self):
                v.x = 5.0  # the operator holds v shared: refused
                return 2.0

        class Raises:
            def __float__(self):
                raise ValueError("boom")

        for op in (lambda: v * Writes(), lambda: Writes() * v, lambda: v / Raises()):
            with pytest.raises(TypeError, match="unsupported operand"):
                op()
        assert v.to_array() == [1.0, 2.0, 3.0]

    def test_augmented_assignment_rebinds(self):
        v = old = Vec3d(1, 2, 3)
        v += Vec3d(1, 1, 1)
        v -= Vec3d(0, 0, 1)
        v *= 2
        v /= 4
        assert v.to_array() == [1.0, 1.5, 1.5] and old.to_array() == [1.0, 2.0, 3.0]

    def test_same_object_on_both_sides(self):
        v = Vec3d(1, 2, 3)
        assert v.dot(v) == 14.0 and (v - v).to_array() == [0.0, 0.0, 0.0]
        assert v.scalar_triple_product(v, v) == 0.0 and v == v
        n = Vec3d(math.nan, 0, 0)
        assert (n == n) is False and (n != n) is True


# ---------------------------------------------------------------- properties and text


class TestProperties:
    @pytest.mark.parametrize("name", ["x", "y", "z"])
    def test_set_fail_and_delete(self, name):
        v = Vec3d(1, 2, 3)
        setattr(v, name, 5)
        assert getattr(v, name) == 5.0 and type(getattr(v, name)) is float
        expected = [5.0 if n == name else float(i + 1) for i, n in enumerate("xyz")]
        assert v.to_array() == expected

        class Raises:
            def __float__(self):
                raise ValueError("boom")

        with pytest.raises(TypeError) as info:
            setattr(v, name, "a")
        assert str(info.value) == "argument 'value': must be real number, not str"
        with pytest.raises(ValueError, match="^boom$"):
            setattr(v, name, Raises())
        with pytest.raises(AttributeError, match="^property has no deleter$"):
            delattr(v, name)
        assert v.to_array() == expected

    def test_setter_converts_before_holding(self):
        v = Vec3d(1, 2, 3)

        class ReadsAndWrites:
            def __float__(self):
                v.y = 7.0
                return v.x + v.y

        v.x = ReadsAndWrites()
        assert v.to_array() == [8.0, 7.0, 3.0]


@pytest.mark.parametrize(
    "v,text",
    [
        (Vec3d(1, 2, 3), "Vec3d(1, 2, 3)"),
        (Vec3d(1, 2.5, -0.0), "Vec3d(1, 2.5, -0)"),
        (Vec3d(0.5, -0.0, 1e-7), "Vec3d(0.5, -0, 0.0000001)"),
        (Vec3d(0.1, 1e21, math.nan), "Vec3d(0.1, 1000000000000000000000, NaN)"),
        (Vec3d(1e21, -0.0, -math.nan), "Vec3d(1000000000000000000000, -0, NaN)"),
        (Vec3d(1, 0, -1) / 0, "Vec3d(inf, NaN, -inf)"),
        (Vec3d.zero().normalize(), "Vec3d(NaN, NaN, NaN)"),
    ],
)
def test_repr(v, text):
    assert repr(v) == text and str(v) == text
