// Statistics of one signal: moments, extrema, percentiles, crossings, and
// the derivative family (difference quotients, running integral, curvature).
//
// The summary statistics work on the finite samples of the signal (NaN and
// +-inf dropped); the derivative family works on the raw samples and lets
// non-finite values propagate. Every sum runs in index order from -0.0.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/samples.hpp"

namespace nuvra {
namespace {

// ------------------------------------------------------------------ moments

inline double count_d(std::size_t n) { return static_cast<double>(n); }

// Sum of (x - m)^2 in index order from -0.0.
double central_sum2(std::span<const double> s, double m) {
    double acc = -0.0;
    for (double x : s) {
        const double d = x - m;
        acc += d * d;
    }
    return acc;
}

// Sum of x*x in index order from -0.0.
double sum_squares(std::span<const double> s) {
    double acc = -0.0;
    for (double x : s) acc += x * x;
    return acc;
}

// Minimum and maximum folds from +inf / -inf; -0.0 is below +0.0.
std::tuple<double, double> fold_min_max(std::span<const double> s) {
    double lo = Inf, hi = -Inf;
    for (double x : s) {
        lo = min_signed_zero(lo, x);
        hi = max_signed_zero(hi, x);
    }
    return {lo, hi};
}

double mean_inner(std::span<const double> s) {
    if (s.empty()) return NaN;
    return sum_in_order(s) / count_d(s.size());
}

double variance_inner(std::span<const double> s, std::uint64_t ddof) {
    const std::size_t n = s.size();
    if (static_cast<std::uint64_t>(n) <= ddof) return NaN;
    const double m = sum_in_order(s) / count_d(n);
    return central_sum2(s, m) / static_cast<double>(static_cast<std::uint64_t>(n) - ddof);
}

double std_dev(std::span<const double> s, std::uint64_t ddof) {
    return std::sqrt(variance_inner(s, ddof));
}

double rms_inner(std::span<const double> s) {
    if (s.empty()) return NaN;
    return std::sqrt(sum_squares(s) / count_d(s.size()));
}

double peak_to_peak_inner(std::span<const double> s) {
    if (s.empty()) return NaN;
    const auto [lo, hi] = fold_min_max(s);
    return hi - lo;
}

// Standardised central moment sum: sum over z = (x - m) / sd of term(z),
// divided by n; NaN when the population variance is exactly zero.
template <typename Term>
double standardised_moment(std::span<const double> s, Term term) {
    const double n = count_d(s.size());
    const double m = sum_in_order(s) / n;
    const double m2 = central_sum2(s, m) / n;
    if (m2 == 0.0) return NaN;
    const double sd = std::sqrt(m2);
    double acc = -0.0;
    for (double x : s) acc += term((x - m) / sd);
    return acc / n;
}

double skewness_inner(std::span<const double> s) {
    if (s.size() < 3) return NaN;
    return standardised_moment(s, [](double z) { return z * (z * z); });
}

double kurtosis_inner(std::span<const double> s, bool fisher) {
    if (s.size() < 4) return NaN;
    const double k = standardised_moment(s, [](double z) { return (z * z) * (z * z); });
    return fisher ? k + (-3.0) : k;
}

double crest_factor_inner(std::span<const double> s) {
    if (s.empty()) return NaN;
    const double ms = sum_squares(s) / count_d(s.size());
    if (ms == 0.0) return NaN;
    double peak = 0.0;
    for (double x : s) {
        const double a = std::fabs(x);
        if (a > peak) peak = a;
    }
    return peak / std::sqrt(ms);
}

double pulsation_index_inner(std::span<const double> s) {
    if (s.empty()) return NaN;
    const double m = sum_in_order(s) / count_d(s.size());
    if (m == 0.0) return NaN;
    const auto [lo, hi] = fold_min_max(s);
    return (hi - lo) / std::fabs(m);
}

// ------------------------------------------------------------------ crossings

std::uint64_t zero_crossings_inner(std::span<const double> s) {
    std::uint64_t count = 0;
    for (std::size_t i = 1; i < s.size(); ++i)
        count += static_cast<std::uint64_t>((s[i - 1] >= 0.0) != (s[i] >= 0.0));
    return count;
}

std::uint64_t mean_crossings_inner(std::span<const double> s) {
    if (s.size() < 2) return 0;
    const double m = sum_in_order(s) / count_d(s.size());
    std::uint64_t count = 0;
    bool prev = s[0] - m >= 0.0;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const bool cur = s[i] - m >= 0.0;
        count += static_cast<std::uint64_t>(prev != cur);
        prev = cur;
    }
    return count;
}

// ------------------------------------------------------------------ percentiles

constexpr std::uint64_t kSignBit = 0x8000000000000000ull;

// Unsigned key whose integer order is the numeric order of finite doubles.
// -0.0 gets the key of +0.0, so zeros of either sign tie as they do under `<`.
inline std::uint64_t order_key(double x) {
    std::uint64_t u = std::bit_cast<std::uint64_t>(x);
    if (u == kSignBit) u = 0;
    return (u & kSignBit) ? ~u : (u | kSignBit);
}

inline double key_value(std::uint64_t k) {
    return std::bit_cast<double>((k & kSignBit) ? (k & ~kSignBit) : ~k);
}

constexpr int kDigitBits = 11;
constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
constexpr std::size_t kDigitMask = kBuckets - 1;
constexpr std::size_t kSmallSelect = 256;

// Writes to out[i] the key of ascending rank pos[i] among `keys` (pos
// ascending, every rank below keys.size()); reorders `keys`. Radix
// selection from the most significant digit: each level keeps only the
// buckets that hold a wanted rank, so the work shrinks quickly and never
// depends on comparisons of the values themselves.
void select_ranks(std::span<std::uint64_t> keys, std::span<const std::size_t> pos,
                  std::uint64_t* out, int shift) {
    for (;;) {
        const std::size_t n = keys.size();
        if (n <= kSmallSelect) {
            std::sort(keys.begin(), keys.end());
            for (std::size_t i = 0; i < pos.size(); ++i) out[i] = at(keys, pos[i]);
            return;
        }
        if (shift < 0) {  // every digit consumed: the keys are all equal
            for (std::size_t i = 0; i < pos.size(); ++i) out[i] = keys[0];
            return;
        }
        std::array<std::size_t, kBuckets> count{};
        for (std::uint64_t k : keys) ++count[(k >> shift) & kDigitMask];
        const int next = shift >= kDigitBits ? shift - kDigitBits : (shift > 0 ? 0 : -1);
        const std::size_t first_bucket = (keys[0] >> shift) & kDigitMask;
        if (count[first_bucket] == n) {  // one bucket holds every key
            shift = next;
            continue;
        }

        // The bucket of each wanted rank and its rank inside that bucket.
        struct Group {
            std::size_t bucket, pos_begin, pos_end, offset;
        };
        std::vector<Group> groups;
        std::vector<std::size_t> rel(pos.size());
        std::size_t b = 0, start = 0;
        for (std::size_t i = 0; i < pos.size(); ++i) {
            while (start + count[b] <= pos[i]) start += count[b++];
            rel[i] = pos[i] - start;
            if (groups.empty() || groups.back().bucket != b)
                groups.push_back({b, i, i + 1, 0});
            else
                groups.back().pos_end = i + 1;
        }

        if (groups.size() == 1) {  // compact the one bucket in place
            const std::size_t bucket = groups[0].bucket;
            std::size_t w = 0;
            for (std::size_t i = 0; i < n; ++i)
                if (((keys[i] >> shift) & kDigitMask) == bucket) keys[w++] = keys[i];
            keys = keys.first(w);
            select_ranks(keys, rel, out, next);
            return;
        }

        // Several buckets: gather them, grouped by bucket, and descend into each.
        std::array<std::int32_t, kBuckets> slot;
        slot.fill(-1);
        std::vector<std::size_t> fill_at(groups.size());
        std::size_t total = 0;
        for (std::size_t g = 0; g < groups.size(); ++g) {
            slot[groups[g].bucket] = static_cast<std::int32_t>(g);
            groups[g].offset = fill_at[g] = total;
            total += count[groups[g].bucket];
        }
        std::vector<std::uint64_t> gathered(total);
        for (std::uint64_t k : keys) {
            const std::int32_t s = slot[(k >> shift) & kDigitMask];
            if (s >= 0) gathered[fill_at[static_cast<std::size_t>(s)]++] = k;
        }
        for (const Group& g : groups) {
            select_ranks(std::span(gathered).subspan(g.offset, count[g.bucket]),
                         std::span<const std::size_t>(rel).subspan(g.pos_begin, g.pos_end - g.pos_begin),
                         out + g.pos_begin, next);
        }
        return;
    }
}

// Linearly interpolated percentiles of the finite samples s. The order
// statistics are those of a stable ascending sort, in which -0.0 and +0.0
// keep their array order; an entry of q outside [0, 100], NaN included,
// gives NaN.
std::vector<double> percentiles_inner(std::span<const double> s, const std::vector<double>& q) {
    std::vector<double> out(q.size(), NaN);
    const std::size_t n = s.size();
    if (n == 0) return out;

    const double last = count_d(n - 1);
    struct Slot {
        std::size_t lo = 0, hi = 0;
        double pos = 0.0;
    };
    std::vector<Slot> slots(q.size());
    std::vector<std::size_t> wanted;
    wanted.reserve(2 * q.size());
    for (std::size_t j = 0; j < q.size(); ++j) {
        if (!(q[j] >= 0.0 && q[j] <= 100.0)) continue;
        // q / 100 <= 1 exactly, so pos <= n - 1 and lo stays in range.
        const double pos = (q[j] / 100.0) * last;
        const std::size_t lo = std::min<std::uint64_t>(to_u64_sat(std::floor(pos)), n - 1);
        const std::size_t hi = std::min(n - 1, lo + 1);
        slots[j] = {lo, hi, pos};
        wanted.push_back(lo);
        wanted.push_back(hi);
    }
    if (wanted.empty()) return out;
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());

    // Zeros of either sign tie; a stable sort keeps them in array order
    // right after the negative values, so record their signs in that order.
    check_capacity(n);
    std::vector<std::uint64_t> keys(n);
    std::size_t negatives = 0;
    std::vector<unsigned char> zero_is_negative;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = s[i];
        keys[i] = order_key(x);
        negatives += static_cast<std::size_t>(x < 0.0);
        if (x == 0.0) zero_is_negative.push_back(std::signbit(x) ? 1 : 0);
    }
    std::vector<std::uint64_t> picked(wanted.size());
    select_ranks(keys, wanted, picked.data(), 64 - kDigitBits);

    auto sorted_at = [&](std::size_t p) {
        const std::size_t idx = static_cast<std::size_t>(
            std::lower_bound(wanted.begin(), wanted.end(), p) - wanted.begin());
        const double v = key_value(at(picked, idx));
        if (v != 0.0) return v;
        return at(zero_is_negative, p - negatives) ? -0.0 : 0.0;
    };
    for (std::size_t j = 0; j < q.size(); ++j) {
        if (!(q[j] >= 0.0 && q[j] <= 100.0)) continue;
        const Slot& sl = slots[j];
        const double frac = sl.pos - static_cast<double>(sl.lo);
        out[j] = (1.0 - frac) * sorted_at(sl.lo) + frac * sorted_at(sl.hi);
    }
    return out;
}

// ------------------------------------------------------------------ derivatives

// Central-difference first derivative with one-sided ends; v.size() >= 2.
// Interior entries divide by the sum dt + dt.
void central_gradient(std::span<const double> v, double dt, double* __restrict__ g) {
    const std::size_t k = v.size();
    const double* __restrict__ x = v.data();
    const double two_dt = dt + dt;
    g[0] = (x[1] - x[0]) / dt;
    for (std::size_t i = 1; i + 1 < k; ++i) g[i] = (x[i + 1] - x[i - 1]) / two_dt;
    g[k - 1] = (x[k - 1] - x[k - 2]) / dt;
}

std::vector<double> central_gradient(std::span<const double> v, double dt) {
    std::vector<double> g(v.size());
    central_gradient(v, dt, g.data());
    return g;
}

// Second difference at interior index i over dt*dt.
inline double second_difference(const double* x, std::size_t i, double dt2) {
    return (x[i - 1] + (x[i + 1] - (x[i] + x[i]))) / dt2;
}

// The second-difference stencil of x (n >= 3), ends copied from neighbours.
std::vector<double> second_difference_stencil(std::span<const double> v, double dt) {
    const std::size_t n = v.size();
    const double* x = v.data();
    const double dt2 = dt * dt;
    std::vector<double> out(n);
    for (std::size_t i = 1; i + 1 < n; ++i) out[i] = second_difference(x, i, dt2);
    out[0] = out[1];
    out[n - 1] = out[n - 2];
    return out;
}

std::vector<double> gradient_inner(std::span<const double> x, double dt) {
    if (x.size() < 2) return {NaN};
    return central_gradient(x, dt);
}

std::vector<double> jerk_inner(std::span<const double> x, double dt) {
    const std::size_t n = x.size();
    if (n < 4) return nan_vec(n);
    std::vector<double> a(n), b(n);
    central_gradient(x, dt, a.data());
    central_gradient(a, dt, b.data());
    central_gradient(b, dt, a.data());
    return a;
}

std::vector<double> derivative_inner(std::span<const double> x, double dt) {
    const std::size_t n = x.size();
    if (n < 2) return {NaN};
    std::vector<double> d(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i) d[i] = (x[i + 1] - x[i]) / dt;
    return d;
}

std::vector<double> rate_of_change_inner(std::span<const double> x) {
    const std::size_t n = x.size();
    if (n < 2) return {NaN};
    std::vector<double> r(n - 1);
    for (std::size_t i = 0; i + 1 < n; ++i)
        r[i] = x[i] == 0.0 ? NaN : (x[i + 1] - x[i]) / std::fabs(x[i]);
    return r;
}

std::vector<double> integral_inner(std::span<const double> x, double dt) {
    const std::size_t n = x.size();
    if (n < 2) return {0.0};
    std::vector<double> out(n);
    out[0] = 0.0;
    double acc = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        acc += dt * ((x[i] + x[i - 1]) * 0.5);
        out[i] = acc;
    }
    return out;
}

std::vector<double> curvature_inner(std::span<const double> v, double dt) {
    const std::size_t n = v.size();
    if (n < 3) return {NaN};
    const double* x = v.data();
    const double dt2 = dt * dt;
    const double two_dt = dt + dt;
    std::vector<double> out(n);
    auto kappa = [](double s2, double d1) { return std::fabs(s2) / std::pow(d1 * d1 + 1.0, 1.5); };
    out[0] = kappa(second_difference(x, 1, dt2), (x[1] - x[0]) / dt);
    for (std::size_t i = 1; i + 1 < n; ++i)
        out[i] = kappa(second_difference(x, i, dt2), (x[i + 1] - x[i - 1]) / two_dt);
    out[n - 1] = kappa(second_difference(x, n - 2, dt2), (x[n - 1] - x[n - 2]) / dt);
    return out;
}

std::vector<double> first_derivative_inner(std::span<const double> x, double dt,
                                           std::string_view method) {
    const std::size_t n = x.size();
    if (n < 2) return {NaN};
    if (method == "forward") {
        std::vector<double> out(n);
        for (std::size_t i = 0; i + 1 < n; ++i) out[i] = (x[i + 1] - x[i]) / dt;
        out[n - 1] = out[n - 2];
        return out;
    }
    if (method == "backward") {
        std::vector<double> out(n);
        for (std::size_t i = 1; i < n; ++i) out[i] = (x[i] - x[i - 1]) / dt;
        out[0] = out[1];
        return out;
    }
    return central_gradient(x, dt);
}

std::vector<double> second_derivative_inner(std::span<const double> x, double dt,
                                            std::string_view method) {
    const std::size_t n = x.size();
    if (n < 3) return nan_vec(n);
    if (method == "finite_difference") return second_difference_stencil(x, dt);
    std::vector<double> g1(n), g2(n);
    central_gradient(x, dt, g1.data());
    central_gradient(g1, dt, g2.data());
    return g2;
}

// Order-k forward difference of the samples (each pass divided by dt),
// padded to the input length by repeating its last entry. With k >= n no
// entry exists and the result is all NaN; at most n - 1 passes run.
std::vector<double> finite_difference_inner(std::span<const double> x, std::uint64_t order,
                                            double dt) {
    const std::size_t n = x.size();
    if (order == 0) return std::vector<double>(x.begin(), x.end());
    if (order >= static_cast<std::uint64_t>(n)) return nan_vec(n);
    std::vector<double> v(x.begin(), x.end());
    double* d = v.data();
    std::size_t len = n;
    for (std::uint64_t pass = 0; pass < order; ++pass) {
        for (std::size_t i = 0; i + 1 < len; ++i) d[i] = (d[i + 1] - d[i]) / dt;
        --len;
    }
    std::fill(v.begin() + static_cast<std::ptrdiff_t>(len), v.end(), v[len - 1]);
    return v;
}

// ------------------------------------------------------------------ wrappers

double mean_py(SignalView signal) { return mean_inner(FiniteSamples(signal).span()); }

double std_py(SignalView signal, std::uint64_t ddof) {
    return std_dev(FiniteSamples(signal).span(), ddof);
}

double variance_py(SignalView signal, std::uint64_t ddof) {
    return variance_inner(FiniteSamples(signal).span(), ddof);
}

std::tuple<double, double> min_max_py(SignalView signal) {
    const FiniteSamples fs(signal);
    if (fs.span().empty()) return {NaN, NaN};
    return fold_min_max(fs.span());
}

double rms_py(SignalView signal) { return rms_inner(FiniteSamples(signal).span()); }

double peak_to_peak_py(SignalView signal) {
    return peak_to_peak_inner(FiniteSamples(signal).span());
}

double skewness_py(SignalView signal) { return skewness_inner(FiniteSamples(signal).span()); }

double kurtosis_py(SignalView signal, bool fisher) {
    return kurtosis_inner(FiniteSamples(signal).span(), fisher);
}

double crest_factor_py(SignalView signal) {
    return crest_factor_inner(FiniteSamples(signal).span());
}

double pulsation_index_py(SignalView signal) {
    return pulsation_index_inner(FiniteSamples(signal).span());
}

Array1 derivative_py(SignalView signal, double dt) {
    return {derivative_inner(RawSamples(signal).span(), dt)};
}

Array1 integral_py(SignalView signal, double dt) {
    return {integral_inner(RawSamples(signal).span(), dt)};
}

Array1 curvature_py(SignalView signal, double dt) {
    return {curvature_inner(RawSamples(signal).span(), dt)};
}

Array1 rate_of_change_py(SignalView signal) {
    return {rate_of_change_inner(RawSamples(signal).span())};
}

std::uint64_t zero_crossings_py(SignalView signal) {
    return zero_crossings_inner(FiniteSamples(signal).span());
}

std::uint64_t mean_crossings_py(SignalView signal) {
    return mean_crossings_inner(FiniteSamples(signal).span());
}

FloatList percentiles_py(SignalView signal, const FloatSeq& q) {
    return {percentiles_inner(FiniteSamples(signal).span(), q.values)};
}

Array1 first_derivative_py(SignalView signal, double dt, std::string_view method) {
    return {first_derivative_inner(RawSamples(signal).span(), dt, method)};
}

Array1 second_derivative_py(SignalView signal, double dt, std::string_view method) {
    return {second_derivative_inner(RawSamples(signal).span(), dt, method)};
}

Array1 gradient_py(SignalView signal, double dt) {
    return {gradient_inner(RawSamples(signal).span(), dt)};
}

Array1 finite_difference_py(SignalView signal, std::uint64_t order, double dt) {
    return {finite_difference_inner(RawSamples(signal).span(), order, dt)};
}

Array1 jerk_py(SignalView signal, double dt) { return {jerk_inner(RawSamples(signal).span(), dt)}; }

const PyMethodDef defs[] = {
    NUVRA_DEF(mean_py, "mean", "mean(signal)\n--\n\nCompute mean.", "signal"),
    NUVRA_DEF(std_py, "std", "std(signal, ddof)\n--\n\nCompute standard deviation.", "signal",
              "ddof"),
    NUVRA_DEF(variance_py, "variance", "variance(signal, ddof)\n--\n\nCompute variance.", "signal",
              "ddof"),
    NUVRA_DEF(min_max_py, "min_max", "min_max(signal)\n--\n\nCompute min and max.", "signal"),
    NUVRA_DEF(rms_py, "rms", "rms(signal)\n--\n\nCompute RMS.", "signal"),
    NUVRA_DEF(peak_to_peak_py, "peak_to_peak", "peak_to_peak(signal)\n--\n\nCompute peak-to-peak.",
              "signal"),
    NUVRA_DEF(skewness_py, "skewness", "skewness(signal)\n--\n\nCompute skewness.", "signal"),
    NUVRA_DEF(kurtosis_py, "kurtosis", "kurtosis(signal, fisher)\n--\n\nCompute kurtosis.",
              "signal", "fisher"),
    NUVRA_DEF(crest_factor_py, "crest_factor", "crest_factor(signal)\n--\n\nCompute crest factor.",
              "signal"),
    NUVRA_DEF(pulsation_index_py, "pulsation_index",
              "pulsation_index(signal)\n--\n\nCompute pulsation index.", "signal"),
    NUVRA_DEF(derivative_py, "derivative", "derivative(signal, dt)\n--\n\nCompute derivative.",
              "signal", "dt"),
    NUVRA_DEF(integral_py, "integral",
              "integral(signal, dt)\n--\n\nCompute integral (trapezoidal).", "signal", "dt"),
    NUVRA_DEF(curvature_py, "curvature", "curvature(signal, dt)\n--\n\nCompute curvature.",
              "signal", "dt"),
    NUVRA_DEF(rate_of_change_py, "rate_of_change",
              "rate_of_change(signal)\n--\n\nCompute rate of change.", "signal"),
    NUVRA_DEF(zero_crossings_py, "zero_crossings",
              "zero_crossings(signal)\n--\n\nCount zero crossings.", "signal"),
    NUVRA_DEF(mean_crossings_py, "mean_crossings",
              "mean_crossings(signal)\n--\n\nCount mean crossings.", "signal"),
    NUVRA_DEF(percentiles_py, "percentiles", "percentiles(signal, q)\n--\n\nCompute percentiles.",
              "signal", "q"),
    NUVRA_DEF(first_derivative_py, "first_derivative",
              "first_derivative(signal, dt, method)\n--\n\nCompute first derivative.", "signal",
              "dt", "method"),
    NUVRA_DEF(second_derivative_py, "second_derivative",
              "second_derivative(signal, dt, method)\n--\n\nCompute second derivative.", "signal",
              "dt", "method"),
    NUVRA_DEF(gradient_py, "gradient", "gradient(signal, dt)\n--\n\nCompute gradient.", "signal",
              "dt"),
    NUVRA_DEF(finite_difference_py, "finite_difference",
              "finite_difference(signal, order, dt)\n--\n\nCompute finite difference.", "signal",
              "order", "dt"),
    NUVRA_DEF(jerk_py, "jerk", "jerk(signal, dt)\n--\n\nCompute jerk (third derivative).",
              "signal", "dt"),
};

}  // namespace

namespace family {
FunctionTable statistics() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
