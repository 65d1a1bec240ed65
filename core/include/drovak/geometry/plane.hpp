#pragma once
// Planes in Hessian normal form: a normal and a distance from the origin.

#include <cmath>

#include "drovak/vec3d.hpp"

namespace drovak::geometry {

// The plane of the points x with normal·x + distance = 0. So distance is minus
// the signed offset along the normal: the plane z = 5 has distance -5.
// Constructors normalise the normal; a normal written directly is used as it
// stands, and nothing checks for a zero one.
struct Plane {
    Vec3d normal;
    double distance;

    // offset is the signed offset from the origin along the normal.
    static Plane make(const Vec3d& normal, double offset) { return {normal.normalize(), -offset}; }

    static constexpr Plane xy() { return {{0.0, 0.0, 1.0}, -0.0}; }
    static constexpr Plane xz() { return {{0.0, 1.0, 0.0}, -0.0}; }
    static constexpr Plane yz() { return {{1.0, 0.0, 0.0}, -0.0}; }

    static Plane from_point(const Vec3d& normal, const Vec3d& point) {
        const Vec3d n = normal.normalize();
        return {n, -point.dot(n)};
    }

    // The normal follows the right-hand rule over point1, point2, point3;
    // collinear points give a plane of NaNs.
    static Plane from_points(const Vec3d& point1, const Vec3d& point2, const Vec3d& point3) {
        return from_point((point2 - point1).cross(point3 - point1), point1);
    }

    bool contains_point(const Vec3d& point) const { return distance_to_point(point) < EPS; }

    // Unsigned; the true distance only while the normal has unit length.
    double distance_to_point(const Vec3d& point) const { return std::fabs(distance + normal.dot(point)); }
};

} // namespace drovak::geometry
