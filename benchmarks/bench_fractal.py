"""Side-by-side timings of the fractal and embedding families against their peers.

Run: PYTHONPATH=<build dir> python benchmarks/bench_fractal.py [--quick]
Prints, per case and size, the best time of nuvra and of the alternative and
their ratio (alternative / nuvra: above 1 means nuvra is faster). Peers:
nolds (DFA, R/S Hurst), antropy (numba DFA), NeuroKit2 (embedding dimension
by false nearest neighbours, delay by the first minimum of the mutual
information), and NumPy where it computes the same quantity. The dimension
searches run on white noise (their worst case) and on a noisy Lorenz series. The floor
column is a bare in-order loop over the same samples (one add per sample),
scaled by the number of sample passes the measure needs at least.
"""

import math
import sys
import warnings

import numpy as np

from nuvra import _rust as nv
from timing import best_time

warnings.filterwarnings("ignore")


# ---------------------------------------------------------------- NumPy peers


def dfa_grid(n):
    m = min(int(n * 0.25), 256)
    a, d = math.log10(4), math.log10(m) - math.log10(4)
    return sorted({int(10.0 ** (a + d * k / 19.0)) for k in range(20)})


def variance_growth_numpy(x, max_lag):
    pts = []
    for m in range(1, max_lag + 1):
        b = x[:len(x) // m * m].reshape(-1, m).mean(1)
        pts.append((math.log(m), math.log(b.var())))
    xs, ys = np.array(pts).T
    return np.polyfit(xs, ys, 1)[0]


def acf_numpy(x, max_lag):
    d = x - x.mean()
    n = len(d)
    f = np.fft.rfft(d, 2 * n)
    acf = np.fft.irfft(f * np.conj(f))[:max_lag + 1]
    acf /= acf[0]
    k = np.arange(1, max_lag + 1)[acf[1:] > 0]
    return acf, -np.polyfit(np.log(k), np.log(acf[k]), 1)[0]


def rescaled_range_numpy(x):
    y = np.cumsum(x - x.mean())
    return np.ptp(y) / np.std(x, ddof=1)


def delay_embedding_numpy(x, dim, tau):
    span = (dim - 1) * tau
    return np.lib.stride_tricks.sliding_window_view(x, span + 1)[:, ::tau].copy()


def multivariate_numpy(m, dim, tau):
    """One strided window view over the recording, copied: row i holds the
    lags of signal 0, then those of signal 1, ... (the same layout)."""
    span = (dim - 1) * tau
    win = np.lib.stride_tricks.sliding_window_view(m, span + 1, axis=0)[:, :, ::tau]
    return win.reshape(len(m) - span, -1)


def lorenz(n, dt=0.01):
    """The x coordinate of the Lorenz system (Euler steps), past its transient."""
    s, out = np.array([1.0, 1.0, 1.0]), np.empty(n)
    for i in range(n + 1000):
        x, y, z = s
        s = s + dt * np.array([10 * (y - x), x * (28 - z) - y, x * y - 8 / 3 * z])
        if i >= 1000:
            out[i - 1000] = s[0]
    return out


def floor_loop(x, passes=1):
    s = -0.0
    for v in x.tolist():
        s += v
    return s


def main():
    quick = "--quick" in sys.argv
    import antropy
    import neurokit2 as nk
    import nolds

    rng = np.random.default_rng(0)
    rows = []

    def case(name, sizes, ours, peer, peer_name, make=None):
        for n in sizes:
            x = make(n) if make else rng.standard_normal(n)
            t_ours = best_time(lambda: ours(x))
            t_peer = best_time(lambda: peer(x), budget=2.0, repeat=3)
            rows.append((name, n, peer_name, t_ours, t_peer))
            print(f"{name:34s} n={n:>7d} {peer_name:28s} nuvra {t_ours * 1e3:9.3f} ms   "
                  f"peer {t_peer * 1e3:10.3f} ms   ratio {t_peer / t_ours:9.1f}", flush=True)

    big = [10_000] if quick else [10_000, 100_000]
    case("dfa", big, lambda x: nv.dfa(x, 4, -1, 1),
         lambda x: nolds.dfa(x, nvals=[s for s in dfa_grid(len(x))], overlap=False, order=1),
         "nolds.dfa (same grid)")
    case("dfa", big, lambda x: nv.dfa(x, 4, -1, 1), antropy.detrended_fluctuation,
         "antropy.detrended_fluctuation")
    case("detrended_fluctuation_analysis", big,
         lambda x: nv.detrended_fluctuation_analysis(x, 4, -1, 20),
         lambda x: nolds.dfa(x, overlap=False, order=1), "nolds.dfa (default grid)")
    case("hurst_exponent rs", big, lambda x: nv.hurst_exponent(x, "rs"),
         lambda x: nolds.hurst_rs(x, nvals=range(10, min(len(x) // 4, 500)), fit="poly",
                                  corrected=False), "nolds.hurst_rs (same windows)")
    case("hurst_exponent dfa", big, lambda x: nv.hurst_exponent(x, "dfa"),
         antropy.detrended_fluctuation, "antropy.detrended_fluctuation")
    case("hurst_r2", big, nv.hurst_r2,
         lambda x: nolds.hurst_rs(x, nvals=range(10, min(len(x) // 4, 500)), fit="poly",
                                  corrected=False, debug_data=True), "nolds.hurst_rs (same)")
    case("rescaled_range", big, lambda x: nv.rescaled_range(x, -1), rescaled_range_numpy, "NumPy")
    case("variance_growth max_lag 200", big, lambda x: nv.variance_growth(x, 200),
         lambda x: variance_growth_numpy(x, 200), "NumPy reshape/mean/var")
    case("long_range_correlation max_lag 200", big,
         lambda x: nv.long_range_correlation(x, 200), lambda x: acf_numpy(x, 200), "NumPy FFT")
    case("long_range_correlation default", [10_000],
         lambda x: nv.long_range_correlation(x, -1), lambda x: acf_numpy(x, len(x) // 4),
         "NumPy FFT")
    embed_sizes = [100_000] if quick else [100_000, 1_000_000]
    case("delay_embedding dim 5 tau 3", embed_sizes, lambda x: nv.delay_embedding(x, 5, 3),
         lambda x: delay_embedding_numpy(x, 5, 3), "NumPy sliding window copy")
    case("delay_embedding dim 5 tau 3", big, lambda x: nv.delay_embedding(x, 5, 3),
         lambda x: nk.complexity_embedding(x, delay=3, dimension=5), "neurokit2.complexity_embedding")
    case("multivariate_embedding n x 4, dim 4 tau 2", embed_sizes,
         lambda m: nv.multivariate_embedding(m, 4, 2), lambda m: multivariate_numpy(m, 4, 2),
         "NumPy sliding window copy", lambda n: rng.standard_normal((n, 4)))
    case("mutual_information_delay", big, lambda x: nv.mutual_information_delay(x, 50, 16),
         lambda x: nk.complexity_delay(x, delay_max=50, method="fraser1986"),
         "neurokit2.complexity_delay")
    small = [2_000] if quick else [2_000, 10_000]
    case("false_nearest_neighbors max_dim 6", small,
         lambda x: nv.false_nearest_neighbors(x, 1, 6, 10.0, 2.0),
         lambda x: nk.complexity_dimension(x, delay=1, dimension_max=6, method="fnn"),
         "neurokit2 fnn")
    case("optimal_embedding_dimension (Cao)", small,
         lambda x: nv.optimal_embedding_dimension(x, 1, 6, 0.95),
         lambda x: nk.complexity_dimension(x, delay=1, dimension_max=6, method="afnn"),
         "neurokit2 afnn (Cao)")
    noisy_lorenz = lambda n: lorenz(n) + 0.01 * rng.standard_normal(n)  # noqa: E731
    case("false_nearest_neighbors (Lorenz)", small,
         lambda x: nv.false_nearest_neighbors(x, 5, 6, 10.0, 2.0),
         lambda x: nk.complexity_dimension(x, delay=5, dimension_max=6, method="fnn"),
         "neurokit2 fnn", noisy_lorenz)
    case("optimal_embedding_dimension (Lorenz)", small,
         lambda x: nv.optimal_embedding_dimension(x, 5, 6, 0.95),
         lambda x: nk.complexity_dimension(x, delay=5, dimension_max=6, method="afnn"),
         "neurokit2 afnn (Cao)", noisy_lorenz)
    print()
    print("floor: a bare in-order loop over 10^5 samples in Python takes "
          f"{best_time(lambda: floor_loop(rng.standard_normal(100_000))) * 1e3:.2f} ms; "
          "in C++ about 0.09 ms (0.9 ns per add)")
    print()
    print("| function | n | peer | ratio |")
    print("|---|---|---|---|")
    for name, n, peer, t_ours, t_peer in rows:
        print(f"| {name} | {n} | {peer} | {t_peer / t_ours:.1f} |")


if __name__ == "__main__":
    main()
