"""The bulk operations of VecList and its nearest-point search: each against
the per-element operation or a brute-force scan, bit for bit, for any number
of pool threads; their errors and operator rules; threads."""

import collections
import json
import math
import os
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumora import Quat, Vec3d, VecList
from support import AROUND_HAND_OFF, GIL, HAND_OFF, dot, finite, floaty, hammer, indexy, quats, same, sub, tup, vectors

P, NAN, INF = Vec3d(1, 2, 3), math.nan, math.inf
vec3 = vectors.map(lambda t: Vec3d(*t))
none = st.none()


def rotated(v, q):
    assert v.rotate(q) is None
    return v


# Each bulk operation and the per-element operation it must equal: the
# argument's strategy, the call on a list, the call on one element.
ELEMENTWISE = {
    "add": (vec3, lambda v, o: v + o, lambda e, o: e + o),
    "sub": (vec3, lambda v, o: v - o, lambda e, o: e - o),
    "mul": (vectors.map(lambda t: t[0]), lambda v, s: v * s, lambda e, s: e * s),
    "rmul": (vectors.map(lambda t: t[0]), lambda v, s: s * v, lambda e, s: s * e),
    "truediv": (vectors.map(lambda t: t[0]), lambda v, s: v / s, lambda e, s: e / s),
    "dot": (vec3, lambda v, o: v.dot(o), lambda e, o: e.dot(o)),
    "cross": (vec3, lambda v, o: v.cross(o), lambda e, o: e.cross(o)),
    "distance_to": (vec3, lambda v, o: v.distance_to(o), lambda e, o: e.distance_to(o)),
    "distance_squared": (vec3, lambda v, o: v.distance_squared(o), lambda e, o: e.distance_squared(o)),
    "magnitude": (none, lambda v, _: v.magnitude(), lambda e, _: e.magnitude()),
    "normalize": (none, lambda v, _: v.normalize(), lambda e, _: e.normalize()),
    "is_unit": (none, lambda v, _: v.is_unit(), lambda e, _: e.is_unit()),
    "collapse": (st.integers(0, 2), lambda v, a: v.collapse(a),
                 lambda e, a: Vec3d(*(0.0 if n == a else c for n, c in enumerate(tup(e))))),
    "rotate": (quats.map(lambda t: Quat(*t)), rotated, lambda e, q: q.rotate(e)),
}  # fmt: skip


@pytest.mark.parametrize("name", ELEMENTWISE)
def test_bulk_is_the_per_element_operation(name):
    arg, bulk, one = ELEMENTWISE[name]

    @settings(max_examples=100)
    @given(st.lists(vectors, max_size=12), arg)
    def run(items, a):
        points = [Vec3d(*t) for t in items]
        v = VecList(points)
        got = bulk(v, a)
        kind = VecList if isinstance(one(P, a), Vec3d) else list
        assert type(got) is kind and (got is v) == (name == "rotate")
        assert same(got.list if isinstance(got, VecList) else got, [one(p, a) for p in points])
        assert name == "rotate" or same(v.list, points, exact=True)

    run()


@pytest.mark.parametrize(
    "expr, expected",
    [
        ("VecList([Vec3d(1, 2, 3)]).collapse(1).list", [Vec3d(1, 0, 3)]),
        ("VecList([Vec3d(-1, -2, -3)]).collapse(0).list", [Vec3d(0.0, -2, -3)]),  # +0.0, whatever was there
        ("VecList([Vec3d(1, 0, 0), Vec3d(0.6, 0.8, 0), Vec3d(0, 0, 0), Vec3d(NAN, 0, 0)]).is_unit()",
         [True, True, False, False]),
        ("VecList([Vec3d(0, 1, 0)]).cross(Vec3d.i()).list", [Vec3d(0, 0, -1)]),  # the element on the left
        ("(VecList([Vec3d(1, -2, 0)]) / 0.0).list", [Vec3d(INF, -INF, NAN)]),
        ("(VecList([Vec3d(1, -2, 3)]) / 2).list", [Vec3d(0.5, -1, 1.5)]),
        ("VecList([Vec3d(0, 0, 0)]).normalize().list", [Vec3d(NAN, NAN, NAN)]),
        ("[(2 * v).list, (v * 2).list, (v * True).list, (v * floaty(lambda: 0.5)).list, (v / indexy(lambda: 4)).list]",
         [[Vec3d(2, 4, 6)], [Vec3d(2, 4, 6)], [P], [Vec3d(0.5, 1, 1.5)], [Vec3d(0.25, 0.5, 0.75)]]),
    ],
)  # fmt: skip
def test_examples(expr, expected):
    assert same(eval(expr, {**globals(), "v": VecList([P])}), expected)


# ---------------------------------------------------------------- operators


UNSUPPORTED = ["2 / v", "p + v", "p - v", "p * v", "v + v", "v - v", "v * v", "v / v", "v * p", "v / p", "v + 1",
               "v - 1.0", "v * None", "v * 'a'", "v / boom", "v * writes_v", "writes_v * v", "v + writes_v", "-v",
               "abs(v)", "v // 2", "v % 2", "v ** 2", "v @ v", "v < v"]  # fmt: skip


@pytest.mark.parametrize("expr", UNSUPPORTED)
def test_unsupported_operands_raise_the_interpreters_error(expr):
    v = VecList([P])
    ns = {"v": v, "p": Vec3d(4, 5, 6), "boom": floaty(lambda: 1 / 0),
          "writes_v": floaty(lambda: v.append(P) or 2.0)}  # refused: the operator holds v  # fmt: skip
    with pytest.raises(TypeError, match="^(unsupported operand|bad operand type|can't multiply sequence|'<' not)"):
        eval(expr, ns)
    assert same(v.list, [P], exact=True)


@pytest.mark.parametrize("op", ["+=", "-=", "*=", "/="])
def test_augmented_assignment_rebinds(op):
    v = VecList([P])
    w = v
    exec(f"v {op} {'Vec3d(1, 0, 0)' if op in '+=-=' else '2.0'}", globals(), ns := {"v": v})
    assert ns["v"] is not w and same(w.list, [P], exact=True) and len(ns["v"]) == 1


# ---------------------------------------------------------------- rotate and errors


def test_rotate_changes_the_list_itself():
    v = VecList([P, Vec3d(-4, 5, 0.5)])
    w, before = v, iter(v)
    assert v.rotate(Quat(0, 0, 0, 1)) is None  # half a turn about z
    assert w is v and same(v.list, [Vec3d(-1, -2, 3), Vec3d(4, -5, 0.5)], exact=True)
    assert same(list(before), [P, Vec3d(-4, 5, 0.5)], exact=True)


def check_error(expr, error, message):
    v, e = VecList([P, Vec3d(4, 5, 6)]), VecList.empty()
    with pytest.raises(error) as info:
        eval(expr, {"v": v, "e": e, "p": P, "q": Quat(0, 1, 0, 0), "indexy": indexy})
    assert type(info.value) is error and str(info.value) == message
    assert same(v.list, [P, Vec3d(4, 5, 6)], exact=True) and len(e) == 0


@pytest.mark.parametrize(
    "expr, message",
    [
        ("v.collapse(3)", "axis must be 0, 1 or 2"),
        ("e.collapse(2**64 - 1)", "axis must be 0, 1 or 2"),
        ("e.minimum_distance_to(p, 0)", "stride must not be zero"),  # before emptiness
        ("v.minimum_distance_to(p, 0)", "stride must not be zero"),
        ("e.minimum_distance_to(p, 1)", "minimum_distance_to() arg is an empty VecList"),
    ],
)
def test_fix_bad_axis_bad_stride_and_empty_search_are_value_errors(expr, message):
    # Deliberate: ordinary ValueErrors, which `except Exception` catches,
    # checked after the conversions and before any work.
    check_error(expr, ValueError, message)


@pytest.mark.parametrize(
    "expr, error, message",
    [
        ("v.collapse(-1)", OverflowError, "can't convert negative int to unsigned"),
        ("v.collapse(1.0)", TypeError, "argument 'axis': 'float' object cannot be interpreted as an integer"),
        ("v.collapse()", TypeError, "VecList.collapse() missing 1 required positional argument: 'axis'"),
        ("v.dot((1, 2, 3))", TypeError, "argument 'other': 'tuple' object is not an instance of 'Vec3d'"),
        ("v.distance_to(v)", TypeError, "argument 'other': 'VecList' object is not an instance of 'Vec3d'"),
        ("v.magnitude(1)", TypeError, "VecList.magnitude() takes no arguments (1 given)"),
        ("v.rotate(p)", TypeError, "argument 'quat': 'Vec3d' object is not an instance of 'Quat'"),
        ("v.rotate(q, q)", TypeError, "VecList.rotate() takes 1 positional arguments but 2 were given"),
        ("e.minimum_distance_to(None, 0)", TypeError, "argument 'other': 'None' is not an instance of 'Vec3d'"),
        ("e.minimum_distance_to(p, -1)", OverflowError, "can't convert negative int to unsigned"),
        ("e.minimum_distance_to(p, 1.5)", TypeError,
         "argument 'stride': 'float' object cannot be interpreted as an integer"),
        ("v.minimum_distance_to(p)", TypeError,
         "VecList.minimum_distance_to() missing 1 required positional argument: 'stride'"),
        # Code run while v is read may not change it.
        ("v[indexy(lambda: v.rotate(q) or 0)]", RuntimeError, "Already borrowed"),
        ("v.minimum_distance_to(p, indexy(lambda: v.rotate(q) or 1))", RuntimeError, "Already borrowed"),
        ("v.collapse(indexy(lambda: v.rotate(q) or 1))", RuntimeError, "Already borrowed"),
    ],
)  # fmt: skip
def test_errors_change_nothing(expr, error, message):
    check_error(expr, error, message)


# ---------------------------------------------------------------- the search


def nearest(d2, stride):
    """The brute-force search: the best coarse sample, then the best of its
    window; lowest position among equals, and NaNs after every number."""

    def best(positions):
        return min(positions, key=lambda i: (math.isnan(d2[i]), 0.0 if math.isnan(d2[i]) else d2[i], i))

    b = best(range(0, len(d2), stride))
    w = best(range(max(b - stride, 0), min(b + stride, len(d2))))
    return w, math.sqrt(d2[w])


def on_x(*xs):
    return VecList([Vec3d(x, 0, 0) for x in xs])


ORIGIN = Vec3d(0, 0, 0)
STEP = [10, 10, 10, 5, 10, 10, 20, 1, 20, 20]


def around_6(p):
    """Stride 3 picks position 6 (x = 5) in the coarse pass; its window takes
    in the stride - 1 = 2 positions on either side that are not samples."""
    return on_x(*(1 if i == p else 5 if i == 6 else 10 for i in range(13)))


@pytest.mark.parametrize(
    "v, stride, expected",
    [
        (on_x(*STEP), 3, (3, 5.0)),  # samples 0, 3, 6, 9; position 7 lies outside the window
        (on_x(*STEP), 1, (7, 1.0)),
        (VecList([Vec3d(1, 0, 0), Vec3d(-1, 0, 0)]), 1, (0, 1.0)),  # ties: the lower position
        (on_x(3, 5, 2, 2), 2, (2, 2.0)),
        (on_x(3, 2, 4), 5, (1, 2.0)),  # stride beyond the list: the exact nearest
        (on_x(3, 2, 4), 2**64 - 1, (1, 2.0)),
        (on_x(-2), 1, (0, 2.0)),
        (on_x(-2), 2**64 - 1, (0, 2.0)),
        (around_6(4), 3, (4, 1.0)),
        (around_6(8), 3, (8, 1.0)),
        (around_6(2), 3, (6, 5.0)),
        (around_6(10), 3, (6, 5.0)),
        (on_x(INF, 1e200, -INF), 1, (0, INF)),
    ],
)  # fmt: skip
def test_search_examples(v, stride, expected):
    assert same(v.minimum_distance_to(ORIGIN, stride), expected)


@pytest.mark.parametrize(
    "v, stride, expected",
    [
        (VecList([Vec3d(0, 0, 0).normalize(), Vec3d(3, 4, 0)]), 1, (1, 5.0)),
        (on_x(-NAN, NAN, 5), 1, (2, 5.0)),
        (on_x(NAN, -5, -NAN, NAN), 2, (1, 5.0)),  # samples 0 and 2 are NaN: the window of 0
        (on_x(7, -NAN, 6), 1, (2, 6.0)),
        (VecList([Vec3d(1, NAN, 0), Vec3d(-NAN, 0, 0), Vec3d(0, 0, 0).normalize()]), 1, (0, NAN)),
        (on_x(-NAN, NAN, -NAN), 2, (0, NAN)),
    ],
)  # fmt: skip
def test_fix_nan_comes_after_every_number_whatever_its_sign(v, stride, expected):
    # Deliberate: by the raw total order a NaN with its sign set, as a
    # degenerate element gives, would be reported as the nearest point; among
    # NaNs only, the lowest position wins.
    d2 = VecList([Vec3d(0, 0, 0).normalize()]).distance_squared(ORIGIN)[0]
    assert math.isnan(d2) and math.copysign(1.0, d2) < 0  # so these cases do test the sign
    assert same(v.minimum_distance_to(ORIGIN, stride), expected)


walks = st.lists(st.tuples(finite, finite, finite), min_size=1, max_size=60).map(
    lambda steps: [tuple(sum(s[k] for s in steps[: i + 1]) for k in range(3)) for i in range(len(steps))]
)


@settings(max_examples=250)
@given(st.one_of(walks, st.lists(vectors, min_size=1, max_size=60)), vectors, st.integers(1, 70))
def test_search_is_a_scan_of_the_window(points, other, stride):
    d2 = [dot(sub(p, other), sub(p, other)) for p in points]
    v, o = VecList([Vec3d(*p) for p in points]), Vec3d(*other)
    assert same(v.minimum_distance_to(o, stride), nearest(d2, stride))
    exact = nearest(d2, 1)
    assert exact == nearest(d2, len(points)) or math.isnan(exact[1])
    assert same(v.minimum_distance_to(o, 1), exact) and same(v.minimum_distance_to(o, len(points) + stride), exact)


# ---------------------------------------------------------------- any number of threads, any split

# Prints a digest of every result, at every size, either computed directly
# (the pool takes the large lists) or ("pieces") as the concatenation of the
# results over pieces too small for the pool, and a brute-force search.
RESULTS = r"""
import hashlib, json, math, random, struct, sys
import numpy as np
from lumora import Quat, Vec3d, VecList
pieces, sizes, out = sys.argv[1] == "pieces", map(int, sys.argv[2:]), {}
SPECIAL = [0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, -2.2e-308, 1.7976931348623157e308, 1e154]
o, q, s = Vec3d(0.3, -1.7, 2.9), Quat(0.5, -0.1, 0.7, 0.2), 1.7
OPS = {"to_array": lambda v: v.to_array(), "repr": repr, "+": lambda v: v + o, "-": lambda v: v - o,
       "*": lambda v: v * s, "rmul": lambda v: s * v, "/": lambda v: v / s, "dot": lambda v: v.dot(o),
       "cross": lambda v: v.cross(o), "distance_to": lambda v: v.distance_to(o),
       "distance_squared": lambda v: v.distance_squared(o), "magnitude": lambda v: v.magnitude(),
       "normalize": lambda v: v.normalize(), "is_unit": lambda v: v.is_unit(), "collapse": lambda v: v.collapse(1),
       "rotate": lambda v: (v.rotate(q), v)[1], "copy": VecList}
# Results written into a caller's buffer, read back as lists.
OUT = {"dot": lambda v: v.dot(o, out=np.empty(len(v))), "distance_to": lambda v: v.distance_to(o, out=np.empty(len(v))),
       "distance_squared": lambda v: v.distance_squared(o, out=np.empty(len(v))),
       "magnitude": lambda v: v.magnitude(out=np.empty(len(v))), "is_unit": lambda v: v.is_unit(out=np.empty(len(v), bool))}
OPS.update({f"{name} out=": (lambda f: lambda v: f(v).tolist())(f) for name, f in OUT.items()})
def flat(r):
    if isinstance(r, str):
        return r.encode()
    r = r.list if isinstance(r, VecList) else r
    if isinstance(r[0], (list, Vec3d)):
        return flat([c for a in r for c in (a if isinstance(a, list) else (a.x, a.y, a.z))])
    return bytes(r) if isinstance(r[0], bool) else struct.pack(f"<{len(r)}d", *r)
def joined(parts):
    if isinstance(parts[0], str):
        return "[" + "\n".join(p[1:-1] for p in parts) + "]"
    if isinstance(parts[0], VecList):
        return [x for p in parts for x in p.list]
    return [x for p in parts for x in p]
def nearest(d2, stride):
    best = lambda ps: min(ps, key=lambda i: (math.isnan(d2[i]), 0.0 if math.isnan(d2[i]) else d2[i], i))
    b = best(range(0, len(d2), stride))
    w = best(range(max(b - stride, 0), min(b + stride, len(d2))))
    return w, math.sqrt(d2[w])
for n in sizes:
    r = random.Random(n)
    x = lambda: r.choice(SPECIAL) if r.random() < 0.05 else math.ldexp(r.uniform(-1, 1), r.randint(-30, 30))
    points = [Vec3d(x(), x(), x()) for _ in range(n)]
    v = VecList(points)
    for name, op in OPS.items():
        if pieces and n:
            got = joined([op(VecList(points[i : i + 256])) for i in range(0, n, 256)])
        else:
            got = op(VecList(v) if name == "rotate" else v)
        out[f"{name} {n}"] = hashlib.sha256(flat(got) if n else repr(got).encode()).hexdigest()
    for stride in (1, 7, 1000) if n else ():
        if pieces:
            got = nearest(joined([VecList(points[i : i + 256]).distance_squared(o) for i in range(0, n, 256)]), stride)
        else:
            got = v.minimum_distance_to(o, stride)
        out[f"search {stride} {n}"] = struct.pack("<Qd", *got).hex()
print(json.dumps(out))
"""
SIZES = [0, 1, 2, *AROUND_HAND_OFF, max(10**5, 3 * HAND_OFF + 1)]


def results(mode, **env):
    env = {**{k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}, **env}
    args = [sys.executable, "-c", RESULTS, mode, *map(str, SIZES)]
    return json.loads(subprocess.run(args, env=env, capture_output=True, text=True, check=True).stdout)


@pytest.fixture(scope="module")
def reference():
    return results("pieces", RAYON_NUM_THREADS="1")


@pytest.mark.parametrize("threads", ["1", "2", "8", None])
def test_results_do_not_depend_on_threads_or_splits(threads, reference):
    got = results("direct", **({"RAYON_NUM_THREADS": threads} if threads else {}))
    assert got.keys() == reference.keys() and {k for k in got if got[k] != reference[k]} == set()
    # What `out=` receives is bit for bit the list returned without it.
    written = {k: v for k, v in got.items() if " out= " in k}
    assert written and {k for k, v in written.items() if v != got[k.replace(" out= ", " ")]} == set()


# ---------------------------------------------------------------- threads


def test_threads_reading_while_rotating_and_appending():
    n = HAND_OFF + 1  # every bulk call below goes to the pool
    shared = VecList([Vec3d(i + 1, 2 * (i + 1), 3 * (i + 1)) for i in range(n)])
    magnitudes = shared.magnitude()
    turns, appended, reads = [0], [0], [0, 0, 0]

    def pause(since):
        """Leaves the list free at least as long as the call held it, so that
        readers get their turn however slow the build."""
        time.sleep(max(0.001, time.perf_counter() - since))

    def check(elements):
        """Before or after each half turn, never a mix; appended ones whole and in order."""
        first = elements[0][0] > 0
        for i, (x, y, z) in enumerate(elements[:n]):
            assert (x > 0) is first and y == 2 * x and abs(x) == i + 1 and z == 3 * (i + 1)
        for j, (x, y, z) in enumerate(elements[n:]):
            assert abs(x) == 1 and (x > 0) is (y > 0) and abs(y) == j + 1 and z == 2**20 + j + 1

    def rotator():
        since = time.perf_counter()
        shared.rotate(Quat(0, 0, 0, 1))
        turns[0] += 1
        pause(since)

    def appender():
        since = time.perf_counter()
        shared.append(Vec3d(1, appended[0] + 1, 2**20 + appended[0] + 1))
        appended[0] += 1
        pause(since)

    def read_pause(since):
        """Under the GIL a reader starts its next read before a refused writer
        gets the interpreter back, so three readers would keep the list held
        for good; there they leave it free as long as they held it."""
        if GIL:
            pause(since)

    def elements():
        since = time.perf_counter()
        check(shared.to_array())
        check([tup(p) for p in shared])
        reads[0] += 1
        read_pause(since)

    def bulk():
        since = time.perf_counter()
        xs = shared.dot(Vec3d(1, 0, 0))
        assert len({x > 0 for x in xs[:n]}) == 1 and shared.magnitude()[:n] == magnitudes
        assert shared.minimum_distance_to(P, 1) in [(0, 0.0), (0, math.sqrt(20))]
        reads[1] += 1
        read_pause(since)

    def text():
        since = time.perf_counter()
        lines = repr(shared)[1:-1].split("\n")
        assert len({line.startswith("Vec3d(-") for line in lines[:n]}) == 1
        reads[2] += 1
        read_pause(since)

    def operators():
        check((shared * 1.0).to_array())
        check((shared + Vec3d(0, 0, 0)).to_array())

    # An operator meets a rotation here only by chance: the next test makes
    # sure it does.
    wanted = ["Already borrowed", "Already mutably borrowed"]
    seen = hammer(1.5, rotator, appender, elements, bulk, text, operators, want=wanted)
    check(shared.to_array())
    assert len(shared) == n + appended[0] and (shared[0].x > 0) is (turns[0] % 2 == 0)
    assert all(seen[w] for w in wanted), seen
    assert min(turns[0], appended[0], *reads) > 0


def test_threads_meet_a_rotation_while_the_pool_works():
    # The rotation holds the list exclusively while it waits for the pool,
    # and lets the interpreter go meanwhile, also under the GIL: a read in
    # another thread is refused then, and an operator answers NotImplemented.
    # The prober is let go just before each rotation and probes until it is
    # over, so a rotation this long is met whatever the pace of the build;
    # rounds go on until both kinds of probe have met one.
    shared = VecList([Vec3d(1, 2, 3)] * 200_000)
    probes = (lambda: len(shared) == 200_000, lambda: (shared * 1.0)[0] == Vec3d(1, 2, 3))
    seen = collections.Counter()
    for round in range(1000):
        if seen["Already mutably borrowed"] and seen["TypeError"]:
            break
        rotating, over = threading.Event(), threading.Event()

        def prober(probe=probes[round % 2]):
            rotating.wait()
            while not over.is_set():
                try:
                    assert probe()
                except RuntimeError as e:
                    seen[str(e)] += 1
                    return
                except TypeError as e:
                    assert str(e).startswith("unsupported operand")
                    seen["TypeError"] += 1
                    return

        thread = threading.Thread(target=prober)
        thread.start()
        rotating.set()
        try:
            shared.rotate(Quat(1, 0, 0, 0))
        except RuntimeError as e:  # the prober held the list first
            assert str(e) == "Already borrowed"
        finally:
            over.set()
            thread.join()
    assert seen["Already mutably borrowed"] and seen["TypeError"] and set(seen) <= {"Already mutably borrowed", "TypeError"}, seen
    assert shared[199_999] == Vec3d(1, 2, 3)
