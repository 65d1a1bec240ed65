"""A point cloud larger than one process likes, on a Dask cluster: generated
on the workers from a seed, held there as one VecList per chunk, rotated by
one quaternion and searched for the point nearest a query. The same job then
runs in this one process on the same points, and the two answers are
compared bit for bit.

    python examples/cluster.py                          # a cluster of worker processes on this machine
    python examples/cluster.py --scheduler HOST:8786    # an existing cluster

Each worker of an existing cluster needs lumora installed; this script sends
its helper module (lumora_dask.py) to them.
"""

import argparse
import copy
import hashlib
import os
import struct
import sys
import time

import dask
import dask.array as da
import numpy as np
import psutil
from distributed import Client, LocalCluster

import lumora_dask
from lumora import AngleRadians, Quat, Vec3d, VecList

QUAT = Quat.from_axis_angle(Vec3d(1.0, 2.0, 2.0).normalize(), AngleRadians(0.7))
QUERY = Vec3d(0.25, -0.5, 0.125)


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--scheduler", help="address of an existing scheduler (default: start a local cluster)")
    p.add_argument("--workers", type=int, default=len(os.sched_getaffinity(0)),
                   help="local worker processes, one thread each (default: the processors here)")  # fmt: skip
    p.add_argument("--points", type=float, default=2e7, help="points in the cloud (default: 2e7)")
    p.add_argument("--chunk", type=float, default=1e6, help="points per chunk (default: 1e6)")
    p.add_argument("--seed", type=int, default=2026)
    args = p.parse_args(argv)
    args.points, args.chunk = int(args.points), int(args.chunk)
    if args.points < 1 or args.chunk < 1 or args.workers < 1:
        p.error("--points, --chunk and --workers must be at least 1")
    return args


def local_cluster(workers):
    """Worker processes of one thread each, whose lumora pools have one
    thread each too, so that the workers share the machine's processors;
    the scheduler and the workers take lumora_dask's Dask settings."""
    with dask.config.set(lumora_dask.DASK_CONFIG):
        # A nanny keeps the settings for the workers it restarts, but by
        # default its copy shares its nested parts with this process's, which
        # leaving the `with` sets back: give it a copy of its own. No
        # dashboard, and the scheduler's remaining HTTP routes (health,
        # metrics) on a free local port rather than 8787, which another
        # cluster on this machine may hold.
        return LocalCluster(
            n_workers=workers,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
            env={"RAYON_NUM_THREADS": "1"},
            config=copy.deepcopy(dask.config.config),
        )


def point_cloud(n, chunk, seed):
    """A lazy (n, 3) float64 cloud, uniform in [-1, 1)^3: each chunk is drawn
    where it is computed, from a seed derived from `seed`."""
    return da.random.default_rng(seed).uniform(-1.0, 1.0, size=(n, 3), chunks=(chunk, 3))


def digest(points):
    """A fingerprint of the elements of a VecList or an array, bit for bit."""
    return hashlib.sha256(points).hexdigest()


def same(a, b):
    """Whether two answers (index, distance) agree bit for bit."""
    return a[0] == b[0] and struct.pack("<d", a[1]) == struct.pack("<d", b[1])


def run(client, args):
    lumora_dask.install(client)
    before = {w: rss for w, (rss, _) in client.run(lumora_dask.worker_memory).items()}
    cloud = point_cloud(args.points, args.chunk, args.seed)
    start = time.perf_counter()
    # The job: rotated chunks kept on the workers, then one search over them.
    lists, offsets = lumora_dask.rotate_cloud(cloud, QUAT)
    lists = client.persist(lists)
    found = lumora_dask.nearest_point(lists, offsets, QUERY)
    index, distance = client.compute(found).result()
    elapsed = time.perf_counter() - start
    print(f"{args.points} points in {len(lists)} chunks on {len(before)} workers: "
          f"nearest to {QUERY} is point {index}, at distance {distance!r}, in {elapsed:.2f} s")  # fmt: skip
    for worker, (rss, points) in sorted(client.run(lumora_dask.worker_memory).items()):
        grown = rss - before[worker]
        held = points * lumora_dask.BYTES_PER_POINT
        per_point = f" ({grown / points:.1f} bytes a point)" if points else ""
        print(f"  {worker}: {points} points in VecLists ({held / 2**20:.0f} MiB), resident {rss / 2**20:.0f} MiB, "
              f"{grown / 2**20:+.0f} MiB since the start{per_point}")  # fmt: skip
    digests = client.compute([dask.delayed(digest)(points) for points in lists], sync=True)

    # The same job in this process, when both copies of the cloud fit easily.
    need = 2 * lumora_dask.BYTES_PER_POINT * args.points
    if need > psutil.virtual_memory().available // 2:
        print(f"in this process: skipped, {need / 2**30:.1f} GiB is too much here")
        return True
    start = time.perf_counter()
    block = cloud.compute(scheduler="sync")
    points = VecList.from_buffer(block)
    points.rotate(QUAT)
    here = points.minimum_distance_to(QUERY, 1)
    elapsed = time.perf_counter() - start
    rows = np.asarray(points)
    mine = [digest(rows[o : o + n]) for o, n in zip(offsets, cloud.chunks[0])]
    answers_agree = same(here, (index, distance))
    print(f"in this process: point {here[0]}, at distance {here[1]!r}, in {elapsed:.2f} s")
    print("answers agree bit for bit:", "yes" if answers_agree else "NO")
    print("rotated points agree bit for bit:", "yes" if mine == digests else "NO")
    return answers_agree and mine == digests


def main(argv=None):
    args = parse(argv)
    if args.scheduler:
        with Client(args.scheduler) as client:
            return run(client, args)
    with local_cluster(args.workers) as cluster, Client(cluster) as client:
        return run(client, args)


if __name__ == "__main__":
    sys.exit(0 if main() else 1)
