"""Histogram information measures and the pairwise MI / TE / Granger matrices."""

import math
from collections import Counter

import numpy as np
import pytest
import scipy.spatial.distance as ssd
import scipy.stats
from sklearn.metrics import mutual_info_score

from helpers import INF, NAN, assert_stops_on_ctrl_c, in_order_sum, panics, same
from nuvra import _rust as nv

LN2 = math.log(2.0)
RNG = np.random.default_rng(7)


def a(*v):
    return np.array(v, dtype=np.float64)


# ---------------------------------------------------------------- references

def discretize(v, nb, lo, hi):
    if hi - lo < 1e-12:
        return np.zeros(len(v), np.uint64)
    with np.errstate(invalid="ignore"):
        t = ((np.asarray(v) - lo) / (hi - lo)) * float(nb)
    return np.minimum(np.where(np.isnan(t) | (t < 0), 0, t), nb - 1).astype(np.uint64)


def nan_range(v):
    f = np.asarray(v)[~np.isnan(v)]
    return (f.min(), f.max()) if len(f) else (INF, -INF)


def histogram_counts(v, nb):
    lo, hi = nan_range(v)
    if hi - lo < 1e-12:
        return np.array([len(v)])
    with np.errstate(invalid="ignore"):
        b = np.floor((np.asarray(v) - lo) / ((hi - lo) / nb))
    return np.bincount(np.minimum(np.where(np.isnan(b) | (b < 0), 0, b), nb - 1).astype(int), minlength=nb)


def te_reference(src, tgt, nb, k):
    """Transfer entropy with tuple histories (exact), states in sorted order."""
    n = min(len(src), len(tgt))
    if n < 3 or n <= k:
        return 0.0
    s, y = (discretize(v[:n], nb, *nan_range(v)).tolist() for v in (src, tgt))
    steps = [(y[t], tuple(y[t - k:t]), tuple(s[t - k:t])) for t in range(k, n)]
    joint, ny, yx = Counter(steps), Counter(st[:2] for st in steps), Counter(st[1:] for st in steps)
    hy_c = Counter(st[1] for st in steps)
    return max(0.0, in_order_sum((c / (n - k)) * math.log2((c * hy_c[hy]) / (yx[(hy, hx)] * ny[(nx, hy)]))
                                 for (nx, hy, hx), c in sorted(joint.items())))


def column_bins(v, nb):
    lo, hi = nan_range(v)
    with np.errstate(invalid="ignore"):
        t = ((v - lo) / ((hi - lo) + 1e-10)) * nb
    return np.minimum(np.where(np.isnan(t) | (t < 0), 0, t), nb - 1).astype(np.int64)


def entropy_bits(keys, eps=0.0):
    """-sum p log2(p + eps) over the counts of the keys, in ascending key order."""
    h = 0.0
    for _, c in sorted(Counter(keys).items()):
        h -= (c / len(keys)) * math.log2(c / len(keys) + eps)
    return h


# ---------------------------------------------------------------- registration

INFO = """mutual_information(x, y, n_bins=16)|transfer_entropy(source, target, n_bins=16, history=1)
batch_transfer_entropy_py(signals, n_bins=16, history=1)|cond_mutual_information(x, y, z, n_bins=16)
shannon_entropy(data, n_bins, base=2.0)|renyi_entropy(data, alpha=2.0, n_bins=..., base=2.0)
tsallis_entropy(data, q=2.0, n_bins=...)|conditional_entropy(x, y, n_bins=10)|joint_entropy(x, y, n_bins=10)
kl_divergence(p, q, n_bins=10)|js_divergence(p, q, n_bins=10)|information_gain(x, y, n_bins=10)
cross_entropy(p, q, n_bins=..., base=2.0)|hellinger_distance(p, q, n_bins=...)
total_variation_distance(p, q, n_bins=...)""".replace("\n", "|").split("|")


def test_registration_order_and_docs():
    names = [s[:s.index("(")] for s in INFO]
    assert nv.__all__[nv.__all__.index(names[0]):][:15] == names
    for name, sig in zip(names, INFO):  # a signature and no description
        assert (getattr(nv, name).__text_signature__, getattr(nv, name).__doc__) == (sig[len(name):], None)
    assert nv.transfer_entropy_matrix.__doc__.endswith(
        "Returns: (n_signals, n_signals) TE matrix — te[i][j] = TE from i to j")
    assert (nv.mutual_information_matrix.__text_signature__, nv.granger_matrix.__text_signature__) == (
        "(signals, n_bins=10)", "(signals, max_lag=5)")
    assert nv.granger_matrix.__doc__ == ("Compute Granger causality F-statistic matrix.\n\nsignals: "
                                         "(n_samples, n_signals)\nReturns: (n_signals, n_signals) "
                                         "F-statistic matrix")


# ---------------------------------------------------------------- worked examples

X01, Y0011, CMI, Z10, O10 = a(0, 1, 0, 1), a(0, 0, 1, 1), nv.cond_mutual_information, np.zeros(10), np.ones(10)
EXAMPLES = [
    (nv.shannon_entropy, (a(1, 2, 3, 4), 2), 1.0), (nv.shannon_entropy, (a(NAN, 1, 2, INF, 3, 4), 2, math.e), LN2),
    (nv.renyi_entropy, (a(1, 2, 3, 4), 2.0, 2), 1.0), (nv.tsallis_entropy, (a(1, 2, 3, 4), 2.0, 2), 0.5),
    (nv.tsallis_entropy, (a(1, 2, 3, 4), 1.0, 2), LN2), (nv.joint_entropy, (X01, Y0011, 2), 2.0),
    (nv.conditional_entropy, (X01, Y0011, 2), 1.0), (nv.information_gain, (X01, Y0011, 2), 0.0),
    (nv.information_gain, (X01, X01, 2), 1.0), (nv.kl_divergence, (np.zeros(100), np.zeros(50)), 2.7618e-12),
    (nv.information_gain, (a(0, 1, NAN, 3), a(0, 1, NAN, 3), 3), 1.5),  # histogram [2, 1, 1]
    (nv.conditional_entropy, (a(0, 1, INF, 1), Y0011, 2), 0.0), (nv.joint_entropy, (a(0, 1, INF, 1), Y0011, 2), 1.0),
    (nv.joint_entropy, (a(0, 1, 2), a(0, 1, 2, 100, 200), 2), 0.9182958340544896),
    (nv.mutual_information, (X01, X01, 2), 1.0), (nv.mutual_information, (a(NAN, 1, 0, 1), X01, 2), 1.0),
    (nv.mutual_information, (a(0, 1, 2, 3), a(3, 2, 1, 0), 4), 2.0),
    (nv.mutual_information, (a(1, 1 + 1e-13, 1), a(2, 1, 0), 0), 0.0),
    (nv.cond_mutual_information, (a(0, 1, 0, 1, 0, 1, 0, 1), a(0, 1, 0, 1, 1, 0, 1, 0),
                                  a(0, 0, 0, 0, 1, 1, 1, 1), 2), 1.0),
    (CMI, (X01, X01, a(5, 5, 5, 5), 2), 1.0), (CMI, (X01, X01, X01, 2), 0.0),
    (nv.cross_entropy, (a(0, 0, 10, 10), a(0, 0, 0, 0), 2), 0.5 * math.log2(1e12)),
    (nv.cross_entropy, (a(0, 1), a(10, 11), 2), math.log2(1e12)),
    (nv.kl_divergence, (np.empty(0), np.full(5, 3.0)), 19.86917486534106),
    (nv.js_divergence, (np.empty(0), np.full(5, 3.0)), 0.7582766541759649),
    (nv.js_divergence, (Z10, O10), 0.99999999954), (nv.kl_divergence, (Z10, O10), 25.3284360204),
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
    (nv.renyi_entropy, (a(1, 2, 3, 4), 1 + 1e-11, 2), 1.0), (nv.renyi_entropy, (np.full(5, 2.0), 3.0), -0.0),
    (nv.tsallis_entropy, (np.full(5, 2.0), 0.5), -0.0), (nv.shannon_entropy, (a(NAN, 3.0), 5), NAN),
    (nv.joint_entropy, (a(1.0), np.arange(10.0), 0), NAN), (nv.mutual_information, (a(1, 2), a(1, 2), 0), 0.0),
    (nv.transfer_entropy, (np.arange(50.0), np.arange(50.0) ** 2, 16, 0), 0.0),
    (nv.transfer_entropy, (np.arange(50.0), np.arange(50.0) ** 2, 0, 3), 0.0),
    (nv.cond_mutual_information, (np.arange(9.0), np.arange(9.0), np.arange(9.0), 0), 0.0),
    (nv.kl_divergence, (np.empty(0), np.empty(0), 0), 0.0), (nv.hellinger_distance, (a(NAN, INF), a(1.0)), NAN),
    (nv.mutual_information, (a(0, 1, 2), a(2, 1, 0), 1), 0.0), (nv.shannon_entropy, (np.full(7, 2.0), 0), 0.0),
])
def test_exact_degenerate_values(fn, args, want):
    assert same(fn(*args), want)


# ---------------------------------------------------------------- independent references

SIG = RNG.normal(size=3000)
SIG2 = 0.6 * SIG + RNG.normal(size=3000)


@pytest.mark.parametrize("nb", [2, 5, 17, 33, 64])
def test_entropies_against_scipy_and_sklearn(nb):
    c = histogram_counts(SIG, nb)
    p = c[c > 0] / c.sum()
    assert nv.shannon_entropy(SIG, nb) == pytest.approx(scipy.stats.entropy(c, base=2), rel=1e-12)
    assert nv.renyi_entropy(SIG, 3.0, nb) == pytest.approx(np.log((p ** 3).sum()) / (-2 * LN2), rel=1e-12)
    assert nv.tsallis_entropy(SIG, 1.5, nb) == pytest.approx((1 - (p ** 1.5).sum()) / 0.5, rel=1e-12)
    auto = histogram_counts(SIG, int(math.sqrt(3000)))
    assert nv.shannon_entropy(SIG, -1) == pytest.approx(scipy.stats.entropy(auto, base=2), rel=1e-12)
    bx, by = discretize(SIG, nb, *nan_range(SIG)), discretize(SIG2, nb, *nan_range(SIG2))
    assert nv.mutual_information(SIG, SIG2, nb) == pytest.approx(mutual_info_score(bx, by) / LN2, rel=1e-9)
    joint = scipy.stats.entropy(np.unique(bx * nb + by, return_counts=True)[1], base=2)
    hx, hy, hxy = nv.shannon_entropy(SIG, nb), nv.shannon_entropy(SIG2, nb), nv.joint_entropy(SIG, SIG2, nb)
    assert hxy == pytest.approx(joint, rel=1e-12) and nv.conditional_entropy(SIG, SIG2, nb) == hxy - hy
    assert nv.information_gain(SIG, SIG2, nb) == hx - (hxy - hy)


def test_divergences_against_scipy():
    p, q = RNG.normal(size=400), RNG.normal(0.5, 1.3, size=250)
    lo, hi = min(p.min(), q.min()), max(p.max(), q.max())
    cp, cq = (np.bincount(discretize(v, 10, lo, hi).astype(int), minlength=10) + 1e-10 for v in (p, q))
    assert nv.js_divergence(p, q) == pytest.approx(ssd.jensenshannon(cp, cq, base=2) ** 2, rel=1e-9)
    assert nv.kl_divergence(p, q) == pytest.approx(scipy.stats.entropy(cp, cq), rel=1e-12)
    assert nv.js_divergence(q, p) == nv.js_divergence(p, q)
    P, Q = (np.bincount(discretize(v, 17, lo, hi).astype(int), minlength=17) / (len(v) + 1e-12) for v in (p, q))
    assert nv.hellinger_distance(p, q, 17) == pytest.approx(math.sqrt(0.5 * ((np.sqrt(P) - np.sqrt(Q)) ** 2).sum()))
    assert nv.total_variation_distance(p, q, 17) == pytest.approx(0.5 * np.abs(P - Q).sum())
    ce = -(P[P > 0] * np.log(np.maximum(Q[P > 0], 1e-12))).sum() / LN2
    assert nv.cross_entropy(p, q, 17) == pytest.approx(ce, rel=1e-12)
    assert nv.hellinger_distance(p, q) == nv.hellinger_distance(p, q, 20)  # auto bins of the longer input


@pytest.mark.parametrize("nb", [5000, 300000])
def test_smoothed_divergences_with_many_empty_bins(nb):
    # Runs of empty bins are summed without visiting them: the result must
    # equal the bin-by-bin sum in order (np.cumsum adds in order).
    p, q = RNG.normal(size=20), RNG.normal(0.3, 1, size=13)
    lo, hi = min(p.min(), q.min()), max(p.max(), q.max())
    cp, cq = (np.bincount(discretize(v, nb, lo, hi).astype(np.int64), minlength=nb) + 1e-10 for v in (p, q))
    pk, qk = cp / np.cumsum(cp)[-1], cq / np.cumsum(cq)[-1]
    mk = (pk + qk) * 0.5
    js = 0.5 * np.cumsum(pk * np.log2(pk / mk))[-1] + 0.5 * np.cumsum(qk * np.log2(qk / mk))[-1]
    assert nv.js_divergence(p, q, nb) == js and nv.kl_divergence(p, q, nb) == np.cumsum(pk * np.log(pk / qk))[-1]


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
    P, Q = (np.bincount(discretize(v, 10 ** 6, lo, hi).astype(np.int64), minlength=10 ** 6) / (500 + 1e-12)
            for v in (x, y))
    assert nv.total_variation_distance(x, y, 10 ** 6) == 0.5 * np.cumsum(np.abs(P - Q))[-1]
    assert nv.hellinger_distance(x, y, 10 ** 6) == math.sqrt(0.5 * np.cumsum((np.sqrt(P) - np.sqrt(Q)) ** 2)[-1])
    assert "capacity overflow" in panics(nv.hellinger_distance, x, y, 2 ** 61)


# ---------------------------------------------------------------- transfer entropy

@pytest.mark.parametrize("nb,k,n", [(4, 1, 300), (200, 1, 400), (16, 2, 200), (3, 5, 150), (16, 17, 120),
                                    (256, 9, 60), (300, 1, 2000)])
def test_transfer_entropy_against_tuple_histories(nb, k, n):
    # 16^17 and 256^9 exceed 2^64: histories must stay distinct there too.
    src = np.round(RNG.normal(size=n + 5), 1)
    tgt = np.r_[0.0, src[:-1]] + RNG.normal(scale=0.5, size=n + 5)
    tgt[3] = NAN
    if n == 2000:  # a binary target of a finely binned source
        src, tgt = RNG.normal(size=n), np.r_[0.0, (src[:n - 1] > 0.3).astype(float)]
    assert nv.transfer_entropy(src, tgt[:n], nb, k) == pytest.approx(te_reference(src, tgt[:n], nb, k), 1e-12, 1e-15)


def test_shifted_coin_and_batch_transfer_entropy():
    x = RNG.integers(0, 2, 4000).astype(float)
    y = np.r_[0.0, x[:-1]]
    assert nv.transfer_entropy(x, y, 2, 1) == pytest.approx(1.0, abs=0.01) and nv.transfer_entropy(y, x, 2, 1) < 0.01
    m = RNG.normal(size=(3, 200))
    got = nv.batch_transfer_entropy_py(m, 6, 2)
    assert got == [[0.0 if i == j else nv.transfer_entropy(m[i], m[j], 6, 2) for j in range(3)] for i in range(3)]
    assert nv.batch_transfer_entropy_py(np.asfortranarray(m)[:, ::-1][:, ::-1], 6, 2) == got  # any strides
    assert nv.batch_transfer_entropy_py(np.zeros((0, 5))) == []
    assert nv.batch_transfer_entropy_py(np.ones((2, 2))) == [[0.0, 0.0], [0.0, 0.0]]


# ---------------------------------------------------------------- contiguity and zero bins

ONE = (nv.shannon_entropy, nv.renyi_entropy, nv.tsallis_entropy)
TWO = (nv.mutual_information, nv.transfer_entropy, nv.conditional_entropy, nv.joint_entropy, nv.kl_divergence,
       nv.js_divergence, nv.information_gain, nv.cross_entropy, nv.hellinger_distance, nv.total_variation_distance)
ZERO_BINS = "index out of bounds: the len is 0 but the index is 0"


@pytest.mark.parametrize("fn", ONE + TWO + (nv.cond_mutual_information,))
def test_non_contiguous_arrays_and_zero_bins_panic(fn):
    good, strided = np.arange(4.0), np.arange(8.0)[::2]
    if fn in ONE:
        assert "AsSliceError" in panics(fn, strided, 3)
    elif fn in TWO:
        assert "AsSliceError" in panics(fn, strided, good) and "AsSliceError" in panics(fn, good, strided[::-1])
        fn(np.arange(3.0)[::-1][:1], good)  # one element counts as contiguous
    else:
        assert "AsSliceError" in panics(fn, good, good, strided)
    if fn not in (nv.transfer_entropy, nv.cond_mutual_information, nv.renyi_entropy, nv.tsallis_entropy):
        assert panics(fn, *[a(0, 1, 2, 3), a(3, 1, 2, 0)][:1 if fn in ONE else 2], 0) == ZERO_BINS
    if fn is nv.mutual_information:
        assert panics(nv.mutual_information_matrix, np.ones((3, 1)), 0) == ZERO_BINS


# ---------------------------------------------------------------- matrices

def test_mutual_information_matrix_against_references():
    s = RNG.normal(size=(800, 4))
    s[:, 1] += s[:, 0]
    s[5, 2], s[7, 3] = NAN, INF
    m = nv.mutual_information_matrix(s, 12)
    bins = [column_bins(s[:, j], 12).tolist() for j in range(4)]
    for i in range(4):
        assert m[i, i] == pytest.approx(entropy_bits(bins[i], 1e-10), rel=1e-13)
        for j in range(i + 1, 4):
            ref = entropy_bits(bins[i], 1e-10) + entropy_bits(bins[j], 1e-10) - entropy_bits(
                list(zip(bins[i], bins[j])), 1e-10)
            assert m[i, j] == m[j, i] == pytest.approx(max(ref, 0.0), rel=1e-12, abs=1e-15)
            assert m[i, j] == pytest.approx(mutual_info_score(bins[i], bins[j]) / LN2, abs=1e-7)
    assert set(bins[3]) == {0} and m[0, 3] == 0.0
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
        te = nv.transfer_entropy_matrix(s, lag, nb)
        N = T - lag - 1
        for i in range(3):
            for j in range(3):
                yp, y, x = bins[j][lag + 1:lag + 1 + N], bins[j][lag:lag + N], bins[i][:N]
                v = (entropy_bits(list(zip(yp, y)), 1e-10) - entropy_bits(y, 1e-10)) - (
                    entropy_bits(list(zip(yp, y, x)), 1e-10) - entropy_bits(list(zip(y, x)), 1e-10))
                assert te[i, j] == (0.0 if i == j else pytest.approx(max(v, 0.0), rel=1e-12, abs=1e-14))
    assert not nv.transfer_entropy_matrix(s[:10]).any() and nv.transfer_entropy_matrix(s[:11]).any()
    assert nv.transfer_entropy_matrix(s[:, :1]).tolist() == [[0.0]]
    assert not nv.transfer_entropy_matrix(s[:30], 1, 0).any()


def wilson_hilferty_p(f, d1, d2):
    u, v = 2 / (9 * d1), 9 * d2
    z = ((1 - 2 / v) * f ** 0.3333333333333333 - (1 - u)) / math.sqrt(u + 2 * f ** 0.6666666666666666 / v)
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
    F, p = nv.granger_matrix(s, 1)
    for i, j in [(0, 1), (1, 0)]:
        f_ref, _, df_d, _ = grangercausalitytests(s[:, [j, i]], maxlag=[1])[1][0]["ssr_ftest"]
        assert F[i, j] == pytest.approx(f_ref, rel=1e-9)
        assert p[i, j] == pytest.approx(wilson_hilferty_p(F[i, j], 1, df_d), rel=1e-12)
    assert F[0, 1] > 100 and p[0, 1] < 1e-10 and F[1, 0] < 10
    assert (F[2] == 0).all() and (p[2] == 1).all() and (np.diag(F) == 0).all()


def test_granger_thresholds():
    for T, max_lag, active in [(14, 5, False), (16, 5, False), (17, 5, True), (40, 0, False)]:
        F, p = nv.granger_matrix(np.random.default_rng(3).normal(size=(T, 2)), max_lag)
        assert bool((F != 0).any()) == active and ((p < 1).any()) == active
    assert nv.granger_matrix(np.zeros((50, 0)))[0].shape == (0, 0)
    assert [m.tolist() for m in nv.granger_matrix(np.ones((50, 1)))] == [[[0.0]], [[1.0]]]


def lstsq_ssr(X, y, k):
    """Normal equations and partial-pivot elimination, sums in row order."""
    A = [[in_order_sum(r[i] * r[c] for r in X) for c in range(k)] for i in range(k)]
    b = [in_order_sum(r[i] * yy for r, yy in zip(X, y)) for i in range(k)]
    for c in range(k):
        piv = max(range(c, k), key=lambda r: (abs(A[r][c]), -r))
        if abs(A[piv][c]) < 1e-15:
            continue
        A[c], A[piv], b[c], b[piv] = A[piv], A[c], b[piv], b[c]
        for r in range(c + 1, k):
            f = A[r][c] / A[c][c]
            A[r][c:] = [A[r][m] - f * A[c][m] for m in range(c, k)]
            b[r] -= f * b[c]
    beta = [0.0] * k
    for i in reversed(range(k)):
        if abs(A[i][i]) >= 1e-15:
            v = b[i]
            for c in range(i + 1, k):
                v -= A[i][c] * beta[c]
            beta[i] = v / A[i][i]
    return in_order_sum((yy - in_order_sum(xv * bv for xv, bv in zip(r, beta))) ** 2 for r, yy in zip(X, y))


@pytest.mark.parametrize("M", [3, 4])
def test_granger_bitwise_against_direct_fits(M):
    s = np.random.default_rng(11).normal(size=(40, 3))
    s[1:, 2] += s[:-1, 0]
    F, p = nv.granger_matrix(s, M)
    R = 40 - M
    for i in range(3):
        for j in set(range(3)) - {i}:
            best, y = (0.0, 1.0), [s[M + t, j] for t in range(R)]
            for L in range(1, M + 1):
                Xr = [[1.0] + [s[M + t - l, j] for l in range(1, L + 1)] for t in range(R)]
                Xu = [r + [s[M + t - l, i] for l in range(1, L + 1)] for t, r in enumerate(Xr)]
                sr, su = lstsq_ssr(Xr, y, L + 1), lstsq_ssr(Xu, y, 2 * L + 1)
                if su <= 0 or sr < su:
                    continue
                f = ((sr - su) / L) / (su / (R - 2 * L - 1))
                if f > 0 and wilson_hilferty_p(f, L, R - 2 * L - 1) < best[1]:
                    best = (f, wilson_hilferty_p(f, L, R - 2 * L - 1))
            assert (F[i, j], p[i, j]) == best


@pytest.mark.parametrize("nb", [4, 16, 100, 2 ** 40])
def test_cond_mutual_information_against_reference(nb):
    x, y, z = RNG.normal(size=(3, 700))
    y += x * z
    x[3], z[9] = NAN, NAN
    bx, by, bz = (discretize(v[:600], nb, *nan_range(v[:600])).tolist() for v in (x, y, z))
    want = (entropy_bits(list(zip(bx, bz))) + entropy_bits(list(zip(by, bz)))
            - entropy_bits(list(zip(bx, by, bz)))) - entropy_bits(bz)
    assert nv.cond_mutual_information(x[:600], y, z[:650], nb) == pytest.approx(max(want, 0.0), rel=1e-13)


def test_long_calls_stop_on_ctrl_c():
    noise = "s = np.random.default_rng(0).standard_normal({})"
    assert_stops_on_ctrl_c({
        "batch transfer entropy, all pairs": (noise.format((3000, 2000)), "nv.batch_transfer_entropy_py(s, 8, 2)"),
        "transfer entropy, long history": (noise.format(1_000_000), "nv.transfer_entropy(s, -s, 16, 10**5)"),
        "mutual information matrix, all pairs": (noise.format((2000, 1500)), "nv.mutual_information_matrix(s, 10)"),
        "transfer entropy matrix, all pairs": (noise.format((2000, 1000)), "nv.transfer_entropy_matrix(s, 1, 8)"),
        "granger matrix, lag orders": (noise.format((3000, 2)), "nv.granger_matrix(s, 900)"),
        "granger matrix, all pairs": (noise.format((1000, 300)), "nv.granger_matrix(s, 5)"),
    })
