// Answers circle_point for the cases read from standard input, one line each:
// centre (3 doubles), radius, normal (3 doubles), point (3 doubles), inner
// (0 or 1). Prints "ok" or the name of the error kind, which Python cannot
// see: there every kind is just False.

#include "drovak/geometry/intersection.hpp"

#include <cstdio>
#include <cstdlib>

namespace {

double read_double() {
    char text[64];
    if (std::scanf(" %63s", text) != 1) std::exit(0);
    return std::strtod(text, nullptr);
}

// Braced initialisers are evaluated left to right.
drovak::Vec3d read_vec() { return {read_double(), read_double(), read_double()}; }

const char* name(drovak::geometry::IntersectionError error) {
    using drovak::geometry::IntersectionError;
    switch (error) {
    case IntersectionError::TooFarApart:
        return "TooFarApart";
    case IntersectionError::Contained:
        return "Contained";
    case IntersectionError::Identical:
        return "Identical";
    case IntersectionError::OutOfPlane:
        return "OutOfPlane";
    }
    return "?";
}

} // namespace

int main() {
    for (;;) {
        const drovak::geometry::Circle circle{read_vec(), read_double(), read_vec()};
        const drovak::Vec3d point = read_vec();
        const bool inner = read_double() != 0.0;
        const auto error = drovak::geometry::circle_point(circle, point, inner);
        std::puts(error ? name(*error) : "ok");
    }
}
