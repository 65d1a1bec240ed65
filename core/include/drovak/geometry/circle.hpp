#pragma once
// Circles in space: centre, radius and the normal of their plane.

#include <bit>
#include <cmath>
#include <cstdint>

#include "drovak/geometry/plane.hpp"
#include "drovak/vec3d.hpp"

namespace drovak::geometry {

// A circle in space: it lies in the plane through center perpendicular to
// normal. make() keeps the radius non-negative and the normal of unit length;
// values written directly are used as they stand.
struct Circle {
    Vec3d center;
    double radius;
    Vec3d normal;

    static Circle make(const Vec3d& center, double radius, const Vec3d& normal) {
        return {center, std::fabs(radius), normal.normalize()};
    }

    // A placeholder: its NaN normal makes it unequal to every circle, itself
    // included.
    static constexpr Circle none() {
        constexpr double nan = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});
        return {{0.0, 0.0, 0.0}, 0.0, {nan, nan, nan}};
    }

    constexpr bool is_degenerate() const { return radius == 0.0; }

    constexpr double area() const { return (radius * radius) * 3.141592653589793; }

    Plane get_plane() const { return Plane::from_point(normal, center); }

    // Normals and centres as stored. With the normals opposite, the offsets
    // have opposite signs for the same plane.
    bool in_same_plane(const Circle& other) const {
        if (normal == other.normal) return std::fabs(other.normal.dot(other.center) - normal.dot(center)) < EPS;
        if (normal == -other.normal) return std::fabs(other.normal.dot(other.center) + normal.dot(center)) < EPS;
        return false;
    }

    // Centres within EPS, radii exactly equal, normals within EPS either way
    // round: the same circle whichever side it is seen from. (Comparing with
    // the negated normal is |a.x + b.x| < EPS and so on: negation is exact.)
    friend bool operator==(const Circle& a, const Circle& b) {
        return a.center == b.center && a.radius == b.radius && (a.normal == b.normal || a.normal == -b.normal);
    }
};

} // namespace drovak::geometry
