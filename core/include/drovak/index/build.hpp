#pragma once
// Building the tree: each node's box is the tight bounds of its points, and
// a node is cut at its middle position along its box's widest axis (the
// lowest axis among equals). A node's split depends on its points alone, so
// the tree is the same however many threads build it.

#include "drovak/index/tree.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>

namespace drovak::index {

// A finite point with its position, while the tree is being built.
template <class Index>
struct Entry {
    Vec3d p;
    Index index;
};

// The sizes of an index over given points: how many are finite and how many
// have an infinite component (and no NaN), and the depth of the tree.
struct Plan {
    std::size_t n = 0;
    std::size_t count = 0;
    std::size_t infinite = 0;
    std::size_t depth = 0;
};

inline Plan plan(const Vec3d* input, std::size_t n) {
    Plan p{n, 0, 0, 0};
    for (std::size_t i = 0; i < n; ++i) {
        const Vec3d& v = input[i];
        if (finite(v)) {
            ++p.count;
        } else if (!std::isnan(v.x) && !std::isnan(v.y) && !std::isnan(v.z)) {
            ++p.infinite;
        }
    }
    p.depth = depth_for(p.count);
    return p;
}

namespace detail {

template <class Index>
Box box_of(const Entry<Index>* first, const Entry<Index>* last) {
    Box b{first->p, first->p};
    for (const Entry<Index>* e = first + 1; e < last; ++e) {
        b.lo = {std::min(b.lo.x, e->p.x), std::min(b.lo.y, e->p.y), std::min(b.lo.z, e->p.z)};
        b.hi = {std::max(b.hi.x, e->p.x), std::max(b.hi.y, e->p.y), std::max(b.hi.z, e->p.z)};
    }
    return b;
}

// Gives node v (the j-th of level l) its box and, above the leaves, puts
// its lower half along the widest axis before its upper half.
template <class Index>
void split(const Tree<Index>& t, Box* boxes, Entry<Index>* entries, std::size_t l, std::size_t j) {
    const std::size_t v = (std::size_t{1} << l) - 1 + j;
    Entry<Index>* first = entries + t.begin(l, j);
    Entry<Index>* last = entries + t.begin(l, j + 1);
    const Box b = box_of(first, last);
    boxes[v] = b;
    if (l == t.depth) return;
    const Vec3d extent = b.hi - b.lo;
    Entry<Index>* middle = entries + t.begin(l + 1, 2 * j + 1);
    using E = const Entry<Index>&;
    if (extent.x >= extent.y && extent.x >= extent.z) {
        std::nth_element(first, middle, last, [](E a, E c) { return a.p.x < c.p.x; });
    } else if (extent.y >= extent.z) {
        std::nth_element(first, middle, last, [](E a, E c) { return a.p.y < c.p.y; });
    } else {
        std::nth_element(first, middle, last, [](E a, E c) { return a.p.z < c.p.z; });
    }
}

template <class Index>
void build_subtree(const Tree<Index>& t, Box* boxes, Entry<Index>* entries, std::size_t l, std::size_t j) {
    split(t, boxes, entries, l, j);
    if (l == t.depth) return;
    build_subtree(t, boxes, entries, l + 1, 2 * j);
    build_subtree(t, boxes, entries, l + 1, 2 * j + 1);
}

} // namespace detail

// Levels cut one at a time, each node a task, before whole subtrees become
// the tasks: enough of them for the threads to share out evenly.
inline constexpr std::size_t shared_levels = 6;

// Builds the index of p.n points into arrays sized by the plan: `points`
// and `indices` of p.n, `boxes` of node_count(p.depth), and `entries` of
// p.count as room to work in. run(tasks, weight, f) calls f(k) for every k
// in [0, tasks), in any order and on any threads, each task weighing about
// `weight` point visits.
template <class Index, class Run>
Tree<Index> build(const Plan& p, const Vec3d* input, Vec3d* points, Index* indices, Box* boxes, Entry<Index>* entries,
                  Run&& run) {
    Tree<Index> t{points, indices, p.n, p.count, p.infinite, boxes, p.depth};
    std::size_t finite_at = 0;
    std::size_t infinite_at = p.count;
    std::size_t nan_at = p.count + p.infinite;
    for (std::size_t i = 0; i < p.n; ++i) {
        const Vec3d& v = input[i];
        const auto index = static_cast<Index>(i);
        if (finite(v)) {
            entries[finite_at++] = {v, index};
        } else {
            const std::size_t at = std::isnan(v.x) || std::isnan(v.y) || std::isnan(v.z) ? nan_at++ : infinite_at++;
            points[at] = v;
            indices[at] = index;
        }
    }
    if (p.count == 0) return t;
    const std::size_t top = std::min(p.depth, shared_levels);
    for (std::size_t l = 0; l < top; ++l) {
        run(std::size_t{1} << l, p.count >> l, [&](std::size_t j) { detail::split(t, boxes, entries, l, j); });
    }
    run(std::size_t{1} << top, p.count >> top,
        [&](std::size_t j) { detail::build_subtree(t, boxes, entries, top, j); });
    run(std::size_t{1} << top, p.count >> top, [&](std::size_t j) {
        for (std::size_t i = t.begin(top, j); i < t.begin(top, j + 1); ++i) {
            points[i] = entries[i].p;
            indices[i] = entries[i].index;
        }
    });
    return t;
}

} // namespace drovak::index
