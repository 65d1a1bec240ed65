#pragma once
// The functions of lumora.geometry.

#include "bind/object.hpp"

#include <span>

// plane_line and the circle intersections, in the order of the submodule's
// __all__.
std::span<PyMethodDef> intersection_functions();
