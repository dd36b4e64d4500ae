// Pairwise matrices over a multichannel recording (one signal per column):
// mutual information, transfer entropy and Granger causality.
//
// Each column is binned once and reused by every pair it takes part in.
// Counts are taken over the occupied cells only, visited in increasing cell
// (or key) order, so no table grows with the square of the bin count and
// every entropy sum adds its terms in a fixed order. Granger fits share the
// sums of the normal equations between the lag orders of one pair and the
// restricted fit between all causes of one effect.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <tuple>
#include <utility>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "bin_codes.hpp"

namespace nuvra {
namespace {

using namespace bins;

// ------------------------------------------------------------------ counting

// Every column of the view as its own vector in row order, read in one pass
// over the rows (in memory order for a row-major array).
std::vector<std::vector<double>> columns(const MatrixView& m) {
    std::vector<std::vector<double>> cols(m.cols, std::vector<double>(m.rows));
    if (m.s0 < 0 || m.s1 < 0 || std::abs(m.s1) > std::abs(m.s0)) {
        for (std::size_t j = 0; j < m.cols; ++j)
            for (std::size_t t = 0; t < m.rows; ++t) cols[j][t] = m(t, j);
        return cols;
    }
    for (std::size_t t = 0; t < m.rows; ++t) {
        const double* row = m.data + static_cast<std::ptrdiff_t>(t) * m.s0;
        for (std::size_t j = 0; j < m.cols; ++j) cols[j][t] = row[static_cast<std::ptrdiff_t>(j) * m.s1];
    }
    return cols;
}

// Equal-width bins of one column on its NaN-ignoring range widened by 1e-10.
std::vector<u64> column_bins(std::span<const double> v, u64 n_bins) {
    double lo = Inf, hi = -Inf;
    for (double x : v) {
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    const double width = (hi - lo) + 1e-10;
    const double fb = static_cast<double>(n_bins);
    const u64 top = n_bins - 1;  // wraps for 0 bins: no clamp
    std::vector<u64> out(v.size());
    for (std::size_t t = 0; t < v.size(); ++t) out[t] = clamp_bin(((v[t] - lo) / width) * fb, top);
    return out;
}

// Entropy in bits of counts visited in order: H -= p log2(p + 1e-10).
struct CountEntropy {
    double nd;
    double h = 0.0;
    void add(u64 c) {
        const double p = static_cast<double>(c) / nd;
        h = h - p * std::log2(p + 1e-10);
    }
};

// Entropy of the keys' counts in ascending key order.
double keys_entropy(std::span<const u64> keys, u64 bound, double nd) {
    CountEntropy e{nd};
    for_each_count(keys, bound, [&](u64, u64 c) { e.add(c); });
    return e.h;
}

// ------------------------------------------------------------------ MI matrix

// A new n x n result array of zeros.
OwnedArray2 zero_matrix(std::size_t n, double value = 0.0) {
    OwnedArray2 out(n, n);
    std::fill(out.data(), out.data() + n * n, value);
    return out;
}

OwnedArray2 mutual_information_matrix_py(MatrixView signals, Opt<u64, 10> n_bins_opt) {
    const u64 n_bins = n_bins_opt;
    const std::size_t T = signals.rows, n = signals.cols;
    OwnedArray2 mi = zero_matrix(n);
    if (T < 2 || n == 0) return mi;
    if (n_bins == 0) panic_index(0, 0);  // no marginal bin to count the first sample in
    std::vector<Codes> codes(n);
    const double nd = static_cast<double>(T);
    std::vector<double> h(n);
    std::vector<std::vector<double>> cols = columns(signals);
    for (std::size_t i = 0; i < n; ++i) {
        codes[i] = compress(column_bins(cols[i], n_bins), n_bins);
        std::vector<double>().swap(cols[i]);
        h[i] = keys_entropy(codes[i].id, codes[i].k, nd);
        mi.row(i)[i] = h[i];
    }
    std::vector<u64> keys(T);
    std::vector<std::uint32_t> cnt;
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        const Codes& a = codes[i];
        for (std::size_t j = i + 1; j < n; ++j) {
            const Codes& b = codes[j];
            const u64 cells = a.k * b.k;
            poll(2 * static_cast<u64>(T) + std::min<u64>(cells, dense_limit(T)));
            CountEntropy e{nd};
            if (cells <= dense_limit(T) && T < 0xffffffffu) {
                cnt.assign(static_cast<std::size_t>(cells), 0);
                const u64* ia = a.id.data();
                const u64* ib = b.id.data();
                const u64 kb = b.k;
                for (std::size_t t = 0; t < T; ++t) ++cnt[ia[t] * kb + ib[t]];
                for (std::uint32_t c : cnt)
                    if (c != 0) e.add(c);
            } else {
                for (std::size_t t = 0; t < T; ++t) keys[t] = a.id[t] * b.k + b.id[t];
                for_each_count(keys, cells, [&](u64, u64 c) { e.add(c); });
            }
            const double v = (h[i] + h[j]) - e.h;
            const double r = v > 0.0 ? v : 0.0;
            mi.row(i)[j] = r;
            mi.row(j)[i] = r;
        }
    }
    return mi;
}

// ------------------------------------------------------------------ TE matrix

OwnedArray2 transfer_entropy_matrix_py(MatrixView signals, Opt<u64, 1> lag_opt, Opt<u64, 8> n_bins_opt) {
    const u64 lag = lag_opt, n_bins = n_bins_opt;
    const std::size_t T = signals.rows, n = signals.cols;
    OwnedArray2 te = zero_matrix(n);
    if (n == 0 || lag > T || static_cast<u64>(T) - lag < 10) return te;
    const std::size_t lg = static_cast<std::size_t>(lag);
    const std::size_t N = T - lg - 1;
    const double nd = static_cast<double>(N);
    std::vector<Codes> codes(n);
    {
        std::vector<std::vector<double>> cols = columns(signals);
        for (std::size_t i = 0; i < n; ++i) {
            codes[i] = compress(column_bins(cols[i], n_bins), std::max<u64>(n_bins, 1));
            std::vector<double>().swap(cols[i]);
        }
    }
    // H(y+, y) and H(y) depend on the target only.
    std::vector<double> h1(n), h3(n);
    std::vector<u64> keys(N);
    for (std::size_t j = 0; j < n; ++j) {
        const Codes& b = codes[j];
        for (std::size_t t = 0; t < N; ++t) keys[t] = b.id[t + lg + 1] * b.k + b.id[t + lg];
        h1[j] = keys_entropy(keys, b.k * b.k, nd);
        h3[j] = keys_entropy(std::span<const u64>(b.id).subspan(lg, N), b.k, nd);
    }
    std::vector<u64> keys4(N);
    std::vector<std::uint32_t> c2, c4;
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        const Codes& src = codes[i];
        const u64 kx = src.k;
        for (std::size_t j = 0; j < n; ++j) {
            if (i == j) continue;
            poll(4 * static_cast<u64>(N) + dense_limit(N));
            const Codes& tg = codes[j];
            const u64 ky = tg.k;
            const u64* yv = tg.id.data() + lg;
            const u64* xv = src.id.data();
            CountEntropy e2{nd}, e4{nd};
            const u64 cells4 = ky * kx;  // at most T^2: no wrap
            u64 cells2 = 0;
            if (!mul_overflows(ky, cells4, cells2) && cells2 <= dense_limit(N) && N < 0xffffffffu) {
                c2.assign(static_cast<std::size_t>(cells2), 0);
                c4.assign(static_cast<std::size_t>(cells4), 0);
                for (std::size_t t = 0; t < N; ++t) ++c2[yv[t + 1] * cells4 + (yv[t] * kx + xv[t])];
                // (y, x) counts: the (y+, y, x) cells summed over y+
                const std::size_t k4 = static_cast<std::size_t>(cells4);
                for (std::size_t yp = 0; yp < static_cast<std::size_t>(ky); ++yp)
                    for (std::size_t c = 0; c < k4; ++c) c4[c] += c2[yp * k4 + c];
                for (std::uint32_t c : c2)
                    if (c != 0) e2.add(c);
                for (std::uint32_t c : c4)
                    if (c != 0) e4.add(c);
            } else {
                // (y+, y, x) keyed as (code of (y+, y), x): order kept, no overflow
                for (std::size_t t = 0; t < N; ++t) keys[t] = yv[t + 1] * ky + yv[t];
                const Codes ny = compress(std::vector<u64>(keys), ky * ky);
                for (std::size_t t = 0; t < N; ++t) {
                    keys[t] = ny.id[t] * kx + xv[t];
                    keys4[t] = yv[t] * kx + xv[t];
                }
                for_each_count(keys, ny.k * kx, [&](u64, u64 c) { e2.add(c); });
                for_each_count(keys4, cells4, [&](u64, u64 c) { e4.add(c); });
            }
            const double v = (h1[j] - h3[j]) - (e2.h - e4.h);
            te.row(i)[j] = v > 0.0 ? v : 0.0;
        }
    }
    return te;
}

// ------------------------------------------------------------------ Granger

// Least-squares coefficients from the normal equations A beta = b (A k x k
// row-major, both overwritten): Gaussian elimination with partial pivoting
// (ties keep the upper row), then back substitution; a pivot below 1e-15
// leaves its column alone and gives coefficient 0. The residual sum of
// squares is then taken over the design rows (see `ssr` in granger_matrix).
std::vector<double> solve_normal(std::vector<double>& A, std::vector<double>& b, std::size_t k) {
    for (std::size_t c = 0; c < k; ++c) {
        std::size_t piv = c;
        double best = std::fabs(A[c * k + c]);
        for (std::size_t r = c + 1; r < k; ++r) {
            const double v = std::fabs(A[r * k + c]);
            if (v > best) {
                best = v;
                piv = r;
            }
        }
        if (best < 1e-15) continue;
        if (piv != c) {
            for (std::size_t m = 0; m < k; ++m) std::swap(A[c * k + m], A[piv * k + m]);
            std::swap(b[c], b[piv]);
        }
        for (std::size_t r = c + 1; r < k; ++r) {
            const double f = A[r * k + c] / A[c * k + c];
            for (std::size_t m = c; m < k; ++m) A[r * k + m] -= f * A[c * k + m];
            b[r] -= f * b[c];
        }
    }
    std::vector<double> beta(k, 0.0);
    for (std::size_t a = k; a-- > 0;) {
        if (std::fabs(A[a * k + a]) < 1e-15) {
            beta[a] = 0.0;
            continue;
        }
        double v = b[a];
        for (std::size_t c = a + 1; c < k; ++c) v -= A[a * k + c] * beta[c];
        beta[a] = v / A[a * k + a];
    }
    return beta;
}

// Upper-tail p-value of F(d1, d2) by the Wilson-Hilferty transform and the
// Abramowitz-Stegun 7.1.26 complementary error function.
double f_pvalue(double f, double d1, double d2) {
    const double a = std::pow(f, 0.3333333333333333);
    const double b = std::pow(f, 0.6666666666666666);
    const double u = 2.0 / (9.0 * d1), v = 9.0 * d2;
    const double z = ((1.0 - 2.0 / v) * a - (1.0 - u)) / std::sqrt(u + (b + b) / v);
    const double x = z / 1.4142135623730951;
    const double s = 1.0 / (1.0 + 0.3275911 * std::fabs(x));
    const double q =
        std::exp(-(x * x)) *
        (s * (0.254829592 + s * (-0.284496736 + s * (1.421413741 + s * (-1.453152027 + s * 1.061405429)))));
    const double r = x >= 0 ? q : 2.0 - q;
    return 0.5 * r;
}

// In-order dot products of several pairs of columns at once: out[p] =
// sum over r of a_p[r] * b_p[r], each sum in increasing r from 0.0.
void dots(const std::vector<const double*>& a, const std::vector<const double*>& b, std::size_t R,
          double* out, InterruptPoll& poll) {
    const std::size_t P = a.size();
    std::size_t p = 0;
    for (; p + 4 <= P; p += 4) {
        poll(4 * static_cast<u64>(R));
        const double *a0 = a[p], *a1 = a[p + 1], *a2 = a[p + 2], *a3 = a[p + 3];
        const double *b0 = b[p], *b1 = b[p + 1], *b2 = b[p + 2], *b3 = b[p + 3];
        double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
        for (std::size_t r = 0; r < R; ++r) {
            s0 += a0[r] * b0[r];
            s1 += a1[r] * b1[r];
            s2 += a2[r] * b2[r];
            s3 += a3[r] * b3[r];
        }
        out[p] = s0;
        out[p + 1] = s1;
        out[p + 2] = s2;
        out[p + 3] = s3;
    }
    for (; p < P; ++p) {
        double s = 0.0;
        for (std::size_t r = 0; r < R; ++r) s += a[p][r] * b[p][r];
        out[p] = s;
    }
}

// out[p * Q + q] = sum over r of a[p][r] * b[q][r], every sum in increasing
// r from 0.0; blocks of 2 x 4 sums share their loads.
void outer_dots(const std::vector<const double*>& a, const std::vector<const double*>& b,
                std::size_t R, double* out, InterruptPoll& poll) {
    const std::size_t P = a.size(), Q = b.size();
    std::size_t p = 0;
    for (; p + 2 <= P; p += 2) {
        const double *a0 = a[p], *a1 = a[p + 1];
        poll(2 * static_cast<u64>(Q) * R);
        std::size_t q = 0;
        for (; q + 4 <= Q; q += 4) {
            const double *b0 = b[q], *b1 = b[q + 1], *b2 = b[q + 2], *b3 = b[q + 3];
            double s00 = 0.0, s01 = 0.0, s02 = 0.0, s03 = 0.0;
            double s10 = 0.0, s11 = 0.0, s12 = 0.0, s13 = 0.0;
            for (std::size_t r = 0; r < R; ++r) {
                const double x0 = a0[r], x1 = a1[r];
                const double y0 = b0[r], y1 = b1[r], y2 = b2[r], y3 = b3[r];
                s00 += x0 * y0;
                s01 += x0 * y1;
                s02 += x0 * y2;
                s03 += x0 * y3;
                s10 += x1 * y0;
                s11 += x1 * y1;
                s12 += x1 * y2;
                s13 += x1 * y3;
            }
            double* o0 = out + p * Q + q;
            double* o1 = o0 + Q;
            o0[0] = s00, o0[1] = s01, o0[2] = s02, o0[3] = s03;
            o1[0] = s10, o1[1] = s11, o1[2] = s12, o1[3] = s13;
        }
        for (; q < Q; ++q) {
            double s0 = 0.0, s1 = 0.0;
            for (std::size_t r = 0; r < R; ++r) {
                s0 += a0[r] * b[q][r];
                s1 += a1[r] * b[q][r];
            }
            out[p * Q + q] = s0;
            out[(p + 1) * Q + q] = s1;
        }
    }
    for (; p < P; ++p) {
        const std::vector<const double*> as(Q, a[p]);
        dots(as, b, R, out + p * Q, poll);
    }
}

// Work units of one fit with k coefficients over R rows (elimination and
// residuals), capped so that the count cannot wrap.
u64 fit_work(std::size_t k, std::size_t R) {
    const u64 kk = std::min<u64>(k, u64{1} << 20);
    return kk * kk * kk + kk * std::min<u64>(R, u64{1} << 40);
}

std::tuple<OwnedArray2, OwnedArray2> granger_matrix_py(MatrixView signals, Opt<u64, 5> max_lag_opt) {
    const u64 M = max_lag_opt;
    const std::size_t T = signals.rows, n = signals.cols;
    OwnedArray2 F = zero_matrix(n), P = zero_matrix(n, 1.0);
    auto done = [&]() { return std::make_tuple(std::move(F), std::move(P)); };
    if (n == 0 || M > T || static_cast<u64>(T) - M < 10) return done();
    const std::size_t m = static_cast<std::size_t>(M);
    const std::size_t R = T - m;
    if (M == 0 || R < 2 * m + 2) return done();
    const std::vector<std::vector<double>> cols = columns(signals);
    const std::vector<double> ones(R, 1.0);
    // Underlying regressors of column c: 0 = constant, l = 1..M the lag-l
    // samples, each a contiguous run of R values.
    auto reg = [&](std::size_t c, std::size_t l) -> const double* {
        return l == 0 ? ones.data() : cols[c].data() + (m - l);
    };
    auto resp = [&](std::size_t c) { return cols[c].data() + m; };
    const std::size_t W = m + 1;
    // Per column j: Gram of [1, lags of j] and products with its own response;
    // per column i: Gram of its lags; restricted SSR per (j, L).
    std::vector<std::vector<double>> gjj(n), bjj(n), gii(n), ssr_r(n);
    InterruptPoll poll;
    for (std::size_t c = 0; c < n; ++c) {
        std::vector<const double*> a, b;
        a.reserve(W * (W + 1) / 2 + W);
        b.reserve(W * (W + 1) / 2 + W);
        for (std::size_t u = 0; u < W; ++u)
            for (std::size_t v = u; v < W; ++v) a.push_back(reg(c, u)), b.push_back(reg(c, v));
        for (std::size_t u = 0; u < W; ++u) a.push_back(reg(c, u)), b.push_back(resp(c));
        std::vector<double> out(a.size());
        dots(a, b, R, out.data(), poll);
        gjj[c].assign(W * W, 0.0);
        std::size_t p = 0;
        for (std::size_t u = 0; u < W; ++u)
            for (std::size_t v = u; v < W; ++v, ++p) gjj[c][u * W + v] = gjj[c][v * W + u] = out[p];
        bjj[c].assign(out.begin() + static_cast<std::ptrdiff_t>(p), out.end());
        // the lag block of column c is the Gram of its lags as a cause
        gii[c].assign(m * m, 0.0);
        for (std::size_t u = 1; u < W; ++u)
            for (std::size_t v = 1; v < W; ++v) gii[c][(u - 1) * m + (v - 1)] = gjj[c][u * W + v];
    }
    auto ssr = [&](std::size_t j, std::size_t i, bool with_cause, std::size_t L,
                   const std::vector<double>& beta) {
        const double* y = resp(j);
        const double* xj = cols[j].data();
        const double* xi = with_cause ? cols[i].data() : nullptr;
        // Each row's prediction is its own sum in column order; four rows
        // are formed side by side, their squared residuals added in row order.
        auto pred = [&](std::size_t r) {
            double v = 0.0;
            v += beta[0];
            for (std::size_t l = 1; l <= L; ++l) v += xj[m + r - l] * beta[l];
            if (with_cause)
                for (std::size_t l = 1; l <= L; ++l) v += xi[m + r - l] * beta[L + l];
            return v;
        };
        double s = 0.0;
        std::size_t r = 0;
        for (; r + 4 <= R; r += 4) {
            double p0 = 0.0, p1 = 0.0, p2 = 0.0, p3 = 0.0;
            p0 += beta[0];
            p1 += beta[0];
            p2 += beta[0];
            p3 += beta[0];
            for (std::size_t l = 1; l <= L; ++l) {
                const double* a = xj + (m + r - l);
                const double bl = beta[l];
                p0 += a[0] * bl;
                p1 += a[1] * bl;
                p2 += a[2] * bl;
                p3 += a[3] * bl;
            }
            if (with_cause) {
                for (std::size_t l = 1; l <= L; ++l) {
                    const double* c = xi + (m + r - l);
                    const double bl = beta[L + l];
                    p0 += c[0] * bl;
                    p1 += c[1] * bl;
                    p2 += c[2] * bl;
                    p3 += c[3] * bl;
                }
            }
            const double e0 = y[r] - p0, e1 = y[r + 1] - p1, e2 = y[r + 2] - p2, e3 = y[r + 3] - p3;
            s += e0 * e0;
            s += e1 * e1;
            s += e2 * e2;
            s += e3 * e3;
        }
        for (; r < R; ++r) {
            const double e = y[r] - pred(r);
            s += e * e;
        }
        return s;
    };
    for (std::size_t j = 0; j < n; ++j) {
        ssr_r[j].assign(m + 1, 0.0);
        for (std::size_t L = 1; L <= m; ++L) {
            if (R < 2 * L + 3) break;  // so for every longer lag order
            const std::size_t k = L + 1;
            poll(fit_work(k, R));
            std::vector<double> A(k * k), b(k);
            for (std::size_t u = 0; u < k; ++u) {
                for (std::size_t v = 0; v < k; ++v) A[u * k + v] = gjj[j][u * W + v];
                b[u] = bjj[j][u];
            }
            ssr_r[j][L] = ssr(j, 0, false, L, solve_normal(A, b, k));
        }
    }
    std::vector<double> cross((m + 1) * m + m);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            if (i == j) continue;
            // cross[u * m + (l-1)] = sum of reg(j, u) * lag l of i; then the
            // products of i's lags with j's response
            std::vector<const double*> a, b, a2, b2;
            a.reserve(W), b.reserve(m), a2.reserve(m), b2.reserve(m);
            for (std::size_t u = 0; u < W; ++u) a.push_back(reg(j, u));
            for (std::size_t l = 1; l <= m; ++l) b.push_back(reg(i, l));
            outer_dots(a, b, R, cross.data(), poll);
            for (std::size_t l = 1; l <= m; ++l) a2.push_back(reg(i, l)), b2.push_back(resp(j));
            dots(a2, b2, R, cross.data() + W * m, poll);
            const double* bi = cross.data() + W * m;
            double bestF = 0.0, bestP = 1.0;
            for (std::size_t L = 1; L <= m; ++L) {
                if (R < 2 * L + 3) break;  // so for every longer lag order
                const std::size_t k = 2 * L + 1;
                poll(fit_work(k, R));
                std::vector<double> A(k * k), b(k);
                for (std::size_t u = 0; u < k; ++u) {
                    for (std::size_t v = 0; v < k; ++v) {
                        double g;
                        if (u <= L && v <= L) g = gjj[j][u * W + v];
                        else if (u <= L) g = cross[u * m + (v - L - 1)];
                        else if (v <= L) g = cross[v * m + (u - L - 1)];
                        else g = gii[i][(u - L - 1) * m + (v - L - 1)];
                        A[u * k + v] = g;
                    }
                    b[u] = u <= L ? bjj[j][u] : bi[u - L - 1];
                }
                const double su = ssr(j, i, true, L, solve_normal(A, b, k));
                const double sr = ssr_r[j][L];
                if (su <= 0 || sr < su) continue;
                const double df2 = static_cast<double>(R - k);
                const double f = ((sr - su) / static_cast<double>(L)) / (su / df2);
                if (f > 0 || std::isnan(f)) {
                    const double p = f_pvalue(f, static_cast<double>(L), df2);
                    if (p < bestP) {
                        bestF = f;
                        bestP = p;
                    }
                }
            }
            F.row(i)[j] = bestF;
            P.row(i)[j] = bestP;
        }
    }
    return done();
}

const PyMethodDef defs[] = {
    NUVRA_DEF(mutual_information_matrix_py, "mutual_information_matrix",
              "mutual_information_matrix(signals, n_bins=10)\n--\n\n"
              "Compute mutual information matrix for all signal pairs.\n\n"
              "signals: (n_samples, n_signals) — column-major signals\n"
              "Returns: (n_signals, n_signals) MI matrix",
              "signals", "n_bins"),
    NUVRA_DEF(transfer_entropy_matrix_py, "transfer_entropy_matrix",
              "transfer_entropy_matrix(signals, lag=1, n_bins=8)\n--\n\n"
              "Compute transfer entropy matrix for all directed signal pairs.\n\n"
              "signals: (n_samples, n_signals)\n"
              "Returns: (n_signals, n_signals) TE matrix — te[i][j] = TE from i to j",
              "signals", "lag", "n_bins"),
    NUVRA_DEF(granger_matrix_py, "granger_matrix",
              "granger_matrix(signals, max_lag=5)\n--\n\n"
              "Compute Granger causality F-statistic matrix.\n\n"
              "signals: (n_samples, n_signals)\n"
              "Returns: (n_signals, n_signals) F-statistic matrix",
              "signals", "max_lag"),
};

}  // namespace

namespace family {
FunctionTable matrix() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
