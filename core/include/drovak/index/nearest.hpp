#pragma once
// The k nearest points of a query, in the order of `before`: ascending
// squared distance, the lower position first among equals, NaN last. For a
// finite query the tree is searched and only then the points kept apart,
// whose squared distances are all infinite or NaN; a query with a NaN or
// infinite component has no useful geometry and is compared with every point.
// A bounded search keeps only points whose squared distance is at most a
// limit (see squared_limit), and prunes every node beyond it.

#include "drovak/index/tree.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <limits>

namespace drovak::index {

namespace detail {

// The order of `before` among numbers, which is all a finite query meets in
// the tree.
inline bool closer(const Neighbour& a, const Neighbour& b) {
    return a.d2 < b.d2 || (a.d2 == b.d2 && a.index < b.index);
}

// A max-heap of at most `capacity` candidates, its worst on top, and that
// worst's squared distance (the limit, infinite unless bounded, until the
// heap is full) at hand.
template <bool (*Less)(const Neighbour&, const Neighbour&)>
struct Best {
    Neighbour* heap;
    std::size_t capacity;
    std::size_t size = 0;
    double worst = std::numeric_limits<double>::infinity();

    void offer(const Neighbour& c) {
        // Farther than the worst kept cannot enter (false for NaN, which
        // goes on to the full comparison).
        if (c.d2 > worst) return;
        if (size < capacity) {
            heap[size++] = c;
            std::push_heap(heap, heap + size, Less);
        } else if (Less(c, heap[0])) {
            replace_top(c);
        } else {
            return;
        }
        if (size == capacity) worst = heap[0].d2;
    }

    // Nothing in a node whose squared distances are at least `bound` can
    // enter: only a bound beyond the worst kept one prunes, so a point that
    // ties the worst is still looked at and decided by its position.
    bool beyond(double bound) const { return bound > worst; }

    void sort() { std::sort_heap(heap, heap + size, Less); }

  private:
    // Puts c in place of the top and sifts it down.
    void replace_top(const Neighbour& c) {
        std::size_t i = 0;
        for (;;) {
            const std::size_t l = 2 * i + 1;
            if (l >= size) break;
            const std::size_t m = l + 1 < size && Less(heap[l], heap[l + 1]) ? l + 1 : l;
            if (!Less(c, heap[m])) break;
            heap[i] = heap[m];
            i = m;
        }
        heap[i] = c;
    }
};

// The same for a few candidates, kept sorted: an entering one is moved
// down past the farther ones, which for a small capacity costs less than
// keeping a heap and leaves nothing to sort at the end.
template <bool (*Less)(const Neighbour&, const Neighbour&)>
struct FewBest {
    // Up to this capacity the sorted array is the faster.
    static constexpr std::size_t most = 32;

    Neighbour* heap;
    std::size_t capacity;
    std::size_t size = 0;
    double worst = std::numeric_limits<double>::infinity();

    void offer(const Neighbour& c) {
        if (c.d2 > worst) return;
        std::size_t at;
        if (size < capacity) {
            at = size++;
        } else if (Less(c, heap[size - 1])) {
            at = size - 1;
        } else {
            return;
        }
        for (; at > 0 && Less(c, heap[at - 1]); --at)
            heap[at] = heap[at - 1];
        heap[at] = c;
        if (size == capacity) worst = heap[size - 1].d2;
    }

    bool beyond(double bound) const { return bound > worst; }

    void sort() {}
};

template <class Index, class B>
void search(const Tree<Index>& t, const Vec3d& q, B& best) {
    const std::size_t first_leaf = (std::size_t{1} << t.depth) - 1;
    struct Pending {
        std::size_t node;
        double bound;
    };
    Pending stack[std::numeric_limits<std::size_t>::digits + 1];
    std::size_t top = 0;
    stack[top++] = {0, lower_bound(t.boxes[0], q)};
    while (top > 0) {
        auto [v, bound] = stack[--top];
        if (best.beyond(bound)) continue;
        // Down to a leaf by the nearer child, leaving the farther for later.
        bool pruned = false;
        while (v < first_leaf) {
            std::size_t near = 2 * v + 1, far = 2 * v + 2;
            double near_bound = lower_bound(t.boxes[near], q), far_bound = lower_bound(t.boxes[far], q);
            if (far_bound < near_bound) {
                std::swap(near, far);
                std::swap(near_bound, far_bound);
            }
            if (!best.beyond(far_bound)) stack[top++] = {far, far_bound};
            if (best.beyond(near_bound)) {
                pruned = true;
                break;
            }
            v = near;
        }
        if (pruned) continue;
        const std::size_t j = v - first_leaf;
        const std::size_t end = t.begin(t.depth, j + 1);
        for (std::size_t i = t.begin(t.depth, j); i < end; ++i)
            best.offer({t.indices[i], t.points[i].distance_squared(q)});
    }
}

// Writes to `out` the first `wanted` of the `found` nearest points of the
// tree (in `from_tree`, first to last) and the points kept apart that `in`
// admits, merged by `before`, and returns how many. The points kept apart
// are in their order already: infinite, then NaN squared distances, each
// group by position.
template <class Index, class In>
std::size_t merge_apart(const Tree<Index>& t, const Vec3d& q, std::size_t wanted, const Neighbour* from_tree,
                        std::size_t found, Neighbour* out, In&& in) {
    std::size_t taken = 0;
    std::size_t apart = t.count;
    std::size_t filled = 0;
    for (; filled < wanted; ++filled) {
        if (apart < t.n) {
            const Neighbour other{t.indices[apart], t.points[apart].distance_squared(q)};
            if (in(other) && (taken == found || before(other, from_tree[taken]))) {
                out[filled] = other;
                ++apart;
                continue;
            }
        }
        if (taken == found) break;
        out[filled] = from_tree[taken++];
    }
    return filled;
}

// The k nearest, bounded or not. Unbounded, every point can be among them,
// NaN squared distances last; bounded, only those at most `limit`.
template <class Index>
std::size_t k_nearest(const Tree<Index>& t, const Vec3d& q, std::size_t k, Neighbour* heap, Neighbour* out,
                      double limit, bool bounded) {
    const std::size_t wanted = std::min(k, t.n);
    if (wanted == 0) return 0;
    const auto in = [&](const Neighbour& c) { return !bounded || c.d2 <= limit; };
    if (!finite(q)) {
        Best<&before> best{heap, wanted};
        for (std::size_t i = 0; i < t.n; ++i) {
            const Neighbour c{t.indices[i], t.points[i].distance_squared(q)};
            if (in(c)) best.offer(c);
        }
        best.sort();
        std::copy_n(heap, best.size, out);
        return best.size;
    }
    const std::size_t capacity = std::min(wanted, t.count);
    std::size_t found = 0;
    if (capacity > FewBest<&closer>::most) {
        Best<&closer> best{heap, capacity, 0, limit};
        search(t, q, best);
        best.sort();
        found = best.size;
    } else if (capacity > 0) {
        FewBest<&closer> best{heap, capacity, 0, limit};
        search(t, q, best);
        found = best.size;
    }
    return merge_apart(t, q, wanted, heap, found, out, in);
}

} // namespace detail

// Writes the min(k, t.n) nearest points of q to `out`, first to last, and
// returns how many. `heap` is room for min(k, t.n) candidates.
template <class Index>
std::size_t k_nearest(const Tree<Index>& t, const Vec3d& q, std::size_t k, Neighbour* heap, Neighbour* out) {
    return detail::k_nearest(t, q, k, heap, out, std::numeric_limits<double>::infinity(), false);
}

// The same among the points whose squared distance is at most `limit` (not
// NaN): at most min(k, t.n) of them, as many as there are.
template <class Index>
std::size_t k_nearest_within(const Tree<Index>& t, const Vec3d& q, std::size_t k, double limit, Neighbour* heap,
                             Neighbour* out) {
    return detail::k_nearest(t, q, k, heap, out, limit, true);
}

} // namespace drovak::index
