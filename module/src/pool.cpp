#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "pool.hpp"

#include "cpus.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <string_view>

namespace pool {

namespace {

// A hand-off (queueing the job, waking the workers, waking the caller)
// costs some microseconds; below this many weighted elements the calling
// thread is faster on its own.
constexpr std::size_t hand_off_weight = 32768;

// Pieces per thread: enough for work stealing to even out uneven threads.
constexpr std::size_t pieces_per_thread = 4;

// A positive integer in the whole text, as "+5" or "12"; nothing else.
std::optional<std::size_t> positive_integer(const char* text) {
    if (!text) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::size_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(*p - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value > 0 ? std::optional(value) : std::nullopt;
}

std::size_t configured_threads() {
    const char* num_threads = std::getenv("RAYON_NUM_THREADS");
    if (const auto n = positive_integer(num_threads)) return *n;
    const bool zero = num_threads && std::string_view(num_threads) == "0";
    if (!zero) {
        if (const auto n = positive_integer(std::getenv("RAYON_RS_NUM_CPUS"))) return *n;
    }
    return available_cpus();
}

// A child forked after the pool started has none of its threads, and the
// pool's state is not safe to use there: the child runs every loop on the
// calling thread instead, with the same results.
std::atomic<bool> pool_lost{false};

// Exactly `threads` workers do the element work; the waiting caller never
// takes a slot of the arena. oneTBB's limit on its threads is shared by
// every library in the process and the lowest setting wins, so it is raised
// only when it would not let the arena have its workers, and never lowered.
struct Pool {
    explicit Pool(std::size_t threads) : arena(static_cast<int>(threads), 0) {
        constexpr auto parallelism = tbb::global_control::max_allowed_parallelism;
        if (tbb::global_control::active_value(parallelism) < threads + 1) limit.emplace(parallelism, threads + 1);
        pthread_atfork(nullptr, nullptr, [] { pool_lost.store(true, std::memory_order_relaxed); });
    }
    std::optional<tbb::global_control> limit;
    tbb::task_arena arena;
};

Pool& the_pool() {
    static Pool pool(std::min<std::size_t>(thread_count(), 4096));
    return pool;
}

} // namespace

std::size_t thread_count() {
    static const std::size_t threads = configured_threads();
    return threads;
}

namespace detail {

bool worth_hand_off(std::size_t weight) {
    return weight >= hand_off_weight && !pool_lost.load(std::memory_order_relaxed);
}

std::size_t pieces_for(std::size_t n, Cost cost) {
    if (n < 2 || !worth_hand_off(n * static_cast<std::size_t>(cost))) return 1;
    return std::min(n, thread_count() * pieces_per_thread);
}

void run_on_pool(std::size_t pieces, PieceFn fn, void* context) {
    Pool& pool = the_pool();
    std::mutex lock;
    std::condition_variable woken;
    bool finished = false;
    std::exception_ptr failure;
    pool.arena.enqueue([&] {
        try {
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, pieces, 1),
                              [&](const tbb::blocked_range<std::size_t>& r) {
                                  for (std::size_t k = r.begin(); k < r.end(); ++k)
                                      fn(context, k);
                              });
        } catch (...) {
            failure = std::current_exception();
        }
        // Notified under the lock: once the caller sees `finished`, nothing
        // here touches its stack any more.
        std::lock_guard<std::mutex> guard(lock);
        finished = true;
        woken.notify_one();
    });
    // Detached while waiting, so that a stop-the-world pause of another
    // thread (a garbage collection) need not wait for the whole job, and on
    // the default build other threads have the GIL meanwhile. Every hold
    // taken by the caller stays taken.
    Py_BEGIN_ALLOW_THREADS {
        std::unique_lock<std::mutex> guard(lock);
        woken.wait(guard, [&] { return finished; });
    }
    Py_END_ALLOW_THREADS;
    if (failure) std::rethrow_exception(failure);
}

} // namespace detail

// Weighed as a stream loop over 8-byte words, the last one possibly short.
void copy(void* dst, const void* src, std::size_t n) {
    constexpr std::size_t word = sizeof(double);
    detail::for_each_piece((n + word - 1) / word, Cost::stream, [&](std::size_t, std::size_t begin, std::size_t end) {
        const std::size_t from = begin * word;
        const std::size_t to = std::min(end * word, n);
        if (to > from) std::memcpy(static_cast<char*>(dst) + from, static_cast<const char*>(src) + from, to - from);
    });
}

} // namespace pool
