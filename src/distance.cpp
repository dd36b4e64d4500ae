// Distances between two signals: pointwise (Euclidean, Manhattan, cosine)
// over the index positions where both samples are finite, dynamic time
// warping and earth mover's distance over each signal's finite samples.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/samples.hpp"
#include "module_frame/simd.hpp"

namespace nuvra {
namespace {

// ------------------------------------------------------------------ pointwise
//
// One pass over both raw views: a pair with a non-finite side contributes
// -0.0 to each sum, which leaves every accumulator exactly as skipping the
// pair would. Terms and masks run four lanes wide; each sum adds its terms
// one at a time in index order from -0.0.

using simd::v4d;
using simd::v4i;

inline bool finite_pair(double a, double b) { return a - a == 0.0 && b - b == 0.0; }

enum class PairSum { Squares, Absolute, Cosine };

struct PairSums {
    double s0 = -0.0, s1 = -0.0, s2 = -0.0;  // the sum(s) of the kind
    std::uint64_t count = 0;                 // finite pairs
};

template <PairSum Kind>
NUVRA_INLINE PairSums pair_sums_body(const double* x, const double* y, std::size_t n) {
    const v4d nz = simd::splat(-0.0);
    double s0 = -0.0, s1 = -0.0, s2 = -0.0;
    v4i cnt = {0, 0, 0, 0};
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const v4d a = simd::load(x + i), b = simd::load(y + i);
        const v4i f = simd::finite_mask(a) & simd::finite_mask(b);
        cnt += f;
        if constexpr (Kind == PairSum::Squares) {
            const v4d d = a - b;
            s0 = simd::add_in_order(s0, simd::select(f, d * d, nz));
        } else if constexpr (Kind == PairSum::Absolute) {
            const v4d d = simd::from_bits(simd::bits(a - b) & 0x7fffffffffffffffll);
            s0 = simd::add_in_order(s0, simd::select(f, d, nz));
        } else {
            s0 = simd::add_in_order(s0, simd::select(f, a * b, nz));
            s1 = simd::add_in_order(s1, simd::select(f, a * a, nz));
            s2 = simd::add_in_order(s2, simd::select(f, b * b, nz));
        }
    }
    PairSums r;
    r.count = simd::lane_count(cnt);
    for (; i < n; ++i) {
        const double a = x[i], b = y[i];
        if (!finite_pair(a, b)) continue;
        ++r.count;
        if constexpr (Kind == PairSum::Squares) {
            const double d = a - b;
            s0 += d * d;
        } else if constexpr (Kind == PairSum::Absolute) {
            s0 += std::fabs(a - b);
        } else {
            s0 += a * b;
            s1 += a * a;
            s2 += b * b;
        }
    }
    r.s0 = s0;
    r.s1 = s1;
    r.s2 = s2;
    return r;
}

NUVRA_MULTIVERSION PairSums pair_squares(const double* x, const double* y, std::size_t n) {
    return pair_sums_body<PairSum::Squares>(x, y, n);
}
NUVRA_MULTIVERSION PairSums pair_absolute(const double* x, const double* y, std::size_t n) {
    return pair_sums_body<PairSum::Absolute>(x, y, n);
}
NUVRA_MULTIVERSION PairSums pair_cosine(const double* x, const double* y, std::size_t n) {
    return pair_sums_body<PairSum::Cosine>(x, y, n);
}

double euclidean_distance_inner(std::span<const double> x, std::span<const double> y) {
    if (x.size() != y.size()) return NaN;
    const PairSums r = pair_squares(x.data(), y.data(), x.size());
    return r.count == 0 ? NaN : std::sqrt(r.s0);
}

double manhattan_distance_inner(std::span<const double> x, std::span<const double> y) {
    if (x.size() != y.size()) return NaN;
    const PairSums r = pair_absolute(x.data(), y.data(), x.size());
    return r.count == 0 ? NaN : r.s0;
}

// Cosine of the angle between the finite pairs, clamped to [-1, 1]; NaN
// when either side's sum of squares is zero. The three sums are separate
// accumulators, each in index order from -0.0, filled in one pass.
double cosine_similarity_inner(std::span<const double> x, std::span<const double> y) {
    if (x.size() != y.size()) return NaN;
    const PairSums r = pair_cosine(x.data(), y.data(), x.size());
    const double dot = r.s0, sxx = r.s1, syy = r.s2;
    if (sxx == 0.0 || syy == 0.0) return NaN;
    double c = dot / (std::sqrt(sxx) * std::sqrt(syy));
    if (c < -1.0) c = -1.0;
    if (c > 1.0) c = 1.0;
    return c;
}

// ------------------------------------------------------------------ DTW

// Dynamic time warping cost with an optional band |i - j| <= window
// (window < 0: no band). Only two rows of the (n+1) x (m+1) cost table are
// kept; each cell is computed exactly as in the full table, and every cell a
// row reads from the previous one is either computed or set to +inf.
double dtw_distance_inner(std::span<const double> x, std::span<const double> y,
                          std::int64_t window) {
    const std::size_t n = x.size(), m = y.size();
    if (n == 0 || m == 0) return NaN;
    const bool banded = window >= 0;
    const std::uint64_t w = banded ? static_cast<std::uint64_t>(window) : 0;
    // The last row's band must reach column m; n <= m + w without overflow.
    if (banded && n > m && static_cast<std::uint64_t>(n - m) > w) return Inf;
    if (banded && m > n && static_cast<std::uint64_t>(m - n) > w) return Inf;

    check_capacity(m + 1);
    std::vector<double> prev_row(m + 1, Inf), cur_row(m + 1, Inf);
    prev_row[0] = 0.0;
    double* prev = prev_row.data();
    double* cur = cur_row.data();
    const double* yd = y.data();
    InterruptPoll poll;

    for (std::size_t i = 1; i <= n; ++i) {
        std::size_t lo = 1, hi = m;
        if (banded) {
            // i and w are both below 2^63, so neither expression wraps.
            if (i > w) lo = std::max<std::uint64_t>(1, i - w);
            hi = std::min<std::uint64_t>(m, static_cast<std::uint64_t>(i) + w);
        }
        // lo <= hi holds here: lo <= m since n - w <= m, and hi >= 1.
        poll(hi - lo + 1);
        cur[lo - 1] = Inf;
        if (hi < m) cur[hi + 1] = Inf;
        const double xi = x[i - 1];
        double left = Inf;  // cur[lo - 1]
        for (std::size_t j = lo; j <= hi; ++j) {
            // No operand is NaN and no -0.0 occurs (costs of finite values,
            // a table of +inf and +0.0), so plain comparisons give the minNum
            // of the three neighbours exactly, in any grouping; the two from
            // the previous row are combined first, off the dependency chain.
            const double diag_up = prev[j] < prev[j - 1] ? prev[j] : prev[j - 1];
            const double cost = std::fabs(xi - yd[j - 1]);
            left = cost + (diag_up < left ? diag_up : left);
            cur[j] = left;
        }
        std::swap(prev, cur);
    }
    return prev[m];
}

// ------------------------------------------------------------------ EMD

// The N-point linear resampling of the ascending list s (len >= 1, N >= 1).
std::vector<double> quantile_resample(std::span<const double> s, std::size_t N,
                                      InterruptPoll& poll) {
    const std::size_t len = s.size();
    check_capacity(N);
    if (len == 1) return std::vector<double>(N, s[0]);
    const double d = static_cast<double>(N >= 2 ? N - 1 : 1);
    const double span_len = static_cast<double>(len - 1);
    std::vector<double> out(N);
    for (std::size_t k = 0; k < N; ++k) {
        if ((k & 0xffff) == 0) poll(0x10000);
        // k / d <= 1 exactly, so pos <= len - 1 and lo stays in range.
        const double pos = (static_cast<double>(k) / d) * span_len;
        const std::size_t lo = std::min<std::uint64_t>(to_u64_sat(std::floor(pos)), len - 1);
        const std::size_t hi = std::min(len - 1, lo + 1);
        const double f = pos - static_cast<double>(lo);
        out[k] = (1.0 - f) * s[lo] + f * s[hi];
    }
    return out;
}

constexpr std::uint64_t kSignBit = 0x8000000000000000ull;

// Unsigned key whose integer order is the numeric order of finite doubles
// (-0.0 just below +0.0); the mapping is a bijection, so values come back
// bit for bit.
inline std::uint64_t order_key(double x) {
    const std::uint64_t u = std::bit_cast<std::uint64_t>(x);
    return (u & kSignBit) ? ~u : (u | kSignBit);
}

inline double key_value(std::uint64_t k) {
    return std::bit_cast<double>((k & kSignBit) ? (k & ~kSignBit) : ~k);
}

// Ascending sort of finite values: LSD radix sort on the order keys (eight
// byte digits, a digit shared by all keys skipped), std::sort for short
// lists. The values are finite, so `<` is a strict weak order on them.
void sort_finite(std::vector<double>& v, InterruptPoll& poll) {
    constexpr int kDigitBits = 8, kPasses = 8;
    constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits, kMask = kBuckets - 1;
    const std::size_t n = v.size();
    if (n <= 512) {
        std::sort(v.begin(), v.end());
        return;
    }
    std::vector<std::uint64_t> a(n), b(n);
    std::vector<std::array<std::size_t, kBuckets>> count(kPasses);
    for (auto& c : count) c.fill(0);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = order_key(v[i]);
        a[i] = k;
        for (int p = 0; p < kPasses; ++p) ++count[p][(k >> (p * kDigitBits)) & kMask];
    }
    poll(n);
    for (int p = 0; p < kPasses; ++p) {
        poll(n);
        const int shift = p * kDigitBits;
        auto& c = count[p];
        if (c[(a[0] >> shift) & kMask] == n) continue;
        std::size_t acc = 0;
        for (auto& slot : c) {
            const std::size_t here = slot;
            slot = acc;
            acc += here;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t k = a[i];
            b[c[(k >> shift) & kMask]++] = k;
        }
        a.swap(b);
    }
    for (std::size_t i = 0; i < n; ++i) v[i] = key_value(a[i]);
}

// Mean absolute difference of the two samples' quantiles at N = max(n, m)
// points. The values are finite, so `<` is a strict weak order on them.
double earth_movers_distance_inner(std::vector<double> xs, std::vector<double> ys) {
    if (xs.empty() || ys.empty()) return NaN;
    InterruptPoll poll;
    sort_finite(xs, poll);
    sort_finite(ys, poll);
    const std::size_t N = std::max(xs.size(), ys.size());
    const std::vector<double> qx = quantile_resample(xs, N, poll);
    const std::vector<double> qy = quantile_resample(ys, N, poll);
    double acc = -0.0;
    for (std::size_t k = 0; k < N; ++k) acc += std::fabs(qx[k] - qy[k]);
    return acc / static_cast<double>(N);
}

// ------------------------------------------------------------------ wrappers

double euclidean_distance_py(SignalView x, SignalView y) {
    if (x.size() != y.size()) return NaN;
    return euclidean_distance_inner(RawSamples(x).span(), RawSamples(y).span());
}

double cosine_distance_py(SignalView x, SignalView y) {
    if (x.size() != y.size()) return NaN;
    return 1.0 - cosine_similarity_inner(RawSamples(x).span(), RawSamples(y).span());
}

double manhattan_distance_py(SignalView x, SignalView y) {
    if (x.size() != y.size()) return NaN;
    return manhattan_distance_inner(RawSamples(x).span(), RawSamples(y).span());
}

double dtw_distance_py(SignalView x, SignalView y, std::int64_t window) {
    return dtw_distance_inner(FiniteSamples(x).span(), FiniteSamples(y).span(), window);
}

double earth_movers_distance_py(SignalView x, SignalView y) {
    return earth_movers_distance_inner(collect_finite(x), collect_finite(y));
}

double cosine_similarity_py(SignalView x, SignalView y) {
    if (x.size() != y.size()) return NaN;
    return cosine_similarity_inner(RawSamples(x).span(), RawSamples(y).span());
}

const PyMethodDef defs[] = {
    NUVRA_DEF(euclidean_distance_py, "euclidean_distance",
              "euclidean_distance(x, y)\n--\n\nCompute Euclidean (L2) distance between two "
              "signals.",
              "x", "y"),
    NUVRA_DEF(cosine_distance_py, "cosine_distance",
              "cosine_distance(x, y)\n--\n\nCompute cosine distance between two signals.", "x",
              "y"),
    NUVRA_DEF(manhattan_distance_py, "manhattan_distance",
              "manhattan_distance(x, y)\n--\n\nCompute Manhattan (L1) distance between two "
              "signals.",
              "x", "y"),
    NUVRA_DEF(dtw_distance_py, "dtw_distance",
              "dtw_distance(x, y, window)\n--\n\nCompute DTW distance between two signals.", "x",
              "y", "window"),
    NUVRA_DEF(earth_movers_distance_py, "earth_movers_distance",
              "earth_movers_distance(x, y)\n--\n\nCompute Earth Mover's Distance between "
              "distributions.",
              "x", "y"),
    NUVRA_DEF(cosine_similarity_py, "cosine_similarity",
              "cosine_similarity(x, y)\n--\n\nCompute cosine similarity between two vectors.", "x",
              "y"),
};

}  // namespace

namespace family {
FunctionTable distance() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
