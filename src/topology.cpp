// Point clouds and persistence diagrams: the Euclidean distance matrix,
// zero-dimensional persistent homology (the merge heights of single-linkage
// clustering), and summaries and distances of (birth, death) diagrams.
//
// Every distance is the square root of the sum over the coordinates, in
// coordinate order from +0.0, of the squared differences; coordinates are
// used as given (no finite filter).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <tuple>
#include <vector>

#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/simd.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace nuvra {
namespace {

template <typename T>
std::unique_ptr<T[]> uninit(std::size_t n) {
    check_capacity(n, sizeof(T));
    return std::unique_ptr<T[]>(new T[n]);
}

// Coordinates of the chosen rows, one contiguous run per coordinate
// (column-major: coordinate c of point k at c * count + k).
std::unique_ptr<double[]> columns_of(const MatrixView& pts, const std::vector<std::size_t>* rows,
                                     std::size_t count) {
    const std::size_t d = pts.cols;
    std::uint64_t cells;
    if (mul_overflows(count, d, cells)) panic_capacity_overflow();
    auto out = uninit<double>(static_cast<std::size_t>(cells));
    InterruptPoll poll;
    for (std::size_t k = 0; k < count; ++k) {
        poll(d + 1);
        const std::size_t r = rows ? (*rows)[k] : k;
        const double* row = pts.data + static_cast<std::ptrdiff_t>(r) * pts.s0;
        for (std::size_t c = 0; c < d; ++c) out[c * count + k] = row[static_cast<std::ptrdiff_t>(c) * pts.s1];
    }
    return out;
}

// The hot loops below are built twice, for AVX2 and for baseline x86-64,
// and picked when the module loads (NUVRA_MULTIVERSION); both give the same
// results (no fused multiply-add, the same operations in the same order per
// element).

// Squared distances from the point with coordinates pu[0..d) to `len`
// points whose coordinate c is cols[c * stride + k], into out[0..len). Each
// sum runs over the coordinates in order (the first term is +0.0 plus
// itself, which is the term).
NUVRA_MULTIVERSION
void squared_distances(const double* cols, std::size_t stride, std::size_t d, const double* pu,
                       std::size_t len, double* out) {
    if (d == 0) {
        std::fill(out, out + len, 0.0);
        return;
    }
    {
        const double u0 = pu[0];
        for (std::size_t k = 0; k < len; ++k) {
            const double e = u0 - cols[k];
            out[k] = e * e;
        }
    }
    for (std::size_t c = 1; c < d; ++c) {
        const double* col = cols + c * stride;
        const double uc = pu[c];
        for (std::size_t k = 0; k < len; ++k) {
            const double e = uc - col[k];
            out[k] += e * e;
        }
    }
}

// Square roots in place (SSE2 sqrtpd is the correctly rounded square root,
// as sqrt is; written out because the library call for errno keeps the
// compiler from vectorising the loop).
void sqrt_in_place(double* v, std::size_t len) {
    std::size_t k = 0;
#if defined(__SSE2__)
    for (; k + 2 <= len; k += 2) _mm_storeu_pd(v + k, _mm_sqrt_pd(_mm_loadu_pd(v + k)));
#endif
    for (; k < len; ++k) v[k] = std::sqrt(v[k]);
}

// key[k] = NaN-last minimum of key[k] and dist[k]; returns the first
// position of the NaN-last smallest key (position 0 when all are NaN).
std::size_t relax_and_pick(double* key, const double* dist, std::size_t len) {
    double m = Inf;
    std::size_t k = 0;
#if defined(__SSE2__)
    __m128d vm = _mm_set1_pd(Inf);
    for (; k + 2 <= len; k += 2) {
        const __m128d kv = _mm_loadu_pd(key + k), dv = _mm_loadu_pd(dist + k);
        const __m128d take = _mm_or_pd(_mm_cmplt_pd(dv, kv), _mm_cmpunord_pd(kv, kv));
        const __m128d nk = _mm_or_pd(_mm_and_pd(take, dv), _mm_andnot_pd(take, kv));
        _mm_storeu_pd(key + k, nk);
        vm = _mm_min_pd(nk, vm);  // nk < vm ? nk : vm, so NaN keys are passed over
    }
    double lanes[2];
    _mm_storeu_pd(lanes, vm);
    m = lanes[0] < lanes[1] ? lanes[0] : lanes[1];
#endif
    for (; k < len; ++k) {
        const double kv = key[k], dv = dist[k];
        key[k] = (dv < kv || kv != kv) ? dv : kv;
        m = key[k] < m ? key[k] : m;
    }
    for (k = 0; k < len; ++k)
        if (key[k] == m) return k;
    return 0;
}

// ---------------------------------------------------------- distance matrix

Array2 pairwise_distance_matrix_py(MatrixView points) {
    const std::size_t n = points.rows, d = points.cols;
    std::uint64_t cells;
    if (mul_overflows(n, n, cells)) panic_capacity_overflow();
    check_capacity(cells);
    std::vector<double> out(static_cast<std::size_t>(cells));  // zeros: diagonal and d = 0
    if (n < 2 || d == 0) return {std::move(out), n, n};
    const auto x = columns_of(points, nullptr, n);
    // Upper triangle row by row, then mirrored in blocks.
    std::vector<double> pu(d);
    InterruptPoll poll;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        poll((n - i) * (d + 1));
        double* row = out.data() + i * n;
        for (std::size_t c = 0; c < d; ++c) pu[c] = x[c * n + i];
        squared_distances(x.get() + i + 1, n, d, pu.data(), n - i - 1, row + i + 1);
        sqrt_in_place(row + i + 1, n - i - 1);
    }
    constexpr std::size_t B = 32;
    for (std::size_t ib = 0; ib < n; ib += B) {
        const std::size_t ie = std::min(n, ib + B);
        poll(B * ie);
        for (std::size_t jb = 0; jb <= ib; jb += B) {
            const std::size_t je = std::min(n, jb + B);
            for (std::size_t i = ib; i < ie; ++i)
                for (std::size_t j = jb; j < std::min(je, i); ++j) out[i * n + j] = out[j * n + i];
        }
    }
    return {std::move(out), n, n};
}

// ----------------------------------------------------- persistent homology

// H0 persistence: every point is born at 0.0 and each merge of two
// components dies at the joining distance, so the deaths are the edge
// lengths of a minimum spanning tree in increasing order. Prim's algorithm
// finds them with O(P) memory instead of sorting all P(P-1)/2 pairs; the
// sorted lengths are the same for every minimum spanning tree. NaN distances
// order after every number (and +inf), so they come last.
Array2 persistent_homology_py(MatrixView points, Opt<std::uint64_t, 500> max_points) {
    const std::size_t n = points.rows, d = points.cols;
    const std::uint64_t mp = max_points;
    std::vector<std::size_t> chosen;
    std::size_t p = n;
    if (static_cast<std::uint64_t>(n) > mp) {
        p = static_cast<std::size_t>(mp);  // below n
        chosen.resize(p);
        const double stride = static_cast<double>(n) / static_cast<double>(mp);
        for (std::size_t k = 0; k < p; ++k)
            chosen[k] = std::min(static_cast<std::size_t>(to_u64_sat(stride * static_cast<double>(k))), n - 1);
    }
    if (p < 2) return {{}, 0, 2};
    const auto x = columns_of(points, chosen.empty() ? nullptr : &chosen, p);

    // Points not yet in the tree are kept packed at the front of `rest` (with
    // their coordinates in `xr`, column-major with stride p); key[k] is the
    // smallest squared distance from rest[k] to the tree, NaN-last.
    auto xr = uninit<double>(std::max<std::size_t>(1, p * std::max<std::size_t>(d, 1)));
    std::memcpy(xr.get(), x.get(), p * d * sizeof(double));
    auto rest = uninit<std::uint32_t>(p);
    auto key = uninit<double>(p);
    auto dist = uninit<double>(p);
    for (std::size_t k = 0; k < p; ++k) {
        rest[k] = static_cast<std::uint32_t>(k);
        key[k] = NaN;
    }
    std::vector<double> deaths;
    deaths.reserve(p - 1);
    // Start the tree with point 0 (at position 0 of rest).
    std::size_t u = 0;  // position in xr of the point just added
    std::size_t remaining = p;
    std::vector<double> ucoord(d);
    InterruptPoll poll;
    for (;;) {
        poll(remaining * (d + 2));
        // Remove position u from the packed set (swap with the last).
        const std::size_t last = remaining - 1;
        rest[u] = rest[last];
        key[u] = key[last];
        for (std::size_t c = 0; c < d; ++c) {
            ucoord[c] = xr[c * p + u];
            xr[c * p + u] = xr[c * p + last];
        }
        remaining = last;
        if (remaining == 0) break;
        // Distances from the added point to every remaining one.
        squared_distances(xr.get(), p, d, ucoord.data(), remaining, dist.get());
        const std::size_t best = relax_and_pick(key.get(), dist.get(), remaining);
        deaths.push_back(std::sqrt(key[best]));
        u = best;
    }
    std::stable_sort(deaths.begin(), deaths.end(), nan_last_less);
    std::vector<double> out(2 * deaths.size());
    for (std::size_t r = 0; r < deaths.size(); ++r) {
        out[2 * r] = 0.0;
        out[2 * r + 1] = deaths[r];
    }
    return {std::move(out), deaths.size(), 2};
}

// ------------------------------------------------------ persistence diagrams

// death - birth for every row in order whose death (column 1) is finite.
std::vector<double> persistences(const MatrixView& pairs) {
    std::vector<double> out;
    if (pairs.rows == 0) return out;
    if (pairs.cols < 2) panic("ndarray: index out of bounds");
    out.resize(pairs.rows);
    const double* births = pairs.data;
    const double* deaths = pairs.data + pairs.s1;
    std::size_t k = 0;
    for (std::size_t i = 0; i < pairs.rows; ++i) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(i) * pairs.s0;
        const double death = deaths[at];
        out[k] = death - births[at];
        k += std::isfinite(death);
    }
    out.resize(k);
    return out;
}

// Ascending sort of doubles that hold no NaN, by LSD radix on their bit
// patterns mapped to unsigned keys (-0.0 sorts just before +0.0, which no
// caller can tell apart). Small lists go to std::sort.
void sort_ascending(std::vector<double>& v) {
    const std::size_t n = v.size();
    if (n < 512 || n > 0xffffffffu) {
        std::sort(v.begin(), v.end());
        return;
    }
    constexpr int kBits = 11, kPasses = 6;
    constexpr std::size_t kBuckets = std::size_t{1} << kBits, kMask = kBuckets - 1;
    auto keys = uninit<std::uint64_t>(n);
    auto tmp = uninit<std::uint64_t>(n);
    std::vector<std::uint32_t> hist(kPasses * kBuckets, 0);
    InterruptPoll poll;
    poll(kPasses * n);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t u;
        std::memcpy(&u, &v[i], sizeof u);
        u ^= (u >> 63) ? ~std::uint64_t{0} : (std::uint64_t{1} << 63);
        keys[i] = u;
        for (int p = 0; p < kPasses; ++p) ++hist[p * kBuckets + ((u >> (p * kBits)) & kMask)];
    }
    std::uint64_t* src = keys.get();
    std::uint64_t* dst = tmp.get();
    for (int p = 0; p < kPasses; ++p) {
        std::uint32_t* h = hist.data() + p * kBuckets;
        const int shift = p * kBits;
        if (h[(src[0] >> shift) & kMask] == n) continue;  // one digit value only
        std::uint32_t sum = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::uint32_t c = h[b];
            h[b] = sum;
            sum += c;
        }
        poll(n);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t u = src[i];
            dst[h[(u >> shift) & kMask]++] = u;
        }
        std::swap(src, dst);
    }
    for (std::size_t i = 0; i < n; ++i) {
        std::uint64_t u = src[i];
        u ^= (u >> 63) ? (std::uint64_t{1} << 63) : ~std::uint64_t{0};
        std::memcpy(&v[i], &u, sizeof u);
    }
}

// The list in descending order with every NaN last.
void sort_descending_nan_last(std::vector<double>& v) {
    std::vector<double> numbers;
    numbers.reserve(v.size());
    for (double x : v)
        if (!std::isnan(x)) numbers.push_back(x);
    const std::size_t nans = v.size() - numbers.size();
    sort_ascending(numbers);
    std::reverse_copy(numbers.begin(), numbers.end(), v.begin());
    std::fill(v.end() - static_cast<std::ptrdiff_t>(nans), v.end(), NaN);
}

double wasserstein_distance_py(MatrixView pairs_a, MatrixView pairs_b) {
    std::vector<double> a = persistences(pairs_a);
    std::vector<double> b = persistences(pairs_b);
    sort_descending_nan_last(a);
    sort_descending_nan_last(b);
    const std::size_t len = std::max(a.size(), b.size());
    a.resize(len, 0.0);
    b.resize(len, 0.0);
    double sum = -0.0;
    for (std::size_t k = 0; k < len; ++k) sum += std::fabs(a[k] - b[k]);
    return sum;
}

std::tuple<double, double, double, double, std::uint64_t> persistence_statistics_py(
    MatrixView birth_death) {
    const std::vector<double> p = persistences(birth_death);
    const std::size_t c = p.size();
    if (c == 0) return {NaN, NaN, NaN, NaN, 0};
    const double cd = static_cast<double>(c);
    const double mean = sum_in_order(p) / cd;
    // minNum / maxNum folds: a NaN persistence never replaces the running
    // value (which starts at an infinity and so is never NaN).
    double lo = Inf, hi = -Inf, ss = -0.0;
    for (double v : p) {
        lo = (v < lo || (v == lo && std::signbit(v))) ? v : lo;
        hi = (v > hi || (v == hi && !std::signbit(v))) ? v : hi;
    }
    for (double v : p) {
        const double e = v - mean;
        ss += e * e;
    }
    return {mean, lo, hi, std::sqrt(ss / cd), static_cast<std::uint64_t>(c)};
}

const PyMethodDef defs[] = {
    NUVRA_DEF(pairwise_distance_matrix_py, "pairwise_distance_matrix",
              "pairwise_distance_matrix(points)\n--\n\n"
              "Pairwise Euclidean distance matrix from an (n_points, n_dims) point cloud.\n\n"
              "Returns an (n_points, n_points) symmetric distance matrix.",
              "points"),
    NUVRA_DEF(persistent_homology_py, "persistent_homology",
              "persistent_homology(points, max_points=500)\n--\n\n"
              "H0 persistent homology via union-find on sorted edges (single-linkage).\n\n"
              "Takes (n_points, n_dims) point cloud.\n"
              "Returns (n_points - 1, 2) array of (birth, death) pairs.\n"
              "Birth is always 0.0, death is the edge distance when two components merge.\n"
              "If n_points > max_points, subsamples deterministically.",
              "points", "max_points"),
    NUVRA_DEF(persistence_statistics_py, "persistence_statistics",
              "persistence_statistics(birth_death)\n--\n\n"
              "Summary statistics of persistence pairs.\n\n"
              "Takes (n_pairs, 2) array of (birth, death) pairs.\n"
              "Returns (mean_persistence, min_persistence, max_persistence, std_persistence, count).\n"
              "Only considers finite pairs (where death is finite).",
              "birth_death"),
    NUVRA_DEF(wasserstein_distance_py, "wasserstein_distance",
              "wasserstein_distance(pairs_a, pairs_b)\n--\n\n"
              "1-Wasserstein distance between two persistence diagrams.\n\n"
              "Takes two (n, 2) arrays of persistence pairs.\n"
              "Filters to finite pairs, sorts by persistence descending,\n"
              "pads the shorter with zeros, and sums absolute differences.",
              "pairs_a", "pairs_b"),
};

}  // namespace

namespace family {
FunctionTable topology() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
