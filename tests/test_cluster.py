"""The cluster helpers on a local Dask cluster of two worker processes: the
rotated chunks and the nearest point equal one list's, bit for bit, across
chunk borders, ties and NaNs; a worker lost in the middle of a job and a
task that raises."""

import io
import math
import os
import sys
import threading
from contextlib import redirect_stdout

import numpy as np
import pytest

from lumora import Quat, Vec3d, VecList
from support import ROOT, bits, from_bits

# The ThreadSanitizer run's environment has no Dask; it selects none of these.
pytest.importorskip("distributed")
import dask  # noqa: E402
import dask.array as da  # noqa: E402
from distributed import Client  # noqa: E402

sys.path.insert(0, str(ROOT / "examples"))
import cluster as example  # noqa: E402
import lumora_dask  # noqa: E402

N = 2_000_000
# Uneven, with a one-point chunk and borders at no round number.
CHUNKS = (1, 299_999, 700_000, 123_457, 476_543, 400_000)
WAIT = 120  # seconds; a job still running then has hung


@pytest.fixture(scope="module")
def client():
    with example.local_cluster(2) as cluster, Client(cluster) as client:
        lumora_dask.install(client)
        yield client


@pytest.fixture(scope="module")
def cloud():
    return example.point_cloud(N, CHUNKS, seed=19)


@pytest.fixture(scope="module")
def reference(cloud):
    """The same job in this process: one list holding the whole cloud."""
    points = VecList.from_buffer(cloud.compute(scheduler="sync"))
    points.rotate(example.QUAT)
    return points


def result(client, x):
    return client.compute(x).result(timeout=WAIT)


def answer_bits(a):
    return a[0], bits(a[1])


def search(client, lists, offsets, p):
    return answer_bits(result(client, lumora_dask.nearest_point(lists, offsets, p)))


def one_list(points, p):
    return answer_bits(points.minimum_distance_to(p, 1))


def rotated_bytes(client, lists):
    return b"".join(bytes(points) for points in client.compute(lists, sync=True))


def test_a_cloud_on_the_cluster_equals_one_list(client, cloud, reference):
    lists, offsets = lumora_dask.rotate_cloud(cloud, example.QUAT)
    lists = client.persist(lists)
    assert offsets == [0, 1, 300_000, 1_000_000, 1_123_457, 1_600_000]
    assert rotated_bytes(client, lists) == bytes(reference)
    # Inside the cloud, far outside it, and on a point of a late chunk.
    for p in (example.QUERY, Vec3d(-1e3, 2e3, 0.5), reference[1_599_999]):
        assert search(client, lists, offsets, p) == one_list(reference, p)
    assert search(client, lists, offsets, reference[1_599_999])[1] == bits(0.0)
    # Each worker holds its share as VecLists at 24 bytes a point.
    held = client.run(lumora_dask.worker_memory)
    assert len(held) == 2 and all(points > 0 for _, points in held.values())
    assert sum(points for _, points in held.values()) == N


def small_cloud(rows, chunks):
    a = np.array(rows, dtype=np.float64).reshape(-1, 3)
    return a, da.from_array(a, chunks=(chunks, 3))


def check_small(client, rows, chunks, p, expected):
    """The search over the chunks agrees with one list, and finds `expected`;
    the identity rotation keeps the distances the rows were chosen for."""
    a, cloud = small_cloud(rows, chunks)
    lists, offsets = lumora_dask.rotate_cloud(cloud, Quat.identity())
    here = VecList.from_buffer(a)
    here.rotate(Quat.identity())
    got = search(client, lists, offsets, p)
    assert got == one_list(here, p)
    assert got[0] == expected


def test_ties_go_to_the_lower_global_index(client):
    on_sphere = [(1, 0, 0), (0, -1, 0), (0, 0, 1), (-1, 0, 0), (0, 1, 0), (0, 0, -1)]
    origin = Vec3d(0, 0, 0)
    # Equal squared distances everywhere, borders between every pair and
    # empty chunks: the first point wins.
    check_small(client, on_sphere, (2, 0, 1, 3), origin, 0)
    check_small(client, on_sphere, (1, 1, 1, 1, 1, 1), origin, 0)
    # Distances that round to the same double, 1.0, from squared distances
    # 1 + 2^-52 and 1: the later point is the nearer.
    tiny = 2.0**-26
    assert Vec3d(1, tiny, 0).distance_to(origin) == Vec3d(1, 0, 0).distance_to(origin)
    check_small(client, [(0, 1, tiny), (5, 5, 5), (0, 1, 0)], (2, 1), origin, 2)


def test_every_nan_after_every_number_across_chunks(client):
    nan, neg_nan = math.nan, from_bits(0xFFF8_0000_0000_0000)
    far = Vec3d(10, 10, 10)
    # NaNs in the early chunks come after every number of the later ones,
    # whatever their sign bit.
    check_small(client, [(nan, 0, 0), (0, nan, 0), (1, 2, 3), (0, 0, nan), (2, 3, 4)], (2, 1, 2), far, 4)
    check_small(client, [(neg_nan, 0, 0), (1, 2, 3)], (1, 1), far, 1)
    # Only NaNs: they tie, so the first one, with the list's NaN distance.
    check_small(client, [(nan, 0, 0), (neg_nan, 0, 0), (0, 0, nan)], (1, 2), far, 0)


def test_an_empty_cloud_has_no_nearest_point(client):
    lists, offsets = lumora_dask.rotate_cloud(small_cloud([], (0,))[1], example.QUAT)
    with pytest.raises(ValueError, match="empty cloud"):
        result(client, lumora_dask.nearest_point(lists, offsets, Vec3d(0, 0, 0)))
    with pytest.raises(ValueError, match=r"shape \(n, 3\), not \(4, 2\)"):
        lumora_dask.rotate_cloud(da.zeros((4, 2)), example.QUAT)


def test_the_example_on_the_cluster(client):
    out = io.StringIO()
    with redirect_stdout(out):
        assert example.main(["--scheduler", client.scheduler.address, "--points", "3e5", "--chunk", "7e4"])
    text = out.getvalue()
    assert "300000 points in 5 chunks on 2 workers" in text
    assert "answers agree bit for bit: yes" in text and "rotated points agree bit for bit: yes" in text


def test_a_task_that_raises_reaches_the_client(client, cloud):
    blocks = list(cloud.to_delayed().ravel())
    blocks[2] = dask.delayed(np.zeros)((5, 2))
    lists = lumora_dask.rotate_chunks(blocks, example.QUAT)
    with pytest.raises(ValueError, match="buffer"):
        result(client, lumora_dask.nearest_point(lists, lumora_dask.chunk_offsets(CHUNKS), example.QUERY))
    # The cluster goes on working.
    assert result(client, dask.delayed(len)(lists[0])) == 1


def test_a_worker_lost_in_the_middle_of_a_job(client, cloud, reference, tmp_path):
    marker = str(tmp_path / "killed")

    def die_once(block):
        # The first time only, the worker process ends inside this task.
        try:
            os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
        except FileExistsError:
            return block
        os._exit(1)

    blocks = list(cloud.to_delayed().ravel())
    blocks[3] = dask.delayed(die_once)(blocks[3])
    lists = client.persist(lumora_dask.rotate_chunks(blocks, example.QUAT))
    offsets = lumora_dask.chunk_offsets(CHUNKS)
    assert search(client, lists, offsets, example.QUERY) == one_list(reference, example.QUERY)
    assert os.path.exists(marker)
    assert rotated_bytes(client, lists) == bytes(reference)


def test_no_process_reads_another_threads_frames_where_that_is_unsafe(client):
    # Last, and once it is back, so that it also sees the worker the nanny
    # restarted above. The task-thread profiler is a worker's periodic
    # callback, the event-loop profiler a thread named "Profile" in every
    # process with a server (the scheduler's is this one). Where frames are
    # safe to read, Dask's profilers keep their default.
    profiling = not lumora_dask.FRAMES_UNSAFE_ACROSS_THREADS
    client.wait_for_workers(2, timeout=WAIT)
    workers = client.run(lambda dask_worker: ("profile" in dask_worker.periodic_callbacks,
                                              any(t.name == "Profile" for t in threading.enumerate())))  # fmt: skip
    assert list(workers.values()) == [(profiling, profiling)] * 2
    assert client.run_on_scheduler(lambda: any(t.name == "Profile" for t in threading.enumerate())) is profiling
