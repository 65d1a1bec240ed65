"""Thread stress: one harness over every mutable class. Eight threads share a
few objects and mix writes (setters; append, extend and rotate of lists;
steps of iterators) with reads, operators, comparisons, hashing and bulk
calls on the worker pool, for a short time (LUMORA_STRESS_SECONDS per class,
0.4 by default).

Checked: every refusal is the guard's RuntimeError with its exact text, or in
an operator the interpreter's TypeError for a NotImplemented answer; every
value read is one that some thread wrote as a whole (values are unique per
write, and a refused write is never seen); nothing written is lost or
doubled; no thread is left hanging; and afterwards every object is free
again. Under the global lock of the default build the same checks hold,
and only a list's bulk calls let the threads meet each other's holds."""

import math
import os
import random
import re
import threading
import time

import pytest

from lumora import AngleDegrees, AngleRadians, Quat, Vec3d, VecList
from lumora.geometry import Circle, Plane, circle_circle, circle_point, circle_point_unchecked, plane_line
from support import GIL, HANG

THREADS = 8
SECONDS = float(os.environ.get("LUMORA_STRESS_SECONDS", "0.4"))
# Writes and calls each thread makes at least, before it looks at the time.
MIN_STEPS = 20
READ_REFUSED = "Already mutably borrowed"
WRITE_REFUSED = "Already borrowed"
NUMBER = r"(NaN|-?inf|-?[0-9.]+)"


def parse(pattern, text):
    """The doubles of a text form, read back from the float text form."""
    match = re.fullmatch(re.escape(pattern).replace(re.escape("{}"), NUMBER), text)
    assert match, f"unexpected text form {text!r}"
    return [float(g) for g in match.groups()]


def vector(k):
    """A vector made from one number, so that a mix of two writes shows."""
    return Vec3d(k, k + 0.25, -k)


def vec_tuple(v):
    return (v.x, v.y, v.z)


class Floaty:
    """A value whose conversion reads an object first, as a setter's value may."""

    def __init__(self, value, read):
        self.value, self.read = value, read

    def __float__(self):
        self.read()
        return self.value


class Kind:
    """How a call may fail under contention: `read` calls the guard's shared
    refusal, `binop` the interpreter's TypeError for NotImplemented on both
    sides, `order` its TypeError for an unsupported comparison, `eq` an
    equality (True/False or the shared refusal on the other operand)."""

    read, binop, order, eq = "read", "binop", "order", "eq"


ALLOWED = {
    Kind.read: (RuntimeError, f"^{READ_REFUSED}$"),
    Kind.binop: (TypeError, "^unsupported operand type"),
    Kind.order: (TypeError, "not supported between instances of"),
    Kind.eq: (RuntimeError, f"^{READ_REFUSED}$"),
}


class Refused(Exception):
    """A write refused by the guard on the way, not by its own hold."""


class Target:
    """A class under stress: how to make an instance; its writes, each
    write(worker, obj) -> what it wrote (or None), refused by the guard's
    RuntimeError or Refused; how to read its state, as {part: value}; the
    calls the threads mix; and the checks on what the threads saw and wrote."""

    def __init__(self, make, writes, snapshot, calls, check):
        self.make, self.writes, self.snapshot, self.calls, self.check = make, writes, snapshot, calls, check


def field_writes(fields, snapshot):
    """Setters, with values made from unique numbers; a float is sometimes
    given as an object whose conversion reads the object being written,
    which is fine, since a setter holds the object only after converting."""

    def setter(name, make, plain):
        def write(worker, obj):
            value = make(worker.unique())
            reading = isinstance(value, float) and worker.rng.random() < 0.3
            try:
                setattr(obj, name, Floaty(value, lambda: snapshot(obj)) if reading else value)
            except RuntimeError as e:
                if reading and str(e) == READ_REFUSED:
                    raise Refused from e
                raise
            return plain(value)

        return write

    return {name: setter(name, make, plain) for name, (make, plain) in fields.items()}


def fields_target(make, fields, snapshot, calls):
    def check(shared, initial, workers):
        check_fields(fields, snapshot, shared, initial, workers)

    return Target(make, field_writes(fields, snapshot), snapshot, calls, check)


FLOAT = (float, float)
VEC = (vector, vec_tuple)
V, W = Vec3d(0.5, -1.0, 2.0), Vec3d(1.0, 1.0, 0.0)


TARGETS = {
    Vec3d: fields_target(
        lambda: Vec3d(1, 2, 3),
        {"x": FLOAT, "y": FLOAT, "z": FLOAT},
        lambda v: dict(zip("xyz", parse("Vec3d({}, {}, {})", repr(v)))),
        [(Kind.read, lambda a, b: a.to_array()), (Kind.read, lambda a, b: list(a)), (Kind.read, lambda a, b: a[2]),
         (Kind.read, lambda a, b: hash(a)), (Kind.read, lambda a, b: a.dot(b)), (Kind.read, lambda a, b: a.cross(b)),
         (Kind.read, lambda a, b: a.angle_to(b)), (Kind.read, lambda a, b: a.normalize()),
         (Kind.read, lambda a, b: a.scalar_triple_product(b, a)), (Kind.read, lambda a, b: a.distance_to_line(a, b)),
         (Kind.read, lambda a, b: a.project_onto_line(b, a)), (Kind.read, lambda a, b: Vec3d.new_from_to(a, b)),
         (Kind.read, lambda a, b: a.to_quat()), (Kind.read, lambda a, b: -a), (Kind.binop, lambda a, b: a + b),
         (Kind.binop, lambda a, b: a - b), (Kind.binop, lambda a, b: a * 2.0), (Kind.binop, lambda a, b: 2.0 * a),
         (Kind.binop, lambda a, b: a / 2.0), (Kind.eq, lambda a, b: a == b), (Kind.eq, lambda a, b: a != b),
         (Kind.order, lambda a, b: a < b)],
    ),  # fmt: skip
    Quat: fields_target(
        lambda: Quat(1, 0, 0, 0),
        {"w": FLOAT, "i": FLOAT, "j": FLOAT, "k": FLOAT},
        lambda q: dict(zip("wijk", parse("Quat({}, {}, {}, {})", repr(q)))),
        [(Kind.read, lambda a, b: a.rotate(V)), (Kind.read, lambda a, b: a.to_axis_angle()),
         (Kind.read, lambda a, b: a.to_rotation_matrix()), (Kind.read, lambda a, b: a.to_vec3d()),
         (Kind.read, lambda a, b: a.conjugate()), (Kind.read, lambda a, b: a.normalize()),
         (Kind.read, lambda a, b: a.magnitude()), (Kind.read, lambda a, b: a.is_unit()),
         (Kind.read, lambda a, b: a.inverse()), (Kind.read, lambda a, b: a.slerp(b, 0.25)),
         (Kind.binop, lambda a, b: a * b), (Kind.eq, lambda a, b: a == b), (Kind.eq, lambda a, b: a != b)],
    ),  # fmt: skip
    AngleRadians: fields_target(
        lambda: AngleRadians(1.0),
        {"angle": FLOAT},
        lambda a: {"angle": parse("{} radians", repr(a))[0]},
        [(Kind.read, lambda a, b: a.sin()), (Kind.read, lambda a, b: a.tan()), (Kind.read, lambda a, b: a.cot()),
         (Kind.read, lambda a, b: a.to_degrees()), (Kind.read, lambda a, b: -a),
         (Kind.read, lambda a, b: Quat.from_axis_angle(V, a)), (Kind.binop, lambda a, b: a + b),
         (Kind.binop, lambda a, b: a - b), (Kind.binop, lambda a, b: a * 3.0), (Kind.binop, lambda a, b: a / 3.0),
         (Kind.order, lambda a, b: a < b), (Kind.order, lambda a, b: a >= b), (Kind.eq, lambda a, b: a == b),
         (Kind.eq, lambda a, b: a != b)],
    ),  # fmt: skip
    AngleDegrees: fields_target(
        lambda: AngleDegrees(90.0),
        {"angle": FLOAT},
        lambda a: {"angle": parse("{}\u00b0", repr(a))[0]},
        [(Kind.read, lambda a, b: a.to_radians()), (Kind.read, lambda a, b: -a), (Kind.order, lambda a, b: a > b),
         (Kind.order, lambda a, b: a <= b), (Kind.eq, lambda a, b: a == b)],
    ),  # fmt: skip
    Plane: fields_target(
        lambda: Plane(Vec3d(0, 0, 1), 1.0),
        {"normal": VEC, "distance": FLOAT},
        lambda p: {"normal": vec_tuple(p.normal), "distance": p.distance},
        [(Kind.read, lambda a, b: a.contains_point(V)), (Kind.read, lambda a, b: a.distance_to_point(W)),
         (Kind.read, lambda a, b: plane_line(a, V, W)), (Kind.read, lambda a, b: hash(a)),
         (Kind.eq, lambda a, b: a == b)],
    ),  # fmt: skip
    Circle: fields_target(
        lambda: Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1)),
        {"center": VEC, "radius": FLOAT, "normal": VEC},
        lambda c: {"center": vec_tuple(c.center), "radius": c.radius, "normal": vec_tuple(c.normal)},
        [(Kind.read, lambda a, b: a.area), (Kind.read, lambda a, b: a.get_plane()),
         (Kind.read, lambda a, b: a.in_same_plane(b)),
         (Kind.read, lambda a, b: a.is_degenerate()), (Kind.read, lambda a, b: circle_point(a, V, True)),
         (Kind.read, lambda a, b: circle_point_unchecked(b, W, False)), (Kind.eq, lambda a, b: a == b),
         (Kind.eq, lambda a, b: a != b), (Kind.read, lambda a, b: outcome_of(circle_circle, a, b))],
    ),  # fmt: skip
}


def outcome_of(f, *args):
    """A call whose ValueError is a computed answer, not a refusal."""
    try:
        return f(*args)
    except ValueError as e:
        return str(e)


# ---------------------------------------------------------------- lists and iterators

# Long enough that every bulk call, even the cheapest loop, is handed to the
# worker pool.
LIST_LENGTH = 33000
IDENTITY = Quat(1, 0, 0, 0)  # rotates every element onto itself exactly


def elements(n):
    """Distinct elements, none with a zero component (a rotation may turn
    -0 into 0), numbered from 1 by their x."""
    return [vector(float(i)) for i in range(1, n + 1)]


def list_snapshot(v):
    """The elements under one hold, as their text; kept as (count, digest)."""
    text = repr(v)
    return {"prefix": (text.count("\n") + 1 if text != "[]" else 0, hash(text))}


def appended(values):
    def write(worker, v):
        ks = [worker.unique() for _ in range(values)]
        if values == 1:
            v.append(vector(ks[0]))
        else:
            v.extend(VecList([vector(k) for k in ks]))
        return ks

    return write


def rotated(worker, v):
    v.rotate(IDENTITY)


def check_lists(shared, initial, workers):
    for index, v in enumerate(shared):
        final = [e[0] for e in v.to_array()]
        lines = repr(v)[1:-1].split("\n")
        start = initial[index]["prefix"][0]
        assert final[:start] == [float(i) for i in range(1, start + 1)], "the first elements changed"
        # Nothing lost or doubled, and each thread's elements in its order.
        for w in workers:
            mine = [k for ks in w.written.get((index, "append"), []) + w.written.get((index, "extend"), []) for k in ks]
            order = [x for x in final[start:] if int(x) // 10**8 == w.n + 1]
            assert sorted(order) == sorted(mine) and order == sorted(order), f"thread {w.n}'s elements"
        written = [ks for w in workers for (i, _), kss in w.written.items() if i == index for ks in kss]
        assert len(final) == start + sum(map(len, written))
        # Every snapshot, and every bulk result, was the list as it stood at
        # some moment: the first elements of what it ended as.
        for n, digest in {s[2] for w in workers for s in w.seen if s[0] == index}:
            assert n <= len(final) and hash("[" + "\n".join(lines[:n]) + "]") == digest, f"a torn read of {n}"
        v.append(Vec3d(0, 0, 0))
        assert len(v) == len(final) + 1


def check_iterators(shared, initial, workers):
    for index, it in enumerate(shared):
        got = [w.written.get((index, "next"), []) for w in workers]
        # Each element handed out once, in order within each thread, and
        # none skipped: the next one follows the last handed out.
        for g in got:
            assert g == sorted(g) and len(set(g)) == len(g)
        every = sorted(x for g in got for x in g)
        assert every == [float(i) for i in range(1, len(every) + 1)], "an element was lost or handed out twice"
        rest = next(it, None)
        if len(every) < LIST_LENGTH:
            assert rest.x == len(every) + 1
        else:
            assert rest is None


def step(worker, it):
    v = next(it, None)
    return None if v is None else v.x


TARGETS[VecList] = Target(
    lambda: VecList(elements(LIST_LENGTH)),
    {"append": appended(1), "extend": appended(2), "rotate": rotated},
    list_snapshot,
    [(Kind.read, lambda a, b: len(a)), (Kind.read, lambda a, b: a[0]), (Kind.read, lambda a, b: a.dot(V)),
     (Kind.read, lambda a, b: a.cross(W)), (Kind.read, lambda a, b: a.magnitude()),
     (Kind.read, lambda a, b: a.normalize()), (Kind.read, lambda a, b: a.is_unit()),
     (Kind.read, lambda a, b: a.collapse(1)), (Kind.read, lambda a, b: a.distance_to(V)),
     (Kind.read, lambda a, b: a.distance_squared(W)), (Kind.read, lambda a, b: a.minimum_distance_to(V, 7)),
     (Kind.read, lambda a, b: a.take(range(0, 3, 2))), (Kind.read, lambda a, b: a.take([1, 0])),
     (Kind.read, lambda a, b: a.sum()), (Kind.read, lambda a, b: a.mean()), (Kind.read, lambda a, b: a.bounds()),
     (Kind.binop, lambda a, b: a + V),
     (Kind.binop, lambda a, b: list_snapshot(a * 1.0)), (Kind.binop, lambda a, b: list_snapshot(1.0 * a)),
     (Kind.binop, lambda a, b: a / 2.0), (Kind.binop, lambda a, b: a - W),
     (Kind.read, lambda a, b: [next(it) for it in [iter(a)] for _ in range(2)]),  # dropped half-way
     (Kind.read, lambda a, b: list_snapshot(VecList(a)))],
    check_lists,
)  # fmt: skip
VecListIterator = type(iter(VecList.empty()))
TARGETS[VecListIterator] = Target(
    lambda: iter(VecList(elements(LIST_LENGTH))),
    {"next": step},
    lambda it: {} if iter(it) is it else pytest.fail("iter() of an iterator is not itself"),
    [(Kind.read, lambda a, b: iter(a))],
    check_iterators,
)


class Worker:
    """One thread: random writes and calls on the shared objects until the
    deadline; keeps what it saw and what it wrote, for the checks."""

    def __init__(self, n, target, objects, start, deadline):
        self.n, self.target, self.objects = n, target, objects
        self.start, self.deadline = start, deadline  # deadline[0], set as they start
        self.rng = random.Random(n)
        self.written = {}  # (object index, write) -> what each write wrote, in order
        self.seen = []  # (object index, part, value)
        self.errors = []
        self.counts = {"write": 0, "write refused": 0, "call": 0, "call refused": 0}
        self.refused = set()  # the kinds of the calls refused
        self.serial = 0

    def unique(self):
        self.serial += 1
        return float((self.n + 1) * 10**8 + self.serial)

    def write(self, index):
        name = self.rng.choice(list(self.target.writes))
        try:
            record = self.target.writes[name](self, self.objects[index])
        except Refused:
            self.counts["write refused"] += 1
            return
        except RuntimeError as e:
            if str(e) != WRITE_REFUSED:
                raise
            self.counts["write refused"] += 1
            return
        self.counts["write"] += 1
        if record is not None:
            self.written.setdefault((index, name), []).append(record)

    def call(self, index):
        a, b = self.objects[index], self.objects[self.rng.randrange(len(self.objects))]
        if self.rng.random() < 0.3:
            kind, f = Kind.read, lambda a, b: self.target.snapshot(a)
        else:
            kind, f = self.rng.choice(self.target.calls)
        try:
            result = f(a, b)
        except ALLOWED[kind][0] as e:
            if not re.search(ALLOWED[kind][1], str(e)):
                raise
            self.counts["call refused"] += 1
            self.refused.add(kind)
            return
        self.counts["call"] += 1
        if kind == Kind.eq:
            assert type(result) is bool
        if isinstance(result, dict):
            self.seen.extend((index, name, value) for name, value in result.items())

    def run(self):
        try:
            self.start.wait()
            # However late a busy machine runs this thread, it works a while.
            for _ in range(MIN_STEPS):
                index = self.rng.randrange(len(self.objects))
                (self.write if self.rng.random() < 0.35 else self.call)(index)
            while time.monotonic() < self.deadline[0]:
                index = self.rng.randrange(len(self.objects))
                (self.write if self.rng.random() < 0.35 else self.call)(index)
        except BaseException as e:
            self.errors.append(e)


def stress(target, objects=3, threads=THREADS, seconds=SECONDS):
    shared = [target.make() for _ in range(objects)]
    initial = [target.snapshot(obj) for obj in shared]
    # The time runs from when every thread has started, not from before:
    # starting them may take longer than `seconds` on a busy machine.
    deadline = [math.inf]
    start = threading.Barrier(threads, action=lambda: deadline.__setitem__(0, time.monotonic() + seconds))
    workers = [Worker(n, target, shared, start, deadline) for n in range(threads)]
    running = [threading.Thread(target=w.run) for w in workers]
    for t in running:
        t.start()
    for t in running:
        t.join(timeout=seconds + 60)
    assert not any(t.is_alive() for t in running), "a thread did not finish: deadlock"
    errors = [e for w in workers for e in w.errors]
    assert not errors, f"{len(errors)} unexpected errors, the first: {errors[0]!r}"
    return shared, initial, workers


def counted(workers):
    return {k: sum(w.counts[k] for w in workers) for k in workers[0].counts}


def check_fields(fields, snapshot, shared, initial, workers):
    seen = {}
    for index, name, value in (s for w in workers for s in w.seen):
        seen.setdefault((index, name), set()).add(value)
    for index, obj in enumerate(shared):
        final = snapshot(obj)
        for name in fields:
            writes = [w.written.get((index, name), []) for w in workers]
            every = {v for ws in writes for v in ws} | {initial[index][name]}
            # No torn or refused value was ever seen.
            strange = seen.get((index, name), set()) - every
            assert not strange, f"{name} read {strange.pop()!r}, which no thread wrote"
            # Nothing lost: the final value is the last write of some thread.
            lasts = {ws[-1] for ws in writes if ws} or {initial[index][name]}
            assert final[name] in lasts, f"{name} ended as {final[name]!r}"
    # Afterwards every object is free: each setter works, even with a value
    # whose conversion reads the object, and the new value is read back.
    for obj in shared:
        for name, (make, plain) in fields.items():
            value = make(-7.0)
            setattr(obj, name, Floaty(value, lambda: snapshot(obj)) if isinstance(value, float) else value)
            assert snapshot(obj)[name] == plain(value)


@pytest.mark.parametrize("cls", list(TARGETS), ids=lambda c: c.__name__)
def test_threads_share_objects_of_every_class(cls):
    target = TARGETS[cls]
    shared, initial, workers = stress(target)
    counts = counted(workers)
    assert counts["write"] > 0 and counts["call"] > 0, counts
    target.check(shared, initial, workers)


def test_refusals_happen_and_are_counted():
    """The harness meets real contention, so its checks are not vacuous: on
    one shared object some writes and some calls are refused. Under the GIL
    the threads meet only a list's holds, while its bulk calls wait for the
    pool: there its writes are refused (reads are refused only during a
    rotation, which the readers seldom let in; test_bulk makes sure of
    those), and a vector's calls and writes run whole between two switches."""
    if GIL:
        workers = stress(TARGETS[Vec3d], objects=1)[2]
        refused = set().union(*(w.refused for w in workers))
        # Only its comparisons by order fail, as they always do.
        assert counted(workers)["write refused"] == 0 and refused <= {Kind.order}, refused
    target = TARGETS[VecList if GIL else Vec3d]
    wanted = ["write refused"] if GIL else ["write refused", "call refused"]
    deadline = time.monotonic() + HANG
    while True:
        counts = counted(stress(target, objects=1, seconds=min(SECONDS, 0.2))[2])
        if all(counts[w] for w in wanted) or time.monotonic() > deadline:
            break
    assert all(counts[w] > 0 for w in wanted), counts
