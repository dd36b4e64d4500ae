"""Correlation coefficients, autocorrelation family, cross-correlation, coherence, wavelet coherence."""

import math
import time

import numpy as np
import pytest
import scipy.signal
import scipy.stats

from helpers import NAN, INF, arr, assert_stops_on_ctrl_c, in_order_sum, layouts, panics, same, sanitized
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


def test_docs():
    assert {n: (getattr(nv, n).__text_signature__, getattr(nv, n).__doc__) for n in DOCS} == DOCS


def test_coefficients_against_scipy():
    x, z = rng.standard_normal(400), rng.standard_normal(400)
    y = 0.6 * x + rng.standard_normal(400)
    x[[3, 50]], y[[50, 99]] = [NAN, INF], [-INF, NAN]
    xs, ys = x[keep := np.isfinite(x) & np.isfinite(y)], y[keep]
    assert nv.correlation(x, y) == pytest.approx(scipy.stats.pearsonr(xs, ys)[0], rel=1e-13)
    assert nv.covariance(x, y) == pytest.approx(np.cov(xs, ys)[0, 1], rel=1e-13)
    assert nv.spearman_correlation(x, y) == pytest.approx(scipy.stats.spearmanr(xs, ys)[0], rel=1e-13)
    assert nv.kendall_tau(x, y) == pytest.approx(scipy.stats.kendalltau(xs, ys)[0], rel=1e-13)
    r = np.corrcoef([xs, ys, z[keep]])
    expected = (r[0, 1] - r[0, 2] * r[1, 2]) / math.sqrt((1 - r[0, 2] ** 2) * (1 - r[1, 2] ** 2))
    assert nv.partial_correlation(x, y, z) == pytest.approx(expected, rel=1e-12)


def kendall_pairwise(x, y):
    with np.errstate(under="ignore", over="ignore", invalid="ignore"):
        p = (np.subtract.outer(x, x) * np.subtract.outer(y, y))[np.triu_indices(len(x), 1)]
    nc, nd = int((p > 0).sum()), int((p < 0).sum())
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


def lagged(x, k):
    return np.corrcoef(x[:len(x) - k], x[k:])[0, 1]


def levinson_table(c):
    phi, out = np.zeros((len(c), len(c))), [1.0]
    for k in range(1, len(c)):  # k = 1: num = c[1], den = 1.0
        num = c[k] - sum(phi[k - 1, j] * c[k - j] for j in range(1, k))
        den = 1.0 - sum(phi[k - 1, j] * c[j] for j in range(1, k))
        phi[k, k] = 0.0 if abs(den) < 1e-10 else num / den
        for j in range(1, k):
            phi[k, j] = phi[k - 1, j] - phi[k, k] * phi[k - 1, k - j]
        out.append(phi[k, k])
    return out


def test_autocorrelation_family_against_numpy():
    xs = np.cumsum(rng.standard_normal(298))
    x = np.insert(xs, [10, 19], [NAN, -INF])
    expected = [1.0] + [lagged(xs, k) for k in range(1, 41)]
    np.testing.assert_allclose(nv.autocorrelation_function(x, 40), expected, rtol=1e-12)
    assert nv.autocorrelation(x, 7) == pytest.approx(expected[7], rel=1e-12)
    np.testing.assert_allclose(nv.partial_autocorrelation(x, 40), levinson_table(expected), rtol=1e-9, atol=1e-12)
    assert len(acf := nv.autocorrelation_function(x, -1)) == len(xs) // 2 + 1
    assert acf[1:].tolist() == [nv.autocorrelation(xs, k) for k in range(1, len(acf))]  # lag blocks
    assert nv.acf_decay_time(x, 0.5) == next(k for k in range(1, len(acf)) if acf[k] < 0.5)


def test_partial_autocorrelation_of_ar1_and_huge_lags():
    x = scipy.signal.lfilter([1.0], [1.0, -0.7], rng.standard_normal(5000))  # AR(1), coefficient 0.7
    pacf = nv.partial_autocorrelation(x, 5)
    assert abs(pacf[1] - 0.7) < 0.05 and np.all(np.abs(pacf[2:]) < 0.06)
    assert np.isnan(nv.partial_autocorrelation(arr([1, 2, 3]), 6)).sum() == 7
    # The result is allocated before any work (the sanitizer's allocator aborts instead of failing).
    for lag in (2**60 - 1, 2**64 - 1) + (() if sanitized() else (2**59,)):
        with pytest.raises(BaseException, match="capacity overflow|^$") as info:
            nv.partial_autocorrelation(arr([1, 2, 3]), lag)
        assert type(info.value).__name__ == ("MemoryError" if lag < 2**60 - 1 else "PanicException")


def in_order_profile(x, y, L):
    n = len(x)
    mx, my = in_order_sum(x) / n, in_order_sum(y) / n  # not sum(): it compensates
    xc, yc = [v - mx for v in x], [v - my for v in y]
    return [in_order_sum([xc[t] * yc[t + k] for t in range(max(0, -k), min(n, n - k))]) for k in range(-L, L + 1)]


@pytest.mark.parametrize("max_lag", [-1, 0, 5, 13, 40, 10**6])
def test_cross_correlation_against_np_correlate(max_lag):
    x, y = rng.standard_normal(150), np.roll(rng.standard_normal(150), 3)
    xc, yc = x - x.mean(), y - y.mean()
    full = np.correlate(yc, xc, "full")  # element n - 1 + k is sum of xc[t] * yc[t + k]
    L = 149 if max_lag < 0 or max_lag > 149 else max_lag
    raw = nv.cross_correlation(x, y, max_lag, False)
    np.testing.assert_allclose(raw, full[149 - L:150 + L], rtol=1e-10, atol=1e-12)
    assert raw.tolist() == in_order_profile(x.tolist(), y.tolist(), L)  # each sum in order, exactly
    norm = nv.cross_correlation(layouts(x)["strided"], layouts(y)["reversed"], max_lag, True)
    np.testing.assert_allclose(norm, raw / math.sqrt(np.sum(xc**2) * np.sum(yc**2)), rtol=1e-12)
    assert norm[L] == pytest.approx(np.corrcoef(x, y)[0, 1], rel=1e-12)
    assert nv.lag_at_max_xcorr(x, y, max_lag) == int(np.argmax(raw)) - L
    z = rng.standard_normal(500)  # a delayed copy peaks at its delay
    assert (nv.lag_at_max_xcorr(z[5:], z[:-5], -1), nv.lag_at_max_xcorr(z[:-5], z[5:], 20)) == (5, -5)


def textbook_spectra(x, y, L):
    w = scipy.signal.windows.hann(L, sym=True)
    S = len(x) // L
    X = np.fft.rfft(x[:S * L].reshape(S, L) * w, axis=1)
    Y = np.fft.rfft(y[:S * L].reshape(S, L) * w, axis=1)
    return (np.mean(np.abs(X) ** 2, 0), np.mean(np.abs(Y) ** 2, 0), np.mean(X * np.conj(Y), 0))


def direct_dft(seg):
    L, out = len(seg), []
    for k in range(L // 2 + 1):
        a, re, im = k * 6.283185307179586, 0.0, 0.0
        for t in range(L):
            re, im = re + math.cos((a * t) / L) * seg[t], im - math.sin((a * t) / L) * seg[t]
        out.append((re, im))
    return out


@pytest.mark.parametrize("L", [3, 4, 9, 16, 33, 64])
def test_coherence_and_csd_against_fft_scipy_and_direct_sums(L):
    x = rng.standard_normal(1000)
    y = np.convolve(x, [0.5, 0.3, -0.2], "same") + 0.5 * rng.standard_normal(1000)
    pxx, pyy, pxy = textbook_spectra(x, y, L)
    freqs, coh = nv.coherence(x, layouts(y)["strided"], L)
    np.testing.assert_allclose(freqs, np.arange(L // 2 + 1) / L)
    np.testing.assert_allclose(coh, np.abs(pxy) ** 2 / (pxx * pyy), rtol=1e-9)
    S, inner = len(x) // L, slice(1, -1 if L % 2 == 0 else None)  # SciPy treats DC and Nyquist apart
    _, ref = scipy.signal.coherence(x[:S * L], y[:S * L], window=scipy.signal.windows.hann(L, sym=True), nperseg=L,
                                    noverlap=0, detrend=False)
    np.testing.assert_allclose(coh[inner], ref[inner], rtol=1e-8)
    _, re, im = nv.cross_spectral_density(x, y, L)
    np.testing.assert_allclose(re + 1j * im, pxy, rtol=1e-9, atol=1e-9 * np.abs(pxy).max())
    w = [(1.0 - math.cos((i * 6.283185307179586) / (L - 1))) * 0.5 for i in range(L)]
    cre, cim = [0.0] * (L // 2 + 1), [0.0] * (L // 2 + 1)  # the direct sums, in order, exactly
    for s in range(S):
        X, Y = (direct_dft([v[s * L + i] * w[i] for i in range(L)]) for v in (x.tolist(), y.tolist()))
        for k, ((a, b), (c, d)) in enumerate(zip(X, Y)):
            cre[k], cim[k] = cre[k] + (a * c + b * d), cim[k] + (b * c - a * d)
    assert re.tolist() == [v / S for v in cre] and im.tolist() == [v / S for v in cim]
    assert "attempt to divide by zero" in panics(nv.coherence, x, y, 0)


def ref_wavelet(x, y, scales):
    out = []
    for s in scales:
        blocks = [(x[b * s:(b + 1) * s], y[b * s:(b + 1) * s]) for b in range(len(x) // s)]
        r2 = [np.corrcoef(bx, by)[0, 1] ** 2 for bx, by in blocks
              if np.isfinite(bx).all() and np.isfinite(by).all() and bx.std() > 0 and by.std() > 0]
        out.append(np.mean(r2) if r2 else NAN)
    return out


def test_wavelet_coherence_against_block_pearson_and_huge_scale_counts():
    x = rng.standard_normal(1000)
    y, x[123] = x + rng.standard_normal(1000), NAN
    scales, values = nv.wavelet_coherence(x, layouts(y)["reversed"], 10)
    assert scales.tolist() == [2, 3, 5, 9, 16, 27, 48, 83, 144, 250]
    np.testing.assert_allclose(values, ref_wavelet(x, y, scales.astype(int)), rtol=1e-11)
    x, K = x[500:900], 2**20 + 7  # past the direct loop: the distinct scales are searched for
    cand = np.unique(np.round(10.0 ** ((math.log10(100) * np.arange(1, K + 1, dtype=np.float64)) / K)))
    expected = cand[(cand >= 2) & (cand < 400)]
    assert nv.wavelet_coherence(x, x, K)[0].tolist() == expected.tolist()
    t0 = time.perf_counter()
    scales, values = nv.wavelet_coherence(x, -x, 2**64 - 1)
    assert time.perf_counter() - t0 < 1.0
    assert scales.tolist() == list(range(2, 101)) and np.allclose(values, 1.0)


@pytest.mark.parametrize("scale", [1e80, 1e-85, 1e150, 1e-150])
def test_correlations_do_not_depend_on_scale(scale):
    x = rng.standard_normal(64)
    y = x + rng.standard_normal(64)
    for f in (nv.correlation, lambda a, b: nv.partial_correlation(a, b, a[::-1]), lambda a, b: nv.autocorrelation_function(a, 10),
              lambda a, b: nv.wavelet_coherence(a, b, 4)[1], lambda a, b: nv.cross_correlation(a, b, 5, True)):
        np.testing.assert_allclose(f(x * scale, y * scale), f(x, y), rtol=1e-12, atol=1e-15)
    assert nv.lag_at_max_xcorr(x * scale, np.roll(y, 2) * scale, 5) == nv.lag_at_max_xcorr(x, np.roll(y, 2), 5)


def same_nested(a, b):
    if isinstance(b, list):
        return len(a) == len(b) and all(same_nested(x, y) for x, y in zip(a, b))
    return same(float(a), b) if isinstance(b, float) else a == b


def check(fn, *cases):
    """Each case (arguments, expected): list arguments become arrays; NaN expects NaN."""
    for args, want in cases:
        got = fn(*[arr(v) if isinstance(v, list) else v for v in args])
        assert same_nested(got, want), (fn.__name__, args, got)


def test_worked_examples():
    check(nv.covariance, (([1, 2, 3, 4], [2, 4, 6, 8]), 3.3333333333333335), (([5, 5, 5], [1, 2, 3]), 0.0))
    check(nv.correlation, (([1, 2, 3], [3, 2, 1]), -1.0), (([5, 5, 5], [1, 2, 3]), NAN),
          (([1, 2, NAN, 4], [2, 4, 7, 8]), 1.0), (([1, 2, INF, 4], [2, 4, 7, 8]), 1.0), (([1, 2, 3], [1, 2, 3, 4]), NAN))
    check(nv.kendall_tau, (([1, 1, 2], [1, 2, 3]), 1.0), (([1, 2, 3, 4], [1, 3, 2, 4]), 0.6666666666666666),
          (([1, NAN, 2, 3], [1, 2, 3, NAN]), 0.0), (([1, 2], [1, 2]), NAN))
    check(nv.spearman_correlation, (([1, 1, 2], [1, 2, 3]), 1.0), (([1, 2, 3, 4, 5], [5, 6, 7, 8, 7]), 0.9),
          (([3, 1, 2], [1, 2, 3]), -0.5), (([3, 1, 3, 2], [2, 0, 3, 1]), 1.0))  # ordinal ranks
    check(nv.partial_correlation, (([1, 2, 3, 4], [1, 3, 2, 4], [1, -1, -1, 1]), 0.8),
          (([1, 2, 3, 4], [1, 3, 2, 4], [1, 2, 3, 4]), NAN), (([1, 2, 3, 4], [1, 3, 2, 4], [2, 2, 2, 2]), NAN))
    check(nv.autocorrelation, (([1, 2, 3, 4, 5], 1), 1.0), (([1, 2, 1, 2, 1, 2], 1), -1.0), (([1, 2, 3], 2), NAN),
          (([5, 5, 5], 0), NAN), (([1, NAN, 2, 3], 1), 1.0))
    check(nv.autocorrelation_function, (([1, 2, 1, 2, 1, 2], 10), [1.0, -1.0, 1.0, -1.0, 1.0]),
          (([0, 1, 2, 3, 2, 1, 0, 1, 2, 3, 2, 1], -1), [1.0, 0.4367701010467745, -0.4879500364742666, -1.0,
                                                        -0.4472135954999579, 0.48238191061886593, 1.0]),
          (([3, 3, 3, 3], -1), [1.0, NAN, NAN]), (([1, 2], 3), [NAN]))
    check(nv.acf_decay_time, (([0, 1, 2, 3, 2, 1, 0, 1, 2, 3, 2, 1], 0.0), 2.0), (([1, 2, 3, 4, 5, 6, 7, 8], 0.5), 4.0),
          (([1, 2, 1, 2, 1, 2], NAN), 3.0))
    check(nv.partial_autocorrelation, (([1, 2, 1, 2, 1, 2], 2), [1.0, -1.0, 0.0]), (([1.0], 0), [NAN]),
          (([2, 4, 3, 5, 1, 6, 2, 7, 3], 3), [1.0, -0.7709153335180904, 0.6468444450855874, -0.15288457494827007]))
    check(nv.cross_correlation, (([1, 2, 3], [1, 2, 3], -1, True), [-0.5, 0.0, 1.0, 0.0, -0.5]),
          (([0, 1, 0, 0], [0, 0, 1, 0], -1, False), [0.0625, 0.125, -0.3125, -0.25, 0.6875, -0.375, 0.0625]),
          (([0, 1, 0, 0], [0, 0, 1, 0], 1, True), [-0.3125 / 0.75, -0.25 / 0.75, 0.9166666666666666]),
          (([0, 0, 0], [0, 0, 0], -1, True), [0.0] * 5), (([1, 2, 3], [1, 2, 3, 4], 1, True), [NAN]),
          (([1, 2, 3], [1, NAN, 3], 1, True), [NAN] * 3))
    check(nv.lag_at_max_xcorr, (([0, 1, 0, 0], [0, 0, 1, 0], 3), 1), (([0, 0, 0], [0, 0, 0], -1), -2),
          (([1, 2, 3], [1, NAN, 3], 1), 0))
    sine, cosine = [0, 1, 0, -1, 0, 1, 0, -1], [1, 0, -1, 0, 1, 0, -1, 0]
    assert nv.cross_spectral_density(arr(sine), arr(cosine), 4)[2][1] == pytest.approx(-0.5625)
    check(nv.coherence, ((sine, cosine, 4), [[0.0, 0.25, 0.5], pytest.approx([1.0, 1.0, 1.0])]),
          (([0, 1, 2, 3, 4], [1] * 5, 1), [[0.0], [0.0]]), (([0, 1, 2, 3, 4], [1] * 5, 2), [[0.0, 0.5], [0.0, 0.0]]),
          ((list(range(8)), list(range(9)), 0), [[NAN], [NAN]]))
    check(nv.cross_spectral_density, (([0, 1, 2, 3, 4], [1] * 5, 1), [[0.0], [NAN], [NAN]]),
          (([0, 1, 2], [0, 1, 2], 4), [[NAN]] * 3))
    check(nv.wavelet_coherence, ((list(range(100)), list(range(100)), 5), [[2.0, 4.0, 7.0, 13.0, 25.0], [1.0] * 5]),
          ((list(range(40)), list(range(40)), 100), [[float(s) for s in range(2, 11)], [1.0] * 9]),
          ((list(range(10)), list(range(10)), 3), [[2.0], [1.0]]), (([1] * 40, list(range(40)), 3), [[2.0, 5.0, 10.0], [NAN] * 3]),
          (([1] * 40, [1] * 40, 0), [[], []]), (([1] * 20, [1] * 21, 3), [[NAN], [NAN]]))


def test_long_calls_stop_on_ctrl_c():
    big = "g = np.random.default_rng(0); x = g.normal(size={0}); y = g.normal(size={0})"
    assert_stops_on_ctrl_c({
        "lags": (big.format(10**6), "nv.autocorrelation_function(x, 10**6)"),
        "partial_lags": (big.format(10**6), "nv.partial_autocorrelation(x, 10**6 - 2)"),
        "decay_lags": ("x = np.arange(2e6)", "nv.acf_decay_time(x, -2.0)"),
        "cross_lags": (big.format(10**6), "nv.cross_correlation(x, y, -1, True)"),
        "lag_at_max": (big.format(10**6), "nv.lag_at_max_xcorr(x, y, -1)"),
        "kendall_pairs": ("x = np.arange(10**6) * 1e-170; y = x[::-1].copy()", "nv.kendall_tau(x, y)"),
        "direct_dft": (big.format(2**22), "nv.coherence(x, y, 2**15)"),
        "direct_dft_table": (big.format(2**22), "nv.cross_spectral_density(x, y, 1448)"),
        "wavelet_scales": (big.format(10**7), "nv.wavelet_coherence(x, y, 2**64 - 1)"),
    })
