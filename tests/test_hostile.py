"""Hostile input. Every public callable of the module, found by walking the
module and its classes (so a new member is covered without editing this
file), is called with arbitrary arguments: wrong types, None, huge and
negative ints, NaN and the infinities, and objects whose conversions raise,
lie or touch the receiver while it is held. Only the boundary's exception
classes may come out, and a call that fails changes no object. After every
call each object involved is free again."""

import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from lumora import Vec3d
from walk import KEYWORD_ONLY, MEMBERS, ON_INSTANCE, SAMPLES, classes, invoke, member_id, state, write_back

EXAMPLES = int(os.environ.get("LUMORA_HOSTILE_EXAMPLES", "25"))
# BufferError: a buffer request the exporter refuses (a writable view of a
# list, a read-only `out`).
ALLOWED = (TypeError, OverflowError, ValueError, IndexError, RuntimeError, AttributeError, BufferError)
GUARD_TEXTS = {"Already borrowed", "Already mutably borrowed"}

# ---------------------------------------------------------------- hostile values


class Context:
    """The receiver of one call, and what the touching objects met."""

    def __init__(self, receiver):
        self.receiver = receiver
        self.inner = []  # (action, exception or None)

    def touch(self, action):
        target = self.receiver
        if target is None:
            return
        try:
            if action == "read":
                state(target)
            else:  # success changes nothing visible
                write_back(target)
            self.inner.append((action, None))
        except RuntimeError as e:
            self.inner.append((action, e))
            raise


class Hostile:
    """An object whose number, length, item and iteration hooks do as told."""

    def __init__(self, ctx, plan):
        self.ctx, self.plan = ctx, plan

    def _do(self, hook, default):
        what = self.plan.get(hook)
        if what is None:
            raise TypeError(f"no {hook}")
        if what in ("read", "write"):
            self.ctx.touch(what)
            return default
        if isinstance(what, BaseException):
            raise what
        return what

    def __float__(self):
        return self._do("float", 1.5)

    def __index__(self):
        return self._do("index", 1)

    def __len__(self):
        return self._do("len", 1)

    def __iter__(self):
        return iter(self._do("iter", [Vec3d(1, 2, 3)]))

    def __getitem__(self, index):
        return self._do("getitem", Vec3d(1, 2, 3))

    def __bool__(self):
        return bool(self._do("bool", True))


HOOK_ANSWERS = st.one_of(
    st.sampled_from(["read", "write", None, "text", -1, 2**64, 10**30, 1.5, [None], [1.0]]),
    st.sampled_from([ValueError("hostile"), TypeError("hostile"), OverflowError("hostile"), IndexError("hostile")]),
    st.integers(-(2**70), 2**70),
    st.floats(),
)
PLANS = st.dictionaries(st.sampled_from(["float", "index", "len", "iter", "getitem", "bool"]), HOOK_ANSWERS, max_size=4)
PLAIN = st.one_of(
    st.sampled_from([None, True, False, "", "x", b"", (), [], {}, (1.0, 2.0, 3.0), slice(None), object(), 2**64 - 1,
                     2**64, -(2**63), math.nan, -math.nan, math.inf, -math.inf, -0.0, 5e-324, 1e308]),
    st.integers(),
    st.floats(),
    st.lists(st.floats(), max_size=3),
)  # fmt: skip


class Exporter:
    """An object whose buffer export does as told."""

    def __init__(self, ctx, how):
        self.ctx, self.how = ctx, how

    def __buffer__(self, flags):
        if self.how == "raises":
            raise ValueError("hostile export")
        if self.how == "not a view":
            return b"\0" * 48
        if self.how == "released":
            m = memoryview(bytearray(48)).cast("d")
            m.release()
            return m
        if self.how == "receiver":  # a view of the receiver, if it has one
            return memoryview(self.ctx.receiver)
        return memoryview(bytearray(48)).cast("d", (2, 3))  # writable doubles, shaped like two points


# Buffers of every kind the buffer parameters meet: the right items in the
# right shape (the samples' lists hold two points), and each way of being wrong.
BUFFERS = {
    "points": lambda: np.zeros((2, 3)),
    "flat points": lambda: np.zeros(6),
    "doubles": lambda: np.zeros(2),
    "bools": lambda: np.zeros(2, bool),
    "floats": lambda: np.zeros(2, np.float32),
    "read-only": lambda: np.frombuffer(bytes(16)),
    "strided": lambda: np.zeros(4)[::2],
    "bytearray": lambda: bytearray(48),
}
EXPORTS = ["raises", "not a view", "released", "receiver", "plain"]

# A recipe for one argument, made into an object once the receiver is known.
RECIPES = st.one_of(
    st.sampled_from(sorted(BUFFERS)).map(lambda b: ("buffer", b)),
    st.sampled_from(EXPORTS).map(lambda how: ("exporter", how)),
    PLAIN.map(lambda v: ("plain", v)),
    st.sampled_from(sorted(SAMPLES, key=lambda c: c.__name__)).map(lambda c: ("sample", c)),
    st.just(("receiver", None)),
    PLANS.map(lambda p: ("hostile", p)),
    st.sampled_from(["read", "write"]).map(lambda action: ("touching", action)),
    st.lists(st.sampled_from(sorted(SAMPLES, key=lambda c: c.__name__)), max_size=3).map(lambda cs: ("list", cs)),
)


def make(recipe, ctx, made):
    kind, data = recipe
    if kind == "plain":
        return data
    if kind == "sample":
        obj = SAMPLES[data]()
        made.append(obj)
        return obj
    if kind == "receiver":
        return ctx.receiver
    if kind == "hostile":
        return Hostile(ctx, data)
    if kind == "buffer":
        return BUFFERS[data]()
    if kind == "exporter":
        return Exporter(ctx, data)
    if kind == "touching":  # every hook touches the receiver
        return Hostile(ctx, dict.fromkeys(["float", "index", "len", "iter", "getitem", "bool"], data))
    return [make(("sample", c), ctx, made) for c in data]


CALLS = st.tuples(
    st.lists(RECIPES, max_size=4),
    st.sampled_from(["exact", "exact", "exact", "drawn"]),
    st.lists(st.tuples(st.sampled_from(["x", "value", "other", "index", "bogus", *KEYWORD_ONLY]), RECIPES),
             max_size=2),
)


# ---------------------------------------------------------------- the test

def test_every_class_has_a_sample():
    assert set(classes()) <= set(SAMPLES), "a class without a sample receiver here is not tested"
    assert {m[2] for m in MEMBERS} >= {"new", "static", "method", "slot", "get", "set", "delete", "function"}


@pytest.mark.parametrize("member", MEMBERS, ids=member_id)
def test_hostile_arguments(member):
    cls, name, how, params = member
    calls = [0]

    @settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck), database=None)
    @given(CALLS)
    # Always tried: arguments that read, and that write, the receiver while
    # they are converted.
    @example(([("touching", "read")] * 3, "exact", []))
    @example(([("touching", "write")] * 3, "exact", []))
    def run(call):
        recipes, arity, keyword_recipes = call
        receiver = SAMPLES[cls]() if how in ON_INSTANCE else None
        ctx = Context(receiver)
        made = []
        n = len(params) if params is not None else len(recipes)
        if arity == "exact":
            recipes = (recipes + [("plain", 1.0)] * n)[:n]
        args = [make(r, ctx, made) for r in recipes]
        kwargs = {} if arity == "exact" else {k: make(r, ctx, made) for k, r in keyword_recipes}
        involved = [o for o in [receiver, *made] if o is not None]
        before = [state(o) for o in involved]
        calls[0] += 1
        try:
            invoke(cls, name, how, receiver, args, kwargs)
        except BaseException as e:
            if not isinstance(e, ALLOWED) or isinstance(e, (KeyboardInterrupt, SystemExit)):
                raise AssertionError(f"{type(e).__module__}.{type(e).__qualname__}: {e}") from e
            assert not isinstance(e, RuntimeError) or str(e) in GUARD_TEXTS, e
            if isinstance(e, RuntimeError):
                # In one thread a hold is refused only to code run inside a
                # conversion (the touching objects' writes), or to the
                # receiver passed to its own call that changes it.
                touched = any(err is not None and action == "write" for action, err in ctx.inner)
                passed = str(e) == "Already mutably borrowed" and any(a is receiver for a in args)
                assert touched or passed, e
            assert [state(o) for o in involved] == before, "a failed call changed an object"
        # Reading the receiver from inside a conversion is always allowed,
        # and a setter holds nothing while it converts its value.
        for action, err in ctx.inner:
            assert err is None or action == "write", f"a conversion could not read the receiver: {err}"
            assert err is None or how != "set", f"the setter held the object while converting: {err}"
            assert err is None or str(err) == "Already borrowed"
        # Every hold was released, whatever the outcome.
        for obj in involved:
            state(obj)
            write_back(obj)

    run()
    print(f"{member_id(member)}: {calls[0]} hostile calls")
    assert calls[0] > 0
