#pragma once
// The process-wide worker pool of the bulk operations, and the patterns they
// use: order-preserving maps, an ordered concatenation of texts, a selection
// kept in order, and ordered and minimum reductions. Every pattern gives the
// same result, bit for bit, for any number of threads and any split of the
// range, because each element's result depends on that element alone and
// partial results are combined in index order, by combinations that do not
// depend on where the range was split.
//
// The workers see plain arrays only; they never touch a Python object.

#include "array.hpp"
#include "drovak/exact_sums.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace pool {

// The relative cost of one element, in units of the cheapest loops (a
// component-wise add). A range is handed to the pool only when its weighted
// length pays for the hand-off; shorter ones run on the calling thread.
// A query of a spatial index visits some hundred points and boxes.
enum class Cost : std::size_t { stream = 1, compound = 4, text = 200, query = 500 };

// The number of pool threads, by the environment's rule, read once.
std::size_t thread_count();

namespace detail {

using PieceFn = void (*)(void* context, std::size_t piece);

// Whether work of this many weighted elements pays for a hand-off.
bool worth_hand_off(std::size_t weight);

// How many contiguous pieces [0, n) is cut into: 1 runs on the calling
// thread without touching the pool.
std::size_t pieces_for(std::size_t n, Cost cost);

// Runs fn(context, k) for every k in [0, pieces) on the pool. The calling
// thread waits, detached from the interpreter, and does no element work.
void run_on_pool(std::size_t pieces, PieceFn fn, void* context);

inline std::size_t piece_begin(std::size_t n, std::size_t pieces, std::size_t k) {
    return static_cast<std::size_t>(static_cast<unsigned __int128>(n) * k / pieces);
}

// Calls f(k, begin, end) for each piece k of [0, n), in parallel when the
// range is worth it.
template <class F>
void for_each_piece(std::size_t n, Cost cost, F&& f) {
    const std::size_t pieces = pieces_for(n, cost);
    if (pieces <= 1) {
        f(std::size_t{0}, std::size_t{0}, n);
        return;
    }
    struct Context {
        F& f;
        std::size_t n;
        std::size_t pieces;
    } context{f, n, pieces};
    run_on_pool(
        pieces,
        [](void* c, std::size_t k) {
            auto& ctx = *static_cast<Context*>(c);
            ctx.f(k, piece_begin(ctx.n, ctx.pieces, k), piece_begin(ctx.n, ctx.pieces, k + 1));
        },
        &context);
}

} // namespace detail

namespace detail {

// The element loops, compiled twice: for the baseline instruction set and
// for AVX2, chosen at run time. Both evaluate the same IEEE operations in the
// same order (no fused multiply-add: contraction is off), so they agree bit
// for bit; the wider one only does several elements at once. Across 3-double
// elements the wide loop spends much of its time regrouping components, which
// pays only for the dearer formulas (square roots, divisions, rotations);
// the cheap ones keep the baseline loop, which works within each element.
template <class In, class Out, class F>
[[gnu::always_inline]] inline void map_loop(const In* __restrict src, Out* __restrict dst, std::size_t begin,
                                            std::size_t end, const F& f) {
    for (std::size_t i = begin; i < end; ++i)
        dst[i] = f(src[i]);
}
template <class In, class Out, class F>
[[gnu::target("avx2")]] void map_loop_avx2(const In* src, Out* dst, std::size_t begin, std::size_t end, const F& f) {
    map_loop(src, dst, begin, end, f);
}
template <class In, class Out, class F>
void map_loop_baseline(const In* src, Out* dst, std::size_t begin, std::size_t end, const F& f) {
    map_loop(src, dst, begin, end, f);
}

template <class T, class F>
[[gnu::always_inline]] inline void update_loop(T* data, std::size_t begin, std::size_t end, const F& f) {
    for (std::size_t i = begin; i < end; ++i)
        data[i] = f(data[i]);
}
template <class T, class F>
[[gnu::target("avx2")]] void update_loop_avx2(T* data, std::size_t begin, std::size_t end, const F& f) {
    update_loop(data, begin, end, f);
}
template <class T, class F>
void update_loop_baseline(T* data, std::size_t begin, std::size_t end, const F& f) {
    update_loop(data, begin, end, f);
}

inline const bool has_avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));

inline bool wide(Cost cost) { return has_avx2 && cost != Cost::stream; }

} // namespace detail

// dst[i] = f(in[i]) for every i, into n slots that do not overlap the input.
template <class F, class In, class Out>
void map_into(const lumora::Array<In>& in, Out* dst, Cost cost, F f) {
    const In* src = in.data();
    const auto loop = detail::wide(cost) ? &detail::map_loop_avx2<In, Out, F> : &detail::map_loop_baseline<In, Out, F>;
    detail::for_each_piece(in.size(), cost,
                           [&](std::size_t, std::size_t begin, std::size_t end) { loop(src, dst, begin, end, f); });
}

// out[i] = f(in[i]) for every i, into an array reserved once at its final
// size.
template <class F, class In, class Out = std::invoke_result_t<F&, const In&>>
lumora::Array<Out> map(const lumora::Array<In>& in, Cost cost, F f) {
    auto out = lumora::Array<Out>::uninitialised(in.size());
    map_into(in, out.data(), cost, f);
    return out;
}

// f(begin, end) over contiguous pieces of [0, n), in parallel when the
// range is worth it.
template <class F>
void for_each_range(std::size_t n, Cost cost, F f) {
    detail::for_each_piece(n, cost, [&](std::size_t, std::size_t begin, std::size_t end) { f(begin, end); });
}

// What f(i, part) appends to `part` for every i in [0, n), in consecutive
// parts to be read in index order.
template <class T, class F>
std::vector<lumora::Array<T>> collect(std::size_t n, Cost cost, F f) {
    auto parts = std::vector<lumora::Array<T>>(detail::pieces_for(n, cost));
    detail::for_each_piece(n, cost, [&](std::size_t k, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            f(i, parts[k]);
    });
    return parts;
}

// f(k) for every k in [0, tasks): a few large tasks of about `weight`
// weighted elements each, every one a piece of its own, so that a thread
// takes the next as soon as it is free.
template <class F>
void for_each_task(std::size_t tasks, std::size_t weight, F&& f) {
    if (tasks < 2 || !detail::worth_hand_off(tasks * weight)) {
        for (std::size_t k = 0; k < tasks; ++k)
            f(k);
        return;
    }
    using Fn = std::remove_reference_t<F>;
    detail::run_on_pool(tasks, [](void* c, std::size_t k) { (*static_cast<Fn*>(c))(k); }, &f);
}

// n bytes from src to dst, in pieces on the pool when the block is large.
void copy(void* dst, const void* src, std::size_t n);

// out = in with g applied to every component, for elements made of doubles
// and formulas that treat each component alike: one flat loop over all the
// doubles, which vectorises cleanly at any width.
template <class T, class G>
lumora::Array<T> map_components(const lumora::Array<T>& in, Cost cost, G g) {
    static_assert(std::is_standard_layout_v<T> && sizeof(T) % sizeof(double) == 0);
    constexpr std::size_t k = sizeof(T) / sizeof(double);
    auto out = lumora::Array<T>::uninitialised(in.size());
    const auto* src = reinterpret_cast<const double*>(in.data());
    auto* dst = reinterpret_cast<double*>(out.data());
    const auto loop =
        detail::has_avx2 ? &detail::map_loop_avx2<double, double, G> : &detail::map_loop_baseline<double, double, G>;
    detail::for_each_piece(in.size(), cost, [&](std::size_t, std::size_t begin, std::size_t end) {
        loop(src, dst, k * begin, k * end, g);
    });
    return out;
}

// The same, writing over the input.
template <class T, class F>
void map_in_place(lumora::Array<T>& items, Cost cost, F f) {
    T* data = items.data();
    const auto loop = detail::wide(cost) ? &detail::update_loop_avx2<T, F> : &detail::update_loop_baseline<T, F>;
    detail::for_each_piece(items.size(), cost,
                           [&](std::size_t, std::size_t begin, std::size_t end) { loop(data, begin, end, f); });
}

// The texts of elements 0 .. n-1, with `separator` between neighbours, in
// consecutive parts to be joined in index order with the separator between
// them. write(i, out) writes element i's text, at most `longest` bytes, at
// `out` and returns its end.
template <class F>
std::vector<lumora::Array<char>> concat(std::size_t n, Cost cost, std::string_view separator, std::size_t longest,
                                        F write) {
    auto parts = std::vector<lumora::Array<char>>(detail::pieces_for(n, cost));
    detail::for_each_piece(n, cost, [&](std::size_t k, std::size_t begin, std::size_t end) {
        lumora::Array<char>& out = parts[k];
        for (std::size_t i = begin; i < end; ++i) {
            char* p = out.room(separator.size() + longest);
            if (i > begin) p = std::copy(separator.begin(), separator.end(), p);
            out.set_end(write(i, p));
        }
    });
    return parts;
}

// out[i] = f(i) for every i in [0, n), into an array reserved once at its
// final size.
template <class F, class Out = std::invoke_result_t<F&, std::size_t>>
lumora::Array<Out> generate(std::size_t n, Cost cost, F f) {
    auto out = lumora::Array<Out>::uninitialised(n);
    Out* dst = out.data();
    detail::for_each_piece(n, cost, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            dst[i] = f(i);
    });
    return out;
}

// make(i) for every i in [0, n) for which keep(i), in index order, into an
// array reserved once: a pass counts each piece's kept elements, then each
// piece writes its own from where the pieces before it end. The writing
// pass asks keep(i) again and never leaves its piece's slots, so a keep
// that answers differently the second time (a mask another thread writes
// to) garbles the result but writes nowhere else; slots it leaves are
// zeroed. make(i) is called for the dropped elements too (their values go
// to a spare slot, with no branch), so it must be sound for every i.
template <class T, class Keep, class Make>
lumora::Array<T> select(std::size_t n, Cost cost, Keep keep, Make make) {
    auto counts = std::vector<std::size_t>(detail::pieces_for(n, cost));
    detail::for_each_piece(n, cost, [&](std::size_t k, std::size_t begin, std::size_t end) {
        std::size_t count = 0;
        for (std::size_t i = begin; i < end; ++i)
            count += keep(i) ? 1 : 0;
        counts[k] = count;
    });
    auto starts = std::vector<std::size_t>(counts.size() + 1);
    for (std::size_t k = 0; k < counts.size(); ++k)
        starts[k + 1] = starts[k] + counts[k];
    auto out = lumora::Array<T>::uninitialised(starts.back());
    T* dst = out.data();
    detail::for_each_piece(n, cost, [&](std::size_t k, std::size_t begin, std::size_t end) {
        // Every element is written, a dropped one into `spare`: no branch
        // to mispredict on a random mask.
        T spare;
        std::size_t o = starts[k];
        const std::size_t last = starts[k + 1];
        for (std::size_t i = begin; i < end; ++i) {
            const bool kept = keep(i) && o < last;
            *(kept ? dst + o : &spare) = make(i);
            o += kept ? 1 : 0;
        }
        if (o < last) std::memset(static_cast<void*>(dst + o), 0, (last - o) * sizeof(T));
    });
    return out;
}

// The elements in[i] for which keep(i), in index order.
template <class T, class Keep>
lumora::Array<T> compress(const lumora::Array<T>& in, Cost cost, Keep keep) {
    const T* src = in.data();
    return select<T>(in.size(), cost, keep, [src](std::size_t i) { return src[i]; });
}

// The ordered combination of part(begin, end) over the pieces of [0, n):
// each piece's part is folded into the parts before it by combine(left,
// right). When part(a, c) equals combine(part(a, b), part(b, c)) for all
// a <= b <= c (an exact sum, a minimum whose ties are settled by value),
// the result does not depend on the split, nor so on the number of threads.
template <class Part, class Combine, class R = std::invoke_result_t<Part&, std::size_t, std::size_t>>
R reduce(std::size_t n, Cost cost, Part part, Combine combine) {
    const std::size_t pieces = detail::pieces_for(n, cost);
    if (pieces <= 1) return part(std::size_t{0}, n);
    auto parts = std::vector<std::optional<R>>(pieces);
    detail::for_each_piece(
        n, cost, [&](std::size_t k, std::size_t begin, std::size_t end) { parts[k].emplace(part(begin, end)); });
    R result = std::move(*parts[0]);
    for (std::size_t k = 1; k < pieces; ++k) {
        if (parts[k]) combine(result, *parts[k]);
    }
    return result;
}

// The exact sums of the terms terms(i) -> std::array<double, K> over
// [0, n), each rounded once when read: the same bits whatever the split.
template <class Terms, std::size_t K = std::tuple_size_v<std::invoke_result_t<const Terms&, std::size_t>>>
drovak::ExactSums<K> exact_sums(std::size_t n, Cost cost, const Terms& terms) {
    using Sums = drovak::ExactSums<K>;
    const typename Sums::Plan plan = Sums::plan(drovak::sampled_bounds<K>(n, terms));
    return reduce(
        n, cost,
        [&](std::size_t begin, std::size_t end) {
            Sums part(plan);
            if (detail::has_avx2) {
                part.add_avx2(begin, end, terms);
            } else {
                part.add(begin, end, terms);
            }
            return part;
        },
        [](Sums& left, const Sums& right) { left.merge(right); });
}

// The best of candidate(i) for i in [0, n), where better(a, b) says that a
// is strictly better than b. Each piece scans in index order and replaces
// its best only by a strictly better candidate; the pieces are combined in
// index order the same way, so the lowest index wins among equals.
template <class F, class Better, class C = std::invoke_result_t<F&, std::size_t>>
std::optional<C> min_reduce(std::size_t n, Cost cost, F candidate, Better better) {
    auto bests = std::vector<std::optional<C>>(detail::pieces_for(n, cost));
    detail::for_each_piece(n, cost, [&](std::size_t k, std::size_t begin, std::size_t end) {
        if (begin == end) return;
        C best = candidate(begin);
        for (std::size_t i = begin + 1; i < end; ++i) {
            const C c = candidate(i);
            if (better(c, best)) best = c;
        }
        bests[k] = best;
    });
    std::optional<C> best;
    for (const std::optional<C>& b : bests) {
        if (b && (!best || better(*b, *best))) best = b;
    }
    return best;
}

} // namespace pool
