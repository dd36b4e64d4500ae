// Graph measures on a dense adjacency matrix.
//
// n is the number of rows; the functions read the leading n x n block of the
// matrix (a matrix with fewer columns than rows ends in a panic). An entry is
// an edge when it is strictly greater than 0.0 (NaN is no edge, +inf is one);
// row i lists the edges leaving node i, so an asymmetric matrix is a directed
// graph. The path, component and clustering measures ignore the diagonal and
// work on out-neighbour lists; density and degree count the diagonal; the
// eigenvector and community measures use the entries as weights.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/simd.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nuvra {
namespace {

inline bool is_edge(double v) { return v > 0.0; }

// Bit k set when p[k] > 0.0 (the edge rule: false for NaN), for k < 8.
inline unsigned edges8(const double* p) {
#if defined(__SSE2__)
    const __m128d z = _mm_setzero_pd();
    return static_cast<unsigned>(_mm_movemask_pd(_mm_cmpgt_pd(_mm_loadu_pd(p), z))) |
           static_cast<unsigned>(_mm_movemask_pd(_mm_cmpgt_pd(_mm_loadu_pd(p + 2), z))) << 2 |
           static_cast<unsigned>(_mm_movemask_pd(_mm_cmpgt_pd(_mm_loadu_pd(p + 4), z))) << 4 |
           static_cast<unsigned>(_mm_movemask_pd(_mm_cmpgt_pd(_mm_loadu_pd(p + 6), z))) << 6;
#else
    unsigned m = 0;
    for (unsigned k = 0; k < 8; ++k) m |= static_cast<unsigned>(p[k] > 0.0) << k;
    return m;
#endif
}

// Calls f(j) for every column j < n of row i (of the view) that is an edge,
// in increasing order.
template <typename F>
inline void for_each_edge(const MatrixView& a, std::size_t i, std::size_t n, F&& f) {
    const double* row = a.data + static_cast<std::ptrdiff_t>(i) * a.s0;
    if (a.s1 == 1) {
        std::size_t j = 0;
        for (; j + 8 <= n; j += 8) {
            for (unsigned m = edges8(row + j); m; m &= m - 1) f(j + static_cast<std::size_t>(__builtin_ctz(m)));
        }
        for (; j < n; ++j)
            if (is_edge(row[j])) f(j);
    } else {
        for (std::size_t j = 0; j < n; ++j)
            if (is_edge(row[static_cast<std::ptrdiff_t>(j) * a.s1])) f(j);
    }
}

// Calls f(j, value) for every column j < n of row i whose entry is not zero
// (NaN included), in increasing order.
template <typename F>
inline void for_each_nonzero(const MatrixView& a, std::size_t i, std::size_t n, F&& f) {
    const double* row = a.data + static_cast<std::ptrdiff_t>(i) * a.s0;
    std::size_t j = 0;
    if (a.s1 == 1) {
#if defined(__SSE2__)
        const __m128d z = _mm_setzero_pd();
        for (; j + 4 <= n; j += 4) {
            unsigned m = static_cast<unsigned>(_mm_movemask_pd(_mm_cmpneq_pd(_mm_loadu_pd(row + j), z))) |
                         static_cast<unsigned>(_mm_movemask_pd(_mm_cmpneq_pd(_mm_loadu_pd(row + j + 2), z))) << 2;
            for (; m; m &= m - 1) {
                const std::size_t c = j + static_cast<std::size_t>(__builtin_ctz(m));
                f(c, row[c]);
            }
        }
#endif
        for (; j < n; ++j)
            if (row[j] != 0.0) f(j, row[j]);
    } else {
        for (; j < n; ++j) {
            const double v = row[static_cast<std::ptrdiff_t>(j) * a.s1];
            if (v != 0.0) f(j, v);
        }
    }
}

// Population count without relying on the popcnt instruction (the build
// targets baseline x86-64, where __builtin_popcount is a library call).
inline unsigned popcount64(std::uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0full;
    return static_cast<unsigned>((x * 0x0101010101010101ull) >> 56);
}

// Number of entries > 0.0 in a contiguous run; built for AVX2 and for
// baseline x86-64, picked when the module loads.
NUVRA_MULTIVERSION
std::uint64_t count_positive(const double* p, std::size_t n) {
    std::int64_t c = 0;
    for (std::size_t j = 0; j < n; ++j) c += p[j] > 0.0 ? 1 : 0;
    return static_cast<std::uint64_t>(c);
}

// Number of edges among the first n columns of row i, diagonal included.
inline std::uint64_t count_edges(const MatrixView& a, std::size_t i, std::size_t n) {
    const double* row = a.data + static_cast<std::ptrdiff_t>(i) * a.s0;
    if (a.s1 == 1) return count_positive(row, n);
    std::uint64_t c = 0;
    for (std::size_t j = 0; j < n; ++j) c += is_edge(row[static_cast<std::ptrdiff_t>(j) * a.s1]);
    return c;
}

// A buffer of n elements that is not zero-filled (every element is written
// before it is read).
template <typename T>
std::unique_ptr<T[]> uninit(std::size_t n) {
    check_capacity(n, sizeof(T));
    return std::unique_ptr<T[]>(new T[n]);
}

// The direct reading needs n columns; a narrower matrix is an index error.
void require_square_block(const MatrixView& a) {
    if (a.cols < a.rows) panic("ndarray: index out of bounds");
}

// n * n, with the capacity check for the element count.
std::size_t square_count(std::size_t n) {
    std::uint64_t nn;
    if (mul_overflows(n, n, nn)) panic_capacity_overflow();
    check_capacity(nn);
    return static_cast<std::size_t>(nn);
}

// The leading n x n block, row-major (transposed = false) or column-major.
std::unique_ptr<double[]> dense_block(const MatrixView& a, bool transposed) {
    const std::size_t n = a.rows;
    auto out = uninit<double>(square_count(n));
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        poll(n);
        const double* row = a.data + static_cast<std::ptrdiff_t>(i) * a.s0;
        if (!transposed) {
            double* dst = out.get() + i * n;
            if (a.s1 == 1) {
                std::memcpy(dst, row, n * sizeof(double));
            } else {
                for (std::size_t j = 0; j < n; ++j) dst[j] = row[static_cast<std::ptrdiff_t>(j) * a.s1];
            }
        } else {
            for (std::size_t j = 0; j < n; ++j)
                out[j * n + i] = row[static_cast<std::ptrdiff_t>(j) * a.s1];
        }
    }
    return out;
}

// ------------------------------------------------------------- unweighted graph

// Out-neighbour lists of the boolean adjacency (edge rule, diagonal never an
// edge), each in increasing order.
struct Graph {
    std::size_t n = 0;
    std::vector<std::size_t> off;  // n + 1 offsets into adj
    std::vector<std::uint32_t> adj;

    std::size_t degree(std::size_t u) const { return off[u + 1] - off[u]; }
    const std::uint32_t* begin(std::size_t u) const { return adj.data() + off[u]; }
    const std::uint32_t* end(std::size_t u) const { return adj.data() + off[u + 1]; }
};

// The boolean adjacency of the leading n x n block. A matrix with fewer
// columns than rows fails with the index error of the row-major reading: the
// first position i*n + j (j != i) past the rows*cols elements.
Graph build_graph(const MatrixView& a) {
    Graph g;
    const std::size_t n = a.rows;
    g.n = n;
    if (n >= 2 && a.cols < n) {
        const std::size_t c = a.cols;
        panic_index(n * c, c == 0 ? 1 : c * n);
    }
    if (n > std::numeric_limits<std::uint32_t>::max()) panic_capacity_overflow();
    g.off.assign(n + 1, 0);
    InterruptPoll poll;
    // (A one-row matrix has only its diagonal position, which is never read.)
    for (std::size_t i = 0; i < n && n >= 2; ++i) {
        poll(n);
        for_each_edge(a, i, n, [&](std::size_t j) {
            if (j != i) g.adj.push_back(static_cast<std::uint32_t>(j));
        });
        g.off[i + 1] = g.adj.size();
    }
    return g;
}

// In-neighbour lists (the transposed graph), each in increasing order.
Graph transpose(const Graph& g) {
    Graph t;
    const std::size_t n = g.n;
    t.n = n;
    t.off.assign(n + 1, 0);
    for (std::uint32_t v : g.adj) ++t.off[v + 1];
    for (std::size_t i = 0; i < n; ++i) t.off[i + 1] += t.off[i];
    t.adj.resize(g.adj.size());
    std::vector<std::size_t> pos(t.off.begin(), t.off.end() - 1);
    for (std::size_t u = 0; u < n; ++u)
        for (const std::uint32_t* p = g.begin(u); p != g.end(u); ++p) t.adj[pos[*p]++] = static_cast<std::uint32_t>(u);
    return t;
}

constexpr std::uint32_t kUnreached = std::numeric_limits<std::uint32_t>::max();

// For every source, the number of other nodes reached and the sum of their
// hop distances (an exact integer).
struct Reach {
    std::uint64_t count = 0, sum = 0;
};

// Breadth-first searches from 64 sources at once: bit b of a node's word
// stands for source base + b. Each level spreads the frontier words along
// out-edges; a node's newly set bits are the sources that reach it at that
// level. Only nodes on some frontier are expanded, so a batch costs at most
// what its 64 separate searches cost, and far less when they overlap.
std::vector<Reach> reach_all(const Graph& g) {
    const std::size_t n = g.n;
    std::vector<Reach> out(n);
    std::vector<std::uint64_t> visited(n), frontier(n, 0), next(n, 0);
    std::vector<std::uint32_t> active, touched;
    active.reserve(n);
    touched.reserve(n);
    InterruptPoll poll;
    for (std::size_t base = 0; base < n; base += 64) {
        poll(n);
        const std::size_t width = std::min<std::size_t>(64, n - base);
        std::fill(visited.begin(), visited.end(), 0);
        active.clear();
        for (std::size_t b = 0; b < width; ++b) {
            const std::uint64_t bit = std::uint64_t{1} << b;
            visited[base + b] = bit;
            frontier[base + b] = bit;
            active.push_back(static_cast<std::uint32_t>(base + b));
        }
        for (std::uint64_t level = 1; !active.empty(); ++level) {
            touched.clear();
            std::uint64_t work = active.size();
            for (const std::uint32_t u : active) {
                const std::uint64_t f = frontier[u];
                frontier[u] = 0;
                work += g.degree(u);
                for (const std::uint32_t* p = g.begin(u); p != g.end(u); ++p) {
                    if (!next[*p]) touched.push_back(*p);
                    next[*p] |= f;
                }
            }
            poll(work + touched.size());
            active.clear();
            for (const std::uint32_t v : touched) {
                const std::uint64_t fresh = next[v] & ~visited[v];
                next[v] = 0;
                if (!fresh) continue;
                visited[v] |= fresh;
                frontier[v] = fresh;
                active.push_back(v);
                for (std::uint64_t m = fresh; m; m &= m - 1) {
                    Reach& r = out[base + static_cast<std::size_t>(__builtin_ctzll(m))];
                    ++r.count;
                    r.sum += level;
                }
            }
        }
    }
    return out;
}

// ---------------------------------------------------------------- functions

double density_py(MatrixView adjacency) {
    const std::size_t n = adjacency.rows;
    if (n < 2) return 0.0;
    require_square_block(adjacency);
    std::uint64_t count = 0;
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        poll(n);
        count += count_edges(adjacency, i, n);
    }
    const double pairs = static_cast<double>(n * (n - 1)) / 2.0;
    return (static_cast<double>(count) / 2.0) / pairs;
}

Array1 degree_centrality_py(MatrixView adjacency) {
    const std::size_t n = adjacency.rows;
    if (n < 2) return {{1.0}};
    require_square_block(adjacency);
    std::vector<double> out(n);
    const double denom = static_cast<double>(n - 1);
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        poll(n);
        out[i] = static_cast<double>(count_edges(adjacency, i, n)) / denom;
    }
    return {std::move(out)};
}

double average_path_length_py(MatrixView adjacency) {
    if (adjacency.rows < 2) return 0.0;
    const Graph g = build_graph(adjacency);
    // Every distance is a small integer, so the running sum of the distances
    // is exact in any grouping.
    std::uint64_t count = 0, sum = 0;
    for (const Reach& r : reach_all(g)) {
        count += r.count;
        sum += r.sum;
    }
    if (count == 0) return Inf;
    return static_cast<double>(sum) / static_cast<double>(count);
}

Array1 closeness_centrality_py(MatrixView adjacency) {
    const std::size_t n = adjacency.rows;
    if (n < 2) return {{1.0}};
    const Graph g = build_graph(adjacency);
    const std::vector<Reach> reach = reach_all(g);
    std::vector<double> out(n);
    for (std::size_t s = 0; s < n; ++s) {
        const double r = static_cast<double>(reach[s].count);
        const double total = static_cast<double>(reach[s].sum);
        out[s] = (r > 0.0 && total > 0.0) ? r / total : 0.0;
    }
    return {std::move(out)};
}

// Components in the order they are started (from the smallest node not yet
// taken); within one, nodes in breadth-first order along out-edges.
std::vector<std::vector<std::uint64_t>> connected_components_py(MatrixView adjacency) {
    const std::size_t n = adjacency.rows;
    std::vector<std::vector<std::uint64_t>> out;
    if (n == 0) return out;
    const Graph g = build_graph(adjacency);
    std::vector<char> taken(n, 0);
    auto queue = uninit<std::uint32_t>(n);
    for (std::size_t s = 0; s < n; ++s) {
        if (taken[s]) continue;
        taken[s] = 1;
        queue[0] = static_cast<std::uint32_t>(s);
        std::size_t head = 0, tail = 1;
        while (head < tail) {
            const std::uint32_t u = queue[head++];
            for (const std::uint32_t* p = g.begin(u); p != g.end(u); ++p) {
                if (!taken[*p]) {
                    taken[*p] = 1;
                    queue[tail++] = *p;
                }
            }
        }
        out.emplace_back(queue.get(), queue.get() + tail);
    }
    return out;
}

// Brandes' algorithm over all sources, unweighted. Path counts grow in the
// order the search reaches the predecessors; dependencies are accumulated in
// the order nodes leave the stack, each predecessor once per node.
Array1 betweenness_centrality_py(MatrixView adjacency) {
    const std::size_t n = adjacency.rows;
    if (n <= 2) return {std::vector<double>(n, 0.0)};
    const Graph g = build_graph(adjacency);
    const Graph in = transpose(g);
    std::vector<double> score(n, 0.0);
    auto dist = uninit<std::uint32_t>(n);
    auto order = uninit<std::uint32_t>(n);
    auto sigma = uninit<double>(n);
    auto delta = uninit<double>(n);
    InterruptPoll poll;
    for (std::size_t s = 0; s < n; ++s) {
        // The fill, and both sweeps over at most every edge.
        poll(n + 2 * g.adj.size());
        std::fill(dist.get(), dist.get() + n, kUnreached);
        dist[s] = 0;
        sigma[s] = 1.0;
        order[0] = static_cast<std::uint32_t>(s);
        std::size_t head = 0, tail = 1;
        while (head < tail) {
            const std::uint32_t v = order[head++];
            const std::uint32_t dw = dist[v] + 1;
            const double sv = sigma[v];
            for (const std::uint32_t* p = g.begin(v); p != g.end(v); ++p) {
                const std::uint32_t w = *p;
                if (dist[w] == kUnreached) {
                    dist[w] = dw;
                    sigma[w] = 0.0 + sv;
                    order[tail++] = w;
                } else if (dist[w] == dw) {
                    sigma[w] += sv;
                }
            }
        }
        for (std::size_t k = 0; k < tail; ++k) delta[order[k]] = 0.0;
        for (std::size_t k = tail; k-- > 1;) {
            const std::uint32_t w = order[k];
            const double sw = sigma[w];
            if (sw > 0.0) {
                const double coeff = 1.0 + delta[w];
                const std::uint32_t dv = dist[w] - 1;
                for (const std::uint32_t* p = in.begin(w); p != in.end(w); ++p) {
                    if (dist[*p] == dv) delta[*p] += (sigma[*p] / sw) * coeff;
                }
            }
            score[w] += delta[w];
        }
    }
    const double scale = static_cast<double>((n - 1) * (n - 2));
    for (double& x : score) x /= scale;
    return {std::move(score)};
}

// Local clustering: for each node, the share of pairs of out-neighbours
// u < v with an edge u -> v. Rows of the boolean adjacency are kept as bit
// sets, so one pair count is a masked popcount.
Array1 clustering_coefficient_py(MatrixView adjacency) {
    const std::size_t n = adjacency.rows;
    std::vector<double> out(n, 0.0);
    if (n == 0) return {std::move(out)};
    const Graph g = build_graph(adjacency);
    const std::size_t words = (n + 63) / 64;
    std::uint64_t cells;
    if (mul_overflows(words, n, cells)) panic_capacity_overflow();
    check_capacity(cells);
    std::vector<std::uint64_t> bits(static_cast<std::size_t>(cells), 0);
    for (std::size_t u = 0; u < n; ++u)
        for (const std::uint32_t* p = g.begin(u); p != g.end(u); ++p)
            bits[u * words + (*p >> 6)] |= std::uint64_t{1} << (*p & 63);
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = g.degree(i);
        poll(k * words + 1);
        if (k < 2) continue;
        const std::uint64_t* ri = bits.data() + i * words;
        std::uint64_t links = 0;
        for (const std::uint32_t* p = g.begin(i); p != g.end(i); ++p) {
            const std::uint32_t u = *p;
            const std::uint64_t* ru = bits.data() + static_cast<std::size_t>(u) * words;
            // neighbours v of i with v > u and u -> v
            std::size_t w = (u + 1) >> 6;
            if (w >= words) continue;
            const std::uint64_t first_mask = ~std::uint64_t{0} << ((u + 1) & 63);
            links += static_cast<std::uint64_t>(popcount64(ri[w] & ru[w] & first_mask));
            for (++w; w < words; ++w) links += static_cast<std::uint64_t>(popcount64(ri[w] & ru[w]));
        }
        out[i] = static_cast<double>(links + links) / static_cast<double>(k * (k - 1));
    }
    return {std::move(out)};
}

// ------------------------------------------------------ eigenvector centrality

// y = B x for the column-major n x n block b: each y_i is the sum over j in
// increasing order of b(i, j) x_j, from -0.0 (one chain per row, many rows
// side by side).
NUVRA_MULTIVERSION
void mat_vec(const double* b, const double* x, double* y, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) y[i] = -0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double xj = x[j];
        const double* col = b + j * n;
        for (std::size_t i = 0; i < n; ++i) y[i] += col[i] * xj;
    }
}

// One step x <- Bx / |Bx| into y; returns s = |Bx|^2 and the step length
// d = |x - y| through `d`.
double power_step(const double* b, std::size_t n, const std::vector<double>& x,
                  std::vector<double>& y, double& d) {
    mat_vec(b, x.data(), y.data(), n);
    double s = -0.0;
    for (std::size_t i = 0; i < n; ++i) s += y[i] * y[i];
    if (s == 0.0) return s;
    const double r = std::sqrt(s);
    for (std::size_t i = 0; i < n; ++i) y[i] /= r;
    double d2 = -0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double e = x[i] - y[i];
        d2 += e * e;
    }
    d = std::sqrt(d2);
    return s;
}

// One run of the power iteration x <- Bx / |Bx| on the column-major block b,
// from x = 1/n, until the step length d = |x_new - x_old| is below tol or
// max_iter steps are done (at least one). Returns true when it converged or
// stopped at a zero vector (which it then returns).
//
// Each step depends only on the state, so a run whose state repeats exactly
// (a fixed point under tol = 0, the alternation of a bipartite graph, any
// cycle) never converges: once Brent's cycle search finds the period, the
// run skips whole periods and does only the steps that remain up to
// max_iter. A state that turns NaN stays NaN. Both give the state of step
// max_iter without looping up to an absurd max_iter.
bool power_iteration(const double* b, std::size_t n, std::uint64_t max_iter, double tol,
                     std::vector<double>& x) {
    x.assign(n, 1.0 / static_cast<double>(n));
    std::vector<double> y(n), saved(n);
    std::uint64_t power = 1, period = 0;
    bool have_saved = false;
    InterruptPoll poll;
    const std::uint64_t step_work = static_cast<std::uint64_t>(n) * n;
    for (std::uint64_t t = 1;; ++t) {
        poll(step_work);
        double d = 0.0;
        const double s = power_step(b, n, x, y, d);
        if (s == 0.0) {
            x.assign(n, 0.0);
            return true;
        }
        x.swap(y);
        if (std::isnan(s)) {  // every element is NaN now and stays so
            x.assign(n, NaN);
            return false;
        }
        if (d < tol) return true;
        if (t >= max_iter) return false;
        ++period;
        if (have_saved && std::memcmp(saved.data(), x.data(), n * sizeof(double)) == 0) {
            // State t equals state t - period: every step of the cycle has
            // been seen and none converged.
            for (std::uint64_t left = (max_iter - t) % period; left > 0; --left) {
                poll(step_work);
                power_step(b, n, x, y, d);
                x.swap(y);
            }
            return false;
        }
        if (period == power) {
            saved = x;
            have_saved = true;
            power *= 2;
            period = 0;
        }
    }
}

// Power iteration on the weighted matrix; when it has not converged within
// max_iter steps (as on bipartite graphs, where it alternates between two
// states), it is run again on A + I, which has the same dominant eigenvector
// without the alternation.
Array1 eigenvector_centrality_py(MatrixView adjacency, std::uint64_t max_iter, double tol) {
    const std::size_t n = adjacency.rows;
    if (n == 0) return {};
    if (n == 1) return {{1.0}};
    require_square_block(adjacency);
    auto b = dense_block(adjacency, true);
    std::vector<double> x;
    if (!power_iteration(b.get(), n, max_iter, tol, x)) {
        for (std::size_t i = 0; i < n; ++i) b[i * n + i] += 1.0;
        power_iteration(b.get(), n, max_iter, tol, x);
    }
    return {std::move(x)};
}

// dst[j] = 1.0 where |row[j]| >= t, else 0.0, for j < n (contiguous row): a
// compare and a bit mask per element, no branch. A NaN entry or threshold
// fails the compare and gives 0.0.
NUVRA_MULTIVERSION
void threshold_row(const double* row, std::size_t n, double t, double* dst) {
    using simd::v4d;
    using simd::v4i;
    const v4i abs_mask = simd::bits(simd::splat(-0.0)) ^ v4i{-1, -1, -1, -1};
    const v4i one = simd::bits(simd::splat(1.0));
    const v4d tv = simd::splat(t);
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        const v4d a = simd::from_bits(simd::bits(simd::load(row + j)) & abs_mask);
        const v4d b = simd::from_bits(simd::bits(simd::load(row + j + 4)) & abs_mask);
        simd::store(dst + j, simd::from_bits((a >= tv) & one));
        simd::store(dst + j + 4, simd::from_bits((b >= tv) & one));
    }
    for (; j < n; ++j) dst[j] = std::fabs(row[j]) >= t ? 1.0 : 0.0;
}

// Written straight into the new array that NumPy owns; the diagonal is never
// read (a one-row matrix may have no column at all).
OwnedArray2 adjacency_from_correlation_py(MatrixView correlation_matrix, double threshold) {
    const std::size_t n = correlation_matrix.rows;
    if (n >= 2) require_square_block(correlation_matrix);
    OwnedArray2 out(n, n);
    if (n < 2) {
        std::fill_n(out.data(), n, 0.0);
        return out;
    }
    InterruptPoll poll;
    const MatrixView& c = correlation_matrix;
    for (std::size_t i = 0; i < n; ++i) {
        const double* row = c.data + static_cast<std::ptrdiff_t>(i) * c.s0;
        double* dst = out.row(i);
        if (c.s1 == 1) {
            threshold_row(row, n, threshold, dst);
        } else {
            for (std::size_t j = 0; j < n; ++j)
                dst[j] = std::fabs(row[static_cast<std::ptrdiff_t>(j) * c.s1]) >= threshold ? 1.0 : 0.0;
        }
        dst[i] = 0.0;
        poll(n);
    }
    return out;
}

// ------------------------------------------------------------- communities

// Labels renumbered 0, 1, ... in increasing order of the label.
Array1 renumber(const std::vector<std::uint32_t>& label) {
    const std::size_t n = label.size();
    std::vector<std::uint32_t> rank(n, 0);
    for (std::uint32_t l : label) rank[l] = 1;
    std::uint32_t next = 0;
    for (std::size_t l = 0; l < n; ++l)
        if (rank[l]) rank[l] = next++;
    std::vector<double> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(rank[label[i]]);
    return {std::move(out)};
}

// Strengths k_i of rows [i0, i1) (each its row's sum in column order from
// -0.0), and the running total over those rows' entries continued from
// `total`.
[[gnu::noinline]] double add_strengths(const MatrixView& adjacency, std::size_t i0, std::size_t i1,
                                       double* k, double total) {
    const std::size_t n = adjacency.rows;
    for (std::size_t i = i0; i < i1; ++i) {
        double ki = -0.0;
        for_each_nonzero(adjacency, i, n, [&](std::size_t, double v) {
            ki += v;
            total += v;
        });
        k[i] = ki;
    }
    return total;
}

// Every sum here (strengths, total weight, the within-community weights
// L_c and strengths D_c) runs in its stated order over the nonzero entries
// only: a zero term could change nothing but the sign of a zero sum, which
// does not reach the result.
double modularity_py(MatrixView adjacency, SignalView communities, double resolution) {
    const std::size_t n = adjacency.rows;
    if (n == 0) return NaN;
    require_square_block(adjacency);
    std::vector<double> k(n);
    double total = -0.0;
    InterruptPoll poll;
    constexpr std::size_t kRows = 64;
    for (std::size_t i0 = 0; i0 < n; i0 += kRows) {
        poll(kRows * n);
        total = add_strengths(adjacency, i0, std::min(n, i0 + kRows), k.data(), total);
    }
    const double m = total * 0.5;
    if (m == 0.0) return 0.0;
    const std::size_t len = communities.size();
    if (len == 0) return 0.0;
    std::vector<std::int64_t> labels(len);
    for (std::size_t i = 0; i < len; ++i) labels[i] = to_i64_sat(communities[i]);
    if (len < n) panic("ndarray: index out of bounds");
    // Position of each node's label among the distinct labels, ascending.
    std::vector<std::uint32_t> idx(n);
    {
        std::vector<std::int64_t> head(labels.begin(), labels.begin() + static_cast<std::ptrdiff_t>(n));
        std::sort(labels.begin(), labels.end());
        labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
        for (std::size_t i = 0; i < n; ++i)
            idx[i] = static_cast<std::uint32_t>(std::lower_bound(labels.begin(), labels.end(), head[i]) - labels.begin());
    }
    std::vector<double> lsum(labels.size(), -0.0), dsum(labels.size(), -0.0);
    for (std::size_t i = 0; i < n; ++i) {
        poll(n);
        const std::uint32_t li = idx[i];
        dsum[li] += k[i];
        double l = lsum[li];
        for_each_nonzero(adjacency, i, n, [&](std::size_t j, double v) {
            if (idx[j] == li) l += v;
        });
        lsum[li] = l;
    }
    const double two_m = m + m;
    double q = 0.0;
    for (std::size_t c = 0; c < labels.size(); ++c) {
        const double share = dsum[c] / two_m;
        q += lsum[c] / two_m - resolution * (share * share);
    }
    return q;
}

// Local moving of single nodes (no aggregation). For node i, the weights
// towards each neighbouring label are accumulated in one pass over the
// nonzero entries of row i (every label's sum in increasing node order; a
// zero entry could only change the sign of a zero sum, which no gain
// comparison can see). Each label's total strength is kept as its ordered
// sum over its members, recomputed when a member joins or leaves.
Array1 louvain_py(MatrixView adjacency, double resolution) {
    const std::size_t n = adjacency.rows;
    if (n == 0) return {};
    require_square_block(adjacency);
    if (n > std::numeric_limits<std::uint32_t>::max()) panic_capacity_overflow();
    std::vector<std::uint32_t> label(n);
    for (std::size_t i = 0; i < n; ++i) label[i] = static_cast<std::uint32_t>(i);
    // Strengths, the total weight (one sum over all entries row by row) and
    // the nonzero off-diagonal entries of each row.
    std::vector<double> k(n);
    std::vector<std::size_t> off(n + 1, 0);
    std::vector<std::uint32_t> col;
    std::vector<double> val;
    double total = -0.0;
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        poll(n);
        const double* row = adjacency.data + static_cast<std::ptrdiff_t>(i) * adjacency.s0;
        double ki = -0.0;
        for (std::size_t j = 0; j < n; ++j) {
            const double v = row[static_cast<std::ptrdiff_t>(j) * adjacency.s1];
            ki += v;
            total += v;
            if (v != 0.0 && j != i) {  // NaN included
                col.push_back(static_cast<std::uint32_t>(j));
                val.push_back(v);
            }
        }
        k[i] = ki;
        off[i + 1] = col.size();
    }
    const double m = total * 0.5;
    if (m == 0.0) return renumber(label);
    const double two_m2 = m * (m + m);
    std::vector<std::vector<std::uint32_t>> members(n);
    std::vector<double> tot(n);
    for (std::size_t i = 0; i < n; ++i) {
        members[i].assign(1, static_cast<std::uint32_t>(i));
        tot[i] = -0.0 + k[i];
    }
    auto ordered_total = [&](std::uint32_t c) {
        double t = -0.0;
        for (const std::uint32_t j : members[c]) t += k[j];
        tot[c] = t;
    };
    std::vector<double> wsum(n, -0.0);
    std::vector<char> seen(n, 0);
    std::vector<std::uint32_t> candidates, touched;
    for (int pass = 0; pass < 100; ++pass) {
        bool changed = false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t ci = label[i];
            poll(off[i + 1] - off[i] + members[ci].size() + 1);
            candidates.clear();
            touched.clear();
            for (std::size_t e = off[i]; e < off[i + 1]; ++e) {
                const std::uint32_t lj = label[col[e]];
                if (!seen[lj]) {
                    seen[lj] = 1;
                    touched.push_back(lj);
                }
                wsum[lj] += val[e];
                if (val[e] > 0.0 && lj != ci && seen[lj] == 1) {
                    seen[lj] = 2;
                    candidates.push_back(lj);
                }
            }
            if (!candidates.empty()) {
                const double w_own = wsum[ci];
                double t_own = -0.0;
                for (const std::uint32_t j : members[ci])
                    if (j != i) t_own += k[j];
                const double scale = resolution * k[i];
                std::uint32_t best = ci;
                double best_gain = 0.0;
                for (const std::uint32_t c : candidates) {
                    const double gain = (wsum[c] - w_own) / m - (tot[c] - t_own) * scale / two_m2;
                    if (gain > best_gain) {
                        best_gain = gain;
                        best = c;
                    }
                }
                if (best != ci) {
                    poll(members[ci].size() + members[best].size());
                    const std::uint32_t node = static_cast<std::uint32_t>(i);
                    auto& from = members[ci];
                    from.erase(std::lower_bound(from.begin(), from.end(), node));
                    auto& to = members[best];
                    to.insert(std::lower_bound(to.begin(), to.end(), node), node);
                    ordered_total(ci);
                    ordered_total(best);
                    label[i] = best;
                    changed = true;
                }
            }
            for (const std::uint32_t l : touched) {
                wsum[l] = -0.0;
                seen[l] = 0;
            }
        }
        if (!changed) break;
    }
    return renumber(label);
}

// Weighted majority vote of the labels on each node's positive entries (its
// own diagonal included); ties go to the smallest label.
Array1 label_propagation_py(MatrixView adjacency) {
    const std::size_t n = adjacency.rows;
    if (n == 0) return {};
    require_square_block(adjacency);
    if (n > std::numeric_limits<std::uint32_t>::max()) panic_capacity_overflow();
    // Positive entries of each row, in increasing column order.
    std::vector<std::size_t> off(n + 1, 0);
    std::vector<std::uint32_t> col;
    std::vector<double> val;
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        poll(n);
        const double* row = adjacency.data + static_cast<std::ptrdiff_t>(i) * adjacency.s0;
        for_each_edge(adjacency, i, n, [&](std::size_t j) {
            col.push_back(static_cast<std::uint32_t>(j));
            val.push_back(row[static_cast<std::ptrdiff_t>(j) * adjacency.s1]);
        });
        off[i + 1] = col.size();
    }
    std::vector<std::uint32_t> label(n);
    for (std::size_t i = 0; i < n; ++i) label[i] = static_cast<std::uint32_t>(i);
    std::vector<double> weight(n, 0.0);
    std::vector<char> seen(n, 0);
    std::vector<std::uint32_t> voted;
    for (int pass = 0; pass < 100; ++pass) {
        bool changed = false;
        for (std::size_t i = 0; i < n; ++i) {
            poll(off[i + 1] - off[i] + 1);
            if (off[i] == off[i + 1]) continue;
            voted.clear();
            for (std::size_t e = off[i]; e < off[i + 1]; ++e) {
                const std::uint32_t l = label[col[e]];
                if (!seen[l]) {
                    seen[l] = 1;
                    voted.push_back(l);
                }
                weight[l] += val[e];
            }
            double best = 0.0;
            for (const std::uint32_t l : voted) best = fmax_num(best, weight[l]);
            std::uint32_t choice = std::numeric_limits<std::uint32_t>::max();
            for (const std::uint32_t l : voted) {
                if (weight[l] == best && l < choice) choice = l;
                weight[l] = 0.0;
                seen[l] = 0;
            }
            if (choice != label[i]) {
                label[i] = choice;
                changed = true;
            }
        }
        if (!changed) break;
    }
    return renumber(label);
}

const PyMethodDef defs[] = {
    NUVRA_DEF(degree_centrality_py, "degree_centrality",
              "degree_centrality(adjacency)\n--\n\nDegree centrality.", "adjacency"),
    NUVRA_DEF(betweenness_centrality_py, "betweenness_centrality",
              "betweenness_centrality(adjacency)\n--\n\nBetweenness centrality (Brandes algorithm).",
              "adjacency"),
    NUVRA_DEF(closeness_centrality_py, "closeness_centrality",
              "closeness_centrality(adjacency)\n--\n\nCloseness centrality.", "adjacency"),
    NUVRA_DEF(eigenvector_centrality_py, "eigenvector_centrality",
              "eigenvector_centrality(adjacency, max_iter, tol)\n--\n\nEigenvector centrality (power iteration).",
              "adjacency", "max_iter", "tol"),
    NUVRA_DEF(clustering_coefficient_py, "clustering_coefficient",
              "clustering_coefficient(adjacency)\n--\n\nClustering coefficient.", "adjacency"),
    NUVRA_DEF(average_path_length_py, "average_path_length",
              "average_path_length(adjacency)\n--\n\nAverage shortest path length.", "adjacency"),
    NUVRA_DEF(density_py, "density", "density(adjacency)\n--\n\nGraph density.", "adjacency"),
    NUVRA_DEF(connected_components_py, "connected_components",
              "connected_components(adjacency)\n--\n\nConnected components.", "adjacency"),
    NUVRA_DEF(adjacency_from_correlation_py, "adjacency_from_correlation",
              "adjacency_from_correlation(correlation_matrix, threshold)\n--\n\nCreate adjacency from correlation matrix.",
              "correlation_matrix", "threshold"),
    NUVRA_DEF(modularity_py, "modularity",
              "modularity(adjacency, communities, resolution)\n--\n\nModularity of a community partition.",
              "adjacency", "communities", "resolution"),
    NUVRA_DEF(louvain_py, "louvain", "louvain(adjacency, resolution)\n--\n\nCommunity detection (Louvain).",
              "adjacency", "resolution"),
    NUVRA_DEF(label_propagation_py, "label_propagation",
              "label_propagation(adjacency)\n--\n\nLabel propagation community detection.", "adjacency"),
};

}  // namespace

namespace family {
FunctionTable network() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
