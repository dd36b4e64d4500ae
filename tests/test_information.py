"""Histogram information measures and the pairwise MI / TE / Granger matrices."""

import math
from collections import Counter

import numpy as np
import pytest
import scipy.spatial.distance as ssd
import scipy.stats
from sklearn.metrics import mutual_info_score

from helpers import panics
from nuvra import _rust as nv

NAN, INF = float("nan"), float("inf")
LN2 = math.log(2.0)


def a(*v):
    return np.array(v, dtype=np.float64)


# ---------------------------------------------------------------- references


def discretize(v, nb, lo, hi):
    rng = hi - lo
    if rng < 1e-12:
        return np.zeros(len(v), np.uint64)
    with np.errstate(invalid="ignore"):
        t = ((np.asarray(v) - lo) / rng) * float(nb)
    t = np.where(np.isnan(t) | (t < 0), 0, t)
    return np.minimum(t.astype(np.float64), nb - 1).astype(np.uint64)


def nan_range(v):
    v = np.asarray(v)
    f = v[~np.isnan(v)]
    return (f.min(), f.max()) if len(f) else (INF, -INF)


def histogram_counts(v, nb):
    lo, hi = nan_range(v)
    if hi - lo < 1e-12:
        return np.array([len(v)])
    with np.errstate(invalid="ignore"):
        b = np.floor((np.asarray(v) - lo) / ((hi - lo) / nb))
    b = np.minimum(np.where(np.isnan(b) | (b < 0), 0, b), nb - 1).astype(int)
    return np.bincount(b, minlength=nb)


def te_reference(src, tgt, nb, k):
    """Transfer entropy with tuple histories (exact), states in sorted order."""
    n = min(len(src), len(tgt))
    if n < 3 or n <= k:
        return 0.0
    s = discretize(src[:n], nb, *nan_range(src)).tolist()
    y = discretize(tgt[:n], nb, *nan_range(tgt)).tolist()
    joint, ny, yx, hy_c = Counter(), Counter(), Counter(), Counter()
    for t in range(k, n):
        hy, hx = tuple(y[t - k:t]), tuple(s[t - k:t])
        joint[(y[t], hy, hx)] += 1
        ny[(y[t], hy)] += 1
        yx[(hy, hx)] += 1
        hy_c[hy] += 1
    te, N = 0.0, n - k
    for (nx, hy, hx), c in sorted(joint.items()):
        ratio = (c * hy_c[hy]) / (yx[(hy, hx)] * ny[(nx, hy)])
        te += (c / N) * math.log2(ratio)
    return max(te, 0.0)


def column_bins(v, nb):
    lo, hi = nan_range(v)
    with np.errstate(invalid="ignore"):
        t = ((v - lo) / ((hi - lo) + 1e-10)) * nb
    t = np.where(np.isnan(t) | (t < 0), 0, t)
    return np.minimum(t, nb - 1).astype(np.int64)


def count_entropy(keys):
    counts = sorted(Counter(keys).items())
    n, h = len(keys), 0.0
    for _, c in counts:
        p = c / n
        h -= p * math.log2(p + 1e-10)
    return h


# ---------------------------------------------------------------- registration

INFO = [
    ("mutual_information", "(x, y, n_bins=16)"),
    ("transfer_entropy", "(source, target, n_bins=16, history=1)"),
    ("batch_transfer_entropy_py", "(signals, n_bins=16, history=1)"),
    ("cond_mutual_information", "(x, y, z, n_bins=16)"),
    ("shannon_entropy", "(data, n_bins, base=2.0)"),
    ("renyi_entropy", "(data, alpha=2.0, n_bins=..., base=2.0)"),
    ("tsallis_entropy", "(data, q=2.0, n_bins=...)"),
    ("conditional_entropy", "(x, y, n_bins=10)"),
    ("joint_entropy", "(x, y, n_bins=10)"),
    ("kl_divergence", "(p, q, n_bins=10)"),
    ("js_divergence", "(p, q, n_bins=10)"),
    ("information_gain", "(x, y, n_bins=10)"),
    ("cross_entropy", "(p, q, n_bins=..., base=2.0)"),
    ("hellinger_distance", "(p, q, n_bins=...)"),
    ("total_variation_distance", "(p, q, n_bins=...)"),
]


def test_registration_order_and_docs():
    for name, sig in INFO:  # a signature and no description
        assert getattr(nv, name).__text_signature__ == sig and getattr(nv, name).__doc__ is None
    assert nv.transfer_entropy_matrix.__doc__.endswith(
        "Returns: (n_signals, n_signals) TE matrix — te[i][j] = TE from i to j")
    assert nv.mutual_information_matrix.__text_signature__ == "(signals, n_bins=10)"
    assert nv.granger_matrix.__text_signature__ == "(signals, max_lag=5)"
    assert nv.granger_matrix.__doc__ == ("Compute Granger causality F-statistic matrix.\n\nsignals: "
                                         "(n_samples, n_signals)\nReturns: (n_signals, n_signals) "
                                         "F-statistic matrix")


# ---------------------------------------------------------------- worked examples

X01, Y0011 = a(0, 1, 0, 1), a(0, 0, 1, 1)
EXAMPLES = [
    (nv.shannon_entropy, (a(1, 2, 3, 4), 2), 1.0),
    (nv.shannon_entropy, (a(NAN, 1, 2, INF, 3, 4), 2, math.e), LN2),
    (nv.renyi_entropy, (a(1, 2, 3, 4), 2.0, 2), 1.0),
    (nv.tsallis_entropy, (a(1, 2, 3, 4), 2.0, 2), 0.5),
    (nv.tsallis_entropy, (a(1, 2, 3, 4), 1.0, 2), LN2),
    (nv.joint_entropy, (X01, Y0011, 2), 2.0),
    (nv.conditional_entropy, (X01, Y0011, 2), 1.0),
    (nv.information_gain, (X01, Y0011, 2), 0.0),
    (nv.information_gain, (X01, X01, 2), 1.0),
    (nv.information_gain, (a(0, 1, NAN, 3), a(0, 1, NAN, 3), 3), 1.5),  # histogram [2, 1, 1]
    (nv.conditional_entropy, (a(0, 1, INF, 1), Y0011, 2), 0.0),
    (nv.joint_entropy, (a(0, 1, INF, 1), Y0011, 2), 1.0),
    (nv.joint_entropy, (a(0, 1, 2), a(0, 1, 2, 100, 200), 2), 0.9182958340544896),
    (nv.mutual_information, (X01, X01, 2), 1.0),
    (nv.mutual_information, (a(NAN, 1, 0, 1), X01, 2), 1.0),
    (nv.mutual_information, (a(0, 1, 2, 3), a(3, 2, 1, 0), 4), 2.0),
    (nv.mutual_information, (a(1, 1 + 1e-13, 1), a(2, 1, 0), 0), 0.0),
    (nv.cond_mutual_information, (a(0, 1, 0, 1, 0, 1, 0, 1), a(0, 1, 0, 1, 1, 0, 1, 0),
                                  a(0, 0, 0, 0, 1, 1, 1, 1), 2), 1.0),
    (nv.cond_mutual_information, (X01, X01, a(5, 5, 5, 5), 2), 1.0),
    (nv.cond_mutual_information, (X01, X01, X01, 2), 0.0),
    (nv.cross_entropy, (a(0, 0, 10, 10), a(0, 0, 0, 0), 2), 0.5 * math.log2(1e12)),
    (nv.cross_entropy, (a(0, 1), a(10, 11), 2), math.log2(1e12)),
    (nv.kl_divergence, (np.empty(0), np.full(5, 3.0)), 19.86917486534106),
    (nv.js_divergence, (np.empty(0), np.full(5, 3.0)), 0.7582766541759649),
    (nv.js_divergence, (np.zeros(10), np.ones(10)), 0.99999999954),
    (nv.kl_divergence, (np.zeros(10), np.ones(10)), 25.3284360204),
    (nv.kl_divergence, (np.zeros(100), np.zeros(50)), 2.7618e-12),
    (nv.js_divergence, (np.zeros(100), np.zeros(50)), 1.1031e-12),
    (nv.hellinger_distance, (a(0, 0, 0, 1), a(0, 1, 1, 1)), 0.3660254038),
    (nv.total_variation_distance, (a(0, 0, 0, 1), a(0, 1, 1, 1)), 0.499999999999875),
    (nv.total_variation_distance, (np.zeros(10), np.ones(10)), 0.9999999999999),
    (nv.total_variation_distance, (np.zeros(20000), np.ones(20000)), 1.0),
    (nv.hellinger_distance, (a(1.0), a(1.0, 1.0)), 1.7679e-13),
]


@pytest.mark.parametrize("fn,args,want", EXAMPLES)
def test_worked_examples(fn, args, want):
    assert fn(*args) == pytest.approx(want, rel=1e-4, abs=1e-15)


@pytest.mark.parametrize("fn,args,want", [
    (nv.cross_entropy, (a(5.0), a(5.0)), (0.0 - 1 / (1 + 1e-12) * math.log(1 / (1 + 1e-12))) / LN2),
    (nv.renyi_entropy, (a(1, 2, 3, 4), 1 + 1e-11, 2), 1.0),
    (nv.renyi_entropy, (np.full(5, 2.0), 3.0), -0.0),
    (nv.tsallis_entropy, (np.full(5, 2.0), 0.5), -0.0),
    (nv.shannon_entropy, (a(NAN, 3.0), 5), NAN),
    (nv.joint_entropy, (a(1.0), np.arange(10.0), 0), NAN),
    (nv.mutual_information, (a(1, 2), a(1, 2), 0), 0.0),
    (nv.transfer_entropy, (np.arange(50.0), np.arange(50.0) ** 2, 16, 0), 0.0),
    (nv.transfer_entropy, (np.arange(50.0), np.arange(50.0) ** 2, 0, 3), 0.0),
    (nv.cond_mutual_information, (np.arange(9.0), np.arange(9.0), np.arange(9.0), 0), 0.0),
    (nv.kl_divergence, (np.empty(0), np.empty(0), 0), 0.0),
    (nv.hellinger_distance, (np.array([NAN, INF]), a(1.0)), NAN),
])
def test_exact_degenerate_values(fn, args, want):
    got = fn(*args)
    assert (math.isnan(got) and math.isnan(want)) or (got == want and
                                                       math.copysign(1, got) == math.copysign(1, want))


# ---------------------------------------------------------------- independent references

RNG = np.random.default_rng(7)
SIG = RNG.normal(size=3000)
SIG2 = 0.6 * SIG + RNG.normal(size=3000)


@pytest.mark.parametrize("nb", [5, 17, 64])
def test_one_distribution_entropies(nb):
    c = histogram_counts(SIG, nb)
    p = c[c > 0] / c.sum()
    assert nv.shannon_entropy(SIG, nb) == pytest.approx(scipy.stats.entropy(c, base=2), rel=1e-12)
    assert nv.renyi_entropy(SIG, 3.0, nb) == pytest.approx(np.log((p ** 3).sum()) / (-2 * LN2), rel=1e-12)
    assert nv.tsallis_entropy(SIG, 1.5, nb) == pytest.approx((1 - (p ** 1.5).sum()) / 0.5, rel=1e-12)
    auto = histogram_counts(SIG, int(math.sqrt(3000)))
    assert nv.shannon_entropy(SIG, -1) == pytest.approx(scipy.stats.entropy(auto, base=2), rel=1e-12)


@pytest.mark.parametrize("nb", [2, 10, 33])
def test_pair_measures_against_sklearn_and_identities(nb):
    bx = discretize(SIG, nb, *nan_range(SIG))
    by = discretize(SIG2, nb, *nan_range(SIG2))
    ref = mutual_info_score(bx, by) / LN2
    assert nv.mutual_information(SIG, SIG2, nb) == pytest.approx(ref, rel=1e-9)
    joint = scipy.stats.entropy(np.unique(bx * nb + by, return_counts=True)[1], base=2)
    assert nv.joint_entropy(SIG, SIG2, nb) == pytest.approx(joint, rel=1e-12)
    hx, hy, hxy = nv.shannon_entropy(SIG, nb), nv.shannon_entropy(SIG2, nb), nv.joint_entropy(SIG, SIG2, nb)
    assert nv.conditional_entropy(SIG, SIG2, nb) == hxy - hy
    assert nv.information_gain(SIG, SIG2, nb) == hx - (hxy - hy)


def test_divergences_against_scipy():
    p, q = RNG.normal(size=400), RNG.normal(0.5, 1.3, size=250)
    lo, hi = min(p.min(), q.min()), max(p.max(), q.max())
    cp = np.bincount(discretize(p, 10, lo, hi).astype(int), minlength=10) + 1e-10
    cq = np.bincount(discretize(q, 10, lo, hi).astype(int), minlength=10) + 1e-10
    assert nv.js_divergence(p, q) == pytest.approx(ssd.jensenshannon(cp, cq, base=2) ** 2, rel=1e-9)
    assert nv.kl_divergence(p, q) == pytest.approx(scipy.stats.entropy(cp, cq), rel=1e-12)
    assert nv.js_divergence(q, p) == nv.js_divergence(p, q)
    fp, fq = np.bincount(discretize(p, 17, lo, hi).astype(int), minlength=17), np.bincount(
        discretize(q, 17, lo, hi).astype(int), minlength=17)
    P, Q = fp / (400 + 1e-12), fq / (250 + 1e-12)
    assert nv.hellinger_distance(p, q, 17) == pytest.approx(math.sqrt(0.5 * ((np.sqrt(P) - np.sqrt(Q)) ** 2).sum()))
    assert nv.total_variation_distance(p, q, 17) == pytest.approx(0.5 * np.abs(P - Q).sum())
    ce = -(P[P > 0] * np.log(np.maximum(Q[P > 0], 1e-12))).sum() / LN2
    assert nv.cross_entropy(p, q, 17) == pytest.approx(ce, rel=1e-12)
    # auto bins from the longer input: auto_bins(400) = 20
    assert nv.hellinger_distance(p, q) == nv.hellinger_distance(p, q, 20)


@pytest.mark.parametrize("nb", [5000, 300000])
def test_smoothed_divergences_with_many_empty_bins(nb):
    # Runs of empty bins are summed without visiting them: the result must
    # equal the bin-by-bin sum in order (np.cumsum adds in order).
    p, q = RNG.normal(size=20), RNG.normal(0.3, 1, size=13)
    lo, hi = min(p.min(), q.min()), max(p.max(), q.max())
    cp = np.bincount(discretize(p, nb, lo, hi).astype(np.int64), minlength=nb) + 1e-10
    cq = np.bincount(discretize(q, nb, lo, hi).astype(np.int64), minlength=nb) + 1e-10
    pk, qk = cp / np.cumsum(cp)[-1], cq / np.cumsum(cq)[-1]
    mk = (pk + qk) * 0.5
    js = 0.5 * np.cumsum(pk * np.log2(pk / mk))[-1] + 0.5 * np.cumsum(qk * np.log2(qk / mk))[-1]
    assert nv.js_divergence(p, q, nb) == js
    assert nv.kl_divergence(p, q, nb) == np.cumsum(pk * np.log(pk / qk))[-1]


def test_bin_counts_far_beyond_the_data():
    # Tables are never sized by the bin count: a huge count bins every sample
    # apart, even where n_bins^2 wraps past 2^64.
    x, y = RNG.permutation(500) * 0.01, RNG.normal(size=500)
    for nb in (2 ** 33, 2 ** 40, 2 ** 62):
        assert nv.joint_entropy(x, y, nb) == pytest.approx(math.log2(500), rel=1e-12)
        assert nv.mutual_information(x, x, nb) == pytest.approx(math.log2(500), rel=1e-12)
        assert nv.cond_mutual_information(x, y, x, nb) == 0.0
    assert nv.shannon_entropy(x, 2 ** 50) == pytest.approx(math.log2(500), rel=1e-12)
    m = nv.mutual_information_matrix(np.column_stack([x, y]), 10 ** 12)
    assert m[0, 0] == pytest.approx(-math.log2(1 / 500 + 1e-10), rel=1e-12)
    # two histograms on a common scale, counted by occupied bins only
    lo, hi = min(x.min(), y.min()), max(x.max(), y.max())
    P = np.bincount(discretize(x, 10 ** 6, lo, hi).astype(np.int64), minlength=10 ** 6) / (500 + 1e-12)
    Q = np.bincount(discretize(y, 10 ** 6, lo, hi).astype(np.int64), minlength=10 ** 6) / (500 + 1e-12)
    assert nv.total_variation_distance(x, y, 10 ** 6) == 0.5 * np.cumsum(np.abs(P - Q))[-1]
    assert nv.hellinger_distance(x, y, 10 ** 6) == math.sqrt(0.5 * np.cumsum((np.sqrt(P) - np.sqrt(Q)) ** 2)[-1])
    assert "capacity overflow" in panics(nv.hellinger_distance, x, y, 2 ** 61)


# ---------------------------------------------------------------- transfer entropy

def test_transfer_entropy_shifted_coin():
    x = RNG.integers(0, 2, 4000).astype(float)
    y = np.r_[0.0, x[:-1]]
    assert nv.transfer_entropy(x, y, 2, 1) == pytest.approx(1.0, abs=0.01)
    assert nv.transfer_entropy(y, x, 2, 1) < 0.01


@pytest.mark.parametrize("nb,k,n", [(4, 1, 300), (200, 1, 400), (16, 2, 200), (3, 5, 150), (16, 17, 120), (256, 9, 60)])
def test_transfer_entropy_against_tuple_histories(nb, k, n):
    # 16^17 and 256^9 exceed 2^64: histories must stay distinct there too.
    src = np.round(RNG.normal(size=n + 5), 1)
    tgt = np.r_[0.0, src[:-1]] + RNG.normal(scale=0.5, size=n + 5)
    tgt[3] = NAN
    want = te_reference(src, tgt[:n], nb, k)
    assert nv.transfer_entropy(src, tgt[:n], nb, k) == pytest.approx(want, rel=1e-12, abs=1e-15)


def test_transfer_entropy_binary_target_of_a_finely_binned_source():
    src = RNG.normal(size=2000)
    tgt = np.r_[0.0, (src[:-1] > 0.3).astype(float)]
    want = te_reference(src, tgt, 300, 1)
    assert nv.transfer_entropy(src, tgt, 300, 1) == pytest.approx(want, rel=1e-12)


def test_batch_transfer_entropy_matches_pairs_and_any_strides():
    m = RNG.normal(size=(3, 200))
    got = nv.batch_transfer_entropy_py(m, 6, 2)
    for i in range(3):
        assert got[i][i] == 0.0
        for j in range(3):
            if i != j:
                assert got[i][j] == nv.transfer_entropy(m[i], m[j], 6, 2)
    assert nv.batch_transfer_entropy_py(np.asfortranarray(m), 6, 2) == got
    assert nv.batch_transfer_entropy_py(np.ascontiguousarray(m.T).T[:, ::-1][:, ::-1], 6, 2) == got
    assert nv.batch_transfer_entropy_py(np.zeros((0, 5))) == []
    assert nv.batch_transfer_entropy_py(np.ones((2, 2))) == [[0.0, 0.0], [0.0, 0.0]]


# ---------------------------------------------------------------- contiguity and zero bins

TWO = [nv.mutual_information, nv.transfer_entropy, nv.conditional_entropy, nv.joint_entropy,
       nv.kl_divergence, nv.js_divergence, nv.information_gain, nv.cross_entropy,
       nv.hellinger_distance, nv.total_variation_distance]


@pytest.mark.parametrize("fn", TWO)
def test_non_contiguous_arrays_panic(fn):
    good, strided = np.arange(4.0), np.arange(8.0)[::2]
    assert "AsSliceError" in panics(fn, strided, good)
    assert "AsSliceError" in panics(fn, good, strided[::-1])
    fn(np.arange(3.0)[::-1][:1], good)  # one element counts as contiguous


def test_non_contiguous_single_input_functions_panic():
    s = np.arange(8.0)[::2]
    for fn in (nv.shannon_entropy, nv.renyi_entropy, nv.tsallis_entropy):
        panics(fn, s, 3)
    g = np.arange(4.0)
    panics(nv.cond_mutual_information, g, g, s)


@pytest.mark.parametrize("fn", [nv.joint_entropy, nv.conditional_entropy, nv.information_gain,
                                nv.kl_divergence, nv.js_divergence, nv.hellinger_distance,
                                nv.total_variation_distance, nv.cross_entropy])
def test_zero_bins_panic(fn):
    assert "the len is 0 but the index is 0" in panics(fn, a(0, 1, 2, 3), a(3, 1, 2, 0), 0)


def test_zero_bins_that_pass():
    assert nv.mutual_information(a(0, 1, 2), a(2, 1, 0), 1) == 0.0
    panics(nv.mutual_information, a(0, 1, 2), a(2, 1, 0), 0)
    panics(nv.shannon_entropy, a(0, 1, 2), 0)
    assert nv.shannon_entropy(np.full(7, 2.0), 0) == 0.0
    panics(nv.mutual_information_matrix, np.ones((3, 1)), 0)
    assert (nv.transfer_entropy_matrix(RNG.normal(size=(30, 3)), 1, 0) == 0).all()


# ---------------------------------------------------------------- matrices

def test_mutual_information_matrix_against_references():
    s = RNG.normal(size=(800, 4))
    s[:, 1] += s[:, 0]
    s[5, 2], s[7, 3] = NAN, INF
    m = nv.mutual_information_matrix(s[::-1][::-1], 12)
    bins = [column_bins(s[:, j], 12) for j in range(4)]
    for i in range(4):
        assert m[i, i] == pytest.approx(count_entropy(bins[i].tolist()), rel=1e-13)
        for j in range(i + 1, 4):
            assert m[i, j] == m[j, i]
            ref = count_entropy(bins[i].tolist()) + count_entropy(bins[j].tolist()) - count_entropy(
                list(zip(bins[i].tolist(), bins[j].tolist())))
            assert m[i, j] == pytest.approx(max(ref, 0.0), rel=1e-12, abs=1e-15)
            assert m[i, j] == pytest.approx(mutual_info_score(bins[i], bins[j]) / LN2, abs=1e-7)
    assert (bins[3] == 0).all() and m[0, 3] == 0.0
    assert nv.mutual_information_matrix(np.zeros((1, 3))).tolist() == [[0.0] * 3] * 3
    assert nv.mutual_information_matrix(np.zeros((5, 0))).shape == (0, 0)


@pytest.mark.parametrize("nb", [6, 300])
def test_transfer_entropy_matrix_against_reference(nb):
    T = 600
    s = RNG.normal(size=(T, 3))
    s[1:, 1] = np.tanh(s[:-1, 0])
    te = nv.transfer_entropy_matrix(s, 0, nb)
    assert nb > 6 or te[0, 1] > 5 * te[1, 0]
    bins = [column_bins(s[:, j], nb).tolist() for j in range(3)]
    for lag in (0, 2):
        te = nv.transfer_entropy_matrix(np.asfortranarray(s), lag, nb)
        N = T - lag - 1
        for i in range(3):
            for j in range(3):
                if i == j:
                    assert te[i, j] == 0.0
                    continue
                yp = bins[j][lag + 1:lag + 1 + N]
                y = bins[j][lag:lag + N]
                x = bins[i][:N]
                v = (count_entropy(list(zip(yp, y))) - count_entropy(y)) - (
                    count_entropy(list(zip(yp, y, x))) - count_entropy(list(zip(y, x))))
                assert te[i, j] == pytest.approx(max(v, 0.0), rel=1e-12, abs=1e-14)
    assert (nv.transfer_entropy_matrix(s[:10]) == 0).all()
    assert nv.transfer_entropy_matrix(s[:11]).any()
    assert nv.transfer_entropy_matrix(s[:, :1]).tolist() == [[0.0]]


def wilson_hilferty_p(f, d1, d2):
    a_, b_ = f ** 0.3333333333333333, f ** 0.6666666666666666
    u, v = 2 / (9 * d1), 9 * d2
    z = ((1 - 2 / v) * a_ - (1 - u)) / math.sqrt(u + (b_ + b_) / v)
    x = z / 1.4142135623730951
    s = 1 / (1 + 0.3275911 * abs(x))
    q = math.exp(-x * x) * (s * (0.254829592 + s * (-0.284496736 + s * (
        1.421413741 + s * (-1.453152027 + s * 1.061405429)))))
    return 0.5 * (q if x >= 0 else 2 - q)


def test_granger_against_statsmodels():
    from statsmodels.tsa.stattools import grangercausalitytests
    s = RNG.normal(size=(300, 3))
    s[1:, 1] += 0.8 * s[:-1, 0]
    s[:, 2] = 0.0  # a cause of zeros gets coefficient 0: F = 0, p = 1
    F, p = nv.granger_matrix(s[::-1][::-1], 1)
    for i, j in [(0, 1), (1, 0)]:
        res = grangercausalitytests(s[:, [j, i]], maxlag=[1])
        f_ref, _, df_d, _ = res[1][0]["ssr_ftest"]
        assert F[i, j] == pytest.approx(f_ref, rel=1e-9)
        assert p[i, j] == pytest.approx(wilson_hilferty_p(F[i, j], 1, df_d), rel=1e-12)
    assert F[0, 1] > 100 and p[0, 1] < 1e-10 and F[1, 0] < 10
    assert (F[2] == 0).all() and (p[2] == 1).all() and (np.diag(F) == 0).all()


@pytest.mark.parametrize("T,max_lag,active", [(14, 5, False), (16, 5, False), (17, 5, True),
                                               (40, 0, False)])
def test_granger_thresholds(T, max_lag, active):
    s = np.random.default_rng(3).normal(size=(T, 2))
    F, p = nv.granger_matrix(s, max_lag)
    assert bool((F != 0).any()) == active and ((p < 1).any()) == active
    assert nv.granger_matrix(np.zeros((50, 0)))[0].shape == (0, 0)
    assert [m.tolist() for m in nv.granger_matrix(np.ones((50, 1)))] == [[[0.0]], [[1.0]]]


def lstsq_ssr(X, y, k):
    """Normal equations and partial-pivot elimination, sums in row order."""
    A = [[sum_in_order(r[a] * r[c] for r in X) for c in range(k)] for a in range(k)]
    b = [sum_in_order(r[a] * yy for r, yy in zip(X, y)) for a in range(k)]
    for c in range(k):
        piv = max(range(c, k), key=lambda r: (abs(A[r][c]), -r))
        if abs(A[piv][c]) < 1e-15:
            continue
        A[c], A[piv], b[c], b[piv] = A[piv], A[c], b[piv], b[c]
        for r in range(c + 1, k):
            f = A[r][c] / A[c][c]
            for m in range(c, k):
                A[r][m] -= f * A[c][m]
            b[r] -= f * b[c]
    beta = [0.0] * k
    for a_ in reversed(range(k)):
        if abs(A[a_][a_]) >= 1e-15:
            v = b[a_]
            for c in range(a_ + 1, k):
                v -= A[a_][c] * beta[c]
            beta[a_] = v / A[a_][a_]
    return sum_in_order((yy - sum_in_order(xv * bv for xv, bv in zip(r, beta))) ** 2 for r, yy in zip(X, y))


def sum_in_order(it):
    s = 0.0
    for v in it:
        s += v
    return s


@pytest.mark.parametrize("M", [3, 4])
def test_granger_bitwise_against_direct_fits(M):
    s = np.random.default_rng(11).normal(size=(40, 3))
    s[1:, 2] += s[:-1, 0]
    T, n = s.shape
    F, p = nv.granger_matrix(s, M)
    R = T - M
    for i in range(n):
        for j in range(n):
            if i == j:
                continue
            best = (0.0, 1.0)
            y = [s[M + t, j] for t in range(R)]
            for L in range(1, M + 1):
                Xr = [[1.0] + [s[M + t - l, j] for l in range(1, L + 1)] for t in range(R)]
                Xu = [r + [s[M + t - l, i] for l in range(1, L + 1)] for t, r in enumerate(Xr)]
                sr, su = lstsq_ssr(Xr, y, L + 1), lstsq_ssr(Xu, y, 2 * L + 1)
                if su <= 0 or sr < su:
                    continue
                f = ((sr - su) / L) / (su / (R - 2 * L - 1))
                pv = wilson_hilferty_p(f, L, R - 2 * L - 1)
                if f > 0 and pv < best[1]:
                    best = (f, pv)
            assert (F[i, j], p[i, j]) == best


def entropy_bits(keys):
    h, n = 0.0, len(keys)
    for _, c in sorted(Counter(keys).items()):
        h -= (c / n) * math.log2(c / n)
    return h


@pytest.mark.parametrize("nb", [4, 16, 100, 2 ** 40])
def test_cond_mutual_information_against_reference(nb):
    x, y, z = RNG.normal(size=(3, 700))
    y += x * z
    x[3], z[9] = NAN, NAN
    n = 600
    bx, by, bz = (discretize(v[:n], nb, *nan_range(v[:n])).tolist() for v in (x, y, z))
    want = (entropy_bits(list(zip(bx, bz))) + entropy_bits(list(zip(by, bz)))
            - entropy_bits(list(zip(bx, by, bz)))) - entropy_bits(bz)
    assert nv.cond_mutual_information(x[:n], y, z[:650], nb) == pytest.approx(max(want, 0.0), rel=1e-13)
