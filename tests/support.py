"""Shared helpers: bit comparison, float strategies, pure-Python models of the
vector formulas, the driver of the formula tables and the core's C++ programs."""

import collections
import gc
import math
import os
import pathlib
import random
import struct
import subprocess
import sys
import tracemalloc
import threading
import time
import traceback
from decimal import Decimal

from hypothesis import given, settings
from hypothesis import strategies as st

from lumora import AngleDegrees, AngleRadians, Quat, RigidTransform, Vec3d
from lumora.cloud import IcpResult
from lumora.geometry import Circle, Plane

EPS = 2.0**-52
PI = math.pi
ROOT = pathlib.Path(__file__).resolve().parent.parent

# The worker pool takes a bulk call only from this many weighted elements on,
# an element weighing as below (streaming loops such as +, compound ones such
# as normalize, and its text): below it the calling thread does the work.
HAND_OFF = 32768
WEIGHTS = {"stream": 1, "compound": 4, "text": 200}
# Sizes on both sides of every hand-off point.
AROUND_HAND_OFF = sorted(HAND_OFF // w + d for w in WEIGHTS.values() for d in (-1, 0))


def bits(x):
    """The IEEE bit pattern of a double, so that -0.0 != 0.0 and NaN == NaN."""
    return struct.pack("<d", x)


def from_bits(n):
    return struct.unpack("<d", n.to_bytes(8, "little"))[0]


def agree(x, y):
    """Bit equality, except that any two NaNs agree (which NaN comes out is the hardware's choice)."""
    return bits(x) == bits(y) or (math.isnan(x) and math.isnan(y))


def ieee_div(a, b):
    """IEEE division; Python raises where the hardware gives inf or NaN."""
    if b == 0.0:
        if math.isnan(a) or a == 0.0:
            return math.nan
        return math.copysign(math.inf, math.copysign(1.0, a) * math.copysign(1.0, b))
    return a / b


def libm(f, x):
    """A function of Python's math, which calls the same libm; a domain error is libm's NaN."""
    try:
        return f(x)
    except ValueError:
        return math.nan


def float_text(x):
    """Independent model of the float text form: Python's shortest repr digits
    written out in full by Decimal; "NaN", "inf", "-inf", "-0"."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    if x == 0.0:
        return "-0" if math.copysign(1.0, x) < 0 else "0"
    s = format(Decimal(repr(x)), "f")
    return s.rstrip("0").rstrip(".") if "." in s else s


# ---------------------------------------------------------------- strategies

SPECIAL = [0.0, -0.0, 1.0, -1.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, -5e-324, 2.2250738585072014e-308,
           1.7976931348623157e308, -1.7976931348623157e308, 1e154, 1e-300, 0.5, 1.0 + 2.0**-52, 1.0 - 2.0**-53]  # fmt: skip

# Any double, with the special values above drawn often.
doubles = st.one_of(
    st.sampled_from(SPECIAL),
    st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True),
    st.floats(min_value=-1e3, max_value=1e3),
)
# Moderate finite doubles, for formulas whose interesting cases are not the overflowing ones.
finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False, allow_infinity=False)
unit = st.floats(min_value=-1.0, max_value=1.0)
# Every bit pattern, and NaNs of every sign and payload drawn often.
any_bits = st.one_of(
    doubles,
    st.integers(0, 2**64 - 1).map(from_bits),
    st.tuples(st.booleans(), st.integers(1, 2**52 - 1)).map(lambda t: from_bits(t[0] << 63 | 0x7FF << 52 | t[1])),
)


def rough_from(seed):
    r = random.Random(seed)
    return math.ldexp(r.uniform(-1.0, 1.0), r.randint(-20, 20))


# Full-mantissa values (drawn from a seed, since hypothesis favours short
# mantissas): sums of their products round, so any reordering shows.
rough = st.integers(0, 2**32).map(rough_from)
vectors = st.one_of(*(st.tuples(s, s, s) for s in (doubles, finite, rough)))
bit_vectors = st.tuples(any_bits, any_bits, any_bits)
finite_vectors = st.tuples(finite, finite, finite)
# Special values and overflow, plus the unit range where rotations live, and
# full mantissas, where rounding differences between groupings show.
quats = st.one_of(*(st.tuples(s, s, s, s) for s in (doubles, unit, rough)))

# ---------------------------------------------------------------- models, one IEEE operation at a time


def sub(a, b):
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def dot(a, b):
    return (a[0] * b[0] + a[1] * b[1]) + a[2] * b[2]


def cross(a, b):
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def magnitude(a):
    return libm(math.sqrt, dot(a, a))


def normalize(a):
    m = magnitude(a)
    return tuple(ieee_div(x, m) for x in a)


def hamilton(a, b):
    """The Hamilton product of two quaternions (w, i, j, k), each component summed left to right."""
    return (
        a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
        a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
        a[0] * b[2] + a[2] * b[0] + a[3] * b[1] - a[1] * b[3],
        a[0] * b[3] + a[3] * b[0] + a[1] * b[2] - a[2] * b[1],
    )


def quat_magnitude(q):
    return libm(math.sqrt, ((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3])


def tup(v):
    return (v.x, v.y, v.z)


def floaty(f):
    """A number-like object whose __float__ returns f()."""
    return type("Floaty", (), {"__float__": lambda self: f()})()


def indexy(f):
    """An integer-like object whose __index__ returns f()."""
    return type("Indexy", (), {"__index__": lambda self: f()})()


# ---------------------------------------------------------------- comparing results

FIELDS = {Vec3d: "x y z", Quat: "w i j k", AngleRadians: "angle", AngleDegrees: "angle",
          Plane: "normal distance", Circle: "center radius normal",
          RigidTransform: "rotation translation",
          IcpResult: "transform fitness rmse iterations converged"}  # fmt: skip


def tokens(r):
    """A result flattened: type names and lengths, then numbers and flags."""
    if isinstance(r, (tuple, list)):
        return [type(r).__name__, len(r)] + [t for x in r for t in tokens(x)]
    if type(r) in FIELDS:
        return [type(r).__name__] + [t for f in FIELDS[type(r)].split() for t in tokens(getattr(r, f))]
    return [r]


def same(a, b, exact=False):
    """Same types and shape, doubles equal bit for bit (any two NaNs agree unless exact)."""

    def one(x, y):
        if type(x) is float and type(y) is float:
            return bits(x) == bits(y) if exact else agree(x, y)
        return type(x) is type(y) and x == y

    ta, tb = tokens(a), tokens(b)
    return len(ta) == len(tb) and all(map(one, ta, tb))


def outcome(f, args):
    try:
        return f(*args)
    except ValueError as e:
        return "ValueError", str(e)


def check_formula(args, call, model, examples=100, exact=False):
    """call(*drawn) and model(*drawn) agree, results and ValueError texts alike."""

    @settings(max_examples=examples)
    @given(args)
    def run(drawn):
        assert same(outcome(call, drawn), outcome(model, drawn), exact)

    run()


def build_core(tmp_path_factory, name, *sources):
    """A program of tests/core built against the core alone; returns input text -> output text."""
    exe = tmp_path_factory.mktemp("core") / name
    files = [ROOT / f"tests/core/{name}.cpp", *(ROOT / s for s in sources)]
    flags = ["-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'core/include'}"]
    subprocess.run([os.environ.get("CXX", "c++"), *flags, *map(str, files), "-o", str(exe)], check=True)
    return lambda text: subprocess.run([str(exe)], input=text, capture_output=True, encoding="utf-8", check=True).stdout


# ---------------------------------------------------------------- threads

GUARD_ERRORS = {"Already borrowed", "Already mutably borrowed"}

# The default build runs one thread at a time under its global lock. There
# a hold is met by another thread only where its holder lets the lock go
# while holding: a bulk call waiting for the worker pool, or Python code run
# by a conversion. A vector's or a single element's call does neither, so
# threads contend only for lists.
GIL = sys._is_gil_enabled()


# How long threads that have not yet met as a test wants may go on: only a
# hang takes this long, not a slow build or a busy machine.
HANG = 600.0


def hammer(seconds, *workers, want=()):
    """Calls each worker over and over, each in its own thread, for `seconds`,
    and then on until every refusal in `want` was seen: threads interleave
    far less under a sanitizer or on a busy machine, and a chance meeting
    then takes longer. Returns how often each refusal was seen: the guard's
    RuntimeError texts, and "TypeError" for an operator's unsupported
    operands. Any other exception, and threads still going after HANG
    seconds, fail the test."""
    start, lock = threading.Barrier(len(workers)), threading.Lock()
    seen, errors = collections.Counter(), []
    deadline = time.monotonic() + seconds

    def going():
        now = time.monotonic()
        return now < deadline or (now < deadline + HANG and not all(seen[w] for w in want))

    def loop(work):
        start.wait()
        while going():
            try:
                work()
                continue
            except RuntimeError as e:
                key = str(e) if str(e) in GUARD_ERRORS else traceback.format_exc()
            except TypeError as e:
                key = "TypeError" if str(e).startswith("unsupported operand") else traceback.format_exc()
            except BaseException:
                key = traceback.format_exc()
            with lock:
                if "\n" in key:
                    errors.append(key)
                else:
                    seen[key] += 1

    threads = [threading.Thread(target=loop, args=(w,), daemon=True) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + HANG + 60)
    assert not any(t.is_alive() for t in threads), "a thread is stuck"
    assert errors == [], errors[0]
    return seen


def traced_growth(work):
    """Bytes of Python memory that a second run of work() leaves behind (the
    first run fills caches)."""
    work()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        work()
        gc.collect()
        return tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
