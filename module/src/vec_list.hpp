#pragma once
// The vector list and its iterator: core vectors stored unboxed and
// contiguously, so that bulk loops run over a plain array.

#include "array.hpp"
#include "bind/buffer.hpp"
#include "bind/pickle.hpp"
#include "drovak/vec3d.hpp"
#include "pool.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

namespace lumora {

struct VecList {
    Array<drovak::Vec3d> vectors;
};

// A snapshot of a list's elements, handed out one by one.
struct VecListIterator {
    Array<drovak::Vec3d> vectors;
    std::size_t position = 0;
};

// Selections, reductions and the search (vec_list_reads.cpp).
VecList take(const VecList& v, const bind::Indices& indices);
VecList compress(const VecList& v, const bind::Mask& mask);
drovak::Vec3d sum(const VecList& v);
drovak::Vec3d mean(const VecList& v);
std::pair<drovak::Vec3d, drovak::Vec3d> bounds(const VecList& v);
std::pair<std::uint64_t, double> minimum_distance_to(const VecList& v, const drovak::Vec3d& other,
                                                     std::uint64_t stride);

} // namespace lumora

// A list pickles as the bytes of its elements, one block, copied back in
// pieces on the pool when large.
template <>
struct bind::Pickled<lumora::VecList> {
    static std::span<const std::byte> bytes(const lumora::VecList& v) {
        return std::as_bytes(std::span(v.vectors.data(), v.vectors.size()));
    }
    static lumora::VecList restore(std::span<const std::byte> data, const char* name) {
        constexpr std::size_t size = sizeof(drovak::Vec3d);
        if (data.size() % size != 0) {
            throw Error{PyExc_ValueError, std::string("argument '") + name +
                                              "': the bytes of a VecList are a multiple of " + std::to_string(size) +
                                              ", not " + std::to_string(data.size())};
        }
        auto vectors = lumora::Array<drovak::Vec3d>::uninitialised(data.size() / size);
        pool::copy(vectors.data(), data.data(), data.size());
        return {std::move(vectors)};
    }
};
