// The Python class Circle: equality without a hash, so it is unhashable.

#include "bind/define.hpp"
#include "bind/pickle.hpp"
#include "classes.hpp"

using drovak::geometry::Circle;
using C = bind::Def<Circle>;

template <>
PyType_Spec& bind::Class<Circle>::spec() {
    static PyMethodDef methods[] = {
        C::function<&Circle::none, "none">(),
        C::method<&Circle::get_plane, "get_plane">(),
        C::method<&Circle::in_same_plane, "in_same_plane", "other">(),
        C::method<&Circle::is_degenerate, "is_degenerate">(),
        bind::reduce<Circle>(),
        bind::end_methods,
    };
    static PyGetSetDef properties[] = {
        C::property<&Circle::center, "center">(),
        C::property<&Circle::radius, "radius">(),
        C::property<&Circle::normal, "normal">(),
        C::getter<&Circle::area, "area">(),
        bind::end_properties,
    };
    static const bind::Slots slots[] = {
        C::constructor<&Circle::make, "center", "radius", "normal">(),
        C::dealloc(),
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
        C::richcompare<bind::Compare::equality_only>(),
    };
    static PyType_Spec spec = C::type_spec("builtins.Circle", slots);
    return spec;
}
