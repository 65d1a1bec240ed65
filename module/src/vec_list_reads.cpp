// VecList's selections, reductions and search: what reads a whole list to
// pick elements or to give one answer.

#include "bind/buffer.hpp"
#include "drovak/exact_sum.hpp"
#include "drovak/order.hpp"
#include "pool.hpp"
#include "vec_list.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>

namespace lumora {

using drovak::order_key;
using drovak::total_order_key;
using drovak::Vec3d;
using pool::Cost;
using Vectors = Array<Vec3d>;

// ---------------------------------------------------------------- selections

// The elements at `indices`, in their order. Every position is checked in the
// same pass that reads it (a buffer of positions may be written by another
// thread meanwhile, so checking first would not make the reads safe); a bad
// one reads element 0 instead and fails the call once the pass is over.
VecList take(const VecList& v, const bind::Indices& indices) {
    const std::size_t n = v.vectors.size();
    const std::size_t m = indices.size();
    // Before anything is reserved: a range's items are known from its ends.
    const bool range_outside = indices.is_range() && m > 0 && (m > n || indices.largest() >= n);
    std::atomic<bool> outside = range_outside || (m > 0 && n == 0);
    Vectors taken;
    if (!outside.load(std::memory_order_relaxed)) {
        const Vec3d* data = v.vectors.data();
        taken = indices.visit([&](auto at) {
            return pool::generate(m, Cost::stream, [&outside, data, n, at](std::size_t i) {
                const std::uint64_t k = at(i);
                if (k >= n) [[unlikely]] {
                    outside.store(true, std::memory_order_relaxed);
                    return data[0];
                }
                return data[k];
            });
        });
    }
    if (outside.load(std::memory_order_relaxed)) {
        // As the unsigned rule would have refused a negative position before
        // any was looked up.
        if (indices.any_negative()) throw bind::Error{PyExc_OverflowError, "can't convert negative int to unsigned"};
        throw bind::Error{PyExc_IndexError, "Index out of bounds"};
    }
    return {std::move(taken)};
}

VecList compress(const VecList& v, const bind::Mask& mask) {
    const std::size_t n = v.vectors.size();
    if (mask.size() != n) {
        throw bind::Error{PyExc_ValueError, "argument 'mask': a mask of " + std::to_string(n) +
                                                " entries (one per element) is required, not " +
                                                std::to_string(mask.size())};
    }
    return {pool::compress(v.vectors, Cost::stream, [&mask](std::size_t i) { return mask[i]; })};
}

// ---------------------------------------------------------------- reductions

namespace {

// One exact sum per component, merged in index order.
struct Sums {
    drovak::ExactSum x, y, z;
};

Sums sums(const VecList& v) {
    const Vec3d* data = v.vectors.data();
    return pool::reduce(
        v.vectors.size(), Cost::stream,
        [data](std::size_t begin, std::size_t end) {
            Sums s;
            for (std::size_t i = begin; i < end; ++i) {
                s.x.add(data[i].x);
                s.y.add(data[i].y);
                s.z.add(data[i].z);
            }
            return s;
        },
        [](Sums& left, const Sums& right) {
            left.x.merge(right.x);
            left.y.merge(right.y);
            left.z.merge(right.z);
        });
}

} // namespace

Vec3d sum(const VecList& v) {
    const Sums s = sums(v);
    return {s.x.rounded(), s.y.rounded(), s.z.rounded()};
}

Vec3d mean(const VecList& v) {
    const std::size_t n = v.vectors.size();
    if (n == 0) throw bind::Error{PyExc_ValueError, "mean() arg is an empty VecList"};
    const Sums s = sums(v);
    const auto count = static_cast<double>(n);
    return {s.x.divided(count), s.y.divided(count), s.z.divided(count)};
}

// Doubles as integers in the IEEE total order (-0.0 just below +0.0), where
// the bounds are plain integer minima and maxima, whatever the order. A NaN
// is skipped: it counts as the largest key for the minimum and the smallest
// for the maximum, which are left only by a component that is NaN throughout.
namespace {

constexpr std::int64_t no_min = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t no_max = std::numeric_limits<std::int64_t>::min();

inline double from_key(std::int64_t key) {
    if (key == no_min || key == no_max) return std::numeric_limits<double>::quiet_NaN();
    return std::bit_cast<double>(key < 0 ? key ^ std::numeric_limits<std::int64_t>::max() : key);
}

struct Box {
    std::int64_t lo[3] = {no_min, no_min, no_min};
    std::int64_t hi[3] = {no_max, no_max, no_max};
};

} // namespace

std::pair<Vec3d, Vec3d> bounds(const VecList& v) {
    const std::size_t n = v.vectors.size();
    if (n == 0) throw bind::Error{PyExc_ValueError, "bounds() arg is an empty VecList"};
    const double* data = reinterpret_cast<const double*>(v.vectors.data());
    const Box box = pool::reduce(
        n, Cost::stream,
        [data](std::size_t begin, std::size_t end) {
            Box b;
            for (std::size_t i = begin; i < end; ++i) {
                for (std::size_t c = 0; c < 3; ++c) {
                    const double x = data[3 * i + c];
                    const std::int64_t key = total_order_key(x);
                    const bool nan = std::isnan(x);
                    b.lo[c] = std::min(b.lo[c], nan ? no_min : key);
                    b.hi[c] = std::max(b.hi[c], nan ? no_max : key);
                }
            }
            return b;
        },
        [](Box& left, const Box& right) {
            for (std::size_t c = 0; c < 3; ++c) {
                left.lo[c] = std::min(left.lo[c], right.lo[c]);
                left.hi[c] = std::max(left.hi[c], right.hi[c]);
            }
        });
    return {{from_key(box.lo[0]), from_key(box.lo[1]), from_key(box.lo[2])},
            {from_key(box.hi[0]), from_key(box.hi[1]), from_key(box.hi[2])}};
}

// ---------------------------------------------------------------- search

// A searched position and its squared distance, with the key that orders
// it: IEEE total order among numbers, and every NaN after every number and
// equal to every other NaN, whatever its sign bit.
namespace {

struct Candidate {
    std::uint64_t index;
    std::int64_t key;
    double d2;
};

inline bool better(const Candidate& a, const Candidate& b) { return a.key < b.key; }

} // namespace

std::pair<std::uint64_t, double> minimum_distance_to(const VecList& v, const Vec3d& other, std::uint64_t stride) {
    if (stride == 0) throw bind::Error{PyExc_ValueError, "stride must not be zero"};
    const std::size_t n = v.vectors.size();
    if (n == 0) throw bind::Error{PyExc_ValueError, "minimum_distance_to() arg is an empty VecList"};
    const Vec3d* data = v.vectors.data();
    const Vec3d o = other;
    const auto at = [data, o](std::size_t i) {
        const double d2 = data[i].distance_squared(o);
        return Candidate{i, order_key(d2), d2};
    };
    // Coarse pass over every stride-th element, then every element of the
    // window around its winner: up to `stride` before it, `stride` - 1 after.
    const std::size_t samples = (n - 1) / stride + 1;
    const Candidate coarse =
        *pool::min_reduce(samples, Cost::stream, [&](std::size_t j) { return at(j * stride); }, better);
    const std::size_t b = coarse.index;
    const std::size_t lo = b >= stride ? b - stride : 0;
    const std::size_t hi = stride < n - b ? b + stride : n;
    const Candidate fine = *pool::min_reduce(hi - lo, Cost::stream, [&](std::size_t j) { return at(lo + j); }, better);
    return {fine.index, std::sqrt(fine.d2)};
}

} // namespace lumora
