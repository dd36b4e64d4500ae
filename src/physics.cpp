// Subspace angle: the mean principal angle between the column spans of two
// matrices, from the singular values of their inner-product matrix.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/lapack.hpp"


namespace nuvra {
namespace {

// Singular values (descending) of the column-major m x n matrix `a`
// (overwritten); false when LAPACK reports a failure or the sizes do not fit.
bool singular_values(std::vector<double>& a, std::size_t m, std::size_t n, std::vector<double>& s) {
    if (m > static_cast<std::size_t>(INT_MAX) || n > static_cast<std::size_t>(INT_MAX)) return false;
    const int mi = static_cast<int>(m);
    const int ni = static_cast<int>(n);
    const int lda = std::max(mi, 1);
    const int ld1 = 1;
    double dummy_u = 0.0, dummy_vt = 0.0;
    s.assign(std::min(m, n), 0.0);
    int info = 0;
    int lwork = -1;
    double query = 0.0;
    dgesvd_("N", "N", &mi, &ni, a.data(), &lda, s.data(), &dummy_u, &ld1, &dummy_vt, &ld1, &query,
            &lwork, &info, 1, 1);
    if (info != 0 || !(query >= 1.0) || query > static_cast<double>(INT_MAX)) return false;
    lwork = static_cast<int>(query);
    std::vector<double> work(static_cast<std::size_t>(lwork));
    dgesvd_("N", "N", &mi, &ni, a.data(), &lda, s.data(), &dummy_u, &ld1, &dummy_vt, &ld1,
            work.data(), &lwork, &info, 1, 1);
    return info == 0;
}

// Mean principal angle, in radians, between span(v1) and span(v2): the
// min(k1, k2) singular values of V1^T V2 (k1 x k2) are the cosines of the
// angles. The columns are used as given (not orthonormalised), so cosines
// above 1 are clamped to 1. Shape problems and non-finite inner products
// give NaN.
double subspace_angle_py(MatrixView v1, MatrixView v2) {
    if (v1.rows != v2.rows || v1.cols == 0 || v2.cols == 0) return NaN;
    const std::size_t n = v1.rows;
    if (n == 0) return NaN;
    const std::size_t k1 = v1.cols, k2 = v2.cols;
    const std::vector<double> a = v1.to_row_major();
    const std::vector<double> b = v2.to_row_major();

    // M[i][j] = sum over rows r (in order, from +0.0) of v1[r][i] * v2[r][j],
    // stored column-major (i + j * k1) for LAPACK.
    std::uint64_t cells;
    if (mul_overflows(k1, k2, cells)) panic_capacity_overflow();
    check_capacity(cells);
    std::vector<double> m(static_cast<std::size_t>(cells), 0.0);
    for (std::size_t r = 0; r < n; ++r) {
        const double* ar = a.data() + r * k1;
        const double* br = b.data() + r * k2;
        for (std::size_t j = 0; j < k2; ++j) {
            const double bj = br[j];
            double* col = m.data() + j * k1;
            for (std::size_t i = 0; i < k1; ++i) col[i] += ar[i] * bj;
        }
    }
    for (double x : m)
        if (!std::isfinite(x)) return NaN;

    std::vector<double> s;
    if (!singular_values(m, k1, k2, s)) return NaN;
    double sum = 0.0;
    for (double sigma : s) sum += std::acos(fmin_num(std::fabs(sigma), 1.0));
    return sum / static_cast<double>(s.size());
}

const PyMethodDef defs[] = {
    NUVRA_DEF(subspace_angle_py, "subspace_angle", "subspace_angle(v1, v2)\n--\n\n", "v1", "v2"),
};

}  // namespace

namespace family {
FunctionTable physics() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
