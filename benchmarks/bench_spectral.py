"""Spectral and coupling functions against what a user would call instead:
scipy.signal.welch / hilbert, numpy.fft, antropy, pandas and NumPy rolling
rank correlations, and the batch's speed-up from one worker thread to all.

    PYTHONPATH=<build dir> python benchmarks/bench_spectral.py

Ratios are their time / ours (> 1: we are faster), best of several runs.
"""

import os
import subprocess
import sys
import time

import numpy as np
import pandas as pd
import scipy.signal
from numpy.lib.stride_tricks import sliding_window_view

from nuvra import _rust as nv
from timing import best_time

FS = 250.0
SIZES = (10**4, 10**5)
TRANSFORM_SIZES = (10**5, 10**6)


def welch(x, fs=FS):
    """The Welch estimate the features use, with SciPy: 256-sample symmetric Hann segments."""
    L = min(len(x), 256)
    f, p = scipy.signal.welch(x, fs, window=scipy.signal.windows.hann(L, sym=True), nperseg=L,
                              noverlap=L // 2, detrend=False)
    p[0] *= 2
    if L % 2 == 0:
        p[-1] *= 2
    return f, p


def np_centroid(x):
    f, p = welch(x)
    return (f * p).sum() / p.sum()


def np_bandwidth(x):
    f, p = welch(x)
    c = (f * p).sum() / p.sum()
    return np.sqrt((p * (f - c) ** 2).sum() / p.sum())


def np_entropy(x):
    _, p = welch(x)
    q = p[p > 0] / p.sum()
    return -(q * np.log2(q)).sum() / np.log2(len(p))


def np_flatness(x):
    _, p = welch(x)
    return np.exp(np.mean(np.log(p))) / np.mean(p)


def np_thd(x):
    f, p = welch(x)
    k0 = 1 + np.argmax(p[1:])
    h = [p[int(round(f[k0] * k / f[1]))] for k in range(2, 6) if f[k0] * k <= f[-1]]
    return np.sqrt(sum(h)) / np.sqrt(p[k0])


def np_slope(x):
    w = np.abs(np.fft.rfft(x - x.mean())[1:]) ** 2
    k = np.arange(1, len(w) + 1)
    return np.polyfit(np.log(FS * k / len(x) + 1e-30), np.log(w + 1e-30), 1)[0]


def np_snr(x, kf=10):
    """Shrinking-window moving average with cumulative sums (O(n), other rounding)."""
    m = len(x)
    w = max(m // kf, 3) // 2
    c = np.concatenate(([0.0], np.cumsum(x)))
    i = np.arange(m)
    lo, hi = np.maximum(i - w, 0), np.minimum(i + w + 1, m)
    s = (c[hi] - c[lo]) / (hi - lo)
    ps, pn = np.mean(s * s), np.mean((x - s) ** 2)
    return 10 * np.log10(ps / pn), ps / pn, ps, pn


def np_rolling_spearman(x, y, w):
    """Every window ranked at once (double argsort), then Pearson of the ranks."""
    rx = sliding_window_view(x, w).argsort(axis=1).argsort(axis=1).astype(float)
    ry = sliding_window_view(y, w).argsort(axis=1).argsort(axis=1).astype(float)
    rx -= rx.mean(axis=1, keepdims=True)
    ry -= ry.mean(axis=1, keepdims=True)
    r = (rx * ry).sum(axis=1) / np.sqrt((rx * rx).sum(axis=1) * (ry * ry).sum(axis=1))
    return np.concatenate((np.full(w - 1, np.nan), r))


def pandas_rolling_spearman(x, y, w):
    """pandas rolling correlation of ranks, one window at a time."""
    df = pd.DataFrame({"x": x, "y": y})
    yv = df["y"].to_numpy()

    def rho(a):
        end = int(a[-1])
        win = df.iloc[end - w + 1:end + 1]
        return win["x"].rank().corr(win["y"].rank())

    return pd.Series(np.arange(len(x), dtype=float)).rolling(w).apply(rho, raw=True).to_numpy(), yv


def row(name, n, theirs, ours, peer):
    ratio = theirs / ours
    print(f"{name:<28} {n:>7}  {ours * 1e3:10.3f} ms  {theirs * 1e3:10.3f} ms  {ratio:8.1f}x  {peer}")


def inorder_floor(terms):
    """One fixed-order chain over `terms` additions (np.cumsum adds in index order)."""
    n = int(min(terms, 2 * 10**7))
    a = np.ones(n)
    return best_time(lambda: np.cumsum(a), budget=0.2) * terms / n


def main():
    import antropy

    rng = np.random.default_rng(0)
    print(f"{os.cpu_count()} CPUs. Columns: ours, theirs, ratio (theirs/ours), peer")
    for n in SIZES:
        t = np.arange(n) / FS
        x = np.sin(2 * np.pi * 12.5 * t) + 0.2 * np.sin(2 * np.pi * 25 * t) + rng.normal(size=n)
        y = 0.5 * x + rng.normal(size=n)
        win = scipy.signal.windows.hann(256, sym=True)
        cases = [
            ("power_spectral_density", lambda: nv.power_spectral_density(x, FS, 256, -1),
             lambda: scipy.signal.welch(x, FS, window=win, nperseg=256, noverlap=128, detrend=False),
             "scipy.signal.welch"),
            ("spectral_centroid", lambda: nv.spectral_centroid(x, FS), lambda: np_centroid(x), "welch+numpy"),
            ("spectral_bandwidth", lambda: nv.spectral_bandwidth(x, FS, 2), lambda: np_bandwidth(x),
             "welch+numpy"),
            ("spectral_entropy", lambda: nv.spectral_entropy(x, FS, True), lambda: np_entropy(x),
             "welch+numpy"),
            ("spectral_entropy", lambda: nv.spectral_entropy(x, FS, True),
             lambda: antropy.spectral_entropy(x, FS, method="welch", normalize=True), "antropy"),
            ("spectral_flatness", lambda: nv.spectral_flatness(x, FS), lambda: np_flatness(x),
             "welch+numpy"),
            ("total_harmonic_distortion", lambda: nv.total_harmonic_distortion(x, FS, 5),
             lambda: np_thd(x), "welch+numpy"),
            ("spectral_slope", lambda: nv.spectral_slope(x, FS), lambda: np_slope(x), "rfft+polyfit"),
            ("signal_to_noise", lambda: nv.signal_to_noise(x, 10), lambda: np_snr(x), "numpy cumsum (O(n))"),
            ("signal_to_noise", lambda: nv.signal_to_noise(x, 10),
             lambda: np.convolve(x, np.full(2 * (n // 20) + 1, 1.0 / (2 * (n // 20) + 1)), "same"),
             "numpy.convolve (O(n*k))"),
            ("rolling_spearman w=20", lambda: nv.rolling_spearman(x, y, 20),
             lambda: np_rolling_spearman(x, y, 20), "numpy sliding argsort"),
            ("rolling_spearman w=200", lambda: nv.rolling_spearman(x, y, 200),
             lambda: np_rolling_spearman(x, y, 200), "numpy sliding argsort"),
        ]
        for name, ours, theirs, peer in cases:
            row(name, n, best_time(theirs), best_time(ours), peer)
        if n <= 10**4:  # one window at a time: about 25 s at 10^5
            t_pd = best_time(lambda: pandas_rolling_spearman(x, y, 20), budget=0)
            row("rolling_spearman w=20", n, t_pd, best_time(lambda: nv.rolling_spearman(x, y, 20)),
                "pandas rolling rank corr")
        w = max(n // 10, 3) // 2
        terms = sum(min(2 * w + 1, n + w - i) for i in range(w, n))
        print(f"{'  signal_to_noise floor':<28} {n:>7}  {inorder_floor(terms) * 1e3:10.3f} ms  "
              f"(one in-order chain over its {terms:.2e} window-sum additions)")

    transforms()
    t1, tn = run_child(1), run_child(None)
    print(f"batch_rolling_spearman 64 x 20000, w=50: 1 thread {t1 * 1e3:.1f} ms, "
          f"all threads {tn * 1e3:.1f} ms, speed-up {t1 / tn:.2f}x")


def transforms():
    """The two whole-signal transforms on white noise, repeated calls in this process."""
    rng = np.random.default_rng(2)
    for n in TRANSFORM_SIZES:
        x = rng.normal(size=n)
        ours = best_time(lambda: nv.fft_magnitude(x, FS))
        row("fft_magnitude", n, best_time(lambda: np.abs(np.fft.rfft(x))), ours, "np.abs(np.fft.rfft(x))")
        row("fft_magnitude", n, best_time(lambda: (np.fft.rfftfreq(n, 1 / FS), 2 * np.abs(np.fft.rfft(x)) / n)),
            ours, "rfftfreq + 2|rfft|/n")
        row("hilbert_transform", n, best_time(lambda: scipy.signal.hilbert(x)),
            best_time(lambda: nv.hilbert_transform(x)), "scipy.signal.hilbert")


def child():
    rng = np.random.default_rng(1)
    xb, yb = rng.normal(size=(64, 20000)), rng.normal(size=(64, 20000))
    print(best_time(lambda: nv.batch_rolling_spearman(xb, yb, 50), budget=1.0, repeat=7))


def run_child(threads):
    env = {k: v for k, v in os.environ.items() if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, __file__, "--child"], env=env, capture_output=True,
                         text=True, check=True)
    return float(out.stdout.strip())


if __name__ == "__main__":
    if sys.argv[1:] == ["--child"]:
        child()
    else:
        main()
