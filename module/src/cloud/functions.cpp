// The functions of lumora.cloud over a PointIndex: the outlier masks and the
// normals, each point's work on the pool, independent of every other's, and
// the reductions across points exact, so any pool size gives the same bits.

#include "cloud/functions.hpp"

#include "bind/define.hpp"
#include "bind/out.hpp"
#include "bind/text.hpp"
#include "classes.hpp"
#include "drovak/cloud/neighbours.hpp"
#include "drovak/cloud/normals.hpp"
#include "drovak/exact_sum.hpp"
#include "drovak/index/nearest_walk.hpp"
#include "point_index.hpp"
#include "pool.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

using drovak::Vec3d;
using drovak::index::Neighbour;
using lumora::Array;
using lumora::PointIndex;
using pool::Cost;

namespace {

using F = bind::Def<void>;

// f(tree, i, p) for every point, i its position and p the point, walking
// the tree's order so that successive queries are near each other and meet
// the same nodes.
template <class Fn>
void for_each_point(const PointIndex& index, Fn f) {
    index.visit([&](const auto& tree) {
        pool::for_each_range(tree.n, Cost::query, [&](std::size_t begin, std::size_t end) {
            for (std::size_t j = begin; j < end; ++j)
                f(tree, static_cast<std::uint64_t>(tree.indices[j]), tree.points[j]);
        });
    });
}

// f(i, p, near, got) for every point likewise, with its `got` nearest of k
// for a finite point, found by one walk per piece of the pool's, and none
// for another.
template <class Fn>
void for_each_neighbourhood(const PointIndex& index, std::size_t k, Fn f) {
    index.visit([&](const auto& tree) {
        pool::for_each_range(tree.n, Cost::query, [&](std::size_t begin, std::size_t end) {
            auto room = Array<Neighbour>::uninitialised(2 * k);
            drovak::index::NearestWalk walk(tree, k, room.data());
            for (std::size_t j = begin; j < end; ++j) {
                const std::size_t got = j < tree.count ? walk.at(j, room.data() + k) : 0;
                f(static_cast<std::uint64_t>(tree.indices[j]), tree.points[j], room.data() + k, got);
            }
        });
    });
}

std::string count_text(std::uint64_t v) { return std::to_string(v); }

// The exact sum of g(d) over the finite values of d, and their number.
struct Tally {
    drovak::ExactSum sum;
    std::size_t count = 0;
};

template <class G>
Tally tally(const Array<double>& d, G g) {
    return pool::reduce(
        d.size(), Cost::compound,
        [&](std::size_t begin, std::size_t end) {
            Tally t;
            for (std::size_t i = begin; i < end; ++i) {
                if (std::isfinite(d[i])) {
                    t.sum.add(g(d[i]));
                    ++t.count;
                }
            }
            return t;
        },
        [](Tally& left, const Tally& right) {
            left.sum.merge(right.sum);
            left.count += right.count;
        });
}

bind::OutOr<bool> statistical_inliers(const PointIndex& index, std::uint64_t k, double std_ratio,
                                      const bind::Out<bool>& out) {
    const std::size_t n = index.size();
    if (k == 0 || k >= n) {
        throw bind::Error{PyExc_ValueError, "argument 'k': between 1 and the number of points less one (" +
                                                count_text(n == 0 ? 0 : n - 1) + ") is required, not " + count_text(k)};
    }
    // An infinite ratio times a zero deviation would be NaN and keep nothing.
    if (!std::isfinite(std_ratio)) {
        throw bind::Error{PyExc_ValueError, "argument 'std_ratio': a finite ratio is required, not " +
                                                bind::format_floats("{}", {std_ratio})};
    }
    out.take({n});
    auto mean_distances = Array<double>::uninitialised(n);
    for_each_neighbourhood(index, k + 1, [&](std::uint64_t i, const Vec3d& p, const Neighbour* near, std::size_t got) {
        mean_distances[i] = drovak::index::finite(p) ? drovak::cloud::mean_distance(i, near, got, k)
                                                     : std::numeric_limits<double>::quiet_NaN();
    });
    // The mean and sample standard deviation of the finite mean distances;
    // a point whose own is not finite is never kept.
    const Tally all = tally(mean_distances, [](double d) { return d; });
    double threshold = -std::numeric_limits<double>::infinity();
    if (all.count >= 2) {
        const double mean = all.sum.divided(static_cast<double>(all.count));
        const Tally squares = tally(mean_distances, [mean](double d) { return (d - mean) * (d - mean); });
        threshold = mean + std_ratio * std::sqrt(squares.sum.divided(static_cast<double>(all.count - 1)));
    }
    return bind::results<bool, 1>(out, {n}, [&](bool* keep) {
        pool::map_into(mean_distances, keep, Cost::stream,
                       [threshold](double d) { return std::isfinite(d) && d <= threshold; });
    });
}

bind::OutOr<bool> radius_inliers(const PointIndex& index, double radius, std::uint64_t min_neighbours,
                                 const bind::Out<bool>& out) {
    if (std::isnan(radius)) throw bind::Error{PyExc_ValueError, "argument 'radius': the radius is NaN"};
    const std::size_t n = index.size();
    return bind::results<bool, 1>(out, {n}, [&](bool* keep) {
        for_each_point(index, [&](const auto& tree, std::uint64_t i, const Vec3d& p) {
            // A NaN component puts every other point at a NaN distance.
            const bool nan = std::isnan(p.x) || std::isnan(p.y) || std::isnan(p.z);
            keep[i] = nan ? min_neighbours == 0 : drovak::cloud::has_neighbours(tree, i, p, radius, min_neighbours);
        });
    });
}

// Normals into a VecList, or into the caller's (n, 3) buffer of doubles.
struct Normals {
    lumora::VecList list;
    PyObject* out = nullptr;
};

Normals normals(const PointIndex& index, std::uint64_t k, const std::optional<Vec3d>& toward,
                const bind::Out<double, 2>& out) {
    const std::size_t n = index.size();
    if (k < 3 || k > n) {
        throw bind::Error{PyExc_ValueError, "argument 'k': between 3 and the number of points (" + count_text(n) +
                                                ") is required, not " + count_text(k)};
    }
    if (toward && !drovak::index::finite(*toward)) {
        throw bind::Error{PyExc_ValueError,
                          "argument 'toward': a point with finite components is required, not " +
                              bind::format_floats(lumora::vec3d_form, {toward->x, toward->y, toward->z})};
    }
    Normals r{{}, out.object};
    auto* dst = reinterpret_cast<Vec3d*>(out.take({n, 3}));
    if (!dst) {
        r.list.vectors = Array<Vec3d>::uninitialised(n);
        dst = r.list.vectors.data();
    }
    const Array<Vec3d> given = index.points();
    for_each_neighbourhood(index, k, [&](std::uint64_t i, const Vec3d& p, const Neighbour* near, std::size_t got) {
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        if (!drovak::index::finite(p)) {
            dst[i] = {nan, nan, nan};
            return;
        }
        const Vec3d normal = drovak::cloud::fitted_normal(got, [&](std::size_t j) { return given[near[j].index]; });
        dst[i] = toward ? drovak::cloud::oriented(normal, p, *toward) : normal;
    });
    return r;
}

} // namespace

template <>
struct bind::Type<Normals> {
    static record::Expr annotation() { return record::annotation<lumora::VecList>(); }
    static PyObject* wrap(Normals&& r) { return r.out ? Py_NewRef(r.out) : to_python(std::move(r.list)); }
};

std::span<PyMethodDef> cloud_functions() {
    static PyMethodDef functions[] = {
        F::function<&lumora::voxel_down_sample, "voxel_down_sample", "points", "size", "return_inverse">(),
        F::function<&statistical_inliers, "statistical_inliers", "index", "k", "std_ratio", "out">(),
        F::function<&radius_inliers, "radius_inliers", "index", "radius", "min_neighbours", "out">(),
        F::function<&normals, "normals", "index", "k", "toward", "out">(),
    };
    return functions;
}
