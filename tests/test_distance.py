"""Pointwise distances, dynamic time warping and earth mover's distance."""

import math

import numpy as np
import pytest
import scipy.spatial.distance as ssd
import scipy.stats

from helpers import NAN, INF, LAYOUTS, arr, layouts, same
from nuvra import _rust as nv

rng = np.random.default_rng(7)


DOCS = {
    "euclidean_distance": ("(x, y)", "Compute Euclidean (L2) distance between two signals."),
    "cosine_distance": ("(x, y)", "Compute cosine distance between two signals."),
    "manhattan_distance": ("(x, y)", "Compute Manhattan (L1) distance between two signals."),
    "dtw_distance": ("(x, y, window)", "Compute DTW distance between two signals."),
    "earth_movers_distance": ("(x, y)", "Compute Earth Mover's Distance between distributions."),
    "cosine_similarity": ("(x, y)", "Compute cosine similarity between two vectors."),
}


def test_add_order_docs_and_signatures():
    for name, (sig, doc) in DOCS.items():
        fn = getattr(nv, name)
        assert (fn.__text_signature__, fn.__doc__) == (sig, doc)


# ---------------------------------------------------------------- pointwise

POINTWISE = ["euclidean_distance", "manhattan_distance", "cosine_distance", "cosine_similarity"]


@pytest.mark.parametrize("layout", LAYOUTS)
def test_pointwise_against_scipy(layout):
    x, y = rng.normal(0, 1, 400), rng.normal(1, 2, 400)
    x[[3, 50]] = [NAN, INF]
    y[[50, 70, 399]] = [NAN, -INF, NAN]
    keep = np.isfinite(x) & np.isfinite(y)
    xf, yf = x[keep], y[keep]
    xv, yv = layouts(x)[layout], layouts(y)[layout]
    assert nv.euclidean_distance(xv, yv) == pytest.approx(ssd.euclidean(xf, yf), rel=1e-13)
    assert nv.manhattan_distance(xv, yv) == pytest.approx(ssd.cityblock(xf, yf), rel=1e-13)
    assert nv.cosine_distance(xv, yv) == pytest.approx(ssd.cosine(xf, yf), rel=1e-12)
    assert nv.cosine_similarity(xv, yv) == pytest.approx(1 - ssd.cosine(xf, yf), rel=1e-12)
    for name in POINTWISE:  # same as the contiguous finite copy, bit for bit
        assert getattr(nv, name)(xv, yv) == getattr(nv, name)(xf.copy(), yf.copy())


POINTWISE_KNOWN = [
    ([3.0, 0.0], [0.0, 4.0], 5.0, 7.0, None),
    ([NAN, 3.0], [1.0, 7.0], 4.0, 4.0, None),
    ([INF, 1.0], [0.0, 1.0], 0.0, 0.0, None),
    ([1.0, 0.0], [2.0, 0.0], 1.0, 1.0, 1.0),
    # sqrt(5) * sqrt(5) is 5 + 1 ulp: the quotient is just above -1.
    ([1.0, 2.0], [-1.0, -2.0], math.sqrt(20), 6.0, -5.0 / (math.sqrt(5.0) * math.sqrt(5.0))),
    ([0.0, 0.0], [1.0, 1.0], math.sqrt(2), 2.0, NAN),
    ([1e-200], [1.0], 1.0, 1.0, NAN),
    ([1.0, 2.0], [1.0, 2.0, 3.0], NAN, NAN, NAN),
    ([1.0, 2.0], [1.0, 2.0, NAN], NAN, NAN, NAN),
    ([], [], NAN, NAN, NAN),
    ([NAN, NAN], [NAN, NAN], NAN, NAN, NAN),
]


@pytest.mark.parametrize("x, y, euc, man, cos", POINTWISE_KNOWN)
def test_pointwise_known(x, y, euc, man, cos):
    x, y = arr(x), arr(y)
    assert same(nv.euclidean_distance(x, y), euc)
    assert same(nv.manhattan_distance(x, y), man)
    if cos is not None:
        assert same(nv.cosine_similarity(x, y), cos)
        assert same(nv.cosine_distance(x, y), 1.0 - cos)


def test_cosine_clamped_for_parallel_vectors():
    for _ in range(200):
        x = rng.normal(0, 1, int(rng.integers(1, 40)))
        c = nv.cosine_similarity(x, x * float(rng.uniform(0.1, 10)))
        assert -1.0 <= c <= 1.0 and c == pytest.approx(1.0)
        assert 0.0 <= nv.cosine_distance(x, -x * 3.0) <= 2.0
    # Here sqrt(s) * sqrt(s) < s, so the quotient is 1 + 1 ulp: clamped to exactly 1.
    x = arr([0.5, 0.3])
    s = 0.5 * 0.5 + 0.3 * 0.3
    assert s / (math.sqrt(s) * math.sqrt(s)) > 1.0
    assert nv.cosine_similarity(-x, x) == -1.0 and nv.cosine_distance(-x, x) == 2.0
    assert nv.cosine_similarity(x, x) == 1.0 and nv.cosine_distance(x, x) == 0.0


# ---------------------------------------------------------------- DTW


def dtw_reference(x, y, window):
    """The full (n+1) x (m+1) cost table, filled row by row."""
    x = [v for v in x if math.isfinite(v)]
    y = [v for v in y if math.isfinite(v)]
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


@pytest.mark.parametrize("n, m", [(1, 1), (1, 5), (5, 1), (7, 7), (13, 29), (40, 31)])
@pytest.mark.parametrize("window", [-1, 0, 1, 2, 5, 12, 100, 2**63 - 1])
def test_dtw_against_full_table(n, m, window):
    x, y = rng.normal(0, 1, n), rng.normal(0.5, 2, m)
    assert nv.dtw_distance(x, y, window) == dtw_reference(x, y, window)


@pytest.mark.parametrize("layout", LAYOUTS)
def test_dtw_layouts_and_non_finite(layout):
    x, y = rng.normal(0, 1, 60), rng.normal(0, 1, 45)
    x[[0, 10]] = NAN
    y[5] = -INF
    want = dtw_reference(x, y, 20)
    assert nv.dtw_distance(layouts(x)[layout], layouts(y)[layout], 20) == want


@pytest.mark.parametrize("x, y, window, expected", [
    ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], -1, 0.0),
    ([0.0], [1.0, 2.0, 3.0], -1, 6.0),
    ([0.0], [1.0, 2.0, 3.0], 2, 6.0),
    ([0.0], [1.0, 2.0, 3.0], 1, INF),
    ([1.0, 2.0, 3.0], [0.0], 1, INF),
    ([0.0, 0.0], [1.0, 1.0], 0, 2.0),
    ([NAN, 1.0], [1.0], 0, 0.0),
    ([NAN, NAN], [1.0], -1, NAN),
    ([], [1.0], -1, NAN),
    ([1.0], [], 3, NAN),
])
def test_dtw_known(x, y, window, expected):
    assert same(nv.dtw_distance(arr(x), arr(y), window), expected)


def test_dtw_window_limits():
    x, y = rng.normal(0, 1, 50), rng.normal(0, 1, 20)
    free = nv.dtw_distance(x, y, -1)
    assert nv.dtw_distance(x, y, 2**63 - 1) == free == nv.dtw_distance(x, y, 50)
    assert nv.dtw_distance(x, y, -(2**63)) == free
    assert nv.dtw_distance(x, y, 29) == INF and nv.dtw_distance(x, y, 30) < INF


def test_dtw_memory_is_linear(python_subprocess):
    # A full table for 12000 x 12000 would need over 1 GiB.
    result = python_subprocess("""
        import resource, numpy as np
        from nuvra import _rust as nv
        x = np.sin(np.arange(12000) * 0.01)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        d = nv.dtw_distance(x, x[::-1].copy(), -1)
        grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
        print(d, grown)
    """)
    assert result.returncode == 0, result.stderr
    value, grown_kib = result.stdout.split()
    assert math.isfinite(float(value)) and int(grown_kib) < 64 * 1024


# ---------------------------------------------------------------- EMD


@pytest.mark.parametrize("n", [1, 2, 50, 1001])
def test_emd_equal_lengths(n):
    x, y = rng.normal(0, 1, n), rng.exponential(2.0, n)
    got = nv.earth_movers_distance(x, y)
    assert got == pytest.approx(np.mean(np.abs(np.sort(x) - np.sort(y))), rel=1e-12)
    assert got == pytest.approx(scipy.stats.wasserstein_distance(x, y), rel=1e-9)


@pytest.mark.parametrize("x, y, expected", [
    ([0.0], [1.0, 3.0], 2.0),
    ([0.0, 1.0], [0.0, 0.5, 1.0], 0.0),
    ([2.0], [5.0], 3.0),
    ([4.0, NAN, INF], [1.0, -INF], 3.0),
    ([NAN], [1.0], NAN),
    ([], [1.0], NAN),
    ([1.0], [], NAN),
])
def test_emd_known(x, y, expected):
    assert same(nv.earth_movers_distance(arr(x), arr(y)), expected)


def test_emd_resampling_of_unequal_lengths():
    # y resampled to 5 points is [0, 2.5, 5, 7.5, 10]; x has 5 points already.
    x = arr([1.0, 2.5, 5.0, 7.5, 10.0])
    assert nv.earth_movers_distance(x, arr([10.0, 0.0])) == pytest.approx(0.2)
    # Against linear interpolation of the sorted samples at N = max(n, m) points.
    a, b = rng.normal(0, 1, 37), rng.normal(1, 1, 101)
    grid = np.linspace(0.0, 1.0, 101)
    qa = np.interp(grid, np.linspace(0.0, 1.0, 37), np.sort(a))
    assert nv.earth_movers_distance(a, b) == pytest.approx(np.mean(np.abs(qa - np.sort(b))), rel=1e-12)


@pytest.mark.parametrize("n", [1, 3, 49, 50, 1000])
def test_emd_permutation_is_zero(n):
    x = rng.normal(0, 1, n)
    for layout in layouts(x[rng.permutation(n)]).values():
        assert same(nv.earth_movers_distance(x, layout), 0.0)
