#pragma once
// A square matrix argument: N rows of N floats, or any buffer of NxN
// doubles. Its conversion, record annotation and error texts, in one place.

#include "bind/convert.hpp"
#include "bind/record.hpp"

#include <array>

namespace bind {

template <std::size_t N>
struct Matrix {
    std::array<std::array<double, N>, N> rows;
};

using Matrix3x3 = Matrix<3>;
// A rigid motion's matrix: a wrong shape is a wrong value (ValueError), as
// are its other refusals.
using Matrix4x4 = Matrix<4>;

// A buffer of NxN doubles (any strides, native byte order) is read directly;
// anything else is read as a sequence of N rows of N items by the float
// rule. str and bytes are not sequences of numbers here. Wrong shapes raise
// TypeError (ValueError for 4x4) saying where: "row 1: expected 3 items, got
// 2"; items that are not numbers, TypeError.
template <std::size_t N>
struct Type<Matrix<N>> {
    static record::Expr annotation() {
        const record::Expr sequence = record::attribute(record::name("collections.abc"), "Sequence");
        return record::bitor_(record::subscript(sequence, record::subscript(sequence, record::builtin("float"))),
                              record::attribute(record::name("collections.abc"), "Buffer"));
    }

    Matrix<N> value;
    bool load(PyObject* obj, const char* name);
    const Matrix<N>& get() const { return value; }
};

} // namespace bind
