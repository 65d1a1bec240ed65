// Voxel down-sampling: one point per occupied voxel, the correctly rounded
// mean of its points, the voxels in ascending order of their coordinates.

#include "cloud/functions.hpp"

#include "classes.hpp"
#include "drovak/cloud/small_sum.hpp"
#include "drovak/cloud/voxel.hpp"
#include "points.hpp"
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
    const auto finite = [](const Vec3d& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); };
    // A voxel is monotone in each coordinate, so the voxels of the finite
    // points' bounds bound theirs; where those are finite, every finite
    // point has a voxel, and it is found once, as its key is packed.
    const Span span = pool::reduce(
        n, Cost::stream,
        [&](std::size_t begin, std::size_t end) {
            Span s;
            for (std::size_t i = begin; i < end; ++i) {
                if (finite(ps[i])) s.add(ps[i], ps[i], 1);
            }
            return s;
        },
        [](Span& left, const Span& right) { left.add(right.lo, right.hi, right.count); });
    Vec3d lo;
    Vec3d hi;
    const bool bounded = drovak::cloud::voxel_of(span.lo, size, lo) && drovak::cloud::voxel_of(span.hi, size, hi);
    const drovak::cloud::Packing packing = bounded ? drovak::cloud::packing(lo, hi) : drovak::cloud::Packing{};
    if (packing.fits) {
        auto keyed = pool::select<Keyed>(
            n, Cost::compound, [&](std::size_t i) { return finite(ps[i]); },
            [&](std::size_t i) {
                Vec3d cell;
                const bool has = drovak::cloud::voxel_of(ps[i], size, cell);
                return Keyed{has ? drovak::cloud::pack(packing, cell) : 0, i};
            });
        auto room = Array<Keyed>::uninitialised(span.count);
        drovak::cloud::radix_sort(
            keyed.data(), room.data(), span.count, packing.bits, pool::thread_count(),
            [](std::size_t tasks, std::size_t weight, auto&& f) { pool::for_each_task(tasks, weight, f); });
        return keyed;
    }
    auto all = Array<Vec3d>::uninitialised(n);
    auto in = Array<unsigned char>::uninitialised(n);
    unsigned char* has = in.data();
    pool::for_each_range(n, Cost::compound, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            has[i] = drovak::cloud::voxel_of(ps[i], size, all[i]);
    });
    auto keyed = pool::select<Keyed>(
        n, Cost::stream, [&](std::size_t i) { return has[i] != 0; }, [](std::size_t i) { return Keyed{0, i}; });
    drovak::cloud::sort_by_cells(keyed.data(), keyed.size(), all.data());
    cells = std::move(all);
    return keyed;
}

} // namespace

lumora::Voxels lumora::voxel_down_sample(const bind::RowsOf<3>& points, double size,
                                         bind::Keyword<bool, false> return_inverse) {
    if (!(size > 0.0) || !std::isfinite(size)) {
        throw bind::Error{PyExc_ValueError, "argument 'size': the voxel size must be a positive finite number, not " +
                                                bind::python_text(size)};
    }
    const Points rows(points);
    const Vec3d* ps = rows.data();
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
    auto starts = pool::select<std::size_t>(
        count, Cost::stream, [&](std::size_t j) { return j == 0 || !same_voxel(j - 1, j); },
        [](std::size_t j) { return j; });
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
        pool::for_each_range(n, Cost::stream, [&](std::size_t begin, std::size_t end) {
            std::fill(inverse + begin, inverse + end, -1);
        });
        pool::for_each_range(groups, Cost::compound, [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g < end; ++g) {
                for (std::size_t j = starts[g]; j < starts[g + 1]; ++j)
                    inverse[keyed[j].index] = static_cast<std::int64_t>(g);
            }
        });
    }
    return v;
}
