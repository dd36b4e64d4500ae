// Cohort geometry: every cycle of a multichannel cohort scored against the
// cohort's most stable stretch of cycles (the baseline).
//
// find_stable_baseline_1d   the baseline search on one series
// rt_geometry_single        the geometry of one cohort matrix
// rt_geometry_batch         many cohorts, one per row of a padded matrix,
//                           computed in parallel on the worker pool
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/buffers.hpp"
#include "module_frame/lapack.hpp"
#include "module_frame/simd.hpp"


namespace nuvra {
namespace {

using simd::v4d;
using simd::v4i;

// ------------------------------------------------------------ baseline search

struct BaselineWindow {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool found = true;  // false only when a validity mask excluded every window
};

// Finite count, centred sum of squares and mean of 4 * V windows of w
// values (window g starts at start[g]), each sum in index order from -0.0
// over the finite values only: a non-finite value adds -0.0, which leaves a
// sum as skipping it would. Window g is lane g % 4 of vector g / 4, so the
// windows' sums are independent chains advancing together.
template <int V>
NUVRA_INLINE void window_moments(const double* x, const std::uint64_t* start, std::uint64_t w,
                                 std::uint64_t* count, double* ss, double* mean) {
    constexpr int G = 4 * V;
    const double* p[G];
    for (int g = 0; g < G; ++g) p[g] = x + start[g];
    const v4d nz = simd::splat(-0.0);
    v4d sum[V];
    v4i cnt[V];
    for (int v = 0; v < V; ++v) {
        sum[v] = nz;
        cnt[v] = v4i{0, 0, 0, 0};
    }
    for (std::uint64_t i = 0; i < w; ++i) {
        for (int v = 0; v < V; ++v) {
            const v4d val = {p[4 * v][i], p[4 * v + 1][i], p[4 * v + 2][i], p[4 * v + 3][i]};
            const v4i f = simd::finite_mask(val);
            sum[v] += simd::select(f, val, nz);
            cnt[v] += f;
        }
    }
    v4d m[V], acc[V];
    for (int v = 0; v < V; ++v) {
        for (int l = 0; l < 4; ++l) count[4 * v + l] = static_cast<std::uint64_t>(-cnt[v][l]);
        const v4d c = {static_cast<double>(count[4 * v]), static_cast<double>(count[4 * v + 1]),
                       static_cast<double>(count[4 * v + 2]), static_cast<double>(count[4 * v + 3])};
        m[v] = sum[v] / c;
        acc[v] = nz;
    }
    for (std::uint64_t i = 0; i < w; ++i) {
        for (int v = 0; v < V; ++v) {
            const v4d val = {p[4 * v][i], p[4 * v + 1][i], p[4 * v + 2][i], p[4 * v + 3][i]};
            const v4d d = val - m[v];
            acc[v] += simd::select(simd::finite_mask(val), d * d, nz);
        }
    }
    for (int v = 0; v < V; ++v)
        for (int l = 0; l < 4; ++l) {
            ss[4 * v + l] = acc[v][l];
            mean[4 * v + l] = m[v][l];
        }
}

NUVRA_MULTIVERSION void window_moments4(const double* x, const std::uint64_t* start,
                                        std::uint64_t w, std::uint64_t* count, double* ss,
                                        double* mean) {
    window_moments<1>(x, start, w, count, ss, mean);
}
NUVRA_MULTIVERSION void window_moments8(const double* x, const std::uint64_t* start,
                                        std::uint64_t w, std::uint64_t* count, double* ss,
                                        double* mean) {
    window_moments<2>(x, start, w, count, ss, mean);
}

// Slides a window of w = max(floor(window_fraction * n), min_window) values
// over `values` with stride max(floor(stride_fraction * n), 1) and returns the
// window whose finite values have the smallest population standard deviation
// (score 1 / (sd + 1e-12), strictly greater wins, so ties keep the earlier
// window). Windows with fewer than two finite values are skipped; when none
// qualifies the first window is returned.
//
// With `invalid_prefix` (invalid_prefix[i] = number of invalid positions
// before i, n + 1 entries) a window holding an invalid position is never a
// candidate, neither for scoring nor as the fallback; when every window is
// excluded the result has found = false. Without it every window is a
// candidate and found is always true.
BaselineWindow find_stable_baseline_inner(std::span<const double> values, std::uint64_t min_window,
                                          double window_fraction, double stride_fraction,
                                          const std::vector<std::uint64_t>* invalid_prefix = nullptr) {
    const std::uint64_t n = values.size();
    const double nd = static_cast<double>(n);
    auto valid_range = [&](std::uint64_t a, std::uint64_t b) {
        return invalid_prefix == nullptr || (*invalid_prefix)[b] == (*invalid_prefix)[a];
    };

    const std::uint64_t wl = to_u64_sat(std::floor(window_fraction * nd));
    const std::uint64_t w = std::max(wl, min_window);
    if (n < min_window || wl > n) {
        // Too short for a search: the whole series is the window.
        return {0, n, valid_range(0, n)};
    }
    // Here w <= n, so the first window fits.
    const std::uint64_t stride = std::max<std::uint64_t>(to_u64_sat(std::floor(stride_fraction * nd)), 1);

    // The candidate windows in order: the one at 0, then each next start
    // while its end stays within n (an overflowing start or end ends the
    // list as well), minus those holding an invalid position. There are at
    // most (n - w) / stride + 1 of them (at most n + 1), plus the padding of
    // the last group below.
    constexpr std::size_t G = 8;
    std::vector<std::uint64_t> starts;
    starts.reserve(static_cast<std::size_t>((n - w) / stride + G));
    std::uint64_t start = 0;
    for (;;) {
        if (valid_range(start, start + w)) starts.push_back(start);
        std::uint64_t next_start, next_end;
        if (add_overflows(start, stride, next_start) || add_overflows(next_start, w, next_end) ||
            next_end > n)
            break;
        start = next_start;
    }
    if (starts.empty()) return {0, w, invalid_prefix == nullptr};

    // Moments of eight windows at a time (the last group padded with copies
    // of the last window), then the scores compared in window order: the
    // smallest spread wins, ties keep the earlier window, a NaN score never
    // wins, and windows with fewer than two finite values are skipped.
    const std::size_t k = starts.size();
    starts.resize((k + G - 1) / G * G, starts.back());
    double best_score = -Inf;
    std::uint64_t best_start = 0;
    bool have_best = false;
    std::uint64_t count[G];
    double ss[G], mean[G];
    InterruptPoll poll;
    for (std::size_t g0 = 0; g0 < k; g0 += G) {
        poll(2 * G * w + 1);
        if (k - g0 > G / 2)
            window_moments8(values.data(), starts.data() + g0, w, count, ss, mean);
        else
            window_moments4(values.data(), starts.data() + g0, w, count, ss, mean);
        for (std::size_t g = 0; g < G && g0 + g < k; ++g) {
            if (count[g] < 2) continue;
            const double score = 1.0 / (std::sqrt(ss[g] / static_cast<double>(count[g])) + 1e-12);
            if (score > best_score) {
                best_score = score;
                best_start = starts[g0 + g];
                have_best = true;
            }
        }
    }
    if (have_best) return {best_start, best_start + w, true};
    return {starts[0], starts[0] + w, true};
}

std::tuple<std::uint64_t, std::uint64_t> find_stable_baseline_1d_py(SignalView values,
                                                                    double window_fraction,
                                                                    std::uint64_t min_window,
                                                                    double stride_fraction) {
    const std::span<const double> s = values.as_slice().or_value_error();
    const BaselineWindow b = find_stable_baseline_inner(s, min_window, window_fraction, stride_fraction);
    return {b.start, b.end};
}

// ------------------------------------------------------------ cohort geometry

// Where one cohort's five series go: n_cycles entries each, in the order
// baseline_distance, normalized_distance, pc1_projection, pc2_projection,
// mahalanobis_distance. Every entry is written.
struct CohortOut {
    double* series[5];

    // (A cohort without signals can hold any number of cycles: the fill runs
    // in pieces, checking for an interrupt between them.)
    void all_nan(std::size_t n) const {
        constexpr std::size_t kPiece = std::size_t{1} << 20;
        InterruptPoll poll;
        for (std::size_t at = 0; at < n; at += kPiece) {
            const std::size_t len = std::min(kPiece, n - at);
            poll(5 * len);
            for (double* s : series) std::fill_n(s + at, len, NaN);
        }
    }
};

constexpr std::size_t kMaxDirections = 5;

// Right singular vectors of the row-major n_base x n_signals block `b`
// (consumed): on success `s` holds the min(n_base, n_signals) singular values
// in descending order and `vt` the matching rows of V^T, row-major with
// n_signals entries per row. The left singular vectors are not computed.
bool baseline_svd(std::vector<double>& b, std::size_t n_base, std::size_t n_signals,
                  std::vector<double>& s, std::vector<double>& vt) {
    if (n_base > static_cast<std::size_t>(INT_MAX) || n_signals > static_cast<std::size_t>(INT_MAX))
        return false;
    const int m = static_cast<int>(n_base);
    const int n = static_cast<int>(n_signals);
    const int k = std::min(m, n);
    // LAPACK wants column-major: a[i + j * m] = B[i][j].
    std::vector<double> a(b.size());
    for (std::size_t i = 0; i < n_base; ++i)
        for (std::size_t j = 0; j < n_signals; ++j) a[i + j * n_base] = b[i * n_signals + j];
    b.clear();
    b.shrink_to_fit();

    s.assign(static_cast<std::size_t>(k), 0.0);
    std::vector<double> vtc(static_cast<std::size_t>(k) * n_signals);
    const int lda = std::max(m, 1);
    const int ldu = 1;
    const int ldvt = std::max(k, 1);
    double u_dummy = 0.0;
    int info = 0;
    int lwork = -1;
    double query = 0.0;
    dgesvd_("N", "S", &m, &n, a.data(), &lda, s.data(), &u_dummy, &ldu, vtc.data(), &ldvt, &query,
            &lwork, &info, 1, 1);
    if (info != 0 || !(query >= 1.0) || query > static_cast<double>(INT_MAX)) return false;
    lwork = static_cast<int>(query);
    std::vector<double> work(static_cast<std::size_t>(lwork));
    dgesvd_("N", "S", &m, &n, a.data(), &lda, s.data(), &u_dummy, &ldu, vtc.data(), &ldvt,
            work.data(), &lwork, &info, 1, 1);
    if (info != 0) return false;
    vt.assign(static_cast<std::size_t>(k) * n_signals, 0.0);
    for (std::size_t r = 0; r < static_cast<std::size_t>(k); ++r)
        for (std::size_t j = 0; j < n_signals; ++j) vt[r * n_signals + j] = vtc[r + j * static_cast<std::size_t>(k)];
    return true;
}

// The five series of cycles [i0, nc): z-scores by the baseline mean and
// spread, their squared norm and projections, each sum over the signals in
// order from -0.0, one cycle at a time.
void score_cycles_scalar(const double* data, std::size_t i0, std::size_t nc, std::size_t ns,
                         const double* mean, const double* sd, const double* dirs,
                         const double* pc2, std::size_t k, const double* var_floor,
                         const CohortOut& out) {
    const double* pc1 = dirs;
    const double sqrt_ns = std::sqrt(static_cast<double>(ns));
    std::size_t i = i0;
    std::vector<double> z(ns);
    InterruptPoll poll;
    for (; i < nc; ++i) {
        poll(ns * (k + 2));
        const double* row = data + i * ns;
        for (std::size_t j = 0; j < ns; ++j) z[j] = (row[j] - mean[j]) / sd[j];

        double ss = -0.0, p1 = -0.0, p2 = -0.0;
        for (std::size_t j = 0; j < ns; ++j) {
            ss += z[j] * z[j];
            p1 += z[j] * pc1[j];
            p2 += z[j] * pc2[j];
        }
        const double dist = std::sqrt(ss);
        double maha = -0.0;
        for (std::size_t q = 0; q < k; ++q) {
            double p;
            if (q == 0) {
                p = p1;
            } else if (q == 1) {
                p = p2;
            } else {
                const double* v = dirs + q * ns;
                p = -0.0;
                for (std::size_t j = 0; j < ns; ++j) p += z[j] * v[j];
            }
            maha += p * p / var_floor[q];
        }
        out.series[0][i] = dist;
        out.series[1][i] = dist / sqrt_ns;
        out.series[2][i] = p1;
        out.series[3][i] = p2;
        out.series[4][i] = std::sqrt(maha);
    }
}

#if defined(__x86_64__) && !defined(NUVRA_NO_MULTIVERSION)
// The same with four cycles side by side as the lanes of an AVX2 vector
// (each lane the plain loop of its cycle), the last nc % 4 one by one. Only
// the AVX2 form runs lanes: its three-operand additions come out with the
// accumulator as first operand, as in the scalar loop, so even a step that
// adds two NaNs passes on the same one; the two-operand SSE2 form may swap
// them, so without AVX2 the scalar loop runs.
__attribute__((target("avx2"))) void score_cycles_avx2(
    const double* data, std::size_t nc, std::size_t ns, const double* mean, const double* sd,
    const double* dirs, const double* pc2, std::size_t k, const double* var_floor,
    const CohortOut& out) {
    const double* pc1 = dirs;
    const double sqrt_ns = std::sqrt(static_cast<double>(ns));
    const v4d nz = simd::splat(-0.0);
    std::vector<double> zv(4 * ns);  // the z lanes of every signal
    std::size_t i = 0;
    InterruptPoll poll;
    for (; i + 4 <= nc; i += 4) {
        poll(4 * ns * (k + 2));
        const double* row = data + i * ns;
        v4d ss = nz, p1 = nz, p2 = nz;
        for (std::size_t j = 0; j < ns; ++j) {
            const v4d x = {row[j], row[ns + j], row[2 * ns + j], row[3 * ns + j]};
            const v4d z = (x - mean[j]) / sd[j];
            simd::store(zv.data() + 4 * j, z);
            ss += z * z;
            p1 += z * pc1[j];
            p2 += z * pc2[j];
        }
        v4d maha = nz;
        for (std::size_t q = 0; q < k; ++q) {
            v4d p;
            if (q == 0) {
                p = p1;
            } else if (q == 1) {
                p = p2;
            } else {
                const double* v = dirs + q * ns;
                p = nz;
                for (std::size_t j = 0; j < ns; ++j) p += simd::load(zv.data() + 4 * j) * v[j];
            }
            maha += p * p / var_floor[q];
        }
        v4d dist, mroot;
        for (int l = 0; l < 4; ++l) {
            dist[l] = std::sqrt(ss[l]);
            mroot[l] = std::sqrt(maha[l]);
        }
        simd::store(out.series[0] + i, dist);
        simd::store(out.series[1] + i, dist / sqrt_ns);
        simd::store(out.series[2] + i, p1);
        simd::store(out.series[3] + i, p2);
        simd::store(out.series[4] + i, mroot);
    }
    score_cycles_scalar(data, i, nc, ns, mean, sd, dirs, pc2, k, var_floor, out);
}
#endif

void score_cycles(const double* data, std::size_t nc, std::size_t ns, const double* mean,
                  const double* sd, const double* dirs, const double* pc2, std::size_t k,
                  const double* var_floor, const CohortOut& out) {
#if defined(__x86_64__) && !defined(NUVRA_NO_MULTIVERSION)
    if (__builtin_cpu_supports("avx2"))
        return score_cycles_avx2(data, nc, ns, mean, sd, dirs, pc2, k, var_floor, out);
#endif
    score_cycles_scalar(data, 0, nc, ns, mean, sd, dirs, pc2, k, var_floor, out);
}

// Scores every cycle of one cohort (cycle-major data: signal j of cycle i at
// i * n_signals + j) against its baseline, writing the n_cycles entries of
// each of the five series to `out`. Degenerate cohorts give all NaN.
void rt_geometry_cohort(std::span<const double> data, std::uint64_t n_cycles,
                        std::uint64_t n_signals, std::uint64_t min_baseline_cycles,
                        const CohortOut& out) {
    if (n_cycles == 0 || n_signals == 0) return out.all_nan(n_cycles);
    std::uint64_t needed;
    if (mul_overflows(n_cycles, n_signals, needed) || needed > data.size())
        panic("cohort data holds " + std::to_string(data.size()) + " values, fewer than " +
              std::to_string(n_cycles) + " cycles x " + std::to_string(n_signals) + " signals");
    const std::size_t nc = static_cast<std::size_t>(n_cycles);
    const std::size_t ns = static_cast<std::size_t>(n_signals);

    // Norm of each cycle over its finite values; a cycle holding any
    // non-finite value is marked invalid for the baseline.
    check_capacity(n_cycles);
    std::vector<double> norms(nc);
    std::vector<std::uint64_t> invalid_prefix(nc + 1);
    invalid_prefix[0] = 0;
    InterruptPoll poll;
    for (std::size_t i = 0; i < nc; ++i) {
        poll(ns);
        const double* row = data.data() + i * ns;
        double ss = -0.0;
        bool valid = true;
        for (std::size_t j = 0; j < ns; ++j) {
            const double x = row[j];
            if (std::isfinite(x))
                ss += x * x;
            else
                valid = false;
        }
        norms[i] = std::sqrt(ss);
        invalid_prefix[i + 1] = invalid_prefix[i] + (valid ? 0 : 1);
    }

    const BaselineWindow win =
        find_stable_baseline_inner(norms, min_baseline_cycles, 0.2, 0.05, &invalid_prefix);
    std::vector<std::uint64_t>().swap(invalid_prefix);
    std::vector<double>().swap(norms);
    if (!win.found) return out.all_nan(n_cycles);
    const std::size_t start = static_cast<std::size_t>(win.start);
    const std::size_t end = static_cast<std::size_t>(std::min(win.end, n_cycles));
    if (end <= start) return out.all_nan(n_cycles);
    const std::size_t n_base = end - start;
    const double nb = static_cast<double>(n_base);

    // Per-signal mean and population spread over the baseline rows.
    std::vector<double> mean(ns), sd(ns);
    for (std::size_t j = 0; j < ns; ++j) {
        poll(2 * n_base);
        double sum = -0.0;
        for (std::size_t i = start; i < end; ++i) sum += data[i * ns + j];
        const double mu = sum / nb;
        double ss = -0.0;
        for (std::size_t i = start; i < end; ++i) {
            const double d = data[i * ns + j] - mu;
            ss += d * d;
        }
        double s = std::sqrt(ss / nb);
        if (s < 1e-10) s = 1.0;  // a NaN spread stays NaN
        mean[j] = mu;
        sd[j] = s;
    }

    // The standardised baseline block; any non-finite z-score voids the cohort.
    std::vector<double> block(n_base * ns);
    for (std::size_t i = start; i < end; ++i) {
        for (std::size_t j = 0; j < ns; ++j) {
            const double z = (data[i * ns + j] - mean[j]) / sd[j];
            if (!std::isfinite(z)) return out.all_nan(n_cycles);
            block[(i - start) * ns + j] = z;
        }
    }

    // Principal directions of the baseline (rows of dirs) and their variances.
    std::vector<double> sv, dirs;
    std::size_t k;
    if (baseline_svd(block, n_base, ns, sv, dirs)) {
        k = std::min(sv.size(), kMaxDirections);
    } else {
        // Unit directions with unit singular values.
        k = std::min(ns, kMaxDirections);
        sv.assign(k, 1.0);
        dirs.assign(k * ns, 0.0);
        for (std::size_t r = 0; r < k; ++r) dirs[r * ns + r] = 1.0;
    }
    const double dof = static_cast<double>(std::max<std::size_t>(n_base - 1, 1));
    std::vector<double> var_floor(k);
    for (std::size_t r = 0; r < k; ++r) var_floor[r] = fmax_num(sv[r] * sv[r] / dof, 1e-10);

    // Sign rule: the entry of largest magnitude (the last one on ties, a NaN
    // entry taken over a number) is made non-negative.
    for (std::size_t r = 0; r < k; ++r) {
        double* v = dirs.data() + r * ns;
        std::size_t m = 0;
        for (std::size_t j = 1; j < ns; ++j) {
            if (std::isnan(v[m]) || std::isnan(v[j]) || std::fabs(v[m]) <= std::fabs(v[j])) m = j;
        }
        if (v[m] < 0.0)
            for (std::size_t j = 0; j < ns; ++j) v[j] = -v[j];
    }
    std::vector<double> zeros;
    const double* pc2;
    if (k >= 2) {
        pc2 = dirs.data() + ns;
    } else {
        zeros.assign(ns, 0.0);
        pc2 = zeros.data();
    }
    score_cycles(data.data(), nc, ns, mean.data(), sd.data(), dirs.data(), pc2, k, var_floor.data(),
                 out);
}

using FiveArrays = std::tuple<UninitArray1, UninitArray1, UninitArray1, UninitArray1, UninitArray1>;

FiveArrays five_series(std::size_t n) {
    return {UninitArray1(n), UninitArray1(n), UninitArray1(n), UninitArray1(n), UninitArray1(n)};
}

CohortOut out_at(FiveArrays& f, std::size_t offset) {
    return {{std::get<0>(f).data() + offset, std::get<1>(f).data() + offset,
             std::get<2>(f).data() + offset, std::get<3>(f).data() + offset,
             std::get<4>(f).data() + offset}};
}

FiveArrays rt_geometry_single_py(MatrixView matrix, Opt<std::uint64_t, 3> min_baseline_cycles) {
    const std::vector<double> data = matrix.to_row_major();
    FiveArrays f = five_series(matrix.rows);
    rt_geometry_cohort(data, matrix.rows, matrix.cols, min_baseline_cycles, out_at(f, 0));
    return f;
}

// Checks every cohort's count against its row before anything is allocated
// and returns the total number of cycles.
std::uint64_t check_cohort_counts(const MatrixView& m, const IndexView& counts,
                                  std::uint64_t n_signals) {
    std::uint64_t total = 0;
    for (std::size_t c = 0; c < counts.size(); ++c) {
        const std::int64_t raw = counts[c];
        if (raw < 0) {
            const std::string msg = "cycles_per_cohort[" + std::to_string(c) + "] is negative (" +
                                    std::to_string(raw) + ")";
            raise_value_error(msg.c_str());
        }
        if (c >= m.rows) panic("assertion failed: index < dim");
        const std::uint64_t count = static_cast<std::uint64_t>(raw);
        std::uint64_t values;
        if (mul_overflows(count, n_signals, values)) {
            const std::string msg = "cohort " + std::to_string(c) + ": " + std::to_string(count) +
                                    " cycles x " + std::to_string(n_signals) +
                                    " signals overflow a 64-bit size";
            raise_value_error(msg.c_str());
        }
        if (values > m.cols) {
            const std::string msg = "cohort " + std::to_string(c) + ": " + std::to_string(count) +
                                    " cycles x " + std::to_string(n_signals) + " signals need " +
                                    std::to_string(values) + " values but the row holds " +
                                    std::to_string(m.cols);
            raise_value_error(msg.c_str());
        }
        if (add_overflows(total, count, total)) {
            const std::string msg =
                "cycles_per_cohort: the total number of cycles overflows at cohort " + std::to_string(c);
            raise_value_error(msg.c_str());
        }
    }
    return total;
}

// Every cohort is one item on the worker pool: it reads its row of the
// padded matrix (in place when the row is contiguous, else through a copy it
// owns), computes its geometry and writes its five series straight into its
// slice of the preallocated results. The array stays borrowed, and so alive
// and unchanged, until the call returns; the workers touch no Python object.
// Each cohort's result depends on its own data only, so the output is the
// same for every number of threads.
FiveArrays rt_geometry_batch_py(MatrixView matrices_flat, IndexView cycles_per_cohort,
                                std::uint64_t n_signals, Opt<std::uint64_t, 3> min_baseline_cycles) {
    const std::uint64_t total = check_cohort_counts(matrices_flat, cycles_per_cohort, n_signals);
    check_capacity(total);

    // Counts and the offset of each cohort's slice (the total cannot wrap:
    // it was checked above).
    const std::size_t n_cohorts = cycles_per_cohort.size();
    std::vector<std::uint64_t> counts(n_cohorts), offsets(n_cohorts);
    std::uint64_t at = 0;
    for (std::size_t c = 0; c < n_cohorts; ++c) {
        counts[c] = static_cast<std::uint64_t>(cycles_per_cohort[c]);
        offsets[c] = at;
        at += counts[c];
    }

    FiveArrays f = five_series(static_cast<std::size_t>(total));
    const MatrixView m = matrices_flat;
    const std::uint64_t min_base = min_baseline_cycles;
    parallel_map<char>(n_cohorts, [&](std::size_t c) {
        const std::size_t len = static_cast<std::size_t>(counts[c] * n_signals);  // checked above
        const double* row = m.data + static_cast<std::ptrdiff_t>(c) * m.s0;
        std::vector<double> copy;
        std::span<const double> data;
        if (m.s1 == 1 || len <= 1) {
            data = std::span<const double>(row, len);
        } else {
            copy.resize(len);
            for (std::size_t j = 0; j < len; ++j) copy[j] = row[static_cast<std::ptrdiff_t>(j) * m.s1];
            data = copy;
        }
        rt_geometry_cohort(data, counts[c], n_signals, min_base, out_at(f, offsets[c]));
        return char{0};
    });
    return f;
}

const PyMethodDef defs[] = {
    NUVRA_DEF(find_stable_baseline_1d_py, "find_stable_baseline_1d",
              "find_stable_baseline_1d(values, window_fraction, min_window, stride_fraction)\n--\n\n"
              "Find stable baseline region in a 1D signal.",
              "values", "window_fraction", "min_window", "stride_fraction"),
    NUVRA_DEF(rt_geometry_single_py, "rt_geometry_single",
              "rt_geometry_single(matrix, min_baseline_cycles=3)\n--\n\n"
              "RT geometry for one cohort matrix.",
              "matrix", "min_baseline_cycles"),
    NUVRA_DEF(rt_geometry_batch_py, "rt_geometry_batch",
              "rt_geometry_batch(matrices_flat, cycles_per_cohort, n_signals, min_baseline_cycles=3)\n"
              "--\n\nBatch RT geometry across multiple cohorts — Rayon parallel.",
              "matrices_flat", "cycles_per_cohort", "n_signals", "min_baseline_cycles"),
};

}  // namespace

namespace family {
FunctionTable rt_geometry() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
