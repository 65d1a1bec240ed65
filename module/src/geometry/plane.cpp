// The Python class Plane: hashed and compared by identity.

#include "bind/define.hpp"
#include "bind/pickle.hpp"
#include "classes.hpp"

using drovak::geometry::Plane;
using P = bind::Def<Plane>;

template <>
PyType_Spec& bind::Class<Plane>::spec() {
    static PyMethodDef methods[] = {
        P::function<&Plane::xy, "xy">(),
        P::function<&Plane::xz, "xz">(),
        P::function<&Plane::yz, "yz">(),
        P::function<&Plane::from_point, "from_point", "normal", "point">(),
        P::function<&Plane::from_points, "from_points", "point1", "point2", "point3">(),
        P::method<&Plane::contains_point, "contains_point", "point">(),
        P::method<&Plane::distance_to_point, "distance_to_point", "point">(),
        bind::reduce<Plane>(),
        bind::end_methods,
    };
    static PyGetSetDef properties[] = {
        P::property<&Plane::normal, "normal">(),
        P::property<&Plane::distance, "distance">(),
        bind::end_properties,
    };
    static const bind::Slots slots[] = {
        P::constructor<&Plane::make, "normal", "distance">(),
        P::dealloc(),
        {Py_tp_methods, methods},
        {Py_tp_getset, properties},
    };
    static PyType_Spec spec = P::type_spec("builtins.Plane", slots);
    return spec;
}
