#pragma once
// The float text form: the shortest decimal of a double, written out
// positionally, as every repr shows it.

#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace drovak {

// Room for any double in either text form: the longest shortest form is a
// subnormal written positionally ("-0." followed by 323 zeros and digits).
inline constexpr std::size_t float_text_capacity = 400;

// Writes the shortest decimal that reads back as v, positionally (never an
// exponent): "1", "-2.5", "0.0000001", "1000000000000000000000", "-0",
// "NaN", "inf", "-inf". `out` must hold float_text_capacity bytes; returns
// the end of the written text (no terminator).
char* write_float(char* out, double v);

// `tmpl` with each "{}" replaced by the next of `values` as write_float
// writes it. `out` must hold floats_text_capacity(tmpl, values.size())
// bytes; returns the end of the written text.
char* write_floats(char* out, std::string_view tmpl, std::initializer_list<double> values);

constexpr std::size_t floats_text_capacity(std::string_view tmpl, std::size_t count) {
    return tmpl.size() + count * float_text_capacity;
}

} // namespace drovak
