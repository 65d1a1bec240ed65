"""Rigid motions and the point-cloud steps on arbitrary numbers, through the
module in an embedded interpreter (see buffer.py for why):

- RigidTransform.from_matrix on any 4x4 (rows of any floats, in either
  convention): a motion exactly when the matrix is one, and then its
  to_matrix gives back the translation bit for bit and the rotation within
  the tolerance the check allows;
- RigidTransform.align on any pairs and weights: a motion that is a proper
  rotation with a finite residual, or a clean refusal; and the same bits for
  the pairs in reverse order (every sum is exact);
- voxel_down_sample on any points: one mean per occupied voxel, each the
  exact sum of its points rounded once and divided once (fractions), in
  ascending voxel order, and every point's row.
"""

import math
import struct
from fractions import Fraction

import lumora
from fuzzing import REFUSALS, Reader

PALETTE = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 1e-300, 5e-324, 1e300, -1e300, math.inf, -math.inf, math.nan, 3.0, 0.1]


def number(r):
    """A double: from the palette, or raw bits, or a small integer."""
    b = r.byte()
    if b < 0x60:
        return PALETTE[b % len(PALETTE)]
    if b < 0xA0:
        return float((b % 16) - 8)
    return struct.unpack("<d", r.chunk(8).ljust(8, b"\0"))[0]


def points(r, most):
    return [lumora.Vec3d(number(r), number(r), number(r)) for _ in range(r.byte() % most)]


def from_matrix(r):
    columns = bool(r.byte() & 1)
    turn = lumora.Quat(number(r), number(r), number(r), number(r))
    shift = lumora.Vec3d(number(r), number(r), number(r))
    try:
        motion = lumora.RigidTransform(turn, shift)
        m = motion.to_matrix(columns=r.byte() & 1 == 1)
    except REFUSALS:
        m = [[number(r) for _ in range(4)] for _ in range(4)]
    # Some entries replaced by anything.
    for _ in range(r.byte() % 3):
        m[r.byte() % 4][r.byte() % 4] = number(r)
    try:
        got = lumora.RigidTransform.from_matrix(m, columns=columns)
    except REFUSALS:
        return
    rows = [list(x) for x in zip(*m)] if columns else m
    assert all(math.isfinite(x) for row in rows[:3] for x in row[:3]), m
    assert [x.hex() for x in got.translation] == [x.hex() for x in rows[3][:3]], (m, got)
    assert abs(got.rotation.magnitude() - 1.0) < 1e-12, (m, got)
    back = got.to_matrix()
    for a, b in zip(back[:3], rows[:3]):
        assert all(abs(x - y) < 1e-5 for x, y in zip(a[:3], b[:3])), (m, got)


def align(r):
    source = lumora.VecList(points(r, 40))
    target = lumora.VecList(points(r, 40) if r.byte() & 1 else [lumora.Vec3d(*v) for v in source])
    weights = None
    if r.byte() & 1:
        import array

        weights = array.array("d", [number(r) for _ in range(len(source))])
    try:
        fit, rms = lumora.RigidTransform.align(source, target, weights=weights)
    except REFUSALS:
        return
    assert math.isfinite(rms) or math.isnan(rms) or math.isinf(rms)
    if math.isfinite(rms):
        assert abs(fit.rotation.magnitude() - 1.0) < 1e-9 and fit.rotation.w >= 0, fit
    reverse = lumora.VecList(list(source)[::-1]), lumora.VecList(list(target)[::-1])
    again = lumora.RigidTransform.align(*reverse, weights=None if weights is None else weights[::-1])
    assert repr(again) == repr((fit, rms)), (fit, rms, again)


def voxels(r):
    cloud = points(r, 60)
    size = number(r)
    try:
        means, rows = lumora.cloud.voxel_down_sample(lumora.VecList(cloud), size, return_inverse=True)
    except REFUSALS:
        assert not (size > 0 and math.isfinite(size)), size
        return
    cells = {}
    for i, p in enumerate(cloud):
        key = None
        if all(math.isfinite(c) for c in p):
            q = [c / size for c in p]
            if all(math.isfinite(c) for c in q):
                key = tuple(math.floor(c) for c in q)
        if key is None:
            assert rows[i] == -1, (p, rows[i])
        else:
            cells.setdefault(key, []).append(i)
    order = sorted(cells)
    assert len(means) == len(order), (len(means), len(order))
    for row, key in enumerate(order):
        members = cells[key]
        assert all(rows[i] == row for i in members), (key, row)
        for axis in range(3):
            try:  # the exact sum rounded once, then one division
                want = float(sum(Fraction(cloud[i][axis]) for i in members)) / len(members)
            except OverflowError:  # a sum beyond the doubles: its quotient is taken unrounded
                continue
            assert means[row][axis] == want, (key, axis, means[row][axis], want)


CASES = [from_matrix, align, voxels]


def one(data):
    r = Reader(data)
    CASES[r.byte() % len(CASES)](r)
