#pragma once
// The vector list and its iterator: core vectors stored unboxed and
// contiguously, so that bulk loops run over a plain array.

#include "array.hpp"
#include "drovak/vec3d.hpp"

#include <cstddef>

namespace lumora {

struct VecList {
    Array<drovak::Vec3d> vectors;
};

// A snapshot of a list's elements, handed out one by one.
struct VecListIterator {
    Array<drovak::Vec3d> vectors;
    std::size_t position = 0;
};

} // namespace lumora
