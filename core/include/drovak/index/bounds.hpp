#pragma once
// Bounds on the squared distance from a query to every point of a box, and
// the squared-distance limit of a radius. A search prunes by them, so each
// must hold for the rounded `distance_squared` itself, not only for the real
// number: the bounds run the same operations in the same order on per-axis
// gaps that are never larger (or, for the upper bound, never smaller) than
// the rounded |p - q| of any point p of the box. IEEE rounding is monotone,
// so every step keeps the inequality.

#include "drovak/vec3d.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace drovak::index {

// The tight bounds of a node's points.
struct Box {
    Vec3d lo;
    Vec3d hi;
};

// x where it is above zero, else +0.0 (x not NaN): a negative x has its
// bits cleared by its own sign, with no branch to mispredict, which a
// maximum of doubles would compile to.
inline double positive_part(double x) {
    const auto bits = std::bit_cast<std::int64_t>(x);
    return std::bit_cast<double>(bits & ~(bits >> 63));
}

// Along one axis: the query's distance to the nearest face of [lo, hi], zero
// inside (q finite). For p in [lo, hi] and q < lo, p - q >= lo - q, so the
// rounded differences keep that order; likewise above hi. At most one of the
// two terms is not zero, and adding zero is exact, so the sum is that term.
inline double near_gap(double q, double lo, double hi) { return positive_part(lo - q) + positive_part(q - hi); }

// Along one axis: the distance to the farther face.
inline double far_gap(double q, double lo, double hi) {
    const double below = q - lo;
    const double above = hi - q;
    return below > above ? below : above;
}

// At most p.distance_squared(q) for every p in the box.
inline double lower_bound(const Box& b, const Vec3d& q) {
    const Vec3d g{near_gap(q.x, b.lo.x, b.hi.x), near_gap(q.y, b.lo.y, b.hi.y), near_gap(q.z, b.lo.z, b.hi.z)};
    return g.dot(g);
}

// At least p.distance_squared(q) for every p in the box.
inline double upper_bound(const Box& b, const Vec3d& q) {
    const Vec3d g{far_gap(q.x, b.lo.x, b.hi.x), far_gap(q.y, b.lo.y, b.hi.y), far_gap(q.z, b.lo.z, b.hi.z)};
    return g.dot(g);
}

// The largest squared distance whose rounded root is at most `radius`
// (NaN excluded by the caller). The root is monotone, so for any d2 >= 0,
// sqrt(d2) <= radius exactly when d2 <= the limit: a membership test without
// a root per point that decides every point as the root would.
inline double squared_limit(double radius) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    if (radius < 0.0) return -inf;
    if (radius == inf) return inf;
    double t = radius * radius;
    while (std::sqrt(t) > radius)
        t = std::nextafter(t, -inf);
    while (t < inf && std::sqrt(std::nextafter(t, inf)) <= radius)
        t = std::nextafter(t, inf);
    return t;
}

} // namespace drovak::index
