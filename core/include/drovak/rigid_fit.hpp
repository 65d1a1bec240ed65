#pragma once
// The least-squares rigid motion between paired points, by Horn's closed
// form: the rotation is the unit quaternion that maximises a 4x4 symmetric
// form of the cross-covariance, its eigenvector of the largest eigenvalue.
// It is never a reflection, needs no special case for a flat or noisy set,
// and gives the quaternion directly. Every sum is exact and rounded once, so
// the split of the pairs over threads cannot change a bit.

#include <array>
#include <cmath>

#include "drovak/quat.hpp"
#include "drovak/rigid.hpp"
#include "drovak/symmetric_eigen.hpp"
#include "drovak/vec3d.hpp"

namespace drovak {

// The terms of the first pass, summed exactly: the weight and the weighted
// points, w, w * s and w * t per component (exact for w = 1).
inline std::array<double, 7> centroid_terms(const Vec3d& s, const Vec3d& t, double w) {
    return {w, w * s.x, w * s.y, w * s.z, w * t.x, w * t.y, w * t.z};
}

// The terms of the second pass: (w * (s - cs)[a]) * (t - ct)[b] for the
// entry h[a][b] of the cross-covariance, row by row.
inline std::array<double, 9> covariance_terms(const Vec3d& s, const Vec3d& t, double w, const Vec3d& cs,
                                              const Vec3d& ct) {
    const Vec3d ds = s - cs;
    const Vec3d dt = t - ct;
    const double x = w * ds.x, y = w * ds.y, z = w * ds.z;
    return {x * dt.x, x * dt.y, x * dt.z, y * dt.x, y * dt.y, y * dt.z, z * dt.x, z * dt.y, z * dt.z};
}

// The rotation q (w >= 0) maximising the sum of w * (q.rotate(s') . t')
// for the cross-covariance h. Where several do (collinear points, a single
// point), the eigenvector the Jacobi sweeps give for the first largest
// eigenvalue: for an all-zero h, the identity.
inline Quat fitted_rotation(const RotationMatrix& h) {
    const double sxx = h[0][0], sxy = h[0][1], sxz = h[0][2];
    const double syx = h[1][0], syy = h[1][1], syz = h[1][2];
    const double szx = h[2][0], szy = h[2][1], szz = h[2][2];
    const SquareMatrix<4> n = {{
        {(sxx + syy) + szz, syz - szy, szx - sxz, sxy - syx},
        {0.0, (sxx - syy) - szz, sxy + syx, szx + sxz},
        {0.0, 0.0, (syy - sxx) - szz, syz + szy},
        {0.0, 0.0, 0.0, (szz - sxx) - syy},
    }};
    const SymmetricEigen<4> e = symmetric_eigen<4>(n);
    int best = 0;
    for (int k = 1; k < 4; ++k) {
        if (e.values[k] > e.values[best]) best = k;
    }
    const auto& v = e.vectors[best];
    // The eigenvector rotates by v p v*; this library's rotate is
    // conjugate-first, so the quaternion is its conjugate (0 - x keeps a
    // zero component +0).
    Quat q = Quat{v[0], 0.0 - v[1], 0.0 - v[2], 0.0 - v[3]}.normalize();
    if (q.w < 0.0) q = {-q.w, -q.i, -q.j, -q.k};
    return q;
}

// The fitted motion from the rounded sums: centroids cs = sum(w s) / sum(w)
// and ct likewise, rotation fitted_rotation(h), translation
// ct - rotation.rotate(cs).
inline RigidTransform fitted_motion(const Vec3d& cs, const Vec3d& ct, const RotationMatrix& h) {
    const Quat q = fitted_rotation(h);
    return {q, ct - q.rotate(cs)};
}

// A pair's term of the residual: w * |M(s) - t|^2, M the motion's matrix
// form.
inline std::array<double, 1> residual_terms(const MatrixMotion& m, const Vec3d& s, const Vec3d& t, double w) {
    return {w * m(s).distance_squared(t)};
}

} // namespace drovak
