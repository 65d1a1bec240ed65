#pragma once
// The k nearest points of a point of the index itself, the same answer as
// k_nearest gives for it, found with less work: the query's leaf is known
// from its position, so the search starts there rather than at the root.
// The smallest subtree around the query that holds k points fills the k
// best at once, which bounds the rest; then the other child of every
// ancestor is searched, from the query's outwards, while within the bound.
// The searches' tests are written to compile without branches where the
// outcome is a coin toss (which points of a leaf are within the bound, which
// side of a box the query is on), since a mispredicted branch costs more
// than the instructions it saves.

#include "drovak/index/nearest.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>

namespace drovak::index {

namespace detail {

// The nearest points met so far, sorted (FewBest), offered a leaf's points
// in one go.
struct Nearest : FewBest<closer> {
    // Offers the points of [begin, end) within the bound. A leaf's points
    // are measured first and the few within the bound marked, so that the
    // test of each costs no branch; only the marked ones are offered.
    template <class Index>
    void scan(const Tree<Index>& t, const Vec3d& q, std::size_t begin, std::size_t end) {
        constexpr std::size_t batch = 64;
        double d2[batch];
        for (; begin < end; begin += batch) {
            const std::size_t count = std::min(end - begin, batch);
            std::uint64_t in = 0;
            for (std::size_t i = 0; i < count; ++i) {
                d2[i] = t.points[begin + i].distance_squared(q);
                in |= std::uint64_t{d2[i] <= worst} << i;
            }
            for (; in != 0; in &= in - 1) {
                const auto i = static_cast<std::size_t>(std::countr_zero(in));
                if (!(d2[i] > worst)) offer({t.indices[begin + i], d2[i]});
            }
        }
    }
};

// Offers the points of the subtree under node v, whose box is within the
// bound: down the nearer child, the other put by with its own bound,
// which is looked at again when its turn comes, the bound having shrunk.
template <class Index>
void collect(const Tree<Index>& t, const Vec3d& q, std::size_t v, Nearest& found) {
    const std::size_t first_leaf = (std::size_t{1} << t.depth) - 1;
    struct Pending {
        std::size_t node;
        double bound;
    };
    Pending stack[std::numeric_limits<std::size_t>::digits + 1];
    std::size_t top = 0;
    for (;;) {
        bool pruned = false;
        while (v < first_leaf) {
            std::size_t near = 2 * v + 1, far = 2 * v + 2;
            double near_bound = lower_bound(t.boxes[near], q), far_bound = lower_bound(t.boxes[far], q);
            if (far_bound < near_bound) {
                std::swap(near, far);
                std::swap(near_bound, far_bound);
            }
            if (!(far_bound > found.worst)) stack[top++] = {far, far_bound};
            if (near_bound > found.worst) {
                pruned = true;
                break;
            }
            v = near;
        }
        if (!pruned) {
            const std::size_t j = v - first_leaf;
            found.scan(t, q, t.begin(t.depth, j), t.begin(t.depth, j + 1));
        }
        do {
            if (top == 0) return;
            v = stack[--top].node;
        } while (stack[top].bound > found.worst);
    }
}

// The leaf that holds the finite point at `position` of the tree's order:
// the last whose first point is at or before it.
template <class Index>
std::size_t leaf_of(const Tree<Index>& t, std::size_t position) {
    return static_cast<std::size_t>(((static_cast<unsigned __int128>(position + 1) << t.depth) - 1) /
                                    static_cast<unsigned __int128>(t.count));
}

// Searches node j of `level` whole, then the other child of every ancestor,
// from the node outwards, while within the bound.
template <class Index>
void outwards(const Tree<Index>& t, const Vec3d& q, std::size_t level, std::size_t j, Nearest& found) {
    found.scan(t, q, t.begin(level, j), t.begin(level, j + 1));
    for (; level > 0; --level, j >>= 1) {
        const std::size_t other = (std::size_t{1} << level) - 1 + (j ^ 1);
        if (!(lower_bound(t.boxes[other], q) > found.worst)) collect(t, q, other, found);
    }
}

} // namespace detail

// Writes the min(k, t.n) nearest points of the finite point at `position`
// (below t.count) of the tree's order to `out`, first to last, exactly as
// k_nearest(t, t.points[position], ...) does, and returns how many. `room`
// is room for min(k, t.n) neighbours.
template <class Index>
std::size_t k_nearest_at(const Tree<Index>& t, std::size_t position, std::size_t k, Neighbour* room, Neighbour* out) {
    const std::size_t wanted = std::min(k, t.n);
    if (wanted == 0) return 0;
    const Vec3d q = t.points[position];
    detail::Nearest found{{room, std::min(wanted, t.count)}};
    // The query's leaf, and its smallest ancestor with enough points: all
    // of them are candidates.
    std::size_t level = t.depth;
    std::size_t j = detail::leaf_of(t, position);
    while (t.begin(level, j + 1) - t.begin(level, j) < found.capacity) {
        --level;
        j >>= 1;
    }
    detail::outwards(t, q, level, j, found);
    return detail::merge_apart(t, q, wanted, room, found.capacity, out, [](const Neighbour&) { return true; });
}

// The same answer as k_nearest_within(t, q, k, limit, ...) for a finite q,
// searched from the leaf of the finite point at `position` outwards: for a
// query near that point (a moved point's last partner), whose leaf then
// holds the answer or bounds it closely. For few neighbours.
template <class Index>
std::size_t k_nearest_within_from(const Tree<Index>& t, std::size_t position, const Vec3d& q, std::size_t k,
                                  double limit, Neighbour* room, Neighbour* out) {
    const std::size_t wanted = std::min(k, t.n);
    if (wanted == 0) return 0;
    detail::Nearest found{{room, std::min(wanted, t.count), 0, limit}};
    detail::outwards(t, q, t.depth, detail::leaf_of(t, position), found);
    return detail::merge_apart(t, q, wanted, room, found.size, out, [&](const Neighbour& c) { return c.d2 <= limit; });
}

} // namespace drovak::index
