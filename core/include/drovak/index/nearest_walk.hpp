#pragma once
// The k nearest points of the index's own points, asked one after another
// in the tree's order, each the same answer as k_nearest_at gives, found
// with less work by using what the queries before it found.
//
// Any bound gives the exact answer as long as every point within it is
// gathered and at least k are: the k nearest are then among those gathered,
// since a point left out is farther than all of them. Successive points of
// the tree's order lie close together, and nearly as far from their k-th
// neighbour, so a bound guessed from the last few answers holds a little
// more than k points. The points near a leaf are taken from the tree once,
// for all of its queries; each query measures them all (no branch per
// point), keeps those within its bound and ranks them without a branch per
// pair, which is where the search by the shrinking bound of the k best
// spends its time: on mispredicted branches while it keeps its candidates
// sorted. A guess that holds too few or too many points is tried again
// with a bound that the triangle inequality makes safe, and if that fails
// too the search is the ordinary one. Where the processor has AVX-512 the
// loops over points run eight at a time (nearest_walk_avx512.hpp), with the
// same answers.
//
// Other queries, sorted so that successive ones lie close together, are
// guessed the same way, each gathering the points within its bound from
// the root down.

#include "drovak/index/nearest_at.hpp"
#include "drovak/index/nearest_walk_avx512.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace drovak::index {

template <class Index>
class NearestWalk {
  public:
    // Up to this k the walk guesses; beyond it every search is the ordinary
    // one, since the ranking costs the square of the points kept. At 64 the
    // walk still takes a fifth of the time of the search, whose sorted
    // candidates cost it more the more there are.
    static constexpr std::size_t most = 64;

    // `room` is room for min(k, t.n) neighbours, for the ordinary search;
    // `wide` runs the loops eight points at a time, where supported.
    NearestWalk(const Tree<Index>& t, std::size_t k, Neighbour* room, bool wide = avx512::supported)
        : t_(t), k_(k), keep_(4 * std::clamp(k, std::size_t{32}, most)), room_(room), wide_(wide && avx512::supported) {
    }

    // From this k on, queries other than the index's points are guessed
    // too: for fewer neighbours the ordinary search keeps its few
    // candidates sorted as cheaply, and guesses miss more often. At 8 the
    // guesses are 1.3 to 1.4 times as fast for queries on a scan's points
    // or among 10^4 points, and up to a tenth slower for queries strewn
    // more thinly than the points over 10^6 of them.
    static constexpr std::size_t fewest = 8;

    // Writes the min(k, t.n) nearest points of the finite point at
    // `position` of the tree's order to `out`, first to last, and returns
    // how many.
    std::size_t at(std::size_t position, Neighbour* out) {
        const Vec3d q = t_.points[position];
        if (!guesses()) return ordinary(position, q, out);
        const Hints seen = look_back(q);
        const std::size_t leaf = detail::leaf_of(t_, position);
        if (leaf != leaf_) take_nearby(leaf, seen.far_radius * reach_share);
        const auto kept = [&](double limit) {
            return limit <= reach_ ? keep_nearby(q, limit) : gather(leaf, q, limit);
        };
        return tried(seen, kept) ? finish(q, out) : ordinary(position, q, out);
    }

    // The same for any query q, as k_nearest answers it, the queries asked
    // in an order that keeps successive ones near each other (by
    // locality_key): their points are gathered from the root down.
    std::size_t query(const Vec3d& q, Neighbour* out) {
        if (k_ < fewest || !guesses() || !finite(q)) return plain(q, out);
        const auto kept = [&](double limit) {
            std::size_t stack[std::numeric_limits<std::size_t>::digits + 1] = {0};
            return gathered(stack, 1, q, limit);
        };
        return tried(look_back(q), kept) ? finish(q, out) : plain(q, out);
    }

  private:
    // How many recent answers the guess looks at; how far beyond the
    // nearest one's k-th distance it reaches, and then its second try, and
    // the nearby points beyond the largest; the most points taken near a
    // leaf, and ranked.
    static constexpr std::size_t recent = 8;
    static constexpr double guess_share = 1.1;
    static constexpr double wider_share = 1.3;
    static constexpr double reach_share = 1.3;
    static constexpr std::size_t nearby_most = 512;
    static constexpr std::size_t kept_most = 4 * most;
    // A query keeps at most keep_ points, 4k and at least 128; a gather
    // writes up to a leaf's points past that, into the room of the nearby
    // points.
    static_assert(kept_most <= nearby_most);

    struct Answer {
        Vec3d q;
        double radius;
    };

    // What the recent answers say of a query: their squared distances from
    // it, the k-th distance of the nearest of them, and the largest.
    struct Hints {
        double apart[recent];
        std::size_t known;
        double near_radius;
        double far_radius;
    };

    bool guesses() const { return k_ > 0 && k_ <= most && k_ <= t_.count && seen_ > 0; }

    Hints look_back(const Vec3d& q) const {
        Hints r{{}, std::min(seen_, recent), 0.0, 0.0};
        double near_apart = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < r.known; ++i) {
            r.apart[i] = recent_[i].q.distance_squared(q);
            r.far_radius = std::max(r.far_radius, recent_[i].radius);
            if (r.apart[i] < near_apart) {
                near_apart = r.apart[i];
                r.near_radius = recent_[i].radius;
            }
        }
        return r;
    }

    // Whether kept(limit) holds for one of the bounds tried in turn: two
    // guesses a little beyond the nearest recent answer's k-th distance,
    // then the smallest bound the triangle inequality gives over all of
    // them.
    template <class Kept>
    bool tried(const Hints& r, Kept&& kept) const {
        const double guess = r.near_radius * guess_share, wider = r.near_radius * wider_share;
        if (kept(guess * guess) || kept(wider * wider)) return true;
        double safe = std::numeric_limits<double>::infinity();
        for (std::size_t i = 0; i < r.known; ++i)
            safe = std::min(safe, recent_[i].radius + std::sqrt(r.apart[i]));
        return kept(safe * safe * (1.0 + 0x1p-30));
    }

    // Takes every point p with lower_bound(box of the leaf, p) within
    // `reach` squared, which holds every point within that of any query in
    // the leaf; none (a reach of minus infinity) if there are too many.
    void take_nearby(std::size_t leaf, double reach) {
        const Box& box = t_.boxes[(std::size_t{1} << t_.depth) - 1 + leaf];
        leaf_ = leaf;
        reach_ = reach * reach;
        nearby_ = 0;
        std::size_t stack[std::numeric_limits<std::size_t>::digits + 1] = {0};
        visit_leaves(
            stack, 1, [&](const Box& b) { return box_gap_squared(box, b) > reach_; },
            [&](std::size_t begin, std::size_t end) {
#if defined(__x86_64__)
                if (wide_) {
                    nearby_ = avx512::near_box(t_, begin, end, box, reach_, x_, y_, z_, id_, nearby_);
                    return nearby_ <= nearby_most;
                }
#endif
                for (std::size_t i = begin; i < end; ++i) {
                    const Vec3d& p = t_.points[i];
                    x_[nearby_] = p.x;
                    y_[nearby_] = p.y;
                    z_[nearby_] = p.z;
                    id_[nearby_] = static_cast<double>(t_.indices[i]);
                    nearby_ += lower_bound(box, p) <= reach_;
                }
                return nearby_ <= nearby_most;
            });
        if (nearby_ > nearby_most) reach_ = -std::numeric_limits<double>::infinity();
    }

    // Visits the leaves under the nodes on `stack` (`top` of them, the last
    // first) whose boxes `pruned` does not rule out, calling leaf(begin,
    // end) on each one's points until it answers false.
    template <class Pruned, class Leaf>
    void visit_leaves(std::size_t* stack, std::size_t top, Pruned&& pruned, Leaf&& leaf) const {
        const std::size_t first_leaf = (std::size_t{1} << t_.depth) - 1;
        while (top > 0) {
            const std::size_t v = stack[--top];
            if (pruned(t_.boxes[v])) continue;
            if (v < first_leaf) {
                stack[top++] = 2 * v + 2;
                stack[top++] = 2 * v + 1;
                continue;
            }
            const std::size_t j = v - first_leaf;
            if (!leaf(t_.begin(t_.depth, j), t_.begin(t_.depth, j + 1))) return;
        }
    }

    // Keeps the nearby points within `limit` of q, and says whether there
    // are at least k of them and at most keep_. The squared distances
    // are p.distance_squared(q)'s, the same operations in the same order.
    bool keep_nearby(const Vec3d& q, double limit) {
#if defined(__x86_64__)
        if (wide_) {
            size_ = avx512::keep_near(x_, y_, z_, id_, nearby_, q, limit, d2_, index_);
            return size_ >= k_ && size_ <= keep_;
        }
#endif
        for (std::size_t i = 0; i < nearby_; ++i) {
            const double dx = x_[i] - q.x, dy = y_[i] - q.y, dz = z_[i] - q.z;
            measured_[i] = (dx * dx + dy * dy) + dz * dz;
        }
        // Their places first, one narrow store each; then the few kept.
        size_ = 0;
        for (std::size_t i = 0; i < nearby_; ++i) {
            place_[size_] = static_cast<std::uint16_t>(i);
            size_ += measured_[i] <= limit;
        }
        if (size_ < k_ || size_ > keep_) return false;
        for (std::size_t s = 0; s < size_; ++s) {
            d2_[s] = measured_[place_[s]];
            index_[s] = id_[place_[s]];
        }
        return true;
    }

    // The same from the tree, for a query whose limit reaches past the
    // nearby points: its own leaf first, then the other child of every
    // ancestor, outwards.
    bool gather(std::size_t leaf, const Vec3d& q, double limit) {
        std::size_t stack[std::numeric_limits<std::size_t>::digits + 1];
        std::size_t top = 0;
        stack[top++] = (std::size_t{1} << t_.depth) - 1 + leaf;
        for (std::size_t level = t_.depth, j = leaf; level > 0; --level, j >>= 1)
            stack[top++] = (std::size_t{1} << level) - 1 + (j ^ 1);
        std::reverse(stack, stack + top);
        return gathered(stack, top, q, limit);
    }

    // The same under the nodes on `stack`, the last first.
    bool gathered(std::size_t* stack, std::size_t top, const Vec3d& q, double limit) {
        size_ = 0;
        visit_leaves(
            stack, top, [&](const Box& b) { return lower_bound(b, q) > limit; },
            [&](std::size_t begin, std::size_t end) {
#if defined(__x86_64__)
                if (wide_) {
                    size_ = avx512::near_point(t_, begin, end, q, limit, d2_, index_, size_);
                    return size_ <= keep_;
                }
#endif
                for (std::size_t i = begin; i < end; ++i) {
                    const double d2 = t_.points[i].distance_squared(q);
                    d2_[size_] = d2;
                    index_[size_] = static_cast<double>(t_.indices[i]);
                    size_ += d2 <= limit;
                }
                return size_ <= keep_;
            });
        return size_ >= k_ && size_ <= keep_;
    }

    // Ranks the kept points by `closer`, writes the k first to `out` with
    // the points kept apart merged in, and notes the answer. A rank is
    // first the count of those nearer; only where two are as near (the
    // same rank twice, which is rare) are the lower indices counted too.
    std::size_t finish(const Vec3d& q, Neighbour* out) {
        // NaNs pad the kept points to a multiple of eight, and the rows to
        // a multiple of four: a NaN is nearer than nothing.
        constexpr double nan = std::numeric_limits<double>::quiet_NaN();
        std::fill_n(d2_ + size_, 8, nan);
        std::size_t rank[kept_most + 4];
        count_nearer(rank);
        unsigned char taken[kept_most + 1] = {};
        bool tie = false;
        for (std::size_t i = 0; i < size_; ++i) {
            tie |= taken[rank[i]] != 0;
            taken[rank[i]] = 1;
        }
        for (std::size_t i = 0; i < size_; ++i) {
            std::size_t r = rank[i];
            if (tie) {
                for (std::size_t j = 0; j < size_; ++j)
                    r += d2_[j] == d2_[i] && index_[j] < index_[i];
            }
            // Ranks past k land on one spare slot.
            best_[std::min(r, k_)] = {static_cast<std::uint64_t>(index_[i]), d2_[i]};
        }
        note(q, best_[k_ - 1].d2);
        return detail::merge_apart(t_, q, std::min(k_, t_.n), best_, k_, out, [](const Neighbour&) { return true; });
    }

    // rank[i]: how many kept points are nearer than the i-th, for four rows
    // at a time and two columns at a time.
    void count_nearer(std::size_t* rank) const {
#if defined(__x86_64__)
        if (wide_) {
            avx512::count_nearer(d2_, size_, rank);
            return;
        }
#endif
#if defined(__SSE2__)
        const auto sum = [](__m128i v) {
            return static_cast<std::size_t>(_mm_cvtsi128_si64(v) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
        };
        for (std::size_t i = 0; i < size_; i += 4) {
            const __m128d a = _mm_set1_pd(d2_[i]), b = _mm_set1_pd(d2_[i + 1]);
            const __m128d c = _mm_set1_pd(d2_[i + 2]), d = _mm_set1_pd(d2_[i + 3]);
            __m128i before_a = _mm_setzero_si128(), before_b = _mm_setzero_si128();
            __m128i before_c = _mm_setzero_si128(), before_d = _mm_setzero_si128();
            for (std::size_t j = 0; j < size_; j += 2) {
                const __m128d dj = _mm_loadu_pd(d2_ + j);
                before_a = _mm_sub_epi64(before_a, _mm_castpd_si128(_mm_cmplt_pd(dj, a)));
                before_b = _mm_sub_epi64(before_b, _mm_castpd_si128(_mm_cmplt_pd(dj, b)));
                before_c = _mm_sub_epi64(before_c, _mm_castpd_si128(_mm_cmplt_pd(dj, c)));
                before_d = _mm_sub_epi64(before_d, _mm_castpd_si128(_mm_cmplt_pd(dj, d)));
            }
            rank[i] = sum(before_a);
            rank[i + 1] = sum(before_b);
            rank[i + 2] = sum(before_c);
            rank[i + 3] = sum(before_d);
        }
#else
        for (std::size_t i = 0; i < size_; ++i) {
            rank[i] = 0;
            for (std::size_t j = 0; j < size_; ++j)
                rank[i] += d2_[j] < d2_[i];
        }
#endif
    }

    std::size_t ordinary(std::size_t position, const Vec3d& q, Neighbour* out) {
        const std::size_t got = k_nearest_at(t_, position, k_, room_, out);
        if (k_ > 0 && k_ <= most && k_ <= t_.count) note(q, out[k_ - 1].d2);
        return got;
    }

    std::size_t plain(const Vec3d& q, Neighbour* out) {
        const std::size_t got = k_nearest(t_, q, k_, room_, out);
        if (k_ >= fewest && k_ <= most && k_ <= t_.count && finite(q)) note(q, out[k_ - 1].d2);
        return got;
    }

    // A NaN k-th distance (from the points kept apart) bounds nothing.
    void note(const Vec3d& q, double d2) {
        recent_[seen_++ % recent] = {q, std::isnan(d2) ? std::numeric_limits<double>::infinity() : std::sqrt(d2)};
    }

    const Tree<Index>& t_;
    std::size_t k_;
    std::size_t keep_;
    Neighbour* room_;
    bool wide_;
    Answer recent_[recent];
    std::size_t seen_ = 0;
    // The points near leaf_ (none yet), each with its index; eight past
    // the most for the wide stores.
    std::size_t leaf_ = std::numeric_limits<std::size_t>::max();
    double reach_ = -std::numeric_limits<double>::infinity();
    std::size_t nearby_ = 0;
    static constexpr std::size_t slots = nearby_most + leaf_size + 8;
    double x_[slots], y_[slots], z_[slots], id_[slots], measured_[slots];
    std::uint16_t place_[nearby_most + leaf_size];
    // The points kept for a query, with room for all the nearby ones, or a
    // leaf's past the most, and the padding.
    std::size_t size_ = 0;
    double d2_[slots], index_[slots];
    Neighbour best_[most + 1];
};

} // namespace drovak::index
