"""A short tour of lumora: build vectors, combine them, print the results,
and ask many questions of one point cloud through its index."""

import threading

import lumora
from lumora import Vec3d

print("lumora exports", ", ".join(lumora.__all__))

# Vectors
a = Vec3d(1, 2, 3)
b = Vec3d(4, 5, 6)
print("a =", a, " b =", b)
print("a + b =", a + b, " a - b =", a - b, " 2 * a =", 2 * a, " a / 4 =", a / 4)
print("a . b =", a.dot(b), " a x b =", a.cross(b))
print("|a| =", a.magnitude(), " a normalised =", a.normalize(), " unit?", a.normalize().is_unit())
print("distance a-b =", a.distance_to(b), " squared =", a.distance_squared(b))
print("a projected onto the xy-plane =", a.project_onto_plane(Vec3d.k()))
print("distance of a to the x-axis =", a.distance_to_line(Vec3d.zero(), Vec3d.i()))
print("[i, j, k] =", Vec3d.i().scalar_triple_product(Vec3d.j(), Vec3d.k()))
x, y, z = a
print("unpacked a:", x, y, z, " a[2] =", a[2], " hash(a) =", hash(a))

# Equality has a tolerance of 2^-52 per component; the hash is exact.
print("Vec3d(1e-16, 0, 0) == Vec3d(3e-16, 0, 0):", Vec3d(1e-16, 0, 0) == Vec3d(3e-16, 0, 0))
print("zero vector normalised:", Vec3d.zero().normalize())

# Many threads may share vectors: the interpreter runs without its lock.
total = Vec3d.zero()


def accumulate(n):
    s = Vec3d.zero()
    for i in range(n):
        s = s + a * float(i)
    return s


results = [None] * 4
threads = [threading.Thread(target=lambda k=k: results.__setitem__(k, accumulate(1000))) for k in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
for r in results:
    total = total + r
print("sum over 4 threads:", total)

# Planes and circles
from lumora.geometry import Circle, Plane, circle_circle, circle_point, plane_line

ground = Plane.xy()
print("line (1, 2, 3)-(1, 2, -1) meets the xy-plane at", plane_line(ground, Vec3d(1, 2, 3), Vec3d(1, 2, -1)))
shelf = Plane(Vec3d(0, 0, 2), 5.0)
print("plane z = 5: distance field", shelf.distance, " contains (7, -3, 5)?", shelf.contains_point(Vec3d(7, -3, 5)))
c1 = Circle(Vec3d(0, 0, 0), 1.0, Vec3d(0, 0, 1))
c2 = Circle(Vec3d(1, 0, 0), 1.0, Vec3d(0, 0, 1))
p, q = circle_circle(c1, c2)
print("unit circles around (0, 0, 0) and (1, 0, 0) cross at", p, "and", q)
half = Vec3d(0.5, 0, 0)
print("(0.5, 0, 0) on c1?", circle_point(c1, half, False), " inside?", circle_point(c1, half, True))
try:
    circle_circle(c1, Circle(Vec3d(3, 0, 0), 1.0, Vec3d(0, 0, 1)))
except ValueError as e:
    print("circles 3 apart:", e)

# Angles and a rotation
from lumora import AngleDegrees, AngleRadians, Quat

right = AngleDegrees(90).to_radians()
print("90° =", right, " sin =", right.sin(), " cos =", right.cos(), " (cos of the double nearest pi/2)")
print("pi + pi/2 =", AngleRadians.pi() + AngleRadians.half_pi())
print("pi/3 in degrees:", AngleRadians.third_pi().to_degrees(), " (two roundings)")
print("angle between a and b:", a.angle_to(b), " a against itself:", a.angle_to(a))
turn = Quat.from_axis_angle(Vec3d.k(), right)
print("quarter turn about z:", turn, " unit?", turn.is_unit())
print("it takes i to", turn.rotate(Vec3d.i()), " and j to", turn.rotate(Vec3d.j()))
axis, angle = turn.to_axis_angle()
print("back to axis and angle:", axis, angle)
print("rotation matrix rows:", turn.to_rotation_matrix())

# Rotations composed, undone, interpolated, and read back from a matrix
tilt = Quat.from_axis_angle(Vec3d.i(), AngleRadians.sixth_pi())
both = turn * tilt  # first the tilt, then the turn
print("tilt about x, then turn about z: j goes to", both.rotate(Vec3d.j()),
      " step by step:", turn.rotate(tilt.rotate(Vec3d.j())))  # fmt: skip
print("undone by the inverse:", both.inverse().rotate(both.rotate(Vec3d.j())))
for t in (0.0, 0.5, 1.0):
    print(f"slerp identity -> turn at t = {t}: takes i to", Quat.identity().slerp(turn, t).rotate(Vec3d.i()))
print("read back from its matrix:", Quat.from_rotation_matrix(both.to_rotation_matrix()), " was", both)
try:
    Quat.from_rotation_matrix([[1, 0, 0], [0, 1, 0], [0, 0, -1]])
except ValueError as e:
    print("a mirror:", e)

# Lists of vectors: stored unboxed, worked on in bulk by a pool of threads.
import math
import time

from lumora import VecList

path = VecList([Vec3d(math.cos(t / 500), math.sin(t / 500), t / 5000) for t in range(200_000)])
print("a helix of", len(path), "points, starting", VecList([p for _, p in zip(range(3), path)]))
print("highest point:", max(p.z for p in path), " as arrays:", path.to_array()[-1])


def timed(f):
    start = time.perf_counter()
    result = f()
    return result, time.perf_counter() - start


points, target = path.list, Vec3d(0.5, 0.5, 20)
rotated, t_python = timed(lambda: [turn.rotate(p) for p in points])
_, t_bulk = timed(lambda: path.rotate(turn))
print(f"quarter turn of every point: {t_bulk * 1e3:.1f} ms in bulk, {t_python * 1e3:.1f} ms point by point;"
      f" same result: {path.list == rotated}")  # fmt: skip
points = path.list
found, t_bulk = timed(lambda: path.minimum_distance_to(target, 100))
scan, t_python = timed(lambda: min(range(len(points)), key=lambda i: points[i].distance_squared(target)))
print(f"nearest point to {target}: {found} in {t_bulk * 1e3:.2f} ms with stride 100;"
      f" a full scan finds {scan} in {t_python * 1e3:.1f} ms")  # fmt: skip

# With numpy: points in without going through Vec3d, results out without a
# Python float per point, and pickles for other processes.
import pickle
import subprocess
import sys

import numpy as np

cloud = np.random.default_rng(7).normal(size=(200_000, 3))
points = VecList.from_buffer(cloud)  # one copy of the doubles
points.rotate(turn)
distances = np.empty(len(points))
points.distance_to(target, out=distances)  # no Python float per point
view = np.asarray(points)  # no copy: the list's own memory, read-only
print(f"{len(points)} points from numpy, rotated; nearest to {target} is {distances.min():.3f} away;"
      f" the view shares the list's memory: {np.shares_memory(view, np.asarray(points))}")  # fmt: skip
try:
    points.append(Vec3d(0, 0, 0))
except RuntimeError as e:
    print("while a view lives the list stays as it is:", e)
del view
points.append(Vec3d(0, 0, 0))

# Many questions of one cloud: a PointIndex is built once, then answers each
# query by looking at a few dozen points, exactly as a full scan would.
from lumora import PointIndex

index, t_build = timed(lambda: PointIndex(cloud))
queries = np.random.default_rng(8).normal(size=(10_000, 3))
near, dist = np.empty(len(queries), np.int64), np.empty(len(queries))
_, t_index = timed(lambda: index.nearest_each(queries, indices=near, distances=dist))
scanned = VecList.from_buffer(cloud)
sample = [Vec3d(*q) for q in queries[:100].tolist()]
answers, t_scan = timed(lambda: [scanned.minimum_distance_to(q, 1) for q in sample])
same = answers == list(zip(near[:100].tolist(), dist[:100].tolist()))
per_index, per_scan = t_index / len(queries), t_scan / len(sample)
print(f"PointIndex of {len(index)} points built in {t_build * 1e3:.1f} ms; {len(queries)} nearest queries"
      f" in {t_index * 1e3:.1f} ms ({per_index * 1e6:.2f} us each), a full scan takes {per_scan * 1e6:.0f} us"
      f" a query: {per_scan / per_index:.0f}x faster, same answers: {same}")  # fmt: skip
print("the 3 nearest to the origin:", index.k_nearest(Vec3d.zero(), 3))
print("points within 0.05 of the origin:", index.within(Vec3d.zero(), 0.05))

# Rigid motions: a rotation and a translation as one value, applied to a
# whole cloud in one pass, and fitted back from the pairs it made.
from lumora import RigidTransform

pose = RigidTransform(turn, Vec3d(1.0, -2.0, 0.5))
moved = VecList.from_buffer(cloud)
moved.transform(pose)
fit, rms = RigidTransform.align(cloud, moved)
print(f"moved by {pose}; align() of the pairs gives it back: {fit == pose} (RMS {rms:.1e})")
print("its matrix for column vectors, as scipy writes it:", pose.to_matrix(columns=True)[0])

# Registration: a second, partial scan of the cloud, turned and shifted,
# thinned on a voxel grid and registered point to plane by ICP.
from lumora.cloud import icp, normals, voxel_down_sample

scan = VecList.from_buffer(cloud[cloud[:, 0] < 0.5])
scan.transform(RigidTransform(Quat.from_axis_angle(Vec3d(0, 0, 1), AngleRadians(0.05)), Vec3d(0.02, 0.0, 0.01)))
fixed = PointIndex(voxel_down_sample(cloud, 0.25))
found, t_icp = timed(lambda: icp(voxel_down_sample(scan, 0.25), fixed, 0.5, target_normals=normals(fixed, 20)))
print(f"ICP in {t_icp * 1e3:.1f} ms: {found.iterations} iterations, converged {found.converged},"
      f" fitness {found.fitness:.3f}, RMS {found.rmse:.4f}")  # fmt: skip

buffers = []
data = pickle.dumps(points, protocol=5, buffer_callback=buffers.append)
print(f"pickled with protocol 5: {len(data)} bytes in band, {buffers[0].raw().nbytes} in one out-of-band buffer")
buffers[0].release()
# Another process (as a process pool's workers would) gets the same bits.
worker = "import pickle, sys; print(max(pickle.loads(sys.stdin.buffer.read()).magnitude()))"
answer = subprocess.run([sys.executable, "-c", worker], input=pickle.dumps(points), capture_output=True, check=True)
print("largest magnitude, computed in another process:", answer.stdout.decode().strip(),
      " here:", max(points.magnitude()))  # fmt: skip
