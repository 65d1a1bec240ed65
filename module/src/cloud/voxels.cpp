// Voxel down-sampling: one point per occupied voxel, the correctly rounded
// mean of its points, the voxels in ascending order of their coordinates.

#include "cloud/functions.hpp"

#include "classes.hpp"
#include "drovak/cloud/small_sum.hpp"
#include "drovak/cloud/voxel.hpp"
#include "drovak/index/tree.hpp"
#include "drovak/radix_sort.hpp"
#include "points.hpp"
#include "pool.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

using drovak::Vec3d;
using lumora::Array;
using pool::Cost;

namespace {

// The bounds of the finite points, and how many there are.
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

// The voxels from the points sorted by voxel: `order(j)` the position of the
// j-th of the `count` points with a voxel, `same(a, b)` whether the a-th and
// the b-th share one.
template <class Order, class Same>
lumora::Voxels grouped(const Vec3d* ps, std::size_t n, std::size_t count, const Order& order, const Same& same,
                       bool with_inverse) {
    // The points in voxel order, one pass of scattered reads, so that every
    // later pass reads them in order.
    auto sorted = Array<Vec3d>::uninitialised(count);
    pool::for_each_range(count, Cost::stream, [&](std::size_t begin, std::size_t end) {
        for (std::size_t j = begin; j < end; ++j)
            sorted[j] = ps[order(j)];
    });
    auto starts = pool::select<std::size_t>(
        count, Cost::stream, [&](std::size_t j) { return j == 0 || !same(j - 1, j); }, [](std::size_t j) { return j; });
    const std::size_t groups = starts.size();
    starts.push_back(count);
    lumora::Voxels v{{Array<Vec3d>::uninitialised(groups)}, {}, with_inverse};
    Vec3d* means = v.points.vectors.data();
    pool::for_each_range(groups, Cost::compound, [&](std::size_t begin, std::size_t end) {
        for (std::size_t g = begin; g < end; ++g) {
            const std::size_t first = starts[g];
            means[g] = drovak::cloud::rounded_mean_point(starts[g + 1] - first,
                                                         [&](std::size_t t) { return sorted[first + t]; });
        }
    });
    if (with_inverse) {
        v.inverse = Array<std::int64_t>::uninitialised(n);
        std::int64_t* inverse = v.inverse.data();
        pool::for_each_range(n, Cost::stream, [&](std::size_t begin, std::size_t end) {
            std::fill(inverse + begin, inverse + end, -1);
        });
        pool::for_each_range(groups, Cost::compound, [&](std::size_t begin, std::size_t end) {
            for (std::size_t g = begin; g < end; ++g) {
                for (std::size_t j = starts[g]; j < starts[g + 1]; ++j)
                    inverse[order(j)] = static_cast<std::int64_t>(g);
            }
        });
    }
    return v;
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
    // A voxel is monotone in each coordinate, so the voxels of the finite
    // points' bounds bound theirs; where those are finite, every finite
    // point has a voxel.
    const Span span = pool::reduce(
        n, Cost::stream,
        [&](std::size_t begin, std::size_t end) {
            Span s;
            for (std::size_t i = begin; i < end; ++i) {
                if (drovak::index::finite(ps[i])) s.add(ps[i], ps[i], 1);
            }
            return s;
        },
        [](Span& left, const Span& right) { left.add(right.lo, right.hi, right.count); });
    Vec3d lo;
    Vec3d hi;
    const bool bounded = drovak::cloud::voxel_of(span.lo, size, lo) && drovak::cloud::voxel_of(span.hi, size, hi);
    const drovak::cloud::Packing packing = bounded ? drovak::cloud::packing(lo, hi) : drovak::cloud::Packing{};
    // Each point's word: its packed voxel above its position, the points
    // with none under one more key past every voxel's, so that they sort
    // last.
    const auto low = static_cast<unsigned>(std::bit_width(n));
    const unsigned bits = packing.bits + (span.count < n ? 1 : 0);
    if (packing.fits && low + bits <= 64) {
        auto words = Array<std::uint64_t>::uninitialised(n);
        pool::for_each_range(n, Cost::compound, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                Vec3d cell;
                const std::uint64_t key = drovak::cloud::voxel_of(ps[i], size, cell)
                                              ? drovak::cloud::pack(packing, cell)
                                              : std::uint64_t{1} << packing.bits;
                words[i] = key << low | i;
            }
        });
        auto room = Array<std::uint64_t>::uninitialised(n);
        drovak::radix_sort(
            words.data(), room.data(), n, low, bits, pool::thread_count(),
            [](std::size_t tasks, std::size_t weight, auto&& f) { pool::for_each_task(tasks, weight, f); });
        const std::uint64_t position = (std::uint64_t{1} << low) - 1;
        const std::uint64_t* w = words.data();
        return grouped(
            ps, n, span.count, [w, position](std::size_t j) { return w[j] & position; },
            [w, low](std::size_t a, std::size_t b) { return w[a] >> low == w[b] >> low; }, return_inverse);
    }
    auto cells = Array<Vec3d>::uninitialised(n);
    auto in = Array<unsigned char>::uninitialised(n);
    unsigned char* has = in.data();
    pool::for_each_range(n, Cost::compound, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            has[i] = drovak::cloud::voxel_of(ps[i], size, cells[i]);
    });
    auto positions = pool::select<std::uint64_t>(
        n, Cost::stream, [&](std::size_t i) { return has[i] != 0; }, [](std::size_t i) { return i; });
    drovak::cloud::sort_by_cells(positions.data(), positions.size(), cells.data());
    const std::uint64_t* at = positions.data();
    const Vec3d* c = cells.data();
    return grouped(
        ps, n, positions.size(), [at](std::size_t j) { return at[j]; },
        [at, c](std::size_t a, std::size_t b) {
            const Vec3d& p = c[at[a]];
            const Vec3d& q = c[at[b]];
            return p.x == q.x && p.y == q.y && p.z == q.z;
        },
        return_inverse);
}
