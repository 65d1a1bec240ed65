#pragma once
// Eigenvalues and eigenvectors of a symmetric 3x3 matrix, as the plane fits
// of the normals want them: ascending, with vectors. The cyclic Jacobi sweeps
// of drovak::symmetric_eigen keep every eigenvector accurate however close
// the eigenvalues are, where the closed form by the characteristic cubic
// would not; the closed form, some five times faster, gives the smallest
// one's vector where the eigenvalues are far enough apart for it.

#include "drovak/symmetric_eigen.hpp"
#include "drovak/vec3d.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace drovak::cloud {

// A symmetric matrix by its upper triangle.
struct Symmetric3 {
    double xx, xy, xz, yy, yz, zz;
};

// Eigenvalues ascending, with their unit eigenvectors.
struct Eigen3 {
    double values[3];
    Vec3d vectors[3];
};

// By the sweeps of drovak::symmetric_eigen, the values sorted ascending (the
// lower position first among equals).
inline Eigen3 symmetric_eigen(const Symmetric3& m) {
    const SymmetricEigen<3> r = drovak::symmetric_eigen<3>({{{m.xx, m.xy, m.xz}, {0.0, m.yy, m.yz}, {0.0, 0.0, m.zz}}});
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3,
              [&](int i, int j) { return r.values[i] < r.values[j] || (r.values[i] == r.values[j] && i < j); });
    Eigen3 e;
    for (int k = 0; k < 3; ++k) {
        const auto& v = r.vectors[order[k]];
        e.values[k] = r.values[order[k]];
        e.vectors[k] = {v[0], v[1], v[2]};
    }
    return e;
}

// The eigenvalues ascending and the unit eigenvector of the smallest.
struct Smallest {
    double values[3];
    Vec3d vector;
};

// The same by the closed form, where it is accurate: the eigenvalues by the
// trigonometric solution of the characteristic cubic, the vector as the
// longest cross product of two rows of m - values[0] I. The vector's error
// is some epsilon * s / g, s the largest eigenvalue's magnitude and g the
// gap above the smallest, plus what the cubic's rounding moves the smallest
// by, which grows as the two smallest meet: it answers only where g is at
// least 2^-8 of s (an error below 2^-40 or so) and every step is well
// within range, and nothing elsewhere, where the sweeps are the answer.
inline std::optional<Smallest> smallest_eigen(const Symmetric3& m) {
    const double q = (m.xx + m.yy + m.zz) / 3.0;
    const double a = m.xx - q, b = m.yy - q, c = m.zz - q;
    const double p2 = (a * a + b * b + c * c + 2.0 * (m.xy * m.xy + m.xz * m.xz + m.yz * m.yz)) / 6.0;
    if (!(p2 > 0x1p-900 && p2 < 0x1p900)) return std::nullopt;
    const double p = std::sqrt(p2);
    // det((m - q I) / p) / 2, the cosine of three times the angle.
    const double ba = a / p, bb = b / p, bc = c / p, bxy = m.xy / p, bxz = m.xz / p, byz = m.yz / p;
    const double det = ba * (bb * bc - byz * byz) - bxy * (bxy * bc - byz * bxz) + bxz * (bxy * byz - bb * bxz);
    const double phi = std::acos(std::clamp(det / 2.0, -1.0, 1.0)) / 3.0;
    constexpr double third = 2.0943951023931954923; // 2 pi / 3
    Smallest e;
    e.values[2] = q + 2.0 * p * std::cos(phi);
    e.values[0] = q + 2.0 * p * std::cos(phi + third);
    e.values[1] = 3.0 * q - e.values[0] - e.values[2];
    const double largest = std::max(std::fabs(e.values[0]), std::fabs(e.values[2]));
    if (!(e.values[1] - e.values[0] >= 0x1p-8 * largest)) return std::nullopt;
    const Vec3d r0{m.xx - e.values[0], m.xy, m.xz}, r1{m.xy, m.yy - e.values[0], m.yz},
        r2{m.xz, m.yz, m.zz - e.values[0]};
    const Vec3d crosses[3] = {r0.cross(r1), r0.cross(r2), r1.cross(r2)};
    const Vec3d* longest = &crosses[0];
    for (const Vec3d& v : crosses) {
        if (v.dot(v) > longest->dot(*longest)) longest = &v;
    }
    const double length = std::sqrt(longest->dot(*longest));
    if (!(length > 0.0 && std::isfinite(length))) return std::nullopt;
    // Adding zero clears the sign of a zero component, as the sweeps leave it.
    const Vec3d v = *longest / length;
    e.vector = {v.x + 0.0, v.y + 0.0, v.z + 0.0};
    return e;
}

} // namespace drovak::cloud
