"""The buffer boundary, through the module itself in an embedded interpreter.

Every input describes one or more buffers (format, item size, shape,
strides, offset, writability and bytes) served by a conforming exporter, and
hands them to one consumer: VecList.from_buffer, PointIndex(points),
lumora.cloud.voxel_down_sample, take, compress, an out= of a per-element
method or of a lumora.cloud function (the outlier masks, the normals), or the
index's batch queries and their out= pairs, bounded or not. Each consumer
must accept exactly what its rule accepts, read it exactly as described,
write its results and nothing else, and refuse the rest cleanly without
writing anything.

Why the module and not the toolkit's checking functions with made-up
descriptions: those functions need an interpreter anyway (they raise its
exceptions), and most faults worth finding live after them, where a call
reads positions, masks and rows, and writes results, through the view they
accepted. Only the whole call shows whether what is read and written stays
within the described memory, which the exporter allocates exactly so that
AddressSanitizer sees a byte too far.
"""

import math
import struct

import lumora
from fuzzing import REFUSALS, Described, Reader

V = lumora.Vec3d
INTEGERS = "bBhHiIlLqQnN"
SIGNED = {1: "<b", 2: "<h", 4: "<i", 8: "<q"}
UNSIGNED = {1: "<B", 2: "<H", 4: "<I", 8: "<Q"}


def elements(n):
    return lumora.VecList([V(i + 0.5, -i, 2.0**i) for i in range(n)])


def packed(vectors):
    return bytes(memoryview(vectors))


def attempt(call):
    """The call's result, or None when it refused cleanly."""
    try:
        return call()
    except REFUSALS:
        return None


def same(label, d, got, want):
    assert got == want, f"{label}: {d}: got {got!r}, expected {want!r}"


def rows(r, d):
    """from_buffer, PointIndex and voxel_down_sample read exactly the rows
    described."""
    want = d.rows(3)
    which = r.byte() % 3
    if which == 0:
        got = attempt(lambda: lumora.VecList.from_buffer(d.exporter))
        same("from_buffer", d, None if got is None else packed(got), want)
    elif which == 1:
        index = attempt(lambda: lumora.PointIndex(d.exporter))
        same("PointIndex", d, None if index is None else index.__reduce__()[1][1], want)
    else:
        size = [0.5, 1.0, 7.0, 1e-300][r.byte() % 4]

        def voxels(points):
            means, inverse = lumora.cloud.voxel_down_sample(points, size, return_inverse=True)
            return packed(means), inverse

        got = attempt(lambda: voxels(d.exporter))
        same("voxel_down_sample", d, got, None if want is None else voxels(memoryview(want).cast("d")))


def take(r, d):
    n = r.byte() % 6
    source = elements(n)
    want = None
    if d.has_code(INTEGERS) and d.itemsize in SIGNED and d.ndim == 1:
        fmt = (SIGNED if d.code().islower() else UNSIGNED)[d.itemsize]
        positions = [d.read(fmt, i) for i in range(d.shape[0])]
        if all(0 <= p < n for p in positions):
            want = b"".join(packed(source)[24 * p : 24 * p + 24] for p in positions)
    got = attempt(lambda: source.take(d.exporter))
    same("take", d, None if got is None else packed(got), want)


def compress(r, d):
    n = r.byte() % 12
    source = elements(n)
    want = None
    if d.code() == "?" and d.itemsize == 1 and d.ndim == 1 and d.shape[0] == n:
        keep = [d.read("<B", i) != 0 for i in range(n)]
        want = b"".join(packed(source)[24 * i : 24 * i + 24] for i in range(n) if keep[i])
    got = attempt(lambda: source.compress(d.exporter))
    same("compress", d, None if got is None else packed(got), want)


def fits(d, codes, itemsize, shape):
    return (
        not d.readonly
        and d.has_code(codes)
        and d.itemsize == itemsize
        and d.ndim == len(shape)
        and d.contiguous()
        and list(d.shape) == list(shape)
    )


def written(d, fmt, values):
    """The exporter's memory after a call that wrote `values` there (items
    of `fmt`, or the vectors of a VecList)."""
    body = packed(values) if isinstance(values, lumora.VecList) else struct.pack(f"<{len(values)}{fmt}", *values)
    return d.memory[: d.offset] + body + d.memory[d.offset + len(body) :]


def out(r, d):
    """The out= of a per-element method or of a cloud function over an index
    of those elements: written exactly where it should be, and nothing
    written where the call's other arguments are refused."""
    n = r.byte() % 8
    source = elements(n)
    index = lumora.PointIndex(source)
    o = V(1.0, -2.0, 0.25)
    k = r.byte() % 6
    cloud = lumora.cloud
    name, call, fmt, shape, valid = [
        ("dot", lambda **kw: source.dot(o, **kw), "d", [n], True),
        ("distance_squared", lambda **kw: source.distance_squared(o, **kw), "d", [n], True),
        ("distance_to", lambda **kw: source.distance_to(o, **kw), "d", [n], True),
        ("magnitude", lambda **kw: source.magnitude(**kw), "d", [n], True),
        ("is_unit", lambda **kw: source.is_unit(**kw), "?", [n], True),
        ("statistical_inliers", lambda **kw: cloud.statistical_inliers(index, k, 0.5, **kw), "?", [n], 0 < k < n),
        ("radius_inliers", lambda **kw: cloud.radius_inliers(index, 2.0, k, **kw), "?", [n], True),
        ("normals", lambda **kw: cloud.normals(index, k, **kw), "d", [n, 3], 3 <= k <= n),
    ][r.byte() % 8]
    want = attempt(call)
    same(name + " arguments", d, want is not None, valid)
    accepted = valid and fits(d, fmt, struct.calcsize(fmt), shape)
    got = attempt(lambda: call(out=d.exporter))
    same(name + "(out=)", d, got is d.exporter, accepted)
    same(name + "(out=) memory", d, d.exporter.memory(), written(d, fmt, want) if accepted else d.memory)


def batches(r, d, e):
    """The index's batch queries: queries from d, or the out= pair (d, e)."""
    n = r.byte() % 100
    index = lumora.PointIndex(elements(n))
    k = r.byte() % 5
    if r.byte() & 1:
        want = d.rows(3)
        got = attempt(lambda: index.k_nearest_each(d.exporter, k))
        if want is not None:
            want = index.k_nearest_each(memoryview(want).cast("d"), k)
        # As text: a NaN query's distances are NaN.
        same("k_nearest_each(queries)", d, repr(got), repr(want))
        return
    m = r.byte() % 4
    queries = elements(m)
    # nearest_each's bound: none, or one that holds some answers, or one
    # refused.
    bound = [None, None, 0.0, 1.5, 40.0, math.inf, -1.0, math.nan][r.byte() % 8]
    if r.byte() & 1:
        shape, call = [m], lambda **kw: index.nearest_each(queries, max_distance=bound, **kw)
        valid = bound >= 0 if bound is not None else n > 0 or m == 0
    else:
        shape, call = [m, min(k, n)], lambda **kw: index.k_nearest_each(queries, k, **kw)
        valid = True
    accepted = valid and fits(d, "ql", 8, shape) and fits(e, "d", 8, shape)
    got = attempt(lambda: call(indices=d.exporter, distances=e.exporter))
    same("batch out= pair", (d, e), got is not None, accepted)
    if accepted:
        positions, distances = call()
        if len(shape) == 1 and bound is not None:
            # The nearest where it is within the bound, else none at inf.
            near = index.nearest_each(queries) if n else ([-1] * m, [math.inf] * m)
            kept = [dist <= bound for dist in near[1]]
            want = (
                [p if w else -1 for p, w in zip(near[0], kept)],
                [x if w else math.inf for x, w in zip(near[1], kept)],
            )
            same("nearest_each(max_distance)", bound, (positions, distances), want)
        if len(shape) == 2:
            positions = [x for row in positions for x in row]
            distances = [x for row in distances for x in row]
        same("indices out=", d, d.exporter.memory(), written(d, "q", positions))
        same("distances out=", e, e.exporter.memory(), written(e, "d", distances))
    else:
        same("refused indices out=", d, d.exporter.memory(), d.memory)
        same("refused distances out=", e, e.exporter.memory(), e.memory)


def one(data):
    r = Reader(data)
    which = r.byte() % 5
    try:
        d = Described(r)
    except ValueError:
        return
    if which == 0:
        rows(r, d)
    elif which == 1:
        take(r, d)
    elif which == 2:
        compress(r, d)
    elif which == 3:
        out(r, d)
    else:
        try:
            e = Described(r)
        except ValueError:
            return
        batches(r, d, e)
