"""Baseline search and cohort geometry, single and batched."""

import math

import numpy as np
import pytest

from helpers import panics
from nuvra import _rust as r

NAN = float("nan")


# ---------------------------------------------------------------- references


def ref_search(values, min_window, wf, sf, valid=None):
    """Most stable window by brute force over the starts 0, stride, ... (numpy std)."""
    n = len(values)
    wl = max(int(math.floor(wf * n)), 0)
    w = max(wl, min_window)
    if n < min_window or wl > n:
        return (0, n) if valid is None or valid.all() else None
    stride = max(int(math.floor(sf * n)), 1)
    best, best_sd = None, math.inf
    candidates = [s for s in range(0, n - w + 1, stride) if valid is None or valid[s:s + w].all()]
    for s in candidates:
        f = values[s:s + w][np.isfinite(values[s:s + w])]
        if len(f) >= 2 and f.std() < best_sd:
            best, best_sd = s, f.std()
    if best is None:
        best = candidates[0] if candidates else None
    return None if best is None else (best, best + w)


def ref_geometry(x, mbc=3, use_covariance=True):
    """The five series of one cohort computed with textbook NumPy."""
    n, k = x.shape
    finite = np.where(np.isfinite(x), x, 0.0)
    window = ref_search(np.sqrt((finite ** 2).sum(axis=1)), mbc, 0.2, 0.05, np.isfinite(x).all(axis=1))
    if window is None or window[0] == window[1]:
        return [np.full(n, NAN)] * 5
    s, e = window
    base = x[s:e]
    sd = base.std(axis=0)
    sd[sd < 1e-10] = 1.0
    z = (x - base.mean(axis=0)) / sd
    zb = z[s:e]
    evals, evecs = np.linalg.eigh(zb.T @ zb)
    evals, evecs = evals[::-1], evecs[:, ::-1]
    for c in range(k):  # largest-magnitude entry (last on ties) made non-negative
        m = k - 1 - np.argmax(np.abs(evecs[::-1, c]))
        if evecs[m, c] < 0:
            evecs[:, c] *= -1
    dist = np.linalg.norm(z, axis=1)
    proj = z @ evecs
    pc2 = proj[:, 1] if k >= 2 else np.zeros(n)
    if use_covariance:
        inv = np.linalg.inv(np.cov(zb, rowvar=False, ddof=1).reshape(k, k))
        maha = np.sqrt(np.einsum("ij,jk,ik->i", z, inv, z))
    else:
        lam = np.maximum(evals[:5] / max(e - s - 1, 1), 1e-10)
        maha = np.sqrt((proj[:, :5] ** 2 / lam).sum(axis=1))
    return [dist, dist / np.sqrt(k), proj[:, 0], pc2, maha]


def cohort(rng, n, k):
    """Cycles whose amplitude varies, so one stretch is clearly the quietest."""
    amp = 1.0 + 3.0 * np.abs(np.sin(np.arange(n) / 7.0))[:, None]
    return rng.normal(size=(n, k)) * amp + rng.normal(size=k) * 5


def assert_series(got, want, rtol=1e-8):
    assert len(got) == 5
    for g, w in zip(got, want):
        assert g.dtype == np.float64 and g.ndim == 1
        np.testing.assert_allclose(g, w, rtol=rtol, atol=1e-9)


# ---------------------------------------------------------------- baseline search


def test_docs():
    assert r.find_stable_baseline_1d.__doc__ == "Find stable baseline region in a 1D signal."
    assert r.find_stable_baseline_1d.__text_signature__ == "(values, window_fraction, min_window, stride_fraction)"
    assert r.rt_geometry_single.__doc__ == "RT geometry for one cohort matrix."
    assert r.rt_geometry_single.__text_signature__ == "(matrix, min_baseline_cycles=3)"
    assert r.rt_geometry_batch.__doc__ == "Batch RT geometry across multiple cohorts — Rayon parallel."
    assert r.rt_geometry_batch.__text_signature__ == (
        "(matrices_flat, cycles_per_cohort, n_signals, min_baseline_cycles=3)")


@pytest.mark.parametrize("values, wf, mw, sf, want", [
    ([1.0, 2.0, 3.0], 0.2, 5, 0.05, (0, 3)),                 # shorter than min_window
    ([1.0, 5.0, 2.0, 7.0], 1.5, 2, 0.05, (0, 4)),            # window longer than the series
    ([1.0, 2.0, 3.0, 4.0], 0.2, 0, 0.05, (0, 0)),            # empty window
    ([5.0, 1.0, 1.0, 9.0, 3.0, 3.0, 3.0], 0.1, 1, 0.1, (0, 1)),  # single-value windows never score
    ([], 0.2, 0, 0.05, (0, 0)),
    ([], 0.2, 3, 0.05, (0, 0)),
    ([NAN, 1.0, NAN, NAN, 5.0, 9.0, 5.0, 0.0], 0.0, 3, 0.0, (4, 7)),  # one finite value is skipped
    ([0.0, 1.0, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0], 0.0, 2, 0.0, (0, 2)),  # equal spread: earliest wins
    ([3.0, 9.0, 2.0, 2.0, 2.0, 5.0, 5.0, 5.0], 0.0, 3, 0.0, (2, 5)),  # first constant window wins
    ([9.0, 0.0, 9.0, 1.0, 1.0, 1.0], NAN, 3, 0.0, (3, 6)),   # NaN fraction: min_window
    ([9.0, 0.0, 9.0, 1.0, 1.0, 1.0], -2.0, 3, 0.0, (3, 6)),  # negative fraction: min_window
])
def test_search_cases(values, wf, mw, sf, want):
    got = r.find_stable_baseline_1d(np.array(values, dtype=float), wf, mw, sf)
    assert got == want and all(type(v) is int for v in got)


def test_search_window_grid():
    # A quiet stretch at 82..99 is only reachable through the start 80 (stride 5).
    rng = np.random.default_rng(1)
    v = rng.normal(size=100) * 10
    v[82:] = 1.0
    assert r.find_stable_baseline_1d(v, 0.2, 3, 0.05) == (80, 100)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("wf, mw, sf", [(0.2, 3, 0.05), (0.1, 2, 0.0), (0.33, 4, 0.07), (0.05, 8, 0.2)])
def test_search_against_brute_force(seed, wf, mw, sf):
    rng = np.random.default_rng(seed)
    v = rng.normal(size=int(rng.integers(10, 120))) * rng.uniform(0.5, 3.0, 1)
    v[rng.random(len(v)) < 0.1] = rng.choice([NAN, np.inf, -np.inf])
    assert r.find_stable_baseline_1d(v, wf, mw, sf) == ref_search(v, mw, wf, sf)


@pytest.mark.parametrize("sf", [np.inf, 1e300])
def test_search_saturated_stride(sf):
    v = np.array([0.0, 9.0, 1.0, 1.0, 1.0, 1.0])
    assert r.find_stable_baseline_1d(v, 0.5, 1, sf) == (0, 3)  # only the first window


def test_search_needs_contiguous_values():
    v = np.arange(20.0)
    msg = "The given array is not contiguous or is misaligned."
    for bad in (v[::2], v[::-1]):
        with pytest.raises(ValueError, match=f"^{msg}$"):
            r.find_stable_baseline_1d(bad, 0.2, 3, 0.05)
    assert r.find_stable_baseline_1d(v[:0:-1][:0], 0.2, 3, 0.05) == (0, 0)


# ---------------------------------------------------------------- one cohort


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("n, k, mbc", [(100, 3, 3), (57, 5, 3), (40, 1, 3), (200, 2, 10), (13, 4, 20)])
def test_cohort_against_numpy(seed, n, k, mbc):
    x = cohort(np.random.default_rng(seed), n, k)
    assert_series(r.rt_geometry_single(x, mbc), ref_geometry(x, mbc))


def test_cohort_more_than_five_signals_uses_five_directions():
    x = cohort(np.random.default_rng(3), 150, 8)
    assert_series(r.rt_geometry_single(x), ref_geometry(x, use_covariance=False))


def test_cohort_one_signal():
    x = cohort(np.random.default_rng(4), 60, 1)
    dist, nd, pc1, pc2, maha = r.rt_geometry_single(x)
    s, e = ref_search(np.abs(x[:, 0]), 3, 0.2, 0.05)
    z = (x[:, 0] - x[s:e, 0].mean()) / x[s:e, 0].std()
    np.testing.assert_allclose(pc1, z, rtol=1e-12)
    assert np.all(pc2 == 0.0)
    np.testing.assert_allclose(maha, np.abs(z) / np.sqrt((z[s:e] ** 2).sum() / (e - s - 1)), rtol=1e-12)


def test_cohort_degenerate_shapes():
    assert all(a.shape == (0,) for a in r.rt_geometry_single(np.zeros((0, 3))))
    assert all(np.isnan(a).all() and a.shape == (4,) for a in r.rt_geometry_single(np.zeros((4, 0))))
    x = cohort(np.random.default_rng(5), 4, 2)
    assert all(np.isnan(a).all() for a in r.rt_geometry_single(x, 0))   # window length 0
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
    assert ref_search(np.linalg.norm(x, axis=1), 3, 0.2, 0.05) == (0, 20)
    sd = x[:20].std(axis=0)
    assert sd[1] == 0.0
    z = (x - x[:20].mean(axis=0)) / np.array([sd[0], 1.0, sd[2]])
    np.testing.assert_allclose(r.rt_geometry_single(x)[0], np.linalg.norm(z, axis=1), rtol=1e-12)


def test_cohort_missing_data():
    x = cohort(np.random.default_rng(7), 100, 3)
    s, e = ref_search(np.linalg.norm(x, axis=1), 3, 0.2, 0.05)
    outside = e if e < 100 else s - 1
    y = x.copy()
    y[outside, 2] = NAN
    for g, w in zip(r.rt_geometry_single(y), r.rt_geometry_single(x)):
        assert np.isnan(g[outside])
        np.testing.assert_array_equal(np.delete(g, outside), np.delete(w, outside))
    # A gap inside the quietest window moves the baseline to a complete window.
    y = x.copy()
    y[s + 3, 0] = np.inf
    got = r.rt_geometry_single(y)
    assert got[0][s + 3] == np.inf and np.isfinite(got[0]).sum() == 99
    assert_series([np.delete(g, s + 3) for g in got], [np.delete(w, s + 3) for w in ref_geometry(y)])


def test_cohort_no_complete_window_is_all_nan():
    x = cohort(np.random.default_rng(8), 10, 2)
    x[[2, 5, 8], 1] = NAN                      # every window of 3 holds a gap
    assert all(np.isnan(a).all() for a in r.rt_geometry_single(x))
    x = cohort(np.random.default_rng(8), 2, 2)
    x[1, 0] = NAN                              # whole cohort is the baseline
    assert all(np.isnan(a).all() for a in r.rt_geometry_single(x))


# ---------------------------------------------------------------- batch


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
    flat, counts = pack(cohorts, 4)
    got = r.rt_geometry_batch(flat, counts, 4)
    singles = [r.rt_geometry_single(c.reshape(-1, 4)) for c in cohorts]
    for f in range(5):
        assert got[f].tobytes() == np.concatenate([s[f] for s in singles]).tobytes()
    perm = np.random.default_rng(0).permutation(len(cohorts))
    flat2, counts2 = pack([cohorts[i] for i in perm], 4, extra=13, fill=7.5)
    flat2 = np.vstack([flat2, np.full((2, flat2.shape[1]), NAN)])   # extra rows are ignored
    got2 = r.rt_geometry_batch(flat2, counts2, 4)
    for f in range(5):
        assert got2[f].tobytes() == np.concatenate([singles[i][f] for i in perm]).tobytes()


def test_batch_degenerate():
    assert all(a.shape == (0,) for a in r.rt_geometry_batch(np.zeros((0, 0)), np.zeros(0, np.int64), 3))
    got = r.rt_geometry_batch(np.zeros((3, 0)), np.array([2, 0, 3]), 0)
    assert all(a.shape == (5,) and np.isnan(a).all() for a in got)
    flat, counts = pack(make_cohorts(12, 3), 4)
    counts[1] = 0
    got = r.rt_geometry_batch(flat, counts, 4)
    assert len(got[0]) == counts.sum()


BIG = 2 ** 62


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


def test_batch_panics_then_recovers():
    flat, counts = pack(make_cohorts(13, 3), 4)
    assert panics(r.rt_geometry_batch, flat[:2], counts, 4) == "assertion failed: index < dim"
    assert panics(r.rt_geometry_batch, np.zeros((1, 0)), np.array([BIG]), 0) == "capacity overflow"
    assert len(r.rt_geometry_batch(flat, counts, 4)[0]) == counts.sum()


SCRIPT = """
import hashlib, numpy as np
from helpers import panics
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
    settings = [{}, {"RAYON_NUM_THREADS": "1"}, {"RAYON_NUM_THREADS": "0"},
                {"RAYON_NUM_THREADS": "3"}, {"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "2"},
                {"RAYON_RS_NUM_CPUS": "5"}, {"RAYON_NUM_THREADS": "70000"}]
    digests = {}
    for s in settings:
        out = python_subprocess(SCRIPT, env=s, timeout=300)
        assert out.returncode == 0, out.stderr
        digests[str(s)] = out.stdout.strip()
    assert set(digests.values()) == {ns["digest"]}, digests
