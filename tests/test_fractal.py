"""DFA, Hurst exponent and rescaled range, variance growth, long-range correlation."""

import math
import time

import nolds
import numpy as np
import pytest

from helpers import NAN, INF, arr, assert_stops_on_ctrl_c, in_order_sum, panics, needs_memory_error
from nuvra import _rust as nv

rng = np.random.default_rng(11)
NOISE = rng.standard_normal(4096)


DOCS = {
    "hurst_exponent": ("(signal, method)", "Compute Hurst exponent using R/S method."),
    "dfa": ("(signal, min_scale, max_scale, order)", "Compute DFA exponent."),
    "hurst_r2": ("(signal)", "Compute R\u00b2 of Hurst fit."),
    "detrended_fluctuation_analysis": ("(signal, min_scale, max_scale, n_scales)",
                                       "Detrended fluctuation analysis (full output)."),
    "rescaled_range": ("(signal, segment_size)", "Compute rescaled range (R/S) statistic."),
    "long_range_correlation": ("(signal, max_lag)",
                               "Analyse long-range correlation via autocorrelation power-law decay."),
    "variance_growth": ("(signal, max_lag)", "Analyse variance growth with aggregation scale."),
}


def test_docs_and_signatures():
    for name, (sig, doc) in DOCS.items():
        assert (getattr(nv, name).__text_signature__, getattr(nv, name).__doc__) == (sig, doc)


def ols(xs, ys):
    n, sx, sy = len(xs), sum(xs), sum(ys)
    den = sum(np.square(xs)) * n - sx * sx
    return 0.0 if abs(den) < 1e-15 else (sum(np.multiply(xs, ys)) * n - sx * sy) / den


def seg_rss(seg):
    t = np.arange(len(seg), dtype=float)
    b, a = np.polyfit(t, seg, 1) if len(seg) > 1 else (0.0, seg[0])
    return float(np.sum((seg - (a + b * t)) ** 2))


def dfa_grid(n, lo, hi):
    a, m = math.log10(lo), min(int(n * 0.25), 256) if hi < 0 else hi
    s = [int(10.0 ** (a + ((math.log10(m) - a) * k) / 19.0)) for k in range(20)]
    return [v for i, v in enumerate(s) if i == 0 or s[i - 1] != v]


def dfa_ref(x, lo, hi):
    y, pts = np.cumsum(x - x.mean()), []
    for s in (s for s in dfa_grid(len(x), lo, hi) if len(x) // s >= 2):
        f2 = sum(seg_rss(y[v * s:(v + 1) * s]) / s for v in range(len(x) // s)) / (len(x) // s)
        pts.append((math.log(s), math.log(math.sqrt(f2))))
    return ols(*zip(*pts)) if len(pts) >= 3 else NAN


def rs_points_ref(x):
    pts = []
    for w in range(10, min(len(x) // 4, 500)):
        dev = x[:len(x) // w * w].reshape(-1, w)
        dev = dev - dev.mean(axis=1, keepdims=True)
        y, var = np.cumsum(dev, axis=1), (dev ** 2).sum(axis=1) / (w - 1)
        mean = np.sum(np.ptp(y, axis=1)[var > 0] / np.sqrt(var[var > 0])) / len(dev)
        pts += [(math.log(w), math.log(mean))] if mean > 0 else []
    return [p[0] for p in pts], [p[1] for p in pts]


def scales_ref(lo, hi, k):   # each grid value rounded half away from zero
    a, d = math.log10(lo), math.log10(hi) - math.log10(lo)
    vs = (10.0 ** (a + (d * float(i)) / float(max(k, 2) - 1)) for i in range(k))
    return sorted({s for s in (math.floor(v) + (v - math.floor(v) >= 0.5) for v in vs)
                   if lo <= s <= hi})


@pytest.mark.parametrize("signal, lo, hi, expect", [
    (NOISE, 4, -1, 0.5), (np.cumsum(NOISE), 4, -1, 1.5), (NOISE[:500], 8, 100, 0.5),
    (np.cumsum(NOISE), 100, 10, 1.5)])
def test_dfa_known_exponents_and_numpy_reference(signal, lo, hi, expect):
    got = nv.dfa(signal, lo, hi, 1)
    assert got == pytest.approx(expect, abs=0.12)
    assert got == pytest.approx(dfa_ref(signal, lo, hi), rel=1e-9)
    # nolds defines the same fluctuation (root of the mean square residual)
    nvals = [s for s in dfa_grid(len(signal), lo, hi) if len(signal) // s >= 2]
    assert got == pytest.approx(nolds.dfa(signal, nvals=nvals, overlap=False, order=1), rel=1e-9)


def test_dfa_order_ignored_and_degenerate_cases():
    x = NOISE[:300]
    assert len({nv.dfa(x, 4, -1, o) for o in (1, 7, 0, -3, 2)}) == 1
    short = np.concatenate([NOISE[:63], [NAN, INF]])
    # short input; F(1) = 0; no scale with two segments; no negative scale: NaN, not a fit
    for args in ((short, 4, -1), (short, 0, -1), (x, 1, -1), (x, 200, 250), (x, -1, -1),
                 (x, -4, -1), (x, -2**31, -1)):
        assert math.isnan(nv.dfa(*args, 1))
    assert all(panics(nv.dfa, x, lo, hi, 1) for lo, hi in ((0, -1), (4, 0)))
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        nv.dfa(x, 2**31, -1, 1)
    assert nv.dfa(NOISE[:64], 4, -1, 1) == pytest.approx(dfa_ref(NOISE[:64], 4, 16), rel=1e-9)


def test_hurst_and_rescaled_range_against_reference():
    x = NOISE[:2000]
    xs, ys = rs_points_ref(x)
    h = nv.hurst_exponent(x, "rs")
    assert h == pytest.approx(min(max(ols(xs, ys), 0.0), 1.0), rel=1e-9)
    assert h == pytest.approx(0.5, abs=0.1)
    assert h == pytest.approx(nolds.hurst_rs(x, nvals=range(10, 500), fit="poly",
                                             corrected=False), rel=1e-9)
    r = np.array(ys) - np.polyval(np.polyfit(xs, ys, 1), xs)
    assert nv.hurst_r2(x) == pytest.approx(1 - r @ r / np.sum((ys - np.mean(ys)) ** 2), rel=1e-9)
    assert nv.hurst_exponent(x, "dfa") == nv.dfa(x, 4, -1, 1)
    assert all(nv.hurst_exponent(x, m) == h for m in ("DFA", "dfa ", "", "Dfa"))
    assert [math.isfinite(nv.hurst_exponent(NOISE[:n], "rs")) for n in (9, 43, 44, 52)] == [0, 0, 0, 1]
    assert math.isnan(nv.hurst_exponent(NOISE[:9], "dfa")) and math.isnan(nv.hurst_exponent(NOISE[:63], "dfa"))
    assert nv.hurst_exponent(np.arange(400.0) ** 2, "rs") == 1.0   # slope above 1 clamps
    ones = np.ones(500)   # every segment variance 0: no point, NaN
    assert all(map(math.isnan, (nv.hurst_exponent(ones, "rs"), nv.hurst_r2(ones), nv.rescaled_range(ones, -1))))
    x = np.concatenate([NOISE[:60], [NAN], NOISE[60:120]])
    for size, used in ((0, 0), (1, 1), (50, 50), (-1, 120), (10**6, 120)):
        z = NOISE[:used]
        want = np.ptp(np.cumsum(z - z.mean())) / np.std(z, ddof=1) if used >= 2 else NAN
        assert nv.rescaled_range(x, size) == pytest.approx(want, rel=1e-12, nan_ok=True)
        assert math.isnan(nv.rescaled_range(arr([1.0]), size))


def test_variance_growth():
    scales, slope = nv.variance_growth(NOISE, -1)
    assert np.array_equal(scales, np.arange(1.0, 1025.0))
    pts = [(math.log(m), math.log(np.var(NOISE[:len(NOISE) // m * m].reshape(-1, m).mean(1))))
           for m in range(1, 1025)]
    assert slope == pytest.approx(ols(*zip(*pts)), rel=1e-9)
    assert nv.variance_growth(NOISE, 64)[1] == pytest.approx(-1.0, abs=0.1)  # many blocks each
    assert np.array_equal(nv.variance_growth(NOISE[:100], -1)[0], np.arange(1.0, 26.0))
    s, v = nv.variance_growth(NOISE[:40], 100)   # scales above n/2 stay in the array, not the fit
    assert len(s) == 100 and v == pytest.approx(nv.variance_growth(NOISE[:40], 20)[1])
    for sig, lag, size in ((NOISE[:50], 0, 1), (NOISE[:50], 1, 1), (NOISE[:19], -1, 0), (np.ones(100), -1, 25)):
        s, v = nv.variance_growth(sig, lag)
        assert np.array_equal(s, np.arange(1.0, size + 1)) and math.isnan(v)


def test_long_range_correlation():
    x = np.cumsum(NOISE)[:300]
    acf, g = nv.long_range_correlation(x, 200)
    d = x - in_order_sum(x) / 300
    ref = np.array([in_order_sum(d[:300 - k] * d[k:]) for k in range(201)]) / in_order_sum(d * d)
    assert np.array_equal(acf, ref) and acf[0] == 1.0   # every lag summed in order
    k = np.arange(1, 201)[ref[1:] > 0]
    assert g == pytest.approx(-ols(np.log(k), np.log(ref[k])), rel=1e-8)
    assert nv.long_range_correlation(x, -1)[0].tolist() == ref[:76].tolist()
    assert [len(nv.long_range_correlation(x[:30], lag)[0]) for lag in (0, 10**9)] == [2, 30]
    acf, g = nv.long_range_correlation(np.ones(40), -1)
    assert acf.tolist() == [0.0] * 11 and math.isnan(g)
    alt = np.where(np.arange(64) % 2, 1.0, -1.0) + 0.01 * NOISE[:64]
    acf, g = nv.long_range_correlation(alt, 4)
    assert acf[1] < 0 and math.isfinite(g)
    assert nv.long_range_correlation(x[:19], -1)[0].size == 0


def test_multiscale_dfa_grid_fluctuations_and_alpha():
    x = NOISE[:1000] + np.linspace(0, 3, 1000)
    s, f, alpha = nv.detrended_fluctuation_analysis(x, 4, -1, 20)
    assert s.tolist() == [4, 5, 6, 8, 10, 12, 15, 18, 23, 28, 35, 44, 54, 68, 84, 105, 130, 162,
                          201, 250]
    y = np.cumsum(x - x.mean())
    ref = [np.mean([math.sqrt(seg_rss(y[v * k:(v + 1) * k]) / k) for v in range(1000 // k)])
           for k in s.astype(int)]
    assert np.allclose(f, ref, rtol=1e-9)
    assert alpha == pytest.approx(ols(np.log(s), np.log(ref)), rel=1e-9)
    s, f, a = nv.detrended_fluctuation_analysis(NOISE[:100], 30, 150, 3)   # two points suffice
    assert a == pytest.approx(math.log(f[1] / f[0]) / math.log(67 / 30), rel=1e-9)
    s, f, a = nv.detrended_fluctuation_analysis(np.ones(200), 4, -1, 10)
    assert len(s) == 10 and not f.any() and math.isnan(a)
    assert all(panics(nv.detrended_fluctuation_analysis, sig, 0, -1, 1) for sig in (np.empty(0), NOISE))


@pytest.mark.parametrize("n, lo, hi, k, scales", [
    (1000, 4, -1, 0, []), (1000, 4, -1, 1, [4]), (1000, 4, -1, 2, [4, 250]),
    (1000, 4, 9, 50, [4, 5, 6, 7, 8, 9]), (7, 4, -1, 5, []), (1000, 10, 9, 5, []),
    (1000, 4, 9, 2**64 - 1, [4, 5, 6, 7, 8, 9]), (1000, 4, -1, 2**63, range(4, 251)),
    (100, 30, 150, 3, [30, 67, 150]),
    # a run of consecutive scales, then scales far apart, up to far beyond the signal
    (64, 2, 2**40, 200_000, None), (64, 3, 10**6, 50_000, None), (2000, 1000, 2**50, 30_000, None),
    (64, 32, 2**62, 1000, None), (64, 1, 10**6, 10**12, range(1, 10**6 + 1))])
def test_multiscale_dfa_scale_sets(n, lo, hi, k, scales):
    scales = np.array(scales_ref(lo, hi, k) if scales is None else scales, dtype=float)
    s, f, alpha = nv.detrended_fluctuation_analysis(NOISE[:n], lo, hi, k)
    assert np.array_equal(s, scales) and len(f) == len(s) and np.isnan(f[s > n]).all()
    assert math.isnan(alpha) == (np.count_nonzero((2 <= s) & (s <= n)) < 2)


@needs_memory_error
def test_results_sized_by_a_parameter_are_allocated_at_once():
    start = time.monotonic()
    for args in ((8, 2**40, 2**63 - 1), (8, 2**44, 2**64 - 1), (1, 2**62, 10**15)):  # 8 TiB and more
        pytest.raises(MemoryError, nv.detrended_fluctuation_analysis, NOISE[:64], *args)
    pytest.raises(MemoryError, nv.variance_growth, NOISE, 2**44)   # 2**44 aggregation scales
    assert time.monotonic() - start < 1.0


def test_long_calls_stop_on_ctrl_c():
    noise = "x = np.random.default_rng(0).standard_normal({})"
    assert_stops_on_ctrl_c({
        "dfa scales": (noise.format(2**20), "nv.detrended_fluctuation_analysis(x, 2, -1, 2**63 - 1)"),
        "variance growth": (noise.format(2 * 10**6), "nv.variance_growth(x, 10**6)"),
        "autocorrelation": (noise.format(4 * 10**6), "nv.long_range_correlation(x, 2**40)"),
        "r/s windows": (noise.format(10**7), "nv.hurst_exponent(x, 'rs')"),
    })
