"""Side-by-side timings of the entropy and correlation families against their peers.

Run: PYTHONPATH=<build dir> python benchmarks/bench_entropy.py [--quick]
Prints, per case and size, the best time of nuvra and of the alternative and
their ratio (alternative / nuvra: above 1 means nuvra is faster). Peers:
antropy and nolds (numba / NumPy), neurokit2, SciPy, NumPy and statsmodels.
Cases where the peer would take minutes are measured at 10^4 only.
"""

import math
import sys
import warnings

import numpy as np
import scipy.signal
import scipy.stats

from nuvra import _rust as nv
from timing import best_time

warnings.filterwarnings("ignore")


def row(name, n, ours, theirs, peer):
    t_ours = best_time(ours)
    t_theirs = best_time(theirs)
    print(f"{name:28s} {n:>7d}  nuvra {t_ours * 1e3:10.3f} ms  {peer:26s} {t_theirs * 1e3:10.3f} ms"
          f"  ratio {t_theirs / t_ours:8.2f}", flush=True)


def pearson_numpy(x, y):
    keep = np.isfinite(x) & np.isfinite(y)
    return scipy.stats.pearsonr(x[keep], y[keep])[0]


def acf_numpy(x, lags):
    return [1.0] + [np.corrcoef(x[:len(x) - k], x[k:])[0, 1] for k in range(1, lags + 1)]


def levinson_numpy(c):
    p = len(c) - 1
    prev, out = np.zeros(p + 1), [1.0]
    for k in range(1, p + 1):
        cur = np.zeros(p + 1)
        if k == 1:
            cur[1] = c[1]
        else:
            num = c[k] - prev[1:k] @ np.asarray(c[k - 1:0:-1])
            den = 1.0 - prev[1:k] @ np.asarray(c[1:k])
            cur[k] = 0.0 if abs(den) < 1e-10 else num / den
            cur[1:k] = prev[1:k] - cur[k] * prev[k - 1:0:-1]
        out.append(cur[k])
        prev = cur
    return out


def wavelet_numpy(x, y, n_scales):
    n = len(x)
    g = math.log10(n // 4)
    scales = sorted({int(round(10 ** (g * i / n_scales))) for i in range(1, n_scales + 1)} & set(range(2, n)))
    out = []
    for s in scales:
        bx = x[:n // s * s].reshape(-1, s)
        by = y[:n // s * s].reshape(-1, s)
        bx = bx - bx.mean(1, keepdims=True)
        by = by - by.mean(1, keepdims=True)
        r = (bx * by).sum(1) / np.sqrt((bx * bx).sum(1) * (by * by).sum(1))
        out.append(np.nanmean(r * r))
    return scales, out


def partial_corr_numpy(x, y, z):
    r = np.corrcoef([x, y, z])
    return (r[0, 1] - r[0, 2] * r[1, 2]) / math.sqrt((1 - r[0, 2] ** 2) * (1 - r[1, 2] ** 2))


def main():
    quick = "--quick" in sys.argv
    import antropy
    import neurokit2
    import nolds
    import statsmodels.tsa.stattools as st

    rng = np.random.default_rng(0)
    sizes = [10_000] if quick else [10_000, 100_000]
    # warm the numba peers up
    w = rng.standard_normal(500)
    antropy.sample_entropy(w), antropy.lziv_complexity(w > 0), antropy.perm_entropy(w)

    print("== entropy family (r is 0.2 standard deviations)")
    for n in sizes:
        x = rng.standard_normal(n)
        r = 0.2 * float(np.std(x))
        row("sample_entropy m=2", n, lambda: nv.sample_entropy(x, 2, r),
            lambda: antropy.sample_entropy(x, order=2, tolerance=r), "antropy (numba)")
        if n <= 10_000:
            row("sample_entropy m=2", n, lambda: nv.sample_entropy(x, 2, r),
                lambda: nolds.sampen(x, emb_dim=2, tolerance=r), "nolds (NumPy)")
        row("approximate_entropy m=2", n, lambda: nv.approximate_entropy(x, 2, r),
            lambda: antropy.app_entropy(x, order=2, tolerance=r), "antropy (KD-tree)")
        if n <= 10_000:
            row("multiscale_entropy 5 scales", n, lambda: nv.multiscale_entropy(x, 2, r, 5),
                lambda: [antropy.sample_entropy(x[:len(x) // s * s].reshape(-1, s).mean(1), 2, tolerance=r)
                         for s in range(1, 6)], "antropy per scale")
            row("multiscale_entropy 5 scales", n, lambda: nv.multiscale_entropy(x, 2, r, 5),
                lambda: neurokit2.entropy_multiscale(x, scale=5, dimension=2, tolerance=r),
                "neurokit2")
        row("entropy_rate m_max=4", n, lambda: nv.entropy_rate(x, 4, r),  # m=1..4
            lambda: [antropy.sample_entropy(x, order=m, tolerance=r) for m in range(2, 5)],
            "antropy m=2..4")
        for order in (3, 5, 7):
            row(f"permutation_entropy {order},1", n, lambda: nv.permutation_entropy(x, order, 1, True),
                lambda: antropy.perm_entropy(x, order=order, delay=1, normalize=True), "antropy (NumPy)")
        row("permutation_entropy 5,3", n, lambda: nv.permutation_entropy(x, 5, 3, True),
            lambda: antropy.perm_entropy(x, order=5, delay=3, normalize=True), "antropy (NumPy)")
        med = float(np.median(x))
        row("lempel_ziv_complexity", n, lambda: nv.lempel_ziv_complexity(x, med),
            lambda: antropy.lziv_complexity(x > med, normalize=True), "antropy (numba)")
        xn = x.copy()
        xn[n // 2] = np.nan  # non-finite input takes the diagonal walk
        if n <= 10_000:
            row("sample_entropy with a NaN", n, lambda: nv.sample_entropy(xn, 2, r),
                lambda: antropy.sample_entropy(x, order=2, tolerance=r), "antropy (numba, no NaN)")

    print("== correlation family")
    for n in sizes:
        x = rng.standard_normal(n)
        y = 0.5 * x + rng.standard_normal(n)
        z = rng.standard_normal(n)
        row("correlation", n, lambda: nv.correlation(x, y), lambda: pearson_numpy(x, y),
            "SciPy pearsonr + mask")
        row("covariance", n, lambda: nv.covariance(x, y), lambda: np.cov(x, y)[0, 1], "np.cov")
        row("spearman_correlation", n, lambda: nv.spearman_correlation(x, y),
            lambda: scipy.stats.spearmanr(x, y)[0], "SciPy spearmanr")
        row("kendall_tau", n, lambda: nv.kendall_tau(x, y),
            lambda: scipy.stats.kendalltau(x, y)[0], "SciPy kendalltau")
        row("partial_correlation", n, lambda: nv.partial_correlation(x, y, z),
            lambda: partial_corr_numpy(x, y, z), "NumPy corrcoef")
        row("autocorrelation lag 5", n, lambda: nv.autocorrelation(x, 5),
            lambda: np.corrcoef(x[:-5], x[5:])[0, 1], "NumPy corrcoef")
        row("autocorrelation_function 50", n, lambda: nv.autocorrelation_function(x, 50),
            lambda: acf_numpy(x, 50), "NumPy corrcoef per lag")
        row("autocorrelation_function 50", n, lambda: nv.autocorrelation_function(x, 50),
            lambda: st.acf(x, nlags=50, fft=True), "statsmodels acf (FFT)")
        smooth = np.convolve(x, np.ones(40), "same")  # decays below 0.5 near lag 20
        row("acf_decay_time", n, lambda: nv.acf_decay_time(smooth, 0.5),
            lambda: next(k for k in range(1, n // 2)
                         if np.corrcoef(smooth[:n - k], smooth[k:])[0, 1] < 0.5),
            "NumPy corrcoef until below")
        row("partial_autocorrelation 20", n, lambda: nv.partial_autocorrelation(x, 20),
            lambda: levinson_numpy(acf_numpy(x, 20)), "NumPy corrcoef + recursion")
        if n <= 10_000:  # statsmodels correlates every lag directly here: O(n^2)
            row("partial_autocorrelation 20", n, lambda: nv.partial_autocorrelation(x, 20),
                lambda: st.pacf(x, nlags=20, method="ldb"), "statsmodels pacf (ldb)")
        m = min(n, 10_000)
        row("cross_correlation all lags", m, lambda: nv.cross_correlation(x[:m], y[:m], -1, True),
            lambda: np.correlate(x[:m] - x[:m].mean(), y[:m] - y[:m].mean(), "full"),
            "np.correlate full")
        row("cross_correlation 100 lags", n, lambda: nv.cross_correlation(x, y, 100, True),
            lambda: scipy.signal.correlate(x - x.mean(), y - y.mean(), "full", method="fft"),
            "scipy.signal.correlate fft")
        row("lag_at_max_xcorr 100 lags", n, lambda: nv.lag_at_max_xcorr(x, y, 100),
            lambda: np.argmax(scipy.signal.correlate(x - x.mean(), y - y.mean(), "full", method="fft")),
            "scipy correlate fft+argmax")
        for L in (64, 256):
            win = scipy.signal.windows.hann(L, sym=True)
            row(f"coherence nperseg={L}", n, lambda: nv.coherence(x, y, L),
                lambda: scipy.signal.coherence(x, y, window=win, nperseg=L, noverlap=0, detrend=False),
                "SciPy coherence (FFT)")
            row(f"cross_spectral_density {L}", n, lambda: nv.cross_spectral_density(x, y, L),
                lambda: scipy.signal.csd(x, y, window=win, nperseg=L, noverlap=0, detrend=False),
                "SciPy csd (FFT)")
        row("wavelet_coherence 20 scales", n, lambda: nv.wavelet_coherence(x, y, 20),
            lambda: wavelet_numpy(x, y, 20), "NumPy reshape")


if __name__ == "__main__":
    main()
