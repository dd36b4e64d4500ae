"""Delay embeddings and the choice of embedding dimension and delay."""

import math

import numpy as np
import pytest

from helpers import NAN, INF, LAYOUTS, arr, layouts, panics
from nuvra import _rust as nv

rng = np.random.default_rng(5)
DOCS = {
    "delay_embedding": ("(signal, dim, tau)", "Construct time-delay embedding matrix."),
    "optimal_embedding_dimension": ("(signal, tau, max_dim, threshold)",
                                    "Find optimal embedding dimension using Cao's method."),
    "mutual_information_delay": ("(signal, max_lag, n_bins)",
                                 "Find optimal time delay using mutual information."),
    "false_nearest_neighbors": ("(signal, tau, max_dim, r_threshold, a_threshold)",
                                "Find optimal embedding dimension using false nearest neighbors."),
    "multivariate_embedding": ("(signals, dim, tau)", "Construct multivariate time-delay embedding."),
}
BIG = 2**64 - 1


def test_add_order_docs_and_signatures():
    for name, (sig, doc) in DOCS.items():
        assert (getattr(nv, name).__text_signature__, getattr(nv, name).__doc__) == (sig, doc)


def henon(n):
    x, y, out = 0.1, 0.1, np.empty(n)
    for i in range(n):
        x, y = 1 - 1.4 * x * x + y, 0.3 * x
        out[i] = x
    return out


HENON = henon(600)


def embed(x, dim, tau):
    return x[np.arange(len(x) - (dim - 1) * tau)[:, None] + np.arange(dim) * tau]


# ---------------------------------------------------------------- embeddings


@pytest.mark.parametrize("layout", LAYOUTS)
def test_delay_embedding_matches_slicing(layout):
    x = rng.standard_normal(50)
    assert np.array_equal(nv.delay_embedding(layouts(x)[layout], 4, 3), embed(x, 4, 3))


@pytest.mark.parametrize("signal, dim, tau, want", [
    ([1, 2, 3, 4, 5], 2, 2, [[1, 3], [2, 4], [3, 5]]), ([1, 2, 3], 3, 1, [[1, 2, 3]]),
    ([1, 2, 3], 4, 1, None), ([1, 2, 3], 0, 1, None), ([1, 2, 3], 2, 0, None), ([], 1, 1, None),
    ([1, NAN, 2, 3], 2, 1, [[1, 2], [2, 3]]), ([1, 2, 3], 2**63 + 1, 2, None), ([1, 2, 3], BIG, BIG, None),
    ([1, 2, 3], BIG, 0, None)])
def test_delay_embedding_cases(signal, dim, tau, want):
    got = nv.delay_embedding(arr(signal), dim, tau)
    if want is None:
        assert got.shape == (1, 1) and math.isnan(got[0, 0])
    else:
        assert got.tolist() == want


def test_multivariate_embedding():
    m = rng.standard_normal((5, 2))
    got = nv.multivariate_embedding(m, 2, 1)
    want = np.hstack([embed(m[:, 0], 2, 1), embed(m[:, 1], 2, 1)])
    assert np.array_equal(got, want)
    sq = rng.standard_normal((3, 3))
    assert np.array_equal(nv.multivariate_embedding(sq, 3, 1), sq.reshape(1, 9))
    with_nan = m.copy()
    with_nan[2, 1] = NAN
    assert np.isnan(nv.multivariate_embedding(with_nan, 2, 1)).sum() == 2
    tau0 = nv.multivariate_embedding(m, 2, 0)
    assert np.array_equal(tau0, np.repeat(m, 2, axis=1))
    assert nv.multivariate_embedding(np.empty((0, 5)), 2, 1).shape == (4, 0)
    for dim, tau in ((4, 1), (0, 0), (0, 3), (2**63, 4), (BIG, BIG)):
        r = nv.multivariate_embedding(sq, dim, tau)
        assert r.shape == (1, 1) and math.isnan(r[0, 0])


# ---------------------------------------------------------------- dimension searches


def neighbours(x, tau, d, n_rows):
    """(R_d, R_{d+1}) of every point with a neighbour at positive, finite distance."""
    e, e1 = embed(x, d, tau)[:n_rows], embed(x, d + 1, tau)[:n_rows]
    with np.errstate(over="ignore"):
        dist = np.sqrt(((e[:, None, :] - e[None, :, :]) ** 2).sum(-1))
    np.fill_diagonal(dist, INF)
    out = []
    for i in range(n_rows):
        j = int(np.argmin(dist[i]))
        if 0 < dist[i, j] < INF:
            out.append((dist[i, j], np.sqrt(((e1[i] - e1[j]) ** 2).sum())))
    return out


def fnn_ref(x, tau, max_dim, rt, at):
    sigma = x.std()
    pct = []
    for d in range(1, max_dim + 1):
        pairs = neighbours(x, tau, d, len(x) - d * tau)
        false = sum(r1 / sigma > at or abs(r1 - r) / r > rt for r, r1 in pairs)
        pct.append(100.0 * false / len(pairs) if pairs else NAN)
    best = next((d + 1 for d, p in enumerate(pct) if np.isfinite(p) and p < 1.0), max_dim)
    return pct, best


def cao_ref(x, tau, max_dim, threshold):
    e = []
    for d in range(1, max_dim + 1):
        pairs = neighbours(x, tau, d, len(x) - d * tau)
        e.append(np.mean([r1 / r for r, r1 in pairs]) if pairs else None)
    for k in range(len(e) - 1):
        if e[k] is not None and e[k + 1] is not None and e[k + 1] / e[k] > threshold:
            return k + 2
    return len(e) + 1 if len(e) >= 2 else 2


def test_false_nearest_neighbours_henon_and_reference():
    pct, best = nv.false_nearest_neighbors(HENON, 1, 5, 10.0, 2.0)
    assert best == 2
    ref, ref_best = fnn_ref(HENON[:300], 2, 4, 5.0, 1.5)
    got, got_best = nv.false_nearest_neighbors(HENON[:300], 2, 4, 5.0, 1.5)
    assert np.allclose(got, ref, rtol=1e-12) and got_best == ref_best
    # many points, many ties: the search tree must pick the same neighbours
    q = np.round(rng.standard_normal(1100), 1)
    assert nv.false_nearest_neighbors(q, 1, 3, 3.0, 1.5)[0].tolist() == fnn_ref(q, 1, 3, 3.0, 1.5)[0]


@pytest.mark.parametrize("signal, tau, max_dim, want_len, want_best", [
    (HENON[:39], 3, 9, 9, 2), (np.ones(100), 1, 4, 4, 2), (HENON[:1], 2**63, 2, 2, 2),
    (HENON[:50], BIG, 3, 3, 2), (np.arange(1.0, 41.0) * 1e160, 1, 3, 3, 3)])
def test_false_nearest_neighbours_degenerate(signal, tau, max_dim, want_len, want_best):
    pct, best = nv.false_nearest_neighbors(signal, tau, max_dim, 10.0, 2.0)
    assert len(pct) == want_len and np.isnan(pct).all() and best == want_best


def test_false_nearest_neighbours_edges():
    assert np.isfinite(nv.false_nearest_neighbors(HENON[:40], 3, 9, 10.0, 2.0)[0][0])
    pct, best = nv.false_nearest_neighbors(HENON, 1, 0, 10.0, 2.0)
    assert pct.size == 0 and best == 0
    # repeated delay vectors: points at distance 0 are left out of both counts
    rep = np.tile(HENON[:30], 3)
    assert np.allclose(nv.false_nearest_neighbors(rep, 1, 3, 10.0, 2.0)[0],
                       fnn_ref(rep, 1, 3, 10.0, 2.0)[0], equal_nan=True)


@pytest.mark.parametrize("signal, tau, max_dim, threshold", [
    (HENON[:300], 1, 5, 0.9), (HENON[:300], 2, 4, 0.5), (rng.standard_normal(200), 1, 4, 0.95),
    (HENON[:200], 1, 4, INF), (HENON[:200], 1, 1, 0.9),
    # quantised data: dimension 1 has no usable point and keeps its place
    (rng.integers(0, 3, 20).astype(float), 1, 5, 0.1),
    (rng.integers(0, 3, 30).astype(float), 1, 4, 0.5), (HENON[:100], 0, 3, 1.01)])
def test_cao_against_reference(signal, tau, max_dim, threshold):
    assert nv.optimal_embedding_dimension(signal, tau, max_dim, threshold) == cao_ref(
        signal, tau, max_dim, threshold)


def test_cao_placeholder_keeps_dimensions():
    x = np.array([0, 1, 2, 0, 2, 1, 1, 0, 0, 2, 2, 0, 1, 1, 2, 1, 0, 2, 0, 0, 1, 2, 1, 2, 0],
                 dtype=float)
    assert not neighbours(x, 1, 1, len(x) - 1)            # every point has a twin in dimension 1
    # E = [-, E(2), E(3), E(4)]: E(3)/E(2) exceeds 0.5, so 3 (a shifted list would say 2)
    assert nv.optimal_embedding_dimension(x, 1, 4, 0.5) == cao_ref(x, 1, 4, 0.5) == 3
    assert nv.optimal_embedding_dimension(x, 1, 4, INF) == 5   # dimensions evaluated + 1
    # every distance overflows to +inf: no point has a neighbour, no dimension a value
    assert nv.optimal_embedding_dimension(np.arange(1.0, 41.0) * 1e160, 1, 3, 0.5) == 4
    for args in ((HENON[:10], 1, 1, 0.5), (HENON, 1, 0, 0.5), (HENON, BIG, 3, 0.5)):
        assert nv.optimal_embedding_dimension(*args) == 2


# ---------------------------------------------------------------- mutual information delay


def mi_ref(s, lag, bins):
    x, y = s[:len(s) - lag], s[lag:]
    if np.ptp(x) == 0 or np.ptp(y) == 0:
        return 0.0
    bx = np.minimum(np.floor((x - x.min()) / (np.ptp(x) / bins)), bins - 1).astype(np.int64)
    by = np.minimum(np.floor((y - y.min()) / (np.ptp(y) / bins)), bins - 1).astype(np.int64)
    cells, joint = np.unique(np.stack([bx, by]), axis=1, return_counts=True)
    m = len(x)
    ux, cx = np.unique(bx, return_counts=True)
    uy, cy = np.unique(by, return_counts=True)
    px = cx[np.searchsorted(ux, cells[0])] / m
    py = cy[np.searchsorted(uy, cells[1])] / m
    pxy = joint / m
    return float(np.sum(pxy * np.log(pxy / (px * py))))


def delay_ref(s, max_lag, bins):
    if len(s) < max_lag + 10:
        return 1
    L = min(max_lag, len(s) - 10)
    mi = [None] + [mi_ref(s, t, bins) for t in range(1, L + 1)]
    return next((t for t in range(2, L) if mi[t] < mi[t - 1] and mi[t] < mi[t + 1]),
                max(L // 4, 1))


SINE = np.sin(np.arange(3000) * 2 * np.pi / 40) + 0.05 * rng.standard_normal(3000)


@pytest.mark.parametrize("signal, max_lag, bins", [
    (SINE, 60, 16), (SINE, 60, 5000), (HENON, 20, 8), (rng.standard_normal(300), 40, 10),
    (np.arange(100.0), 40, 10), (np.ones(200), 41, 8), (SINE[:50], 41, 8), (SINE[:50], 40, 8),
    (SINE, 0, 8), (SINE, 2, 8), (SINE, BIG, 8), (SINE[:500], 30, 2**40)])
def test_mutual_information_delay(signal, max_lag, bins):
    got = nv.mutual_information_delay(signal, max_lag, bins)
    assert got == delay_ref(signal, max_lag, bins)
    if signal is SINE and bins == 16:
        assert got == pytest.approx(10, abs=2)  # about a quarter of the period


def test_mutual_information_delay_zero_bins():
    assert nv.mutual_information_delay(np.ones(100), 20, 0) == 5   # no binning needed
    assert "index out of bounds" in panics(nv.mutual_information_delay, SINE, 20, 0)
