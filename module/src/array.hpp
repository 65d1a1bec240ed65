#pragma once
// A contiguous array of trivially copyable values, reserved without being
// zero-filled: the storage of vector lists and the result arrays of bulk
// operations, which the worker pool fills slot by slot.

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

namespace lumora {

template <class T>
class Array {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    Array() = default;
    Array(const Array&) = delete;
    Array& operator=(const Array&) = delete;
    Array(Array&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Array& operator=(Array&& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
        return *this;
    }
    ~Array() { std::free(data_); }

    // n slots whose contents are left for the caller to write.
    static Array uninitialised(std::size_t n) {
        Array a;
        a.reserve(n);
        a.size_ = n;
        return a;
    }

    // A copy of [first, first + n).
    static Array copy_of(const T* first, std::size_t n) {
        Array a = uninitialised(n);
        if (n) std::memcpy(a.data_, first, n * sizeof(T));
        return a;
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }

    // Room for n elements in all; false (and nothing changed) when the
    // memory cannot be had.
    bool try_reserve(std::size_t n) noexcept {
        if (n <= capacity_) return true;
        if (n > std::numeric_limits<std::size_t>::max() / sizeof(T)) return false;
        void* p = std::realloc(data_, n * sizeof(T));
        if (!p) return false;
        data_ = static_cast<T*>(p);
        capacity_ = n;
        return true;
    }

    void reserve(std::size_t n) {
        if (!try_reserve(n)) throw std::bad_alloc();
    }

    void push_back(const T& v) {
        if (!try_push_back(v)) throw std::bad_alloc();
    }

    bool try_push_back(const T& v) noexcept {
        if (size_ == capacity_ && !try_reserve(grown(size_ + 1))) return false;
        data_[size_++] = v;
        return true;
    }

    void append(const T* first, std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() - size_) throw std::bad_alloc();
        if (size_ + n > capacity_) reserve(grown(size_ + n));
        if (n) std::memcpy(data_ + size_, first, n * sizeof(T));
        size_ += n;
    }

    // Room for n more elements after the end, to be written through the
    // returned pointer and then taken in by set_end.
    T* room(std::size_t n) {
        if (n > std::numeric_limits<std::size_t>::max() - size_) throw std::bad_alloc();
        if (size_ + n > capacity_) reserve(grown(size_ + n));
        return data_ + size_;
    }
    void set_end(T* end) { size_ = static_cast<std::size_t>(end - data_); }

    // Gives back reserved room that is far beyond the size.
    void shrink_to_fit() noexcept {
        if (capacity_ <= 2 * size_ + 4) return;
        if (size_ == 0) {
            std::free(std::exchange(data_, nullptr));
            capacity_ = 0;
        } else if (void* p = std::realloc(data_, size_ * sizeof(T))) {
            data_ = static_cast<T*>(p);
            capacity_ = size_;
        }
    }

  private:
    // Geometric growth keeps a run of appends at constant amortised cost.
    std::size_t grown(std::size_t needed) const {
        const std::size_t doubled = capacity_ > std::numeric_limits<std::size_t>::max() / 2 ? needed : 2 * capacity_;
        return std::max({needed, doubled, std::size_t{4}});
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

} // namespace lumora
