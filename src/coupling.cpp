// Rolling Spearman rank correlation of two signals, for one pair and for a
// batch of row pairs spread over the worker pool.
//
// Within a window every value gets its ordinal rank: the number of values
// below it plus the number of equal values at earlier positions (a stable
// ascending sort), so the ranks are a permutation of 0 .. k-1. A window with
// no NaN ranks all its pairs, infinities included; a window with a NaN ranks
// only the pairs whose two values are finite, and needs three of them.
//
// The ranks are carried from one window to the next (O(w) per window instead
// of a sort) and rebuilt by sorting only where the set of ranked pairs changes
// kind. With ranks r, s of k pairs the correlation's sums
//   Sxy = sum (r - (k-1)/2)(s - (k-1)/2) = sum r*s - k(k-1)^2/4,
//   Sxx = Syy = (k-1)k(k+1)/12
// are exact in double precision for k up to kExactPairs, whatever order they
// are added in; larger windows add them up in position order.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "module_frame/buffers.hpp"
#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/simd.hpp"

namespace nuvra {
namespace {

// Largest pair count for which every partial sum of the correlation is a
// multiple of 1/4 below 2^51, hence exact: k (k-1)^2 < 2^53.
constexpr std::uint64_t kExactPairs = 200000;

inline bool is_nan_pair(double a, double b) { return std::isnan(a) || std::isnan(b); }
inline bool is_finite_pair(double a, double b) { return std::isfinite(a) && std::isfinite(b); }

enum class Mode { all_pairs, finite_pairs };

using simd::v4d;
using simd::v4i;

// `value` where the lane's comparison holds, else 0.0.
inline v4d where(v4i mask, v4d value) { return simd::select(mask, value, simd::splat(0.0)); }

// One pass over every ring slot. A member at or above the leaving value loses
// a rank (the leaving pair is the oldest, so equal values counted it); a
// member above the entering value gains one (the entering pair is the
// newest). cx, cy count the members at or below the entering values, and dot
// is the sum of the updated rank products. Without a mask every slot is a
// member and both pairs take part. Counts and products are integers, so the
// lanes may add them in any grouping.
template <bool Masked>
__attribute__((always_inline)) inline void update_slots(
    std::size_t w, const double* __restrict__ xs, const double* __restrict__ ys,
    const double* __restrict__ mem, double* __restrict__ rx, double* __restrict__ ry, double xi,
    double yi, double mi, double xo, double yo, double mo, double& dot_out, double& cx, double& cy) {
    const v4d vxi = simd::splat(xi), vyi = simd::splat(yi);
    const v4d vxo = simd::splat(xo), vyo = simd::splat(yo);
    const v4d vmi = simd::splat(mi), vmo = simd::splat(mo), one = simd::splat(1.0);
    v4d dot0 = simd::splat(0.0), dot1 = dot0, ax0 = dot0, ax1 = dot0, ay0 = dot0, ay1 = dot0;
    auto lane4 = [&](std::size_t q, v4d& dot, v4d& ax, v4d& ay) {
        const v4d a = simd::load(xs + q), b = simd::load(ys + q);
        const v4d m = Masked ? simd::load(mem + q) : one;
        v4d gx = where(a > vxi, vmi) - where(a >= vxo, vmo);
        v4d gy = where(b > vyi, vmi) - where(b >= vyo, vmo);
        if constexpr (Masked) {
            gx *= m;
            gy *= m;
        }
        const v4d nx = simd::load(rx + q) + gx, ny = simd::load(ry + q) + gy;
        simd::store(rx + q, nx);
        simd::store(ry + q, ny);
        ax += where(a <= vxi, m);
        ay += where(b <= vyi, m);
        dot += nx * ny;
    };
    std::size_t q = 0;
    for (; q + 8 <= w; q += 8) {
        lane4(q, dot0, ax0, ay0);
        lane4(q + 4, dot1, ax1, ay1);
    }
    if (q + 4 <= w) {
        lane4(q, dot0, ax0, ay0);
        q += 4;
    }
    double d = 0.0, sx = 0.0, sy = 0.0;
    for (; q < w; ++q) {
        const double a = xs[q], b = ys[q], m = Masked ? mem[q] : 1.0;
        const double gx = m * ((a > xi ? mi : 0.0) - (a >= xo ? mo : 0.0));
        const double gy = m * ((b > yi ? mi : 0.0) - (b >= yo ? mo : 0.0));
        rx[q] += gx;
        ry[q] += gy;
        sx += a <= xi ? m : 0.0;
        sy += b <= yi ? m : 0.0;
        d += rx[q] * ry[q];
    }
    const v4d dot = dot0 + dot1, ax = ax0 + ax1, ay = ay0 + ay1;
    dot_out = d + ((dot[0] + dot[1]) + (dot[2] + dot[3]));
    cx = sx + ((ax[0] + ax[1]) + (ax[2] + ax[3]));
    cy = sy + ((ay[0] + ay[1]) + (ay[2] + ay[3]));
}

// The ranks of one window, kept in ring slots: the value at absolute index j
// sits in slot j % w. Non-members (pairs left out in finite_pairs mode) carry
// rank 0, so they add nothing to the rank products.
class RollingRanks {
public:
    RollingRanks(std::span<const double> x, std::span<const double> y, std::size_t w)
        : x_(x), y_(y), w_(w), xs_(w), ys_(w), rx_(w), ry_(w), member_(w), order_(w) {}

    // Ranks of the window ending at `end` from scratch.
    void rebuild(std::size_t end, Mode mode) {
        const std::size_t first = end + 1 - w_;
        std::size_t k = 0;
        for (std::size_t j = first; j <= end; ++j) {
            const std::size_t s = j % w_;
            xs_[s] = x_[j];
            ys_[s] = y_[j];
            const bool in = mode == Mode::all_pairs || is_finite_pair(x_[j], y_[j]);
            member_[s] = in ? 1.0 : 0.0;
            rx_[s] = ry_[s] = 0.0;
            if (in) order_[k++] = j;
        }
        count_ = k;
        next_ = (end + 1) % w_;
        rank_members(x_, rx_, k);
        rank_members(y_, ry_, k);
        dot_ = 0.0;
        for (std::size_t s = 0; s < w_; ++s) dot_ += rx_[s] * ry_[s];
    }

    // Moves the window by one: index `end - w` leaves, `end` enters.
    void slide(std::size_t end, Mode mode) {
        const std::size_t s = next_;  // end % w
        next_ = s + 1 == w_ ? 0 : s + 1;
        const double xi = x_[end], yi = y_[end];
        const double mi = (mode == Mode::all_pairs || is_finite_pair(xi, yi)) ? 1.0 : 0.0;
        const double xo = xs_[s], yo = ys_[s], mo = member_[s];
        double cx, cy;
        if (mode == Mode::all_pairs)
            update_all(xi, yi, xo, yo, cx, cy);
        else
            update_masked(xi, yi, mi, xo, yo, mo, cx, cy);
        // Slot s took part in the pass as the leaving pair: take it back out.
        dot_ -= rx_[s] * ry_[s];
        cx -= mo * static_cast<double>(xo <= xi);
        cy -= mo * static_cast<double>(yo <= yi);
        xs_[s] = xi;
        ys_[s] = yi;
        member_[s] = mi;
        rx_[s] = mi * cx;
        ry_[s] = mi * cy;
        dot_ += rx_[s] * ry_[s];
        count_ = count_ + static_cast<std::size_t>(mi) - static_cast<std::size_t>(mo);
    }

    std::size_t count() const { return count_; }

    // Spearman's rho of the current window (count() >= 2).
    double correlation(std::size_t end) {
        const std::uint64_t k = count_;
        if (k <= kExactPairs) {
            const auto kk = static_cast<std::int64_t>(k);
            if (k != den_pairs_) {  // the denominator depends on k alone
                const double sxx = static_cast<double>((kk - 1) * kk * (kk + 1) / 6) / 2.0;
                den_ = std::sqrt(sxx * sxx);
                den_pairs_ = k;
            }
            const auto dot = static_cast<std::int64_t>(dot_);
            const double sxy = static_cast<double>(4 * dot - kk * (kk - 1) * (kk - 1)) / 4.0;
            return den_ < 1e-14 ? NaN : sxy / den_;
        }
        // Sums in position order over the members of the window.
        const std::size_t first = end + 1 - w_;
        double sum_x = -0.0, sum_y = -0.0;
        for (std::size_t j = first; j <= end; ++j) {
            const std::size_t s = j % w_;
            if (member_[s] == 0.0) continue;
            sum_x += rx_[s];
            sum_y += ry_[s];
        }
        const double kd = static_cast<double>(k);
        const double mx = sum_x / kd, my = sum_y / kd;
        double sxy = -0.0, sxx = -0.0, syy = -0.0;
        for (std::size_t j = first; j <= end; ++j) {
            const std::size_t s = j % w_;
            if (member_[s] == 0.0) continue;
            const double dx = rx_[s] - mx, dy = ry_[s] - my;
            sxy += dx * dy;
            sxx += dx * dx;
            syy += dy * dy;
        }
        return finish(sxy, sxx, syy);
    }

private:
    static double finish(double sxy, double sxx, double syy) {
        const double den = std::sqrt(sxx * syy);
        if (den < 1e-14) return NaN;
        return sxy / den;
    }

    // Ranks the first k entries of order_ (absolute indices of the members,
    // ascending) by value, ties by position.
    void rank_members(std::span<const double> v, std::vector<double>& rank, std::size_t k) {
        std::vector<std::size_t>& idx = sorted_;
        idx.assign(order_.begin(), order_.begin() + static_cast<std::ptrdiff_t>(k));
        std::sort(idx.begin(), idx.end(), [&](std::size_t a, std::size_t b) {
            if (v[a] < v[b]) return true;
            if (v[b] < v[a]) return false;
            return a < b;
        });
        for (std::size_t r = 0; r < k; ++r) rank[idx[r] % w_] = static_cast<double>(r);
    }

    NUVRA_MULTIVERSION
    void update_all(double xi, double yi, double xo, double yo, double& cx, double& cy) {
        update_slots<false>(w_, xs_.data(), ys_.data(), nullptr, rx_.data(), ry_.data(), xi, yi, 1.0,
                            xo, yo, 1.0, dot_, cx, cy);
    }

    NUVRA_MULTIVERSION
    void update_masked(double xi, double yi, double mi, double xo, double yo, double mo, double& cx,
                       double& cy) {
        update_slots<true>(w_, xs_.data(), ys_.data(), member_.data(), rx_.data(), ry_.data(), xi, yi,
                           mi, xo, yo, mo, dot_, cx, cy);
    }

    std::span<const double> x_, y_;
    std::size_t w_;
    std::vector<double> xs_, ys_, rx_, ry_, member_;
    std::vector<std::size_t> order_, sorted_;
    std::size_t count_ = 0;
    std::size_t next_ = 0;  // the slot the next entering pair takes
    std::uint64_t den_pairs_ = 0;  // the pair count den_ belongs to (0: none yet)
    double den_ = 0.0;
    double dot_ = 0.0;
};

// Rolling Spearman rho of equal-length x and y over windows of w samples,
// written to out[0 .. n): NaN before index w - 1 and where a window yields
// no correlation.
void rolling_spearman_into(std::span<const double> x, std::span<const double> y, std::uint64_t window,
                           double* out) {
    const std::size_t n = x.size();
    std::fill(out, out + n, NaN);
    if (static_cast<std::uint64_t>(n) < window || window < 2) return;
    const std::size_t w = static_cast<std::size_t>(window);

    // NaN pairs in the current window decide the mode.
    std::size_t nan_pairs = 0;
    for (std::size_t j = 0; j + 1 < w; ++j) nan_pairs += is_nan_pair(x[j], y[j]);
    RollingRanks ranks(x, y, w);
    bool have = false;
    Mode mode = Mode::all_pairs;
    InterruptPoll poll;
    for (std::size_t end = w - 1; end < n; ++end) {
        poll(w);
        nan_pairs += is_nan_pair(x[end], y[end]);
        if (end >= w) nan_pairs -= is_nan_pair(x[end - w], y[end - w]);
        const Mode now = nan_pairs > 0 ? Mode::finite_pairs : Mode::all_pairs;
        if (have && now == mode) {
            ranks.slide(end, now);
        } else {
            ranks.rebuild(end, now);
            mode = now;
            have = true;
        }
        if (now == Mode::finite_pairs && ranks.count() < 3) continue;
        out[end] = ranks.correlation(end);
    }
}

std::vector<double> rolling_spearman_inner(std::span<const double> x, std::span<const double> y,
                                           std::uint64_t window) {
    if (x.size() != y.size())
        panic("assertion `left == right` failed: x and y must have the same length\n  left: " +
              std::to_string(x.size()) + "\n right: " + std::to_string(y.size()));
    std::vector<double> out(x.size());
    rolling_spearman_into(x, y, window, out.data());
    return out;
}

std::span<const double> contiguous_samples(const SignalView& v, std::vector<double>& copy) {
    const std::span<const double> s = v.as_slice().or_value_error();
    if (v.stride == 1 || v.n <= 1) return s;
    copy = v.to_vector();
    return copy;
}

Array1 rolling_spearman_py(SignalView x, SignalView y, std::uint64_t window) {
    std::vector<double> xc, yc;
    const std::span<const double> xs = contiguous_samples(x, xc);
    const std::span<const double> ys = contiguous_samples(y, yc);
    if (xs.size() != ys.size()) raise_value_error("x and y must have the same length");
    return {rolling_spearman_inner(xs, ys, window)};
}

// Row p of a matrix, in place when its elements are adjacent, else copied.
std::span<const double> matrix_row(const MatrixView& m, std::size_t p, std::vector<double>& copy) {
    const double* row = m.data + static_cast<std::ptrdiff_t>(p) * m.s0;
    if (m.s1 == 1 || m.cols <= 1) return {row, m.cols};
    copy.resize(m.cols);
    for (std::size_t j = 0; j < m.cols; ++j) copy[j] = row[static_cast<std::ptrdiff_t>(j) * m.s1];
    return copy;
}

UninitArray2 batch_rolling_spearman_py(MatrixView x_batch, MatrixView y_batch, std::uint64_t window) {
    if (x_batch.rows != y_batch.rows || x_batch.cols != y_batch.cols)
        raise_value_error("x_batch and y_batch must have identical shapes");
    const std::size_t rows = x_batch.rows, cols = x_batch.cols;
    UninitArray2 out(rows, cols);
    double* block = out.data();
    // Each item reads its own rows (the arrays stay borrowed while the caller
    // waits) and writes its own row of the result block.
    parallel_map<char>(rows, [&](std::size_t p) {
        std::vector<double> xc, yc;
        const std::span<const double> xr = matrix_row(x_batch, p, xc);
        const std::span<const double> yr = matrix_row(y_batch, p, yc);
        rolling_spearman_into(xr, yr, window, block + p * cols);
        return char{0};
    });
    return out;
}

const PyMethodDef defs[] = {
    NUVRA_DEF(rolling_spearman_py, "rolling_spearman",
              "rolling_spearman(x, y, window)\n--\n\n"
              "Rolling Spearman \u03c1 for a single (x, y) pair.\n\n"
              "Returns array of length n; first (window-1) entries are NaN.\n"
              "NaN inputs are handled: windows with <3 valid pairs produce NaN output.\n"
              "Numerically equivalent to scipy.stats.spearmanr applied per window.",
              "x", "y", "window"),
    NUVRA_DEF(batch_rolling_spearman_py, "batch_rolling_spearman",
              "batch_rolling_spearman(x_batch, y_batch, window)\n--\n\n"
              "Batch rolling Spearman \u03c1 \u2014 Rayon parallel across pairs.\n\n"
              "x_batch: shape (n_pairs, n_samples) \u2014 each row is one time series\n"
              "y_batch: shape (n_pairs, n_samples) \u2014 paired with x_batch rows\n"
              "window:  rolling window size\n\n"
              "Returns: shape (n_pairs, n_samples), each row is rolling_spearman(x_batch[i], y_batch[i])\n"
              "Rayon distributes pairs across available CPU cores.",
              "x_batch", "y_batch", "window"),
};

}  // namespace

namespace family {
FunctionTable coupling() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
