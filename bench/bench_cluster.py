"""The cluster example's job on local Dask clusters: the whole job (points
drawn on the workers, one rotated VecList per chunk, the nearest point) on
one worker process against two, each worker with one thread and a lumora
pool of one thread; and moving a VecList from one worker to another against
moving a numpy array of the same shape.

Ratios are measured in one run: `python bench/bench_cluster.py`. A job takes
seconds, so it is repeated fewer times than the per-call benchmarks; each
figure is the best of its repeats. Beside the wall-clock speed-up stands the
one the split of the work allows: the processor time of the one worker
against that of the busier of the two, which other load on the machine
disturbs far less.
"""

import argparse
import pathlib
import sys
import time

import numpy as np
import psutil
from distributed import Client, wait

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import cluster as example  # noqa: E402
import lumora_dask  # noqa: E402


def processor_seconds(dask_worker):
    times = psutil.Process().cpu_times()
    return times.user + times.system


def job_seconds(client, n, chunk, repeats):
    """Best seconds from the graph to the answer, and the least processor
    seconds of the busiest worker in a repeat; the lists are released between
    repeats so that each repeat draws, converts and rotates anew."""
    wall = busiest = float("inf")
    for seed in range(repeats):
        cloud = example.point_cloud(n, chunk, seed)
        before = client.run(processor_seconds)
        start = time.perf_counter()
        lists, offsets = lumora_dask.rotate_cloud(cloud, example.QUAT)
        lists = client.persist(lists)
        client.compute(lumora_dask.nearest_point(lists, offsets, example.QUERY)).result()
        wall = min(wall, time.perf_counter() - start)
        busiest = min(busiest, max(t - before[w] for w, t in client.run(processor_seconds).items()))
        del lists
    return wall, busiest


def make_points(n, seed, as_list):
    block = np.random.default_rng(seed).uniform(-1.0, 1.0, size=(n, 3))
    return lumora_dask.chunk_to_list(block) if as_list else block


def move_seconds(client, n, as_list, repeats):
    """Best seconds for a task on one worker to receive a fresh object made
    on the other."""
    a, b = sorted(client.scheduler_info()["workers"])
    best = float("inf")
    for seed in range(repeats):
        made = client.submit(make_points, n, seed, as_list, workers=[a], pure=False)
        wait(made)
        start = time.perf_counter()
        client.submit(len, made, workers=[b], pure=False).result()
        best = min(best, time.perf_counter() - start)
        del made
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--points", type=float, default=2e7)
    parser.add_argument("--chunk", type=float, default=1e6)
    parser.add_argument("--move", type=float, default=1e6, help="points moved between workers")
    parser.add_argument("--repeats", type=int, default=3, help="repeats of the whole job")
    args = parser.parse_args()
    n, chunk, moved = int(args.points), int(args.chunk), int(args.move)
    print(f"python {sys.version.split()[0]}, job at n = {n} in chunks of {chunk}")
    seconds, busiest = {}, {}
    for workers in (1, 2):
        with example.local_cluster(workers) as cluster, Client(cluster) as client:
            lumora_dask.install(client)
            # A small job first, so that every worker has imported what the job needs.
            job_seconds(client, chunk * workers, chunk, 1)
            seconds[workers], busiest[workers] = job_seconds(client, n, chunk, args.repeats)
            if workers == 2:
                moves = {as_list: move_seconds(client, moved, as_list, 7) for as_list in (True, False)}
    header = f"{'':<34}{'':>12}{'':>12}{'ratio':>9}"
    print(header)
    print("-" * len(header))
    print(f"{'job':<34}{'1 worker':>12}{'2 workers':>12}")
    print(f"{'  wall clock':<34}{seconds[1]:>11.2f}s{seconds[2]:>11.2f}s{seconds[1] / seconds[2]:>8.2f}x  (speed-up)")
    print(f"{'  processor, busiest worker':<34}{busiest[1]:>11.2f}s{busiest[2]:>11.2f}s"
          f"{busiest[1] / busiest[2]:>8.2f}x  (speed-up the split allows)")  # fmt: skip
    print(f"{f'move {moved} points between workers':<34}{'VecList':>12}{'numpy':>12}")
    print(f"{'':<34}{moves[True] * 1e3:>10.1f}ms{moves[False] * 1e3:>10.1f}ms"
          f"{moves[True] / moves[False]:>8.2f}x  (VecList / numpy)")  # fmt: skip


if __name__ == "__main__":
    main()
