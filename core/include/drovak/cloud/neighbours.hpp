#pragma once
// What the outlier filters ask of each point's neighbourhood: the mean
// distance to its k nearest other points, and whether enough other points
// lie within a radius. A point is excluded from its own neighbours once;
// among points that coincide, any of them would do, since they are all at
// distance zero.

#include "drovak/index/tree.hpp"
#include "drovak/index/within.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace drovak::cloud {

// The mean distance from a point to its k nearest other points, given its
// k + 1 nearest (`got` of them, nearest first, itself among them unless k + 1
// points coincide with it), summed nearest first.
inline double mean_distance(std::uint64_t self, const index::Neighbour* found, std::size_t got, std::size_t k) {
    double sum = 0.0;
    std::size_t used = 0;
    bool skipped = false;
    for (std::size_t j = 0; j < got && used < k; ++j) {
        if (!skipped && found[j].index == self) {
            skipped = true;
            continue;
        }
        sum += std::sqrt(found[j].d2);
        ++used;
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
