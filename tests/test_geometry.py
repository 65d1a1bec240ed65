"""lumora.geometry: planes, circles and their intersections against pure-Python
models, bit for bit, and geometric sanity checks."""

import math
import random

import pytest
from hypothesis import assume, given
from hypothesis import strategies as st

from lumora import Vec3d
from lumora.geometry import Circle, Plane, circle_circle, circle_point, circle_point_unchecked, plane_line
from support import (EPS, bits, build_core, check_formula, cross, dot, doubles, ieee_div, magnitude, normalize, same,
                     sub, tup, vectors as mixed_vectors)  # fmt: skip

S = st.tuples
NAN3 = (math.nan,) * 3
TEXTS = {
    "TooFarApart": "The given geometries are too far apart and do not intersect at all.",
    "Contained": "One of the given geometries is contained entirely within the other. The surfaces do not intersect.",
    "Identical": "The given geometries are identical.",
    "OutOfPlane": "The given geometries are out of plane from each other",
}


def V(components):
    return Vec3d(*components)


def plane(normal, distance):
    """A plane with its fields written directly."""
    p = Plane.xy()
    p.normal, p.distance = V(normal), distance
    return p


def stored(center, radius, normal):
    """A circle with its fields written directly, unnormalised."""
    c = Circle.none()
    c.center, c.radius, c.normal = V(center), radius, V(normal)
    return c


def circle(center, radius, normal=(0, 0, 1)):
    return Circle(V(center), radius, V(normal))


def fields(c):
    return tup(c.center), c.radius, tup(c.normal)


# Models, one IEEE operation at a time like the library.
def from_point(normal, point):
    n = normalize(normal)
    return plane(n, -dot(point, n))


def near(a, b, sign=1.0):
    return all(abs(x - sign * y) < EPS for x, y in zip(a, b))


def in_same_plane(a, b):
    (c1, _, n1), (c2, _, n2) = fields(a), fields(b)
    if near(n1, n2):
        return abs(dot(n2, c2) - dot(n1, c1)) < EPS
    return near(n1, n2, -1.0) and abs(dot(n2, c2) + dot(n1, c1)) < EPS


def circles_equal(a, b):
    (c1, r1, n1), (c2, r2, n2) = fields(a), fields(b)
    return near(c1, c2) and r1 == r2 and (near(n1, n2) or near(n1, n2, -1.0))


def on_or_inside(c, point, inner):
    g = c.radius - magnitude(sub(point, tup(c.center)))
    return abs(g) < EPS or (g > EPS and inner), g


def circle_point_kind(c, point, inner):
    n = normalize(tup(c.normal))
    if not abs(dot(n, point) - dot(n, tup(c.center))) < EPS:
        return "OutOfPlane"
    on, g = on_or_inside(c, point, inner)
    return None if on else "Contained" if g > EPS else "TooFarApart"


def circle_circle_kind(a, b):
    (c1, r1, _), (c2, r2, n2) = fields(a), fields(b)
    if circles_equal(a, b):
        return "Identical"
    if not in_same_plane(a, b):
        return "OutOfPlane"
    s = magnitude(sub(c1, c2))
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
    return V(mi + ui * h for mi, ui in zip(m, u)), V(mi - ui * h for mi, ui in zip(m, u))


def circle_circle_model(a, b):
    kind = circle_circle_kind(a, b)
    if isinstance(kind, str):
        raise ValueError(TEXTS[kind])
    return kind


def plane_line_model(p, a, b):
    d = sub(b, a)
    t = ieee_div(-(p.distance + dot(tup(p.normal), a)), dot(tup(p.normal), d))
    return V(ai + di * t for ai, di in zip(a, d))


vectors = st.tuples(doubles, doubles, doubles)
small = st.floats(-10.0, 10.0)
small3 = st.tuples(small, small, small)
AXES = [(0.0, 0.0, 1.0), (0.0, 0.0, -1.0), (0.0, 1.0, 0.0), (-1.0, 0.0, 0.0), (0.0, 0.0, 2.0), (0.0, 0.0, 0.0)]
stored_circles = st.builds(stored, vectors, doubles, vectors)
fractions = st.integers(0, 2**32).map(lambda seed: random.Random(seed).random())  # full mantissas, unlike st.floats
planes = st.builds(plane, vectors | small3, doubles)


@st.composite
def coplanar_pairs(draw):
    """Circles whose centres share the coordinate along an axis normal: in one
    plane exactly, so that the intersection itself is reached. Half of them
    cross, at a random bearing: full-mantissa positions, where any reordering
    of the arithmetic shows."""
    n = draw(st.sampled_from(AXES))
    axis = max(range(3), key=lambda i: abs(n[i]))
    crossing = draw(st.booleans())
    radii = fractions.map(lambda f: 20.0 * f) if crossing else st.floats(0.0, 20.0) | doubles
    r1, r2, c1, c2 = draw(radii), draw(radii), draw(small3), list(draw(small3))
    if crossing:
        s = abs(r1 - r2) + draw(fractions) * (abs(r1) + abs(r2) - abs(r1 - r2))
        bearing, (u, v) = draw(fractions) * 2 * math.pi, [i for i in range(3) if i != axis]
        c2[u], c2[v] = c1[u] + s * math.cos(bearing), c1[v] + s * math.sin(bearing)
    c2[axis] = c1[axis]
    n2 = tuple(-x for x in n) if draw(st.booleans()) else n
    return stored(c1, r1, n), stored(c2, r2, n2)


pairs = coplanar_pairs() | S(stored_circles, stored_circles)


@st.composite
def nudged_pairs(draw):
    """Pairs whose second centre is moved by less than, about, or more than EPS."""
    a, b = draw(pairs)
    b.center = Vec3d(b.center.x + draw(st.sampled_from([0.0, 1e-17, 1e-15])), b.center.y, b.center.z)
    return a, b


@st.composite
def circle_point_cases(draw):
    """A circle, a point often in its plane and on, inside or outside it, and inner."""
    c = draw(st.one_of(stored_circles, coplanar_pairs().map(lambda pair: pair[0])))
    center, radius, normal = fields(c)
    axis = max(range(3), key=lambda i: abs(normal[i]))
    p = list(draw(small3))
    if draw(st.booleans()):
        p[axis] = center[axis]
        if draw(st.booleans()):
            p = list(center)
            p[(axis + 1) % 3] += radius * draw(st.sampled_from([1.0, -1.0, 0.5, 1.0 + 2.0**-50, 2.0]))
    return c, tuple(p), draw(st.booleans())


FORMULAS = {
    "Plane": (S(vectors, doubles), lambda n, d: Plane(V(n), d), lambda n, d: plane(normalize(n), -d)),
    "from_point": (S(vectors, vectors), lambda n, p: Plane.from_point(V(n), V(p)), from_point),
    "from_points": (S(mixed_vectors, vectors, vectors), lambda a, b, c: Plane.from_points(V(a), V(b), V(c)),
                    lambda a, b, c: from_point(cross(sub(b, a), sub(c, a)), a)),  # fmt: skip
    "distance_to_point": (S(planes, vectors), lambda p, x: (p.distance_to_point(V(x)), p.contains_point(V(x))),
                          lambda p, x: (lambda d: (d, d < EPS))(abs(p.distance + dot(tup(p.normal), x)))),  # fmt: skip
    "Circle": (S(vectors, doubles, vectors), lambda c, r, n: Circle(V(c), r, V(n)),
               lambda c, r, n: stored(c, abs(r), normalize(n))),  # fmt: skip
    "area": (S(stored_circles), lambda c: c.area, lambda c: (c.radius * c.radius) * math.pi),
    "get_plane": (S(stored_circles), lambda c: c.get_plane(), lambda c: from_point(tup(c.normal), tup(c.center))),
    "in_same_plane": (nudged_pairs(), lambda a, b: (a.in_same_plane(b), a == b, a != b),
                      lambda a, b: (in_same_plane(a, b), circles_equal(a, b), not circles_equal(a, b))),  # fmt: skip
    "plane_line": (S(planes, vectors | small3, vectors | small3), lambda p, a, b: plane_line(p, V(a), V(b)),
                   plane_line_model),  # fmt: skip
    "circle_point": (circle_point_cases(),
                     lambda c, p, inner: (circle_point(c, V(p), inner), circle_point_unchecked(c, V(p), inner)),
                     lambda c, p, inner: (circle_point_kind(c, p, inner) is None, on_or_inside(c, p, inner)[0])),
    "circle_circle": (pairs, circle_circle, circle_circle_model, 300),
}


@pytest.mark.parametrize("name", FORMULAS)
def test_formula(name):
    check_formula(*FORMULAS[name])


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("Plane.from_points(Vec3d(0, 0, 0), Vec3d(1, 0, 0), Vec3d(0, 1, 0)).normal", Vec3d(0, 0, 1)),  # right-hand rule
        ("Plane.from_points(Vec3d(0, 0, 0), Vec3d(0, 1, 0), Vec3d(1, 0, 0)).normal", Vec3d(0, 0, -1)),
        ("(lambda p: (p, p.contains_point(Vec3d.zero())))(Plane.from_points(Vec3d.zero(), Vec3d(1, 1, 1), Vec3d(2, 2, 2)))",
         (plane(NAN3, math.nan), False)),  # collinear
        # Deliberate: the named planes are the planes their names say; xz() and yz() are not z = 0.
        ("[Plane.xy(), Plane.xz(), Plane.yz()]", [plane((0, 0, 1), -0.0), plane((0, 1, 0), -0.0), plane((1, 0, 0), -0.0)]),
        ("[p.contains_point(Vec3d(1, 2, 0)) for p in (Plane.xy(), Plane.xz(), Plane.yz())]", [True, False, False]),
        ("[p.contains_point(Vec3d(3, 0, 4)) for p in (Plane.xy(), Plane.xz(), Plane.yz())]", [False, True, False]),
        ("[p.contains_point(Vec3d(0, 5, 6)) for p in (Plane.xy(), Plane.xz(), Plane.yz())]", [False, False, True]),
        ("Plane(Vec3d(0, 0, 2), 5.0)", plane((0, 0, 1), -5.0)),  # the plane z = 5
        ("[Plane(Vec3d(0, 0, 2), 5.0).contains_point(Vec3d(7, -3, z)) for z in (5, -5)]", [True, False]),
        ("[plane((0, 0, 1), 5.0).contains_point(Vec3d(0, 0, z)) for z in (5, -5)]", [False, True]),
        ("plane((0, 0, 2), 5.0).distance_to_point(Vec3d(0, 0, 3))", 11.0),  # the normal is used as stored
        ("[bits(x) == bits(math.nan) for x in tup(Circle.none().normal)]", [True] * 3),
        ("(lambda c: (c.center, c.radius, c.area, c.is_degenerate(), c == c, c != Circle.none()))(Circle.none())",
         (Vec3d(0, 0, 0), 0.0, 0.0, True, False, True)),
        ("[stored((0, 0, 0), r, (0, 0, 1)).is_degenerate() for r in (0.0, -0.0, 1e-300)]", [True, True, False]),
        ("(lambda c: (c.radius, c.area))(stored((0, 0, 0), -2.0, (0, 0, 1)))", (-2.0, 12.566370614359172)),
        ("circle((1, 2, 3), 1.5) == circle((1, 2, 3 + 1e-17), 1.5, (0, 0, -1))", True),
        ("circle((1, 2, 3), 1.5) == circle((1, 2, 3), math.nextafter(1.5, 2.0))", False),
        ("plane_line(Plane.xy(), Vec3d(1, 2, 3), Vec3d(1, 2, -1))", Vec3d(1, 2, 0)),
        ("plane_line(Plane(Vec3d(0, 0, 1), 5.0), Vec3d(0, 0, 0), Vec3d(0, 0, 10))", Vec3d(0, 0, 5)),
        # A line parallel to the plane: no finite point, and no error.
        ("all(map(math.isfinite, tup(plane_line(Plane.xy(), Vec3d(0, 0, 1), Vec3d(1, 0, 1)))))", False),
        ("circle_circle(circle((0, 0, 0), 1), circle((1, 0, 0), 1))",
         (Vec3d(0.5, -0.8660254037844386, 0), Vec3d(0.5, 0.8660254037844386, 0))),
        # The order of the points follows circle2's normal.
        ("circle_circle(circle((0, 0, 0), 1), circle((1, 0, 0), 1, (0, 0, -1)))",
         (Vec3d(0.5, 0.8660254037844386, 0), Vec3d(0.5, -0.8660254037844386, 0))),
        ("circle_circle(circle((0, 0, 0), 2), circle((3, 0, 0), 2))[0].y", -1.3228756555322954),
        ("circle_circle(circle((0, 0, 0), math.nan), circle((1, 0, 0), 1))", (Vec3d(*NAN3), Vec3d(*NAN3))),
    ],
)  # fmt: skip
def test_examples(expr, expected):
    assert same(eval(expr), expected)


# ---------------------------------------------------------------- circle_point: the kinds, from C++


@pytest.fixture(scope="module")
def core_circle_point(tmp_path_factory):
    """The core's circle_point, which tells the kinds apart that Python folds
    into False: "ok" or the kind for each (circle, point, inner)."""
    run = build_core(tmp_path_factory, "circle_point")

    def line(c, point, inner):
        center, radius, normal = fields(c)
        return " ".join(float(x).hex() for x in (*center, radius, *normal, *point)) + f" {int(inner)}\n"

    return lambda cases: run("".join(line(*case) for case in cases)).split()


@given(st.lists(circle_point_cases(), min_size=1, max_size=50))
def test_core_circle_point_kinds(core_circle_point, cases):
    assert core_circle_point(cases) == [circle_point_kind(*case) or "ok" for case in cases]


@pytest.mark.parametrize(
    "point, kind, unchecked",
    [
        ((1, 0, 0), None, True),
        ((0.5, 0, 0), "Contained", None),  # None: True only with inner
        ((2, 0, 0), "TooFarApart", False),
        ((1 - EPS, 0, 0), "TooFarApart", False),  # the gap is exactly EPS
        ((1, 0, 1e-3), "OutOfPlane", False),
        ((0, 0, 1), "OutOfPlane", True),  # on the sphere, off the plane: checked first
    ],
)
@pytest.mark.parametrize("inner", [False, True])
def test_circle_point_folds_every_kind_into_false(core_circle_point, point, kind, unchecked, inner):
    c = circle((0, 0, 0), 1.0)
    inside_counts = kind == "Contained" and inner
    assert core_circle_point([(c, point, inner)]) == ["ok" if inside_counts or not kind else kind]
    assert circle_point(c, V(point), inner) is (kind is None or inside_counts)
    assert circle_point_unchecked(c, V(point), inner) is (inner if unchecked is None else unchecked)


# ---------------------------------------------------------------- circle_circle


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
    assert circle_circle_kind(a, b) == kind
    with pytest.raises(ValueError) as e:
        circle_circle(a, b)
    assert type(e.value) is ValueError and e.value.args == (TEXTS[kind],)


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
    assume(not isinstance(circle_circle_kind(a, b), str))
    first, second = map(tup, circle_circle(a, b))
    # A radicand that rounds above zero leaves the points a hair apart.
    assert all(map(math.isfinite, first + second)) and math.dist(first, second) < 1e-6 * (r1 + r2)


# ---------------------------------------------------------------- geometric sanity


def on_circle(x, center, radius, normal, tol):
    off_plane = math.fsum(map(math.prod, zip(normal, sub(x, center))))
    return abs(math.dist(x, center) - radius) <= tol and abs(off_plane) <= tol


@given(small3.filter(lambda v: math.hypot(*v) > 0.1), small3, st.floats(0.0, 2.0 * math.pi), st.floats(0.1, 10.0),
       st.floats(0.1, 10.0), st.floats(0.001, 0.999))  # fmt: skip
def test_intersection_points_lie_on_both_circles(direction, c1, angle, r1, r2, where):
    a = Circle(V(c1), r1, V(direction))
    n = tup(a.normal)
    e1 = normalize(cross(n, (1.0, 0.0, 0.0) if abs(n[0]) < 0.9 else (0.0, 1.0, 0.0)))
    e2 = cross(n, e1)
    # Centres apart by a distance strictly between |r1 - r2| and r1 + r2.
    s = abs(r1 - r2) + where * (r1 + r2 - abs(r1 - r2))
    c2 = tuple(c + s * (math.cos(angle) * x + math.sin(angle) * y) for c, x, y in zip(c1, e1, e2))
    b = Circle(V(c2), r2, V(n))
    assume(a.in_same_plane(b))
    tol = 1e-9 * max(map(abs, c1 + (r1, r2, 1.0)))
    for x in map(tup, circle_circle(a, b)):
        assert on_circle(x, c1, r1, n, tol) and on_circle(x, c2, r2, n, tol)


@given(small3, small, small3, small3)
def test_plane_line_meets_the_plane(normal, offset, a, b):
    p = Plane(V(normal), offset)
    n = tup(p.normal)
    assume(all(map(math.isfinite, n)) and abs(math.fsum(x * (y - z) for x, y, z in zip(n, b, a))) > 1e-3)
    x = tup(plane_line(p, V(a), V(b)))
    scale = max(map(abs, x + a + b + (offset, 1.0)))
    assert abs(math.fsum([p.distance] + [ni * xi for ni, xi in zip(n, x)])) < 1e-9 * scale
