#pragma once
// Every point within a radius of a query: exactly those whose rounded
// distance, sqrt(p.distance_squared(q)), is at most the radius.

#include "drovak/index/tree.hpp"

#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>

namespace drovak::index {

// Calls emit(position) once for each point within `radius` of q, in no
// particular order. The radius is not NaN.
template <class Index, class Emit>
void within(const Tree<Index>& t, const Vec3d& q, double radius, Emit&& emit) {
    if (!finite(q)) {
        for (std::size_t i = 0; i < t.n; ++i) {
            if (std::sqrt(t.points[i].distance_squared(q)) <= radius) emit(static_cast<std::uint64_t>(t.indices[i]));
        }
        return;
    }
    if (t.count > 0) {
        const double limit = squared_limit(radius);
        const std::size_t first_leaf = (std::size_t{1} << t.depth) - 1;
        std::size_t stack[std::numeric_limits<std::size_t>::digits + 1];
        std::size_t top = 0;
        stack[top++] = 0;
        while (top > 0) {
            const std::size_t v = stack[--top];
            const Box& b = t.boxes[v];
            if (lower_bound(b, q) > limit) continue;
            const bool whole = upper_bound(b, q) <= limit;
            if (v < first_leaf && !whole) {
                stack[top++] = 2 * v + 2;
                stack[top++] = 2 * v + 1;
                continue;
            }
            const auto level = static_cast<std::size_t>(std::bit_width(v + 1) - 1);
            const std::size_t j = v + 1 - (std::size_t{1} << level);
            const std::size_t end = t.begin(level, j + 1);
            for (std::size_t i = t.begin(level, j); i < end; ++i) {
                if (whole || t.points[i].distance_squared(q) <= limit) emit(static_cast<std::uint64_t>(t.indices[i]));
            }
        }
    }
    // Apart: infinite squared distances, in only for an infinite radius, and
    // NaN ones, never in.
    for (std::size_t i = t.count; i < t.n; ++i) {
        if (std::sqrt(t.points[i].distance_squared(q)) <= radius) emit(static_cast<std::uint64_t>(t.indices[i]));
    }
}

} // namespace drovak::index
