// For each line "<n> <hex of n little-endian doubles>" of standard input,
// writes the sum rounded once three ways, as hex doubles: ExactSum, and
// ExactSums in three pieces merged, with the baseline loop and with AVX2's
// where the processor has it.

#include "drovak/exact_sums.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace {

double from_hex(const std::string& h) {
    std::uint64_t b = 0;
    for (int i = 7; i >= 0; --i)
        b = b << 8 | std::stoul(h.substr(2 * i, 2), nullptr, 16);
    return std::bit_cast<double>(b);
}

void print_hex(double x) {
    const auto b = std::bit_cast<std::uint64_t>(x);
    for (int i = 0; i < 8; ++i)
        std::printf("%02x", static_cast<unsigned>(b >> (8 * i) & 0xff));
}

double pieces(const std::vector<double>& xs, bool wide) {
    const auto term = [&](std::size_t i) { return std::array<double, 1>{xs[i]}; };
    using Sums = drovak::ExactSums<1>;
    const Sums::Plan plan = Sums::plan(drovak::sampled_bounds<1>(xs.size(), term));
    const std::size_t cut[4] = {0, xs.size() / 3, xs.size() / 3 + 1, xs.size()};
    Sums total(plan);
    for (int p = 0; p < 3; ++p) {
        Sums part(plan);
        if (wide) {
            part.add_avx2(cut[p], cut[p + 1], term);
        } else {
            part.add(cut[p], cut[p + 1], term);
        }
        total.merge(part);
    }
    return total.rounded(0);
}

} // namespace

int main() {
    std::size_t n;
    const bool avx2 = __builtin_cpu_supports("avx2");
    while (std::cin >> n) {
        std::vector<double> xs(n);
        drovak::ExactSum exact;
        for (double& x : xs) {
            std::string h;
            std::cin >> h;
            x = from_hex(h);
            exact.add(x);
        }
        print_hex(exact.rounded());
        std::printf(" ");
        print_hex(pieces(xs, false));
        std::printf(" ");
        print_hex(pieces(xs, avx2));
        std::printf("\n");
    }
}
