"""Rigid motions against numpy and scipy in one run: one motion applied to a
whole cloud in place, one application and one composition per call, and the
least-squares fit of paired points against the SVD recipe, with how far the
two fits differ.

Ratios are measured in one run: `python bench/bench_rigid.py`. Run it with
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE unset, which slow numpy here.
"""

import os

import numpy as np
from scipy.spatial.transform import RigidTransform as ScipyMotion
from scipy.spatial.transform import Rotation

from lumora import Quat, RigidTransform, Vec3d, VecList
from timing import best_seconds, interpreter, table

CLOUD = 1_000_000
PAIRS = 100_000

KABSCH = """
cs, ct = s.mean(axis=0), t.mean(axis=0)
u, _, vt = np.linalg.svd((s - cs).T @ (t - ct))
r = vt.T @ np.diag([1.0, 1.0, np.sign(np.linalg.det(vt.T @ u.T))]) @ u.T
shift = ct - r @ cs
"""

# (operation, lumora statement, peer, peer statement, goal as the least
# peer/lumora ratio)
ROWS = [
    ("transform 10^6 in place", "vl.transform(T)", "numpy", "np.matmul(a, rt, out=b); np.add(b, tn, out=b)", 3.0),
    ("transform 10^6", "vl.transform(T)", "scipy", "S.apply(a)", 5.0),
    ("apply one vector", "T.apply(v)", "scipy", "S.apply(vn)", 50.0),
    ("compose two motions", "T * T", "scipy", "S * S", 100.0),
    ("align 10^5 pairs", "RigidTransform.align(sl, tl)", "numpy", KABSCH, 2.0),
]  # fmt: skip


def main():
    print(interpreter())
    print(f"load average {os.getloadavg()[0]:.2f}; goals are peer/lumora ratios\n")
    rng = np.random.default_rng(0)
    rotation = Rotation.random(random_state=1)
    shift = np.array([1.0, -2.0, 0.5])
    a = rng.normal(size=(CLOUD, 3))
    s = rng.normal(size=(PAIRS, 3)) * [3.0, 2.0, 1.0]
    t = rotation.apply(s) + shift + rng.normal(scale=0.01, size=s.shape)
    motion = RigidTransform(Quat.from_rotation_matrix(rotation.as_matrix(), columns=True), Vec3d(*shift))
    env = {
        "np": np, "RigidTransform": RigidTransform, "T": motion, "S": ScipyMotion.from_components(shift, rotation),
        "vl": VecList.from_buffer(a), "a": a, "b": np.empty_like(a), "rt": rotation.as_matrix().T, "tn": shift,
        "v": Vec3d(0.5, -1.0, 2.0), "vn": np.array([0.5, -1.0, 2.0]), "s": s, "t": t,
        "sl": VecList.from_buffer(s), "tl": VecList.from_buffer(t),
    }  # fmt: skip
    table(("operation", 26), ("lumora", 12), ("peer", 8), ("peer time", 12), ("ratio", 9), ("goal", 7))
    for name, ours, peer, theirs, goal in ROWS:
        t_ours, t_theirs = best_seconds(ours, env), best_seconds(theirs, env)
        ratio = t_theirs / t_ours
        mark = "" if ratio >= goal else "  below goal"
        print(f"{name:<26}{t_ours * 1e3:>10.4f}ms{peer:>8}{t_theirs * 1e3:>10.4f}ms{ratio:>8.1f}x{goal:>6.0f}x{mark}")
    fit, _ = RigidTransform.align(env["sl"], env["tl"])
    exec(KABSCH, env)
    ours = np.array(fit.rotation.to_rotation_matrix(columns=True))
    print(f"\nalign against the SVD recipe: rotation entries within {np.abs(ours - env['r']).max():.1e}, "
          f"translation within {np.abs(np.array(list(fit.translation)) - env['shift']).max():.1e}")  # fmt: skip


if __name__ == "__main__":
    main()
