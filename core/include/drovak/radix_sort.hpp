#pragma once
// Sorting 64-bit words by some of their bits, on any number of threads with
// the order one thread gives.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace drovak {

// Sorts a[0 .. n) by bits [low, low + bits) of each entry (at most 64 in
// all), keeping the order of equal keys: least significant digit first,
// `room` holding n entries. Each digit is sorted in `parts` contiguous parts
// at once: each part counts its digits, the parts' places follow from the
// counts in order of digit and then of part, and each part moves its own
// entries to them, which is the order one part gives. run(tasks, weight, f)
// calls f(k) for every k in [0, tasks), in any order and on any threads,
// each task weighing about `weight` entries.
template <class Run>
void radix_sort(std::uint64_t* a, std::uint64_t* room, std::size_t n, unsigned low, unsigned bits, std::size_t parts,
                Run&& run) {
    // As few passes as digits of at most 12 bits allow (a scan's 4096
    // counters stay in the first-level cache), the bits shared evenly.
    constexpr unsigned widest = 12;
    const unsigned passes = std::max(1u, (bits + widest - 1) / widest);
    const unsigned digit = (bits + passes - 1) / passes;
    const std::size_t buckets = std::size_t{1} << digit;
    parts = std::max<std::size_t>(1, std::min(parts, n));
    const auto begin = [&](std::size_t k) {
        return static_cast<std::size_t>(static_cast<unsigned __int128>(n) * k / parts);
    };
    std::vector<std::size_t> counts(parts * buckets);
    std::uint64_t* from = a;
    std::uint64_t* to = room;
    for (unsigned shift = low; shift < low + bits; shift += digit) {
        run(parts, n / parts, [&](std::size_t k) {
            std::size_t* count = counts.data() + k * buckets;
            std::fill_n(count, buckets, 0);
            for (std::size_t i = begin(k), end = begin(k + 1); i < end; ++i)
                ++count[(from[i] >> shift) & (buckets - 1)];
        });
        std::size_t at = 0;
        for (std::size_t d = 0; d < buckets; ++d) {
            for (std::size_t k = 0; k < parts; ++k) {
                std::size_t& c = counts[k * buckets + d];
                const std::size_t here = c;
                c = at;
                at += here;
            }
        }
        run(parts, n / parts, [&](std::size_t k) {
            std::size_t* count = counts.data() + k * buckets;
            for (std::size_t i = begin(k), end = begin(k + 1); i < end; ++i)
                to[count[(from[i] >> shift) & (buckets - 1)]++] = from[i];
        });
        std::swap(from, to);
    }
    if (from != a) std::copy_n(from, n, a);
}

} // namespace drovak
