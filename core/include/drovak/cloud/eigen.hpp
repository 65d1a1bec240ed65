#pragma once
// Eigenvalues and eigenvectors of a symmetric 3x3 matrix by cyclic Jacobi
// rotations. Each rotation zeroes one off-diagonal entry with the stable
// formulas (the smaller rotation angle, its tangent from a quotient that
// cannot overflow), and the sweeps stop once every off-diagonal entry is
// negligible beside the diagonal ones it couples. Unlike the closed-form
// solution by the characteristic cubic, the accuracy of every eigenvector
// does not suffer when two eigenvalues are close: the vectors stay
// orthonormal to rounding, and a vector is as good as its gap to the other
// eigenvalues allows.

#include "drovak/vec3d.hpp"

#include <algorithm>
#include <cmath>

namespace drovak::cloud {

// A symmetric matrix by its upper triangle.
struct Symmetric3 {
    double xx, xy, xz, yy, yz, zz;
};

// Eigenvalues ascending, with their unit eigenvectors.
struct Eigen3 {
    double values[3];
    Vec3d vectors[3];
};

inline Eigen3 symmetric_eigen(const Symmetric3& m) {
    double a[3][3] = {{m.xx, m.xy, m.xz}, {m.xy, m.yy, m.yz}, {m.xz, m.yz, m.zz}};
    double v[3][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
    // Convergence is quadratic; a handful of sweeps is the usual need.
    constexpr int most_sweeps = 50;
    for (int sweep = 0; sweep < most_sweeps; ++sweep) {
        bool rotated = false;
        for (int p = 0; p < 2; ++p) {
            for (int q = p + 1; q < 3; ++q) {
                const double apq = a[p][q];
                if (apq == 0.0) continue;
                // Negligible: too small to change either diagonal entry.
                const double g = 100.0 * std::fabs(apq);
                if (std::fabs(a[p][p]) + g == std::fabs(a[p][p]) && std::fabs(a[q][q]) + g == std::fabs(a[q][q])) {
                    a[p][q] = a[q][p] = 0.0;
                    continue;
                }
                rotated = true;
                const double h = a[q][q] - a[p][p];
                double t;
                if (std::fabs(h) + g == std::fabs(h)) {
                    t = apq / h;
                } else {
                    const double theta = 0.5 * h / apq;
                    t = 1.0 / (std::fabs(theta) + std::sqrt(1.0 + theta * theta));
                    if (theta < 0.0) t = -t;
                }
                const double c = 1.0 / std::sqrt(1.0 + t * t);
                const double s = t * c;
                const double tau = s / (1.0 + c);
                a[p][p] -= t * apq;
                a[q][q] += t * apq;
                a[p][q] = a[q][p] = 0.0;
                const int r = 3 - p - q;
                const double arp = a[r][p], arq = a[r][q];
                a[r][p] = a[p][r] = arp - s * (arq + tau * arp);
                a[r][q] = a[q][r] = arq + s * (arp - tau * arq);
                for (auto& row : v) {
                    const double vp = row[p], vq = row[q];
                    row[p] = vp - s * (vq + tau * vp);
                    row[q] = vq + s * (vp - tau * vq);
                }
            }
        }
        if (!rotated) break;
    }
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3, [&](int i, int j) { return a[i][i] < a[j][j] || (a[i][i] == a[j][j] && i < j); });
    Eigen3 e;
    for (int k = 0; k < 3; ++k) {
        const int c = order[k];
        e.values[k] = a[c][c];
        e.vectors[k] = {v[0][c], v[1][c], v[2][c]};
    }
    return e;
}

} // namespace drovak::cloud
