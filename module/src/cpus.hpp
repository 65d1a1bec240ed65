#pragma once
// The processors this process may use on Linux: its affinity mask, capped by
// the CPU quota of its control group.

#include <cstddef>

namespace pool {

// At least 1.
std::size_t available_cpus();

} // namespace pool
