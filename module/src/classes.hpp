#pragma once
// The core types that have a Python class. Each class file defines the
// spec of its class; declaring them here lets every file convert to and
// from any class.

#include "bind/object.hpp"
#include "cloud/icp.hpp"
#include "drovak/angle.hpp"
#include "drovak/geometry/circle.hpp"
#include "drovak/geometry/plane.hpp"
#include "drovak/quat.hpp"
#include "drovak/vec3d.hpp"
#include "point_index.hpp"
#include "rigid_transform.hpp"
#include "vec_list.hpp"

#include <string_view>

namespace lumora {
// The text of a vector in every repr that shows one: Vec3d's own and each
// element of a VecList's.
inline constexpr std::string_view vec3d_form = "Vec3d({}, {}, {})";
} // namespace lumora

template <>
PyType_Spec& bind::Class<drovak::Vec3d>::spec();
template <>
PyType_Spec& bind::Class<drovak::AngleRadians>::spec();
template <>
PyType_Spec& bind::Class<drovak::AngleDegrees>::spec();
template <>
PyType_Spec& bind::Class<drovak::Quat>::spec();
template <>
PyType_Spec& bind::Class<drovak::geometry::Plane>::spec();
template <>
PyType_Spec& bind::Class<drovak::geometry::Circle>::spec();
template <>
PyType_Spec& bind::Class<lumora::VecList>::spec();
template <>
PyType_Spec& bind::Class<lumora::VecListIterator>::spec();
template <>
PyType_Spec& bind::Class<lumora::PointIndex>::spec();
template <>
PyType_Spec& bind::Class<drovak::RigidTransform>::spec();
template <>
PyType_Spec& bind::Class<lumora::IcpResult>::spec();
