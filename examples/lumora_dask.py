"""lumora on a Dask cluster: a point cloud held on the workers as one VecList
per chunk, rotated there and searched for the point nearest a query, with
the answer one VecList holding the whole cloud would give, bit for bit.

Copy this file or import it; `examples/cluster.py` shows it at work. The
functions that run on the workers:

    chunk_to_list(block)                    (k, 3) float64 block -> VecList
    rotated_chunk(block, quat)              a new VecList, rotated
    nearest_in_chunk(points, offset, p)     the chunk's best candidate
    nearest(candidates)                     (index, distance) over all chunks

and two functions build the task graph from them:

    lists, offsets = rotate_chunks(blocks, quat)    or rotate_cloud(cloud, quat)
    answer = nearest_point(lists, offsets, p)       a Delayed (index, distance)

A rotated list is a new VecList made from its block, never one rotated in
place: Dask may run a task again (after losing a worker), and a task that
changed its input would then rotate a list twice.

The nearest point follows the rules of one list's `minimum_distance_to(p, 1)`
across chunks: the candidates are compared by their squared distances, in
IEEE total order among numbers, with every NaN after every number and equal
to every other NaN whatever its sign bit; among equals the lower global
index wins. Comparing the distances themselves would not do:
distinct squared distances can round to the same distance.

lumora's classes say they belong to `builtins`, so a function that Dask
sends by value (a lambda, a nested function, one of a script's `__main__`)
must not name them directly: the pickler would try to copy the class
itself. Module-level functions of an importable module, like these, are sent
by name and may; elsewhere write `lumora.VecList`.
"""

import itertools
import math
import struct
import sys
import sysconfig

import dask
import psutil
from dask.sizeof import sizeof

from lumora import VecList

# On the free-threaded build of CPython 3.13, reading the frames of another
# running thread (`sys._current_frames()`) can read freed memory and crash the
# process; 3.14 made it safe, and 3.13 keeps the fault. Dask's statistical
# profilers read frames so every 10 ms: each worker's of its task threads, and
# every server's (scheduler, worker, nanny) of its event loop, all switched by
# this one setting. Apply it where clusters are made, with
# `dask.config.set(DASK_CONFIG)` and a copy of the settings for each nanny
# (see cluster.local_cluster); workers started by hand take it from their
# environment as DASK_DISTRIBUTED__WORKER__PROFILE__ENABLED=False. The
# worker's stack dumps read frames too, but only when a client asks for them
# (`Client.call_stack`).
FRAMES_UNSAFE_ACROSS_THREADS = bool(sysconfig.get_config_var("Py_GIL_DISABLED")) and sys.version_info < (3, 14)
DASK_CONFIG = {"distributed.worker.profile.enabled": False} if FRAMES_UNSAFE_ACROSS_THREADS else {}

# Dask weighs what a worker holds to decide when to spill or pause; the
# elements of a list are outside the object that getsizeof measures.
BYTES_PER_POINT = 24


@sizeof.register(VecList)
def _sizeof_veclist(points):
    return sys.getsizeof(points) + BYTES_PER_POINT * len(points)


def install(client):
    """Puts this module on the client's scheduler and workers, and on the
    workers that join later, where tasks naming its functions import it.
    Each of them needs lumora itself installed. Nothing is imported here:
    a scheduler running in this process would load a second copy."""
    client.upload_file(__file__, load=False)


def worker_memory(dask_worker):
    """(bytes resident, points held in memory in VecLists) of a worker; for
    `client.run(worker_memory)`. Lists spilled to disk are not read back."""
    in_memory = getattr(dask_worker.data, "fast", dask_worker.data)
    held = sum(len(v) for v in in_memory.values() if isinstance(v, VecList))
    return psutil.Process().memory_info().rss, held


def chunk_to_list(block):
    """A chunk of an (n, 3) float64 array (any object exporting a buffer of
    doubles) as a VecList of its own: one copy, every bit kept."""
    return VecList.from_buffer(block)


def rotated_chunk(block, quat):
    """The chunk as a new VecList, rotated by `quat`."""
    points = chunk_to_list(block)
    points.rotate(quat)
    return points


def _order(d2):
    """An integer that orders squared distances as one list's search does."""
    if math.isnan(d2):
        return 1 << 63
    (i,) = struct.unpack("<q", struct.pack("<d", d2))
    return i ^ 0x7FFF_FFFF_FFFF_FFFF if i < 0 else i


def nearest_in_chunk(points, offset, other):
    """The chunk's nearest point to `other` as a candidate (global index,
    squared distance, distance), `offset` being the global index of its first
    point; None for an empty chunk."""
    if not len(points):
        return None
    index, distance = points.minimum_distance_to(other, 1)
    return offset + index, points[index].distance_squared(other), distance


def nearest(candidates):
    """(index, distance) of the best candidate: the least squared distance,
    the lower index among equals. Empty chunks (None) count for
    nothing; ValueError when no chunk had a point."""
    present = [c for c in candidates if c is not None]
    if not present:
        raise ValueError("nearest point of an empty cloud")
    index, _, distance = min(present, key=lambda c: (_order(c[1]), c[0]))
    return index, distance


def chunk_offsets(sizes):
    """The global index of each chunk's first point."""
    return list(itertools.accumulate(sizes[:-1], initial=0))


def rotate_chunks(blocks, quat):
    """One Delayed rotated VecList per block (Delayed objects or futures of
    (k, 3) float64 arrays, in order)."""
    return [dask.delayed(rotated_chunk)(block, quat) for block in blocks]


def rotate_cloud(cloud, quat):
    """The chunks of a dask array of shape (n, 3) as Delayed rotated VecLists,
    with the global index of each one's first point."""
    if cloud.ndim != 2 or cloud.shape[1] != 3:
        raise ValueError(f"a cloud has shape (n, 3), not {cloud.shape}")
    cloud = cloud.rechunk({1: 3})
    lists = rotate_chunks(cloud.to_delayed().ravel(), quat)
    return lists, chunk_offsets(cloud.chunks[0])


def nearest_point(lists, offsets, other):
    """A Delayed (index, distance) of the point nearest `other` over all the
    lists, one search task per list and one reduction."""
    search = dask.delayed(nearest_in_chunk)
    pairs = zip(lists, offsets)
    candidates = [search(points, offset, other) for points, offset in pairs]
    return dask.delayed(nearest)(candidates)
