#pragma once
// A 3x3 matrix argument: three rows of three floats, or any buffer of 3x3
// doubles. Its conversion, record annotation and error texts, in one place.

#include "bind/convert.hpp"
#include "bind/record.hpp"

#include <array>

namespace bind {

struct Matrix3x3 {
    std::array<std::array<double, 3>, 3> rows;
};

// A buffer of 3x3 doubles (any strides, native byte order) is read directly;
// anything else is read as a sequence of three rows of three items by the
// float rule. str and bytes are not sequences of numbers here. Wrong shapes
// and items raise TypeError saying where: "row 1: expected 3 items, got 2".
template <>
struct Type<Matrix3x3> {
    static record::Expr annotation() {
        const record::Expr sequence = record::attribute(record::name("collections.abc"), "Sequence");
        return record::bitor_(record::subscript(sequence, record::subscript(sequence, record::builtin("float"))),
                              record::attribute(record::name("collections.abc"), "Buffer"));
    }

    Matrix3x3 value;
    bool load(PyObject* obj);
    const Matrix3x3& get() const { return value; }
};

} // namespace bind
