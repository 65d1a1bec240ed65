#pragma once
// Where lines, planes and circles meet, and how an intersection fails.

#include <cmath>
#include <optional>
#include <utility>
#include <variant>

#include "drovak/geometry/circle.hpp"
#include "drovak/geometry/plane.hpp"
#include "drovak/vec3d.hpp"

namespace drovak::geometry {

enum class IntersectionError { TooFarApart, Contained, Identical, OutOfPlane };

// The error's only rendering; the Python layer raises it as the message.
constexpr const char* text(IntersectionError error) {
    switch (error) {
    case IntersectionError::TooFarApart:
        return "The given geometries are too far apart and do not intersect at all.";
    case IntersectionError::Contained:
        return "One of the given geometries is contained entirely within the other. The surfaces do not intersect.";
    case IntersectionError::Identical:
        return "The given geometries are identical.";
    case IntersectionError::OutOfPlane:
        return "The given geometries are out of plane from each other";
    }
    return "";
}

using CirclePoints = std::pair<Vec3d, Vec3d>;

// Where the line through a and b meets the plane; the line is unbounded. A line
// parallel to the plane gives infinities or NaNs, not an error.
inline Vec3d plane_line(const Plane& plane, const Vec3d& a, const Vec3d& b) {
    const Vec3d d = b - a;
    const double t = -(plane.distance + plane.normal.dot(a)) / plane.normal.dot(d);
    return a + d * t;
}

namespace detail {
// Radius minus the point's distance from the centre: zero on the circle,
// positive inside.
inline double radial_gap(const Circle& circle, const Vec3d& point) {
    return circle.radius - point.distance_to(circle.center);
}

inline bool on_or_inside(double gap, bool inner) { return std::fabs(gap) < EPS || (gap > EPS && inner); }
} // namespace detail

// Empty when the point lies on the circle (or, with inner, anywhere in its
// disc); otherwise the reason it does not.
inline std::optional<IntersectionError> circle_point(const Circle& circle, const Vec3d& point, bool inner) {
    const Vec3d n = circle.normal.normalize();
    if (!(std::fabs(n.dot(point) - n.dot(circle.center)) < EPS)) return IntersectionError::OutOfPlane;
    const double gap = detail::radial_gap(circle, point);
    if (detail::on_or_inside(gap, inner)) return std::nullopt;
    // A NaN gap, or one of exactly EPS, counts as outside.
    return gap > EPS ? IntersectionError::Contained : IntersectionError::TooFarApart;
}

// The distance test of circle_point without the plane test: really a test
// against the sphere of the circle's radius.
inline bool circle_point_unchecked(const Circle& circle, const Vec3d& point, bool inner) {
    return detail::on_or_inside(detail::radial_gap(circle, point), inner);
}

// The two points where coplanar circles cross. Their order follows circle2's
// normal: reversing it swaps them.
inline std::variant<CirclePoints, IntersectionError> circle_circle(const Circle& circle1, const Circle& circle2) {
    if (circle1 == circle2) return IntersectionError::Identical;
    if (!circle1.in_same_plane(circle2)) return IntersectionError::OutOfPlane;
    const Vec3d& c1 = circle1.center;
    const Vec3d& c2 = circle2.center;
    const double r1 = circle1.radius;
    const double r2 = circle2.radius;
    const double s = c1.distance_to(c2);
    // Exact tangency passes both tests.
    if (s > r1 + r2) return IntersectionError::TooFarApart;
    if (s < std::fabs(r1 - r2)) return IntersectionError::Contained;

    const Vec3d e = c2 - c1;
    // How far along c1 -> c2 the common chord crosses the line of centres.
    const double k = (r1 * r1 - r2 * r2) / (s * s + s * s) + 0.5;
    // Once the tests above have passed, a negative radicand is rounding at a
    // tangency: take it as zero so that both points are the tangent point. A
    // NaN (from a NaN radius) stays NaN.
    const double radicand = r1 * r1 - (s * s) * (k * k);
    const double h = std::sqrt(radicand < 0.0 ? 0.0 : radicand);
    const Vec3d u = e.cross(circle2.normal).normalize();
    const Vec3d m = c1 + e * k;
    return CirclePoints{m + u * h, m - u * h};
}

} // namespace drovak::geometry
