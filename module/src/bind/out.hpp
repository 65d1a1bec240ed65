#pragma once
// Results written straight into a caller's buffer (`out=`) instead of a new
// list.

#include "bind/buffer.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace bind {

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
    // Not a T*: the caller's memory need not keep T's alignment.
    void* data = nullptr;
    Shape shape{};
    const char* name = "";

    explicit operator bool() const { return object != nullptr; }
    // Where results of this shape go: ValueError, nothing written, unless
    // the buffer has exactly that shape. Absent, nothing is checked.
    void* take(const Shape& wanted) const;
};

void raise_out_shape(const char* name, const std::size_t* wanted, const std::size_t* given, std::size_t rank);

template <class T, std::size_t Rank>
void* Out<T, Rank>::take(const Shape& wanted) const {
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
        value.data = buffer.view().buf;
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
// A buffer that does not keep T's alignment (a view at an odd byte offset)
// gets its results through the new array, copied in by deliver(): writing
// it as T would be undefined.
template <class T, std::size_t Rank>
T* destination(const Out<T, Rank>& out, const std::array<std::size_t, Rank>& shape, OutOr<T, Rank>& r) {
    if (out) {
        void* dst = out.take(shape);
        if (reinterpret_cast<std::uintptr_t>(dst) % alignof(T) == 0) return static_cast<T*>(dst);
    }
    r.items = lumora::Array<T>::uninitialised(items_in(shape));
    return r.items.data();
}

// The results held back from a misaligned buffer, into it.
template <class T, std::size_t Rank>
void deliver(const Out<T, Rank>& out, const OutOr<T, Rank>& r) {
    if (out && r.items.size() > 0) std::memcpy(out.data, r.items.data(), r.items.size() * sizeof(T));
}

// Results of the given shape by fill(T* dst): into `out` when given, else
// into a new array.
template <class T, std::size_t Rank, class Fill>
OutOr<T, Rank> results(const Out<T, Rank>& out, const std::array<std::size_t, Rank>& shape, Fill fill) {
    OutOr<T, Rank> r{{}, out.object, shape};
    fill(destination(out, shape, r));
    deliver(out, r);
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
    deliver(a, ra);
    deliver(b, rb);
    return {std::move(ra), std::move(rb)};
}

} // namespace bind
