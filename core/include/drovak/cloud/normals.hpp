#pragma once
// The normal of the plane fitted to a neighbourhood of points: the unit
// eigenvector of the smallest eigenvalue of their covariance about their
// mean. The sums run over the neighbours in the order given (the index's:
// nearest first), so the answer is the same bits wherever it is computed.

#include "drovak/cloud/eigen.hpp"
#include "drovak/vec3d.hpp"

#include <cmath>
#include <cstddef>
#include <limits>

namespace drovak::cloud {

// No plane is determined where the middle eigenvalue is below this share of
// the largest (at most two distinct points, or points on one line, up to a
// spread across the line some 10^-5 of its length): the normal is then zero.
inline constexpr double degenerate_share = 0x1p-32;

// The sign every normal is given before any orientation: its component of
// largest magnitude positive (the first axis among equal magnitudes).
inline Vec3d signed_normal(const Vec3d& n) {
    const double ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
    const double lead = ax >= ay && ax >= az ? n.x : (ay >= az ? n.y : n.z);
    return lead < 0.0 ? -n : n;
}

// The fitted normal of points point(0) .. point(k - 1) (k >= 1): zero where
// no plane is determined, NaN where a point or the covariance is not finite.
template <class Point>
Vec3d fitted_normal(std::size_t k, const Point& point) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    Vec3d sum{0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < k; ++j)
        sum = sum + point(j);
    const double count = static_cast<double>(k);
    const Vec3d mean = sum / count;
    Symmetric3 c{0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
    for (std::size_t j = 0; j < k; ++j) {
        const Vec3d d = point(j) - mean;
        c.xx += d.x * d.x;
        c.xy += d.x * d.y;
        c.xz += d.x * d.z;
        c.yy += d.y * d.y;
        c.yz += d.y * d.z;
        c.zz += d.z * d.z;
    }
    for (const double e : {c.xx, c.xy, c.xz, c.yy, c.yz, c.zz}) {
        if (!std::isfinite(e)) return {nan, nan, nan};
    }
    // The closed form where the plane is clear, else the sweeps.
    Smallest e;
    if (const auto closed = smallest_eigen(c)) {
        e = *closed;
    } else {
        const Eigen3 swept = symmetric_eigen(c);
        e = {{swept.values[0], swept.values[1], swept.values[2]}, swept.vectors[0]};
    }
    if (!(e.values[1] > e.values[2] * degenerate_share)) return {0.0, 0.0, 0.0};
    return signed_normal(e.vector);
}

// n turned, if need be, so that it does not point away from `toward` as
// seen from p: dot(n, toward - p) >= 0 (a zero or NaN normal stays).
inline Vec3d oriented(const Vec3d& n, const Vec3d& p, const Vec3d& toward) { return n.dot(toward - p) < 0.0 ? -n : n; }

} // namespace drovak::cloud
