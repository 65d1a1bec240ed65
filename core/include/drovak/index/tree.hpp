#pragma once
// The layout of a point index: a 3-d tree over the finite points, kept as a
// complete binary tree in an implicit, heap-ordered array of boxes, with the
// points themselves stored in tree order so that every node's points are one
// contiguous run. Points with a NaN or infinite component are kept apart,
// after the finite ones: no box can hold them, and every query orders them
// by a rule of their own.
//
// Everything here is a view over arrays that the caller owns.

#include "drovak/index/bounds.hpp"
#include "drovak/order.hpp"
#include "drovak/vec3d.hpp"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace drovak::index {

// The most points a leaf holds: a leaf is scanned whole, so small leaves
// prune finely while large ones spend less on boxes, whose bounds cost more
// than a point's distance and prune by coin tosses: 24 (leaves of 12 to 24
// points) makes the searches of 8 and 20 neighbours a tenth faster than 12
// did, and the nearest one as fast.
inline constexpr std::size_t leaf_size = 24;

// The depth of the tree over `count` finite points: the smallest at which
// every leaf holds at most leaf_size points (and at least half that, since
// the points are spread evenly over the leaves).
inline std::size_t depth_for(std::size_t count) {
    std::size_t depth = 0;
    while ((count >> depth) + ((count & ((std::size_t{1} << depth) - 1)) != 0) > leaf_size)
        ++depth;
    return depth;
}

// The number of nodes of a tree of that depth.
inline std::size_t node_count(std::size_t depth) { return (std::size_t{2} << depth) - 1; }

// A point's squared distance and its position in the points as given.
struct Neighbour {
    std::uint64_t index;
    double d2;
};

// a before b: the smaller squared distance, then the lower index.
inline bool before(const Neighbour& a, const Neighbour& b) {
    const std::int64_t ka = order_key(a.d2);
    const std::int64_t kb = order_key(b.d2);
    return ka < kb || (ka == kb && a.index < b.index);
}

// Index is the type of the stored positions: 32 bits whenever the points
// fit, which keeps the index small.
template <class Index>
struct Tree {
    // All n points: the `count` finite ones in tree order, then those with
    // an infinite component (none NaN), then those with a NaN component,
    // each of these two groups in ascending position.
    const Vec3d* points = nullptr;
    const Index* indices = nullptr;
    std::size_t n = 0;
    std::size_t count = 0;
    std::size_t infinite = 0;
    // node_count(depth) boxes, the root first and the children of node v at
    // 2v + 1 and 2v + 2; level l holds nodes 2^l - 1 to 2^(l+1) - 2.
    const Box* boxes = nullptr;
    std::size_t depth = 0;

    // The first point of the j-th node of level l: the points are cut
    // evenly, so both children of a node begin where the cut puts them.
    std::size_t begin(std::size_t level, std::size_t j) const {
        return static_cast<std::size_t>((static_cast<unsigned __int128>(count) * j) >> level);
    }
};

inline bool finite(const Vec3d& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// A key under which queries near each other sort near each other: the
// Morton code of the query's cell in a grid of 2^21 cells a side over
// `box`, whose queries then meet the same nodes while they are in cache.
// Queries outside the box take the nearest cell; NaN takes the first.
inline std::uint64_t locality_key(const Box& box, const Vec3d& q) {
    constexpr double cells = 1 << 21;
    const auto cell = [](double v, double lo, double hi) -> std::uint64_t {
        const double t = (v - lo) / (hi - lo) * cells;
        if (!(t > 0.0)) return 0;
        return t >= cells ? (1 << 21) - 1 : static_cast<std::uint64_t>(t);
    };
    // Spreads the 21 bits of c to every third bit.
    const auto spread = [](std::uint64_t c) {
        c = (c | c << 32) & 0x1f00000000ffffULL;
        c = (c | c << 16) & 0x1f0000ff0000ffULL;
        c = (c | c << 8) & 0x100f00f00f00f00fULL;
        c = (c | c << 4) & 0x10c30c30c30c30c3ULL;
        return (c | c << 2) & 0x1249249249249249ULL;
    };
    return spread(cell(q.x, box.lo.x, box.hi.x)) | spread(cell(q.y, box.lo.y, box.hi.y)) << 1 |
           spread(cell(q.z, box.lo.z, box.hi.z)) << 2;
}

} // namespace drovak::index
