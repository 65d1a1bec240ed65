"""Registration on the pipeline benchmark's scan pair (bench_cloud.py), in
one run: point-to-plane ICP for a fixed number of iterations against
Open3D's registration_icp and against numpy + scipy written as users write
it, how well each recovers the known motion, and the whole pipeline
(down-sample, outliers, normals, ICP, the full source moved) against Open3D.

Open3D runs in the virtual environment bench_cloud.py makes, over the same
points saved as .npy; where it cannot be had its columns are skipped with a
line saying so. Run with OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset:
`python bench/bench_icp.py [--sizes 200000]`.
"""

import json
import math
import os
import subprocess
import tempfile

import numpy as np
from scipy.spatial import cKDTree
from scipy.spatial.transform import Rotation

from bench_cloud import K, STD_RATIO, VOXEL, open3d_python, scan_pair
from lumora import AngleRadians, PointIndex, Quat, RigidTransform, Vec3d, VecList
from lumora.cloud import icp, normals, statistical_inliers, voxel_down_sample
from timing import best_seconds, interpreter, sizes_argument

SIZES = [200_000]
MAX_DISTANCE, ITERATIONS = 0.5, 15
SCENE = 4.0  # metres across


def truth():
    """The motion that takes the source back onto the target."""
    turn = Quat.from_axis_angle(Vec3d(0.2, 0.3, 0.93), AngleRadians(math.radians(12.0)))
    return RigidTransform(turn, Vec3d(0.2, -0.1, 0.05)).inverse()


def errors(found):
    """Rotation error in degrees and translation error as a share of the scene."""
    e = found.inverse() * truth()
    return math.degrees(2 * math.acos(min(1.0, abs(e.rotation.w)))), e.translation.magnitude() / SCENE


def lumora_pipeline(target, source):
    """Every step of the registration, as a user of lumora writes it."""
    fixed = voxel_down_sample(target, VOXEL)
    fixed = fixed.compress(statistical_inliers(PointIndex(fixed), K, STD_RATIO))
    index = PointIndex(fixed)
    moving = voxel_down_sample(source, VOXEL)
    moving = moving.compress(statistical_inliers(PointIndex(moving), K, STD_RATIO))
    found = icp(moving, index, MAX_DISTANCE, target_normals=normals(index, K), iterations=ITERATIONS, tolerance=0.0)
    full = VecList.from_buffer(source)
    full.transform(found.transform)
    return found


def numpy_icp(moving, fixed, fixed_normals):
    """Point-to-plane ICP in numpy and scipy: the tree once, then per
    iteration the bounded query, the 6x6 system and its solve."""
    tree, m = cKDTree(fixed), np.eye(4)
    for _ in range(ITERATIONS):
        p = moving @ m[:3, :3].T + m[:3, 3]
        d, j = tree.query(p, distance_upper_bound=MAX_DISTANCE, workers=-1)
        ok = np.isfinite(d)
        p, q, n = p[ok], fixed[j[ok]], fixed_normals[j[ok]]
        jac = np.c_[np.cross(p, n), n]
        x = np.linalg.solve(jac.T @ jac, -jac.T @ np.einsum("ij,ij->i", p - q, n))
        inc = np.eye(4)
        inc[:3, :3], inc[:3, 3] = Rotation.from_rotvec(x[:3]).as_matrix(), x[3:]
        m = inc @ m
    return m


OPEN3D = """
import json, sys, time
import numpy as np
import open3d as o3d
reg = o3d.pipelines.registration
paths = json.loads(sys.argv[1])
voxel, k, ratio, dist, its = json.loads(sys.argv[2])
cloud = lambda a: o3d.geometry.PointCloud(o3d.utility.Vector3dVector(a))
target, source = (cloud(np.load(paths[n])) for n in ("target", "source"))
moving, fixed = cloud(np.load(paths["moving"])), cloud(np.load(paths["fixed"]))
fixed.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(k))
criteria = reg.ICPConvergenceCriteria(relative_fitness=0.0, relative_rmse=0.0, max_iteration=its)
plane = reg.TransformationEstimationPointToPlane()

def best(f, repeat=5):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        out = f()
        times.append(time.perf_counter() - t)
    return min(times), out

def pipeline():
    f = target.voxel_down_sample(voxel).remove_statistical_outlier(k, ratio)[0]
    m = source.voxel_down_sample(voxel).remove_statistical_outlier(k, ratio)[0]
    f.estimate_normals(o3d.geometry.KDTreeSearchParamKNN(k))
    r = reg.registration_icp(m, f, dist, np.eye(4), plane, criteria)
    moved = o3d.geometry.PointCloud(source).transform(r.transformation)
    return r.transformation

t_icp, r = best(lambda: reg.registration_icp(moving, fixed, dist, np.eye(4), plane, criteria))
t_all, m_all = best(pipeline)
print(json.dumps({"version": o3d.__version__, "icp": t_icp, "pipeline": t_all,
                  "matrix": r.transformation.tolist(), "pipeline_matrix": m_all.tolist()}))
"""


def open3d_run(python, arrays):
    with tempfile.TemporaryDirectory() as tmp:
        paths = {name: os.path.join(tmp, f"{name}.npy") for name in arrays}
        for name, a in arrays.items():
            np.save(paths[name], a)
        settings = json.dumps([VOXEL, K, STD_RATIO, MAX_DISTANCE, ITERATIONS])
        run = subprocess.run([str(python), "-c", OPEN3D, json.dumps(paths), settings], capture_output=True, text=True)
    if run.returncode != 0:
        print(f"Open3D: skipped (its run failed: {run.stderr.strip().splitlines()[-1:]})")
        return None
    return json.loads(run.stdout)


def from_columns(m):
    return RigidTransform.from_matrix(np.asarray(m), columns=True)


def main():
    sizes = sizes_argument(__doc__, SIZES)
    print(f"{interpreter()}, numpy {np.__version__}")
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())} on {os.cpu_count()} processors")
    python = open3d_python()
    rng = np.random.default_rng(33)
    for n in sizes:
        target, source = scan_pair(n, rng)
        fixed = np.asarray(voxel_down_sample(target, VOXEL))
        fixed = fixed[statistical_inliers(PointIndex(fixed), K, STD_RATIO)]
        moving = np.asarray(voxel_down_sample(source, VOXEL))
        moving = moving[statistical_inliers(PointIndex(moving), K, STD_RATIO)]
        index = PointIndex(fixed)
        fixed_normals = np.asarray(normals(index, K))
        print(f"\nscans {len(target)} and {len(source)} points; ICP {len(moving)} source points onto {len(fixed)}, "
              f"{ITERATIONS} iterations, point to plane, max_distance {MAX_DISTANCE}")  # fmt: skip
        env = {"icp": icp, "moving": moving, "index": index, "tn": fixed_normals, "numpy_icp": numpy_icp,
               "fixed": fixed, "lumora_pipeline": lumora_pipeline, "target": target, "source": source,
               "D": MAX_DISTANCE, "I": ITERATIONS}  # fmt: skip
        t_ours = best_seconds("icp(moving, index, D, target_normals=tn, iterations=I, tolerance=0.0)", env, 1.0)
        t_numpy = best_seconds("numpy_icp(moving, fixed, tn)", env, 1.0)
        t_all = best_seconds("lumora_pipeline(target, source)", env, 1.0)
        ours = icp(moving, index, MAX_DISTANCE, target_normals=fixed_normals, iterations=ITERATIONS, tolerance=0.0)
        point = icp(moving, index, MAX_DISTANCE, iterations=60)
        theirs = None
        if python:
            theirs = open3d_run(python, {"target": target, "source": source, "moving": moving, "fixed": fixed})
        print(f"{'':<28}{'ms':>9}{'rotation error':>16}{'translation error':>19}")
        rows = [("lumora point to plane", t_ours, ours.transform), ("lumora point to point (60)", None, point.transform),
                ("numpy + scipy", t_numpy, from_columns(numpy_icp(moving, fixed, fixed_normals)))]  # fmt: skip
        if theirs:
            rows.append((f"Open3D {theirs['version']}", theirs["icp"], from_columns(theirs["matrix"])))
        for name, t, found in rows:
            rot, shift = errors(found)
            ms = f"{t * 1e3:.1f}" if t else "-"
            print(f"{name:<28}{ms:>9}{rot:>15.4f}°{shift * 100:>18.4f}%")
        print(f"ICP: {t_numpy / t_ours:.2f}x numpy + scipy (goal 5x)", end="")
        if theirs:
            print(f", {theirs['icp'] / t_ours:.2f}x Open3D (goal 2x)")
            print(f"whole pipeline: lumora {t_all * 1e3:.1f} ms, Open3D {theirs['pipeline'] * 1e3:.1f} ms, "
                  f"{theirs['pipeline'] / t_all:.2f}x (goal 2x)")  # fmt: skip
        else:
            print(f"\nwhole pipeline: lumora {t_all * 1e3:.1f} ms")
    print(f"load average {' '.join(f'{x:.2f}' for x in os.getloadavg())} at the end")


if __name__ == "__main__":
    main()
