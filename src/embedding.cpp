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
#include "module_frame/samples.hpp"

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

// The delay vectors of x as a row-major block: rows = n - span when the span
// is shorter than x, else no rows.
struct Embedded {
    std::vector<double> data;
    std::size_t rows = 0, dim = 0;
    const double* row(std::size_t i) const { return data.data() + i * dim; }
};

Embedded delay_embedding_inner(std::span<const double> x, std::uint64_t dim, std::uint64_t tau) {
    Embedded e;
    const std::optional<std::uint64_t> span = embedding_span(dim, tau);
    if (!span || *span >= x.size()) return e;
    const std::size_t m = x.size() - *span;
    std::uint64_t cells;
    if (mul_overflows(m, dim, cells)) panic_capacity_overflow();
    check_capacity(cells);
    e.rows = m;
    e.dim = static_cast<std::size_t>(dim);
    e.data.resize(static_cast<std::size_t>(cells));
    double* out = e.data.data();
    for (std::size_t i = 0; i < m; ++i) {
        const double* src = x.data() + i;
        for (std::size_t j = 0; j < e.dim; ++j) out[j] = src[j * tau];
        out += e.dim;
    }
    return e;
}

Array2 nan_block() { return Array2{{NaN}, 1, 1}; }

Array2 delay_embedding_py(SignalView signal, std::uint64_t dim, std::uint64_t tau) {
    const FiniteSamples s(signal);
    if (dim == 0 || tau == 0) return nan_block();
    Embedded e = delay_embedding_inner(s.span(), dim, tau);
    if (e.rows == 0) return nan_block();
    return Array2{std::move(e.data), e.rows, e.dim};
}

Array2 multivariate_embedding_py(MatrixView signals, std::uint64_t dim, std::uint64_t tau) {
    const std::size_t nr = signals.rows, nc = signals.cols;
    const bool columns = nc < nr;  // the columns are the signals
    const std::size_t S = std::min(nr, nc), L = std::max(nr, nc);
    const std::optional<std::uint64_t> span = embedding_span(dim, tau);
    if (!span || *span >= L) return nan_block();
    const std::size_t m = L - *span;
    const std::size_t d = static_cast<std::size_t>(dim);
    std::uint64_t width, cells;
    if (mul_overflows(S, dim, width) || mul_overflows(width, m, cells)) panic_capacity_overflow();
    check_capacity(cells);
    std::vector<double> out(static_cast<std::size_t>(cells));
    std::vector<double> list(L);
    for (std::size_t sig = 0; sig < S; ++sig) {
        // each signal copied into a contiguous list, whatever the strides
        for (std::size_t k = 0; k < L; ++k) list[k] = columns ? signals(k, sig) : signals(sig, k);
        const Embedded e = delay_embedding_inner(list, dim, tau);
        for (std::size_t i = 0; i < m; ++i)
            std::copy_n(e.row(i), d, out.data() + i * width + sig * d);
    }
    return Array2{std::move(out), m, static_cast<std::size_t>(width)};
}

// ------------------------------------------------------------------ neighbours

// Nearest neighbour of row i among rows 0 .. N-1 of e (j != i): the smallest
// Euclidean distance, the first index on ties; a NaN or +inf distance is
// never taken. `d2` is scratch of N doubles.
struct Neighbour {
    std::size_t index;
    double distance;
    bool found;
};

Neighbour nearest_neighbour(const std::vector<double>& x, std::size_t tau, std::size_t dim,
                            std::size_t N, std::size_t i, std::vector<double>& d2) {
    // Distances over the delay vectors read straight from the samples: the
    // component k of row j is x[j + k tau]. Each j keeps its own sum in
    // component order; the rows run side by side.
    double* acc = d2.data();
    for (std::size_t j = 0; j < N; ++j) acc[j] = -0.0;
    for (std::size_t k = 0; k < dim; ++k) {
        const double xi = x[i + k * tau];
        const double* col = x.data() + k * tau;
        for (std::size_t j = 0; j < N; ++j) {
            const double diff = xi - col[j];
            acc[j] += diff * diff;
        }
    }
    for (std::size_t j = 0; j < N; ++j) acc[j] = std::sqrt(acc[j]);
    Neighbour best{0, Inf, false};
    for (std::size_t j = 0; j < N; ++j) {
        if (j != i && acc[j] < best.distance) {
            best.distance = acc[j];
            best.index = j;
            best.found = true;
        }
    }
    return best;
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
                             std::size_t N, std::vector<double>& scratch, F&& f) {
    scratch.resize(N);
    for (std::size_t i = 0; i < N; ++i) {
        const Neighbour nb = nearest_neighbour(x, tau, d, N, i, scratch);
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

    std::vector<double> pct(static_cast<std::size_t>(max_dim));
    std::vector<double> scratch;
    for (std::size_t d = 1; d <= max_dim; ++d) {
        // rows of E_{d+1}: n - d tau (the guard keeps d tau below n)
        const std::size_t N = n - d * static_cast<std::size_t>(tau);
        if (N < 2) {
            pct[d - 1] = NaN;
            continue;
        }
        std::uint64_t total = 0, false_count = 0;
        for_each_neighbour_pair(x, tau, d, N, scratch, [&](double rd, double rd1) {
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
    // E values indexed by dimension; a dimension without a usable point
    // keeps an empty place so that later values stay at their dimension.
    std::vector<std::optional<double>> e;
    std::vector<double> scratch;
    for (std::uint64_t d = 1; d <= max_dim; ++d) {
        // rows of E_d and E_{d+1}; a span that wraps leaves no rows
        std::uint64_t span_next;
        if (mul_overflows(d, tau, span_next) || span_next >= n || n - span_next < 2) break;
        const std::size_t N = n - static_cast<std::size_t>(span_next);
        double sum = -0.0;
        std::uint64_t count = 0;
        for_each_neighbour_pair(x, tau, d, N, scratch, [&](double rd, double rd1) {
            sum += rd1 / rd;
            ++count;
        });
        if (count > 0)
            e.emplace_back(sum / as_d(count));
        else
            e.emplace_back(std::nullopt);
    }
    if (e.size() < 2) return 2;
    for (std::size_t k = 0; k + 1 < e.size(); ++k) {
        if (!e[k] || !e[k + 1]) continue;
        if (*e[k + 1] / *e[k] > threshold) return k + 2;
    }
    return e.size() + 1;
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
    // The first strict local minimum needs MI only up to one lag past it:
    // the values are computed as the walk reaches them.
    if (L >= 3) {
        double prev = mi.at_lag(1), cur = mi.at_lag(2);
        for (std::uint64_t t = 2; t + 1 <= L; ++t) {
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
