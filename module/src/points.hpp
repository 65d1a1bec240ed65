#pragma once
// Rows of a buffer argument as the core's plain arrays: read where they are
// when packed and aligned, else copied once.

#include "array.hpp"
#include "bind/buffer.hpp"
#include "drovak/vec3d.hpp"
#include "pool.hpp"

#include <cstdint>
#include <optional>

namespace lumora {

// The rows of a (n, 3) buffer as vectors, valid while the argument is.
class Points {
  public:
    explicit Points(const bind::RowsOf<3>& rows) : size_(rows.rows) {
        const void* block = rows.packed();
        if (block && reinterpret_cast<std::uintptr_t>(block) % alignof(drovak::Vec3d) == 0) {
            data_ = static_cast<const drovak::Vec3d*>(block);
            return;
        }
        own_ = Array<drovak::Vec3d>::uninitialised(size_);
        if (block) {
            pool::copy(own_.data(), block, size_ * sizeof(drovak::Vec3d));
        } else {
            rows.gather(reinterpret_cast<double*>(own_.data()));
        }
        data_ = own_.data();
    }
    Points(const Points&) = delete;
    Points& operator=(const Points&) = delete;

    const drovak::Vec3d* data() const { return data_; }
    std::size_t size() const { return size_; }

  private:
    std::size_t size_;
    const drovak::Vec3d* data_ = nullptr;
    Array<drovak::Vec3d> own_;
};

// The items of a one-column buffer as doubles, read where they are when
// aligned, else copied into `own`.
inline const double* doubles(const bind::RowsOf<1>& rows, std::optional<Array<double>>& own) {
    const void* block = rows.packed();
    if (block && reinterpret_cast<std::uintptr_t>(block) % alignof(double) == 0)
        return static_cast<const double*>(block);
    own = Array<double>::uninitialised(rows.rows);
    rows.gather(own->data());
    return own->data();
}

} // namespace lumora
