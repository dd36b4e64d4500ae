// Subspace angle: the mean principal angle between the column spans of two
// matrices, from the singular values of their inner-product matrix.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/lapack.hpp"
#include "module_frame/simd.hpp"


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

using simd::v4d;

// Rows of a matrix with unit column stride: row r starts at base + r * ld
// (ld may be negative). Other layouts are first copied to row-major.
struct Rows {
    const double* base = nullptr;
    std::ptrdiff_t ld = 0;
    std::vector<double> owned;

    explicit Rows(const MatrixView& v) {
        if (v.s1 == 1 || v.cols <= 1) {
            base = v.data;
            ld = v.s0;
            return;
        }
        check_capacity(static_cast<std::uint64_t>(v.rows) * v.cols);
        owned.resize(v.rows * v.cols);
        for (std::size_t r = 0; r < v.rows; ++r)
            for (std::size_t c = 0; c < v.cols; ++c) owned[r * v.cols + c] = v(r, c);
        base = owned.data();
        ld = static_cast<std::ptrdiff_t>(v.cols);
    }
    const double* row(std::size_t r) const { return base + static_cast<std::ptrdiff_t>(r) * ld; }
};

// Adds, for rows r in [r0, r1) in order, a[r][i] * b[r][j] to m[i + j * k1]
// for every i in [i0, i0 + 4 * IV) and j in [j0, j0 + 4): 4 * IV * 4 cells,
// each its own chain, kept in registers across the rows.
template <int IV>
NUVRA_INLINE void tile(const Rows& a, const Rows& b, std::size_t r0, std::size_t r1,
                       std::size_t k1, std::size_t i0, std::size_t j0, double* m) {
    v4d acc[4][IV];
    for (int jj = 0; jj < 4; ++jj)
        for (int v = 0; v < IV; ++v) acc[jj][v] = simd::load(m + i0 + 4 * v + (j0 + jj) * k1);
    for (std::size_t r = r0; r < r1; ++r) {
        const double* ar = a.row(r) + i0;
        const double* br = b.row(r) + j0;
        v4d av[IV];
        for (int v = 0; v < IV; ++v) av[v] = simd::load(ar + 4 * v);
        for (int jj = 0; jj < 4; ++jj) {
            const v4d bj = simd::splat(br[jj]);
            for (int v = 0; v < IV; ++v) acc[jj][v] += av[v] * bj;
        }
    }
    for (int jj = 0; jj < 4; ++jj)
        for (int v = 0; v < IV; ++v) simd::store(m + i0 + 4 * v + (j0 + jj) * k1, acc[jj][v]);
}

// Rows [r0, r1) of the sums for columns [jlo, jhi) of M, M[i][j] = sum over
// rows r (in order, from +0.0) of v1[r][i] * v2[r][j], stored column-major
// (i + j * k1) for LAPACK and zero before the first rows. Every cell is its
// own sum in row order; the cells run side by side in register tiles. jlo
// is a multiple of 4. Nothing in here may throw: a multiversioned function
// is called as if it never did.
NUVRA_MULTIVERSION void inner_products_rows(const Rows& a, const Rows& b, std::size_t r0,
                                            std::size_t r1, std::size_t k1, std::size_t jlo,
                                            std::size_t jhi, double* m) {
    const std::size_t i8 = k1 / 8 * 8, i4 = k1 / 4 * 4;
    const std::size_t j4 = jlo + (jhi - jlo) / 4 * 4;
    for (std::size_t j0 = jlo; j0 < j4; j0 += 4) {
        for (std::size_t i0 = 0; i0 < i8; i0 += 8) tile<2>(a, b, r0, r1, k1, i0, j0, m);
        if (i4 > i8) tile<1>(a, b, r0, r1, k1, i8, j0, m);
    }
    // Cells outside the tiles: the last k1 % 4 rows of M for the tiled
    // columns, and every row of the last columns.
    if (i4 == k1 && j4 == jhi) return;
    for (std::size_t r = r0; r < r1; ++r) {
        const double* ar = a.row(r);
        const double* br = b.row(r);
        for (std::size_t j = jlo; j < jhi; ++j) {
            const double bj = br[j];
            double* col = m + j * k1;
            for (std::size_t i = (j < j4 ? i4 : 0); i < k1; ++i) col[i] += ar[i] * bj;
        }
    }
}

// Columns [jlo, jhi) of M over all n rows, in blocks of rows small enough
// to stay in cache, with a Ctrl-C check between blocks.
void inner_products(const Rows& a, const Rows& b, std::size_t n, std::size_t k1,
                    std::size_t jlo, std::size_t jhi, double* m) {
    constexpr std::size_t kRowBlock = 128;
    InterruptPoll poll;
    for (std::size_t r0 = 0; r0 < n; r0 += kRowBlock) {
        const std::size_t r1 = std::min(n, r0 + kRowBlock);
        poll((r1 - r0) * k1 * (jhi - jlo));
        inner_products_rows(a, b, r0, r1, k1, jlo, jhi, m);
    }
}

// All of M; large products split their columns over the worker pool (each
// cell is still one sum in row order on one thread, so the result does not
// depend on the number of threads).
void inner_products(const Rows& a, const Rows& b, std::size_t n, std::size_t k1, std::size_t k2,
                    double* m) {
    constexpr double kParallelWork = 4.0e6;  // row-cell products worth the pool's start-up
    const std::size_t groups = (k2 + 3) / 4;
    if (groups < 2 || static_cast<double>(n) * static_cast<double>(k1) * static_cast<double>(k2) <
                          kParallelWork) {
        inner_products(a, b, n, k1, 0, k2, m);
        return;
    }
    const std::size_t pieces = std::min(groups, pool_thread_count());
    parallel_map<char>(pieces, [&](std::size_t p) {
        const std::size_t jlo = groups * p / pieces * 4;
        const std::size_t jhi = std::min(k2, groups * (p + 1) / pieces * 4);
        inner_products(a, b, n, k1, jlo, jhi, m);
        return char{0};
    });
}

// Mean principal angle, in radians, between span(v1) and span(v2): the
// min(k1, k2) singular values of V1^T V2 (k1 x k2, every column of both
// arguments) are the cosines of the angles. Dropping the wider argument's
// extra columns would measure a different subspace: a span that contains
// the other would not come out at angle 0. The columns are used as given (not orthonormalised), so cosines
// above 1 are clamped to 1. Shape problems and non-finite inner products
// give NaN.
double subspace_angle_py(MatrixView v1, MatrixView v2) {
    if (v1.rows != v2.rows || v1.cols == 0 || v2.cols == 0) return NaN;
    const std::size_t n = v1.rows;
    if (n == 0) return NaN;
    const std::size_t k1 = v1.cols, k2 = v2.cols;
    const Rows a(v1), b(v2);

    std::uint64_t cells;
    if (mul_overflows(k1, k2, cells)) panic_capacity_overflow();
    check_capacity(cells);
    std::vector<double> m(static_cast<std::size_t>(cells), 0.0);
    inner_products(a, b, n, k1, k2, m.data());
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
