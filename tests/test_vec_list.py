"""VecList and its iterator: construction, access, growth, conversions and
text form, value semantics, the worker pool's thread count, and threads."""

import json
import math
import os
import pathlib
import subprocess
import sys
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

import lumora
from lumora import Quat, Vec3d, VecList
from support import (GIL, GUARD_ERRORS, HAND_OFF, HANG, WEIGHTS, bit_vectors, float_text, hammer, indexy, same,
                     traced_growth, tup)  # fmt: skip

P, Q = Vec3d(1, 2, 3), Vec3d(4.5, 0, -1)


class Seq:
    """A sequence by the old protocol: __getitem__ until IndexError, and a
    __len__ that may lie or fail."""

    def __init__(self, items, length=None, fail=None):
        self.items, self.length, self.fail = items, length, fail

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if self.fail and i == len(self.items) - 1:
            raise self.fail
        return self.items[i]


def raises(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert type(info.value) is error and str(info.value) == message


# ---------------------------------------------------------------- construction


@pytest.mark.parametrize(
    "arg, error, message",
    [
        ("abc", TypeError, "argument 'list': Can't extract `str` to `Vec`"),
        (type("Text", (str,), {})("abc"), TypeError, "argument 'list': Can't extract `str` to `Vec`"),
        ((p for p in [P]), TypeError, "argument 'list': 'generator' object is not an instance of 'Sequence'"),
        ({P}, TypeError, "argument 'list': 'set' object is not an instance of 'Sequence'"),
        ({0: P}, TypeError, "argument 'list': 'dict' object is not an instance of 'Sequence'"),
        (None, TypeError, "argument 'list': 'None' is not an instance of 'Sequence'"),
        ([P] * 1000 + [1.0], TypeError, "argument 'list': 'float' object is not an instance of 'Vec3d'"),
        ((P, (1, 2, 3)), TypeError, "argument 'list': 'tuple' object is not an instance of 'Vec3d'"),
        (Seq([P, VecList([P])]), TypeError, "argument 'list': 'VecList' object is not an instance of 'Vec3d'"),
        (b"ab", TypeError, "argument 'list': 'int' object is not an instance of 'Vec3d'"),
        (Seq([P, P], fail=ValueError("boom")), ValueError, "boom"),  # from the iteration: passed on unchanged
        (Seq([P, P], fail=TypeError("bad")), TypeError, "argument 'list': bad"),
    ],
)  # fmt: skip
def test_construction_errors(arg, error, message):
    raises(lambda: VecList(arg), error, message)


def test_construction_binds_its_one_argument():
    raises(lambda: VecList(), TypeError, "VecList.__new__() missing 1 required positional argument: 'list'")
    raises(lambda: VecList([], []), TypeError, "VecList.__new__() takes 1 positional arguments but 2 were given")
    assert same(VecList(list=(P, Q)).list, [P, Q], exact=True)


@pytest.mark.parametrize("length", [2**62, 2**63 - 1, 2**40, 0, 1, ValueError("no length"), -1, "3"])
def test_fix_absurd_or_failing_length_is_only_a_hint(length):
    # Deliberate: an absurd length must not abort the interpreter; the list
    # is built by iteration as when asking for the length fails.
    items = [Vec3d(n, -n, 0.5 * n) for n in range(5)]
    assert same(VecList(Seq(items, length)).list, items, exact=True)


@given(st.lists(bit_vectors, max_size=20))
def test_every_way_in_and_out_keeps_the_bits(vectors):
    points = [Vec3d(*v) for v in vectors]
    v = VecList(points)
    for copy in (VecList(tuple(points)), VecList(v), VecList(Seq(points))):
        assert same(copy.list, points, exact=True)
    out = [v.list, list(v), [v[i] for i in range(len(v))], [Vec3d(*a) for a in v.to_array()]]
    assert all(same(o, points, exact=True) for o in out) and len(v) == len(points)
    assert all(type(a) is list and len(a) == 3 for a in v.to_array())
    assert repr(v) == "[" + "\n".join("Vec3d({}, {}, {})".format(*map(float_text, t)) for t in vectors) + "]"


@pytest.mark.parametrize("v", [VecList([]), VecList(()), VecList.empty()], ids=["list", "tuple", "empty"])
def test_empty_lists(v):
    assert (len(v), repr(v), bool(v), v.to_array(), v.list, list(v)) == (0, "[]", False, [], [], [])
    with pytest.raises(StopIteration):
        next(iter(v))


def test_text_form_examples():
    assert repr(VecList([P, Q])) == str(VecList([P, Q])) == "[Vec3d(1, 2, 3)\nVec3d(4.5, 0, -1)]"
    assert repr(VecList([P])) == "[Vec3d(1, 2, 3)]"
    assert repr(VecList([Vec3d(1e21, -0.0, math.nan)])) == "[Vec3d(1000000000000000000000, -0, NaN)]"


# ---------------------------------------------------------------- access and growth


@pytest.mark.parametrize(
    "index, error, message",
    [
        (2, IndexError, "Index out of bounds"),
        (2**64 - 1, IndexError, "Index out of bounds"),
        (2**64, OverflowError, "int too big to convert"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (1.0, TypeError, "argument 'index': 'float' object cannot be interpreted as an integer"),
        (slice(0, 1), TypeError, "argument 'index': 'slice' object cannot be interpreted as an integer"),
        ("0", TypeError, "argument 'index': 'str' object cannot be interpreted as an integer"),
    ],
)  # fmt: skip
def test_index_errors(index, error, message):
    raises(lambda: VecList([P, Q])[index], error, message)


def test_indexes_and_the_protocols_built_on_them():
    v = VecList([P, Q])
    assert same([v[1], v[True], v[indexy(lambda: 0)]], [Q, Q, P], exact=True)
    a, b = v
    assert same([a, b], [P, Q], exact=True)
    assert Vec3d(1, 2, 3 + 1e-16) in v and Vec3d(1, 2, 3.1) not in v  # Vec3d equality, tolerance included
    assert bool(v) and len(v) == 2 and v != VecList([P, Q]) and v == v and hash(v) == object.__hash__(v)


# The members beyond the container's own: the buffer export, the
# constructor from a buffer, pickling, and the selections and reductions.
BORDERS = {"from_buffer", "__buffer__", "__release_buffer__", "__reduce__", "__reduce_ex__"}
SELECTIONS = {"take", "compress", "sum", "mean", "bounds"}
MOTIONS = {"transform", "copy"}


def test_exactly_these_members():
    assert set(VecList.__dict__) - {"__doc__", "__module__"} == {
        "__new__", "__len__", "__getitem__", "__iter__", "__repr__", "__add__", "__radd__", "__sub__", "__rsub__",
        "__mul__", "__rmul__", "__truediv__", "__rtruediv__", "empty", "append", "extend", "list", "to_array", "dot",
        "cross", "distance_to", "distance_squared", "magnitude", "normalize", "is_unit", "collapse", "rotate",
        "minimum_distance_to"} | BORDERS | SELECTIONS | MOTIONS  # fmt: skip
    signatures = {"append": "($self, vec)", "extend": "($self, other)", "empty": "()", "to_array": "($self)",
                  "take": "($self, indices)", "compress": "($self, mask)", "sum": "($self)",
                  "transform": "($self, motion)", "copy": "($self)"}
    assert {name: getattr(VecList, name).__text_signature__ for name in signatures} == signatures
    assert VecList.__text_signature__ == "(list)"
    assert (VecList.__module__, VecList.__qualname__) == ("builtins", "VecList")
    with pytest.raises(TypeError):
        type("Sub", (VecList,), {})


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda v: v.append((1, 2, 3)), TypeError, "argument 'vec': 'tuple' object is not an instance of 'Vec3d'"),
        (lambda v: v.append(None), TypeError, "argument 'vec': 'None' is not an instance of 'Vec3d'"),
        (lambda v: v.append(v), TypeError, "argument 'vec': 'VecList' object is not an instance of 'Vec3d'"),
        (lambda v: v.append(), TypeError, "VecList.append() missing 1 required positional argument: 'vec'"),
        (lambda v: v.append(P, P), TypeError, "VecList.append() takes 1 positional arguments but 2 were given"),
        (lambda v: v.extend([P]), TypeError, "argument 'other': 'list' object is not an instance of 'VecList'"),
        (lambda v: v.extend(P), TypeError, "argument 'other': 'Vec3d' object is not an instance of 'VecList'"),
        (lambda v: v.extend(other=v, x=1), TypeError, "VecList.extend() got an unexpected keyword argument 'x'"),
        (lambda v: v.extend(v), RuntimeError, "Already mutably borrowed"),
        # Code run while v is read may not change it.
        (lambda v: v[indexy(lambda: v.append(P) or 0)], RuntimeError, "Already borrowed"),
        (lambda v: v[indexy(lambda: v.extend(VecList([P])) or 0)], RuntimeError, "Already borrowed"),
    ],
)  # fmt: skip
def test_failed_growth_changes_nothing(call, error, message):
    v = VecList([P, Q])
    raises(lambda: call(v), error, message)
    assert same(v.list, [P, Q], exact=True)


def test_value_semantics():
    p = Vec3d(1, 2, 3)
    v = VecList([p])
    p.x = 9.0
    v.append(p)
    p.y = 9.0
    for got in (v[0], v.list[1], next(iter(v))):
        got.z = 7.0
    w = VecList(v)
    w.append(P)
    v.append(Q)
    assert same(v.list, [Vec3d(1, 2, 3), Vec3d(9, 2, 3), Q], exact=True)
    assert same(w.list, [Vec3d(1, 2, 3), Vec3d(9, 2, 3), P], exact=True)


# ---------------------------------------------------------------- the iterator


def test_iterator_type():
    it = iter(VecList([P]))
    cls = type(it)
    assert (cls.__module__, cls.__name__) == ("builtins", "VecListIterator") and not hasattr(lumora, "VecListIterator")
    # __reduce__ only refuses pickling with a TypeError.
    assert set(cls.__dict__) - {"__doc__", "__module__"} == {"__iter__", "__next__", "__reduce__"}
    raises(cls, TypeError, "cannot create 'builtins.VecListIterator' instances")
    assert iter(it) is it and same(next(it), P) and iter(it) is it
    for _ in range(3):  # stays exhausted
        with pytest.raises(StopIteration):
            next(it)


def test_iterators_keep_their_snapshot():
    v = VecList([P, Q])
    before = iter(v)
    next(before)
    v.append(P)
    v.extend(VecList([Q]))
    v.rotate(Quat(0, 0, 0, 1))  # half a turn about z
    assert same(list(before), [Q], exact=True) and same(list(iter(v)), v.list, exact=True)
    for p in v:  # the loop sees what v held when it began
        v.append(p)
    assert len(v) == 8 and same(v.list[4:], v.list[:4], exact=True)


def test_calls_and_failed_calls_free_what_they_make():
    small = VecList([P, Q] * 50)

    def work():
        for _ in range(300):
            w = VecList([P] * 100)
            w.append(Q)
            w.extend(small)
            w.list, w.to_array(), repr(w), list(w), w[3], small.normalize(), small.dot(P), small + P
            failing = (lambda: VecList([P] * 100 + [1]), lambda: VecList(Seq([P] * 10, fail=ValueError())),
                       lambda: w.extend(w), lambda: w[1000], lambda: w.append(1), lambda: small.collapse(3))  # fmt: skip
            for call in failing:
                try:
                    call()
                except (TypeError, ValueError, IndexError, RuntimeError):
                    pass

    assert traced_growth(work) < 64 * 1024


# ---------------------------------------------------------------- the worker pool


def cpu_quota():
    """The tightest CPU quota on this process's control-group paths, in whole
    CPUs rounded up; None without one."""
    quotas = []
    for line in pathlib.Path("/proc/self/cgroup").read_text().splitlines():
        _, controllers, path = line.split(":", 2)
        if controllers and "cpu" not in controllers.split(","):
            continue
        for d in [path, *map(str, pathlib.PurePosixPath(path).parents)]:
            where = pathlib.Path("/sys/fs/cgroup", controllers, d.lstrip("/"))
            try:
                if controllers:  # version 1
                    quota, period = (int((where / f"cpu.cfs_{f}_us").read_text()) for f in ("quota", "period"))
                else:
                    quota, period = (where / "cpu.max").read_text().replace("max", "-1").split()
            except OSError:
                continue
            if int(quota) > 0:
                quotas.append(-(-int(quota) // int(period)))
    return min(quotas, default=None)


def processors():
    return min(len(os.sched_getaffinity(0)), cpu_quota() or math.inf)


# Counts the threads of a process that makes one large bulk call after
# another until its pool has settled (threads may start lazily).
COUNT_THREADS = f"""
import os, time
from lumora import Vec3d, VecList
big = VecList([Vec3d(1, 2, 3)] * {2 * HAND_OFF})
deadline, counts = time.monotonic() + 10, []
while time.monotonic() < deadline and (len(counts) < 20 or len(set(counts[-20:])) > 1):
    big + Vec3d(1, 1, 1)
    counts.append(len(os.listdir("/proc/self/task")))
print(counts[-1] - 1, max(counts) - 1)
"""


@pytest.mark.parametrize(
    "num_threads, num_cpus, expected",
    [("3", None, 3), ("3", "5", 3), ("0", "5", processors), ("many", "5", 5), (None, "4", 4), (None, None, processors),
     (None, "0", processors), ("1", None, 1)],
)  # fmt: skip
def test_pool_thread_count(num_threads, num_cpus, expected):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    env.update({k: v for k, v in (("RAYON_NUM_THREADS", num_threads), ("RAYON_RS_NUM_CPUS", num_cpus)) if v})
    out = subprocess.run([sys.executable, "-c", COUNT_THREADS], env=env, capture_output=True, text=True, check=True)
    expected = expected() if callable(expected) else expected
    assert out.stdout.split() == [str(expected)] * 2


def test_small_lists_start_no_pool():
    small = HAND_OFF // max(WEIGHTS.values()) - 1
    code = f"""
import os
from lumora import Quat, Vec3d, VecList
v = VecList([Vec3d(n, 2, 3) for n in range({small})])
for _ in range(3):
    w = v + v[0]
    w.extend(v * 2.0)
    v.to_array(), repr(v), list(v), v.normalize(), v.magnitude(), v.is_unit(), v.minimum_distance_to(v[0], 1)
    v.rotate(Quat(1, 0, 0, 0))
print(len(os.listdir("/proc/self/task")))
"""
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout == "1\n"


# One long bulk call on a thread, and gc.collect() over and over on another
# while it runs: the call's start and end, and each collection's.
GC_DURING_BULK = """
import gc, json, threading, time
from lumora import Vec3d, VecList
big, block = VecList.empty(), VecList([Vec3d(n / 7, -n / 3, n * 1e-9) for n in range(1000)])
for _ in range(600):
    big.extend(block)
call, collections = [], []
def bulk():
    call.append(time.perf_counter())
    repr(big)
    call.append(time.perf_counter())
worker = threading.Thread(target=bulk)
worker.start()
while worker.is_alive():
    t = time.perf_counter()
    gc.collect()
    collections.append((t, time.perf_counter()))
    time.sleep(0.005)
print(json.dumps([call, collections]))
"""


def test_fix_garbage_collection_need_not_wait_for_a_bulk_call():
    # Deliberate: the caller detaches while it waits for the pool, so another
    # thread's stop-the-world pause is not held up for the whole call. Held
    # up, every collection that starts during the call ends with it.
    env = {**os.environ, "RAYON_NUM_THREADS": "1"}  # leaves a core to the collecting thread
    out = subprocess.run([sys.executable, "-c", GC_DURING_BULK], env=env, capture_output=True, text=True, check=True)
    (b0, b1), collections = json.loads(out.stdout)
    during = [(s, e) for s, e in collections if b0 + (b1 - b0) / 20 < s < b1]
    early = [(s, e) for s, e in during if e < b0 + (b1 - b0) / 2]
    took = sorted(e - s for s, e in during) or [0]
    print(f"bulk call {b1 - b0:.3f} s; {len(during)} collections during it, {len(early)} done in its first half;"
          f" {took[0]:.4f} to {took[-1]:.4f} s each")  # fmt: skip
    assert early


# Another thread counts in pure Python, noting the time every STEP counts,
# alone and then during two calls on lists of a million points: the text
# form, whose element work waits for the pool, and making a list from a
# Python list, which reads Python objects throughout. For each: its length,
# the counts made during it, and the longest time the counter made none.
COUNT_DURING_CALLS = """
import json, threading, time
from lumora import Vec3d, VecList
STEP = 1000
points = [Vec3d(n / 7, -n / 3, n * 1e-9) for n in range(1_000_000)]
big = VecList(points)
marks, running = [], True
def counter():
    n = 0
    while running:
        n += 1
        if n % STEP == 0:
            marks.append(time.perf_counter())
def during(call, arg):
    t0 = time.perf_counter()
    call(arg)
    t1 = time.perf_counter()
    times = [t0, *(m for m in marks if t0 < m < t1), t1]
    return t1 - t0, (len(times) - 2) * STEP, max(b - a for a, b in zip(times, times[1:]))
thread = threading.Thread(target=counter)
thread.start()
time.sleep(0.1)
alone = during(time.sleep, 0.3)
text = during(repr, big)
reading = during(VecList, points)
running = False
thread.join()
print(json.dumps([alone, text, reading]))
"""


def test_another_thread_runs_during_a_bulk_call():
    # Deliberate: the caller lets the interpreter go while the pool works, so
    # under the GIL of the default build other threads run meanwhile, as they
    # do on the free-threaded build. There a call that keeps the GIL (as one
    # reading Python objects must) stops them for about all of its length.
    env = {**os.environ, "RAYON_NUM_THREADS": "1"}  # leaves a core to the counting thread
    out = subprocess.run([sys.executable, "-c", COUNT_DURING_CALLS], env=env, capture_output=True, text=True, check=True)
    alone, text, reading = json.loads(out.stdout)
    pace = alone[1] / alone[0]
    for name, (seconds, counts, stall) in (("repr", text), ("VecList", reading)):
        print(f"{name} of 10**6 points: {seconds:.3f} s, the other thread at {counts / seconds / pace:.0%} of its pace"
              f" alone ({pace:.3g}/s), stopped for {stall:.3f} s at most")  # fmt: skip
    seconds, counts, stall = text
    assert counts / seconds > pace / 10 and stall < seconds / 4
    if GIL:
        seconds, counts, stall = reading
        assert stall > seconds / 2


# ---------------------------------------------------------------- threads


def encoded(thread, seq):
    return Vec3d(thread, seq, thread * 2**20 + seq)


def check_appends(vectors, threads):
    """Every element whole, and each thread's elements in order without gaps
    or repeats; returns how many each thread has."""
    got = {k: [] for k in range(threads)}
    for x, y, z in vectors:
        assert z == x * 2**20 + y, (x, y, z)
        got[int(x)].append(y)
    for seqs in got.values():
        assert seqs == list(range(len(seqs)))
    return {k: len(s) for k, s in got.items()}


def test_threads_growing_and_reading_one_list():
    shared, threads = VecList.empty(), 3
    done, reads = [0] * threads, [0]

    def writer(k):
        def work():
            time.sleep(0.0002)  # spread over the whole run
            if done[k] % 3:
                shared.append(encoded(k, done[k]))
                done[k] += 1
            else:
                shared.extend(VecList([encoded(k, done[k]), encoded(k, done[k] + 1)]))
                done[k] += 2

        return work

    def reader():
        n = len(shared)
        if n:
            x, y, z = tup(shared[n - 1])
            assert z == x * 2**20 + y
        check_appends(shared.to_array(), threads)
        check_appends(map(tup, shared), threads)
        check_appends(map(tup, VecList(shared).list), threads)
        assert repr(shared).count("Vec3d(") >= n
        reads[0] += 1

    def prober():  # quick reads, to meet the writers' holds often
        for _ in range(100):
            if len(shared):
                shared[0]

    # Under the lock a writer is refused while a reader's text form waits for
    # the pool, but a reader never: no writer lets the lock go while it holds.
    want = {"Already borrowed"} if GIL else GUARD_ERRORS
    seen = hammer(1.5, *map(writer, range(threads)), reader, prober, prober, want=want)
    assert check_appends(shared.to_array(), threads) == dict(enumerate(done))
    assert set(seen) == want and all(seen[w] > 0 for w in want) and reads[0] > 0


def test_threads_extending_two_lists_each_with_the_other():
    a, b = VecList.empty(), VecList.empty()
    workers = lambda: a.extend(b), lambda: b.extend(a)  # a waiting guard would deadlock
    seen = hammer(1.0, *workers)
    # Either refusal ends a collision, so rather than waiting for one kind the
    # threads run again until they have met once.
    deadline = time.monotonic() + HANG
    while not GIL and not sum(seen.values()) and time.monotonic() < deadline:
        seen += hammer(1.0, *workers)
    # Under the lock each copy runs whole between two switches: no refusal.
    assert (len(a), len(b)) == (0, 0) and (sum(seen.values()) == 0 if GIL else sum(seen.values()) > 0)


def test_threads_stepping_two_iterators():
    n, threads = 20000, 4
    v = VecList([Vec3d(i, -i, 0) for i in range(n)])
    its = [iter(v), iter(v)]
    got = [[[] for _ in its] for _ in range(threads)]

    def stepper(k):
        def work():
            for it, out in zip(its, got[k]):
                try:
                    p = next(it)
                except StopIteration:
                    iter(it)
                else:
                    assert p.y == -p.x
                    out.append(p.x)

        return work

    # Under the lock a step runs whole between two switches: no refusal.
    want = [] if GIL else ["Already borrowed"]
    seen = hammer(1.0, *map(stepper, range(threads)), want=want)
    # A slow build (a sanitizer's) may not reach the ends in time: the rest is
    # read here, so every element must still have come exactly once.
    rest = [[p.x for p in it] for it in its]
    for j in range(len(its)):
        assert all(got[k][j] == sorted(got[k][j]) for k in range(threads))
        assert sorted([x for k in range(threads) for x in got[k][j]] + rest[j]) == list(range(n))
    if GIL:
        assert not seen
    else:
        assert seen["Already borrowed"] > 0 and set(seen) <= {"Already borrowed", "Already mutably borrowed"}
