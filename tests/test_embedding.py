"""Delay embeddings and the choice of embedding dimension and delay."""

import math
import time

import numpy as np
import pytest

from helpers import NAN, INF, arr, assert_stops_on_ctrl_c, panics, needs_memory_error
from nuvra import _rust as nv

rng = np.random.default_rng(5)
BIG = 2**64 - 1


HENON = [0.1, 0.1]   # x coordinates of the Henon map, x' = 1 - 1.4 x^2 + 0.3 x_previous
for _ in range(600):
    HENON.append(1 - 1.4 * HENON[-1] * HENON[-1] + 0.3 * HENON[-2])
HENON = np.array(HENON[2:])


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


def test_docs_and_signatures():
    for name, (sig, doc) in DOCS.items():
        assert (getattr(nv, name).__text_signature__, getattr(nv, name).__doc__) == (sig, doc)


def embed(x, dim, tau):
    return x[np.arange(len(x) - (dim - 1) * tau)[:, None] + np.arange(dim) * tau]


def owned_nan_or(got, want):   # a new C-contiguous array that NumPy owns: want, [[NaN]] for None
    assert got.flags.owndata and got.base is None and got.flags.c_contiguous
    want = [[NAN]] if want is None else want
    assert np.array_equal(got, want, equal_nan=True) and got.shape == np.shape(want)


@pytest.mark.parametrize("signal, dim, tau, want", [
    ([1, 2, 3, 4, 5], 2, 2, [[1, 3], [2, 4], [3, 5]]), ([1, 2, 3], 3, 1, [[1, 2, 3]]),
    ([1, 2, 3], 4, 1, None), ([1, 2, 3], 0, 1, None), ([1, 2, 3], 2, 0, None), ([], 1, 1, None),
    ([1, NAN, 2, 3], 2, 1, [[1, 2], [2, 3]]), ([1, 2, 3], 2**63 + 1, 2, None), ([1, 2, 3], BIG, BIG, None),
    ([1, 2, 3], BIG, 0, None), (rng.standard_normal(50), 4, 3, "slicing")])
def test_delay_embedding_cases(signal, dim, tau, want):
    owned_nan_or(nv.delay_embedding(arr(signal), dim, tau),
                 embed(arr(signal), dim, tau) if isinstance(want, str) else want)


def test_multivariate_embedding():
    m, sq, big = rng.standard_normal((5, 2)), rng.standard_normal((3, 3)), rng.standard_normal((500, 3))
    want = np.hstack([embed(m[:, 0], 2, 1), embed(m[:, 1], 2, 1)])
    owned_nan_or(nv.multivariate_embedding(m, 2, 1), want)
    owned_nan_or(nv.multivariate_embedding(m.T, 2, 1), want)
    swv = np.lib.stride_tricks.sliding_window_view
    owned_nan_or(nv.multivariate_embedding(big, 4, 7), swv(big, 22, axis=0)[:, :, ::7].reshape(479, 12))
    owned_nan_or(nv.multivariate_embedding(sq, 3, 1), sq.reshape(1, 9))
    owned_nan_or(nv.multivariate_embedding(m, 2, 0), np.repeat(m, 2, axis=1))
    owned_nan_or(nv.multivariate_embedding(np.empty((0, 5)), 2, 1), np.empty((4, 0)))
    with_nan = np.where(np.arange(10).reshape(5, 2) == 5, NAN, m)   # a NaN in every vector over it
    assert np.isnan(nv.multivariate_embedding(with_nan, 2, 1)).sum() == 2
    for dim, tau in ((4, 1), (0, 0), (0, 3), (2**63, 4), (BIG, BIG)):
        owned_nan_or(nv.multivariate_embedding(sq, dim, tau), None)


def neighbour_pairs(x, tau, max_dim):
    """Per dimension d: (R_d, R_{d+1}) of every point with a neighbour at positive, finite distance."""
    out = []
    for d in range(1, max_dim + 1):
        e, e1 = embed(x, d, tau)[:len(x) - d * tau], embed(x, d + 1, tau)
        with np.errstate(over="ignore"):
            dist = np.sqrt(((e[:, None, :] - e[None, :, :]) ** 2).sum(-1))
        np.fill_diagonal(dist, INF)
        nn = [(i, int(np.argmin(row))) for i, row in enumerate(dist)]
        out.append([(dist[i, j], np.sqrt(((e1[i] - e1[j]) ** 2).sum())) for i, j in nn
                    if 0 < dist[i, j] < INF])
    return out


def fnn_ref(x, tau, max_dim, rt, at):
    pct = [100.0 * sum(r1 / x.std() > at or abs(r1 - r) / r > rt for r, r1 in p) / len(p)
           if p else NAN for p in neighbour_pairs(x, tau, max_dim)]
    return pct, next((d + 1 for d, p in enumerate(pct) if np.isfinite(p) and p < 1.0), max_dim)


def cao_ref(x, tau, max_dim, threshold):
    e = [np.mean([r1 / r for r, r1 in p]) if p else None for p in neighbour_pairs(x, tau, max_dim)]
    return next((k + 2 for k in range(len(e) - 1) if e[k] is not None and e[k + 1] is not None
                 and e[k + 1] / e[k] > threshold), len(e) + 1 if len(e) >= 2 else 2)


def test_false_nearest_neighbours_against_reference():
    assert nv.false_nearest_neighbors(HENON, 1, 5, 10.0, 2.0)[1] == 2
    got, ref = nv.false_nearest_neighbors(HENON[:300], 2, 4, 5.0, 1.5), fnn_ref(HENON[:300], 2, 4, 5.0, 1.5)
    assert np.allclose(got[0], ref[0], rtol=1e-12) and got[1] == ref[1]
    # many points, many ties: the search tree must pick the same neighbours
    q = np.round(rng.standard_normal(1100), 1)
    assert nv.false_nearest_neighbors(q, 1, 3, 3.0, 1.5)[0].tolist() == fnn_ref(q, 1, 3, 3.0, 1.5)[0]
    # repeated delay vectors: points at distance 0 are left out of both counts
    rep = np.tile(HENON[:30], 3)
    assert np.allclose(*(f(rep, 1, 3, 10.0, 2.0)[0] for f in (nv.false_nearest_neighbors, fnn_ref)), equal_nan=True)
    assert np.isfinite(nv.false_nearest_neighbors(HENON[:40], 3, 9, 10.0, 2.0)[0][0])


@pytest.mark.parametrize("signal, tau, max_dim, want_len, want_best", [
    (HENON[:39], 3, 9, 9, 2), (np.ones(100), 1, 4, 4, 2), (HENON[:1], 2**63, 2, 2, 2),
    (HENON[:50], BIG, 3, 3, 2), (np.arange(1.0, 41.0) * 1e160, 1, 3, 3, 3), (HENON, 1, 0, 0, 0)])
def test_false_nearest_neighbours_degenerate(signal, tau, max_dim, want_len, want_best):
    pct, best = nv.false_nearest_neighbors(signal, tau, max_dim, 10.0, 2.0)
    assert len(pct) == want_len and np.isnan(pct).all() and best == want_best


@pytest.mark.parametrize("signal, tau, max_dim, threshold", [
    (HENON[:300], 1, 5, 0.9), (HENON[:300], 2, 4, 0.5), (rng.standard_normal(200), 1, 4, 0.95),
    (HENON[:200], 1, 4, INF), (HENON[:200], 1, 1, 0.9), (HENON[:100], 0, 3, 1.01),
    # quantised data: dimension 1 has no usable point and keeps its place
    (rng.integers(0, 3, 20).astype(float), 1, 5, 0.1), (rng.integers(0, 3, 30).astype(float), 1, 4, 0.5)])
def test_cao_against_reference(signal, tau, max_dim, threshold):
    assert nv.optimal_embedding_dimension(signal, tau, max_dim, threshold) == cao_ref(
        signal, tau, max_dim, threshold)


def test_cao_placeholder_keeps_dimensions():
    x = arr([0, 1, 2, 0, 2, 1, 1, 0, 0, 2, 2, 0, 1, 1, 2, 1, 0, 2, 0, 0, 1, 2, 1, 2, 0])
    assert not neighbour_pairs(x, 1, 1)[0]             # every point has a twin in dimension 1
    # E = [-, E(2), E(3), E(4)]: E(3)/E(2) exceeds 0.5, so 3 (a shifted list would say 2)
    assert nv.optimal_embedding_dimension(x, 1, 4, 0.5) == cao_ref(x, 1, 4, 0.5) == 3
    assert nv.optimal_embedding_dimension(x, 1, 4, INF) == 5   # dimensions evaluated + 1
    # every distance overflows to +inf: no point has a neighbour, no dimension a value
    assert nv.optimal_embedding_dimension(np.arange(1.0, 41.0) * 1e160, 1, 3, 0.5) == 4
    for args in ((HENON[:10], 1, 1, 0.5), (HENON, 1, 0, 0.5), (HENON, BIG, 3, 0.5)):
        assert nv.optimal_embedding_dimension(*args) == 2


def mi_ref(s, lag, bins):
    x, y = s[:len(s) - lag], s[lag:]
    if np.ptp(x) == 0 or np.ptp(y) == 0:
        return 0.0
    bx, by = (np.minimum(np.floor((v - v.min()) / (np.ptp(v) / bins)), bins - 1).astype(np.int64)
              for v in (x, y))
    cells, joint = np.unique(np.stack([bx, by]), axis=1, return_counts=True)
    (ux, cx), (uy, cy) = np.unique(bx, return_counts=True), np.unique(by, return_counts=True)
    px, py = cx[np.searchsorted(ux, cells[0])] / len(x), cy[np.searchsorted(uy, cells[1])] / len(x)
    return float(np.sum(joint / len(x) * np.log(joint / len(x) / (px * py))))


def delay_ref(s, max_lag, bins):
    if len(s) < max_lag + 10:
        return 1
    L = min(max_lag, len(s) - 10)
    mi = [None] + [mi_ref(s, t, bins) for t in range(1, L + 1)]
    return next((t for t in range(2, L) if mi[t] < mi[t - 1] and mi[t] < mi[t + 1]), max(L // 4, 1))


SINE = np.sin(np.arange(3000) * 2 * np.pi / 40) + 0.05 * rng.standard_normal(3000)


@pytest.mark.parametrize("signal, max_lag, bins", [
    (SINE, 60, 16), (SINE, 60, 5000), (HENON, 20, 8), (rng.standard_normal(300), 40, 10),
    (np.arange(100.0), 40, 10), (np.ones(200), 41, 8), (SINE[:50], 41, 8), (SINE[:50], 40, 8),
    (SINE, 0, 8), (SINE, 2, 8), (SINE, BIG, 8), (SINE[:500], 30, 2**40), (np.ones(100), 20, 0)])
def test_mutual_information_delay(signal, max_lag, bins):
    got = nv.mutual_information_delay(signal, max_lag, bins)
    assert got == delay_ref(signal, max_lag, bins)
    if signal is SINE and bins == 16:
        assert got == pytest.approx(10, abs=2)  # about a quarter of the period


def test_mutual_information_delay_zero_bins():   # a constant signal needs no bins (above)
    assert "index out of bounds" in panics(nv.mutual_information_delay, SINE, 20, 0)


@needs_memory_error
def test_results_sized_by_a_parameter_are_allocated_at_once():
    start = time.monotonic()
    pytest.raises(MemoryError, nv.false_nearest_neighbors, HENON[:64], 0, 2**44, 10.0, 2.0)
    pytest.raises(MemoryError, nv.multivariate_embedding, np.ones((3, 2)), 2**44, 0)
    assert time.monotonic() - start < 1.0


def test_long_calls_stop_on_ctrl_c():
    noise = "x = np.random.default_rng(0).standard_normal({})"
    assert_stops_on_ctrl_c({
        "cao, tau 0": (noise.format(64), "nv.optimal_embedding_dimension(x, 0, 2**31 - 1, 1.0)"),
        "fnn, tau 0": (noise.format(64), "nv.false_nearest_neighbors(x, 0, 10**6, 10.0, 2.0)"),
        "fnn neighbours": (noise.format(200_000), "nv.false_nearest_neighbors(x, 1, 8, 10.0, 2.0)"),
        "cao neighbours": (noise.format(200_000), "nv.optimal_embedding_dimension(x, 1, 10, 10.0)"),
        "mi lags": ("x = np.ones(10**6)", "nv.mutual_information_delay(x, 10**6 - 10, 8)"),
    })
