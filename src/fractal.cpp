// Fractal scaling of one signal: detrended fluctuation analysis (the
// exponent on a fixed grid and the full-output variant), the rescaled-range
// Hurst exponent and the R^2 of its fit, the rescaled range of one stretch,
// variance growth under aggregation and the decay of the autocorrelation.
//
// Every function works on the finite samples of the signal. Every sum runs
// left to right in index order from -0.0, one addition per term; where many
// independent sums are needed (the segments of one scale, the blocks of one
// aggregation, the lags of the autocorrelation) several of them run side by
// side in one loop, each still in its own order, so that they proceed at
// throughput instead of at the latency of one addition.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "module_frame/buffers.hpp"
#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/samples.hpp"
#include "module_frame/simd.hpp"

namespace nuvra {
namespace {

inline double as_d(std::uint64_t v) { return static_cast<double>(v); }

// Four doubles operated on lane by lane: each lane is its own chain of IEEE
// operations, exactly as the scalar code would run it.
using simd::v4d;

// Eight segments of length s, segment q starting at src + q * s, laid out
// sample by sample: out[8 j + q] = segment q's sample j.
void interleave8(const double* src, std::size_t s, double* out) {
    for (std::size_t q = 0; q < 8; ++q) {
        const double* seg = src + q * s;
        for (std::size_t j = 0; j < s; ++j) out[8 * j + q] = seg[j];
    }
}

// ------------------------------------------------------------------ shared pieces

// The sums of a least-squares line fit of ys on xs, each in index order.
struct LineSums {
    double n = 0.0, sx = -0.0, sy = -0.0, sxy = -0.0, sxx = -0.0;

    LineSums(std::span<const double> xs, std::span<const double> ys) : n(as_d(xs.size())) {
        for (std::size_t i = 0; i < xs.size(); ++i) {
            sx += xs[i];
            sy += ys[i];
            sxy += xs[i] * ys[i];
            sxx += xs[i] * xs[i];
        }
    }
    // 0.0 when the spread of xs is numerically nil (|den| < 1e-15), NaN when
    // den is NaN.
    double slope() const {
        const double den = sxx * n - sx * sx;
        if (std::fabs(den) < 1e-15) return 0.0;
        return (sxy * n - sx * sy) / den;
    }
};

// Slope of the least-squares line of ys on xs.
double ols_slope(std::span<const double> xs, std::span<const double> ys) {
    return LineSums(xs, ys).slope();
}

// Cumulative sum of the deviations from the mean, from 0.0.
std::vector<double> profile(std::span<const double> x) {
    const double mu = sum_in_order(x) / as_d(x.size());
    std::vector<double> y(x.size());
    double run = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        run = run + (x[i] - mu);
        y[i] = run;
    }
    return y;
}

// The sums of the local time t = 0 .. s-1 and of its square, in order, and
// the denominator of the slope, shared by every segment of one scale.
struct LocalTime {
    double s_d, st, stt, den;
    explicit LocalTime(std::uint64_t s) : s_d(as_d(s)), st(-0.0), stt(-0.0) {
        double t = 0.0;  // j exactly, for every j below 2^53
        for (std::uint64_t j = 0; j < s; ++j, t += 1.0) {
            st += t;
            stt += t * t;
        }
        den = stt * s_d - st * st;
    }
};

// Residual sums of squares of the least-squares lines through K segments
// of length s that start at y0[0], y0[s], ..., y0[(K-1)s]; the K segments
// run side by side, each with its own sums in order.
template <std::size_t K>
void segment_detrend_rss(const double* y0, std::size_t s, const LocalTime& lt, double* rss) {
    double sy[K], sty[K], a[K], b[K], acc[K];
    for (std::size_t q = 0; q < K; ++q) sy[q] = sty[q] = acc[q] = -0.0;
    double t = 0.0;
    for (std::size_t j = 0; j < s; ++j, t += 1.0) {
        for (std::size_t q = 0; q < K; ++q) {
            const double v = y0[q * s + j];
            sy[q] += v;
            sty[q] += t * v;
        }
    }
    const bool flat = std::fabs(lt.den) < 1e-15;
    for (std::size_t q = 0; q < K; ++q) {
        b[q] = flat ? 0.0 : (sty[q] * lt.s_d - lt.st * sy[q]) / lt.den;
        a[q] = (sy[q] - b[q] * lt.st) / lt.s_d;
    }
    t = 0.0;
    for (std::size_t j = 0; j < s; ++j, t += 1.0) {
        for (std::size_t q = 0; q < K; ++q) {
            const double r = y0[q * s + j] - (a[q] + b[q] * t);
            acc[q] += r * r;
        }
    }
    for (std::size_t q = 0; q < K; ++q) rss[q] = acc[q];
}

// segment_detrend_rss for eight interleaved segments (interleave8), two
// vectors of four lanes each.
NUVRA_MULTIVERSION void segment_detrend_rss8(
    const double* yt, std::size_t s, double st, double s_d, double den, double* rss) {
    v4d sy0 = simd::splat(-0.0), sy1 = sy0, sty0 = sy0, sty1 = sy0;
    double t = 0.0;
    for (std::size_t j = 0; j < s; ++j, t += 1.0) {
        const v4d tv = simd::splat(t), a0 = simd::load(yt + 8 * j), a1 = simd::load(yt + 8 * j + 4);
        sy0 += a0;
        sy1 += a1;
        sty0 += tv * a0;
        sty1 += tv * a1;
    }
    const bool flat = std::fabs(den) < 1e-15;
    const v4d vs = simd::splat(s_d), vst = simd::splat(st), vden = simd::splat(den);
    const v4d b0 = flat ? simd::splat(0.0) : (sty0 * vs - vst * sy0) / vden;
    const v4d b1 = flat ? simd::splat(0.0) : (sty1 * vs - vst * sy1) / vden;
    const v4d a0 = (sy0 - b0 * vst) / vs, a1 = (sy1 - b1 * vst) / vs;
    v4d acc0 = simd::splat(-0.0), acc1 = acc0;
    t = 0.0;
    for (std::size_t j = 0; j < s; ++j, t += 1.0) {
        const v4d tv = simd::splat(t);
        const v4d r0 = simd::load(yt + 8 * j) - (a0 + b0 * tv);
        const v4d r1 = simd::load(yt + 8 * j + 4) - (a1 + b1 * tv);
        acc0 += r0 * r0;
        acc1 += r1 * r1;
    }
    simd::store(rss, acc0);
    simd::store(rss + 4, acc1);
}

// Calls f(rss_v) for every segment v = 0 .. nseg-1 of scale s, in order.
template <typename F>
void for_each_segment_rss(const std::vector<double>& y, std::size_t s, std::size_t nseg,
                          InterruptPoll& poll, F&& f) {
    const LocalTime lt(s);
    poll(s);
    std::size_t v = 0;
    double rss[8];
    if (nseg >= 8) {
        std::vector<double> buf(8 * s);
        for (; v + 8 <= nseg; v += 8) {
            interleave8(y.data() + v * s, s, buf.data());
            segment_detrend_rss8(buf.data(), s, lt.st, lt.s_d, lt.den, rss);
            for (std::size_t q = 0; q < 8; ++q) f(rss[q]);
            poll(24 * s);
        }
    }
    for (; v + 4 <= nseg; v += 4) {
        segment_detrend_rss<4>(y.data() + v * s, s, lt, rss);
        for (std::size_t q = 0; q < 4; ++q) f(rss[q]);
        poll(8 * s);
    }
    for (; v < nseg; ++v) {
        segment_detrend_rss<1>(y.data() + v * s, s, lt, rss);
        f(rss[0]);
        poll(2 * s);
    }
}

// ------------------------------------------------------------------ DFA exponent

// The DFA exponent on a grid of at most 20 logarithmically spaced scales,
// the fluctuation being the root of the mean squared residual per sample.
// `order` selects nothing: the detrending is always linear.
double dfa_internal(std::span<const double> x, std::uint64_t min_scale, std::int32_t max_scale,
                    std::int64_t /*order*/) {
    const std::size_t n = x.size();
    if (n < 64) return NaN;
    const std::vector<double> y = profile(x);
    const std::uint64_t M = max_scale < 0
                                ? std::min<std::uint64_t>(to_u64_sat(as_d(n) * 0.25), 256)
                                : static_cast<std::uint64_t>(max_scale);
    const double a = std::log10(as_d(min_scale));
    const double d = std::log10(as_d(M)) - a;
    std::vector<std::uint64_t> scales;
    for (int k = 0; k < 20; ++k) {
        const double v = std::pow(10.0, a + (d * static_cast<double>(k)) / 19.0);
        const std::uint64_t s = to_u64_sat(v);
        if (scales.empty() || scales.back() != s) scales.push_back(s);
    }
    std::vector<double> xs, ys;
    InterruptPoll poll;
    for (std::uint64_t s : scales) {
        const std::uint64_t nseg = checked_div<std::uint64_t>(n, s);
        if (nseg < 2) continue;
        double acc = -0.0;
        const double s_d = as_d(s);
        for_each_segment_rss(y, s, nseg, poll, [&](double rss) { acc += rss / s_d; });
        xs.push_back(std::log(s_d));
        ys.push_back(std::log(std::sqrt(acc / as_d(nseg))));
    }
    if (xs.size() < 3) return NaN;
    return ols_slope(xs, ys);
}

// ------------------------------------------------------------------ rescaled range

// R/S pieces of one stretch: range of the cumulative deviations and the
// sample variance. K stretches of length w starting at z[0], z[w], ... run
// side by side.
template <std::size_t K>
void rs_stretches(const double* z, std::size_t w, double* range, double* var) {
    double sum[K], m[K], run[K], hi[K], lo[K], ss[K];
    for (std::size_t q = 0; q < K; ++q) sum[q] = -0.0;
    for (std::size_t j = 0; j < w; ++j)
        for (std::size_t q = 0; q < K; ++q) sum[q] += z[q * w + j];
    for (std::size_t q = 0; q < K; ++q) {
        m[q] = sum[q] / as_d(w);
        run[q] = 0.0;
        hi[q] = -Inf;
        lo[q] = Inf;
        ss[q] = -0.0;
    }
    for (std::size_t j = 0; j < w; ++j) {
        for (std::size_t q = 0; q < K; ++q) {
            const double dv = z[q * w + j] - m[q];
            run[q] = run[q] + dv;
            // maxNum / minNum folds: a NaN partial sum leaves the fold as it is
            hi[q] = run[q] > hi[q] ? run[q] : hi[q];
            lo[q] = run[q] < lo[q] ? run[q] : lo[q];
            ss[q] += dv * dv;
        }
    }
    for (std::size_t q = 0; q < K; ++q) {
        range[q] = hi[q] - lo[q];
        var[q] = ss[q] / as_d(w - 1);
    }
}

// rs_stretches for eight interleaved stretches (interleave8).
NUVRA_MULTIVERSION void rs_stretches8(const double* zt, std::size_t w, double* range, double* var) {
    v4d s0 = simd::splat(-0.0), s1 = s0;
    for (std::size_t j = 0; j < w; ++j) {
        s0 += simd::load(zt + 8 * j);
        s1 += simd::load(zt + 8 * j + 4);
    }
    const v4d m0 = s0 / simd::splat(as_d(w)), m1 = s1 / simd::splat(as_d(w));
    v4d run0 = simd::splat(0.0), run1 = run0;
    v4d hi0 = simd::splat(-Inf), hi1 = hi0, lo0 = simd::splat(Inf), lo1 = lo0;
    v4d ss0 = simd::splat(-0.0), ss1 = ss0;
    for (std::size_t j = 0; j < w; ++j) {
        const v4d d0 = simd::load(zt + 8 * j) - m0, d1 = simd::load(zt + 8 * j + 4) - m1;
        run0 = run0 + d0;
        run1 = run1 + d1;
        hi0 = run0 > hi0 ? run0 : hi0;
        hi1 = run1 > hi1 ? run1 : hi1;
        lo0 = run0 < lo0 ? run0 : lo0;
        lo1 = run1 < lo1 ? run1 : lo1;
        ss0 += d0 * d0;
        ss1 += d1 * d1;
    }
    simd::store(range, hi0 - lo0);
    simd::store(range + 4, hi1 - lo1);
    const v4d wm1 = simd::splat(as_d(w - 1));
    simd::store(var, ss0 / wm1);
    simd::store(var + 4, ss1 / wm1);
}

// Points (ln w, ln mean R/S) for the window sizes 10 .. min(n/4, 500) - 1.
std::tuple<std::vector<double>, std::vector<double>> rs_scaling_points(std::span<const double> x) {
    const std::size_t n = x.size();
    const std::size_t wmax = std::min<std::size_t>(n / 4, 500);
    std::vector<double> xs, ys, buf;
    InterruptPoll poll;
    for (std::size_t w = 10; w < wmax; ++w) {
        poll(4 * n);
        const std::size_t nseg = n / w;
        double rs = -0.0;
        double range[8], var[8];
        std::size_t v = 0;
        auto add = [&](std::size_t k) {
            for (std::size_t q = 0; q < k; ++q)
                if (var[q] > 0.0) rs += range[q] / std::sqrt(var[q]);
        };
        buf.resize(8 * w);
        for (; v + 8 <= nseg; v += 8) {
            interleave8(x.data() + v * w, w, buf.data());
            rs_stretches8(buf.data(), w, range, var);
            add(8);
        }
        for (; v + 4 <= nseg; v += 4) {
            rs_stretches<4>(x.data() + v * w, w, range, var);
            add(4);
        }
        for (; v < nseg; ++v) {
            rs_stretches<1>(x.data() + v * w, w, range, var);
            add(1);
        }
        const double mean = rs / as_d(nseg);
        if (mean > 0.0) {
            xs.push_back(std::log(as_d(w)));
            ys.push_back(std::log(mean));
        }
    }
    return {std::move(xs), std::move(ys)};
}

double hurst_exponent_inner(std::span<const double> x, std::string_view method) {
    const std::size_t n = x.size();
    if (n < 10) return NaN;
    if (method == "dfa") return dfa_internal(x, 4, -1, 1);
    if (n / 4 < 11) return NaN;
    const auto [xs, ys] = rs_scaling_points(x);
    if (xs.size() < 3) return NaN;
    const double h = ols_slope(xs, ys);
    if (h < 0.0) return 0.0;
    if (h > 1.0) return 1.0;
    return h;
}

double hurst_r2_inner(std::span<const double> x) {
    const std::size_t n = x.size();
    if (n < 10 || n / 4 < 11) return NaN;
    const auto [xs, ys] = rs_scaling_points(x);
    if (xs.size() < 3) return NaN;
    const LineSums fit(xs, ys);
    const double b = fit.slope();
    const double a = (fit.sy - b * fit.sx) / fit.n;
    const double ybar = fit.sy / fit.n;
    double ss_res = -0.0, ss_tot = -0.0;
    for (std::size_t i = 0; i < xs.size(); ++i) {
        const double r = ys[i] - (a + b * xs[i]);
        ss_res += r * r;
        const double c = ys[i] - ybar;
        ss_tot += c * c;
    }
    if (ss_tot == 0.0) return NaN;
    return 1.0 - ss_res / ss_tot;
}

double rescaled_range_inner(std::span<const double> x, std::int64_t segment_size) {
    const std::size_t n = x.size();
    if (n < 2) return NaN;
    const std::size_t m = segment_size < 0
                              ? n
                              : static_cast<std::size_t>(std::min<std::uint64_t>(
                                    static_cast<std::uint64_t>(segment_size), n));
    if (m == 0) return NaN;
    double range, var;
    rs_stretches<1>(x.data(), m, &range, &var);
    if (var == 0.0) return NaN;
    return range / std::sqrt(var);
}

// ------------------------------------------------------------------ variance growth

// Automatic maximum lag n/4 for a negative request, at least 1.
std::uint64_t lag_bound(std::size_t n, std::int64_t max_lag) {
    const std::uint64_t L = max_lag < 0 ? n / 4 : static_cast<std::uint64_t>(max_lag);
    return std::max<std::uint64_t>(L, 1);
}

// Population variance of the means of the nb consecutive blocks of m
// samples; blocks are summed four at a time, each in its own order.
double block_mean_variance(std::span<const double> x, std::size_t m, std::size_t nb,
                           std::vector<double>& means) {
    means.resize(nb);
    const double m_d = as_d(m);
    const double* p = x.data();
    std::size_t b = 0;
    for (; b + 4 <= nb; b += 4) {
        double s0 = -0.0, s1 = -0.0, s2 = -0.0, s3 = -0.0;
        const double* q = p + b * m;
        for (std::size_t j = 0; j < m; ++j) {
            s0 += q[j];
            s1 += q[m + j];
            s2 += q[2 * m + j];
            s3 += q[3 * m + j];
        }
        means[b] = s0 / m_d;
        means[b + 1] = s1 / m_d;
        means[b + 2] = s2 / m_d;
        means[b + 3] = s3 / m_d;
    }
    for (; b < nb; ++b) {
        double s = -0.0;
        const double* q = p + b * m;
        for (std::size_t j = 0; j < m; ++j) s += q[j];
        means[b] = s / m_d;
    }
    const double nb_d = as_d(nb);
    const double mu = sum_in_order(means) / nb_d;
    double acc = -0.0;
    for (double v : means) {
        const double dv = v - mu;
        acc += dv * dv;
    }
    return acc / nb_d;
}

// The values 1, 2, ..., count into out, checking for Ctrl-C on the way.
void fill_counting(double* out, std::uint64_t count, InterruptPoll& poll) {
    constexpr std::uint64_t kChunk = std::uint64_t{1} << 16;
    for (std::uint64_t lo = 0; lo < count; lo += kChunk) {
        const std::uint64_t hi = std::min(count, lo + kChunk);
        for (std::uint64_t i = lo; i < hi; ++i) out[i] = as_d(i + 1);
        poll(hi - lo);
    }
}

std::tuple<UninitArray1, double> variance_growth_inner(std::span<const double> x,
                                                       std::int64_t max_lag) {
    const std::size_t n = x.size();
    if (n < 20) return {UninitArray1(0), NaN};
    const std::uint64_t L = lag_bound(n, max_lag);
    check_capacity(L);
    // the whole result at once: one too large for memory fails before any work
    UninitArray1 scales(static_cast<std::size_t>(L));
    InterruptPoll poll;
    fill_counting(scales.data(), L, poll);
    // Scales above n/2 have fewer than two blocks: their variance is NaN and
    // they stay out of the fit, so only m <= n/2 is computed.
    const std::uint64_t last = std::min<std::uint64_t>(L, n / 2);
    std::vector<double> xs, ys, means;
    for (std::uint64_t m = 1; m <= last; ++m) {
        poll(2 * n);
        const double v = block_mean_variance(x, m, n / m, means);
        if (std::isfinite(v) && v > 0.0) {
            xs.push_back(std::log(as_d(m)));
            ys.push_back(std::log(v));
        }
    }
    const double slope = xs.size() < 2 ? NaN : ols_slope(xs, ys);
    return {std::move(scales), slope};
}

// ------------------------------------------------------------------ long-range correlation

// Lag sums c[k] = sum_{i < n-k} d_i d_{i+k} for k = k0 .. k0+K-1, each in
// order of i; the K lags run side by side over their common range and each
// finishes its own tail.
template <std::size_t K>
void lag_sums(const double* d, std::size_t n, std::size_t k0, double* out) {
    double acc[K];
    for (std::size_t q = 0; q < K; ++q) acc[q] = -0.0;
    const std::size_t common = n - (k0 + K - 1);  // i < common is valid for every lag
    for (std::size_t i = 0; i < common; ++i) {
        const double di = d[i];
        const double* e = d + i + k0;
        for (std::size_t q = 0; q < K; ++q) acc[q] += di * e[q];
    }
    for (std::size_t q = 0; q < K; ++q) {
        const std::size_t end = n - (k0 + q);
        for (std::size_t i = common; i < end; ++i) acc[q] += d[i] * d[i + k0 + q];
        out[q] = acc[q];
    }
}

// 32 lags at once, four per vector: every lane is one lag's own chain (a
// product, then an addition, in order of i), so the result is that of
// lag_sums<32>; AVX2 where the processor has it.
constexpr std::size_t kLagBlock = 32;

NUVRA_MULTIVERSION void lag_sums_block(const double* d, std::size_t n, std::size_t k0,
                                       double* out) {
    constexpr std::size_t V = kLagBlock / 4;
    v4d acc[V];
    for (std::size_t g = 0; g < V; ++g) acc[g] = v4d{-0.0, -0.0, -0.0, -0.0};
    const std::size_t common = n - (k0 + kLagBlock - 1);
    for (std::size_t i = 0; i < common; ++i) {
        const v4d di = {d[i], d[i], d[i], d[i]};
        const double* e = d + i + k0;
        for (std::size_t g = 0; g < V; ++g) {
            acc[g] += di * simd::load(e + 4 * g);
        }
    }
    for (std::size_t q = 0; q < kLagBlock; ++q) {
        double a = acc[q / 4][q % 4];
        const std::size_t end = n - (k0 + q);
        for (std::size_t i = common; i < end; ++i) a += d[i] * d[i + k0 + q];
        out[q] = a;
    }
}

std::tuple<Array1, double> long_range_correlation_inner(std::span<const double> x,
                                                        std::int64_t max_lag) {
    const std::size_t n = x.size();
    if (n < 20) return {Array1{}, NaN};
    const double mu = sum_in_order(x) / as_d(n);
    std::vector<double> d(n);
    double c0 = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        d[i] = x[i] - mu;
        c0 += d[i] * d[i];
    }
    const std::uint64_t L = lag_bound(n, max_lag);
    const std::size_t len = L >= n ? n : static_cast<std::size_t>(L) + 1;
    if (c0 == 0.0) return {Array1{std::vector<double>(len, 0.0)}, NaN};
    std::vector<double> acf(len);
    acf[0] = 1.0;
    InterruptPoll poll;
    std::size_t k = 1;
    for (; k + kLagBlock <= len; k += kLagBlock) {
        poll(kLagBlock * n);
        lag_sums_block(d.data(), n, k, acf.data() + k);
        for (std::size_t q = 0; q < kLagBlock; ++q) acf[k + q] /= c0;
    }
    constexpr std::size_t K = 4;
    for (; k + K <= len; k += K) {
        poll(K * n);
        lag_sums<K>(d.data(), n, k, acf.data() + k);
        for (std::size_t q = 0; q < K; ++q) acf[k + q] /= c0;
    }
    for (; k < len; ++k) {
        lag_sums<1>(d.data(), n, k, acf.data() + k);
        acf[k] /= c0;
    }
    std::vector<double> xs, ys;
    for (std::size_t j = 1; j < len; ++j) {
        if (acf[j] > 0.0) {
            xs.push_back(std::log(as_d(j)));
            ys.push_back(std::log(acf[j]));
        }
    }
    const double exponent = xs.size() < 2 ? NaN : -ols_slope(xs, ys);
    return {Array1{std::move(acf)}, exponent};
}

// ------------------------------------------------------------------ multi-scale DFA

// Nearest integer, halves away from zero, saturated to the unsigned range.
inline std::uint64_t round_u64(double v) { return to_u64_sat(std::round(v)); }

// The grid value k of n_scales between min_scale and M, rounded.
struct ScaleGrid {
    double a, d, D;
    ScaleGrid(std::uint64_t min_scale, std::uint64_t M, std::uint64_t n_scales)
        : a(std::log10(as_d(min_scale))),
          d(std::log10(as_d(M)) - a),
          D(as_d(std::max<std::uint64_t>(n_scales, 2) - 1)) {}
    double value(std::uint64_t k) const { return std::pow(10.0, a + (d * as_d(k)) / D); }
    std::uint64_t scale(std::uint64_t k) const { return round_u64(value(k)); }
};

// Work units of one grid value (a power and a rounding).
constexpr std::uint64_t kGridValueWork = 32;

// The first index after k (below end) whose scale differs from s, the scale
// of k, with that scale; end when there is none. The grid is monotonic, so
// the indices of one scale form a run: doubling steps bracket its end and a
// bisection finds it, a few grid values per scale however long the run is.
std::pair<std::uint64_t, std::uint64_t> next_scale(const ScaleGrid& g, std::uint64_t k,
                                                   std::uint64_t s, std::uint64_t end,
                                                   InterruptPoll& poll) {
    std::uint64_t lo = k, hi = end, hi_scale = 0;  // scale(lo) == s
    for (std::uint64_t step = 1;; step = std::min<std::uint64_t>(2 * step, std::uint64_t{1} << 62)) {
        poll(kGridValueWork);
        if (end - lo <= step) break;
        const std::uint64_t probe = lo + step;
        const std::uint64_t v = g.scale(probe);
        if (v != s) {
            hi = probe;
            hi_scale = v;
            break;
        }
        lo = probe;
    }
    while (hi - lo > 1) {  // scale(lo) == s; hi == end or scale(hi) == hi_scale != s
        poll(kGridValueWork);
        const std::uint64_t mid = lo + (hi - lo) / 2;
        const std::uint64_t v = g.scale(mid);
        if (v == s) {
            lo = mid;
        } else {
            hi = mid;
            hi_scale = v;
        }
    }
    return {hi, hi_scale};
}

// The distinct grid scales within [min_scale, M] (M >= min_scale), in
// ascending order. Where neighbouring grid values lie far less than 1 apart
// (v * ln 10 * d / D below about 1/9) they round onto every integer between
// them, so the first stretch of the grid, up to the last value where that
// holds, is a run of consecutive integers found without visiting its grid
// values (for a fine enough grid: the whole range). The remaining values are
// visited one scale at a time. Before any scale is written, bound() tells
// how many there can be at most: the result is allocated once at that size.
class ScaleWalk {
public:
    ScaleWalk(std::uint64_t min_scale, std::uint64_t M, std::uint64_t n_scales, InterruptPoll& poll)
        : g_(min_scale, M, n_scales), min_(min_scale), M_(M), n_(n_scales), poll_(poll) {
        // log10(0) is -inf: every grid value is NaN or 0 and rounds to 0
        if (min_scale == 0) return;
        rising_ = g_.d >= 0.0;
        if (!rising_ || g_.scale(0) != min_scale) return;
        // up to 2^40 a rounding step of the power is far below 1/9
        constexpr std::uint64_t kExactRange = std::uint64_t{1} << 40;
        const std::uint64_t fine = to_u64_sat(g_.D / (32.0 * (g_.d + 1.0)));
        const std::uint64_t top = std::min({M, kExactRange, fine});
        if (top < min_scale) return;
        // the last index whose scale is at most top
        std::uint64_t lo = 0, hi = n_scales;
        while (hi - lo > 1) {
            poll_(kGridValueWork);
            const std::uint64_t mid = lo + (hi - lo) / 2;
            if (g_.scale(mid) <= top) {
                lo = mid;
            } else {
                hi = mid;
            }
        }
        run_end_ = g_.scale(lo);
        run_k_ = lo;
        has_run_ = true;
    }

    // At most this many scales: the run, then one per remaining grid value
    // and one per remaining integer of the range, whichever is fewer.
    std::uint64_t bound() const {
        if (min_ == 0) return 1;
        if (!has_run_) return std::min(n_, M_ - min_ + 1);
        return (run_end_ - min_ + 1) + std::min(n_ - 1 - run_k_, M_ - run_end_);
    }

    // Writes the scales as doubles into out (room for bound() of them) and
    // returns their number.
    std::uint64_t write(double* out) {
        if (min_ == 0) {
            out[0] = 0.0;
            return 1;
        }
        if (!rising_) return write_any(out);
        const std::uint64_t room = bound(), all = M_ - min_ + 1;
        std::uint64_t count = 0, last = 0, k = 0, s = 0;
        if (has_run_) {
            constexpr std::uint64_t kChunk = std::uint64_t{1} << 16;
            const std::uint64_t run = run_end_ - min_ + 1;
            for (std::uint64_t lo = 0; lo < run; lo += kChunk) {
                const std::uint64_t hi = std::min(run, lo + kChunk);
                for (std::uint64_t i = lo; i < hi; ++i) out[i] = as_d(min_ + i);
                poll_(hi - lo);
            }
            count = run;
            last = run_end_;
            k = run_k_;
            s = run_end_;
        } else {
            s = g_.scale(0);
            if (min_ <= s && s <= M_) {
                out[count++] = as_d(s);
                last = s;
            }
        }
        // every integer of the range is in: later values only repeat them;
        // and the grid rises, so a value past M ends it
        while (count < all && s <= M_) {
            const auto [next, next_s] = next_scale(g_, k, s, n_, poll_);
            if (next == n_) break;
            k = next;
            s = next_s;
            if (min_ <= s && s <= M_ && (count == 0 || s > last)) {
                if (count == room) throw std::bad_alloc();  // not reached: room bounds the walk
                out[count++] = as_d(s);
                last = s;
            }
        }
        return count;
    }

private:
    // A grid whose values do not rise (not met with a monotonic logarithm):
    // every distinct value within the range, sorted.
    std::uint64_t write_any(double* out) {
        std::vector<std::uint64_t> found;
        const std::uint64_t room = bound();
        std::uint64_t k = 0, s = g_.scale(0);
        for (;;) {
            if (min_ <= s && s <= M_) {
                const auto at = std::lower_bound(found.begin(), found.end(), s);
                if (at == found.end() || *at != s) {
                    if (found.size() == room) throw std::bad_alloc();
                    found.insert(at, s);
                }
            }
            const auto [next, next_s] = next_scale(g_, k, s, n_, poll_);
            if (next == n_) break;
            k = next;
            s = next_s;
        }
        for (std::size_t i = 0; i < found.size(); ++i) out[i] = as_d(found[i]);
        return found.size();
    }

    ScaleGrid g_;
    std::uint64_t min_, M_, n_;
    InterruptPoll& poll_;
    bool rising_ = true, has_run_ = false;
    std::uint64_t run_end_ = 0, run_k_ = 0;
};

std::tuple<UninitArray1, UninitArray1, double> detrended_fluctuation_analysis_inner(
    std::span<const double> x, std::uint64_t min_scale, std::int64_t max_scale,
    std::uint64_t n_scales) {
    const std::size_t n = x.size();
    const auto empty = [] {
        return std::tuple<UninitArray1, UninitArray1, double>{UninitArray1(0), UninitArray1(0), NaN};
    };
    // n < 2 * min_scale, where a product that wraps means "too short"
    std::uint64_t twice;
    if (mul_overflows(min_scale, 2, twice) || n < twice) return empty();
    const std::uint64_t M = max_scale < 0 ? n / 4 : static_cast<std::uint64_t>(max_scale);
    if (M < min_scale || n_scales == 0) return empty();

    InterruptPoll poll;
    ScaleWalk walk(min_scale, M, n_scales, poll);
    // Both result arrays at once, before any fluctuation is computed, at the
    // most scales there can be; only the first `count` are used. A bound
    // beyond any address space (2^56 doubles) cannot be allocated either.
    const std::uint64_t room = walk.bound();
    if (room > (std::uint64_t{1} << 56)) throw std::bad_alloc();
    UninitArray1 s_out(static_cast<std::size_t>(room));
    UninitArray1 f_out(static_cast<std::size_t>(room));
    const std::uint64_t count = walk.write(s_out.data());
    s_out.n = f_out.n = static_cast<std::size_t>(count);
    const std::vector<double> y = profile(x);

    // The scales ascend; those up to n (below 2^53, so exact as doubles)
    // come first and are measured.
    std::vector<double> xs, ys;
    const double n_d = as_d(n);
    std::uint64_t i = 0;
    for (; i < count && s_out[i] <= n_d; ++i) {
        const double s_d = s_out[i];
        const std::uint64_t s = static_cast<std::uint64_t>(s_d);
        const std::uint64_t nseg = checked_div<std::uint64_t>(n, s);
        double acc = -0.0;
        for_each_segment_rss(y, s, nseg, poll, [&](double rss) { acc += std::sqrt(rss / s_d); });
        const double f = acc / as_d(nseg);
        f_out[i] = f;
        if (std::isfinite(f) && f > 0.0) {
            xs.push_back(std::log(s_d));
            ys.push_back(std::log(f));
        }
    }
    // scales longer than the signal: no segment, a NaN fluctuation, no point
    constexpr std::uint64_t kChunk = std::uint64_t{1} << 16;
    while (i < count) {
        const std::uint64_t hi = std::min(count, i + kChunk);
        std::fill(f_out.data() + i, f_out.data() + hi, NaN);
        poll(hi - i);
        i = hi;
    }
    const double alpha = xs.size() < 2 ? NaN : ols_slope(xs, ys);
    return {std::move(s_out), std::move(f_out), alpha};
}

// ------------------------------------------------------------------ wrappers

double hurst_exponent_py(SignalView signal, std::string_view method) {
    return hurst_exponent_inner(FiniteSamples(signal).span(), method);
}

double dfa_py(SignalView signal, Int32 min_scale, Int32 max_scale, Int32 order) {
    const FiniteSamples x(signal);
    // A negative minimum scale names no scale at all.
    if (min_scale.value < 0) return NaN;
    return dfa_internal(x.span(), static_cast<std::uint64_t>(min_scale.value), max_scale.value,
                        order.value);
}

double hurst_r2_py(SignalView signal) { return hurst_r2_inner(FiniteSamples(signal).span()); }

std::tuple<UninitArray1, UninitArray1, double> detrended_fluctuation_analysis_py(
    SignalView signal, std::uint64_t min_scale, std::int64_t max_scale, std::uint64_t n_scales) {
    return detrended_fluctuation_analysis_inner(FiniteSamples(signal).span(), min_scale,
                                                max_scale, n_scales);
}

double rescaled_range_py(SignalView signal, std::int64_t segment_size) {
    return rescaled_range_inner(FiniteSamples(signal).span(), segment_size);
}

std::tuple<Array1, double> long_range_correlation_py(SignalView signal, std::int64_t max_lag) {
    return long_range_correlation_inner(FiniteSamples(signal).span(), max_lag);
}

std::tuple<UninitArray1, double> variance_growth_py(SignalView signal, std::int64_t max_lag) {
    return variance_growth_inner(FiniteSamples(signal).span(), max_lag);
}

const PyMethodDef defs[] = {
    NUVRA_DEF(hurst_exponent_py, "hurst_exponent",
              "hurst_exponent(signal, method)\n--\n\nCompute Hurst exponent using R/S method.",
              "signal", "method"),
    NUVRA_DEF(dfa_py, "dfa", "dfa(signal, min_scale, max_scale, order)\n--\n\nCompute DFA exponent.",
              "signal", "min_scale", "max_scale", "order"),
    NUVRA_DEF(hurst_r2_py, "hurst_r2", "hurst_r2(signal)\n--\n\nCompute R\xc2\xb2 of Hurst fit.",
              "signal"),
    NUVRA_DEF(detrended_fluctuation_analysis_py, "detrended_fluctuation_analysis",
              "detrended_fluctuation_analysis(signal, min_scale, max_scale, n_scales)\n--\n\n"
              "Detrended fluctuation analysis (full output).",
              "signal", "min_scale", "max_scale", "n_scales"),
    NUVRA_DEF(rescaled_range_py, "rescaled_range",
              "rescaled_range(signal, segment_size)\n--\n\nCompute rescaled range (R/S) statistic.",
              "signal", "segment_size"),
    NUVRA_DEF(long_range_correlation_py, "long_range_correlation",
              "long_range_correlation(signal, max_lag)\n--\n\n"
              "Analyse long-range correlation via autocorrelation power-law decay.",
              "signal", "max_lag"),
    NUVRA_DEF(variance_growth_py, "variance_growth",
              "variance_growth(signal, max_lag)\n--\n\nAnalyse variance growth with aggregation scale.",
              "signal", "max_lag"),
};

}  // namespace

namespace family {
FunctionTable fractal() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
