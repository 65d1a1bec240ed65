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

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace drovak::index {

// The tight bounds of a node's points.
struct Box {
    Vec3d lo;
    Vec3d hi;
};

// Along each axis the gap max(lo - a, 0) + max(b - hi, 0), at most one of
// whose terms is not zero (adding zero is exact, so the sum is that term);
// and the squared length of the three, as Vec3d::dot computes it (every
// coordinate finite). The maxima are the processor's, which give the second
// operand unless the first is greater (so -0.0 gives +0.0), with no branch
// to mispredict, where a maximum of doubles written in C++ compiles to one;
// without them a negative difference has its bits cleared by its own sign.
inline double squared_gaps(const Vec3d& lo, const Vec3d& a, const Vec3d& b, const Vec3d& hi) {
#if defined(__SSE2__)
    // x and y side by side, then z.
    const __m128d zero = _mm_setzero_pd();
    const __m128d gxy = _mm_add_pd(_mm_max_pd(_mm_sub_pd(_mm_loadu_pd(&lo.x), _mm_loadu_pd(&a.x)), zero),
                                   _mm_max_pd(_mm_sub_pd(_mm_loadu_pd(&b.x), _mm_loadu_pd(&hi.x)), zero));
    const __m128d gz = _mm_add_sd(_mm_max_sd(_mm_sub_sd(_mm_load_sd(&lo.z), _mm_load_sd(&a.z)), zero),
                                  _mm_max_sd(_mm_sub_sd(_mm_load_sd(&b.z), _mm_load_sd(&hi.z)), zero));
    const __m128d sxy = _mm_mul_pd(gxy, gxy);
    return _mm_cvtsd_f64(_mm_add_sd(_mm_add_sd(sxy, _mm_unpackhi_pd(sxy, sxy)), _mm_mul_sd(gz, gz)));
#else
    const auto positive_part = [](double x) {
        const auto bits = std::bit_cast<std::int64_t>(x);
        return std::bit_cast<double>(bits & ~(bits >> 63));
    };
    const Vec3d g{positive_part(lo.x - a.x) + positive_part(b.x - hi.x),
                  positive_part(lo.y - a.y) + positive_part(b.y - hi.y),
                  positive_part(lo.z - a.z) + positive_part(b.z - hi.z)};
    return g.dot(g);
#endif
}

// Along one axis: the distance to the farther face.
inline double far_gap(double q, double lo, double hi) {
    const double below = q - lo;
    const double above = hi - q;
    return below > above ? below : above;
}

// At most p.distance_squared(q) for every p in the box (q finite). Along an
// axis, for p in [lo, hi] and q < lo, p - q >= lo - q, so the rounded
// differences keep that order; likewise above hi; the gap is zero inside.
inline double lower_bound(const Box& b, const Vec3d& q) { return squared_gaps(b.lo, q, q, b.hi); }

// At most p.distance_squared(q) for every p in box b and q in box a: the
// gaps are never larger than those of lower_bound(a, p), and rounding keeps
// the order.
inline double box_gap_squared(const Box& a, const Box& b) { return squared_gaps(a.lo, b.hi, b.lo, a.hi); }

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
