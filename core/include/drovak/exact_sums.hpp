#pragma once
// K exact sums of terms made per item, rounded once at the end: the values
// ExactSum gives, at a few operations a term and several terms at once.
//
// Each term x is cut, without error, into parts on fixed grids, one per
// level: q = ((sigma + x) - sigma) is x rounded to a multiple of
// ulp(sigma) / 2, and x - q is exact (sigma a power of two well above |x|)
// and goes on to the next level. With sigma 2^m times a bound of the terms,
// 2^m more than the terms a level takes between flushes, the parts of one
// level are multiples of one grid below sigma, so their sum is exact in plain
// double additions, in any order and any grouping: lanes and threads may
// share the work freely. A term above the bound, infinite or NaN, or with a
// remainder after the last level, goes whole or in part to an ExactSum. The
// bound only steers the speed: any bound gives the same result.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "drovak/exact_sum.hpp"

namespace drovak {

template <std::size_t K>
class ExactSums {
    static constexpr int levels = 2;

  public:
    // What every piece of one summation shares: per sum, its bound and the
    // levels' sigmas, or no levels (every term to the ExactSum) where
    // the grids would leave the normal range.
    struct Plan {
        std::array<double, K> bound{};
        std::array<std::array<double, levels>, K> sigma{};
    };

    // Items per object between flushes of the levels into the ExactSums:
    // few, so that 2^m is small and the levels' grids fine. Each level then
    // takes 40 bits of a term, and two take every term within 2^-28 of the
    // bound; a flush costs a few ExactSum additions per thousands of terms.
    static constexpr std::size_t flush_every = std::size_t{1} << 12;

    // The plan for bounds of the terms: a sample's largest magnitude times
    // four, say. A bound of 0 or one that is not finite sends every term to
    // the ExactSum.
    static Plan plan(const std::array<double, K>& bounds) {
        constexpr int m = 13; // 2^13 > flush_every + 1
        Plan p;
        for (std::size_t k = 0; k < K; ++k) {
            int b = 0;
            const bool usable = std::isfinite(bounds[k]) && bounds[k] > 0.0;
            if (usable) std::frexp(bounds[k], &b);
            // Level l's sigma is 2^(m + b + l (m - 53)); its grid 2^-53 of it.
            const int top = m + b;
            const int last_grid = top + (levels - 1) * (m - 53) - 53;
            if (!usable || top > 1000 || last_grid < -1000) {
                p.bound[k] = 0.0;
                continue;
            }
            p.bound[k] = std::ldexp(1.0, b);
            for (int l = 0; l < levels; ++l)
                p.sigma[k][l] = std::ldexp(1.0, top + l * (m - 53));
        }
        return p;
    }

    explicit ExactSums(const Plan& plan) : plan_(plan) {}

    // Adds terms(i) -> std::array<double, K> for every i in [begin, end),
    // with the baseline instructions or with AVX2's wider ones (which the
    // caller checks the processor has); the results are the same.
    template <class Terms>
    void add(std::size_t begin, std::size_t end, const Terms& terms) {
        add_blocks<false>(begin, end, terms);
    }
    template <class Terms>
    [[gnu::target("avx2")]] void add_avx2(std::size_t begin, std::size_t end, const Terms& terms) {
        add_blocks<true>(begin, end, terms);
    }

    // Both must follow the same plan.
    void merge(const ExactSums& other) {
        for (std::size_t k = 0; k < K; ++k) {
            rest_[k].merge(other.rest_[k]);
            for (int l = 0; l < levels; ++l)
                add_lanes(rest_[k], other.level_[k][l]);
        }
    }

    // Sum k, exactly, as an ExactSum.
    ExactSum exact(std::size_t k) const {
        ExactSum sum = rest_[k];
        for (int l = 0; l < levels; ++l)
            add_lanes(sum, level_[k][l]);
        return sum;
    }

    double rounded(std::size_t k) const { return exact(k).rounded(); }
    double divided(std::size_t k, double n) const { return exact(k).divided(n); }

  private:
    static constexpr std::size_t block_size = 64;
    // Each level's partial sums, in lanes of whatever width the loop has.
    static constexpr std::size_t lanes = 8;
    using Lanes = std::array<double, lanes>;

    static void add_lanes(ExactSum& sum, const Lanes& l) {
        for (double x : l)
            sum.add(x);
    }

    template <bool wide, class Terms>
    [[gnu::always_inline]] void add_blocks(std::size_t begin, std::size_t end, const Terms& terms) {
        alignas(32) double block[K][block_size];
        while (begin < end) {
            const std::size_t count = std::min(block_size, end - begin);
            for (std::size_t j = 0; j < count; ++j) {
                const std::array<double, K> t = terms(begin + j);
                for (std::size_t k = 0; k < K; ++k)
                    block[k][j] = t[k];
            }
            for (std::size_t k = 0; k < K; ++k) {
                for (std::size_t j = count; j < block_size; ++j)
                    block[k][j] = 0.0;
                if (plan_.bound[k] == 0.0) {
                    for (std::size_t j = 0; j < block_size; ++j)
                        rest_[k].add(block[k][j]);
                } else if constexpr (wide) {
                    add_block<Wide>(k, block[k]);
                } else {
                    add_block<Narrow>(k, block[k]);
                }
            }
            begin += count;
            added_ += count;
            if (added_ >= flush_every) flush();
        }
    }

    // The levels of sum k take the block's terms, V's width at a time (the
    // baseline's two doubles, or AVX2's four); what they cannot take, the
    // ExactSum does, in a second look at the block only when needed.
    using Narrow = double __attribute__((vector_size(16)));
    using Wide = double __attribute__((vector_size(32)));

    template <class V>
    [[gnu::always_inline]] void add_block(std::size_t k, const double* x) {
        constexpr std::size_t width = sizeof(V) / sizeof(double);
        constexpr std::size_t per_level = lanes / width;
        const double bound = plan_.bound[k];
        const auto& sigma = plan_.sigma[k];
        const V zero{};
        const V lim = zero + bound;
        V s[levels];
        for (int l = 0; l < levels; ++l)
            s[l] = zero + sigma[l];
        V sum[levels][per_level];
        for (int l = 0; l < levels; ++l)
            __builtin_memcpy(sum[l], level_[k][l].data(), sizeof sum[l]);
        using Mask = decltype(zero < zero);
        const Mask magnitude_bits = Mask{} + 0x7fffffffffffffffLL;
        Mask missed{};
        for (std::size_t j = 0; j < block_size; j += lanes) {
            for (std::size_t p = 0; p < per_level; ++p) {
                V v;
                __builtin_memcpy(&v, x + j + p * width, sizeof v);
                // Lanes whose term is above the bound (or NaN) take nothing.
                const Mask inside = __builtin_bit_cast(V, __builtin_bit_cast(Mask, v) & magnitude_bits) <= lim;
                v = inside ? v : zero;
                for (int l = 0; l < levels; ++l) {
                    const V q = (s[l] + v) - s[l];
                    v = v - q;
                    sum[l][p] += q;
                }
                missed |= ~inside | (v != zero);
            }
        }
        for (int l = 0; l < levels; ++l)
            __builtin_memcpy(level_[k][l].data(), sum[l], sizeof sum[l]);
        bool any = false;
        for (std::size_t i = 0; i < width; ++i)
            any |= missed[i] != 0;
        if (!any) [[likely]]
            return;
        // The same operations per term, to find what the levels left.
        for (std::size_t j = 0; j < block_size; ++j) {
            double v = x[j];
            if (!(std::fabs(v) <= bound)) {
                rest_[k].add(v);
                continue;
            }
            for (int l = 0; l < levels; ++l)
                v = v - ((sigma[l] + v) - sigma[l]);
            if (v != 0.0) rest_[k].add(v);
        }
    }

    // Moves the levels into the ExactSums, so that the levels' sums stay
    // below their sigmas however many items one object takes.
    void flush() {
        for (std::size_t k = 0; k < K; ++k) {
            for (Lanes& l : level_[k]) {
                add_lanes(rest_[k], l);
                l = {};
            }
        }
        added_ = 0;
    }

    Plan plan_;
    std::array<std::array<Lanes, levels>, K> level_{};
    std::array<ExactSum, K> rest_;
    std::size_t added_ = 0;
};

// Bounds for a plan: four times the largest magnitude of each sum's terms
// among up to 256 evenly spaced items of [0, n). Only speed depends on them,
// and they are the same whatever the split of the items.
template <std::size_t K, class Terms>
std::array<double, K> sampled_bounds(std::size_t n, const Terms& terms) {
    std::array<double, K> bound{};
    const std::size_t samples = std::min<std::size_t>(n, 256);
    for (std::size_t j = 0; j < samples; ++j) {
        const std::array<double, K> t = terms(j * n / samples);
        for (std::size_t k = 0; k < K; ++k)
            bound[k] = std::max(bound[k], std::fabs(t[k]));
    }
    for (double& b : bound)
        b *= 4.0;
    return bound;
}

} // namespace drovak
