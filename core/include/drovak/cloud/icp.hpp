#pragma once
// The pieces of iterative closest point that are plain arithmetic: the
// point-to-plane least squares, its 6x6 solve, the increment it gives, and
// the stopping rule. The loop, the pairing and the exact sums are the
// caller's.

#include <array>
#include <cmath>
#include <cstdint>
#include <optional>

#include "drovak/angle.hpp"
#include "drovak/quat.hpp"
#include "drovak/rigid.hpp"
#include "drovak/vec3d.hpp"

namespace drovak::cloud {

// A point p paired with the target point q of normal n: the residual is
// r = (p - q) . n, and for a small turn w and shift t of p it changes by
// (p x n) . w + n . t. The terms of the normal equations A x = -b over
// x = (w, t): the upper triangle of J J^T row by row (21) and J r (6), with
// J = (p x n, n).
inline constexpr std::size_t plane_terms = 27;

inline std::array<double, plane_terms> point_to_plane_terms(const Vec3d& p, const Vec3d& q, const Vec3d& n) {
    const Vec3d c = p.cross(n);
    const double j[6] = {c.x, c.y, c.z, n.x, n.y, n.z};
    const double r = (p - q).dot(n);
    std::array<double, plane_terms> out{};
    std::size_t k = 0;
    for (int a = 0; a < 6; ++a) {
        for (int b = a; b < 6; ++b)
            out[k++] = j[a] * j[b];
    }
    for (int a = 0; a < 6; ++a)
        out[k++] = j[a] * r;
    return out;
}

// x with A x = -b for the symmetric A of the terms' sums (upper triangle,
// row by row, then b), by Cholesky's factorisation in the order written;
// nothing where A is not positive definite (too few or degenerate pairs,
// such as points all on one plane, which leave a shift along it free).
inline std::optional<std::array<double, 6>> solve_point_to_plane(const std::array<double, plane_terms>& sums) {
    double a[6][6];
    std::size_t k = 0;
    for (int r = 0; r < 6; ++r) {
        for (int c = r; c < 6; ++c)
            a[r][c] = a[c][r] = sums[k++];
    }
    double l[6][6] = {};
    for (int j = 0; j < 6; ++j) {
        double d = a[j][j];
        for (int m = 0; m < j; ++m)
            d -= l[j][m] * l[j][m];
        // Relative to the diagonal's own size, so that a unit change of the
        // scene's scale does not decide what counts as singular.
        if (!(d > a[j][j] * 0x1p-40)) return std::nullopt;
        l[j][j] = std::sqrt(d);
        for (int i = j + 1; i < 6; ++i) {
            double s = a[i][j];
            for (int m = 0; m < j; ++m)
                s -= l[i][m] * l[j][m];
            l[i][j] = s / l[j][j];
        }
    }
    std::array<double, 6> y{};
    for (int i = 0; i < 6; ++i) {
        double s = -sums[21 + i];
        for (int m = 0; m < i; ++m)
            s -= l[i][m] * y[m];
        y[i] = s / l[i][i];
    }
    std::array<double, 6> x{};
    for (int i = 5; i >= 0; --i) {
        double s = y[i];
        for (int m = i + 1; m < 6; ++m)
            s -= l[m][i] * x[m];
        x[i] = s / l[i][i];
    }
    return x;
}

// The motion of x = (w, t): the turn by |w| about w (none for w = 0), then
// the shift t.
inline RigidTransform increment(const std::array<double, 6>& x) {
    const Vec3d w{x[0], x[1], x[2]};
    const double angle = w.magnitude();
    const Quat q = angle > 0.0 ? Quat::from_axis_angle(w / angle, AngleRadians{angle}) : Quat::identity();
    return {q, {x[3], x[4], x[5]}};
}

// Whether a quantity moved by at most `tolerance` of its previous value:
// |now - before| <= tolerance * before (a quantity that was 0 must stay 0).
inline bool settled(double before, double now, double tolerance) {
    return std::fabs(now - before) <= tolerance * before;
}

// Whether an increment is too small to matter: a turn of at most
// `tolerance` radians (2 acos |w|) and a shift of at most tolerance * scale.
// A fit that is exact to rounding keeps wobbling its RMS by relative
// amounts of any size, but its increments vanish.
inline bool negligible(const RigidTransform& inc, double tolerance, double scale) {
    const double turn = 2.0 * std::acos(std::fmin(1.0, std::fabs(inc.rotation.w)));
    return turn <= tolerance && inc.translation.magnitude() <= tolerance * scale;
}

} // namespace drovak::cloud
