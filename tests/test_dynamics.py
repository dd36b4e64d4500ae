"""Lyapunov exponents, FTLE, recurrence quantification and dimensions."""

import itertools
import math

import numpy as np
import pytest
from scipy.spatial.distance import cdist, pdist

from helpers import panics
from nuvra import _rust as r

NAN = float("nan")
LN2 = math.log(2.0)


def col(*v):
    return np.array(v, dtype=np.float64)[:, None]


def logistic(n, x0=0.3):
    x = np.empty(n)
    x[0] = x0
    for i in range(1, n):
        x[i] = 4.0 * x[i - 1] * (1.0 - x[i - 1])
    return x


def henon(n):
    out, x, y = np.empty((n, 2)), 0.1, 0.1
    for i in range(n + 100):
        x, y = 1.0 - 1.4 * x * x + y, 0.3 * x
        if i >= 100:
            out[i - 100] = x, y
    return out


def test_registration_and_docs():
    assert r.ftle.__text_signature__ == "(embedded, dt=1, integration_time=1.0)"
    assert r.rolling_ftle.__text_signature__ == (
        "(embedded, window_size, stride, dt=1, forward=True, backward=True)")
    assert r.recurrence_matrix_rust.__text_signature__ == (
        "(trajectory, threshold, threshold_percentile=10.0)")
    assert r.max_diagonal_line_rust.__text_signature__ == "(r, min_line=2)"
    assert r.largest_lyapunov_core.__doc__.endswith(
        "Returns: (divergence array, counts array) \u2014 caller does fitting.")
    assert r.correlation_dimension_rust.__doc__ == (
        "Correlation dimension via Grassberger-Procaccia (O(n\u00b2) distance computation).")
    assert r.lyapunov_spectrum.__doc__.splitlines()[-1] == (
        "Returns: 1D array of n_dims Lyapunov exponents (sorted descending)")


def test_result_arrays_are_taken_over():
    for a in [r.estimate_jacobian_py(col(1, 2, 4, 8), 1),
              r.recurrence_matrix_rust(col(0, 1, 3), 1.0),
              r.attractor_reconstruction_rust(np.arange(5.0), 2, 1),
              r.lyapunov_spectrum(col(1, 2, 4, 8)), r.maximal_lyapunov(col(0, 1, 3, 7))]:
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
    rows = [rng.normal(size=3)]
    for _ in range(11):
        rows.append(rows[-1] @ a)
    traj = np.array(rows)
    sv = np.linalg.svd(a, compute_uv=False)
    np.testing.assert_allclose(r.estimate_jacobian_py(traj, 1), a, atol=1e-9)
    fwd, bwd = r.ftle(traj)
    assert fwd == pytest.approx(math.log(sv[0]), abs=1e-9)
    assert bwd == pytest.approx(-math.log(sv[-1]), abs=1e-9)
    sym = np.vstack([traj[:6], traj[:6][::-1]])
    f, b = r.ftle(sym)
    assert f == pytest.approx(b, abs=1e-12)


def test_rolling_ftle_windows():
    rng = np.random.default_rng(2)
    x = rng.normal(size=(10, 2))
    idx, f, b = r.rolling_ftle(x, 4, 3)
    np.testing.assert_array_equal(idx, [0.0, 3.0, 6.0])
    for k, s in enumerate([0, 3, 6]):
        assert (f[k], b[k]) == r.ftle(x[s:s + 4])
    assert [a.size for a in r.rolling_ftle(x, 11, 1)] == [0, 0, 0]
    np.testing.assert_array_equal(r.rolling_ftle(x, 10, 1)[0], [0.0])
    for a, c in zip(r.rolling_ftle(x, 4, 0), r.rolling_ftle(x, 4, 1)):
        np.testing.assert_array_equal(a, c)
    _, f, b = r.rolling_ftle(x, 4, 2, forward=False)
    assert np.isnan(f).all() and np.isfinite(b).all()
    _, f, b = r.rolling_ftle(x, 3, 1, dt=3)
    assert (f == 0.0).all() and (b == 0.0).all()


@pytest.mark.parametrize("bad", [NAN, np.inf, -np.inf])
def test_non_finite_trajectories_give_nan(bad):
    x = np.random.default_rng(3).normal(size=(12, 2))
    x[7, 1] = bad
    assert np.isnan(r.ftle(x)).all()
    assert np.isnan(r.estimate_jacobian_py(x, 1)).all()
    assert np.isnan(r.lyapunov_spectrum(x)).all()
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
            a = x[t]
            j[np.diag_indices(d)] = x[t + dt] / (a + np.where(np.abs(a) < 1e-10, 1e-10, 0.0))
        if t + dt + 1 < n:
            for k in range(d):
                delta = x[t + 1, k] - x[t, k]
                if abs(delta) > 1e-15:
                    j[:, k] = (x[t + dt + 1] - x[t + dt]) / delta
        q, rr = np.linalg.qr(j @ q)
        dg = np.abs(np.diag(rr))
        sums += np.where(dg > 0, np.log(np.where(dg > 0, dg, 1.0)), 0.0)
        count += 1
    return np.sort(sums / max(count, 1))[::-1]


def test_spectrum_worked_examples_and_reference():
    two = np.array([[1.0, 2.0], [2.0, 8.0]])
    np.testing.assert_allclose(r.lyapunov_spectrum(two), [math.log(4), LN2], rtol=1e-12)
    idx, sp = r.rolling_lyapunov_spectrum(two, 2, 1)
    np.testing.assert_array_equal(idx, [0.0])
    np.testing.assert_array_equal(sp[0], [0.0, 0.0])
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
    np.testing.assert_array_equal(r.lyapunov_spectrum(x[:, ::-1]), r.lyapunov_spectrum(x[:, ::-1].copy()))
    assert r.rolling_lyapunov_spectrum(x, 41, 1)[0].size == 0
    assert all((s == 0).all() for s in r.rolling_lyapunov_spectrum(x, 3, 0, 3)[1])


def test_spectrum_nan_last_never_panics():
    x = np.random.default_rng(5).normal(size=(30, 25))
    assert np.isnan(r.lyapunov_spectrum(x, 1, NAN)).all()


def test_logistic_map_largest_exponent():
    div, cnt = r.largest_lyapunov_core(logistic(3000), 1, 1, 10, 6)
    assert np.polyfit(np.arange(4), div[:4], 1)[0] == pytest.approx(LN2, abs=0.03)
    assert (cnt > 0).all() and (cnt == np.round(cnt)).all()


def test_henon_map_exponent_and_dimension():
    h = henon(3000)
    m = r.maximal_lyapunov(h, 10, 10)
    assert np.polyfit(np.arange(5), m[:5], 1)[0] == pytest.approx(0.42, abs=0.05)
    assert r.correlation_dimension_rust(h) == pytest.approx(1.2, abs=0.1)


@pytest.mark.parametrize("exponents, want", [
    ([1.0, -2.0], 1.5), ([0.5, 0.0, -1.0], 2.5), ([-1.0, 0.5], 1.5), ([-0.5], 0.0),
    ([0.3, 0.2], 2.0), ([0.0, -1e-11], 1.0), ([], NAN), ([NAN, np.inf], NAN),
    ([0.5, NAN, -1.0], 1.5), ([0.906, 0.0, -14.572], 2.0 + 0.906 / 14.572)])
def test_kaplan_yorke(exponents, want):
    got = r.kaplan_yorke_dimension_rust(np.array(exponents, dtype=float))
    assert (math.isnan(got) and math.isnan(want)) or got == pytest.approx(want, rel=1e-14)


# ---------------------------------------------------------------- divergence

def ref_divergence(x, max_iter, sep, positive_only):
    n = len(x)
    dist = cdist(x, x)
    nn = []
    for i in range(n):
        ok = np.abs(np.arange(n) - i) >= sep
        if positive_only:
            ok &= dist[i] > 0
        cand = np.where(ok, dist[i], np.inf)
        nn.append(int(np.argmin(cand)) if np.isfinite(cand.min()) else None)
    return nn


def test_maximal_lyapunov_worked_example_and_reference():
    np.testing.assert_allclose(r.maximal_lyapunov(col(0, 1, 3, 7), min_separation=1),
                               [0.75 * LN2, 4 / 3 * LN2, 2 * LN2], rtol=1e-12)
    assert r.maximal_lyapunov(np.ones((0, 2))).size == 0 and r.maximal_lyapunov(col(1)).size == 0
    assert r.maximal_lyapunov(np.random.rand(5, 2)).size == 4
    assert np.isnan(r.maximal_lyapunov(np.random.rand(8, 2), 5, 8)).all()
    assert np.isnan(r.maximal_lyapunov(np.random.rand(8, 2), 5, 0)).all()
    assert np.isnan(r.maximal_lyapunov(np.ones((6, 0)))).all()
    x = np.random.default_rng(6).normal(size=(700, 3))
    nn = ref_divergence(x, 8, 5, False)
    want = []
    for k in range(8):
        terms = [math.log(np.linalg.norm(x[i + k] - x[j + k])) for i, j in enumerate(nn)
                 if j is not None and i + k < 700 and j + k < 700]
        want.append(np.mean(terms))
    np.testing.assert_allclose(r.maximal_lyapunov(x, 8, 5), want, rtol=1e-10)


@pytest.mark.parametrize("positive_only", [False, True])
def test_neighbour_ties_across_blocks(positive_only):
    # small integers: many equal distances and repeated points over 1300 rows
    x = np.random.default_rng(10).integers(0, 25, size=(1300, 2)).astype(float)
    nn = ref_divergence(x, 3, 7, positive_only)
    if positive_only:   # largest_lyapunov_core on a one-column embedding (dim 1)
        s = x[:, 0]
        nn = ref_divergence(s[:, None], 3, 7, True)
        div, cnt = r.largest_lyapunov_core(s, 1, 1, 7, 3)
        m = len(s) - 3
        for k in range(3):
            d = [abs(s[i + k] - s[j + k]) for i, j in enumerate(nn[:m]) if j is not None and j < m]
            d = [v for v in d if v > 0]
            assert cnt[k] == len(d) and div[k] == pytest.approx(np.mean(np.log(d)), rel=1e-12)
    else:
        got = r.maximal_lyapunov(x, 3, 7)
        for k in range(3):
            d = [np.linalg.norm(x[i + k] - x[j + k]) for i, j in enumerate(nn)
                 if j is not None and max(i, j) + k < len(x)]
            d = [v for v in d if v > 0]
            assert len(d) > 100 and got[k] == pytest.approx(np.mean(np.log(d)), rel=1e-12)


def test_largest_lyapunov_core_reference_and_guards():
    s = np.random.default_rng(7).normal(size=900)
    s[[5, 300]] = NAN
    f = s[np.isfinite(s)]
    dim, tau, sep, mi = 3, 2, 4, 7
    emb = np.stack([f[c * tau:len(f) - (dim - 1) * tau + c * tau] for c in range(dim)], axis=1)
    nn = ref_divergence(emb, mi, sep, True)
    m = len(emb) - mi
    div, cnt = r.largest_lyapunov_core(s, dim, tau, sep, mi)
    for k in range(mi):
        terms = [math.log(np.linalg.norm(emb[i + k] - emb[j + k])) for i, j in enumerate(nn[:m])
                 if j is not None and j < m]
        assert cnt[k] == len(terms) and div[k] == pytest.approx(np.mean(terms), rel=1e-10)
    short = np.arange(30.0) ** 1.5   # nv = 30 - 2 = 28 = sep + max_iter + 10 with sep 4, max_iter 14
    assert np.isfinite(r.largest_lyapunov_core(short, 2, 2, 4, 14)[0]).any()
    for args in [(2, 2, 5, 14), (0, 1, 1, 3), (2, 2**63, 1, 3), (2, 1, 2**64 - 1, 3),
                 (2**64 - 1, 2**64 - 1, 1, 3)]:
        div, cnt = r.largest_lyapunov_core(short, *args)
        assert np.isnan(div).all() and (cnt == 0).all() and div.size == args[-1]
    div, cnt = r.largest_lyapunov_core(np.ones(100), 2, 1, 1, 5)
    assert np.isnan(div).all() and (cnt == 0).all()
    assert [a.size for a in r.largest_lyapunov_core(s, 2, 1, 1, 0)] == [0, 0]


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
    np.testing.assert_array_equal(r.recurrence_matrix_rust(col(2.0), 0.5), [[1.0]])
    np.testing.assert_array_equal(r.recurrence_matrix_rust(np.ones((0, 2)), 0.5), [[1.0]])
    np.testing.assert_array_equal(r.recurrence_matrix_rust(np.ones((3, 0)), 0.0), np.ones((3, 3)))


def test_percentile_leaves_nan_distances_out():
    x = col(0, 1, 3, NAN)
    np.testing.assert_array_equal(r.recurrence_matrix_rust(x, -1.0, 50.0)[:3, :3],
                                  [[1, 1, 0], [1, 1, 1], [0, 1, 1]])
    assert not r.recurrence_matrix_rust(col(NAN, NAN, NAN), -1.0, 50.0).any()


def ref_lines(m, lmin, diagonal):
    n = len(m)
    seqs = ([np.diagonal(m, k) for k in range(1, n)] + [np.diagonal(m, -k) for k in range(1, n)]
            if diagonal else [m[:, j] for j in range(n)])
    lines, rec = [], 0
    for s in seqs:
        rec += int((s > 0.5).sum())
        lines += [len(list(g)) for v, g in itertools.groupby(s > 0.5) if v]
    return [x for x in lines if x >= max(lmin, 1)], rec


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("lmin", [0, 1, 2, 3])
def test_line_measures_against_reference(seed, lmin):
    rng = np.random.default_rng(seed)
    m = (rng.random((40, 40)) < rng.uniform(0.2, 0.8)).astype(float)
    m[rng.random(m.shape) < 0.05] = NAN
    dl, drec = ref_lines(m, lmin, True)
    vl, vrec = ref_lines(m, lmin, False)
    _, counts = np.unique(dl, return_counts=True)
    p = counts / len(dl)
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
    for f in [r.determinism_rust, r.laminarity_rust, r.trapping_time_rust, r.entropy_recurrence_rust]:
        assert math.isnan(f(one, 4))
    assert r.max_diagonal_line_rust(one, 4) == 0
    assert r.determinism_rust(np.ones((3, 4))) == r.determinism_rust(one)
    assert "index out of bounds" in panics(r.laminarity_rust, np.ones((4, 3)))
    # one vertical line of length 5: lmin 0 records no zero-length lines
    v = np.zeros((8, 8))
    v[1:6, 2] = 1.0
    assert r.trapping_time_rust(v, 0) == r.trapping_time_rust(v, 1) == 5.0
    assert r.entropy_recurrence_rust(np.ones((4, 4)), 0) == r.entropy_recurrence_rust(np.ones((4, 4)), 1)


@pytest.mark.parametrize("m, want", [(np.ones((1, 1)), 1.0), (np.ones((0, 0)), 1.0),
                                     (np.array([[1.0, 0.0], [1.0, 1.0]]), 0.5),
                                     (np.full((3, 3), 0.3), 0.3), (np.array([[0, NAN], [1, 0]]), NAN)])
def test_recurrence_rate(m, want):
    got = r.recurrence_rate_rust(np.asarray(m, dtype=float))
    assert (math.isnan(got) and math.isnan(want)) or got == pytest.approx(want, rel=1e-15)


def test_recurrence_rate_binary_matches_numpy():
    m = (np.random.default_rng(9).random((120, 120)) < 0.3).astype(float)
    want = (m.sum() - np.trace(m)) / (120 * 119)
    assert r.recurrence_rate_rust(m) == want and r.recurrence_rate_rust(m.T.copy().T) == want


# ---------------------------------------------------------------- dimensions and embedding

def ref_corr_dim(x, n_ref):
    n = len(x)
    refs = range(n) if n_ref >= n else [i * n // n_ref for i in range(n_ref)]
    d = np.concatenate([np.delete(np.linalg.norm(x - x[i], axis=1), i) for i in refs])
    d = np.sort(d[d > 0])
    rmin, rmax = d[len(d) // 100], d[len(d) // 2]
    a, b = math.log10(rmin), math.log10(rmax)
    pts = [(math.log(rk), math.log(c)) for k in range(20)
           for rk in [10 ** (a + ((b - a) * k) / 19.0)] for c in [np.sum(d <= rk) / len(d)] if c > 0]
    u, v = np.array(pts[len(pts) // 4: 3 * len(pts) // 4]).T
    return np.polyfit(u, v, 1)[0]


@pytest.mark.parametrize("n, n_ref", [(30, 20), (200, 500), (400, 37), (1100, 40)])
def test_correlation_dimension_reference(n, n_ref):
    x = np.random.default_rng(n).normal(size=(n, 2))
    assert r.correlation_dimension_rust(x, n_ref) == pytest.approx(ref_corr_dim(x, n_ref), rel=1e-9)


@pytest.mark.parametrize("x, n_ref", [(np.random.rand(19, 2), 500), (np.random.rand(40, 2), 0),
                                      (np.ones((40, 2)), 500), (np.ones((40, 0)), 500),
                                      (np.repeat([[0.0], [1.0]], 20, axis=0), 500)])
def test_correlation_dimension_degenerate(x, n_ref):
    assert math.isnan(r.correlation_dimension_rust(x, n_ref))


@pytest.mark.parametrize("sig, dim, tau, want", [
    ([1, 2, 3, 4, 5], 2, 2, [[1, 3], [2, 4], [3, 5]]), ([1, 2, 3], 3, 1, [[1, 2, 3]]),
    ([1, 2, 3], 4, 1, [[NAN]]), ([1, 2, 3], 2, 0, [[1, 1], [2, 2], [3, 3]]),
    ([1, NAN, 2, 3], 2, 1, [[1, 2], [2, 3]]), ([], 1, 1, [[NAN]]),
    ([1, 2, 3], 0, 0, [[NAN]]), ([1, 2, 3], 0, 1, [[NAN]]), ([1, 2, 3], 2**64 - 1, 2, [[NAN]]),
    ([1, 2, 3], 2**33, 2**33, [[NAN]])])
def test_attractor_reconstruction(sig, dim, tau, want):
    got = r.attractor_reconstruction_rust(np.array(sig, dtype=float)[::-1][::-1], dim, tau)
    np.testing.assert_array_equal(got, np.array(want, dtype=float))
