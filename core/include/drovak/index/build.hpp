#pragma once
// Building the tree: a node is cut at its middle position along the widest
// axis of its region (the lowest axis among equals), and every node's box is
// then the tight bounds of its points. A node's split depends on its points
// alone, so the tree is the same however many threads build it.

#include "drovak/index/tree.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
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

inline Box join(const Box& a, const Box& b) {
    return {{std::min(a.lo.x, b.lo.x), std::min(a.lo.y, b.lo.y), std::min(a.lo.z, b.lo.z)},
            {std::max(a.hi.x, b.hi.x), std::max(a.hi.y, b.hi.y), std::max(a.hi.z, b.hi.z)}};
}

// The entries of [first, last) with key(e) < pivot moved before the others;
// the end of those before. The two ends are scanned a block at a time,
// noting without a branch which entries are on the wrong side (the keys
// fall either way at random), and those are swapped in pairs; what is left
// between the blocks is partitioned one entry at a time.
template <class Index, class Key>
Entry<Index>* partition_below(Entry<Index>* first, Entry<Index>* last, double pivot, Key key) {
    constexpr std::size_t block = 64;
    unsigned char wrong_low[block];
    unsigned char wrong_high[block];
    std::size_t low_count = 0, low_at = 0, high_count = 0, high_at = 0;
    while (last - first > static_cast<std::ptrdiff_t>(2 * block)) {
        if (low_count == 0) {
            low_at = 0;
            for (std::size_t i = 0; i < block; ++i) {
                wrong_low[low_count] = static_cast<unsigned char>(i);
                low_count += !(key(first[i]) < pivot);
            }
        }
        if (high_count == 0) {
            high_at = 0;
            for (std::size_t i = 0; i < block; ++i) {
                wrong_high[high_count] = static_cast<unsigned char>(i);
                high_count += key(*(last - 1 - i)) < pivot;
            }
        }
        const std::size_t pairs = std::min(low_count, high_count);
        for (std::size_t i = 0; i < pairs; ++i)
            std::swap(first[wrong_low[low_at + i]], *(last - 1 - wrong_high[high_at + i]));
        low_count -= pairs;
        high_count -= pairs;
        low_at += pairs;
        high_at += pairs;
        if (low_count == 0) first += block;
        if (high_count == 0) last -= block;
    }
    return std::partition(first, last, [&](const Entry<Index>& e) { return key(e) < pivot; });
}

// Moves the entry that belongs at `middle` in key order there, the lesser
// ones before it and the greater after: partitions about the median of
// three keys, on the side that holds `middle`, until few are left. Where
// the pivot is the least key the entries equal to it are split off
// instead, so that every round takes something away; and where rounds run
// long (keys laid out against the pivots), std::nth_element finishes.
template <class Index, class Key>
void select_middle(Entry<Index>* first, Entry<Index>* middle, Entry<Index>* last, Key key) {
    for (std::size_t rounds = 2 * std::bit_width(static_cast<std::size_t>(last - first));
         rounds > 0 && last - first > 32; --rounds) {
        const auto n = static_cast<std::size_t>(last - first);
        const double a = key(first[0]), b = key(first[n / 2]), c = key(first[n - 1]);
        const double pivot = std::max(std::min(a, b), std::min(std::max(a, b), c));
        Entry<Index>* cut = partition_below(first, last, pivot, key);
        if (cut == first) {
            // Every key is at least the pivot: those equal to it go first.
            cut = partition_below(first, last, std::nextafter(pivot, INFINITY), key);
            if (middle < cut) return;
        }
        (middle < cut ? last : first) = cut;
    }
    std::nth_element(first, middle, last,
                     [&](const Entry<Index>& l, const Entry<Index>& r) { return key(l) < key(r); });
}

// Cuts node v, the j-th of level l above the leaves, whose region (a box
// holding its points, not always tightly) is in boxes[v]: its lower half
// along the region's widest axis goes before its upper half, and each
// child's region is the parent's cut at the middle point. The regions only
// choose the axes (as well as tight boxes would, and without a pass over
// the points per level); every box is made tight afterwards.
template <class Index>
void split(const Tree<Index>& t, Box* boxes, Entry<Index>* entries, std::size_t l, std::size_t j) {
    const std::size_t v = (std::size_t{1} << l) - 1 + j;
    Entry<Index>* first = entries + t.begin(l, j);
    Entry<Index>* last = entries + t.begin(l, j + 1);
    Entry<Index>* middle = entries + t.begin(l + 1, 2 * j + 1);
    Box lower = boxes[v], upper = boxes[v];
    const Vec3d extent = lower.hi - lower.lo;
    using E = const Entry<Index>&;
    if (extent.x >= extent.y && extent.x >= extent.z) {
        select_middle(first, middle, last, [](E e) { return e.p.x; });
        lower.hi.x = upper.lo.x = middle->p.x;
    } else if (extent.y >= extent.z) {
        select_middle(first, middle, last, [](E e) { return e.p.y; });
        lower.hi.y = upper.lo.y = middle->p.y;
    } else {
        select_middle(first, middle, last, [](E e) { return e.p.z; });
        lower.hi.z = upper.lo.z = middle->p.z;
    }
    boxes[2 * v + 1] = lower;
    boxes[2 * v + 2] = upper;
}

// Builds the subtree under node v (the j-th of level l), whose region is in
// boxes[v]: the leaves give their points to the tree, in order, and take
// their tight boxes; each node's tight box is its children's joined.
template <class Index>
void build_subtree(const Tree<Index>& t, Vec3d* points, Index* indices, Box* boxes, Entry<Index>* entries,
                   std::size_t l, std::size_t j) {
    const std::size_t v = (std::size_t{1} << l) - 1 + j;
    if (l == t.depth) {
        const std::size_t begin = t.begin(l, j), end = t.begin(l, j + 1);
        boxes[v] = box_of(entries + begin, entries + end);
        for (std::size_t i = begin; i < end; ++i) {
            points[i] = entries[i].p;
            indices[i] = entries[i].index;
        }
        return;
    }
    split(t, boxes, entries, l, j);
    build_subtree(t, points, indices, boxes, entries, l + 1, 2 * j);
    build_subtree(t, points, indices, boxes, entries, l + 1, 2 * j + 1);
    boxes[v] = join(boxes[2 * v + 1], boxes[2 * v + 2]);
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
    boxes[0] = detail::box_of(entries, entries + p.count);
    const std::size_t top = std::min(p.depth, shared_levels);
    for (std::size_t l = 0; l < top; ++l) {
        run(std::size_t{1} << l, p.count >> l, [&](std::size_t j) { detail::split(t, boxes, entries, l, j); });
    }
    run(std::size_t{1} << top, p.count >> top,
        [&](std::size_t j) { detail::build_subtree(t, points, indices, boxes, entries, top, j); });
    for (std::size_t l = top; l-- > 0;) {
        for (std::size_t v = (std::size_t{1} << l) - 1; v < (std::size_t{2} << l) - 1; ++v)
            boxes[v] = detail::join(boxes[2 * v + 1], boxes[2 * v + 2]);
    }
    return t;
}

} // namespace drovak::index
