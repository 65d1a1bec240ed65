#pragma once
// What the outlier filters ask of each point's neighbourhood: the mean
// distance to its k nearest other points, and whether enough other points
// lie within a radius. A point is excluded from its own neighbours once;
// among points that coincide, any of them would do, since they are all at
// distance zero.

#include "drovak/index/tree.hpp"
#include "drovak/index/within.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace drovak::cloud {

// The mean distance from a point to its k nearest other points, given its
// k + 1 nearest (`got` of them, nearest first, itself among them unless k + 1
// points coincide with it), summed nearest first.
inline double mean_distance(std::uint64_t self, const index::Neighbour* found, std::size_t got, std::size_t k) {
    // The first k that are not the point itself (once).
    std::size_t skip = got;
    for (std::size_t j = 0; j < got; ++j) {
        if (found[j].index == self) {
            skip = j;
            break;
        }
    }
    const std::size_t end = std::min(got, skip < k ? k + 1 : k);
    // Their roots, taken in a loop of their own (which runs two at a
    // time), summed in order.
    double sum = 0.0;
    constexpr std::size_t chunk = 32;
    double roots[chunk];
    for (std::size_t from = 0; from < end; from += chunk) {
        const std::size_t m = std::min(chunk, end - from);
        for (std::size_t t = 0; t < m; ++t)
            roots[t] = std::sqrt(found[from + t].d2);
        for (std::size_t t = 0; t < m; ++t)
            sum += from + t == skip ? 0.0 : roots[t];
    }
    return sum / static_cast<double>(k);
}

// Whether at least `wanted` points other than `self` lie within `radius`
// (not NaN) of q.
template <class Index>
bool has_neighbours(const index::Tree<Index>& t, std::uint64_t self, const Vec3d& q, double radius,
                    std::uint64_t wanted) {
    std::uint64_t count = 0;
    index::within(t, q, radius, [&](std::uint64_t i) { count += i != self; });
    return count >= wanted;
}

} // namespace drovak::cloud
