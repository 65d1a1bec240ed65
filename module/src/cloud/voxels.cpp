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
#include <limits>
#include <string>

using drovak::Vec3d;
using drovak::cloud::Keyed;
using lumora::Array;
using pool::Cost;

namespace {

// The points' positions sorted by voxel; those with no voxel are left out.
Array<Keyed> sorted_by_voxel(const Array<Vec3d>& cells) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::size_t n = cells.size();
    Vec3d lo{inf, inf, inf}, hi{-inf, -inf, -inf};
    std::size_t count = 0;
    for (const Vec3d& c : cells) {
        if (std::isnan(c.x)) continue;
        lo = {std::min(lo.x, c.x), std::min(lo.y, c.y), std::min(lo.z, c.z)};
        hi = {std::max(hi.x, c.x), std::max(hi.y, c.y), std::max(hi.z, c.z)};
        ++count;
    }
    auto keyed = Array<Keyed>::uninitialised(count);
    const drovak::cloud::Packing packing = drovak::cloud::packing(lo, hi);
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isnan(cells[i].x)) keyed[at++] = {packing.fits ? drovak::cloud::pack(packing, cells[i]) : 0, i};
    }
    if (packing.fits) {
        auto room = Array<Keyed>::uninitialised(count);
        drovak::cloud::radix_sort(keyed.data(), room.data(), count, packing.bits);
    } else {
        drovak::cloud::sort_by_cells(keyed.data(), count, cells.data());
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
    const Array<Vec3d> ps = copied(points);
    const std::size_t n = ps.size();
    // A point with no voxel gets a NaN cell.
    auto cells = pool::map(ps, Cost::compound, [size](const Vec3d& p) {
        Vec3d cell;
        return drovak::cloud::voxel_of(p, size, cell) ? cell : Vec3d{NAN, NAN, NAN};
    });
    const Array<Keyed> keyed = sorted_by_voxel(cells);
    Array<std::size_t> starts;
    for (std::size_t j = 0; j < keyed.size(); ++j) {
        const Vec3d& c = cells[keyed[j].index];
        if (j == 0) {
            starts.push_back(0);
            continue;
        }
        const Vec3d& b = cells[keyed[j - 1].index];
        if (c.x != b.x || c.y != b.y || c.z != b.z) starts.push_back(j);
    }
    const std::size_t groups = starts.size();
    starts.push_back(keyed.size());
    Voxels v{{Array<Vec3d>::uninitialised(groups)}, {}, return_inverse};
    if (v.with_inverse) v.inverse = Array<std::int64_t>::uninitialised(n);
    std::int64_t* inverse = v.inverse.data();
    Vec3d* means = v.points.vectors.data();
    pool::for_each_range(groups, Cost::compound, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) {
            const Keyed* first = keyed.data() + starts[g];
            const std::size_t k = starts[g + 1] - starts[g];
            means[g] = {drovak::cloud::rounded_mean(k, [&](std::size_t t) { return ps[first[t].index].x; }),
                        drovak::cloud::rounded_mean(k, [&](std::size_t t) { return ps[first[t].index].y; }),
                        drovak::cloud::rounded_mean(k, [&](std::size_t t) { return ps[first[t].index].z; })};
            if (inverse) {
                for (std::size_t t = 0; t < k; ++t)
                    inverse[first[t].index] = static_cast<std::int64_t>(g);
            }
        }
    });
    if (inverse) {
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isnan(cells[i].x)) inverse[i] = -1;
        }
    }
    return v;
}
