"""A short tour of lumora: build vectors, combine them, print the results."""

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
