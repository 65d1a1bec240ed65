"""The borders with the rest of Python: the list's buffer export, lists made
from any buffer of doubles, results written into a caller's buffer, and
pickling and copying of every class."""

import array
import copy
import ctypes
import dataclasses
import gc
import inspect
import math
import multiprocessing
import pickle
import queue
import re
import struct
import subprocess
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import lumora
from lumora import AngleDegrees, AngleRadians, Quat, Vec3d, VecList
from lumora.geometry import Circle, Plane
from support import GUARD_ERRORS, HAND_OFF, bits, from_bits, hammer

# A quiet NaN with a payload, a negative one, -0.0, subnormals, the extremes.
ODD = [from_bits(0x7FF8_0000_DEAD_BEEF), from_bits(0xFFF8_0000_0000_0001), -0.0, 5e-324, -2.2250738585072e-308,
       math.inf, -math.inf, 1.7976931348623157e308, 0.1]  # fmt: skip


def odd_points(n):
    values = [ODD[i % len(ODD)] for i in range(3 * n)]
    return [Vec3d(*values[3 * i : 3 * i + 3]) for i in range(n)]


def raw(vl):
    """The elements' bytes, read through the Part's own members."""
    return b"".join(bits(c) for p in vl for c in (p.x, p.y, p.z))


def guard_refuses(vl, text="Already borrowed"):
    for change in (lambda: vl.append(Vec3d(1, 2, 3)), lambda: vl.extend(VecList.empty()),
                   lambda: vl.rotate(Quat(1, 0, 0, 0))):  # fmt: skip
        with pytest.raises(RuntimeError, match=f"^{text}$"):
            change()


def writable(vl):
    vl.append(Vec3d(0, 0, 0))
    vl.extend(VecList.empty())


# ---------------------------------------------------------------- export


@pytest.mark.parametrize("n", [0, 1, 5])
def test_export_is_the_elements_read_only(n):
    vl = VecList(odd_points(n))
    m = memoryview(vl)
    assert (m.format, m.itemsize, m.ndim, m.shape, m.strides) == ("d", 8, 2, (n, 3), (24, 8))
    assert m.readonly and m.c_contiguous and m.nbytes == 24 * n
    assert m.tobytes() == bytes(vl) == raw(vl)
    a = np.asarray(vl)
    assert a.shape == (n, 3) and a.dtype == np.float64 and not a.flags.writeable
    assert np.shares_memory(np.asarray(vl), np.asarray(vl)) or n == 0
    assert a.tobytes() == raw(vl)
    with pytest.raises(ValueError):
        a[0:1] = 1.0
    del a
    m.release()
    writable(vl)


def test_views_hold_the_list_shared_until_released():
    vl = VecList(odd_points(4))
    before = raw(vl)
    m, a = memoryview(vl), np.asarray(vl)
    guard_refuses(vl)
    # Every read works meanwhile.
    assert raw(vl) == before and len(vl) == 4 and vl.to_array()[1][0] == vl[1].x
    assert len(vl.dot(Vec3d(1, 0, 0))) == 4 and repr(vl) and vl.minimum_distance_to(Vec3d(0, 0, 0), 1)
    assert bytes(memoryview(vl)) == before and raw(pickle.loads(pickle.dumps(vl))) == before
    m.release()
    guard_refuses(vl)  # the array still holds it
    del a
    writable(vl)
    # A view of a view, and numpy's views of the array, keep the one hold.
    b = np.asarray(vl)[1:, ::2]
    guard_refuses(vl)
    del b
    writable(vl)
    with memoryview(vl) as m:
        guard_refuses(vl)
    writable(vl)


def test_refused_requests_leave_no_hold():
    vl = VecList(odd_points(3))
    for flags in (inspect.BufferFlags.WRITABLE, inspect.BufferFlags.FULL, inspect.BufferFlags.F_CONTIGUOUS):
        with pytest.raises(BufferError):
            vl.__buffer__(flags)
        writable(vl)
    with pytest.raises(TypeError):
        ctypes.c_char.from_buffer(vl)  # asks for a writable buffer
    writable(vl)
    # A single row is both C- and Fortran-contiguous; plain bytes ask no shape.
    with VecList([Vec3d(1, 2, 3)]).__buffer__(inspect.BufferFlags.F_CONTIGUOUS | inspect.BufferFlags.FORMAT) as m:
        assert m.tobytes() == raw(VecList([Vec3d(1, 2, 3)]))
    with vl.__buffer__(inspect.BufferFlags.SIMPLE) as m:
        assert (m.format, m.ndim, m.shape) == ("B", 1, (24 * len(vl),)) and m.tobytes() == raw(vl)
    with vl.__buffer__(inspect.BufferFlags.FORMAT) as m:
        assert (m.format, m.ndim, m.shape) == ("d", 1, (3 * len(vl),)) and m.tobytes() == raw(vl)
    writable(vl)


def test_release_by_hand_ends_only_that_view():
    vl = VecList(odd_points(2))
    m = memoryview(vl)
    VecList.__release_buffer__(vl, m)
    writable(vl)
    with pytest.raises(ValueError):
        m[0, 0]
    other = memoryview(VecList.empty())
    with pytest.raises(ValueError):
        VecList.__release_buffer__(vl, other)
    writable(vl)


# ---------------------------------------------------------------- from_buffer


class Exporter:
    """An object whose buffer is whatever it is told to export."""

    def __init__(self, make):
        self.make = make

    def __buffer__(self, flags):
        return self.make()


def sources(a):
    """(name, buffer) of the same (n, 3) points in many layouts."""
    wide = np.zeros((a.shape[0], 7))
    wide[:, 1:6:2] = a
    yield "contiguous", a
    yield "fortran", np.asfortranarray(a)
    yield "strided rows", np.repeat(a, 2, axis=0)[::2]
    yield "strided columns", wide[:, 1:6:2]
    yield "reversed rows", a[::-1].copy()[::-1]
    yield "reversed columns", a[:, ::-1].copy()[:, ::-1]
    yield "flat", a.ravel()
    yield "array.array", array.array("d", a.tobytes())
    yield "memoryview", memoryview(a.tobytes()).cast("d")
    yield "ctypes '<d'", (ctypes.c_double * a.size).from_buffer_copy(a.tobytes())
    yield "exporter", Exporter(lambda: memoryview(a))
    yield "a list", VecList([Vec3d(*p) for p in a.tolist()])


@pytest.mark.parametrize("n", [0, 1, 4, HAND_OFF + 5])
def test_from_buffer_is_bit_exact_in_every_layout(n):
    values = (ODD * (3 * n // len(ODD) + 1))[: 3 * n]
    a = np.array(values, dtype=np.float64).reshape(n, 3)
    want = a.tobytes()
    for i, name in enumerate(name for name, _ in sources(a)):
        src = list(sources(a.copy()))[i][1]
        vl = VecList.from_buffer(src)
        assert bytes(vl) == want and raw(vl) == want, name
        if isinstance(src, np.ndarray):
            src[...] = 0.0  # later changes never reach the list
            assert bytes(vl) == want, name


def test_from_buffer_reads_in_logical_order():
    a = np.arange(12.0).reshape(4, 3)
    assert VecList.from_buffer(a[::-1]).to_array() == a[::-1].tolist()
    assert VecList.from_buffer(a[:, ::-1]).to_array() == a[:, ::-1].tolist()
    assert VecList.from_buffer(np.asfortranarray(a)).to_array() == a.tolist()
    # Rows that all read one row.
    assert VecList.from_buffer(np.lib.stride_tricks.as_strided(a, (3, 3), (0, 8))).to_array() == [[0, 1, 2]] * 3


@pytest.mark.parametrize(
    "src, error",
    [
        ([1.0, 2.0, 3.0], TypeError),
        (None, TypeError),
        (5, TypeError),
        (np.zeros((2, 3), np.float32), TypeError),
        (np.zeros((2, 3), np.int64), TypeError),
        (np.zeros((2, 3), ">f8"), TypeError),
        (b"\0" * 48, TypeError),
        (bytearray(24), TypeError),
        (np.zeros((2, 3), np.complex128), TypeError),
        (np.zeros((2, 2)), ValueError),
        (np.zeros((2, 4)), ValueError),
        (np.zeros((2, 3, 1)), ValueError),
        (np.zeros((1, 2, 3)), ValueError),
        (np.zeros(4), ValueError),
        (np.zeros(12)[::2], ValueError),
        (np.float64(1.0), ValueError),
        (np.zeros(()), ValueError),
    ],
)
def test_from_buffer_refusals_name_the_argument(src, error):
    with pytest.raises(error, match="^argument 'buffer': "):
        VecList.from_buffer(src)


def test_from_buffer_refuses_bad_exporters():
    def raising():
        raise ValueError("exporter failed")

    released = memoryview(np.zeros((2, 3)))
    released.release()
    with pytest.raises(ValueError, match="exporter failed"):
        VecList.from_buffer(Exporter(raising))
    with pytest.raises(TypeError):
        VecList.from_buffer(Exporter(lambda: b"not a memoryview"))
    with pytest.raises(ValueError):
        VecList.from_buffer(Exporter(lambda: released))
    with pytest.raises(TypeError, match="item format 'f'"):
        VecList.from_buffer(Exporter(lambda: memoryview(np.zeros((2, 3), np.float32))))
    with pytest.raises(ValueError, match=r"not shape \(2, 2\)"):
        VecList.from_buffer(Exporter(lambda: memoryview(np.zeros((2, 2)))))
    # A list whose export was refused is not left held.
    vl = VecList(odd_points(2))
    with pytest.raises(TypeError):
        VecList.from_buffer(Exporter(lambda: memoryview(vl).cast("B")))
    writable(vl)


def test_from_buffer_releases_the_source():
    src = bytearray(struct.pack("<6d", *range(6)))
    view = memoryview(src).cast("d")
    assert VecList.from_buffer(view).to_array() == [[0, 1, 2], [3, 4, 5]]
    with pytest.raises(ValueError):
        VecList.from_buffer(memoryview(src).cast("d")[:4])
    with pytest.raises(TypeError):
        VecList.from_buffer(src)
    view.release()
    src.extend(b"\0" * 8)  # resizable again: every export was released


# ---------------------------------------------------------------- out=

METHODS = [("dot", (Vec3d(0.5, -1, 2),), np.float64), ("distance_to", (Vec3d(0.5, -1, 2),), np.float64),
           ("distance_squared", (Vec3d(0.5, -1, 2),), np.float64), ("magnitude", (), np.float64),
           ("is_unit", (), np.bool_)]  # fmt: skip


@pytest.mark.parametrize("name, args, dtype", METHODS)
def test_out_receives_the_results_and_is_returned(name, args, dtype):
    vl = VecList(odd_points(9) + [Vec3d(1, 0, 0), Vec3d(0.6, 0.8, 0)])
    want = getattr(vl, name)(*args)
    out = np.full(len(vl), 7, dtype)
    assert getattr(vl, name)(*args, out=out) is out
    assert out.tolist() == want or [bits(x) for x in out.tolist()] == [bits(x) for x in want]
    assert getattr(vl, name)(*args, out=None) == want or name != "is_unit"
    if dtype is np.float64:
        buf = array.array("d", bytes(8 * len(vl)))
        assert getattr(vl, name)(*args, out=buf) is buf and buf.tobytes() == out.tobytes()
        doubles = (ctypes.c_double * len(vl))()  # item format "<d"
        assert getattr(vl, name)(*args, out=doubles) is doubles and bytes(doubles) == out.tobytes()


def test_out_at_an_odd_byte_offset_gets_the_same_bytes():
    # Views at an odd byte offset do not keep their items' alignment; every
    # out= writes them as it writes aligned ones (under the sanitizers, a
    # misaligned store fails the run).
    def shifted(dtype, *shape):
        raw = np.full(math.prod(shape) * np.dtype(dtype).itemsize + 1, 7, np.uint8)
        return raw[1:].view(dtype).reshape(shape)

    vl = VecList(odd_points(9) + [Vec3d(1, 0, 0)])
    n = len(vl)
    for name, args, dtype in METHODS:
        out = shifted(dtype, n)
        assert getattr(vl, name)(*args, out=out) is out
        assert out.tobytes() == np.array(getattr(vl, name)(*args), dtype).tobytes()
    index = lumora.PointIndex(vl)
    queries = VecList(odd_points(5))
    for call, shape in [(lambda **o: index.nearest_each(queries, **o), (5,)),
                        (lambda **o: index.k_nearest_each(queries, 3, **o), (5, 3))]:  # fmt: skip
        positions, distances = shifted(np.int64, *shape), shifted(np.float64, *shape)
        call(indices=positions, distances=distances)
        want = call()
        assert positions.tolist() == want[0]
        assert distances.tobytes() == np.array(want[1], np.float64).tobytes()


@pytest.mark.parametrize("name, args, dtype", METHODS)
def test_out_refusals_write_nothing(name, args, dtype):
    vl = VecList(odd_points(4))
    other = np.float32 if dtype is np.float64 else np.float64
    cases = [
        (np.full(3, 7, dtype), ValueError, "argument 'out': a buffer of 4 items is required, not 3"),
        (np.full(5, 7, dtype), ValueError, "argument 'out': a buffer of 4 items is required, not 5"),
        (np.full(4, 7, other), TypeError, "argument 'out': a buffer of "),
        (np.full(4, 7, np.int8), TypeError, "argument 'out': a buffer of "),
        (np.full((2, 2), 7, dtype), ValueError, r"argument 'out': a one-dimensional contiguous buffer is required, not shape \(2, 2\)"),
        (np.full(8, 7, dtype)[::2], ValueError, "argument 'out': a one-dimensional contiguous buffer is required, not a strided"),
        ([0.0] * 4, TypeError, "argument 'out': "),
    ]  # fmt: skip
    for out, error, text in cases:
        before = bytes(memoryview(np.ascontiguousarray(out))) if isinstance(out, np.ndarray) else list(out)
        with pytest.raises(error, match=f"^{text}"):
            getattr(vl, name)(*args, out=out)
        after = bytes(memoryview(np.ascontiguousarray(out))) if isinstance(out, np.ndarray) else list(out)
        assert after == before
    locked = np.full(4, 7, dtype)
    locked.flags.writeable = False
    with pytest.raises((ValueError, BufferError, TypeError)):
        getattr(vl, name)(*args, out=locked)
    assert (locked == np.full(4, 7, dtype)).all()
    with pytest.raises((BufferError, TypeError)):
        getattr(vl, name)(*args, out=bytes(8 * 4))
    # Binding: `out` is keyword-only and the only keyword added.
    positional = "takes no arguments (1 given)" if not args else "takes 1 positional arguments but 2 were given"
    with pytest.raises(TypeError, match=rf"^VecList\.{name}\(\) {re.escape(positional)}$"):
        getattr(vl, name)(*args, np.full(4, 7, dtype))
    with pytest.raises(TypeError, match=rf"^VecList\.{name}\(\) got an unexpected keyword argument 'output'$"):
        getattr(vl, name)(*args, output=np.full(4, 7, dtype))
    writable(vl)


def test_out_signatures():
    assert VecList.dot.__text_signature__ == "($self, other, *, out=None)"
    assert VecList.magnitude.__text_signature__ == "($self, *, out=None)"
    assert inspect.signature(VecList.is_unit).parameters["out"].kind is inspect.Parameter.KEYWORD_ONLY
    assert VecList.from_buffer.__text_signature__ == "(buffer)"


# ---------------------------------------------------------------- pickling


def samples():
    """One instance of every class, with odd bit patterns in every field."""
    n, p, z = ODD[0], ODD[1], -0.0
    yield Vec3d(n, z, 5e-324)
    yield AngleRadians(p)
    yield AngleDegrees(z)
    yield Quat(n, p, z, -5e-324)
    plane = Plane(Vec3d(0, 0, 1), 1.0)
    plane.normal, plane.distance = Vec3d(n, 2.0, z), p
    yield plane
    circle = Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1))
    circle.center, circle.radius, circle.normal = Vec3d(z, n, 1), -3.0, Vec3d(p, 0, 0)
    yield circle
    yield VecList(odd_points(10))
    yield VecList.empty()


def fingerprint(obj):
    if isinstance(obj, VecList):
        return ("VecList", raw(obj))
    fields = {Vec3d: "x y z", AngleRadians: "angle", AngleDegrees: "angle", Quat: "w i j k",
              Plane: "normal distance", Circle: "center radius normal"}[type(obj)]  # fmt: skip
    return (type(obj).__name__, [fingerprint(v) if isinstance(v, Vec3d) else bits(v)
                                 for v in (getattr(obj, f) for f in fields.split())])  # fmt: skip


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_every_class_round_trips_bit_exact(protocol):
    for obj in samples():
        back = pickle.loads(pickle.dumps(obj, protocol=protocol))
        assert type(back) is type(obj) and back is not obj
        assert fingerprint(back) == fingerprint(obj)


def test_copies_are_bit_exact_and_independent():
    for obj in samples():
        for make in (copy.copy, copy.deepcopy):
            twin = make(obj)
            assert type(twin) is type(obj) and twin is not obj and fingerprint(twin) == fingerprint(obj)
    vl = VecList(odd_points(3))
    twin = copy.copy(vl)
    twin.append(Vec3d(1, 2, 3))
    assert len(vl) == 3

    @dataclasses.dataclass
    class Pose:
        at: Vec3d
        turn: Quat
        path: VecList

    pose = Pose(Vec3d(1, 2, 3), Quat(0.5, 0.5, 0.5, 0.5), VecList(odd_points(2)))
    deep = copy.deepcopy(pose)
    assert deep.at is not pose.at and deep.turn == pose.turn and raw(deep.path) == raw(pose.path)
    assert dataclasses.asdict(pose)["turn"] == pose.turn


def test_reduce_names_a_private_reconstructor():
    fn, args = Vec3d(1, 2, 3).__reduce__()
    assert fn is lumora._restore and fn.__module__ == "lumora" and "_restore" not in lumora.__all__
    assert args == ("Vec3d", struct.pack("<3d", 1, 2, 3))
    assert VecList([Vec3d(1, 2, 3)]).__reduce_ex__(4)[1] == ("VecList", struct.pack("<3d", 1, 2, 3))
    with pytest.raises(TypeError, match=r"^argument 'protocol': "):
        VecList.empty().__reduce_ex__("5")


def test_protocol_5_hands_the_block_out_of_band():
    vl = VecList(odd_points(1000))
    buffers = []
    data = pickle.dumps(vl, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 1 and buffers[0].raw().nbytes == 24 * 1000 and len(data) < 200
    assert np.shares_memory(np.asarray(buffers[0].raw()), np.asarray(vl))  # no copy
    guard_refuses(vl)  # the buffer lends the list, which stays as it is
    back = pickle.loads(data, buffers=buffers)
    assert raw(back) == raw(vl)
    back_from_bytes = pickle.loads(data, buffers=[bytes(buffers[0].raw())])
    assert raw(back_from_bytes) == raw(vl)
    buffers[0].release()
    writable(vl)
    # In band, protocol 5 writes the block as bytes and keeps no hold.
    assert raw(pickle.loads(pickle.dumps(vl, protocol=5))) == raw(vl)
    writable(vl)


@pytest.mark.parametrize(
    "args, error",
    [
        ((), TypeError),
        (("Vec3d",), TypeError),
        (("Vec3d", b"\0" * 24, 1), TypeError),
        ((b"Vec3d", b"\0" * 24), TypeError),
        ((None, b"\0" * 24), TypeError),
        (("Vec3d", 24), TypeError),
        (("Vec3d", [0.0] * 3), TypeError),
        (("Vec3d", b"\0" * 23), ValueError),
        (("Vec3d", b"\0" * 25), ValueError),
        (("Quat", b"\0" * 24), ValueError),
        (("AngleRadians", b""), ValueError),
        (("Circle", b"\0" * 48), ValueError),
        (("VecList", b"\0" * 25), ValueError),
        (("VecList", b"\0" * 8), ValueError),
        (("VecListIterator", b""), ValueError),
        (("vec3d", b"\0" * 24), ValueError),
        (("", b""), ValueError),
        (("Vec3d\0", b"\0" * 24), ValueError),
    ],
)
def test_reconstructor_refuses_junk(args, error):
    with pytest.raises(error):
        lumora._restore(*args)


def test_reconstructor_takes_any_contiguous_buffer():
    block = struct.pack("<6d", 1, 2, 3, 4, 5, 6)
    for data in (block, bytearray(block), memoryview(block), np.frombuffer(block), array.array("d", block)):
        assert lumora._restore("VecList", data).to_array() == [[1, 2, 3], [4, 5, 6]]
    assert lumora._restore(name="Vec3d", data=block[:24]) == Vec3d(1, 2, 3)
    with pytest.raises((BufferError, ValueError)):  # the exporter's refusal
        lumora._restore("VecList", np.frombuffer(block * 2)[::2])


def test_iterators_refuse_pickling():
    it = iter(VecList(odd_points(2)))
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError, match="^cannot pickle 'VecListIterator' object$"):
            pickle.dumps(it, protocol=protocol)
    with pytest.raises(TypeError):
        copy.copy(it)


# Loads a pickle and pickles what it got again: the same bytes back mean
# the same bits.
RELOAD = "import pickle, sys; sys.stdout.buffer.write(pickle.dumps(pickle.loads(sys.stdin.buffer.read()), 4))"


def test_a_pickle_loads_in_another_process():
    data = pickle.dumps(list(samples()), protocol=4)
    got = subprocess.run([sys.executable, "-c", RELOAD], input=data, capture_output=True, check=True)
    assert got.stdout == data


def rotated(job):
    points, q = job
    points.rotate(q)
    return points, q.normalize(), points.magnitude()


def test_process_pool_gives_the_same_bits():
    jobs = [(VecList(odd_points(n)), Quat(0.5 + n, -0.5, 0.25, 1.0)) for n in (0, 1, 50, 333)]
    want = [rotated(copy.deepcopy(job)) for job in jobs]
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as ex:
        got = list(ex.map(rotated, jobs))
    for (gv, gq, gm), (wv, wq, wm) in zip(got, want):
        assert raw(gv) == raw(wv) and fingerprint(gq) == fingerprint(wq)
        assert [bits(x) for x in gm] == [bits(x) for x in wm]



# ---------------------------------------------------------------- threads


def test_views_made_and_dropped_in_threads():
    """Views made in several threads, some released in another thread, while
    others read and one appends: only the guard's refusals, every view shows
    the elements whole, and no hold is left behind."""
    n = HAND_OFF + 1
    vl = VecList([Vec3d(i, 2 * i, 3 * i) for i in range(n)])
    handed = queue.SimpleQueue()
    appended = [0]

    def look(view):
        rows = np.asarray(view)
        assert rows.shape[0] >= n and (rows[:n, 1] == 2 * rows[:n, 0]).all() and rows[n - 1, 0] == n - 1

    def viewer():
        with memoryview(vl) as m:
            look(m)
        time.sleep(0.0005)

    def lender():  # its views are released by the releaser, in another thread
        handed.put(np.asarray(memoryview(vl)))
        time.sleep(0.0005)

    def releaser():
        try:
            look(handed.get(timeout=0.01))
        except queue.Empty:
            pass

    def reader():
        assert vl.dot(Vec3d(1, 0, 0))[n - 1] == n - 1 and vl[n - 1].z == 3 * (n - 1)

    def appender():
        vl.append(Vec3d(-1, -2, -3))
        appended[0] += 1

    seen = hammer(1.0, viewer, viewer, lender, releaser, reader, appender, want=["Already borrowed"])
    assert set(seen) <= GUARD_ERRORS
    while not handed.empty():
        handed.get()
    gc.collect()
    vl.append(Vec3d(-1, -2, -3))  # free again
    assert len(vl) == n + appended[0] + 1
