// The intersection functions of lumora.geometry, bound to the submodule.

#include "geometry/functions.hpp"

#include "bind/define.hpp"
#include "classes.hpp"
#include "drovak/geometry/intersection.hpp"

#include <variant>

namespace {

namespace geo = drovak::geometry;
using F = bind::Def<void>;

// Each kind of failure just means "not on the circle" here.
bool circle_point(const geo::Circle& circle, const drovak::Vec3d& point, bool inner) {
    return !geo::circle_point(circle, point, inner);
}

geo::CirclePoints circle_circle(const geo::Circle& circle1, const geo::Circle& circle2) {
    const auto result = geo::circle_circle(circle1, circle2);
    if (const auto* error = std::get_if<geo::IntersectionError>(&result))
        throw bind::Error{PyExc_ValueError, geo::text(*error)};
    return std::get<geo::CirclePoints>(result);
}

} // namespace

std::span<PyMethodDef> intersection_functions() {
    static PyMethodDef functions[] = {
        F::function<&circle_circle, "circle_circle", "circle1", "circle2">(),
        F::function<&circle_point, "circle_point", "circle", "point", "inner">(),
        F::function<&geo::circle_point_unchecked, "circle_point_unchecked", "circle", "point", "inner">(),
        F::function<&geo::plane_line, "plane_line", "plane", "a", "b">(),
    };
    return functions;
}
