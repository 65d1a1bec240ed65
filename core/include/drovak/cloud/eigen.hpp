#pragma once
// Eigenvalues and eigenvectors of a symmetric 3x3 matrix, as the plane fits
// of the normals want them: ascending, with vectors. The cyclic Jacobi sweeps
// of drovak::symmetric_eigen keep every eigenvector accurate however close
// the eigenvalues are, where the closed form by the characteristic cubic
// would not.

#include "drovak/symmetric_eigen.hpp"
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

// By the sweeps of drovak::symmetric_eigen, the values sorted ascending (the
// lower position first among equals).
inline Eigen3 symmetric_eigen(const Symmetric3& m) {
    const SymmetricEigen<3> r = drovak::symmetric_eigen<3>({{{m.xx, m.xy, m.xz}, {0.0, m.yy, m.yz}, {0.0, 0.0, m.zz}}});
    int order[3] = {0, 1, 2};
    std::sort(order, order + 3,
              [&](int i, int j) { return r.values[i] < r.values[j] || (r.values[i] == r.values[j] && i < j); });
    Eigen3 e;
    for (int k = 0; k < 3; ++k) {
        const auto& v = r.vectors[order[k]];
        e.values[k] = r.values[order[k]];
        e.vectors[k] = {v[0], v[1], v[2]};
    }
    return e;
}

} // namespace drovak::cloud
