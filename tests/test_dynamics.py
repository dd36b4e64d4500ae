"""Lyapunov exponents, FTLE, recurrence quantification and dimensions."""

import itertools
import math

import numpy as np
import pytest
from scipy.spatial.distance import cdist, pdist

from helpers import assert_stops_on_ctrl_c, panics, needs_memory_error
from nuvra import _rust as r

NAN = float("nan")
LN2 = math.log(2.0)


def col(*v):
    return np.array(v, dtype=np.float64)[:, None]


def logistic(n, x0=0.3):
    return np.array(list(itertools.accumulate(range(n - 1), lambda v, _: 4.0 * v * (1.0 - v), initial=x0)))


def henon(n):  # n points after 100 transient steps from (0.1, 0.1)
    pts = itertools.accumulate(range(n + 100), lambda p, _: (1.0 - 1.4 * p[0] * p[0] + p[1], 0.3 * p[0]),
                               initial=(0.1, 0.1))
    return np.array(list(pts)[101:])


def test_docs_signatures_and_taken_over_results():
    for f, sig in [(r.ftle, "(embedded, dt=1, integration_time=1.0)"), (r.max_diagonal_line_rust, "(r, min_line=2)"),
                   (r.rolling_ftle, "(embedded, window_size, stride, dt=1, forward=True, backward=True)"),
                   (r.recurrence_matrix_rust, "(trajectory, threshold, threshold_percentile=10.0)")]:
        assert f.__text_signature__ == sig
    assert r.largest_lyapunov_core.__doc__.endswith(
        "Returns: (divergence array, counts array) \u2014 caller does fitting.")
    assert r.correlation_dimension_rust.__doc__ == (
        "Correlation dimension via Grassberger-Procaccia (O(n\u00b2) distance computation).")
    assert r.lyapunov_spectrum.__doc__.splitlines()[-1] == (
        "Returns: 1D array of n_dims Lyapunov exponents (sorted descending)")
    for a in [r.estimate_jacobian_py(col(1, 2, 4, 8), 1), r.recurrence_matrix_rust(col(0, 1, 3), 1.0),
              r.attractor_reconstruction_rust(np.arange(5.0), 2, 1), r.lyapunov_spectrum(col(1, 2, 4, 8)),
              r.maximal_lyapunov(col(0, 1, 3, 7)), *r.largest_lyapunov_core(np.arange(30.0), 1, 1, 1, 5)]:
        assert not a.flags.owndata and a.flags.writeable and a.flags.c_contiguous
        assert type(a.base).__name__ == "PySliceContainer"


# ---------------------------------------------------------------- Jacobian and FTLE

def test_worked_examples_jacobian_ftle():
    x = col(1, 2, 4, 8)
    np.testing.assert_allclose(r.estimate_jacobian_py(x, 1), [[2.0]], rtol=1e-12)
    assert r.ftle(x) == pytest.approx((LN2, -LN2), rel=1e-12)
    assert r.ftle(x, 1, 2.0) == pytest.approx((LN2 / 2, -LN2 / 2), rel=1e-12)
    assert r.ftle(col(1.0, 5.0)) == (0.0, 0.0)
    assert np.isnan(r.ftle(col(1.0))).all() and np.isnan(r.ftle(x, dt=4)).all()
    np.testing.assert_array_equal(r.estimate_jacobian_py(np.ones((3, 2)), 5), np.eye(2))
    assert r.estimate_jacobian_py(np.ones((3, 0)), 1).shape == (0, 0)
    assert "order" in panics(r.ftle, np.ones((3, 0)))


def test_linear_map_exact_ftle():
    rng = np.random.default_rng(1)
    a = np.array([[1.1, 0.3, 0.0], [-0.2, 0.9, 0.1], [0.05, 0.0, 0.7]])
    traj = np.array(list(itertools.accumulate(range(11), lambda v, _: v @ a, initial=rng.normal(size=3))))
    sv = np.linalg.svd(a, compute_uv=False)
    np.testing.assert_allclose(r.estimate_jacobian_py(traj, 1), a, atol=1e-9)
    fwd, bwd = r.ftle(traj)
    assert fwd == pytest.approx(math.log(sv[0]), abs=1e-9)
    assert bwd == pytest.approx(-math.log(sv[-1]), abs=1e-9)
    f, b = r.ftle(np.vstack([traj[:6], traj[:6][::-1]]))  # time-symmetric
    assert f == pytest.approx(b, abs=1e-12)


def test_rolling_ftle_windows():
    x = np.random.default_rng(2).normal(size=(10, 2))
    idx, f, b = r.rolling_ftle(x, 4, 3)
    np.testing.assert_array_equal(idx, [0.0, 3.0, 6.0])
    for k, s in enumerate([0, 3, 6]):
        assert (f[k], b[k]) == r.ftle(x[s:s + 4])
    assert [a.size for a in r.rolling_ftle(x, 11, 1)] == [0, 0, 0]
    np.testing.assert_array_equal(r.rolling_ftle(x, 10, 1)[0], [0.0])
    assert all(np.array_equal(a, c) for a, c in zip(r.rolling_ftle(x, 4, 0), r.rolling_ftle(x, 4, 1)))
    _, f, b = r.rolling_ftle(x, 4, 2, forward=False)
    assert np.isnan(f).all() and np.isfinite(b).all()
    _, f, b = r.rolling_ftle(x, 3, 1, dt=3)
    assert (f == 0.0).all() and (b == 0.0).all()


@pytest.mark.parametrize("bad", [NAN, np.inf, -np.inf])
def test_non_finite_trajectories_give_nan(bad):
    x = np.random.default_rng(3).normal(size=(12, 2))
    x[7, 1] = bad
    assert all(np.isnan(v).all() for v in [r.ftle(x), r.estimate_jacobian_py(x, 1), r.lyapunov_spectrum(x)])
    idx, f, b = r.rolling_ftle(x, 4, 4)   # windows 0-3, 4-7 (holds row 7), 8-11
    assert np.isnan([f[1], b[1]]).all() and np.isfinite([f[0], f[2], b[0], b[2]]).all()
    _, spectra = r.rolling_lyapunov_spectrum(x, 4, 4)
    assert np.isnan(spectra[1]).all() and np.isfinite(spectra[0]).all()


# ---------------------------------------------------------------- spectra

def numpy_spectrum(x, dt, ratio):
    n, d = x.shape
    q, sums, count = np.eye(d), np.zeros(d), 0
    for t in range(n - dt):
        j = np.eye(d)
        if ratio:
            j[np.diag_indices(d)] = x[t + dt] / (x[t] + np.where(np.abs(x[t]) < 1e-10, 1e-10, 0.0))
        if t + dt + 1 < n:  # difference columns where the coordinate moves
            moved = np.abs(x[t + 1] - x[t]) > 1e-15
            j[:, moved] = (x[t + dt + 1] - x[t + dt])[:, None] / (x[t + 1] - x[t])[moved]
        q, rr = np.linalg.qr(j @ q)
        dg = np.abs(np.diag(rr))
        sums, count = sums + np.log(np.where(dg > 0, dg, 1.0)), count + 1
    return np.sort(sums / max(count, 1))[::-1]


def test_spectrum_worked_examples_and_reference():
    two = np.array([[1.0, 2.0], [2.0, 8.0]])
    np.testing.assert_allclose(r.lyapunov_spectrum(two), [math.log(4), LN2], rtol=1e-12)
    idx, sp = r.rolling_lyapunov_spectrum(two, 2, 1)
    assert list(idx) == [0.0] and len(sp) == 1 and list(sp[0]) == [0.0, 0.0]
    p = col(*2.0 ** np.arange(5))
    np.testing.assert_allclose(r.lyapunov_spectrum(p), [LN2], rtol=1e-12)
    np.testing.assert_allclose(r.rolling_lyapunov_spectrum(p, 5, 1)[1][0], [0.75 * LN2], rtol=1e-12)
    np.testing.assert_allclose(r.lyapunov_spectrum(p, 1, 2.0), [LN2 / 2], rtol=1e-12)
    assert np.isnan(r.lyapunov_spectrum(np.ones((1, 3)))).all()
    rng = np.random.default_rng(4)
    x = rng.normal(size=(40, 1))
    np.testing.assert_allclose(r.lyapunov_spectrum(x, 2), numpy_spectrum(x, 2, True), rtol=1e-12)
    _, sp = r.rolling_lyapunov_spectrum(x, 15, 10, 1)
    for k, s in enumerate([0, 10, 20]):
        np.testing.assert_allclose(sp[k], numpy_spectrum(x[s:s + 15], 1, False), rtol=1e-12)
    # several columns: the difference columns make J of rank one, so only the
    # largest exponent is a stable quantity
    x = rng.normal(size=(40, 3))
    assert r.lyapunov_spectrum(x, 2)[0] == pytest.approx(numpy_spectrum(x, 2, True)[0], rel=1e-9)
    assert r.rolling_lyapunov_spectrum(x, 41, 1)[0].size == 0
    assert all((s == 0).all() for s in r.rolling_lyapunov_spectrum(x, 3, 0, 3)[1])
    # NaN exponents (a NaN integration time) are sorted without a panic
    assert np.isnan(r.lyapunov_spectrum(rng.normal(size=(30, 25)), 1, NAN)).all()


def test_logistic_and_henon_maps():
    div, cnt = r.largest_lyapunov_core(logistic(3000), 1, 1, 10, 6)
    assert np.polyfit(np.arange(4), div[:4], 1)[0] == pytest.approx(LN2, abs=0.03)
    assert (cnt > 0).all() and (cnt == np.round(cnt)).all()
    h = henon(3000)
    m = r.maximal_lyapunov(h, 10, 10)
    assert np.polyfit(np.arange(5), m[:5], 1)[0] == pytest.approx(0.42, abs=0.05)
    assert r.correlation_dimension_rust(h) == pytest.approx(1.2, abs=0.1)


@pytest.mark.parametrize("exponents, want", [
    ([1.0, -2.0], 1.5), ([0.5, 0.0, -1.0], 2.5), ([-1.0, 0.5], 1.5), ([-0.5], 0.0), ([0.3, 0.2], 2.0),
    ([0.0, -1e-11], 1.0), ([], NAN), ([NAN, np.inf], NAN), ([0.5, NAN, -1.0], 1.5),
    ([0.906, 0.0, -14.572], 2.0 + 0.906 / 14.572)])
def test_kaplan_yorke(exponents, want):
    got = r.kaplan_yorke_dimension_rust(np.array(exponents, dtype=float))
    assert (math.isnan(got) and math.isnan(want)) or got == pytest.approx(want, rel=1e-14)


# ---------------------------------------------------------------- divergence

def ref_neighbours(x, sep, positive_only):
    """Brute force over cdist: the earliest nearest point at least sep indices away."""
    dist, idx = cdist(x, x), np.arange(len(x))
    nn = []
    for i in range(len(x)):
        ok = (np.abs(idx - i) >= sep) & ((dist[i] > 0) if positive_only else True)
        cand = np.where(ok, dist[i], np.inf)
        nn.append(int(np.argmin(cand)) if np.isfinite(cand.min()) else None)
    return nn


def ref_curve(x, nn, steps, limit):
    """Per step k: the positive distances between the futures of each pair (i < limit, j < limit)."""
    return [[d for i, j in enumerate(nn[:limit]) if j is not None and j < limit and max(i, j) + k < len(x)
             for d in [np.linalg.norm(x[i + k] - x[j + k])] if d > 0] for k in range(steps)]


def test_maximal_lyapunov_worked_example_and_reference():
    np.testing.assert_allclose(r.maximal_lyapunov(col(0, 1, 3, 7), min_separation=1),
                               [0.75 * LN2, 4 / 3 * LN2, 2 * LN2], rtol=1e-12)
    assert r.maximal_lyapunov(np.ones((0, 2))).size == 0 and r.maximal_lyapunov(col(1)).size == 0
    assert r.maximal_lyapunov(np.random.rand(5, 2)).size == 4
    for args in [(np.random.rand(8, 2), 5, 8), (np.random.rand(8, 2), 5, 0), (np.ones((6, 0)),)]:
        assert np.isnan(r.maximal_lyapunov(*args)).all()
    # small integers: many equal distances and repeated points over 1300 rows (several blocks)
    x = np.random.default_rng(10).integers(0, 25, size=(1300, 2)).astype(float)
    got = r.maximal_lyapunov(x, 8, 7)
    for k, d in enumerate(ref_curve(x, ref_neighbours(x, 7, False), 8, len(x))):
        assert len(d) > 100 and got[k] == pytest.approx(np.mean(np.log(d)), rel=1e-12)


@pytest.mark.parametrize("dim, tau, sep, mi", [(1, 1, 7, 3), (3, 2, 4, 7)])
def test_largest_lyapunov_core_reference(dim, tau, sep, mi):
    s = np.random.default_rng(7).integers(0, 25, size=1300).astype(float)  # ties across blocks
    s[[5, 300]] = NAN
    f = s[np.isfinite(s)]
    emb = np.stack([f[c * tau:len(f) - (dim - 1) * tau + c * tau] for c in range(dim)], axis=1)
    div, cnt = r.largest_lyapunov_core(s, dim, tau, sep, mi)
    for k, d in enumerate(ref_curve(emb, ref_neighbours(emb, sep, True), mi, len(emb) - mi)):
        assert cnt[k] == len(d) and div[k] == pytest.approx(np.mean(np.log(d)), rel=1e-10)


def test_largest_lyapunov_core_guards_and_result_size():
    short = np.arange(30.0) ** 1.5   # nv = 30 - 2 = 28 = sep + max_iter + 10 with sep 4, max_iter 14
    assert np.isfinite(r.largest_lyapunov_core(short, 2, 2, 4, 14)[0]).any()
    for s, *args in [(short, 2, 2, 5, 14), (short, 0, 1, 1, 3), (short, 2, 2**63, 1, 3), (short, 2, 1, 2**64 - 1, 3),
                     (short, 2**64 - 1, 2**64 - 1, 1, 3), (np.ones(100), 2, 1, 1, 5)]:
        div, cnt = r.largest_lyapunov_core(s, *args)
        assert np.isnan(div).all() and (cnt == 0).all() and div.size == args[-1]
    assert [a.size for a in r.largest_lyapunov_core(short, 2, 1, 1, 0)] == [0, 0]


# ---------------------------------------------------------------- recurrence

@pytest.mark.parametrize("threshold, pct, want", [
    (1.0, 10.0, [[1, 1, 0], [1, 1, 0], [0, 0, 1]]), (-1.0, 10.0, [[1, 1, 0], [1, 1, 0], [0, 0, 1]]),
    (-1.0, 50.0, [[1, 1, 0], [1, 1, 1], [0, 1, 1]]), (-1.0, 100.0, np.ones((3, 3))),
    (-1.0, -5.0, [[1, 1, 0], [1, 1, 0], [0, 0, 1]]), (NAN, 10.0, np.zeros((3, 3))),
    (-0.0, 10.0, np.eye(3))])
def test_recurrence_matrix_worked_examples(threshold, pct, want):
    np.testing.assert_array_equal(r.recurrence_matrix_rust(col(0, 1, 3), threshold, pct), want)


def test_recurrence_matrix_against_scipy():
    x = np.random.default_rng(8).normal(size=(700, 3))   # rows span several blocks
    d = cdist(x, x)
    np.testing.assert_array_equal(r.recurrence_matrix_rust(x, 0.9), (d <= 0.9).astype(float))
    up = np.sort(pdist(x))
    for pct in [3.0, 37.5, 99.9]:
        eps = up[min(int(pct / 100 * len(up)), len(up) - 1)]
        np.testing.assert_array_equal(r.recurrence_matrix_rust(x[::-1][::-1], -1.0, pct),
                                      (d <= eps).astype(float))
    for x, th, want in [(col(2.0), 0.5, [[1.0]]), (np.ones((0, 2)), 0.5, [[1.0]]), (np.ones((3, 0)), 0.0, 1)]:
        assert (r.recurrence_matrix_rust(x, th) == want).all()
    # NaN distances are left out of the percentile
    np.testing.assert_array_equal(r.recurrence_matrix_rust(col(0, 1, 3, NAN), -1.0, 50.0)[:3, :3],
                                  [[1, 1, 0], [1, 1, 1], [0, 1, 1]])
    assert not r.recurrence_matrix_rust(col(NAN, NAN, NAN), -1.0, 50.0).any()


def ref_lines(m, lmin, diagonal):
    n = len(m)
    seqs = ([np.diagonal(m, k) for k in range(1, n)] + [np.diagonal(m, -k) for k in range(1, n)]
            if diagonal else [m[:, j] for j in range(n)])
    lines = [len(list(g)) for s in seqs for v, g in itertools.groupby(s > 0.5) if v]
    return [x for x in lines if x >= max(lmin, 1)], sum(int((s > 0.5).sum()) for s in seqs)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("lmin", [0, 1, 2, 3])
def test_line_measures_against_reference(seed, lmin):
    rng = np.random.default_rng(seed)
    m = (rng.random((40, 40)) < rng.uniform(0.2, 0.8)).astype(float)
    m[rng.random(m.shape) < 0.05] = NAN
    (dl, drec), (vl, vrec) = ref_lines(m, lmin, True), ref_lines(m, lmin, False)
    p = np.unique(dl, return_counts=True)[1] / len(dl)
    assert r.determinism_rust(m, lmin) == pytest.approx(sum(dl) / drec, rel=1e-15)
    assert r.laminarity_rust(m, lmin) == pytest.approx(sum(vl) / vrec, rel=1e-15)
    assert r.trapping_time_rust(m, lmin) == pytest.approx(sum(vl) / len(vl), rel=1e-15)
    assert r.entropy_recurrence_rust(m, lmin) == pytest.approx(-np.sum(p * np.log(p + 1e-12)))
    assert r.max_diagonal_line_rust(m, lmin) == max(dl)


def test_line_measure_worked_examples():
    one, eye = np.ones((3, 3)), np.eye(3)
    assert r.determinism_rust(one) == pytest.approx(4 / 6)
    assert (r.laminarity_rust(one), r.trapping_time_rust(one), r.max_diagonal_line_rust(one)) == (1.0, 3.0, 2)
    assert r.entropy_recurrence_rust(one) == pytest.approx(-1.0e-12, rel=1e-3)
    assert (r.determinism_rust(eye), r.laminarity_rust(eye, 1), r.laminarity_rust(eye)) == (0.0, 1.0, 0.0)
    assert r.max_diagonal_line_rust(eye) == 0 and r.max_diagonal_line_rust(np.ones((6, 6))) == 5
    assert r.max_diagonal_line_rust(one, 4) == 0 and all(math.isnan(f(one, 4)) for f in [
        r.determinism_rust, r.laminarity_rust, r.trapping_time_rust, r.entropy_recurrence_rust])
    assert r.determinism_rust(np.ones((3, 4))) == r.determinism_rust(one)
    assert "index out of bounds" in panics(r.laminarity_rust, np.ones((4, 3)))
    # one vertical line of length 5: lmin 0 records no zero-length lines
    v = np.zeros((8, 8))
    v[1:6, 2] = 1.0
    assert r.trapping_time_rust(v, 0) == r.trapping_time_rust(v, 1) == 5.0
    assert r.entropy_recurrence_rust(np.ones((4, 4)), 0) == r.entropy_recurrence_rust(np.ones((4, 4)), 1)


BINARY = (np.random.default_rng(9).random((120, 120)) < 0.3).astype(float)
BINARY_RATE = (BINARY.sum() - np.trace(BINARY)) / (120 * 119)


@pytest.mark.parametrize("m, want", [
    (np.ones((1, 1)), 1.0), (np.ones((0, 0)), 1.0), (np.array([[1.0, 0.0], [1.0, 1.0]]), 0.5),
    (np.full((3, 3), 0.3), 0.3), (np.array([[0, NAN], [1, 0]]), NAN),
    (BINARY, BINARY_RATE), (BINARY.T.copy().T, BINARY_RATE)])  # ones counted; strided rows summed
def test_recurrence_rate(m, want):
    got = r.recurrence_rate_rust(m)
    assert (math.isnan(got) and math.isnan(want)) or got == pytest.approx(want, rel=1e-15)


# ---------------------------------------------------------------- dimensions and embedding

def ref_corr_dim(x, n_ref):
    n = len(x)
    refs = range(n) if n_ref >= n else [i * n // n_ref for i in range(n_ref)]
    d = np.concatenate([np.delete(np.linalg.norm(x - x[i], axis=1), i) for i in refs])
    d = np.sort(d[d > 0])
    a, b = math.log10(d[len(d) // 100]), math.log10(d[len(d) // 2])
    pts = [(math.log(rk), math.log(c)) for k in range(20)
           for rk in [10 ** (a + ((b - a) * k) / 19.0)] for c in [np.sum(d <= rk) / len(d)] if c > 0]
    u, v = np.array(pts[len(pts) // 4: 3 * len(pts) // 4]).T
    return np.polyfit(u, v, 1)[0]


@pytest.mark.parametrize("n, n_ref", [(30, 20), (200, 500), (400, 37), (1100, 40)])
def test_correlation_dimension_reference(n, n_ref):
    x = np.random.default_rng(n).normal(size=(n, 2))
    assert r.correlation_dimension_rust(x, n_ref) == pytest.approx(ref_corr_dim(x, n_ref), rel=1e-9)


@pytest.mark.parametrize("x, n_ref", [(np.random.rand(19, 2), 500), (np.random.rand(40, 2), 0), (np.ones((40, 0)), 500),
                                      (np.ones((40, 2)), 500), (np.repeat([[0.0], [1.0]], 20, axis=0), 500)])
def test_correlation_dimension_degenerate(x, n_ref):
    assert math.isnan(r.correlation_dimension_rust(x, n_ref))


@pytest.mark.parametrize("sig, dim, tau, want", [
    ([1, 2, 3, 4, 5], 2, 2, [[1, 3], [2, 4], [3, 5]]), ([1, 2, 3], 3, 1, [[1, 2, 3]]), ([1, 2, 3], 4, 1, [[NAN]]),
    ([1, 2, 3], 2, 0, [[1, 1], [2, 2], [3, 3]]), ([1, NAN, 2, 3], 2, 1, [[1, 2], [2, 3]]), ([], 1, 1, [[NAN]]),
    ([1, 2, 3], 0, 0, [[NAN]]), ([1, 2, 3], 0, 1, [[NAN]]), ([1, 2, 3], 2**64 - 1, 2, [[NAN]]),
    ([1, 2, 3], 2**33, 2**33, [[NAN]])])
def test_attractor_reconstruction(sig, dim, tau, want):
    got = r.attractor_reconstruction_rust(np.array(sig, dtype=float)[::-1][::-1], dim, tau)
    np.testing.assert_array_equal(got, np.array(want, dtype=float))


@needs_memory_error
def test_results_sized_by_a_parameter_fail_at_once():  # max_iter entries; dim columns (tau 0: n rows)
    s = np.arange(1000.0)
    with pytest.raises(MemoryError):
        r.largest_lyapunov_core(s[:30], 0, 1, 1, 2**40)
    with pytest.raises(MemoryError):
        r.attractor_reconstruction_rust(s, 2**40, 0)
    assert panics(r.largest_lyapunov_core, s[:30], 0, 1, 1, 2**61) == "capacity overflow"
    assert panics(r.attractor_reconstruction_rust, s[:8], 2**58, 0) == "capacity overflow"
    assert panics(r.attractor_reconstruction_rust, s[:8], 2**62, 0) == (
        "ndarray: Shape too large, product of non-zero axis lengths overflows isize")


def test_long_calls_stop_on_ctrl_c():
    rand = "x = np.random.default_rng(0).random(({}))"
    big = "np.broadcast_to(np.full(200_000, {}), (200_000, 200_000))"  # n x n cells without the memory
    cases = {f"{f}({v})": ("", f"nv.{f}({big.format(v)})") for f, v in [  # line scans; counted and summed rates
        ("determinism_rust", 1.0), ("laminarity_rust", 1.0), ("recurrence_rate_rust", 1.0),
        ("recurrence_rate_rust", 0.3)]}
    assert_stops_on_ctrl_c(cases | {  # all pairs, neighbour searches, parameter-driven windows and steps
        "recurrence_matrix": (rand.format("12000, 500"), "nv.recurrence_matrix_rust(x, 0.5)"),
        "recurrence_percentile": (rand.format("12000, 500"), "nv.recurrence_matrix_rust(x, -1.0, 10.0)"),
        "correlation_dimension": (rand.format("20000, 200"), "nv.correlation_dimension_rust(x, 20000)"),
        "largest_lyapunov_core": (rand.format("400_000"), "nv.largest_lyapunov_core(x, 2, 1, 10, 20)"),
        "maximal_lyapunov": (rand.format("200_000, 3"), "nv.maximal_lyapunov(x, 20, 10)"),
        "lyapunov_spectrum": (rand.format("400_000, 24"), "nv.lyapunov_spectrum(x)"),
        "rolling_ftle": (rand.format("200_000, 2"), "nv.rolling_ftle(x, 100_000, 1)"),
        "rolling_lyapunov_spectrum": (rand.format("200_000, 2"), "nv.rolling_lyapunov_spectrum(x, 100_000, 1)"),
    })
