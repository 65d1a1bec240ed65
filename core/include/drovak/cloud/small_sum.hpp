#pragma once
// The correctly rounded sum of a few doubles, as ExactSum gives it but
// without its kilobytes of state: the terms are kept as a short list of
// non-overlapping partials, each addition exact (two-sum), and the list is
// rounded once at the end with a correction for halfway cases. Where an
// addition overflows, or the list outgrows its room, the terms are summed
// again by ExactSum, which is right in every case.

#include "drovak/exact_sum.hpp"

#include <cmath>
#include <cstddef>

namespace drovak::cloud {

namespace detail {

// Partials of finite doubles never need more than this many: each holds a
// different stretch of the exponent range, some 2098 bits.
inline constexpr std::size_t partial_room = 40;

// The sum of terms get(0) .. get(n - 1), correctly rounded, or false where
// the fast way cannot tell (an overflow on the way, a term not finite).
template <class Get>
bool partial_sum(std::size_t n, const Get& get, double& result) {
    double partials[partial_room];
    std::size_t used = 0;
    for (std::size_t t = 0; t < n; ++t) {
        double x = get(t);
        std::size_t kept = 0;
        for (std::size_t j = 0; j < used; ++j) {
            double y = partials[j];
            if (std::fabs(x) < std::fabs(y)) std::swap(x, y);
            const double hi = x + y;
            const double lo = y - (hi - x);
            if (lo != 0.0) partials[kept++] = lo;
            x = hi;
        }
        if (!std::isfinite(x) || kept == partial_room) return false;
        partials[kept] = x;
        used = kept + 1;
    }
    if (used == 0) {
        result = 0.0;
        return true;
    }
    // From the top down, until the first inexact addition; then round half
    // way cases by the sign of what lies below.
    std::size_t j = used - 1;
    double hi = partials[j];
    double lo = 0.0;
    while (j > 0) {
        const double x = hi;
        const double y = partials[--j];
        hi = x + y;
        lo = y - (hi - x);
        if (lo != 0.0) break;
    }
    if (j > 0 && ((lo < 0.0 && partials[j - 1] < 0.0) || (lo > 0.0 && partials[j - 1] > 0.0))) {
        const double y = lo * 2.0;
        const double x = hi + y;
        if (y == x - hi) hi = x;
    }
    // An exact zero is +0.0, as ExactSum has it.
    result = hi == 0.0 ? 0.0 : hi;
    return std::isfinite(hi);
}

} // namespace detail

// The correctly rounded sum of get(0) .. get(n - 1) divided by n, one IEEE
// division, as ExactSum::divided gives it.
template <class Get>
double rounded_mean(std::size_t n, const Get& get) {
    double sum;
    if (detail::partial_sum(n, get, sum)) return sum / static_cast<double>(n);
    ExactSum exact;
    for (std::size_t t = 0; t < n; ++t)
        exact.add(get(t));
    return exact.divided(static_cast<double>(n));
}

} // namespace drovak::cloud
