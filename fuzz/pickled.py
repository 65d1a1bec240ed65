"""The pickled states of every class, through the module's reconstructor in
an embedded interpreter (see buffer.py for why the module rather than the
toolkit's functions).

An input names a class (or anything else) and gives the state: bytes, a
bytearray, a buffer of any description, or an argument tuple of any shape
and any objects. The reconstructor must make the object exactly when the
state is one (one value's bytes, or a whole number of vectors), and that
object must be whole: its state pickles back to the very same bytes, at
every protocol, and it works. Anything else is a clean exception.
"""

import pickle

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


def check_whole(name, obj, raw, protocol):
    assert type(obj).__name__ == name, (name, type(obj))
    fn, (again, back) = obj.__reduce__()
    assert fn is lumora._restore and again == name and back == raw, (name, raw, back)
    copy = pickle.loads(pickle.dumps(obj, protocol=protocol))
    assert copy.__reduce__()[1][1] == raw, (name, protocol)
    repr(obj)
    if name in BLOCKS:
        assert len(obj) == len(raw) // 24
    if name == "PointIndex" and raw:
        near = obj.k_nearest(V(0, 0, 0), len(obj))
        assert sorted(i for i, _ in near) == list(range(len(obj))), near


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
    fits = (
        raw is not None
        and isinstance(name, str)
        and name in SIZES
        and (len(raw) % 24 == 0 if SIZES[name] is None else len(raw) == SIZES[name])
    )
    assert (obj is not None) == fits, (name, args, kwargs, obj)
    if obj is not None:
        check_whole(name, obj, bytes(raw), r.byte() % (pickle.HIGHEST_PROTOCOL + 1))
