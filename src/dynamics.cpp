// Nonlinear dynamics: least-squares Jacobians and finite-time Lyapunov
// exponents, Lyapunov spectra by the QR (Benettin) method, nearest-neighbour
// divergence (Rosenstein), recurrence matrices and their quantification,
// correlation and Kaplan-Yorke dimensions, and attractor reconstruction.
//
// Trajectories are used raw (one point per row). Where a non-finite sample
// would only feed garbage through LAPACK's failure paths (Jacobians, FTLE,
// spectra), the affected result is NaN instead. Neighbour and distance work
// runs over coordinate columns in blocks, so that the per-pair sums keep
// their coordinate order while many pairs are computed side by side.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <tuple>
#include <vector>

#include <emmintrin.h>

#include "module_frame/buffers.hpp"
#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/lapack.hpp"
#include "module_frame/samples.hpp"
#include "module_frame/simd.hpp"

// Order-free inner loops (elementwise squares and sums per lane, counts)
// are compiled for AVX2 as well as the baseline, chosen at load time
// (NUVRA_MULTIVERSION). No FMA is enabled, so every product and sum rounds
// as written.

namespace nuvra {
namespace {

constexpr std::size_t kBlock = 512;

inline int as_int(std::size_t v) { return static_cast<int>(v); }
inline bool fits_int(std::size_t v) { return v <= static_cast<std::size_t>(INT_MAX); }

// ------------------------------------------------------------------ kernels

// out[t] = sum over c = 0 .. d-1, in that order, of (cols[c][j0 + t] - q[c])^2
// for t < len. (a - b)^2 equals (b - a)^2 exactly, so this is the pair's
// squared distance whichever point comes first. Eight pairs at a time keep
// their running sums in registers across the coordinates.
NUVRA_MULTIVERSION
void block_d2(const double* const* cols, const double* q, std::size_t d, std::size_t j0,
              std::size_t len, double* __restrict out) {
    std::size_t t0 = 0;
    for (; t0 + 8 <= len; t0 += 8) {
        double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        for (std::size_t c = 0; c < d; ++c) {
            const double* __restrict col = cols[c] + j0 + t0;
            const double qc = q[c];
            for (int u = 0; u < 8; ++u) {
                const double diff = col[u] - qc;
                acc[u] += diff * diff;
            }
        }
        for (int u = 0; u < 8; ++u) out[t0 + u] = acc[u];
    }
    for (; t0 < len; ++t0) {
        double acc = 0.0;
        for (std::size_t c = 0; c < d; ++c) {
            const double diff = cols[c][j0 + t0] - q[c];
            acc += diff * diff;
        }
        out[t0] = acc;
    }
}

// Smallest squared distance of a block, by bit pattern: squared distances
// are zeros, positive numbers, +inf or NaN, and with the sign bit cleared
// their bit patterns, read as signed integers, sort as the values do, every
// NaN above +inf. With `positive_only`, zero becomes -1 and then, masked,
// the largest key, so it never wins. Returns the value (NaN or +inf when no
// candidate can win).
NUVRA_MULTIVERSION
double block_min_d2(const double* __restrict v, std::size_t len, bool positive_only) {
    constexpr std::int64_t kMask = INT64_MAX;
    const std::int64_t shift = positive_only ? 1 : 0;
    std::int64_t m[4] = {kMask, kMask, kMask, kMask};
    std::size_t t = 0;
    for (; t + 4 <= len; t += 4) {
        for (int u = 0; u < 4; ++u) {
            std::int64_t k;
            std::memcpy(&k, v + t + u, sizeof k);
            k = ((k & kMask) - shift) & kMask;
            m[u] = k < m[u] ? k : m[u];
        }
    }
    for (; t < len; ++t) {
        std::int64_t k;
        std::memcpy(&k, v + t, sizeof k);
        k = ((k & kMask) - shift) & kMask;
        m[0] = k < m[0] ? k : m[0];
    }
    std::int64_t best = std::min(std::min(m[0], m[1]), std::min(m[2], m[3]));
    if (best == kMask) return Inf;
    best += shift;
    double out;
    std::memcpy(&out, &best, sizeof out);
    return out;
}

// First index t >= from with lo < v[t] < hi (NaN never), or len.
std::size_t first_between(const double* v, std::size_t from, std::size_t len, double lo, double hi) {
    const __m128d l = _mm_set1_pd(lo), h = _mm_set1_pd(hi);
    std::size_t t = from;
    for (; t + 8 <= len; t += 8) {
        int mask = 0;
        for (int u = 0; u < 8; u += 2) {
            const __m128d x = _mm_loadu_pd(v + t + u);
            mask |= _mm_movemask_pd(_mm_and_pd(_mm_cmpgt_pd(x, l), _mm_cmplt_pd(x, h))) << u;
        }
        if (mask != 0) return t + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
    }
    for (; t < len; ++t)
        if (v[t] > lo && v[t] < hi) return t;
    return len;
}

// The square roots, minima and comparisons below use SSE2 (part of every
// x86-64): the compiler keeps scalar square roots for errno, and does not
// turn a NaN-aware minimum into vector code by itself.

void sqrt_in_place(double* v, std::size_t len) {
    std::size_t t = 0;
    for (; t + 2 <= len; t += 2) _mm_storeu_pd(v + t, _mm_sqrt_pd(_mm_loadu_pd(v + t)));
    for (; t < len; ++t) v[t] = std::sqrt(v[t]);
}

// v[t] = 1.0 when sqrt(v[t]) <= eps, else 0.0 (NaN gives 0.0).
void threshold_sqrt(double* v, std::size_t len, double eps) {
    const __m128d e = _mm_set1_pd(eps), one = _mm_set1_pd(1.0);
    std::size_t t = 0;
    for (; t + 2 <= len; t += 2)
        _mm_storeu_pd(v + t, _mm_and_pd(_mm_cmple_pd(_mm_sqrt_pd(_mm_loadu_pd(v + t)), e), one));
    for (; t < len; ++t) v[t] = std::sqrt(v[t]) <= eps ? 1.0 : 0.0;
}

// v[t] = 1.0 when v[t] <= eps, else 0.0 (NaN gives 0.0).
void threshold_in_place(double* v, std::size_t len, double eps) {
    const __m128d e = _mm_set1_pd(eps), one = _mm_set1_pd(1.0);
    std::size_t t = 0;
    for (; t + 2 <= len; t += 2)
        _mm_storeu_pd(v + t, _mm_and_pd(_mm_cmple_pd(_mm_loadu_pd(v + t), e), one));
    for (; t < len; ++t) v[t] = v[t] <= eps ? 1.0 : 0.0;
}

// Number of v[t] <= r.
NUVRA_MULTIVERSION
std::uint64_t count_at_most(const double* __restrict v, std::size_t len, double r) {
    std::uint64_t c = 0;
    for (std::size_t t = 0; t < len; ++t) c += v[t] <= r ? 1u : 0u;
    return c;
}

// True when every value is exactly 0.0, -0.0 or 1.0; `ones` counts the 1.0s.
NUVRA_MULTIVERSION
bool zero_one_count(const double* __restrict v, std::size_t len, std::uint64_t& ones) {
    std::uint64_t c = 0, bad = 0;
    for (std::size_t t = 0; t < len; ++t) {
        c += v[t] == 1.0 ? 1u : 0u;
        bad += (v[t] == 1.0 || v[t] == 0.0) ? 0u : 1u;
    }
    ones += c;
    return bad == 0;
}

// Coordinate columns of a row-major n x d matrix (one contiguous column each).
struct Columns {
    std::vector<double> data;
    std::vector<const double*> ptr;
    Columns(const std::vector<double>& x, std::size_t n, std::size_t d) : data(x.size()), ptr(d) {
        for (std::size_t c = 0; c < d; ++c) {
            double* col = data.data() + c * n;
            for (std::size_t i = 0; i < n; ++i) col[i] = x[i * d + c];
            ptr[c] = col;
        }
    }
};

bool rows_finite(std::span<const double> x) { return all_finite(x); }

// ------------------------------------------------------------------ Jacobian and FTLE

// Least-squares Jacobian over a step of dt rows of the row-major n x d
// trajectory x: Yc ~ Xc . J, each column of J the minimum-norm solution for
// one column of Yc (dgelsd, rcond -1). A failed solve leaves unit columns. Centred values that
// are not finite (an overflow of the centring) give a NaN matrix.
std::vector<double> estimate_jacobian(const double* x, std::size_t n, std::size_t d,
                                      std::uint64_t dt, InterruptPoll& poll) {
    std::vector<double> J(d * d, 0.0);
    if (static_cast<std::uint64_t>(n) <= dt) {
        for (std::size_t k = 0; k < d; ++k) J[k * d + k] = 1.0;
        return J;
    }
    if (d == 0) return J;
    const std::size_t step = static_cast<std::size_t>(dt);
    const std::size_t p = n - step;
    std::vector<double> mx(d, -0.0), my(d, -0.0);
    for (std::size_t i = 0; i < p; ++i) {
        const double* xr = x + i * d;
        const double* yr = x + (i + step) * d;
        for (std::size_t k = 0; k < d; ++k) {
            mx[k] += xr[k];
            my[k] += yr[k];
        }
    }
    poll(p * d);
    const double pd = static_cast<double>(p);
    for (std::size_t k = 0; k < d; ++k) {
        mx[k] /= pd;
        my[k] /= pd;
    }
    // Column-major centred blocks for LAPACK.
    std::vector<double> xc(p * d), yc(p * d);
    for (std::size_t i = 0; i < p; ++i) {
        const double* xr = x + i * d;
        const double* yr = x + (i + step) * d;
        for (std::size_t k = 0; k < d; ++k) {
            xc[i + k * p] = xr[k] - mx[k];
            yc[i + k * p] = yr[k] - my[k];
        }
    }
    poll(p * d);
    if (!all_finite(xc) || !all_finite(yc)) {
        std::fill(J.begin(), J.end(), NaN);
        return J;
    }
    auto unit_columns = [&](std::size_t from) {
        for (std::size_t j = from; j < d; ++j) J[j * d + j] = 1.0;
    };
    const std::size_t ldb_s = std::max(p, d);
    if (!fits_int(p) || !fits_int(d) || !fits_int(ldb_s)) {
        unit_columns(0);
        return J;
    }
    // All d targets in one call: the SVD of Xc (and so whether it converges)
    // does not depend on the right-hand sides, and each column of B is
    // solved on its own, so a failure is the failure of every column.
    const int m = as_int(p), nn = as_int(d), nrhs = as_int(d);
    const int lda = std::max(m, 1), ldb = std::max(as_int(ldb_s), 1);
    const double rcond = -1.0;
    int rank = 0, info = 0;
    std::vector<double> b;
    if (ldb_s == p) {
        b = std::move(yc);
    } else {  // fewer equations than unknowns: zero-padded columns
        b.assign(ldb_s * d, 0.0);
        for (std::size_t j = 0; j < d; ++j)
            std::copy(yc.begin() + static_cast<std::ptrdiff_t>(j * p),
                      yc.begin() + static_cast<std::ptrdiff_t>((j + 1) * p),
                      b.begin() + static_cast<std::ptrdiff_t>(j * ldb_s));
    }
    std::vector<double> s(std::min(p, d));
    double wq = 0.0;
    int iwq = 0, lwork = -1;
    dgelsd_(&m, &nn, &nrhs, xc.data(), &lda, b.data(), &ldb, s.data(), &rcond, &rank, &wq, &lwork,
            &iwq, &info);
    if (info != 0 || !(wq >= 1.0) || wq > static_cast<double>(INT_MAX)) {
        unit_columns(0);
        return J;
    }
    lwork = static_cast<int>(wq);
    std::vector<double> work(static_cast<std::size_t>(lwork));
    std::vector<int> iwork(static_cast<std::size_t>(std::max(iwq, 1)));
    dgelsd_(&m, &nn, &nrhs, xc.data(), &lda, b.data(), &ldb, s.data(), &rcond, &rank, work.data(),
            &lwork, iwork.data(), &info);
    // The solve cannot be interrupted inside LAPACK; its work (about p d^2
    // plus a fixed overhead) is counted once it returns.
    poll(p * d * d + 2048);
    if (info != 0) {
        unit_columns(0);
        return J;
    }
    for (std::size_t j = 0; j < d; ++j)
        for (std::size_t k = 0; k < d; ++k) J[k * d + j] = b[j * ldb_s + k];
    return J;
}

// FTLE of one trajectory: ln(sqrt(largest eigenvalue of J^T J)) / T.
double compute_ftle_single(const double* x, std::size_t n, std::size_t d, std::uint64_t dt,
                           double T, InterruptPoll& poll) {
    const std::vector<double> J = estimate_jacobian(x, n, d, dt, poll);
    if (d == 0 || !fits_int(d)) panic("the eigen-solver needs a matrix of order at least 1");
    std::vector<double> G(d * d);
    for (std::size_t a = 0; a < d; ++a) {
        for (std::size_t b = 0; b < d; ++b) {
            double acc = 0.0;
            for (std::size_t k = 0; k < d; ++k) acc += J[k * d + a] * J[k * d + b];
            G[a * d + b] = acc;
        }
        poll(d * d);
    }
    if (!all_finite(G)) return NaN;
    const int nn = as_int(d), lda = nn;
    std::vector<double> w(d);
    int info = 0, lwork = -1;
    double wq = 0.0;
    dsyev_("V", "U", &nn, G.data(), &lda, w.data(), &wq, &lwork, &info, 1, 1);
    if (info != 0 || !(wq >= 1.0) || wq > static_cast<double>(INT_MAX)) return NaN;
    lwork = static_cast<int>(wq);
    std::vector<double> work(static_cast<std::size_t>(lwork));
    dsyev_("V", "U", &nn, G.data(), &lda, w.data(), work.data(), &lwork, &info, 1, 1);
    poll(d * d * d + 1024);
    if (info != 0) return NaN;
    double lmax = -Inf;
    for (double v : w) lmax = fmax_num(lmax, v);
    if (lmax <= 0.0) return 0.0;
    return std::log(std::sqrt(lmax)) / T;
}

std::vector<double> reversed_rows(const double* x, std::size_t n, std::size_t d) {
    std::vector<double> r(n * d);
    for (std::size_t i = 0; i < n; ++i)
        std::copy(x + (n - 1 - i) * d, x + (n - i) * d, r.begin() + static_cast<std::ptrdiff_t>(i * d));
    return r;
}

std::tuple<double, double> ftle_py(MatrixView embedded, Opt<std::uint64_t, 1> dt,
                                   Opt<double, 1.0> integration_time) {
    const std::vector<double> x = embedded.to_row_major();
    const std::size_t n = embedded.rows, d = embedded.cols;
    if (static_cast<std::uint64_t>(n) <= dt.value) return {NaN, NaN};
    if (!rows_finite(x)) return {NaN, NaN};
    InterruptPoll poll;
    const double fwd = compute_ftle_single(x.data(), n, d, dt, integration_time, poll);
    const std::vector<double> rev = reversed_rows(x.data(), n, d);
    const double bwd = compute_ftle_single(rev.data(), n, d, dt, integration_time, poll);
    return {fwd, bwd};
}

Array2 estimate_jacobian_py(MatrixView embedded, std::uint64_t dt) {
    const std::vector<double> x = embedded.to_row_major();
    const std::size_t n = embedded.rows, d = embedded.cols;
    if (!rows_finite(x)) return {std::vector<double>(d * d, NaN), d, d};
    InterruptPoll poll;
    return {estimate_jacobian(x.data(), n, d, dt, poll), d, d};
}

// Prefix counts of rows holding a non-finite value: window [s, s + w) is
// clean when bad[s + w] == bad[s].
std::vector<std::size_t> bad_row_prefix(const std::vector<double>& x, std::size_t n, std::size_t d) {
    std::vector<std::size_t> bad(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        bad[i + 1] = bad[i] + (all_finite(std::span<const double>(x.data() + i * d, d)) ? 0 : 1);
    return bad;
}

std::tuple<Array1, Array1, Array1> rolling_ftle_py(MatrixView embedded, std::uint64_t window_size,
                                                   std::uint64_t stride, Opt<std::uint64_t, 1> dt,
                                                   Opt<bool, true> forward,
                                                   Opt<bool, true> backward) {
    const std::vector<double> x = embedded.to_row_major();
    const std::size_t n = embedded.rows, d = embedded.cols;
    const std::uint64_t step = std::max<std::uint64_t>(stride, 1);
    Array1 idx, fw, bw;
    if (window_size > n) return {std::move(idx), std::move(fw), std::move(bw)};
    const std::size_t w = static_cast<std::size_t>(window_size);
    const std::size_t count = (n - w) / static_cast<std::size_t>(std::min<std::uint64_t>(step, n + 1)) + 1;
    idx.data.reserve(count);
    fw.data.reserve(count);
    bw.data.reserve(count);
    const std::vector<std::size_t> bad = bad_row_prefix(x, n, d);
    std::vector<double> rev(w * d);
    InterruptPoll poll;
    for (std::size_t s = 0;;) {
        poll(w * d + 256);
        idx.data.push_back(static_cast<double>(s));
        const double* win = x.data() + s * d;
        const bool clean = bad[s + w] == bad[s];
        double f = NaN, b = NaN;
        if (forward) f = clean ? compute_ftle_single(win, w, d, dt, 1.0, poll) : NaN;
        if (backward) {
            if (clean) {
                for (std::size_t i = 0; i < w; ++i)
                    std::copy(win + (w - 1 - i) * d, win + (w - i) * d,
                              rev.begin() + static_cast<std::ptrdiff_t>(i * d));
                b = compute_ftle_single(rev.data(), w, d, dt, 1.0, poll);
            }
        }
        fw.data.push_back(f);
        bw.data.push_back(b);
        if (step > n - w - s) break;  // next start would pass the end
        s += static_cast<std::size_t>(step);
    }
    return {std::move(idx), std::move(fw), std::move(bw)};
}

// ------------------------------------------------------------------ Lyapunov spectra

enum class JacobianForm { Ratio, Identity };

// Finite-difference Jacobian of step t (rows t, t + 1, t + dt, t + dt + 1 of
// the row-major m x d matrix x) into J.
void local_jacobian(const double* x, std::size_t m, std::size_t d, std::size_t t, std::size_t dt,
                    JacobianForm form, std::vector<double>& J) {
    std::fill(J.begin(), J.end(), 0.0);
    for (std::size_t k = 0; k < d; ++k) J[k * d + k] = 1.0;
    const double* xt = x + t * d;
    const double* xs = x + (t + dt) * d;
    if (form == JacobianForm::Ratio) {
        for (std::size_t k = 0; k < d; ++k) {
            const double a = xt[k];
            const double eps = std::fabs(a) < 1e-10 ? 1e-10 : 0.0;
            J[k * d + k] = xs[k] / (a + eps);
        }
    }
    if (t + dt + 1 < m) {
        const double* xt1 = x + (t + 1) * d;
        const double* xs1 = x + (t + dt + 1) * d;
        for (std::size_t k = 0; k < d; ++k) {
            const double delta = xt1[k] - xt[k];
            if (std::fabs(delta) > 1e-15)
                for (std::size_t i = 0; i < d; ++i) J[i * d + k] = (xs1[i] - xs[i]) / delta;
        }
    }
}

// Runs the QR method over the steps t = 0 .. m - dt - 1 of the row-major
// m x d matrix x. Returns false when a step's product J . Q is not finite
// (an overflow: the run's orthonormal frame would turn to NaN and the rest
// of the spectrum would be silently lost).
bool qr_spectrum_run(const double* x, std::size_t m, std::size_t d, std::uint64_t dt,
                     JacobianForm form, std::vector<double>& sums, std::uint64_t& count,
                     InterruptPoll& poll) {
    sums.assign(d, 0.0);
    count = 0;
    if (dt >= m || d == 0) return true;
    if (!fits_int(d)) panic("capacity overflow");
    const std::size_t steps = m - static_cast<std::size_t>(dt);
    const int nn = as_int(d), lda = nn;
    std::vector<double> Q(d * d, 0.0), J(d * d), M(d * d), tau(d), rdiag(d);
    for (std::size_t k = 0; k < d; ++k) Q[k * d + k] = 1.0;
    int info = 0, lwork = -1;
    double q1 = 0.0, q2 = 0.0;
    dgelqf_(&nn, &nn, M.data(), &lda, tau.data(), &q1, &lwork, &info);
    const bool ok1 = info == 0;
    dorglq_(&nn, &nn, &nn, M.data(), &lda, tau.data(), &q2, &lwork, &info);
    const bool ok2 = info == 0;
    const double wq = std::max(q1, q2);
    if (!ok1 || !ok2 || !(wq >= 1.0) || wq > static_cast<double>(INT_MAX)) return true;
    lwork = static_cast<int>(wq);
    std::vector<double> work(static_cast<std::size_t>(lwork));
    // One step: the Jacobian and the product (d^3), and two LAPACK calls
    // whose fixed cost dominates for small d.
    const std::size_t step_work = d * d * d + 256 * (d + 1);
    for (std::size_t t = 0; t < steps; ++t) {
        poll(step_work);
        local_jacobian(x, m, d, t, static_cast<std::size_t>(dt), form, J);
        // M = J . Q, each entry summed over k in order.
        for (std::size_t i = 0; i < d; ++i) {
            double* mr = M.data() + i * d;
            for (std::size_t j = 0; j < d; ++j) mr[j] = 0.0;
            for (std::size_t k = 0; k < d; ++k) {
                const double jik = J[i * d + k];
                const double* qr = Q.data() + k * d;
                for (std::size_t j = 0; j < d; ++j) mr[j] += jik * qr[j];
            }
        }
        if (!all_finite(M)) return false;
        // The row-major M is M^T in column-major order: its LQ factors are
        // the QR factors of M (R = L^T), and the formed orthonormal factor,
        // read back row-major, is Q'.
        dgelqf_(&nn, &nn, M.data(), &lda, tau.data(), work.data(), &lwork, &info);
        if (info != 0) continue;
        double* r = rdiag.data();
        for (std::size_t i = 0; i < d; ++i) r[i] = M[i * d + i];
        dorglq_(&nn, &nn, &nn, M.data(), &lda, tau.data(), work.data(), &lwork, &info);
        if (info != 0) continue;
        Q.swap(M);
        for (std::size_t i = 0; i < d; ++i)
            if (r[i] < 0.0 || r[i] > 0.0) sums[i] += std::log(std::fabs(r[i]));
        ++count;
    }
    return true;
}

// Descending order with every NaN last.
void sort_descending(std::vector<double>& v) {
    std::stable_sort(v.begin(), v.end(), [](double a, double b) { return nan_last_less(-a, -b); });
}

Array1 lyapunov_spectrum_py(MatrixView embedded, Opt<std::uint64_t, 1> dt,
                            Opt<double, 1.0> integration_time) {
    const std::vector<double> x = embedded.to_row_major();
    const std::size_t n = embedded.rows, d = embedded.cols;
    if (static_cast<std::uint64_t>(n) <= dt.value || !rows_finite(x)) return {nan_vec(d)};
    std::vector<double> sums;
    std::uint64_t count = 0;
    InterruptPoll poll;
    if (!qr_spectrum_run(x.data(), n, d, dt, JacobianForm::Ratio, sums, count, poll))
        return {nan_vec(d)};
    const double divisor = count > 0 ? integration_time.value * static_cast<double>(count) : 1.0;
    for (double& s : sums) s /= divisor;
    sort_descending(sums);
    return {std::move(sums)};
}

std::tuple<Array1, std::vector<Array1>> rolling_lyapunov_spectrum_py(MatrixView embedded,
                                                                     std::uint64_t window_size,
                                                                     std::uint64_t stride,
                                                                     Opt<std::uint64_t, 1> dt) {
    const std::vector<double> x = embedded.to_row_major();
    const std::size_t n = embedded.rows, d = embedded.cols;
    const std::uint64_t step = std::max<std::uint64_t>(stride, 1);
    Array1 idx;
    std::vector<Array1> spectra;
    if (window_size > n) return {std::move(idx), std::move(spectra)};
    const std::size_t w = static_cast<std::size_t>(window_size);
    const std::size_t count_windows =
        (n - w) / static_cast<std::size_t>(std::min<std::uint64_t>(step, n + 1)) + 1;
    idx.data.reserve(count_windows);
    spectra.reserve(count_windows);
    const std::vector<std::size_t> bad = bad_row_prefix(x, n, d);
    std::vector<double> sums;
    InterruptPoll poll;
    for (std::size_t s = 0;;) {
        poll(w * d + 256);
        idx.data.push_back(static_cast<double>(s));
        std::uint64_t count = 0;
        if (bad[s + w] != bad[s] ||
            !qr_spectrum_run(x.data() + s * d, w, d, dt, JacobianForm::Identity, sums, count, poll)) {
            spectra.push_back({nan_vec(d)});
        } else {
            const double divisor = count > 0 ? static_cast<double>(count) : 1.0;
            for (double& v : sums) v /= divisor;
            sort_descending(sums);
            spectra.push_back({sums});
        }
        if (step > n - w - s) break;
        s += static_cast<std::size_t>(step);
    }
    return {std::move(idx), std::move(spectra)};
}

double kaplan_yorke_dimension_py(SignalView spectrum) {
    std::vector<double> v = collect_finite(spectrum);
    if (v.empty()) return NaN;
    std::stable_sort(v.begin(), v.end(), [](double a, double b) { return b < a; });
    double s = 0.0;
    std::size_t k = v.size();
    for (std::size_t j = 0; j < v.size(); ++j) {
        s += v[j];
        if (s < 0.0) {
            k = j;
            break;
        }
    }
    if (k == v.size()) return static_cast<double>(v.size());
    if (k == 0) return 0.0;
    double p = 0.0;
    for (std::size_t j = 0; j < k; ++j) p += v[j];
    const double a = std::fabs(v[k]);
    if (a < 1e-10) return static_cast<double>(k);
    return static_cast<double>(k) + p / a;
}

// ------------------------------------------------------------------ nearest-neighbour divergence

// Scans candidates j in [j0, j1) for point i (coordinates q) and updates
// (best, nn) with the rule "sqrt(d2) < best, earliest j on ties", where a
// candidate also needs d2 > 0 when `positive_only`. A block whose smallest
// admissible d2 cannot beat `best` is skipped without its exact scan
// (sqrt is monotone), so the winner is the one of the plain in-order scan.
void scan_neighbours(const double* const* cols, const double* q, std::size_t d, std::size_t j0,
                     std::size_t j1, bool positive_only, double* buf, double& best,
                     double& best_d2, std::size_t& nn) {
    for (std::size_t b0 = j0; b0 < j1; b0 += kBlock) {
        const std::size_t len = std::min(kBlock, j1 - b0);
        block_d2(cols, q, d, b0, len, buf);
        if (!(std::sqrt(block_min_d2(buf, len, positive_only)) < best)) continue;
        // Only d2 < best_d2 can give sqrt(d2) < best (sqrt is monotone).
        const double lo = positive_only ? 0.0 : -1.0;
        for (std::size_t t = first_between(buf, 0, len, lo, best_d2); t < len;
             t = first_between(buf, t + 1, len, lo, best_d2)) {
            const double dist = std::sqrt(buf[t]);
            if (dist < best) {
                best = dist;
                best_d2 = buf[t];
                nn = b0 + t;
            }
        }
    }
}

// Nearest neighbour of every point among those at least `sep` indices away
// (none: SIZE_MAX).
std::vector<std::size_t> nearest_neighbours(const double* const* cols, std::size_t n, std::size_t d,
                                            std::uint64_t sep, bool positive_only,
                                            InterruptPoll& poll) {
    constexpr std::size_t kNone = SIZE_MAX;
    std::vector<std::size_t> nn(n, kNone);
    std::vector<double> buf(kBlock), q(d);
    for (std::size_t i = 0; i < n; ++i) {
        poll(n * (d + 1));
        for (std::size_t c = 0; c < d; ++c) q[c] = cols[c][i];
        double best = Inf, best_d2 = Inf;
        std::size_t found = kNone;
        // j <= i - sep and j >= i + sep
        if (sep == 0) {
            scan_neighbours(cols, q.data(), d, 0, n, positive_only, buf.data(), best, best_d2, found);
        } else {
            if (sep <= i)
                scan_neighbours(cols, q.data(), d, 0, i - static_cast<std::size_t>(sep) + 1,
                                positive_only, buf.data(), best, best_d2, found);
            if (sep < n - i)
                scan_neighbours(cols, q.data(), d, i + static_cast<std::size_t>(sep), n,
                                positive_only, buf.data(), best, best_d2, found);
        }
        nn[i] = found;
    }
    return nn;
}

Array1 maximal_lyapunov_py(MatrixView embedded, Opt<std::uint64_t, 100> max_iter,
                           Opt<std::uint64_t, 10> min_separation) {
    const std::size_t n = embedded.rows, d = embedded.cols;
    const std::size_t L =
        n == 0 ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(max_iter, n - 1));
    std::vector<double> sums(L, 0.0);
    std::vector<std::uint64_t> counts(L, 0);
    if (L > 0 && d > 0) {
        const std::vector<double> x = embedded.to_row_major();
        const Columns cols(x, n, d);
        InterruptPoll poll;
        const std::vector<std::size_t> nn =
            nearest_neighbours(cols.ptr.data(), n, d, min_separation, false, poll);
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t j = nn[i];
            if (j == SIZE_MAX) continue;
            poll(L * d);
            for (std::size_t k = 0; k < L; ++k) {
                if (i + k >= n || j + k >= n) break;
                const double* a = x.data() + (i + k) * d;
                const double* b = x.data() + (j + k) * d;
                double d2 = 0.0;
                for (std::size_t c = 0; c < d; ++c) {
                    const double diff = a[c] - b[c];
                    d2 += diff * diff;
                }
                if (d2 > 0.0) {
                    sums[k] += std::log(std::sqrt(d2));
                    counts[k] += 1;
                }
            }
        }
    }
    for (std::size_t k = 0; k < L; ++k)
        sums[k] = counts[k] > 0 ? sums[k] / static_cast<double>(counts[k]) : NaN;
    return {std::move(sums)};
}

// Fills n doubles with v; a result sized by a parameter can be large, so the
// fill checks for Ctrl-C as it goes.
void fill_polled(double* p, std::size_t n, double v, InterruptPoll& poll) {
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    for (std::size_t i = 0; i < n; i += kChunk) {
        const std::size_t len = std::min(kChunk, n - i);
        std::fill_n(p + i, len, v);
        poll(len);
    }
}

std::tuple<UninitArray1, UninitArray1> largest_lyapunov_core_py(SignalView signal,
                                                                std::uint64_t dim,
                                                                std::uint64_t tau,
                                                                std::uint64_t min_time_sep,
                                                                std::uint64_t max_iter) {
    const FiniteSamples fs(signal);
    const std::span<const double> s = fs.span();
    const std::uint64_t N = s.size();
    std::uint64_t span = 0, nv = 0, need = 0;
    bool short_input = dim == 0;
    if (!short_input) {
        if (mul_overflows(dim - 1, tau, span) || span > N) short_input = true;
        else nv = N - span;
    }
    if (!short_input && (add_overflows(min_time_sep, max_iter, need) || add_overflows(need, 10, need) ||
                         nv < need))
        short_input = true;
    // Both results have max_iter entries whatever the data (on short input
    // that is the parameter alone): allocated before any work, so a size
    // beyond memory is a MemoryError at once.
    const std::size_t mi = static_cast<std::size_t>(max_iter);
    UninitArray1 div(mi), cnt(mi);
    InterruptPoll poll;
    if (short_input) {
        fill_polled(div.data(), mi, NaN, poll);
        fill_polled(cnt.data(), mi, 0.0, poll);
        return {std::move(div), std::move(cnt)};
    }

    const std::size_t nvs = static_cast<std::size_t>(nv), dims = static_cast<std::size_t>(dim);
    // Coordinate c of delay vector j is s[j + c * tau]: the columns are
    // shifted views of the series itself.
    std::vector<const double*> cols(dims);
    for (std::size_t c = 0; c < dims; ++c) cols[c] = s.data() + c * static_cast<std::size_t>(tau);
    const std::vector<std::size_t> nn =
        nearest_neighbours(cols.data(), nvs, dims, min_time_sep, true, poll);

    const std::size_t M = nvs - mi;
    double* dv = div.data();
    double* cn = cnt.data();
    std::fill_n(dv, mi, 0.0);
    std::fill_n(cn, mi, 0.0);
    for (std::size_t i = 0; i < M; ++i) {
        const std::size_t j = nn[i];
        if (j == SIZE_MAX || j >= M) continue;
        poll(mi * dims);
        for (std::size_t k = 0; k < mi; ++k) {
            double d2 = 0.0;
            for (std::size_t c = 0; c < dims; ++c) {
                const double diff = cols[c][i + k] - cols[c][j + k];
                d2 += diff * diff;
            }
            if (d2 > 0.0) {
                dv[k] += std::log(std::sqrt(d2));
                cn[k] += 1.0;
            }
        }
    }
    for (std::size_t k = 0; k < mi; ++k) dv[k] = cn[k] > 0.0 ? dv[k] / cn[k] : NaN;
    return {std::move(div), std::move(cnt)};
}

// ------------------------------------------------------------------ correlation dimension

double correlation_dimension_py(MatrixView trajectory, Opt<std::uint64_t, 500> n_reference) {
    const std::size_t n = trajectory.rows, d = trajectory.cols;
    if (n < 20) return NaN;
    std::size_t m = n;
    if (n_reference.value < n) {
        m = static_cast<std::size_t>(n_reference.value);
        if (m == 0) return NaN;
    }
    if (d == 0) return NaN;
    const std::vector<double> x = trajectory.to_row_major();
    const Columns cols(x, n, d);
    std::uint64_t cap;
    if (mul_overflows(m, n - 1, cap)) panic_capacity_overflow();
    check_capacity(cap);
    std::vector<double> dist;
    dist.reserve(static_cast<std::size_t>(cap));
    std::vector<double> buf(kBlock);
    InterruptPoll poll;
    for (std::size_t i = 0; i < m; ++i) {
        poll(n * (d + 1));
        const std::size_t r =
            m == n ? i : static_cast<std::size_t>((static_cast<unsigned __int128>(i) * n) / m);
        const double* q = x.data() + r * d;
        for (std::size_t b0 = 0; b0 < n; b0 += kBlock) {
            const std::size_t len = std::min(kBlock, n - b0);
            block_d2(cols.ptr.data(), q, d, b0, len, buf.data());
            for (std::size_t t = 0; t < len; ++t) {
                const double d2 = buf[t];
                if (b0 + t != r && d2 > 0.0) dist.push_back(d2);
            }
        }
    }
    const std::size_t count = dist.size();
    if (count < 10) return NaN;
    sqrt_in_place(dist.data(), count);
    // Order statistics by selection: the two quantiles are the values the
    // sorted list would hold at those positions.
    const std::size_t i_max = count / 2, i_min = count / 100;
    std::nth_element(dist.begin(), dist.begin() + static_cast<std::ptrdiff_t>(i_max), dist.end());
    const double r_max = dist[i_max];
    std::nth_element(dist.begin(), dist.begin() + static_cast<std::ptrdiff_t>(i_min),
                     dist.begin() + static_cast<std::ptrdiff_t>(i_max));
    const double r_min = dist[i_min];
    if (!(r_min > 0.0 && r_max > r_min)) return NaN;
    const double a = std::log10(r_min), b = std::log10(r_max);
    double us[20], vs[20];
    std::size_t p = 0;
    const double cd = static_cast<double>(count);
    for (int k = 0; k < 20; ++k) {
        poll(count);
        const double rk = std::pow(10.0, a + ((b - a) * static_cast<double>(k)) / 19.0);
        const double corr = static_cast<double>(count_at_most(dist.data(), count, rk)) / cd;
        if (corr > 0.0) {
            us[p] = std::log(rk);
            vs[p] = std::log(corr);
            ++p;
        }
    }
    if (p < 5) return NaN;
    const std::size_t lo = p / 4, hi = 3 * p / 4;
    const std::size_t q = hi - lo;
    if (q < 3) return NaN;
    double su = -0.0, sv = -0.0, suv = -0.0, suu = -0.0;
    for (std::size_t k = lo; k < hi; ++k) {
        su += us[k];
        sv += vs[k];
        suv += us[k] * vs[k];
        suu += us[k] * us[k];
    }
    const double qd = static_cast<double>(q);
    const double den = qd * suu - su * su;
    if (std::fabs(den) < 1e-15) return NaN;
    return (qd * suv - su * sv) / den;
}

// ------------------------------------------------------------------ recurrence

// An n x n block of doubles as the result's buffer: checked like an array
// shape, then reserved (rows are appended as they are computed, so the
// buffer is written once).
std::vector<double> square_buffer(std::size_t n) {
    std::uint64_t cells;
    if (mul_overflows(n, n, cells) || cells > static_cast<std::uint64_t>(PTRDIFF_MAX))
        panic("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
    check_capacity(cells);
    std::vector<double> v;
    v.reserve(static_cast<std::size_t>(cells));
    return v;
}

Array2 recurrence_matrix_py(MatrixView trajectory, double threshold,
                            Opt<double, 10.0> threshold_percentile) {
    const std::size_t n = trajectory.rows, d = trajectory.cols;
    if (n < 2) return {{1.0}, 1, 1};
    std::vector<double> out = square_buffer(n);
    const std::vector<double> x = trajectory.to_row_major();
    const Columns cols(x, n, d);
    std::vector<double> row(n);
    InterruptPoll poll;
    const std::size_t row_work = n * (d + 1);
    if (!(threshold < 0.0)) {
        for (std::size_t i = 0; i < n; ++i) {
            poll(row_work);
            for (std::size_t b0 = 0; b0 < n; b0 += kBlock) {
                const std::size_t len = std::min(kBlock, n - b0);
                block_d2(cols.ptr.data(), x.data() + i * d, d, b0, len, row.data() + b0);
            }
            row[i] = 0.0;
            threshold_sqrt(row.data(), n, threshold);
            out.insert(out.end(), row.begin(), row.end());
        }
        return {std::move(out), n, n};
    }
    // Percentile of the upper-triangle distances, NaN ones left out. The
    // distances are non-negative, so their bit patterns sort as they do: a
    // histogram of the top 16 bits finds the bucket that holds the wanted
    // rank, and only that bucket's values are selected among.
    constexpr int kShift = 48;
    std::vector<std::uint64_t> hist(std::size_t{1} << (64 - kShift), 0);
    std::uint64_t c = 0;
    for (std::size_t i = 0; i < n; ++i) {
        poll(row_work);
        for (std::size_t b0 = 0; b0 < n; b0 += kBlock) {
            const std::size_t len = std::min(kBlock, n - b0);
            block_d2(cols.ptr.data(), x.data() + i * d, d, b0, len, row.data() + b0);
        }
        row[i] = 0.0;
        sqrt_in_place(row.data(), n);
        for (std::size_t j = i + 1; j < n; ++j) {
            std::uint64_t k;
            std::memcpy(&k, &row[j], sizeof k);
            if (!std::isnan(row[j])) {
                ++hist[k >> kShift];
                ++c;
            }
        }
        out.insert(out.end(), row.begin(), row.end());
    }
    double eps = NaN;
    if (c > 0) {
        const double p = (threshold_percentile.value / 100.0) * static_cast<double>(c);
        std::uint64_t idx = std::min<std::uint64_t>(to_u64_sat(p), c - 1);
        std::size_t bucket = 0;
        while (idx >= hist[bucket]) idx -= hist[bucket++];
        std::vector<double> members;
        members.reserve(hist[bucket]);
        for (std::size_t i = 0; i < n; ++i) {
            poll(n);
            const double* r = out.data() + i * n;
            for (std::size_t j = i + 1; j < n; ++j) {
                std::uint64_t k;
                std::memcpy(&k, &r[j], sizeof k);
                if ((k >> kShift) == bucket && !std::isnan(r[j])) members.push_back(r[j]);
            }
        }
        const auto nth = members.begin() + static_cast<std::ptrdiff_t>(idx);
        std::nth_element(members.begin(), nth, members.end());
        eps = *nth;
    }
    for (std::size_t i = 0; i < n; ++i) {
        poll(n);
        threshold_in_place(out.data() + i * n, n, eps);
    }
    return {std::move(out), n, n};
}

// The leading n x n block of a matrix argument, or the indexing panic.
void require_square_block(const MatrixView& r) {
    if (r.cols < r.rows) panic("ndarray: index out of bounds");
}

double recurrence_rate_py(MatrixView r) {
    const std::size_t n = r.rows;
    if (n < 2) return 1.0;
    require_square_block(r);
    const double cells = static_cast<double>(n) * static_cast<double>(n - 1);
    InterruptPoll poll;
    // Cells that are all exactly 0 or 1 sum exactly in any order: count them.
    if (r.s1 == 1) {
        std::uint64_t ones = 0;
        bool exact = true;
        for (std::size_t i = 0; i < n && exact; ++i) {
            poll(n);
            const double* row = r.data + static_cast<std::ptrdiff_t>(i) * r.s0;
            exact = zero_one_count(row, n, ones);
            if (row[i] == 1.0) --ones;
        }
        if (exact) return static_cast<double>(ones) / cells;
    }
    double acc = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        poll(n);
        for (std::size_t j = 0; j < n; ++j)
            if (i != j) acc += r(i, j);
    }
    return acc / cells;
}

// Line statistics of one sweep over the rows. Diagonal runs are indexed by
// j - i + n - 1 (the main diagonal is skipped), column runs by j; a run ends
// at a cell that is not recurrent (> 0.5) and at the end of its sequence,
// and is recorded when it is at least `lmin` long (lmin >= 1). All counts
// are integers, so one sweep in row order gives the same totals as walking
// each diagonal or column on its own.
struct LineStats {
    std::int64_t recurrent = 0;  // cells counted by the sweep
    std::int64_t sum = 0, lines = 0, longest = 0;
    std::vector<std::uint64_t> hist;  // lines by length (when asked)
};

// One row's cells against their runs, branch-free (with the longest
// recorded line when asked).
template <bool Longest>
NUVRA_MULTIVERSION
void run_update(const double* __restrict row, std::int64_t* __restrict run, std::size_t len,
                std::int64_t lmin, LineStats& st) {
    std::int64_t rec = 0, sum = 0, lines = 0, longest = st.longest;
    for (std::size_t t = 0; t < len; ++t) {
        const std::int64_t r = run[t];
        const bool on = row[t] > 0.5;
        const bool ends = !on && r >= lmin;
        rec += on ? 1 : 0;
        sum += ends ? r : 0;
        lines += ends ? 1 : 0;
        if constexpr (Longest) {
            const std::int64_t l = ends ? r : 0;
            longest = l > longest ? l : longest;
        }
        run[t] = on ? r + 1 : 0;
    }
    st.recurrent += rec;
    st.sum += sum;
    st.lines += lines;
    st.longest = longest;
}

// The same with every recorded length kept (longest line, histogram).
void run_update_recording(const double* row, std::int64_t* run, std::size_t len, std::int64_t lmin,
                          LineStats& st) {
    for (std::size_t t = 0; t < len; ++t) {
        const std::int64_t r = run[t];
        if (row[t] > 0.5) {
            run[t] = r + 1;
            ++st.recurrent;
        } else if (r != 0) {
            if (r >= lmin) {
                st.sum += r;
                ++st.lines;
                st.longest = std::max(st.longest, r);
                ++st.hist[static_cast<std::size_t>(r)];
            }
            run[t] = 0;
        }
    }
}

enum class Keep { Totals, Longest, Histogram };

template <bool Diagonal, Keep K>
LineStats sweep_lines(const MatrixView& r, std::uint64_t lmin_u) {
    const std::size_t n = r.rows;
    const std::int64_t lmin = static_cast<std::int64_t>(std::min<std::uint64_t>(lmin_u, INT64_MAX));
    LineStats st;
    constexpr bool Record = K == Keep::Histogram;
    if constexpr (Record) st.hist.assign(n + 1, 0);
    std::vector<std::int64_t> runs(Diagonal ? 2 * n - 1 : n, 0);
    std::vector<double> rowbuf(n);
    auto update = [&](const double* row, std::int64_t* run, std::size_t len) {
        if constexpr (Record) run_update_recording(row, run, len, lmin, st);
        else run_update<K == Keep::Longest>(row, run, len, lmin, st);
    };
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        poll(n);
        const double* row;
        if (r.s1 == 1) {
            row = r.data + static_cast<std::ptrdiff_t>(i) * r.s0;
        } else {
            for (std::size_t j = 0; j < n; ++j) rowbuf[j] = r(i, j);
            row = rowbuf.data();
        }
        if constexpr (Diagonal) {
            std::int64_t* run = runs.data() + (n - 1 - i);
            update(row, run, i);
            update(row + i + 1, run + i + 1, n - 1 - i);
        } else {
            update(row, runs.data(), n);
        }
    }
    // Runs still open at the end of their sequences.
    for (std::int64_t len : runs) {
        if (len != 0 && len >= lmin) {
            st.sum += len;
            ++st.lines;
            st.longest = std::max(st.longest, len);
            if constexpr (Record) ++st.hist[static_cast<std::size_t>(len)];
        }
    }
    return st;
}

std::uint64_t effective_lmin(std::uint64_t lmin) { return std::max<std::uint64_t>(lmin, 1); }

double determinism_py(MatrixView r, Opt<std::uint64_t, 2> min_line_length) {
    const std::size_t n = r.rows;
    if (n < min_line_length.value) return NaN;
    if (n < 2) return 0.0;
    require_square_block(r);
    const LineStats st = sweep_lines<true, Keep::Totals>(r, effective_lmin(min_line_length));
    if (st.recurrent == 0) return 0.0;
    return static_cast<double>(st.sum) / static_cast<double>(st.recurrent);
}

double laminarity_py(MatrixView r, Opt<std::uint64_t, 2> min_line_length) {
    const std::size_t n = r.rows;
    if (n < min_line_length.value) return NaN;
    if (n == 0) return 0.0;
    require_square_block(r);
    const LineStats st = sweep_lines<false, Keep::Totals>(r, effective_lmin(min_line_length));
    if (st.recurrent == 0) return 0.0;
    return static_cast<double>(st.sum) / static_cast<double>(st.recurrent);
}

double trapping_time_py(MatrixView r, Opt<std::uint64_t, 2> min_line_length) {
    const std::size_t n = r.rows;
    if (n < min_line_length.value) return NaN;
    if (n == 0) return 0.0;
    require_square_block(r);
    const LineStats st = sweep_lines<false, Keep::Totals>(r, effective_lmin(min_line_length));
    if (st.lines == 0) return 0.0;
    return static_cast<double>(st.sum) / static_cast<double>(st.lines);
}

double entropy_recurrence_py(MatrixView r, Opt<std::uint64_t, 2> min_line_length) {
    const std::size_t n = r.rows;
    if (n < min_line_length.value) return NaN;
    if (n < 2) return 0.0;
    require_square_block(r);
    const LineStats st = sweep_lines<true, Keep::Histogram>(r, effective_lmin(min_line_length));
    if (st.lines == 0) return 0.0;
    const double total = static_cast<double>(st.lines);
    double acc = -0.0;
    for (std::uint64_t c : st.hist) {  // ascending line length
        if (c == 0) continue;
        const double p = static_cast<double>(c) / total;
        acc += p * std::log(p + 1e-12);
    }
    return -acc;
}

std::uint64_t max_diagonal_line_py(MatrixView r, Opt<std::uint64_t, 2> min_line) {
    const std::size_t n = r.rows;
    if (n < min_line.value || n < 2) return 0;
    require_square_block(r);
    return static_cast<std::uint64_t>(sweep_lines<true, Keep::Longest>(r, effective_lmin(min_line)).longest);
}

// ------------------------------------------------------------------ attractor reconstruction

Array2 attractor_reconstruction_py(SignalView signal, std::uint64_t dim, std::uint64_t tau) {
    const FiniteSamples fs(signal);
    const std::span<const double> s = fs.span();
    const std::uint64_t n = s.size();
    std::uint64_t span = 0;
    // dim = 0 has no delay vectors; a span that overflows is longer than
    // any series.
    if (dim == 0 || mul_overflows(dim - 1, tau, span) || span >= n) return {{NaN}, 1, 1};
    const std::uint64_t m = n - span;
    std::uint64_t cells;
    if (mul_overflows(m, dim, cells) || cells > static_cast<std::uint64_t>(PTRDIFF_MAX))
        panic("ndarray: Shape too large, product of non-zero axis lengths overflows isize");
    check_capacity(cells);
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(cells));
    const std::size_t ms = static_cast<std::size_t>(m), ds = static_cast<std::size_t>(dim);
    const std::size_t ts = static_cast<std::size_t>(tau);
    // Rows are gathered into a small buffer and appended in chunks: the
    // result is written once, without a zero-fill.
    constexpr std::size_t kChunk = 2048;
    double chunk[kChunk];
    InterruptPoll poll;
    std::size_t used = 0;
    for (std::size_t i = 0; i < ms; ++i) {
        for (std::size_t j = 0; j < ds; ++j) {
            chunk[used++] = s[i + j * ts];
            if (used == kChunk) {
                out.insert(out.end(), chunk, chunk + kChunk);
                used = 0;
                poll(kChunk);
            }
        }
    }
    out.insert(out.end(), chunk, chunk + used);
    return {std::move(out), ms, ds};
}

// ------------------------------------------------------------------ table

const PyMethodDef defs[] = {
    NUVRA_DEF(largest_lyapunov_core_py, "largest_lyapunov_core",
              "largest_lyapunov_core(signal, dim, tau, min_time_sep, max_iter)\n--\n\n"
              "Core Rosenstein computation: embedding + nearest neighbor + divergence tracking.\n"
              "\n"
              "signal: 1D time series (NaN-filtered)\n"
              "dim: embedding dimension\n"
              "tau: time delay\n"
              "min_time_sep: minimum temporal separation for neighbors\n"
              "max_iter: maximum divergence tracking iterations\n"
              "\n"
              "Returns: (divergence array, counts array) \u2014 caller does fitting.",
              "signal", "dim", "tau", "min_time_sep", "max_iter"),
    NUVRA_DEF(ftle_py, "ftle",
              "ftle(embedded, dt=1, integration_time=1.0)\n--\n\n"
              "Compute Finite-Time Lyapunov Exponent (forward and backward).\n"
              "\n"
              "Parameters:\n"
              "  embedded: (n_points, n_dims) trajectory array\n"
              "  dt: integer step size for finite differences\n"
              "  integration_time: normalization time\n"
              "\n"
              "Returns: (forward_ftle, backward_ftle)",
              "embedded", "dt", "integration_time"),
    NUVRA_DEF(lyapunov_spectrum_py, "lyapunov_spectrum",
              "lyapunov_spectrum(embedded, dt=1, integration_time=1.0)\n--\n\n"
              "Compute full Lyapunov spectrum using QR decomposition method.\n"
              "\n"
              "Parameters:\n"
              "  embedded: (n_points, n_dims) trajectory array\n"
              "  dt: integer step size\n"
              "  integration_time: normalization time\n"
              "\n"
              "Returns: 1D array of n_dims Lyapunov exponents (sorted descending)",
              "embedded", "dt", "integration_time"),
    NUVRA_DEF(maximal_lyapunov_py, "maximal_lyapunov",
              "maximal_lyapunov(embedded, max_iter=100, min_separation=10)\n--\n\n"
              "Compute maximal Lyapunov exponent via nearest-neighbor divergence.\n"
              "\n"
              "Parameters:\n"
              "  embedded: (n_points, n_dims) trajectory array\n"
              "  max_iter: maximum number of iterations to track divergence\n"
              "  min_separation: minimum temporal separation for neighbor search\n"
              "\n"
              "Returns: 1D array of average log-divergences (length max_iter)",
              "embedded", "max_iter", "min_separation"),
    NUVRA_DEF(estimate_jacobian_py, "estimate_jacobian_py",
              "estimate_jacobian_py(embedded, dt)\n--\n\n"
              "Estimate the average Jacobian of a trajectory using least-squares.\n"
              "\n"
              "Parameters:\n"
              "  embedded: (n_points, n_dims) trajectory array\n"
              "  dt: integer step size\n"
              "\n"
              "Returns: (n_dims, n_dims) Jacobian matrix",
              "embedded", "dt"),
    NUVRA_DEF(rolling_ftle_py, "rolling_ftle",
              "rolling_ftle(embedded, window_size, stride, dt=1, forward=True, backward=True)\n--\n\n"
              "Compute FTLE in rolling windows over the trajectory.\n"
              "\n"
              "Parameters:\n"
              "  embedded: (n_points, n_dims) trajectory array\n"
              "  window_size: number of points per window\n"
              "  stride: step between window start positions\n"
              "  dt: integer step size for finite differences\n"
              "  forward: compute forward FTLE\n"
              "  backward: compute backward FTLE\n"
              "\n"
              "Returns: (indices, forward_ftle, backward_ftle)",
              "embedded", "window_size", "stride", "dt", "forward", "backward"),
    NUVRA_DEF(rolling_lyapunov_spectrum_py, "rolling_lyapunov_spectrum",
              "rolling_lyapunov_spectrum(embedded, window_size, stride, dt=1)\n--\n\n"
              "Compute Lyapunov spectrum in rolling windows over the trajectory.\n"
              "\n"
              "Parameters:\n"
              "  embedded: (n_points, n_dims) trajectory array\n"
              "  window_size: number of points per window\n"
              "  stride: step between window start positions\n"
              "  dt: integer step size\n"
              "\n"
              "Returns: (indices, spectra) where spectra is a list of 1D arrays",
              "embedded", "window_size", "stride", "dt"),
    NUVRA_DEF(recurrence_matrix_py, "recurrence_matrix_rust",
              "recurrence_matrix_rust(trajectory, threshold, threshold_percentile=10.0)\n--\n\n"
              "Compute recurrence matrix (O(n\u00b2) distance computation).",
              "trajectory", "threshold", "threshold_percentile"),
    NUVRA_DEF(recurrence_rate_py, "recurrence_rate_rust",
              "recurrence_rate_rust(r)\n--\n\nCompute recurrence rate.", "r"),
    NUVRA_DEF(determinism_py, "determinism_rust",
              "determinism_rust(r, min_line_length=2)\n--\n\nCompute determinism (DET).", "r",
              "min_line_length"),
    NUVRA_DEF(laminarity_py, "laminarity_rust",
              "laminarity_rust(r, min_line_length=2)\n--\n\nCompute laminarity (LAM).", "r",
              "min_line_length"),
    NUVRA_DEF(trapping_time_py, "trapping_time_rust",
              "trapping_time_rust(r, min_line_length=2)\n--\n\nCompute trapping time.", "r",
              "min_line_length"),
    NUVRA_DEF(entropy_recurrence_py, "entropy_recurrence_rust",
              "entropy_recurrence_rust(r, min_line_length=2)\n--\n\n"
              "Compute entropy of diagonal line lengths.",
              "r", "min_line_length"),
    NUVRA_DEF(max_diagonal_line_py, "max_diagonal_line_rust",
              "max_diagonal_line_rust(r, min_line=2)\n--\n\nMax diagonal line length.", "r",
              "min_line"),
    NUVRA_DEF(correlation_dimension_py, "correlation_dimension_rust",
              "correlation_dimension_rust(trajectory, n_reference=500)\n--\n\n"
              "Correlation dimension via Grassberger-Procaccia (O(n\u00b2) distance computation).",
              "trajectory", "n_reference"),
    NUVRA_DEF(kaplan_yorke_dimension_py, "kaplan_yorke_dimension_rust",
              "kaplan_yorke_dimension_rust(spectrum)\n--\n\n"
              "Kaplan-Yorke dimension from Lyapunov spectrum.",
              "spectrum"),
    NUVRA_DEF(attractor_reconstruction_py, "attractor_reconstruction_rust",
              "attractor_reconstruction_rust(signal, dim, tau)\n--\n\n"
              "Attractor reconstruction (delay embedding).",
              "signal", "dim", "tau"),
};

}  // namespace

FunctionTable family::dynamics() { return {defs, std::size(defs)}; }

}  // namespace nuvra
