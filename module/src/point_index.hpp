#pragma once
// The spatial index: an immutable snapshot of points in a 3-d tree, built
// once (on the pool when large) and then read by any number of threads
// without a guard.

#include "array.hpp"
#include "bind/buffer.hpp"
#include "bind/pickle.hpp"
#include "drovak/index/build.hpp"
#include "drovak/vec3d.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

namespace lumora {

// The rows as vectors of their own: a copy, so that nothing the call writes
// (an output buffer over the same memory) can change them while it reads.
Array<drovak::Vec3d> copied(const bind::RowsOf<3>& rows);

class PointIndex {
  public:
    PointIndex() = default;
    // Builds the index of n points, which it copies.
    PointIndex(const drovak::Vec3d* points, std::size_t n);

    std::size_t size() const { return plan_.n; }

    // f(tree) with the tree's view at its own index width.
    template <class F>
    decltype(auto) visit(F&& f) const {
        if (narrow()) return f(view(indices32_));
        return f(view(indices64_));
    }

    // The points in their given order.
    Array<drovak::Vec3d> points() const;

    // The order in which to answer a batch of queries: by locality when the
    // batch is large, so that queries answered one after another meet the
    // same nodes in cache. Every answer goes to its own query's slot, so the
    // order changes nothing but the time.
    Array<std::size_t> batch_order(const Array<drovak::Vec3d>& queries) const;

  private:
    // Positions fit 32 bits for all but the largest inputs, which keeps the
    // index at 28 bytes a point and its boxes.
    bool narrow() const { return plan_.n <= std::numeric_limits<std::uint32_t>::max(); }

    template <class Index>
    drovak::index::Tree<Index> view(const Array<Index>& indices) const {
        return {points_.data(), indices.data(), plan_.n, plan_.count, plan_.infinite, boxes_.data(), plan_.depth};
    }

    template <class Index>
    void build(const drovak::Vec3d* input, Array<Index>& indices);

    drovak::index::Plan plan_;
    Array<drovak::Vec3d> points_;
    Array<std::uint32_t> indices32_;
    Array<std::uint64_t> indices64_;
    Array<drovak::index::Box> boxes_;
};

} // namespace lumora

template <>
inline constexpr bool bind::immutable<lumora::PointIndex> = true;

// An index pickles as its points in their given order, one block, and is
// built again from them.
template <>
struct bind::Pickled<lumora::PointIndex> {
    static PyObject* block(const lumora::PointIndex& index);
    static lumora::PointIndex restore(std::span<const std::byte> data, const char* name);
};
