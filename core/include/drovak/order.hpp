#pragma once
// Doubles as integer keys in the order the searches and bounds compare them,
// so that the list's search, the index and the bounds can never disagree.

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

namespace drovak {

// IEEE total order: -NaN < -inf < ... < -0.0 < 0.0 < ... < inf < NaN.
inline std::int64_t total_order_key(double x) {
    const auto b = std::bit_cast<std::int64_t>(x);
    return b < 0 ? b ^ std::numeric_limits<std::int64_t>::max() : b;
}

// Squared distances in the order every search uses: IEEE order among
// numbers, every NaN after every number and equal to every other NaN,
// whatever its sign bit.
inline std::int64_t order_key(double d2) {
    return std::isnan(d2) ? std::numeric_limits<std::int64_t>::max() : total_order_key(d2);
}

} // namespace drovak
