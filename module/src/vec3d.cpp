// The Python class Vec3d.

#include "bind/define.hpp"
#include "bind/pickle.hpp"
#include "bind/text.hpp"
#include "classes.hpp"

#include <cstdint>
#include <string>

namespace {

using drovak::Vec3d;
using V = bind::Def<Vec3d>;

double item(const Vec3d& v, std::uint64_t index) {
    if (index > 2) throw bind::Error{PyExc_IndexError, "Index out of bounds"};
    return v[index];
}

std::string repr(const Vec3d& v) { return bind::format_floats(lumora::vec3d_form, {v.x, v.y, v.z}); }

Vec3d make(double x, double y, double z) { return {x, y, z}; }

} // namespace

template <>
PyType_Spec& bind::Class<Vec3d>::spec() {
    static PyMethodDef methods[] = {
        V::function<&Vec3d::zero, "zero">(),
        V::function<&Vec3d::i, "i">(),
        V::function<&Vec3d::j, "j">(),
        V::function<&Vec3d::k, "k">(),
        V::function<&Vec3d::new_from_to, "new_from_to", "from", "to">(),
        V::method<&Vec3d::to_quat, "to_quat">(),
        V::method<&Vec3d::to_array, "to_array">(),
        V::method<&Vec3d::magnitude, "magnitude">(),
        V::method<&Vec3d::is_unit, "is_unit">(),
        V::method<&Vec3d::normalize, "normalize">(),
        V::method<&Vec3d::dot, "dot", "other">(),
        V::method<&Vec3d::cross, "cross", "other">(),
        V::method<&Vec3d::angle_to, "angle_to", "other">(),
        V::method<&Vec3d::scalar_triple_product, "scalar_triple_product", "b", "c">(),
        V::method<&Vec3d::distance_to, "distance_to", "other">(),
        V::method<&Vec3d::distance_squared, "distance_squared", "other">(),
        V::method<&Vec3d::distance_to_line, "distance_to_line", "a", "b">(),
        V::method<&Vec3d::project_onto_plane, "project_onto_plane", "normal">(),
        V::method<&Vec3d::project_onto_line, "project_onto_line", "line_r", "line_q">(),
        bind::reduce<Vec3d>(),
        bind::end_methods,
    };
    static PyGetSetDef properties[] = {
        V::property<&Vec3d::x, "x">(),
        V::property<&Vec3d::y, "y">(),
        V::property<&Vec3d::z, "z">(),
        bind::end_properties,
    };
    static const bind::Slots slots[] = {
        V::constructor<&make, "x", "y", "z">(),
        V::dealloc(),
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        V::repr<&repr>(),
        V::hash<&Vec3d::hash64>(),
        V::richcompare<bind::Compare::equality>(),
        V::binary<Py_nb_add, [](const Vec3d& a, const Vec3d& b) { return a + b; }>(),
        V::binary<Py_nb_subtract, [](const Vec3d& a, const Vec3d& b) { return a - b; }>(),
        V::binary<Py_nb_multiply, [](const Vec3d& a, double s) { return a * s; },
                  [](const Vec3d& a, double s) { return s * a; }>(),
        V::binary<Py_nb_true_divide, [](const Vec3d& a, double s) { return a / s; }>(),
        V::unary<Py_nb_negative, [](const Vec3d& a) { return -a; }, "__neg__">(),
        V::getitem<&item, "index">(),
    };
    static PyType_Spec spec = V::type_spec("builtins.Vec3d", slots);
    return spec;
}
