#include "drovak/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace drovak {

namespace {

// NaN, the infinities and the zeros have fixed spellings in both forms.
char* write_special(char* out, double v) {
    const char* text = nullptr;
    if (std::isnan(v)) {
        text = "NaN";
    } else if (std::isinf(v)) {
        text = v > 0 ? "inf" : "-inf";
    } else {
        return nullptr;
    }
    const std::size_t n = std::strlen(text);
    std::memcpy(out, text, n);
    return out + n;
}

} // namespace

char* write_float(char* out, double v) {
    if (char* end = write_special(out, v)) return end;
    if (v == 0.0) {
        if (std::signbit(v)) *out++ = '-';
        *out++ = '0';
        return out;
    }
    // The shortest round-trip digits come from to_chars in scientific form,
    // "d.ddde±xx"; they are then laid out positionally.
    char sci[32];
    const auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
    const char* p = sci;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    const char* e = static_cast<const char*>(std::memchr(p, 'e', res.ptr - p));
    char digits[20];
    digits[0] = p[0];
    int n = 1;
    if (e - p > 1) {
        std::memcpy(digits + 1, p + 2, e - p - 2);
        n += static_cast<int>(e - p - 2);
    }
    int exponent = 0;
    for (const char* q = e + 2; q < res.ptr; ++q)
        exponent = exponent * 10 + (*q - '0');
    if (e[1] == '-') exponent = -exponent;

    if (exponent >= n - 1) {
        std::memcpy(out, digits, n);
        out += n;
        std::memset(out, '0', exponent - (n - 1));
        return out + (exponent - (n - 1));
    }
    if (exponent >= 0) {
        std::memcpy(out, digits, exponent + 1);
        out += exponent + 1;
        *out++ = '.';
        std::memcpy(out, digits + exponent + 1, n - exponent - 1);
        return out + (n - exponent - 1);
    }
    *out++ = '0';
    *out++ = '.';
    std::memset(out, '0', -exponent - 1);
    out += -exponent - 1;
    std::memcpy(out, digits, n);
    return out + n;
}

char* write_floats(char* out, std::string_view tmpl, std::initializer_list<double> values) {
    auto next = values.begin();
    for (std::size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] == '{' && i + 1 < tmpl.size() && tmpl[i + 1] == '}' && next != values.end()) {
            out = write_float(out, *next++);
            ++i;
        } else {
            *out++ = tmpl[i];
        }
    }
    return out;
}

} // namespace drovak
