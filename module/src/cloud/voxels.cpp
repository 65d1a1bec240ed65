// Voxel down-sampling: one point per occupied voxel, the correctly rounded
// mean of its points, the voxels in ascending order of their coordinates.

#include "cloud/functions.hpp"

#include "classes.hpp"
#include "drovak/cloud/small_sum.hpp"
#include "drovak/cloud/voxel.hpp"
#include "point_index.hpp"
#include "pool.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

using drovak::Vec3d;
using drovak::cloud::Keyed;
using lumora::Array;
using pool::Cost;

namespace {

// The bounds of the occupied voxels, and how many points have one.
struct Span {
    Vec3d lo{INFINITY, INFINITY, INFINITY};
    Vec3d hi{-INFINITY, -INFINITY, -INFINITY};
    std::size_t count = 0;

    void add(const Vec3d& l, const Vec3d& h, std::size_t n) {
        lo = {std::min(lo.x, l.x), std::min(lo.y, l.y), std::min(lo.z, l.z)};
        hi = {std::max(hi.x, h.x), std::max(hi.y, h.y), std::max(hi.z, h.z)};
        count += n;
    }
};

// The points' positions sorted by voxel, those with no voxel left out: keyed
// by the packed voxel where the voxels pack, else with zero keys and the
// voxels of all points in `cells`.
Array<Keyed> sorted_by_voxel(const Vec3d* ps, std::size_t n, double size, Array<Vec3d>& cells) {
    auto all = Array<Vec3d>::uninitialised(n);
    auto in = Array<unsigned char>::uninitialised(n);
    unsigned char* has = in.data();
    pool::for_each_range(n, Cost::compound, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            has[i] = drovak::cloud::voxel_of(ps[i], size, all[i]);
    });
    const Span span = pool::reduce(
        n, Cost::stream,
        [&](std::size_t begin, std::size_t end) {
            Span s;
            for (std::size_t i = begin; i < end; ++i) {
                if (has[i]) s.add(all[i], all[i], 1);
            }
            return s;
        },
        [](Span& left, const Span& right) { left.add(right.lo, right.hi, right.count); });
    const drovak::cloud::Packing packing = drovak::cloud::packing(span.lo, span.hi);
    auto keyed = pool::select<Keyed>(
        n, Cost::stream, [&](std::size_t i) { return has[i] != 0; },
        [&](std::size_t i) { return Keyed{packing.fits && has[i] ? drovak::cloud::pack(packing, all[i]) : 0, i}; });
    if (packing.fits) {
        auto room = Array<Keyed>::uninitialised(span.count);
        drovak::cloud::radix_sort(
            keyed.data(), room.data(), span.count, packing.bits, pool::thread_count(),
            [](std::size_t tasks, std::size_t weight, auto&& f) { pool::for_each_task(tasks, weight, f); });
    } else {
        drovak::cloud::sort_by_cells(keyed.data(), span.count, all.data());
        cells = std::move(all);
    }
    return keyed;
}

} // namespace

lumora::Voxels lumora::voxel_down_sample(const bind::RowsOf<3>& points, double size,
                                         bind::Keyword<bool, false> return_inverse) {
    if (!(size > 0.0) || !std::isfinite(size)) {
        throw bind::Error{PyExc_ValueError, "argument 'size': the voxel size must be a positive finite number, not " +
                                                bind::python_text(size)};
    }
    // Packed, aligned rows are read where they are; others are copied first.
    Array<Vec3d> own;
    const void* block = points.packed();
    if (!block || reinterpret_cast<std::uintptr_t>(block) % alignof(Vec3d) != 0) {
        own = copied(points);
        block = own.data();
    }
    const auto* ps = static_cast<const Vec3d*>(block);
    const std::size_t n = points.rows;
    Array<Vec3d> cells;
    const Array<Keyed> keyed = sorted_by_voxel(ps, n, size, cells);
    const std::size_t count = keyed.size();
    // The points in voxel order, one pass of scattered reads, so that every
    // later pass reads them in order.
    auto sorted = Array<Vec3d>::uninitialised(count);
    pool::for_each_range(count, Cost::stream, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j)
            sorted[j] = ps[keyed[j].index];
    });
    const auto same_voxel = [&](std::size_t a, std::size_t b) {
        if (cells.size() == 0) return keyed[a].key == keyed[b].key;
        const Vec3d& c = cells[keyed[a].index];
        const Vec3d& d = cells[keyed[b].index];
        return c.x == d.x && c.y == d.y && c.z == d.z;
    };
    Array<std::size_t> starts;
    for (std::size_t j = 0; j < count; ++j) {
        if (j == 0 || !same_voxel(j - 1, j)) starts.push_back(j);
    }
    const std::size_t groups = starts.size();
    starts.push_back(count);
    Voxels v{{Array<Vec3d>::uninitialised(groups)}, {}, return_inverse};
    if (v.with_inverse) v.inverse = Array<std::int64_t>::uninitialised(n);
    std::int64_t* inverse = v.inverse.data();
    Vec3d* means = v.points.vectors.data();
    pool::for_each_range(groups, Cost::compound, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) {
            const Vec3d* group = sorted.data() + starts[g];
            const std::size_t k = starts[g + 1] - starts[g];
            means[g] = {drovak::cloud::rounded_mean(k, [&](std::size_t t) { return group[t].x; }),
                        drovak::cloud::rounded_mean(k, [&](std::size_t t) { return group[t].y; }),
                        drovak::cloud::rounded_mean(k, [&](std::size_t t) { return group[t].z; })};
        }
    });
    if (inverse) {
        std::fill_n(inverse, n, -1);
        for (std::size_t g = 0; g < groups; ++g) {
            for (std::size_t j = starts[g]; j < starts[g + 1]; ++j)
                inverse[keyed[j].index] = static_cast<std::int64_t>(g);
        }
    }
    return v;
}
