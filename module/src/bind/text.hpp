#pragma once
// The text of doubles in every __repr__.

#include <initializer_list>
#include <string>
#include <string_view>

namespace bind {

// `tmpl` with each "{}" replaced by the next value in the float text form.
std::string format_floats(std::string_view tmpl, std::initializer_list<double> values);

} // namespace bind
