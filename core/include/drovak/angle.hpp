#pragma once
// Angles in radians and in degrees, their trigonometry, and their text forms.

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "drovak/float_text.hpp"
#include "drovak/vec3d.hpp"

namespace drovak {

// The correctly rounded double of pi, 0x400921FB54442D18.
inline constexpr double PI = std::bit_cast<double>(std::uint64_t{0x400921FB54442D18});

struct AngleDegrees;

// An angle in radians. Never wrapped or reduced: any double is an angle, and
// every operation is the single IEEE operation it names.
struct AngleRadians {
    double angle;

    // Stored bit patterns, not computed at run time. third_pi and sixth_pi are
    // the double pi divided by 3 and 6, so that 60 and 30 degrees convert to
    // them exactly.
    static constexpr AngleRadians zero() { return {0.0}; }
    static constexpr AngleRadians pi() { return {PI}; }
    static constexpr AngleRadians two_pi() { return {std::bit_cast<double>(std::uint64_t{0x401921FB54442D18})}; }
    static constexpr AngleRadians half_pi() { return {std::bit_cast<double>(std::uint64_t{0x3FF921FB54442D18})}; }
    static constexpr AngleRadians third_pi() { return {std::bit_cast<double>(std::uint64_t{0x3FF0C152382D7365})}; }
    static constexpr AngleRadians quarter_pi() { return {std::bit_cast<double>(std::uint64_t{0x3FE921FB54442D18})}; }
    static constexpr AngleRadians sixth_pi() { return {std::bit_cast<double>(std::uint64_t{0x3FE0C152382D7365})}; }

    // The platform libm, as Python's math module uses it.
    double sin() const { return std::sin(angle); }
    double cos() const { return std::cos(angle); }
    double tan() const { return std::tan(angle); }
    double sec() const { return 1.0 / std::cos(angle); }
    double csc() const { return 1.0 / std::sin(angle); }
    // From tan, not cos/sin: the two differ in the last bit.
    double cot() const { return 1.0 / std::tan(angle); }

    constexpr AngleDegrees to_degrees() const;

    friend constexpr AngleRadians operator+(AngleRadians a, AngleRadians b) { return {a.angle + b.angle}; }
    friend constexpr AngleRadians operator-(AngleRadians a, AngleRadians b) { return {a.angle - b.angle}; }
    friend constexpr AngleRadians operator*(AngleRadians a, double s) { return {a.angle * s}; }
    friend constexpr AngleRadians operator/(AngleRadians a, double s) { return {a.angle / s}; }
    friend constexpr AngleRadians operator-(AngleRadians a) { return {-a.angle}; }

    // Exact IEEE comparisons, no tolerance: NaN is unordered and unequal.
    friend constexpr bool operator==(AngleRadians a, AngleRadians b) { return a.angle == b.angle; }
    friend constexpr bool operator<(AngleRadians a, AngleRadians b) { return a.angle < b.angle; }
    friend constexpr bool operator<=(AngleRadians a, AngleRadians b) { return a.angle <= b.angle; }
    friend constexpr bool operator>(AngleRadians a, AngleRadians b) { return a.angle > b.angle; }
    friend constexpr bool operator>=(AngleRadians a, AngleRadians b) { return a.angle >= b.angle; }
};

// An angle in degrees: conversion, negation and comparison only.
struct AngleDegrees {
    double angle;

    constexpr AngleRadians to_radians() const { return {(angle * PI) / 180.0}; }

    friend constexpr AngleDegrees operator-(AngleDegrees a) { return {-a.angle}; }

    friend constexpr bool operator==(AngleDegrees a, AngleDegrees b) { return a.angle == b.angle; }
    friend constexpr bool operator<(AngleDegrees a, AngleDegrees b) { return a.angle < b.angle; }
    friend constexpr bool operator<=(AngleDegrees a, AngleDegrees b) { return a.angle <= b.angle; }
    friend constexpr bool operator>(AngleDegrees a, AngleDegrees b) { return a.angle > b.angle; }
    friend constexpr bool operator>=(AngleDegrees a, AngleDegrees b) { return a.angle >= b.angle; }
};

constexpr AngleDegrees AngleRadians::to_degrees() const { return {(angle * 180.0) / PI}; }

// The unsigned angle between two vectors, in [0, pi]. Rounding can push the
// cosine a hair past +-1 (a vector against itself); it is clamped back so such
// pairs give 0 or pi instead of NaN. A NaN ratio (a zero vector) stays NaN, and
// every ratio already inside [-1, 1] is used unchanged.
inline AngleRadians Vec3d::angle_to(const Vec3d& b) const {
    const double d = dot(b);
    const double ma = magnitude();
    const double mb = b.magnitude();
    double r = d / (ma * mb);
    if (r > 1.0) {
        r = 1.0;
    } else if (r < -1.0) {
        r = -1.0;
    }
    return {std::acos(r)};
}

// Text forms "{} radians" and "{}°" (no space before the degree sign), written
// into a caller's buffer of angle_text_capacity bytes; each returns the end of
// the text.
inline constexpr std::size_t angle_text_capacity = float_text_capacity + 8;

namespace detail {
inline constexpr char radians_suffix[] = " radians";
inline constexpr char degrees_suffix[] = "\xC2\xB0"; // U+00B0 in UTF-8

template <std::size_t N>
char* append_suffix(char* p, const char (&suffix)[N]) {
    std::memcpy(p, suffix, N - 1);
    return p + (N - 1);
}
} // namespace detail

inline char* write_text(char* out, AngleRadians a) {
    return detail::append_suffix(write_float(out, a.angle), detail::radians_suffix);
}

inline char* write_text(char* out, AngleDegrees a) {
    return detail::append_suffix(write_float(out, a.angle), detail::degrees_suffix);
}

} // namespace drovak
