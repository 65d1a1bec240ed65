// The Python classes AngleRadians and AngleDegrees.

#include "bind/define.hpp"
#include "bind/pickle.hpp"
#include "classes.hpp"

#include <string>

namespace {

using drovak::AngleDegrees;
using drovak::AngleRadians;
using R = bind::Def<AngleRadians>;
using D = bind::Def<AngleDegrees>;

template <class A>
std::string repr(const A& a) {
    char buf[drovak::angle_text_capacity];
    return {buf, drovak::write_text(buf, a)};
}

AngleRadians make_radians(double angle) { return {angle}; }
AngleDegrees make_degrees(double angle) { return {angle}; }

} // namespace

template <>
PyType_Spec& bind::Class<AngleRadians>::spec() {
    static PyMethodDef methods[] = {
        R::function<&AngleRadians::zero, "zero">(),
        R::function<&AngleRadians::pi, "pi">(),
        R::function<&AngleRadians::two_pi, "two_pi">(),
        R::function<&AngleRadians::half_pi, "half_pi">(),
        R::function<&AngleRadians::third_pi, "third_pi">(),
        R::function<&AngleRadians::quarter_pi, "quarter_pi">(),
        R::function<&AngleRadians::sixth_pi, "sixth_pi">(),
        R::method<&AngleRadians::sin, "sin">(),
        R::method<&AngleRadians::cos, "cos">(),
        R::method<&AngleRadians::tan, "tan">(),
        R::method<&AngleRadians::sec, "sec">(),
        R::method<&AngleRadians::csc, "csc">(),
        R::method<&AngleRadians::cot, "cot">(),
        R::method<&AngleRadians::to_degrees, "to_degrees">(),
        bind::reduce<AngleRadians>(),
        bind::end_methods,
    };
    static PyGetSetDef properties[] = {
        R::property<&AngleRadians::angle, "angle">(),
        bind::end_properties,
    };
    static const bind::Slots slots[] = {
        R::constructor<&make_radians, "angle">(),
        R::dealloc(),
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        R::repr<&repr<AngleRadians>>(),
        R::richcompare<bind::Compare::ordered>(),
        // No reflected forms: a number on the left is the interpreter's TypeError.
        R::binary<Py_nb_add, [](const AngleRadians& a, const AngleRadians& b) { return a + b; }>(),
        R::binary<Py_nb_subtract, [](const AngleRadians& a, const AngleRadians& b) { return a - b; }>(),
        R::binary<Py_nb_multiply, [](const AngleRadians& a, double s) { return a * s; }>(),
        R::binary<Py_nb_true_divide, [](const AngleRadians& a, double s) { return a / s; }>(),
        R::unary<Py_nb_negative, [](const AngleRadians& a) { return -a; }, "__neg__">(),
    };
    static PyType_Spec spec = R::type_spec("builtins.AngleRadians", slots);
    return spec;
}

template <>
PyType_Spec& bind::Class<AngleDegrees>::spec() {
    static PyMethodDef methods[] = {
        D::method<&AngleDegrees::to_radians, "to_radians">(),
        bind::reduce<AngleDegrees>(),
        bind::end_methods,
    };
    static PyGetSetDef properties[] = {
        D::property<&AngleDegrees::angle, "angle">(),
        bind::end_properties,
    };
    static const bind::Slots slots[] = {
        D::constructor<&make_degrees, "angle">(),
        D::dealloc(),
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        D::repr<&repr<AngleDegrees>>(),
        D::richcompare<bind::Compare::ordered>(),
        D::unary<Py_nb_negative, [](const AngleDegrees& a) { return -a; }, "__neg__">(),
    };
    static PyType_Spec spec = D::type_spec("builtins.AngleDegrees", slots);
    return spec;
}
