#pragma once
// The buffer borders: a class that lends its values to any buffer consumer
// without a copy, arguments read from any exporter of doubles, and results
// written straight into a caller's buffer (`out=`).

#include "bind/convert.hpp"
#include "bind/describe.hpp"
#include "bind/record.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

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

// ---------------------------------------------------------------- out=

// The struct-module item codes a result buffer of T may have, the first
// being the one named in errors: doubles, bools, and 64-bit integers, which
// this platform also writes as its 8-byte long.
template <class T>
constexpr const char* item_codes() {
    static_assert(std::is_same_v<T, double> || std::is_same_v<T, bool> || std::is_same_v<T, std::int64_t>);
    if constexpr (std::is_same_v<T, double>) return "d";
    if constexpr (std::is_same_v<T, bool>) return "?";
    return sizeof(long) == sizeof(std::int64_t) ? "ql" : "q";
}

// A keyword-only optional buffer that receives results of T: writable,
// C-contiguous, one-dimensional for Rank 1 and (rows, columns) for Rank 2.
template <class T, std::size_t Rank = 1>
struct Out {
    static_assert(Rank == 1 || Rank == 2);
    using Shape = std::array<std::size_t, Rank>;

    PyObject* object = nullptr;
    T* data = nullptr;
    Shape shape{};
    const char* name = "";

    explicit operator bool() const { return object != nullptr; }
    // Where results of this shape go: ValueError, nothing written, unless
    // the buffer has exactly that shape. Absent, nothing is checked.
    T* take(const Shape& wanted) const;
};

void raise_out_shape(const char* name, const std::size_t* wanted, const std::size_t* given, std::size_t rank);

template <class T, std::size_t Rank>
T* Out<T, Rank>::take(const Shape& wanted) const {
    if (object && wanted != shape) {
        raise_out_shape(name, wanted.data(), shape.data(), Rank);
        throw PythonError{};
    }
    return data;
}

// A C-contiguous buffer of `rank` dimensions, with the argument's name for
// the ValueError; its shape.
bool check_out_shape(const Py_buffer& view, const char* name, std::size_t rank, std::size_t* shape);

template <class T, std::size_t Rank>
struct Type<Out<T, Rank>> {
    static constexpr bool keyword_only = true;
    static record::Expr annotation() {
        return record::bitor_(record::attribute(record::name("collections.abc"), "Buffer"), record::none());
    }

    Buffer buffer;
    Out<T, Rank> value;
    bool load(PyObject* obj, const char* name) {
        value.name = name;
        if (!obj || obj == Py_None) return true;
        if (!buffer.get(obj, PyBUF_WRITABLE | PyBUF_STRIDES | PyBUF_FORMAT)) return false;
        if (!check_items(buffer.view(), item_codes<T>(), sizeof(T)) ||
            !check_out_shape(buffer.view(), name, Rank, value.shape.data()))
            return false;
        value.object = obj;
        value.data = static_cast<T*>(buffer.view().buf);
        return true;
    }
    const Out<T, Rank>& get() const { return value; }
};

// The results of a call that takes an output buffer: the caller's buffer
// when it was given, else the results themselves, a list (Rank 1) or a list
// of `shape[0]` lists of `shape[1]` (Rank 2).
template <class T, std::size_t Rank = 1>
struct OutOr {
    lumora::Array<T> items;
    PyObject* out = nullptr;
    std::array<std::size_t, Rank> shape{};
};

// Annotated as the list a call returns without the buffer.
template <class T, std::size_t Rank>
struct Type<OutOr<T, Rank>> {
    static record::Expr annotation() {
        const record::Expr row = Type<lumora::Array<T>>::annotation();
        return Rank == 1 ? row : record::subscript(record::builtin("list"), row);
    }
    static PyObject* wrap(const OutOr<T, Rank>& r) {
        if (r.out) return Py_NewRef(r.out);
        if constexpr (Rank == 1) {
            return to_python(r.items);
        } else {
            const auto [rows, cols] = r.shape;
            Ref list(PyList_New(static_cast<Py_ssize_t>(rows)));
            for (std::size_t i = 0; i < rows; ++i) {
                PyObject* row = checked(PyList_New(static_cast<Py_ssize_t>(cols)));
                PyList_SET_ITEM(list.get(), i, row);
                for (std::size_t j = 0; j < cols; ++j)
                    PyList_SET_ITEM(row, j, to_python(r.items[i * cols + j]));
            }
            return list.release();
        }
    }
};

// The number of items of a shape; one past what memory could hold is
// refused as memory is.
template <std::size_t Rank>
std::size_t items_in(const std::array<std::size_t, Rank>& shape) {
    std::size_t n = 1;
    for (std::size_t d : shape) {
        if (__builtin_mul_overflow(n, d, &n)) throw std::bad_alloc();
    }
    return n;
}

// Where one of a call's results goes: the checked buffer, else a new array.
template <class T, std::size_t Rank>
T* destination(const Out<T, Rank>& out, const std::array<std::size_t, Rank>& shape, OutOr<T, Rank>& r) {
    if (out) return out.take(shape);
    r.items = lumora::Array<T>::uninitialised(items_in(shape));
    return r.items.data();
}

// Results of the given shape by fill(T* dst): into `out` when given, else
// into a new array.
template <class T, std::size_t Rank, class Fill>
OutOr<T, Rank> results(const Out<T, Rank>& out, const std::array<std::size_t, Rank>& shape, Fill fill) {
    OutOr<T, Rank> r{{}, out.object, shape};
    fill(destination(out, shape, r));
    return r;
}

// Two results of one shape by fill(A* a, B* b), each into its buffer when
// given: both buffers are checked before either is written.
template <class A, class B, std::size_t Rank, class Fill>
std::pair<OutOr<A, Rank>, OutOr<B, Rank>> results(const Out<A, Rank>& a, const Out<B, Rank>& b,
                                                  const std::array<std::size_t, Rank>& shape, Fill fill) {
    b.take(shape);
    OutOr<A, Rank> ra{{}, a.object, shape};
    OutOr<B, Rank> rb{{}, b.object, shape};
    A* a_dst = destination(a, shape, ra);
    fill(a_dst, destination(b, shape, rb));
    return {std::move(ra), std::move(rb)};
}

} // namespace bind
