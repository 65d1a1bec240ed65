#pragma once
// The least-squares rigid motion of weighted point pairs on the pool, every
// sum exact: for RigidTransform.align and for each step of registration.
// pair(i) gives (source point, target point, weight) of pair i; a pair of
// weight 0 must give finite points (its terms are then zeros).

#include "drovak/rigid_fit.hpp"
#include "pool.hpp"

#include <cmath>
#include <cstddef>
#include <tuple>

namespace lumora {

// The weight and the weighted centroids of the pairs.
struct Centroids {
    double weight;
    drovak::Vec3d source;
    drovak::Vec3d target;
};

template <class Pair>
Centroids centroids(std::size_t n, const Pair& pair) {
    const auto c = pool::exact_sums(n, pool::Cost::compound, [&](std::size_t i) {
        const auto [s, t, w] = pair(i);
        return drovak::centroid_terms(s, t, w);
    });
    const double total = c.rounded(0);
    const auto mean = [&](std::size_t k) { return c.divided(k, total); };
    return {total, {mean(1), mean(2), mean(3)}, {mean(4), mean(5), mean(6)}};
}

// The motion fitted about the centroids c (a positive weight, finite).
template <class Pair>
drovak::RigidTransform fitted(std::size_t n, const Pair& pair, const Centroids& c) {
    const auto h = pool::exact_sums(n, pool::Cost::compound, [&](std::size_t i) {
        const auto [s, t, w] = pair(i);
        return drovak::covariance_terms(s, t, w, c.source, c.target);
    });
    drovak::RotationMatrix rounded;
    for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b)
            rounded[a][b] = h.rounded(3 * a + b);
    }
    return drovak::fitted_motion(c.source, c.target, rounded);
}

// sqrt(sum of w |motion(s) - t|^2 / weight), the motion in its matrix form.
template <class Pair>
double residual(std::size_t n, const Pair& pair, const drovak::RigidTransform& motion, double weight) {
    const drovak::MatrixMotion m(motion);
    const auto r = pool::exact_sums(n, pool::Cost::compound, [&](std::size_t i) {
        const auto [s, t, w] = pair(i);
        return drovak::residual_terms(m, s, t, w);
    });
    return std::sqrt(r.divided(0, weight));
}

} // namespace lumora
