#pragma once
// The walk's inner loops over eight points at a time, for processors with
// AVX-512: each measures as the walk's own loops do (lower_bound and
// distance_squared, the same operations in the same order, so the same
// bits), and packs the points it keeps with one compress instead of a store
// per point. Every store writes eight doubles at the count kept so far: the
// arrays stored to have room for eight past the most that the walk lets them
// hold. Loads past the end of a range are masked off and touch nothing.

#include "drovak/index/tree.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace drovak::index::avx512 {

#if defined(__x86_64__)

inline const bool supported =
    (__builtin_cpu_init(),
     __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"));

#define DROVAK_AVX512 gnu::target("avx512f,avx512dq,avx512vl")

namespace detail {

struct Eight {
    __m512d x, y, z;
};

// The lanes below m (up to eight).
[[DROVAK_AVX512, gnu::always_inline]] inline __mmask8 lanes(std::size_t m) {
    return m >= 8 ? __mmask8{0xff} : static_cast<__mmask8>((1u << m) - 1);
}

// One coordinate's lanes, picked from a and b (indices 0-15), then with
// those from c (indices 8-15).
[[DROVAK_AVX512, gnu::always_inline]] inline __m512d pick(__m512d a, __m512d b, __m512d c, __m512i from_ab,
                                                          __m512i from_c) {
    return _mm512_permutex2var_pd(_mm512_permutex2var_pd(a, from_ab, b), from_c, c);
}

// The first m (up to eight) of the points at p, a coordinate to a register,
// zero in the lanes past m.
[[DROVAK_AVX512, gnu::always_inline]] inline Eight load(const Vec3d* p, std::size_t m) {
    const double* d = &p->x;
    const std::uint32_t in = m >= 8 ? 0xffffffu : (1u << (3 * m)) - 1;
    const __m512d a = _mm512_maskz_loadu_pd(static_cast<__mmask8>(in), d);
    const __m512d b = _mm512_maskz_loadu_pd(static_cast<__mmask8>(in >> 8), d + 8);
    const __m512d c = _mm512_maskz_loadu_pd(static_cast<__mmask8>(in >> 16), d + 16);
    return {pick(a, b, c, _mm512_setr_epi64(0, 3, 6, 9, 12, 15, 0, 0), _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 10, 13)),
            pick(a, b, c, _mm512_setr_epi64(1, 4, 7, 10, 13, 0, 0, 0), _mm512_setr_epi64(0, 1, 2, 3, 4, 8, 11, 14)),
            pick(a, b, c, _mm512_setr_epi64(2, 5, 8, 11, 14, 0, 0, 0), _mm512_setr_epi64(0, 1, 2, 3, 4, 9, 12, 15))};
}

[[DROVAK_AVX512, gnu::always_inline]] inline __m512d positions(const std::uint32_t* i, __mmask8 m) {
    return _mm512_maskz_cvtepu32_pd(m, _mm256_maskz_loadu_epi32(m, i));
}

[[DROVAK_AVX512, gnu::always_inline]] inline __m512d positions(const std::uint64_t* i, __mmask8 m) {
    return _mm512_maskz_cvtepu64_pd(m, _mm512_maskz_loadu_epi64(m, i));
}

// (x * x + y * y) + z * z, as Vec3d::dot.
[[DROVAK_AVX512, gnu::always_inline]] inline __m512d dot(__m512d x, __m512d y, __m512d z) {
    return _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(x, x), _mm512_mul_pd(y, y)), _mm512_mul_pd(z, z));
}

// The gap along one axis, as squared_gaps takes it (the maxima through
// their zero-masked form, in all lanes, which is the same instruction
// without the unset operand that the plain form's builtin passes).
[[DROVAK_AVX512, gnu::always_inline]] inline __m512d gap(__m512d p, double lo, double hi) {
    const __m512d zero = _mm512_setzero_pd();
    return _mm512_add_pd(_mm512_maskz_max_pd(0xff, _mm512_sub_pd(_mm512_set1_pd(lo), p), zero),
                         _mm512_maskz_max_pd(0xff, _mm512_sub_pd(p, _mm512_set1_pd(hi)), zero));
}

[[DROVAK_AVX512, gnu::always_inline]] inline std::size_t count(__mmask8 m) {
    return static_cast<std::size_t>(__builtin_popcount(m));
}

// The lanes of v that `in` keeps, packed to the start of eight doubles at to.
[[DROVAK_AVX512, gnu::always_inline]] inline void put(__mmask8 in, __m512d v, double* to) {
    _mm512_storeu_pd(to, _mm512_maskz_compress_pd(in, v));
}

} // namespace detail

// Appends the points of [begin, end) of the tree with lower_bound(b, p) at
// most `reach`, their coordinates to x, y, z and positions to id, at `at`,
// and returns the new count.
template <class Index>
[[DROVAK_AVX512]] std::size_t near_box(const Tree<Index>& t, std::size_t begin, std::size_t end, const Box& b,
                                       double reach, double* x, double* y, double* z, double* id, std::size_t at) {
    const __m512d r = _mm512_set1_pd(reach);
    for (std::size_t i = begin; i < end; i += 8) {
        const __mmask8 valid = detail::lanes(end - i);
        const detail::Eight p = detail::load(t.points + i, end - i);
        const __m512d bound = detail::dot(detail::gap(p.x, b.lo.x, b.hi.x), detail::gap(p.y, b.lo.y, b.hi.y),
                                          detail::gap(p.z, b.lo.z, b.hi.z));
        const __mmask8 in = _mm512_mask_cmp_pd_mask(valid, bound, r, _CMP_LE_OQ);
        detail::put(in, p.x, x + at);
        detail::put(in, p.y, y + at);
        detail::put(in, p.z, z + at);
        detail::put(in, detail::positions(t.indices + i, valid), id + at);
        at += detail::count(in);
    }
    return at;
}

// Appends the squared distances to q of the points of [begin, end) of the
// tree that are at most `limit`, and their positions, at `at`; returns the
// new count.
template <class Index>
[[DROVAK_AVX512]] std::size_t near_point(const Tree<Index>& t, std::size_t begin, std::size_t end, const Vec3d& q,
                                         double limit, double* d2, double* id, std::size_t at) {
    const __m512d qx = _mm512_set1_pd(q.x), qy = _mm512_set1_pd(q.y), qz = _mm512_set1_pd(q.z);
    const __m512d l = _mm512_set1_pd(limit);
    for (std::size_t i = begin; i < end; i += 8) {
        const __mmask8 valid = detail::lanes(end - i);
        const detail::Eight p = detail::load(t.points + i, end - i);
        const __m512d d = detail::dot(_mm512_sub_pd(p.x, qx), _mm512_sub_pd(p.y, qy), _mm512_sub_pd(p.z, qz));
        const __mmask8 in = _mm512_mask_cmp_pd_mask(valid, d, l, _CMP_LE_OQ);
        detail::put(in, d, d2 + at);
        detail::put(in, detail::positions(t.indices + i, valid), id + at);
        at += detail::count(in);
    }
    return at;
}

// The same over n points given by coordinates x, y, z and positions id,
// from the start of d2 and index; returns how many.
[[DROVAK_AVX512]] inline std::size_t keep_near(const double* x, const double* y, const double* z, const double* id,
                                               std::size_t n, const Vec3d& q, double limit, double* d2, double* index) {
    const __m512d qx = _mm512_set1_pd(q.x), qy = _mm512_set1_pd(q.y), qz = _mm512_set1_pd(q.z);
    const __m512d l = _mm512_set1_pd(limit);
    std::size_t size = 0;
    for (std::size_t i = 0; i < n; i += 8) {
        const __mmask8 valid = detail::lanes(n - i);
        const __m512d dx = _mm512_sub_pd(_mm512_maskz_loadu_pd(valid, x + i), qx);
        const __m512d dy = _mm512_sub_pd(_mm512_maskz_loadu_pd(valid, y + i), qy);
        const __m512d dz = _mm512_sub_pd(_mm512_maskz_loadu_pd(valid, z + i), qz);
        const __m512d d = detail::dot(dx, dy, dz);
        const __mmask8 in = _mm512_mask_cmp_pd_mask(valid, d, l, _CMP_LE_OQ);
        detail::put(in, d, d2 + size);
        detail::put(in, _mm512_maskz_loadu_pd(valid, id + i), index + size);
        size += detail::count(in);
    }
    return size;
}

// rank[i]: how many of d2[0, n) are less than d2[i], for i below n rounded
// up to four; d2 padded with NaNs (less than nothing, and nothing less than
// them) to n rounded up to eight.
[[DROVAK_AVX512]] inline void count_nearer(const double* d2, std::size_t n, std::size_t* rank) {
    for (std::size_t i = 0; i < n; i += 4) {
        __m512d row[4];
        std::size_t before[4] = {};
        for (int r = 0; r < 4; ++r)
            row[r] = _mm512_set1_pd(d2[i + r]);
        for (std::size_t j = 0; j < n; j += 8) {
            const __m512d column = _mm512_loadu_pd(d2 + j);
            for (int r = 0; r < 4; ++r)
                before[r] += detail::count(_mm512_cmp_pd_mask(column, row[r], _CMP_LT_OQ));
        }
        for (int r = 0; r < 4; ++r)
            rank[i + r] = before[r];
    }
}

#undef DROVAK_AVX512

#else

inline constexpr bool supported = false;

#endif

} // namespace drovak::index::avx512
