"""The point-cloud preparation steps on a synthetic scan pair, each timed in
one run against numpy + scipy and against Open3D 0.20 on the same data, as a
registration pipeline runs them over a target scan and a partial, moved
source scan: voxel down-sampling (3 cm) of the scans, the statistical
outlier mask (20 neighbours, 2 standard deviations) of the down-sampled
clouds, and normals (20 neighbours) of the points kept. Each step includes
the tree it needs, since each step's input is a new cloud; Open3D builds its
own inside.

Open3D has no wheel for the free-threaded interpreter, so it runs in a
virtual environment of the system's interpreter under ~/.cache/lumora/ (made
here on first use with pip, with the Debian package of the libusb it links),
over the same points saved as .npy; where it cannot be installed its column
is skipped with a line saying so.

Run it with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, which slow numpy
here: `python bench/bench_cloud.py [--sizes 200000 1000000]`.
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np
from scipy.spatial import cKDTree

from lumora import AngleRadians, PointIndex, Quat, Vec3d
from lumora.cloud import normals, statistical_inliers, voxel_down_sample
from timing import best_seconds, interpreter, sizes_argument, table

SIZES = [200_000, 1_000_000]
VOXEL, K, STD_RATIO = 0.03, 20, 2.0
OPEN3D = "open3d==0.20.0"
VENV = Path.home() / ".cache" / "lumora" / "open3d-venv"


def scene(n, rng):
    """n points of a room corner (floor and two walls, 4 m), a sphere, and a
    wavy patch; 3 mm noise and 1% outliers spread over the room."""
    k = n // 6
    u = rng.uniform(0, 4, (3, k, 2))
    floor = np.c_[u[0], np.zeros(k)]
    wall_x = np.c_[np.zeros(k), u[1]]
    wall_y = np.c_[u[2][:, 0], np.zeros(k), u[2][:, 1]]
    s = rng.normal(0, 1, (k, 3))
    sphere = 0.5 * s / np.linalg.norm(s, axis=1, keepdims=True) + [2.0, 2.0, 0.8]
    w = rng.uniform(0, 1.5, (n - 4 * k, 2))
    wavy = np.c_[w[:, 0] + 2.3, w[:, 1] + 0.3, 0.6 + 0.1 * np.sin(6 * w[:, 0]) * np.cos(4 * w[:, 1])]
    points = np.concatenate([floor, wall_x, wall_y, sphere, wavy]) + rng.normal(0, 0.003, (n, 3))
    stray = rng.choice(n, n // 100, replace=False)
    points[stray] = rng.uniform(-0.5, 4.5, (len(stray), 3))
    return points


def scan_pair(n, rng):
    """The target, and the source: a partial (70%), noisier copy of the scene
    turned by 12 degrees and moved by 5% of its size."""
    target = scene(n, rng)
    source = scene(n, rng)
    source = source[source[:, 0] + source[:, 1] < np.quantile(source[:, 0] + source[:, 1], 0.7)]
    turn = Quat.from_axis_angle(Vec3d(0.2, 0.3, 0.93), AngleRadians(np.radians(12.0)))
    m = np.array(turn.to_rotation_matrix())
    return target, source @ m + [0.2, -0.1, 0.05]


# ---------------------------------------------------------------- the three ways


def inputs(scans):
    """Each step's input clouds: the scans, their down-sampled clouds, and
    the points of those that the outlier mask keeps."""
    down = [np.asarray(voxel_down_sample(c, VOXEL)) for c in scans]
    kept = [c[statistical_inliers(PointIndex(c), K, STD_RATIO)] for c in down]
    return {"voxel": scans, "outliers": down, "normals": kept}


def lumora_steps(clouds):
    def voxel():
        for c in clouds["voxel"]:
            voxel_down_sample(c, VOXEL)

    def outliers():
        for c in clouds["outliers"]:
            statistical_inliers(PointIndex(c), K, STD_RATIO)

    def fitted():
        for c in clouds["normals"]:
            normals(PointIndex(c), K)

    return {"voxel": voxel, "outliers": outliers, "normals": fitted}


def numpy_steps(clouds):
    def voxel():
        for c in clouds["voxel"]:
            keys = np.floor(c / VOXEL).astype(np.int64)
            _, inverse, counts = np.unique(keys, axis=0, return_inverse=True, return_counts=True)
            inverse = inverse.ravel()
            np.stack([np.bincount(inverse, c[:, a]) for a in range(3)], axis=1) / counts[:, None]

    def outliers():
        for c in clouds["outliers"]:
            d, _ = cKDTree(c).query(c, K + 1, workers=-1)
            mean = d[:, 1:].mean(axis=1)
            mean <= mean.mean() + STD_RATIO * mean.std(ddof=1)

    def fitted():
        for c in clouds["normals"]:
            _, near = cKDTree(c).query(c, K, workers=-1)
            hood = c[near]
            centred = hood - hood.mean(axis=1, keepdims=True)
            np.linalg.eigh(np.einsum("nki,nkj->nij", centred, centred))[1][:, :, 0]

    return {"voxel": voxel, "outliers": outliers, "normals": fitted}


OPEN3D_STEPS = """
import json, sys, time
import numpy as np
import open3d as o3d

def best(f, repeat=7):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)

def clouds(step):
    return [o3d.geometry.PointCloud(o3d.utility.Vector3dVector(np.load(p))) for p in paths[step]]

paths = json.loads(sys.argv[2])
voxel, k, ratio = float(sys.argv[1]), 20, 2.0
scans, down, kept = clouds("voxel"), clouds("outliers"), clouds("normals")
steps = {
    "voxel": lambda: [c.voxel_down_sample(voxel) for c in scans],
    "outliers": lambda: [c.remove_statistical_outlier(k, ratio) for c in down],
    "normals": lambda: [c.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(k)) for c in kept],
}
print(json.dumps({"version": o3d.__version__, **{name: best(f) for name, f in steps.items()}}))
"""


def open3d_python():
    """The interpreter of the Open3D environment, made on first use; None,
    with the reason printed, where that fails."""
    python = VENV / "bin" / "python"
    check = [str(python), "-c", "import open3d"]
    if python.exists() and subprocess.run(check, capture_output=True).returncode == 0:
        return python
    base = shutil.which("python3")
    if base is None:
        print("Open3D: skipped (no system python3 to make its environment with)")
        return None
    try:
        # Open3D's wheel links the system's libusb, which a fresh Debian lacks.
        debian = Path(__file__).resolve().parents[1] / "scripts" / "debian.sh"
        subprocess.run(["bash", "-c", f'log() {{ echo "$*" >&2; }}; . "{debian}"; ensure_packages libusb-1.0-0'],
                       check=True, capture_output=True)  # fmt: skip
        subprocess.run([base, "-m", "venv", str(VENV)], check=True, capture_output=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", OPEN3D, "numpy"], check=True, capture_output=True)
        subprocess.run(check, check=True, capture_output=True)
    except subprocess.CalledProcessError as e:
        last = (e.stderr or b"").decode(errors="replace").strip().splitlines()[-1:]
        print(f"Open3D: skipped ({OPEN3D} could not be installed for {base}: {' '.join(last) or e})")
        return None
    return python


def open3d_times(python, clouds):
    with tempfile.TemporaryDirectory() as tmp:
        paths = {step: [os.path.join(tmp, f"{step}{i}.npy") for i in range(len(cs))] for step, cs in clouds.items()}
        for step, cs in clouds.items():
            for path, c in zip(paths[step], cs):
                np.save(path, c)
        run = subprocess.run([str(python), "-c", OPEN3D_STEPS, str(VOXEL), json.dumps(paths)], capture_output=True,
                             text=True)  # fmt: skip
    if run.returncode != 0:
        print(f"Open3D: skipped (its run failed: {run.stderr.strip().splitlines()[-1:]})")
        return None
    return json.loads(run.stdout)


def main():
    sizes = sizes_argument(__doc__, SIZES)
    print(f"{interpreter()}, numpy {np.__version__}")
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())} on {os.cpu_count()} processors")
    python = open3d_python()
    rng = np.random.default_rng(30)
    for n in sizes:
        print()
        clouds = inputs(scan_pair(n, rng))
        for step, (target, source) in clouds.items():
            print(f"{step:<10} target {len(target)} points, source {len(source)} points")
        theirs = open3d_times(python, clouds) if python else None
        if theirs:
            print(f"Open3D {theirs['version']} in {python}")
        table(("step", 10), ("lumora ms", 11), ("numpy ms", 10), ("Open3D ms", 11), ("numpy/lumora", 14),
              ("goal", 6), ("Open3D/lumora", 15), ("goal", 6))  # fmt: skip
        ours, plain = lumora_steps(clouds), numpy_steps(clouds)
        for step in ours:
            t_ours = best_seconds("f()", {"f": ours[step]}, 1.0)
            t_plain = best_seconds("f()", {"f": plain[step]}, 1.0)
            line = f"{step:<10}{t_ours * 1e3:>11.1f}{t_plain * 1e3:>10.1f}"
            if theirs:
                line += f"{theirs[step] * 1e3:>11.1f}"
            else:
                line += f"{'-':>11}"
            verdict = "met" if t_plain / t_ours >= 5 else "missed"
            line += f"{t_plain / t_ours:>13.2f}x{'5x':>6} {verdict:<6}"
            if theirs:
                ratio = theirs[step] / t_ours
                line += f"{ratio:>8.2f}x{'2x':>6} {'met' if ratio >= 2 else 'missed'}"
            print(line)
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())} at the end")


if __name__ == "__main__":
    main()
