#pragma once
// Eigenvalues and eigenvectors of a small symmetric matrix by cyclic Jacobi
// rotations: slower than a closed form, but accurate however close the
// eigenvalues are, and deterministic (a fixed order of fixed operations).

#include <array>
#include <cmath>
#include <cstddef>

namespace drovak {

template <std::size_t N>
using SquareMatrix = std::array<std::array<double, N>, N>;

template <std::size_t N>
struct SymmetricEigen {
    std::array<double, N> values;
    // vectors[k] is the unit eigenvector of values[k].
    SquareMatrix<N> vectors;
};

// Only the upper triangle of `a` is read. Sweeps go over the pairs (p, q),
// p < q, in order; from the fourth on, an off-diagonal entry too small to
// change its diagonal entries is set to zero, and the sweeps end when all
// are zero (at most 64: a NaN or infinite entry never converges and gives
// NaN).
template <std::size_t N>
SymmetricEigen<N> symmetric_eigen(SquareMatrix<N> a) {
    SquareMatrix<N> v{};
    for (std::size_t i = 0; i < N; ++i) {
        v[i][i] = 1.0;
        for (std::size_t j = 0; j < i; ++j)
            a[i][j] = a[j][i];
    }
    for (int sweep = 0; sweep < 64; ++sweep) {
        bool rotated = false;
        for (std::size_t p = 0; p + 1 < N; ++p) {
            for (std::size_t q = p + 1; q < N; ++q) {
                const double apq = a[p][q];
                if (apq == 0.0) continue;
                // Below the last bit of both diagonal entries even when
                // scaled up 128 times, the entry cannot change them.
                const double big = 0x1p7 * std::fabs(apq);
                if (sweep > 2 && std::fabs(a[p][p]) + big == std::fabs(a[p][p]) &&
                    std::fabs(a[q][q]) + big == std::fabs(a[q][q])) {
                    a[p][q] = a[q][p] = 0.0;
                    continue;
                }
                rotated = true;
                // The rotation that zeroes a[p][q]: t = tan of its angle, the
                // smaller root of t^2 + 2 theta t - 1 = 0.
                const double theta = (a[q][q] - a[p][p]) / (apq + apq);
                double t = 1.0 / (std::fabs(theta) + std::sqrt(theta * theta + 1.0));
                if (std::isinf(theta * theta)) t = 0.5 / std::fabs(theta);
                if (theta < 0.0) t = -t;
                const double c = 1.0 / std::sqrt(t * t + 1.0);
                const double s = t * c;
                for (std::size_t k = 0; k < N; ++k) {
                    const double akp = a[k][p];
                    const double akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (std::size_t k = 0; k < N; ++k) {
                    const double apk = a[p][k];
                    const double aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                a[p][q] = a[q][p] = 0.0;
                for (std::size_t k = 0; k < N; ++k) {
                    const double vp = v[p][k];
                    const double vq = v[q][k];
                    v[p][k] = c * vp - s * vq;
                    v[q][k] = s * vp + c * vq;
                }
            }
        }
        if (!rotated) break;
    }
    SymmetricEigen<N> out;
    for (std::size_t i = 0; i < N; ++i)
        out.values[i] = a[i][i];
    out.vectors = v;
    return out;
}

} // namespace drovak
