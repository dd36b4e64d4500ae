// The entropy family: template-matching entropies (sample, multiscale,
// approximate, entropy rate), permutation entropy and Lempel-Ziv complexity.
//
// Every function reads the raw samples (NaN and infinities kept). Two
// templates match when no corresponding difference reaches the tolerance r
// (a NaN difference never counts against a match); r is an absolute distance
// in the signal's own units.
//
// The template counts are exact integers, so the matching uses whichever
// algorithm finds the same pairs fastest: a sweep over templates sorted by
// their first value (all-finite signals, short templates), or a run-length
// walk along every diagonal of the pair matrix (anything else).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <tuple>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/samples.hpp"
#include "module_frame/simd.hpp"

namespace nuvra {
namespace {

using u64 = std::uint64_t;

// ln of the double-precision machine epsilon, used in place of ln 0.
constexpr double kLnEpsilon = -36.04365338911715;

// Templates of length up to this many values are matched by the sorted sweep.
constexpr std::size_t kSweepMaxLen = 8;

// True when the point difference a - b keeps two templates matching: the
// distance is a running maximum that a NaN difference never raises.
inline bool point_match(double a, double b, double r) { return !(std::fabs(a - b) >= r); }

// ------------------------------------------------------------------ sorted sweep

// Templates 0..n_lo-1 of length L (L >= 1) sorted by their first value, with
// their values laid out column by column; column L holds value L of the
// templates 0..n_hi-1 and +inf for the others, so that they never match at
// length L + 1 (all samples are finite here).
struct SortedTemplates {
    std::size_t L = 0, n = 0;
    std::vector<std::uint32_t> order;  // sorted position -> template start
    std::vector<double> cols;         // (L + 1) columns of n values

    SortedTemplates(std::span<const double> x, std::size_t len, std::size_t n_lo, std::size_t n_hi)
        : L(len), n(n_lo), order(n_lo) {
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return x[a] < x[b]; });
        cols.resize((L + 1) * n);
        for (std::size_t c = 0; c < L; ++c) {
            double* col = cols.data() + c * n;
            for (std::size_t s = 0; s < n; ++s) col[s] = x[order[s] + c];
        }
        double* last = cols.data() + L * n;
        for (std::size_t s = 0; s < n; ++s)
            last[s] = order[s] < n_hi ? x[order[s] + L] : Inf;
    }
    const double* col(std::size_t c) const { return cols.data() + c * n; }
};

using simd::v4d;
using simd::v4i;

inline u64 lane_sum(v4i v) { return static_cast<u64>(v[0] + v[1] + v[2] + v[3]); }

// Matches of template s with templates b..e-1 (sorted positions), whose first
// values already match, at length L (lo) and L + 1 (hi): the totals are
// returned and each matched partner's counter is raised. All values are
// finite here, so |d| < r is d < r and d > -r; a lane mask is -1 or 0.
template <std::size_t K>
NUVRA_MULTIVERSION void scan_range(
    const SortedTemplates& t, std::size_t s, std::size_t b, std::size_t e, double r, u64& lo,
    u64& hi, u64* per_lo, u64* per_hi) {
    const double* c[K + 1];
    double v[K + 1];
#pragma GCC unroll 9
    for (std::size_t k = 0; k <= K; ++k) {
        c[k] = t.col(k);
        v[k] = c[k][s];
    }
    const v4d rr = {r, r, r, r}, nr = -rr;
    v4i acc_lo = {0, 0, 0, 0}, acc_hi = {0, 0, 0, 0};
    std::size_t i = b;
    for (; i + 4 <= e; i += 4) {
        v4i ok = {-1, -1, -1, -1};
#pragma GCC unroll 9
        for (std::size_t k = 1; k < K; ++k) {
            const v4d d = simd::load(c[k] + i) - v[k];
            ok &= (d < rr) & (d > nr);
        }
        const v4d dh = simd::load(c[K] + i) - v[K];
        const v4i okh = ok & (dh < rr) & (dh > nr);
        acc_lo -= ok;
        acc_hi -= okh;
        simd::store_i(per_lo + i, simd::load_i(per_lo + i) - ok);
        simd::store_i(per_hi + i, simd::load_i(per_hi + i) - okh);
    }
    u64 cl = lane_sum(acc_lo), ch = lane_sum(acc_hi);
    for (; i < e; ++i) {
        u64 ok = 1;
#pragma GCC unroll 9
        for (std::size_t k = 1; k < K; ++k) ok &= static_cast<u64>(std::fabs(c[k][i] - v[k]) < r);
        const u64 okh = ok & static_cast<u64>(std::fabs(c[K][i] - v[K]) < r);
        cl += ok;
        ch += okh;
        per_lo[i] += ok;
        per_hi[i] += okh;
    }
    lo += cl;
    hi += ch;
}

using ScanFn = void (*)(const SortedTemplates&, std::size_t, std::size_t, std::size_t, double,
                        u64&, u64&, u64*, u64*);

ScanFn scan_for(std::size_t L) {
    static constexpr ScanFn table[kSweepMaxLen + 1] = {
        nullptr,       scan_range<1>, scan_range<2>, scan_range<3>, scan_range<4>,
        scan_range<5>, scan_range<6>, scan_range<7>, scan_range<8>};
    return table[L];
}

// Walks the sorted templates: for each one, the partners after it whose first
// value lies within r form one contiguous run (two pointers). Per-template
// counts (partners only) go to per_lo / per_hi by sorted position.
void sweep(const SortedTemplates& t, double r, u64& lo, u64& hi, u64* per_lo, u64* per_hi) {
    const ScanFn scan = scan_for(t.L);
    const double* c0 = t.col(0);
    InterruptPoll poll;
    std::size_t end = 0;
    for (std::size_t s = 0; s < t.n; ++s) {
        if (end < s + 1) end = s + 1;
        while (end < t.n && c0[end] - c0[s] < r) ++end;
        poll((end - s) * (t.L + 1));
        if (end == s + 1) continue;
        u64 l = 0, h = 0;
        scan(t, s, s + 1, end, r, l, h, per_lo, per_hi);
        lo += l;
        hi += h;
        per_lo[s] += l;
        per_hi[s] += h;
    }
}

bool sweep_fits(std::span<const double> x, std::size_t L) {
    return L >= 1 && L <= kSweepMaxLen && x.size() < (std::size_t{1} << 31) && all_finite(x);
}

// Pair mode of the sweep: pairs(L) for every L = 1..M at once. The templates
// are the starts 0..n-2 sorted by their first value; column c of start i holds
// x[i + c] while i + c <= n - 2 and +inf beyond, so a pair matches on its
// first L columns exactly when both templates belong to the first n - L of
// length L and match there.
struct PrefixTemplates {
    std::size_t n = 0, M = 0;
    std::vector<double> cols;  // M columns of n values

    PrefixTemplates(std::span<const double> x, std::size_t m_cols) : n(x.size() - 1), M(m_cols) {
        std::vector<std::uint32_t> order(n);
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(),
                  [&](std::uint32_t a, std::uint32_t b) { return x[a] < x[b]; });
        cols.resize(M * n);
        const std::size_t limit = x.size() - 2;
        for (std::size_t c = 0; c < M; ++c) {
            double* col = cols.data() + c * n;
            for (std::size_t s = 0; s < n; ++s)
                col[s] = order[s] + c <= limit ? x[order[s] + c] : Inf;
        }
    }
    const double* col(std::size_t c) const { return cols.data() + c * n; }
};

// cnt[c] += partners among b..e-1 that match template s on columns 0..c
// (column 0 already matches), c = 1..K.
template <std::size_t K>
NUVRA_MULTIVERSION void scan_prefix(const PrefixTemplates& t, std::size_t s, std::size_t b,
                                    std::size_t e, double r, u64* cnt) {
    const double* c[K + 1];
    double v[K + 1];
#pragma GCC unroll 9
    for (std::size_t k = 1; k <= K; ++k) {
        c[k] = t.col(k);
        v[k] = c[k][s];
    }
    const v4d rr = {r, r, r, r}, nr = -rr;
    v4i acc[K + 1];
#pragma GCC unroll 9
    for (std::size_t k = 1; k <= K; ++k) acc[k] = v4i{0, 0, 0, 0};
    std::size_t i = b;
    for (; i + 4 <= e; i += 4) {
        v4i ok = {-1, -1, -1, -1};
#pragma GCC unroll 9
        for (std::size_t k = 1; k <= K; ++k) {
            const v4d d = simd::load(c[k] + i) - v[k];
            ok &= (d < rr) & (d > nr);
            acc[k] -= ok;
        }
    }
#pragma GCC unroll 9
    for (std::size_t k = 1; k <= K; ++k) cnt[k] += lane_sum(acc[k]);
    for (; i < e; ++i) {
        u64 ok = 1;
#pragma GCC unroll 9
        for (std::size_t k = 1; k <= K; ++k) {
            ok &= static_cast<u64>(std::fabs(c[k][i] - v[k]) < r);
            cnt[k] += ok;
        }
    }
}

using PrefixScanFn = void (*)(const PrefixTemplates&, std::size_t, std::size_t, std::size_t,
                              double, u64*);

// pairs(L) for L = 1..M (M <= kSweepMaxLen + 1) into out[L - 1]; finite x.
void sweep_pairs(std::span<const double> x, std::size_t M, double r, u64* out) {
    static constexpr PrefixScanFn table[kSweepMaxLen + 1] = {
        nullptr,        scan_prefix<1>, scan_prefix<2>, scan_prefix<3>, scan_prefix<4>,
        scan_prefix<5>, scan_prefix<6>, scan_prefix<7>, scan_prefix<8>};
    const PrefixTemplates t(x, M);
    const PrefixScanFn scan = M >= 2 ? table[M - 1] : nullptr;
    const double* c0 = t.col(0);
    u64 cnt[kSweepMaxLen + 1] = {};
    InterruptPoll poll;
    std::size_t end = 0;
    for (std::size_t s = 0; s < t.n; ++s) {
        if (end < s + 1) end = s + 1;
        while (end < t.n && c0[end] - c0[s] < r) ++end;
        poll((end - s) * M);
        if (end == s + 1) continue;
        cnt[0] += end - s - 1;
        if (scan) scan(t, s, s + 1, end, r, cnt);
    }
    for (std::size_t L = 1; L <= M; ++L) out[L - 1] = cnt[L - 1];
}

// ------------------------------------------------------------------ diagonal walk

// Matching pairs (i, i + d) counted along each diagonal d of the pair matrix:
// `run` is the number of consecutive matching points ending at position p, so
// the template of length L ending there matches its partner iff run >= L.
// Four neighbouring diagonals run side by side: at position p they compare
// x[p] with x[p + d .. p + d + 3].
//
// Pair mode (per_lo == nullptr): pair counts among the first n - L templates
// of length L (lo) and the first n - L - 1 of length L + 1 (hi); positions
// p <= n - d - 2. Per-template mode: partner counts of each template among
// the first n - L + 1 of length L and the first n - L of length L + 1;
// positions p <= n - d - 1. L >= 1.
constexpr std::size_t kMaxLevels = 16;

struct DiagonalCounts {
    // Pair mode: levels[q] counts the pairs of length lmin + q, q < n_levels.
    std::size_t lmin = 1, n_levels = 0;
    u64 levels[kMaxLevels] = {};
    u64* per_lo = nullptr;
    u64* per_hi = nullptr;

    void point(std::size_t p, std::size_t d, u64 run, std::size_t L) {
        if (!per_lo) {
            for (std::size_t q = 0; q < n_levels; ++q) levels[q] += run >= lmin + q;
            return;
        }
        if (run < L) return;
        const std::size_t i = p + 1 - L;
        ++per_lo[i];
        ++per_lo[i + d];
        if (run >= L + 1) {
            ++per_hi[i - 1];
            ++per_hi[i - 1 + d];
        }
    }
};

// Walks the diagonals d_lo .. d_hi - 1 (d_lo = 1 + a multiple of 4).
NUVRA_MULTIVERSION void diagonal_range(std::span<const double> x, std::size_t L, double r,
                                       DiagonalCounts& out, std::size_t d_lo, std::size_t d_hi) {
    const std::size_t n = x.size();
    const double* a = x.data();
    // Last position of diagonal d, exclusive: n - d - 1 (pairs) or n - d.
    const std::size_t tail = out.per_lo ? 0 : 1;
    auto end_of = [&](std::size_t d) { return n - d - tail; };
    const v4d rr = {r, r, r, r}, nr = -rr;
    const std::int64_t Ls = static_cast<std::int64_t>(L);
    const v4i lv = {Ls, Ls, Ls, Ls}, l1v = lv + 1, one = {1, 1, 1, 1};
    std::size_t d = d_lo;
    v4i level_v[kMaxLevels];
    for (std::size_t q = 0; q < out.n_levels; ++q) {
        const std::int64_t lq = static_cast<std::int64_t>(out.lmin + q);
        level_v[q] = v4i{lq, lq, lq, lq};
    }
    for (; d + 3 + tail < n && d + 4 <= d_hi; d += 4) {
        v4i run = {0, 0, 0, 0};
        v4i acc[kMaxLevels];
        for (std::size_t q = 0; q < out.n_levels; ++q) acc[q] = run;
        const std::size_t common = end_of(d + 3);
        std::size_t p0 = 0;
        if (!out.per_lo && out.n_levels == 2) {
            // The common case (one sample entropy): two counts in registers.
            v4i c0 = run, c1 = run;
            const v4i l0 = level_v[0], l1 = level_v[1];
            for (; p0 < common; ++p0) {
                const v4d b = simd::load(a + p0 + d);
                const v4d diff = b - a[p0];
                run = (run + one) & ~((diff >= rr) | (diff <= nr));
                c0 -= run >= l0;
                c1 -= run >= l1;
            }
            acc[0] = c0;
            acc[1] = c1;
        }
        for (std::size_t p = p0; p < common; ++p) {
            const v4d b = simd::load(a + p + d);
            const v4d diff = b - a[p];
            const v4i far = (diff >= rr) | (diff <= nr);  // NaN differences never are
            run = (run + one) & ~far;
            if (!out.per_lo) {
                for (std::size_t q = 0; q < out.n_levels; ++q) acc[q] -= run >= level_v[q];
            } else {
                const v4i mlo = run >= lv, mhi = run >= l1v;
                const std::size_t i = p + 1 - std::min<std::size_t>(L, p + 1);
                const std::int64_t c_lo = -(mlo[0] + mlo[1] + mlo[2] + mlo[3]);
                if (c_lo == 0) continue;
                out.per_lo[i] += static_cast<u64>(c_lo);
                const std::int64_t c_hi = -(mhi[0] + mhi[1] + mhi[2] + mhi[3]);
                if (c_hi) out.per_hi[i - 1] += static_cast<u64>(c_hi);  // then p >= L
                for (std::size_t j = 0; j < 4; ++j) {
                    out.per_lo[i + d + j] -= static_cast<u64>(mlo[j]);
                    if (mhi[j]) ++out.per_hi[i - 1 + d + j];
                }
            }
        }
        for (std::size_t q = 0; q < out.n_levels; ++q) out.levels[q] += lane_sum(acc[q]);
        // Each diagonal of the block finishes its own remaining positions.
        for (std::size_t j = 0; j < 4; ++j) {
            u64 rj = static_cast<u64>(run[j]);
            for (std::size_t p = common; p < end_of(d + j); ++p) {
                rj = point_match(a[p], a[p + d + j], r) ? rj + 1 : 0;
                out.point(p, d + j, rj, L);
            }
        }
    }
    for (; d + tail < n && d < d_hi; ++d) {
        u64 run = 0;
        for (std::size_t p = 0; p < end_of(d); ++p) {
            run = point_match(a[p], a[p + d], r) ? run + 1 : 0;
            out.point(p, d, run, L);
        }
    }
}

// All diagonals, a few at a time, with a check for Ctrl-C between them (the
// check may throw, so it stays outside the multiversioned kernel).
void diagonal_walk(std::span<const double> x, std::size_t L, double r, DiagonalCounts& out) {
    const std::size_t n = x.size();
    const u64 per_point = out.n_levels + 2;
    InterruptPoll poll;
    for (std::size_t d = 1; d < n; d += 4) {
        poll(4 * static_cast<u64>(n - d) * per_point);
        diagonal_range(x, L, r, out, d, d + 4 < n ? d + 4 : n);
    }
}

// pairs(L) for L = lmin .. lmin + count - 1 into out.
void diagonal_pairs(std::span<const double> x, std::size_t lmin, std::size_t count, double r,
                    u64* out) {
    DiagonalCounts c;
    c.lmin = lmin;
    c.n_levels = count;
    diagonal_walk(x, lmin, r, c);
    for (std::size_t q = 0; q < count; ++q) out[q] = c.levels[q];
}

void diagonal_per_template(std::span<const double> x, std::size_t L, double r, u64* per_lo,
                           u64* per_hi) {
    DiagonalCounts c;
    c.per_lo = per_lo;
    c.per_hi = per_hi;
    diagonal_walk(x, L, r, c);
}

// ------------------------------------------------------------------ sample entropy

// pairs(L): matching pairs among the first n - L templates of length L (the
// sample entropy's B is pairs(m), its A is pairs(m + 1)). Fills out[q] with
// pairs(lmin + q) for q < count; n >= lmin + count, count <= kMaxLevels.
void pair_counts(std::span<const double> x, std::size_t lmin, std::size_t count, double r,
                 u64* out) {
    const std::size_t n = x.size();
    if (lmin == 0) {
        out[0] = static_cast<u64>(n) * static_cast<u64>(n - 1) / 2;  // empty templates all match
        if (count > 1) pair_counts(x, 1, count - 1, r, out + 1);
        return;
    }
    const std::size_t top = lmin + count - 1;
    if (top <= kSweepMaxLen + 1 && n < (std::size_t{1} << 31) && all_finite(x)) {
        u64 all[kSweepMaxLen + 1];
        sweep_pairs(x, top, r, all);
        for (std::size_t q = 0; q < count; ++q) out[q] = all[lmin + q - 1];
    } else {
        diagonal_pairs(x, lmin, count, r, out);
    }
}

// True when n >= m + 2 in exact arithmetic.
inline bool long_enough(std::size_t n, u64 m) { return n >= 2 && m <= static_cast<u64>(n - 2); }

inline double sampen_of(u64 b, u64 a) {
    if (b == 0 || a == 0) return NaN;
    return -std::log(static_cast<double>(a) / static_cast<double>(b));
}

double sample_entropy_inner(std::span<const double> x, u64 m, double r) {
    // A tolerance of zero, below zero or NaN matches nothing.
    if (!(r > 0.0) || !long_enough(x.size(), m)) return NaN;
    u64 ba[2];
    pair_counts(x, static_cast<std::size_t>(m), 2, r, ba);
    return sampen_of(ba[0], ba[1]);
}

// Coarse-grained signal at scale s: block means, each block summed in index
// order; a trailing partial block is dropped.
std::vector<double> coarse_grain(std::span<const double> x, std::size_t s) {
    const std::size_t len = x.size() / s;
    std::vector<double> y(len);
    const double sd = static_cast<double>(s);
    for (std::size_t j = 0; j < len; ++j) {
        double acc = -0.0;
        const double* blk = x.data() + j * s;
        for (std::size_t k = 0; k < s; ++k) acc += blk[k];
        y[j] = acc / sd;
    }
    return y;
}

// ------------------------------------------------------------------ approximate entropy

// phi of N templates from their match counts (self-match included).
double phi_of(const std::vector<u64>& counts) {
    const double N = static_cast<double>(counts.size());
    double acc = -0.0;
    for (u64 c : counts) {
        const double q = static_cast<double>(c) / N;
        acc += q > 0.0 ? std::log(q) : kLnEpsilon;
    }
    return acc / N;
}

double approximate_entropy_inner(std::span<const double> x, u64 m, double r) {
    const std::size_t n = x.size();
    // A negative or NaN tolerance matches nothing, not even a template with
    // itself, so the statistic would be meaningless: NaN as for r = 0.
    if (!(r > 0.0) || !long_enough(n, m)) return NaN;
    const std::size_t L = static_cast<std::size_t>(m);
    // Templates of length L: starts 0..n-L; of length L + 1: starts 0..n-L-1.
    std::vector<u64> c_lo(n - L + 1, 0), c_hi(n - L, 0);
    if (L == 0) {
        // Every empty template matches all n + 1 of them.
        std::fill(c_lo.begin(), c_lo.end(), static_cast<u64>(n));
        if (sweep_fits(x, 1)) {
            const SortedTemplates t(x, 1, n, 0);
            std::vector<u64> ps(n, 0), ps_unused(n, 0);
            u64 lo = 0, hi = 0;
            sweep(t, r, lo, hi, ps.data(), ps_unused.data());
            for (std::size_t s = 0; s < n; ++s) c_hi[t.order[s]] = ps[s];
        } else {
            std::vector<u64> dummy(n, 0);
            diagonal_per_template(x, 1, r, c_hi.data(), dummy.data());
        }
    } else if (sweep_fits(x, L)) {
        const SortedTemplates t(x, L, n - L + 1, n - L);
        std::vector<u64> ps_lo(t.n, 0), ps_hi(t.n, 0);
        u64 lo = 0, hi = 0;
        sweep(t, r, lo, hi, ps_lo.data(), ps_hi.data());
        for (std::size_t s = 0; s < t.n; ++s) {
            const std::size_t i = t.order[s];
            c_lo[i] = ps_lo[s];
            if (i < n - L) c_hi[i] = ps_hi[s];
        }
    } else {
        diagonal_per_template(x, L, r, c_lo.data(), c_hi.data());
    }
    // With r > 0 every template matches itself.
    for (u64& c : c_lo) ++c;
    for (u64& c : c_hi) ++c;
    return phi_of(c_lo) - phi_of(c_hi);
}

// ------------------------------------------------------------------ permutation entropy

// Stable ascending order of the offsets 0..k-1 by w (NaN after every number).
void ordinal_pattern(const double* w, std::size_t delay, std::size_t k, std::uint32_t* perm) {
    if (k <= 32) {
        for (std::size_t i = 0; i < k; ++i) {
            const double v = w[i * delay];
            std::size_t j = i;
            while (j > 0 && nan_last_less(v, w[perm[j - 1] * delay])) {
                perm[j] = perm[j - 1];
                --j;
            }
            perm[j] = static_cast<std::uint32_t>(i);
        }
        return;
    }
    std::iota(perm, perm + k, 0u);
    std::stable_sort(perm, perm + k, [&](std::uint32_t a, std::uint32_t b) {
        return nan_last_less(w[a * delay], w[b * delay]);
    });
}

constexpr u64 kFact[21] = {1ull,
                           1ull,
                           2ull,
                           6ull,
                           24ull,
                           120ull,
                           720ull,
                           5040ull,
                           40320ull,
                           362880ull,
                           3628800ull,
                           39916800ull,
                           479001600ull,
                           6227020800ull,
                           87178291200ull,
                           1307674368000ull,
                           20922789888000ull,
                           355687428096000ull,
                           6402373705728000ull,
                           121645100408832000ull,
                           2432902008176640000ull};

// Inversion code of a window's ordinal pattern, k <= 20: with above(a) the
// number of earlier offsets b < a that sort after a (a value strictly below
// theirs, NaN after every number), code = sum of above(a) * a!. The digits
// above(a) <= a determine the stable order of the offsets, so distinct
// patterns have distinct codes in 0 .. k! - 1. Four neighbouring windows are
// coded side by side; out[j] is the code of window i0 + j, j < count.
template <std::size_t K>
NUVRA_MULTIVERSION void inversion_codes(const double* x, std::size_t delay, std::size_t k,
                                        std::size_t i0, std::size_t count, u64* out) {
    const std::size_t kk = K ? K : k;
    std::size_t j = 0;
    for (; j + 4 <= count; j += 4) {
        const double* w = x + i0 + j;
        v4i code = {0, 0, 0, 0};
        for (std::size_t a = 1; a < kk; ++a) {
            const v4d va = simd::load(w + a * delay);
            const v4i va_num = va == va;
            const std::int64_t f = static_cast<std::int64_t>(kFact[a]);
            const v4i fv = {f, f, f, f};
            for (std::size_t b = 0; b < a; ++b) {
                const v4d vb = simd::load(w + b * delay);
                // va before vb: below it, or a number against a NaN
                const v4i before = (va < vb) | (va_num & (vb != vb));
                code += before & fv;
            }
        }
        simd::store_i(out + j, code);
    }
    for (; j < count; ++j) {
        const double* w = x + i0 + j;
        u64 code = 0;
        for (std::size_t a = 1; a < kk; ++a)
            for (std::size_t b = 0; b < a; ++b)
                code += nan_last_less(w[a * delay], w[b * delay]) ? kFact[a] : 0;
        out[j] = code;
    }
}

using CodeFn = void (*)(const double*, std::size_t, std::size_t, std::size_t, std::size_t, u64*);

CodeFn codes_for(std::size_t k) {
    static constexpr CodeFn table[9] = {inversion_codes<0>, inversion_codes<1>, inversion_codes<2>,
                                        inversion_codes<3>, inversion_codes<4>, inversion_codes<5>,
                                        inversion_codes<6>, inversion_codes<7>, inversion_codes<8>};
    return k <= 8 ? table[k] : inversion_codes<0>;
}

// Rank of the pattern with inversion code `code` among all patterns of k
// offsets in lexicographic order (its Lehmer code): the offsets are placed
// in sorted order one at a time (offset a goes in after a - above(a) of the
// earlier ones), and the Lehmer digit at the position of offset a is above(a).
u64 rank_of_code(u64 code, std::size_t k) {
    std::uint32_t above[20], order[20];
    for (std::size_t a = 0; a < k; ++a) above[a] = static_cast<std::uint32_t>((code / kFact[a]) % (a + 1));
    for (std::size_t a = 0; a < k; ++a) {
        const std::size_t pos = a - above[a];
        for (std::size_t q = a; q > pos; --q) order[q] = order[q - 1];
        order[pos] = static_cast<std::uint32_t>(a);
    }
    u64 rank = 0;
    for (std::size_t pos = 0; pos < k; ++pos) rank += above[order[pos]] * kFact[k - 1 - pos];
    return rank;
}

// H = -sum p log2 p over the pattern counts, visited in ascending pattern order.
struct EntropySum {
    double h = 0.0;
    double total;
    explicit EntropySum(std::size_t n) : total(static_cast<double>(n)) {}
    void add(u64 count) {
        const double p = static_cast<double>(count) / total;
        if (p > 0.0) h = h - p * std::log2(p);
    }
};

// Adds the counts of the patterns in ascending pattern order: the patterns
// are enumerated lexicographically, one offset after the other, and each
// one's inversion code is summed on the way (an offset placed while smaller
// offsets are still to come sorts before each of them). `unplaced` holds
// the offsets not yet placed.
void visit_in_rank_order(const u64* counts, std::size_t k, std::uint32_t unplaced, u64 code,
                         EntropySum& es, InterruptPoll& poll) {
    if (unplaced == 0) {
        poll(1);
        if (counts[code]) es.add(counts[code]);
        return;
    }
    for (std::size_t o = 0; o < k; ++o) {
        const std::uint32_t bit = std::uint32_t{1} << o;
        if (!(unplaced & bit)) continue;
        const u64 smaller = static_cast<u64>(std::popcount(unplaced & (bit - 1)));
        visit_in_rank_order(counts, k, unplaced & ~bit, code + smaller * kFact[o], es, poll);
    }
}

// Patterns of at most 20 offsets: every window's inversion code, counted in
// a table of k! cells while that is small beside the windows and by sorting
// otherwise; the counts are then visited in ascending pattern order.
void short_pattern_counts(std::span<const double> x, std::size_t dl, std::size_t k, std::size_t N,
                          EntropySum& es) {
    const u64 fact = kFact[k];
    const CodeFn code = codes_for(k);
    const u64 pairs = static_cast<u64>(k) * (k - 1) / 2 + 1;
    constexpr std::size_t kBlock = 1024;
    InterruptPoll poll;
    if (fact <= 2 * static_cast<u64>(N) + 1024) {
        std::vector<u64> counts(static_cast<std::size_t>(fact), 0);
        u64 buf[kBlock];
        for (std::size_t i = 0; i < N; i += kBlock) {
            const std::size_t c = std::min(kBlock, N - i);
            code(x.data(), dl, k, i, c, buf);
            for (std::size_t j = 0; j < c; ++j) ++counts[buf[j]];
            poll(c * pairs);
        }
        visit_in_rank_order(counts.data(), k, (std::uint32_t{1} << k) - 1, 0, es, poll);
        return;
    }
    std::vector<u64> codes(N);
    for (std::size_t i = 0; i < N; i += kBlock) {
        const std::size_t c = std::min(kBlock, N - i);
        code(x.data(), dl, k, i, c, codes.data() + i);
        poll(c * pairs);
    }
    std::sort(codes.begin(), codes.end());
    // (rank, count) of each distinct pattern, summed in rank order
    std::vector<std::pair<u64, u64>> groups;
    for (std::size_t i = 0; i < N;) {
        std::size_t j = i + 1;
        while (j < N && codes[j] == codes[i]) ++j;
        groups.emplace_back(rank_of_code(codes[i], k), j - i);
        poll(pairs);
        i = j;
    }
    std::sort(groups.begin(), groups.end());
    for (const auto& gc : groups) es.add(gc.second);
}

// Entries t .. t+len-1 of a window's ordinal pattern into out: the offsets
// ordered by value (NaN after every number) and, among equal values, by
// offset, which is the stable order; scratch holds k offsets.
void pattern_chunk(const double* w, std::size_t delay, std::size_t k, std::size_t t,
                   std::size_t len, std::uint32_t* scratch, std::uint32_t* out) {
    auto before = [&](std::uint32_t a, std::uint32_t b) {
        const double va = w[a * delay], vb = w[b * delay];
        if (nan_last_less(va, vb)) return true;
        if (nan_last_less(vb, va)) return false;
        return a < b;
    };
    std::iota(scratch, scratch + k, 0u);
    if (t > 0) std::nth_element(scratch, scratch + t, scratch + k, before);
    std::partial_sort(scratch + t, scratch + t + len, scratch + k, before);
    std::copy(scratch + t, scratch + t + len, out);
}

// Patterns of more than 20 offsets, counted without storing them: the
// windows are sorted by the first entries of their patterns, a few at a
// time, and only the windows that still tie are refined by the next few
// entries (a group that a step leaves whole is first checked for being one
// pattern throughout). Distinct patterns come out in ascending
// lexicographic order, and the working memory follows the windows, not the
// order.
void long_pattern_counts(std::span<const double> x, std::size_t dl, std::size_t k, std::size_t N,
                         EntropySum& es) {
    constexpr std::size_t kChunk = 8;
    InterruptPoll poll;
    std::vector<std::size_t> idx(N), perm, moved;
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    std::vector<std::uint32_t> scratch(k), rep(k), cur(k), keys;
    struct Group {
        std::size_t lo, hi, t;  // windows idx[lo .. hi) share pattern entries 0 .. t-1
        bool whole;             // the previous step did not split it
    };
    std::vector<Group> todo{{0, N, 0, false}};
    const u64 full_cost = static_cast<u64>(k) * (k <= 32 ? k : 64);
    while (!todo.empty()) {
        const Group g = todo.back();
        todo.pop_back();
        const std::size_t G = g.hi - g.lo;
        if (G == 1 || g.t >= k) {
            es.add(G);
            continue;
        }
        if (g.whole) {
            ordinal_pattern(x.data() + idx[g.lo], dl, k, rep.data());
            bool one = true;
            for (std::size_t i = g.lo + 1; i < g.hi && one; ++i) {
                poll(full_cost);
                ordinal_pattern(x.data() + idx[i], dl, k, cur.data());
                one = std::equal(rep.begin() + static_cast<std::ptrdiff_t>(g.t), rep.end(),
                                 cur.begin() + static_cast<std::ptrdiff_t>(g.t));
            }
            if (one) {
                es.add(G);
                continue;
            }
        }
        const std::size_t len = std::min(kChunk, k - g.t);
        keys.resize(G * len);
        for (std::size_t i = 0; i < G; ++i) {
            poll(2 * static_cast<u64>(k));
            pattern_chunk(x.data() + idx[g.lo + i], dl, k, g.t, len, scratch.data(),
                          keys.data() + i * len);
        }
        auto key = [&](std::size_t i) { return keys.data() + i * len; };
        perm.resize(G);
        std::iota(perm.begin(), perm.end(), std::size_t{0});
        std::sort(perm.begin(), perm.end(), [&](std::size_t a, std::size_t b) {
            poll(len);
            return std::lexicographical_compare(key(a), key(a) + len, key(b), key(b) + len);
        });
        moved.resize(G);
        for (std::size_t i = 0; i < G; ++i) moved[i] = idx[g.lo + perm[i]];
        std::copy(moved.begin(), moved.end(), idx.begin() + static_cast<std::ptrdiff_t>(g.lo));
        // the tied runs, smallest first off the stack
        const std::size_t first = todo.size();
        for (std::size_t i = 0; i < G;) {
            std::size_t j = i + 1;
            while (j < G && std::equal(key(perm[i]), key(perm[i]) + len, key(perm[j]))) ++j;
            todo.push_back({g.lo + i, g.lo + j, g.t + len, j - i == G});
            i = j;
        }
        std::reverse(todo.begin() + static_cast<std::ptrdiff_t>(first), todo.end());
    }
}

double permutation_entropy_inner(std::span<const double> x, u64 order, u64 delay, bool normalize) {
    const std::size_t n = x.size();
    // With delay 0 every window repeats one sample: one pattern, entropy 0.
    if (delay == 0) return 0.0;
    u64 span_len;
    if (mul_overflows(order, delay, span_len) || static_cast<u64>(n) < span_len) return NaN;
    if (order == 0) return 0.0;
    const std::size_t k = static_cast<std::size_t>(order);
    const std::size_t dl = static_cast<std::size_t>(delay);
    const std::size_t N = n - dl * (k - 1);
    EntropySum es(N);
    if (k <= 20) {
        short_pattern_counts(x, dl, k, N, es);
    } else {
        long_pattern_counts(x, dl, k, N, es);
    }
    double h = es.h;
    if (normalize) {
        double d;
        if (k <= 20) {
            d = std::log2(static_cast<double>(kFact[k]));
        } else {
            d = -0.0;
            for (std::size_t i = 2; i <= k; ++i) d += std::log2(static_cast<double>(i));
        }
        if (d > 0.0) h = h / d;
    }
    return h;
}

// ------------------------------------------------------------------ Lempel-Ziv

// Suffix automaton of a 0/1 sequence; each state keeps the end position of
// the first occurrence of its strings, which tells whether a phrase already
// occurs inside a given prefix.
template <typename I>
struct SuffixAutomaton {
    static constexpr I kNone = static_cast<I>(-1);
    std::vector<I> next, link, len, first_end;

    explicit SuffixAutomaton(const std::vector<std::uint8_t>& s) {
        const std::size_t cap = 2 * s.size() + 1;
        next.assign(2 * cap, kNone);
        link.resize(cap);
        len.resize(cap);
        first_end.resize(cap);
        std::size_t size = 1;
        I last = 0;
        link[0] = kNone;
        len[0] = 0;
        first_end[0] = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            const unsigned c = s[i];
            const I cur = static_cast<I>(size++);
            len[cur] = len[last] + 1;
            first_end[cur] = static_cast<I>(i);
            I p = last;
            while (p != kNone && next[2 * p + c] == kNone) {
                next[2 * p + c] = cur;
                p = link[p];
            }
            if (p == kNone) {
                link[cur] = 0;
            } else {
                const I q = next[2 * p + c];
                if (len[p] + 1 == len[q]) {
                    link[cur] = q;
                } else {
                    const I clone = static_cast<I>(size++);
                    len[clone] = len[p] + 1;
                    next[2 * clone] = next[2 * q];
                    next[2 * clone + 1] = next[2 * q + 1];
                    link[clone] = link[q];
                    first_end[clone] = first_end[q];
                    while (p != kNone && next[2 * p + c] == q) {
                        next[2 * p + c] = clone;
                        p = link[p];
                    }
                    link[q] = clone;
                    link[cur] = clone;
                }
            }
            last = cur;
        }
    }
};

// Phrase count c of the exhaustive parsing: a candidate phrase grows while it
// occurs (as a whole) inside everything before its own last symbol.
template <typename I>
u64 lz_phrase_count(const std::vector<std::uint8_t>& s) {
    const std::size_t n = s.size();
    const SuffixAutomaton<I> sam(s);
    u64 c = 1;
    std::size_t start = 0, len = 1;
    I state = sam.next[s[0]];
    for (;;) {
        const std::size_t h = start + len - 1;
        // Reproducible iff some occurrence ends before position h.
        const bool reproducible = static_cast<std::size_t>(sam.first_end[state]) + 1 <= h;
        if (reproducible) {
            ++len;
            if (start + len > n) break;
            state = sam.next[2 * static_cast<std::size_t>(state) + s[start + len - 1]];
        } else {
            ++c;
            start += len;
            len = 1;
            if (start + 1 > n) break;
            state = sam.next[s[start]];
        }
    }
    return c;
}

double lempel_ziv_inner(std::span<const double> x, double threshold) {
    const std::size_t n = x.size();
    if (n <= 1) return NaN;
    std::vector<std::uint8_t> s(n);
    for (std::size_t i = 0; i < n; ++i) s[i] = x[i] > threshold;
    const u64 c = n < (std::size_t{1} << 30) ? lz_phrase_count<std::uint32_t>(s)
                                             : lz_phrase_count<std::uint64_t>(s);
    const double nd = static_cast<double>(n);
    return static_cast<double>(c) / (nd / std::log2(nd));
}

// ------------------------------------------------------------------ wrappers

double sample_entropy_py(SignalView signal, u64 m, double r) {
    if (r == 0.0 || !long_enough(signal.size(), m)) return NaN;
    return sample_entropy_inner(RawSamples(signal).span(), m, r);
}

double permutation_entropy_py(SignalView signal, u64 order, u64 delay, bool normalize) {
    if (delay == 0) return 0.0;
    return permutation_entropy_inner(RawSamples(signal).span(), order, delay, normalize);
}

double approximate_entropy_py(SignalView signal, u64 m, double r) {
    if (!(r > 0.0) || !long_enough(signal.size(), m)) return NaN;
    return approximate_entropy_inner(RawSamples(signal).span(), m, r);
}

double lempel_ziv_complexity_py(SignalView signal, double threshold) {
    return lempel_ziv_inner(RawSamples(signal).span(), threshold);
}

Array1 multiscale_entropy_py(SignalView signal, u64 m, double r, u64 max_scale) {
    const std::size_t n = signal.size();
    u64 m2;
    const u64 fit = add_overflows(m, 2, m2) ? 0 : static_cast<u64>(n) / m2;
    const u64 S = std::min(fit, max_scale);
    if (S == 0) return {{NaN}};
    std::vector<double> out(static_cast<std::size_t>(S));
    if (r == 0.0) {
        std::fill(out.begin(), out.end(), NaN);
        return {std::move(out)};
    }
    const RawSamples raw(signal);
    const std::span<const double> x = raw.span();
    out[0] = sample_entropy_inner(x, m, r);
    InterruptPoll poll;
    for (std::size_t s = 2; s <= S; ++s) {
        poll(x.size() + 32 * (x.size() / s));  // the block sums and a sort of the blocks
        const std::vector<double> y = coarse_grain(x, s);
        out[s - 1] = sample_entropy_inner(y, m, r);
    }
    return {std::move(out)};
}

double entropy_rate_py(SignalView signal, u64 m_max, double r) {
    const std::size_t n = signal.size();
    if (r == 0.0 || !long_enough(n, m_max)) return NaN;
    if (m_max == 0) return NaN;
    const RawSamples raw(signal);
    const std::span<const double> x = raw.span();
    double last = NaN;
    u64 kept = 0;
    if (!(r > 0.0)) return NaN;  // nothing matches
    // pairs(L) for consecutive L, computed a range at a time: all template
    // lengths of one range come from one pass over the pairs.
    u64 pairs[kMaxLevels];
    std::size_t first = 0, have = 0;  // pairs[q] = pairs(first + q), q < have
    InterruptPoll poll;
    for (u64 m = 1; m <= m_max; ++m) {
        if (!long_enough(n, m)) break;
        poll(n);
        const std::size_t L = static_cast<std::size_t>(m);
        if (L + 1 >= first + have) {  // refill from L
            first = L;
            have = std::min<std::size_t>(kMaxLevels, static_cast<std::size_t>(m_max) - L + 2);
            pair_counts(x, first, have, r, pairs);
        }
        const double v = sampen_of(pairs[L - first], pairs[L + 1 - first]);
        if (!std::isfinite(v)) break;
        last = v;
        ++kept;
    }
    return kept >= 2 ? last : NaN;
}

const PyMethodDef defs[] = {
    NUVRA_DEF(sample_entropy_py, "sample_entropy",
              "sample_entropy(signal, m, r)\n--\n\nCompute sample entropy.", "signal", "m", "r"),
    NUVRA_DEF(permutation_entropy_py, "permutation_entropy",
              "permutation_entropy(signal, order, delay, normalize)\n--\n\nCompute permutation "
              "entropy.",
              "signal", "order", "delay", "normalize"),
    NUVRA_DEF(approximate_entropy_py, "approximate_entropy",
              "approximate_entropy(signal, m, r)\n--\n\nCompute approximate entropy.", "signal",
              "m", "r"),
    NUVRA_DEF(lempel_ziv_complexity_py, "lempel_ziv_complexity",
              "lempel_ziv_complexity(signal, threshold)\n--\n\nCompute Lempel-Ziv complexity.",
              "signal", "threshold"),
    NUVRA_DEF(multiscale_entropy_py, "multiscale_entropy",
              "multiscale_entropy(signal, m, r, max_scale)\n--\n\nCompute multiscale entropy.",
              "signal", "m", "r", "max_scale"),
    NUVRA_DEF(entropy_rate_py, "entropy_rate",
              "entropy_rate(signal, m_max, r)\n--\n\nEstimate entropy rate from sample entropy "
              "convergence.",
              "signal", "m_max", "r"),
};

}  // namespace

namespace family {
FunctionTable entropy() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
