// The Python class PointIndex: nearest, k-nearest and radius queries over a
// snapshot of points, one query on the calling thread or a batch on the
// pool, each answered exactly as a scan of every point would answer it.

#include "point_index.hpp"

#include "bind/define.hpp"
#include "bind/out.hpp"
#include "bind/pickle.hpp"
#include "classes.hpp"
#include "drovak/index/nearest.hpp"
#include "drovak/index/nearest_walk.hpp"
#include "drovak/index/within.hpp"
#include "drovak/radix_sort.hpp"
#include "pool.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>

using drovak::Vec3d;
using drovak::index::Neighbour;
using lumora::Array;
using lumora::copied;
using lumora::PointIndex;

// ---------------------------------------------------------------- building

template <class Index>
void PointIndex::build(const Vec3d* input, Array<Index>& indices) {
    indices = Array<Index>::uninitialised(plan_.n);
    auto entries = Array<drovak::index::Entry<Index>>::uninitialised(plan_.count);
    drovak::index::build(
        plan_, input, points_.data(), indices.data(), boxes_.data(), entries.data(),
        [](std::size_t tasks, std::size_t weight, auto&& f) { pool::for_each_task(tasks, weight, f); });
}

PointIndex::PointIndex(const Vec3d* points, std::size_t n)
    : plan_(drovak::index::plan(points, n)), points_(Array<Vec3d>::uninitialised(n)),
      boxes_(Array<drovak::index::Box>::uninitialised(plan_.count ? drovak::index::node_count(plan_.depth) : 0)) {
    if (narrow()) {
        build(points, indices32_);
    } else {
        build(points, indices64_);
    }
}

Array<Vec3d> PointIndex::points() const {
    auto given = Array<Vec3d>::uninitialised(size());
    visit([&](const auto& tree) {
        for (std::size_t i = 0; i < tree.n; ++i)
            given[tree.indices[i]] = tree.points[i];
    });
    return given;
}

Array<std::size_t> PointIndex::batch_order(const Array<Vec3d>& queries) const {
    const std::size_t m = queries.size();
    auto order = Array<std::size_t>::uninitialised(m);
    // Below this many queries the nodes they meet stay in cache anyway.
    constexpr std::size_t sorted_from = 4096;
    if (m < sorted_from || plan_.count == 0) {
        for (std::size_t i = 0; i < m; ++i)
            order[i] = i;
        return order;
    }
    // Each query's word: its locality key's leading bits above its
    // position, sorted by radix on the pool. The position leaves the key
    // 64 - bit_width(m) of its 63 bits: cells of 2^-15 of the root's side
    // for 10^5 queries, 2^-12 for 10^8, still finer than the leaves.
    const auto low = static_cast<unsigned>(std::bit_width(m));
    const unsigned bits = 64 - low;
    const std::uint64_t position = (std::uint64_t{1} << low) - 1;
    const drovak::index::Box& root = boxes_[0];
    auto words = Array<std::uint64_t>::uninitialised(m);
    std::uint64_t* w = words.data();
    pool::for_each_range(m, pool::Cost::compound, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            w[i] = drovak::index::locality_key(root, queries[i]) >> (63 - bits) << low | i;
    });
    auto room = Array<std::uint64_t>::uninitialised(m);
    drovak::radix_sort(w, room.data(), m, low, bits, pool::thread_count(),
                       [](std::size_t tasks, std::size_t weight, auto&& f) { pool::for_each_task(tasks, weight, f); });
    pool::for_each_range(m, pool::Cost::stream, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            order[i] = static_cast<std::size_t>(w[i] & position);
    });
    return order;
}

Array<Vec3d> lumora::copied(const bind::RowsOf<3>& rows) {
    auto vectors = Array<Vec3d>::uninitialised(rows.rows);
    if (const void* block = rows.packed()) {
        pool::copy(vectors.data(), block, rows.rows * sizeof(Vec3d));
    } else {
        rows.gather(reinterpret_cast<double*>(vectors.data()));
    }
    return vectors;
}

namespace {

// A neighbour as Python sees it.
struct Near {
    std::uint64_t index;
    double distance;
};

} // namespace

template <>
struct bind::Type<Near> {
    static record::Expr annotation() { return Type<std::pair<std::uint64_t, double>>::annotation(); }
    static PyObject* wrap(const Near& n) { return to_python(std::pair(n.index, n.distance)); }
};

namespace {

using pool::Cost;
using P = bind::Def<PointIndex>;

// Packed, aligned rows are read where they are; others are copied first.
PointIndex make(const bind::RowsOf<3>& points) {
    const void* block = points.packed();
    if (block && reinterpret_cast<std::uintptr_t>(block) % alignof(Vec3d) == 0)
        return {static_cast<const Vec3d*>(block), points.rows};
    const Array<Vec3d> own = copied(points);
    return {own.data(), own.size()};
}

std::uint64_t length(const PointIndex& index) { return index.size(); }

lumora::VecList points(const PointIndex& index) { return {index.points()}; }

[[noreturn]] void raise_empty(const char* fn) {
    throw bind::Error{PyExc_ValueError, std::string(fn) + "() arg is an empty PointIndex"};
}

// A NaN radius asks nothing: every comparison with it is false.
void check_radius(double radius) {
    if (std::isnan(radius)) throw bind::Error{PyExc_ValueError, "argument 'radius': the radius is NaN"};
}

// ---------------------------------------------------------------- one query

std::pair<std::uint64_t, double> nearest(const PointIndex& index, const Vec3d& query) {
    if (index.size() == 0) raise_empty("nearest");
    Neighbour heap, best;
    index.visit([&](const auto& tree) { drovak::index::k_nearest(tree, query, 1, &heap, &best); });
    return {best.index, std::sqrt(best.d2)};
}

Array<Near> k_nearest(const PointIndex& index, const Vec3d& query, std::uint64_t k) {
    const std::size_t wanted = std::min<std::uint64_t>(k, index.size());
    auto heap = Array<Neighbour>::uninitialised(wanted);
    auto found = Array<Neighbour>::uninitialised(wanted);
    index.visit([&](const auto& tree) { drovak::index::k_nearest(tree, query, wanted, heap.data(), found.data()); });
    auto result = Array<Near>::uninitialised(wanted);
    for (std::size_t i = 0; i < wanted; ++i)
        result[i] = {found[i].index, std::sqrt(found[i].d2)};
    return result;
}

// Appends the positions within `radius` of q to `found`, ascending.
void within_into(const PointIndex& index, const Vec3d& q, double radius, Array<std::uint64_t>& found) {
    const std::size_t start = found.size();
    index.visit([&](const auto& tree) {
        drovak::index::within(tree, q, radius, [&](std::uint64_t i) { found.push_back(i); });
    });
    std::sort(found.data() + start, found.data() + found.size());
}

Array<std::uint64_t> within(const PointIndex& index, const Vec3d& query, double radius) {
    check_radius(radius);
    Array<std::uint64_t> found;
    within_into(index, query, radius, found);
    return found;
}

// ---------------------------------------------------------------- batches

// A bound, if given, prunes the search: no point within it answers -1 at
// distance inf.
std::pair<bind::OutOr<std::int64_t>, bind::OutOr<double>>
nearest_each(const PointIndex& index, const bind::RowsOf<3>& queries, const std::optional<double>& max_distance,
             const bind::Out<std::int64_t>& indices, const bind::Out<double>& distances) {
    if (max_distance && !(*max_distance >= 0.0)) {
        throw bind::Error{PyExc_ValueError, "argument 'max_distance': the bound must be a non-negative number or None"};
    }
    const Array<Vec3d> qs = copied(queries);
    const std::size_t m = qs.size();
    if (m > 0 && index.size() == 0 && !max_distance) raise_empty("nearest_each");
    const double limit = max_distance ? drovak::index::squared_limit(*max_distance) : 0.0;
    const Array<std::size_t> order = index.batch_order(qs);
    return bind::results<std::int64_t, double, 1>(indices, distances, {m}, [&](std::int64_t* pos, double* dist) {
        index.visit([&](const auto& tree) {
            pool::for_each_range(m, Cost::query, [&](std::size_t begin, std::size_t end) {
                // Room for the one candidate and a slot more, which the
                // compiler's bounds analysis wants: it cannot see that a
                // heap of capacity one never grows past it.
                Neighbour heap[2], best;
                for (std::size_t at = begin; at < end; ++at) {
                    const std::size_t i = order[at];
                    const std::size_t found = max_distance
                                                  ? drovak::index::k_nearest_within(tree, qs[i], 1, limit, heap, &best)
                                                  : drovak::index::k_nearest(tree, qs[i], 1, heap, &best);
                    pos[i] = found ? static_cast<std::int64_t>(best.index) : -1;
                    dist[i] = found ? std::sqrt(best.d2) : std::numeric_limits<double>::infinity();
                }
            });
        });
    });
}

std::pair<bind::OutOr<std::int64_t, 2>, bind::OutOr<double, 2>>
k_nearest_each(const PointIndex& index, const bind::RowsOf<3>& queries, std::uint64_t k,
               const bind::Out<std::int64_t, 2>& indices, const bind::Out<double, 2>& distances) {
    const Array<Vec3d> qs = copied(queries);
    const std::size_t m = qs.size();
    const std::size_t wanted = std::min<std::uint64_t>(k, index.size());
    const Array<std::size_t> order = index.batch_order(qs);
    return bind::results<std::int64_t, double, 2>(
        indices, distances, {m, wanted}, [&](std::int64_t* pos, double* dist) {
            index.visit([&](const auto& tree) {
                pool::for_each_range(m, Cost::query, [&](std::size_t begin, std::size_t end) {
                    auto heap = Array<Neighbour>::uninitialised(wanted);
                    auto found = Array<Neighbour>::uninitialised(wanted);
                    drovak::index::NearestWalk walk(tree, wanted, heap.data());
                    for (std::size_t at = begin; at < end; ++at) {
                        const std::size_t i = order[at];
                        walk.query(qs[i], found.data());
                        for (std::size_t j = 0; j < wanted; ++j) {
                            pos[i * wanted + j] = static_cast<std::int64_t>(found[j].index);
                            dist[i * wanted + j] = std::sqrt(found[j].d2);
                        }
                    }
                });
            });
        });
}

bind::Ragged<std::uint64_t> within_each(const PointIndex& index, const bind::RowsOf<3>& queries, double radius) {
    check_radius(radius);
    const Array<Vec3d> qs = copied(queries);
    auto lengths = Array<std::size_t>::uninitialised(qs.size());
    auto parts = pool::collect<std::uint64_t>(qs.size(), Cost::query, [&](std::size_t i, Array<std::uint64_t>& part) {
        const std::size_t before = part.size();
        within_into(index, qs[i], radius, part);
        lengths[i] = part.size() - before;
    });
    return {std::move(parts), std::move(lengths)};
}

} // namespace

// ---------------------------------------------------------------- pickling

PyObject* bind::Pickled<PointIndex>::block(const PointIndex& index) {
    return bind::entry<PyObject*>(nullptr, [&] { return bind::to_python(lumora::VecList{index.points()}); });
}

PointIndex bind::Pickled<PointIndex>::restore(std::span<const std::byte> data, const char* name) {
    const lumora::VecList list = bind::Pickled<lumora::VecList>::restore(data, name);
    return {list.vectors.data(), list.vectors.size()};
}

template <>
PyType_Spec& bind::Class<PointIndex>::spec() {
    static PyMethodDef methods[] = {
        P::method<&nearest, "nearest", "query">(),
        P::method<&k_nearest, "k_nearest", "query", "k">(),
        P::method<&within, "within", "query", "radius">(),
        P::method<&nearest_each, "nearest_each", "queries", "max_distance", "indices", "distances">(),
        P::method<&k_nearest_each, "k_nearest_each", "queries", "k", "indices", "distances">(),
        P::method<&within_each, "within_each", "queries", "radius">(),
        P::method<&points, "points">(),
        bind::reduce<PointIndex>(),
        bind::reduce_ex<PointIndex>(),
        bind::end_methods,
    };
    static const bind::Slots slots[] = {
        P::constructor<&make, "points">(),
        P::dealloc(),
        {Py_tp_methods, methods},
        P::length<&length>(),
    };
    static PyType_Spec spec = P::type_spec("builtins.PointIndex", slots);
    return spec;
}
