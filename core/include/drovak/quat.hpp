#pragma once
// Quaternions: rotations of vectors, their composition, inverse and
// interpolation, axis-angle and matrix forms.

#include <array>
#include <cmath>
#include <tuple>
#include <utility>
#include <variant>

#include "drovak/angle.hpp"
#include "drovak/vec3d.hpp"

namespace drovak {

struct Quat;

// Three rows of three; row n is the image of the n-th basis vector.
using RotationMatrix = std::array<std::array<double, 3>, 3>;

// Why a matrix is not taken as a rotation.
enum class RotationMatrixError { NotOrthonormal, Reflection };

// Each entry of M * M^T may differ from the unit matrix's by less than this:
// single-precision rounding passes, a visible shear or scaling does not.
inline constexpr double rotation_matrix_tolerance = 1e-6;

// The error's only rendering; the Python layer raises it as the message.
constexpr const char* text(RotationMatrixError error) {
    switch (error) {
    case RotationMatrixError::NotOrthonormal:
        return "matrix is not a rotation: its rows are not orthonormal within 1e-6";
    case RotationMatrixError::Reflection:
        return "matrix is not a rotation: its determinant is -1 (a reflection)";
    }
    return "";
}

// Above this dot product slerp blends linearly: there the two quaternions are
// less than 1.6e-5 apart, and the normalised blend strays from the arc by
// about angle^3 / 62 < 7e-17, below the rounding of the sine weights.
inline constexpr double slerp_linear_above = 1.0 - 0x1p-33;

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

    constexpr double squared_magnitude() const { return ((w * w + i * i) + j * j) + k * k; }

    double magnitude() const { return std::sqrt(squared_magnitude()); }

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
    constexpr RotationMatrix to_rotation_matrix() const {
        const auto twice = [](double x) { return x + x; };
        return {{
            {1.0 - twice(j * j + k * k), twice(i * j - w * k), twice(i * k + w * j)},
            {twice(i * j + w * k), 1.0 - twice(i * i + k * k), twice(j * k - w * i)},
            {twice(i * k - w * j), twice(j * k + w * i), 1.0 - twice(i * i + j * j)},
        }};
    }

    constexpr std::tuple<double, double, double> to_vec3d() const { return {i, j, k}; }

    // The conjugate with each component truly divided by the squared
    // magnitude n: (w / n, -i / n, -j / n, -k / n). For a unit quaternion it
    // rotates back; the zero quaternion gives NaN components.
    constexpr Quat inverse() const {
        const double n = squared_magnitude();
        return {w / n, -i / n, -j / n, -k / n};
    }

    // Spherical linear interpolation from this (t = 0) to other (t = 1) along
    // the shorter arc; any other t extrapolates by the same formula:
    // 1. d = ((w * o.w + i * o.i) + j * o.j) + k * o.k.
    // 2. If d < 0, b = -other (each sign bit flipped) and d = -d; else b = other.
    // 3. If d > slerp_linear_above: wa = 1 - t, wb = t, and the result is the
    //    blend (wa * c + wb * b.c per component c) normalised by normalize().
    // 4. Otherwise theta = acos(d), s = sin(theta), wa = sin((1 - t) * theta) / s,
    //    wb = sin(t * theta) / s, and the result is the blend, as it is.
    // At t = 0 and 1 step 4 gives the ends exactly (up to the sign of a zero);
    // a NaN d takes step 4 and gives NaN.
    Quat slerp(const Quat& other, double t) const {
        double d = ((w * other.w + i * other.i) + j * other.j) + k * other.k;
        Quat b = other;
        if (d < 0.0) {
            b = {-other.w, -other.i, -other.j, -other.k};
            d = -d;
        }
        const auto blend = [&](double wa, double wb) -> Quat {
            return {wa * w + wb * b.w, wa * i + wb * b.i, wa * j + wb * b.j, wa * k + wb * b.k};
        };
        if (d > slerp_linear_above) return blend(1.0 - t, t).normalize();
        const double theta = std::acos(d);
        const double s = std::sin(theta);
        return blend(std::sin((1.0 - t) * theta) / s, std::sin(t * theta) / s);
    }

    // The unit quaternion with w >= 0 whose to_rotation_matrix() is m, or why
    // there is none. See the definition below for the method.
    static std::variant<Quat, RotationMatrixError> from_rotation_matrix(const RotationMatrix& m);

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

// The rotation "first b, then a": compose(a, b).rotate(v) equals
// a.rotate(b.rotate(v)) up to rounding. With the conjugate-first rotate this
// is the Hamilton product b * a, as written and not normalised.
constexpr Quat compose(const Quat& a, const Quat& b) { return hamilton_product(b, a); }

// 1. The test: each entry of M * M^T, a row dot product
//    ((a0 * b0 + a1 * b1) + a2 * b2), minus 1 on the diagonal, must be under
//    rotation_matrix_tolerance in magnitude (so NaN fails), tested for the row
//    pairs 00, 01, 02, 11, 12, 22; then det = row0 . (row1 x row2) must be
//    positive, else the matrix is a reflection.
// 2. The largest of t = (m00 + m11) + m22, m00, m11 and m22 (the first of
//    equals) marks the largest of 4w^2 = 1 + t, 4i^2 = 1 + 2 m00 - t, ...:
//    that component comes from a square root and is at least 1/2, so the
//    divisor s is at least 2 and the other three are well conditioned:
//      t:   r = sqrt(1 + t),               w = r * 0.5, s = r + r,
//           i = (m21 - m12) / s, j = (m02 - m20) / s, k = (m10 - m01) / s;
//      m00: r = sqrt(((1 + m00) - m11) - m22), i = r * 0.5, s = r + r,
//           w = (m21 - m12) / s, j = (m01 + m10) / s, k = (m02 + m20) / s;
//      m11: r = sqrt(((1 - m00) + m11) - m22), j = r * 0.5, s = r + r,
//           w = (m02 - m20) / s, i = (m01 + m10) / s, k = (m12 + m21) / s;
//      m22: r = sqrt(((1 - m00) - m11) + m22), k = r * 0.5, s = r + r,
//           w = (m10 - m01) / s, i = (m02 + m20) / s, j = (m12 + m21) / s.
// 3. The result is normalize()d, so a matrix within the tolerance still gives
//    a unit quaternion, and negated (each sign bit) when w < 0.
inline std::variant<Quat, RotationMatrixError> Quat::from_rotation_matrix(const RotationMatrix& m) {
    const Vec3d rows[3] = {{m[0][0], m[0][1], m[0][2]}, {m[1][0], m[1][1], m[1][2]}, {m[2][0], m[2][1], m[2][2]}};
    for (int r = 0; r < 3; ++r) {
        for (int c = r; c < 3; ++c) {
            const double off = rows[r].dot(rows[c]) - (r == c ? 1.0 : 0.0);
            if (!(std::fabs(off) < rotation_matrix_tolerance)) return RotationMatrixError::NotOrthonormal;
        }
    }
    if (!(rows[0].scalar_triple_product(rows[1], rows[2]) > 0.0)) return RotationMatrixError::Reflection;

    const double trace = (m[0][0] + m[1][1]) + m[2][2];
    Quat q;
    if (trace >= m[0][0] && trace >= m[1][1] && trace >= m[2][2]) {
        const double r = std::sqrt(1.0 + trace);
        const double s = r + r;
        q = {r * 0.5, (m[2][1] - m[1][2]) / s, (m[0][2] - m[2][0]) / s, (m[1][0] - m[0][1]) / s};
    } else if (m[0][0] >= m[1][1] && m[0][0] >= m[2][2]) {
        const double r = std::sqrt(((1.0 + m[0][0]) - m[1][1]) - m[2][2]);
        const double s = r + r;
        q = {(m[2][1] - m[1][2]) / s, r * 0.5, (m[0][1] + m[1][0]) / s, (m[0][2] + m[2][0]) / s};
    } else if (m[1][1] >= m[2][2]) {
        const double r = std::sqrt(((1.0 - m[0][0]) + m[1][1]) - m[2][2]);
        const double s = r + r;
        q = {(m[0][2] - m[2][0]) / s, (m[0][1] + m[1][0]) / s, r * 0.5, (m[1][2] + m[2][1]) / s};
    } else {
        const double r = std::sqrt(((1.0 - m[0][0]) - m[1][1]) + m[2][2]);
        const double s = r + r;
        q = {(m[1][0] - m[0][1]) / s, (m[0][2] + m[2][0]) / s, (m[1][2] + m[2][1]) / s, r * 0.5};
    }
    q = q.normalize();
    if (q.w < 0.0) q = {-q.w, -q.i, -q.j, -q.k};
    return q;
}

inline Quat Vec3d::to_quat() const { return {0.0, x, y, z}; }

} // namespace drovak
