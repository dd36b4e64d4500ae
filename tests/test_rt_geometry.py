"""Baseline search and cohort geometry, single and batched."""

import math

import numpy as np
import pytest

from helpers import assert_stops_on_ctrl_c, panics
from nuvra import _rust as r

NAN, BIG = float("nan"), 2 ** 62


def ref_search(values, min_window, wf, sf, valid=None):
    """Most stable window by brute force over the starts 0, stride, ... (numpy std)."""
    n = len(values)
    wl = max(int(math.floor(wf * n)), 0)
    w, stride = max(wl, min_window), max(int(math.floor(sf * n)), 1)
    if n < min_window or wl > n:
        return (0, n) if valid is None or valid.all() else None
    best, best_sd = None, math.inf
    candidates = [s for s in range(0, n - w + 1, stride) if valid is None or valid[s:s + w].all()]
    for s in candidates:
        f = values[s:s + w][np.isfinite(values[s:s + w])]
        if len(f) >= 2 and f.std() < best_sd:
            best, best_sd = s, f.std()
    best = candidates[0] if best is None and candidates else best
    return None if best is None else (best, best + w)


def ref_geometry(x, mbc=3, use_covariance=True):
    """The five series of one cohort computed with textbook NumPy."""
    n, k = x.shape
    finite = np.where(np.isfinite(x), x, 0.0)
    window = ref_search(np.sqrt((finite ** 2).sum(axis=1)), mbc, 0.2, 0.05, np.isfinite(x).all(axis=1))
    if window is None or window[0] == window[1]:
        return [np.full(n, NAN)] * 5
    s, e = window
    sd = x[s:e].std(axis=0)
    sd[sd < 1e-10] = 1.0
    z = (x - x[s:e].mean(axis=0)) / sd
    zb = z[s:e]
    evals, evecs = (v[..., ::-1] for v in np.linalg.eigh(zb.T @ zb))
    for c in range(k):  # largest-magnitude entry (last on ties) made non-negative
        m = k - 1 - np.argmax(np.abs(evecs[::-1, c]))
        if evecs[m, c] < 0:
            evecs[:, c] *= -1
    dist, proj = np.linalg.norm(z, axis=1), z @ evecs
    pc2 = proj[:, 1] if k >= 2 else np.zeros(n)
    if use_covariance:
        inv = np.linalg.inv(np.cov(zb, rowvar=False, ddof=1).reshape(k, k))
        maha = np.sqrt(np.einsum("ij,jk,ik->i", z, inv, z))
    else:
        lam = np.maximum(evals[:5] / max(e - s - 1, 1), 1e-10)
        maha = np.sqrt((proj[:, :5] ** 2 / lam).sum(axis=1))
    return [dist, dist / np.sqrt(k), proj[:, 0], pc2, maha]


def cohort(rng, n, k):  # cycles whose amplitude varies, so one stretch is clearly the quietest
    amp = 1.0 + 3.0 * np.abs(np.sin(np.arange(n) / 7.0))[:, None]
    return rng.normal(size=(n, k)) * amp + rng.normal(size=k) * 5


def assert_series(got, want, rtol=1e-8):
    for g, w in zip(got, want, strict=True):
        np.testing.assert_allclose(g, w, rtol=rtol, atol=1e-9)


def test_docs():
    assert r.find_stable_baseline_1d.__doc__ == "Find stable baseline region in a 1D signal."
    assert r.find_stable_baseline_1d.__text_signature__ == "(values, window_fraction, min_window, stride_fraction)"
    assert r.rt_geometry_single.__doc__ == "RT geometry for one cohort matrix."
    assert r.rt_geometry_batch.__doc__ == "Batch RT geometry across multiple cohorts — Rayon parallel."
    assert r.rt_geometry_batch.__text_signature__ == "(matrices_flat, cycles_per_cohort, n_signals, min_baseline_cycles=3)"


@pytest.mark.parametrize("values, wf, mw, sf, want", [
    ([1.0, 2.0, 3.0], 0.2, 5, 0.05, (0, 3)),                 # shorter than min_window
    ([1.0, 5.0, 2.0, 7.0], 1.5, 2, 0.05, (0, 4)),            # window longer than the series
    ([1.0, 2.0, 3.0, 4.0], 0.2, 0, 0.05, (0, 0)),            # empty window
    ([5.0, 1.0, 1.0, 9.0, 3.0, 3.0, 3.0], 0.1, 1, 0.1, (0, 1)),  # single-value windows never score
    ([], 0.2, 0, 0.05, (0, 0)), ([], 0.2, 3, 0.05, (0, 0)),
    ([NAN, 1.0, NAN, NAN, 5.0, 9.0, 5.0, 0.0], 0.0, 3, 0.0, (4, 7)),  # one finite value is skipped
    ([0.0, 1.0, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0], 0.0, 2, 0.0, (0, 2)),  # equal spread: earliest wins
    ([3.0, 9.0, 2.0, 2.0, 2.0, 5.0, 5.0, 5.0], 0.0, 3, 0.0, (2, 5)),  # first constant window wins
    ([9.0, 0.0, 9.0, 1.0, 1.0, 1.0], NAN, 3, 0.0, (3, 6)),   # NaN fraction: min_window
    ([9.0, 0.0, 9.0, 1.0, 1.0, 1.0], -2.0, 3, 0.0, (3, 6)),  # negative fraction: min_window
    (np.r_[np.tile([10.0, -10.0], 41), np.ones(18)], 0.2, 3, 0.05, (80, 100)),  # starts 0, 5, ..., 80
    ([0, 9, 1, 1, 1, 1], 0.5, 1, np.inf, (0, 3)), ([0, 9, 1, 1, 1, 1], 0.5, 1, 1e300, (0, 3)),  # saturated stride
])
def test_search_cases(values, wf, mw, sf, want):
    got = r.find_stable_baseline_1d(np.array(values, dtype=float), wf, mw, sf)
    assert got == want and all(type(v) is int for v in got)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("wf, mw, sf", [(0.2, 3, 0.05), (0.1, 2, 0.0), (0.33, 4, 0.07), (0.05, 8, 0.2)])
def test_search_against_brute_force(seed, wf, mw, sf):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=int(rng.integers(10, 120))) * rng.uniform(0.5, 3.0, 1)
    v[rng.random(len(v)) < 0.1] = rng.choice([NAN, np.inf, -np.inf])
    assert r.find_stable_baseline_1d(v, wf, mw, sf) == ref_search(v, mw, wf, sf)


def test_search_needs_contiguous_values():
    v = np.arange(20.0)
    for bad in (v[::2], v[::-1]):
        with pytest.raises(ValueError, match="^The given array is not contiguous or is misaligned.$"):
            r.find_stable_baseline_1d(bad, 0.2, 3, 0.05)
    assert r.find_stable_baseline_1d(v[:0:-1][:0], 0.2, 3, 0.05) == (0, 0)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("n, k, mbc", [(100, 3, 3), (57, 5, 3), (40, 1, 3), (200, 2, 10), (13, 4, 20),
                                      (150, 8, 3)])  # more than five signals: five directions
def test_cohort_against_numpy(seed, n, k, mbc):
    x = cohort(np.random.default_rng(seed), n, k)
    assert_series(r.rt_geometry_single(x, mbc), ref_geometry(x, mbc, use_covariance=k <= 5))


def test_cohort_degenerate_shapes():
    assert all(a.shape == (0,) for a in r.rt_geometry_single(np.zeros((0, 3))))
    x, gaps, short = cohort(np.random.default_rng(5), 4, 2), *(cohort(np.random.default_rng(8), n, 2) for n in (10, 2))
    gaps[[2, 5, 8], 1] = NAN  # every window of 3 holds a gap
    short[1, 0] = NAN  # the whole cohort is the baseline
    for args in ((np.zeros((4, 0)),), (x, 0), (gaps,), (short,)):  # (x, 0): window length 0
        assert all(np.isnan(a).all() and a.shape == (len(args[0]),) for a in r.rt_geometry_single(*args))
    # min_baseline_cycles 1 with fewer than 10 cycles: cycle 0 alone is the baseline
    dist, *_, maha = r.rt_geometry_single(x, 1)
    np.testing.assert_allclose(dist, np.linalg.norm(x - x[0], axis=1), rtol=1e-12)
    assert dist[0] == 0.0 and maha[0] == 0.0
    maha = r.rt_geometry_single(x[:, :1], 1)[4]          # zero variance floored to 1e-10
    np.testing.assert_allclose(maha, np.abs(x[:, 0] - x[0, 0]) / np.sqrt(1e-10), rtol=1e-12)


def test_cohort_constant_signal_has_unit_spread():
    rng = np.random.default_rng(6)
    x = rng.normal(size=(100, 3)) * np.where(np.arange(100) < 20, 0.01, 5.0)[:, None]
    x[:, 1] = np.where(np.arange(100) < 20, 4.0, 10.0)     # constant over the baseline 0..19
    sd = x[:20].std(axis=0)
    z = (x - x[:20].mean(axis=0)) / np.array([sd[0], 1.0, sd[2]])
    np.testing.assert_allclose(r.rt_geometry_single(x)[0], np.linalg.norm(z, axis=1), rtol=1e-12)


def test_cohort_missing_data():
    x = cohort(np.random.default_rng(7), 100, 3)
    s, e = ref_search(np.linalg.norm(x, axis=1), 3, 0.2, 0.05)
    outside, y, z = e if e < 100 else s - 1, x.copy(), x.copy()
    y[outside, 2], z[s + 3, 0] = NAN, np.inf
    for g, w in zip(r.rt_geometry_single(y), r.rt_geometry_single(x)):
        assert np.isnan(g[outside])
        np.testing.assert_array_equal(np.delete(g, outside), np.delete(w, outside))
    got = r.rt_geometry_single(z)  # a gap inside the quietest window moves the baseline
    assert got[0][s + 3] == np.inf and np.isfinite(got[0]).sum() == 99
    assert_series([np.delete(g, s + 3) for g in got], [np.delete(w, s + 3) for w in ref_geometry(z)])


def pack(cohorts, n_signals, extra=0, fill=NAN):
    width = max(len(c) for c in cohorts) * n_signals + extra
    flat = np.full((len(cohorts), width), fill)
    for i, c in enumerate(cohorts):
        flat[i, :c.size] = c.ravel()
    return flat, np.array([len(c) for c in cohorts], dtype=np.int64)


def make_cohorts(seed, n, k=4):
    rng = np.random.default_rng(seed)
    return [cohort(rng, int(rng.integers(0, 90)), k) for _ in range(n)]


def test_batch_equals_single_and_ignores_order_and_padding():
    cohorts = make_cohorts(10, 40)
    cohorts[3] = cohort(np.random.default_rng(3), 50, 4)
    cohorts[3][1, 1] = NAN
    singles = [r.rt_geometry_single(c.reshape(-1, 4)) for c in cohorts]
    for order, extra, fill, rows in ((range(40), 0, NAN, 0), (np.random.default_rng(0).permutation(40), 13, 7.5, 2)):
        flat, counts = pack([cohorts[i] for i in order], 4, extra=extra, fill=fill)
        flat = np.vstack([flat, np.full((rows, flat.shape[1]), NAN)])  # extra rows are ignored
        got = r.rt_geometry_batch(flat, counts, 4)
        for f in range(5):
            assert got[f].tobytes() == np.concatenate([singles[i][f] for i in order]).tobytes()


def test_batch_degenerate():
    assert all(a.shape == (0,) for a in r.rt_geometry_batch(np.zeros((0, 0)), np.zeros(0, np.int64), 3))
    got = r.rt_geometry_batch(np.zeros((3, 0)), np.array([2, 0, 3]), 0)
    assert all(a.shape == (5,) and np.isnan(a).all() for a in got)
    flat, counts = pack(make_cohorts(12, 3), 4)
    assert panics(r.rt_geometry_batch, flat[:2], counts, 4) == "assertion failed: index < dim"
    assert panics(r.rt_geometry_batch, np.zeros((1, 0)), np.array([BIG]), 0) == "capacity overflow"
    counts[1] = 0
    assert len(r.rt_geometry_batch(flat, counts, 4)[0]) == counts.sum()




@pytest.mark.parametrize("counts, n_signals, width, msg", [
    ([5, 2, 1, -2], 2, 10, "cycles_per_cohort[3] is negative (-2)"),
    ([5, 10], 4, 30, "cohort 1: 10 cycles x 4 signals need 40 values but the row holds 30"),
    ([1, BIG], 8, 30, f"cohort 1: {BIG} cycles x 8 signals overflow a 64-bit size"),
    ([2 ** 63 - 1, 2 ** 63 - 1, 2], 0, 0, "cycles_per_cohort: the total number of cycles overflows at cohort 2"),
])
def test_batch_bad_counts(counts, n_signals, width, msg):
    flat = np.zeros((len(counts), width))
    with pytest.raises(ValueError) as e:
        r.rt_geometry_batch(flat, np.array(counts, dtype=np.int64), n_signals)
    assert e.value.args[0] == msg


SCRIPT = """
import hashlib, numpy as np
from nuvra import _rust as r
rng = np.random.default_rng(42)
counts = rng.integers(0, 80, size=400).astype(np.int64)
flat = rng.normal(size=(400, 80 * 6)) * (1 + np.abs(np.sin(np.arange(80 * 6) / 40.0)))
flat[7, 11] = np.nan
a, b = rng.normal(size=(40000, 10)) / 200, rng.normal(size=(40000, 13)) / 200  # pooled inner products
parts = list(r.rt_geometry_batch(flat, counts, 6)) + [np.float64(r.subspace_angle(a, b))]
print(hashlib.sha256(b"".join(p.tobytes() for p in parts)).hexdigest())
"""


def test_batch_identical_for_any_thread_count(python_subprocess):
    ns = {}
    exec(SCRIPT.replace("print(", "digest = ("), ns)
    for s in ({}, {"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "3"}, {"RAYON_RS_NUM_CPUS": "5"}):
        out = python_subprocess(SCRIPT, env=s, timeout=300)
        assert out.returncode == 0 and out.stdout.strip() == ns["digest"], (s, out.stderr)


def test_long_calls_stop_on_ctrl_c():
    # A window search of quadratic cost, and a batch of many cohorts whose
    # baselines take a large decomposition each.
    assert_stops_on_ctrl_c({
        "search": ("v = np.random.default_rng(0).normal(size=300000)", "nv.find_stable_baseline_1d(v, 0.5, 2, 0.0)"),
        "batch": ("row = np.random.default_rng(0).normal(size=400 * 400); counts = np.full(5000, 400)",
                  "nv.rt_geometry_batch(np.broadcast_to(row, (5000, row.size)), counts, 400, 400)"),
    })
