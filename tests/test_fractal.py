"""DFA, Hurst exponent and rescaled range, variance growth, long-range correlation."""

import math

import nolds
import numpy as np
import pytest

from helpers import NAN, INF, LAYOUTS, arr, in_order_sum, layouts, panics
from nuvra import _rust as nv

rng = np.random.default_rng(11)
NOISE = rng.standard_normal(4096)
WALK = np.cumsum(NOISE)


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


def test_add_order_docs_and_signatures():
    for name, (sig, doc) in DOCS.items():
        assert (getattr(nv, name).__text_signature__, getattr(nv, name).__doc__) == (sig, doc)


# ---------------------------------------------------------------- references


def ols(xs, ys):
    n = len(xs)
    sx, sy, sxy, sxx = sum(xs), sum(ys), sum(np.multiply(xs, ys)), sum(np.square(xs))
    den = sxx * n - sx * sx
    return 0.0 if abs(den) < 1e-15 else (sxy * n - sx * sy) / den


def seg_rss(seg):
    t = np.arange(len(seg), dtype=float)
    b, a = np.polyfit(t, seg, 1) if len(seg) > 1 else (0.0, seg[0])
    return float(np.sum((seg - (a + b * t)) ** 2))


def dfa_grid(n, lo, hi):
    m = min(int(n * 0.25), 256) if hi < 0 else hi
    a = math.log10(lo)
    d = math.log10(m) - a
    out = []
    for k in range(20):
        s = int(10.0 ** (a + (d * k) / 19.0))
        if not out or out[-1] != s:
            out.append(s)
    return out


def dfa_ref(x, lo, hi):
    y = np.cumsum(x - x.mean())
    pts = []
    for s in dfa_grid(len(x), lo, hi):
        nseg = len(x) // s
        if nseg >= 2:
            f = math.sqrt(sum(seg_rss(y[v * s:(v + 1) * s]) / s for v in range(nseg)) / nseg)
            pts.append((math.log(s), math.log(f)))
    return ols(*zip(*pts)) if len(pts) >= 3 else NAN


def rs_points_ref(x):
    xs, ys = [], []
    for w in range(10, min(len(x) // 4, 500)):
        segs = x[:len(x) // w * w].reshape(-1, w)
        dev = segs - segs.mean(axis=1, keepdims=True)
        y = np.cumsum(dev, axis=1)
        var = (dev ** 2).sum(axis=1) / (w - 1)
        ok = var > 0
        mean = np.sum((y.max(1) - y.min(1))[ok] / np.sqrt(var[ok])) / len(segs)
        if mean > 0:
            xs.append(math.log(w))
            ys.append(math.log(mean))
    return xs, ys


# ---------------------------------------------------------------- dfa and hurst


@pytest.mark.parametrize("signal, lo, hi, expect", [
    (NOISE, 4, -1, 0.5), (WALK, 4, -1, 1.5), (NOISE[:500], 8, 100, 0.5), (WALK, 100, 10, 1.5)])
def test_dfa_known_exponents_and_numpy_reference(signal, lo, hi, expect):
    got = nv.dfa(signal, lo, hi, 1)
    assert got == pytest.approx(expect, abs=0.12)
    assert got == pytest.approx(dfa_ref(signal, lo, hi), rel=1e-9)
    # nolds defines the same fluctuation (root of the mean square residual)
    assert got == pytest.approx(nolds.dfa(signal, nvals=[s for s in dfa_grid(len(signal), lo, hi)
                                                          if len(signal) // s >= 2],
                                          overlap=False, order=1), rel=1e-9)


def test_dfa_order_ignored_and_degenerate_cases():
    x = NOISE[:300]
    assert len({nv.dfa(x, 4, -1, o) for o in (1, 7, 0, -3, 2)}) == 1
    short = np.concatenate([NOISE[:63], [NAN, INF]])
    assert math.isnan(nv.dfa(short, 4, -1, 1)) and math.isnan(nv.dfa(short, 0, -1, 1))
    assert math.isnan(nv.dfa(x, 1, -1, 1))            # F(1) = 0
    assert math.isnan(nv.dfa(x, 200, 250, 1))         # no scale with two segments
    for bad in (-1, -4, -2**31):                       # no negative scale: NaN, not a fit
        assert math.isnan(nv.dfa(x, bad, -1, 1))
    for lo, hi in ((0, -1), (4, 0)):
        panics(nv.dfa, x, lo, hi, 1)
    with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
        nv.dfa(x, 2**31, -1, 1)
    assert nv.dfa(NOISE[:64], 4, -1, 1) == pytest.approx(dfa_ref(NOISE[:64], 4, 16), rel=1e-9)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_hurst_rs_and_r2_against_reference(layout):
    x = layouts(NOISE[:2000])[layout]
    xs, ys = rs_points_ref(NOISE[:2000])
    h = nv.hurst_exponent(x, "rs")
    assert h == pytest.approx(min(max(ols(xs, ys), 0.0), 1.0), rel=1e-9)
    assert h == pytest.approx(0.5, abs=0.1)
    assert h == pytest.approx(nolds.hurst_rs(NOISE[:2000], nvals=range(10, 500), fit="poly",
                                             corrected=False), rel=1e-9)
    b, a = np.polyfit(xs, ys, 1)
    r = np.array(ys) - (a + b * np.array(xs))
    assert nv.hurst_r2(x) == pytest.approx(1 - r @ r / np.sum((ys - np.mean(ys)) ** 2), rel=1e-9)


def test_hurst_dispatch_thresholds_and_clamp():
    x = NOISE[:1000]
    assert nv.hurst_exponent(x, "dfa") == nv.dfa(x, 4, -1, 1)
    for m in ("DFA", "dfa ", "", "Dfa"):
        assert nv.hurst_exponent(x, m) == nv.hurst_exponent(x, "rs")
    for n, fin in ((9, False), (43, False), (44, False), (52, True)):
        assert math.isfinite(nv.hurst_exponent(NOISE[:n], "rs")) is fin
    assert math.isnan(nv.hurst_exponent(NOISE[:9], "dfa"))
    assert math.isnan(nv.hurst_exponent(NOISE[:63], "dfa"))
    assert nv.hurst_exponent(np.arange(400.0) ** 2, "rs") == 1.0   # slope above 1 clamps
    ones = np.ones(500)
    assert all(math.isnan(v) for v in (nv.hurst_exponent(ones, "rs"), nv.hurst_r2(ones),
                                       nv.rescaled_range(ones, -1)))


@pytest.mark.parametrize("size, used", [(0, 0), (1, 1), (50, 50), (-1, 120), (10**6, 120)])
def test_rescaled_range(size, used):
    x = np.concatenate([NOISE[:60], [NAN], NOISE[60:120]])
    z = NOISE[:used]
    if used < 2:
        assert math.isnan(nv.rescaled_range(x, size))
        return
    y = np.cumsum(z - z.mean())
    assert nv.rescaled_range(x, size) == pytest.approx(np.ptp(y) / np.std(z, ddof=1), rel=1e-12)
    assert math.isnan(nv.rescaled_range(arr([1.0]), size))


# ---------------------------------------------------------------- variance growth, correlation


def test_variance_growth():
    scales, slope = nv.variance_growth(NOISE, -1)
    assert np.array_equal(scales, np.arange(1.0, 1025.0))
    pts = [(math.log(m), math.log(np.var(NOISE[:len(NOISE) // m * m].reshape(-1, m).mean(1))))
           for m in range(1, 1025)]
    assert slope == pytest.approx(ols(*zip(*pts)), rel=1e-9)
    assert nv.variance_growth(NOISE, 64)[1] == pytest.approx(-1.0, abs=0.1)  # many blocks each
    assert np.array_equal(nv.variance_growth(NOISE[:100], -1)[0], np.arange(1.0, 26.0))
    for lag in (0, 1):
        s, v = nv.variance_growth(NOISE[:50], lag)
        assert s.tolist() == [1.0] and math.isnan(v)
    s, v = nv.variance_growth(NOISE[:40], 100)   # scales above n/2 stay in the array, not the fit
    assert len(s) == 100 and v == pytest.approx(nv.variance_growth(NOISE[:40], 20)[1])
    s, v = nv.variance_growth(NOISE[:19], -1)
    assert s.size == 0 and math.isnan(v)
    s, v = nv.variance_growth(np.ones(100), -1)
    assert len(s) == 25 and math.isnan(v)


def test_long_range_correlation():
    x = WALK[:300]
    acf, g = nv.long_range_correlation(x, 200)
    d = x - in_order_sum(x) / 300
    ref = np.array([in_order_sum(d[:300 - k] * d[k:]) for k in range(201)]) / in_order_sum(d * d)
    assert np.array_equal(acf, ref) and acf[0] == 1.0   # every lag summed in order
    k = np.arange(1, 201)[ref[1:] > 0]
    assert g == pytest.approx(-ols(np.log(k), np.log(ref[k])), rel=1e-8)
    assert nv.long_range_correlation(x, -1)[0].tolist() == ref[:76].tolist()
    assert len(nv.long_range_correlation(x[:30], 0)[0]) == 2
    assert len(nv.long_range_correlation(x[:30], 10**9)[0]) == 30
    acf, g = nv.long_range_correlation(np.ones(40), -1)
    assert acf.tolist() == [0.0] * 11 and math.isnan(g)
    alt = np.where(np.arange(64) % 2, 1.0, -1.0) + 0.01 * NOISE[:64]
    acf, g = nv.long_range_correlation(alt, 4)
    assert acf[1] < 0 and math.isfinite(g)
    assert nv.long_range_correlation(x[:19], -1)[0].size == 0


# ---------------------------------------------------------------- multi-scale DFA


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


@pytest.mark.parametrize("n, lo, hi, k, scales", [
    (1000, 4, -1, 0, []), (1000, 4, -1, 1, [4]), (1000, 4, -1, 2, [4, 250]),
    (1000, 4, 9, 50, [4, 5, 6, 7, 8, 9]), (7, 4, -1, 5, []), (1000, 10, 9, 5, []),
    (1000, 4, 9, 2**64 - 1, [4, 5, 6, 7, 8, 9]), (1000, 4, -1, 2**63, list(range(4, 251)))])
def test_multiscale_dfa_scale_sets(n, lo, hi, k, scales):
    s, f, alpha = nv.detrended_fluctuation_analysis(NOISE[:n], lo, hi, k)
    assert s.tolist() == scales and len(f) == len(s)
    assert math.isnan(alpha) is (len(scales) < 2)


def test_multiscale_dfa_edges():
    s, f, a = nv.detrended_fluctuation_analysis(NOISE[:100], 30, 150, 3)
    assert s.tolist() == [30, 67, 150] and math.isnan(f[2]) and np.isfinite(f[:2]).all()
    assert a == pytest.approx(math.log(f[1] / f[0]) / math.log(67 / 30), rel=1e-9)
    s, f, a = nv.detrended_fluctuation_analysis(np.ones(200), 4, -1, 10)
    assert len(s) == 10 and not f.any() and math.isnan(a)
    for sig in (np.empty(0), NOISE):
        panics(nv.detrended_fluctuation_analysis, sig, 0, -1, 1)
