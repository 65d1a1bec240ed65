"""The pickled states of every class, through the module's reconstructor in
an embedded interpreter (see buffer.py for why the module rather than the
toolkit's functions).

An input names a class (or anything else) and gives the state: bytes, a
bytearray, a buffer of any description, or an argument tuple of any shape
and any objects. The reconstructor must make the object exactly when the
state is one (one value's bytes, or a whole number of vectors; for a motion,
and the registration result holding one, a rotation with a direction), and
that object must be whole: its state is the one given (a motion's rotation
normalised as the constructor normalises it), pickles back to the very same
bytes at every protocol, and it works. Anything else is a clean exception.
"""

import math
import pickle
import struct
import sys

import lumora
from fuzzing import REFUSALS, Described, Reader

V = lumora.Vec3d
G = lumora.geometry
SAMPLES = {
    "Vec3d": V(1, 2, 3),
    "AngleRadians": lumora.AngleRadians(0.5),
    "AngleDegrees": lumora.AngleDegrees(30.0),
    "Quat": lumora.Quat(1.0, 0.0, 0.0, 0.0),
    "Plane": G.Plane(V(0, 0, 1), 2.0),
    "Circle": G.Circle(V(1, 2, 3), 2.0, V(0, 0, 1)),
    "VecList": lumora.VecList([V(1, 2, 3)]),
    "PointIndex": lumora.PointIndex(lumora.VecList([V(1, 2, 3)])),
    "RigidTransform": lumora.RigidTransform(lumora.Quat(1.0, 0.0, 0.0, 0.0), V(1, 2, 3)),
    "IcpResult": lumora.cloud.icp(lumora.VecList([V(1, 2, 3)]), lumora.PointIndex(lumora.VecList([V(1, 2, 3)])), 1.0),
}
NAMES = list(SAMPLES)
# One value's bytes; None for the blocks of vectors.
BLOCKS = ("VecList", "PointIndex")
SIZES = {name: None if name in BLOCKS else len(s.__reduce__()[1][1]) for name, s in SAMPLES.items()}
OTHERS = [None, 0, -1, 2**70, 1.5, "", "Vec3d\0", b"", (), [], V(0, 0, 0), "vec3d", object()]


def state(r):
    """The state argument, and its bytes where it has any."""
    kind = r.byte() % 5
    raw = r.chunk(r.byte() * (r.byte() % 8 + 1))
    if kind == 0:
        return raw, raw
    if kind == 1:
        return bytearray(raw), raw
    if kind == 2:
        return memoryview(raw), raw
    if kind == 3:
        # A plain request is met for C-contiguous memory only.
        d = Described(r)
        size = d.itemsize
        for n in d.shape:
            size *= n
        return d.exporter, d.memory[d.offset : d.offset + size] if d.contiguous() else None
    other = OTHERS[r.byte() % len(OTHERS)]
    return other, bytes(other) if isinstance(other, bytes) else None


def motion(raw):
    """The state a motion's bytes make, as the constructor makes a motion of
    their rotation and translation, or None for a rotation without a
    direction: a component not finite, or all of them zero."""
    q, t = struct.unpack("<4d", raw[:32]), raw[32:56]
    if not all(map(math.isfinite, q)) or not any(q):
        return None

    def squared(q):  # summed in the core's order
        return ((q[0] * q[0] + q[1] * q[1]) + q[2] * q[2]) + q[3] * q[3]

    # Kept as it is when unit within the constructor's tolerance.
    if abs(math.sqrt(squared(q)) - 1.0) <= 2**-49:
        return raw[:32] + t
    # A square that underflows or overflows: first scaled by a power of two.
    if not sys.float_info.min <= squared(q) <= sys.float_info.max:
        e = math.frexp(max(map(abs, q)))[1] - 1
        q = [math.ldexp(c, -e) for c in q]
    m = math.sqrt(squared(q))
    return struct.pack("<4d", *(c / m for c in q)) + t


def made(name, raw):
    """The state of the object the reconstructor must make, or None where it
    must refuse."""
    if raw is None or not isinstance(name, str) or name not in SIZES:
        return None
    size = SIZES[name]
    if size is None:
        return raw if len(raw) % 24 == 0 else None
    if len(raw) != size:
        return None
    if name == "RigidTransform":
        return motion(raw)
    if name == "IcpResult":
        # The converged flag is a whole word, 0 or 1.
        kept = motion(raw[:56])
        return kept + raw[56:] if kept is not None and struct.unpack("<Q", raw[80:88])[0] <= 1 else None
    return raw


def check_whole(name, obj, state, protocol):
    assert type(obj).__name__ == name, (name, type(obj))
    fn, (again, back) = obj.__reduce__()
    assert fn is lumora._restore and again == name and back == state, (name, state, back)
    copy = pickle.loads(pickle.dumps(obj, protocol=protocol))
    assert copy.__reduce__()[1][1] == state, (name, protocol)
    repr(obj)
    if name in BLOCKS:
        assert len(obj) == len(state) // 24
    if name == "PointIndex" and state:
        near = obj.k_nearest(V(0, 0, 0), len(obj))
        assert sorted(i for i, _ in near) == list(range(len(obj))), near
    if name == "RigidTransform":
        parts = obj.rotation.__reduce__()[1][1] + obj.translation.__reduce__()[1][1]
        assert parts == state, (state, parts)
        # Unit, as every motion's rotation is: another magnitude would scale
        # what it moves.
        assert abs(obj.rotation.magnitude() - 1.0) <= 2**-49, obj
        for query in (obj.inverse, obj.to_matrix, lambda: obj.apply(V(1, 2, 3))):
            query()
    if name == "IcpResult":
        check_whole("RigidTransform", obj.transform, state[:56], protocol)
        fitness, rmse, iterations, converged = struct.unpack("<2d2Q", state[56:])
        got = (struct.pack("<2d", obj.fitness, obj.rmse), obj.iterations, obj.converged)
        assert got == (struct.pack("<2d", fitness, rmse), iterations, converged == 1), (state, got)


def one(data):
    r = Reader(data)
    pick = r.byte()
    name = NAMES[pick % len(NAMES)] if pick < 0xE0 else OTHERS[pick % len(OTHERS)]
    try:
        arg, raw = state(r)
    except ValueError:
        return
    shape = r.byte()
    args = (name, arg)
    kwargs = {}
    if shape >= 0xF0:
        args = tuple(OTHERS[r.byte() % len(OTHERS)] for _ in range(shape % 4))
        raw = None
    elif shape >= 0xE0:
        args, kwargs = (name,), {"data": arg}
    try:
        obj = lumora._restore(*args, **kwargs)
    except REFUSALS:
        obj = None
    want = made(name, None if raw is None else bytes(raw))
    assert (obj is not None) == (want is not None), (name, args, kwargs, obj)
    if obj is not None:
        check_whole(name, obj, want, r.byte() % (pickle.HIGHEST_PROTOCOL + 1))
