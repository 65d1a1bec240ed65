"""Leak loops: every entry point of the module, found by walking it, called
over and over in a successful and in a failing form, with memory measured
before and after: Python objects by tracemalloc, native memory by the C
heap's own count and by the resident set size.

LUMORA_LEAK_ROUNDS sets the rounds (every entry point once per round in
each form); the default keeps the suite quick, 100000 is the long run."""

import ctypes
import functools
import gc
import itertools
import os
import resource
import subprocess
import sys
import tracemalloc

import copy
import pickle

import numpy as np

import lumora
from lumora import AngleDegrees, AngleRadians, PointIndex, Quat, Vec3d, VecList
from lumora.geometry import Circle, Plane
from support import HAND_OFF
from walk import MEMBERS, ON_INSTANCE, SAMPLES, invoke

ROUNDS = int(os.environ.get("LUMORA_LEAK_ROUNDS", "1000"))
# Memory that is measured once per round stays within this many bytes per
# round: less than the smallest object or allocation (16 bytes), so one
# object kept per round anywhere fails, while one-off growth of caches and
# free lists (a few kilobytes) is absorbed once the rounds are many.
PER_ROUND = 8
ONE_OFF = 16 * 1024
# Resident memory moves in pages and with the allocators' own caching (the C
# allocator raises its threshold for mapping large blocks after freeing one,
# and then keeps freed large blocks resident: a one-off few megabytes here),
# so it gets a coarse allowance. It catches native leaks of whole buffers:
# the large list's 0.8 MB arrays, leaked once per round over the 50 rounds
# of the bulk loop, are 40 MB.
RSS_ALLOWANCE = 16 * 1024 * 1024


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]  # fmt: skip


def native_heap():
    """Bytes in use in the C heap (what C++ new and malloc hand out); None
    where the allocator does not count them (sanitizers replace it)."""
    try:
        libc = ctypes.CDLL(None)
        libc.mallinfo2.restype = Mallinfo2
    except (OSError, AttributeError):
        return None
    info = libc.mallinfo2()
    total = info.uordblks + info.hblkhd
    return total or None


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


# Arguments tried when looking for a call that succeeds. OWN_VIEW stands
# for a view of the receiver (what its __release_buffer__ takes).
OWN_VIEW = object()
CANDIDATES = [lambda: 1.5, lambda: 2, lambda: True, *SAMPLES.values(),
              lambda: Circle(Vec3d(2, 2, 3), 2.0, Vec3d(0, 0, 1)),  # crosses the sample circle
              lambda: [[0.0, 1.0, 0.0], [-1.0, 0.0, 0.0], [0.0, 0.0, 1.0]],  # a rotation matrix
              lambda: [[0.0, 1.0, 0.0, 0.0], [-1.0, 0.0, 0.0, 0.0], [0.0, 0.0, 1.0, 0.0], [1.0, 2.0, 3.0, 1.0]],  # a motion's
              lambda: memoryview(bytearray(48)).cast("d", (2, 3)), OWN_VIEW,
              lambda: [True, False],  # positions, and a mask, for the sample list
              lambda: 3, lambda: PointIndex(np.eye(4, 3))]  # neighbourhoods that fit a plane  # fmt: skip


def build(make, receiver):
    return memoryview(receiver) if make is OWN_VIEW else make()


def forms(member):
    """(receiver maker, good args or None, bad args) for one member: the
    good form is the first combination of candidates that succeeds."""
    owner, name, how, params = member
    receiver = SAMPLES[owner] if how in ON_INSTANCE else (lambda: None)
    n = len(params)
    good = None
    for combo in itertools.product(CANDIDATES, repeat=n):
        r = receiver()
        try:
            invoke(owner, name, how, r, [build(make, r) for make in combo], {})
        except Exception:
            continue
        good = combo
        break
    return receiver, good, [None] * max(n, 1)


def rounds(plans, count):
    for _ in range(count):
        for (owner, name, how, _), (receiver, good, bad) in plans:
            r = receiver()
            if good is not None:
                invoke(owner, name, how, r, [build(make, r) for make in good], {})
            try:
                invoke(owner, name, how, r, bad, {})
            except Exception:
                pass


def grown_over(work, rounds):
    """Memory grown over `rounds` rounds of work, after a warm-up. The C heap
    and resident memory are measured over rounds of their own, with
    tracemalloc off: its tables of traces live in the C heap and grow with
    the most Python blocks alive at once, some 20 KB over the loops here."""
    work(max(rounds // 10, 1))  # warm caches and free lists
    gc.collect()
    heap, resident = native_heap(), rss()
    work(rounds)
    gc.collect()
    before, after = {"rss": resident}, {"rss": rss()}
    if heap is not None and native_heap() is not None:
        before["native heap"], after["native heap"] = heap, native_heap()
    tracemalloc.start()
    try:
        before["python"] = tracemalloc.get_traced_memory()[0]
        work(rounds)
        gc.collect()
        after["python"] = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    grown = {kind: after[kind] - before[kind] for kind in before}
    print(f"over {rounds} rounds: before {before}, after {after}")
    return grown


def measure(work, rounds=ROUNDS):
    grown = grown_over(work, rounds)
    for kind in ("python", "native heap"):
        if kind in grown:
            assert grown[kind] < ONE_OFF + PER_ROUND * rounds, (kind, grown)
    # A sanitizer's allocator (which leaves the C heap uncounted) keeps freed
    # memory in quarantine, so resident memory is no measure under it; its
    # leak checker counts instead.
    if "native heap" in grown:
        assert grown["rss"] < RSS_ALLOWANCE, grown
    return grown


def alone(test):
    """Runs the test in a process of its own. Beside other tests, what they
    leave behind (threads of other libraries, caches filled lazily) may
    allocate while the loops run and move the figures measured here."""

    @functools.wraps(test)
    def in_own_process():
        if os.environ.get("LUMORA_LEAK_ALONE"):
            return test()
        node = f"{__file__}::{test.__name__}"
        run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", node],
                             env={**os.environ, "LUMORA_LEAK_ALONE": "1"}, capture_output=True, text=True)  # fmt: skip
        assert run.returncode == 0, run.stdout + run.stderr

    return in_own_process


@alone
def test_every_entry_point_frees_what_it_makes():
    plans = [(m, forms(m)) for m in MEMBERS]
    for (owner, name, how, _), (receiver, good, _) in plans:
        # Only deleting a property, setting a read-only one, and pickling an
        # iterator never work.
        if good is None and how == "set":
            sample = receiver()
            try:
                setattr(sample, name, getattr(sample, name))
            except AttributeError:
                continue
        refusing = how == "delete" or (owner.__name__, name) == ("VecListIterator", "__reduce__")
        assert good is not None or refusing, f"no successful call of {owner.__name__}.{name}:{how}"
    measure(lambda count: rounds(plans, count))


def calling(calls, *expected):
    """work(count): every call, `count` times over, the errors it is expected
    to raise swallowed."""

    def work(count):
        for _ in range(count):
            for call in calls:
                try:
                    call()
                except expected:
                    pass

    return work


@alone
def test_guard_refusals_free_what_they_make():
    """The error paths of the access guard: a conversion that writes the held
    receiver, and a setter whose value fails after reading the object."""
    v, r, q, c = Vec3d(1, 2, 3), AngleRadians(1.0), Quat(1, 0, 0, 0), Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1))
    writes_v = type("W", (), {"__float__": lambda self: setattr(v, "x", 1.0) or 1.0})()
    writes_r = type("W", (), {"__index__": lambda self: setattr(r, "angle", 1.0) or 0})()
    calls = [lambda: v * writes_v, lambda: v[writes_v], lambda: v.dot(writes_v), lambda: r * writes_r,
             lambda: setattr(c, "radius", writes_v), lambda: Plane(v, writes_v), lambda: q.rotate(writes_v),
             lambda: AngleDegrees(writes_r)]  # fmt: skip

    work = calling(calls, RuntimeError, TypeError)

    measure(work)


@alone
def test_bulk_calls_on_large_lists_and_dropped_iterators_free_what_they_make():
    """Bulk calls on a list long enough for the worker pool, in their
    successful and failing forms, and iterators dropped half-way."""
    big = VecList([Vec3d(i, -i, 0.5) for i in range(1, HAND_OFF + 2)])
    q, v = Quat(1, 0, 0, 0), Vec3d(1, 2, 3)
    calls = [lambda: big * 2.0, lambda: big + v, lambda: big.normalize(), lambda: big.dot(v), lambda: big.is_unit(),
             lambda: big.minimum_distance_to(v, 5), lambda: big.rotate(q), lambda: repr(big), lambda: big.collapse(2),
             lambda: VecList(big), lambda: big.dot(None), lambda: big.collapse(7), lambda: big.minimum_distance_to(v, 0),
             lambda: big.extend(big), lambda: [next(it) for it in [iter(big)] for _ in range(3)],
             lambda: big.take(range(0, len(big), 2)), lambda: big.take(list(range(len(big)))), lambda: big.take([0, -1]),
             lambda: big.take(range(len(big) + 1)), lambda: big.compress([True, False] * (len(big) // 2) + [True]),
             lambda: big.compress([True]), lambda: big.sum(), lambda: big.mean(), lambda: big.bounds()]  # fmt: skip

    work = calling(calls, RuntimeError, TypeError, ValueError, IndexError, OverflowError)

    measure(work, max(ROUNDS // 20, 50))


@alone
def test_buffers_and_pickles_free_what_they_make():
    """Views of a large list, lists made from buffers, results written into
    buffers and pickles of every kind, in their successful and failing forms."""
    a = np.arange(3.0 * (HAND_OFF + 1)).reshape(-1, 3)
    big, v = VecList.from_buffer(a), Vec3d(1, 2, 3)
    d, b = np.empty(len(big)), np.empty(len(big), bool)

    def out_of_band():
        buffers = []
        data = pickle.dumps(big, protocol=5, buffer_callback=buffers.append)
        pickle.loads(data, buffers=buffers)

    calls = [lambda: np.asarray(big).sum(), lambda: memoryview(big).release(), lambda: bytes(big),
             lambda: VecList.from_buffer(a), lambda: VecList.from_buffer(a[::-1]),
             lambda: VecList.from_buffer(a.ravel()), lambda: VecList.from_buffer(np.zeros((2, 2))),
             lambda: VecList.from_buffer(a.astype(np.float32)), lambda: VecList.from_buffer([1.0]),
             lambda: big.dot(v, out=d), lambda: big.distance_to(v, out=d), lambda: big.is_unit(out=b),
             lambda: big.magnitude(out=d[:-1]), lambda: big.is_unit(out=d), lambda: big.dot(v, out=bytes(8)),
             lambda: pickle.loads(pickle.dumps(VecList([v, v]), protocol=0)),
             lambda: pickle.loads(pickle.dumps(big, protocol=5)),
             out_of_band, lambda: copy.deepcopy(big), lambda: pickle.loads(pickle.dumps([v, Quat(1, 2, 3, 4)])),
             lambda: lumora._restore("VecList", b"\0" * 25), lambda: lumora._restore("Quat", None),
             lambda: lumora._restore(1, b""), lambda: pickle.dumps(iter(big)),
             lambda: big.take(np.arange(len(big))[::-1]), lambda: big.take(np.array([0, len(big)])),
             lambda: big.take(d), lambda: big.compress(b), lambda: big.compress(d)]  # fmt: skip

    work = calling(calls, TypeError, ValueError, BufferError, IndexError)

    # Pickling leaves some 15 to 25 KB behind once per run in this
    # interpreter, as much after a thousand calls as after four thousand,
    # which is more than ONE_OFF: so a short and a long run are compared,
    # and only what grows with the rounds counts. The C heap counts the
    # blocks that the pool's worker threads keep in their own caches after
    # freeing them as still in use; after a suite's worth of threads that is
    # some 35 KB more in a long run than in a short one, however long, so the
    # C heap gets a larger one-off allowance. A leak grows in every attempt;
    # of three attempts the smallest growth counts, so that the allocations
    # of another test's leftover threads do not.
    rounds, more = max(ROUNDS // 20, 50), 4
    growth = {}
    for _ in range(3):
        short, long = grown_over(work, rounds), grown_over(work, (1 + more) * rounds)
        for kind in set(short) & set(long) - {"rss"}:
            growth[kind] = min(growth.get(kind, long[kind] - short[kind]), long[kind] - short[kind])
    one_off = {"python": ONE_OFF, "native heap": 4 * ONE_OFF}
    assert all(g < one_off[kind] + PER_ROUND * more * rounds for kind, g in growth.items()), growth
    big.append(v)  # every view was released
