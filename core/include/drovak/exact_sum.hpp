#pragma once
// The exact sum of any number of doubles, rounded once at the end.
//
// Every finite double is an integer multiple of 2^-1074, below 2^1024, so
// the sum of finite doubles is an integer in units of 2^-1075 (one bit below,
// to keep the exponent field as the bit position) of at most some 2170 bits.
// It is kept in fixed point, as 67 signed 64-bit chunks of 32 bits each: a
// double's 53-bit significand lands at the bit position given by its exponent
// field, its low part added to one chunk and the rest to the next. Two
// integer additions per double, no rounding anywhere; the chunks' spare high
// bits absorb the additions until a carry pass every `adds_per_carry`
// additions brings each chunk back to 32 bits. Infinities and NaN are only
// noted. Sums of parts merge exactly, so the rounded result depends on the
// multiset of values alone, never on their order or grouping.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace drovak {

class ExactSum {
  public:
    // Adds x exactly.
    [[gnu::always_inline]] void add(double x) {
        const auto b = std::bit_cast<std::uint64_t>(x);
        auto e = static_cast<unsigned>(b >> 52) & 0x7FF;
        std::uint64_t m = b & significand_mask;
        if (e == 0x7FF) [[unlikely]] {
            add_special(b);
            return;
        }
        // A normal number has the hidden bit; a subnormal one has the
        // exponent of the smallest normal.
        if (e != 0) {
            m |= hidden_bit;
        } else {
            e = 1;
        }
        const unsigned shift = e & (chunk_bits - 1);
        const std::uint64_t low = (m << shift) & chunk_mask;
        const std::uint64_t high = m >> (chunk_bits - shift);
        // Subtracted for a negative x: (v ^ -1) + 1 == -v.
        const std::uint64_t negative = 0 - (b >> 63);
        // The high part waits in an array of its own: two additions to
        // neighbouring words would be paired into one wide access, which
        // the next term's overlapping access then stalls on.
        chunks_[e >> 5] += static_cast<std::int64_t>((low ^ negative) - negative);
        highs_[e >> 5] += static_cast<std::int64_t>((high ^ negative) - negative);
        if (--adds_left_ == 0) [[unlikely]]
            carry();
    }

    // Adds everything `other` holds, exactly.
    void merge(const ExactSum& other) {
        // Carried first, a chunk has room for another's uncarried one.
        carry();
        for (int i = 0; i < chunk_count; ++i) {
            chunks_[i] += other.chunks_[i];
            highs_[i] += other.highs_[i];
        }
        positive_inf_ |= other.positive_inf_;
        negative_inf_ |= other.negative_inf_;
        nan_ |= other.nan_;
        carry();
    }

    // The sum rounded once to the nearest double, ties to even: inf or -inf
    // where it lies beyond the double range, NaN if a NaN was added or both
    // infinities were. An exact zero is +0.0.
    double rounded() const { return rounded_scaled(0); }

    // The same for the sum times 2^-scale (scale >= 0), rounded once: a sum
    // beyond the double range, brought back within it.
    double rounded_scaled(int scale) const {
        if (nan_ || (positive_inf_ && negative_inf_)) return std::numeric_limits<double>::quiet_NaN();
        if (positive_inf_) return std::numeric_limits<double>::infinity();
        if (negative_inf_) return -std::numeric_limits<double>::infinity();
        ExactSum v = *this;
        v.carry();
        // After a carry every chunk but the top one is in [0, 2^32), so the
        // sign is the top chunk's; a negative sum is rounded as its negation.
        const bool negative = v.chunks_[chunk_count - 1] < 0;
        if (negative) {
            for (std::int64_t& c : v.chunks_)
                c = -c;
            v.carry();
        }
        const double magnitude = v.round_magnitude(scale);
        return negative ? -magnitude : magnitude;
    }

    // The rounded sum divided by n, one IEEE division. Where the rounded sum
    // overflows although every term is finite, the quotient is taken as if
    // the exponent range were wider: of the sum scaled down by 2^64, exactly
    // (the quotient of at most 2^63 terms is then normal), and scaled back.
    double divided(double n) const {
        const double sum = rounded();
        if (!std::isinf(sum) || positive_inf_ || negative_inf_) return sum / n;
        constexpr int scale = 64;
        return std::ldexp(rounded_scaled(scale) / n, scale);
    }

  private:
    static constexpr int chunk_bits = 32;
    static constexpr int chunk_count = 67;
    static constexpr std::uint64_t chunk_mask = (std::uint64_t{1} << chunk_bits) - 1;
    static constexpr std::uint64_t hidden_bit = std::uint64_t{1} << 52;
    static constexpr std::uint64_t significand_mask = hidden_bit - 1;
    // A carried chunk holds less than 2^32 and each addition adds less than
    // 2^52 in magnitude, so 1024 additions stay below 2^62.
    static constexpr int adds_per_carry = 1024;
    // Bit 0 of the fixed point stands for 2^-1075.
    static constexpr int unit_exponent = -1075;

    [[gnu::noinline]] void add_special(std::uint64_t b) {
        if (b & significand_mask) {
            nan_ = true;
        } else if (b >> 63) {
            negative_inf_ = true;
        } else {
            positive_inf_ = true;
        }
    }

    // Moves the waiting high parts into their chunks, then each chunk's bits
    // beyond 32 into the next chunk (the top chunk keeps its own, with the
    // sign).
    void carry() {
        for (int i = 0; i + 1 < chunk_count; ++i) {
            chunks_[i + 1] += highs_[i];
            highs_[i] = 0;
        }
        for (int i = 0; i + 1 < chunk_count; ++i) {
            const std::int64_t over = chunks_[i] >> chunk_bits;
            chunks_[i] -= over * (std::int64_t{1} << chunk_bits);
            chunks_[i + 1] += over;
        }
        adds_left_ = adds_per_carry;
    }

    // Bit i of a carried, non-negative sum.
    bool bit(int i) const { return (chunks_[i / chunk_bits] >> (i % chunk_bits)) & 1; }

    // A carried, non-negative sum times 2^-scale, correctly rounded.
    double round_magnitude(int scale) const {
        if (chunks_[chunk_count - 1] != 0) return std::numeric_limits<double>::infinity();
        int top = -1;
        for (int i = chunk_count - 2; i >= 0 && top < 0; --i) {
            if (chunks_[i] != 0) top = i * chunk_bits + std::bit_width(static_cast<std::uint64_t>(chunks_[i])) - 1;
        }
        if (top < 0) return 0.0;
        // The result's last bit: 53 bits below the top, but never below the
        // last bit of the subnormals (2^-1074, bit 1 before scaling).
        const int last = std::max(top - 52, 1 + scale);
        std::uint64_t kept = 0;
        for (int i = top; i >= last; --i)
            kept = kept << 1 | bit(i);
        bool sticky = false;
        for (int i = last - 2; i >= 0 && !sticky; --i)
            sticky = bit(i);
        const bool half = last >= 1 && bit(last - 1);
        if (half && (sticky || (kept & 1))) ++kept;
        // Exact: kept has at most 54 bits, and a 54-bit one is a power of
        // two; ldexp gives inf where the rounded value is out of range.
        return std::ldexp(static_cast<double>(kept), last + unit_exponent - scale);
    }

    std::int64_t chunks_[chunk_count] = {};
    // highs_[i] belongs to chunks_[i + 1]; the top one is never added to.
    std::int64_t highs_[chunk_count] = {};
    int adds_left_ = adds_per_carry;
    bool positive_inf_ = false;
    bool negative_inf_ = false;
    bool nan_ = false;
};

} // namespace drovak
