// Another library in the process that uses oneTBB: it asks for `wanted`
// threads, as oneTBB lets any user do, and reports how many of them ran its
// work at the same time.

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/partitioner.h>
#include <oneapi/tbb/task_arena.h>

#include <atomic>
#include <chrono>
#include <thread>

extern "C" int peak_parallelism(int wanted) {
    tbb::global_control allowed(tbb::global_control::max_allowed_parallelism, static_cast<std::size_t>(wanted));
    tbb::task_arena arena(wanted);
    std::atomic<int> arrived{0}, running{0}, peak{0};
    // With fewer threads than pieces, the first ones wait this long for the
    // rest before giving up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    arena.execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<int>(0, wanted, 1),
            [&](const tbb::blocked_range<int>&) {
                const int now = ++running;
                for (int p = peak.load(); p < now && !peak.compare_exchange_weak(p, now);) {
                }
                ++arrived;
                while (arrived.load() < wanted && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::yield();
                --running;
            },
            tbb::simple_partitioner());
    });
    return peak.load();
}
