// Spectra of one real signal: the Welch power spectral density and the shape
// features built on it, the magnitude spectrum, harmonics, a moving-average
// signal-to-noise estimate and the Hilbert transform.
//
// Every function works on the finite samples of its signal (NaN and +-inf
// dropped, the rest taken as adjacent). Transforms run on FFTW3: r2c for the
// one-sided spectrum, an in-place c2c for the inverse of the Hilbert method.
// Sums over bins run in index order.
#include <fftw3.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <tuple>
#include <vector>

#include "module_frame/buffers.hpp"
#include "module_frame/families.hpp"
#include "module_frame/interrupt.hpp"
#include "module_frame/samples.hpp"
#include "module_frame/simd.hpp"

namespace nuvra {
namespace {

// ------------------------------------------------------------------ FFTW plumbing

// Transform buffers come from fftw_malloc, so that every buffer a plan runs
// on has the alignment the plan was made for. Large ones are recycled: a
// freed buffer is kept (kScratchHeld bytes in all, the oldest given back
// first) and handed out again for a buffer of nearly the same size, so that
// repeated calls on long signals reuse memory the process already has instead
// of faulting in fresh pages on every call.
class ScratchPool {
public:
    struct Block {
        void* p = nullptr;
        std::size_t bytes = 0;
    };

    ScratchPool() { held_.reserve(kMaxHeldBlocks); }

    Block take(std::size_t bytes) {
        if (bytes >= kMinPooled) {
            std::lock_guard<std::mutex> guard(mutex_);
            auto best = held_.end();
            for (auto it = held_.begin(); it != held_.end(); ++it)
                if (it->bytes >= bytes && it->bytes - bytes <= bytes / 4 &&
                    (best == held_.end() || it->bytes < best->bytes))
                    best = it;
            if (best != held_.end()) {
                const Block b = *best;
                held_.erase(best);
                held_bytes_ -= b.bytes;
                return b;
            }
        }
        void* p = fftw_malloc(bytes);
        if (!p) throw std::bad_alloc();
        return {p, bytes};
    }

    void give(Block b) noexcept {
        if (b.bytes >= kMinPooled && b.bytes <= kScratchHeld) {
            std::lock_guard<std::mutex> guard(mutex_);
            while (!held_.empty() && (held_bytes_ + b.bytes > kScratchHeld || held_.size() == kMaxHeldBlocks)) {
                held_bytes_ -= held_.front().bytes;
                fftw_free(held_.front().p);
                held_.erase(held_.begin());
            }
            held_.push_back(b);  // within the reserved capacity: no allocation
            held_bytes_ += b.bytes;
            return;
        }
        fftw_free(b.p);
    }

private:
    static constexpr std::size_t kMinPooled = std::size_t{1} << 16;
    static constexpr std::size_t kScratchHeld = std::size_t{48} << 20;
    static constexpr std::size_t kMaxHeldBlocks = 16;
    std::mutex mutex_;
    std::vector<Block> held_;  // oldest first; reserved up front, so pushing never allocates
    std::size_t held_bytes_ = 0;
};

ScratchPool& scratch_pool() {
    static ScratchPool* pool = new ScratchPool;  // lives as long as the process
    return *pool;
}

// n elements of T (at least one) in a transform buffer, not initialised.
template <typename T>
class Scratch {
public:
    explicit Scratch(std::size_t n) {
        check_capacity(n, sizeof(T));
        block_ = scratch_pool().take(std::max<std::size_t>(n, 1) * sizeof(T));
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { scratch_pool().give(block_); }
    T* get() const { return static_cast<T*>(block_.p); }
    T& operator[](std::size_t i) const { return get()[i]; }

private:
    ScratchPool::Block block_;
};

enum class PlanKind { forward_r2c, inverse_c2c_in_place };

// Plans are expensive to make (FFTW computes its twiddle factors when it
// plans, several times the cost of one transform), so a few recent plans are
// kept and reused; every transform runs through the new-array interface on
// buffers with the alignment of those it was planned on. What the process
// keeps is bounded whatever the number of distinct lengths it sees: at most
// kMaxPlans plans of at most kMaxCachedLength points each and
// kMaxCachedPoints in all (longer plans are destroyed after their call), and
// the planner's wisdom is forgotten every kForgetEvery plans made. A length
// seen for the first time pays for its plan (milliseconds for long or prime
// lengths).
// Transforms are deterministic: a plan made again for the same length and
// alignment computes the same bits.
class PlanCache {
public:
    using Plan = std::shared_ptr<fftw_plan_s>;

    // A plan of `kind` and length n for these buffers (in: n reals and out:
    // n/2 + 1 bins for r2c; io: n bins for the in-place inverse).
    Plan get(PlanKind kind, std::size_t n, double* in, fftw_complex* io) {
        std::vector<Plan> evicted;  // destroyed after the lock is released
        std::lock_guard<std::recursive_mutex> guard(mutex_);
        ++clock_;
        for (Entry& e : entries_) {
            if (e.kind == kind && e.n == n) {
                e.used = clock_;
                return e.plan;
            }
        }
        static const bool thread_safe = (fftw_make_planner_thread_safe(), true);
        (void)thread_safe;
        fftw_iodim64 dim{static_cast<std::ptrdiff_t>(n), 1, 1};
        fftw_plan raw = kind == PlanKind::forward_r2c
                            ? fftw_plan_guru64_dft_r2c(1, &dim, 0, nullptr, in, io, FFTW_ESTIMATE)
                            : fftw_plan_guru64_dft(1, &dim, 0, nullptr, io, io, FFTW_BACKWARD,
                                                   FFTW_ESTIMATE);
        if (!raw) panic("FFTW could not plan a transform of length " + std::to_string(n));
        Plan plan(raw, [this](fftw_plan p) { destroy(p); });
        if (++made_since_forget_ >= kForgetEvery) {
            fftw_forget_wisdom();
            made_since_forget_ = 0;
        }
        if (n <= kMaxCachedLength) {
            // Least recently used plans make room, by count and by points.
            while (!entries_.empty() &&
                   (entries_.size() == kMaxPlans || cached_points_ + n > kMaxCachedPoints)) {
                auto oldest = std::min_element(entries_.begin(), entries_.end(),
                                               [](const Entry& a, const Entry& b) { return a.used < b.used; });
                cached_points_ -= oldest->n;
                evicted.push_back(std::move(oldest->plan));
                entries_.erase(oldest);
            }
            entries_.push_back({kind, n, plan, clock_});
            cached_points_ += n;
        }
        return plan;
    }

private:
    static constexpr std::size_t kMaxPlans = 16;
    static constexpr std::size_t kMaxCachedLength = std::size_t{1} << 21;
    static constexpr std::size_t kMaxCachedPoints = std::size_t{1} << 22;
    static constexpr unsigned kForgetEvery = 64;

    struct Entry {
        PlanKind kind;
        std::size_t n;
        Plan plan;
        std::uint64_t used;
    };

    void destroy(fftw_plan p) {
        std::lock_guard<std::recursive_mutex> guard(mutex_);
        fftw_destroy_plan(p);
    }

    std::recursive_mutex mutex_;
    std::vector<Entry> entries_;
    std::uint64_t clock_ = 0;
    std::size_t cached_points_ = 0;
    unsigned made_since_forget_ = 0;
};

PlanCache& plans() {
    static PlanCache* cache = new PlanCache;  // lives as long as the process
    return *cache;
}

// One-sided transform of n >= 1 reals: n/2 + 1 bins, unscaled, written to
// `out` (a transform buffer of at least n/2 + 1 bins). Plans are made on
// transform buffers; the signal is read in place when its alignment is
// theirs (an out-of-place r2c plan leaves its input untouched), else it is
// copied into one first. Either way the same plan runs, so the bits are the
// same.
void rfft_into(std::span<const double> x, fftw_complex* out) {
    const std::size_t n = x.size();
    Scratch<double> staging(fftw_alignment_of(const_cast<double*>(x.data())) == 0 ? 0 : n);
    const PlanCache::Plan plan = plans().get(PlanKind::forward_r2c, n, staging.get(), out);
    double* in = const_cast<double*>(x.data());
    if (fftw_alignment_of(in) != 0) {
        std::copy(x.begin(), x.end(), staging.get());
        in = staging.get();
    }
    fftw_execute_dft_r2c(plan.get(), in, out);
}

// The one-sided transform of segments of L reals, one after another, on one
// plan and one pair of buffers.
class RealTransform {
public:
    explicit RealTransform(std::size_t n)
        : in_(n), out_(n / 2 + 1),
          plan_(plans().get(PlanKind::forward_r2c, n, in_.get(), out_.get())) {}
    double* input() { return in_.get(); }
    const fftw_complex* bins() const { return out_.get(); }
    void run() { fftw_execute_dft_r2c(plan_.get(), in_.get(), out_.get()); }

private:
    Scratch<double> in_;
    Scratch<fftw_complex> out_;
    PlanCache::Plan plan_;
};

inline double power(const fftw_complex& z) { return z[0] * z[0] + z[1] * z[1]; }

// ------------------------------------------------------------------ vector kernels

// Four-lane vectors for the elementwise loops; every lane computes exactly
// what the scalar expression does.
using simd::v4d;
using simd::v4i;

// out[i] = a[i] * b[i].
NUVRA_MULTIVERSION
void multiply_into(const double* a, const double* b, double* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) simd::store(out + i, simd::load(a + i) * simd::load(b + i));
    for (; i < n; ++i) out[i] = a[i] * b[i];
}

// The powers re^2 + im^2 of four interleaved bins.
inline v4d power4(const double* z) {
    const v4d a = simd::load(z), b = simd::load(z + 4);
    const v4d sa = a * a, sb = b * b;
    return __builtin_shuffle(sa, sb, v4i{0, 2, 4, 6}) + __builtin_shuffle(sa, sb, v4i{1, 3, 5, 7});
}

// acc[k] += |X_k|^2 for k in [0, bins).
NUVRA_MULTIVERSION
void add_powers(const fftw_complex* X, double* acc, std::size_t bins) {
    const double* z = X[0];
    std::size_t k = 0;
    for (; k + 4 <= bins; k += 4) simd::store(acc + k, simd::load(acc + k) + power4(z + 2 * k));
    for (; k < bins; ++k) acc[k] += z[2 * k] * z[2 * k] + z[2 * k + 1] * z[2 * k + 1];
}

// f[k] = (fs * k) / len for k in [0, bins).
NUVRA_MULTIVERSION
void fill_frequencies(double fs, double len, double* f, std::size_t bins) {
    const v4d vfs = {fs, fs, fs, fs}, vlen = {len, len, len, len}, four = {4.0, 4.0, 4.0, 4.0};
    v4d kv = {0.0, 1.0, 2.0, 3.0};
    std::size_t k = 0;
    for (; k + 4 <= bins; k += 4, kv += four) simd::store(f + k, (vfs * kv) / vlen);
    for (; k < bins; ++k) f[k] = (fs * static_cast<double>(k)) / len;
}

// ------------------------------------------------------------------ Welch

struct Spectrum {
    std::vector<double> f, p;
    std::size_t size() const { return p.size(); }
};

// Welch estimate with a symmetric Hann window of L points (1 <= L <= n),
// segments starting every L - overlap samples (overlap < L), unscaled
// periodograms averaged and scaled by 2 / (fs * sum w^2) in every bin.
Spectrum psd_welch(std::span<const double> x, std::size_t L, std::size_t overlap, double fs) {
    const std::size_t n = x.size();
    const std::size_t bins = L / 2 + 1;
    std::vector<double> w(L);
    const double denom = static_cast<double>(L - 1);
    double window_power = -0.0;
    for (std::size_t i = 0; i < L; ++i) {
        const double theta = (static_cast<double>(i) * 6.283185307179586) / denom;
        w[i] = (1.0 - std::cos(theta)) * 0.5;
        window_power += w[i] * w[i];
    }

    RealTransform fft(L);
    std::vector<double> acc(bins, 0.0);
    const std::size_t step = L - overlap;
    std::uint64_t segments = 0;
    std::size_t s = 0;
    double* seg = fft.input();
    const fftw_complex* X = fft.bins();
    // A transform of L points is about L log2 L steps.
    const std::uint64_t segment_work = static_cast<std::uint64_t>(L) * (std::bit_width(L) + 1);
    InterruptPoll poll;
    do {
        poll(segment_work);
        const double* xs = x.data() + s;
        multiply_into(xs, w.data(), seg, L);
        fft.run();
        add_powers(X, acc.data(), bins);
        ++segments;
        s += step;
    } while (s + L <= n);

    Spectrum out;
    out.f.resize(bins);
    out.p.resize(bins);
    const double scale = 2.0 / (fs * window_power);
    const double count = static_cast<double>(segments);
    const double len = static_cast<double>(L);
    for (std::size_t k = 0; k < bins; ++k) out.p[k] = (acc[k] / count) * scale;
    fill_frequencies(fs, len, out.f.data(), bins);
    return out;
}

std::tuple<Array1, Array1> power_spectral_density_py(SignalView signal, double fs,
                                                     std::uint64_t nperseg, std::int64_t noverlap) {
    const FiniteSamples finite(signal);
    const std::span<const double> x = finite.span();
    const std::size_t m = x.size();
    if (m < 2) return {Array1{}, Array1{}};
    if (nperseg == 0) panic("range end index 1 out of range for slice of length 0");
    // A signal shorter than nperseg is one segment of its own length, whatever
    // the overlap; otherwise an explicit overlap must leave a positive step.
    const bool short_signal = static_cast<std::uint64_t>(m) < nperseg;
    const std::size_t L = short_signal ? m : static_cast<std::size_t>(nperseg);
    std::size_t overlap;
    if (noverlap < 0) {
        overlap = L / 2;
    } else if (short_signal) {
        overlap = 0;  // the one segment covers the signal; the step is never taken
    } else {
        if (static_cast<std::uint64_t>(noverlap) >= nperseg)
            raise_value_error("noverlap must be less than nperseg");
        overlap = static_cast<std::size_t>(noverlap);
    }
    Spectrum sp = psd_welch(x, L, overlap, fs);
    return {Array1{std::move(sp.f)}, Array1{std::move(sp.p)}};
}

// ------------------------------------------------------------------ shape features

// The Welch spectrum the features share: segments of at most 256 samples with
// half-segment overlap. None below three finite samples: with two, the
// symmetric Hann window is all zeros and the spectrum holds no information.
std::optional<Spectrum> feature_spectrum(const SignalView& signal, double fs) {
    const FiniteSamples finite(signal);
    const std::span<const double> x = finite.span();
    if (x.size() < 3) return std::nullopt;
    const std::size_t L = std::min<std::size_t>(x.size(), 256);
    return psd_welch(x, L, L / 2, fs);
}

double total_power(const Spectrum& sp) { return sum_in_order(sp.p); }

double weighted_frequency_sum(const Spectrum& sp) {
    double s = -0.0;
    for (std::size_t k = 0; k < sp.size(); ++k) s += sp.f[k] * sp.p[k];
    return s;
}

// Integer power by square-and-multiply over the full 64-bit exponent.
double powi(double base, std::uint64_t e) {
    double r = 1.0;
    for (;;) {
        if (e & 1) r *= base;
        e >>= 1;
        if (e == 0) break;
        base *= base;
    }
    return r;
}

double spectral_centroid_py(SignalView signal, double fs) {
    const auto sp = feature_spectrum(signal, fs);
    if (!sp) return NaN;
    const double total = total_power(*sp);
    if (total == 0.0) return NaN;
    return weighted_frequency_sum(*sp) / total;
}

double spectral_bandwidth_py(SignalView signal, double fs, std::uint64_t p) {
    const auto sp = feature_spectrum(signal, fs);
    if (!sp) return NaN;
    const double total = total_power(*sp);
    if (total == 0.0) return NaN;
    const double c = weighted_frequency_sum(*sp) / total;
    double s = -0.0;
    for (std::size_t k = 0; k < sp->size(); ++k) s += sp->p[k] * powi(std::fabs(sp->f[k] - c), p);
    return std::pow(s / total, 1.0 / static_cast<double>(p));
}

double spectral_rolloff_py(SignalView signal, double fs, double threshold) {
    const auto sp = feature_spectrum(signal, fs);
    if (!sp) return NaN;
    const double total = total_power(*sp);
    if (total == 0.0) return NaN;
    const double target = threshold * total;
    double s = 0.0;
    for (std::size_t k = 0; k < sp->size(); ++k) {
        s = s + sp->p[k];
        if (s >= target) return sp->f[k];
    }
    return sp->f.back();
}

// Entropy in bits of the normalised densities; NaN when no density is
// positive or the total is zero or NaN (no distribution to measure).
double spectral_entropy_py(SignalView signal, double fs, bool normalize) {
    const auto sp = feature_spectrum(signal, fs);
    if (!sp) return NaN;
    const double total = total_power(*sp);
    if (total == 0.0 || std::isnan(total)) return NaN;
    double h = 0.0;
    bool any_positive = false;
    for (double pk : sp->p) {
        if (!(pk > 0.0)) continue;
        any_positive = true;
        const double q = pk / total;
        h = h - q * std::log2(q);
    }
    if (!any_positive) return NaN;
    if (normalize) {
        const double d = std::log2(static_cast<double>(sp->size()));
        if (d > 0.0) h = h / d;
    }
    return h;
}

double spectral_flatness_py(SignalView signal, double fs) {
    const auto sp = feature_spectrum(signal, fs);
    if (!sp) return NaN;
    double sum = -0.0, log_sum = -0.0;
    std::size_t count = 0;
    for (double pk : sp->p) {
        if (!(pk > 0.0)) continue;
        sum += pk;
        log_sum += std::log(pk);
        ++count;
    }
    if (count == 0) return NaN;
    const double c = static_cast<double>(count);
    const double arithmetic = sum / c;
    if (arithmetic == 0.0) return NaN;
    return std::exp(log_sum / c) / arithmetic;
}

[[noreturn]] void unordered_comparison() {
    panic("called `Option::unwrap()` on a `None` value");
}

// Index of the largest density among bins first .. K-1, the last of equal
// maxima; a NaN density cannot be ordered and ends the call.
std::size_t last_argmax(const std::vector<double>& p, std::size_t first) {
    std::size_t best = first;
    for (std::size_t k = first + 1; k < p.size(); ++k) {
        if (std::isnan(p[best]) || std::isnan(p[k])) unordered_comparison();
        if (p[best] <= p[k]) best = k;
    }
    return best;
}

double dominant_frequency_py(SignalView signal, double fs) {
    const auto sp = feature_spectrum(signal, fs);
    if (!sp) return NaN;
    if (std::all_of(sp->p.begin(), sp->p.end(), [](double v) { return v == 0.0; })) return NaN;
    return sp->f[last_argmax(sp->p, 0)];
}

double spectral_slope_py(SignalView signal, double fs) {
    const FiniteSamples finite(signal);
    const std::span<const double> x = finite.span();
    const std::size_t m = x.size();
    if (m < 4) return NaN;
    const double mean = sum_in_order(x) / static_cast<double>(m);
    RealTransform fft(m);
    double* in = fft.input();
    for (std::size_t i = 0; i < m; ++i) in[i] = x[i] - mean;
    fft.run();
    const fftw_complex* X = fft.bins();
    const std::size_t half = m / 2;
    std::vector<double> w(half);
    double total = -0.0;
    for (std::size_t k = 1; k <= half; ++k) {
        w[k - 1] = power(X[k]);
        total += w[k - 1];
    }
    if (total < 1e-30) return NaN;
    const double len = static_cast<double>(m);
    double sa = -0.0, sb = -0.0, sab = -0.0, saa = -0.0;
    for (std::size_t k = 1; k <= half; ++k) {
        const double a = std::log((fs * static_cast<double>(k)) / len + 1e-30);
        const double b = std::log(w[k - 1] + 1e-30);
        sa += a;
        sb += b;
        sab += a * b;
        saa += a * a;
    }
    const double n = static_cast<double>(half);
    const double d = saa * n - sa * sa;
    if (std::fabs(d) < 1e-15) return NaN;
    return (sab * n - sa * sb) / d;
}

// ------------------------------------------------------------------ magnitude, harmonics, SNR

// |z| as sqrt(re^2 + im^2), except where the squares overflow or underflow:
// there the scaled form gives the magnitude instead of +inf or 0.
inline double magnitude(const fftw_complex& z) {
    const double s = power(z);
    if (s < 1.0e300 && s > 1.0e-300) return std::sqrt(s);
    return std::hypot(z[0], z[1]);
}

// a[k] = (|X_k| + |X_k|) / len for k in [0, bins). The square roots run four
// at a time; bins whose squares leave the normal range are redone one by one
// in the scaled form afterwards.
NUVRA_MULTIVERSION
void magnitudes_into(const fftw_complex* X, double len, double* a, std::size_t bins) {
    const double* z = X[0];
    const v4d lo = simd::splat(1.0e-300), hi = simd::splat(1.0e300), vlen = simd::splat(len);
    v4i outside = {0, 0, 0, 0};
    std::size_t k = 0;
    for (; k + 4 <= bins; k += 4) {
        const v4d s = power4(z + 2 * k);
        outside |= ~((s < hi) & (s > lo));
        const v4d m = {std::sqrt(s[0]), std::sqrt(s[1]), std::sqrt(s[2]), std::sqrt(s[3])};
        simd::store(a + k, (m + m) / vlen);
    }
    bool redo = (outside[0] | outside[1] | outside[2] | outside[3]) != 0;
    for (; k < bins; ++k) {
        const double mag = magnitude(X[k]);
        a[k] = (mag + mag) / len;
    }
    if (!redo) return;
    for (k = 0; k < (bins & ~std::size_t{3}); ++k) {
        const double s = power(X[k]);
        if (s < 1.0e300 && s > 1.0e-300) continue;
        const double mag = magnitude(X[k]);
        a[k] = (mag + mag) / len;
    }
}

std::tuple<UninitArray1, UninitArray1> fft_magnitude_py(SignalView signal, double fs) {
    const FiniteSamples finite(signal);
    const std::span<const double> x = finite.span();
    const std::size_t m = x.size();
    if (m == 0) return {UninitArray1(0), UninitArray1(0)};
    const std::size_t bins = m / 2 + 1;
    UninitArray1 f(bins), a(bins);
    {
        Scratch<fftw_complex> X(bins);
        rfft_into(x, X.get());
        magnitudes_into(X.get(), static_cast<double>(m), a.data(), bins);
    }
    fill_frequencies(fs, static_cast<double>(m), f.data(), bins);
    return {std::move(f), std::move(a)};
}

// The fundamental of a Welch spectrum: the largest density above DC.
struct Fundamental {
    std::size_t bin;
    double freq;
};

std::optional<Fundamental> find_fundamental(const Spectrum& sp) {
    if (sp.size() < 3) return std::nullopt;
    const std::size_t k0 = last_argmax(sp.p, 1);
    const double f0 = sp.f[k0];
    if (f0 == 0.0) return std::nullopt;
    return Fundamental{k0, f0};
}

// Power at harmonics h_first .. n_harmonics of f0, up to the highest
// frequency. Harmonics past the number of bins fall past the last bin (or,
// for an infinite fs, on bins whose density is zero), so the walk stops there
// whatever n_harmonics is.
double harmonic_power(const Spectrum& sp, double f0, std::uint64_t h_first, std::uint64_t n_harmonics) {
    const std::size_t bins = sp.size();
    const double delta = sp.f[1] - sp.f[0];
    const double highest = sp.f[bins - 1];
    const std::uint64_t h_last = std::min<std::uint64_t>(n_harmonics, bins);
    double h_power = 0.0;
    for (std::uint64_t h = h_first; h <= h_last; ++h) {
        const double g = f0 * static_cast<double>(h);
        if (g > highest) break;
        const std::uint64_t j = to_u64_sat(std::round(g / delta));
        if (j < bins) h_power += sp.p[j];
    }
    return h_power;
}

double harmonic_ratio_py(SignalView signal, double fs, std::uint64_t n_harmonics) {
    const auto sp = feature_spectrum(signal, fs);
    if (!sp) return NaN;
    const auto fund = find_fundamental(*sp);
    if (!fund) return NaN;
    const double h = harmonic_power(*sp, fund->freq, 1, n_harmonics);
    const double rest = total_power(*sp) - h;
    if (rest <= 0.0) return Inf;
    return h / rest;
}

double total_harmonic_distortion_py(SignalView signal, double fs, std::uint64_t n_harmonics) {
    const auto sp = feature_spectrum(signal, fs);
    if (!sp) return NaN;
    const auto fund = find_fundamental(*sp);
    if (!fund) return NaN;
    const double p1 = sp->p[fund->bin];
    if (p1 == 0.0) return NaN;
    const double h = harmonic_power(*sp, fund->freq, 2, n_harmonics);
    return std::sqrt(h) / std::sqrt(p1);
}

// Window sums for centres i >= w: the window [i - w, min(m, i + w + 1)),
// summed in index order from -0.0. Blocks of kLanes consecutive centres
// accumulate side by side, each window in its own order.
constexpr std::size_t kLanes = 32;

// This sums the centres [first, end), first - w a multiple of kLanes.
NUVRA_MULTIVERSION
void centred_window_sums(const double* __restrict__ x, std::size_t m, std::size_t w,
                         std::size_t first, std::size_t end, double* __restrict__ out) {
    const std::size_t full = 2 * w + 1;
    for (std::size_t i0 = first; i0 < end; i0 += kLanes) {
        const std::size_t lanes = std::min(kLanes, end - i0);
        // Window lengths shrink with the centre near the end; all lanes share
        // the length of the last one.
        auto length = [&](std::size_t i) { return std::min(full, m + w - i); };
        const std::size_t common = length(i0 + lanes - 1);
        const double* base = x + (i0 - w);
        double acc[kLanes];
        if (lanes == kLanes) {
            // Eight vector accumulators held in registers across the window.
            const v4d z = {-0.0, -0.0, -0.0, -0.0};
            v4d a0 = z, a1 = z, a2 = z, a3 = z, a4 = z, a5 = z, a6 = z, a7 = z;
            for (std::size_t t = 0; t < common; ++t) {
                const double* row = base + t;
                a0 += simd::load(row);
                a1 += simd::load(row + 4);
                a2 += simd::load(row + 8);
                a3 += simd::load(row + 12);
                a4 += simd::load(row + 16);
                a5 += simd::load(row + 20);
                a6 += simd::load(row + 24);
                a7 += simd::load(row + 28);
            }
            simd::store(acc, a0);
            simd::store(acc + 4, a1);
            simd::store(acc + 8, a2);
            simd::store(acc + 12, a3);
            simd::store(acc + 16, a4);
            simd::store(acc + 20, a5);
            simd::store(acc + 24, a6);
            simd::store(acc + 28, a7);
        } else {
            for (std::size_t r = 0; r < lanes; ++r) acc[r] = -0.0;
            for (std::size_t t = 0; t < common; ++t)
                for (std::size_t r = 0; r < lanes; ++r) acc[r] += base[t + r];
        }
        for (std::size_t r = 0; r < lanes; ++r) {
            const std::size_t len = length(i0 + r);
            double a = acc[r];
            for (std::size_t t = common; t < len; ++t) a += base[t + r];
            out[i0 + r] = a;
        }
    }
}

std::tuple<double, double, double, double> signal_to_noise_py(SignalView signal,
                                                              std::uint64_t kernel_fraction) {
    const FiniteSamples finite(signal);
    const std::span<const double> x = finite.span();
    const std::size_t m = x.size();
    if (m < 10) return {NaN, NaN, NaN, NaN};
    const std::uint64_t k = std::max<std::uint64_t>(checked_div<std::uint64_t>(m, kernel_fraction), 3);
    const std::size_t w = static_cast<std::size_t>(std::min<std::uint64_t>(k / 2, m));

    // Centres below w start their window at 0: their sums are the running
    // prefix sums. The rest are summed window by window.
    std::vector<double> smooth(m);
    {
        double run = -0.0;
        std::size_t next = 0;  // prefix sums taken through x[next - 1]
        for (std::size_t i = 0; i < std::min(w, m); ++i) {
            const std::size_t hi = std::min(m, i + w + 1);
            while (next < hi) run += x[next++];
            smooth[i] = run;
        }
    }
    // Blocks of centres of about 2^16 additions between two interrupt checks.
    const std::size_t window_work = std::min(2 * w + 1, m);
    const std::size_t chunk = kLanes * std::max<std::size_t>(1, (std::size_t{1} << 16) / (kLanes * window_work));
    InterruptPoll poll;
    for (std::size_t i = w; i < m; i += chunk) {
        poll(static_cast<std::uint64_t>(chunk) * window_work);
        centred_window_sums(x.data(), m, w, i, std::min(m, i + chunk), smooth.data());
    }
    double p_signal = -0.0, p_noise = -0.0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::size_t lo = i < w ? 0 : i - w;
        const std::size_t hi = std::min(m, i + w + 1);
        const double s = smooth[i] / static_cast<double>(hi - lo);
        const double r = x[i] - s;
        p_signal += s * s;
        p_noise += r * r;
    }
    const double len = static_cast<double>(m);
    p_signal /= len;
    p_noise /= len;
    if (p_noise < 1e-30) return {100.0, 1e10, p_signal, p_noise};
    const double ratio = p_signal / p_noise;
    return {std::log10(ratio) * 10.0, ratio, p_signal, p_noise};
}

// ------------------------------------------------------------------ Hilbert transform

// out[j] = y[j] * c, real and imaginary parts apart.
NUVRA_MULTIVERSION
void scale_split(const fftw_complex* y, double c, double* re, double* im, std::size_t n) {
    const double* z = y[0];
    const v4d vc = simd::splat(c);
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const v4d a = simd::load(z + 2 * j), b = simd::load(z + 2 * j + 4);
        simd::store(re + j, __builtin_shuffle(a, b, v4i{0, 2, 4, 6}) * vc);
        simd::store(im + j, __builtin_shuffle(a, b, v4i{1, 3, 5, 7}) * vc);
    }
    for (; j < n; ++j) {
        re[j] = z[2 * j] * c;
        im[j] = z[2 * j + 1] * c;
    }
}

std::tuple<UninitArray1, UninitArray1> hilbert_transform_py(SignalView signal) {
    const FiniteSamples finite(signal);
    const std::span<const double> x = finite.span();
    const std::size_t n = x.size();
    if (n == 0) return {UninitArray1(0), UninitArray1(0)};
    UninitArray1 re(n), im(n);

    // The one-sided spectrum lands in the first n/2 + 1 bins of the buffer
    // the inverse then runs on in place.
    Scratch<fftw_complex> y(n);
    rfft_into(x, y.get());
    // Weights: 1 at DC and, for even n, at n/2; 2 at bins 1 .. (n-1)/2; 0 above.
    const std::size_t doubled_end = (n + 1) / 2;
    const std::size_t kept_end = n / 2 + 1;
    double* z = y[0];
    for (std::size_t i = 2; i < 2 * doubled_end; ++i) z[i] = z[i] * 2.0;
    std::fill(z + 2 * kept_end, z + 2 * n, 0.0);

    PlanCache::Plan inverse = plans().get(PlanKind::inverse_c2c_in_place, n, nullptr, y.get());
    fftw_execute_dft(inverse.get(), y.get(), y.get());
    scale_split(y.get(), 1.0 / static_cast<double>(n), re.data(), im.data(), n);
    return {std::move(re), std::move(im)};
}

const PyMethodDef defs[] = {
    NUVRA_DEF(power_spectral_density_py, "power_spectral_density",
              "power_spectral_density(signal, fs, nperseg, noverlap)\n--\n\n"
              "Compute PSD using Welch's method.",
              "signal", "fs", "nperseg", "noverlap"),
    NUVRA_DEF(dominant_frequency_py, "dominant_frequency",
              "dominant_frequency(signal, fs)\n--\n\nDominant frequency.", "signal", "fs"),
    NUVRA_DEF(spectral_entropy_py, "spectral_entropy",
              "spectral_entropy(signal, fs, normalize)\n--\n\nSpectral entropy.", "signal", "fs",
              "normalize"),
    NUVRA_DEF(spectral_centroid_py, "spectral_centroid",
              "spectral_centroid(signal, fs)\n--\n\nSpectral centroid.", "signal", "fs"),
    NUVRA_DEF(spectral_bandwidth_py, "spectral_bandwidth",
              "spectral_bandwidth(signal, fs, p)\n--\n\nSpectral bandwidth.", "signal", "fs", "p"),
    NUVRA_DEF(spectral_rolloff_py, "spectral_rolloff",
              "spectral_rolloff(signal, fs, threshold)\n--\n\nSpectral rolloff.", "signal", "fs",
              "threshold"),
    NUVRA_DEF(spectral_flatness_py, "spectral_flatness",
              "spectral_flatness(signal, fs)\n--\n\nSpectral flatness.", "signal", "fs"),
    NUVRA_DEF(harmonic_ratio_py, "harmonic_ratio",
              "harmonic_ratio(signal, fs, n_harmonics)\n--\n\nHarmonic ratio.", "signal", "fs",
              "n_harmonics"),
    NUVRA_DEF(total_harmonic_distortion_py, "total_harmonic_distortion",
              "total_harmonic_distortion(signal, fs, n_harmonics)\n--\n\nTotal harmonic distortion.",
              "signal", "fs", "n_harmonics"),
    NUVRA_DEF(fft_magnitude_py, "fft_magnitude",
              "fft_magnitude(signal, fs)\n--\n\nFFT magnitude spectrum.", "signal", "fs"),
    NUVRA_DEF(hilbert_transform_py, "hilbert_transform",
              "hilbert_transform(signal)\n--\n\n"
              "Hilbert transform (returns real and imaginary parts separately).",
              "signal"),
    NUVRA_DEF(spectral_slope_py, "spectral_slope",
              "spectral_slope(signal, fs)\n--\n\nSpectral slope.", "signal", "fs"),
    NUVRA_DEF(signal_to_noise_py, "signal_to_noise",
              "signal_to_noise(signal, kernel_fraction)\n--\n\nSignal-to-noise ratio estimation.",
              "signal", "kernel_fraction"),
};

}  // namespace

namespace family {
FunctionTable spectral() { return {defs, std::size(defs)}; }
}  // namespace family
}  // namespace nuvra
