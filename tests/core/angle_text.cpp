// Writes the core's angle text forms for the cases read from standard input,
// one line each: "<r|d> <double> <decimals> <room>". Decimals -1 asks for the
// shortest form; otherwise the fixed form is written into `room` bytes.
// Prints the text, or "(none)" when it does not fit.

#include "drovak/angle.hpp"

#include <cstdio>
#include <cstdlib>

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
            end = kind == 'r' ? drovak::write_text_fixed(buf, limit, drovak::AngleRadians{v}, decimals)
                              : drovak::write_text_fixed(buf, limit, drovak::AngleDegrees{v}, decimals);
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
