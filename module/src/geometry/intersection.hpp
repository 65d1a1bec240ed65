#pragma once
// The functions of lumora.geometry.

#include "bind/object.hpp"

// Attaches plane_line and the circle intersections to the submodule, in the
// order of its __all__. Returns false with a Python error set.
bool add_intersection_functions(PyObject* module);
