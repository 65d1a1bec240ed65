#pragma once
// The core types that have a Python class. Each class file defines the
// spec of its class; declaring them here lets every file convert to and
// from any class.

#include "bind/object.hpp"
#include "drovak/vec3d.hpp"

template <>
PyType_Spec& bind::Class<drovak::Vec3d>::spec();
