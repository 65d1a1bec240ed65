// Registration in lumora.cloud: iterative closest point, point to point or
// point to plane, and the evaluation of a motion. Each source point is paired
// on its own; every sum over the pairs is exact, so the pose is the same bits
// at any pool size.

#include "cloud/icp.hpp"

#include "bind/define.hpp"
#include "bind/text.hpp"
#include "classes.hpp"
#include "drovak/cloud/icp.hpp"
#include "drovak/index/bounds.hpp"
#include "drovak/index/nearest_at.hpp"
#include "fit.hpp"
#include "points.hpp"
#include "pool.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>

using drovak::RigidTransform;
using drovak::Vec3d;
using lumora::Array;
using lumora::IcpResult;
using lumora::PointIndex;
using pool::Cost;

namespace {

using F = bind::Def<void>;
using I = bind::Def<IcpResult>;

[[noreturn]] void refuse(const std::string& text) { throw bind::Error{PyExc_ValueError, text}; }

// Each source point moved, its partner in the target (-1 for none within
// the distance) and their squared distance; and, when the pairing is to be
// repeated, the next nearest target point (-1 for none within the
// distance) and how clear the partner stands: a lower bound on the distance
// from the moved point to every other target point.
struct Pairing {
    Array<Vec3d> moved;
    Array<std::int64_t> partner;
    Array<double> d2;
    Array<std::int64_t> second;
    Array<double> clear;
    // The share of source points with a partner, and the RMS of their
    // distances (0 without any).
    double fitness = 0.0;
    double rmse = 0.0;
    bool any = false;

    Pairing(std::size_t n, bool repeated)
        : moved(Array<Vec3d>::uninitialised(n)), partner(Array<std::int64_t>::uninitialised(n)),
          d2(Array<double>::uninitialised(n)), second(Array<std::int64_t>::uninitialised(repeated ? n : 0)),
          clear(Array<double>::uninitialised(repeated ? n : 0)) {}
};

// Each target point's place in the tree's order, by its position.
Array<std::size_t> tree_positions(const PointIndex& index) {
    auto positions = Array<std::size_t>::uninitialised(index.size());
    index.visit([&](const auto& tree) {
        for (std::size_t j = 0; j < tree.n; ++j)
            positions[tree.indices[j]] = j;
    });
    return positions;
}

// The relative margin by which the bounds on distances are widened, far
// beyond what rounding moves them by.
constexpr double slack = 0x1p-40;

// Pairs every moved source point with its nearest target point whose
// distance is at most max_distance (the index's order among equals). With
// `targets`, and where `carried`, the partners already in `out` are the
// last iteration's. A
// point whose partner stood clear of every other target point by more than
// the point has moved keeps it without a search: by the triangle
// inequality it is still the nearest, by a margin no rounding closes. The
// others are searched for their two nearest (the second bounds how clear
// the first stands), within the farther of the old two, from the old
// partner's leaf (`positions` gives each target point's place in the tree's
// order), which most often holds them; or, where the point moved too far
// for that, for their nearest, within the nearer of the old partner and the
// one the piece's last point found (in most clouds' order a neighbour), and
// from its leaf.
void pair(const PointIndex& index, const Vec3d* source, const RigidTransform& motion, double limit, Pairing& out,
          const Vec3d* targets = nullptr, const std::size_t* positions = nullptr, bool carried = true) {
    const std::size_t n = out.moved.size();
    const bool repeated = out.clear.size() != 0;
    const drovak::MatrixMotion move(motion);
    index.visit([&](const auto& tree) {
        pool::for_each_range(n, Cost::query, [&](std::size_t begin, std::size_t end) {
            drovak::index::Neighbour room[4];
            std::int64_t last = -1;
            for (std::size_t i = begin; i < end; ++i) {
                const Vec3d p = move(source[i]);
                const std::int64_t old = targets && carried ? out.partner[i] : -1;
                // The two nearest are searched for where the point moved
                // little against its distance to its partner, so that how
                // clear the new partner stands is likely to hold the next
                // time; elsewhere the nearest alone (and no clearance).
                bool two = false;
                double bound = limit;
                if (old >= 0) {
                    const double d2 = targets[old].distance_squared(p);
                    const double moved2 = p.distance_squared(out.moved[i]);
                    if (out.clear[i] > 0.0) {
                        const double shift = std::sqrt(moved2) * (1.0 + slack);
                        const double clear = (out.clear[i] - shift) * (1.0 - slack);
                        if (clear > 0x1p-900 && std::sqrt(d2) * (1.0 + slack) < clear) {
                            const bool in = d2 <= limit;
                            out.moved[i] = p;
                            out.clear[i] = clear;
                            out.partner[i] = in ? old : -1;
                            out.d2[i] = in ? d2 : 0.0;
                            continue;
                        }
                    }
                    // The nearest is within the old partner's distance, the
                    // two nearest within the farther of the old two.
                    two = 4.0 * moved2 < d2;
                    const std::int64_t next = out.second[i];
                    bound = std::fmin(limit, !two        ? d2
                                             : next >= 0 ? std::fmax(d2, targets[next].distance_squared(p))
                                                         : limit);
                }
                out.moved[i] = p;
                std::int64_t from = old;
                if (!two && last >= 0 && targets) {
                    const double d2 = targets[last].distance_squared(p);
                    if (d2 < bound) {
                        bound = d2;
                        from = last;
                    }
                }
                const std::size_t wanted = two ? 2 : 1;
                const bool near = from >= 0 && drovak::index::finite(p) && positions[from] < tree.count;
                const std::size_t got =
                    near ? drovak::index::k_nearest_within_from(tree, positions[from], p, wanted, bound, room, room + 2)
                         : drovak::index::k_nearest_within(tree, p, wanted, bound, room, room + 2);
                if (got > 0) last = static_cast<std::int64_t>(room[2].index);
                out.partner[i] = got > 0 ? static_cast<std::int64_t>(room[2].index) : -1;
                out.d2[i] = got > 0 ? room[2].d2 : 0.0;
                if (repeated) {
                    out.second[i] = got > 1 ? static_cast<std::int64_t>(room[3].index) : -1;
                    out.clear[i] = two ? std::sqrt(got > 1 ? room[3].d2 : bound) * (1.0 - slack) : 0.0;
                }
            }
        });
    });
    const auto sums = pool::exact_sums(n, Cost::stream, [&](std::size_t i) {
        return std::array<double, 2>{out.partner[i] >= 0 ? 1.0 : 0.0, out.d2[i]};
    });
    const double count = sums.rounded(0);
    out.any = count > 0.0;
    out.fitness = count / static_cast<double>(n);
    out.rmse = out.any ? std::sqrt(sums.divided(1, count)) : 0.0;
}

// The increment that best moves the paired points onto their partners:
// point to point by the fit of RigidTransform.align, or point to plane by
// the linearised least squares; nothing where the system is singular.
std::optional<RigidTransform> step(const Pairing& p, const Array<Vec3d>& targets, const Vec3d* normals) {
    const std::size_t n = p.moved.size();
    if (!normals) {
        const auto pairs = [&](std::size_t i) {
            const std::int64_t j = p.partner[i];
            return j >= 0 ? std::tuple(p.moved[i], targets[j], 1.0) : std::tuple(Vec3d::zero(), Vec3d::zero(), 0.0);
        };
        return lumora::fitted(n, pairs, lumora::centroids(n, pairs));
    }
    const auto sums = pool::exact_sums(n, Cost::compound, [&](std::size_t i) {
        const std::int64_t j = p.partner[i];
        if (j < 0) return std::array<double, drovak::cloud::plane_terms>{};
        return drovak::cloud::point_to_plane_terms(p.moved[i], targets[j], normals[j]);
    });
    std::array<double, drovak::cloud::plane_terms> rounded;
    for (std::size_t k = 0; k < rounded.size(); ++k)
        rounded[k] = sums.rounded(k);
    const auto x = drovak::cloud::solve_point_to_plane(rounded);
    if (!x) return std::nullopt;
    return drovak::cloud::increment(*x);
}

double checked_distance(double max_distance) {
    if (!(max_distance > 0.0 && std::isfinite(max_distance))) {
        refuse("argument 'max_distance': a positive finite distance is required, not " +
               bind::format_floats("{}", {max_distance}));
    }
    return drovak::index::squared_limit(max_distance);
}

// The relative change below which the iterations stop, unless told.
constexpr double default_tolerance = 1e-6;

IcpResult icp(const bind::RowsOf<3>& source_rows, const PointIndex& target, double max_distance,
              const std::optional<RigidTransform>& init, const std::optional<bind::RowsOf<3>>& normal_rows,
              bind::Keyword<std::uint64_t, 30> iterations, bind::Keyword<double, &default_tolerance> tolerance) {
    const double limit = checked_distance(max_distance);
    if (normal_rows && normal_rows->rows != target.size()) {
        refuse("argument 'target_normals': " + std::to_string(target.size()) +
               " normals, one per target point, are required, not " + std::to_string(normal_rows->rows));
    }
    if (iterations < 1) refuse("argument 'iterations': at least 1 is required, not 0");
    if (!(tolerance >= 0.0)) {
        refuse("argument 'tolerance': a non-negative number is required, not " +
               bind::format_floats("{}", {tolerance}));
    }
    if (source_rows.rows == 0) refuse("argument 'source': no points to register");
    if (target.size() == 0) refuse("argument 'target': an empty PointIndex");
    const lumora::Points source(source_rows);
    std::optional<lumora::Points> normals;
    if (normal_rows) normals.emplace(*normal_rows);
    const Array<Vec3d> targets = target.points();
    const Array<std::size_t> positions = tree_positions(target);

    IcpResult result{init.value_or(RigidTransform::identity()), 0.0, 0.0, 0, 0};
    Pairing p(source.size(), true);
    pair(target, source.data(), result.transform, limit, p, targets.data(), positions.data(), false);
    while (p.any && result.iterations < iterations) {
        const auto inc = step(p, targets, normals ? normals->data() : nullptr);
        if (!inc) break;
        result.transform = drovak::compose_motion(*inc, result.transform);
        ++result.iterations;
        const double fitness = p.fitness, rmse = p.rmse;
        pair(target, source.data(), result.transform, limit, p, targets.data(), positions.data());
        const bool still =
            drovak::cloud::settled(fitness, p.fitness, tolerance) && drovak::cloud::settled(rmse, p.rmse, tolerance);
        if (p.any && (still || drovak::cloud::negligible(*inc, tolerance, max_distance))) {
            result.converged = 1;
            break;
        }
    }
    result.fitness = p.fitness;
    result.rmse = p.rmse;
    return result;
}

std::pair<double, double> evaluate(const bind::RowsOf<3>& source_rows, const PointIndex& target, double max_distance,
                                   const std::optional<RigidTransform>& transform) {
    const double limit = checked_distance(max_distance);
    if (source_rows.rows == 0) refuse("argument 'source': no points to evaluate");
    if (target.size() == 0) refuse("argument 'target': an empty PointIndex");
    const lumora::Points source(source_rows);
    Pairing p(source.size(), false);
    const Array<Vec3d> targets = target.points();
    const Array<std::size_t> positions = tree_positions(target);
    pair(target, source.data(), transform.value_or(RigidTransform::identity()), limit, p, targets.data(),
         positions.data(), false);
    return {p.fitness, p.rmse};
}

RigidTransform transform(const IcpResult& r) { return r.transform; }
double fitness(const IcpResult& r) { return r.fitness; }
double rmse(const IcpResult& r) { return r.rmse; }
std::uint64_t iterations(const IcpResult& r) { return r.iterations; }
bool converged(const IcpResult& r) { return r.converged != 0; }

std::string repr(const IcpResult& r) {
    const drovak::Quat& q = r.transform.rotation;
    const Vec3d& t = r.transform.translation;
    return bind::format_floats("IcpResult(transform=RigidTransform(Quat({}, {}, {}, {}), Vec3d({}, {}, {})), "
                               "fitness={}, rmse={}, ",
                               {q.w, q.i, q.j, q.k, t.x, t.y, t.z, r.fitness, r.rmse}) +
           "iterations=" + std::to_string(r.iterations) + ", converged=" + (r.converged ? "True" : "False") + ")";
}

} // namespace

IcpResult bind::Pickled<IcpResult>::restore(std::span<const std::byte> data, const char* name) {
    IcpResult r;
    const std::string where = std::string("argument '") + name + "': ";
    if (data.size() != sizeof r)
        throw Error{PyExc_ValueError, where + "an IcpResult is " + std::to_string(sizeof r) + " bytes"};
    std::memcpy(&r, data.data(), sizeof r);
    if (!RigidTransform::has_direction(r.transform.rotation) || r.converged > 1)
        throw Error{PyExc_ValueError, where + "not the bytes of an IcpResult"};
    // Stored normalised, as every motion's rotation is.
    r.transform = RigidTransform::make(r.transform.rotation, r.transform.translation);
    return r;
}

std::span<PyMethodDef> icp_functions() {
    static PyMethodDef functions[] = {
        F::function<&icp, "icp", "source", "target", "max_distance", "init", "target_normals", "iterations",
                    "tolerance">(),
        F::function<&evaluate, "evaluate", "source", "target", "max_distance", "transform">(),
    };
    return functions;
}

template <>
PyType_Spec& bind::Class<IcpResult>::spec() {
    static PyMethodDef methods[] = {
        bind::reduce<IcpResult>(),
        bind::end_methods,
    };
    static PyGetSetDef properties[] = {
        I::getter<&transform, "transform">(),   I::getter<&fitness, "fitness">(),     I::getter<&rmse, "rmse">(),
        I::getter<&iterations, "iterations">(), I::getter<&converged, "converged">(), bind::end_properties,
    };
    static const bind::Slots slots[] = {
        I::dealloc(),
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        I::repr<&repr>(),
    };
    static PyType_Spec spec = I::type_spec("builtins.IcpResult", slots, false);
    return spec;
}
