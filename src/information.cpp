// Histogram-based information measures of one, two and three signals:
// entropies of one distribution, cross entropy, joint and conditional
// entropy, information gain, mutual and conditional mutual information,
// transfer entropy and its batch, divergences and distances.
//
// Counting never sizes a table by the bin count (or its square) when the data
// occupy far fewer cells: bin indices are remapped to dense codes that keep
// their order, and the occupied cells are visited in increasing cell order,
// so every sum adds its terms in the order a full table would give and the
// results are identical. Sums over the states of a transfer-entropy or
// conditional-information count run in ascending key order, so results are
// the same from call to call.
//
// Array layout: every function except batch_transfer_entropy_py reads its
// one-dimensional arrays in place and ends in a panic for a non-empty array
// that is not contiguous; the batch copies its rows and accepts any strides.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/samples.hpp"
#include "bin_codes.hpp"

namespace nuvra {
namespace {

using namespace bins;

// ------------------------------------------------------------------ counting

// Codes of the pairs (a[i], b[i]) in lexicographic order.
Codes compress_pairs(const Codes& a, const Codes& b) {
    std::vector<u64> keys(a.id.size());
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = a.id[i] * b.k + b.id[i];
    return compress(std::move(keys), a.k * b.k);
}

// The nonzero counts of the keys in ascending key order.
std::vector<u64> counts_in_order(std::span<const u64> keys, u64 bound) {
    std::vector<u64> out;
    for_each_count(keys, bound, [&](u64, u64 c) { out.push_back(c); });
    return out;
}

// ------------------------------------------------------------------ binning

// NaN-ignoring minimum and maximum (+inf and -inf when no sample is a number).
std::pair<double, double> nan_min_max(std::span<const double> s) {
    double lo = Inf, hi = -Inf;
    for (double x : s) {
        lo = x < lo ? x : lo;
        hi = x > hi ? x : hi;
    }
    return {lo, hi};
}

// Equal-width bin of one value on [lo, hi]: the offset divided by the range,
// times the bin count, truncated toward zero with saturation and clamped to
// the last bin; every index is 0 when the range is below 1e-12.
struct Discretizer {
    double lo, range, fb;
    u64 top;     // n_bins - 1, wrapping for 0 bins (no clamp)
    bool flat;   // range below 1e-12 (a NaN range is not)
    Discretizer(u64 n_bins, double lo_, double hi)
        : lo(lo_), range(hi - lo_), fb(static_cast<double>(n_bins)), top(n_bins - 1),
          flat(range < 1e-12) {}
    u64 operator()(double v) const {
        if (flat) return 0;
        return clamp_bin(((v - lo) / range) * fb, top);
    }
};

std::vector<u64> discretize(std::span<const double> values, u64 n_bins, double lo, double hi) {
    const Discretizer d(n_bins, lo, hi);
    std::vector<u64> out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = d(values[i]);
    return out;
}

// Bin of one value on the data's own range: floor of the offset over the
// bin width, saturated and clamped to the last bin.
struct WidthBinner {
    double lo, width;
    u64 top;
    WidthBinner(u64 n_bins, double lo_, double range)
        : lo(lo_), width(range / static_cast<double>(n_bins)), top(n_bins - 1) {}
    // floor and truncation agree once negatives saturate to 0
    u64 operator()(double v) const { return clamp_bin((v - lo) / width, top); }
};

// Nonzero counts, in bin order, of an equal-width histogram of `values` on
// their own range. Constant data (range below 1e-12) give the single count
// of all values.
std::vector<u64> histogram_1d(std::span<const double> values, u64 n_bins) {
    const auto [lo, hi] = nan_min_max(values);
    const double range = hi - lo;
    if (range < 1e-12) return {static_cast<u64>(values.size())};
    check_capacity(n_bins);
    const WidthBinner bin(n_bins, lo, range);
    if (n_bins == 0) panic_index(0, bin(values[0]));
    std::vector<u64> out;
    if (n_bins <= dense_limit(values.size())) {
        std::vector<u64> cnt(static_cast<std::size_t>(n_bins), 0);
        for (double v : values) ++cnt[bin(v)];
        for (u64 c : cnt)
            if (c != 0) out.push_back(c);
        return out;
    }
    std::vector<u64> bins(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) bins[i] = bin(values[i]);
    return counts_in_order(bins, n_bins);
}

// Automatic bin count: floor(max(sqrt(N), 10)).
u64 auto_bins(u64 n) { return to_u64_sat(std::max(std::sqrt(static_cast<double>(n)), 10.0)); }

// Bin count of an auto-bin function: automatic for a negative request.
u64 bins_for(std::int64_t n_bins, u64 n) {
    return n_bins < 0 ? auto_bins(n) : static_cast<u64>(n_bins);
}

// Pair cell keys (row-major over codes) of two code vectors of equal length.
std::vector<u64> pair_keys(const Codes& a, const Codes& b) {
    std::vector<u64> keys(a.id.size());
    for (std::size_t i = 0; i < keys.size(); ++i) keys[i] = a.id[i] * b.k + b.id[i];
    return keys;
}

// Joint Shannon entropy in bits of the first min(len) pairs, each series
// binned on the range of all of its samples; cells summed in cell order.
double joint_entropy_inner(std::span<const double> x, std::span<const double> y, u64 n_bins) {
    const std::size_t n = std::min(x.size(), y.size());
    if (n < 2) return NaN;
    const auto [lox, hix] = nan_min_max(x);
    const auto [loy, hiy] = nan_min_max(y);
    if (n_bins == 0) panic_index(0, 0);  // no cell to count the first pair in
    const double nd = static_cast<double>(n);
    double h = 0.0;
    auto add = [&](u64, u64 c) {
        const double p = static_cast<double>(c) / nd;
        h = h - p * std::log2(p);
    };
    if (n_bins < (1u << 16) && n_bins * n_bins <= dense_limit(n)) {
        const Discretizer dx(n_bins, lox, hix), dy(n_bins, loy, hiy);
        std::vector<u64> cnt(static_cast<std::size_t>(n_bins * n_bins), 0);
        for (std::size_t i = 0; i < n; ++i) ++cnt[dx(x[i]) * n_bins + dy(y[i])];
        for (u64 c : cnt)
            if (c != 0) add(0, c);
        return h;
    }
    const Codes cx = compress(discretize(x.first(n), n_bins, lox, hix), n_bins);
    const Codes cy = compress(discretize(y.first(n), n_bins, loy, hiy), n_bins);
    for_each_count(pair_keys(cx, cy), cx.k * cy.k, add);
    return h;
}

// Shannon entropy in bits of a count vector: natural-log sum, then / ln 2.
double histogram_entropy(const std::vector<u64>& counts) {
    u64 total = 0;
    for (u64 c : counts) total += c;
    if (counts.empty() || total == 0) return 0.0;
    const double t = static_cast<double>(total);
    double s = 0.0;
    for (u64 c : counts) {
        if (c == 0) continue;
        const double p = static_cast<double>(c) / t;
        s = s - p * std::log(p);
    }
    return s / 0.6931471805599453;
}

// ------------------------------------------------------------------ transfer entropy

// Order-preserving codes of the length-k windows w[s .. s+k) of `c`, for the
// starts s = 0 .. count-1; earlier samples weigh more. The window is packed
// into one integer when k digits of base c.k fit in 64 bits; otherwise the
// windows are ranked exactly by doubling their length.
Codes window_codes(const Codes& c, u64 k, std::size_t count) {
    Codes out;
    if (k == 0 || c.k <= 1) {
        out.id.assign(count, 0);
        out.k = 1;
        return out;
    }
    u64 span = 1;  // c.k^k when it fits
    bool fits = true;
    for (u64 j = 0; j < k && fits; ++j) fits = !mul_overflows(span, c.k, span);
    if (fits) {
        const u64 top = span / c.k;  // weight of the oldest digit
        std::vector<u64> h(count);
        u64 code = 0;
        for (u64 j = 0; j < k; ++j) code = code * c.k + c.id[j];
        if (count > 0) h[0] = code;
        for (std::size_t s = 1; s < count; ++s) {
            code = (code - c.id[s - 1] * top) * c.k + c.id[s - 1 + k];
            h[s] = code;
        }
        return compress(std::move(h), span);
    }
    // Ranks of windows of length `len`, combined by the binary digits of k.
    const std::size_t n = c.id.size();
    Codes acc;      // windows of length acc_len (starts 0 .. n - acc_len)
    u64 acc_len = 0;
    Codes pw = c;   // windows of length pw_len
    u64 pw_len = 1;
    u64 rest = k;
    InterruptPoll poll;
    while (true) {
        poll(2 * static_cast<u64>(n) * 64);  // two sorts of n codes per level
        if (rest & 1) {
            if (acc_len == 0) {
                acc = pw;
            } else {
                const std::size_t m = n - static_cast<std::size_t>(acc_len + pw_len) + 1;
                std::vector<u64> keys(m);
                for (std::size_t s = 0; s < m; ++s)
                    keys[s] = acc.id[s] * pw.k + pw.id[s + static_cast<std::size_t>(acc_len)];
                acc = compress(std::move(keys), acc.k * pw.k);
            }
            acc_len += pw_len;
        }
        rest >>= 1;
        if (rest == 0) break;
        const std::size_t m = n - static_cast<std::size_t>(2 * pw_len) + 1;
        std::vector<u64> keys(m);
        for (std::size_t s = 0; s < m; ++s)
            keys[s] = pw.id[s] * pw.k + pw.id[s + static_cast<std::size_t>(pw_len)];
        pw = compress(std::move(keys), pw.k * pw.k);
        pw_len *= 2;
    }
    acc.id.resize(count);
    return acc;
}

// A series prepared for transfer entropy: bin codes and history codes.
struct TeSeries {
    Codes bins;     // codes of the first n bins
    Codes history;  // codes of the windows ending before t = k .. n-1
    bool single = false;  // k = 1: the history of t is the bin of t - 1
    // one-byte copies when every code fits in a byte (empty otherwise): the
    // counting loops then read an eighth of the bytes
    std::vector<std::uint8_t> bins8, history8;
    const u64* hist() const { return single ? bins.id.data() : history.id.data(); }
    u64 hist_k() const { return single ? bins.k : history.k; }
    const std::uint8_t* hist8() const {
        const auto& h = single ? bins8 : history8;
        return h.empty() ? nullptr : h.data();
    }
};

std::vector<std::uint8_t> narrow(const Codes& c) {
    std::vector<std::uint8_t> out;
    if (c.k > 256) return out;
    out.resize(c.id.size());
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(c.id[i]);
    return out;
}

TeSeries te_series(std::span<const double> whole, std::size_t n, u64 n_bins, u64 k) {
    const auto [lo, hi] = nan_min_max(whole);
    TeSeries s;
    s.bins = compress(discretize(whole.first(n), n_bins, lo, hi), std::max<u64>(n_bins, 1));
    s.single = k == 1;
    if (!s.single) s.history = window_codes(s.bins, k, n - static_cast<std::size_t>(k));
    s.bins8 = narrow(s.bins);
    if (!s.single && !s.bins8.empty()) s.history8 = narrow(s.history);
    return s;
}

// Transfer entropy in bits from the counts of (next, target history, source
// history) over t = k .. n-1; states summed in ascending key order.
double te_from_series(const TeSeries& src, const TeSeries& tgt, std::size_t n, u64 k) {
    const std::size_t N = n - static_cast<std::size_t>(k);
    const std::size_t off = static_cast<std::size_t>(k);
    const u64 kn = tgt.bins.k, ry = tgt.hist_k(), rx = src.hist_k();
    const u64* next = tgt.bins.id.data() + off;
    const u64* hy = tgt.hist();
    const u64* hx = src.hist();
    const double nd = static_cast<double>(N);
    double te = 0.0;
    auto term = [&](u64 c, u64 c_y, u64 c_yx, u64 c_ny) {
        const double ratio = (static_cast<double>(c) * static_cast<double>(c_y)) /
                             (static_cast<double>(c_yx) * static_cast<double>(c_ny));
        if (ratio > 0) te += (static_cast<double>(c) / nd) * std::log2(ratio);
    };
    std::vector<u64> c_y(static_cast<std::size_t>(ry), 0);
    u64 cells = 0;
    const bool dense = !mul_overflows(kn * ry, rx, cells) && kn * ry <= dense_limit(N) &&
                       cells <= dense_limit(N);
    if (dense) {
        // Only the joint table is counted per step; its marginals are sums
        // of its cells.
        const std::size_t sx = static_cast<std::size_t>(rx), sy = static_cast<std::size_t>(ry);
        const std::size_t sn = static_cast<std::size_t>(kn);
        std::vector<u64> joint(static_cast<std::size_t>(cells), 0);
        const std::uint8_t* y8 = tgt.hist8();
        const std::uint8_t* x8 = src.hist8();
        if (y8 && x8 && !tgt.bins8.empty()) {
            const std::uint8_t* n8 = tgt.bins8.data() + off;
            for (std::size_t t = 0; t < N; ++t) ++joint[(n8[t] * sy + y8[t]) * sx + x8[t]];
        } else {
            for (std::size_t t = 0; t < N; ++t) ++joint[(next[t] * ry + hy[t]) * rx + hx[t]];
        }
        std::vector<u64> c_ny(sn * sy, 0), c_yx(sy * sx, 0);
        for (std::size_t ny = 0; ny < sn * sy; ++ny) {
            const u64* row = joint.data() + ny * sx;
            u64* yx = c_yx.data() + (ny % sy) * sx;
            u64 total = 0;
            for (std::size_t x = 0; x < sx; ++x) {
                total += row[x];
                yx[x] += row[x];
            }
            c_ny[ny] = total;
            c_y[ny % sy] += total;
        }
        for (u64 cell = 0; cell < cells; ++cell) {
            const u64 c = joint[cell];
            if (c == 0) continue;
            const u64 ny = cell / rx, x = cell % rx, y = ny % ry;
            term(c, c_y[y], c_yx[y * rx + x], c_ny[ny]);
        }
    } else {
        // (next, history) and (history, source history) as order-keeping codes.
        std::vector<u64> ny_keys(N), yx_keys(N);
        for (std::size_t t = 0; t < N; ++t) {
            ny_keys[t] = next[t] * ry + hy[t];
            yx_keys[t] = hy[t] * rx + hx[t];
        }
        for (std::size_t t = 0; t < N; ++t) ++c_y[hy[t]];
        const Codes ny = compress(std::move(ny_keys), kn * ry);
        const Codes yx = compress(std::move(yx_keys), ry * rx);
        std::vector<u64> c_ny(static_cast<std::size_t>(ny.k), 0), c_yx(static_cast<std::size_t>(yx.k), 0);
        std::vector<u64> y_of_ny(static_cast<std::size_t>(ny.k), 0);
        std::vector<u64> start(static_cast<std::size_t>(ny.k) + 1, 0);
        for (std::size_t t = 0; t < N; ++t) {
            ++c_ny[ny.id[t]];
            ++c_yx[yx.id[t]];
            y_of_ny[ny.id[t]] = hy[t];
        }
        // Time steps grouped by (next, history) code in ascending order (a
        // counting sort); inside a group the source histories met are
        // counted in a scratch table and visited in ascending order.
        for (u64 g = 0; g < ny.k; ++g) start[g + 1] = start[g] + c_ny[g];
        std::vector<u64> order(N), fill(start.begin(), start.end() - 1);
        for (std::size_t t = 0; t < N; ++t) order[fill[ny.id[t]]++] = t;
        std::vector<u64> cnt_x(static_cast<std::size_t>(rx), 0), yx_of_x(static_cast<std::size_t>(rx), 0);
        std::vector<u64> touched;
        for (u64 g = 0; g < ny.k; ++g) {
            touched.clear();
            for (u64 o = start[g]; o < start[g + 1]; ++o) {
                const u64 t = order[o], x = hx[t];
                if (cnt_x[x]++ == 0) {
                    touched.push_back(x);
                    yx_of_x[x] = yx.id[t];
                }
            }
            std::sort(touched.begin(), touched.end());
            for (u64 x : touched) {
                term(cnt_x[x], c_y[y_of_ny[g]], c_yx[yx_of_x[x]], c_ny[g]);
                cnt_x[x] = 0;
            }
        }
    }
    return te > 0.0 ? te : 0.0;
}

double transfer_entropy_inner(std::span<const double> source, std::span<const double> target,
                              u64 n_bins, u64 k) {
    const std::size_t n = std::min(source.size(), target.size());
    if (n < 3 || static_cast<u64>(n) <= k) return 0.0;
    const TeSeries s = te_series(source, n, n_bins, k);
    const TeSeries y = te_series(target, n, n_bins, k);
    return te_from_series(s, y, n, k);
}

// ------------------------------------------------------------------ repeated sums

// exponent class of a finite nonzero double: subnormals share one class
inline int binade(double x) {
    const double a = std::fabs(x);
    return a < 2.2250738585072014e-308 ? -1023 : std::ilogb(a);
}

// The value of s after m rounded additions s = s + d, without m steps: within
// one binade every rounded step adds the same amount once a step has been
// taken inside it (a tie settles on an even last digit after one step), so
// runs of steps that stay inside a binade are taken in one exact jump.
double add_repeated(double s, double d, u64 m) {
    while (m > 0) {
        const double t = s + d;
        if (std::isnan(t) || t == s) return t;  // every further step gives t again
        const bool inside = std::isfinite(t) && s != 0.0 && t != 0.0 &&
                            std::signbit(s) == std::signbit(t) && binade(s) == binade(t);
        s = t;
        --m;
        if (!inside || m == 0 || !(std::fabs(d) * 4.0 < std::fabs(s))) continue;
        const double r = (s + d) - s;  // exact: both ends lie in one or two binades
        if (r == 0.0) continue;
        const int e = binade(s);
        const bool sub = e == -1023;
        const double u = sub ? 4.9406564584124654e-324 : std::ldexp(1.0, e - 52);
        const double top = sub ? 4503599627370496.0 : 9007199254740992.0;      // 2^52, 2^53
        const double bottom = sub ? 0.0 : 4503599627370496.0;
        const double au = std::fabs(s) / u, ru = std::fabs(r) / u, du = std::ceil(std::fabs(d) / u);
        const bool up = std::signbit(r) == std::signbit(s);
        const double room = up ? top - au - 2.0 * ru - du - 2.0 : au - bottom - 2.0 * ru - du - 2.0;
        if (!(room >= ru)) continue;
        u64 jump = to_u64_sat(std::floor(room / ru));
        jump = std::min(jump, m);
        const double a2 = up ? au + static_cast<double>(jump) * ru : au - static_cast<double>(jump) * ru;
        s = std::copysign(a2 * u, s);
        m -= jump;
    }
    return s;
}

// ------------------------------------------------------------------ two histograms

// Counts of two samples binned on one scale, as the union of occupied bins in
// bin order: bin index and the two counts.
struct TwoHist {
    std::vector<u64> bin, cp, cq;
};

TwoHist two_histograms(const std::vector<u64>& bp, const std::vector<u64>& bq, u64 n_bins) {
    std::vector<u64> keys;
    keys.reserve(bp.size() + bq.size());
    for (u64 b : bp) keys.push_back(b * 2);
    for (u64 b : bq) keys.push_back(b * 2 + 1);
    TwoHist h;
    // bins below 2^63 (the capacity check guarantees it), so 2b + 1 does not wrap
    for_each_count(keys, 2 * n_bins, [&](u64 key, u64 c) {
        const u64 b = key / 2;
        if (h.bin.empty() || h.bin.back() != b) {
            h.bin.push_back(b);
            h.cp.push_back(0);
            h.cq.push_back(0);
        }
        ((key & 1) ? h.cq : h.cp).back() = c;
    });
    return h;
}

// Common range, bins and the size and index checks of the two count tables.
TwoHist bin_two(std::span<const double> p, std::span<const double> q, u64 n_bins) {
    double lo = Inf, hi = -Inf;
    for (double x : p) { lo = x < lo ? x : lo; hi = x > hi ? x : hi; }
    for (double x : q) { lo = x < lo ? x : lo; hi = x > hi ? x : hi; }
    const Discretizer d(n_bins, lo, hi);
    check_capacity(n_bins);
    if (n_bins == 0 && (!p.empty() || !q.empty())) panic_index(0, 0);
    if (n_bins <= dense_limit(p.size() + q.size())) {
        std::vector<u64> cnt(static_cast<std::size_t>(2 * n_bins), 0);
        u64* cp = cnt.data();
        u64* cq = cnt.data() + n_bins;
        for (double v : p) ++cp[d(v)];
        for (double v : q) ++cq[d(v)];
        TwoHist h;
        for (u64 b = 0; b < n_bins; ++b) {
            if (cp[b] == 0 && cq[b] == 0) continue;
            h.bin.push_back(b);
            h.cp.push_back(cp[b]);
            h.cq.push_back(cq[b]);
        }
        return h;
    }
    return two_histograms(discretize(p, n_bins, lo, hi), discretize(q, n_bins, lo, hi), n_bins);
}

// Smoothed divergence sums over all n_bins bins: for each bin in order,
// with p_k = (c_p + 1e-10) / T_p and q_k likewise, term(p_k, q_k) is added.
// Runs of empty bins add one constant term each and are summed by
// add_repeated, so the cost follows the occupied bins.
template <typename Term>
double smoothed_sum(const TwoHist& h, u64 n_bins, Term term, double& second, bool two_sums) {
    double tp = 0.0, tq = 0.0;
    {
        u64 prev = 0;
        for (std::size_t i = 0; i < h.bin.size(); ++i) {
            tp = add_repeated(tp, 1e-10, h.bin[i] - prev);
            tq = add_repeated(tq, 1e-10, h.bin[i] - prev);
            tp += static_cast<double>(h.cp[i]) + 1e-10;
            tq += static_cast<double>(h.cq[i]) + 1e-10;
            prev = h.bin[i] + 1;
        }
        tp = add_repeated(tp, 1e-10, n_bins - prev);
        tq = add_repeated(tq, 1e-10, n_bins - prev);
    }
    const double pe = 1e-10 / tp, qe = 1e-10 / tq;
    const auto empty = term(pe, qe);
    double s1 = 0.0, s2 = 0.0;
    u64 prev = 0;
    auto gap = [&](u64 m) {
        s1 = add_repeated(s1, empty.first, m);
        if (two_sums) s2 = add_repeated(s2, empty.second, m);
    };
    for (std::size_t i = 0; i < h.bin.size(); ++i) {
        gap(h.bin[i] - prev);
        const double pk = (static_cast<double>(h.cp[i]) + 1e-10) / tp;
        const double qk = (static_cast<double>(h.cq[i]) + 1e-10) / tq;
        const auto t = term(pk, qk);
        s1 += t.first;
        if (two_sums) s2 += t.second;
        prev = h.bin[i] + 1;
    }
    gap(n_bins - prev);
    second = s2;
    return s1;
}

double js_divergence_inner(std::span<const double> p, std::span<const double> q, u64 n_bins) {
    const TwoHist h = bin_two(p, q, n_bins);
    if (n_bins == 0) return 0.0;
    double sq = 0.0;
    const double sp = smoothed_sum(
        h, n_bins,
        [](double pk, double qk) {
            const double mk = (pk + qk) * 0.5;
            return std::pair<double, double>(pk * std::log2(pk / mk), qk * std::log2(qk / mk));
        },
        sq, true);
    return 0.5 * sp + 0.5 * sq;
}

double kl_divergence_inner(std::span<const double> p, std::span<const double> q, u64 n_bins) {
    const TwoHist h = bin_two(p, q, n_bins);
    if (n_bins == 0) return 0.0;
    double unused = 0.0;
    return smoothed_sum(
        h, n_bins,
        [](double pk, double qk) { return std::pair<double, double>(pk * std::log(pk / qk), 0.0); },
        unused, false);
}

// Finite samples of both inputs binned on their common range with the
// automatic or given bin count; empty when either input has none.
struct FiniteTwo {
    bool empty = true;
    u64 n_bins = 0;
    std::size_t np = 0, nq = 0;
    TwoHist h;
};

FiniteTwo finite_two(SignalView p, SignalView q, std::int64_t n_bins) {
    p.as_slice().unwrap();
    const FiniteSamples fps(p);
    q.as_slice().unwrap();
    const FiniteSamples fqs(q);
    const std::span<const double> fp = fps.span(), fq = fqs.span();
    FiniteTwo out;
    if (fq.empty() || fp.empty()) return out;
    out.empty = false;
    out.np = fp.size();
    out.nq = fq.size();
    out.n_bins = bins_for(n_bins, std::max(out.np, out.nq));
    out.h = bin_two(fp, fq, out.n_bins);
    return out;
}

// ------------------------------------------------------------------ wrappers

double mutual_information_py(SignalView x, SignalView y, Opt<u64, 16> n_bins_opt) {
    const u64 n_bins = n_bins_opt;
    const std::span<const double> xs = x.as_slice().unwrap();
    const std::span<const double> ys = y.as_slice().unwrap();
    const std::size_t n = std::min(xs.size(), ys.size());
    if (n < 3) return 0.0;
    const auto [lox, hix] = nan_min_max(xs.first(n));
    const auto [loy, hiy] = nan_min_max(ys.first(n));
    if (hix - lox < 1e-12 || hiy - loy < 1e-12) return 0.0;
    if (n_bins == 0) panic_index(0, 0);  // no cell to count the first pair in
    const double nd = static_cast<double>(n);
    double mi = 0.0;
    auto add = [&](u64 ci, u64 cj, u64 c) {
        const double pi = static_cast<double>(ci) / nd;
        const double pij = static_cast<double>(c) / nd;
        const double pj = static_cast<double>(cj) / nd;
        mi = mi + pij * std::log2(pij / (pi * pj));
    };
    if (n_bins < (1u << 16) && n_bins * n_bins <= dense_limit(n)) {
        const Discretizer dx(n_bins, lox, hix), dy(n_bins, loy, hiy);
        const std::size_t B = static_cast<std::size_t>(n_bins);
        std::vector<u64> cnt(B * B + 2 * B, 0);
        u64* J = cnt.data();
        u64* px = J + B * B;
        u64* py = px + B;
        for (std::size_t i = 0; i < n; ++i) {
            const u64 a = dx(xs[i]), b = dy(ys[i]);
            ++J[a * B + b];
            ++px[a];
            ++py[b];
        }
        for (std::size_t i = 0; i < B; ++i) {
            if (px[i] == 0) continue;
            for (std::size_t j = 0; j < B; ++j)
                if (J[i * B + j] != 0 && py[j] != 0) add(px[i], py[j], J[i * B + j]);
        }
        return mi > 0.0 ? mi : 0.0;
    }
    const Codes cx = compress(discretize(xs.first(n), n_bins, lox, hix), n_bins);
    const Codes cy = compress(discretize(ys.first(n), n_bins, loy, hiy), n_bins);
    std::vector<u64> px(static_cast<std::size_t>(cx.k), 0), py(static_cast<std::size_t>(cy.k), 0);
    for (std::size_t i = 0; i < n; ++i) {
        ++px[cx.id[i]];
        ++py[cy.id[i]];
    }
    for_each_count(pair_keys(cx, cy), cx.k * cy.k, [&](u64 cell, u64 c) {
        add(px[cell / cy.k], py[cell % cy.k], c);
    });
    return mi > 0.0 ? mi : 0.0;
}

double transfer_entropy_py(SignalView source, SignalView target, Opt<u64, 16> n_bins,
                           Opt<u64, 1> history) {
    const std::span<const double> s = source.as_slice().unwrap();
    const std::span<const double> t = target.as_slice().unwrap();
    return transfer_entropy_inner(s, t, n_bins, history);
}

std::vector<std::vector<double>> batch_transfer_entropy_py(MatrixView signals, Opt<u64, 16> n_bins,
                                                           Opt<u64, 1> history) {
    const std::size_t S = signals.rows, L = signals.cols;
    const u64 k = history;
    std::vector<std::vector<double>> te(S, std::vector<double>(S, 0.0));
    if (S < 2 || L < 3 || static_cast<u64>(L) <= k) return te;
    // Each row is binned and coded once; every pair reuses the codes.
    std::vector<TeSeries> rows(S);
    std::vector<double> buf(L);
    InterruptPoll poll;
    for (std::size_t i = 0; i < S; ++i) {
        poll(8 * static_cast<u64>(L));
        for (std::size_t c = 0; c < L; ++c) buf[c] = signals(i, c);
        rows[i] = te_series(buf, L, n_bins, k);
    }
    for (std::size_t i = 0; i < S; ++i)
        for (std::size_t j = 0; j < S; ++j) {
            if (i == j) continue;
            poll(4 * static_cast<u64>(L));
            te[i][j] = te_from_series(rows[i], rows[j], L, k);
        }
    return te;
}

double cond_mutual_information_py(SignalView x, SignalView y, SignalView z, Opt<u64, 16> n_bins_opt) {
    const u64 n_bins = n_bins_opt;
    const std::span<const double> xs = x.as_slice().unwrap();
    const std::span<const double> ys = y.as_slice().unwrap();
    const std::span<const double> zs = z.as_slice().unwrap();
    const std::size_t n = std::min({xs.size(), ys.size(), zs.size()});
    if (n < 3) return 0.0;
    const double nd = static_cast<double>(n);
    auto add = [nd](double& h, u64 c) {
        const double p = static_cast<double>(c) / nd;
        h = h - p * std::log2(p);
    };
    const u64 B = std::max<u64>(n_bins, 1);
    if (B <= 64 && B * B * B <= dense_limit(n)) {
        // Few cells: count the four tables directly, visit them in index order.
        const auto [lx, hx] = nan_min_max(xs.first(n));
        const auto [ly, hy] = nan_min_max(ys.first(n));
        const auto [lz, hz] = nan_min_max(zs.first(n));
        const Discretizer dx(n_bins, lx, hx), dy(n_bins, ly, hy), dz(n_bins, lz, hz);
        const std::size_t b = static_cast<std::size_t>(B);
        std::vector<u64> cnt(b * b * b + 2 * b * b + b, 0);
        u64* xyz = cnt.data();
        u64* xz = xyz + b * b * b;
        u64* yz = xz + b * b;
        u64* zc = yz + b * b;
        for (std::size_t i = 0; i < n; ++i) {
            const u64 ix = dx(xs[i]), iy = dy(ys[i]), iz = dz(zs[i]);
            ++xz[ix * b + iz];
            ++yz[iy * b + iz];
            ++xyz[(ix * b + iy) * b + iz];
            ++zc[iz];
        }
        double h[4] = {0.0, 0.0, 0.0, 0.0};  // XZ, YZ, XYZ, Z
        const u64* table[4] = {xz, yz, xyz, zc};
        const std::size_t size[4] = {b * b, b * b, b * b * b, b};
        for (int m = 0; m < 4; ++m)
            for (std::size_t c = 0; c < size[m]; ++c)
                if (table[m][c] != 0) add(h[m], table[m][c]);
        const double cmi = ((h[0] + h[1]) - h[2]) - h[3];
        return cmi > 0.0 ? cmi : 0.0;
    }
    auto codes = [&](std::span<const double> v) {
        const auto [lo, hi] = nan_min_max(v.first(n));
        return compress(discretize(v.first(n), n_bins, lo, hi), B);
    };
    const Codes cx = codes(xs), cy = codes(ys), cz = codes(zs);
    auto entropy = [&](std::span<const u64> keys, u64 bound) {
        double h = 0.0;
        for_each_count(keys, bound, [&](u64, u64 c) { add(h, c); });
        return h;
    };
    const Codes cxy = compress_pairs(cx, cy);
    const double h_xz = entropy(pair_keys(cx, cz), cx.k * cz.k);
    const double h_yz = entropy(pair_keys(cy, cz), cy.k * cz.k);
    const double h_xyz = entropy(pair_keys(cxy, cz), cxy.k * cz.k);
    const double h_z = entropy(cz.id, cz.k);
    const double cmi = ((h_xz + h_yz) - h_xyz) - h_z;
    return cmi > 0.0 ? cmi : 0.0;
}

// Shannon entropy (natural-log sum) of nonzero counts.
double shannon_nats(const std::vector<u64>& counts) {
    u64 total = 0;
    for (u64 c : counts) total += c;
    const double t = static_cast<double>(total);
    double h = 0.0;
    for (u64 c : counts) {
        const double p = static_cast<double>(c) / t;
        h = h - p * std::log(p);
    }
    return h;
}

double power_sum(const std::vector<u64>& counts, double a) {
    u64 total = 0;
    for (u64 c : counts) total += c;
    const double t = static_cast<double>(total);
    double s = 0.0;
    for (u64 c : counts) s += std::pow(static_cast<double>(c) / t, a);
    return s;
}

// The histogram of the finite samples of `data`; empty for fewer than two.
std::vector<u64> finite_histogram(SignalView data, std::int64_t n_bins) {
    data.as_slice().unwrap();
    const FiniteSamples fs(data);
    const std::span<const double> f = fs.span();
    if (f.size() < 2) return {};
    return histogram_1d(f, bins_for(n_bins, f.size()));
}

double shannon_entropy_py(SignalView data, std::int64_t n_bins, Opt<double, 2.0> base) {
    const std::vector<u64> counts = finite_histogram(data, n_bins);
    if (counts.empty()) return NaN;
    return shannon_nats(counts) / std::log(static_cast<double>(base));
}

double renyi_entropy_py(SignalView data, Opt<double, 2.0> alpha_opt, Opt<std::int64_t, -1> n_bins,
                        Opt<double, 2.0> base) {
    const double alpha = alpha_opt;
    const std::vector<u64> counts = finite_histogram(data, n_bins);
    if (counts.empty()) return NaN;
    const double lb = std::log(static_cast<double>(base));
    if (std::fabs(alpha - 1.0) < 1e-10) return shannon_nats(counts) / lb;
    return std::log(power_sum(counts, alpha)) / ((1.0 - alpha) * lb);
}

double tsallis_entropy_py(SignalView data, Opt<double, 2.0> q_opt, Opt<std::int64_t, -1> n_bins) {
    const double q = q_opt;
    const std::vector<u64> counts = finite_histogram(data, n_bins);
    if (counts.empty()) return NaN;
    if (std::fabs(q - 1.0) < 1e-10) return shannon_nats(counts);
    return (1.0 - power_sum(counts, q)) / (q - 1.0);
}

double conditional_entropy_py(SignalView x, SignalView y, Opt<u64, 10> n_bins) {
    const std::span<const double> xs = x.as_slice().unwrap();
    const std::span<const double> ys = y.as_slice().unwrap();
    const std::size_t n = std::min(xs.size(), ys.size());
    if (n < 2) return NaN;
    const double h_xy = joint_entropy_inner(xs.first(n), ys.first(n), n_bins);
    const double h_y = histogram_entropy(histogram_1d(ys.first(n), n_bins));
    return h_xy - h_y;
}

double joint_entropy_py(SignalView x, SignalView y, Opt<u64, 10> n_bins) {
    const std::span<const double> xs = x.as_slice().unwrap();
    const std::span<const double> ys = y.as_slice().unwrap();
    return joint_entropy_inner(xs, ys, n_bins);
}

double kl_divergence_py(SignalView p, SignalView q, Opt<u64, 10> n_bins) {
    const std::span<const double> ps = p.as_slice().unwrap();
    const std::span<const double> qs = q.as_slice().unwrap();
    return kl_divergence_inner(ps, qs, n_bins);
}

double js_divergence_py(SignalView p, SignalView q, Opt<u64, 10> n_bins) {
    const std::span<const double> ps = p.as_slice().unwrap();
    const std::span<const double> qs = q.as_slice().unwrap();
    return js_divergence_inner(ps, qs, n_bins);
}

double information_gain_py(SignalView x, SignalView y, Opt<u64, 10> n_bins) {
    const std::span<const double> xs = x.as_slice().unwrap();
    const std::span<const double> ys = y.as_slice().unwrap();
    const std::size_t n = std::min(xs.size(), ys.size());
    if (n < 2) return NaN;
    const double h_x = histogram_entropy(histogram_1d(xs.first(n), n_bins));
    const double h_xy = joint_entropy_inner(xs.first(n), ys.first(n), n_bins);
    const double h_y = histogram_entropy(histogram_1d(ys.first(n), n_bins));
    return h_x - (h_xy - h_y);
}

double cross_entropy_py(SignalView p, SignalView q, Opt<std::int64_t, -1> n_bins,
                        Opt<double, 2.0> base) {
    const FiniteTwo f = finite_two(p, q, n_bins);
    if (f.empty) return NaN;
    const double tp = static_cast<double>(f.np) + 1e-12;
    const double tq = static_cast<double>(f.nq) + 1e-12;
    double h = 0.0;
    for (std::size_t i = 0; i < f.h.bin.size(); ++i) {
        const double pp = static_cast<double>(f.h.cp[i]) / tp;
        if (!(pp > 0)) continue;
        const double qq = std::max(static_cast<double>(f.h.cq[i]) / tq, 1e-12);
        h = h - pp * std::log(qq);
    }
    return h / std::log(static_cast<double>(base));
}

double hellinger_distance_py(SignalView p, SignalView q, Opt<std::int64_t, -1> n_bins) {
    const FiniteTwo f = finite_two(p, q, n_bins);
    if (f.empty) return NaN;
    const double tp = static_cast<double>(f.np) + 1e-12;
    const double tq = static_cast<double>(f.nq) + 1e-12;
    double s = 0.0;
    for (std::size_t i = 0; i < f.h.bin.size(); ++i) {
        const double d = std::sqrt(static_cast<double>(f.h.cp[i]) / tp) -
                         std::sqrt(static_cast<double>(f.h.cq[i]) / tq);
        s += d * d;
    }
    return std::sqrt(0.5 * s);
}

double total_variation_distance_py(SignalView p, SignalView q, Opt<std::int64_t, -1> n_bins) {
    const FiniteTwo f = finite_two(p, q, n_bins);
    if (f.empty) return NaN;
    const double tp = static_cast<double>(f.np) + 1e-12;
    const double tq = static_cast<double>(f.nq) + 1e-12;
    double s = 0.0;
    for (std::size_t i = 0; i < f.h.bin.size(); ++i)
        s += std::fabs(static_cast<double>(f.h.cp[i]) / tp - static_cast<double>(f.h.cq[i]) / tq);
    return 0.5 * s;
}

const PyMethodDef defs[] = {
    NUVRA_DEF(mutual_information_py, "mutual_information",
              "mutual_information(x, y, n_bins=16)\n--\n\n", "x", "y", "n_bins"),
    NUVRA_DEF(transfer_entropy_py, "transfer_entropy",
              "transfer_entropy(source, target, n_bins=16, history=1)\n--\n\n", "source", "target",
              "n_bins", "history"),
    NUVRA_DEF(batch_transfer_entropy_py, "batch_transfer_entropy_py",
              "batch_transfer_entropy_py(signals, n_bins=16, history=1)\n--\n\n", "signals",
              "n_bins", "history"),
    NUVRA_DEF(cond_mutual_information_py, "cond_mutual_information",
              "cond_mutual_information(x, y, z, n_bins=16)\n--\n\n", "x", "y", "z", "n_bins"),
    NUVRA_DEF(shannon_entropy_py, "shannon_entropy", "shannon_entropy(data, n_bins, base=2.0)\n--\n\n",
              "data", "n_bins", "base"),
    NUVRA_DEF(renyi_entropy_py, "renyi_entropy",
              "renyi_entropy(data, alpha=2.0, n_bins=..., base=2.0)\n--\n\n", "data", "alpha",
              "n_bins", "base"),
    NUVRA_DEF(tsallis_entropy_py, "tsallis_entropy", "tsallis_entropy(data, q=2.0, n_bins=...)\n--\n\n",
              "data", "q", "n_bins"),
    NUVRA_DEF(conditional_entropy_py, "conditional_entropy",
              "conditional_entropy(x, y, n_bins=10)\n--\n\n", "x", "y", "n_bins"),
    NUVRA_DEF(joint_entropy_py, "joint_entropy", "joint_entropy(x, y, n_bins=10)\n--\n\n", "x", "y",
              "n_bins"),
    NUVRA_DEF(kl_divergence_py, "kl_divergence", "kl_divergence(p, q, n_bins=10)\n--\n\n", "p", "q",
              "n_bins"),
    NUVRA_DEF(js_divergence_py, "js_divergence", "js_divergence(p, q, n_bins=10)\n--\n\n", "p", "q",
              "n_bins"),
    NUVRA_DEF(information_gain_py, "information_gain", "information_gain(x, y, n_bins=10)\n--\n\n",
              "x", "y", "n_bins"),
    NUVRA_DEF(cross_entropy_py, "cross_entropy", "cross_entropy(p, q, n_bins=..., base=2.0)\n--\n\n",
              "p", "q", "n_bins", "base"),
    NUVRA_DEF(hellinger_distance_py, "hellinger_distance",
              "hellinger_distance(p, q, n_bins=...)\n--\n\n", "p", "q", "n_bins"),
    NUVRA_DEF(total_variation_distance_py, "total_variation_distance",
              "total_variation_distance(p, q, n_bins=...)\n--\n\n", "p", "q", "n_bins"),
};

}  // namespace

namespace family {
FunctionTable information() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
