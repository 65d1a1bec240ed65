#pragma once
// Quaternions: rotations of vectors, axis-angle and matrix forms.

#include <array>
#include <cmath>
#include <tuple>
#include <utility>

#include "drovak/angle.hpp"
#include "drovak/vec3d.hpp"

namespace drovak {

struct Quat;

// Hamilton product a * b, each component summed left to right. Terms with a
// zero factor are computed like all others: 0 * inf must still give NaN.
constexpr Quat hamilton_product(const Quat& a, const Quat& b);

// A quaternion w + i·i + j·j + k·k, scalar part first. Never normalised
// implicitly: a non-unit quaternion is used as stored.
struct Quat {
    double w;
    double i;
    double j;
    double k;

    static constexpr Quat identity() { return {1.0, 0.0, 0.0, 0.0}; }

    constexpr Quat conjugate() const { return {w, -i, -j, -k}; }

    double magnitude() const { return std::sqrt(((w * w + i * i) + j * j) + k * k); }

    Quat normalize() const {
        const double m = magnitude();
        return {w / m, i / m, j / m, k / m};
    }

    bool is_unit() const { return std::fabs(magnitude() - 1.0) < EPS; }

    // (cos(theta/2), -sin(theta/2) * axis): the vector part carries the negated
    // sine, which together with the conjugate-first rotate turns right-handed.
    static Quat from_axis_angle(const Vec3d& axis, AngleRadians angle) {
        const double h = angle.angle * (-0.5);
        double sh;
        double ch;
        ::sincos(h, &sh, &ch);
        return {ch, sh * axis.x, sh * axis.y, sh * axis.z};
    }

    // The axis comes back with the sign from_axis_angle takes (negate, then
    // divide), so feeding the pair back in gives this quaternion again.
    std::pair<Vec3d, AngleRadians> to_axis_angle() const {
        if (std::fabs(w - 1.0) < EPS) {
            return {Vec3d{1.0, 0.0, 0.0}, AngleRadians{0.0}};
        }
        const double a = std::acos(w);
        const double theta = a + a;
        const double s = std::sin(theta * 0.5);
        return {Vec3d{-i / s, -j / s, -k / s}, AngleRadians{theta}};
    }

    // conj(q) * p * q for the pure quaternion p; for a non-unit q the result
    // is also scaled by the squared magnitude.
    constexpr Vec3d rotate(const Vec3d& v) const {
        const Quat p{0.0, v.x, v.y, v.z};
        const Quat t = hamilton_product(conjugate(), p);
        const Quat r = hamilton_product(t, *this);
        return {r.i, r.j, r.k};
    }

    // Row n is rotate() of the n-th basis vector for a unit quaternion.
    // Doubling is x + x, which is exact.
    constexpr std::array<std::array<double, 3>, 3> to_rotation_matrix() const {
        const auto twice = [](double x) { return x + x; };
        return {{
            {1.0 - twice(j * j + k * k), twice(i * j - w * k), twice(i * k + w * j)},
            {twice(i * j + w * k), 1.0 - twice(i * i + k * k), twice(j * k - w * i)},
            {twice(i * k - w * j), twice(j * k + w * i), 1.0 - twice(i * i + j * j)},
        }};
    }

    constexpr std::tuple<double, double, double> to_vec3d() const { return {i, j, k}; }

    // Absolute tolerance EPS per component, tested w, i, j, k.
    friend bool operator==(const Quat& a, const Quat& b) {
        return std::fabs(a.w - b.w) < EPS && std::fabs(a.i - b.i) < EPS && std::fabs(a.j - b.j) < EPS &&
               std::fabs(a.k - b.k) < EPS;
    }
};

constexpr Quat hamilton_product(const Quat& a, const Quat& b) {
    return {
        a.w * b.w - a.i * b.i - a.j * b.j - a.k * b.k,
        a.w * b.i + a.i * b.w + a.j * b.k - a.k * b.j,
        a.w * b.j + a.j * b.w + a.k * b.i - a.i * b.k,
        a.w * b.k + a.k * b.w + a.i * b.j - a.j * b.i,
    };
}

inline Quat Vec3d::to_quat() const { return {0.0, x, y, z}; }

} // namespace drovak
