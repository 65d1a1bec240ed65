"""lumora.geometry: planes, circles and their intersections against pure-Python models."""

import importlib
import math
import os
import pathlib
import subprocess
import sys

import numpy
import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

import lumora
from lumora import Vec3d
from lumora.geometry import Circle, Plane, circle_circle, circle_point, circle_point_unchecked, plane_line
from support import agree, bits, doubles, finite, ieee_div, libm

EPS = 2.0**-52
TEXTS = {
    "TooFarApart": "The given geometries are too far apart and do not intersect at all.",
    "Contained": "One of the given geometries is contained entirely within the other. The surfaces do not intersect.",
    "Identical": "The given geometries are identical.",
    "OutOfPlane": "The given geometries are out of plane from each other",
}


# Models, one IEEE operation at a time like the library; vectors are tuples.
def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def normalize(a):
    m = libm(math.sqrt, dot(a, a))
    return tuple(ieee_div(x, m) for x in a)


def near(a, b, sign=1.0):
    return all(abs(x - sign * y) < EPS for x, y in zip(a, b))


def model_from_point(normal, point):
    n = normalize(normal)
    return n + (-dot(point, n),)


def model_in_same_plane(n1, c1, n2, c2):
    if near(n1, n2):
        return abs(dot(n2, c2) - dot(n1, c1)) < EPS
    return near(n1, n2, -1.0) and abs(dot(n2, c2) + dot(n1, c1)) < EPS


def model_equal(a, b):
    return near(a[0], b[0]) and a[1] == b[1] and (near(a[2], b[2]) or near(a[2], b[2], -1.0))


def model_gap(center, radius, point):
    d = sub(point, center)
    return radius - libm(math.sqrt, dot(d, d))


def model_circle_point(circle, point, inner):
    center, radius, normal = circle
    n = normalize(normal)
    if not abs(dot(n, point) - dot(n, center)) < EPS:
        return "OutOfPlane"
    g = model_gap(center, radius, point)
    if abs(g) < EPS or (g > EPS and inner):
        return None
    return "Contained" if g > EPS else "TooFarApart"


def model_circle_circle(a, b):
    (c1, r1, n1), (c2, r2, n2) = a, b
    if model_equal(a, b):
        return "Identical"
    if not model_in_same_plane(n1, c1, n2, c2):
        return "OutOfPlane"
    s = libm(math.sqrt, dot(sub(c1, c2), sub(c1, c2)))
    if s > r1 + r2:
        return "TooFarApart"
    if s < abs(r1 - r2):
        return "Contained"
    e = sub(c2, c1)
    k = ieee_div(r1 * r1 - r2 * r2, s * s + s * s) + 0.5
    radicand = r1 * r1 - (s * s) * (k * k)
    h = math.sqrt(0.0 if radicand < 0.0 else radicand)
    u = normalize(cross(e, n2))
    m = [c + x * k for c, x in zip(c1, e)]
    return tuple(mi + ui * h for mi, ui in zip(m, u)) + tuple(mi - ui * h for mi, ui in zip(m, u))


def tup(v):
    return (v.x, v.y, v.z)


def fields(c):
    return tup(c.center), c.radius, tup(c.normal)


def plane_numbers(p):
    return tup(p.normal) + (p.distance,)


def same(a, b):
    return len(a) == len(b) and all(map(agree, a, b))


def circle(center, radius, normal=(0, 0, 1)):
    return Circle(Vec3d(*center), radius, Vec3d(*normal))


def stored(center, radius, normal):
    """A circle with its fields written directly, unnormalised."""
    c = Circle.none()
    c.center, c.radius, c.normal = Vec3d(*center), radius, Vec3d(*normal)
    return c


vectors = st.tuples(doubles, doubles, doubles)
small = st.floats(-10.0, 10.0)
small3 = st.tuples(small, small, small)
AXES = [(0.0, 0.0, 1.0), (0.0, 0.0, -1.0), (0.0, 1.0, 0.0), (-1.0, 0.0, 0.0), (0.0, 0.0, 2.0), (0.0, 0.0, 0.0)]
stored_circles = st.builds(stored, vectors, doubles, vectors)


@st.composite
def coplanar_pairs(draw):
    """Circles whose centres share the coordinate along an axis normal: in one
    plane exactly, so that the intersection itself is reached."""
    n = draw(st.sampled_from(AXES))
    axis = max(range(3), key=lambda i: abs(n[i]))
    c1, c2 = draw(small3), list(draw(small3))
    c2[axis] = c1[axis]
    n2 = tuple(-x for x in n) if draw(st.booleans()) else n
    radii = st.one_of(st.floats(0.0, 20.0), doubles)
    return stored(c1, draw(radii), n), stored(c2, draw(radii), n2)


@st.composite
def circle_and_point(draw):
    """A circle and a point, often in its plane and on, inside or outside it."""
    c = draw(st.one_of(stored_circles, coplanar_pairs().map(lambda pair: pair[0])))
    center, radius, normal = fields(c)
    axis = max(range(3), key=lambda i: abs(normal[i]))
    p = list(draw(small3))
    if draw(st.booleans()):
        p[axis] = center[axis]
        if draw(st.booleans()):
            p = list(center)
            p[(axis + 1) % 3] += radius * draw(st.sampled_from([1.0, -1.0, 0.5, 1.0 + 2.0**-50, 2.0]))
    return c, tuple(p)


# Planes


@given(vectors, doubles, vectors)
def test_plane_constructor_and_from_point(normal, offset, point):
    assert same(plane_numbers(Plane(Vec3d(*normal), offset)), normalize(normal) + (-offset,))
    assert same(plane_numbers(Plane.from_point(Vec3d(*normal), Vec3d(*point))), model_from_point(normal, point))


@given(st.one_of(vectors, st.tuples(finite, finite, finite)), vectors, vectors)
def test_from_points(p1, p2, p3):
    u, v = sub(p2, p1), sub(p3, p1)
    n = (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])
    m = libm(math.sqrt, (n[0] * n[0] + n[1] * n[1]) + n[2] * n[2])
    n = tuple(ieee_div(x, m) for x in n)
    d = -((p1[0] * n[0] + p1[1] * n[1]) + p1[2] * n[2])
    assert same(plane_numbers(Plane.from_points(Vec3d(*p1), Vec3d(*p2), Vec3d(*p3))), n + (d,))


@pytest.mark.parametrize(
    "points, normal",
    [
        ([(0, 0, 0), (1, 0, 0), (0, 1, 0)], (0.0, 0.0, 1.0)),  # the right-hand rule
        ([(0, 0, 0), (0, 1, 0), (1, 0, 0)], (0.0, 0.0, -1.0)),
        ([(0, 0, 0), (1, 1, 1), (2, 2, 2)], None),  # collinear: all NaN, contains nothing
    ],
)
def test_from_points_examples(points, normal):
    p = Plane.from_points(*(Vec3d(*q) for q in points))
    if normal is None:
        assert all(map(math.isnan, plane_numbers(p))) and not p.contains_point(Vec3d(0, 0, 0))
    else:
        assert tup(p.normal) == normal


@given(vectors, doubles, vectors)
def test_contains_and_distance_to_point(normal, distance, point):
    p = Plane.xy()
    p.normal, p.distance = Vec3d(*normal), distance
    expected = abs(distance + dot(normal, point))
    assert agree(p.distance_to_point(Vec3d(*point)), expected)
    assert p.contains_point(Vec3d(*point)) is (expected < EPS)


def test_plane_fields_are_stored_as_written():
    p = Plane(Vec3d(0, 0, 2), 5.0)
    assert plane_numbers(p) == (0.0, 0.0, 1.0, -5.0)
    assert p.contains_point(Vec3d(7, -3, 5)) and p.distance_to_point(Vec3d(0, 0, 0)) == 5.0
    p.distance = 5.0
    assert p.distance == 5.0 and not p.contains_point(Vec3d(0, 0, 5)) and p.contains_point(Vec3d(0, 0, -5))
    p.normal = Vec3d(0, 0, 2)
    assert tup(p.normal) == (0.0, 0.0, 2.0) and p.distance_to_point(Vec3d(0, 0, 3)) == 11.0


@pytest.mark.parametrize(
    "make, normal, inside, outside",
    [
        (Plane.xy, (0.0, 0.0, 1.0), [(1, 0, 0), (0, 1, 0)], (0, 0, 1)),
        (Plane.xz, (0.0, 1.0, 0.0), [(1, 0, 0), (0, 0, 1)], (0, 1, 0)),
        (Plane.yz, (1.0, 0.0, 0.0), [(0, 1, 0), (0, 0, 1)], (1, 0, 0)),
    ],
)
def test_named_planes_are_the_planes_their_names_say(make, normal, inside, outside):
    # Deliberate: xz() and yz() are not the plane z = 0 that xy() is.
    p = make()
    assert same(plane_numbers(p), normal + (-0.0,))
    assert all(p.contains_point(Vec3d(*q)) for q in inside) and not p.contains_point(Vec3d(*outside))


# Circles


@given(vectors, doubles, vectors)
def test_circle_constructor_and_area(center, radius, normal):
    c = Circle(Vec3d(*center), radius, Vec3d(*normal))
    assert same(tup(c.center) + (c.radius,) + tup(c.normal), center + (abs(radius),) + normalize(normal))
    c.radius = radius
    assert agree(c.area, (radius * radius) * math.pi)


def test_circle_none_and_degenerate():
    c = Circle.none()
    assert bits(c.normal.x) == bits(c.normal.y) == bits(c.normal.z) == bits(math.nan)
    assert (tup(c.center), c.radius, c.area) == ((0.0, 0.0, 0.0), 0.0, 0.0)
    assert c.is_degenerate() and c != Circle.none() and not c == c
    c.radius = -0.0
    assert c.is_degenerate()
    c.radius = 1e-300
    assert not c.is_degenerate()
    c.radius = -2.0
    assert (c.radius, c.area) == (-2.0, 12.566370614359172)


@given(stored_circles)
def test_get_plane(c):
    center, _, normal = fields(c)
    assert same(plane_numbers(c.get_plane()), model_from_point(normal, center))


@given(coplanar_pairs() | st.tuples(stored_circles, stored_circles), st.sampled_from([0.0, 1e-17, 1e-15]))
def test_in_same_plane_and_equality(pair, nudge):
    a, b = pair
    b.center = Vec3d(b.center.x + nudge, b.center.y, b.center.z)
    (ca, _, na), (cb, _, nb) = fields(a), fields(b)
    assert a.in_same_plane(b) is model_in_same_plane(na, ca, nb, cb)
    assert (a == b) is model_equal(fields(a), fields(b))
    assert (a != b) is not (a == b)


def test_circle_comparison_and_hash():
    c = circle((1, 2, 3), 1.5)
    assert c == circle((1, 2, 3 + 1e-17), 1.5, (0, 0, -1))
    assert c != circle((1, 2, 3), math.nextafter(1.5, 2.0))
    assert c != 5 and not (c == 5) and c != c.get_plane()
    with pytest.raises(TypeError):
        c < c
    with pytest.raises(TypeError):
        hash(c)
    p = Plane.xy()
    assert hash(p) == hash(p) and p == p and p != Plane.xy()


def test_vectors_cross_the_boundary_by_value():
    v = Vec3d(1, 2, 3)
    c = circle(v.to_array(), 1.0)
    c.center = v
    v.x = 9.0
    c.center.x = 9.0
    assert tup(c.center) == (1.0, 2.0, 3.0)


# Intersections


@given(st.one_of(vectors, small3), doubles, st.one_of(vectors, small3), st.one_of(vectors, small3))
def test_plane_line(n, distance, a, b):
    p = Plane.xy()
    p.normal, p.distance = Vec3d(*n), distance
    d = sub(b, a)
    t = ieee_div(-(distance + dot(n, a)), dot(n, d))
    assert same(tup(plane_line(p, Vec3d(*a), Vec3d(*b))), tuple(ai + di * t for ai, di in zip(a, d)))


@given(small3, small, small3, small3)
def test_plane_line_meets_the_plane(normal, offset, a, b):
    p = Plane(Vec3d(*normal), offset)
    n = tup(p.normal)
    assume(all(map(math.isfinite, n)) and abs(math.fsum(x * (y - z) for x, y, z in zip(n, b, a))) > 1e-3)
    x = tup(plane_line(p, Vec3d(*a), Vec3d(*b)))
    scale = max(map(abs, x + a + b + (offset, 1.0)))
    assert abs(math.fsum([p.distance] + [ni * xi for ni, xi in zip(n, x)])) < 1e-9 * scale


@pytest.mark.parametrize(
    "plane, a, b, expected",
    [
        (Plane.xy(), (1, 2, 3), (1, 2, -1), (1.0, 2.0, 0.0)),
        (Plane(Vec3d(0, 0, 1), 5.0), (0, 0, 0), (0, 0, 10), (0.0, 0.0, 5.0)),
        (Plane.xy(), (0, 0, 1), (1, 0, 1), None),  # parallel: not finite, not an error
    ],
)
def test_plane_line_examples(plane, a, b, expected):
    x = tup(plane_line(plane, Vec3d(*a), Vec3d(*b)))
    assert x == expected if expected else not all(map(math.isfinite, x))


ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def core_circle_point(tmp_path_factory):
    """The core's circle_point through a small C++ program built without
    Python: it tells the error kinds apart, which Python folds into False."""
    exe = tmp_path_factory.mktemp("core") / "circle_point"
    flags = ["-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'core/include'}"]
    source = str(ROOT / "tests/core/circle_point.cpp")
    subprocess.run([os.environ.get("CXX", "c++"), *flags, source, "-o", str(exe)], check=True)

    def run(cases):
        lines = "".join(
            " ".join(float(x).hex() for x in (*center, radius, *normal, *point)) + f" {int(inner)}\n"
            for (center, radius, normal), point, inner in cases
        )
        return subprocess.run([str(exe)], input=lines, capture_output=True, encoding="utf-8", check=True).stdout.split()

    return run


@given(st.lists(st.tuples(circle_and_point(), st.booleans()), min_size=1, max_size=50))
def test_core_circle_point_kinds(core_circle_point, cases):
    cases = [(fields(c), p, inner) for (c, p), inner in cases]
    assert core_circle_point(cases) == [model_circle_point(*case) or "ok" for case in cases]


@given(circle_and_point(), st.booleans())
def test_circle_point(circle_and_point, inner):
    c, p = circle_and_point
    center, radius, _ = fields(c)
    assert circle_point(c, Vec3d(*p), inner) is (model_circle_point(fields(c), p, inner) is None)
    g = model_gap(center, radius, p)
    assert circle_point_unchecked(c, Vec3d(*p), inner) is (abs(g) < EPS or (g > EPS and inner))


@pytest.mark.parametrize(
    "point, kind, unchecked",
    [
        ((1, 0, 0), None, True),
        ((0.5, 0, 0), "Contained", None),  # None: True only with inner
        ((2, 0, 0), "TooFarApart", False),
        ((1 - EPS, 0, 0), "TooFarApart", False),  # the gap is exactly EPS
        ((1, 0, 1e-3), "OutOfPlane", False),
        ((0, 0, 1), "OutOfPlane", True),  # on the sphere, off the plane
    ],
)
@pytest.mark.parametrize("inner", [False, True])
def test_circle_point_folds_every_kind_into_false(core_circle_point, point, kind, unchecked, inner):
    c = circle((0, 0, 0), 1.0)
    inside_counts = kind == "Contained" and inner
    assert core_circle_point([(fields(c), point, inner)]) == ["ok" if inside_counts or not kind else kind]
    assert circle_point(c, Vec3d(*point), inner) is (kind is None or inside_counts)
    assert circle_point_unchecked(c, Vec3d(*point), inner) is (inner if unchecked is None else unchecked)


@given(st.one_of(coplanar_pairs(), st.tuples(stored_circles, stored_circles)))
def test_circle_circle(pair):
    expected = model_circle_circle(*map(fields, pair))
    if isinstance(expected, str):
        with pytest.raises(ValueError) as e:
            circle_circle(*pair)
        assert e.value.args == (TEXTS[expected],)
    else:
        first, second = circle_circle(*pair)
        assert same(tup(first) + tup(second), expected)


@pytest.mark.parametrize(
    "a, b, kind",
    [
        (circle((0, 0, 0), 1), circle((0, 0, 0), 1), "Identical"),
        (circle((0, 0, 0), 1), circle((0, 0, 0), 1, (0, 0, -1)), "Identical"),
        (circle((0, 0, 0), 1), circle((0, 0, 0), 2), "Contained"),
        (circle((0, 0, 0), 1), circle((3, 0, 0), 1), "TooFarApart"),
        (circle((0, 0, 0), 1), circle((0.5, 0, 1), 1), "OutOfPlane"),
        # The order of the checks: identical before out of plane (the normals
        # differ by less than EPS, the offsets by far more) ...
        (stored((1e3, 0, 0), 1, (0, 0, 1)), stored((1e3, 0, 0), 1, (1e-16, 0, 1)), "Identical"),
        # ... out of plane before too far apart and before contained ...
        (circle((0, 0, 0), 1), circle((9, 0, 1), 1), "OutOfPlane"),
        (circle((0, 0, 0), 1), circle((0, 0, 1), 5), "OutOfPlane"),
        # ... and too far apart before contained (both hold for radii 5, -5).
        (stored((0, 0, 0), 5, (0, 0, 1)), stored((1, 0, 0), -5, (0, 0, 1)), "TooFarApart"),
    ],
)
def test_circle_circle_errors(a, b, kind):
    assert model_circle_circle(fields(a), fields(b)) == kind
    with pytest.raises(ValueError) as e:
        circle_circle(a, b)
    assert type(e.value) is ValueError and str(e.value) == TEXTS[kind]


def test_circle_circle_examples():
    points = tuple(map(tup, circle_circle(circle((0, 0, 0), 1), circle((1, 0, 0), 1))))
    assert points == ((0.5, -0.8660254037844386, 0.0), (0.5, 0.8660254037844386, 0.0))
    flipped = tuple(map(tup, circle_circle(circle((0, 0, 0), 1), circle((1, 0, 0), 1, (0, 0, -1)))))
    assert flipped == points[::-1]
    assert tup(circle_circle(circle((0, 0, 0), 2), circle((3, 0, 0), 2))[0])[1] == -1.3228756555322954
    nan_radius = circle_circle(circle((0, 0, 0), math.nan), circle((1, 0, 0), 1))
    assert all(map(math.isnan, tup(nan_radius[0]) + tup(nan_radius[1])))


@pytest.mark.parametrize(
    "a, b, point",
    [
        # External and internal tangencies whose radicand rounds below zero.
        (circle((0.1, 0, 0), 0.1), circle((0.4, 0, 0), 0.2), (0.2, 0, 0)),
        (circle((0, 0, 0), 0.1), circle((1.2000000000000002, 0, 0), 1.1), (0.1, 0, 0)),
        (circle((0, 0, 0), 1.3), circle((0.19999999999999996, 0, 0), 1.1), (1.3, 0, 0)),
        (circle((0, 0, 0), 1), circle((2, 0, 0), 1), (1.0, 0, 0)),
    ],
)
def test_tangent_circles_meet_at_their_tangent_point(a, b, point):
    # Deliberate: rounding at a tangency no longer turns the point into NaN.
    first, second = map(tup, circle_circle(a, b))
    assert first == second and math.dist(first, point) < 1e-15


@given(st.floats(0.01, 100.0), st.floats(0.01, 100.0), small3, st.booleans())
def test_tangent_circles_never_give_nan(r1, r2, c1, internal):
    s = abs(r1 - r2) if internal else r1 + r2
    a, b = circle(c1, r1), circle((c1[0] + s, c1[1], c1[2]), r2)
    assume(model_circle_circle(fields(a), fields(b)) not in TEXTS)
    first, second = map(tup, circle_circle(a, b))
    # A radicand that rounds above zero leaves the points a hair apart.
    assert all(map(math.isfinite, first + second)) and math.dist(first, second) < 1e-6 * (r1 + r2)


def on_circle(x, center, radius, normal, tol):
    off_plane = math.fsum(map(math.prod, zip(normal, sub(x, center))))
    return abs(math.dist(x, center) - radius) <= tol and abs(off_plane) <= tol


@given(
    small3.filter(lambda v: math.hypot(*v) > 0.1),
    small3,
    st.floats(0.0, 2.0 * math.pi),
    st.floats(0.1, 10.0),
    st.floats(0.1, 10.0),
    st.floats(0.001, 0.999),
)
def test_intersection_points_lie_on_both_circles(direction, c1, angle, r1, r2, where):
    a = Circle(Vec3d(*c1), r1, Vec3d(*direction))
    n = tup(a.normal)
    e1 = normalize(cross(n, (1.0, 0.0, 0.0) if abs(n[0]) < 0.9 else (0.0, 1.0, 0.0)))
    e2 = cross(n, e1)
    # Centres apart by a distance strictly between |r1 - r2| and r1 + r2.
    s = abs(r1 - r2) + where * (r1 + r2 - abs(r1 - r2))
    c2 = tuple(c + s * (math.cos(angle) * x + math.sin(angle) * y) for c, x, y in zip(c1, e1, e2))
    b = Circle(Vec3d(*c2), r2, Vec3d(*n))
    assume(a.in_same_plane(b))
    tol = 1e-9 * max(map(abs, c1 + (r1, r2, 1.0)))
    for x in map(tup, circle_circle(a, b)):
        assert on_circle(x, c1, r1, n, tol) and on_circle(x, c2, r2, n, tol)


# The Python boundary


def test_import_statement_finds_the_submodule():
    # Deliberate: the submodule is registered in sys.modules under its name,
    # also when lumora is imported afresh.
    assert sys.modules["lumora.geometry"] is lumora.geometry
    assert importlib.import_module("lumora.geometry") is lumora.geometry
    code = (
        "import sys, lumora; g = lumora.geometry\n"
        "del sys.modules['lumora'], sys.modules['lumora.geometry']\n"
        "import lumora.geometry\n"
        "from lumora.geometry import Plane\n"
        "assert lumora.geometry is g and sys.modules['lumora.geometry'] is g and Plane is g.Plane\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_submodule_contents():
    g = lumora.geometry
    assert g.__all__ == ["Circle", "circle_circle", "circle_point", "circle_point_unchecked", "plane_line", "Plane"]
    for f in (plane_line, circle_point, circle_point_unchecked, circle_circle):
        assert f.__self__ is g and f.__module__ == "lumora.geometry"
    assert circle_point.__text_signature__ == "(circle, point, inner)"
    assert Plane.from_points.__text_signature__ == "(point1, point2, point3)"
    assert Circle.in_same_plane.__text_signature__ == "($self, other)"
    assert (Plane.__module__, Circle.__text_signature__) == ("builtins", "(center, radius, normal)")
    with pytest.raises(TypeError):
        type("Sub", (Circle,), {})


V = Vec3d(0, 0, 1)
C = circle((0, 0, 0), 1.0)
P = Plane.xy()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Plane((0, 0, 1), 1.0), "argument 'normal': 'tuple' object is not an instance of 'Vec3d'"),
        (lambda: Plane(V, "a"), "argument 'distance': must be real number, not str"),
        (lambda: Plane.from_point(V, None), "argument 'point': 'None' is not an instance of 'Vec3d'"),
        (lambda: Plane.from_points(V, V, 1), "argument 'point3': 'int' object is not an instance of 'Vec3d'"),
        (lambda: P.contains_point(C), "argument 'point': 'Circle' object is not an instance of 'Vec3d'"),
        (lambda: Circle(V, "r", V), "argument 'radius': must be real number, not str"),
        (lambda: Circle(V, 1.0, P), "argument 'normal': 'Plane' object is not an instance of 'Vec3d'"),
        (lambda: C.in_same_plane(P), "argument 'other': 'Plane' object is not an instance of 'Circle'"),
        (lambda: plane_line(C, V, V), "argument 'plane': 'Circle' object is not an instance of 'Plane'"),
        (lambda: plane_line(P, V, [1]), "argument 'b': 'list' object is not an instance of 'Vec3d'"),
        (lambda: circle_point(P, V, True), "argument 'circle': 'Plane' object is not an instance of 'Circle'"),
        (lambda: circle_point(C, V, 1), "argument 'inner': 'int' object is not an instance of 'bool'"),
        (lambda: circle_point_unchecked(C, V, None), "argument 'inner': 'None' is not an instance of 'bool'"),
        (lambda: circle_circle(C, V), "argument 'circle2': 'Vec3d' object is not an instance of 'Circle'"),
        (lambda: plane_line(P, V), "plane_line() missing 1 required positional argument: 'b'"),
        (lambda: circle_circle(C, C, C), "circle_circle() takes 2 positional arguments but 3 were given"),
        (lambda: circle_point(C, V, inner=True, circle=C), "circle_point() got multiple values for argument 'circle'"),
        (lambda: Circle(V, 1.0), "Circle.__new__() missing 1 required positional argument: 'normal'"),
        (lambda: P.distance_to_point(p=V), "Plane.distance_to_point() got an unexpected keyword argument 'p'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


def test_inner_takes_bools_and_numpy_bools_only():
    inside = Vec3d(0.5, 0, 0)
    assert circle_point(C, inside, numpy.bool_(True)) and not circle_point(C, inside, numpy.False_)
    assert circle_point_unchecked(inner=numpy.True_, point=inside, circle=C)
    with pytest.raises(TypeError, match="^argument 'inner': "):
        circle_point(C, inside, numpy.int64(1))
    # A numpy-named type is taken through its truth value, whatever it does.
    without_bool = type("bool_", (), {"__module__": "numpy"})()
    with pytest.raises(TypeError, match="^argument 'inner': object of type 'bool_' does not define a '__bool__'"):
        circle_point(C, V, without_bool)
    with pytest.raises(ZeroDivisionError):
        circle_point(C, V, type("bool", (), {"__module__": "numpy", "__bool__": lambda self: 1 / 0})())


def test_setters_convert_before_holding():
    p = Plane(Vec3d(0, 0, 2), 1.0)
    p.normal = p.normal
    c = circle((1, 2, 3), 2.0)
    c.center, c.normal, c.radius = c.center, c.normal, c.radius
    assert c.in_same_plane(c)
    with pytest.raises(ValueError, match="identical"):
        circle_circle(c, c)

    class Reads:  # converting this value reads the circle being written
        def __float__(self):
            return c.radius + 1.0

    c.radius = Reads()
    with pytest.raises(TypeError):
        c.radius = "a"
    assert fields(c) == ((1.0, 2.0, 3.0), 3.0, (0.0, 0.0, 1.0))


@pytest.mark.parametrize("obj, name", [(P, "normal"), (P, "distance"), (C, "center"), (C, "radius"), (C, "normal")])
def test_properties_cannot_be_deleted(obj, name):
    before = repr(getattr(obj, name))
    with pytest.raises(AttributeError, match="^property has no deleter$"):
        delattr(obj, name)
    assert repr(getattr(obj, name)) == before
