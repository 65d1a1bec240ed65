#pragma once
// SipHash-1-3 and the canonical bit patterns of doubles that hashes use.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace drovak {

// SipHash-1-3 (one compression round per block, three finalisation rounds).
inline std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const unsigned char* data, std::size_t len) {
    std::uint64_t v0 = k0 ^ 0x736f6d6570736575ULL;
    std::uint64_t v1 = k1 ^ 0x646f72616e646f6dULL;
    std::uint64_t v2 = k0 ^ 0x6c7967656e657261ULL;
    std::uint64_t v3 = k1 ^ 0x7465646279746573ULL;
    // Inlined always: a round made a call keeps the state in memory.
    auto round = [&]() __attribute__((always_inline)) {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    };
    auto load_le = [](const unsigned char* p, std::size_t n) {
        std::uint64_t m = 0;
        for (std::size_t b = 0; b < n; ++b)
            m |= std::uint64_t{p[b]} << (8 * b);
        return m;
    };
    const std::size_t full = len - len % 8;
    for (std::size_t off = 0; off < full; off += 8) {
        const std::uint64_t m = load_le(data + off, 8);
        v3 ^= m;
        round();
        v0 ^= m;
    }
    const std::uint64_t last = (std::uint64_t{len & 0xff} << 56) | load_le(data + full, len % 8);
    v3 ^= last;
    round();
    v0 ^= last;
    v2 ^= 0xff;
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}

// The bit pattern under which a double is hashed: one pattern for every
// NaN, and -0.0 folded into +0.0, so values that are the same number hash
// alike.
inline std::uint64_t canonical_bits(double v) {
    if (v != v) return 0x7FF8000000000000ULL;
    return std::bit_cast<std::uint64_t>(v + 0.0);
}

} // namespace drovak
