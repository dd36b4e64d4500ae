// Time-delay embedding of one or several signals, and the choice of its
// parameters: the embedding dimension by false nearest neighbours or by
// Cao's E1 criterion, the delay by the first minimum of the histogram
// mutual information between the signal and its lagged copy.
//
// A delay vector i of a sample list x is (x[i], x[i + tau], ...,
// x[i + (dim - 1) tau]). Its span (dim - 1) tau is computed with checked
// arithmetic: a span that does not fit in 64 bits is longer than any input,
// so the input counts as too short.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <tuple>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/samples.hpp"
#include "module_frame/simd.hpp"

namespace nuvra {
namespace {

inline double as_d(std::uint64_t v) { return static_cast<double>(v); }

// The span (dim - 1) * tau, or nothing when dim is 0 or the product wraps.
std::optional<std::uint64_t> embedding_span(std::uint64_t dim, std::uint64_t tau) {
    if (dim == 0) return std::nullopt;
    std::uint64_t span;
    if (mul_overflows(dim - 1, tau, span)) return std::nullopt;
    return span;
}

// Delay vectors i = i0 .. i1-1 of the samples src[k * stride], vector i
// written to out + i * row_stride: value j is sample i + j * tau, read at
// the element distance step = tau * stride per lag. D > 0 fixes the
// dimension at compile time (dim == D), D = 0 takes it from dim.
template <std::size_t D>
void delay_rows(const double* src, std::ptrdiff_t stride, std::ptrdiff_t step, std::size_t dim,
                std::size_t i0, std::size_t i1, double* out, std::size_t row_stride) {
    const std::size_t d = D > 0 ? D : dim;
    for (std::size_t i = i0; i < i1; ++i) {
        const double* p = src + static_cast<std::ptrdiff_t>(i) * stride;
        double* o = out + i * row_stride;
        for (std::size_t j = 0; j < d; ++j) o[j] = p[static_cast<std::ptrdiff_t>(j) * step];
    }
}

void delay_rows_any(const double* src, std::ptrdiff_t stride, std::ptrdiff_t step,
                    std::size_t dim, std::size_t i0, std::size_t i1, double* out,
                    std::size_t row_stride) {
    switch (dim) {
        case 1: return delay_rows<1>(src, stride, step, dim, i0, i1, out, row_stride);
        case 2: return delay_rows<2>(src, stride, step, dim, i0, i1, out, row_stride);
        case 3: return delay_rows<3>(src, stride, step, dim, i0, i1, out, row_stride);
        case 4: return delay_rows<4>(src, stride, step, dim, i0, i1, out, row_stride);
        case 5: return delay_rows<5>(src, stride, step, dim, i0, i1, out, row_stride);
        case 6: return delay_rows<6>(src, stride, step, dim, i0, i1, out, row_stride);
        case 7: return delay_rows<7>(src, stride, step, dim, i0, i1, out, row_stride);
        case 8: return delay_rows<8>(src, stride, step, dim, i0, i1, out, row_stride);
        default: return delay_rows<0>(src, stride, step, dim, i0, i1, out, row_stride);
    }
}

// The element distance of one lag; only a dimension of 2 or more uses it,
// and then tau <= span < the signal length, so the product fits.
std::ptrdiff_t lag_step(std::uint64_t dim, std::uint64_t tau, std::ptrdiff_t stride) {
    return dim >= 2 ? static_cast<std::ptrdiff_t>(tau) * stride : 0;
}

// Rows per block of the embedding loops: a block of the result stays in the
// first-level cache while every signal writes its columns into it, and a
// Ctrl-C check follows each block.
std::size_t block_rows(std::size_t row_width) {
    return std::max<std::size_t>(1, 4096 / std::max<std::size_t>(row_width, 1));
}

// The degenerate embedding [[NaN]].
OwnedArray2 nan_result() {
    OwnedArray2 out(1, 1);
    out.data()[0] = NaN;
    return out;
}

OwnedArray2 delay_embedding_py(SignalView signal, std::uint64_t dim, std::uint64_t tau) {
    const FiniteSamples fs(signal);
    const std::span<const double> s = fs.span();
    if (dim == 0 || tau == 0) return nan_result();
    const std::optional<std::uint64_t> span = embedding_span(dim, tau);
    if (!span || *span >= s.size()) return nan_result();
    const std::size_t m = s.size() - static_cast<std::size_t>(*span);
    OwnedArray2 out(m, static_cast<std::size_t>(dim));
    const std::size_t d = static_cast<std::size_t>(dim);
    const std::ptrdiff_t step = lag_step(dim, tau, 1);
    const std::size_t rows = block_rows(d);
    InterruptPoll poll;
    for (std::size_t i0 = 0; i0 < m; i0 += rows) {
        const std::size_t i1 = std::min(m, i0 + rows);
        delay_rows_any(s.data(), 1, step, d, i0, i1, out.data(), d);
        poll((i1 - i0) * d);
    }
    return out;
}

OwnedArray2 multivariate_embedding_py(MatrixView signals, std::uint64_t dim, std::uint64_t tau) {
    const std::size_t nr = signals.rows, nc = signals.cols;
    const bool columns = nc < nr;  // the columns are the signals
    const std::size_t S = std::min(nr, nc), L = std::max(nr, nc);
    const std::optional<std::uint64_t> span = embedding_span(dim, tau);
    if (!span || *span >= L) return nan_result();
    const std::size_t m = L - static_cast<std::size_t>(*span);
    std::uint64_t width;
    if (mul_overflows(S, dim, width)) panic_capacity_overflow();
    OwnedArray2 out(m, static_cast<std::size_t>(width));
    if (S == 0) return out;  // m rows without columns
    const std::size_t d = static_cast<std::size_t>(dim), w = static_cast<std::size_t>(width);
    // signal `sig` is the samples src(sig)[k * stride], k = 0 .. L-1, read in
    // place whatever the strides
    const std::ptrdiff_t stride = columns ? signals.s0 : signals.s1;
    const std::ptrdiff_t across = columns ? signals.s1 : signals.s0;
    const std::ptrdiff_t step = lag_step(dim, tau, stride);
    const std::size_t rows = block_rows(w);
    InterruptPoll poll;
    for (std::size_t i0 = 0; i0 < m; i0 += rows) {
        const std::size_t i1 = std::min(m, i0 + rows);
        // column sig * dim + j holds lag j of signal sig
        for (std::size_t sig = 0; sig < S; ++sig) {
            const double* src = signals.data + static_cast<std::ptrdiff_t>(sig) * across;
            delay_rows_any(src, stride, step, d, i0, i1, out.data() + sig * d, w);
            poll((i1 - i0) * d);
        }
    }
    return out;
}

// ------------------------------------------------------------------ neighbours

// Nearest neighbour of a point among the first N delay vectors of dimension
// dim (itself excluded): the smallest Euclidean distance, each distance the
// square root of the sum of squared component differences in component
// order; the smallest index wins a tie; a NaN or +inf distance is never
// taken, so a point whose every candidate lies at +inf has none.
struct Neighbour {
    std::size_t index;
    double distance;
    bool found;
};

// A k-d tree over the delay vectors gives exactly the neighbour of the
// brute-force scan: a subtree is skipped only when one of its components
// alone already puts every point in it at a squared distance above the best
// one by a relative margin (a rounded in-order sum of non-negative terms is
// never below any of its terms, and the margin is far wider than the
// rounding of a square root), so every point that could tie is still
// compared, by distance and then by index.
class NeighbourTree {
public:
    NeighbourTree(const std::vector<double>& x, std::size_t tau, std::size_t dim, std::size_t N,
                  InterruptPoll& poll)
        : dim_(dim), order_(N), pts_(N * dim), query_(dim), poll_(&poll) {
        for (std::size_t j = 0; j < N; ++j) order_[j] = j;
        // coordinates in original row order while building, then in tree order
        std::vector<double> rows(N * dim);
        for (std::size_t j = 0; j < N; ++j)
            for (std::size_t k = 0; k < dim; ++k) rows[j * dim + k] = x[j + k * tau];
        if (N > 0) build(rows, 0, N);
        for (std::size_t p = 0; p < N; ++p)
            std::copy_n(rows.data() + order_[p] * dim, dim, pts_.data() + p * dim);
        x_ = &x;
        tau_ = tau;
    }

    // Points compared so far, over every query.
    std::size_t compared() const { return compared_; }

    Neighbour nearest(std::size_t i) {
        for (std::size_t k = 0; k < dim_; ++k) query_[k] = (*x_)[i + k * tau_];
        best_ = {0, Inf, false};
        best_sq_ = Inf;
        self_ = i;
        if (!nodes_.empty()) search(0);
        return best_;
    }

private:
    static constexpr std::size_t kLeaf = 12;
    struct Node {
        double split;
        std::size_t axis, lo, mid, hi;
        std::int64_t left, right;  // child nodes, -1 for a leaf
    };

    std::int64_t build(const std::vector<double>& rows, std::size_t lo, std::size_t hi) {
        const std::int64_t id = static_cast<std::int64_t>(nodes_.size());
        nodes_.push_back({0.0, 0, lo, lo, hi, -1, -1});
        if (hi - lo <= kLeaf || dim_ == 0) return id;
        (*poll_)((hi - lo) * (dim_ + 4));
        // split the widest component at its median
        std::size_t axis = 0;
        double widest = -1.0;
        for (std::size_t k = 0; k < dim_; ++k) {
            double lo_v = Inf, hi_v = -Inf;
            for (std::size_t p = lo; p < hi; ++p) {
                const double v = rows[order_[p] * dim_ + k];
                lo_v = std::min(lo_v, v);
                hi_v = std::max(hi_v, v);
            }
            const double w = hi_v - lo_v;
            if (w > widest) {
                widest = w;
                axis = k;
            }
        }
        if (!(widest > 0.0)) return id;  // all equal (or spread overflows): one leaf
        const std::size_t mid = lo + (hi - lo) / 2;
        std::nth_element(order_.begin() + static_cast<std::ptrdiff_t>(lo),
                         order_.begin() + static_cast<std::ptrdiff_t>(mid),
                         order_.begin() + static_cast<std::ptrdiff_t>(hi),
                         [&](std::size_t a, std::size_t b) {
                             return rows[a * dim_ + axis] < rows[b * dim_ + axis];
                         });
        const double split = rows[order_[mid] * dim_ + axis];
        const std::int64_t left = build(rows, lo, mid);
        const std::int64_t right = build(rows, mid, hi);
        nodes_[static_cast<std::size_t>(id)] = {split, axis, lo, mid, hi, left, right};
        return id;
    }

    double bound() const { return best_sq_ + best_sq_ * 1e-12 + 1e-320; }

    void search(std::int64_t id) {
        const Node& nd = nodes_[static_cast<std::size_t>(id)];
        if (nd.left < 0) {
            scan(nd.lo, nd.hi);
            return;
        }
        const double diff = query_[nd.axis] - nd.split;
        const bool left_first = diff <= 0.0;
        search(left_first ? nd.left : nd.right);
        if (diff * diff <= bound()) search(left_first ? nd.right : nd.left);
    }

    void scan(std::size_t lo, std::size_t hi) {
        const double* q = query_.data();
        compared_ += hi - lo;
        for (std::size_t p = lo; p < hi; ++p) {
            const std::size_t j = order_[p];
            if (j == self_) continue;
            const double* r = pts_.data() + p * dim_;
            const double limit = bound();
            double acc = -0.0;
            std::size_t k = 0;
            // in component order; a partial sum above the bound cannot end below it
            for (; k < dim_; ++k) {
                const double diff = q[k] - r[k];
                acc += diff * diff;
                if (acc > limit) break;
            }
            if (k < dim_) continue;
            const double dist = std::sqrt(acc);
            if (dist < best_.distance || (best_.found && dist == best_.distance && j < best_.index)) {
                best_ = {j, dist, true};
                best_sq_ = acc;
            }
        }
    }

    std::size_t dim_;
    std::vector<std::size_t> order_;
    std::vector<double> pts_, query_;
    std::vector<Node> nodes_;
    InterruptPoll* poll_;
    const std::vector<double>* x_ = nullptr;
    std::size_t tau_ = 0, self_ = 0, compared_ = 0;
    Neighbour best_{0, Inf, false};
    double best_sq_ = Inf;
};

using simd::v4d;

// Squared distances from point i to every row j < N, each summed in
// component order (lane j is row j's own chain), with +inf for i itself;
// returns their minimum.
NUVRA_MULTIVERSION double squared_distances(
    const double* x, std::size_t tau, std::size_t dim, std::size_t N, std::size_t i, double* acc) {
    const std::size_t j8 = N / 8 * 8;
    v4d m0 = {Inf, Inf, Inf, Inf}, m1 = m0;
    for (std::size_t j = 0; j < j8; j += 8) {
        v4d a0 = {-0.0, -0.0, -0.0, -0.0}, a1 = a0;
        const double* col = x + j;
        for (std::size_t k = 0; k < dim; ++k, col += tau) {
            const double q = x[i + k * tau];
            const v4d qv = {q, q, q, q};
            const v4d d0 = qv - simd::load(col), d1 = qv - simd::load(col + 4);
            a0 += d0 * d0;
            a1 += d1 * d1;
        }
        simd::store(acc + j, a0);
        simd::store(acc + j + 4, a1);
    }
    for (std::size_t j = j8; j < N; ++j) {
        double a = -0.0;
        for (std::size_t k = 0; k < dim; ++k) {
            const double diff = x[i + k * tau] - x[j + k * tau];
            a += diff * diff;
        }
        acc[j] = a;
    }
    acc[i] = Inf;
    for (std::size_t j = 0; j < j8; j += 8) {
        const v4d a0 = simd::load(acc + j), a1 = simd::load(acc + j + 4);
        m0 = a0 < m0 ? a0 : m0;
        m1 = a1 < m1 ? a1 : m1;
    }
    m0 = m1 < m0 ? m1 : m0;
    double best = std::min(std::min(m0[0], m0[1]), std::min(m0[2], m0[3]));
    for (std::size_t j = j8; j < N; ++j) best = std::min(best, acc[j]);
    return best;
}

// The neighbour of point i by scanning every row: the first row whose
// distance equals the smallest one (rows whose squared sums differ may
// share a rounded square root, so the equality is taken on distances).
Neighbour brute_nearest(const std::vector<double>& x, std::size_t tau, std::size_t dim,
                        std::size_t N, std::size_t i, std::vector<double>& acc) {
    acc.resize(N);
    const double min_sq = squared_distances(x.data(), tau, dim, N, i, acc.data());
    if (!(min_sq < Inf)) return {0, Inf, false};
    const double best = std::sqrt(min_sq);
    const double limit = min_sq + min_sq * 1e-12 + 1e-320;
    for (std::size_t j = 0; j < N; ++j)
        if (acc[j] <= limit && std::sqrt(acc[j]) == best) return {j, best, true};
    return {0, Inf, false};  // not reached: the minimum itself qualifies
}

// Distance between delay vectors i and j of dimension dim, in component order.
double row_distance(const std::vector<double>& x, std::size_t tau, std::size_t dim, std::size_t i,
                    std::size_t j) {
    double acc = -0.0;
    for (std::size_t k = 0; k < dim; ++k) {
        const double diff = x[i + k * tau] - x[j + k * tau];
        acc += diff * diff;
    }
    return std::sqrt(acc);
}

// n < tau * (max_dim + 1) + 10, where a sum or product that wraps means the
// signal is too short.
bool too_short(std::size_t n, std::uint64_t tau, std::uint64_t max_dim) {
    std::uint64_t dims, need;
    if (add_overflows(max_dim, 1, dims) || mul_overflows(tau, dims, need) ||
        add_overflows(need, 10, need))
        return true;
    return n < need;
}

// Per point i of dimension d (N usable rows): calls f(R_d(i), R_{d+1}(i))
// for every point whose nearest neighbour lies at a positive distance;
// points with no neighbour at all (every distance +inf) are skipped.
template <typename F>
void for_each_neighbour_pair(const std::vector<double>& x, std::size_t tau, std::size_t d,
                             std::size_t N, InterruptPoll& poll, F&& f) {
    // A tree pays off while a query compares few of the points; otherwise a
    // vectorised scan of all rows is faster. The first queries on the tree
    // measure how many points a query compares, and the search keeps the
    // tree only when that is a small share of N (clustered, low-dimensional
    // attractors keep it far longer than noise does). Both ways find the
    // same neighbour.
    constexpr std::size_t kProbe = 64;
    bool use_tree = d < 64 && N > 4 * kProbe;
    std::optional<NeighbourTree> tree;
    if (use_tree) tree.emplace(x, tau, d, N, poll);
    std::vector<double> acc;
    std::size_t compared = 0;
    for (std::size_t i = 0; i < N; ++i) {
        // a compared point costs the tree about as much as 128 components
        // of the scan
        if (use_tree && i == kProbe && tree->compared() * 128 > kProbe * N * d) use_tree = false;
        const Neighbour nb = use_tree ? tree->nearest(i) : brute_nearest(x, tau, d, N, i, acc);
        if (use_tree) {
            poll((tree->compared() - compared + 1) * (d + 1));
            compared = tree->compared();
        } else {
            poll(N * (d + 1));
        }
        if (!nb.found || nb.distance <= 0.0) continue;
        f(nb.distance, row_distance(x, tau, d + 1, i, nb.index));
    }
}

std::tuple<Array1, std::uint64_t> false_nearest_neighbors_py(SignalView signal, std::uint64_t tau,
                                                             std::uint64_t max_dim,
                                                             double r_threshold,
                                                             double a_threshold) {
    const FiniteSamples fs(signal);
    const std::span<const double> s = fs.span();
    const std::size_t n = s.size();
    if (too_short(n, tau, max_dim)) return {Array1{nan_vec(max_dim)}, 2};
    const double mean = sum_in_order(s) / as_d(n);
    double ss = -0.0;
    for (double v : s) ss += (v - mean) * (v - mean);
    const double variance = ss / as_d(n);
    if (variance == 0.0) return {Array1{nan_vec(max_dim)}, 2};
    const double sigma = std::sqrt(variance);
    const std::vector<double> x(s.begin(), s.end());

    // the whole result at once, NaN where a dimension has no usable point
    std::vector<double> pct = nan_vec(max_dim);
    InterruptPoll poll;
    for (std::size_t d = 1; d <= max_dim; ++d) {
        // rows of E_{d+1}: n - d tau (the guard keeps d tau below n); the row
        // count only falls with d, so from N < 2 on every entry stays NaN
        const std::size_t N = n - d * static_cast<std::size_t>(tau);
        if (N < 2) break;
        std::uint64_t total = 0, false_count = 0;
        for_each_neighbour_pair(x, tau, d, N, poll, [&](double rd, double rd1) {
            const bool is_false =
                rd1 / sigma > a_threshold || std::fabs(rd1 - rd) / rd > r_threshold;
            ++total;
            false_count += is_false;
        });
        pct[d - 1] = total == 0 ? NaN : 100.0 * as_d(false_count) / as_d(total);
    }
    std::uint64_t optimal = max_dim;
    for (std::size_t k = 0; k < pct.size(); ++k) {
        if (std::isfinite(pct[k]) && pct[k] < 1.0) {
            optimal = k + 1;
            break;
        }
    }
    return {Array1{std::move(pct)}, optimal};
}

std::uint64_t optimal_embedding_dimension_py(SignalView signal, std::uint64_t tau,
                                             std::uint64_t max_dim, double threshold) {
    const FiniteSamples fs(signal);
    const std::span<const double> s = fs.span();
    const std::size_t n = s.size();
    if (too_short(n, tau, max_dim) || max_dim == 0) return 2;
    const std::vector<double> x(s.begin(), s.end());
    // E values by dimension; a dimension without a usable point keeps an
    // empty place so that later values stay at their dimension. Only the
    // last two are ever compared.
    std::optional<double> prev, cur;
    std::uint64_t evaluated = 0;
    InterruptPoll poll;
    for (std::uint64_t d = 1; d <= max_dim; ++d) {
        // rows of E_d and E_{d+1}; a span that wraps leaves no rows
        std::uint64_t span_next;
        if (mul_overflows(d, tau, span_next) || span_next >= n || n - span_next < 2) break;
        const std::size_t N = n - static_cast<std::size_t>(span_next);
        double sum = -0.0;
        std::uint64_t count = 0;
        for_each_neighbour_pair(x, tau, d, N, poll, [&](double rd, double rd1) {
            sum += rd1 / rd;
            ++count;
        });
        prev = cur;
        cur = count > 0 ? std::optional<double>(sum / as_d(count)) : std::nullopt;
        ++evaluated;
        // The first ratio E(d) / E(d - 1) above the threshold decides: later
        // dimensions cannot change the answer, so they are not computed.
        if (evaluated >= 2 && prev && cur && *cur / *prev > threshold) return evaluated;
    }
    if (evaluated < 2) return 2;
    return evaluated + 1;
}

// ------------------------------------------------------------------ mutual information

// Histogram mutual information of the m = n - lag pairs (s[k], s[k + lag]).
// Only occupied cells are counted; the terms are summed over the cells in
// ascending (x bin, y bin) order, as a full table walked row by row would.
class MutualInformation {
public:
    MutualInformation(std::span<const double> s, std::uint64_t n_bins) : s_(s), n_bins_(n_bins) {}

    double at_lag(std::size_t lag) {
        const std::size_t m = s_.size() - lag;
        const double* x = s_.data();
        const double* y = s_.data() + lag;
        double xmin = Inf, xmax = -Inf, ymin = Inf, ymax = -Inf;
        for (std::size_t k = 0; k < m; ++k) {
            xmin = std::min(xmin, x[k]);
            xmax = std::max(xmax, x[k]);
            ymin = std::min(ymin, y[k]);
            ymax = std::max(ymax, y[k]);
        }
        if (xmax - xmin == 0.0 || ymax - ymin == 0.0) return 0.0;
        if (n_bins_ == 0) panic_index(0, 0);  // the last bin of an empty table
        const double nb = as_d(n_bins_);
        const double wx = (xmax - xmin) / nb, wy = (ymax - ymin) / nb;
        const std::uint64_t last = n_bins_ - 1;
        bx_.resize(m);
        by_.resize(m);
        for (std::size_t k = 0; k < m; ++k) {
            bx_[k] = std::min(to_u64_sat(std::floor((x[k] - xmin) / wx)), last);
            by_[k] = std::min(to_u64_sat(std::floor((y[k] - ymin) / wy)), last);
        }
        const double md = as_d(m);
        if (n_bins_ <= kDenseBins && n_bins_ * n_bins_ <= 4 * static_cast<std::uint64_t>(m) + 64)
            return dense(m, md);
        return sparse(m, md);
    }

private:
    static constexpr std::uint64_t kDenseBins = 1024;

    static double term(std::uint64_t joint, std::uint64_t cx, std::uint64_t cy, double md) {
        const double pxy = as_d(joint) / md, px = as_d(cx) / md, py = as_d(cy) / md;
        return pxy * std::log(pxy / (px * py));
    }

    double dense(std::size_t m, double md) {
        const std::size_t b = static_cast<std::size_t>(n_bins_);
        joint_.assign(b * b, 0);
        cx_.assign(b, 0);
        cy_.assign(b, 0);
        for (std::size_t k = 0; k < m; ++k) {
            ++joint_[bx_[k] * b + by_[k]];
            ++cx_[bx_[k]];
            ++cy_[by_[k]];
        }
        double mi = -0.0;
        for (std::size_t i = 0; i < b; ++i) {
            if (cx_[i] == 0) continue;
            const std::uint64_t* row = joint_.data() + i * b;
            for (std::size_t j = 0; j < b; ++j)
                if (row[j] != 0) mi += term(row[j], cx_[i], cy_[j], md);
        }
        return mi;
    }

    double sparse(std::size_t m, double md) {
        // y marginal: counts per occupied y bin, looked up by binary search
        ysorted_.assign(by_.begin(), by_.end());
        std::sort(ysorted_.begin(), ysorted_.end());
        cells_.resize(m);
        for (std::size_t k = 0; k < m; ++k) cells_[k] = {bx_[k], by_[k]};
        std::sort(cells_.begin(), cells_.end());
        auto ycount = [&](std::uint64_t v) {
            const auto r = std::equal_range(ysorted_.begin(), ysorted_.end(), v);
            return static_cast<std::uint64_t>(r.second - r.first);
        };
        double mi = -0.0;
        std::size_t k = 0;
        while (k < m) {
            // one x bin: its cells in ascending y order
            std::size_t end = k;
            while (end < m && cells_[end].first == cells_[k].first) ++end;
            const std::uint64_t cx = end - k;
            std::size_t c = k;
            while (c < end) {
                std::size_t e = c;
                while (e < end && cells_[e].second == cells_[c].second) ++e;
                mi += term(e - c, cx, ycount(cells_[c].second), md);
                c = e;
            }
            k = end;
        }
        return mi;
    }

    std::span<const double> s_;
    std::uint64_t n_bins_;
    std::vector<std::uint64_t> bx_, by_, joint_, cx_, cy_, ysorted_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> cells_;
};

std::uint64_t mutual_information_delay_py(SignalView signal, std::uint64_t max_lag,
                                          std::uint64_t n_bins) {
    const FiniteSamples fs(signal);
    const std::span<const double> s = fs.span();
    const std::size_t n = s.size();
    std::uint64_t need;
    if (add_overflows(max_lag, 10, need) || n < need) return 1;
    const std::uint64_t L = std::min<std::uint64_t>(max_lag, n - 10);
    MutualInformation mi(s, n_bins);
    InterruptPoll poll;
    // The first strict local minimum needs MI only up to one lag past it:
    // the values are computed as the walk reaches them.
    if (L >= 3) {
        double prev = mi.at_lag(1), cur = mi.at_lag(2);
        for (std::uint64_t t = 2; t + 1 <= L; ++t) {
            poll(8 * (n - t));
            const double next = mi.at_lag(t + 1);
            if (cur < prev && cur < next) return t;
            prev = cur;
            cur = next;
        }
    }
    return std::max<std::uint64_t>(L / 4, 1);
}

const PyMethodDef defs[] = {
    NUVRA_DEF(delay_embedding_py, "delay_embedding",
              "delay_embedding(signal, dim, tau)\n--\n\nConstruct time-delay embedding matrix.",
              "signal", "dim", "tau"),
    NUVRA_DEF(optimal_embedding_dimension_py, "optimal_embedding_dimension",
              "optimal_embedding_dimension(signal, tau, max_dim, threshold)\n--\n\n"
              "Find optimal embedding dimension using Cao's method.",
              "signal", "tau", "max_dim", "threshold"),
    NUVRA_DEF(mutual_information_delay_py, "mutual_information_delay",
              "mutual_information_delay(signal, max_lag, n_bins)\n--\n\n"
              "Find optimal time delay using mutual information.",
              "signal", "max_lag", "n_bins"),
    NUVRA_DEF(false_nearest_neighbors_py, "false_nearest_neighbors",
              "false_nearest_neighbors(signal, tau, max_dim, r_threshold, a_threshold)\n--\n\n"
              "Find optimal embedding dimension using false nearest neighbors.",
              "signal", "tau", "max_dim", "r_threshold", "a_threshold"),
    NUVRA_DEF(multivariate_embedding_py, "multivariate_embedding",
              "multivariate_embedding(signals, dim, tau)\n--\n\n"
              "Construct multivariate time-delay embedding.",
              "signals", "dim", "tau"),
};

}  // namespace

namespace family {
FunctionTable embedding() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
