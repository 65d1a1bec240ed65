#pragma once
// The buffer borders: a class that lends its values to any buffer consumer
// without a copy, and arguments read from any exporter of doubles, positions
// or truth values. Results written into a caller's buffer are in out.hpp.

#include "bind/convert.hpp"
#include "bind/describe.hpp"
#include "bind/record.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace bind {

// ---------------------------------------------------------------- export

// A contiguous block of rows of `cols` doubles each.
struct DoubleRows {
    const double* data;
    std::size_t rows;
    std::size_t cols;
};

// Fills `view` with a read-only export of `rows`, owned by `self`: item
// format "d", shape (rows, cols), C-contiguous. Sets the error and returns
// false when the request cannot be met.
bool fill_export(PyObject* self, Py_buffer* view, int flags, DoubleRows rows);
// Frees what fill_export gave the view.
void free_export(Py_buffer* view);
// A writable request: BufferError, nothing taken. Returns false then.
bool check_read_only(const char* class_name, int flags);

// The buffer slots of a class whose values F(const T&) -> DoubleRows
// exposes. An export holds the object shared from the request until its
// release, which may come from any thread; while it lasts the object cannot
// change, so the rows stay where they are.
template <class T, auto F>
std::array<PyType_Slot, 2> buffer_export() {
    record::describe([] {
        return Describe<T>::function("__buffer__", "self", {{"flags", record::builtin("int")}},
                                     record::builtin("memoryview"));
    });
    record::describe([] {
        return Describe<T>::function("__release_buffer__", "self", {{"buffer", record::builtin("memoryview")}},
                                     record::name("None"));
    });
    return {{{Py_bf_getbuffer, reinterpret_cast<void*>(+[](PyObject* self, Py_buffer* view, int flags) -> int {
                  view->obj = nullptr;
                  return entry<int>(-1, [&]() -> int {
                      if (!check_read_only(Class<T>::name(), flags)) return -1;
                      Instance<T>* inst = Class<T>::instance(self);
                      SharedHold hold;
                      if (!hold.try_take(inst->guard)) {
                          raise_already_mutably_borrowed();
                          return -1;
                      }
                      if (!fill_export(self, view, flags, F(std::as_const(inst->value)))) return -1;
                      hold.keep();
                      return 0;
                  });
              })},
             {Py_bf_releasebuffer, reinterpret_cast<void*>(+[](PyObject* self, Py_buffer* view) {
                  free_export(view);
                  release_shared(Class<T>::instance(self)->guard);
              })}}};
}

// ---------------------------------------------------------------- arguments

// A buffer argument, released when the argument is.
class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }
    // PyObject_GetBuffer; false with the exporter's error set.
    bool get(PyObject* obj, int flags) {
        held_ = PyObject_GetBuffer(obj, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer& view() const { return view_; }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

// A buffer of doubles read as rows of Cols: shaped (n, Cols) with any
// strides (negative ones included), or one-dimensional, contiguous and Cols·n
// long. Only read during the call; nothing of it is kept.
template <std::size_t Cols>
struct RowsOf {
    const char* base = nullptr;
    std::size_t rows = 0;
    Py_ssize_t row_stride = 0;
    Py_ssize_t col_stride = 0;

    // The rows as one packed block, or null when they are strided.
    const void* packed() const {
        const bool dense = col_stride == sizeof(double) && row_stride == Py_ssize_t{Cols * sizeof(double)};
        return dense || rows == 0 ? base : nullptr;
    }

    // Copies the rows in logical order into rows·Cols doubles at dst.
    void gather(double* dst) const {
        for (std::size_t i = 0; i < rows; ++i) {
            const char* row = base + static_cast<Py_ssize_t>(i) * row_stride;
            for (std::size_t j = 0; j < Cols; ++j)
                std::memcpy(dst++, row + static_cast<Py_ssize_t>(j) * col_stride, sizeof(double));
        }
    }
};

// The shape of a buffer of doubles, with the argument's name for the
// ValueError; RowsOf's checks without its column count.
bool check_rows(const Py_buffer& view, std::size_t cols, const char* name, const char** base, std::size_t* rows,
                Py_ssize_t* row_stride, Py_ssize_t* col_stride);
// A TypeError unless the buffer's items are one of `codes` (see item_codes)
// in native order, `itemsize` bytes each.
bool check_items(const Py_buffer& view, const char* codes, std::size_t itemsize);

template <std::size_t Cols>
struct Type<RowsOf<Cols>> {
    static record::Expr annotation() { return record::attribute(record::name("collections.abc"), "Buffer"); }

    Buffer buffer;
    RowsOf<Cols> value;
    bool load(PyObject* obj, const char* name) {
        if (!buffer.get(obj, PyBUF_STRIDES | PyBUF_FORMAT)) return false;
        return check_items(buffer.view(), "d", sizeof(double)) &&
               check_rows(buffer.view(), Cols, name, &value.base, &value.rows, &value.row_stride, &value.col_stride);
    }
    const RowsOf<Cols>& get() const { return value; }
};

// ---------------------------------------------------------------- indices and masks

// Positions in a list: a sequence of ints, each read by the unsigned rule; a
// range, read as its first and largest item and its step, without making
// its ints; or a one-dimensional buffer of integers of any item size and
// signedness, with any stride, read in place during the call.
class Indices {
    // Defined before visit(), which returns what it makes: not every
    // compiler deduces the type from a later definition.
    template <class T>
    auto item_reader() const {
        return [base = base_, stride = stride_](std::size_t i) {
            T v;
            std::memcpy(&v, base + static_cast<Py_ssize_t>(i) * stride, sizeof v);
            if constexpr (std::is_signed_v<T>) {
                return static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
            } else {
                return static_cast<std::uint64_t>(v);
            }
        };
    }

  public:
    // How many positions; for a range, at least one more than any list can
    // have when it has more items than a size can count.
    std::size_t size() const { return size_; }

    // For a range: every item fits in 64 bits, so a position is in a list
    // of n elements exactly when the largest is.
    bool is_range() const { return kind_ == Kind::range; }
    std::uint64_t largest() const { return largest_; }

    // Calls f(at), where at(i) is the i-th position as an unsigned 64-bit
    // integer (a negative one of a buffer wraps to 2^63 or more, beyond any
    // list), and returns f's result.
    template <class F>
    decltype(auto) visit(F&& f) const {
        switch (kind_) {
        case Kind::ints:
            return f([p = ints_.data()](std::size_t i) { return p[i]; });
        case Kind::range:
            return f([first = first_, step = step_](std::size_t i) { return first + i * step; });
        case Kind::buffer:
            break;
        }
        switch (item_size_) {
        case 1:
            return signed_ ? f(item_reader<std::int8_t>()) : f(item_reader<std::uint8_t>());
        case 2:
            return signed_ ? f(item_reader<std::int16_t>()) : f(item_reader<std::uint16_t>());
        case 4:
            return signed_ ? f(item_reader<std::int32_t>()) : f(item_reader<std::uint32_t>());
        default:
            return signed_ ? f(item_reader<std::int64_t>()) : f(item_reader<std::uint64_t>());
        }
    }

    // Whether a buffer of signed items holds a negative one.
    bool any_negative() const;

    bool load(PyObject* obj, const char* name);

  private:
    enum class Kind { ints, range, buffer };

    bool load_range(PyObject* range);
    bool load_ints(PyObject* obj);
    bool load_buffer(PyObject* obj, const char* name);

    Kind kind_ = Kind::ints;
    std::size_t size_ = 0;
    lumora::Array<std::uint64_t> ints_;
    // A range's item i is first + i * step modulo 2^64, exact since every
    // item lies in [0, 2^64).
    std::uint64_t first_ = 0;
    std::uint64_t step_ = 0;
    std::uint64_t largest_ = 0;
    Buffer buffer_;
    const char* base_ = nullptr;
    Py_ssize_t stride_ = 0;
    std::size_t item_size_ = 0;
    bool signed_ = false;
};

template <>
struct Type<Indices> {
    static record::Expr annotation() {
        const auto abc = record::name("collections.abc");
        return record::bitor_(
            record::bitor_(record::subscript(record::attribute(abc, "Sequence"), record::builtin("int")),
                           record::builtin("range")),
            record::attribute(abc, "Buffer"));
    }

    Indices value;
    bool load(PyObject* obj, const char* name) { return value.load(obj, name); }
    const Indices& get() const { return value; }
};

// A true or false per element: a one-dimensional buffer of bools (item
// format "?", any stride, read in place during the call; any non-zero byte is
// true), or a sequence of bools by the bool rule.
class Mask {
  public:
    std::size_t size() const { return size_; }
    bool operator[](std::size_t i) const { return base_[static_cast<Py_ssize_t>(i) * stride_] != 0; }

    bool load(PyObject* obj, const char* name);

  private:
    std::size_t size_ = 0;
    const unsigned char* base_ = nullptr;
    Py_ssize_t stride_ = 1;
    lumora::Array<unsigned char> own_;
    Buffer buffer_;
};

template <>
struct Type<Mask> {
    static record::Expr annotation() {
        const auto abc = record::name("collections.abc");
        return record::bitor_(record::subscript(record::attribute(abc, "Sequence"), record::builtin("bool")),
                              record::attribute(abc, "Buffer"));
    }

    Mask value;
    bool load(PyObject* obj, const char* name) { return value.load(obj, name); }
    const Mask& get() const { return value; }
};

} // namespace bind
