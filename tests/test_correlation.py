"""Correlation coefficients, autocorrelation family, cross-correlation, coherence, wavelet coherence."""

import math
import time

import numpy as np
import pytest
import scipy.signal
import scipy.stats

from helpers import NAN, INF, LAYOUTS, arr, in_order_sum, layouts, same
from nuvra import _rust as nv

rng = np.random.default_rng(6)

DOCS = {
    "autocorrelation": ("(signal, lag)", "Compute autocorrelation at specified lag."),
    "partial_autocorrelation": ("(signal, max_lag)", "Compute partial autocorrelation function."),
    "correlation": ("(x, y)", "Compute Pearson correlation coefficient."),
    "covariance": ("(x, y)", "Compute covariance."),
    "autocorrelation_function": ("(signal, max_lag)", "Compute full autocorrelation function."),
    "acf_decay_time": ("(signal, threshold)", "Compute ACF decay time."),
    "cross_correlation": ("(x, y, max_lag, normalize)", "Compute cross-correlation between two signals."),
    "lag_at_max_xcorr": ("(x, y, max_lag)", "Find lag at maximum cross-correlation."),
    "partial_correlation": ("(x, y, z)", "Compute partial correlation between x and y, controlling for z."),
    "spearman_correlation": ("(x, y)", "Compute Spearman rank correlation."),
    "kendall_tau": ("(x, y)", "Compute Kendall's tau rank correlation."),
    "coherence": ("(x, y, nperseg)", "Compute coherence between two signals."),
    "cross_spectral_density": ("(x, y, nperseg)", "Compute cross-spectral density."),
    "wavelet_coherence": ("(x, y, n_scales)", "Compute wavelet coherence (simplified)."),
}


def test_add_order_docs_and_signatures():
    start = nv.__all__.index("autocorrelation")
    assert nv.__all__[start - 1] == "jerk" and nv.__all__[start:start + len(DOCS)] == list(DOCS)
    for name, (sig, doc) in DOCS.items():
        fn = getattr(nv, name)
        assert (fn.__text_signature__, fn.__doc__, fn.__self__) == (sig, doc, None)


# ---------------------------------------------------------------- coefficients

def noisy_pair(n=400):
    x = rng.standard_normal(n)
    y = 0.6 * x + rng.standard_normal(n)
    x[[3, 50]], y[[50, 99]] = [NAN, INF], [-INF, NAN]
    keep = np.isfinite(x) & np.isfinite(y)
    return x, y, x[keep], y[keep]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_coefficients_against_scipy(layout):
    x, y, xs, ys = noisy_pair()
    xv, yv = layouts(x)[layout], layouts(y)[layout]
    assert nv.correlation(xv, yv) == pytest.approx(scipy.stats.pearsonr(xs, ys)[0], rel=1e-13)
    assert nv.covariance(xv, yv) == pytest.approx(np.cov(xs, ys)[0, 1], rel=1e-13)
    assert nv.spearman_correlation(xv, yv) == pytest.approx(scipy.stats.spearmanr(xs, ys)[0], rel=1e-13)
    assert nv.kendall_tau(xv, yv) == pytest.approx(scipy.stats.kendalltau(xs, ys)[0], rel=1e-13)
    z = rng.standard_normal(len(x))
    zs = z[np.isfinite(x) & np.isfinite(y)]
    r = np.corrcoef([xs, ys, zs])
    expected = (r[0, 1] - r[0, 2] * r[1, 2]) / math.sqrt((1 - r[0, 2] ** 2) * (1 - r[1, 2] ** 2))
    assert nv.partial_correlation(xv, yv, layouts(z)[layout]) == pytest.approx(expected, rel=1e-12)


def kendall_pairwise(x, y):
    with np.errstate(under="ignore", over="ignore", invalid="ignore"):
        p = np.subtract.outer(x, x) * np.subtract.outer(y, y)
    iu = np.triu_indices(len(x), 1)
    nc, nd = int((p[iu] > 0).sum()), int((p[iu] < 0).sum())
    return 0.0 if nc + nd == 0 else (nc - nd) / (nc + nd)


@pytest.mark.parametrize("make", [
    lambda: (rng.integers(0, 5, 300) * 1.0, rng.integers(0, 4, 300) * 1.0),  # heavy ties
    lambda: (np.repeat(rng.standard_normal(50), 3), rng.standard_normal(150)),
    lambda: (rng.standard_normal(200) * 1e-170, rng.standard_normal(200) * 1e-170),  # products underflow
    lambda: (np.r_[0.0, -0.0, 1.0, 1e-320, 2e-320], np.r_[1.0, 2.0, -0.0, 1e-10, 0.0]),
    lambda: (np.full(30, 2.0), rng.standard_normal(30)),
])
def test_rank_coefficients_with_ties_exactly(make):
    x, y = make()
    assert nv.kendall_tau(x, y) == kendall_pairwise(x, y)
    ranks = [np.argsort(np.argsort(v, kind="stable"), kind="stable").astype(float) for v in (x, y)]
    expected = nv.correlation(*ranks)  # ordinal ranks, ties in index order
    assert nv.spearman_correlation(x, y) == (0.0 if math.isnan(expected) else expected)


# ---------------------------------------------------------------- autocorrelation family

def lagged(x, k):
    return np.corrcoef(x[:len(x) - k], x[k:])[0, 1]


def levinson_table(c):
    p = len(c) - 1
    phi = np.zeros((p + 1, p + 1))
    out = [1.0]
    for k in range(1, p + 1):
        if k == 1:
            phi[1, 1] = c[1]
        else:
            num = c[k] - sum(phi[k - 1, j] * c[k - j] for j in range(1, k))
            den = 1.0 - sum(phi[k - 1, j] * c[j] for j in range(1, k))
            phi[k, k] = 0.0 if abs(den) < 1e-10 else num / den
            for j in range(1, k):
                phi[k, j] = phi[k - 1, j] - phi[k, k] * phi[k - 1, k - j]
        out.append(phi[k, k])
    return out


@pytest.mark.parametrize("layout", LAYOUTS)
def test_autocorrelation_family_against_numpy(layout):
    x = np.cumsum(rng.standard_normal(300))
    x[[10, 20]] = [NAN, -INF]
    xs = x[np.isfinite(x)]
    v = layouts(x)[layout]
    expected = [1.0] + [lagged(xs, k) for k in range(1, 41)]
    np.testing.assert_allclose(nv.autocorrelation_function(v, 40), expected, rtol=1e-12)
    assert nv.autocorrelation(v, 7) == pytest.approx(expected[7], rel=1e-12)
    np.testing.assert_allclose(nv.partial_autocorrelation(v, 40), levinson_table(expected), rtol=1e-9, atol=1e-12)
    acf = nv.autocorrelation_function(v, -1)
    assert len(acf) == len(xs) // 2 + 1
    assert acf[1:].tolist() == [nv.autocorrelation(xs, k) for k in range(1, len(acf))]  # lag blocks
    assert nv.acf_decay_time(v, 0.5) == next(k for k in range(1, len(acf)) if acf[k] < 0.5)


def test_partial_autocorrelation_of_ar1_and_huge_lags():
    x = np.zeros(5000)
    e = rng.standard_normal(5000)
    for t in range(1, 5000):
        x[t] = 0.7 * x[t - 1] + e[t]
    pacf = nv.partial_autocorrelation(x, 5)
    assert abs(pacf[1] - 0.7) < 0.05 and np.all(np.abs(pacf[2:]) < 0.06)
    assert np.isnan(nv.partial_autocorrelation(arr([1, 2, 3]), 6)).sum() == 7
    with pytest.raises(BaseException, match="capacity overflow") as info:
        nv.partial_autocorrelation(arr([1, 2, 3]), 2**64 - 1)
    assert type(info.value).__name__ == "PanicException"


# ---------------------------------------------------------------- cross-correlation

@pytest.mark.parametrize("max_lag", [-1, 0, 5, 13, 10**6])
def test_cross_correlation_against_np_correlate(max_lag):
    x, y = rng.standard_normal(150), np.roll(rng.standard_normal(150), 3)
    xc, yc = x - x.mean(), y - y.mean()
    full = np.correlate(yc, xc, "full")  # element n - 1 + k is sum of xc[t] * yc[t + k]
    L = 149 if max_lag < 0 or max_lag > 149 else max_lag
    raw = nv.cross_correlation(x, y, max_lag, False)
    np.testing.assert_allclose(raw, full[149 - L:150 + L], rtol=1e-10, atol=1e-12)
    norm = nv.cross_correlation(layouts(x)["strided"], layouts(y)["reversed"], max_lag, True)
    np.testing.assert_allclose(norm, raw / math.sqrt(np.sum(xc**2) * np.sum(yc**2)), rtol=1e-12)
    assert norm[L] == pytest.approx(np.corrcoef(x, y)[0, 1], rel=1e-12)
    assert nv.lag_at_max_xcorr(x, y, max_lag) == int(np.argmax(raw)) - L


def in_order_profile(x, y, L):
    n = len(x)
    mx, my = in_order_sum(x) / n, in_order_sum(y) / n  # not sum(): it compensates
    xc, yc = [v - mx for v in x], [v - my for v in y]
    out = []
    for k in range(-L, L + 1):
        a = 0.0
        for t in range(max(0, -k), min(n, n - k)):
            a += xc[t] * yc[t + k]
        out.append(a)
    return out


@pytest.mark.parametrize("n, max_lag", [(2, -1), (5, 1), (37, -1), (70, 40), (100, 5)])
def test_cross_correlation_sums_in_order_exactly(n, max_lag):
    x, y = rng.standard_normal(n).tolist(), rng.standard_normal(n).tolist()
    L = n - 1 if max_lag < 0 or max_lag > n - 1 else max_lag
    assert nv.cross_correlation(arr(x), arr(y), max_lag, False).tolist() == in_order_profile(x, y, L)


def test_delayed_copy_peaks_at_its_delay():
    x = rng.standard_normal(500)
    assert nv.lag_at_max_xcorr(x[5:], x[:-5], -1) == 5
    assert nv.lag_at_max_xcorr(x[:-5], x[5:], 20) == -5


# ---------------------------------------------------------------- spectra

def textbook_spectra(x, y, L):
    w = scipy.signal.windows.hann(L, sym=True)
    S = len(x) // L
    X = np.fft.rfft(x[:S * L].reshape(S, L) * w, axis=1)
    Y = np.fft.rfft(y[:S * L].reshape(S, L) * w, axis=1)
    return (np.mean(np.abs(X) ** 2, 0), np.mean(np.abs(Y) ** 2, 0), np.mean(X * np.conj(Y), 0))


@pytest.mark.parametrize("L", [3, 16, 33, 64])
def test_coherence_and_csd_against_fft_and_scipy(L):
    x = rng.standard_normal(1000)
    y = np.convolve(x, [0.5, 0.3, -0.2], "same") + 0.5 * rng.standard_normal(1000)
    pxx, pyy, pxy = textbook_spectra(x, y, L)
    freqs, coh = nv.coherence(x, layouts(y)["strided"], L)
    np.testing.assert_allclose(freqs, np.arange(L // 2 + 1) / L)
    np.testing.assert_allclose(coh, np.abs(pxy) ** 2 / (pxx * pyy), rtol=1e-9)
    f, ref = scipy.signal.coherence(x[:len(x) // L * L], y[:len(x) // L * L], window=scipy.signal.windows.hann(L, sym=True),
                                    nperseg=L, noverlap=0, detrend=False)
    np.testing.assert_allclose(coh[1:-1] if L % 2 == 0 else coh[1:], ref[1:-1] if L % 2 == 0 else ref[1:], rtol=1e-8)
    _, re, im = nv.cross_spectral_density(x, y, L)
    np.testing.assert_allclose(re + 1j * im, pxy, rtol=1e-9, atol=1e-9 * np.abs(pxy).max())


def direct_dft(seg):
    L, out = len(seg), []
    for k in range(L // 2 + 1):
        a, re, im = k * 6.283185307179586, 0.0, 0.0
        for t in range(L):
            th = (a * t) / L
            re, im = re + math.cos(th) * seg[t], im - math.sin(th) * seg[t]
        out.append((re, im))
    return out


@pytest.mark.parametrize("n, L", [(50, 4), (100, 9), (300, 33)])
def test_cross_spectral_density_direct_sums_exactly(n, L):
    x, y = rng.standard_normal(n).tolist(), rng.standard_normal(n).tolist()
    w = [(1.0 - math.cos((i * 6.283185307179586) / (L - 1))) * 0.5 for i in range(L)]
    S, B = n // L, L // 2 + 1
    cre, cim = [0.0] * B, [0.0] * B
    for s in range(S):
        X = direct_dft([x[s * L + i] * w[i] for i in range(L)])
        Y = direct_dft([y[s * L + i] * w[i] for i in range(L)])
        for k, ((a, b), (c, d)) in enumerate(zip(X, Y)):
            cre[k] += a * c + b * d
            cim[k] += b * c - a * d
    _, re, im = nv.cross_spectral_density(arr(x), arr(y), L)
    assert re.tolist() == [v / S for v in cre] and im.tolist() == [v / S for v in cim]


# ---------------------------------------------------------------- wavelet coherence

def ref_wavelet(x, y, scales):
    out = []
    for s in scales:
        r2 = []
        for b in range(len(x) // s):
            bx, by = x[b * s:(b + 1) * s], y[b * s:(b + 1) * s]
            if np.all(np.isfinite(bx)) and np.all(np.isfinite(by)) and bx.std() > 0 and by.std() > 0:
                r2.append(np.corrcoef(bx, by)[0, 1] ** 2)
        out.append(np.mean(r2) if r2 else NAN)
    return out


def test_wavelet_coherence_against_block_pearson():
    x = rng.standard_normal(1000)
    y = x + rng.standard_normal(1000)
    x[123] = NAN
    scales, values = nv.wavelet_coherence(x, layouts(y)["reversed"], 10)
    assert scales.tolist() == [2, 3, 5, 9, 16, 27, 48, 83, 144, 250]
    np.testing.assert_allclose(values, ref_wavelet(x, y, scales.astype(int)), rtol=1e-11)


def test_wavelet_huge_scale_count_stops_at_the_block_sizes():
    x = rng.standard_normal(400)
    K = 2**20 + 7  # past the direct loop: the distinct scales are searched for
    i = np.arange(1, K + 1, dtype=np.float64)
    cand = np.unique(np.round(10.0 ** ((math.log10(100) * i) / K)))
    expected = cand[(cand >= 2) & (cand < 400)]
    assert nv.wavelet_coherence(x, x, K)[0].tolist() == expected.tolist()
    t0 = time.perf_counter()
    scales, values = nv.wavelet_coherence(x, -x, 2**64 - 1)
    assert time.perf_counter() - t0 < 1.0
    assert scales.tolist() == list(range(2, 101)) and np.allclose(values, 1.0)


# ---------------------------------------------------------------- extreme scales (mended)

@pytest.mark.parametrize("scale", [1e80, 1e-85, 1e150, 1e-150])
def test_correlations_do_not_depend_on_scale(scale):
    x = rng.standard_normal(64)
    y = x + rng.standard_normal(64)
    assert nv.correlation(x * scale, y * scale) == pytest.approx(nv.correlation(x, y), rel=1e-13)
    assert nv.partial_correlation(x * scale, y * scale, x[::-1] * scale) == pytest.approx(
        nv.partial_correlation(x, y, x[::-1]), rel=1e-12)
    np.testing.assert_allclose(nv.autocorrelation_function(x * scale, 10), nv.autocorrelation_function(x, 10), rtol=1e-12)
    np.testing.assert_allclose(nv.wavelet_coherence(x * scale, y * scale, 4)[1], nv.wavelet_coherence(x, y, 4)[1], rtol=1e-12)
    np.testing.assert_allclose(nv.cross_correlation(x * scale, y * scale, 5, True), nv.cross_correlation(x, y, 5, True), rtol=1e-12, atol=1e-15)
    assert nv.lag_at_max_xcorr(x * scale, np.roll(y, 2) * scale, 5) == nv.lag_at_max_xcorr(x, np.roll(y, 2), 5)


# ---------------------------------------------------------------- worked examples

NAN1 = [NAN]
KNOWN = [
    (lambda: nv.covariance(arr([1, 2, 3, 4]), arr([2, 4, 6, 8])), 3.3333333333333335),
    (lambda: nv.covariance(arr([5, 5, 5]), arr([1, 2, 3])), 0.0),
    (lambda: nv.correlation(arr([1, 2, 3]), arr([3, 2, 1])), -1.0),
    (lambda: nv.correlation(arr([5, 5, 5]), arr([1, 2, 3])), NAN),
    (lambda: nv.correlation(arr([1, 2, NAN, 4]), arr([2, 4, 7, 8])), 1.0),
    (lambda: nv.correlation(arr([1, 2, INF, 4]), arr([2, 4, 7, 8])), 1.0),
    (lambda: nv.correlation(arr([1, 2, 3]), arr([1, 2, 3, 4])), NAN),
    (lambda: nv.kendall_tau(arr([1, 1, 2]), arr([1, 2, 3])), 1.0),
    (lambda: nv.kendall_tau(arr([1, 2, 3, 4]), arr([1, 3, 2, 4])), 0.6666666666666666),
    (lambda: nv.kendall_tau(arr([1, NAN, 2, 3]), arr([1, 2, 3, NAN])), 0.0),
    (lambda: nv.kendall_tau(arr([1, 2]), arr([1, 2])), NAN),
    (lambda: nv.spearman_correlation(arr([1, 1, 2]), arr([1, 2, 3])), 1.0),
    (lambda: nv.spearman_correlation(arr([1, 2, 3, 4, 5]), arr([5, 6, 7, 8, 7])), 0.9),
    (lambda: nv.spearman_correlation(arr([3, 1, 2]), arr([1, 2, 3])), -0.5),
    (lambda: nv.spearman_correlation(arr([3, 1, 3, 2]), arr([2, 0, 3, 1])), 1.0),  # ordinal ranks
    (lambda: nv.partial_correlation(arr([1, 2, 3, 4]), arr([1, 3, 2, 4]), arr([1, -1, -1, 1])), 0.8),
    (lambda: nv.partial_correlation(arr([1, 2, 3, 4]), arr([1, 3, 2, 4]), arr([1, 2, 3, 4])), NAN),
    (lambda: nv.partial_correlation(arr([1, 2, 3, 4]), arr([1, 3, 2, 4]), arr([2, 2, 2, 2])), NAN),
    (lambda: nv.autocorrelation(arr([1, 2, 3, 4, 5]), 1), 1.0),
    (lambda: nv.autocorrelation(arr([1, 2, 1, 2, 1, 2]), 1), -1.0),
    (lambda: nv.autocorrelation(arr([1, 2, 3]), 2), NAN),
    (lambda: nv.autocorrelation(arr([5, 5, 5]), 0), NAN),
    (lambda: nv.autocorrelation(arr([1, NAN, 2, 3]), 1), 1.0),
    (lambda: nv.autocorrelation_function(arr([1, 2, 1, 2, 1, 2]), 10), [1.0, -1.0, 1.0, -1.0, 1.0]),
    (lambda: nv.autocorrelation_function(arr([0, 1, 2, 3, 2, 1, 0, 1, 2, 3, 2, 1]), -1),
     [1.0, 0.4367701010467745, -0.4879500364742666, -1.0, -0.4472135954999579, 0.48238191061886593, 1.0]),
    (lambda: nv.autocorrelation_function(arr([3, 3, 3, 3]), -1), [1.0, NAN, NAN]),
    (lambda: nv.autocorrelation_function(arr([1, 2]), 3), NAN1),
    (lambda: nv.acf_decay_time(arr([0, 1, 2, 3, 2, 1, 0, 1, 2, 3, 2, 1]), 0.0), 2.0),
    (lambda: nv.acf_decay_time(arr([1, 2, 3, 4, 5, 6, 7, 8]), 0.5), 4.0),
    (lambda: nv.acf_decay_time(arr([1, 2, 1, 2, 1, 2]), NAN), 3.0),
    (lambda: nv.partial_autocorrelation(arr([2, 4, 3, 5, 1, 6, 2, 7, 3]), 3),
     [1.0, -0.7709153335180904, 0.6468444450855874, -0.15288457494827007]),
    (lambda: nv.partial_autocorrelation(arr([1, 2, 1, 2, 1, 2]), 2), [1.0, -1.0, 0.0]),
    (lambda: nv.partial_autocorrelation(arr([1.0]), 0), NAN1),
    (lambda: nv.cross_correlation(arr([1, 2, 3]), arr([1, 2, 3]), -1, True), [-0.5, 0.0, 1.0, 0.0, -0.5]),
    (lambda: nv.cross_correlation(arr([0, 1, 0, 0]), arr([0, 0, 1, 0]), -1, False),
     [0.0625, 0.125, -0.3125, -0.25, 0.6875, -0.375, 0.0625]),
    (lambda: nv.cross_correlation(arr([0, 1, 0, 0]), arr([0, 0, 1, 0]), -1, True)[4], 0.9166666666666666),
    (lambda: nv.lag_at_max_xcorr(arr([0, 1, 0, 0]), arr([0, 0, 1, 0]), 3), 1),
    (lambda: nv.cross_correlation(np.zeros(3), np.zeros(3), -1, True), [0.0] * 5),
    (lambda: nv.lag_at_max_xcorr(np.zeros(3), np.zeros(3), -1), -2),
    (lambda: nv.cross_correlation(arr([1, 2, 3]), arr([1, 2, 3, 4]), 1, True), NAN1),
    (lambda: nv.cross_correlation(arr([1, 2, 3]), arr([1, NAN, 3]), 1, True), [NAN] * 3),
    (lambda: nv.lag_at_max_xcorr(arr([1, 2, 3]), arr([1, NAN, 3]), 1), 0),
    (lambda: nv.cross_spectral_density(arr([0, 1, 0, -1, 0, 1, 0, -1]), arr([1, 0, -1, 0, 1, 0, -1, 0]), 4)[2][1],
     pytest.approx(-0.5625)),
    (lambda: nv.coherence(arr([0, 1, 0, -1, 0, 1, 0, -1]), arr([1, 0, -1, 0, 1, 0, -1, 0]), 4)[1],
     pytest.approx([1.0, 1.0, 1.0])),
    (lambda: nv.coherence(np.arange(5.0), np.ones(5), 1), [[0.0], [0.0]]),
    (lambda: nv.cross_spectral_density(np.arange(5.0), np.ones(5), 1), [[0.0], NAN1, NAN1]),
    (lambda: nv.coherence(np.arange(5.0), np.ones(5), 2)[1], [0.0, 0.0]),
    (lambda: nv.coherence(np.arange(8.0), np.arange(9.0), 0), [NAN1, NAN1]),
    (lambda: nv.cross_spectral_density(np.arange(3.0), np.arange(3.0), 4), [NAN1] * 3),
    (lambda: nv.wavelet_coherence(np.arange(100.0), np.arange(100.0), 5)[0], [2.0, 4.0, 7.0, 13.0, 25.0]),
    (lambda: nv.wavelet_coherence(np.arange(40.0), np.arange(40.0), 100)[0], [float(s) for s in range(2, 11)]),
    (lambda: nv.wavelet_coherence(np.arange(10.0), np.arange(10.0), 3)[0], [2.0]),
    (lambda: nv.wavelet_coherence(np.ones(40), np.arange(40.0), 3)[1], [NAN] * 3),
    (lambda: nv.wavelet_coherence(np.ones(40), np.ones(40), 0), [[], []]),
    (lambda: nv.wavelet_coherence(np.ones(20), np.ones(21), 3), [NAN1, NAN1]),
]


def plain(v):
    if isinstance(v, (tuple, list, np.ndarray)):
        return [plain(e) for e in v]
    return float(v) if isinstance(v, np.floating) else v


def same_nested(a, b):
    if isinstance(b, list):
        return isinstance(a, list) and len(a) == len(b) and all(same_nested(x, y) for x, y in zip(a, b))
    return same(a, b) if isinstance(b, float) else a == b


@pytest.mark.parametrize("call, expected", KNOWN)
def test_known_answers(call, expected):
    got = call()
    if isinstance(expected, (float, list)):
        assert same_nested(plain(got), expected)
    else:
        assert got == expected


def test_zero_segment_length_panics():
    with pytest.raises(BaseException, match="attempt to divide by zero") as info:
        nv.coherence(np.arange(8.0), np.arange(8.0), 0)
    assert type(info.value).__name__ == "PanicException"
