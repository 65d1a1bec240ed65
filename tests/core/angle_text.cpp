// Writes the core's angle text forms for the cases read from standard input,
// one line each: "<r|d> <double> <decimals> <room>". Decimals -1 asks for the
// shortest form; otherwise the fixed form, which only these checks use, is
// written into `room` bytes.
// Prints the text, or "(none)" when it does not fit.

#include "drovak/angle.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The number with exactly `decimals` digits after the point (rounded to
// nearest, ties to even; NaN and the infinities as the shortest form writes
// them), then the suffix; nullptr when the text would not fit in [out, end).
template <std::size_t N>
char* write_fixed(char* out, char* end, double v, int decimals, const char (&suffix)[N]) {
    char* p = nullptr;
    if (std::isfinite(v)) {
        const auto res = std::to_chars(out, end, v, std::chars_format::fixed, decimals);
        if (res.ec == std::errc{}) p = res.ptr;
    } else {
        char special[drovak::float_text_capacity];
        const std::size_t n = static_cast<std::size_t>(drovak::write_float(special, v) - special);
        if (static_cast<std::size_t>(end - out) >= n) p = static_cast<char*>(std::memcpy(out, special, n)) + n;
    }
    if (!p || static_cast<std::size_t>(end - p) < N - 1) return nullptr;
    std::memcpy(p, suffix, N - 1);
    return p + (N - 1);
}

} // namespace

int main() {
    char kind;
    char number[64];
    int decimals;
    std::size_t room;
    while (std::scanf(" %c %63s %d %zu", &kind, number, &decimals, &room) == 4) {
        const double v = std::strtod(number, nullptr);
        char buf[drovak::angle_text_capacity];
        char* const limit = buf + (room < sizeof buf ? room : sizeof buf);
        char* end;
        if (decimals < 0) {
            end = kind == 'r' ? drovak::write_text(buf, drovak::AngleRadians{v})
                              : drovak::write_text(buf, drovak::AngleDegrees{v});
        } else {
            end = kind == 'r' ? write_fixed(buf, limit, v, decimals, drovak::detail::radians_suffix)
                              : write_fixed(buf, limit, v, decimals, drovak::detail::degrees_suffix);
        }
        if (end) {
            std::fwrite(buf, 1, static_cast<std::size_t>(end - buf), stdout);
            std::putchar('\n');
        } else {
            std::puts("(none)");
        }
    }
    return 0;
}
