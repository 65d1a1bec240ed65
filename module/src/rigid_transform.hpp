#pragma once
// RigidTransform's pickled form: its own bytes, checked when restored.

#include "bind/pickle.hpp"
#include "drovak/rigid.hpp"

#include <cstddef>
#include <span>

// A motion never changes: no guard.
template <>
inline constexpr bool bind::immutable<drovak::RigidTransform> = true;

template <>
struct bind::Pickled<drovak::RigidTransform> {
    static std::span<const std::byte> bytes(const drovak::RigidTransform& m) { return std::as_bytes(std::span(&m, 1)); }
    // The motion the constructor makes of the rotation and translation in
    // `data`: ValueError naming `name` unless it is one motion's bytes, and
    // the constructor's ValueError for a rotation without a direction.
    static drovak::RigidTransform restore(std::span<const std::byte> data, const char* name);
};
