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
#include <cstring>
#include <cstdint>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/buffers.hpp"
#include "module_frame/samples.hpp"
#include "module_frame/simd.hpp"

namespace nuvra {
namespace {

// ------------------------------------------------------------------ moments
//
// The summary statistics read the raw samples once per sum and fold the
// finite filter into the same pass: a non-finite sample contributes -0.0 to
// a sum, which leaves every accumulator (including -0.0 itself, infinities
// and NaN) exactly as skipping it would, +inf to a minimum and -inf to a
// maximum. The terms, masks and folds run four lanes wide; each sum takes
// its terms one at a time in index order, so it is the same sum as over the
// finite samples alone.

using simd::v4d;
using simd::v4i;

inline double count_d(std::size_t n) { return static_cast<double>(n); }

inline bool is_finite(double x) { return x - x == 0.0; }

// What one pass over the raw samples gathered about the finite ones.
struct Scan {
    double sum = -0.0;    // in index order from -0.0
    double sumsq = -0.0;  // of x*x, in index order from -0.0
    std::uint64_t count = 0;
    double lo = Inf, hi = -Inf;  // folds in which -0.0 is below +0.0
    double peak = 0.0;           // largest |x|, from +0.0
};

template <bool Sum, bool SumSq, bool MinMax, bool Peak>
NUVRA_INLINE Scan scan_body(const double* x, std::size_t n) {
    const v4d nz = simd::splat(-0.0), pinf = simd::splat(Inf), ninf = simd::splat(-Inf);
    double sum = -0.0, sumsq = -0.0;
    v4i cnt = {0, 0, 0, 0};
    v4d lo = pinf, hi = ninf, pk = simd::splat(0.0);
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const v4d v = simd::load(x + i);
        const v4i f = simd::finite_mask(v);
        cnt += f;
        if constexpr (Sum) sum = simd::add_in_order(sum, simd::select(f, v, nz));
        if constexpr (SumSq) sumsq = simd::add_in_order(sumsq, simd::select(f, v * v, nz));
        if constexpr (MinMax) {
            lo = simd::min_sz(lo, simd::select(f, v, pinf));
            hi = simd::max_sz(hi, simd::select(f, v, ninf));
        }
        if constexpr (Peak) {
            const v4d a = simd::from_bits(simd::bits(v) & 0x7fffffffffffffffll);
            const v4d t = simd::select(f, a, simd::splat(0.0));
            pk = t > pk ? t : pk;
        }
    }
    Scan r;
    r.count = simd::lane_count(cnt);
    double plo = Inf, phi = -Inf, ppk = 0.0;
    for (int l = 0; l < 4; ++l) {
        plo = min_signed_zero(plo, lo[l]);
        phi = max_signed_zero(phi, hi[l]);
        if (pk[l] > ppk) ppk = pk[l];
    }
    for (; i < n; ++i) {
        const double v = x[i];
        if (!is_finite(v)) continue;
        ++r.count;
        if constexpr (Sum) sum += v;
        if constexpr (SumSq) sumsq += v * v;
        if constexpr (MinMax) {
            plo = min_signed_zero(plo, v);
            phi = max_signed_zero(phi, v);
        }
        if constexpr (Peak) {
            if (std::fabs(v) > ppk) ppk = std::fabs(v);
        }
    }
    r.sum = sum;
    r.sumsq = sumsq;
    r.lo = plo;
    r.hi = phi;
    r.peak = ppk;
    return r;
}

NUVRA_MULTIVERSION Scan scan_sum(const double* x, std::size_t n) {
    return scan_body<true, false, false, false>(x, n);
}
NUVRA_MULTIVERSION Scan scan_sumsq(const double* x, std::size_t n) {
    return scan_body<false, true, false, false>(x, n);
}
NUVRA_MULTIVERSION Scan scan_min_max(const double* x, std::size_t n) {
    return scan_body<false, false, true, false>(x, n);
}
NUVRA_MULTIVERSION Scan scan_sumsq_peak(const double* x, std::size_t n) {
    return scan_body<false, true, false, true>(x, n);
}
NUVRA_MULTIVERSION Scan scan_sum_min_max(const double* x, std::size_t n) {
    return scan_body<true, false, true, false>(x, n);
}

// Minimum and maximum by plain lane folds, when that settles them. The
// folds `x < lo ? x : lo` and `x > hi ? x : hi` pass over NaN (the
// accumulator is kept) but not over infinities, and on equal zeros keep
// whichever came first; so the result stands only when neither fold met an
// infinity, and a zero result gets its sign from a second look at the
// zeros: the minimum is -0.0 when any -0.0 is present, the maximum +0.0
// when any +0.0 is. Returns false when an infinity or no finite value was
// seen; the caller then takes the filtering scan.
NUVRA_MULTIVERSION bool fast_min_max(const double* x, std::size_t n, double& lo_out,
                                     double& hi_out) {
    constexpr std::size_t kLanes = 16;
    v4d lo[4], hi[4];
    for (int k = 0; k < 4; ++k) {
        lo[k] = simd::splat(Inf);
        hi[k] = simd::splat(-Inf);
    }
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        for (int k = 0; k < 4; ++k) {
            const v4d v = simd::load(x + i + 4 * k);
            lo[k] = v < lo[k] ? v : lo[k];
            hi[k] = v > hi[k] ? v : hi[k];
        }
    }
    double l = Inf, h = -Inf;
    for (int k = 0; k < 4; ++k)
        for (int j = 0; j < 4; ++j) {
            l = lo[k][j] < l ? lo[k][j] : l;
            h = hi[k][j] > h ? hi[k][j] : h;
        }
    for (; i < n; ++i) {
        l = x[i] < l ? x[i] : l;
        h = x[i] > h ? x[i] : h;
    }
    if (!(l > -Inf && l < Inf && h > -Inf && h < Inf)) return false;
    if (l == 0.0 || h == 0.0) {
        bool neg_zero = false, pos_zero = false;
        for (std::size_t j = 0; j < n; ++j) {
            if (x[j] == 0.0) {
                if (std::signbit(x[j]))
                    neg_zero = true;
                else
                    pos_zero = true;
            }
        }
        if (l == 0.0) l = neg_zero ? -0.0 : 0.0;
        if (h == 0.0) h = pos_zero ? 0.0 : -0.0;
    }
    lo_out = l;
    hi_out = h;
    return true;
}

// The finite samples' minimum and maximum; false when there is none.
bool finite_min_max(std::span<const double> raw, double& lo, double& hi) {
    if (fast_min_max(raw.data(), raw.size(), lo, hi)) return true;
    const Scan sc = scan_min_max(raw.data(), raw.size());
    lo = sc.lo;
    hi = sc.hi;
    return sc.count > 0;
}

// Sum over the finite samples of term((x - m) [/ sd]), in index order from
// -0.0: Power 2 is (x - m)^2, 3 is z*(z*z) and 4 is (z*z)*(z*z) with
// z = (x - m) / sd.
template <int Power>
NUVRA_INLINE double central_body(const double* x, std::size_t n, double m, double sd) {
    auto term = [&](auto v) {
        const auto d = v - m;
        if constexpr (Power == 2) {
            return d * d;
        } else {
            const auto z = d / sd;
            if constexpr (Power == 3) return z * (z * z);
            else return (z * z) * (z * z);
        }
    };
    const v4d nz = simd::splat(-0.0);
    double acc = -0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const v4d v = simd::load(x + i);
        acc = simd::add_in_order(acc, simd::select(simd::finite_mask(v), term(v), nz));
    }
    for (; i < n; ++i)
        if (is_finite(x[i])) acc += term(x[i]);
    return acc;
}

NUVRA_MULTIVERSION double central_sum2(const double* x, std::size_t n, double m) {
    return central_body<2>(x, n, m, 1.0);
}
NUVRA_MULTIVERSION double standard_sum3(const double* x, std::size_t n, double m, double sd) {
    return central_body<3>(x, n, m, sd);
}
NUVRA_MULTIVERSION double standard_sum4(const double* x, std::size_t n, double m, double sd) {
    return central_body<4>(x, n, m, sd);
}

double variance_of(std::span<const double> raw, std::uint64_t ddof) {
    const Scan sc = scan_sum(raw.data(), raw.size());
    if (sc.count <= ddof) return NaN;
    const double m = sc.sum / count_d(sc.count);
    return central_sum2(raw.data(), raw.size(), m) / static_cast<double>(sc.count - ddof);
}

// Standardised central moment: Σ term(z) / n; NaN when the population
// variance is exactly zero or n is below min_n.
double standardised_moment(std::span<const double> raw, std::uint64_t min_n, int power) {
    const Scan sc = scan_sum(raw.data(), raw.size());
    if (sc.count < min_n) return NaN;
    const double n = count_d(sc.count);
    const double m = sc.sum / n;
    const double m2 = central_sum2(raw.data(), raw.size(), m) / n;
    if (m2 == 0.0) return NaN;
    const double sd = std::sqrt(m2);
    const double acc = power == 3 ? standard_sum3(raw.data(), raw.size(), m, sd)
                                  : standard_sum4(raw.data(), raw.size(), m, sd);
    return acc / n;
}

// ------------------------------------------------------------------ crossings

// Indices i in 1..n-1 where (x[i-1] - m >= 0) differs from (x[i] - m >= 0),
// over the raw samples; with Check, `finite` reports whether every sample
// was finite (only then is the count that of the finite samples).
template <bool Check>
NUVRA_INLINE std::uint64_t crossings_body(const double* x, std::size_t n, double m, bool& finite) {
    if (n == 0) {
        finite = true;
        return 0;
    }
    // For finite x, x - m >= 0.0 is x >= m whatever m is: the difference of
    // two unequal doubles never rounds to zero and keeps its sign, and an
    // infinite or NaN m decides both forms alike. So the lanes compare
    // directly.
    const v4d mv = simd::splat(m);
    v4i cnt0 = {0, 0, 0, 0}, cnt1 = cnt0, ok = {-1, -1, -1, -1};
    std::size_t i = 1;
    for (; i + 8 <= n; i += 8) {
        const v4d a0 = simd::load(x + i - 1), b0 = simd::load(x + i);
        const v4d a1 = simd::load(x + i + 3), b1 = simd::load(x + i + 4);
        cnt0 += (a0 >= mv) ^ (b0 >= mv);
        cnt1 += (a1 >= mv) ^ (b1 >= mv);
        if constexpr (Check) ok &= simd::finite_mask(b0) & simd::finite_mask(b1);
    }
    std::uint64_t count = simd::lane_count(cnt0 + cnt1);
    bool all = is_finite(x[0]) && (ok[0] & ok[1] & ok[2] & ok[3]) != 0;
    for (; i < n; ++i) {
        count += static_cast<std::uint64_t>((x[i - 1] - m >= 0.0) != (x[i] - m >= 0.0));
        all = all && is_finite(x[i]);
    }
    finite = all;
    return count;
}

// Mean crossings of samples already known to be finite (no check).
NUVRA_MULTIVERSION std::uint64_t raw_crossings(const double* x, std::size_t n, double m) {
    bool unused;
    return crossings_body<false>(x, n, m, unused);
}
NUVRA_MULTIVERSION std::uint64_t raw_zero_crossings(const double* x, std::size_t n, bool& finite) {
    return crossings_body<true>(x, n, 0.0, finite);
}

// The same counts over a list of finite samples.
std::uint64_t zero_crossings_inner(std::span<const double> s) {
    std::uint64_t count = 0;
    for (std::size_t i = 1; i < s.size(); ++i)
        count += static_cast<std::uint64_t>((s[i - 1] >= 0.0) != (s[i] >= 0.0));
    return count;
}

std::uint64_t mean_crossings_inner(std::span<const double> s, double m) {
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
//
// Elementwise quotients: every entry is one expression of its neighbours,
// so they run four lanes wide with exactly the scalar operations. Results go
// straight into buffers that are not zero-filled first.

// out[i] = (x[i + 1] - x[i]) / dt for i < m. In place (out == x) is fine:
// each step reads x[i .. i + 4] before it writes out[i .. i + 3].
NUVRA_MULTIVERSION void forward_quotients(const double* x, std::size_t m, double dt, double* out) {
    const v4d d = simd::splat(dt);
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
        const v4d a = simd::load(x + i), b = simd::load(x + i + 1);
        simd::store(out + i, (b - a) / d);
    }
    for (; i < m; ++i) out[i] = (x[i + 1] - x[i]) / dt;
}

// Central-difference first derivative with one-sided ends; k >= 2, g and v
// distinct. Interior entries divide by the sum dt + dt.
NUVRA_MULTIVERSION void central_gradient(const double* __restrict__ x, std::size_t k, double dt,
                                         double* __restrict__ g) {
    const double two_dt = dt + dt;
    const v4d d2 = simd::splat(two_dt);
    g[0] = (x[1] - x[0]) / dt;
    std::size_t i = 1;
    for (; i + 4 < k; i += 4) {
        const v4d a = simd::load(x + i - 1), b = simd::load(x + i + 1);
        simd::store(g + i, (b - a) / d2);
    }
    for (; i + 1 < k; ++i) g[i] = (x[i + 1] - x[i - 1]) / two_dt;
    g[k - 1] = (x[k - 1] - x[k - 2]) / dt;
}

// Second difference at interior index i over dt*dt.
inline double second_difference(const double* x, std::size_t i, double dt2) {
    return (x[i - 1] + (x[i + 1] - (x[i] + x[i]))) / dt2;
}

// The second-difference stencil of x (n >= 3), ends copied from neighbours.
NUVRA_MULTIVERSION void second_difference_stencil(const double* __restrict__ x, std::size_t n,
                                                  double dt, double* __restrict__ out) {
    const double dt2 = dt * dt;
    const v4d d = simd::splat(dt2);
    std::size_t i = 1;
    for (; i + 4 < n; i += 4) {
        const v4d a = simd::load(x + i - 1), b = simd::load(x + i), c = simd::load(x + i + 1);
        simd::store(out + i, (a + (c - (b + b))) / d);
    }
    for (; i + 1 < n; ++i) out[i] = second_difference(x, i, dt2);
    out[0] = out[1];
    out[n - 1] = out[n - 2];
}

// out[i] = NaN if x[i] == 0.0, else (x[i + 1] - x[i]) / |x[i]|, for i < m.
NUVRA_MULTIVERSION void relative_changes(const double* __restrict__ x, std::size_t m,
                                         double* __restrict__ out) {
    const v4d zero = simd::splat(0.0), nan = simd::splat(NaN);
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
        const v4d a = simd::load(x + i), b = simd::load(x + i + 1);
        const v4d mag = simd::from_bits(simd::bits(a) & 0x7fffffffffffffffll);
        simd::store(out + i, simd::select(a == zero, nan, (b - a) / mag));
    }
    for (; i < m; ++i) out[i] = x[i] == 0.0 ? NaN : (x[i + 1] - x[i]) / std::fabs(x[i]);
}

// Running trapezoid: out[0] = 0, out[i] = out[i - 1] + dt * ((x[i] + x[i - 1]) * 0.5),
// the accumulator from +0.0. One addition per step bounds the loop; it is
// kept scalar so that the operand order of every step (and with it which
// NaN an all-NaN step passes on) stays that of the plain loop.
void running_trapezoid(const double* __restrict__ x, std::size_t n, double dt,
                       double* __restrict__ out) {
    out[0] = 0.0;
    double acc = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        acc += dt * ((x[i] + x[i - 1]) * 0.5);
        out[i] = acc;
    }
}

UninitArray1 one_value(double v) {
    UninitArray1 out(1);
    out[0] = v;
    return out;
}

UninitArray1 nan_array(std::size_t n) {
    UninitArray1 out(n);
    std::fill_n(out.data(), n, NaN);
    return out;
}

UninitArray1 gradient_inner(std::span<const double> x, double dt) {
    if (x.size() < 2) return one_value(NaN);
    UninitArray1 out(x.size());
    central_gradient(x.data(), x.size(), dt, out.data());
    return out;
}

UninitArray1 jerk_inner(std::span<const double> x, double dt) {
    const std::size_t n = x.size();
    if (n < 4) return nan_array(n);
    UninitArray1 a(n), b(n);
    central_gradient(x.data(), n, dt, a.data());
    central_gradient(a.data(), n, dt, b.data());
    central_gradient(b.data(), n, dt, a.data());
    return a;
}

UninitArray1 derivative_inner(std::span<const double> x, double dt) {
    const std::size_t n = x.size();
    if (n < 2) return one_value(NaN);
    UninitArray1 d(n - 1);
    forward_quotients(x.data(), n - 1, dt, d.data());
    return d;
}

UninitArray1 rate_of_change_inner(std::span<const double> x) {
    const std::size_t n = x.size();
    if (n < 2) return one_value(NaN);
    UninitArray1 r(n - 1);
    relative_changes(x.data(), n - 1, r.data());
    return r;
}

UninitArray1 integral_inner(std::span<const double> x, double dt) {
    const std::size_t n = x.size();
    if (n < 2) return one_value(0.0);
    UninitArray1 out(n);
    running_trapezoid(x.data(), n, dt, out.data());
    return out;
}

UninitArray1 curvature_inner(std::span<const double> v, double dt) {
    const std::size_t n = v.size();
    if (n < 3) return one_value(NaN);
    UninitArray1 s2(n), out(n);
    second_difference_stencil(v.data(), n, dt, s2.data());
    central_gradient(v.data(), n, dt, out.data());
    for (std::size_t i = 0; i < n; ++i) {
        const double d1 = out[i];
        out[i] = std::fabs(s2[i]) / std::pow(d1 * d1 + 1.0, 1.5);
    }
    return out;
}

UninitArray1 first_derivative_inner(std::span<const double> x, double dt,
                                    std::string_view method) {
    const std::size_t n = x.size();
    if (n < 2) return one_value(NaN);
    UninitArray1 out(n);
    if (method == "forward") {
        forward_quotients(x.data(), n - 1, dt, out.data());
        out[n - 1] = out[n - 2];
    } else if (method == "backward") {
        forward_quotients(x.data(), n - 1, dt, out.data() + 1);
        out[0] = out[1];
    } else {
        central_gradient(x.data(), n, dt, out.data());
    }
    return out;
}

UninitArray1 second_derivative_inner(std::span<const double> x, double dt,
                                     std::string_view method) {
    const std::size_t n = x.size();
    if (n < 3) return nan_array(n);
    UninitArray1 out(n);
    if (method == "finite_difference") {
        second_difference_stencil(x.data(), n, dt, out.data());
        return out;
    }
    UninitArray1 g1(n);
    central_gradient(x.data(), n, dt, g1.data());
    central_gradient(g1.data(), n, dt, out.data());
    return out;
}

// Forward differences of the samples (each divided by dt), `order` passes;
// each pass keeps the length by repeating its last difference, so from the
// second pass on the trailing entries of finite data are 0.0. Fewer than two
// samples give [NaN]. Once values have run to 0, infinity or NaN the state
// repeats bit for bit with period 1 or 2; from there only the parity of the
// passes left matters, so the loop stops. Otherwise every pass counts (with
// |dt| = 1 the values grow without repeating), and a Ctrl-C check runs.
UninitArray1 finite_difference_inner(std::span<const double> x, std::uint64_t order, double dt) {
    const std::size_t n = x.size();
    if (order != 0 && n < 2) return one_value(NaN);
    UninitArray1 v(n);
    std::copy(x.begin(), x.end(), v.data());
    double* d = v.data();
    std::vector<double> before, before2;  // the states one and two passes back
    const std::size_t bytes = n * sizeof(double);
    InterruptPoll poll;  // order passes of n operations
    for (std::uint64_t pass = 0; pass < order; ++pass) {
        poll(n);
        const bool watch = pass >= n;
        if (watch) {
            before2.swap(before);
            before.assign(d, d + n);
        }
        forward_quotients(d, n - 1, dt, d);
        d[n - 1] = d[n - 2];
        if (watch && pass > n) {
            if (std::memcmp(d, before.data(), bytes) == 0) break;
            if (std::memcmp(d, before2.data(), bytes) == 0) {
                if ((order - pass - 1) % 2 == 1) std::copy(before.begin(), before.end(), d);
                break;
            }
        }
    }
    return v;
}

// ------------------------------------------------------------------ wrappers

double mean_py(SignalView signal) {
    const RawSamples raw(signal);
    const Scan sc = scan_sum(raw.span().data(), raw.span().size());
    return sc.count == 0 ? NaN : sc.sum / count_d(sc.count);
}

double std_py(SignalView signal, std::uint64_t ddof) {
    return std::sqrt(variance_of(RawSamples(signal).span(), ddof));
}

double variance_py(SignalView signal, std::uint64_t ddof) {
    return variance_of(RawSamples(signal).span(), ddof);
}

std::tuple<double, double> min_max_py(SignalView signal) {
    double lo, hi;
    if (!finite_min_max(RawSamples(signal).span(), lo, hi)) return {NaN, NaN};
    return {lo, hi};
}

double rms_py(SignalView signal) {
    const RawSamples raw(signal);
    const Scan sc = scan_sumsq(raw.span().data(), raw.span().size());
    return sc.count == 0 ? NaN : std::sqrt(sc.sumsq / count_d(sc.count));
}

double peak_to_peak_py(SignalView signal) {
    double lo, hi;
    if (!finite_min_max(RawSamples(signal).span(), lo, hi)) return NaN;
    return hi - lo;
}

double skewness_py(SignalView signal) {
    return standardised_moment(RawSamples(signal).span(), 3, 3);
}

double kurtosis_py(SignalView signal, bool fisher) {
    const double k = standardised_moment(RawSamples(signal).span(), 4, 4);
    return fisher ? k + (-3.0) : k;
}

double crest_factor_py(SignalView signal) {
    const RawSamples raw(signal);
    const Scan sc = scan_sumsq_peak(raw.span().data(), raw.span().size());
    if (sc.count == 0) return NaN;
    const double ms = sc.sumsq / count_d(sc.count);
    if (ms == 0.0) return NaN;
    return sc.peak / std::sqrt(ms);
}

double pulsation_index_py(SignalView signal) {
    const RawSamples raw(signal);
    const Scan sc = scan_sum_min_max(raw.span().data(), raw.span().size());
    if (sc.count == 0) return NaN;
    const double m = sc.sum / count_d(sc.count);
    if (m == 0.0) return NaN;
    return (sc.hi - sc.lo) / std::fabs(m);
}

UninitArray1 derivative_py(SignalView signal, double dt) {
    return derivative_inner(RawSamples(signal).span(), dt);
}

UninitArray1 integral_py(SignalView signal, double dt) {
    return integral_inner(RawSamples(signal).span(), dt);
}

UninitArray1 curvature_py(SignalView signal, double dt) {
    return curvature_inner(RawSamples(signal).span(), dt);
}

UninitArray1 rate_of_change_py(SignalView signal) {
    return rate_of_change_inner(RawSamples(signal).span());
}

std::uint64_t zero_crossings_py(SignalView signal) {
    const RawSamples raw(signal);
    bool finite = true;
    const std::uint64_t c = raw_zero_crossings(raw.span().data(), raw.span().size(), finite);
    if (finite) return c;
    return zero_crossings_inner(collect_finite(signal));
}

std::uint64_t mean_crossings_py(SignalView signal) {
    const RawSamples raw(signal);
    const std::span<const double> s = raw.span();
    const Scan sc = scan_sum(s.data(), s.size());
    if (sc.count < 2) return 0;
    const double m = sc.sum / count_d(sc.count);
    if (sc.count == s.size()) return raw_crossings(s.data(), s.size(), m);
    return mean_crossings_inner(collect_finite(signal), m);
}

FloatList percentiles_py(SignalView signal, const FloatSeq& q) {
    return {percentiles_inner(FiniteSamples(signal).span(), q.values)};
}

UninitArray1 first_derivative_py(SignalView signal, double dt, std::string_view method) {
    return first_derivative_inner(RawSamples(signal).span(), dt, method);
}

UninitArray1 second_derivative_py(SignalView signal, double dt, std::string_view method) {
    return second_derivative_inner(RawSamples(signal).span(), dt, method);
}

UninitArray1 gradient_py(SignalView signal, double dt) {
    return gradient_inner(RawSamples(signal).span(), dt);
}

UninitArray1 finite_difference_py(SignalView signal, std::uint64_t order, double dt) {
    return finite_difference_inner(RawSamples(signal).span(), order, dt);
}

UninitArray1 jerk_py(SignalView signal, double dt) { return jerk_inner(RawSamples(signal).span(), dt); }

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
