"""Distance matrices, H0 persistence and persistence-diagram measures, against
scipy (pdist, single linkage, and wasserstein_distance: ours pairs the k-th
largest persistences, zero-padded, which is L times scipy's 1-Wasserstein
distance between the two padded samples of persistences).
"""

import math

import numpy as np
import pytest
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import pdist, squareform
from scipy.stats import wasserstein_distance as w1

from helpers import in_order_sum, panics, same
from nuvra import _rust as r

NAN, INF = math.nan, math.inf


def test_docs():
    assert r.persistent_homology.__text_signature__ == "(points, max_points=500)"
    assert r.persistent_homology.__doc__.splitlines()[0] == (
        "H0 persistent homology via union-find on sorted edges (single-linkage).")
    assert r.wasserstein_distance.__doc__.splitlines()[-1] == (
        "pads the shorter with zeros, and sums absolute differences.")
    assert r.persistence_statistics.__doc__.count("\n") == 4


def ref_kruskal(x):
    """Kruskal on all pairs, stable sort with NaN distances last."""
    p, parent, deaths = len(x), list(range(len(x))), []
    # distances summed in coordinate order from +0.0 (sum() would compensate)
    dist = [(math.sqrt(in_order_sum((x[i] - x[j]) * (x[i] - x[j])) + 0.0), i, j)
            for i in range(p) for j in range(i + 1, p)]
    for d, i, j in sorted(dist, key=lambda e: (math.isnan(e[0]), 0.0 if math.isnan(e[0]) else e[0])):
        a, b = i, j
        while parent[a] != a:
            a = parent[a]
        while parent[b] != b:
            b = parent[b]
        if a != b:
            parent[b] = a
            deaths.append(d)
    return deaths


@pytest.mark.parametrize("seed", range(5))
@pytest.mark.parametrize("d", [1, 2, 3, 7])
def test_h0_against_single_linkage(seed, d):
    x = np.random.default_rng(seed).normal(size=(60, d))
    x = np.round(x * 2) if seed == 4 else x  # many equal distances
    got = r.persistent_homology(x)
    assert got.shape == (59, 2) and (got[:, 0] == 0.0).all()
    np.testing.assert_array_equal(got[:, 1], np.sort(linkage(x, "single")[:, 2]))
    np.testing.assert_array_equal(got[:, 1], ref_kruskal(x))


def test_h0_non_finite_and_subsampling():
    x = np.random.default_rng(9).normal(size=(30, 2))
    x[[3, 17], 0] = NAN
    x[5, 1] = INF
    got = r.persistent_homology(x)
    np.testing.assert_array_equal(got[:, 1], ref_kruskal(x))  # NaN deaths come last
    assert np.isnan(got[-2:, 1]).all() and got.shape == (29, 2)
    big = np.arange(600.0)[:, None] ** 1.5
    rows = [int(600 / 500 * k) for k in range(500)]
    np.testing.assert_array_equal(r.persistent_homology(big)[:, 1], np.sort(np.diff(big[rows, 0])))
    assert r.persistent_homology(np.arange(10.0)[:, None], 4)[:, 1].tolist() == [2.0, 2.0, 3.0]  # rows 0, 2, 5, 7


@pytest.mark.parametrize("pts, max_points, want", [
    ([[0, 0], [3, 0], [0, 4]], 500, [[0, 3], [0, 4]]), ([[0], [1], [3], [6]], 500, [[0, 1], [0, 2], [0, 3]]),
    ([[0, 0], [1, 0], [0, 1], [1, 1]], 500, [[0, 1]] * 3), ([[2, 2]] * 3, 500, [[0, 0]] * 2),
    (np.zeros((3, 0)), 500, [[0, 0]] * 2), ([[1.0, 2.0]], 500, []), (np.zeros((0, 4)), 500, []),
    (np.arange(10.0)[:, None], 1, []), (np.arange(10.0)[:, None], 0, []),
    (np.arange(10.0)[:, None], 2**64 - 1, [[0, 1]] * 9),
])
def test_h0_known(pts, max_points, want):
    got = r.persistent_homology(np.array(pts, float), max_points)
    np.testing.assert_array_equal(got, np.array(want, float).reshape(-1, 2))


@pytest.mark.parametrize("shape", [(50, 3), (7, 1), (20, 12), (1, 3), (0, 2)])
def test_distance_matrix_against_scipy(shape):
    x = np.random.default_rng(1).normal(size=shape)
    want = squareform(pdist(x)) if shape[0] > 1 else np.zeros((shape[0],) * 2)
    got = r.pairwise_distance_matrix(x)
    np.testing.assert_allclose(got, want, rtol=2e-16, atol=0)
    np.testing.assert_array_equal(got, got.T)


def test_distance_matrix_special():
    np.testing.assert_array_equal(r.pairwise_distance_matrix(np.array([[0, 0], [3, 4.]])), [[0, 5], [5, 0]])
    np.testing.assert_array_equal(r.pairwise_distance_matrix(np.zeros((4, 0))), np.zeros((4, 4)))
    got = r.pairwise_distance_matrix(np.array([[0, 0], [NAN, 1], [1, 1.]]))
    assert np.isnan(got[1, [0, 2]]).all() and np.isnan(got[[0, 2], 1]).all() and got[1, 1] == 0.0
    with pytest.raises(BaseException) as e:
        r.pairwise_distance_matrix(np.broadcast_to(np.zeros((1, 0)), (2**33, 0)))
    assert type(e.value).__name__ == "PanicException" or e.type is MemoryError


@pytest.mark.parametrize("seed, n", [(0, 30), (1, 45), (2, 3000), (3, 5000)])
def test_wasserstein_against_scipy(seed, n):
    g = np.random.default_rng(seed)
    a = np.column_stack([g.random(n), g.random(n) + 1])
    b = np.column_stack([g.normal(size=n + 15), g.normal(size=n + 15) * 3])  # signs mixed
    b[::9, 0] = np.round(b[::9, 1], 1) + [0.0, -0.0][seed % 2]  # zeros and ties
    a[::7, 1] = INF
    pa, pb = [d[np.isfinite(d[:, 1]), 1] - d[np.isfinite(d[:, 1]), 0] for d in (a, b)]
    m = max(len(pa), len(pb))
    pa, pb = (np.concatenate([p, np.zeros(m - len(p))]) for p in (pa, pb))
    got = r.wasserstein_distance(a, b)
    assert got == pytest.approx(m * w1(pa, pb), rel=1e-12)
    total = in_order_sum(abs(u - v) for u, v in zip(np.sort(pa)[::-1], np.sort(pb)[::-1]))
    assert got == total and r.wasserstein_distance(b, a) == got
    if n > 1000:  # infinite persistences sort first, NaN ones last
        b[:3, 0] = [-INF, INF, NAN]
        assert math.isnan(r.wasserstein_distance(a, b))
        c = b[1:2].copy()
        assert r.wasserstein_distance(b[:2], c) == INF and math.isnan(r.wasserstein_distance(c, c))
    for d in (a, b[3:]):
        p = d[np.isfinite(d[:, 1]), 1] - d[np.isfinite(d[:, 1]), 0]
        mean, lo, hi, sd, c = r.persistence_statistics(d)
        assert (lo, hi, c) == (p.min(), p.max(), len(p))
        assert mean == pytest.approx(p.mean(), rel=1e-12) and sd == pytest.approx(p.std(), rel=1e-12)


W, S = r.wasserstein_distance, r.persistence_statistics


@pytest.mark.parametrize("f, args, want", [
    (W, ([[0, 1], [0, 3]], [[0, 2]]), 2.0),
    (W, ([[0, 1], [0, INF]], [[0, 1]]), 0.0),
    (W, (np.zeros((0, 2)), [[0, 2], [1, 0]]), 3.0),
    (W, (np.zeros((0, 2)), np.zeros((0, 2))), -0.0),
    (W, (np.zeros((0, 1)), [[0, NAN]]), -0.0),
    (W, ([[NAN, 1.0], [0, 2]], [[0, 1]]), NAN),
    (S, ([[0, 1], [0, 3], [0, INF]],), (2.0, 1.0, 3.0, 1.0, 2)),
    (S, ([[0, 5]],), (5.0, 5.0, 5.0, 0.0, 1)),
    (S, (np.zeros((0, 2)),), (NAN, NAN, NAN, NAN, 0)),
    (S, ([[0, NAN]],), (NAN, NAN, NAN, NAN, 0)),
    (S, ([[NAN, 1.0]],), (NAN, INF, -INF, NAN, 1)),
])
def test_diagram_measures_known(f, args, want):
    got = f(*(np.array(a, float) for a in args))
    assert type(got) is type(want) and all(map(same, np.atleast_1d(got), np.atleast_1d(want)))


@pytest.mark.parametrize("call", [lambda d: r.wasserstein_distance(d, np.zeros((0, 2))),
                                  lambda d: r.wasserstein_distance(np.zeros((1, 2)), d),
                                  r.persistence_statistics])
def test_one_column_diagram_panics(call):
    assert panics(call, np.zeros((3, 1))) == "ndarray: index out of bounds"
    call(np.zeros((0, 1)))  # no rows: read as empty
