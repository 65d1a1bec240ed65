#pragma once
// The correctly rounded sum of a few doubles, as ExactSum gives it but
// without its kilobytes of state. Terms of nearby magnitudes, as the points
// of one voxel have, are summed exactly in two doubles or as integers in one
// 128-bit word; others are kept as a short list of non-overlapping partials, each addition exact
// (two-sum), and the list is rounded once at the end with a correction for
// halfway cases. Where an addition overflows, or the list outgrows its
// room, the terms are summed again by ExactSum, which is right in every
// case.

#include "drovak/exact_sum.hpp"
#include "drovak/vec3d.hpp"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace drovak::cloud {

namespace detail {

// A double as sign, exponent field (1 for subnormals, as their scale is
// that of the smallest normals) and integral significand: its value is
// significand * 2^(exponent - 1075).
struct Parts {
    bool negative;
    int exponent;
    std::uint64_t significand;
};

inline Parts parts_of(double x) {
    const auto b = std::bit_cast<std::uint64_t>(x);
    const int field = static_cast<int>((b >> 52) & 0x7FF);
    const std::uint64_t fraction = b & ((std::uint64_t{1} << 52) - 1);
    return {(b >> 63) != 0, field == 0 ? 1 : field, field == 0 ? fraction : fraction | std::uint64_t{1} << 52};
}

// The integer total * 2^(low - 1075) correctly rounded, or false where the
// result is subnormal or overflows.
inline bool rounded_fixed(__int128 total, int low, double& result) {
    // An exact zero is +0.0, as ExactSum has it.
    if (total == 0) {
        result = 0.0;
        return true;
    }
    const bool negative = total < 0;
    const auto magnitude = static_cast<unsigned __int128>(negative ? -total : total);
    // Rounded to 53 bits, half to even; the scaling by a power of two is
    // exact while the result is normal.
    const auto top = static_cast<std::uint64_t>(magnitude >> 64);
    const int length = top ? 128 - std::countl_zero(top) : 64 - std::countl_zero(static_cast<std::uint64_t>(magnitude));
    const int drop = std::max(0, length - 53);
    auto kept = static_cast<std::uint64_t>(magnitude >> drop);
    if (drop > 0) {
        const unsigned __int128 rest = magnitude & ((static_cast<unsigned __int128>(1) << drop) - 1);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (drop - 1);
        if (rest > half || (rest == half && (kept & 1))) ++kept;
    }
    const int scale = low - 1075 + drop;
    if (scale > 1023) return false;
    const double unit = scale >= -1022 ? std::bit_cast<double>(static_cast<std::uint64_t>(scale + 1023) << 52)
                                       : std::bit_cast<double>(std::uint64_t{1} << (scale + 1074));
    const double sum = static_cast<double>(kept) * unit;
    if (!(std::fabs(sum) >= DBL_MIN) || !std::isfinite(sum)) return false;
    result = negative ? -sum : sum;
    return true;
}

// The K sums of terms get(t, a) over t in [0, n), for each a in [0, K),
// correctly rounded, or false where in one of them the terms' exponents lie
// too far apart (or a term is not finite, or the sum overflows). All terms
// of a sum are whole multiples of its unit, 2^(low - 1075), the ulp of the
// least. Where they are few and their exponents near, each is cut at a
// coarser unit v, a power of two, into its nearest multiple of v and the
// rest, by adding and taking away 1.5 * 2^52 * v: both cuts are exact, the
// multiples of v sum exactly in doubles while below 2^53 v, the rests
// (below v / 2, in units) while below 2^53 units, and the one rounding of
// the two sums' sum is the correctly rounded total. Others are summed as
// integers in one 128-bit word: each term is its significand shifted by
// its exponent's distance from the least, at most 60 bits, and fewer than
// 2^13 terms of 113 bits cannot overflow 127. The K sums share each visit
// of a term.
template <std::size_t K, class Get>
bool fixed_sums(std::size_t n, const Get& get, double (&result)[K]) {
    constexpr int widest = 60;
    if (n >= std::size_t{1} << 13) return false;
    // The least and greatest magnitudes, as bits (which order as the
    // magnitudes do); a zero, one less, wraps past every other.
    std::uint64_t least[K];
    std::uint64_t most[K];
    std::fill_n(least, K, ~std::uint64_t{0});
    std::fill_n(most, K, 0);
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t a = 0; a < K; ++a) {
            const std::uint64_t magnitude = std::bit_cast<std::uint64_t>(get(t, a)) & ~(std::uint64_t{1} << 63);
            least[a] = std::min(least[a], magnitude - 1);
            most[a] = std::max(most[a], magnitude);
        }
    }
    // The cut's unit v = 2^cut units, past the terms' spread by as many
    // bits as n takes (two at least, for the cut to round to v), and the
    // sum of the rests within 53 bits; the constant of the cut finite.
    const int count_bits = std::bit_width(n);
    int low[K];
    double cut[K];
    bool split = true;
    for (std::size_t a = 0; a < K; ++a) {
        const int high = static_cast<int>(most[a] >> 52);
        // One less than the least nonzero magnitude may be a binade lower,
        // which only makes the unit finer; all zeros leave 4095.
        low[a] = std::max(1, static_cast<int>(least[a] >> 52));
        if (high == 2047) return false;
        const int spread = low[a] < 2047 ? high - low[a] : 0;
        if (spread > widest) return false;
        const int v = spread + std::max(2, count_bits);
        // The exponent field of 1.5 * 2^52 * v; all zeros take any cut.
        const int field = std::max(1, std::min(low[a], high)) + v;
        split = split && v + count_bits <= 53 && field <= 2046;
        cut[a] = split ? std::bit_cast<double>(static_cast<std::uint64_t>(field) << 52 | std::uint64_t{1} << 51) : 0.0;
    }
    if (split) {
        double whole[K] = {};
        double rest[K] = {};
        for (std::size_t t = 0; t < n; ++t) {
            for (std::size_t a = 0; a < K; ++a) {
                const double x = get(t, a);
                const double nearest = (x + cut[a]) - cut[a];
                whole[a] += nearest;
                rest[a] += x - nearest;
            }
        }
        for (std::size_t a = 0; a < K; ++a) {
            result[a] = whole[a] + rest[a];
            if (!std::isfinite(result[a])) return false;
        }
        return true;
    }
    __int128 total[K] = {};
    for (std::size_t t = 0; t < n; ++t) {
        for (std::size_t a = 0; a < K; ++a) {
            const Parts p = parts_of(get(t, a));
            // Only a zero's exponent lies below the least.
            const __int128 v = static_cast<__int128>(p.significand) << std::max(0, p.exponent - low[a]);
            total[a] += p.negative ? -v : v;
        }
    }
    for (std::size_t a = 0; a < K; ++a) {
        if (!rounded_fixed(total[a], low[a], result[a])) return false;
    }
    return true;
}

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
    double sum[1];
    if (detail::fixed_sums(
            n, [&](std::size_t t, std::size_t) { return get(t); }, sum) ||
        detail::partial_sum(n, get, sum[0]))
        return sum[0] / static_cast<double>(n);
    ExactSum exact;
    for (std::size_t t = 0; t < n; ++t)
        exact.add(get(t));
    return exact.divided(static_cast<double>(n));
}

// The rounded mean of the points get(0) .. get(n - 1), coordinate by
// coordinate.
template <class Get>
Vec3d rounded_mean_point(std::size_t n, const Get& get) {
    double sum[3];
    if (detail::fixed_sums(n, [&](std::size_t t, std::size_t a) { return get(t)[a]; }, sum)) {
        const auto count = static_cast<double>(n);
        return {sum[0] / count, sum[1] / count, sum[2] / count};
    }
    return {rounded_mean(n, [&](std::size_t t) { return get(t).x; }),
            rounded_mean(n, [&](std::size_t t) { return get(t).y; }),
            rounded_mean(n, [&](std::size_t t) { return get(t).z; })};
}

} // namespace drovak::cloud
