#pragma once
// Rigid motions: a rotation followed by a translation, v -> q.rotate(v) + t,
// with their composition, inverse, interpolation and 4x4 matrix forms. One
// vector, a whole list and the fit of paired points all use these formulas.

#include <array>
#include <cmath>
#include <limits>
#include <variant>

#include "drovak/quat.hpp"
#include "drovak/vec3d.hpp"

namespace drovak {

// Four rows of four: in the row-vector convention [x, y, z, 1] @ M moves a
// point, the upper 3x3 is the rotation matrix and the last row the
// translation.
using Matrix4 = std::array<std::array<double, 4>, 4>;

// Why a 4x4 matrix is not taken as a rigid motion.
enum class MotionMatrixError {
    // The last column is not (0, 0, 0, 1), and neither is the last row.
    NotRigid,
    // The last column is not (0, 0, 0, 1) but the last row is: a matrix of
    // the other convention.
    ColumnsGivenAsRows,
    // The same the other way round.
    RowsGivenAsColumns,
};

constexpr const char* text(MotionMatrixError error) {
    switch (error) {
    case MotionMatrixError::NotRigid:
        return "matrix is not a rigid motion: its last column is not (0, 0, 0, 1)";
    case MotionMatrixError::ColumnsGivenAsRows:
        return "matrix is not a rigid motion in the row-vector convention: its last column is not (0, 0, 0, 1), "
               "but its last row is, as in the column-vector convention; pass columns=True";
    case MotionMatrixError::RowsGivenAsColumns:
        return "matrix is not a rigid motion in the column-vector convention: its last row is not (0, 0, 0, 1), "
               "but its last column is, as in the row-vector convention; pass columns=False";
    }
    return "";
}

struct RigidTransform {
    // Unit within rounding: construction normalises it.
    Quat rotation;
    Vec3d translation;

    static constexpr RigidTransform identity() { return {Quat::identity(), Vec3d::zero()}; }

    // A rotation needs a direction: finite components, not all zero.
    static bool has_direction(const Quat& q) {
        const bool finite = std::isfinite(q.w) && std::isfinite(q.i) && std::isfinite(q.j) && std::isfinite(q.k);
        return finite && (q.w != 0.0 || q.i != 0.0 || q.j != 0.0 || q.k != 0.0);
    }

    // The rotation normalised, unless it is a unit quaternion already
    // (magnitude within unit_tolerance of 1), which is kept as it is: a
    // motion made again from its own parts, or from its repr, is the same
    // bit for bit. The caller refuses a rotation without a direction.
    static RigidTransform make(const Quat& rotation, const Vec3d& translation) {
        const bool unit = std::fabs(rotation.magnitude() - 1.0) <= unit_tolerance;
        return {unit ? rotation : in_range(rotation).normalize(), translation};
    }

    // A quaternion whose squared magnitude is subnormal or overflows is
    // brought near unit length by a power of two first, which keeps its
    // direction exactly (but for what lies below the smallest double), so
    // that normalize() divides by a magnitude it can take; any other is
    // left alone, and normalised bit for bit as Quat.normalize() does.
    static Quat in_range(const Quat& q) {
        const double s = q.squared_magnitude();
        if (s >= std::numeric_limits<double>::min() && s <= std::numeric_limits<double>::max()) return q;
        const int e =
            std::ilogb(std::fmax(std::fmax(std::fabs(q.w), std::fabs(q.i)), std::fmax(std::fabs(q.j), std::fabs(q.k))));
        return {std::ldexp(q.w, -e), std::ldexp(q.i, -e), std::ldexp(q.j, -e), std::ldexp(q.k, -e)};
    }

    // Normalising leaves the magnitude within a few units in the last place
    // of 1; a quaternion that close is kept.
    static constexpr double unit_tolerance = 0x1p-49;

    constexpr Vec3d apply(const Vec3d& v) const { return rotation.rotate(v) + translation; }

    // Rotation q.inverse(), translation -(q.inverse().rotate(t)).
    constexpr RigidTransform inverse() const {
        const Quat back = rotation.inverse();
        return {back, -back.rotate(translation)};
    }

    // Rotation slerp(other.rotation, t) as it is; translation per component
    // a * (1 - t) + b * t, so that t = 0 and t = 1 give the ends exactly.
    RigidTransform interpolate(const RigidTransform& other, double t) const {
        const double s = 1.0 - t;
        const Vec3d& a = translation;
        const Vec3d& b = other.translation;
        return {rotation.slerp(other.rotation, t), {a.x * s + b.x * t, a.y * s + b.y * t, a.z * s + b.z * t}};
    }

    // The row-vector matrix, transposed for the column-vector convention.
    constexpr Matrix4 to_matrix(bool columns) const {
        const RotationMatrix r = rotation.to_rotation_matrix();
        Matrix4 m = {{
            {r[0][0], r[0][1], r[0][2], 0.0},
            {r[1][0], r[1][1], r[1][2], 0.0},
            {r[2][0], r[2][1], r[2][2], 0.0},
            {translation.x, translation.y, translation.z, 1.0},
        }};
        return columns ? transposed(m) : m;
    }

    // The motion whose to_matrix(columns) is m, or why there is none. The
    // last column must be (0, 0, 0, 1) within rotation_matrix_tolerance per
    // entry (the last row with columns); the upper 3x3 must be a rotation,
    // which Quat::from_rotation_matrix decides.
    static std::variant<RigidTransform, MotionMatrixError, RotationMatrixError> from_matrix(const Matrix4& given,
                                                                                            bool columns) {
        const Matrix4 m = columns ? transposed(given) : given;
        if (!homogeneous(m)) {
            if (homogeneous(transposed(m)))
                return columns ? MotionMatrixError::RowsGivenAsColumns : MotionMatrixError::ColumnsGivenAsRows;
            return MotionMatrixError::NotRigid;
        }
        const RotationMatrix r = {
            {{m[0][0], m[0][1], m[0][2]}, {m[1][0], m[1][1], m[1][2]}, {m[2][0], m[2][1], m[2][2]}}};
        const auto q = Quat::from_rotation_matrix(r);
        if (const auto* error = std::get_if<RotationMatrixError>(&q)) return *error;
        return RigidTransform{std::get<Quat>(q), {m[3][0], m[3][1], m[3][2]}};
    }

    // The same motion: translations equal and rotations equal up to the
    // quaternion's sign (q and -q rotate alike), by their tolerant equality.
    friend bool operator==(const RigidTransform& a, const RigidTransform& b) {
        const Quat& q = b.rotation;
        return a.translation == b.translation && (a.rotation == q || a.rotation == Quat{-q.w, -q.i, -q.j, -q.k});
    }

  private:
    static constexpr Matrix4 transposed(const Matrix4& m) {
        Matrix4 t{};
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c)
                t[c][r] = m[r][c];
        }
        return t;
    }

    static bool homogeneous(const Matrix4& m) {
        const auto near = [](double x, double want) { return std::fabs(x - want) < rotation_matrix_tolerance; };
        return near(m[0][3], 0.0) && near(m[1][3], 0.0) && near(m[2][3], 0.0) && near(m[3][3], 1.0);
    }
};

// A motion as its rotation matrix and translation, for passes over many
// points whose results need not be apply's own bits (a residual, a search):
// v @ M + t costs a fifth of the quaternion's operations. It may differ from
// apply in the last bits.
struct MatrixMotion {
    RotationMatrix r;
    Vec3d t;

    explicit MatrixMotion(const RigidTransform& m) : r(m.rotation.to_rotation_matrix()), t(m.translation) {}

    // ((v.x * r[0][c] + v.y * r[1][c]) + v.z * r[2][c]) + t[c] per component c.
    constexpr Vec3d operator()(const Vec3d& v) const {
        return {((v.x * r[0][0] + v.y * r[1][0]) + v.z * r[2][0]) + t.x,
                ((v.x * r[0][1] + v.y * r[1][1]) + v.z * r[2][1]) + t.y,
                ((v.x * r[0][2] + v.y * r[1][2]) + v.z * r[2][2]) + t.z};
    }
};

// The motion "first b, then a": rotation (a.rotation * b.rotation) as Python
// writes it, normalised; translation a.rotation.rotate(b.translation) +
// a.translation.
inline RigidTransform compose_motion(const RigidTransform& a, const RigidTransform& b) {
    return {compose(a.rotation, b.rotation).normalize(), a.rotation.rotate(b.translation) + a.translation};
}

} // namespace drovak
