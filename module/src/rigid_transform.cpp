// The Python class RigidTransform: a rotation followed by a translation,
// applied, composed, inverted, interpolated, written as a 4x4 matrix and
// fitted to paired points.

#include "rigid_transform.hpp"
#include "bind/buffer.hpp"
#include "bind/define.hpp"
#include "bind/matrix.hpp"
#include "bind/pickle.hpp"
#include "bind/text.hpp"
#include "classes.hpp"
#include "fit.hpp"
#include "points.hpp"
#include "pool.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <variant>

using drovak::Quat;
using drovak::RigidTransform;
using drovak::Vec3d;

namespace {

using R = bind::Def<RigidTransform>;
using pool::Cost;

RigidTransform make(const Quat& rotation, const Vec3d& translation) {
    if (!RigidTransform::has_direction(rotation)) {
        throw bind::Error{
            PyExc_ValueError,
            "argument 'rotation': a quaternion of finite, non-zero magnitude is required, not " +
                bind::format_floats("Quat({}, {}, {}, {})", {rotation.w, rotation.i, rotation.j, rotation.k})};
    }
    return RigidTransform::make(rotation, translation);
}

Quat rotation(const RigidTransform& m) { return m.rotation; }
Vec3d translation(const RigidTransform& m) { return m.translation; }

std::string repr(const RigidTransform& m) {
    const Quat& q = m.rotation;
    const Vec3d& t = m.translation;
    return bind::format_floats(std::string("RigidTransform(Quat({}, {}, {}, {}), ") + std::string(lumora::vec3d_form) +
                                   ")",
                               {q.w, q.i, q.j, q.k, t.x, t.y, t.z});
}

drovak::Matrix4 to_matrix(const RigidTransform& m, bind::Keyword<bool, false> columns) { return m.to_matrix(columns); }

RigidTransform from_matrix(const bind::Matrix4x4& matrix, bind::Keyword<bool, false> columns) {
    const auto result = RigidTransform::from_matrix(matrix.rows, columns);
    if (const auto* error = std::get_if<drovak::MotionMatrixError>(&result))
        throw bind::Error{PyExc_ValueError, drovak::text(*error)};
    if (const auto* error = std::get_if<drovak::RotationMatrixError>(&result))
        throw bind::Error{PyExc_ValueError, drovak::text(*error)};
    return std::get<RigidTransform>(result);
}

// ---------------------------------------------------------------- the fit

[[noreturn]] void refuse(const std::string& text) { throw bind::Error{PyExc_ValueError, text}; }

std::pair<RigidTransform, double> align(const bind::RowsOf<3>& source_rows, const bind::RowsOf<3>& target_rows,
                                        const std::optional<bind::RowsOf<1>>& weight_rows) {
    const std::size_t n = source_rows.rows;
    if (target_rows.rows != n) {
        refuse("argument 'target': " + std::to_string(n) + " points, one per source point, are required, not " +
               std::to_string(target_rows.rows));
    }
    if (weight_rows && weight_rows->rows != n) {
        refuse("argument 'weights': " + std::to_string(n) + " weights, one per pair, are required, not " +
               std::to_string(weight_rows->rows));
    }
    if (n == 0) refuse("align() needs at least one pair of points");
    const lumora::Points source(source_rows);
    const lumora::Points target(target_rows);
    std::optional<lumora::Array<double>> own_weights;
    const double* weights = nullptr;
    if (weight_rows) weights = lumora::doubles(*weight_rows, own_weights);
    const Vec3d* s = source.data();
    const Vec3d* t = target.data();

    if (weights) {
        const auto bad = pool::min_reduce(
            n, Cost::stream,
            [&](std::size_t i) { return std::pair(!(weights[i] >= 0.0 && std::isfinite(weights[i])), i); },
            [](const auto& a, const auto& b) { return a.first && !b.first; });
        if (bad && bad->first) {
            refuse("argument 'weights': weight " + std::to_string(bad->second) +
                   " is negative or not finite: " + bind::format_floats("{}", {weights[bad->second]}));
        }
    }
    const auto pair = [&](std::size_t i) { return std::tuple(s[i], t[i], weights ? weights[i] : 1.0); };
    const lumora::Centroids c = lumora::centroids(n, pair);
    if (!(c.weight > 0.0)) refuse("argument 'weights': the weights sum to zero");
    if (!std::isfinite(c.source.x + c.source.y + c.source.z)) refuse("argument 'source': a point is not finite");
    if (!std::isfinite(c.target.x + c.target.y + c.target.z)) refuse("argument 'target': a point is not finite");
    const RigidTransform motion = lumora::fitted(n, pair, c);
    return {motion, lumora::residual(n, pair, motion, c.weight)};
}

} // namespace

// Restored bytes are made into a motion as the constructor makes one, so a
// pickled motion comes back bit for bit and no state breaks the rule that
// the rotation is stored normalised.
RigidTransform bind::Pickled<RigidTransform>::restore(std::span<const std::byte> data, const char* name) {
    if (data.size() != sizeof(RigidTransform)) {
        throw Error{PyExc_ValueError, std::string("argument '") + name + "': a RigidTransform is " +
                                          std::to_string(sizeof(RigidTransform)) + " bytes, not " +
                                          std::to_string(data.size())};
    }
    RigidTransform m;
    std::memcpy(&m, data.data(), sizeof m);
    return make(m.rotation, m.translation);
}

template <>
PyType_Spec& bind::Class<RigidTransform>::spec() {
    static PyMethodDef methods[] = {
        R::function<&RigidTransform::identity, "identity">(),
        R::method<&RigidTransform::apply, "apply", "v">(),
        R::method<&RigidTransform::inverse, "inverse">(),
        R::method<&RigidTransform::interpolate, "interpolate", "other", "t">(),
        R::method<&to_matrix, "to_matrix", "columns">(),
        R::function<&from_matrix, "from_matrix", "matrix", "columns">(),
        R::function<&align, "align", "source", "target", "weights">(),
        bind::reduce<RigidTransform>(),
        bind::end_methods,
    };
    static PyGetSetDef properties[] = {
        R::getter<&rotation, "rotation">(),
        R::getter<&translation, "translation">(),
        bind::end_properties,
    };
    static const bind::Slots slots[] = {
        R::constructor<&make, "rotation", "translation">(),
        R::dealloc(),
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        R::repr<&repr>(),
        R::richcompare<bind::Compare::equality>(),
        // First the right operand's motion, then the left's.
        R::binary<Py_nb_multiply, &drovak::compose_motion>(),
    };
    static PyType_Spec spec = R::type_spec("builtins.RigidTransform", slots);
    return spec;
}
