#pragma once
// Grouping points by voxel: a point's voxel is the floor of each coordinate
// divided by the size, cells fixed in space. The points are sorted by their
// voxels' coordinates, ascending (x, then y, then z), and by position within
// one voxel, so the groups and their order depend on the points alone. Most
// clouds span few enough cells that the three coordinates and the position
// pack into one 64-bit word, sorted by radix; the others are sorted by
// comparison.

#include "drovak/vec3d.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace drovak::cloud {

// The voxel of p, as integral doubles; false where a coordinate is not
// finite or its quotient overflows: such a point has no voxel.
inline bool voxel_of(const Vec3d& p, double size, Vec3d& cell) {
    cell = {std::floor(p.x / size), std::floor(p.y / size), std::floor(p.z / size)};
    return std::isfinite(cell.x) && std::isfinite(cell.y) && std::isfinite(cell.z);
}

// How cells between `lo` and `hi` pack into a key: each axis's offset from
// lo in its own bits, x highest, so keys sort as the cells do.
struct Packing {
    Vec3d lo;
    unsigned bits_y = 0;
    unsigned bits_z = 0;
    unsigned bits = 0;
    bool fits = false;
};

inline Packing packing(const Vec3d& lo, const Vec3d& hi) {
    // Spans below 2^53 are exact integers; a wider one, whose offsets would
    // be neither exact nor within a key, makes the cells not fit, as does
    // the span of no cells at all (lo above hi, infinite).
    const auto width = [](double span) -> unsigned {
        const bool exact = span >= 0.0 && span < 0x1p53;
        return exact ? static_cast<unsigned>(std::bit_width(static_cast<std::uint64_t>(span))) : 65;
    };
    Packing p{lo};
    const unsigned x = width(hi.x - lo.x);
    p.bits_y = width(hi.y - lo.y);
    p.bits_z = width(hi.z - lo.z);
    p.bits = x + p.bits_y + p.bits_z;
    p.fits = p.bits <= 64;
    return p;
}

inline std::uint64_t pack(const Packing& p, const Vec3d& cell) {
    const auto x = static_cast<std::uint64_t>(cell.x - p.lo.x);
    const auto y = static_cast<std::uint64_t>(cell.y - p.lo.y);
    const auto z = static_cast<std::uint64_t>(cell.z - p.lo.z);
    // A shift by 64 is undefined, and an axis of no bits adds nothing.
    const auto shifted = [](std::uint64_t v, unsigned by) { return by < 64 ? v << by : 0; };
    return shifted(x, p.bits_y + p.bits_z) | shifted(y, p.bits_z) | z;
}

// Sorts the positions a[0 .. n) by their cells, then by position.
inline void sort_by_cells(std::uint64_t* a, std::size_t n, const Vec3d* cells) {
    std::sort(a, a + n, [cells](std::uint64_t l, std::uint64_t r) {
        const Vec3d& p = cells[l];
        const Vec3d& q = cells[r];
        if (p.x != q.x) return p.x < q.x;
        if (p.y != q.y) return p.y < q.y;
        if (p.z != q.z) return p.z < q.z;
        return l < r;
    });
}

} // namespace drovak::cloud
