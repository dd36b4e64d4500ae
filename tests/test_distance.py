"""Pointwise distances, dynamic time warping and earth mover's distance."""

import math

import numpy as np
import pytest
import scipy.spatial.distance as ssd
import scipy.stats

from helpers import NAN, INF, arr, assert_stops_on_ctrl_c, layouts, same
from nuvra import _rust as nv

rng = np.random.default_rng(7)


def test_docs_and_signatures():
    docs = {"euclidean_distance": "Compute Euclidean (L2) distance between two signals.",
            "cosine_distance": "Compute cosine distance between two signals.",
            "manhattan_distance": "Compute Manhattan (L1) distance between two signals.",
            "dtw_distance": "Compute DTW distance between two signals.",
            "earth_movers_distance": "Compute Earth Mover's Distance between distributions.",
            "cosine_similarity": "Compute cosine similarity between two vectors."}
    for name, doc in docs.items():
        sig = "(x, y, window)" if name == "dtw_distance" else "(x, y)"
        assert (getattr(nv, name).__text_signature__, getattr(nv, name).__doc__) == (sig, doc)


# ---------------------------------------------------------------- pointwise

def test_pointwise_against_scipy():
    x, y = rng.normal(0, 1, 400), rng.normal(1, 2, 400)
    x[[3, 50]] = [NAN, INF]
    y[[50, 70, 399]] = [NAN, -INF, NAN]
    xf, yf = x[np.isfinite(x) & np.isfinite(y)], y[np.isfinite(x) & np.isfinite(y)]
    xv, yv = layouts(x)["strided"], layouts(y)["unaligned"]
    assert nv.euclidean_distance(xv, yv) == pytest.approx(ssd.euclidean(xf, yf), rel=1e-13)
    assert nv.manhattan_distance(xv, yv) == pytest.approx(ssd.cityblock(xf, yf), rel=1e-13)
    assert nv.cosine_distance(xv, yv) == pytest.approx(ssd.cosine(xf, yf), rel=1e-12)
    assert nv.cosine_similarity(xv, yv) == pytest.approx(1 - ssd.cosine(xf, yf), rel=1e-12)


@pytest.mark.parametrize("x, y, euc, man, cos", [
    ([3.0, 0.0], [0.0, 4.0], 5.0, 7.0, None), ([NAN, 3.0], [1.0, 7.0], 4.0, 4.0, None),
    ([INF, 1.0], [0.0, 1.0], 0.0, 0.0, None), ([1.0, 0.0], [2.0, 0.0], 1.0, 1.0, 1.0),
    # sqrt(5) * sqrt(5) is 5 + 1 ulp: the quotient is just above -1.
    ([1.0, 2.0], [-1.0, -2.0], math.sqrt(20), 6.0, -5.0 / (math.sqrt(5.0) * math.sqrt(5.0))),
    ([0.0, 0.0], [1.0, 1.0], math.sqrt(2), 2.0, NAN), ([1e-200], [1.0], 1.0, 1.0, NAN),
    ([1.0, 2.0], [1.0, 2.0, 3.0], NAN, NAN, NAN), ([1.0, 2.0], [1.0, 2.0, NAN], NAN, NAN, NAN),
    ([], [], NAN, NAN, NAN), ([NAN, NAN], [NAN, NAN], NAN, NAN, NAN),
])
def test_pointwise_known(x, y, euc, man, cos):
    x, y = arr(x), arr(y)
    assert same(nv.euclidean_distance(x, y), euc) and same(nv.manhattan_distance(x, y), man)
    if cos is not None:
        assert same(nv.cosine_similarity(x, y), cos) and same(nv.cosine_distance(x, y), 1.0 - cos)


def test_cosine_clamped_for_parallel_vectors():
    for _ in range(200):
        x = rng.normal(0, 1, int(rng.integers(1, 40)))
        c = nv.cosine_similarity(x, x * float(rng.uniform(0.1, 10)))
        assert -1.0 <= c <= 1.0 and c == pytest.approx(1.0)
        assert 0.0 <= nv.cosine_distance(x, -x * 3.0) <= 2.0
    # Here sqrt(s) * sqrt(s) < s, so the quotient is 1 + 1 ulp: clamped to exactly 1.
    x, s = arr([0.5, 0.3]), 0.5 * 0.5 + 0.3 * 0.3
    assert s / (math.sqrt(s) * math.sqrt(s)) > 1.0
    assert nv.cosine_similarity(-x, x) == -1.0 and nv.cosine_distance(-x, x) == 2.0
    assert nv.cosine_similarity(x, x) == 1.0 and nv.cosine_distance(x, x) == 0.0


# ---------------------------------------------------------------- DTW

def dtw_reference(x, y, window):
    """The full (n+1) x (m+1) cost table, filled row by row."""
    x, y = [v for v in x if math.isfinite(v)], [v for v in y if math.isfinite(v)]
    n, m = len(x), len(y)
    if n == 0 or m == 0:
        return NAN
    d = [[INF] * (m + 1) for _ in range(n + 1)]
    d[0][0] = 0.0
    for i in range(1, n + 1):
        lo, hi = (1, m) if window < 0 else (max(1, i - window), min(m, i + window))
        for j in range(lo, hi + 1):
            d[i][j] = abs(x[i - 1] - y[j - 1]) + min(min(d[i - 1][j], d[i][j - 1]), d[i - 1][j - 1])
    return d[n][m]


@pytest.mark.parametrize("n, m", [(1, 1), (1, 5), (5, 1), (7, 7), (13, 29), (40, 31), (60, 45)])
@pytest.mark.parametrize("window", [-1, 0, 1, 2, 5, 12, 20, 100, 2**63 - 1])
def test_dtw_against_full_table(n, m, window):
    x, y = rng.normal(0, 1, n), rng.normal(0.5, 2, m)
    if n > 50:  # non-finite samples are dropped from each signal on its own
        x[[0, 10]], y[5] = NAN, -INF
    assert nv.dtw_distance(x, y, window) == dtw_reference(x, y, window)


@pytest.mark.parametrize("x, y, window, expected", [
    ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], -1, 0.0), ([0.0], [1.0, 2.0, 3.0], -1, 6.0),
    ([0.0], [1.0, 2.0, 3.0], 2, 6.0), ([0.0], [1.0, 2.0, 3.0], 1, INF), ([1.0, 2.0, 3.0], [0.0], 1, INF),
    ([0.0, 0.0], [1.0, 1.0], 0, 2.0), ([NAN, 1.0], [1.0], 0, 0.0), ([NAN, NAN], [1.0], -1, NAN),
    ([], [1.0], -1, NAN), ([1.0], [], 3, NAN),
])
def test_dtw_known(x, y, window, expected):
    assert same(nv.dtw_distance(arr(x), arr(y), window), expected)


def test_dtw_window_limits():
    x, y = rng.normal(0, 1, 50), rng.normal(0, 1, 20)
    free = nv.dtw_distance(x, y, -1)
    assert nv.dtw_distance(x, y, 2**63 - 1) == free == nv.dtw_distance(x, y, 50)
    assert nv.dtw_distance(x, y, -(2**63)) == free
    assert nv.dtw_distance(x, y, 29) == INF and nv.dtw_distance(x, y, 30) < INF


def test_dtw_memory_is_linear(python_subprocess):  # a full 12000 x 12000 table would need over 1 GiB
    result = python_subprocess("""
        import resource, numpy as np
        from nuvra import _rust as nv
        x, before = np.sin(np.arange(12000) * 0.01), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(nv.dtw_distance(x, x[::-1].copy(), -1), resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """)
    assert result.returncode == 0, result.stderr
    value, grown_kib = result.stdout.split()
    assert math.isfinite(float(value)) and int(grown_kib) < 64 * 1024


def test_long_calls_stop_on_ctrl_c():  # O(n * band) cost table rows, without and with a band
    x = "x = np.random.default_rng(0).random(300_000)"
    assert_stops_on_ctrl_c({"dtw": (x, "nv.dtw_distance(x, x[::-1], -1)"),
                            "dtw band": (x, "nv.dtw_distance(x, x[::-1], 100_000)")})


# ---------------------------------------------------------------- EMD

@pytest.mark.parametrize("n", [1, 2, 3, 49, 50, 1001])
def test_emd_equal_lengths(n):
    x, y = rng.normal(0, 1, n), rng.exponential(2.0, n)
    got = nv.earth_movers_distance(x, y)
    assert got == pytest.approx(np.mean(np.abs(np.sort(x) - np.sort(y))), rel=1e-12)
    assert got == pytest.approx(scipy.stats.wasserstein_distance(x, y), rel=1e-9)
    assert same(nv.earth_movers_distance(x, x[rng.permutation(n)]), 0.0)


@pytest.mark.parametrize("x, y, expected", [
    ([0.0], [1.0, 3.0], 2.0), ([0.0, 1.0], [0.0, 0.5, 1.0], 0.0), ([2.0], [5.0], 3.0),
    ([4.0, NAN, INF], [1.0, -INF], 3.0), ([NAN], [1.0], NAN), ([], [1.0], NAN), ([1.0], [], NAN),
])
def test_emd_known(x, y, expected):
    assert same(nv.earth_movers_distance(arr(x), arr(y)), expected)


def test_emd_resampling_of_unequal_lengths():
    # y resampled to 5 points is [0, 2.5, 5, 7.5, 10]; x has 5 points already.
    x = arr([1.0, 2.5, 5.0, 7.5, 10.0])
    assert nv.earth_movers_distance(x, arr([10.0, 0.0])) == pytest.approx(0.2)
    # Against linear interpolation of the sorted samples at N = max(n, m) points.
    a, b = rng.normal(0, 1, 37), rng.normal(1, 1, 101)
    qa = np.interp(np.linspace(0.0, 1.0, 101), np.linspace(0.0, 1.0, 37), np.sort(a))
    assert nv.earth_movers_distance(a, b) == pytest.approx(np.mean(np.abs(qa - np.sort(b))), rel=1e-12)
