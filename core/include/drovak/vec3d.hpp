#pragma once
// Three-component vectors of doubles and their operations.

#include <array>
#include <cmath>
#include <cstdint>

#include "drovak/siphash.hpp"

namespace drovak {

// The one tolerance of the library: 2^-52. Every approximate test is
// |difference| < EPS, strictly less, so a NaN never passes.
inline constexpr double EPS = 0x1p-52;

struct AngleRadians;
struct Quat;

// Three doubles. Every operation is evaluated exactly as written, one IEEE
// operation at a time; the bulk loops and the Python layer rely on the
// results being reproducible bit for bit.
struct Vec3d {
    double x;
    double y;
    double z;

    static constexpr Vec3d zero() { return {0.0, 0.0, 0.0}; }
    static constexpr Vec3d i() { return {1.0, 0.0, 0.0}; }
    static constexpr Vec3d j() { return {0.0, 1.0, 0.0}; }
    static constexpr Vec3d k() { return {0.0, 0.0, 1.0}; }

    static constexpr Vec3d new_from_to(const Vec3d& from, const Vec3d& to) { return to - from; }

    friend constexpr Vec3d operator+(const Vec3d& a, const Vec3d& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
    friend constexpr Vec3d operator-(const Vec3d& a, const Vec3d& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
    friend constexpr Vec3d operator-(const Vec3d& a) { return {-a.x, -a.y, -a.z}; }
    friend constexpr Vec3d operator*(const Vec3d& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
    friend constexpr Vec3d operator*(double s, const Vec3d& a) { return a * s; }
    friend constexpr Vec3d operator/(const Vec3d& a, double s) { return {a.x / s, a.y / s, a.z / s}; }

    constexpr double dot(const Vec3d& b) const { return (x * b.x + y * b.y) + z * b.z; }

    constexpr Vec3d cross(const Vec3d& b) const { return {y * b.z - z * b.y, z * b.x - x * b.z, x * b.y - y * b.x}; }

    double magnitude() const { return std::sqrt(dot(*this)); }

    Vec3d normalize() const {
        const double m = magnitude();
        return {x / m, y / m, z / m};
    }

    bool is_unit() const { return std::fabs(magnitude() - 1.0) < EPS; }

    constexpr double distance_squared(const Vec3d& b) const {
        const Vec3d d = *this - b;
        return d.dot(d);
    }

    double distance_to(const Vec3d& b) const { return std::sqrt(distance_squared(b)); }

    // Distance to the infinite line through p and q.
    double distance_to_line(const Vec3d& p, const Vec3d& q) const {
        const Vec3d d = q - p;
        const double t = d.dot(*this - p) / d.dot(d);
        const Vec3d f{p.x + d.x * t, p.y + d.y * t, p.z + d.z * t};
        return distance_to(f);
    }

    // Foot of the perpendicular onto the infinite line through q and r.
    constexpr Vec3d project_onto_line(const Vec3d& r, const Vec3d& q) const {
        const Vec3d d = r - q;
        const double s = d.dot(q - *this) / d.dot(d);
        return {q.x - d.x * s, q.y - d.y * s, q.z - d.z * s};
    }

    // Projection onto the plane through the origin with normal n, which is
    // used as given (the projection is orthogonal only for a unit n).
    constexpr Vec3d project_onto_plane(const Vec3d& n) const {
        const double t = dot(n);
        return {x - n.x * t, y - n.y * t, z - n.z * t};
    }

    constexpr double scalar_triple_product(const Vec3d& b, const Vec3d& c) const { return dot(b.cross(c)); }

    // Defined beside the types they return: angle_to in angle.hpp, to_quat in
    // quat.hpp.
    AngleRadians angle_to(const Vec3d& other) const;
    Quat to_quat() const;

    constexpr std::array<double, 3> to_array() const { return {x, y, z}; }

    // Precondition: index < 3; the caller checks it.
    constexpr double operator[](std::uint64_t index) const { return index == 0 ? x : index == 1 ? y : z; }

    // Approximate equality with the absolute tolerance EPS, tested x, y, z.
    friend bool operator==(const Vec3d& a, const Vec3d& b) {
        return std::fabs(a.x - b.x) < EPS && std::fabs(a.y - b.y) < EPS && std::fabs(a.z - b.z) < EPS;
    }

    // SipHash-1-3 under the zero key of the three canonical bit patterns,
    // little-endian. Exact, while equality has a tolerance: vectors that
    // compare equal may hash differently.
    std::uint64_t hash64() const {
        unsigned char bytes[24];
        const std::uint64_t words[3] = {canonical_bits(x), canonical_bits(y), canonical_bits(z)};
        for (int w = 0; w < 3; ++w) {
            for (int b = 0; b < 8; ++b)
                bytes[8 * w + b] = static_cast<unsigned char>(words[w] >> (8 * b));
        }
        return siphash13(0, 0, bytes, sizeof bytes);
    }
};

} // namespace drovak
