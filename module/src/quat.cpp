// The Python class Quat.

#include "bind/define.hpp"
#include "bind/matrix.hpp"
#include "bind/pickle.hpp"
#include "bind/text.hpp"
#include "classes.hpp"

#include <string>
#include <variant>

namespace {

using drovak::Quat;
using Q = bind::Def<Quat>;

std::string repr(const Quat& q) { return bind::format_floats("Quat({}, {}, {}, {})", {q.w, q.i, q.j, q.k}); }

Quat make(double w, double i, double j, double k) { return {w, i, j, k}; }

// The column-vector convention's matrix is the transpose of the row-vector
// one this library writes.
drovak::RotationMatrix transposed(const drovak::RotationMatrix& m) {
    return {{{m[0][0], m[1][0], m[2][0]}, {m[0][1], m[1][1], m[2][1]}, {m[0][2], m[1][2], m[2][2]}}};
}

drovak::RotationMatrix to_rotation_matrix(const Quat& q, bind::Keyword<bool, false> columns) {
    const drovak::RotationMatrix m = q.to_rotation_matrix();
    return columns ? transposed(m) : m;
}

Quat from_rotation_matrix(const bind::Matrix3x3& matrix, bind::Keyword<bool, false> columns) {
    const auto result = Quat::from_rotation_matrix(columns ? transposed(matrix.rows) : matrix.rows);
    if (const auto* error = std::get_if<drovak::RotationMatrixError>(&result))
        throw bind::Error{PyExc_ValueError, drovak::text(*error)};
    return std::get<Quat>(result);
}

} // namespace

template <>
PyType_Spec& bind::Class<Quat>::spec() {
    static PyMethodDef methods[] = {
        Q::function<&Quat::identity, "identity">(),
        Q::function<&Quat::from_axis_angle, "from_axis_angle", "axis", "angle">(),
        Q::method<&Quat::to_axis_angle, "to_axis_angle">(),
        Q::method<&Quat::rotate, "rotate", "v">(),
        Q::method<&to_rotation_matrix, "to_rotation_matrix", "columns">(),
        Q::method<&Quat::to_vec3d, "to_vec3d">(),
        Q::method<&Quat::conjugate, "conjugate">(),
        Q::method<&Quat::magnitude, "magnitude">(),
        Q::method<&Quat::normalize, "normalize">(),
        Q::method<&Quat::is_unit, "is_unit">(),
        Q::method<&Quat::inverse, "inverse">(),
        Q::method<&Quat::slerp, "slerp", "other", "t">(),
        Q::function<&from_rotation_matrix, "from_rotation_matrix", "matrix", "columns">(),
        bind::reduce<Quat>(),
        bind::end_methods,
    };
    static PyGetSetDef properties[] = {
        Q::property<&Quat::w, "w">(), Q::property<&Quat::i, "i">(), Q::property<&Quat::j, "j">(),
        Q::property<&Quat::k, "k">(), bind::end_properties,
    };
    static const bind::Slots slots[] = {
        Q::constructor<&make, "w", "i", "j", "k">(),
        Q::dealloc(),
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        Q::repr<&repr>(),
        Q::richcompare<bind::Compare::equality>(),
        // First the right operand's rotation, then the left's.
        Q::binary<Py_nb_multiply, &drovak::compose>(),
    };
    static PyType_Spec spec = Q::type_spec("builtins.Quat", slots);
    return spec;
}
