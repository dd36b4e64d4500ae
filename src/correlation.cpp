// The correlation family: covariance and the Pearson, Spearman, Kendall and
// partial correlation coefficients; the lagged autocorrelation family and
// partial autocorrelation; cross-correlation; coherence and cross-spectral
// density on a direct discrete Fourier transform; block-wise wavelet
// coherence.
//
// Every sum runs in index order (from -0.0 unless stated otherwise), so the
// results do not depend on the hardware; where many independent sums are
// needed they run side by side, each in its own order.
#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
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

using u64 = std::uint64_t;
using i64 = std::int64_t;
using simd::v4d;

inline double count_d(std::size_t n) { return static_cast<double>(n); }

// ------------------------------------------------------------------ Pearson

// The denominator sqrt(Saa * Sbb) of a correlation. One square root of the
// product, except where the product leaves the normal range although both
// factors are positive and finite (data around 1e+-80): there the product of
// the two roots keeps the coefficient scale-free. 0.0 or NaN are returned as
// they come for a degenerate pair.
inline double corr_denominator(double saa, double sbb, double p) {
    if (saa > 0.0 && sbb > 0.0 && saa < Inf && sbb < Inf &&
        !(p >= std::numeric_limits<double>::min() && p < Inf))
        return std::sqrt(saa) * std::sqrt(sbb);
    return std::sqrt(p);
}

// r from the centred sums: NaN for a zero spread.
inline double pearson_finish(double sab, double saa, double sbb) {
    const double p = saa * sbb;
    if (p == 0.0 && !(saa > 0.0 && sbb > 0.0)) return NaN;
    return sab / corr_denominator(saa, sbb, p);
}

// Pearson's r of two equally long vectors; NaN for fewer than two elements or
// a zero spread. Not clamped to [-1, 1].
double pearson_r(std::span<const double> a, std::span<const double> b) {
    const std::size_t n = a.size();
    if (n < 2) return NaN;
    const double nd = count_d(n);
    double sa = -0.0, sb = -0.0;  // two in-order sums side by side
    for (std::size_t i = 0; i < n; ++i) {
        sa += a[i];
        sb += b[i];
    }
    const double ma = sa / nd, mb = sb / nd;
    double sab = -0.0, saa = -0.0, sbb = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double da = a[i] - ma, db = b[i] - mb;
        sab += da * db;
        saa += da * da;
        sbb += db * db;
    }
    return pearson_finish(sab, saa, sbb);
}

// ------------------------------------------------------------------ ordering

// Unsigned key whose integer order is the numeric order of finite doubles;
// -0.0 gets the key of +0.0, so zeros of either sign tie as they do under `<`.
inline u64 order_key(double x) {
    u64 u = std::bit_cast<u64>(x);
    constexpr u64 kSign = 0x8000000000000000ull;
    if (u == kSign) u = 0;
    return (u & kSign) ? ~u : (u | kSign);
}

inline double key_value(u64 k) {
    constexpr u64 kSign = 0x8000000000000000ull;
    return std::bit_cast<double>((k & kSign) ? (k & ~kSign) : ~k);
}

// A record sorted by its key, carrying a payload.
struct Keyed {
    u64 key;
    u64 payload;
};

// Stable ascending sort of `recs` by key: least significant digit first,
// eight bits at a time; a digit on which all keys agree costs no pass.
void radix_sort(std::vector<Keyed>& recs, std::vector<Keyed>& tmp) {
    const std::size_t n = recs.size();
    tmp.resize(n);
    std::vector<std::array<std::uint32_t, 256>> hist(8);
    for (auto& h : hist) h.fill(0);
    for (const Keyed& r : recs)
        for (std::size_t d = 0; d < 8; ++d) ++hist[d][(r.key >> (8 * d)) & 0xff];
    for (std::size_t d = 0; d < 8; ++d) {
        auto& h = hist[d];
        if (n == 0 || h[(recs[0].key >> (8 * d)) & 0xff] == n) continue;
        std::uint32_t offset = 0;
        for (auto& c : h) {
            const std::uint32_t cnt = c;
            c = offset;
            offset += cnt;
        }
        for (const Keyed& r : recs) tmp[h[(r.key >> (8 * d)) & 0xff]++] = r;
        recs.swap(tmp);
    }
}

// Ordinal 0-based ranks; equal values ranked in index order (the sort is stable).
std::vector<double> rank_transform(std::span<const double> v) {
    const std::size_t n = v.size();
    std::vector<Keyed> recs(n), tmp;
    for (std::size_t i = 0; i < n; ++i) recs[i] = {order_key(v[i]), i};
    radix_sort(recs, tmp);
    std::vector<double> rank(n);
    for (std::size_t k = 0; k < n; ++k) rank[recs[k].payload] = count_d(k);
    return rank;
}

// Values of two views at the positions where both are finite: the buffers
// themselves when both are contiguous and all finite, else compact copies.
class ValidPairs {
public:
    ValidPairs(const SignalView& a, const SignalView& b) : ra_(a), rb_(b) {
        if (all_finite(ra_.span()) && all_finite(rb_.span())) {
            x = ra_.span();
            y = rb_.span();
            return;
        }
        const std::vector<std::size_t> idx = collect_finite_pairs(a, b);
        xo_.resize(idx.size());
        yo_.resize(idx.size());
        for (std::size_t k = 0; k < idx.size(); ++k) {
            xo_[k] = a[idx[k]];
            yo_[k] = b[idx[k]];
        }
        x = xo_;
        y = yo_;
    }
    std::span<const double> x, y;

private:
    RawSamples ra_, rb_;
    std::vector<double> xo_, yo_;
};

// ------------------------------------------------------------------ Kendall

// Pairwise count of concordant and discordant pairs from the sign of
// (xs[j] - xs[i]) * (ys[j] - ys[i]); a product that underflows to zero
// counts in neither.
std::pair<u64, u64> kendall_pairwise(std::span<const double> xs, std::span<const double> ys) {
    const std::size_t m = xs.size();
    u64 nc = 0, nd = 0;
    InterruptPoll poll;
    for (std::size_t i = 0; i + 1 < m; ++i) {
        poll(m - i);
        const double xi = xs[i], yi = ys[i];
        u64 c = 0, d = 0;
        for (std::size_t j = i + 1; j < m; ++j) {
            const double p = (xs[j] - xi) * (ys[j] - yi);
            c += p > 0.0;
            d += p < 0.0;
        }
        nc += c;
        nd += d;
    }
    return {nc, nd};
}

// Number of pairs i < j with v[i] > v[j], by merge sort (v ends up sorted).
u64 count_inversions(std::vector<u64>& v, std::vector<u64>& tmp) {
    const std::size_t n = v.size();
    tmp.resize(n);
    u64 inv = 0;
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            const std::size_t mid = std::min(lo + width, n), hi = std::min(lo + 2 * width, n);
            std::size_t i = lo, j = mid, k = lo;
            while (i < mid && j < hi) {
                const bool take_right = v[j] < v[i];
                inv += take_right ? mid - i : 0;
                tmp[k++] = take_right ? v[j++] : v[i++];
            }
            while (i < mid) tmp[k++] = v[i++];
            while (j < hi) tmp[k++] = v[j++];
        }
        std::swap(v, tmp);
    }
    return inv;
}

// Pairs tied within runs of equal keys of a sorted vector.
u64 tied_pairs(const std::vector<u64>& sorted) {
    u64 t = 0;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i + 1;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        const u64 run = j - i;
        t += run * (run - 1) / 2;
        i = j;
    }
    return t;
}

// Smallest non-zero difference between consecutive values of sorted keys
// (Inf when all are equal).
double min_gap(const std::vector<u64>& sorted) {
    double g = Inf;
    for (std::size_t i = 1; i < sorted.size(); ++i) {
        const double d = key_value(sorted[i]) - key_value(sorted[i - 1]);
        if (d > 0.0 && d < g) g = d;
    }
    return g;
}

// Concordant and discordant counts in O(m log m): when no product of two
// non-zero differences can underflow, a pair's product is positive, negative
// or zero exactly as the signs of its two differences say, so the counts are
// those of the classic merge-sort method (sort by x then y; discordant pairs
// are the inversions of y).
std::pair<u64, u64> kendall_counts(std::span<const double> xs, std::span<const double> ys) {
    const std::size_t m = xs.size();
    // Sort by y, then stably by x: ordered by (x, y).
    std::vector<Keyed> recs(m), tmp;
    for (std::size_t k = 0; k < m; ++k) recs[k] = {order_key(ys[k]), order_key(xs[k])};
    radix_sort(recs, tmp);
    for (Keyed& r : recs) std::swap(r.key, r.payload);
    radix_sort(recs, tmp);
    std::vector<u64> sx(m), sy(m);
    for (std::size_t k = 0; k < m; ++k) {
        sx[k] = recs[k].key;
        sy[k] = recs[k].payload;
    }
    u64 tx = 0, txy = 0;  // pairs tied in x, and in both
    for (std::size_t i = 0; i < m;) {
        std::size_t j = i + 1;
        while (j < m && sx[j] == sx[i]) ++j;
        tx += static_cast<u64>(j - i) * (j - i - 1) / 2;
        for (std::size_t a = i; a < j;) {
            std::size_t b = a + 1;
            while (b < j && sy[b] == sy[a]) ++b;
            txy += static_cast<u64>(b - a) * (b - a - 1) / 2;
            a = b;
        }
        i = j;
    }
    const double gx = min_gap(sx);
    std::vector<u64> scratch;
    const u64 nd = count_inversions(sy, scratch);  // leaves sy sorted
    const double gy = min_gap(sy);
    if (gx < Inf && gy < Inf && !(gx * gy > 0.0)) return kendall_pairwise(xs, ys);
    const u64 ty = tied_pairs(sy);
    const u64 total = static_cast<u64>(m) * static_cast<u64>(m - 1) / 2;
    return {total - tx - ty + txy - nd, nd};
}

// ------------------------------------------------------------------ lagged Pearson

// r(k): Pearson's r of x[0..m-k-1] and x[k..m-1], each centred on its own mean.
double lagged_r(std::span<const double> x, std::size_t k) {
    const std::size_t len = x.size() - k;
    return pearson_r(x.first(len), x.subspan(k, len));
}

// r(k) for eight consecutive lags k0..k0+7 (all <= m - 2) at once, each lag's
// sums in the same order as lagged_r, so the values are identical. `prefix`
// holds the in-order prefix sums of x from -0.0 (prefix[i]: first i values),
// which are the sums of the leading slices.
NUVRA_MULTIVERSION void lagged_r8(std::span<const double> x, const std::vector<double>& prefix,
                                  std::size_t k0, double* out) {
    constexpr std::size_t W = 8;
    const std::size_t m = x.size();
    const double* xp = x.data();
    const std::size_t common = m - (k0 + W - 1);  // positions every lag of the block covers
    // Sums of the trailing slices x[k..m-1], lane j for lag k0 + j.
    v4d sb0 = {-0.0, -0.0, -0.0, -0.0}, sb1 = sb0;
    for (std::size_t i = 0; i < common; ++i) {
        sb0 += simd::load(xp + k0 + i);
        sb1 += simd::load(xp + k0 + 4 + i);
    }
    double sb[W], ma[W], mb[W];
    for (std::size_t j = 0; j < W; ++j) {
        sb[j] = j < 4 ? sb0[j] : sb1[j - 4];
        const std::size_t len = m - k0 - j;
        for (std::size_t i = common; i < len; ++i) sb[j] += xp[k0 + j + i];
        const double nd = count_d(len);
        ma[j] = prefix[len] / nd;
        mb[j] = sb[j] / nd;
    }
    const v4d ma0 = simd::load(ma), ma1 = simd::load(ma + 4);
    const v4d mb0 = simd::load(mb), mb1 = simd::load(mb + 4);
    v4d ab0 = {-0.0, -0.0, -0.0, -0.0}, ab1 = ab0, aa0 = ab0, aa1 = ab0, bb0 = ab0, bb1 = ab0;
    for (std::size_t i = 0; i < common; ++i) {
        const double xi = xp[i];
        const v4d da0 = xi - ma0, da1 = xi - ma1;
        const v4d db0 = simd::load(xp + k0 + i) - mb0, db1 = simd::load(xp + k0 + 4 + i) - mb1;
        ab0 += da0 * db0;
        ab1 += da1 * db1;
        aa0 += da0 * da0;
        aa1 += da1 * da1;
        bb0 += db0 * db0;
        bb1 += db1 * db1;
    }
    for (std::size_t j = 0; j < W; ++j) {
        const bool lo = j < 4;
        const std::size_t l = lo ? j : j - 4;
        double sab = lo ? ab0[l] : ab1[l], saa = lo ? aa0[l] : aa1[l], sbb = lo ? bb0[l] : bb1[l];
        const std::size_t len = m - k0 - j;
        for (std::size_t i = common; i < len; ++i) {
            const double da = xp[i] - ma[j], db = xp[k0 + j + i] - mb[j];
            sab += da * db;
            saa += da * da;
            sbb += db * db;
        }
        out[j] = pearson_finish(sab, saa, sbb);
    }
}

// r(k) for k = first..last (inclusive, last <= m - 2) into out[k - first].
void lagged_profile(std::span<const double> x, std::size_t first, std::size_t last, double* out,
                    InterruptPoll& poll) {
    std::size_t k = first;
    const std::uint64_t lag_work = 2 * static_cast<std::uint64_t>(x.size());
    if (last >= first + 7) {
        std::vector<double> prefix(x.size() + 1);
        double acc = -0.0;
        prefix[0] = acc;
        for (std::size_t i = 0; i < x.size(); ++i) prefix[i + 1] = acc += x[i];
        for (; k + 7 <= last; k += 8) {
            poll(8 * lag_work);
            lagged_r8(x, prefix, k, out + (k - first));
        }
    }
    for (; k <= last; ++k) {
        poll(lag_work);
        out[k - first] = lagged_r(x, k);
    }
}

// ------------------------------------------------------------------ cross-correlation

// Raw lagged sums r[k] = sum over t of xc[t] * yc[t + k], each from +0.0 in
// ascending t, for k = -L..L. Blocks of 32 consecutive lags run side by side
// (eight vectors of four): over the positions every lag of the block covers,
// one x sample meets 32 contiguous y samples; each lag's own head and tail
// are added before and after, so every sum keeps its order.
// This computes the profile elements [first, end): whole blocks from
// `first` (a multiple of kLagBlock) while they fit, then one lag at a time.
constexpr std::size_t kLagBlock = 32;

NUVRA_MULTIVERSION void lagged_cross_sums_range(const std::vector<double>& xc,
                                                const std::vector<double>& yc, std::size_t L,
                                                std::size_t first, std::size_t end, double* out) {
    const std::size_t n = xc.size();
    constexpr std::size_t G = 8, W = 4 * G;
    static_assert(W == kLagBlock);
    const double* xp = xc.data();
    const double* yp = yc.data();
    auto t_lo = [](i64 k) { return static_cast<std::size_t>(k < 0 ? -k : 0); };
    auto t_hi = [n](i64 k) {
        return static_cast<std::size_t>(k < 0 ? static_cast<i64>(n) : static_cast<i64>(n) - k);
    };
    auto plain = [&](i64 k) {
        double a = 0.0;
        for (std::size_t t = t_lo(k); t < t_hi(k); ++t)
            a += xp[t] * yp[static_cast<std::size_t>(static_cast<i64>(t) + k)];
        return a;
    };
    std::size_t i = first;
    for (; i + W <= end; i += W) {
        const i64 k0 = static_cast<i64>(i) - static_cast<i64>(L);
        std::size_t lo = 0, hi = n;
        for (std::size_t j = 0; j < W; ++j) {
            lo = std::max(lo, t_lo(k0 + static_cast<i64>(j)));
            hi = std::min(hi, t_hi(k0 + static_cast<i64>(j)));
        }
        if (lo >= hi) {  // no position common to the whole block
            for (std::size_t j = 0; j < W; ++j) out[i + j] = plain(k0 + static_cast<i64>(j));
            continue;
        }
        double acc[W];
        for (std::size_t j = 0; j < W; ++j) {
            const i64 k = k0 + static_cast<i64>(j);
            double a = 0.0;
            for (std::size_t t = t_lo(k); t < lo; ++t)
                a += xp[t] * yp[static_cast<std::size_t>(static_cast<i64>(t) + k)];
            acc[j] = a;
        }
        // Eight named accumulators, so that they live in registers.
        v4d v0 = simd::load(acc), v1 = simd::load(acc + 4);
        v4d v2 = simd::load(acc + 8), v3 = simd::load(acc + 12);
        v4d v4 = simd::load(acc + 16), v5 = simd::load(acc + 20);
        v4d v6 = simd::load(acc + 24), v7 = simd::load(acc + 28);
        for (std::size_t t = lo; t < hi; ++t) {
            const double xt = xp[t];
            const double* yt = yp + static_cast<std::size_t>(static_cast<i64>(t) + k0);
            v0 += xt * simd::load(yt);
            v1 += xt * simd::load(yt + 4);
            v2 += xt * simd::load(yt + 8);
            v3 += xt * simd::load(yt + 12);
            v4 += xt * simd::load(yt + 16);
            v5 += xt * simd::load(yt + 20);
            v6 += xt * simd::load(yt + 24);
            v7 += xt * simd::load(yt + 28);
        }
        const v4d* vs[G] = {&v0, &v1, &v2, &v3, &v4, &v5, &v6, &v7};
        for (std::size_t g = 0; g < G; ++g) simd::store(acc + 4 * g, *vs[g]);
        for (std::size_t j = 0; j < W; ++j) {
            const i64 k = k0 + static_cast<i64>(j);
            for (std::size_t t = hi; t < t_hi(k); ++t)
                acc[j] += xp[t] * yp[static_cast<std::size_t>(static_cast<i64>(t) + k)];
            out[i + j] = acc[j];
        }
    }
    for (; i < end; ++i) out[i] = plain(static_cast<i64>(i) - static_cast<i64>(L));
}

// The raw lagged sums of the whole profile, lag -L first, one block of lags
// between two interrupt checks.
std::vector<double> lagged_cross_sums(const std::vector<double>& xc, const std::vector<double>& yc,
                                      std::size_t L) {
    const std::size_t count = 2 * L + 1;
    std::vector<double> out(count);
    InterruptPoll poll;
    for (std::size_t i = 0; i < count; i += kLagBlock) {
        poll(kLagBlock * static_cast<std::uint64_t>(xc.size()));
        lagged_cross_sums_range(xc, yc, L, i, std::min(count, i + kLagBlock), out.data());
    }
    return out;
}

struct CrossProfile {
    std::vector<double> r;
    double sxx = NaN, syy = NaN;
};

std::vector<double> centred(std::span<const double> v) {
    const double mean = sum_in_order(v) / count_d(v.size());
    std::vector<double> c(v.size());
    for (std::size_t t = 0; t < v.size(); ++t) c[t] = v[t] - mean;
    return c;
}

double sum_squares(const std::vector<double>& v) {
    double acc = -0.0;
    for (double a : v) acc += a * a;
    return acc;
}

std::size_t effective_lag(i64 max_lag, std::size_t n) {
    if (max_lag < 0 || static_cast<u64>(max_lag) > n - 1) return n - 1;
    return static_cast<std::size_t>(max_lag);
}

CrossProfile cross_profile(std::span<const double> x, std::span<const double> y, i64 max_lag,
                           bool energies) {
    const std::vector<double> xc = centred(x), yc = centred(y);
    CrossProfile p;
    p.r = lagged_cross_sums(xc, yc, effective_lag(max_lag, x.size()));
    if (energies) {
        p.sxx = sum_squares(xc);
        p.syy = sum_squares(yc);
    }
    return p;
}

// The normalising root of a profile, or NaN when the raw sums stay.
double profile_norm(const CrossProfile& p) {
    const double prod = p.sxx * p.syy;
    if (!(prod > 0.0) && !(p.sxx > 0.0 && p.syy > 0.0 && p.sxx < Inf && p.syy < Inf)) return NaN;
    return corr_denominator(p.sxx, p.syy, prod);
}

// ------------------------------------------------------------------ spectra

constexpr double kTwoPi = 6.283185307179586;

// The one-sided DFT bins X[k] = sum over t of s[t] e^(-2 pi i k t / L) of every
// segment of both signals at once: column s of `xs` and `ys` (L rows of S
// values) is segment s. The sine-cosine of each (k, t) is evaluated once and
// applied to all segments; each segment's sums still run in ascending t.
// Results: xr[k * S + s] and so on; this computes the bins [k_first, k_end).
NUVRA_MULTIVERSION void segment_dft_bins(
    const std::vector<double>& xs, const std::vector<double>& ys, std::size_t L, std::size_t S,
    std::size_t k_first, std::size_t k_end, std::vector<double>& xr, std::vector<double>& xi,
    std::vector<double>& yr, std::vector<double>& yi) {
    const double nd = count_d(L);
    for (std::size_t k = k_first; k < k_end; ++k) {
        const double a = count_d(k) * kTwoPi;
        double* xrk = xr.data() + k * S;
        double* xik = xi.data() + k * S;
        double* yrk = yr.data() + k * S;
        double* yik = yi.data() + k * S;
        for (std::size_t t = 0; t < L; ++t) {
            const double theta = (a * count_d(t)) / nd;
            double sn, cs;
            ::sincos(theta, &sn, &cs);
            const double* xrow = xs.data() + t * S;
            const double* yrow = ys.data() + t * S;
            std::size_t s = 0;
            for (; s + 4 <= S; s += 4) {
                const v4d xv = simd::load(xrow + s), yv = simd::load(yrow + s);
                const v4d a1 = simd::load(xrk + s) + cs * xv, b1 = simd::load(xik + s) - sn * xv;
                const v4d a2 = simd::load(yrk + s) + cs * yv, b2 = simd::load(yik + s) - sn * yv;
                simd::store(xrk + s, a1);
                simd::store(xik + s, b1);
                simd::store(yrk + s, a2);
                simd::store(yik + s, b2);
            }
            for (; s < S; ++s) {
                xrk[s] = xrk[s] + cs * xrow[s];
                xik[s] = xik[s] - sn * xrow[s];
                yrk[s] = yrk[s] + cs * yrow[s];
                yik[s] = yik[s] - sn * yrow[s];
            }
        }
    }
}

void segment_dft(const std::vector<double>& xs, const std::vector<double>& ys, std::size_t L,
                 std::size_t S, std::vector<double>& xr, std::vector<double>& xi,
                 std::vector<double>& yr, std::vector<double>& yi) {
    const std::size_t B = L / 2 + 1;
    xr.assign(B * S, 0.0);
    xi.assign(B * S, 0.0);
    yr.assign(B * S, 0.0);
    yi.assign(B * S, 0.0);
    InterruptPoll poll;
    for (std::size_t k = 0; k < B; ++k) {
        poll(static_cast<std::uint64_t>(L) * (S + 16));
        segment_dft_bins(xs, ys, L, S, k, k + 1, xr, xi, yr, yi);
    }
}

// The same bins from a table of the sine-cosine pairs of every (k, t), for
// segments in blocks of eight: block b holds, for t = 0..L-1, the samples t
// of segments 8b..8b+7 side by side (ld, the padded segment count, is a
// multiple of eight; padding segments are zero). The eight running sums of
// each of the four transforms stay in registers while t runs, each still in
// ascending t. This computes the block of segments s0 .. s0 + 7.
NUVRA_MULTIVERSION void segment_dft_table_block(
    const std::vector<double>& xs, const std::vector<double>& ys, std::size_t L, std::size_t ld,
    const std::vector<double>& cs, const std::vector<double>& sn, std::size_t s0,
    std::vector<double>& xr, std::vector<double>& xi, std::vector<double>& yr,
    std::vector<double>& yi) {
    const std::size_t B = L / 2 + 1;
    for (std::size_t k = 0; k < B; ++k) {
        const double* ck = cs.data() + k * L;
        const double* sk = sn.data() + k * L;
        const v4d z = {0.0, 0.0, 0.0, 0.0};
        v4d xr0 = z, xr1 = z, xi0 = z, xi1 = z, yr0 = z, yr1 = z, yi0 = z, yi1 = z;
        for (std::size_t t = 0; t < L; ++t) {
            const double c = ck[t], sv = sk[t];
            const double* xrow = xs.data() + s0 * L + t * 8;
            const double* yrow = ys.data() + s0 * L + t * 8;
            const v4d x0 = simd::load(xrow), x1 = simd::load(xrow + 4);
            const v4d y0 = simd::load(yrow), y1 = simd::load(yrow + 4);
            xr0 = xr0 + c * x0;
            xr1 = xr1 + c * x1;
            xi0 = xi0 - sv * x0;
            xi1 = xi1 - sv * x1;
            yr0 = yr0 + c * y0;
            yr1 = yr1 + c * y1;
            yi0 = yi0 - sv * y0;
            yi1 = yi1 - sv * y1;
        }
        double* o = xr.data() + k * ld + s0;
        simd::store(o, xr0);
        simd::store(o + 4, xr1);
        o = xi.data() + k * ld + s0;
        simd::store(o, xi0);
        simd::store(o + 4, xi1);
        o = yr.data() + k * ld + s0;
        simd::store(o, yr0);
        simd::store(o + 4, yr1);
        o = yi.data() + k * ld + s0;
        simd::store(o, yi0);
        simd::store(o + 4, yi1);
    }
}

void segment_dft_table(const std::vector<double>& xs, const std::vector<double>& ys,
                       std::size_t L, std::size_t ld, const std::vector<double>& cs,
                       const std::vector<double>& sn, std::vector<double>& xr,
                       std::vector<double>& xi, std::vector<double>& yr, std::vector<double>& yi) {
    const std::size_t B = L / 2 + 1;
    xr.resize(B * ld);
    xi.resize(B * ld);
    yr.resize(B * ld);
    yi.resize(B * ld);
    InterruptPoll poll;
    for (std::size_t s0 = 0; s0 < ld; s0 += 8) {
        poll(static_cast<std::uint64_t>(B) * L * 8);
        segment_dft_table_block(xs, ys, L, ld, cs, sn, s0, xr, xi, yr, yi);
    }
}

// The table of (k, t) sine-cosine pairs is used up to this many entries.
constexpr std::size_t kMaxTable = std::size_t{1} << 21;

struct Spectra {
    std::vector<double> freqs, pxx, pyy, cre, cim;
    bool degenerate = false;
};

Spectra segment_spectra(const SignalView& xv, const SignalView& yv, u64 nperseg, bool autos) {
    Spectra out;
    const std::size_t n = xv.size();
    if (static_cast<u64>(n) < nperseg || yv.size() != n) {
        out.degenerate = true;
        return out;
    }
    if (nperseg == 0) panic_divide_by_zero();
    const std::size_t L = static_cast<std::size_t>(nperseg);
    const std::size_t S = n / L;
    const std::size_t B = L / 2 + 1;
    std::vector<double> w(L);
    for (std::size_t i = 0; i < L; ++i)
        w[i] = (1.0 - std::cos((count_d(i) * kTwoPi) / count_d(L - 1))) * 0.5;
    // Windowed segments, transposed so that the segments of one sample index
    // lie side by side (rows of ld values; extra columns are zero padding).
    const bool table = B * L <= kMaxTable;
    const std::size_t ld = table ? (S + 7) / 8 * 8 : S;
    std::vector<double> xs(L * ld, 0.0), ys(L * ld, 0.0);
    for (std::size_t s = 0; s < S; ++s) {
        // position of sample i of segment s
        const std::size_t base = table ? (s / 8) * 8 * L + s % 8 : s;
        const std::size_t step = table ? 8 : ld;
        for (std::size_t i = 0; i < L; ++i) {
            xs[base + i * step] = xv[s * L + i] * w[i];
            ys[base + i * step] = yv[s * L + i] * w[i];
        }
    }
    std::vector<double> xr, xi, yr, yi;
    if (table) {
        std::vector<double> cs(B * L), sn(B * L);
        const double nd = count_d(L);
        for (std::size_t k = 0; k < B; ++k) {
            const double a = count_d(k) * kTwoPi;
            for (std::size_t t = 0; t < L; ++t)
                ::sincos((a * count_d(t)) / nd, &sn[k * L + t], &cs[k * L + t]);
        }
        segment_dft_table(xs, ys, L, ld, cs, sn, xr, xi, yr, yi);
    } else {
        segment_dft(xs, ys, L, S, xr, xi, yr, yi);
    }
    out.cre.assign(B, 0.0);
    out.cim.assign(B, 0.0);
    if (autos) {
        out.pxx.assign(B, 0.0);
        out.pyy.assign(B, 0.0);
    }
    const double sd = count_d(S);
    for (std::size_t k = 0; k < B; ++k) {
        double px = 0.0, py = 0.0, cr = 0.0, ci = 0.0;
        for (std::size_t s = 0; s < S; ++s) {
            const double a = xr[k * ld + s], b = xi[k * ld + s];
            const double c = yr[k * ld + s], d = yi[k * ld + s];
            px += b * b + a * a;
            py += d * d + c * c;
            cr += a * c + b * d;
            ci += b * c - a * d;
        }
        out.cre[k] = cr / sd;
        out.cim[k] = ci / sd;
        if (autos) {
            out.pxx[k] = px / sd;
            out.pyy[k] = py / sd;
        }
    }
    out.freqs.resize(B);
    for (std::size_t k = 0; k < B; ++k) out.freqs[k] = count_d(k) / count_d(L);
    return out;
}

// ------------------------------------------------------------------ wavelet coherence

// The scale of candidate i: the nearest integer to 10^((g * i) / K).
inline u64 scale_at(double g, u64 i, u64 K) {
    const double v = ::exp10((g * static_cast<double>(i)) / static_cast<double>(K));
    return to_u64_sat(std::round(v));
}

// The set of scales. The candidates never decrease with i, so for a count far
// beyond the block sizes that can occur, each distinct scale is found by a
// binary search for the first candidate past it instead of visiting them all.
std::vector<u64> wavelet_scales(std::size_t n, u64 K, InterruptPoll& poll) {
    std::vector<u64> set;  // at most n distinct scales; sorted and deduplicated at the end
    if (K == 0) return {};
    const double g = std::log10(count_d(n / 4));
    auto keep = [&](u64 s) {
        if (s >= 2 && s < static_cast<u64>(n) && (set.empty() || set.back() != s)) set.push_back(s);
    };
    constexpr u64 kDirect = u64{1} << 20;
    if (K <= kDirect) {
        for (u64 i = 1; i <= K; ++i) {
            poll(16);
            keep(scale_at(g, i, K));
        }
    } else {
        u64 i = 1;
        for (;;) {
            poll(16 * 64);
            const u64 s = scale_at(g, i, K);
            keep(s);
            if (i == K) break;
            // First j in (i, K] whose scale differs from s.
            u64 lo = i, hi = K;  // scale_at(lo) == s; find smallest j > lo with a different one
            if (scale_at(g, hi, K) == s) break;
            while (hi - lo > 1) {
                const u64 mid = lo + (hi - lo) / 2;
                if (scale_at(g, mid, K) == s) lo = mid;
                else hi = mid;
            }
            i = hi;
        }
    }
    std::sort(set.begin(), set.end());
    set.erase(std::unique(set.begin(), set.end()), set.end());
    return set;
}

// Mean of r^2 over the blocks of one scale; blocks with a zero spread or a
// non-finite coefficient are skipped.
double block_coherence(std::span<const double> x, std::span<const double> y, std::size_t s,
                       InterruptPoll& poll) {
    const std::size_t blocks = x.size() / s;
    const double sd = count_d(s);
    double acc = -0.0;
    std::size_t kept = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        poll(4 * static_cast<std::uint64_t>(s));
        const double* xb = x.data() + b * s;
        const double* yb = y.data() + b * s;
        double sx = -0.0, sy = -0.0;
        for (std::size_t i = 0; i < s; ++i) {
            sx += xb[i];
            sy += yb[i];
        }
        const double mx = sx / sd, my = sy / sd;
        double sxy = -0.0, sxx = -0.0, syy = -0.0;
        for (std::size_t i = 0; i < s; ++i) {
            const double dx = xb[i] - mx, dy = yb[i] - my;
            sxy += dx * dy;
            sxx += dx * dx;
            syy += dy * dy;
        }
        const double p = sxx * syy;
        if (p == 0.0 && !(sxx > 0.0 && syy > 0.0)) continue;
        const double r = sxy / corr_denominator(sxx, syy, p);
        if (!std::isfinite(r)) continue;
        acc += r * r;
        ++kept;
    }
    return kept == 0 ? NaN : acc / count_d(kept);
}

// ------------------------------------------------------------------ wrappers

double autocorrelation_py(SignalView signal, u64 lag) {
    const FiniteSamples fs(signal);
    const std::span<const double> x = fs.span();
    const std::size_t m = x.size();
    if (m < 2 || lag > static_cast<u64>(m - 2)) return NaN;
    return lagged_r(x, static_cast<std::size_t>(lag));
}

UninitArray1 partial_autocorrelation_py(SignalView signal, u64 max_lag) {
    // The result's length comes from max_lag alone: it is allocated first, so
    // one too large for memory fails before any work.
    if (max_lag == std::numeric_limits<u64>::max()) panic_capacity_overflow();
    UninitArray1 out(max_lag + 1);
    const FiniteSamples fs(signal);
    const std::span<const double> x = fs.span();
    const std::size_t m = x.size();
    InterruptPoll poll;
    if (m < 2 || max_lag > static_cast<u64>(m - 2)) {
        constexpr std::size_t kChunk = std::size_t{1} << 20;
        for (std::size_t i = 0; i < out.n; i += kChunk) {
            poll(kChunk);
            std::fill(out.data() + i, out.data() + std::min(out.n, i + kChunk), NaN);
        }
        return out;
    }
    // From here p <= m - 2: the working rows are bounded by the data.
    const std::size_t p = static_cast<std::size_t>(max_lag);
    out[0] = 1.0;
    if (p == 0) return out;
    std::vector<double> c(p + 1);
    c[0] = 1.0;
    lagged_profile(x, 1, p, c.data() + 1, poll);
    // Durbin-Levinson recursion on two rows: prev holds phi[k-1][.], cur phi[k][.].
    std::vector<double> prev(p + 1, 0.0), cur(p + 1, 0.0);
    prev[1] = c[1];
    out[1] = c[1];
    for (std::size_t k = 2; k <= p; ++k) {
        poll(3 * static_cast<std::uint64_t>(k));
        double num = c[k], den = 1.0;
        for (std::size_t j = 1; j < k; ++j) num = num - prev[j] * c[k - j];
        for (std::size_t j = 1; j < k; ++j) den = den - prev[j] * c[j];
        const double pkk = std::fabs(den) < 1e-10 ? 0.0 : num / den;
        cur[k] = pkk;
        for (std::size_t j = 1; j < k; ++j) cur[j] = prev[j] - pkk * prev[k - j];
        out[k] = pkk;
        std::swap(prev, cur);
    }
    return out;
}

double correlation_py(SignalView x, SignalView y) {
    if (x.size() < 2 || y.size() != x.size()) return NaN;
    const ValidPairs v(x, y);
    if (v.x.size() < 2) return NaN;
    return pearson_r(v.x, v.y);
}

double covariance_py(SignalView x, SignalView y) {
    if (x.size() < 2 || y.size() != x.size()) return NaN;
    const ValidPairs v(x, y);
    const std::size_t m = v.x.size();
    if (m < 2) return NaN;
    const double md = count_d(m);
    double sx = -0.0, sy = -0.0;
    for (std::size_t i = 0; i < m; ++i) {
        sx += v.x[i];
        sy += v.y[i];
    }
    const double mx = sx / md, my = sy / md;
    double acc = -0.0;
    for (std::size_t i = 0; i < m; ++i) acc += (v.x[i] - mx) * (v.y[i] - my);
    return acc / count_d(m - 1);
}

Array1 autocorrelation_function_py(SignalView signal, i64 max_lag) {
    const FiniteSamples fs(signal);
    const std::span<const double> x = fs.span();
    const std::size_t m = x.size();
    if (m < 3) return {{NaN}};
    const u64 bound = max_lag < 0 ? static_cast<u64>(m / 2) : static_cast<u64>(max_lag);
    const std::size_t L = static_cast<std::size_t>(std::min<u64>(m - 2, bound));
    std::vector<double> out(L + 1);
    out[0] = 1.0;
    InterruptPoll poll;
    if (L >= 1) lagged_profile(x, 1, L, out.data() + 1, poll);
    return {std::move(out)};
}

double acf_decay_time_py(SignalView signal, double threshold) {
    const FiniteSamples fs(signal);
    const std::span<const double> x = fs.span();
    const std::size_t m = x.size();
    if (m < 3) return NaN;
    const std::size_t L = std::min(m - 2, m / 2);
    // Lags in blocks of eight; the first lag below the threshold ends the search.
    double r[8];
    InterruptPoll poll;
    for (std::size_t k = 1; k <= L; k += 8) {
        const std::size_t last = std::min(L, k + 7);
        lagged_profile(x, k, last, r, poll);
        for (std::size_t j = k; j <= last; ++j)
            if (r[j - k] < threshold) return count_d(j);
    }
    return count_d(L);
}

Array1 cross_correlation_py(SignalView x, SignalView y, i64 max_lag, bool normalize) {
    const std::size_t n = x.size();
    if (y.size() != n || n < 2) return {{NaN}};
    const RawSamples xr(x), yr(y);
    CrossProfile p = cross_profile(xr.span(), yr.span(), max_lag, normalize);
    if (normalize) {
        const double root = profile_norm(p);
        if (!std::isnan(root))
            for (double& v : p.r) v = v / root;
    }
    return {std::move(p.r)};
}

i64 lag_at_max_xcorr_py(SignalView x, SignalView y, i64 max_lag) {
    const std::size_t n = x.size();
    if (y.size() != n || n < 2) return 0;
    const RawSamples xr(x), yr(y);
    const CrossProfile p = cross_profile(xr.span(), yr.span(), max_lag, true);
    const double root = profile_norm(p);
    const i64 L = static_cast<i64>(p.r.size() / 2);
    double best = -Inf;
    i64 best_lag = 0;
    for (std::size_t i = 0; i < p.r.size(); ++i) {
        const double v = std::isnan(root) ? p.r[i] : p.r[i] / root;
        if (v > best) {
            best = v;
            best_lag = static_cast<i64>(i) - L;
        }
    }
    return best_lag;
}

double partial_correlation_py(SignalView x, SignalView y, SignalView z) {
    const std::size_t n = x.size();
    if (y.size() != n || z.size() != n || n < 3) return NaN;
    const RawSamples rx(x), ry(y), rz(z);
    std::span<const double> xs = rx.span(), ys = ry.span(), zs = rz.span();
    std::vector<double> xo, yo, zo;
    if (!(all_finite(xs) && all_finite(ys) && all_finite(zs))) {
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isfinite(xs[i]) && std::isfinite(ys[i]) && std::isfinite(zs[i])) {
                xo.push_back(xs[i]);
                yo.push_back(ys[i]);
                zo.push_back(zs[i]);
            }
        }
        xs = xo;
        ys = yo;
        zs = zo;
    }
    const std::size_t m = xs.size();
    if (m < 3) return NaN;
    // The three coefficients share their means and sums of squares: one pass
    // each, every sum in index order as pearson_r takes it.
    const double md = count_d(m);
    double sx = -0.0, sy = -0.0, sz = -0.0;
    for (std::size_t i = 0; i < m; ++i) {
        sx += xs[i];
        sy += ys[i];
        sz += zs[i];
    }
    const double mx = sx / md, my = sy / md, mz = sz / md;
    double sxy = -0.0, sxz = -0.0, syz = -0.0, sxx = -0.0, syy = -0.0, szz = -0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const double dx = xs[i] - mx, dy = ys[i] - my, dz = zs[i] - mz;
        sxy += dx * dy;
        sxz += dx * dz;
        syz += dy * dz;
        sxx += dx * dx;
        syy += dy * dy;
        szz += dz * dz;
    }
    const double rxy = pearson_finish(sxy, sxx, syy), rxz = pearson_finish(sxz, sxx, szz),
                 ryz = pearson_finish(syz, syy, szz);
    if (std::isnan(rxy) || std::isnan(rxz) || std::isnan(ryz)) return NaN;
    const double q = (1.0 - rxz * rxz) * (1.0 - ryz * ryz);
    if (q == 0.0) return NaN;
    return (rxy - rxz * ryz) / std::sqrt(q);
}

double spearman_correlation_py(SignalView x, SignalView y) {
    if (y.size() != x.size() || x.size() < 3) return NaN;
    const ValidPairs v(x, y);
    if (v.x.size() < 3) return NaN;
    const double r = pearson_r(rank_transform(v.x), rank_transform(v.y));
    return std::isnan(r) ? 0.0 : r;
}

double kendall_tau_py(SignalView x, SignalView y) {
    if (y.size() != x.size() || x.size() < 3) return NaN;
    const ValidPairs v(x, y);
    if (v.x.size() <= 2) return 0.0;
    const auto [nc, nd] = kendall_counts(v.x, v.y);
    if (nc + nd == 0) return 0.0;
    const i64 diff = static_cast<i64>(nc) - static_cast<i64>(nd);
    return static_cast<double>(diff) / static_cast<double>(nc + nd);
}

std::tuple<Array1, Array1> coherence_py(SignalView x, SignalView y, u64 nperseg) {
    Spectra sp = segment_spectra(x, y, nperseg, true);
    if (sp.degenerate) return {Array1{{NaN}}, Array1{{NaN}}};
    const std::size_t B = sp.freqs.size();
    std::vector<double> coh(B);
    for (std::size_t k = 0; k < B; ++k) {
        const double p = sp.pxx[k] * sp.pyy[k];
        coh[k] = p > 2.220446049250313e-16 ? (sp.cre[k] * sp.cre[k] + sp.cim[k] * sp.cim[k]) / p
                                           : 0.0;
    }
    return {Array1{std::move(sp.freqs)}, Array1{std::move(coh)}};
}

std::tuple<Array1, Array1, Array1> cross_spectral_density_py(SignalView x, SignalView y,
                                                             u64 nperseg) {
    Spectra sp = segment_spectra(x, y, nperseg, false);
    if (sp.degenerate) return {Array1{{NaN}}, Array1{{NaN}}, Array1{{NaN}}};
    return {Array1{std::move(sp.freqs)}, Array1{std::move(sp.cre)}, Array1{std::move(sp.cim)}};
}

std::tuple<Array1, Array1> wavelet_coherence_py(SignalView x, SignalView y, u64 n_scales) {
    const std::size_t n = x.size();
    if (y.size() != n || n < 10) return {Array1{{NaN}}, Array1{{NaN}}};
    InterruptPoll poll;
    const std::vector<u64> scales = wavelet_scales(n, n_scales, poll);
    const RawSamples xr(x), yr(y);
    std::vector<double> sc(scales.size()), val(scales.size());
    for (std::size_t i = 0; i < scales.size(); ++i) {
        sc[i] = static_cast<double>(scales[i]);
        val[i] = block_coherence(xr.span(), yr.span(), static_cast<std::size_t>(scales[i]), poll);
    }
    return {Array1{std::move(sc)}, Array1{std::move(val)}};
}

const PyMethodDef defs[] = {
    NUVRA_DEF(autocorrelation_py, "autocorrelation",
              "autocorrelation(signal, lag)\n--\n\nCompute autocorrelation at specified lag.",
              "signal", "lag"),
    NUVRA_DEF(partial_autocorrelation_py, "partial_autocorrelation",
              "partial_autocorrelation(signal, max_lag)\n--\n\nCompute partial autocorrelation "
              "function.",
              "signal", "max_lag"),
    NUVRA_DEF(correlation_py, "correlation",
              "correlation(x, y)\n--\n\nCompute Pearson correlation coefficient.", "x", "y"),
    NUVRA_DEF(covariance_py, "covariance", "covariance(x, y)\n--\n\nCompute covariance.", "x",
              "y"),
    NUVRA_DEF(autocorrelation_function_py, "autocorrelation_function",
              "autocorrelation_function(signal, max_lag)\n--\n\nCompute full autocorrelation "
              "function.",
              "signal", "max_lag"),
    NUVRA_DEF(acf_decay_time_py, "acf_decay_time",
              "acf_decay_time(signal, threshold)\n--\n\nCompute ACF decay time.", "signal",
              "threshold"),
    NUVRA_DEF(cross_correlation_py, "cross_correlation",
              "cross_correlation(x, y, max_lag, normalize)\n--\n\nCompute cross-correlation "
              "between two signals.",
              "x", "y", "max_lag", "normalize"),
    NUVRA_DEF(lag_at_max_xcorr_py, "lag_at_max_xcorr",
              "lag_at_max_xcorr(x, y, max_lag)\n--\n\nFind lag at maximum cross-correlation.",
              "x", "y", "max_lag"),
    NUVRA_DEF(partial_correlation_py, "partial_correlation",
              "partial_correlation(x, y, z)\n--\n\nCompute partial correlation between x and y, "
              "controlling for z.",
              "x", "y", "z"),
    NUVRA_DEF(spearman_correlation_py, "spearman_correlation",
              "spearman_correlation(x, y)\n--\n\nCompute Spearman rank correlation.", "x", "y"),
    NUVRA_DEF(kendall_tau_py, "kendall_tau",
              "kendall_tau(x, y)\n--\n\nCompute Kendall's tau rank correlation.", "x", "y"),
    NUVRA_DEF(coherence_py, "coherence",
              "coherence(x, y, nperseg)\n--\n\nCompute coherence between two signals.", "x", "y",
              "nperseg"),
    NUVRA_DEF(cross_spectral_density_py, "cross_spectral_density",
              "cross_spectral_density(x, y, nperseg)\n--\n\nCompute cross-spectral density.", "x",
              "y", "nperseg"),
    NUVRA_DEF(wavelet_coherence_py, "wavelet_coherence",
              "wavelet_coherence(x, y, n_scales)\n--\n\nCompute wavelet coherence (simplified).",
              "x", "y", "n_scales"),
};

}  // namespace

namespace family {
FunctionTable correlation() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
